#include "engine/files/FieldText.h"

#include <atomic>
#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>
#include <string>

#include "engine/errors/EngineError.h"
#include "engine/files/Bytes.h"
#include "engine/files/Magnitude.h"
#include "platform/System.h"

namespace ledra {

namespace {

// The run-time library's conversion messages.
constexpr char kInvalidInteger[] = "'%s' is not a valid integer value";
constexpr char kInvalidFloat[] = "'%s' is not a valid floating point value";
constexpr char kInvalidDate[] = "'%s' is not a valid date";
constexpr char kInvalidTime[] = "'%s' is not a valid time";
constexpr char kInvalidDateTime[] = "'%s' is not a valid date and time";
constexpr char kInvalidBoolean[] = "'%s' is not a valid boolean";

[[noreturn]] void RaiseConvertError(const char* format, std::string_view text) {
  std::string message(format);
  size_t place = message.find("%s");
  message.replace(place, 2, text);
  throw EDatabaseError(message);
}

bool IsBlank(char c) {
  return c == ' ' || c == '\t';
}
bool IsDigit(char c) {
  return c >= '0' && c <= '9';
}
char AsciiUpper(char c) {
  return c >= 'a' && c <= 'z' ? char(c - 'a' + 'A') : c;
}

std::string_view Trim(std::string_view text) {
  while (!text.empty() && IsBlank(text.front())) text.remove_prefix(1);
  while (!text.empty() && IsBlank(text.back())) text.remove_suffix(1);
  return text;
}

bool EqualsIgnoreCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (AsciiUpper(a[i]) != AsciiUpper(b[i])) return false;
  }
  return true;
}

// Reads a text from left to right.
class TScanner {
 public:
  explicit TScanner(std::string_view text) : text_(text) {}

  bool AtEnd() const { return pos_ >= text_.size(); }
  size_t Position() const { return pos_; }

  bool Char(char c) {
    if (AtEnd() || text_[pos_] != c) return false;
    ++pos_;
    return true;
  }
  void Blanks() {
    while (!AtEnd() && IsBlank(text_[pos_])) ++pos_;
  }
  // minCount to maxCount decimal digits.
  bool Number(size_t minCount, size_t maxCount, int& value) {
    size_t count = 0;
    value = 0;
    while (!AtEnd() && IsDigit(text_[pos_]) && count < maxCount) {
      value = value * 10 + (text_[pos_] - '0');
      ++pos_;
      ++count;
    }
    return count >= minCount && (AtEnd() || !IsDigit(text_[pos_]));
  }
  bool Word(std::string_view word) {
    if (text_.size() - pos_ < word.size()) return false;
    if (!EqualsIgnoreCase(text_.substr(pos_, word.size()), word)) return false;
    pos_ += word.size();
    return true;
  }

 private:
  std::string_view text_;
  size_t pos_ = 0;
};

bool ScanDate(TScanner& scanner, int32_t& dayNumber) {
  int year, month, day;
  return scanner.Number(1, 4, year) && scanner.Char('-') && scanner.Number(1, 2, month) &&
         scanner.Char('-') && scanner.Number(1, 2, day) &&
         TryEncodeDayNumber(year, month, day, dayNumber);
}

bool ScanTime(TScanner& scanner, int32_t& timeMs) {
  int hour, minute, second = 0, msec = 0;
  if (!scanner.Number(1, 2, hour) || !scanner.Char(':') || !scanner.Number(1, 2, minute)) {
    return false;
  }
  if (scanner.Char(':')) {
    if (!scanner.Number(1, 2, second)) return false;
    if (scanner.Char('.') && !scanner.Number(1, 3, msec)) return false;
  }
  scanner.Blanks();
  int ampm = 0;
  if (scanner.Word("AM")) {
    ampm = 1;
  } else if (scanner.Word("PM")) {
    ampm = 2;
  }
  if (ampm != 0) {
    if (hour > 12) return false;
    if (hour == 12) hour = 0;
    if (ampm == 2) hour += 12;
  }
  if (hour > 23 || minute > 59 || second > 59) return false;
  timeMs = ((hour * 60 + minute) * 60 + second) * 1000 + msec;
  return true;
}

// The parts of a decimal number text: sign, digits without leading zeros and
// the power of ten that scales them.
struct TDecimal {
  bool negative = false;
  std::string digits;    // significant digits, no leading zeros; empty for zero
  int64_t exponent = 0;  // value = digits * 10^exponent
};

