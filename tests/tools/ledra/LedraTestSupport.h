// Running the built `ledra` binary as a user would: arguments, standard input,
// and the exit code, standard output and standard error it leaves.
#pragma once

#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern char** environ;

namespace ledra::test {

struct TLedraRun {
  int Exit = -1;
  std::string Out;
  std::string Err;
};

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

inline std::string ReadFile(const std::string& name) {
  std::ifstream file(name, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(file), {});
}

inline void WriteFile(const std::string& name, const std::string& bytes) {
  std::ofstream(name, std::ios::binary | std::ios::trunc) << bytes;
}

// Lines of a text, without their line ends.
inline std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(start, end - start);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(line);
    start = end + 1;
  }
  return lines;
}

}  // namespace ledra::test
