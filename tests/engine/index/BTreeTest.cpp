#include "engine/index/BTree.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <iostream>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "platform/Diagnostics.h"
#include "platform/WinError.h"
#include "tests/engine/index/TreeTestSupport.h"

namespace ledra {
namespace {

using test::ByteOrder;
using test::Bytes;
using test::CodeOf;
using test::Hex;
using test::IndexShape;
using test::MakeKey;
using test::TreeFile;

constexpr int kSlot = 1;

Bytes KeyOf(const TIndexPosition& pos, size_t length) {
  return Bytes(pos.Key.begin(), pos.Key.begin() + std::ptrdiff_t(length));
}

Bytes Key12(uint32_t v) {
  return MakeKey(12, true, v);
}

// ---- the shapes the tree takes ----

TEST(BTreeTest, FirstKeyMakesOneRootLeaf) {
  TreeFile t;
  t.Define(kSlot, IndexShape{});
  ByteOrder order;
  TBTree tree(t.File(), kSlot, order, "ByTown");
  Bytes key = Hex("01 02 03 04 | 41 42 43 | 00 00 00 00 00");
  tree.IndexInsert(key.data(), 7);

  EXPECT_EQ(t.File().RootPage(kSlot), 1);
  EXPECT_EQ(t.File().NextPageNo(), 2);
  t.Flush();
  Bytes golden = test::Padded(Hex("03 | 01 00 | 00 00 00 00 | 00 00 00 00 | 00 00 |"
                                  "01 02 03 04 41 42 43 00 00 00 00 00 | 07 00 00 00"),
                              kIndexPageSize);
  EXPECT_EQ(test::DiskPage(t.Path(), 1), golden);
  EXPECT_TRUE(tree.IndexContains(key.data()));
  EXPECT_TRUE(t.NothingPinned());
}

TEST(BTreeTest, TwoHundredFiftySixthKeySplitsTheLeafAndMakesARoot) {
  TreeFile t;
  t.Define(kSlot, IndexShape{12, true});
  ByteOrder order;
  TBTree tree(t.File(), kSlot, order);
  for (uint32_t v = 2; v <= 256; ++v) tree.IndexInsert(Key12(v).data(), int32_t(v));
  TPage root = t.Page(kSlot, 1);
  EXPECT_EQ(root.PageType, kPageRootLeaf);
  EXPECT_EQ(root.EntryCount(), 255);

  // Not an append at the end (that keeps the old page full): halves.
  tree.IndexInsert(Key12(1).data(), 1);
  EXPECT_EQ(t.File().RootPage(kSlot), 3);
  t.Flush();
  Bytes k1 = Key12(1);
  Bytes k129 = Key12(129);
  Bytes rootBytes = Hex("00 | 02 00 | 00 00 00 00 | 00 00 00 00 | 00 00");
  rootBytes.insert(rootBytes.end(), k1.begin(), k1.end());
  Bytes tail1 = Hex("01 00 00 00 | 80 00 00 00");
  rootBytes.insert(rootBytes.end(), tail1.begin(), tail1.end());
  rootBytes.insert(rootBytes.end(), k129.begin(), k129.end());
  Bytes tail2 = Hex("02 00 00 00 | 80 00 00 00");
  rootBytes.insert(rootBytes.end(), tail2.begin(), tail2.end());
  EXPECT_EQ(test::DiskPage(t.Path(), 3), test::Padded(rootBytes, kIndexPageSize));

  Bytes left = test::DiskPage(t.Path(), 1);
  Bytes right = test::DiskPage(t.Path(), 2);
  EXPECT_EQ(Bytes(left.begin(), left.begin() + 13),
            Hex("02 | 80 00 | 00 00 00 00 | 02 00 00 00 | 00 00"));
  EXPECT_EQ(Bytes(right.begin(), right.begin() + 13),
            Hex("02 | 80 00 | 01 00 00 00 | 00 00 00 00 | 00 00"));
  EXPECT_TRUE(t.Check().empty());
}

TEST(BTreeTest, InnerPageOfKeyLength12HoldsTwoHundredFourEntries) {
  TreeFile t(64);
  t.Define(kSlot, IndexShape{12, true});
  ByteOrder order;
  TBTree tree(t.File(), kSlot, order);
  uint32_t v = 0;
  auto rootCount = [&] { return t.Page(kSlot, t.File().RootPage(kSlot)).EntryCount(); };
  // Ascending keys split the last leaf every 255 keys: looking every 16 keys
  // cannot miss the moment.
  while (v % 16 != 0 || t.Levels(kSlot) < 2 || rootCount() < 204) {
    ++v;
    tree.IndexInsert(Key12(v).data(), int32_t(v));
  }
  int32_t root = t.File().RootPage(kSlot);
  EXPECT_EQ(t.Page(kSlot, root).PageType, kPageRootInner);
  // Fill the last leaf to the brim: the root keeps its 204 entries.
  TIndexPosition last;
  ASSERT_TRUE(tree.LastEntry(last));
  while (t.Page(kSlot, last.LeafPage).EntryCount() < 255) {
    ++v;
    tree.IndexInsert(Key12(v).data(), int32_t(v));
  }
  EXPECT_EQ(t.File().RootPage(kSlot), root);
  EXPECT_EQ(rootCount(), 204);
  // One more leaf split gives the root a 205th entry, at its end: the old
  // root keeps 204 and the new page takes the new entry.
  ++v;
  tree.IndexInsert(Key12(v).data(), int32_t(v));
  ASSERT_NE(t.File().RootPage(kSlot), root);
  TPage newRoot = t.Page(kSlot, t.File().RootPage(kSlot));
  ASSERT_EQ(newRoot.EntryCount(), 2);
  EXPECT_EQ(t.Page(kSlot, newRoot.Entry(0).Pointer).EntryCount(), 204);
  EXPECT_EQ(t.Page(kSlot, newRoot.Entry(1).Pointer).EntryCount(), 1);
  EXPECT_EQ(t.Page(kSlot, root).PageType, kPageInner);
  EXPECT_EQ(int64_t(newRoot.Entry(0).Count) + newRoot.Entry(1).Count, int64_t(v));
  EXPECT_EQ(tree.EntryCount(), int32_t(v));
  EXPECT_TRUE(t.Check().empty());
}

TEST(BTreeTest, KeyBelowEveryKeyUpdatesTheFirstSeparatorUpToTheRoot) {
  TreeFile t(8);
  t.Define(kSlot, IndexShape{400, true});
  ByteOrder order;
  TBTree tree(t.File(), kSlot, order);
  for (uint32_t v = 1000; v < 1600; ++v) {
    tree.IndexInsert(MakeKey(400, true, v).data(), int32_t(v));
  }
  ASSERT_GE(t.Levels(kSlot), 3);
  Bytes lowest = MakeKey(400, true, 5);
  tree.IndexInsert(lowest.data(), 5);
  int levels = 0;
  for (int32_t n = t.File().RootPage(kSlot); n != 0; ++levels) {
    TPage page = t.Page(kSlot, n);
    EXPECT_EQ(Bytes(page.Key(0), page.Key(0) + 400), lowest) << "level " << levels;
    n = page.IsInner() ? page.Entry(0).Pointer : 0;
  }
  EXPECT_GE(levels, 3);
  EXPECT_TRUE(t.Check().empty());
}

TEST(BTreeTest, DeletingEveryKeyFreesEveryPageAndReusesTheLastFreed) {
  TreeFile t;
  t.Define(kSlot, IndexShape{12, true});
  ByteOrder order;
  TBTree tree(t.File(), kSlot, order);
  std::vector<uint32_t> values(3000);
  for (uint32_t i = 0; i < values.size(); ++i) values[i] = i * 7 + 1;
  std::mt19937 rng(11);
  std::shuffle(values.begin(), values.end(), rng);
  for (uint32_t v : values) tree.IndexInsert(Key12(v).data(), int32_t(v));
  ASSERT_GE(t.Levels(kSlot), 2);
  std::shuffle(values.begin(), values.end(), rng);
  for (uint32_t v : values) tree.IndexDelete(Key12(v).data());

  EXPECT_EQ(t.File().RootPage(kSlot), 0);
  auto findings = t.Check();
  EXPECT_TRUE(findings.empty()) << TIndexChecker::Describe(findings);
  // The free list holds every page of the file.
  int32_t freePages = 0;
  Bytes bytes(kIndexPageSize);
  for (int32_t n = t.File().FirstFreePage(kSlot); n != 0; ++freePages) {
    t.File().LoadPageBytes(kSlot, n, bytes.data());
    n = GetLEInt32(bytes.data() + 7);
  }
  EXPECT_EQ(freePages, t.File().NextPageNo() - 1);

  int32_t lastFreed = t.File().FirstFreePage(kSlot);
  t.Reopen();
  tree.IndexInsert(Key12(5).data(), 5);
  EXPECT_EQ(t.File().RootPage(kSlot), lastFreed);
  EXPECT_EQ(t.Page(kSlot, lastFreed).PageType, kPageRootLeaf);
  EXPECT_TRUE(t.Check().empty());
}

TEST(BTreeTest, DeletingAnAbsentKeyChangesNothing) {
  TreeFile t;
  t.Define(kSlot, IndexShape{12, true});
  ByteOrder order;
  TBTree tree(t.File(), kSlot, order, "ByTown");
  EXPECT_EQ(CodeOf([&] { tree.IndexDelete(Key12(1).data()); }), LEDRA_INDEXCORRUPT);
  for (uint32_t v = 2; v <= 1000; v += 2) tree.IndexInsert(Key12(v).data(), int32_t(v));
  t.Flush();
  Bytes before = test::ReadFileBytes(t.Path());
  TIndexHeader header = t.File().Header();

  for (uint32_t absent : {1u, 3u, 501u, 999u, 5000u}) {
    try {
      tree.IndexDelete(Key12(absent).data());
      ADD_FAILURE() << "deleting " << absent << " succeeded";
    } catch (const ELedraEngineError& error) {
      EXPECT_EQ(error.ErrorCode, LEDRA_INDEXCORRUPT);
      EXPECT_EQ(error.ErrorIndex, "ByTown");
      EXPECT_EQ(error.ErrorTable, "Towns");
    }
  }
  EXPECT_FALSE(t.File().WriteDirtyPages(false)) << "a page became dirty";
  EXPECT_EQ(t.File().Header(), header);
  EXPECT_EQ(test::ReadFileBytes(t.Path()), before);
  EXPECT_TRUE(t.NothingPinned());
}

TEST(BTreeTest, DuplicatesAreRefusedAndUniqueChecksFollowTheIndexKind) {
  TreeFile t;
  t.Define(kSlot, IndexShape{12, true}, "ByTown");
  t.Define(2, IndexShape{16, false}, "ByName");
  t.Define(kDeletedSlot, IndexShape{5, false});
  ByteOrder order;
  TBTree unique(t.File(), kSlot, order, "ByTown");
  TBTree plain(t.File(), 2, order, "ByName");
  TBTree deleted(t.File(), kDeletedSlot, order, "Sys Deleted");

  Bytes key = Key12(42);
  unique.IndexInsert(key.data(), 42);
  try {
    unique.CheckUniqueKey(key.data());
    ADD_FAILURE() << "no key violation";
  } catch (const ELedraEngineError& error) {
    EXPECT_EQ(error.ErrorCode, LEDRA_KEYVIOL);
    EXPECT_EQ(error.ErrorIndex, "ByTown");
    EXPECT_EQ(error.ErrorTable, "Towns");
  }
  EXPECT_EQ(CodeOf([&] { unique.CheckUniqueKey(Key12(43).data()); }), LEDRA_NONE);
  t.Flush();
  EXPECT_EQ(CodeOf([&] { unique.IndexInsert(key.data(), 99); }), LEDRA_KEYVIOL);
  EXPECT_FALSE(t.File().WriteDirtyPages(false));

  Bytes tailed = MakeKey(16, false, 1, 7);
  plain.IndexInsert(tailed.data(), 1);
  EXPECT_EQ(CodeOf([&] { plain.CheckUniqueKey(tailed.data()); }), LEDRA_NONE);

  Bytes live = Hex("00 80 00 00 01");
  deleted.IndexInsert(live.data(), 1);
  EXPECT_EQ(CodeOf([&] { deleted.CheckUniqueKey(live.data()); }), LEDRA_KEYVIOL);
}

TEST(BTreeTest, ReplaceMovesAnEntryOrRefusesBeforeChanging) {
  TreeFile t;
  t.Define(kSlot, IndexShape{12, true});
  ByteOrder order;
  TBTree tree(t.File(), kSlot, order);
  for (uint32_t v = 1; v <= 600; ++v) tree.IndexInsert(Key12(v * 2).data(), int32_t(v));

  tree.IndexReplace(Key12(10).data(), Key12(11).data(), 5);
  EXPECT_FALSE(tree.IndexContains(Key12(10).data()));
  TIndexPosition pos;
  ASSERT_TRUE(tree.FirstNotBelow(Key12(11).data(), pos));
  EXPECT_EQ(KeyOf(pos, 12), Key12(11));
  EXPECT_EQ(pos.RecordNo, 5);
  EXPECT_EQ(pos.SequenceNo, 5);

  t.Flush();
  Bytes before = test::ReadFileBytes(t.Path());
  EXPECT_EQ(CodeOf([&] { tree.IndexReplace(Key12(3).data(), Key12(5).data(), 1); }),
            LEDRA_INDEXCORRUPT);
  EXPECT_EQ(CodeOf([&] { tree.IndexReplace(Key12(4).data(), Key12(6).data(), 2); }), LEDRA_KEYVIOL);
  EXPECT_FALSE(t.File().WriteDirtyPages(false));
  EXPECT_EQ(test::ReadFileBytes(t.Path()), before);
  EXPECT_TRUE(t.Check().empty());
}

// Arms a read fault for the moment a page that was changed in the cache and
// then evicted (written) is about to be read back.
class TFailReadingBack final : public TIndexChangeCheck {
 public:
  TFailReadingBack(const TIndexFile& file, int slot, int32_t pageNo)
      : file_(file), slot_(slot), pageNo_(pageNo) {}
  bool CheckForChanges() override {
    const TPage* cached = file_.PageCache(slot_).Peek(pageNo_);
    if (cached != nullptr && cached->Dirty) changed_ = true;
    if (cached == nullptr && changed_ && !armed_) {
      platform::FailNext(platform::OsCall::Read, platform::kErrorReadFault);
      armed_ = true;
    }
    return false;
  }
  bool Armed() const { return armed_; }

