#include "engine/table/TableRepair.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <exception>
#include <limits>
#include <memory>
#include <numeric>
#include <optional>
#include <unordered_set>
#include <utility>

#include "engine/blob/BlobChain.h"
#include "engine/blob/BlobChecker.h"
#include "engine/blob/BlobFile.h"
#include "engine/blob/BlobHeader.h"
#include "engine/errors/EngineError.h"
#include "engine/files/Bytes.h"
#include "engine/files/DataFile.h"
#include "engine/files/DataHeader.h"
#include "engine/files/FieldText.h"
#include "engine/files/FileHandler.h"
#include "engine/files/FileList.h"
#include "engine/files/LocaleServices.h"
#include "engine/files/RecordLayout.h"
#include "engine/files/TableCipher.h"
#include "engine/files/TableFileNames.h"
#include "engine/index/BTree.h"
#include "engine/index/CharMaps.h"
#include "engine/index/IndexFile.h"
#include "engine/index/IndexHeader.h"
#include "engine/index/KeyWidth.h"
#include "engine/index/Keys.h"
#include "engine/index/TextIndexWords.h"
#include "engine/index/TextParams.h"
#include "engine/table/DataDirectory.h"
#include "engine/table/DataSession.h"
#include "engine/table/DataTable.h"
#include "engine/table/TableCreation.h"
#include "engine/table/TableDescription.h"
#include "engine/table/TableVerifier.h"
#include "platform/Cp1252.h"

namespace ledra {

namespace {

using platform::Cp1252ToUtf8;

// Progress is reported after this many units of work (a record read, a key
// inserted).
constexpr int64_t kProgressStep = 4096;
// Slots read from the data file at a time.
constexpr int32_t kSlotChunk = 4096;

std::string Rec(int32_t recordNo) {
  return "record " + std::to_string(recordNo);
}

std::string Quoted(std::string_view stored) {
  return "'" + Cp1252ToUtf8(stored) + "'";
}

// Whether a blob finding condemns the chain it names. Findings about the free
// list and lost blocks do not: the free list is rebuilt from the chains that
// stay.
bool BreaksChain(TBlobFault fault) {
  switch (fault) {
    case TBlobFault::ReferenceOutOfRange:
    case TBlobFault::LinkOutOfRange:
    case TBlobFault::BlockShared:
    case TBlobFault::ChainCycle:
    case TBlobFault::StampMismatch:
    case TBlobFault::PrevMismatch:
    case TBlobFault::LengthMismatch:
    case TBlobFault::MiddleTotalLength:
    case TBlobFault::UsedCountBad:
    case TBlobFault::ChainLength:
      return true;
    default:
      return false;
  }
}

const char* ChainFaultText(TBlobFault fault) {
  switch (fault) {
    case TBlobFault::ReferenceOutOfRange:
    case TBlobFault::LinkOutOfRange:
      return "chain leaves the file";
    case TBlobFault::BlockShared:
      return "chain shares a block with another";
    case TBlobFault::ChainCycle:
      return "chain loops";
    case TBlobFault::StampMismatch:
      return "a block carries another stamp";
    case TBlobFault::PrevMismatch:
      return "a previous link is wrong";
    default:
      return "lengths disagree";
  }
}

// A standalone handler on one of the table's files, closed on every path.
template <class THandler>
class TOpenHandler {
 public:
  THandler Handler;
  ~TOpenHandler() { Handler.CloseTableFile(); }
};

// The keys of one index as they will be inserted: KeyLength bytes each, with
// the record they belong to.
struct TKeySet {
  size_t KeyLength = 0;
  std::vector<uint8_t> Bytes;
  std::vector<int32_t> Records;

  size_t Count() const { return Records.size(); }
  const uint8_t* Key(size_t i) const { return Bytes.data() + i * KeyLength; }
  void Add(const uint8_t* key, int32_t recordNo) {
    Bytes.insert(Bytes.end(), key, key + KeyLength);
    Records.push_back(recordNo);
  }
};

// One index the rebuilt index file will hold.
struct TPlannedIndex {
  int Slot = 0;
  TIndexDesc Desc;
  std::string Label;
  std::unique_ptr<TIndexKeys> Keys;
  TKeySet Entries;
};

class TKeysOrder final : public TKeyComparator {
 public:
  explicit TKeysOrder(const TIndexKeys& keys) : keys_(keys) {}
  int CompareKeys(const uint8_t* a, const uint8_t* b, size_t n) const override {
    return keys_.CompareKeys(a, b, n);
  }

 private:
  const TIndexKeys& keys_;
};

class TTableRepair {
 public:
  TTableRepair(TDataDirectory& directory, std::string_view tableName, const TRepairOptions& options)
      : directory_(directory), name_(TrimBlanks(tableName)), options_(options) {}

  TRepairReport Run();

 private:
  [[noreturn]] void Refuse(TEngineErrorCode code, const std::string& why) const {
    RaiseEngineError(code, {.Text = why, .Table = name_, .Database = directory_.DatabaseName()});
  }
  void Change(std::string line) { report_.Changes.push_back(std::move(line)); }
  void Progress(int64_t units) {
    done_ += units;
    if (options_.Progress && done_ - reported_ >= kProgressStep) {
      reported_ = done_;
      options_.Progress(done_, std::max(done_, total_));
    }
  }

  uint8_t* Image(int32_t recordNo) { return images_.data() + size_t(recordNo - 1) * recordSize_; }
  bool Live(int32_t recordNo) { return Image(recordNo)[0] == 0; }
  int32_t RowId(int32_t recordNo) { return GetLEInt32(Image(recordNo) + kAutoIncOffset); }
  void SetRowId(int32_t recordNo, int32_t rowId) {
    PutLE32(Image(recordNo) + kAutoIncOffset, uint32_t(rowId));
    changed_[size_t(recordNo)] = 1;
  }

  // Looking, before anything is written.
  void ProbeDataFile();
  void ProbeIndexFile();
  void ProbeBlobFile();
  void CheckPassword() const;
  bool SoundAsItIs(TDataTable& table);
  void PlanRecords();
  void PlanIndexes();
  void BuildKeys();

  // Writing.
  void TakeBackup(TDataTable* table);
  void MendFilesBeforeOpen();
  void ReadTextParams(TDataTable& table);
  void RepairBlobs(TDataTable& table);
  void BuildTextKeys(TDataTable& table);
  void RebuildFreeChain();
  void WriteRecords(TDataTable& table);
  void RebuildIndexFile(TDataTable& table);
  void CheckRepaired(TDataTable& table);

