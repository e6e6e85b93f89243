// Field values as the tool's texts: the engine's value texts (FieldValue.h)
// in UTF-8, and as JSON.
//
// Texts are UTF-8; the table stores code page 1252. Dates are written
// year-month-day, times hours:minutes:seconds with milliseconds when there
// are any, timestamps as a date and a time separated by a blank, booleans as
// TRUE and FALSE, floating-point values in the shortest form that reads back
// to the same double, BCD values with the field's decimal places, byte
// fields, blobs and other binary values in hexadecimal. Memo values are text.
// A null value is the empty text, and the empty text is null.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "engine/cursor/FieldValue.h"

namespace ledra::tool {

// The text of a non-null value as GetFieldValue gives it (DataSize bytes).
std::string FormatFieldValue(const TFieldDesc& desc, const uint8_t* value);
// The text of a blob value.
std::string FormatBlobValue(const TFieldDesc& desc, std::span<const uint8_t> bytes);
// The same as JSON: numbers and booleans as such, null as null, the rest as
// the texts above.
nlohmann::ordered_json JsonFieldValue(const TFieldDesc& desc, const uint8_t* value, bool isNull);
// A JSON value as import reads it: null is the empty text.
std::string JsonValueText(const nlohmann::ordered_json& value);

// Converts a text into the value bytes SetFieldValue takes (at least
// kFieldValueBufferSize bytes, zeroed here). A text that is not a value of
// the type, or does not fit the field, raises EToolError (exit code 1) with a
// message that quotes the text. The empty text is not a value: callers set
// the field null instead.
void ParseFieldValue(const TFieldDesc& desc, std::string_view text, uint8_t* value);
// The bytes of a blob value given as text (EToolError, exit code 1, when it
// is not one).
std::vector<uint8_t> ParseBlobText(const TFieldDesc& desc, std::string_view text);

}  // namespace ledra::tool
