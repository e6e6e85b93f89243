#include "engine/blob/BlobFile.h"

#include <algorithm>
#include <iterator>

#include "engine/errors/EngineError.h"
#include "engine/files/ReadWindowGuard.h"
#include "engine/files/TableCipher.h"

namespace ledra {

namespace {

// How many entries the look at the recently-used chain covers.
constexpr int kRecentLookups = 4;
// A run of consecutive dirty blocks longer than this many bytes is written
// in several calls, so that the write buffer stays bounded.
constexpr size_t kMaxWriteRunBytes = size_t(1) << 20;
// Steps in which the read and write buffers grow.
constexpr size_t kBufferStep = 4096;

void Grow(std::vector<uint8_t>& buffer, size_t size) {
  if (buffer.size() >= size) return;
  buffer.resize((size + kBufferStep - 1) / kBufferStep * kBufferStep);
}

}  // namespace

TBlobFile::TBlobFile(std::string fileName) : TFileHandler(std::move(fileName)) {}

TBlobFile::~TBlobFile() {
  TBlobFile::CloseTableFile();
}

// ---- Opening, creating and closing ------------------------------------------------

void TBlobFile::OpenTableFile() {
  if (IsOpen()) return;
  TFileHandler::OpenTableFile();
  SizeBlockCache();
  try {
    ReadBlobHeader();
  } catch (...) {
    CloseTableFile();
    throw;
  }
}

void TBlobFile::CloseTableFile() {
  // The cached blocks go without being written: the table flushes first.
  DropCachedBlocks();
  readBuffer_ = {};
  writeBuffer_ = {};
  throughBuffer_ = {};
  header_ = TBlobHeader();
  TFileHandler::CloseTableFile();
}

void TBlobFile::CreateTableFile() {
  TFileHandler::CreateTableFile();
  // A new file has no blocks.
  SizeBlockCache();
  header_ = FreshBlobHeader();
}

// ---- Header -------------------------------------------------------------------------

TBlobHeader TBlobFile::ReadHeaderImage() {
  ReadAt(0, headerBytes_.data(), int64_t(kBlobHeaderSize));
  if (encrypted_) CipherDataRun(headerBytes_.data(), kBlobHeaderSize);
  return DecodeBlobHeader(headerBytes_.data());
}

void TBlobFile::TakeOver(TBlobHeader header) {
  CheckBlobHeaderImage(header, blockSize_, FileSize(), TableName());
  // Byte 17 tells how the last writer wrote the header; in memory the mark
  // means "changed since read".
  header.HeaderModified = 0;
  header_ = header;
  // The header came from disk, so another user may have rewritten, freed or
  // appended any block.
  DropCachedBlocks();
}

void TBlobFile::ReadBlobHeader() {
  TakeOver(ReadHeaderImage());
}

bool TBlobFile::RefreshBlobHeader() {
  TBlobHeader header = ReadHeaderImage();
  if (header.ChangeCount == header_.ChangeCount) return false;
  TakeOver(header);
  return true;
}

bool TBlobFile::WriteBlobHeader(bool force) {
  const bool modified = header_.HeaderModified != 0;
  if (!force && !modified) return false;
  header_.ChangeCount = int32_t(uint32_t(header_.ChangeCount) + 1u);
  TBlobHeader image = header_;
  image.HeaderModified = modified ? 1 : 0;
  EncodeBlobHeader(image, headerBytes_.data());
  if (encrypted_) CipherDataRun(headerBytes_.data(), kBlobHeaderSize);
  try {
    WriteAt(0, headerBytes_.data(), int64_t(kBlobHeaderSize));
  } catch (...) {
    // The counter has advanced in memory only: the next flush writes again.
    header_.HeaderModified = 1;
    throw;
  }
  MarkWritten();
  header_.HeaderModified = 0;
  return true;
}

void TBlobFile::MarkBlobHeaderChanged() {
  header_.ChangeCount = int32_t(uint32_t(header_.ChangeCount) + 1u);
  header_.HeaderModified = 1;
  MarkWritten();
}

void TBlobFile::EmptyBlobFile() {
  WriteAt(int64_t(kBlobHeaderSize), nullptr, 0);
  // The file holds no blocks any more.
  DropCachedBlocks();
  MarkWritten();
  header_.FormatVersion = kBlobFormatVersion;
  header_.FirstFreeBlock = 0;
  header_.NextBlockNo = 1;
  header_.HeaderModified = 1;
  if (forceBufferFlush_) FlushTableFile();
}

void TBlobFile::MarkWritten() {
  writtenTo_ = true;
  if (writtenHook_) writtenHook_();
}

// ---- Header fields and block addressing ----------------------------------------------

void TBlobFile::SetFirstFreeBlock(int32_t blockNo) {
  if (blockNo != 0 && !IsValidBlockNo(blockNo)) RaiseTableError(LEDRA_MEMOCORRUPT, TableName());
  ForgetFreed();
  if (blockNo == header_.FirstFreeBlock) return;
  header_.FirstFreeBlock = blockNo;
  header_.HeaderModified = 1;
}

void TBlobFile::SetNextBlockNo(int32_t blockNo) {
  if (blockNo < 1 || blockNo <= header_.FirstFreeBlock) {
    RaiseTableError(LEDRA_MEMOCORRUPT, TableName());
  }
  if (blockNo == header_.NextBlockNo) return;
  header_.NextBlockNo = blockNo;
  header_.HeaderModified = 1;
}

int64_t TBlobFile::BlockOffset(int32_t blockNo) const {
  if (blockNo < 1) RaiseTableError(LEDRA_MEMOCORRUPT, TableName());
  return BlobBlockOffset(blockNo, blockSize_);
}

// ---- Settings -------------------------------------------------------------------------

void TBlobFile::SetBlockSize(int32_t storedBlockSize) {
  const int32_t size = storedBlockSize == 0 ? kDefaultBlobBlockSize : storedBlockSize;
  if (size < kMinBlobBlockSize || size > kMaxBlobBlockSize) {
    RaiseTableError(LEDRA_HEADERCORRUPT, TableName());
  }
  // Blocks of the old size must not be written at the new one's offsets.
  if (size != blockSize_) DropCachedBlocks();
  blockSize_ = size;
}

// ---- Block cache: sizing and lists ---------------------------------------------------------

const TBlobCacheTable& TBlobFile::CacheTable() const {
  return cacheTable_ ? *cacheTable_ : defaults_;
}

void TBlobFile::RaiseCorrupt() const {
  RaiseTableError(LEDRA_MEMOCORRUPT, TableName());
}

int32_t TBlobFile::CapacityFor(int32_t blockSize, int32_t cacheBytes, int32_t cacheCount) {
  int64_t capacity = cacheCount;
  if (blockSize > 0) capacity = std::min<int64_t>(cacheBytes / int64_t(blockSize), cacheCount);
  // A cache that holds nothing would grow by a whole step on its first fetch.
  return int32_t(std::max<int64_t>(capacity, 1));
}

int32_t TBlobFile::ReadAheadLimitFor(int32_t blockSize) {
  if (blockSize <= 0) return 1;
  return std::max<int32_t>(kReadAheadBytes / blockSize, 1);
}

void TBlobFile::SizeBlockCache() {
  DropCachedBlocks();
  const TBlobCacheTable& table = CacheTable();
  capacity_ = CapacityFor(blockSize_, table.BlobCacheBytes(), table.BlobCacheCount());
  ResetStatistics();
}

TBlock* TBlobFile::Lookup(int32_t blockNo) {
  const auto at = blocks_.find(blockNo);
  return at != blocks_.end() ? at->second.get() : nullptr;
}

const TBlock* TBlobFile::FindCachedBlock(int32_t blockNo) const {
  const auto at = blocks_.find(blockNo);
  return at != blocks_.end() ? at->second.get() : nullptr;
}

TBlock* TBlobFile::Insert(std::unique_ptr<TBlock> block) {
  const int32_t blockNo = block->blockNo_;
  const auto at = blocks_.lower_bound(blockNo);
  if (at != blocks_.end() && at->first == blockNo) {
    // Two copies of one block would let one overwrite the other's changes.
    spares_.Give(std::move(block));
    RaiseCorrupt();
  }
  TBlock* raw = block.get();
  try {
    blocks_.emplace_hint(at, blockNo, std::move(block));
  } catch (...) {
    // No room for the entry: the block goes back to the stack, not lost.
    if (block) spares_.Give(std::move(block));
    throw;
  }
  chain_.LinkFront(raw);
  return raw;
}

std::unique_ptr<TBlock> TBlobFile::Detach(TBlock* block) {
  const auto at = blocks_.find(block->blockNo_);
  if (at == blocks_.end() || at->second.get() != block) RaiseCorrupt();
  std::unique_ptr<TBlock> owned = std::move(at->second);
  blocks_.erase(at);
  chain_.Unlink(block);
  return owned;
}

std::vector<int32_t> TBlobFile::RecentlyUsedOrder() const {
  std::vector<int32_t> order;
  for (const TBlock* block = chain_.Newest(); block; block = block->older_) {
    order.push_back(block->blockNo_);
  }
  return order;
}

TBlock* TBlobFile::LeastRecentlyUsedFree() const {
  for (TBlock* block = chain_.Oldest(); block; block = block->newer_) {
    if (!block->dirty_ && !block->InUse()) return block;
  }
  return nullptr;
}

std::unique_ptr<TBlock> TBlobFile::ObtainBlock(int32_t blockNo) {
  std::unique_ptr<TBlock> block;
  if (blocks_.size() < size_t(capacity_)) {
    block = spares_.Take(PayloadBytes());
  } else {
    TBlock* victim = LeastRecentlyUsedFree();
    // Inside a transaction nothing may reach the file before the commit;
    // during a change the blocks it freed wait for the commit too.
    const TBlobCacheTable& table = CacheTable();
    if (!victim && !table.TransactionLockHeld() &&
        (table.WriteLockHeld() ? WriteNewBlocks() : WriteDirtyBlocks())) {
      victim = LeastRecentlyUsedFree();
    }
    if (victim) {
      block = Detach(victim);
      block->Zero(PayloadBytes());
    } else {
      // Every block is in use or waits to be written: keep them all.
      capacity_ += kCapacityGrowth;
      block = spares_.Take(PayloadBytes());
    }
  }
  block->blockNo_ = blockNo;
  return block;
}

// ---- Block cache: fetching ------------------------------------------------------------------

TBlock* TBlobFile::GetBlock(int32_t blockNo, bool readAhead, int32_t blocksWanted,
                            TBlobCacheClient* client) {
  // A number from a damaged chain or free list: never read whatever lies
  // there.
  if (!IsValidBlockNo(blockNo)) RaiseCorrupt();

  TBlock* block = nullptr;
  TBlock* recent = chain_.Newest();
  for (int k = 0; k < kRecentLookups && recent; ++k, recent = recent->older_) {
    if (recent->blockNo_ == blockNo) {
      block = recent;
      break;
    }
  }
  if (!block) block = Lookup(blockNo);

  if (block) {
    chain_.MoveToFront(block);
    ++statistics_.cacheHits;
  } else {
    if (client && !CacheTable().StrictChangeDetection() && client->CheckForChanges()) {
      return nullptr;
    }
    // The change check may have taken over a header with fewer blocks.
    if (!IsValidBlockNo(blockNo)) RaiseCorrupt();
    // A chain running downward (a value built from the blocks of a freed
    // chain takes them in reverse order) would read a whole run ahead at
    // every step and use one block of it: no read-ahead for a miss just
    // below the previous one.
    int32_t count = 1;
    if (readAhead && blockNo + 1 != lastMissed_) {
      const int32_t toEnd = BlockCount() - blockNo + 1;
      count = std::max(1, std::min({ReadAheadLimit(), blocksWanted, toEnd}));
    }
    lastMissed_ = blockNo;
    ReadRun(blockNo, count);
    block = Lookup(blockNo);
    if (!block) RaiseCorrupt();
  }
  block->Use();
  ++statistics_.fetches;
  return block;
}

void TBlobFile::ReleaseBlock(TBlock* block) {
  if (!block) return;
  block->Unuse();
  if (!block->orphaned_ || block->InUse()) return;
  auto at = std::find_if(orphans_.begin(), orphans_.end(),
                         [block](const std::unique_ptr<TBlock>& o) { return o.get() == block; });
  if (at == orphans_.end()) return;
  std::unique_ptr<TBlock> owned = std::move(*at);
  orphans_.erase(at);
  owned->orphaned_ = false;
  spares_.Give(std::move(owned));
}

int32_t TBlobFile::ReadBlockRun(int32_t blockNo, int32_t count, uint8_t* buffer) {
  if (count < 1 || !IsValidBlockNo(blockNo) || count > BlockCount() - blockNo + 1) RaiseCorrupt();
  const size_t blockSize = size_t(blockSize_);
  uint32_t got = 0;
  {
    TFileGuard guard(*this);
    Seek(kFromStart, BlockOffset(blockNo));
    // Blocks appended in memory and not yet written (inside a transaction,
    // or before the next write) may lie beyond the end of the file; only the
    // first block asked for must be there.
    got = ReadBlock(buffer, int64_t(size_t(count) * blockSize), true);
  }
  const int32_t whole = int32_t(got / blockSize);
  if (whole < 1) RaiseTableError(LEDRA_READERR, TableName());
  if (encrypted_) {
    for (int32_t k = 0; k < whole; ++k) {
      uint8_t* bytes = buffer + size_t(k) * blockSize;
      CipherDataRun(bytes, size_t(kBlobBlockHeaderSize));
      CipherDataRun(bytes + kBlobBlockHeaderSize, PayloadBytes());
    }
  }
  return whole;
}

bool TBlobFile::PassBlock(int32_t blockNo, int32_t blocksWanted, TBlobCacheClient* client,
                          TPassingBlock& block) {
  if (!IsValidBlockNo(blockNo)) RaiseCorrupt();
  if (const TBlock* cached = Lookup(blockNo)) {
    ++statistics_.fetches;
    ++statistics_.cacheHits;
    block.Header = cached->Header();
    block.Payload = cached->Payload();
    return true;
  }
  const size_t blockSize = size_t(blockSize_);
  if (blockNo < throughFirst_ || blockNo >= throughFirst_ + throughCount_) {
    throughCount_ = 0;
    if (client && !CacheTable().StrictChangeDetection() && client->CheckForChanges()) {
      return false;
    }
    // The change check may have taken over a header with fewer blocks.
    if (!IsValidBlockNo(blockNo)) RaiseCorrupt();
    // A chain running downward (a value built from the blocks of a freed
    // chain takes them in reverse order) gets the run that ends at the block.
    const bool downward = blockNo + 1 == lastMissed_;
    const int32_t room = downward ? blockNo : BlockCount() - blockNo + 1;
    const int32_t count = std::max(1, std::min({ReadAheadLimit(), blocksWanted, room}));
    const int32_t first = downward ? blockNo - count + 1 : blockNo;
    // Downward, the next miss lies just below this run.
    lastMissed_ = downward ? first : blockNo;
    Grow(throughBuffer_, size_t(count) * blockSize);
    const int32_t whole = ReadBlockRun(first, count, throughBuffer_.data());
    ++statistics_.diskReads;
    statistics_.blocksRead += uint64_t(whole);
    // The file may end early (blocks appended and not yet written); the
    // block itself must be there.
    if (blockNo >= first + whole) RaiseTableError(LEDRA_READERR, TableName());
    throughFirst_ = first;
    throughCount_ = whole;
  }
  ++statistics_.fetches;
  const uint8_t* bytes = throughBuffer_.data() + size_t(blockNo - throughFirst_) * blockSize;
  block.Header = DecodeBlockHeader(bytes);
  block.Payload = bytes + kBlobBlockHeaderSize;
  return true;
}

void TBlobFile::ReadRun(int32_t blockNo, int32_t count) {
  const size_t blockSize = size_t(blockSize_);
  Grow(readBuffer_, size_t(count) * blockSize);
  TReadWindowGuard window(windowFirst_, windowCount_, blockNo, count);
  const int32_t whole = ReadBlockRun(blockNo, count, readBuffer_.data());
  ++statistics_.diskReads;
  statistics_.blocksRead += uint64_t(whole);

  // The block farthest from blockNo first, blockNo last, so that it ends as
  // the most recently used.
  for (int32_t k = whole - 1; k >= 0; --k) {
    const uint8_t* bytes = readBuffer_.data() + size_t(k) * blockSize;
    const int32_t number = blockNo + k;
    if (TBlock* cached = Lookup(number)) {
      // A block in use or changed is newer than what the file holds.
      if (!cached->InUse() && !cached->dirty_) cached->Load(bytes);
      continue;
    }
    std::unique_ptr<TBlock> block = ObtainBlock(number);
    block->Load(bytes);
    Insert(std::move(block));
  }
}

// ---- Block cache: allocating and freeing ---------------------------------------------------

bool TBlobFile::HoldsBackFreed() const {
  const TBlobCacheTable& table = CacheTable();
  return table.WriteLockHeld() || table.TransactionLockHeld();
}

void TBlobFile::ForgetFreed() noexcept {
  if (oldestFreed_ == 0) return;
  freed_.Clear();
  oldestFreed_ = 0;
}

TBlock* TBlobFile::NewBlock(TBlobCacheClient* client) {
  // The blocks freed and held back head the list; the one to hand out is
  // the first after them, which the oldest of them then skips.
  THeldBlock skipping(*this);
  int32_t head = header_.FirstFreeBlock;
  if (oldestFreed_ != 0) {
    skipping.Reset(GetBlock(oldestFreed_, false, 1, client));
    if (!skipping) return nullptr;
    head = skipping->NextBlock();
  }
  if (head != 0) {
    if (!IsValidBlockNo(head)) RaiseCorrupt();
    THeldBlock block(*this, GetBlock(head, false, 1, client));
    if (!block) return nullptr;
    const int32_t link = block->NextBlock();
    // A free block somebody holds is part of a chain; a link outside the
    // file or back to itself would hand out blocks twice; a block this
    // change freed lies further down only in a damaged list.
    if (block->UseCount() > 1 || (link != 0 && !IsValidBlockNo(link)) || link == head ||
        (oldestFreed_ != 0 && freed_.Contains(head))) {
      RaiseCorrupt();
    }
    if (skipping) {
      skipping->SetNextBlock(link);
    } else {
      header_.FirstFreeBlock = link;
      header_.HeaderModified = 1;
    }
    TBlock* taken = block.Get();
    taken->Zero(PayloadBytes());
    taken->MarkDirty();
    block.Reset(nullptr);
    taken->Use();
    return taken;
  }

  const int32_t blockNo = header_.NextBlockNo;
  if (blockNo > kMaxBlockNo || BlobBlockOffset(blockNo + 1, blockSize_) > kMaxFileLength) {
    RaiseTableError(LEDRA_TABLEFULL, TableName());
  }
  if (Lookup(blockNo)) RaiseCorrupt();
  std::unique_ptr<TBlock> block = ObtainBlock(blockNo);
  // The header counts the block from now on; it reaches the file with the
  // next write of the dirty blocks.
  SetNextBlockNo(blockNo + 1);
  block->MarkDirty();
  block->Use();
  return Insert(std::move(block));
}

void TBlobFile::FreeBlock(TBlock* block) {
  if (!block || !IsValidBlockNo(block->blockNo_)) RaiseCorrupt();
  const int32_t head = header_.FirstFreeBlock;
  // Freeing the head again would link it to itself.
  if (head == block->blockNo_) RaiseCorrupt();
  block->SetNextBlock(head);
  header_.FirstFreeBlock = block->blockNo_;
  header_.HeaderModified = 1;
  if (HoldsBackFreed()) {
    freed_.Insert(block->blockNo_);
    if (oldestFreed_ == 0) oldestFreed_ = block->blockNo_;
  }
}

void TBlobFile::CollectChain(int32_t firstBlock, int32_t stamp, bool fixStamps,
                             TBlobCacheClient* client) {
  chainScratch_.clear();
  const int32_t payload = BlockPayloadSize();
  int32_t implied = ReadAheadLimit();
  int32_t blockNo = firstBlock;
  while (blockNo != 0) {
    if (!IsValidBlockNo(blockNo) || !walkSet_.Insert(blockNo)) RaiseCorrupt();
    const int32_t wanted = std::max<int32_t>(implied - int32_t(chainScratch_.size()), 1);
    THeldBlock block(*this, GetBlock(blockNo, !chainScratch_.empty(), wanted, client));
    if (!block) RaiseTableError(LEDRA_LOCKTIMEOUT, TableName());
    if (chainScratch_.empty()) {
      if (!fixStamps && block->Stamp() != stamp) RaiseCorrupt();
      // The blocks the first block's length implies; an unknown length reads
      // ahead as far as allowed.
      if (block->TotalLength() > 0) {
        implied = int32_t((int64_t(block->TotalLength()) + payload - 1) / payload);
      }
    }
    chainScratch_.push_back(blockNo);
    blockNo = block->NextBlock();
  }
}

void TBlobFile::FreeChain(int32_t firstBlock, int32_t stamp, bool fixStamps,
                          TBlobCacheClient* client) {
  walkSet_.Clear();
  // Walked and checked whole first: a damaged chain frees nothing.
  CollectChain(firstBlock, stamp, fixStamps, client);
  FreeCollectedChain(stamp, fixStamps, client);
}

void TBlobFile::FreeCollectedChain(int32_t stamp, bool fixStamps, TBlobCacheClient* client) {
  const int32_t count = int32_t(chainScratch_.size());
  for (int32_t k = 0; k < count; ++k) {
    const int32_t blockNo = chainScratch_[size_t(k)];
    THeldBlock block(*this, GetBlock(blockNo, true, count - k, client));
    if (!block) RaiseTableError(LEDRA_LOCKTIMEOUT, TableName());
    if (k == 0 && fixStamps) block->SetStamp(stamp);
    FreeBlock(block.Get());
  }
}

// ---- Block cache: writing, trimming, dropping -----------------------------------------------

bool TBlobFile::WriteDirtyBlocks() {
  const bool chains = WriteNewBlocks();
  const bool freed = WriteFreedBlocks();
  return chains || freed;
}

bool TBlobFile::WriteNewBlocks() {
  return WriteBlocks(TWhich::kNew);
}

bool TBlobFile::WriteFreedBlocks() {
  return WriteBlocks(TWhich::kFreed);
}

bool TBlobFile::WriteBlocks(TWhich which) {
  const size_t maxRun = std::max<size_t>(kMaxWriteRunBytes / size_t(blockSize_), 1);
  auto writable = [this, which](const TBlock& block) {
    if (!block.dirty_ || block.InUse() || InReadWindow(block.blockNo_)) return false;
    const bool freed = oldestFreed_ != 0 && freed_.Contains(block.blockNo_);
    return freed == (which == TWhich::kFreed);
  };
  if (which == TWhich::kFreed && oldestFreed_ == 0) return false;
  // Runs go from the highest block number down: blocks a change appended
  // lie beyond the block count of the header still on disk, so a program
  // dying after writing only those leaves blocks no chain or list reaches.
  bool written = false;
  auto last = blocks_.end();
  while (last != blocks_.begin()) {
    auto i = std::prev(last);
    if (!writable(*i->second)) {
      last = i;
      continue;
    }
    size_t count = 1;
    while (i != blocks_.begin() && count < maxRun) {
      auto before = std::prev(i);
      if (!writable(*before->second) || before->first + 1 != i->first) break;
      i = before;
      ++count;
    }
    WriteRun(i, count);
    written = true;
    last = i;
  }
  if (which == TWhich::kFreed) {
    // Once on disk, the freed blocks may be handed out again.
    const bool waiting = std::any_of(blocks_.begin(), blocks_.end(), [this](const auto& entry) {
      return entry.second->dirty_ && freed_.Contains(entry.first);
    });
    if (!waiting) ForgetFreed();
  }
  return written;
}

void TBlobFile::WriteRun(TBlockMap::iterator first, size_t count) {
  const size_t blockSize = size_t(blockSize_);
  const size_t payload = PayloadBytes();
  const int32_t firstNo = first->first;
  // Blocks the header does not count must never reach the file.
  if (!IsValidBlockNo(firstNo) || !IsValidBlockNo(firstNo + int32_t(count) - 1)) RaiseCorrupt();
  Grow(writeBuffer_, count * blockSize);
  auto at = first;
  for (size_t k = 0; k < count; ++k, ++at) {
    uint8_t* bytes = writeBuffer_.data() + k * blockSize;
    at->second->Store(bytes);
    if (encrypted_) {
      CipherDataRun(bytes, size_t(kBlobBlockHeaderSize));
      CipherDataRun(bytes + kBlobBlockHeaderSize, payload);
    }
  }
  // Blocks read through before this write may be older than what it writes.
  EndReadThrough();
  WriteAt(BlockOffset(firstNo), writeBuffer_.data(), int64_t(count * blockSize));
  MarkWritten();
  // Only now are the blocks on disk.
  at = first;
  for (size_t k = 0; k < count; ++k, ++at) at->second->MarkClean();
  ++statistics_.writeRuns;
  statistics_.blocksWritten += count;
}

void TBlobFile::TrimBlockCache() {
  const TBlobCacheTable& table = CacheTable();
  const int32_t limit = CapacityFor(blockSize_, table.BlobCacheBytes(), table.BlobCacheCount());
  while (blocks_.size() > size_t(limit)) {
    TBlock* victim = LeastRecentlyUsedFree();
    if (!victim) break;
    spares_.Give(Detach(victim));
  }
  // Back to the configured size, unless more blocks than that could not be
  // let go.
  capacity_ = std::max(limit, int32_t(blocks_.size()));
}

void TBlobFile::DropCachedBlocks() noexcept {
  // What was freed and not written is gone with the blocks.
  ForgetFreed();
  EndReadThrough();
  for (auto& entry : blocks_) {
    std::unique_ptr<TBlock>& block = entry.second;
    block->older_ = nullptr;
    block->newer_ = nullptr;
    if (block->InUse()) {
      // A caller still holds it: it stays valid until released.
      block->orphaned_ = true;
      orphans_.push_back(std::move(block));
    } else {
      spares_.Give(std::move(block));
    }
  }
  blocks_.clear();
  chain_.Clear();
}

}  // namespace ledra
