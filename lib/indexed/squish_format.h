// The Squish message base on disk: record layouts, their codecs, and the
// Squish name hash.  Shared by the reader and the writer of squish_base.cpp.
//
// A base with path P is three files: P.sqd (data), P.sqi (index) and P.sql
// (lastread: one 32-bit unique id per reader, the last message read).  Every integer is little-endian and
// unsigned; file offsets are 32-bit and 0 means "no frame".
//
// Base header, offset 0 of the .sqd, 256 bytes:
//     0  2  len              256
//     2  2  rsvd1            0
//     4  4  num_msg          number of messages
//     8  4  high_msg         kept equal to num_msg
//    12  4  skip_msg         0
//    16  4  high_water       0 when created; unique id of the last append
//    20  4  uid              next unique id, one above the highest: 1 when
//                            created
//    24 80  base             base name, zero bytes here (kept as found)
//   104  4  begin_frame      first frame of the message chain
//   108  4  last_frame       last frame of the message chain, 0 when none
//   112  4  free_frame       first frame of the free chain, 0 when none
//   116  4  last_free_frame  last frame of the free chain, 0 when none
//   120  4  end_frame        offset where the next frame goes (end of data)
//   124  4  max_msg          0
//   128  2  keep_days        0
//   130  2  sz_sqhdr         28, the size of a frame header
//   132 124 rsvd2            zero bytes (kept as found)
//
// Frame, at an offset >= 256 of the .sqd: a 28-byte frame header, the
// 238-byte message header, clen bytes of control information, the text.
// Frame header:
//     0  4  id               0xAFAE4453 ("SD" 0xAE 0xAF)
//     4  4  next_frame       next frame of the same chain, 0 at its end
//     8  4  prev_frame       previous frame of the same chain, 0 at its start
//    12  4  frame_length     room after the frame header
//    16  4  msg_length       bytes used after the frame header:
//                            238 + clen + text length
//    20  4  clen             control information length, its zero included
//    24  2  frame_type       0 message, 1 free (deleted)
//    26  2  rsvd             0
//
// Message header (XMSG), 238 bytes; strings are zero-terminated in their
// fixed fields:
//     0  4  attr             attribute word; 0x00080000 = read,
//                            0x00020000 = umsgid holds the unique id
//     4 36  from
//    40 36  to
//    76 72  subj
//   148  8  orig             zone, net, node, point (2 bytes each)
//   156  8  dest             zone, net, node, point
//   164  4  date_written     MS-DOS stamp, date in the low half
//   168  4  date_arrived     the same
//   172  2  utc_ofs
//   174  4  replyto
//   178 36  replies[9]
//   214  4  umsgid           unique id, the same as in the index
//   218 20  __ftsc_date      FTS-0001 date text
//
// Control information: ^A (0x01) lines without separators, then one zero
// byte.  Text: lines ended by CR, then one zero byte.
//
// Index record, .sqi, 12 bytes; record n (n >= 1) at (n - 1) * 12:
//     0  4  ofs              frame of message n in the .sqd
//     4  4  umsgid           unique id
//     8  4  hash             Squish hash of the to name
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace quil::squish {

constexpr size_t kBaseHeaderSize = 256;
constexpr size_t kFrameHeaderSize = 28;
constexpr size_t kMessageHeaderSize = 238;
constexpr size_t kIndexRecordSize = 12;

constexpr uint32_t kFrameId = 0xAFAE4453;
constexpr uint16_t kFrameTypeMessage = 0;
constexpr uint16_t kFrameTypeFree = 1;
// The first frame of a base lies right after the base header.
constexpr uint32_t kFirstFrameOffset = kBaseHeaderSize;

// The attr bit that marks a message read.
constexpr uint32_t kAttrRead = 0x00080000;
// The attr bit that says the umsgid field holds the message's unique id.
constexpr uint32_t kAttrUniqueId = 0x00020000;
// Unique ids of a new base start here; 0 is no id.
constexpr uint32_t kFirstUniqueId = 1;

constexpr size_t kBaseNameSize = 80;
constexpr size_t kBaseReservedSize = 124;
constexpr size_t kNameSize = 36;
constexpr size_t kSubjectSize = 72;
constexpr size_t kDateTextSize = 20;
constexpr size_t kHeaderReplyCount = 9;

// Offsets of message header fields that are patched in place.
constexpr size_t kAttrOffset = 0;
constexpr size_t kReplyToOffset = 174;
constexpr size_t kRepliesOffset = 178;
constexpr size_t kUmsgidOffset = 214;

static_assert(2 + 2 + 4 * 5 + kBaseNameSize + 4 * 6 + 2 + 2 + kBaseReservedSize ==
              kBaseHeaderSize);
static_assert(4 * 6 + 2 + 2 == kFrameHeaderSize);
static_assert(4 + 2 * kNameSize + kSubjectSize == 148);
static_assert(148 + 2 * 8 + 4 + 4 + 2 == kReplyToOffset);
static_assert(kReplyToOffset + 4 == kRepliesOffset);
static_assert(kRepliesOffset + 4 * kHeaderReplyCount == kUmsgidOffset);
static_assert(kUmsgidOffset + 4 + kDateTextSize == kMessageHeaderSize);

struct BaseHeader {
  uint16_t len = 0;
  uint16_t rsvd1 = 0;
  uint32_t num_msg = 0;
  uint32_t high_msg = 0;
  uint32_t skip_msg = 0;
  uint32_t high_water = 0;
  uint32_t uid = 0;
  std::array<uint8_t, kBaseNameSize> base{};
  uint32_t begin_frame = 0;
  uint32_t last_frame = 0;
  uint32_t free_frame = 0;
  uint32_t last_free_frame = 0;
  uint32_t end_frame = 0;
  uint32_t max_msg = 0;
  uint16_t keep_days = 0;
  uint16_t sz_sqhdr = 0;
  std::array<uint8_t, kBaseReservedSize> rsvd2{};
};

struct FrameHeader {
  uint32_t id = 0;
  uint32_t next_frame = 0;
  uint32_t prev_frame = 0;
  uint32_t frame_length = 0;
  uint32_t msg_length = 0;
  uint32_t clen = 0;
  uint16_t frame_type = 0;
  uint16_t rsvd = 0;
};

struct NodeAddress {
  uint16_t zone = 0;
  uint16_t net = 0;
  uint16_t node = 0;
  uint16_t point = 0;
};

struct MessageHeader {
  uint32_t attr = 0;
  std::string from;
  std::string to;
  std::string subject;
  NodeAddress orig;
  NodeAddress dest;
  uint32_t date_written = 0;  // as stored: date in the low half
  uint32_t date_arrived = 0;
  uint16_t utc_ofs = 0;
  uint32_t reply_to = 0;
  std::array<uint32_t, kHeaderReplyCount> replies{};
  uint32_t umsgid = 0;
  std::string ftsc_date;
};

struct IndexRecord {
  uint32_t ofs = 0;
  uint32_t umsgid = 0;
  uint32_t hash = 0;
};

using BaseHeaderBytes = std::array<uint8_t, kBaseHeaderSize>;
using FrameHeaderBytes = std::array<uint8_t, kFrameHeaderSize>;
using MessageHeaderBytes = std::array<uint8_t, kMessageHeaderSize>;
using IndexRecordBytes = std::array<uint8_t, kIndexRecordSize>;

// Codecs.  Decoding takes exactly the record's size and can not fail;
// string fields are read up to their zero byte or the end of the field.
// Encoding writes every byte of the record; a string longer than its field
// minus one is cut, and the rest of the field is zero-filled.
BaseHeader DecodeBaseHeader(std::span<const uint8_t, kBaseHeaderSize> bytes);
BaseHeaderBytes EncodeBaseHeader(const BaseHeader& header);
FrameHeader DecodeFrameHeader(std::span<const uint8_t, kFrameHeaderSize> bytes);
FrameHeaderBytes EncodeFrameHeader(const FrameHeader& frame);
MessageHeader DecodeMessageHeader(std::span<const uint8_t, kMessageHeaderSize> bytes);
// The same into `header`, whose texts keep their storage (a reader decodes
// every message into one header).
void DecodeMessageHeader(std::span<const uint8_t, kMessageHeaderSize> bytes,
                         MessageHeader* header);
MessageHeaderBytes EncodeMessageHeader(const MessageHeader& header);
IndexRecord DecodeIndexRecord(std::span<const uint8_t, kIndexRecordSize> bytes);
IndexRecordBytes EncodeIndexRecord(const IndexRecord& record);

// The Squish hash of a name: each byte lower-cased in code page 866, then
// h = (h << 4) + c, and when the top four bits g of h are set,
// h |= (g >> 24) | g (both folds are OR).  The result is h & 0x7FFFFFFF.
uint32_t SquishHash(std::string_view name);

}  // namespace quil::squish
