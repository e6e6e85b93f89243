#include "platform/WinError.h"

#include <gtest/gtest.h>

#include <thread>

namespace ledra::platform {
namespace {

TEST(WinErrorTest, LastErrorBelongsToTheThread) {
  SetLastError(kErrorLockViolation);
  uint32_t seen = 1;
  std::thread other([&] {
    seen = GetLastError();
    SetLastError(kErrorAccessDenied);
  });
  other.join();
  EXPECT_EQ(seen, kErrorSuccess);
  EXPECT_EQ(GetLastError(), kErrorLockViolation);
}

}  // namespace
}  // namespace ledra::platform
