#include "tools/ledra/ValueText.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
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

std::string Quoted(std::string_view text) {
  size_t cut = std::min(text.size(), kQuotedTextLimit);
  // Never in the middle of a UTF-8 sequence.
  while (cut < text.size() && cut > 0 && (uint8_t(text[cut]) & 0xC0) == 0x80) --cut;
  std::string quoted(text.substr(0, cut));
  if (cut < text.size()) quoted += "...";
  return "'" + quoted + "'";
}

[[noreturn]] void Refuse(std::string_view text, const std::string& why) {
  throw EToolError(Quoted(text) + " " + why, kExitFindings);
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

std::string_view Trimmed(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  return text;
}

bool IsDigit(char c) {
  return c >= '0' && c <= '9';
}

// An optional sign and decimal digits.
bool IsIntegerText(std::string_view text) {
  text = Trimmed(text);
  if (!text.empty() && (text.front() == '+' || text.front() == '-')) text.remove_prefix(1);
  if (text.empty()) return false;
  for (char c : text) {
    if (!IsDigit(c)) return false;
  }
  return true;
}

// The decimal places a decimal number needs to be written without loss
// ("1.50" needs 1, "2.5e-3" needs 4), or nothing when the text is not a
// decimal number: an optional sign, digits with an optional point, an
// optional exponent.
std::optional<int64_t> DecimalPlaces(std::string_view text) {
  text = Trimmed(text);
  size_t i = 0;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) ++i;
  std::string digits;
  int64_t fractionDigits = 0;
  bool point = false;
  for (; i < text.size(); ++i) {
    if (IsDigit(text[i])) {
      digits += text[i];
      if (point) ++fractionDigits;
    } else if (text[i] == '.' && !point) {
      point = true;
    } else {
      break;
    }
  }
  if (digits.empty()) return std::nullopt;
  int64_t exponent = 0;
  if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
    ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
    if (i == text.size()) return std::nullopt;
    for (; i < text.size(); ++i) {
      if (!IsDigit(text[i])) return std::nullopt;
      // Beyond this the number is out of every range anyway.
      if (exponent < 100000) exponent = exponent * 10 + (text[i] - '0');
    }
    if (negative) exponent = -exponent;
  }
  if (i != text.size()) return std::nullopt;
  const size_t last = digits.find_last_not_of('0');
  if (last == std::string::npos) return 0;
  const int64_t trailingZeros = int64_t(digits.size() - 1 - last);
  return std::max<int64_t>(0, fractionDigits - exponent - trailingZeros);
}

// What a field of an integer type takes, for messages.
std::optional<std::string> IntegerRange(const TFieldDesc& desc) {
  switch (desc.FieldType) {
    case fldSmallInt:
      return "-32768 to 32767";
    case fldInteger:
    case fldInt32:
      return "-2147483648 to 2147483647";
    case fldWord:
      return "0 to 65535";
    case fldLargeInt:
      return "-9223372036854775808 to 9223372036854775807";
    default:
      return std::nullopt;
  }
}

// The places a BCD value keeps: the field's scale, at most the four of the
// currency value every conversion passes through.
int BCDPlaces(const TFieldDesc& desc) {
  return std::min<int>(desc.Scale, 4);
}

// A reason to refuse the text before the engine converts it, or nothing.
std::optional<std::string> CheckBeforeConversion(const TFieldDesc& desc, std::string_view text) {
  if (desc.FieldType == fldBCD) {
    std::optional<int64_t> places = DecimalPlaces(text);
    if (places && *places > BCDPlaces(desc)) {
      return "has more decimal places than the field keeps (" + std::to_string(BCDPlaces(desc)) +
             "); round it first";
    }
  }
  return std::nullopt;
}

}  // namespace

std::string FieldKindText(const TFieldDesc& desc) {
  const std::string type = FieldTypeName(desc);
  const bool vowel = !type.empty() && std::string_view("aeiou").find(type[0]) != std::string::npos;
  return (vowel ? "an " : "a ") + type + " field";
}

