// A second process for tests of sharing between programs: it runs `body` in
// step with the test, numbers and texts going both ways over a channel.
//
// Nothing the test waits for can hang the suite. Every wait on the test's
// side has a deadline; a child that sends nothing in time, or does not end in
// time once the test lets it go, is killed, and the test fails saying which.
// A child that throws, dies of a signal or exits with a status other than 0
// fails the test too. The child's own waits end as soon as the test lets it
// go (`Finish`, or the object going) or the test process dies.
//
// On POSIX the child is forked and talks over a socket pair. It inherits the
// parent's descriptors, so a file the parent opened before the fork is the
// same open file in both. Fork the child before the test opens any table
// file: the child then starts with an empty file registry and opens its own,
// competing handles.
//
// Windows has no fork: there the child is this test program started again
// with only the current test selected, talking over two anonymous pipes
// (tests/support/ChildProcessRole.h). The test runs from its start in the new
// process; the n-th TChildProcess made there runs `body` and ends the
// process, earlier ones do nothing. Its constructor returns in the test only
// once the child has reached its body, so nothing the child runs again races
// the test. Make children before the test writes or opens anything, as above;
// setup that writes files is the parent's alone (IsChildProcess()). What
// fails in the child before it reaches its body fails the test, saying so.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <exception>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <utility>

#ifdef _WIN32
#include <sys/types.h>

#include "tests/support/StartProcess.h"

#include <cstdio>
#include <cstdlib>
#include <vector>
#else
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#endif

#include "platform/System.h"
#include "tests/support/ChildProcessRole.h"

namespace ledra::test {

// One end of the channel between a test and its child: whole messages
// (frames) of a kind and a payload, with deadlines on reading.
class TChildChannel {
 public:
  enum TKind : uint8_t { kNumber = 1, kText = 2, kThrew = 3, kReady = 4 };
  struct TFrame {
    TKind kind;
    std::string payload;
  };
  using TDeadline = std::chrono::milliseconds;
  static constexpr uint32_t kMaxText = 1u << 24;

  TChildChannel() = default;
  TChildChannel(const TChildChannel&) = delete;
  TChildChannel& operator=(const TChildChannel&) = delete;
  ~TChildChannel() { Close(); }

#ifdef _WIN32
  void Open(HANDLE readEnd, HANDLE writeEnd) {
    read_ = readEnd;
    write_ = writeEnd;
  }
  bool IsOpen() const { return read_ != nullptr; }
  // Tells the other side that nothing more comes; it can still answer.
  void CloseWrite() {
    if (write_ != nullptr) ::CloseHandle(write_);
    write_ = nullptr;
  }
  void Close() {
    CloseWrite();
    if (read_ != nullptr) ::CloseHandle(read_);
    read_ = nullptr;
  }
#else
  void Open(int fd) { fd_ = fd; }
  bool IsOpen() const { return fd_ >= 0; }
  void CloseWrite() {
    if (fd_ >= 0) ::shutdown(fd_, SHUT_WR);
  }
  void Close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }
#endif

  bool SendFrame(TKind kind, const void* data, size_t length) {
    if (!IsOpen()) return false;
    uint8_t head[5] = {kind};
    const uint32_t size = uint32_t(length);
    std::memcpy(head + 1, &size, 4);
    return WriteAll(head, sizeof head) && WriteAll(data, length);
  }

  // The next whole frame; none when the deadline passes first (`timedOut`
  // set) or the other side has gone or sent nonsense.
  std::optional<TFrame> ReadFrame(TDeadline deadline, bool* timedOut = nullptr) {
    const auto until = std::chrono::steady_clock::now() + deadline;
    uint8_t head[5];
    if (!ReadAll(head, sizeof head, until, timedOut)) return std::nullopt;
    uint32_t size;
    std::memcpy(&size, head + 1, 4);
    const TKind kind = TKind(head[0]);
    if ((kind != kNumber && kind != kText && kind != kThrew && kind != kReady) ||
        size > kMaxText || (kind == kNumber && size != 4)) {
      return std::nullopt;
    }
    TFrame frame{kind, std::string(size, '\0')};
    if (!ReadAll(frame.payload.data(), size, until, timedOut)) return std::nullopt;
    return frame;
  }

 private:
#ifdef _WIN32
  bool WriteAll(const void* data, size_t length) {
    const char* bytes = static_cast<const char*>(data);
    while (length > 0) {
      if (write_ == nullptr) return false;
      DWORD sent = 0;
      const DWORD chunk = DWORD(std::min<size_t>(length, 1u << 16));
      // A side that has gone makes the write fail (a broken pipe).
      if (!::WriteFile(write_, bytes, chunk, &sent, nullptr) || sent == 0) return false;
      bytes += sent;
      length -= sent;
    }
    return true;
  }

