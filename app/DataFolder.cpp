#include "app/DataFolder.h"

#include <exception>

#include "platform/File.h"

namespace ostrevo {

std::string RegistryKeyPath(const TOSData& osData) {
  std::string key = kRegistryKey32;
  if (osData.Is32BitOS()) {
    key = kRegistryKey32;
  } else if (osData.Is64BitOS()) {
    key = kRegistryKey64;
  }
  return key;
}

TDataFolder FindDataFolder(ledra::platform::TRegistry& registry, const TOSData& osData) {
  namespace platform = ledra::platform;
  TDataFolder found;
  try {
    registry.SetRootKey(platform::TRegistryRoot::LocalMachine);
    const std::string key = RegistryKeyPath(osData);
    if (!registry.OpenKeyReadOnly(key)) {
      found.Problem =
          "Cannot locate Tolvenar registry information!\r\n\r\nRegistry Key = '" + key + "'.'";
      return found;
    }
    if (registry.ValueExists(kDataDirectoryValue)) {
      found.Path = registry.ReadString(kDataDirectoryValue);
    }
    registry.CloseKey();
    std::string path = found.Path;
    if (path.empty() || path.back() != platform::PathSeparator()) path += platform::PathSeparator();
    if (platform::RegularFileExists(platform::ResolveFileName(path + kAddressBookFile))) {
      found.TablesReady = true;
    } else {
      found.Problem = "Tolvenar Address Book table not found.";
    }
  } catch (const std::exception& error) {
    registry.CloseKey();
    found.TablesReady = false;
    found.Problem = error.what();
  }
  return found;
}

}  // namespace ostrevo
