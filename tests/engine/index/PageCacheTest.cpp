#include "engine/index/PageCache.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <vector>

#include "engine/index/PageStack.h"
#include "platform/Diagnostics.h"
#include "tests/engine/index/TreeTestSupport.h"

namespace ledra {
namespace {

using platform::CallCount;
using platform::OsCall;
using test::Bytes;
using test::CodeOf;
using test::Hex;
using test::IndexShape;
using test::TreeFile;

constexpr int kSlot = 1;

std::vector<int32_t> CachedPages(TIndexFile& file, int slot) {
  std::vector<int32_t> pages;
  for (const auto& page : file.PageCache(slot).Pages()) pages.push_back(page->PageNo);
  return pages;
}

// Appends `count` leaf pages to the slot, each holding one entry, written.
void AppendPages(TreeFile& t, int count) {
  for (int i = 0; i < count; ++i) {
    TPage* page = t.File().AllocatePage(kSlot);
    page->PageType = kPageLeaf;
    Bytes key = test::MakeKey(12, true, uint32_t(page->PageNo));
    page->InsertEntry(0, key.data(), page->PageNo);
    t.File().ReleasePage(page);
    t.File().WriteDirtyPages(false);
  }
}

TEST(PageStackTest, KeepsFourClearedSpares) {
  TPageStack stack;
  std::vector<std::unique_ptr<TPage>> taken;
  for (int i = 0; i < 6; ++i) {
    taken.push_back(stack.Take());
    TPage& page = *taken.back();
    page.Reset(10 + i, 1, TPageFormat{12, 1, kCompressNone, 1});
    Bytes key(12, 0x41);
    page.InsertEntry(0, key.data(), 5);
    page.Dirty = true;
    page.Pins = 3;
    page.NextPage = 9;
  }
  TPage* last = taken.back().get();
  for (auto& page : taken) stack.Return(std::move(page));
  EXPECT_EQ(stack.SpareCount(), TPageStack::kSpares);

  std::unique_ptr<TPage> again = stack.Take();
  EXPECT_NE(again.get(), last) << "the sixth buffer was freed; the fourth is on top";
  EXPECT_EQ(again->PageNo, 0);
  EXPECT_EQ(again->EntryCount(), 0);
  EXPECT_EQ(again->Pins, 0);
  EXPECT_FALSE(again->Dirty);
  EXPECT_EQ(again->NextPage, 0);
  EXPECT_EQ(stack.SpareCount(), 3u);
}

TEST(PageCacheTest, FetchReadsOnceAndRefusesPagesItMustNotHave) {
  TreeFile t(2);
  t.Define(kSlot, IndexShape{});
  t.Define(2, IndexShape{}, "Other");
  AppendPages(t, 3);
  t.File().DropCachedPages(false);

  platform::ResetCallCounts();
  uint64_t reads = t.File().CacheStats().DiskReads;
  TPage* page = t.File().FetchPage(kSlot, 2, false);
  ASSERT_NE(page, nullptr);
  EXPECT_EQ(page->Pins, 1);
  EXPECT_EQ(page->PageType, kPageLeaf);
  EXPECT_EQ(page->Entry(0).Pointer, 2);
  TPage* again = t.File().FetchPage(kSlot, 2, false);
  EXPECT_EQ(again, page);
  EXPECT_EQ(page->Pins, 2);
  EXPECT_EQ(t.File().CacheStats().DiskReads, reads + 1);
  EXPECT_EQ(CallCount(OsCall::Read), 1u);
  t.File().ReleasePage(page);
  t.File().ReleasePage(page);
  t.File().ReleasePage(page);
  EXPECT_EQ(page->Pins, 0) << "never below 0";

  EXPECT_EQ(CodeOf([&] { t.File().FetchPage(kSlot, 0, false); }), LEDRA_INDEXCORRUPT);
  EXPECT_EQ(CodeOf([&] { t.File().FetchPage(kSlot, 9, false); }), LEDRA_INDEXCORRUPT);
  // The next page number is only appended when a page is allocated.
  EXPECT_EQ(CodeOf([&] { t.File().FetchPage(kSlot, 4, false); }), LEDRA_INDEXCORRUPT);
  EXPECT_EQ(t.File().NextPageNo(), 4);
  // Page 2 belongs to slot 1's cache: slot 2 cannot have it too.
  EXPECT_EQ(CodeOf([&] { t.File().FetchPage(2, 2, false); }), LEDRA_INDEXCORRUPT);
  EXPECT_TRUE(t.NothingPinned());
}

TEST(PageCacheTest, EvictsTheLeastRecentlyUsedCleanPage) {
  TreeFile t(2);
  t.Define(kSlot, IndexShape{});
  AppendPages(t, 4);
  t.File().DropCachedPages(false);
  auto touch = [&](int32_t n) { t.File().ReleasePage(t.File().FetchPage(kSlot, n, false)); };

  touch(1);
  touch(2);
  touch(3);
  EXPECT_EQ(CachedPages(t.File(), kSlot), (std::vector<int32_t>{2, 3}));
  touch(2);
  touch(4);
  EXPECT_EQ(CachedPages(t.File(), kSlot), (std::vector<int32_t>{2, 4}));
  EXPECT_EQ(t.File().PageCache(kSlot).MostRecent()->PageNo, 4);
  EXPECT_EQ(t.File().PageCache(kSlot).LeastRecent()->PageNo, 2);

  // Both cached pages dirty: room is made by writing them first.
  for (int32_t n : {2, 4}) {
    TPage* page = t.File().FetchPage(kSlot, n, false);
    page->Entry(0).Pointer = 100 + n;
    page->Dirty = true;
    t.File().ReleasePage(page);
  }
  platform::ResetCallCounts();
  touch(1);
  EXPECT_EQ(CallCount(OsCall::Write), 2u) << "pages 2 and 4 are two runs";
  EXPECT_EQ(CachedPages(t.File(), kSlot), (std::vector<int32_t>{1, 4}));
  EXPECT_EQ(GetLEInt32(test::DiskPage(t.Path(), 2).data() + 13 + 12), 102);
}

TEST(PageCacheTest, GrowsByFourWhenEveryPageIsDirtyAndPinned) {
  TreeFile t(2);
  t.Define(kSlot, IndexShape{});
  AppendPages(t, 6);
  t.File().DropCachedPages(false);

  TPage* a = t.File().FetchPage(kSlot, 1, false);
  TPage* b = t.File().FetchPage(kSlot, 2, false);
  a->Dirty = b->Dirty = true;
  TPage* c = t.File().FetchPage(kSlot, 3, false);
  ASSERT_NE(c, nullptr);
  EXPECT_EQ(t.File().PageCache(kSlot).Capacity(), 6u);
  EXPECT_EQ(t.File().PageCache(kSlot).Count(), 3u);
  EXPECT_TRUE(a->Dirty && b->Dirty) << "pinned pages are not written";
  c->Dirty = true;
  for (TPage* page : {a, b, c}) t.File().ReleasePage(page);

  // No page is clean: trimming writes them first, then evicts down to the
  // configured two.
  platform::ResetCallCounts();
  t.File().TrimPageCache();
  EXPECT_EQ(CallCount(OsCall::Write), 1u) << "pages 1..3 are one run";
  EXPECT_EQ(CachedPages(t.File(), kSlot), (std::vector<int32_t>{2, 3}));
  EXPECT_EQ(t.File().PageCache(kSlot).Capacity(), 2u);

  // Inside a transaction nothing is written to make room.
  t.SetInTransaction(true);
  for (int32_t n : {4, 5}) {
    TPage* page = t.File().FetchPage(kSlot, n, false);
    page->Dirty = true;
    t.File().ReleasePage(page);
  }
  for (int32_t n : {1, 2, 3}) {
    TPage* page = t.File().FetchPage(kSlot, n, false);
    page->Dirty = true;
    t.File().ReleasePage(page);
  }
  platform::ResetCallCounts();
  t.File().ReleasePage(t.File().FetchPage(kSlot, 6, false));
  EXPECT_EQ(CallCount(OsCall::Write), 0u);
  EXPECT_EQ(t.File().PageCache(kSlot).Count(), 6u);
  t.File().TrimPageCache();
  EXPECT_EQ(CallCount(OsCall::Write), 0u);
  EXPECT_EQ(t.File().PageCache(kSlot).Count(), 5u) << "only the clean page 6 could go";
}

TEST(PageCacheTest, WritesDirtyPagesInRunsOfConsecutiveNumbers) {
  TreeFile t(8);
  t.Define(kSlot, IndexShape{});
  AppendPages(t, 6);
  for (int32_t n = 1; n <= 6; ++n) {
    TPage* page = t.File().FetchPage(kSlot, n, false);
    page->Entry(0).Pointer = 200 + n;
    page->Dirty = n != 4;
    if (n != 6) t.File().ReleasePage(page);
  }
  platform::ResetCallCounts();
  uint64_t runs = t.File().CacheStats().WriteRuns;
  EXPECT_TRUE(t.File().WriteDirtyPages(false));
  EXPECT_EQ(CallCount(OsCall::Write), 2u) << "1..3 and 5 (6 is pinned)";
  EXPECT_EQ(t.File().CacheStats().WriteRuns, runs + 2);
  for (int32_t n : {1, 2, 3, 5}) {
    EXPECT_EQ(GetLEInt32(test::DiskPage(t.Path(), n).data() + 13 + 12), 200 + n) << n;
  }
  EXPECT_EQ(GetLEInt32(test::DiskPage(t.Path(), 6).data() + 13 + 12), 6);
  EXPECT_FALSE(t.File().WriteDirtyPages(true)) << "no temporary pages";
  TPage* six = t.File().FetchPage(kSlot, 6, false);
  EXPECT_TRUE(six->Dirty);
  t.File().ReleasePage(six);
  t.File().ReleasePage(six);
  EXPECT_TRUE(t.File().WriteDirtyPages(false));
  EXPECT_FALSE(t.File().WriteDirtyPages(false));
}

TEST(PageCacheTest, DroppingForgetsPagesButNotTheirHolders) {
  TreeFile t(2);
  t.Define(kSlot, IndexShape{});
  AppendPages(t, 2);
  TPage* held = t.File().FetchPage(kSlot, 1, false);
  held->Entry(0).Pointer = 77;
  held->Dirty = true;
  platform::ResetCallCounts();
  t.File().DropCachedPages(false);
  EXPECT_EQ(t.File().PageCache(kSlot).Count(), 0u);
  EXPECT_EQ(t.File().OrphanCount(), 1u);
  EXPECT_EQ(held->PageNo, 1) << "still a valid buffer for its holder";
  t.File().ReleasePage(held);
  EXPECT_EQ(t.File().OrphanCount(), 0u);
  EXPECT_EQ(CallCount(OsCall::Write), 0u) << "dropped, not written";
  TPage* fresh = t.File().FetchPage(kSlot, 1, false);
  EXPECT_EQ(fresh->Entry(0).Pointer, 1);
  t.File().ReleasePage(fresh);

  t.File().CloseIndexFile();
  EXPECT_EQ(t.File().PageCache(kSlot).Count(), 0u);
  EXPECT_LE(t.File().SpareBufferCount(), TPageStack::kSpares);
}

class CountingCheck final : public TIndexChangeCheck {
 public:
  bool CheckForChanges() override {
    ++calls;
    return changed;
  }
  int calls = 0;
  bool changed = false;
};

TEST(PageCacheTest, AsksForChangesOnlyBeforeReadingFromDisk) {
  TreeFile t(2);
  t.Define(kSlot, IndexShape{});
  AppendPages(t, 3);
  t.File().DropCachedPages(false);
  CountingCheck check;
  TPage* page = t.File().FetchPage(kSlot, 1, false, &check);
  EXPECT_EQ(check.calls, 1);
  t.File().ReleasePage(t.File().FetchPage(kSlot, 1, false, &check));
  EXPECT_EQ(check.calls, 1) << "a cached page asks nothing";
  t.File().ReleasePage(page);

  check.changed = true;
  EXPECT_EQ(t.File().FetchPage(kSlot, 2, false, &check), nullptr);
  EXPECT_EQ(check.calls, 2);
  EXPECT_FALSE(t.File().PageCache(kSlot).Contains(2));

  t.SetStrict(true);
  page = t.File().FetchPage(kSlot, 2, false, &check);
  EXPECT_NE(page, nullptr);
  EXPECT_EQ(check.calls, 2);
  t.File().ReleasePage(page);
}

TEST(PageCacheTest, AppendingStopsAtTheLastPossiblePage) {
  TreeFile t(2);
  t.Define(kSlot, IndexShape{});
  t.File().SetNextPageNo(kSlot, kLastPageNo);
  TPage* last = t.File().AllocatePage(kSlot);
  EXPECT_EQ(last->PageNo, 976561);
  EXPECT_TRUE(last->Dirty);
  EXPECT_EQ(t.File().NextPageNo(), 976562);
  t.File().ReleasePage(last);
  t.File().DropCachedPages(false);  // not written: a 4 GB file is not needed here

  TIndexHeader header = t.File().Header();
  EXPECT_EQ(CodeOf([&] { t.File().AllocatePage(kSlot); }), LEDRA_TABLEFULL);
  EXPECT_EQ(t.File().Header(), header);
}

TEST(PageCacheTest, FreedPagesAreReusedLastFreedFirst) {
  TreeFile t(8);
  t.Define(kSlot, IndexShape{});
  AppendPages(t, 3);
  for (int32_t n : {2, 1}) {
    TPage* page = t.File().FetchPage(kSlot, n, false);
    t.File().FreePage(kSlot, page);
    t.File().ReleasePage(page);
  }
  EXPECT_EQ(t.File().FirstFreePage(kSlot), 1);
  t.Flush();
  // A freed page keeps its type and PrevPage, has no entries and a zero
  // body, and names the next free page.
  EXPECT_EQ(test::DiskPage(t.Path(), 1),
            test::Padded(Hex("02 | 00 00 | 00 00 00 00 | 02 00 00 00 | 00 00"), kIndexPageSize));
  EXPECT_EQ(test::DiskPage(t.Path(), 2),
            test::Padded(Hex("02 | 00 00 | 00 00 00 00 | 00 00 00 00 | 00 00"), kIndexPageSize));

  t.Reopen();
  TPage* first = t.File().AllocatePage(kSlot);
  EXPECT_EQ(first->PageNo, 1);
  EXPECT_EQ(first->PageType, kPageRootInner);
  EXPECT_EQ(first->NextPage, 0);
  EXPECT_EQ(t.File().FirstFreePage(kSlot), 2);
  TPage* second = t.File().AllocatePage(kSlot);
  EXPECT_EQ(second->PageNo, 2);
  TPage* third = t.File().AllocatePage(kSlot);
  EXPECT_EQ(third->PageNo, 4) << "the list is empty: appended";
  for (TPage* page : {first, second, third}) t.File().ReleasePage(page);
}

TEST(PageCacheTest, ADamagedFreeListIsRefused) {
  TreeFile t(8);
  t.Define(kSlot, IndexShape{});
  AppendPages(t, 3);
  t.File().SetFirstFreePage(kSlot, 9);
  EXPECT_EQ(CodeOf([&] { t.File().AllocatePage(kSlot); }), LEDRA_INDEXCORRUPT);
  // Page 3 holds an entry: it is not free.
  t.File().SetFirstFreePage(kSlot, 3);
  t.Reopen();
  EXPECT_EQ(CodeOf([&] { t.File().AllocatePage(kSlot); }), LEDRA_INDEXCORRUPT);
  EXPECT_EQ(t.File().FirstFreePage(kSlot), 3);
  // A free page naming a page outside the file.
  TPage* page = t.File().FetchPage(kSlot, 2, false);
  t.File().FreePage(kSlot, page);
  page->NextPage = 50;
  t.File().ReleasePage(page);
  EXPECT_EQ(CodeOf([&] { t.File().AllocatePage(kSlot); }), LEDRA_INDEXCORRUPT);
  EXPECT_TRUE(t.NothingPinned());
}

TEST(PageCacheTest, CachedPagesMoveWithTheirIndexWhenOneBeforeIsRemoved) {
  TreeFile t(4);
  t.Define(1, IndexShape{12, true}, "First");
  t.Define(2, IndexShape{16, false}, "Second");
  test::ByteOrder order;
  {
    TBTree first(t.File(), 1, order);
    TBTree second(t.File(), 2, order);
    for (uint32_t v = 1; v <= 400; ++v) {
      first.IndexInsert(test::MakeKey(12, true, v).data(), int32_t(v));
      second.IndexInsert(test::MakeKey(16, false, v, v).data(), int32_t(v));
    }
  }
  t.File().RemoveIndexDesc(1, true);
  ASSERT_EQ(t.File().SecondaryIndexCount(), 1);
  // Slot 1 is now the second index, with its unwritten pages.
  TBTree moved(t.File(), 1, order);
  for (uint32_t v = 1; v <= 400; v += 7) {
    ASSERT_TRUE(moved.IndexContains(test::MakeKey(16, false, v, v).data())) << v;
  }
  t.Reopen();
  EXPECT_EQ(moved.EntryCount(), 400);
  for (const TIndexFinding& finding : t.Check()) {
    EXPECT_EQ(finding.Kind, TIndexFinding::kUnowned) << finding.Text;  // the removed index
  }
}

TEST(PageCacheTest, TemporaryIndexesKeepTheirPagesInTheirOwnFile) {
  test::TempDir dir;
  std::vector<TFieldDesc> fields = test::SampleFields();
  TIndexFile file(dir.File("Towns.IDX"));
  TIndexFileSettings settings;
  settings.Fields = &fields;
  settings.PrivateDir = dir.Path().string();
  file.SetSettings(settings);
  file.SetExclusive(true);
  file.CreateIndexFile();
  TIndexDesc desc;
  desc.SetIndexName("Scratch");
  desc.KeyLength = 12;
  desc.Unique = 1;
  desc.KeyFieldCount = 1;
  desc.KeyFields[0] = 1;
  desc.Temporary = 1;
  file.AddIndexDesc(desc);
  ASSERT_TRUE(file.IsTemporarySlot(1));

  TPage* page = file.AllocatePage(1);
  EXPECT_EQ(page->PageNo, 1);
  page->PageType = kPageRootLeaf;
  file.ReleasePage(page);
  EXPECT_EQ(file.NextPageNo(), 1) << "the main file has no pages";
  EXPECT_EQ(file.NextPageNo(1), 2);
  EXPECT_FALSE(file.WriteDirtyPages(false));
  EXPECT_TRUE(file.WriteDirtyPages(true));
  EXPECT_EQ(std::filesystem::file_size(file.TemporaryFileName()), 2 * kIndexPageSize);
  file.CloseIndexFile();
  EXPECT_EQ(file.PageCache(1).Count(), 0u);
}

}  // namespace
}  // namespace ledra
