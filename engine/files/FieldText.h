// Conversions between the texts of field attributes and stored field values.
//
// Default values and minimum/maximum checks are kept in the field descriptor
// as texts; these functions turn such texts into the value bytes a record
// image holds (BCD fields through the packed-decimal conversion of
// engine/files/PackedDecimal.h). Every parser is independent of the process
// locale: "." is the decimal separator, dates are written year-month-day.
//
// Stored encodings (all little-endian in the record image):
//   date       signed 32-bit day number, 1 January 0001 = day 1
//   time       signed 32-bit milliseconds since midnight
//   timestamp  double: day number * 86400000 + milliseconds of the day
//   currency   signed 64-bit value * 10000 (four decimal places)
//
// Malformed texts raise EDatabaseError with the run-time library's
// conversion messages ("'%s' is not a valid integer value", ...).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "engine/files/FieldDesc.h"
#include "engine/files/PackedDecimal.h"

namespace ledra {

inline constexpr int64_t kMSecsPerDay = 86400000;
// The day number of 30 December 1899, day 0 of the component layer's
// date-time values.
inline constexpr int32_t kDateDelta = 693594;
// The largest day number: 31 December 9999.
inline constexpr int32_t kMaxDayNumber = 3652059;

// ---- Calendar -------------------------------------------------------------

bool IsLeapYear(int year);
// The day number of a proleptic Gregorian date of the years 1 to 9999; false
// for a date that does not exist (2023-02-30, month 13, year 0).
bool TryEncodeDayNumber(int year, int month, int day, int32_t& dayNumber);
// The date of a day number from 1 to kMaxDayNumber; false outside that range.
bool TryDecodeDayNumber(int32_t dayNumber, int& year, int& month, int& day);

// ---- The clock behind CURRENT_DATE, CURRENT_TIME and CURRENT_TIMESTAMP ------

// A clock answers the local date and time as days since 30 December 1899 with
// the time of day as fraction (platform::NowDateTime).
using TDateTimeClock = double (*)();
// Replaces the clock (tests fix "now" with it); nullptr restores the system
// clock. Returns the clock that was in use.
TDateTimeClock SetDateTimeClock(TDateTimeClock clock);

struct TDayAndTime {
  int32_t DayNumber = 0;
  int32_t TimeMs = 0;  // 0 .. 86399999
};
// Splits a date-time value (days since 30 December 1899) into day number and
// milliseconds of the day, rounding to the nearest millisecond.
TDayAndTime SplitDateTime(double dateTime);
TDayAndTime CurrentDayAndTime();

// ---- Texts to values --------------------------------------------------------
// Blanks around a text are ignored; the error messages quote the text as given.

// "CURRENT_DATE" (any case) or year-month-day in decimal ("2024-2-29").
int32_t TextToDayNumber(std::string_view text);
// "CURRENT_TIME" (any case) or hours:minutes[:seconds[.milliseconds]] with an
// optional "AM"/"PM" (12 AM is hour 0, PM adds 12 to the hours 1 to 11).
int32_t TextToTimeMs(std::string_view text);
// "CURRENT_TIMESTAMP" (now), "CURRENT_DATE" (today at midnight),
// "CURRENT_TIME" (the current time on day 0), a date, a date and a time
// separated by blanks, or a time alone (on day 0). Milliseconds since the start
// of day 0, as a timestamp field stores them.
double TextToTimeStampMs(std::string_view text);
// "TRUE" or "FALSE" in any case.
bool TextToBoolean(std::string_view text);
// A decimal integer with an optional sign, within [minValue, maxValue]. A
// number outside the range is refused, never wrapped into the field's width.
int64_t TextToInteger(std::string_view text, int64_t minValue, int64_t maxValue);
// A decimal number with "." as separator and an optional exponent; infinities,
// NaN and numbers out of the double range are refused.
double TextToDouble(std::string_view text);
// A decimal number as a currency value (times 10000), the digits beyond the
// fourth decimal place rounded half to even; out of the 64-bit range refused.
int64_t TextToCurrency(std::string_view text);

// ---- Defaults ---------------------------------------------------------------

// Converts a field's default text into value bytes as the field stores them.
// `value` holds at least 256 bytes and is zeroed first. Types without a
// default conversion (blobs, bytes, ...) get zero value bytes.
void DefaultTextToValue(const TFieldDesc& desc, std::string_view text, uint8_t* value);
// Whether a default, minimum or maximum text is a value of the field's type:
// the check a table's first open makes, and verify and repair after it.
bool DefaultTextIsValue(const TFieldDesc& desc, std::string_view text);

}  // namespace ledra
