#include "engine/files/RecordsBitmap.h"

#include <gtest/gtest.h>

#include <set>

namespace ledra {
namespace {

TEST(RecordsBitmapTest, SetClearAndGrow) {
  TRecordsBitmap bits(10);
  EXPECT_EQ(bits.Size(), 10u);
  EXPECT_FALSE(bits.Contains(3));
  bits.Set(3);
  bits.Set(9);
  EXPECT_TRUE(bits.Contains(3));
  EXPECT_FALSE(bits.Contains(4));
  EXPECT_FALSE(bits.Contains(1000));  // beyond the size: clear
  bits.Set(200);                      // grows
  EXPECT_EQ(bits.Size(), 201u);
  EXPECT_TRUE(bits.Contains(200));
  EXPECT_EQ(bits.Count(), 3u);
  bits.Clear(3);
  bits.Clear(5000);  // beyond the size: nothing
  EXPECT_EQ(bits.Count(), 2u);
  bits.Grow(50);  // never shrinks
  EXPECT_EQ(bits.Size(), 201u);
  bits.Resize(100);
  EXPECT_FALSE(bits.Contains(200));
  EXPECT_EQ(bits.Count(), 1u);
  bits.Resize(300);
  EXPECT_FALSE(bits.Contains(200));  // dropped bits do not come back
}

TEST(RecordsBitmapTest, AllInvertAndIntersectLeaveBitZeroClear) {
  TRecordsBitmap bits(130);
  bits.SetAll();
  EXPECT_FALSE(bits.Contains(0));
  EXPECT_TRUE(bits.Contains(129));
  EXPECT_EQ(bits.Count(), 129u);
  bits.Clear(64);
  bits.Clear(7);
  bits.Invert();
  EXPECT_EQ(bits.Count(), 2u);
  EXPECT_TRUE(bits.Contains(7));
  EXPECT_TRUE(bits.Contains(64));
  EXPECT_FALSE(bits.Contains(0));

  TRecordsBitmap other(65);
  other.Set(64);
  bits.IntersectWith(other);
  EXPECT_EQ(bits.Count(), 1u);
  EXPECT_TRUE(bits.Contains(64));
  bits.ClearAll();
  EXPECT_TRUE(bits.Empty());
}

TEST(RecordsBitmapTest, WalksMatchASetModel) {
  const std::set<uint32_t> model = {1, 2, 63, 64, 65, 127, 128, 500, 1023};
  TRecordsBitmap bits(1024);
  for (uint32_t n : model) bits.Set(n);

  std::vector<uint32_t> forward;
  for (uint32_t n = bits.NextSet(0); n != 0; n = bits.NextSet(n)) forward.push_back(n);
  EXPECT_EQ(forward, std::vector<uint32_t>(model.begin(), model.end()));
  std::vector<uint32_t> backward;
  for (uint32_t n = bits.PriorSet(bits.Size()); n != 0; n = bits.PriorSet(n)) {
    backward.push_back(n);
  }
  EXPECT_EQ(backward, std::vector<uint32_t>(model.rbegin(), model.rend()));

  uint32_t rank = 0;
  for (uint32_t n : model) {
    ++rank;
    EXPECT_EQ(bits.NthSet(rank), n);
    EXPECT_EQ(bits.RankOf(n), rank);
  }
  EXPECT_EQ(bits.NthSet(rank + 1), 0u);
  EXPECT_EQ(bits.NthSet(0), 0u);
  EXPECT_EQ(bits.RankOf(62), 2u);
  EXPECT_EQ(bits.RankOf(100000), rank);
  EXPECT_EQ(bits.NextSet(1023), 0u);
  EXPECT_EQ(bits.PriorSet(1), 0u);
  EXPECT_EQ(bits.NextSet(UINT32_MAX), 0u);
}

TEST(RecordsBitmapTest, EqualityIgnoresSize) {
  TRecordsBitmap a(10), b(1000);
  a.Set(5);
  b.Set(5);
  EXPECT_TRUE(a == b);
  b.Set(999);
  EXPECT_FALSE(a == b);
}

}  // namespace
}  // namespace ledra
