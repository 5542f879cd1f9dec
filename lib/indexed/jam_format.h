// The JAM message base files: record layouts and their little-endian codecs,
// the JAM name CRC, the date fields and the attribute mapping.
//
// A JAM base P is four files: P.jhr (base header, then message headers each
// followed by its subfields), P.jdt (message texts, back to back), P.jdx
// (one 8-byte entry per message number) and P.jlr (lastread: per reader
// UserCRC, UserID, LastReadMsg, HighReadMsg, 4 bytes each).
// All integers are little-endian and unsigned unless said otherwise.
//
// Base header, offset 0 of the .jhr, 1024 bytes:
//    0    4  Signature      "JAM" and one zero byte
//    4    4  DateCreated    seconds since 1970-01-01 00:00:00, local time
//    8    4  ModCounter     raised by one on every write
//   12    4  ActiveMsgs     number of live (not deleted) messages
//   16    4  PasswordCRC    0xFFFFFFFF = no password
//   20    4  BaseMsgNum     1; message n is always index entry n here
//   24 1000  reserved       zero bytes, kept as found
//
// Message header, 76 bytes, followed directly by SubfieldLen bytes of
// subfields:
//    0    4  Signature      "JAM" and one zero byte
//    4    2  Revision       1
//    6    2  ReservedWord   0
//    8    4  SubfieldLen    total size of the subfields that follow
//   12    4  TimesRead
//   16    4  MSGIDcrc       JAM name CRC of the MSGID text
//   20    4  REPLYcrc       JAM name CRC of the REPLY text
//   24    4  ReplyTo        number of the message this one answers
//   28    4  Reply1st       number of the first reply
//   32    4  ReplyNext      number of the next reply to the same parent
//   36    4  DateWritten    seconds since 1970, local time
//   40    4  DateReceived   not used by this library
//   44    4  DateProcessed  seconds since 1970 (the date arrived)
//   48    4  MessageNumber  the number the message was written under
//   52    4  Attribute      MSG_* bits (see the mapping below)
//   56    4  Attribute2     not used by this library
//   60    4  TxtOffset      offset of the text in the .jdt (0 once deleted)
//   64    4  TxtLen         length of the text (0 once deleted)
//   68    4  PasswordCRC
//   72    4  Cost
// A header counts as valid when its Signature is right OR its Revision is 1.
//
// Subfield header, 8 bytes, followed by DatLen bytes of text (no
// terminator):
//    0    2  LoID
//    2    2  HiID           0 when written; the id is LoID + 65536 * HiID
//    4    4  DatLen
//
// Index entry, 8 bytes; entry n lies at (n - 1) * 8 of the .jdx:
//    0    4  name CRC       JAM name CRC of the receiver's name
//    4    4  header offset  offset of the message header in the .jhr, signed;
//                           both fields 0xFFFFFFFF for a deleted message
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "model/attributes.h"
#include "model/dates.h"

