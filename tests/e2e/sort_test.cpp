// End-to-end tests of the sorter: Quilord run as a user runs it, on bases of
// every kind, checked through the library and through the files it leaves.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "bases/base_opener.h"
#include "model/message_base.h"
#include "model/message_record.h"
#include "runtime/platform.h"
#include "runtime/string_ops.h"
#include "sort_support.h"
#include "test_support.h"

namespace quil::testing::sort_e2e {
namespace {

ProgramResult Sort(const std::vector<std::string>& args) {
  return RunProgram(ProgramPath("Quilord"), args);
}

// The files a base of `kind` consists of after the sorter made it.
std::vector<std::string> BaseFiles(const BaseKind& kind, int count) {
  switch (kind.mark) {
    case 'f': {
      std::vector<std::string> names{"net", "net/lastread.qlr"};
      for (int n = 1; n <= count; ++n) names.push_back("net/" + std::to_string(n) + ".msg");
      std::sort(names.begin(), names.end());
      return names;
    }
    case 'p':
      return {"mail.pkt"};
    case 's':
      return {"area.sqd", "area.sqi", "area.sql"};
    default:
      return {"area.jdt", "area.jdx", "area.jhr", "area.jlr", "area.jqx"};
  }
}

class SortAllTest : public ::testing::TestWithParam<const BaseKind*> {
 protected:
  const BaseKind& kind() const { return *GetParam(); }
  std::string spec() const { return SpecIn(dir_.path(), kind()); }

