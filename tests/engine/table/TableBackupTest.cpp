#include "engine/table/TableBackup.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "engine/errors/EngineError.h"
#include "engine/files/Bytes.h"
#include "engine/index/BTree.h"
#include "engine/index/Keys.h"
#include "engine/table/DataDirectory.h"
#include "engine/table/DataSession.h"
#include "engine/table/TableVerifier.h"
#include "platform/Diagnostics.h"
#include "platform/File.h"
#include "platform/System.h"
#include "platform/WinError.h"
#include "tests/engine/table/TableTestSupport.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/EngineErrors.h"
#include "tests/support/TempDir.h"

namespace ledra {
namespace {

namespace fs = std::filesystem;
using platform::OsCall;
using test::ErrorCodeRaisedBy;
using test::FileBytes;
using test::TChildProcess;

constexpr uint32_t kReady = 1;
constexpr uint32_t kStop = 2;
// More than one copy chunk of records: a copy made without the read lock
// could take the first record before a write and the last after it.
constexpr int32_t kPeople = 2000;

std::vector<std::string> Names(int count) {
  std::vector<std::string> names;
  for (int i = 0; i < count; ++i) names.push_back("P" + std::to_string(1000 + i));
  return names;
}

// Deleted-records keys order as their bytes do.
struct TByteOrder final : TKeyComparator {
  int CompareKeys(const uint8_t* a, const uint8_t* b, size_t n) const override {
    const int order = std::memcmp(a, b, n);
    return order < 0 ? -1 : order > 0 ? 1 : 0;
  }
} const kByteOrder;

class TableBackupTest : public ::testing::Test {
 protected:
  void TearDown() override { platform::ClearFaults(); }

  std::string TablePath() const { return platform::IncludeTrailingSeparator(dir_.File("live")); }
  std::string Folder(const std::string& name) const { return dir_.File(name); }

  // The people table without key indexes, so that records written straight
  // into the cache (and their deleted-records entries) make a sound table.
  void MakeTable(bool blobs) {
    fs::create_directories(dir_.File("live"));
    TDataSession maker;
    TDataDirectory& directory = maker.OpenDirectory("Town", TablePath());
    TTableDefinition definition = test::PeopleDefinition(blobs);
    definition.PrimaryIndex.Fields.clear();
    definition.SecondaryIndexes.clear();
    TOpenTableResult created = directory.CreateTable("People", false, false, definition);
    ASSERT_NE(created.Table, nullptr);
    TDataTable& table = *created.Table;
    test::AppendPeople(table, Names(kPeople));
    TBTree deleted(table.IndexFile(), kDeletedSlot, kByteOrder, "Sys Deleted");
    for (int32_t n = 1; n <= kPeople; ++n) {
      TRecord* record = table.RecordCache().FetchRecord(nullptr, n, kReadForward);
      uint8_t key[kMaxStoredKeyLength];
      TIndexKeys::BuildDeletedKey(record->Image(), key);
      table.RecordCache().ReleaseRecord(record);
      deleted.IndexInsert(key, n);
    }
    directory.CloseTable(table, false);
  }

  // The bytes of each file of a table in a folder, by extension ("" when absent).
  std::vector<std::vector<uint8_t>> Files(const std::string& folder) const {
    std::vector<std::vector<uint8_t>> files;
    for (const char* ext : {".DAT", ".IDX", ".BLB"}) {
      const fs::path name = fs::path(folder) / (std::string("People") + ext);
      files.push_back(fs::exists(name) ? FileBytes(name.string()) : std::vector<uint8_t>());
    }
    return files;
  }

  // Every record's Amount in the table copy in `folder`, read afresh.
  std::vector<uint32_t> Amounts(const std::string& folder) {
    TDataSession session;
    TDataTable& table = OpenCursorTable(session, "Copy", folder, "People", true, false, {});
    test::TTableCacheClient client(table);
    std::vector<uint32_t> amounts;
    for (int32_t n = 1; n <= kPeople; ++n) {
      TRecord* record = table.RecordCache().FetchRecord(&client, n, kReadForward);
      amounts.push_back(GetLE32(record->Image() + 32));
      table.RecordCache().ReleaseRecord(record);
    }
    table.Directory().CloseTable(table, false);
    return amounts;
  }

