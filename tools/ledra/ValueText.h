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
// A JSON number with a fraction or an exponent as the text of a value of
// the field: for BCD fields the number as written, so that no digit is lost
// on the way through a double; for the others the shortest text of the
// double.
std::string JsonNumberText(const TFieldDesc& desc, double value, std::string_view written);

// "a date field", "an integer field": the field's type for messages.
std::string FieldKindText(const TFieldDesc& desc);

// A UTF-8 text in the table's code page. Bytes that are not UTF-8 (the byte
// and its place are named) and characters the code page has no place for
// (named as U+XXXX) raise EToolError (exit code 1).
std::string TableText(std::string_view text);
// The length of the UTF-8 sequence at byte i of the text and its code point,
// or 0 when the bytes there are not UTF-8 (overlong forms, surrogates and
// sequences cut short are not).
size_t Utf8SequenceAt(std::string_view text, size_t i, uint32_t& codePoint);
// The text with each byte that is not UTF-8 written as \xNN, for messages.
std::string PrintableUtf8(std::string_view text);

// Converts a text into the value bytes SetFieldValue takes (at least
// kFieldValueBufferSize bytes, zeroed here). A text that is not a value of
// the type, or does not fit the field, raises EToolError (exit code 1) with a
// message that quotes the text and says what the field takes: numbers out of
// the type's range, dates outside 0001-01-01 to 9999-12-31, more decimal
// places than a BCD field keeps (they would be rounded away), strings longer
// than the field. The empty text is not a value: callers set the field null
// instead.
void ParseFieldValue(const TFieldDesc& desc, std::string_view text, uint8_t* value);
// The bytes of a blob value given as text (EToolError, exit code 1, when it
// is not one).
std::vector<uint8_t> ParseBlobText(const TFieldDesc& desc, std::string_view text);

}  // namespace ledra::tool
