// The tree operations on one index slot of an index file.
//
// Every index is a B+-tree of 4096-byte pages. Inner pages (type 0 for the
// root, 1 below it) route by key: entry i carries the first key of child i's
// subtree, the child's page number and, unless the slot has no entry counts
// (NoEntryCounts, or the text index), the number of leaf entries below the
// child. Leaf pages (type 2, or 3 for a root that is the only page) hold one
// entry per record: the key and the record number. The pages of every level
// are chained left to right through PrevPage and NextPage.
//
// Invariants kept by every operation, and checked by TIndexChecker:
//   - keys strictly increase under the slot's comparison, within a page and
//     along each level;
//   - an inner entry's key equals the first key of its child's subtree;
//   - an inner entry's count equals the number of leaf entries below it;
//   - every leaf is at the same depth; only the root has type 0 or 3;
//   - sibling links agree in both directions and end in 0 at both ends;
//   - no page holds more than it can be written with.
//
// Each operation fetches its pages through the slot's page cache, pinned, and
// releases all of them before it returns, also when it fails. Operations that
// change the tree first fetch and check every page they will touch (the path
// from the root, siblings, neighbours) and allocate every page they will need,
// and only then change anything, so a damaged page or a full file leaves the
// tree as it was.
//
// The changed signal: when a fetch finds that another user changed the table
// (TIndexChangeCheck), the cache has been dropped and the operation starts
// again from the root on the refreshed header. The check holds the table's
// read lock from then to the end of the cursor operation, so a second change
// cannot happen; after kMaxRestarts signals in one operation the table is
// taken to be unusable and LEDRA_LOCKTIMEOUT is raised. Once an operation has
// started to change pages, it fetches without the check (changes are made
// under the write lock, which has already looked for changes).
//
// Damage found on the way (a page number 0 or outside the file, a page of
// the wrong type for its place, an empty page, a child whose first key is not
// its separator or whose last key reaches the next separator, a sibling link
// that does not point back or breaks the key order, counts that do not add
// up, a path deeper than 64 levels) raises LEDRA_INDEXCORRUPT.
//
// Sequence numbers (1 + the leaf entries before an entry) come from the
// subtree counts. A slot without counts has none to come from: descents then
// leave the sequence number unknown (0), and EntryAtSequence, SequenceNumber
// and EntryCount count by walking the leaf level (bounded by the size of the
// file).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "engine/index/IndexFile.h"
#include "engine/index/PageCodec.h"

namespace ledra {

// The comparison of two keys of one index: -1, 0 or 1 over their first n
// bytes, -1 meaning that a orders before b.
class TKeyComparator {
 public:
  virtual int CompareKeys(const uint8_t* a, const uint8_t* b, size_t n) const = 0;

 protected:
  ~TKeyComparator() = default;
};

// A place on the leaf level: the entry a cursor stands on, with copies of its
// key and record number so that navigation can continue from it, or find its
// way back by key when the page has changed meanwhile.
struct TIndexPosition {
  int32_t LeafPage = 0;
  uint16_t Position = 0;   // entry number in LeafPage, from 1; 0 = no entry
  int32_t SequenceNo = 0;  // 0 = not known
  int32_t RecordNo = 0;
  std::array<uint8_t, kMaxStoredKeyLength> Key{};

  bool HasEntry() const { return Position != 0; }
  void Clear() { *this = TIndexPosition{}; }
};

inline constexpr int kMaxTreeDepth = 64;

class TBTree {
 public:
  static constexpr int kMaxRestarts = 8;

  // The tree of `slot` in `file`. `indexName` is the name engine errors
  // carry; `changeCheck` may be null (no change detection).
  TBTree(TIndexFile& file, int slot, const TKeyComparator& comparator, std::string indexName = {},
         TIndexChangeCheck* changeCheck = nullptr);

  int Slot() const { return slot_; }
  uint16_t KeyLength() const;
  bool HasEntryCounts() const;
  void SetChangeCheck(TIndexChangeCheck* check) { check_ = check; }

  // ---- Search and change (keys of KeyLength bytes) -------------------------