  TDataTable& OpenTable();
  void CloseTable(TDataTable& table, bool failed);

  TDataDirectory& directory_;
  std::string name_;
  const TRepairOptions& options_;
  TRepairReport report_;
  int64_t done_ = 0;
  int64_t reported_ = 0;
  int64_t total_ = 0;

  std::string dataName_;
  std::string indexName_;
  std::string blobName_;

  // The data file: its header as read, its fields, its whole slots.
  TDataHeader header_;
  std::vector<TFieldDesc> fields_;
  size_t recordSize_ = 0;
  int32_t slots_ = 0;
  int64_t strayBytes_ = 0;
  bool geometryWrong_ = false;
  bool readOnly_ = false;
  std::vector<uint8_t> images_;
  std::vector<uint8_t> changed_;  // per record number, 1 = image changed
  int32_t lastAutoInc_ = 0;
  int32_t liveCount_ = 0;
  int32_t newFirstFree_ = 0;
  std::optional<TCharMap> charMap_;

  // The index file as found.
  bool indexExists_ = false;
  bool indexOpens_ = false;
  bool indexDecoded_ = false;
  TIndexHeader oldIndex_;
  std::string indexProblem_;

  // The blob file as found.
  bool blobNeeded_ = false;
  bool blobExists_ = false;
  bool blobOpens_ = false;
  bool blobDecoded_ = false;
  int64_t blobLength_ = 0;
  TBlobHeader oldBlob_;
  std::string blobProblem_;

