// The structural check of an index file: walks the trees, free lists and
// parameter chain of its slots and reports every broken invariant.
//
// It checks, per slot: page types and levels (only the root has type 0 or 3,
// all leaves at one depth, at most 64 levels), entry counts and UsedBytes
// within capacity, keys strictly increasing under the slot's comparison
// within each page and along each level, each inner entry's key equal to the
// first key of its child, each subtree count equal to the leaf entries below
// (where the slot keeps counts), sibling links agreeing with the order of
// each level and ending in 0, the free list (pages inside the file, without
// entries, no loop) and the text index's parameter chain (pages of type 4).
// Checking the whole file adds that every page belongs to exactly one tree,
// free list or parameter chain.
//
// The checker never raises on damage and never loops: it reads pages one at
// a time (through the cache when a page is cached, so unwritten changes are
// seen), walks each tree level by level from the parent entries, and follows
// chains at most as many steps as the file has pages. It writes nothing.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "engine/index/BTree.h"
#include "engine/index/IndexFile.h"

namespace ledra {

struct TIndexFinding {
  enum TKind : uint8_t {
    kDamage,   // an invariant is broken
    kUnowned,  // a page of the file that no index owns (lost, not harmful)
  };
  TKind Kind = kDamage;
  int Slot = -1;     // -1: about the file as a whole
  int32_t Page = 0;  // 0: not about one page
  std::string Text;  // "slot 1, page 7: ..." in words
};

class TIndexChecker {
 public:
  explicit TIndexChecker(TIndexFile& file);

  // The comparison of a slot's keys. Without one, keys compare as plain
  // bytes, negated for a Descending index (the order of a table without a
  // locale).
  void SetComparator(int slot, const TKeyComparator* comparator);

  // The slots holding an index: 0 unless the table has no primary index,
  // 1..SecondaryIndexCount, 31 and 32.
  std::vector<int> SlotsInUse() const;
  // Checks one slot.
  std::vector<TIndexFinding> CheckSlot(int slot);
  // Checks every slot in use, and the ownership of every page of the file
  // (and of the temporary file).
  std::vector<TIndexFinding> CheckFile();

  // Findings as lines of text.
  static std::string Describe(const std::vector<TIndexFinding>& findings);

 private:
  class TSlotWalk;

  TIndexFile& file_;
  std::array<const TKeyComparator*, kIndexSlotCount> comparators_{};
};

}  // namespace ledra
