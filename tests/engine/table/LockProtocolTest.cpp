#include "engine/table/TableLock.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

#include "engine/errors/EngineError.h"
#include "engine/table/DataDirectory.h"
#include "engine/table/DataSession.h"
#include "engine/table/DataTable.h"
#include "platform/Diagnostics.h"
#include "platform/File.h"
#include "platform/WinError.h"
#include "tests/engine/table/TableTestSupport.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/TempDir.h"

namespace ledra {
namespace {

using platform::CallCount;
using platform::OsCall;
using test::ErrorCodeRaisedBy;
using test::TChildProcess;

constexpr uint32_t kReady = 1;
constexpr uint32_t kGo = 2;

class LockProtocolTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (test::IsChildProcess()) return;  // the test's own process made the table
    TDataSession session;
    TDataDirectory& directory = session.OpenDirectory("People", Path());
    test::CreatePeople(directory, "People", {"Ann", "Bob", "Cy"});
  }

  std::string Path() const { return dir_.Path().string(); }
  std::string DataName() const { return dir_.File("People.DAT"); }
  std::string IndexName() const { return dir_.File("People.IDX"); }

  TDataTable& Open(TDataSession& session, bool exclusive = false) {
    return OpenCursorTable(session, "People", Path(), "People", exclusive, false, {});
  }

  test::TempDir dir_;
};

// ---- The lock map -----------------------------------------------------------------

TEST_F(LockProtocolTest, LockMapOffsetsAreTheSharedOnes) {
  EXPECT_EQ(RecordLockOffset(1), 4294967293ull);
  EXPECT_EQ(RecordLockOffset(200000000), 4094967294ull);
  EXPECT_EQ(RecordLockOffset(200000001), 4094967293ull);
  EXPECT_EQ(kWriteByteOffset, 4294967295ull);
  EXPECT_EQ(kWriteRegionOffset, 4294901759ull);
  EXPECT_EQ(kWriteRegionLength, 65536ull);
  EXPECT_EQ(ReadByteOffset(1), 4294967294ull);
  EXPECT_EQ(ReadByteOffset(65535), 4294901760ull);
  // Every read byte lies inside the write region.
  EXPECT_GT(ReadByteOffset(65535), kWriteRegionOffset);
  EXPECT_LT(ReadByteOffset(1), kWriteRegionOffset + kWriteRegionLength);
}

TEST_F(LockProtocolTest, AnotherProcessFindsRecordAndReadBytesLocked) {
  // The other process probes single bytes of the files with plain locks: bit
  // k of its answer is set when probe k was refused.
  TChildProcess child([&](TChildProcess& self) {
    auto data = platform::OpenOsFile(DataName(), {});
    auto index = platform::OpenOsFile(IndexName(), {});
    if (!data || !index) return self.Send(0xFFFF);
    self.Send(kReady);
    std::optional<uint32_t> r = self.Receive();
    if (!r) return;
    const uint64_t probes[][2] = {{4294967293ull, 0},      {4294967292ull, 0}, {4294967294ull, 0},
                                  {4094967294ull, 0},      {4094967293ull, 0}, {4294967295ull, 0},
                                  {4294967295ull - *r, 1}, {4294901759ull, 1}};
    uint32_t refused = 0;
    for (size_t k = 0; k < std::size(probes); ++k) {
      platform::File& file = probes[k][1] != 0 ? *index : *data;
      const uint64_t length = probes[k][0] == 4294901759ull ? 65536 : 1;
      if (file.Lock(probes[k][0], length)) {
        file.Unlock(probes[k][0], length);
      } else {
        refused |= 1u << k;
      }
    }
    self.Send(refused);
  });
  ASSERT_EQ(child.Receive(), kReady);

  TDataSession session;
  TDataTable& table = Open(session);
  EXPECT_FALSE(table.LockRecord(1));
  EXPECT_FALSE(table.LockRecord(200000000));
  EXPECT_TRUE(table.Lock().LockedRecords().Contains(200000000));
  // The read lock taken by the record locks is still held.
  ASSERT_TRUE(table.Lock().ReadLockHeld());
  const uint32_t r = table.Lock().IndexReadNumber();
  ASSERT_GE(r, 1u);
  ASSERT_LE(r, 65535u);
  child.Send(r);
  // Refused: record 1, record 200000000, the .IDX read byte and the .IDX
  // write region that covers it; free: the neighbours and the write byte.
  EXPECT_EQ(child.Receive(), (1u << 0) | (1u << 3) | (1u << 6) | (1u << 7));
}

