// Helpers shared by the blob block and chain tests: blob files written out by
// hand, and a cache client that reports changes on demand.
#pragma once

#include <cstdint>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "engine/blob/BlobFile.h"
#include "tests/support/HeldFiles.h"

namespace ledra::test {

using Bytes = std::vector<uint8_t>;

inline void PutHand32(Bytes& bytes, size_t offset, uint32_t v) {
  for (int k = 0; k < 4; ++k) bytes[offset + size_t(k)] = uint8_t(v >> (8 * k));
}

inline Bytes ReadBytes(const std::string& path) {
  SkipWhereHeldExclusively(path);
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void WriteBytes(const std::string& path, const Bytes& bytes) {
  SkipWhereHeldExclusively(path);
  std::ofstream(path, std::ios::binary | std::ios::trunc)
      .write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
}

// One block as it lies on disk (plain): the header fields written out by hand
// at their offsets, then `used` payload bytes of `fill`, the rest zero.
struct THandBlock {
  int32_t prev = 0;
  int32_t next = 0;
  uint16_t used = 0;
  int32_t stamp = 0;
  int32_t total = 0;
  uint8_t fill = 0;
};

// A whole blob file: header (version 5) and the blocks in order.
inline Bytes HandBlobFile(int32_t blockSize, int32_t firstFree,
                          const std::vector<THandBlock>& blocks, uint32_t changeCount = 1) {
  Bytes bytes(512 + blocks.size() * size_t(blockSize), 0);
  PutHand32(bytes, 0, changeCount);
  bytes[8] = 5;
  PutHand32(bytes, 9, uint32_t(firstFree));
  PutHand32(bytes, 13, uint32_t(blocks.size() + 1));
  for (size_t k = 0; k < blocks.size(); ++k) {
    const size_t at = 512 + k * size_t(blockSize);
    const THandBlock& b = blocks[k];
    PutHand32(bytes, at + 0, uint32_t(b.prev));
    PutHand32(bytes, at + 4, uint32_t(b.next));
    bytes[at + 8] = uint8_t(b.used);
    bytes[at + 9] = uint8_t(b.used >> 8);
    PutHand32(bytes, at + 10, uint32_t(b.stamp));
    PutHand32(bytes, at + 14, uint32_t(b.total));
    for (size_t i = 0; i < b.used; ++i) bytes[at + 18 + i] = b.fill;
  }
  return bytes;
}

// Answers "changed" for the next `changes` calls, dropping the file's cached
// blocks each time as the table's change detection would.
class TTestBlobClient final : public TBlobCacheClient {
 public:
  explicit TTestBlobClient(TBlobFile* file = nullptr, int changes = 0)
      : file_(file), changes_(changes) {}
  bool CheckForChanges() override {
    ++calls;
    if (changes_ == 0) return false;
    if (changes_ > 0) --changes_;
    if (file_) file_->DropCachedBlocks();
    return true;
  }
  // Negative: every call reports a change.
  void SetChanges(int changes) { changes_ = changes; }
  int calls = 0;

 private:
  TBlobFile* file_;
  int changes_;
};

}  // namespace ledra::test
