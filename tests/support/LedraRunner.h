// Running the built `ledra` binary as a user would: arguments, standard input,
// and the exit code, standard output and standard error it leaves. No shell
// between: arguments reach it as given, on Windows through CreateProcess.
// The including target defines LEDRA_BINARY, the full name of the binary.
#pragma once

#ifdef _WIN32
#include <thread>

#include "tests/support/StartProcess.h"
#else
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;
#endif

#include <chrono>
#include <cstring>
#include <string>
#include <vector>

namespace ledra::test {

struct TLedraRun {
  int Exit = -1;
  std::string Out;
  std::string Err;
};

#ifdef _WIN32

// One argument quoted as the C run-time library splits a command line.
inline std::string QuotedArgument(const std::string& arg) {
  if (!arg.empty() && arg.find_first_of(" \t\n\v\"") == std::string::npos) return arg;
  std::string quoted = "\"";
  size_t backslashes = 0;
  for (char c : arg) {
    if (c == '\\') {
      ++backslashes;
      continue;
    }
    quoted.append(c == '"' ? backslashes * 2 + 1 : backslashes, '\\');
    backslashes = 0;
    quoted += c;
  }
  quoted.append(backslashes * 2, '\\');
  return quoted + '"';
}

// Runs `ledra` with the arguments, feeding `input` to its standard input.
// A run that takes longer than five minutes is ended (Exit stays -1): only a
// hang takes that long, also under Wine on a busy machine.
inline TLedraRun RunLedra(const std::vector<std::string>& args, const std::string& input = {}) {
  TLedraRun run;
  SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  HANDLE in[2], out[2], err[2];  // read end, write end
  if (!::CreatePipe(&in[0], &in[1], &inherit, 0)) return run;
  if (!::CreatePipe(&out[0], &out[1], &inherit, 0)) return run;
  if (!::CreatePipe(&err[0], &err[1], &inherit, 0)) return run;
  // The test's own ends stay with the test.
  for (HANDLE own : {in[1], out[0], err[0]}) ::SetHandleInformation(own, HANDLE_FLAG_INHERIT, 0);
  std::string command = QuotedArgument(LEDRA_BINARY);
  for (const std::string& arg : args) command += " " + QuotedArgument(arg);
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = in[0];
  startup.hStdOutput = out[1];
  startup.hStdError = err[1];
  PROCESS_INFORMATION process{};
  DWORD startError = 0;
  const bool started = StartProcess(nullptr, command, nullptr, startup, process, startError);
  for (HANDLE child : {in[0], out[1], err[1]}) ::CloseHandle(child);
  if (!started) {
    for (HANDLE own : {in[1], out[0], err[0]}) ::CloseHandle(own);
    run.Err = "ledra could not be started: system error " + std::to_string(startError) + "\n";
    return run;
  }
  // Feed the input while draining both outputs, so no pipe fills up.
  auto drain = [](HANDLE from, std::string* to) {
    char buffer[65536];
    DWORD got = 0;
    while (::ReadFile(from, buffer, sizeof buffer, &got, nullptr) && got > 0)
      to->append(buffer, got);
  };
  std::thread outReader(drain, out[0], &run.Out);
  std::thread errReader(drain, err[0], &run.Err);
  std::thread feeder([&input, to = in[1]] {
    size_t fed = 0;
    DWORD put = 0;
    while (fed < input.size() &&
           ::WriteFile(to, input.data() + fed, DWORD(input.size() - fed), &put, nullptr)) {
      fed += put;
    }
    ::CloseHandle(to);
  });
  DWORD waited = ::WaitForSingleObject(process.hProcess, 300000);
  // A wait that failed outright says nothing about the run: wait once more.
  if (waited == WAIT_FAILED) waited = ::WaitForSingleObject(process.hProcess, 300000);
  const DWORD waitError = waited == WAIT_FAILED ? ::GetLastError() : 0;
  const bool ended = waited == WAIT_OBJECT_0;
  if (!ended) {
    ::TerminateProcess(process.hProcess, 1);
    ::WaitForSingleObject(process.hProcess, INFINITE);
  }
  feeder.join();
  outReader.join();
  errReader.join();
  DWORD code = 0;
  if (ended && ::GetExitCodeProcess(process.hProcess, &code)) run.Exit = int(code);
  if (!ended) {
    run.Err += waited == WAIT_TIMEOUT
                   ? "ledra did not end within five minutes; ended\n"
                   : "waiting for ledra failed: system error " + std::to_string(waitError) + "\n";
  }
  for (HANDLE own : {out[0], err[0], process.hProcess}) ::CloseHandle(own);
  return run;
}

#else  // not _WIN32

// Runs `ledra` with the arguments, feeding `input` to its standard input.
// A run that takes longer than a minute is killed (Exit stays -1).
inline TLedraRun RunLedra(const std::vector<std::string>& args, const std::string& input = {}) {
  TLedraRun run;
  int in[2], out[2], err[2];
  if (::pipe(in) != 0 || ::pipe(out) != 0 || ::pipe(err) != 0) return run;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in[0], 0);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  posix_spawn_file_actions_adddup2(&actions, err[1], 2);
  for (int fd : {in[0], in[1], out[0], out[1], err[0], err[1]}) {
    posix_spawn_file_actions_addclose(&actions, fd);
  }
  std::vector<std::string> all{LEDRA_BINARY};
  all.insert(all.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& arg : all) argv.push_back(arg.data());
  argv.push_back(nullptr);
  pid_t pid = -1;
  int spawned = ::posix_spawn(&pid, LEDRA_BINARY, &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  ::close(in[0]);
  ::close(out[1]);
  ::close(err[1]);
  if (spawned != 0) {
    ::close(in[1]);
    ::close(out[0]);
    ::close(err[0]);
    return run;
  }
  // Feed the input while draining both outputs, so no pipe fills up.
  size_t fed = 0;
  if (input.empty()) {
    ::close(in[1]);
    in[1] = -1;
  }
  ::signal(SIGPIPE, SIG_IGN);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(1);
  bool outOpen = true, errOpen = true;
  char buffer[65536];
  while ((outOpen || errOpen) && std::chrono::steady_clock::now() < deadline) {
    pollfd fds[3] = {{out[0], short(outOpen ? POLLIN : 0), 0},
                     {err[0], short(errOpen ? POLLIN : 0), 0},
                     {in[1], short(in[1] >= 0 ? POLLOUT : 0), 0}};
    if (::poll(fds, 3, 1000) < 0) break;
    for (int i = 0; i < 2; ++i) {
      if (fds[i].revents == 0) continue;
      ssize_t got = ::read(fds[i].fd, buffer, sizeof buffer);
      if (got <= 0) {
        (i == 0 ? outOpen : errOpen) = false;
      } else {
        (i == 0 ? run.Out : run.Err).append(buffer, size_t(got));
      }
    }
    if (in[1] >= 0 && fds[2].revents != 0) {
      ssize_t put = ::write(in[1], input.data() + fed, input.size() - fed);
      if (put > 0) fed += size_t(put);
      if (put <= 0 || fed == input.size()) {
        ::close(in[1]);
        in[1] = -1;
      }
    }
  }
  if (in[1] >= 0) ::close(in[1]);
  ::close(out[0]);
  ::close(err[0]);
  int status = 0;
  if (outOpen || errOpen) {
    ::kill(pid, SIGKILL);
    ::waitpid(pid, &status, 0);
    return run;
  }
  ::waitpid(pid, &status, 0);
  run.Exit = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return run;
}

#endif  // not _WIN32

}  // namespace ledra::test
