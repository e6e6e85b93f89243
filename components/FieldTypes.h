// The component layer's field types and how engine field types map to them.
//
// The component layer builds its field definitions from the engine's field
// descriptors: it skips fields without a component-layer type and hidden
// fields, and gives each of the others a unique name, its field number, the
// type below, a dataset size and the required flag.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "engine/table/TableDefinition.h"

namespace ledra {

enum TFieldType : uint8_t {
  ftUnknown,
  ftString,
  ftFixedChar,
  ftDate,
  ftBlob,
  ftMemo,
  ftFmtMemo,
  ftGraphic,
  ftTypedBinary,
  ftBoolean,
  ftSmallint,
  ftInteger,
  ftAutoInc,
  ftFloat,
  ftCurrency,
  ftBCD,
  ftBytes,
  ftTime,
  ftDateTime,
  ftWord,
  ftVarBytes,
  ftLargeint,
  ftADT,
  ftArray,
  ftReference,
  ftDataSet,
};

// The component-layer type of an engine field; ftUnknown when the field is not
// offered to the component layer (types 0, 14, 16, 17 and above 23).
TFieldType ComponentFieldType(const TFieldDesc& desc);
// The dataset size: `Size` for strings and byte fields, `Scale` for BCD (whose
// precision is always 32), 0 for the other types.
int DatasetFieldSize(const TFieldDesc& desc);

// One field definition as the component layer sees it.
struct TComponentFieldDef {
  std::string Name;
  uint16_t FieldNo = 0;
  TFieldType DataType = ftUnknown;
  int Size = 0;
  bool Required = false;
};

// The name itself when no taken name equals it without regard to case, else
// "%s_%d" with the first counter from 1 that gives a free name.
std::string UniqueFieldDefName(std::string_view name, const std::vector<std::string>& taken);

// The field definitions of a table: fields without a component-layer type and
// hidden fields are left out; names are made unique in field order.
std::vector<TComponentFieldDef> BuildComponentFieldDefs(const std::vector<TFieldDesc>& fields);

}  // namespace ledra
