// The Squish and JAM bases and other programs' classic fcntl locks on byte 0
// of the .sqd or .jhr: a forked child plays the tosser that holds one.
#include <fcntl.h>
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>

#include "indexed/jam_base.h"
#include "indexed/squish_base.h"
#include "runtime/platform.h"
#include "test_support.h"

namespace quil {
namespace {

using testing::ClassicLock;
using testing::ReadFileBytes;
using testing::TempDir;

struct IndexedKind {
  const char* name;
  const char* locked_file;  // the file whose byte 0 carries the locks
  std::function<std::unique_ptr<MessageBase>()> make;
};

const IndexedKind kSquish{"Squish", ".sqd", [] { return std::make_unique<SquishBase>(); }};
const IndexedKind kJam{"Jam", ".jhr", [] { return std::make_unique<JamBase>(); }};

class IndexedLockTest : public ::testing::TestWithParam<const IndexedKind*> {
 protected:
  void SetUp() override {
    auto base = GetParam()->make();
    ASSERT_TRUE(base->Create(platform::kDenyWrite, area_));
    MessageRecord r;
    r.to_name = "All";
    ASSERT_TRUE(base->WriteMessage(1, r));
  }
  std::string locked_file() const { return area_ + GetParam()->locked_file; }
  ClassicLock::Outcome Other(short type) const {
    return ClassicLock(locked_file(), type).outcome();
  }

  TempDir dir_;
  const std::string area_ = dir_ / "area";
};

TEST_P(IndexedLockTest, AnotherProgramWritingKeepsUsOut) {
  const std::string before = ReadFileBytes(locked_file());
  auto base = GetParam()->make();
  {
    ClassicLock tosser(locked_file(), F_WRLCK);
    ASSERT_EQ(tosser.outcome(), ClassicLock::kTaken);
    EXPECT_FALSE(base->Open(platform::kDenyWrite, area_));
    EXPECT_EQ(base->error_state(), kBaseBad);
    // Nor may a create truncate the base under it.
    EXPECT_FALSE(GetParam()->make()->Create(platform::kDenyWrite, area_));
    EXPECT_EQ(ReadFileBytes(locked_file()), before);
  }
  EXPECT_TRUE(base->Open(platform::kDenyWrite, area_));
  EXPECT_EQ(base->count(), 1);
}

TEST_P(IndexedLockTest, OurOpenBaseKeepsOthersFromWriting) {
  EXPECT_EQ(Other(F_WRLCK), ClassicLock::kTaken);
  {
    auto base = GetParam()->make();  // deny write: a shared lock
    ASSERT_TRUE(base->Open(platform::kDenyWrite, area_));
    EXPECT_EQ(Other(F_WRLCK), ClassicLock::kRefused);
    EXPECT_EQ(Other(F_RDLCK), ClassicLock::kTaken);
  }
  EXPECT_EQ(Other(F_WRLCK), ClassicLock::kTaken);
  {
    auto base = GetParam()->make();  // deny all: an exclusive lock
    ASSERT_TRUE(base->Open(platform::kDenyAll, area_));
    EXPECT_EQ(Other(F_WRLCK), ClassicLock::kRefused);
    EXPECT_EQ(Other(F_RDLCK), ClassicLock::kRefused);
  }
  {
    auto created = GetParam()->make();
    ASSERT_TRUE(created->Create(platform::kDenyWrite, area_));
    EXPECT_EQ(Other(F_WRLCK), ClassicLock::kRefused);
  }
  // Deny none shares the base with writers: no lock.
  auto shared = GetParam()->make();
  ASSERT_TRUE(shared->Open(platform::kDenyNone, area_));
  EXPECT_EQ(Other(F_WRLCK), ClassicLock::kTaken);
}

INSTANTIATE_TEST_SUITE_P(SquishAndJam, IndexedLockTest, ::testing::Values(&kSquish, &kJam),
                         testing::ParamName<IndexedKind>);

}  // namespace
}  // namespace quil
