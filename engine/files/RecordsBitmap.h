// A set of record numbers, one bit per record slot.
//
// A table keeps three of them for its record locks (held, held by a cursor,
// waiting for the end of a transaction to be unlocked), and a cursor keeps one
// of the records it may show. Bit n stands for record number n; bit 0 is never
// a record. The set is grown before use to the number of record slots + 1, so
// that every record of the table has its bit; a bit beyond the size reads as
// clear, and setting one grows the set.
#pragma once

#include <cstdint>
#include <vector>

namespace ledra {

class TRecordsBitmap {
 public:
  TRecordsBitmap() = default;
  explicit TRecordsBitmap(uint32_t size) { Grow(size); }

  // The number of bits (the highest record number it can hold + 1).
  uint32_t Size() const { return size_; }
  // Grows to at least `size` bits; new bits are clear. Never shrinks.
  void Grow(uint32_t size);
  // Sets the size exactly; bits beyond a smaller size are dropped.
  void Resize(uint32_t size);

  bool Contains(uint32_t recordNo) const {
    return recordNo < size_ && (words_[recordNo / 64] >> (recordNo % 64) & 1u) != 0;
  }
  // Sets a bit, growing the set when needed.
  void Set(uint32_t recordNo);
  void Clear(uint32_t recordNo);
  // Every bit 1 .. Size() - 1 set (bit 0 stays clear), or every bit clear.
  void SetAll();
  void ClearAll();
  // Bits 1 .. Size() - 1 inverted.
  void Invert();
  // Keeps only the bits also set in `other` (bits beyond its size clear).
  void IntersectWith(const TRecordsBitmap& other);

  bool Empty() const { return Count() == 0; }
  // The number of set bits.
  uint32_t Count() const;
  // The first set bit above `after` (0 = from the start), or 0 when none.
  uint32_t NextSet(uint32_t after) const;
  // The last set bit below `before` (Size() or more = from the end), or 0.
  uint32_t PriorSet(uint32_t before) const;
  // The n-th set bit (n from 1), or 0 when there are fewer.
  uint32_t NthSet(uint32_t n) const;
  // How many set bits lie in 1 .. recordNo.
  uint32_t RankOf(uint32_t recordNo) const;

  bool operator==(const TRecordsBitmap& other) const;

 private:
  void ClearBeyondSize();

  uint32_t size_ = 0;
  std::vector<uint64_t> words_;
};

}  // namespace ledra
