// One index of a table as a cursor works on it: the slot's descriptor, the
// keys built and compared over the table's fields and collation, and the
// B-tree of the slot.
//
// A cursor holds one of these for its current index (slots 0..30) and one for
// the deleted-records index (slot 31); the record update path makes one for
// every index a change touches, the text index (slot 32) included. The text
// index has no key of a whole record (BuildKey raises LEDRA_INVALIDIDXDESC
// there; its keys come from Keys().BuildTextKey) and is never a cursor's
// order. The object takes a copy of the slot's
// descriptor when it is made: descriptors change only while a table is held
// exclusively for restructuring, never under an open cursor. Root pages,
// entry counts and the pages themselves are read from the index file on every
// use, so the object stays valid when other users change the tree.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

#include "engine/index/BTree.h"
#include "engine/index/CharMaps.h"
#include "engine/index/IndexHeader.h"
#include "engine/index/Keys.h"

namespace ledra {

class TDataTable;

class TCursorIndex final : public TKeyComparator {
 public:
  // The index of `slot` (0..32) of the open table. `changeCheck` is asked
  // before a page is read from disk (null: never). Raises what TIndexKeys
  // raises for descriptors that do not fit the table (LEDRA_HEADERCORRUPT),
  // and LEDRA_INVALIDIDXDESC for a slot out of range.
  TCursorIndex(TDataTable& table, int slot, const TCharMap& charMap,
               TIndexChangeCheck* changeCheck);
  TCursorIndex(const TCursorIndex&) = delete;
  TCursorIndex& operator=(const TCursorIndex&) = delete;

  int Slot() const { return slot_; }
  const TIndexDesc& Desc() const { return desc_; }
  // The name engine errors carry: the index name, "Primary" for slot 0,
  // "Sys Deleted" and "Sys Text" for the internal ones.
  const std::string& Name() const { return name_; }
  uint16_t KeyLength() const { return keys_.KeyLength(); }
  bool Unique() const { return keys_.Unique(); }
  bool Descending() const { return keys_.Descending(); }
  uint8_t KeyFieldCount() const { return desc_.KeyFieldCount; }

  TIndexKeys& Keys() { return keys_; }
  TBTree& Tree() { return tree_; }

  // The key of a record image (KeyLength bytes into `key`).
  void BuildKey(const uint8_t* image, uint8_t* key) { keys_.BuildKey(image, key); }
  // -1, 0 or 1 over the first n bytes (cut to KeyLength) in index order.
  int CompareKeys(const uint8_t* a, const uint8_t* b, size_t n) const override;
  int CompareWhole(const uint8_t* a, const uint8_t* b) const {
    return CompareKeys(a, b, KeyLength());
  }

  // The number of key bytes a partial key description covers: the segments
  // of the first `fieldCount` key fields and, with partialLength p > 0, the
  // null byte and the first p characters of the next one. At most KeyLength.
  size_t SignificantLength(int fieldCount, int partialLength) const;
  // Completes a key after its first n bytes as the first (or last) key in
  // the index's own order that begins with them: the lowest fill of an
  // ascending index is the highest of a descending one.
  void CompleteFirst(uint8_t* key, size_t n) const;
  void CompleteLast(uint8_t* key, size_t n) const;

 private:
  int slot_;
  TIndexDesc desc_;
  std::string name_;
  TIndexKeys keys_;
  TBTree tree_;
  // Where each key field's segment ends in the key.
  std::array<uint16_t, kMaxKeyFields> segmentEnds_{};
};

}  // namespace ledra
