// One named file of the process, shared by every engine handle opened on it.
//
// The file registry (TFileList) holds one object per file; each open of the
// file gets a numbered handle on that object, and all handles share it. Two
// implementations exist: TPhysicalFile (an operating-system file, one
// operating-system handle however many engine handles) and TMemoryFile (the
// bytes of an in-memory table).
//
// Locking: every operation takes the object's critical section. Registry
// operations take the registry's section first and this one second, never the
// reverse, so no registry operation may be started while holding this
// section.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/System.h"

namespace ledra {

enum class TFileKind { Physical, Memory };

class TAbstractFile {
 public:
  // The most handles one object can hold (the handle count is 16-bit).
  static constexpr uint32_t kMaxHandles = 0xFFFF;

  explicit TAbstractFile(std::string name);
  virtual ~TAbstractFile() = default;
  TAbstractFile(const TAbstractFile&) = delete;
  TAbstractFile& operator=(const TAbstractFile&) = delete;

  virtual TFileKind Kind() const = 0;

  // The position of a handle number in the handle list, -1 when there is none.
  int FindHandle(uint32_t handle) const;

  // The size of the file in bytes, or -1 when it cannot be determined.
  virtual int64_t Size() = 0;
  // Creates the file empty (replacing any previous contents) and opens a
  // handle on it: the new handle number, or a negative engine error.
  virtual int64_t CreateFile() = 0;
  // Opens a handle on the existing file. The first handle of a physical file
  // opens the operating-system file. The new handle number, or a negative
  // engine error.
  virtual int64_t OpenFile() = 0;
  // Closes a handle: 0, or -LEDRA_OSENOENT when the object holds no such
  // handle.
  virtual int32_t CloseHandle(uint32_t handle) = 0;
  // Renames or deletes the file; only while no handle is open. 0 or a
  // negative engine error.
  virtual int32_t Rename(const std::string& newName) = 0;
  virtual int32_t Delete() = 0;
  // Transfers at the handle's position and advance it: the count, or -1 with
  // the last error set. A write of 0 bytes ends the file at the position.
  virtual int64_t Read(uint32_t handle, void* buffer, uint32_t length) = 0;
  virtual int64_t Write(uint32_t handle, const void* buffer, uint32_t length) = 0;
  virtual bool Flush() = 0;
  // Origin 0 = start, 1 = current position, 2 = end. The new position, or -1.
  virtual int64_t Seek(uint32_t handle, int64_t offset, int origin) = 0;
  // Byte-range locks; false when refused.
  virtual bool LockRange(uint64_t offset, uint64_t length) = 0;
  virtual bool UnlockRange(uint64_t offset, uint64_t length) = 0;

  platform::CriticalSection& Section() { return section_; }

  const std::string& Name() const { return name_; }
  void SetName(std::string name) { name_ = std::move(name); }
  bool Exclusive() const { return exclusive_; }
  void SetExclusive(bool exclusive) { exclusive_ = exclusive; }
  bool Temporary() const { return temporary_; }
  void SetTemporary(bool temporary) { temporary_ = temporary; }
  bool ReadOnly() const { return readOnly_; }
  bool ReadOnlyAttribute() const { return readOnlyAttribute_; }
  uint16_t HandleCount() const { return uint16_t(handles_.size()); }
  int64_t LogicalSize() const { return logicalSize_; }

  // Adds a handle at position 0: its number, or -LEDRA_OSEMFILE when the
  // object already holds the most handles it can.
  int64_t AddHandle();

 protected:
  struct THandle {
    uint32_t number;
    int64_t position;
  };

  // Removes a handle entry; false when there is none of that number.
  bool RemoveHandle(uint32_t handle);
  // The handle entry of a number, null when there is none.
  THandle* HandleEntry(uint32_t handle);

  platform::CriticalSection section_;
  std::string name_;
  bool exclusive_ = false;
  bool readOnly_ = false;
  bool readOnlyAttribute_ = false;
  bool temporary_ = false;
  int64_t logicalSize_ = 0;
  std::vector<THandle> handles_;
  // Handle numbers are 1, 2, 3, ... and never reused while the object lives.
  uint32_t lastHandleNumber_ = 0;
};

}  // namespace ledra
