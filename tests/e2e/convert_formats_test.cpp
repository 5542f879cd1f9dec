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

const int kShapeCount = static_cast<int>(EveryShape().size());

// The table is only worth its expectations if the kinds agree with it: the
// handcrafted messages written by the library read back exactly as it says.
class KindTest : public ::testing::TestWithParam<const Kind*> {};

TEST_P(KindTest, KeepsWhatTheTableSays) {
  TempDir dir;
  const Kind& kind = *GetParam();
  const std::string spec = SpecOf(kind, dir.path(), "base");
  WriteMessages(spec, EveryShape());
  std::unique_ptr<MessageBase> base = OpenBase(spec);
  ASSERT_TRUE(base);
  ASSERT_EQ(base->count(), kShapeCount);
  for (int n = 1; n <= kShapeCount; ++n) {
    MessageRecord expected, actual;
    BuildMessage(n, expected);
    Loose loose;
    StoreAndReadBack(kind, expected, &loose);
    ASSERT_TRUE(base->ReadMessage(n, actual)) << n;
    EXPECT_EQ(Dump(actual, loose), Dump(expected, loose)) << "message " << n;
  }
}

// The control lines each kind stores of each handcrafted message, by the
// names StoredLines gives them.  Echomail (2, 5) has no INTL, FMPT or TOPT,
// also where its area tag is gone and only SEEN-BY, PATH or the origin line
// tell; JAM keeps addresses in subfields instead of those three, and keeps
// the area tag nowhere.
struct StoredRow {
  const Kind* kind;
  const char* lines[5];  // messages 1 to 5
};
// clang-format off
const StoredRow kStoredLines[] = {
  {&kFido,   {"CHRS FLAGS FMPT INTL MSGID PID REPLY TID TOPT TZUTC Via origin tear",
              "CHRS FLAGS Forwarded MSGID PATH PID REPLY SEEN-BY TID origin tear",
              "", "FMPT MSGID PID REPLY TOPT", "MSGID PID TZUTC X-UNKNOWN-KLUDGE origin tear"}},
  {&kPacket, {"CHRS FLAGS FMPT INTL MSGID PID REPLY TID TOPT TZUTC Via origin tear",
              "AREA CHRS FLAGS Forwarded MSGID PATH PID REPLY SEEN-BY TID origin tear",
              "", "FMPT MSGID PID REPLY TOPT", "MSGID PID TZUTC X-UNKNOWN-KLUDGE origin tear"}},
  {&kSquish, {"CHRS FLAGS FMPT INTL MSGID PID REPLY TID TOPT TZUTC Via origin tear",
              "CHRS FLAGS Forwarded MSGID PATH PID REPLY SEEN-BY TID origin tear",
              "", "FMPT MSGID PID REPLY TOPT", "MSGID PID TZUTC X-UNKNOWN-KLUDGE origin tear"}},
  {&kJam,    {"CHRS FLAGS MSGID PID REPLY TID TZUTC Via origin tear",
              "CHRS FLAGS Forwarded MSGID PATH PID REPLY SEEN-BY TID origin tear",
              "", "MSGID PID REPLY", "MSGID PID TZUTC X-UNKNOWN-KLUDGE origin tear"}},
};
// clang-format on

std::string Joined(const LineNames& names) {
  std::string joined;
  for (const std::string& name : names) joined += (joined.empty() ? "" : " ") + name;
  return joined;
}

TEST_P(KindTest, StoresTheControlLinesTheTableSays) {
  TempDir dir;
  const Kind& kind = *GetParam();
  const std::string spec = SpecOf(kind, dir.path(), "base");
  WriteMessages(spec, EveryShape());
  for (const StoredRow& row : kStoredLines) {
    if (row.kind != &kind) continue;
    for (int n : EveryShape()) {
      EXPECT_EQ(Joined(StoredLines(kind, spec, n)), row.lines[n - 1]) << "message " << n;
    }
  }
}

