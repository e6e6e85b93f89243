// The handler of a table's .DAT file: its header, its field descriptors and
// its record slots.
//
// A TDataFile owns the in-memory image of the 127-byte header (DataHeader.h)
// and one TFieldDesc per field. Header fields change in memory first, each
// change setting `HeaderModified`; WriteHeader writes them out with the
// change counter advanced. Descriptors are written by WriteFieldDescs when
// they are marked modified. ReadHeader and RefreshHeader are the only ways the
// in-memory header is replaced from disk.
//
// On-disk invariants kept here (other programs share the file and rely on
// them):
//   - the file is exactly 127 + FieldCount * 768 + (NextRecordNo - 1) *
//     RecordSize bytes long: header, descriptors, slots, nothing after;
//   - the header is read and written whole, 127 bytes at offset 0, and every
//     write of it advances ChangeCount, so other users notice the change;
//   - in an enciphered table each slot is its own cipher run, and so is the
//     whole descriptor area; the header stays plain apart from the characters
//     of the description and the password.
//
// Everything read from disk is checked before it is used: an unusable header
// fails the open (and closes the file again) with LEDRA_OLDVERSION or
// LEDRA_HEADERCORRUPT; VerifyHeader makes the full check of the table's
// definition against itself and the file's length.
//
// Every seek and the transfer that follows run inside the shared file
// object's section (TFileGuard). The handler is used by one session at a
// time; the table's lock protocol decides when the header may be written.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/files/DataHeader.h"
#include "engine/files/FieldDesc.h"
#include "engine/files/FileHandler.h"

namespace ledra {

class TDataFile : public TFileHandler {
 public:
  explicit TDataFile(std::string fileName = {});
  ~TDataFile() override;

  // ---- Opening and closing -------------------------------------------------

  // Opens the file, reads and checks the header (LEDRA_OLDVERSION,
  // LEDRA_HEADERCORRUPT for more than 1024 fields or an unusable geometry)
  // and reads the descriptors. Any failure closes the file again.
  void OpenTableFile() override;
  // Drops the header image and the descriptors and closes the file.
  void CloseTableFile() override;
  void OpenDataFile() { OpenTableFile(); }
  void CloseDataFile() { CloseTableFile(); }

  // ---- Header and descriptors ----------------------------------------------

  // Reads the header and makes it the in-memory header (HeaderModified 0).
  // A short read is LEDRA_READERR; a header that fails its checks, or that no
  // longer matches the loaded descriptors (field count, record size,
  // enciphering), LEDRA_OLDVERSION or LEDRA_HEADERCORRUPT. On failure the
  // in-memory header stays as it was.
  void ReadHeader();
  // Reads the header and replaces the in-memory one only when its ChangeCount
  // differs: true when it did. Checks and failures as ReadHeader.
  bool RefreshHeader();
  // Writes the header when forced or modified, advancing ChangeCount and
  // stamping the writer version and the time: true when written. A failed
  // write leaves HeaderModified set (ChangeCount has advanced). Does not
  // flush; the table's flush does.
  bool WriteHeader(bool force);
  // Records a header change without writing it (inside a transaction).
  void MarkHeaderChanged();
  // Reads FieldCount descriptors and marks them clean. On failure the loaded
  // descriptors stay as they were.
  void ReadFieldDescs();
  // Writes the descriptors when they are marked modified (flushing when
  // ForceBufferFlush is set): true when written. A failure keeps the mark.
  bool WriteFieldDescs();

  // Creates the file with a new header and the given descriptors, which must
  // already carry DataSize and Offset. Header and descriptors reach the disk
  // with the first WriteHeader / WriteFieldDescs. Fails with LEDRA_FLDLIMIT
  // (more than 1024 fields, or fewer descriptors than fieldCount),
  // LEDRA_BLOBLIMIT (a 129th blob field, a block size outside 0..65535) or
  // LEDRA_RECTOOBIG before anything is created.
  void CreateHeader(uint16_t languageId, uint16_t sortId, uint16_t userMajorVersion,
                    uint16_t userMinorVersion, bool encrypted, std::string_view password,
                    std::string_view description, uint16_t fieldCount,
                    const std::vector<TFieldDesc>& descs, int32_t blobBlockSize);

  // FormatVersion must be 5 (LEDRA_OLDVERSION).
  void CheckVersion() const;
  // The full check of the table definition, made under the table's read lock
  // when the table is first opened (see VerifyDataLayout). `validator` checks
  // the default, minimum and maximum texts against their field types; an
  // empty one accepts every text.
  void VerifyHeader(const TFieldTextValidator& validator = {});

  // Cuts the file after the descriptors and resets the record counters; the
  // header is written by the next WriteHeader.
  void EmptyDataFile();
  // Replaces the table's description, password (kept only when enciphered),
  // user versions and last row id in memory.
  void SetTableInfo(std::string_view password, std::string_view description,
                    uint16_t userMajorVersion, uint16_t userMinorVersion, int32_t lastAutoInc);
  // The next row id; after 2147483647 comes 1.
  int32_t NextAutoIncValue();
  // The next blob stamp, by the same rule.
  int32_t NextBlobStamp();
  // Replaces the name, number, subtype, description, required flag and value
  // texts of descriptor i (1-based); type, size, scale and offset stay.
  void SetFieldDescInfo(int i, const TFieldDesc& desc);

  // ---- Record slots --------------------------------------------------------

  // File offset of record n (n >= 1).
  int64_t SlotOffset(int32_t recordNo) const;
  // LEDRA_TABLEFULL unless record NextRecordNo may be appended: at most
  // 200000000 slots, and the slot's end not beyond byte 4000000000.
  void CheckAppend() const;
  // Checks the limits, then takes record number NextRecordNo for a new slot
  // (nothing is written): the number. The header is unchanged on failure.
  int32_t AppendRecordNo();
  // Sets the head of the free chain (0 = none).
  void SetFirstFreeRecord(int32_t recordNo);

