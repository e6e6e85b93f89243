// The registry as a file in the Windows export format: what the registry
// accessor (Registry.h) reads when it is given such a file instead of the
// machine's registry.
#pragma once

#include <map>
#include <string>
#include <string_view>

#include "platform/Registry.h"

namespace ledra::platform {

// The full, upper-cased path of `key` below `root` as a registry file writes
// it: "HKEY_LOCAL_MACHINE\SOFTWARE\...".
std::string RegistryKeyPath(TRegistryRoot root, std::string_view key);

// The values of the key `fullKey` (a RegistryKeyPath) in the registry file.
// False when the file or the key does not exist; raises ERegistryError when
// the file exists but cannot be read or understood.
bool ReadRegistryFileKey(const std::string& fileName, const std::string& fullKey,
                         std::map<std::string, TRegistry::TValue>* values);

}  // namespace ledra::platform
