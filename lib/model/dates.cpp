#include "model/dates.h"

#include <algorithm>
#include <string_view>

#include "runtime/platform.h"

namespace quil {

const char* const kMonthNames[13] = {"",    "Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                     "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

namespace {

constexpr int64_t kSecondsPerDay = 86400;
constexpr int64_t kJulianDay1970 = 2440588;

std::string_view MonthName(int32_t month) {
  return std::string_view(month >= 1 && month <= 12 ? kMonthNames[month] : "???", 3);
}

// A date text put together in place, without allocating: its pieces are a
// few dozen characters at most, and only the first 20 are kept.
class DateWriter {
 public:
  void Text(std::string_view text) {
    // The pieces are a few characters: a loop, not a call of memcpy.
    const size_t n = std::min(text.size(), sizeof text_ - size_);
    for (size_t i = 0; i < n; ++i) text_[size_ + i] = text[i];
    size_ += n;
  }
  void Char(char c) {
    if (size_ < sizeof text_) text_[size_++] = c;
  }
  // Last two digits of the number, with a leading "0" when it has only one.
  void TwoDigits(int64_t value) {
    if (value >= 0) {
      const auto last_two = static_cast<uint32_t>(value % 100);
      Char(static_cast<char>('0' + last_two / 10));
      Char(static_cast<char>('0' + last_two % 10));
      return;
    }
    std::string_view digits = Digits(value);
    if (digits.size() < 2) Text("0");
    Text(digits.substr(digits.size() > 2 ? digits.size() - 2 : 0));
  }
  // At least two digits: the whole number, with a leading "0" when it has
  // only one.
  void AtLeastTwoDigits(int64_t value) {
    std::string_view digits = Digits(value);
    if (digits.size() < 2) Text("0");
    Text(digits);
  }
  // The first 20 characters.
  std::string_view text() const { return std::string_view(text_, std::min<size_t>(size_, 20)); }

 private:
  // The decimal text of `value`, a minus sign in front when negative.
  std::string_view Digits(int64_t value) {
    uint64_t magnitude =
        value < 0 ? 0 - static_cast<uint64_t>(value) : static_cast<uint64_t>(value);
    size_t n = sizeof digits_;
    do {
      digits_[--n] = static_cast<char>('0' + magnitude % 10);
      magnitude /= 10;
    } while (magnitude != 0);
    if (value < 0) digits_[--n] = '-';
    return std::string_view(digits_ + n, sizeof digits_ - n);
  }

  char text_[64];
  size_t size_ = 0;
  char digits_[24];
};

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

// True for a text of exactly the FTS-0001 form "dd Mmm yy  hh:mm:ss": two
// digits, blank, three bytes that are no blank, blank, two digits, two
// blanks, and the time in digits and colons.
bool IsCanonicalText(std::string_view t) {
  static constexpr std::string_view kShape = "99 xxx 99  99:99:99";
  if (t.size() != kShape.size()) return false;
  for (size_t i = 0; i < kShape.size(); ++i) {
    const char c = t[i];
    switch (kShape[i]) {
      case '9':
        if (c < '0' || c > '9') return false;
        break;
      case 'x':
        if (kBlanks.test(static_cast<unsigned char>(c))) return false;
        break;
      default:
        if (c != kShape[i]) return false;
    }
  }
  return true;
}

bool IsMonthName(std::string_view name, int32_t month) {
  return name.size() == 3 && SameBytes(false, 3, name.data(), kMonthNames[month]);
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
  d->hour = TextToNumber(WordView(1, time, kColon));
  d->minute = TextToNumber(WordView(2, time, kColon));
  if (with_seconds) d->second = TextToNumber(WordView(3, time, kColonBlank));
}

// Day, month name and year at blanks from `text`, then the time.  The time
// normally stands at a fixed column (`time_column`, 0-based); after a
// four-digit year it simply follows the year.
void ParseDayMonthYear(std::string_view text, size_t time_column, bool with_seconds,
                       DateTime* d, std::string_view* month_name) {
  d->day = TextToNumber(WordView(1, text, kBlanks));
  *month_name = WordView(2, text, kBlanks);
  std::string_view year = WordView(3, text, kBlanks);
  d->year = TextToNumber(year);
  std::string_view time =
      year.size() > 2 ? AfterWord(text, 3)
                      : (time_column < text.size() ? text.substr(time_column) : std::string_view());
  ParseTime(time, with_seconds, d);
}

}  // namespace

namespace {

// The FTS-0001 text of the date into `text`.
void WriteDate(const DateTime& date, DateWriter& text) {
  text.TwoDigits(date.day);
  text.Char(' ');
  text.Text(MonthName(date.month));
  text.Char(' ');
  text.TwoDigits(date.year);
  text.Text("  ");
  text.TwoDigits(date.hour);
  text.Char(':');
  text.TwoDigits(date.minute);
  text.Char(':');
  text.TwoDigits(date.second);
}

// WriteDate for a date without negative numbers, as every date read from a
// base has: each number is its last two digits, the text 19 characters.
// False, and nothing written, for another date.
bool PutPlainDate(const DateTime& date, char (&text)[19]) {
  if (date.day < 0 || date.year < 0 || date.hour < 0 || date.minute < 0 || date.second < 0) {
    return false;
  }
  auto two = [&text](size_t at, int32_t value) {
    const auto last_two = static_cast<uint32_t>(value) % 100;
    text[at] = static_cast<char>('0' + last_two / 10);
    text[at + 1] = static_cast<char>('0' + last_two % 10);
  };
  const std::string_view month = MonthName(date.month);
  two(0, date.day);
  text[2] = ' ';
  text[3] = month[0];
  text[4] = month[1];
  text[5] = month[2];
  text[6] = ' ';
  two(7, date.year);
  text[9] = ' ';
  text[10] = ' ';
  two(11, date.hour);
  text[13] = ':';
  two(14, date.minute);
  text[16] = ':';
  two(17, date.second);
  return true;
}

}  // namespace

std::string FormatDate(const DateTime& date) {
  char plain[19];
  if (PutPlainDate(date, plain)) return std::string(plain, sizeof plain);
  DateWriter text;
  WriteDate(date, text);
  return std::string(text.text());
}

void FormatDate(const DateTime& date, DateText* text) {
  char plain[19];
  if (PutPlainDate(date, plain)) {
    *text = std::string_view(plain, sizeof plain);
    return;
  }
  DateWriter writer;
  WriteDate(date, writer);
  *text = writer.text();
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
    FormatDate(*written, text);
    return;
  }
  std::string_view t(text->str());
  DateTime d;
  std::string_view month_name;
  std::string numeric;  // a dd-mm-yy text with blanks for its separators
  if (IsCanonicalText(t)) {
    // "05 Mar 01  17:30:09" as writers make it: the words stand at their
    // columns, and the general rule below would find the same.
    auto two = [&t](size_t at) { return (t[at] - '0') * 10 + (t[at + 1] - '0'); };
    d.day = two(0);
    month_name = t.substr(3, 3);
    d.year = two(7);
    d.hour = two(11);
    d.minute = two(14);
    d.second = two(17);
  } else if (CharAt(t, 3) == ' ' && CharAt(t, 11) == ' ') {
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
    numeric = t;
    for (char& c : numeric) {
      if (c == '-' || c == ':') c = ' ';
    }
    d.day = TextToNumber(WordView(1, numeric, kBlanks));
    int32_t month = TextToNumber(WordView(2, numeric, kBlanks));
    if (month >= 1 && month <= 12) month_name = kMonthNames[month];
    d.year = TextToNumber(WordView(3, numeric, kBlanks));
    d.hour = TextToNumber(WordView(4, numeric, kBlanks));
    d.minute = TextToNumber(WordView(5, numeric, kBlanks));
    d.second = TextToNumber(WordView(6, numeric, kBlanks));
  }

  if (d.year < 80) {
    d.year += 2000;
  } else if (d.year < 1900) {
    d.year += 1900;
  }
  for (int32_t m = 1; m <= 12 && !month_name.empty(); ++m) {
    if (IsMonthName(month_name, m)) {
      d.month = m;
      break;
    }
  }
  if (d.year == 2000 && d.month == 0 && d.day == 0 && d.hour == 0 && d.minute == 0 &&
      d.second == 0) {
    SetNow(&d);  // nothing usable was parsed
  }
  *written = d;
  // Numbers of at most two digits write as PutPlainDate writes them.
  char plain[19];
  if (d.day <= 99 && d.hour <= 99 && d.minute <= 99 && d.second <= 99 && PutPlainDate(d, plain)) {
    *text = std::string_view(plain, sizeof plain);
    return;
  }
  DateWriter rewritten;
  rewritten.AtLeastTwoDigits(d.day);
  rewritten.Text(" ");
  rewritten.Text(MonthName(d.month));
  rewritten.Text(" ");
  rewritten.TwoDigits(d.year % 100);
  rewritten.Text("  ");
  rewritten.AtLeastTwoDigits(d.hour);
  rewritten.Text(":");
  rewritten.AtLeastTwoDigits(d.minute);
  rewritten.Text(":");
  rewritten.AtLeastTwoDigits(d.second);
  *text = rewritten.text();
}

}  // namespace quil
