// The base of the three table-file handlers (data, index and blob files).
//
// A handler knows its file by its full name, holds one handle on the shared
// file object of the registry while it is open, and turns every failure into
// an engine error that carries its full file name as the table name.
//
// The data, index and blob handlers replace OpenTableFile, CloseTableFile and
// CreateTableFile to load and drop their headers and caches around the
// inherited operation; the other operations are used as they are.
//
// Positioned transfers: all handles of a physical file share one position, so
// a seek and the read or write that follows belong inside one EnterFile /
// LeaveFile bracket (TFileGuard). Never open, close, create, rename, delete or
// copy a file inside that bracket: the registry's section is always taken
// before a file's.
#pragma once

#include <cstdint>
#include <string>

#include "engine/errors/EngineError.h"
#include "engine/files/AbstractFile.h"
#include "engine/files/FileList.h"

namespace ledra {

class TFileHandler {
 public:
  // Seek origins.
  static constexpr int kFromStart = 0;
  static constexpr int kFromCurrent = 1;
  static constexpr int kFromEnd = 2;

  explicit TFileHandler(std::string fileName = {});
  // Closes the file; a handler must be closed by its most derived class first
  // when that class has buffers to drop.
  virtual ~TFileHandler();
  TFileHandler(const TFileHandler&) = delete;
  TFileHandler& operator=(const TFileHandler&) = delete;

  // Opens the existing file with the handler's in-memory, temporary and
  // exclusive settings; nothing when already open. LEDRA_OSENOENT when the
  // file does not exist. Sets the two read-only outputs.
  virtual void OpenTableFile();
  // Closes the handle; nothing when closed. Never raises.
  virtual void CloseTableFile();
  // Creates the file empty (replacing an existing one) and leaves the handler
  // open on it, held exclusively until it is closed.
  virtual void CreateTableFile();
  // Refused with LEDRA_OSEACCES while the file is open anywhere in the process.
  virtual void DeleteTableFile();
  virtual void RenameTableFile(const std::string& newName);
  // Whole-file copies in 65536-byte chunks, each compressed with zlib when
  // asked. The callback, when given, receives the user data and the percent
  // done whenever it has advanced by at least the step. Only while open.
  virtual void CopyTableFileTo(const std::string& targetName, uint16_t progressStep,
                               const TCopyProgress& progress, void* userData, bool compress);
  virtual void CopyTableFileFrom(const std::string& sourceName, uint16_t progressStep,
                                 const TCopyProgress& progress, void* userData, bool compress);
  // Reads at the file's current position: the count read. Fewer bytes than
  // asked raise LEDRA_READERR unless allowShort is set; a failed read always
  // raises it.
  virtual uint32_t ReadBlock(void* buffer, int64_t length, bool allowShort = false);
  // Writes at the current position; anything but the whole length raises
  // LEDRA_WRITEERR. A length of 0 ends the file at the current position.
  virtual void WriteBlock(const void* buffer, int64_t length);
  // A seek to `offset` and the transfer that follows, inside the file's
  // critical section so that no other thread moves the shared position between.
  uint32_t ReadAt(int64_t offset, void* buffer, int64_t length, bool allowShort = false);
  void WriteAt(int64_t offset, const void* buffer, int64_t length);
  // Writes the system's buffers to the device; LEDRA_WRITEERR on failure.
  virtual void FlushTableFile();

  // Moves the position (origin kFromStart, kFromCurrent or kFromEnd): the new
  // position. A failure raises the engine error of the system's error.
  int64_t Seek(int origin, int64_t offset);
  // The file's size; the position is left where it was.
  int64_t FileSize();
  bool FileExists() const;
  // Locks (true) or unlocks (false) a byte range; false when refused. Raises
  // nothing: the caller decides what a refusal means.
  bool LockRegion(bool lock, uint64_t offset, uint64_t length);
  // Enter and leave the shared file object's critical section (re-entrant).
  void EnterFile();
  void LeaveFile();

  const std::string& FileName() const { return fileName_; }
  void SetFileName(std::string fileName) { fileName_ = std::move(fileName); }
  bool InMemory() const { return inMemory_; }
  void SetInMemory(bool inMemory) { inMemory_ = inMemory; }
  bool Exclusive() const { return exclusive_; }
  void SetExclusive(bool exclusive) { exclusive_ = exclusive; }
  bool Temporary() const { return temporary_; }
  void SetTemporary(bool temporary) { temporary_ = temporary; }
  // Outputs of the last open: opened for reading only; the file carries the
  // read-only attribute.
  bool ReadOnly() const { return readOnly_; }
  bool ReadOnlyAttribute() const { return readOnlyAttribute_; }
  bool IsOpen() const { return open_; }
  TAbstractFile* File() const { return file_; }
  uint32_t HandleNumber() const { return handleNumber_; }

 protected:
  // Raises an engine error about this file.
  [[noreturn]] void RaiseFileError(TEngineErrorCode code) const;
  // Raises the engine error of a negative registry result.
  [[noreturn]] void RaiseResult(int64_t result) const;

 private:
  bool inMemory_ = false;
  TAbstractFile* file_ = nullptr;
  std::string fileName_;
  uint32_t handleNumber_ = 0;
  bool exclusive_ = false;
  bool readOnly_ = false;
  bool readOnlyAttribute_ = false;
  bool open_ = false;
  bool temporary_ = false;
  // EnterFile calls not yet matched, and the object they entered.
  TAbstractFile* enteredFile_ = nullptr;
  int enterDepth_ = 0;
};

// Holds a handler's file section for a scope: a seek and the transfer that
// follows.
class TFileGuard {
 public:
  explicit TFileGuard(TFileHandler& handler) : handler_(handler) { handler_.EnterFile(); }
  ~TFileGuard() { handler_.LeaveFile(); }
  TFileGuard(const TFileGuard&) = delete;
  TFileGuard& operator=(const TFileGuard&) = delete;

 private:
  TFileHandler& handler_;
};

}  // namespace ledra
