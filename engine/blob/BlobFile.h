// The handler of a table's .BLB file: its header, its blocks and their cache.
//
// A TBlobFile owns the in-memory image of the 512-byte header (BlobHeader.h).
// Header fields change in memory first, each change setting the header's
// modified mark; WriteBlobHeader writes them out with the change counter
// advanced. ReadBlobHeader and RefreshBlobHeader are the only ways the
// in-memory header is replaced from disk.
//
// Blocks (Block.h) are read and changed only through the block cache: a
// caller gets a block marked in use (GetBlock, NewBlock), reads or changes it
// and releases it (ReleaseBlock). Changed blocks wait in the cache, dirty,
// until the table writes them (WriteDirtyBlocks) at the end of a write or at
// a commit; the chain operations of BlobChain.h build values on top.
//
// On-disk invariants kept here (other programs share the file and rely on
// them):
//   - block n lies at 512 + (n - 1) * BlockSize; blocks 1 .. NextBlockNo - 1
//     exist, so the file is at least 512 + (NextBlockNo - 1) * BlockSize
//     bytes long once the dirty blocks are written;
//   - FirstFreeBlock is 0 or one of those blocks;
//   - the header is read and written whole, 512 bytes at offset 0, as one
//     cipher run in an enciphered table, and every write of it advances the
//     change counter, so other users notice the change;
//   - each block's 18 header bytes and its payload are separate cipher runs;
//   - the two reserved areas go back to disk exactly as they were read.
//
// Block cache: the cached blocks are kept ordered by number (in a search
// tree, so that adding and evicting at either end stay cheap) and in a
// recently-used chain; a lookup tries the four most
// recently used first. Invariants:
//   - a block in use is never reused for another number, reloaded or written;
//   - a dirty block is never reloaded from disk, and becomes clean only after
//     its bytes reached the file, so a failed write leaves it dirty;
//   - blocks of the run currently being read are not written by a write made
//     while the run is loaded (their bytes in the run would be stale);
//   - a block outside 1 .. NextBlockNo - 1 is refused with LEDRA_MEMOCORRUPT
//     instead of reading or writing whatever lies there.
//   - a change of a shared table (write or transaction lock held) never
//     hands out a block it freed itself before that block is written:
//     blocks freed since the last write are, on disk, still the chains of
//     records as the file holds them, so only blocks nothing on disk names
//     (appended, or on the free list as written) are written before the
//     record slots; the freed ones, and the header, after them.
// Staleness with respect to other users is not checked block by block: the
// whole cache is dropped whenever the header is taken over from disk, when
// the file is emptied, created or closed. A block a caller holds stays valid
// when the cache drops it, until its release.
//
// The block size comes from the table's .DAT header and must be set before
// the file is opened. Every seek and the transfer that follows run inside the
// shared file object's section (TFileGuard). The handler is used by one
// session at a time; the table's lock protocol decides when the header may be
// written and when it is re-read.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "engine/blob/BlobHeader.h"
#include "engine/blob/Block.h"
#include "engine/files/DataHeader.h"
#include "engine/files/FileHandler.h"
#include "engine/files/RecentlyUsedChain.h"

namespace ledra {

// What the block cache asks of the cursor that fetches a block.
class TBlobCacheClient {
 public:
  // Called before a block is read from disk (unless the session takes the
  // read lock around every operation itself): takes the table's read lock
  // and runs its change detection. True when another user had changed the
  // table: the caches have then been dropped and the fetch returns the retry
  // signal, so the caller starts its operation again.
  virtual bool CheckForChanges() = 0;

 protected:
  ~TBlobCacheClient() = default;
};

// What the block cache needs to know of its table: the session's settings
// and the table's lock state.
class TBlobCacheTable {
 public:
  // The session's blob cache limits.
  virtual int32_t BlobCacheBytes() const = 0;
  virtual int32_t BlobCacheCount() const = 0;
  // The session takes the read lock around every operation itself.
  virtual bool StrictChangeDetection() const = 0;
  // The table holds the transaction lock: changes stay in memory.
  virtual bool TransactionLockHeld() const = 0;
  // A change of a shared table holds the write lock: what it writes goes to
  // the file at its commit, in the order that a program dying half way
  // leaves recoverable (blocks it frees only after the record slots).
  virtual bool WriteLockHeld() const = 0;