// ---- Readers and writers between processes -------------------------------------

TEST_F(LockProtocolTest, WriterMakesAnotherProcessReaderWaitUntilReleased) {
  TChildProcess child([&](TChildProcess& self) {
    TDataSession session;
    TDataTable& table = Open(session);
    self.Send(kReady);
    if (self.Receive() != kGo) return;
    const auto start = std::chrono::steady_clock::now();
    self.Send(kReady);  // about to try
    table.AcquireReadLock();
    self.Send(uint32_t(test::MillisecondsSince(start)));
    self.Send(table.Lock().ReadLockHeld() ? 1 : 0);
    table.ReleaseReadLock();
  });
  ASSERT_EQ(child.Receive(), kReady);

  TDataSession session;
  TDataTable& table = Open(session);
  table.AcquireWriteLock();
  ASSERT_TRUE(table.Lock().WriteLockHeld());
  child.Send(kGo);
  ASSERT_EQ(child.Receive(), kReady);
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  table.ReleaseWriteLock();
  std::optional<uint32_t> waited = child.Receive();
  ASSERT_TRUE(waited);
  EXPECT_GE(*waited, 195u);
  EXPECT_LT(*waited, 4000u);
  EXPECT_EQ(child.Receive(), 1u);
}

TEST_F(LockProtocolTest, ReadersCoexistAndAFailedWriterLeavesNothingLocked) {
  TChildProcess child([&](TChildProcess& self) {
    if (self.Receive() != kGo) return;
    TDataSession other;
    other.SetTableLockAttempts(5);
    TDataTable& mine = Open(other);
    // A second reader gets its read lock at once.
    mine.AcquireReadLock();
    self.Send(mine.Lock().ReadLockHeld() ? 1 : 0);
    // A writer cannot get past the other process's read byte; having taken
    // the .DAT write byte first, it gives it back.
    platform::ResetCallCounts();
    const uint16_t code = ErrorCodeRaisedBy([&] { mine.AcquireWriteLock(); });
    self.Send(code);
    self.Send(uint32_t(CallCount(OsCall::Lock)));
    self.Send(mine.Lock().WriteLockHeld() || mine.Lock().ReadLockHeld() ? 1 : 0);
    self.Receive();
  });

  TDataSession session;
  TDataTable& table = Open(session);
  session.SetTableLockAttempts(5);
  table.AcquireReadLock();
  ASSERT_TRUE(table.Lock().ReadLockHeld());
  child.Send(kGo);
  EXPECT_EQ(child.Receive(), 1u);
  EXPECT_EQ(child.Receive(), LEDRA_LOCKTIMEOUT);
  EXPECT_EQ(child.Receive(), 1u + 5u);  // the write byte once, the region five times
  EXPECT_EQ(child.Receive(), 0u);
  // The child's write byte is free again: this writer gets all of it.
  EXPECT_FALSE(ErrorCodeRaisedBy([&] { table.AcquireWriteLock(); }));
  EXPECT_TRUE(table.Lock().WriteLockHeld());
  EXPECT_FALSE(table.Lock().ReadLockHeld());  // given up for the write lock
  table.ReleaseWriteLock();
  child.Send(kGo);
}

TEST_F(LockProtocolTest, RecordHeldByAnotherProcessFailsAfterItsRetries) {
  TChildProcess child([&](TChildProcess& self) {
    TDataSession other;
    TDataTable& mine = Open(other);
    mine.LockRecord(2);
    self.Send(kReady);
    self.Receive();
  });
  ASSERT_EQ(child.Receive(), kReady);

  TDataSession session;
  test::UseQuickLocks(session);  // 2 retries, 10 ms apart
  TDataTable& table = Open(session);

  // Strict change detection takes the read lock elsewhere: only the record
  // byte is tried, 1 + LockRetryCount times.
  session.SetStrictChangeDetection(true);
  platform::ResetCallCounts();
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(ErrorCodeRaisedBy([&] { table.LockRecord(2); }), LEDRA_RECLOCKFAILED);
  EXPECT_EQ(CallCount(OsCall::Lock), 3u);
  EXPECT_GE(test::MillisecondsSince(start), 20);
  EXPECT_FALSE(table.Lock().LockedRecords().Contains(2));
  EXPECT_FALSE(table.Lock().ReadLockHeld());

  // By default the read lock comes first and stays until the operation ends.
  session.SetStrictChangeDetection(false);
  session.SetLockRetryCount(4);
  platform::ResetCallCounts();
  start = std::chrono::steady_clock::now();
  EXPECT_EQ(ErrorCodeRaisedBy([&] { table.LockRecord(2); }), LEDRA_RECLOCKFAILED);
  EXPECT_EQ(CallCount(OsCall::Lock), 1u + 5u);
  EXPECT_GE(test::MillisecondsSince(start), 40);
  EXPECT_TRUE(table.Lock().ReadLockHeld());
  table.ReleaseReadLock();

  // Another record is free.
  EXPECT_FALSE(ErrorCodeRaisedBy([&] { table.LockRecord(3); }));
  table.ReleaseReadLock();
  table.UnlockRecord(3);
}

