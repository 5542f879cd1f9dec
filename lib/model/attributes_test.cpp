#include "model/attributes.h"

#include <gtest/gtest.h>

#include "model/message_record.h"

namespace quil {
namespace {

TEST(ConvertFlagsTest, ReadingTakesWordsIntoTheWordAndFlags) {
  MessageRecord r;
  r.flags = "PVT DIR";
  r.ConvertFlags(Direction::kReading);
  EXPECT_EQ(r.attributes, kAttrPrivate);
  EXPECT_TRUE(r.attribute_flags[0]);
  EXPECT_TRUE(r.attribute_flags[kFlagDirect]);
  EXPECT_EQ(r.flags.str(), "DIR");

  MessageRecord mixed;
  mixed.flags = "pVt dIr";
  mixed.ConvertFlags(Direction::kReading);
  EXPECT_EQ(mixed.attributes, kAttrPrivate);
  EXPECT_EQ(mixed.flags.str(), "DIR");
}

TEST(ConvertFlagsTest, UnknownWordsAreDroppedAndTheWordTestIsASubstringTest) {
  MessageRecord r;
  r.flags = "FOO BAR";
  r.ConvertFlags(Direction::kReading);
  EXPECT_EQ(r.flags.str(), "");

  MessageRecord x;
  x.flags = "XDIR";
  x.ConvertFlags(Direction::kReading);
  EXPECT_TRUE(x.attribute_flags[kFlagDirect]);
  EXPECT_TRUE(HasFlagsWord("a xdir b", "DIR"));
  EXPECT_FALSE(HasFlagsWord("DIRX", "DIR"));
}

TEST(ConvertFlagsTest, CanonicalTextFollowsTableOrder) {
  MessageRecord r;
  r.flags = "CFM IMM A/S DIR LOK";
  r.ConvertFlags(Direction::kReading);
  EXPECT_EQ(r.flags.str(), "A/S DIR IMM LOK CFM");
}

TEST(ConvertFlagsTest, WritingMakesTheFlagsTheMaster) {
  MessageRecord r;
  r.attributes = kAttrSent | kAttrUnused0400 | kAttrDeleted;
  r.ConvertFlags(Direction::kReading);
  EXPECT_TRUE(r.attribute_flags[3]);
  EXPECT_TRUE(r.attribute_flags[17]);
  r.attribute_flags[3] = false;
  r.attributes |= kAttrCrash;  // a direct change is undone by the flags
  r.ConvertFlags(Direction::kWriting);
  EXPECT_EQ(r.attributes, kAttrUnused0400 | kAttrDeleted);
  r.attribute_flags[kFlagImmediate] = true;
  r.attribute_flags[kFlagDirect] = true;
  r.ConvertFlags(Direction::kWriting);
  EXPECT_EQ(r.flags.str(), "DIR IMM");
}

TEST(ConvertFlagsTest, AWordNeverClearsABit) {
  MessageRecord r;
  r.attributes = kAttrHold | 0x20000;
  r.flags = "CRA";
  r.ConvertFlags(Direction::kReading);
  EXPECT_EQ(r.attributes, kAttrHold | kAttrCrash | 0x20000);
  EXPECT_TRUE(r.attribute_flags[16]);
}

}  // namespace
}  // namespace quil
