#include "engine/files/AbstractFile.h"

#include <mutex>

#include "engine/errors/EngineError.h"

namespace ledra {

TAbstractFile::TAbstractFile(std::string name) : name_(std::move(name)) {}

int TAbstractFile::FindHandle(uint32_t handle) const {
  for (size_t i = 0; i < handles_.size(); ++i) {
    if (handles_[i].number == handle) return int(i);
  }
  return -1;
}

int64_t TAbstractFile::AddHandle() {
  std::lock_guard guard(section_);
  // A wrapped handle number would make two handles share one number.
  if (handles_.size() >= kMaxHandles || lastHandleNumber_ == UINT32_MAX) return -LEDRA_OSEMFILE;
  handles_.push_back({++lastHandleNumber_, 0});
  return lastHandleNumber_;
}

bool TAbstractFile::RemoveHandle(uint32_t handle) {
  int index = FindHandle(handle);
  if (index < 0) return false;
  handles_.erase(handles_.begin() + index);
  return true;
}

TAbstractFile::THandle* TAbstractFile::HandleEntry(uint32_t handle) {
  int index = FindHandle(handle);
  return index < 0 ? nullptr : &handles_[size_t(index)];
}

}  // namespace ledra
