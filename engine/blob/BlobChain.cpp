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

// One attempt at loading: false when a fetch gave the retry signal.
bool TryLoad(TBlobFile& file, int32_t firstBlock, int32_t stamp, std::vector<uint8_t>& value,
             TBlobCacheClient* client) {
  const int32_t payload = file.BlockPayloadSize();
  TBlockNumberSet& walk = file.WalkSet();
  walk.Clear();
  if (!file.IsValidBlockNo(firstBlock)) RaiseChainError(file, LEDRA_MEMOCORRUPT);
  walk.Insert(firstBlock);

  THeldBlock block(file, file.GetBlock(firstBlock, false, 1, client));
  if (!block) return false;
  if (block->Stamp() != stamp) RaiseChainError(file, LEDRA_KEYORRECDELETED);
  const int32_t length = block->TotalLength();
  if (length < 0) RaiseChainError(file, LEDRA_MEMOCORRUPT);
  // A walk never meets a block twice, so no chain yields more than the whole
  // file's payload: a larger recorded length gets no more room than that
  // (its chain ends short, or damaged, long before).
  const size_t total = size_t(length);
  const size_t room =
      size_t(std::min<int64_t>(length, int64_t(file.BlockCount()) * int64_t(payload)));
  value.resize(room);

  size_t copied = 0;
  while (copied < total) {
    const size_t want = std::min(size_t(payload), total - copied);
    const size_t take = std::min<size_t>(want, block->UsedCount());
    if (take > room - copied) RaiseChainError(file, LEDRA_MEMOCORRUPT);
    if (take != 0) std::memcpy(value.data() + copied, block->Payload(), take);
    copied += take;
    // A block used less than it could be ends the value.
    if (take < want || copied == total) break;
    const int32_t next = block->NextBlock();
    if (next == 0) break;
    if (!file.IsValidBlockNo(next) || !walk.Insert(next)) RaiseChainError(file, LEDRA_MEMOCORRUPT);
    const int64_t stillNeeded = BlobBlocksFor(int64_t(total - copied), payload);
    block.Reset(file.GetBlock(next, true, int32_t(stillNeeded), client));
    if (!block) return false;
    if (block->Stamp() != stamp) RaiseChainError(file, LEDRA_KEYORRECDELETED);
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
  if (value.empty()) {
    // The old chain carries the old stamp; the record's new one goes over it.
    if (firstBlock != 0) file.FreeChain(firstBlock, newStamp, true, client);
    return 0;
  }

  const int32_t payload = file.BlockPayloadSize();
  const size_t total = value.size();
  TBlockNumberSet& walk = file.WalkSet();
  walk.Clear();

  THeldBlock block(file);
  int64_t oldBlocks = 0;
  if (firstBlock != 0) {
    if (!file.IsValidBlockNo(firstBlock)) RaiseChainError(file, LEDRA_MEMOCORRUPT);
    walk.Insert(firstBlock);
    block.Reset(MustHave(file, file.GetBlock(firstBlock, false, 1, client)));
    // Only a hint for reading the rest of the old chain ahead.
    oldBlocks = BlobBlocksFor(std::max(block->TotalLength(), 0), payload);
  } else {
    block.Reset(MustHave(file, file.NewBlock(client)));
    walk.Insert(block->BlockNumber());
  }
  const int32_t first = block->BlockNumber();
  block->SetPrevBlock(0);
  block->SetStamp(newStamp);
  block->SetTotalLength(int32_t(total));

  size_t written = 0;
  int64_t position = 0;  // of the current block in the chain
  for (;;) {
    const size_t count = std::min(size_t(payload), total - written);
    block->SetPayload(value.data() + written, count);
    written += count;
    if (written == total) break;

    const int32_t current = block->BlockNumber();
    const int32_t next = block->NextBlock();
    ++position;
    TBlock* following = nullptr;
    if (next != 0) {
      // The old chain goes on: its next block is written over in place.
      if (!file.IsValidBlockNo(next) || !walk.Insert(next))
        RaiseChainError(file, LEDRA_MEMOCORRUPT);
      const int64_t ahead = std::max<int64_t>(oldBlocks - position, 1);
      following = MustHave(file, file.GetBlock(next, true, int32_t(ahead), client));
    } else {
      following = MustHave(file, file.NewBlock(client));
      // A free block that already belongs to this chain: the free list and
      // the chain are cross-linked.
      if (!walk.Insert(following->BlockNumber())) {
        file.ReleaseBlock(following);
        RaiseChainError(file, LEDRA_MEMOCORRUPT);
      }
      block->SetNextBlock(following->BlockNumber());
    }
    block.Reset(following);
    block->SetPrevBlock(current);
    block->SetStamp(newStamp);
    block->SetTotalLength(0);
  }

  // What is left of a longer old chain goes to the free list.
  const int32_t surplus = block->NextBlock();
  if (surplus != 0) {
    file.FreeChain(surplus, newStamp, /*fixStamps=*/true, client, /*continueWalk=*/true);
    block->SetNextBlock(0);
  }
  return first;
}

void FreeBlobValue(TBlobFile& file, int32_t firstBlock, int32_t stamp, TBlobCacheClient* client) {
  if (firstBlock == 0) return;
  file.FreeChain(firstBlock, stamp, false, client);
}

}  // namespace ledra
