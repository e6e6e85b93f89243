// The cache of record images of one table's data file.
//
// Cursors never read a record slot directly: they ask the data file's cache
// for a record by number and get a pinned TRecord, shared by every cursor of
// the table, which they release when done. The cache reads slots ahead in runs
// of up to 8 KiB (and, for a cursor scanning in index order, the records its
// leaf names next, under the same read lock), keeps recently used records,
// lets changed (dirty) records
// wait until the table is flushed and writes them back in runs of consecutive
// slots, one write per run. It also hands out the record a new record goes
// into, from the free chain or appended at the end of the file.
//
// Ownership: the TDataFile owns its cache, the cache owns every record in it
// and the pool of spare records. A record a cursor holds stays valid until it
// is released, even when the cache is emptied meanwhile (a change by another
// user, a rollback): it is then no longer cached and is freed by its release.
//
// Structures: the cache list holds the records sorted by record number and is
// searched by halving; the same records form a doubly linked recently-used
// list, from the most recently used (front) to the least (back). Lookups try
// the four most recently used records first. The least recently used clean,
// unheld record is the one reused when the cache is full, found by walking
// from the back (in the common case the very last one).
//
// Invariants kept here:
//   - a held (pinned) record is never reused, reloaded from disk or written;
//   - a dirty record becomes clean only after its bytes reached the file, so a
//     failed write leaves it dirty and the next flush writes it again;
//   - a slot is read only from the file's range 1 .. NextRecordNo - 1, and a
//     record number outside it (a damaged index or free chain) is refused with
//     LEDRA_FILECORRUPT instead of reading or writing the wrong bytes;
//   - records of the run currently being read are not written by a flush made
//     while the run is loaded, since the run's bytes would then be stale.
//
// Staleness with respect to other users is not checked record by record: the
// table empties the whole cache (DropAllRecords) when it detects a change.
// The cache has no lock of its own; it belongs to one session's table, used by
// one thread at a time. File transfers run inside the file's section.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "engine/files/RecentlyUsedChain.h"
#include "engine/files/Record.h"

namespace ledra {

class TDataFile;

// Directions of travel for read-ahead.
inline constexpr int kReadForward = 1;
inline constexpr int kReadBackward = -1;

// What the cache asks of the cursor that fetches a record.
class TRecordCacheClient {
 public:
  // Takes the table's read lock before a disk read (only when the session
  // does not already take it around every operation). True when that found a
  // change by another user: the cache has then been emptied and the cursor
  // must reposition, so the fetch returns no record.
  virtual bool AcquireReadLockForFetch() = 0;
  // How many records the cursor will visit next from `recordNo` on in
  // `direction`, counting `recordNo` itself, at most `limit`.
  virtual int32_t ReadAheadHint(int32_t recordNo, int direction, int32_t limit) = 0;
  // The records the cursor will visit after `recordNo` in `direction` that
  // do not follow it slot by slot (a scan in key order of records added in
  // another order): up to `limit` record numbers appended to `upcoming`,
  // nearest first. Called only after the read lock of the fetch has been
  // taken and found no change; nothing when the cursor is not scanning.
  virtual void UpcomingRecords(int32_t recordNo, int direction, int32_t limit,
                               std::vector<int32_t>& upcoming) {
    (void)recordNo;
    (void)direction;
    (void)limit;
    (void)upcoming;
  }

 protected:
  ~TRecordCacheClient() = default;
};

// What the cache needs to know of its table: the session's settings and the
// table's lock state.
class TRecordCacheTable {
 public:
  // The session's record cache limits.
  virtual int32_t RecordCacheBytes() const = 0;
  virtual int32_t RecordCacheCount() const = 0;
  // The session takes the read lock around every operation itself.
  virtual bool StrictChangeDetection() const = 0;
  // The table is open for exclusive use.
  virtual bool Exclusive() const = 0;
  // The table holds the transaction lock: changes stay in memory.
  virtual bool TransactionLockHeld() const = 0;
  // The table has written to one of its files since it was opened.
  virtual bool WrittenSinceOpen() const = 0;
  // Freed slots are reused only in a table with a primary index.
  virtual bool HasPrimaryIndex() const = 0;

 protected:
  ~TRecordCacheTable() = default;
};

// The defaults of a session and a table open shared, outside a transaction;
// also a plain holder of these values for whoever wants one.
struct TRecordCacheTableState final : TRecordCacheTable {
  static constexpr int32_t kDefaultCacheBytes = 16384;
  static constexpr int32_t kDefaultCacheCount = 8192;