  bool IndexContains(const uint8_t* key);
  // For a unique index and for slots 31 and 32: LEDRA_KEYVIOL (with the
  // index and table names) when the key is present. Other indexes pass.
  void CheckUniqueKey(const uint8_t* key);
  // Adds an entry. A key already present raises LEDRA_KEYVIOL and changes
  // nothing (keys of one index are distinct by construction).
  void IndexInsert(const uint8_t* key, int32_t recordNo);
  // Removes the entry with this key; an absent key raises
  // LEDRA_INDEXCORRUPT and changes nothing.
  void IndexDelete(const uint8_t* key);
  // Replaces the entry of oldKey by (newKey, recordNo). An absent old key
  // raises LEDRA_INDEXCORRUPT and a present new key (other than the old one)
  // LEDRA_KEYVIOL, both before anything changes; if adding the new key fails
  // afterwards, the old entry is put back and that failure raised. When the
  // old entry cannot be put back either, the record has left the index (the
  // tree stays sound): LEDRA_INDEXCORRUPT, with the first failure's message
  // as its text.
  void IndexReplace(const uint8_t* oldKey, const uint8_t* newKey, int32_t recordNo);

  // ---- The leaf level ------------------------------------------------------
  // Each returns false when there is no such entry, leaving `pos` unchanged.

  bool FirstEntry(TIndexPosition& pos);
  bool LastEntry(TIndexPosition& pos);
  // The first entry whose first n key bytes are not below those of `key`
  // (n = 0: the whole key), and the last whose first n bytes are not above.
  bool FirstNotBelow(const uint8_t* key, TIndexPosition& pos, size_t n = 0);
  bool LastNotAbove(const uint8_t* key, TIndexPosition& pos, size_t n = 0);
  // The entry after / before `pos`. When the page no longer holds pos's entry
  // at its place (the tree changed), the step is taken from pos's key. From a
  // position without an entry, NextEntry gives the first entry and PrevEntry
  // the last.
  bool NextEntry(TIndexPosition& pos);
  bool PrevEntry(TIndexPosition& pos);
  // The entry with sequence number s (1 = the first).
  bool EntryAtSequence(int32_t s, TIndexPosition& pos);
  // The sequence number of pos's entry, computed (and stored in pos) when it
  // is not known; 0 when the entry is no longer in the index.
  int32_t SequenceNumber(TIndexPosition& pos);
  // The number of entries of the index.
  int32_t EntryCount();
  // How many entries of pos's leaf, from pos's entry on (counting it) in the
  // given direction (+1 forwards, -1 backwards), carry record numbers that
  // continue pos's by +1 (forwards) or -1 (backwards); at most `limit`. 0 when
  // pos has no entry or its page no longer holds it.
  int32_t ConsecutiveRun(const TIndexPosition& pos, int32_t limit, int direction);
  // Hands the entries of pos's leaf that follow pos's entry (direction +1)
  // or precede it (-1), nearest first and at most `limit`, to `visit` (key,
  // record number) until it returns false. Nothing when pos has no entry or
  // its page no longer holds it. Reads no other page.
  template <class F>
  void VisitLeafEntries(const TIndexPosition& pos, int32_t limit, int direction, F&& visit);

 private:
  struct TTreeChanged {};
  class TPinSet;
  struct TPath;
  struct TLevelPlan;

  // How a descent chooses the child at each inner page.
  enum class TRoute {
    NotAbove,  // the last entry not above the key, else the first
    Below,     // the last entry below the key, else the first
    First,
    Last,
    Sequence,  // the child holding the entry with a given sequence number
  };
  struct TRouteArgs {
    TRoute Route = TRoute::First;
    const uint8_t* Key = nullptr;
    size_t KeyBytes = 0;
    int64_t Sequence = 0;
  };

  template <class F>
  auto Run(F&& op) -> decltype(op());

  [[noreturn]] void Corrupt() const;
  [[noreturn]] void KeyViolation() const;
  void LoadFormat();
  int Compare(const uint8_t* a, const uint8_t* b, size_t n) const;
  int CompareFull(const uint8_t* a, const uint8_t* b) const;
  size_t KeyBytes(size_t n) const;

