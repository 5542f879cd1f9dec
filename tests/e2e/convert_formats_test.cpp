// End-to-end tests of the converter across the four storage kinds: every
// source and destination pair, and the way back, checked against the table
// of what each kind keeps (convert_support.h).
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <tuple>

#include "bases/base_opener.h"
#include "convert_support.h"
#include "model/message_base.h"
#include "model/message_record.h"
#include "test_support.h"

namespace quil::testing::convert_e2e {
namespace {

// The table is only worth its expectations if the kinds agree with it: the
// handcrafted messages written by the library read back exactly as it says.
class KindTest : public ::testing::TestWithParam<const Kind*> {};

TEST_P(KindTest, KeepsWhatTheTableSays) {
  TempDir dir;
  const Kind& kind = *GetParam();
  const std::string spec = SpecOf(kind, dir.path(), "base");
  WriteMessages(spec, AllMessages());
  std::unique_ptr<MessageBase> base = OpenBase(spec);
  ASSERT_TRUE(base);
  ASSERT_EQ(base->count(), kMessageCount);
  for (int n = 1; n <= kMessageCount; ++n) {
    MessageRecord expected, actual;
    BuildMessage(n, expected);
    Loose loose;
    StoreAndReadBack(kind, expected, &loose);
    ASSERT_TRUE(base->ReadMessage(n, actual)) << n;
    EXPECT_EQ(Dump(actual, loose), Dump(expected, loose)) << "message " << n;
  }
}

// Into a base of its own kind a message travels as it is stored: the same
// bytes but for its reply links (zeroed) and its own number or unique id.
TEST_P(KindTest, ACopyIntoItsOwnKindKeepsTheStoredForm) {
  TempDir dir;
  const Kind& kind = *GetParam();
  const std::string source = SpecOf(kind, dir / "in", "base");
  const std::string copy = SpecOf(kind, dir / "out", "base");
  WriteMessages(source, AllMessages());
  ProgramResult run = Convert(source, copy);
  ASSERT_EQ(run.exit_code, 0) << run.output;
  EXPECT_EQ(StoredForms(kind.mark, copy.substr(1), kMessageCount),
            StoredForms(kind.mark, source.substr(1), kMessageCount));
  std::unique_ptr<MessageBase> base = OpenBase(copy);
  ASSERT_TRUE(base);
  for (int32_t n = 1; n <= kMessageCount; ++n) {
    MessageRecord r;
    ASSERT_TRUE(base->ReadMessage(n, r));
    EXPECT_EQ(r.reply_to, 0) << n;
    EXPECT_EQ(r.replies[0], 0) << n;
  }
}

INSTANTIATE_TEST_SUITE_P(AllKinds, KindTest, ::testing::ValuesIn(kAllKinds), ParamName<Kind>);

// A *.msg echo area's high-water mark (1.msg, subject "HighWater mark") is
// a tosser's bookkeeping, not a message: it is copied into no kind.
TEST(HighWaterMarkTest, IsNotCopied) {
  TempDir dir;
  const std::string source = SpecOf(kFido, dir / "in", "area");
  WriteMessages(source, {3, 1, 2});
  MessageRecord mark;
  BuildMessage(3, mark);
  mark.subject = "HighWater mark";
  {
    std::unique_ptr<MessageBase> base = OpenBase(source);
    ASSERT_TRUE(base && base->WriteMessage(1, mark));
  }
  for (const Kind* kind : kAllKinds) {
    SCOPED_TRACE(kind->name);
    const std::string copy = SpecOf(*kind, dir / kind->name, "copy");
    ProgramResult run = Convert(source, copy);
    EXPECT_EQ(run.output, CopyOutput(source, copy, 3, 0));
    ASSERT_EQ(CountOf(copy), 2);
    for (int32_t n = 1; n <= 2; ++n) ExpectCopied(source, n + 1, *kind, copy, n, false);
  }
}

using Pair = std::tuple<const Kind*, const Kind*>;

std::string PrintPair(const ::testing::TestParamInfo<Pair>& info) {
  return std::string(std::get<0>(info.param)->name) + "To" + std::get<1>(info.param)->name;
}

class PairTest : public ::testing::TestWithParam<Pair> {
 protected:
  const Kind& from() const { return *std::get<0>(GetParam()); }
  const Kind& to() const { return *std::get<1>(GetParam()); }

  TempDir dir_;
  const std::string source_ = SpecOf(from(), dir_ / "in", "source");
  const std::string copy_ = SpecOf(to(), dir_ / "out", "copy");
  const std::string back_ = SpecOf(from(), dir_ / "back", "source");
};

// A -> B into a destination that does not exist yet, then B -> A: every
// field the destination keeps arrives unchanged, what it can not keep is
// dropped as the table says, the reply links are cleared and an INTL that
// reading only derived is not written; the source stays byte for byte as it
// was.  The way back gives the original messages again in every field that
// both kinds keep.  Between two bases of one kind the stored form travels:
// nothing is made up (no MSGID for a message without one).
TEST_P(PairTest, CopiesEveryMessageAndBackAgain) {
  WriteMessages(source_, AllMessages());
  const auto source_files = SnapshotTree(dir_ / "in");

  ProgramResult there = Convert(source_, copy_);
  EXPECT_EQ(there.exit_code, 0);
  EXPECT_EQ(there.output, CopyOutput(source_, copy_, kMessageCount, 0));
  EXPECT_EQ(SnapshotTree(dir_ / "in"), source_files);
  ASSERT_EQ(CountOf(copy_), kMessageCount);
  for (int n = 1; n <= kMessageCount; ++n) {
    ExpectCopied(source_, n, to(), copy_, n, !HasOwnMsgid(n));
  }

  ProgramResult back = Convert(copy_, back_);
  EXPECT_EQ(back.exit_code, 0);
  EXPECT_EQ(back.output, CopyOutput(copy_, back_, kMessageCount, 0));
  std::unique_ptr<MessageBase> original = OpenBase(source_);
  std::unique_ptr<MessageBase> returned = OpenBase(back_);
  ASSERT_TRUE(original && returned);
  ASSERT_EQ(returned->count(), kMessageCount);
  for (int n = 1; n <= kMessageCount; ++n) {
    MessageRecord expected, actual;
    ASSERT_TRUE(original->ReadMessage(n, expected));
    ASSERT_TRUE(returned->ReadMessage(n, actual)) << n;
    Loose loose;
    loose.msgid_serial = !HasOwnMsgid(n);
    CopyAndReadBack(from(), to(), expected, &loose);
    CopyAndReadBack(to(), from(), expected, &loose);
    EXPECT_EQ(Dump(actual, loose), Dump(expected, loose)) << "message " << n << " back";
  }
}

INSTANTIATE_TEST_SUITE_P(AllPairs, PairTest,
                         ::testing::Combine(::testing::ValuesIn(kAllKinds),
                                            ::testing::ValuesIn(kAllKinds)),
                         PrintPair);

}  // namespace
}  // namespace quil::testing::convert_e2e
