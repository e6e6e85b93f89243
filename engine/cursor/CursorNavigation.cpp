// The cursor's view and position: stepping through the visible entries of
// its order, reading the record it stands on, sequence numbers, counts,
// bookmarks and the read-ahead hint.
#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "engine/cursor/DataCursor.h"
#include "engine/files/Bytes.h"
#include "engine/table/DataTable.h"

namespace ledra {

namespace {

// A leaf holds a few hundred entries at most; the walk for read-ahead stops
// here whatever the page claims.
constexpr int32_t kMaxLeafEntriesVisited = 4096;

}  // namespace

// ---- The position ------------------------------------------------------------------------

bool TDataCursor::HasEntry() const {
  if (between_) return false;
  return NaturalOrder() ? recordNo_ != 0 : pos_.HasEntry();
}

int32_t TDataCursor::PositionRecordNo() const {
  return NaturalOrder() ? recordNo_ : pos_.RecordNo;
}

void TDataCursor::BlankCurrent() {
  std::fill(currentImage_.begin(), currentImage_.end(), uint8_t(0));
  currentRecordNo_ = 0;
}

void TDataCursor::ClearPosition() {
  pos_.Clear();
  recordNo_ = 0;
  between_ = false;
  bof_ = eof_ = true;
  BlankCurrent();
}

void TDataCursor::SetIndexPosition(const TIndexPosition& pos) {
  pos_ = pos;
  between_ = false;
}

void TDataCursor::SetNaturalPosition(int32_t recordNo) {
  recordNo_ = recordNo;
  between_ = false;
}

bool TDataCursor::Visible(int32_t recordNo) const {
  if (recordNo <= 0) return false;
  if (NaturalOrder() || FiltersActive()) return visible_.Contains(uint32_t(recordNo));
  return true;
}

int32_t TDataCursor::ViewCount() const {
  if (NaturalOrder() || FiltersActive()) return visibleCount_;
  if (!rangeActive_) return std::max(0, table_->IndexFile().LiveRecordCount());
  if (rangeFirst_ == 0 || rangeLast_ == 0) return 0;
  return std::max(0, rangeLast_ - rangeFirst_ + 1);
}

bool TDataCursor::KeyBelowRange(const uint8_t* key) const {
  return rangeActive_ && index_->CompareWhole(key, rangeLow_.data()) < 0;
}

bool TDataCursor::KeyAboveRange(const uint8_t* key) const {
  return rangeActive_ && index_->CompareWhole(key, rangeHigh_.data()) > 0;
}

// ---- Leaf-level moves ------------------------------------------------------------------------
// A move whose page fetch found another user's change has been completed on
// the new tree, but the cursor's range bounds and visible set are older than
// it: the whole operation starts over.

bool TDataCursor::TreeFirst(TIndexPosition& pos) {
  const bool found = index_->Tree().FirstEntry(pos);
  CheckRestart();
  return found;
}

bool TDataCursor::TreeLast(TIndexPosition& pos) {
  const bool found = index_->Tree().LastEntry(pos);
  CheckRestart();
  return found;
}

bool TDataCursor::TreeFirstNotBelow(const uint8_t* key, TIndexPosition& pos) {
  const bool found = index_->Tree().FirstNotBelow(key, pos);
  CheckRestart();
  return found;
}

bool TDataCursor::TreeLastNotAbove(const uint8_t* key, TIndexPosition& pos) {
  const bool found = index_->Tree().LastNotAbove(key, pos);
  CheckRestart();
  return found;
}

bool TDataCursor::TreeStep(TIndexPosition& pos, bool forward) {
  const bool found = forward ? index_->Tree().NextEntry(pos) : index_->Tree().PrevEntry(pos);
  CheckRestart();
  return found;
}

bool TDataCursor::TreeEntryAtSequence(int32_t s, TIndexPosition& pos) {
  const bool found = index_->Tree().EntryAtSequence(s, pos);
  CheckRestart();
  return found;
}

int32_t TDataCursor::TreeSequence(TIndexPosition& pos) {
  if (pos.SequenceNo > 0) return pos.SequenceNo;
  const int32_t s = index_->Tree().SequenceNumber(pos);
  CheckRestart();
  return s;
}

// ---- The view ------------------------------------------------------------------------------

bool TDataCursor::Settle(TIndexPosition& pos, bool forward) {
  for (;;) {
    if (forward ? KeyAboveRange(pos.Key.data()) : KeyBelowRange(pos.Key.data())) return false;
    if (Visible(pos.RecordNo)) return true;
    if (!TreeStep(pos, forward)) return false;
  }
}

bool TDataCursor::ViewFirst() {
  if (NaturalOrder()) {
    const uint32_t n = visible_.NextSet(0);
    if (n == 0) return false;
    SetNaturalPosition(int32_t(n));
    return true;
  }
  TIndexPosition pos;
  const bool found = rangeActive_ ? TreeFirstNotBelow(rangeLow_.data(), pos) : TreeFirst(pos);
  if (!found || !Settle(pos, true)) return false;
  SetIndexPosition(pos);
  return true;
}

bool TDataCursor::ViewLast() {
  if (NaturalOrder()) {
    const uint32_t n = visible_.PriorSet(visible_.Size());
    if (n == 0) return false;
    SetNaturalPosition(int32_t(n));
    return true;
  }
  TIndexPosition pos;
  const bool found = rangeActive_ ? TreeLastNotAbove(rangeHigh_.data(), pos) : TreeLast(pos);
  if (!found || !Settle(pos, false)) return false;
  SetIndexPosition(pos);
  return true;
}

bool TDataCursor::ViewStep(bool forward) {
  if (!between_ && !HasEntry()) return forward ? ViewFirst() : ViewLast();
  if (NaturalOrder()) {
    const uint32_t from = uint32_t(std::max(0, recordNo_));
    const uint32_t n = forward ? visible_.NextSet(from) : visible_.PriorSet(from);
    if (n == 0) return false;
    SetNaturalPosition(int32_t(n));
    return true;
  }
  TIndexPosition pos = pos_;
  bool found = false;
  if (between_) {
    // The old key is no longer in the index: the first entry not below it
    // is the one after it, the last not above it the one before.
    const uint8_t* from = pos_.Key.data();
    if (forward) {
      if (KeyBelowRange(from)) from = rangeLow_.data();
      found = TreeFirstNotBelow(from, pos);
    } else {
      if (KeyAboveRange(from)) from = rangeHigh_.data();
      found = TreeLastNotAbove(from, pos);
    }
  } else {
    found = TreeStep(pos, forward);
  }
  if (!found || !Settle(pos, forward)) return false;
  SetIndexPosition(pos);
  return true;
}

bool TDataCursor::CanStep(bool forward) {
  const TIndexPosition pos = pos_;
  const int32_t recordNo = recordNo_;
  const bool between = between_;
  const bool moved = ViewStep(forward);
  pos_ = pos;
  recordNo_ = recordNo;
  between_ = between;
  return moved;
}

void TDataCursor::ResolveBetween() {
  if (!between_) return;
  if (ViewStep(true) || ViewStep(false)) {
    ReadRecordAtPosition(kReadForward);
    return;
  }
  ClearPosition();
}

void TDataCursor::EdgeState(bool end) {
  if (end ? ViewLast() : ViewFirst()) {
    bof_ = !end;
    eof_ = end;
    ReadRecordAtPosition(end ? kReadBackward : kReadForward);
    return;
  }
  ClearPosition();
}

// ---- Reading records ---------------------------------------------------------------------------

void TDataCursor::RaiseOrderCorrupt() const {
  const std::string name = index_ ? index_->Name() : std::string(kDeletedIndexName);
  RaiseEngineError(LEDRA_INDEXCORRUPT,
                   {.Index = name, .Table = tableName_, .Database = directory_.DatabaseName()});
}

void TDataCursor::FetchImage(int32_t recordNo, int direction, bool askCursor, uint8_t* image,
                             bool anySlot, bool readAhead) {
  const int32_t slots = table_->DataFile().RecordSlotCount();
  if (recordNo < 1 || recordNo > slots) {
    // Only the file's own slots are read: the number at the end would
    // append one. A number from older pages than the header is a change.
    if (LockForFetch()) throw TRestart{};
    RaiseOrderCorrupt();
  }
  TRecordCache& cache = table_->RecordCache();
  TRecord* record = cache.FetchRecord(this, recordNo, direction, askCursor, readAhead);
  if (record == nullptr) {
    changeSeen_ = true;
    throw TRestart{};
  }
  struct TRelease {
    TRecordCache& cache;
    TRecord* record;
    ~TRelease() { cache.ReleaseRecord(record); }
  } release{cache, record};
  CheckRestart();
  if (!anySlot && record->Deleted()) RaiseOrderCorrupt();
  std::memcpy(image, record->Image(), std::min(record->ImageSize(), currentImage_.size()));
}

void TDataCursor::ReadRecordAtPosition(int direction, bool readAhead) {
  if (between_) return;
  if (!HasEntry()) {
    BlankCurrent();
    return;
  }
  const int32_t recordNo = PositionRecordNo();
  FetchImage(recordNo, direction, /*askCursor=*/true, currentImage_.data(), /*anySlot=*/false,
             readAhead);
  currentRecordNo_ = recordNo;
}

uint16_t TDataCursor::CopyOut(uint16_t result, uint8_t* image) const {
  if (image == nullptr) return result;
  if (result == 0) {
    std::copy(currentImage_.begin(), currentImage_.end(), image);
  } else {
    std::fill_n(image, currentImage_.size(), uint8_t(0));
  }
  return result;
}

bool TDataCursor::ContinuesScan(bool forward) const {
  if (NaturalOrder() || between_ || scan_.steps == 0 || (forward ? bof_ : eof_)) return false;
  return scan_.indexNo == indexNo_ && scan_.direction == (forward ? 1 : -1) &&
         pos_.LeafPage == scan_.leafPage && pos_.Position == scan_.position &&
         pos_.RecordNo == scan_.recordNo;
}

void TDataCursor::NoteScanStep(bool forward, int32_t steps) {
  if (NaturalOrder()) {
    scan_ = {};
    return;
  }
  scan_.steps = steps;
  scan_.indexNo = indexNo_;
  scan_.direction = forward ? 1 : -1;
  scan_.leafPage = pos_.LeafPage;
  scan_.position = pos_.Position;
  scan_.recordNo = pos_.RecordNo;
}

uint16_t TDataCursor::StepAndRead(bool forward, uint8_t* image) {
  // A step from where the last one left the cursor, the same way, is part
  // of a scan: the records it will read next may be read with this one. A
  // block read says how many it wants.
  const bool scanning = ContinuesScan(forward);
  const int32_t steps = scanning ? scan_.steps + 1 : 1;
  int32_t wanted = scanning ? -1 : 0;
  if (blockRemaining_ > 0) wanted = blockScanning_ ? -1 : blockRemaining_ - 1;
  scan_.steps = 0;
  const bool fromEdge = forward ? bof_ : eof_;
  bool moved = false;
  if (fromEdge) {
    moved = forward ? ViewFirst() : ViewLast();
    if (!moved) {
      ClearPosition();
      return CopyOut(forward ? LEDRA_EOF : LEDRA_BOF, image);
    }
  } else {
    moved = ViewStep(forward);
  }
  if (!moved) {
    // Off the end: the cursor keeps the last entry it reached.
    if (between_) {
      if (forward ? ViewLast() : ViewFirst()) {
        ReadRecordAtPosition(forward ? kReadBackward : kReadForward);
      } else {
        ClearPosition();
      }
    }
    if (forward) {
      eof_ = true;
    } else {
      bof_ = true;
    }
    return CopyOut(forward ? LEDRA_EOF : LEDRA_BOF, image);
  }
  bof_ = eof_ = false;
  {
    struct TReset {
      int32_t& wanted;
      ~TReset() { wanted = 0; }
    } reset{upcomingWanted_};
    upcomingWanted_ = wanted;
    ReadRecordAtPosition(forward ? kReadForward : kReadBackward);
  }
  NoteScanStep(forward, steps);
  return CopyOut(0, image);
}

// ---- Navigation ------------------------------------------------------------------------------

void TDataCursor::MoveToStart() {
  Operate([&] { EdgeState(false); });
}

void TDataCursor::MoveToEnd() {
  Operate([&] { EdgeState(true); });
}

uint16_t TDataCursor::ReadNext(uint8_t* image) {
  return Operate([&] { return StepAndRead(true, image); });
}

uint16_t TDataCursor::ReadPrior(uint8_t* image) {
  return Operate([&] { return StepAndRead(false, image); });
}

uint16_t TDataCursor::ReadCurrent(uint8_t* image, bool lock) {
  CheckOpen();
  if (lock) return ReadCurrentLocked(image);
  return Operate([&]() -> uint16_t {
    ResolveBetween();
    if (bof_ && eof_) return CopyOut(LEDRA_NOCURRREC, image);
    if (bof_) return CopyOut(LEDRA_BOF, image);
    if (eof_) return CopyOut(LEDRA_EOF, image);
    ReadRecordAtPosition(kReadForward);
    return CopyOut(0, image);
  });
}

void TDataCursor::MoveToSequenceNow(int32_t n) {
  if (n < 1) {
    EdgeState(false);
    return;
  }
  if (n > ViewCount()) {
    EdgeState(true);
    return;
  }
  bool found = false;
  if (NaturalOrder()) {
    const uint32_t recordNo = visible_.NthSet(uint32_t(n));
    found = recordNo != 0;
    if (found) SetNaturalPosition(int32_t(recordNo));
  } else if (!FiltersActive()) {
    // Straight down the tree by the entry counts.
    TIndexPosition pos;
    found = TreeEntryAtSequence(rangeFirst_ + n - 1, pos);
    if (found) SetIndexPosition(pos);
  } else {
    found = ViewFirst();
    for (int32_t i = 1; found && i < n; ++i) found = ViewStep(true);
  }
  if (!found) {
    EdgeState(true);
    return;
  }
  bof_ = eof_ = false;
  ReadRecordAtPosition(kReadForward);
}

void TDataCursor::MoveToSequence(int32_t n) {
  Operate([&] { MoveToSequenceNow(n); });
}

int32_t TDataCursor::GetSequenceNo() {
  return Operate([&]() -> int32_t {
    ResolveBetween();
    if (!HasEntry() || (bof_ && eof_)) return 0;
    if (NaturalOrder()) return int32_t(visible_.RankOf(uint32_t(recordNo_)));
    const int32_t s = TreeSequence(pos_);
    return s == 0 ? 0 : s - rangeFirst_ + 1;
  });
}

int32_t TDataCursor::GetRecordCount() {
  return Operate([&] { return ViewCount(); });
}

// ---- Bookmarks ---------------------------------------------------------------------------------

uint16_t TDataCursor::BookmarkSize() const {
  CheckOpen();
  return NaturalOrder() ? uint16_t(4) : KeyLength();
}

void TDataCursor::GetBookmark(uint8_t* bookmark) {
  Operate([&] {
    ResolveBetween();
    const uint16_t size = BookmarkSize();
    std::fill_n(bookmark, size, uint8_t(0));
    if (!HasEntry() || (bof_ && eof_)) return;
    if (NaturalOrder()) {
      PutLE32(bookmark, uint32_t(recordNo_));
    } else {
      std::copy_n(pos_.Key.begin(), size, bookmark);
    }
  });
}

bool TDataCursor::GotoBookmarkNow(const uint8_t* bookmark, bool exact) {
  if (NaturalOrder()) {
    const int32_t wanted = int32_t(GetLE32(bookmark));
    const int32_t slots = table_->DataFile().RecordSlotCount();
    if (slots < 1) {
      ClearPosition();
      return false;
    }
    const int32_t n = std::clamp(wanted, 1, slots);
    uint32_t at = Visible(n) ? uint32_t(n) : visible_.NextSet(uint32_t(n));
    if (at == 0) at = visible_.PriorSet(uint32_t(n));
    if (at == 0) {
      ClearPosition();
      return false;
    }
    SetNaturalPosition(int32_t(at));
    bof_ = eof_ = false;
    ReadRecordAtPosition(kReadForward);
    return !exact || int32_t(at) == wanted;
  }
  const uint16_t length = KeyLength();
  std::copy_n(bookmark, length, keyScratch_.begin());
  SeekKeyNow(keyScratch_.data(), /*nearest=*/true, /*keepEnds=*/false);
  if (!HasEntry()) return false;
  bof_ = eof_ = false;
  ReadRecordAtPosition(kReadForward);
  return !exact || std::memcmp(pos_.Key.data(), bookmark, length) == 0;
}

bool TDataCursor::GotoBookmark(const uint8_t* bookmark, bool exact, bool skipCheck) {
  CheckOpen();
  TReadBracket bracket(*this, !skipCheck);
  const bool found = Attempt([&] { return GotoBookmarkNow(bookmark, exact); });
  bracket.End();
  return found;
}

int TDataCursor::CompareBookmarks(const uint8_t* a, const uint8_t* b) const {
  CheckOpen();
  if (NaturalOrder()) {
    const int32_t x = int32_t(GetLE32(a));
    const int32_t y = int32_t(GetLE32(b));
    return (x > y) - (x < y);
  }
  return index_->CompareWhole(a, b);
}

void TDataCursor::Resync() {
  Operate([&] {
    if (!repositioned_) {
      // Re-read the headers even without strict checks: a refresh is asked
      // for to see what other users did.
      LockForFetch();
      changeSeen_ = false;
      Refresh(savedPlace_);
      repositioned_ = true;
    }
    ResolveBetween();
    if (HasEntry() && !(bof_ && eof_)) ReadRecordAtPosition(kReadForward);
  });
}

uint16_t TDataCursor::SyncToCursor(TDataCursor& other) {
  CheckOpen();
  other.CheckOpen();
  // The other cursor's record as it shows it.
  const int32_t otherRecordNo = other.currentRecordNo_;
  const bool otherHasRecord = otherRecordNo != 0 && !(other.bof_ && other.eof_);
  std::vector<uint8_t> image(currentImage_.size(), 0);
  std::copy_n(other.currentImage_.begin(), std::min(other.currentImage_.size(), image.size()),
              image.begin());
  return Operate([&]() -> uint16_t {
    if (!otherHasRecord) {
      ClearPosition();
      return LEDRA_NOCURRREC;
    }
    uint16_t result = 0;
    if (NaturalOrder()) {
      uint8_t bookmark[4];
      PutLE32(bookmark, uint32_t(otherRecordNo));
      if (!GotoBookmarkNow(bookmark, true)) result = LEDRA_RECNOTFOUND;
    } else {
      index_->BuildKey(image.data(), keyScratch_.data());
      if (!SeekKeyNow(keyScratch_.data(), /*nearest=*/false, /*keepEnds=*/false)) {
        result = LEDRA_RECNOTFOUND;
      }
      if (HasEntry()) ReadRecordAtPosition(kReadForward);
    }
    return result;
  });
}

uint16_t TDataCursor::ReadNextBlock(int32_t& count, uint8_t* images) {
  const int32_t wanted = std::max(0, count);
  int32_t filled = 0;
  struct TReset {
    int32_t& remaining;
    ~TReset() { remaining = 0; }
  } reset{blockRemaining_};
  const uint16_t result = Operate([&]() -> uint16_t {
    filled = 0;
    const size_t size = currentImage_.size();
    // A block that goes on with a scan reads ahead as the scan does; one
    // that starts afresh reads ahead what it will fill itself.
    blockScanning_ = ContinuesScan(true);
    while (filled < wanted) {
      uint8_t* image = images != nullptr ? images + size_t(filled) * size : nullptr;
      // The records still wanted may be read ahead with this one.
      blockRemaining_ = wanted - filled;
      const uint16_t step = StepAndRead(true, image);
      if (step != 0) return step;
      ++filled;
    }
    return 0;
  });
  count = filled;
  return result;
}

// ---- Read-ahead -------------------------------------------------------------------------------

int32_t TDataCursor::ReadAheadHint(int32_t recordNo, int direction, int32_t limit) {
  if (limit <= 1 || table_ == nullptr) return 1;
  const int step = direction < 0 ? -1 : 1;
  if (NaturalOrder()) {
    int32_t count = 1;
    for (int64_t n = int64_t(recordNo) + step;
         count < limit && n >= 1 && visible_.Contains(uint32_t(n)); n += step) {
      ++count;
    }
    return count;
  }
  if (between_ || !pos_.HasEntry() || pos_.RecordNo != recordNo) return 1;
  try {
    return std::max(1, index_->Tree().ConsecutiveRun(pos_, limit, step));
  } catch (const ELedraEngineError&) {
    // Only a hint: the step that follows meets the same damage and reports
    // it.
    return 1;
  }
}

void TDataCursor::UpcomingRecords(int32_t recordNo, int direction, int32_t limit,
                                  std::vector<int32_t>& upcoming) {
  if (upcomingWanted_ == 0 || table_ == nullptr || NaturalOrder() || between_ || !pos_.HasEntry() ||
      pos_.RecordNo != recordNo) {
    return;
  }
  const int32_t wanted = upcomingWanted_ > 0 ? std::min(limit, upcomingWanted_) : limit;
  if (wanted <= 0) return;
  const bool forward = direction >= 0;
  // The entries that follow on the current leaf, as the steps will take
  // them: the range ends the walk, filtered-out records are passed over.
  // Entries of the next leaves are left to the step that reaches them.
  auto visit = [&](const uint8_t* key, int32_t recordNo) {
    if (forward ? KeyAboveRange(key) : KeyBelowRange(key)) return false;
    if (Visible(recordNo)) upcoming.push_back(recordNo);
    return int32_t(upcoming.size()) < wanted;
  };
  try {
    index_->Tree().VisitLeafEntries(pos_, kMaxLeafEntriesVisited, direction, visit);
  } catch (const ELedraEngineError&) {
    // Only a hint, like ReadAheadHint: the step that reaches the damage
    // reports it.
    upcoming.clear();
  }
}

int32_t TDataCursor::ReadAheadCount(int32_t count, int direction) {
  return Operate([&]() -> int32_t {
    if (!HasEntry()) return 0;
    return ReadAheadHint(PositionRecordNo(), direction, count);
  });
}

}  // namespace ledra
