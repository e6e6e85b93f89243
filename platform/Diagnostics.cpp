// Call counters, armed faults and armed deaths. Counting is lock-free; arming
// and firing take one mutex, and a call checks it only while something is
// armed.
#include "platform/Diagnostics.h"

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdlib>
#include <mutex>

#include "platform/WinError.h"
#ifdef _WIN32
#include "platform/win32/WindowsApi.h"
#endif

namespace ledra::platform {
namespace {

constexpr size_t kKinds = static_cast<size_t>(OsCall::kCount);

struct Fault {
  uint32_t error = kErrorSuccess;
  uint64_t passing = 0;  // calls still let through before the first failure
  int remaining = 0;     // calls still to fail; the fault is armed while above 0
};

struct Death {
  uint64_t passing = 0;  // calls still let through before the death
  int exitCode = 0;
  bool armed = false;
};

struct State {
  std::array<std::atomic<uint64_t>, kKinds> counts{};
  // Number of kinds with a fault armed: the fast path skips the mutex when 0.
  std::atomic<int> armedKinds{0};
  // Number of kinds with a death armed, likewise.
  std::atomic<int> armedDeaths{0};
  std::mutex faultMutex;
  std::array<Fault, kKinds> faults{};
  std::array<Death, kKinds> deaths{};
};

State& Diagnostics() {
  static State state;
  return state;
}

size_t Index(OsCall call) {
  size_t index = static_cast<size_t>(call);
  return index < kKinds ? index : kKinds - 1;
}

}  // namespace

uint64_t CallCount(OsCall call) {
  if (call == OsCall::kCount) return 0;
  return Diagnostics().counts[Index(call)].load(std::memory_order_relaxed);
}

void ResetCallCounts() {
  for (auto& count : Diagnostics().counts) count.store(0, std::memory_order_relaxed);
}

void FailNext(OsCall call, uint32_t winError, int times) {
  FailNth(call, 1, winError, times);
}

void FailNth(OsCall call, uint64_t n, uint32_t winError, int times) {
  if (call == OsCall::kCount) return;
  State& state = Diagnostics();
  std::lock_guard<std::mutex> guard(state.faultMutex);
  Fault& fault = state.faults[Index(call)];
  bool wasArmed = fault.remaining > 0;
  fault.error = winError;
  fault.passing = n > 0 ? n - 1 : 0;
  fault.remaining = n > 0 && times > 0 ? times : 0;
  bool isArmed = fault.remaining > 0;
  if (isArmed && !wasArmed) state.armedKinds.fetch_add(1);
  if (!isArmed && wasArmed) state.armedKinds.fetch_sub(1);
}

bool FaultPending(OsCall call) {
  if (call == OsCall::kCount) return false;
  State& state = Diagnostics();
  std::lock_guard<std::mutex> guard(state.faultMutex);
  return state.faults[Index(call)].remaining > 0;
}

void ClearFaults() {
  State& state = Diagnostics();
  std::lock_guard<std::mutex> guard(state.faultMutex);
  for (Fault& fault : state.faults) fault = Fault{};
  state.armedKinds.store(0);
  for (Death& death : state.deaths) death = Death{};
  state.armedDeaths.store(0);
}

void ExitAtNth(OsCall call, uint64_t n, int exitCode) {
  if (call == OsCall::kCount) return;
  State& state = Diagnostics();
  std::lock_guard<std::mutex> guard(state.faultMutex);
  Death& death = state.deaths[Index(call)];
  const bool wasArmed = death.armed;
  death.passing = n > 0 ? n - 1 : 0;
  death.exitCode = exitCode;
  death.armed = n > 0;
  if (death.armed && !wasArmed) state.armedDeaths.fetch_add(1);
  if (!death.armed && wasArmed) state.armedDeaths.fetch_sub(1);
}

bool ExitPending(OsCall call) {
  if (call == OsCall::kCount) return false;
  State& state = Diagnostics();
  std::lock_guard<std::mutex> guard(state.faultMutex);
  return state.deaths[Index(call)].armed;
}

bool CountCallAndCheckFault(OsCall call) {
  if (call == OsCall::kCount) return false;
  State& state = Diagnostics();
  state.counts[Index(call)].fetch_add(1, std::memory_order_relaxed);
  if (state.armedKinds.load() == 0 && state.armedDeaths.load() == 0) return false;
  std::lock_guard<std::mutex> guard(state.faultMutex);
  Death& death = state.deaths[Index(call)];
  if (death.armed) {
    if (death.passing > 0) {
      --death.passing;
    } else {
      // As if the program were killed here: no flush of any stream, no
      // destructors, no exit handlers; the call itself never happens.
#ifdef _WIN32
      // The Windows C run-time's _Exit still writes out buffered streams.
      ::TerminateProcess(::GetCurrentProcess(), static_cast<UINT>(death.exitCode));
#endif
      std::_Exit(death.exitCode);
    }
  }
  Fault& fault = state.faults[Index(call)];
  if (fault.remaining <= 0) return false;
  if (fault.passing > 0) {
    --fault.passing;
    return false;
  }
  if (--fault.remaining == 0) state.armedKinds.fetch_sub(1);
  SetLastError(fault.error);
  return true;
}

}  // namespace ledra::platform
