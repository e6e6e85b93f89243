// Whether the test runs under Wine rather than Windows itself. Wine does what
// Windows does in nearly everything the engine asks, but its collation is its
// own: comparisons recorded on Windows that Wine orders otherwise are skipped
// there, never changed to Wine's answer.
#pragma once

#ifdef _WIN32
#include "platform/win32/WindowsApi.h"
#endif

namespace ledra::test {

inline bool RunningUnderWine() {
#ifdef _WIN32
  HMODULE ntdll = ::GetModuleHandleA("ntdll.dll");
  return ntdll != nullptr && ::GetProcAddress(ntdll, "wine_get_version") != nullptr;
#else
  return false;
#endif
}

}  // namespace ledra::test
