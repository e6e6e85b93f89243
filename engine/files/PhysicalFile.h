// An operating-system file shared by every engine handle of the process.
//
// However many tables, cursors and handlers use the file, the process holds
// one operating-system handle on it, opened with the first engine handle and
// closed with the last. All engine handles share its single file position, so
// handlers bracket a seek and the transfer that follows with the object's
// critical section. Byte-range locks go to that one handle, so a range locked
// through one table of the process refuses an overlapping lock from any other
// table of the process exactly as it refuses another process.
#pragma once

#include <memory>
#include <string>

#include "engine/files/AbstractFile.h"
#include "platform/File.h"

namespace ledra {

class TPhysicalFile : public TAbstractFile {
 public:
  TPhysicalFile(std::string name, bool exclusive, bool temporary);
  ~TPhysicalFile() override;

  TFileKind Kind() const override { return TFileKind::Physical; }

  int64_t Size() override;
  int64_t CreateFile() override;
  int64_t OpenFile() override;
  int32_t CloseHandle(uint32_t handle) override;
  int32_t Rename(const std::string& newName) override;
  int32_t Delete() override;
  int64_t Read(uint32_t handle, void* buffer, uint32_t length) override;
  int64_t Write(uint32_t handle, const void* buffer, uint32_t length) override;
  bool Flush() override;
  int64_t Seek(uint32_t handle, int64_t offset, int origin) override;
  bool LockRange(uint64_t offset, uint64_t length) override;
  bool UnlockRange(uint64_t offset, uint64_t length) override;

 private:
  // The operating-system file for a transfer by a handle, or null with the
  // last error set to an invalid handle.
  platform::File* FileFor(uint32_t handle);
  // Closes the operating-system handle and removes a temporary file.
  void CloseOsFile();

  std::unique_ptr<platform::File> osFile_;
  // A temporary file that was created (the system does not delete it by
  // itself) is removed when the last handle closes.
  bool removeOnClose_ = false;
};

}  // namespace ledra
