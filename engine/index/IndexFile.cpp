#include "engine/index/IndexFile.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>

#include "engine/files/Bytes.h"
#include "engine/files/TableCipher.h"
#include "engine/files/TableFileNames.h"
#include "engine/index/KeyWidth.h"
#include "platform/File.h"
#include "platform/System.h"

namespace ledra {

namespace {

const std::vector<TFieldDesc>& NoFields() {
  static const std::vector<TFieldDesc> kNone;
  return kNone;
}

const TFieldDesc* FindField(const std::vector<TFieldDesc>* fields, uint16_t fieldNo) {
  if (fields == nullptr) return nullptr;
  for (const TFieldDesc& field : *fields) {
    if (field.FieldNo == fieldNo) return &field;
  }
  return nullptr;
}

bool EqualIgnoreCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (UpperChar1252(uint8_t(a[i])) != UpperChar1252(uint8_t(b[i]))) return false;
  }
  return true;
}

bool NameCharAllowedFirst(uint8_t c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_' || (c >= 128 && c <= 254);
}

// Removes the temporary descriptors from a header: the permanent ones keep
// their order and move down over any temporary one between them, and the
// count drops by one per temporary descriptor. Temporary indexes are added
// after all others, so normally this just zeroes the last slots.
void StripTemporary(TIndexHeader& h) {
  int kept = 0;
  for (int s = 1; s <= h.SecondaryIndexCount; ++s) {
    if (h.Descs[s].Temporary != 0) continue;
    if (++kept != s) h.Descs[kept] = h.Descs[s];
  }
  for (int s = kept + 1; s <= h.SecondaryIndexCount; ++s) h.Descs[s] = TIndexDesc{};
  h.SecondaryIndexCount = uint8_t(kept);
  if (h.Descs[kPrimarySlot].Temporary != 0) h.Descs[kPrimarySlot] = TIndexDesc{};
}

std::atomic<uint32_t> gTempSerial{0};

}  // namespace

TIndexFile::TIndexFile(std::string fileName) : TFileHandler(std::move(fileName)) {
  for (TPageCache& cache : caches_) cache.SetCapacity(ConfiguredCapacity());
}

void TIndexFile::SetSettings(TIndexFileSettings settings) {
  settings_ = std::move(settings);
  for (TPageCache& cache : caches_) {
    cache.SetCapacity(std::max(ConfiguredCapacity(), cache.LowerCount()));
  }
}

TIndexFile::~TIndexFile() {
  CloseIndexFile();
}

// ---- helpers ----

void TIndexFile::CheckSlot(int slot) const {
  if (slot < 0 || slot >= kIndexSlotCount) {
    RaiseEngineError(LEDRA_INVALIDIDXDESC, {.Table = TableName()});
  }
}

const TIndexDesc& TIndexFile::Desc(int slot) const {
  CheckSlot(slot);
  return header_.Descs[size_t(slot)];
}

TIndexDesc& TIndexFile::MutableDesc(int slot) {
  CheckSlot(slot);
  return header_.Descs[size_t(slot)];
}

std::string_view TIndexFile::TableName() const {
  return settings_.TableName.empty() ? std::string_view(FileName())
                                     : std::string_view(settings_.TableName);
}

void TIndexFile::RaiseCorrupt(TEngineErrorCode code) const {
  RaiseTableError(code, TableName());
}

void TIndexFile::Written() const {
  if (settings_.OnWritten) settings_.OnWritten();
}

void TIndexFile::CipherBlock(uint8_t* bytes, size_t length) const {
  if (settings_.Encrypted) CipherDataRun(bytes, length);
}

// ---- open, create, close ----

void TIndexFile::CreateIndexFile() {
  CloseIndexFile();
  TFileHandler::CreateTableFile();
  header_ = FreshIndexHeader();
}

void TIndexFile::OpenIndexFile() {
  if (IsOpen()) return;
  TFileHandler::OpenTableFile();
  try {
    ReadIndexHeader();
  } catch (...) {
    TFileHandler::CloseTableFile();
    throw;
  }
  stats_ = TPageCacheStats{};
}