  // Anonymous pipes have no waiting with a deadline: look at what is there
  // until it is enough or the time is up.
  bool ReadAll(void* data, size_t length, std::chrono::steady_clock::time_point until,
               bool* timedOut) {
    char* bytes = static_cast<char*>(data);
    while (length > 0) {
      if (read_ == nullptr) return false;
      DWORD available = 0;
      if (!::PeekNamedPipe(read_, nullptr, 0, nullptr, &available, nullptr)) {
        return false;  // the other side has gone and everything it sent is read
      }
      if (available == 0) {
        if (std::chrono::steady_clock::now() >= until) {
          if (timedOut != nullptr) *timedOut = true;
          return false;
        }
        ::Sleep(1);
        continue;
      }
      DWORD got = 0;
      const DWORD want = DWORD(std::min<size_t>(length, available));
      if (!::ReadFile(read_, bytes, want, &got, nullptr) || got == 0) return false;
      bytes += got;
      length -= got;
    }
    return true;
  }

  HANDLE read_ = nullptr;
  HANDLE write_ = nullptr;
#else
  bool WriteAll(const void* data, size_t length) {
    const char* bytes = static_cast<const char*>(data);
    while (length > 0) {
      // MSG_NOSIGNAL: a child that has gone makes the send fail instead of
      // ending the test program with SIGPIPE.
      ssize_t sent = ::send(fd_, bytes, length, MSG_NOSIGNAL);
      if (sent < 0 && errno == EINTR) continue;
      if (sent <= 0) return false;
      bytes += sent;
      length -= size_t(sent);
    }
    return true;
  }

  bool ReadAll(void* data, size_t length, std::chrono::steady_clock::time_point until,
               bool* timedOut) {
    char* bytes = static_cast<char*>(data);
    while (length > 0) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          until - std::chrono::steady_clock::now());
      pollfd ready{fd_, POLLIN, 0};
      const int polled = ::poll(&ready, 1, int(std::max<int64_t>(left.count(), 0)));
      if (polled < 0 && errno == EINTR) continue;
      if (polled == 0) {
        if (timedOut != nullptr) *timedOut = true;
        return false;
      }
      if (polled < 0) return false;
      const ssize_t got = ::recv(fd_, bytes, length, 0);
      if (got < 0 && errno == EINTR) continue;
      if (got <= 0) return false;
      bytes += got;
      length -= size_t(got);
    }
    return true;
  }

  int fd_ = -1;
#endif
};

class TChildProcess {
 public:
  using Body = std::function<void(TChildProcess& self)>;
  using TDeadline = std::chrono::milliseconds;

  // How long the test waits for a message or for the child's end, unless it
  // says otherwise. Longer on Windows: under Wine every lock and file call is
  // a request to one shared server process, which a busy machine (a parallel
  // build beside the tests) can hold up for many seconds.
#ifdef _WIN32
  static constexpr TDeadline kDeadline{60000};
#else
  static constexpr TDeadline kDeadline{10000};
#endif
  // How long the child waits for the test: long, since the test may work
  // for a while between messages, and the child's waits end anyway when the
  // test lets it go or dies.
  static constexpr TDeadline kChildDeadline{300000};
  // How long a started program may take to reach the child's body (Windows):
  // it starts up and runs the test's setup again first.
  static constexpr TDeadline kStartDeadline{120000};
  // The exit status of a child that threw.
  static constexpr int kThrewStatus = 3;

#ifdef _WIN32
  explicit TChildProcess(const Body& body) {
    const int index = child_role::CurrentTest().children++;
    if (child_role::TRole* role = child_role::Role()) {
      // An earlier child of the test: the test's process started it, and
      // it runs in a process of its own.
      if (index < role->index) {
        startedElsewhere_ = true;
        return;
      }
      child_ = true;
      channel_.Open(HANDLE(role->readEnd), HANDLE(role->writeEnd));
      role->reached = true;
      if (!role->failures.empty()) {
        EndChild("the test failed in the child's process before it made child " +
                 std::to_string(index + 1) + ":" + role->failures);
      }
      channel_.SendFrame(TChildChannel::kReady, "", 0);
      RunChild(body);
    }
    Start(index);
  }
#else
  explicit TChildProcess(const Body& body) {
    int ends[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, ends) != 0) {
      ADD_FAILURE() << "no socket pair for a child process: " << std::strerror(errno);
      return;
    }
    pid_ = ::fork();
    if (pid_ < 0) {
      ADD_FAILURE() << "no child process: " << std::strerror(errno);
      ::close(ends[0]);
      ::close(ends[1]);
      return;
    }
    startedPid_ = pid_;
    if (pid_ == 0) {
      ::close(ends[0]);
      channel_.Open(ends[1]);
      child_ = true;
      RunChild(body);
    }
    ::close(ends[1]);
    channel_.Open(ends[0]);
  }
