// Call counters and armed faults. Counting is lock-free; arming and firing a
// fault take one mutex, and a call checks it only while a fault is armed.
#include "platform/Diagnostics.h"

#include <array>
#include <atomic>
#include <cstddef>
#include <mutex>

#include "platform/WinError.h"

namespace ledra::platform {
namespace {

constexpr size_t kKinds = static_cast<size_t>(OsCall::kCount);

struct Fault {
  uint32_t error = kErrorSuccess;
  uint64_t passing = 0;  // calls still let through before the first failure
  int remaining = 0;     // calls still to fail; the fault is armed while above 0
};

struct State {
  std::array<std::atomic<uint64_t>, kKinds> counts{};
  // Number of kinds with a fault armed: the fast path skips the mutex when 0.
  std::atomic<int> armedKinds{0};
  std::mutex faultMutex;
  std::array<Fault, kKinds> faults{};
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
}

bool CountCallAndCheckFault(OsCall call) {
  if (call == OsCall::kCount) return false;
  State& state = Diagnostics();
  state.counts[Index(call)].fetch_add(1, std::memory_order_relaxed);
  if (state.armedKinds.load() == 0) return false;
  std::lock_guard<std::mutex> guard(state.faultMutex);
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
