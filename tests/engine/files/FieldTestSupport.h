// Field descriptors for data-file tests, laid out by hand.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "engine/files/FieldDesc.h"

namespace ledra::test {

// A descriptor with its layout given explicitly, every other attribute zero.
inline TFieldDesc LaidOutField(uint16_t no, std::string name, uint8_t type, uint8_t subType,
                               uint8_t size, uint8_t dataSize, uint16_t offset) {
  TFieldDesc d;
  d.FieldNo = no;
  d.FieldName = std::move(name);
  d.FieldType = type;
  d.SubType = subType;
  d.Size = size;
  d.DataSize = dataSize;
  d.Offset = offset;
  return d;
}

// string 30 at 9, integer at 41, AutoInc at 5, date at 46: RecordSize 51.
inline std::vector<TFieldDesc> FourFields() {
  return {LaidOutField(1, "Name", 1, 0, 30, 31, 9), LaidOutField(2, "Count", 6, 0, 0, 4, 41),
          LaidOutField(3, "Id", 6, 29, 0, 4, 5), LaidOutField(4, "Born", 2, 0, 0, 4, 46)};
}

}  // namespace ledra::test
