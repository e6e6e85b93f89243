// Counters of operating-system calls and injected faults, for tests.
//
// Every platform call of a counted kind increments its counter before it runs.
// A test may arm a fault: the next `times` calls of that kind fail with the
// given Windows error, without reaching the operating system.
#pragma once

#include <cstdint>

namespace ledra::platform {

enum class OsCall {
  Open,
  Create,
  Read,
  Write,
  Seek,
  SetEnd,
  Flush,
  Lock,
  Unlock,
  Attributes,
  Remove,
  Rename,
  kCount
};

uint64_t CallCount(OsCall call);
void ResetCallCounts();

void FailNext(OsCall call, uint32_t winError, int times = 1);
void ClearFaults();

// For implementations: counts the call and answers whether an armed fault
// applies; when it does, the last error is already set to the fault's error.
bool CountCallAndCheckFault(OsCall call);

}  // namespace ledra::platform
