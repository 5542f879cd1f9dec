// The FTS-0001 stored-message header of a *.msg file, and its codec.
//
// A message file is a 190-byte header followed directly by the message text,
// which runs to the end of the file.  Integers are 16- or 32-bit little-
// endian, unsigned.  String fields are fixed-size arrays holding a NUL-ended
// string; the bytes after the terminator are zero.
//
//   offset size field
//        0   36 from user name
//       36   36 to user name
//       72   72 subject
//      144   20 date/time text ("05 Mar 01  17:30:09")
//      164    2 times read
//      166    2 destination node
//      168    2 origin node
//      170    2 cost
//      172    2 origin net
//      174    2 destination net
//      176    4 date written, packed (we write 0 and ignore it on reading)
//      180    4 date arrived, packed (likewise)
//      184    2 reply to (we write 0 and ignore it on reading; in a
//                high-water mark, the number of the last message scanned)
//      186    2 attribute word
//      188    2 next reply
//
// Zones and points have no field; they travel in the text as the INTL, FMPT
// and TOPT control lines.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "runtime/coding.h"

namespace quil {

constexpr size_t kFidoNameSize = 36;
constexpr size_t kFidoSubjectSize = 72;
constexpr size_t kFidoDateSize = 20;
constexpr size_t kFidoHeaderSize = 190;
static_assert(2 * kFidoNameSize + kFidoSubjectSize + kFidoDateSize + 6 * 2 + 2 * 4 + 3 * 2 ==
              kFidoHeaderSize);

// Offsets of header fields that are read or patched in place.
constexpr size_t kFidoSubjectOffset = 2 * kFidoNameSize;
constexpr size_t kFidoReplyToOffset = 184;
constexpr size_t kFidoNextReplyOffset = 188;
static_assert(kFidoSubjectOffset + kFidoSubjectSize + kFidoDateSize + 6 * 2 + 2 * 4 ==
              kFidoReplyToOffset);
static_assert(kFidoReplyToOffset + 2 * 2 == kFidoNextReplyOffset);

// The subject of the high-water mark that tossers keep as 1.msg of an echo
// area, compared without regard to case and blanks ("HighWater mark").  Its
// reply-to field holds the number of the last message they scanned.
constexpr std::string_view kHighWaterMarkSubject = "HIGHWATERMARK";

// The header fields, decoded.
struct FidoHeader {
  std::string from_name;
  std::string to_name;
  std::string subject;
  std::string date_text;
  uint16_t times_read = 0;
  uint16_t dest_node = 0;
  uint16_t orig_node = 0;
  uint16_t cost = 0;
  uint16_t orig_net = 0;
  uint16_t dest_net = 0;
  uint32_t date_written = 0;
  uint32_t date_arrived = 0;
  uint16_t reply_to = 0;
  uint16_t attributes = 0;
  uint16_t next_reply = 0;
};

using FidoHeaderBytes = std::array<uint8_t, kFidoHeaderSize>;

// The 190 header bytes.  Each string is cut so that its field still ends
// with a NUL (35 characters for the names, 71 for the subject, 19 for the
// date); every unused byte is zero.
inline FidoHeaderBytes EncodeFidoHeader(const FidoHeader& h) {
  FidoHeaderBytes bytes{};
  ByteWriter w(bytes);
  w.FixedString(h.from_name, kFidoNameSize);
  w.FixedString(h.to_name, kFidoNameSize);
  w.FixedString(h.subject, kFidoSubjectSize);
  w.FixedString(h.date_text, kFidoDateSize);
  w.U16(h.times_read);
  w.U16(h.dest_node);
  w.U16(h.orig_node);
  w.U16(h.cost);
  w.U16(h.orig_net);
  w.U16(h.dest_net);
  w.U32(h.date_written);
  w.U32(h.date_arrived);
  w.U16(h.reply_to);
  w.U16(h.attributes);
  w.U16(h.next_reply);
  return bytes;
}

// The fields of 190 header bytes.  A string field is taken up to its first
// NUL or to the end of the field.
inline FidoHeader DecodeFidoHeader(std::span<const uint8_t, kFidoHeaderSize> bytes) {
  ByteReader r(bytes);
  FidoHeader h;
  h.from_name = r.FixedString(kFidoNameSize);
  h.to_name = r.FixedString(kFidoNameSize);
  h.subject = r.FixedString(kFidoSubjectSize);
  h.date_text = r.FixedString(kFidoDateSize);
  h.times_read = r.U16();
  h.dest_node = r.U16();
  h.orig_node = r.U16();
  h.cost = r.U16();
  h.orig_net = r.U16();
  h.dest_net = r.U16();
  h.date_written = r.U32();
  h.date_arrived = r.U32();
  h.reply_to = r.U16();
  h.attributes = r.U16();
  h.next_reply = r.U16();
  return h;
}

}  // namespace quil
