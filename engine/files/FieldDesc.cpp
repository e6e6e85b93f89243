#include "engine/files/FieldDesc.h"

#include <cstring>

#include "engine/files/Bytes.h"

namespace ledra {

namespace {
// Byte offsets inside one descriptor.
constexpr size_t kOffFieldNo = 0;
constexpr size_t kOffFieldName = 2;
constexpr size_t kOffDescription = 33;
constexpr size_t kOffFieldType = 84;
constexpr size_t kOffSubType = 85;
constexpr size_t kOffSize = 86;
constexpr size_t kOffScale = 87;
constexpr size_t kOffDataSize = 88;
constexpr size_t kOffDataScale = 89;
constexpr size_t kOffOffset = 90;
constexpr size_t kOffRequired = 92;
constexpr size_t kOffCharCase = 93;
constexpr size_t kOffMinValue = 94;
constexpr size_t kOffMaxValue = 145;
constexpr size_t kOffDefaultValue = 196;
constexpr size_t kOffComputed = 247;
}  // namespace

TFieldDesc DecodeFieldDesc(const uint8_t* bytes) {
  TFieldDesc desc;
  desc.FieldNo = GetLE16(bytes + kOffFieldNo);
  desc.FieldName = GetShortString(bytes + kOffFieldName, kFieldNameLength);
  desc.Description = GetShortString(bytes + kOffDescription, kFieldTextLength);
  desc.FieldType = bytes[kOffFieldType];
  desc.SubType = bytes[kOffSubType];
  desc.Size = bytes[kOffSize];
  desc.Scale = bytes[kOffScale];
  desc.DataSize = bytes[kOffDataSize];
  desc.DataScale = bytes[kOffDataScale];
  desc.Offset = GetLE16(bytes + kOffOffset);
  desc.Required = bytes[kOffRequired];
  desc.CharCase = bytes[kOffCharCase];
  desc.MinValue = GetShortString(bytes + kOffMinValue, kFieldTextLength);
  desc.MaxValue = GetShortString(bytes + kOffMaxValue, kFieldTextLength);
  desc.DefaultValue = GetShortString(bytes + kOffDefaultValue, kFieldTextLength);
  desc.Computed = bytes[kOffComputed];
  std::memcpy(desc.Reserved.data(), bytes + kFieldDescReservedOffset, kFieldDescReservedSize);
  return desc;
}

void EncodeFieldDesc(const TFieldDesc& desc, uint8_t* bytes) {
  std::memset(bytes, 0, kFieldDescSize);
  PutLE16(bytes + kOffFieldNo, desc.FieldNo);
  PutShortString(bytes + kOffFieldName, kFieldNameLength, desc.FieldName);
  PutShortString(bytes + kOffDescription, kFieldTextLength, desc.Description);
  bytes[kOffFieldType] = desc.FieldType;
  bytes[kOffSubType] = desc.SubType;
  bytes[kOffSize] = desc.Size;
  bytes[kOffScale] = desc.Scale;
  bytes[kOffDataSize] = desc.DataSize;
  bytes[kOffDataScale] = desc.DataScale;
  PutLE16(bytes + kOffOffset, desc.Offset);
  bytes[kOffRequired] = desc.Required;
  bytes[kOffCharCase] = desc.CharCase;
  PutShortString(bytes + kOffMinValue, kFieldTextLength, desc.MinValue);
  PutShortString(bytes + kOffMaxValue, kFieldTextLength, desc.MaxValue);
  PutShortString(bytes + kOffDefaultValue, kFieldTextLength, desc.DefaultValue);
  bytes[kOffComputed] = desc.Computed;
  std::memcpy(bytes + kFieldDescReservedOffset, desc.Reserved.data(), kFieldDescReservedSize);
}

uint8_t DataSizeFor(uint8_t fieldType, uint8_t size) {
  switch (fieldType) {
    case fldString:
      // A declared size of 255 cannot pass verification; the sum is kept in a
      // byte as stored, and 255 + 1 would wrap to 0.
      return size < 255 ? uint8_t(size + 1) : uint8_t(255);
    case fldDate:
    case fldInteger:
    case fldTime:
    case fldInt32:
      return 4;
    case fldBlob:
    case fldFloat:
    case fldTimeStamp:
    case fldLargeInt:
      return 8;
    case fldBoolean:
    case fldSmallInt:
    case fldWord:
      return 2;
    case fldBCD:
      return 34;
    case fldTenByte:
      return 10;
    default:
      return size;
  }
}

}  // namespace ledra
