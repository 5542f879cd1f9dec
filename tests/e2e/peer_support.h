// Helpers of the end-to-end tests that run other FidoNet software as peers
// of the library: finding the peer programs, the messages sent through
// them, and reading back what they leave behind.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "bases/base_opener.h"
#include "convert_support.h"
#include "model/attributes.h"
#include "model/message_base.h"
#include "model/message_record.h"
#include "runtime/platform.h"
#include "test_support.h"

namespace quil::testing::peer {

// The path of an installed program, or empty.  Daemons live in sbin, which
// is often not in PATH, so the system program directories are searched too.
inline std::string FindProgram(std::string_view name) {
  std::string dirs = std::getenv("PATH") ? std::getenv("PATH") : "";
  dirs += ":/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin";
  std::istringstream in(dirs);
  std::string dir;
  while (std::getline(in, dir, ':')) {
    if (dir.empty()) continue;
    std::filesystem::path candidate = std::filesystem::path(dir) / name;
    std::error_code error;
    if (std::filesystem::is_regular_file(candidate, error)) return candidate.string();
  }
  return {};
}

// ---------------------------------------------------------------------------
// Addresses of the little network the tests set up: the peer's system with
// two addresses, and the link that sends it our packets.

inline constexpr char kPeerAddress[] = "2:5020/1";
inline constexpr char kPeerSecondAddress[] = "2:5020/3";
inline constexpr char kLinkAddress[] = "2:5020/2";

// The byte that starts a kludge line (^A).
inline const std::string kControlMark = "\x01";

// Cyrillic in code page 866, as FidoNet texts carry it.
inline const std::string kIvanPetrov = "\x88\xa2\xa0\xad \x8f\xa5\xe2\xe0\xae\xa2";
inline const std::string kPrivet = "\x8f\xe0\xa8\xa2\xa5\xe2";

// Every byte from 0x80 to 0xFF, in two lines of 64.
inline std::string HighBytes() {
  std::string bytes;
  for (int c = 0x80; c <= 0xFF; ++c) {
    bytes += static_cast<char>(c);
    if (c == 0xBF) bytes += '\r';
  }
  return bytes + "\r";
}

// The record in the form a reader gives it back: flags and attribute word
// in agreement, the body read from its start.
inline void Settle(MessageRecord& r) {
  r.body.Seek(0);
  r.ConvertFlags(Direction::kReading);
}

// Netmail between points of two zones, to point `point` of the peer's
// address `to`: the zones and points travel in INTL, FMPT and TOPT.  Every
// kind of control line, and a body in code page 866 with a ^A inside a line.
inline void BuildZoneNetmail(MessageRecord& r, std::string_view to, uint16_t point,
                             std::string_view subject) {
  r.Clear();
  r.from_name = "Nikolai Rimsky-Korsakov";
  r.to_name = "Pyotr Tchaikovsky";
  r.subject = subject;
  r.date_written = {2001, 3, 5, 17, 30, 8};
  r.cost = 7;
  r.orig_zone = 1, r.orig_net = 250, r.orig_node = 3, r.orig_point = 3;
  r.ParseDestinationAddress(std::string(to) + "." + std::to_string(point));
  r.intl = std::string(to) + " 1:250/3";
  r.msgid = "1:250/3.3 12345678";
  r.reply = std::string(to) + "." + std::to_string(point) + " 87654321";
  r.pid = "Quil 0.04";
  r.tid = "QuilTosser 1.2";
  r.flags = "DIR";
  r.attributes = kAttrPrivate | kAttrCrash | kAttrKillSent | kAttrLocal;
  r.control_lines.Insert(kControlMark + "CHRS: CP866 2");
  r.control_lines.Insert(kControlMark + "TZUTC: 0300");
  r.AddViaLine("1:250/3 @20010305.180000 OtherTosser 1.0");
  r.tear_line = " Quil 0.04";
  r.has_tear_line = true;
  r.body.Write(kPrivet + ",\r\rA line with a \x01 inside it.\rLast line.\r");
  r.msgid_present = r.intl_present = true;
  Settle(r);
}

// Netmail within the zone from a point of the link to a point of the peer's
// second address.
inline void BuildPointNetmail(MessageRecord& r) {
  r.Clear();
  r.from_name = "Point User";
  r.to_name = "Second Sysop";
  r.subject = "Netmail to the second address";
  r.date_written = {2015, 1, 1, 0, 0, 0};
  r.orig_zone = 2, r.orig_net = 5020, r.orig_node = 2, r.orig_point = 1;
  r.dest_zone = 2, r.dest_net = 5020, r.dest_node = 3, r.dest_point = 2;
  r.intl = "2:5020/3 2:5020/2";
  r.msgid = "2:5020/2.1 aabbccdd";
  r.attributes = kAttrPrivate;
  r.body.Write(std::string("Just one line.\r"));
  r.msgid_present = r.intl_present = true;
  Settle(r);
}

// Echomail from a point of the link, with SEEN-BY and PATH lines, a domain
// in MSGID and REPLY, code page 866 in a name, every high byte in the body
// and an origin line.
inline void BuildEchomail(MessageRecord& r, std::string_view area, std::string_view subject) {
  r.Clear();
  r.area = area;
  r.from_name = kIvanPetrov;
  r.to_name = "All";
  r.subject = subject;
  r.date_written = {2023, 12, 31, 23, 59, 58};
  r.orig_zone = 2, r.orig_net = 5020, r.orig_node = 2, r.orig_point = 5;
  r.dest_zone = 2, r.dest_net = 5020, r.dest_node = 1, r.dest_point = 0;
  r.msgid = "2:5020/2.5@fidonet 0a1b2c3d";
  r.reply = "2:5020/1@fidonet 11223344";
  r.orig_domain = r.dest_domain = "fidonet";
  r.pid = "Quil 0.04";
  r.control_lines.Insert(kControlMark + "CHRS: CP866 2");
  r.routing_lines.Insert(kControlMark + "Forwarded by 2:5020/2");
  r.tear_line = " Quil 0.04";
  r.has_tear_line = true;
  r.origin = kPrivet + " echo station ";
  r.has_origin = true;
  r.seenby_lines.Insert("5020/2 4");
  r.seenby_lines.Insert("5030/7");
  r.path_lines.Insert("5020/2");
  r.body.Write("First echo line\r" + HighBytes() + "Last line\r");
  r.msgid_present = true;
  Settle(r);
}

// ---------------------------------------------------------------------------
// Reading back.

// Every message of the base `spec`, in order; null for a number that does
// not read.  Fails the test when the base does not open.
inline std::vector<std::unique_ptr<MessageRecord>> ReadBase(const std::string& spec) {
  std::vector<std::unique_ptr<MessageRecord>> records;
  std::unique_ptr<MessageBase> base = OpenOrCreate(platform::kDenyWrite, spec);
  EXPECT_TRUE(base) << spec;
  if (!base) return records;
  for (int32_t n = 1; n <= base->count(); ++n) {
    auto r = std::make_unique<MessageRecord>();
    records.push_back(base->ReadMessage(n, *r) ? std::move(r) : nullptr);
  }
  return records;
}

// The message of `records` with this subject; fails the test (returning
// null) unless there is exactly one.
inline MessageRecord* BySubject(const std::vector<std::unique_ptr<MessageRecord>>& records,
                                std::string_view subject) {
  MessageRecord* found = nullptr;
  int matches = 0;
  for (const auto& r : records) {
    if (r && r->subject.str() == subject) found = r.get(), ++matches;
  }
  EXPECT_EQ(matches, 1) << "messages with the subject \"" << subject << "\"";
  return matches == 1 ? found : nullptr;
}

// A dump of every field but `omit`, for comparing a record read back with
// the one expected.
inline std::string Fields(MessageRecord& r, std::initializer_list<std::string_view> omit) {
  return DumpRecordWithout(r, omit);
}

// What a base holds as it is stored: the stored form (test_support.h) of
// each message by its subject, and the dates written in base order.
struct StoredMessages {
  std::map<std::string, std::string> by_subject;
  std::vector<int64_t> dates;
};

inline StoredMessages StoredBySubject(const std::string& spec) {
  StoredMessages stored;
  auto records = ReadBase(spec);
  const char mark = spec[0];
  std::vector<std::string> forms =
      StoredForms(mark, spec.substr(1), static_cast<int>(records.size()));
  for (size_t i = 0; i < records.size(); ++i) {
    if (!records[i]) continue;
    stored.by_subject[records[i]->subject.str()] = forms[i];
    stored.dates.push_back(DateToSeconds(records[i]->date_written));
  }
  return stored;
}

// The MSGID a reader makes up for a message without one: the address part
// is fixed, the serial is not.
inline std::string MsgidAddress(const MessageRecord& r) {
  std::string msgid = r.msgid.str();
  return msgid.substr(0, msgid.find(' '));
}

// ---------------------------------------------------------------------------
// A peer's JAM base copied by the converter into each kind and back.

// What a stored JAM message says apart from the numbers of its base, and
// that a base of kind `through` holds as well, one sorted line per item:
// every subfield (a time zone or a FLAGS line counts the same in its own
// subfield kind or in an FTSKLUDGE), the date written, the date processed
// (to the seconds `through` keeps), the attributes but for the bits of
// FLAGS words, times read, cost and the text.  Left out: the base's numbers
// (MessageNumber, the reply links, SubfieldLen, the text's offset and
// length), what no record field holds (DateReceived, Attribute2, the
// password) and the MSGID and REPLY CRCs, which a writer makes from those
// texts.
inline std::vector<std::string> WhatJamSays(const StoredJamMessage& m,
                                            const convert_e2e::Kind& through) {
  constexpr uint32_t kFtsKludge = 2000, kFlags = 2003, kTzutc = 2004;
  constexpr uint32_t kFlagsWordBits =
      0x00000040 | 0x00000200 | 0x00000400 | 0x00004000 | 0x00008000 | 0x40000000;
  std::vector<std::string> says;
  for (auto [id, data] : m.subfields) {
    for (auto [kind, prefix] : {std::pair{kTzutc, "TZUTC: "}, std::pair{kFlags, "FLAGS "}}) {
      if (id == kFtsKludge && data.starts_with(prefix)) {
        id = kind;
        data.erase(0, std::string_view(prefix).size());
      }
    }
    says.push_back("subfield " + std::to_string(id) + ": " + Printable(data));
  }
  char attribute[16];
  std::snprintf(attribute, sizeof attribute, "%08x", m.Field(52) & ~kFlagsWordBits);
  says.push_back("attribute: " + std::string(attribute));
  says.push_back("date written: " + std::to_string(m.Field(36)));
  if (through.date_arrived) {
    const uint32_t step = static_cast<uint32_t>(through.arrived_step);
    says.push_back("date processed: " + std::to_string(m.Field(44) - m.Field(44) % step));
  }
  says.push_back("times read: " + std::to_string(m.Field(12)));
  if (through.cost) says.push_back("cost: " + std::to_string(m.Field(72)));
  says.push_back("text: " + Printable(m.text));
  std::sort(says.begin(), says.end());
  return says;
}

// Copies the JAM base `jam` (a base spec) with the converter into a new base
// of each kind under `work`, and that into a new JAM base: every message
// comes back saying what it said (WhatJamSays), but for what the kind it
// went through can not hold (the cost, a date processed, its odd second).
// Echomail without a destination gains a DADDRESS (made from its origin):
// the JAM writer stores a destination always.
inline void ExpectJamComesBackFromEveryKind(const std::string& jam, const std::string& work) {
  using convert_e2e::Convert;
  using convert_e2e::CountOf;
  const int32_t count = CountOf(jam);
  ASSERT_GT(count, 0) << jam;
  for (const convert_e2e::Kind* kind : convert_e2e::kAllKinds) {
    SCOPED_TRACE(std::string("through ") + kind->name);
    const std::string copy = convert_e2e::SpecOf(*kind, work + "/" + kind->name, "copy");
    const std::string back = work + "/" + kind->name + "/back";
    ASSERT_EQ(Convert(jam, copy).exit_code, 0);
    ASSERT_EQ(Convert(copy, "j" + back).exit_code, 0);
    ASSERT_EQ(CountOf("j" + back), count);
    for (int n = 1; n <= count; ++n) {
      const StoredJamMessage original = ReadStoredJamMessage(jam.substr(1), n);
      StoredJamMessage returned = ReadStoredJamMessage(back, n);
      auto is_destination = [](const auto& subfield) { return subfield.first == 1; };
      if (std::none_of(original.subfields.begin(), original.subfields.end(), is_destination)) {
        std::erase_if(returned.subfields, is_destination);
      }
      EXPECT_EQ(WhatJamSays(returned, *kind), WhatJamSays(original, *kind)) << "message " << n;
    }
  }
}

}  // namespace quil::testing::peer
