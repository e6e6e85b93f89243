// Operating-system failures as engine errors.
//
// Every failing operating-system call is turned into an engine error right
// away, from the calling thread's last error (a Windows error code on every
// platform, see platform/WinError.h), by the one table below.
#pragma once

#include <cstdint>

#include "engine/errors/EngineError.h"

namespace ledra {

// The engine error of a Windows error code; LEDRA_OSUNKNOWN for any code the
// table does not name.
TEngineErrorCode EngineErrorForWinError(uint32_t winError);

// The engine error of the calling thread's last error, negated: the form in
// which the file registry reports a failure.
int32_t LastOsErrorResult();

}  // namespace ledra
