// Currency values are 64-bit counts of 1/10000; text and packed decimals are
// read into their magnitude digit by digit. 64 bits are enough for the checks
// (no wider type: the 32-bit build has none), since a magnitude above
// |INT64_MIN| is refused the moment it appears and never shrinks afterwards.
#pragma once

#include <cstdint>

namespace ledra {

inline constexpr uint64_t kCurrencyMagnitudeLimit = uint64_t(1) << 63;  // |INT64_MIN|

// magnitude * 10 + digit, when that is at most `limit`; false, with the
// magnitude as it was, when it would be more.
inline bool AppendDigit(uint64_t& magnitude, unsigned digit, uint64_t limit) {
  if (magnitude > (limit - digit) / 10) return false;
  magnitude = magnitude * 10 + digit;
  return true;
}

}  // namespace ledra
