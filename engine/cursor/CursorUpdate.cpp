// The record update path of a cursor: record locks, inserting, editing and
// deleting records, and the commit that makes a change visible.
//
// A change keeps the record slot, every index (0..IndexCount), the
// deleted-records index (31), the text index (32) and the headers consistent.
// Its order:
//   1. the write bracket (the table's write lock, which re-reads the headers);
//   2. the record lock of the slot (an edit's own lock may be held already);
//   3. every check: the record still as the caller saw it, and no unique key
//      taken by another record. Up to here nothing has changed, so a refusal
//      (LEDRA_KEYVIOL, LEDRA_KEYORRECDELETED, LEDRA_RECLOCKFAILED) leaves the
//      files and the cursor as they were;
//   4. the changes, in the caches only: slot, keys, words, headers;
//   5. the commit: a shared table writes every dirty record, page and block
//      and the headers (their change counters advanced) while the write lock
//      still keeps everybody else out; an exclusive table, or one inside a
//      transaction, only marks its headers changed;
//   6. the cursor stands on the written record (reposition);
//   7. the record lock is released, then the write bracket.
//
// A failure during step 4 or 5 is not undone: keys already changed stay
// changed. So that other users never see half of a change, a shared table
// outside a transaction then drops every buffer without writing and re-reads
// its headers; what had not reached the file is gone, and the headers on
// disk still carry the old change counters. (An exclusive table, or one in a
// transaction, keeps its buffers: they hold earlier changes that were only
// marked.) The cursor then returns to where it stood, and the locks go as on
// every other path: the record lock first, then the write bracket.
//
// A program that dies during the commit (killed, power gone) leaves whatever
// writes it had made; nothing rolls them back, and the next program sees the
// files as they are. Nothing of a change reaches the file before its commit:
// while the change holds the write lock the page cache and the block cache
// keep its dirty pages and blocks rather than write them to make room (the
// block cache may write blocks of new chains, which nothing on disk names).
// A changed blob never overwrites its old chain: the value goes into a new
// chain, and the old one is freed. The commit's writes go in the order that
// leaves the least behind (TDataTable::WriteBuffers):
//   a. the blocks of new blob chains, highest number first;
//   b. index pages, highest number first;
//   c. record slots, then the field descriptors;
//   d. the blocks of freed chains (rewritten or deleted values), then the
//      blob header;
//   e. the .DAT header;
//   f. the .IDX header, last: its counter is the one other programs look at
//      first to decide they must drop what they cached.
// What a death leaves, by where it comes:
//   - before a: nothing changed;
//   - among the new blocks: blocks no record names; those appended past the
//     end the blob header on disk counts are reached by nothing (the table
//     is sound); those taken from the free list cut it (verify: lost blocks
//     or a short free list), and repair puts them back. Every record, its
//     blob values included, is the old one;
//   - among the appended index pages: nothing any reader reaches;
//   - among the index pages written in place: the indexes disagree with the
//     records (verify: keys, counts, links; an insert that split up to the
//     root may keep the table from opening, LEDRA_INDEXCORRUPT); repair
//     rebuilds every index from the slots, so the record is the old one, or
//     the new one once its slot is written;
//   - after the slots: the records are the new ones. An edit that changed
//     no key and no blob is whole already (the headers only count it). A
//     new chain in appended blocks lies past the block count of the blob
//     header on disk (verify: a chain outside the file) until that header
//     is written; repair takes the blocks in, and the record keeps its new
//     value. The old chain of a rewritten or deleted value is named by no
//     record, whole or partly linked into the free list (verify: lost
//     blocks); repair frees it. A slot appended past the end the .DAT header
//     counts makes the next open refuse the table (LEDRA_HEADERCORRUPT)
//     until repair takes the slot in; a freed slot is off the free chain
//     until the header names it (repair rebuilds the chain);
//   - between the .DAT and the .IDX header: the live count, the roots and the
//     free pages of the index header are the old ones; repair rebuilds.
// So after repair each record is wholly as before or wholly as after the
// change, blob values included; of a transaction's commit, which writes the
// changes of many records at once, some records may come out changed and
// others not. A transaction never reuses, before its commit, the blocks it
// freed: on disk they are still the chains of records as the file holds
// them.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <exception>
#include <limits>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "engine/blob/BlobChain.h"
#include "engine/cursor/DataCursor.h"
#include "engine/index/TextIndexWords.h"
#include "engine/files/Bytes.h"
#include "engine/table/DataSession.h"
#include "engine/table/DataTable.h"
#include "engine/files/LocaleServices.h"
#include "engine/index/TextParams.h"

