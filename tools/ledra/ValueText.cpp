#include "tools/ledra/ValueText.h"

#include <charconv>
#include <cmath>
#include <optional>

#include "engine/errors/EngineError.h"
#include "platform/Cp1252.h"
#include "tools/ledra/ToolError.h"

namespace ledra::tool {

using platform::Cp1252ToUtf8;
using platform::Utf8ToCp1252;

namespace {

// Quoted texts longer than this (blob values) are cut short in messages.
constexpr size_t kQuotedTextLimit = 60;

[[noreturn]] void Refuse(std::string_view text, const std::string& why) {
  std::string quoted(text.substr(0, kQuotedTextLimit));
  if (text.size() > kQuotedTextLimit) quoted += "...";
  throw EToolError("'" + quoted + "' " + why, kExitFindings);
}

// The table's form of a text that is to be stored as characters.
std::string Cp1252Text(std::string_view text) {
  std::optional<std::string> converted = Utf8ToCp1252(text);
  if (!converted) Refuse(text, "holds characters the table's code page cannot store");
  return *converted;
}

std::string Number(double value) {
  char buffer[64];
  auto [end, error] = std::to_chars(buffer, buffer + sizeof buffer, value);
  if (error != std::errc()) return "?";
  return std::string(buffer, end);
}

template <class T>
std::optional<T> Parsed(const std::string& text) {
  T number{};
  auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), number);
  if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return number;
}

}  // namespace

std::string FormatFieldValue(const TFieldDesc& desc, const uint8_t* value) {
  return Cp1252ToUtf8(FieldValueText(desc, value));
}

std::string FormatBlobValue(const TFieldDesc& desc, std::span<const uint8_t> bytes) {
  return Cp1252ToUtf8(BlobValueText(desc, bytes));
}

nlohmann::ordered_json JsonFieldValue(const TFieldDesc& desc, const uint8_t* value, bool isNull) {
  if (isNull) return nullptr;
  const std::string text = FieldValueText(desc, value);
  switch (desc.FieldType) {
    case fldBoolean:
      return text == "TRUE";
    case fldSmallInt:
    case fldInteger:
    case fldInt32:
    case fldWord:
    case fldLargeInt:
      if (std::optional<int64_t> number = Parsed<int64_t>(text)) return *number;
      return text;
    case fldFloat:
      if (std::optional<double> number = Parsed<double>(text); number && std::isfinite(*number)) {
        return *number;
      }
      return text;
    default:
      return Cp1252ToUtf8(text);
  }
}

std::string JsonValueText(const nlohmann::ordered_json& value) {
  if (value.is_null()) return {};
  if (value.is_string()) return value.get<std::string>();
  if (value.is_boolean()) return value.get<bool>() ? "TRUE" : "FALSE";
  if (value.is_number_float()) return Number(value.get<double>());
  if (value.is_number()) return value.dump();
  throw EToolError("a value must be a string, a number, a boolean or null", kExitFindings);
}

void ParseFieldValue(const TFieldDesc& desc, std::string_view text, uint8_t* value) {
  // Strings are converted to the table's code page first; the other texts
  // are plain ASCII when they are values at all, and the engine's refusals
  // quote them as given.
  const bool characters = desc.FieldType == fldString;
  const std::string stored = characters ? Cp1252Text(text) : std::string(text);
  try {
    TextToFieldValue(desc, stored, value);
  } catch (const ELedraEngineError&) {
    throw;
  } catch (const EDatabaseError& error) {
    throw EToolError(characters ? Cp1252ToUtf8(error.what()) : std::string(error.what()),
                     kExitFindings);
  }
}

std::vector<uint8_t> ParseBlobText(const TFieldDesc& desc, std::string_view text) {
  if (IsTextBlob(desc)) {
    const std::string stored = Cp1252Text(text);
    return std::vector<uint8_t>(stored.begin(), stored.end());
  }
  try {
    return ParseBlobValue(desc, text);
  } catch (const ELedraEngineError&) {
    throw;
  } catch (const EDatabaseError& error) {
    throw EToolError(error.what(), kExitFindings);
  }
}

}  // namespace ledra::tool
