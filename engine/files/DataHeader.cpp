#include "engine/files/DataHeader.h"

#include <cstring>
#include <unordered_set>

#include "engine/errors/EngineError.h"
#include "engine/files/Bytes.h"

namespace ledra {

namespace {
// Byte offsets inside the header.
constexpr size_t kOffChangeCount = 0;
constexpr size_t kOffBlobBlockSize = 4;
constexpr size_t kOffFormatVersion = 8;
constexpr size_t kOffFirstFreeRecord = 9;
constexpr size_t kOffNextRecordNo = 13;
constexpr size_t kOffLastAutoInc = 17;
constexpr size_t kOffRecordSize = 21;
constexpr size_t kOffFieldCount = 23;
constexpr size_t kOffBlobFieldCount = 25;
constexpr size_t kOffLastUpdated = 27;
constexpr size_t kOffTableDescription = 35;
constexpr size_t kOffEncrypted = 86;
constexpr size_t kOffTablePassword = 87;
constexpr size_t kOffLanguageId = 103;
constexpr size_t kOffSortId = 105;
constexpr size_t kOffUserMajorVersion = 107;
constexpr size_t kOffUserMinorVersion = 109;
constexpr size_t kOffHeaderModified = 111;
constexpr size_t kOffBlobStampCounter = 112;
constexpr size_t kOffWriterVersion = 116;
constexpr size_t kOffReserved = 124;
static_assert(kOffReserved + kDataHeaderReservedSize == kDataHeaderSize);
}  // namespace

int64_t TDataHeader::SlotsOffset() const {
  return int64_t(kDataHeaderSize) + int64_t(FieldCount) * int64_t(kFieldDescSize);
}

TDataHeader DecodeDataHeader(const uint8_t* bytes) {
  TDataHeader header;
  header.ChangeCount = GetLEInt32(bytes + kOffChangeCount);
  header.BlobBlockSize = GetLEInt32(bytes + kOffBlobBlockSize);
  header.FormatVersion = bytes[kOffFormatVersion];
  header.FirstFreeRecord = GetLEInt32(bytes + kOffFirstFreeRecord);
  header.NextRecordNo = GetLEInt32(bytes + kOffNextRecordNo);
  header.LastAutoInc = GetLEInt32(bytes + kOffLastAutoInc);
  header.RecordSize = GetLE16(bytes + kOffRecordSize);
  header.FieldCount = GetLE16(bytes + kOffFieldCount);
  header.BlobFieldCount = GetLE16(bytes + kOffBlobFieldCount);
  header.LastUpdated = GetLEDouble(bytes + kOffLastUpdated);
  header.TableDescription = GetShortString(bytes + kOffTableDescription, kTableDescriptionLength);
  header.Encrypted = bytes[kOffEncrypted];
  header.TablePassword = GetShortString(bytes + kOffTablePassword, kTablePasswordLength);
  header.LanguageId = GetLE16(bytes + kOffLanguageId);
  header.SortId = GetLE16(bytes + kOffSortId);
  header.UserMajorVersion = GetLE16(bytes + kOffUserMajorVersion);
  header.UserMinorVersion = GetLE16(bytes + kOffUserMinorVersion);
  header.HeaderModified = bytes[kOffHeaderModified];
  header.BlobStampCounter = GetLEInt32(bytes + kOffBlobStampCounter);
  header.WriterVersion = GetLEInt64(bytes + kOffWriterVersion);
  std::memcpy(header.Reserved.data(), bytes + kOffReserved, kDataHeaderReservedSize);
  return header;
}

void EncodeDataHeader(const TDataHeader& header, uint8_t* bytes) {
  PutLE32(bytes + kOffChangeCount, uint32_t(header.ChangeCount));
  PutLE32(bytes + kOffBlobBlockSize, uint32_t(header.BlobBlockSize));
  bytes[kOffFormatVersion] = header.FormatVersion;
  PutLE32(bytes + kOffFirstFreeRecord, uint32_t(header.FirstFreeRecord));
  PutLE32(bytes + kOffNextRecordNo, uint32_t(header.NextRecordNo));
  PutLE32(bytes + kOffLastAutoInc, uint32_t(header.LastAutoInc));
  PutLE16(bytes + kOffRecordSize, header.RecordSize);
  PutLE16(bytes + kOffFieldCount, header.FieldCount);
  PutLE16(bytes + kOffBlobFieldCount, header.BlobFieldCount);
  PutLEDouble(bytes + kOffLastUpdated, header.LastUpdated);
  PutShortString(bytes + kOffTableDescription, kTableDescriptionLength, header.TableDescription);
  bytes[kOffEncrypted] = header.Encrypted;
  PutShortString(bytes + kOffTablePassword, kTablePasswordLength, header.TablePassword);
  PutLE16(bytes + kOffLanguageId, header.LanguageId);
  PutLE16(bytes + kOffSortId, header.SortId);
  PutLE16(bytes + kOffUserMajorVersion, header.UserMajorVersion);
  PutLE16(bytes + kOffUserMinorVersion, header.UserMinorVersion);
  bytes[kOffHeaderModified] = header.HeaderModified;
  PutLE32(bytes + kOffBlobStampCounter, uint32_t(header.BlobStampCounter));
  PutLE64(bytes + kOffWriterVersion, uint64_t(header.WriterVersion));
  std::memcpy(bytes + kOffReserved, header.Reserved.data(), kDataHeaderReservedSize);
}

uint8_t UpperCaseChar1252(uint8_t c) {
  if (c >= 'a' && c <= 'z') return uint8_t(c - 32);
  switch (c) {
    case 0x9A:  // s caron
    case 0x9C:  // oe
    case 0x9E:  // z caron
      return uint8_t(c - 0x10);
    case 0xFF:  // y diaeresis
      return 0x9F;
    case 0xF7:  // division sign
      return c;
    default:
      return (c >= 0xE0 && c <= 0xFE) ? uint8_t(c - 0x20) : c;
  }
}

std::string FieldNameKey(std::string_view name) {
  size_t first = 0;
  size_t last = name.size();
  while (first < last && uint8_t(name[first]) <= ' ') ++first;
  while (last > first && uint8_t(name[last - 1]) <= ' ') --last;
  std::string key;
  key.reserve(last - first);
  for (size_t i = first; i < last; ++i) key.push_back(char(UpperCaseChar1252(uint8_t(name[i]))));
  return key;
}

void CheckDataHeaderImage(const TDataHeader& header, std::string_view tableName) {
  if (header.FormatVersion != kDataFormatVersion) RaiseTableError(LEDRA_OLDVERSION, tableName);
  // Everything after the header is addressed through these values: a count
  // of descriptors, the slot length (which must hold the slot prefix) and the
  // slot numbers of the free chain and of the next append.
  if (header.FieldCount > kMaxFieldCount || header.RecordSize < kSlotPrefixSize ||
      header.NextRecordNo < 1 || header.FirstFreeRecord < 0 ||
      header.FirstFreeRecord >= header.NextRecordNo) {
    RaiseTableError(LEDRA_HEADERCORRUPT, tableName);
  }
}

namespace {

bool ValidFirstNameChar(uint8_t upper) {
  return (upper >= 'A' && upper <= 'Z') || upper == '_' || (upper >= 128 && upper <= 254);
}

bool HasDeclaredSize(uint8_t fieldType) {
  return fieldType == fldString || fieldType == fldBytes || fieldType == fldVarBytes;
}

}  // namespace

void VerifyDataLayout(const TDataHeader& header, std::vector<TFieldDesc>& descs,
                      const std::vector<uint8_t>& storedNameLengths, int64_t fileLength,
                      const TLocaleCheck& localeInstalled, const TFieldTextValidator& validator,
                      std::string_view tableName) {
  auto corrupt = [&]() { RaiseTableError(LEDRA_HEADERCORRUPT, tableName); };

  if (header.FormatVersion != kDataFormatVersion) RaiseTableError(LEDRA_OLDVERSION, tableName);
  if (header.LanguageId != 0 && !(localeInstalled && localeInstalled(header.Lcid()))) {
    RaiseTableError(LEDRA_CANNOTLOADLDDRV, tableName);
  }
  if (descs.size() != header.FieldCount || header.FieldCount > kMaxFieldCount) corrupt();
  // The blob file's geometry comes from here; the format keeps it below 65536.
  if (header.BlobBlockSize < 0 || header.BlobBlockSize > 65535) corrupt();

  std::vector<TFieldDesc> checked = descs;
  std::unordered_set<std::string> names;
  std::vector<bool> fieldNumbers(size_t(header.FieldCount) + 1, false);
  names.reserve(checked.size());
  uint32_t running = kSlotPrefixSize;
  for (size_t i = 0; i < checked.size(); ++i) {
    TFieldDesc& desc = checked[i];
    desc.DataSize = DataSizeFor(desc.FieldType, desc.Size);
    desc.DataScale = desc.Scale;

    const size_t nameLength =
        i < storedNameLengths.size() ? storedNameLengths[i] : desc.FieldName.size();
    if (desc.FieldName.empty() || nameLength > kFieldNameLength ||
        !ValidFirstNameChar(UpperCaseChar1252(uint8_t(desc.FieldName[0])))) {
      corrupt();
    }
    if (!names.insert(FieldNameKey(desc.FieldName)).second) corrupt();
    // A FieldNo other than the position fails below; it may not repeat either.
    if (desc.FieldNo < fieldNumbers.size()) {
      if (fieldNumbers[desc.FieldNo]) corrupt();
      fieldNumbers[desc.FieldNo] = true;
    }

    if (desc.FieldType == fldUnknown) corrupt();
    if (HasDeclaredSize(desc.FieldType) ? desc.Size > kMaxDeclaredSize : desc.Size != 0) corrupt();

    if (validator) {
      for (const std::string* text : {&desc.DefaultValue, &desc.MinValue, &desc.MaxValue}) {
        if (!text->empty() && !validator(desc, *text)) corrupt();
      }
    }

    if (desc.Scale != 0 && desc.FieldType != fldBCD) corrupt();

    if (desc.IsAutoInc()) {
      if (desc.Offset != kAutoIncOffset) corrupt();
    } else {
      if (desc.Offset != running) corrupt();
      running += uint32_t(desc.DataSize) + 1;
    }

    if (desc.FieldNo != i + 1) corrupt();
  }
  if (header.RecordSize != running) corrupt();

  // The file holds exactly the header, the descriptors and whole slots.
  const int64_t slotsOffset = header.SlotsOffset();
  if (header.RecordSize == 0 || fileLength < slotsOffset) corrupt();
  const int64_t slotBytes = fileLength - slotsOffset;
  if (slotBytes % header.RecordSize != 0) corrupt();
  const int64_t slotCount = slotBytes / header.RecordSize;
  if (int64_t(header.NextRecordNo) != slotCount + 1) corrupt();
  if (header.FirstFreeRecord < 0 || int64_t(header.FirstFreeRecord) > slotCount) corrupt();

  descs = std::move(checked);
}

}  // namespace ledra
