#include "tools/ledra/DemoData.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "tests/support/TempDir.h"
#include "tests/tools/ledra/LedraTestSupport.h"
#include "tools/ledra/Csv.h"

namespace ledra::test {
namespace {

using nlohmann::json;

std::string Trim(std::string text) {
  while (!text.empty() && text.front() == ' ') text.erase(text.begin());
  while (!text.empty() && text.back() == ' ') text.pop_back();
  return text;
}

std::string Upper(std::string text) {
  for (char& c : text) c = char(std::toupper(static_cast<unsigned char>(c)));
  return text;
}

// The records of an export as maps from field name to text.
std::vector<std::map<std::string, std::string>> Exported(const std::string& dir,
                                                         const std::string& table) {
  TLedraRun run = RunLedra({"export", dir, table});
  EXPECT_EQ(run.Exit, 0) << run.Err;
  std::istringstream in(run.Out);
  tool::TCsvReader reader(in);
  std::vector<std::string> names = reader.Next()->Fields;
  std::vector<std::map<std::string, std::string>> records;
  while (std::optional<tool::TCsvRecord> record = reader.Next()) {
    std::map<std::string, std::string> fields;
    for (size_t i = 0; i < names.size(); ++i) fields[names[i]] = record->Fields.at(i);
    records.push_back(std::move(fields));
  }
  return records;
}

TEST(DemoDataTest, MakesBothTablesAndTheRegistryFile) {
  TempDir temp;
  const std::string dir = (temp.Path() / "data").string();
  TLedraRun run = RunLedra({"demo", dir, "--records", "900", "--seed", "7"});
  ASSERT_EQ(run.Exit, 0) << run.Err;
  EXPECT_NE(run.Out.find("Smeadt01: 900 addresses"), std::string::npos) << run.Out;

  std::string absolute;  // as a .reg string: backslashes doubled
  for (char c : std::filesystem::canonical(dir).string()) {
    absolute += c == '\\' ? std::string("\\\\") : std::string(1, c);
  }
  EXPECT_EQ(ReadFile(dir + "/registry.reg"),
            "Windows Registry Editor Version 5.00\r\n\r\n"
            "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Halvik\\Tolvenar]\r\n"
            "\"DataDirectory\"=\"" +
                absolute + "\"\r\n");
  EXPECT_EQ(tool::TDemoData::RegistryText("C:\\Tolvenar \"data\""),
            "Windows Registry Editor Version 5.00\r\n\r\n"
            "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Halvik\\Tolvenar]\r\n"
            "\"DataDirectory\"=\"C:\\\\Tolvenar \\\"data\\\"\"\r\n");

  for (const std::string table : {"Smeadt01", "NewChinaTowns"}) {
    TLedraRun verified = RunLedra({"verify", dir, table});
    EXPECT_EQ(verified.Exit, 0) << verified.Out;
  }

  // The sixteen fields of the address book with the application's types
  // and sizes, and the new-town table's layout.
  json book = json::parse(RunLedra({"info", dir, "Smeadt01", "--json"}).Out);
  const std::vector<std::pair<std::string, int>> fields = {{"NAD_TYPE_CD", 0},
                                                           {"ACC_NR", 15},
                                                           {"NAD_SHORT_NM", 15},
                                                           {"NAD_NM", 30},
                                                           {"NAD_CITY_NM", 30},
                                                           {"NAD_PCODE_CD", 9},
                                                           {"PRV_NM", 30},
                                                           {"NAD_ADDR_LINE_1_DS", 30},
                                                           {"NAD_ADDR_LINE_2_DS", 30},
                                                           {"NAD_ADDR_LINE_3_DS", 30},
                                                           {"NAD_VAT_ID", 20},
                                                           {"COU_ID", 3},
                                                           {"CPF_NM", 22},
                                                           {"CPF_TEL_NR", 16},
                                                           {"CPF_FAX_NR", 16},
                                                           {"CPF_EMAIL_TX", 50}};
  ASSERT_EQ(book["fields"].size(), fields.size());
  for (size_t i = 0; i < fields.size(); ++i) {
    EXPECT_EQ(book["fields"][i]["name"], fields[i].first);
    EXPECT_EQ(book["fields"][i]["type"], i == 0 ? "integer" : "string");
    EXPECT_EQ(book["fields"][i]["size"], fields[i].second);
  }
  EXPECT_EQ(book["indexes"][0]["fields"][0]["name"], "ACC_NR");
  json towns = json::parse(RunLedra({"info", dir, "NewChinaTowns", "--json"}).Out);
  ASSERT_EQ(towns["fields"].size(), 5u);
  EXPECT_EQ(towns["fields"][0]["name"], "PostCode");
  EXPECT_EQ(towns["fields"][4]["name"], "TownName4");
  EXPECT_EQ(towns["indexes"][0]["fields"][0]["name"], "PostCode");

  // About a third in China, with 6-digit postcodes and the spellings people
  // key in.
  std::vector<std::map<std::string, std::string>> addresses = Exported(dir, "Smeadt01");
  ASSERT_EQ(addresses.size(), 900u);
  std::set<std::string> countryCodes, chinaPostcodes, provinces;
  size_t china = 0, blankProvince = 0, lowerTown = 0, upperTown = 0;
  for (const auto& address : addresses) {
    countryCodes.insert(address.at("COU_ID"));
    if (Upper(Trim(address.at("COU_ID"))) != "CN") continue;
    ++china;
    const std::string postcode = Trim(address.at("NAD_PCODE_CD"));
    if (!postcode.empty()) {
      EXPECT_EQ(postcode.size(), 6u) << postcode;
      EXPECT_TRUE(std::all_of(postcode.begin(), postcode.end(), ::isdigit)) << postcode;
      chinaPostcodes.insert(postcode);
    }
    const std::string& town = address.at("NAD_CITY_NM");
    if (!town.empty() && town == Upper(town)) ++upperTown;
    if (!town.empty() && std::islower(static_cast<unsigned char>(town[0]))) ++lowerTown;
    if (address.at("PRV_NM").empty()) ++blankProvince;
    if (!address.at("PRV_NM").empty()) provinces.insert(Upper(address.at("PRV_NM")));
  }
  EXPECT_GT(china, 900u / 4);
  EXPECT_LT(china, 900u * 2 / 5);
  for (const char* code : {"CN", "cn", "Cn", " CN", "CHN", "GB", "DE"}) {
    EXPECT_EQ(countryCodes.count(code), 1u) << code;
  }
  EXPECT_GT(blankProvince, 0u);
  EXPECT_GT(lowerTown, 0u);
  EXPECT_GT(upperTown, 0u);

  // The new-town table covers most of those postcodes with one to four
  // names, some naming a province.
  std::vector<std::map<std::string, std::string>> newTowns = Exported(dir, "NewChinaTowns");
  size_t covered = 0, single = 0, several = 0, withProvince = 0, firstEmpty = 0, none = 0,
         longName = 0;
  std::set<std::string> listed;
  for (const auto& row : newTowns) {
    listed.insert(row.at("PostCode"));
    size_t names = 0;
    bool province = false;
    for (const char* field : {"TownName1", "TownName2", "TownName3", "TownName4"}) {
      const std::string& name = row.at(field);
      if (name.empty()) continue;
      ++names;
      if (name.size() > 30) ++longName;
      for (const std::string& p : provinces)
        province = province || Upper(name).find(p) != std::string::npos;
    }
    single += names == 1;
    several += names > 1;
    withProvince += province;
    firstEmpty += row.at("TownName1").empty() && names > 0;
    none += names == 0;
  }
  for (const std::string& postcode : chinaPostcodes) covered += listed.count(postcode);
  EXPECT_GT(covered * 10, chinaPostcodes.size() * 7) << covered << " of " << chinaPostcodes.size();
  EXPECT_LT(covered, chinaPostcodes.size());
  for (size_t count : {single, several, withProvince, firstEmpty, none, longName}) {
    EXPECT_GT(count, 0u);
  }

  // The same seed makes the same data; the directory is not made twice.
  const std::string twin = (temp.Path() / "twin").string();
  ASSERT_EQ(RunLedra({"demo", twin, "--records", "900", "--seed", "7"}).Exit, 0);
  EXPECT_EQ(RunLedra({"export", twin, "Smeadt01"}).Out, RunLedra({"export", dir, "Smeadt01"}).Out);
  const std::string other = (temp.Path() / "other").string();
  ASSERT_EQ(RunLedra({"demo", other, "--records", "900", "--seed", "8"}).Exit, 0);
  EXPECT_NE(RunLedra({"export", other, "Smeadt01"}).Out, RunLedra({"export", dir, "Smeadt01"}).Out);
  TLedraRun again = RunLedra({"demo", dir, "--records", "10"});
  EXPECT_EQ(again.Exit, 2);
  EXPECT_NE(again.Err.find("already exists"), std::string::npos);
}

}  // namespace
}  // namespace ledra::test