namespace {

// The engine's reason, with what the field would take where the engine
// only says that the text is not a value.
std::string ExplainRefusal(const TFieldDesc& desc, std::string_view text, std::string why) {
  const std::string kind = FieldKindText(desc);
  if (std::optional<std::string> range = IntegerRange(desc); range && IsIntegerText(text)) {
    return Quoted(text) + " is out of range for " + kind + " (" + *range + ")";
  }
  switch (desc.FieldType) {
    case fldFloat:
      if (DecimalPlaces(text)) {
        return Quoted(text) + " is out of range for " + kind;
      }
      break;
    case fldBCD:
      if (DecimalPlaces(text)) {
        return Quoted(text) +
               " is out of range for a bcd field (at most 922337203685477.5807 either side of 0)";
      }
      break;
    case fldDate:
      return why + " (a date is YYYY-MM-DD, from 0001-01-01 to 9999-12-31)";
    case fldTime:
      return why + " (a time is HH:MM[:SS[.mmm]], from 00:00 to 23:59:59.999)";
    case fldTimeStamp:
      return why + " (a timestamp is YYYY-MM-DD HH:MM[:SS[.mmm]], from 0001-01-01 to 9999-12-31)";
    default:
      break;
  }
  return why;
}

std::string Hex2(uint8_t byte) {
  constexpr char kDigits[] = "0123456789ABCDEF";
  return {kDigits[byte >> 4], kDigits[byte & 15]};
}

}  // namespace

std::string TableText(std::string_view text) {
  if (std::optional<std::string> converted = Utf8ToCp1252(text)) return *converted;
  // Say what is wrong, at its first place: a byte that is not UTF-8, or a
  // character the code page has no place for.
  size_t i = 0;
  while (i < text.size()) {
    uint32_t c = 0;
    const size_t length = Utf8SequenceAt(text, i, c);
    if (length == 0) {
      throw EToolError("the value holds byte 0x" + Hex2(uint8_t(text[i])) + " (its byte " +
                           std::to_string(i + 1) +
                           "), which is not UTF-8 (is the input in another encoding?)",
                       kExitFindings);
    }
    const std::string_view character = text.substr(i, length);
    if (!Utf8ToCp1252(character)) {
      char code[16];
      std::snprintf(code, sizeof code, "U+%04X", unsigned(c));
      throw EToolError(Quoted(text) + " holds " + code + " ('" + std::string(character) +
                           "'), which code page 1252 has no character for",
                       kExitFindings);
    }
    i += length;
  }
  // Every character converts on its own; the whole must too.
  throw EToolError("holds text code page 1252 cannot store", kExitFindings);
}

size_t Utf8SequenceAt(std::string_view text, size_t i, uint32_t& codePoint) {
  const uint8_t lead = uint8_t(text[i]);
  size_t extra = 0;
  uint32_t c = lead;
  // The second byte of some leads has a narrower range: no overlong forms,
  // no surrogates, nothing above U+10FFFF.
  uint8_t low = 0x80, high = 0xBF;
  if (lead < 0x80) {
    codePoint = lead;
    return 1;
  } else if (lead >= 0xC2 && lead <= 0xDF) {
    extra = 1;
    c = lead & 0x1F;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    extra = 2;
    c = lead & 0x0F;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    extra = 3;
    c = lead & 0x07;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    return 0;
  }
  if (i + extra >= text.size()) return 0;
  for (size_t k = 1; k <= extra; ++k) {
    const uint8_t next = uint8_t(text[i + k]);
    if (next < (k == 1 ? low : 0x80) || next > (k == 1 ? high : 0xBF)) return 0;
    c = (c << 6) | (next & 0x3F);
  }
  codePoint = c;
  return extra + 1;
}

std::string PrintableUtf8(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size();) {
    uint32_t c = 0;
    const size_t length = Utf8SequenceAt(text, i, c);
    if (length == 0) {
      out += "\\x" + Hex2(uint8_t(text[i]));
      ++i;
    } else {
      out.append(text.substr(i, length));
      i += length;
    }
  }
  return out;
}

std::string JsonNumberText(const TFieldDesc& desc, double value, std::string_view written) {
  if (desc.FieldType == fldBCD) return std::string(written);
  return Number(value);
}

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
  const std::string stored = characters ? TableText(text) : std::string(text);
  if (std::optional<std::string> why = CheckBeforeConversion(desc, text)) Refuse(text, *why);
  try {
    TextToFieldValue(desc, stored, value);
  } catch (const ELedraEngineError&) {
    throw;
  } catch (const EDatabaseError& error) {
    throw EToolError(
        characters ? Cp1252ToUtf8(error.what()) : ExplainRefusal(desc, text, error.what()),
        kExitFindings);
  }
}

std::vector<uint8_t> ParseBlobText(const TFieldDesc& desc, std::string_view text) {
  if (IsTextBlob(desc)) {
    const std::string stored = TableText(text);
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
