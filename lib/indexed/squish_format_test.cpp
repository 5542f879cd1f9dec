// Tests of the Squish record codecs and the Squish hash.
#include "indexed/squish_format.h"

#include <gtest/gtest.h>

#include <string>

#include "runtime/coding.h"

namespace quil::squish {
namespace {

TEST(SquishHashTest, KnownValues) {
  EXPECT_EQ(SquishHash(""), 0u);
  EXPECT_EQ(SquishHash("A"), 0x61u);
  EXPECT_EQ(SquishHash("a"), 0x61u);
  EXPECT_EQ(SquishHash("Sysop"), 0x7b0a60u);
  EXPECT_EQ(SquishHash("SYSOP"), 0x7b0a60u);
  // Long enough for the top bits to fold back in (OR, not XOR).
  EXPECT_EQ(SquishHash("Alexander Semenov"), 0x7a0c0df6u);
}

TEST(SquishHashTest, LowerCasesCodePage866) {
  // Capital A (0x80), R (0x90) and Yo (0xF0) hash like their small letters.
  EXPECT_EQ(SquishHash("\x80\x90\xF0"), 0xaef1u);
  EXPECT_EQ(SquishHash("\xA0\xE0\xF1"), 0xaef1u);
}

TEST(SquishFormatTest, BaseHeaderKeepsEveryByte) {
  BaseHeaderBytes bytes{};
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(i * 7 + 1);
  BaseHeader h = DecodeBaseHeader(bytes);
  EXPECT_EQ(h.len, GetU16LE(&bytes[0]));
  EXPECT_EQ(h.num_msg, GetU32LE(&bytes[4]));
  EXPECT_EQ(h.uid, GetU32LE(&bytes[20]));
  EXPECT_EQ(h.base[0], bytes[24]);
  EXPECT_EQ(h.begin_frame, GetU32LE(&bytes[104]));
  EXPECT_EQ(h.end_frame, GetU32LE(&bytes[120]));
  EXPECT_EQ(h.sz_sqhdr, GetU16LE(&bytes[130]));
  EXPECT_EQ(h.rsvd2[123], bytes[255]);
  EXPECT_EQ(EncodeBaseHeader(h), bytes);
}

TEST(SquishFormatTest, FrameHeaderAndIndexRecordBytes) {
  FrameHeaderBytes frame = EncodeFrameHeader({kFrameId, 0x11223344, 0x256, 300, 290, 12, 1, 0});
  EXPECT_EQ(std::string(frame.begin(), frame.end()),
            std::string("SD\xAE\xAF\x44\x33\x22\x11\x56\x02\0\0\x2C\x01\0\0\x22\x01\0\0"
                        "\x0C\0\0\0\x01\0\0\0", 28));
  EXPECT_EQ(DecodeFrameHeader(frame).prev_frame, 0x256u);
  IndexRecordBytes index = EncodeIndexRecord({0x100, 2, 0x61});
  EXPECT_EQ(std::string(index.begin(), index.end()),
            std::string("\0\x01\0\0\x02\0\0\0\x61\0\0\0", 12));
  EXPECT_EQ(DecodeIndexRecord(index).hash, 0x61u);
}

TEST(SquishFormatTest, MessageHeaderLayout) {
  MessageHeader h;
  h.attr = 0x00080101;
  h.from = "From Name";
  h.to = "To Name";
  h.subject = "Subject";
  h.orig = {2, 5020, 1, 7};
  h.dest = {3, 4, 5, 6};
  h.date_written = 0xAABBCCDD;
  h.date_arrived = 0x01020304;
  h.utc_ofs = 0x1234;
  h.reply_to = 77;
  for (uint32_t i = 0; i < kHeaderReplyCount; ++i) h.replies[i] = 100 + i;
  h.umsgid = 0xCAFE;
  h.ftsc_date = "05 Mar 01  17:30:08";
  MessageHeaderBytes b = EncodeMessageHeader(h);
  EXPECT_EQ(GetU32LE(&b[0]), 0x00080101u);
  EXPECT_EQ(GetFixedString({&b[4], 36}), "From Name");
  EXPECT_EQ(GetFixedString({&b[40], 36}), "To Name");
  EXPECT_EQ(GetFixedString({&b[76], 72}), "Subject");
  EXPECT_EQ(GetU16LE(&b[148]), 2u);
  EXPECT_EQ(GetU16LE(&b[150]), 5020u);
  EXPECT_EQ(GetU16LE(&b[154]), 7u);
  EXPECT_EQ(GetU16LE(&b[156]), 3u);
  EXPECT_EQ(GetU16LE(&b[162]), 6u);
  EXPECT_EQ(GetU32LE(&b[164]), 0xAABBCCDDu);
  EXPECT_EQ(GetU32LE(&b[168]), 0x01020304u);
  EXPECT_EQ(GetU16LE(&b[172]), 0x1234u);
  EXPECT_EQ(GetU32LE(&b[174]), 77u);
  EXPECT_EQ(GetU32LE(&b[178]), 100u);
  EXPECT_EQ(GetU32LE(&b[210]), 108u);
  EXPECT_EQ(GetU32LE(&b[214]), 0xCAFEu);
  EXPECT_EQ(GetFixedString({&b[218], 20}), "05 Mar 01  17:30:08");

  MessageHeader back = DecodeMessageHeader(b);
  EXPECT_EQ(back.from, h.from);
  EXPECT_EQ(back.dest.node, 5u);
  EXPECT_EQ(back.replies, h.replies);
  EXPECT_EQ(back.ftsc_date, h.ftsc_date);
}

TEST(SquishFormatTest, StringFieldsAreCutAndZeroFilled) {
  MessageHeader h;
  h.from = std::string(40, 'x');
  h.to = "Short";
  MessageHeaderBytes b = EncodeMessageHeader(h);
  EXPECT_EQ(std::string(&b[4], &b[4] + 35), std::string(35, 'x'));
  EXPECT_EQ(b[39], 0);
  EXPECT_EQ(GetFixedString({&b[40], 36}), "Short");
  for (size_t i = 45; i < 76; ++i) EXPECT_EQ(b[i], 0) << i;

  // A field that other software filled to the last byte reads whole.
  for (size_t i = 4; i < 40; ++i) b[i] = 'y';
  EXPECT_EQ(DecodeMessageHeader(b).from, std::string(36, 'y'));
}

}  // namespace
}  // namespace quil::squish
