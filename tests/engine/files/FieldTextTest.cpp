#include "engine/files/FieldText.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <limits>
#include <string>

#include "engine/errors/EngineError.h"

namespace ledra {
namespace {

// 15 March 2024, 13:45:30.250 as the component layer counts it.
double FixedNow() {
  return 45366.0 + 49530250.0 / 86400000.0;
}
constexpr int32_t kFixedDay = 738960;
constexpr int32_t kFixedTime = 49530250;

class FieldTextTest : public ::testing::Test {
 protected:
  void SetUp() override { previous_ = SetDateTimeClock(&FixedNow); }
  void TearDown() override { SetDateTimeClock(previous_); }
  TDateTimeClock previous_ = nullptr;
};

// The message a conversion raises, or "" when it raises nothing.
template <typename F>
std::string ErrorOf(F convert) {
  try {
    convert();
  } catch (const EDatabaseError& error) {
    return error.what();
  }
  return "";
}

int32_t Day(int y, int m, int d) {
  int32_t day = -1;
  EXPECT_TRUE(TryEncodeDayNumber(y, m, d, day)) << y << "-" << m << "-" << d;
  return day;
}

TEST(Calendar, DayNumbersAroundTheAnchors) {
  EXPECT_EQ(Day(1, 1, 1), 1);
  EXPECT_EQ(Day(1, 12, 31), 365);
  EXPECT_EQ(Day(2, 1, 1), 366);
  EXPECT_EQ(Day(4, 12, 31), 1461);  // year 4 is a leap year
  EXPECT_EQ(Day(1899, 12, 30), 693594);
  EXPECT_EQ(Day(1900, 3, 1), 693655);  // 1900 has no 29 February
  EXPECT_EQ(Day(2000, 2, 29), 730179);
  EXPECT_EQ(Day(2024, 3, 15), kFixedDay);
  EXPECT_EQ(Day(9999, 12, 31), kMaxDayNumber);

  int32_t day = 0;
  for (auto [y, m, d] : {std::array{1900, 2, 29},
                         {2023, 2, 29},
                         {2023, 2, 30},
                         {2023, 4, 31},
                         {2023, 13, 1},
                         {2023, 0, 1},
                         {2023, 1, 0},
                         {0, 1, 1},
                         {10000, 1, 1}}) {
    EXPECT_FALSE(TryEncodeDayNumber(y, m, d, day)) << y << "-" << m << "-" << d;
  }
}

TEST(Calendar, EveryDayDecodesToTheNextCalendarDay) {
  int y = 1, m = 1, d = 1;
  for (int32_t day = 1; day <= kMaxDayNumber; ++day) {
    int year, month, dayOfMonth;
    ASSERT_TRUE(TryDecodeDayNumber(day, year, month, dayOfMonth)) << day;
    const auto got = std::array{year, month, dayOfMonth};
    const auto want = std::array{y, m, d};
    ASSERT_EQ(got, want) << day;
    int32_t encoded = 0;
    if (!TryEncodeDayNumber(y, m, d + 1, encoded)) {
      d = 1;
      if (++m > 12) m = 1, ++y;
    } else {
      ++d;
    }
  }
  int year, month, day;
  EXPECT_FALSE(TryDecodeDayNumber(0, year, month, day));
  EXPECT_FALSE(TryDecodeDayNumber(kMaxDayNumber + 1, year, month, day));
}

TEST_F(FieldTextTest, DatesAndTimes) {
  EXPECT_EQ(TextToDayNumber("2024-2-29"), 738945);
  EXPECT_EQ(TextToDayNumber(" 0001-01-01 "), 1);
  EXPECT_EQ(TextToDayNumber("current_date"), kFixedDay);
  EXPECT_EQ(ErrorOf([] { TextToDayNumber("2023-02-30"); }), "'2023-02-30' is not a valid date");
  for (const char* bad : {"2023-13-01", "2023/01/01", "2023-01", "2023-01-01x", "", "12023-1-1"}) {
    EXPECT_NE(ErrorOf([&] { TextToDayNumber(bad); }), "") << bad;
  }

  EXPECT_EQ(TextToTimeMs("0:00"), 0);
  EXPECT_EQ(TextToTimeMs("12:00 AM"), 0);
  EXPECT_EQ(TextToTimeMs("12:30am"), 1800000);
  EXPECT_EQ(TextToTimeMs("12:00 PM"), 43200000);
  EXPECT_EQ(TextToTimeMs("1:30 pm"), 48600000);
  EXPECT_EQ(TextToTimeMs("11:59:59.999 PM"), 86399999);
  EXPECT_EQ(TextToTimeMs("08:05:03"), 29103000);
  EXPECT_EQ(TextToTimeMs("7:00:00.5"), 25200005);
  EXPECT_EQ(TextToTimeMs("CURRENT_TIME"), kFixedTime);
  EXPECT_EQ(ErrorOf([] { TextToTimeMs("24:00"); }), "'24:00' is not a valid time");
  for (const char* bad :
       {"13:00 PM", "12:60", "12", "12:00:60", "12:00.5", "1:00 XM", "12:00:00.1000", "1:2:3:4"}) {
    EXPECT_NE(ErrorOf([&] { TextToTimeMs(bad); }), "") << bad;
  }
}

TEST_F(FieldTextTest, Timestamps) {
  constexpr double kDay = 86400000.0;
  EXPECT_EQ(TextToTimeStampMs("1899-12-30"), 693594 * kDay);
  EXPECT_EQ(TextToTimeStampMs("0001-01-01 00:00:00.001"), kDay + 1);
  EXPECT_EQ(TextToTimeStampMs("2024-03-15  1:45:30.250 PM"), kFixedDay * kDay + kFixedTime);
  EXPECT_EQ(TextToTimeStampMs("10:00"), 36000000.0);  // a time alone lies on day 0
  EXPECT_EQ(TextToTimeStampMs("Current_Timestamp"), kFixedDay * kDay + kFixedTime);
  EXPECT_EQ(TextToTimeStampMs("CURRENT_DATE"), kFixedDay * kDay);
  EXPECT_EQ(TextToTimeStampMs("CURRENT_TIME"), double(kFixedTime));
  EXPECT_EQ(ErrorOf([] { TextToTimeStampMs("tomorrow"); }),
            "'tomorrow' is not a valid date and time");
  for (const char* bad : {"2024-03-1510:00", "2024-02-30 10:00", "2024-03-15 25:00", ""}) {
    EXPECT_NE(ErrorOf([&] { TextToTimeStampMs(bad); }), "") << bad;
  }
}

TEST_F(FieldTextTest, ClockRoundsToTheMillisecondAcrossMidnight) {
  TDayAndTime split = SplitDateTime(0.9999999999);  // 0.0086 ms before midnight
  EXPECT_EQ(split.DayNumber, 693595);
  EXPECT_EQ(split.TimeMs, 0);
  split = SplitDateTime(-0.25);  // 29 December 1899, 18:00
  EXPECT_EQ(split.DayNumber, 693593);
  EXPECT_EQ(split.TimeMs, 64800000);
}

TEST(FieldTextNumbers, BooleansAndIntegers) {
  EXPECT_TRUE(TextToBoolean("TRUE"));
  EXPECT_TRUE(TextToBoolean("true"));
  EXPECT_FALSE(TextToBoolean(" False "));
  EXPECT_EQ(ErrorOf([] { TextToBoolean("yes"); }), "'yes' is not a valid boolean");
  EXPECT_NE(ErrorOf([] { TextToBoolean("1"); }), "");

  EXPECT_EQ(TextToInteger("-32768", INT16_MIN, INT16_MAX), -32768);
  EXPECT_EQ(TextToInteger(" +42 ", INT16_MIN, INT16_MAX), 42);
  EXPECT_EQ(TextToInteger("-9223372036854775808", INT64_MIN, INT64_MAX), INT64_MIN);
  // Refused rather than wrapped into the field's width.
  EXPECT_EQ(ErrorOf([] { TextToInteger("70000", INT16_MIN, INT16_MAX); }),
            "'70000' is not a valid integer value");
  for (const char* bad : {"-1", "4 2", "", "0x10", "1.0", "+-1", "99999999999999999999"}) {
    EXPECT_NE(ErrorOf([&] { TextToInteger(bad, 0, UINT16_MAX); }), "") << bad;
  }
}

TEST(FieldTextNumbers, DoublesIgnoreTheLocale) {
  EXPECT_EQ(TextToDouble("1.5"), 1.5);
  EXPECT_EQ(TextToDouble("-2.25e2"), -225.0);
  EXPECT_EQ(TextToDouble("+.5"), 0.5);
  EXPECT_EQ(TextToDouble("5."), 5.0);
  EXPECT_EQ(TextToDouble("1e-400"), 0.0);
  EXPECT_EQ(ErrorOf([] { TextToDouble("1,5"); }), "'1,5' is not a valid floating point value");
  for (const char* bad : {"1e400", "inf", "nan", "", ".", "1.2.3", "1e", "0x1p3"}) {
    EXPECT_NE(ErrorOf([&] { TextToDouble(bad); }), "") << bad;
  }
}

TEST(FieldTextNumbers, CurrencyRoundsHalfToEven) {
  EXPECT_EQ(TextToCurrency("12.345678"), 123457);
  EXPECT_EQ(TextToCurrency("12.34565"), 123456);
  EXPECT_EQ(TextToCurrency("12.34575"), 123458);
  EXPECT_EQ(TextToCurrency("0.00015"), 2);
  EXPECT_EQ(TextToCurrency("-0.00005"), 0);
  EXPECT_EQ(TextToCurrency("1.5e3"), 15000000);
  EXPECT_EQ(TextToCurrency("000.1e-4"), 0);
  EXPECT_EQ(TextToCurrency("922337203685477.5807"), INT64_MAX);
  EXPECT_EQ(TextToCurrency("-922337203685477.5808"), INT64_MIN);
  EXPECT_EQ(ErrorOf([] { TextToCurrency("922337203685477.5808"); }),
            "'922337203685477.5808' is not a valid floating point value");
  EXPECT_NE(ErrorOf([] { TextToCurrency("1e20"); }), "");
}

}  // namespace
}  // namespace ledra