 private:
  const TIndexFile& file_;
  int slot_;
  int32_t pageNo_;
  bool changed_ = false;
  bool armed_ = false;
};

TEST(BTreeTest, AReplaceThatCannotAddTheNewKeyPutsTheOldOneBackOrReportsTheLoss) {
  // Two leaves: keys 1..128 on the first, 129..383 filling the second, so
  // that a key above them all needs a split, and no page can be added.
  TreeFile t;
  t.Define(kSlot, IndexShape{12, true});
  ByteOrder order;
  TBTree tree(t.File(), kSlot, order, "ByTown");
  // Key 1 last into the full root leaf halves it; 257 on are appended.
  for (uint32_t v = 2; v <= 256; ++v) tree.IndexInsert(Key12(v).data(), int32_t(v));
  tree.IndexInsert(Key12(1).data(), 1);
  for (uint32_t v = 257; v <= 383; ++v) tree.IndexInsert(Key12(v).data(), int32_t(v));
  ASSERT_EQ(t.Levels(kSlot), 2);
  TIndexPosition first;
  ASSERT_TRUE(tree.FirstEntry(first));
  const int32_t firstLeaf = first.LeafPage;
  const int32_t nextPageNo = t.File().NextPageNo(kSlot);
  t.Reopen();
  t.File().SetNextPageNo(kSlot, kLastPageNo + 1);

  // The new key fails, the old one goes back: the first failure is raised.
  EXPECT_EQ(CodeOf([&] { tree.IndexReplace(Key12(5).data(), Key12(1000).data(), 5); }),
            LEDRA_TABLEFULL);
  EXPECT_TRUE(tree.IndexContains(Key12(5).data()));
  EXPECT_FALSE(tree.IndexContains(Key12(1000).data()));
  EXPECT_EQ(tree.EntryCount(), 383);
  EXPECT_TRUE(t.NothingPinned());

  // Now the old key's leaf, evicted meanwhile, cannot be read back either:
  // the record is in the index under neither key, and that is reported.
  t.File().SetNextPageNo(kSlot, nextPageNo);
  t.Reopen();
  t.File().SetNextPageNo(kSlot, kLastPageNo + 1);
  TFailReadingBack failReadingBack(t.File(), kSlot, firstLeaf);
  tree.SetChangeCheck(&failReadingBack);
  auto error =
      test::EngineErrorOf([&] { tree.IndexReplace(Key12(6).data(), Key12(1000).data(), 6); });
  platform::ClearFaults();
  tree.SetChangeCheck(nullptr);
  EXPECT_TRUE(failReadingBack.Armed());
  ASSERT_TRUE(error);
  EXPECT_EQ(error->ErrorCode, LEDRA_INDEXCORRUPT);
  EXPECT_EQ(error->ErrorIndex, "ByTown");
  EXPECT_EQ(error->ErrorTable, "Towns");
  EXPECT_NE(error->ErrorText.find("# 9479"), std::string::npos) << error->ErrorText;
  // The tree is sound, one entry short: what a verify finds and a rebuild mends.
  EXPECT_FALSE(tree.IndexContains(Key12(6).data()));
  EXPECT_FALSE(tree.IndexContains(Key12(1000).data()));
  EXPECT_EQ(tree.EntryCount(), 382);
  t.File().SetNextPageNo(kSlot, nextPageNo);
  EXPECT_TRUE(t.Check().empty());
  EXPECT_TRUE(t.NothingPinned());
}

TEST(BTreeTest, AFullFileLeavesTheTreeAsItWas) {
  TreeFile t;
  t.Define(kSlot, IndexShape{12, true});
  ByteOrder order;
  TBTree tree(t.File(), kSlot, order);
  for (uint32_t v = 1; v <= 255; ++v) tree.IndexInsert(Key12(v).data(), int32_t(v));
  t.Flush();
  // No page can be appended any more: the split that the next key needs
  // fails and the leaf keeps its 255 entries.
  t.File().SetNextPageNo(kSlot, kLastPageNo + 1);
  EXPECT_EQ(CodeOf([&] { tree.IndexInsert(Key12(300).data(), 300); }), LEDRA_TABLEFULL);
  EXPECT_EQ(t.Page(kSlot, 1).EntryCount(), 255);
  EXPECT_FALSE(tree.IndexContains(Key12(300).data()));
  EXPECT_EQ(t.File().RootPage(kSlot), 1);
  EXPECT_EQ(t.File().FirstFreePage(kSlot), 0);
  EXPECT_TRUE(t.NothingPinned());
}

// ---- the leaf level ----

TEST(BTreeTest, SeeksWalksAndRuns) {
  TreeFile t;
  t.Define(kSlot, IndexShape{12, true});
  ByteOrder order;
  TBTree tree(t.File(), kSlot, order);
  TIndexPosition pos;
  EXPECT_FALSE(tree.FirstEntry(pos));
  EXPECT_FALSE(tree.FirstNotBelow(Key12(1).data(), pos));
  // Even values 2..2000, record numbers 1..1000.
  for (uint32_t v = 1; v <= 1000; ++v) tree.IndexInsert(Key12(v * 2).data(), int32_t(v));
  ASSERT_GE(t.Levels(kSlot), 2);

  ASSERT_TRUE(tree.FirstNotBelow(Key12(501).data(), pos));
  EXPECT_EQ(KeyOf(pos, 12), Key12(502));
  EXPECT_EQ(pos.SequenceNo, 251);
  ASSERT_TRUE(tree.LastNotAbove(Key12(501).data(), pos));
  EXPECT_EQ(KeyOf(pos, 12), Key12(500));
  EXPECT_EQ(pos.SequenceNo, 250);
  EXPECT_FALSE(tree.FirstNotBelow(Key12(2001).data(), pos));
  EXPECT_FALSE(tree.LastNotAbove(Key12(1).data(), pos));
  // A prefix: the first 3 bytes of 0x000100.. (values 256..511).
  ASSERT_TRUE(tree.FirstNotBelow(Key12(256).data(), pos, 3));
  EXPECT_EQ(KeyOf(pos, 12), Key12(256));
  ASSERT_TRUE(tree.LastNotAbove(Key12(256).data(), pos, 3));
  EXPECT_EQ(KeyOf(pos, 12), Key12(510));

  // Walking across leaf boundaries, both ways, from every start.
  ASSERT_TRUE(tree.EntryAtSequence(300, pos));
  EXPECT_EQ(KeyOf(pos, 12), Key12(600));
  for (int i = 0; i < 400; ++i) ASSERT_TRUE(tree.NextEntry(pos));
  EXPECT_EQ(KeyOf(pos, 12), Key12(1400));
  EXPECT_EQ(pos.SequenceNo, 700);
  for (int i = 0; i < 699; ++i) ASSERT_TRUE(tree.PrevEntry(pos));
  EXPECT_EQ(pos.SequenceNo, 1);
  EXPECT_FALSE(tree.PrevEntry(pos));
  EXPECT_EQ(pos.SequenceNo, 1) << "unchanged at the start";
  ASSERT_TRUE(tree.LastEntry(pos));
  EXPECT_EQ(pos.SequenceNo, 1000);
  EXPECT_FALSE(tree.NextEntry(pos));
  EXPECT_FALSE(tree.EntryAtSequence(1001, pos));
  EXPECT_FALSE(tree.EntryAtSequence(0, pos));

  // The current entry deleted under the position: the step goes by key.
  ASSERT_TRUE(tree.FirstNotBelow(Key12(800).data(), pos));
  tree.IndexDelete(Key12(800).data());
  tree.IndexDelete(Key12(802).data());
  ASSERT_TRUE(tree.NextEntry(pos));
  EXPECT_EQ(KeyOf(pos, 12), Key12(804));
  EXPECT_EQ(pos.SequenceNo, 400);
  ASSERT_TRUE(tree.PrevEntry(pos));
  EXPECT_EQ(KeyOf(pos, 12), Key12(798));
  TIndexPosition none;
  ASSERT_TRUE(tree.NextEntry(none));
  EXPECT_EQ(KeyOf(none, 12), Key12(2));

  // Record numbers 1..1000 follow the key order, so runs go to the leaf's end.
  ASSERT_TRUE(tree.FirstEntry(pos));
  TPage leaf = t.Page(kSlot, pos.LeafPage);
  EXPECT_EQ(tree.ConsecutiveRun(pos, 1000, 1), leaf.EntryCount());
  EXPECT_EQ(tree.ConsecutiveRun(pos, 5, 1), 5);
  EXPECT_EQ(tree.ConsecutiveRun(pos, 5, -1), 1);
  ASSERT_TRUE(tree.FirstNotBelow(Key12(798).data(), pos));
  EXPECT_EQ(tree.ConsecutiveRun(pos, 10, 1), 1) << "799 and 800 (keys 800, 802) are gone";
  EXPECT_TRUE(t.NothingPinned());
}

TEST(BTreeTest, WithoutCountsSequenceNumbersComeFromTheLeafLevel) {
  TreeFile t;
  t.Define(kSlot, IndexShape{12, true, kCompressNone, /*NoEntryCounts=*/true});
  ByteOrder order;
  TBTree tree(t.File(), kSlot, order);
  EXPECT_FALSE(tree.HasEntryCounts());
  for (uint32_t v = 1; v <= 2000; ++v) tree.IndexInsert(Key12(v).data(), int32_t(v));
  // An inner entry is key and child only.
  EXPECT_EQ(InnerCapacity(t.File().SlotFormat(kSlot)), 4083 / 16);

  TIndexPosition pos;
  ASSERT_TRUE(tree.FirstNotBelow(Key12(1234).data(), pos));
  EXPECT_EQ(pos.SequenceNo, 0) << "not known from a descent";
  EXPECT_EQ(tree.SequenceNumber(pos), 1234);
  ASSERT_TRUE(tree.EntryAtSequence(1777, pos));
  EXPECT_EQ(KeyOf(pos, 12), Key12(1777));
  ASSERT_TRUE(tree.NextEntry(pos));
  EXPECT_EQ(pos.SequenceNo, 1778);
  EXPECT_EQ(tree.EntryCount(), 2000);
  EXPECT_FALSE(tree.EntryAtSequence(2001, pos));
  EXPECT_TRUE(t.Check().empty());
}

TEST(BTreeTest, ReadsHoldTwoPagesAtMostSoTheSmallCacheServesAnyDepth) {
  TreeFile t(2);
  t.Define(kSlot, IndexShape{400, true});
  ByteOrder order;
  TBTree tree(t.File(), kSlot, order);
  for (uint32_t v = 1; v <= 600; ++v) tree.IndexInsert(MakeKey(400, true, v).data(), int32_t(v));
  t.Reopen();
  ASSERT_GE(t.Levels(kSlot), 3);
  TIndexPosition pos;
  for (uint32_t v = 1; v <= 600; v += 13) {
    ASSERT_TRUE(tree.IndexContains(MakeKey(400, true, v).data()));
    ASSERT_TRUE(tree.EntryAtSequence(int32_t(v), pos));
  }
  ASSERT_TRUE(tree.LastEntry(pos));
  while (tree.PrevEntry(pos)) {
  }
  EXPECT_EQ(pos.SequenceNo, 1);
  EXPECT_EQ(t.File().PageCache(kSlot).Capacity(), 2u);
}

// ---- the changed signal ----

class DropAndReport final : public TIndexChangeCheck {
 public:
  explicit DropAndReport(TIndexFile& file, int changes) : file_(file), changes_(changes) {}
  bool CheckForChanges() override {
    ++calls;
    if (changes_ == 0) return false;
    --changes_;
    file_.DropCachedPages(false);
    return true;
  }
  int calls = 0;

