// Keys added in ascending order (AutoInc keys) fill the pages they leave
// behind instead of leaving them half full; the tree stays sound through
// deletes between the appends, and other insert orders split as before.
#include <gtest/gtest.h>

#include <map>
#include <random>
#include <string>
#include <vector>

#include "engine/index/BTree.h"
#include "engine/index/PageCodec.h"
#include "tests/engine/index/TreeTestSupport.h"

namespace ledra {
namespace {

using test::ByteOrder;
using test::Bytes;
using test::IndexShape;
using test::MakeKey;
using test::TreeFile;

constexpr int kSlot = 1;

struct TLevelShape {
  std::vector<size_t> entries;  // per page, left to right
  std::vector<uint32_t> bytes;  // UsedBytes per page (compressed leaves)
};

// The pages of one level, walked from the leftmost along the sibling links.
TLevelShape LevelShape(TreeFile& t, int levelFromRoot) {
  int32_t n = t.File().RootPage(kSlot);
  for (int k = 0; k < levelFromRoot; ++k) n = t.Page(kSlot, n).Entry(0).Pointer;
  TLevelShape shape;
  while (n != 0) {
    TPage page = t.Page(kSlot, n);
    shape.entries.push_back(page.EntryCount());
    shape.bytes.push_back(page.UsedBytes);
    n = page.NextPage;
  }
  return shape;
}

// Every entry of the tree in order, as (key, record number).
std::vector<std::pair<Bytes, int32_t>> Entries(TBTree& tree, size_t keyLength) {
  std::vector<std::pair<Bytes, int32_t>> entries;
  TIndexPosition pos;
  for (bool more = tree.FirstEntry(pos); more; more = tree.NextEntry(pos)) {
    entries.emplace_back(Bytes(pos.Key.begin(), pos.Key.begin() + std::ptrdiff_t(keyLength)),
                         pos.RecordNo);
  }
  return entries;
}

void ExpectSound(TreeFile& t, const ByteOrder& order) {
  TIndexChecker checker(t.File());
  checker.SetComparator(kSlot, &order);
  const std::vector<TIndexFinding> findings = checker.CheckFile();
  EXPECT_TRUE(findings.empty()) << TIndexChecker::Describe(findings);
  EXPECT_TRUE(t.NothingPinned());
}

struct TAppendCase {
  const char* name;
  IndexShape shape;
};

class BTreeAppendTest : public ::testing::TestWithParam<TAppendCase> {};

TEST_P(BTreeAppendTest, AscendingKeysFillEveryPageButTheLastOfEachLevel) {
  const IndexShape shape = GetParam().shape;
  TreeFile t(8);
  t.Define(kSlot, shape);
  ByteOrder order;
  TBTree tree(t.File(), kSlot, order, "ByTown");
  const TPageFormat format = PageFormatOf(kSlot, t.File().GetIndexDesc(kSlot));
  // Enough keys for three levels in every shape (204 entries an inner page).
  const uint32_t count = 80000;
  for (uint32_t v = 1; v <= count; ++v) {
    tree.IndexInsert(MakeKey(shape.KeyLength, shape.Unique, v, v).data(), int32_t(v));
  }
  ExpectSound(t, order);
  const int levels = t.Levels(kSlot);
  ASSERT_GE(levels, 3);
  EXPECT_EQ(tree.EntryCount(), int32_t(count));

  const TLevelShape leaves = LevelShape(t, levels - 1);
  for (size_t k = 0; k + 1 < leaves.entries.size(); ++k) {
    if (format.Compression == kCompressNone) {
      ASSERT_EQ(leaves.entries[k], LeafCapacity(format)) << "leaf " << k;
    } else {
      // Too full for one more entry of the longest kind.
      ASSERT_GT(leaves.bytes[k] + LeafEntryLength(format, 0, 0), kPageBodySize) << "leaf " << k;
    }
  }
  // Only the pages the keys need: full ones and one partly filled page at
  // the end of each level.
  size_t pages = leaves.entries.size();
  for (int level = 1; level + 1 < levels; ++level) {
    const TLevelShape inner = LevelShape(t, level);
    for (size_t k = 0; k + 1 < inner.entries.size(); ++k) {
      ASSERT_EQ(inner.entries[k], InnerCapacity(format)) << "level " << level << " page " << k;
    }
    pages += inner.entries.size();
  }
  EXPECT_EQ(size_t(t.File().NextPageNo() - 1), pages + 1);
}

TEST_P(BTreeAppendTest, AppendsBetweenDeletesKeepTheTreeSoundAndComplete) {
  const IndexShape shape = GetParam().shape;
  TreeFile t(4);
  t.Define(kSlot, shape);
  ByteOrder order;
  TBTree tree(t.File(), kSlot, order, "ByTown");
  const unsigned seed = 20241209u;
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937 random(seed);
  std::map<Bytes, int32_t, ByteOrder> model(order);
  uint32_t next = 1;
  auto append = [&](uint32_t n) {
    for (uint32_t k = 0; k < n; ++k, ++next) {
      const Bytes key = MakeKey(shape.KeyLength, shape.Unique, next, next);
      tree.IndexInsert(key.data(), int32_t(next));
      model.emplace(key, int32_t(next));
    }
  };
  // Deletes at random, from the end (as when the newest records go) and
  // the page just split off by the last append.
  auto remove = [&](size_t n, bool fromEnd) {
    for (size_t k = 0; k < n && !model.empty(); ++k) {
      auto at = fromEnd ? std::prev(model.end())
                        : std::next(model.begin(), std::ptrdiff_t(random() % model.size()));
      tree.IndexDelete(at->first.data());
      model.erase(at);
    }
  };
  for (int round = 0; round < 8; ++round) {
    append(1500 + random() % 700);
    remove(600 + random() % 400, false);
    if (round % 3 == 2) remove(300, true);
    if (round % 4 == 3) t.Reopen();
    ExpectSound(t, order);
    if (HasFailure()) return;
    const std::vector<std::pair<Bytes, int32_t>> expected(model.begin(), model.end());
    ASSERT_EQ(Entries(tree, shape.KeyLength), expected) << "round " << round;
  }
  remove(model.size(), false);
  EXPECT_EQ(t.File().RootPage(kSlot), 0);
  ExpectSound(t, order);
}

INSTANTIATE_TEST_SUITE_P(
    Shapes, BTreeAppendTest,
    ::testing::Values(TAppendCase{"Plain", IndexShape{12, true}},
                      TAppendCase{"NoCounts", IndexShape{12, true, kCompressNone, true}},
                      TAppendCase{"Compressed", IndexShape{12, false, kCompressFull}}),
    [](const ::testing::TestParamInfo<TAppendCase>& info) { return std::string(info.param.name); });

// An append split leaves the last page of a level, with its parents, holding
// one entry each: deleting from the end empties them, and they must go
// rather than stay in the tree empty. Long keys make pages of ten entries
// and so many levels.
TEST(BTreeAppendOrderTest, PagesEmptiedAtTheEndOfTheLevelsAreFreed) {
  TreeFile t(8);
  t.Define(kSlot, IndexShape{400, true});
  ByteOrder order;
  TBTree tree(t.File(), kSlot, order, "ByTown");
  auto key = [](uint32_t v) { return MakeKey(400, true, v); };
  for (uint32_t v = 1; v <= 1001; ++v) tree.IndexInsert(key(v).data(), int32_t(v));
  ASSERT_GE(t.Levels(kSlot), 4);
  ExpectSound(t, order);
  // Key 1001 sits alone in its leaf, under parents holding one entry each.
  TIndexPosition last;
  ASSERT_TRUE(tree.LastEntry(last));
  EXPECT_EQ(t.Page(kSlot, last.LeafPage).EntryCount(), 1);

  for (uint32_t v = 1001; v > 900; --v) {
    tree.IndexDelete(key(v).data());
    if (v % 10 == 1 || v % 10 == 0) {
      ExpectSound(t, order);
      if (HasFailure()) FAIL() << "after deleting " << v;
    }
  }
  EXPECT_EQ(tree.EntryCount(), 900);
  // Appending again, then everything deleted from the end.
  for (uint32_t v = 901; v <= 1200; ++v) tree.IndexInsert(key(v).data(), int32_t(v));
  ExpectSound(t, order);
  for (uint32_t v = 1200; v >= 1; --v) tree.IndexDelete(key(v).data());
  EXPECT_EQ(t.File().RootPage(kSlot), 0);
  ExpectSound(t, order);
}

// Keys that always arrive at the front of the index still halve the page
// they fill, and so do keys arriving at the end of a page with a right
// neighbour.
TEST(BTreeAppendOrderTest, OtherInsertOrdersStillHalveThePage) {
  TreeFile t(8);
  t.Define(kSlot, IndexShape{12, true});
  ByteOrder order;
  TBTree tree(t.File(), kSlot, order, "ByTown");
  const uint32_t count = 255 * 8;
  for (uint32_t v = count; v >= 1; --v) {
    tree.IndexInsert(MakeKey(12, true, 2 * v).data(), int32_t(v));
  }
  ExpectSound(t, order);
  TLevelShape leaves = LevelShape(t, 1);
  ASSERT_GT(leaves.entries.size(), 8u);
  for (size_t k = 1; k < leaves.entries.size(); ++k) ASSERT_EQ(leaves.entries[k], 128u) << k;

  // The first leaf holds 2, 4, .. 2 * first. Filled to the brim with odd
  // keys between those, it takes 2 * first + 1 at its end: it has a right
  // neighbour, so it halves.
  const uint32_t first = uint32_t(leaves.entries[0]);
  ASSERT_GE(first, 128u);
  for (uint32_t k = 0; k < 255 - first; ++k) {
    tree.IndexInsert(MakeKey(12, true, 2 * k + 1).data(), int32_t(count + 1 + k));
  }
  ASSERT_EQ(LevelShape(t, 1).entries[0], 255u);
  tree.IndexInsert(MakeKey(12, true, 2 * first + 1).data(), int32_t(count + 300));
  ExpectSound(t, order);
  const TLevelShape after = LevelShape(t, 1);
  ASSERT_EQ(after.entries.size(), leaves.entries.size() + 1);
  EXPECT_EQ(after.entries[0], 128u);
  EXPECT_EQ(after.entries[1], 128u);
  EXPECT_EQ(tree.EntryCount(), int32_t(count + 256 - first));
}

}  // namespace
}  // namespace ledra
