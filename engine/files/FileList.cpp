#include "engine/files/FileList.h"

#include <zlib.h>

#include <mutex>

#include "engine/errors/EngineError.h"
#include "engine/files/MemoryFile.h"
#include "engine/files/OsErrors.h"
#include "engine/files/PhysicalFile.h"
#include "engine/files/TableFileNames.h"
#include "platform/File.h"
#include "platform/WinError.h"

namespace ledra {

namespace {

// Upper case of a code page 1252 character, as the system maps file names.
unsigned char UpperCp1252(unsigned char c) {
  if (c >= 'a' && c <= 'z') return c - 32;
  if (c >= 0xE0 && c <= 0xFE && c != 0xF7) return c - 32;
  switch (c) {
    case 0x9A:
    case 0x9C:
    case 0x9E:
      return c - 0x10;
    case 0xFF:
      return 0x9F;
    default:
      return c;
  }
}

bool SameFileName(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (UpperCp1252(static_cast<unsigned char>(a[i])) !=
        UpperCp1252(static_cast<unsigned char>(b[i]))) {
      return false;
    }
  }
  return true;
}

TFileKind KindOf(bool inMemory) {
  return inMemory ? TFileKind::Memory : TFileKind::Physical;
}

// An empty name names no file.
TFileOpenResult NoSuchFile() {
  platform::SetLastError(platform::kErrorPathNotFound);
  return {-LEDRA_OSENOENT};
}

}  // namespace

TFileList& TFileList::Instance() {
  static TFileList list;
  return list;
}

TFileList::~TFileList() {
  std::lock_guard guard(section_);
  files_.clear();
}

TFileList::TFiles::iterator TFileList::Lookup(const std::string& trimmedName, bool inMemory) {
  TFileKind kind = KindOf(inMemory);
  for (auto it = files_.begin(); it != files_.end(); ++it) {
    if ((*it)->Kind() == kind && SameFileName((*it)->Name(), trimmedName)) return it;
  }
  return files_.end();
}

TFileList::TFiles::iterator TFileList::LookupObject(const TAbstractFile* file) {
  for (auto it = files_.begin(); it != files_.end(); ++it) {
    if (it->get() == file) return it;
  }
  return files_.end();
}

TAbstractFile* TFileList::Find(const std::string& name, bool inMemory) {
  std::lock_guard guard(section_);
  auto it = Lookup(TrimBlanks(name), inMemory);
  return it == files_.end() ? nullptr : it->get();
}

size_t TFileList::FileCount() {
  std::lock_guard guard(section_);
  return files_.size();
}

TFileOpenResult TFileList::Create(const std::string& name, bool inMemory, bool temporary) {
  std::lock_guard guard(section_);
  std::string trimmed = TrimBlanks(name);
  if (trimmed.empty()) return NoSuchFile();

  auto it = Lookup(trimmed, inMemory);
  bool added = false;
  if (it != files_.end()) {
    if ((*it)->HandleCount() > 0) {
      platform::SetLastError(platform::kErrorSharingViolation);
      return {-LEDRA_OSEACCES};
    }
  } else {
    if (inMemory) {
      files_.push_back(std::make_unique<TMemoryFile>(trimmed));
    } else {
      files_.push_back(std::make_unique<TPhysicalFile>(trimmed, true, temporary));
    }
    it = files_.end() - 1;
    added = true;
  }

  TAbstractFile* file = it->get();
  file->SetExclusive(true);
  file->SetTemporary(temporary);
  int64_t handle = file->CreateFile();
  if (handle < 0) {
    if (added || !inMemory) files_.erase(it);
    return {handle};
  }
  return {.result = handle, .file = file};
}

