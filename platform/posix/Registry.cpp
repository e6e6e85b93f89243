// The registry without Windows: a file in the Windows export format.
#include "platform/Registry.h"

#include <cstdlib>

#include "platform/RegistryFile.h"

namespace ledra::platform {

namespace {

constexpr const char* kSystemFile = "/etc/ostrevo/registry.reg";

}  // namespace

TRegistry::TRegistry() : TRegistry(DefaultFileName()) {}

std::string TRegistry::DefaultFileName() {
  const char* named = std::getenv("OSTREVO_REGISTRY");
  return named != nullptr && *named != 0 ? std::string(named) : std::string(kSystemFile);
}

bool TRegistry::OpenKeyReadOnly(std::string_view key) {
  CloseKey();
  if (!ReadRegistryFileKey(fileName_, RegistryKeyPath(root_, key), &values_)) return false;
  open_ = true;
  return true;
}

}  // namespace ledra::platform
