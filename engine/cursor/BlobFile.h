// The handler of a table's .BLB file: its header, and (to come) its blocks
// and their cache.
//
// A TBlobFile owns the in-memory image of the 512-byte header (BlobHeader.h).
// Header fields change in memory first, each change setting the header's
// modified mark; WriteBlobHeader writes them out with the change counter
// advanced. ReadBlobHeader and RefreshBlobHeader are the only ways the
// in-memory header is replaced from disk.
//
// On-disk invariants kept here (other programs share the file and rely on
// them):
//   - block n lies at 512 + (n - 1) * BlockSize; blocks 1 .. NextBlockNo - 1
//     exist, so the file is at least 512 + (NextBlockNo - 1) * BlockSize
//     bytes long;
//   - FirstFreeBlock is 0 or one of those blocks;
//   - the header is read and written whole, 512 bytes at offset 0, as one
//     cipher run in an enciphered table, and every write of it advances the
//     change counter, so other users notice the change;
//   - the two reserved areas go back to disk exactly as they were read.
//
// The block size comes from the table's .DAT header and must be set before
// the file is opened. Every seek and the transfer that follows run inside the
// shared file object's section (TFileGuard). The handler is used by one
// session at a time; the table's lock protocol decides when the header may be
// written and when it is re-read.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <utility>

#include "engine/cursor/BlobHeader.h"
#include "engine/files/DataHeader.h"
#include "engine/files/FileHandler.h"

namespace ledra {

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

  // ---- Settings and marks ----------------------------------------------------

  // The table's block size as stored in its .DAT header: 0 means 512; outside
  // 19 .. 65535 is LEDRA_HEADERCORRUPT and the size stays as it was. Set
  // before the file is opened.
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

  TBlobHeader header_;
  // The header bytes handed to the file (and received from it).
  std::array<uint8_t, kBlobHeaderSize> headerBytes_{};
  int32_t blockSize_ = kDefaultBlobBlockSize;
  bool encrypted_ = false;

  // ---- Block cache ------------------------------------------------------------
  // The cache of TBlock objects (sorted by block number, most-recently-used
  // chain, spare stack) hangs here. It is emptied wherever the header is
  // taken over from disk (TakeOver), when the file is emptied and when the
  // file is closed; those places are marked "block cache" in the source.

  bool forceBufferFlush_ = false;
  std::string tableName_;
  bool writtenTo_ = false;
  std::function<void()> writtenHook_;
};

}  // namespace ledra
