#include "model/attributes.h"

#include "model/message_record.h"
#include "runtime/string_ops.h"

namespace quil {

const std::array<AttributeInfo, kAttributeFlagCount> kAttributeTable = {{
    {"Pvt", kAttrPrivate},
    {"Cra", kAttrCrash},
    {"Rcv", kAttrReceived},
    {"Snt", kAttrSent},
    {"Att", kAttrFileAttached},
    {"Trs", kAttrInTransit},
    {"Orp", kAttrOrphan},
    {"K/s", kAttrKillSent},
    {"Loc", kAttrLocal},
    {"Hld", kAttrHold},
    {"FRq", kAttrFileRequest},
    {"RRq", kAttrReturnReceiptRequest},
    {"RRc", kAttrIsReturnReceipt},
    {"ARq", kAttrAuditRequest},
    {"URq", kAttrFileUpdateRequest},
    {nullptr, kAttrExtra10000},
    {nullptr, kAttrExtra20000},
    {nullptr, kAttrDeleted},
    {"A/s", 0},
    {"Dir", 0},
    {"Zon", 0},
    {"Hub", 0},
    {"Imm", 0},
    {"Xma", 0},
    {"Kfs", 0},
    {"Tfs", 0},
    {"Lok", 0},
    {"Cfm", 0},
}};

namespace {

// Flags 0..14 have both a bit and a word; 15..17 only a bit.
constexpr int kLastWordAndBitFlag = 14;
constexpr int kLastBitFlag = 17;

}  // namespace

namespace {

// The FLAGS text as HasFlagsWord searches it: upper case, a blank behind.
std::string SearchableFlags(std::string_view flags_text) {
  std::string text;
  text.reserve(flags_text.size() + 1);
  for (char c : flags_text) text += UpCase(c);
  text += ' ';
  return text;
}

bool HasWord(const std::string& searchable, std::string_view word) {
  std::string needle;
  for (char c : word) needle += UpCase(c);
  needle += ' ';
  return searchable.find(needle) != std::string::npos;
}

}  // namespace

bool HasFlagsWord(std::string_view flags_text, std::string_view word) {
  return HasWord(SearchableFlags(flags_text), word);
}

namespace {

// Puts the canonical FLAGS text of `flags` into `text`: the words of the
// set flags 18..27 in table order, upper case, single blanks between them;
// its size.  The words are ASCII, so ASCII upper case is their upper case.
size_t PutCanonicalFlags(const std::array<bool, kAttributeFlagCount>& flags, char* text) {
  size_t size = 0;
  for (int f = kFirstFlagsOnlyFlag; f < kAttributeFlagCount; ++f) {
    if (!flags[f]) continue;
    if (size > 0) text[size++] = ' ';
    for (const char* c = kAttributeTable[f].word; *c != '\0'; ++c) text[size++] = AsciiUpCase(*c);
  }
  return size;
}

// Room for every flags-only word and the blanks between them.
constexpr size_t kCanonicalFlagsRoom = 4 * (kAttributeFlagCount - kFirstFlagsOnlyFlag);

}  // namespace

void MessageRecord::ConvertFlags(Direction direction) {
  if (direction == Direction::kWriting) {
    for (int f = 0; f <= kLastBitFlag; ++f) SetAttribute(kAttributeTable[f].bit, attribute_flags[f]);
  } else {
    // Without a FLAGS text no word is there (most messages have none).
    const std::string searchable = flags.empty() ? std::string() : SearchableFlags(flags);
    for (int f = 0; f <= kLastWordAndBitFlag && !flags.empty(); ++f) {
      if (HasWord(searchable, kAttributeTable[f].word)) SetAttribute(kAttributeTable[f].bit, true);
    }
    for (int f = kFirstFlagsOnlyFlag; f < kAttributeFlagCount; ++f) {
      attribute_flags[f] = !flags.empty() && HasWord(searchable, kAttributeTable[f].word);
    }
    for (int f = 0; f <= kLastBitFlag; ++f) attribute_flags[f] = HasAttribute(kAttributeTable[f].bit);
  }
  // Put together in place: the text is empty for most messages, and an
  // empty text that stays empty is not assigned again.
  char text[kCanonicalFlagsRoom];
  const size_t size = PutCanonicalFlags(attribute_flags, text);
  if (size > 0 || !flags.empty()) flags = std::string_view(text, size);
}

}  // namespace quil