namespace quil::jam {

constexpr size_t kBaseHeaderSize = 1024;
constexpr size_t kBaseHeaderReservedSize = 1000;
constexpr size_t kMessageHeaderSize = 76;
constexpr size_t kSubfieldHeaderSize = 8;
constexpr size_t kIndexEntrySize = 8;
constexpr size_t kSignatureSize = 4;

static_assert(kSignatureSize + 5 * 4 + kBaseHeaderReservedSize == kBaseHeaderSize);
static_assert(kSignatureSize + 2 + 2 + 17 * 4 == kMessageHeaderSize);

constexpr std::array<uint8_t, kSignatureSize> kSignature = {'J', 'A', 'M', 0};
constexpr uint16_t kRevision = 1;
constexpr uint32_t kNoPassword = 0xFFFFFFFF;
constexpr uint32_t kEmptyNameCrc = 0xFFFFFFFF;
constexpr uint32_t kDeletedField = 0xFFFFFFFF;  // both fields of a deleted index entry
constexpr uint32_t kFirstBaseMessageNumber = 1;

// Subfield ids.
constexpr uint32_t kSubOriginAddress = 0;
constexpr uint32_t kSubDestinationAddress = 1;
constexpr uint32_t kSubSenderName = 2;
constexpr uint32_t kSubReceiverName = 3;
constexpr uint32_t kSubMsgid = 4;
constexpr uint32_t kSubReplyId = 5;
constexpr uint32_t kSubSubject = 6;
constexpr uint32_t kSubPid = 7;
constexpr uint32_t kSubTrace = 8;
constexpr uint32_t kSubEnclosedFile = 9;
constexpr uint32_t kSubEnclosedFileAlias = 10;
constexpr uint32_t kSubEnclosedFreq = 11;
constexpr uint32_t kSubEnclosedFileWildcard = 12;
constexpr uint32_t kSubEnclosedIndirectFile = 13;
constexpr uint32_t kSubEmbeddedData = 1000;
constexpr uint32_t kSubFtsKludge = 2000;
constexpr uint32_t kSubSeenBy = 2001;
constexpr uint32_t kSubPath = 2002;
constexpr uint32_t kSubFlags = 2003;
constexpr uint32_t kSubTzutc = 2004;  // TZUTCINFO: the sender's offset from UTC

// Longest subfield text this library takes in; longer ones are skipped.
constexpr uint32_t kMaxSubfieldData = 255;

// JAM Attribute bits.
constexpr uint32_t kMsgLocal = 0x00000001;
constexpr uint32_t kMsgInTransit = 0x00000002;
constexpr uint32_t kMsgPrivate = 0x00000004;
constexpr uint32_t kMsgRead = 0x00000008;
constexpr uint32_t kMsgSent = 0x00000010;
constexpr uint32_t kMsgKillSent = 0x00000020;
constexpr uint32_t kMsgArchiveSent = 0x00000040;
constexpr uint32_t kMsgHold = 0x00000080;
constexpr uint32_t kMsgCrash = 0x00000100;
constexpr uint32_t kMsgImmediate = 0x00000200;
constexpr uint32_t kMsgDirect = 0x00000400;
constexpr uint32_t kMsgGate = 0x00000800;
constexpr uint32_t kMsgFileRequest = 0x00001000;
constexpr uint32_t kMsgFileAttach = 0x00002000;
constexpr uint32_t kMsgTruncFile = 0x00004000;
constexpr uint32_t kMsgKillFile = 0x00008000;
constexpr uint32_t kMsgReceiptRequest = 0x00010000;
constexpr uint32_t kMsgConfirmRequest = 0x00020000;
constexpr uint32_t kMsgOrphan = 0x00040000;
constexpr uint32_t kMsgTypeEcho = 0x01000000;
constexpr uint32_t kMsgTypeNet = 0x02000000;
constexpr uint32_t kMsgLocked = 0x40000000;
constexpr uint32_t kMsgDeleted = 0x80000000;

struct BaseHeader {
  std::array<uint8_t, kSignatureSize> signature{};
  uint32_t date_created = 0;
  uint32_t mod_counter = 0;
  uint32_t active_msgs = 0;
  uint32_t password_crc = 0;
  uint32_t base_msg_num = 0;
  std::array<uint8_t, kBaseHeaderReservedSize> reserved{};

  // The header of a new base: signature, no password, BaseMsgNum 1,
  // ModCounter 1, no messages, created at `date_created`.
  static BaseHeader Fresh(uint32_t date_created);