  // The rebuilt index file.
  std::vector<TPlannedIndex> indexes_;  // primary and secondary, in slot order
  TPlannedIndex deleted_;
  std::optional<TPlannedIndex> text_;
  std::optional<TTextParams> textParams_;
  bool primary_ = false;
};

// ---- Looking --------------------------------------------------------------------------

void TTableRepair::ProbeDataFile() {
  TOpenHandler<TFileHandler> file;
  file.Handler.SetFileName(dataName_);
  file.Handler.SetExclusive(true);
  file.Handler.OpenTableFile();
  readOnly_ = file.Handler.ReadOnly() || file.Handler.ReadOnlyAttribute();
  const int64_t length = file.Handler.FileSize();

  std::array<uint8_t, kDataHeaderSize> raw{};
  if (length < int64_t(kDataHeaderSize)) {
    Refuse(LEDRA_READERR, "nothing was changed: the data file is shorter than its header");
  }
  file.Handler.ReadAt(0, raw.data(), int64_t(raw.size()));
  header_ = DecodeDataHeader(raw.data());
  if (header_.FormatVersion != kDataFormatVersion) {
    Refuse(LEDRA_OLDVERSION, "nothing was changed: the data file header names format version " +
                                 std::to_string(header_.FormatVersion));
  }
  if (header_.FieldCount > kMaxFieldCount || header_.RecordSize < kSlotPrefixSize) {
    Refuse(LEDRA_HEADERCORRUPT,
           "nothing was changed: the data file header's field count or record size cannot be "
           "right");
  }
  const int64_t slotsOffset = header_.SlotsOffset();
  if (length < slotsOffset) {
    Refuse(LEDRA_READERR, "nothing was changed: the data file ends inside its field descriptors");
  }
  std::vector<uint8_t> area(size_t(header_.FieldCount) * kFieldDescSize);
  if (!area.empty())
    file.Handler.ReadAt(int64_t(kDataHeaderSize), area.data(), int64_t(area.size()));
  if (header_.Encrypted != 0) CipherDataRun(area.data(), area.size());
  std::vector<uint8_t> nameLengths;
  for (size_t i = 0; i < header_.FieldCount; ++i) {
    fields_.push_back(DecodeFieldDesc(area.data() + i * kFieldDescSize));
    nameLengths.push_back(area[i * kFieldDescSize + 2]);
  }

  recordSize_ = header_.RecordSize;
  const int64_t slots = (length - slotsOffset) / int64_t(recordSize_);
  strayBytes_ = (length - slotsOffset) % int64_t(recordSize_);
  if (slots > kMaxRecordSlots) {
    Refuse(LEDRA_HEADERCORRUPT,
           "nothing was changed: the data file holds more slots than a table may");
  }
  slots_ = int32_t(slots);
  // The counters are checked against the slots there are; wrong ones are
  // mended, wrong descriptors refuse the repair.
  TDataHeader geometry = header_;
  geometry.NextRecordNo = slots_ + 1;
  geometry.FirstFreeRecord = 0;
  try {
    VerifyDataLayout(geometry, fields_, nameLengths, slotsOffset + slots * int64_t(recordSize_),
                     LocaleInstalled, DefaultTextIsValue, name_);
  } catch (const ELedraEngineError& error) {
    Refuse(error.ErrorCode,
           std::string("nothing was changed: the data file's header or field descriptors break a "
                       "rule (") +
               error.what() + ")");
  }
  geometryWrong_ = strayBytes_ != 0 || header_.NextRecordNo != slots_ + 1 ||
                   header_.FirstFreeRecord < 0 || header_.FirstFreeRecord > slots_;

  images_.assign(size_t(slots_) * recordSize_, 0);
  total_ = int64_t(slots_) * 3;
  try {
    for (int32_t first = 1; first <= slots_; first += kSlotChunk) {
      const int32_t count = std::min(kSlotChunk, slots_ - first + 1);
      uint8_t* at = Image(first);
      file.Handler.ReadAt(slotsOffset + int64_t(first - 1) * int64_t(recordSize_), at,
                          int64_t(count) * int64_t(recordSize_));
      if (header_.Encrypted != 0) {
        for (int32_t k = 0; k < count; ++k)
          CipherDataRun(at + size_t(k) * recordSize_, recordSize_);
      }
      Progress(count);
    }
  } catch (const ELedraEngineError& error) {
    Refuse(LEDRA_READERR, std::string("nothing was changed: the record slots cannot be read (") +
                              error.what() + ")");
  }
  changed_.assign(size_t(slots_) + 1, 0);
  blobNeeded_ = header_.BlobFieldCount != 0;
}

void TTableRepair::CheckPassword() const {
  if (header_.Encrypted == 0) return;
  if (!directory_.Session().HasPassword(CipherText(header_.TablePassword))) {
    RaiseTableError(LEDRA_NOTSUFFTABLERIGHTS, name_, directory_.DatabaseName());
  }
}

void TTableRepair::ProbeIndexFile() {
  indexExists_ = TFileList::Instance().Exists(indexName_, false);
  if (!indexExists_) {
    indexProblem_ = "the index file is missing";
    return;
  }
  TOpenHandler<TFileHandler> file;
  file.Handler.SetFileName(indexName_);
  file.Handler.SetExclusive(true);
  file.Handler.OpenTableFile();
  readOnly_ = readOnly_ || file.Handler.ReadOnly() || file.Handler.ReadOnlyAttribute();
  std::vector<uint8_t> block(kIndexHeaderSize);
  const uint32_t got = file.Handler.ReadAt(0, block.data(), int64_t(block.size()), true);
  if (got < kIndexHeaderSize) {
    indexProblem_ = "the index file is shorter than its header";
    return;
  }
  if (header_.Encrypted != 0) CipherDataRun(block.data(), block.size());
  DecodeIndexHeader(block.data(), oldIndex_);
  indexDecoded_ = true;
  // The engine refuses to open a header that counts more secondary indexes
  // than there are slots; such a header is kept only as far as it goes.
  indexOpens_ = oldIndex_.SecondaryIndexCount <= kMaxSecondary;
  if (!indexOpens_) indexProblem_ = "the index file header counts too many indexes";
}

void TTableRepair::ProbeBlobFile() {
  if (!blobNeeded_) return;
  blobExists_ = TFileList::Instance().Exists(blobName_, false);
  if (!blobExists_) {
    blobProblem_ = "the blob file is missing";
    return;
  }
  {
    TOpenHandler<TFileHandler> file;
    file.Handler.SetFileName(blobName_);
    file.Handler.SetExclusive(true);
    file.Handler.OpenTableFile();
    readOnly_ = readOnly_ || file.Handler.ReadOnly() || file.Handler.ReadOnlyAttribute();
    blobLength_ = file.Handler.FileSize();
    if (blobLength_ >= int64_t(kBlobHeaderSize)) {
      std::vector<uint8_t> raw(kBlobHeaderSize);
      file.Handler.ReadAt(0, raw.data(), int64_t(raw.size()));
      if (header_.Encrypted != 0) CipherDataRun(raw.data(), raw.size());
      oldBlob_ = DecodeBlobHeader(raw.data());
      blobDecoded_ = true;
    }
  }
  TOpenHandler<TBlobFile> blob;
  blob.Handler.SetFileName(blobName_);
  blob.Handler.SetExclusive(true);
  blob.Handler.SetEncrypted(header_.Encrypted != 0);
  blob.Handler.SetTableName(name_);
  try {
    blob.Handler.SetBlockSize(header_.BlobBlockSize);
    blob.Handler.OpenBlobFile();
    blobOpens_ = true;
  } catch (const ELedraEngineError& error) {
    if (!IsDamagedFileError(error.ErrorCode)) throw;
    blobProblem_ = std::string("the blob file header is unreadable (") + error.what() + ")";
  }
}

bool TTableRepair::SoundAsItIs(TDataTable& table) {
  try {
    table.IndexFile().VerifyIndexHeader();
  } catch (const ELedraEngineError& error) {
    if (!IsDamagedFileError(error.ErrorCode)) throw;
    return false;
  }
  TTableVerifier verifier(table);
  return verifier.Run().empty();
}

// The slots as they should be: deleted flags 0 or 1, one row id per live
// record and per free slot, LastAutoInc beyond every row id.
void TTableRepair::PlanRecords() {
  std::unordered_set<int32_t> liveIds;
  std::unordered_set<int32_t> freeIds;
  std::vector<int32_t> renumber;
  int32_t highest = header_.LastAutoInc;
  for (int32_t r = 1; r <= slots_; ++r) {
    uint8_t* image = Image(r);
    if (image[0] > 1) {
      Change(Rec(r) + ": deleted flag " + std::to_string(image[0]) +
             " is neither 0 nor 1; the slot is taken as free");
      image[0] = 1;
      changed_[size_t(r)] = 1;
    }
    const int32_t rowId = RowId(r);
    highest = std::max(highest, rowId);
    if (!(Live(r) ? liveIds : freeIds).insert(rowId).second) renumber.push_back(r);
    if (Live(r)) ++liveCount_;
  }
  // Two slots of one kind with one row id would share a key; the later one
  // gets a new row id (for a live record, its AutoInc value).
  int32_t next = highest;
  for (int32_t r : renumber) {
    const int32_t old = RowId(r);
    do {
      next = next == std::numeric_limits<int32_t>::max() ? 1 : next + 1;
    } while (liveIds.count(next) != 0 || freeIds.count(next) != 0);
    (Live(r) ? liveIds : freeIds).insert(next);
    SetRowId(r, next);
    highest = std::max(highest, next);
    Change((Live(r) ? Rec(r) : "free slot " + std::to_string(r)) + ": row id " +
           std::to_string(old) + " was given twice; now " + std::to_string(next));
  }
  lastAutoInc_ = highest;
  if (lastAutoInc_ != header_.LastAutoInc) {
    Change("LastAutoInc " + std::to_string(header_.LastAutoInc) + " -> " +
           std::to_string(lastAutoInc_));
  }
}

// The index definitions the rebuilt file keeps: those of the old header that
// still describe keys of this table.
void TTableRepair::PlanIndexes() {
  charMap_ = GetCharMap(header_.LanguageId, header_.SortId);
  const std::span<const TFieldDesc> fields(fields_);
  auto keysFor = [&](int slot, const TIndexDesc& desc) {
    return std::make_unique<TIndexKeys>(slot, desc, fields, uint32_t(recordSize_),
                                        header_.LanguageId, header_.SortId, *charMap_, name_);
  };
  // A definition the engine would refuse: a field that is missing or a blob,
  // a field list that does not end where its count says, a key length that
  // disagrees with the fields.
  auto usable = [&](const TIndexDesc& desc, bool unique, std::string& why) {
    if (desc.KeyFieldCount == 0 || desc.KeyFieldCount > kMaxKeyFields) {
      why = "it names " + std::to_string(desc.KeyFieldCount) + " key fields";
      return false;
    }
    uint32_t segments = 0;
    for (int i = 0; i < kMaxKeyFields; ++i) {
      const uint16_t fieldNo = desc.KeyFields[size_t(i)];
      if (i >= desc.KeyFieldCount) {
        if (fieldNo != 0) {
          why = "its field list runs past its count";
          return false;
        }
        continue;
      }
      auto field = std::find_if(fields_.begin(), fields_.end(),
                                [&](const TFieldDesc& f) { return f.FieldNo == fieldNo; });
      if (field == fields_.end() || field->IsBlob()) {
        why = "it names field " + std::to_string(fieldNo) + ", which cannot be a key field";
        return false;
      }
      segments += KeyWidth(*field) + 1u;
    }
    if (desc.KeyLength != segments + (unique ? 0u : uint32_t(kRowIdTailLength))) {
      why = "its key length disagrees with its fields";
      return false;
    }
    return true;
  };

  if (!indexDecoded_) {
    Change(indexProblem_ +
           ": the index definitions are lost; the table is left without a "
           "primary index, secondary indexes and text index (define them again)");
  } else {
    if (!indexOpens_) Change(indexProblem_ + "; the definitions are taken as far as they go");
    std::vector<std::string> names;
    const int count = std::min<int>(oldIndex_.SecondaryIndexCount, kMaxSecondary);
    for (int slot = 0; slot <= count; ++slot) {
      if (slot == kPrimarySlot &&
          (oldIndex_.NoPrimaryIndex != 0 || oldIndex_.Descs[size_t(slot)].KeyFieldCount == 0)) {
        continue;
      }
      TIndexDesc desc = oldIndex_.Descs[size_t(slot)];
      // Temporary indexes never reach the file; a slot beyond a damaged
      // count is empty.
      if (desc.Temporary != 0 || (desc.KeyFieldCount == 0 && desc.IndexName().empty())) continue;
      const std::string label =
          slot == kPrimarySlot ? std::string("primary index") : "index " + Quoted(desc.IndexName());
      std::string why;
      bool keep = usable(desc, slot == kPrimarySlot || desc.Unique != 0, why);
      if (keep && slot != kPrimarySlot) {
        const std::string name = desc.IndexName();
        if (!IndexNameStartsValid(name)) {
          keep = false;
          why = "its name is not valid";
        } else if (std::any_of(names.begin(), names.end(),
                               [&](const std::string& n) { return SameIndexName(n, name); })) {
          keep = false;
          why = "another index has its name";
        } else {
          names.push_back(name);
        }
      }
      std::unique_ptr<TIndexKeys> keys;
      if (keep) {
        try {
          if (slot == kPrimarySlot) desc.Unique = 1;
          keys = keysFor(slot, desc);
        } catch (const ELedraEngineError& error) {
          keep = false;
          why = error.what();
        }
      }
      if (!keep) {
        Change(label + " dropped: its definition is damaged (" + why + ")");
        continue;
      }
      TPlannedIndex planned;
      planned.Slot = slot;
      planned.Desc = desc;
      planned.Label = label;
      planned.Keys = std::move(keys);
      if (slot == kPrimarySlot) primary_ = true;
      indexes_.push_back(std::move(planned));
    }
    if (oldIndex_.NoPrimaryIndex == 0 && !primary_ &&
        oldIndex_.Descs[kPrimarySlot].KeyFieldCount == 0) {
      Change("primary index dropped: its definition names no fields");
    }

    TIndexDesc text = oldIndex_.Descs[kTextSlot];
    if (text.KeyFieldCount != 0) {
      bool keep = text.KeyFieldCount <= kMaxKeyFields;
      for (int i = 0; keep && i < text.KeyFieldCount; ++i) {
        auto field = std::find_if(fields_.begin(), fields_.end(), [&](const TFieldDesc& f) {
          return f.FieldNo == text.KeyFields[size_t(i)];
        });
        keep = field != fields_.end() &&
               (field->FieldType == fldString ||
                (field->FieldType == fldBlob && field->SubType == kSubTypeMemo));
      }
      if (keep) {
        TPlannedIndex planned;
        planned.Slot = kTextSlot;
        planned.Desc = FreshIndexHeader().Descs[kTextSlot];
        planned.Desc.KeyFieldCount = text.KeyFieldCount;
        planned.Desc.KeyFields.fill(0);
        for (int i = 0; i < text.KeyFieldCount; ++i) {
          planned.Desc.KeyFields[size_t(i)] = text.KeyFields[size_t(i)];
        }
        planned.Label = "text index";
        planned.Keys = keysFor(kTextSlot, planned.Desc);
        text_ = std::move(planned);
      } else {
        Change("text index dropped: its definition names fields it cannot hold");
      }
    }
  }
  deleted_.Slot = kDeletedSlot;
  deleted_.Desc = FreshIndexHeader().Descs[kDeletedSlot];
  deleted_.Label = "deleted-records index";
  deleted_.Keys = keysFor(kDeletedSlot, deleted_.Desc);
}

// The keys of every index but the text index, sorted; two records with one
// key of a unique index refuse the repair, which cannot choose between them.
void TTableRepair::BuildKeys() {
  std::vector<uint8_t> key(kMaxStoredKeyLength + 4);
  auto sortKeys = [&](TPlannedIndex& index) {
    TKeySet& set = index.Entries;
    std::vector<size_t> order(set.Count());
    std::iota(order.begin(), order.end(), size_t(0));
    const size_t n = set.KeyLength;
    std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) {
      return index.Keys->CompareKeys(set.Key(a), set.Key(b), n) < 0;
    });
    TKeySet sorted;
    sorted.KeyLength = n;
    sorted.Bytes.reserve(set.Bytes.size());
    sorted.Records.reserve(set.Count());
    for (size_t i : order) sorted.Add(set.Key(i), set.Records[i]);
    set = std::move(sorted);
  };

