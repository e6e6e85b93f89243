// What the page cache keeps of a deep tree (the middle levels besides its
// capacity), and leaves held as read for searches instead of decoded.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "engine/index/BTree.h"
#include "engine/index/PageCache.h"
#include "platform/Diagnostics.h"
#include "tests/engine/index/TreeTestSupport.h"

namespace ledra {
namespace {

using test::ByteOrder;
using test::Bytes;
using test::CodeOf;
using test::IndexShape;
using test::MakeKey;
using test::TreeFile;

constexpr int kSlot = 1;

// The middle (type 1) pages from the root down to the leaf that holds `key`,
// read without touching the cache's order.
std::vector<int32_t> MiddlePath(TreeFile& t, const Bytes& key) {
  std::vector<int32_t> path;
  ByteOrder order;
  int32_t n = t.File().RootPage(kSlot);
  for (;;) {
    TPage page = t.Page(kSlot, n);
    if (!page.IsInner()) return path;
    if (page.PageType == kPageInner) path.push_back(n);
    size_t i = 0;
    while (i + 1 < page.EntryCount() &&
           order.CompareKeys(page.Key(i + 1), key.data(), key.size()) <= 0) {
      ++i;
    }
    n = page.Entry(i).Pointer;
  }
}

std::set<int32_t> CachedMiddlePages(TIndexFile& file) {
  std::set<int32_t> pages;
  for (const auto& page : file.PageCache(kSlot).Pages()) {
    if (page->PageType == kPageInner) pages.insert(page->PageNo);
  }
  return pages;
}

TEST(PageCacheLevelsTest, KeepsTheMostRecentlyUsedMiddlePagesBesideRootAndLeaf) {
  const unsigned seed = 4083;
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937 random(seed);
  // Ten entries a page: 600 keys make a tree of four levels with dozens of
  // middle pages, far more than are kept.
  TreeFile t(2);
  t.Define(kSlot, IndexShape{400, true});
  ByteOrder order;
  TBTree tree(t.File(), kSlot, order);
  std::vector<uint32_t> values(600);
  for (uint32_t v = 0; v < values.size(); ++v) values[v] = v + 1;
  std::shuffle(values.begin(), values.end(), random);
  for (uint32_t v : values) tree.IndexInsert(MakeKey(400, true, v).data(), int32_t(v));
  t.Reopen();
  ASSERT_GE(t.Levels(kSlot), 3);
  const int32_t root = t.File().RootPage(kSlot);

  std::map<uint32_t, std::vector<int32_t>> paths;
  for (uint32_t v = 1; v <= values.size(); ++v) paths[v] = MiddlePath(t, MakeKey(400, true, v));
  ASSERT_EQ(t.File().PageCache(kSlot).Count(), 0u) << "finding the paths cached nothing";

  // The model: middle pages in the order of their last use, the latest last.
  std::vector<int32_t> recent;
  const TPageCache& cache = t.File().PageCache(kSlot);
  std::uniform_int_distribution<uint32_t> pick(1, uint32_t(values.size()));
  for (int lookup = 0; lookup < 400; ++lookup) {
    const uint32_t v = pick(random);
    SCOPED_TRACE("lookup " + std::to_string(lookup) + " of " + std::to_string(v));
    const std::set<int32_t> keptBefore = CachedMiddlePages(t.File());
    const bool pathKept = std::all_of(paths[v].begin(), paths[v].end(),
                                      [&](int32_t n) { return keptBefore.count(n) != 0; });
    const bool rootKept = cache.Contains(root);
    const uint64_t reads = t.File().CacheStats().DiskReads;

    ASSERT_TRUE(tree.IndexContains(MakeKey(400, true, v).data()));

    for (int32_t n : paths[v]) {
      recent.erase(std::remove(recent.begin(), recent.end(), n), recent.end());
      recent.push_back(n);
    }
    const size_t kept = std::min(recent.size(), TPageCache::kKeptUpperPages);
    const std::set<int32_t> expected(recent.end() - std::ptrdiff_t(kept), recent.end());
    ASSERT_EQ(CachedMiddlePages(t.File()), expected);
    ASSERT_LE(cache.LowerCount(), 2u);
    ASSERT_TRUE(cache.Contains(root)) << "the root outlives the leaves";
    if (pathKept && rootKept) {
      ASSERT_LE(t.File().CacheStats().DiskReads, reads + 1) << "only the leaf is read";
    }
  }
  EXPECT_EQ(cache.Capacity(), 2u);

  // Trimming leaves the kept pages; dropping forgets them all, and the next
  // lookup reads its whole path again.
  t.File().TrimPageCache();
  EXPECT_EQ(cache.UpperCount(), TPageCache::kKeptUpperPages);
  EXPECT_LE(cache.LowerCount(), 2u);
  t.File().DropCachedPages(false);
  EXPECT_EQ(cache.Count(), 0u);
  const uint64_t reads = t.File().CacheStats().DiskReads;
  ASSERT_TRUE(tree.IndexContains(MakeKey(400, true, 300).data()));
  EXPECT_EQ(t.File().CacheStats().DiskReads, reads + uint64_t(t.Levels(kSlot)));
  EXPECT_TRUE(t.NothingPinned());
  EXPECT_TRUE(t.Check().empty());
}

TEST(PageCacheLevelsTest, ATreeOfTwoLevelsKeepsTwoPagesAsBefore) {
  TreeFile t(2);
  t.Define(kSlot, IndexShape{12, true});
  ByteOrder order;
  TBTree tree(t.File(), kSlot, order);
  for (uint32_t v = 1; v <= 1000; ++v) tree.IndexInsert(MakeKey(12, true, v).data(), int32_t(v));
  t.Reopen();
  ASSERT_EQ(t.Levels(kSlot), 2);
  for (uint32_t v = 1; v <= 1000; v += 37) {
    ASSERT_TRUE(tree.IndexContains(MakeKey(12, true, v).data()));
    ASSERT_LE(t.File().PageCache(kSlot).Count(), 2u);
  }
}

TEST(PageCacheLevelsTest, SearchesHoldPlainLeavesAsReadAndEverythingElseDecodes) {
  TreeFile t(2);
  t.Define(kSlot, IndexShape{12, true});
  t.Define(2, IndexShape{12, true, kCompressFull}, "Packed");
  ByteOrder order;
  TBTree plain(t.File(), kSlot, order);
  TBTree packed(t.File(), 2, order);
  for (uint32_t v = 1; v <= 300; ++v) {
    plain.IndexInsert(MakeKey(12, true, 2 * v).data(), int32_t(v));
    packed.IndexInsert(MakeKey(12, true, 2 * v).data(), int32_t(v));
  }
  t.Reopen();
  ASSERT_EQ(t.Levels(kSlot), 2);

  TIndexPosition pos;
  ASSERT_TRUE(plain.FirstNotBelow(MakeKey(12, true, 101).data(), pos));
  EXPECT_EQ(pos.RecordNo, 51);
  const int32_t leafNo = pos.LeafPage;
  const TPage* held = t.File().PageCache(kSlot).Peek(leafNo);
  ASSERT_NE(held, nullptr);
  EXPECT_TRUE(held->Held());
  EXPECT_FALSE(t.File().PageCache(kSlot).Peek(t.File().RootPage(kSlot))->Held());

  // The held page answers as the decoded page of the same bytes does.
  const Bytes disk = test::DiskPage(t.Path(), leafNo);
  TPage decoded;
  decoded.Reset(leafNo, kSlot, t.File().SlotFormat(kSlot));
  DecodePage(disk.data(), decoded, false, "Towns");
  ASSERT_EQ(held->EntryCount(), decoded.EntryCount());
  EXPECT_EQ(held->PageType, decoded.PageType);
  EXPECT_EQ(held->NextPage, decoded.NextPage);
  for (size_t i = 0; i < decoded.EntryCount(); ++i) {
    ASSERT_TRUE(std::equal(held->Key(i), held->Key(i) + 12, decoded.Key(i))) << i;
    ASSERT_EQ(held->Pointer(i), decoded.Entry(i).Pointer) << i;
  }
  Bytes bytes(kIndexPageSize);
  t.File().LoadPageBytes(kSlot, leafNo, bytes.data());
  EXPECT_EQ(bytes, disk);
  TPage copy = t.Page(kSlot, leafNo);
  EXPECT_FALSE(copy.Held());
  EXPECT_EQ(copy.Entry(25).Pointer, decoded.Entry(25).Pointer);

  // Steps and searches keep it held; a change decodes it first and is made
  // on the decoded entries.
  ASSERT_TRUE(plain.NextEntry(pos));
  EXPECT_EQ(pos.RecordNo, 52);
  EXPECT_TRUE(held->Held());
  plain.IndexInsert(MakeKey(12, true, 103).data(), 1000);
  EXPECT_FALSE(held->Held());
  EXPECT_TRUE(held->Dirty);
  ASSERT_TRUE(plain.FirstNotBelow(MakeKey(12, true, 103).data(), pos));
  EXPECT_EQ(pos.RecordNo, 1000);
  ASSERT_TRUE(plain.NextEntry(pos));
  EXPECT_EQ(pos.RecordNo, 52);
  EXPECT_EQ(plain.EntryCount(), 301);

  // A fetch for anything but a search decodes a held page in place.
  t.Flush();
  t.File().DropCachedPages(false);
  ASSERT_TRUE(plain.IndexContains(MakeKey(12, true, 4).data()));
  const int32_t first = t.File().PageCache(kSlot).MostRecent()->PageNo;
  ASSERT_TRUE(t.File().PageCache(kSlot).MostRecent()->Held());
  TPage* fetched = t.File().FetchPage(kSlot, first, false);
  EXPECT_FALSE(fetched->Held());
  EXPECT_EQ(fetched->Entry(1).Pointer, 2);
  t.File().ReleasePage(fetched);

  // Compressed leaves are decoded for searches as well.
  ASSERT_TRUE(packed.IndexContains(MakeKey(12, true, 4).data()));
  EXPECT_FALSE(t.File().PageCache(2).MostRecent()->Held());
  EXPECT_TRUE(t.NothingPinned());
  EXPECT_TRUE(t.Check().empty());
}

TEST(PageCacheLevelsTest, AHeldLeafIsCheckedAsADecodedOneWouldBe) {
  TreeFile t(2);
  t.Define(kSlot, IndexShape{12, true});
  ByteOrder order;
  TBTree tree(t.File(), kSlot, order);
  for (uint32_t v = 1; v <= 300; ++v) tree.IndexInsert(MakeKey(12, true, v).data(), int32_t(v));
  TIndexPosition pos;
  ASSERT_TRUE(tree.LastEntry(pos));
  const int32_t leafNo = pos.LeafPage;
  t.Reopen();

  // 256 entries do not fit a leaf of 255: refused before anything of the
  // page is used, and nothing is left cached or pinned.
  test::PatchFile(t.Path(), size_t(leafNo) * kIndexPageSize + 1, Bytes{0x00, 0x01});
  t.File().DropCachedPages(false);
  EXPECT_EQ(CodeOf([&] { tree.IndexContains(MakeKey(12, true, 300).data()); }), LEDRA_INDEXCORRUPT);
  EXPECT_FALSE(t.File().PageCache(kSlot).Contains(leafNo));
  EXPECT_TRUE(t.NothingPinned());
}

// Holding leaves: the header as decoding takes it, entries read in place.
TEST(PageCacheLevelsTest, HoldingTakesOnlyPlainLeaves) {
  const TPageFormat plain{6, 1, kCompressNone, 1};
  auto bytes = [](uint8_t type, uint8_t count) {
    std::vector<uint8_t> b(kIndexPageSize, 0);
    b[0] = type;
    b[1] = count;
    b[3] = 7;  // PrevPage 7
    b[7] = 9;  // NextPage 9
    const uint8_t entries[] = {'A', 'B', 'C', 0, 0, 0, 5,    0,    0, 0,
                               'A', 'B', 'D', 0, 0, 0, 0x10, 0x27, 0, 0};
    std::copy(std::begin(entries), std::end(entries), b.begin() + 13);
    return b;
  };
  TPage page;
  page.Reset(3, kSlot, plain);
  std::vector<uint8_t> read = bytes(kPageLeaf, 2);
  const std::vector<uint8_t> original = read;
  ASSERT_TRUE(HoldLeafBytes(read, page, "T"));
  EXPECT_TRUE(page.Held());
  EXPECT_EQ(page.EntryCount(), 2);
  EXPECT_EQ(page.PrevPage, 7);
  EXPECT_EQ(page.NextPage, 9);
  EXPECT_EQ(page.Key(1)[2], 'D');
  EXPECT_EQ(page.Pointer(0), 5);
  EXPECT_EQ(page.Pointer(1), 10000);
  EXPECT_TRUE(std::equal(original.begin(), original.end(), page.HeldBytes()));
  DecodeHeldLeaf(page);
  EXPECT_FALSE(page.Held());
  EXPECT_EQ(page.Entry(1).Pointer, 10000);
  EXPECT_EQ(page.Key(0)[1], 'B');

  // Inner pages and compressed leaves stay with the caller, untouched.
  page.Reset(3, kSlot, plain);
  read = bytes(kPageInner, 2);
  EXPECT_FALSE(HoldLeafBytes(read, page, "T"));
  EXPECT_EQ(read[0], kPageInner);
  page.Reset(3, kSlot, TPageFormat{6, 1, kCompressFull, 1});
  read = bytes(kPageLeaf, 2);
  EXPECT_FALSE(HoldLeafBytes(read, page, "T"));
  EXPECT_FALSE(page.Held());
  // More entries than the leaf can have (6 + 4 bytes each: 408).
  page.Reset(3, kSlot, plain);
  read = bytes(kPageRootLeaf, 0);
  read[1] = 0x99;
  read[2] = 0x01;
  EXPECT_EQ(CodeOf([&] { HoldLeafBytes(read, page, "T"); }), LEDRA_INDEXCORRUPT);
  EXPECT_FALSE(page.Held());
}

}  // namespace
}  // namespace ledra
