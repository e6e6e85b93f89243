// Field values as text, in the table's own code page (1252).
//
// The texts are those the engine's default values use, so that what one
// program writes another reads back: dates year-month-day, times
// hours:minutes:seconds with milliseconds when there are any, timestamps as a
// date and a time separated by a blank (the time alone on day 0), booleans
// TRUE and FALSE, floating-point values in the shortest form that reads back
// to the same double, BCD values with all the field's decimal places, byte
// fields, binary blobs and other binary values in hexadecimal. Memo values
// are their text. A stored value the text forms cannot show (a day number
// out of the calendar, a damaged packed decimal) is shown as "#" and its raw
// number or bytes.
//
// Conversions never look at the process locale; texts are single-byte, and
// converting them to or from anything else is the caller's matter.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "engine/cursor/DataCursor.h"
#include "engine/files/FieldDesc.h"
#include "engine/files/RecordLayout.h"

namespace ledra {

// The type name as table definitions give it ("string", "memo", "autoinc",
// "money"; "type N" for a type without a name).
std::string FieldTypeName(const TFieldDesc& desc);
// Memo-like blobs hold text; the other blobs hold bytes.
bool IsTextBlob(const TFieldDesc& desc);

// The text of a non-null value as GetFieldValue gives it (DataSize bytes).
// Strings end at their first zero byte or at `Size`.
std::string FieldValueText(const TFieldDesc& desc, const uint8_t* value);
// The text of a blob value: memo text as stored, other blobs in hexadecimal.
std::string BlobValueText(const TFieldDesc& desc, std::span<const uint8_t> bytes);
// A date-time value of the component layer (days since 30 December 1899) as
// "YYYY-MM-DD HH:MM:SS", to the second.
std::string DateTimeText(double dateTime);

// Converts a text into the value bytes SetFieldValue takes; `value` holds at
// least kFieldValueBufferSize bytes and is zeroed first. A text that is not a
// value of the type, or does not fit the field (too long, out of the type's
// range, a zero character in a string), raises EDatabaseError with a message
// that quotes the text; never ELedraEngineError. The empty text is not a
// value: callers set the field null instead. Blob fields take no value here
// (ParseBlobValue).
void TextToFieldValue(const TFieldDesc& desc, std::string_view text, uint8_t* value);
// The bytes of a blob value given as text: memo text as it is, other blobs
// from hexadecimal (EDatabaseError quoting the text when it is not).
std::vector<uint8_t> ParseBlobValue(const TFieldDesc& desc, std::string_view text);

// ---- Values of a cursor's record images ---------------------------------------------

// The value of blob field `fieldNo` of the record the cursor stands on, its
// image in `image` (RecordSize bytes). When another program rewrote the
// record between reading it and reading the blob, the record is read again
// into `image` and the blob with it; a record deleted meanwhile gives no
// bytes. Other failures of the blob file are raised.
void ReadBlobValue(TDataCursor& cursor, int fieldNo, std::vector<uint8_t>& image,
                   std::vector<uint8_t>& value);
// Makes `bytes` the value of blob field `fieldNo` of `image` (no bytes empty
// it), in the cursor's blob buffer that the next post of the image writes.
// Returns 0 or the cursor's blob result code (LEDRA_NOTABLOB,
// LEDRA_OPENBLOBLIMIT, LEDRA_INVALIDBLOBLEN, ...); after a failure the caller
// drops the image's buffers with DiscardNewBlobs.
uint16_t WriteBlobValue(TDataCursor& cursor, int fieldNo, uint8_t* image,
                        std::span<const uint8_t> bytes);

// The text of the field named `name` (without regard to case) of `image`, a
// record image of the cursor's table; nothing when the field is null. A blob
// field's value is read through the cursor as ReadBlobValue reads it, for the
// record the cursor stands on. An unknown name raises LEDRA_OUTOFRANGE.
std::optional<std::string> GetFieldText(TDataCursor& cursor, const uint8_t* image,
                                        std::string_view name);
// Sets the field named `name` of `image` from a text (TextToFieldValue);
// nothing, or the empty text, sets it null. A blob field takes the text as
// ParseBlobValue reads it, in the blob buffer the next post of the image
// writes; a blob result code other than 0 is raised as an engine error
// naming the field.
void SetFieldText(TDataCursor& cursor, uint8_t* image, std::string_view name,
                  std::optional<std::string_view> text);

}  // namespace ledra