 protected:
  ~TBlobCacheTable() = default;
};

// The defaults of a session and a table outside a transaction; also a plain
// holder of these values for whoever wants one.
struct TBlobCacheTableState final : TBlobCacheTable {
  static constexpr int32_t kDefaultCacheBytes = 32768;
  static constexpr int32_t kDefaultCacheCount = 8192;

  int32_t cacheBytes = kDefaultCacheBytes;
  int32_t cacheCount = kDefaultCacheCount;
  bool strictChangeDetection = false;
  bool transactionLockHeld = false;
  bool writeLockHeld = false;

  int32_t BlobCacheBytes() const override { return cacheBytes; }
  int32_t BlobCacheCount() const override { return cacheCount; }
  bool StrictChangeDetection() const override { return strictChangeDetection; }
  bool TransactionLockHeld() const override { return transactionLockHeld; }
  bool WriteLockHeld() const override { return writeLockHeld; }
};

// Counters for statistics; reset when the file is opened or created.
struct TBlockCacheStatistics {
  uint64_t fetches = 0;        // blocks handed out by GetBlock and PassBlock
  uint64_t cacheHits = 0;      // ... found in the cache
  uint64_t diskReads = 0;      // runs read
  uint64_t blocksRead = 0;     // blocks read in those runs
  uint64_t writeRuns = 0;      // runs written
  uint64_t blocksWritten = 0;  // blocks written in those runs
};

class TBlobFile : public TFileHandler {
 public:
  explicit TBlobFile(std::string fileName = {});
  ~TBlobFile() override;

  // ---- Opening, creating and closing -----------------------------------------

  // Opens the file and reads and checks its header (ReadBlobHeader); nothing
  // when open already. Any failure closes the file again.
  void OpenTableFile() override;
  // Drops the header image and closes the file; nothing when closed. Never
  // raises.
  void CloseTableFile() override;
  // Creates the file (replacing an existing one) and builds a fresh header in
  // memory (FreshBlobHeader), written by the next WriteBlobHeader.
  void CreateTableFile() override;
  void OpenBlobFile() { OpenTableFile(); }
  void CloseBlobFile() { CloseTableFile(); }

  // ---- Header ------------------------------------------------------------------

  // Reads the header and makes it the in-memory header (modified mark 0). A
  // short read is LEDRA_READERR, a wrong version LEDRA_OLDVERSION, block
  // numbers the file cannot hold LEDRA_HEADERCORRUPT. On failure the
  // in-memory header stays as it was.
  void ReadBlobHeader();
  // Reads the header and replaces the in-memory one only when its change
  // counter differs: true when it did. Checks and failures as ReadBlobHeader.
  bool RefreshBlobHeader();
  // Writes the header when forced or modified, advancing the change counter
  // first: true when written. Byte 17 on disk tells whether the header had
  // changed. A failed write leaves the modified mark set (the counter has
  // advanced in memory). Does not flush; the table's flush does.
  bool WriteBlobHeader(bool force);
  // Records a header change without writing it (inside a transaction).
  void MarkBlobHeaderChanged();
  // Cuts the file to its header and resets the header to no blocks: version
  // 5, no free block, next block 1, marked modified. The change counter keeps
  // going, so other users see the emptying as a change. The header itself is
  // written by the next WriteBlobHeader.
  void EmptyBlobFile();

  // ---- Header fields and block addressing ---------------------------------

