// The blob operations of a cursor: the open-blob list, reading and changing
// blob values in memory, and their part of a post.
//
// A record image that has a blob open carries, in that field's reference,
// the negated handle of a TBlobBuffer in this cursor's list (handles are
// positive 31-bit numbers and never reach a file). The stamp bytes of the
// field stay those read with the record until the value is written: every
// write draws a new stamp, which every block of the chain and the record
// then carry, so that a reader holding an older record image notices that
// the value was rewritten under it.
//
// At post the buffers of the posted image are the ones written; a new record
// never shares a chain with another record (values it was given by
// reference are copied into chains of its own). A changed value always goes
// into a new chain and the record's old chain is freed: the old chain is
// never written over, so a program dying during the commit leaves the record
// with its old value or its new one, never a chain that is neither.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <string_view>
#include <utility>
#include <vector>

#include "engine/blob/BlobChain.h"
#include "engine/cursor/DataCursor.h"
#include "engine/files/Bytes.h"
#include "engine/table/DataTable.h"
#include "engine/index/IndexHeader.h"

namespace ledra {

namespace {

// Field slot: null flag, reference (LE32), stamp (LE32).
constexpr size_t kReferenceOffset = 1;
constexpr size_t kStampOffset = 5;
constexpr size_t kBlobSlotSize = 9;

int32_t StampOf(const TFieldDesc& field, const uint8_t* image) {
  return int32_t(GetLE32(image + field.Offset + kStampOffset));
}

}  // namespace

// ---- The open-blob list ------------------------------------------------------------------

const TFieldDesc* TDataCursor::BlobField(int fieldNo) const {
  const TRecordLayout& layout = Layout();
  if (fieldNo < 1 || fieldNo > layout.FieldCount()) return nullptr;
  const TFieldDesc& field = layout.FieldDesc(fieldNo);
  if (!field.IsBlob() || field.Offset < kRecordPrefixSize ||
      size_t(field.Offset) + kBlobSlotSize > layout.RecordSize()) {
    return nullptr;
  }
  return &field;
}

int32_t TDataCursor::BlobReference(const TFieldDesc& field, const uint8_t* image) const {
  return int32_t(GetLE32(image + field.Offset + kReferenceOffset));
}

TBlobBuffer* TDataCursor::BufferOfHandle(int32_t handle) const {
  for (const auto& buffer : openBlobs_) {
    if (buffer->Handle() == handle) return buffer.get();
  }
  return nullptr;
}

TBlobBuffer* TDataCursor::BufferOf(const TFieldDesc& field, const uint8_t* image) const {
  const int32_t reference = BlobReference(field, image);
  if (reference >= 0 || reference == std::numeric_limits<int32_t>::min()) return nullptr;
  TBlobBuffer* buffer = BufferOfHandle(-reference);
  // A handle copied into another field is not that field's value.
  return buffer != nullptr && buffer->FieldNo() == field.FieldNo ? buffer : nullptr;
}

std::vector<TBlobBuffer*> TDataCursor::ImageBlobs(const uint8_t* image) const {
  std::vector<TBlobBuffer*> buffers;
  if (openBlobs_.empty()) return buffers;
  for (int fieldNo = 1; fieldNo <= Layout().FieldCount(); ++fieldNo) {
    const TFieldDesc* field = BlobField(fieldNo);
    if (field == nullptr) continue;
    if (TBlobBuffer* buffer = BufferOf(*field, image)) buffers.push_back(buffer);
  }
  return buffers;
}

const TBlobBuffer* TDataCursor::FindBlobBuffer(int fieldNo, const uint8_t* image) const {
  const TFieldDesc* field = BlobField(fieldNo);
  return field != nullptr ? BufferOf(*field, image) : nullptr;
}

int32_t TDataCursor::NewBlobHandle() {
  for (;;) {
    const int32_t handle = nextBlobHandle_;
    nextBlobHandle_ = handle == std::numeric_limits<int32_t>::max() ? 1 : handle + 1;
    if (BufferOfHandle(handle) == nullptr) return handle;
  }
}

void TDataCursor::RemoveBlobBuffer(const TBlobBuffer* buffer) noexcept {
  std::erase_if(openBlobs_, [&](const auto& open) { return open.get() == buffer; });
}

void TDataCursor::PutBlobReference(const TFieldDesc& field, uint8_t* image, int32_t reference,
                                   bool empty) const {
  uint8_t value[4];
  PutLE32(value, uint32_t(reference));
  SetFieldValue(field.FieldNo, image, value, empty, true);
}

std::vector<uint8_t> TDataCursor::StoredForm(const uint8_t* image, size_t size) const {
  std::vector<uint8_t> stored(image, image + size);
  if (openBlobs_.empty()) return stored;
  for (int fieldNo = 1; fieldNo <= Layout().FieldCount(); ++fieldNo) {
    const TFieldDesc* field = BlobField(fieldNo);
    if (field == nullptr) continue;
    if (const TBlobBuffer* buffer = BufferOf(*field, image)) {
      PutBlobReference(*field, stored.data(), buffer->FirstBlock(), true);
    }
  }
  return stored;
}

bool TDataCursor::InTextIndex(int fieldNo) const {
  const TIndexDesc desc = table_->IndexFile().GetIndexDesc(kTextSlot);
  for (int i = 0; i < desc.KeyFieldCount && i < kMaxKeyFields; ++i) {
    if (desc.KeyFields[size_t(i)] == fieldNo) return true;
  }
  return false;
}

TBlobBuffer& TDataCursor::AddBlobBuffer(const TFieldDesc& field, uint8_t* image, bool freeAfterPost,
                                        TBlobOpenMode mode, bool load) {
  const int32_t reference = BlobReference(field, image);
  auto buffer = std::make_unique<TBlobBuffer>(NewBlobHandle(), field.FieldNo, reference,
                                              StampOf(field, image), int32_t(GetLE32(image + 1)),
                                              mode, freeAfterPost);
  // The words a memo had are the ones its edit removes from the text index.
  const bool keepCopy = field.SubType == kSubTypeMemo && InTextIndex(field.FieldNo);
  // A field without a value loads as empty too, so that its edit knows it had
  // no words (else the new value would pass for the old one and its words
  // would never reach the text index).
  if (load && reference >= 0) buffer->Load(table_->BlobFile(), &BlobClient(), keepCopy);
  openBlobs_.push_back(std::move(buffer));
  TBlobBuffer& added = *openBlobs_.back();
  PutBlobReference(field, image, -added.Handle(), added.Length() == 0);
  return added;
}

void TDataCursor::FreeRecordBuffers(int32_t recordNo) noexcept {
  std::erase_if(openBlobs_, [&](const auto& open) { return open->RecordNo() == recordNo; });
}

// ---- Opening, reading and changing -------------------------------------------------------

uint16_t TDataCursor::OpenBlob(int fieldNo, uint8_t* image, uint32_t& length, bool freeAfterPost,
                               TBlobOpenMode mode) {
  length = 0;
  return Operate([&]() -> uint16_t {
    const TFieldDesc* field = BlobField(fieldNo);
    if (field == nullptr) return LEDRA_NOTABLOB;
    if (BlobReference(*field, image) < 0) {
      TBlobBuffer* buffer = BufferOf(*field, image);
      if (buffer == nullptr) return LEDRA_INVALIDBLOBOFFSET;
      if (buffer->OpenCount() == std::numeric_limits<uint16_t>::max()) return LEDRA_OPENBLOBLIMIT;
      buffer->SetOpenCount(uint16_t(buffer->OpenCount() + 1));
      buffer->SetFreeAfterPost(freeAfterPost);
      length = buffer->Length();
      return 0;
    }
    if (openBlobs_.size() >= kMaxOpenBlobs) return LEDRA_OPENBLOBLIMIT;
    // A failed load adds nothing and leaves the image as it was.
    length = AddBlobBuffer(*field, image, freeAfterPost, mode, /*load=*/true).Length();
    return 0;
  });
}

uint16_t TDataCursor::ReadBlob(int fieldNo, const uint8_t* image, uint32_t position, uint32_t count,
                               uint8_t* destination, uint32_t& read) {
  CheckOpen();
  read = 0;
  const TFieldDesc* field = BlobField(fieldNo);
  if (field == nullptr) return LEDRA_NOTABLOB;
  const TBlobBuffer* buffer = BufferOf(*field, image);
  if (buffer == nullptr) return LEDRA_INVALIDBLOBHANDLE;
  return buffer->Read(position, count, destination, read);
}

uint16_t TDataCursor::WriteBlob(int fieldNo, uint8_t* image, uint32_t position, uint32_t count,
                                const uint8_t* source) {
  CheckOpen();
  const TFieldDesc* field = BlobField(fieldNo);
  if (field == nullptr) return LEDRA_NOTABLOB;
  TBlobBuffer* buffer = BufferOf(*field, image);
  if (buffer == nullptr) return LEDRA_INVALIDBLOBHANDLE;
  const uint16_t result = buffer->Write(position, count, source);
  PutBlobReference(*field, image, -buffer->Handle(), buffer->Length() == 0);
  return result;
}

uint16_t TDataCursor::TruncateBlob(int fieldNo, uint8_t* image, uint32_t length) {
  CheckOpen();
  const TFieldDesc* field = BlobField(fieldNo);
  if (field == nullptr) return LEDRA_NOTABLOB;
  TBlobBuffer* buffer = BufferOf(*field, image);
  if (buffer == nullptr) return LEDRA_INVALIDBLOBHANDLE;
  const uint16_t result = buffer->Truncate(length);
  PutBlobReference(*field, image, -buffer->Handle(), buffer->Length() == 0);
  return result;
}

uint16_t TDataCursor::GetBlobLength(int fieldNo, const uint8_t* image, uint32_t& length) {
  CheckOpen();
  length = 0;
  const TFieldDesc* field = BlobField(fieldNo);
  if (field == nullptr) return LEDRA_NOTABLOB;
  const TBlobBuffer* buffer = BufferOf(*field, image);
  if (buffer == nullptr) return LEDRA_INVALIDBLOBHANDLE;
  length = buffer->Length();
  return 0;
}

uint16_t TDataCursor::CloseBlob(int fieldNo, uint8_t* image) {
  CheckOpen();
  const TFieldDesc* field = BlobField(fieldNo);
  if (field == nullptr) return LEDRA_NOTABLOB;
  TBlobBuffer* buffer = BufferOf(*field, image);
  if (buffer == nullptr) return LEDRA_INVALIDBLOBHANDLE;
  if (buffer->OpenCount() > 1) {
    buffer->SetOpenCount(uint16_t(buffer->OpenCount() - 1));
    return 0;
  }
  PutBlobReference(*field, image, buffer->FirstBlock(), true);
  RemoveBlobBuffer(buffer);
  return 0;
}

std::string_view TDataCursor::MemoValue(int fieldNo, const uint8_t* image, bool asLoaded,
                                        std::vector<uint8_t>& scratch) {
  scratch.clear();
  const TFieldDesc* field = BlobField(fieldNo);
  if (field == nullptr) return {};
  const std::vector<uint8_t>* value = &scratch;
  const int32_t reference = BlobReference(*field, image);
  if (reference < 0) {
    const TBlobBuffer* buffer = BufferOf(*field, image);
    if (buffer == nullptr) return {};
    value = asLoaded && buffer->LoadedCopy() != nullptr ? buffer->LoadedCopy() : &buffer->Data();
  } else if (reference > 0) {
    LoadBlobValue(table_->BlobFile(), reference, StampOf(*field, image), scratch, &BlobClient());
  }
  return std::string_view(reinterpret_cast<const char*>(value->data()), value->size());
}

// ---- Post time -----------------------------------------------------------------------------

void TDataCursor::StampBlobs(uint8_t* image) {
  for (TBlobBuffer* buffer : ImageBlobs(image)) {
    if (!buffer->Changed()) continue;
    const int32_t stamp = table_->DataFile().NextBlobStamp();
    buffer->SetStamp(stamp);
    PutLE32(image + Layout().FieldDesc(buffer->FieldNo()).Offset + kStampOffset, uint32_t(stamp));
  }
}

bool TDataCursor::WriteBlobs(const uint8_t* image) {
  std::vector<TBlobBuffer*> changed = ImageBlobs(image);
  std::erase_if(changed, [](const TBlobBuffer* buffer) { return !buffer->Changed(); });
  for (const TBlobBuffer* buffer : changed) {
    if (buffer->RecordNo() != changed.front()->RecordNo()) {
      RaiseTableError(LEDRA_MEMOCORRUPT, tableName_, directory_.DatabaseName());
    }
  }
  for (TBlobBuffer* buffer : changed) {
    buffer->Store(table_->BlobFile(), buffer->Stamp(), &BlobClient());
  }
  return !changed.empty();
}

void TDataCursor::StoreBlobRefs(uint8_t* image) {
  for (TBlobBuffer* buffer : ImageBlobs(image)) {
    PutBlobReference(Layout().FieldDesc(buffer->FieldNo()), image, buffer->FirstBlock(), true);
  }
}

void TDataCursor::FreeBlobBuffers(bool all) {
  std::erase_if(openBlobs_, [&](const auto& open) { return all || open->FreeAfterPost(); });
}

bool TDataCursor::FreeRecordBlobs(const uint8_t* image) {
  bool freed = false;
  for (int fieldNo = 1; fieldNo <= Layout().FieldCount(); ++fieldNo) {
    const TFieldDesc* field = BlobField(fieldNo);
    if (field == nullptr) continue;
    const int32_t reference = BlobReference(*field, image);
    if (reference <= 0) continue;
    FreeBlobValue(table_->BlobFile(), reference, StampOf(*field, image), &BlobClient());
    freed = true;
  }
  return freed;
}

void TDataCursor::DiscardNewBlobs(uint8_t* image) {
  CheckOpen();
  for (int fieldNo = 1; fieldNo <= Layout().FieldCount(); ++fieldNo) {
    const TFieldDesc* field = BlobField(fieldNo);
    if (field == nullptr || BlobReference(*field, image) >= 0) continue;
    TBlobBuffer* buffer = BufferOf(*field, image);
    if (buffer == nullptr) {
      RaiseTableError(LEDRA_INVALIDBLOBHANDLE, tableName_, directory_.DatabaseName());
    }
    PutBlobReference(*field, image, buffer->FirstBlock(), true);
    RemoveBlobBuffer(buffer);
  }
}

// ---- One post's blobs ----------------------------------------------------------------------

TDataCursor::TBlobPost::~TBlobPost() {
  if (done_) return;
  for (const TSaved& saved : saved_) {
    saved.buffer->SetFirstBlock(saved.firstBlock);
    saved.buffer->SetStamp(saved.stamp);
    saved.buffer->SetRecordNo(saved.recordNo);
    saved.buffer->SetChanged(saved.changed);
  }
  for (const TBlobBuffer* buffer : adopted_) cursor_.RemoveBlobBuffer(buffer);
}

void TDataCursor::TBlobPost::Prepare(uint8_t* record, const uint8_t* old, int32_t recordNo) {
  TDataCursor& c = cursor_;
  if (!c.table_->HasBlobs()) return;
  for (int fieldNo = 1; fieldNo <= c.Layout().FieldCount(); ++fieldNo) {
    const TFieldDesc* field = c.BlobField(fieldNo);
    if (field == nullptr) continue;
    const int32_t reference = c.BlobReference(*field, record);
    TBlobBuffer* buffer = c.BufferOf(*field, record);
    if (reference < 0 && buffer == nullptr) {
      RaiseTableError(LEDRA_INVALIDBLOBHANDLE, c.tableName_, c.directory_.DatabaseName());
    }
    if (old != nullptr) {
      // An edit changes a value only through its buffer: the reference and
      // stamp are the record's own, and the buffer must stand for them.
      std::memcpy(record + field->Offset, old + field->Offset, kBlobSlotSize);
      if (buffer == nullptr) continue;
      if (buffer->FirstBlock() != c.BlobReference(*field, old) ||
          (buffer->FirstBlock() != 0 && buffer->Stamp() != StampOf(*field, old))) {
        c.RaiseRecordChanged();
      }
      saved_.push_back(
          {buffer, buffer->FirstBlock(), buffer->Stamp(), buffer->RecordNo(), buffer->Changed()});
      c.PutBlobReference(*field, record, -buffer->Handle(), buffer->Length() == 0);
      continue;
    }
    if (buffer == nullptr && reference > 0) {
      // A value given by reference (an image copied from another record) is
      // copied: two records never share a chain.
      if (c.openBlobs_.size() >= kMaxOpenBlobs) {
        RaiseTableError(LEDRA_OPENBLOBLIMIT, c.tableName_, c.directory_.DatabaseName());
      }
      buffer = &c.AddBlobBuffer(*field, record, /*freeAfterPost=*/true, TBlobOpenMode::kRead,
                                /*load=*/true);
      adopted_.push_back(buffer);
    }
    if (buffer == nullptr) continue;
    saved_.push_back(
        {buffer, buffer->FirstBlock(), buffer->Stamp(), buffer->RecordNo(), buffer->Changed()});
    buffer->SetRecordNo(recordNo);
    if (buffer->FirstBlock() != 0) {
      buffer->SetFirstBlock(0);
      buffer->SetChanged(true);
    }
  }
}

bool TDataCursor::TBlobPost::Write(uint8_t* record) {
  TDataCursor& c = cursor_;
  if (!c.table_->HasBlobs()) return false;
  c.StampBlobs(record);
  const bool written = c.WriteBlobs(record);
  c.StoreBlobRefs(record);
  return written;
}

void TDataCursor::TBlobPost::Done(const uint8_t* record, uint8_t* image) noexcept {
  TDataCursor& c = cursor_;
  done_ = true;
  if (!c.table_->HasBlobs()) return;
  std::vector<const TBlobBuffer*> posted;
  for (const TSaved& saved : saved_) posted.push_back(saved.buffer);
  for (int fieldNo = 1; fieldNo <= c.Layout().FieldCount(); ++fieldNo) {
    const TFieldDesc* field = c.BlobField(fieldNo);
    if (field == nullptr) continue;
    if (const TBlobBuffer* buffer = c.BufferOf(*field, image)) posted.push_back(buffer);
    std::memcpy(image + field->Offset, record + field->Offset, kBlobSlotSize);
  }
  // The posted values are in the file now; their buffers go, and with them
  // those marked to go after any post.
  for (const TBlobBuffer* buffer : posted) c.RemoveBlobBuffer(buffer);
  c.FreeBlobBuffers(false);
}

}  // namespace ledra
