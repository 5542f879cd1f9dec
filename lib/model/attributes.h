// Message attributes: bits of the attribute word (the FTS-0001 header word
// widened to 32 bits), the 28 attribute flags of a record, and the words of
// the FLAGS control line that carry attributes the 16-bit word has no bit
// for.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

namespace quil {

constexpr uint32_t kAttrPrivate = 0x0001;
constexpr uint32_t kAttrCrash = 0x0002;
constexpr uint32_t kAttrReceived = 0x0004;
constexpr uint32_t kAttrSent = 0x0008;
constexpr uint32_t kAttrFileAttached = 0x0010;
constexpr uint32_t kAttrInTransit = 0x0020;
constexpr uint32_t kAttrOrphan = 0x0040;
constexpr uint32_t kAttrKillSent = 0x0080;
constexpr uint32_t kAttrLocal = 0x0100;
constexpr uint32_t kAttrHold = 0x0200;
constexpr uint32_t kAttrUnused0400 = 0x0400;  // no flag; kept as it is
constexpr uint32_t kAttrFileRequest = 0x0800;
constexpr uint32_t kAttrReturnReceiptRequest = 0x1000;
constexpr uint32_t kAttrIsReturnReceipt = 0x2000;
constexpr uint32_t kAttrAuditRequest = 0x4000;
constexpr uint32_t kAttrFileUpdateRequest = 0x8000;
constexpr uint32_t kAttrExtra10000 = 0x10000;
constexpr uint32_t kAttrExtra20000 = 0x20000;
constexpr uint32_t kAttrDeleted = 0x80000000;

constexpr int kAttributeFlagCount = 28;
// Flags 0..17 mirror one bit of the attribute word each.
constexpr int kFirstFlagsOnlyFlag = 18;

// Flag numbers of the FLAGS-only attributes.
constexpr int kFlagArchiveSent = 18;  // A/S
constexpr int kFlagDirect = 19;       // DIR
constexpr int kFlagZonegate = 20;     // ZON
constexpr int kFlagHub = 21;          // HUB
constexpr int kFlagImmediate = 22;    // IMM
constexpr int kFlagXmail = 23;        // XMA
constexpr int kFlagKillFile = 24;     // KFS
constexpr int kFlagTruncFile = 25;    // TFS
constexpr int kFlagLock = 26;         // LOK
constexpr int kFlagConfirm = 27;      // CFM

struct AttributeInfo {
  const char* word;  // FLAGS word as stored ("Pvt"), nullptr when there is none
  uint32_t bit;      // bit of the attribute word, 0 when there is none
};

// The attribute table, indexed by flag number 0..27.
extern const std::array<AttributeInfo, kAttributeFlagCount> kAttributeTable;

// The FLAGS-text word test: `word` is present when the upper-cased text
// with one blank appended contains the upper-cased word followed by one
// blank, anywhere (a substring test: "XDIR" contains "DIR").
bool HasFlagsWord(std::string_view flags_text, std::string_view word);

}  // namespace quil
