#include "engine/blob/BlobChecker.h"

#include <algorithm>
#include <exception>

#include "engine/blob/BlobChain.h"
#include "engine/errors/EngineError.h"

namespace ledra {

namespace {

// Who a block belongs to while checking.
constexpr int32_t kUnowned = 0;
constexpr int32_t kFreeList = -1;
// Blocks read from the file per call.
constexpr int32_t kCheckRunBlocks = 64;

class TChecker {
 public:
  TChecker(TBlobFile& file, std::span<const TBlobReference> references)
      : file_(file), references_(references) {}

  std::vector<TBlobFinding> Run() {
    blockCount_ = file_.BlockCount();
    payload_ = file_.BlockPayloadSize();
    if (!LoadHeaders()) return std::move(findings_);
    owner_.assign(size_t(blockCount_) + 1, kUnowned);
    for (size_t k = 0; k < references_.size(); ++k) CheckChain(int32_t(k));
    CheckFreeList();
    for (int32_t n = 1; n <= blockCount_; ++n) {
      if (owner_[size_t(n)] == kUnowned) {
        Add(TBlobFault::LostBlock, -1, n,
            "block " + std::to_string(n) + " belongs to no chain and is not free");
      }
    }
    return std::move(findings_);
  }

 private:
  void Add(TBlobFault fault, int32_t reference, int32_t block, std::string text) {
    if (findings_.size() > kMaxBlobFindings) return;
    if (findings_.size() == kMaxBlobFindings) {
      findings_.push_back({TBlobFault::TooManyFindings, -1, 0, "further findings left out"});
      return;
    }
    findings_.push_back({fault, reference, block, std::move(text)});
  }

  bool InFile(int32_t n) const { return n >= 1 && n <= blockCount_; }

  // The header of every block: from the cache where it holds the block, from
  // the file otherwise.
  bool LoadHeaders() {
    headers_.assign(size_t(blockCount_) + 1, TBlockHeader());
    const size_t blockSize = size_t(file_.BlockSize());
    std::vector<uint8_t> buffer(size_t(kCheckRunBlocks) * blockSize);
    for (int32_t n = 1; n <= blockCount_;) {
      const int32_t count = std::min(kCheckRunBlocks, blockCount_ - n + 1);
      int32_t got = 0;
      try {
        got = file_.ReadBlockRun(n, count, buffer.data());
      } catch (const std::exception&) {
        // Reported below for the first block neither read nor cached.
        got = 0;
      }
      for (int32_t k = 0; k < got; ++k) {
        headers_[size_t(n + k)] = DecodeBlockHeader(buffer.data() + size_t(k) * blockSize);
      }
      // Blocks the file does not hold yet may exist in the cache.
      for (int32_t k = got; k < count; ++k) {
        const TBlock* cached = file_.FindCachedBlock(n + k);
        if (!cached) {
          Add(TBlobFault::ReadFailed, -1, n + k,
              "block " + std::to_string(n + k) + " could not be read");
          return false;
        }
      }
      n += count;
    }
    for (int32_t n = 1; n <= blockCount_; ++n) {
      if (const TBlock* cached = file_.FindCachedBlock(n)) headers_[size_t(n)] = cached->Header();
    }
    return true;
  }

