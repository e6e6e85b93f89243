// Folders on Windows: the roaming application data folder, CreateDirectoryA
// and RemoveDirectoryA.
#include "platform/Folders.h"

#include <cstdlib>

#include "platform/WinError.h"
#include "platform/win32/Win32Error.h"
#include "platform/win32/WindowsApi.h"
// After windows.h, which it needs.
#include <shlobj.h>

namespace ledra::platform {

namespace {

bool IsSeparator(char c) {
  return c == '\\' || c == '/';
}

std::string WithoutTrailingSeparators(std::string path) {
  while (path.size() > 1 && IsSeparator(path.back()) && path[path.size() - 2] != ':') {
    path.pop_back();
  }
  return path;
}

// The length of the part of the path that names a drive or share root
// ("C:\", "\\server\share\"), which is never made.
size_t RootLength(const std::string& path) {
  if (path.size() >= 2 && path[1] == ':') return path.size() >= 3 && IsSeparator(path[2]) ? 3 : 2;
  if (path.size() >= 2 && IsSeparator(path[0]) && IsSeparator(path[1])) {
    size_t server = path.find_first_of("\\/", 2);
    if (server == std::string::npos) return path.size();
    size_t share = path.find_first_of("\\/", server + 1);
    return share == std::string::npos ? path.size() : share + 1;
  }
  return IsSeparator(path[0]) ? 1 : 0;
}

bool SameFileInformation(const std::string& path, BY_HANDLE_FILE_INFORMATION* information) {
  // Backup semantics: the only way to open a directory.
  HANDLE handle =
      ::CreateFileA(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return false;
  bool done = ::GetFileInformationByHandle(handle, information) != FALSE;
  ::CloseHandle(handle);
  return done;
}

}  // namespace

std::string UserDataDirectory() {
  char path[MAX_PATH];
  if (SUCCEEDED(::SHGetFolderPathA(nullptr, CSIDL_APPDATA, nullptr, SHGFP_TYPE_CURRENT, path))) {
    return WithoutTrailingSeparators(path);
  }
  const char* appData = std::getenv("APPDATA");
  if (appData != nullptr && *appData != '\0') return WithoutTrailingSeparators(appData);
  SetLastError(kErrorPathNotFound);
  return {};
}

bool DirectoryExists(const std::string& path) {
  if (path.empty()) return false;
  DWORD attributes = ::GetFileAttributesA(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

bool ForceDirectories(const std::string& path) {
  const std::string target = WithoutTrailingSeparators(path);
  if (target.empty()) {
    SetLastError(kErrorPathNotFound);
    return false;
  }
  if (DirectoryExists(target)) return true;
  const size_t root = RootLength(target);
  if (root >= target.size()) {
    SetLastError(kErrorPathNotFound);  // a drive or share that is not there
    return false;
  }
  const size_t separator = target.find_last_of("\\/");
  if (separator != std::string::npos && separator >= root &&
      !ForceDirectories(target.substr(0, separator))) {
    return false;
  }
  if (::CreateDirectoryA(target.c_str(), nullptr)) return true;
  const uint32_t error = KeepSystemError();
  if (error == ERROR_ALREADY_EXISTS && DirectoryExists(target)) return true;  // made meanwhile
  SetLastError(error);
  return false;
}

bool RemoveEmptyDirectory(const std::string& path) {
  if (::RemoveDirectoryA(path.c_str())) return true;
  KeepSystemError();
  return false;
}

bool SameDirectory(const std::string& first, const std::string& second) {
  if (!DirectoryExists(first) || !DirectoryExists(second)) return false;
  BY_HANDLE_FILE_INFORMATION a, b;
  if (!SameFileInformation(first, &a) || !SameFileInformation(second, &b)) return false;
  return a.dwVolumeSerialNumber == b.dwVolumeSerialNumber && a.nFileIndexHigh == b.nFileIndexHigh &&
         a.nFileIndexLow == b.nFileIndexLow;
}

}  // namespace ledra::platform
