// The registry on Windows: the machine's registry, read-only. A registry file
// in the export format is read instead when one is named (the accessor built
// with a file name, or the environment variable OSTREVO_REGISTRY), so that
// tests and a machine without the shipping application can supply the key.
//
// A 64-bit build reads the 32-bit view of the registry (KEY_WOW64_32KEY): the
// shipping application is a 32-bit program and writes its settings there, and
// this is the view a 32-bit build of this program reads as well.
#include "platform/Registry.h"

#include <cstdlib>
#include <vector>

#include "platform/RegistryFile.h"
#include "platform/win32/WindowsApi.h"

namespace ledra::platform {

namespace {

HKEY RootKey(TRegistryRoot root) {
  switch (root) {
    case TRegistryRoot::ClassesRoot:
      return HKEY_CLASSES_ROOT;
    case TRegistryRoot::CurrentUser:
      return HKEY_CURRENT_USER;
    case TRegistryRoot::LocalMachine:
      return HKEY_LOCAL_MACHINE;
    case TRegistryRoot::Users:
      return HKEY_USERS;
    case TRegistryRoot::CurrentConfig:
      return HKEY_CURRENT_CONFIG;
  }
  return HKEY_CURRENT_USER;
}

std::string Upper(const char* text, size_t length) {
  std::string out(text, length);
  for (char& c : out) {
    if (c >= 'a' && c <= 'z') c = char(c - 'a' + 'A');
  }
  return out;
}

// Reads every value of the open key; raises ERegistryError when the key
// cannot be listed.
void ReadValues(HKEY key, std::map<std::string, TRegistry::TValue>* values) {
  DWORD count = 0, longestName = 0, longestData = 0;
  LONG result = ::RegQueryInfoKeyA(key, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                                   &count, &longestName, &longestData, nullptr, nullptr);
  if (result != ERROR_SUCCESS) {
    throw ERegistryError("The registry key cannot be read (Windows error " +
                         std::to_string(result) + ").");
  }
  std::vector<char> name(longestName + 1);
  std::vector<BYTE> data(longestData + 1);
  for (DWORD index = 0;; ++index) {
    DWORD nameLength = DWORD(name.size());
    DWORD dataLength = DWORD(data.size());
    DWORD type = 0;
    result = ::RegEnumValueA(key, index, name.data(), &nameLength, nullptr, &type, data.data(),
                             &dataLength);
    if (result == ERROR_NO_MORE_ITEMS) break;
    if (result == ERROR_MORE_DATA) {
      // A value grew since the key was measured: measure again.
      name.resize(name.size() * 2 + 256);
      data.resize(data.size() * 2 + 256);
      --index;
      continue;
    }
    if (result != ERROR_SUCCESS) {
      throw ERegistryError("The registry key cannot be read (Windows error " +
                           std::to_string(result) + ").");
    }
    TRegistry::TValue value;
    value.Type = type;
    value.Data.assign(reinterpret_cast<const char*>(data.data()), dataLength);
    if (type == REG_SZ || type == REG_EXPAND_SZ) {
      // Stored strings end at their terminating zero, which may be missing.
      size_t end = value.Data.find('\0');
      if (end != std::string::npos) value.Data.resize(end);
    }
    (*values)[Upper(name.data(), nameLength)] = std::move(value);
  }
}

}  // namespace

TRegistry::TRegistry() : TRegistry(DefaultFileName()) {}

// Empty: the machine's registry.
std::string TRegistry::DefaultFileName() {
  const char* named = std::getenv("OSTREVO_REGISTRY");
  return named != nullptr && *named != 0 ? std::string(named) : std::string();
}

bool TRegistry::OpenKeyReadOnly(std::string_view key) {
  CloseKey();
  if (!fileName_.empty()) {
    if (!ReadRegistryFileKey(fileName_, RegistryKeyPath(root_, key), &values_)) return false;
    open_ = true;
    return true;
  }
  std::string path(key);
  while (!path.empty() && path.front() == '\\') path.erase(0, 1);
  while (!path.empty() && path.back() == '\\') path.pop_back();
  REGSAM access = KEY_READ;
  if constexpr (sizeof(void*) == 8) access |= KEY_WOW64_32KEY;
  HKEY opened = nullptr;
  if (::RegOpenKeyExA(RootKey(root_), path.c_str(), 0, access, &opened) != ERROR_SUCCESS) {
    return false;
  }
  try {
    ReadValues(opened, &values_);
  } catch (...) {
    ::RegCloseKey(opened);
    values_.clear();
    throw;
  }
  ::RegCloseKey(opened);
  open_ = true;
  return true;
}

}  // namespace ledra::platform
