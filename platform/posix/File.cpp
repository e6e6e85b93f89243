// Operating-system files on POSIX, behaving as the engine expects from Windows.
//
// Share modes are whole-file `flock` locks taken without waiting when the file
// is opened: a shared open holds LOCK_SH, an exclusive one LOCK_EX, so an
// exclusive open conflicts with every other open, in this process or another,
// and a refusal is a sharing violation. Byte-range locks are open-file-
// description locks (F_OFD_SETLK): they belong to the descriptor, conflict
// between descriptors and processes, and go away when the descriptor closes.
// A descriptor does not conflict with itself, so each `PosixFile` also keeps
// the ranges it holds and refuses an overlapping lock on its own, as Windows
// refuses it through the same handle. Both kinds of lock are independent of
// each other on Linux.
//
// The read-only attribute is the absence of the owner's write permission. It
// is checked here rather than left to open(2), so that a privileged process
// is refused write access exactly as a Windows program is.
#include "platform/File.h"

#include <dirent.h>
#include <fcntl.h>
#include <strings.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <map>
#include <mutex>
#include <utility>
#include <vector>

#include "platform/Diagnostics.h"
#include "platform/FileRanges.h"
#include "platform/WinError.h"
#include "platform/posix/PosixError.h"

namespace ledra::platform {
namespace {

using files::kMaxOffset;
constexpr int kOpenFlags = O_CLOEXEC | O_NOCTTY | O_NONBLOCK;

bool HasWritePermission(mode_t mode) {
  return (mode & S_IWUSR) != 0;
}

bool EntryExists(const std::string& name) {
  struct stat info;
  return ::lstat(name.c_str(), &info) == 0;
}

bool SameFile(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

int OpenRetrying(const std::string& name, int flags, mode_t mode = 0) {
  int fd;
  do {
    fd = ::open(name.c_str(), flags, mode);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

void CloseKeepingErrno(int fd) {
  int saved = errno;
  ::close(fd);
  errno = saved;
}

// Windows refuses to delete or move a file that another handle has open (the
// engine never grants delete sharing). Every open here holds a flock, so an
// exclusive flock that cannot be had means the file is in use. On success the
// descriptor holding the lock is returned (-1 when the file could not even be
// opened for the check); the caller closes it after the removal or rename.
int LockAgainstUsers(const std::string& name, bool* inUse) {
  *inUse = false;
  int fd = OpenRetrying(name, O_RDONLY | kOpenFlags);
  if (fd < 0) return -1;
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    *inUse = errno == EWOULDBLOCK;
    CloseKeepingErrno(fd);
    return -1;
  }
  return fd;
}

// The part of `name` up to and including its last separator, and the rest.
void SplitName(const std::string& name, std::string* directory, std::string* base) {
  std::string::size_type slash = name.find_last_of('/');
  if (slash == std::string::npos) {
    directory->clear();
    *base = name;
  } else {
    *directory = name.substr(0, slash + 1);
    *base = name.substr(slash + 1);
  }
}

class PosixFile final : public File {
 public:
  PosixFile(int fd, std::string name, bool writable)
      : fd_(fd), name_(std::move(name)), writable_(writable) {}

  ~PosixFile() override {
    if (deleteOnClose_) {
      // Remove the name only if it still denotes this file.
      struct stat opened, named;
      if (::fstat(fd_, &opened) == 0 && ::lstat(name_.c_str(), &named) == 0 &&
          SameFile(opened, named)) {
        ::unlink(name_.c_str());
      }
    }
    ::close(fd_);  // releases the share lock and every byte-range lock
  }

  PosixFile(const PosixFile&) = delete;
  PosixFile& operator=(const PosixFile&) = delete;

  void SetDeleteOnClose() { deleteOnClose_ = true; }

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
        struct stat info;
        if (::fstat(fd_, &info) != 0) {
          SetLastErrorFromErrno(errno);
          return -1;
        }
        base = info.st_size;
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
      ssize_t count = ::pread(fd_, bytes + done, length - done, position_ + done);
      if (count < 0) {
        if (errno == EINTR) continue;
        SetLastErrorFromErrno(errno);
        return -1;
      }
      if (count == 0) break;  // end of file
      done += static_cast<uint32_t>(count);
    }
    position_ += done;
    return done;
  }

  int64_t Write(const void* buffer, uint32_t length) override {
    if (CountCallAndCheckFault(OsCall::Write)) return -1;
    if (!writable_) {
      SetLastError(kErrorAccessDenied);
      return -1;
    }
    if (!files::TransferFits(position_, length)) return -1;
    auto* bytes = static_cast<const uint8_t*>(buffer);
    uint32_t done = 0;
    while (done < length) {
      ssize_t count = ::pwrite(fd_, bytes + done, length - done, position_ + done);
      if (count < 0) {
        if (errno == EINTR) continue;
        SetLastErrorFromErrno(errno);
        position_ += done;
        return -1;
      }
      if (count == 0) {
        SetLastError(kErrorDiskFull);
        position_ += done;
        return -1;
      }
      done += static_cast<uint32_t>(count);
    }
    position_ += done;
    return done;
  }

  bool SetEndOfFile() override {
    if (CountCallAndCheckFault(OsCall::SetEnd)) return false;
    if (!writable_) {
      SetLastError(kErrorAccessDenied);
      return false;
    }
    int result;
    do {
      result = ::ftruncate(fd_, position_);
    } while (result != 0 && errno == EINTR);
    if (result != 0) {
      SetLastErrorFromErrno(errno);
      return false;
    }
    return true;
  }

  bool Flush() override {
    if (CountCallAndCheckFault(OsCall::Flush)) return false;
    // A read-only descriptor has nothing to write and succeeds.
    if (::fdatasync(fd_) != 0) {
      SetLastErrorFromErrno(errno);
      return false;
    }
    return true;
  }

  bool Lock(uint64_t offset, uint64_t length) override {
    if (CountCallAndCheckFault(OsCall::Lock)) return false;
    if (!files::LockRangeIsValid(offset, length)) return false;
    uint64_t end = offset + length - 1;
    std::lock_guard<std::mutex> guard(rangesMutex_);
    if (Overlaps(offset, end)) {
      SetLastError(kErrorLockViolation);
      return false;
    }
    // A descriptor opened for reading cannot take a write lock, so read-only
    // users take read locks. Those still conflict with every write lock, which
    // is what the lock protocol needs from them: a reader's byte excludes the
    // writers' regions and records. Two read locks of the same byte do not
    // conflict, unlike on Windows; readers never need to exclude each other.
    if (!SetOsLock(writable_ ? F_WRLCK : F_RDLCK, offset, length)) {
      if (errno == EAGAIN || errno == EACCES) {
        SetLastError(kErrorLockViolation);
      } else {
        SetLastErrorFromErrno(errno);
      }
      return false;
    }
    ranges_.emplace(offset, Range{end, length});
    return true;
  }

  bool Unlock(uint64_t offset, uint64_t length) override {
    if (CountCallAndCheckFault(OsCall::Unlock)) return false;
    std::lock_guard<std::mutex> guard(rangesMutex_);
    auto held = ranges_.find(offset);
    if (held == ranges_.end() || held->second.length != length) {
      SetLastError(kErrorNotLocked);
      return false;
    }
    if (!SetOsLock(F_UNLCK, offset, length)) {
      SetLastErrorFromErrno(errno);
      return false;
    }
    ranges_.erase(held);
    return true;
  }

  const std::string& Name() const override { return name_; }

 private:
  struct Range {
    uint64_t end;  // inclusive
    uint64_t length;
  };

  // Whether [offset, end] meets a held range. Held ranges never overlap, so
  // only the last one starting at or before `end` can reach back to `offset`.
  bool Overlaps(uint64_t offset, uint64_t end) const {
    auto after = ranges_.upper_bound(end);
    if (after == ranges_.begin()) return false;
    --after;
    return after->second.end >= offset;
  }

  bool SetOsLock(short type, uint64_t offset, uint64_t length) {
    struct flock request {};
    request.l_type = type;
    request.l_whence = SEEK_SET;
    request.l_start = static_cast<off_t>(offset);
    // A length reaching past the largest offset locks to the end (length 0).
    request.l_len = length > uint64_t(kMaxOffset) - offset ? 0 : static_cast<off_t>(length);
    request.l_pid = 0;
    return ::fcntl(fd_, F_OFD_SETLK, &request) == 0;
  }

  int fd_;
  std::string name_;
  bool writable_;
  bool deleteOnClose_ = false;
  int64_t position_ = 0;
  std::mutex rangesMutex_;
  std::map<uint64_t, Range> ranges_;  // by start
};

// Takes the share lock without waiting; on refusal the last error is set.
bool TakeShareLock(int fd, FileShare share) {
  if (::flock(fd, (share == FileShare::Exclusive ? LOCK_EX : LOCK_SH) | LOCK_NB) == 0) return true;
  if (errno == EWOULDBLOCK) {
    SetLastError(kErrorSharingViolation);
  } else {
    SetLastErrorFromErrno(errno);
  }
  return false;
}

void AdviseSequential(int fd) {
  ::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
}

}  // namespace

std::string ResolveFileName(const std::string& name) {
  if (name.empty() || EntryExists(name)) return name;
  std::string directory, base;
  SplitName(name, &directory, &base);
  if (base.empty() || base == "." || base == "..") return name;

  // The directory may itself be spelt in another case.
  std::string parent = directory;
  while (parent.size() > 1 && parent.back() == '/') parent.pop_back();
  if (!parent.empty() && parent != "/" && !EntryExists(parent)) {
    std::string resolvedParent = ResolveFileName(parent);
    if (resolvedParent != parent) directory = resolvedParent + "/";
  }

  DIR* listing = ::opendir(directory.empty() ? "." : directory.c_str());
  if (listing == nullptr) return name;
  std::string found;
  while (dirent* entry = ::readdir(listing)) {
    if (::strcasecmp(entry->d_name, base.c_str()) != 0) continue;
    // Several spellings may exist; take the same one every time.
    if (found.empty() || found.compare(entry->d_name) > 0) found = entry->d_name;
  }
  ::closedir(listing);
  return directory + (found.empty() ? base : found);
}

std::unique_ptr<File> OpenOsFile(const std::string& name, const OpenOptions& options) {
  if (CountCallAndCheckFault(OsCall::Open)) return nullptr;
  std::string resolved = ResolveFileName(name);
  bool writable = options.access == FileAccess::ReadWrite;
  int fd = OpenRetrying(resolved, (writable ? O_RDWR : O_RDONLY) | kOpenFlags);
  if (fd < 0) {
    SetLastErrorForName(resolved, errno);
    return nullptr;
  }
  auto file = std::make_unique<PosixFile>(fd, resolved, writable);
  struct stat info;
  if (::fstat(fd, &info) != 0) {
    SetLastErrorFromErrno(errno);
    return nullptr;
  }
  // Directories and devices are not files to Windows programs; a file without
  // write permission has the read-only attribute and opens only for reading.
  if (!S_ISREG(info.st_mode) || (writable && !HasWritePermission(info.st_mode))) {
    SetLastError(kErrorAccessDenied);
    return nullptr;
  }
  if (!TakeShareLock(fd, options.share)) return nullptr;
  if (options.sequentialScan) AdviseSequential(fd);
  if (options.deleteOnClose) file->SetDeleteOnClose();
  return file;
}

std::unique_ptr<File> CreateOsFile(const std::string& name, bool temporary) {
  (void)temporary;  // nothing marks a temporary file here beyond its name
  if (CountCallAndCheckFault(OsCall::Create)) return nullptr;
  std::string resolved = ResolveFileName(name);
  int fd = -1;
  bool created = false;
  while (fd < 0) {
    fd = OpenRetrying(resolved, O_RDWR | kOpenFlags);
    if (fd >= 0 || errno != ENOENT) break;
    fd = OpenRetrying(resolved, O_RDWR | O_CREAT | O_EXCL | kOpenFlags, 0666);
    created = fd >= 0;
    if (fd < 0 && errno != EEXIST) break;  // EEXIST: someone made it meanwhile
  }
  if (fd < 0) {
    SetLastErrorForName(resolved, errno);
    return nullptr;
  }
  auto file = std::make_unique<PosixFile>(fd, resolved, true);
  struct stat info;
  if (::fstat(fd, &info) != 0) {
    SetLastErrorFromErrno(errno);
    return nullptr;
  }
  if (!S_ISREG(info.st_mode) || (!created && !HasWritePermission(info.st_mode))) {
    SetLastError(kErrorAccessDenied);
    return nullptr;
  }
  // The exclusive lock comes before the truncation, so that a file another
  // program has open is refused with its contents intact.
  if (!TakeShareLock(fd, FileShare::Exclusive)) return nullptr;
  if (!created && ::ftruncate(fd, 0) != 0) {
    SetLastErrorFromErrno(errno);
    return nullptr;
  }
  AdviseSequential(fd);
  return file;
}

bool ReadAttributes(const std::string& name, FileAttributes* attributes) {
  if (CountCallAndCheckFault(OsCall::Attributes)) return false;
  std::string resolved = ResolveFileName(name);
  struct stat info;
  if (::stat(resolved.c_str(), &info) != 0) {
    SetLastErrorForName(resolved, errno);
    return false;
  }
  attributes->isDirectory = S_ISDIR(info.st_mode);
  attributes->readOnly = !HasWritePermission(info.st_mode);
  return true;
}

bool SetReadOnlyAttribute(const std::string& name, bool readOnly) {
  if (CountCallAndCheckFault(OsCall::Attributes)) return false;
  std::string resolved = ResolveFileName(name);
  struct stat info;
  if (::stat(resolved.c_str(), &info) != 0) {
    SetLastErrorForName(resolved, errno);
    return false;
  }
  mode_t mode = info.st_mode & 07777;
  mode = readOnly ? (mode & ~mode_t(S_IWUSR | S_IWGRP | S_IWOTH)) : (mode | S_IWUSR);
  if (::chmod(resolved.c_str(), mode) != 0) {
    SetLastErrorFromErrno(errno);
    return false;
  }
  return true;
}

bool RemoveFile(const std::string& name) {
  if (CountCallAndCheckFault(OsCall::Remove)) return false;
  std::string resolved = ResolveFileName(name);
  struct stat info;
  if (::lstat(resolved.c_str(), &info) != 0) {
    SetLastErrorForName(resolved, errno);
    return false;
  }
  // Windows deletes neither directories nor read-only files this way.
  if (S_ISDIR(info.st_mode) || (S_ISREG(info.st_mode) && !HasWritePermission(info.st_mode))) {
    SetLastError(kErrorAccessDenied);
    return false;
  }
  int guard = -1;
  if (S_ISREG(info.st_mode)) {
    bool inUse = false;
    guard = LockAgainstUsers(resolved, &inUse);
    if (inUse) {
      SetLastError(kErrorSharingViolation);
      return false;
    }
  }
  bool removed = ::unlink(resolved.c_str()) == 0;
  if (!removed) SetLastErrorForName(resolved, errno);
  if (guard >= 0) CloseKeepingErrno(guard);
  return removed;
}

bool RenameFile(const std::string& from, const std::string& to) {
  if (CountCallAndCheckFault(OsCall::Rename)) return false;
  std::string source = ResolveFileName(from);
  struct stat info;
  if (::lstat(source.c_str(), &info) != 0) {
    SetLastErrorForName(source, errno);
    return false;
  }
  std::string target = ResolveFileName(to);
  if (EntryExists(target)) {
    if (target != source) {
      SetLastError(kErrorAlreadyExists);  // MoveFile never replaces
      return false;
    }
    // The same file under another spelling: only the case changes.
    std::string directory, ignored, base;
    SplitName(source, &directory, &ignored);
    SplitName(to, &ignored, &base);
    target = directory + base;
    if (target == source) return true;
  }
  int guard = -1;
  if (S_ISREG(info.st_mode)) {
    bool inUse = false;
    guard = LockAgainstUsers(source, &inUse);
    if (inUse) {
      SetLastError(kErrorSharingViolation);
      return false;
    }
  }
  int result = ::renameat2(AT_FDCWD, source.c_str(), AT_FDCWD, target.c_str(), RENAME_NOREPLACE);
  if (result != 0 && errno == EINVAL && !EntryExists(target)) {
    // A file system without RENAME_NOREPLACE: the target was checked above.
    result = ::rename(source.c_str(), target.c_str());
  }
  if (result != 0) {
    if (errno == EEXIST) {
      SetLastError(kErrorAlreadyExists);
    } else {
      SetLastErrorForName(target, errno);
    }
  }
  if (guard >= 0) CloseKeepingErrno(guard);
  return result == 0;
}

bool RegularFileExists(const std::string& name) {
  if (CountCallAndCheckFault(OsCall::Attributes)) return false;
  struct stat info;
  if (::stat(ResolveFileName(name).c_str(), &info) != 0) {
    SetLastErrorFromErrno(errno);
    return false;
  }
  return S_ISREG(info.st_mode);
}

char PathSeparator() {
  return '/';
}

bool ContainsPath(const std::string& name) {
  return name.find('/') != std::string::npos;
}

std::string IncludeTrailingSeparator(const std::string& path) {
  if (path.empty() || path.back() == '/') return path;
  return path + '/';
}

std::string GetCurrentDir() {
  std::vector<char> buffer(256);
  while (::getcwd(buffer.data(), buffer.size()) == nullptr) {
    if (errno != ERANGE) {
      SetLastErrorFromErrno(errno);
      return std::string();
    }
    buffer.resize(buffer.size() * 2);
  }
  return std::string(buffer.data());
}

bool SetCurrentDir(const std::string& path) {
  std::string resolved = ResolveFileName(path);
  if (::chdir(resolved.c_str()) != 0) {
    SetLastErrorForName(resolved, errno);
    return false;
  }
  return true;
}

std::string GetTempDir() {
  const char* variable = std::getenv("TMPDIR");
  std::string directory = variable != nullptr && *variable != '\0' ? variable : "/tmp";
  return IncludeTrailingSeparator(directory);
}

}  // namespace ledra::platform
