#include "engine/index/IndexChecker.h"

#include <algorithm>
#include <cstring>
#include <exception>
#include <memory>

#include "engine/errors/EngineError.h"
#include "engine/files/Bytes.h"

namespace ledra {

namespace {

// Plain byte order, negated for a descending index.
class TByteComparator final : public TKeyComparator {
 public:
  explicit TByteComparator(bool descending) : descending_(descending) {}
  int CompareKeys(const uint8_t* a, const uint8_t* b, size_t n) const override {
    int r = std::memcmp(a, b, n);
    r = r < 0 ? -1 : (r > 0 ? 1 : 0);
    return descending_ ? -r : r;
  }

 private:
  bool descending_;
};

std::string ErrorText(const std::exception& error) {
  if (auto* engine = dynamic_cast<const ELedraEngineError*>(&error)) {
    std::string name = EngineErrorName(engine->ErrorCode);
    return name.empty() ? std::to_string(engine->ErrorCode) : name;
  }
  return error.what();
}

// Who owns each page of one file: 0 = nobody, else slot + 1.
struct TOwners {
  std::vector<uint8_t> Slot;
  std::vector<const char*> Role;

  void Init(int32_t nextPageNo) {
    size_t size = size_t(std::clamp<int32_t>(nextPageNo, 1, kLastPageNo + 1));
    Slot.assign(size, 0);
    Role.assign(size, nullptr);
  }
};

}  // namespace

// The walk of one slot: its tree, free list and parameter chain.
class TIndexChecker::TSlotWalk {
 public:
  TSlotWalk(TIndexFile& file, int slot, const TKeyComparator& comparator, TOwners& owners,
            std::vector<TIndexFinding>& out)
      : file_(file), slot_(slot), comparator_(comparator), owners_(owners), out_(out) {}

  void Run() {
    format_ = file_.SlotFormat(slot_);
    counts_ = format_.EntryCounts != 0;
    WalkTree();
    WalkFreeList();
    if (slot_ == kTextSlot) WalkParamChain();
  }

 private:
  // A page of the next level to visit, with what its parent says of it.
  struct TChild {
    int32_t Page = 0;
    int32_t Parent = 0;
    size_t Entry = 0;
    int32_t Count = 0;
    size_t KeyAt = 0;  // offset of the parent's key in the level's key store
  };

  void Report(int32_t page, const std::string& text,
              TIndexFinding::TKind kind = TIndexFinding::kDamage) {
    TIndexFinding finding;
    finding.Kind = kind;
    finding.Slot = slot_;
    finding.Page = page;
    finding.Text = "slot " + std::to_string(slot_) +
                   (page != 0 ? ", page " + std::to_string(page) : std::string()) + ": " + text;
    out_.push_back(std::move(finding));
  }

  bool ValidPage(int32_t page) const { return page > 0 && file_.IsValidPageNo(slot_, page); }

  // Marks the page as owned; false (reported) when something owns it already.
  bool Claim(int32_t page, const char* role) {
    size_t at = size_t(page);
    if (at >= owners_.Slot.size()) {
      Report(page, std::string(role) + " page beyond the last possible page");
      return false;
    }
    if (owners_.Slot[at] != 0) {
      Report(page, std::string(role) + " page already belongs to slot " +
                       std::to_string(owners_.Slot[at] - 1) + " as " + owners_.Role[at] + " page");
      return false;
    }
    owners_.Slot[at] = uint8_t(slot_ + 1);
    owners_.Role[at] = role;
    return true;
  }

  bool Load(int32_t pageNo, TPage& page) {
    try {
      file_.LoadPageCopy(slot_, pageNo, page);
      return true;
    } catch (const std::exception& error) {
      Report(pageNo, "page cannot be read or decoded (" + ErrorText(error) + ")");
      return false;
    }
  }

  int Compare(const uint8_t* a, const uint8_t* b) const {
    int r = comparator_.CompareKeys(a, b, format_.KeyLength);
    return r < 0 ? -1 : (r > 0 ? 1 : 0);
  }

  int64_t Total(const TPage& page) const {
    if (page.IsLeaf()) return page.EntryCount();
    int64_t sum = 0;
    for (size_t i = 0; i < page.EntryCount(); ++i) sum += page.Entry(i).Count;
    return sum;
  }

  void CheckCapacity(const TPage& page) {
    if (page.IsInner() && page.EntryCount() > InnerCapacity(format_)) {
      Report(page.PageNo, "more entries than an inner page holds");
    }
    if (page.IsLeaf() && format_.Compression == kCompressNone &&
        page.EntryCount() > LeafCapacity(format_)) {
      Report(page.PageNo, "more entries than a leaf page holds");
    }
    if (page.IsLeaf() && format_.Compression != kCompressNone) {
      TPage copy = page;
      RecomputeCompression(copy);
      if (copy.UsedBytes > kPageBodySize) {
        Report(page.PageNo, "UsedBytes " + std::to_string(copy.UsedBytes) + " beyond the body");
      }
      if (copy.UsedBytes != page.UsedBytes) {
        Report(page.PageNo, "UsedBytes " + std::to_string(page.UsedBytes) + " should be " +
                                std::to_string(copy.UsedBytes));
      }
    }
  }