  TempDir dir_;
};

// Dates running backwards, with two equal ones (3 and 7): the sorted base
// holds them in ascending order, 3 before 7 as they stood, every field as
// it was, the reply links renumbered to the same messages (a link to a
// message that is not there becomes 0), and nothing else in the directory.
TEST_P(SortAllTest, OrdersByDateWrittenKeepingTiesAndThreads) {
  const DateTime same = Date(2000, 6, 1, 10, 0, 0);
  std::vector<Message> messages{{1, Date(2005, 1, 1), 0},
                                {2, Date(2004, 1, 1), 0},
                                {3, same, 0},
                                {4, Date(2003, 1, 1), 0},
                                {5, Date(2002, 1, 1), 0},
                                {6, Date(2001, 1, 1), 0},
                                {7, same, 0},
                                {8, Date(1999, 12, 31, 23, 59, 58), 0}};
  WriteBase(spec(), messages);
  std::vector<std::string> before = ReadDumps(spec());
  ASSERT_EQ(before.size(), 8u);
  const std::vector<LinkPicture> links_before = ReadLinks(spec());
  if (kind().keeps_reply_links) {
    // The original carries links, or their renumbering would prove nothing.
    EXPECT_NE(links_before[1].links, std::vector<int32_t>(1 + kReplyListSize, 0));
  }

  ProgramResult run = Sort({spec()});
  EXPECT_EQ(run.exit_code, 0);
  EXPECT_EQ(run.output, kBanner + SortLines(spec(), 8, 8));

  const std::vector<int> order{8, 3, 7, 6, 5, 4, 2, 1};
  EXPECT_EQ(ReadTags(spec()), order);
  std::vector<std::string> after = ReadDumps(spec());
  ASSERT_EQ(after.size(), 8u);
  for (size_t i = 0; i < after.size(); ++i) {
    EXPECT_EQ(after[i], before[order[i] - 1]) << "new message " << i + 1;
  }
  const std::vector<LinkPicture> links_after = ReadLinks(spec());
  EXPECT_EQ(LinksOf(links_after), RenumberedLinks(links_before, links_after));
  EXPECT_EQ(Leftovers(dir_.path(), BaseFiles(kind(), 8)), std::vector<std::string>{});
}

// Each message is stored after the sort exactly as before, byte for byte,
// apart from its own number, its links and its place; a second sort finds
// the base sorted and changes no byte of any file.
TEST_P(SortAllTest, KeepsTheStoredFormAndASecondSortChangesNothing) {
  WriteBase(spec(), Backwards(5));
  const std::vector<std::string> before = StoredFormsOf(spec());
  ASSERT_EQ(before.size(), 5u);

  ProgramResult run = Sort({spec()});
  ASSERT_EQ(run.exit_code, 0) << run.output;
  EXPECT_EQ(ReadTags(spec()), (std::vector<int>{5, 4, 3, 2, 1}));
  const std::vector<std::string> after = StoredFormsOf(spec());
  ASSERT_EQ(after.size(), 5u);
  for (size_t i = 0; i < after.size(); ++i) {
    EXPECT_EQ(Printable(after[i]), Printable(before[4 - i])) << "new message " << i + 1;
  }

  const auto sorted = SnapshotTree(dir_.path());
  run = Sort({spec()});
  EXPECT_EQ(run.exit_code, 0);
  EXPECT_EQ(run.output, kBanner + SortLines(spec(), 5, 5));
  EXPECT_EQ(SnapshotTree(dir_.path()), sorted);
}

TEST_P(SortAllTest, EmptyBaseStaysEmpty) {
  WriteBase(spec(), {});
  ProgramResult run = Sort({spec()});
  EXPECT_EQ(run.exit_code, 0);
  EXPECT_EQ(run.output, kBanner + SortLines(spec(), 0, 0));
  auto base = OpenOrCreate(platform::kDenyWrite, spec());
  ASSERT_TRUE(base);
  EXPECT_EQ(base->count(), 0);
  base.reset();
  EXPECT_EQ(Leftovers(dir_.path(), BaseFiles(kind(), 0)), std::vector<std::string>{});
}

// A message that does not read is never dropped silently.  A *.msg file is
// kept as it is, behind the sorted messages; in the other kinds it is left
// out of the sorted base, and the original base, damaged message and all,
// is kept beside it under the name the line gives.  The total still counts
// it.
TEST_P(SortAllTest, SaysWhatBecameOfAMessageThatCanNotBeRead) {
  WriteBase(spec(), Backwards(6));
  const int damaged = kind().mark == 'p' ? 6 : 3;  // a packet: only the last can be
  DamageMessage(dir_.path(), kind(), damaged);
  std::vector<std::string> before = ReadDumps(spec());
  ASSERT_EQ(before.size(), 6u);
  ASSERT_EQ(before[damaged - 1], kUnreadable);
  const std::string damaged_file = dir_ / ("net/" + std::to_string(damaged) + ".msg");
  const std::string damaged_bytes = ReadFileBytes(damaged_file);
  const bool kept = kind().mark == 'f';

  ProgramResult run = Sort({spec()});
  EXPECT_EQ(run.exit_code, 0);
  std::string kept_base;  // the copy of the original, for the kinds that leave it out
  if (!kept) {
    const std::string intro = "; the original base is kept as [";
    const size_t at = run.output.find(intro);
    ASSERT_NE(at, std::string::npos) << run.output;
    kept_base = run.output.substr(at + intro.size(),
                                  run.output.find(']', at) - at - intro.size());
  }
  EXPECT_EQ(run.output,
            kBanner + SortLines(spec(), 6, kept ? 6 : 5, false,
                                kept ? "1 message could not be read and was kept after the sorted ones"
                                     : "1 message could not be read and was left out; the "
                                       "original base is kept as [" + kept_base + "]"));
  if (!kept) {
    EXPECT_EQ(kept_base.substr(0, spec().size() - 4), spec().substr(0, spec().size() - 4));
    EXPECT_NE(kept_base.find(".damaged-"), std::string::npos) << kept_base;
    EXPECT_EQ(ReadDumps(kept_base), before);
  }

  std::vector<int> expected;
  for (int tag = 6; tag >= 1; --tag) {
    if (tag != damaged) expected.push_back(tag);
  }
  if (kept) expected.push_back(-1);
  EXPECT_EQ(ReadTags(spec()), expected);
  std::vector<std::string> after = ReadDumps(spec());
  for (size_t i = 0; i < 5; ++i) EXPECT_EQ(after[i], before[expected[i] - 1]);
  if (kept) {
    EXPECT_EQ(Printable(ReadFileBytes(dir_ / "net/6.msg")), Printable(damaged_bytes));
  }
}

// The key is the full seconds count: dates after 2038 (2079 comes from a
// two-digit year 79 in the text formats) follow the earlier ones.
TEST_P(SortAllTest, OrdersDatesAfter2038) {
  WriteBase(spec(), {{1, Date(2079, 1, 1, 0, 0, 0), 0},
                     {2, Date(2040, 5, 5), 0},
                     {3, Date(2038, 1, 19, 3, 14, 8), 0},
                     {4, Date(1999, 7, 7), 0},
                     {5, Date(2038, 1, 19, 3, 14, 2), 0},
                     {6, Date(1980, 1, 2), 0}});
  ProgramResult run = Sort({spec()});
  EXPECT_EQ(run.exit_code, 0) << run.output;
  EXPECT_EQ(ReadTags(spec()), (std::vector<int>{6, 4, 5, 3, 2, 1}));
  auto base = OpenOrCreate(platform::kDenyWrite, spec());
  MessageRecord r;
  ASSERT_TRUE(base->ReadMessage(6, r));
  EXPECT_EQ(r.date_written.year, 2079);
  EXPECT_EQ(r.date_text.str(), "01 Jan 79  00:00:00");
}

// Read messages (1, 4, 5) stay in front in their order; the unread (2, 3)
// follow by date.  A packet keeps no read counts: all of it is unread.
TEST_P(SortAllTest, SortUnreadKeepsReadMessagesInFront) {
  WriteBase(spec(), {{1, Date(2010, 1, 1), 3},
                     {2, Date(2009, 1, 1), 0},
                     {3, Date(2008, 1, 1), 0},
                     {4, Date(2001, 1, 1), 1},
                     {5, Date(2005, 1, 1), 1}});
  std::vector<std::string> before = ReadDumps(spec());
  ProgramResult run = Sort({spec(), "/u"});
  EXPECT_EQ(run.exit_code, 0);
  EXPECT_EQ(run.output, kBanner + SortLines(spec(), 5, 5, true));
  std::vector<int> expected =
      kind().keeps_read_count ? std::vector<int>{1, 4, 5, 3, 2} : std::vector<int>{4, 5, 3, 2, 1};
  EXPECT_EQ(ReadTags(spec()), expected);
  std::vector<std::string> after = ReadDumps(spec());
  ASSERT_EQ(after.size(), 5u);
  for (size_t i = 0; i < after.size(); ++i) EXPECT_EQ(after[i], before[expected[i] - 1]);
}

INSTANTIATE_TEST_SUITE_P(AllKinds, SortAllTest, ::testing::ValuesIn(kAllKinds),
                         ParamName<BaseKind>);

// ---------------------------------------------------------------------------
// Settings of the base itself survive the rebuild: header fields as the
// packet's maker or a tosser set them.

TEST(SortSettingsTest, HeaderSettingsSurviveTheSort) {
  using namespace std::string_literals;
  struct Case {
    const BaseKind* kind;
    const char* file;                                      // the file that holds the header
    size_t header_size;                                    // its header's size
    std::vector<std::pair<size_t, std::string>> settings;  // offset, bytes
    std::vector<std::pair<size_t, size_t>> kept;           // offset, length
  } const cases[] = {
      // Everything stays as it was, the date and time included.
      {&kPacket,
       "mail.pkt",
       58,
       {{0, Le16(1) + Le16(7)},  // origin and destination node
        {4, Le16(1999) + Le16(11) + Le16(31) + Le16(23) + Le16(59) + Le16(58)},  // date, time
        {16, Le16(9600)},               // baud
        {20, Le16(5020) + Le16(5030)},  // origin and destination net
        {24,
         "\x42\x03"
         "SECRET\0\0"s},                              // product code low, revision major, password
        {34, Le16(2) + Le16(2)},                      // zones (FTS-0001 place)
        {40, Le16(0x0300) + "\x7a\x05"},              // capability word copy, product high, minor
        {44, Le16(3) + Le16(2) + Le16(2) + Le16(4)},  // capability word, zones, origin point
        {54, "QUIL"}},                                // product data
       {{0, 58}}},
      // skip_msg, the base name, max_msg and keep_days.
      {&kSquish,
       "area.sqd",
       256,
       {{12, Le32(10)}, {24, "TEST.AREA"}, {124, Le32(500)}, {128, Le16(30)}},
       {{12, 4}, {24, 80}, {124, 4}, {128, 2}}},
      // DateCreated (2000-01-01) and PasswordCRC.
      {&kJam, "area.jhr", 1024, {{4, Le32(946684800)}, {16, Le32(0x12345678)}}, {{4, 4}, {16, 4}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.kind->name);
    TempDir dir;
    const std::string spec = SpecIn(dir.path(), *c.kind);
    WriteBase(spec, Backwards(3));
    for (const auto& [offset, bytes] : c.settings) PatchFile(dir / c.file, offset, bytes);
    const std::string before = ReadFileBytes(dir / c.file);

    ProgramResult run = Sort({spec});
    ASSERT_EQ(run.exit_code, 0) << run.output;
    EXPECT_EQ(ReadTags(spec), (std::vector<int>{3, 2, 1}));
    const std::string after = ReadFileBytes(dir / c.file);
    ASSERT_GE(after.size(), c.header_size);
    for (const auto& [offset, length] : c.kept) {
      EXPECT_EQ(Printable(after.substr(offset, length)), Printable(before.substr(offset, length)))
          << "at " << offset;
    }
  }
}

// ---------------------------------------------------------------------------
// What points into a base follows its messages: lastread pointers, a
// tosser's high-water marks, and reply links in a JAM base's own numbering.

// Six messages whose dates put them in the order 1, 2, 4, 5, 3, 6.
std::vector<Message> ThreeMovesForward() {
  std::vector<Message> messages;
  for (int day : {1, 2, 5, 3, 4, 6}) {
    messages.push_back({static_cast<int>(messages.size()) + 1, Date(2010, 1, day), 0});
  }
  return messages;
}

// Each pointer becomes the id just below the lowest new id among the
// messages that lay above it: no unread message counts as read after the
// sort.  A pointer at or past the last message keeps its distance to the
// next message; one below every message (nothing read) stays.
TEST(SortLastreadTest, PointersFollowTheMessagesTheyNamed) {
  using namespace std::string_literals;
  struct Case {
    const BaseKind* kind;
    const char* file;
    std::string before;
    std::string after;
  } const cases[] = {
      // JAM: UserCRC, UserID, LastReadMsg, HighReadMsg; message n is id n.
      // A last record cut short is copied as it is.
      {&kJam, "area.jlr",
       Le32(0x11111111) + Le32(1) + Le32(2) + Le32(4) + Le32(0x22222222) + Le32(2) + Le32(0) +
           Le32(3) + Le32(0x33333333) + Le32(3) + Le32(6) + Le32(9) + Le32(0x44444444) +
           Le32(4) + Le32(5) + Le32(5) + "xyz",
       Le32(0x11111111) + Le32(1) + Le32(2) + Le32(3) + Le32(0x22222222) + Le32(2) + Le32(0) +
           Le32(2) + Le32(0x33333333) + Le32(3) + Le32(6) + Le32(9) + Le32(0x44444444) +
           Le32(4) + Le32(5) + Le32(5) + "xyz"},
      // Squish: one unique id per reader; message n has id n.
      {&kSquish, "area.sql", Le32(0) + Le32(2) + Le32(3) + Le32(6) + Le32(11),
       Le32(0) + Le32(2) + Le32(2) + Le32(6) + Le32(11)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.kind->name);
    TempDir dir;
    const std::string spec = SpecIn(dir.path(), *c.kind);
    WriteBase(spec, ThreeMovesForward());
    ASSERT_TRUE(WriteFileBytes(dir / c.file, c.before));
    if (c.kind == &kSquish) PatchFile(dir / "area.sqd", 16, Le32(4));  // high_water: message 4

    ProgramResult run = Sort({spec});
    ASSERT_EQ(run.exit_code, 0) << run.output;
    EXPECT_EQ(ReadTags(spec), (std::vector<int>{1, 2, 4, 5, 3, 6}));
    EXPECT_EQ(Printable(ReadFileBytes(dir / c.file)), Printable(c.after));
    if (c.kind == &kSquish) {
      EXPECT_EQ(Le32At(ReadFileBytes(dir / "area.sqd"), 16), 3u);
    }
  }
}

// A *.msg base of `count` messages numbered from 2, as a tosser leaves an
// echo area whose 1.msg is (or was) its high-water mark.
void WriteBaseFromTwo(const TempDir& dir, const std::string& spec, int count) {
  WriteBase(spec, Backwards(count));
  for (int n = count; n >= 1; --n) {
    std::filesystem::rename(dir / ("net/" + std::to_string(n) + ".msg"),
                            dir / ("net/" + std::to_string(n + 1) + ".msg"));
  }
}

// A *.msg echo area's 1.msg with the subject "HighWater mark" is a tosser's
// bookkeeping: it stays 1.msg, byte for byte but for the mark (the last
// message scanned), which follows the lastread rule so that no message
// goes unscanned; the messages are sorted from 2.
TEST(SortHighWaterMarkTest, StaysFirstAndKeepsNothingUnscanned) {
  TempDir dir;
  const std::string spec = SpecIn(dir.path(), kFido);
  WriteBaseFromTwo(dir, spec, 5);
  // As a tosser writes it: stray bytes after the strings' NULs, a NUL for
  // its text, and message 4 as the last one scanned.
  using namespace std::string_literals;
  std::string mark(191, '\0');
  mark.replace(0, 14, "CrashMail II\0\x7f"s);
  mark.replace(36, 3, "All"s);
  mark.replace(72, 18, "HighWater mark\0\xec\x80\x80"s);
  mark.replace(144, 19, "08 Dec 26  15:32:01"s);
  mark.replace(184, 2, Le16(4));
  ASSERT_EQ(mark.size(), 191u);
  ASSERT_TRUE(WriteFileBytes(dir / "net/1.msg", mark));

  ProgramResult run = Sort({spec});
  ASSERT_EQ(run.exit_code, 0);
  EXPECT_EQ(run.output, kBanner + SortLines(spec, 6, 6));
  // Messages 5 and 6 were not scanned; 6 comes first now, as message 2.
  std::string expected = mark;
  expected.replace(184, 2, Le16(1));
  EXPECT_EQ(Printable(ReadFileBytes(dir / "net/1.msg")), Printable(expected));
  std::vector<std::string> subjects;
  auto base = OpenOrCreate(platform::kDenyWrite, spec);
  ASSERT_TRUE(base);
  for (int32_t n = 2; n <= base->count(); ++n) {
    MessageRecord r;
    ASSERT_TRUE(base->ReadMessage(n, r));
    subjects.push_back(r.subject.str());
  }
  EXPECT_EQ(subjects, (std::vector<std::string>{"Subject of message 5", "Subject of message 4",
                                                "Subject of message 3", "Subject of message 2",
                                                "Subject of message 1"}));
}

// A *.msg area without 1.msg (tossers keep that number for their
// high-water mark, and write it over when they make one) keeps it free: the
// messages are sorted from 2, and a second sort changes nothing.
TEST(SortHighWaterMarkTest, NumberOneStaysFreeWhereItWasFree) {
  TempDir dir;
  const std::string spec = SpecIn(dir.path(), kFido);
  WriteBaseFromTwo(dir, spec, 4);
  ProgramResult run = Sort({spec});
  ASSERT_EQ(run.exit_code, 0) << run.output;
  EXPECT_EQ(run.output, kBanner + SortLines(spec, 5, 4));
  EXPECT_FALSE(PathExists(dir / "net/1.msg"));
  EXPECT_EQ(ReadTags(spec), (std::vector<int>{-1, 4, 3, 2, 1}));
  const auto files = SnapshotTree(dir.path());
  run = Sort({spec});
  ASSERT_EQ(run.exit_code, 0) << run.output;
  EXPECT_EQ(SnapshotTree(dir.path()), files);
}

// In a JAM base whose BaseMsgNum is not 1, message n is number
// BaseMsgNum + n - 1 in its header and in every link; a thread (1 answered
// by 2 and 3, 3 answered by 4) keeps its shape in the new numbers, and
// ModCounter moves on.
TEST(SortJamNumbersTest, ThreadsKeepTheirShapeInTheBasesNumbering) {
  for (uint32_t first : {1u, 100u}) {
    SCOPED_TRACE("BaseMsgNum " + std::to_string(first));
    TempDir dir;
    const std::string spec = SpecIn(dir.path(), kJam);
    const std::string jhr = dir / "area.jhr";
    WriteBase(spec, Backwards(4));
    PatchFile(jhr, 20, Le32(first));
    const uint32_t mod_counter = Le32At(ReadFileBytes(jhr), 8);
    auto header = [&](int n, size_t field) {
      return Le32At(ReadFileBytes(jhr), JamHeaderOffset(dir / "area", n) + field);
    };
    auto set = [&](int n, size_t field, uint32_t value) {
      PatchFile(jhr, JamHeaderOffset(dir / "area", n) + field, Le32(value));
    };
    constexpr size_t kReplyTo = 24, kReply1st = 28, kReplyNext = 32, kNumber = 48;
    auto id = [first](int n) { return first + static_cast<uint32_t>(n) - 1; };
    for (int n = 1; n <= 4; ++n) {
      set(n, kNumber, id(n));
      for (size_t link : {kReplyTo, kReply1st, kReplyNext}) set(n, link, 0);
    }
    set(1, kReply1st, id(2));
    set(2, kReplyTo, id(1));
    set(2, kReplyNext, id(3));
    set(3, kReplyTo, id(1));
    set(3, kReply1st, id(4));
    set(4, kReplyTo, id(3));

    ProgramResult run = Sort({spec});
    ASSERT_EQ(run.exit_code, 0) << run.output;
    EXPECT_EQ(ReadTags(spec), (std::vector<int>{4, 3, 2, 1}));
    // Old n is new 5 - n.
    auto moved = [&id](int old) { return id(5 - old); };
    const std::vector<std::vector<uint32_t>> expected = {
        // number, ReplyTo, Reply1st, ReplyNext of new 1..4
        {id(1), moved(3), 0, 0},
        {id(2), moved(1), moved(4), 0},
        {id(3), moved(1), 0, moved(3)},
        {id(4), 0, moved(2), 0},
    };
    for (int n = 1; n <= 4; ++n) {
      EXPECT_EQ((std::vector<uint32_t>{header(n, kNumber), header(n, kReplyTo),
                                       header(n, kReply1st), header(n, kReplyNext)}),
                expected[static_cast<size_t>(n - 1)])
          << "new message " << n;
    }
    const std::string base_header = ReadFileBytes(jhr);
    EXPECT_EQ(Le32At(base_header, 20), first);
    EXPECT_GT(Le32At(base_header, 8), mod_counter);
  }
}

// ---------------------------------------------------------------------------
// The base keeps its files: the sorted base is written into them, so files
// of another user keep owner, group and mode, symbolic links stay links to
// the same (now sorted) files, and names keep their letter case.

// How a test dresses a base before the sort.
enum class Dress { kAnotherUsersFiles, kSymbolicLinks, kUpperCaseNames };

// What the sort must keep of every entry under a directory, by path.
std::map<std::string, std::string> EntryFacts(const std::string& directory) {
  std::map<std::string, std::string> facts;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(directory)) {
    struct stat st {};
    if (lstat(entry.path().c_str(), &st) != 0) continue;
    std::string fact = "inode " + std::to_string(st.st_ino) + " owner " +
                       std::to_string(st.st_uid) + ":" + std::to_string(st.st_gid) + " mode " +
                       std::to_string(st.st_mode);
    if (S_ISLNK(st.st_mode)) fact += " -> " + std::filesystem::read_symlink(entry.path()).string();
    facts[std::filesystem::relative(entry.path(), directory).string()] = fact;
  }
  return facts;
}

void DressBase(const std::string& directory, Dress dress) {
  namespace fs = std::filesystem;
  std::vector<fs::path> files;
  for (const auto& entry : fs::recursive_directory_iterator(directory)) files.push_back(entry.path());
  // Deepest first, so that renaming a directory comes after its files.
  std::sort(files.rbegin(), files.rend());
  const fs::path elsewhere = fs::path(directory) / "elsewhere";
  if (dress == Dress::kSymbolicLinks) fs::create_directory(elsewhere);
  for (const fs::path& path : files) {
    switch (dress) {
      case Dress::kAnotherUsersFiles:
        // Tests run as root here and in CI; otherwise only the mode changes.
        if (geteuid() == 0) {
          ASSERT_EQ(chown(path.c_str(), 4321, 4321), 0) << path;
        }
        if (fs::is_regular_file(path)) {
          ASSERT_EQ(chmod(path.c_str(), 0640), 0) << path;
        }
        break;
      case Dress::kSymbolicLinks:
        if (fs::is_regular_file(path)) {
          const fs::path target = elsewhere / path.filename();
          fs::rename(path, target);
          fs::create_symlink(target, path);
        }
        break;
      case Dress::kUpperCaseNames:
        fs::rename(path, path.parent_path() / UpperCase(path.filename().string()));
        break;
    }
  }
}

TEST(SortKeepsFilesTest, OwnerModeLinksAndNamesStayAsTheyWere) {
  for (const BaseKind* kind : kAllKinds) {
    for (Dress dress : {Dress::kAnotherUsersFiles, Dress::kSymbolicLinks, Dress::kUpperCaseNames}) {
      SCOPED_TRACE(std::string(kind->name) + ", dress " + std::to_string(static_cast<int>(dress)));
      TempDir dir;
      const std::string spec = SpecIn(dir.path(), *kind);
      WriteBase(spec, Backwards(6));
      DressBase(dir.path(), dress);
      const auto before = EntryFacts(dir.path());
      ProgramResult run = Sort({spec});
      ASSERT_EQ(run.exit_code, 0) << run.output;
      EXPECT_EQ(ReadTags(spec), (std::vector<int>{6, 5, 4, 3, 2, 1}));
      EXPECT_EQ(EntryFacts(dir.path()), before);
    }
  }
}

// ---------------------------------------------------------------------------
// The command line and the area file.

class SortCommandLineTest : public ::testing::Test {
 protected:
  TempDir dir_;
};

TEST_F(SortCommandLineTest, UsageForNoneOrTooManyParameters) {
  const std::string usage = std::string(kBanner) +
                            "Usage: Quilord <sourcebase> [/u]\n"
                            "Example: Quilord fF:\\Fido\\Netmail\\Share\n"
                            "         Quilord sF:\\Fido\\Base\n"
                            "         f - msg (fido), s - squish, j - jam, p - pkt 2.0+, @ - "
                            "areas.bbs\n"
                            " /u - sort unread messages only\n";
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{}, std::vector<std::string>{"sarea", "/u", "extra"}}) {
    ProgramResult run = Sort(args);
    EXPECT_EQ(run.exit_code, 2);
    EXPECT_EQ(run.output, usage);
  }
}

