// Scans in index order of a table whose records were added in another order:
// the records the current leaf names next are read with the one a step
// needs, under its read lock. What the scan returns must not depend on it:
// every record once, in index order, within the range and filters, and
// changes of other programs seen as the lock protocol makes them visible.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <numeric>
#include <random>
#include <string>
#include <vector>

#include "engine/cursor/DataCursor.h"
#include "engine/errors/EngineError.h"
#include "engine/files/Bytes.h"
#include "platform/Diagnostics.h"
#include "tests/engine/cursor/CursorTestSupport.h"
#include "tests/support/ChildProcess.h"

namespace ledra {
namespace {

using platform::CallCount;
using platform::OsCall;
using test::CodeOf;
using test::ErrorCodeRaisedBy;
using test::LetterImage;

// A cache of this many 26-byte records: small enough that a scan of a few
// thousand records must keep evicting.
constexpr uint32_t kSmallCache = 64;

std::string CodeNo(int i) {
  char text[16];
  std::snprintf(text, sizeof text, "K%04d", i);
  return text;
}

int32_t NumOf(const std::vector<uint8_t>& image) {
  return int32_t(GetLE32(image.data() + 22));
}

// Codes K0001..Kn added in a scrambled order; Num repeats every ten
// records, so "ByNum" holds runs of duplicate keys.
struct TShuffled {
  std::vector<test::TLetter> letters;   // in the order they were added
  std::vector<int32_t> recordNoOfCode;  // [i] = record number of K(i)

  explicit TShuffled(int n, uint32_t seed = 17) {
    std::vector<int> order(static_cast<size_t>(n));
    std::iota(order.begin(), order.end(), 1);
    std::shuffle(order.begin(), order.end(), std::mt19937(seed));
    recordNoOfCode.assign(size_t(n) + 1, 0);
    for (size_t k = 0; k < order.size(); ++k) {
      letters.push_back({CodeNo(order[k]), order[k] % 10});
      recordNoOfCode[size_t(order[k])] = int32_t(k + 1);
    }
  }
};

std::vector<std::string> Codes(int first, int last) {
  std::vector<std::string> codes;
  for (int i = first; i <= last; ++i) codes.push_back(CodeNo(i));
  return codes;
}

class KeyOrderScanTest : public test::CursorTest {
 protected:
  void UseSmallCache() {
    const TDataSessionSettings defaults;
    session_.SetBufferLimits(kSmallCache * test::kLettersRecordSize, defaults.RecordCacheCount,
                             defaults.ThirdBufferLimit, defaults.BlobCacheBytes,
                             defaults.BlobCacheCount);
  }