TEST_F(LockProtocolTest, ChangesOfAnotherProcessAreDetectedAndEmptyTheCache) {
  TChildProcess child([&](TChildProcess& self) {
    TDataSession other;
    TDataTable& mine = Open(other);
    self.Send(kReady);
    // Round 1: a new record and the .DAT header, under the write lock.
    if (self.Receive() != kGo) return;
    mine.AcquireWriteLock();
    test::AppendPeople(mine, {"Dee"});
    mine.FlushBuffers({.ForceHeaders = {.Index = true}});
    mine.ReleaseWriteLock();
    self.Send(kReady);
    // Round 2: the .IDX header alone.
    if (self.Receive() != kGo) return;
    mine.AcquireWriteLock();
    mine.FlushBuffers({.ForceHeaders = {.Index = true}});
    mine.ReleaseWriteLock();
    self.Send(kReady);
  });
  ASSERT_EQ(child.Receive(), kReady);

  TDataSession session;
  TDataTable& table = Open(session);
  test::TTableCacheClient client(table);
  TRecord* record = table.RecordCache().FetchRecord(&client, 1, kReadForward, false, true);
  ASSERT_NE(record, nullptr);
  table.RecordCache().ReleaseRecord(record);
  table.ReleaseReadLock();
  EXPECT_EQ(table.RecordCache().CachedCount(), 3u);
  // Nothing changed yet.
  EXPECT_FALSE(table.AcquireReadLock());
  table.ReleaseReadLock();
  const int32_t dataCount = table.DataFile().ChangeCount();

  child.Send(kGo);
  ASSERT_EQ(child.Receive(), kReady);
  EXPECT_TRUE(table.AcquireReadLock());
  EXPECT_EQ(table.RecordCache().CachedCount(), 0u);
  EXPECT_EQ(table.DataFile().NextRecordNo(), 5);
  EXPECT_GT(table.DataFile().ChangeCount(), dataCount);
  // The new record comes from disk.
  record = table.RecordCache().FetchRecord(&client, 4, kReadForward, false, false);
  ASSERT_NE(record, nullptr);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(record->Image()) + 10, 3), "Dee");
  table.RecordCache().ReleaseRecord(record);
  table.ReleaseReadLock();

  const uint32_t indexCount = table.IndexFile().IdxChangeCount();
  child.Send(kGo);
  ASSERT_EQ(child.Receive(), kReady);
  EXPECT_TRUE(table.AcquireReadLock());
  EXPECT_EQ(table.IndexFile().IdxChangeCount(), indexCount + 1);
  EXPECT_EQ(table.RecordCache().CachedCount(), 0u);
  table.ReleaseReadLock();
  EXPECT_FALSE(table.AcquireReadLock());
  table.ReleaseReadLock();
}

