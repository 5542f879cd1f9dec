// Tests of the Squish base against damaged files and failing writes.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "indexed/squish_base.h"
#include "indexed/squish_test_util.h"
#include "runtime/coding.h"
#include "test_support.h"

namespace quil::squish::testing {
namespace {

using quil::testing::WriteFileBytes;

class SquishDamageTest : public SquishFixture {
 protected:
  // A base of three messages, its files kept for restoring.
  void SetUp() override {
    CreateWith(3).reset();
    good_sqd_ = sqd();
    good_sqi_ = sqi();
    index_ = IndexOf(good_sqi_);
  }
  void Store(const std::string& data, const std::string& index) {
    ASSERT_TRUE(WriteFileBytes(base_path() + ".sqd", data));
    ASSERT_TRUE(WriteFileBytes(base_path() + ".sqi", index));
  }
  // Overwrites a 32-bit field of the .sqd.
  void PatchData(size_t at, uint32_t value) {
    std::string data = sqd();
    PutU32LE(reinterpret_cast<uint8_t*>(&data[at]), value);
    Store(data, sqi());
  }
  // Reads every message; the damaged one must fail, the rest must read (with
  // the given subjects, or "Subject n"), and reading must change no byte of
  // the files.
  void ExpectOnlyDamaged(int32_t damaged, RecordState state_after = kRecordCleared,
                         std::vector<std::string> subjects = {}) {
    std::string data = sqd();
    std::string index = sqi();
    auto base = Open();
    ASSERT_TRUE(base);
    for (int32_t n = 1; n <= base->count(); ++n) {
      MessageRecord r;
      r.subject = "untouched";
      r.state = kRecordWritten;
      if (n == damaged) {
        EXPECT_FALSE(base->ReadMessage(n, r)) << n;
        EXPECT_EQ(r.state, state_after);
        if (state_after == kRecordWritten) {
          EXPECT_EQ(r.subject.str(), "untouched");
        }
      } else {
        EXPECT_TRUE(base->ReadMessage(n, r)) << n;
        EXPECT_EQ(r.subject.str(), subjects.empty() ? "Subject " + std::to_string(n)
                                                    : subjects.at(static_cast<size_t>(n - 1)));
      }
    }
    base.reset();
    EXPECT_EQ(sqd(), data);
    EXPECT_EQ(sqi(), index);
  }