void TIndexFile::CloseIndexFile() {
  if (!IsOpen()) return;
  DropTemporaryIndexes();
  DropCachedPages(false);
  for (TPageCache& cache : caches_) cache.SetCapacity(ConfiguredCapacity());
  stats_ = TPageCacheStats{};
  TFileHandler::CloseTableFile();
}

// ---- the header block ----

void TIndexFile::ReadHeaderBlock(TIndexHeader& h) {
  ReadAt(0, block_.data(), kIndexHeaderSize);
  CipherBlock(block_.data(), kIndexHeaderSize);
  DecodeIndexHeader(block_.data(), h);
  // Slots 1..SecondaryIndexCount are walked everywhere: a count beyond the
  // secondary slots would reach the deleted and text slots and beyond.
  if (h.SecondaryIndexCount > kMaxSecondary) RaiseCorrupt(LEDRA_HEADERCORRUPT);
}

void TIndexFile::ReadIndexHeader() {
  TIndexHeader fresh;
  ReadHeaderBlock(fresh);
  header_ = fresh;
  header_.IdxHeaderModified = 0;
}

bool TIndexFile::RefreshIndexHeader() {
  ReadAt(0, block_.data(), kIndexHeaderSize);
  CipherBlock(block_.data(), kIndexHeaderSize);
  if (GetLE32(block_.data()) == header_.IdxChangeCount) return false;
  TIndexHeader fresh;
  DecodeIndexHeader(block_.data(), fresh);
  if (fresh.SecondaryIndexCount > kMaxSecondary) RaiseCorrupt(LEDRA_HEADERCORRUPT);
  CheckPagesInFile(fresh);
  header_ = fresh;
  return true;
}

bool TIndexFile::WriteIndexHeader(bool force) {
  if (!force && header_.IdxHeaderModified == 0) return false;
  ++header_.IdxChangeCount;
  TIndexHeader image = header_;
  StripTemporary(image);
  EncodeIndexHeader(image, block_.data());
  CipherBlock(block_.data(), kIndexHeaderSize);
  WriteAt(0, block_.data(), kIndexHeaderSize);
  Written();
  header_.IdxHeaderModified = 0;
  return true;
}

void TIndexFile::MarkIndexHeaderChanged() {
  ++header_.IdxChangeCount;
  Modified();
  Written();
}

void TIndexFile::CheckIndexVersion() const {
  if (header_.IdxFormatVersion != kIdxFormatVersion) RaiseCorrupt(LEDRA_OLDVERSION);
}

void TIndexFile::VerifyIndexHeader() {
  ledra::VerifyIndexHeader(header_, settings_.Fields ? *settings_.Fields : NoFields(), TableName());
  CheckPagesInFile(header_);
}

void TIndexFile::CheckPagesInFile(const TIndexHeader& h) {
  // Writers write pages before the header, so every page a header counts is
  // in the file. One that counts more is damaged: the next page appended
  // after its NextPageNo would land far beyond the end of the file, growing
  // it by up to 4 GB.
  if (h.NextPageNo >= 1 && FileSize() < int64_t(h.NextPageNo) * int64_t(kIndexPageSize)) {
    RaiseCorrupt(LEDRA_HEADERCORRUPT);
  }
}

void TIndexFile::EmptyIndexes() {
  WriteAt(int64_t(kIndexHeaderSize), nullptr, 0);
  Written();
  // Every cached page now names a page the file no longer holds.
  DropCachedPages(true);
  DropCachedPages(false);
  if (settings_.ForceBufferFlush) FlushTableFile();
  header_.IdxFormatVersion = kIdxFormatVersion;
  header_.NextPageNo = 1;
  header_.LiveRecordCount = 0;
  for (TIndexDesc& d : header_.Descs) {
    d.RootPage = 0;
    d.FirstFreePage = 0;
    d.TextParamPage = 0;
  }
  Modified();
}

// ---- descriptor edits ----