TFileOpenResult TFileList::Open(const std::string& name, bool inMemory, bool temporary,
                                bool exclusive) {
  std::lock_guard guard(section_);
  std::string trimmed = TrimBlanks(name);
  if (trimmed.empty()) return NoSuchFile();

  auto it = Lookup(trimmed, inMemory);
  if (it != files_.end() && (*it)->HandleCount() > 0) {
    TAbstractFile* file = it->get();
    if (file->Exclusive() || exclusive) {
      platform::SetLastError(platform::kErrorSharingViolation);
      return {-LEDRA_OSEACCES};
    }
    int64_t handle = file->OpenFile();  // no operating-system call
    if (handle < 0) return {handle};
    return {handle, file, file->ReadOnly(), file->ReadOnlyAttribute()};
  }

  if (it != files_.end()) {
    (*it)->SetExclusive(exclusive);
    (*it)->SetTemporary(temporary);
  } else if (inMemory) {
    // A memory file exists only once it has been created.
    platform::SetLastError(platform::kErrorFileNotFound);
    return {-LEDRA_OSENOENT};
  } else {
    files_.push_back(std::make_unique<TPhysicalFile>(trimmed, exclusive, temporary));
    it = files_.end() - 1;
  }

  TAbstractFile* file = it->get();
  int64_t handle = file->OpenFile();
  if (handle < 0) {
    // A physical object left without handles by a failed open is dropped;
    // the next open of the name starts afresh.
    if (!inMemory) files_.erase(it);
    return {handle};
  }
  return {handle, file, file->ReadOnly(), file->ReadOnlyAttribute()};
}

int32_t TFileList::Close(TAbstractFile* file, bool inMemory, uint32_t handle) {
  std::lock_guard guard(section_);
  auto it = LookupObject(file);
  if (it == files_.end() || file->Kind() != KindOf(inMemory) || file->HandleCount() == 0) {
    return -LEDRA_OSENOENT;
  }
  int32_t result = file->CloseHandle(handle);
  if (result < 0) return result;
  if (file->HandleCount() == 0 && (!inMemory || file->Temporary())) files_.erase(it);
  return 0;
}

int32_t TFileList::Rename(const std::string& name, bool inMemory, const std::string& newName) {
  std::lock_guard guard(section_);
  std::string trimmed = TrimBlanks(name);
  std::string trimmedNew = TrimBlanks(newName);
  if (trimmed.empty() || trimmedNew.empty()) return int32_t(NoSuchFile().result);

  auto it = Lookup(trimmed, inMemory);
  if (it != files_.end() && (*it)->HandleCount() > 0) {
    platform::SetLastError(platform::kErrorSharingViolation);
    return -LEDRA_OSEACCES;
  }
  auto target = Lookup(trimmedNew, inMemory);
  if (target != files_.end() && target != it) {
    if ((*target)->HandleCount() > 0) {
      // Renaming over a file that is in use would leave its users on a file
      // that no longer has a name.
      platform::SetLastError(platform::kErrorSharingViolation);
      return -LEDRA_OSEACCES;
    }
    if (inMemory) {
      platform::SetLastError(platform::kErrorAlreadyExists);
      return -int32_t(EngineErrorForWinError(platform::kErrorAlreadyExists));
    }
  }

  if (inMemory) {
    if (it == files_.end()) {
      platform::SetLastError(platform::kErrorFileNotFound);
      return -LEDRA_OSENOENT;
    }
    return (*it)->Rename(trimmedNew);
  }
  // A physical object without handles is only left over from a failed open.
  if (it != files_.end()) files_.erase(it);
  target = Lookup(trimmedNew, inMemory);
  if (target != files_.end()) files_.erase(target);
  return TPhysicalFile(trimmed, /*exclusive=*/false, /*temporary=*/false).Rename(trimmedNew);
}

int32_t TFileList::Delete(const std::string& name, bool inMemory) {
  std::lock_guard guard(section_);
  std::string trimmed = TrimBlanks(name);
  if (trimmed.empty()) return int32_t(NoSuchFile().result);

  auto it = Lookup(trimmed, inMemory);
  if (it != files_.end() && (*it)->HandleCount() > 0) {
    platform::SetLastError(platform::kErrorSharingViolation);
    return -LEDRA_OSEACCES;
  }
  if (inMemory) {
    if (it == files_.end()) {
      platform::SetLastError(platform::kErrorFileNotFound);
      return -LEDRA_OSENOENT;
    }
    int32_t result = (*it)->Delete();
    if (result == 0) files_.erase(it);
    return result;
  }
  if (it != files_.end()) files_.erase(it);
  return TPhysicalFile(trimmed, /*exclusive=*/false, /*temporary=*/false).Delete();
}

bool TFileList::Exists(const std::string& name, bool inMemory) {
  std::lock_guard guard(section_);
  std::string trimmed = TrimBlanks(name);
  if (trimmed.empty()) return false;
  if (Lookup(trimmed, inMemory) != files_.end()) return true;
  return !inMemory && platform::RegularFileExists(trimmed);
}

