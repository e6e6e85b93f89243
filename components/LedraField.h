// Field objects: one per field of a dataset, reading and writing the field's
// value in the dataset's record buffer for the dataset's state (the current
// record while browsing or editing, the key buffer while a key is set).
//
// A small class tree by field type. Every type reads and writes its value as
// text (AsString) with the engine's field text conversions; strings are the
// bytes as stored (code page 1252, no conversion), cut to the field object's
// Size when written. Numeric, date and boolean fields also answer AsInteger,
// AsFloat, AsBoolean from their value bytes. Blob and memo fields read and
// write through the cursor's blob calls.
//
// Field objects are made by the dataset at open (and freed at close) unless
// the program gave it persistent ones, which it keeps and binds by name.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "components/FieldTypes.h"
#include "components/LedraComponent.h"
#include "engine/table/TableDefinition.h"

namespace ledra {

class TLedraDataSet;
class TLedraField;
struct TComponentFieldDef;
std::unique_ptr<TLedraField> MakeField(const TComponentFieldDef& def, TLedraComponent* owner);

class TLedraField : public TLedraComponent {
 public:
  using TFieldEvent = std::function<void(TLedraField& field)>;

  TLedraField(TLedraComponent* owner, TFieldType dataType);
  ~TLedraField() override;

  TFieldType DataType() const { return dataType_; }
  const std::string& FieldName() const { return fieldName_; }
  void SetFieldName(std::string_view name);
  // The title: the label when one is set, else the field name.
  std::string DisplayLabel() const { return displayLabel_.empty() ? fieldName_ : displayLabel_; }
  void SetDisplayLabel(std::string_view label) { displayLabel_ = std::string(label); }
  // Characters a control shows: as set, else from the type and size.
  int DisplayWidth() const;
  void SetDisplayWidth(int width) { displayWidth_ = width; }
  bool Visible() const { return visible_; }
  void SetVisible(bool visible) { visible_ = visible; }
  // The engine field number; 0 while not bound to an open dataset.
  int FieldNo() const { return fieldNo_; }
  // The dataset size (characters of a string, bytes of a byte field, decimal
  // places of a BCD field); 0 for the other types.
  int Size() const { return size_; }
  void SetSize(int size);
  bool ReadOnly() const { return readOnly_; }
  void SetReadOnly(bool readOnly) { readOnly_ = readOnly; }
  bool Required() const { return required_; }
  void SetRequired(bool required) { required_ = required; }
  // The dataset the field belongs to, or null.
  TLedraDataSet* DataSet() const { return dataSet_; }
  // Its position among the dataset's fields (0-based), -1 when none.
  int Index() const;
  // The engine's descriptor of the bound field.
  const TFieldDesc& Desc() const { return desc_; }

  TFieldEvent OnValidate;
  TFieldEvent OnChange;

  // ---- Values of the dataset's current buffer --------------------------------

  bool IsNull() const;
  void Clear();
  virtual std::string AsString() const;
  virtual void SetAsString(std::string_view text);
  virtual int32_t AsInteger() const;
  virtual void SetAsInteger(int32_t value);
  virtual int64_t AsLargeInt() const;
  virtual void SetAsLargeInt(int64_t value);
  virtual double AsFloat() const;
  virtual void SetAsFloat(double value);
  virtual bool AsBoolean() const;
  virtual void SetAsBoolean(bool value);

  // The value as text from any record image of the dataset's table (code
  // page 1252, as AsString reads it); blobs show their type in parentheses.
  virtual std::string DisplayText(const uint8_t* recordImage) const;

  // The type names of field definitions and objects ("String", "Integer").
  static std::string TypeName(TFieldType type);

 protected:
  // The value bytes of the current buffer: false when the field is null or
  // there is no record.
  bool GetData(uint8_t* value) const;
  // Writes value bytes (nullptr: null) into the current buffer, with the
  // dataset's checks, the validation and the notification.
  void SetData(const uint8_t* value);
  // The text of non-null value bytes.
  virtual std::string ValueText(const uint8_t* value) const;
  // Value bytes of a non-empty text.
  virtual void TextValue(std::string_view text, uint8_t* value) const;
  [[noreturn]] void ConversionError(std::string_view to) const;
  void CheckBound() const;

 private:
  friend class TLedraDataSet;
  friend std::unique_ptr<TLedraField> MakeField(const TComponentFieldDef& def,
                                                TLedraComponent* owner);
  void Bind(TLedraDataSet& dataSet, const TFieldDesc& desc);
  void Unbind();

