// Code page 866 case mapping, bounded string operations, words and number
// conversion.  Inputs may be longer than 255 characters (they are views);
// every string result is cut at 255.
#include "runtime/string_ops.h"

#include <algorithm>
#include <array>
#include <cstring>

namespace quil {

namespace {

using CaseTable = std::array<unsigned char, 256>;

// Capital of every byte: Latin a-z, Cyrillic a-p (A0-AF -> 80-8F), Cyrillic
// r-ya (E0-EF -> 90-9F) and yo (F1 -> F0); the pseudo-graphics in between
// and every other byte map to themselves.
constexpr CaseTable MakeUpTable() {
  CaseTable table{};
  for (int c = 0; c < 256; ++c) table[c] = static_cast<unsigned char>(c);
  for (int c = 0x61; c <= 0x7A; ++c) table[c] = static_cast<unsigned char>(c - 0x20);
  for (int c = 0xA0; c <= 0xAF; ++c) table[c] = static_cast<unsigned char>(c - 0x20);
  for (int c = 0xE0; c <= 0xEF; ++c) table[c] = static_cast<unsigned char>(c - 0x50);
  table[0xF1] = 0xF0;
  return table;
}

// The exact inverse of the capital mapping on the letters it moves.
constexpr CaseTable MakeLowTable() {
  CaseTable table{};
  for (int c = 0; c < 256; ++c) table[c] = static_cast<unsigned char>(c);
  for (int c = 0x41; c <= 0x5A; ++c) table[c] = static_cast<unsigned char>(c + 0x20);
  for (int c = 0x80; c <= 0x8F; ++c) table[c] = static_cast<unsigned char>(c + 0x20);
  for (int c = 0x90; c <= 0x9F; ++c) table[c] = static_cast<unsigned char>(c + 0x50);
  table[0xF0] = 0xF1;
  return table;
}

constexpr CaseTable kUpTable = MakeUpTable();
constexpr CaseTable kLowTable = MakeLowTable();

// Every byte is a valid index of the set, so the unchecked lookup is safe
// (and test() would check the range again for every character).
bool InSet(const CharSet& set, char c) { return set[static_cast<unsigned char>(c)]; }

// Start index of word n (1-based) in `text`, or npos when there are fewer
// words.
size_t WordStart(int n, std::string_view text, const CharSet& delimiters) {
  if (n < 1) return std::string_view::npos;
  size_t i = 0;
  for (int word = 1;; ++word) {
    while (i < text.size() && InSet(delimiters, text[i])) ++i;
    if (i == text.size()) return std::string_view::npos;
    if (word == n) return i;
    while (i < text.size() && !InSet(delimiters, text[i])) ++i;
  }
}

}  // namespace

const CharSet kBlanks = MakeCharSet(" \t");
const CharSet kAddressDelimiters = MakeCharSet(":/.@");

char UpCase(char c) { return static_cast<char>(kUpTable[static_cast<unsigned char>(c)]); }

char LowCase(char c) { return static_cast<char>(kLowTable[static_cast<unsigned char>(c)]); }

std::string UpperCase(std::string_view text) {
  std::string result = Cut(text);
  for (char& c : result) c = UpCase(c);
  return result;
}

std::string LowerCase(std::string_view text) {
  std::string result = Cut(text);
  for (char& c : result) c = LowCase(c);
  return result;
}

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
  return prefix.size() <= text.size() &&
         SameBytes(false, prefix.size(), text.data(), prefix.data());
}

CharSet MakeCharSet(std::string_view members) {
  CharSet set;
  for (char c : members) set.set(static_cast<unsigned char>(c));
  return set;
}

std::string TrimLeft(std::string_view text, const CharSet& set) {
  size_t begin = 0;
  while (begin < text.size() && InSet(set, text[begin])) ++begin;
  return Cut(text.substr(begin));
}

std::string TrimRight(std::string_view text, const CharSet& set) {
  size_t end = text.size();
  while (end > 0 && InSet(set, text[end - 1])) --end;
  return Cut(text.substr(0, end));
}

std::string_view TrimView(std::string_view text, const CharSet& set) {
  size_t begin = 0;
  while (begin < text.size() && InSet(set, text[begin])) ++begin;
  size_t end = text.size();
  while (end > begin && InSet(set, text[end - 1])) --end;
  return text.substr(begin, end - begin);
}

std::string Trim(std::string_view text, const CharSet& set) { return Cut(TrimView(text, set)); }

size_t WordPosition(int n, std::string_view text, const CharSet& delimiters) {
  size_t start = WordStart(n, text, delimiters);
  return start == std::string_view::npos ? 0 : start + 1;
}

std::string_view WordView(int n, std::string_view text, const CharSet& delimiters) {
  size_t start = WordStart(n, text, delimiters);
  if (start == std::string_view::npos) return {};
  size_t end = start;
  while (end < text.size() && !InSet(delimiters, text[end])) ++end;
  return text.substr(start, end - start);
}

std::string_view WordView(int n, std::string_view text, char delimiter) {
  if (n < 1) return {};
  size_t i = 0;
  for (int word = 1;; ++word) {
    while (i < text.size() && text[i] == delimiter) ++i;
    if (i == text.size()) return {};
    const size_t start = i;
    while (i < text.size() && text[i] != delimiter) ++i;
    if (word == n) return text.substr(start, i - start);
  }
}