  void WalkTree() {
    int32_t root = file_.RootPage(slot_);
    if (root == 0) return;
    if (!IsUsableFormat(format_)) {
      Report(0, "the index has pages but no usable key length");
      return;
    }
    if (!ValidPage(root)) {
      Report(0, "RootPage " + std::to_string(root) + " is not a page of the file");
      return;
    }
    std::vector<TChild> level{TChild{root, 0, 0, 0, 0}};
    std::vector<uint8_t> keys;  // the parents' keys for `level`
    std::vector<TChild> nextLevel;
    std::vector<uint8_t> nextKeys;
    std::vector<uint8_t> lastKey(format_.KeyLength);
    size_t k = format_.KeyLength;
    TPage page;

    for (int depth = 1; !level.empty(); ++depth) {
      if (depth > kMaxTreeDepth) {
        Report(0, "the tree is deeper than " + std::to_string(kMaxTreeDepth) + " levels");
        return;
      }
      nextLevel.clear();
      nextKeys.clear();
      int levelKind = -1;  // 0 inner, 1 leaf
      bool haveLast = false;
      int32_t previous = 0;      // the previous page of this level
      int32_t previousNext = 0;  // its NextPage
      for (const TChild& child : level) {
        int32_t n = child.Page;
        if (!Claim(n, "tree")) continue;
        if (!Load(n, page)) continue;
        bool isRoot = depth == 1;
        if (isRoot ? !page.IsRoot() : (page.PageType != kPageInner && page.PageType != kPageLeaf)) {
          Report(n, "page type " + std::to_string(page.PageType) + " at depth " +
                        std::to_string(depth));
          continue;
        }
        int kind = page.IsLeaf() ? 1 : 0;
        if (levelKind < 0) levelKind = kind;
        if (kind != levelKind) Report(n, "leaves and inner pages on one level");
        if (page.EntryCount() == 0) {
          Report(n, "a tree page without entries");
          continue;
        }
        CheckCapacity(page);

        // Links along the level.
        if (page.PrevPage != previous) {
          Report(n, "PrevPage " + std::to_string(page.PrevPage) + " should be " +
                        std::to_string(previous));
        }
        if (previous != 0 && previousNext != n) {
          Report(previous,
                 "NextPage " + std::to_string(previousNext) + " should be " + std::to_string(n));
        }
        previous = n;
        previousNext = page.NextPage;

        // Key order within the page and along the level.
        for (size_t i = 1; i < page.EntryCount(); ++i) {
          if (Compare(page.Key(i - 1), page.Key(i)) >= 0) {
            Report(n, "keys out of order at entry " + std::to_string(i + 1));
            break;
          }
        }
        if (haveLast && Compare(lastKey.data(), page.Key(0)) >= 0) {
          Report(n, "first key not above the last key of the page to its left");
        }
        std::memcpy(lastKey.data(), page.Key(page.EntryCount() - 1u), k);
        haveLast = true;

        // What the parent says of this page.
        if (!isRoot) {
          if (std::memcmp(keys.data() + child.KeyAt, page.Key(0), k) != 0) {
            Report(n, "the separator in page " + std::to_string(child.Parent) + " entry " +
                          std::to_string(child.Entry + 1) + " differs from the first key");
          }
          if (counts_ && int64_t(child.Count) != Total(page)) {
            Report(n, "subtree count " + std::to_string(child.Count) + " in page " +
                          std::to_string(child.Parent) + " should be " +
                          std::to_string(Total(page)));
          }
        }

        if (page.IsInner()) {
          for (size_t i = 0; i < page.EntryCount(); ++i) {
            int32_t childNo = page.Entry(i).Pointer;
            if (!ValidPage(childNo)) {
              Report(n, "entry " + std::to_string(i + 1) + " names page " +
                            std::to_string(childNo) + ", not a page of the file");
              continue;
            }
            TChild next{childNo, n, i, page.Entry(i).Count, nextKeys.size()};
            nextKeys.insert(nextKeys.end(), page.Key(i), page.Key(i) + k);
            nextLevel.push_back(next);
          }
        }
      }
      if (previous != 0 && previousNext != 0) {
        Report(previous,
               "NextPage " + std::to_string(previousNext) + " should be 0 at the end of the level");
      }
      level.swap(nextLevel);
      keys.swap(nextKeys);
    }
  }

  void WalkFreeList() {
    int32_t n = file_.FirstFreePage(slot_);
    int64_t steps = file_.NextPageNo(slot_);
    std::array<uint8_t, kIndexPageSize> bytes{};
    while (n != 0) {
      if (!ValidPage(n)) {
        Report(n, "free list names a page outside the file");
        return;
      }
      if (--steps < 0 || !Claim(n, "free")) return;  // a loop, or shared
      try {
        file_.LoadPageBytes(slot_, n, bytes.data());
      } catch (const std::exception& error) {
        Report(n, "free page cannot be read (" + ErrorText(error) + ")");
        return;
      }
      if (GetLE16(bytes.data() + 1) != 0) Report(n, "a page on the free list holds entries");
      n = GetLEInt32(bytes.data() + 7);
    }
  }