  int32_t cacheBytes = kDefaultCacheBytes;
  int32_t cacheCount = kDefaultCacheCount;
  bool strictChangeDetection = false;
  bool exclusive = false;
  bool transactionLockHeld = false;
  bool writtenSinceOpen = false;
  bool hasPrimaryIndex = true;

  int32_t RecordCacheBytes() const override { return cacheBytes; }
  int32_t RecordCacheCount() const override { return cacheCount; }
  bool StrictChangeDetection() const override { return strictChangeDetection; }
  bool Exclusive() const override { return exclusive; }
  bool TransactionLockHeld() const override { return transactionLockHeld; }
  bool WrittenSinceOpen() const override { return writtenSinceOpen; }
  bool HasPrimaryIndex() const override { return hasPrimaryIndex; }
};

// Counters for statistics; reset when the file is opened.
struct TRecordCacheStatistics {
  uint64_t fetches = 0;         // FetchRecord calls that returned a record
  uint64_t cacheHits = 0;       // ... found in the cache
  uint64_t diskReads = 0;       // runs read
  uint64_t recordsRead = 0;     // slots read in those runs
  uint64_t writeRuns = 0;       // runs written
  uint64_t recordsWritten = 0;  // slots written in those runs
  uint64_t aheadReads = 0;      // reads of records named by the cursor (UpcomingRecords)
  uint64_t recordsAhead = 0;    // records cached by those reads
};

class TRecordCache {
 public:
  // Growth of the capacity when every cached record is held or dirty.
  static constexpr int32_t kCapacityGrowth = 64;
  // The most bytes read in one read-ahead run.
  static constexpr int32_t kReadAheadBytes = 8192;
  // Steps in which the read and write buffers grow.
  static constexpr size_t kBufferStep = 4096;
  // Records named by the cursor that lie this close together are read in
  // one call, the slots between them read and left alone.
  static constexpr int32_t kAheadGapBytes = 2048;

  explicit TRecordCache(TDataFile& file);
  ~TRecordCache();
  TRecordCache(const TRecordCache&) = delete;
  TRecordCache& operator=(const TRecordCache&) = delete;

  // The table whose settings and state the cache follows; the defaults of
  // TRecordCacheTableState when none is set. Not owned.
  void SetTable(const TRecordCacheTable* table) { table_ = table; }

  // Sizes the cache for the file's RecordSize and the table's settings and
  // resets the statistics. Called when the data file has been opened.
  void Open();
  // Drops every record; the buffers are freed. Called when the file closes.
  void Close();

  // min(cacheBytes div recordSize, cacheCount), at least 1; cacheCount for a
  // record size of 0.
  static int32_t CapacityFor(uint32_t recordSize, int32_t cacheBytes, int32_t cacheCount);
  // kReadAheadBytes div recordSize, at least 1.
  static int32_t ReadAheadLimitFor(uint32_t recordSize);

  // The record `recordNo`, pinned; the caller releases it with
  // ReleaseRecord. `recordNo` = NextRecordNo appends a new slot (the header
  // counts it at once; it reaches the file with the next flush). Records not
  // cached are read from disk, in a run of `readAhead` ? several : 1 slots
  // ending (backward) or starting (forward) at `recordNo`, its length asked
  // of the client when `askCursor` is set; without either, one slot. Null
  // when the client's read lock found a change by another user (the cache
  // is then empty). LEDRA_FILECORRUPT for a number outside 1 .. NextRecordNo,
  // LEDRA_TABLEFULL for an append beyond the table's limits (header
  // unchanged), LEDRA_READERR for a failed or short read.
  //
  // With `askCursor`, a record read from disk also brings in, under the
  // same read lock, the records the client names as the next ones it will
  // visit (UpcomingRecords) that are not cached yet: sorted by record
  // number, close ones in one read, as many as fit beside the run just read
  // without writing, growing the cache or evicting one another.
  [[nodiscard]] TRecord* FetchRecord(TRecordCacheClient* client, int32_t recordNo, int direction,
                                     bool askCursor = false, bool readAhead = false);
  // Releases a record obtained from FetchRecord or NewRecordSlot.
  void ReleaseRecord(TRecord* record);

  // The slot for an insertion, pinned and dirty: the head of the free chain
  // (a table with a primary index only), else a new slot. The image is zeroed
  // with the record number in bytes 1..4 and, with giveRowId, the next row id
  // in bytes 5..8. The free chain's head moves on to the taken slot's link.
  // Null when the read lock found a change. A head that is not a free slot,
  // or whose link lies outside 0 .. slots, is LEDRA_FILECORRUPT.
  [[nodiscard]] TRecord* NewRecordSlot(TRecordCacheClient* client, bool giveRowId = true);
  // Makes a held record a free slot at the head of the free chain. Freeing a
  // slot that is already free is LEDRA_FILECORRUPT (it would loop the chain).
  void FreeRecordSlot(TRecord* record);