  // Fetching, pinned into `pins`, with the checks of a page's place.
  TPage* Fetch(TPinSet& pins, int32_t pageNo);
  TPage* FetchRoot(TPinSet& pins);
  TPage* FetchChild(TPinSet& pins, const TPage& parent, size_t i);
  // A page on the same level as `page` (its right or left neighbour) that
  // must link back to it and continue its key order.
  TPage* FetchLinked(TPinSet& pins, const TPage& page, int32_t pageNo, bool right);
  // The leaf to the right / left of `leaf`, or null at the end of the level.
  TPage* FetchNextLeaf(TPinSet& pins, const TPage& leaf);
  TPage* FetchPrevLeaf(TPinSet& pins, const TPage& leaf);
  TPage* Allocate(TPinSet& pins);

  // Searches within a page: the number of entries below / not above the key
  // (its first n bytes).
  size_t CountBelow(const TPage& page, const uint8_t* key, size_t n) const;
  size_t CountNotAbove(const TPage& page, const uint8_t* key, size_t n) const;
  // The leaf entries below a page, and below its entries 0..i-1.
  int64_t Total(const TPage& page) const;
  int64_t CountsBefore(const TPage& page, size_t i) const;

  // From the root to a leaf. With `keep` the whole path stays pinned (for
  // changes); otherwise each parent is released once its child is held.
  void Descend(TPinSet& pins, TPath& path, const TRouteArgs& args, bool keep);
  void SetPosition(TIndexPosition& pos, const TPage& leaf, size_t i, int64_t seq) const;
  void UpdateSeparators(TPath& path, int level);
  void BalanceCompressed(TPage& left, TPage& right);
  // Leaf entries before `stopLeaf` counted along the leaf level from the
  // left; with stopLeaf 0, stops at the leaf holding entry `sequence`
  // (returned in `stopPage`), or counts them all.
  int64_t WalkLeaves(TPinSet& pins, int32_t stopLeaf, int64_t sequence, TPage** stopPage);

  bool ContainsOnce(const uint8_t* key);
  void InsertOnce(const uint8_t* key, int32_t recordNo);
  void DeleteOnce(const uint8_t* key);
  bool EdgeOnce(TIndexPosition& pos, bool last);
  bool SeekOnce(const uint8_t* key, size_t n, bool forward, bool strict, TIndexPosition& pos);
  bool StepOnce(TIndexPosition& pos, bool forward);
  bool SequenceOnce(int32_t s, TIndexPosition& pos);
  int32_t SequenceNumberOnce(TIndexPosition& pos);
  // The leaf holding pos's entry at its place, or null when it moved.
  TPage* VerifiedLeaf(TPinSet& pins, const TIndexPosition& pos);
  // VerifiedLeaf for a caller outside the tree's operations: the page
  // pinned (release with ReleaseLeaf), or null.
  const TPage* PinVerifiedLeaf(const TIndexPosition& pos);
  void ReleaseLeaf(const TPage* page);

  TIndexFile& file_;
  int slot_;
  const TKeyComparator& comparator_;
  std::string indexName_;
  TIndexChangeCheck* check_;
  // Set once an operation has started to change pages.
  bool changing_ = false;
  // Set by the operations that only read the tree: their leaves may be
  // fetched for search, without decoding (TIndexFile::FetchPage).
  bool searching_ = false;
  TPageFormat format_;
  uint16_t innerCapacity_ = 0;
  uint16_t leafCapacity_ = 0;
  bool counts_ = true;
};

template <class F>
void TBTree::VisitLeafEntries(const TIndexPosition& pos, int32_t limit, int direction, F&& visit) {
  if (limit <= 0 || !pos.HasEntry()) return;
  const TPage* leaf = PinVerifiedLeaf(pos);
  if (leaf == nullptr) return;
  struct TRelease {
    TBTree& tree;
    const TPage* page;
    ~TRelease() { tree.ReleaseLeaf(page); }
  } release{*this, leaf};
  const int64_t step = direction < 0 ? -1 : 1;
  const int64_t count = int64_t(leaf->EntryCount());
  int64_t i = int64_t(pos.Position) - 1 + step;
  for (int32_t seen = 0; seen < limit && i >= 0 && i < count; ++seen, i += step) {
    if (!visit(leaf->Key(size_t(i)), leaf->Pointer(size_t(i)))) break;
  }
}

}  // namespace ledra
