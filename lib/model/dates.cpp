#include "model/dates.h"

#include "runtime/platform.h"

namespace quil {

const char* const kMonthNames[13] = {"",    "Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                     "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

namespace {

constexpr int64_t kSecondsPerDay = 86400;
constexpr int64_t kJulianDay1970 = 2440588;

const char* MonthName(int32_t month) {
  return month >= 1 && month <= 12 ? kMonthNames[month] : "???";
}

// Last two digits of the number, with a leading "0" when it has only one.
std::string TwoDigits(int64_t value) { return NumberToTextZeroPadded(2, value); }

// At least two digits: the whole number, with a leading "0" when it has
// only one.
std::string AtLeastTwoDigits(int64_t value) { return PadLeft(NumberToText(value), 2, '0'); }

// Julian Day Number of a Gregorian date.
int64_t JulianDay(int64_t year, int64_t month, int64_t day) {
  if (month < 3) {
    month += 12;
    year -= 1;
  }
  int64_t m = month - 3;
  int64_t c = year / 100;
  int64_t y = year % 100;
  return (153 * m + 2) / 5 + day + 1721119 + (146097 * c) / 4 + (1461 * y) / 4;
}

// The inverse of JulianDay.
void FromJulianDay(int64_t julian, DateTime* date) {
  int64_t j = julian - 1721119;
  int64_t y = (4 * j - 1) / 146097;
  j = 4 * j - 1 - 146097 * y;
  int64_t d = j / 4;
  j = (4 * d + 3) / 1461;
  d = 4 * d + 3 - 1461 * j;
  d = (d + 4) / 4;
  int64_t m = (5 * d - 3) / 153;
  d = 5 * d - 3 - 153 * m;
  d = (d + 5) / 5;
  y = 100 * y + j;
  if (m < 10) {
    m += 3;
  } else {
    m -= 9;
    y += 1;
  }
  date->year = static_cast<int32_t>(y);
  date->month = static_cast<int32_t>(m);
  date->day = static_cast<int32_t>(d);
}

int64_t FloorDiv(int64_t a, int64_t b) {
  int64_t q = a / b;
  return (a % b != 0 && (a < 0) != (b < 0)) ? q - 1 : q;
}

char CharAt(std::string_view text, size_t position) {
  return position >= 1 && position <= text.size() ? text[position - 1] : '\0';
}

// What follows word `n` (at blanks) of `text`.
std::string_view AfterWord(std::string_view text, int n) {
  size_t start = WordPosition(n, text, kBlanks);
  if (start == 0) return {};
  size_t end = start - 1;
  while (end < text.size() && !kBlanks.test(static_cast<unsigned char>(text[end]))) ++end;
  return text.substr(end);
}

// Parses the time part "hh:mm[:ss]" into the date.
void ParseTime(std::string_view time, bool with_seconds, DateTime* d) {
  static const CharSet kColon = MakeCharSet(":");
  static const CharSet kColonBlank = MakeCharSet(": ");
  d->hour = TextToNumber(ExtractWord(1, time, kColon));
  d->minute = TextToNumber(ExtractWord(2, time, kColon));
  if (with_seconds) d->second = TextToNumber(ExtractWord(3, time, kColonBlank));
}

// Day, month name and year at blanks from `text`, then the time.  The time
// normally stands at a fixed column (`time_column`, 0-based); after a
// four-digit year it simply follows the year.
void ParseDayMonthYear(std::string_view text, size_t time_column, bool with_seconds,
                       DateTime* d, std::string* month_name) {
  d->day = TextToNumber(ExtractWord(1, text, kBlanks));
  *month_name = ExtractWord(2, text, kBlanks);
  std::string year = ExtractWord(3, text, kBlanks);
  d->year = TextToNumber(year);
  std::string_view time =
      year.size() > 2 ? AfterWord(text, 3)
                      : (time_column < text.size() ? text.substr(time_column) : std::string_view());
  ParseTime(time, with_seconds, d);
}

}  // namespace

std::string FormatDate(const DateTime& date) {
  std::string text = TwoDigits(date.day) + " " + MonthName(date.month) + " " +
                     TwoDigits(date.year) + "  " + TwoDigits(date.hour) + ":" +
                     TwoDigits(date.minute) + ":" + TwoDigits(date.second);
  return Cut(text, 20);
}

bool IsValidDate(const DateTime& d) {
  return d.year > 1900 && d.year < 2100 && d.month >= 1 && d.month <= 12 && d.day >= 1 &&
         d.day <= 31 && d.hour >= 0 && d.hour <= 23 && d.minute >= 0 && d.minute <= 59 &&
         d.second >= 0 && d.second <= 59;
}

void SetNow(DateTime* date) {
  platform::LocalTime now = platform::Now();
  date->year = now.year;
  date->month = now.month;
  date->day = now.day;
  date->hour = now.hour;
  date->minute = now.minute;
  date->second = now.second;
}

uint32_t PackStamp(const DateTime& d) {
  // Unsigned arithmetic: the halves wrap at 16 bits for any date, as the
  // stamp does, where signed arithmetic could overflow.
  auto u = [](int32_t v) { return static_cast<uint32_t>(v); };
  auto date = static_cast<uint16_t>((u(d.year) - 1980u) * 512u + u(d.month) * 32u + u(d.day));
  auto time = static_cast<uint16_t>(u(d.hour) * 2048u + u(d.minute) * 32u + u(d.second / 2));
  return (static_cast<uint32_t>(date) << 16) | time;
}

DateTime UnpackStamp(uint32_t stamp) {
  uint32_t date = stamp >> 16;
  uint32_t time = stamp & 0xFFFF;
  DateTime d;
  d.year = static_cast<int32_t>((date >> 9) + 1980);
  d.month = static_cast<int32_t>((date >> 5) & 0x0F);
  d.day = static_cast<int32_t>(date & 0x1F);
  d.hour = static_cast<int32_t>(time >> 11);
  d.minute = static_cast<int32_t>((time >> 5) & 0x3F);
  d.second = static_cast<int32_t>(2 * (time & 0x1F));
  return d;
}

uint32_t SwapStamp(uint32_t value) { return (value << 16) | (value >> 16); }

int64_t DateToSeconds(const DateTime& d) {
  return (JulianDay(d.year, d.month, d.day) - kJulianDay1970) * kSecondsPerDay +
         static_cast<int64_t>(d.hour) * 3600 + static_cast<int64_t>(d.minute) * 60 + d.second;
}

DateTime SecondsToDate(int64_t seconds) {
  // Floor division, so that dates before 1970 come back as they went in.
  DateTime d;
  int64_t days = FloorDiv(seconds, kSecondsPerDay);
  int64_t rest = seconds - days * kSecondsPerDay;
  FromJulianDay(days + kJulianDay1970, &d);
  d.hour = static_cast<int32_t>(rest / 3600);
  d.minute = static_cast<int32_t>((rest % 3600) / 60);
  d.second = static_cast<int32_t>(rest % 60);
  return d;
}

void NormaliseDate(DateText* text, DateTime* written) {
  if (written->day != 0 || text->empty()) {
    *text = FormatDate(*written);
    return;
  }
  std::string_view t(text->str());
  DateTime d;
  std::string month_name;
  if (CharAt(t, 3) == ' ' && CharAt(t, 11) == ' ') {
    // "05 Mar 01  17:30:09"
    ParseDayMonthYear(t, 11, true, &d, &month_name);
  } else if (CharAt(t, 3) == ' ') {
    // "05 Mar 01 17:30:09"
    ParseDayMonthYear(t, 10, true, &d, &month_name);
  } else if (CharAt(t, 4) == ' ') {
    // "Mon 15 Mar 01 17:30": a weekday in front, no seconds.
    ParseDayMonthYear(t.substr(4), 10, false, &d, &month_name);
  } else if (CharAt(t, 3) == '-') {
    // "05-03-01 17:30:09"
    std::string s(t);
    for (char& c : s) {
      if (c == '-' || c == ':') c = ' ';
    }
    d.day = TextToNumber(ExtractWord(1, s, kBlanks));
    int32_t month = TextToNumber(ExtractWord(2, s, kBlanks));
    if (month >= 1 && month <= 12) month_name = kMonthNames[month];
    d.year = TextToNumber(ExtractWord(3, s, kBlanks));
    d.hour = TextToNumber(ExtractWord(4, s, kBlanks));
    d.minute = TextToNumber(ExtractWord(5, s, kBlanks));
    d.second = TextToNumber(ExtractWord(6, s, kBlanks));
  }

  if (d.year < 80) {
    d.year += 2000;
  } else if (d.year < 1900) {
    d.year += 1900;
  }
  for (int32_t m = 1; m <= 12 && !month_name.empty(); ++m) {
    if (UpperCase(month_name) == UpperCase(kMonthNames[m])) {
      d.month = m;
      break;
    }
  }
  if (d.year == 2000 && d.month == 0 && d.day == 0 && d.hour == 0 && d.minute == 0 &&
      d.second == 0) {
    SetNow(&d);  // nothing usable was parsed
  }
  *written = d;
  *text = Cut(AtLeastTwoDigits(d.day) + " " + MonthName(d.month) + " " +
                  TwoDigits(d.year % 100) + "  " + AtLeastTwoDigits(d.hour) + ":" +
                  AtLeastTwoDigits(d.minute) + ":" + AtLeastTwoDigits(d.second),
              20);
}

}  // namespace quil