  const TBlobHeader& Header() const { return header_; }
  int32_t ChangeCount() const { return header_.ChangeCount; }
  uint8_t FormatVersion() const { return header_.FormatVersion; }
  bool BlobHeaderModified() const { return header_.HeaderModified != 0; }
  int32_t FirstFreeBlock() const { return header_.FirstFreeBlock; }
  // Sets the head of the free list (0 = none). A block the file does not hold
  // is LEDRA_MEMOCORRUPT. Marks the header modified when the value changes.
  // The list is taken as new: blocks freed before are no longer held back.
  void SetFirstFreeBlock(int32_t blockNo);
  int32_t NextBlockNo() const { return header_.NextBlockNo; }
  // Sets the next block number to append. Below 1, or not beyond the head of
  // the free list, is LEDRA_MEMOCORRUPT. Marks the header modified when the
  // value changes.
  void SetNextBlockNo(int32_t blockNo);
  // Blocks in the file (NextBlockNo - 1).
  int32_t BlockCount() const { return header_.BlockCount(); }
  // A block of the file: 1 .. NextBlockNo - 1.
  bool IsValidBlockNo(int32_t blockNo) const {
    return blockNo >= 1 && blockNo < header_.NextBlockNo;
  }
  // The file offset of block n; n below 1 is LEDRA_MEMOCORRUPT. The next
  // block to append is a valid argument.
  int64_t BlockOffset(int32_t blockNo) const;

  // ---- Blocks --------------------------------------------------------------------

  // The largest block number and file length a block may be appended to.
  static constexpr int32_t kMaxBlockNo = 2000000000;
  static constexpr int64_t kMaxFileLength = 4000000000;
  // Growth of the capacity when every cached block is dirty or in use.
  static constexpr int32_t kCapacityGrowth = 32;
  // The most bytes read in one read-ahead run.
  static constexpr int32_t kReadAheadBytes = 16384;

  // The table whose settings and lock state the cache follows; the defaults
  // of TBlobCacheTableState when none is set. Not owned.
  void SetCacheTable(const TBlobCacheTable* table) { cacheTable_ = table; }

  // Block `blockNo` (1 .. NextBlockNo - 1), marked in use; the caller
  // releases it with ReleaseBlock. A block not cached is read from disk in a
  // run of min(read-ahead limit, blocksWanted, blocks to the end of the file)
  // blocks (1 without readAhead), after asking the client (when given and the
  // session does not take the read lock itself) whether the table changed:
  // null when it did (the retry signal). LEDRA_MEMOCORRUPT for a number
  // outside the file, LEDRA_READERR when the file ends before the block.
  [[nodiscard]] TBlock* GetBlock(int32_t blockNo, bool readAhead, int32_t blocksWanted,
                                 TBlobCacheClient* client);
  // Releases a block from GetBlock or NewBlock; null is ignored.
  void ReleaseBlock(TBlock* block);
  // A block for new data, marked in use and dirty, header and payload zeroed:
  // the first block of the free list that may be handed out (which the list
  // then skips), else a block appended at the end. LEDRA_TABLEFULL when an
  // append would pass block kMaxBlockNo or a file of kMaxFileLength bytes
  // (header unchanged); LEDRA_MEMOCORRUPT for a free block that is in use,
  // was freed by the change itself, or whose link lies outside the file or
  // points back at itself. Null on the retry signal.
  //
  // Blocks freed while the table holds its write or transaction lock are not
  // handed out before they have been written: until then the file still
  // holds them as the chains of records as they are on disk, and a change
  // writes its new blocks before its record slots (WriteNewBlocks). They
  // stay at the head of the free list and NewBlock takes the block after
  // them. Without those locks (an exclusive table) freed blocks are reused
  // at once.
  [[nodiscard]] TBlock* NewBlock(TBlobCacheClient* client);
  // Links a block held by the caller in at the head of the free list (its
  // next link becomes the old head). The caller still releases it. Freeing
  // the block that already heads the list is LEDRA_MEMOCORRUPT.
  void FreeBlock(TBlock* block);
  // Frees a whole chain in chain order, so that its last block ends at the
  // head of the free list: CollectChain, then FreeCollectedChain.
  void FreeChain(int32_t firstBlock, int32_t stamp, bool fixStamps, TBlobCacheClient* client);
  // Walks and checks a whole chain without changing it, adding its blocks to
  // WalkSet() (not cleared first) and remembering them for
  // FreeCollectedChain. The first block's stamp must equal `stamp`
  // (LEDRA_MEMOCORRUPT) unless fixStamps is set. A next link outside the
  // file or a block already in WalkSet() is LEDRA_MEMOCORRUPT. A retry
  // signal while walking is LEDRA_LOCKTIMEOUT: it only happens when the
  // table changed under a write, so nothing may go on.
  void CollectChain(int32_t firstBlock, int32_t stamp, bool fixStamps, TBlobCacheClient* client);
  // Frees the chain the last CollectChain walked, in chain order; with
  // fixStamps its first block gets `stamp`, so that a reader holding an
  // older record image is told the value was rewritten. Nothing may change
  // the chain between the two calls (new blocks may be taken).
  void FreeCollectedChain(int32_t stamp, bool fixStamps, TBlobCacheClient* client);

