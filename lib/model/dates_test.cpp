#include "model/dates.h"

#include <gtest/gtest.h>

#include <string>

namespace quil {
namespace {

DateTime D(int y, int mo, int d, int h = 0, int mi = 0, int s = 0) {
  DateTime t;
  t.year = y;
  t.month = mo;
  t.day = d;
  t.hour = h;
  t.minute = mi;
  t.second = s;
  return t;
}

std::string Show(const DateTime& d) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%04d-%02d-%02d %02d:%02d:%02d", d.year, d.month, d.day, d.hour,
                d.minute, d.second);
  return buf;
}

struct ParseCase {
  const char* text;
  const char* expected_date;
  const char* expected_text;
};

TEST(NormaliseDateTest, ParsesEveryTextForm) {
  const ParseCase cases[] = {
      {"05 Mar 01  17:30:09", "2001-03-05 17:30:09", "05 Mar 01  17:30:09"},
      {"05 Mar 01 17:30:09", "2001-03-05 17:30:09", "05 Mar 01  17:30:09"},
      {"Mon 15 Mar 01 17:30", "2001-03-15 17:30:00", "15 Mar 01  17:30:00"},
      {"Mon  5 Mar 01 17:30", "2001-03-05 17:30:00", "05 Mar 01  17:30:00"},
      {"05-03-01 17:30:09", "2001-03-05 17:30:09", "05 Mar 01  17:30:09"},
      {"05 mar 01  17:30:09", "2001-03-05 17:30:09", "05 Mar 01  17:30:09"},
      {"05 MAR 01  17:30:09", "2001-03-05 17:30:09", "05 Mar 01  17:30:09"},
      {"31 Dec 79  23:59:59", "2079-12-31 23:59:59", "31 Dec 79  23:59:59"},
      {"01 Jan 80  00:00:00", "1980-01-01 00:00:00", "01 Jan 80  00:00:00"},
      // A four-digit year: the time follows the year, wherever it stands.
      {"05 Mar 2001 17:30:09", "2001-03-05 17:30:09", "05 Mar 01  17:30:09"},
      {"05 Mar 1999 17:30:09", "1999-03-05 17:30:09", "05 Mar 99  17:30:09"},
      // An unknown month name leaves the month 0; the rest stays as parsed.
      {"05 Foo 01  17:30:09", "2001-00-05 17:30:09", "05 ??? 01  17:30:09"},
  };
  for (const auto& c : cases) {
    DateText text(c.text);
    DateTime written;
    NormaliseDate(&text, &written);
    EXPECT_EQ(Show(written), c.expected_date) << c.text;
    EXPECT_EQ(text.str(), c.expected_text) << c.text;
  }
}

TEST(NormaliseDateTest, UnparsableTextGivesTheCurrentTime) {
  DateText text("garbage");
  DateTime written;
  NormaliseDate(&text, &written);
  EXPECT_TRUE(IsValidDate(written));
  EXPECT_GE(written.year, 2024);
  EXPECT_EQ(text.str(), FormatDate(written));
}

TEST(NormaliseDateTest, ADateWrittenWinsOverTheText) {
  DateText text("05 Mar 01  17:30:09");
  DateTime written = D(2010, 7, 4, 1, 2, 3);
  NormaliseDate(&text, &written);
  EXPECT_EQ(Show(written), "2010-07-04 01:02:03");
  EXPECT_EQ(text.str(), "04 Jul 10  01:02:03");

  DateText empty;
  DateTime none;
  NormaliseDate(&empty, &none);  // no text, no date: formatted, nothing invented
  EXPECT_EQ(none, DateTime());
  EXPECT_EQ(empty.str(), "00 ??? 00  00:00:00");
}

