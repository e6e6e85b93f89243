// Starting programs from tests on Windows: the table utility as a user runs
// it (LedraRunner.h), and this test program again. Windows has no fork: a
// test that needs a second process starts this program again with only one
// of its tests selected, and tells the new process by an environment variable
// what part it plays; the second processes of the sharing tests
// (ChildProcess.h) and the dying children of the death matrix start so.
#pragma once

#ifdef _WIN32
#include "platform/win32/WindowsApi.h"

#include <cstring>
#include <initializer_list>
#include <optional>
#include <string>
#include <vector>

namespace ledra::test {

// Every environment variable that makes this program a second process of some
// kind; a started program gets only the one its starter sets.
inline constexpr std::initializer_list<const char*> kRoleVariables = {"OSTREVO_TEST_CHILD",
                                                                      "OSTREVO_DEATH_CHILD"};

// CreateProcessA, tried three times: Wine now and then refuses a start that
// the next attempt makes. False, with the last error in `error`, when every
// attempt failed; the started thread's handle is closed.
inline bool StartProcess(const char* program, std::string& command, void* environment,
                         STARTUPINFOA& startup, PROCESS_INFORMATION& started, DWORD& error) {
  for (int attempt = 0; attempt < 3; ++attempt) {
    if (attempt > 0) ::Sleep(200);
    if (::CreateProcessA(program, command.data(), nullptr, nullptr, TRUE, 0, environment, nullptr,
                         &startup, &started)) {
      ::CloseHandle(started.hThread);
      started.hThread = nullptr;
      return true;
    }
    error = ::GetLastError();
  }
  return false;
}

struct TStartedAgain {
  HANDLE Process = nullptr;
  DWORD ProcessId = 0;
};

// Starts this program again running only `testName` (Suite.Test), with the
// environment of this process apart from what would make its GoogleTest
// filter, shard or report differently and apart from any role, plus
// `variable=value`. Its standard input and output are the null device (its
// output would only repeat GoogleTest's lines); its standard error is ours, so
// why it failed reaches the test's log. Handles marked inheritable reach it.
// None, with the reason in `error`, when it could not be started.
inline std::optional<TStartedAgain> StartTestProgramAgain(const std::string& testName,
                                                          const std::string& variable,
                                                          const std::string& value,
                                                          std::string& error) {
  char program[32768];
  const DWORD length = ::GetModuleFileNameA(nullptr, program, sizeof program);
  if (length == 0 || length >= sizeof program) {
    error = "no name of the test program: " + std::to_string(::GetLastError());
    return std::nullopt;
  }
  std::string command =
      "\"" + std::string(program, length) + "\" \"--gtest_filter=" + testName + "\"";
  if (testName.find("DISABLED_") != std::string::npos)
    command += " --gtest_also_run_disabled_tests";

  std::vector<char> environment;
  auto startsWith = [](const char* entry, const std::string& prefix) {
    return _strnicmp(entry, prefix.c_str(), prefix.size()) == 0;
  };
  if (char* strings = ::GetEnvironmentStringsA()) {
    for (const char* entry = strings; *entry != '\0'; entry += std::strlen(entry) + 1) {
      bool dropped = startsWith(entry, "GTEST_");
      for (const char* role : kRoleVariables)
        dropped = dropped || startsWith(entry, std::string(role) + "=");
      if (!dropped) environment.insert(environment.end(), entry, entry + std::strlen(entry) + 1);
    }
    ::FreeEnvironmentStringsA(strings);
  }
  const std::string own = variable + "=" + value;
  environment.insert(environment.end(), own.begin(), own.end());
  environment.push_back('\0');
  environment.push_back('\0');

  SECURITY_ATTRIBUTES inherited{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  HANDLE nothing =
      ::CreateFileA("NUL", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                    &inherited, OPEN_EXISTING, 0, nullptr);
  HANDLE errors = nullptr;
  HANDLE ours = ::GetStdHandle(STD_ERROR_HANDLE);
  if (ours == nullptr || ours == INVALID_HANDLE_VALUE ||
      !::DuplicateHandle(::GetCurrentProcess(), ours, ::GetCurrentProcess(), &errors, 0, TRUE,
                         DUPLICATE_SAME_ACCESS)) {
    errors = nullptr;
  }
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = nothing;
  startup.hStdOutput = nothing;
  startup.hStdError = errors != nullptr ? errors : nothing;

  std::optional<TStartedAgain> started;
  PROCESS_INFORMATION info{};
  DWORD refused = 0;
  if (StartProcess(program, command, environment.data(), startup, info, refused)) {
    started = TStartedAgain{info.hProcess, info.dwProcessId};
  } else {
    error = "CreateProcess failed with " + std::to_string(refused);
  }
  for (HANDLE handle : {nothing, errors}) {
    if (handle != nullptr && handle != INVALID_HANDLE_VALUE) ::CloseHandle(handle);
  }
  return started;
}

}  // namespace ledra::test

#endif  // _WIN32
