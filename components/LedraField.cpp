#include "components/LedraField.h"

#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>

#include "components/LedraDataSet.h"
#include "components/LedraDatabaseError.h"
#include "engine/cursor/FieldValue.h"

namespace ledra {

namespace {

// Days from 1 January of year 1 (day 1) to 30 December 1899, day 0 of the
// layer's date-time values; milliseconds per day.
constexpr int32_t kDateDelta = 693594;
constexpr double kMSecsPerDay = 86400000.0;
constexpr int32_t kMaxDayNumber = 3652059;

int64_t GetLE(const uint8_t* bytes, size_t size) {
  uint64_t value = 0;
  for (size_t i = size; i-- > 0;) value = (value << 8) | bytes[i];
  return int64_t(value);
}

void PutLE(uint8_t* bytes, size_t size, uint64_t value) {
  for (size_t i = 0; i < size; ++i, value >>= 8) bytes[i] = uint8_t(value);
}

double GetDouble(const uint8_t* bytes) {
  const uint64_t bits = uint64_t(GetLE(bytes, 8));
  double value;
  std::memcpy(&value, &bits, sizeof value);
  return value;
}

void PutDouble(uint8_t* bytes, double value) {
  uint64_t bits;
  std::memcpy(&bits, &value, sizeof bits);
  PutLE(bytes, 8, bits);
}

std::string ShortestText(double value) {
  char text[64];
  auto [end, error] = std::to_chars(text, text + sizeof text, value);
  if (error != std::errc()) return "NaN";
  return std::string(text, end);
}

}  // namespace

// ---- Base --------------------------------------------------------------------------------

TLedraField::TLedraField(TLedraComponent* owner, TFieldType dataType)
    : TLedraComponent(owner), dataType_(dataType) {}

TLedraField::~TLedraField() = default;

void TLedraField::SetFieldName(std::string_view name) {
  if (dataSet_ != nullptr) dataSet_->CheckInactive();
  fieldName_ = std::string(name);
}

void TLedraField::SetSize(int size) {
  if (dataSet_ != nullptr) dataSet_->CheckInactive();
  size_ = size;
}

int TLedraField::DisplayWidth() const {
  if (displayWidth_ > 0) return displayWidth_;
  switch (dataType_) {
    case ftString:
    case ftFixedChar:
      return size_ > 0 ? size_ : 1;
    case ftBoolean:
      return 5;
    case ftDateTime:
      return 19;
    case ftBytes:
    case ftVarBytes:
      return size_ * 2 > 0 ? size_ * 2 : 1;
    case ftLargeint:
      return 15;
    default:
      return 10;
  }
}

int TLedraField::Index() const {
  if (dataSet_ == nullptr) return -1;
  for (int i = 0; i < dataSet_->FieldCount(); ++i) {
    if (&dataSet_->Fields(i) == this) return i;
  }
  return -1;
}

void TLedraField::Bind(TLedraDataSet& dataSet, const TFieldDesc& desc) {
  dataSet_ = &dataSet;
  desc_ = desc;
  fieldNo_ = desc.FieldNo;
}

void TLedraField::Unbind() {
  fieldNo_ = 0;
}

void TLedraField::CheckBound() const {
  if (dataSet_ == nullptr || fieldNo_ == 0) {
    DatabaseErrorFmt("Cannot perform this operation on a closed dataset", {});
  }
}

bool TLedraField::GetData(uint8_t* value) const {
  CheckBound();
  return dataSet_->GetFieldData(*this, value);
}

void TLedraField::SetData(const uint8_t* value) {
  CheckBound();
  dataSet_->SetFieldData(*this, value);
}

void TLedraField::ConversionError(std::string_view to) const {
  DatabaseErrorFmt("Cannot access field '%s' as type %s", {DisplayLabel(), std::string(to)});
}

bool TLedraField::IsNull() const {
  uint8_t value[kFieldValueBufferSize] = {};
  return !GetData(value);
}

void TLedraField::Clear() {
  SetData(nullptr);
}

std::string TLedraField::ValueText(const uint8_t* value) const {
  return FieldValueText(desc_, value);
}

void TLedraField::TextValue(std::string_view text, uint8_t* value) const {
  TextToFieldValue(desc_, text, value);
}

std::string TLedraField::AsString() const {
  uint8_t value[kFieldValueBufferSize] = {};
  if (!GetData(value)) return {};
  return ValueText(value);
}

void TLedraField::SetAsString(std::string_view text) {
  CheckBound();
  if (text.empty()) {
    SetData(nullptr);
    return;
  }
  uint8_t value[kFieldValueBufferSize] = {};
  TextValue(text, value);
  SetData(value);
}

int32_t TLedraField::AsInteger() const {
  ConversionError("Integer");
}
void TLedraField::SetAsInteger(int32_t) {
  ConversionError("Integer");
}
int64_t TLedraField::AsLargeInt() const {
  return AsInteger();
}
void TLedraField::SetAsLargeInt(int64_t value) {
  if (value < std::numeric_limits<int32_t>::min() || value > std::numeric_limits<int32_t>::max()) {
    ConversionError("LargeInt");
  }
  SetAsInteger(int32_t(value));
}
double TLedraField::AsFloat() const {
  ConversionError("Float");
}
void TLedraField::SetAsFloat(double) {
  ConversionError("Float");
}
bool TLedraField::AsBoolean() const {
  ConversionError("Boolean");
}
void TLedraField::SetAsBoolean(bool) {
  ConversionError("Boolean");
}

std::string TLedraField::DisplayText(const uint8_t* recordImage) const {
  CheckBound();
  bool isNull = true;
  uint8_t value[kFieldValueBufferSize] = {};
  dataSet_->Cursor().GetFieldValue(fieldNo_, recordImage, isNull, value);
  if (isNull) return {};
  return ValueText(value);
}

std::string TLedraField::TypeName(TFieldType type) {
  switch (type) {
    case ftString:
      return "String";
    case ftFixedChar:
      return "FixedChar";
    case ftDate:
      return "Date";
    case ftBlob:
      return "Blob";
    case ftMemo:
      return "Memo";
    case ftFmtMemo:
      return "FmtMemo";
    case ftGraphic:
      return "Graphic";
    case ftTypedBinary:
      return "TypedBinary";
    case ftBoolean:
      return "Boolean";
    case ftSmallint:
      return "SmallInt";
    case ftInteger:
      return "Integer";
    case ftAutoInc:
      return "AutoInc";
    case ftFloat:
      return "Float";
    case ftCurrency:
      return "Currency";
    case ftBCD:
      return "BCD";
    case ftBytes:
      return "Bytes";
    case ftTime:
      return "Time";
    case ftDateTime:
      return "DateTime";
    case ftWord:
      return "Word";
    case ftVarBytes:
      return "VarBytes";
    case ftLargeint:
      return "LargeInt";
    case ftADT:
      return "ADT";
    case ftArray:
      return "Array";
    case ftReference:
      return "Reference";
    case ftDataSet:
      return "DataSet";
    default:
      return "Unknown";
  }
}

// ---- Strings -----------------------------------------------------------------------------

TLedraStringField::TLedraStringField(TLedraComponent* owner, int size)
    : TLedraField(owner, ftString) {
  SetSize(size);
}

std::string TLedraStringField::AsString() const {
  uint8_t value[kFieldValueBufferSize] = {};
  if (!GetData(value)) return {};
  // The bytes as stored up to the first zero: no trimming, no conversion.
  const size_t limit = std::min<size_t>(Desc().DataSize, kFieldValueBufferSize);
  return std::string(reinterpret_cast<const char*>(value),
                     strnlen(reinterpret_cast<const char*>(value), limit));
}

void TLedraStringField::SetAsString(std::string_view text) {
  CheckBound();
  // Cut to the field object's size and ended by a zero byte, in a buffer
  // wide enough for the table's own field.
  std::vector<uint8_t> value(std::max<size_t>(size_t(Size()) + 1, kFieldValueBufferSize), 0);
  const size_t length = std::min(text.size(), size_t(std::max(Size(), 0)));
  std::memcpy(value.data(), text.data(), length);
  SetData(value.data());
}

std::string TLedraStringField::DisplayText(const uint8_t* recordImage) const {
  CheckBound();
  bool isNull = true;
  uint8_t value[kFieldValueBufferSize] = {};
  DataSet()->Cursor().GetFieldValue(FieldNo(), recordImage, isNull, value);
  if (isNull) return {};
  const size_t limit = std::min<size_t>(Desc().DataSize, kFieldValueBufferSize);
  return std::string(reinterpret_cast<const char*>(value),
                     strnlen(reinterpret_cast<const char*>(value), limit));
}

int32_t TLedraStringField::AsInteger() const {
  const std::string text = AsString();
  int32_t value = 0;
  auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty()) return 0;
  if (error != std::errc() || end != text.data() + text.size()) {
    DatabaseErrorFmt("'%s' is not a valid integer value", {text});
  }
  return value;
}

