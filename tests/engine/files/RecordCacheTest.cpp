#include "engine/files/RecordCache.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "engine/errors/EngineError.h"
#include "engine/files/DataFile.h"
#include "engine/files/TableCipher.h"
#include "platform/Diagnostics.h"
#include "platform/WinError.h"
#include "tests/engine/files/FieldTestSupport.h"
#include "tests/support/EngineErrors.h"
#include "tests/support/TempDir.h"

// ---- Counting allocations ------------------------------------------------------------
//
// The replaced allocation functions count only while a TAllocationCount is
// alive; everything else in the test program allocates as usual.

namespace {

std::atomic<bool> gCountAllocations{false};
std::atomic<uint64_t> gAllocations{0};

void* CountedAllocate(std::size_t size) {
  if (gCountAllocations.load(std::memory_order_relaxed)) {
    gAllocations.fetch_add(1, std::memory_order_relaxed);
  }
  return std::malloc(size == 0 ? 1 : size);
}

}  // namespace

void* operator new(std::size_t size) {
  if (void* p = CountedAllocate(size)) return p;
  throw std::bad_alloc();
}
void* operator new[](std::size_t size) {
  if (void* p = CountedAllocate(size)) return p;
  throw std::bad_alloc();
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  return CountedAllocate(size);
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
  return CountedAllocate(size);
}
void operator delete(void* p) noexcept {
  std::free(p);
}
void operator delete[](void* p) noexcept {
  std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
  std::free(p);
}
void operator delete[](void* p, std::size_t) noexcept {
  std::free(p);
}
void operator delete(void* p, const std::nothrow_t&) noexcept {
  std::free(p);
}
void operator delete[](void* p, const std::nothrow_t&) noexcept {
  std::free(p);
}

namespace ledra {
namespace {

class TAllocationCount {
 public:
  TAllocationCount() {
    gAllocations = 0;
    gCountAllocations = true;
  }
  ~TAllocationCount() { gCountAllocations = false; }
  uint64_t Count() const { return gAllocations.load(); }
};

// ---- Helpers -----------------------------------------------------------------------

using Bytes = std::vector<uint8_t>;
using platform::CallCount;
using platform::OsCall;

int32_t LE32At(const uint8_t* p) {
  return int32_t(uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 |
                 uint32_t(p[3]) << 24);
}

void PutLE32At(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = uint8_t(v >> (8 * i));
}

Bytes ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void Patch(const std::string& path, size_t offset, const Bytes& bytes) {
  std::fstream io(path, std::ios::binary | std::ios::in | std::ios::out);
  io.seekp(std::streamoff(offset));
  io.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
}

uint64_t ReadsAndWrites() {
  return CallCount(OsCall::Read) + CallCount(OsCall::Write);
}

uint64_t AllCalls() {
  uint64_t total = 0;
  for (int k = 0; k < int(OsCall::kCount); ++k) total += CallCount(OsCall(k));
  return total;
}

// The plain image of slot n as the tests store it: live, bytes 1..4 zero (a
// loaded image must get its number from the cache), row id 1000 + n, then a
// pattern that differs per slot.
Bytes SlotImage(int32_t n) {
  Bytes slot(51, 0);
  PutLE32At(&slot[5], uint32_t(1000 + n));
  for (size_t i = 9; i < slot.size(); ++i) slot[i] = uint8_t(n * 7 + int(i));
  return slot;
}

// The image the cache should hold for slot n.
Bytes LoadedImage(int32_t n) {
  Bytes slot = SlotImage(n);
  PutLE32At(&slot[1], uint32_t(n));
  return slot;
}

Bytes ImageOf(const TRecord* record) {
  return Bytes(record->Image(), record->Image() + record->ImageSize());
}

// A cursor that counts what the cache asks of it.
class TFakeCursor final : public TRecordCacheClient {
 public:
  bool AcquireReadLockForFetch() override {
    ++lockCalls;
    if (!reportChange) return false;
    // What the table does when it detects another writer's change.
    if (cache) cache->DropAllRecords();
    return true;
  }
  int32_t ReadAheadHint(int32_t recordNo, int direction, int32_t limit) override {
    ++hintCalls;
    lastHintRecord = recordNo;
    lastHintDirection = direction;
    lastHintLimit = limit;
    return hint;
  }
  void UpcomingRecords(int32_t, int, int32_t limit, std::vector<int32_t>& out) override {
    ++upcomingCalls;
    for (int32_t n : upcoming) {
      if (int32_t(out.size()) >= limit) break;
      out.push_back(n);
    }
  }

  TRecordCache* cache = nullptr;
  std::vector<int32_t> upcoming;
  int upcomingCalls = 0;
  bool reportChange = false;
  int32_t hint = 1;
  int lockCalls = 0;
  int hintCalls = 0;
  int32_t lastHintRecord = 0;
  int lastHintDirection = 0;
  int32_t lastHintLimit = 0;
};

class RecordCacheTest : public ::testing::Test {
 protected:
  void TearDown() override {
    platform::ClearFaults();
    CloseTable();
  }

