// Where the shipping application keeps its data: the start-up search for the
// address book through the registry value the shipping application writes.
// No windows here; the main window shows what this finds.
#pragma once

#include <string>

#include "app/OSData.h"
#include "platform/Registry.h"

namespace ostrevo {

inline constexpr const char* kRegistryKey32 = "\\SOFTWARE\\Halvik\\Tolvenar";
inline constexpr const char* kRegistryKey64 = "\\SOFTWARE\\Wow6432Node\\Halvik\\Tolvenar";
inline constexpr const char* kDataDirectoryValue = "DataDirectory";
inline constexpr const char* kAddressBookFile = "SmeAdt01.dat";

struct TDataFolder {
  // True once the directory is known to hold the address book.
  bool TablesReady = false;
  // The registry value exactly as stored ("" when the value is missing).
  std::string Path;
  // Why the address book was not found; empty when it was.
  std::string Problem;
};

// The key start-up reads: the plain key unless the process is known to run
// under WOW64 (each test probes afresh; when the probe cannot tell, the plain
// key).
std::string RegistryKeyPath(const TOSData& osData);

// Reads `DataDirectory` below HKEY_LOCAL_MACHINE and looks for the address
// book's data file there (without regard to case). An error raised by the
// registry becomes the problem text.
TDataFolder FindDataFolder(ledra::platform::TRegistry& registry, const TOSData& osData);

}  // namespace ostrevo
