#include "platform/System.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <ctime>
#include <set>
#include <thread>

namespace ledra::platform {
namespace {

TEST(SystemTest, ThreadIdsAndTicks) {
#ifndef _WIN32
  EXPECT_EQ(CurrentThreadId(), static_cast<uint32_t>(::getpid()));  // the main thread
#endif
  uint32_t other = 0;
  std::thread([&] { other = CurrentThreadId(); }).join();
  EXPECT_NE(other, CurrentThreadId());

  uint32_t before = TickCount();
  SleepMs(20);
  uint32_t elapsed = TickCount() - before;  // correct across the wrap as well
  EXPECT_GE(elapsed, 20u);
  EXPECT_LT(elapsed, 5000u);
}

TEST(SystemTest, NowCountsLocalDaysFrom30December1899) {
  std::time_t now = std::time(nullptr);
  std::tm local{};
  // 1 January 1970 is day 25569; the local zone's offset moves the wall clock.
#ifdef _WIN32
  ::localtime_s(&local, &now);
  double expected = 25569.0 + double(::_mkgmtime(&local)) / 86400.0;
#else
  ::localtime_r(&now, &local);
  double expected = 25569.0 + double(now + local.tm_gmtoff) / 86400.0;
#endif
  EXPECT_NEAR(NowDateTime(), expected, 5.0 / 86400.0);
}

TEST(SystemTest, RandomNumbersStayBelowTheRange) {
  EXPECT_EQ(RandomBelow(0), 0u);
  EXPECT_EQ(RandomBelow(1), 0u);
  std::set<uint32_t> seen;
  for (int i = 0; i < 400; ++i) {
    uint32_t value = RandomBelow(4);
    ASSERT_LT(value, 4u);
    seen.insert(value);
  }
  EXPECT_EQ(seen.size(), 4u);
  uint32_t large = RandomBelow(65535);
  EXPECT_LT(large, 65535u);
}

}  // namespace
}  // namespace ledra::platform
