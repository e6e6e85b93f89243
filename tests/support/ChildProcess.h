// A second process for tests of sharing between programs: it runs `body` in
// step with the test, numbers and texts going both ways over a socket pair.
//
// Nothing the test waits for can hang the suite. Every wait on the test's
// side has a deadline; a child that sends nothing in time, or does not end in
// time once the test lets it go, is killed, and the test fails saying which.
// A child that throws, dies of a signal or exits with a status other than 0
// fails the test too. The child's own waits end as soon as the test lets it
// go (`Finish`, or the object going) or the test process dies.
//
// The child inherits the parent's descriptors, so a file the parent opened
// before the fork is the same open file in both. Fork the child before the
// test opens any table file: the child then starts with an empty file
// registry and opens its own, competing handles.
//
// On Windows there is no fork: a child would have to be this test program
// started again in the child's role, which is not done yet. There, making a
// child skips the test, saying why, and ends it at once (the test's objects
// are destroyed as usual); nothing after that point runs.
#pragma once

#include <gtest/gtest.h>

#ifdef _WIN32

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

namespace ledra::test {

class TChildProcess {
 public:
  using Body = std::function<void(TChildProcess& self)>;
  using TDeadline = std::chrono::milliseconds;

  static constexpr TDeadline kDeadline{10000};
  static constexpr TDeadline kChildDeadline{300000};

  static constexpr const char* kSkipReason =
      "needs a second process, and the test helper starts one only by fork, which Windows lacks";

  // Records the skip and ends the test: GoogleTest takes an AssertionException
  // as the end of a test whose result is already recorded.
  explicit TChildProcess(const Body&) {
    ::testing::internal::AssertHelper(::testing::TestPartResult::kSkip, __FILE__, __LINE__,
                                      kSkipReason) = ::testing::Message();
    throw ::testing::AssertionException(::testing::TestPartResult(::testing::TestPartResult::kSkip,
                                                                  __FILE__, __LINE__, kSkipReason));
  }
  TChildProcess(const TChildProcess&) = delete;
  TChildProcess& operator=(const TChildProcess&) = delete;

  bool Started() const { return false; }
  pid_t Pid() const { return -1; }
  void Send(uint32_t) {}
  void SendText(const std::string&) {}
  std::optional<uint32_t> Receive(TDeadline = TDeadline(-1)) { return std::nullopt; }
  std::optional<std::string> ReceiveText(TDeadline = TDeadline(-1)) { return std::nullopt; }
  bool Finish(TDeadline = kDeadline) { return false; }
};

}  // namespace ledra::test

#else  // not _WIN32

#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <exception>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <utility>

#include "platform/System.h"

namespace ledra::test {

class TChildProcess {
 public:
  using Body = std::function<void(TChildProcess& self)>;
  using TDeadline = std::chrono::milliseconds;