namespace ledra {

namespace {

// The row id after `last`; after the largest comes 1, as the data file counts.
int32_t NextRowId(int32_t last) {
  return last == std::numeric_limits<int32_t>::max() ? 1 : last + 1;
}

int32_t RowIdOf(const uint8_t* image) {
  return int32_t(GetLE32(image + kRowIdOffset));
}

// One key per index for a record image.
std::vector<std::vector<uint8_t>> KeysOf(std::vector<std::unique_ptr<TCursorIndex>>& indexes,
                                         const uint8_t* image) {
  std::vector<std::vector<uint8_t>> keys;
  keys.reserve(indexes.size());
  for (auto& index : indexes) {
    keys.emplace_back(index->KeyLength());
    index->BuildKey(image, keys.back().data());
  }
  return keys;
}

std::vector<uint8_t> DeletedKeyOf(const uint8_t* image) {
  std::vector<uint8_t> key(kDeletedKeyLength);
  TIndexKeys::BuildDeletedKey(image, key.data());
  return key;
}

// ---- The text index ----------------------------------------------------------------
//
// Each string or memo field of the text index contributes the distinct words
// of its value (a memo's through its open blob buffer, or its stored chain
// when it is not open); a word's key is 1, the field number, the upper-cased word and the
// record's row id. The words are told apart on their upper-cased form, the
// form the keys hold (TTextIndexWords), and an edit removes the keys of the
// words that left before it adds those of the words that arrived, so that a
// word whose case alone changed keeps its key.
class TTextIndexUpdate {
 public:
  // The text index of the cursor's table, or null when it keeps none: no
  // fields, or no parameter pages (then no word was ever indexed).
  static std::unique_ptr<TTextIndexUpdate> For(TDataCursor& cursor) {
    TDataTable& table = cursor.Table();
    const TIndexFile& file = table.IndexFile();
    const TIndexDesc desc = file.GetIndexDesc(kTextSlot);
    if (desc.KeyFieldCount == 0 || file.TextParamPage() == 0) return nullptr;
    return std::unique_ptr<TTextIndexUpdate>(new TTextIndexUpdate(cursor, desc));
  }

  size_t FieldCount() const { return fields_.size(); }

  // Which memo values the words come from.
  struct TMemoWords {
    // Each memo's value as loaded, before the changes made to it.
    bool AsLoaded = false;
    // Only the memos open in the image; the others count as unchanged.
    bool OpenOnly = false;
  };

  // The words of each field: string fields of `image`, memo fields of
  // `memoImage`.
  std::vector<std::vector<std::string>> Words(const uint8_t* image, const uint8_t* memoImage,
                                              const TMemoWords& memos) {
    std::vector<std::vector<std::string>> words(fields_.size());
    for (size_t i = 0; i < fields_.size(); ++i) {
      const TFieldDesc& field = fields_[i];
      if (field.FieldType == fldBlob && field.SubType == kSubTypeMemo) {
        if (memos.OpenOnly && cursor_.FindBlobBuffer(field.FieldNo, memoImage) == nullptr) continue;
        words[i] = splitter_->Extract(
            cursor_.MemoValue(field.FieldNo, memoImage, memos.AsLoaded, scratch_));
        continue;
      }
      if (field.FieldType != fldString || image[field.Offset] == 0) continue;
      const char* value = reinterpret_cast<const char*>(image + field.Offset + 1);
      words[i] = splitter_->Extract(std::string_view(value, strnlen(value, field.Size)));
    }
    return words;
  }
  std::vector<std::vector<std::string>> Words(const uint8_t* image) {
    return Words(image, image, {});
  }

  // Adds the keys of the words of field i, unless present: true when any
  // key was added.
  bool Add(size_t i, const std::vector<std::string>& words, int32_t rowId, int32_t recordNo) {
    bool changed = false;
    for (const std::string& word : words) {
      BuildKey(i, word, rowId);
      if (index_->Tree().IndexContains(key_.data())) continue;
      index_->Tree().IndexInsert(key_.data(), recordNo);
      changed = true;
    }
    return changed;
  }

  // Removes the keys of the words of field i that are present: true when any
  // key was removed. A key already missing does not stop the record's change.
  bool Remove(size_t i, const std::vector<std::string>& words, int32_t rowId) {
    bool changed = false;
    for (const std::string& word : words) {
      BuildKey(i, word, rowId);
      if (!index_->Tree().IndexContains(key_.data())) continue;
      index_->Tree().IndexDelete(key_.data());
      changed = true;
    }
    return changed;
  }

 private:
  TTextIndexUpdate(TDataCursor& cursor, const TIndexDesc& desc)
      : cursor_(cursor), index_(cursor.MakeIndex(kTextSlot)), key_(kTextKeyLength) {
    TDataTable& table = cursor.Table();
    for (int i = 0; i < desc.KeyFieldCount && i < kMaxKeyFields; ++i) {
      std::optional<TFieldDesc> field = table.DataFile().FieldDescByNo(desc.KeyFields[size_t(i)]);
      if (!field) {
        RaiseEngineError(LEDRA_INDEXCORRUPT, {.Index = kTextIndexName, .Table = table.TableName()});
      }
      fields_.push_back(*field);
    }
    const uint32_t lcid = TableLocale(table.DataFile().LanguageId(), table.DataFile().SortId());
    splitter_ = std::make_unique<TTextIndexWords>(LoadParams(table), lcid);
  }