TEST_F(LockProtocolTest, DetectedChangesDropIndexPagesAndBlobBlocks) {
  {
    TDataSession maker;
    test::CreatePeople(maker.OpenDirectory("Town", Path()), "Notes", {"Ann"}, true);
  }
  TDataSession session, other;
  TDataTable& table = OpenCursorTable(session, "Town", Path(), "Notes", false, false, {});
  TDataTable& writer = OpenCursorTable(other, "Town", Path(), "Notes", false, false, {});

  table.AcquireWriteLock();
  TPage* page = table.IndexFile().AllocatePage(kPrimarySlot);
  ASSERT_NE(page, nullptr);
  page->PageType = kPageRootLeaf;
  table.IndexFile().ReleasePage(page);
  TBlock* block = table.BlobFile().NewBlock(nullptr);
  ASSERT_NE(block, nullptr);
  table.BlobFile().ReleaseBlock(block);
  table.FlushBuffers({});
  table.ReleaseWriteLock();
  EXPECT_EQ(table.IndexFile().PageCache(kPrimarySlot).Count(), 1u);
  EXPECT_EQ(table.BlobFile().CachedCount(), 1u);
  EXPECT_EQ(test::FileBytes(dir_.File("Notes.IDX")).size(), 2u * 4096u);
  EXPECT_FALSE(table.AcquireReadLock());
  table.ReleaseReadLock();
  EXPECT_EQ(table.IndexFile().PageCache(kPrimarySlot).Count(), 1u);

  // Another writer's headers make this table forget its pages and blocks.
  writer.AcquireWriteLock();
  writer.FlushBuffers({.ForceHeaders = {.Index = true, .Blob = true}});
  writer.ReleaseWriteLock();
  EXPECT_TRUE(table.AcquireReadLock());
  EXPECT_EQ(table.IndexFile().PageCache(kPrimarySlot).Count(), 0u);
  EXPECT_EQ(table.BlobFile().CachedCount(), 0u);
  EXPECT_EQ(table.RecordCache().CachedCount(), 0u);
  table.ReleaseReadLock();
}

// ---- One process ---------------------------------------------------------------

TEST_F(LockProtocolTest, TimeoutOfALaterRangeReleasesTheEarlierOnes) {
  TDataSession reader, writer, third;
  TDataTable& read = Open(reader);
  TDataTable& write = Open(writer);
  TDataTable& check = Open(third);
  reader.SetTableLockAttempts(4);
  writer.SetTableLockAttempts(3);
  third.SetTableLockAttempts(1);

  read.AcquireReadLock();
  platform::ResetCallCounts();
  EXPECT_EQ(ErrorCodeRaisedBy([&] { write.AcquireWriteLock(); }), LEDRA_LOCKTIMEOUT);
  EXPECT_EQ(CallCount(OsCall::Lock), 1u + 3u);
  EXPECT_EQ(CallCount(OsCall::Unlock), 1u);  // the .DAT write byte given back
  EXPECT_FALSE(write.Lock().WriteLockHeld());
  read.ReleaseReadLock();
  // One attempt each is enough now: nothing was left behind.
  EXPECT_FALSE(ErrorCodeRaisedBy([&] { check.AcquireWriteLock(); }));
  check.ReleaseWriteLock();

  // A read byte that cannot be had raises at once after its attempts.
  check.AcquireWriteLock();
  platform::ResetCallCounts();
  EXPECT_EQ(ErrorCodeRaisedBy([&] { read.AcquireReadLock(); }), LEDRA_LOCKTIMEOUT);
  EXPECT_EQ(CallCount(OsCall::Lock), 4u);  // each with a number of its own
  EXPECT_FALSE(read.Lock().ReadLockHeld());
  check.ReleaseWriteLock();
}

TEST_F(LockProtocolTest, SecondCursorLockFailsAtOnceAndAnotherTableAfterRetries) {
  TDataSession session, other;
  test::UseQuickLocks(session);
  test::UseQuickLocks(other);
  TDataTable& table = Open(session);
  TDataTable& second = Open(other);

  EXPECT_FALSE(table.LockRecordForCursor(1));
  table.ReleaseReadLock();
  EXPECT_TRUE(table.Lock().CursorLockedRecords().Contains(1));
  // At once: not a single attempt, so no wait.
  platform::ResetCallCounts();
  EXPECT_EQ(ErrorCodeRaisedBy([&] { table.LockRecordForCursor(1); }), LEDRA_RECLOCKFAILED);
  EXPECT_EQ(CallCount(OsCall::Lock), 0u);

  // Another table object of the process is refused through the shared
  // handle, after its retries.
  platform::ResetCallCounts();
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(ErrorCodeRaisedBy([&] { second.LockRecord(1); }), LEDRA_RECLOCKFAILED);
  EXPECT_EQ(CallCount(OsCall::Lock), 1u + 3u);
  EXPECT_GE(test::MillisecondsSince(start), 20);
  second.ReleaseReadLock();

  table.UnlockRecordForCursor(1);
  EXPECT_FALSE(table.Lock().CursorLockedRecords().Contains(1));
  EXPECT_FALSE(ErrorCodeRaisedBy([&] { second.LockRecord(1); }));
  second.ReleaseReadLock();
  second.UnlockRecord(1);
}