  // Adds `delta` to every record's Amount (no index holds it), as a program
  // holding the table alone would.
  void AddToAmounts(TDataDirectory& directory, uint32_t delta) {
    TOpenTableResult open = directory.OpenTable("People", false, false, true);
    ASSERT_NE(open.Table, nullptr);
    test::TTableCacheClient client(*open.Table);
    for (int32_t n = 1; n <= kPeople; ++n) {
      TRecord* record = open.Table->RecordCache().FetchRecord(&client, n, kReadForward);
      PutLE32(record->MutableImage() + 32, GetLE32(record->Image() + 32) + delta);
      record->MarkDirty();
      open.Table->RecordCache().ReleaseRecord(record);
    }
    open.Table->FlushBuffers({.ForceHeaders = {.Data = true}});
    directory.CloseTable(*open.Table, false);
  }

  std::vector<TVerifyFinding> Verify(const std::string& folder) {
    TDataSession session;
    TDataTable& table = OpenCursorTable(session, "Copy", folder, "People", true, false, {});
    std::vector<TVerifyFinding> findings = TTableVerifier(table).Run();
    table.Directory().CloseTable(table, false);
    return findings;
  }

  test::TempDir dir_;
  TDataSession session_;
};

// Another program adds 1 to the Amount of the first and the last record in
// one write after another; each backup taken meanwhile must hold one of those
// states whole.
TEST_F(TableBackupTest, BackupWhileAnotherProgramWritesHoldsOneWholeState) {
  if (!test::IsChildProcess()) MakeTable(false);
  const std::string path = TablePath();
  TChildProcess child([&](TChildProcess& self) {
    TDataSession other;
    TDataTable& table = OpenCursorTable(other, "Town", path, "People", false, false, {});
    test::TTableCacheClient client(table);
    self.Send(kReady);
    // Until told to stop; a test that gave up early shows only as a closed
    // line, which a receive cannot tell from silence, hence the time limit.
    const auto start = std::chrono::steady_clock::now();
    while (self.Receive(std::chrono::milliseconds(1)) != kStop &&
           test::MillisecondsSince(start) < 8000) {
      table.AcquireWriteLock();
      for (int32_t n : {1, kPeople}) {
        TRecord* record = table.RecordCache().FetchRecord(&client, n, kReadForward);
        PutLE32(record->MutableImage() + 32, GetLE32(record->Image() + 32) + 1);
        record->MarkDirty();
        table.RecordCache().ReleaseRecord(record);
      }
      table.FlushBuffers({.ForceHeaders = {.Data = true}});
      table.ReleaseWriteLock();
    }
    table.Directory().CloseTable(table, false);
  });
  ASSERT_EQ(child.Receive(), kReady);

  TDataDirectory& directory = session_.OpenDirectory("Town", path);
  std::set<uint32_t> states;
  // A pause after every chunk gives a writer that was not kept out all the
  // time it needs to change the table in the middle of the copy.
  TBackupOptions slow;
  slow.Progress = [](int64_t, int64_t) { platform::SleepMs(20); };
  for (int i = 0; i < 4; ++i) {
    const std::string folder = Folder("copy" + std::to_string(i));
    const TBackupResult result = BackupTable(directory, "People", folder, slow);
    EXPECT_EQ(result.LiveRecords, kPeople);
    EXPECT_EQ(result.Files.size(), 2u);  // no blob fields, no .BLB
    platform::SleepMs(30);
    const std::vector<uint32_t> amounts = Amounts(folder);
    // Amount started as the record's position; every write adds 1 to both.
    const uint32_t added = amounts[0] - 1;
    ASSERT_EQ(amounts[kPeople - 1], uint32_t(kPeople) + added) << "copy " << i;
    states.insert(added);
    EXPECT_TRUE(Verify(folder).empty()) << "copy " << i;
    EXPECT_FALSE(fs::exists(fs::path(folder) / BackupStagingFolder("People")));
  }
  child.Send(kStop);
  EXPECT_TRUE(child.Finish());
  EXPECT_GE(states.size(), 2u) << "the writer never wrote between two backups";
}

TEST_F(TableBackupTest, RestorePutsBackTheBackupsBytesAndKeepsTheFilesItReplaced) {
  MakeTable(true);
  TDataDirectory& directory = session_.OpenDirectory("Town", TablePath());
  std::vector<std::pair<int64_t, int64_t>> progress;
  TBackupOptions options;
  options.Progress = [&](int64_t done, int64_t total) { progress.emplace_back(done, total); };
  const TBackupResult taken = BackupTable(directory, "People", Folder("saved"), options);
  const auto saved = Files(Folder("saved"));
  EXPECT_EQ(saved, Files(TablePath()));
  ASSERT_FALSE(progress.empty());
  EXPECT_EQ(progress.back().first, progress.back().second);
  EXPECT_EQ(progress.back().first, taken.Bytes);
  for (size_t i = 1; i < progress.size(); ++i) EXPECT_GT(progress[i].first, progress[i - 1].first);

  AddToAmounts(directory, 7);  // the table moves on
  const auto changed = Files(TablePath());
  ASSERT_NE(changed[0], saved[0]);

  const TBackupResult restored = RestoreTable(directory, "People", Folder("saved"));
  EXPECT_EQ(restored.Files.size(), 3u);
  EXPECT_EQ(restored.Kept.size(), 3u);
  EXPECT_EQ(Files(TablePath()), saved);
  EXPECT_EQ(Files(Folder("saved")), saved);  // the backup itself untouched
  EXPECT_EQ(FileBytes(dir_.File("live/People.DBK")), changed[0]);
  EXPECT_EQ(FileBytes(dir_.File("live/People.IBK")), changed[1]);
  EXPECT_EQ(FileBytes(dir_.File("live/People.BBK")), changed[2]);
  EXPECT_EQ(Amounts(TablePath())[kPeople - 1], uint32_t(kPeople));
}

// A file the backup does not have does not survive the restore (it is kept).
TEST_F(TableBackupTest, RestoreRemovesAFileTheBackupDoesNotHave) {
  MakeTable(false);
  TDataDirectory& directory = session_.OpenDirectory("Town", TablePath());
  BackupTable(directory, "People", Folder("saved"));
  dir_.Write("live/People.BLB", "stray blob bytes");
  RestoreTable(directory, "People", Folder("saved"));
  EXPECT_FALSE(fs::exists(dir_.File("live/People.BLB")));
  EXPECT_EQ(FileBytes(dir_.File("live/People.BBK")).size(), 16u);
  EXPECT_EQ(Files(TablePath()), Files(Folder("saved")));
}

TEST_F(TableBackupTest, RestoreIsRefusedWhileTheTableIsOpenAnywhere) {
  const std::string path = TablePath();
  // Made before the table, which it opens when told to.
  TChildProcess child([&](TChildProcess& self) {
    if (self.Receive() != kReady) return;
    TDataSession other;
    TDataTable& table = OpenCursorTable(other, "Town", path, "People", false, false, {});
    self.Send(kReady);
    self.Receive();  // until the test lets go
    table.Directory().CloseTable(table, false);
  });
  MakeTable(false);
  TDataDirectory& directory = session_.OpenDirectory("Town", path);
  BackupTable(directory, "People", Folder("saved"));
  const auto before = Files(path);

  child.Send(kReady);
  ASSERT_EQ(child.Receive(), kReady);
  EXPECT_EQ(ErrorCodeRaisedBy([&] { RestoreTable(directory, "People", Folder("saved")); }),
            LEDRA_OSEACCES);
  EXPECT_EQ(Files(path), before);
  EXPECT_FALSE(fs::exists(dir_.File("live/People.DBK")));
  child.Send(kStop);
  EXPECT_TRUE(child.Finish());

  // Open in this process, through another session: refused the same way.
  TDataSession other;
  TDataTable& mine = OpenCursorTable(other, "Town", path, "People", false, false, {});
  EXPECT_EQ(ErrorCodeRaisedBy([&] { RestoreTable(directory, "People", Folder("saved")); }),
            LEDRA_OSEACCES);
  mine.Directory().CloseTable(mine, false);

  EXPECT_FALSE(ErrorCodeRaisedBy([&] { RestoreTable(directory, "People", Folder("saved")); }));
}

TEST_F(TableBackupTest, RestoreRefusesABackupThatIsMissingIncompleteOrUnsound) {
  MakeTable(true);
  TDataDirectory& directory = session_.OpenDirectory("Town", TablePath());
  const auto before = Files(TablePath());
  auto refusal = [&](const std::string& folder) {
    try {
      RestoreTable(directory, "People", folder);
    } catch (const ELedraEngineError& error) {
      return error.ErrorCode;
    }
    return TEngineErrorCode(0);
  };
  EXPECT_EQ(refusal(Folder("nowhere")), LEDRA_IMPORTERROR);
  EXPECT_EQ(refusal(TablePath()), LEDRA_IMPORTERROR);  // the table's own folder

  BackupTable(directory, "People", Folder("noblob"));
  fs::remove(Folder("noblob") + "/People.BLB");
  EXPECT_EQ(refusal(Folder("noblob")), LEDRA_IMPORTERROR);

  BackupTable(directory, "People", Folder("damaged"));
  {
    // A key in the primary index's leaf no longer matches its record.
    std::vector<uint8_t> data = FileBytes(Folder("damaged") + "/People.DAT");
    data[data.size() - 50 + 5] ^= 0x5A;  // the last record's row id (records of 50 bytes)
    dir_.Write("damaged/People.DAT", std::string(data.begin(), data.end()));
  }
  EXPECT_FALSE(Verify(Folder("damaged")).empty());
  EXPECT_EQ(refusal(Folder("damaged")), LEDRA_IMPORTERROR);

  EXPECT_EQ(Files(TablePath()), before);
  EXPECT_FALSE(fs::exists(dir_.File("live/People.DBK")));
}

TEST_F(TableBackupTest, BackupRefusesTheTablesOwnFolder) {
  MakeTable(false);
  TDataDirectory& directory = session_.OpenDirectory("Town", TablePath());
  EXPECT_EQ(ErrorCodeRaisedBy([&] { BackupTable(directory, "People", TablePath() + "."); }),
            LEDRA_EXPORTERROR);
}

// Every write of a backup failed in turn: the copy never lands, and a backup
// already in the folder stays whole; a failed rename leaves no .DAT there.
TEST_F(TableBackupTest, AFailedBackupLeavesNothingThatLooksWhole) {
  MakeTable(true);
  TDataDirectory& directory = session_.OpenDirectory("Town", TablePath());
  BackupTable(directory, "People", Folder("dest"));
  const auto earlier = Files(Folder("dest"));
  AddToAmounts(directory, 3);

  platform::ResetCallCounts();
  BackupTable(directory, "People", Folder("count"));
  const uint64_t writes = platform::CallCount(OsCall::Write);
  ASSERT_GE(writes, 3u);
  const std::string staging = Folder("dest") + "/" + BackupStagingFolder("People");
  for (uint64_t n = 1; n <= writes; ++n) {
    platform::FailNth(OsCall::Write, n, platform::kErrorDiskFull);
    EXPECT_EQ(ErrorCodeRaisedBy([&] { BackupTable(directory, "People", Folder("dest")); }),
              LEDRA_WRITEERR)
        << "write " << n;
    platform::ClearFaults();
    EXPECT_EQ(Files(Folder("dest")), earlier) << "write " << n;
    EXPECT_FALSE(fs::exists(staging)) << "write " << n;
  }

  for (uint64_t n = 1; n <= 3; ++n) {
    platform::FailNth(OsCall::Rename, n, platform::kErrorAccessDenied);
    EXPECT_NE(ErrorCodeRaisedBy([&] { BackupTable(directory, "People", Folder("dest")); }), 0)
        << "rename " << n;
    platform::ClearFaults();
    EXPECT_FALSE(fs::exists(Folder("dest") + "/People.DAT")) << "rename " << n;
    EXPECT_FALSE(fs::exists(staging)) << "rename " << n;
  }
  BackupTable(directory, "People", Folder("dest"));
  EXPECT_EQ(Files(Folder("dest")), Files(TablePath()));
}

// Every write of a restore failed in turn: the table is left as it was.
TEST_F(TableBackupTest, AFailedRestorePutsTheTableBack) {
  MakeTable(true);
  TDataDirectory& directory = session_.OpenDirectory("Town", TablePath());
  BackupTable(directory, "People", Folder("saved"));
  AddToAmounts(directory, 5);
  const auto current = Files(TablePath());

  // Counted on a twin of the table, restored for real.
  fs::copy(Folder("live"), Folder("twin"));
  TDataDirectory& twin = session_.OpenDirectory("Twin", Folder("twin"));
  platform::ResetCallCounts();
  RestoreTable(twin, "People", Folder("saved"));
  const uint64_t writes = platform::CallCount(OsCall::Write);
  ASSERT_GE(writes, 6u);

  for (uint64_t n = 1; n <= writes; ++n) {
    platform::FailNth(OsCall::Write, n, platform::kErrorDiskFull);
    EXPECT_EQ(ErrorCodeRaisedBy([&] { RestoreTable(directory, "People", Folder("saved")); }),
              LEDRA_WRITEERR)
        << "write " << n;
    platform::ClearFaults();
    ASSERT_EQ(Files(TablePath()), current) << "write " << n;
  }
  EXPECT_TRUE(Verify(TablePath()).empty());
}

}  // namespace
}  // namespace ledra
