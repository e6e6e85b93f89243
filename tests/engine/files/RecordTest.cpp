#include "engine/files/Record.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "engine/files/DataFile.h"
#include "tests/engine/files/FieldTestSupport.h"
#include "tests/support/TempDir.h"

namespace ledra {
namespace {

using Bytes = std::vector<uint8_t>;

int32_t LE32At(const uint8_t* p) {
  return int32_t(uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 |
                 uint32_t(p[3]) << 24);
}

void PutLE32At(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = uint8_t(v >> (8 * i));
}

// A created (never written) table of RecordSize 51: string 30, integer,
// AutoInc, date.
class RecordTest : public ::testing::Test {
 protected:
  void SetUp() override {
    file_.CreateHeader(0, 0, 0, 0, false, "", "", 4, test::FourFields(), 0);
    ASSERT_EQ(file_.RecordSize(), 51);
  }

  // A slot image: deleted flag, bytes 1..4, row id, then bytes 9.. = 9, 10, ...
  static Bytes Slot(uint8_t deleted, uint32_t numberOrLink, uint32_t rowId) {
    Bytes slot(51, 0);
    slot[0] = deleted;
    PutLE32At(&slot[1], numberOrLink);
    PutLE32At(&slot[5], rowId);
    for (size_t i = 9; i < slot.size(); ++i) slot[i] = uint8_t(i);
    return slot;
  }

  test::TempDir dir_;
  TDataFile file_{dir_.File("Towns.DAT")};
};

TEST_F(RecordTest, InitRecordZeroesAndNumbersTheImage) {
  TRecord record(&file_);
  record.SetRecordNumber(7);
  record.MutableImage()[20] = 0x55;
  record.MarkDirty();

  record.InitRecord(false);
  ASSERT_EQ(record.ImageSize(), 51u);
  Bytes expected(51, 0);
  expected[1] = 7;
  EXPECT_EQ(Bytes(record.Image(), record.Image() + 51), expected);
  EXPECT_FALSE(record.Dirty());
  EXPECT_EQ(file_.LastAutoInc(), 0);

  // With a row id the file's counter advances and the value lands in 5..8.
  record.InitRecord(true);
  record.InitRecord(true);
  EXPECT_EQ(file_.LastAutoInc(), 2);
  EXPECT_EQ(record.RowId(), 2);
  EXPECT_EQ(record.Image()[1], 7);
  EXPECT_FALSE(record.Dirty());
}

TEST_F(RecordTest, LoadImageNumbersLiveRecordsAndKeepsFreeLinks) {
  TRecord record(&file_);
  record.SetRecordNumber(12);
  record.MarkDirty();

  // What the file holds in bytes 1..4 of a live record is not relied upon.
  Bytes live = Slot(0, 999, 41);
  record.LoadImage(live.data());
  EXPECT_FALSE(record.Dirty());
  EXPECT_FALSE(record.Deleted());
  EXPECT_EQ(LE32At(record.Image() + 1), 12);
  EXPECT_EQ(record.NextFreeLink(), 0);  // a live record has no link
  EXPECT_EQ(record.RowId(), 41);
  live[1] = 12, live[2] = 0, live[3] = 0, live[4] = 0;
  EXPECT_TRUE(record.SameImage(live));

  const Bytes freeSlot = Slot(1, 3, 42);
  record.LoadImage(freeSlot.data());
  EXPECT_TRUE(record.Deleted());
  EXPECT_EQ(record.NextFreeLink(), 3);
  EXPECT_TRUE(record.SameImage(freeSlot));

  // Renumbering a free slot keeps its link; a live one takes the number.
  record.SetRecordNumber(13);
  EXPECT_EQ(record.NextFreeLink(), 3);
  record.LoadImage(Slot(0, 0, 0).data());
  record.SetRecordNumber(14);
  EXPECT_EQ(LE32At(record.Image() + 1), 14);
  EXPECT_FALSE(record.Dirty());

  // Each prefix setter marks the record changed.
  record.SetRowId(-5);
  EXPECT_TRUE(record.Dirty());
  EXPECT_EQ(record.Image()[5], 0xFB);
  record.MarkClean();
  record.SetDeleted(true);
  EXPECT_TRUE(record.Dirty());
  record.MarkClean();
  record.SetNextFreeLink(0x01020304);
  EXPECT_TRUE(record.Dirty());
  EXPECT_EQ(record.Image()[1], 0x04);
  EXPECT_EQ(record.NextFreeLink(), 0x01020304);
}

TEST_F(RecordTest, FieldBytesComparisonAndCopies) {
  TRecord record(&file_);
  record.SetRecordNumber(3);
  record.InitRecord(false);
  record.SetRowId(77);
  record.MarkClean();

  Bytes other = Slot(1, 500, 600);
  record.SetFieldBytes(other);
  EXPECT_TRUE(record.Dirty());
  // The prefix stays; the fields are copied.
  EXPECT_FALSE(record.Deleted());
  EXPECT_EQ(LE32At(record.Image() + 1), 3);
  EXPECT_EQ(record.RowId(), 77);
  EXPECT_EQ(0, std::memcmp(record.Image() + 9, other.data() + 9, 42));

  Bytes same(record.Image(), record.Image() + 51);
  EXPECT_TRUE(record.SameImage(same));
  same[50] ^= 1;
  EXPECT_FALSE(record.SameImage(same));
  EXPECT_FALSE(record.SameImage(Bytes(same.begin(), same.begin() + 50)));  // too short

  TRecord copy(nullptr);
  copy.Pin();
  copy.CopyFrom(record);
  EXPECT_EQ(copy.File(), &file_);
  EXPECT_EQ(copy.RecordNumber(), 3);
  EXPECT_TRUE(copy.Dirty());
  EXPECT_EQ(copy.ImageSize(), 51u);
  EXPECT_EQ(0, std::memcmp(copy.Image(), record.Image(), 51));
  EXPECT_EQ(copy.Pins(), 1);  // holders are not copied
}

TEST_F(RecordTest, StackRecyclesUpToSixtyFourRecords) {
  TRecordStack stack(&file_);
  std::unique_ptr<TRecord> first = stack.Take();
  ASSERT_TRUE(first);
  EXPECT_EQ(first->File(), &file_);
  EXPECT_EQ(first->ImageSize(), 51u);

  TRecord* raw = first.get();
  first->SetRecordNumber(9);
  first->SetRowId(4);
  first->Unpin();  // never below 0
  EXPECT_EQ(first->Pins(), 0);
  first->Pin();
  first->Pin();
  stack.Give(std::move(first));
  EXPECT_EQ(stack.Count(), 1u);

  // The same object comes back, prepared like a new one.
  std::unique_ptr<TRecord> again = stack.Take();
  EXPECT_EQ(again.get(), raw);
  EXPECT_EQ(stack.Count(), 0u);
  EXPECT_FALSE(again->Pinned());
  EXPECT_FALSE(again->Dirty());
  EXPECT_EQ(again->RowId(), 0);
  EXPECT_EQ(LE32At(again->Image() + 1), 9);

  std::vector<std::unique_ptr<TRecord>> many;
  for (int i = 0; i < 70; ++i) many.push_back(stack.Take());
  for (auto& record : many) stack.Give(std::move(record));
  EXPECT_EQ(stack.Count(), TRecordStack::kMaxSpares);
}

}  // namespace
}  // namespace ledra