// "/u" in any case sorts only the unread messages; any other second
// parameter sorts all of them.
TEST_F(SortCommandLineTest, SecondParameterChoosesTheMode) {
  const std::string spec = "S" + dir_.path() + "/area";
  WriteBase(spec, {{1, Date(2010, 1, 1), 1}, {2, Date(2009, 1, 1), 0}, {3, Date(2008, 1, 1), 0}});
  for (const char* mark : {"/u", "/U"}) {
    ProgramResult run = Sort({spec, mark});
    EXPECT_EQ(run.output, kBanner + SortLines(spec, 3, 3, true)) << mark;
    EXPECT_EQ(ReadTags(spec), (std::vector<int>{1, 3, 2})) << mark;
  }
  ProgramResult run = Sort({spec, "/x"});
  EXPECT_EQ(run.output, kBanner + SortLines(spec, 3, 3));
  EXPECT_EQ(ReadTags(spec), (std::vector<int>{3, 2, 1}));
}

// Each mark, in either case, names its kind.
TEST_F(SortCommandLineTest, EveryTypeMarkSorts) {
  struct Case {
    std::string mark;
    const BaseKind* kind;
  };
  for (const Case& c :
       {Case{"#", &kFido}, Case{"F", &kFido}, Case{"P", &kPacket}, Case{"$", &kSquish},
        Case{"S", &kSquish}, Case{"!", &kJam}, Case{"J", &kJam}}) {
    TempDir dir;
    const std::string spec = c.mark + dir.path() + "/" + c.kind->place;
    WriteBase(SpecIn(dir.path(), *c.kind), Backwards(3));
    ProgramResult run = Sort({spec});
    EXPECT_EQ(run.output, kBanner + SortLines(spec, 3, 3)) << spec;
    EXPECT_EQ(ReadTags(spec), (std::vector<int>{3, 2, 1})) << spec;
  }
}