std::string ExtractWord(int n, std::string_view text, const CharSet& delimiters) {
  return Cut(WordView(n, text, delimiters));
}

std::string PadLeft(std::string_view text, size_t width, char fill) {
  if (text.size() >= width || text.size() >= kMaxString) return Cut(text);
  width = std::min(width, kMaxString);
  std::string result(width - text.size(), fill);
  result.append(text);
  return result;
}

void AppendWithout(std::string& out, std::string_view value, char a, char b) {
  // The next `a` and the next `b`, each looked for again only once passed:
  // the runs between them are appended whole.
  size_t next_a = value.find(a);
  size_t next_b = value.find(b);
  size_t from = 0;
  while (true) {
    const size_t end = std::min(next_a, next_b);
    if (end == std::string_view::npos) {
      out.append(value.substr(from));
      return;
    }
    out.append(value.substr(from, end - from));
    from = end + 1;
    if (next_a == end) next_a = value.find(a, from);
    if (next_b == end) next_b = value.find(b, from);
  }
}

void AppendNumber(std::string& out, int64_t value) {
  // The magnitude as unsigned, so the most negative value does not overflow.
  uint64_t magnitude = value < 0 ? 0 - static_cast<uint64_t>(value) : static_cast<uint64_t>(value);
  char digits[24];
  size_t n = sizeof(digits);
  do {
    digits[--n] = static_cast<char>('0' + magnitude % 10);
    magnitude /= 10;
  } while (magnitude != 0);
  if (value < 0) digits[--n] = '-';
  out.append(digits + n, sizeof(digits) - n);
}

std::string NumberToText(int64_t value) {
  std::string text;
  AppendNumber(text, value);
  return text;
}

std::string NumberToTextZeroPadded(int width, int64_t value) {
  size_t w = width < 0 ? 0 : std::min(static_cast<size_t>(width), kMaxString);
  std::string text = NumberToText(value);
  if (text.size() > w) text.erase(0, text.size() - w);
  return PadLeft(text, w, '0');
}

int32_t TextToNumber(std::string_view text) {
  constexpr int64_t kLimit = 0x7FFFFFFF;  // largest magnitude that fits in 31 bits
  size_t i = 0;
  while (i < text.size() && text[i] == ' ') ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
    negative = text[i] == '-';
    ++i;
  }
  int base = 10;
  if (i < text.size() && text[i] == '$') {
    base = 16;
    ++i;
  }
  if (i == text.size()) return 0;  // no digits at all
  int64_t value = 0;
  for (; i < text.size(); ++i) {
    char c = text[i];
    int digit;
    if (c >= '0' && c <= '9') {
      digit = c - '0';
    } else if (base == 16 && c >= 'a' && c <= 'f') {
      digit = c - 'a' + 10;
    } else if (base == 16 && c >= 'A' && c <= 'F') {
      digit = c - 'A' + 10;
    } else {
      return 0;
    }
    value = value * base + digit;
    if (value > kLimit) return 0;
  }
  return static_cast<int32_t>(negative ? -value : value);
}

std::string HexWord(uint16_t value) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string result(4, '0');
  for (int i = 3; i >= 0; --i, value >>= 4) result[i] = kDigits[value & 0xF];
  return result;
}

std::string HexLong(uint32_t value) {
  return HexWord(static_cast<uint16_t>(value >> 16)) + HexWord(static_cast<uint16_t>(value));
}

bool SameBytes(bool case_sensitive, size_t length, const void* a, const void* b) {
  if (length == 0) return true;
  if (case_sensitive) return std::memcmp(a, b, length) == 0;
  const auto* x = static_cast<const unsigned char*>(a);
  const auto* y = static_cast<const unsigned char*>(b);
  for (size_t i = 0; i < length; ++i) {
    if (x[i] != y[i] && kUpTable[x[i]] != kUpTable[y[i]]) return false;
  }
  return true;
}

std::string InsertText(std::string_view text, std::string_view target, int position) {
  size_t at = position < 1 ? 0 : static_cast<size_t>(position - 1);
  at = std::min(at, target.size());
  std::string result(target.substr(0, at));
  result.append(text.substr(0, kMaxString - std::min(result.size(), kMaxString)));
  if (result.size() < kMaxString) result.append(target.substr(at, kMaxString - result.size()));
  return Cut(result);
}

std::string DeleteText(std::string_view text, int position, int count) {
  if (position < 1 || count < 1 || static_cast<size_t>(position) > text.size()) return Cut(text);
  std::string result(text.substr(0, position - 1));
  size_t after = static_cast<size_t>(position - 1) + static_cast<size_t>(count);
  if (after < text.size()) result.append(text.substr(after));
  return Cut(result);
}

std::string Reverse(std::string_view text) {
  std::string result(text.rbegin(), text.rend());
  return Cut(result);
}

std::string DropTrailingSeparator(std::string_view text) {
  if (!text.empty() && (text.back() == '\\' || text.back() == '/')) text.remove_suffix(1);
  return Cut(text);
}

}  // namespace quil