double TLedraStringField::AsFloat() const {
  const std::string text = AsString();
  if (text.empty()) return 0;
  double value = 0;
  auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size()) {
    DatabaseErrorFmt("'%s' is not a valid floating point value", {text});
  }
  return value;
}

bool TLedraStringField::AsBoolean() const {
  const std::string text = AsString();
  if (text.empty()) return false;
  const char first = char(std::toupper(static_cast<unsigned char>(text[0])));
  if (first == 'T' || first == 'Y') return true;
  if (first == 'F' || first == 'N') return false;
  DatabaseErrorFmt("'%s' is not a valid boolean value", {text});
}

// ---- Integers ----------------------------------------------------------------------------

int64_t TLedraNumericField::AsLargeInt() const {
  uint8_t value[kFieldValueBufferSize] = {};
  if (!GetData(value)) return 0;
  switch (Desc().FieldType) {
    case fldSmallInt:
      return int16_t(GetLE(value, 2));
    case fldWord:
      return uint16_t(GetLE(value, 2));
    case fldInteger:
    case fldInt32:
      return int32_t(GetLE(value, 4));
    default:
      return GetLE(value, 8);
  }
}

int32_t TLedraNumericField::AsInteger() const {
  const int64_t value = AsLargeInt();
  if (value < std::numeric_limits<int32_t>::min() || value > std::numeric_limits<int32_t>::max()) {
    ConversionError("Integer");
  }
  return int32_t(value);
}

