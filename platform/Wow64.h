// Whether this process runs under the 64-bit Windows compatibility layer for
// 32-bit programs (WOW64); the answer chooses which view of the registry holds
// the settings of 32-bit programs.
#pragma once

namespace ledra::platform {

enum class TWow64Answer {
  NotFound,    // the system has no way to ask (no IsWow64Process)
  CallFailed,  // asking failed
  Wow64,       // a 32-bit process on 64-bit Windows
  Native,      // not under WOW64
};

// Probes afresh on every call. Outside Windows the answer is NotFound.
TWow64Answer ProbeWow64Process();

}  // namespace ledra::platform
