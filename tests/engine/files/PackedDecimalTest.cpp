#include "engine/files/PackedDecimal.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>

namespace ledra {
namespace {

TEST(PackedDecimal, GoldenBytes) {
  std::array<uint8_t, kBCDSize> bcd{};
  std::array<uint8_t, kBCDSize> expected{};
  ASSERT_TRUE(CurrencyToBCD(1234500, 2, bcd.data()));  // 123.45
  expected[0] = 0x20;
  expected[1] = 0x02;
  expected[15] = 0x01;
  expected[16] = 0x23;
  expected[17] = 0x45;
  EXPECT_EQ(bcd, expected);

  ASSERT_TRUE(CurrencyToBCD(-75000, 0, bcd.data()));  // -7.5 rounds away from zero
  expected = {};
  expected[0] = 0x20;
  expected[1] = 0x80;
  expected[17] = 0x08;
  EXPECT_EQ(bcd, expected);

  ASSERT_TRUE(CurrencyToBCD(12500, 6, bcd.data()));  // 1.250000
  expected = {};
  expected[0] = 0x20;
  expected[1] = 0x06;
  expected[14] = 0x01;
  expected[15] = 0x25;
  EXPECT_EQ(bcd, expected);

  ASSERT_TRUE(CurrencyToBCD(-4, 2, bcd.data()));  // -0.0004 is 0.00: never negative
  expected = {};
  expected[0] = 0x20;
  expected[1] = 0x02;
  EXPECT_EQ(bcd, expected);

  EXPECT_FALSE(CurrencyToBCD(1, 33, bcd.data()));
  EXPECT_FALSE(CurrencyToBCD(int64_t(1000000000000) * 10000, 20, bcd.data()));  // 13 digits > 12
}

TEST(PackedDecimal, ReadsAnyPrecision) {
  std::array<uint8_t, kBCDSize> bcd{};
  int64_t value = -1;
  EXPECT_TRUE(BCDToCurrency(bcd.data(), value));  // a null field
  EXPECT_EQ(value, 0);

  bcd = {5, 3, 0x12, 0x34, 0x50};  // 12.345
  ASSERT_TRUE(BCDToCurrency(bcd.data(), value));
  EXPECT_EQ(value, 123450);
  bcd = {8, 0x87, 0x12, 0x34, 0x56, 0x78};  // -1.2345678
  ASSERT_TRUE(BCDToCurrency(bcd.data(), value));
  EXPECT_EQ(value, -12346);

  bcd = {2, 0, 0x1A};
  EXPECT_FALSE(BCDToCurrency(bcd.data(), value));  // not a digit
  bcd = {2, 3, 0x12};
  EXPECT_FALSE(BCDToCurrency(bcd.data(), value));  // places above precision
  bcd = {20, 0, 0x99, 0x99, 0x99, 0x99, 0x99, 0x99, 0x99, 0x99};
  EXPECT_FALSE(BCDToCurrency(bcd.data(), value));  // beyond the currency range

  // The edges of the currency range, and far beyond it (64 nines): the
  // magnitude is checked as it grows, in 64 bits.
  bcd = {19, 0x84, 0x92, 0x23, 0x37, 0x20, 0x36, 0x85, 0x47, 0x75, 0x80, 0x80};
  ASSERT_TRUE(BCDToCurrency(bcd.data(), value));  // -922337203685477.5808
  EXPECT_EQ(value, INT64_MIN);
  bcd[1] = 0x04;
  EXPECT_FALSE(BCDToCurrency(bcd.data(), value));  // +922337203685477.5808
  bcd = {64, 0};
  for (size_t i = 2; i < bcd.size(); ++i) bcd[i] = 0x99;
  EXPECT_FALSE(BCDToCurrency(bcd.data(), value));
  bcd = {20, 0x05, 0x92, 0x23, 0x37, 0x20, 0x36, 0x85, 0x47, 0x75, 0x80, 0x75};
  EXPECT_FALSE(BCDToCurrency(bcd.data(), value));  // 922337203685477.58075 rounds past the top

  for (int64_t currency :
       {int64_t(0), int64_t(1), int64_t(-9999), int64_t(123456789), INT64_MAX, INT64_MIN + 1}) {
    ASSERT_TRUE(CurrencyToBCD(currency, 4, bcd.data()));
    ASSERT_TRUE(BCDToCurrency(bcd.data(), value));
    EXPECT_EQ(value, currency);
    ASSERT_TRUE(CurrencyToBCD(currency, 11, bcd.data()));
    ASSERT_TRUE(BCDToCurrency(bcd.data(), value));
    EXPECT_EQ(value, currency);
  }
  ASSERT_TRUE(CurrencyToBCD(123456789, 2, bcd.data()));  // 12345.6789 -> 12345.68
  ASSERT_TRUE(BCDToCurrency(bcd.data(), value));
  EXPECT_EQ(value, 123456800);
}

}  // namespace
}  // namespace ledra