  std::string good_sqd_, good_sqi_;
  std::vector<IndexRecord> index_;
};

TEST_F(SquishDamageTest, IndexOffsetPastTheData) {
  std::string index = good_sqi_;
  PutU32LE(reinterpret_cast<uint8_t*>(&index[12]), static_cast<uint32_t>(good_sqd_.size() + 100));
  Store(good_sqd_, index);
  ExpectOnlyDamaged(2, kRecordWritten);  // the record is not touched at all
}

TEST_F(SquishDamageTest, WrongFrameId) {
  PatchData(index_[1].ofs, 0x12345678);
  ExpectOnlyDamaged(2);
}

TEST_F(SquishDamageTest, ControlLengthLargerThanTheFrame) {
  PatchData(index_[1].ofs + 20, 0xFFFFFF00);
  ExpectOnlyDamaged(2);
}

TEST_F(SquishDamageTest, MessageLengthLargerThanTheFrame) {
  PatchData(index_[1].ofs + 16, FrameAt(good_sqd_, index_[1].ofs).frame_length + 1);
  ExpectOnlyDamaged(2);
}

TEST_F(SquishDamageTest, MessageLengthPastTheFile) {
  PatchData(index_[2].ofs + 12, 0x7FFFFFFF);
  PatchData(index_[2].ofs + 16, 0x7FFFFFFF);
  ExpectOnlyDamaged(3);
}

TEST_F(SquishDamageTest, MessageLengthShorterThanItsHeader) {
  PatchData(index_[1].ofs + 16, 100);
  ExpectOnlyDamaged(2);
}

TEST_F(SquishDamageTest, ShortBaseHeaderDoesNotOpen) {
  Store(good_sqd_.substr(0, 255), good_sqi_);
  SquishBase base;
  EXPECT_FALSE(base.Open(platform::kDenyWrite, base_path()));
  EXPECT_EQ(base.error_state(), kBaseBad);
  MessageRecord r;
  EXPECT_FALSE(base.ReadMessage(1, r));
}

TEST_F(SquishDamageTest, CountIsWhatTheIndexHolds) {
  std::string data = good_sqd_;
  PutU32LE(reinterpret_cast<uint8_t*>(&data[4]), 1000);  // num_msg
  Store(data, good_sqi_ + "junk!");                      // and a partial record
  ExpectOnlyDamaged(0);
  auto base = Open();
  ASSERT_EQ(base->count(), 3);
  // The next write leaves a sound base behind.
  MessageRecord r;
  FillNetmail(r, "Subject 4");
  ASSERT_TRUE(base->WriteMessage(4, r));
  base.reset();
  EXPECT_EQ(sqi().size(), 4 * kIndexRecordSize);
  EXPECT_EQ(HeaderOf(sqd()).num_msg, 4u);
  ExpectOnlyDamaged(0);
}

TEST_F(SquishDamageTest, LinksIntoTheHeaderAreNotFollowed) {
  // Message 2 claims neighbours inside the base header and past the file.
  PatchData(index_[1].ofs + 4, good_sqd_.size() + 1000);
  PatchData(index_[1].ofs + 8, 16);
  auto base = Open();
  ASSERT_TRUE(base->DeleteMessage(2));
  base.reset();
  std::string data = sqd();
  // Only num_msg and high_msg changed before the free chain fields.
  EXPECT_EQ(data.substr(0, 4), good_sqd_.substr(0, 4));
  EXPECT_EQ(data.substr(12, 100), good_sqd_.substr(12, 100));
  ExpectOnlyDamaged(0, kRecordCleared, {"Subject 1", "Subject 3"});
}

TEST_F(SquishDamageTest, IndexPointingAtAFreeFrame) {
  auto base = Open();
  ASSERT_TRUE(base->DeleteMessage(2));
  base.reset();
  // Message 2 (the old 3) now points at the freed frame as well.
  std::string index = sqi();
  PutU32LE(reinterpret_cast<uint8_t*>(&index[12]), index_[1].ofs);
  Store(sqd(), index);
  base = Open();
  ASSERT_TRUE(base->DeleteMessage(2));
  MessageRecord r;
  FillNetmail(r, "After");
  ASSERT_TRUE(base->WriteMessage(2, r));
  base.reset();
  BaseHeader h = HeaderOf(sqd());
  EXPECT_EQ(WalkChain(sqd(), h.free_frame), std::vector<uint32_t>{index_[1].ofs});
}

// Seeded random damage: nothing may crash, hang or read outside the files,
// whatever is then read, written or deleted.
TEST_F(SquishDamageTest, RandomByteFlips) {
  {
    auto base = Open();
    MessageRecord r;
    FillEchomail(r, "Subject 4");
    ASSERT_TRUE(base->WriteMessage(4, r));
    ASSERT_TRUE(base->DeleteMessage(2));
  }
  const std::string data = sqd();
  const std::string index = sqi();
  std::mt19937 random(6061);
  for (int round = 0; round < 300; ++round) {
    std::string d = data;
    std::string i = index;
    std::string& target = random() % 3 == 0 ? i : d;
    int flips = 1 + static_cast<int>(random() % 6);
    for (int k = 0; k < flips; ++k) {
      target[random() % target.size()] = static_cast<char>(random());
    }
    if (random() % 8 == 0) target.resize(random() % target.size());
    Store(d, i);
    auto base = Open();
    if (!base) continue;
    MessageRecord r;
    for (int32_t n = 1; n <= base->count(); ++n) {
      static_cast<void>(base->ReadMessage(n, r));
      static_cast<void>(base->ReadMessageHeader(n, r));
      base->GetReplyTo(n);
    }
    FillNetmail(r, "New");
    static_cast<void>(base->WriteMessage(base->count() + 1, r));
    static_cast<void>(base->WriteMessage(1, r));
    base->MarkRead(1);
    base->AddReply(1, 2);
    static_cast<void>(base->DeleteMessage(1));
    for (int32_t n = 1; n <= base->count(); ++n) static_cast<void>(base->ReadMessage(n, r));
  }
}

// Every write of an append fails once in turn (a full disk): the base must
// reopen with its old messages intact and a sound chain.
TEST_F(SquishDamageTest, FailedAppendLeavesTheOldBase) {
  bool succeeded = false;
  for (int writes = 0; !succeeded && writes < 20; ++writes) {
    Store(good_sqd_, good_sqi_);
    auto base = Open();
    MessageRecord r;
    FillNetmail(r, "Subject 4", std::string(5000, 'z'));
    platform::InjectWriteFault(writes, platform::kDiskFull);
    succeeded = base->WriteMessage(4, r);
    platform::InjectWriteFault(-1, 0);
    EXPECT_EQ(base->count(), succeeded ? 4 : 3) << writes;
    base.reset();

    base = Open();
    ASSERT_TRUE(base) << writes;
    EXPECT_EQ(base->count(), succeeded ? 4 : 3) << writes;
    for (int32_t n = 1; n <= base->count(); ++n) {
      EXPECT_EQ(SubjectOf(*base, n), "Subject " + std::to_string(n)) << writes;
    }
    // The chain holds the counted frames; an uncommitted frame may hang
    // behind the last one until the next append replaces the link.
    std::vector<uint32_t> live = IndexOffsets(sqi(), static_cast<size_t>(base->count()));
    std::vector<uint32_t> chain = WalkChain(sqd(), HeaderOf(sqd()).begin_frame);
    ASSERT_GE(chain.size(), live.size());
    EXPECT_LE(chain.size(), live.size() + 1);
    EXPECT_EQ(std::vector<uint32_t>(chain.begin(), chain.begin() + live.size()), live);
    // The next append puts everything straight.
    FillNetmail(r, "Subject " + std::to_string(base->count() + 1));
    ASSERT_TRUE(base->WriteMessage(base->count() + 1, r));
    base.reset();
    EXPECT_EQ(WalkChain(sqd(), HeaderOf(sqd()).begin_frame),
              IndexOffsets(sqi(), HeaderOf(sqd()).num_msg));
    EXPECT_EQ(sqi().size(), HeaderOf(sqd()).num_msg * kIndexRecordSize);
  }
  EXPECT_TRUE(succeeded);
}

TEST_F(SquishDamageTest, FailedReplaceKeepsOneOfTheTwoMessages) {
  bool succeeded = false;
  for (int writes = 0; !succeeded && writes < 20; ++writes) {
    Store(good_sqd_, good_sqi_);
    auto base = Open();
    MessageRecord r;
    FillNetmail(r, "Replaced");
    platform::InjectWriteFault(writes, platform::kDiskFull);
    succeeded = base->WriteMessage(2, r);
    platform::InjectWriteFault(-1, 0);
    base.reset();
    base = Open();
    ASSERT_TRUE(base) << writes;
    ASSERT_EQ(base->count(), 3) << writes;
    EXPECT_EQ(SubjectOf(*base, 1), "Subject 1") << writes;
    std::string second = SubjectOf(*base, 2);
    EXPECT_TRUE(second == "Subject 2" || second == "Replaced") << writes << " " << second;
    if (succeeded) {
      EXPECT_EQ(second, "Replaced");
    }
    EXPECT_EQ(SubjectOf(*base, 3), "Subject 3") << writes;
  }
  EXPECT_TRUE(succeeded);
}

TEST_F(SquishDamageTest, FailedDeleteLosesNoOtherMessage) {
  bool succeeded = false;
  for (int writes = 0; !succeeded && writes < 20; ++writes) {
    Store(good_sqd_, good_sqi_);
    auto base = Open();
    platform::InjectWriteFault(writes, platform::kDiskFull);
    succeeded = base->DeleteMessage(2);
    platform::InjectWriteFault(-1, 0);
    base.reset();
    base = Open();
    ASSERT_TRUE(base) << writes;
    std::vector<std::string> subjects;
    for (int32_t n = 1; n <= base->count(); ++n) subjects.push_back(SubjectOf(*base, n));
    if (succeeded || subjects.size() == 2) {
      EXPECT_EQ(subjects, (std::vector<std::string>{"Subject 1", "Subject 3"})) << writes;
    } else {
      EXPECT_EQ(subjects, (std::vector<std::string>{"Subject 1", "Subject 2", "Subject 3"}))
          << writes;
    }
  }
  EXPECT_TRUE(succeeded);
}

TEST_F(SquishDamageTest, FailedCreateIsAnError) {
  platform::InjectWriteFault(0, platform::kDiskFull);
  SquishBase base;
  EXPECT_FALSE(base.Create(platform::kDenyWrite, dir_ / "other"));
  platform::InjectWriteFault(-1, 0);
  EXPECT_EQ(base.error_state(), kBaseBad);
}

}  // namespace
}  // namespace quil::squish::testing