// A first character that is no type mark and not "@": a base spec whose
// kind its extension names, or without one a *.msg directory, as in an
// area file.  A base that is not there is reported, and nothing is made.
TEST_F(SortCommandLineTest, NoMarkNamesTheKindByTheExtension) {
  const std::string spec = SpecIn(dir_.path(), kSquish);
  WriteBase(spec, Backwards(3));
  auto files = SnapshotTree(dir_.path());
  for (const std::string& arg :
       {dir_.path() + "/area", std::string("x") + dir_.path() + "/area", std::string("")}) {
    ProgramResult run = Sort({arg, "/u"});
    EXPECT_EQ(run.exit_code, 1);
    EXPECT_EQ(run.output, std::string(kBanner) + "mode: [sorting unreaded messages]\n" +
                              "source base: [" + arg + "]\ncan't open source base: [" + arg +
                              "]\n" +
                              (arg.empty() ? "unknown kind of base: a base spec starts with f, "
                                             "p, s or j\n"
                                           : "base not found\n"))
        << arg;
  }
  EXPECT_EQ(SnapshotTree(dir_.path()), files);
  const std::string by_file = dir_.path() + "/AREA.SQI";
  ProgramResult run = Sort({by_file});
  EXPECT_EQ(run.exit_code, 0);
  EXPECT_EQ(run.output, kBanner + SortLines(by_file, 3, 3));
  EXPECT_EQ(ReadTags(spec), (std::vector<int>{3, 2, 1}));
}

