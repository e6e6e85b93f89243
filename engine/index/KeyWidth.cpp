#include "engine/index/KeyWidth.h"

#include "engine/errors/EngineError.h"
#include "engine/index/IndexHeader.h"

namespace ledra {

uint16_t KeyWidth(const TFieldDesc& field) {
  switch (field.FieldType) {
    case fldString:
      return uint16_t(field.Size + 1);
    case fldDate:
    case fldInteger:
    case fldTime:
      return 4;
    case fldSmallInt:
    case fldBoolean:
    case fldWord:
      return 2;
    case fldFloat:
    case fldTimeStamp:
    case fldBCD:
    case fldLargeInt:
      return 8;
    default:
      return field.DataSize;
  }
}

uint32_t KeySegmentsLength(std::span<const TFieldDesc* const> keyFields) {
  uint32_t length = 0;
  for (const TFieldDesc* field : keyFields) length += KeyWidth(*field) + 1u;
  return length;
}

uint16_t DefineKeyLength(std::span<const TFieldDesc* const> keyFields, bool unique, bool allowEmpty,
                         std::string_view indexName, std::string_view tableName) {
  uint32_t length = KeySegmentsLength(keyFields);
  if ((length == 0 && !allowEmpty) || length > uint32_t(kMaxKeyLength)) {
    RaiseEngineError(LEDRA_INVALIDKEY, {.Index = indexName, .Table = tableName});
  }
  if (length != 0 && !unique) length += kRowIdTailLength;
  return uint16_t(length);
}

}  // namespace ledra
