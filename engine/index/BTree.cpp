#include "engine/index/BTree.h"

#include <algorithm>
#include <cstring>
#include <exception>
#include <limits>
#include <utility>

#include "engine/errors/EngineError.h"

namespace ledra {

namespace {

// The most pages one operation holds at a time: the path, one new page and
// one neighbour per level, a new root and a few siblings.
constexpr size_t kMaxPins = 4 * kMaxTreeDepth + 8;

int32_t ClampCount(int64_t value) {
  return int32_t(std::clamp<int64_t>(value, 0, std::numeric_limits<int32_t>::max()));
}

}  // namespace

// The pages an operation holds pinned; all of them are released when it
// ends, however it ends.
class TBTree::TPinSet {
 public:
  explicit TPinSet(TIndexFile& file) : file_(file) {}
  ~TPinSet() { ReleaseAll(); }
  TPinSet(const TPinSet&) = delete;
  TPinSet& operator=(const TPinSet&) = delete;

  // False (with the page released) when the set is full.
  bool Add(TPage* page) {
    if (count_ == pages_.size()) {
      file_.ReleasePage(page);
      return false;
    }
    pages_[count_++] = page;
    return true;
  }
  void Release(TPage* page) {
    for (size_t i = count_; i-- > 0;) {
      if (pages_[i] == page) {
        file_.ReleasePage(page);
        pages_[i] = pages_[--count_];
        return;
      }
    }
  }
  void ReleaseAll() {
    while (count_ > 0) file_.ReleasePage(pages_[--count_]);
  }

 private:
  TIndexFile& file_;
  // Only the first count_ are ever read: left uninitialised, since every
  // operation, a lookup too, makes one of these.
  std::array<TPage*, kMaxPins> pages_;
  size_t count_ = 0;
};

// The pages from the root down to a leaf and the entry chosen in each inner
// page; `before` counts the leaf entries left of the path (with counts).
struct TBTree::TPath {
  // Levels from depth on are never read (Descend fills them on the way down).
  std::array<TPage*, kMaxTreeDepth> pages;
  std::array<size_t, kMaxTreeDepth> pos;
  int depth = 0;
  int64_t before = 0;