#endif

  // Lets the child go if the test has not, as `Finish` does.
  ~TChildProcess() {
    if (pid_ > 0) Finish();
  }
  TChildProcess(const TChildProcess&) = delete;
  TChildProcess& operator=(const TChildProcess&) = delete;

  bool Started() const { return startedPid_ > 0 || child_ || startedElsewhere_; }
  // The child's process id while it runs (on the test's side), else -1.
  pid_t Pid() const { return pid_; }

  // Either side: a number, or a text, to the other side. When the other
  // side has gone, nothing is sent; the next receive says so.
  void Send(uint32_t value) {
    uint8_t bytes[4];
    std::memcpy(bytes, &value, 4);
    SendFrame(TChildChannel::kNumber, bytes, 4);
  }
  void SendText(const std::string& text) {
    SendFrame(TChildChannel::kText, text.data(), text.size());
  }

  // Either side: the next number, or text. On the test's side, anything but
  // the message asked for in time fails the test and answers none; the child
  // is killed when it overran the deadline. On the child's side none means
  // the test has let it go (or the wait was longer than the deadline).
  std::optional<uint32_t> Receive(TDeadline deadline = kDefault) {
    std::optional<std::string> payload = ReceiveFrame(TChildChannel::kNumber, deadline);
    if (!payload) return std::nullopt;
    uint32_t value;
    std::memcpy(&value, payload->data(), 4);
    return value;
  }
  std::optional<std::string> ReceiveText(TDeadline deadline = kDefault) {
    return ReceiveFrame(TChildChannel::kText, deadline);
  }

  // The test's side: lets the child go (its waits end) and waits until it has
  // ended, at most `deadline`; true when it ended normally. A child that is
  // still running then is killed; either way a fault fails the test.
  bool Finish(TDeadline deadline = kDeadline) {
    if (child_ || pid_ <= 0) return false;
    channel_.CloseWrite();
    std::optional<TEnd> status = WaitForEnd(deadline);
    if (!status) {
      Kill();
      Report("did not end within " + std::to_string(deadline.count()) +
             " ms after the test let it go; killed");
      return false;
    }
    if (ExitedWith(*status, 0)) return true;
    if (ExitedWith(*status, kThrewStatus)) {
      // The child's last message says what it threw, if the test has not
      // read it yet.
      std::optional<std::string> threw;
      while (std::optional<TChildChannel::TFrame> frame = channel_.ReadFrame(TDeadline(0))) {
        if (frame->kind == TChildChannel::kThrew) threw = frame->payload;
      }
      if (threw || threwSeen_) {
        Report("threw: " + threw.value_or("(reported before)"));
        return false;
      }
    }
    Report(DescribeEnd(*status));
    return false;
  }

 private:
  using TKind = TChildChannel::TKind;
  static constexpr TDeadline kDefault{-1};  // the side's own default
#ifdef _WIN32
  using TEnd = DWORD;  // the exit code
#else
  using TEnd = int;  // the wait status
