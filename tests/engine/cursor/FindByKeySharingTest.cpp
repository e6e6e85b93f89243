// FindByKey on a table whose primary index has three levels, while another
// process changes that index between two lookups, and between a lookup and
// the edit of the record found. This process keeps the middle pages of the
// tree in its page cache beside the root and a leaf, and searches leaves
// without decoding them; the first lookup that has to read the file notices
// the other process's change, forgets every kept page and finds its way
// through the new tree: the keys the other process added, removed and
// changed, the records they name and their sequence numbers are the new
// ones. Run with and without leaf compression. Besides, a lookup reads the
// record it finds and not the run of records stored after it.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "engine/cursor/DataCursor.h"
#include "engine/files/Bytes.h"
#include "engine/files/RecordCache.h"
#include "tests/engine/cursor/CommandedWriter.h"
#include "tests/engine/cursor/CursorTestSupport.h"

namespace ledra {
namespace {

// Code (string 200, the primary key), Num (integer).
constexpr size_t kCodeLength = 200;
constexpr size_t kNumOffset = 9 + 1 + kCodeLength + 1 + 1;
constexpr size_t kRecordSize = kNumOffset + 4;
constexpr int kRecords = 500;  // codes of 0, 2, ..., 998

// Codes order by their number; the rest is filler that differs from code to
// code, so compressed leaves hold about as few entries as plain ones.
std::string Code(int n) {
  char head[8];
  std::snprintf(head, sizeof head, "W%04d-", n);
  std::string code = head;
  for (size_t i = code.size(); i < kCodeLength; ++i) code += char('a' + (n * 7 + int(i)) % 26);
  return code;
}

std::vector<uint8_t> WideImage(const std::string& code, int32_t num) {
  std::vector<uint8_t> image(kRecordSize, 0);
  image[9] = 1;
  std::memcpy(&image[10], code.data(), std::min(code.size(), kCodeLength));
  image[kNumOffset - 1] = 1;
  PutLE32(&image[kNumOffset], uint32_t(num));
  return image;
}

int32_t NumOf(const uint8_t* image) {
  return int32_t(GetLE32(image + kNumOffset));
}

std::string CodeHead(const uint8_t* image) {
  return std::string(reinterpret_cast<const char*>(image + 10), 5);
}

// Record n of the first fill (1-based) holds code 2(n-1).
int32_t RecordOfEven(int n) {
  return n / 2 + 1;
}

// What the other process changes on the test's command, each change under
// the write lock and written before it goes:
//   1: adds the odd codes 401..599 (splits leaves and middle pages)
//   2: deletes the records of the codes 100..298 (merges them)
//   3: changes the key of code 700's record to code 1 (a cursor's post)
//   4: adds the odd codes 601..699
void ChangeWide(TDataTable& table, uint32_t command) {
  if (command == 3) {
    TDataCursor cursor(table.Directory());
    cursor.SetTableName("Wide");
    cursor.Open();
    std::vector<uint8_t> image = WideImage(Code(700), 0);
    std::vector<uint8_t> key(kMaxStoredKeyLength, 0);
    cursor.BuildKey(image.data(), key.data());
    if (!cursor.FindByKey(true, key.data(), image.data(), 0, false, 0)) {
      throw std::runtime_error("code 700 is not in the table");
    }
    if (cursor.ReadCurrent(image.data(), true) != 0) {
      throw std::runtime_error("the record of code 700 cannot be edited");
    }
    const std::string moved = Code(1);
    std::memcpy(&image[10], moved.data(), kCodeLength);
    cursor.PostEdit(image.data());
    cursor.Close();
    return;
  }
  test::WriteShared(table, [&] {
    if (command == 1 || command == 4) {
      const int from = command == 1 ? 401 : 601;
      const int to = command == 1 ? 600 : 700;
      for (int n = from; n < to; n += 2) test::InsertDirect(table, WideImage(Code(n), 7000 + n));
    } else if (command == 2) {
      for (int n = 100; n < 300; n += 2) test::DeleteDirect(table, RecordOfEven(n));
    }
  });
}

class FindByKeySharingTest : public test::CursorTest,
                             public ::testing::WithParamInterface<uint8_t> {
 protected:
  // The test's own process makes the table; the other process finds it.
  void CreateWide() {
    if (test::IsChildProcess()) return;
    TTableDefinition definition;
    definition.Fields = {test::MakeField(1, "Code", fldString, uint16_t(kCodeLength)),
                         test::MakeField(2, "Num", fldInteger)};
    definition.PrimaryIndex.Fields = {1};
    definition.PrimaryIndex.Compression = GetParam();
    TOpenTableResult created = directory_.CreateTable("Wide", false, false, definition);
    ASSERT_NE(created.Table, nullptr);
    directory_.CloseTable(*created.Table, false);
    TDataCursor cursor(directory_);
    cursor.SetTableName("Wide");
    cursor.SetExclusive(true);
    cursor.Open();
    ASSERT_EQ(cursor.RecordSize(), kRecordSize);
    for (int n = 0; n < 2 * kRecords; n += 2) {
      std::vector<uint8_t> image = WideImage(Code(n), n);
      cursor.PostInsert(image.data(), false);
    }
    cursor.Close();
  }

  // FindByKey of code n; the record found (or stood on) is left in `found`.
  bool Find(TDataCursor& cursor, int n) {
    std::vector<uint8_t> image = WideImage(Code(n), 0);
    std::vector<uint8_t> key(kMaxStoredKeyLength, 0);
    cursor.BuildKey(image.data(), key.data());
    found_.assign(cursor.RecordSize(), 0);
    return cursor.FindByKey(true, key.data(), found_.data(), 0, false, 0);
  }

  // Looks up codes all over the table, so that this process keeps middle
  // pages of the primary index, and checks that it does.
  void WarmUp(TDataCursor& cursor) {
    for (int n = 0; n < 2 * kRecords; n += 20) ASSERT_TRUE(Find(cursor, n)) << n;
    const TPageCache& cache = cursor.Table().IndexFile().PageCache(kPrimarySlot);
    ASSERT_GE(cache.UpperCount(), 2u) << "the primary index should have three levels";
  }

  std::vector<uint8_t> found_;
};

TEST_P(FindByKeySharingTest, TheNextLookupFindsItsWayThroughTheOtherProcesssTree) {
  CreateWide();
  test::TCommandedWriter other(dir_.Path().string(), "Wide", ChangeWide);
  ASSERT_TRUE(other.Started());
  auto cursor = OpenCursor("Wide");
  WarmUp(*cursor);

  // Keys added where the cursor's kept pages say there is nothing.
  ASSERT_TRUE(Find(*cursor, 100));
  other.Run(1);
  ASSERT_TRUE(Find(*cursor, 451));
  EXPECT_EQ(NumOf(found_.data()), 7451);
  // Codes 0..450 (226) and 401..449 (25) come before it.
  EXPECT_EQ(cursor->GetSequenceNo(), 252);
  ASSERT_TRUE(Find(*cursor, 598));
  EXPECT_EQ(cursor->GetSequenceNo(), 300 + 99);

  // Keys removed: a stale page would still route to them.
  ASSERT_TRUE(Find(*cursor, 700));
  other.Run(2);
  EXPECT_FALSE(Find(*cursor, 200));
  EXPECT_FALSE(Find(*cursor, 100));
  ASSERT_TRUE(Find(*cursor, 300));
  EXPECT_EQ(NumOf(found_.data()), 300);
  EXPECT_EQ(cursor->GetSequenceNo(), 51);
  ASSERT_TRUE(Find(*cursor, 98));
  EXPECT_EQ(cursor->GetSequenceNo(), 50);

  // A key changed: found under the new key only, as the same record.
  ASSERT_TRUE(Find(*cursor, 600));
  other.Run(3);
  EXPECT_FALSE(Find(*cursor, 700));
  ASSERT_TRUE(Find(*cursor, 1));
  EXPECT_EQ(NumOf(found_.data()), 700);
  EXPECT_EQ(cursor->CurrentRecordNo(), RecordOfEven(700));
  EXPECT_EQ(cursor->GetSequenceNo(), 2);
  EXPECT_EQ(cursor->GetRecordCount(), kRecords);

  // Walking from the changed key: the old neighbours of the removed and
  // moved ones, in order.
  std::vector<uint8_t> image(cursor->RecordSize());
  ASSERT_EQ(cursor->ReadNext(image.data()), 0);
  EXPECT_EQ(CodeHead(image.data()), "W0002");
  ASSERT_TRUE(Find(*cursor, 98));
  ASSERT_EQ(cursor->ReadNext(image.data()), 0);
  EXPECT_EQ(CodeHead(image.data()), "W0300");
  EXPECT_EQ(test::TableFindings(cursor->Table()), "");
}

TEST_P(FindByKeySharingTest, AnEditAfterTheLookupWorksOnTheOtherProcesssTree) {
  CreateWide();
  test::TCommandedWriter other(dir_.Path().string(), "Wide", ChangeWide);
  ASSERT_TRUE(other.Started());
  auto cursor = OpenCursor("Wide");
  WarmUp(*cursor);

  // The record's leaf splits between the lookup and the edit.
  ASSERT_TRUE(Find(*cursor, 600));
  other.Run(4);
  std::vector<uint8_t> image = found_;
  ASSERT_EQ(cursor->ReadCurrent(image.data(), true), 0);
  PutLE32(&image[kNumOffset], 4242);
  cursor->PostEdit(image.data());
  EXPECT_EQ(CodeHead(cursor->CurrentRecord()), "W0600");
  EXPECT_EQ(cursor->GetSequenceNo(), 301);
  ASSERT_TRUE(Find(*cursor, 651));
  EXPECT_EQ(NumOf(found_.data()), 7651);
  ASSERT_TRUE(Find(*cursor, 600));
  EXPECT_EQ(NumOf(found_.data()), 4242);
  EXPECT_EQ(cursor->CurrentRecordNo(), RecordOfEven(600));

  // The record is deleted between the lookup and the edit: the edit is
  // refused, and the next lookup stands where the new tree says.
  ASSERT_TRUE(Find(*cursor, 200));
  other.Run(2);
  image = found_;
  EXPECT_EQ(test::ErrorCodeRaisedBy([&] { cursor->ReadCurrent(image.data(), true); }),
            LEDRA_KEYORRECDELETED);
  EXPECT_FALSE(Find(*cursor, 200));
  ASSERT_TRUE(Find(*cursor, 300));
  EXPECT_EQ(cursor->GetSequenceNo(), 51);
  EXPECT_EQ(cursor->GetRecordCount(), kRecords + 50 - 100);
  EXPECT_EQ(test::TableFindings(cursor->Table()), "");
}

// A lookup reads the one record it finds, though the records after it lie
// next to it on disk; a scan from there reads ahead as before.
TEST_P(FindByKeySharingTest, ALookupReadsOnlyTheRecordItFinds) {
  CreateWide();
  auto cursor = OpenCursor("Wide");
  TRecordCache& cache = cursor->Table().RecordCache();
  cache.ResetStatistics();
  ASSERT_TRUE(Find(*cursor, 300));
  EXPECT_EQ(NumOf(found_.data()), 300);
  EXPECT_EQ(cache.Statistics().recordsRead, 1u);
  EXPECT_EQ(cache.Find(RecordOfEven(302)), nullptr);
  ASSERT_TRUE(Find(*cursor, 500));
  EXPECT_EQ(cache.Statistics().recordsRead, 2u);

  std::vector<uint8_t> image(cursor->RecordSize());
  ASSERT_EQ(cursor->ReadNext(image.data()), 0);
  EXPECT_EQ(NumOf(image.data()), 502);
  EXPECT_GT(cache.Statistics().recordsRead, 3u) << "the scan reads a run";
  ASSERT_EQ(cursor->ReadNext(image.data()), 0);
  EXPECT_EQ(NumOf(image.data()), 504);
  EXPECT_NE(cache.Find(RecordOfEven(506)), nullptr);
}

INSTANTIATE_TEST_SUITE_P(Compression, FindByKeySharingTest,
                         ::testing::Values(uint8_t(kCompressNone), uint8_t(kCompressFull)),
                         [](const ::testing::TestParamInfo<uint8_t>& info) {
                           return info.param == kCompressNone ? std::string("Plain")
                                                              : std::string("Full");
                         });

}  // namespace
}  // namespace ledra
