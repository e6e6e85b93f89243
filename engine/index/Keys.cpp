#include "engine/index/Keys.h"

#include <algorithm>
#include <cstring>

#include "engine/errors/EngineError.h"
#include "engine/files/Bytes.h"
#include "engine/files/LocaleServices.h"
#include "engine/files/PackedDecimal.h"
#include "engine/index/KeyWidth.h"

namespace ledra {
namespace {

constexpr uint32_t kTop32 = 0x80000000u;
constexpr uint16_t kTop16 = 0x8000u;
constexpr uint64_t kTop64 = uint64_t(1) << 63;

// The value bytes of a null field: every read width fits (a DataSize is at
// most 255 bytes).
constexpr uint8_t kZeros[256] = {};

// -1, 0 or 1 from the first differing unsigned byte.
int CompareBytes(const uint8_t* a, const uint8_t* b, size_t n) {
  if (n == 0) return 0;
  int order = std::memcmp(a, b, n);
  return (order > 0) - (order < 0);
}

void Invert(uint8_t* bytes, size_t n) {
  for (size_t i = 0; i < n; ++i) bytes[i] = uint8_t(~bytes[i]);
}

const TFieldDesc* FindField(std::span<const TFieldDesc> fields, uint16_t fieldNo) {
  for (const TFieldDesc& field : fields) {
    if (field.FieldNo == fieldNo) return &field;
  }
  return nullptr;
}

}  // namespace

void PutKeyRowId(uint8_t* key, int32_t rowId) {
  PutBE32(key, uint32_t(rowId) ^ kTop32);
}

int32_t GetKeyRowId(const uint8_t* key) {
  return int32_t(GetBE32(key) ^ kTop32);
}

TIndexKeys::TIndexKeys(int slot, const TIndexDesc& desc, std::span<const TFieldDesc> fields,
                       uint32_t recordSize, uint16_t languageId, uint16_t sortId,
                       const TCharMap& charMap, std::string_view tableName)
    : slot_(slot),
      keyLength_(desc.KeyLength),
      unique_(desc.Unique != 0),
      descending_(desc.Descending != 0),
      caseInsensitive_(desc.CaseInsensitive != 0),
      languageId_(languageId),
      lcid_(TableLocale(languageId, sortId)),
      charMap_(charMap) {
  if (slot < 0 || slot >= kIndexSlotCount) {
    RaiseEngineError(LEDRA_INVALIDIDXDESC, {.Table = tableName});
  }
  // Every key reads the row id, and the cursor's images are this long.
  if (recordSize < kImageHeaderSize) RaiseTableError(LEDRA_HEADERCORRUPT, tableName);
  work_.reserve(256);

  if (slot == kDeletedSlot) {
    if (keyLength_ != kDeletedKeyLength) RaiseTableError(LEDRA_HEADERCORRUPT, tableName);
    unique_ = true;
    descending_ = false;
    return;
  }
  if (slot == kTextSlot) {
    if (keyLength_ != kTextKeyLength) RaiseTableError(LEDRA_HEADERCORRUPT, tableName);
    unique_ = true;
    descending_ = false;
    // Words compare in English (United States) when the table has no locale,
    // so they are completed with the characters of that order too.
    if (languageId == 0) charMap_ = GetCharMap(uint16_t(kDefaultTableLocale), 0);
    return;
  }

  if (desc.KeyFieldCount > kMaxKeyFields) RaiseTableError(LEDRA_HEADERCORRUPT, tableName);
  segments_.reserve(desc.KeyFieldCount);
  for (int i = 0; i < desc.KeyFieldCount; ++i) {
    const TFieldDesc* field = FindField(fields, desc.KeyFields[i]);
    if (field == nullptr || field->IsBlob()) RaiseTableError(LEDRA_HEADERCORRUPT, tableName);
    AddSegment(*field, desc.FieldDescending[i] != 0, recordSize, tableName);
  }
  // Only the primary index of a table without one has no key fields, and then
  // no key either.
  if (segments_.empty()) {
    if (slot != kPrimarySlot || keyLength_ != 0) RaiseTableError(LEDRA_HEADERCORRUPT, tableName);
    return;
  }
  const uint32_t expected = uint32_t(segmentsLength_) + (unique_ ? 0 : kRowIdTailLength);
  if (keyLength_ != expected) RaiseTableError(LEDRA_HEADERCORRUPT, tableName);
}

void TIndexKeys::AddSegment(const TFieldDesc& field, bool fieldDescending, uint32_t recordSize,
                            std::string_view tableName) {
  TSegment segment;
  segment.Width = KeyWidth(field);
  segment.KeyOffset = segmentsLength_;
  segment.ImageOffset = field.Offset;
  segment.Size = field.Size;
  segment.AutoInc = field.IsAutoInc();
  segment.Invert = languageId_ == 0 && !descending_ && fieldDescending;
  segment.Descending = descending_ || fieldDescending;

  // The value bytes read from the image.
  uint32_t readWidth = segment.Width;
  switch (field.FieldType) {
    case fldString:
      segment.Encoding = TEncoding::String;
      readWidth = field.Size;  // the characters; the terminator is not read
      break;
    case fldDate:
    case fldInteger:
    case fldTime:
      segment.Encoding = TEncoding::Int32;
      break;
    case fldSmallInt:
      segment.Encoding = TEncoding::Int16;
      break;
    case fldBoolean:
    case fldWord:
      segment.Encoding = TEncoding::UInt16;
      break;
    case fldFloat:
    case fldTimeStamp:
      segment.Encoding = TEncoding::Double;
      break;
    case fldBCD:
      segment.Encoding = TEncoding::BCD;
      readWidth = kBCDSize;
      break;
    case fldLargeInt:
      segment.Encoding = TEncoding::Int64;
      break;
    default:
      segment.Encoding = TEncoding::Raw;
      break;
  }

  if (segment.AutoInc) {
    // No slot of its own: the value is the row id in the image header.
    segment.ImageOffset = kImageRowIdOffset;
  } else {
    const uint32_t valueWidth = std::max<uint32_t>(readWidth, field.DataSize);
    if (field.Offset < kImageHeaderSize || uint32_t(field.Offset) + 1 + valueWidth > recordSize) {
      RaiseTableError(LEDRA_HEADERCORRUPT, tableName);
    }
  }
  const uint32_t length = uint32_t(segmentsLength_) + segment.Width + 1;
  if (length > uint32_t(kMaxKeyLength)) RaiseTableError(LEDRA_HEADERCORRUPT, tableName);
  segmentsLength_ = uint16_t(length);
  segments_.push_back(segment);
}

void TIndexKeys::EncodeSegment(const TSegment& segment, const uint8_t* image, uint8_t* key) {
  uint8_t* out = key + segment.KeyOffset;
  const uint8_t* value;
  if (segment.AutoInc) {
    out[0] = 1;
    value = image + kImageRowIdOffset;
  } else {
    const bool present = image[segment.ImageOffset] == 1;
    out[0] = present ? 1 : 0;
    value = present ? image + segment.ImageOffset + 1 : kZeros;
  }
  uint8_t* bytes = out + 1;

  switch (segment.Encoding) {
    case TEncoding::String: {
      // The characters up to the terminator, at most the declared size; the
      // bytes after them stay 0.
      const void* end = std::memchr(value, 0, segment.Size);
      size_t length =
          end != nullptr ? size_t(static_cast<const uint8_t*>(end) - value) : size_t(segment.Size);
      if (caseInsensitive_ && length > 0) {
        work_.assign(reinterpret_cast<const char*>(value), length);
        LocaleUpper(lcid_, work_);
        length = std::min(work_.size(), size_t(segment.Size));
        std::memcpy(bytes, work_.data(), length);
      } else {
        std::memcpy(bytes, value, length);
      }
      if (segment.Invert) Invert(out, size_t(segment.Size) + 1);
      return;
    }
    case TEncoding::Int32:
      PutBE32(bytes, GetLE32(value) ^ kTop32);
      break;
    case TEncoding::Int16:
      PutBE16(bytes, uint16_t(GetLE16(value) ^ kTop16));
      break;
    case TEncoding::UInt16:
      PutBE16(bytes, GetLE16(value));
      break;
    case TEncoding::Double: {
      uint64_t bits = GetLE64(value);
      if (GetLEDouble(value) >= 0.0) {
        bits |= kTop64;  // -0.0 lands on 0.0 here
      } else {
        bits = ~bits;
      }
      PutBE64(bytes, bits);
      break;
    }
    case TEncoding::BCD: {
      // A precision of 0 is 0; so is a packed value that cannot be read,
      // which keeps the key of such a record the same every time it is built.
      int64_t currency = 0;
      if (value[0] == 0 || !BCDToCurrency(value, currency)) currency = 0;
      PutBE64(bytes, uint64_t(currency) ^ kTop64);
      break;
    }
    case TEncoding::Int64:
      PutBE64(bytes, GetLE64(value) ^ kTop64);
      break;
    case TEncoding::Raw:
      std::memcpy(bytes, value, segment.Width);
      break;
  }
  if (segment.Invert) Invert(out, size_t(segment.Width) + 1);
}

void TIndexKeys::BuildKey(const uint8_t* image, uint8_t* key) {
  if (slot_ == kDeletedSlot) {
    BuildDeletedKey(image, key);
    return;
  }
  if (slot_ == kTextSlot) RaiseEngineError(LEDRA_INVALIDIDXDESC);
  std::memset(key, 0, keyLength_);
  for (const TSegment& segment : segments_) EncodeSegment(segment, image, key);
  if (!unique_ && !segments_.empty()) {
    PutKeyRowId(key + segmentsLength_, GetLEInt32(image + kImageRowIdOffset));
  }
}

void TIndexKeys::BuildDeletedKey(const uint8_t* image, uint8_t* key) {
  key[0] = image[0];
  PutKeyRowId(key + 1, GetLEInt32(image + kImageRowIdOffset));
}

void TIndexKeys::BuildTextKey(uint16_t fieldNo, std::string_view word, int32_t rowId,
                              uint8_t* key) {
  std::memset(key, 0, kTextKeyLength);
  key[0] = 1;
  PutBE16(key + kTextFieldNoOffset, fieldNo);
  // Case mapping keeps one byte per character in a single-byte code page, so
  // cutting the word first gives the same first 61 bytes.
  size_t length = std::min(word.size(), kTextWordLength);
  const void* end = std::memchr(word.data(), 0, length);
  if (end != nullptr) length = size_t(static_cast<const char*>(end) - word.data());
  if (length > 0) {
    work_.assign(word.data(), length);
    LocaleUpper(lcid_, work_);
    std::memcpy(key + kTextWordOffset, work_.data(), std::min(work_.size(), kTextWordLength));
  }
  PutKeyRowId(key + kTextRowIdOffset, rowId);
}

int TIndexKeys::CompareKeys(const uint8_t* a, const uint8_t* b, size_t n) const {
  n = std::min(n, size_t(keyLength_));
  if (slot_ == kDeletedSlot) return CompareBytes(a, b, n);
  if (slot_ == kTextSlot) return CompareText(a, b, n);
  if (languageId_ == 0) {
    int order = CompareBytes(a, b, n);
    return descending_ ? -order : order;
  }
  return CompareWithLocale(a, b, n);
}

int TIndexKeys::CompareText(const uint8_t* a, const uint8_t* b, size_t n) const {
  int order = CompareBytes(a, b, std::min(n, kTextWordOffset));
  if (order != 0 || n <= kTextWordOffset) return order;
  const size_t wordBytes = std::min(n - kTextWordOffset, kTextWordLength);
  order = LocaleCompare(lcid_, false, reinterpret_cast<const char*>(a + kTextWordOffset),
                        reinterpret_cast<const char*>(b + kTextWordOffset), wordBytes);
  if (order != 0 || n <= kTextRowIdOffset) return order;
  return CompareBytes(a + kTextRowIdOffset, b + kTextRowIdOffset, n - kTextRowIdOffset);
}

int TIndexKeys::CompareWithLocale(const uint8_t* a, const uint8_t* b, size_t n) const {
  size_t c = 0;
  for (const TSegment& segment : segments_) {
    if (c >= n) break;
    int order;
    if (segment.Encoding == TEncoding::String) {
      order = CompareBytes(a + c, b + c, 1);
      size_t e = std::min(size_t(segment.Width), n - c - 1);
      // Without value bytes to compare the values are equal (a length of 0
      // would ask the locale to read up to a terminator instead).
      if (order == 0 && e > 0) {
        order = LocaleCompare(lcid_, false, reinterpret_cast<const char*>(a + c + 1),
                              reinterpret_cast<const char*>(b + c + 1), e);
      }
      c += e + 1;
    } else {
      size_t d = std::min(size_t(segment.Width) + 1, n - c);
      order = CompareBytes(a + c, b + c, d);
      c += d;
    }
    if (order != 0) return segment.Descending ? -order : order;
  }
  if (c < n) {
    int order = CompareBytes(a + c, b + c, n - c);
    return descending_ ? -order : order;
  }
  return 0;
}

void TIndexKeys::FillKey(uint8_t* key, size_t n, bool high) const {
  n = std::min(n, size_t(keyLength_));
  const uint8_t plain = high ? 0xFF : 0x00;
  const uint8_t character = high ? charMap_[255] : charMap_[0];
  if (slot_ == kDeletedSlot || (languageId_ == 0 && slot_ != kTextSlot)) {
    std::memset(key + n, plain, keyLength_ - n);
    return;
  }
  if (slot_ == kTextSlot) {
    for (size_t i = n; i < kTextWordOffset; ++i) key[i] = plain;
    for (size_t i = std::max(n, kTextWordOffset); i < kTextRowIdOffset; ++i) key[i] = character;
    for (size_t i = std::max(n, kTextRowIdOffset); i < kTextKeyLength; ++i) key[i] = plain;
    return;
  }
  for (const TSegment& segment : segments_) {
    const size_t last = size_t(segment.KeyOffset) + segment.Width;
    if (last < n) continue;
    const uint8_t fill = segment.Encoding == TEncoding::String ? character : plain;
    for (size_t i = std::max(n, size_t(segment.KeyOffset)); i <= last; ++i) key[i] = fill;
  }
  for (size_t i = std::max(n, size_t(segmentsLength_)); i < keyLength_; ++i) key[i] = plain;
}

}  // namespace ledra