  // Codes by ReadNext (or ReadPrior) until the end, checking after every
  // step that the cache stays within its size.
  static std::vector<std::string> Scan(TDataCursor& cursor, bool forward) {
    const TRecordCache& cache = cursor.Table().RecordCache();
    const int32_t capacity = cache.Capacity();
    std::vector<std::string> codes;
    std::vector<uint8_t> image(cursor.RecordSize());
    while ((forward ? cursor.ReadNext(image.data()) : cursor.ReadPrior(image.data())) == 0) {
      codes.push_back(CodeOf(image));
      EXPECT_LE(cache.CachedCount(), size_t(capacity)) << "after " << codes.back();
    }
    EXPECT_EQ(cache.Capacity(), capacity);
    return codes;
  }
};

TEST_F(KeyOrderScanTest, ScansBothWaysWithFewLocksAndABoundedCache) {
  const int n = 2000;
  const TShuffled table(n);
  test::CreateLetters(directory_, "Big", table.letters);
  UseSmallCache();
  auto cursor = OpenCursor("Big");
  TRecordCache& cache = cursor->Table().RecordCache();
  ASSERT_EQ(cache.Capacity(), int32_t(kSmallCache));

  cursor->MoveToStart();
  uint64_t locks = CallCount(OsCall::Lock);
  EXPECT_EQ(Scan(*cursor, true), Codes(1, n));
  // One read lock per record without reading ahead; here one per batch.
  EXPECT_LT(CallCount(OsCall::Lock) - locks, uint64_t(n / 8));
  EXPECT_GT(cache.Statistics().recordsAhead, uint64_t(n / 2));

  // At the end and back: the last record again, then backwards to the start.
  std::vector<uint8_t> image(cursor->RecordSize());
  EXPECT_EQ(cursor->ReadNext(image.data()), LEDRA_EOF);
  locks = CallCount(OsCall::Lock);
  std::vector<std::string> backwards = Scan(*cursor, false);
  std::reverse(backwards.begin(), backwards.end());
  EXPECT_EQ(backwards, Codes(1, n));
  EXPECT_LT(CallCount(OsCall::Lock) - locks, uint64_t(n / 8));
  EXPECT_EQ(cursor->ReadPrior(image.data()), LEDRA_BOF);
  ASSERT_EQ(cursor->ReadNext(image.data()), 0);
  EXPECT_EQ(CodeOf(image), CodeNo(1));

  // Turning round in the middle: each step gives its neighbour.
  cursor->MoveToSequence(700);
  EXPECT_EQ(CodeOf(cursor->CurrentRecord()), CodeNo(700));
  for (int i = 701; i <= 900; ++i) {
    ASSERT_EQ(cursor->ReadNext(image.data()), 0);
    ASSERT_EQ(CodeOf(image), CodeNo(i));
  }
  for (int i = 899; i >= 600; --i) {
    ASSERT_EQ(cursor->ReadPrior(image.data()), 0);
    ASSERT_EQ(CodeOf(image), CodeNo(i));
  }
  for (int i = 601; i <= 650; ++i) {
    ASSERT_EQ(cursor->ReadNext(image.data()), 0);
    ASSERT_EQ(CodeOf(image), CodeNo(i));
  }
  EXPECT_FALSE(cursor->Table().Lock().ReadLockHeld());
}

// A lookup is no scan: it reads the one record it lands on.
TEST_F(KeyOrderScanTest, OnlyStepsInARowReadAhead) {
  const TShuffled table(500);
  test::CreateLetters(directory_, "Big", table.letters);
  auto cursor = OpenCursor("Big");
  TRecordCache& cache = cursor->Table().RecordCache();
  std::vector<uint8_t> image(cursor->RecordSize());
  cursor->Table().DropBuffers({});
  cache.ResetStatistics();

  cursor->MoveToSequence(100);
  const std::vector<uint8_t> key = LetterImage(CodeNo(300), 0);
  ASSERT_TRUE(cursor->FindByKey(false, key.data(), image.data(), 0, false, 1));
  ASSERT_EQ(cursor->ReadNext(image.data()), 0);  // the first step after a seek
  EXPECT_EQ(CodeOf(image), CodeNo(301));
  EXPECT_EQ(cache.Statistics().recordsAhead, 0u);

  ASSERT_EQ(cursor->ReadNext(image.data()), 0);  // the second in a row
  EXPECT_EQ(CodeOf(image), CodeNo(302));
  EXPECT_GT(cache.Statistics().recordsAhead, 0u);
  EXPECT_NE(cache.Find(table.recordNoOfCode[303]), nullptr);
}

// A block read reads ahead just the records it will fill.
TEST_F(KeyOrderScanTest, BlockReadFillsFromOneDiskRead) {
  const TShuffled table(500);
  test::CreateLetters(directory_, "Big", table.letters);
  auto cursor = OpenCursor("Big");
  TRecordCache& cache = cursor->Table().RecordCache();
  cursor->Table().DropBuffers({});
  cursor->MoveToStart();  // reads K0001
  cache.ResetStatistics();

  int32_t count = 10;
  std::vector<uint8_t> images(size_t(count) * cursor->RecordSize());
  ASSERT_EQ(cursor->ReadNextBlock(count, images.data()), 0);
  ASSERT_EQ(count, 10);
  for (int i = 0; i < count; ++i) {
    EXPECT_EQ(CodeOf(images.data() + size_t(i) * cursor->RecordSize()), CodeNo(i + 1));
  }
  EXPECT_EQ(cache.Statistics().diskReads, 1u);
  EXPECT_EQ(cache.Statistics().cacheHits, 9u);
  EXPECT_EQ(cache.Find(table.recordNoOfCode[11]), nullptr);

  // The block that runs into the end of the index.
  cursor->MoveToSequence(495);
  count = 10;
  images.assign(size_t(count) * cursor->RecordSize(), 0);
  EXPECT_EQ(cursor->ReadNextBlock(count, images.data()), LEDRA_EOF);
  ASSERT_EQ(count, 5);
  EXPECT_EQ(CodeOf(images.data()), CodeNo(496));
  EXPECT_EQ(CodeOf(images.data() + 4 * cursor->RecordSize()), CodeNo(500));
}

TEST_F(KeyOrderScanTest, RangeAndFiltersBoundTheScanAndItsReadAhead) {
  const int n = 1500;
  const TShuffled table(n);
  test::CreateLetters(directory_, "Big", table.letters);
  UseSmallCache();
  auto cursor = OpenCursor("Big");
  TRecordCache& cache = cursor->Table().RecordCache();

  const std::vector<uint8_t> low = LetterImage(CodeNo(500), 0);
  const std::vector<uint8_t> high = LetterImage(CodeNo(899), 0);
  cursor->SetKeyRange(false, low.data(), 1, high.data(), 1);
  cursor->MoveToStart();
  cursor->Table().DropBuffers({});
  EXPECT_EQ(Scan(*cursor, true), Codes(500, 899));
  // Nothing beyond the range was read ahead.
  for (int32_t recordNo : cache.RecentlyUsedOrder()) {
    const std::string code = CodeOf(cache.Find(recordNo)->Image());
    EXPECT_TRUE(code >= CodeNo(500) && code <= CodeNo(899)) << code;
  }
  cursor->Table().DropBuffers({});
  std::vector<std::string> backwards = Scan(*cursor, false);
  std::reverse(backwards.begin(), backwards.end());
  EXPECT_EQ(backwards, Codes(500, 899));
  for (int32_t recordNo : cache.RecentlyUsedOrder()) {
    const std::string code = CodeOf(cache.Find(recordNo)->Image());
    EXPECT_TRUE(code >= CodeNo(500) && code <= CodeNo(899)) << code;
  }

  // Only records with Num 3 stay in view.
  cursor->ClearKeyRange();
  cursor->AddFilter([](const uint8_t* image) { return GetLE32(image + 22) == 3; });
  cursor->MoveToStart();
  std::vector<std::string> expected;
  for (int i = 3; i <= n; i += 10) expected.push_back(CodeNo(i));
  EXPECT_EQ(Scan(*cursor, true), expected);
  std::vector<std::string> filteredBack = Scan(*cursor, false);
  std::reverse(filteredBack.begin(), filteredBack.end());
  EXPECT_EQ(filteredBack, expected);
}

TEST_F(KeyOrderScanTest, DuplicateKeysComeInRowIdOrder) {
  const int n = 1200;
  const TShuffled table(n);
  test::CreateLetters(directory_, "Big", table.letters);
  UseSmallCache();
  auto cursor = OpenCursor("Big");
  cursor->SetIndexName("ByNum");
  cursor->MoveToStart();

  // Equal Num values keep the order the records were added in (row ids).
  std::vector<std::string> expected;
  for (int num = 0; num < 10; ++num) {
    for (const test::TLetter& letter : table.letters) {
      if (letter.num == num) expected.push_back(letter.code);
    }
  }
  EXPECT_EQ(Scan(*cursor, true), expected);
  std::vector<std::string> backwards = Scan(*cursor, false);
  std::reverse(backwards.begin(), backwards.end());
  EXPECT_EQ(backwards, expected);
}

// ---- Other programs ---------------------------------------------------------------------

// What another program does between two reads of the scan, to records the
// scan has read ahead: K0012 gets Num 999, K0013 is deleted, and K0014A is
// added (into K0013's freed slot).
void ChangeAhead(test::TChildProcess& self, const std::string& path) {
  if (self.Receive() != 1u) return;
  TDataSession session;
  TDataDirectory& directory = session.OpenDirectory("Cursors", path);
  TDataCursor cursor(directory);
  cursor.SetTableName("Big");
  cursor.Open();
  std::vector<uint8_t> image(cursor.RecordSize());
  std::vector<uint8_t> key = LetterImage(CodeNo(12), 0);
  if (!cursor.FindByKey(false, key.data(), image.data(), 0, false, 1)) return;
  if (cursor.ReadCurrent(image.data(), true) != 0) return;
  PutLE32(image.data() + 22, 999);
  cursor.PostEdit(image.data(), true, true);
  key = LetterImage(CodeNo(13), 0);
  if (!cursor.FindByKey(false, key.data(), image.data(), 0, false, 1)) return;
  cursor.DeleteCurrent(nullptr, true);
  std::vector<uint8_t> added = LetterImage("K0014A", 77);
  cursor.PostInsert(added.data(), false);
  cursor.Close();
  self.Send(2);
}

std::vector<std::string> ExpectedAfterChange(int n) {
  std::vector<std::string> codes = {CodeNo(11), CodeNo(12), CodeNo(14), "K0014A"};
  for (int i = 15; i <= n; ++i) codes.push_back(CodeNo(i));
  return codes;
}

// With strict change detection every step looks at the headers: the change
// is seen at the very next read, the records read ahead included.
TEST_F(KeyOrderScanTest, StrictScanSeesAnotherProgramsChangesAtOnce) {
  const int n = 600;
  const TShuffled table(n);
  const std::string path = dir_.Path().string();
  test::TChildProcess child([&](test::TChildProcess& self) { ChangeAhead(self, path); });
  ASSERT_TRUE(child.Started());
  test::CreateLetters(directory_, "Big", table.letters);

  session_.SetStrictChangeDetection(true);
  auto cursor = OpenCursor("Big");
  const TRecordCache& cache = cursor->Table().RecordCache();
  std::vector<uint8_t> image(cursor->RecordSize());
  for (int i = 1; i <= 10; ++i) {
    ASSERT_EQ(cursor->ReadNext(image.data()), 0);
    ASSERT_EQ(CodeOf(image), CodeNo(i));
  }
  // The records the change touches were read ahead.
  ASSERT_NE(cache.Find(table.recordNoOfCode[12]), nullptr);
  ASSERT_NE(cache.Find(table.recordNoOfCode[13]), nullptr);

  child.Send(1);
  ASSERT_EQ(child.Receive(), 2u);
  ASSERT_TRUE(child.Finish());

  std::vector<std::string> codes;
  std::vector<int32_t> nums;
  while (cursor->ReadNext(image.data()) == 0) {
    codes.push_back(CodeOf(image));
    nums.push_back(NumOf(image));
  }
  EXPECT_EQ(codes, ExpectedAfterChange(n));
  ASSERT_GE(nums.size(), 4u);
  EXPECT_EQ(nums[1], 999);
  EXPECT_EQ(nums[3], 77);
  EXPECT_EQ(cursor->GetRecordCount(), n);
  EXPECT_FALSE(cursor->Table().Lock().ReadLockHeld());
}

// Without strict checks the cached records (read ahead or not) stand until
// the next read from disk or lock looks at the headers. An edit started on
// such a record finds the change and is refused; the scan then goes on over
// the table as the other program left it.
TEST_F(KeyOrderScanTest, StaleRecordReadAheadCannotBeEdited) {
  const int n = 600;
  const TShuffled table(n);
  const std::string path = dir_.Path().string();
  test::TChildProcess child([&](test::TChildProcess& self) { ChangeAhead(self, path); });
  ASSERT_TRUE(child.Started());
  test::CreateLetters(directory_, "Big", table.letters);

  auto cursor = OpenCursor("Big");
  std::vector<uint8_t> image(cursor->RecordSize());
  for (int i = 1; i <= 11; ++i) {
    ASSERT_EQ(cursor->ReadNext(image.data()), 0);
    ASSERT_EQ(CodeOf(image), CodeNo(i));
  }
  ASSERT_NE(cursor->Table().RecordCache().Find(table.recordNoOfCode[12]), nullptr);

  child.Send(1);
  ASSERT_EQ(child.Receive(), 2u);
  ASSERT_TRUE(child.Finish());

  ASSERT_EQ(cursor->ReadNext(image.data()), 0);
  ASSERT_EQ(CodeOf(image), CodeNo(12));
  EXPECT_EQ(NumOf(image), 12 % 10);  // as cached before the change
  EXPECT_EQ(ErrorCodeRaisedBy([&] { cursor->ReadCurrent(image.data(), true); }),
            LEDRA_KEYORRECDELETED);
  EXPECT_EQ(cursor->EditLockRecordNo(), 0);

  // The refused edit looked at the headers: from here on the new state.
  ASSERT_EQ(cursor->ReadCurrent(image.data()), 0);
  EXPECT_EQ(CodeOf(image), CodeNo(12));
  EXPECT_EQ(NumOf(image), 999);
  std::vector<std::string> codes;
  while (cursor->ReadNext(image.data()) == 0) codes.push_back(CodeOf(image));
  std::vector<std::string> expected = ExpectedAfterChange(n);
  expected.erase(expected.begin(), expected.begin() + 2);
  EXPECT_EQ(codes, expected);
  EXPECT_FALSE(cursor->Table().Lock().ReadLockHeld());
}

// A refresh asked for (Resync) drops what was read ahead before the change.
TEST_F(KeyOrderScanTest, ResyncDropsRecordsReadAheadBeforeAChange) {
  const int n = 600;
  const TShuffled table(n);
  const std::string path = dir_.Path().string();
  test::TChildProcess child([&](test::TChildProcess& self) { ChangeAhead(self, path); });
  ASSERT_TRUE(child.Started());
  test::CreateLetters(directory_, "Big", table.letters);

  auto cursor = OpenCursor("Big");
  std::vector<uint8_t> image(cursor->RecordSize());
  for (int i = 1; i <= 10; ++i) ASSERT_EQ(cursor->ReadNext(image.data()), 0);
  ASSERT_NE(cursor->Table().RecordCache().Find(table.recordNoOfCode[13]), nullptr);

  child.Send(1);
  ASSERT_EQ(child.Receive(), 2u);
  ASSERT_TRUE(child.Finish());

  cursor->Resync();
  EXPECT_EQ(CodeOf(cursor->CurrentRecord()), CodeNo(10));
  std::vector<std::string> codes;
  std::vector<int32_t> nums;
  while (cursor->ReadNext(image.data()) == 0) {
    codes.push_back(CodeOf(image));
    nums.push_back(NumOf(image));
  }
  EXPECT_EQ(codes, ExpectedAfterChange(n));
  ASSERT_GE(nums.size(), 4u);
  EXPECT_EQ(nums[1], 999);
  EXPECT_EQ(nums[3], 77);
}

}  // namespace
}  // namespace ledra
