#include "engine/files/DataFile.h"

#include <cstring>
#include <limits>

#include "engine/errors/EngineError.h"
#include "engine/files/Bytes.h"
#include "engine/files/LocaleServices.h"
#include "engine/files/TableCipher.h"
#include "platform/System.h"

namespace ledra {

namespace {

constexpr int64_t kDescsOffset = int64_t(kDataHeaderSize);

std::string_view CutTo(std::string_view text, size_t length) {
  return text.size() > length ? text.substr(0, length) : text;
}

// Counters that wrap from the largest value back to 1.
int32_t NextInSequence(int32_t last) {
  if (last == std::numeric_limits<int32_t>::max()) last = 0;
  return last + 1;
}

bool SameNameIgnoringCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (UpperCaseChar1252(uint8_t(a[i])) != UpperCaseChar1252(uint8_t(b[i]))) return false;
  }
  return true;
}

}  // namespace

TDataFile::TDataFile(std::string fileName) : TFileHandler(std::move(fileName)) {}

TDataFile::~TDataFile() {
  TDataFile::CloseTableFile();
}

// ---- Opening and closing ------------------------------------------------------

void TDataFile::OpenTableFile() {
  if (IsOpen()) return;
  TFileHandler::OpenTableFile();
  try {
    ReadHeader();
    ReadFieldDescs();
  } catch (...) {
    CloseTableFile();
    throw;
  }
}

void TDataFile::CloseTableFile() {
  ResetState();
  TFileHandler::CloseTableFile();
}

void TDataFile::ResetState() {
  header_ = TDataHeader();
  descs_.clear();
  descs_.shrink_to_fit();
  nameLengths_.clear();
  descsLoaded_ = false;
  descsModified_ = false;
}

// ---- Header ---------------------------------------------------------------------

std::array<uint8_t, kDataHeaderSize> TDataFile::ReadHeaderBytes() {
  std::array<uint8_t, kDataHeaderSize> bytes;
  TFileGuard guard(*this);
  Seek(kFromStart, 0);
  ReadBlock(bytes.data(), kDataHeaderSize);
  return bytes;
}

void TDataFile::CheckLoadedHeader(const TDataHeader& header) const {
  CheckDataHeaderImage(header, TableName());
  // The descriptors and every slot offset were worked out from the loaded
  // geometry; another user cannot change it while the table is open, so a
  // header that does is damaged.
  if (descsLoaded_ &&
      (header.FieldCount != header_.FieldCount || header.RecordSize != header_.RecordSize ||
       (header.Encrypted != 0) != (header_.Encrypted != 0))) {
    RaiseTableError(LEDRA_HEADERCORRUPT, TableName());
  }
}

void TDataFile::ReadHeader() {
  const auto bytes = ReadHeaderBytes();
  TDataHeader header = DecodeDataHeader(bytes.data());
  CheckLoadedHeader(header);
  header.HeaderModified = 0;
  header_ = std::move(header);
}

bool TDataFile::RefreshHeader() {
  const auto bytes = ReadHeaderBytes();
  // Every read bracket asks; almost always nothing moved, and the counter
  // alone (the header's first field) says so without decoding the texts.
  if (int32_t(GetLE32(bytes.data())) == header_.ChangeCount) return false;
  TDataHeader header = DecodeDataHeader(bytes.data());
  CheckLoadedHeader(header);
  header.HeaderModified = 0;
  header_ = std::move(header);
  return true;
}

bool TDataFile::WriteHeader(bool force) {
  if (!force && header_.HeaderModified == 0) return false;
  header_.ChangeCount = int32_t(uint32_t(header_.ChangeCount) + 1u);
  header_.WriterVersion = kDataWriterVersion;
  header_.LastUpdated = platform::NowDateTime() - kLastUpdatedDelta;
  EncodeDataHeader(header_, outBuffer_.data());
  try {
    WriteAt(0, outBuffer_.data(), kDataHeaderSize);
  } catch (...) {
    // The counter has advanced in memory only: the next flush writes again.
    header_.HeaderModified = 1;
    throw;
  }
  MarkWritten();
  header_.HeaderModified = 0;
  return true;
}

void TDataFile::MarkHeaderChanged() {
  header_.ChangeCount = int32_t(uint32_t(header_.ChangeCount) + 1u);
  header_.HeaderModified = 1;
  MarkWritten();
}

void TDataFile::MarkWritten() {
  writtenTo_ = true;
  if (writtenHook_) writtenHook_();
}

