// The shared-file lock protocol of a table.
//
// Tables are shared between processes, and between sessions of one process,
// only through byte-range locks on their three files and the change counters
// in the file headers. The bytes locked are part of the file format: every
// program that shares the tables locks exactly these, far beyond the end of
// any table file (locking there reserves nothing on disk).
//
//   file   lock                          offset                   length
//   .DAT   record lock of record n       FFFFFFFE - n             1
//   .DAT   write byte (write lock and    FFFFFFFF                 1
//          transaction lock)
//   .IDX   write region                  FFFEFFFF                 65536
//   .IDX   read byte                     FFFFFFFF - r, r 1..65535 1
//   .BLB   write region                  FFFEFFFF                 65536
//   .BLB   read byte                     FFFFFFFF - r, own r      1
//
// A write region covers every read byte, so a writer and any reader exclude
// each other, while two readers collide only when they drew the same r (and
// then draw again). Writers exclude each other through the .DAT write byte.
// Record bytes of records 1 .. 200000001 lie in FFFFFFFE - 200000001 ..
// FFFFFFFD and never touch the write byte.
//
// Order: the .DAT byte before the .IDX region before the .BLB region when
// locking, the reverse when unlocking; a record lock is taken under the read
// lock and released before the write lock. When a lock needs two or three
// ranges and a later one cannot be had, the ones already obtained are
// released before LEDRA_LOCKTIMEOUT is raised.
//
// An exclusive table, or one whose files carry the read-only attribute, takes
// no lock at all: every operation returns at once without calling the
// operating system (an exclusive table still records that it holds the
// transaction lock). Read, statement and write locks never nest: a read lock
// is not taken while any of them or the transaction lock is held.
//
// A waiting locker holds no critical section between attempts; each attempt
// runs inside the file object's section (the file layer's LockRegion).
#pragma once

#include <cstdint>
#include <string_view>

#include "engine/files/RecordsBitmap.h"

namespace ledra {

class TFileHandler;
struct TDataSessionSettings;

inline constexpr uint64_t kRecordLockBase = 0xFFFFFFFEull;  // record n: base - n
inline constexpr uint64_t kWriteByteOffset = 0xFFFFFFFFull;
inline constexpr uint64_t kWriteRegionOffset = 0xFFFEFFFFull;
inline constexpr uint64_t kWriteRegionLength = 65536;
inline constexpr uint64_t kReadByteBase = 0xFFFFFFFFull;  // read byte: base - r
inline constexpr uint32_t kReadByteCount = 65535;         // r in 1 .. 65535
// The highest record number whose lock byte lies in the record range.
inline constexpr int32_t kMaxLockableRecord = 200000001;
// Read bytes, write bytes and write regions: attempts and the wait between.
inline constexpr uint32_t kTableLockAttempts = 32767;
inline constexpr uint32_t kTableLockRetryMs = 3;

inline constexpr uint64_t RecordLockOffset(int32_t recordNo) {
  return kRecordLockBase - uint64_t(uint32_t(recordNo));
}
inline constexpr uint64_t ReadByteOffset(uint32_t r) {
  return kReadByteBase - r;
}

// What the lock protocol needs of its table.
class TTableLockHost {
 public:
  virtual TFileHandler& LockDataFile() = 0;
  virtual TFileHandler& LockIndexFile() = 0;
  // The blob file when the table has blob fields and the file is open, else
  // null.
  virtual TFileHandler* LockBlobFile() = 0;
  virtual bool LockExclusive() const = 0;
  virtual bool LockReadOnlyAttribute() const = 0;
  virtual const TDataSessionSettings& LockSettings() const = 0;
  // Record slots in the data file (the record sets are grown to this + 1).
  virtual int32_t LockRecordSlots() const = 0;
  // Re-reads the headers and drops what another writer made stale: true when
  // something had changed.
  virtual bool DetectChanges() = 0;
  virtual std::string_view LockTableName() const = 0;

 protected:
  ~TTableLockHost() = default;
};

// The lock state of one open table and its lock operations. Owned by the
// table; used by one thread at a time, like its session.
class TTableLock {
 public:
  explicit TTableLock(TTableLockHost& host) : host_(host) {}
  TTableLock(const TTableLock&) = delete;
  TTableLock& operator=(const TTableLock&) = delete;

  // The cursor-operation read lock: a read byte of the .IDX file and, with
  // blobs, one of the .BLB file; then DetectChanges. Returns whether another
  // writer changed the table. LEDRA_LOCKTIMEOUT when a byte cannot be had.
  bool AcquireReadLock();
  // LEDRA_UNLOCKFAILED when a byte does not unlock (the lock stays flagged).
  void ReleaseReadLock();
  // The same with its own flag and numbers, held across a statement.
  bool AcquireStatementReadLock();
  void ReleaseStatementReadLock();

