// Threads, time and random numbers.
#pragma once

#include <cstdint>
#include <mutex>

namespace ledra::platform {

// A critical section: re-entrant for the thread that holds it.
using CriticalSection = std::recursive_mutex;

uint32_t CurrentThreadId();
void SleepMs(uint32_t milliseconds);
// Milliseconds since an arbitrary start, wrapping at 2^32.
uint32_t TickCount();
// The local date and time as the component layer counts it: days since
// 30 December 1899, the fraction being the time of day.
double NowDateTime();
// A pseudo-random number in [0, range); 0 when range is 0. Seeded from the
// clock once per process.
uint32_t RandomBelow(uint32_t range);

}  // namespace ledra::platform