// Into a base of its own kind a message travels as it is stored: the same
// bytes but for its reply links (zeroed) and its own number or unique id.
TEST_P(KindTest, ACopyIntoItsOwnKindKeepsTheStoredForm) {
  TempDir dir;
  const Kind& kind = *GetParam();
  const std::string source = SpecOf(kind, dir / "in", "base");
  const std::string copy = SpecOf(kind, dir / "out", "base");
  WriteMessages(source, EveryShape());
  ProgramResult run = Convert(source, copy);
  ASSERT_EQ(run.exit_code, 0) << run.output;
  EXPECT_EQ(StoredForms(kind.mark, copy.substr(1), kShapeCount),
            StoredForms(kind.mark, source.substr(1), kShapeCount));
  std::unique_ptr<MessageBase> base = OpenBase(copy);
  ASSERT_TRUE(base);
  for (int32_t n = 1; n <= kShapeCount; ++n) {
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
  WriteMessages(source_, EveryShape());
  const auto source_files = SnapshotTree(dir_ / "in");

  ProgramResult there = Convert(source_, copy_);
  EXPECT_EQ(there.exit_code, 0);
  EXPECT_EQ(there.output, CopyOutput(source_, copy_, kShapeCount, 0));
  EXPECT_EQ(SnapshotTree(dir_ / "in"), source_files);
  ASSERT_EQ(CountOf(copy_), kShapeCount);
  for (int n = 1; n <= kShapeCount; ++n) {
    ExpectCopied(source_, n, to(), copy_, n, !HasOwnMsgid(n));
  }

  ProgramResult back = Convert(copy_, back_);
  EXPECT_EQ(back.exit_code, 0);
  EXPECT_EQ(back.output, CopyOutput(copy_, back_, kShapeCount, 0));
  std::unique_ptr<MessageBase> original = OpenBase(source_);
  std::unique_ptr<MessageBase> returned = OpenBase(back_);
  ASSERT_TRUE(original && returned);
  ASSERT_EQ(returned->count(), kShapeCount);
  for (int n = 1; n <= kShapeCount; ++n) {
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

// What a copy carries of its source's control lines, per pair and message:
// "-X" is a line of the source that the copy has not, "+X" one the copy has
// that the source has not; every other line of the source arrives, and
// nothing else is added (a MSGID or INTL that reading made up is not
// written).  What is dropped is what the destination can not hold as a
// line: JAM holds the zones and points of netmail in its address subfields
// instead of INTL, FMPT and TOPT, and from those the other kinds write them
// again for netmail, INTL also where both ends are in one zone; only a
// packet holds the area tag.
struct CarryRow {
  const Kind* from;
  const Kind* to;
  const char* change[5];  // messages 1 to 5
};
// clang-format off
const CarryRow kCarry[] = {
  //  from      to         1 netmail             2 echomail  3 bare   4 no INTL             5 point's local echo
  {&kFido,   &kFido,   {"",                  "",         "",      "",                   ""}},
  {&kFido,   &kPacket, {"",                  "",         "",      "",                   ""}},
  {&kFido,   &kSquish, {"",                  "",         "",      "",                   ""}},
  {&kFido,   &kJam,    {"-FMPT -INTL -TOPT", "",         "",      "-FMPT -TOPT",        ""}},
  {&kPacket, &kFido,   {"",                  "-AREA",    "",      "",                   ""}},
  {&kPacket, &kPacket, {"",                  "",         "",      "",                   ""}},
  {&kPacket, &kSquish, {"",                  "-AREA",    "",      "",                   ""}},
  {&kPacket, &kJam,    {"-FMPT -INTL -TOPT", "-AREA",    "",      "-FMPT -TOPT",        ""}},
  {&kSquish, &kFido,   {"",                  "",         "",      "",                   ""}},
  {&kSquish, &kPacket, {"",                  "",         "",      "",                   ""}},
  {&kSquish, &kSquish, {"",                  "",         "",      "",                   ""}},
  {&kSquish, &kJam,    {"-FMPT -INTL -TOPT", "",         "",      "-FMPT -TOPT",        ""}},
  {&kJam,    &kFido,   {"+FMPT +INTL +TOPT", "",         "+INTL", "+FMPT +INTL +TOPT",  ""}},
  {&kJam,    &kPacket, {"+FMPT +INTL +TOPT", "",         "+INTL", "+FMPT +INTL +TOPT",  ""}},
  {&kJam,    &kSquish, {"+FMPT +INTL +TOPT", "",         "+INTL", "+FMPT +INTL +TOPT",  ""}},
  {&kJam,    &kJam,    {"",                  "",         "",      "",                   ""}},
};
// clang-format on

TEST_P(PairTest, CarriesTheControlLinesTheTableSays) {
  WriteMessages(source_, EveryShape());
  ASSERT_EQ(Convert(source_, copy_).exit_code, 0);
  for (const CarryRow& row : kCarry) {
    if (row.from != &from() || row.to != &to()) continue;
    for (int n : EveryShape()) {
      const LineNames source = StoredLines(from(), source_, n);
      const LineNames copy = StoredLines(to(), copy_, n);
      std::string change;
      auto note = [&change](char sign, const std::string& name) {
        change += (change.empty() ? "" : " ") + (sign + name);
      };
      for (const std::string& name : source) {
        if (!copy.contains(name)) note('-', name);
      }
      for (const std::string& name : copy) {
        if (!source.contains(name)) note('+', name);
      }
      EXPECT_EQ(change, row.change[n - 1]) << "message " << n;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(AllPairs, PairTest,
                         ::testing::Combine(::testing::ValuesIn(kAllKinds),
                                            ::testing::ValuesIn(kAllKinds)),
                         PrintPair);

}  // namespace
}  // namespace quil::testing::convert_e2e