  for (TPlannedIndex& index : indexes_) {
    index.Entries.KeyLength = index.Keys->KeyLength();
    for (int32_t r = 1; r <= slots_; ++r) {
      if (!Live(r)) continue;
      index.Keys->BuildKey(Image(r), key.data());
      index.Entries.Add(key.data(), r);
    }
    sortKeys(index);
    const TKeySet& set = index.Entries;
    for (size_t i = 1; i < set.Count(); ++i) {
      if (index.Keys->CompareKeys(set.Key(i - 1), set.Key(i), set.KeyLength) == 0) {
        RaiseEngineError(
            LEDRA_KEYVIOL,
            {.Text = "nothing was changed: " + Rec(set.Records[i - 1]) + " and " +
                     Rec(set.Records[i]) + " have the same key",
             .Index = index.Slot == kPrimarySlot ? std::string("Primary") : index.Desc.IndexName(),
             .Table = name_,
             .Database = directory_.DatabaseName()});
      }
    }
    Progress(int64_t(liveCount_));
  }
  deleted_.Entries.KeyLength = kDeletedKeyLength;
  for (int32_t r = 1; r <= slots_; ++r) {
    TIndexKeys::BuildDeletedKey(Image(r), key.data());
    deleted_.Entries.Add(key.data(), r);
  }
  sortKeys(deleted_);
}

