// The 512-byte header at the start of a .BLB file.
//
// File layout of a .BLB file:
//   0                                   the header (kBlobHeaderSize bytes)
//   512 + (n - 1) * BlockSize           block n, for n = 1 .. NextBlockNo - 1
// where BlockSize is the table's blob block size (kept in the .DAT header).
// Each block is an 18-byte block header followed by BlockSize - 18 payload
// bytes. In an enciphered table the whole header is one run of the table
// cipher (data seed pair); the struct holds it deciphered.
//
// The two reserved areas (4 bytes at offset 4, 494 bytes at offset 18) are
// zero in a new file and otherwise written back exactly as they were read:
// other programs sharing the file may keep something there.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace ledra {

inline constexpr size_t kBlobHeaderSize = 512;
inline constexpr uint8_t kBlobFormatVersion = 5;
// Every block starts with this many bytes of links, used count, stamp and
// total length; the payload follows.
inline constexpr int32_t kBlobBlockHeaderSize = 18;
// A block must hold its header and at least one payload byte; its size must
// fit the 16-bit used count.
inline constexpr int32_t kMinBlobBlockSize = kBlobBlockHeaderSize + 1;
inline constexpr int32_t kMaxBlobBlockSize = 65535;
inline constexpr size_t kBlobHeaderReservedSize = 4;
inline constexpr size_t kBlobHeaderTrailingSize = 494;

struct TBlobHeader {
  int32_t ChangeCount = 0;                                  // 0: advanced by every header write
  std::array<uint8_t, kBlobHeaderReservedSize> Reserved{};  // 4: kept as read
  uint8_t FormatVersion = 0;                                // 8: always 5
  int32_t FirstFreeBlock = 0;                               // 9: head of the free list, 0 = none
  int32_t NextBlockNo = 0;                                  // 13: blocks in the file plus one
  // 17: on disk, 1 when the header was written because it had changed; in
  // memory, the "changed since read or written" mark. Ignored when reading.
  uint8_t HeaderModified = 0;
  std::array<uint8_t, kBlobHeaderTrailingSize> Trailing{};  // 18: kept as read

  // Blocks in the file.
  int32_t BlockCount() const { return NextBlockNo > 0 ? NextBlockNo - 1 : 0; }
};

// Decodes kBlobHeaderSize deciphered bytes.
TBlobHeader DecodeBlobHeader(const uint8_t* bytes);
// Encodes into kBlobHeaderSize bytes (not enciphered).
void EncodeBlobHeader(const TBlobHeader& header, uint8_t* bytes);

// The header of a new, empty blob file: zeros, version 5, no free block,
// next block 1, marked modified so that it reaches the disk.
TBlobHeader FreshBlobHeader();

// The checks a header read from disk must pass before anything uses it:
// FormatVersion 5 (LEDRA_OLDVERSION); NextBlockNo at least 1, FirstFreeBlock
// in 0 .. NextBlockNo - 1, and a file long enough for every block the header
// counts (LEDRA_HEADERCORRUPT). `blockSize` is the table's (already checked)
// block size; errors carry `tableName`.
void CheckBlobHeaderImage(const TBlobHeader& header, int32_t blockSize, int64_t fileLength,
                          std::string_view tableName);

// The offset of block n in a file of that block size (n >= 1, not checked).
inline int64_t BlobBlockOffset(int32_t blockNo, int32_t blockSize) {
  return int64_t(kBlobHeaderSize) + (int64_t(blockNo) - 1) * int64_t(blockSize);
}

}  // namespace ledra