TEST_F(LockProtocolTest, RecordLockAndUnlockRefusals) {
  TDataSession session;
  TDataTable& table = Open(session);
  EXPECT_EQ(ErrorCodeRaisedBy([&] { table.LockRecord(0); }), LEDRA_RECLOCKFAILED);
  EXPECT_EQ(ErrorCodeRaisedBy([&] { table.LockRecord(-4); }), LEDRA_RECLOCKFAILED);
  EXPECT_EQ(ErrorCodeRaisedBy([&] { table.UnlockRecord(2); }), LEDRA_UNLOCKFAILED);
  EXPECT_EQ(ErrorCodeRaisedBy([&] { table.UnlockRecord(0); }), LEDRA_UNLOCKFAILED);
  // Unlocking the read lock twice is harmless; a refused unlock keeps the flag.
  table.AcquireReadLock();
  platform::FailNext(OsCall::Unlock, platform::kErrorNotLocked);
  EXPECT_EQ(ErrorCodeRaisedBy([&] { table.ReleaseReadLock(); }), LEDRA_UNLOCKFAILED);
  EXPECT_TRUE(table.Lock().ReadLockHeld());
  table.ReleaseReadLock();
  EXPECT_FALSE(table.Lock().ReadLockHeld());
  table.ReleaseReadLock();
  platform::ClearFaults();
}

TEST_F(LockProtocolTest, LocksDoNotNest) {
  TDataSession session;
  TDataTable& table = Open(session);
  table.AcquireReadLock();
  platform::ResetCallCounts();
  EXPECT_FALSE(table.AcquireReadLock());
  EXPECT_FALSE(table.AcquireStatementReadLock());
  EXPECT_FALSE(table.Lock().StatementReadLockHeld());
  EXPECT_EQ(CallCount(OsCall::Lock), 0u);
  table.ReleaseReadLock();

  table.AcquireStatementReadLock();
  EXPECT_TRUE(table.Lock().StatementReadLockHeld());
  EXPECT_NE(table.Lock().StatementIndexReadNumber(), 0u);
  platform::ResetCallCounts();
  EXPECT_FALSE(table.AcquireReadLock());
  EXPECT_EQ(CallCount(OsCall::Lock), 0u);
  table.ReleaseStatementReadLock();

  table.AcquireWriteLock();
  platform::ResetCallCounts();
  EXPECT_FALSE(table.AcquireWriteLock());
  EXPECT_FALSE(table.AcquireReadLock());
  EXPECT_EQ(CallCount(OsCall::Lock), 0u);
  table.ReleaseWriteLock();
  EXPECT_FALSE(table.Lock().WriteLockHeld());
}

TEST_F(LockProtocolTest, TransactionDefersRecordUnlocksToCommitAndRollback) {
  TDataSession session, other;
  other.SetLockRetryCount(0);
  other.SetStrictChangeDetection(true);
  other.SetTableLockAttempts(2);
  TDataDirectory& directory = session.OpenDirectory("People", Path());
  TDataTable& table = OpenCursorTable(directory, "People", false, false, {});
  TDataTable& second = Open(other);
  auto otherCanLock = [&] {
    if (ErrorCodeRaisedBy([&] { second.LockRecord(1); }) != LEDRA_NONE) return false;
    second.UnlockRecord(1);
    return true;
  };

  for (bool commit : {true, false}) {
    SCOPED_TRACE(commit ? "commit" : "rollback");
    directory.StartTransaction();
    EXPECT_TRUE(table.InTransaction());
    EXPECT_TRUE(table.Lock().TransactionLockHeld());
    // Other writers are kept out for the whole transaction.
    EXPECT_EQ(ErrorCodeRaisedBy([&] { second.AcquireWriteLock(); }), LEDRA_LOCKTIMEOUT);

    table.LockRecord(1);
    table.ReleaseReadLock();
    table.UnlockRecord(1);
    EXPECT_TRUE(table.Lock().UnlockPending().Contains(1));
    EXPECT_FALSE(otherCanLock());
    if (commit) {
      directory.Commit(false);
    } else {
      directory.Rollback();
    }
    EXPECT_FALSE(table.InTransaction());
    EXPECT_FALSE(table.Lock().TransactionLockHeld());
    EXPECT_FALSE(table.Lock().LockedRecords().Contains(1));
    EXPECT_TRUE(otherCanLock());
  }

  // Locked again before the end: the record stays locked after the commit.
  directory.StartTransaction();
  table.LockRecord(1);
  table.ReleaseReadLock();
  table.UnlockRecord(1);
  EXPECT_FALSE(table.LockRecord(1));
  EXPECT_FALSE(table.Lock().UnlockPending().Contains(1));
  directory.Commit(false);
  EXPECT_FALSE(otherCanLock());
  table.UnlockRecord(1);
  EXPECT_TRUE(otherCanLock());
}