// ---- Writing ---------------------------------------------------------------------------

void TTableRepair::TakeBackup(TDataTable* table) {
  struct TFile {
    const std::string& Name;
    std::string_view BackupExt;
    TFileHandler* Open;
  };
  TFileHandler* data = table ? &table->DataFile() : nullptr;
  TFileHandler* index = table ? &table->IndexFile() : nullptr;
  TFileHandler* blob = table && table->HasBlobs() ? &table->BlobFile() : nullptr;
  const TFile files[] = {{dataName_, kDataBackupExt, data},
                         {indexName_, kIndexBackupExt, index},
                         {blobName_, kBlobBackupExt, blob}};
  TFileList& list = TFileList::Instance();
  for (const TFile& file : files) {
    const std::string backup = TableFileName(directory_.Path(), name_, file.BackupExt);
    if (file.Open != nullptr && file.Open->IsOpen()) {
      file.Open->CopyTableFileTo(backup, 0, {}, nullptr, false);
      continue;
    }
    if (!list.Exists(file.Name, false)) {
      // An older backup of a file the table no longer has would not belong
      // with the others.
      if (list.Exists(backup, false)) {
        const int32_t deleted = list.Delete(backup, false);
        if (deleted < 0) RaiseTableError(TEngineErrorCode(-deleted), name_);
      }
      continue;
    }
    TOpenHandler<TFileHandler> source;
    source.Handler.SetFileName(file.Name);
    source.Handler.SetExclusive(true);
    source.Handler.OpenTableFile();
    source.Handler.CopyTableFileTo(backup, 0, {}, nullptr, false);
  }
  report_.BackupTaken = true;
}

// What keeps the engine from opening the table: data file counters that do
// not fit its slots, an index header it cannot read, a blob file that is
// missing or whose header it cannot read.
void TTableRepair::MendFilesBeforeOpen() {
  if (geometryWrong_) {
    TOpenHandler<TFileHandler> file;
    file.Handler.SetFileName(dataName_);
    file.Handler.SetExclusive(true);
    file.Handler.OpenTableFile();
    const int64_t end = header_.SlotsOffset() + int64_t(slots_) * int64_t(recordSize_);
    if (strayBytes_ != 0) {
      file.Handler.WriteAt(end, nullptr, 0);
      Change("data file cut after its last whole slot: " + std::to_string(strayBytes_) +
             " stray bytes removed");
    }
    if (header_.NextRecordNo != slots_ + 1) {
      Change("record slots " + std::to_string(std::max(header_.NextRecordNo - 1, 0)) + " -> " +
             std::to_string(slots_) + " (the slots the data file holds)");
    }
    TDataHeader mended = header_;
    mended.NextRecordNo = slots_ + 1;
    if (mended.FirstFreeRecord < 0 || mended.FirstFreeRecord > slots_) mended.FirstFreeRecord = 0;
    mended.ChangeCount = header_.ChangeCount + 1;
    mended.HeaderModified = 1;
    std::array<uint8_t, kDataHeaderSize> raw{};
    EncodeDataHeader(mended, raw.data());
    file.Handler.WriteAt(0, raw.data(), int64_t(raw.size()));
    header_ = mended;
  }
  if (indexExists_ && !indexOpens_) {
    // The table's open makes a missing index file afresh.
    const int32_t deleted = TFileList::Instance().Delete(indexName_, false);
    if (deleted < 0) RaiseTableError(TEngineErrorCode(-deleted), name_);
  }
  if (blobNeeded_ && !blobOpens_) {
    TOpenHandler<TBlobFile> blob;
    blob.Handler.SetFileName(blobName_);
    blob.Handler.SetExclusive(true);
    blob.Handler.SetEncrypted(header_.Encrypted != 0);
    blob.Handler.SetTableName(name_);
    blob.Handler.SetBlockSize(header_.BlobBlockSize);
    const int32_t blockSize = blob.Handler.BlockSize();
    const int64_t blocks =
        blobExists_ && blobLength_ > int64_t(kBlobHeaderSize)
            ? std::min<int64_t>((blobLength_ - int64_t(kBlobHeaderSize)) / blockSize,
                                TBlobFile::kMaxBlockNo - 1)
            : 0;
    if (blocks == 0) {
      // Nothing of the old file can be kept.
      blob.Handler.CreateTableFile();
      blob.Handler.WriteBlobHeader(true);
      Change(blobProblem_ + ": made afresh, empty");
    } else {
      // The blocks stay; the header is written anew over them, counting the
      // whole blocks the file holds. Chains and the free list are checked
      // afterwards like those of any other blob file.
      TBlobHeader header = blobDecoded_ ? oldBlob_ : FreshBlobHeader();
      header.ChangeCount = blobDecoded_ ? oldBlob_.ChangeCount + 1 : 1;
      header.FormatVersion = kBlobFormatVersion;
      header.FirstFreeBlock = 0;
      header.NextBlockNo = int32_t(blocks) + 1;
      header.HeaderModified = 1;
      std::vector<uint8_t> raw(kBlobHeaderSize);
      EncodeBlobHeader(header, raw.data());
      if (header_.Encrypted != 0) CipherDataRun(raw.data(), raw.size());
      TOpenHandler<TFileHandler> file;
      file.Handler.SetFileName(blobName_);
      file.Handler.SetExclusive(true);
      file.Handler.OpenTableFile();
      file.Handler.WriteAt(0, raw.data(), int64_t(raw.size()));
      Change(blobProblem_ + ": header written anew for its " + std::to_string(blocks) + " blocks");
    }
  }
}

