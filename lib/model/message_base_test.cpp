#include "model/message_base.h"

#include <gtest/gtest.h>

#include "test_support.h"

namespace quil {
namespace {

using testing::TempDir;

// The smallest kind: opens by the common step only, and a read that fails.
class BareBase : public MessageBase {
 public:
  bool Open(uint32_t sharing, std::string_view path) override {
    if (!PrepareOpen(sharing, path)) return false;
    error_state_ = kBaseOpen;
    count_ = 3;
    return true;
  }
  bool ReadMessage(int32_t n, MessageRecord&) override {
    saw_header_only = header_only_;
    return BeginOperation() && MessageExists(n) && n != 2;
  }
  bool saw_header_only = false;
};

TEST(MessageBaseTest, ExistenceNeedsAnOpenBaseAndANumberInRange) {
  BareBase base;
  EXPECT_EQ(base.error_state(), kBaseClosed);
  EXPECT_FALSE(base.MessageExists(1));
  TempDir dir;
  ASSERT_TRUE(base.Open(0x20, dir / "area"));
  EXPECT_EQ(base.sharing(), 0x20u);
  EXPECT_FALSE(base.MessageExists(0));
  EXPECT_TRUE(base.MessageExists(1));
  EXPECT_TRUE(base.MessageExists(3));
  EXPECT_FALSE(base.MessageExists(4));
}

TEST(MessageBaseTest, HeaderOnlyReadSetsTheFlagOnlyForTheCall) {
  BareBase base;
  TempDir dir;
  ASSERT_TRUE(base.Open(0x20, dir / "area"));
  MessageRecord r;
  EXPECT_TRUE(base.ReadMessageHeader(1, r));
  EXPECT_TRUE(base.saw_header_only);
  EXPECT_FALSE(base.ReadMessageHeader(2, r));
  EXPECT_TRUE(base.ReadMessage(1, r));
  EXPECT_FALSE(base.saw_header_only);
}

TEST(MessageBaseTest, ReplyCacheAnswersMinusOneThenTheCachedValue) {
  BareBase base;
  EXPECT_EQ(base.GetReplyTo(5), -1);
  EXPECT_EQ(base.GetReplyTo(5), 0);
  EXPECT_EQ(base.GetFirstReply(5), 0);
  EXPECT_EQ(base.GetNextReply(6), -1);
  EXPECT_EQ(base.GetReplyTo(6), 0);
}

TEST(MessageBaseTest, OpenCreatesMissingFoldersLevelByLevel) {
  TempDir dir;
  BareBase base;
  ASSERT_TRUE(base.Open(0x20, dir / "a/b/c/area"));
  EXPECT_TRUE(testing::PathExists(dir / "a/b/c"));
  EXPECT_EQ(base.path(), dir / "a/b/c/area");

  // A folder that can not be created: a file stands where a directory
  // would have to be.
  ASSERT_TRUE(testing::WriteFileBytes(dir / "file", "x"));
  BareBase blocked;
  EXPECT_FALSE(blocked.Open(0x20, dir / "file/sub/area"));
  EXPECT_EQ(blocked.path(), "");
  EXPECT_EQ(blocked.error_state(), kBaseClosed);
}

TEST(MessageBaseDeathTest, AnOperationAKindLacksIsRunTimeError211) {
  BareBase base;
  MessageRecord r;
  EXPECT_EXIT(base.GetPassword(), ::testing::ExitedWithCode(211), "");
  EXPECT_EXIT((void)base.WriteMessage(1, r), ::testing::ExitedWithCode(211), "");
  EXPECT_EXIT(base.MarkRead(1), ::testing::ExitedWithCode(211), "");
  EXPECT_EXIT((void)base.Create(0, "x"), ::testing::ExitedWithCode(211), "");
}

}  // namespace
}  // namespace quil
