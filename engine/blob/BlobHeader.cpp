#include "engine/blob/BlobHeader.h"

#include <cstring>

#include "engine/errors/EngineError.h"
#include "engine/files/Bytes.h"

namespace ledra {

namespace {
// Byte offsets inside the header.
constexpr size_t kOffChangeCount = 0;
constexpr size_t kOffReserved = 4;
constexpr size_t kOffFormatVersion = 8;
constexpr size_t kOffFirstFreeBlock = 9;
constexpr size_t kOffNextBlockNo = 13;
constexpr size_t kOffHeaderModified = 17;
constexpr size_t kOffTrailing = 18;
static_assert(kOffReserved + kBlobHeaderReservedSize == kOffFormatVersion);
static_assert(kOffTrailing + kBlobHeaderTrailingSize == kBlobHeaderSize);
}  // namespace

TBlobHeader DecodeBlobHeader(const uint8_t* bytes) {
  TBlobHeader header;
  header.ChangeCount = GetLEInt32(bytes + kOffChangeCount);
  std::memcpy(header.Reserved.data(), bytes + kOffReserved, kBlobHeaderReservedSize);
  header.FormatVersion = bytes[kOffFormatVersion];
  header.FirstFreeBlock = GetLEInt32(bytes + kOffFirstFreeBlock);
  header.NextBlockNo = GetLEInt32(bytes + kOffNextBlockNo);
  header.HeaderModified = bytes[kOffHeaderModified];
  std::memcpy(header.Trailing.data(), bytes + kOffTrailing, kBlobHeaderTrailingSize);
  return header;
}

void EncodeBlobHeader(const TBlobHeader& header, uint8_t* bytes) {
  PutLE32(bytes + kOffChangeCount, uint32_t(header.ChangeCount));
  std::memcpy(bytes + kOffReserved, header.Reserved.data(), kBlobHeaderReservedSize);
  bytes[kOffFormatVersion] = header.FormatVersion;
  PutLE32(bytes + kOffFirstFreeBlock, uint32_t(header.FirstFreeBlock));
  PutLE32(bytes + kOffNextBlockNo, uint32_t(header.NextBlockNo));
  bytes[kOffHeaderModified] = header.HeaderModified;
  std::memcpy(bytes + kOffTrailing, header.Trailing.data(), kBlobHeaderTrailingSize);
}

TBlobHeader FreshBlobHeader() {
  TBlobHeader header;
  header.FormatVersion = kBlobFormatVersion;
  header.FirstFreeBlock = 0;
  header.NextBlockNo = 1;
  header.HeaderModified = 1;
  return header;
}

void CheckBlobHeaderImage(const TBlobHeader& header, int32_t blockSize, int64_t fileLength,
                          std::string_view tableName) {
  if (header.FormatVersion != kBlobFormatVersion) RaiseTableError(LEDRA_OLDVERSION, tableName);
  // Block numbers from the header decide file offsets and list walks: a head
  // of the free list beyond the last block, or blocks the file does not hold,
  // would send reads past the end or writes into the void.
  if (header.NextBlockNo < 1 || header.FirstFreeBlock < 0 ||
      header.FirstFreeBlock >= header.NextBlockNo) {
    RaiseTableError(LEDRA_HEADERCORRUPT, tableName);
  }
  if (fileLength < BlobBlockOffset(header.NextBlockNo, blockSize)) {
    RaiseTableError(LEDRA_HEADERCORRUPT, tableName);
  }
}

}  // namespace ledra
