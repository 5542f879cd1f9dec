// Type 2+ mail packets: the 58-byte packet header, the fixed 32-byte part of
// a packed message, and their codecs.
//
// A packet is the packet header, then the packed messages one after the
// other, then two zero bytes.  An empty packet is therefore 60 bytes long.
// Integers are 16-bit little-endian.
//
// Packet header (58 bytes):
//   offset size field
//        0    2 origin node
//        2    2 destination node
//        4    2 year (four digits)
//        6    2 month, 0-11
//        8    2 day, 1-31
//       10    2 hour
//       12    2 minute
//       14    2 second
//       16    2 baud
//       18    2 packet type, 2
//       20    2 origin net
//       22    2 destination net
//       24    1 product code, low byte
//       25    1 revision, major
//       26    8 password, NUL-padded (no terminator when 8 long)
//       34    2 origin zone (the FTS-0001 position)
//       36    2 destination zone (the FTS-0001 position)
//       38    2 auxiliary net
//       40    2 capability word, byte-swapped copy
//       42    1 product code, high byte
//       43    1 revision, minor
//       44    2 capability word
//       46    2 origin zone
//       48    2 destination zone
//       50    2 origin point
//       52    2 destination point
//       54    4 product-specific data
//
// Packed message:
//   offset size field
//        0    2 message type, 2
//        2    2 origin node          -- the 32-byte fixed part starts here
//        4    2 destination node
//        6    2 origin net
//        8    2 destination net
//       10    2 attribute word
//       12    2 cost
//       14   20 date/time text, NUL-ended within the field
//       34    - to user name, NUL-ended, at most 36 bytes
//        .    - from user name, NUL-ended, at most 36 bytes
//        .    - subject, NUL-ended, at most 72 bytes
//        .    - text, NUL-ended ("AREA:" tag line first for echomail)
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "runtime/coding.h"

namespace quil {

constexpr size_t kPacketHeaderSize = 58;
constexpr size_t kPacketPasswordSize = 8;
constexpr size_t kPacketProductDataSize = 4;
static_assert(12 * 2 + 2 + kPacketPasswordSize + 4 * 2 + 2 + 5 * 2 + kPacketProductDataSize ==
              kPacketHeaderSize);

// The header and the word after it, read and written together.  In an empty
// packet the word is the terminator 0x0000, otherwise the type word of
// message 1.
constexpr size_t kPacketHeadSize = kPacketHeaderSize + 2;

constexpr uint16_t kPacketType = 2;
constexpr size_t kPacketTypeOffset = 18;
constexpr uint16_t kPackedMessageType = 2;

constexpr size_t kPackedDateSize = 20;
// The most a packed message's names and subject may take, their NUL
// included; tossers refuse a packet with a longer one.
constexpr size_t kPackedNameSize = 36;
constexpr size_t kPackedSubjectSize = 72;
// The fixed part of a packed message after its type word.
constexpr size_t kPackedHeaderSize = 32;
static_assert(6 * 2 + kPackedDateSize == kPackedHeaderSize);

struct PacketHeader {
  uint16_t orig_node = 0;
  uint16_t dest_node = 0;
  uint16_t year = 0;
  uint16_t month = 0;  // 0-11
  uint16_t day = 0;
  uint16_t hour = 0;
  uint16_t minute = 0;
  uint16_t second = 0;
  uint16_t baud = 0;
  uint16_t packet_type = 0;
  uint16_t orig_net = 0;
  uint16_t dest_net = 0;
  uint8_t product_low = 0;
  uint8_t revision_major = 0;
  std::array<uint8_t, kPacketPasswordSize> password{};
  uint16_t orig_zone_fts = 0;
  uint16_t dest_zone_fts = 0;
  uint16_t aux_net = 0;
  uint16_t capability_swapped = 0;
  uint8_t product_high = 0;
  uint8_t revision_minor = 0;
  uint16_t capability = 0;
  uint16_t orig_zone = 0;
  uint16_t dest_zone = 0;
  uint16_t orig_point = 0;
  uint16_t dest_point = 0;
  std::array<uint8_t, kPacketProductDataSize> product_data{};

