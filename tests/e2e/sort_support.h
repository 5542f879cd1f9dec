// Helpers of the sorter's end-to-end tests: bases of the four kinds filled
// with chosen messages, read back as comparable dumps, damaged on purpose,
// and pictured file by file.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "bases/base_opener.h"
#include "model/message_base.h"
#include "model/message_record.h"
#include "runtime/coding.h"
#include "runtime/platform.h"
#include "test_support.h"

namespace quil::testing::sort_e2e {

// A scratch directory for tests that run many sorts of busy bases.  They
// need no durable storage, so it goes to the memory file system when the
// system has one: the forced writes of every rebuild cost nothing there.
inline std::unique_ptr<TempDir> ScratchDirectory() {
  static const char* const kMemoryFileSystem = "/dev/shm";
  if (access(kMemoryFileSystem, W_OK | X_OK) != 0) return std::make_unique<TempDir>();
  const char* old = std::getenv("TMPDIR");
  const std::string saved = old ? old : "";
  setenv("TMPDIR", kMemoryFileSystem, 1);
  auto dir = std::make_unique<TempDir>();
  if (old) {
    setenv("TMPDIR", saved.c_str(), 1);
  } else {
    unsetenv("TMPDIR");
  }
  return dir;
}

// What the sorter prints first, on every run.
inline constexpr char kBanner[] = "\nQuilord - message base sorter, v0.04\n\n";

// What one successful sort of a base with `total` messages, `written` of
// which the sorted base holds, prints after the banner when standard output
// is not a terminal; `unreadable` is the line about messages that did not
// read.
inline std::string SortLines(const std::string& spec, int total, int written,
                             bool unread = false, const std::string& unreadable = {}) {
  return std::string(unread ? "mode: [sorting unreaded messages]\n"
                            : "mode: [sorting all base]\n") +
         "source base: [" + spec + "]\n" + "source base opened\n" + "source base - total " +
         std::to_string(total) + "\n" + "reading message... #" + std::to_string(total) + "\n" +
         "writing message... #" + std::to_string(written) + "\n" +
         (unreadable.empty() ? "" : unreadable + "\n") + "\n";
}

// One of the four storage kinds and where a test puts a base of it.
struct BaseKind {
  const char* name;   // for test names
  char mark;          // the type mark of its spec
  const char* place;  // the base's path inside the test directory
  bool keeps_read_count;
  bool keeps_reply_links;
};

inline const BaseKind kFido{"Fido", 'f', "net", true, true};
inline const BaseKind kPacket{"Packet", 'p', "mail.pkt", false, false};
inline const BaseKind kSquish{"Squish", 's', "area", true, true};
inline const BaseKind kJam{"Jam", 'j', "area", true, true};
inline const BaseKind* const kAllKinds[] = {&kFido, &kPacket, &kSquish, &kJam};

inline std::string SpecIn(const std::string& directory, const BaseKind& kind) {
  return std::string(1, kind.mark) + directory + "/" + kind.place;
}

inline DateTime Date(int year, int month, int day, int hour = 12, int minute = 0, int second = 0) {
  return DateTime{year, month, day, hour, minute, second};
}

// A message of the tests: its distinguishing tag, date written and times
// read.  Everything else is derived from the tag, so that every message
// differs from the others in many fields.
struct Message {
  int tag = 0;
  DateTime written;
  uint16_t times_read = 0;
};

// Fills `r` with a message rich in everything the formats store: header
// fields, addresses with points, MSGID and PID, an unknown control line,
// routing lines, reply links, attributes, body text and (for every third
// tag) echomail parts.
inline void FillRecord(MessageRecord& r, const Message& m) {
  const std::string tag = std::to_string(m.tag);
  r.Clear();
  r.from_name = "Sender " + tag;
  r.to_name = "Receiver " + tag;
  r.subject = "Subject of message " + tag;
  r.date_written = m.written;
  r.date_arrived = Date(2020, 1, 2, 3, 4, 6);
  r.times_read = m.times_read;
  r.orig_zone = 2;
  r.orig_net = 5020;
  r.orig_node = static_cast<uint16_t>(m.tag % 100 + 1);
  r.orig_point = static_cast<uint16_t>(m.tag % 3);
  r.dest_zone = 2;
  r.dest_net = 5030;
  r.dest_node = 7;
  r.dest_point = 0;
  r.msgid = "2:5020/" + std::to_string(m.tag % 100 + 1) + " 0000" + std::to_string(1000 + m.tag);
  r.pid = "QuilTest 1.0";
  r.attributes = kAttrPrivate | (m.tag % 2 ? kAttrLocal : kAttrKillSent);
  r.attribute_flags[kFlagDirect] = m.tag % 4 == 0;
  r.ConvertFlags(Direction::kReading);  // the flags follow the word
  r.cost = static_cast<uint16_t>(m.tag % 7);
  r.reply_to = m.tag + 1;
  r.replies[0] = m.tag + 2;
  r.replies[1] = m.tag + 3;
  r.control_lines.Insert("\x01TZUTC: 0300");
  r.AddViaLine("2:5020/1 @20200102.030406 QuilTest");
  if (m.tag % 3 == 0) {
    r.area = "TEST.ECHO";
    r.tear_line = " QuilTest";
    r.has_tear_line = true;
    r.origin = "Test station " + tag + " ";
    r.has_origin = true;
    r.seenby_lines.Insert("5020/1 2 3");
    r.path_lines.Insert("5020/1");
  }
  r.body.Write("First line of message " + tag + "\rSecond line\r\rLast line\r");
  r.body.Seek(0);
}

// Creates the base `spec` afresh holding `messages` as 1..N.
inline void WriteBase(const std::string& spec, const std::vector<Message>& messages) {
  std::unique_ptr<MessageBase> base = CreateFresh(platform::kDenyWrite, spec);
  ASSERT_TRUE(base) << spec;
  MessageRecord r;
  for (const Message& m : messages) {
    FillRecord(r, m);
    ASSERT_TRUE(base->WriteMessage(base->count() + 1, r)) << spec << " message " << m.tag;
  }
  ASSERT_TRUE(base->Close()) << spec;
}

// Messages numbered 1..n whose dates run backwards (message 1 newest).
inline std::vector<Message> Backwards(int n) {
  std::vector<Message> messages;
  for (int i = 1; i <= n; ++i) {
    messages.push_back({i, Date(2001, 1, 1, 0, 0, 0), 0});
    // A day and a few seconds per step, so every date is distinct and
    // distinct in every format (Squish keeps even seconds only).
    int64_t back = static_cast<int64_t>(n - i) * 86402;
    messages.back().written = SecondsToDate(DateToSeconds(messages.back().written) + back);
  }
  return messages;
}

// The fields a sort may change: reply links (renumbered), the numbers the
// base hands out (JAM MessageNumber, Squish umsgid in the index and the
// message header), and the record's own bookkeeping.
inline std::string StableDump(MessageRecord& r) {
  return DumpRecordWithout(r, {"reply_to", "replies", "stored_number", "unique_id", "state"});
}

constexpr const char* kUnreadable = "<unreadable>";

// Every message of the base, as StableDump, kUnreadable for one that does
// not read.  Empty with a failure when the base does not open.
inline std::vector<std::string> ReadDumps(const std::string& spec) {
  std::vector<std::string> dumps;
  std::unique_ptr<MessageBase> base = OpenOrCreate(platform::kDenyWrite, spec);
  EXPECT_TRUE(base) << spec;
  if (!base) return dumps;
  for (int32_t n = 1; n <= base->count(); ++n) {
    MessageRecord r;
    dumps.push_back(base->ReadMessage(n, r) ? StableDump(r) : kUnreadable);
  }
  return dumps;
}

// What the links of a base say: for each message, its tag, the id by
// which links name it, and its reply links as the record gives them
// (reply-to, then the reply list; 0 where the kind keeps none).
struct LinkPicture {
  int tag = -1;
  uint32_t id = 0;
  std::vector<int32_t> links;
};

inline std::vector<LinkPicture> ReadLinks(const std::string& spec) {
  std::vector<LinkPicture> pictures;
  std::unique_ptr<MessageBase> base = OpenOrCreate(platform::kDenyWrite, spec);
  EXPECT_TRUE(base) << spec;
  if (!base) return pictures;
  for (int32_t n = 1; n <= base->count(); ++n) {
    LinkPicture picture;
    picture.id = base->LinkId(n);
    MessageRecord r;
    if (base->ReadMessage(n, r)) {
      std::string subject = r.subject.str();
      picture.tag = std::stoi(subject.substr(subject.rfind(' ') + 1));
      picture.links.push_back(r.reply_to);
      picture.links.insert(picture.links.end(), r.replies.begin(), r.replies.end());
    }
    pictures.push_back(picture);
  }
  return pictures;
}

// The links `after` a sort must hold, from those `before` it: each link
// that named a message by its old id names it by its new one, and a link
// to a message that is not in the sorted base is 0.
inline std::vector<std::vector<int32_t>> RenumberedLinks(const std::vector<LinkPicture>& before,
                                                         const std::vector<LinkPicture>& after) {
  std::map<uint32_t, int> tag_of_old_id;
  for (const LinkPicture& p : before) tag_of_old_id[p.id] = p.tag;
  std::map<int, uint32_t> new_id_of_tag;
  for (const LinkPicture& p : after) new_id_of_tag[p.tag] = p.id;
  std::vector<std::vector<int32_t>> expected;
  for (const LinkPicture& p : after) {
    auto old = std::find_if(before.begin(), before.end(),
                            [&p](const LinkPicture& q) { return q.tag == p.tag; });
    std::vector<int32_t> links = old != before.end() ? old->links : std::vector<int32_t>{};
    for (int32_t& link : links) {
      auto tag = tag_of_old_id.find(static_cast<uint32_t>(link));
      bool kept = link != 0 && tag != tag_of_old_id.end() && new_id_of_tag.count(tag->second);
      link = kept ? static_cast<int32_t>(new_id_of_tag[tag->second]) : 0;
    }
    expected.push_back(links);
  }
  return expected;
}

// The subjects' tags of the base's messages, in order; -1 for one that
// does not read.
inline std::vector<int> ReadTags(const std::string& spec) {
  std::vector<int> tags;
  for (const LinkPicture& p : ReadLinks(spec)) tags.push_back(p.tag);
  return tags;
}

inline std::vector<std::vector<int32_t>> LinksOf(const std::vector<LinkPicture>& pictures) {
  std::vector<std::vector<int32_t>> links;
  for (const LinkPicture& p : pictures) links.push_back(p.links);
  return links;
}

// The stored forms (test_support.h) of the base `spec`'s messages.
inline std::vector<std::string> StoredFormsOf(const std::string& spec) {
  std::unique_ptr<MessageBase> base = OpenOrCreate(platform::kDenyWrite, spec);
  EXPECT_TRUE(base) << spec;
  const int count = base ? base->count() : 0;
  base.reset();
  std::string path = spec.substr(1);
  char mark = static_cast<char>(std::tolower(static_cast<unsigned char>(spec[0])));
  return StoredForms(mark, path, count);
}

// The names in a snapshot.
inline std::vector<std::string> Names(const std::map<std::string, std::string>& files) {
  std::vector<std::string> names;
  for (const auto& [name, bytes] : files) names.push_back(name);
  return names;
}

// Files of the snapshot that are neither the base's nor the test's own:
// what a rebuild left behind.
inline std::vector<std::string> Leftovers(const std::string& directory,
                                          const std::vector<std::string>& expected) {
  std::vector<std::string> extra;
  for (const auto& [name, bytes] : SnapshotTree(directory)) {
    if (std::find(expected.begin(), expected.end(), name) == expected.end()) extra.push_back(name);
  }
  return extra;
}

// The files a rebuild of a base in `directory` keeps beside it (its lock,
// markers and new base), of any base kind; none once a sort is over.
inline std::vector<std::string> RebuildFiles(const std::string& directory) {
  std::vector<std::string> names;
  for (const auto& [name, bytes] : SnapshotTree(directory)) {
    if (name.find(".quil-sort") != std::string::npos) names.push_back(name);
  }
  return names;
}

// Damages message n of the base in `directory` so that reading it fails
// while the others still read.  A packet has no per-message framing that a
// reader checks, so there only a cut-short last message is unreadable: n
// must be the last.
inline void DamageMessage(const std::string& directory, const BaseKind& kind, int n) {
  const std::string path = directory + "/" + kind.place;
  switch (kind.mark) {
    case 'f': {
      std::string file = path + "/" + std::to_string(n) + ".msg";
      std::string bytes = ReadFileBytes(file);
      ASSERT_FALSE(bytes.empty());
      ASSERT_TRUE(WriteFileBytes(file, bytes.substr(0, 100)));  // shorter than a header
      break;
    }
    case 'p': {
      std::string bytes = ReadFileBytes(path);
      size_t start = PacketMessageStart(bytes, n);
      ASSERT_LT(start, bytes.size());
      ASSERT_TRUE(WriteFileBytes(path, bytes.substr(0, start + 2 + 20)));
      break;
    }
    case 's':
      PatchFile(path + ".sqd", SquishFrameOffset(path, n), "XXXX");  // the frame id
      break;
    case 'j':  // the header signature and revision
      PatchFile(path + ".jhr", JamHeaderOffset(path, n), "XXXXXX");
      break;
    default:
      FAIL() << "unknown kind";
  }
}

}  // namespace quil::testing::sort_e2e
