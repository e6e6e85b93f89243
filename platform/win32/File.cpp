// Operating-system files on Windows.
//
// Share modes are the sharing flags of CreateFileA: a shared open lets others
// read and write, an exclusive one lets nobody else open the file, and a
// refusal is the system's sharing violation. Delete sharing is never granted,
// so a file in use cannot be removed or renamed under its users.
//
// The position is the file object's own: every transfer names it in an
// OVERLAPPED structure, so no SetFilePointer call comes between a seek and the
// transfer. Byte-range locks are LockFile and UnlockFile on the handle; the
// system itself refuses an overlapping lock through the same handle and
// releases a range only by an unlock of exactly its offset and length, so no
// range list is kept here.
#include "platform/File.h"

#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "platform/Diagnostics.h"
#include "platform/FileRanges.h"
#include "platform/WinError.h"
#include "platform/win32/Win32Error.h"
#include "platform/win32/WindowsApi.h"

namespace ledra::platform {
namespace {


DWORD Low(uint64_t value) {
  return static_cast<DWORD>(value & 0xFFFFFFFFu);
}

DWORD High(uint64_t value) {
  return static_cast<DWORD>(value >> 32);
}

OVERLAPPED At(int64_t position) {
  OVERLAPPED overlapped{};
  overlapped.Offset = Low(static_cast<uint64_t>(position));
  overlapped.OffsetHigh = High(static_cast<uint64_t>(position));
  return overlapped;
}

bool IsSeparator(char c) {
  return c == '\\' || c == '/';
}

class Win32File final : public File {
 public:
  Win32File(HANDLE handle, std::string name, bool writable)
      : handle_(handle), name_(std::move(name)), writable_(writable) {}

  ~Win32File() override {
    ::CloseHandle(handle_);  // releases every byte-range lock of the handle
  }

  Win32File(const Win32File&) = delete;
  Win32File& operator=(const Win32File&) = delete;

  int64_t Seek(int64_t offset, SeekOrigin origin) override {
    if (CountCallAndCheckFault(OsCall::Seek)) return -1;
    int64_t base = 0;
    switch (origin) {
      case SeekOrigin::Begin:
        base = 0;
        break;
      case SeekOrigin::Current:
        base = position_;
        break;
      case SeekOrigin::End: {
        LARGE_INTEGER size;
        if (!::GetFileSizeEx(handle_, &size)) {
          KeepSystemError();
          return -1;
        }
        base = size.QuadPart;
        break;
      }
      default:
        SetLastError(kErrorInvalidParameter);
        return -1;
    }
    const int64_t target = files::SeekTarget(base, offset);
    if (target >= 0) position_ = target;
    return target;
  }

  int64_t Read(void* buffer, uint32_t length) override {
    if (CountCallAndCheckFault(OsCall::Read)) return -1;
    if (!files::TransferFits(position_, length)) return -1;
    auto* bytes = static_cast<uint8_t*>(buffer);
    uint32_t done = 0;
    while (done < length) {
      OVERLAPPED at = At(position_ + done);
      DWORD count = 0;
      if (!::ReadFile(handle_, bytes + done, length - done, &count, &at)) {
        if (::GetLastError() == ERROR_HANDLE_EOF) break;  // positioned read at the end
        KeepSystemError();
        return -1;
      }
      if (count == 0) break;  // end of file
      done += count;
    }
    position_ += done;
    return done;
  }

  int64_t Write(const void* buffer, uint32_t length) override {
    if (CountCallAndCheckFault(OsCall::Write)) return -1;
    if (!files::TransferFits(position_, length)) return -1;
    auto* bytes = static_cast<const uint8_t*>(buffer);
    uint32_t done = 0;
    while (done < length) {
      OVERLAPPED at = At(position_ + done);
      DWORD count = 0;
      if (!::WriteFile(handle_, bytes + done, length - done, &count, &at)) {
        KeepSystemError();
        position_ += done;
        return -1;
      }
      if (count == 0) {
        SetLastError(kErrorDiskFull);
        position_ += done;
        return -1;
      }
      done += count;
    }
    position_ += done;
    return done;
  }

  bool SetEndOfFile() override {
    if (CountCallAndCheckFault(OsCall::SetEnd)) return false;
    LARGE_INTEGER at;
    at.QuadPart = position_;
    if (::SetFilePointerEx(handle_, at, nullptr, FILE_BEGIN) && ::SetEndOfFile(handle_))
      return true;
    KeepSystemError();
    return false;
  }

  bool Flush() override {
    if (CountCallAndCheckFault(OsCall::Flush)) return false;
    // The system refuses to flush a handle without write access; such a
    // handle has nothing to write, so that is success.
    if (!writable_) return true;
    if (::FlushFileBuffers(handle_)) return true;
    KeepSystemError();
    return false;
  }

  bool Lock(uint64_t offset, uint64_t length) override {
    if (CountCallAndCheckFault(OsCall::Lock)) return false;
    if (!files::LockRangeIsValid(offset, length)) return false;
    if (::LockFile(handle_, Low(offset), High(offset), Low(length), High(length))) return true;
    KeepSystemError();
    return false;
  }

