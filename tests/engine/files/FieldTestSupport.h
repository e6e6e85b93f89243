// Field descriptors for data-file tests, laid out by hand.
#pragma once

#include <vector>

#include "engine/files/FieldDesc.h"
#include "tests/support/FieldBuilder.h"

namespace ledra::test {

// string 30 at 9, integer at 41, AutoInc at 5, date at 46: RecordSize 51.
inline std::vector<TFieldDesc> FourFields() {
  return {PlacedAt(MakeField(1, "Name", fldString, 30), 9),
          PlacedAt(MakeField(2, "Count", fldInteger), 41),
          PlacedAt(MakeField(3, "Id", fldInteger, 0, kSubTypeAutoInc), 5),
          PlacedAt(MakeField(4, "Born", fldDate), 46)};
}

}  // namespace ledra::test
