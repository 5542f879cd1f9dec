// Codecs of the JAM records, the JAM name CRC, JAM dates and the attribute
// mapping tables.
#include "indexed/jam_format.h"

#include <algorithm>

#include "runtime/coding.h"
#include "runtime/string_ops.h"

namespace quil::jam {

namespace {

constexpr uint32_t kCrcPolynomial = 0xEDB88320;

constexpr std::array<uint32_t, 256> MakeCrcTable() {
  std::array<uint32_t, 256> table{};
  for (uint32_t i = 0; i < 256; ++i) {
    uint32_t c = i;
    for (int k = 0; k < 8; ++k) c = (c & 1) ? (c >> 1) ^ kCrcPolynomial : c >> 1;
    table[i] = c;
  }
  return table;
}

constexpr std::array<uint32_t, 256> kCrcTable = MakeCrcTable();
static_assert(kCrcTable[1] == 0x77073096);

void ReadSignature(ByteReader& in, std::array<uint8_t, kSignatureSize>* signature) {
  auto bytes = in.Bytes(kSignatureSize);
  for (size_t i = 0; i < bytes.size(); ++i) (*signature)[i] = bytes[i];
}

}  // namespace

// ---------------------------------------------------------------------------
// Base header

BaseHeader BaseHeader::Fresh(uint32_t date_created) {
  BaseHeader h;
  h.signature = kSignature;
  h.date_created = date_created;
  h.mod_counter = 1;
  h.active_msgs = 0;
  h.password_crc = kNoPassword;
  h.base_msg_num = kFirstBaseMessageNumber;
  return h;
}

std::array<uint8_t, kBaseHeaderSize> BaseHeader::Encode() const {
  std::array<uint8_t, kBaseHeaderSize> bytes{};
  ByteWriter out(bytes);
  out.Bytes(signature);
  out.U32(date_created);
  out.U32(mod_counter);
  out.U32(active_msgs);
  out.U32(password_crc);
  out.U32(base_msg_num);
  out.Bytes(reserved);
  return bytes;
}

BaseHeader BaseHeader::Decode(std::span<const uint8_t> bytes) {
  BaseHeader h;
  ByteReader in(bytes);
  ReadSignature(in, &h.signature);
  h.date_created = in.U32();
  h.mod_counter = in.U32();
  h.active_msgs = in.U32();
  h.password_crc = in.U32();
  h.base_msg_num = in.U32();
  auto rest = in.Bytes(kBaseHeaderReservedSize);
  for (size_t i = 0; i < rest.size(); ++i) h.reserved[i] = rest[i];
  return h;
}

// ---------------------------------------------------------------------------
// Message header

MessageHeader MessageHeader::Fresh() {
  MessageHeader h;
  h.signature = kSignature;
  h.revision = kRevision;
  h.password_crc = kNoPassword;
  return h;
}

bool MessageHeader::IsValid() const { return signature == kSignature || revision == kRevision; }

std::array<uint8_t, kMessageHeaderSize> MessageHeader::Encode() const {
  std::array<uint8_t, kMessageHeaderSize> bytes{};
  ByteWriter out(bytes);
  out.Bytes(signature);
  out.U16(revision);
  out.U16(reserved_word);
  for (uint32_t v : {subfield_len, times_read, msgid_crc, reply_crc, reply_to, reply_first,
                     reply_next, date_written, date_received, date_processed, message_number,
                     attribute, attribute2, txt_offset, txt_len, password_crc, cost}) {
    out.U32(v);
  }
  return bytes;
}

MessageHeader MessageHeader::Decode(std::span<const uint8_t> bytes) {
  MessageHeader h;
  ByteReader in(bytes);
  ReadSignature(in, &h.signature);
  h.revision = in.U16();
  h.reserved_word = in.U16();
  for (uint32_t* v :
       {&h.subfield_len, &h.times_read, &h.msgid_crc, &h.reply_crc, &h.reply_to, &h.reply_first,
        &h.reply_next, &h.date_written, &h.date_received, &h.date_processed, &h.message_number,
        &h.attribute, &h.attribute2, &h.txt_offset, &h.txt_len, &h.password_crc, &h.cost}) {
    *v = in.U32();
  }
  return h;
}

// ---------------------------------------------------------------------------
// Subfield header and index entry

std::array<uint8_t, kSubfieldHeaderSize> SubfieldHeader::Encode() const {
  std::array<uint8_t, kSubfieldHeaderSize> bytes{};
  ByteWriter out(bytes);
  out.U16(lo_id);
  out.U16(hi_id);
  out.U32(length);
  return bytes;
}

SubfieldHeader SubfieldHeader::Decode(std::span<const uint8_t> bytes) {
  SubfieldHeader h;
  ByteReader in(bytes);
  h.lo_id = in.U16();
  h.hi_id = in.U16();
  h.length = in.U32();
  return h;
}

std::array<uint8_t, kIndexEntrySize> IndexEntry::Encode() const {
  std::array<uint8_t, kIndexEntrySize> bytes{};
  ByteWriter out(bytes);
  out.U32(name_crc);
  out.U32(static_cast<uint32_t>(header_offset));
  return bytes;
}

IndexEntry IndexEntry::Decode(std::span<const uint8_t> bytes) {
  IndexEntry e;
  ByteReader in(bytes);
  e.name_crc = in.U32();
  e.header_offset = static_cast<int32_t>(in.U32());
  return e;
}

size_t WholeSubfieldsLength(std::span<const uint8_t> area) {
  size_t at = 0;
  while (area.size() - at >= kSubfieldHeaderSize) {
    std::span<const uint8_t> rest = area.subspan(at);
    if (std::equal(kSignature.begin(), kSignature.end(), rest.begin())) break;
    uint32_t length = SubfieldHeader::Decode(rest).length;
    if (length > rest.size() - kSubfieldHeaderSize) break;
    at += kSubfieldHeaderSize + length;
  }
  return at;
}

// ---------------------------------------------------------------------------
// Name CRC and dates

uint32_t NameCrc(std::string_view name) {
  uint32_t crc = 0xFFFFFFFF;
  for (char c : name.substr(0, kMaxString)) {
    auto byte = static_cast<uint8_t>(c);
    if (byte >= 'A' && byte <= 'Z') byte = static_cast<uint8_t>(byte + 0x20);
    crc = (crc >> 8) ^ kCrcTable[(crc ^ byte) & 0xFF];
  }
  return crc;
}

uint32_t DateToJam(const DateTime& date) {
  int64_t seconds = DateToSeconds(date);
  // The field is unsigned: nothing before 1970 fits.
  if (seconds < 0) return 0;
  return static_cast<uint32_t>(seconds);
}

DateTime DateFromJam(uint32_t seconds) { return SecondsToDate(static_cast<int64_t>(seconds)); }

// ---------------------------------------------------------------------------
// Attribute mapping, in the order it is applied.

const std::array<AttributeMapping, 14> kAttributeMap = {{
    {kAttrFileAttached, kMsgFileAttach},
    {kAttrCrash, kMsgCrash},
    {kAttrFileRequest, kMsgFileRequest},
    {kAttrHold, kMsgHold},
    {kAttrKillSent, kMsgKillSent},
    {kAttrLocal, kMsgLocal},
    {kAttrOrphan, kMsgOrphan},
    {kAttrPrivate, kMsgPrivate},
    {kAttrIsReturnReceipt, kMsgConfirmRequest},
    {kAttrReturnReceiptRequest, kMsgReceiptRequest},
    {kAttrReceived, kMsgRead},
    {kAttrSent, kMsgSent},
    {kAttrInTransit, kMsgInTransit},
    {kAttrDeleted, kMsgDeleted},
}};

const std::array<FlagMapping, 6> kFlagsOnlyMap = {{
    {kFlagArchiveSent, kMsgArchiveSent},
    {kFlagDirect, kMsgDirect},
    {kFlagImmediate, kMsgImmediate},
    {kFlagKillFile, kMsgKillFile},
    {kFlagLock, kMsgLocked},
    {kFlagTruncFile, kMsgTruncFile},
}};

uint32_t AttributeToJam(uint32_t attributes, const std::array<bool, kAttributeFlagCount>& flags,
                        bool echomail) {
  uint32_t jam = 0;
  for (const AttributeMapping& row : kAttributeMap) {
    if (attributes & row.record_bit) jam |= row.jam_bit;
  }
  for (const FlagMapping& row : kFlagsOnlyMap) {
    if (flags[row.flag]) jam |= row.jam_bit;
  }
  jam |= echomail ? kMsgTypeEcho : kMsgTypeNet;
  return jam;
}

uint32_t AttributeFromJam(uint32_t jam_attribute) {
  uint32_t attributes = 0;
  for (const AttributeMapping& row : kAttributeMap) {
    if (jam_attribute & row.jam_bit) attributes |= row.record_bit;
  }
  return attributes;
}

std::string FlagsWordsFromJam(uint32_t jam_attribute) {
  std::string words;
  for (const FlagMapping& row : kFlagsOnlyMap) {
    if (!(jam_attribute & row.jam_bit)) continue;
    if (!words.empty()) words += ' ';
    words += kAttributeTable[row.flag].word;
  }
  return words;
}

}  // namespace quil::jam
