#include "platform/Diagnostics.h"

#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "platform/File.h"
#include "platform/WinError.h"
#include "tests/support/TempDir.h"

namespace ledra::platform {
namespace {

class DiagnosticsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ClearFaults();
    file_ = OpenOsFile(dir_.Write("table.dat", "0123456789"), {});
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

}  // namespace
}  // namespace ledra::platform
