#include "engine/files/PhysicalFile.h"

#include <mutex>

#include "engine/errors/EngineError.h"
#include "engine/files/OsErrors.h"
#include "platform/WinError.h"

namespace ledra {

TPhysicalFile::TPhysicalFile(std::string name, bool exclusive, bool temporary)
    : TAbstractFile(std::move(name)) {
  exclusive_ = exclusive;
  temporary_ = temporary;
}

TPhysicalFile::~TPhysicalFile() {
  CloseOsFile();
}

void TPhysicalFile::CloseOsFile() {
  if (!osFile_) return;
  std::string osName = osFile_->Name();
  osFile_.reset();
  if (removeOnClose_) platform::RemoveFile(osName);
  removeOnClose_ = false;
}

platform::File* TPhysicalFile::FileFor(uint32_t handle) {
  if (!osFile_ || FindHandle(handle) < 0) {
    platform::SetLastError(platform::kErrorInvalidHandle);
    return nullptr;
  }
  return osFile_.get();
}

int64_t TPhysicalFile::Size() {
  std::lock_guard guard(section_);
  if (!osFile_) {
    platform::SetLastError(platform::kErrorInvalidHandle);
    return -1;
  }
  int64_t position = osFile_->Seek(0, platform::SeekOrigin::Current);
  if (position < 0) return -1;
  int64_t end = osFile_->Seek(0, platform::SeekOrigin::End);
  if (osFile_->Seek(position, platform::SeekOrigin::Begin) < 0) return -1;
  return end;
}

int64_t TPhysicalFile::CreateFile() {
  std::lock_guard guard(section_);
  if (!handles_.empty()) return -LEDRA_OSEACCES;
  CloseOsFile();
  std::unique_ptr<platform::File> file = platform::CreateOsFile(name_, temporary_);
  if (!file) return LastOsErrorResult();
  osFile_ = std::move(file);
  removeOnClose_ = temporary_;
  readOnly_ = false;
  readOnlyAttribute_ = false;
  logicalSize_ = 0;
  int64_t handle = AddHandle();
  if (handle < 0) CloseOsFile();
  return handle;
}

int64_t TPhysicalFile::OpenFile() {
  std::lock_guard guard(section_);
  // Later engine handles share the operating-system handle of the first.
  if (!handles_.empty()) return AddHandle();

  readOnly_ = false;
  readOnlyAttribute_ = false;
  platform::FileAttributes attributes;
  if (!platform::ReadAttributes(name_, &attributes)) return LastOsErrorResult();
  if (attributes.isDirectory) {
    // What the system answers when a directory is opened as a file.
    platform::SetLastError(platform::kErrorAccessDenied);
    return -LEDRA_OSEACCES;
  }
  if (attributes.readOnly) {
    readOnly_ = true;
    readOnlyAttribute_ = true;
  }

  platform::OpenOptions options;
  options.share = exclusive_ ? platform::FileShare::Exclusive : platform::FileShare::Shared;
  options.access = readOnly_ ? platform::FileAccess::ReadOnly : platform::FileAccess::ReadWrite;
  options.sequentialScan = true;
  options.deleteOnClose = temporary_;
  std::unique_ptr<platform::File> file = platform::OpenOsFile(name_, options);
  if (!file && !readOnly_) {
    // A file that may be read but not written (a read-only share, missing
    // rights) is opened for reading; the table built on it is read-only.
    options.access = platform::FileAccess::ReadOnly;
    file = platform::OpenOsFile(name_, options);
    if (file) readOnly_ = true;
  }
  if (!file) return LastOsErrorResult();

  osFile_ = std::move(file);
  removeOnClose_ = false;
  int64_t handle = AddHandle();
  if (handle < 0) CloseOsFile();
  return handle;
}

int32_t TPhysicalFile::CloseHandle(uint32_t handle) {
  std::lock_guard guard(section_);
  if (!RemoveHandle(handle)) return -LEDRA_OSENOENT;
  if (handles_.empty()) CloseOsFile();
  return 0;
}

int32_t TPhysicalFile::Rename(const std::string& newName) {
  std::lock_guard guard(section_);
  if (!handles_.empty()) return -LEDRA_OSEACCES;
  if (!platform::RenameFile(name_, newName)) return LastOsErrorResult();
  name_ = newName;
  return 0;
}

int32_t TPhysicalFile::Delete() {
  std::lock_guard guard(section_);
  if (!handles_.empty()) return -LEDRA_OSEACCES;
  if (!platform::RemoveFile(name_)) return LastOsErrorResult();
  return 0;
}

int64_t TPhysicalFile::Read(uint32_t handle, void* buffer, uint32_t length) {
  std::lock_guard guard(section_);
  platform::File* file = FileFor(handle);
  if (!file) return -1;
  return file->Read(buffer, length);
}

int64_t TPhysicalFile::Write(uint32_t handle, const void* buffer, uint32_t length) {
  std::lock_guard guard(section_);
  platform::File* file = FileFor(handle);
  if (!file) return -1;
  if (length == 0) return file->SetEndOfFile() ? 0 : -1;
  return file->Write(buffer, length);
}

bool TPhysicalFile::Flush() {
  std::lock_guard guard(section_);
  if (!osFile_) {
    platform::SetLastError(platform::kErrorInvalidHandle);
    return false;
  }
  return osFile_->Flush();
}

int64_t TPhysicalFile::Seek(uint32_t handle, int64_t offset, int origin) {
  std::lock_guard guard(section_);
  platform::File* file = FileFor(handle);
  if (!file) return -1;
  if (origin < 0 || origin > 2) {
    platform::SetLastError(platform::kErrorInvalidParameter);
    return -1;
  }
  return file->Seek(offset, platform::SeekOrigin(origin));
}

bool TPhysicalFile::LockRange(uint64_t offset, uint64_t length) {
  std::lock_guard guard(section_);
  if (!osFile_ || length == 0) {
    platform::SetLastError(osFile_ ? platform::kErrorInvalidParameter
                                   : platform::kErrorInvalidHandle);
    return false;
  }
  return osFile_->Lock(offset, length);
}

bool TPhysicalFile::UnlockRange(uint64_t offset, uint64_t length) {
  std::lock_guard guard(section_);
  if (!osFile_ || length == 0) {
    platform::SetLastError(osFile_ ? platform::kErrorInvalidParameter
                                   : platform::kErrorInvalidHandle);
    return false;
  }
  return osFile_->Unlock(offset, length);
}

}  // namespace ledra
