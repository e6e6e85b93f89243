// Folders on POSIX: the XDG data home, mkdir and rmdir.
#include "platform/Folders.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "platform/WinError.h"
#include "platform/posix/PosixError.h"

namespace ledra::platform {

namespace {

std::string WithoutTrailingSlashes(std::string path) {
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  return path;
}

}  // namespace

std::string UserDataDirectory() {
  // The XDG rules: a relative $XDG_DATA_HOME is invalid and ignored.
  const char* dataHome = std::getenv("XDG_DATA_HOME");
  if (dataHome != nullptr && dataHome[0] == '/') return WithoutTrailingSlashes(dataHome);
  const char* home = std::getenv("HOME");
  if (home != nullptr && home[0] == '/') {
    return WithoutTrailingSlashes(home) + "/.local/share";
  }
  SetLastError(kErrorPathNotFound);
  return {};
}

bool DirectoryExists(const std::string& path) {
  struct stat info;
  return !path.empty() && ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

bool ForceDirectories(const std::string& path) {
  const std::string target = WithoutTrailingSlashes(path);
  if (target.empty()) {
    SetLastError(kErrorPathNotFound);
    return false;
  }
  if (DirectoryExists(target)) return true;
  const size_t slash = target.find_last_of('/');
  if (slash != std::string::npos && slash > 0 && !ForceDirectories(target.substr(0, slash))) {
    return false;
  }
  if (::mkdir(target.c_str(), 0777) == 0) return true;
  const int error = errno;
  if (error == EEXIST && DirectoryExists(target)) return true;  // made meanwhile
  SetLastErrorForName(target, error);
  return false;
}

bool RemoveEmptyDirectory(const std::string& path) {
  if (::rmdir(path.c_str()) == 0) return true;
  SetLastErrorFromErrno(errno);
  return false;
}

bool SameDirectory(const std::string& first, const std::string& second) {
  struct stat a;
  struct stat b;
  if (first.empty() || second.empty()) return false;
  if (::stat(first.c_str(), &a) != 0 || ::stat(second.c_str(), &b) != 0) return false;
  return S_ISDIR(a.st_mode) && S_ISDIR(b.st_mode) && a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

}  // namespace ledra::platform
