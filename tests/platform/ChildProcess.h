// A second process for sharing tests: it runs one action, reports its result
// and keeps whatever the action opened until the test releases it.
//
// The child inherits the parent's descriptors, so a file the parent opened
// before the fork is the same open file in both; tests let the child open its
// own files after the fork, which makes them new, competing opens.
#pragma once

#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/File.h"
#include "platform/WinError.h"

namespace ledra::test {

class ChildProcess {
 public:
  using Files = std::vector<std::unique_ptr<platform::File>>;
  // Returns 0 on success or the Windows error of what failed.
  using Action = std::function<uint32_t(Files& keep)>;

  explicit ChildProcess(const Action& action) {
    int result[2], release[2];
    if (::pipe(result) != 0 || ::pipe(release) != 0) return;
    pid_ = ::fork();
    if (pid_ == 0) {
      ::close(result[0]);
      ::close(release[1]);
      Files keep;
      uint32_t code = action(keep);
      (void)!::write(result[1], &code, sizeof code);
      char ignored;
      (void)!::read(release[0], &ignored, 1);  // ends when the parent closes its side
      ::_exit(0);                              // no destructors: the files close with the process
    }
    ::close(result[1]);
    ::close(release[0]);
    releaseFd_ = release[1];
    if (pid_ > 0 && ::read(result[0], &result_, sizeof result_) != sizeof result_)
      result_ = kNoResult;
    ::close(result[0]);
  }
  ~ChildProcess() { Release(); }
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  uint32_t Result() const { return result_; }

  // Lets the child exit and waits until it has; its files are closed then.
  void Release() {
    if (releaseFd_ >= 0) ::close(releaseFd_);
    releaseFd_ = -1;
    if (pid_ > 0) ::waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }

  static constexpr uint32_t kNoResult = 0xFFFFFFFF;

 private:
  pid_t pid_ = -1;
  int releaseFd_ = -1;
  uint32_t result_ = kNoResult;
};

// An action that opens `name` and, when `length` is not 0, locks a range of it.
inline ChildProcess::Action OpenAndLock(std::string name, platform::OpenOptions options,
                                        uint64_t offset = 0, uint64_t length = 0) {
  return [=](ChildProcess::Files& keep) -> uint32_t {
    auto file = platform::OpenOsFile(name, options);
    if (!file) return platform::GetLastError();
    if (length != 0 && !file->Lock(offset, length)) return platform::GetLastError();
    keep.push_back(std::move(file));
    return 0;
  };
}

}  // namespace ledra::test
