// Opening and closing a cursor, its options and order, the read and write
// brackets with change detection, and rebuilding its positions.
#include "engine/cursor/DataCursor.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "engine/table/DataSession.h"
#include "engine/table/DataTable.h"
#include "engine/index/CharMaps.h"

namespace ledra {

TDataCursor::TDataCursor(TDataDirectory& directory) : directory_(directory) {}

TDataCursor::~TDataCursor() {
  try {
    Close();
  } catch (...) {
    // The table is released whatever its last write did.
  }
}

// ---- Options ------------------------------------------------------------------------

void TDataCursor::CheckClosed() const {
  if (open_) RaiseTableError(LEDRA_TABLEOPEN, tableName_, directory_.DatabaseName());
}

void TDataCursor::CheckOpen() const {
  if (!open_ || table_ == nullptr) RaiseEngineError(LEDRA_NOTINITIALIZED);
}

void TDataCursor::SetTableName(std::string_view name) {
  CheckClosed();
  tableName_ = std::string(name.substr(0, 255));
}

void TDataCursor::SetExclusive(bool exclusive) {
  CheckClosed();
  exclusive_ = exclusive;
}

void TDataCursor::SetReadOnly(bool readOnly) {
  CheckClosed();
  readOnlyOption_ = readOnly;
  readOnly_ = readOnly;
}

void TDataCursor::SetInMemory(bool inMemory) {
  CheckClosed();
  inMemory_ = inMemory;
}

void TDataCursor::SetPasswordCallback(TPasswordCallback callback) {
  passwordCallback_ = std::move(callback);
}

TDataTable& TDataCursor::Table() const {
  CheckOpen();
  return *table_;
}

const TRecordLayout& TDataCursor::Layout() const {
  CheckOpen();
  return *layout_;
}

bool TDataCursor::StrictChecks() const {
  return table_->Settings().StrictChangeDetection;
}

// ---- Opening and closing -----------------------------------------------------------

void TDataCursor::Open() {
  if (open_) return;
  TDataTable& table =
      OpenCursorTable(directory_, tableName_, exclusive_, inMemory_, passwordCallback_);
  AttachTable(table, nullptr);
}

std::unique_ptr<TDataCursor> TDataCursor::Clone() {
  CheckOpen();
  auto clone = std::make_unique<TDataCursor>(directory_);
  clone->tableName_ = tableName_;
  clone->exclusive_ = exclusive_;
  clone->readOnlyOption_ = readOnlyOption_;
  clone->inMemory_ = inMemory_;
  clone->passwordCallback_ = passwordCallback_;
  clone->isClone_ = true;
  // The table is open here already, verified, its password known; an
  // exclusive table is shared with its own clone.
  const TOpenTableResult opened = directory_.OpenTable(tableName_, inMemory_, /*temporary=*/false,
                                                       exclusive_, /*override=*/true);
  if (opened.Result < 0 || opened.Table == nullptr) {
    RaiseTableError(TEngineErrorCode(-opened.Result), tableName_, directory_.DatabaseName());
  }
  clone->AttachTable(*opened.Table, this);
  return clone;
}

void TDataCursor::AttachTable(TDataTable& table, const TDataCursor* source) {
  table_ = &table;
  open_ = true;
  try {
    readOnly_ = readOnlyOption_ || table.ReadOnly();
    lockingOff_ = table.ReadOnlyAttribute();
    holdsExclusively_ = table.Exclusive() && !isClone_;

    const TDataFile& data = table.DataFile();
    layout_ = std::make_unique<TRecordLayout>(table.TableName(), directory_.DatabaseName(),
                                              data.LanguageId(), data.SortId(), data.FieldDescs(),
                                              data.RecordSize());
    charMap_ = GetCharMap(data.LanguageId(), data.SortId());
    const size_t recordSize = data.RecordSize();
    currentImage_.assign(recordSize, 0);
    filterImage_.assign(recordSize, 0);
    savedPlace_.image.assign(recordSize, 0);
    writePlace_.image.assign(recordSize, 0);
    currentRecordNo_ = 0;
    pos_.Clear();
    recordNo_ = 0;
    between_ = false;
    bof_ = eof_ = true;
    filters_.clear();
    ResetRange();

    deletedIndex_ = MakeIndex(kDeletedSlot);
    if (table.IndexRecreated()) RebuildDeletedIndex();

    int slot = kPrimarySlot;
    if (source != nullptr) {
      slot = source->indexNo_;
      filters_ = source->filters_;
      nextFilterHandle_ = source->nextFilterHandle_;
    }
    SelectIndex(slot);
    if (source != nullptr && !NaturalOrder()) {
      rangeActive_ = source->rangeActive_;
      rangeLow_ = source->rangeLow_;
      rangeHigh_ = source->rangeHigh_;
    }
    TakeChangeSnapshot();
    Operate([&] {
      RebuildPositionsNow();
      if (source == nullptr) {
        EdgeState(false);
        return;
      }
      TPlace place;
      source->CapturePlace(place);
      std::copy(source->currentImage_.begin(), source->currentImage_.end(), currentImage_.begin());
      currentRecordNo_ = source->currentRecordNo_;
      RestorePlace(place);
    });
    positioned_ = true;
  } catch (...) {
    DetachState();
    open_ = false;
    table_ = nullptr;
    try {
      directory_.CloseTable(table, false);
    } catch (...) {
      // The open's own failure is the one to report.
    }
    throw;
  }
}

void TDataCursor::DetachState() noexcept {
  // Records this cursor still holds (an edit never posted nor cancelled)
  // would stay locked while other cursors keep the table open.
  if (table_ != nullptr && layout_ != nullptr) ReleaseRecordLocks();
  // Blob changes not posted are dropped with their buffers.
  openBlobs_.clear();
  heldRecords_.clear();
  editLockNo_ = 0;
  postRefused_ = false;
  keepRowIds_ = false;
  if (readLockOwned_ && table_ != nullptr && table_->Lock().ReadLockHeld()) {
    try {
      table_->ReleaseReadLock();
    } catch (...) {
      // Left flagged; the table's last close releases it.
    }
  }
  if (writeLockOwned_ && table_ != nullptr && table_->Lock().WriteLockHeld()) {
    try {
      table_->ReleaseWriteLock();
    } catch (...) {
    }
  }
  readLockOwned_ = writeLockOwned_ = false;
  readDepth_ = writeDepth_ = attemptDepth_ = 0;
  pendingRefresh_ = changeSeen_ = repositioned_ = stale_ = false;
  positioned_ = false;
  filters_.clear();
  visible_ = TRecordsBitmap();
  visibleCount_ = 0;
  rangeActive_ = false;
  keyedIndexes_.clear();
  index_.reset();
  deletedIndex_.reset();
  layout_.reset();
  pos_.Clear();
  recordNo_ = 0;
  between_ = false;
  bof_ = eof_ = true;
  currentRecordNo_ = 0;
  indexNo_ = kPrimarySlot;
}

void TDataCursor::Close() {
  if (!open_) return;
  TDataTable* table = table_;
  DetachState();
  open_ = false;
  table_ = nullptr;
  if (table != nullptr) directory_.CloseTable(*table, false);
}

// A table whose index file had to be made afresh has lost its indexes: the
// deleted-records index and the live count are rebuilt from the slots, in
// record-number order, and the table is walked in natural order from then on.
void TDataCursor::RebuildDeletedIndex() {
  try {
    TWriteBracket bracket(*this);
    TIndexFile& index = table_->IndexFile();
    // The write lock re-read the header: another opener may have done it.
    if (index.RootPage(kDeletedSlot) == 0) {
      const int32_t slots = table_->DataFile().RecordSlotCount();
      uint8_t key[kDeletedKeyLength];
      int32_t live = 0;
      for (int32_t n = 1; n <= slots; ++n) {
        FetchImage(n, kReadForward, /*askCursor=*/false, filterImage_.data(), /*anySlot=*/true);
        TIndexKeys::BuildDeletedKey(filterImage_.data(), key);
        deletedIndex_->Tree().IndexInsert(key, n);
        if (filterImage_[0] == 0) ++live;
      }
      index.SetLiveRecordCount(live);
    }
    index.SetNoPrimaryIndex(true);
    CommitTable({.Index = true});
    bracket.End();
  } catch (const TRestart&) {
    // Nobody else writes while the write lock is held.
    RaiseTableError(LEDRA_LOCKTIMEOUT, tableName_, directory_.DatabaseName());
  }
}

std::unique_ptr<TCursorIndex> TDataCursor::MakeIndex(int slot) {
  CheckOpen();
  return std::make_unique<TCursorIndex>(*table_, slot, charMap_,
                                        static_cast<TIndexChangeCheck*>(this));
}

// ---- Order ----------------------------------------------------------------------------

bool TDataCursor::NaturalOrder() const {
  if (indexNo_ == kNaturalOrder) return true;
  return indexNo_ == kPrimarySlot && table_ != nullptr && table_->IndexFile().NoPrimaryIndex();
}

int TDataCursor::IndexCount() const {
  CheckOpen();
  return table_->IndexFile().SecondaryIndexCount();
}

std::string TDataCursor::IndexName() const {
  CheckOpen();
  if (indexNo_ == kNaturalOrder) return {};
  return table_->IndexFile().GetIndexDesc(indexNo_).IndexName();
}

void TDataCursor::SelectIndex(int indexNo) {
  const bool natural =
      indexNo == kNaturalOrder || (indexNo == kPrimarySlot && table_->IndexFile().NoPrimaryIndex());
  // Made before anything changes: a descriptor that does not fit the table
  // leaves the cursor in its old order.
  std::unique_ptr<TCursorIndex> next = natural ? nullptr : MakeIndex(indexNo);
  index_ = std::move(next);
  indexNo_ = indexNo;
  // The old order's position means nothing in the new one; the flags and
  // the current record stay, for finding the record again.
  pos_.Clear();
  recordNo_ = 0;
  between_ = false;
}

void TDataCursor::SetIndexNo(int indexNo) {
  CheckOpen();
  if (indexNo != kNaturalOrder && (indexNo < 0 || indexNo > IndexCount())) {
    RaiseEngineError(LEDRA_INVALIDINDEXNAME, {.Index = std::to_string(indexNo),
                                              .Table = tableName_,
                                              .Database = directory_.DatabaseName()});
  }
  if (indexNo == indexNo_) return;
  ChangeOrder(indexNo);
}

void TDataCursor::SetIndexName(std::string_view name) {
  CheckOpen();
  if (indexNo_ != kNaturalOrder && SameIndexName(name, IndexName())) return;
  const int slot = table_->IndexFile().FindIndexName(name);
  if (slot < 0) {
    RaiseEngineError(LEDRA_INVALIDINDEXNAME,
                     {.Index = name, .Table = tableName_, .Database = directory_.DatabaseName()});
  }
  ChangeOrder(slot);
}

void TDataCursor::ChangeOrder(int indexNo) {
  Operate([&] {
    ResetRange();
    if (indexNo_ != indexNo || (index_ == nullptr) != NaturalOrder()) SelectIndex(indexNo);
    RebuildPositionsNow();
    RepositionNow();
  });
}

void TDataCursor::ResetRange() {
  rangeActive_ = false;
  rangeLow_.fill(0x00);
  rangeHigh_.fill(0xFF);
  rangeFirst_ = 1;
  rangeLast_ = table_ != nullptr ? table_->IndexFile().LiveRecordCount() : 0;
}

uint16_t TDataCursor::KeyLength() const {
  return index_ ? index_->KeyLength() : 0;
}

void TDataCursor::BuildKey(const uint8_t* image, uint8_t* key) {
  CheckOpen();
  if (index_) index_->BuildKey(image, key);
}

int TDataCursor::CompareKeys(const uint8_t* a, const uint8_t* b, size_t n) const {
  return index_ ? index_->CompareKeys(a, b, n) : 0;
}

// ---- Change detection and brackets ------------------------------------------------------

TDataCursor::TChangeSnapshot TDataCursor::CurrentCounters() const {
  TChangeSnapshot counters;
  counters.data = table_->DataFile().ChangeCount();
  counters.index = table_->IndexFile().IdxChangeCount();
  if (table_->HasBlobs() && table_->BlobFile().IsOpen()) {
    counters.blob = table_->BlobFile().ChangeCount();
  }
  return counters;
}

void TDataCursor::TakeChangeSnapshot() {
  CheckOpen();
  snapshot_ = CurrentCounters();
}

bool TDataCursor::LockForFetch() {
  if (table_ == nullptr || lockingOff_) return false;
  const bool heldBefore = table_->Lock().ReadLockHeld();
  const bool changed = table_->AcquireReadLock();
  if (!heldBefore && table_->Lock().ReadLockHeld()) readLockOwned_ = true;
  if (changed) changeSeen_ = true;
  return changed;
}

void TDataCursor::ReleaseOwnedReadLock() {
  if (!readLockOwned_) return;
  // The write lock gives the read lock up when it is taken.
  if (table_->Lock().ReadLockHeld()) table_->ReleaseReadLock();
  readLockOwned_ = false;
}

void TDataCursor::BeginRead(bool check) {
  CheckOpen();
  if (readDepth_++ > 0) return;
  repositioned_ = false;
  pendingRefresh_ = false;
  changeSeen_ = false;
  if (!check) return;
  if (lockingOff_) {
    // Nobody can change such a table; only a rebuild of our own may be due.
    if (stale_) {
      CapturePlace(savedPlace_);
      pendingRefresh_ = true;
    }
    return;
  }
  try {
    bool changed = false;
    if (StrictChecks() && !holdsExclusively_) changed = LockForFetch();
    // The counters are compared by every cursor, an exclusive one too: its
    // clones write to the same table.
    if (changed || stale_ || SnapshotDiffers()) {
      CapturePlace(savedPlace_);
      pendingRefresh_ = true;
    }
    changeSeen_ = false;
  } catch (...) {
    readDepth_ = 0;
    try {
      ReleaseOwnedReadLock();
    } catch (...) {
    }
    throw;
  }
}

void TDataCursor::EndRead() {
  if (readDepth_ == 0) return;
  if (--readDepth_ > 0) return;
  pendingRefresh_ = false;
  if (table_ != nullptr) ReleaseOwnedReadLock();
}

void TDataCursor::BeginWrite() {
  CheckOpen();
  if (writeDepth_++ > 0) return;
  try {
    bool changed = false;
    if (!holdsExclusively_ && !lockingOff_) {
      CapturePlace(writePlace_);
      changed = table_->AcquireWriteLock();
      writeLockOwned_ = table_->Lock().WriteLockHeld();
      if (readLockOwned_ && !table_->Lock().ReadLockHeld()) readLockOwned_ = false;
    } else {
      CapturePlace(writePlace_);
    }
    if (positioned_ && (changed || stale_ || SnapshotDiffers())) RefreshNow(writePlace_);
  } catch (...) {
    writeDepth_ = 0;
    if (writeLockOwned_) {
      writeLockOwned_ = false;
      try {
        table_->ReleaseWriteLock();
      } catch (...) {
      }
    }
    throw;
  }
}

void TDataCursor::EndWrite() {
  if (writeDepth_ == 0) return;
  if (--writeDepth_ > 0) return;
  if (!writeLockOwned_) return;
  if (table_->Lock().WriteLockHeld()) table_->ReleaseWriteLock();
  writeLockOwned_ = false;
}

TDataCursor::TReadBracket::~TReadBracket() {
  if (ended_) return;
  try {
    cursor_.EndRead();
  } catch (...) {
    // Already failing; the table's last close releases what is left.
  }
}

void TDataCursor::TReadBracket::End() {
  ended_ = true;
  cursor_.EndRead();
}

TDataCursor::TWriteBracket::~TWriteBracket() {
  if (ended_) return;
  try {
    cursor_.EndWrite();
  } catch (...) {
  }
}

void TDataCursor::TWriteBracket::End() {
  ended_ = true;
  cursor_.EndWrite();
}

void TDataCursor::CommitTable(const TTableFiles& changed) {
  CheckOpen();
  if (table_->Exclusive()) {
    table_->MarkChanged(changed);
  } else {
    table_->FlushBuffers({.ForceHeaders = changed});
  }
  TakeChangeSnapshot();
}

// ---- Places and refreshing ------------------------------------------------------------------

void TDataCursor::CapturePlace(TPlace& place) const {
  place.bof = bof_;
  place.eof = eof_;
  place.hasEntry = HasEntry();
  place.between = between_;
  place.slot = NaturalOrder() ? kNaturalOrder : indexNo_;
  place.recordNo = recordNo_;
  if (index_ && (pos_.HasEntry() || between_)) {
    std::copy_n(pos_.Key.begin(), index_->KeyLength(), place.key.begin());
  }
  place.image.resize(currentImage_.size());
  std::copy(currentImage_.begin(), currentImage_.end(), place.image.begin());
  place.imageRecordNo = currentRecordNo_;
}

void TDataCursor::RestorePlace(const TPlace& place) {
  if (!(place.hasEntry || place.between) || (place.bof && place.eof)) {
    ClearPosition();
    return;
  }
  if (place.bof || place.eof) {
    EdgeState(place.eof);
    return;
  }
  bof_ = eof_ = false;
  if (NaturalOrder()) {
    const int32_t n = place.slot == kNaturalOrder ? place.recordNo : place.imageRecordNo;
    if (Visible(n)) {
      SetNaturalPosition(n);
      ReadRecordAtPosition(kReadForward);
    } else {
      recordNo_ = n;
      between_ = true;
    }
    return;
  }
  std::array<uint8_t, kMaxStoredKeyLength> key{};
  if (place.slot == indexNo_) {
    std::copy_n(place.key.begin(), index_->KeyLength(), key.begin());
  } else {
    index_->BuildKey(place.image.data(), key.data());
  }
  TIndexPosition found;
  if (TreeFirstNotBelow(key.data(), found) &&
      index_->CompareWhole(found.Key.data(), key.data()) == 0 && !KeyBelowRange(found.Key.data()) &&
      !KeyAboveRange(found.Key.data()) && Visible(found.RecordNo)) {
    SetIndexPosition(found);
    ReadRecordAtPosition(kReadForward);
    return;
  }
  // The entry is gone: stand between its neighbours.
  pos_.Clear();
  std::copy_n(key.begin(), index_->KeyLength(), pos_.Key.begin());
  pos_.RecordNo = place.imageRecordNo;
  between_ = true;
}

void TDataCursor::Refresh(const TPlace& place) {
  RebuildPositionsNow();
  RestorePlace(place);
  TakeChangeSnapshot();
}

void TDataCursor::RefreshNow(const TPlace& place) {
  for (int attempt = 1; attempt <= kMaxRestarts; ++attempt) {
    try {
      changeSeen_ = false;
      Refresh(place);
      return;
    } catch (const TRestart&) {
    }
  }
  stale_ = true;
  RaiseTableError(LEDRA_LOCKTIMEOUT, tableName_, directory_.DatabaseName());
}

// ---- Rebuilding positions -------------------------------------------------------------------

void TDataCursor::RebuildPositions() {
  Operate([&] { RebuildPositionsNow(); });
}

void TDataCursor::RebuildPositionsNow() {
  stale_ = true;
  pos_.SequenceNo = 0;
  ComputeRangeBoundsNow();
  if (NaturalOrder() || FiltersActive()) {
    RebuildVisibleSet();
  } else {
    visibleCount_ = 0;
  }
  stale_ = false;
}

void TDataCursor::RebuildVisibleSet() {
  const int32_t slots = std::max(0, table_->DataFile().RecordSlotCount());
  visible_.Resize(uint32_t(slots) + 1u);
  if (NaturalOrder()) {
    if (table_->IndexFile().LiveRecordCount() == slots) {
      visible_.SetAll();
    } else {
      // The free slots are the deleted-records index's entries with the
      // deleted flag 1; every other slot holds a live record.
      visible_.ClearAll();
      const uint8_t firstFree[kDeletedKeyLength] = {1, 0, 0, 0, 0};
      TBTree& tree = deletedIndex_->Tree();
      TIndexPosition entry;
      bool more = tree.FirstNotBelow(firstFree, entry);
      CheckRestart();
      int64_t budget = slots;
      while (more && entry.Key[0] == 1) {
        if (entry.RecordNo < 1 || entry.RecordNo > slots || --budget < 0) {
          RaiseEngineError(LEDRA_INDEXCORRUPT, {.Index = kDeletedIndexName,
                                                .Table = tableName_,
                                                .Database = directory_.DatabaseName()});
        }
        visible_.Set(uint32_t(entry.RecordNo));
        more = tree.NextEntry(entry);
        CheckRestart();
      }
      visible_.Invert();
    }
    if (FiltersActive()) {
      for (uint32_t n = visible_.NextSet(0); n != 0; n = visible_.NextSet(n)) {
        FetchImage(int32_t(n), kReadForward, false, filterImage_.data());
        for (const TFilterEntry& entry : filters_) {
          if (!entry.filter(filterImage_.data())) {
            visible_.Clear(n);
            break;
          }
        }
      }
    }
  } else {
    // Index order: the records of the range that every filter keeps.
    visible_.ClearAll();
    TIndexPosition entry;
    bool more = rangeActive_ ? TreeFirstNotBelow(rangeLow_.data(), entry) : TreeFirst(entry);
    while (more && !KeyAboveRange(entry.Key.data())) {
      FetchImage(entry.RecordNo, kReadForward, false, filterImage_.data());
      bool keep = true;
      for (const TFilterEntry& filter : filters_) {
        if (!filter.filter(filterImage_.data())) {
          keep = false;
          break;
        }
      }
      if (keep) visible_.Set(uint32_t(entry.RecordNo));
      more = TreeStep(entry, true);
    }
  }
  visibleCount_ = int32_t(visible_.Count());
}

// ---- Filters ------------------------------------------------------------------------------

int TDataCursor::AddFilter(TRecordFilter filter) {
  CheckOpen();
  const int handle = nextFilterHandle_++;
  filters_.push_back(TFilterEntry{handle, std::move(filter)});
  try {
    Operate([&] {
      RebuildPositionsNow();
      RepositionNow();
    });
  } catch (...) {
    filters_.pop_back();
    stale_ = true;
    throw;
  }
  return handle;
}

void TDataCursor::RemoveFilter(int handle) {
  CheckOpen();
  auto at = std::find_if(filters_.begin(), filters_.end(),
                         [handle](const TFilterEntry& entry) { return entry.handle == handle; });
  if (at == filters_.end()) return;
  filters_.erase(at);
  Operate([&] {
    RebuildPositionsNow();
    RepositionNow();
  });
}

void TDataCursor::ClearFilters() {
  CheckOpen();
  if (filters_.empty()) return;
  filters_.clear();
  Operate([&] {
    RebuildPositionsNow();
    RepositionNow();
  });
}

}  // namespace ledra
