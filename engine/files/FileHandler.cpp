#include "engine/files/FileHandler.h"

#include <cstdint>

#include "engine/files/OsErrors.h"
#include "platform/WinError.h"

namespace ledra {

TFileHandler::TFileHandler(std::string fileName) : fileName_(std::move(fileName)) {}

TFileHandler::~TFileHandler() {
  TFileHandler::CloseTableFile();
}

void TFileHandler::RaiseFileError(TEngineErrorCode code) const {
  RaiseTableError(code, fileName_);
}

void TFileHandler::RaiseResult(int64_t result) const {
  int64_t code = -result;
  RaiseFileError(code > 0 && code <= UINT16_MAX ? TEngineErrorCode(code)
                                                : TEngineErrorCode(LEDRA_OSUNKNOWN));
}

void TFileHandler::OpenTableFile() {
  if (open_) return;
  if (!FileExists()) {
    platform::SetLastError(platform::kErrorFileNotFound);
    RaiseFileError(LEDRA_OSENOENT);
  }
  TFileOpenResult opened = TFileList::Instance().Open(fileName_, inMemory_, temporary_, exclusive_);
  if (opened.result < 0) RaiseResult(opened.result);
  file_ = opened.file;
  handleNumber_ = uint32_t(opened.result);
  readOnly_ = opened.readOnly;
  readOnlyAttribute_ = opened.readOnlyAttribute;
  open_ = true;
}

void TFileHandler::CloseTableFile() {
  if (file_) {
    // A close inside EnterFile/LeaveFile leaves the file's section first: the
    // registry's section must never be taken while holding a file's.
    while (enterDepth_ > 0) LeaveFile();
    TFileList::Instance().Close(file_, inMemory_, handleNumber_);
  }
  file_ = nullptr;
  handleNumber_ = 0;
  open_ = false;
}

void TFileHandler::CreateTableFile() {
  TFileOpenResult created = TFileList::Instance().Create(fileName_, inMemory_, temporary_);
  if (created.result < 0) RaiseResult(created.result);
  file_ = created.file;
  handleNumber_ = uint32_t(created.result);
  readOnly_ = false;
  readOnlyAttribute_ = false;
  open_ = true;
}

void TFileHandler::DeleteTableFile() {
  int32_t result = TFileList::Instance().Delete(fileName_, inMemory_);
  if (result < 0) RaiseResult(result);
}

void TFileHandler::RenameTableFile(const std::string& newName) {
  int32_t result = TFileList::Instance().Rename(fileName_, inMemory_, newName);
  if (result < 0) RaiseResult(result);
  fileName_ = newName;
}

void TFileHandler::CopyTableFileTo(const std::string& targetName, uint16_t progressStep,
                                   const TCopyProgress& progress, void* userData, bool compress) {
  if (!file_) RaiseFileError(LEDRA_READERR);
  int32_t result = TFileList::Instance().CopyOut(file_, handleNumber_, progressStep, progress,
                                                 userData, compress, targetName, inMemory_);
  if (result < 0) RaiseResult(result);
}

void TFileHandler::CopyTableFileFrom(const std::string& sourceName, uint16_t progressStep,
                                     const TCopyProgress& progress, void* userData, bool compress) {
  if (!file_) RaiseFileError(LEDRA_WRITEERR);
  int32_t result = TFileList::Instance().CopyIn(file_, handleNumber_, progressStep, progress,
                                                userData, compress, sourceName, inMemory_);
  if (result < 0) RaiseResult(result);
}

uint32_t TFileHandler::ReadBlock(void* buffer, int64_t length, bool allowShort) {
  if (!file_ || length < 0 || length > UINT32_MAX || (length > 0 && !buffer)) {
    RaiseFileError(LEDRA_READERR);
  }
  int64_t count = file_->Read(handleNumber_, buffer, uint32_t(length));
  if (count < 0 || count > length || (!allowShort && count != length)) {
    RaiseFileError(LEDRA_READERR);
  }
  return uint32_t(count);
}

void TFileHandler::WriteBlock(const void* buffer, int64_t length) {
  if (!file_ || length < 0 || length > UINT32_MAX || (length > 0 && !buffer)) {
    RaiseFileError(LEDRA_WRITEERR);
  }
  if (file_->Write(handleNumber_, buffer, uint32_t(length)) != length) {
    RaiseFileError(LEDRA_WRITEERR);
  }
}

void TFileHandler::FlushTableFile() {
  if (file_ && !file_->Flush()) RaiseFileError(LEDRA_WRITEERR);
}

int64_t TFileHandler::Seek(int origin, int64_t offset) {
  if (!file_) {
    platform::SetLastError(platform::kErrorInvalidHandle);
    RaiseFileError(LEDRA_OSEBADF);
  }
  int64_t position = file_->Seek(handleNumber_, offset, origin);
  if (position < 0) RaiseFileError(EngineErrorForWinError(platform::GetLastError()));
  return position;
}

int64_t TFileHandler::FileSize() {
  TFileGuard guard(*this);
  int64_t position = Seek(kFromCurrent, 0);
  int64_t size = Seek(kFromEnd, 0);
  Seek(kFromStart, position);
  return size;
}

bool TFileHandler::FileExists() const {
  return TFileList::Instance().Exists(fileName_, inMemory_);
}

bool TFileHandler::LockRegion(bool lock, uint64_t offset, uint64_t length) {
  if (!file_) return false;
  return lock ? file_->LockRange(offset, length) : file_->UnlockRange(offset, length);
}

void TFileHandler::EnterFile() {
  if (enterDepth_ == 0) {
    if (!file_) return;
    enteredFile_ = file_;
  }
  enteredFile_->Section().lock();
  ++enterDepth_;
}

void TFileHandler::LeaveFile() {
  if (enterDepth_ == 0) return;
  enteredFile_->Section().unlock();
  if (--enterDepth_ == 0) enteredFile_ = nullptr;
}

uint32_t TFileHandler::ReadAt(int64_t offset, void* buffer, int64_t length, bool allowShort) {
  TFileGuard guard(*this);
  Seek(kFromStart, offset);
  return ReadBlock(buffer, length, allowShort);
}

void TFileHandler::WriteAt(int64_t offset, const void* buffer, int64_t length) {
  TFileGuard guard(*this);
  Seek(kFromStart, offset);
  WriteBlock(buffer, length);
}

}  // namespace ledra
