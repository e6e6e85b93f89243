#include "engine/files/FileHandler.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "engine/errors/EngineError.h"
#include "platform/Diagnostics.h"
#include "platform/File.h"
#include "platform/WinError.h"
#include "tests/engine/files/FileLayerTestSupport.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/TempDir.h"

namespace ledra {
namespace {

using platform::CallCount;
using platform::OsCall;

class FileHandlerTest : public ::testing::Test {
 protected:
  void TearDown() override { platform::ClearFaults(); }

  test::TempDir dir_;
};

TEST_F(FileHandlerTest, MissingFileRaisesNotFoundWithTheFullName) {
  std::string name = dir_.File("Missing.DAT");
  TFileHandler handler(name);
  uint64_t opens = CallCount(OsCall::Open);
  auto error = test::EngineErrorOf([&] { handler.OpenTableFile(); });
  ASSERT_TRUE(error);
  EXPECT_EQ(error->ErrorCode, LEDRA_OSENOENT);
  EXPECT_EQ(error->ErrorTable, name);
  EXPECT_NE(std::string(error->what()).find(name), std::string::npos) << error->what();
  EXPECT_EQ(CallCount(OsCall::Open), opens);  // no open was attempted
  EXPECT_FALSE(handler.IsOpen());
}

TEST_F(FileHandlerTest, EmptyNameAndDirectoryGiveEngineErrors) {
  TFileHandler unnamed("  ");
  EXPECT_FALSE(unnamed.FileExists());
  EXPECT_EQ(test::ErrorCodeRaisedBy([&] { unnamed.OpenTableFile(); }), LEDRA_OSENOENT);
  EXPECT_EQ(test::ErrorCodeRaisedBy([&] { unnamed.CreateTableFile(); }), LEDRA_OSENOENT);
  EXPECT_EQ(test::ErrorCodeRaisedBy([&] { unnamed.DeleteTableFile(); }), LEDRA_OSENOENT);
  unnamed.SetInMemory(true);
  EXPECT_EQ(test::ErrorCodeRaisedBy([&] { unnamed.CreateTableFile(); }), LEDRA_OSENOENT);

  std::filesystem::create_directory(dir_.File("Folder.DAT"));
  TFileHandler folder(dir_.File("Folder.DAT"));
  EXPECT_FALSE(folder.FileExists());
  EXPECT_EQ(test::ErrorCodeRaisedBy([&] { folder.OpenTableFile(); }), LEDRA_OSENOENT);
  EXPECT_EQ(test::ErrorCodeRaisedBy([&] { folder.CreateTableFile(); }), LEDRA_OSEACCES);
  EXPECT_EQ(test::ErrorCodeRaisedBy([&] { folder.DeleteTableFile(); }), LEDRA_OSEACCES);
  EXPECT_FALSE(folder.IsOpen());
  // Straight to the registry, bypassing the existence check.
  EXPECT_EQ(TFileList::Instance().Open(dir_.File("Folder.DAT"), false, false, false).result,
            -LEDRA_OSEACCES);
}

TEST_F(FileHandlerTest, ReadOnlyAttributeOpensReadOnlyWithoutWriting) {
  std::string name = dir_.Write("Locked.DAT", "abcdef");
  ASSERT_TRUE(platform::SetReadOnlyAttribute(name, true));
  TFileHandler handler(name);
  uint64_t writes = CallCount(OsCall::Write);
  uint64_t setEnds = CallCount(OsCall::SetEnd);
  handler.OpenTableFile();
  EXPECT_TRUE(handler.ReadOnly());
  EXPECT_TRUE(handler.ReadOnlyAttribute());
  char bytes[6];
  EXPECT_EQ(handler.ReadBlock(bytes, 6), 6u);
  EXPECT_EQ(std::string(bytes, 6), "abcdef");
  EXPECT_EQ(CallCount(OsCall::Write), writes);
  EXPECT_EQ(CallCount(OsCall::SetEnd), setEnds);

  // A second handler gets the same outputs without another open.
  TFileHandler second(name);
  second.OpenTableFile();
  EXPECT_TRUE(second.ReadOnly());
  EXPECT_TRUE(second.ReadOnlyAttribute());
}

TEST_F(FileHandlerTest, FileThatCannotBeOpenedForWritingFallsBackToReading) {
  std::string name = dir_.Write("Share.DAT", "abc");
  // As on a share that grants reading only: the read-write open is refused.
  platform::FailNext(OsCall::Open, platform::kErrorAccessDenied);
  uint64_t opens = CallCount(OsCall::Open);
  TFileHandler handler(name);
  handler.OpenTableFile();
  EXPECT_EQ(CallCount(OsCall::Open), opens + 2);
  EXPECT_TRUE(handler.ReadOnly());
  EXPECT_FALSE(handler.ReadOnlyAttribute());
  EXPECT_EQ(test::ErrorCodeRaisedBy([&] { handler.WriteBlock("x", 1); }), LEDRA_WRITEERR);
  EXPECT_EQ(test::ReadWholeFile(name), "abc");
}

TEST_F(FileHandlerTest, FailedOpenReportsTheErrorOfTheLastAttempt) {
  std::string name = dir_.Write("Fails.DAT", "abc");
  platform::FailNext(OsCall::Open, platform::kErrorTooManyOpenFiles, 2);
  uint64_t opens = CallCount(OsCall::Open);
  TFileHandler handler(name);
  auto error = test::EngineErrorOf([&] { handler.OpenTableFile(); });
  ASSERT_TRUE(error);
  EXPECT_EQ(error->ErrorCode, LEDRA_OSEMFILE);
  EXPECT_EQ(error->OSErrorCode, int32_t(platform::kErrorTooManyOpenFiles));
  EXPECT_EQ(error->ErrorTable, name);
  EXPECT_EQ(CallCount(OsCall::Open), opens + 2);  // the read-only attempt came second
  EXPECT_FALSE(handler.IsOpen());
  handler.OpenTableFile();  // nothing left behind blocks the next open
  EXPECT_FALSE(handler.ReadOnly());
}

TEST_F(FileHandlerTest, BlocksAreReadAndWrittenAtThePosition) {
  TFileHandler handler(dir_.File("Blocks.DAT"));
  handler.CreateTableFile();
  std::string data = test::PatternBytes(300);
  handler.WriteBlock(data.data(), 300);
  EXPECT_EQ(handler.Seek(TFileHandler::kFromCurrent, 0), 300);
  EXPECT_EQ(handler.FileSize(), 300);
  EXPECT_EQ(handler.Seek(TFileHandler::kFromCurrent, 0), 300);  // FileSize keeps it

  std::vector<uint8_t> bytes(100);
  handler.Seek(TFileHandler::kFromStart, 250);
  EXPECT_EQ(handler.ReadBlock(bytes.data(), 100, true), 50u);
  EXPECT_EQ(std::memcmp(bytes.data(), data.data() + 250, 50), 0);
  handler.Seek(TFileHandler::kFromStart, 250);
  EXPECT_EQ(test::ErrorCodeRaisedBy([&] { handler.ReadBlock(bytes.data(), 100); }), LEDRA_READERR);

  // A write of 0 bytes ends the file at the position.
  handler.Seek(TFileHandler::kFromStart, 120);
  handler.WriteBlock(nullptr, 0);
  EXPECT_EQ(handler.FileSize(), 120);
  handler.CloseTableFile();
  EXPECT_EQ(test::ReadWholeFile(handler.FileName()), data.substr(0, 120));
}

TEST_F(FileHandlerTest, InjectedFailuresBecomeReadAndWriteErrors) {
  TFileHandler handler(dir_.File("Faults.DAT"));
  handler.CreateTableFile();
  handler.WriteBlock("0123456789", 10);
  handler.Seek(TFileHandler::kFromStart, 0);
  char bytes[10];

  platform::FailNext(OsCall::Read, platform::kErrorReadFault);
  auto error = test::EngineErrorOf([&] { handler.ReadBlock(bytes, 10, true); });
  ASSERT_TRUE(error);
  EXPECT_EQ(error->ErrorCode, LEDRA_READERR);
  EXPECT_EQ(error->ErrorTable, handler.FileName());

  platform::FailNext(OsCall::Write, platform::kErrorDiskFull);
  EXPECT_EQ(test::ErrorCodeRaisedBy([&] { handler.WriteBlock("x", 1); }), LEDRA_WRITEERR);
  platform::FailNext(OsCall::SetEnd, platform::kErrorWriteFault);
  EXPECT_EQ(test::ErrorCodeRaisedBy([&] { handler.WriteBlock(nullptr, 0); }), LEDRA_WRITEERR);
  platform::FailNext(OsCall::Flush, platform::kErrorWriteFault);
  EXPECT_EQ(test::ErrorCodeRaisedBy([&] { handler.FlushTableFile(); }), LEDRA_WRITEERR);
  platform::FailNext(OsCall::Seek, platform::kErrorInvalidHandle);
  EXPECT_EQ(test::ErrorCodeRaisedBy([&] { handler.Seek(TFileHandler::kFromStart, 0); }),
            LEDRA_OSEBADF);

  // The file is unharmed and works once the faults are gone.
  handler.FlushTableFile();
  handler.Seek(TFileHandler::kFromStart, 0);
  EXPECT_EQ(handler.ReadBlock(bytes, 10), 10u);
  EXPECT_EQ(std::string(bytes, 10), "0123456789");
}

TEST_F(FileHandlerTest, BadLengthsAndClosedHandlersRaiseInsteadOfTransferring) {
  TFileHandler handler(dir_.File("Closed.DAT"));
  char bytes[4] = {};
  EXPECT_EQ(test::ErrorCodeRaisedBy([&] { handler.ReadBlock(bytes, 4); }), LEDRA_READERR);
  EXPECT_EQ(test::ErrorCodeRaisedBy([&] { handler.WriteBlock(bytes, 4); }), LEDRA_WRITEERR);
  EXPECT_EQ(test::ErrorCodeRaisedBy([&] { handler.Seek(0, 0); }), LEDRA_OSEBADF);
  EXPECT_FALSE(handler.LockRegion(true, 0, 1));
  EXPECT_EQ(test::ErrorCodeRaisedBy(
                [&] { handler.CopyTableFileTo(dir_.File("x"), 0, nullptr, nullptr, false); }),
            LEDRA_READERR);

  handler.CreateTableFile();
  EXPECT_EQ(test::ErrorCodeRaisedBy([&] { handler.ReadBlock(bytes, -1); }), LEDRA_READERR);
  EXPECT_EQ(test::ErrorCodeRaisedBy([&] { handler.WriteBlock(bytes, -4); }), LEDRA_WRITEERR);
  EXPECT_EQ(test::ErrorCodeRaisedBy([&] { handler.WriteBlock(bytes, int64_t(1) << 33); }),
            LEDRA_WRITEERR);
  EXPECT_EQ(test::ErrorCodeRaisedBy([&] { handler.WriteBlock(nullptr, 4); }), LEDRA_WRITEERR);
  EXPECT_EQ(handler.FileSize(), 0);
}

TEST_F(FileHandlerTest, MemoryFileThroughAHandler) {
  TFileHandler handler(dir_.File("Mem100.DAT"));
  handler.SetInMemory(true);
  handler.CreateTableFile();
  std::string data = test::PatternBytes(100);
  handler.WriteBlock(data.data(), 100);
  char bytes[8];
  EXPECT_EQ(handler.ReadBlock(bytes, 8, true), 0u);  // at the end
  handler.Seek(TFileHandler::kFromStart, 10);
  handler.WriteBlock(nullptr, 0);
  EXPECT_EQ(handler.FileSize(), 10);
  handler.CloseTableFile();
  handler.DeleteTableFile();
}

TEST_F(FileHandlerTest, BracketKeepsOtherThreadsFromMovingTheSharedPosition) {
  std::string data = test::PatternBytes(1000);
  std::string name = dir_.Write("Threads.DAT", data);
  TFileHandler mine(name), theirs(name);
  mine.OpenTableFile();
  theirs.OpenTableFile();
  std::atomic<bool> moved{false};
  std::thread other;
  {
    TFileGuard guard(mine);
    mine.Seek(TFileHandler::kFromStart, 500);
    other = std::thread([&] {
      theirs.Seek(TFileHandler::kFromStart, 0);  // waits for the bracket to end
      moved = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(moved);
    char bytes[8];
    mine.ReadBlock(bytes, 8);
    EXPECT_EQ(std::memcmp(bytes, data.data() + 500, 8), 0);
  }
  other.join();
  EXPECT_TRUE(moved);
  EXPECT_EQ(mine.Seek(TFileHandler::kFromCurrent, 0), 0);  // one shared position
}

TEST_F(FileHandlerTest, CloseInsideTheBracketLeavesTheFileSection) {
  std::string name = dir_.Write("Bracket.DAT", "abc");
  TFileHandler closing(name), staying(name);
  closing.OpenTableFile();
  staying.OpenTableFile();
  TAbstractFile* file = staying.File();
  {
    TFileGuard outer(closing);
    closing.EnterFile();
    closing.CloseTableFile();
  }
  bool free = false;
  std::thread other([&] {
    free = file->Section().try_lock();
    if (free) file->Section().unlock();
  });
  other.join();
  EXPECT_TRUE(free);
  EXPECT_EQ(staying.FileSize(), 3);
}

void ExpectRangeLockRules(TFileHandler& handler, TFileHandler& other) {
  EXPECT_TRUE(handler.LockRegion(true, 100, 10));
  EXPECT_FALSE(handler.LockRegion(true, 105, 1));
  EXPECT_FALSE(other.LockRegion(true, 105, 1));  // another user of the process
  EXPECT_FALSE(handler.LockRegion(false, 100, 5));
  EXPECT_TRUE(handler.LockRegion(false, 100, 10));
  EXPECT_TRUE(other.LockRegion(true, 105, 1));
  EXPECT_TRUE(other.LockRegion(false, 105, 1));
  EXPECT_FALSE(handler.LockRegion(false, 100, 10));
}

TEST_F(FileHandlerTest, RangeLocksOnAPhysicalFile) {
  std::string name = dir_.Write("Locks.DAT", "x");
  TFileHandler handler(name), other(name);
  handler.OpenTableFile();
  other.OpenTableFile();
  ExpectRangeLockRules(handler, other);
}

TEST_F(FileHandlerTest, RangeLocksOnAMemoryFile) {
  std::string name = dir_.File("LocksInMemory.DAT");
  TFileHandler handler(name), other(name);
  handler.SetInMemory(true);
  other.SetInMemory(true);
  handler.CreateTableFile();
  handler.CloseTableFile();
  handler.OpenTableFile();
  other.OpenTableFile();
  ExpectRangeLockRules(handler, other);
  handler.CloseTableFile();
  other.CloseTableFile();
  handler.DeleteTableFile();
}

TEST_F(FileHandlerTest, RangeLockedByAnotherProcessIsFreeOnceItClosesTheFile) {
  std::string name =
      test::IsChildProcess() ? dir_.File("Shared.DAT") : dir_.Write("Shared.DAT", "x");
  test::TChildProcess child([&](test::TChildProcess& self) {
    TFileHandler handler(name);
    uint32_t code = test::ErrorCodeRaisedBy([&] { handler.OpenTableFile(); });
    if (code == 0 && !handler.LockRegion(true, 0x7FFFFF00, 10)) code = platform::GetLastError();
    self.Send(code);
    self.Receive();
  });
  ASSERT_EQ(child.Receive(), 0u);

  TFileHandler handler(name);
  handler.OpenTableFile();
  EXPECT_FALSE(handler.LockRegion(true, 0x7FFFFF05, 1));
  EXPECT_TRUE(handler.LockRegion(true, 0x7FFFFF0A, 1));  // just after it
  child.Finish();
  EXPECT_TRUE(handler.LockRegion(true, 0x7FFFFF00, 10));
}

// Inflates a run of zlib streams written one after the other.
std::string InflateStreams(const std::string& packed) {
  std::string out;
  size_t offset = 0;
  while (offset < packed.size()) {
    z_stream stream{};
    if (inflateInit(&stream) != Z_OK) return "inflateInit failed";
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(packed.data() + offset));
    stream.avail_in = uInt(packed.size() - offset);
    char chunk[65536];
    int rc;
    do {
      stream.next_out = reinterpret_cast<Bytef*>(chunk);
      stream.avail_out = sizeof chunk;
      rc = inflate(&stream, Z_NO_FLUSH);
      out.append(chunk, sizeof chunk - stream.avail_out);
    } while (rc == Z_OK);
    offset += stream.total_in;
    inflateEnd(&stream);
    if (rc != Z_STREAM_END) return "corrupt stream";
  }
  return out;
}

class CopyTest : public FileHandlerTest {
 protected:
  void SetUp() override {
    data_ = test::PatternBytes(200000, 7);
    source_.SetFileName(dir_.Write("Source.DAT", data_));
    source_.OpenTableFile();
  }

  TCopyProgress Recorder() {
    return [this](void* user, int percent) {
      EXPECT_EQ(user, this);
      reported_.push_back(percent);
    };
  }

  std::string data_;
  TFileHandler source_;
  std::vector<int> reported_;
};

TEST_F(CopyTest, ProgressIsReportedEachTimeItAdvancesByTheStep) {
  std::string target = dir_.File("Target.DAT");
  source_.CopyTableFileTo(target, 20, Recorder(), this, false);
  EXPECT_EQ(reported_, (std::vector<int>{32, 65, 98}));
  EXPECT_EQ(test::ReadWholeFile(target), data_);
  EXPECT_EQ(TFileList::Instance().Find(target, false), nullptr);  // the target is closed

  reported_.clear();
  source_.CopyTableFileTo(target, 0, Recorder(), this, false);
  EXPECT_EQ(reported_, (std::vector<int>{32, 65, 98, 100}));
}

TEST_F(CopyTest, CompressedCopyInflatesToTheOriginal) {
  std::string target = dir_.File("Packed.DAT");
  source_.CopyTableFileTo(target, 20, nullptr, nullptr, true);
  std::string packed = test::ReadWholeFile(target);
  EXPECT_LT(packed.size(), data_.size());
  EXPECT_EQ(InflateStreams(packed), data_);
}

TEST_F(CopyTest, CopyFromWritesAtTheTargetsPosition) {
  TFileHandler target(dir_.File("CopyTarget.DAT"));
  target.CreateTableFile();
  target.WriteBlock("head", 4);
  source_.CloseTableFile();  // the source is opened exclusively
  target.CopyTableFileFrom(source_.FileName(), 50, Recorder(), this, false);
  EXPECT_EQ(reported_, (std::vector<int>{65}));
  EXPECT_EQ(TFileList::Instance().Find(source_.FileName(), false), nullptr);
  target.CloseTableFile();
  EXPECT_EQ(test::ReadWholeFile(target.FileName()), "head" + data_);
}

TEST_F(CopyTest, MemoryFilesCopyToMemoryFiles) {
  TFileHandler memory(dir_.File("MemorySource.DAT"));
  memory.SetInMemory(true);
  memory.CreateTableFile();
  memory.WriteBlock(data_.data(), int64_t(data_.size()));
  std::string targetName = dir_.File("MemoryTarget.DAT");
  memory.CopyTableFileTo(targetName, 20, Recorder(), this, false);
  EXPECT_EQ(reported_, (std::vector<int>{32, 65, 98}));
  EXPECT_FALSE(std::filesystem::exists(targetName));

  TFileHandler target(targetName);
  target.SetInMemory(true);
  target.OpenTableFile();
  std::string copied(data_.size() + 1, '\0');
  EXPECT_EQ(target.ReadBlock(copied.data(), int64_t(copied.size()), true), data_.size());
  copied.resize(data_.size());
  EXPECT_EQ(copied, data_);
  target.CloseTableFile();
  target.DeleteTableFile();
  memory.CloseTableFile();
  memory.DeleteTableFile();
}

TEST_F(CopyTest, CopyOfAChunkMultipleDoesNotCutTheTarget) {
  std::string source = dir_.Write("Exact.DAT", test::PatternBytes(65536));
  TFileHandler target(dir_.File("Longer.DAT"));
  target.CreateTableFile();
  std::string tail(70000, 'T');
  target.WriteBlock(tail.data(), int64_t(tail.size()));
  target.Seek(TFileHandler::kFromStart, 0);
  target.CopyTableFileFrom(source, 20, nullptr, nullptr, false);
  EXPECT_EQ(target.FileSize(), 70000);
}

TEST_F(CopyTest, FailuresInsideTheCopyCloseTheTargetAndAreRaised) {
  std::string target = dir_.File("Broken.DAT");
  platform::FailNext(OsCall::Write, platform::kErrorDiskFull);
  auto error =
      test::EngineErrorOf([&] { source_.CopyTableFileTo(target, 20, Recorder(), this, false); });
  ASSERT_TRUE(error);
  EXPECT_EQ(error->ErrorCode, LEDRA_WRITEERR);
  EXPECT_EQ(error->ErrorTable, source_.FileName());
  EXPECT_TRUE(reported_.empty());
  EXPECT_EQ(TFileList::Instance().Find(target, false), nullptr);

  platform::FailNext(OsCall::Read, platform::kErrorReadFault);
  EXPECT_EQ(test::ErrorCodeRaisedBy(
                [&] { source_.CopyTableFileTo(target, 20, nullptr, nullptr, false); }),
            LEDRA_READERR);
  EXPECT_EQ(TFileList::Instance().Find(target, false), nullptr);

  // A callback that throws leaves nothing open either.
  EXPECT_THROW(
      source_.CopyTableFileTo(
          target, 20, [](void*, int) { throw std::runtime_error("stop"); }, nullptr, false),
      std::runtime_error);
  EXPECT_EQ(TFileList::Instance().Find(target, false), nullptr);

  // A target in use, or a missing source, is refused before copying.
  EXPECT_EQ(test::ErrorCodeRaisedBy(
                [&] { source_.CopyTableFileTo(source_.FileName(), 20, nullptr, nullptr, false); }),
            LEDRA_OSEACCES);
  EXPECT_EQ(test::ReadWholeFile(source_.FileName()), data_);
  EXPECT_EQ(test::ErrorCodeRaisedBy([&] {
              source_.CopyTableFileFrom(dir_.File("None.DAT"), 20, nullptr, nullptr, false);
            }),
            LEDRA_OSENOENT);
}

TEST_F(CopyTest, EmptySourceReportsCompletion) {
  TFileHandler empty(dir_.File("Empty.DAT"));
  empty.CreateTableFile();
  empty.CopyTableFileTo(dir_.File("EmptyCopy.DAT"), 20, Recorder(), this, false);
  EXPECT_EQ(reported_, (std::vector<int>{100}));
  EXPECT_EQ(test::ReadWholeFile(dir_.File("EmptyCopy.DAT")), "");
}

}  // namespace
}  // namespace ledra