TEST_F(SortCommandLineTest, BaseThatCanNotBeOpened) {
  ASSERT_TRUE(WriteFileBytes(dir_ / "file", "not a directory"));
  const std::string spec = "s" + dir_.path() + "/file/area";
  ProgramResult run = Sort({spec});
  EXPECT_EQ(run.exit_code, 1);
  EXPECT_EQ(run.output, std::string(kBanner) + "mode: [sorting all base]\nsource base: [" + spec +
                            "]\ncan't open source base: [" + spec + "]\nbase not found\n");
}

TEST_F(SortCommandLineTest, MissingAreaFile) {
  const std::string name = dir_ / "areas.bbs";
  ProgramResult run = Sort({"@" + name});
  EXPECT_EQ(run.exit_code, 254);
  EXPECT_EQ(run.output, std::string(kBanner) + "areafile: [" + name + "] is NOT found\n");
}

// Every base the area file lists is sorted whole, in order: comments,
// empty lines and lines of blanks are skipped silently, the first word of a
// line is the base spec, a base that can not be opened does not stop the
// loop but fails the run, and "/u" is not looked at.
TEST_F(SortCommandLineTest, AreaFileSortsEveryListedBase) {
  const std::string fido = SpecIn(dir_.path(), kFido);
  const std::string jam = "J" + dir_.path() + "/echo/area";
  const std::string packet = SpecIn(dir_.path(), kPacket);
  const std::string squish = "$" + dir_.path() + "/area";
  WriteBase(fido, Backwards(3));
  WriteBase(jam, {{1, Date(2010, 1, 1), 1}, {2, Date(2009, 1, 1), 0}, {3, Date(2008, 1, 1), 0}});
  WriteBase(packet, Backwards(4));
  WriteBase(squish, Backwards(2));
  ASSERT_TRUE(WriteFileBytes(dir_ / "file", "not a directory"));
  const std::string broken = "s" + dir_.path() + "/file/area";
  const std::string area_file = dir_ / "areas.bbs";
  ASSERT_TRUE(WriteFileBytes(area_file,
                             "; areas of the test station\r\n"
                             "\r\n" +
                                 fido + " NETMAIL\r\n" + "\t" + jam +
                                 "\tECHO.AREA 2:5020/1 ; the echo\r\n" + ";" + squish +
                                 " COMMENTED.OUT\r\n" + broken + " BROKEN\n" + "   \t  \n" +
                                 packet + ";PACKET\n" + squish + "\n"));
  ProgramResult run = Sort({"@" + area_file, "/u"});
  EXPECT_EQ(run.exit_code, 1);
  EXPECT_EQ(run.output, std::string(kBanner) + SortLines(fido, 3, 3) + SortLines(jam, 3, 3) +
                            "mode: [sorting all base]\nsource base: [" + broken +
                            "]\ncan't open source base: [" + broken + "]\nbase not found\n" +
                            SortLines(packet, 4, 4) + SortLines(squish, 2, 2));
  EXPECT_EQ(ReadTags(fido), (std::vector<int>{3, 2, 1}));
  EXPECT_EQ(ReadTags(jam), (std::vector<int>{3, 2, 1}));  // whole, despite "/u"
  EXPECT_EQ(ReadTags(packet), (std::vector<int>{4, 3, 2, 1}));
  EXPECT_EQ(ReadTags(squish), (std::vector<int>{2, 1}));
}

}  // namespace
}  // namespace quil::testing::sort_e2e
