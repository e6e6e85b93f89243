#include "engine/files/FileList.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "engine/errors/EngineError.h"
#include "engine/files/FileHandler.h"
#include "platform/Diagnostics.h"
#include "tests/engine/files/FileLayerTestSupport.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/TempDir.h"

namespace ledra {
namespace {

using platform::CallCount;
using platform::OsCall;

// A second process that, on the test's cue, opens a file through the engine:
// it answers the engine error code (0 when none) and holds the file until let
// go. A test makes its children before it opens anything itself.
test::TChildProcess::Body EngineOpen(std::string name, bool exclusive) {
  return [=](test::TChildProcess& self) {
    if (!self.Receive()) return;
    TFileHandler handler(name);
    handler.SetExclusive(exclusive);
    self.Send(test::ErrorCodeRaisedBy([&] { handler.OpenTableFile(); }));
    self.Receive();
  };
}

class FileListTest : public ::testing::Test {
 protected:
  void SetUp() override {
    name_ = test::IsChildProcess() ? dir_.File("Shared.DAT")
                                   : dir_.Write("Shared.DAT", test::PatternBytes(1000));
  }

  TFileList& list_ = TFileList::Instance();
  test::TempDir dir_;
  std::string name_;
};

TEST_F(FileListTest, HandlersOfOneFileShareOneOperatingSystemHandle) {
  TFileHandler first(name_), second(name_);
  uint64_t opens = CallCount(OsCall::Open);
  first.OpenTableFile();
  second.OpenTableFile();
  EXPECT_EQ(CallCount(OsCall::Open), opens + 1);
  EXPECT_EQ(first.File(), second.File());
  EXPECT_EQ(second.HandleNumber(), first.HandleNumber() + 1);
  EXPECT_EQ(first.File()->HandleCount(), 2);

  // Closing the first leaves the second working.
  first.CloseTableFile();
  EXPECT_FALSE(first.IsOpen());
  uint8_t bytes[4];
  {
    TFileGuard guard(second);
    second.Seek(TFileHandler::kFromStart, 251);
    second.ReadBlock(bytes, 4);
  }
  EXPECT_EQ(bytes[0], 0);
  EXPECT_EQ(bytes[3], 3);
  ASSERT_NE(list_.Find(name_, false), nullptr);

  // The last close closes the operating-system file: an exclusive open now
  // succeeds and opens the file anew.
  second.CloseTableFile();
  EXPECT_EQ(list_.Find(name_, false), nullptr);
  TFileHandler exclusive(name_);
  exclusive.SetExclusive(true);
  exclusive.OpenTableFile();
  EXPECT_EQ(CallCount(OsCall::Open), opens + 2);
}

TEST_F(FileListTest, NamesMatchTrimmedAndWithoutRegardToCase) {
  TFileHandler first(name_);
  first.OpenTableFile();
  std::string otherSpelling = "  " + dir_.File("sHARED.dat") + " ";
  TFileHandler second(otherSpelling);
  uint64_t opens = CallCount(OsCall::Open);
  second.OpenTableFile();
  EXPECT_EQ(CallCount(OsCall::Open), opens);
  EXPECT_EQ(second.File(), first.File());
}

TEST_F(FileListTest, ExclusiveOpenConflictsWithAnyOtherOpenInTheProcess) {
  TFileHandler shared(name_), exclusive(name_);
  exclusive.SetExclusive(true);
  shared.OpenTableFile();
  auto error = test::EngineErrorOf([&] { exclusive.OpenTableFile(); });
  ASSERT_TRUE(error);
  EXPECT_EQ(error->ErrorCode, LEDRA_OSEACCES);
  EXPECT_EQ(error->ErrorTable, name_);
  EXPECT_FALSE(exclusive.IsOpen());
  shared.CloseTableFile();

  exclusive.OpenTableFile();
  EXPECT_EQ(test::ErrorCodeRaisedBy([&] { shared.OpenTableFile(); }), LEDRA_OSEACCES);
  TFileHandler another(name_);
  another.SetExclusive(true);
  EXPECT_EQ(test::ErrorCodeRaisedBy([&] { another.OpenTableFile(); }), LEDRA_OSEACCES);
}

TEST_F(FileListTest, ExclusiveOpenConflictsWithAnOpenInAnotherProcess) {
  // The child inherits this process's registry (POSIX); another spelling of
  // the path makes its open reach the operating system.
  std::string samePath = dir_.Path().string() + "/./Shared.DAT";
  test::TChildProcess owner(EngineOpen(name_, true));
  test::TChildProcess sharer(EngineOpen(name_, false));
  test::TChildProcess second(EngineOpen(samePath, false));
  auto cue = [](test::TChildProcess& child) {
    child.Send(1);
    return child.Receive();
  };
  {
    ASSERT_EQ(cue(owner), 0u);
    TFileHandler shared(name_);
    EXPECT_EQ(test::ErrorCodeRaisedBy([&] { shared.OpenTableFile(); }), LEDRA_OSEACCES);
    EXPECT_EQ(list_.Find(name_, false), nullptr);  // nothing left behind
    owner.Finish();
  }
  {
    ASSERT_EQ(cue(sharer), 0u);
    TFileHandler exclusive(name_);
    exclusive.SetExclusive(true);
    EXPECT_EQ(test::ErrorCodeRaisedBy([&] { exclusive.OpenTableFile(); }), LEDRA_OSEACCES);
    // And the other way round: what this process holds exclusively, the
    // other process cannot open.
    sharer.Finish();
    exclusive.OpenTableFile();
    EXPECT_EQ(cue(second), uint32_t(LEDRA_OSEACCES));
  }
}

TEST_F(FileListTest, CreateRenameAndDeleteAreRefusedWhileOpen) {
  TFileHandler handler(name_);
  handler.OpenTableFile();
  TFileHandler other(name_);
  EXPECT_EQ(test::ErrorCodeRaisedBy([&] { other.CreateTableFile(); }), LEDRA_OSEACCES);
  EXPECT_EQ(test::ErrorCodeRaisedBy([&] { other.DeleteTableFile(); }), LEDRA_OSEACCES);
  std::string renamed = dir_.File("Renamed.DAT");
  EXPECT_EQ(test::ErrorCodeRaisedBy([&] { other.RenameTableFile(renamed); }), LEDRA_OSEACCES);
  EXPECT_EQ(other.FileName(), name_);
  EXPECT_EQ(test::ReadWholeFile(name_), test::PatternBytes(1000));

  handler.CloseTableFile();
  other.RenameTableFile(renamed);
  EXPECT_EQ(other.FileName(), renamed);
  EXPECT_FALSE(std::filesystem::exists(name_));
  EXPECT_EQ(test::ReadWholeFile(renamed), test::PatternBytes(1000));
  other.DeleteTableFile();
  EXPECT_FALSE(std::filesystem::exists(renamed));
  EXPECT_EQ(test::ErrorCodeRaisedBy([&] { other.DeleteTableFile(); }), LEDRA_OSENOENT);
}

TEST_F(FileListTest, RenameOntoAnOpenFileIsRefused) {
  std::string target = dir_.Write("Target.DAT", "target");
  TFileHandler holder(target);
  holder.OpenTableFile();
  TFileHandler mover(name_);
  EXPECT_EQ(test::ErrorCodeRaisedBy([&] { mover.RenameTableFile(target); }), LEDRA_OSEACCES);
  EXPECT_EQ(test::ReadWholeFile(target), "target");
}

TEST_F(FileListTest, CreatedFileIsHeldExclusivelyUntilClosed) {
  std::string name = dir_.File("New.DAT");
  TFileHandler creator(name);
  creator.CreateTableFile();
  EXPECT_TRUE(creator.IsOpen());
  EXPECT_EQ(creator.FileSize(), 0);
  TFileHandler reader(name);
  EXPECT_EQ(test::ErrorCodeRaisedBy([&] { reader.OpenTableFile(); }), LEDRA_OSEACCES);
  creator.CloseTableFile();
  reader.OpenTableFile();
  EXPECT_FALSE(reader.ReadOnly());
}

TEST_F(FileListTest, CreateReplacesAnExistingFile) {
  TFileHandler handler(name_);
  handler.CreateTableFile();
  EXPECT_EQ(handler.FileSize(), 0);
  handler.WriteBlock("new", 3);
  handler.CloseTableFile();
  EXPECT_EQ(test::ReadWholeFile(name_), "new");
}

TEST_F(FileListTest, TemporaryFilesAreDeletedWithTheLastHandle) {
  std::string created = dir_.File("Created.tmp");
  TFileHandler creator(created);
  creator.SetTemporary(true);
  creator.CreateTableFile();
  creator.WriteBlock("abc", 3);
  EXPECT_TRUE(std::filesystem::exists(created));
  creator.CloseTableFile();
  EXPECT_FALSE(std::filesystem::exists(created));

  TFileHandler first(name_), second(name_);
  first.SetTemporary(true);
  first.OpenTableFile();
  second.OpenTableFile();
  first.CloseTableFile();
  EXPECT_TRUE(std::filesystem::exists(name_));
  second.CloseTableFile();
  EXPECT_FALSE(std::filesystem::exists(name_));
}

TEST_F(FileListTest, MemoryFilesLiveUntilDeleted) {
  std::string name = dir_.File("Memory.DAT");  // unique in the process
  TFileHandler handler(name);
  handler.SetInMemory(true);
  EXPECT_FALSE(handler.FileExists());
  EXPECT_EQ(test::ErrorCodeRaisedBy([&] { handler.OpenTableFile(); }), LEDRA_OSENOENT);
  EXPECT_EQ(list_.Open(name, true, false, false).result, -LEDRA_OSENOENT);

  handler.CreateTableFile();
  handler.WriteBlock("in memory", 9);
  handler.CloseTableFile();
  EXPECT_FALSE(std::filesystem::exists(name));  // nothing on disk
  EXPECT_TRUE(handler.FileExists());

  TFileHandler again(name);
  again.SetInMemory(true);
  again.OpenTableFile();
  char bytes[9];
  EXPECT_EQ(again.ReadBlock(bytes, 9), 9u);
  EXPECT_EQ(std::string(bytes, 9), "in memory");
  EXPECT_EQ(test::ErrorCodeRaisedBy([&] { handler.DeleteTableFile(); }), LEDRA_OSEACCES);
  again.CloseTableFile();

  std::string renamed = dir_.File("Memory2.DAT");
  again.RenameTableFile(renamed);
  EXPECT_FALSE(handler.FileExists());
  EXPECT_TRUE(again.FileExists());
  again.DeleteTableFile();
  EXPECT_FALSE(again.FileExists());
  EXPECT_EQ(test::ErrorCodeRaisedBy([&] { again.DeleteTableFile(); }), LEDRA_OSENOENT);
}

TEST_F(FileListTest, TemporaryMemoryFileGoesWithItsLastHandle) {
  std::string name = dir_.File("TempMemory.DAT");
  TFileHandler handler(name);
  handler.SetInMemory(true);
  handler.SetTemporary(true);
  handler.CreateTableFile();
  EXPECT_TRUE(handler.FileExists());
  handler.CloseTableFile();
  EXPECT_FALSE(handler.FileExists());
  EXPECT_EQ(list_.Find(name, true), nullptr);
}

TEST_F(FileListTest, MemoryAndPhysicalFilesOfOneNameAreDistinct) {
  TFileHandler memory(name_);
  memory.SetInMemory(true);
  memory.CreateTableFile();
  TFileHandler physical(name_);
  physical.OpenTableFile();  // the memory file's exclusive hold does not apply
  EXPECT_NE(memory.File(), physical.File());
  EXPECT_EQ(physical.FileSize(), 1000);
  EXPECT_EQ(memory.FileSize(), 0);
  memory.CloseTableFile();
  memory.DeleteTableFile();
}

}  // namespace
}  // namespace ledra