  TPage* Leaf() const { return pages[size_t(depth - 1)]; }
};

TBTree::TBTree(TIndexFile& file, int slot, const TKeyComparator& comparator, std::string indexName,
               TIndexChangeCheck* changeCheck)
    : file_(file),
      slot_(slot),
      comparator_(comparator),
      indexName_(std::move(indexName)),
      check_(changeCheck) {}

uint16_t TBTree::KeyLength() const {
  return file_.SlotFormat(slot_).KeyLength;
}

bool TBTree::HasEntryCounts() const {
  return file_.SlotFormat(slot_).EntryCounts != 0;
}

// ---- helpers ----

void TBTree::Corrupt() const {
  RaiseEngineError(LEDRA_INDEXCORRUPT, {.Index = indexName_, .Table = file_.TableName()});
}

void TBTree::KeyViolation() const {
  RaiseEngineError(LEDRA_KEYVIOL, {.Index = indexName_, .Table = file_.TableName()});
}

void TBTree::LoadFormat() {
  format_ = file_.SlotFormat(slot_);
  if (!IsUsableFormat(format_)) Corrupt();
  innerCapacity_ = InnerCapacity(format_);
  leafCapacity_ = LeafCapacity(format_);
  counts_ = format_.EntryCounts != 0;
}

template <class F>
auto TBTree::Run(F&& op) -> decltype(op()) {
  for (int attempt = 1;; ++attempt) {
    changing_ = false;
    searching_ = false;
    LoadFormat();
    try {
      return op();
    } catch (const TTreeChanged&) {
      // The cache was dropped and the header refreshed: start again.
      if (attempt >= kMaxRestarts) {
        RaiseEngineError(LEDRA_LOCKTIMEOUT, {.Index = indexName_, .Table = file_.TableName()});
      }
    }
  }
}

int TBTree::Compare(const uint8_t* a, const uint8_t* b, size_t n) const {
  int r = comparator_.CompareKeys(a, b, n);
  return r < 0 ? -1 : (r > 0 ? 1 : 0);
}

int TBTree::CompareFull(const uint8_t* a, const uint8_t* b) const {
  return Compare(a, b, format_.KeyLength);
}

size_t TBTree::KeyBytes(size_t n) const {
  return (n == 0 || n > format_.KeyLength) ? format_.KeyLength : n;
}

size_t TBTree::CountBelow(const TPage& page, const uint8_t* key, size_t n) const {
  size_t low = 0;
  size_t high = page.EntryCount();
  while (low < high) {
    size_t mid = low + (high - low) / 2;
    if (Compare(page.Key(mid), key, n) < 0) {
      low = mid + 1;
    } else {
      high = mid;
    }
  }
  return low;
}

size_t TBTree::CountNotAbove(const TPage& page, const uint8_t* key, size_t n) const {
  size_t low = 0;
  size_t high = page.EntryCount();
  while (low < high) {
    size_t mid = low + (high - low) / 2;
    if (Compare(page.Key(mid), key, n) <= 0) {
      low = mid + 1;
    } else {
      high = mid;
    }
  }
  return low;
}

int64_t TBTree::Total(const TPage& page) const {
  if (page.IsLeaf()) return page.EntryCount();
  return counts_ ? CountsBefore(page, page.EntryCount()) : 0;
}

int64_t TBTree::CountsBefore(const TPage& page, size_t i) const {
  if (!counts_ || page.IsLeaf()) return 0;
  int64_t sum = 0;
  for (size_t j = 0; j < i; ++j) {
    int32_t count = page.Entry(j).Count;
    if (count <= 0) Corrupt();  // every subtree holds at least one entry
    sum += count;
  }
  return sum;
}

// ---- fetching ----

TPage* TBTree::Fetch(TPinSet& pins, int32_t pageNo) {
  if (pageNo <= 0 || !file_.IsValidPageNo(slot_, pageNo)) Corrupt();
  TPage* page =
      file_.FetchPage(slot_, pageNo, false, changing_ ? nullptr : check_, searching_ && !changing_);
  if (page == nullptr) throw TTreeChanged{};
  if (!pins.Add(page)) Corrupt();
  return page;
}

TPage* TBTree::FetchRoot(TPinSet& pins) {
  TPage* root = Fetch(pins, file_.RootPage(slot_));
  if (!root->IsRoot() || root->EntryCount() == 0) Corrupt();
  if (root->PrevPage != 0 || root->NextPage != 0) Corrupt();
  return root;
}

TPage* TBTree::FetchChild(TPinSet& pins, const TPage& parent, size_t i) {
  TPage* child = Fetch(pins, parent.Pointer(i));
  if (child == &parent) Corrupt();
  if (child->PageType != kPageInner && child->PageType != kPageLeaf) Corrupt();
  if (child->EntryCount() == 0) Corrupt();
  // The separator is the child's first key, and the child's keys stay below
  // the next separator: a page found in the wrong place fails one or the
  // other.
  if (std::memcmp(child->Key(0), parent.Key(i), format_.KeyLength) != 0) Corrupt();
  if (i + 1 < parent.EntryCount() &&
      CompareFull(child->Key(child->EntryCount() - 1u), parent.Key(i + 1)) >= 0) {
    Corrupt();
  }
  return child;
}

TPage* TBTree::FetchLinked(TPinSet& pins, const TPage& page, int32_t pageNo, bool right) {
  if (pageNo == 0 || page.IsRoot()) Corrupt();
  TPage* other = Fetch(pins, pageNo);
  if (other == &page || other->PageType != page.PageType || other->EntryCount() == 0) Corrupt();
  if ((right ? other->PrevPage : other->NextPage) != page.PageNo) Corrupt();
  if (page.EntryCount() > 0) {
    bool ordered = right ? CompareFull(other->Key(0), page.Key(page.EntryCount() - 1u)) > 0
                         : CompareFull(other->Key(other->EntryCount() - 1u), page.Key(0)) < 0;
    if (!ordered) Corrupt();
  }
  return other;
}

TPage* TBTree::FetchNextLeaf(TPinSet& pins, const TPage& leaf) {
  if (leaf.NextPage == 0) return nullptr;
  return FetchLinked(pins, leaf, leaf.NextPage, true);
}

TPage* TBTree::FetchPrevLeaf(TPinSet& pins, const TPage& leaf) {
  if (leaf.PrevPage == 0) return nullptr;
  return FetchLinked(pins, leaf, leaf.PrevPage, false);
}

TPage* TBTree::Allocate(TPinSet& pins) {
  TPage* page = file_.AllocatePage(slot_);
  if (!pins.Add(page)) Corrupt();
  return page;
}

// ---- descending ----

void TBTree::Descend(TPinSet& pins, TPath& path, const TRouteArgs& args, bool keep) {
  path.depth = 0;
  path.before = 0;
  TPage* page = FetchRoot(pins);
  for (;;) {
    if (path.depth >= kMaxTreeDepth) Corrupt();
    path.pages[size_t(path.depth)] = page;
    if (page->IsLeaf()) {
      ++path.depth;
      return;
    }
    size_t count = page->EntryCount();
    size_t i = 0;
    switch (args.Route) {
      case TRoute::NotAbove: {
        size_t c = CountNotAbove(*page, args.Key, args.KeyBytes);
        i = c == 0 ? 0 : c - 1;
        break;
      }
      case TRoute::Below: {
        size_t c = CountBelow(*page, args.Key, args.KeyBytes);
        i = c == 0 ? 0 : c - 1;
        break;
      }
      case TRoute::First:
        i = 0;
        break;
      case TRoute::Last:
        i = count - 1;
        break;
      case TRoute::Sequence: {
        // c is the sequence number of the first entry under child i.
        int64_t c = path.before + 1;
        while (i + 1 < count) {
          int32_t below = page->Entry(i).Count;
          if (below <= 0) Corrupt();
          if (c + below > args.Sequence) break;
          c += below;
          ++i;
        }
        break;
      }
    }
    path.pos[size_t(path.depth)] = i;
    path.before += CountsBefore(*page, i);
    ++path.depth;
    TPage* child = FetchChild(pins, *page, i);
    if (!keep) {
      pins.Release(page);
      path.pages[size_t(path.depth - 1)] = nullptr;
    }
    page = child;
  }
}

void TBTree::SetPosition(TIndexPosition& pos, const TPage& leaf, size_t i, int64_t seq) const {
  pos.LeafPage = leaf.PageNo;
  pos.Position = uint16_t(i + 1);
  pos.SequenceNo = seq > 0 ? ClampCount(seq) : 0;
  pos.RecordNo = leaf.Pointer(i);
  std::memcpy(pos.Key.data(), leaf.Key(i), format_.KeyLength);
}

void TBTree::UpdateSeparators(TPath& path, int level) {
  size_t k = format_.KeyLength;
  for (int d = level; d > 0; --d) {
    TPage* child = path.pages[size_t(d)];
    TPage* parent = path.pages[size_t(d - 1)];
    size_t i = path.pos[size_t(d - 1)];
    if (child->EntryCount() == 0 || std::memcmp(parent->Key(i), child->Key(0), k) == 0) return;
    std::memcpy(parent->Key(i), child->Key(0), k);
    parent->Dirty = true;
    if (i != 0) return;
  }
}

// ---- search ----

bool TBTree::IndexContains(const uint8_t* key) {
  return Run([&] {
    searching_ = true;
    return ContainsOnce(key);
  });
}

bool TBTree::ContainsOnce(const uint8_t* key) {
  if (file_.RootPage(slot_) == 0) return false;
  TPinSet pins(file_);
  TPath path;
  Descend(pins, path, TRouteArgs{TRoute::NotAbove, key, format_.KeyLength, 0}, false);
  const TPage& leaf = *path.Leaf();
  size_t i = CountBelow(leaf, key, format_.KeyLength);
  return i < leaf.EntryCount() && CompareFull(leaf.Key(i), key) == 0;
}

void TBTree::CheckUniqueKey(const uint8_t* key) {
  bool unique =
      slot_ == kDeletedSlot || slot_ == kTextSlot || file_.GetIndexDesc(slot_).Unique != 0;
  if (unique && IndexContains(key)) KeyViolation();
}

// ---- insertion ----

void TBTree::IndexInsert(const uint8_t* key, int32_t recordNo) {
  Run([&] { InsertOnce(key, recordNo); });
}

void TBTree::BalanceCompressed(TPage& left, TPage& right) {
  RecomputeCompression(left);
  RecomputeCompression(right);
  while (left.UsedBytes > kPageBodySize && left.EntryCount() > 1) {
    size_t last = left.EntryCount() - 1u;
    right.InsertEntriesFrom(0, left, last, 1);
    left.RemoveEntries(last);
    RecomputeCompression(left);
    RecomputeCompression(right);
  }
  while (right.UsedBytes > kPageBodySize && right.EntryCount() > 1) {
    left.InsertEntriesFrom(left.EntryCount(), right, 0, 1);
    right.RemoveEntries(0);
    RecomputeCompression(left);
    RecomputeCompression(right);
  }
  // Cannot happen with keys of at most 526 bytes: two pages always hold an
  // overfull page's entries.
  if (left.UsedBytes > kPageBodySize || right.UsedBytes > kPageBodySize) Corrupt();
}

void TBTree::InsertOnce(const uint8_t* key, int32_t recordNo) {
  TPinSet pins(file_);
  if (file_.RootPage(slot_) == 0) {
    changing_ = true;
    TPage* page = Allocate(pins);
    page->PageType = kPageRootLeaf;
    page->InsertEntry(0, key, recordNo);
    RecomputeCompression(*page);
    page->Dirty = true;
    file_.SetRootPage(slot_, page->PageNo);
    return;
  }

  TPath path;
  Descend(pins, path, TRouteArgs{TRoute::NotAbove, key, format_.KeyLength, 0}, true);
  int leafLevel = path.depth - 1;
  TPage* leaf = path.Leaf();
  size_t at = CountBelow(*leaf, key, format_.KeyLength);
  if (at < leaf->EntryCount() && CompareFull(leaf->Key(at), key) == 0) KeyViolation();

  // Plan: the entry goes into the leaf in memory; if that overfills it, find
  // how many levels split, fetch the right neighbours that must link to the
  // new pages and allocate those pages. Any failure undoes the entry.
  leaf->InsertEntry(at, key, recordNo);
  RecomputeCompression(*leaf);
  std::array<TPage*, kMaxTreeDepth + 1> fresh{};
  std::array<TPage*, kMaxTreeDepth> neighbours{};
  int freshCount = 0;
  int splits = 0;
  if (IsOverfull(*leaf)) {
    try {
      splits = 1;
      for (int d = leafLevel; d > 0; --d) {
        if (path.pages[size_t(d - 1)]->EntryCount() + 1u <= innerCapacity_) break;
        ++splits;
      }
      bool newRoot = leafLevel - (splits - 1) == 0;
      for (int k = 0; k < splits; ++k) {
        TPage* page = path.pages[size_t(leafLevel - k)];
        if (page->NextPage != 0) {
          neighbours[size_t(k)] = FetchLinked(pins, *page, page->NextPage, true);
        }
      }
      changing_ = true;
      int need = splits + (newRoot ? 1 : 0);
      while (freshCount < need) fresh[size_t(freshCount++)] = Allocate(pins);
    } catch (...) {
      while (freshCount > 0) file_.FreePage(slot_, fresh[size_t(--freshCount)]);
      leaf->RemoveEntries(at);
      RecomputeCompression(*leaf);
      throw;
    }
  }

  // Apply; nothing below can fail on a sound tree.
  changing_ = true;
  leaf->Dirty = true;
  if (counts_) {
    for (int d = 0; d < leafLevel; ++d) {
      TPage* page = path.pages[size_t(d)];
      ++page->Entry(path.pos[size_t(d)]).Count;
      page->Dirty = true;
    }
  }
  if (at == 0) UpdateSeparators(path, leafLevel);

  int used = 0;
  // Where the new entry went in the page splitting at this level.
  size_t added = at;
  for (int k = 0, level = leafLevel; k < splits; ++k, --level) {
    TPage* page = path.pages[size_t(level)];
    TPage* right = fresh[size_t(used++)];
    bool wasRoot = page->IsRoot();
    bool isLeaf = page->IsLeaf();
    size_t n = page->EntryCount();
    size_t keep = (n + 1) / 2;
    // Keys added in ascending order (an AutoInc key) always land at the end
    // of the last page of each level. Halving that page would leave every
    // page behind it half full for good; it keeps its entries instead and
    // the new page starts with the new entry alone.
    if (page->NextPage == 0 && added + 1 == n) keep = n - 1;
    right->InsertEntriesFrom(0, *page, keep, n - keep);
    page->RemoveEntries(keep, n - keep);
    page->PageType = isLeaf ? kPageLeaf : kPageInner;
    right->PageType = page->PageType;
    right->PrevPage = page->PageNo;
    right->NextPage = page->NextPage;
    if (TPage* after = neighbours[size_t(k)]) {
      after->PrevPage = right->PageNo;
      after->Dirty = true;
    }
    page->NextPage = right->PageNo;
    if (isLeaf && format_.Compression != kCompressNone) {
      BalanceCompressed(*page, *right);
    } else {
      RecomputeCompression(*page);
      RecomputeCompression(*right);
    }
    page->Dirty = true;
    right->Dirty = true;

    if (wasRoot) {
      TPage* root = fresh[size_t(used++)];
      root->PageType = kPageRootInner;
      root->InsertEntry(0, page->Key(0), page->PageNo, counts_ ? ClampCount(Total(*page)) : 0);
      root->InsertEntry(1, right->Key(0), right->PageNo, counts_ ? ClampCount(Total(*right)) : 0);
      root->Dirty = true;
      file_.SetRootPage(slot_, root->PageNo);
      break;
    }
    TPage* parent = path.pages[size_t(level - 1)];
    size_t i = path.pos[size_t(level - 1)];
    if (counts_) parent->Entry(i).Count = ClampCount(Total(*page));
    parent->InsertEntry(i + 1, right->Key(0), right->PageNo,
                        counts_ ? ClampCount(Total(*right)) : 0);
    parent->Dirty = true;
    added = i + 1;
  }
}

// ---- deletion ----

// What deleting does at one level of the path, decided before anything
// changes.
struct TBTree::TLevelPlan {
  enum TAction : uint8_t { None, RootFree, RootCollapse, Unlink, Merge, Redistribute };
  TAction Action = None;
  bool Left = false;         // the sibling is the left one
  TPage* Sibling = nullptr;  // Merge, Redistribute
  TPage* Far = nullptr;      // Merge: the page's other neighbour
  TPage* Prev = nullptr;     // Unlink: both neighbours
  TPage* Next = nullptr;
  TPage* Child = nullptr;  // RootCollapse: the child that becomes the root
};

void TBTree::IndexDelete(const uint8_t* key) {
  Run([&] { DeleteOnce(key); });
}

void TBTree::DeleteOnce(const uint8_t* key) {
  if (file_.RootPage(slot_) == 0) Corrupt();
  TPinSet pins(file_);
  TPath path;
  Descend(pins, path, TRouteArgs{TRoute::NotAbove, key, format_.KeyLength, 0}, true);
  int leafLevel = path.depth - 1;
  TPage* leaf = path.Leaf();
  size_t at = CountBelow(*leaf, key, format_.KeyLength);
  if (at >= leaf->EntryCount() || CompareFull(leaf->Key(at), key) != 0) Corrupt();

  // Plan from the leaf up, with the entry counts each page will have.
  using TPlan = TLevelPlan;
  std::array<TPlan, kMaxTreeDepth> plan{};
  int64_t remaining = int64_t(leaf->EntryCount()) - 1;
  int top = leafLevel;
  for (;; --top) {
    TPage* page = path.pages[size_t(top)];
    TPlan& step = plan[size_t(top)];
    if (top == 0) {
      if (page->IsLeaf()) {
        step.Action = remaining == 0 ? TPlan::RootFree : TPlan::None;
      } else if (remaining == 1) {
        step.Action = TPlan::RootCollapse;
        step.Child = FetchChild(pins, *page, path.pos[0] == 0 ? 1 : 0);
      } else if (remaining < 1) {
        Corrupt();
      }
      break;
    }
    TPage* parent = path.pages[size_t(top - 1)];
    size_t pos = path.pos[size_t(top - 1)];
    size_t parentCount = parent->EntryCount();
    if (page->IsCompressedLeaf()) {
      // Compressed leaves are only removed once empty.
      if (remaining > 0) break;
      step.Action = TPlan::Unlink;
      if (page->PrevPage != 0) step.Prev = FetchLinked(pins, *page, page->PrevPage, false);
      if (page->NextPage != 0) step.Next = FetchLinked(pins, *page, page->NextPage, true);
      remaining = int64_t(parentCount) - 1;
      continue;
    }
    int64_t capacity = page->IsLeaf() ? leafCapacity_ : innerCapacity_;
    if (remaining >= capacity / 2) break;
    // Underflow: the sibling under the same parent, the right one for a
    // first child, else the left one. An only child has none and stays as
    // it is, unless it is left empty (the last page of a level that an
    // append split off, with its parent): then it goes, as an empty
    // compressed leaf does.
    bool left;
    if (pos == 0 && parentCount > 1) {
      left = false;
    } else if (pos > 0) {
      left = true;
    } else if (remaining == 0) {
      step.Action = TPlan::Unlink;
      if (page->PrevPage != 0) step.Prev = FetchLinked(pins, *page, page->PrevPage, false);
      if (page->NextPage != 0) step.Next = FetchLinked(pins, *page, page->NextPage, true);
      remaining = int64_t(parentCount) - 1;
      continue;
    } else {
      break;
    }
    int32_t siblingNo = left ? page->PrevPage : page->NextPage;
    if (siblingNo == 0 || siblingNo != parent->Entry(left ? pos - 1 : pos + 1).Pointer) Corrupt();
    step.Left = left;
    step.Sibling = FetchLinked(pins, *page, siblingNo, !left);
    if (remaining + step.Sibling->EntryCount() < capacity) {
      step.Action = TPlan::Merge;
      int32_t farNo = left ? page->NextPage : page->PrevPage;
      if (farNo != 0) step.Far = FetchLinked(pins, *page, farNo, left);
      remaining = int64_t(parentCount) - 1;
      continue;
    }
    step.Action = TPlan::Redistribute;
    break;
  }

  // Apply; nothing below can fail on a sound tree.
  changing_ = true;
  if (counts_) {
    for (int d = 0; d < leafLevel; ++d) {
      TPage* page = path.pages[size_t(d)];
      --page->Entry(path.pos[size_t(d)]).Count;
      page->Dirty = true;
    }
  }
  leaf->RemoveEntries(at);
  RecomputeCompression(*leaf);
  leaf->Dirty = true;
  size_t removed = at;
  for (int d = leafLevel; d >= top; --d) {
    TPage* page = path.pages[size_t(d)];
    const TPlan& step = plan[size_t(d)];
    if (d > 0 && removed == 0 && page->EntryCount() > 0) UpdateSeparators(path, d);
    TPage* parent = d > 0 ? path.pages[size_t(d - 1)] : nullptr;
    size_t pos = d > 0 ? path.pos[size_t(d - 1)] : 0;
    switch (step.Action) {
      case TPlan::None:
        break;
      case TPlan::RootFree:
        file_.FreePage(slot_, page);
        file_.SetRootPage(slot_, 0);
        break;
      case TPlan::RootCollapse: {
        TPage* child = step.Child;
        child->PageType = child->IsLeaf() ? kPageRootLeaf : kPageRootInner;
        child->PrevPage = 0;
        child->NextPage = 0;
        child->Dirty = true;
        file_.FreePage(slot_, page);
        file_.SetRootPage(slot_, child->PageNo);
        break;
      }
      case TPlan::Unlink:
        if (step.Prev != nullptr) {
          step.Prev->NextPage = page->NextPage;
          step.Prev->Dirty = true;
        }
        if (step.Next != nullptr) {
          step.Next->PrevPage = page->PrevPage;
          step.Next->Dirty = true;
        }
        file_.FreePage(slot_, page);
        parent->RemoveEntries(pos);
        parent->Dirty = true;
        removed = pos;
        break;
      case TPlan::Merge: {
        TPage* sibling = step.Sibling;
        if (step.Left) {
          sibling->InsertEntriesFrom(sibling->EntryCount(), *page, 0, page->EntryCount());
          sibling->NextPage = page->NextPage;
          if (step.Far != nullptr) step.Far->PrevPage = sibling->PageNo;
        } else {
          sibling->InsertEntriesFrom(0, *page, 0, page->EntryCount());
          sibling->PrevPage = page->PrevPage;
          if (step.Far != nullptr) step.Far->NextPage = sibling->PageNo;
        }
        if (step.Far != nullptr) step.Far->Dirty = true;
        RecomputeCompression(*sibling);
        sibling->Dirty = true;
        file_.FreePage(slot_, page);
        size_t siblingPos = step.Left ? pos - 1 : pos + 1;
        if (!step.Left) {
          std::memcpy(parent->Key(siblingPos), sibling->Key(0), format_.KeyLength);
        }
        if (counts_) parent->Entry(siblingPos).Count = ClampCount(Total(*sibling));
        parent->RemoveEntries(pos);
        parent->Dirty = true;
        removed = pos;
        break;
      }
      case TPlan::Redistribute: {
        TPage* sibling = step.Sibling;
        TPage* first = step.Left ? sibling : page;
        TPage* second = step.Left ? page : sibling;
        size_t total = size_t(first->EntryCount()) + second->EntryCount();
        // With the left sibling, it keeps the larger half; with the right
        // one, this page keeps the smaller half.
        size_t keepFirst = step.Left ? (total + 1) / 2 : total / 2;
        if (first->EntryCount() > keepFirst) {
          size_t move = first->EntryCount() - keepFirst;
          second->InsertEntriesFrom(0, *first, keepFirst, move);
          first->RemoveEntries(keepFirst, move);
        } else if (first->EntryCount() < keepFirst) {
          size_t move = keepFirst - first->EntryCount();
          first->InsertEntriesFrom(first->EntryCount(), *second, 0, move);
          second->RemoveEntries(0, move);
        }
        RecomputeCompression(*first);
        RecomputeCompression(*second);
        first->Dirty = true;
        second->Dirty = true;
        size_t firstPos = step.Left ? pos - 1 : pos;
        std::memcpy(parent->Key(firstPos + 1), second->Key(0), format_.KeyLength);
        if (counts_) {
          parent->Entry(firstPos).Count = ClampCount(Total(*first));
          parent->Entry(firstPos + 1).Count = ClampCount(Total(*second));
        }
        parent->Dirty = true;
        // This page, the first child, may have been empty: its key changes.
        if (!step.Left) UpdateSeparators(path, d);
        break;
      }
    }
  }
}

void TBTree::IndexReplace(const uint8_t* oldKey, const uint8_t* newKey, int32_t recordNo) {
  if (!IndexContains(oldKey)) Corrupt();
  LoadFormat();
  if (CompareFull(oldKey, newKey) != 0 && IndexContains(newKey)) KeyViolation();
  IndexDelete(oldKey);
  try {
    IndexInsert(newKey, recordNo);
  } catch (const std::exception& cause) {
    // Put the old entry back rather than lose the record from the index.
    try {
      IndexInsert(oldKey, recordNo);
    } catch (...) {
      // The record is now in the index under neither key. Each failed
      // insert left the tree as it was, so the tree is sound and only the
      // entry is missing: the table verifier finds the live record absent
      // from this index, and rebuilding the index mends it. The caller must
      // learn that the index no longer matches the table, not only why the
      // new key could not go in; that reason stays in the error's text.
      RaiseEngineError(LEDRA_INDEXCORRUPT,
                       {.Text = cause.what(), .Index = indexName_, .Table = file_.TableName()});
    }
    throw;
  }
}

// ---- the leaf level ----

bool TBTree::FirstEntry(TIndexPosition& pos) {
  return Run([&] {
    searching_ = true;
    return EdgeOnce(pos, false);
  });
}

bool TBTree::LastEntry(TIndexPosition& pos) {
  return Run([&] {
    searching_ = true;
    return EdgeOnce(pos, true);
  });
}

bool TBTree::EdgeOnce(TIndexPosition& pos, bool last) {
  if (file_.RootPage(slot_) == 0) return false;
  TPinSet pins(file_);
  TPath path;
  Descend(pins, path, TRouteArgs{last ? TRoute::Last : TRoute::First, nullptr, 0, 0}, false);
  const TPage& leaf = *path.Leaf();
  if (!last) {
    if (leaf.PrevPage != 0) Corrupt();
    SetPosition(pos, leaf, 0, 1);
  } else {
    if (leaf.NextPage != 0) Corrupt();
    SetPosition(pos, leaf, leaf.EntryCount() - 1u, counts_ ? path.before + leaf.EntryCount() : 0);
  }
  return true;
}

bool TBTree::FirstNotBelow(const uint8_t* key, TIndexPosition& pos, size_t n) {
  return Run([&] {
    searching_ = true;
    return SeekOnce(key, n, /*forward=*/true, /*strict=*/false, pos);
  });
}

bool TBTree::LastNotAbove(const uint8_t* key, TIndexPosition& pos, size_t n) {
  return Run([&] {
    searching_ = true;
    return SeekOnce(key, n, /*forward=*/false, /*strict=*/false, pos);
  });
}

// forward: the first entry not below (strict: above) the key; otherwise the
// last entry not above (strict: below) it.
bool TBTree::SeekOnce(const uint8_t* key, size_t n, bool forward, bool strict,
                      TIndexPosition& pos) {
  if (file_.RootPage(slot_) == 0) return false;
  n = KeyBytes(n);
  // The key may live in `pos` itself.
  std::array<uint8_t, kMaxStoredKeyLength> search;
  std::memcpy(search.data(), key, format_.KeyLength);
  // Lower-bound searches route below the key, upper-bound ones not above it.
  bool lower = forward != strict;
  TPinSet pins(file_);
  TPath path;
  Descend(pins, path, TRouteArgs{lower ? TRoute::Below : TRoute::NotAbove, search.data(), n, 0},
          false);
  TPage* leaf = path.Leaf();
  size_t bound =
      lower ? CountBelow(*leaf, search.data(), n) : CountNotAbove(*leaf, search.data(), n);
  int64_t before = counts_ ? path.before : -1;
  auto seq = [&](int64_t index) { return before < 0 ? int64_t(0) : before + index + 1; };
  if (forward) {
    if (bound < leaf->EntryCount()) {
      SetPosition(pos, *leaf, bound, seq(int64_t(bound)));
      return true;
    }
    TPage* next = FetchNextLeaf(pins, *leaf);
    if (next == nullptr) return false;
    SetPosition(pos, *next, 0, seq(leaf->EntryCount()));
    return true;
  }
  if (bound > 0) {
    SetPosition(pos, *leaf, bound - 1, seq(int64_t(bound) - 1));
    return true;
  }
  TPage* prev = FetchPrevLeaf(pins, *leaf);
  if (prev == nullptr) return false;
  SetPosition(pos, *prev, prev->EntryCount() - 1u, before < 0 ? 0 : before);
  return true;
}

TPage* TBTree::VerifiedLeaf(TPinSet& pins, const TIndexPosition& pos) {
  if (!pos.HasEntry() || pos.LeafPage <= 0 || !file_.IsValidPageNo(slot_, pos.LeafPage)) {
    return nullptr;
  }
  TPage* page = Fetch(pins, pos.LeafPage);
  size_t i = pos.Position - 1u;
  if (page->IsLeaf() && i < page->EntryCount() && page->Pointer(i) == pos.RecordNo &&
      std::memcmp(page->Key(i), pos.Key.data(), format_.KeyLength) == 0) {
    return page;
  }
  pins.Release(page);
  return nullptr;
}

const TPage* TBTree::PinVerifiedLeaf(const TIndexPosition& pos) {
  if (!pos.HasEntry() || pos.LeafPage <= 0 || !file_.IsValidPageNo(slot_, pos.LeafPage)) {
    return nullptr;
  }
  LoadFormat();
  // Null also when the check found a change: the caller's operation learns
  // of it from its own check.
  TPage* page = file_.FetchPage(slot_, pos.LeafPage, false, check_, /*forSearch=*/true);
  if (page == nullptr) return nullptr;
  const size_t i = pos.Position - 1u;
  if (page->IsLeaf() && i < page->EntryCount() && page->Pointer(i) == pos.RecordNo &&
      std::memcmp(page->Key(i), pos.Key.data(), format_.KeyLength) == 0) {
    return page;
  }
  file_.ReleasePage(page);
  return nullptr;
}

void TBTree::ReleaseLeaf(const TPage* page) {
  if (page != nullptr) file_.ReleasePage(const_cast<TPage*>(page));
}

bool TBTree::NextEntry(TIndexPosition& pos) {
  return Run([&] {
    searching_ = true;
    return StepOnce(pos, true);
  });
}

bool TBTree::PrevEntry(TIndexPosition& pos) {
  return Run([&] {
    searching_ = true;
    return StepOnce(pos, false);
  });
}

bool TBTree::StepOnce(TIndexPosition& pos, bool forward) {
  if (!pos.HasEntry()) return EdgeOnce(pos, !forward);
  if (file_.RootPage(slot_) == 0) return false;
  {
    TPinSet pins(file_);
    if (TPage* leaf = VerifiedLeaf(pins, pos)) {
      size_t i = pos.Position - 1u;
      int64_t seq = pos.SequenceNo;
      if (forward) {
        if (i + 1 < leaf->EntryCount()) {
          SetPosition(pos, *leaf, i + 1, seq > 0 ? seq + 1 : 0);
          return true;
        }
        TPage* next = FetchNextLeaf(pins, *leaf);
        if (next == nullptr) return false;
        SetPosition(pos, *next, 0, seq > 0 ? seq + 1 : 0);
        return true;
      }
      if (i > 0) {
        SetPosition(pos, *leaf, i - 1, seq > 1 ? seq - 1 : 0);
        return true;
      }
      TPage* prev = FetchPrevLeaf(pins, *leaf);
      if (prev == nullptr) return false;
      SetPosition(pos, *prev, prev->EntryCount() - 1u, seq > 1 ? seq - 1 : 0);
      return true;
    }
  }
  // The entry is no longer where pos says: step from its key.
  return SeekOnce(pos.Key.data(), 0, forward, /*strict=*/true, pos);
}

int64_t TBTree::WalkLeaves(TPinSet& pins, int32_t stopLeaf, int64_t sequence, TPage** stopPage) {
  TPath path;
  Descend(pins, path, TRouteArgs{TRoute::First, nullptr, 0, 0}, false);
  TPage* leaf = path.Leaf();
  if (leaf->PrevPage != 0) Corrupt();
  int64_t before = 0;
  // Each leaf is a page of the file: a longer walk can only be a loop.
  int64_t steps = file_.NextPageNo(slot_);
  for (;;) {
    if (stopLeaf != 0 && leaf->PageNo == stopLeaf) break;
    if (stopLeaf == 0 && before + leaf->EntryCount() >= sequence) break;
    before += leaf->EntryCount();
    if (--steps < 0) Corrupt();
    TPage* next = FetchNextLeaf(pins, *leaf);
    pins.Release(leaf);
    leaf = next;
    if (leaf == nullptr) {
      if (stopLeaf != 0) Corrupt();  // the leaf is not on the leaf level
      break;
    }
  }
  if (stopPage != nullptr) *stopPage = leaf;
  return before;
}

bool TBTree::EntryAtSequence(int32_t s, TIndexPosition& pos) {
  return Run([&] {
    searching_ = true;
    return SequenceOnce(s, pos);
  });
}

bool TBTree::SequenceOnce(int32_t s, TIndexPosition& pos) {
  if (s < 1 || file_.RootPage(slot_) == 0) return false;
  TPinSet pins(file_);
  if (!counts_) {
    TPage* leaf = nullptr;
    int64_t before = WalkLeaves(pins, 0, s, &leaf);
    if (leaf == nullptr) return false;
    size_t i = size_t(s - before - 1);
    if (i >= leaf->EntryCount()) return false;
    SetPosition(pos, *leaf, i, 0);
    pos.SequenceNo = s;
    return true;
  }
  {
    TPage* root = FetchRoot(pins);
    if (s > Total(*root)) return false;
    pins.Release(root);
  }
  TPath path;
  Descend(pins, path, TRouteArgs{TRoute::Sequence, nullptr, 0, s}, false);
  const TPage& leaf = *path.Leaf();
  int64_t i = s - path.before - 1;
  if (i < 0 || i >= leaf.EntryCount()) Corrupt();  // counts that do not add up
  SetPosition(pos, leaf, size_t(i), s);
  return true;
}

int32_t TBTree::SequenceNumber(TIndexPosition& pos) {
  if (!pos.HasEntry()) return 0;
  if (pos.SequenceNo > 0) return pos.SequenceNo;
  return Run([&] {
    searching_ = true;
    return SequenceNumberOnce(pos);
  });
}

int32_t TBTree::SequenceNumberOnce(TIndexPosition& pos) {
  if (file_.RootPage(slot_) == 0) return 0;
  TPinSet pins(file_);
  TPath path;
  Descend(pins, path, TRouteArgs{TRoute::NotAbove, pos.Key.data(), format_.KeyLength, 0}, false);
  TPage* leaf = path.Leaf();
  size_t i = CountBelow(*leaf, pos.Key.data(), format_.KeyLength);
  if (i >= leaf->EntryCount() || CompareFull(leaf->Key(i), pos.Key.data()) != 0) return 0;
  int64_t before = path.before;
  if (!counts_) {
    int32_t leafNo = leaf->PageNo;
    pins.ReleaseAll();
    before = WalkLeaves(pins, leafNo, 0, nullptr);
  }
  pos.SequenceNo = ClampCount(before + int64_t(i) + 1);
  return pos.SequenceNo;
}

int32_t TBTree::EntryCount() {
  return Run([&]() -> int32_t {
    searching_ = true;
    if (file_.RootPage(slot_) == 0) return 0;
    TPinSet pins(file_);
    if (counts_) return ClampCount(Total(*FetchRoot(pins)));
    return ClampCount(WalkLeaves(pins, 0, std::numeric_limits<int64_t>::max(), nullptr));
  });
}

int32_t TBTree::ConsecutiveRun(const TIndexPosition& pos, int32_t limit, int direction) {
  if (limit <= 0 || !pos.HasEntry()) return 0;
  return Run([&]() -> int32_t {
    searching_ = true;
    TPinSet pins(file_);
    TPage* leaf = VerifiedLeaf(pins, pos);
    if (leaf == nullptr) return 0;
    int64_t step = direction < 0 ? -1 : 1;
    int64_t i = pos.Position - 1;
    int32_t run = 1;
    while (run < limit) {
      int64_t j = i + step * run;
      if (j < 0 || j >= leaf->EntryCount()) break;
      if (int64_t(leaf->Pointer(size_t(j))) != int64_t(pos.RecordNo) + step * run) break;
      ++run;
    }
    return run;
  });
}

}  // namespace ledra
