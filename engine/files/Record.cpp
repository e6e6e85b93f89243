#include "engine/files/Record.h"

#include <algorithm>
#include <cstring>
#include <limits>

#include "engine/files/Bytes.h"
#include "engine/files/DataFile.h"

namespace ledra {

namespace {

constexpr size_t kImageStep = 64;
constexpr size_t kDeletedFlagOffset = 0;
constexpr size_t kNumberOffset = 1;  // own record number, or the next free link
constexpr size_t kRowIdOffset = 5;

size_t RoundUp(size_t size, size_t step) {
  return (size + step - 1) / step * step;
}

}  // namespace

TRecord::TRecord(TDataFile* file) : file_(file) {
  SizeImage(0);
}

size_t TRecord::FileRecordSize() const {
  return file_ ? file_->RecordSize() : 0;
}

void TRecord::SizeImage(size_t size) {
  // At least the slot prefix, so that the prefix accessors never leave the
  // buffer.
  const size_t capacity = RoundUp(std::max<size_t>(size, kSlotPrefixSize), kImageStep);
  if (image_.size() < capacity) image_.resize(capacity);
  imageSize_ = size;
}

void TRecord::SetRecordNumber(int32_t recordNo) {
  if (recordNo == recordNo_) return;
  recordNo_ = recordNo;
  if (!Deleted()) PutLE32(image_.data() + kNumberOffset, uint32_t(recordNo));
}

void TRecord::Pin() {
  // Saturates: a record held that often stays held, which is safe.
  if (pins_ != std::numeric_limits<uint16_t>::max()) ++pins_;
}

void TRecord::Unpin() {
  if (pins_ != 0) --pins_;
}

void TRecord::InitRecord(bool giveRowId) {
  SizeImage(FileRecordSize());
  std::fill(image_.begin(), image_.end(), uint8_t(0));
  PutLE32(image_.data() + kNumberOffset, uint32_t(recordNo_));
  if (giveRowId && file_) {
    PutLE32(image_.data() + kRowIdOffset, uint32_t(file_->NextAutoIncValue()));
  }
  dirty_ = false;
}

void TRecord::LoadImage(const uint8_t* slot) {
  SizeImage(FileRecordSize());
  std::memcpy(image_.data(), slot, imageSize_);
  if (!Deleted()) PutLE32(image_.data() + kNumberOffset, uint32_t(recordNo_));
  dirty_ = false;
}

void TRecord::StoreImage(uint8_t* target) const {
  std::memcpy(target, image_.data(), imageSize_);
}

bool TRecord::Deleted() const {
  return image_[kDeletedFlagOffset] != 0;
}

void TRecord::SetDeleted(bool deleted) {
  image_[kDeletedFlagOffset] = deleted ? 1 : 0;
  dirty_ = true;
}

int32_t TRecord::NextFreeLink() const {
  return Deleted() ? GetLEInt32(image_.data() + kNumberOffset) : 0;
}

void TRecord::SetNextFreeLink(int32_t recordNo) {
  PutLE32(image_.data() + kNumberOffset, uint32_t(recordNo));
  dirty_ = true;
}

int32_t TRecord::RowId() const {
  return GetLEInt32(image_.data() + kRowIdOffset);
}

void TRecord::SetRowId(int32_t rowId) {
  PutLE32(image_.data() + kRowIdOffset, uint32_t(rowId));
  dirty_ = true;
}

void TRecord::SetFieldBytes(std::span<const uint8_t> image) {
  const size_t end = std::min(imageSize_, image.size());
  if (end > kSlotPrefixSize) {
    std::memcpy(image_.data() + kSlotPrefixSize, image.data() + kSlotPrefixSize,
                end - kSlotPrefixSize);
  }
  dirty_ = true;
}

bool TRecord::SameImage(std::span<const uint8_t> image) const {
  return image.size() >= imageSize_ && std::memcmp(image_.data(), image.data(), imageSize_) == 0;
}

void TRecord::CopyFrom(const TRecord& other) {
  if (&other == this) return;
  file_ = other.file_;
  dirty_ = other.dirty_;
  recordNo_ = other.recordNo_;
  // The image takes the other's length, so the whole of it is copied.
  SizeImage(other.imageSize_);
  std::memcpy(image_.data(), other.image_.data(), other.imageSize_);
}

uint8_t* TRecord::KeyBuffer(size_t length) {
  const size_t capacity = RoundUp(std::max<size_t>(length, 1), kImageStep);
  if (keyBuffer_.size() < capacity) keyBuffer_.resize(capacity);
  return keyBuffer_.data();
}

// ---- TRecordStack -----------------------------------------------------------------

TRecordStack::TRecordStack(TDataFile* file) : file_(file) {
  spares_.reserve(kMaxSpares);
}

std::unique_ptr<TRecord> TRecordStack::Take() {
  std::unique_ptr<TRecord> record;
  if (spares_.empty()) {
    record = std::make_unique<TRecord>(file_);
  } else {
    record = std::move(spares_.back());
    spares_.pop_back();
    record->SetFile(file_);
  }
  record->InitRecord(false);
  record->ClearPins();
  record->orphaned_ = false;
  return record;
}

void TRecordStack::Give(std::unique_ptr<TRecord> record) {
  if (!record) return;
  record->older_ = nullptr;
  record->newer_ = nullptr;
  if (spares_.size() < kMaxSpares) spares_.push_back(std::move(record));
}

}  // namespace ledra