#endif

  [[noreturn]] void RunChild(const Body& body) {
#ifndef _WIN32
    // The child starts with the parent's random state; two real programs
    // start with their own, so the child's numbers move on.
    for (int i = 0; i < 101; ++i) platform::RandomBelow(65535);
#endif
    int status = 0;
    try {
      body(*this);
    } catch (const std::exception& error) {
      SendFrame(TChildChannel::kThrew, error.what(), std::strlen(error.what()));
      status = kThrewStatus;
    } catch (...) {
      const char kUnknown[] = "an exception that is no std::exception";
      SendFrame(TChildChannel::kThrew, kUnknown, sizeof kUnknown - 1);
      status = kThrewStatus;
    }
    // No destructors of the parent's objects and no test-suite teardown;
    // files close with the process.
    ::_exit(status);
  }

  bool SendFrame(TKind kind, const void* data, size_t length) {
    if (broken_) return false;
    return channel_.SendFrame(kind, data, length);
  }

  static const char* KindName(TKind kind) {
    switch (kind) {
      case TChildChannel::kNumber:
        return "number";
      case TChildChannel::kText:
        return "text";
      case TChildChannel::kReady:
        return "start signal";
      default:
        return "fault";
    }
  }

  std::optional<std::string> ReceiveFrame(TKind wanted, TDeadline deadline) {
    if (deadline == kDefault) deadline = child_ ? kChildDeadline : kDeadline;
    if (!channel_.IsOpen() || broken_) return std::nullopt;
    bool timedOut = false;
    std::optional<TChildChannel::TFrame> frame = channel_.ReadFrame(deadline, &timedOut);
    if (child_) {
      if (frame && frame->kind == wanted) return std::move(frame->payload);
      return std::nullopt;
    }
    if (!frame && timedOut) {
      Kill();
      Report("sent nothing within " + std::to_string(deadline.count()) + " ms; killed");
    } else if (!frame) {
      std::optional<TEnd> status = WaitForEnd(kDeadline);
      if (!status) Kill();
      Report("ended without answering (" +
             (status ? DescribeEnd(*status) : std::string("it did not end either; killed")) + ")");
    } else if (frame->kind == TChildChannel::kThrew) {
      threwSeen_ = true;
      if (!WaitForEnd(kDeadline)) Kill();
      Report("threw: " + frame->payload);
    } else if (frame->kind != wanted) {
      Report(std::string("sent a ") + KindName(frame->kind) + " where the test expected a " +
             KindName(wanted));
    } else {
      return std::move(frame->payload);
    }
    return std::nullopt;
  }

#ifdef _WIN32
  // Starts this program again as child `index` of the current test and waits
  // until it has reached its body.
  void Start(int index) {
    const ::testing::TestInfo* test = ::testing::UnitTest::GetInstance()->current_test_info();
    if (test == nullptr) {
      ADD_FAILURE() << "a child process is made only inside a test";
      return;
    }
    // The parent's ends are not inherited; the child's ends are, and only by
    // this child, since the parent closes them once it is started.
    HANDLE toChild[2] = {};
    HANDLE fromChild[2] = {};
    if (!::CreatePipe(&toChild[0], &toChild[1], nullptr, 0) ||
        !::CreatePipe(&fromChild[0], &fromChild[1], nullptr, 0)) {
      ADD_FAILURE() << "no pipes for a child process: " << ::GetLastError();
      for (HANDLE handle : {toChild[0], toChild[1], fromChild[0], fromChild[1]}) {
        if (handle != nullptr) ::CloseHandle(handle);
      }
      return;
    }
    ::SetHandleInformation(toChild[0], HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT);
    ::SetHandleInformation(fromChild[1], HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT);

    std::string role = std::to_string(index) + "|" +
                       std::to_string(uintptr_t(toChild[0])) + "|" +
                       std::to_string(uintptr_t(fromChild[1]));
    for (const std::filesystem::path& dir : child_role::CurrentTest().dirs) {
      role += "|" + dir.string();
    }
    std::string error;
    const std::optional<TStartedAgain> started = StartTestProgramAgain(
        std::string(test->test_suite_name()) + "." + test->name(), child_role::kVariable, role,
        error);
    ::CloseHandle(toChild[0]);
    ::CloseHandle(fromChild[1]);
    channel_.Open(fromChild[0], toChild[1]);
    if (!started) {
      channel_.Close();
      ADD_FAILURE() << "no child process: " << error;
      return;
    }
    process_ = started->Process;
    pid_ = pid_t(started->ProcessId);
    startedPid_ = pid_;
    ReceiveFrame(TChildChannel::kReady, kStartDeadline);
  }

  // The child's side, before its body: ends the process, saying why.
  [[noreturn]] void EndChild(const std::string& why) {
    channel_.SendFrame(TChildChannel::kThrew, why.data(), why.size());
    ::_exit(kThrewStatus);
  }

  std::optional<TEnd> WaitForEnd(TDeadline deadline) {
    if (process_ == nullptr) return std::nullopt;
    const DWORD waited = ::WaitForSingleObject(process_, DWORD(std::max<int64_t>(deadline.count(), 0)));
    if (waited != WAIT_OBJECT_0) {
      if (waited == WAIT_TIMEOUT) return std::nullopt;
      Release();  // not ours to wait for any more
      return std::nullopt;
    }
    DWORD code = 0;
    ::GetExitCodeProcess(process_, &code);
    Release();
    return code;
  }

  void Kill() {
    if (process_ != nullptr) {
      ::TerminateProcess(process_, kKilledStatus);
      ::WaitForSingleObject(process_, DWORD(kDeadline.count()));
      Release();
    }
    broken_ = true;
  }

  void Release() {
    ::CloseHandle(process_);
    process_ = nullptr;
    pid_ = -1;
  }

  static bool ExitedWith(TEnd status, int code) { return status == DWORD(code); }

  static std::string DescribeEnd(TEnd status) {
    if (status >= 0xC0000000u) {
      char code[16];
      std::snprintf(code, sizeof code, "0x%08lX", static_cast<unsigned long>(status));
      return std::string("died of exception ") + code;
    }
    return "exited with status " + std::to_string(status);
  }

  static constexpr UINT kKilledStatus = 0x7F;
  HANDLE process_ = nullptr;