void TIndexFile::CheckNewDesc(const TIndexDesc& desc, bool unique,
                              std::string_view indexName) const {
  uint32_t segments = 0;
  for (int i = 0; i < kMaxKeyFields; ++i) {
    uint16_t fieldNo = desc.KeyFields[size_t(i)];
    if (i >= desc.KeyFieldCount) {
      // Key building and verification take the listed fields: the list must
      // end where KeyFieldCount says.
      if (fieldNo != 0)
        RaiseEngineError(LEDRA_INVALIDIDXDESC, {.Index = indexName, .Table = TableName()});
      continue;
    }
    const TFieldDesc* field = FindField(settings_.Fields, fieldNo);
    if (fieldNo == 0 || field == nullptr) {
      RaiseEngineError(LEDRA_INVALIDIDXDESC, {.Index = indexName, .Table = TableName()});
    }
    if (field->FieldType == fldBlob) {
      RaiseEngineError(LEDRA_SEARCHCOLREQD,
                       {.Index = indexName, .Field = field->FieldName, .Table = TableName()});
    }
    segments += KeyWidth(*field) + 1u;
  }
  // A KeyLength that disagrees with the fields would be refused by every
  // later open of the table.
  uint32_t expected = segments + (unique ? 0u : uint32_t(kRowIdTailLength));
  if (segments == 0 || segments > uint32_t(kMaxKeyLength) || desc.KeyLength != expected) {
    RaiseEngineError(LEDRA_INVALIDKEY, {.Index = indexName, .Table = TableName()});
  }
}

void TIndexFile::DefinePrimaryIndex(const TIndexDesc& desc) {
  if (header_.Descs[kPrimarySlot].KeyLength != 0) RaiseCorrupt(LEDRA_PRIMARYKEYREDEFINE);
  if (desc.KeyFieldCount > kMaxKeyFields) RaiseCorrupt(LEDRA_INDEXLIMIT);
  if (desc.KeyFieldCount == 0) {
    SetNoPrimaryIndex(true);
    return;
  }
  CheckNewDesc(desc, true, "Primary");
  SetNoPrimaryIndex(false);
  TIndexDesc& d = header_.Descs[kPrimarySlot];
  d.IndexNameBytes.fill(0);
  d.KeyLength = desc.KeyLength;
  d.Descending = desc.Descending;
  d.CaseInsensitive = desc.CaseInsensitive;
  d.Unique = 1;
  d.NoEntryCounts = desc.NoEntryCounts;
  d.Compression = desc.Compression;
  d.KeyFieldCount = desc.KeyFieldCount;
  d.KeyFields = desc.KeyFields;
  d.FieldDescending = desc.FieldDescending;
  Modified();
}

void TIndexFile::AddIndexDesc(const TIndexDesc& desc) {
  if (header_.SecondaryIndexCount >= kMaxSecondary || desc.KeyFieldCount > kMaxKeyFields) {
    RaiseCorrupt(LEDRA_INDEXLIMIT);
  }
  std::string name = desc.IndexName();
  if (name.empty()) RaiseCorrupt(LEDRA_INDEXNAMEREQUIRED);
  if (!NameCharAllowedFirst(uint8_t(name[0]))) {
    RaiseEngineError(LEDRA_INVALIDINDEXNAME, {.Index = name, .Table = TableName()});
  }
  for (int s = 1; s <= header_.SecondaryIndexCount; ++s) {
    if (SameIndexName(name, header_.Descs[size_t(s)].IndexName())) {
      RaiseEngineError(LEDRA_INDEXEXISTS, {.Index = name, .Table = TableName()});
    }
  }
  CheckNewDesc(desc, desc.Unique != 0, name);
  if (desc.Temporary != 0 && !tempFile_) OpenTemporaryFile();
  int slot = ++header_.SecondaryIndexCount;
  ReplaceIndexDesc(slot, desc);
  // The slot keeps the free list it held (that of an index removed before),
  // unless the stale number names no page of the file.
  TIndexDesc& d = header_.Descs[size_t(slot)];
  if (!IsValidPageNo(d.FirstFreePage)) d.FirstFreePage = 0;
  Modified();
}

