// Seeking keys and key ranges on the cursor's current index, and standing on
// the current record again after the order, the range or the table changed.
//
// A range keeps the two bounds as keys of the current index in buffers of the
// longest stored key; the view is the entries from the low to the high bound,
// both included, in the index's own order (so the low bound of a descending
// index is its larger key). Range first and range last are the sequence
// numbers of the view's first and last entries; the range is empty when
// either is 0 or the last lies before the first.
#include <algorithm>
#include <cstring>

#include "engine/cursor/DataCursor.h"
#include "engine/table/DataTable.h"

namespace ledra {

// ---- Seeking -------------------------------------------------------------------------------

bool TDataCursor::SeekEdgeNow(bool last) {
  if (last ? ViewLast() : ViewFirst()) {
    bof_ = eof_ = false;
    return true;
  }
  ClearPosition();
  return false;
}

bool TDataCursor::SeekFirstEntry() {
  CheckOpen();
  if (NaturalOrder()) return false;
  return Operate([&] { return SeekEdgeNow(false); });
}

bool TDataCursor::SeekLastEntry() {
  CheckOpen();
  if (NaturalOrder()) return false;
  return Operate([&] { return SeekEdgeNow(true); });
}

// Not found, nearest: the first visible entry of the view from `from` on, or,
// when there is none, the view's last entry with EOF.
bool TDataCursor::SeekNearest(const TIndexPosition& from) {
  TIndexPosition pos = from;
  if (from.HasEntry() && Settle(pos, true)) {
    SetIndexPosition(pos);
    bof_ = eof_ = false;
    return true;
  }
  if (ViewLast()) {
    bof_ = false;
    eof_ = true;
    return true;
  }
  ClearPosition();
  return false;
}

bool TDataCursor::SeekKeyNow(const uint8_t* key, bool nearest, bool keepEnds) {
  if (NaturalOrder()) return false;
  if (ViewCount() == 0) {
    ClearPosition();
    return false;
  }
  const bool wasBof = bof_;
  const bool wasEof = eof_;
  bool found = false;
  if (KeyBelowRange(key)) {
    SeekEdgeNow(false);
  } else if (KeyAboveRange(key)) {
    SeekEdgeNow(true);
  } else {
    TIndexPosition pos;
    const bool inView = TreeFirstNotBelow(key, pos) && !KeyAboveRange(pos.Key.data());
    if (inView && index_->CompareWhole(pos.Key.data(), key) == 0 && Visible(pos.RecordNo)) {
      SetIndexPosition(pos);
      bof_ = eof_ = false;
      found = true;
    } else if (nearest) {
      if (!inView) pos.Clear();
      SeekNearest(pos);
    }
  }
  if (keepEnds && HasEntry()) {
    // BOF and EOF stay only where they still hold: on the view's first or
    // last entry.
    bof_ = wasBof && !CanStep(false);
    eof_ = wasEof && !CanStep(true);
  }
  return found;
}

bool TDataCursor::SeekKey(const uint8_t* key, bool nearest, bool keepEnds) {
  CheckOpen();
  if (NaturalOrder()) return false;
  return Operate([&] { return SeekKeyNow(key, nearest, keepEnds); });
}

void TDataCursor::PrepareKey(bool raw, const uint8_t* source, uint8_t* key) {
  std::fill(keyScratch_.begin(), keyScratch_.end(), uint8_t(0));
  if (raw) {
    std::copy_n(source, index_->KeyLength(), key);
  } else {
    index_->BuildKey(source, key);
  }
}

bool TDataCursor::FindByKey(bool raw, const uint8_t* source, uint8_t* out, int partialLength,
                            bool nearest, int fieldCount) {
  CheckOpen();
  if (NaturalOrder()) return false;
  return Operate([&] {
    TCursorIndex& index = *index_;
    uint8_t* key = keyScratch_.data();
    PrepareKey(raw, source, key);
    const int keyFields = index.KeyFieldCount();
    const bool partial = (fieldCount > 0 && fieldCount < keyFields) || !index.Unique() ||
                         (fieldCount == 0 && partialLength > 0);
    bool found = false;
    if (partial) {
      int fields = fieldCount;
      if (!index.Unique() && fieldCount == 0 && partialLength == 0) fields = keyFields;
      const size_t significant = index.SignificantLength(fields, partialLength);
      // The first key with these leading bytes; for a non-unique index that
      // is the lowest row id among equal values.
      index.CompleteFirst(key, significant);
      SeekKeyNow(key, /*nearest=*/true, /*keepEnds=*/false);
      found = HasEntry() && !(bof_ && eof_) &&
              index.CompareKeys(pos_.Key.data(), key, significant) == 0;
    } else {
      found = SeekKeyNow(key, nearest, /*keepEnds=*/false);
    }
    if (eof_) SeekEdgeNow(true);
    // A lookup reads the record it finds and no more: the records that
    // follow it on disk are seldom the next ones wanted (a lookup of records
    // kept in key order would otherwise read and cache a whole run each
    // time). A scan that starts here reads ahead from its first step.
    ReadRecordAtPosition(kReadForward, /*readAhead=*/false);
    if (out != nullptr) std::copy(currentImage_.begin(), currentImage_.end(), out);
    return found;
  });
}

// ---- Ranges ----------------------------------------------------------------------------------

void TDataCursor::RangeBound(bool raw, const uint8_t* source, int fieldCount, bool high,
                             uint8_t* bound) {
  TCursorIndex& index = *index_;
  std::fill_n(bound, kRangeKeySize, uint8_t(0));
  if (source == nullptr) {
    // A bound not given leaves the range open at that end.
    if (high) {
      index.CompleteLast(bound, 0);
    } else {
      index.CompleteFirst(bound, 0);
    }
    return;
  }
  if (raw) {
    std::copy_n(source, index.KeyLength(), bound);
  } else {
    index.BuildKey(source, bound);
  }
  const int keyFields = index.KeyFieldCount();
  if ((fieldCount > 0 && fieldCount < keyFields) || !index.Unique()) {
    const size_t significant = index.SignificantLength(fieldCount == 0 ? keyFields : fieldCount, 0);
    if (high) {
      index.CompleteLast(bound, significant);
    } else {
      index.CompleteFirst(bound, significant);
    }
  }
}

void TDataCursor::SetKeyRange(bool raw, const uint8_t* low, int lowFieldCount, const uint8_t* high,
                              int highFieldCount) {
  CheckOpen();
  if (NaturalOrder()) return;
  Operate([&] {
    RangeBound(raw, low, lowFieldCount, false, rangeLow_.data());
    RangeBound(raw, high, highFieldCount, true, rangeHigh_.data());
    rangeActive_ = true;
    RebuildPositionsNow();
    RepositionNow();
  });
}

void TDataCursor::ClearKeyRange() {
  CheckOpen();
  if (NaturalOrder()) return;
  Operate([&] {
    ResetRange();
    RebuildPositionsNow();
    RepositionNow();
  });
}

void TDataCursor::ComputeRangeBoundsNow() {
  if (NaturalOrder() || !rangeActive_) {
    rangeFirst_ = 1;
    rangeLast_ = table_->IndexFile().LiveRecordCount();
    return;
  }
  if (index_->CompareWhole(rangeLow_.data(), rangeHigh_.data()) > 0) {
    rangeFirst_ = rangeLast_ = 0;
    return;
  }
  TIndexPosition pos;
  rangeFirst_ = TreeFirstNotBelow(rangeLow_.data(), pos) ? TreeSequence(pos) : 0;
  rangeLast_ = TreeLastNotAbove(rangeHigh_.data(), pos) ? TreeSequence(pos) : 0;
}

void TDataCursor::ComputeRangeBounds() {
  Operate([&] { ComputeRangeBoundsNow(); });
}

// ---- Standing on the current record again -------------------------------------------------------

void TDataCursor::RepositionNow() {
  if (bof_ && eof_) {
    // No record to find: the view from its start.
    EdgeState(false);
    return;
  }
  const bool wasBof = bof_;
  const bool wasEof = eof_;
  if (NaturalOrder()) {
    const int32_t n = between_ || currentRecordNo_ == 0 ? recordNo_ : currentRecordNo_;
    uint32_t at = Visible(n) ? uint32_t(n) : visible_.NextSet(uint32_t(std::max(0, n)));
    if (at == 0) at = visible_.PriorSet(uint32_t(std::max(0, n)));
    if (at == 0) {
      ClearPosition();
      return;
    }
    SetNaturalPosition(int32_t(at));
    bof_ = wasBof && !CanStep(false);
    eof_ = wasEof && !CanStep(true);
  } else {
    if (between_) {
      std::copy_n(pos_.Key.begin(), index_->KeyLength(), keyScratch_.begin());
    } else {
      index_->BuildKey(currentImage_.data(), keyScratch_.data());
    }
    between_ = false;
    pos_.Clear();
    SeekKeyNow(keyScratch_.data(), /*nearest=*/true, /*keepEnds=*/true);
    if (!HasEntry()) {
      ClearPosition();
      return;
    }
  }
  ReadRecordAtPosition(kReadForward);
}

void TDataCursor::RepositionOnRecord() {
  Operate([&] { RepositionNow(); });
}

void TDataCursor::StandOnRecord(int32_t recordNo, const uint8_t* image) {
  CheckOpen();
  std::copy_n(image, currentImage_.size(), currentImage_.begin());
  currentRecordNo_ = recordNo;
  recordNo_ = recordNo;
  between_ = false;
  pos_.Clear();
  bof_ = eof_ = false;
  Operate([&] { RepositionNow(); });
}

}  // namespace ledra
