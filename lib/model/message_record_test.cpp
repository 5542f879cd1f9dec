#include "model/message_record.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

#include "model/message_text.h"
#include "test_support.h"

namespace quil {
namespace {

using testing::DumpRecord;

TEST(MessageRecordTest, ClearLeavesNothingOfTheLastMessage) {
  MessageRecord fresh;
  std::string empty = DumpRecord(fresh);
  EXPECT_EQ(fresh.orig_zone, kAddressNotSet);
  EXPECT_EQ(fresh.dest_point, kAddressNotSet);

  MessageRecord r;
  r.from_name = "A";
  r.subject = std::string(300, 's');
  EXPECT_EQ(r.subject.size(), 255u);
  r.date_text = "01 Jan 01  00:00:00 plus more";
  EXPECT_EQ(r.date_text.size(), 20u);
  r.times_read = 3;
  r.replies[65] = 9;
  r.attribute_flags[27] = true;
  r.msgid_present = true;
  r.has_origin = true;
  r.body.Write("text");
  r.routing_lines.Insert("\x01Via x");
  r.seenby_lines.Insert("1/1");
  r.orig_net = 5;
  r.state = kRecordRead;
  r.Clear();
  EXPECT_EQ(DumpRecord(r), empty);
  r.Clear();
  EXPECT_EQ(DumpRecord(r), empty);
}

TEST(MessageRecordTest, ResetNumbersKeepsBodyAndLists) {
  MessageRecord r;
  r.subject = "s";
  r.cost = 5;
  r.body.Write("text");
  r.path_lines.Insert("1/1");
  r.intl_present = true;
  r.ResetNumbers();
  EXPECT_EQ(r.subject.str(), "");
  EXPECT_EQ(r.cost, 0);
  EXPECT_EQ(r.body.GetSize(), 4);
  EXPECT_EQ(r.path_lines.count(), 1);
  EXPECT_TRUE(r.intl_present);
}

TEST(MessageRecordTest, AttributeHelpersAndViaLines) {
  MessageRecord r;
  r.SetAttribute(kAttrPrivate | kAttrCrash, true);
  EXPECT_TRUE(r.HasAttribute(kAttrCrash | kAttrSent));
  r.SetAttribute(kAttrPrivate, false);
  EXPECT_EQ(r.attributes, kAttrCrash);
  EXPECT_FALSE(r.HasAttribute(kAttrPrivate));
  r.AddViaLine("2:5020/1 @20010101");
  r.AddViaLine("2:5020/1 @20010101");
  ASSERT_EQ(r.routing_lines.count(), 2);
  EXPECT_EQ(r.routing_lines.At(0), "\x01Via 2:5020/1 @20010101");
}

TEST(MessageSerialTest, EightLowerHexDigitsThatDoNotRepeat) {
  std::set<std::string> seen;
  for (int i = 0; i < 2000; ++i) {
    std::string serial = NewMessageSerial();
    ASSERT_EQ(serial.size(), 8u);
    ASSERT_EQ(serial.find_first_not_of("0123456789abcdef"), std::string::npos);
    seen.insert(serial);
  }
  EXPECT_EQ(seen.size(), 2000u);
}

}  // namespace
}  // namespace quil