  // The .DAT write byte (unless the transaction lock holds it), the .IDX
  // write region and, with blobs, the .BLB write region; then DetectChanges
  // unless in a transaction. This table's own read lock is given up first:
  // its read byte lies inside the write regions, and the write lock protects
  // everything it did. LEDRA_LOCKTIMEOUT when a range cannot be had.
  bool AcquireWriteLock();
  // Unlocks in reverse order; a refusal is LEDRA_LOCKTIMEOUT and the lock
  // stays flagged.
  void ReleaseWriteLock();

  // The .DAT write byte for a whole transaction, then DetectChanges. An
  // exclusive table only records it; a table with the read-only attribute
  // does nothing.
  bool AcquireTransactionLock();
  void ReleaseTransactionLock();

  // Locks the record byte of record n under the read lock (unless strict
  // change detection takes it elsewhere): 1 + LockRetryCount attempts,
  // LockWaitTime milliseconds apart, then LEDRA_RECLOCKFAILED. Returns
  // whether the read lock found a change. Inside a transaction a record this
  // table already holds is not locked again.
  bool LockRecord(int32_t recordNo);
  // Unlocks record n; inside a transaction the unlock waits for its end.
  // LEDRA_UNLOCKFAILED when the record is not held or does not unlock.
  void UnlockRecord(int32_t recordNo);
  // UnlockRecord for every held record, or only for those whose unlock waits.
  void UnlockRecords(bool pendingOnly);
  // A cursor's record lock: LEDRA_RECLOCKFAILED at once, without any lock
  // call, when another cursor of this table holds the record; otherwise
  // LockRecord, and the record joins the cursor-locked set (not for a table
  // that takes no locks).
  bool LockRecordForCursor(int32_t recordNo);
  // The record leaves the cursor-locked set, then UnlockRecord.
  void UnlockRecordForCursor(int32_t recordNo);

  // Releases everything held (records, read, statement, write and
  // transaction locks) as far as the system allows, and forgets it; raises
  // nothing. For closing the table's files.
  void ReleaseAll() noexcept;
  // Forgets the remembered read numbers (none may be held).
  void ClearRandomNumbers();

  bool ReadLockHeld() const { return read_.held; }
  bool StatementReadLockHeld() const { return statement_.held; }
  bool WriteLockHeld() const { return write_.held; }
  bool TransactionLockHeld() const { return transaction_.held; }
  // The read numbers r of the held read locks (0 when none).
  uint32_t IndexReadNumber() const { return read_.indexR; }
  uint32_t BlobReadNumber() const { return read_.blobR; }
  uint32_t StatementIndexReadNumber() const { return statement_.indexR; }
  uint32_t StatementBlobReadNumber() const { return statement_.blobR; }

  const TRecordsBitmap& LockedRecords() const { return locked_; }
  const TRecordsBitmap& UnlockPending() const { return pending_; }
  // Records locked by some cursor of the table; kept by the cursors.
  TRecordsBitmap& CursorLockedRecords() { return cursorLocked_; }
  const TRecordsBitmap& CursorLockedRecords() const { return cursorLocked_; }

 private:
  struct TReadLock {
    bool held = false;
    uint32_t indexR = 0;
    uint32_t blobR = 0;
  };
  struct TWriteLock {
    bool held = false;
    bool dataByte = false;
    bool indexRegion = false;
    bool blobRegion = false;
  };
  struct TTransactionLock {
    bool held = false;
    bool dataByte = false;
  };

  bool Bypassed() const;
  bool AnyReadOrWriteHeld() const;
  bool AcquireRead(TReadLock& lock);
  // Unlocks what `lock` holds; false (keeping what did not unlock) on
  // refusal.
  bool UnlockRead(TReadLock& lock);
  bool UnlockWrite();
  // Tries a range kTableLockAttempts times (the session may lower it),
  // kTableLockRetryMs apart.
  bool LockWithRetry(TFileHandler& file, uint64_t offset, uint64_t length) const;
  // Locks a read byte, drawing a new r for every attempt: r, or 0.
  uint32_t LockReadByte(TFileHandler& file) const;
  uint32_t Attempts() const;
  void GrowRecordSets();
  [[noreturn]] void Raise(uint16_t code) const;

  TTableLockHost& host_;
  TReadLock read_;
  TReadLock statement_;
  TWriteLock write_;
  TTransactionLock transaction_;
  TRecordsBitmap locked_;
  TRecordsBitmap cursorLocked_;
  TRecordsBitmap pending_;
};

// Holds the read lock for a scope when the table did not hold it already.
class TTableReadLockGuard {
 public:
  explicit TTableReadLockGuard(TTableLock& lock);
  // Releases what this guard took; a refused unlock is left flagged.
  ~TTableReadLockGuard();
  TTableReadLockGuard(const TTableReadLockGuard&) = delete;
  TTableReadLockGuard& operator=(const TTableReadLockGuard&) = delete;

  bool Changed() const { return changed_; }
  // Releases now, raising what ReleaseReadLock raises.
  void Release();

 private:
  TTableLock& lock_;
  bool owns_ = false;
  bool changed_ = false;
};

}  // namespace ledra
