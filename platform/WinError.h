// Operating-system error codes as the engine sees them.
//
// The engine was written against Windows and maps failures from the Windows
// last-error value (see the file layer's error table). Every platform
// implementation reports its failures in these codes, so that the mapping
// above this layer stays the same on every system.
#pragma once

#include <cstdint>

namespace ledra::platform {

enum WinError : uint32_t {
  kErrorSuccess = 0,
  kErrorFileNotFound = 2,
  kErrorPathNotFound = 3,
  kErrorTooManyOpenFiles = 4,
  kErrorAccessDenied = 5,
  kErrorInvalidHandle = 6,
  kErrorNotEnoughMemory = 8,
  kErrorInvalidDrive = 15,
  kErrorNotSameDevice = 17,
  kErrorWriteFault = 29,
  kErrorReadFault = 30,
  kErrorGenFailure = 31,
  kErrorSharingViolation = 32,
  kErrorLockViolation = 33,
  kErrorHandleDiskFull = 39,
  kErrorNetworkAccessDenied = 65,
  kErrorFileExists = 80,
  kErrorInvalidParameter = 87,
  kErrorDiskFull = 112,
  kErrorInvalidName = 123,
  kErrorNegativeSeek = 131,
  kErrorNotLocked = 158,
  kErrorAlreadyExists = 183,
  kErrorIoDevice = 1117,
};

// The calling thread's last error, set by every failing platform call.
uint32_t GetLastError();
void SetLastError(uint32_t error);

}  // namespace ledra::platform
