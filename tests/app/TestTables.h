// Tables for the application's tests, written by the table utility as another
// program would write them. No Qt and no shell: the Qt Test programs and the
// GoogleTest ones (on Windows too) share it. The including target defines
// LEDRA_BINARY.
#pragma once

#include <cstdio>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

#include "tests/support/LedraRunner.h"

namespace ostrevo::test {

// Runs the table utility with the arguments; true when it succeeded, else
// what it said goes to the test's error output.
inline bool Ledra(const std::vector<std::string>& arguments) {
  const ledra::test::TLedraRun run = ledra::test::RunLedra(arguments);
  if (run.Exit == 0) return true;
  std::string command;
  for (const std::string& argument : arguments) command += " " + argument;
  std::fprintf(stderr, "ledra%s failed (exit %d):\n%s%s", command.c_str(), run.Exit,
               run.Out.c_str(), run.Err.c_str());
  return false;
}

// `first` as they are (names that may hold blanks), then the words of `rest`,
// separated by blanks.
inline std::vector<std::string> Arguments(std::vector<std::string> first, const std::string& rest) {
  size_t start = 0;
  while (start < rest.size()) {
    size_t end = rest.find(' ', start);
    if (end == std::string::npos) end = rest.size();
    if (end > start) first.push_back(rest.substr(start, end - start));
    start = end + 1;
  }
  return first;
}

// The arguments in one text, separated by blanks (none of them holds one).
inline bool Ledra(const std::string& arguments) {
  return Ledra(Arguments({}, arguments));
}

struct TAddress {
  std::string Account, Country, Postcode, Town, Province;
};

// Writes a file beside the tables and answers its name.
inline std::string WriteFile(const std::filesystem::path& dir, const std::string& name,
                             const std::string& bytes) {
  const std::string full = (dir / name).string();
  FILE* file = std::fopen(full.c_str(), "wb");
  if (file == nullptr) throw std::runtime_error("cannot write " + full);
  std::fwrite(bytes.data(), 1, bytes.size(), file);
  std::fclose(file);
  return full;
}

// The address book with the sixteen fields, primary index on the account.
inline void CreateAddressBook(const std::filesystem::path& dir,
                              const std::vector<TAddress>& addresses) {
  const std::string d = dir.string();
  bool made = Ledra(Arguments(
      {"create", d},
      "Smeadt01 --field NAD_TYPE_CD:integer --field ACC_NR:string:15:required"
      " --field NAD_SHORT_NM:string:15 --field NAD_NM:string:30 --field NAD_CITY_NM:string:30"
      " --field NAD_PCODE_CD:string:9 --field PRV_NM:string:30"
      " --field NAD_ADDR_LINE_1_DS:string:30 --field NAD_ADDR_LINE_2_DS:string:30"
      " --field NAD_ADDR_LINE_3_DS:string:30 --field NAD_VAT_ID:string:20"
      " --field COU_ID:string:3 --field CPF_NM:string:22 --field CPF_TEL_NR:string:16"
      " --field CPF_FAX_NR:string:16 --field CPF_EMAIL_TX:string:50 --primary ACC_NR"));
  std::string csv = "ACC_NR,COU_ID,NAD_PCODE_CD,NAD_CITY_NM,PRV_NM,NAD_NM,NAD_TYPE_CD\n";
  for (const TAddress& a : addresses) {
    csv += a.Account + ",\"" + a.Country + "\",\"" + a.Postcode + "\",\"" + a.Town + "\",\"" +
           a.Province + "\",Name of " + a.Account + ",1\n";
  }
  made = made && Ledra({"import", d, "Smeadt01", WriteFile(dir, "addresses.csv", csv)});
  if (!made) throw std::runtime_error("the address book could not be written");
}

// The new-town table: the postcode, then TownName1 .. TownName4, one CSV line
// per postcode.
inline void CreateNewTowns(const std::filesystem::path& dir, const std::string& csvLines) {
  const std::string d = dir.string();
  bool made = Ledra(Arguments({"create", d},
                              "NewChinaTowns --field PostCode:string:9:required:upper"
                              " --field TownName1:string:40 --field TownName2:string:40"
                              " --field TownName3:string:40 --field TownName4:string:40"
                              " --primary PostCode"));
  made =
      made && Ledra({"import", d, "NewChinaTowns",
                     WriteFile(dir, "towns.csv",
                               "PostCode,TownName1,TownName2,TownName3,TownName4\n" + csvLines)});
  if (!made) throw std::runtime_error("the new-town table could not be written");
}

}  // namespace ostrevo::test
