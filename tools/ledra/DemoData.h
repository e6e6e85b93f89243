// `ledra demo`: a data directory to try the address update with.
//
//   Smeadt01       the address book: the sixteen fields the application
//                  binds, a primary index on the account number, a
//                  secondary index on the short name; a mix of countries of
//                  which about a third are China (country codes in upper,
//                  lower and mixed case, some with blanks, and a few
//                  three-letter codes that are not China), with 6-digit
//                  postcodes, Chinese provinces and towns in upper, lower and
//                  mixed case, and blanks here and there
//   NewChinaTowns  the new-town table: the postcode, then TownName1 to
//                  TownName4, primary index on the postcode; it covers most
//                  of the address book's Chinese postcodes with one to four
//                  names, some of which contain a province name, so that
//                  every rule of the town choice meets some records
//   registry.reg   a registry file in the Windows export format whose
//                  DataDirectory under the plain key names the directory
//
// The same seed gives the same data.
#pragma once

#include <cstdint>
#include <ostream>
#include <string>

namespace ledra::tool {

struct TDemoOptions {
  std::string Directory;
  int32_t Records = 5000;
  uint32_t Seed = 1;
};

// The registry key and value the application reads.
inline constexpr const char* kRegistryKey = "HKEY_LOCAL_MACHINE\\SOFTWARE\\Halvik\\Tolvenar";
inline constexpr const char* kRegistryValue = "DataDirectory";
inline constexpr const char* kRegistryFileName = "registry.reg";
inline constexpr const char* kAddressBookTable = "Smeadt01";
inline constexpr const char* kNewTownTable = "NewChinaTowns";

class TDemoData {
 public:
  explicit TDemoData(TDemoOptions options);
  // Makes the directory (when missing), both tables and the registry file;
  // refuses a directory that holds either table already.
  void Run(std::ostream& out, std::ostream& err);

  // The text of the registry file naming `directory`.
  static std::string RegistryText(const std::string& directory);

 private:
  TDemoOptions options_;
};

}  // namespace ledra::tool