  // ---- Reading a chain straight through ----------------------------------------
  //
  // A value loaded whole and in chain order (LoadBlobValue) takes the blocks
  // after its first one through PassBlock instead of GetBlock: a block the
  // cache holds comes from the cache (a changed one is newer than the file);
  // any other comes from the run last read through when it lies in it, else
  // from a new run of min(read-ahead limit, blocksWanted, blocks to the end of
  // the file) blocks read for it. Blocks read through are not cached, so a
  // long value passes without evicting and refilling the cache block by
  // block. A new run is read after the client's change check, exactly as
  // GetBlock reads one. The run is forgotten whenever the cache is dropped,
  // blocks are written, and at EndReadThrough; the caller ends it before
  // anything else may change the file (TReadThrough).
  struct TPassingBlock {
    TBlockHeader Header;
    const uint8_t* Payload = nullptr;  // BlockPayloadSize() bytes, valid until the next call
  };
  // False on the retry signal (the caches have been dropped). A number
  // outside the file is LEDRA_MEMOCORRUPT, a file ending before the block
  // LEDRA_READERR.
  [[nodiscard]] bool PassBlock(int32_t blockNo, int32_t blocksWanted, TBlobCacheClient* client,
                               TPassingBlock& block);
  void EndReadThrough() noexcept { throughFirst_ = throughCount_ = 0; }

  // Reads blocks blockNo .. blockNo + count - 1 (all within the file, else
  // LEDRA_MEMOCORRUPT) into `buffer` (count * BlockSize bytes) with one read
  // and deciphers them, without caching: the number of whole blocks read
  // (the file may end early, not before the first block: LEDRA_READERR).
  // Blocks a caller changed in the cache are newer than these bytes.
  int32_t ReadBlockRun(int32_t blockNo, int32_t count, uint8_t* buffer);

  // Writes every dirty block not in use, one write per run of consecutive
  // block numbers, highest numbers first: true when anything was written.
  // A failed write raises LEDRA_WRITEERR and leaves the blocks of that run
  // (and later ones) dirty. WriteDirtyBlocks writes WriteNewBlocks' blocks,
  // then WriteFreedBlocks' ones.
  bool WriteDirtyBlocks();
  // The commit's two halves: the dirty blocks other than those freed since
  // the last write (new chains: blocks no record on disk names yet), which
  // go before the record slots; and the freed ones, which go after them, so
  // that no slot on disk ever names a chain already on the free list.
  bool WriteNewBlocks();
  bool WriteFreedBlocks();
  // Blocks freed under the write or transaction lock and not yet written.
  bool HasFreedBlocks() const { return oldestFreed_ != 0; }
  // Blocks freed now are held back from NewBlock until written: the table
  // holds its write or transaction lock.
  bool HoldsBackFreed() const;
  // Evicts least recently used blocks that are neither dirty nor in use down
  // to the configured capacity, then resets the capacity to it (or to the
  // number still cached, when more could not be evicted).
  void TrimBlockCache();
  // Empties the cache without writing: every change not yet written is lost.
  // Blocks in use stay valid until released. Never raises.
  void DropCachedBlocks() noexcept;