  // Reads `count` slots from record `first` on into `buffer` (count *
  // RecordSize bytes), each deciphered as its own run: the number of whole
  // slots read. Fewer bytes than asked are LEDRA_READERR unless allowShort.
  // Slots outside 1 .. NextRecordNo - 1 are LEDRA_FILECORRUPT.
  int32_t ReadSlots(int32_t first, int32_t count, uint8_t* buffer, bool allowShort = false);
  // Writes `count` slot images from record `first` on with one write. The
  // buffer is scratch: each slot is enciphered in place.
  void WriteSlots(int32_t first, int32_t count, uint8_t* buffer);

  // ---- Header fields ---------------------------------------------------------

  const TDataHeader& Header() const { return header_; }
  int32_t ChangeCount() const { return header_.ChangeCount; }
  int32_t StoredBlobBlockSize() const { return header_.BlobBlockSize; }
  uint8_t FormatVersion() const { return header_.FormatVersion; }
  int32_t FirstFreeRecord() const { return header_.FirstFreeRecord; }
  int32_t NextRecordNo() const { return header_.NextRecordNo; }
  int32_t LastAutoInc() const { return header_.LastAutoInc; }
  uint16_t RecordSize() const { return header_.RecordSize; }
  uint16_t FieldCount() const { return header_.FieldCount; }
  uint16_t BlobFieldCount() const { return header_.BlobFieldCount; }
  double LastUpdated() const { return header_.LastUpdated; }
  bool Encrypted() const { return header_.Encrypted != 0; }
  uint16_t LanguageId() const { return header_.LanguageId; }
  uint16_t SortId() const { return header_.SortId; }
  uint16_t UserMajorVersion() const { return header_.UserMajorVersion; }
  uint16_t UserMinorVersion() const { return header_.UserMinorVersion; }
  bool HeaderModified() const { return header_.HeaderModified != 0; }
  int32_t BlobStampCounter() const { return header_.BlobStampCounter; }
  int64_t WriterVersion() const { return header_.WriterVersion; }
  // The deciphered description and password.
  std::string TableDescription() const;
  std::string TablePassword() const;
  // Record slots in the file (NextRecordNo - 1).
  int32_t RecordSlotCount() const;
  // The blob file's block size (a stored 0 means 512).
  int32_t BlobBlockSize() const;
  bool HasBlobs() const { return header_.BlobFieldCount != 0; }
  // The 127 header bytes as the in-memory header would be written.
  std::array<uint8_t, kDataHeaderSize> RawHeader() const;
  // The 127 header bytes of a table file that need not be open, read through
  // a short-lived shared open.
  static std::array<uint8_t, kDataHeaderSize> ReadRawHeader(const std::string& fileName,
                                                            bool inMemory);

  // ---- Descriptors -----------------------------------------------------------

  const std::vector<TFieldDesc>& FieldDescs() const { return descs_; }
  // A copy of descriptor i (1-based); LEDRA_OUTOFRANGE outside 1..FieldCount.
  TFieldDesc FieldDesc(int i) const;
  // The descriptor whose FieldNo is `fieldNo`, if any.
  std::optional<TFieldDesc> FieldDescByNo(int fieldNo) const;
  // The position (1-based) of the field of that name without regard to case;
  // 0 when there is none.
  int FieldPosition(std::string_view name) const;
  bool DescsModified() const { return descsModified_; }

  // ---- Settings and marks ----------------------------------------------------

  // Flush the system's buffers after writing descriptors or emptying.
  bool ForceBufferFlush() const { return forceBufferFlush_; }
  void SetForceBufferFlush(bool force) { forceBufferFlush_ = force; }
  // The name errors about the table carry; the file name until set.
  const std::string& TableName() const { return tableName_.empty() ? FileName() : tableName_; }
  void SetTableName(std::string tableName) { tableName_ = std::move(tableName); }
  // The locale check of VerifyHeader; the system's LocaleInstalled unless set.
  void SetLocaleCheck(TLocaleCheck check) { localeCheck_ = std::move(check); }

  // "The table was written to": set by every write of the header,
  // descriptors or slots, and by MarkHeaderChanged. The table reads and
  // clears it; the hook, when set, is called on every such write.
  bool WrittenTo() const { return writtenTo_; }
  void ClearWrittenTo() { writtenTo_ = false; }
  void SetWrittenHook(std::function<void()> hook) { writtenHook_ = std::move(hook); }

 protected:
  void MarkWritten();

 private:
  // Reads the 127 header bytes at offset 0, whole.
  std::array<uint8_t, kDataHeaderSize> ReadHeaderBytes();
  // The checks a header read from disk must pass before it replaces the
  // in-memory one.
  void CheckLoadedHeader(const TDataHeader& header) const;
  // Slots first .. first + count - 1 must exist; the byte length of the run.
  int64_t CheckSlotRun(int32_t first, int32_t count) const;
  void ResetState();

  TDataHeader header_;
  std::vector<TFieldDesc> descs_;
  // The stored length byte of each field name (a longer name is cut when
  // decoded; verification refuses it).
  std::vector<uint8_t> nameLengths_;
  bool descsLoaded_ = false;
  bool descsModified_ = false;
  // The header bytes handed to the file on a write.
  std::array<uint8_t, kDataHeaderSize> outBuffer_{};

  bool forceBufferFlush_ = false;
  std::string tableName_;
  TLocaleCheck localeCheck_;
  bool writtenTo_ = false;
  std::function<void()> writtenHook_;
};

}  // namespace ledra