void TIndexFile::ReplaceIndexDesc(int slot, const TIndexDesc& desc) {
  TIndexDesc& d = MutableDesc(slot);
  d.SetIndexName(desc.IndexName());
  d.KeyLength = desc.KeyLength;
  d.Descending = desc.Descending;
  d.CaseInsensitive = desc.CaseInsensitive;
  d.Unique = desc.Unique;
  d.NoEntryCounts = desc.NoEntryCounts;
  d.Compression = desc.Compression;
  d.KeyFieldCount = desc.KeyFieldCount;
  d.FieldDescending = desc.FieldDescending;
  d.KeyFields = desc.KeyFields;
  d.Temporary = desc.Temporary;
  d.RootPage = 0;
  d.Byte94 = 0;
  d.Reserved102.fill(0);
  Modified();
}

void TIndexFile::RenameIndexDesc(int slot, const TIndexDesc& desc) {
  TIndexDesc& d = MutableDesc(slot);
  d.SetIndexName(desc.IndexName());
  d.KeyFields = desc.KeyFields;
  Modified();
}

void TIndexFile::RemoveIndexDesc(int slot, bool remove) {
  CheckSlot(slot);
  if (slot == kPrimarySlot) {
    SetNoPrimaryIndex(true);
  } else if (remove) {
    int count = header_.SecondaryIndexCount;
    if (slot > count) RaiseCorrupt(LEDRA_INVALIDINDEXDELETE);
    TIndexDesc removed = header_.Descs[size_t(slot)];
    for (int s = slot; s < count; ++s) header_.Descs[size_t(s)] = header_.Descs[size_t(s + 1)];
    header_.Descs[size_t(count)] = removed;
    --header_.SecondaryIndexCount;
    // The cached pages move with their descriptors. Those of the removed
    // index stay with it in its new slot and are still written: a later
    // index added there takes over its free list, whose freed pages must
    // reach the file.
    std::rotate(caches_.begin() + slot, caches_.begin() + slot + 1, caches_.begin() + count + 1);
    for (int s = slot; s <= count; ++s) {
      for (const std::unique_ptr<TPage>& page : caches_[size_t(s)].Pages()) page->Slot = uint8_t(s);
    }
  }
  Modified();
}

void TIndexFile::SetNoPrimaryIndex(bool flag) {
  uint8_t value = flag ? 1 : 0;
  if (header_.NoPrimaryIndex == value) return;
  header_.NoPrimaryIndex = value;
  if (flag) {
    TIndexDesc& d = header_.Descs[kPrimarySlot];
    d.IndexNameBytes.fill(0);
    d.KeyLength = 0;
    d.Descending = 0;
    d.CaseInsensitive = 0;
    d.Unique = 0;
    d.NoEntryCounts = 0;
    d.Compression = 0;
    d.KeyFieldCount = 0;
    d.FieldDescending.fill(0);
    d.KeyFields.fill(0);
    d.RootPage = 0;
    d.Byte94 = 0;
    d.Temporary = 0;
    d.Reserved102.fill(0);
  }
  Modified();
}

void TIndexFile::DropTemporaryIndexes() {
  DropCachedPages(true);
  StripTemporary(header_);
  CloseTemporaryFile();
}

// ---- lookups and accessors ----

int TIndexFile::FindIndexName(std::string_view name) const {
  for (int s = 0; s <= header_.SecondaryIndexCount && s <= kMaxSecondary; ++s) {
    if (EqualIgnoreCase(name, header_.Descs[size_t(s)].IndexName())) return s;
  }
  return -1;
}

TIndexDesc TIndexFile::GetIndexDesc(int slot) const {
  return Desc(slot);
}

std::array<uint16_t, kMaxKeyFields> TIndexFile::GetKeyFields(int slot) const {
  return Desc(slot).KeyFields;
}

void TIndexFile::SetRootPage(int slot, int32_t page) {
  TIndexDesc& d = MutableDesc(slot);
  if (d.RootPage == page) return;
  d.RootPage = page;
  Modified();
}

void TIndexFile::SetFirstFreePage(int slot, int32_t page) {
  TIndexDesc& d = MutableDesc(slot);
  if (d.FirstFreePage == page) return;
  d.FirstFreePage = page;
  Modified();
}