// [sign] digits [. digits] [e [sign] digits], at least one mantissa digit.
bool ScanDecimal(std::string_view text, TDecimal& decimal) {
  size_t pos = 0;
  if (pos < text.size() && (text[pos] == '+' || text[pos] == '-')) {
    decimal.negative = text[pos] == '-';
    ++pos;
  }
  size_t mantissaDigits = 0;
  int64_t fractionDigits = 0;
  bool inFraction = false;
  for (; pos < text.size(); ++pos) {
    char c = text[pos];
    if (c == '.' && !inFraction) {
      inFraction = true;
      continue;
    }
    if (!IsDigit(c)) break;
    ++mantissaDigits;
    if (inFraction) ++fractionDigits;
    if (c != '0' || !decimal.digits.empty()) decimal.digits.push_back(c);
  }
  if (mantissaDigits == 0) return false;
  int64_t exponent = 0;
  if (pos < text.size() && (text[pos] == 'e' || text[pos] == 'E')) {
    ++pos;
    bool negativeExponent = false;
    if (pos < text.size() && (text[pos] == '+' || text[pos] == '-')) {
      negativeExponent = text[pos] == '-';
      ++pos;
    }
    size_t exponentDigits = 0;
    for (; pos < text.size() && IsDigit(text[pos]); ++pos) {
      // Saturate: any exponent this large overflows or rounds to zero anyway.
      if (exponent < 100000) exponent = exponent * 10 + (text[pos] - '0');
      ++exponentDigits;
    }
    if (exponentDigits == 0) return false;
    if (negativeExponent) exponent = -exponent;
  }
  if (pos != text.size()) return false;
  decimal.exponent = exponent - fractionDigits;
  if (decimal.digits.empty()) decimal.negative = false;
  return true;
}

}  // namespace

// ---- Calendar ---------------------------------------------------------------

