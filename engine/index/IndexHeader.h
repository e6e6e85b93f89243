// The header block of an index file and its 33 index descriptors.
//
// Layout of the .IDX file: bytes 0..4095 are the header block, page n (n >= 1)
// occupies bytes n * 4096 .. n * 4096 + 4095. Page number 0 never exists and
// stands for "no page" wherever a page number is stored.
//
//   header offset  width  field
//   0              4      IdxChangeCount (incremented before every write)
//   4              4      reserved
//   8              1      IdxFormatVersion (5)
//   9              4      NextPageNo (the file holds pages 1..NextPageNo - 1)
//   13             1      SecondaryIndexCount (0..30)
//   14             33*120 index descriptors, slot s at 14 + 120 * s
//   3974           4      LiveRecordCount
//   3978           1      NoPrimaryIndex
//   3979           1      IdxHeaderModified (in-memory change mark)
//   3980           116    reserved
//
//   descriptor offset  width  field
//   0                  31     IndexName (short string of 30)
//   31                 2      KeyLength
//   33..37             1 each Descending, CaseInsensitive, Unique, Compression,
//                             KeyFieldCount
//   38                 16     FieldDescending
//   54                 16*2   KeyFields (field numbers)
//   86, 90             4 each RootPage, FirstFreePage
//   94, 95             1 each always 0; reserved
//   96                 4      TextParamPage (slot 32 only)
//   100, 101           1 each NoEntryCounts, Temporary
//   102                18     zero
//
// Decoding keeps every byte, reserved and stale ones included, so a header
// that is read and written back unchanged is written byte for byte as read.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "engine/files/FieldDesc.h"

namespace ledra {

inline constexpr size_t kIndexPageSize = 4096;
inline constexpr size_t kIndexHeaderSize = 4096;
inline constexpr size_t kPageHeaderSize = 13;
inline constexpr size_t kPageBodySize = kIndexPageSize - kPageHeaderSize;  // 4083
inline constexpr size_t kIndexDescSize = 120;
inline constexpr size_t kIndexDescOffset = 14;
inline constexpr size_t kIndexNameLength = 30;

inline constexpr int kIndexSlotCount = 33;
inline constexpr int kPrimarySlot = 0;
inline constexpr int kDeletedSlot = 31;
inline constexpr int kTextSlot = 32;
inline constexpr int kMaxSecondary = 30;
inline constexpr int kMaxKeyFields = 16;

// The longest key before the row-id tail, and with it.
inline constexpr int kMaxKeyLength = 522;
inline constexpr int kRowIdTailLength = 4;
inline constexpr int kMaxStoredKeyLength = kMaxKeyLength + kRowIdTailLength;

inline constexpr uint16_t kDeletedKeyLength = 5;
inline constexpr uint16_t kTextKeyLength = 68;
inline constexpr std::string_view kDeletedIndexName = "Sys Deleted";
inline constexpr std::string_view kTextIndexName = "Sys Text";

inline constexpr uint8_t kIdxFormatVersion = 5;
// The last page an index file may hold: (n + 1) * 4096 stays within
// 4000000000 bytes.
inline constexpr int32_t kLastPageNo = 976561;
inline constexpr int32_t kMaxPageNo = 2000000000;

// Leaf-page compression of an index (`Compression`).
enum TIndexCompression : uint8_t {
  kCompressNone = 0,       // NONE
  kCompressDupByte = 1,    // DUPBYTE: shared prefix with the previous key dropped
  kCompressTrailByte = 2,  // TRAILBYTE: trailing zero bytes dropped
  kCompressFull = 3,       // FULL: both
};

struct TIndexDesc {
  // IndexName as stored: the length byte and 30 character bytes, of which
  // only the first `length` carry meaning (the rest are kept as found).
  std::array<uint8_t, kIndexNameLength + 1> IndexNameBytes{};
  uint16_t KeyLength = 0;
  uint8_t Descending = 0;
  uint8_t CaseInsensitive = 0;
  uint8_t Unique = 0;
  uint8_t Compression = 0;
  uint8_t KeyFieldCount = 0;
  std::array<uint8_t, kMaxKeyFields> FieldDescending{};
  std::array<uint16_t, kMaxKeyFields> KeyFields{};
  int32_t RootPage = 0;
  int32_t FirstFreePage = 0;
  uint8_t Byte94 = 0;
  uint8_t Reserved95 = 0;
  int32_t TextParamPage = 0;
  uint8_t NoEntryCounts = 0;
  uint8_t Temporary = 0;
  std::array<uint8_t, 18> Reserved102{};

