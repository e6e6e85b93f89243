// Threads, time and random numbers on Windows.
#include "platform/System.h"

#include <chrono>
#include <random>

#include "platform/win32/WindowsApi.h"

namespace ledra::platform {

uint32_t CurrentThreadId() {
  return ::GetCurrentThreadId();
}

void SleepMs(uint32_t milliseconds) {
  ::Sleep(milliseconds);
}

uint32_t TickCount() {
  // Not GetTickCount: it advances in steps of 10 to 16 ms, so a wait of 20 ms
  // could read as 15. The performance counter behind steady_clock is exact.
  auto elapsed = std::chrono::steady_clock::now().time_since_epoch();
  auto milliseconds = std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count();
  return static_cast<uint32_t>(static_cast<uint64_t>(milliseconds));
}

double NowDateTime() {
  SYSTEMTIME local;
  ::GetLocalTime(&local);
  // The wall-clock date and time of the local zone, counted from 30 December
  // 1899 (day 0); the fraction is the part of the day gone by.
  using namespace std::chrono;
  auto date = year_month_day{year{local.wYear}, month{local.wMonth}, day{local.wDay}};
  constexpr auto kEpoch = year_month_day{year{1899}, December, day{30}};
  double days = (sys_days{date} - sys_days{kEpoch}).count();
  double milliseconds =
      ((local.wHour * 60.0 + local.wMinute) * 60.0 + local.wSecond) * 1000.0 + local.wMilliseconds;
  return days + milliseconds / 86400000.0;
}

uint32_t RandomBelow(uint32_t range) {
  if (range == 0) return 0;
  static std::mutex mutex;
  // The process id goes into the seed as well: two programs started in the
  // same clock tick must not draw the same read-lock bytes.
  static std::mt19937 generator(
      static_cast<uint32_t>(std::chrono::high_resolution_clock::now().time_since_epoch().count()) ^
      (::GetCurrentProcessId() * 2654435761u));
  std::lock_guard<std::mutex> guard(mutex);
  return std::uniform_int_distribution<uint32_t>(0, range - 1)(generator);
}

}  // namespace ledra::platform
