#include "engine/files/MemoryFile.h"

#include <algorithm>
#include <cstring>
#include <mutex>
#include <new>

#include "engine/errors/EngineError.h"
#include "platform/WinError.h"

namespace ledra {

TMemoryFile::TMemoryFile(std::string name) : TAbstractFile(std::move(name)) {}

int64_t TMemoryFile::Size() {
  std::lock_guard guard(section_);
  return logicalSize_;
}

void TMemoryFile::DropBuffer() {
  std::vector<uint8_t>().swap(data_);
  logicalSize_ = 0;
}

bool TMemoryFile::Grow(int64_t end) {
  if (end <= int64_t(data_.size())) return true;
  uint64_t steps = (uint64_t(end) + kGrowthStep - 1) / kGrowthStep;
  try {
    data_.resize(size_t(steps * kGrowthStep));  // new bytes are zero
  } catch (const std::bad_alloc&) {
    platform::SetLastError(platform::kErrorNotEnoughMemory);
    return false;
  } catch (const std::length_error&) {
    platform::SetLastError(platform::kErrorNotEnoughMemory);
    return false;
  }
  return true;
}

int64_t TMemoryFile::CreateFile() {
  std::lock_guard guard(section_);
  if (!handles_.empty()) return -LEDRA_OSEACCES;
  DropBuffer();
  locks_.clear();
  readOnly_ = false;
  readOnlyAttribute_ = false;
  return AddHandle();
}

int64_t TMemoryFile::OpenFile() {
  std::lock_guard guard(section_);
  return AddHandle();
}

int32_t TMemoryFile::CloseHandle(uint32_t handle) {
  std::lock_guard guard(section_);
  if (!RemoveHandle(handle)) return -LEDRA_OSENOENT;
  // As with an operating-system file, closing the last handle releases every
  // lock, so a table closed on a failure path cannot leave ranges locked for
  // the rest of the process.
  if (handles_.empty()) locks_.clear();
  return 0;
}

int32_t TMemoryFile::Rename(const std::string& newName) {
  std::lock_guard guard(section_);
  if (!handles_.empty()) return -LEDRA_OSEACCES;
  name_ = newName;
  return 0;
}

int32_t TMemoryFile::Delete() {
  std::lock_guard guard(section_);
  if (!handles_.empty()) return -LEDRA_OSEACCES;
  DropBuffer();
  return 0;
}

int64_t TMemoryFile::Read(uint32_t handle, void* buffer, uint32_t length) {
  std::lock_guard guard(section_);
  THandle* entry = HandleEntry(handle);
  if (!entry) {
    platform::SetLastError(platform::kErrorInvalidHandle);
    return -1;
  }
  int64_t position = entry->position;
  if (position < 0 || position >= logicalSize_) return 0;
  int64_t count = std::min<int64_t>(length, logicalSize_ - position);
  if (count > 0) std::memcpy(buffer, data_.data() + position, size_t(count));
  entry->position = position + count;
  return count;
}

int64_t TMemoryFile::Write(uint32_t handle, const void* buffer, uint32_t length) {
  std::lock_guard guard(section_);
  THandle* entry = HandleEntry(handle);
  if (!entry) {
    platform::SetLastError(platform::kErrorInvalidHandle);
    return -1;
  }
  int64_t position = entry->position;
  if (position < 0 || position > kMaxSize - int64_t(length)) {
    platform::SetLastError(platform::kErrorInvalidParameter);
    return -1;
  }

  if (length == 0) {
    // Ends the file at the position.
    if (position == 0) {
      DropBuffer();
    } else if (position < logicalSize_) {
      // Zero the cut tail so that a later extension reads zeros there.
      std::memset(data_.data() + position, 0, size_t(logicalSize_ - position));
      logicalSize_ = position;
    } else {
      if (!Grow(position)) return -1;
      logicalSize_ = position;
    }
    return 0;
  }

  int64_t end = position + int64_t(length);
  if (!Grow(end)) return -1;
  std::memcpy(data_.data() + position, buffer, length);
  logicalSize_ = std::max(logicalSize_, end);
  entry->position = end;
  return length;
}

bool TMemoryFile::Flush() {
  return true;
}

int64_t TMemoryFile::Seek(uint32_t handle, int64_t offset, int origin) {
  std::lock_guard guard(section_);
  THandle* entry = HandleEntry(handle);
  if (!entry) {
    platform::SetLastError(platform::kErrorInvalidHandle);
    return -1;
  }
  int64_t base = 0;
  switch (origin) {
    case 0:
      base = 0;
      break;
    case 1:
      base = entry->position;
      break;
    case 2:
      // From the end, as for an operating-system file.
      base = logicalSize_;
      break;
    default:
      platform::SetLastError(platform::kErrorInvalidParameter);
      return -1;
  }
  // Positions stay within 0..kMaxSize, so base + offset cannot overflow once
  // the offset is known to lie within -kMaxSize..kMaxSize.
  if (offset < -kMaxSize || offset > kMaxSize) {
    platform::SetLastError(platform::kErrorInvalidParameter);
    return -1;
  }
  int64_t position = base + offset;
  if (position < 0 || position > kMaxSize) {
    platform::SetLastError(position < 0 ? platform::kErrorNegativeSeek
                                        : platform::kErrorInvalidParameter);
    return -1;
  }
  entry->position = position;
  return position;
}

bool TMemoryFile::LockRange(uint64_t offset, uint64_t length) {
  std::lock_guard guard(section_);
  if (length == 0 || length - 1 > UINT64_MAX - offset) return false;
  uint64_t end = offset + length - 1;
  for (const TLockRange& held : locks_) {
    if ((held.start <= offset && offset <= held.end) ||
        (offset <= held.start && held.start <= end)) {
      return false;
    }
  }
  locks_.push_back({offset, end, length});
  return true;
}

bool TMemoryFile::UnlockRange(uint64_t offset, uint64_t length) {
  std::lock_guard guard(section_);
  for (size_t i = 0; i < locks_.size(); ++i) {
    if (locks_[i].start == offset && locks_[i].length == length) {
      locks_.erase(locks_.begin() + i);
      return true;
    }
  }
  return false;
}

}  // namespace ledra