void TIndexFile::SetTextParamPage(int32_t page) {
  TIndexDesc& d = header_.Descs[kTextSlot];
  if (d.TextParamPage == page) return;
  d.TextParamPage = page;
  Modified();
}

bool TIndexFile::IsTemporarySlot(int slot) const {
  return slot >= 0 && slot <= kMaxSecondary && header_.Descs[size_t(slot)].Temporary != 0;
}

int32_t TIndexFile::NextPageNo(int slot) const {
  return IsTemporarySlot(slot) ? tempNextPageNo_ : header_.NextPageNo;
}

void TIndexFile::SetNextPageNo(int slot, int32_t page) {
  if (IsTemporarySlot(slot)) {
    tempNextPageNo_ = page;
    return;
  }
  if (header_.NextPageNo == page) return;
  header_.NextPageNo = page;
  Modified();
}

void TIndexFile::SetSecondaryIndexCount(uint8_t count) {
  if (count > kMaxSecondary) RaiseCorrupt(LEDRA_INDEXLIMIT);
  if (header_.SecondaryIndexCount == count) return;
  header_.SecondaryIndexCount = count;
  Modified();
}

void TIndexFile::SetLiveRecordCount(int32_t count) {
  if (header_.LiveRecordCount == count) return;
  header_.LiveRecordCount = count;
  Modified();
}

bool TIndexFile::IsValidPageNo(int slot, int32_t page) const {
  return ledra::IsValidPageNo(NextPageNo(slot), page);
}

// ---- pages ----

TFileHandler& TIndexFile::PageFile(int slot) {
  if (IsTemporarySlot(slot)) {
    if (!tempFile_) RaiseCorrupt(LEDRA_INDEXCORRUPT);
    return *tempFile_;
  }
  return *this;
}

void TIndexFile::ReadPageBytes(int slot, int32_t page, uint8_t* bytes) {
  if (page < 1 || page > kLastPageNo || !IsValidPageNo(slot, page)) {
    RaiseCorrupt(LEDRA_INDEXCORRUPT);
  }
  TFileHandler& file = PageFile(slot);
  {
    TFileGuard guard(file);
    file.Seek(kFromStart, int64_t(page) * int64_t(kIndexPageSize));
    file.ReadBlock(bytes, kIndexPageSize);
  }
  CipherBlock(bytes, kIndexPageSize);
}

void TIndexFile::WritePageBytes(int slot, int32_t firstPage, uint8_t* bytes, size_t count) {
  if (count == 0) return;
  int64_t last = int64_t(firstPage) + int64_t(count) - 1;
  if (firstPage < 1 || last > kLastPageNo || !IsValidPageNo(slot, int32_t(last))) {
    RaiseCorrupt(LEDRA_INDEXCORRUPT);
  }
  TFileHandler& file = PageFile(slot);
  for (size_t i = 0; i < count; ++i) CipherBlock(bytes + i * kIndexPageSize, kIndexPageSize);
  {
    TFileGuard guard(file);
    file.Seek(kFromStart, int64_t(firstPage) * int64_t(kIndexPageSize));
    file.WriteBlock(bytes, int64_t(count * kIndexPageSize));
  }
  Written();
}

// ---- the temporary file ----

void TIndexFile::OpenTemporaryFile() {
  std::string dir = settings_.PrivateDir.empty()
                        ? std::string()
                        : platform::IncludeTrailingSeparator(settings_.PrivateDir);
  std::string name;
  for (int attempt = 0;; ++attempt) {
    char unique[32];
    std::snprintf(unique, sizeof unique, "IX%06X%04X", unsigned(platform::RandomBelow(0x1000000)),
                  unsigned(gTempSerial.fetch_add(1) & 0xFFFF));
    name = dir + unique + std::string(kIndexFileExt);
    if (!platform::RegularFileExists(name) || attempt >= 16) break;
  }
  auto file = std::make_unique<TFileHandler>(name);
  file->SetTemporary(true);
  file->SetInMemory(false);
  file->CreateTableFile();
  tempFile_ = std::move(file);
  tempNextPageNo_ = 1;
}

