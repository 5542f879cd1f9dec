// Codecs of the Squish records and the Squish name hash.
#include "indexed/squish_format.h"

#include <algorithm>

#include "runtime/coding.h"
#include "runtime/string_ops.h"

namespace quil::squish {

BaseHeader DecodeBaseHeader(std::span<const uint8_t, kBaseHeaderSize> bytes) {
  ByteReader in(bytes);
  BaseHeader h;
  h.len = in.U16();
  h.rsvd1 = in.U16();
  h.num_msg = in.U32();
  h.high_msg = in.U32();
  h.skip_msg = in.U32();
  h.high_water = in.U32();
  h.uid = in.U32();
  auto base = in.Bytes(kBaseNameSize);
  std::copy(base.begin(), base.end(), h.base.begin());
  h.begin_frame = in.U32();
  h.last_frame = in.U32();
  h.free_frame = in.U32();
  h.last_free_frame = in.U32();
  h.end_frame = in.U32();
  h.max_msg = in.U32();
  h.keep_days = in.U16();
  h.sz_sqhdr = in.U16();
  auto rsvd2 = in.Bytes(kBaseReservedSize);
  std::copy(rsvd2.begin(), rsvd2.end(), h.rsvd2.begin());
  return h;
}

BaseHeaderBytes EncodeBaseHeader(const BaseHeader& h) {
  BaseHeaderBytes bytes{};
  ByteWriter out(bytes);
  out.U16(h.len);
  out.U16(h.rsvd1);
  out.U32(h.num_msg);
  out.U32(h.high_msg);
  out.U32(h.skip_msg);
  out.U32(h.high_water);
  out.U32(h.uid);
  out.Bytes(h.base);
  out.U32(h.begin_frame);
  out.U32(h.last_frame);
  out.U32(h.free_frame);
  out.U32(h.last_free_frame);
  out.U32(h.end_frame);
  out.U32(h.max_msg);
  out.U16(h.keep_days);
  out.U16(h.sz_sqhdr);
  out.Bytes(h.rsvd2);
  return bytes;
}

FrameHeader DecodeFrameHeader(std::span<const uint8_t, kFrameHeaderSize> bytes) {
  ByteReader in(bytes);
  FrameHeader f;
  f.id = in.U32();
  f.next_frame = in.U32();
  f.prev_frame = in.U32();
  f.frame_length = in.U32();
  f.msg_length = in.U32();
  f.clen = in.U32();
  f.frame_type = in.U16();
  f.rsvd = in.U16();
  return f;
}

FrameHeaderBytes EncodeFrameHeader(const FrameHeader& f) {
  FrameHeaderBytes bytes{};
  ByteWriter out(bytes);
  out.U32(f.id);
  out.U32(f.next_frame);
  out.U32(f.prev_frame);
  out.U32(f.frame_length);
  out.U32(f.msg_length);
  out.U32(f.clen);
  out.U16(f.frame_type);
  out.U16(f.rsvd);
  return bytes;
}

namespace {

NodeAddress GetAddress(ByteReader& in) {
  NodeAddress a;
  a.zone = in.U16();
  a.net = in.U16();
  a.node = in.U16();
  a.point = in.U16();
  return a;
}

void PutAddress(ByteWriter& out, const NodeAddress& a) {
  out.U16(a.zone);
  out.U16(a.net);
  out.U16(a.node);
  out.U16(a.point);
}

}  // namespace

MessageHeader DecodeMessageHeader(std::span<const uint8_t, kMessageHeaderSize> bytes) {
  MessageHeader h;
  DecodeMessageHeader(bytes, &h);
  return h;
}

void DecodeMessageHeader(std::span<const uint8_t, kMessageHeaderSize> bytes,
                         MessageHeader* header) {
  ByteReader in(bytes);
  MessageHeader& h = *header;
  h.attr = in.U32();
  h.from.assign(GetFixedView(in.Bytes(kNameSize)));
  h.to.assign(GetFixedView(in.Bytes(kNameSize)));
  h.subject.assign(GetFixedView(in.Bytes(kSubjectSize)));
  h.orig = GetAddress(in);
  h.dest = GetAddress(in);
  h.date_written = in.U32();
  h.date_arrived = in.U32();
  h.utc_ofs = in.U16();
  h.reply_to = in.U32();
  for (uint32_t& reply : h.replies) reply = in.U32();
  h.umsgid = in.U32();
  h.ftsc_date.assign(GetFixedView(in.Bytes(kDateTextSize)));
}

MessageHeaderBytes EncodeMessageHeader(const MessageHeader& h) {
  MessageHeaderBytes bytes{};
  ByteWriter out(bytes);
  out.U32(h.attr);
  out.FixedString(h.from, kNameSize);
  out.FixedString(h.to, kNameSize);
  out.FixedString(h.subject, kSubjectSize);
  PutAddress(out, h.orig);
  PutAddress(out, h.dest);
  out.U32(h.date_written);
  out.U32(h.date_arrived);
  out.U16(h.utc_ofs);
  out.U32(h.reply_to);
  for (uint32_t reply : h.replies) out.U32(reply);
  out.U32(h.umsgid);
  out.FixedString(h.ftsc_date, kDateTextSize);
  return bytes;
}

IndexRecord DecodeIndexRecord(std::span<const uint8_t, kIndexRecordSize> bytes) {
  ByteReader in(bytes);
  IndexRecord r;
  r.ofs = in.U32();
  r.umsgid = in.U32();
  r.hash = in.U32();
  return r;
}

IndexRecordBytes EncodeIndexRecord(const IndexRecord& r) {
  IndexRecordBytes bytes{};
  ByteWriter out(bytes);
  out.U32(r.ofs);
  out.U32(r.umsgid);
  out.U32(r.hash);
  return bytes;
}

uint32_t SquishHash(std::string_view name) {
  uint32_t h = 0;
  for (char c : name) {
    h = (h << 4) + static_cast<uint8_t>(LowCase(c));
    uint32_t g = h & 0xF0000000u;
    if (g != 0) h |= (g >> 24) | g;
  }
  return h & 0x7FFFFFFFu;
}

}  // namespace quil::squish