void TDataFile::CheckVersion() const {
  if (header_.FormatVersion != kDataFormatVersion) RaiseTableError(LEDRA_OLDVERSION, TableName());
}

void TDataFile::VerifyHeader(const TFieldTextValidator& validator) {
  const int64_t length = FileSize();
  if (localeCheck_) {
    VerifyDataLayout(header_, descs_, nameLengths_, length, localeCheck_, validator, TableName());
  } else {
    VerifyDataLayout(header_, descs_, nameLengths_, length, LocaleInstalled, validator,
                     TableName());
  }
}

// ---- Descriptors ----------------------------------------------------------------

void TDataFile::ReadFieldDescs() {
  const uint16_t count = header_.FieldCount;
  if (count > kMaxFieldCount) RaiseTableError(LEDRA_HEADERCORRUPT, TableName());
  const size_t length = size_t(count) * kFieldDescSize;
  std::vector<uint8_t> area(length);
  if (length > 0) {
    ReadAt(kDescsOffset, area.data(), int64_t(length));
  }
  if (Encrypted()) CipherDataRun(area.data(), area.size());

  std::vector<TFieldDesc> descs;
  std::vector<uint8_t> nameLengths;
  descs.reserve(count);
  nameLengths.reserve(count);
  for (size_t i = 0; i < count; ++i) {
    const uint8_t* bytes = area.data() + i * kFieldDescSize;
    descs.push_back(DecodeFieldDesc(bytes));
    nameLengths.push_back(bytes[2]);  // the FieldName length byte
  }
  descs_ = std::move(descs);
  nameLengths_ = std::move(nameLengths);
  descsLoaded_ = true;
  descsModified_ = false;
}

bool TDataFile::WriteFieldDescs() {
  if (!descsModified_) return false;
  std::vector<uint8_t> area(descs_.size() * kFieldDescSize);
  for (size_t i = 0; i < descs_.size(); ++i) {
    EncodeFieldDesc(descs_[i], area.data() + i * kFieldDescSize);
  }
  if (Encrypted()) CipherDataRun(area.data(), area.size());
  // No descriptors: nothing to write (a write of 0 bytes would cut the file).
  if (!area.empty()) {
    WriteAt(kDescsOffset, area.data(), int64_t(area.size()));
  }
  MarkWritten();
  if (forceBufferFlush_) FlushTableFile();
  descsModified_ = false;
  return true;
}

void TDataFile::SetFieldDescInfo(int i, const TFieldDesc& desc) {
  if (i < 1 || size_t(i) > descs_.size()) {
    RaiseEngineError(LEDRA_OUTOFRANGE, {.Field = std::to_string(i), .Table = TableName()});
  }
  TFieldDesc& target = descs_[size_t(i) - 1];
  target.FieldNo = desc.FieldNo;
  target.FieldName = std::string(CutTo(desc.FieldName, kFieldNameLength));
  target.SubType = desc.SubType;
  target.Description = std::string(CutTo(desc.Description, kFieldTextLength));
  target.Required = desc.Required;
  target.MinValue = std::string(CutTo(desc.MinValue, kFieldTextLength));
  target.MaxValue = std::string(CutTo(desc.MaxValue, kFieldTextLength));
  target.DefaultValue = std::string(CutTo(desc.DefaultValue, kFieldTextLength));
  nameLengths_[size_t(i) - 1] = uint8_t(target.FieldName.size());
  descsModified_ = true;
}

TFieldDesc TDataFile::FieldDesc(int i) const {
  if (i < 1 || size_t(i) > descs_.size()) {
    RaiseEngineError(LEDRA_OUTOFRANGE, {.Field = std::to_string(i), .Table = TableName()});
  }
  return descs_[size_t(i) - 1];
}

std::optional<TFieldDesc> TDataFile::FieldDescByNo(int fieldNo) const {
  for (const TFieldDesc& desc : descs_) {
    if (desc.FieldNo == fieldNo) return desc;
  }
  return std::nullopt;
}

int TDataFile::FieldPosition(std::string_view name) const {
  for (size_t i = 0; i < descs_.size(); ++i) {
    if (SameNameIgnoringCase(descs_[i].FieldName, name)) return int(i + 1);
  }
  return 0;
}

// ---- Creating and emptying ------------------------------------------------------