void TIndexFile::CloseTemporaryFile() {
  if (tempFile_) {
    tempFile_->CloseTableFile();
    tempFile_.reset();
  }
  tempNextPageNo_ = 1;
}

std::string TIndexFile::TemporaryFileName() const {
  return tempFile_ ? tempFile_->FileName() : std::string();
}

// ---- the page cache ----

bool TIndexFile::SlotInFile(int slot, bool temporary) const {
  return IsTemporarySlot(slot) == temporary;
}

size_t TIndexFile::ConfiguredCapacity() const {
  return settings_.PageCacheCapacity;
}

bool TIndexFile::TransactionLockHeld() const {
  return settings_.TransactionLockHeld && settings_.TransactionLockHeld();
}

TPageFormat TIndexFile::SlotFormat(int slot) const {
  return PageFormatOf(slot, Desc(slot));
}

const TPageCache& TIndexFile::PageCache(int slot) const {
  CheckSlot(slot);
  return caches_[size_t(slot)];
}

void TIndexFile::ResetForSlot(TPage& page, int slot, int32_t pageNo) const {
  uint16_t pins = page.Pins;
  page.Reset(pageNo, uint8_t(slot), SlotFormat(slot));
  page.Pins = pins;
}

void TIndexFile::DropPage(std::unique_ptr<TPage> page) {
  if (page->Pins > 0) {
    page->Orphaned = true;
    orphans_.push_back(std::move(page));
  } else {
    pool_.Return(std::move(page));
  }
}

void TIndexFile::DropSlotPages(int slot) {
  dropped_.clear();
  caches_[size_t(slot)].TakeAll(dropped_);
  for (std::unique_ptr<TPage>& page : dropped_) DropPage(std::move(page));
  dropped_.clear();
}

std::unique_ptr<TPage> TIndexFile::ObtainBuffer(int slot, bool upper) {
  TPageCache& cache = caches_[size_t(slot)];
  if (cache.HasRoomFor(upper)) return pool_.Take();
  TPage* victim = cache.EvictionCandidate(upper);
  if (victim == nullptr && !TransactionLockHeld()) {
    WriteDirtyPages(IsTemporarySlot(slot));
    victim = cache.EvictionCandidate(upper);
  }
  if (victim != nullptr) return cache.Remove(victim);
  cache.SetCapacity(cache.Capacity() + 4);
  return pool_.Take();
}

TPage* TIndexFile::FetchPage(int slot, int32_t pageNo, bool asNew, TIndexChangeCheck* check,
                             bool forSearch) {
  CheckSlot(slot);
  ++stats_.Fetches;
  if (pageNo == 0) RaiseCorrupt(LEDRA_INDEXCORRUPT);
  TPageCache& cache = caches_[size_t(slot)];

  int32_t next = NextPageNo(slot);
  if (asNew && pageNo == next) {
    // Appending: the file may grow to 4000000000 bytes, page numbers to
    // 2000000000, so the last page is 976561.
    if (int64_t(pageNo) > kMaxPageNo ||
        (int64_t(pageNo) + 1) * int64_t(kIndexPageSize) > int64_t(4000000000)) {
      RaiseCorrupt(LEDRA_TABLEFULL);
    }
    std::unique_ptr<TPage> page = ObtainBuffer(slot, false);
    ResetForSlot(*page, slot, pageNo);
    page->Pins = 1;
    TPage* raw = page.get();
    cache.Insert(std::move(page));
    SetNextPageNo(slot, pageNo + 1);
    return raw;
  }

  if (TPage* hit = cache.Find(pageNo)) {
    if (!forSearch) DecodeHeldLeaf(*hit);
    ++hit->Pins;
    return hit;
  }

  if (check != nullptr && !settings_.StrictChangeDetection && check->CheckForChanges()) {
    return nullptr;
  }
  // Pages never pass from one index to another: a page another slot of the
  // same file has cached is reached through a damaged pointer, and a second
  // copy of it could later overwrite the first.
  bool temporary = IsTemporarySlot(slot);
  for (int other = 0; other < kIndexSlotCount; ++other) {
    const TPageCache& otherCache = caches_[size_t(other)];
    if (other != slot && otherCache.Count() != 0 && SlotInFile(other, temporary) &&
        otherCache.Contains(pageNo)) {
      RaiseCorrupt(LEDRA_INDEXCORRUPT);
    }
  }
  pageBytes_.resize(kIndexPageSize);
  ReadPageBytes(slot, pageNo, pageBytes_.data());
  ++stats_.DiskReads;
  ++stats_.PagesRead;
  // A free page being reused carries no meaningful type: it makes room as a
  // leaf would.
  const bool upper = !asNew && pageBytes_[0] == kPageInner;
  std::unique_ptr<TPage> page = ObtainBuffer(slot, upper);
  try {
    ResetForSlot(*page, slot, pageNo);
    page->Pins = 0;
    if (!forSearch || asNew || !HoldLeafBytes(pageBytes_, *page, TableName())) {
      DecodePage(pageBytes_.data(), *page, asNew, TableName());
    }
  } catch (...) {
    pool_.Return(std::move(page));
    throw;
  }
  if (page->PageNo != pageNo) {
    pool_.Return(std::move(page));
    RaiseCorrupt(LEDRA_INDEXCORRUPT);
  }
  page->Pins = 1;
  TPage* raw = page.get();
  cache.Insert(std::move(page));
  return raw;
}