  // min(cacheBytes div blockSize, cacheCount), at least 1.
  static int32_t CapacityFor(int32_t blockSize, int32_t cacheBytes, int32_t cacheCount);
  // kReadAheadBytes div blockSize, at least 1.
  static int32_t ReadAheadLimitFor(int32_t blockSize);
  int32_t Capacity() const { return capacity_; }
  int32_t ReadAheadLimit() const { return ReadAheadLimitFor(blockSize_); }
  size_t CachedCount() const { return blocks_.size(); }
  // The cached block of that number, if any, without touching its place in
  // the recently-used chain.
  const TBlock* FindCachedBlock(int32_t blockNo) const;
  // Block numbers from the most to the least recently used.
  std::vector<int32_t> RecentlyUsedOrder() const;
  size_t SpareCount() const { return spares_.Count(); }
  const TBlockCacheStatistics& Statistics() const { return statistics_; }
  void ResetStatistics() { statistics_ = {}; }
  // The scratch set of chain walks (BlobChain.h, FreeChain); kept between
  // walks so that walking allocates nothing in the steady state.
  TBlockNumberSet& WalkSet() { return walkSet_; }

  // ---- Settings and marks ----------------------------------------------------

  // The table's block size as stored in its .DAT header: 0 means 512; outside
  // 19 .. 65535 is LEDRA_HEADERCORRUPT and the size stays as it was. Set
  // before the file is opened; a change drops the cached and spare blocks.
  void SetBlockSize(int32_t storedBlockSize);
  int32_t BlockSize() const { return blockSize_; }
  // The bytes of a block after its 18-byte block header.
  int32_t BlockPayloadSize() const { return blockSize_ - kBlobBlockHeaderSize; }
  // The table is enciphered: the header is one cipher run, and each block's
  // header and payload are a run each.
  bool Encrypted() const { return encrypted_; }
  void SetEncrypted(bool encrypted) { encrypted_ = encrypted; }
  // Flush the system's buffers after emptying (and after writing blocks).
  bool ForceBufferFlush() const { return forceBufferFlush_; }
  void SetForceBufferFlush(bool force) { forceBufferFlush_ = force; }
  // The name errors about the table carry; the file name until set.
  const std::string& TableName() const { return tableName_.empty() ? FileName() : tableName_; }
  void SetTableName(std::string tableName) { tableName_ = std::move(tableName); }

  // "The table was written to": set by every write of the header (and of
  // blocks), by emptying and by MarkBlobHeaderChanged. The table reads and
  // clears it; the hook, when set, is called on every such write.
  bool WrittenTo() const { return writtenTo_; }
  void ClearWrittenTo() { writtenTo_ = false; }
  void SetWrittenHook(std::function<void()> hook) { writtenHook_ = std::move(hook); }

 protected:
  void MarkWritten();

 private:
  // Reads the 512 header bytes at offset 0, deciphers and decodes them.
  TBlobHeader ReadHeaderImage();
  // Takes over a header read from disk after checking it against the block
  // size and the file's length; nothing changes when it is refused.
  void TakeOver(TBlobHeader header);

  // ---- Block cache ------------------------------------------------------------

  const TBlobCacheTable& CacheTable() const;
  [[noreturn]] void RaiseCorrupt() const;
  // Sizes the cache for the block size and the table's settings and resets
  // the statistics (at open and create).
  void SizeBlockCache();
  size_t PayloadBytes() const { return size_t(blockSize_ - kBlobBlockHeaderSize); }

  // The cached blocks by number.
  using TBlockMap = std::map<int32_t, std::unique_ptr<TBlock>>;

