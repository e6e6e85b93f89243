#include "platform/Diagnostics.h"

#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "platform/File.h"
#include "platform/WinError.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/TempDir.h"

namespace ledra::platform {
namespace {

class DiagnosticsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ClearFaults();
    // A second process opens the test's file as the test left it.
    file_ = OpenOsFile(test::IsChildProcess() ? dir_.File("table.dat")
                                              : dir_.Write("table.dat", "0123456789"),
                       {});
    ASSERT_NE(file_, nullptr);
  }
  void TearDown() override { ClearFaults(); }

  // Whether each of `count` one-byte writes succeeded, in order.
  std::vector<bool> Writes(int count) {
    std::vector<bool> done;
    for (int i = 0; i < count; ++i) done.push_back(file_->Write("x", 1) == 1);
    return done;
  }

  test::TempDir dir_;
  std::unique_ptr<File> file_;
};

TEST_F(DiagnosticsTest, TheNthCallFailsAndTheOthersPass) {
  FailNth(OsCall::Write, 3, kErrorDiskFull);
  EXPECT_TRUE(FaultPending(OsCall::Write));
  EXPECT_EQ(Writes(2), (std::vector<bool>{true, true}));
  EXPECT_TRUE(FaultPending(OsCall::Write));
  EXPECT_EQ(file_->Write("x", 1), -1);
  EXPECT_EQ(GetLastError(), kErrorDiskFull);
  EXPECT_FALSE(FaultPending(OsCall::Write));
  EXPECT_EQ(Writes(3), (std::vector<bool>{true, true, true}));

  // From the n-th on, `times` calls fail; the count starts when armed.
  Writes(5);
  FailNth(OsCall::Write, 2, kErrorWriteFault, 2);
  EXPECT_EQ(Writes(5), (std::vector<bool>{true, false, false, true, true}));
}

TEST_F(DiagnosticsTest, KindsAreArmedApartAndArmingAgainReplaces) {
  FailNth(OsCall::Write, 2, kErrorDiskFull);
  FailNth(OsCall::Read, 1, kErrorReadFault);
  char byte;
  EXPECT_EQ(file_->Read(&byte, 1), -1);  // reads do not advance the write fault
  EXPECT_EQ(GetLastError(), kErrorReadFault);
  EXPECT_EQ(Writes(1), (std::vector<bool>{true}));

  FailNth(OsCall::Write, 3, kErrorWriteFault);  // replaces the pending one
  EXPECT_EQ(Writes(3), (std::vector<bool>{true, true, false}));
  EXPECT_EQ(GetLastError(), kErrorWriteFault);

  FailNth(OsCall::Write, 1, kErrorDiskFull);
  FailNth(OsCall::Write, 0, kErrorDiskFull);  // n 0 disarms
  EXPECT_FALSE(FaultPending(OsCall::Write));
  FailNth(OsCall::Write, 1, kErrorDiskFull, 0);  // so does times 0
  EXPECT_FALSE(FaultPending(OsCall::Write));
  FailNth(OsCall::Write, 4, kErrorDiskFull);
  ClearFaults();
  EXPECT_EQ(Writes(5), std::vector<bool>(5, true));

  // FailNext is the first call from now.
  Writes(2);
  FailNext(OsCall::Write, kErrorDiskFull);
  EXPECT_EQ(Writes(2), (std::vector<bool>{false, true}));
}

// A death at the n-th write: the process ends with the given status right
// before that write, with the writes before it on disk and nothing of what a
// normal exit would still do (a buffered stream stays unwritten). Faults
// armed for the same kind keep their own count of the same calls.
TEST_F(DiagnosticsTest, ADeathEndsTheProcessRightBeforeTheNthCall) {
  const std::string buffered = dir_.File("buffered.txt");
  test::TChildProcess child([&](test::TChildProcess&) {
    std::FILE* stream = std::fopen(buffered.c_str(), "w");
    std::fputs("lost with the process", stream);
    file_->Seek(0, SeekOrigin::Begin);
    FailNth(OsCall::Write, 2, kErrorDiskFull);
    ExitAtNth(OsCall::Write, 4, 42);
    file_->Write("a", 1);
    const bool secondFailed = file_->Write("b", 1) == -1;
    file_->Write(secondFailed ? "c" : "!", 1);
    file_->Write("d", 1);  // never reaches the file
    std::_Exit(7);         // the death did not come
  });
  // Any end but 0 fails the test, saying how it ended.
  EXPECT_NONFATAL_FAILURE(child.Finish(), "exited with status 42");

  std::ifstream table(dir_.File("table.dat"), std::ios::binary);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(table), {}), "ac23456789");
  std::ifstream stream(buffered, std::ios::binary);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(stream), {}), "");
}

TEST_F(DiagnosticsTest, ADeathIsDisarmedByZeroOrByClearing) {
  ExitAtNth(OsCall::Write, 2, 42);
  EXPECT_TRUE(ExitPending(OsCall::Write));
  EXPECT_FALSE(ExitPending(OsCall::Read));
  ExitAtNth(OsCall::Write, 0, 42);
  EXPECT_FALSE(ExitPending(OsCall::Write));
  ExitAtNth(OsCall::Read, 1, 42);
  ExitAtNth(OsCall::Write, 1, 42);
  ClearFaults();
  EXPECT_FALSE(ExitPending(OsCall::Read));
  EXPECT_FALSE(ExitPending(OsCall::Write));
  EXPECT_EQ(Writes(3), std::vector<bool>(3, true));  // still alive
}

}  // namespace
}  // namespace ledra::platform
