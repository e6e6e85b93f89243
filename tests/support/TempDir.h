// A temporary directory for one test, removed with everything in it.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <random>
#include <string>
#include <string_view>

#include "tests/support/ChildProcessRole.h"

namespace ledra::test {

class TempDir {
 public:
  TempDir() {
#ifdef _WIN32
    // A test's second process works in the test's own directory.
    if (std::optional<std::filesystem::path> parents = child_role::TakeParentDir()) {
      path_ = *parents;
      borrowed_ = true;
      return;
    }
    // No mkdtemp: try fresh random names until one can be made.
    std::random_device seed;
    const auto now = std::chrono::steady_clock::now().time_since_epoch().count();
    std::mt19937_64 random(seed() ^ uint64_t(now));
    for (int attempt = 0; attempt < 100 && path_.empty(); ++attempt) {
      std::filesystem::path candidate = std::filesystem::temp_directory_path() /
                                        ("ostrevo-test-" + std::to_string(random() % 1000000000));
      std::error_code error;
      if (std::filesystem::create_directory(candidate, error)) path_ = candidate;
    }
    child_role::NoteDir(path_);
#else
    std::string pattern = (std::filesystem::temp_directory_path() / "ostrevo-test-XXXXXX").string();
    if (char* made = ::mkdtemp(pattern.data())) path_ = made;
#endif
  }
  ~TempDir() {
    if (borrowed_) return;  // the test's own process removes it
    std::error_code ignored;
    std::filesystem::permissions(path_, std::filesystem::perms::owner_all,
                                 std::filesystem::perm_options::add, ignored);
    std::filesystem::remove_all(path_, ignored);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::filesystem::path& Path() const { return path_; }
  // The full name of a file in this directory.
  std::string File(std::string_view name) const { return (path_ / name).string(); }

  // Writes a file with the given bytes and returns its full name.
  std::string Write(std::string_view name, std::string_view bytes) const {
    std::string full = File(name);
    std::ofstream(full, std::ios::binary).write(bytes.data(), std::streamsize(bytes.size()));
    return full;
  }

 private:
  std::filesystem::path path_;
  bool borrowed_ = false;
};

}  // namespace ledra::test
