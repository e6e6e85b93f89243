#include "engine/cursor/BlobFile.h"

#include "engine/errors/EngineError.h"
#include "engine/files/TableCipher.h"

namespace ledra {

TBlobFile::TBlobFile(std::string fileName) : TFileHandler(std::move(fileName)) {}

TBlobFile::~TBlobFile() {
  TBlobFile::CloseTableFile();
}

// ---- Opening, creating and closing ------------------------------------------------

void TBlobFile::OpenTableFile() {
  if (IsOpen()) return;
  TFileHandler::OpenTableFile();
  try {
    ReadBlobHeader();
  } catch (...) {
    CloseTableFile();
    throw;
  }
}

void TBlobFile::CloseTableFile() {
  // Block cache: dropped here, without writing (the table flushes first).
  header_ = TBlobHeader();
  TFileHandler::CloseTableFile();
}

void TBlobFile::CreateTableFile() {
  TFileHandler::CreateTableFile();
  // Block cache: dropped here; a new file has no blocks.
  header_ = FreshBlobHeader();
}

// ---- Header -------------------------------------------------------------------------

TBlobHeader TBlobFile::ReadHeaderImage() {
  {
    TFileGuard guard(*this);
    Seek(kFromStart, 0);
    ReadBlock(headerBytes_.data(), int64_t(kBlobHeaderSize));
  }
  if (encrypted_) CipherDataRun(headerBytes_.data(), kBlobHeaderSize);
  return DecodeBlobHeader(headerBytes_.data());
}

void TBlobFile::TakeOver(TBlobHeader header) {
  CheckBlobHeaderImage(header, blockSize_, FileSize(), TableName());
  // Byte 17 tells how the last writer wrote the header; in memory the mark
  // means "changed since read".
  header.HeaderModified = 0;
  header_ = header;
  // Block cache: every cached block is dropped here. The header came from
  // disk, so another user may have rewritten, freed or appended any block.
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
    TFileGuard guard(*this);
    Seek(kFromStart, 0);
    WriteBlock(headerBytes_.data(), int64_t(kBlobHeaderSize));
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
  {
    TFileGuard guard(*this);
    Seek(kFromStart, int64_t(kBlobHeaderSize));
    WriteBlock(nullptr, 0);
  }
  // Block cache: dropped here; the file holds no blocks any more.
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
  blockSize_ = size;
}

}  // namespace ledra
