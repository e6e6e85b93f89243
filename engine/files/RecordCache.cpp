#include "engine/files/RecordCache.h"

#include <algorithm>

#include "engine/errors/EngineError.h"
#include "engine/files/DataFile.h"
#include "engine/files/ReadWindowGuard.h"

namespace ledra {

namespace {

// How many records the four-entry look at the recently-used list covers.
constexpr int kRecentLookups = 4;
// The cache list is reserved up to this many entries when the cache opens;
// beyond it the list grows as records come in.
constexpr size_t kMaxReservedEntries = 65536;
// A run of consecutive dirty records longer than this many bytes is written
// in several calls, so that the write buffer stays bounded.
constexpr size_t kMaxWriteRunBytes = size_t(1) << 20;

}  // namespace

TRecordCache::TRecordCache(TDataFile& file) : file_(file), pool_(&file) {}

TRecordCache::~TRecordCache() {
  for (TRecord* record : records_) delete record;
}

const TRecordCacheTable& TRecordCache::Table() const {
  return table_ ? *table_ : defaults_;
}

void TRecordCache::RaiseCorrupt() const {
  RaiseTableError(LEDRA_FILECORRUPT, file_.TableName());
}

// ---- Sizing ---------------------------------------------------------------------

int32_t TRecordCache::CapacityFor(uint32_t recordSize, int32_t cacheBytes, int32_t cacheCount) {
  int64_t capacity = cacheCount;
  if (recordSize != 0) capacity = std::min<int64_t>(cacheBytes / int64_t(recordSize), cacheCount);
  // A cache that holds nothing would grow by a whole step on its first fetch.
  return int32_t(std::max<int64_t>(capacity, 1));
}

int32_t TRecordCache::ReadAheadLimitFor(uint32_t recordSize) {
  if (recordSize == 0) return 1;
  return std::max<int32_t>(int32_t(kReadAheadBytes / int64_t(recordSize)), 1);
}

void TRecordCache::Open() {
  DropAllRecords();
  const TRecordCacheTable& table = Table();
  capacity_ = CapacityFor(file_.RecordSize(), table.RecordCacheBytes(), table.RecordCacheCount());
  readAheadLimit_ = ReadAheadLimitFor(file_.RecordSize());
  records_.reserve(std::min(size_t(capacity_), kMaxReservedEntries));
  ResetStatistics();
}

void TRecordCache::Close() {
  DropAllRecords();
  readBuffer_.clear();
  readBuffer_.shrink_to_fit();
  writeBuffer_.clear();
  writeBuffer_.shrink_to_fit();
  ResetStatistics();
}

void TRecordCache::Grow(std::vector<uint8_t>& buffer, size_t size) {
  if (buffer.size() >= size) return;
  buffer.resize((size + kBufferStep - 1) / kBufferStep * kBufferStep);
}

// ---- The two lists ----------------------------------------------------------------

size_t TRecordCache::LowerBound(int32_t recordNo) const {
  auto at =
      std::lower_bound(records_.begin(), records_.end(), recordNo,
                       [](const TRecord* record, int32_t n) { return record->recordNo_ < n; });
  return size_t(at - records_.begin());
}

TRecord* TRecordCache::Lookup(int32_t recordNo) {
  const size_t at = LowerBound(recordNo);
  if (at < records_.size() && records_[at]->recordNo_ == recordNo) return records_[at];
  return nullptr;
}

const TRecord* TRecordCache::Find(int32_t recordNo) const {
  const size_t at = LowerBound(recordNo);
  if (at < records_.size() && records_[at]->recordNo_ == recordNo) return records_[at];
  return nullptr;
}

TRecord* TRecordCache::Insert(std::unique_ptr<TRecord> record) {
  const size_t at = LowerBound(record->recordNo_);
  if (at < records_.size() && records_[at]->recordNo_ == record->recordNo_) {
    // Two records for one slot would let one overwrite the other's changes.
    pool_.Give(std::move(record));
    RaiseCorrupt();
  }
  TRecord* raw = record.get();
  records_.insert(records_.begin() + std::ptrdiff_t(at), raw);
  record.release();  // listed: the cache's now
  chain_.LinkFront(raw);
  return raw;
}

std::unique_ptr<TRecord> TRecordCache::Detach(TRecord* record) {
  const size_t at = LowerBound(record->recordNo_);
  if (at >= records_.size() || records_[at] != record) RaiseCorrupt();
  std::unique_ptr<TRecord> owned(record);
  records_.erase(records_.begin() + std::ptrdiff_t(at));
  chain_.Unlink(record);
  return owned;
}

std::vector<int32_t> TRecordCache::RecentlyUsedOrder() const {
  std::vector<int32_t> order;
  for (const TRecord* record = chain_.Newest(); record; record = record->older_) {
    order.push_back(record->recordNo_);
  }
  return order;
}

// ---- Record objects ---------------------------------------------------------------

TRecord* TRecordCache::LeastRecentlyUsedFree() const {
  for (TRecord* record = chain_.Oldest(); record; record = record->newer_) {
    if (!record->dirty_ && !record->Pinned()) return record;
  }
  return nullptr;
}

std::unique_ptr<TRecord> TRecordCache::ObtainRecord(int32_t recordNo) {
  if (records_.size() < size_t(capacity_)) {
    std::unique_ptr<TRecord> record = pool_.Take();
    record->SetRecordNumber(recordNo);
    return record;
  }
  TRecord* victim = LeastRecentlyUsedFree();
  // Inside a transaction nothing may reach the file before the commit.
  if (!victim && !Table().TransactionLockHeld() && FlushDirtyRecords()) {
    victim = LeastRecentlyUsedFree();
  }
  if (!victim) {
    // Every record is held or waits to be written: keep them all in memory.
    capacity_ += kCapacityGrowth;
    std::unique_ptr<TRecord> record = pool_.Take();
    record->SetRecordNumber(recordNo);
    return record;
  }
  std::unique_ptr<TRecord> record = Detach(victim);
  record->SetRecordNumber(recordNo);
  record->InitRecord(false);
  return record;
}

// ---- Fetching ---------------------------------------------------------------------

TRecord* TRecordCache::FetchRecord(TRecordCacheClient* client, int32_t recordNo, int direction,
                                   bool askCursor, bool readAhead) {
  // A number past the end comes from a damaged index or chain: never read
  // whatever lies there.
  if (recordNo <= 0 || recordNo > file_.NextRecordNo()) RaiseCorrupt();

  if (recordNo == file_.NextRecordNo()) {
    file_.CheckAppend();
    std::unique_ptr<TRecord> record = ObtainRecord(recordNo);
    // The header counts the slot from now on, so it must reach the file even
    // if nobody changes it.
    record->MarkDirty();
    record->Pin();
    TRecord* appended = Insert(std::move(record));
    file_.AppendRecordNo();
    ++statistics_.fetches;
    return appended;
  }

  TRecord* record = nullptr;
  TRecord* recent = chain_.Newest();
  for (int k = 0; k < kRecentLookups && recent; ++k, recent = recent->older_) {
    if (recent->recordNo_ == recordNo) {
      record = recent;
      break;
    }
  }
  if (!record) record = Lookup(recordNo);

  if (record) {
    chain_.MoveToFront(record);
    ++statistics_.cacheHits;
  } else {
    if (client && !Table().StrictChangeDetection() && client->AcquireReadLockForFetch()) {
      return nullptr;
    }
    if (recordNo >= file_.NextRecordNo()) RaiseCorrupt();
    const int32_t runCount = RunLength(client, recordNo, direction, askCursor, readAhead);
    ReadRun(recordNo, runCount, direction);
    record = Lookup(recordNo);
    // The run ended before the slot (the file is shorter than the header says).
    if (!record) RaiseCorrupt();
    if (client && askCursor && readAhead) {
      // Held meanwhile, so that the records read after it cannot take its
      // place.
      record->Pin();
      try {
        ReadUpcoming(*client, recordNo, direction, runCount);
      } catch (...) {
        ReleaseRecord(record);
        throw;
      }
      record->Unpin();
      chain_.MoveToFront(record);
    }
  }
  record->Pin();
  ++statistics_.fetches;
  return record;
}

void TRecordCache::ReleaseRecord(TRecord* record) {
  if (!record) return;
  record->Unpin();
  if (!record->orphaned_ || record->Pinned()) return;
  auto at = std::find_if(orphans_.begin(), orphans_.end(),
                         [record](const std::unique_ptr<TRecord>& o) { return o.get() == record; });
  if (at == orphans_.end()) return;
  std::unique_ptr<TRecord> owned = std::move(*at);
  orphans_.erase(at);
  owned->orphaned_ = false;
  pool_.Give(std::move(owned));
}

int32_t TRecordCache::RunLength(TRecordCacheClient* client, int32_t recordNo, int direction,
                                bool askCursor, bool readAhead) {
  if (!readAhead) return 1;
  // Slots that exist from recordNo on in the direction of travel, itself
  // included: a run never starts before slot 1 or ends past the last slot.
  const int32_t available = direction < 0 ? recordNo : file_.NextRecordNo() - recordNo;
  // Slots beyond what the cache holds would only push out the ones the run
  // was read for (a cache configured smaller than a run).
  const int32_t limit = std::min(readAheadLimit_, std::max(capacity_, 1));
  int32_t count = limit;
  if (askCursor && client) count = client->ReadAheadHint(recordNo, direction, limit);
  return std::clamp(count, 1, std::max(1, std::min(limit, available)));
}

void TRecordCache::ReadRun(int32_t recordNo, int32_t count, int direction) {
  const bool backward = direction < 0;
  const int32_t first = backward ? recordNo - count + 1 : recordNo;
  const size_t recordSize = file_.RecordSize();
  Grow(readBuffer_, size_t(count) * recordSize);

  TReadWindowGuard window(windowFirst_, windowCount_, first, count);
  // The file may end before slots that so far exist only here: a table open
  // exclusively or inside a transaction writes its appended slots late.
  const TRecordCacheTable& table = Table();
  const bool allowShort =
      (table.Exclusive() || table.TransactionLockHeld()) && table.WrittenSinceOpen();
  const int32_t got = file_.ReadSlots(first, count, readBuffer_.data(), allowShort);
  ++statistics_.diskReads;
  statistics_.recordsRead += uint64_t(got);

  // The slot farthest from recordNo first, recordNo last, so that it ends as
  // the most recently used.
  for (int32_t step = 0; step < got; ++step) {
    const int32_t k = backward ? step : got - 1 - step;
    const int32_t slotNo = first + k;
    const uint8_t* bytes = readBuffer_.data() + size_t(k) * recordSize;
    if (TRecord* cached = Lookup(slotNo)) {
      // A held or changed record is newer than what the file holds.
      if (!cached->Pinned() && !cached->dirty_) cached->LoadImage(bytes);
      continue;
    }
    std::unique_ptr<TRecord> record = ObtainRecord(slotNo);
    record->LoadImage(bytes);
    Insert(std::move(record));
  }
}

// ---- Reading the records a cursor will visit next ----------------------------------
// A scan in key order of a table whose records were added in another order
// visits slots all over the file. Each record read from disk for it costs the
// read lock and the header check on top of the read; reading, under that one
// lock, the records the cursor names as its next ones spares the next steps
// all of it. They are what the file holds under the lock just taken, as good
// as any record cached before: a change found by a later check drops them
// with the rest.

namespace {

// Cached records left out of a read-ahead batch: the four the recently-used
// look finds first (the records other cursors of the table stand on, most
// likely).
constexpr int32_t kAheadReserve = kRecentLookups;

}  // namespace

std::unique_ptr<TRecord> TRecordCache::ObtainSpareRecord(int32_t recordNo,
                                                         const std::vector<int32_t>& batch) {
  if (records_.size() < size_t(capacity_)) {
    std::unique_ptr<TRecord> record = pool_.Take();
    record->SetRecordNumber(recordNo);
    return record;
  }
  TRecord* victim = LeastRecentlyUsedFree();
  if (!victim || std::binary_search(batch.begin(), batch.end(), victim->recordNo_)) return nullptr;
  std::unique_ptr<TRecord> record = Detach(victim);
  record->SetRecordNumber(recordNo);
  record->InitRecord(false);
  return record;
}

void TRecordCache::ReadUpcoming(TRecordCacheClient& client, int32_t recordNo, int direction,
                                int32_t runCount) {
  const int32_t room = capacity_ - std::max(runCount, 1) - kAheadReserve;
  if (room <= 0) return;
  upcoming_.clear();
  client.UpcomingRecords(recordNo, direction, std::min(capacity_, INT32_MAX / 2) * 2, upcoming_);
  if (upcoming_.empty()) return;

  // The nearest ones not cached yet, as many as there is room for.
  aheadBatch_.clear();
  const int32_t slots = file_.NextRecordNo();
  for (int32_t n : upcoming_) {
    if (int32_t(aheadBatch_.size()) >= room) break;
    if (n < 1 || n >= slots || Lookup(n) != nullptr) continue;
    // A damaged index may name a record twice.
    if (std::find(aheadBatch_.begin(), aheadBatch_.end(), n) != aheadBatch_.end()) continue;
    aheadBatch_.push_back(n);
  }
  std::sort(aheadBatch_.begin(), aheadBatch_.end());

  const size_t recordSize = file_.RecordSize();
  const int64_t maxGap = kAheadGapBytes / int64_t(std::max<size_t>(recordSize, 1));
  const TRecordCacheTable& table = Table();
  const bool allowShort =
      (table.Exclusive() || table.TransactionLockHeld()) && table.WrittenSinceOpen();
  size_t i = 0;
  while (i < aheadBatch_.size()) {
    // Records close together in one read, no longer than a read-ahead run.
    const int32_t first = aheadBatch_[i];
    size_t j = i + 1;
    while (j < aheadBatch_.size() && aheadBatch_[j] - aheadBatch_[j - 1] - 1 <= maxGap &&
           aheadBatch_[j] - first < readAheadLimit_) {
      ++j;
    }
    const int32_t count = aheadBatch_[j - 1] - first + 1;
    Grow(readBuffer_, size_t(count) * recordSize);
    int32_t got = 0;
    {
      TReadWindowGuard window(windowFirst_, windowCount_, first, count);
      got = file_.ReadSlots(first, count, readBuffer_.data(), allowShort);
    }
    ++statistics_.aheadReads;
    statistics_.recordsRead += uint64_t(got);
    for (size_t k = i; k < j; ++k) {
      const int32_t slotNo = aheadBatch_[k];
      if (slotNo - first >= got) break;
      std::unique_ptr<TRecord> record = ObtainSpareRecord(slotNo, aheadBatch_);
      if (!record) return;
      record->LoadImage(readBuffer_.data() + size_t(slotNo - first) * recordSize);
      Insert(std::move(record));
      ++statistics_.recordsAhead;
    }
    i = j;
  }
}

// ---- Slots for insertions and deletions -------------------------------------------

TRecord* TRecordCache::NewRecordSlot(TRecordCacheClient* client, bool giveRowId) {
  const int32_t head = file_.FirstFreeRecord();
  if (head != 0 && Table().HasPrimaryIndex()) {
    if (head < 0 || head > file_.RecordSlotCount()) RaiseCorrupt();
    TRecord* record = FetchRecord(client, head, kReadForward);
    if (!record) return nullptr;
    const int32_t link = record->NextFreeLink();
    // Handing out a live slot, or one the chain returns to at once, would
    // overwrite a record or give one slot to two records.
    if (!record->Deleted() || link < 0 || link > file_.RecordSlotCount() || link == head) {
      ReleaseRecord(record);
      RaiseCorrupt();
    }
    file_.SetFirstFreeRecord(link);
    record->InitRecord(giveRowId);
    record->MarkDirty();
    return record;
  }

  TRecord* record = FetchRecord(client, file_.NextRecordNo(), kReadForward);
  // A table that never reuses slots keeps at most the last freed slot in its
  // chain; an append drops it.
  if (head != 0) file_.SetFirstFreeRecord(0);
  record->InitRecord(giveRowId);
  record->MarkDirty();
  return record;
}

void TRecordCache::FreeRecordSlot(TRecord* record) {
  if (!record) return;
  const int32_t recordNo = record->recordNo_;
  if (recordNo < 1 || recordNo >= file_.NextRecordNo() || record->Deleted()) RaiseCorrupt();
  const int32_t link = Table().HasPrimaryIndex() ? file_.FirstFreeRecord() : 0;
  record->SetDeleted(true);
  record->SetNextFreeLink(link);
  file_.SetFirstFreeRecord(recordNo);
}

// ---- Writing and evicting ---------------------------------------------------------

bool TRecordCache::FlushDirtyRecords() {
  const size_t recordSize = std::max<size_t>(file_.RecordSize(), 1);
  const size_t maxRun = std::max<size_t>(kMaxWriteRunBytes / recordSize, 1);
  auto writable = [this](const TRecord& record) {
    return record.dirty_ && !record.Pinned() && !InReadWindow(record.recordNo_);
  };

  bool written = false;
  size_t i = 0;
  while (i < records_.size()) {
    if (!writable(*records_[i])) {
      ++i;
      continue;
    }
    size_t j = i + 1;
    while (j < records_.size() && j - i < maxRun && writable(*records_[j]) &&
           records_[j]->recordNo_ == records_[j - 1]->recordNo_ + 1) {
      ++j;
    }
    WriteRun(i, j - i);
    written = true;
    i = j;
  }
  return written;
}

void TRecordCache::WriteRun(size_t first, size_t count) {
  const size_t recordSize = file_.RecordSize();
  Grow(writeBuffer_, count * recordSize);
  for (size_t k = 0; k < count; ++k) {
    records_[first + k]->StoreImage(writeBuffer_.data() + k * recordSize);
  }
  file_.WriteSlots(records_[first]->recordNo_, int32_t(count), writeBuffer_.data());
  // Only now are the images on disk.
  for (size_t k = 0; k < count; ++k) records_[first + k]->MarkClean();
  ++statistics_.writeRuns;
  statistics_.recordsWritten += count;
}

void TRecordCache::TrimCache() {
  const TRecordCacheTable& table = Table();
  const int32_t limit =
      CapacityFor(file_.RecordSize(), table.RecordCacheBytes(), table.RecordCacheCount());
  bool flushed = false;
  while (records_.size() > size_t(limit)) {
    TRecord* victim = LeastRecentlyUsedFree();
    if (!victim) {
      if (flushed || table.TransactionLockHeld()) break;
      flushed = true;
      FlushDirtyRecords();
      continue;
    }
    pool_.Give(Detach(victim));
  }
  // Back to the configured size, unless more records than that could not be
  // let go.
  capacity_ = std::max(limit, int32_t(records_.size()));
}

void TRecordCache::DropAllRecords() {
  // Room for the held records first, so that nothing below can fail halfway.
  const size_t held = size_t(std::count_if(records_.begin(), records_.end(),
                                           [](const auto& record) { return record->Pinned(); }));
  orphans_.reserve(orphans_.size() + held);
  for (TRecord*& listed : records_) {
    std::unique_ptr<TRecord> record(listed);
    listed = nullptr;
    record->older_ = nullptr;
    record->newer_ = nullptr;
    if (record->Pinned()) {
      // A cursor still holds it: it stays valid until released.
      record->orphaned_ = true;
      orphans_.push_back(std::move(record));
    } else {
      pool_.Give(std::move(record));
    }
  }
  records_.clear();
  chain_.Clear();
}

}  // namespace ledra
