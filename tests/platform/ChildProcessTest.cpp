// The second-process helper of the sharing tests: messages both ways, and
// every way a child can go wrong ends in a failed test within its deadline
// instead of a hung suite.
#include "tests/support/ChildProcess.h"

#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>

#include "tests/support/TempDir.h"

#ifdef _WIN32
#include "platform/win32/WindowsApi.h"
#else
#include <signal.h>

#include <cerrno>
#endif

namespace ledra::test {
namespace {

using namespace std::chrono_literals;
using TClock = std::chrono::steady_clock;

int64_t MillisecondsSince(TClock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(TClock::now() - start).count();
}

#ifdef _WIN32
bool Gone(pid_t pid) {
  HANDLE process = ::OpenProcess(SYNCHRONIZE, FALSE, DWORD(pid));
  if (process == nullptr) return true;
  const bool ended = ::WaitForSingleObject(process, 0) == WAIT_OBJECT_0;
  ::CloseHandle(process);
  return ended;
}

[[noreturn]] void Hang() {
  for (;;) ::Sleep(INFINITE);
}
#else
bool Gone(pid_t pid) {
  return ::kill(pid, 0) != 0 && errno == ESRCH;
}

[[noreturn]] void Hang() {
  for (;;) ::pause();
}
#endif

std::string Reversed(const std::string& text) {
  return std::string(text.rbegin(), text.rend());
}

TEST(ChildProcessTest, MessagesGoBothWaysAndTheChildEndsWhenLetGo) {
  TChildProcess child([](TChildProcess& self) {
    while (std::optional<uint32_t> number = self.Receive()) {
      std::optional<std::string> text = self.ReceiveText();
      if (!text) return;
      self.Send(*number + 1);
      self.SendText(Reversed(*text));
    }
    // The test has let it go: the wait above ended at once, not at its
    // deadline.
  });
  ASSERT_TRUE(child.Started());
  for (uint32_t n : {0u, 41u, 0xFFFFFFFEu}) {
    child.Send(n);
    child.SendText("Baoshan " + std::to_string(n));
    EXPECT_EQ(child.Receive(), n + 1);
    EXPECT_EQ(child.ReceiveText(), Reversed("Baoshan " + std::to_string(n)));
  }
  child.Send(7);
  child.SendText("");  // empty texts too
  EXPECT_EQ(child.Receive(), 8u);
  EXPECT_EQ(child.ReceiveText(), "");

  const TClock::time_point start = TClock::now();
  EXPECT_TRUE(child.Finish());
  EXPECT_LT(MillisecondsSince(start), 5000);
}

TEST(ChildProcessTest, ChildrenEndWhenLetGoWhileOthersStillRun) {
  // The second child inherits the test's end of the first one's channel; the
  // first must still see that the test has let it go.
  auto waitForRelease = [](TChildProcess& self) {
    self.Send(1);
    self.Receive();
  };
  TChildProcess first(waitForRelease);
  TChildProcess second(waitForRelease);
  ASSERT_EQ(first.Receive(), 1u);
  ASSERT_EQ(second.Receive(), 1u);
  const TClock::time_point start = TClock::now();
  EXPECT_TRUE(first.Finish(3s));
  EXPECT_LT(MillisecondsSince(start), 3000);
  EXPECT_FALSE(Gone(second.Pid()));
  EXPECT_TRUE(second.Finish(3s));
}

// Every child of a test is made before the first is used: on Windows each
// runs the test again up to its own making, and the earlier children are not
// there to answer.
TEST(ChildProcessTest, HungChildIsKilledAndReportedWithinTheDeadline) {
  TChildProcess child([](TChildProcess&) { Hang(); });
  // A child that does not end once let go is killed at the end's deadline.
  TChildProcess stubborn([](TChildProcess& self) {
    self.Send(1);
#ifndef _WIN32
    ::signal(SIGTERM, SIG_IGN);
#endif
    Hang();
  });

  pid_t pid = child.Pid();
  TClock::time_point start = TClock::now();
  EXPECT_NONFATAL_FAILURE(EXPECT_FALSE(child.Receive(200ms).has_value()),
                          "sent nothing within 200 ms; killed");
  EXPECT_LT(MillisecondsSince(start), 3000);
  EXPECT_TRUE(Gone(pid));
  // Nothing more is waited for or reported.
  child.Send(1);
  EXPECT_FALSE(child.Receive().has_value());
  EXPECT_FALSE(child.Finish());

  ASSERT_EQ(stubborn.Receive(), 1u);
  pid = stubborn.Pid();
  start = TClock::now();
  EXPECT_NONFATAL_FAILURE(EXPECT_FALSE(stubborn.Finish(200ms)),
                          "did not end within 200 ms after the test let it go; killed");
  EXPECT_LT(MillisecondsSince(start), 3000);
  EXPECT_TRUE(Gone(pid));
}

TEST(ChildProcessTest, FaultsOfTheChildFailTheTestSayingWhich) {
  TChildProcess threw([](TChildProcess&) { throw std::runtime_error("table not found"); });
  // Thrown after its last answer: reported at its end.
  TChildProcess threwLate([](TChildProcess& self) {
    self.Send(0);
    self.Receive();
    throw std::runtime_error("lock not released");
  });
  TChildProcess exited([](TChildProcess&) { ::_exit(7); });
  TChildProcess aborted([](TChildProcess& self) {
    self.Send(0);
    std::abort();
  });
  TChildProcess texted([](TChildProcess& self) { self.SendText("Baoshan"); });

  EXPECT_NONFATAL_FAILURE(threw.Receive(), "threw: table not found");
  EXPECT_EQ(threwLate.Receive(), 0u);
  EXPECT_NONFATAL_FAILURE(threwLate.Finish(), "threw: lock not released");
  EXPECT_NONFATAL_FAILURE(exited.Receive(), "ended without answering (exited with status 7)");
  EXPECT_EQ(aborted.Receive(), 0u);
#ifdef _WIN32
  // The C run-time's abort ends the program with status 3, as a throw
  // does, but without saying what was thrown.
  EXPECT_NONFATAL_FAILURE(aborted.Finish(), "exited with status 3");
#else
  EXPECT_NONFATAL_FAILURE(aborted.Finish(), "died of signal 6");
#endif
  EXPECT_NONFATAL_FAILURE(texted.Receive(), "sent a text where the test expected a number");
}

TEST(ChildProcessTest, ChildrenWorkInTheTestsDirectoryEachRunningItsOwnBody) {
  TempDir dir;
  auto reportTowns = [&dir](uint32_t which) {
    return [&dir, which](TChildProcess& self) {
      self.Send(which);
      if (!self.Receive()) return;  // the test has written the file
      std::ifstream in(dir.File("towns.txt"));
      std::ostringstream text;
      text << in.rdbuf();
      self.SendText(text.str());
      self.Receive();
    };
  };
  // Made before anything is written: the files are the test's.
  TChildProcess first(reportTowns(1));
  // Also where the second child runs the test again up to its making.
  ASSERT_TRUE(first.Started());
  TChildProcess second(reportTowns(2));
  ASSERT_EQ(first.Receive(), 1u);
  ASSERT_EQ(second.Receive(), 2u);
  dir.Write("towns.txt", "Baoshan");
  second.Send(0);
  EXPECT_EQ(second.ReceiveText(), "Baoshan");
  first.Send(0);
  EXPECT_EQ(first.ReceiveText(), "Baoshan");
  EXPECT_TRUE(first.Finish());
  EXPECT_TRUE(second.Finish());
  // Neither child made a directory of its own in it nor removed it.
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.Path()),
                          std::filesystem::directory_iterator()),
            1);
}

#ifdef _WIN32
// A started child runs the test again up to its own constructor; what goes
// wrong on the way is the test's fault, reported instead of a silent child.
TEST(ChildProcessTest, WhatFailsInTheChildBeforeItsBodyFailsTheTest) {
  if (IsChildProcess()) ADD_FAILURE() << "Baoshan is missing";
  EXPECT_NONFATAL_FAILURE(TChildProcess child([](TChildProcess&) {}), "Baoshan is missing");
}

TEST(ChildProcessTest, TestThatEndsBeforeTheChildsBodyFailsTheTest) {
  if (IsChildProcess()) GTEST_SKIP() << "only in the test's own process";
  EXPECT_NONFATAL_FAILURE(TChildProcess child([](TChildProcess&) {}),
                          "ended in the child's process before it made child 1 (skipped)");
}
#endif

}  // namespace
}  // namespace ledra::test
