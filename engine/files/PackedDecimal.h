// Packed-decimal values of BCD fields and their conversion to currency values.
//
// A currency value is a signed 64-bit integer holding the value times 10000
// (four decimal places). Records store BCD fields packed; defaults, checks and
// keys work on the currency value.
//
// The 34 value bytes of a BCD field:
//   byte 0      precision: number of decimal digits held, 32 when written here
//   byte 1      bit 7 = sign (1 negative), bit 6 = special (never set here),
//               bits 0..5 = places: how many of the digits are decimal places
//   bytes 2..33 the digits as 4-bit nibbles, most significant first, the first
//               digit in the high nibble of byte 2; the last `places` of the
//               `precision` digits are the fraction. Nibbles past the precision
//               are zero.
// So 123.45 with places 2 is precision 32, byte 1 = 0x02, and the 32 digits
// 000...00012345: bytes 15, 16, 17 = 0x01, 0x23, 0x45, all other digit bytes
// zero. Zero is never negative.
#pragma once

#include <cstddef>
#include <cstdint>

namespace ledra {

inline constexpr size_t kBCDSize = 34;
inline constexpr uint8_t kBCDPrecision = 32;

// Writes a currency value with the given decimal places (0 to 32). Digits below
// the places are rounded half away from zero. False (nothing written) when the
// places exceed 32 or the value does not fit the 32 - places integer digits.
bool CurrencyToBCD(int64_t currency, uint8_t places, uint8_t* bcd);
// Reads any well-formed packed decimal (precision up to 64) as a currency
// value; decimal places beyond four are rounded half away from zero. All-zero
// bytes (a null field) read as 0. False for a digit nibble above 9, places
// above the precision, or a value out of the currency range.
bool BCDToCurrency(const uint8_t* bcd, int64_t& currency);

}  // namespace ledra
