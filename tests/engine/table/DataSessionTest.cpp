#include "engine/table/DataSession.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "engine/errors/EngineError.h"
#include "engine/files/FileList.h"
#include "engine/table/DataDirectory.h"
#include "engine/table/DataTable.h"
#include "platform/Diagnostics.h"
#include "platform/File.h"
#include "platform/System.h"
#include "platform/WinError.h"
#include "tests/engine/table/TableTestSupport.h"
#include "tests/support/TempDir.h"

namespace ledra {
namespace {

using test::ErrorCodeRaisedBy;

std::string WithSeparator(const std::filesystem::path& path) {
  return path.string() + platform::PathSeparator();
}

// Restores the current directory a test moves.
class CurrentDirGuard {
 public:
  CurrentDirGuard() : saved_(platform::GetCurrentDir()) {}
  ~CurrentDirGuard() { platform::SetCurrentDir(saved_); }

 private:
  std::string saved_;
};

TEST(DataSessionTest, SettingsStartWithTheEngineDefaults) {
  TDataSession session;
  const TDataSessionSettings& s = session.Settings();
  EXPECT_EQ(s.LockRetryCount, 15);
  EXPECT_EQ(s.LockWaitTime, 100);
  EXPECT_EQ(s.LockProtocol, kLockPessimistic);
  EXPECT_FALSE(s.ForceBufferFlush);
  EXPECT_FALSE(s.StrictChangeDetection);
  EXPECT_EQ(s.RecordCacheBytes, 16384u);
  EXPECT_EQ(s.RecordCacheCount, 8192u);
  EXPECT_EQ(s.ThirdBufferLimit, 16384u);
  EXPECT_EQ(s.BlobCacheBytes, 32768u);
  EXPECT_EQ(s.BlobCacheCount, 8192u);
  EXPECT_EQ(s.ProgressSteps, 20);
  EXPECT_EQ(s.TableLockAttempts, 32767u);
  EXPECT_EQ(kTableLockRetryMs, 3u);

  session.SetBufferLimits(1, 2, 3, 4, 5);
  EXPECT_EQ(session.Settings().RecordCacheBytes, 1u);
  EXPECT_EQ(session.Settings().RecordCacheCount, 2u);
  EXPECT_EQ(session.Settings().ThirdBufferLimit, 3u);
  EXPECT_EQ(session.Settings().BlobCacheBytes, 4u);
  EXPECT_EQ(session.Settings().BlobCacheCount, 5u);
  session.SetLockProtocol(1);
  EXPECT_EQ(session.Settings().LockProtocol, 1);
}

TEST(DataSessionTest, EmptyPathMeansTheStartDirectoryEvenAfterAMove) {
  test::TempDir start, elsewhere;
  CurrentDirGuard guard;
  ASSERT_TRUE(platform::SetCurrentDir(start.Path().string()));
  TDataSession session;
  EXPECT_EQ(session.StartDirectory(), WithSeparator(start.Path()));
  ASSERT_TRUE(platform::SetCurrentDir(elsewhere.Path().string()));

  TDataDirectory& directory = session.OpenDirectory("Town", "  ");
  EXPECT_EQ(directory.Path(), WithSeparator(start.Path()));
  // A table given without a path is found there.
  test::CreatePeople(directory, "People", {"Ann"});
  EXPECT_TRUE(std::filesystem::exists(start.File("People.DAT")));
  EXPECT_FALSE(std::filesystem::exists(elsewhere.File("People.DAT")));
  TDataTable& table = OpenCursorTable(session, "Town", "", "People", false, false, {});
  EXPECT_EQ(table.DataFile().FileName(), start.File("People.DAT"));
  EXPECT_EQ(&table.Directory(), &directory);
  directory.CloseTable(table, false);
  session.ReleaseDirectory(directory);
  session.ReleaseDirectory(directory);
  EXPECT_EQ(session.DirectoryCount(), 0u);
}

TEST(DataSessionTest, DirectoriesAreSharedByPathAndCounted) {
  test::TempDir dir;
  TDataSession session;
  const std::string path = dir.Path().string();
  TDataDirectory& first = session.OpenDirectory("One", path);
  TDataDirectory& second = session.OpenDirectory("Two", "  " + path + platform::PathSeparator());
  EXPECT_EQ(&first, &second);
  EXPECT_EQ(first.UseCount(), 2);
  EXPECT_EQ(first.DatabaseName(), "One");
  EXPECT_EQ(first.Path(), WithSeparator(dir.Path()));

  TDataDirectory& memory = session.OpenDirectory("memory", "");
  EXPECT_EQ(memory.Path(), "");
  EXPECT_EQ(session.OpenDirectory("MEMORY", "  ").Path(), "");
  EXPECT_EQ(memory.UseCount(), 2);
  EXPECT_EQ(session.DirectoryCount(), 2u);

  session.ReleaseDirectory(first);
  EXPECT_EQ(session.DirectoryCount(), 2u);
  session.ReleaseDirectory(second);
  EXPECT_EQ(session.DirectoryCount(), 1u);
}

TEST(DataSessionTest, PasswordsCompareExactly) {
  TDataSession session;
  session.AddPassword("");
  EXPECT_EQ(session.PasswordCount(), 0u);
  session.AddPassword("Secret");
  session.AddPassword("Secret");
  session.AddPassword("secret");
  EXPECT_EQ(session.PasswordCount(), 2u);
  EXPECT_TRUE(session.HasPassword("Secret"));
  EXPECT_FALSE(session.HasPassword("SECRET"));
  EXPECT_FALSE(session.HasPassword("Secret "));
  session.RemovePassword("Secret");
  EXPECT_FALSE(session.HasPassword("Secret"));
  EXPECT_TRUE(session.HasPassword("secret"));
  const std::string longer(300, 'x');
  session.AddPassword(longer);
  EXPECT_TRUE(session.HasPassword(std::string(255, 'x')));
  session.RemoveAllPasswords();
  EXPECT_EQ(session.PasswordCount(), 0u);
}

TEST(DataSessionTest, PrivateDirectoryDefaultsToTheTemporaryOne) {
  TDataSession session;
  EXPECT_EQ(session.PrivateDir(), platform::GetTempDir());
  session.SetPrivateDir("");
  EXPECT_EQ(session.PrivateDir(), "");
  EXPECT_EQ(session.PrivateDirectory(), session.StartDirectory());
  session.SetPrivateDir("/somewhere");
  EXPECT_EQ(session.PrivateDirectory(), std::string("/somewhere") + platform::PathSeparator());
}

TEST(DataSessionTest, RemoteSessionRefusesEveryOperation) {
  TDataSession session(true, "tables.example:7000");
  auto refuses = [&](auto&& call) { EXPECT_EQ(ErrorCodeRaisedBy(call), LEDRA_REMOTECONNECT); };
  refuses([&] { session.OpenDirectory("Town", "/tmp"); });
  refuses([&] { session.AddPassword("x"); });
  refuses([&] { session.HasPassword("x"); });
  refuses([&] { session.RemoveAllPasswords(); });
  refuses([&] { session.SetLockRetryCount(1); });
  refuses([&] { session.SetPrivateDir("/tmp"); });
  refuses([&] { OpenCursorTable(session, "Town", "/tmp", "People", false, false, {}); });
  try {
    session.OpenDirectory("Town", "/tmp");
  } catch (const ELedraEngineError& error) {
    EXPECT_NE(std::string(error.what()).find("tables.example:7000"), std::string::npos)
        << error.what();
  }
  EXPECT_EQ(session.DirectoryCount(), 0u);
}

TEST(DataSessionTest, TempTableNamesUseTheThreadAndAFreeCounter) {
  test::TempDir dir;
  TDataSession session;
  TDataDirectory& directory = session.OpenDirectory("Town", dir.Path().string());
  std::string prefix = std::to_string(platform::CurrentThreadId()).substr(0, 5);
  EXPECT_EQ(directory.TempTableName(false), prefix + "0.DAT");
  dir.Write(prefix + "0.DAT", "x");
  EXPECT_EQ(directory.TempTableName(false), prefix + "1.DAT");
  EXPECT_EQ(directory.TempTableName(true), prefix + "0.DAT");
}

TEST(DataSessionTest, DestroyingTheSessionRollsBackAndClosesItsTables) {
  test::TempDir dir;
  {
    TDataSession maker;
    test::CreatePeople(maker.OpenDirectory("Town", dir.Path().string()), "People", {"Ann"});
  }
  const auto before = test::FileBytes(dir.File("People.DAT"));
  {
    TDataSession session;
    TDataDirectory& directory = session.OpenDirectory("Town", dir.Path().string());
    TDataTable& table = OpenCursorTable(directory, "People", false, false, {});
    table.LockRecord(1);
    table.ReleaseReadLock();
    directory.StartTransaction();
    test::AppendPeople(table, {"Bob"});
  }
  EXPECT_EQ(test::FileBytes(dir.File("People.DAT")), before);
  // Nothing is left open or locked: the table opens exclusively.
  TDataSession after;
  TDataTable& table =
      OpenCursorTable(after, "Town", dir.Path().string(), "People", true, false, {});
  EXPECT_EQ(table.DataFile().NextRecordNo(), 2);
}

// The last close of an exclusive table writes what the table has only
// marked. When that write fails the failure is raised, and the table, its
// handles and its locks are gone all the same.
TEST(DataSessionTest, AFailedWriteAtTheLastCloseIsRaisedOnceEverythingIsReleased) {
  test::TempDir dir;
  const std::string path = dir.Path().string();
  {
    TDataSession maker;
    test::CreatePeople(maker.OpenDirectory("Town", path), "People", {"Ann"});
  }
  const size_t filesBefore = TFileList::Instance().FileCount();
  const auto before = test::FileBytes(dir.File("People.DAT"));

  // Closed by its last cursor.
  {
    TDataSession session;
    TDataDirectory& directory = session.OpenDirectory("Town", path);
    TDataTable& table = OpenCursorTable(directory, "People", true, false, {});
    test::AppendPeople(table, {"Bob"});
    platform::FailNext(platform::OsCall::Write, platform::kErrorDiskFull);
    EXPECT_EQ(ErrorCodeRaisedBy([&] { directory.CloseTable(table, false); }), LEDRA_WRITEERR);
    EXPECT_EQ(directory.TableCount(), 0u);
    EXPECT_EQ(TFileList::Instance().FileCount(), filesBefore);
  }
  EXPECT_EQ(test::FileBytes(dir.File("People.DAT")), before);

  // Still open when the last user of its directory lets the directory go.
  TDataSession session;
  TDataTable& table = OpenCursorTable(session, "Town", path, "People", true, false, {});
  test::AppendPeople(table, {"Cy"});
  platform::FailNext(platform::OsCall::Write, platform::kErrorDiskFull);
  EXPECT_EQ(ErrorCodeRaisedBy([&] { session.ReleaseDirectory(session.Directory(0)); }),
            LEDRA_WRITEERR);
  EXPECT_EQ(session.DirectoryCount(), 0u);
  EXPECT_EQ(TFileList::Instance().FileCount(), filesBefore);
  EXPECT_EQ(test::FileBytes(dir.File("People.DAT")), before);

  // Nothing is held: the table opens exclusively at once, as it was, and a
  // close on a sound disk writes.
  TDataSession after;
  TDataTable& again = OpenCursorTable(after, "Town", path, "People", true, false, {});
  EXPECT_EQ(again.DataFile().NextRecordNo(), 2);
  test::AppendPeople(again, {"Dee"});
  after.ReleaseDirectory(after.Directory(0));
  TDataTable& written = OpenCursorTable(after, "Town", path, "People", false, false, {});
  EXPECT_EQ(written.DataFile().NextRecordNo(), 3);
}

}  // namespace
}  // namespace ledra
