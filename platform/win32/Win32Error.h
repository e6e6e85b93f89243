// For the Win32 implementations only: taking over the system's last error.
#pragma once

#include <cstdint>

namespace ledra::platform {

// Makes the system's last error, left by the call that has just failed, the
// platform's own (WinError.h), and returns it. Every failure path calls it
// right after the failing system call.
uint32_t KeepSystemError();

}  // namespace ledra::platform
