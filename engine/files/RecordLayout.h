// The record image of a table and access to its fields.
//
// A record image is `RecordSize` bytes: a 9-byte prefix, then one slot per
// stored field in field order, with no padding:
//
//   byte 0       deleted flag (0 live, 1 free slot)
//   bytes 1..4   own record number of a live record / next free slot (LE32)
//   bytes 5..8   row id, which is also the value of an AutoInc field (LE32)
//   Offset       null flag of a field: 1 = has a value, 0 = null
//   Offset+1..   `DataSize` value bytes; a null field's value bytes are zero
//                (a string nulled by an empty text keeps all but its first)
//
// An AutoInc field has no slot: its `Offset` is 5 and it is never null. A blob
// field's 8 value bytes are the blob reference and the blob stamp (LE32 each);
// only the reference is written here, the stamp belongs to the blob layer.
//
// `TRecordLayout` holds the cursor's own copy of the field descriptors and
// reads and writes fields of images owned by the caller. Every slot is checked
// against `RecordSize` when the layout is built, so that a damaged descriptor
// is refused with LEDRA_HEADERCORRUPT instead of letting field access run past
// the image.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/files/FieldDesc.h"

namespace ledra {

inline constexpr uint16_t kRecordPrefixSize = 9;
inline constexpr uint16_t kRowIdOffset = 5;
// Large enough for the value of any field (DataSize is one byte).
inline constexpr size_t kFieldValueBufferSize = 256;

class TRecordLayout {
 public:
  // Builds the layout of a table from its descriptors (field 1 first) and the
  // `RecordSize` of its header. The locale is the table's `LanguageId` and
  // `SortId` (language 0 stands for 1033). Raises LEDRA_HEADERCORRUPT when a
  // descriptor does not fit the record.
  TRecordLayout(std::string tableName, std::string databaseName, uint16_t languageId,
                uint16_t sortId, std::vector<TFieldDesc> fields, uint16_t recordSize);

  // Lays out a new table definition: sets `DataSize` (and `DataScale`) from
  // the type, gives the stored fields offsets from 9 in field order, AutoInc
  // fields offset 5 and computed fields no slot (offset 0). Returns the
  // `RecordSize`; a record above 65535 bytes raises LEDRA_RECTOOBIG.
  static uint16_t AssignOffsets(std::vector<TFieldDesc>& fields, std::string_view tableName = {});

  uint16_t FieldCount() const { return uint16_t(fields_.size()); }
  uint16_t RecordSize() const { return recordSize_; }
  uint32_t LocaleId() const { return lcid_; }
  const std::string& TableName() const { return tableName_; }
  const std::string& DatabaseName() const { return databaseName_; }
  bool HasDefaults() const { return hasDefaults_; }
  bool HasChecks() const { return hasChecks_; }
  bool HasComputed() const { return hasComputed_; }

  // The descriptor of field 1 .. FieldCount; any other number raises
  // LEDRA_OUTOFRANGE with the number as the field name.
  const TFieldDesc& FieldDesc(int fieldNo) const;
  TFieldDesc GetFieldDesc(int fieldNo) const { return FieldDesc(fieldNo); }
  // The number of the field whose name equals `name` without regard to case;
  // no match raises LEDRA_OUTOFRANGE with the name.
  int FindFieldNo(std::string_view name) const;
  TFieldDesc FindFieldDesc(std::string_view name) const { return FieldDesc(FindFieldNo(name)); }

  // Reads one field. `value`, when given, receives `DataSize` bytes (4 for a
  // blob field: the reference); they are copied even when the field is null.
  void GetFieldValue(int fieldNo, const uint8_t* image, bool& isNull, uint8_t* value) const;
  // Writes one field; `value` nullptr sets it null. `value` holds at least
  // `DataSize` bytes (4 for a blob field); a string need not be terminated.
  // Strings lose trailing blanks, are cut to `Size`, take the `CharCase` and
  // become null when empty. Booleans other than 0 are stored as 1. A computed
  // field is written only when `force` is set. `blobEmpty` decides the null
  // flag of a blob field given a negative (not yet written) reference.
  void SetFieldValue(int fieldNo, uint8_t* image, const uint8_t* value, bool blobEmpty,
                     bool force) const;
  // An image for a new record: `RecordSize` zero bytes, then the default of
  // every field that has one. A malformed default raises EDatabaseError.
  void InitRecordBuffer(uint8_t* image) const;
  // Raises the first failing `Required` (LEDRA_REQDERR), `MinValue`
  // (LEDRA_MINVALERR) or `MaxValue` (LEDRA_MAXVALERR) check in field order.
  void ValidateRecord(const uint8_t* image) const;

  // Computed fields (query result tables only) are recomputed by this handler
  // after every write to a stored field; it writes them with force set.
  using TComputeHandler = std::function<void(uint8_t* image)>;
  void SetComputeHandler(TComputeHandler handler) { computeHandler_ = std::move(handler); }

 private:
  // How a field is reached in the image.
  enum class TSlotKind : uint8_t { kNone, kRowId, kSlot };

  // The order of a stored value against a minimum or maximum text.
  enum class TOrder : uint8_t { kBelow, kEqual, kAbove, kNotCompared, kUnreadable };
  TOrder CompareWithText(const TFieldDesc& desc, const uint8_t* value,
                         const std::string& text) const;
  [[noreturn]] void RaiseFieldError(uint16_t code, std::string_view field) const;

  std::string tableName_;
  std::string databaseName_;
  uint32_t lcid_ = 0;
  std::vector<TFieldDesc> fields_;
  std::vector<TSlotKind> slots_;
  uint16_t recordSize_ = 0;
  bool hasDefaults_ = false;
  bool hasChecks_ = false;
  bool hasComputed_ = false;
  TComputeHandler computeHandler_;
};

}  // namespace ledra