  // Writes every dirty, unheld record, one write per run of consecutive
  // record numbers: true when anything was written. A failed write raises
  // LEDRA_WRITEERR and leaves the records of that run (and later ones) dirty.
  bool FlushDirtyRecords();
  // Evicts least recently used clean, unheld records down to the configured
  // capacity (flushing once if needed), then resets the capacity to it (or to
  // the number still held, when more records cannot be evicted).
  void TrimCache();
  // Empties the cache without writing: every change not yet written is lost.
  void DropAllRecords();

  void ResetStatistics() { statistics_ = {}; }
  const TRecordCacheStatistics& Statistics() const { return statistics_; }

  int32_t Capacity() const { return capacity_; }
  int32_t ReadAheadLimit() const { return readAheadLimit_; }
  size_t CachedCount() const { return records_.size(); }
  // The cached record of that number, if any, without touching its place in
  // the recently-used list.
  const TRecord* Find(int32_t recordNo) const;
  // Record numbers from the most to the least recently used.
  std::vector<int32_t> RecentlyUsedOrder() const;
  size_t PoolCount() const { return pool_.Count(); }

 private:
  const TRecordCacheTable& Table() const;
  [[noreturn]] void RaiseCorrupt() const;

  // Index of the first cached record whose number is not below recordNo.
  size_t LowerBound(int32_t recordNo) const;
  TRecord* Lookup(int32_t recordNo);
  // Inserts a detached record into the cache list at its sorted place and at
  // the front of the recently-used list.
  TRecord* Insert(std::unique_ptr<TRecord> record);

  // A record object for slot `recordNo`, detached from both lists: from the
  // pool while below capacity, else the least recently used clean and unheld
  // record (after one flush outside a transaction), else from the pool with
  // the capacity grown by kCapacityGrowth.
  std::unique_ptr<TRecord> ObtainRecord(int32_t recordNo);
  TRecord* LeastRecentlyUsedFree() const;
  // Removes a cached record from both lists and hands it over.
  std::unique_ptr<TRecord> Detach(TRecord* record);

  // Reads `count` slots ending (backward) or starting (forward) at recordNo
  // and caches each one that is not held or dirty.
  void ReadRun(int32_t recordNo, int32_t count, int direction);
  int32_t RunLength(TRecordCacheClient* client, int32_t recordNo, int direction, bool askCursor,
                    bool readAhead);
  // Reads the records the client names as its next ones (after the run of
  // `runCount` slots just read for recordNo), as far as room allows.
  void ReadUpcoming(TRecordCacheClient& client, int32_t recordNo, int direction, int32_t runCount);
  // A record object for read-ahead: from the pool below capacity, else the
  // least recently used clean, unheld record unless it is one of `batch`
  // (sorted). Null when there is none: read-ahead never writes or grows.
  std::unique_ptr<TRecord> ObtainSpareRecord(int32_t recordNo, const std::vector<int32_t>& batch);
  bool InReadWindow(int32_t recordNo) const {
    return recordNo >= windowFirst_ && recordNo < windowFirst_ + windowCount_;
  }
  // Writes records_[first .. first + count) with one write.
  void WriteRun(size_t first, size_t count);

  static void Grow(std::vector<uint8_t>& buffer, size_t size);

  TDataFile& file_;
  const TRecordCacheTable* table_ = nullptr;
  TRecordCacheTableState defaults_;

  // Sorted by record number. The cache owns every record listed here (plain
  // pointers, so that making room in the list is one move of memory).
  std::vector<TRecord*> records_;
  // Most and least recently used ends of the recently-used list.
  TRecentlyUsedChain<TRecord, &TRecord::older_, &TRecord::newer_> chain_;
  // Records dropped from the cache while a cursor held them.
  std::vector<std::unique_ptr<TRecord>> orphans_;

  int32_t capacity_ = 0;
  int32_t readAheadLimit_ = 1;
  TRecordStack pool_;
  std::vector<uint8_t> readBuffer_;
  std::vector<uint8_t> writeBuffer_;
  // The client's upcoming records and those of them to read (kept for
  // their storage, so steady reading allocates nothing).
  std::vector<int32_t> upcoming_;
  std::vector<int32_t> aheadBatch_;
  // The run being read: its first slot and count (0 outside a read).
  int32_t windowFirst_ = 0;
  int32_t windowCount_ = 0;

  TRecordCacheStatistics statistics_;
};

}  // namespace ledra
