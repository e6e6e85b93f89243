#include "engine/index/IndexChecker.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/engine/index/TreeTestSupport.h"

namespace ledra {
namespace {

using test::ByteOrder;
using test::Bytes;
using test::CodeOf;
using test::Hex;
using test::IndexShape;
using test::TreeFile;

constexpr int kSlot = 1;
constexpr size_t kInnerEntry = 12 + 8;  // key, child, count

Bytes Key12(uint32_t v) {
  return test::MakeKey(12, true, v);
}

Bytes LE32(int32_t v) {
  Bytes b(4);
  PutLE32(b.data(), uint32_t(v));
  return b;
}

bool Mentions(const std::vector<TIndexFinding>& findings, int32_t page, const std::string& text) {
  for (const TIndexFinding& f : findings) {
    if (f.Page == page && f.Text.find(text) != std::string::npos) return true;
  }
  return false;
}

// Keys 1..1000 in slot 1 (12-byte keys): a root over seven leaves (six of
// 128 entries and one of 232), written
// to disk. Damage is then done to the file's bytes, and the file reopened.
// Key 1000 goes in first, so that the others never land at the very end of
// the index (which would keep the pages full) and every leaf splits in half.
class DamagedIndexTest : public ::testing::Test {
 protected:
  void SetUp() override {
    t_.Define(kSlot, IndexShape{12, true});
    TBTree tree(t_.File(), kSlot, order_, "ByTown");
    tree.IndexInsert(Key12(1000).data(), 1000);
    for (uint32_t v = 1; v < 1000; ++v) tree.IndexInsert(Key12(v).data(), int32_t(v));
    t_.Flush();
    root_ = t_.File().RootPage(kSlot);
    TPage root = t_.Page(kSlot, root_);
    for (size_t i = 0; i < root.EntryCount(); ++i) leaves_.push_back(root.Entry(i).Pointer);
    ASSERT_EQ(leaves_.size(), 7u);
    ASSERT_TRUE(t_.Check().empty());
  }

  void Damage(int32_t page, size_t offset, const Bytes& bytes) {
    t_.Flush();
    t_.File().CloseIndexFile();
    test::PatchFile(t_.Path(), size_t(page) * kIndexPageSize + offset, bytes);
    t_.File().OpenIndexFile();
  }

  // The operation fails with LEDRA_INDEXCORRUPT and holds nothing.
  template <class F>
  void ExpectCorrupt(F&& call) {
    EXPECT_EQ(CodeOf(call), LEDRA_INDEXCORRUPT);
    EXPECT_TRUE(t_.NothingPinned());
  }

  std::vector<TIndexFinding> Findings() {
    TIndexChecker checker(t_.File());
    checker.SetComparator(kSlot, &order_);
    return checker.CheckFile();
  }

