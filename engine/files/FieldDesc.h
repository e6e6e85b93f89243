// The field descriptor of a table (768 bytes per field in the .DAT file).
//
// Descriptor i (1-based) lies at .DAT offset 127 + (i - 1) * 768, after the
// table header. The attributes keep their stored names; what their values mean
// for records is the record layout's matter (engine/cursor/RecordLayout.h).
#pragma once

#include <array>
#include <cstdint>
#include <string>

namespace ledra {

inline constexpr size_t kFieldDescSize = 768;
inline constexpr size_t kFieldNameLength = 30;  // FieldName characters
inline constexpr size_t kFieldTextLength = 50;  // Description, Min/Max/DefaultValue
inline constexpr size_t kFieldDescReservedOffset = 248;
inline constexpr size_t kFieldDescReservedSize = 520;
inline constexpr size_t kMaxDeclaredSize = 250;  // Size of types 1, 9 and 15

// Engine field type codes (`FieldType`).
enum TEngineFieldType : uint8_t {
  fldUnknown = 0,
  fldString = 1,
  fldDate = 2,
  fldBlob = 3,
  fldBoolean = 4,
  fldSmallInt = 5,
  fldInteger = 6,
  fldFloat = 7,
  fldBCD = 8,
  fldBytes = 9,
  fldTime = 10,
  fldTimeStamp = 11,
  fldWord = 12,
  fldInt32 = 13,
  fldTenByte = 14,
  fldVarBytes = 15,
  fldLargeInt = 18,
  // Types the engine stores unchanged without reading them (like 16 and
  // 17); the component layer offers these under types of its own.
  fldOtherLargeInt = 19,
  fldADT = 20,
  fldArray = 21,
  fldReference = 22,
  fldDataSet = 23,
};

// Engine subtype codes (`SubType`) that change a type's meaning.
inline constexpr uint8_t kSubTypeMoney = 21;        // on type 7
inline constexpr uint8_t kSubTypeMemo = 22;         // on type 3
inline constexpr uint8_t kSubTypeFmtMemo = 24;      // on type 3
inline constexpr uint8_t kSubTypeGraphic = 26;      // on type 3
inline constexpr uint8_t kSubTypeTypedBinary = 28;  // on type 3
inline constexpr uint8_t kSubTypeAutoInc = 29;      // on type 6
inline constexpr uint8_t kSubTypeFixedChar = 31;    // on type 1

struct TFieldDesc {
  uint16_t FieldNo = 0;
  std::string FieldName;    // at most 30 characters
  std::string Description;  // at most 50 characters
  uint8_t FieldType = 0;
  uint8_t SubType = 0;
  uint8_t Size = 0;
  uint8_t Scale = 0;
  uint8_t DataSize = 0;
  uint8_t DataScale = 0;
  uint16_t Offset = 0;
  uint8_t Required = 0;
  uint8_t CharCase = 0;  // 0 unchanged, 1 lower case, 2 upper case
  std::string MinValue;
  std::string MaxValue;
  std::string DefaultValue;
  uint8_t Computed = 0;
  // Bytes 248..767: working data of cursors and queries; readers do not
  // interpret them, writers of new tables store zeros. Byte 252 is `Hidden`.
  std::array<uint8_t, kFieldDescReservedSize> Reserved{};

  bool Hidden() const { return Reserved[252 - kFieldDescReservedOffset] != 0; }
  bool IsAutoInc() const { return FieldType == fldInteger && SubType == kSubTypeAutoInc; }
  bool IsBlob() const { return FieldType == fldBlob; }
};

// Decodes 768 bytes. Short-string length bytes above their capacity are read
// as the capacity; verification decides whether the descriptor is sound.
TFieldDesc DecodeFieldDesc(const uint8_t* bytes);
// Encodes into 768 bytes; texts longer than their capacity are cut.
void EncodeFieldDesc(const TFieldDesc& desc, uint8_t* bytes);

// Storage width of a value of the type: `Size` + 1 for strings, 4 for dates,
// integers and times, and so on; `Size` for bytes and unknown types.
uint8_t DataSizeFor(uint8_t fieldType, uint8_t size);

}  // namespace ledra
