// Text helpers shared by the whole library: code page 866 case mapping,
// string operations that never produce more than 255 characters, words,
// and number conversion.
//
// Message texts are byte strings (often code page 866, sometimes other
// 8-bit code pages); nothing here assumes UTF-8.  Every operation that
// returns a string cuts its result at 255 characters.
#pragma once

#include <bitset>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace quil {

// Longest string any text field or string operation holds.
constexpr size_t kMaxString = 255;

// The first `max` characters of `text`.
inline std::string Cut(std::string_view text, size_t max = kMaxString) {
  return std::string(text.substr(0, max));
}

// A text of at most `Max` characters: a longer value is cut when it is
// stored.  clear() gives its storage back; assigning the empty text keeps
// it for the next value.
template <size_t Max>
class BoundedString {
 public:
  static constexpr size_t kMax = Max;

  BoundedString() = default;
  BoundedString(std::string_view text) : text_(text.substr(0, Max)) {}  // NOLINT
  BoundedString(const std::string& text) : BoundedString(std::string_view(text)) {}  // NOLINT
  BoundedString(const char* text) : BoundedString(std::string_view(text)) {}  // NOLINT

  BoundedString& operator=(std::string_view text) {
    text_.assign(text.substr(0, Max));
    return *this;
  }
  BoundedString& operator=(const std::string& text) { return *this = std::string_view(text); }
  BoundedString& operator=(const char* text) { return *this = std::string_view(text); }

  // Empties the text and releases its storage.
  void clear() { std::string().swap(text_); }
  // Empties the text and keeps its storage for the next one.
  void Empty() { text_.clear(); }

  const std::string& str() const { return text_; }
  operator std::string_view() const { return text_; }  // NOLINT
  const char* c_str() const { return text_.c_str(); }
  size_t size() const { return text_.size(); }
  bool empty() const { return text_.empty(); }
  char operator[](size_t i) const { return text_[i]; }

  friend bool operator==(const BoundedString& a, const BoundedString& b) {
    return a.text_ == b.text_;
  }
  friend bool operator==(const BoundedString& a, std::string_view b) { return a.text_ == b; }

 private:
  std::string text_;
};

using ShortString = BoundedString<kMaxString>;

// Code page 866 case mapping: Latin a-z and Cyrillic (A0-AF, E0-EF, F1) map
// to their capitals; every other byte stays.  LowCase is the exact inverse.
char UpCase(char c);
char LowCase(char c);
// The capital of an ASCII letter; every other byte stays.  Where one side
// of a comparison is ASCII, this decides as UpCase does, without a table.
constexpr char AsciiUpCase(char c) {
  return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}
std::string UpperCase(std::string_view text);
std::string LowerCase(std::string_view text);

// True when `text` starts with `prefix`, comparing both upper-cased.
bool StartsWithNoCase(std::string_view text, std::string_view prefix);

// A set of 8-bit characters.
using CharSet = std::bitset<256>;
CharSet MakeCharSet(std::string_view members);

// Delimiter sets used across the library.
extern const CharSet kBlanks;             // blank and tab
extern const CharSet kAddressDelimiters;  // ":", "/", "." and "@"

std::string TrimLeft(std::string_view text, const CharSet& set);
std::string TrimRight(std::string_view text, const CharSet& set);
std::string Trim(std::string_view text, const CharSet& set);

// Words are maximal runs of characters not in `delimiters`; runs of
// delimiters count as one and leading delimiters are skipped.
// WordPosition: the 1-based position of the first character of word n, or 0
// when there are fewer than n words.  ExtractWord: word n, empty when there
// is none.
size_t WordPosition(int n, std::string_view text, const CharSet& delimiters);
std::string ExtractWord(int n, std::string_view text, const CharSet& delimiters);

// ExtractWord and Trim without a copy: views into `text`, not cut at 255
// characters.
std::string_view WordView(int n, std::string_view text, const CharSet& delimiters);
// WordView with one delimiter, without a set to look each character up in.
std::string_view WordView(int n, std::string_view text, char delimiter);
std::string_view TrimView(std::string_view text, const CharSet& set);

// Appends `value` to `out` without the bytes `a` and `b` it holds.
void AppendWithout(std::string& out, std::string_view value, char a, char b);

// Appends the decimal text of `value` (a minus sign when negative).
void AppendNumber(std::string& out, int64_t value);

// `text` preceded by enough `fill` characters to be `width` long; returned
// unchanged when already that long (or 255 long).
std::string PadLeft(std::string_view text, size_t width, char fill);

// Decimal text, with a minus sign when negative.
std::string NumberToText(int64_t value);

// The decimal text cut to its last `width` characters when longer, then
// padded on the left with "0" to `width` (width 2: 5 -> "05", 1999 -> "99").
std::string NumberToTextZeroPadded(int width, int64_t value);

// The number in `text`: leading blanks are skipped, an optional "+" or "-"
// follows, then decimal digits or "$" and hexadecimal digits.  Anything
// else, an empty text, or a value whose magnitude does not fit in 31 bits
// gives 0.  A 16-bit field takes the low 16 bits (so "-1" gives 65535).
int32_t TextToNumber(std::string_view text);

// Exactly 4 or 8 lower-case hexadecimal digits.
std::string HexWord(uint16_t value);
std::string HexLong(uint32_t value);

// True when the first `length` bytes of `a` and `b` are equal; without
// case sensitivity, bytes are compared again after UpCase when they differ.
bool SameBytes(bool case_sensitive, size_t length, const void* a, const void* b);

// Inserts `text` into `target` before the 1-based `position` (a position
// past the end appends).  When the result would pass 255 characters, the end
// of `target` is dropped so that all of `text` fits.
std::string InsertText(std::string_view text, std::string_view target, int position);

// Removes `count` characters from the 1-based `position` on; a count past
// the end removes up to the end; a position or count below 1 does nothing.
std::string DeleteText(std::string_view text, int position, int count);

std::string Reverse(std::string_view text);

// `text` without one trailing "\" or "/".
std::string DropTrailingSeparator(std::string_view text);

}  // namespace quil