  // How long the test waits for a message or for the child's end, unless it
  // says otherwise.
  static constexpr TDeadline kDeadline{10000};
  // How long the child waits for the test: long, since the test may work
  // for a while between messages, and the child's waits end anyway when the
  // test lets it go or dies.
  static constexpr TDeadline kChildDeadline{300000};

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
      fd_ = ends[1];
      child_ = true;
      RunChild(body);
    }
    ::close(ends[1]);
    fd_ = ends[0];
  }

  // Lets the child go if the test has not, as `Finish` does.
  ~TChildProcess() {
    if (pid_ > 0) Finish();
    if (fd_ >= 0) ::close(fd_);
  }
  TChildProcess(const TChildProcess&) = delete;
  TChildProcess& operator=(const TChildProcess&) = delete;

  bool Started() const { return startedPid_ > 0 || child_; }
  // The child's process id while it runs (on the test's side), else -1.
  pid_t Pid() const { return pid_; }

  // Either side: a number, or a text, to the other side. When the other
  // side has gone, nothing is sent; the next receive says so.
  void Send(uint32_t value) {
    uint8_t bytes[4];
    std::memcpy(bytes, &value, 4);
    SendFrame(kNumber, bytes, 4);
  }
  void SendText(const std::string& text) { SendFrame(kText, text.data(), text.size()); }

  // Either side: the next number, or text. On the test's side, anything but
  // the message asked for in time fails the test and answers none; the child
  // is killed when it overran the deadline. On the child's side none means
  // the test has let it go (or the wait was longer than the deadline).
  std::optional<uint32_t> Receive(TDeadline deadline = kDefault) {
    std::optional<std::string> payload = ReceiveFrame(kNumber, deadline);
    if (!payload) return std::nullopt;
    uint32_t value;
    std::memcpy(&value, payload->data(), 4);
    return value;
  }
  std::optional<std::string> ReceiveText(TDeadline deadline = kDefault) {
    return ReceiveFrame(kText, deadline);
  }

  // The test's side: lets the child go (its waits end) and waits until it has
  // ended, at most `deadline`; true when it ended normally. A child that is
  // still running then is killed; either way a fault fails the test.
  bool Finish(TDeadline deadline = kDeadline) {
    if (child_ || pid_ <= 0) return false;
    ::shutdown(fd_, SHUT_WR);
    std::optional<int> status = WaitForEnd(deadline);
    if (!status) {
      Kill();
      Report("did not end within " + std::to_string(deadline.count()) +
             " ms after the test let it go; killed");
      return false;
    }
    if (WIFEXITED(*status) && WEXITSTATUS(*status) == 0) return true;
    if (WIFEXITED(*status) && WEXITSTATUS(*status) == kThrewStatus) {
      // The child's last message says what it threw, if the test has not
      // read it yet.
      std::optional<std::string> threw;
      while (std::optional<TFrame> frame = ReadFrame(TDeadline(0))) {
        if (frame->kind == kThrew) threw = frame->payload;
      }
      Report("threw: " + threw.value_or("(reported before)"));
      return false;
    }
    Report(DescribeEnd(*status));
    return false;
  }

 private:
  enum TKind : uint8_t { kNumber = 1, kText = 2, kThrew = 3 };
  struct TFrame {
    TKind kind;
    std::string payload;
  };
  static constexpr TDeadline kDefault{-1};  // the side's own default
  static constexpr int kThrewStatus = 3;
  static constexpr uint32_t kMaxText = 1u << 24;

  [[noreturn]] void RunChild(const Body& body) {
    // The child starts with the parent's random state; two real programs
    // start with their own, so the child's numbers move on.
    for (int i = 0; i < 101; ++i) platform::RandomBelow(65535);
    int status = 0;
    try {
      body(*this);
    } catch (const std::exception& error) {
      SendFrame(kThrew, error.what(), std::strlen(error.what()));
      status = kThrewStatus;
    } catch (...) {
      const char kUnknown[] = "an exception that is no std::exception";
      SendFrame(kThrew, kUnknown, sizeof kUnknown - 1);
      status = kThrewStatus;
    }
    // No destructors of the parent's objects and no test-suite teardown;
    // files close with the process.
    ::_exit(status);
  }

  bool SendFrame(TKind kind, const void* data, size_t length) {
    if (fd_ < 0 || broken_) return false;
    uint8_t head[5] = {kind};
    const uint32_t size = uint32_t(length);
    std::memcpy(head + 1, &size, 4);
    return WriteAll(head, sizeof head) && WriteAll(data, length);
  }

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

  std::optional<std::string> ReceiveFrame(TKind wanted, TDeadline deadline) {
    if (deadline == kDefault) deadline = child_ ? kChildDeadline : kDeadline;
    if (fd_ < 0 || broken_) return std::nullopt;
    bool timedOut = false;
    std::optional<TFrame> frame = ReadFrame(deadline, &timedOut);
    if (child_) {
      if (frame && frame->kind == wanted) return std::move(frame->payload);
      return std::nullopt;
    }
    if (!frame && timedOut) {
      Kill();
      Report("sent nothing within " + std::to_string(deadline.count()) + " ms; killed");
    } else if (!frame) {
      std::optional<int> status = WaitForEnd(kDeadline);
      if (!status) Kill();
      Report("ended without answering (" +
             (status ? DescribeEnd(*status) : std::string("it did not end either; killed")) + ")");
    } else if (frame->kind == kThrew) {
      if (!WaitForEnd(kDeadline)) Kill();
      Report("threw: " + frame->payload);
    } else if (frame->kind != wanted) {
      Report(std::string("sent a ") + (frame->kind == kText ? "text" : "number") +
             " where the test expected a " + (wanted == kText ? "text" : "number"));
    } else {
      return std::move(frame->payload);
    }
    return std::nullopt;
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
    if ((kind != kNumber && kind != kText && kind != kThrew) || size > kMaxText ||
        (kind == kNumber && size != 4)) {
      return std::nullopt;
    }
    TFrame frame{kind, std::string(size, '\0')};
    if (!ReadAll(frame.payload.data(), size, until, timedOut)) return std::nullopt;
    return frame;
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

  // The child's wait status once it has ended, none if it has not within the
  // deadline. The child is reaped: its id is no longer this object's.
  std::optional<int> WaitForEnd(TDeadline deadline) {
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

  static std::string DescribeEnd(int status) {
    if (WIFSIGNALED(status)) {
      return "died of signal " + std::to_string(WTERMSIG(status)) + " (" +
             strsignal(WTERMSIG(status)) + ")";
    }
    return "exited with status " + std::to_string(WEXITSTATUS(status));
  }

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
  int fd_ = -1;
  bool child_ = false;
  bool broken_ = false;  // no more messages either way
  bool reported_ = false;
};

}  // namespace ledra::test

#endif  // not _WIN32
