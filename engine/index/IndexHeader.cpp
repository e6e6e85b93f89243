#include "engine/index/IndexHeader.h"

#include <algorithm>
#include <cstring>

#include "engine/errors/EngineError.h"
#include "engine/files/Bytes.h"
#include "engine/files/TableFileNames.h"
#include "engine/index/KeyWidth.h"

namespace ledra {

std::string TIndexDesc::IndexName() const {
  return GetShortString(IndexNameBytes.data(), kIndexNameLength);
}

void TIndexDesc::SetIndexName(std::string_view name) {
  PutShortString(IndexNameBytes.data(), kIndexNameLength, name);
}

TIndexDesc DecodeIndexDesc(const uint8_t* p) {
  TIndexDesc d;
  std::memcpy(d.IndexNameBytes.data(), p, d.IndexNameBytes.size());
  d.KeyLength = GetLE16(p + 31);
  d.Descending = p[33];
  d.CaseInsensitive = p[34];
  d.Unique = p[35];
  d.Compression = p[36];
  d.KeyFieldCount = p[37];
  std::memcpy(d.FieldDescending.data(), p + 38, kMaxKeyFields);
  for (int i = 0; i < kMaxKeyFields; ++i) d.KeyFields[i] = GetLE16(p + 54 + 2 * i);
  d.RootPage = GetLEInt32(p + 86);
  d.FirstFreePage = GetLEInt32(p + 90);
  d.Byte94 = p[94];
  d.Reserved95 = p[95];
  d.TextParamPage = GetLEInt32(p + 96);
  d.NoEntryCounts = p[100];
  d.Temporary = p[101];
  std::memcpy(d.Reserved102.data(), p + 102, d.Reserved102.size());
  return d;
}

void EncodeIndexDesc(const TIndexDesc& d, uint8_t* p) {
  std::memcpy(p, d.IndexNameBytes.data(), d.IndexNameBytes.size());
  PutLE16(p + 31, d.KeyLength);
  p[33] = d.Descending;
  p[34] = d.CaseInsensitive;
  p[35] = d.Unique;
  p[36] = d.Compression;
  p[37] = d.KeyFieldCount;
  std::memcpy(p + 38, d.FieldDescending.data(), kMaxKeyFields);
  for (int i = 0; i < kMaxKeyFields; ++i) PutLE16(p + 54 + 2 * i, d.KeyFields[i]);
  PutLE32(p + 86, uint32_t(d.RootPage));
  PutLE32(p + 90, uint32_t(d.FirstFreePage));
  p[94] = d.Byte94;
  p[95] = d.Reserved95;
  PutLE32(p + 96, uint32_t(d.TextParamPage));
  p[100] = d.NoEntryCounts;
  p[101] = d.Temporary;
  std::memcpy(p + 102, d.Reserved102.data(), d.Reserved102.size());
}

void DecodeIndexHeader(const uint8_t* p, TIndexHeader& h) {
  h.IdxChangeCount = GetLE32(p);
  std::memcpy(h.Reserved4.data(), p + 4, h.Reserved4.size());
  h.IdxFormatVersion = p[8];
  h.NextPageNo = GetLEInt32(p + 9);
  h.SecondaryIndexCount = p[13];
  for (int s = 0; s < kIndexSlotCount; ++s) {
    h.Descs[s] = DecodeIndexDesc(p + kIndexDescOffset + kIndexDescSize * s);
  }
  h.LiveRecordCount = GetLEInt32(p + 3974);
  h.NoPrimaryIndex = p[3978];
  h.IdxHeaderModified = p[3979];
  std::memcpy(h.Reserved3980.data(), p + 3980, h.Reserved3980.size());
}

void EncodeIndexHeader(const TIndexHeader& h, uint8_t* p) {
  PutLE32(p, h.IdxChangeCount);
  std::memcpy(p + 4, h.Reserved4.data(), h.Reserved4.size());
  p[8] = h.IdxFormatVersion;
  PutLE32(p + 9, uint32_t(h.NextPageNo));
  p[13] = h.SecondaryIndexCount;
  for (int s = 0; s < kIndexSlotCount; ++s) {
    EncodeIndexDesc(h.Descs[s], p + kIndexDescOffset + kIndexDescSize * s);
  }
  PutLE32(p + 3974, uint32_t(h.LiveRecordCount));
  p[3978] = h.NoPrimaryIndex;
  p[3979] = h.IdxHeaderModified;
  std::memcpy(p + 3980, h.Reserved3980.data(), h.Reserved3980.size());
}

TIndexHeader FreshIndexHeader() {
  TIndexHeader h;
  h.IdxFormatVersion = kIdxFormatVersion;
  h.NextPageNo = 1;
  TIndexDesc& deleted = h.Descs[kDeletedSlot];
  deleted.SetIndexName(kDeletedIndexName);
  deleted.KeyLength = kDeletedKeyLength;
  deleted.Compression = kCompressNone;
  TIndexDesc& text = h.Descs[kTextSlot];
  text.SetIndexName(kTextIndexName);
  text.KeyLength = kTextKeyLength;
  text.Compression = kCompressFull;
  h.IdxHeaderModified = 1;
  return h;
}

bool SlotHasEntryCounts(int slot, const TIndexDesc& desc) {
  return slot != kTextSlot && desc.NoEntryCounts == 0;
}

bool IsValidPageNo(int32_t nextPageNo, int32_t pageNo) {
  // `< nextPageNo`, not `<= nextPageNo - 1`: a damaged header may hold the
  // smallest number, whose predecessor does not exist.
  return pageNo == 0 || (pageNo >= 1 && pageNo < nextPageNo);
}

uint8_t UpperChar1252(uint8_t c) {
  if (c >= 'a' && c <= 'z') return uint8_t(c - 0x20);
  if (c >= 0xE0 && c <= 0xFE && c != 0xF7) return uint8_t(c - 0x20);
  switch (c) {
    case 0x9A:
    case 0x9C:
    case 0x9E:
      return uint8_t(c - 0x10);
    case 0xFF:
      return 0x9F;
    default:
      return c;
  }
}

bool SameIndexName(std::string_view a, std::string_view b) {
  std::string ta = TrimBlanks(a);
  std::string tb = TrimBlanks(b);
  if (ta.size() != tb.size()) return false;
  for (size_t i = 0; i < ta.size(); ++i) {
    if (UpperChar1252(uint8_t(ta[i])) != UpperChar1252(uint8_t(tb[i]))) return false;
  }
  return true;
}

bool IndexNameStartsValid(std::string_view name) {
  std::string trimmed = TrimBlanks(name);
  if (trimmed.empty()) return false;
  uint8_t c = UpperChar1252(uint8_t(trimmed[0]));
  return (c >= 'A' && c <= 'Z') || c == '_' || (c >= 128 && c <= 254);
}

namespace {

[[noreturn]] void Corrupt(std::string_view tableName) {
  RaiseTableError(LEDRA_HEADERCORRUPT, tableName);
}

const TFieldDesc* FindField(const std::vector<TFieldDesc>& fields, uint16_t fieldNo) {
  for (const TFieldDesc& field : fields) {
    if (field.FieldNo == fieldNo) return &field;
  }
  return nullptr;
}

enum class TWalk { Ordinary, NoPrimary, Text };

// Walks the key fields of a descriptor: a 0 ends the list only when the next
// entry is 0 as well (a gap is damage). Checks each field and returns the sum
// of (key width + 1) and the number of fields listed.
void WalkKeyFields(const TIndexDesc& desc, const std::vector<TFieldDesc>& fields, TWalk walk,
                   std::string_view tableName, uint32_t& segments, int& count) {
  segments = 0;
  count = 0;
  if (desc.KeyFieldCount > kMaxKeyFields) Corrupt(tableName);
  for (int i = 0; i < kMaxKeyFields; ++i) {
    uint16_t fieldNo = desc.KeyFields[i];
    if (fieldNo == 0) {
      if (i + 1 < kMaxKeyFields && desc.KeyFields[i + 1] != 0) Corrupt(tableName);
      break;
    }
    const TFieldDesc* field = FindField(fields, fieldNo);
    if (field == nullptr) {
      if (walk == TWalk::NoPrimary) break;
      Corrupt(tableName);
    }
    if (walk == TWalk::Text) {
      bool memo = field->FieldType == fldBlob && field->SubType == kSubTypeMemo;
      if (field->FieldType != fldString && !memo) Corrupt(tableName);
    } else if (field->FieldType == fldBlob) {
      Corrupt(tableName);
    }
    segments += KeyWidth(*field) + 1u;
    ++count;
  }
}

void CheckPages(const TIndexHeader& h, const TIndexDesc& d, std::string_view tableName) {
  if (!IsValidPageNo(h.NextPageNo, d.RootPage) || !IsValidPageNo(h.NextPageNo, d.FirstFreePage) ||
      !IsValidPageNo(h.NextPageNo, d.TextParamPage)) {
    Corrupt(tableName);
  }
}

}  // namespace

void VerifyIndexHeader(const TIndexHeader& h, const std::vector<TFieldDesc>& fields,
                       std::string_view tableName) {
  if (h.IdxFormatVersion != kIdxFormatVersion) RaiseTableError(LEDRA_OLDVERSION, tableName);
  // Every later loop and page read relies on these two.
  if (h.SecondaryIndexCount > kMaxSecondary) Corrupt(tableName);
  if (h.NextPageNo < 1 || h.NextPageNo > kLastPageNo + 1) Corrupt(tableName);

  for (int s = 0; s <= h.SecondaryIndexCount; ++s) {
    const TIndexDesc& d = h.Descs[s];
    bool noPrimary = s == kPrimarySlot && h.NoPrimaryIndex != 0;
    if (s == kPrimarySlot) {
      if (d.IndexNameBytes[0] != 0) Corrupt(tableName);
      if (!noPrimary && d.Unique != 1) Corrupt(tableName);
    } else {
      std::string name = d.IndexName();
      if (!IndexNameStartsValid(name)) Corrupt(tableName);
      for (int other = 1; other <= h.SecondaryIndexCount; ++other) {
        if (other != s && SameIndexName(name, h.Descs[other].IndexName())) Corrupt(tableName);
      }
    }
    uint32_t segments = 0;
    int count = 0;
    WalkKeyFields(d, fields, noPrimary ? TWalk::NoPrimary : TWalk::Ordinary, tableName, segments,
                  count);
    if (segments > uint32_t(kMaxKeyLength)) Corrupt(tableName);
    if (!noPrimary) {
      // Keys are built over KeyFieldCount fields into KeyLength bytes: both
      // must agree with the listed fields, or key building overruns.
      if (segments == 0) Corrupt(tableName);
      if (count != d.KeyFieldCount) Corrupt(tableName);
      uint32_t keyLength = segments + (d.Unique != 0 ? 0u : uint32_t(kRowIdTailLength));
      if (d.KeyLength != keyLength) Corrupt(tableName);
    }
    CheckPages(h, d, tableName);
  }

  // The deleted-records index has a fixed key; pages are built to its length.
  if (h.Descs[kDeletedSlot].KeyLength != kDeletedKeyLength) Corrupt(tableName);

  const TIndexDesc& text = h.Descs[kTextSlot];
  uint32_t segments = 0;
  int count = 0;
  WalkKeyFields(text, fields, TWalk::Text, tableName, segments, count);
  if (count != text.KeyFieldCount || text.KeyLength != kTextKeyLength) Corrupt(tableName);
  CheckPages(h, text, tableName);
}

}  // namespace ledra
