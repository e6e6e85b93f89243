#include "engine/cursor/FieldValue.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>

#include "engine/blob/BlobChain.h"
#include "engine/errors/EngineError.h"
#include "engine/files/Bytes.h"
#include "engine/files/FieldText.h"
#include "engine/files/PackedDecimal.h"
#include "engine/table/DataTable.h"

namespace ledra {

namespace {

constexpr char kHexDigits[] = "0123456789ABCDEF";

std::string Hex(std::span<const uint8_t> bytes) {
  std::string out;
  out.reserve(bytes.size() * 2);
  for (uint8_t b : bytes) {
    out += kHexDigits[b >> 4];
    out += kHexDigits[b & 15];
  }
  return out;
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Quoted texts longer than this (blob values) are cut short in messages.
constexpr size_t kQuotedTextLimit = 60;

[[noreturn]] void Refuse(std::string_view text, const std::string& why) {
  // A zero byte would end the message early: it is quoted as "\0".
  std::string quoted;
  for (char c : text.substr(0, kQuotedTextLimit))
    quoted += c == '\0' ? std::string("\\0") : std::string(1, c);
  if (text.size() > kQuotedTextLimit) quoted += "...";
  throw EDatabaseError("'" + quoted + "' " + why);
}

std::vector<uint8_t> Unhex(std::string_view text) {
  if (text.size() % 2 != 0) Refuse(text, "is not a hexadecimal byte string");
  std::vector<uint8_t> bytes(text.size() / 2);
  for (size_t i = 0; i < bytes.size(); ++i) {
    int high = HexValue(text[2 * i]);
    int low = HexValue(text[2 * i + 1]);
    if (high < 0 || low < 0) Refuse(text, "is not a hexadecimal byte string");
    bytes[i] = uint8_t(high * 16 + low);
  }
  return bytes;
}

std::string Number(double value) {
  char buffer[64];
  auto [end, error] = std::to_chars(buffer, buffer + sizeof buffer, value);
  if (error != std::errc()) return "?";
  return std::string(buffer, end);
}

std::string DateText(int32_t dayNumber) {
  int year = 0, month = 0, day = 0;
  if (!TryDecodeDayNumber(dayNumber, year, month, day)) return "#" + std::to_string(dayNumber);
  char buffer[16];
  std::snprintf(buffer, sizeof buffer, "%04d-%02d-%02d", year, month, day);
  return buffer;
}

std::string TimeText(int64_t ms) {
  if (ms < 0 || ms >= kMSecsPerDay) return "#" + std::to_string(ms);
  char buffer[24];
  int h = int(ms / 3600000), m = int(ms / 60000 % 60), s = int(ms / 1000 % 60), f = int(ms % 1000);
  if (f != 0) {
    std::snprintf(buffer, sizeof buffer, "%02d:%02d:%02d.%03d", h, m, s, f);
  } else {
    std::snprintf(buffer, sizeof buffer, "%02d:%02d:%02d", h, m, s);
  }
  return buffer;
}

std::string TimeStampText(double ms) {
  if (!std::isfinite(ms) || ms < 0 || ms >= double(kMaxDayNumber + 1) * double(kMSecsPerDay)) {
    return "#" + Number(ms);
  }
  int64_t whole = int64_t(std::llround(ms));
  int32_t day = int32_t(whole / kMSecsPerDay);
  int64_t time = whole % kMSecsPerDay;
  if (day == 0) return TimeText(time);
  return DateText(day) + " " + TimeText(time);
}

// A packed decimal with all its places, without rounding them away.
std::string BCDText(const uint8_t* bcd) {
  uint8_t precision = bcd[0];
  uint8_t places = bcd[1] & 0x3F;
  bool negative = (bcd[1] & 0x80) != 0;
  if (precision == 0 && bcd[1] == 0) return "0";
  if (precision > 64 || places > precision || (bcd[1] & 0x40) != 0) {
    return "#" + Hex({bcd, kBCDSize});
  }
  std::string digits;
  for (uint8_t i = 0; i < precision; ++i) {
    uint8_t nibble = (i % 2 == 0) ? (bcd[2 + i / 2] >> 4) : (bcd[2 + i / 2] & 15);
    if (nibble > 9) return "#" + Hex({bcd, kBCDSize});
    digits += char('0' + nibble);
  }
  std::string whole = digits.substr(0, precision - places);
  std::string fraction = digits.substr(precision - places);
  size_t first = whole.find_first_not_of('0');
  whole = first == std::string::npos ? "0" : whole.substr(first);
  std::string text = whole;
  if (!fraction.empty()) text += "." + fraction;
  bool zero = text.find_first_not_of("0.") == std::string::npos;
  return (negative && !zero ? "-" : "") + text;
}

std::string StringText(const TFieldDesc& desc, const uint8_t* value) {
  size_t length = 0;
  while (length < desc.Size && value[length] != 0) ++length;
  return std::string(reinterpret_cast<const char*>(value), length);
}

// Reading a blob whose record another program rewrote between reading the
// record and reading the blob is tried this often.
constexpr int kBlobAttempts = 5;

}  // namespace

std::string FieldTypeName(const TFieldDesc& desc) {
  switch (desc.FieldType) {
    case fldString:
      return "string";
    case fldDate:
      return "date";
    case fldBlob:
      switch (desc.SubType) {
        case kSubTypeMemo:
          return "memo";
        case kSubTypeFmtMemo:
          return "fmtmemo";
        case kSubTypeGraphic:
          return "graphic";
        case kSubTypeTypedBinary:
          return "typedbinary";
        default:
          return "blob";
      }
    case fldBoolean:
      return "boolean";
    case fldSmallInt:
      return "smallint";
    case fldInteger:
      return desc.SubType == kSubTypeAutoInc ? "autoinc" : "integer";
    case fldFloat:
      return desc.SubType == kSubTypeMoney ? "money" : "float";
    case fldBCD:
      return "bcd";
    case fldBytes:
      return "bytes";
    case fldTime:
      return "time";
    case fldTimeStamp:
      return "timestamp";
    case fldWord:
      return "word";
    case fldInt32:
      return "int32";
    case fldTenByte:
      return "tenbyte";
    case fldVarBytes:
      return "varbytes";
    case fldLargeInt:
      return "largeint";
    default:
      return "type " + std::to_string(desc.FieldType);
  }
}

bool IsTextBlob(const TFieldDesc& desc) {
  return desc.FieldType == fldBlob &&
         (desc.SubType == kSubTypeMemo || desc.SubType == kSubTypeFmtMemo);
}

std::string FieldValueText(const TFieldDesc& desc, const uint8_t* value) {
  switch (desc.FieldType) {
    case fldString:
      return StringText(desc, value);
    case fldDate:
      return DateText(GetLEInt32(value));
    case fldBoolean:
      return GetLE16(value) != 0 ? "TRUE" : "FALSE";
    case fldSmallInt:
      return std::to_string(GetLEInt16(value));
    case fldInteger:
    case fldInt32:
      return std::to_string(GetLEInt32(value));
    case fldWord:
      return std::to_string(GetLE16(value));
    case fldLargeInt:
      return std::to_string(GetLEInt64(value));
    case fldFloat:
      return Number(GetLEDouble(value));
    case fldBCD:
      return BCDText(value);
    case fldTime:
      return TimeText(GetLEInt32(value));
    case fldTimeStamp:
      return TimeStampText(GetLEDouble(value));
    case fldVarBytes: {
      // A length of 16 bits, then the bytes.
      size_t length = desc.Size >= 2 ? GetLE16(value) : 0;
      if (desc.Size < 2 || length > size_t(desc.Size) - 2) return "#" + Hex({value, desc.Size});
      return Hex({value + 2, length});
    }
    default:
      return Hex({value, desc.DataSize});
  }
}

std::string BlobValueText(const TFieldDesc& desc, std::span<const uint8_t> bytes) {
  if (IsTextBlob(desc))
    return std::string(reinterpret_cast<const char*>(bytes.data()), bytes.size());
  return Hex(bytes);
}

std::string DateTimeText(double dateTime) {
  TDayAndTime split = SplitDateTime(dateTime);
  return DateText(split.DayNumber) + " " + TimeText(split.TimeMs / 1000 * 1000);
}

void TextToFieldValue(const TFieldDesc& desc, std::string_view text, uint8_t* value) {
  std::memset(value, 0, kFieldValueBufferSize);
  switch (desc.FieldType) {
    case fldString: {
      if (text.find('\0') != std::string_view::npos) Refuse(text, "holds a zero character");
      // The engine drops trailing blanks; what remains must fit.
      std::string_view stored = text;
      while (!stored.empty() && stored.back() == ' ') stored.remove_suffix(1);
      if (stored.size() > desc.Size) {
        Refuse(text, "is longer than " + std::to_string(desc.Size) + " characters");
      }
      std::memcpy(value, stored.data(), stored.size());
      return;
    }
    case fldBoolean:
      PutLE16(value, TextToBoolean(text) ? 1 : 0);
      return;
    case fldInt32:
      PutLE32(value, uint32_t(TextToInteger(text, std::numeric_limits<int32_t>::min(),
                                            std::numeric_limits<int32_t>::max())));
      return;
    case fldBytes: {
      std::vector<uint8_t> bytes = Unhex(text);
      if (bytes.size() > desc.Size) {
        Refuse(text, "is longer than " + std::to_string(desc.Size) + " bytes");
      }
      std::copy(bytes.begin(), bytes.end(), value);
      return;
    }
    case fldVarBytes: {
      std::vector<uint8_t> bytes = Unhex(text);
      if (desc.Size < 2 || bytes.size() > size_t(desc.Size) - 2) {
        Refuse(text,
               "is longer than " + std::to_string(desc.Size < 2 ? 0 : desc.Size - 2) + " bytes");
      }
      PutLE16(value, uint16_t(bytes.size()));
      std::copy(bytes.begin(), bytes.end(), value + 2);
      return;
    }
    case fldDate:
    case fldSmallInt:
    case fldInteger:
    case fldWord:
    case fldLargeInt:
    case fldFloat:
    case fldBCD:
    case fldTime:
    case fldTimeStamp:
      // The conversions of default texts, which refuse what does not fit
      // the type instead of wrapping it.
      DefaultTextToValue(desc, text, value);
      return;
    case fldBlob:
      Refuse(text, "is a blob value");
    default: {
      std::vector<uint8_t> bytes = Unhex(text);
      if (bytes.size() != desc.DataSize) {
        Refuse(text, "is not " + std::to_string(desc.DataSize) + " bytes");
      }
      std::copy(bytes.begin(), bytes.end(), value);
      return;
    }
  }
}

std::vector<uint8_t> ParseBlobValue(const TFieldDesc& desc, std::string_view text) {
  if (IsTextBlob(desc)) return std::vector<uint8_t>(text.begin(), text.end());
  return Unhex(text);
}

// ---- Values of a cursor's record images ---------------------------------------------

void ReadBlobValue(TDataCursor& cursor, int fieldNo, std::vector<uint8_t>& image,
                   std::vector<uint8_t>& value) {
  const TFieldDesc& desc = cursor.Layout().FieldDesc(fieldNo);
  if (desc.FieldType != fldBlob || image.size() < cursor.RecordSize()) {
    RaiseEngineError(LEDRA_NOTABLOB, {.Field = desc.FieldName, .Table = cursor.TableName()});
  }
  if (GetLEInt32(image.data() + desc.Offset + 1) < 0) {
    // An image being edited: its open buffer holds the value.
    std::vector<uint8_t> scratch;
    const std::string_view open = cursor.MemoValue(fieldNo, image.data(), false, scratch);
    value.assign(open.begin(), open.end());
    return;
  }
  for (int attempt = 1;; ++attempt) {
    // Inside one read bracket the table cannot change, and the bracket has
    // dropped whatever another writer made stale.
    TDataCursor::TReadBracket bracket(cursor);
    try {
      const int32_t reference = GetLEInt32(image.data() + desc.Offset + 1);
      const int32_t stamp = GetLEInt32(image.data() + desc.Offset + 5);
      LoadBlobValue(cursor.Table().BlobFile(), reference, stamp, value, nullptr);
      bracket.End();
      return;
    } catch (const ELedraEngineError& error) {
      if (error.ErrorCode != LEDRA_KEYORRECDELETED || attempt >= kBlobAttempts) throw;
    }
    bracket.End();
    // The record was rewritten meanwhile: read it again.
    if (cursor.ReadCurrent(image.data()) != 0) {
      value.clear();
      return;
    }
  }
}

uint16_t WriteBlobValue(TDataCursor& cursor, int fieldNo, uint8_t* image,
                        std::span<const uint8_t> bytes) {
  uint32_t length = 0;
  if (uint16_t result = cursor.OpenBlob(fieldNo, image, length, false, TBlobOpenMode::kWrite)) {
    return result;
  }
  if (uint16_t result = cursor.TruncateBlob(fieldNo, image, 0)) return result;
  if (bytes.empty()) return 0;
  if (bytes.size() > TBlobBuffer::kMaxLength) return LEDRA_INVALIDBLOBLEN;
  return cursor.WriteBlob(fieldNo, image, 0, uint32_t(bytes.size()), bytes.data());
}

std::optional<std::string> GetFieldText(TDataCursor& cursor, const uint8_t* image,
                                        std::string_view name) {
  const TRecordLayout& layout = cursor.Layout();
  const int fieldNo = layout.FindFieldNo(name);
  const TFieldDesc& desc = layout.FieldDesc(fieldNo);
  bool isNull = true;
  uint8_t value[kFieldValueBufferSize] = {};
  layout.GetFieldValue(fieldNo, image, isNull, value);
  if (isNull) return std::nullopt;
  if (!desc.IsBlob()) return FieldValueText(desc, value);
  std::vector<uint8_t> copy(image, image + layout.RecordSize());
  std::vector<uint8_t> bytes;
  ReadBlobValue(cursor, fieldNo, copy, bytes);
  return BlobValueText(desc, bytes);
}

void SetFieldText(TDataCursor& cursor, uint8_t* image, std::string_view name,
                  std::optional<std::string_view> text) {
  const TRecordLayout& layout = cursor.Layout();
  const int fieldNo = layout.FindFieldNo(name);
  const TFieldDesc& desc = layout.FieldDesc(fieldNo);
  if (desc.IsBlob()) {
    const std::vector<uint8_t> bytes = text ? ParseBlobValue(desc, *text) : std::vector<uint8_t>();
    if (uint16_t result = WriteBlobValue(cursor, fieldNo, image, bytes)) {
      RaiseEngineError(result, {.Field = desc.FieldName,
                                .Table = cursor.TableName(),
                                .Database = cursor.Directory().DatabaseName()});
    }
    return;
  }
  if (!text || text->empty()) {
    layout.SetFieldValue(fieldNo, image, nullptr, false, false);
    return;
  }
  uint8_t value[kFieldValueBufferSize];
  TextToFieldValue(desc, *text, value);
  layout.SetFieldValue(fieldNo, image, value, false, false);
}

}  // namespace ledra