  TBlock* Lookup(int32_t blockNo);
  // Inserts a detached block at its sorted place and at the front of the
  // recently-used chain.
  TBlock* Insert(std::unique_ptr<TBlock> block);
  std::unique_ptr<TBlock> Detach(TBlock* block);
  // A zeroed block object for number blockNo, detached: from the stack while
  // below capacity, else the least recently used clean block not in use
  // (after one write of the dirty blocks outside a transaction), else from
  // the stack with the capacity grown by kCapacityGrowth.
  std::unique_ptr<TBlock> ObtainBlock(int32_t blockNo);
  TBlock* LeastRecentlyUsedFree() const;
  // Reads `count` blocks from blockNo on with one read and caches each one
  // that is neither dirty nor in use; the file may end early, but not before
  // blockNo (LEDRA_READERR).
  void ReadRun(int32_t blockNo, int32_t count);
  bool InReadWindow(int32_t blockNo) const {
    return blockNo >= windowFirst_ && blockNo < windowFirst_ + windowCount_;
  }
  // Writes `count` cached blocks from `first` on (consecutive numbers) with
  // one write.
  void WriteRun(TBlockMap::iterator first, size_t count);
  enum class TWhich : uint8_t { kNew, kFreed };
  // Writes the dirty blocks of one kind, highest numbers first; after the
  // freed ones, forgets them once none is left dirty.
  bool WriteBlocks(TWhich which);
  // Forgets the blocks freed since the last write (written, dropped, or a
  // free list rebuilt from scratch).
  void ForgetFreed() noexcept;

  TBlobHeader header_;
  // The header bytes handed to the file (and received from it).
  std::array<uint8_t, kBlobHeaderSize> headerBytes_{};
  int32_t blockSize_ = kDefaultBlobBlockSize;
  bool encrypted_ = false;

  const TBlobCacheTable* cacheTable_ = nullptr;
  TBlobCacheTableState defaults_;
  // Ordered by block number: reading a chain in order evicts the lowest
  // numbers and adds the highest, which a tree does without moving the rest.
  TBlockMap blocks_;
  // Most and least recently used ends of the recently-used chain.
  TRecentlyUsedChain<TBlock, &TBlock::older_, &TBlock::newer_> chain_;
  // Blocks dropped from the cache while in use.
  std::vector<std::unique_ptr<TBlock>> orphans_;
  int32_t capacity_ = 1;
  TBlockStack spares_;
  std::vector<uint8_t> readBuffer_;
  std::vector<uint8_t> writeBuffer_;
  // The run being read: its first block and count (0 outside a read).
  // The block of the last cache miss (0: none): a walk downward reads no run.
  int32_t lastMissed_ = 0;
  int32_t windowFirst_ = 0;
  int32_t windowCount_ = 0;
  // The run read through (PassBlock): deciphered blocks throughFirst_ ..
  // throughFirst_ + throughCount_ - 1 in throughBuffer_ (count 0: none).
  std::vector<uint8_t> throughBuffer_;
  int32_t throughFirst_ = 0;
  int32_t throughCount_ = 0;
  TBlockNumberSet walkSet_;
  std::vector<int32_t> chainScratch_;
  // Blocks freed while held back (HoldBackFreed) and not yet written; they
  // head the free list, the oldest of them last (0: none).
  TBlockNumberSet freed_;
  int32_t oldestFreed_ = 0;
  TBlockCacheStatistics statistics_;

  bool forceBufferFlush_ = false;
  std::string tableName_;
  bool writtenTo_ = false;
  std::function<void()> writtenHook_;
};

// Ends a read-through of a blob file (PassBlock) on every path out of a scope.
class TReadThrough {
 public:
  explicit TReadThrough(TBlobFile& file) : file_(file) { file_.EndReadThrough(); }
  ~TReadThrough() { file_.EndReadThrough(); }
  TReadThrough(const TReadThrough&) = delete;
  TReadThrough& operator=(const TReadThrough&) = delete;

 private:
  TBlobFile& file_;
};

// Holds one block of a blob file for a scope and releases it on every path.
class THeldBlock {
 public:
  explicit THeldBlock(TBlobFile& file, TBlock* block = nullptr) : file_(file), block_(block) {}
  ~THeldBlock() { file_.ReleaseBlock(block_); }
  THeldBlock(const THeldBlock&) = delete;
  THeldBlock& operator=(const THeldBlock&) = delete;

  TBlock* Get() const { return block_; }
  TBlock* operator->() const { return block_; }
  explicit operator bool() const { return block_ != nullptr; }
  // Releases the block held so far and holds `block` (a new use) instead.
  void Reset(TBlock* block = nullptr) {
    TBlock* old = block_;
    block_ = block;
    file_.ReleaseBlock(old);
  }

 private:
  TBlobFile& file_;
  TBlock* block_;
};

}  // namespace ledra
