// Helpers of the converter's end-to-end tests: the four storage kinds with
// what each of them keeps of a message, a handful of handcrafted messages,
// and the expected result of storing a record in a kind and reading it back,
// derived from that table.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <typeinfo>
#include <vector>

#include "model/attributes.h"
#include "bases/base_opener.h"
#include "model/dates.h"
#include "model/message_base.h"
#include "model/message_record.h"
#include "runtime/platform.h"
#include "test_support.h"

namespace quil::testing::convert_e2e {

// ---------------------------------------------------------------------------
// What each storage kind keeps of a record.  Every kind keeps the from and
// to names and the subject (up to its limits), the date written to the
// second, the origin and destination net and node, the MSGID, REPLY, PID
// and TID texts, the words of the FLAGS line, the other control lines, the
// routing (Via, Recd, Forwarded) lines, the tear and origin lines, SEEN-BY
// and PATH, and the body bytes.  The columns below are where they differ.

enum class ReadCount : uint8_t { kCount, kNone, kReadBit };  // times-read count
enum class TidLine : uint8_t { kField, kControlLine };       // where the TID comes back
// Zones and points of netmail travel in INTL/FMPT/TOPT lines (written for
// netmail only), or as address texts whose readers set the INTL text of
// netmail.
enum class Addresses : uint8_t { kKludges, kHeader, kTexts };

constexpr uint32_t kJamAttributes = 0x00000010 | 0x00000002 | 0x00000800 | 0x00000200 | 0x00000080 |
                                    0x00000100 | 0x00000040 | 0x00000001 | 0x00002000 | 0x00001000 |
                                    0x00000004 | 0x00000008 | 0x00000020 | 0x80000000;
constexpr uint32_t kSquishReadBit = 0x00080000;
constexpr uint32_t kSquishUniqueIdBit = 0x00020000;

struct Kind {
  const char* name;
  char mark;
  const char* suffix;  // appended to a base name to give its path
  size_t name_limit;   // from and to names
  size_t subject_limit;
  uint32_t attributes;  // bits of the attribute word it keeps
  ReadCount times_read;
  bool reply_to;
  int replies;  // leading entries of the reply list it keeps
  bool area;    // the echo area tag
  TidLine tid;
  Addresses addresses;
  bool cost;
  bool date_arrived;
  int arrived_step;  // 2: only even seconds of the date arrived (MS-DOS stamps)
  bool utc_offset;
  bool unique_id;     // gives its own, marked in the attribute word (0x00020000)
  bool message_type;  // stores whether it is echomail or netmail
};

// clang-format off
//                      mark sfx    names subj  attributes    times_read          reply_to reps area   tid                    addresses             cost   arrived step utc    uid    type
inline const Kind kFido  {"Fido",   'f', "",     35, 71,  0x0000FFFF,    ReadCount::kCount,   false, 1, false, TidLine::kField,       Addresses::kKludges, false, false, 1, false, false, false};
inline const Kind kPacket{"Packet", 'p', ".pkt", 35, 71,  0x0000FFFF,    ReadCount::kNone,    false, 0, true,  TidLine::kField,       Addresses::kKludges, true,  false, 1, false, false, false};
inline const Kind kSquish{"Squish", 's', "",     35, 71,  0xFFFFFFFF,    ReadCount::kReadBit, true,  9, false, TidLine::kControlLine, Addresses::kHeader,  false, true,  2, true,  true,  false};
inline const Kind kJam   {"Jam",    'j', "",     255, 255, kJamAttributes, ReadCount::kCount,   true,  1, false, TidLine::kControlLine, Addresses::kTexts,   true,  true,  1, false, false, true};
// clang-format on
inline const Kind* const kAllKinds[] = {&kFido, &kPacket, &kSquish, &kJam};

// The base spec of the base `name` of `kind` inside `directory`.
inline std::string SpecOf(const Kind& kind, const std::string& directory, const std::string& name) {
  return std::string(1, kind.mark) + directory + "/" + name + kind.suffix;
}

// ---------------------------------------------------------------------------
// The handcrafted messages.

inline constexpr int kMessageCount = 4;
// One more, for the tests of what each kind keeps (the others copy the
// first kMessageCount).
inline constexpr int kLocalPointEchomail = 5;

// `text` made exactly `length` characters long with a running digit filler.
inline std::string Sized(std::string text, size_t length) {
  for (size_t i = text.size(); i < length; ++i) text += static_cast<char>('0' + i % 10);
  text.resize(length);
  return text;
}

// Every byte from 0x80 to 0xFF, in two lines of 64.
inline std::string HighBytes() {
  std::string bytes;
  for (int c = 0x80; c <= 0xFF; ++c) {
    bytes += static_cast<char>(c);
    if (c == 0xBF) bytes += '\r';
  }
  return bytes + "\r";
}

// Fills `r` with message `n` (1..kMessageCount) in the form a perfect reader
// would give back (origin text without its address, attribute flags and
// word in agreement):
//   1  netmail between zones with points on both sides, INTL, every control
//      line, names at and one past the header limits, reply links;
//   2  echomail with SEEN-BY and PATH, a domain in MSGID and REPLY, a name
//      and the body in code page 866, ^A inside a line, a long subject;
//   3  netmail with nothing but its header: no control line, empty body;
//   4  netmail between zones without INTL: points and zones only in FMPT,
//      TOPT, MSGID and REPLY;
//   5  a point's echomail as its editor leaves it, before a tosser sent it:
//      no area tag, SEEN-BY or PATH, only the origin line says echomail; a
//      time zone, a kludge nobody knows, an odd second.
inline void BuildMessage(int n, MessageRecord& r) {
  r.Clear();
  auto set_addresses = [&r](uint16_t oz, uint16_t onet, uint16_t onode, uint16_t op, uint16_t dz,
                            uint16_t dnet, uint16_t dnode, uint16_t dp) {
    r.orig_zone = oz, r.orig_net = onet, r.orig_node = onode, r.orig_point = op;
    r.dest_zone = dz, r.dest_net = dnet, r.dest_node = dnode, r.dest_point = dp;
  };
  switch (n) {
    case 1:
      r.from_name = "Nikolai Vasilievich Rimsky-Korsakov";  // 35: the Fido limit
      r.to_name = "Pyotr Ilyich Tchaikovsky of Votkinsk";   // 36: one past it
      r.subject = Sized("Netmail subject filling the field ", 71);
      r.date_written = {2001, 3, 5, 17, 30, 9};
      r.date_arrived = {2001, 3, 6, 8, 15, 42};
      r.times_read = 1;
      r.cost = 7;
      r.reply_to = 3;
      r.replies[0] = 4;
      r.replies[1] = 2;
      r.utc_offset = 180;
      set_addresses(2, 5020, 1, 7, 1, 250, 3, 3);
      r.intl = "1:250/3 2:5020/1";
      r.msgid = "2:5020/1.7 12345678";
      r.reply = "1:250/3.3 87654321";
      r.pid = "Quil 0.04";
      r.tid = "QuilTosser 1.2";
      r.flags = "DIR IMM CFM";
      r.attributes = kAttrPrivate | kAttrCrash | kAttrKillSent | kAttrLocal | kAttrUnused0400 |
                     kAttrAuditRequest | kAttrExtra10000;
      r.control_lines.Insert("\001CHRS: CP866 2");
      r.control_lines.Insert("\001TZUTC: 0300");
      r.AddViaLine("2:5020/1 @20010305.173009 Quil 0.04");
      r.AddViaLine("1:250/3 @20010305.180000 OtherTosser");
      r.tear_line = " Quil 0.04";
      r.has_tear_line = true;
      r.origin = "Netmail station ";
      r.has_origin = true;
      r.body.Write(std::string("Hello,\r\rThis line has a \x01 inside it.\rLast line.\r"));
      break;
    case 2:
      r.area = "QUIL.TEST";
      r.from_name = "\x88\xa2\xa0\xad \x8f\xa5\xe2\xe0\xae\xa2";
      r.to_name = "All";
      r.subject = Sized("Echomail subject longer than a Fido header holds ", 80);
      r.date_written = {2023, 12, 31, 23, 59, 58};
      r.reply_to = 1;
      r.replies[0] = 3;
      set_addresses(2, 5020, 1, 7, 2, 5020, 2, 5);
      r.msgid = "2:5020/1.7@fidonet 0a1b2c3d";
      r.reply = "2:5020/2.5@fidonet 11223344";
      r.orig_domain = "fidonet";
      r.dest_domain = "fidonet";
      r.pid = "Quil 0.04";
      r.tid = "QuilTosser 1.2";
      r.flags = "A/S HUB";
      r.attributes = kAttrLocal | kAttrSent | kAttrDeleted;
      r.control_lines.Insert("\001CHRS: CP866 2");
      r.routing_lines.Insert("\001Forwarded by 2:5020/1");
      r.tear_line = " Quil 0.04";
      r.has_tear_line = true;
      r.origin = "\x8c\xae\xe1\xaa\xa2\xa0 echo station ";
      r.has_origin = true;
      r.seenby_lines.Insert("5020/1 2 3");
      r.seenby_lines.Insert("5030/4");
      r.path_lines.Insert("5020/1");
      r.path_lines.Insert("5020/2");
      r.body.Write("First echo line\r" + HighBytes() + "Middle \x01 line\rLast line\r");
      break;
    case 3:
      r.from_name = "A";
      r.to_name = "B";
      r.date_written = {2010, 6, 15, 0, 0, 0};
      r.date_arrived = {2010, 6, 16, 0, 0, 0};
      set_addresses(2, 5020, 1, 0, 2, 5020, 2, 0);
      break;
    case 4:
      r.from_name = "Point User";
      r.to_name = "Other Point";
      r.subject = "No INTL here";
      r.date_written = {2015, 1, 1, 0, 0, 0};
      r.date_arrived = {2015, 1, 1, 0, 0, 1};
      set_addresses(1, 250, 3, 1, 2, 5020, 1, 2);
      r.msgid = "1:250/3.1 aabbccdd";
      r.reply = "2:5020/1.2 11223344";
      r.pid = "Point 1.0";
      r.attributes = kAttrPrivate | kAttrHold;
      r.body.Write(std::string("Just one line.\r"));
      break;
    case 5:
      r.from_name = "Point Writer";
      r.to_name = "All";
      r.subject = "Local echomail of a point";
      r.date_written = {2024, 2, 29, 1, 43, 11};
      r.date_arrived = {2024, 2, 29, 1, 43, 13};
      set_addresses(2, 5020, 1, 7, 2, 5020, 1, 0);
      r.msgid = "2:5020/1.7 5e1f0a11";
      r.pid = "PointEd 2.0";
      r.control_lines.Insert("\001TZUTC: -0500");
      r.control_lines.Insert("\001X-UNKNOWN-KLUDGE: kept as it stands");
      r.tear_line = " PointEd 2.0";
      r.has_tear_line = true;
      r.origin = "A point at home ";
      r.has_origin = true;
      r.body.Write(std::string("Written at a point.\r"));
      break;
  }
  r.msgid_present = !r.msgid.empty();
  r.intl_present = !r.intl.empty();
  r.body.Seek(0);
  r.ConvertFlags(Direction::kReading);
}

// Messages whose MSGID a reader generates (a random serial every time).
inline bool HasOwnMsgid(int n) { return n != 3; }

// ---------------------------------------------------------------------------
// Expectations.

// Fields of a dump that can not be predicted: the kinds' own numbers, and
// whatever a reader makes up from the clock or at random.
struct Loose {
  std::set<std::string> fields{"stored_number"};
  bool msgid_serial = false;  // compare only the address part of the MSGID
};

inline std::string IntlOf(const MessageRecord& r, bool trailing_blank) {
  auto address = [](uint16_t zone, uint16_t net, uint16_t node) {
    return std::to_string(zone) + ":" + std::to_string(net) + "/" + std::to_string(node);
  };
  return address(r.dest_zone, r.dest_net, r.dest_node) + " " +
         address(r.orig_zone, r.orig_net, r.orig_node) + (trailing_blank ? " " : "");
}

// What the converter does to a record between reading and writing it.
inline void PrepareForCopy(MessageRecord& r) {
  r.reply_to = 0;
  r.replies.fill(0);
  if (!r.intl_present) r.intl.clear();
  if (!r.msgid_present) r.msgid.clear();
}

// Turns `r`, a record about to be written to a base of `kind`, into what
// reading it back from that base gives, as the table above says.
inline void StoreAndReadBack(const Kind& kind, MessageRecord& r, Loose* loose) {
  const bool echomail = r.IsEchomail();  // decides the INTL/FMPT/TOPT lines
  if (r.from_name.size() > kind.name_limit)
    r.from_name = r.from_name.str().substr(0, kind.name_limit);
  if (r.to_name.size() > kind.name_limit) r.to_name = r.to_name.str().substr(0, kind.name_limit);
  if (r.subject.size() > kind.subject_limit) {
    r.subject = r.subject.str().substr(0, kind.subject_limit);
  }

  if (!kind.date_arrived) {
    r.date_arrived = DateTime{};
  } else if (!IsValidDate(r.date_arrived)) {
    loose->fields.insert("date_arrived");  // the writer puts the clock's time there
  } else {
    r.date_arrived.second -= r.date_arrived.second % kind.arrived_step;
  }
  r.date_text = FormatDate(r.date_written);

  switch (kind.times_read) {
    case ReadCount::kCount:
      break;
    case ReadCount::kNone:
      r.times_read = 0;
      break;
    case ReadCount::kReadBit:
      r.times_read = r.times_read != 0 ? 1 : 0;
      break;
  }
  r.attributes &= kind.attributes;
  if (kind.times_read == ReadCount::kReadBit) r.SetAttribute(kSquishReadBit, r.times_read != 0);
  if (kind.unique_id) {
    r.SetAttribute(kSquishUniqueIdBit, true);
    loose->fields.insert("unique_id");  // the base's next id
  } else {
    r.unique_id = 0;
  }
  for (int f = 0; f < kFirstFlagsOnlyFlag; ++f) {
    r.attribute_flags[f] = r.HasAttribute(kAttributeTable[f].bit);
  }

  if (!kind.reply_to) r.reply_to = 0;
  for (int i = kind.replies; i < kReplyListSize; ++i) r.replies[i] = 0;
  if (!kind.area) r.area.clear();
  if (!kind.cost) r.cost = 0;
  if (!kind.utc_offset) r.utc_offset = 0;
  r.stored_type = !kind.message_type ? MessageType::kUnknown
                  : echomail         ? MessageType::kEchomail
                                     : MessageType::kNetmail;

  const std::string tid_prefix = "\001TID: ";
  switch (kind.tid) {
    case TidLine::kField:
      // A TID line kept among the other control lines is recognised again.
      for (int32_t i = 0; i < r.control_lines.count(); ++i) {
        if (r.tid.empty() && r.control_lines.At(i).starts_with(tid_prefix)) {
          r.tid = r.control_lines.At(i).substr(tid_prefix.size());
          r.control_lines.AtFree(i);
          break;
        }
      }
      break;
    case TidLine::kControlLine:
      if (!r.tid.empty()) r.control_lines.InsertAt(0, tid_prefix + r.tid.str());
      r.tid.clear();
      break;
  }

  if (kind.addresses == Addresses::kKludges && echomail) r.dest_point = 0;
  if (kind.addresses == Addresses::kTexts && !echomail) {
    // The address texts' readers set the INTL text of netmail (without
    // points).
    r.intl = IntlOf(r, false);
    r.intl_present = true;
  } else if (!echomail && !r.intl.empty()) {
    r.intl_present = true;
  } else {
    r.intl = IntlOf(r, true);
    r.intl_present = false;
  }
  if (r.msgid.empty()) {
    loose->msgid_serial = true;
    r.msgid = r.FormatOriginAddress() + " ????????";
    r.msgid_present = false;
  } else {
    r.msgid_present = true;
  }
  r.state = kRecordRead;
}

// Turns `r`, read from a base of kind `from`, into what copying it into a
// base of kind `to` and reading it back gives.  Between bases of one kind
// the message is copied as it is stored: it reads as it did, without its
// reply links, and under the destination's own numbers (a Squish copy gets
// the destination's unique id).  Otherwise the record travels as the table
// says.
inline void CopyAndReadBack(const Kind& from, const Kind& to, MessageRecord& r, Loose* loose) {
  if (&from == &to) {
    r.reply_to = 0;
    r.replies.fill(0);
    if (to.unique_id) loose->fields.insert("unique_id");
    return;
  }
  PrepareForCopy(r);
  StoreAndReadBack(to, r, loose);
}

// The dump of `r` without the loose fields; with a loose serial, the MSGID
// shows only its address.
inline std::string Dump(MessageRecord& r, const Loose& loose) {
  std::string msgid = r.msgid.str();
  if (loose.msgid_serial) r.msgid = msgid.substr(0, msgid.find(' '));
  std::istringstream lines(DumpRecord(r));
  r.msgid = msgid;
  std::string out, line;
  while (std::getline(lines, line)) {
    if (!loose.fields.contains(line.substr(0, line.find(':')))) out += line + "\n";
  }
  return out;
}

// ---------------------------------------------------------------------------
// Bases.

// Creates the base `spec` afresh holding the handcrafted messages `numbers`.
inline void WriteMessages(const std::string& spec, const std::vector<int>& numbers) {
  std::unique_ptr<MessageBase> base = CreateFresh(platform::kDenyWrite, spec);
  ASSERT_TRUE(base) << spec;
  for (int n : numbers) {
    MessageRecord r;
    BuildMessage(n, r);
    ASSERT_TRUE(base->WriteMessage(base->count() + 1, r)) << spec << " message " << n;
  }
  ASSERT_TRUE(base->Close()) << spec;
}

// A Fido directory of `count` copies of handcrafted message 1, made fast by
// copying its file.
inline void WriteManyFidoMessages(const std::string& directory, int count) {
  WriteMessages("f" + directory, {1});
  const std::string bytes = ReadFileBytes(directory + "/1.msg");
  ASSERT_FALSE(bytes.empty());
  for (int n = 2; n <= count; ++n) {
    ASSERT_TRUE(WriteFileBytes(directory + "/" + std::to_string(n) + ".msg", bytes));
  }
}

inline std::vector<int> AllMessages() {
  std::vector<int> numbers;
  for (int n = 1; n <= kMessageCount; ++n) numbers.push_back(n);
  return numbers;
}

// Every handcrafted message.
inline std::vector<int> EveryShape() {
  std::vector<int> numbers = AllMessages();
  numbers.push_back(kLocalPointEchomail);
  return numbers;
}

inline std::unique_ptr<MessageBase> OpenBase(const std::string& spec) {
  return OpenOrCreate(platform::kDenyWrite, spec);
}

// The number of messages of the base `spec` (-1 when it does not open).
inline int32_t CountOf(const std::string& spec) {
  std::unique_ptr<MessageBase> base = OpenBase(spec);
  return base ? base->count() : -1;
}

constexpr const char* kUnreadable = "<unreadable>\n";

// Every message of the base as a full dump, kUnreadable for one that does
// not read.
inline std::vector<std::string> DumpAll(const std::string& spec) {
  std::vector<std::string> dumps;
  std::unique_ptr<MessageBase> base = OpenBase(spec);
  EXPECT_TRUE(base) << spec;
  if (!base) return dumps;
  for (int32_t n = 1; n <= base->count(); ++n) {
    MessageRecord r;
    dumps.push_back(base->ReadMessage(n, r) ? DumpRecordWithout(r, {"stored_number"})
                                            : kUnreadable);
  }
  return dumps;
}

// Compares message `copy_number` of base `copy` with what copying message
// `number` of base `source` into a base of kind `kind` must give;
// `msgid_serial` when that message's MSGID was made up by a reader.
inline void ExpectCopied(MessageBase& source, int32_t number, const Kind& kind, MessageBase& copy,
                         int32_t copy_number, bool msgid_serial) {
  MessageRecord expected, actual;
  ASSERT_TRUE(source.ReadMessage(number, expected)) << "source #" << number;
  ASSERT_TRUE(copy.ReadMessage(copy_number, actual)) << "copy #" << copy_number;
  Loose loose;
  loose.msgid_serial = msgid_serial;
  if (typeid(source) == typeid(copy)) {
    CopyAndReadBack(kind, kind, expected, &loose);
  } else {
    PrepareForCopy(expected);
    StoreAndReadBack(kind, expected, &loose);
  }
  EXPECT_EQ(Dump(actual, loose), Dump(expected, loose))
      << "source #" << number << " -> copy #" << copy_number;
}

inline void ExpectCopied(const std::string& source, int32_t number, const Kind& kind,
                         const std::string& copy, int32_t copy_number, bool msgid_serial) {
  std::unique_ptr<MessageBase> from = OpenBase(source);
  std::unique_ptr<MessageBase> to = OpenBase(copy);
  ASSERT_TRUE(from && to) << source << " -> " << copy;
  ExpectCopied(*from, number, kind, *to, copy_number, msgid_serial);
}

// ---------------------------------------------------------------------------
// The control lines of a stored message, by name: "INTL", "MSGID", "TZUTC",
// "Via", "SEEN-BY", "AREA", "tear", "origin", ... as read from the files,
// apart from the library's readers.  JAM keeps control lines in subfields
// (MSGID, REPLYID, PID, TRACE, FTSKLUDGE, SEENBY2D, PATH2D, FLAGS,
// TZUTCINFO) and the tear and origin lines in its text.

using LineNames = std::set<std::string>;

// The name of one line of stored text; empty for a line of the body.
inline std::string LineName(std::string_view line) {
  if (line.starts_with('\x01')) {
    line.remove_prefix(1);
    return std::string(line.substr(0, line.find_first_of(" :")));
  }
  for (const char* framing : {"SEEN-BY", "AREA"}) {
    if (line.starts_with(std::string(framing) + ":")) return framing;
  }
  if (line.starts_with("---")) return "tear";
  if (line.starts_with(" * Origin: ")) return "origin";
  return {};
}

inline void AddLineNames(std::string_view text, char separator, LineNames* names) {
  for (size_t start = 0, end; start < text.size(); start = end + 1) {
    end = std::min(text.find(separator, start), text.size());
    std::string name = LineName(text.substr(start, end - start));
    if (!name.empty()) names->insert(name);
  }
}

// The lines of message `n` of the base `spec` of `kind`.
inline LineNames StoredLines(const Kind& kind, const std::string& spec, int n) {
  const std::string path = spec.substr(1);
  LineNames names;
  if (&kind == &kFido) {
    constexpr size_t kHeaderSize = 190;
    const std::string file = ReadFileBytes(path + "/" + std::to_string(n) + ".msg");
    if (file.size() > kHeaderSize) AddLineNames(file.substr(kHeaderSize), '\r', &names);
  } else if (&kind == &kPacket) {
    constexpr size_t kFixedPart = 2 + 32;  // type word and fixed header
    const std::string packet = ReadFileBytes(path);
    size_t text = PacketMessageStart(packet, n) + kFixedPart;
    for (int field = 0; field < 3; ++field) text = packet.find('\0', text) + 1;  // names, subject
    AddLineNames(std::string_view(packet).substr(text, packet.find('\0', text) - text), '\r',
                 &names);
  } else if (&kind == &kSquish) {
    constexpr size_t kFrameHeader = 28, kMessageHeader = 238;
    const std::string data = ReadFileBytes(path + ".sqd");
    const size_t frame = SquishFrameOffset(path, n);
    const size_t control = frame + kFrameHeader + kMessageHeader;
    const size_t control_length = Le32At(data, frame + 20);
    const size_t text_length = Le32At(data, frame + 16) - kMessageHeader - control_length;
    const std::string info = data.substr(control, control_length);
    for (size_t start = 0, end; start < info.size(); start = end) {
      end = std::min(info.find('\x01', start + 1), info.size());
      std::string name = LineName(info.substr(start, end - start));
      if (!name.empty()) names.insert(name);
    }
    AddLineNames(std::string_view(data).substr(control + control_length, text_length), '\r',
                 &names);
  } else {
    const std::map<uint32_t, std::string> kinds = {
        {4, "MSGID"},      {5, "REPLY"},   {7, "PID"},      {8, "Via"},
        {2001, "SEEN-BY"}, {2002, "PATH"}, {2003, "FLAGS"}, {2004, "TZUTC"}};
    const StoredJamMessage message = ReadStoredJamMessage(path, n);
    for (const auto& [id, data] : message.subfields) {
      if (id == 2000 || id == 1000) {
        names.insert(LineName("\x01" + data));
      } else if (kinds.contains(id)) {
        names.insert(kinds.at(id));
      }
    }
    AddLineNames(message.text, '\r', &names);
  }
  return names;
}

// ---------------------------------------------------------------------------
// Running the converter.

inline const char kBanner[] = "\nQuilxfer - message base converter, v0.04\n\n";

inline ProgramResult Convert(const std::string& source, const std::string& destination,
                             ProgramOptions options = {}) {
  return RunProgram(ProgramPath("Quilxfer"), {source, destination}, options);
}

// The output of a run that opened both bases and copied to the end.
inline std::string CopyOutput(const std::string& source, const std::string& destination,
                              int source_total, int destination_total,
                              const std::string& recovered = {}) {
  return std::string(kBanner) + "source base: [" + source + "]\n" + "destination base: [" +
         destination + "]\n\n" + recovered + "source base opened\ndestination base opened\n\n" +
         "source base - total " + std::to_string(source_total) + "\n" +
         "destination base - total " + std::to_string(destination_total) + "\n\n" +
         "coping message... #" + std::to_string(source_total) + "\n\n";
}

// What a run stopped by a key or a stop signal prints: "terminated!" over
// the counter, whatever number it showed.
inline std::string StoppedOutput(const std::string& source, const std::string& destination,
                                 int source_total, int destination_total) {
  std::string output = CopyOutput(source, destination, source_total, destination_total);
  return output.substr(0, output.rfind("#")) + "terminated!\n";
}

}  // namespace quil::testing::convert_e2e