void TTableRepair::ReadTextParams(TDataTable& table) {
  if (!text_) return;
  if (indexOpens_ && oldIndex_.Descs[kTextSlot].TextParamPage == 0) {
    // The text index never had parameters, so it never held a word.
    return;
  }
  try {
    if (indexOpens_) textParams_ = ledra::ReadTextParams(table);
  } catch (const ELedraEngineError& error) {
    if (!IsDamagedFileError(error.ErrorCode)) throw;
  }
  if (!textParams_) {
    textParams_ = DefaultTextParams();
    Change(
        "text index parameters unreadable: the default word characters are used and the "
        "stop words are lost");
  }
}

void TTableRepair::RepairBlobs(TDataTable& table) {
  if (!blobNeeded_) return;
  TBlobFile& blob = table.BlobFile();
  // Blocks are written before the header that counts them: a program that
  // died between the two left whole blocks past the count, which records
  // may already name. They are taken in; those no chain keeps become free.
  const int64_t whole = std::min<int64_t>(
      (blob.FileSize() - int64_t(kBlobHeaderSize)) / blob.BlockSize(), TBlobFile::kMaxBlockNo - 1);
  if (whole > int64_t(blob.BlockCount())) {
    Change("blob file: " + std::to_string(whole - blob.BlockCount()) +
           " whole blocks past its header's count taken in");
    blob.SetNextBlockNo(int32_t(whole) + 1);
  }
  struct TOwner {
    int32_t Record;
    const TFieldDesc* Field;
  };
  auto setNull = [&](int32_t r, const TFieldDesc& field) {
    std::fill_n(Image(r) + field.Offset, 9, uint8_t(0));
    changed_[size_t(r)] = 1;
  };
  std::vector<TBlobReference> references;
  std::vector<TOwner> owners;
  for (int32_t r = 1; r <= slots_; ++r) {
    if (!Live(r)) continue;
    for (const TFieldDesc& field : fields_) {
      if (!field.IsBlob()) continue;
      uint8_t* at = Image(r) + field.Offset;
      const int32_t reference = GetLEInt32(at + 1);
      const std::string where = Rec(r) + ": blob field " + Quoted(field.FieldName);
      if (reference < 0) {
        setNull(r, field);
        Change(where + " cut (negative reference), set to null");
        continue;
      }
      if (reference == 0) {
        if (at[0] != 0) {
          setNull(r, field);
          Change(where + " marked present without a value, set to null");
        }
        continue;
      }
      references.push_back({reference, GetLEInt32(at + 5), -1});
      owners.push_back({r, &field});
    }
  }

  // Each round cuts the chains the check condemns; a chain that shared its
  // blocks with a cut one is sound in the next.
  bool anyCut = false;
  bool freeListWrong = false;
  std::vector<uint8_t> cut(references.size(), 0);
  for (;;) {
    std::vector<TBlobReference> kept;
    std::vector<size_t> keptAt;
    for (size_t k = 0; k < references.size(); ++k) {
      if (cut[k] != 0) continue;
      kept.push_back(references[k]);
      keptAt.push_back(k);
    }
    const std::vector<TBlobFinding> findings = CheckBlobFile(blob, kept);
    bool cutNow = false;
    freeListWrong = false;
    for (const TBlobFinding& finding : findings) {
      if (finding.Fault == TBlobFault::ReadFailed) {
        Refuse(LEDRA_MEMOCORRUPT, "the blob file cannot be read: " + finding.Text);
      }
      if (!BreaksChain(finding.Fault) || finding.Reference < 0 ||
          size_t(finding.Reference) >= kept.size()) {
        freeListWrong = true;
        continue;
      }
      const size_t k = keptAt[size_t(finding.Reference)];
      if (cut[k] != 0) continue;
      cut[k] = 1;
      cutNow = anyCut = true;
      const TOwner& owner = owners[k];
      setNull(owner.Record, *owner.Field);
      Change(Rec(owner.Record) + ": blob field " + Quoted(owner.Field->FieldName) + " cut (" +
             ChainFaultText(finding.Fault) + "), set to null");
    }
    if (!cutNow) break;
  }
  // Keep the values whose null flag alone was wrong.
  for (size_t k = 0; k < references.size(); ++k) {
    if (cut[k] != 0) continue;
    uint8_t* at = Image(owners[k].Record) + owners[k].Field->Offset;
    if (at[0] == 0) {
      at[0] = 1;
      changed_[size_t(owners[k].Record)] = 1;
      Change(Rec(owners[k].Record) + ": blob field " + Quoted(owners[k].Field->FieldName) +
             " was marked null over a sound value; the value is kept");
    }
  }
  if (!anyCut && !freeListWrong) return;

  // The free list: every block no kept chain holds, in block order.
  const int32_t blocks = blob.BlockCount();
  std::vector<uint8_t> held(size_t(blocks) + 1, 0);
  for (size_t k = 0; k < references.size(); ++k) {
    if (cut[k] != 0) continue;
    for (int32_t n = references[k].FirstBlock; n != 0;) {
      held[size_t(n)] = 1;
      TBlock* block = blob.GetBlock(n, true, 1, nullptr);
      const int32_t next = block->NextBlock();
      blob.ReleaseBlock(block);
      n = next;
    }
  }
  int32_t wasFree = 0;
  {
    std::vector<uint8_t> seen(size_t(blocks) + 1, 0);
    for (int32_t n = blob.FirstFreeBlock(); blob.IsValidBlockNo(n) && seen[size_t(n)] == 0;) {
      seen[size_t(n)] = 1;
      ++wasFree;
      TBlock* block = blob.GetBlock(n, true, 1, nullptr);
      const int32_t next = block->NextBlock();
      blob.ReleaseBlock(block);
      n = next;
    }
  }
  blob.SetFirstFreeBlock(0);
  int32_t free = 0;
  for (int32_t n = blocks; n >= 1; --n) {
    if (held[size_t(n)] != 0) continue;
    TBlock* block = blob.GetBlock(n, false, 1, nullptr);
    try {
      blob.FreeBlock(block);
    } catch (...) {
      blob.ReleaseBlock(block);
      throw;
    }
    blob.ReleaseBlock(block);
    ++free;
  }
  Change("blob free list rebuilt: " + std::to_string(free) + " free blocks (was " +
         std::to_string(wasFree) + ")");
}

