#include "indexed/jam_subfields.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <utility>
#include <vector>

#include "indexed/jam_format.h"
#include "runtime/coding.h"
#include "test_support.h"

namespace quil::jam {
namespace {

using Fields = std::vector<std::pair<uint32_t, std::string>>;

// The subfields of an area as (id, data) pairs.
Fields Split(const std::string& area) {
  Fields fields;
  size_t pos = 0;
  while (pos + kSubfieldHeaderSize <= area.size()) {
    auto* p = reinterpret_cast<const uint8_t*>(area.data() + pos);
    uint32_t id = GetU16LE(p) + 65536u * GetU16LE(p + 2);
    uint32_t length = GetU32LE(p + 4);
    fields.emplace_back(id, area.substr(pos + kSubfieldHeaderSize, length));
    pos += kSubfieldHeaderSize + length;
  }
  EXPECT_EQ(pos, area.size());
  return fields;
}

void Apply(const std::string& area, MessageRecord& r) {
  ApplySubfields(std::span(reinterpret_cast<const uint8_t*>(area.data()), area.size()), r);
}

std::string Area(const Fields& fields) {
  std::string area;
  for (const auto& [id, data] : fields) AppendSubfield(&area, id, data);
  return area;
}

TEST(JamSubfieldsTest, WritingOrder) {
  MessageRecord r;
  r.orig_zone = 2, r.orig_net = 5020, r.orig_node = 1, r.orig_point = 7;
  r.dest_zone = 2, r.dest_net = 5020, r.dest_node = 2, r.dest_point = 0;
  r.from_name = "From";
  r.to_name = "To";
  r.msgid = "2:5020/1.7 0a1b2c3d";
  r.reply = "2:5020/2 11111111";
  r.subject = "FILE.ZIP";
  r.pid = "Pid 1";
  r.tid = "Tid 1";
  r.intl = "not stored";
  r.attributes = kAttrFileAttached | kAttrFileRequest;
  r.flags = "DIR";
  r.routing_lines.Insert("\x01Via 1");
  r.routing_lines.Insert("\x01Via 2");
  r.control_lines.Insert(
      "\x01"
      "CHRS: CP866 2");
  r.control_lines.Insert("\x01TZUTC: 0300");
  r.control_lines.Insert("\x01tzutc: 0300");  // not as the kind writes it
  r.seenby_lines.Insert("5020/1 2");
  r.path_lines.Insert("5020/1");
  Fields expected = {
      {kSubOriginAddress, "2:5020/1.7"},
      {kSubDestinationAddress, "2:5020/2"},
      {kSubSenderName, "From"},
      {kSubReceiverName, "To"},
      {kSubMsgid, "2:5020/1.7 0a1b2c3d"},
      {kSubReplyId, "2:5020/2 11111111"},
      {kSubSubject, "FILE.ZIP"},
      {kSubPid, "Pid 1"},
      {kSubEnclosedFreq, "FILE.ZIP"},
      {kSubEnclosedFile, "FILE.ZIP"},
      {kSubFtsKludge, "TID: Tid 1"},
      {kSubFtsKludge, "Via 1"},
      {kSubFtsKludge, "Via 2"},
      {kSubFtsKludge, "CHRS: CP866 2"},
      {kSubTzutc, "0300"},
      {kSubFtsKludge, "tzutc: 0300"},
      {kSubFlags, "DIR"},
      {kSubSeenBy, "5020/1 2"},
      {kSubPath, "5020/1"},
  };
  EXPECT_EQ(Split(BuildSubfields(r)), expected);
  // The header bytes of one subfield, pinned.
  EXPECT_EQ(testing::Printable(BuildSubfields(r).substr(0, 18)),
            "\\x00\\x00\\x00\\x00\\x0a\\x00\\x00\\x002:5020/1.7");
}

TEST(JamSubfieldsTest, EmptyFieldsAreLeftOut) {
  MessageRecord r;
  r.subject = "Subject";  // no attach or request: no enclosed-file subfield
  Fields expected = {{kSubOriginAddress, "65535:65535/65535.65535"},
                     {kSubDestinationAddress, "65535:65535/65535.65535"},
                     {kSubSubject, "Subject"}};
  EXPECT_EQ(Split(BuildSubfields(r)), expected);
}

TEST(JamSubfieldsTest, EmptyAreaSetsNothing) {
  MessageRecord r;
  Apply("", r);
  EXPECT_TRUE(r.from_name.empty());
  EXPECT_TRUE(r.subject.empty());
  EXPECT_EQ(r.orig_zone, kAddressNotSet);
  EXPECT_EQ(r.dest_net, kAddressNotSet);
  EXPECT_TRUE(r.msgid.empty());
}

TEST(JamSubfieldsTest, KludgeClassification) {
  MessageRecord r;
  Apply(Area({{kSubFtsKludge, "via 2:5020/1 @20010305.173009"},
              {kSubFtsKludge, "RECD 1:2/3"},
              {kSubFtsKludge, "Forwarded by x"},
              {kSubFtsKludge, "AREA:NET.TEST"},
              {kSubFtsKludge, "INTL 2:5020/2 2:5020/1"},
              {kSubFtsKludge, "fmpt 7"},
              {kSubFtsKludge, "TOPT 1"},
              {kSubFtsKludge, "TZUTC: 0300"},
              {kSubEmbeddedData, "TZUTC: 0300"},
              {kSubEmbeddedData, "CHRS: CP866 2"}}),
        r);
  EXPECT_EQ(r.area.str(), "NET.TEST");
  std::vector<std::string> routing(r.routing_lines.begin(), r.routing_lines.end());
  EXPECT_EQ(routing,
            (std::vector<std::string>{"\x01Via 2:5020/1 @20010305.173009", "\x01Recd 1:2/3",
                                      "\x01"
                                      "Forwarded by x"}));
  std::vector<std::string> other(r.control_lines.begin(), r.control_lines.end());
  EXPECT_EQ(other, (std::vector<std::string>{"\x01TZUTC: 0300",
                                             "\x01"
                                             "CHRS: CP866 2"}));
  EXPECT_TRUE(r.intl.empty());
}

// A subfield kind the record has no field for comes out as its control
// line, in the place of its subfield among the others, each value once.
TEST(JamSubfieldsTest, TzutcSubfieldIsItsControlLine) {
  MessageRecord r;
  Apply(Area({{kSubFtsKludge, "CHRS: CP866 2"},
              {kSubTzutc, "-0500"},
              {kSubFtsKludge, "REPLYADDR a@b"},
              {kSubTzutc, "-0500"},
              {kSubFtsKludge, "TZUTC: -0500"}}),
        r);
  std::vector<std::string> lines(r.control_lines.begin(), r.control_lines.end());
  EXPECT_EQ(lines, (std::vector<std::string>{"\x01"
                                             "CHRS: CP866 2",
                                             "\x01TZUTC: -0500", "\x01REPLYADDR a@b"}));
  // Written again, each goes back into its own kind.
  MessageRecord back;
  Apply(BuildSubfields(r), back);
  std::vector<std::string> again(back.control_lines.begin(), back.control_lines.end());
  EXPECT_EQ(again, lines);
  Fields kludges;
  for (const auto& field : Split(BuildSubfields(r))) {
    if (field.first >= kSubFtsKludge) kludges.push_back(field);
  }
  EXPECT_EQ(kludges, (Fields{{kSubFtsKludge, "CHRS: CP866 2"},
                             {kSubTzutc, "-0500"},
                             {kSubFtsKludge, "REPLYADDR a@b"}}));

  // The same among many other lines (each value still once).
  Fields many;
  for (int i = 0; i < 20; ++i) many.push_back({kSubFtsKludge, "X" + std::to_string(i) + ": v"});
  many.push_back({kSubTzutc, "-0500"});
  many.push_back({kSubFtsKludge, "TZUTC: -0500"});
  many.push_back({kSubFtsKludge, "X3: v"});
  MessageRecord crowded;
  Apply(Area(many), crowded);
  ASSERT_EQ(crowded.control_lines.count(), 21);
  EXPECT_EQ(crowded.control_lines.At(20), "\x01TZUTC: -0500");
}

TEST(JamSubfieldsTest, Trace) {
  EXPECT_EQ(TraceToRoutingLine("20010305173009 1:2/3"),
            "\x01Via  1:2/3 @20010305.173009 from jam area by Quil");
  EXPECT_EQ(TraceToRoutingLine("20010305173009"),
            "\x01Via  @20010305.173009 from jam area by Quil");
  // Too short for a stamp: kept whole rather than cut away.
  EXPECT_EQ(TraceToRoutingLine("1:2/3"), "\x01Via 1:2/3 from jam area by Quil");
  EXPECT_LE(TraceToRoutingLine(std::string(255, '9')).size(), 255u);
  MessageRecord r;
  Apply(Area({{kSubTrace, "20010305173009 1:2/3"}}), r);
  ASSERT_EQ(r.routing_lines.count(), 1);
  EXPECT_EQ(r.routing_lines.At(0), "\x01Via  1:2/3 @20010305.173009 from jam area by Quil");
}

TEST(JamSubfieldsTest, EnclosedFileNeedsItsAttribute) {
  std::string area = Area({{kSubSubject, "Subject"}, {kSubEnclosedFileWildcard, "*.ZIP"}});
  MessageRecord plain;
  Apply(area, plain);
  EXPECT_EQ(plain.subject.str(), "Subject");
  MessageRecord attach;
  attach.attributes = kAttrFileAttached;
  Apply(area, attach);
  EXPECT_EQ(attach.subject.str(), "*.ZIP");

  std::string freq = Area({{kSubSubject, "Subject"}, {kSubEnclosedFreq, "FILES"}});
  MessageRecord request;
  request.attributes = kAttrFileRequest;
  Apply(freq, request);
  EXPECT_EQ(request.subject.str(), "FILES");
  Apply(freq, attach);
  EXPECT_EQ(attach.subject.str(), "Subject");
}

TEST(JamSubfieldsTest, FlagsSubfieldJoinsAttributeWords) {
  MessageRecord r;
  r.flags = "Dir";  // from the Attribute field
  Apply(Area({{kSubFlags, "ZON"}}), r);
  EXPECT_EQ(r.flags.str(), "ZON Dir");
}

TEST(JamSubfieldsTest, DamagedSubfields) {
  MessageRecord r;
  // Longer than 255: skipped; then a normal one.
  std::string area = Area({{kSubSenderName, std::string(256, 'x')}, {kSubReceiverName, "To"}});
  // An unknown id (HiID set) is skipped too.
  area += Area({{kSubSubject + 65536, "hidden"}});
  // The last one claims more bytes than there are: parsing stops.
  area += Area({{kSubPid, "cut"}});
  area.resize(area.size() - 1);
  Apply(area, r);
  EXPECT_TRUE(r.from_name.empty());
  EXPECT_EQ(r.to_name.str(), "To");
  EXPECT_TRUE(r.subject.empty());
  EXPECT_TRUE(r.pid.empty());

  // A huge length ends the parsing without reading anything.
  std::string huge = Area({{kSubSenderName, "A"}});
  huge[4] = huge[5] = huge[6] = huge[7] = '\xff';
  huge += Area({{kSubReceiverName, "B"}});
  MessageRecord h;
  Apply(huge, h);
  EXPECT_TRUE(h.from_name.empty());
  EXPECT_TRUE(h.to_name.empty());
}

// Writers order subfields as they like; some put MSGID before OADDRESS,
// whose parser makes up a MSGID of its own.
TEST(JamSubfieldsTest, MsgidSubfieldWinsWhereverItStands) {
  for (bool msgid_first : {true, false}) {
    Fields fields{{kSubOriginAddress, "2:5020/1.7"}, {kSubDestinationAddress, "2:5020/2"}};
    fields.insert(msgid_first ? fields.begin() : fields.end(), {kSubMsgid, "2:5020/1.7 0a1b2c3d"});
    MessageRecord r;
    Apply(Area(fields), r);
    EXPECT_EQ(r.msgid.str(), "2:5020/1.7 0a1b2c3d") << msgid_first;
    EXPECT_EQ(r.intl.str(), "2:5020/2 2:5020/1");
  }
  // Without a MSGID subfield the message has none: the one the origin
  // address's parser makes up is not marked present by the normalisation.
  MessageRecord r;
  Apply(Area({{kSubOriginAddress, "2:5020/1"}, {kSubDestinationAddress, "2:5020/2"}}), r);
  EXPECT_TRUE(r.msgid.empty()) << r.msgid.str();
  r.Normalise();
  EXPECT_FALSE(r.msgid_present);
  EXPECT_TRUE(r.msgid.str().starts_with("2:5020/1 ")) << r.msgid.str();
  EXPECT_TRUE(r.intl_present);
}

// Echomail has an origin address and no destination: that is no INTL.  Nor
// is one made of both addresses of a message the header or its text says is
// echomail.
TEST(JamSubfieldsTest, OneAddressOrEchomailGivesNoIntl) {
  const Fields both = {{kSubOriginAddress, "2:5020/1.7"}, {kSubDestinationAddress, "2:5020/2"}};
  MessageRecord typed;
  typed.stored_type = MessageType::kEchomail;
  Apply(Area(both), typed);
  EXPECT_TRUE(typed.intl.empty()) << testing::Printable(typed.intl.str());
  MessageRecord with_path;
  Apply(Area(both) + Area({{kSubPath, "5020/1"}}), with_path);
  EXPECT_TRUE(with_path.intl.empty()) << testing::Printable(with_path.intl.str());
  MessageRecord netmail;
  netmail.stored_type = MessageType::kNetmail;
  netmail.has_origin = true;
  Apply(Area(both), netmail);
  EXPECT_EQ(netmail.intl.str(), "2:5020/2 2:5020/1");

  for (const Fields& fields : {Fields{{kSubOriginAddress, "2:5020/1.7"}},
                               Fields{{kSubDestinationAddress, "2:5020/2"}}}) {
    MessageRecord r;
    Apply(Area(fields), r);
    EXPECT_TRUE(r.intl.empty()) << testing::Printable(r.intl.str());
  }
  MessageRecord r;
  Apply(Area({{kSubOriginAddress, "2:5020/1.7"}}), r);
  r.Normalise();
  EXPECT_FALSE(r.intl_present);
  EXPECT_EQ(r.FormatOriginAddress(), "2:5020/1.7");
}

// A SubfieldLen that counts more than the subfields (some writers count 16
// bytes per subfield header) reaches into the next message's header; its
// signature ends the parsing before anything of that message is taken.
TEST(JamSubfieldsTest, NextHeaderEndsTheArea) {
  std::string next_header = std::string("JAM\0", 4) + std::string(4, '\0');
  std::string area = Area({{kSubReceiverName, "Own"}}) + next_header +
                     Area({{kSubReceiverName, "Neighbour"}, {kSubSubject, "Not ours"}});
  MessageRecord r;
  Apply(area, r);
  EXPECT_EQ(r.to_name.str(), "Own");
  EXPECT_TRUE(r.subject.empty());
}

TEST(JamSubfieldsTest, RandomBytesNeverReadOutside) {
  std::mt19937 random(20240607);
  for (int round = 0; round < 500; ++round) {
    std::vector<uint8_t> bytes(random() % 200);
    for (uint8_t& b : bytes) b = static_cast<uint8_t>(random() % 4 == 0 ? random() : random() % 16);
    MessageRecord r;
    r.attributes = kAttrFileAttached;
    ApplySubfields(bytes, r);  // the sanitizers watch the reads
  }
}

}  // namespace
}  // namespace quil::jam
