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
      {"bytes of odd length", first_line + "header 4a414\n" + body},
      {"no kind", std::string(first_line) + "end\n"},
      {"nothing", ""},
  };
  for (const Case& c : cases) {
    WriteBackJournal read;
    EXPECT_FALSE(DecodeJournal(c.text, &read)) << c.what;
  }
}

// A damaged Squish base whose index holds records behind its num_msg (an
// append cut short): those records are no one's new messages, but a
// message another program appends over one of them is.
TEST(AddedMessagesTest, RecordsBehindADamagedSquishCountAreNoOnesMessages) {
  TempDir dir;
  RebuildLayout layout;
  layout.mark = 'S';
  layout.path = dir / "area";
  layout.directory = dir.path();
  layout.temp = layout.temp_path = dir / ".area.quil-sort-s";
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
    EXPECT_FALSE(PlanWriteBack(layout, ReadMessageFiles(), &journal));
  }
  ASSERT_TRUE(PlanWriteBack(layout, ReadMessageFiles(), &journal));
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
