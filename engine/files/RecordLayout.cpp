#include "engine/files/RecordLayout.h"

#include <cstring>
#include <string>

#include "engine/files/FieldText.h"
#include "engine/errors/EngineError.h"
#include "engine/files/Bytes.h"
#include "engine/files/LocaleServices.h"

namespace ledra {

namespace {

// The widest string a field declares; its value with the terminator fills the
// work area in which stored texts are prepared.
constexpr uint8_t kMaxStringSize = 250;
constexpr size_t kBlobReferenceSize = 4;

template <typename T>
int Compare(T a, T b) {
  return a < b ? -1 : (b < a ? 1 : 0);
}

}  // namespace

TRecordLayout::TRecordLayout(std::string tableName, std::string databaseName, uint16_t languageId,
                             uint16_t sortId, std::vector<TFieldDesc> fields, uint16_t recordSize)
    : tableName_(std::move(tableName)),
      databaseName_(std::move(databaseName)),
      lcid_(TableLocale(languageId, sortId)),
      fields_(std::move(fields)),
      recordSize_(recordSize) {
  auto corrupt = [this]() { RaiseTableError(LEDRA_HEADERCORRUPT, tableName_, databaseName_); };
  if (recordSize_ < kRecordPrefixSize) corrupt();
  slots_.reserve(fields_.size());
  for (const TFieldDesc& desc : fields_) {
    // Field access relies on the storage width that the type implies (two
    // bytes of a boolean, four of a blob reference, ...).
    if (desc.DataSize != DataSizeFor(desc.FieldType, desc.Size)) corrupt();
    if (desc.FieldType == fldString && desc.Size > kMaxStringSize) corrupt();
    TSlotKind kind = TSlotKind::kSlot;
    if (desc.IsAutoInc()) {
      kind = TSlotKind::kRowId;
    } else if (desc.Computed != 0 && desc.Offset == 0) {
      kind = TSlotKind::kNone;
    } else if (desc.Offset < kRecordPrefixSize ||
               size_t(desc.Offset) + 1 + desc.DataSize > recordSize_) {
      corrupt();
    }
    slots_.push_back(kind);
    if (!desc.DefaultValue.empty()) hasDefaults_ = true;
    if (desc.Required != 0 || !desc.MinValue.empty() || !desc.MaxValue.empty()) hasChecks_ = true;
    if (desc.Computed != 0) hasComputed_ = true;
  }
}

uint16_t TRecordLayout::AssignOffsets(std::vector<TFieldDesc>& fields, std::string_view tableName) {
  uint32_t offset = kRecordPrefixSize;
  for (TFieldDesc& desc : fields) {
    desc.DataSize = DataSizeFor(desc.FieldType, desc.Size);
    desc.DataScale = desc.Scale;
    if (desc.IsAutoInc()) {
      desc.Offset = kRowIdOffset;
    } else if (desc.Computed != 0) {
      desc.Offset = 0;
    } else {
      desc.Offset = uint16_t(offset);
      offset += desc.DataSize + 1u;
      if (offset > UINT16_MAX) RaiseTableError(LEDRA_RECTOOBIG, tableName);
    }
  }
  return uint16_t(offset);
}

void TRecordLayout::RaiseFieldError(uint16_t code, std::string_view field) const {
  RaiseEngineError(code, {.Field = field, .Table = tableName_, .Database = databaseName_});
}

const TFieldDesc& TRecordLayout::FieldDesc(int fieldNo) const {
  if (fieldNo < 1 || size_t(fieldNo) > fields_.size()) {
    RaiseFieldError(LEDRA_OUTOFRANGE, std::to_string(fieldNo));
  }
  return fields_[size_t(fieldNo - 1)];
}

int TRecordLayout::FindFieldNo(std::string_view name) const {
  const std::string wanted(name);
  for (size_t i = 0; i < fields_.size(); ++i) {
    if (LocaleCompare(lcid_, true, fields_[i].FieldName.c_str(), wanted.c_str(), 0) == 0) {
      return int(i + 1);
    }
  }
  RaiseFieldError(LEDRA_OUTOFRANGE, name);
}

void TRecordLayout::GetFieldValue(int fieldNo, const uint8_t* image, bool& isNull,
                                  uint8_t* value) const {
  const TFieldDesc& desc = FieldDesc(fieldNo);
  switch (slots_[size_t(fieldNo - 1)]) {
    case TSlotKind::kRowId:
      isNull = false;
      if (value != nullptr) std::memcpy(value, image + kRowIdOffset, desc.DataSize);
      return;
    case TSlotKind::kNone:
      isNull = true;
      if (value != nullptr) {
        std::memset(value, 0, desc.IsBlob() ? kBlobReferenceSize : desc.DataSize);
      }
      return;
    case TSlotKind::kSlot:
      break;
  }
  isNull = (image[desc.Offset] ^ 1) != 0;
  if (value != nullptr) {
    size_t width = desc.IsBlob() ? kBlobReferenceSize : desc.DataSize;
    std::memcpy(value, image + desc.Offset + 1, width);
  }
}

void TRecordLayout::SetFieldValue(int fieldNo, uint8_t* image, const uint8_t* value, bool blobEmpty,
                                  bool force) const {
  const TFieldDesc& desc = FieldDesc(fieldNo);
  if (desc.Computed != 0 && !force) return;
  const TSlotKind kind = slots_[size_t(fieldNo - 1)];
  if (kind == TSlotKind::kNone) return;

  if (kind == TSlotKind::kRowId) {
    // The row id is never null: setting the field null leaves it alone.
    if (value != nullptr) std::memcpy(image + kRowIdOffset, value, desc.DataSize);
  } else if (value == nullptr) {
    image[desc.Offset] = 0;
    std::memset(image + desc.Offset + 1, 0, desc.IsBlob() ? kBlobReferenceSize : desc.DataSize);
  } else {
    uint8_t* slot = image + desc.Offset;
    switch (desc.FieldType) {
      case fldString: {
        // The input may lack a terminator: take DataSize bytes and end the
        // text at Size characters.
        char work[kMaxStringSize + 1] = {};
        std::memcpy(work, value, desc.DataSize);
        work[desc.Size] = '\0';
        size_t length = strnlen(work, desc.Size);
        while (length > 0 && work[length - 1] == ' ') --length;
        if (length > 0 && (desc.CharCase == 1 || desc.CharCase == 2)) {
          std::string text(work, length);
          if (desc.CharCase == 1) {
            LocaleLower(lcid_, text);
          } else {
            LocaleUpper(lcid_, text);
          }
          length = text.size() < desc.Size ? text.size() : desc.Size;
          std::memcpy(work, text.data(), length);
        }
        // Bytes after the terminator keep what an earlier value left there.
        std::memcpy(slot + 1, work, length);
        slot[1 + length] = 0;
        slot[0] = length > 0 ? 1 : 0;
        break;
      }
      case fldBlob: {
        // Only the reference; the stamp that follows it is the blob layer's.
        int32_t reference = GetLEInt32(value);
        std::memcpy(slot + 1, value, kBlobReferenceSize);
        if (reference > 0) {
          slot[0] = 1;
        } else if (reference == 0) {
          slot[0] = 0;
        } else {
          slot[0] = blobEmpty ? 0 : 1;
        }
        break;
      }
      case fldBoolean:
        PutLE16(slot + 1, GetLE16(value) != 0 ? 1 : 0);
        slot[0] = 1;
        break;
      default:
        std::memcpy(slot + 1, value, desc.DataSize);
        slot[0] = 1;
        break;
    }
  }
  if (desc.Computed == 0 && hasComputed_ && computeHandler_) computeHandler_(image);
}

void TRecordLayout::InitRecordBuffer(uint8_t* image) const {
  std::memset(image, 0, recordSize_);
  if (!hasDefaults_) return;
  uint8_t value[kFieldValueBufferSize];
  for (size_t i = 0; i < fields_.size(); ++i) {
    const TFieldDesc& desc = fields_[i];
    if (desc.DefaultValue.empty()) continue;
    DefaultTextToValue(desc, desc.DefaultValue, value);
    SetFieldValue(int(i + 1), image, value, /*blobEmpty=*/false, /*force=*/false);
  }
}

TRecordLayout::TOrder TRecordLayout::CompareWithText(const TFieldDesc& desc, const uint8_t* value,
                                                     const std::string& text) const {
  int order = 0;
  switch (desc.FieldType) {
    case fldString:
      // The value buffer is zeroed beyond DataSize, so the text is terminated.
      order = LocaleCompare(lcid_, false, reinterpret_cast<const char*>(value), text.c_str(), 0);
      break;
    case fldDate:
      order = Compare(GetLEInt32(value), TextToDayNumber(text));
      break;
    case fldTime:
      order = Compare(GetLEInt32(value), TextToTimeMs(text));
      break;
    case fldTimeStamp:
      order = Compare(GetLEDouble(value), TextToTimeStampMs(text));
      break;
    case fldSmallInt:
      order = Compare(int64_t(GetLEInt16(value)), TextToInteger(text, INT64_MIN, INT64_MAX));
      break;
    case fldInteger:
      order = Compare(int64_t(GetLEInt32(value)), TextToInteger(text, INT64_MIN, INT64_MAX));
      break;
    case fldLargeInt:
      order = Compare(GetLEInt64(value), TextToInteger(text, INT64_MIN, INT64_MAX));
      break;
    case fldWord:
      order = Compare(int64_t(GetLE16(value)), TextToInteger(text, INT64_MIN, INT64_MAX));
      break;
    case fldFloat:
      order = Compare(GetLEDouble(value), TextToDouble(text));
      break;
    case fldBCD: {
      int64_t stored = 0;
      int64_t bound = TextToCurrency(text);
      if (!BCDToCurrency(value, stored)) return TOrder::kUnreadable;
      order = Compare(stored, bound);
      break;
    }
    default:
      return TOrder::kNotCompared;
  }
  return order < 0 ? TOrder::kBelow : (order > 0 ? TOrder::kAbove : TOrder::kEqual);
}

void TRecordLayout::ValidateRecord(const uint8_t* image) const {
  if (!hasChecks_) return;
  uint8_t value[kFieldValueBufferSize];
  for (size_t i = 0; i < fields_.size(); ++i) {
    const TFieldDesc& desc = fields_[i];
    if (desc.Required == 0 && desc.MinValue.empty() && desc.MaxValue.empty()) continue;
    std::memset(value, 0, sizeof value);
    bool isNull = false;
    GetFieldValue(int(i + 1), image, isNull, value);
    if (desc.Required != 0 && isNull) RaiseFieldError(LEDRA_REQDERR, desc.FieldName);
    // A null field is compared with its zero bytes like any other value. A
    // packed decimal that cannot be read is not shown to be within a bound.
    if (!desc.MinValue.empty()) {
      TOrder order = CompareWithText(desc, value, desc.MinValue);
      if (order == TOrder::kBelow || order == TOrder::kUnreadable) {
        RaiseFieldError(LEDRA_MINVALERR, desc.FieldName);
      }
    }
    if (!desc.MaxValue.empty()) {
      TOrder order = CompareWithText(desc, value, desc.MaxValue);
      if (order == TOrder::kAbove || order == TOrder::kUnreadable) {
        RaiseFieldError(LEDRA_MAXVALERR, desc.FieldName);
      }
    }
  }
}

}  // namespace ledra