  std::array<uint8_t, kBaseHeaderSize> Encode() const;
  // REQUIRES: bytes.size() >= kBaseHeaderSize.
  static BaseHeader Decode(std::span<const uint8_t> bytes);
};

struct MessageHeader {
  std::array<uint8_t, kSignatureSize> signature{};
  uint16_t revision = 0;
  uint16_t reserved_word = 0;
  uint32_t subfield_len = 0;
  uint32_t times_read = 0;
  uint32_t msgid_crc = 0;
  uint32_t reply_crc = 0;
  uint32_t reply_to = 0;
  uint32_t reply_first = 0;
  uint32_t reply_next = 0;
  uint32_t date_written = 0;
  uint32_t date_received = 0;
  uint32_t date_processed = 0;
  uint32_t message_number = 0;
  uint32_t attribute = 0;
  uint32_t attribute2 = 0;
  uint32_t txt_offset = 0;
  uint32_t txt_len = 0;
  uint32_t password_crc = 0;
  uint32_t cost = 0;

  // The start values: signature, revision 1, no password, all else 0.
  static MessageHeader Fresh();

  // The signature is right or the revision is 1 (either one suffices).
  bool IsValid() const;

  std::array<uint8_t, kMessageHeaderSize> Encode() const;
  // REQUIRES: bytes.size() >= kMessageHeaderSize.
  static MessageHeader Decode(std::span<const uint8_t> bytes);
};

struct SubfieldHeader {
  uint16_t lo_id = 0;
  uint16_t hi_id = 0;
  uint32_t length = 0;

  uint32_t id() const { return lo_id + 65536u * hi_id; }

  std::array<uint8_t, kSubfieldHeaderSize> Encode() const;
  // REQUIRES: bytes.size() >= kSubfieldHeaderSize.
  static SubfieldHeader Decode(std::span<const uint8_t> bytes);
};

struct IndexEntry {
  uint32_t name_crc = kDeletedField;
  int32_t header_offset = -1;

  bool deleted() const { return header_offset == -1 && name_crc == kDeletedField; }

  std::array<uint8_t, kIndexEntrySize> Encode() const;
  // REQUIRES: bytes.size() >= kIndexEntrySize.
  static IndexEntry Decode(std::span<const uint8_t> bytes);
};

// The length of the run of whole subfields at the start of a subfield
// area: it ends where fewer than a subfield header's bytes are left, where a
// subfield's data would run past the end of `area`, or where the signature
// of a message header stands in place of a subfield header (writers that
// count more than they store let the area run into the next header).
size_t WholeSubfieldsLength(std::span<const uint8_t> area);

// The JAM name CRC: CRC-32 (reflected polynomial 0xEDB88320, register
// started at 0xFFFFFFFF, no final inversion) over the first 255 characters
// of `name` with A-Z lower-cased (other bytes unchanged).  The empty name
// gives 0xFFFFFFFF.
uint32_t NameCrc(std::string_view name);

// A date as the JAM date fields hold it: seconds since 1970-01-01 00:00:00
// as an unsigned 32-bit number, good until 2106.  A date before 1970 can not
// be represented and becomes 0 (1970-01-01 00:00:00), which keeps such old
// messages in front of every later one.
uint32_t DateToJam(const DateTime& date);
DateTime DateFromJam(uint32_t seconds);

// One row of the mapping between a record attribute bit and a JAM bit.
struct AttributeMapping {
  uint32_t record_bit;
  uint32_t jam_bit;
};

// One row of the mapping between a FLAGS-only attribute flag and a JAM bit.
struct FlagMapping {
  int flag;  // record attribute flag number (18..27)
  uint32_t jam_bit;
};

extern const std::array<AttributeMapping, 14> kAttributeMap;
extern const std::array<FlagMapping, 6> kFlagsOnlyMap;

// The JAM Attribute for a record's attribute word and attribute flags, with
// MSG_TYPEECHO for echomail and MSG_TYPENET otherwise.
uint32_t AttributeToJam(uint32_t attributes, const std::array<bool, kAttributeFlagCount>& flags,
                        bool echomail);

// The record attribute bits a JAM Attribute maps to.
uint32_t AttributeFromJam(uint32_t jam_attribute);

// The FLAGS words ("Dir", "Imm", ...) of the FLAGS-only JAM bits that are
// set, in table order, separated by blanks; empty when none is set.
std::string FlagsWordsFromJam(uint32_t jam_attribute);

}  // namespace quil::jam