TEST(DatesTest, ValidityBounds) {
  EXPECT_TRUE(IsValidDate(D(2001, 3, 5, 0, 0, 0)));
  EXPECT_TRUE(IsValidDate(D(1901, 1, 1)));
  EXPECT_TRUE(IsValidDate(D(2099, 12, 31, 23, 59, 59)));
  EXPECT_TRUE(IsValidDate(D(2001, 2, 31)));  // not checked against the month
  EXPECT_FALSE(IsValidDate(D(1900, 1, 1)));
  EXPECT_FALSE(IsValidDate(D(2100, 1, 1)));
  EXPECT_FALSE(IsValidDate(D(2001, 13, 1)));
  EXPECT_FALSE(IsValidDate(D(2001, 1, 0)));
  EXPECT_FALSE(IsValidDate(D(2001, 1, 1, 24)));
  EXPECT_FALSE(IsValidDate(D(2001, 1, 1, 0, 60)));
  EXPECT_FALSE(IsValidDate(UnpackStamp(0)));
}

TEST(DatesTest, PackedStamps) {
  DateTime d = D(2001, 3, 5, 17, 30, 9);
  uint32_t stamp = PackStamp(d);
  EXPECT_EQ(stamp >> 16, (21u << 9) | (3u << 5) | 5u);
  EXPECT_EQ(stamp & 0xFFFF, (17u << 11) | (30u << 5) | 4u);
  EXPECT_EQ(Show(UnpackStamp(stamp)), "2001-03-05 17:30:08");  // odd seconds are lost
  EXPECT_EQ(Show(UnpackStamp(0)), "1980-00-00 00:00:00");
  EXPECT_EQ(SwapStamp(0x12345678u), 0x56781234u);
  EXPECT_EQ(SwapStamp(SwapStamp(stamp)), stamp);
  // Any date packs, its halves wrapping at 16 bits (a parsed year may be
  // anything).
  EXPECT_EQ(PackStamp(D(17971719 + 1980, 1, 1)) >> 16, ((17971719u * 512u + 32u + 1u) & 0xFFFF));
}

TEST(DatesTest, SecondsSince1970) {
  EXPECT_EQ(DateToSeconds(D(1970, 1, 1)), 0);
  EXPECT_EQ(DateToSeconds(D(2001, 1, 1)), 978307200);
  EXPECT_EQ(DateToSeconds(D(2038, 1, 19, 3, 14, 8)), 2147483648LL);  // no wrap
  EXPECT_EQ(DateToSeconds(D(2099, 12, 31, 23, 59, 59)), 4102444799LL);
  EXPECT_EQ(DateToSeconds(D(1901, 12, 13, 20, 45, 52)), -2147483648LL);
  EXPECT_EQ(Show(SecondsToDate(978307200)), "2001-01-01 00:00:00");
  EXPECT_EQ(Show(SecondsToDate(-1)), "1969-12-31 23:59:59");
}

TEST(DatesTest, SecondsRoundTripOverTheWholeValidRange) {
  // Every day from 1901 to 2099, at a time that moves through the day.
  int n = 0;
  for (int year = 1901; year <= 2099; ++year) {
    for (int month = 1; month <= 12; ++month) {
      static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
      int days = kDays[month - 1] + (month == 2 && year % 4 == 0 && year != 2100 ? 1 : 0);
      for (int day = 1; day <= days; ++day, ++n) {
        DateTime d = D(year, month, day, n % 24, (n * 7) % 60, (n * 13) % 60);
        int64_t s = DateToSeconds(d);
        ASSERT_EQ(SecondsToDate(s), d) << Show(d);
        ASSERT_EQ(DateToSeconds(D(year, month, day)) % 86400, 0);
      }
    }
  }
  // Consecutive days are 86400 seconds apart across month and year ends.
  EXPECT_EQ(DateToSeconds(D(2000, 3, 1)) - DateToSeconds(D(2000, 2, 29)), 86400);
  EXPECT_EQ(DateToSeconds(D(2000, 1, 1)) - DateToSeconds(D(1999, 12, 31)), 86400);
}

TEST(DatesTest, FormatWritesTwoDigitsEverywhere) {
  EXPECT_EQ(FormatDate(D(2001, 3, 5, 7, 8, 9)), "05 Mar 01  07:08:09");
  EXPECT_EQ(FormatDate(D(1999, 12, 31, 23, 59, 59)), "31 Dec 99  23:59:59");
  EXPECT_EQ(FormatDate(D(2000, 1, 1)), "01 Jan 00  00:00:00");
}

}  // namespace
}  // namespace quil
