// Translation of errno values into the Windows error codes that the engine
// maps (WinError.h). Only the POSIX implementation includes this header.
#pragma once

#include <cstdint>
#include <string>

namespace ledra::platform {

// The Windows code for an errno value; values without a Windows counterpart
// give codes that the engine reports as an unknown operating-system error.
uint32_t WinErrorFromErrno(int error);

// Sets the last error from an errno value and returns the Windows code.
uint32_t SetLastErrorFromErrno(int error);

// Sets the last error for a failed lookup of `name`: ENOENT becomes "path not
// found" when the containing directory is missing, "file not found" otherwise.
uint32_t SetLastErrorForName(const std::string& name, int error);

}  // namespace ledra::platform