 private:
  TIndexFile& file_;
  int changes_;
};

TEST(BTreeTest, TheChangedSignalRestartsFromTheRoot) {
  TreeFile t;
  t.Define(kSlot, IndexShape{12, true});
  ByteOrder order;
  {
    TBTree tree(t.File(), kSlot, order);
    for (uint32_t v = 1; v <= 1000; ++v) tree.IndexInsert(Key12(v).data(), int32_t(v));
  }
  t.Reopen();

  DropAndReport once(t.File(), 1);
  TBTree tree(t.File(), kSlot, order, "ByTown", &once);
  EXPECT_TRUE(tree.IndexContains(Key12(700).data()));
  EXPECT_EQ(once.calls, 3) << "root, restart: root and leaf";
  EXPECT_TRUE(t.NothingPinned()) << "the page pinned when the cache was dropped is freed";
  int calls = once.calls;
  EXPECT_TRUE(tree.IndexContains(Key12(700).data()));
  EXPECT_EQ(once.calls, calls) << "cached pages ask nothing";

  // A table that keeps changing gives up.
  t.Reopen();
  DropAndReport always(t.File(), 1000);
  tree.SetChangeCheck(&always);
  try {
    tree.IndexInsert(Key12(5000).data(), 5000);
    ADD_FAILURE() << "no error";
  } catch (const ELedraEngineError& error) {
    EXPECT_EQ(error.ErrorCode, LEDRA_LOCKTIMEOUT);
  }
  EXPECT_EQ(always.calls, TBTree::kMaxRestarts);
  EXPECT_TRUE(t.NothingPinned());

  // The session that locks around every operation is never asked.
  t.SetStrict(true);
  DropAndReport strict(t.File(), 1000);
  tree.SetChangeCheck(&strict);
  EXPECT_TRUE(tree.IndexContains(Key12(5).data()));
  EXPECT_EQ(strict.calls, 0);
}

// ---- randomised against a map ----

struct ModelCase {
  uint8_t Compression;
  bool Unique;
  bool Descending;
  bool NoCounts;
};

std::string CaseName(const ::testing::TestParamInfo<ModelCase>& info) {
  static const char* const kNames[] = {"None", "DupByte", "TrailByte", "Full"};
  const ModelCase& c = info.param;
  return std::string(kNames[c.Compression]) + (c.Unique ? "Unique" : "Duplicates") +
         (c.Descending ? "Desc" : "Asc") + (c.NoCounts ? "NoCounts" : "Counts");
}

size_t KeysToUse() {
  const char* text = std::getenv("OSTREVO_BTREE_KEYS");
  long value = text != nullptr ? std::strtol(text, nullptr, 10) : 0;
  return value > 0 ? size_t(value) : 800;
}

class BTreeModelTest : public ::testing::TestWithParam<ModelCase> {
 protected:
  using Model = std::map<Bytes, int32_t, ByteOrder>;

