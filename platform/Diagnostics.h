// Counters of operating-system calls and injected faults, for tests.
//
// Every platform call of a counted kind increments its counter before it runs.
// A test may arm a fault for a kind: counting from the moment it is armed,
// the calls before the n-th pass, then `times` calls fail with the given
// Windows error without reaching the operating system. Failing the n-th call
// lets a test walk through every write of one operation: run it once to
// count its writes, then run it again for each n with that write failing.
//
// A test may instead arm a death: the n-th call of a kind, counted the same
// way, ends the process with `_exit` just before it would reach the
// operating system. Nothing is flushed and no destructor or exit handler
// runs, so the files are left exactly as a program killed at that point
// leaves them: every earlier call done, this one and all later ones not.
// Meant for a forked child that the test then examines from outside.
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

// The next `times` calls of the kind fail; `times` 0 disarms the kind.
void FailNext(OsCall call, uint32_t winError, int times = 1);
// The n-th call of the kind from now (1: the next) and the `times` - 1 after
// it fail; n 0 or `times` 0 disarms the kind. Arming a kind again replaces
// what was armed for it.
void FailNth(OsCall call, uint64_t n, uint32_t winError, int times = 1);
// Whether a fault armed for the kind has still to fail a call.
bool FaultPending(OsCall call);
void ClearFaults();

// The n-th call of the kind from now (1: the next) ends the process with
// `_exit(exitCode)` instead of running; n 0 disarms the kind. Arming a kind
// again replaces what was armed for it; ClearFaults disarms every death too.
// Deaths and faults are armed apart and count the same calls: a death armed
// at a call that a fault would fail ends the process first.
void ExitAtNth(OsCall call, uint64_t n, int exitCode);
// Whether a death armed for the kind has still to come.
bool ExitPending(OsCall call);

// For implementations, called right before the call would reach the
// operating system: counts the call, ends the process when a death armed for
// it is due, and answers whether an armed fault applies; when it does, the
// last error is already set to the fault's error.
bool CountCallAndCheckFault(OsCall call);

}  // namespace ledra::platform