  bool Unlock(uint64_t offset, uint64_t length) override {
    if (CountCallAndCheckFault(OsCall::Unlock)) return false;
    if (::UnlockFile(handle_, Low(offset), High(offset), Low(length), High(length))) return true;
    // Windows answers "not locked" for a range this handle does not hold as
    // given; Wine answers some of those with a lock violation, which an unlock
    // can never be.
    if (KeepSystemError() == kErrorLockViolation) SetLastError(kErrorNotLocked);
    return false;
  }

  const std::string& Name() const override { return name_; }

 private:
  HANDLE handle_;
  std::string name_;
  bool writable_;
  int64_t position_ = 0;
};

// Windows refuses to write to a file with the read-only attribute whoever asks;
// asking first keeps that true where the system does not check it itself for
// a privileged user (Wine run as root).
bool HasReadOnlyAttribute(const std::string& name) {
  DWORD found = ::GetFileAttributesA(name.c_str());
  return found != INVALID_FILE_ATTRIBUTES && (found & FILE_ATTRIBUTE_DIRECTORY) == 0 &&
         (found & FILE_ATTRIBUTE_READONLY) != 0;
}

// The last part of a name.
std::string BaseName(const std::string& name) {
  size_t separator = name.find_last_of("\\/:");
  return separator == std::string::npos ? name : name.substr(separator + 1);
}

// A name with wildcards would make the lookup below a search for other files.
bool HasWildcards(const std::string& name) {
  return name.find_first_of("*?") != std::string::npos;
}

}  // namespace

std::string ResolveFileName(const std::string& name) {
  // The system finds names without regard to case itself; the lookup only
  // answers the spelling the directories hold, one part of the name at a
  // time, up to the first part that does not exist.
  if (name.empty() || HasWildcards(name)) return name;
  // The drive or share root is taken as given.
  size_t start = 0;
  if (name.size() >= 2 && name[1] == ':') {
    start = 2;
  } else if (name.size() >= 2 && IsSeparator(name[0]) && IsSeparator(name[1])) {
    size_t server = name.find_first_of("\\/", 2);
    size_t share = server == std::string::npos ? server : name.find_first_of("\\/", server + 1);
    if (share == std::string::npos) return name;
    start = share;
  }
  std::string resolved = name.substr(0, start);
  while (start < name.size()) {
    while (start < name.size() && IsSeparator(name[start])) resolved += name[start++];
    size_t end = name.find_first_of("\\/", start);
    if (end == std::string::npos) end = name.size();
    std::string part = name.substr(start, end - start);
    if (part.empty()) break;
    if (part != "." && part != "..") {
      WIN32_FIND_DATAA found;
      HANDLE search = ::FindFirstFileA((resolved + part).c_str(), &found);
      if (search == INVALID_HANDLE_VALUE) return resolved + name.substr(start);
      ::FindClose(search);
      part = found.cFileName;
    }
    resolved += part;
    start = end;
  }
  return resolved;
}

std::unique_ptr<File> OpenOsFile(const std::string& name, const OpenOptions& options) {
  if (CountCallAndCheckFault(OsCall::Open)) return nullptr;
  std::string resolved = ResolveFileName(name);
  bool writable = options.access == FileAccess::ReadWrite;
  if (writable && HasReadOnlyAttribute(resolved)) {
    SetLastError(kErrorAccessDenied);
    return nullptr;
  }
  DWORD access = GENERIC_READ | (writable ? GENERIC_WRITE : 0);
  DWORD share = options.share == FileShare::Shared ? FILE_SHARE_READ | FILE_SHARE_WRITE : 0;
  DWORD flags = FILE_ATTRIBUTE_NORMAL;
  if (options.sequentialScan) flags |= FILE_FLAG_SEQUENTIAL_SCAN;
  if (options.deleteOnClose) flags |= FILE_FLAG_DELETE_ON_CLOSE;
  HANDLE handle =
      ::CreateFileA(resolved.c_str(), access, share, nullptr, OPEN_EXISTING, flags, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    KeepSystemError();
    return nullptr;
  }
  // Devices and pipes open like files but are none.
  if (::GetFileType(handle) != FILE_TYPE_DISK) {
    ::CloseHandle(handle);
    SetLastError(kErrorAccessDenied);
    return nullptr;
  }
  return std::make_unique<Win32File>(handle, resolved, writable);
}

std::unique_ptr<File> CreateOsFile(const std::string& name, bool temporary) {
  if (CountCallAndCheckFault(OsCall::Create)) return nullptr;
  std::string resolved = ResolveFileName(name);
  if (HasReadOnlyAttribute(resolved)) {
    SetLastError(kErrorAccessDenied);
    return nullptr;
  }
  DWORD flags =
      (temporary ? FILE_ATTRIBUTE_TEMPORARY : FILE_ATTRIBUTE_NORMAL) | FILE_FLAG_SEQUENTIAL_SCAN;
  // Not shared: a file another program has open is refused with its contents
  // intact (CREATE_ALWAYS truncates only once the open has been granted).
  HANDLE handle = ::CreateFileA(resolved.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                CREATE_ALWAYS, flags, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    KeepSystemError();
    return nullptr;
  }
  if (::GetFileType(handle) != FILE_TYPE_DISK) {
    ::CloseHandle(handle);
    SetLastError(kErrorAccessDenied);
    return nullptr;
  }
  return std::make_unique<Win32File>(handle, resolved, true);
}

bool ReadAttributes(const std::string& name, FileAttributes* attributes) {
  if (CountCallAndCheckFault(OsCall::Attributes)) return false;
  DWORD found = ::GetFileAttributesA(name.c_str());
  if (found == INVALID_FILE_ATTRIBUTES) {
    KeepSystemError();
    return false;
  }
  attributes->isDirectory = (found & FILE_ATTRIBUTE_DIRECTORY) != 0;
  attributes->readOnly = (found & FILE_ATTRIBUTE_READONLY) != 0;
  return true;
}

bool SetReadOnlyAttribute(const std::string& name, bool readOnly) {
  if (CountCallAndCheckFault(OsCall::Attributes)) return false;
  DWORD found = ::GetFileAttributesA(name.c_str());
  if (found == INVALID_FILE_ATTRIBUTES) {
    KeepSystemError();
    return false;
  }
  DWORD wanted =
      readOnly ? (found | FILE_ATTRIBUTE_READONLY) : (found & ~DWORD(FILE_ATTRIBUTE_READONLY));
  // FILE_ATTRIBUTE_NORMAL must stand alone; no attribute at all means it.
  if (wanted == 0) wanted = FILE_ATTRIBUTE_NORMAL;
  if (::SetFileAttributesA(name.c_str(), wanted)) return true;
  KeepSystemError();
  return false;
}

bool RemoveFile(const std::string& name) {
  if (CountCallAndCheckFault(OsCall::Remove)) return false;
  if (HasReadOnlyAttribute(name)) {
    SetLastError(kErrorAccessDenied);
    return false;
  }
  if (::DeleteFileA(name.c_str())) return true;
  KeepSystemError();
  return false;
}

bool RenameFile(const std::string& from, const std::string& to) {
  if (CountCallAndCheckFault(OsCall::Rename)) return false;
  // MoveFileA never replaces an existing file, and changes only the case
  // when both names are the same file.
  if (!::MoveFileA(from.c_str(), to.c_str())) {
    KeepSystemError();
    return false;
  }
  // Some systems (Wine) take a change of case only as a move onto itself and
  // keep the old spelling; a move through a name of its own makes it.
  const std::string given = BaseName(to);
  const std::string now = BaseName(ResolveFileName(to));
  if (now == given || _stricmp(now.c_str(), given.c_str()) != 0) return true;
  const std::string step = to + ".~" + std::to_string(::GetCurrentProcessId());
  if (!::MoveFileA(to.c_str(), step.c_str())) {
    KeepSystemError();
    return false;
  }
  if (::MoveFileA(step.c_str(), to.c_str())) return true;
  const uint32_t error = KeepSystemError();
  ::MoveFileA(step.c_str(), from.c_str());  // never leave it under the passing name
  SetLastError(error);
  return false;
}

bool RegularFileExists(const std::string& name) {
  if (CountCallAndCheckFault(OsCall::Attributes)) return false;
  DWORD found = ::GetFileAttributesA(name.c_str());
  if (found == INVALID_FILE_ATTRIBUTES) {
    KeepSystemError();
    return false;
  }
  return (found & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

char PathSeparator() {
  return '\\';
}

bool ContainsPath(const std::string& name) {
  // The system takes "/" for "\" as well.
  return name.find_first_of("\\/:") != std::string::npos;
}

std::string IncludeTrailingSeparator(const std::string& path) {
  if (path.empty() || IsSeparator(path.back())) return path;
  return path + '\\';
}

std::string GetCurrentDir() {
  for (;;) {
    DWORD needed = ::GetCurrentDirectoryA(0, nullptr);
    if (needed == 0) break;
    std::vector<char> buffer(needed);
    DWORD length = ::GetCurrentDirectoryA(needed, buffer.data());
    if (length == 0) break;
    if (length < needed) return std::string(buffer.data(), length);
    // Another thread changed the directory to a longer one meanwhile.
  }
  KeepSystemError();
  return std::string();
}

bool SetCurrentDir(const std::string& path) {
  // The current directory keeps the spelling it is given.
  if (::SetCurrentDirectoryA(ResolveFileName(path).c_str())) return true;
  KeepSystemError();
  return false;
}

std::string GetTempDir() {
  char buffer[MAX_PATH + 1];
  DWORD length = ::GetTempPathA(sizeof buffer, buffer);
  if (length == 0 || length > sizeof buffer) {
    KeepSystemError();
    return std::string();
  }
  return IncludeTrailingSeparator(std::string(buffer, length));
}

}  // namespace ledra::platform
