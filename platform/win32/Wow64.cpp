// The WOW64 probe: kernel32 is asked at run time, since Windows versions
// before XP SP2 have no IsWow64Process and a direct import would keep the
// program from starting there at all.
#include "platform/Wow64.h"

#include "platform/win32/WindowsApi.h"

namespace ledra::platform {

TWow64Answer ProbeWow64Process() {
  using TIsWow64Process = BOOL(WINAPI*)(HANDLE, PBOOL);
  HMODULE kernel = ::GetModuleHandleA("kernel32");
  if (kernel == nullptr) return TWow64Answer::NotFound;
  auto isWow64Process = reinterpret_cast<TIsWow64Process>(
      reinterpret_cast<void*>(::GetProcAddress(kernel, "IsWow64Process")));
  if (isWow64Process == nullptr) return TWow64Answer::NotFound;
  BOOL wow64 = FALSE;
  if (!isWow64Process(::GetCurrentProcess(), &wow64)) return TWow64Answer::CallFailed;
  return wow64 ? TWow64Answer::Wow64 : TWow64Answer::Native;
}

}  // namespace ledra::platform