// The words of the text index: a string field's value, a memo's stored
// value, as the record update path indexes them.
void TTableRepair::BuildTextKeys(TDataTable& table) {
  if (!text_ || !textParams_) return;
  TPlannedIndex& index = *text_;
  index.Entries.KeyLength = kTextKeyLength;
  TTextIndexWords splitter(*textParams_, TableLocale(header_.LanguageId, header_.SortId));
  std::vector<uint8_t> key(kTextKeyLength);
  std::vector<uint8_t> memo;
  std::vector<std::string> words;
  for (int32_t r = 1; r <= slots_; ++r) {
    if (!Live(r)) continue;
    uint8_t* image = Image(r);
    for (int i = 0; i < index.Desc.KeyFieldCount; ++i) {
      const uint16_t fieldNo = index.Desc.KeyFields[size_t(i)];
      const TFieldDesc& field =
          *std::find_if(fields_.begin(), fields_.end(),
                        [&](const TFieldDesc& f) { return f.FieldNo == fieldNo; });
      if (field.IsBlob()) {
        const int32_t reference = GetLEInt32(image + field.Offset + 1);
        if (reference <= 0) continue;
        try {
          LoadBlobValue(table.BlobFile(), reference, GetLEInt32(image + field.Offset + 5), memo,
                        nullptr);
        } catch (const ELedraEngineError& error) {
          if (!IsDamagedFileError(error.ErrorCode) && error.ErrorCode != LEDRA_ENDOFBLOB &&
              error.ErrorCode != LEDRA_KEYORRECDELETED) {
            throw;
          }
          // Checked sound a moment ago; should it fail even so, the value
          // goes like any other broken chain.
          std::fill_n(image + field.Offset, 9, uint8_t(0));
          changed_[size_t(r)] = 1;
          Change(Rec(r) + ": blob field " + Quoted(field.FieldName) +
                 " cut (cannot be read), set to null");
          continue;
        }
        words = splitter.Extract(
            std::string_view(reinterpret_cast<const char*>(memo.data()), memo.size()));
      } else {
        if (image[field.Offset] == 0) continue;
        const char* chars = reinterpret_cast<const char*>(image + field.Offset + 1);
        words = splitter.Extract(std::string_view(chars, strnlen(chars, field.Size)));
      }
      for (const std::string& word : words) {
        index.Keys->BuildTextKey(fieldNo, word, RowId(r), key.data());
        index.Entries.Add(key.data(), r);
      }
    }
  }
  // One key per word, however often it comes.
  TKeySet& set = index.Entries;
  std::vector<size_t> order(set.Count());
  std::iota(order.begin(), order.end(), size_t(0));
  std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) {
    return index.Keys->CompareKeys(set.Key(a), set.Key(b), set.KeyLength) < 0;
  });
  TKeySet sorted;
  sorted.KeyLength = set.KeyLength;
  for (size_t i : order) {
    if (sorted.Count() != 0 &&
        index.Keys->CompareKeys(sorted.Key(sorted.Count() - 1), set.Key(i), set.KeyLength) == 0) {
      continue;
    }
    sorted.Add(set.Key(i), set.Records[i]);
  }
  set = std::move(sorted);
}

// A table with a primary index reuses its free slots, so every one must be
// on the chain; one without never does, and needs only a chain that stays
// inside the file on free slots.
void TTableRepair::RebuildFreeChain() {
  std::vector<uint8_t> onChain(size_t(slots_) + 1, 0);
  int32_t chained = 0;
  bool whole = true;
  for (int32_t n = header_.FirstFreeRecord; n != 0;) {
    if (n < 1 || n > slots_ || onChain[size_t(n)] != 0 || Live(n)) {
      whole = false;
      break;
    }
    onChain[size_t(n)] = 1;
    ++chained;
    n = GetLEInt32(Image(n) + 1);
  }
  const int32_t freeSlots = slots_ - liveCount_;
  if (whole && (!primary_ || chained == freeSlots)) {
    newFirstFree_ = header_.FirstFreeRecord;
    return;
  }
  int32_t previous = 0;
  for (int32_t r = slots_; r >= 1; --r) {
    if (Live(r)) continue;
    if (GetLEInt32(Image(r) + 1) != previous) {
      PutLE32(Image(r) + 1, uint32_t(previous));
      changed_[size_t(r)] = 1;
    }
    previous = r;
  }
  newFirstFree_ = previous;
  Change("free chain rebuilt: " + std::to_string(freeSlots) + " free slots (was " +
         std::to_string(chained) + ")");
}

void TTableRepair::WriteRecords(TDataTable& table) {
  TDataFile& data = table.DataFile();
  table.RecordCache().DropAllRecords();
  std::vector<uint8_t> run;
  for (int32_t r = 1; r <= slots_;) {
    if (changed_[size_t(r)] == 0) {
      ++r;
      continue;
    }
    int32_t count = 1;
    while (r + count <= slots_ && count < kSlotChunk && changed_[size_t(r + count)] != 0) ++count;
    // The buffer is enciphered in place: the images stay plain.
    run.assign(Image(r), Image(r) + size_t(count) * recordSize_);
    data.WriteSlots(r, count, run.data());
    r += count;
  }
  if (data.FirstFreeRecord() != newFirstFree_) data.SetFirstFreeRecord(newFirstFree_);
  if (data.LastAutoInc() != lastAutoInc_) {
    data.SetTableInfo(data.TablePassword(), data.TableDescription(), data.UserMajorVersion(),
                      data.UserMinorVersion(), lastAutoInc_);
  }
}

