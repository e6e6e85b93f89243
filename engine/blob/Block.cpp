#include "engine/blob/Block.h"

#include <algorithm>
#include <cstring>

#include "engine/files/Bytes.h"

namespace ledra {

namespace {
// Byte offsets inside the block header.
constexpr size_t kOffPrevBlock = 0;
constexpr size_t kOffNextBlock = 4;
constexpr size_t kOffUsedCount = 8;
constexpr size_t kOffStamp = 10;
constexpr size_t kOffTotalLength = 14;
static_assert(kOffTotalLength + 4 == size_t(kBlobBlockHeaderSize));

constexpr size_t kFirstSetSize = 64;
}  // namespace

TBlockHeader DecodeBlockHeader(const uint8_t* bytes) {
  TBlockHeader header;
  header.PrevBlock = GetLEInt32(bytes + kOffPrevBlock);
  header.NextBlock = GetLEInt32(bytes + kOffNextBlock);
  header.UsedCount = GetLE16(bytes + kOffUsedCount);
  header.Stamp = GetLEInt32(bytes + kOffStamp);
  header.TotalLength = GetLEInt32(bytes + kOffTotalLength);
  return header;
}

void EncodeBlockHeader(const TBlockHeader& header, uint8_t* bytes) {
  PutLE32(bytes + kOffPrevBlock, uint32_t(header.PrevBlock));
  PutLE32(bytes + kOffNextBlock, uint32_t(header.NextBlock));
  PutLE16(bytes + kOffUsedCount, header.UsedCount);
  PutLE32(bytes + kOffStamp, uint32_t(header.Stamp));
  PutLE32(bytes + kOffTotalLength, uint32_t(header.TotalLength));
}

// ---- TBlock ---------------------------------------------------------------------------

TBlock::TBlock(size_t payloadSize) : payload_(payloadSize, 0) {}

void TBlock::SetPrevBlock(int32_t blockNo) {
  header_.PrevBlock = blockNo;
  dirty_ = true;
}

void TBlock::SetNextBlock(int32_t blockNo) {
  header_.NextBlock = blockNo;
  dirty_ = true;
}

void TBlock::SetStamp(int32_t stamp) {
  header_.Stamp = stamp;
  dirty_ = true;
}

void TBlock::SetTotalLength(int32_t length) {
  header_.TotalLength = length;
  dirty_ = true;
}

void TBlock::SetPayload(const uint8_t* bytes, size_t count) {
  count = std::min(count, payload_.size());
  if (count != 0) std::memcpy(payload_.data(), bytes, count);
  std::fill(payload_.begin() + std::ptrdiff_t(count), payload_.end(), uint8_t(0));
  header_.UsedCount = uint16_t(count);
  dirty_ = true;
}

void TBlock::Zero(size_t payloadSize) {
  header_ = TBlockHeader();
  // assign() keeps the capacity, so a recycled block allocates nothing.
  payload_.assign(payloadSize, 0);
  dirty_ = false;
}

void TBlock::Load(const uint8_t* bytes) {
  header_ = DecodeBlockHeader(bytes);
  if (!payload_.empty()) {
    std::memcpy(payload_.data(), bytes + kBlobBlockHeaderSize, payload_.size());
  }
  dirty_ = false;
}

void TBlock::Store(uint8_t* target) const {
  EncodeBlockHeader(header_, target);
  if (!payload_.empty()) {
    std::memcpy(target + kBlobBlockHeaderSize, payload_.data(), payload_.size());
  }
}

// ---- TBlockStack ----------------------------------------------------------------------

TBlockStack::TBlockStack() {
  spares_.reserve(kMaxSpares);
}

std::unique_ptr<TBlock> TBlockStack::Take(size_t payloadSize) {
  std::unique_ptr<TBlock> block;
  if (spares_.empty()) {
    block = std::make_unique<TBlock>(payloadSize);
  } else {
    block = std::move(spares_.back());
    spares_.pop_back();
    block->Zero(payloadSize);
  }
  block->blockNo_ = 0;
  block->useCount_ = 0;
  block->orphaned_ = false;
  block->older_ = nullptr;
  block->newer_ = nullptr;
  return block;
}

void TBlockStack::Give(std::unique_ptr<TBlock> block) {
  if (!block) return;
  block->older_ = nullptr;
  block->newer_ = nullptr;
  if (spares_.size() < kMaxSpares) spares_.push_back(std::move(block));
}

// ---- TBlockNumberSet --------------------------------------------------------------------

void TBlockNumberSet::Clear() {
  for (size_t slot : used_) slots_[slot] = 0;
  used_.clear();
}

size_t TBlockNumberSet::SlotOf(int32_t blockNo) const {
  // Fibonacci hashing spreads consecutive block numbers over the table.
  const size_t mask = slots_.size() - 1;
  size_t slot = size_t((uint64_t(uint32_t(blockNo)) * 0x9E3779B97F4A7C15ull) >> 32) & mask;
  while (slots_[slot] != 0 && slots_[slot] != blockNo) slot = (slot + 1) & mask;
  return slot;
}

bool TBlockNumberSet::Contains(int32_t blockNo) const {
  if (slots_.empty() || blockNo <= 0) return false;
  return slots_[SlotOf(blockNo)] == blockNo;
}

bool TBlockNumberSet::Insert(int32_t blockNo) {
  if (blockNo <= 0) return true;
  // At most half full, so probes stay short and an empty slot always exists.
  if ((used_.size() + 1) * 2 > slots_.size()) Grow();
  const size_t slot = SlotOf(blockNo);
  if (slots_[slot] == blockNo) return false;
  slots_[slot] = blockNo;
  used_.push_back(slot);
  return true;
}

void TBlockNumberSet::Grow() {
  std::vector<int32_t> numbers;
  numbers.reserve(used_.size());
  for (size_t slot : used_) numbers.push_back(slots_[slot]);
  slots_.assign(std::max(kFirstSetSize, slots_.size() * 2), 0);
  used_.clear();
  used_.reserve(slots_.size() / 2);
  for (int32_t n : numbers) {
    const size_t slot = SlotOf(n);
    slots_[slot] = n;
    used_.push_back(slot);
  }
}

}  // namespace ledra
