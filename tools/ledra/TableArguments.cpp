#include "tools/ledra/TableArguments.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cstring>
#include <exception>
#include <optional>

#include "engine/cursor/FieldValue.h"
#include "engine/table/TableDescription.h"
#include "platform/Cp1252.h"
#include "tools/ledra/ToolError.h"
#include "tools/ledra/ValueText.h"

namespace ledra::tool {

using platform::Cp1252ToUtf8;
using platform::Utf8ToCp1252;

namespace {

struct TTypeName {
  std::string_view Name;
  uint8_t Type;
  uint8_t SubType;
};

constexpr TTypeName kTypes[] = {
    {"string", fldString, 0},
    {"date", fldDate, 0},
    {"blob", fldBlob, 0},
    {"memo", fldBlob, kSubTypeMemo},
    {"fmtmemo", fldBlob, kSubTypeFmtMemo},
    {"graphic", fldBlob, kSubTypeGraphic},
    {"boolean", fldBoolean, 0},
    {"smallint", fldSmallInt, 0},
    {"integer", fldInteger, 0},
    {"autoinc", fldInteger, kSubTypeAutoInc},
    {"float", fldFloat, 0},
    {"money", fldFloat, kSubTypeMoney},
    {"bcd", fldBCD, 0},
    {"bytes", fldBytes, 0},
    {"time", fldTime, 0},
    {"timestamp", fldTimeStamp, 0},
    {"word", fldWord, 0},
    {"largeint", fldLargeInt, 0},
    {"varbytes", fldVarBytes, 0},
};

[[noreturn]] void Bad(std::string_view arg, const std::string& why) {
  throw EToolError("'" + std::string(arg) + "': " + why);
}

std::string Lower(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
  }
  return out;
}

std::optional<int> SmallNumber(std::string_view text) {
  int value = 0;
  if (text.empty() || text.size() > 5) return std::nullopt;
  auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

std::string TableText(std::string_view arg, std::string_view text, size_t capacity,
                      std::string_view what) {
  std::optional<std::string> stored = Utf8ToCp1252(text);
  if (!stored) Bad(arg, std::string(what) + " holds characters the code page cannot store");
  if (stored->size() > capacity) {
    Bad(arg, std::string(what) + " is longer than " + std::to_string(capacity) + " characters");
  }
  return *stored;
}

bool NameStartsValid(std::string_view name) {
  uint8_t c = name.empty() ? 0 : uint8_t(name.front());
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_' || (c >= 128 && c <= 254);
}

// Default, minimum and maximum texts must read as values of the field; a
// default must also fit it, or every new record would take it cut short.
void CheckValueText(std::string_view arg, const TFieldDesc& desc, const std::string& text,
                    std::string_view what, bool isDefault) {
  if (text.empty()) return;
  switch (desc.FieldType) {
    case fldString:
      if (!isDefault) return;
      break;
    case fldDate:
    case fldBoolean:
    case fldSmallInt:
    case fldInteger:
    case fldFloat:
    case fldBCD:
    case fldTime:
    case fldTimeStamp:
    case fldWord:
    case fldLargeInt:
      break;
    default:
      return;
  }
  if (desc.IsAutoInc()) return;
  uint8_t value[kFieldValueBufferSize];
  try {
    ParseFieldValue(desc, Cp1252ToUtf8(text), value);
  } catch (const std::exception& error) {
    Bad(arg, std::string(what) + ": " + error.what());
  }
}

int FieldNumberOf(std::string_view name, const std::vector<TFieldDesc>& fields) {
  std::optional<std::string> stored = Utf8ToCp1252(name);
  if (!stored) return 0;
  const int position = FindFieldByName(fields, *stored);
  return position == 0 ? 0 : fields[size_t(position) - 1].FieldNo;
}

}  // namespace

std::vector<std::string> SplitArgument(std::string_view arg) {
  std::vector<std::string> parts(1);
  for (size_t i = 0; i < arg.size(); ++i) {
    char c = arg[i];
    if (c == '\\' && i + 1 < arg.size() && (arg[i + 1] == ':' || arg[i + 1] == '\\')) {
      parts.back() += arg[++i];
    } else if (c == ':') {
      parts.emplace_back();
    } else {
      parts.back() += c;
    }
  }
  return parts;
}

TFieldDesc ParseFieldArgument(std::string_view arg, uint16_t fieldNo) {
  std::vector<std::string> parts = SplitArgument(arg);
  if (parts.size() < 2) Bad(arg, "a field is NAME:TYPE[:SIZE[:SCALE]][:OPTION]...");
  TFieldDesc desc;
  desc.FieldNo = fieldNo;
  desc.FieldName = TableText(arg, parts[0], kFieldNameLength, "the field name");
  if (desc.FieldName.empty() || !NameStartsValid(desc.FieldName)) {
    Bad(arg, "a field name begins with a letter or '_'");
  }
  const std::string typeName = Lower(parts[1]);
  const TTypeName* type = nullptr;
  for (const TTypeName& known : kTypes) {
    if (known.Name == typeName) type = &known;
  }
  if (type == nullptr) Bad(arg, "unknown field type '" + parts[1] + "'");
  desc.FieldType = type->Type;
  desc.SubType = type->SubType;

  // Numbers right after the type: size, then scale.
  std::vector<int> numbers;
  size_t next = 2;
  while (next < parts.size() && numbers.size() < 2) {
    std::optional<int> number = SmallNumber(parts[next]);
    if (!number) break;
    numbers.push_back(*number);
    ++next;
  }
  switch (desc.FieldType) {
    case fldString:
    case fldBytes:
    case fldVarBytes: {
      const int least = desc.FieldType == fldVarBytes ? 3 : 1;
      if (numbers.size() != 1) Bad(arg, typeName + " takes exactly one size");
      if (numbers[0] < least || numbers[0] > int(kMaxDeclaredSize)) {
        Bad(arg, "the size of " + typeName + " is " + std::to_string(least) + " to " +
                     std::to_string(kMaxDeclaredSize));
      }
      desc.Size = uint8_t(numbers[0]);
      break;
    }
    case fldBCD: {
      int scale = numbers.empty() ? 0 : numbers.back();
      if (numbers.size() == 2 && (numbers[0] < 1 || numbers[0] > 32)) {
        Bad(arg, "a bcd precision is 1 to 32");
      }
      if (scale < 0 || scale > 32 || (numbers.size() == 2 && scale > numbers[0])) {
        Bad(arg, "a bcd scale is 0 to 32 and at most the precision");
      }
      desc.Scale = uint8_t(scale);
      break;
    }
    default:
      if (!numbers.empty()) Bad(arg, typeName + " takes no size");
  }

  for (; next < parts.size(); ++next) {
    const std::string& option = parts[next];
    const size_t equals = option.find('=');
    const std::string key = Lower(option.substr(0, equals));
    const std::string value = equals == std::string::npos ? "" : option.substr(equals + 1);
    const bool hasValue = equals != std::string::npos;
    if (key == "required" && !hasValue) {
      desc.Required = 1;
    } else if ((key == "upper" || key == "lower") && !hasValue) {
      if (desc.FieldType != fldString) Bad(arg, "only string fields have a character case");
      desc.CharCase = key == "upper" ? 2 : 1;
    } else if (key == "default" && hasValue) {
      desc.DefaultValue = TableText(arg, value, kFieldTextLength, "the default");
    } else if (key == "min" && hasValue) {
      desc.MinValue = TableText(arg, value, kFieldTextLength, "the minimum");
    } else if (key == "max" && hasValue) {
      desc.MaxValue = TableText(arg, value, kFieldTextLength, "the maximum");
    } else if (key == "desc" && hasValue) {
      desc.Description = TableText(arg, value, kFieldTextLength, "the description");
    } else {
      Bad(arg, "unknown field option '" + option + "'");
    }
  }
  if (desc.IsAutoInc() || desc.IsBlob()) {
    if (!desc.DefaultValue.empty() || !desc.MinValue.empty() || !desc.MaxValue.empty()) {
      Bad(arg, typeName + " fields take no default, minimum or maximum");
    }
  }
  CheckValueText(arg, desc, desc.DefaultValue, "the default", true);
  CheckValueText(arg, desc, desc.MinValue, "the minimum", false);
  CheckValueText(arg, desc, desc.MaxValue, "the maximum", false);
  return desc;
}

std::vector<uint16_t> ParseFieldList(std::string_view list, const std::vector<TFieldDesc>& fields,
                                     std::string_view what) {
  std::vector<uint16_t> numbers;
  size_t start = 0;
  while (start <= list.size()) {
    size_t comma = list.find(',', start);
    if (comma == std::string_view::npos) comma = list.size();
    std::string_view name = list.substr(start, comma - start);
    int number = FieldNumberOf(name, fields);
    if (number == 0) Bad(what, "no field named '" + std::string(name) + "'");
    for (uint16_t taken : numbers) {
      if (taken == number) Bad(what, "field '" + std::string(name) + "' is named twice");
    }
    if (fields[size_t(number) - 1].IsBlob()) {
      Bad(what, "blob field '" + std::string(name) + "' cannot be a key field");
    }
    numbers.push_back(uint16_t(number));
    start = comma + 1;
  }
  if (numbers.size() > size_t(kMaxIndexFields)) {
    Bad(what, "an index has at most " + std::to_string(kMaxIndexFields) + " fields");
  }
  return numbers;
}

TIndexDefinition ParseIndexArgument(std::string_view arg, const std::vector<TFieldDesc>& fields,
                                    bool primary) {
  std::vector<std::string> parts = SplitArgument(arg);
  TIndexDefinition index;
  size_t next = 0;
  if (!primary) {
    if (parts.size() < 2) Bad(arg, "an index is " + std::string(kIndexArgumentHelp));
    index.Name = TableText(arg, parts[0], kMaxIndexNameLength, "the index name");
    if (index.Name.empty() || !NameStartsValid(index.Name)) {
      Bad(arg, "an index name begins with a letter or '_'");
    }
    next = 1;
  }
  index.Fields = ParseFieldList(parts[next++], fields, arg);
  for (; next < parts.size(); ++next) {
    const std::string option = Lower(parts[next]);
    if (option == "unique" && !primary) {
      index.Unique = true;
    } else if (option == "desc") {
      index.Descending = true;
    } else if (option == "nocase") {
      index.CaseInsensitive = true;
    } else if (option == "nocounts") {
      index.NoEntryCounts = true;
    } else if (option.rfind("compress=", 0) == 0) {
      const std::string mode = option.substr(9);
      if (mode == "none") {
        index.Compression = 0;
      } else if (mode == "dup") {
        index.Compression = 1;
      } else if (mode == "trail") {
        index.Compression = 2;
      } else if (mode == "full") {
        index.Compression = 3;
      } else {
        Bad(arg, "compression is none, dup, trail or full");
      }
    } else {
      Bad(arg, "unknown index option '" + parts[next] + "'");
    }
  }
  if (primary) index.Unique = true;
  return index;
}

TTableDefinition TTableArguments::BuildDefinition() const {
  TTableDefinition definition;
  if (Fields.empty()) throw EToolError("a table needs at least one --field");
  if (Fields.size() > kMaxTableFields) {
    throw EToolError("a table has at most " + std::to_string(kMaxTableFields) + " fields");
  }
  for (const std::string& arg : Fields) {
    TFieldDesc desc = ParseFieldArgument(arg, uint16_t(definition.Fields.size() + 1));
    if (FieldNumberOf(Cp1252ToUtf8(desc.FieldName), definition.Fields) != 0) {
      Bad(arg, "a field of that name exists already");
    }
    definition.Fields.push_back(std::move(desc));
  }
  if (!Primary.empty())
    definition.PrimaryIndex = ParseIndexArgument(Primary, definition.Fields, true);
  for (const std::string& arg : Indexes) {
    TIndexDefinition index = ParseIndexArgument(arg, definition.Fields, false);
    for (const TIndexDefinition& other : definition.SecondaryIndexes) {
      if (SameFieldName(other.Name, index.Name)) {
        Bad(arg, "an index of that name exists already");
      }
    }
    definition.SecondaryIndexes.push_back(std::move(index));
  }
  if (definition.SecondaryIndexes.size() > size_t(kMaxSecondaryIndexes)) {
    throw EToolError("a table has at most " + std::to_string(kMaxSecondaryIndexes) +
                     " secondary indexes");
  }
  if (!TextIndex.empty()) {
    definition.TextIndexFields = ParseFieldList(TextIndex, definition.Fields, TextIndex);
    for (uint16_t number : definition.TextIndexFields) {
      const TFieldDesc& field = definition.Fields[number - 1];
      if (field.FieldType != fldString) {
        Bad(TextIndex, "the text index takes string fields only ('" +
                           Cp1252ToUtf8(field.FieldName) + "' is not one)");
      }
    }
  }
  if (BlobBlockSize != 0 && (BlobBlockSize < 19 || BlobBlockSize > 65535)) {
    throw EToolError("--blob-block-size is 19 to 65535");
  }
  definition.BlobBlockSize = BlobBlockSize;
  definition.Description =
      TableText("--description", Description, kMaxTableDescriptionLength, "the description");
  if (!Password.empty()) {
    definition.Encrypted = true;
    definition.Password =
        TableText("--password", Password, kMaxTablePasswordLength, "the password");
  }
  return definition;
}

TTextParams TTableArguments::TextParams() const {
  std::vector<std::string> stopWords;
  size_t start = 0;
  while (start < StopWords.size()) {
    size_t comma = StopWords.find(',', start);
    if (comma == std::string::npos) comma = StopWords.size();
    std::string word = TableText("--stop-words", StopWords.substr(start, comma - start),
                                 kMaxStopWordLength, "a stop word");
    if (!word.empty()) stopWords.push_back(std::move(word));
    start = comma + 1;
  }
  return DefaultTextParams(std::move(stopWords));
}

}  // namespace ledra::tool
