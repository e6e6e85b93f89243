// Operating-system files as the engine uses them.
//
// One `File` is one operating-system handle. It keeps one position that every
// transfer moves (the engine brackets a seek and the transfer that follows
// under the owning file object's critical section). Byte-range locks behave as
// on Windows: an overlapping lock is refused whether the range is held by
// another process or through this same handle, and a range is released only
// by an unlock of exactly its offset and length.
//
// Failures return -1, false or null and set the calling thread's last error
// (WinError.h). No operating-system type appears here, so the engine above
// builds unchanged on every platform.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace ledra::platform {

enum class FileAccess { ReadWrite, ReadOnly };
enum class FileShare { Shared, Exclusive };
enum class SeekOrigin { Begin = 0, Current = 1, End = 2 };

struct OpenOptions {
  FileAccess access = FileAccess::ReadWrite;
  // Shared: other opens may read and write. Exclusive: no other open at all,
  // in this process or another.
  FileShare share = FileShare::Shared;
  // Caching hint: the file is mostly read front to back.
  bool sequentialScan = true;
  // The system removes the file when this handle closes.
  bool deleteOnClose = false;
};

class File {
 public:
  virtual ~File() = default;  // closes the handle, releasing its locks

  // Moves the position; returns the new position, or -1.
  virtual int64_t Seek(int64_t offset, SeekOrigin origin) = 0;
  // Transfer at the position and advance it; return the count, or -1.
  virtual int64_t Read(void* buffer, uint32_t length) = 0;
  virtual int64_t Write(const void* buffer, uint32_t length) = 0;
  // Cuts or extends the file to end at the current position.
  virtual bool SetEndOfFile() = 0;
  // Writes the system's buffers for this file to the device.
  virtual bool Flush() = 0;
  // Byte-range locks with 64-bit offsets and lengths (length > 0).
  virtual bool Lock(uint64_t offset, uint64_t length) = 0;
  virtual bool Unlock(uint64_t offset, uint64_t length) = 0;
  // The name the file was opened under (after case-insensitive lookup).
  virtual const std::string& Name() const = 0;
};

struct FileAttributes {
  bool isDirectory = false;
  bool readOnly = false;  // the read-only attribute (no write permission)
};

// Opens an existing file. Null on failure with the last error set: a missing
// file gives kErrorFileNotFound or kErrorPathNotFound, a refused share mode
// kErrorSharingViolation, missing rights kErrorAccessDenied.
std::unique_ptr<File> OpenOsFile(const std::string& name, const OpenOptions& options);

// Creates a file for reading and writing, not shared, replacing any existing
// file of that name. A temporary file is created with that attribute but is
// not removed at close.
std::unique_ptr<File> CreateOsFile(const std::string& name, bool temporary);

bool ReadAttributes(const std::string& name, FileAttributes* attributes);
// Sets or clears the read-only attribute (used by tests and maintenance).
bool SetReadOnlyAttribute(const std::string& name, bool readOnly);
bool RemoveFile(const std::string& name);
bool RenameFile(const std::string& from, const std::string& to);
// True when a file, not a directory, of that name exists.
bool RegularFileExists(const std::string& name);

// File names are found without regard to case, as on Windows: a name that does
// not exist as given is looked up in its directory; the existing spelling is
// returned, or the name as given when nothing matches.
std::string ResolveFileName(const std::string& name);

// The directory separator, and whether a table or database name holds a path.
char PathSeparator();
bool ContainsPath(const std::string& name);
// Appends the separator unless the path is empty or already ends with one.
std::string IncludeTrailingSeparator(const std::string& path);

std::string GetCurrentDir();
bool SetCurrentDir(const std::string& path);
// The directory for temporary files, ending with the separator.
std::string GetTempDir();

}  // namespace ledra::platform
