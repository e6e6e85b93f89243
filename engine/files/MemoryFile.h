// The bytes of an in-memory table's file.
//
// Each handle has its own position. The buffer grows in 4096-byte steps with
// the new part zero-filled and is never shrunk while in use; bytes of the
// buffer beyond the logical size are always zero, so a file extended over a
// gap reads zeros there, as an operating-system file does. Byte-range locks
// are kept in a list and are seen only inside the process.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "engine/files/AbstractFile.h"

namespace ledra {

class TMemoryFile : public TAbstractFile {
 public:
  static constexpr uint32_t kGrowthStep = 4096;
  // The largest logical size a memory file may reach; a write or a seek
  // beyond it fails instead of overflowing the position arithmetic.
  static constexpr int64_t kMaxSize = int64_t(1) << 40;

  explicit TMemoryFile(std::string name);

  TFileKind Kind() const override { return TFileKind::Memory; }

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

  // The allocated length of the buffer (a multiple of the growth step).
  size_t AllocatedLength() const { return data_.size(); }
  size_t LockCount() const { return locks_.size(); }

 private:
  struct TLockRange {
    uint64_t start;
    uint64_t end;  // inclusive
    uint64_t length;
  };

  // Grows the buffer to hold `end` bytes; false when memory runs out.
  bool Grow(int64_t end);
  void DropBuffer();

  std::vector<uint8_t> data_;
  std::vector<TLockRange> locks_;
};

}  // namespace ledra
