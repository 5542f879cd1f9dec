// Tests of the code page 866 case mapping, bounded string operations, words
// and number conversion.
#include "runtime/string_ops.h"

#include <gtest/gtest.h>

#include <climits>
#include <string>

namespace quil {
namespace {

// Capital and small letter of `c` by the code page 866 rules, written
// independently of the library's tables.
int ExpectedUp(int c) {
  if ((c >= 0x61 && c <= 0x7A) || (c >= 0xA0 && c <= 0xAF)) return c - 0x20;
  if (c >= 0xE0 && c <= 0xEF) return c - 0x50;
  return c == 0xF1 ? 0xF0 : c;
}
int ExpectedLow(int c) {
  if ((c >= 0x41 && c <= 0x5A) || (c >= 0x80 && c <= 0x8F)) return c + 0x20;
  if (c >= 0x90 && c <= 0x9F) return c + 0x50;
  return c == 0xF0 ? 0xF1 : c;
}

TEST(CaseMappingTest, EveryByteMapsByCodePage866AndRoundTrips) {
  int letters = 0;
  for (int c = 0; c < 256; ++c) {
    char ch = static_cast<char>(c);
    ASSERT_EQ(static_cast<unsigned char>(UpCase(ch)), ExpectedUp(c)) << "byte " << c;
    ASSERT_EQ(static_cast<unsigned char>(LowCase(ch)), ExpectedLow(c)) << "byte " << c;
    if (UpCase(ch) != ch) {
      ++letters;
      EXPECT_EQ(LowCase(UpCase(ch)), ch) << "byte " << c;
    }
    if (LowCase(ch) != ch) {
      EXPECT_EQ(UpCase(LowCase(ch)), ch) << "byte " << c;
    }
  }
  EXPECT_EQ(letters, 26 + 32 + 1);
  // The pseudo-graphics between the two Cyrillic blocks stay as they are.
  for (int c = 0xB0; c <= 0xDF; ++c) {
    EXPECT_EQ(UpCase(static_cast<char>(c)), static_cast<char>(c));
    EXPECT_EQ(LowCase(static_cast<char>(c)), static_cast<char>(c));
  }
}

TEST(CaseMappingTest, StringsAndPrefixes) {
  EXPECT_EQ(UpperCase("abc\xA0\xE5\xF1 Z9"), "ABC\x80\x95\xF0 Z9");
  EXPECT_EQ(LowerCase("ABC\x80\x95\xF0 z9"), "abc\xA0\xE5\xF1 z9");
  EXPECT_TRUE(StartsWithNoCase("\x01msgid: 2:5020/1 1234abcd", "\x01MSGID: "));
  EXPECT_TRUE(StartsWithNoCase("\xE0\xA0\xA7", "\x90\x80"));
  EXPECT_TRUE(StartsWithNoCase("anything", ""));
  EXPECT_FALSE(StartsWithNoCase("SEEN", "SEEN-BY: "));
  EXPECT_FALSE(StartsWithNoCase("PATH: 5020/1", "\x01PATH: "));
}

TEST(WordTest, ExtractsWordsAtBlanksAndTabs) {
  const std::string line = "  C:\\Mail  ECHO";
  EXPECT_EQ(ExtractWord(1, line, kBlanks), "C:\\Mail");
  EXPECT_EQ(ExtractWord(2, line, kBlanks), "ECHO");
  EXPECT_EQ(ExtractWord(3, line, kBlanks), "");
  EXPECT_EQ(WordPosition(1, line, kBlanks), 3u);
  EXPECT_EQ(WordPosition(2, line, kBlanks), 12u);
  EXPECT_EQ(WordPosition(3, line, kBlanks), 0u);
  EXPECT_EQ(ExtractWord(2, "a\t \tb\t", kBlanks), "b");
  EXPECT_EQ(ExtractWord(0, line, kBlanks), "");
  EXPECT_EQ(ExtractWord(-1, line, kBlanks), "");
  EXPECT_EQ(WordPosition(0, line, kBlanks), 0u);
  EXPECT_EQ(ExtractWord(1, "", kBlanks), "");
  EXPECT_EQ(ExtractWord(1, " \t ", kBlanks), "");
}

TEST(WordTest, OneDelimiterFindsWhatItsSetFinds) {
  const CharSet blank = MakeCharSet(" ");
  for (std::string_view text : {"", " ", "a", "  a  b c ", "a b", "ab  ", "\tx y\t", "   "}) {
    for (int n = -1; n <= 4; ++n) {
      EXPECT_EQ(WordView(n, text, ' '), WordView(n, text, blank)) << n << " [" << text << "]";
    }
  }
}

TEST(WordTest, SplitsAddressesAtTheirDelimiters) {
  const std::string address = "2:5020/1042.7@fidonet";
  EXPECT_EQ(ExtractWord(1, address, kAddressDelimiters), "2");
  EXPECT_EQ(ExtractWord(2, address, kAddressDelimiters), "5020");
  EXPECT_EQ(ExtractWord(3, address, kAddressDelimiters), "1042");
  EXPECT_EQ(ExtractWord(4, address, kAddressDelimiters), "7");
  EXPECT_EQ(ExtractWord(5, address, kAddressDelimiters), "fidonet");
  EXPECT_EQ(ExtractWord(6, address, kAddressDelimiters), "");
  EXPECT_EQ(ExtractWord(3, "::1//2", kAddressDelimiters), "");
  EXPECT_EQ(ExtractWord(2, "::1//2", kAddressDelimiters), "2");
}

TEST(TrimTest, RemovesMembersOfTheSetAtEachEnd) {
  EXPECT_EQ(TrimLeft(" \t a b \t", kBlanks), "a b \t");
  EXPECT_EQ(TrimRight(" \t a b \t", kBlanks), " \t a b");
  EXPECT_EQ(Trim(" \t a b \t", kBlanks), "a b");
  EXPECT_EQ(Trim(" \t \t", kBlanks), "");
  EXPECT_EQ(Trim("", kBlanks), "");
  EXPECT_EQ(Trim("xxaxx", MakeCharSet("x")), "a");
  EXPECT_EQ(Trim("\xFF\x80\xFF", MakeCharSet("\xFF")), "\x80");
}

TEST(NumberTest, TextToNumberTable) {
  struct Case {
    std::string text;
    int32_t value;
  };
  const Case cases[] = {
      {"0", 0}, {"12", 12}, {" 12", 12}, {"   5020", 5020}, {"+7", 7}, {"-1", -1},
      {"$1F", 31}, {"$1f", 31}, {"-$10", -16}, {"0007", 7},
      {"2147483647", 2147483647}, {"-2147483647", -2147483647}, {"$7FFFFFFF", 2147483647},
      {std::string(300, '0') + "42", 42},
      // Not numbers, or too large for 31 bits.
      {"", 0}, {" ", 0}, {"+", 0}, {"-", 0}, {"$", 0}, {"-$", 0}, {"12x", 0}, {"x12", 0},
      {"12 ", 0}, {"1 2", 0}, {"\t12", 0}, {"- 1", 0}, {"+-1", 0}, {"$-1", 0}, {"$G", 0},
      {"0x1F", 0}, {"1F", 0}, {"2147483648", 0}, {"-2147483648", 0}, {"$80000000", 0},
      {"$FFFFFFFF", 0}, {"99999999999", 0}, {std::string(300, '9'), 0},
      {"1" + std::string(299, '0'), 0},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(TextToNumber(c.text), c.value) << "text \"" << c.text << "\"";
  }
  // A 16-bit field keeps the low 16 bits.
  EXPECT_EQ(static_cast<uint16_t>(TextToNumber("-1")), 65535);
}

TEST(NumberTest, NumberToText) {
  EXPECT_EQ(NumberToText(0), "0");
  EXPECT_EQ(NumberToText(-1), "-1");
  EXPECT_EQ(NumberToText(INT64_MAX), "9223372036854775807");
  EXPECT_EQ(NumberToText(INT64_MIN), "-9223372036854775808");
}

TEST(NumberTest, ZeroPaddedKeepsTheLastDigits) {
  EXPECT_EQ(NumberToTextZeroPadded(2, 5), "05");
  EXPECT_EQ(NumberToTextZeroPadded(2, 1999), "99");
  EXPECT_EQ(NumberToTextZeroPadded(2, 2001), "01");
  EXPECT_EQ(NumberToTextZeroPadded(2, 0), "00");
  EXPECT_EQ(NumberToTextZeroPadded(2, 12), "12");
  EXPECT_EQ(NumberToTextZeroPadded(4, 7), "0007");
  EXPECT_EQ(NumberToTextZeroPadded(1, 10), "0");
  EXPECT_EQ(NumberToTextZeroPadded(0, 5), "");
  EXPECT_EQ(NumberToTextZeroPadded(-3, 5), "");
  EXPECT_EQ(NumberToTextZeroPadded(1000, 5).size(), kMaxString);
}

TEST(NumberTest, HexDigitsAreFixedWidthLowerCase) {
  EXPECT_EQ(HexWord(0), "0000");
  EXPECT_EQ(HexWord(0xABCD), "abcd");
  EXPECT_EQ(HexWord(0x00F0), "00f0");
  EXPECT_EQ(HexLong(0), "00000000");
  EXPECT_EQ(HexLong(0xDEADBEEF), "deadbeef");
  EXPECT_EQ(HexLong(0x0000012A), "0000012a");
}

TEST(PadLeftTest, PadsToWidthButNeverPast255) {
  EXPECT_EQ(PadLeft("7", 3, '0'), "007");
  EXPECT_EQ(PadLeft("abc", 3, ' '), "abc");
  EXPECT_EQ(PadLeft("abcd", 2, ' '), "abcd");
  EXPECT_EQ(PadLeft("", 2, '*'), "**");
  std::string padded = PadLeft("x", 1000, ' ');
  EXPECT_EQ(padded.size(), kMaxString);
  EXPECT_EQ(padded.back(), 'x');
}

TEST(SameBytesTest, ComparesWithOrWithoutCase) {
  EXPECT_TRUE(SameBytes(true, 2, "abc", "abd"));
  EXPECT_FALSE(SameBytes(true, 3, "abc", "abd"));
  EXPECT_FALSE(SameBytes(true, 3, "abc", "ABC"));
  EXPECT_TRUE(SameBytes(false, 3, "abc", "ABC"));
  EXPECT_TRUE(SameBytes(false, 3, "\xA0\xE0\xF1", "\x80\x90\xF0"));
  EXPECT_FALSE(SameBytes(false, 1, "\xB0", "\x90"));
  EXPECT_FALSE(SameBytes(false, 3, "abc", "ABD"));
  EXPECT_TRUE(SameBytes(false, 0, "a", "b"));
  EXPECT_TRUE(SameBytes(false, 4, std::string("a\0b\0", 4).data(), std::string("A\0B\0", 4).data()));
}

TEST(EditTest, InsertText) {
  EXPECT_EQ(InsertText("XY", "abc", 1), "XYabc");
  EXPECT_EQ(InsertText("XY", "abc", 2), "aXYbc");
  EXPECT_EQ(InsertText("XY", "abc", 4), "abcXY");
  EXPECT_EQ(InsertText("XY", "abc", 99), "abcXY");
  EXPECT_EQ(InsertText("XY", "abc", 0), "XYabc");
  EXPECT_EQ(InsertText("XY", "abc", -5), "XYabc");
  EXPECT_EQ(InsertText("", "abc", 2), "abc");

  // Too long: the end of the receiving string gives way to the insert.
  std::string target(250, 'a');
  target += "bcdef";
  std::string result = InsertText("0123456789", target, 11);
  EXPECT_EQ(result.size(), kMaxString);
  EXPECT_EQ(result.substr(0, 10), std::string(10, 'a'));
  EXPECT_EQ(result.substr(10, 10), "0123456789");
  EXPECT_EQ(result.back(), 'a');
  EXPECT_EQ(InsertText(std::string(300, 'x'), "abc", 2).size(), kMaxString);
}

TEST(EditTest, DeleteText) {
  EXPECT_EQ(DeleteText("abcdef", 2, 3), "aef");
  EXPECT_EQ(DeleteText("abcdef", 1, 1), "bcdef");
  EXPECT_EQ(DeleteText("abcdef", 4, 100), "abc");
  EXPECT_EQ(DeleteText("abcdef", 6, 1), "abcde");
  EXPECT_EQ(DeleteText("abcdef", 7, 1), "abcdef");
  EXPECT_EQ(DeleteText("abcdef", 0, 2), "abcdef");
  EXPECT_EQ(DeleteText("abcdef", 2, 0), "abcdef");
  EXPECT_EQ(DeleteText("abcdef", -1, 2), "abcdef");
  EXPECT_EQ(DeleteText("abcdef", 2, INT_MAX), "a");
  EXPECT_EQ(DeleteText("", 1, 1), "");
}

TEST(EditTest, AppendWithoutLeavesOutBothBytesWherever) {
  struct Row {
    std::string_view value;
    std::string_view kept;
  };
  const Row rows[] = {
      {"", ""},
      {"plain", "plain"},
      {"a\rb\nc", "abc"},
      {"\r\n\n\r", ""},
      {"\rstart", "start"},
      {"end\n", "end"},
      {"a\r\rb\n\nc\rd", "abcd"},
      {std::string_view("a\0b", 3), std::string_view("a\0b", 3)},  // other bytes stay
  };
  for (const Row& row : rows) {
    std::string out = "x";  // appended behind what is there
    AppendWithout(out, row.value, '\r', '\n');
    EXPECT_EQ(out, "x" + std::string(row.kept)) << row.value;
  }
  std::string many;
  for (int i = 0; i < 1000; ++i) many += "ab\r";
  std::string out;
  AppendWithout(out, many, '\r', '\0');
  EXPECT_EQ(out.size(), 2000u);
  EXPECT_EQ(out.find('\r'), std::string::npos);
}

TEST(EditTest, ReverseAndTrailingSeparator) {
  EXPECT_EQ(Reverse("abc"), "cba");
  EXPECT_EQ(Reverse(""), "");
  EXPECT_EQ(DropTrailingSeparator("C:\\Mail\\"), "C:\\Mail");
  EXPECT_EQ(DropTrailingSeparator("mail/"), "mail");
  EXPECT_EQ(DropTrailingSeparator("mail//"), "mail/");
  EXPECT_EQ(DropTrailingSeparator("mail"), "mail");
  EXPECT_EQ(DropTrailingSeparator(""), "");
}

TEST(BoundTest, NoOperationReturnsMoreThan255Characters) {
  const std::string long_text = std::string(150, 'a') + " " + std::string(150, 'b') + "\\";
  const std::string blanks(300, ' ');
  const std::string results[] = {
      UpperCase(long_text),
      LowerCase(long_text),
      TrimLeft(blanks + long_text, kBlanks),
      TrimRight(long_text + blanks, kBlanks),
      Trim(blanks + long_text + blanks, kBlanks),
      ExtractWord(1, std::string(400, 'w'), kBlanks),
      PadLeft(long_text, 400, ' '),
      InsertText(long_text, long_text, 100),
      DeleteText(long_text, 1, 1),
      Reverse(long_text),
      DropTrailingSeparator(long_text),
      NumberToTextZeroPadded(INT_MAX, 1),
  };
  for (const std::string& r : results) EXPECT_LE(r.size(), kMaxString);
  // Trimming happens before the cut, so the text behind long padding stays.
  EXPECT_EQ(TrimLeft(blanks + "word", kBlanks), "word");
  EXPECT_EQ(ExtractWord(2, blanks + "one" + blanks + "two", kBlanks), "two");
  EXPECT_EQ(Reverse(long_text).front(), '\\');
}

}  // namespace
}  // namespace quil
