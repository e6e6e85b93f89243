#include "engine/blob/BlobChain.h"

#include <algorithm>
#include <cstring>
#include <limits>

#include "engine/errors/EngineError.h"

namespace ledra {

namespace {

[[noreturn]] void RaiseChainError(const TBlobFile& file, TEngineErrorCode code) {
  RaiseTableError(code, file.TableName());
}

// One attempt at loading: false when a fetch gave the retry signal. The
// first block comes through the cache (its length tells how many follow);
// the others are read straight through, in runs, without being cached.
bool TryLoad(TBlobFile& file, int32_t firstBlock, int32_t stamp, std::vector<uint8_t>& value,
             TBlobCacheClient* client) {
  const int32_t payload = file.BlockPayloadSize();
  TBlockNumberSet& walk = file.WalkSet();
  walk.Clear();
  if (!file.IsValidBlockNo(firstBlock)) RaiseChainError(file, LEDRA_MEMOCORRUPT);
  walk.Insert(firstBlock);

  THeldBlock first(file, file.GetBlock(firstBlock, false, 1, client));
  if (!first) return false;
  if (first->Stamp() != stamp) RaiseChainError(file, LEDRA_KEYORRECDELETED);
  const int32_t length = first->TotalLength();
  if (length < 0) RaiseChainError(file, LEDRA_MEMOCORRUPT);
  // A walk never meets a block twice, so no chain yields more than the whole
  // file's payload: a larger recorded length gets no more room than that
  // (its chain ends short, or damaged, long before).
  const size_t total = size_t(length);
  const size_t room =
      size_t(std::min<int64_t>(length, int64_t(file.BlockCount()) * int64_t(payload)));
  value.resize(room);

  TReadThrough through(file);
  TBlobFile::TPassingBlock block{first->Header(), first->Payload()};
  size_t copied = 0;
  while (copied < total) {
    const size_t want = std::min(size_t(payload), total - copied);
    const size_t take = std::min<size_t>(want, block.Header.UsedCount);
    if (take > room - copied) RaiseChainError(file, LEDRA_MEMOCORRUPT);
    if (take != 0) std::memcpy(value.data() + copied, block.Payload, take);
    copied += take;
    // A block used less than it could be ends the value.
    if (take < want || copied == total) break;
    const int32_t next = block.Header.NextBlock;
    if (next == 0) break;
    if (!file.IsValidBlockNo(next) || !walk.Insert(next)) RaiseChainError(file, LEDRA_MEMOCORRUPT);
    const int64_t stillNeeded = BlobBlocksFor(int64_t(total - copied), payload);
    if (!file.PassBlock(next, int32_t(stillNeeded), client, block)) return false;
    if (block.Header.Stamp != stamp) RaiseChainError(file, LEDRA_KEYORRECDELETED);
  }
  if (copied < total) RaiseChainError(file, LEDRA_ENDOFBLOB);
  return true;
}

// A fetch under the write lock that reports a change: the buffers this write
// was building on are gone, so nothing may go on.
TBlock* MustHave(const TBlobFile& file, TBlock* block) {
  if (!block) RaiseChainError(file, LEDRA_LOCKTIMEOUT);
  return block;
}

}  // namespace

int64_t BlobBlocksFor(int64_t length, int32_t payloadSize) {
  if (length <= 0 || payloadSize <= 0) return 0;
  return (length + payloadSize - 1) / payloadSize;
}

void LoadBlobValue(TBlobFile& file, int32_t firstBlock, int32_t stamp, std::vector<uint8_t>& value,
                   TBlobCacheClient* client) {
  value.clear();
  if (firstBlock == 0) return;
  try {
    for (int attempt = 0; attempt < kMaxLoadAttempts; ++attempt) {
      if (TryLoad(file, firstBlock, stamp, value, client)) return;
    }
  } catch (...) {
    value.clear();
    throw;
  }
  value.clear();
  RaiseChainError(file, LEDRA_LOCKTIMEOUT);
}

int32_t StoreBlobValue(TBlobFile& file, int32_t firstBlock, int32_t newStamp,
                       std::span<const uint8_t> value, TBlobCacheClient* client) {
  if (value.size() > size_t(std::numeric_limits<int32_t>::max())) {
    RaiseChainError(file, LEDRA_TABLEFULL);
  }
  TBlockNumberSet& walk = file.WalkSet();
  walk.Clear();
  // The old chain is walked and checked whole before anything changes; its
  // blocks then stand in the walk set, so that a new block found among them
  // (a free list cross-linked with the chain) is caught instead of written
  // over the value the record on disk still names. When the blocks it frees
  // are held back until written, it is freed at once (its blocks are at hand
  // now, and cannot come back); else after the new chain has been taken.
  const bool freeFirst = file.HoldsBackFreed();
  if (firstBlock != 0) {
    file.CollectChain(firstBlock, newStamp, /*fixStamps=*/true, client);
    if (freeFirst) file.FreeCollectedChain(newStamp, /*fixStamps=*/true, client);
  }

  int32_t first = 0;
  if (!value.empty()) {
    const int32_t payload = file.BlockPayloadSize();
    const size_t total = value.size();
    // Takes a new block for the chain; the blocks taken so far and those of
    // the old chain must not come back.
    auto take = [&]() -> TBlock* {
      TBlock* block = MustHave(file, file.NewBlock(client));
      if (!walk.Insert(block->BlockNumber())) {
        file.ReleaseBlock(block);
        RaiseChainError(file, LEDRA_MEMOCORRUPT);
      }
      block->SetStamp(newStamp);
      return block;
    };
    THeldBlock block(file, take());
    first = block->BlockNumber();
    block->SetTotalLength(int32_t(total));
    size_t written = 0;
    for (;;) {
      const size_t count = std::min(size_t(payload), total - written);
      block->SetPayload(value.data() + written, count);
      written += count;
      if (written == total) break;
      TBlock* following = take();
      block->SetNextBlock(following->BlockNumber());
      following->SetPrevBlock(block->BlockNumber());
      block.Reset(following);
    }
  }

  if (firstBlock != 0 && !freeFirst) {
    file.FreeCollectedChain(newStamp, /*fixStamps=*/true, client);
  }
  return first;
}

void FreeBlobValue(TBlobFile& file, int32_t firstBlock, int32_t stamp, TBlobCacheClient* client) {
  if (firstBlock == 0) return;
  file.FreeChain(firstBlock, stamp, false, client);
}

}  // namespace ledra