  // Creates the table with `slots` records of the four-field layout.
  void CreateTable(int32_t slots, bool encrypted = false) {
    TDataFile file(path_);
    file.CreateHeader(0, 0, 0, 0, encrypted, "pw", "", 4, test::FourFields(), 0);
    ASSERT_TRUE(file.WriteHeader(false));
    ASSERT_TRUE(file.WriteFieldDescs());
    if (slots == 0) return;
    Bytes all;
    for (int32_t n = 1; n <= slots; ++n) {
      ASSERT_EQ(file.AppendRecordNo(), n);
      const Bytes slot = SlotImage(n);
      all.insert(all.end(), slot.begin(), slot.end());
    }
    file.WriteSlots(1, slots, all.data());
    file.WriteHeader(false);
  }

  void OpenTable() {
    CloseTable();
    file_ = std::make_unique<TDataFile>(path_);
    file_->OpenDataFile();
    cache_ = std::make_unique<TRecordCache>(*file_);
    cache_->SetTable(&state_);
    cache_->Open();
    cursor_.cache = cache_.get();
  }

  void CloseTable() {
    if (cache_) cache_->Close();
    cursor_.cache = nullptr;
    cache_.reset();
    file_.reset();
  }

  // Cached record n; a record that is not cached fails the test and reads
  // as a blank one.
  const TRecord& Cached(int32_t n) {
    if (const TRecord* record = cache_->Find(n)) return *record;
    ADD_FAILURE() << "record " << n << " is not cached";
    return missing_;
  }

  // The plain bytes of slot n as the file holds them now.
  Bytes SlotOnDisk(int32_t n) {
    const Bytes all = ReadFile(path_);
    const size_t offset = 127 + 4 * 768 + size_t(n - 1) * 51;
    if (all.size() < offset + 51) return {};
    return Bytes(all.begin() + std::ptrdiff_t(offset), all.begin() + std::ptrdiff_t(offset + 51));
  }

  TRecord* Fetch(int32_t n, bool readAhead = false, int direction = kReadForward) {
    return cache_->FetchRecord(&cursor_, n, direction, false, readAhead);
  }

  // Fetches n, lets `change` modify it and releases it.
  template <typename Change>
  void Modify(int32_t n, Change change) {
    TRecord* record = Fetch(n);
    ASSERT_NE(record, nullptr);
    change(*record);
    cache_->ReleaseRecord(record);
  }