void TDataFile::CreateHeader(uint16_t languageId, uint16_t sortId, uint16_t userMajorVersion,
                             uint16_t userMinorVersion, bool encrypted, std::string_view password,
                             std::string_view description, uint16_t fieldCount,
                             const std::vector<TFieldDesc>& descs, int32_t blobBlockSize) {
  // Everything is worked out before the file is created, so that a refused
  // definition creates nothing.
  if (fieldCount > kMaxFieldCount || fieldCount > descs.size()) {
    RaiseTableError(LEDRA_FLDLIMIT, TableName());
  }
  if (blobBlockSize < 0 || blobBlockSize > 65535) RaiseTableError(LEDRA_BLOBLIMIT, TableName());

  TDataHeader header;
  header.LanguageId = languageId;
  header.SortId = sortId;
  header.UserMajorVersion = userMajorVersion;
  header.UserMinorVersion = userMinorVersion;
  header.Encrypted = encrypted ? 1 : 0;
  if (encrypted) {
    header.TablePassword = CipherText(CutTo(password, kTablePasswordLength));
    header.TableDescription = CipherText(CutTo(description, kTableDescriptionLength));
  } else {
    header.TableDescription = std::string(CutTo(description, kTableDescriptionLength));
  }
  header.FieldCount = fieldCount;
  header.BlobFieldCount = 0;
  header.BlobBlockSize = blobBlockSize;

  std::vector<TFieldDesc> copies(descs.begin(), descs.begin() + fieldCount);
  std::vector<uint8_t> nameLengths;
  nameLengths.reserve(fieldCount);
  uint32_t recordSize = kSlotPrefixSize;
  for (TFieldDesc& desc : copies) {
    // Held in memory as the file will hold them.
    desc.FieldName = std::string(CutTo(desc.FieldName, kFieldNameLength));
    desc.Description = std::string(CutTo(desc.Description, kFieldTextLength));
    desc.MinValue = std::string(CutTo(desc.MinValue, kFieldTextLength));
    desc.MaxValue = std::string(CutTo(desc.MaxValue, kFieldTextLength));
    desc.DefaultValue = std::string(CutTo(desc.DefaultValue, kFieldTextLength));
    // Working data of cursors and queries is never stored.
    desc.Reserved.fill(0);
    nameLengths.push_back(uint8_t(desc.FieldName.size()));
    if (desc.IsBlob()) {
      if (header.BlobFieldCount == kMaxBlobFieldCount) {
        RaiseTableError(LEDRA_BLOBLIMIT, TableName());
      }
      ++header.BlobFieldCount;
    }
    if (!desc.IsAutoInc() && desc.Computed == 0) recordSize += uint32_t(desc.DataSize) + 1;
  }
  if (recordSize > kMaxRecordSize) RaiseTableError(LEDRA_RECTOOBIG, TableName());

  header.FormatVersion = kDataFormatVersion;
  header.FirstFreeRecord = 0;
  header.NextRecordNo = 1;
  header.LastAutoInc = 0;
  header.ChangeCount = 0;
  header.RecordSize = uint16_t(recordSize);
  header.HeaderModified = 1;

  CreateTableFile();
  header_ = std::move(header);
  descs_ = std::move(copies);
  nameLengths_ = std::move(nameLengths);
  descsLoaded_ = true;
  descsModified_ = true;
}

void TDataFile::EmptyDataFile() {
  WriteAt(header_.SlotsOffset(), nullptr, 0);
  MarkWritten();
  if (forceBufferFlush_) FlushTableFile();
  header_.ChangeCount = 0;
  header_.FirstFreeRecord = 0;
  header_.NextRecordNo = 1;
  header_.LastAutoInc = 0;
  header_.HeaderModified = 1;
}

// ---- Table information ----------------------------------------------------------

void TDataFile::SetTableInfo(std::string_view password, std::string_view description,
                             uint16_t userMajorVersion, uint16_t userMinorVersion,
                             int32_t lastAutoInc) {
  if (Encrypted()) {
    header_.TablePassword = CipherText(CutTo(password, kTablePasswordLength));
    header_.TableDescription = CipherText(CutTo(description, kTableDescriptionLength));
  } else {
    header_.TablePassword.clear();
    header_.TableDescription = std::string(CutTo(description, kTableDescriptionLength));
  }
  header_.UserMajorVersion = userMajorVersion;
  header_.UserMinorVersion = userMinorVersion;
  header_.LastAutoInc = lastAutoInc;
  header_.HeaderModified = 1;
}

int32_t TDataFile::NextAutoIncValue() {
  header_.LastAutoInc = NextInSequence(header_.LastAutoInc);
  header_.HeaderModified = 1;
  return header_.LastAutoInc;
}

