// Tests that look at a table file's bytes from outside the engine while the
// engine has it open. Elsewhere that always works; Windows refuses a second
// open of a file held exclusively (a table opened exclusively, or a file just
// created, until it closes), so such a look cannot be had there and the test
// ends as skipped, saying why, instead of comparing against nothing.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

namespace ledra::test {

// Ends the test as skipped when `path` is a file that cannot be opened for
// reading (Windows only: there that means it is held exclusively).
inline void SkipWhereHeldExclusively(const std::string& path) {
#ifdef _WIN32
  std::error_code ignored;
  if (!std::filesystem::is_regular_file(path, ignored) || std::ifstream(path, std::ios::binary)) {
    return;
  }
  const std::string reason =
      "looks at " + path + " from outside while it is held exclusively, which Windows refuses";
  ::testing::internal::AssertHelper(::testing::TestPartResult::kSkip, __FILE__, __LINE__,
                                    reason.c_str()) = ::testing::Message();
  throw ::testing::AssertionException(::testing::TestPartResult(
      ::testing::TestPartResult::kSkip, __FILE__, __LINE__, reason.c_str()));
#else
  (void)path;
#endif
}

}  // namespace ledra::test