  // The key of id v: unique keys order by v; duplicate keys share their
  // field part in pairs and differ in the tail.
  Bytes KeyFor(uint32_t v) const {
    const ModelCase& c = GetParam();
    uint32_t field = c.Unique ? v : v / 2;
    size_t room = keyLength_ - (c.Unique ? 0u : 4u) - 4u;
    size_t fill = (uint64_t(field) * 2654435761u >> 7) % room;
    return MakeKey(keyLength_, c.Unique, field, v, fill);
  }

  void Verify(TreeFile& t, TBTree& tree, const Model& model, std::mt19937& rng) {
    const ModelCase& c = GetParam();
    ByteOrder order(c.Descending);
    TIndexChecker checker(t.File());
    checker.SetComparator(kSlot, &order);
    std::vector<TIndexFinding> findings = checker.CheckFile();
    ASSERT_TRUE(findings.empty()) << TIndexChecker::Describe(findings);
    ASSERT_TRUE(t.NothingPinned());
    levels_ = std::max(levels_, t.Levels(kSlot));
    // Reading the whole index back is cheaper with the upper levels cached;
    // the changes themselves run with the small cache.
    t.Configure(256);
    struct Restore {
      TreeFile& t;
      ~Restore() {
        t.Configure(2);
        t.File().TrimPageCache();
      }
    } restore{t};

    // In order, with sequence numbers.
    std::vector<const Model::value_type*> flat;
    flat.reserve(model.size());
    TIndexPosition pos;
    bool more = tree.FirstEntry(pos);
    int32_t seq = 1;
    for (const auto& entry : model) {
      ASSERT_TRUE(more) << "walk ended early at " << seq;
      ASSERT_EQ(KeyOf(pos, keyLength_), entry.first) << "at " << seq;
      ASSERT_EQ(pos.RecordNo, entry.second);
      if (!c.NoCounts) {
        ASSERT_EQ(pos.SequenceNo, seq);
      }
      flat.push_back(&entry);
      more = tree.NextEntry(pos);
      ++seq;
    }
    ASSERT_FALSE(more) << "walk went past the model";
    ASSERT_EQ(tree.EntryCount(), int32_t(model.size()));
    if (model.empty()) return;

    // Backwards from the end.
    ASSERT_TRUE(tree.LastEntry(pos));
    for (size_t i = model.size(); i-- > 0;) {
      ASSERT_EQ(KeyOf(pos, keyLength_), flat[i]->first) << "backwards at " << i + 1;
      ASSERT_EQ(tree.PrevEntry(pos), i > 0);
    }

    // Sequence numbers: every one (a sample without counts, where each costs
    // a walk of the leaf level).
    size_t samples = c.NoCounts ? 40 : std::min<size_t>(model.size(), 4000);
    std::uniform_int_distribution<size_t> any(1, model.size());
    for (size_t i = 0; i < samples; ++i) {
      size_t s = samples == model.size() ? i + 1 : any(rng);
      ASSERT_TRUE(tree.EntryAtSequence(int32_t(s), pos)) << "sequence " << s;
      ASSERT_EQ(KeyOf(pos, keyLength_), flat[s - 1]->first) << "sequence " << s;
      ASSERT_EQ(tree.SequenceNumber(pos), int32_t(s));
    }

    // Probes between keys.
    std::uniform_int_distribution<uint32_t> id(0, maxId_ + 10);
    for (int i = 0; i < 200; ++i) {
      Bytes probe = KeyFor(id(rng));
      auto lower = model.lower_bound(probe);
      bool present = lower != model.end() && !order(probe, lower->first);
      ASSERT_EQ(tree.IndexContains(probe.data()), present);
      bool found = tree.FirstNotBelow(probe.data(), pos);
      ASSERT_EQ(found, lower != model.end());
      if (found) {
        ASSERT_EQ(KeyOf(pos, keyLength_), lower->first);
      }
      auto upper = model.upper_bound(probe);
      found = tree.LastNotAbove(probe.data(), pos);
      ASSERT_EQ(found, upper != model.begin());
      if (found) {
        ASSERT_EQ(KeyOf(pos, keyLength_), std::prev(upper)->first);
      }
    }
  }

