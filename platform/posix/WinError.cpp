// The last error of each thread, and the errno translation behind it.
#include "platform/WinError.h"

#include <sys/stat.h>

#include <cerrno>

#include "platform/posix/PosixError.h"

namespace ledra::platform {
namespace {

thread_local uint32_t lastError = kErrorSuccess;

}  // namespace

uint32_t GetLastError() {
  return lastError;
}

void SetLastError(uint32_t error) {
  lastError = error;
}

uint32_t WinErrorFromErrno(int error) {
  switch (error) {
    case 0:
      return kErrorSuccess;
    case ENOENT:
      return kErrorFileNotFound;
    case ENOTDIR:
    case ENAMETOOLONG:
    case ELOOP:
      return kErrorPathNotFound;
    case EMFILE:
    case ENFILE:
      return kErrorTooManyOpenFiles;
    case EACCES:
    case EPERM:
    case EROFS:
    case EISDIR:
      return kErrorAccessDenied;
    case EBADF:
      return kErrorInvalidHandle;
    case ENOMEM:
      return kErrorNotEnoughMemory;
    case ENODEV:
    case ENXIO:
      return kErrorInvalidDrive;
    case EXDEV:
      return kErrorNotSameDevice;
    case ENOSPC:
    case EDQUOT:
      return kErrorDiskFull;
    case EEXIST:
      return kErrorFileExists;
    case EINVAL:
      return kErrorInvalidParameter;
    case ETXTBSY:
      return kErrorSharingViolation;
    case EIO:
      return kErrorIoDevice;
    default:
      return kErrorGenFailure;
  }
}

uint32_t SetLastErrorFromErrno(int error) {
  uint32_t code = WinErrorFromErrno(error);
  SetLastError(code);
  return code;
}

uint32_t SetLastErrorForName(const std::string& name, int error) {
  if (error == ENOENT) {
    // Windows tells a missing directory from a missing file.
    std::string::size_type slash = name.find_last_of('/');
    if (slash != std::string::npos && slash > 0) {
      std::string directory = name.substr(0, slash);
      struct stat info;
      if (::stat(directory.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) {
        SetLastError(kErrorPathNotFound);
        return kErrorPathNotFound;
      }
    }
  }
  return SetLastErrorFromErrno(error);
}

}  // namespace ledra::platform
