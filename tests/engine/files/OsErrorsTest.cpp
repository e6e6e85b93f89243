#include "engine/files/OsErrors.h"

#include <gtest/gtest.h>

#include "platform/WinError.h"

namespace ledra {
namespace {

TEST(OsErrors, EveryWindowsErrorOfTheTableGivesItsEngineError) {
  struct Case {
    uint32_t winError;
    TEngineErrorCode engineError;
  };
  const Case cases[] = {
      {2, LEDRA_OSENOENT},  {3, LEDRA_OSENOENT},   {4, LEDRA_OSEMFILE}, {5, LEDRA_OSEACCES},
      {32, LEDRA_OSEACCES}, {65, LEDRA_OSEACCES},  {6, LEDRA_OSEBADF},  {8, LEDRA_OSENOMEM},
      {15, LEDRA_OSENODEV}, {17, LEDRA_OSENOTSAM},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(EngineErrorForWinError(c.winError), c.engineError) << "Windows error " << c.winError;
  }
  EXPECT_EQ(LEDRA_OSENOENT, 11010);
  EXPECT_EQ(LEDRA_OSEACCES, 11013);
  EXPECT_EQ(LEDRA_OSENOTSAM, 11025);
}

TEST(OsErrors, AnyOtherErrorIsUnknown) {
  for (uint32_t other : {0u, 1u, 7u, 29u, 30u, 33u, 39u, 87u, 112u, 183u, 0xFFFFFFFFu}) {
    EXPECT_EQ(EngineErrorForWinError(other), LEDRA_OSUNKNOWN) << "Windows error " << other;
  }
}

TEST(OsErrors, LastErrorResultIsTheNegatedEngineError) {
  platform::SetLastError(platform::kErrorSharingViolation);
  EXPECT_EQ(LastOsErrorResult(), -11013);
  platform::SetLastError(platform::kErrorPathNotFound);
  EXPECT_EQ(LastOsErrorResult(), -11010);
}

}  // namespace
}  // namespace ledra
