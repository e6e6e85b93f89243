// Read-only access to the registry values another program leaves for us.
//
// On Windows this is the machine's registry. Here the registry is a file in
// the Windows export format ("Windows Registry Editor Version 5.00", or the
// older "REGEDIT4"), named by the environment variable OSTREVO_REGISTRY, else
// /etc/ostrevo/registry.reg. The file is read afresh each time a key is
// opened; a missing file or key means the key cannot be opened. The file may
// be 8-bit text in code page 1252 (what `ledra demo` writes), UTF-8 with a
// byte-order mark, or UTF-16LE with its byte-order mark (what the Windows
// registry editor writes), with any line ends. Strings are answered in code
// page 1252.
#pragma once

#include <cstdint>
#include <map>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace ledra::platform {

// A registry file that cannot be understood, or a value read as the wrong
// type; the message says which, in words meant for the user.
class ERegistryError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

enum class TRegistryRoot { ClassesRoot, CurrentUser, LocalMachine, Users, CurrentConfig };

class TRegistry {
 public:
  // Uses the file that OSTREVO_REGISTRY names, else the system-wide one.
  TRegistry();
  explicit TRegistry(std::string fileName);

  static std::string DefaultFileName();
  const std::string& FileName() const { return fileName_; }

  // The root that key paths start from; HKEY_CURRENT_USER until set, as on
  // Windows.
  void SetRootKey(TRegistryRoot root) { root_ = root; }

  // Opens `key` (with or without a leading backslash, any case) below the
  // root for reading. False when the file or the key does not exist; raises
  // ERegistryError when the file exists but cannot be read or understood.
  bool OpenKeyReadOnly(std::string_view key);
  void CloseKey();
  bool KeyOpen() const { return open_; }

  // Whether the open key holds the value (any case; "" is the default value).
  bool ValueExists(std::string_view name) const;
  // The value as text; "" when the value is absent or no key is open. Raises
  // ERegistryError when the value is not a string (nor an expandable one).
  std::string ReadString(std::string_view name) const;

  // One value as the file stores it: its type number (1 string, 2 expandable
  // string, 3 binary, 4 32-bit number, 7 list of strings, 11 64-bit number)
  // and its data, already decoded to code page 1252 for the string types.
  struct TValue {
    uint32_t Type = 0;
    std::string Data;
  };
  // The values of the keys of a registry file's text (its raw bytes), by key
  // path ("HKEY_LOCAL_MACHINE\SOFTWARE\...") and value name, both upper-cased.
  // Raises ERegistryError naming `fileName` and the line when the text is not
  // a registry file.
  using TKeys = std::map<std::string, std::map<std::string, TValue>>;
  static TKeys Parse(std::string_view bytes, const std::string& fileName);

 private:
  std::string fileName_;
  TRegistryRoot root_ = TRegistryRoot::CurrentUser;
  bool open_ = false;
  std::map<std::string, TValue> values_;  // of the open key
};

}  // namespace ledra::platform
