// A cursor: one client's view of one open table.
//
// A TDataCursor walks its table in one order (an index, or the natural order
// of record numbers), stands on one record of it, keeps a copy of that
// record's image, and may be narrowed by a key range and by record filters.
// Several cursors of a session share one TDataTable (its files, caches and
// lock state); other sessions and processes work on the same files at the
// same time.
//
// Orders. Index 0 is the primary index, 1..IndexCount the secondary ones,
// kNaturalOrder (255) the record numbers. Index 0 of a table without a
// primary index is the natural order too. In natural order the cursor keeps
// the set of visible records (the live records, narrowed by the filters); in
// index order it keeps a copy of its leaf entry (TIndexPosition) and builds
// the set only while filters are active.
//
// Position. The cursor stands on an entry of its view, or before the first
// (BOF) or after the last (EOF) while keeping the entry it reached; both
// flags mean the view is empty or the cursor has no record. When the entry
// it stood on has disappeared (another user deleted the record), the cursor
// stands between the entries around it: the next step forward gives the
// entry that followed, a step backward the one before, and any other
// operation moves it onto the following entry.
//
// Brackets and change detection. Every operation runs inside the read
// bracket (BeginRead / EndRead). With the session's StrictChangeDetection
// the bracket holds the table's read lock, which re-reads the headers;
// otherwise the cursor compares the three change counters it last saw with
// the table's in-memory ones, and the first record, page or block read from
// disk takes the read lock (held until EndRead) and looks for changes. A
// change found either way makes the cursor rebuild its positions (range
// bounds, visible set) and return to the record it stood on; a change found
// in the middle of a step restarts the step from there, at most
// kMaxRestarts times (LEDRA_LOCKTIMEOUT after that). The read lock is
// released by EndRead on every path. A table whose files carry the read-only
// attribute takes no locks and is never checked.
//
// Ownership: the cursor holds its table in the directory from Open to Close
// (the directory and the session outlive it), its descriptor copies, its
// index objects and its buffers; filters are the caller's callbacks, kept
// until they are removed or the cursor closes. One thread at a time.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "engine/cursor/BlobBuffer.h"
#include "engine/blob/BlobFile.h"
#include "engine/cursor/CursorIndex.h"
#include "engine/files/RecordLayout.h"
#include "engine/errors/EngineError.h"
#include "engine/table/DataDirectory.h"
#include "engine/files/RecordCache.h"
#include "engine/files/RecordsBitmap.h"
#include "engine/index/BTree.h"
#include "engine/index/IndexFile.h"