  // The name (a length byte above 30 reads as 30).
  std::string IndexName() const;
  // Stores the name cut to 30 characters; unused character bytes become 0.
  void SetIndexName(std::string_view name);

  bool operator==(const TIndexDesc&) const = default;
};

struct TIndexHeader {
  uint32_t IdxChangeCount = 0;
  std::array<uint8_t, 4> Reserved4{};
  uint8_t IdxFormatVersion = 0;
  int32_t NextPageNo = 0;
  uint8_t SecondaryIndexCount = 0;
  std::array<TIndexDesc, kIndexSlotCount> Descs{};
  int32_t LiveRecordCount = 0;
  uint8_t NoPrimaryIndex = 0;
  uint8_t IdxHeaderModified = 0;
  std::array<uint8_t, 116> Reserved3980{};

  bool operator==(const TIndexHeader&) const = default;
};

TIndexDesc DecodeIndexDesc(const uint8_t* bytes);
void EncodeIndexDesc(const TIndexDesc& desc, uint8_t* bytes);

// Decodes 4096 bytes into `header` (no allocation; every value is taken as
// stored: whether it is sound is for the checks of the index file).
void DecodeIndexHeader(const uint8_t* bytes, TIndexHeader& header);
void EncodeIndexHeader(const TIndexHeader& header, uint8_t* bytes);

// The header of a new, empty index file: version 5, NextPageNo 1, slot 31
// "Sys Deleted" (KeyLength 5, no compression) and slot 32 "Sys Text"
// (KeyLength 68, FULL compression), everything else 0, marked modified.
TIndexHeader FreshIndexHeader();

// True when inner pages of the slot carry subtree counts: never for the text
// index, otherwise unless `NoEntryCounts` is set.
bool SlotHasEntryCounts(int slot, const TIndexDesc& desc);

// Page number n is valid when it is 0 (no page) or names a page the file
// holds: 1 <= n <= NextPageNo - 1.
bool IsValidPageNo(int32_t nextPageNo, int32_t pageNo);

// Index names compare trimmed and without regard to case. Case folding is
// that of code page 1252 (ASCII letters, the accented letters 0xE0..0xFE
// except 0xF7, and the pairs 0x9A/0x8A, 0x9C/0x8C, 0x9E/0x8E, 0xFF/0x9F),
// as the default English locale maps them.
uint8_t UpperChar1252(uint8_t c);
bool SameIndexName(std::string_view a, std::string_view b);
// A name may begin with a letter, "_" or a character 128..254 (after
// trimming and upper-casing); an empty name is not valid.
bool IndexNameStartsValid(std::string_view name);

// The consistency check of a header read from disk, against the table's
// field descriptors (looked up by `FieldNo`). Raises LEDRA_OLDVERSION for a
// wrong version and LEDRA_HEADERCORRUPT for any inconsistency: a bad
// SecondaryIndexCount or NextPageNo, a bad name, a gap in KeyFields, a
// missing or blob key field, KeyFieldCount disagreeing with KeyFields,
// KeyLength disagreeing with the fields, a key above 522 bytes, an invalid
// page number.
void VerifyIndexHeader(const TIndexHeader& header, const std::vector<TFieldDesc>& fields,
                       std::string_view tableName);

}  // namespace ledra
