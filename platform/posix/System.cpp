// Threads, time and random numbers on POSIX.
#include "platform/System.h"

#include <unistd.h>

#include <chrono>
#include <ctime>
#include <random>
#include <thread>

namespace ledra::platform {

uint32_t CurrentThreadId() {
  return static_cast<uint32_t>(::gettid());
}

void SleepMs(uint32_t milliseconds) {
  std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

uint32_t TickCount() {
  auto elapsed = std::chrono::steady_clock::now().time_since_epoch();
  auto milliseconds = std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count();
  return static_cast<uint32_t>(static_cast<uint64_t>(milliseconds));
}

double NowDateTime() {
  using namespace std::chrono;
  auto now = system_clock::now();
  std::time_t seconds = system_clock::to_time_t(now);
  std::tm local{};
  ::localtime_r(&seconds, &local);
  // The wall-clock date and time of the local zone, counted from 30 December
  // 1899 (day 0); the fraction is the part of the day gone by.
  auto date = year_month_day{year{local.tm_year + 1900}, month{unsigned(local.tm_mon + 1)},
                             day{unsigned(local.tm_mday)}};
  constexpr auto kEpoch = year_month_day{year{1899}, December, day{30}};
  double days = (sys_days{date} - sys_days{kEpoch}).count();
  auto subsecond = duration_cast<milliseconds>(now.time_since_epoch()).count() % 1000;
  if (subsecond < 0) subsecond += 1000;
  double milliseconds =
      ((local.tm_hour * 60.0 + local.tm_min) * 60.0 + local.tm_sec) * 1000.0 + double(subsecond);
  return days + milliseconds / 86400000.0;
}

uint32_t RandomBelow(uint32_t range) {
  if (range == 0) return 0;
  static std::mutex mutex;
  static std::mt19937 generator(
      static_cast<uint32_t>(std::chrono::high_resolution_clock::now().time_since_epoch().count()));
  std::lock_guard<std::mutex> guard(mutex);
  return std::uniform_int_distribution<uint32_t>(0, range - 1)(generator);
}

}  // namespace ledra::platform