int32_t TFileList::CopyContents(TAbstractFile& source, uint32_t sourceHandle, TAbstractFile& target,
                                uint32_t targetHandle, uint16_t progressStep,
                                const TCopyProgress& progress, void* userData, bool compress) {
  // Both sections for the whole copy, so that no other thread moves either
  // position in between. Only registry operations hold two file sections,
  // and they run one at a time.
  std::lock_guard sourceGuard(source.Section());
  std::lock_guard targetGuard(target.Section());

  int64_t size = source.Seek(sourceHandle, 0, 2);
  if (size < 0 || source.Seek(sourceHandle, 0, 0) < 0) return LastOsErrorResult();

  std::vector<uint8_t> buffer(kCopyChunk);
  std::vector<uint8_t> packed(compress ? compressBound(kCopyChunk) : 0);
  uint64_t total = 0;
  uint16_t lastPercent = 0;
  for (;;) {
    int64_t count = source.Read(sourceHandle, buffer.data(), kCopyChunk);
    if (count < 0) return -LEDRA_READERR;
    // An empty chunk writes nothing: a write of 0 bytes would end the target
    // at its position.
    if (count > 0) {
      const uint8_t* out = buffer.data();
      uLongf outLength = uLongf(count);
      if (compress) {
        outLength = uLongf(packed.size());
        if (compress2(packed.data(), &outLength, buffer.data(), uLong(count), kCompressionLevel) !=
            Z_OK) {
          return -LEDRA_COMPRESS;
        }
        out = packed.data();
      }
      if (target.Write(targetHandle, out, uint32_t(outLength)) != int64_t(outLength)) {
        return -LEDRA_WRITEERR;
      }
    }
    total += uint64_t(count);
    if (progress) {
      // An empty source is complete at once.
      uint64_t whole = uint64_t(size);
      uint64_t percent = whole == 0 ? 100 : total / whole * 100 + total % whole * 100 / whole;
      // Compared as 16-bit values: a step that wraps past the last percent
      // reports at once.
      if (uint16_t(percent) >= uint16_t(lastPercent + progressStep)) {
        progress(userData, int(percent));
        lastPercent = uint16_t(percent);
      }
    }
    if (count < int64_t(kCopyChunk)) break;
  }
  return 0;
}

namespace {

// Closes a handle the copy opened, whatever way the copy ends.
class THandleCloser {
 public:
  THandleCloser(TFileList& list, TAbstractFile* file, bool inMemory, uint32_t handle)
      : list_(list), file_(file), inMemory_(inMemory), handle_(handle) {}
  ~THandleCloser() { list_.Close(file_, inMemory_, handle_); }
  THandleCloser(const THandleCloser&) = delete;
  THandleCloser& operator=(const THandleCloser&) = delete;

 private:
  TFileList& list_;
  TAbstractFile* file_;
  bool inMemory_;
  uint32_t handle_;
};

}  // namespace

int32_t TFileList::CopyOut(TAbstractFile* file, uint32_t handle, uint16_t progressStep,
                           const TCopyProgress& progress, void* userData, bool compress,
                           const std::string& targetName, bool targetInMemory) {
  std::lock_guard guard(section_);
  if (!file || LookupObject(file) == files_.end() || file->FindHandle(handle) < 0) {
    platform::SetLastError(platform::kErrorInvalidHandle);
    return -LEDRA_OSEBADF;
  }
  TFileOpenResult target = Create(targetName, targetInMemory, /*temporary=*/false);
  if (target.result < 0) return int32_t(target.result);
  THandleCloser closer(*this, target.file, targetInMemory, uint32_t(target.result));
  return CopyContents(*file, handle, *target.file, uint32_t(target.result), progressStep, progress,
                      userData, compress);
}

int32_t TFileList::CopyIn(TAbstractFile* file, uint32_t handle, uint16_t progressStep,
                          const TCopyProgress& progress, void* userData, bool compress,
                          const std::string& sourceName, bool sourceInMemory) {
  std::lock_guard guard(section_);
  if (!file || LookupObject(file) == files_.end() || file->FindHandle(handle) < 0) {
    platform::SetLastError(platform::kErrorInvalidHandle);
    return -LEDRA_OSEBADF;
  }
  TFileOpenResult source =
      Open(sourceName, sourceInMemory, /*temporary=*/false, /*exclusive=*/true);
  if (source.result < 0) return int32_t(source.result);
  THandleCloser closer(*this, source.file, sourceInMemory, uint32_t(source.result));
  return CopyContents(*source.file, uint32_t(source.result), *file, handle, progressStep, progress,
                      userData, compress);
}

}  // namespace ledra
