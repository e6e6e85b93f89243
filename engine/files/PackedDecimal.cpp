#include "engine/files/PackedDecimal.h"

#include <cstring>
#include <limits>

#include "engine/files/Magnitude.h"

namespace ledra {
namespace {

uint64_t Power10(int n) {
  uint64_t value = 1;
  while (n-- > 0) value *= 10;
  return value;
}

}  // namespace

bool CurrencyToBCD(int64_t currency, uint8_t places, uint8_t* bcd) {
  if (places > kBCDPrecision) return false;
  bool negative = currency < 0;
  uint64_t magnitude = negative ? uint64_t(0) - uint64_t(currency) : uint64_t(currency);
  // Bring the value from four decimal places to `places`.
  if (places < 4) {
    uint64_t divisor = Power10(4 - places);
    uint64_t rest = magnitude % divisor;
    magnitude /= divisor;
    if (rest * 2 >= divisor) ++magnitude;  // half away from zero
  }
  // Decimal digits of the magnitude, least significant first, then the zeros
  // that extend four places to more.
  uint8_t digits[64] = {};
  int count = 0;
  if (places > 4) count = places - 4;  // zeros at the end
  for (uint64_t m = magnitude; m != 0; m /= 10) digits[count++] = uint8_t(m % 10);
  if (count > kBCDPrecision) return false;

  std::memset(bcd, 0, kBCDSize);
  bcd[0] = kBCDPrecision;
  bcd[1] = uint8_t((negative && magnitude != 0 ? 0x80 : 0) | places);
  for (int i = 0; i < count; ++i) {
    int position = kBCDPrecision - 1 - i;  // digit index from the left
    uint8_t& target = bcd[2 + position / 2];
    target |= position % 2 == 0 ? uint8_t(digits[i] << 4) : digits[i];
  }
  return true;
}

bool BCDToCurrency(const uint8_t* bcd, int64_t& currency) {
  int precision = bcd[0];
  int places = bcd[1] & 0x3F;
  bool negative = (bcd[1] & 0x80) != 0;
  if (precision > 64 || places > precision) return false;
  int integerDigits = precision - places;
  uint64_t magnitude = 0;
  constexpr uint64_t kLimit = kCurrencyMagnitudeLimit;
  int roundDigit = 0;
  for (int i = 0; i < precision; ++i) {
    uint8_t byte = bcd[2 + i / 2];
    int digit = i % 2 == 0 ? byte >> 4 : byte & 0x0F;
    if (digit > 9) return false;
    if (i < integerDigits + 4) {
      if (!AppendDigit(magnitude, unsigned(digit), kLimit)) return false;
    } else if (i == integerDigits + 4) {
      roundDigit = digit;
    }
  }
  for (int i = places; i < 4; ++i) {
    if (!AppendDigit(magnitude, 0, kLimit)) return false;
  }
  if (roundDigit >= 5) ++magnitude;
  if (magnitude > kLimit || (!negative && magnitude == kLimit)) return false;
  if (negative) {
    currency = magnitude == kLimit ? std::numeric_limits<int64_t>::min() : -int64_t(magnitude);
  } else {
    currency = int64_t(magnitude);
  }
  return true;
}

}  // namespace ledra
