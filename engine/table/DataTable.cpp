#include "engine/table/DataTable.h"

#include <algorithm>
#include <exception>
#include <limits>

#include "engine/files/FieldText.h"
#include "engine/files/RecordLayout.h"
#include "engine/errors/EngineError.h"
#include "engine/table/DataDirectory.h"
#include "engine/table/DataSession.h"
#include "engine/files/TableFileNames.h"
#include "engine/index/KeyWidth.h"

namespace ledra {

namespace {

// The index page cache keeps one page per this many bytes of the session's
// record cache budget.
constexpr uint32_t kIndexCachePageBytes = 8192;

int32_t ClampToInt32(uint32_t value) {
  return int32_t(std::min<uint32_t>(value, uint32_t(std::numeric_limits<int32_t>::max())));
}

const TFieldDesc* FieldByNo(const std::vector<TFieldDesc>& fields, uint16_t fieldNo) {
  for (const TFieldDesc& field : fields) {
    if (field.FieldNo == fieldNo) return &field;
  }
  return nullptr;
}

// The stored descriptor of an index definition, its key length worked out
// from the fields. Everything about the definition that can be refused
// without the index file is refused here, before any file exists.
TIndexDesc BuildIndexDesc(const TIndexDefinition& definition, bool primary,
                          const std::vector<TFieldDesc>& fields, std::string_view tableName) {
  const std::string indexName = primary ? std::string("Primary") : definition.Name;
  if (definition.Fields.size() > size_t(kMaxKeyFields)) {
    RaiseEngineError(LEDRA_INDEXLIMIT, {.Index = indexName, .Table = tableName});
  }
  if (definition.Compression > kCompressFull) {
    RaiseEngineError(LEDRA_INVALIDIDXDESC, {.Index = indexName, .Table = tableName});
  }
  std::vector<const TFieldDesc*> keyFields;
  for (uint16_t fieldNo : definition.Fields) {
    const TFieldDesc* field = FieldByNo(fields, fieldNo);
    if (field == nullptr) {
      RaiseEngineError(LEDRA_INVALIDIDXDESC,
                       {.Index = indexName, .Field = std::to_string(fieldNo), .Table = tableName});
    }
    keyFields.push_back(field);
  }
  const bool unique = primary || definition.Unique;
  TIndexDesc desc;
  if (!primary) desc.SetIndexName(definition.Name);
  if (!keyFields.empty()) {
    desc.KeyLength = DefineKeyLength(keyFields, unique, /*allowEmpty=*/false, indexName, tableName);
  }
  desc.Descending = definition.Descending ? 1 : 0;
  desc.CaseInsensitive = definition.CaseInsensitive ? 1 : 0;
  desc.Unique = unique ? 1 : 0;
  desc.Compression = definition.Compression;
  desc.KeyFieldCount = uint8_t(keyFields.size());
  for (size_t i = 0; i < size_t(kMaxKeyFields); ++i) {
    const bool descending = definition.Descending || (i < definition.FieldDescending.size() &&
                                                      definition.FieldDescending[i]);
    desc.FieldDescending[i] = descending ? 1 : 0;
  }
  for (size_t i = 0; i < keyFields.size(); ++i) desc.KeyFields[i] = definition.Fields[i];
  desc.NoEntryCounts = definition.NoEntryCounts ? 1 : 0;
  return desc;
}

// The text index's fields: strings, or memo blobs, at most 16.
void CheckTextIndexFields(const std::vector<uint16_t>& textFields,
                          const std::vector<TFieldDesc>& fields, std::string_view tableName) {
  if (textFields.size() > size_t(kMaxKeyFields)) {
    RaiseEngineError(LEDRA_INDEXLIMIT, {.Index = kTextIndexName, .Table = tableName});
  }
  for (uint16_t fieldNo : textFields) {
    const TFieldDesc* field = FieldByNo(fields, fieldNo);
    const bool usable =
        field != nullptr && (field->FieldType == fldString ||
                             (field->FieldType == fldBlob && field->SubType == kSubTypeMemo));
    if (!usable) {
      RaiseEngineError(LEDRA_INVALIDFLDTYPE,
                       {.Index = kTextIndexName,
                        .Field = field != nullptr ? field->FieldName : std::to_string(fieldNo),
                        .Table = tableName});
    }
  }
}

}  // namespace

// ---- Construction -----------------------------------------------------------------

TDataTable::TDataTable(TDataDirectory& directory, std::string tableName, bool exclusive,
                       bool inMemory, bool temporary)
    : directory_(directory),
      tableName_(std::move(tableName)),
      exclusive_(exclusive),
      inMemory_(inMemory),
      temporary_(temporary),
      recordCache_(std::make_unique<TRecordCache>(data_)),
      lock_(static_cast<TTableLockHost&>(*this)) {
  recordCache_->SetTable(static_cast<const TRecordCacheTable*>(this));
  blob_.SetCacheTable(static_cast<const TBlobCacheTable*>(this));
  data_.SetWrittenHook([this] { written_ = true; });
  blob_.SetWrittenHook([this] { written_ = true; });
}

TDataTable::~TDataTable() {
  if (open_) lock_.ReleaseAll();
  CloseHandlers();
}

TDataSession& TDataTable::Session() const {
  return directory_.Session();
}

const TDataSessionSettings& TDataTable::Settings() const {
  return Session().Settings();
}

void TDataTable::SetOpenFlags(bool exclusive, bool inMemory, bool temporary) {
  if (open_) return;
  exclusive_ = exclusive;
  inMemory_ = inMemory;
  temporary_ = temporary;
}

TFileHandler* TDataTable::LockBlobFile() {
  return HasBlobs() && blob_.IsOpen() ? &blob_ : nullptr;
}

int32_t TDataTable::RecordCacheBytes() const {
  return ClampToInt32(Settings().RecordCacheBytes);
}

int32_t TDataTable::RecordCacheCount() const {
  return ClampToInt32(Settings().RecordCacheCount);
}

int32_t TDataTable::BlobCacheBytes() const {
  return ClampToInt32(Settings().BlobCacheBytes);
}

int32_t TDataTable::BlobCacheCount() const {
  return ClampToInt32(Settings().BlobCacheCount);
}

bool TDataTable::StrictChangeDetection() const {
  return Settings().StrictChangeDetection;
}

void TDataTable::SetFileNames() {
  const std::string& path = directory_.Path();
  data_.SetFileName(TableFileName(path, tableName_, kDataFileExt));
  index_.SetFileName(TableFileName(path, tableName_, kIndexFileExt));
  blob_.SetFileName(TableFileName(path, tableName_, kBlobFileExt));
  for (TFileHandler* handler :
       {static_cast<TFileHandler*>(&data_), static_cast<TFileHandler*>(&index_),
        static_cast<TFileHandler*>(&blob_)}) {
    handler->SetExclusive(exclusive_);
    handler->SetInMemory(inMemory_);
    handler->SetTemporary(temporary_);
  }
}

void TDataTable::ApplySettings() {
  const TDataSessionSettings& settings = Settings();
  const bool encrypted = data_.IsOpen() && data_.Encrypted();
  data_.SetTableName(tableName_);
  data_.SetForceBufferFlush(settings.ForceBufferFlush);

  TIndexFileSettings indexSettings;
  indexSettings.Fields = &data_.FieldDescs();
  indexSettings.Encrypted = encrypted;
  indexSettings.PrivateDir = Session().PrivateDirectory();
  indexSettings.ForceBufferFlush = settings.ForceBufferFlush;
  indexSettings.TableName = tableName_;
  indexSettings.OnWritten = [this] { written_ = true; };
  indexSettings.PageCacheCapacity = settings.RecordCacheBytes / kIndexCachePageBytes;
  indexSettings.StrictChangeDetection = settings.StrictChangeDetection;
  // A change holding the write lock keeps its dirty pages too: written to
  // make room, they would change the trees on disk before the commit, which
  // writes them in the order a program dying half way can recover from.
  indexSettings.TransactionLockHeld = [this] {
    return lock_.TransactionLockHeld() || lock_.WriteLockHeld();
  };
  index_.SetSettings(std::move(indexSettings));

  blob_.SetTableName(tableName_);
  blob_.SetEncrypted(encrypted);
  blob_.SetForceBufferFlush(settings.ForceBufferFlush);
}

void TDataTable::FollowSessionSettings() {
  const TDataSessionSettings& settings = Settings();
  const TIndexFileSettings& current = index_.Settings();
  if (data_.ForceBufferFlush() != settings.ForceBufferFlush ||
      blob_.ForceBufferFlush() != settings.ForceBufferFlush ||
      current.ForceBufferFlush != settings.ForceBufferFlush ||
      current.StrictChangeDetection != settings.StrictChangeDetection ||
      current.PageCacheCapacity != settings.RecordCacheBytes / kIndexCachePageBytes) {
    ApplySettings();
  }
}

// ---- Opening and closing ----------------------------------------------------------

void TDataTable::OpenFiles() {
  Session().CheckLocal();
  if (openCount_ == std::numeric_limits<uint16_t>::max()) {
    RaiseTableError(LEDRA_INTERNALLIMIT, tableName_);
  }
  ++openCount_;
  if (open_) return;

  indexRecreated_ = false;
  written_ = false;
  open_ = true;
  try {
    SetFileNames();
    ApplySettings();
    data_.OpenDataFile();
    recordCache_->Open();
    // The cipher and the fields are known now.
    ApplySettings();
    OpenIndex();
    if (HasBlobs()) {
      blob_.SetBlockSize(data_.StoredBlobBlockSize());
      blob_.OpenBlobFile();
    }
  } catch (...) {
    CloseHandlers();
    --openCount_;
    throw;
  }
  readOnly_ = data_.ReadOnly() || index_.ReadOnly() || blob_.ReadOnly();
  readOnlyAttribute_ =
      data_.ReadOnlyAttribute() || index_.ReadOnlyAttribute() || blob_.ReadOnlyAttribute();
  if (readOnlyAttribute_) readOnly_ = true;
  lock_.ClearRandomNumbers();
}

void TDataTable::OpenIndex() {
  try {
    index_.OpenIndexFile();
    return;
  } catch (const ELedraEngineError& error) {
    if (error.ErrorCode != LEDRA_OSENOENT) throw;
  }
  // A table may lose its index file; the opener rebuilds the indexes from
  // the records.
  indexRecreated_ = true;
  index_.CreateIndexFile();
  // Until the opener has rebuilt the indexes the file holds none, not even a
  // primary one; so it is a sound index file of its own, should the rebuild
  // never happen.
  index_.SetNoPrimaryIndex(true);
  index_.WriteIndexHeader(true);
  index_.CloseIndexFile();
  index_.OpenIndexFile();
}

void TDataTable::CloseHandlers() noexcept {
  index_.CloseIndexFile();
  blob_.CloseBlobFile();
  recordCache_->Close();
  data_.CloseDataFile();
  open_ = false;
  indexRecreated_ = false;
  written_ = false;
  readOnly_ = false;
  readOnlyAttribute_ = false;
}

void TDataTable::CloseFiles(bool discard) {
  if (!open_) return;
  if (openCount_ > 0) --openCount_;
  if (inTransaction_ || openCount_ != 0) return;

  // An exclusive table has only marked its changes; they are written now. A
  // failed write still closes the table, and the failure is reported.
  std::exception_ptr failure;
  if (exclusive_ && !readOnly_) {
    try {
      if (discard && temporary_) {
        DropBuffers({.Trim = true});
      } else {
        FlushBuffers({.Trim = true});
      }
    } catch (...) {
      failure = std::current_exception();
    }
  }
  lock_.ReleaseAll();
  lock_.ClearRandomNumbers();
  CloseHandlers();
  if (failure) std::rethrow_exception(failure);
}

// ---- Buffers ------------------------------------------------------------------------

void TDataTable::FlushBuffers(const TFlushOptions& options) {
  if (!open_ || readOnly_) return;
  if (inTransaction_) {
    // Nothing reaches the disk before the commit.
    MarkChanged(options.ForceHeaders);
    return;
  }
  WriteBuffers(options);
}

void TDataTable::WriteBuffers(const TFlushOptions& options) {
  FollowSessionSettings();
  const bool flush = options.OsFlush || Settings().ForceBufferFlush;
  const bool blobs = HasBlobs() && blob_.IsOpen();
  bool wroteData = false;
  bool wroteIndex = false;
  bool wroteBlob = false;
  // The order of the writes is what a program dying half way leaves behind
  // (DataTable.h, WriteBuffers): what nothing on disk reaches yet goes
  // first, the slots next, the headers last, the index header very last.
  if (blobs && blob_.WriteNewBlocks()) wroteBlob = true;
  if (index_.IsOpen() && WriteIndexPages()) wroteIndex = true;
  if (data_.IsOpen()) {
    if (recordCache_->FlushDirtyRecords()) wroteData = true;
    if (data_.WriteFieldDescs()) wroteData = true;
  }
  if (blobs) {
    if (blob_.WriteFreedBlocks()) wroteBlob = true;
    if (blob_.WriteBlobHeader(options.ForceHeaders.Blob)) wroteBlob = true;
  }
  if (data_.IsOpen() && data_.WriteHeader(options.ForceHeaders.Data)) wroteData = true;
  if (index_.IsOpen() && index_.WriteIndexHeader(options.ForceHeaders.Index)) wroteIndex = true;

  if (wroteData && flush) data_.FlushTableFile();
  if (wroteIndex && flush) index_.FlushTableFile();
  if (wroteBlob && flush) blob_.FlushTableFile();
  // The page cache keeps a change's dirty pages until its commit, growing
  // past its size for them: it goes back to its size once they are written.
  if (index_.IsOpen()) index_.TrimPageCache();
  if (options.Trim) {
    if (data_.IsOpen()) recordCache_->TrimCache();
    if (blobs) blob_.TrimBlockCache();
  }
}

void TDataTable::MarkChanged(const TTableFiles& files) {
  if (files.Data && data_.IsOpen()) data_.MarkHeaderChanged();
  if (files.Index && index_.IsOpen()) index_.MarkIndexHeaderChanged();
  if (files.Blob && HasBlobs() && blob_.IsOpen()) blob_.MarkBlobHeaderChanged();
}

void TDataTable::DropBuffers(const TDropOptions& options) {
  recordCache_->DropAllRecords();
  DropIndexPages(true);
  blob_.DropCachedBlocks();
  if (options.Trim) {
    recordCache_->TrimCache();
    index_.TrimPageCache();
    blob_.TrimBlockCache();
  }
  if (options.RereadHeaders) {
    if (data_.IsOpen()) data_.ReadHeader();
    if (index_.IsOpen()) index_.ReadIndexHeader();
    // Taking the header over from disk drops every cached blob block.
    if (HasBlobs() && blob_.IsOpen()) blob_.ReadBlobHeader();
  }
}

void TDataTable::EmptyTable() {
  data_.EmptyDataFile();
  index_.EmptyIndexes();
  // Emptying the blob file drops its cached blocks.
  if (HasBlobs() && blob_.IsOpen()) blob_.EmptyBlobFile();
  DropBuffers({.Trim = true});
}

void TDataTable::DropIndexPages(bool temporaryToo) {
  index_.DropCachedPages(false);
  // Pages of temporary indexes live in a file of this table alone; other
  // users' changes leave them as they are.
  if (temporaryToo) index_.DropCachedPages(true);
}

bool TDataTable::WriteIndexPages() {
  const bool temporary = index_.WriteDirtyPages(true);
  const bool file = index_.WriteDirtyPages(false);
  return temporary || file;
}

// ---- Change detection -------------------------------------------------------------

bool TDataTable::DetectChanges() {
  bool changed = false;
  if (index_.RefreshIndexHeader()) {
    // Another writer changed the indexes, so maybe the records too.
    DropIndexPages(false);
    data_.ReadHeader();
    recordCache_->DropAllRecords();
    changed = true;
  } else if (data_.RefreshHeader()) {
    recordCache_->DropAllRecords();
    changed = true;
  }
  // Taking a changed header over drops every cached blob block.
  if (HasBlobs() && blob_.IsOpen() && blob_.RefreshBlobHeader()) changed = true;
  return changed;
}

// ---- Verification -------------------------------------------------------------------

void TDataTable::VerifyTable(bool versionCheckOnly) {
  if (versionCheckOnly) {
    data_.CheckVersion();
    index_.CheckIndexVersion();
    return;
  }
  data_.VerifyHeader(DefaultTextIsValue);
  // A freshly made index file has nothing to check yet.
  if (!indexRecreated_) index_.VerifyIndexHeader();
}

// ---- Creating -------------------------------------------------------------------------

void TDataTable::CreateFiles(const TTableDefinition& definition) {
  Session().CheckLocal();
  if (open_) RaiseTableError(LEDRA_TABLEOPEN, tableName_);

  // The definition is laid out and checked as far as possible before any
  // file exists.
  std::vector<TFieldDesc> fields = definition.Fields;
  if (fields.size() > kMaxFieldCount) RaiseTableError(LEDRA_FLDLIMIT, tableName_);
  TRecordLayout::AssignOffsets(fields, tableName_);
  std::vector<TIndexDesc> secondaries;
  const TIndexDesc primary = BuildIndexDesc(definition.PrimaryIndex, true, fields, tableName_);
  if (definition.SecondaryIndexes.size() > size_t(kMaxSecondary)) {
    RaiseTableError(LEDRA_INDEXLIMIT, tableName_);
  }
  for (const TIndexDefinition& index : definition.SecondaryIndexes) {
    secondaries.push_back(BuildIndexDesc(index, false, fields, tableName_));
  }
  CheckTextIndexFields(definition.TextIndexFields, fields, tableName_);

  exclusive_ = true;
  SetFileNames();
  ApplySettings();
  bool createdData = false;
  bool createdIndex = false;
  bool createdBlob = false;
  try {
    data_.CreateHeader(definition.LanguageId, definition.SortId, definition.UserMajorVersion,
                       definition.UserMinorVersion, definition.Encrypted, definition.Password,
                       definition.Description, uint16_t(fields.size()), fields,
                       definition.BlobBlockSize);
    createdData = true;
    open_ = true;
    recordCache_->Open();
    ApplySettings();

    index_.CreateIndexFile();
    createdIndex = true;
    index_.DefinePrimaryIndex(primary);
    for (const TIndexDesc& desc : secondaries) index_.AddIndexDesc(desc);
    if (!definition.TextIndexFields.empty()) {
      TIndexDesc text = index_.GetIndexDesc(kTextSlot);
      text.KeyFieldCount = uint8_t(definition.TextIndexFields.size());
      text.KeyFields.fill(0);
      for (size_t i = 0; i < definition.TextIndexFields.size(); ++i) {
        text.KeyFields[i] = definition.TextIndexFields[i];
      }
      index_.ReplaceIndexDesc(kTextSlot, text);
    }
    if (HasBlobs()) {
      blob_.SetBlockSize(definition.BlobBlockSize);
      blob_.CreateTableFile();
      createdBlob = true;
    }
    openCount_ = 1;
    // The headers go to disk now, so that the files are a whole table from
    // the start; then the table is checked as every opener will check it.
    WriteBuffers({.ForceHeaders = {.Data = true, .Index = true, .Blob = true}});
    VerifyTable(false);
  } catch (...) {
    CloseHandlers();
    openCount_ = 0;
    if (createdBlob) TFileList::Instance().Delete(blob_.FileName(), inMemory_);
    if (createdIndex) TFileList::Instance().Delete(index_.FileName(), inMemory_);
    if (createdData) TFileList::Instance().Delete(data_.FileName(), inMemory_);
    throw;
  }
  readOnly_ = false;
  readOnlyAttribute_ = false;
  lock_.ClearRandomNumbers();
}

// ---- Transactions -----------------------------------------------------------------

void TDataTable::JoinTransaction() {
  if (!open_ || readOnly_ || inTransaction_) return;
  if (exclusive_) FlushBuffers({});
  bool wrote = WriteIndexPages();
  if (index_.WriteIndexHeader(false)) wrote = true;
  if (wrote && Settings().ForceBufferFlush) index_.FlushTableFile();
  inTransaction_ = true;
  try {
    lock_.AcquireTransactionLock();
  } catch (...) {
    inTransaction_ = false;
    throw;
  }
}

void TDataTable::BeginCommit() {
  if (!inTransaction_) return;
  lock_.AcquireWriteLock();
}

void TDataTable::WriteCommit(bool osFlush) {
  if (!inTransaction_ || readOnly_) return;
  WriteBuffers({.OsFlush = osFlush});
}

namespace {

// Runs a step of ending a transaction; the first failure is kept for the
// caller while the remaining steps still run.
template <typename Step>
void RunKeepingFirstFailure(std::exception_ptr& failure, Step&& step) {
  try {
    step();
  } catch (...) {
    if (!failure) failure = std::current_exception();
  }
}

}  // namespace

void TDataTable::EndCommit() {
  if (!inTransaction_) return;
  std::exception_ptr failure;
  RunKeepingFirstFailure(failure, [&] { lock_.ReleaseWriteLock(); });
  RunKeepingFirstFailure(failure, [&] { lock_.ReleaseTransactionLock(); });
  inTransaction_ = false;
  RunKeepingFirstFailure(failure, [&] { lock_.UnlockRecords(true); });
  if (failure) std::rethrow_exception(failure);
}

void TDataTable::RollbackTransaction() {
  if (!inTransaction_) return;
  inTransaction_ = false;
  std::exception_ptr failure;
  RunKeepingFirstFailure(failure, [&] { DropBuffers({.RereadHeaders = true}); });
  // A commit that failed half way may have left its write lock.
  RunKeepingFirstFailure(failure, [&] { lock_.ReleaseWriteLock(); });
  RunKeepingFirstFailure(failure, [&] { lock_.ReleaseTransactionLock(); });
  RunKeepingFirstFailure(failure, [&] { lock_.UnlockRecords(true); });
  if (failure) std::rethrow_exception(failure);
}

}  // namespace ledra