bool IsLeapYear(int year) {
  return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

namespace {
constexpr int kDaysBeforeMonth[2][13] = {
    {0, 31, 59, 90, 120, 151, 181, 212, 243, 273, 304, 334, 365},
    {0, 31, 60, 91, 121, 152, 182, 213, 244, 274, 305, 335, 366}};

int32_t DaysBeforeYear(int year) {
  int32_t y = year - 1;
  return y * 365 + y / 4 - y / 100 + y / 400;
}
}  // namespace

bool TryEncodeDayNumber(int year, int month, int day, int32_t& dayNumber) {
  if (year < 1 || year > 9999 || month < 1 || month > 12 || day < 1) return false;
  const int* before = kDaysBeforeMonth[IsLeapYear(year) ? 1 : 0];
  if (day > before[month] - before[month - 1]) return false;
  dayNumber = DaysBeforeYear(year) + before[month - 1] + day;
  return true;
}

bool TryDecodeDayNumber(int32_t dayNumber, int& year, int& month, int& day) {
  if (dayNumber < 1 || dayNumber > kMaxDayNumber) return false;
  // Estimate the year from the mean year length, then correct it.
  int y = int((int64_t(dayNumber) * 400) / 146097) + 1;
  while (y > 1 && DaysBeforeYear(y) >= dayNumber) --y;
  while (DaysBeforeYear(y + 1) < dayNumber) ++y;
  int dayOfYear = dayNumber - DaysBeforeYear(y);  // 1-based
  const int* before = kDaysBeforeMonth[IsLeapYear(y) ? 1 : 0];
  int m = 1;
  while (dayOfYear > before[m]) ++m;
  year = y;
  month = m;
  day = dayOfYear - before[m - 1];
  return true;
}

// ---- Clock --------------------------------------------------------------------

namespace {
std::atomic<TDateTimeClock> gClock{nullptr};
}  // namespace

TDateTimeClock SetDateTimeClock(TDateTimeClock clock) {
  return gClock.exchange(clock);
}

TDayAndTime SplitDateTime(double dateTime) {
  TDayAndTime result;
  // Keep far-off or invalid values from overflowing: clamp to the calendar.
  constexpr double kLimit = double(kMaxDayNumber) + 1.0;
  if (!std::isfinite(dateTime)) dateTime = 0;
  if (dateTime > kLimit) dateTime = kLimit;
  if (dateTime < -kLimit) dateTime = -kLimit;
  int64_t ms = std::llround(dateTime * double(kMSecsPerDay));
  int64_t days = ms / kMSecsPerDay;
  int64_t rest = ms % kMSecsPerDay;
  if (rest < 0) {
    rest += kMSecsPerDay;
    --days;
  }
  result.DayNumber = int32_t(days + kDateDelta);
  result.TimeMs = int32_t(rest);
  return result;
}

TDayAndTime CurrentDayAndTime() {
  TDateTimeClock clock = gClock.load();
  return SplitDateTime(clock != nullptr ? clock() : platform::NowDateTime());
}

// ---- Texts to values ----------------------------------------------------------

int32_t TextToDayNumber(std::string_view text) {
  std::string_view trimmed = Trim(text);
  if (EqualsIgnoreCase(trimmed, "CURRENT_DATE")) return CurrentDayAndTime().DayNumber;
  TScanner scanner(trimmed);
  int32_t dayNumber = 0;
  if (!ScanDate(scanner, dayNumber) || !scanner.AtEnd()) RaiseConvertError(kInvalidDate, text);
  return dayNumber;
}

int32_t TextToTimeMs(std::string_view text) {
  std::string_view trimmed = Trim(text);
  if (EqualsIgnoreCase(trimmed, "CURRENT_TIME")) return CurrentDayAndTime().TimeMs;
  TScanner scanner(trimmed);
  int32_t timeMs = 0;
  if (!ScanTime(scanner, timeMs) || !scanner.AtEnd()) RaiseConvertError(kInvalidTime, text);
  return timeMs;
}

double TextToTimeStampMs(std::string_view text) {
  std::string_view trimmed = Trim(text);
  if (EqualsIgnoreCase(trimmed, "CURRENT_TIMESTAMP")) {
    TDayAndTime now = CurrentDayAndTime();
    return double(now.DayNumber) * double(kMSecsPerDay) + double(now.TimeMs);
  }
  if (EqualsIgnoreCase(trimmed, "CURRENT_DATE")) {
    return double(CurrentDayAndTime().DayNumber) * double(kMSecsPerDay);
  }
  if (EqualsIgnoreCase(trimmed, "CURRENT_TIME")) return double(CurrentDayAndTime().TimeMs);

  int32_t dayNumber = 0;
  int32_t timeMs = 0;
  TScanner dateScanner(trimmed);
  if (ScanDate(dateScanner, dayNumber)) {
    if (!dateScanner.AtEnd()) {
      size_t before = dateScanner.Position();
      dateScanner.Blanks();
      if (dateScanner.Position() == before || !ScanTime(dateScanner, timeMs) ||
          !dateScanner.AtEnd()) {
        RaiseConvertError(kInvalidDateTime, text);
      }
    }
  } else {
    TScanner timeScanner(trimmed);
    if (!ScanTime(timeScanner, timeMs) || !timeScanner.AtEnd()) {
      RaiseConvertError(kInvalidDateTime, text);
    }
    dayNumber = 0;
  }
  return double(dayNumber) * double(kMSecsPerDay) + double(timeMs);
}

bool TextToBoolean(std::string_view text) {
  std::string_view trimmed = Trim(text);
  if (EqualsIgnoreCase(trimmed, "TRUE")) return true;
  if (EqualsIgnoreCase(trimmed, "FALSE")) return false;
  RaiseConvertError(kInvalidBoolean, text);
}

int64_t TextToInteger(std::string_view text, int64_t minValue, int64_t maxValue) {
  std::string_view trimmed = Trim(text);
  // from_chars takes no plus sign.
  if (trimmed.size() > 1 && trimmed.front() == '+' && IsDigit(trimmed[1])) {
    trimmed.remove_prefix(1);
  }
  int64_t value = 0;
  const char* last = trimmed.data() + trimmed.size();
  auto [end, error] = std::from_chars(trimmed.data(), last, value, 10);
  if (trimmed.empty() || error != std::errc() || end != last || value < minValue ||
      value > maxValue) {
    RaiseConvertError(kInvalidInteger, text);
  }
  return value;
}

double TextToDouble(std::string_view text) {
  std::string_view trimmed = Trim(text);
  TDecimal decimal;
  if (!ScanDecimal(trimmed, decimal)) RaiseConvertError(kInvalidFloat, text);
  if (trimmed.front() == '+') trimmed.remove_prefix(1);
  double value = 0;
  const char* last = trimmed.data() + trimmed.size();
  auto [end, error] = std::from_chars(trimmed.data(), last, value, std::chars_format::general);
  if (error == std::errc::result_out_of_range && end == last &&
      int64_t(decimal.digits.size()) + decimal.exponent <= 0) {
    // Too small for a double: zero, as the run-time library reads it.
    return decimal.negative ? -0.0 : 0.0;
  }
  if (error != std::errc() || end != last || !std::isfinite(value)) {
    RaiseConvertError(kInvalidFloat, text);
  }
  return value;
}

int64_t TextToCurrency(std::string_view text) {
  TDecimal decimal;
  if (!ScanDecimal(Trim(text), decimal)) RaiseConvertError(kInvalidFloat, text);
  // The magnitude in units of 1/10000, rounded half to even.
  const int64_t shift = decimal.exponent + 4;
  const int64_t count = int64_t(decimal.digits.size());
  int64_t keep = shift >= 0 ? count : count + shift;  // digits above the point
  uint64_t magnitude = 0;
  constexpr uint64_t kLimit = kCurrencyMagnitudeLimit;
  bool overflow = false;
  for (int64_t i = 0; i < keep && !overflow; ++i) {
    overflow = !AppendDigit(magnitude, unsigned(decimal.digits[size_t(i)] - '0'), kLimit);
  }
  if (shift > 0 && !overflow) {
    if (shift > 19 && magnitude != 0) {
      overflow = true;
    } else {
      for (int64_t i = 0; i < shift && magnitude != 0 && !overflow; ++i) {
        overflow = !AppendDigit(magnitude, 0, kLimit);
      }
    }
  }
  if (!overflow && keep < count) {
    // Round on the dropped digits.
    int64_t first = keep < 0 ? -1 : keep;  // index of the first dropped digit
    bool roundUp = false;
    if (first >= 0) {
      char dropped = decimal.digits[size_t(first)];
      bool restNonZero = false;
      for (int64_t i = first + 1; i < count; ++i) {
        if (decimal.digits[size_t(i)] != '0') restNonZero = true;
      }
      if (dropped > '5' || (dropped == '5' && restNonZero)) {
        roundUp = true;
      } else if (dropped == '5') {
        roundUp = (magnitude & 1) != 0;
      }
    }
    if (roundUp) ++magnitude;
    overflow = magnitude > kLimit;
  }
  if (overflow || (!decimal.negative && magnitude == kLimit)) {
    RaiseConvertError(kInvalidFloat, text);
  }
  if (decimal.negative)
    return magnitude == kLimit ? std::numeric_limits<int64_t>::min() : -int64_t(magnitude);
  return int64_t(magnitude);
}

// ---- Defaults ---------------------------------------------------------------------

void DefaultTextToValue(const TFieldDesc& desc, std::string_view text, uint8_t* value) {
  constexpr size_t kValueSize = 256;
  std::memset(value, 0, kValueSize);
  switch (desc.FieldType) {
    case fldString:
      std::memcpy(value, text.data(), text.size() < kValueSize - 1 ? text.size() : kValueSize - 1);
      break;
    case fldDate:
      PutLE32(value, uint32_t(TextToDayNumber(text)));
      break;
    case fldBoolean:
      PutLE16(value, TextToBoolean(text) ? 1 : 0);
      break;
    case fldSmallInt:
      PutLE16(value, uint16_t(TextToInteger(text, INT16_MIN, INT16_MAX)));
      break;
    case fldInteger:
      PutLE32(value, uint32_t(TextToInteger(text, INT32_MIN, INT32_MAX)));
      break;
    case fldWord:
      PutLE16(value, uint16_t(TextToInteger(text, 0, UINT16_MAX)));
      break;
    case fldLargeInt:
      PutLE64(value, uint64_t(TextToInteger(text, INT64_MIN, INT64_MAX)));
      break;
    case fldFloat:
      PutLEDouble(value, TextToDouble(text));
      break;
    case fldBCD:
      if (!CurrencyToBCD(TextToCurrency(text), desc.Scale, value)) {
        RaiseConvertError(kInvalidFloat, text);
      }
      break;
    case fldTime:
      PutLE32(value, uint32_t(TextToTimeMs(text)));
      break;
    case fldTimeStamp:
      PutLEDouble(value, TextToTimeStampMs(text));
      break;
    default:
      break;  // zero value bytes
  }
}

bool DefaultTextIsValue(const TFieldDesc& desc, std::string_view text) {
  uint8_t value[256];
  try {
    DefaultTextToValue(desc, text, value);
    return true;
  } catch (const EDatabaseError&) {
    return false;
  }
}

}  // namespace ledra
