// Tests of the write-back's journal text, of telling apart what other
// programs appended to a base from what was there, and of a commit that
// finds no room (the kill tests in tests/e2e run whole write-backs).
#include "bases/write_back.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "bases/base_opener.h"
#include "bases/base_rebuild.h"
#include "indexed/squish_base.h"
#include "model/message_record.h"
#include "test_support.h"

namespace quil {
namespace {

using testing::PatchFile;
using testing::TempDir;

WriteBackJournal JamJournal() {
  WriteBackJournal journal;
  journal.mark = 'J';
  journal.files = {{".jdt", 120}, {".jhr", 1400}, {".jlr", 0}, {".jdx", 16}};
  journal.boundary = 2;
  journal.header = std::string("JAM\0\x01\xff", 6) + std::string(1018, '\0');
  journal.known = {{3, std::string("\x0c\0\0\0\xa0\x0f\0\0", 8)}};
  return journal;
}

WriteBackJournal FidoJournal() {
  WriteBackJournal journal;
  journal.mark = 'F';
  journal.AddMove("1.msg", "1.MSG", "1.MSG", {2049, 131}, {2049, 977});
  journal.AddMove("2.msg", "2.msg", "", {0, 0}, {2049, 978});
  journal.AddMove("3.msg", "3.msg", "9.msg", {2049, 139}, {2049, 979});
  journal.AddPlacement("4.MSG", "4.MSG", {2049, 141}, 0, 1530);
  journal.AddPlacement("5.msg", "8.msg", {2049, 142}, 1530, 190);
  journal.AddDrop("7.msg", {2049, 140});
  return journal;
}

TEST(JournalTest, ReadsBackWhatItWrote) {
  WriteBackJournal packet;
  packet.mark = 'P';
  packet.files = {{"", 4096}};
  for (const WriteBackJournal& journal : {JamJournal(), FidoJournal(), packet}) {
    SCOPED_TRACE(journal.mark);
    WriteBackJournal read;
    ASSERT_TRUE(DecodeJournal(EncodeJournal(journal), &read)) << EncodeJournal(journal);
    EXPECT_EQ(read, journal);
  }
  // The text itself, as every build has written it: a write-back cut short
  // by one build is finished by another.
  const std::string fido_text =
      "quil-write-back 1\nkind F\n"
      "move 1.msg 1.MSG 1.MSG 2049 131 2049 977\n"
      "move 2.msg 2.msg - 0 0 2049 978\n"
      "move 3.msg 3.msg 9.msg 2049 139 2049 979\n"
      "place 4.MSG 4.MSG 2049 141 0 1530\n"
      "place 5.msg 8.msg 2049 142 1530 190\n"
      "drop 7.msg 2049 140\nend\n";
  EXPECT_EQ(EncodeJournal(FidoJournal()), fido_text);
  WriteBackJournal read;
  ASSERT_TRUE(DecodeJournal(fido_text, &read));
  EXPECT_EQ(read, FidoJournal());
}

// A journal that is not whole is not acted on.
TEST(JournalTest, RefusesAJournalThatIsNotWhole) {
  const std::string whole = EncodeJournal(FidoJournal());
  const std::string first_line = whole.substr(0, whole.find('\n') + 1);
  const std::string body = whole.substr(first_line.size());
  struct Case {
    const char* what;
    std::string text;
  } const cases[] = {
      {"cut before its end", whole.substr(0, whole.size() - 4)},
      {"last line without its line end", whole.substr(0, whole.size() - 1)},
      {"another format", "quil-write-back 2\n" + body},
      {"something after the end", whole + "end\n"},
      {"an unknown record", first_line + "swap 1.msg 2.msg\n" + body},
      {"a number that does not parse", first_line + "file .jdx 12x\n" + body},
      {"a negative size", first_line + "file .jdx -8\n" + body},
      {"a name of none where one is needed", first_line + "drop - 1 2\n" + body},
      {"a staged file with no vessel", first_line + "place 4.msg - 1 2 0 190\n" + body},
      {"a staged file at a negative offset", first_line + "place 4.msg 4.msg 1 2 -1 9\n" + body},
      {"a staged file without its size", first_line + "place 4.msg 4.msg 1 2 0\n" + body},
      {"bytes of odd length", first_line + "header 4a414\n" + body},
      {"no kind", std::string(first_line) + "end\n"},
      {"nothing", ""},
  };
  for (const Case& c : cases) {
    WriteBackJournal read;
    EXPECT_FALSE(DecodeJournal(c.text, &read)) << c.what;
  }
}

// The layout of a rebuild of the base `name` in `dir`, of the kind `mark`,
// whose new base is `temp` there (created as `temp` + `create_as`).
RebuildLayout LayoutIn(const TempDir& dir, char mark, const std::string& name,
                       const std::string& temp, const std::string& create_as) {
  RebuildLayout layout;
  layout.mark = mark;
  layout.path = dir / name;
  layout.directory = dir.path();
  layout.temp = dir / temp;
  layout.temp_path = layout.temp + create_as;
  return layout;
}

// A damaged Squish base whose index holds records behind its num_msg (an
// append cut short): those records are no one's new messages, but a
// message another program appends over one of them is.
TEST(AddedMessagesTest, RecordsBehindADamagedSquishCountAreNoOnesMessages) {
  TempDir dir;
  const RebuildLayout layout = LayoutIn(dir, 'S', "area", ".area.quil-sort-s", "");
  auto write = [](const std::string& path, int count, const std::string& subject) {
    SquishBase base;
    ASSERT_TRUE(base.Create(platform::kDenyWrite, path));
    for (int n = 1; n <= count; ++n) {
      MessageRecord r;
      r.subject = subject + " " + std::to_string(n);
      ASSERT_TRUE(base.WriteMessage(base.count() + 1, r));
    }
    ASSERT_TRUE(base.Close());
  };
  write(layout.path, 5, "Original");
  PatchFile(layout.path + ".sqd", 4, testing::Le32(3) + testing::Le32(3));  // num_msg, high_msg
  write(layout.temp, 3, "Sorted");

  WriteBackJournal journal;
  {
    testing::WriteFault full(0);  // no room to reserve for the write-back
    EXPECT_FALSE(PlanWriteBack(layout, ReadMessageFiles(), StagedFiles(), &journal));
  }
  ASSERT_TRUE(PlanWriteBack(layout, ReadMessageFiles(), StagedFiles(), &journal));
  EXPECT_EQ(journal.boundary, 3);
  EXPECT_EQ(journal.known.size(), 2u);
  int saved = 0;
  auto save = [&saved](const WriteBackJournal&) { return ++saved > 0; };
  ASSERT_TRUE(RescueAddedMessages(layout, &journal, save));
  EXPECT_EQ(saved, 0);

  {
    SquishBase base;  // another program appends behind the 3 it sees
    ASSERT_TRUE(base.Open(platform::kDenyWrite, layout.path));
    ASSERT_EQ(base.count(), 3);
    MessageRecord r;
    r.subject = "Appended";
    ASSERT_TRUE(base.WriteMessage(4, r));
  }
  ASSERT_TRUE(RescueAddedMessages(layout, &journal, save));
  EXPECT_EQ(saved, 1);
  EXPECT_EQ(journal.boundary, 4);
  SquishBase rebuilt;
  ASSERT_TRUE(rebuilt.Open(platform::kDenyWrite, layout.temp));
  std::vector<std::string> subjects;
  for (int32_t n = 1; n <= rebuilt.count(); ++n) {
    MessageRecord r;
    ASSERT_TRUE(rebuilt.ReadMessage(n, r));
    subjects.push_back(r.subject.str());
  }
  EXPECT_EQ(subjects, (std::vector<std::string>{"Sorted 1", "Sorted 2", "Sorted 3", "Appended"}));
}

// Message files staged one behind the other are put into the original's
// files that take them, keeping those files.  What other programs do to the
// directory between the plan and the write-back is survived: a file that
// takes a message removed (the message gets a file of its own, and the
// journal says so before it is relied on), another program's file under a
// number the new base takes (it moves above).  The write-back can be run
// again and ends the same.
TEST(FidoWriteBackTest, StagedFilesGoInPlaceWhateverOtherProgramsDo) {
  TempDir dir;
  const RebuildLayout layout = LayoutIn(dir, 'F', "*.msg", ".quil-sort-f", "/*.msg");
  const std::vector<std::string> old_bytes = {"old one", "old two, longer than the rest",
                                              "old three"};
  const std::vector<std::string> new_bytes = {"new first, longer than the old one", "new 2",
                                              "new 3rd"};
  ReadMessageFiles read("msg");
  for (int n = 1; n <= 3; ++n) {
    const std::string name = std::to_string(n) + ".msg";
    ASSERT_TRUE(testing::WriteFileBytes(dir / name, old_bytes[static_cast<size_t>(n - 1)]));
    platform::FileIdentity identity;
    ASSERT_TRUE(platform::IdentifyFile(dir / name, &identity));
    read.Add(n, name, identity);
  }
  ASSERT_EQ(platform::CreateDirectory(layout.temp), platform::kOk);
  ASSERT_TRUE(
      testing::WriteFileBytes(layout.StageFile(), new_bytes[0] + new_bytes[1] + new_bytes[2]));
  StagedFiles staged;
  staged.first = 1;
  for (const std::string& bytes : new_bytes)
    staged.sizes.push_back(static_cast<uint32_t>(bytes.size()));

  WriteBackJournal journal;
  ASSERT_TRUE(PlanWriteBack(layout, read, staged, &journal));
  ASSERT_EQ(journal.moves.size(), 3u);
  for (const WriteBackJournal::Move& move : journal.moves) EXPECT_TRUE(move.staged());
  platform::FileIdentity first;
  ASSERT_TRUE(platform::IdentifyFile(dir / "1.msg", &first));

  // Other programs: 3.MSG comes beside 3.msg, 2.msg goes (in this order,
  // so that the new file can not have the number of the one that went).
  ASSERT_TRUE(testing::WriteFileBytes(dir / "3.MSG", "another program's"));
  ASSERT_EQ(platform::DeleteFile(dir / "2.msg"), platform::kOk);
  std::vector<WriteBackJournal> saved;
  auto save = [&saved](const WriteBackJournal& changed) {
    saved.push_back(changed);
    return true;
  };
  for (int run = 1; run <= 2; ++run) {
    SCOPED_TRACE(run);
    ASSERT_TRUE(RunWriteBack(layout, &journal, save));
    EXPECT_EQ(testing::ReadFileBytes(dir / "1.msg"), new_bytes[0]);
    EXPECT_EQ(testing::ReadFileBytes(dir / "2.msg"), new_bytes[1]);
    EXPECT_EQ(testing::ReadFileBytes(dir / "3.msg"), new_bytes[2]);
    EXPECT_EQ(testing::ReadFileBytes(dir / "4.MSG"), "another program's");
    EXPECT_FALSE(testing::PathExists(dir / "3.MSG"));
    platform::FileIdentity now;
    ASSERT_TRUE(platform::IdentifyFile(dir / "1.msg", &now));
    EXPECT_EQ(now, first);
  }
  // The message whose file went was given one of its own once, and the
  // journal stored then says so.
  ASSERT_EQ(saved.size(), 1u);
  EXPECT_FALSE(saved[0].moves[1].staged());
  EXPECT_EQ(saved[0].moves[1].vessel, WriteBackJournal::kNoName);
  WriteBackJournal read_back;
  ASSERT_TRUE(DecodeJournal(EncodeJournal(saved[0]), &read_back));
  EXPECT_EQ(read_back, saved[0]);
}

// A disk too full for the commit (for the write-back's reservation or its
// journal): the commit point is not passed, the new base goes, and the
// original is as it was.
TEST(CommitTest, NoRoomForTheWriteBackLeavesTheOriginal) {
  for (const char* place : {"jarea", "sarea", "fnet", "pmail.pkt"}) {
    SCOPED_TRACE(place);
    TempDir dir;
    const std::string spec = std::string(1, place[0]) + (dir / (place + 1));
    auto write = [](MessageBase& base, int n) {
      MessageRecord r;
      r.subject = "Message " + std::to_string(n);
      r.date_written = {2000 + n, 1, 1, 0, 0, 0};
      return base.WriteMessage(base.count() + 1, r);
    };
    {
      std::unique_ptr<MessageBase> base = CreateFresh(platform::kDenyWrite, spec);
      ASSERT_TRUE(base);
      for (int n = 3; n >= 1; --n) ASSERT_TRUE(write(*base, n));
      ASSERT_TRUE(base->Close());
    }
    const auto files = testing::SnapshotTree(dir.path());

    std::string recovered;
    BaseRebuild::Failure failure;
    std::unique_ptr<BaseRebuild> rebuild = BaseRebuild::Lock(spec, &recovered, &failure);
    ASSERT_TRUE(rebuild);
    std::unique_ptr<MessageBase> original = OpenOrCreate(rebuild->original_sharing(), spec);
    ASSERT_TRUE(original);
    ASSERT_TRUE(rebuild->CreateNewBase(platform::kDenyWrite, *original));
    for (int n = 1; n <= 3; ++n) ASSERT_TRUE(write(rebuild->new_base(), n));
    ASSERT_TRUE(original->Close());
    original.reset();
    {
      testing::WriteFault full(0);
      EXPECT_FALSE(rebuild->Commit(&failure));
    }
    EXPECT_EQ(failure, BaseRebuild::Failure::kWrite);
    rebuild.reset();
    EXPECT_EQ(testing::SnapshotTree(dir.path()), files);
  }
}

}  // namespace
}  // namespace quil