  friend bool operator==(const PacketHeader&, const PacketHeader&) = default;
};

using PacketHeaderBytes = std::array<uint8_t, kPacketHeaderSize>;

inline PacketHeaderBytes EncodePacketHeader(const PacketHeader& h) {
  PacketHeaderBytes bytes{};
  ByteWriter w(bytes);
  w.U16(h.orig_node);
  w.U16(h.dest_node);
  w.U16(h.year);
  w.U16(h.month);
  w.U16(h.day);
  w.U16(h.hour);
  w.U16(h.minute);
  w.U16(h.second);
  w.U16(h.baud);
  w.U16(h.packet_type);
  w.U16(h.orig_net);
  w.U16(h.dest_net);
  w.U8(h.product_low);
  w.U8(h.revision_major);
  w.Bytes(h.password);
  w.U16(h.orig_zone_fts);
  w.U16(h.dest_zone_fts);
  w.U16(h.aux_net);
  w.U16(h.capability_swapped);
  w.U8(h.product_high);
  w.U8(h.revision_minor);
  w.U16(h.capability);
  w.U16(h.orig_zone);
  w.U16(h.dest_zone);
  w.U16(h.orig_point);
  w.U16(h.dest_point);
  w.Bytes(h.product_data);
  return bytes;
}

inline PacketHeader DecodePacketHeader(std::span<const uint8_t, kPacketHeaderSize> bytes) {
  ByteReader r(bytes);
  PacketHeader h;
  h.orig_node = r.U16();
  h.dest_node = r.U16();
  h.year = r.U16();
  h.month = r.U16();
  h.day = r.U16();
  h.hour = r.U16();
  h.minute = r.U16();
  h.second = r.U16();
  h.baud = r.U16();
  h.packet_type = r.U16();
  h.orig_net = r.U16();
  h.dest_net = r.U16();
  h.product_low = r.U8();
  h.revision_major = r.U8();
  auto password = r.Bytes(kPacketPasswordSize);
  std::copy(password.begin(), password.end(), h.password.begin());
  h.orig_zone_fts = r.U16();
  h.dest_zone_fts = r.U16();
  h.aux_net = r.U16();
  h.capability_swapped = r.U16();
  h.product_high = r.U8();
  h.revision_minor = r.U8();
  h.capability = r.U16();
  h.orig_zone = r.U16();
  h.dest_zone = r.U16();
  h.orig_point = r.U16();
  h.dest_point = r.U16();
  auto data = r.Bytes(kPacketProductDataSize);
  std::copy(data.begin(), data.end(), h.product_data.begin());
  return h;
}

// The fixed part of a packed message.
struct PackedHeader {
  uint16_t orig_node = 0;
  uint16_t dest_node = 0;
  uint16_t orig_net = 0;
  uint16_t dest_net = 0;
  uint16_t attributes = 0;
  uint16_t cost = 0;
  std::string date_text;  // at most 19 characters are stored
};

using PackedHeaderBytes = std::array<uint8_t, kPackedHeaderSize>;

inline PackedHeaderBytes EncodePackedHeader(const PackedHeader& h) {
  PackedHeaderBytes bytes{};
  ByteWriter w(bytes);
  w.U16(h.orig_node);
  w.U16(h.dest_node);
  w.U16(h.orig_net);
  w.U16(h.dest_net);
  w.U16(h.attributes);
  w.U16(h.cost);
  w.FixedString(h.date_text, kPackedDateSize);
  return bytes;
}

// The date text is taken up to its first NUL or the end of its field.
// Into `h`, whose date text keeps its storage (a reader of many messages
// decodes into one header).
inline void DecodePackedHeader(std::span<const uint8_t, kPackedHeaderSize> bytes,
                               PackedHeader* h) {
  ByteReader r(bytes);
  h->orig_node = r.U16();
  h->dest_node = r.U16();
  h->orig_net = r.U16();
  h->dest_net = r.U16();
  h->attributes = r.U16();
  h->cost = r.U16();
  h->date_text.assign(GetFixedView(r.Bytes(kPackedDateSize)));
}

inline PackedHeader DecodePackedHeader(std::span<const uint8_t, kPackedHeaderSize> bytes) {
  PackedHeader h;
  DecodePackedHeader(bytes, &h);
  return h;
}

// NULs behind a packed message's fixed header that end its to name, from
// name, subject and text.
constexpr size_t kClosingNuls = 4;

// Where a message lies in a packet file.
struct PacketSpan {
  int64_t start = 0;  // its type word
  int64_t end = 0;    // the NUL that ends its text, or the file size when it
                      // has none (cut short, or damaged to the end)
};

// Where a new message goes behind the last message of a packet, and how many
// zero bytes must come first to complete that message.
struct AppendPoint {
  int64_t position = 0;  // where the zero bytes, then the type word, go
  size_t fill = 0;       // zero bytes to write first
};

// The append point behind `last`, the last message of a packet of `size`
// bytes.  A message that ends with its NUL is followed by the new one right
// behind that NUL, over the terminator and whatever else follows.  One that
// runs to the end of the file is completed first: its fixed header with
// zeros and the NULs its strings and text lack (`nuls` is the number of NULs
// it has behind its fixed header, counted up to kClosingNuls), or, when it
// has them all (a damaged message whose text holds a NUL), one NUL to close
// it; nothing of it is overwritten.
inline AppendPoint FindAppendPoint(const PacketSpan& last, int64_t size, size_t nuls) {
  if (last.end < size) return {last.end + 1, 0};
  const int64_t fixed = last.start + 2;
  if (size - fixed < static_cast<int64_t>(kPackedHeaderSize)) {
    return {size, kPackedHeaderSize - static_cast<size_t>(size - fixed) + kClosingNuls};
  }
  return {size, nuls >= kClosingNuls ? 1 : kClosingNuls - nuls};
}

}  // namespace quil