void TIndexFile::ReleasePage(TPage* page) {
  if (page == nullptr) return;
  if (page->Pins > 0) --page->Pins;
  if (!page->Orphaned || page->Pins > 0) return;
  for (size_t i = 0; i < orphans_.size(); ++i) {
    if (orphans_[i].get() == page) {
      std::unique_ptr<TPage> done = std::move(orphans_[i]);
      orphans_.erase(orphans_.begin() + std::ptrdiff_t(i));
      done->Orphaned = false;
      pool_.Return(std::move(done));
      return;
    }
  }
}

bool TIndexFile::WriteDirtyPages(bool temporary) {
  dirty_.clear();
  for (int slot = 0; slot < kIndexSlotCount; ++slot) {
    if (caches_[size_t(slot)].Count() == 0 || !SlotInFile(slot, temporary)) continue;
    for (const std::unique_ptr<TPage>& page : caches_[size_t(slot)].Pages()) {
      if (page->Dirty && page->Pins == 0) dirty_.push_back(page.get());
    }
  }
  if (dirty_.empty()) return false;
  std::sort(dirty_.begin(), dirty_.end(),
            [](const TPage* a, const TPage* b) { return a->PageNo < b->PageNo; });
  // Runs go from the highest page number down. Pages a change appended lie
  // beyond the page count of the header still on disk, and nothing there
  // links to them yet: a program dying after writing only those leaves pages
  // no reader reaches, instead of a tree whose links lead past its end.
  size_t end = dirty_.size();
  while (end > 0) {
    size_t first = end - 1;
    while (first > 0 && dirty_[first - 1]->PageNo + 1 == dirty_[first]->PageNo) --first;
    size_t count = end - first;
    if (runBytes_.size() < count * kIndexPageSize) runBytes_.resize(count * kIndexPageSize);
    for (size_t i = 0; i < count; ++i) {
      EncodePage(*dirty_[first + i], runBytes_.data() + i * kIndexPageSize, TableName());
    }
    for (size_t i = 0; i < count; ++i) {
      std::memcpy(dirty_[first + i]->DiskHeader.data(), runBytes_.data() + i * kIndexPageSize,
                  kPageHeaderSize);
    }
    WritePageBytes(dirty_[first]->Slot, dirty_[first]->PageNo, runBytes_.data(), count);
    ++stats_.WriteRuns;
    for (size_t i = first; i < end; ++i) dirty_[i]->Dirty = false;
    end = first;
  }
  dirty_.clear();
  return true;
}

void TIndexFile::DropCachedPages(bool temporary) {
  for (int slot = 0; slot < kIndexSlotCount; ++slot) {
    if (SlotInFile(slot, temporary)) DropSlotPages(slot);
  }
}

