// One cached block of a .BLB file, the pool of spare ones, and the set of
// block numbers a chain walk has visited.
//
// Block layout on disk (BlockSize bytes, block n at 512 + (n - 1) * BlockSize):
//   0   4  previous block of the chain, 0 for the first block
//   4   4  next block of the chain, 0 for the last; in a free block the next
//          free block, 0 at the end of the free list
//   8   2  payload bytes used in this block
//   10  4  stamp: the owning record's blob stamp, equal in every block of a
//          chain
//   14  4  total length of the value: in the first block of a chain; 0 in
//          the others
//   18     payload, BlockSize - 18 bytes
// In an enciphered table the 18 header bytes and the payload are two separate
// cipher runs. The fields of a free block other than its link carry no
// meaning.
//
// A TBlock holds the decoded header and the payload of one block, plain. It is
// in exactly one place: the spare stack (TBlockStack), the block cache of its
// TBlobFile, or held by a caller after the cache dropped it (it is freed by
// its last release). A block in use (use count above 0) is never reused for
// another number, reloaded from disk or written; a dirty one is never reused
// before it was written.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "engine/blob/BlobHeader.h"

namespace ledra {

struct TBlockHeader {
  int32_t PrevBlock = 0;    // 0
  int32_t NextBlock = 0;    // 4
  uint16_t UsedCount = 0;   // 8
  int32_t Stamp = 0;        // 10
  int32_t TotalLength = 0;  // 14
};

// Decodes kBlobBlockHeaderSize deciphered bytes.
TBlockHeader DecodeBlockHeader(const uint8_t* bytes);
// Encodes into kBlobBlockHeaderSize bytes (not enciphered).
void EncodeBlockHeader(const TBlockHeader& header, uint8_t* bytes);

class TBlock {
 public:
  // A zeroed block of that payload size with number 0.
  explicit TBlock(size_t payloadSize = 0);
  TBlock(const TBlock&) = delete;
  TBlock& operator=(const TBlock&) = delete;

  int32_t BlockNumber() const { return blockNo_; }
  void SetBlockNumber(int32_t blockNo) { blockNo_ = blockNo; }

  bool Dirty() const { return dirty_; }
  void MarkDirty() { dirty_ = true; }
  void MarkClean() { dirty_ = false; }

  uint32_t UseCount() const { return useCount_; }
  bool InUse() const { return useCount_ != 0; }
  void Use() { ++useCount_; }
  // Never below 0.
  void Unuse() {
    if (useCount_ != 0) --useCount_;
  }

  const TBlockHeader& Header() const { return header_; }
  int32_t PrevBlock() const { return header_.PrevBlock; }
  int32_t NextBlock() const { return header_.NextBlock; }
  uint16_t UsedCount() const { return header_.UsedCount; }
  int32_t Stamp() const { return header_.Stamp; }
  int32_t TotalLength() const { return header_.TotalLength; }
  // Each setter makes the block dirty.
  void SetPrevBlock(int32_t blockNo);
  void SetNextBlock(int32_t blockNo);
  void SetStamp(int32_t stamp);
  void SetTotalLength(int32_t length);

  const uint8_t* Payload() const { return payload_.data(); }
  size_t PayloadSize() const { return payload_.size(); }
  // Copies `count` bytes (at most the payload size) to the start of the
  // payload and makes it the used count; the rest of the payload is zeroed so
  // that no stale bytes reach the file. Dirty afterwards.
  void SetPayload(const uint8_t* bytes, size_t count);

  // Header and payload zeroed, resized to `payloadSize`; clean, number kept.
  void Zero(size_t payloadSize);
  // Takes a deciphered block (kBlobBlockHeaderSize + PayloadSize bytes);
  // clean afterwards.
  void Load(const uint8_t* bytes);
  // Encodes the block into `target` (kBlobBlockHeaderSize + PayloadSize
  // bytes), not enciphered. The block stays dirty until the caller knows the
  // bytes reached the file.
  void Store(uint8_t* target) const;

 private:
  friend class TBlobFile;
  friend class TBlockStack;

  int32_t blockNo_ = 0;
  bool dirty_ = false;
  uint32_t useCount_ = 0;
  TBlockHeader header_;
  std::vector<uint8_t> payload_;
  // Neighbours in the cache's recently-used chain (newer = towards the most
  // recently used end); null outside the cache.
  TBlock* older_ = nullptr;
  TBlock* newer_ = nullptr;
  // Dropped from the cache while in use: freed by its last release.
  bool orphaned_ = false;
};

// Spare blocks of one blob file, at most kMaxSpares.
class TBlockStack {
 public:
  static constexpr size_t kMaxSpares = 32;

  TBlockStack();

  // A spare block, or a new one when none is left: zeroed with that payload
  // size, number 0, clean, not in use.
  std::unique_ptr<TBlock> Take(size_t payloadSize);
  // Keeps the block for later, or frees it when the stack is full.
  void Give(std::unique_ptr<TBlock> block);

  size_t Count() const { return spares_.size(); }
  void Clear() { spares_.clear(); }

 private:
  std::vector<std::unique_ptr<TBlock>> spares_;
};

// The block numbers one chain walk has met, so that a chain that runs into
// itself (a damaged or hostile file) is caught at its first repeat instead of
// being followed forever. Open addressing over positive numbers; the table is
// kept between walks, so that walking allocates nothing once it has grown.
class TBlockNumberSet {
 public:
  // Forgets every number (only the slots that were used are touched).
  void Clear();
  // Adds a positive number: false when it was there already.
  bool Insert(int32_t blockNo);
  bool Contains(int32_t blockNo) const;
  size_t Count() const { return used_.size(); }

 private:
  size_t SlotOf(int32_t blockNo) const;
  void Grow();

  std::vector<int32_t> slots_;  // 0 = empty
  std::vector<size_t> used_;    // slots holding a number
};

}  // namespace ledra
