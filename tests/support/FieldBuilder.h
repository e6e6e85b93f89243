// Field descriptors for tests: the one way tests build a `TFieldDesc`.
//
// MakeField states a field as a table definition does (number, name, type,
// declared size, subtype); its DataSize follows from type and size as the
// record layout derives it, every other attribute is zero. A stored header
// also places each field in the record: PlacedAt gives the offset. Tests set
// any further attribute on the result.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "engine/files/FieldDesc.h"

namespace ledra::test {

inline TFieldDesc MakeField(uint16_t fieldNo, std::string name, uint8_t type, uint8_t size = 0,
                            uint8_t subType = 0) {
  TFieldDesc field;
  field.FieldNo = fieldNo;
  field.FieldName = std::move(name);
  field.FieldType = type;
  field.SubType = subType;
  field.Size = size;
  field.DataSize = DataSizeFor(type, size);
  return field;
}

// A field without a number yet (FieldNo 0), for lists that Numbered or the
// record layout numbers.
inline TFieldDesc MakeField(std::string name, uint8_t type, uint8_t size = 0, uint8_t subType = 0) {
  return MakeField(0, std::move(name), type, size, subType);
}

// The field with its slot at `offset` of the record image.
inline TFieldDesc PlacedAt(TFieldDesc field, uint16_t offset) {
  field.Offset = offset;
  return field;
}

// The fields numbered by their position, from 1.
inline std::vector<TFieldDesc> Numbered(std::vector<TFieldDesc> fields) {
  for (size_t i = 0; i < fields.size(); ++i) fields[i].FieldNo = uint16_t(i + 1);
  return fields;
}

}  // namespace ledra::test
