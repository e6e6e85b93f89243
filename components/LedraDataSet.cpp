#include "components/LedraDataSet.h"

#include <algorithm>
#include <cstring>

#include "components/LedraDatabaseError.h"
#include "engine/cursor/FieldValue.h"

namespace ledra {

namespace {

void PutLE32(uint8_t* bytes, uint32_t value) {
  for (int i = 0; i < 4; ++i, value >>= 8) bytes[i] = uint8_t(value);
}

uint32_t GetLE32(const uint8_t* bytes) {
  return uint32_t(bytes[0]) | uint32_t(bytes[1]) << 8 | uint32_t(bytes[2]) << 16 |
         uint32_t(bytes[3]) << 24;
}

// Type families whose field objects may bind to each other's definitions.
int TypeFamily(TFieldType type) {
  switch (type) {
    case ftString:
    case ftFixedChar:
      return 1;
    case ftInteger:
    case ftAutoInc:
      return 2;
    case ftFloat:
    case ftCurrency:
      return 3;
    case ftMemo:
    case ftFmtMemo:
      return 4;
    case ftBlob:
    case ftGraphic:
    case ftTypedBinary:
      return 5;
    default:
      return 100 + int(type);
  }
}

}  // namespace

TLedraDataSet::TLedraDataSet(TLedraComponent* owner) : TLedraComponent(owner) {}

TLedraDataSet::~TLedraDataSet() {
  if (Active()) {
    try {
      Close();
    } catch (...) {
      // A destructor reports nothing; the cursor has been freed.
    }
  }
}

// ---- Opening and closing ---------------------------------------------------------------

void TLedraDataSet::SetActive(bool active) {
  if (active) {
    Open();
  } else {
    Close();
  }
}

void TLedraDataSet::CheckActive() const {
  if (!Active()) DatabaseError("Cannot perform this operation on a closed dataset");
}

void TLedraDataSet::CheckInactive() const {
  if (Active()) DatabaseError("Cannot perform this operation on an open dataset");
}

TDataCursor& TLedraDataSet::Cursor() {
  CheckActive();
  return *cursor_;
}

void TLedraDataSet::Open() {
  if (Active()) return;
  Run(BeforeOpen);
  cursor_ = OpenCursor();
  if (!cursor_) DatabaseError("Error creating table handle.");
  try {
    InternalOpen();
    state_ = dsBrowse;
    bof_ = true;
    GetNextRecords();
    eof_ = filled_ == 0;
  } catch (...) {
    // The failure of the open is what the caller hears of.
    try {
      InternalClose();
    } catch (...) {
    }
    throw;
  }
  NotifyActiveChanged(true);
  Run(AfterOpen);
}

void TLedraDataSet::InternalOpen() {
  TDataCursor& cursor = *cursor_;
  // Layout.
  recordSize_ = cursor.RecordSize();
  bookmarkSize_ = std::max<size_t>(4, TDataCursor::kRangeKeySize);
  bufferSize_ = recordSize_ + kInfoSize + bookmarkSize_;
  canModify_ = !cursor.ReadOnly();

  // Field definitions: the fields with a type of this layer, hidden ones
  // left out, names made unique.
  std::vector<TFieldDesc> descs;
  for (int n = 1; n <= cursor.FieldCount(); ++n) descs.push_back(cursor.GetFieldDesc(n));
  fieldDefs_ = BuildComponentFieldDefs(descs);

  ReadIndexDescription();
  BindFields();
  AllocateBuffers();
  cursor.MoveToStart();
}

void TLedraDataSet::BindFields() {
  if (fields_.empty()) {
    defaultFields_ = true;
    for (const TComponentFieldDef& def : fieldDefs_) {
      std::unique_ptr<TLedraField> field = MakeField(def, this);
      if (!field) continue;
      field->dataSet_ = this;
      fields_.push_back(field.get());
      ownedFields_.push_back(std::move(field));
    }
  }
  for (TLedraField* field : fields_) {
    const TComponentFieldDef* def = nullptr;
    for (const TComponentFieldDef& candidate : fieldDefs_) {
      if (SameText(candidate.Name, field->FieldName())) {
        def = &candidate;
        break;
      }
    }
    if (def == nullptr) DatabaseErrorFmt("Field '%s' not found", {field->FieldName()});
    if (TypeFamily(def->DataType) != TypeFamily(field->DataType())) {
      DatabaseErrorFmt("Type mismatch for field '%s', expecting: %s actual: %s",
                       {field->DisplayLabel(), TLedraField::TypeName(field->DataType()),
                        TLedraField::TypeName(def->DataType)});
    }
    const bool sized =
        def->DataType == ftBCD || def->DataType == ftBytes || def->DataType == ftVarBytes;
    if (sized && def->Size != field->Size()) {
      DatabaseErrorFmt(
          "Size mismatch for field '%s', expecting: %d actual: %d",
          {field->DisplayLabel(), std::to_string(field->Size()), std::to_string(def->Size)});
    }
    field->Bind(*this, cursor_->GetFieldDesc(def->FieldNo));
  }
}

void TLedraDataSet::AllocateBuffers() {
  buffers_.assign(size_t(bufferCount_) + 1, std::vector<uint8_t>(bufferSize_, 0));
  newRecord_.assign(bufferSize_, 0);
  oldValues_.assign(recordSize_, 0);
  keyBuffers_.assign(6, std::vector<uint8_t>(kKeyHeaderSize + recordSize_, 0));
  for (int k = 0; k < 6; ++k) ClearKeyBuffer(TKeyIndex(k));
  keySaved_.clear();
  filled_ = 0;
  active_ = 0;
  cursorBuffer_ = -1;
}

void TLedraDataSet::ReadIndexDescription() {
  indexFields_.clear();
  indexCaseInsensitive_ = false;
  if (TCursorIndex* index = cursor_->CurrentIndex()) {
    const TIndexDesc& desc = index->Desc();
    const int count = std::min<int>(desc.KeyFieldCount, 16);
    for (int i = 0; i < count; ++i) indexFields_.push_back(desc.KeyFields[size_t(i)]);
    indexCaseInsensitive_ = desc.CaseInsensitive != 0;
  }
}

void TLedraDataSet::Close() {
  if (!Active()) return;
  Run(BeforeClose);
  for (TDataLink* link : std::vector<TDataLink*>(links_)) link->DataSetClosing();
  std::exception_ptr failure = nullptr;
  try {
    InternalClose();
  } catch (...) {
    failure = std::current_exception();
  }
  NotifyActiveChanged(false);
  if (failure) std::rethrow_exception(failure);
  Run(AfterClose);
}

void TLedraDataSet::InternalClose() {
  // The key buffers, the before-edit buffer and the field objects made at
  // open go first; persistent ones are only unbound.
  keyBuffers_.clear();
  keySaved_.clear();
  oldValues_.clear();
  newRecord_.clear();
  buffers_.clear();
  blockImages_.clear();
  blockImages_.shrink_to_fit();
  filled_ = 0;
  active_ = 0;
  cursorBuffer_ = -1;
  bof_ = eof_ = true;
  modified_ = false;
  for (TLedraField* field : fields_) field->Unbind();
  if (defaultFields_) {
    // Made at open: all of them are.
    fields_.clear();
    ownedFields_.clear();
    defaultFields_ = false;
  }
  state_ = dsInactive;
  // The cursor closes (giving back its record locks and blob buffers) even
  // when its last write fails; that failure is passed on after the database
  // is given back.
  std::exception_ptr failure = nullptr;
  if (cursor_) {
    try {
      cursor_->Close();
    } catch (...) {
      failure = std::current_exception();
    }
    cursor_.reset();
  }
  try {
    CloseCursorBinding();
  } catch (...) {
    if (!failure) failure = std::current_exception();
  }
  if (failure) std::rethrow_exception(failure);
}

// ---- Fields ----------------------------------------------------------------------------

TLedraField* TLedraDataSet::FindField(std::string_view name) const {
  for (TLedraField* field : fields_) {
    if (SameText(field->FieldName(), name)) return field;
  }
  return nullptr;
}

TLedraField& TLedraDataSet::FieldByName(std::string_view name) const {
  TLedraField* field = FindField(name);
  if (field == nullptr) DatabaseErrorFmt("Field '%s' not found", {std::string(name)});
  return *field;
}

TLedraField& TLedraDataSet::AddField(std::unique_ptr<TLedraField> field) {
  CheckInactive();
  if (defaultFields_) {
    fields_.clear();
    ownedFields_.clear();
    defaultFields_ = false;
  }
  field->dataSet_ = this;
  fields_.push_back(field.get());
  ownedFields_.push_back(std::move(field));
  return *fields_.back();
}

void TLedraDataSet::RemoveField(TLedraField& field) {
  CheckInactive();
  fields_.erase(std::remove(fields_.begin(), fields_.end(), &field), fields_.end());
  ownedFields_.erase(std::remove_if(ownedFields_.begin(), ownedFields_.end(),
                                    [&](const auto& f) { return f.get() == &field; }),
                     ownedFields_.end());
}

TLedraField& TLedraDataSet::IndexFields(int index) const {
  if (index < 0 || index >= int(indexFields_.size())) DatabaseError("Field index out of range.");
  const uint16_t fieldNo = indexFields_[size_t(index)];
  for (TLedraField* field : fields_) {
    if (field->FieldNo() == fieldNo) return *field;
  }
  std::string name = std::to_string(fieldNo);
  for (const TComponentFieldDef& def : fieldDefs_) {
    if (def.FieldNo == fieldNo) name = def.Name;
  }
  DatabaseErrorFmt("Cannot access index field %s.", {name});
}

// ---- Record buffers ----------------------------------------------------------------------

int32_t TLedraDataSet::RecNoOf(const std::vector<uint8_t>& buffer) const {
  int32_t recNo;
  std::memcpy(&recNo, buffer.data() + InfoOffset(), sizeof recNo);
  return recNo;
}

uint8_t& TLedraDataSet::FlagOf(std::vector<uint8_t>& buffer) const {
  return buffer[InfoOffset() + 4];
}

void TLedraDataSet::FillInfo(std::vector<uint8_t>& buffer, int32_t recNo) {
  std::memcpy(buffer.data() + InfoOffset(), &recNo, sizeof recNo);
  FlagOf(buffer) = bfCurrent;
}

void TLedraDataSet::ClearBuffers() {
  filled_ = 0;
  active_ = 0;
  cursorBuffer_ = -1;
}

TGetResult TLedraDataSet::GetRecord(std::vector<uint8_t>& buffer, TGetMode mode, bool check) {
  uint8_t* image = buffer.data();
  uint16_t code = 0;
  try {
    switch (mode) {
      case gmCurrent:
        code = cursor_->ReadCurrent(image, false);
        break;
      case gmNext:
        code = cursor_->ReadNext(image);
        break;
      case gmPrior:
        code = cursor_->ReadPrior(image);
        break;
    }
  } catch (const std::exception& error) {
    code = ErrorCodeOf(error);
  }
  switch (code) {
    case 0: {
      FillInfo(buffer, cursor_->GetSequenceNo());
      std::fill_n(BookmarkOf(buffer), bookmarkSize_, uint8_t(0));
      cursor_->GetBookmark(BookmarkOf(buffer));
      return grOK;
    }
    case LEDRA_BOF:
      return grBOF;
    case LEDRA_EOF:
      return grEOF;
    default:
      if (check) CheckEngineCode(code);
      return grError;
  }
}

void TLedraDataSet::CheckEngineCode(uint16_t code) const {
  if (code == 0) return;
  RaiseTableError(code, ErrorTableName(), ErrorDatabaseName());
}

void TLedraDataSet::SetCurrentRecord(int index) {
  if (cursorBuffer_ == index) return;
  cursor_->GotoBookmark(BookmarkOf(buffers_[size_t(index)]), false);
  cursorBuffer_ = index;
}

void TLedraDataSet::UpdateCursorPos() {
  if (filled_ > 0 && state_ != dsInsert) SetCurrentRecord(active_);
}

bool TLedraDataSet::GetNextRecord() {
  if (filled_ > 0) SetCurrentRecord(filled_ - 1);
  const size_t target = size_t(std::min(filled_, bufferCount_));
  if (GetRecord(buffers_[target], gmNext, true) != grOK) {
    cursorBuffer_ = -1;
    return false;
  }
  if (filled_ == bufferCount_) {
    // The oldest record leaves the ring; the spare takes it.
    std::rotate(buffers_.begin(), buffers_.begin() + 1, buffers_.end());
    if (active_ > 0) --active_;
  } else {
    ++filled_;
  }
  cursorBuffer_ = filled_ - 1;
  return true;
}

bool TLedraDataSet::GetPriorRecord() {
  if (filled_ > 0) SetCurrentRecord(0);
  if (GetRecord(buffers_[size_t(bufferCount_)], gmPrior, true) != grOK) {
    cursorBuffer_ = -1;
    return false;
  }
  // The spare goes to the front; a full ring drops its newest record.
  std::rotate(buffers_.begin(), buffers_.begin() + bufferCount_, buffers_.end());
  if (filled_ < bufferCount_) ++filled_;
  active_ = std::min(active_ + 1, filled_ - 1);
  cursorBuffer_ = 0;
  return true;
}

int TLedraDataSet::GetNextRecords() {
  const int wanted = bufferCount_ - filled_;
  if (wanted <= 0) return 0;
  if (wanted == 1) return GetNextRecord() ? 1 : 0;

  // Several records in one engine call.
  if (filled_ > 0) SetCurrentRecord(filled_ - 1);
  const int32_t before =
      filled_ > 0 ? RecNoOf(buffers_[size_t(filled_ - 1)]) : cursor_->GetSequenceNo();
  // Grown to the ring's size once; refilling allocates nothing.
  if (blockImages_.size() < size_t(wanted) * recordSize_) {
    blockImages_.resize(size_t(wanted) * recordSize_);
  }
  const std::vector<uint8_t>& images = blockImages_;
  int32_t count = wanted;
  uint16_t code = 0;
  try {
    code = cursor_->ReadNextBlock(count, blockImages_.data());
  } catch (const std::exception& error) {
    code = ErrorCodeOf(error);
    count = 0;
  }
  if (code != 0 && code != LEDRA_EOF && code != LEDRA_BOF) CheckEngineCode(code);
  const bool natural = cursor_->NaturalOrder();
  const uint16_t bookmarkLength = cursor_->BookmarkSize();
  for (int32_t i = 0; i < count; ++i) {
    std::vector<uint8_t>& buffer = buffers_[size_t(filled_)];
    std::memcpy(buffer.data(), images.data() + size_t(i) * recordSize_, recordSize_);
    FillInfo(buffer, before + 1 + i);
    uint8_t* bookmark = BookmarkOf(buffer);
    std::fill_n(bookmark, bookmarkSize_, uint8_t(0));
    if (natural) {
      // The record number a live record carries in its image.
      PutLE32(bookmark, GetLE32(buffer.data() + 1));
    } else if (bookmarkLength > 0) {
      cursor_->BuildKey(buffer.data(), bookmark);
    }
    ++filled_;
  }
  cursorBuffer_ = code == 0 && count > 0 ? filled_ - 1 : -1;
  return int(count);
}

int TLedraDataSet::GetPriorRecords(int count) {
  int read = 0;
  while (read < count && GetPriorRecord()) ++read;
  return read;
}

void TLedraDataSet::Resync(bool exact, bool center) {
  cursorBuffer_ = -1;
  std::vector<uint8_t>& spare = buffers_[size_t(bufferCount_)];
  if (exact) {
    if (GetRecord(spare, gmCurrent, false) != grOK) DatabaseError("Record not found");
  } else if (GetRecord(spare, gmCurrent, false) != grOK &&
             GetRecord(spare, gmNext, false) != grOK && GetRecord(spare, gmPrior, false) != grOK) {
    ClearBuffers();
    bof_ = eof_ = true;
    NotifyDataSetChanged();
    return;
  }
  const int before = center ? (bufferCount_ - 1) / 2 : std::min(active_, bufferCount_ - 1);
  std::swap(buffers_[0], spare);
  filled_ = 1;
  active_ = 0;
  cursorBuffer_ = 0;
  GetPriorRecords(before);
  GetNextRecords();
  bof_ = eof_ = false;
  NotifyDataSetChanged();
}

uint8_t* TLedraDataSet::ActiveImage() {
  switch (state_) {
    case dsSetKey:
      return KeyImage(keyIndex_);
    case dsInsert:
      return newRecord_.data();
    case dsBrowse:
    case dsEdit:
      return filled_ > 0 ? buffers_[size_t(active_)].data() : nullptr;
    default:
      return nullptr;
  }
}

const uint8_t* TLedraDataSet::ActiveImage() const {
  return const_cast<TLedraDataSet*>(this)->ActiveImage();
}

void TLedraDataSet::SetBufferCount(int count) {
  count = std::max(count, 1);
  if (count == bufferCount_) return;
  if (!Active()) {
    bufferCount_ = count;
    return;
  }
  CheckBrowseMode();
  std::vector<uint8_t> current;
  if (filled_ > 0) current = buffers_[size_t(active_)];
  bufferCount_ = count;
  buffers_.assign(size_t(bufferCount_) + 1, std::vector<uint8_t>(bufferSize_, 0));
  ClearBuffers();
  if (current.empty()) return;
  cursor_->GotoBookmark(BookmarkOf(current), false);
  Resync(false, true);
}

// ---- Navigation ------------------------------------------------------------------------

void TLedraDataSet::CheckBrowseMode() {
  CheckActive();
  switch (state_) {
    case dsEdit:
    case dsInsert:
      if (modified_) {
        Post();
      } else {
        Cancel();
      }
      break;
    case dsSetKey:
      Post();
      break;
    default:
      break;
  }
}

void TLedraDataSet::First() {
  CheckBrowseMode();
  Run(BeforeScroll);
  ClearBuffers();
  cursor_->MoveToStart();
  GetNextRecords();
  bof_ = true;
  eof_ = filled_ == 0;
  NotifyDataSetChanged();
  Run(AfterScroll);
}

void TLedraDataSet::Last() {
  CheckBrowseMode();
  Run(BeforeScroll);
  ClearBuffers();
  cursor_->MoveToEnd();
  GetPriorRecords(bufferCount_);
  active_ = std::max(filled_ - 1, 0);
  eof_ = true;
  bof_ = filled_ == 0;
  NotifyDataSetChanged();
  Run(AfterScroll);
}

int TLedraDataSet::MoveBy(int distance) {
  CheckBrowseMode();
  int moved = 0;
  if ((distance > 0 && !eof_) || (distance < 0 && !bof_)) {
    Run(BeforeScroll);
    bof_ = false;
    eof_ = false;
    while (distance > 0) {
      if (active_ < filled_ - 1) {
        ++active_;
      } else if (GetNextRecord()) {
        active_ = filled_ - 1;
      } else {
        eof_ = true;
        break;
      }
      --distance;
      ++moved;
    }
    while (distance < 0) {
      if (active_ > 0) {
        --active_;
      } else if (GetPriorRecord()) {
        active_ = 0;
      } else {
        bof_ = true;
        break;
      }
      ++distance;
      --moved;
    }
    NotifyScrolled(moved);
    Run(AfterScroll);
  }
  return moved;
}

int32_t TLedraDataSet::RecordCount() {
  CheckActive();
  return cursor_->GetRecordCount();
}

int32_t TLedraDataSet::RecNo() {
  CheckActive();
  if (state_ == dsInsert || filled_ == 0) return state_ == dsInsert ? -1 : 0;
  UpdateCursorPos();
  return cursor_->GetSequenceNo();
}

void TLedraDataSet::SetRecNo(int32_t recNo) {
  CheckBrowseMode();
  Run(BeforeScroll);
  cursor_->MoveToSequence(recNo);
  Resync(false, true);
  Run(AfterScroll);
}

void TLedraDataSet::Refresh() {
  CheckBrowseMode();
  UpdateCursorPos();
  cursor_->Resync();
  Resync(false, false);
}

TBookmark TLedraDataSet::GetBookmark() const {
  CheckActive();
  if (filled_ == 0 || state_ == dsInsert) return {};
  const std::vector<uint8_t>& buffer = buffers_[size_t(active_)];
  const uint8_t* bookmark = BookmarkOf(buffer);
  return TBookmark(bookmark, bookmark + cursor_->BookmarkSize());
}

void TLedraDataSet::GotoBookmark(const TBookmark& bookmark) {
  CheckBrowseMode();
  if (bookmark.size() != cursor_->BookmarkSize()) DatabaseError("Record not found");
  Run(BeforeScroll);
  cursorBuffer_ = -1;
  if (!cursor_->GotoBookmark(bookmark.data(), true)) DatabaseError("Record not found");
  Resync(true, true);
  Run(AfterScroll);
}

bool TLedraDataSet::BookmarkValid(const TBookmark& bookmark) {
  CheckActive();
  if (bookmark.size() != cursor_->BookmarkSize()) return false;
  cursorBuffer_ = -1;
  return cursor_->GotoBookmark(bookmark.data(), true);
}

int TLedraDataSet::CompareBookmarks(const TBookmark& a, const TBookmark& b) {
  CheckActive();
  if (a.empty() || b.empty()) return a.empty() == b.empty() ? 0 : (a.empty() ? -1 : 1);
  return cursor_->CompareBookmarks(a.data(), b.data());
}

// ---- Keys ------------------------------------------------------------------------------

void TLedraDataSet::ClearKeyBuffer(TKeyIndex index) {
  std::vector<uint8_t>& buffer = keyBuffers_[index];
  std::fill(buffer.begin(), buffer.begin() + kKeyHeaderSize, uint8_t(0));
  cursor_->InitRecordBuffer(buffer.data() + kKeyHeaderSize);
}

void TLedraDataSet::SetKeyFields(TKeyIndex index, const std::vector<std::string>& values) {
  if (indexFields_.empty()) DatabaseError("No fields defined for the current index.");
  const TDataSetState saved = state_;
  state_ = dsSetKey;
  keyIndex_ = index;
  try {
    ClearKeyBuffer(index);
    for (size_t i = 0; i < values.size(); ++i) {
      IndexFields(int(i)).SetAsString(values[i]);
    }
  } catch (...) {
    state_ = saved;
    throw;
  }
  std::vector<uint8_t>& buffer = keyBuffers_[index];
  buffer[0] = 1;
  const int32_t count = int32_t(values.size());
  std::memcpy(buffer.data() + 1, &count, sizeof count);
  state_ = saved;
}

bool TLedraDataSet::FindKey(const std::vector<std::string>& values) {
  CheckBrowseMode();
  SetKeyFields(kiLookup, values);
  CheckBrowseMode();
  Run(BeforeScroll);
  cursorBuffer_ = -1;
  std::vector<uint8_t> key(TDataCursor::kRangeKeySize, 0);
  cursor_->BuildKey(KeyImage(kiLookup), key.data());
  const bool found = cursor_->FindByKey(true, key.data(), nullptr, 0, false, int(values.size()));
  if (!found) return false;
  Resync(true, true);
  Run(AfterScroll);
  return true;
}

void TLedraDataSet::FindNearest(const std::vector<std::string>& values) {
  CheckBrowseMode();
  SetKeyFields(kiLookup, values);
  Run(BeforeScroll);
  cursorBuffer_ = -1;
  std::vector<uint8_t> key(TDataCursor::kRangeKeySize, 0);
  cursor_->BuildKey(KeyImage(kiLookup), key.data());
  cursor_->FindByKey(true, key.data(), nullptr, 0, true, int(values.size()));
  Resync(false, true);
  Run(AfterScroll);
}

void TLedraDataSet::SetRange(const std::vector<std::string>& start,
                             const std::vector<std::string>& end) {
  CheckBrowseMode();
  SetKeyFields(kiRangeStart, start);
  SetKeyFields(kiRangeEnd, end);
  keyBuffers_[kiCurRangeStart] = keyBuffers_[kiRangeStart];
  keyBuffers_[kiCurRangeEnd] = keyBuffers_[kiRangeEnd];
  cursor_->SetKeyRange(false, start.empty() ? nullptr : KeyImage(kiCurRangeStart),
                       int(start.size()), end.empty() ? nullptr : KeyImage(kiCurRangeEnd),
                       int(end.size()));
  First();
}

void TLedraDataSet::CancelRange() {
  CheckBrowseMode();
  cursor_->ClearKeyRange();
  ClearKeyBuffer(kiCurRangeStart);
  ClearKeyBuffer(kiCurRangeEnd);
  First();
}

void TLedraDataSet::SwitchToIndex(std::string_view indexName) {
  CheckBrowseMode();
  UpdateCursorPos();
  cursor_->SetIndexName(indexName);
  ReadIndexDescription();
  ClearBuffers();
  Resync(false, true);
}

// ---- Changes ---------------------------------------------------------------------------

void TLedraDataSet::CheckCanModify() const {
  if (!canModify_) DatabaseError("Cannot modify a read-only dataset");
}

void TLedraDataSet::Edit() {
  if (state_ == dsEdit || state_ == dsInsert) return;
  if (Active() && filled_ == 0) {
    // Nothing to edit: a new record instead.
    Insert();
    return;
  }
  CheckBrowseMode();
  CheckCanModify();
  Run(BeforeEdit);
  UpdateCursorPos();
  uint8_t* image = buffers_[size_t(active_)].data();
  // Re-read with the lock into a copy, so that a refused edit leaves the
  // record shown as it was.
  std::vector<uint8_t> fresh(image, image + recordSize_);
  const uint16_t code = cursor_->ReadCurrent(fresh.data(), true);
  CheckEngineCode(code);
  std::memcpy(image, fresh.data(), recordSize_);
  std::memcpy(oldValues_.data(), image, recordSize_);
  state_ = dsEdit;
  modified_ = false;
  NotifyRecordChanged();
  Run(AfterEdit);
}

void TLedraDataSet::StartEditOrInsert(TDataSetState state, bool) {
  CheckBrowseMode();
  CheckCanModify();
  Run(BeforeInsert);
  std::fill(newRecord_.begin(), newRecord_.end(), uint8_t(0));
  cursor_->InitRecordBuffer(newRecord_.data());
  const int32_t recNo = -1;
  std::memcpy(newRecord_.data() + InfoOffset(), &recNo, sizeof recNo);
  FlagOf(newRecord_) = bfInserted;
  state_ = state;
  modified_ = false;
  NotifyDataSetChanged();
  Run(AfterInsert);
}

void TLedraDataSet::Insert() {
  StartEditOrInsert(dsInsert, false);
}
void TLedraDataSet::Append() {
  StartEditOrInsert(dsInsert, true);
}

void TLedraDataSet::CheckRequiredFields() {
  for (TLedraField* field : fields_) {
    if (!field->Required() || field->ReadOnly() || field->DataType() == ftAutoInc) continue;
    if (field->IsNull()) DatabaseErrorFmt("Field '%s' must have a value", {field->DisplayLabel()});
  }
}

void TLedraDataSet::Post() {
  CheckActive();
  if (state_ == dsSetKey) {
    // The key buffer keeps its modified flag.
    state_ = dsBrowse;
    return;
  }
  if (state_ != dsEdit && state_ != dsInsert) return;
  CheckRequiredFields();
  Run(BeforePost);
  if (state_ == dsEdit) {
    UpdateCursorPos();
    cursor_->PostEdit(buffers_[size_t(active_)].data(), true, true);
  } else {
    cursor_->PostInsert(newRecord_.data(), true);
  }
  state_ = dsBrowse;
  modified_ = false;
  Resync(false, true);
  Run(AfterPost);
}

void TLedraDataSet::Cancel() {
  CheckActive();
  if (state_ == dsSetKey) {
    if (!keySaved_.empty()) keyBuffers_[keyIndex_] = keySaved_;
    state_ = dsBrowse;
    return;
  }
  if (state_ != dsEdit && state_ != dsInsert) return;
  Run(BeforeCancel);
  const bool wasEdit = state_ == dsEdit;
  cursorBuffer_ = -1;
  state_ = dsBrowse;
  modified_ = false;
  std::exception_ptr failure = nullptr;
  try {
    if (wasEdit) cursor_->CancelEdit();
  } catch (...) {
    failure = std::current_exception();
  }
  // The blob values written for the abandoned record.
  cursor_->FreeBlobBuffers(false);
  if (filled_ > 0) {
    SetCurrentRecord(active_);
    Resync(false, false);
  } else {
    NotifyDataSetChanged();
  }
  if (failure) std::rethrow_exception(failure);
  Run(AfterCancel);
}

void TLedraDataSet::Delete() {
  CheckActive();
  if (state_ == dsInsert || state_ == dsSetKey) {
    Cancel();
    return;
  }
  if (filled_ == 0) DatabaseError("Cannot perform this operation on an empty dataset");
  CheckCanModify();
  Run(BeforeDelete);
  Run(BeforeScroll);
  UpdateCursorPos();
  const uint8_t* image = buffers_[size_t(active_)].data();
  if (state_ == dsEdit) {
    // The record as read when the edit began is the one to compare; the
    // edit's own lock covers the delete.
    image = oldValues_.data();
  }
  cursor_->DeleteCurrent(image, true);
  if (state_ == dsEdit) {
    state_ = dsBrowse;
    cursor_->FreeBlobBuffers(false);
  }
  modified_ = false;
  Resync(false, false);
  Run(AfterDelete);
  Run(AfterScroll);
}

// ---- Field access ------------------------------------------------------------------------

bool TLedraDataSet::GetFieldData(const TLedraField& field, uint8_t* value) const {
  if (!Active()) DatabaseError("Cannot perform this operation on a closed dataset");
  const uint8_t* image = ActiveImage();
  if (image == nullptr) return false;
  bool isNull = true;
  cursor_->GetFieldValue(field.FieldNo(), image, isNull, value);
  return !isNull;
}

void TLedraDataSet::SetFieldData(TLedraField& field, const uint8_t* value) {
  if (state_ != dsEdit && state_ != dsInsert && state_ != dsSetKey) {
    DatabaseError("Table is not in edit or insert mode.");
  }
  if (state_ == dsSetKey) {
    if (std::find(indexFields_.begin(), indexFields_.end(), uint16_t(field.FieldNo())) ==
        indexFields_.end()) {
      DatabaseErrorFmt("Field %s is not in the current index.", {field.DisplayLabel()});
    }
  } else if (field.ReadOnly()) {
    DatabaseErrorFmt("Field %s cannot be modified.", {field.DisplayLabel()});
  }
  uint8_t* image = ActiveImage();
  // The validation sees the new value; a refusal puts the old one back.
  std::vector<uint8_t> before(image, image + recordSize_);
  cursor_->SetFieldValue(field.FieldNo(), image, value, false, false);
  if (field.OnValidate) {
    try {
      field.OnValidate(field);
    } catch (...) {
      std::memcpy(image, before.data(), recordSize_);
      throw;
    }
  }
  if (state_ != dsSetKey) modified_ = true;
  FieldChanged(field);
}

void TLedraDataSet::FieldChanged(TLedraField& field) {
  if (field.OnChange) field.OnChange(field);
  NotifyRecordChanged();
}

std::vector<uint8_t> TLedraDataSet::BlobValue(const TLedraField& field) {
  CheckActive();
  std::vector<uint8_t> value;
  uint8_t* active = ActiveImage();
  if (active == nullptr || state_ == dsSetKey) return value;
  bool isNull = true;
  uint8_t reference[kFieldValueBufferSize] = {};
  cursor_->GetFieldValue(field.FieldNo(), active, isNull, reference);
  if (isNull) return value;
  // A stored value that another program rewrote is read again with its
  // record, so the cursor must stand on this record.
  if (state_ == dsBrowse) UpdateCursorPos();
  std::vector<uint8_t> image(active, active + recordSize_);
  ReadBlobValue(*cursor_, field.FieldNo(), image, value);
  if (state_ == dsBrowse) std::memcpy(active, image.data(), recordSize_);
  return value;
}

void TLedraDataSet::SetBlobValue(TLedraField& field, const std::vector<uint8_t>& bytes) {
  if (state_ != dsEdit && state_ != dsInsert) DatabaseError("Table is not in edit or insert mode.");
  if (field.ReadOnly()) DatabaseErrorFmt("Field %s cannot be modified.", {field.DisplayLabel()});
  uint8_t* image = ActiveImage();
  const int fieldNo = field.FieldNo();
  // The buffer is freed after the post, or by Cancel when the edit is
  // abandoned.
  uint32_t length = 0;
  uint16_t code = cursor_->OpenBlob(fieldNo, image, length, true, TBlobOpenMode::kWrite);
  if (code == 0) code = cursor_->TruncateBlob(fieldNo, image, 0);
  if (code == 0 && !bytes.empty()) {
    code = bytes.size() > TBlobBuffer::kMaxLength
               ? uint16_t(LEDRA_INVALIDBLOBLEN)
               : cursor_->WriteBlob(fieldNo, image, 0, uint32_t(bytes.size()), bytes.data());
  }
  CheckEngineCode(code);
  modified_ = true;
  FieldChanged(field);
}

// ---- Bound controls --------------------------------------------------------------------

void TLedraDataSet::AddDataLink(TDataLink* link) {
  if (link != nullptr && std::find(links_.begin(), links_.end(), link) == links_.end()) {
    links_.push_back(link);
  }
}

void TLedraDataSet::RemoveDataLink(TDataLink* link) {
  links_.erase(std::remove(links_.begin(), links_.end(), link), links_.end());
}

void TLedraDataSet::DisableControls() {
  if (disableCount_++ == 0) {
    for (TDataLink* link : std::vector<TDataLink*>(links_)) link->ControlsDisabledChanged(true);
  }
}

void TLedraDataSet::EnableControls() {
  if (disableCount_ == 0) return;
  if (--disableCount_ == 0) {
    for (TDataLink* link : std::vector<TDataLink*>(links_)) {
      link->ControlsDisabledChanged(false);
      link->DataSetChanged();
    }
  }
}

void TLedraDataSet::NotifyDataSetChanged() {
  if (disableCount_ > 0) return;
  for (TDataLink* link : std::vector<TDataLink*>(links_)) link->DataSetChanged();
}

void TLedraDataSet::NotifyRecordChanged() {
  if (disableCount_ > 0) return;
  for (TDataLink* link : std::vector<TDataLink*>(links_)) link->RecordChanged();
}

void TLedraDataSet::NotifyScrolled(int distance) {
  if (disableCount_ > 0) return;
  for (TDataLink* link : std::vector<TDataLink*>(links_)) link->DataSetScrolled(distance);
}

void TLedraDataSet::NotifyActiveChanged(bool active) {
  // Opening and closing reach the controls even while they are disabled.
  for (TDataLink* link : std::vector<TDataLink*>(links_)) {
    link->ActiveChanged(active);
    link->DataSetChanged();
  }
}

}  // namespace ledra