  void CheckChain(int32_t k) {
    const TBlobReference& ref = references_[size_t(k)];
    const std::string who = "the blob of reference " + std::to_string(k);
    if (ref.FirstBlock == 0) {
      if (ref.Length > 0) {
        Add(TBlobFault::LengthMismatch, k, 0, who + " has no blocks but a length");
      }
      return;
    }
    if (!InFile(ref.FirstBlock)) {
      Add(TBlobFault::ReferenceOutOfRange, k, ref.FirstBlock,
          who + " starts at block " + std::to_string(ref.FirstBlock) + ", outside the file");
      return;
    }
    const int32_t total = headers_[size_t(ref.FirstBlock)].TotalLength;
    if (total < 0 || (ref.Length >= 0 && int64_t(total) != ref.Length)) {
      Add(TBlobFault::LengthMismatch, k, ref.FirstBlock,
          who + " has total length " + std::to_string(total));
    }

    const int32_t mine = k + 1;
    int32_t previous = 0;
    int64_t position = 0;
    int64_t used = 0;
    bool complete = true;
    for (int32_t n = ref.FirstBlock; n != 0; ++position) {
      if (!InFile(n)) {
        Add(TBlobFault::LinkOutOfRange, k, previous,
            who + ": block " + std::to_string(previous) + " links to block " + std::to_string(n) +
                ", outside the file");
        complete = false;
        break;
      }
      const std::string at = who + ": block " + std::to_string(n);
      int32_t& owner = owner_[size_t(n)];
      if (owner == mine) {
        Add(TBlobFault::ChainCycle, k, n, at + " is met twice");
        complete = false;
        break;
      }
      if (owner != kUnowned) {
        Add(TBlobFault::BlockShared, k, n,
            at + " also belongs to the blob of reference " + std::to_string(owner - 1));
        complete = false;
        break;
      }
      owner = mine;
      const TBlockHeader& h = headers_[size_t(n)];
      if (h.Stamp != ref.Stamp) {
        Add(TBlobFault::StampMismatch, k, n,
            at + " carries stamp " + std::to_string(h.Stamp) + ", the record " +
                std::to_string(ref.Stamp));
      }
      if (h.PrevBlock != previous) {
        Add(TBlobFault::PrevMismatch, k, n,
            at + " names block " + std::to_string(h.PrevBlock) + " as previous, not " +
                std::to_string(previous));
      }
      if (position > 0 && h.TotalLength != 0) {
        Add(TBlobFault::MiddleTotalLength, k, n, at + " carries a total length");
      }
      if (int32_t(h.UsedCount) > payload_ || (h.NextBlock != 0 && h.UsedCount != payload_)) {
        Add(TBlobFault::UsedCountBad, k, n,
            at + " uses " + std::to_string(h.UsedCount) + " bytes of " + std::to_string(payload_));
      }
      used += std::min<int64_t>(h.UsedCount, payload_);
      previous = n;
      n = h.NextBlock;
    }
    if (complete && total >= 0 && (used != total || position != BlobBlocksFor(total, payload_))) {
      Add(TBlobFault::ChainLength, k, ref.FirstBlock,
          who + " has " + std::to_string(position) + " blocks using " + std::to_string(used) +
              " bytes for a length of " + std::to_string(total));
    }
  }

  void CheckFreeList() {
    const int32_t head = file_.FirstFreeBlock();
    for (int32_t n = head, previous = 0; n != 0; previous = n, n = headers_[size_t(n)].NextBlock) {
      if (!InFile(n)) {
        Add(TBlobFault::FreeListOutOfRange, -1, previous,
            "the free list reaches block " + std::to_string(n) + ", outside the file");
        return;
      }
      int32_t& owner = owner_[size_t(n)];
      if (owner == kFreeList) {
        Add(TBlobFault::FreeListCycle, -1, n,
            "the free list meets block " + std::to_string(n) + " twice");
        return;
      }
      if (owner != kUnowned) {
        Add(TBlobFault::FreeBlockInChain, owner - 1, n,
            "free block " + std::to_string(n) + " belongs to the blob of reference " +
                std::to_string(owner - 1));
        return;
      }
      owner = kFreeList;
    }
  }

  TBlobFile& file_;
  std::span<const TBlobReference> references_;
  int32_t blockCount_ = 0;
  int32_t payload_ = 0;
  std::vector<TBlockHeader> headers_;
  std::vector<int32_t> owner_;
  std::vector<TBlobFinding> findings_;
};

}  // namespace

std::vector<TBlobFinding> CheckBlobFile(TBlobFile& file,
                                        std::span<const TBlobReference> references) {
  try {
    return TChecker(file, references).Run();
  } catch (const std::exception& error) {
    // Only memory can run out here; say so instead of passing it on.
    return {
        {TBlobFault::ReadFailed, -1, 0, std::string("the check could not run: ") + error.what()}};
  }
}

}  // namespace ledra
