#include "components/FieldTypes.h"

#include <string>

#include "components/LedraDatabaseError.h"

namespace ledra {

TFieldType ComponentFieldType(const TFieldDesc& desc) {
  switch (desc.FieldType) {
    case fldString:
      return desc.SubType == kSubTypeFixedChar ? ftFixedChar : ftString;
    case fldDate:
      return ftDate;
    case fldBlob:
      switch (desc.SubType) {
        case kSubTypeMemo:
          return ftMemo;
        case kSubTypeFmtMemo:
          return ftFmtMemo;
        case kSubTypeGraphic:
          return ftGraphic;
        case kSubTypeTypedBinary:
          return ftTypedBinary;
        default:
          return ftBlob;
      }
    case fldBoolean:
      return ftBoolean;
    case fldSmallInt:
      return ftSmallint;
    case fldInteger:
      return desc.SubType == kSubTypeAutoInc ? ftAutoInc : ftInteger;
    case fldFloat:
      return desc.SubType == kSubTypeMoney ? ftCurrency : ftFloat;
    case fldBCD:
      return ftBCD;
    case fldBytes:
      return ftBytes;
    case fldTime:
      return ftTime;
    case fldTimeStamp:
      return ftDateTime;
    case fldWord:
      return ftWord;
    case fldInt32:
      return ftInteger;
    case fldVarBytes:
      return ftVarBytes;
    case fldLargeInt:
    case fldOtherLargeInt:
      return ftLargeint;
    case fldADT:
      return ftADT;
    case fldArray:
      return ftArray;
    case fldReference:
      return ftReference;
    case fldDataSet:
      return ftDataSet;
    default:
      return ftUnknown;
  }
}

int DatasetFieldSize(const TFieldDesc& desc) {
  switch (desc.FieldType) {
    case fldString:
    case fldBytes:
    case fldVarBytes:
      return desc.Size;
    case fldBCD:
      return desc.Scale;
    default:
      return 0;
  }
}

std::string UniqueFieldDefName(std::string_view name, const std::vector<std::string>& taken) {
  auto isTaken = [&](const std::string& candidate) {
    for (const std::string& other : taken) {
      if (SameText(other, candidate)) return true;
    }
    return false;
  };
  std::string candidate(name);
  for (int counter = 1; isTaken(candidate); ++counter) {
    candidate = std::string(name) + "_" + std::to_string(counter);
  }
  return candidate;
}

std::vector<TComponentFieldDef> BuildComponentFieldDefs(const std::vector<TFieldDesc>& fields) {
  std::vector<TComponentFieldDef> defs;
  std::vector<std::string> names;
  for (const TFieldDesc& desc : fields) {
    TFieldType type = ComponentFieldType(desc);
    if (type == ftUnknown || desc.Hidden()) continue;
    TComponentFieldDef def;
    def.Name = UniqueFieldDefName(desc.FieldName, names);
    def.FieldNo = desc.FieldNo;
    def.DataType = type;
    def.Size = DatasetFieldSize(desc);
    def.Required = desc.Required != 0;
    names.push_back(def.Name);
    defs.push_back(std::move(def));
  }
  return defs;
}

}  // namespace ledra