namespace ledra {

class TDataTable;
struct TTableFiles;

class TDataCursor final : private TRecordCacheClient,
                          private TIndexChangeCheck,
                          private TBlobCacheClient {
 public:
  static constexpr int kNaturalOrder = 255;
  // Range key buffers hold the longest stored key (522 bytes of segments and
  // the row-id tail).
  static constexpr size_t kRangeKeySize = kMaxStoredKeyLength;
  // Restarts of one operation on changes found while it ran.
  static constexpr int kMaxRestarts = 8;

  // Narrows the visible records: true keeps the record whose image is given.
  using TRecordFilter = std::function<bool(const uint8_t* image)>;

  explicit TDataCursor(TDataDirectory& directory);
  // Closes an open cursor; never raises.
  ~TDataCursor();
  TDataCursor(const TDataCursor&) = delete;
  TDataCursor& operator=(const TDataCursor&) = delete;

  // ---- Options (LEDRA_TABLEOPEN while open) ----------------------------------

  void SetTableName(std::string_view name);
  void SetExclusive(bool exclusive);
  void SetReadOnly(bool readOnly);
  void SetInMemory(bool inMemory);
  // Asked for a table password during Open; true when one was given (and
  // added to the session).
  void SetPasswordCallback(TPasswordCallback callback);

  const std::string& TableName() const { return tableName_; }
  bool Exclusive() const { return exclusive_; }
  // Set as an option, or because the table's files could only be opened for
  // reading.
  bool ReadOnly() const { return readOnly_; }
  bool InMemory() const { return inMemory_; }
  bool IsOpen() const { return open_; }
  TDataDirectory& Directory() const { return directory_; }
  // The shared table; LEDRA_NOTINITIALIZED while closed.
  TDataTable& Table() const;

  // ---- Opening and closing ---------------------------------------------------

  // Opens (or shares) the table, verifies it on its first open in the
  // session, obtains its password, rebuilds the deleted-records index and the
  // live count when the index file had to be made afresh, selects index 0
  // and moves to the start. Nothing when open; a failure leaves it closed.
  void Open();
  // Releases the record locks it still holds and the table; the cursor is
  // closed even when the table's last close fails to write (that failure is
  // raised).
  void Close();
  // A new open cursor on the same table with the same options, order, range
  // and filters, standing where this one stands.
  std::unique_ptr<TDataCursor> Clone();

  // ---- Order -----------------------------------------------------------------

  // Selects an index (0..IndexCount, or kNaturalOrder) and stays on the
  // current record; any range is cleared. LEDRA_INVALIDINDEXNAME for another
  // number.
  void SetIndexNo(int indexNo);
  // The same by name (without regard to case; "" is the primary index).
  // LEDRA_INVALIDINDEXNAME for an unknown name.
  void SetIndexName(std::string_view name);
  int IndexNo() const { return indexNo_; }
  std::string IndexName() const;
  // The number of secondary indexes.
  int IndexCount() const;
  bool NaturalOrder() const;

  // ---- Navigation --------------------------------------------------------------
  // The read operations return 0, LEDRA_BOF, LEDRA_EOF or LEDRA_NOCURRREC;
  // on 0 `image` (when given) receives RecordSize bytes of the record, on any
  // other result RecordSize zero bytes.

  void MoveToStart();
  void MoveToEnd();
  uint16_t ReadNext(uint8_t* image);
  uint16_t ReadPrior(uint8_t* image);
  // Re-reads the record the cursor stands on. With `lock` (the start of an
  // edit) the record is first checked against `image`, the copy the caller
  // shows: under the pessimistic protocol it is locked for the edit, under
  // the optimistic one only compared. A record another user changed or
  // deleted since is LEDRA_KEYORRECDELETED, with no lock left behind. A
  // cursor holding the table exclusively neither locks nor (pessimistic)
  // compares. Without a current record nothing is locked.
  uint16_t ReadCurrent(uint8_t* image, bool lock = false);
  // Stands on the n-th record of the view (from 1); below 1 before the first
  // record (BOF), beyond the count after the last (EOF).
  void MoveToSequence(int32_t n);
  // The position of the current record in the view (0 without one). In
  // index order with filters, hidden entries of the range count as well.
  int32_t GetSequenceNo();
  int32_t GetRecordCount();
  bool Bof() const { return bof_; }
  bool Eof() const { return eof_; }

  // Bookmarks: the record number (4 bytes, natural order) or the current
  // entry's key (KeyLength bytes, index order); zeros without a record.
  uint16_t BookmarkSize() const;
  void GetBookmark(uint8_t* bookmark);
  // Stands on the bookmark's record, or the nearest following one (natural
  // order: else the nearest before). True unless `exact` is set and the
  // record stood on is another one. `skipCheck` leaves out the read
  // bracket's change check (the caller has just made it).
  bool GotoBookmark(const uint8_t* bookmark, bool exact, bool skipCheck = false);
  // -1, 0, 1 in the order of the view.
  int CompareBookmarks(const uint8_t* a, const uint8_t* b) const;
  // Re-reads the table's state and stands on the current record again (or
  // the one that followed it).
  void Resync();
  // Stands on the record another cursor of the table stands on: 0, or
  // LEDRA_RECNOTFOUND when it is not in this cursor's view, LEDRA_NOCURRREC
  // when the other cursor has no record.
  uint16_t SyncToCursor(TDataCursor& other);
  // Up to `count` ReadNext steps into consecutive images of RecordSize
  // bytes; `count` becomes the number filled. 0, or LEDRA_EOF when the view
  // ended first.
  uint16_t ReadNextBlock(int32_t& count, uint8_t* images);
  // How many records the cursor will visit next from its current record in
  // `direction` (kReadForward / kReadBackward), counting it, at most `count`.
  int32_t ReadAheadCount(int32_t count, int direction);

  // The current record image (RecordSize bytes; zeros without a record) and
  // its record number (0 without one).
  const uint8_t* CurrentRecord() const { return currentImage_.data(); }
  int32_t CurrentRecordNo() const { return currentRecordNo_; }

  // ---- Record update path (CursorUpdate.cpp) ---------------------------------------
  // Every change runs inside the write bracket and is written (shared table)
  // or marked (exclusive table, transaction) before the bracket ends. The
  // record lock a change takes is released before the write bracket, on
  // every path. LEDRA_OSEACCES on a read-only cursor; the field checks of
  // ValidateRecord (LEDRA_REQDERR, LEDRA_MINVALERR, LEDRA_MAXVALERR) before
  // any lock. LEDRA_KEYVIOL (with the index and table names) is found before
  // anything changes, and leaves the files and the position as they were.

  // Locks a record for this cursor (0: the current record) and, when the
  // lock's header check found another user's change, rebuilds the positions
  // and returns to the record the cursor stood on. LEDRA_RECLOCKFAILED at
  // once when any cursor of this table holds it, or after the session's
  // retries when another user does. Nothing (but the note) for a cursor that
  // holds the table exclusively or a table without locking.
  void AcquireRecordLock(int32_t recordNo = 0);
  // Gives up a record lock of this cursor (0: the current record);
  // LEDRA_UNLOCKFAILED when this cursor does not hold it.
  void ReleaseRecordLock(int32_t recordNo = 0);
  bool HoldsRecordLock(int32_t recordNo) const;
  // The record locked by the edit in progress (pessimistic), 0 when none.
  int32_t EditLockRecordNo() const { return editLockNo_; }

  // Adds `image` as a new record. Its row id (the AutoInc value) becomes
  // LastAutoInc + 1 whatever it held, and is written into `image` (also when
  // the post then fails on a key) unless supplied row ids are kept. A table
  // with a primary index reuses the most recently freed slot; one without
  // appends. With `reposition` the cursor stands on the new record.
  void PostInsert(uint8_t* image, bool reposition = true);
  // Writes the edited `image` over the current record. The row id stays the
  // record's own (it is copied into `image`) unless supplied row ids are
  // kept. Pessimistic: the record is locked since the edit began; `release`
  // gives that lock up afterwards. Optimistic: the record must still equal
  // the cursor's copy, else LEDRA_KEYORRECDELETED, for this and every later
  // post until CancelEdit; it is locked only while the post runs.
  void PostEdit(uint8_t* image, bool release = true, bool reposition = true);
  // Gives up an edit: the pessimistic edit lock is released, the optimistic
  // refusal cleared.
  void CancelEdit();
  // Deletes the current record; `image` is the copy the caller shows (null:
  // the cursor's own). Unless this cursor holds the record locked, the
  // record must still equal it (LEDRA_KEYORRECDELETED); a record another
  // cursor of this table holds is LEDRA_RECLOCKFAILED. With `reposition`
  // the cursor stands on the record that followed it.
  void DeleteCurrent(const uint8_t* image, bool reposition = true);
  // Fills a new record image from the current record (the AutoInc value
  // only when supplied row ids are kept).
  void CopyCurrentToNew(uint8_t* image);
  // Keep the row ids supplied in the images of inserts and edits (for
  // copying tables); only a table with an AutoInc field takes it, otherwise
  // the setting stays off.
  void SetKeepRowIds(bool keep);
  bool KeepRowIds() const { return keepRowIds_; }
  // An optimistic post was refused; every post is refused until CancelEdit.
  bool PostRefused() const { return postRefused_; }

  // ---- Blobs (CursorBlob.cpp) ------------------------------------------------------
  // A blob field's value is opened for one record image: the image's
  // reference becomes the negated handle of a buffer in the cursor's
  // open-blob list, through which it is read and changed in memory. The
  // changed values are written when that image is posted (PostInsert,
  // PostEdit), dropped when the blob is closed or discarded. The calls
  // return 0 or a result code: LEDRA_NOTABLOB (not a blob field),
  // LEDRA_OPENBLOBLIMIT, LEDRA_INVALIDBLOBOFFSET (a handle in the image at
  // open that names no buffer), LEDRA_INVALIDBLOBHANDLE (no open buffer
  // behind the image's reference), LEDRA_ENDOFBLOB (a read past the end,
  // with the bytes there were), LEDRA_INVALIDBLOBLEN (a value beyond
  // 2147483647 bytes). Errors of the blob file while loading (another user
  // rewrote the value since the image was read: LEDRA_KEYORRECDELETED; a
  // damaged chain: LEDRA_MEMOCORRUPT) are raised.

  static constexpr size_t kMaxOpenBlobs = 128;

  // Opens the blob of field `fieldNo` of `image`; an image already holding
  // an open handle for it opens the same buffer once more.
  uint16_t OpenBlob(int fieldNo, uint8_t* image, uint32_t& length, bool freeAfterPost,
                    TBlobOpenMode mode);
  uint16_t ReadBlob(int fieldNo, const uint8_t* image, uint32_t position, uint32_t count,
                    uint8_t* destination, uint32_t& read);
  uint16_t WriteBlob(int fieldNo, uint8_t* image, uint32_t position, uint32_t count,
                     const uint8_t* source);
  uint16_t TruncateBlob(int fieldNo, uint8_t* image, uint32_t length);
  uint16_t GetBlobLength(int fieldNo, const uint8_t* image, uint32_t& length);
  // One open less; the last one frees the buffer, drops its unwritten
  // changes and puts the reference it was opened from back into the image.
  uint16_t CloseBlob(int fieldNo, uint8_t* image);

  // Post time, for the buffers `image` holds handles of: new stamps for the
  // changed ones (into the buffers and the image), their values written
  // (true when any was), their chains' first blocks stored as the
  // references. Changed buffers of two records are LEDRA_MEMOCORRUPT.
  void StampBlobs(uint8_t* image);
  bool WriteBlobs(const uint8_t* image);
  void StoreBlobRefs(uint8_t* image);
  // Frees the buffers marked free-after-post, or all of them.
  void FreeBlobBuffers(bool all);
  // Frees the chains of every blob field of a deleted record's image: true
  // when any was freed.
  bool FreeRecordBlobs(const uint8_t* image);
  // Closes and frees the buffers of an unsaved image (its references become
  // those the blobs were opened from).
  void DiscardNewBlobs(uint8_t* image);
  size_t OpenBlobCount() const { return openBlobs_.size(); }
  // The open buffer whose handle the field of `image` holds, if any.
  const TBlobBuffer* FindBlobBuffer(int fieldNo, const uint8_t* image) const;
  // The value of a memo field of `image` for its words: an open buffer's
  // value (its value as loaded with `asLoaded`), else the stored chain,
  // loaded into `scratch`.
  std::string_view MemoValue(int fieldNo, const uint8_t* image, bool asLoaded,
                             std::vector<uint8_t>& scratch);

  // ---- Filters -------------------------------------------------------------------

  // Adds a filter (the records it refuses leave the view) and stays on the
  // current record when it is still visible: a handle for RemoveFilter.
  int AddFilter(TRecordFilter filter);
  void RemoveFilter(int handle);
  void ClearFilters();
  bool FiltersActive() const { return !filters_.empty(); }

  // ---- Seek and ranges (index order; natural order ignores them) -------------

  // Finds a record by a complete or partial key of the current index. The key
  // is `source` itself when `raw`, else built from the record image
  // `source`. fieldCount key fields are given in full (0: all of them) and,
  // with partialLength p > 0, the first p characters of the next one. An
  // exact search (a unique index on all its fields) that does not find the
  // key leaves the cursor where it stood; a partial or `nearest` search
  // stands on the first entry not below the key, or the last entry. True
  // when the entry stood on matches the significant bytes. The record stood
  // on is read, and copied to `out` when given.
  bool FindByKey(bool raw, const uint8_t* source, uint8_t* out, int partialLength, bool nearest,
                 int fieldCount);
  // Positions on a key of KeyLength bytes: true when found. Not found with
  // `nearest` stands on the first entry above it, or the last one with EOF;
  // without, the cursor does not move. `keepEnds` keeps BOF and EOF where
  // they still hold.
  bool SeekKey(const uint8_t* key, bool nearest, bool keepEnds);
  // Restricts the view to the entries from the low to the high bound,
  // inclusive, and stays on the current record. Each bound is a key (`raw`)
  // or a record image to build one from, with its number of key fields (0:
  // all); a partial or non-unique bound covers every key it begins. A bound
  // not given leaves that end open.
  void SetKeyRange(bool raw, const uint8_t* low, int lowFieldCount, const uint8_t* high,
                   int highFieldCount);
  void ClearKeyRange();
  // Recomputes the sequence numbers of the range's first and last entries.
  void ComputeRangeBounds();
  // Stand on the first / last entry of the view: false (and no record) when
  // it is empty. The record is not read.
  bool SeekFirstEntry();
  bool SeekLastEntry();
  // Stands on the current record's entry in the current order (or the
  // nearest following one), keeping BOF and EOF where they still hold, and
  // re-reads it.
  void RepositionOnRecord();
  bool RangeActive() const { return rangeActive_; }
  int32_t RangeFirst() const { return rangeFirst_; }
  int32_t RangeLast() const { return rangeLast_; }

  // ---- Keys of the current index ---------------------------------------------------

  // KeyLength of the current index (0 in natural order).
  uint16_t KeyLength() const;
  void BuildKey(const uint8_t* image, uint8_t* key);
  int CompareKeys(const uint8_t* a, const uint8_t* b, size_t n) const;

  // ---- Fields (TRecordLayout) --------------------------------------------------------

  uint16_t FieldCount() const { return Layout().FieldCount(); }
  uint16_t RecordSize() const { return Layout().RecordSize(); }
  TFieldDesc GetFieldDesc(int fieldNo) const { return Layout().GetFieldDesc(fieldNo); }
  TFieldDesc FindFieldDesc(std::string_view name) const { return Layout().FindFieldDesc(name); }
  void GetFieldValue(int fieldNo, const uint8_t* image, bool& isNull, uint8_t* value) const {
    Layout().GetFieldValue(fieldNo, image, isNull, value);
  }
  void SetFieldValue(int fieldNo, uint8_t* image, const uint8_t* value, bool blobEmpty,
                     bool force) const {
    Layout().SetFieldValue(fieldNo, image, value, blobEmpty, force);
  }
  void InitRecordBuffer(uint8_t* image) const { Layout().InitRecordBuffer(image); }
  void ValidateRecord(const uint8_t* image) const { Layout().ValidateRecord(image); }
  // LEDRA_NOTINITIALIZED while closed.
  const TRecordLayout& Layout() const;

  // ---- Brackets ----------------------------------------------------------------------
  // They nest; only the outermost pair acts. Prefer the guards below.

  // `check` false leaves out the change check (the caller has just made
  // it); the read lock a fetch takes is still released by EndRead.
  void BeginRead(bool check = true);
  // Releases the read lock this cursor's operation took (LEDRA_UNLOCKFAILED
  // when it does not unlock).
  void EndRead();
  // The table's write lock (not for a cursor holding the table exclusively,
  // nor without locking), which re-reads the headers; a change found makes
  // the cursor rebuild its positions and return to its record.
  void BeginWrite();
  void EndWrite();

  class TReadBracket {
   public:
    explicit TReadBracket(TDataCursor& cursor, bool check = true) : cursor_(cursor) {
      cursor_.BeginRead(check);
    }
    // Leaves the bracket when End was not reached; failures are dropped.
    ~TReadBracket();
    TReadBracket(const TReadBracket&) = delete;
    TReadBracket& operator=(const TReadBracket&) = delete;
    // Leaves the bracket, raising what EndRead raises.
    void End();

   private:
    TDataCursor& cursor_;
    bool ended_ = false;
  };

  class TWriteBracket {
   public:
    explicit TWriteBracket(TDataCursor& cursor) : cursor_(cursor) { cursor_.BeginWrite(); }
    ~TWriteBracket();
    TWriteBracket(const TWriteBracket&) = delete;
    TWriteBracket& operator=(const TWriteBracket&) = delete;
    void End();

   private:
    TDataCursor& cursor_;
    bool ended_ = false;
  };

  // ---- For the record update path --------------------------------------------------
  // A change is made inside the write bracket; afterwards CommitTable writes
  // (or, for an exclusive table, marks) what changed and takes the cursor's
  // new change snapshot, and RebuildPositions + RepositionOnRecord (or
  // StandOnRecord) put the cursor on the written record.

  // The index object of any slot 0..32 of the table, for changing it; its
  // page fetches ask this cursor for change checks.
  std::unique_ptr<TCursorIndex> MakeIndex(int slot);
  // The current index (null in natural order) and the deleted-records index.
  TCursorIndex* CurrentIndex() { return index_.get(); }
  TCursorIndex& DeletedIndex() { return *deletedIndex_; }
  // Writes the dirty buffers and the headers named (forced), or only marks
  // them changed for an exclusive table; then takes the change snapshot.
  void CommitTable(const TTableFiles& changed);
  // Takes the three change counters of the table as seen.
  void TakeChangeSnapshot();
  // Recomputes the range bounds and, in natural order or with filters, the
  // visible set.
  void RebuildPositions();
  // Makes `image` (RecordSize bytes) of record `recordNo` the current record
  // and stands on it in the current order (or on the entry that follows its
  // key when it is not in the view).
  void StandOnRecord(int32_t recordNo, const uint8_t* image);
  // The visible-records set (natural order, filters).
  TRecordsBitmap& VisibleRecords() { return visible_; }
  // This cursor as the client the record and blob caches ask for read
  // locks, change checks and read-ahead hints.
  TRecordCacheClient& RecordClient() { return *this; }
  TBlobCacheClient& BlobClient() { return *this; }

 private:
  // Thrown when a fetch found another user's change: the operation starts
  // over from the place it began at.
  struct TRestart {};

  // The three change counters of the table's files.
  struct TChangeSnapshot {
    int32_t data = 0;
    uint32_t index = 0;
    int32_t blob = 0;
    bool operator==(const TChangeSnapshot&) const = default;
  };

  // Where the cursor stood: enough to come back to it in any order.
  struct TPlace {
    bool bof = true;
    bool eof = true;
    bool hasEntry = false;
    bool between = false;
    int slot = kNaturalOrder;
    int32_t recordNo = 0;                            // natural order
    std::array<uint8_t, kMaxStoredKeyLength> key{};  // index order
    std::vector<uint8_t> image;                      // the record
    int32_t imageRecordNo = 0;
  };

  // ---- DataCursor.cpp: opening, options, order, brackets, rebuilding ----

  void CheckClosed() const;
  void CheckOpen() const;
  // Open steps after the table is held; a failure gives the table back.
  void AttachTable(TDataTable& table, const TDataCursor* source);
  // Frees everything but the table; never raises.
  void DetachState() noexcept;
  void RebuildDeletedIndex();
  void SelectIndex(int indexNo);
  void ChangeOrder(int indexNo);
  void ResetRange();
  TChangeSnapshot CurrentCounters() const;
  bool SnapshotDiffers() const { return snapshot_ != CurrentCounters(); }
  // The session takes the read lock around every operation.
  bool StrictChecks() const;

  template <class F>
  auto Operate(F&& body) -> decltype(body());
  template <class F>
  auto Attempt(F&& body) -> decltype(body());
  void CapturePlace(TPlace& place) const;
  void RestorePlace(const TPlace& place);
  // Rebuilds the positions and returns to the place: after a change.
  void Refresh(const TPlace& place);
  // The same outside an operation's restarts (the write bracket).
  void RefreshNow(const TPlace& place);
  void ReleaseOwnedReadLock();
  void CheckRestart() {
    if (changeSeen_) throw TRestart{};
  }
  // Takes the read lock for a fetch from disk: true when that found a change.
  bool LockForFetch();
  void RebuildPositionsNow();
  void RebuildVisibleSet();
  void ApplyFilters(const TRecordsBitmap& candidates);
  void ComputeRangeBoundsNow();

  // TRecordCacheClient, TIndexChangeCheck, TBlobCacheClient
  bool AcquireReadLockForFetch() override { return LockForFetch(); }
  int32_t ReadAheadHint(int32_t recordNo, int direction, int32_t limit) override;
  void UpcomingRecords(int32_t recordNo, int direction, int32_t limit,
                       std::vector<int32_t>& upcoming) override;
  bool CheckForChanges() override { return LockForFetch(); }

  // ---- CursorNavigation.cpp: the view and the position ----

  bool HasEntry() const;
  int32_t PositionRecordNo() const;
  void ClearPosition();
  bool Visible(int32_t recordNo) const;
  int32_t ViewCount() const;
  bool KeyBelowRange(const uint8_t* key) const;
  bool KeyAboveRange(const uint8_t* key) const;
  // Leaf-level moves that restart the operation on a change.
  bool TreeFirst(TIndexPosition& pos);
  bool TreeLast(TIndexPosition& pos);
  bool TreeFirstNotBelow(const uint8_t* key, TIndexPosition& pos);
  bool TreeLastNotAbove(const uint8_t* key, TIndexPosition& pos);
  bool TreeStep(TIndexPosition& pos, bool forward);
  bool TreeEntryAtSequence(int32_t s, TIndexPosition& pos);
  int32_t TreeSequence(TIndexPosition& pos);
  // From an entry, the first visible one inside the range in a direction.
  bool Settle(TIndexPosition& pos, bool forward);
  bool ViewFirst();
  bool ViewLast();
  // One step of the view from the position (or from between two entries);
  // false at the end, with the position unchanged.
  bool ViewStep(bool forward);
  bool CanStep(bool forward);
  void SetIndexPosition(const TIndexPosition& pos);
  void SetNaturalPosition(int32_t recordNo);
  // From between two entries onto the following one (or the one before).
  void ResolveBetween();
  void EdgeState(bool end);
  uint16_t StepAndRead(bool forward, uint8_t* image);
  // Whether the cursor still stands where its last step left it, going the
  // same way: the step about to be taken continues a scan.
  bool ContinuesScan(bool forward) const;
  void NoteScanStep(bool forward, int32_t steps);
  // Without `readAhead` only this record is read (a lookup visits one).
  void ReadRecordAtPosition(int direction, bool readAhead = true);
  // Copies record n's image; a free slot is refused unless `anySlot`.
  void FetchImage(int32_t recordNo, int direction, bool askCursor, uint8_t* image,
                  bool anySlot = false, bool readAhead = true);
  [[noreturn]] void RaiseOrderCorrupt() const;
  void BlankCurrent();
  uint16_t CopyOut(uint16_t result, uint8_t* image) const;
  bool GotoBookmarkNow(const uint8_t* bookmark, bool exact);
  void MoveToSequenceNow(int32_t n);

  // ---- CursorUpdate.cpp ----

  class TUpdate;

  bool Pessimistic() const;
  // Record locks apply to this cursor (not holding the table exclusively,
  // locking not switched off).
  bool LocksRecords() const { return !holdsExclusively_ && !lockingOff_; }
  // Locks a record for this cursor inside an operation: true when the
  // lock's header check found another user's change.
  bool LockRecordNow(int32_t recordNo);
  void UnlockRecordNow(int32_t recordNo);
  // Locks and, on a change found, returns to where the cursor stood.
  void AcquireRecordLockNow(int32_t recordNo);
  // Releases every record lock of this cursor; never raises.
  void ReleaseRecordLocks() noexcept;
  void CheckWritable() const;
  void CheckCurrentRecord() const;
  [[noreturn]] void RaiseRecordChanged() const;
  // The image of slot n as the table holds it now (any slot).
  void FetchSlot(int32_t recordNo, std::vector<uint8_t>& image);
  uint16_t ReadCurrentLocked(uint8_t* image);
  // After this cursor's own change of record n: the visible set and range
  // bounds, then (reposition) standing on `image`. `orderKeyKept`: the
  // change left the record's key in the current order as it was, so the
  // range bounds stand and a cursor on the record's entry stays there.
  void NoteOwnChange(int32_t recordNo, const uint8_t* image, bool live, bool reposition,
                     bool orderKeyKept = false);
  bool InView(const uint8_t* image);
  // A change failed half way: its buffers are dropped (shared table) and
  // the cursor returns to where it stood; never raises.
  void AbandonChange() noexcept;
  void AddRowIdToHeader(int32_t rowId);
  // The indexes a record has keys in (the primary one when the table has
  // one, then the secondary ones), made once and kept: descriptors change
  // only while a table is held exclusively for restructuring.
  std::vector<std::unique_ptr<TCursorIndex>>& KeyedIndexes();

  // ---- CursorBlob.cpp ----

  class TBlobPost;

  // The descriptor of a blob field with a slot; null for any other number.
  const TFieldDesc* BlobField(int fieldNo) const;
  int32_t BlobReference(const TFieldDesc& field, const uint8_t* image) const;
  TBlobBuffer* BufferOfHandle(int32_t handle) const;
  // The buffer behind the field's reference in `image`, or null.
  TBlobBuffer* BufferOf(const TFieldDesc& field, const uint8_t* image) const;
  // The buffers `image` holds handles of, in field order.
  std::vector<TBlobBuffer*> ImageBlobs(const uint8_t* image) const;
  int32_t NewBlobHandle();
  void RemoveBlobBuffer(const TBlobBuffer* buffer) noexcept;
  // Writes a reference into the field (null flag 1 when positive; for a
  // handle, 1 unless the value is empty).
  void PutBlobReference(const TFieldDesc& field, uint8_t* image, int32_t reference,
                        bool empty) const;
  // A copy of `image` with each open handle replaced by the reference it was
  // opened from: the image as the table holds it.
  std::vector<uint8_t> StoredForm(const uint8_t* image, size_t size) const;
  bool InTextIndex(int fieldNo) const;
  // A new buffer in the list, the field's reference replaced by its handle.
  TBlobBuffer& AddBlobBuffer(const TFieldDesc& field, uint8_t* image, bool freeAfterPost,
                             TBlobOpenMode mode, bool load);
  // Frees the buffers of record n (a record being deleted).
  void FreeRecordBuffers(int32_t recordNo) noexcept;

  // The blob part of one post: the buffers of the posted record image are
  // prepared before anything changes, written with the change and given up
  // once it is committed. A post that fails leaves every buffer as it was
  // and frees those it made itself.
  class TBlobPost {
   public:
    explicit TBlobPost(TDataCursor& cursor) : cursor_(cursor) {}
    ~TBlobPost();
    TBlobPost(const TBlobPost&) = delete;
    TBlobPost& operator=(const TBlobPost&) = delete;
    // Edit (`old` is the record as stored): a blob field not open keeps the
    // stored bytes; an open one must still stand for the stored chain
    // (LEDRA_KEYORRECDELETED). Insert (`old` null, `recordNo` the new
    // record's): every value the image names gets a chain of its own.
    void Prepare(uint8_t* record, const uint8_t* old, int32_t recordNo);
    // Stamps, writes and stores the references in `record`: true when the
    // blob file changed.
    bool Write(uint8_t* record);
    // After the commit: the caller's image takes the references and stamps
    // of `record`, and the buffers of the record are freed.
    void Done(const uint8_t* record, uint8_t* image) noexcept;

   private:
    struct TSaved {
      TBlobBuffer* buffer;
      int32_t firstBlock;
      int32_t stamp;
      int32_t recordNo;
      bool changed;
    };
    TDataCursor& cursor_;
    std::vector<TSaved> saved_;
    std::vector<const TBlobBuffer*> adopted_;
    bool done_ = false;
  };

  // ---- CursorSeek.cpp ----

  bool SeekKeyNow(const uint8_t* key, bool nearest, bool keepEnds);
  bool SeekNearest(const TIndexPosition& from);
  bool SeekEdgeNow(bool last);
  void RepositionNow();
  void PrepareKey(bool raw, const uint8_t* source, uint8_t* key);
  void RangeBound(bool raw, const uint8_t* source, int fieldCount, bool high, uint8_t* bound);

  TDataDirectory& directory_;
  std::string tableName_;
  bool exclusive_ = false;
  bool readOnly_ = false;
  bool readOnlyOption_ = false;
  bool inMemory_ = false;
  TPasswordCallback passwordCallback_;

  bool open_ = false;
  TDataTable* table_ = nullptr;
  bool isClone_ = false;
  // Opened the table exclusively itself (a clone of such a cursor is not).
  bool holdsExclusively_ = false;
  // The table's files carry the read-only attribute: no locks, no checks.
  bool lockingOff_ = false;
  std::unique_ptr<TRecordLayout> layout_;
  TCharMap charMap_{};

  int indexNo_ = 0;
  std::unique_ptr<TCursorIndex> index_;
  std::unique_ptr<TCursorIndex> deletedIndex_;

  // Position.
  TIndexPosition pos_;
  int32_t recordNo_ = 0;
  bool between_ = false;
  bool bof_ = true;
  bool eof_ = true;
  std::vector<uint8_t> currentImage_;
  int32_t currentRecordNo_ = 0;

  // Range.
  bool rangeActive_ = false;
  std::array<uint8_t, kRangeKeySize> rangeLow_{};
  std::array<uint8_t, kRangeKeySize> rangeHigh_{};
  int32_t rangeFirst_ = 1;
  int32_t rangeLast_ = 0;

  // Visible records and filters.
  TRecordsBitmap visible_;
  int32_t visibleCount_ = 0;
  struct TFilterEntry {
    int handle = 0;
    TRecordFilter filter;
  };
  std::vector<TFilterEntry> filters_;
  int nextFilterHandle_ = 1;

  // Change detection and brackets.
  TChangeSnapshot snapshot_;
  int readDepth_ = 0;
  int writeDepth_ = 0;
  int attemptDepth_ = 0;
  bool readLockOwned_ = false;
  bool writeLockOwned_ = false;
  bool changeSeen_ = false;
  bool pendingRefresh_ = false;
  bool repositioned_ = false;
  // The positions may not match the table (a rebuild did not finish).
  bool stale_ = false;
  // Positions exist (false while the cursor is being opened).
  bool positioned_ = false;
  TPlace savedPlace_;
  TPlace writePlace_;

  // Scans in index order: where the last step left the cursor, how many
  // steps in a row went the same way, and how many records the operation
  // under way will read after the current one (-1: as many as there are;
  // 0: read no records ahead of the one asked for).
  struct TScanState {
    int indexNo = -1;
    int direction = 0;
    int32_t leafPage = 0;
    uint16_t position = 0;
    int32_t recordNo = 0;
    int32_t steps = 0;
  } scan_;
  int32_t upcomingWanted_ = 0;
  // In a block read: the records still wanted, and whether the block goes
  // on with a scan.
  int32_t blockRemaining_ = 0;
  bool blockScanning_ = false;

  // Record update path.
  std::vector<int32_t> heldRecords_;
  int32_t editLockNo_ = 0;
  bool postRefused_ = false;
  bool keepRowIds_ = false;
  std::array<uint8_t, kMaxStoredKeyLength> keyScratch_{};
  std::vector<uint8_t> filterImage_;
  std::vector<std::unique_ptr<TCursorIndex>> keyedIndexes_;

  // Open blobs.
  std::vector<std::unique_ptr<TBlobBuffer>> openBlobs_;
  int32_t nextBlobHandle_ = 1;
};

// ---- Operations ---------------------------------------------------------------------

// Runs one cursor operation inside the read bracket, with its restarts.
template <class F>
auto TDataCursor::Operate(F&& body) -> decltype(body()) {
  CheckOpen();
  TReadBracket bracket(*this);
  if constexpr (std::is_void_v<decltype(body())>) {
    Attempt(body);
    bracket.End();
  } else {
    auto result = Attempt(body);
    bracket.End();
    return result;
  }
}

// Runs the body; when a fetch finds another user's change, the positions are
// rebuilt, the cursor goes back to where the operation began and the body
// runs again. Nested operations run inside the outermost one's attempt.
template <class F>
auto TDataCursor::Attempt(F&& body) -> decltype(body()) {
  if (attemptDepth_ > 0) return body();
  struct TDepth {
    int& depth;
    explicit TDepth(int& d) : depth(d) { ++depth; }
    ~TDepth() { --depth; }
  } depth(attemptDepth_);
  if (!pendingRefresh_) CapturePlace(savedPlace_);
  for (int attempt = 1;; ++attempt) {
    try {
      changeSeen_ = false;
      if (pendingRefresh_) {
        Refresh(savedPlace_);
        pendingRefresh_ = false;
        repositioned_ = true;
      }
      return body();
    } catch (const TRestart&) {
      pendingRefresh_ = true;
      if (attempt >= kMaxRestarts) {
        pendingRefresh_ = false;
        stale_ = true;
        RaiseTableError(LEDRA_LOCKTIMEOUT, tableName_, directory_.DatabaseName());
      }
    }
  }
}

}  // namespace ledra
