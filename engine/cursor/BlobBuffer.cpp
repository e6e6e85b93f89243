#include "engine/cursor/BlobBuffer.h"

#include <algorithm>
#include <cstring>
#include <span>
#include <utility>

#include "engine/blob/BlobChain.h"
#include "engine/errors/EngineError.h"

namespace ledra {

void TBlobBuffer::Load(TBlobFile& file, TBlobCacheClient* client, bool keepCopy) {
  LoadBlobValue(file, firstBlock_, stamp_, data_, client);
  keepCopy_ = keepCopy;
  if (keepCopy) loaded_ = data_;
  changed_ = false;
}

void TBlobBuffer::Assign(std::vector<uint8_t> value) {
  data_ = std::move(value);
  changed_ = true;
}

uint16_t TBlobBuffer::Read(uint32_t position, uint32_t count, uint8_t* destination,
                           uint32_t& read) const {
  const uint64_t end = uint64_t(position) + count;
  if (end <= data_.size()) {
    if (count != 0) std::memcpy(destination, data_.data() + position, count);
    read = count;
    return 0;
  }
  read = position < data_.size() ? uint32_t(data_.size() - position) : 0;
  if (read != 0) std::memcpy(destination, data_.data() + position, read);
  return LEDRA_ENDOFBLOB;
}

uint16_t TBlobBuffer::Write(uint32_t position, uint32_t count, const uint8_t* source) {
  const uint64_t end = uint64_t(position) + count;
  if (end > kMaxLength) return LEDRA_INVALIDBLOBLEN;
  if (end > data_.size()) data_.resize(size_t(end), 0);
  if (count != 0) std::memcpy(data_.data() + position, source, count);
  changed_ = true;
  return 0;
}

uint16_t TBlobBuffer::Truncate(uint32_t length) {
  if (length > kMaxLength) return LEDRA_INVALIDBLOBLEN;
  data_.resize(length, 0);
  changed_ = true;
  return 0;
}

void TBlobBuffer::Store(TBlobFile& file, int32_t newStamp, TBlobCacheClient* client) {
  firstBlock_ =
      StoreBlobValue(file, firstBlock_, newStamp, std::span<const uint8_t>(data_), client);
  stamp_ = newStamp;
  changed_ = false;
}

}  // namespace ledra