  TFieldType dataType_;
  std::string fieldName_;
  std::string displayLabel_;
  int displayWidth_ = 0;
  bool visible_ = true;
  int size_ = 0;
  bool readOnly_ = false;
  bool required_ = false;
  int fieldNo_ = 0;
  TLedraDataSet* dataSet_ = nullptr;
  TFieldDesc desc_;
};

class TLedraStringField : public TLedraField {
 public:
  explicit TLedraStringField(TLedraComponent* owner = nullptr, int size = 20);
  std::string AsString() const override;
  void SetAsString(std::string_view text) override;
  int32_t AsInteger() const override;
  void SetAsInteger(int32_t value) override { SetAsString(std::to_string(value)); }
  double AsFloat() const override;
  bool AsBoolean() const override;
  void SetAsBoolean(bool value) override { SetAsString(value ? "True" : "False"); }
  std::string DisplayText(const uint8_t* recordImage) const override;
};

// Integer-like fields: small integer, integer, word, auto-increment, large
// integer.
class TLedraNumericField : public TLedraField {
 public:
  using TLedraField::TLedraField;
  int32_t AsInteger() const override;
  void SetAsInteger(int32_t value) override { SetAsLargeInt(value); }
  int64_t AsLargeInt() const override;
  void SetAsLargeInt(int64_t value) override;
  double AsFloat() const override { return double(AsLargeInt()); }
  void SetAsFloat(double value) override;
};

class TLedraSmallintField : public TLedraNumericField {
 public:
  explicit TLedraSmallintField(TLedraComponent* owner = nullptr)
      : TLedraNumericField(owner, ftSmallint) {}
};
class TLedraIntegerField : public TLedraNumericField {
 public:
  explicit TLedraIntegerField(TLedraComponent* owner = nullptr, TFieldType type = ftInteger)
      : TLedraNumericField(owner, type) {}
};
class TLedraWordField : public TLedraNumericField {
 public:
  explicit TLedraWordField(TLedraComponent* owner = nullptr) : TLedraNumericField(owner, ftWord) {}
};
class TLedraAutoIncField : public TLedraIntegerField {
 public:
  explicit TLedraAutoIncField(TLedraComponent* owner = nullptr)
      : TLedraIntegerField(owner, ftAutoInc) {}
};
class TLedraLargeintField : public TLedraNumericField {
 public:
  explicit TLedraLargeintField(TLedraComponent* owner = nullptr)
      : TLedraNumericField(owner, ftLargeint) {}
};

class TLedraFloatField : public TLedraField {
 public:
  explicit TLedraFloatField(TLedraComponent* owner = nullptr, TFieldType type = ftFloat)
      : TLedraField(owner, type) {}
  int32_t AsInteger() const override;
  int64_t AsLargeInt() const override { return AsInteger(); }
  void SetAsInteger(int32_t value) override { SetAsFloat(value); }
  double AsFloat() const override;
  void SetAsFloat(double value) override;
};
class TLedraCurrencyField : public TLedraFloatField {
 public:
  explicit TLedraCurrencyField(TLedraComponent* owner = nullptr)
      : TLedraFloatField(owner, ftCurrency) {}
};

class TLedraBCDField : public TLedraField {
 public:
  explicit TLedraBCDField(TLedraComponent* owner = nullptr) : TLedraField(owner, ftBCD) {}
  int32_t AsInteger() const override;
  double AsFloat() const override;
  void SetAsFloat(double value) override;
  void SetAsInteger(int32_t value) override { SetAsString(std::to_string(value)); }
};

class TLedraBooleanField : public TLedraField {
 public:
  explicit TLedraBooleanField(TLedraComponent* owner = nullptr) : TLedraField(owner, ftBoolean) {}
  bool AsBoolean() const override;
  void SetAsBoolean(bool value) override;
  int32_t AsInteger() const override { return AsBoolean() ? 1 : 0; }
  void SetAsInteger(int32_t value) override { SetAsBoolean(value != 0); }
};

// Dates (day number), times (milliseconds of the day) and timestamps
// (milliseconds since day 0). AsFloat answers the component layer's
// date-time value: days since 30 December 1899 with the time as fraction.
class TLedraDateTimeField : public TLedraField {
 public:
  explicit TLedraDateTimeField(TLedraComponent* owner = nullptr, TFieldType type = ftDateTime)
      : TLedraField(owner, type) {}
  double AsFloat() const override;
  void SetAsFloat(double value) override;
};
class TLedraDateField : public TLedraDateTimeField {
 public:
  explicit TLedraDateField(TLedraComponent* owner = nullptr) : TLedraDateTimeField(owner, ftDate) {}
};
class TLedraTimeField : public TLedraDateTimeField {
 public:
  explicit TLedraTimeField(TLedraComponent* owner = nullptr) : TLedraDateTimeField(owner, ftTime) {}
};

// Fixed bytes and variable bytes (their text is hexadecimal).
class TLedraBytesField : public TLedraField {
 public:
  explicit TLedraBytesField(TLedraComponent* owner = nullptr, TFieldType type = ftBytes,
                            int size = 16);
};
class TLedraVarBytesField : public TLedraBytesField {
 public:
  explicit TLedraVarBytesField(TLedraComponent* owner = nullptr, int size = 16)
      : TLedraBytesField(owner, ftVarBytes, size) {}
};

// Blobs: the value is read from and written to the cursor's blob buffers.
class TLedraBlobField : public TLedraField {
 public:
  explicit TLedraBlobField(TLedraComponent* owner = nullptr, TFieldType type = ftBlob)
      : TLedraField(owner, type) {}
  // The bytes of the current record's value.
  std::vector<uint8_t> Value() const;
  // Sets the value of the record being edited (written when it is posted).
  void SetValue(const std::vector<uint8_t>& bytes);
  std::string AsString() const override;
  void SetAsString(std::string_view text) override;
  std::string DisplayText(const uint8_t* recordImage) const override;
};
class TLedraMemoField : public TLedraBlobField {
 public:
  explicit TLedraMemoField(TLedraComponent* owner = nullptr, TFieldType type = ftMemo)
      : TLedraBlobField(owner, type) {}
};

// A field object of the class that goes with a field definition's type
// (null for the types without one), owned by the caller.
std::unique_ptr<TLedraField> MakeField(const TComponentFieldDef& def, TLedraComponent* owner);

}  // namespace ledra
