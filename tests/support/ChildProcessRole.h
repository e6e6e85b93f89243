// Which role this test program plays: the test itself, or (on Windows, which
// has no fork) a second process of one of its tests. A test that makes a
// child there starts this program again with only that test selected; the
// test runs from its start in the new process, and its n-th TChildProcess
// runs the child's body (tests/support/ChildProcess.h).
//
// What the test does before that point therefore runs twice. The test's
// temporary directories are the parent's in the child (the n-th TempDir made
// in the test is the parent's n-th, neither created nor removed), and a test
// that writes files before making its children asks IsChildProcess() to
// leave that to the parent.
//
// No GoogleTest here: TempDir.h includes this and is used by tests that do
// not link it. ChildProcess.h says how the current test is known.
#pragma once

#ifdef _WIN32
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>
#endif

namespace ledra::test {

#ifdef _WIN32

namespace child_role {

// The environment variable that makes a started program a child:
// "<index>|<read end>|<write end>|<directory>|<directory>...".
inline constexpr const char* kVariable = "OSTREVO_TEST_CHILD";

struct TRole {
  int index = -1;            // the how-manieth TChildProcess of the test this one is
  uintptr_t readEnd = 0;     // channel handles, inherited from the parent
  uintptr_t writeEnd = 0;
  std::vector<std::filesystem::path> dirs;  // the parent's TempDirs of the test, in order
  bool reached = false;      // the child's own TChildProcess has been made
  std::string failures;      // what failed in the test before that
};

inline std::optional<TRole> ParseRole(const std::string& value) {
  std::vector<std::string> parts;
  size_t start = 0;
  for (;;) {
    const size_t bar = value.find('|', start);
    parts.push_back(value.substr(start, bar - start));
    if (bar == std::string::npos) break;
    start = bar + 1;
  }
  if (parts.size() < 3) return std::nullopt;
  TRole role;
  char* end = nullptr;
  role.index = int(std::strtol(parts[0].c_str(), &end, 10));
  if (*end != '\0' || role.index < 0) return std::nullopt;
  role.readEnd = uintptr_t(std::strtoull(parts[1].c_str(), &end, 10));
  if (*end != '\0') return std::nullopt;
  role.writeEnd = uintptr_t(std::strtoull(parts[2].c_str(), &end, 10));
  if (*end != '\0') return std::nullopt;
  for (size_t i = 3; i < parts.size(); ++i) role.dirs.emplace_back(parts[i]);
  return role;
}

// This process's role as a child, none when it is the test itself.
inline TRole* Role() {
  static TRole* role = []() -> TRole* {
    const char* value = std::getenv(kVariable);
    if (value == nullptr || *value == '\0') return nullptr;
    std::optional<TRole> parsed = ParseRole(value);
    return parsed ? new TRole(*parsed) : nullptr;
  }();
  return role;
}

// Set by ChildProcess.h: an identity of the test now running, null outside
// tests.
inline const void* (*currentTest)() = nullptr;

// What the current test has made so far.
struct TTestRecord {
  const void* test = nullptr;
  int children = 0;                          // TChildProcess objects
  int dirsTaken = 0;                         // the child's TempDirs
  std::vector<std::filesystem::path> dirs;   // the parent's TempDirs
};

inline TTestRecord& CurrentTest() {
  static TTestRecord record;
  const void* test = currentTest != nullptr ? currentTest() : nullptr;
  if (test != record.test) {
    record = TTestRecord();
    record.test = test;
  }
  return record;
}

inline bool InsideATest() { return currentTest != nullptr && currentTest() != nullptr; }

// The child's side: the parent's directory for the TempDir being made, none
// when there is no such one (it makes its own then).
inline std::optional<std::filesystem::path> TakeParentDir() {
  TRole* role = Role();
  if (role == nullptr || !InsideATest()) return std::nullopt;
  const size_t taken = size_t(CurrentTest().dirsTaken++);
  if (taken < role->dirs.size()) return role->dirs[taken];
  return std::nullopt;
}

// The parent's side: a TempDir it made, for its children to take.
inline void NoteDir(const std::filesystem::path& dir) {
  if (Role() != nullptr || !InsideATest()) return;
  CurrentTest().dirs.push_back(dir);
}

}  // namespace child_role

// True in a test program started again as a test's second process; such a
// process must not write what the test's own process already wrote.
inline bool IsChildProcess() { return child_role::Role() != nullptr; }

#else  // not _WIN32

// A forked child runs nothing of the test again.
inline bool IsChildProcess() { return false; }

#endif  // not _WIN32

}  // namespace ledra::test
