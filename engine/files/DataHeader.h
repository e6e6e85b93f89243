// The 127-byte table header at the start of a .DAT file.
//
// The header is never enciphered as a whole, so the counters and the record
// geometry can be read without the table's password; only the characters of
// `TableDescription` and `TablePassword` are (TableCipher.h). The struct keeps
// those two texts in their stored form: enciphered when `Encrypted` is 1.
//
// File layout of a .DAT file:
//   0                               the header (kDataHeaderSize bytes)
//   127                             FieldCount descriptors of 768 bytes
//   127 + FieldCount * 768          (NextRecordNo - 1) slots of RecordSize bytes
// and nothing after the last slot.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/files/FieldDesc.h"

namespace ledra {

inline constexpr size_t kDataHeaderSize = 127;
inline constexpr uint8_t kDataFormatVersion = 5;
// Engine version 3.12 times 10000, stamped by every header write.
inline constexpr int64_t kDataWriterVersion = 31200;
inline constexpr size_t kTableDescriptionLength = 50;
inline constexpr size_t kTablePasswordLength = 15;
inline constexpr size_t kDataHeaderReservedSize = 3;

// Record geometry and limits of a table.
inline constexpr uint16_t kSlotPrefixSize = 9;  // deleted flag, record number / link, row id
inline constexpr uint16_t kAutoIncOffset = 5;   // an AutoInc value is the slot's row id
inline constexpr uint16_t kMaxFieldCount = 1024;
inline constexpr uint16_t kMaxBlobFieldCount = 128;
inline constexpr uint32_t kMaxRecordSize = 65535;
inline constexpr int32_t kMaxRecordSlots = 200000000;
inline constexpr int64_t kMaxDataFileLength = 4000000000;  // decimal, not 2^32
inline constexpr int32_t kDefaultBlobBlockSize = 512;      // a stored block size of 0
// `LastUpdated` is the component layer's date-time value minus this.
inline constexpr double kLastUpdatedDelta = 693594.0;

struct TDataHeader {
  int32_t ChangeCount = 0;                                  // 0: advanced by every header write
  int32_t BlobBlockSize = 0;                                // 4: 0 means 512
  uint8_t FormatVersion = 0;                                // 8: always 5
  int32_t FirstFreeRecord = 0;                              // 9: head of the free chain, 0 = none
  int32_t NextRecordNo = 0;                                 // 13: slots in the file plus one
  int32_t LastAutoInc = 0;                                  // 17: the last row id given out
  uint16_t RecordSize = 0;                                  // 21: slot length, prefix included
  uint16_t FieldCount = 0;                                  // 23
  uint16_t BlobFieldCount = 0;                              // 25
  double LastUpdated = 0;                                   // 27
  std::string TableDescription;                             // 35: short string of 50, stored form
  uint8_t Encrypted = 0;                                    // 86
  std::string TablePassword;                                // 87: short string of 15, stored form
  uint16_t LanguageId = 0;                                  // 103
  uint16_t SortId = 0;                                      // 105
  uint16_t UserMajorVersion = 0;                            // 107
  uint16_t UserMinorVersion = 0;                            // 109
  uint8_t HeaderModified = 0;                               // 111: the writer's working flag
  int32_t BlobStampCounter = 0;                             // 112
  int64_t WriterVersion = 0;                                // 116
  std::array<uint8_t, kDataHeaderReservedSize> Reserved{};  // 124: kept as read

  // The collation's locale: language in the low 16 bits, sort above.
  uint32_t Lcid() const { return uint32_t(SortId) * 65536u + LanguageId; }
  // Offset of the first record slot.
  int64_t SlotsOffset() const;
};

// Decodes kDataHeaderSize bytes. A short-string length byte above its
// capacity is read as the capacity, so a damaged byte never reads past the
// field.
TDataHeader DecodeDataHeader(const uint8_t* bytes);
// Encodes into kDataHeaderSize bytes; texts are cut to their capacity and the
// unused character bytes zeroed.
void EncodeDataHeader(const TDataHeader& header, uint8_t* bytes);

// Answers whether a text is a valid value of a field's type (the default,
// minimum and maximum value texts of a descriptor). The data file cannot know
// the text forms of values; the table passes the check in. An empty check
// accepts every text.
using TFieldTextValidator = std::function<bool(const TFieldDesc& desc, const std::string& text)>;
// Answers whether a locale can be used for collation on this machine.
using TLocaleCheck = std::function<bool(uint32_t lcid)>;

// The checks made on every header read from disk before anything uses it:
// FormatVersion 5 (LEDRA_OLDVERSION), at most 1024 fields, and a record
// geometry that slot addressing can work with (LEDRA_HEADERCORRUPT).
void CheckDataHeaderImage(const TDataHeader& header, std::string_view tableName);

// The full check of a table's definition against itself and the file length,
// made when a table is first opened. Raises LEDRA_OLDVERSION,
// LEDRA_CANNOTLOADLDDRV or LEDRA_HEADERCORRUPT with the table name. On success
// each descriptor's DataSize and DataScale are set from its type, size and
// scale; on failure the descriptors are left as they were.
//
// `storedNameLengths` holds the length byte of each stored field name (a name
// longer than 30 characters is cut when decoded); when empty, the lengths of
// the names themselves are used.
void VerifyDataLayout(const TDataHeader& header, std::vector<TFieldDesc>& descs,
                      const std::vector<uint8_t>& storedNameLengths, int64_t fileLength,
                      const TLocaleCheck& localeInstalled, const TFieldTextValidator& validator,
                      std::string_view tableName);

// Upper case of a code page 1252 character as the system maps it; used to
// compare field names without regard to case.
uint8_t UpperCaseChar1252(uint8_t c);
// A field name prepared for comparison: trimmed of blanks and upper-cased.
std::string FieldNameKey(std::string_view name);

}  // namespace ledra
