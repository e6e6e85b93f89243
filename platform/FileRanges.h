// Position and range arithmetic shared by the system implementations of
// `TFile` (platform/posix, platform/win32), so both refuse the same seeks,
// transfers and lock ranges with the same error codes.
#pragma once

#include <cstdint>
#include <limits>

#include "platform/WinError.h"

namespace ledra::platform::files {

// File offsets are signed 64-bit values on every system.
inline constexpr int64_t kMaxOffset = std::numeric_limits<int64_t>::max();

// The position `offset` bytes from `base` (the start, the current position
// or the file's size, never negative); -1 with the error set when it would
// lie before the start or beyond the largest offset.
inline int64_t SeekTarget(int64_t base, int64_t offset) {
  if (offset > 0 && base > kMaxOffset - offset) {
    SetLastError(kErrorInvalidParameter);
    return -1;
  }
  const int64_t target = base + offset;  // base >= 0, so a negative offset cannot overflow
  if (target < 0) {
    SetLastError(kErrorNegativeSeek);
    return -1;
  }
  return target;
}

// Whether `length` bytes can be read or written at `position` without the
// end passing the largest offset; sets the error when not.
inline bool TransferFits(int64_t position, uint32_t length) {
  if (length > kMaxOffset - position) {
    SetLastError(kErrorInvalidParameter);
    return false;
  }
  return true;
}

// A lock range must start at an offset and end within 64 bits; it may run
// past the largest offset (it then locks to the end of all offsets). A zero
// length locks nothing on Windows but would be a range that can never be
// unlocked elsewhere, so it is refused everywhere.
inline bool LockRangeIsValid(uint64_t offset, uint64_t length) {
  if (length == 0 || offset > uint64_t(kMaxOffset) ||
      length - 1 > std::numeric_limits<uint64_t>::max() - offset) {
    SetLastError(kErrorInvalidParameter);
    return false;
  }
  return true;
}

}  // namespace ledra::platform::files