  void WalkParamChain() {
    int32_t n = file_.TextParamPage();
    int64_t steps = file_.NextPageNo(slot_);
    std::array<uint8_t, kIndexPageSize> bytes{};
    while (n != 0) {
      if (!ValidPage(n)) {
        Report(n, "parameter chain names a page outside the file");
        return;
      }
      if (--steps < 0 || !Claim(n, "parameter")) return;
      try {
        file_.LoadPageBytes(slot_, n, bytes.data());
      } catch (const std::exception& error) {
        Report(n, "parameter page cannot be read (" + ErrorText(error) + ")");
        return;
      }
      if (bytes[0] != kPageParam) Report(n, "a parameter page of type " + std::to_string(bytes[0]));
      n = GetLEInt32(bytes.data() + 7);
    }
  }

  TIndexFile& file_;
  int slot_;
  const TKeyComparator& comparator_;
  TOwners& owners_;
  std::vector<TIndexFinding>& out_;
  TPageFormat format_;
  bool counts_ = true;
};

TIndexChecker::TIndexChecker(TIndexFile& file) : file_(file) {}

void TIndexChecker::SetComparator(int slot, const TKeyComparator* comparator) {
  if (slot >= 0 && slot < kIndexSlotCount) comparators_[size_t(slot)] = comparator;
}

std::vector<int> TIndexChecker::SlotsInUse() const {
  std::vector<int> slots;
  const TIndexHeader& h = file_.Header();
  if (h.NoPrimaryIndex == 0 && h.Descs[kPrimarySlot].KeyLength != 0) slots.push_back(kPrimarySlot);
  int count = std::min<int>(h.SecondaryIndexCount, kMaxSecondary);
  for (int s = 1; s <= count; ++s) slots.push_back(s);
  if (h.Descs[kDeletedSlot].KeyLength != 0) slots.push_back(kDeletedSlot);
  if (h.Descs[kTextSlot].KeyLength != 0) slots.push_back(kTextSlot);
  return slots;
}

std::vector<TIndexFinding> TIndexChecker::CheckSlot(int slot) {
  std::vector<TIndexFinding> out;
  if (slot < 0 || slot >= kIndexSlotCount) return out;
  TOwners owners;
  owners.Init(file_.NextPageNo(slot));
  TByteComparator bytes(file_.Header().Descs[size_t(slot)].Descending != 0);
  const TKeyComparator* comparator = comparators_[size_t(slot)];
  TSlotWalk(file_, slot, comparator != nullptr ? *comparator : bytes, owners, out).Run();
  return out;
}

std::vector<TIndexFinding> TIndexChecker::CheckFile() {
  std::vector<TIndexFinding> out;
  const TIndexHeader& h = file_.Header();
  if (h.NextPageNo < 1 || h.NextPageNo > kLastPageNo + 1) {
    out.push_back({TIndexFinding::kDamage, -1, 0,
                   "NextPageNo " + std::to_string(h.NextPageNo) + " is out of range"});
  }
  TOwners mainOwners;
  TOwners tempOwners;
  mainOwners.Init(h.NextPageNo);
  bool anyTemporary = false;
  for (int slot : SlotsInUse()) {
    bool temporary = file_.IsTemporarySlot(slot);
    anyTemporary = anyTemporary || temporary;
    if (temporary && tempOwners.Slot.empty()) tempOwners.Init(file_.NextPageNo(slot));
    TByteComparator bytes(h.Descs[size_t(slot)].Descending != 0);
    const TKeyComparator* comparator = comparators_[size_t(slot)];
    TSlotWalk(file_, slot, comparator != nullptr ? *comparator : bytes,
              temporary ? tempOwners : mainOwners, out)
        .Run();
  }
  // Consecutive lost pages make one finding: a damaged NextPageNo alone
  // would otherwise make one for each of up to a million pages.
  auto unowned = [&](const TOwners& owners, const char* file) {
    for (size_t n = 1; n < owners.Slot.size(); ++n) {
      if (owners.Slot[n] != 0) continue;
      size_t last = n;
      while (last + 1 < owners.Slot.size() && owners.Slot[last + 1] == 0) ++last;
      const std::string pages = last == n
                                    ? "page " + std::to_string(n)
                                    : "pages " + std::to_string(n) + ".." + std::to_string(last);
      out.push_back({TIndexFinding::kUnowned, -1, int32_t(n),
                     std::string(file) + pages + (last == n ? " belongs" : " belong") +
                         " to no index, free list or parameter chain"});
      n = last;
    }
  };
  unowned(mainOwners, "");
  if (anyTemporary) unowned(tempOwners, "temporary file: ");
  return out;
}

std::string TIndexChecker::Describe(const std::vector<TIndexFinding>& findings) {
  std::string text;
  for (const TIndexFinding& finding : findings) text += finding.Text + "\n";
  return text;
}

}  // namespace ledra
