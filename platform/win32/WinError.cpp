// The last error of each thread. The codes are the system's own and pass
// through unchanged, but the value is kept apart from the system's last error:
// the run-time library and the thread library make system calls of their own
// (taking a mutex, ending a thread) that may overwrite the system's value
// between a failed call and the caller reading it.
#include "platform/WinError.h"

#include "platform/win32/Win32Error.h"
#include "platform/win32/WindowsApi.h"

namespace ledra::platform {
namespace {

thread_local uint32_t lastError = kErrorSuccess;

}  // namespace

uint32_t GetLastError() {
  return lastError;
}

void SetLastError(uint32_t error) {
  lastError = error;
}

uint32_t KeepSystemError() {
  lastError = ::GetLastError();
  return lastError;
}

}  // namespace ledra::platform