void TIndexFile::TrimPageCache() {
  size_t configured = ConfiguredCapacity();
  for (int slot = 0; slot < kIndexSlotCount; ++slot) {
    TPageCache& cache = caches_[size_t(slot)];
    if (cache.Count() <= std::min(configured, TPageCache::kKeptUpperPages)) {
      // Within both allowances whatever its pages are (most slots are empty).
      cache.SetCapacity(configured);
      continue;
    }
    bool wrote = false;
    while (cache.OverAllowance(configured)) {
      TPage* victim = cache.TrimCandidate(configured);
      if (victim == nullptr && !wrote && !TransactionLockHeld()) {
        WriteDirtyPages(IsTemporarySlot(slot));
        wrote = true;
        victim = cache.TrimCandidate(configured);
      }
      if (victim == nullptr) break;
      pool_.Return(cache.Remove(victim));
    }
    // Growth is undone, but a cache never falls below the configured size.
    cache.SetCapacity(std::max(configured, cache.LowerCount()));
  }
}

TPage* TIndexFile::AllocatePage(int slot) {
  CheckSlot(slot);
  int32_t pageNo = FirstFreePage(slot);
  bool reused = pageNo != 0;
  if (!reused) {
    pageNo = NextPageNo(slot);
  } else if (pageNo < 0 || !IsValidPageNo(slot, pageNo)) {
    RaiseCorrupt(LEDRA_INDEXCORRUPT);
  }
  TPage* page = FetchPage(slot, pageNo, true);
  if (reused) {
    // A free page has no entries, on disk and in memory, and the rest of the
    // list must stay inside the file.
    bool free =
        page->EntryCount() == 0 && (page->Freed || GetLE16(page->DiskHeader.data() + 1) == 0);
    int32_t rest = page->NextPage;
    if (!free || rest == pageNo || rest < 0 || !IsValidPageNo(slot, rest)) {
      ReleasePage(page);
      RaiseCorrupt(LEDRA_INDEXCORRUPT);
    }
    SetFirstFreePage(slot, rest);
  }
  ResetForSlot(*page, slot, pageNo);
  page->Dirty = true;
  return page;
}

void TIndexFile::FreePage(int slot, TPage* page) {
  CheckSlot(slot);
  page->ClearEntries();
  page->NextPage = FirstFreePage(slot);
  page->Freed = true;
  page->Dirty = true;
  SetFirstFreePage(slot, page->PageNo);
}

void TIndexFile::LoadPageCopy(int slot, int32_t pageNo, TPage& into) {
  CheckSlot(slot);
  if (pageNo == 0) RaiseCorrupt(LEDRA_INDEXCORRUPT);
  if (const TPage* cached = caches_[size_t(slot)].Peek(pageNo)) {
    if (cached->Held()) {
      into.Reset(pageNo, uint8_t(slot), SlotFormat(slot));
      DecodePage(cached->HeldBytes(), into, false, TableName());
      return;
    }
    into = *cached;
    into.CachePrev = nullptr;
    into.CacheNext = nullptr;
    into.Pins = 0;
    into.Orphaned = false;
    return;
  }
  pageBytes_.resize(kIndexPageSize);
  ReadPageBytes(slot, pageNo, pageBytes_.data());
  into.Reset(pageNo, uint8_t(slot), SlotFormat(slot));
  DecodePage(pageBytes_.data(), into, false, TableName());
}

void TIndexFile::LoadPageBytes(int slot, int32_t pageNo, uint8_t* bytes) {
  CheckSlot(slot);
  if (pageNo == 0) RaiseCorrupt(LEDRA_INDEXCORRUPT);
  if (const TPage* cached = caches_[size_t(slot)].Peek(pageNo)) {
    if (cached->Held()) {
      std::memcpy(bytes, cached->HeldBytes(), kIndexPageSize);
    } else {
      EncodePage(*cached, bytes, TableName());
    }
    return;
  }
  ReadPageBytes(slot, pageNo, bytes);
}

}  // namespace ledra
