// The second-process helper of the sharing tests: messages both ways, and
// every way a child can go wrong ends in a failed test within its deadline
// instead of a hung suite.
#include "tests/support/ChildProcess.h"

#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>

#ifdef _WIN32

TEST(ChildProcessTest, MakingAChildSkipsTheTestOnWindows) {
  ledra::test::TChildProcess child([](ledra::test::TChildProcess&) {});
  ADD_FAILURE() << "the test went on after its child was made";
}

#else  // not _WIN32

#include <signal.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <optional>
#include <stdexcept>
#include <string>

namespace ledra::test {
namespace {

using namespace std::chrono_literals;
using TClock = std::chrono::steady_clock;

int64_t MillisecondsSince(TClock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(TClock::now() - start).count();
}

bool Gone(pid_t pid) {
  return ::kill(pid, 0) != 0 && errno == ESRCH;
}

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

TEST(ChildProcessTest, HungChildIsKilledAndReportedWithinTheDeadline) {
  pid_t pid = -1;
  {
    TChildProcess child([](TChildProcess&) {
      for (;;) ::pause();
    });
    pid = child.Pid();
    const TClock::time_point start = TClock::now();
    EXPECT_NONFATAL_FAILURE(EXPECT_FALSE(child.Receive(200ms).has_value()),
                            "sent nothing within 200 ms; killed");
    EXPECT_LT(MillisecondsSince(start), 3000);
    EXPECT_TRUE(Gone(pid));
    // Nothing more is waited for or reported.
    child.Send(1);
    EXPECT_FALSE(child.Receive().has_value());
    EXPECT_FALSE(child.Finish());
  }

  // A child that does not end once let go is killed at the end's deadline.
  TChildProcess stubborn([](TChildProcess& self) {
    self.Send(1);
    ::signal(SIGTERM, SIG_IGN);
    for (;;) ::pause();
  });
  ASSERT_EQ(stubborn.Receive(), 1u);
  pid = stubborn.Pid();
  const TClock::time_point start = TClock::now();
  EXPECT_NONFATAL_FAILURE(EXPECT_FALSE(stubborn.Finish(200ms)),
                          "did not end within 200 ms after the test let it go; killed");
  EXPECT_LT(MillisecondsSince(start), 3000);
  EXPECT_TRUE(Gone(pid));
}

TEST(ChildProcessTest, FaultsOfTheChildFailTheTestSayingWhich) {
  {
    TChildProcess child([](TChildProcess&) { throw std::runtime_error("table not found"); });
    EXPECT_NONFATAL_FAILURE(child.Receive(), "threw: table not found");
  }
  {
    // Thrown after its last answer: reported at its end.
    TChildProcess child([](TChildProcess& self) {
      self.Send(0);
      self.Receive();
      throw std::runtime_error("lock not released");
    });
    EXPECT_EQ(child.Receive(), 0u);
    EXPECT_NONFATAL_FAILURE(child.Finish(), "threw: lock not released");
  }
  {
    TChildProcess child([](TChildProcess&) { ::_exit(7); });
    EXPECT_NONFATAL_FAILURE(child.Receive(), "ended without answering (exited with status 7)");
  }
  {
    TChildProcess child([](TChildProcess& self) {
      self.Send(0);
      std::abort();
    });
    EXPECT_EQ(child.Receive(), 0u);
    EXPECT_NONFATAL_FAILURE(child.Finish(), "died of signal 6");
  }
  {
    TChildProcess child([](TChildProcess& self) { self.SendText("Baoshan"); });
    EXPECT_NONFATAL_FAILURE(child.Receive(), "sent a text where the test expected a number");
  }
}

}  // namespace
}  // namespace ledra::test

#endif  // not _WIN32