void TLedraNumericField::SetAsLargeInt(int64_t value) {
  // Through the text, so that a value out of the field's range is refused
  // exactly as a typed one is, never wrapped.
  SetAsString(std::to_string(value));
}

void TLedraNumericField::SetAsFloat(double value) {
  if (!std::isfinite(value)) ConversionError("Float");
  SetAsLargeInt(int64_t(std::llround(value)));
}

// ---- Floats, BCD -------------------------------------------------------------------------

double TLedraFloatField::AsFloat() const {
  uint8_t value[kFieldValueBufferSize] = {};
  if (!GetData(value)) return 0;
  return GetDouble(value);
}

int32_t TLedraFloatField::AsInteger() const {
  const double value = std::round(AsFloat());
  if (!(value >= std::numeric_limits<int32_t>::min() &&
        value <= std::numeric_limits<int32_t>::max())) {
    ConversionError("Integer");
  }
  return int32_t(value);
}

void TLedraFloatField::SetAsFloat(double value) {
  if (!std::isfinite(value))
    DatabaseErrorFmt("'%s' is not a valid floating point value", {ShortestText(value)});
  uint8_t bytes[kFieldValueBufferSize] = {};
  PutDouble(bytes, value);
  SetData(bytes);
}

double TLedraBCDField::AsFloat() const {
  const std::string text = AsString();
  if (text.empty()) return 0;
  double value = 0;
  std::from_chars(text.data(), text.data() + text.size(), value);
  return value;
}

int32_t TLedraBCDField::AsInteger() const {
  return int32_t(std::lround(AsFloat()));
}

void TLedraBCDField::SetAsFloat(double value) {
  if (!std::isfinite(value)) ConversionError("BCD");
  SetAsString(ShortestText(value));
}

// ---- Booleans, dates ---------------------------------------------------------------------

bool TLedraBooleanField::AsBoolean() const {
  uint8_t value[kFieldValueBufferSize] = {};
  if (!GetData(value)) return false;
  return GetLE(value, 2) != 0;
}

void TLedraBooleanField::SetAsBoolean(bool value) {
  uint8_t bytes[kFieldValueBufferSize] = {};
  bytes[0] = value ? 1 : 0;
  SetData(bytes);
}

double TLedraDateTimeField::AsFloat() const {
  uint8_t value[kFieldValueBufferSize] = {};
  if (!GetData(value)) return 0;
  switch (Desc().FieldType) {
    case fldDate:
      return double(int32_t(GetLE(value, 4)) - kDateDelta);
    case fldTime:
      return double(int32_t(GetLE(value, 4))) / kMSecsPerDay;
    default:
      return GetDouble(value) / kMSecsPerDay - kDateDelta;
  }
}