  TreeFile t_;
  ByteOrder order_;
  int32_t root_ = 0;
  std::vector<int32_t> leaves_;
};

TEST_F(DamagedIndexTest, APageFoundInAnotherPagesPlace) {
  Bytes second = test::DiskPage(t_.Path(), leaves_[1]);
  Bytes fourth = test::DiskPage(t_.Path(), leaves_[3]);
  Damage(leaves_[1], 0, fourth);
  Damage(leaves_[3], 0, second);
  TBTree tree(t_.File(), kSlot, order_);
  ExpectCorrupt([&] { tree.IndexContains(Key12(200).data()); });
  Bytes between = test::MakeKey(12, true, 200, 0, 5);  // after 200, before 201
  ExpectCorrupt([&] { tree.IndexInsert(between.data(), 1001); });
  ExpectCorrupt([&] { tree.IndexDelete(Key12(450).data()); });
  TIndexPosition pos;
  ASSERT_TRUE(tree.FirstEntry(pos));
  ExpectCorrupt([&] {
    for (int i = 0; i < 2000 && tree.NextEntry(pos);) ++i;
  });
  auto findings = Findings();
  EXPECT_TRUE(Mentions(findings, leaves_[1], "differs from the first key"))
      << TIndexChecker::Describe(findings);
  EXPECT_TRUE(Mentions(findings, leaves_[1], "PrevPage"));
}

TEST_F(DamagedIndexTest, AnEntryCountBeyondCapacity) {
  Damage(leaves_[0], 1, Hex("00 01"));  // 256 entries of 16 bytes: more than 4083
  TBTree tree(t_.File(), kSlot, order_);
  ExpectCorrupt([&] { tree.IndexContains(Key12(5).data()); });
  TIndexPosition pos;
  ExpectCorrupt([&] { tree.FirstEntry(pos); });
  auto findings = Findings();
  EXPECT_TRUE(Mentions(findings, leaves_[0], "LEDRA_INDEXCORRUPT"))
      << TIndexChecker::Describe(findings);
}

TEST_F(DamagedIndexTest, UsedBytesBeyondTheBody) {
  t_.Define(2, IndexShape{12, true, kCompressFull}, "Packed");
  {
    TBTree packed(t_.File(), 2, order_);
    for (uint32_t v = 1; v <= 50; ++v) packed.IndexInsert(Key12(v).data(), int32_t(v));
  }
  int32_t page = t_.File().RootPage(2);
  Damage(page, 11, Hex("88 13"));  // 5000
  TBTree packed(t_.File(), 2, order_);
  ExpectCorrupt([&] { packed.IndexContains(Key12(7).data()); });
  auto findings = Findings();
  EXPECT_TRUE(Mentions(findings, page, "cannot be read")) << TIndexChecker::Describe(findings);
}

TEST_F(DamagedIndexTest, AChildPageNumberZeroOrBeyondTheFile) {
  int32_t next = t_.File().NextPageNo();
  for (int32_t child : {0, next, next + 1000, -3}) {
    SCOPED_TRACE(child);
    Damage(root_, 13 + 2 * kInnerEntry + 12, LE32(child));
    TBTree tree(t_.File(), kSlot, order_);
    ExpectCorrupt([&] { tree.IndexContains(Key12(300).data()); });
    ExpectCorrupt([&] { tree.IndexInsert(Key12(300).data(), 1); });
    EXPECT_EQ(t_.File().NextPageNo(), next) << "nothing appended";
    EXPECT_TRUE(tree.IndexContains(Key12(20).data())) << "other children still serve";
    auto findings = Findings();
    EXPECT_TRUE(Mentions(findings, root_, "entry 3 names page " + std::to_string(child)))
        << TIndexChecker::Describe(findings);
  }
}

TEST_F(DamagedIndexTest, AChildThatIsItsParent) {
  Damage(root_, 13 + 4 * kInnerEntry + 12, LE32(root_));
  TBTree tree(t_.File(), kSlot, order_);
  ExpectCorrupt([&] { tree.IndexContains(Key12(600).data()); });
  EXPECT_TRUE(Mentions(Findings(), root_, "already belongs to slot 1 as tree page"));
}

TEST_F(DamagedIndexTest, ACycleInSiblingLinks) {
  // The last leaf leads back to the first.
  Damage(leaves_[6], 7, LE32(leaves_[0]));
  TBTree tree(t_.File(), kSlot, order_);
  TIndexPosition pos;
  ASSERT_TRUE(tree.FirstEntry(pos));
  int steps = 0;
  ExpectCorrupt([&] {
    while (tree.NextEntry(pos) && steps < 5000) ++steps;
  });
  EXPECT_EQ(steps, 999) << "the walk ends where the level should end";
  auto findings = Findings();
  EXPECT_TRUE(Mentions(findings, leaves_[6], "should be 0 at the end of the level"))
      << TIndexChecker::Describe(findings);

  // A leaf in the middle leads back to its left neighbour.
  Damage(leaves_[6], 7, LE32(0));
  Damage(leaves_[3], 7, LE32(leaves_[2]));
  ASSERT_TRUE(tree.FirstNotBelow(Key12(500).data(), pos));
  ExpectCorrupt([&] {
    for (int i = 0; i < 5000 && tree.NextEntry(pos);) ++i;
  });
  EXPECT_TRUE(Mentions(Findings(), leaves_[3], "NextPage"));
}

TEST_F(DamagedIndexTest, CountsThatDoNotAddUp) {
  Damage(root_, 13 + 12 + 4, LE32(133));  // the first leaf holds 128
  TBTree tree(t_.File(), kSlot, order_);
  TIndexPosition pos;
  ExpectCorrupt([&] { tree.EntryAtSequence(130, pos); });
  EXPECT_TRUE(tree.IndexContains(Key12(130).data())) << "searching needs no counts";
  auto findings = Findings();
  EXPECT_TRUE(Mentions(findings, leaves_[0], "subtree count 133"))
      << TIndexChecker::Describe(findings);
}

TEST_F(DamagedIndexTest, ASeparatorThatIsNotTheFirstKeyOfItsChild) {
  // Lowered onto the last key of the left neighbour: a search for that key
  // would go to the wrong leaf.
  Bytes lower = Key12(128);
  Damage(root_, 13 + kInnerEntry, lower);
  TBTree tree(t_.File(), kSlot, order_);
  ExpectCorrupt([&] { tree.IndexContains(Key12(128).data()); });
  ExpectCorrupt([&] { tree.IndexContains(Key12(129).data()); });
  EXPECT_TRUE(Mentions(Findings(), leaves_[1], "differs from the first key"));
}

TEST_F(DamagedIndexTest, ALoopInTheFreeList) {
  TBTree tree(t_.File(), kSlot, order_);
  for (uint32_t v = 1; v <= 1000; ++v) tree.IndexDelete(Key12(v).data());
  int32_t first = t_.File().FirstFreePage(kSlot);
  Damage(first, 7, LE32(first));
  ExpectCorrupt([&] { tree.IndexInsert(Key12(1).data(), 1); });
  EXPECT_EQ(t_.File().FirstFreePage(kSlot), first);
  EXPECT_EQ(t_.File().RootPage(kSlot), 0);
  auto findings = Findings();
  EXPECT_TRUE(Mentions(findings, first, "already belongs to slot 1 as free page"))
      << TIndexChecker::Describe(findings);
}

// A NextPageNo far beyond the file's end: the pages it claims are one run of
// lost pages, reported once (not once per page, which took seconds and
// hundreds of megabytes).
TEST_F(DamagedIndexTest, AHugeNextPageNoIsOneFinding) {
  const int32_t next = t_.File().NextPageNo();
  Damage(0, 9, LE32(kLastPageNo + 1));
  ASSERT_EQ(t_.File().NextPageNo(), kLastPageNo + 1);
  auto findings = Findings();
  ASSERT_EQ(findings.size(), 1u) << TIndexChecker::Describe(findings);
  EXPECT_EQ(findings[0].Kind, TIndexFinding::kUnowned);
  EXPECT_EQ(findings[0].Page, next);
  EXPECT_TRUE(Mentions(
      findings, next,
      "pages " + std::to_string(next) + ".." + std::to_string(kLastPageNo) + " belong to no index"))
      << TIndexChecker::Describe(findings);
}

// A chain of inner pages, one entry each, above one leaf.
void BuildChain(TreeFile& t, int levels) {
  Bytes key = Key12(7);
  Bytes pages;
  TPageFormat format = t.File().SlotFormat(kSlot);
  for (int level = 1; level <= levels; ++level) {
    TPage page;
    page.Reset(level, kSlot, format);
    bool leaf = level == levels;
    page.PageType = leaf ? kPageLeaf : (level == 1 ? kPageRootInner : kPageInner);
    if (levels == 1) page.PageType = kPageRootLeaf;
    page.InsertEntry(0, key.data(), leaf ? 1 : level + 1, 1);
    Bytes bytes(kIndexPageSize);
    EncodePage(page, bytes.data(), "Towns");
    pages.insert(pages.end(), bytes.begin(), bytes.end());
  }
  t.File().SetNextPageNo(kSlot, levels + 1);
  t.File().SetRootPage(kSlot, 1);
  t.Flush();
  t.File().CloseIndexFile();
  test::PatchFile(t.Path(), kIndexPageSize, pages);
  t.File().OpenIndexFile();
}

TEST(DeepIndexTest, SixtyFourLevelsAreReadAndDeeperIsDamage) {
  ByteOrder order;
  {
    TreeFile t(4);
    t.Define(kSlot, IndexShape{12, true});
    BuildChain(t, 64);
    TBTree tree(t.File(), kSlot, order);
    EXPECT_TRUE(tree.IndexContains(Key12(7).data()));
    EXPECT_EQ(tree.EntryCount(), 1);
    EXPECT_TRUE(t.Check().empty()) << TIndexChecker::Describe(t.Check());
  }
  TreeFile t(4);
  t.Define(kSlot, IndexShape{12, true});
  BuildChain(t, 65);
  TBTree tree(t.File(), kSlot, order);
  EXPECT_EQ(CodeOf([&] { tree.IndexContains(Key12(7).data()); }), LEDRA_INDEXCORRUPT);
  TIndexPosition pos;
  EXPECT_EQ(CodeOf([&] { tree.LastEntry(pos); }), LEDRA_INDEXCORRUPT);
  EXPECT_EQ(CodeOf([&] { tree.IndexInsert(Key12(8).data(), 2); }), LEDRA_INDEXCORRUPT);
  EXPECT_TRUE(t.NothingPinned());
  auto findings = t.Check();
  ASSERT_FALSE(findings.empty());
  EXPECT_NE(findings[0].Text.find("deeper than 64 levels"), std::string::npos)
      << TIndexChecker::Describe(findings);
}

TEST(IndexCheckerTest, ReportsPagesNoIndexOwns) {
  TreeFile t(4);
  t.Define(kSlot, IndexShape{12, true});
  ByteOrder order;
  TBTree tree(t.File(), kSlot, order);
  for (uint32_t v = 1; v <= 300; ++v) tree.IndexInsert(Key12(v).data(), int32_t(v));
  TPage* lost = t.File().AllocatePage(kSlot);
  int32_t lostNo = lost->PageNo;
  t.File().ReleasePage(lost);

  TIndexChecker checker(t.File());
  EXPECT_TRUE(checker.CheckSlot(kSlot).empty()) << "one slot alone says nothing of ownership";
  auto findings = checker.CheckFile();
  ASSERT_EQ(findings.size(), 1u) << TIndexChecker::Describe(findings);
  EXPECT_EQ(findings[0].Kind, TIndexFinding::kUnowned);
  EXPECT_EQ(findings[0].Page, lostNo);
  EXPECT_EQ(checker.SlotsInUse(), (std::vector<int>{1, 31, 32})) << "slot 0 has no key";
}

TEST(IndexCheckerTest, FindsKeysOutOfOrderUnderTheSlotsComparison) {
  TreeFile t(4);
  t.Define(kSlot, IndexShape{12, true, kCompressNone, false, /*Descending=*/true});
  ByteOrder descending(true);
  TBTree tree(t.File(), kSlot, descending);
  for (uint32_t v = 1; v <= 600; ++v) tree.IndexInsert(Key12(v).data(), int32_t(v));
  TIndexChecker checker(t.File());
  checker.SetComparator(kSlot, &descending);
  EXPECT_TRUE(checker.CheckFile().empty());
  // Checked as ascending, every page is out of order.
  ByteOrder ascending(false);
  checker.SetComparator(kSlot, &ascending);
  auto findings = checker.CheckSlot(kSlot);
  EXPECT_TRUE(Mentions(findings, t.File().RootPage(kSlot), "keys out of order at entry 2"))
      << TIndexChecker::Describe(findings);
}

}  // namespace
}  // namespace ledra
