#include "engine/files/RecordsBitmap.h"

#include <algorithm>
#include <bit>

namespace ledra {

namespace {

constexpr uint32_t kWordBits = 64;

size_t WordsFor(uint32_t size) {
  return (size_t(size) + kWordBits - 1) / kWordBits;
}

}  // namespace

void TRecordsBitmap::Grow(uint32_t size) {
  if (size <= size_) return;
  size_ = size;
  words_.resize(WordsFor(size), 0);
}

void TRecordsBitmap::Resize(uint32_t size) {
  size_ = size;
  words_.resize(WordsFor(size), 0);
  ClearBeyondSize();
}

void TRecordsBitmap::ClearBeyondSize() {
  if (words_.empty()) return;
  const uint32_t used = size_ % kWordBits;
  if (used != 0) words_.back() &= (uint64_t(1) << used) - 1;
}

void TRecordsBitmap::Set(uint32_t recordNo) {
  if (recordNo >= size_) Grow(recordNo + 1);
  words_[recordNo / kWordBits] |= uint64_t(1) << (recordNo % kWordBits);
}

void TRecordsBitmap::Clear(uint32_t recordNo) {
  if (recordNo >= size_) return;
  words_[recordNo / kWordBits] &= ~(uint64_t(1) << (recordNo % kWordBits));
}

void TRecordsBitmap::SetAll() {
  std::fill(words_.begin(), words_.end(), ~uint64_t(0));
  ClearBeyondSize();
  if (!words_.empty()) words_[0] &= ~uint64_t(1);
}

void TRecordsBitmap::ClearAll() {
  std::fill(words_.begin(), words_.end(), 0);
}

void TRecordsBitmap::Invert() {
  for (uint64_t& word : words_) word = ~word;
  ClearBeyondSize();
  if (!words_.empty()) words_[0] &= ~uint64_t(1);
}

void TRecordsBitmap::IntersectWith(const TRecordsBitmap& other) {
  for (size_t i = 0; i < words_.size(); ++i) {
    words_[i] &= i < other.words_.size() ? other.words_[i] : 0;
  }
}

uint32_t TRecordsBitmap::Count() const {
  uint32_t count = 0;
  for (uint64_t word : words_) count += uint32_t(std::popcount(word));
  return count;
}

uint32_t TRecordsBitmap::NextSet(uint32_t after) const {
  if (after >= size_ || after + 1 >= size_) return 0;
  uint32_t from = after + 1;
  size_t index = from / kWordBits;
  uint64_t word = words_[index] & (~uint64_t(0) << (from % kWordBits));
  while (true) {
    if (word != 0) return uint32_t(index * kWordBits) + uint32_t(std::countr_zero(word));
    if (++index >= words_.size()) return 0;
    word = words_[index];
  }
}

uint32_t TRecordsBitmap::PriorSet(uint32_t before) const {
  if (before == 0 || size_ == 0) return 0;
  uint32_t from = std::min(before - 1, size_ - 1);
  size_t index = from / kWordBits;
  const uint32_t bit = from % kWordBits;
  uint64_t word =
      words_[index] & (bit == kWordBits - 1 ? ~uint64_t(0) : (uint64_t(1) << (bit + 1)) - 1);
  while (true) {
    if (word != 0) {
      return uint32_t(index * kWordBits) + (kWordBits - 1) - uint32_t(std::countl_zero(word));
    }
    if (index == 0) return 0;
    word = words_[--index];
  }
}

uint32_t TRecordsBitmap::NthSet(uint32_t n) const {
  if (n == 0) return 0;
  for (size_t index = 0; index < words_.size(); ++index) {
    uint64_t word = words_[index];
    const uint32_t count = uint32_t(std::popcount(word));
    if (n > count) {
      n -= count;
      continue;
    }
    // The n-th set bit of this word.
    for (uint32_t i = 1; i < n; ++i) word &= word - 1;
    return uint32_t(index * kWordBits) + uint32_t(std::countr_zero(word));
  }
  return 0;
}

uint32_t TRecordsBitmap::RankOf(uint32_t recordNo) const {
  if (size_ == 0) return 0;
  const uint32_t last = std::min(recordNo, size_ - 1);
  uint32_t count = 0;
  const size_t lastIndex = last / kWordBits;
  for (size_t i = 0; i < lastIndex; ++i) count += uint32_t(std::popcount(words_[i]));
  const uint32_t bit = last % kWordBits;
  const uint64_t mask = bit == kWordBits - 1 ? ~uint64_t(0) : (uint64_t(1) << (bit + 1)) - 1;
  return count + uint32_t(std::popcount(words_[lastIndex] & mask));
}

bool TRecordsBitmap::operator==(const TRecordsBitmap& other) const {
  const size_t common = std::min(words_.size(), other.words_.size());
  for (size_t i = 0; i < common; ++i) {
    if (words_[i] != other.words_[i]) return false;
  }
  for (size_t i = common; i < words_.size(); ++i) {
    if (words_[i] != 0) return false;
  }
  for (size_t i = common; i < other.words_.size(); ++i) {
    if (other.words_[i] != 0) return false;
  }
  return true;
}

}  // namespace ledra
