#include "engine/files/MemoryFile.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "engine/errors/EngineError.h"
#include "tests/engine/files/FileLayerTestSupport.h"

namespace ledra {
namespace {

class MemoryFileTest : public ::testing::Test {
 protected:
  void SetUp() override { handle_ = uint32_t(file_.CreateFile()); }

  void Write(const std::string& bytes) {
    ASSERT_EQ(file_.Write(handle_, bytes.data(), uint32_t(bytes.size())), int64_t(bytes.size()));
  }
  std::string Read(uint32_t length, uint32_t handle = 0) {
    std::string bytes(length, '\xEE');
    int64_t count = file_.Read(handle ? handle : handle_, bytes.data(), length);
    EXPECT_GE(count, 0);
    bytes.resize(size_t(count < 0 ? 0 : count));
    return bytes;
  }

  TMemoryFile file_{"mem.DAT"};
  uint32_t handle_ = 0;
};

TEST_F(MemoryFileTest, ReadAtOrPastTheEndGivesNoBytes) {
  Write(test::PatternBytes(100));
  EXPECT_EQ(file_.Seek(handle_, 100, 0), 100);
  EXPECT_EQ(Read(10), "");
  EXPECT_EQ(file_.Seek(handle_, 5000, 0), 5000);
  EXPECT_EQ(Read(10), "");
  EXPECT_EQ(file_.Seek(handle_, 95, 0), 95);
  EXPECT_EQ(Read(10), test::PatternBytes(100).substr(95));
  EXPECT_EQ(file_.Seek(handle_, 0, 1), 100);
}

TEST_F(MemoryFileTest, ZeroByteWriteTruncatesAndTheCutTailReadsAsZeros) {
  Write(test::PatternBytes(100, 1));
  ASSERT_EQ(file_.Seek(handle_, 10, 0), 10);
  EXPECT_EQ(file_.Write(handle_, nullptr, 0), 0);
  EXPECT_EQ(file_.Size(), 10);
  EXPECT_EQ(file_.Seek(handle_, 0, 1), 10);  // the position does not move

  // Extending the file over the cut part shows zeros, not the old bytes.
  ASSERT_EQ(file_.Seek(handle_, 50, 0), 50);
  Write("Z");
  EXPECT_EQ(file_.Size(), 51);
  ASSERT_EQ(file_.Seek(handle_, 0, 0), 0);
  EXPECT_EQ(Read(100), test::PatternBytes(10, 1) + std::string(40, '\0') + "Z");
}

TEST_F(MemoryFileTest, ZeroByteWriteBeyondTheEndExtendsWithZeros) {
  Write("abc");
  ASSERT_EQ(file_.Seek(handle_, 9000, 0), 9000);
  EXPECT_EQ(file_.Write(handle_, nullptr, 0), 0);
  EXPECT_EQ(file_.Size(), 9000);
  EXPECT_EQ(file_.AllocatedLength(), 3u * 4096);
  ASSERT_EQ(file_.Seek(handle_, 8990, 0), 8990);
  EXPECT_EQ(Read(100), std::string(10, '\0'));
}

TEST_F(MemoryFileTest, BufferGrowsInSteps) {
  EXPECT_EQ(file_.AllocatedLength(), 0u);
  Write("x");
  EXPECT_EQ(file_.AllocatedLength(), 4096u);
  ASSERT_EQ(file_.Seek(handle_, 4095, 0), 4095);
  Write("yz");
  EXPECT_EQ(file_.AllocatedLength(), 8192u);
  EXPECT_EQ(file_.Size(), 4097);
  // Truncating does not shrink the buffer, except to nothing at 0.
  ASSERT_EQ(file_.Seek(handle_, 1, 0), 1);
  ASSERT_EQ(file_.Write(handle_, nullptr, 0), 0);
  EXPECT_EQ(file_.AllocatedLength(), 8192u);
  ASSERT_EQ(file_.Seek(handle_, 0, 0), 0);
  ASSERT_EQ(file_.Write(handle_, nullptr, 0), 0);
  EXPECT_EQ(file_.AllocatedLength(), 0u);
  EXPECT_EQ(file_.Size(), 0);
}

TEST_F(MemoryFileTest, EachHandleHasItsOwnPosition) {
  Write("0123456789");
  uint32_t second = uint32_t(file_.OpenFile());
  EXPECT_EQ(second, handle_ + 1);
  EXPECT_EQ(file_.Seek(second, 0, 1), 0);
  EXPECT_EQ(Read(3, second), "012");
  EXPECT_EQ(file_.Seek(handle_, 0, 1), 10);
  EXPECT_EQ(file_.Seek(second, -1, 2), 9);
  EXPECT_EQ(Read(5, second), "9");
  // Handle numbers are not reused.
  EXPECT_EQ(file_.CloseHandle(second), 0);
  EXPECT_EQ(file_.OpenFile(), int64_t(handle_ + 2));
  EXPECT_EQ(file_.CloseHandle(second), -LEDRA_OSENOENT);
  EXPECT_EQ(file_.Read(second, nullptr, 0), -1);
}

TEST_F(MemoryFileTest, PositionsOutsideTheFileAreRefused) {
  Write("abc");
  EXPECT_EQ(file_.Seek(handle_, -4, 2), -1);
  EXPECT_EQ(file_.Seek(handle_, -1, 0), -1);
  EXPECT_EQ(file_.Seek(handle_, INT64_MAX, 1), -1);
  EXPECT_EQ(file_.Seek(handle_, INT64_MIN, 1), -1);
  EXPECT_EQ(file_.Seek(handle_, 0, 3), -1);
  EXPECT_EQ(file_.Seek(handle_, 0, 1), 3);  // failures leave the position

  ASSERT_EQ(file_.Seek(handle_, TMemoryFile::kMaxSize, 0), TMemoryFile::kMaxSize);
  EXPECT_EQ(file_.Write(handle_, "x", 1), -1);
  EXPECT_EQ(file_.Size(), 3);
  EXPECT_EQ(file_.AllocatedLength(), 4096u);
}

TEST_F(MemoryFileTest, OverlappingLocksAreRefusedAndUnlockNeedsTheExactRange) {
  EXPECT_TRUE(file_.LockRange(100, 10));   // 100..109
  EXPECT_FALSE(file_.LockRange(105, 1));   // inside
  EXPECT_FALSE(file_.LockRange(95, 6));    // 95..100 reaches the start
  EXPECT_FALSE(file_.LockRange(109, 5));   // starts on the last byte
  EXPECT_FALSE(file_.LockRange(90, 100));  // covers it
  EXPECT_TRUE(file_.LockRange(110, 1));    // adjacent after
  EXPECT_TRUE(file_.LockRange(90, 10));    // adjacent before: 90..99
  EXPECT_FALSE(file_.UnlockRange(100, 5));
  EXPECT_FALSE(file_.UnlockRange(101, 9));
  EXPECT_TRUE(file_.UnlockRange(100, 10));
  EXPECT_FALSE(file_.UnlockRange(100, 10));
  EXPECT_TRUE(file_.LockRange(105, 1));
  EXPECT_EQ(file_.LockCount(), 3u);
}

TEST_F(MemoryFileTest, DegenerateLockRangesAreRefused) {
  EXPECT_FALSE(file_.LockRange(5, 0));
  EXPECT_FALSE(file_.LockRange(UINT64_MAX, 2));  // the end would wrap
  EXPECT_TRUE(file_.LockRange(UINT64_MAX, 1));
  EXPECT_FALSE(file_.LockRange(1, UINT64_MAX));
}

TEST_F(MemoryFileTest, LastCloseReleasesLocksButKeepsContents) {
  Write("kept");
  ASSERT_TRUE(file_.LockRange(0x7FFFFFF0, 1));
  ASSERT_EQ(file_.CloseHandle(handle_), 0);
  EXPECT_EQ(file_.LockCount(), 0u);
  handle_ = uint32_t(file_.OpenFile());
  EXPECT_EQ(Read(10), "kept");
}

}  // namespace
}  // namespace ledra
