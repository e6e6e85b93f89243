// The .BLB header, its blocks and the chains records refer to.
//
// Input: the stored block size (2 bytes, as the .DAT header keeps it), a
// reference count (1 byte, at most 16), the references (first block, stamp,
// length: 4 bytes each), then the .BLB image.
//
// The header codec must decode any bytes and reproduce its own encoding. The
// blob file handler opens the image as a table does; every referenced value
// is loaded, the blob checker runs over all references, and each value is
// then rewritten with a new length and freed again (allocating from and
// returning to a free list that may be damaged), written back, and checked
// once more.
#include <algorithm>
#include <array>
#include <cstdint>
#include <vector>

#include "engine/blob/BlobChain.h"
#include "engine/blob/BlobChecker.h"
#include "engine/blob/BlobFile.h"
#include "engine/blob/BlobHeader.h"
#include "engine/blob/Block.h"
#include "fuzz/FuzzSupport.h"

using namespace ledra;
using namespace ledra::fuzz;

namespace {

constexpr size_t kMaxReferences = 16;
// Rewritten values are kept short: the point is the chains, not the bytes.
constexpr int64_t kMaxRewrite = 4096;

void CheckCodecs(std::span<const uint8_t> blb) {
  if (blb.size() >= kBlobHeaderSize) {
    std::array<uint8_t, kBlobHeaderSize> once{}, twice{};
    EncodeBlobHeader(DecodeBlobHeader(blb.data()), once.data());
    EncodeBlobHeader(DecodeBlobHeader(once.data()), twice.data());
    if (once != twice) Finding("blob header: decoding its own encoding changed it");
  }
  if (blb.size() >= kBlobHeaderSize + kBlobBlockHeaderSize) {
    std::array<uint8_t, kBlobBlockHeaderSize> once{}, twice{};
    EncodeBlockHeader(DecodeBlockHeader(blb.data() + kBlobHeaderSize), once.data());
    EncodeBlockHeader(DecodeBlockHeader(once.data()), twice.data());
    if (once != twice) Finding("block header: decoding its own encoding changed it");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  TInputReader input(data, size);
  const int32_t storedBlockSize = input.LE16();
  const size_t count = std::min<size_t>(input.Byte(), kMaxReferences);
  std::vector<TBlobReference> references(count);
  for (TBlobReference& r : references) {
    r.FirstBlock = int32_t(input.LE32());
    r.Stamp = int32_t(input.LE32());
    r.Length = int64_t(int32_t(input.LE32()));
  }
  const std::span<const uint8_t> blb = input.Rest();
  CheckCodecs(blb);

  TMemoryImage image("FUZZBLOB.BLB", blb);
  TBlobFile file(image.Name());
  file.SetInMemory(true);
  file.SetTableName("FUZZBLOB");
  Step([&] {
    file.SetBlockSize(storedBlockSize);
    file.OpenBlobFile();
    std::vector<uint8_t> value;
    for (const TBlobReference& r : references) {
      Step([&] { LoadBlobValue(file, r.FirstBlock, r.Stamp, value, nullptr); });
    }
    CheckBlobFile(file, references);
    for (TBlobReference& r : references) {
      const bool stored = Step([&] {
        value.assign(size_t(std::clamp<int64_t>(r.Length, 0, kMaxRewrite) / 2), uint8_t(r.Stamp));
        r.FirstBlock = StoreBlobValue(file, r.FirstBlock, r.Stamp + 1, value, nullptr);
        r.Stamp += 1;
        r.Length = int64_t(value.size());
        LoadBlobValue(file, r.FirstBlock, r.Stamp, value, nullptr);
        if (value.size() != size_t(r.Length)) Finding("blob: a stored value reads back changed");
      });
      // After a failed store the table drops its buffers instead of writing.
      if (!stored) {
        file.DropCachedBlocks();
        return;
      }
    }
    file.WriteDirtyBlocks();
    file.WriteBlobHeader(false);
    CheckBlobFile(file, references);
    for (const TBlobReference& r : references) FreeBlobValue(file, r.FirstBlock, r.Stamp, nullptr);
    file.WriteDirtyBlocks();
    file.WriteBlobHeader(false);
  });
  file.CloseBlobFile();
  return 0;
}
