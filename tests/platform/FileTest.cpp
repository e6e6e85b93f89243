#include "platform/File.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>

#include "platform/Diagnostics.h"
#include "platform/WinError.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/TempDir.h"

namespace ledra::platform {
namespace {

using test::TChildProcess;

constexpr OpenOptions kSharedReadWrite{};
constexpr OpenOptions kExclusiveReadWrite{FileAccess::ReadWrite, FileShare::Exclusive};
constexpr OpenOptions kSharedReadOnly{FileAccess::ReadOnly, FileShare::Shared};

// A second process that, on the test's cue (`Cue`), opens `name` and, when
// `length` is not 0, locks a range of it; it answers 0 or the Windows error
// of what failed, and holds the file until the test lets it go. A test makes
// all its children first, before it opens anything itself.
TChildProcess::Body OpenAndLock(std::string name, OpenOptions options, uint64_t offset = 0,
                                uint64_t length = 0) {
  return [=](TChildProcess& self) {
    if (!self.Receive()) return;
    auto file = OpenOsFile(name, options);
    const bool done = file && (length == 0 || file->Lock(offset, length));
    self.Send(done ? 0 : GetLastError());
    self.Receive();
  };
}

std::optional<uint32_t> Cue(TChildProcess& child) {
  child.Send(1);
  return child.Receive();
}

std::string Contents(const std::string& name) {
  std::ifstream in(name, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

// Expects the open to fail and returns the last error it left.
uint32_t OpenError(const std::string& name, const OpenOptions& options) {
  SetLastError(kErrorSuccess);
  auto file = OpenOsFile(name, options);
  EXPECT_EQ(file, nullptr);
  return GetLastError();
}

class FileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ClearFaults();
    ResetCallCounts();
    // A second process works on the test's file as the test left it.
    table_ = test::IsChildProcess() ? dir_.File("table.dat")
                                    : dir_.Write("table.dat", "0123456789");
  }
  void TearDown() override { ClearFaults(); }

  test::TempDir dir_;
  std::string table_;
};

TEST_F(FileTest, ShareModesConflictAcrossAndWithinProcesses) {
  TChildProcess sharer(OpenAndLock(table_, kSharedReadWrite));
  TChildProcess owner(OpenAndLock(table_, kExclusiveReadWrite));
  TChildProcess reader(OpenAndLock(table_, kSharedReadOnly));

  ASSERT_EQ(Cue(sharer), 0u);
  EXPECT_NE(OpenOsFile(table_, kSharedReadWrite), nullptr);
  EXPECT_NE(OpenOsFile(table_, kSharedReadOnly), nullptr);
  EXPECT_EQ(OpenError(table_, kExclusiveReadWrite), kErrorSharingViolation);
  sharer.Finish();

  ASSERT_EQ(Cue(owner), 0u);
  EXPECT_EQ(OpenError(table_, kSharedReadOnly), kErrorSharingViolation);
  EXPECT_EQ(OpenError(table_, kExclusiveReadWrite), kErrorSharingViolation);
  owner.Finish();
  EXPECT_NE(OpenOsFile(table_, kExclusiveReadWrite), nullptr);

  auto mine = OpenOsFile(table_, kExclusiveReadWrite);
  ASSERT_NE(mine, nullptr);
  EXPECT_EQ(Cue(reader), kErrorSharingViolation);
  EXPECT_EQ(OpenError(table_, kSharedReadWrite), kErrorSharingViolation);  // same process
}

TEST_F(FileTest, ReadOnlyAttributeRefusesWritingEvenWithPrivileges) {
  ASSERT_TRUE(SetReadOnlyAttribute(table_, true));
  FileAttributes attributes;
  ASSERT_TRUE(ReadAttributes(table_, &attributes));
  EXPECT_TRUE(attributes.readOnly);
  EXPECT_FALSE(attributes.isDirectory);

  EXPECT_EQ(OpenError(table_, kSharedReadWrite), kErrorAccessDenied);
  EXPECT_EQ(CreateOsFile(table_, false), nullptr);
  EXPECT_EQ(GetLastError(), kErrorAccessDenied);
  EXPECT_FALSE(RemoveFile(table_));
  EXPECT_EQ(GetLastError(), kErrorAccessDenied);

  auto reader = OpenOsFile(table_, kSharedReadOnly);
  ASSERT_NE(reader, nullptr);
  char bytes[4] = {};
  EXPECT_EQ(reader->Read(bytes, 4), 4);
  EXPECT_EQ(std::string(bytes, 4), "0123");
  EXPECT_EQ(reader->Write("x", 1), -1);
  EXPECT_EQ(GetLastError(), kErrorAccessDenied);
  EXPECT_FALSE(reader->SetEndOfFile());
  EXPECT_EQ(Contents(table_), "0123456789");

  ASSERT_TRUE(SetReadOnlyAttribute(table_, false));
  ASSERT_TRUE(ReadAttributes(table_, &attributes));
  EXPECT_FALSE(attributes.readOnly);
  EXPECT_NE(OpenOsFile(table_, kSharedReadWrite), nullptr);
}

TEST_F(FileTest, MissingFilesAndDirectories) {
  EXPECT_EQ(OpenError(dir_.File("none.dat"), kSharedReadOnly), kErrorFileNotFound);
  EXPECT_EQ(OpenError(dir_.File("nodir/none.dat"), kSharedReadOnly), kErrorPathNotFound);
  EXPECT_EQ(CreateOsFile(dir_.File("nodir/new.dat"), false), nullptr);
  EXPECT_EQ(GetLastError(), kErrorPathNotFound);
  FileAttributes attributes;
  EXPECT_FALSE(ReadAttributes(dir_.File("none.dat"), &attributes));
  EXPECT_EQ(GetLastError(), kErrorFileNotFound);

  std::filesystem::create_directory(dir_.File("sub"));
  EXPECT_EQ(OpenError(dir_.File("sub"), kSharedReadOnly), kErrorAccessDenied);
  EXPECT_EQ(OpenError(dir_.File("sub"), kSharedReadWrite), kErrorAccessDenied);
  ASSERT_TRUE(ReadAttributes(dir_.File("sub"), &attributes));
  EXPECT_TRUE(attributes.isDirectory);
  EXPECT_FALSE(RegularFileExists(dir_.File("sub")));
  EXPECT_FALSE(RegularFileExists(dir_.File("none.dat")));
  EXPECT_TRUE(RegularFileExists(table_));
  EXPECT_FALSE(RemoveFile(dir_.File("sub")));
  EXPECT_EQ(GetLastError(), kErrorAccessDenied);
}

TEST_F(FileTest, TransfersMoveOnePosition) {
  auto file = OpenOsFile(table_, kSharedReadWrite);
  ASSERT_NE(file, nullptr);
  char bytes[8] = {};
  EXPECT_EQ(file->Seek(2, SeekOrigin::Begin), 2);
  EXPECT_EQ(file->Read(bytes, 3), 3);
  EXPECT_EQ(std::string(bytes, 3), "234");
  EXPECT_EQ(file->Seek(0, SeekOrigin::Current), 5);
  EXPECT_EQ(file->Write("AB", 2), 2);
  EXPECT_EQ(file->Seek(-1, SeekOrigin::Current), 6);
  EXPECT_EQ(file->Read(bytes, 8), 4);  // short at the end
  EXPECT_EQ(std::string(bytes, 4), "B789");
  EXPECT_EQ(file->Read(bytes, 8), 0);
  EXPECT_EQ(file->Seek(-1, SeekOrigin::Begin), -1);
  EXPECT_EQ(GetLastError(), kErrorNegativeSeek);
  EXPECT_EQ(file->Seek(0, SeekOrigin::Current), 10);  // unchanged by the failed seek
  EXPECT_EQ(Contents(table_), "01234AB789");

  EXPECT_EQ(file->Seek(4, SeekOrigin::Begin), 4);
  EXPECT_TRUE(file->SetEndOfFile());
  EXPECT_EQ(file->Seek(0, SeekOrigin::End), 4);
  EXPECT_EQ(file->Seek(6, SeekOrigin::Begin), 6);
  EXPECT_TRUE(file->SetEndOfFile());  // extends with zero bytes
  EXPECT_EQ(Contents(table_), std::string("0123\0\0", 6));
  EXPECT_EQ(file->Seek(0, SeekOrigin::Begin), 0);
  EXPECT_TRUE(file->SetEndOfFile());
  EXPECT_TRUE(file->Flush());
  EXPECT_EQ(Contents(table_), "");
}

TEST_F(FileTest, OverlappingLocksInsideTheProcessAndExactUnlock) {
  auto file = OpenOsFile(table_, kSharedReadWrite);
  ASSERT_NE(file, nullptr);
  EXPECT_TRUE(file->Lock(100, 10));
  for (auto [offset, length] :
       {std::pair<uint64_t, uint64_t>{105, 1}, {100, 10}, {95, 6}, {109, 5}}) {
    EXPECT_FALSE(file->Lock(offset, length)) << offset << "+" << length;
    EXPECT_EQ(GetLastError(), kErrorLockViolation);
  }
  EXPECT_TRUE(file->Lock(99, 1));
  EXPECT_TRUE(file->Lock(110, 1));
  EXPECT_FALSE(file->Unlock(100, 5));
  EXPECT_EQ(GetLastError(), kErrorNotLocked);
  EXPECT_FALSE(file->Unlock(105, 5));
  EXPECT_TRUE(file->Unlock(100, 10));
  EXPECT_FALSE(file->Unlock(100, 10));
  EXPECT_TRUE(file->Lock(105, 1));

  // Offsets are 64-bit; a range may run past the largest file offset.
  EXPECT_TRUE(file->Lock(0x7FFFFFFFFFFFFFF0, 0x100));
  EXPECT_FALSE(file->Lock(0x7FFFFFFFFFFFFFFF, 1));
  EXPECT_EQ(GetLastError(), kErrorLockViolation);
  EXPECT_TRUE(file->Unlock(0x7FFFFFFFFFFFFFF0, 0x100));
  for (auto [offset, length] : {std::pair<uint64_t, uint64_t>{200, 0},
                                {0x8000000000000000, 1},
                                {0x7FFFFFFFFFFFFFFF, UINT64_MAX}}) {
    EXPECT_FALSE(file->Lock(offset, length)) << offset << "+" << length;
    EXPECT_EQ(GetLastError(), kErrorInvalidParameter);
  }
}

TEST_F(FileTest, LockHeldByAnotherProcessIsRefusedUntilItsOwnerExits) {
  constexpr uint64_t kHigh = 0x100000005;  // above 4 GiB: would be 5 if cut to 32 bits
  TChildProcess child([&](TChildProcess& self) {
    auto file = OpenOsFile(table_, kSharedReadWrite);
    const bool locked = file && file->Lock(4294967293, 1) && file->Lock(kHigh, 1);
    self.Send(locked ? 0 : GetLastError());
    self.Receive();
  });
  ASSERT_EQ(child.Receive(), 0u);
  auto file = OpenOsFile(table_, kSharedReadWrite);
  ASSERT_NE(file, nullptr);
  EXPECT_FALSE(file->Lock(4294967293, 1));
  EXPECT_EQ(GetLastError(), kErrorLockViolation);
  EXPECT_FALSE(file->Lock(4294901759, 65536));  // a region covering the child's byte
  EXPECT_EQ(GetLastError(), kErrorLockViolation);
  EXPECT_FALSE(file->Lock(kHigh - 2, 4));
  EXPECT_TRUE(file->Lock(4294967294, 1));
  EXPECT_TRUE(file->Lock(5, 1));
  child.Finish();
  EXPECT_TRUE(file->Lock(4294967293, 1));
  EXPECT_TRUE(file->Lock(kHigh, 1));
}

TEST_F(FileTest, ReadOnlyUsersLocksConflictWithWriters) {
  constexpr uint64_t kReadByte = 4294967295 - 7;
  TChildProcess firstReader(OpenAndLock(table_, kSharedReadOnly, kReadByte, 1));
  TChildProcess refusedReader(OpenAndLock(table_, kSharedReadOnly, kReadByte, 1));
  TChildProcess lastReader(OpenAndLock(table_, kSharedReadOnly, kReadByte, 1));
  {
    ASSERT_EQ(Cue(firstReader), 0u);
    auto writer = OpenOsFile(table_, kSharedReadWrite);
    ASSERT_NE(writer, nullptr);
    EXPECT_FALSE(writer->Lock(4294901759, 65536));
    EXPECT_EQ(GetLastError(), kErrorLockViolation);
    firstReader.Finish();
    EXPECT_TRUE(writer->Lock(4294901759, 65536));
  }
  auto writer = OpenOsFile(table_, kSharedReadWrite);
  ASSERT_NE(writer, nullptr);
  ASSERT_TRUE(writer->Lock(4294901759, 65536));
  EXPECT_EQ(Cue(refusedReader), kErrorLockViolation);
  ASSERT_TRUE(writer->Unlock(4294901759, 65536));
  EXPECT_EQ(Cue(lastReader), 0u);
}

TEST_F(FileTest, NamesAreFoundWithoutRegardToCase) {
  std::string stored = dir_.Write("SmeAdt01.dat", "address");
  auto file = OpenOsFile(dir_.File("smeadt01.DAT"), kSharedReadOnly);
  ASSERT_NE(file, nullptr);
  EXPECT_EQ(file->Name(), stored);
  file.reset();

  std::filesystem::create_directory(dir_.File("Data"));
  std::string nested = dir_.Write("Data/NewChinaTowns.DAT", "towns");
  EXPECT_EQ(ResolveFileName(dir_.File("DATA/newchinatowns.dat")), nested);
  EXPECT_EQ(ResolveFileName(dir_.File("data/Other.dat")), dir_.File("Data/Other.dat"));
  EXPECT_EQ(ResolveFileName(dir_.File("nodir/x.dat")), dir_.File("nodir/x.dat"));
  EXPECT_TRUE(RegularFileExists(dir_.File("SMEADT01.DAT")));

  // Replacing, renaming and removing reach the existing spelling.
  auto created = CreateOsFile(dir_.File("SMEADT01.dat"), false);
  ASSERT_NE(created, nullptr);
  EXPECT_EQ(created->Name(), stored);
  created.reset();
  EXPECT_EQ(Contents(stored), "");
  EXPECT_TRUE(RenameFile(dir_.File("smeadt01.dat"), dir_.File("SMEADT01.DAT")));  // case only
  EXPECT_EQ(Contents(dir_.File("SMEADT01.DAT")), "");
#ifdef _WIN32
  EXPECT_EQ(ResolveFileName(stored), dir_.File("SMEADT01.DAT"));  // one file, spelt anew
#else
  EXPECT_FALSE(std::filesystem::exists(stored));
#endif
  EXPECT_TRUE(RemoveFile(dir_.File("smeadt01.dat")));
  EXPECT_FALSE(std::filesystem::exists(dir_.File("SMEADT01.DAT")));
}

TEST_F(FileTest, CreateReplacesContentsButNotAFileInUse) {
  TChildProcess refused(OpenAndLock(table_, kSharedReadOnly));
  TChildProcess child(OpenAndLock(table_, kSharedReadOnly));
  auto file = CreateOsFile(table_, false);
  ASSERT_NE(file, nullptr);
  EXPECT_EQ(Contents(table_), "");
  EXPECT_EQ(file->Write("new", 3), 3);
  // A created file is held exclusively until it closes.
  EXPECT_EQ(Cue(refused), kErrorSharingViolation);
  file.reset();
  EXPECT_EQ(Contents(table_), "new");

  ASSERT_EQ(Cue(child), 0u);
  EXPECT_EQ(CreateOsFile(table_, false), nullptr);
  EXPECT_EQ(GetLastError(), kErrorSharingViolation);
  EXPECT_EQ(Contents(table_), "new");
  // Windows neither deletes nor moves a file that another program has open.
  EXPECT_FALSE(RemoveFile(table_));
  EXPECT_EQ(GetLastError(), kErrorSharingViolation);
  EXPECT_FALSE(RenameFile(table_, dir_.File("moved.dat")));
  EXPECT_EQ(GetLastError(), kErrorSharingViolation);
  child.Finish();

  auto fresh = CreateOsFile(dir_.File("fresh.tmp"), true);
  ASSERT_NE(fresh, nullptr);
  EXPECT_TRUE(RegularFileExists(dir_.File("fresh.tmp")));
}

TEST_F(FileTest, RenameNeverReplacesAndDeleteOnCloseRemoves) {
  std::string other = dir_.Write("other.dat", "other");
  EXPECT_FALSE(RenameFile(table_, dir_.File("OTHER.DAT")));
  EXPECT_EQ(GetLastError(), kErrorAlreadyExists);
  EXPECT_EQ(Contents(other), "other");
  EXPECT_FALSE(RenameFile(dir_.File("none.dat"), dir_.File("x.dat")));
  EXPECT_EQ(GetLastError(), kErrorFileNotFound);
  ASSERT_TRUE(RenameFile(table_, dir_.File("moved.dat")));
  EXPECT_EQ(Contents(dir_.File("moved.dat")), "0123456789");

  auto temporary = OpenOsFile(other, {FileAccess::ReadWrite, FileShare::Exclusive, true, true});
  ASSERT_NE(temporary, nullptr);
  EXPECT_TRUE(std::filesystem::exists(other));
  temporary.reset();
  EXPECT_FALSE(std::filesystem::exists(other));
}

TEST_F(FileTest, CallsAreCountedAndFaultsInjected) {
  auto file = OpenOsFile(table_, kSharedReadWrite);
  ASSERT_NE(file, nullptr);
  char bytes[4];
  file->Seek(0, SeekOrigin::Begin);
  file->Read(bytes, 4);
  file->Read(bytes, 4);
  file->Lock(1, 1);
  file->Unlock(1, 1);
  EXPECT_EQ(CallCount(OsCall::Open), 1u);
  EXPECT_EQ(CallCount(OsCall::Seek), 1u);
  EXPECT_EQ(CallCount(OsCall::Read), 2u);
  EXPECT_EQ(CallCount(OsCall::Lock), 1u);
  EXPECT_EQ(CallCount(OsCall::Unlock), 1u);
  EXPECT_EQ(CallCount(OsCall::Write), 0u);

  FailNext(OsCall::Write, kErrorDiskFull, 2);
  FailNext(OsCall::Lock, kErrorLockViolation);
  EXPECT_EQ(file->Write("ab", 2), -1);
  EXPECT_EQ(GetLastError(), kErrorDiskFull);
  EXPECT_EQ(file->Write("ab", 2), -1);
  EXPECT_EQ(file->Write("ab", 2), 2);
  EXPECT_EQ(CallCount(OsCall::Write), 3u);
  EXPECT_FALSE(file->Lock(1, 1));
  EXPECT_EQ(GetLastError(), kErrorLockViolation);
  EXPECT_TRUE(file->Lock(1, 1));  // the failed attempt took nothing

  FailNext(OsCall::Open, kErrorTooManyOpenFiles, 5);
  EXPECT_EQ(OpenError(table_, kSharedReadOnly), kErrorTooManyOpenFiles);
  ClearFaults();
  EXPECT_NE(OpenOsFile(table_, kSharedReadOnly), nullptr);
  FailNext(OsCall::Flush, kErrorWriteFault);
  FailNext(OsCall::Flush, kErrorWriteFault, 0);  // disarms again
  EXPECT_TRUE(file->Flush());
  ResetCallCounts();
  EXPECT_EQ(CallCount(OsCall::Write), 0u);
}

TEST(PathTest, SeparatorsAndDirectories) {
#ifdef _WIN32
  GTEST_SKIP() << "POSIX names and TMPDIR; the Windows forms are tested in win32/";
#else
  EXPECT_EQ(PathSeparator(), '/');
  EXPECT_TRUE(ContainsPath("data/Smeadt01"));
  EXPECT_FALSE(ContainsPath("Smeadt01"));
  EXPECT_EQ(IncludeTrailingSeparator(""), "");
  EXPECT_EQ(IncludeTrailingSeparator("/data"), "/data/");
  EXPECT_EQ(IncludeTrailingSeparator("/data/"), "/data/");

  test::TempDir dir;
  std::string saved = GetCurrentDir();
  std::filesystem::create_directory(dir.File("Work"));
  ASSERT_TRUE(SetCurrentDir(dir.File("work")));
  EXPECT_EQ(GetCurrentDir(), std::filesystem::canonical(dir.File("Work")).string());
  ASSERT_TRUE(SetCurrentDir(saved));
  EXPECT_FALSE(SetCurrentDir(dir.File("none")));
  EXPECT_EQ(GetLastError(), kErrorFileNotFound);

  const char* old = std::getenv("TMPDIR");
  std::string kept = old ? old : "";
  ::setenv("TMPDIR", "/var/tmp", 1);
  EXPECT_EQ(GetTempDir(), "/var/tmp/");
  ::unsetenv("TMPDIR");
  EXPECT_EQ(GetTempDir(), "/tmp/");
  if (old) ::setenv("TMPDIR", kept.c_str(), 1);
#endif
}

}  // namespace
}  // namespace ledra::platform
