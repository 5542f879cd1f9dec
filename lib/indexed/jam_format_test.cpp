#include "indexed/jam_format.h"

#include <gtest/gtest.h>

#include <string>

#include "test_support.h"

namespace quil::jam {
namespace {

using testing::Printable;

template <size_t N>
std::string AsString(const std::array<uint8_t, N>& bytes) {
  return std::string(reinterpret_cast<const char*>(bytes.data()), N);
}

TEST(JamFormatTest, BaseHeaderBytes) {
  BaseHeader h = BaseHeader::Fresh(0x01020304);
  h.active_msgs = 0x0A0B0C0D;
  h.reserved[999] = 0x55;
  std::string bytes = AsString(h.Encode());
  ASSERT_EQ(bytes.size(), kBaseHeaderSize);
  EXPECT_EQ(Printable(bytes.substr(0, 24)),
            "JAM\\x00\\x04\\x03\\x02\\x01\\x01\\x00\\x00\\x00\\x0d\\x0c\\x0b\\x0a"
            "\\xff\\xff\\xff\\xff\\x01\\x00\\x00\\x00");
  EXPECT_EQ(bytes.substr(24, 999), std::string(999, '\0'));
  EXPECT_EQ(bytes[1023], '\x55');
  // Decoding keeps everything, the reserved bytes included.
  auto again = BaseHeader::Decode(h.Encode()).Encode();
  EXPECT_EQ(AsString(again), bytes);
}

TEST(JamFormatTest, MessageHeaderBytes) {
  MessageHeader h = MessageHeader::Fresh();
  uint32_t v = 0x11;
  for (uint32_t* f :
       {&h.subfield_len, &h.times_read, &h.msgid_crc, &h.reply_crc, &h.reply_to, &h.reply_first,
        &h.reply_next, &h.date_written, &h.date_received, &h.date_processed, &h.message_number,
        &h.attribute, &h.attribute2, &h.txt_offset, &h.txt_len, &h.password_crc, &h.cost}) {
    *f = v++;
  }
  h.reserved_word = 0x0302;
  std::string bytes = AsString(h.Encode());
  std::string expected = std::string("JAM\0\x01\x00\x02\x03", 8);
  for (uint32_t x = 0x11; x < 0x11 + 17; ++x) expected += std::string{char(x), 0, 0, 0};
  EXPECT_EQ(Printable(bytes), Printable(expected));
  EXPECT_EQ(AsString(MessageHeader::Decode(h.Encode()).Encode()), bytes);
}

TEST(JamFormatTest, SubfieldAndIndexBytes) {
  SubfieldHeader s{2000, 0, 0x0102};
  EXPECT_EQ(Printable(AsString(s.Encode())), "\\xd0\\x07\\x00\\x00\\x02\\x01\\x00\\x00");
  EXPECT_EQ(SubfieldHeader::Decode(SubfieldHeader{3, 1, 0}.Encode()).id(), 65539u);

  IndexEntry e{0xAABBCCDD, 1024};
  EXPECT_EQ(Printable(AsString(e.Encode())), "\\xdd\\xcc\\xbb\\xaa\\x00\\x04\\x00\\x00");
  IndexEntry deleted;
  EXPECT_EQ(AsString(deleted.Encode()), std::string(8, '\xff'));
  EXPECT_TRUE(IndexEntry::Decode(deleted.Encode()).deleted());
  EXPECT_FALSE(IndexEntry::Decode(e.Encode()).deleted());
}

TEST(JamFormatTest, HeaderIsValidWithSignatureOrRevision) {
  MessageHeader h = MessageHeader::Fresh();
  EXPECT_TRUE(h.IsValid());
  h.signature[0] = 'X';
  EXPECT_TRUE(h.IsValid());  // revision 1 suffices
  h.revision = 2;
  EXPECT_FALSE(h.IsValid());
  h.signature = kSignature;
  EXPECT_TRUE(h.IsValid());  // and so does the signature
}

TEST(JamFormatTest, NameCrc) {
  EXPECT_EQ(NameCrc(""), 0xFFFFFFFFu);
  // The standard CRC-32 check value 0xCBF43926, without the final inversion.
  EXPECT_EQ(NameCrc("123456789"), 0x340BC6D9u);
  EXPECT_EQ(NameCrc("Sysop Of The Node"), NameCrc("sysop of the node"));
  // Only A-Z change case; code page 866 letters are taken as they are.
  EXPECT_NE(NameCrc("\x80"), NameCrc("\xa0"));
  // Names longer than 255 characters count with their first 255.
  EXPECT_EQ(NameCrc(std::string(300, 'a')), NameCrc(std::string(255, 'A')));
}

TEST(JamFormatTest, DatesAreUnsignedAndGoodPast2038) {
  DateTime d2039{2039, 6, 1, 12, 0, 0};
  uint32_t s = DateToJam(d2039);
  EXPECT_GT(s, 0x80000000u);
  EXPECT_EQ(DateFromJam(s), d2039);
  DateTime d2099{2099, 12, 31, 23, 59, 59};
  EXPECT_EQ(DateFromJam(DateToJam(d2099)), d2099);
  EXPECT_EQ(DateToJam(DateTime{2001, 1, 1, 0, 0, 0}), 978307200u);
  // Before 1970 there is nothing to store but the earliest second.
  EXPECT_EQ(DateToJam(DateTime{1969, 12, 31, 23, 59, 59}), 0u);
  EXPECT_EQ(DateFromJam(0), (DateTime{1970, 1, 1, 0, 0, 0}));
}

TEST(JamFormatTest, AttributeMapping) {
  std::array<bool, kAttributeFlagCount> flags{};
  flags[kFlagDirect] = true;
  EXPECT_EQ(AttributeToJam(kAttrPrivate | kAttrCrash, flags, false), 0x02000504u);
  EXPECT_EQ(AttributeToJam(kAttrPrivate | kAttrCrash, flags, true), 0x01000504u);
  EXPECT_EQ(AttributeFromJam(0x02000504u), kAttrPrivate | kAttrCrash);
  EXPECT_EQ(FlagsWordsFromJam(0x02000504u), "Dir");

  // Every row maps both ways on its own.
  for (const AttributeMapping& row : kAttributeMap) {
    EXPECT_EQ(AttributeToJam(row.record_bit, {}, false), row.jam_bit | kMsgTypeNet);
    EXPECT_EQ(AttributeFromJam(row.jam_bit), row.record_bit);
  }
  for (const FlagMapping& row : kFlagsOnlyMap) {
    std::array<bool, kAttributeFlagCount> one{};
    one[row.flag] = true;
    EXPECT_EQ(AttributeToJam(0, one, false), row.jam_bit | kMsgTypeNet);
    EXPECT_EQ(FlagsWordsFromJam(row.jam_bit), kAttributeTable[row.flag].word);
  }
  EXPECT_EQ(FlagsWordsFromJam(kMsgImmediate | kMsgArchiveSent | kMsgLocked), "A/s Imm Lok");

  // Attributes without a JAM bit travel only in the FLAGS text; JAM bits
  // without a record attribute are ignored.
  std::array<bool, kAttributeFlagCount> unmapped{};
  unmapped[kFlagZonegate] = unmapped[kFlagHub] = unmapped[kFlagXmail] = unmapped[kFlagConfirm] =
      true;
  EXPECT_EQ(AttributeToJam(kAttrAuditRequest | kAttrFileUpdateRequest | kAttrExtra10000 |
                               kAttrExtra20000 | kAttrUnused0400,
                           unmapped, false),
            kMsgTypeNet);
  EXPECT_EQ(AttributeFromJam(kMsgGate | kMsgTypeEcho | kMsgTypeNet | 0x00080000), 0u);
}

}  // namespace
}  // namespace quil::jam