#else
  // The child's wait status once it has ended, none if it has not within the
  // deadline. The child is reaped: its id is no longer this object's.
  std::optional<TEnd> WaitForEnd(TDeadline deadline) {
    if (pid_ <= 0) return std::nullopt;
    const auto until = std::chrono::steady_clock::now() + deadline;
    for (;;) {
      int status = 0;
      const pid_t ended = ::waitpid(pid_, &status, WNOHANG);
      if (ended == pid_) {
        pid_ = -1;
        return status;
      }
      if (ended < 0 && errno != EINTR) {  // not ours to wait for any more
        pid_ = -1;
        return std::nullopt;
      }
      if (std::chrono::steady_clock::now() >= until) return std::nullopt;
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
  }

  void Kill() {
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      while (::waitpid(pid_, nullptr, 0) < 0 && errno == EINTR) {
      }
      pid_ = -1;
    }
    broken_ = true;
  }

  static bool ExitedWith(TEnd status, int code) {
    return WIFEXITED(status) && WEXITSTATUS(status) == code;
  }

  static std::string DescribeEnd(TEnd status) {
    if (WIFSIGNALED(status)) {
      return "died of signal " + std::to_string(WTERMSIG(status)) + " (" +
             strsignal(WTERMSIG(status)) + ")";
    }
    return "exited with status " + std::to_string(WEXITSTATUS(status));
  }
#endif

  // Fails the test, once per child: what follows the first fault is its
  // consequence. No further messages are read or sent.
  void Report(const std::string& what) {
    broken_ = true;
    if (reported_) return;
    reported_ = true;
    ADD_FAILURE() << "child process " << startedPid_ << " " << what;
  }

  pid_t pid_ = -1;         // while the child runs (the test's side)
  pid_t startedPid_ = -1;  // for messages
  TChildChannel channel_;
  bool child_ = false;
  bool broken_ = false;     // no more messages either way
  bool reported_ = false;
  bool threwSeen_ = false;  // the child's fault has been read
  bool startedElsewhere_ = false;  // in a child's process: an earlier child of the test
};

#ifdef _WIN32
namespace child_role {

// In a started child: keeps what fails in the test before the child's body,
// and ends the process, saying so, if the test ends without reaching it.
class TChildListener : public ::testing::EmptyTestEventListener {
  void OnTestPartResult(const ::testing::TestPartResult& result) override {
    TRole* role = Role();
    if (role->reached || !result.failed()) return;
    role->failures += std::string("\n") + (result.file_name() ? result.file_name() : "") + ":" +
                      std::to_string(result.line_number()) + ": " + result.summary();
  }
  void OnTestEnd(const ::testing::TestInfo& test) override {
    Abandon("the test " + std::string(test.test_suite_name()) + "." + test.name() +
            " ended in the child's process before it made child " +
            std::to_string(Role()->index + 1) + (test.result()->Skipped() ? " (skipped)" : ""));
  }
  void OnTestProgramEnd(const ::testing::UnitTest&) override {
    Abandon("the child's process ran no test that made child " +
            std::to_string(Role()->index + 1));
  }

  static void Abandon(const std::string& why) {
    TRole* role = Role();
    if (role->reached) return;
    const std::string text = why + role->failures;
    TChildChannel channel;
    channel.Open(HANDLE(role->readEnd), HANDLE(role->writeEnd));
    channel.SendFrame(TChildChannel::kThrew, text.data(), text.size());
    ::_exit(TChildProcess::kThrewStatus);
  }
};

inline const void* RunningTest() { return ::testing::UnitTest::GetInstance()->current_test_info(); }

inline bool Install() {
  currentTest = &RunningTest;
  if (Role() != nullptr) {
    ::testing::UnitTest::GetInstance()->listeners().Append(new TChildListener);
  }
  return true;
}

// Before main, so that the child watches the test from its start.
inline const bool kInstalled = Install();

}  // namespace child_role
#endif  // _WIN32

}  // namespace ledra::test