TEST_F(LockProtocolTest, ExclusiveTableMakesNoLockCalls) {
  TDataSession session;
  TDataDirectory& directory = session.OpenDirectory("People", Path());
  platform::ResetCallCounts();
  TDataTable& table = OpenCursorTable(directory, "People", true, false, {});
  EXPECT_TRUE(table.Exclusive());

  EXPECT_FALSE(table.AcquireReadLock());
  EXPECT_FALSE(table.Lock().ReadLockHeld());
  table.ReleaseReadLock();
  EXPECT_FALSE(table.AcquireStatementReadLock());
  table.ReleaseStatementReadLock();
  EXPECT_FALSE(table.AcquireWriteLock());
  EXPECT_FALSE(table.Lock().WriteLockHeld());
  table.ReleaseWriteLock();
  EXPECT_FALSE(table.LockRecord(1));
  EXPECT_FALSE(table.Lock().LockedRecords().Contains(1));
  table.UnlockRecord(1);
  EXPECT_FALSE(table.LockRecordForCursor(2));
  table.UnlockRecordForCursor(2);

  directory.StartTransaction();
  EXPECT_TRUE(table.Lock().TransactionLockHeld());  // recorded, not locked
  table.LockRecord(1);
  table.UnlockRecord(1);
  directory.Commit(true);
  EXPECT_FALSE(table.Lock().TransactionLockHeld());
  directory.StartTransaction();
  directory.Rollback();
  directory.CloseTable(table, false);

  EXPECT_EQ(CallCount(OsCall::Lock), 0u);
  EXPECT_EQ(CallCount(OsCall::Unlock), 0u);
}

TEST_F(LockProtocolTest, TableWithReadOnlyAttributeMakesNoLockCalls) {
  ASSERT_TRUE(platform::SetReadOnlyAttribute(DataName(), true));
  TDataSession session;
  TDataDirectory& directory = session.OpenDirectory("People", Path());
  platform::ResetCallCounts();
  TDataTable& table = OpenCursorTable(directory, "People", false, false, {});
  EXPECT_TRUE(table.ReadOnlyAttribute());
  EXPECT_TRUE(table.ReadOnly());

  EXPECT_FALSE(table.AcquireReadLock());
  table.ReleaseReadLock();
  EXPECT_FALSE(table.AcquireWriteLock());
  table.ReleaseWriteLock();
  EXPECT_FALSE(table.LockRecord(1));
  table.UnlockRecord(1);
  EXPECT_FALSE(table.AcquireTransactionLock());
  EXPECT_FALSE(table.Lock().TransactionLockHeld());
  directory.StartTransaction();
  EXPECT_FALSE(table.InTransaction());  // read-only tables stay out
  directory.Commit(false);
  directory.CloseTable(table, false);

  EXPECT_EQ(CallCount(OsCall::Lock), 0u);
  EXPECT_EQ(CallCount(OsCall::Unlock), 0u);
  platform::SetReadOnlyAttribute(DataName(), false);
}

TEST_F(LockProtocolTest, ClosingReleasesEveryLock) {
  TDataSession session, other;
  other.SetLockRetryCount(0);
  other.SetTableLockAttempts(1);
  TDataDirectory& directory = session.OpenDirectory("People", Path());
  TDataTable& table = OpenCursorTable(directory, "People", false, false, {});
  TDataTable& second = Open(other);
  table.LockRecord(1);
  table.LockRecord(3);
  table.AcquireStatementReadLock();  // not taken: the read lock is held
  directory.CloseTable(table, false);
  EXPECT_EQ(directory.TableCount(), 0u);

  EXPECT_FALSE(ErrorCodeRaisedBy([&] { second.LockRecord(1); }));
  EXPECT_FALSE(ErrorCodeRaisedBy([&] { second.LockRecord(3); }));
  second.ReleaseReadLock();
  EXPECT_FALSE(ErrorCodeRaisedBy([&] { second.AcquireWriteLock(); }));
  second.ReleaseWriteLock();
}

}  // namespace
}  // namespace ledra