  uint16_t keyLength_ = 0;
  uint32_t maxId_ = 0;
  int levels_ = 0;
};

TEST_P(BTreeModelTest, MatchesAMapThroughInsertsAndDeletes) {
  const ModelCase& c = GetParam();
  const size_t n = KeysToUse();
  keyLength_ = n >= 50000 ? 300 : 400;
  uint32_t seed = 20240 + uint32_t(c.Compression) * 8 + (c.Unique ? 4 : 0) +
                  (c.Descending ? 2 : 0) + (c.NoCounts ? 1 : 0);
  SCOPED_TRACE("seed " + std::to_string(seed) + ", " + std::to_string(n) + " keys");
  std::mt19937 rng(seed);
  auto started = std::chrono::steady_clock::now();

  TreeFile t(2);
  t.Define(kSlot, IndexShape{keyLength_, c.Unique, c.Compression, c.NoCounts, c.Descending});
  ByteOrder order(c.Descending);
  TBTree tree(t.File(), kSlot, order, "ByTown");
  Model model(order);

  std::vector<uint32_t> ids(n);
  for (uint32_t i = 0; i < n; ++i) ids[i] = i;
  std::shuffle(ids.begin(), ids.end(), rng);
  maxId_ = uint32_t(n + n / 2);
  const size_t batch = std::max<size_t>(n / 5, 1);
  int batches = 0;
  // Between batches the cache is sometimes written, sometimes written and
  // dropped, so that pages also go through the file.
  auto check = [&] {
    ++batches;
    if (batches % 3 == 1) t.File().WriteDirtyPages(false);
    if (batches % 3 == 2) t.Reopen();
    Verify(t, tree, model, rng);
  };

  // Inserts.
  for (size_t i = 0; i < n; ++i) {
    Bytes key = KeyFor(ids[i]);
    tree.IndexInsert(key.data(), int32_t(ids[i] + 1));
    model.emplace(key, int32_t(ids[i] + 1));
    if ((i + 1) % batch == 0) {
      check();
      if (HasFatalFailure()) return;
    }
  }
  // Inserts and deletes mixed.
  std::vector<uint32_t> present(ids.begin(), ids.end());
  uint32_t nextId = uint32_t(n);
  for (size_t i = 0; i < n / 2; ++i) {
    if (rng() % 10 < 6 && !present.empty()) {
      size_t at = rng() % present.size();
      Bytes key = KeyFor(present[at]);
      tree.IndexDelete(key.data());
      model.erase(key);
      present[at] = present.back();
      present.pop_back();
    } else {
      Bytes key = KeyFor(nextId);
      tree.IndexInsert(key.data(), int32_t(nextId + 1));
      model.emplace(key, int32_t(nextId + 1));
      present.push_back(nextId++);
    }
    if ((i + 1) % batch == 0) {
      check();
      if (HasFatalFailure()) return;
    }
  }
  // Everything deleted.
  std::shuffle(present.begin(), present.end(), rng);
  for (size_t i = 0; i < present.size(); ++i) {
    Bytes key = KeyFor(present[i]);
    tree.IndexDelete(key.data());
    model.erase(key);
    if ((i + 1) % batch == 0) {
      check();
      if (HasFatalFailure()) return;
    }
  }
  check();
  if (HasFatalFailure()) return;
  EXPECT_EQ(t.File().RootPage(kSlot), 0);

  double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  if (n >= 800) {
    EXPECT_GE(levels_, 3);
  }
  if (n >= 100000) {
    std::cout << "[ levels ] " << CaseName({c, 0}) << ": " << levels_ << " levels, " << n
              << " keys, " << seconds << " s\n";
    EXPECT_GE(levels_, 4);
  }
}

std::vector<ModelCase> AllCases() {
  std::vector<ModelCase> cases;
  for (uint8_t compression = 0; compression <= kCompressFull; ++compression) {
    for (bool unique : {true, false}) {
      for (bool descending : {false, true}) {
        for (bool noCounts : {false, true}) {
          cases.push_back({compression, unique, descending, noCounts});
        }
      }
    }
  }
  return cases;
}

INSTANTIATE_TEST_SUITE_P(Shapes, BTreeModelTest, ::testing::ValuesIn(AllCases()), CaseName);

}  // namespace
}  // namespace ledra
