#include "model/addresses.h"

#include <gtest/gtest.h>

#include "test_support.h"

namespace quil {
namespace {

std::string Orig(const MessageRecord& r) {
  return std::to_string(r.orig_zone) + ":" + std::to_string(r.orig_net) + "/" +
         std::to_string(r.orig_node) + "." + std::to_string(r.orig_point);
}
std::string Dest(const MessageRecord& r) {
  return std::to_string(r.dest_zone) + ":" + std::to_string(r.dest_net) + "/" +
         std::to_string(r.dest_node) + "." + std::to_string(r.dest_point);
}

TEST(CompleteAddressesTest, MsgidWithPointAndDomainFillsBothSides) {
  MessageRecord r;
  r.msgid = "2:5020/1.7@fidonet 0a1b2c3d";
  CompleteAddresses(r);
  EXPECT_EQ(Orig(r), "2:5020/1.7");
  EXPECT_EQ(r.orig_domain.str(), "fidonet");
  EXPECT_EQ(Dest(r), "2:5020/1.0");
  EXPECT_EQ(r.dest_domain.str(), "fidonet");
}

TEST(CompleteAddressesTest, MsgidWithLettersGivesNoPoint) {
  MessageRecord r;
  r.msgid = "<2:5020/1.7> 0a1b2c3d";
  CompleteAddresses(r);
  EXPECT_EQ(r.orig_point, 0);  // the origin line step defaults it
}

TEST(CompleteAddressesTest, OriginLineGivesZoneNetNodeButNeverThePoint) {
  MessageRecord r;
  r.origin = "Home (2:5020/1.7)";
  CompleteAddresses(r);
  EXPECT_EQ(Orig(r), "2:5020/1.0");
  EXPECT_EQ(r.origin.str(), "Home ");

  MessageRecord with_fmpt;
  with_fmpt.origin = "Home (2:5020/1.7)";
  with_fmpt.orig_point = 7;
  CompleteAddresses(with_fmpt);
  EXPECT_EQ(Orig(with_fmpt), "2:5020/1.7");

  MessageRecord words;
  words.origin = "Somewhere (Moscow 2:5020/3)";
  CompleteAddresses(words);
  EXPECT_EQ(Orig(words), "2:5020/3.0");
}

TEST(CompleteAddressesTest, OriginLineWithoutAnAddressLosesItsTail) {
  MessageRecord r;
  r.origin = "(Moscow)";
  CompleteAddresses(r);
  EXPECT_EQ(r.origin.str(), " ");
  EXPECT_EQ(r.orig_net, kAddressNotSet);
  EXPECT_EQ(r.orig_zone, 2);  // default zone
}

TEST(CompleteAddressesTest, TheFirstSourceWinsAndZeroZonesAreFree) {
  MessageRecord r;
  r.orig_net = 5020;  // from a header
  r.orig_zone = 0;
  r.intl = "1:2/3 3:4/5";
  CompleteAddresses(r);
  EXPECT_EQ(r.orig_net, 5020);
  EXPECT_EQ(r.orig_zone, 3);
  EXPECT_EQ(r.orig_node, 5);
  EXPECT_EQ(Dest(r), "1:2/3.0");
}

TEST(CompleteAddressesTest, ReplyGivesTheDestinationAndItsDomain) {
  MessageRecord r;
  r.reply = "1:2/3@othernet 11111111";
  r.msgid = "2:5020/1@fidonet 22222222";
  CompleteAddresses(r);
  EXPECT_EQ(Dest(r), "1:2/3.0");
  EXPECT_EQ(r.dest_domain.str(), "othernet");
}

TEST(CompleteAddressesTest, NothingKnownDefaultsZonesAndLeavesNetsUnset) {
  MessageRecord r;
  CompleteAddresses(r);
  EXPECT_EQ(Orig(r), "2:65535/65535.0");
  EXPECT_EQ(Dest(r), "2:65535/65535.0");
}

TEST(AddressFormatTest, FormatAndParse) {
  MessageRecord r;
  r.orig_zone = 2;
  r.orig_net = 5020;
  r.orig_node = 1;
  r.orig_point = 0;
  EXPECT_EQ(r.FormatOriginAddress(), "2:5020/1");
  r.orig_point = 7;
  EXPECT_EQ(r.FormatOriginAddress(), "2:5020/1.7");
  EXPECT_EQ(r.FormatDestinationAddress(), "65535:65535/65535.65535");

  MessageRecord p;
  p.ParseOriginAddress("2:5020/1@fidonet");
  EXPECT_EQ(Orig(p), "2:5020/1.0");  // the domain is word 4: point 0
  EXPECT_EQ(p.orig_domain.str(), "");
  EXPECT_EQ(p.msgid.str().substr(0, 17), "2:5020/1@fidonet ");
  EXPECT_EQ(p.msgid.size(), 25u);

  MessageRecord both;
  both.ParseOriginAddress("2:5020/1.7");
  both.ParseDestinationAddress("1:2/3.4@zone");
  EXPECT_EQ(both.intl.str(), "1:2/3 2:5020/1");
  EXPECT_EQ(Dest(both), "1:2/3.4");
  EXPECT_EQ(both.dest_domain.str(), "zone");
}

// An address text is read word by word at ":", "/", "." and "@"; a plain
// address is read the same way by a shorter path.
TEST(AddressFormatTest, AnAddressTextGivesItsWords) {
  struct Row {
    std::string_view text;
    std::string_view address;  // as Orig/Dest show it
    std::string_view domain;
  };
  for (const Row& row : {
           Row{"2:5020/1", "2:5020/1.0", ""},
           Row{"2:5020/1.7", "2:5020/1.7", ""},
           Row{"02:05020/001.00007", "2:5020/1.7", ""},
           Row{"65535:65535/65535.65535", "65535:65535/65535.65535", ""},
           Row{"99999:1/2", "34463:1/2.0", ""},    // cut to 16 bits
           Row{"123456:1/2", "57920:1/2.0", ""},   // six digits: the same
           Row{"2:5020/1.", "2:5020/1.0", ""},
           Row{"2::5020//1", "2:5020/1.0", ""},    // empty words do not count
           Row{":5020/1", "5020:1/0.0", ""},
           Row{"2:5020/1 x", "2:5020/0.0", ""},    // no number: 0
           Row{"2:5020/1.7@fidonet", "2:5020/1.7", "fidonet"},
           Row{"2:5020/1.7.9", "2:5020/1.7", "9"},
           Row{"", "0:0/0.0", ""},
       }) {
    MessageRecord r;
    r.SetOriginFromText(row.text);
    r.SetDestinationFromText(row.text);
    EXPECT_EQ(Orig(r), row.address) << row.text;
    EXPECT_EQ(Dest(r), row.address) << row.text;
    EXPECT_EQ(r.orig_domain.str(), row.domain) << row.text;
    EXPECT_EQ(r.dest_domain.str(), row.domain) << row.text;
  }
}

TEST(NormaliseTest, GeneratesMsgidAndIntlWithTheTrailingBlank) {
  MessageRecord r;
  r.intl = "";
  r.orig_zone = 2;
  r.orig_net = 5020;
  r.orig_node = 2;
  r.dest_zone = 2;
  r.dest_net = 5020;
  r.dest_node = 1;
  r.Normalise();
  EXPECT_EQ(r.intl.str(), "2:5020/1 2:5020/2 ");
  EXPECT_FALSE(r.intl_present);
  EXPECT_FALSE(r.msgid_present);
  EXPECT_EQ(r.msgid.str().substr(0, 9), "2:5020/2 ");

  MessageRecord point;
  point.msgid = "";
  point.orig_zone = 2;
  point.orig_net = 5020;
  point.orig_node = 1;
  point.orig_point = 7;
  point.orig_domain = "fidonet";
  point.Normalise();
  EXPECT_EQ(point.msgid.str().substr(0, 19), "2:5020/1.7@fidonet ");
}

}  // namespace
}  // namespace quil
