// One open table of a session: its three file handlers, its users, its share
// mode and its lock state.
//
// A TDataTable is made by the first open of its name in a directory of a
// session and shared by every cursor of that session over the table; it
// counts their opens. It owns the handlers of the table's .DAT, .IDX and .BLB
// files (TDataFile with its record cache, TIndexFile, TBlobFile), opens and
// closes them with the first and last user, flushes, drops and re-reads their
// buffers, and performs the lock protocol (TableLock.h) on them.
//
// Another session of the process, like another process, has its own
// TDataTable for the same files, with its own caches and lock state; the two
// share only the file registry's handles and, through them, the byte-range
// locks.
//
// Flushing: a table open for shared use is flushed by the cursor at the end of
// every write, under the write lock; an exclusive one only marks its headers
// changed and is flushed when it closes. Inside a transaction nothing is
// written before the commit.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "engine/blob/BlobFile.h"
#include "engine/files/DataFile.h"
#include "engine/files/RecordCache.h"
#include "engine/table/TableDefinition.h"
#include "engine/table/TableLock.h"
#include "engine/index/IndexFile.h"

namespace ledra {

class TDataDirectory;
class TDataSession;
struct TDataSessionSettings;

// Some of a table's three files: those a change touched, or whose headers
// are to be written even when unchanged.
struct TTableFiles {
  bool Data = false;
  bool Index = false;
  bool Blob = false;
};

// How FlushBuffers writes, beyond the changed records, pages and blocks.
struct TFlushOptions {
  // Trim the caches back to their limits afterwards.
  bool Trim = false;
  // Flush the system's buffers of each file written to (also done when the
  // session forces buffer flushes).
  bool OsFlush = false;
  // Write these headers even when unchanged.
  TTableFiles ForceHeaders = {};
};

// What DropBuffers does besides dropping.
struct TDropOptions {
  // Trim the caches back to their limits.
  bool Trim = false;
  // Read the three headers again from the files.
  bool RereadHeaders = false;
};

class TDataTable final : private TTableLockHost,
                         private TRecordCacheTable,
                         private TBlobCacheTable {
 public:
  // A closed table of `tableName` (without directory; an extension is
  // optional) in `directory`.
  TDataTable(TDataDirectory& directory, std::string tableName, bool exclusive, bool inMemory,
             bool temporary);
  // Releases every lock and closes the files without flushing; never raises.
  ~TDataTable();
  TDataTable(const TDataTable&) = delete;
  TDataTable& operator=(const TDataTable&) = delete;

  TDataDirectory& Directory() const { return directory_; }
  TDataSession& Session() const;
  const TDataSessionSettings& Settings() const;
  const std::string& TableName() const { return tableName_; }

  uint16_t OpenCount() const { return openCount_; }
  bool IsOpen() const { return open_; }
  bool Exclusive() const override { return exclusive_; }
  bool ReadOnly() const { return readOnly_; }
  bool ReadOnlyAttribute() const { return readOnlyAttribute_; }
  bool InMemory() const { return inMemory_; }
  bool Temporary() const { return temporary_; }
  // Takes over an opener's share mode and kind; only while the files are
  // closed.
  void SetOpenFlags(bool exclusive, bool inMemory, bool temporary);
  // The index file was missing and has been created empty by OpenFiles: the
  // opener must rebuild the indexes.
  bool IndexRecreated() const { return indexRecreated_; }
  // Something was written to one of the files since they were opened.
  bool Written() const { return written_; }
  bool InTransaction() const { return inTransaction_; }

  TDataFile& DataFile() { return data_; }
  const TDataFile& DataFile() const { return data_; }
  TRecordCache& RecordCache() { return *recordCache_; }
  TIndexFile& IndexFile() { return index_; }
  const TIndexFile& IndexFile() const { return index_; }
  TBlobFile& BlobFile() { return blob_; }
  const TBlobFile& BlobFile() const { return blob_; }
  // The table has blob fields (and so a .BLB file).
  bool HasBlobs() const { return data_.HasBlobs(); }

  // ---- Files ----------------------------------------------------------------

  // One user more; the first one opens the files: the .DAT, then the .IDX
  // (created empty when it is missing: index recreated), then, with blob
  // fields, the .BLB. Any failure closes what was opened, leaves the table
  // closed and passes the error on.
  void OpenFiles();
  // One user less; the last one (outside a transaction) flushes an exclusive
  // table (or, with `discard`, drops a temporary one's buffers), releases
  // every lock and closes the files.
  void CloseFiles(bool discard);
  // Writes everything changed: records, descriptors and headers of the files
  // that are open (the forced headers even when unchanged), flushing the
  // system's buffers when asked or when the session says so; trims the
  // caches when asked. Nothing for a read-only table; inside a transaction
  // only the forced headers are marked changed.
  void FlushBuffers(const TFlushOptions& options);
  // Counts a change in the named files' headers without writing.
  void MarkChanged(const TTableFiles& files);
  // Drops every cached record, index page and blob block without writing;
  // optionally trims the caches and re-reads the three headers.
  void DropBuffers(const TDropOptions& options);
  // Empties all three files (the headers are written by the next flush) and
  // drops the buffers.
  void EmptyTable();
  // Creates the table's files from a definition and leaves the table open
  // exclusively with one user, its headers written and checked. A refused
  // definition raises before anything is created where it can, else the
  // files made so far are removed again. Only while closed.
  void CreateFiles(const TTableDefinition& definition);
  // The checks of a table's first open in the session, made under the read
  // lock: the full header checks of the .DAT and .IDX files (the .IDX only
  // when it was not just recreated), or only their versions.
  void VerifyTable(bool versionCheckOnly);
  // Gives each handler its full file name (directory path + table name with
  // ".DAT", ".IDX" or ".BLB") and the table's exclusive, in-memory and
  // temporary flags.
  void SetFileNames();

  // ---- Lock protocol (TableLock.h) -------------------------------------------

  bool AcquireReadLock() { return lock_.AcquireReadLock(); }
  void ReleaseReadLock() { lock_.ReleaseReadLock(); }
  bool AcquireStatementReadLock() { return lock_.AcquireStatementReadLock(); }
  void ReleaseStatementReadLock() { lock_.ReleaseStatementReadLock(); }
  bool AcquireWriteLock() { return lock_.AcquireWriteLock(); }
  void ReleaseWriteLock() { lock_.ReleaseWriteLock(); }
  bool AcquireTransactionLock() { return lock_.AcquireTransactionLock(); }
  void ReleaseTransactionLock() { lock_.ReleaseTransactionLock(); }
  bool LockRecord(int32_t recordNo) { return lock_.LockRecord(recordNo); }
  void UnlockRecord(int32_t recordNo) { lock_.UnlockRecord(recordNo); }
  void UnlockRecords(bool pendingOnly) { lock_.UnlockRecords(pendingOnly); }
  bool LockRecordForCursor(int32_t recordNo) { return lock_.LockRecordForCursor(recordNo); }
  void UnlockRecordForCursor(int32_t recordNo) { lock_.UnlockRecordForCursor(recordNo); }
  // Re-reads the three headers and drops what another writer made stale:
  // the .IDX counter moved → every index page, the .DAT header re-read and
  // every record; else the .DAT counter moved → every record; the .BLB
  // counter moved → every blob block. True when anything had changed.
  bool DetectChanges() override;
  TTableLock& Lock() { return lock_; }
  const TTableLock& Lock() const { return lock_; }

  // ---- Transactions (the directory's) ----------------------------------------

  // Joins the directory's transaction: an exclusive table is flushed first,
  // the index buffers are flushed, then the transaction lock is taken.
  void JoinTransaction();
  // Commit, first half: the write regions (the .DAT byte is held already).
  void BeginCommit();
  // Commit, second half: writes everything changed, releases the write and
  // transaction locks, leaves the transaction and unlocks deferred records.
  void WriteCommit(bool osFlush);
  void EndCommit();
  // Leaves the transaction, drops every buffer, re-reads the headers,
  // releases the transaction lock and unlocks deferred records.
  void RollbackTransaction();

 private:
  // TTableLockHost
  TFileHandler& LockDataFile() override { return data_; }
  TFileHandler& LockIndexFile() override { return index_; }
  TFileHandler* LockBlobFile() override;
  bool LockExclusive() const override { return exclusive_; }
  bool LockReadOnlyAttribute() const override { return readOnlyAttribute_; }
  const TDataSessionSettings& LockSettings() const override { return Settings(); }
  int32_t LockRecordSlots() const override { return data_.RecordSlotCount(); }
  std::string_view LockTableName() const override { return tableName_; }

  // TRecordCacheTable and TBlobCacheTable
  int32_t RecordCacheBytes() const override;
  int32_t RecordCacheCount() const override;
  int32_t BlobCacheBytes() const override;
  int32_t BlobCacheCount() const override;
  bool StrictChangeDetection() const override;
  bool TransactionLockHeld() const override { return lock_.TransactionLockHeld(); }
  bool WriteLockHeld() const override { return lock_.WriteLockHeld(); }
  bool WrittenSinceOpen() const override { return written_; }
  bool HasPrimaryIndex() const override { return !index_.NoPrimaryIndex(); }

  // The handlers' settings that follow the session and the table.
  void ApplySettings();
  // ApplySettings when the session's settings moved since.
  void FollowSessionSettings();
  // Opens the index file, creating it empty when it is missing.
  void OpenIndex();
  // Closes every handler and marks the table closed; never raises.
  void CloseHandlers() noexcept;
  // FlushBuffers without the transaction rule (a commit writes).
  //
  // The files have no journal, so the order of the writes decides what a
  // program dying between two of them leaves: the blocks of new blob chains
  // (highest number first, so that appended ones come before any block
  // something on disk names); index pages (likewise highest first); the
  // record slots and descriptors; the blocks of freed chains and the blob
  // header; the .DAT header; the .IDX header last. New blocks and appended
  // pages are harmless garbage until a slot or header names them; a chain
  // is freed on disk only once no slot names it; pages and slots changed in
  // place leave damage that the verifier reports and repair rebuilds from
  // the slots; the headers carry counts and roots that repair recomputes.
  // CursorUpdate.cpp lists, per point of death, what is left. The system
  // flushes, when asked, come after all the writes.
  void WriteBuffers(const TFlushOptions& options);
  // The index page cache's part of dropping (pages of temporary indexes
  // too, or only those of the file), writing and trimming.
  void DropIndexPages(bool temporaryToo);
  bool WriteIndexPages();

  TDataDirectory& directory_;
  std::string tableName_;
  uint16_t openCount_ = 0;
  bool open_ = false;
  bool exclusive_ = false;
  bool readOnly_ = false;
  bool readOnlyAttribute_ = false;
  bool inMemory_ = false;
  bool temporary_ = false;
  bool indexRecreated_ = false;
  bool written_ = false;
  bool inTransaction_ = false;

  TDataFile data_;
  std::unique_ptr<TRecordCache> recordCache_;
  TIndexFile index_;
  TBlobFile blob_;
  TTableLock lock_;
};

}  // namespace ledra