  // The parameters kept in the text index's chain of parameter pages.
  static TTextParams LoadParams(TDataTable& table) {
    TIndexFile& file = table.IndexFile();
    auto corrupt = [&] {
      RaiseEngineError(LEDRA_INDEXCORRUPT, {.Index = kTextIndexName, .Table = table.TableName()});
    };
    std::vector<uint8_t> bodies;
    const int32_t pages = file.NextPageNo(kTextSlot);
    int32_t pageNo = file.TextParamPage();
    for (int32_t steps = 0; pageNo != 0; ++steps) {
      if (steps >= pages) corrupt();  // a chain that loops
      TPage* page = file.FetchPage(kTextSlot, pageNo, false, nullptr);
      if (page == nullptr) corrupt();
      struct TRelease {
        TIndexFile& file;
        TPage* page;
        ~TRelease() { file.ReleasePage(page); }
      } release{file, page};
      if (!page->IsParam()) corrupt();
      bodies.insert(bodies.end(), page->ParamBody(), page->ParamBody() + kPageBodySize);
      pageNo = page->NextPage;
    }
    return DecodeTextParams(bodies, table.TableName());
  }

  void BuildKey(size_t i, const std::string& word, int32_t rowId) {
    index_->Keys().BuildTextKey(fields_[i].FieldNo, word, rowId, key_.data());
  }

  TDataCursor& cursor_;
  std::unique_ptr<TCursorIndex> index_;
  std::vector<TFieldDesc> fields_;
  std::vector<uint8_t> scratch_;
  std::unique_ptr<TTextIndexWords> splitter_;
  std::vector<uint8_t> key_;
};

// A pinned record of the table's cache, released on every path.
class TPinnedRecord {
 public:
  TPinnedRecord(TRecordCache& cache, TRecord* record) : cache_(cache), record_(record) {}
  ~TPinnedRecord() { cache_.ReleaseRecord(record_); }
  TPinnedRecord(const TPinnedRecord&) = delete;
  TPinnedRecord& operator=(const TPinnedRecord&) = delete;
  TRecord* operator->() const { return record_; }
  TRecord& operator*() const { return *record_; }

 private:
  TRecordCache& cache_;
  TRecord* record_;
};

}  // namespace

// ---- One change: its brackets, its record lock and its failure ---------------------------

// The write bracket of one change, the record lock it takes (or an edit's
// lock it gives up when it succeeds) and what happens when it fails.
class TDataCursor::TUpdate {
 public:
  explicit TUpdate(TDataCursor& cursor) : cursor_(cursor), bracket_(cursor) {
    cursor_.changeSeen_ = false;
  }
  // On failure: a change begun is abandoned, then the record lock this
  // change took goes, then (with the bracket member) the write lock.
  ~TUpdate() {
    if (finished_) return;
    if (changing_) cursor_.AbandonChange();
    if (lockNo_ != 0) {
      try {
        cursor_.UnlockRecordNow(lockNo_);
      } catch (...) {
        // Already failing; the table's last close releases what is left.
      }
    }
  }
  TUpdate(const TUpdate&) = delete;
  TUpdate& operator=(const TUpdate&) = delete;

  // Takes the record lock for this change.
  void Lock(int32_t recordNo) {
    cursor_.LockRecordNow(recordNo);
    lockNo_ = recordNo;
  }
  // A lock held before the change, given up only when the change succeeds.
  void ReleaseWhenDone(int32_t recordNo) { doneNo_ = recordNo; }
  // From here on the caches hold (part of) the change.
  void Changing() { changing_ = true; }
  // The change is written (or marked): nothing to abandon any more.
  void Committed() { changing_ = false; }
  // Releases the record locks, then ends the write bracket; the first
  // failure is raised after both were tried.
  void Finish() {
    finished_ = true;
    std::exception_ptr failure;
    for (int32_t* n : {&lockNo_, &doneNo_}) {
      const int32_t recordNo = *n;
      *n = 0;
      if (recordNo == 0) continue;
      try {
        cursor_.UnlockRecordNow(recordNo);
      } catch (...) {
        if (!failure) failure = std::current_exception();
      }
    }
    try {
      bracket_.End();
    } catch (...) {
      if (!failure) failure = std::current_exception();
    }
    if (failure) std::rethrow_exception(failure);
  }