int32_t TDataFile::NextBlobStamp() {
  header_.BlobStampCounter = NextInSequence(header_.BlobStampCounter);
  header_.HeaderModified = 1;
  return header_.BlobStampCounter;
}

std::string TDataFile::TableDescription() const {
  return Encrypted() ? CipherText(header_.TableDescription) : header_.TableDescription;
}

std::string TDataFile::TablePassword() const {
  return Encrypted() ? CipherText(header_.TablePassword) : header_.TablePassword;
}

int32_t TDataFile::RecordSlotCount() const {
  return header_.NextRecordNo > 0 ? header_.NextRecordNo - 1 : 0;
}

int32_t TDataFile::BlobBlockSize() const {
  return header_.BlobBlockSize == 0 ? kDefaultBlobBlockSize : header_.BlobBlockSize;
}

std::array<uint8_t, kDataHeaderSize> TDataFile::RawHeader() const {
  std::array<uint8_t, kDataHeaderSize> bytes;
  EncodeDataHeader(header_, bytes.data());
  return bytes;
}

std::array<uint8_t, kDataHeaderSize> TDataFile::ReadRawHeader(const std::string& fileName,
                                                              bool inMemory) {
  TFileHandler handler(fileName);
  handler.SetInMemory(inMemory);
  handler.OpenTableFile();
  std::array<uint8_t, kDataHeaderSize> bytes;
  {
    TFileGuard guard(handler);
    handler.Seek(kFromStart, 0);
    handler.ReadBlock(bytes.data(), kDataHeaderSize);
  }
  handler.CloseTableFile();
  return bytes;
}

// ---- Record slots ---------------------------------------------------------------

int64_t TDataFile::SlotOffset(int32_t recordNo) const {
  return header_.SlotsOffset() + (int64_t(recordNo) - 1) * int64_t(header_.RecordSize);
}

void TDataFile::CheckAppend() const {
  const int64_t n = header_.NextRecordNo;
  if (n < 1) RaiseTableError(LEDRA_HEADERCORRUPT, TableName());
  if (n > kMaxRecordSlots ||
      header_.SlotsOffset() + n * int64_t(header_.RecordSize) > kMaxDataFileLength) {
    RaiseTableError(LEDRA_TABLEFULL, TableName());
  }
}

int32_t TDataFile::AppendRecordNo() {
  CheckAppend();
  const int32_t recordNo = header_.NextRecordNo;
  header_.NextRecordNo = recordNo + 1;
  header_.HeaderModified = 1;
  return recordNo;
}

void TDataFile::SetFirstFreeRecord(int32_t recordNo) {
  if (recordNo < 0 || recordNo >= header_.NextRecordNo) {
    RaiseTableError(LEDRA_FILECORRUPT, TableName());
  }
  header_.FirstFreeRecord = recordNo;
  header_.HeaderModified = 1;
}

int64_t TDataFile::CheckSlotRun(int32_t first, int32_t count) const {
  if (header_.RecordSize < kSlotPrefixSize) RaiseTableError(LEDRA_HEADERCORRUPT, TableName());
  const int64_t length = int64_t(count) * int64_t(header_.RecordSize);
  if (first < 1 || count < 0 || int64_t(first) + count > int64_t(header_.NextRecordNo) ||
      length > int64_t(std::numeric_limits<uint32_t>::max())) {
    RaiseTableError(LEDRA_FILECORRUPT, TableName());
  }
  return length;
}

int32_t TDataFile::ReadSlots(int32_t first, int32_t count, uint8_t* buffer, bool allowShort) {
  const int64_t length = CheckSlotRun(first, count);
  if (count == 0) return 0;
  uint32_t got = 0;
  got = ReadAt(SlotOffset(first), buffer, length, allowShort);
  const size_t recordSize = header_.RecordSize;
  const int32_t whole = int32_t(got / recordSize);
  if (Encrypted()) {
    for (int32_t k = 0; k < whole; ++k) CipherDataRun(buffer + size_t(k) * recordSize, recordSize);
  }
  return whole;
}

void TDataFile::WriteSlots(int32_t first, int32_t count, uint8_t* buffer) {
  const int64_t length = CheckSlotRun(first, count);
  if (count == 0) return;
  const size_t recordSize = header_.RecordSize;
  if (Encrypted()) {
    for (int32_t k = 0; k < count; ++k) CipherDataRun(buffer + size_t(k) * recordSize, recordSize);
  }
  WriteAt(SlotOffset(first), buffer, length);
  MarkWritten();
}

}  // namespace ledra