void TLedraDateTimeField::SetAsFloat(double dateTime) {
  if (!std::isfinite(dateTime)) ConversionError("DateTime");
  // Split into whole days and milliseconds of the day (negative date-time
  // values count their fraction forward from the day, as the layer's values do).
  double days = std::trunc(dateTime);
  double ms = std::round(std::fabs(dateTime - days) * kMSecsPerDay);
  if (ms >= kMSecsPerDay) {
    ms -= kMSecsPerDay;
    days += dateTime < 0 ? -1 : 1;
  }
  const double dayNumber = days + kDateDelta;
  uint8_t bytes[kFieldValueBufferSize] = {};
  switch (Desc().FieldType) {
    case fldTime:
      PutLE(bytes, 4, uint32_t(int32_t(ms)));
      break;
    case fldDate:
    case fldTimeStamp:
      if (dayNumber < 1 || dayNumber > kMaxDayNumber) {
        DatabaseErrorFmt("'%s' is not a valid date and time", {ShortestText(dateTime)});
      }
      if (Desc().FieldType == fldDate) {
        PutLE(bytes, 4, uint32_t(int32_t(dayNumber)));
      } else {
        PutDouble(bytes, dayNumber * kMSecsPerDay + ms);
      }
      break;
    default:
      ConversionError("DateTime");
  }
  SetData(bytes);
}

// ---- Bytes, blobs ------------------------------------------------------------------------

TLedraBytesField::TLedraBytesField(TLedraComponent* owner, TFieldType type, int size)
    : TLedraField(owner, type) {
  SetSize(size);
}

std::vector<uint8_t> TLedraBlobField::Value() const {
  CheckBound();
  return DataSet()->BlobValue(*this);
}

void TLedraBlobField::SetValue(const std::vector<uint8_t>& bytes) {
  CheckBound();
  DataSet()->SetBlobValue(*this, bytes);
}

std::string TLedraBlobField::AsString() const {
  const std::vector<uint8_t> bytes = Value();
  return BlobValueText(Desc(), bytes);
}

void TLedraBlobField::SetAsString(std::string_view text) {
  CheckBound();
  SetValue(ParseBlobValue(Desc(), text));
}

std::string TLedraBlobField::DisplayText(const uint8_t* recordImage) const {
  CheckBound();
  bool isNull = true;
  uint8_t value[kFieldValueBufferSize] = {};
  DataSet()->Cursor().GetFieldValue(FieldNo(), recordImage, isNull, value);
  // The value itself is read through the cursor for the current record only;
  // a control shows the kind, in capitals when there is a value.
  std::string kind = IsTextBlob(Desc()) ? "Memo" : "Blob";
  if (!isNull) {
    for (char& c : kind) c = char(std::toupper(static_cast<unsigned char>(c)));
  }
  return "(" + kind + ")";
}

// ---- Making field objects ----------------------------------------------------------------

std::unique_ptr<TLedraField> MakeField(const TComponentFieldDef& def, TLedraComponent* owner) {
  std::unique_ptr<TLedraField> field;
  switch (def.DataType) {
    case ftString:
    case ftFixedChar: {
      auto string = std::make_unique<TLedraStringField>(owner, def.Size);
      field = std::move(string);
      break;
    }
    case ftSmallint:
      field = std::make_unique<TLedraSmallintField>(owner);
      break;
    case ftInteger:
      field = std::make_unique<TLedraIntegerField>(owner);
      break;
    case ftWord:
      field = std::make_unique<TLedraWordField>(owner);
      break;
    case ftAutoInc:
      field = std::make_unique<TLedraAutoIncField>(owner);
      break;
    case ftLargeint:
      field = std::make_unique<TLedraLargeintField>(owner);
      break;
    case ftFloat:
      field = std::make_unique<TLedraFloatField>(owner);
      break;
    case ftCurrency:
      field = std::make_unique<TLedraCurrencyField>(owner);
      break;
    case ftBCD:
      field = std::make_unique<TLedraBCDField>(owner);
      break;
    case ftBoolean:
      field = std::make_unique<TLedraBooleanField>(owner);
      break;
    case ftDate:
      field = std::make_unique<TLedraDateField>(owner);
      break;
    case ftTime:
      field = std::make_unique<TLedraTimeField>(owner);
      break;
    case ftDateTime:
      field = std::make_unique<TLedraDateTimeField>(owner);
      break;
    case ftBytes:
      field = std::make_unique<TLedraBytesField>(owner, ftBytes, def.Size);
      break;
    case ftVarBytes:
      field = std::make_unique<TLedraVarBytesField>(owner, def.Size);
      break;
    case ftMemo:
    case ftFmtMemo:
      field = std::make_unique<TLedraMemoField>(owner, def.DataType);
      break;
    case ftBlob:
    case ftGraphic:
    case ftTypedBinary:
      field = std::make_unique<TLedraBlobField>(owner, def.DataType);
      break;
    default:
      return nullptr;
  }
  field->dataType_ = def.DataType;
  field->fieldName_ = def.Name;
  field->size_ = def.Size;
  field->required_ = def.Required;
  return field;
}

}  // namespace ledra