 private:
  TDataCursor& cursor_;
  TWriteBracket bracket_;
  int32_t lockNo_ = 0;
  int32_t doneNo_ = 0;
  bool changing_ = false;
  bool finished_ = false;
};

void TDataCursor::AbandonChange() noexcept {
  // A shared table outside a transaction holds nothing unwritten but this
  // change (every earlier one was written at its commit): dropping the
  // buffers takes it out of memory, so that none of it is written later,
  // and the headers come back as the file holds them.
  try {
    if (!table_->Exclusive() && !table_->InTransaction()) {
      table_->DropBuffers({.RereadHeaders = true});
    }
  } catch (...) {
    stale_ = true;
  }
  try {
    RefreshNow(writePlace_);
  } catch (...) {
    stale_ = true;
  }
}

// ---- Guards and helpers ----------------------------------------------------------------

bool TDataCursor::Pessimistic() const {
  return table_->Settings().LockProtocol == kLockPessimistic;
}

void TDataCursor::CheckWritable() const {
  CheckOpen();
  if (readOnly_) RaiseTableError(LEDRA_OSEACCES, tableName_, directory_.DatabaseName());
}

void TDataCursor::CheckCurrentRecord() const {
  if (currentRecordNo_ == 0 || (bof_ && eof_)) {
    RaiseTableError(LEDRA_NOCURRREC, tableName_, directory_.DatabaseName());
  }
}

[[noreturn]] void TDataCursor::RaiseRecordChanged() const {
  RaiseTableError(LEDRA_KEYORRECDELETED, tableName_, directory_.DatabaseName());
}

void TDataCursor::FetchSlot(int32_t recordNo, std::vector<uint8_t>& image) {
  image.assign(currentImage_.size(), 0);
  FetchImage(recordNo, kReadForward, /*askCursor=*/false, image.data(), /*anySlot=*/true);
}

void TDataCursor::AddRowIdToHeader(int32_t rowId) {
  TDataFile& data = table_->DataFile();
  if (rowId <= data.LastAutoInc()) return;
  data.SetTableInfo(data.TablePassword(), data.TableDescription(), data.UserMajorVersion(),
                    data.UserMinorVersion(), rowId);
}

std::vector<std::unique_ptr<TCursorIndex>>& TDataCursor::KeyedIndexes() {
  const TIndexFile& file = table_->IndexFile();
  const size_t primary = file.NoPrimaryIndex() ? 0 : 1;
  const size_t count = primary + size_t(file.SecondaryIndexCount());
  const bool fits = keyedIndexes_.size() == count &&
                    (count == 0 || keyedIndexes_.front()->Slot() == (primary ? kPrimarySlot : 1));
  if (!fits) {
    std::vector<std::unique_ptr<TCursorIndex>> indexes;
    indexes.reserve(count);
    if (primary != 0) indexes.push_back(MakeIndex(kPrimarySlot));
    for (int slot = 1; slot <= file.SecondaryIndexCount(); ++slot) {
      indexes.push_back(MakeIndex(slot));
    }
    keyedIndexes_ = std::move(indexes);
  }
  return keyedIndexes_;
}

bool TDataCursor::InView(const uint8_t* image) {
  for (const TFilterEntry& entry : filters_) {
    if (!entry.filter(image)) return false;
  }
  if (NaturalOrder() || !rangeActive_) return true;
  index_->BuildKey(image, keyScratch_.data());
  return !KeyBelowRange(keyScratch_.data()) && !KeyAboveRange(keyScratch_.data());
}

void TDataCursor::NoteOwnChange(int32_t recordNo, const uint8_t* image, bool live, bool reposition,
                                bool orderKeyKept) {
  // The cursor's own change needs no rebuild: the one record joins or
  // leaves the visible set.
  if (NaturalOrder() || FiltersActive()) {
    const int32_t slots = std::max(0, table_->DataFile().RecordSlotCount());
    visible_.Grow(uint32_t(slots) + 1u);
    if (live && InView(image)) {
      visible_.Set(uint32_t(recordNo));
    } else {
      visible_.Clear(uint32_t(recordNo));
    }
    visibleCount_ = int32_t(visible_.Count());
  }
  // The range bounds are sequence numbers of the current index, which only
  // a changed key moves.
  if (!orderKeyKept) ComputeRangeBoundsNow();
  if (!reposition) return;
  // Still on the record's entry, which did not move: the cursor stays and
  // only takes the written image. Anything else stands on the record anew.
  if (orderKeyKept && live && !between_ && HasEntry() && PositionRecordNo() == recordNo &&
      currentRecordNo_ == recordNo && Visible(recordNo)) {
    std::copy_n(image, currentImage_.size(), currentImage_.begin());
    bof_ = eof_ = false;
    return;
  }
  StandOnRecord(recordNo, image);
}

// ---- Record locks ------------------------------------------------------------------------

bool TDataCursor::HoldsRecordLock(int32_t recordNo) const {
  return recordNo != 0 &&
         std::find(heldRecords_.begin(), heldRecords_.end(), recordNo) != heldRecords_.end();
}

bool TDataCursor::LockRecordNow(int32_t recordNo) {
  if (!LocksRecords()) {
    // Nobody else can change the table: only the note.
    if (recordNo > 0 && !HoldsRecordLock(recordNo)) heldRecords_.push_back(recordNo);
    return false;
  }
  if (HoldsRecordLock(recordNo)) {
    RaiseTableError(LEDRA_RECLOCKFAILED, tableName_, directory_.DatabaseName());
  }
  // Outside the write lock the record lock takes the read lock (to look for
  // changes); it is this operation's and goes at its EndRead.
  const bool readHeld = table_->Lock().ReadLockHeld();
  auto noteReadLock = [&] {
    if (!readHeld && table_->Lock().ReadLockHeld()) readLockOwned_ = true;
  };
  bool changed = false;
  try {
    changed = table_->LockRecordForCursor(recordNo);
  } catch (...) {
    noteReadLock();
    throw;
  }
  noteReadLock();
  heldRecords_.push_back(recordNo);
  return changed;
}

void TDataCursor::UnlockRecordNow(int32_t recordNo) {
  auto at = std::find(heldRecords_.begin(), heldRecords_.end(), recordNo);
  if (recordNo == 0 || at == heldRecords_.end()) {
    if (!LocksRecords()) return;
    RaiseTableError(LEDRA_UNLOCKFAILED, tableName_, directory_.DatabaseName());
  }
  heldRecords_.erase(at);
  if (editLockNo_ == recordNo) editLockNo_ = 0;
  if (LocksRecords()) table_->UnlockRecordForCursor(recordNo);
}

void TDataCursor::ReleaseRecordLocks() noexcept {
  const std::vector<int32_t> held = heldRecords_;
  for (int32_t recordNo : held) {
    try {
      UnlockRecordNow(recordNo);
    } catch (...) {
      // The table's last close releases what does not unlock now.
    }
  }
  heldRecords_.clear();
  editLockNo_ = 0;
}

void TDataCursor::AcquireRecordLockNow(int32_t recordNo) {
  TPlace place;
  CapturePlace(place);
  const bool changed = LockRecordNow(recordNo);
  if (changed || SnapshotDiffers()) {
    changeSeen_ = false;
    Refresh(place);
    repositioned_ = true;
  }
}

void TDataCursor::AcquireRecordLock(int32_t recordNo) {
  CheckOpen();
  const int32_t n = recordNo != 0 ? recordNo : currentRecordNo_;
  if (LocksRecords() && (n <= 0 || HoldsRecordLock(n))) {
    RaiseTableError(LEDRA_RECLOCKFAILED, tableName_, directory_.DatabaseName());
  }
  // A restart runs the body again: the lock it took stays taken.
  Operate([&] {
    if (!HoldsRecordLock(n)) AcquireRecordLockNow(n);
  });
}

void TDataCursor::ReleaseRecordLock(int32_t recordNo) {
  CheckOpen();
  UnlockRecordNow(recordNo != 0 ? recordNo : currentRecordNo_);
}

// ---- The start of an edit -------------------------------------------------------------------

uint16_t TDataCursor::ReadCurrentLocked(uint8_t* image) {
  const bool pessimistic = Pessimistic();
  int32_t taken = 0;
  std::vector<uint8_t> fresh;
  try {
    const uint16_t result = Operate([&]() -> uint16_t {
      ResolveBetween();
      if (bof_ && eof_) return CopyOut(LEDRA_NOCURRREC, image);
      if (bof_) return CopyOut(LEDRA_BOF, image);
      if (eof_) return CopyOut(LEDRA_EOF, image);
      const int32_t recordNo = currentRecordNo_;
      if (pessimistic && LocksRecords()) {
        // An edit of this record in progress holds the lock already.
        if (!HoldsRecordLock(recordNo)) {
          AcquireRecordLockNow(recordNo);
          taken = recordNo;
        }
      } else if (!pessimistic && LocksRecords()) {
        // No lock, but the same look at the headers a lock takes.
        TPlace place;
        CapturePlace(place);
        if (LockForFetch()) {
          changeSeen_ = false;
          Refresh(place);
          repositioned_ = true;
        }
      }
      // The record as the table holds it now must be the one the caller
      // shows (it may since have been changed, deleted or its slot reused).
      if (image != nullptr && !(pessimistic && holdsExclusively_)) {
        FetchSlot(recordNo, fresh);
        // Blobs open on the caller's image count as the values they were
        // opened from.
        if (fresh[0] != 0 || fresh != StoredForm(image, fresh.size())) RaiseRecordChanged();
      }
      ResolveBetween();
      if (bof_ || eof_ || currentRecordNo_ != recordNo) RaiseRecordChanged();
      ReadRecordAtPosition(kReadForward);
      return CopyOut(0, image);
    });
    if (taken != 0) editLockNo_ = taken;
    return result;
  } catch (...) {
    if (taken != 0) {
      try {
        UnlockRecordNow(taken);
      } catch (...) {
        // The error of the edit is the one to report.
      }
    }
    throw;
  }
}

// ---- PostInsert -------------------------------------------------------------------------------

void TDataCursor::PostInsert(uint8_t* image, bool reposition) {
  CheckWritable();
  ValidateRecord(image);
  try {
    TUpdate update(*this);
    TDataFile& data = table_->DataFile();
    TIndexFile& indexFile = table_->IndexFile();
    TRecordCache& cache = table_->RecordCache();
    const size_t recordSize = currentImage_.size();

    // A table with a primary index reuses the most recently freed slot; one
    // without never does, so that its natural order stays the order of
    // insertion.
    const int32_t head = data.FirstFreeRecord();
    const bool reuse = head != 0 && !indexFile.NoPrimaryIndex();
    const int32_t recordNo = reuse ? head : data.NextRecordNo();
    update.Lock(recordNo);

    if (!keepRowIds_) PutLE32(image + kRowIdOffset, uint32_t(NextRowId(data.LastAutoInc())));
    const int32_t rowId = RowIdOf(image);
    std::vector<uint8_t> record(image, image + recordSize);
    record[0] = 0;
    PutLE32(&record[1], uint32_t(recordNo));

    // Every check before anything changes.
    auto& indexes = KeyedIndexes();
    const auto keys = KeysOf(indexes, record.data());
    for (size_t i = 0; i < indexes.size(); ++i) {
      if (indexes[i]->Unique()) indexes[i]->Tree().CheckUniqueKey(keys[i].data());
    }
    const std::vector<uint8_t> liveKey = DeletedKeyOf(record.data());
    // A supplied row id another live record has is a duplicate.
    if (keepRowIds_) DeletedIndex().Tree().CheckUniqueKey(liveKey.data());
    std::vector<uint8_t> freedKey;
    if (reuse) {
      std::vector<uint8_t> freed;
      FetchSlot(recordNo, freed);
      freedKey = DeletedKeyOf(freed.data());
    }
    TBlobPost blobs(*this);
    blobs.Prepare(record.data(), nullptr, recordNo);
    std::unique_ptr<TTextIndexUpdate> text = TTextIndexUpdate::For(*this);
    const auto words = text ? text->Words(record.data()) : std::vector<std::vector<std::string>>{};

    update.Changing();
    // The image's open, changed blobs are written, their stamps and
    // references go into the record.
    const bool blobsWritten = blobs.Write(record.data());
    {
      // Held only while it is filled: a held record is never written, and
      // the commit must write it.
      TPinnedRecord slot(cache, cache.NewRecordSlot(nullptr, !keepRowIds_));
      // The cache chooses by the same rule; another slot means its header
      // and ours disagree.
      if (slot->RecordNumber() != recordNo) {
        RaiseTableError(LEDRA_FILECORRUPT, tableName_, directory_.DatabaseName());
      }
      slot->SetFieldBytes(std::span<const uint8_t>(record.data(), recordSize));
      slot->SetRowId(rowId);
      std::copy_n(slot->Image(), recordSize, record.begin());
    }
    if (keepRowIds_) AddRowIdToHeader(rowId);
    for (size_t i = 0; i < indexes.size(); ++i) {
      indexes[i]->Tree().IndexInsert(keys[i].data(), recordNo);
    }
    if (reuse) {
      DeletedIndex().Tree().IndexReplace(freedKey.data(), liveKey.data(), recordNo);
    } else {
      DeletedIndex().Tree().IndexInsert(liveKey.data(), recordNo);
    }
    indexFile.IncLiveRecordCount();
    for (size_t i = 0; text && i < text->FieldCount(); ++i) text->Add(i, words[i], rowId, recordNo);

    CommitTable({.Data = true, .Index = true, .Blob = blobsWritten});
    update.Committed();
    blobs.Done(record.data(), image);
    NoteOwnChange(recordNo, record.data(), /*live=*/true, reposition);
    update.Finish();
  } catch (const TRestart&) {
    // Nobody else writes while the write lock is held.
    RaiseTableError(LEDRA_LOCKTIMEOUT, tableName_, directory_.DatabaseName());
  }
}

// ---- PostEdit ---------------------------------------------------------------------------------

void TDataCursor::PostEdit(uint8_t* image, bool release, bool reposition) {
  CheckWritable();
  ValidateRecord(image);
  CheckCurrentRecord();
  const bool pessimistic = Pessimistic();
  const int32_t recordNo = currentRecordNo_;
  // The record as this cursor last read it (and the caller edited it).
  const std::vector<uint8_t> seen = currentImage_;
  try {
    TUpdate update(*this);
    TRecordCache& cache = table_->RecordCache();
    const size_t recordSize = currentImage_.size();

    std::vector<uint8_t> old;
    FetchSlot(recordNo, old);
    if (!pessimistic) {
      if (!holdsExclusively_) {
        if (postRefused_ || old != seen) {
          // Every later post of this edit is refused the same way.
          postRefused_ = true;
          RaiseRecordChanged();
        }
        update.Lock(recordNo);
      }
    } else if (HoldsRecordLock(recordNo)) {
      if (release) update.ReleaseWhenDone(recordNo);
    } else if (LocksRecords()) {
      // An edit that did not lock its record: locked for the post only, and
      // only when nobody changed it since it was read.
      if (old != seen) RaiseRecordChanged();
      update.Lock(recordNo);
    }
    if (old[0] != 0) RaiseRecordChanged();

    // The row id stays the record's own (it is the AutoInc value).
    const int32_t oldRowId = RowIdOf(old.data());
    if (!keepRowIds_) PutLE32(image + kRowIdOffset, uint32_t(oldRowId));
    const int32_t rowId = RowIdOf(image);
    std::vector<uint8_t> record(image, image + recordSize);
    std::copy_n(old.begin(), kRowIdOffset, record.begin());

    // Every check before anything changes.
    auto& indexes = KeyedIndexes();
    const auto oldKeys = KeysOf(indexes, old.data());
    const auto newKeys = KeysOf(indexes, record.data());
    std::vector<bool> differs(indexes.size());
    // Natural order has no key; an index order keeps its entry when the
    // record's key in it stays byte for byte the same.
    bool orderKeyKept = true;
    for (size_t i = 0; i < indexes.size(); ++i) {
      differs[i] = oldKeys[i] != newKeys[i];
      if (differs[i] && index_ != nullptr && indexes[i]->Slot() == index_->Slot()) {
        orderKeyKept = false;
      }
      // A key equal in the index's order is this record's own entry.
      if (differs[i] && indexes[i]->Unique() &&
          indexes[i]->CompareWhole(oldKeys[i].data(), newKeys[i].data()) != 0) {
        indexes[i]->Tree().CheckUniqueKey(newKeys[i].data());
      }
    }
    const std::vector<uint8_t> oldLiveKey = DeletedKeyOf(old.data());
    const std::vector<uint8_t> newLiveKey = DeletedKeyOf(record.data());
    const bool rowIdChanged = oldLiveKey != newLiveKey;
    if (rowIdChanged) DeletedIndex().Tree().CheckUniqueKey(newLiveKey.data());
    TBlobPost blobs(*this);
    blobs.Prepare(record.data(), old.data(), recordNo);
    std::unique_ptr<TTextIndexUpdate> text = TTextIndexUpdate::For(*this);
    std::vector<TWordChanges> wordChanges;
    if (text) {
      // A memo's old words are those of its value as loaded; a memo not
      // open has not changed (unless the row id, in every key, did).
      const auto oldWords =
          text->Words(old.data(), record.data(), {.AsLoaded = true, .OpenOnly = !rowIdChanged});
      const auto newWords = text->Words(record.data(), record.data(), {.OpenOnly = !rowIdChanged});
      for (size_t i = 0; i < text->FieldCount(); ++i) {
        // A new row id is in every key: all of them change.
        wordChanges.push_back(rowIdChanged ? TWordChanges{oldWords[i], newWords[i]}
                                           : DiffWords(oldWords[i], newWords[i]));
      }
    }

    update.Changing();
    bool keysChanged = false;
    for (size_t i = 0; i < indexes.size(); ++i) {
      if (!differs[i]) continue;
      indexes[i]->Tree().IndexReplace(oldKeys[i].data(), newKeys[i].data(), recordNo);
      keysChanged = true;
    }
    if (rowIdChanged) {
      DeletedIndex().Tree().IndexReplace(oldLiveKey.data(), newLiveKey.data(), recordNo);
      keysChanged = true;
      AddRowIdToHeader(rowId);
    }
    // The words that left first, then those that arrived.
    for (size_t i = 0; i < wordChanges.size(); ++i) {
      if (text->Remove(i, wordChanges[i].Removed, oldRowId)) keysChanged = true;
    }
    for (size_t i = 0; i < wordChanges.size(); ++i) {
      if (text->Add(i, wordChanges[i].Added, rowId, recordNo)) keysChanged = true;
    }
    const bool blobsWritten = blobs.Write(record.data());
    {
      TPinnedRecord slot(cache, cache.FetchRecord(nullptr, recordNo, kReadForward));
      slot->SetFieldBytes(std::span<const uint8_t>(record.data(), recordSize));
      slot->SetRowId(rowId);
      std::copy_n(slot->Image(), recordSize, record.begin());
    }

    // Any page of any index written means the index header's counter moves,
    // so that other users drop their copies of the pages.
    CommitTable({.Data = true, .Index = keysChanged, .Blob = blobsWritten});
    update.Committed();
    blobs.Done(record.data(), image);
    NoteOwnChange(recordNo, record.data(), /*live=*/true, reposition, orderKeyKept);
    update.Finish();
  } catch (const TRestart&) {
    RaiseTableError(LEDRA_LOCKTIMEOUT, tableName_, directory_.DatabaseName());
  }
}

void TDataCursor::CancelEdit() {
  CheckOpen();
  postRefused_ = false;
  // The buffers the abandoned image had open for itself only; those it
  // changed are closed or discarded (DiscardNewBlobs) by the caller.
  FreeBlobBuffers(false);
  if (editLockNo_ != 0) UnlockRecordNow(editLockNo_);
}

// ---- DeleteCurrent ----------------------------------------------------------------------------

void TDataCursor::DeleteCurrent(const uint8_t* image, bool reposition) {
  CheckWritable();
  CheckCurrentRecord();
  const int32_t recordNo = currentRecordNo_;
  const std::vector<uint8_t> shown =
      image != nullptr ? std::vector<uint8_t>(image, image + currentImage_.size()) : currentImage_;
  try {
    TUpdate update(*this);
    TRecordCache& cache = table_->RecordCache();

    std::vector<uint8_t> old;
    FetchSlot(recordNo, old);
    if (HoldsRecordLock(recordNo)) {
      // This cursor's own edit: the record cannot have changed. Its blob
      // buffers go with the record.
      update.ReleaseWhenDone(recordNo);
    } else {
      if (LocksRecords() && table_->Lock().CursorLockedRecords().Contains(uint32_t(recordNo))) {
        RaiseTableError(LEDRA_RECLOCKFAILED, tableName_, directory_.DatabaseName());
      }
      if (!holdsExclusively_ && old != StoredForm(shown.data(), shown.size())) {
        RaiseRecordChanged();
      }
      update.Lock(recordNo);
    }
    if (old[0] != 0) RaiseRecordChanged();

    auto& indexes = KeyedIndexes();
    const auto keys = KeysOf(indexes, old.data());
    const std::vector<uint8_t> liveKey = DeletedKeyOf(old.data());
    std::vector<uint8_t> freed = old;
    freed[0] = 1;
    const std::vector<uint8_t> freedKey = DeletedKeyOf(freed.data());
    const int32_t rowId = RowIdOf(old.data());
    std::unique_ptr<TTextIndexUpdate> text = TTextIndexUpdate::For(*this);
    const auto words = text ? text->Words(old.data()) : std::vector<std::vector<std::string>>{};

    update.Changing();
    for (size_t i = 0; i < indexes.size(); ++i) indexes[i]->Tree().IndexDelete(keys[i].data());
    DeletedIndex().Tree().IndexReplace(liveKey.data(), freedKey.data(), recordNo);
    table_->IndexFile().DecLiveRecordCount();
    const bool blobsChanged = table_->HasBlobs() && FreeRecordBlobs(old.data());
    for (size_t i = 0; text && i < text->FieldCount(); ++i) text->Remove(i, words[i], rowId);
    {
      // The fields and the row id stay in the free slot.
      TPinnedRecord slot(cache, cache.FetchRecord(nullptr, recordNo, kReadForward));
      cache.FreeRecordSlot(&*slot);
    }

    CommitTable({.Data = true, .Index = true, .Blob = blobsChanged});
    update.Committed();
    FreeRecordBuffers(recordNo);
    NoteOwnChange(recordNo, old.data(), /*live=*/false, reposition);
    update.Finish();
  } catch (const TRestart&) {
    RaiseTableError(LEDRA_LOCKTIMEOUT, tableName_, directory_.DatabaseName());
  }
}

// ---- New records and options --------------------------------------------------------------

void TDataCursor::CopyCurrentToNew(uint8_t* image) {
  CheckOpen();
  const size_t recordSize = currentImage_.size();
  std::fill_n(image, recordSize, uint8_t(0));
  std::copy(currentImage_.begin() + kRecordPrefixSize, currentImage_.end(),
            image + kRecordPrefixSize);
  if (keepRowIds_) {
    std::copy_n(currentImage_.begin() + kRowIdOffset, 4, image + kRowIdOffset);
  }
  // A blob value belongs to one record: the new image gets a copy of it in
  // a new blob buffer, written as a chain of its own when it is posted.
  const TRecordLayout& layout = Layout();
  std::vector<uint8_t> value;
  for (int fieldNo = 1; fieldNo <= layout.FieldCount(); ++fieldNo) {
    const TFieldDesc& field = layout.FieldDesc(fieldNo);
    if (!field.IsBlob() || field.Offset < kRecordPrefixSize) continue;
    std::fill_n(image + field.Offset,
                std::min<size_t>(1u + field.DataSize, recordSize - field.Offset), uint8_t(0));
    if (BlobField(fieldNo) == nullptr) continue;
    const int32_t reference = BlobReference(field, currentImage_.data());
    if (reference <= 0) continue;
    if (openBlobs_.size() >= kMaxOpenBlobs) {
      RaiseTableError(LEDRA_OPENBLOBLIMIT, tableName_, directory_.DatabaseName());
    }
    Operate([&] {
      LoadBlobValue(table_->BlobFile(), reference,
                    int32_t(GetLE32(currentImage_.data() + field.Offset + 5)), value,
                    &BlobClient());
    });
    TBlobBuffer& buffer =
        AddBlobBuffer(field, image, /*freeAfterPost=*/false, TBlobOpenMode::kWrite, /*load=*/false);
    buffer.Assign(std::move(value));
    PutBlobReference(field, image, -buffer.Handle(), buffer.Length() == 0);
  }
}

void TDataCursor::SetKeepRowIds(bool keep) {
  CheckOpen();
  const TRecordLayout& layout = Layout();
  bool autoInc = false;
  for (int fieldNo = 1; fieldNo <= layout.FieldCount(); ++fieldNo) {
    if (layout.FieldDesc(fieldNo).IsAutoInc()) autoInc = true;
  }
  keepRowIds_ = keep && autoInc;
}

}  // namespace ledra
