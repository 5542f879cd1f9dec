// Dates of a message and their stored forms.
//
// A DateTime is six numbers; all zero means "no date".  The formats keep
// dates as the 19-character FTS-0001 text ("05 Mar 01  17:30:09"), as
// MS-DOS packed stamps (date in the high half; Squish swaps the halves), or
// as seconds since 1970-01-01 00:00:00 with no time-zone conversion.
// Seconds are 64-bit here, so every date from 1901 to 2099 converts without
// wrapping.
#pragma once

#include <cstdint>
#include <string>

#include "runtime/string_ops.h"

namespace quil {

// The FTS-0001 date text field: at most 20 characters.
using DateText = BoundedString<20>;

struct DateTime {
  int32_t year = 0;  // four digits
  int32_t month = 0;  // 1-12
  int32_t day = 0;  // 1-31
  int32_t hour = 0;
  int32_t minute = 0;
  int32_t second = 0;

  friend bool operator==(const DateTime&, const DateTime&) = default;
};

// Month names, index 1 to 12.
extern const char* const kMonthNames[13];

// The FTS-0001 date text: day, month name, year (two digits), two blanks,
// hh:mm:ss.  Day, year, hour, minute and second are the last two digits of
// their numbers with a leading "0" when needed.  A month outside 1..12 is
// written as "???".
std::string FormatDate(const DateTime& date);
// The same into `text`, whose storage is used again (no string between).
void FormatDate(const DateTime& date, DateText* text);

// True when 1900 < year < 2100, 1 <= month <= 12, 1 <= day <= 31,
// 0 <= hour <= 23, 0 <= minute <= 59 and 0 <= second <= 59.  The day is not
// checked against the length of the month.
bool IsValidDate(const DateTime& date);

// The current local date and time, seconds resolution.
void SetNow(DateTime* date);

// MS-DOS stamp: high half (year-1980)*512 + month*32 + day, low half
// hour*2048 + minute*32 + second/2, each half computed in 16 bits.
uint32_t PackStamp(const DateTime& date);
DateTime UnpackStamp(uint32_t stamp);

// The value with its two 16-bit halves exchanged.
uint32_t SwapStamp(uint32_t value);

// Seconds since 1970-01-01 00:00:00, counting the date as if it were UTC.
int64_t DateToSeconds(const DateTime& date);
DateTime SecondsToDate(int64_t seconds);

// The date step of message normalisation.  When the day of `*written` is 0
// and `*text` is not empty, the text is parsed (FTS-0001 form, with a single
// blank before the time, with a weekday in front, or dd-mm-yy) into
// `*written` and the text is rewritten in the FTS-0001 form; a text from
// which nothing usable comes gives the current date and time.  Otherwise the
// text is rewritten from `*written`.  The text is at most 20 characters.
void NormaliseDate(DateText* text, DateTime* written);

}  // namespace quil