void TTableRepair::RebuildIndexFile(TDataTable& table) {
  TIndexFile& file = table.IndexFile();
  const int32_t oldLive = indexDecoded_ ? oldIndex_.LiveRecordCount : 0;
  // The rebuilt file goes on counting from the one it replaces, so that its
  // first write is seen as a change; an unreadable counter is replaced by
  // one from the clock, which no cached copy will hold.
  const uint32_t changeCount =
      indexDecoded_ ? oldIndex_.IdxChangeCount + 1
                    : uint32_t(std::chrono::duration_cast<std::chrono::seconds>(
                                   std::chrono::system_clock::now().time_since_epoch())
                                   .count());
  file.CloseIndexFile();
  file.CreateIndexFile();
  file.SetIdxChangeCount(changeCount);
  if (!primary_) file.SetNoPrimaryIndex(true);
  // Each index takes the slot the file gives it: the primary one slot 0,
  // the secondary ones 1, 2, ... in their old order. One the file still
  // refuses is left out (its keys were planned from the same checks, so
  // this is rare).
  std::vector<int> slots(indexes_.size(), -1);
  for (size_t i = 0; i < indexes_.size(); ++i) {
    TPlannedIndex& index = indexes_[i];
    try {
      if (index.Slot == kPrimarySlot) {
        file.DefinePrimaryIndex(index.Desc);
        slots[i] = kPrimarySlot;
      } else {
        TIndexDesc desc = index.Desc;
        desc.RootPage = 0;
        desc.FirstFreePage = 0;
        desc.TextParamPage = 0;
        file.AddIndexDesc(desc);
        slots[i] = file.SecondaryIndexCount();
      }
    } catch (const ELedraEngineError& error) {
      Change(index.Label + " dropped: its definition is refused (" + error.what() + ")");
      if (index.Slot == kPrimarySlot) file.SetNoPrimaryIndex(true);
    }
  }
  if (text_) file.ReplaceIndexDesc(kTextSlot, text_->Desc);
  file.SetLiveRecordCount(liveCount_);
  if (text_ && textParams_) WriteTextParams(table, *textParams_);

  auto fill = [&](TPlannedIndex& index, int slot) {
    TKeysOrder order(*index.Keys);
    TBTree tree(file, slot, order,
                slot == kPrimarySlot ? std::string("Primary") : index.Desc.IndexName());
    const TKeySet& set = index.Entries;
    for (size_t i = 0; i < set.Count(); ++i) {
      tree.IndexInsert(set.Key(i), set.Records[i]);
      if ((i & 1023) == 1023) Progress(1024);
    }
    Progress(int64_t(set.Count() & 1023));
  };
  for (size_t i = 0; i < indexes_.size(); ++i) {
    if (slots[i] < 0) continue;
    fill(indexes_[i], slots[i]);
    Change(indexes_[i].Label + " rebuilt: " + std::to_string(indexes_[i].Entries.Count()) +
           " entries");
  }
  fill(deleted_, kDeletedSlot);
  Change("deleted-records index rebuilt: " + std::to_string(deleted_.Entries.Count()) + " entries");
  if (text_ && textParams_) {
    fill(*text_, kTextSlot);
    Change("text index rebuilt: " + std::to_string(text_->Entries.Count()) + " words");
  }
  if (oldLive != liveCount_ || !indexDecoded_) {
    Change("live count " + (indexDecoded_ ? std::to_string(oldLive) : std::string("?")) + " -> " +
           std::to_string(liveCount_));
  }
}

void TTableRepair::CheckRepaired(TDataTable& table) {
  TTableVerifier verifier(table);
  const std::vector<TVerifyFinding> findings = verifier.Run();
  if (findings.empty()) return;
  Refuse(LEDRA_FILECORRUPT, "damage remains after the repair (" + findings.front().Area + ": " +
                                findings.front().Text +
                                "); the files as they were are kept under the backup names");
}

TDataTable& TTableRepair::OpenTable() {
  const TOpenTableResult opened =
      directory_.OpenTable(name_, /*inMemory=*/false, /*temporary=*/false, /*exclusive=*/true);
  if (opened.Result < 0 || opened.Table == nullptr) {
    RaiseTableError(TEngineErrorCode(opened.Result < 0 ? -opened.Result : LEDRA_OSEACCES), name_,
                    directory_.DatabaseName());
  }
  return *opened.Table;
}

void TTableRepair::CloseTable(TDataTable& table, bool failed) {
  if (failed) {
    // Whatever a failed step left in memory is not written after it.
    try {
      table.DropBuffers({.RereadHeaders = true});
    } catch (...) {
    }
    try {
      directory_.CloseTable(table, true);
    } catch (...) {
    }
    return;
  }
  directory_.CloseTable(table, false);
}

TRepairReport TTableRepair::Run() {
  if (directory_.FindTable(name_, false) != nullptr) {
    RaiseTableError(LEDRA_OSEACCES, name_, directory_.DatabaseName());
  }
  const std::string& path = directory_.Path();
  dataName_ = TableFileName(path, name_, kDataFileExt);
  indexName_ = TableFileName(path, name_, kIndexFileExt);
  blobName_ = TableFileName(path, name_, kBlobFileExt);
  if (!TFileList::Instance().Exists(dataName_, false)) {
    RaiseTableError(LEDRA_OSENOENT, name_, directory_.DatabaseName());
  }

  ProbeDataFile();
  CheckPassword();
  ProbeIndexFile();
  ProbeBlobFile();
  const bool blocked = geometryWrong_ || !indexOpens_ || (blobNeeded_ && !blobOpens_);

  TDataTable* table = nullptr;
  try {
    if (!blocked) {
      table = &OpenTable();
      if (SoundAsItIs(*table)) {
        TDataTable& sound = *table;
        table = nullptr;
        directory_.CloseTable(sound, false);
        if (options_.Progress) options_.Progress(total_, total_);
        return {};
      }
    }
    if (readOnly_) {
      Refuse(LEDRA_FILENOACCESS,
             "nothing was changed: the table needs repair but its files are read-only");
    }
    // Everything that may refuse the repair is decided before the first write.
    PlanRecords();
    PlanIndexes();
    BuildKeys();
    total_ = done_ + int64_t(slots_) * int64_t(indexes_.size() + 2);

    if (options_.KeepBackup) TakeBackup(table);
    if (blocked) {
      MendFilesBeforeOpen();
      table = &OpenTable();
    }
    ReadTextParams(*table);
    RepairBlobs(*table);
    BuildTextKeys(*table);
    RebuildFreeChain();
    WriteRecords(*table);
    RebuildIndexFile(*table);
    table->FlushBuffers(
        {.OsFlush = true, .ForceHeaders = {.Data = true, .Index = true, .Blob = true}});
    CheckRepaired(*table);
  } catch (...) {
    if (table != nullptr) CloseTable(*table, true);
    throw;
  }
  CloseTable(*table, false);
  if (options_.Progress) options_.Progress(std::max(done_, total_), std::max(done_, total_));
  return std::move(report_);
}

}  // namespace

TRepairReport RepairTable(TDataDirectory& directory, std::string_view tableName,
                          const TRepairOptions& options) {
  TTableRepair repair(directory, tableName, options);
  return repair.Run();
}

}  // namespace ledra
