// Tests of the Squish base against damaged files and failing writes.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "indexed/squish_base.h"
#include "squish_support.h"
#include "test_support.h"

namespace quil::squish::testing {
namespace {

using quil::testing::FaultsUntilSuccess;
using quil::testing::Le32;
using quil::testing::PatchFile;
using quil::testing::WithWriteFault;
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
  void PatchData(size_t at, uint32_t value) { PatchFile(base_path() + ".sqd", at, Le32(value)); }
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
  PatchFile(base_path() + ".sqi", 12, Le32(static_cast<uint32_t>(good_sqd_.size() + 100)));
  ExpectOnlyDamaged(2, kRecordWritten);  // the record is not touched at all
}

TEST_F(SquishDamageTest, ABadFrameHeaderFailsOnlyItsMessage) {
  const uint32_t past_frame = FrameAt(good_sqd_, index_[1].ofs).frame_length + 1;
  struct Case {
    const char* what;
    int message;
    std::vector<std::pair<size_t, uint32_t>> fields;  // frame header offset, value
  } const cases[] = {
      {"wrong frame id", 2, {{0, 0x12345678}}},
      {"control length larger than the frame", 2, {{20, 0xFFFFFF00}}},
      {"message length larger than the frame", 2, {{16, past_frame}}},
      {"frame and message length past the file", 3, {{12, 0x7FFFFFFF}, {16, 0x7FFFFFFF}}},
      {"message length shorter than its header", 2, {{16, 100}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Store(good_sqd_, good_sqi_);
    for (auto [field, value] : c.fields) PatchData(index_[c.message - 1].ofs + field, value);
    ExpectOnlyDamaged(c.message);
  }
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
  data.replace(4, 4, Le32(1000));    // num_msg
  Store(data, good_sqi_ + "junk!");  // and a partial record
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
  PatchData(index_[1].ofs + 4, static_cast<uint32_t>(good_sqd_.size() + 1000));
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
  PatchFile(base_path() + ".sqi", 12, Le32(index_[1].ofs));
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

// Every write of an append (which goes to the files with its batch) fails
// once in turn (a full disk): the base must reopen with its old messages
// intact and a sound chain.
TEST_F(SquishDamageTest, FailedAppendLeavesTheOldBase) {
  FaultsUntilSuccess(20, [&](int writes) {
    Store(good_sqd_, good_sqi_);
    auto base = Open();
    MessageRecord r;
    FillNetmail(r, "Subject 4", std::string(5000, 'z'));
    const bool succeeded =
        WithWriteFault(writes, [&] { return base->WriteMessage(4, r) && base->Flush(); });
    EXPECT_EQ(base->count(), succeeded ? 4 : 3);
    base.reset();

    base = Open();
    EXPECT_TRUE(base);
    if (!base) return false;
    EXPECT_EQ(base->count(), succeeded ? 4 : 3);
    for (int32_t n = 1; n <= base->count(); ++n) {
      EXPECT_EQ(SubjectOf(*base, n), "Subject " + std::to_string(n));
    }
    // The chain holds the counted frames; an uncommitted frame may hang
    // behind the last one until the next append replaces the link.
    std::vector<uint32_t> live = IndexOffsets(sqi(), static_cast<size_t>(base->count()));
    std::vector<uint32_t> chain = WalkChain(sqd(), HeaderOf(sqd()).begin_frame);
    EXPECT_GE(chain.size(), live.size());
    EXPECT_LE(chain.size(), live.size() + 1);
    if (chain.size() >= live.size()) {
      EXPECT_EQ(std::vector<uint32_t>(chain.begin(), chain.begin() + live.size()), live);
    }
    // The next append puts everything straight.
    FillNetmail(r, "Subject " + std::to_string(base->count() + 1));
    EXPECT_TRUE(base->WriteMessage(base->count() + 1, r));
    base.reset();
    EXPECT_EQ(WalkChain(sqd(), HeaderOf(sqd()).begin_frame),
              IndexOffsets(sqi(), HeaderOf(sqd()).num_msg));
    EXPECT_EQ(sqi().size(), HeaderOf(sqd()).num_msg * kIndexRecordSize);
    return succeeded;
  });
}

TEST_F(SquishDamageTest, FailedReplaceKeepsOneOfTheTwoMessages) {
  FaultsUntilSuccess(20, [&](int writes) {
    Store(good_sqd_, good_sqi_);
    auto base = Open();
    MessageRecord r;
    FillNetmail(r, "Replaced");
    const bool succeeded = WithWriteFault(writes, [&] { return base->WriteMessage(2, r); });
    base.reset();
    base = Open();
    EXPECT_TRUE(base && base->count() == 3);
    if (!base || base->count() != 3) return false;
    EXPECT_EQ(SubjectOf(*base, 1), "Subject 1");
    const std::string second = SubjectOf(*base, 2);
    EXPECT_TRUE(second == "Subject 2" || second == "Replaced") << second;
    if (succeeded) {
      EXPECT_EQ(second, "Replaced");
    }
    EXPECT_EQ(SubjectOf(*base, 3), "Subject 3");
    return succeeded;
  });
}

TEST_F(SquishDamageTest, FailedDeleteLosesNoOtherMessage) {
  FaultsUntilSuccess(20, [&](int writes) {
    Store(good_sqd_, good_sqi_);
    auto base = Open();
    const bool succeeded = WithWriteFault(writes, [&] { return base->DeleteMessage(2); });
    base.reset();
    base = Open();
    EXPECT_TRUE(base);
    if (!base) return false;
    std::vector<std::string> subjects;
    for (int32_t n = 1; n <= base->count(); ++n) subjects.push_back(SubjectOf(*base, n));
    if (succeeded || subjects.size() == 2) {
      EXPECT_EQ(subjects, (std::vector<std::string>{"Subject 1", "Subject 3"}));
    } else {
      EXPECT_EQ(subjects, (std::vector<std::string>{"Subject 1", "Subject 2", "Subject 3"}));
    }
    return succeeded;
  });
}

TEST_F(SquishDamageTest, FailedCreateIsAnError) {
  SquishBase base;
  EXPECT_FALSE(
      WithWriteFault(0, [&] { return base.Create(platform::kDenyWrite, dir_ / "other"); }));
  EXPECT_EQ(base.error_state(), kBaseBad);
}

}  // namespace
}  // namespace quil::squish::testing