  test::TempDir dir_;
  std::string path_ = dir_.File("Towns.DAT");
  TRecordCacheTableState state_;
  TFakeCursor cursor_;
  std::unique_ptr<TDataFile> file_;
  std::unique_ptr<TRecordCache> cache_;
  TRecord missing_{nullptr};
};

// ---- Sizing --------------------------------------------------------------------------

TEST_F(RecordCacheTest, CapacityAndReadAheadFollowRecordSizeAndSettings) {
  CreateTable(0);
  OpenTable();
  EXPECT_EQ(cache_->Capacity(), 321);        // 16384 div 51
  EXPECT_EQ(cache_->ReadAheadLimit(), 160);  // 8192 div 51

  // The record count limit wins when it is the smaller one.
  state_.cacheCount = 100;
  cache_->Open();
  EXPECT_EQ(cache_->Capacity(), 100);

  // One record of 9000 bytes fits the default budget, and is read alone.
  EXPECT_EQ(TRecordCache::CapacityFor(9000, 16384, 8192), 1);
  EXPECT_EQ(TRecordCache::ReadAheadLimitFor(9000), 1);
  EXPECT_EQ(TRecordCache::CapacityFor(0, 16384, 8192), 8192);
  EXPECT_EQ(TRecordCache::CapacityFor(9, 16384, 8192), 1820);
  EXPECT_EQ(TRecordCache::CapacityFor(9, 1 << 30, 8192), 8192);
  // A record larger than the byte budget still gets a place.
  EXPECT_EQ(TRecordCache::CapacityFor(20000, 16384, 8192), 1);
  EXPECT_EQ(TRecordCache::ReadAheadLimitFor(0), 1);
  EXPECT_EQ(TRecordCache::ReadAheadLimitFor(4096), 2);
}

// ---- Fetching ------------------------------------------------------------------------

TEST_F(RecordCacheTest, ForwardReadAheadReadsToTheEndInOneCall) {
  CreateTable(10);
  OpenTable();
  platform::ResetCallCounts();

  TRecord* record = cache_->FetchRecord(&cursor_, 5, kReadForward, false, true);
  ASSERT_NE(record, nullptr);
  EXPECT_EQ(CallCount(OsCall::Read), 1u);
  EXPECT_EQ(cursor_.lockCalls, 1);
  EXPECT_EQ(cursor_.hintCalls, 0);
  EXPECT_EQ(record->RecordNumber(), 5);
  EXPECT_EQ(record->Pins(), 1);
  EXPECT_EQ(ImageOf(record), LoadedImage(5));

  // Slots 5 to 10 are cached, 5 the most recently used.
  EXPECT_EQ(cache_->RecentlyUsedOrder(), (std::vector<int32_t>{5, 6, 7, 8, 9, 10}));
  for (int32_t n = 6; n <= 10; ++n) {
    ASSERT_NE(cache_->Find(n), nullptr) << n;
    EXPECT_EQ(ImageOf(&Cached(n)), LoadedImage(n)) << n;
    EXPECT_FALSE(Cached(n).Pinned()) << n;
  }
  cache_->ReleaseRecord(record);
  EXPECT_FALSE(record->Pinned());
  EXPECT_EQ(cache_->Statistics().diskReads, 1u);
  EXPECT_EQ(cache_->Statistics().recordsRead, 6u);
}

TEST_F(RecordCacheTest, CachedFetchMakesNoCallAndAllocatesNothing) {
  CreateTable(10);
  OpenTable();
  cache_->ReleaseRecord(cache_->FetchRecord(&cursor_, 1, kReadForward, false, true));
  platform::ResetCallCounts();
  const int lockCalls = cursor_.lockCalls;

  // Among the four most recent, and far behind them (found by halving).
  const int32_t numbers[] = {1, 2, 9, 10, 3, 1};
  int32_t fetched[6] = {};
  uint64_t allocated = 0;
  {
    TAllocationCount allocations;
    for (int k = 0; k < 6; ++k) {
      TRecord* record = cache_->FetchRecord(&cursor_, numbers[k], kReadForward, true, true);
      fetched[k] = record ? record->RecordNumber() : 0;
      cache_->ReleaseRecord(record);
    }
    allocated = allocations.Count();
  }
  EXPECT_EQ(allocated, 0u);
  EXPECT_TRUE(std::equal(std::begin(numbers), std::end(numbers), std::begin(fetched)));
  EXPECT_EQ(AllCalls(), 0u);
  EXPECT_EQ(cursor_.lockCalls, lockCalls);
  EXPECT_EQ(cache_->RecentlyUsedOrder().front(), 1);
  EXPECT_EQ(cache_->RecentlyUsedOrder()[1], 3);
}

TEST_F(RecordCacheTest, RunsFollowTheCursorsHintAndStayInsideTheFile) {
  CreateTable(10);
  OpenTable();
  platform::ResetCallCounts();

  // Forward, the cursor will visit three records: 5, 6, 7.
  cursor_.hint = 3;
  cache_->ReleaseRecord(cache_->FetchRecord(&cursor_, 5, kReadForward, true, true));
  EXPECT_EQ(cursor_.lastHintRecord, 5);
  EXPECT_EQ(cursor_.lastHintDirection, kReadForward);
  EXPECT_EQ(cursor_.lastHintLimit, 160);
  EXPECT_EQ(cache_->RecentlyUsedOrder(), (std::vector<int32_t>{5, 6, 7}));

  // Backward, a hint beyond slot 1 is cut at slot 1: slots 1 to 3, 3 last.
  cache_->DropAllRecords();
  cursor_.hint = 50;
  cache_->ReleaseRecord(cache_->FetchRecord(&cursor_, 3, kReadBackward, true, true));
  EXPECT_EQ(cache_->RecentlyUsedOrder(), (std::vector<int32_t>{3, 2, 1}));

  // Forward, a hint past the last slot is cut at it.
  cache_->DropAllRecords();
  cache_->ReleaseRecord(cache_->FetchRecord(&cursor_, 8, kReadForward, true, true));
  EXPECT_EQ(cache_->RecentlyUsedOrder(), (std::vector<int32_t>{8, 9, 10}));

  // Backward without asking: as far back as the limit allows.
  cache_->DropAllRecords();
  cache_->ReleaseRecord(cache_->FetchRecord(&cursor_, 9, kReadBackward, false, true));
  EXPECT_EQ(cache_->RecentlyUsedOrder(), (std::vector<int32_t>{9, 8, 7, 6, 5, 4, 3, 2, 1}));

  // A hint of nothing still reads the record asked for; no read-ahead reads
  // only it.
  cache_->DropAllRecords();
  cursor_.hint = 0;
  cache_->ReleaseRecord(cache_->FetchRecord(&cursor_, 4, kReadForward, true, true));
  cache_->ReleaseRecord(cache_->FetchRecord(&cursor_, 7, kReadForward, true, false));
  EXPECT_EQ(cache_->RecentlyUsedOrder(), (std::vector<int32_t>{7, 4}));
  EXPECT_EQ(CallCount(OsCall::Read), 6u);
}

TEST_F(RecordCacheTest, AChangeFoundByTheReadLockReturnsNoRecord) {
  CreateTable(10);
  OpenTable();
  cache_->ReleaseRecord(Fetch(1));
  platform::ResetCallCounts();

  cursor_.reportChange = true;
  EXPECT_EQ(Fetch(2), nullptr);
  EXPECT_EQ(CallCount(OsCall::Read), 0u);
  EXPECT_EQ(cache_->CachedCount(), 0u);

  // A session that takes the read lock around every operation is not asked
  // again.
  state_.strictChangeDetection = true;
  const int lockCalls = cursor_.lockCalls;
  TRecord* record = Fetch(2);
  ASSERT_NE(record, nullptr);
  EXPECT_EQ(cursor_.lockCalls, lockCalls);
  cache_->ReleaseRecord(record);

  // Without a cursor there is no lock to take.
  record = cache_->FetchRecord(nullptr, 3, kReadForward, true, true);
  ASSERT_NE(record, nullptr);
  cache_->ReleaseRecord(record);
}

TEST_F(RecordCacheTest, HeldAndChangedRecordsAreNotReloadedByARun) {
  CreateTable(10);
  OpenTable();
  // 4 is held by another cursor and 6 was changed; 8 is cached and clean.
  TRecord* held = Fetch(4);
  held->MutableImage()[20] = 0xEE;  // a change the holder is making
  Modify(6, [](TRecord& r) { r.SetRowId(-6); });
  TRecord* clean = Fetch(8);
  clean->MutableImage()[20] = 0xDD;  // not marked: the file's bytes win
  cache_->ReleaseRecord(clean);
  platform::ResetCallCounts();

  TRecord* record = Fetch(3, true);
  ASSERT_NE(record, nullptr);
  EXPECT_EQ(CallCount(OsCall::Read), 1u);
  EXPECT_EQ(held->Image()[20], 0xEE);
  EXPECT_EQ(Cached(6).RowId(), -6);
  EXPECT_TRUE(Cached(6).Dirty());
  EXPECT_EQ(ImageOf(&Cached(8)), LoadedImage(8));
  EXPECT_EQ(cache_->Find(4), held);
  EXPECT_EQ(cache_->RecentlyUsedOrder().front(), 3);
  cache_->ReleaseRecord(record);
  cache_->ReleaseRecord(held);
}

TEST_F(RecordCacheTest, DamagedRecordNumbersAreRefusedWithoutReading) {
  CreateTable(10);
  OpenTable();
  platform::ResetCallCounts();
  for (int32_t n : {0, -1, 12, 200000000}) {
    EXPECT_EQ(test::ErrorCodeRaisedBy([&] { (void)Fetch(n, true); }), LEDRA_FILECORRUPT) << n;
  }
  EXPECT_EQ(CallCount(OsCall::Read), 0u);
  EXPECT_EQ(file_->NextRecordNo(), 11);
  EXPECT_EQ(cache_->CachedCount(), 0u);
}

TEST_F(RecordCacheTest, AShortFileIsAReadErrorUnlessSlotsMayBeUnwritten) {
  CreateTable(10);
  std::filesystem::resize_file(path_, 127 + 4 * 768 + 8 * 51 + 20);  // 8 slots and a part
  OpenTable();

  EXPECT_EQ(test::ErrorCodeRaisedBy([&] { (void)Fetch(5, true); }), LEDRA_READERR);
  EXPECT_EQ(cache_->CachedCount(), 0u);  // a failed read loads nothing

  // Open exclusively (or in a transaction) and written to: the missing slots
  // may exist only in memory, so what was read is taken.
  state_.exclusive = true;
  state_.writtenSinceOpen = true;
  TRecord* record = Fetch(5, true);
  ASSERT_NE(record, nullptr);
  EXPECT_EQ(ImageOf(record), LoadedImage(5));
  EXPECT_EQ(cache_->CachedCount(), 4u);  // 5 to 8
  cache_->ReleaseRecord(record);
  // A slot the run did not produce is not there to return.
  EXPECT_EQ(test::ErrorCodeRaisedBy([&] { (void)Fetch(9); }), LEDRA_FILECORRUPT);

  state_.exclusive = false;
  state_.transactionLockHeld = true;
  cache_->DropAllRecords();
  EXPECT_EQ(test::ErrorCodeRaisedBy([&] { (void)Fetch(7, true); }), LEDRA_NONE);
  state_.writtenSinceOpen = false;
  cache_->DropAllRecords();
  EXPECT_EQ(test::ErrorCodeRaisedBy([&] { (void)Fetch(7, true); }), LEDRA_READERR);
}

// ---- Appending -----------------------------------------------------------------------

TEST_F(RecordCacheTest, AppendingTakesTheNextNumberAndWritesLater) {
  CreateTable(3);
  OpenTable();
  platform::ResetCallCounts();

  TRecord* record = Fetch(4);
  ASSERT_NE(record, nullptr);
  EXPECT_EQ(ReadsAndWrites(), 0u);
  EXPECT_EQ(record->RecordNumber(), 4);
  EXPECT_TRUE(record->Pinned());
  EXPECT_TRUE(record->Dirty());
  EXPECT_EQ(file_->NextRecordNo(), 5);
  EXPECT_TRUE(file_->HeaderModified());
  Bytes expected(51, 0);
  expected[1] = 4;
  EXPECT_EQ(ImageOf(record), expected);

  record->SetRowId(77);
  // Held records are not written.
  EXPECT_FALSE(cache_->FlushDirtyRecords());
  cache_->ReleaseRecord(record);
  EXPECT_TRUE(cache_->FlushDirtyRecords());
  EXPECT_EQ(CallCount(OsCall::Write), 1u);
  PutLE32At(&expected[5], 77);
  EXPECT_EQ(SlotOnDisk(4), expected);
}

TEST_F(RecordCacheTest, AppendingBeyondTheLimitIsTableFull) {
  CreateTable(1);
  Patch(path_, 13, {0x01, 0xC2, 0xEB, 0x0B});  // NextRecordNo 200000001
  OpenTable();
  ASSERT_EQ(file_->NextRecordNo(), 200000001);

  EXPECT_EQ(test::ErrorCodeRaisedBy([&] { (void)Fetch(200000001); }), LEDRA_TABLEFULL);
  EXPECT_EQ(test::ErrorCodeRaisedBy([&] { (void)cache_->NewRecordSlot(&cursor_); }),
            LEDRA_TABLEFULL);
  EXPECT_EQ(file_->NextRecordNo(), 200000001);
  EXPECT_EQ(file_->LastAutoInc(), 0);
  EXPECT_FALSE(file_->HeaderModified());
  EXPECT_EQ(cache_->CachedCount(), 0u);
}

// ---- Getting a record object ---------------------------------------------------------

TEST_F(RecordCacheTest, AFullCacheInATransactionGrowsInsteadOfWriting) {
  CreateTable(10);
  state_.cacheCount = 2;
  state_.transactionLockHeld = true;
  OpenTable();
  ASSERT_EQ(cache_->Capacity(), 2);
  TRecord* held = Fetch(1);
  Modify(2, [](TRecord& r) { r.SetRowId(-2); });
  platform::ResetCallCounts();

  TRecord* third = Fetch(3);
  ASSERT_NE(third, nullptr);
  EXPECT_EQ(CallCount(OsCall::Write), 0u);
  EXPECT_EQ(cache_->Capacity(), 66);
  EXPECT_EQ(cache_->CachedCount(), 3u);
  EXPECT_TRUE(Cached(2).Dirty());
  cache_->ReleaseRecord(third);

  // Trimming after the transaction gives the extra room back.
  state_.transactionLockHeld = false;
  cache_->ReleaseRecord(held);
  cache_->TrimCache();
  EXPECT_EQ(cache_->Capacity(), 2);
  EXPECT_EQ(cache_->CachedCount(), 2u);
  EXPECT_EQ(CallCount(OsCall::Write), 0u);  // a clean record could go
  ASSERT_NE(cache_->Find(2), nullptr);
}

TEST_F(RecordCacheTest, AFullCacheOutsideATransactionWritesThenReuses) {
  CreateTable(10);
  state_.cacheCount = 2;
  OpenTable();
  TRecord* held = Fetch(1);
  Modify(2, [](TRecord& r) { r.SetRowId(-2); });
  platform::ResetCallCounts();

  TRecord* third = Fetch(3);
  ASSERT_NE(third, nullptr);
  EXPECT_EQ(CallCount(OsCall::Write), 1u);
  EXPECT_EQ(cache_->Capacity(), 2);
  EXPECT_EQ(cache_->Find(2), nullptr);
  EXPECT_EQ(LE32At(SlotOnDisk(2).data() + 5), -2);
  cache_->ReleaseRecord(third);
  cache_->ReleaseRecord(held);

  // All held: the cache grows even outside a transaction.
  TRecord* a = Fetch(4);
  TRecord* b = Fetch(5);
  TRecord* c = Fetch(6);
  EXPECT_EQ(cache_->Capacity(), 66);
  for (TRecord* r : {a, b, c}) cache_->ReleaseRecord(r);

  // Trimming flushes once when nothing clean is left to evict.
  for (int32_t n : {4, 5, 6}) Modify(n, [](TRecord& r) { r.MarkDirty(); });
  platform::ResetCallCounts();
  cache_->TrimCache();
  EXPECT_EQ(CallCount(OsCall::Write), 1u);  // slots 4 to 6 in one run
  EXPECT_EQ(cache_->CachedCount(), 2u);
  EXPECT_EQ(cache_->Capacity(), 2);
}

// ---- Writing -------------------------------------------------------------------------

TEST_F(RecordCacheTest, DirtyRecordsAreWrittenOneCallPerRun) {
  CreateTable(10);
  OpenTable();
  cache_->ReleaseRecord(Fetch(1, true));
  for (int32_t n : {2, 3, 4, 7, 8}) Modify(n, [n](TRecord& r) { r.SetRowId(-n); });
  TRecord* held = Fetch(9);
  held->SetRowId(-9);
  platform::ResetCallCounts();

  EXPECT_TRUE(cache_->FlushDirtyRecords());
  EXPECT_EQ(CallCount(OsCall::Write), 2u);
  for (int32_t n = 1; n <= 10; ++n) {
    Bytes expected = SlotImage(n);
    if (n == 1 || n == 9 || n == 10 || n == 5 || n == 6) {
      EXPECT_EQ(SlotOnDisk(n), expected) << n;
      continue;
    }
    PutLE32At(&expected[1], uint32_t(n));  // a written live record carries its number
    PutLE32At(&expected[5], uint32_t(-n));
    EXPECT_EQ(SlotOnDisk(n), expected) << n;
    EXPECT_FALSE(Cached(n).Dirty()) << n;
  }
  EXPECT_TRUE(held->Dirty());
  EXPECT_EQ(cache_->Statistics().writeRuns, 2u);
  EXPECT_EQ(cache_->Statistics().recordsWritten, 5u);
  EXPECT_TRUE(file_->WrittenTo());

  EXPECT_FALSE(cache_->FlushDirtyRecords());
  cache_->ReleaseRecord(held);
  EXPECT_TRUE(cache_->FlushDirtyRecords());
  EXPECT_EQ(CallCount(OsCall::Write), 3u);
}

TEST_F(RecordCacheTest, RecordsWhoseWriteFailedStayDirty) {
  CreateTable(10);
  OpenTable();
  for (int32_t n : {2, 3, 6}) Modify(n, [n](TRecord& r) { r.SetRowId(-n); });

  platform::FailNext(OsCall::Write, platform::kErrorAccessDenied);
  EXPECT_EQ(test::ErrorCodeRaisedBy([&] { cache_->FlushDirtyRecords(); }), LEDRA_WRITEERR);
  for (int32_t n : {2, 3, 6}) EXPECT_TRUE(Cached(n).Dirty()) << n;
  EXPECT_EQ(SlotOnDisk(2), SlotImage(2));
  EXPECT_EQ(Cached(2).RowId(), -2);

  EXPECT_TRUE(cache_->FlushDirtyRecords());
  for (int32_t n : {2, 3, 6}) {
    EXPECT_FALSE(Cached(n).Dirty()) << n;
    EXPECT_EQ(LE32At(SlotOnDisk(n).data() + 5), -n) << n;
  }
}

TEST_F(RecordCacheTest, EncipheredSlotsAreStoredEncipheredAndReadBackPlain) {
  CreateTable(4, true);
  OpenTable();
  ASSERT_TRUE(file_->Encrypted());
  TRecord* record = Fetch(2, true);
  ASSERT_NE(record, nullptr);
  EXPECT_EQ(ImageOf(record), LoadedImage(2));
  EXPECT_EQ(ImageOf(&Cached(4)), LoadedImage(4));
  record->SetRowId(123456);
  cache_->ReleaseRecord(record);
  Modify(3, [](TRecord& r) { r.SetRowId(654321); });
  ASSERT_TRUE(cache_->FlushDirtyRecords());

  // Each slot is its own cipher run.
  for (int32_t n : {2, 3}) {
    Bytes plain = LoadedImage(n);
    PutLE32At(&plain[5], n == 2 ? 123456u : 654321u);
    Bytes stored = SlotOnDisk(n);
    EXPECT_NE(stored, plain) << n;
    CipherDataRun(stored.data(), stored.size());
    EXPECT_EQ(stored, plain) << n;
  }

  cache_->DropAllRecords();
  record = Fetch(2, true);
  ASSERT_NE(record, nullptr);
  EXPECT_EQ(record->RowId(), 123456);
  EXPECT_EQ(Cached(3).RowId(), 654321);
  EXPECT_EQ(ImageOf(&Cached(4)), LoadedImage(4));
  cache_->ReleaseRecord(record);
}

// ---- Dropping ------------------------------------------------------------------------

TEST_F(RecordCacheTest, DroppedChangesAreLostAndTheNextFetchReadsTheDisk) {
  CreateTable(10);
  OpenTable();
  Modify(2, [](TRecord& r) { r.SetRowId(-2); });
  TRecord* held = Fetch(3);
  held->SetRowId(-3);
  platform::ResetCallCounts();

  cache_->DropAllRecords();
  EXPECT_EQ(cache_->CachedCount(), 0u);
  EXPECT_TRUE(cache_->RecentlyUsedOrder().empty());
  EXPECT_EQ(CallCount(OsCall::Write), 0u);
  EXPECT_FALSE(cache_->FlushDirtyRecords());

  TRecord* record = Fetch(2);
  ASSERT_NE(record, nullptr);
  EXPECT_EQ(CallCount(OsCall::Read), 1u);
  EXPECT_EQ(record->RowId(), 1002);
  EXPECT_FALSE(record->Dirty());
  cache_->ReleaseRecord(record);

  // The record a cursor still held stays usable until released, and is not
  // cached any more.
  EXPECT_EQ(held->RowId(), -3);
  EXPECT_EQ(cache_->Find(3), nullptr);
  const size_t pool = cache_->PoolCount();
  cache_->ReleaseRecord(held);
  EXPECT_EQ(cache_->PoolCount(), pool + 1);
  record = Fetch(3);
  EXPECT_EQ(record->RowId(), 1003);
  cache_->ReleaseRecord(record);
}

// ---- Free chain ----------------------------------------------------------------------

TEST_F(RecordCacheTest, FreedSlotsAreReusedLastFreedFirst) {
  CreateTable(10);
  OpenTable();
  for (int32_t n : {2, 5}) {
    TRecord* record = Fetch(n);
    cache_->FreeRecordSlot(record);
    cache_->ReleaseRecord(record);
  }
  EXPECT_EQ(file_->FirstFreeRecord(), 5);
  EXPECT_EQ(Cached(5).NextFreeLink(), 2);
  EXPECT_EQ(Cached(2).NextFreeLink(), 0);
  EXPECT_EQ(Cached(2).RowId(), 1002);  // the row id stays
  ASSERT_TRUE(cache_->FlushDirtyRecords());
  Bytes freed = SlotImage(5);
  freed[0] = 1;
  freed[1] = 2;  // link to slot 2
  EXPECT_EQ(SlotOnDisk(5), freed);

  // From a fresh cache, so that the slots come from the file.
  cache_->DropAllRecords();
  const int32_t lastAutoInc = file_->LastAutoInc();
  TRecord* first = cache_->NewRecordSlot(&cursor_);
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(first->RecordNumber(), 5);
  EXPECT_EQ(file_->FirstFreeRecord(), 2);
  EXPECT_FALSE(first->Deleted());
  EXPECT_TRUE(first->Dirty());
  EXPECT_TRUE(first->Pinned());
  EXPECT_EQ(first->RowId(), lastAutoInc + 1);
  Bytes expected(51, 0);
  expected[1] = 5;
  PutLE32At(&expected[5], uint32_t(lastAutoInc + 1));
  EXPECT_EQ(ImageOf(first), expected);

  TRecord* second = cache_->NewRecordSlot(&cursor_, false);
  ASSERT_NE(second, nullptr);
  EXPECT_EQ(second->RecordNumber(), 2);
  EXPECT_EQ(second->RowId(), 0);
  EXPECT_EQ(file_->FirstFreeRecord(), 0);

  TRecord* third = cache_->NewRecordSlot(&cursor_);
  EXPECT_EQ(third->RecordNumber(), 11);
  EXPECT_EQ(file_->NextRecordNo(), 12);
  EXPECT_EQ(third->RowId(), lastAutoInc + 2);
  for (TRecord* r : {first, second, third}) cache_->ReleaseRecord(r);
}

TEST_F(RecordCacheTest, ATableWithoutPrimaryIndexAlwaysAppends) {
  CreateTable(10);
  state_.hasPrimaryIndex = false;
  OpenTable();
  for (int32_t n : {2, 5}) {
    TRecord* record = Fetch(n);
    cache_->FreeRecordSlot(record);
    cache_->ReleaseRecord(record);
  }
  // The chain only ever holds the last freed slot.
  EXPECT_EQ(file_->FirstFreeRecord(), 5);
  EXPECT_EQ(Cached(5).NextFreeLink(), 0);

  TRecord* record = cache_->NewRecordSlot(&cursor_);
  EXPECT_EQ(record->RecordNumber(), 11);
  EXPECT_EQ(file_->FirstFreeRecord(), 0);
  EXPECT_TRUE(Cached(5).Deleted());
  cache_->ReleaseRecord(record);
}

TEST_F(RecordCacheTest, ADamagedFreeChainIsRefused) {
  struct TCase {
    const char* what;
    uint8_t deleted;
    uint32_t link;
  };
  const TCase cases[] = {
      {"head is a live record", 0, 0},
      {"link past the last slot", 1, 11},
      {"negative link", 1, 0xFFFFFFFFu},
      {"link to itself", 1, 4},
  };
  for (const TCase& c : cases) {
    CreateTable(10);
    Patch(path_, 9, {4, 0, 0, 0});  // FirstFreeRecord 4
    Bytes slot = SlotImage(4);
    slot[0] = c.deleted;
    PutLE32At(&slot[1], c.link);
    Patch(path_, 127 + 4 * 768 + 3 * 51, slot);
    OpenTable();

    EXPECT_EQ(test::ErrorCodeRaisedBy([&] { (void)cache_->NewRecordSlot(&cursor_); }),
              LEDRA_FILECORRUPT)
        << c.what;
    EXPECT_EQ(file_->FirstFreeRecord(), 4) << c.what;
    EXPECT_EQ(file_->LastAutoInc(), 0) << c.what;
    EXPECT_FALSE(Cached(4).Pinned()) << c.what;
    EXPECT_FALSE(Cached(4).Dirty()) << c.what;
    CloseTable();
  }

  // Freeing a free slot again would make the chain loop.
  CreateTable(3);
  OpenTable();
  TRecord* record = Fetch(3);
  cache_->FreeRecordSlot(record);
  cache_->ReleaseRecord(Fetch(1));
  EXPECT_EQ(test::ErrorCodeRaisedBy([&] { cache_->FreeRecordSlot(record); }), LEDRA_FILECORRUPT);
  EXPECT_EQ(record->NextFreeLink(), 0);
  EXPECT_EQ(file_->FirstFreeRecord(), 3);
  cache_->ReleaseRecord(record);
}

// ---- Records the cursor names ahead -------------------------------------------------

// A miss brings in, under its one read lock, the records the cursor names
// next: the ones not cached, valid and nearest first, as many as leave room
// for the run just read; close slots in one read; nothing cached, dirty or
// held is reloaded, nothing is written and the cache does not grow.
TEST_F(RecordCacheTest, RecordsNamedAheadAreReadUnderTheSameLockWithinTheCache) {
  CreateTable(400);
  state_.cacheCount = 20;
  OpenTable();
  cache_->ReleaseRecord(Fetch(3));
  Modify(8, [](TRecord& r) { r.SetRowId(-8); });
  cursor_.upcoming = {3, 7, 8, 9, 0, 999, 150, 300, 7};
  for (int32_t n = 10; n <= 40; ++n) cursor_.upcoming.push_back(n);
  const int locksBefore = cursor_.lockCalls;
  platform::ResetCallCounts();

  TRecord* record = cache_->FetchRecord(&cursor_, 5, kReadForward, true, true);
  ASSERT_NE(record, nullptr);
  EXPECT_EQ(cursor_.lockCalls - locksBefore, 1);
  // Room for 20 - 1 (the run of 5) - 4 (kept for other cursors) = 15: 7, 9,
  // 150, 300 and 10..20. Reads: 5; 7..20 (8 read but not loaded); 150; 300.
  EXPECT_EQ(CallCount(OsCall::Read), 4u);
  EXPECT_EQ(CallCount(OsCall::Write), 0u);
  EXPECT_EQ(cache_->Statistics().recordsAhead, 15u);
  for (int32_t n : {7, 9, 150, 300, 10, 20}) EXPECT_EQ(ImageOf(&Cached(n)), LoadedImage(n)) << n;
  EXPECT_EQ(cache_->Find(21), nullptr);
  EXPECT_EQ(cache_->Find(999), nullptr);
  EXPECT_TRUE(Cached(8).Dirty());
  EXPECT_EQ(Cached(8).RowId(), -8);
  EXPECT_EQ(cache_->CachedCount(), 18u);
  EXPECT_EQ(cache_->Capacity(), 20);
  EXPECT_EQ(cache_->RecentlyUsedOrder().front(), 5);
  EXPECT_EQ(ImageOf(record), LoadedImage(5));

  // A full cache: read-ahead takes only clean records nobody holds, never
  // those it has just read, and still writes nothing.
  cursor_.upcoming.clear();
  for (int32_t n = 201; n <= 260; ++n) cursor_.upcoming.push_back(n);
  platform::ResetCallCounts();
  TRecord* other = cache_->FetchRecord(&cursor_, 200, kReadForward, true, true);
  ASSERT_NE(other, nullptr);
  EXPECT_EQ(CallCount(OsCall::Write), 0u);
  EXPECT_EQ(cache_->Capacity(), 20);
  EXPECT_LE(cache_->CachedCount(), 20u);
  EXPECT_EQ(ImageOf(&Cached(201)), LoadedImage(201));
  EXPECT_EQ(ImageOf(&Cached(215)), LoadedImage(215));
  EXPECT_EQ(cache_->Find(216), nullptr);
  EXPECT_NE(cache_->Find(5), nullptr);  // held
  EXPECT_TRUE(Cached(8).Dirty());
  cache_->ReleaseRecord(other);
  cache_->ReleaseRecord(record);

  // Without askCursor nothing is asked.
  const int asked = cursor_.upcomingCalls;
  cache_->ReleaseRecord(Fetch(100, true));
  EXPECT_EQ(cursor_.upcomingCalls, asked);
}

}  // namespace
}  // namespace ledra
