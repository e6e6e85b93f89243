#include "app/UpdateRun.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

#include "app/AddressBook.h"
#include "app/RunRecord.h"
#include "engine/errors/EngineError.h"
#include "platform/Cp1252.h"
#include "platform/File.h"
#include "platform/Folders.h"
#include "platform/System.h"
#include "tests/app/TestTables.h"
#include "tests/app/core/RunScript.h"
#include "tests/support/TempDir.h"

namespace ostrevo {

namespace {

using test::TAddress;
using test::TScript;

// An address book and a new-town table in a directory of their own, written by
// the table utility as another program would.
class TTables {
 public:
  TTables(const std::vector<TAddress>& addresses, const std::string& townsCsv) {
    const std::string d = dir.Path().string();
    test::CreateAddressBook(dir.Path(), addresses);
    test::CreateNewTowns(dir.Path(), townsCsv);
    SetUpAddressBook(addressBook);
    addressBook.SetDatabaseName(d);
    SetUpNewTownTable(newTowns);
    newTowns.SetDatabaseName(d);
    addressBook.Open();
    newTowns.Open();
  }

  // Every address's fields by account, read afresh.
  test::TRecords Contents() { return test::ReadAddressBook(dir.Path()); }

  ledra::test::TempDir dir;
  ledra::TLedraTable addressBook;
  ledra::TLedraTable newTowns;
};

const std::vector<TAddress> kAddresses = {
    {"A01", "CN", "518001", "shenzhen", "Guangdong"},    // province in name 1
    {"A02", " cn ", "518002", "Shenzhen", "guangdong"},  // province only in name 2
    {"A03", "CN", "abc123", "Old Place", "Nowhere"},     // user chooses
    {"A04", "CHN", "518001", "Shenzhen", "Guangdong"},   // not China
    {"A05", "CN", "999999", "Unlisted", "Guangdong"},    // postcode not listed
    {"A06", "CN", "600001", "Old Town", "Hubei"},        // no new names: written back
    {"A07", "CN", "600002", "Wuhan", ""},                // one long name
    {"A08", "GB", "518001", "London", "Guangdong"},      // not China
    {"A09", "CN", " 518001", "Shenzhen", "Guangdong"},   // leading blank kept
    {"A10", "CN", "600001", "", "Hubei"},                // nothing to write
};

const std::string kTowns =
    "518001,Nanshan Guangdong,Futian,,\n"
    "518002,Alpha,Beta GUANGDONG,,\n"
    "ABC123,One,,Three,\n"
    "600001,,,,\n"
    "600002,Wuhan Optics Valley Hi-Tech Zone East,,,\n";

#ifndef _WIN32
// Points the user's data folder at a folder of the test for its lifetime.
class TDataHome {
 public:
  explicit TDataHome(const std::string& path) {
    if (const char* old = std::getenv("XDG_DATA_HOME")) old_ = old;
    ::setenv("XDG_DATA_HOME", path.c_str(), 1);
  }
  ~TDataHome() {
    if (old_.empty()) {
      ::unsetenv("XDG_DATA_HOME");
    } else {
      ::setenv("XDG_DATA_HOME", old_.c_str(), 1);
    }
  }

 private:
  std::string old_;
};
#endif

// Where the runs keep their backups. Windows names the user's roaming folder
// and no variable moves it, so there the tests use the real one and remove
// what they put in it; elsewhere it is a folder of the test.
class TBackups {
 public:
  TBackups()
#ifndef _WIN32
      : dataHome_(home_.Path().string())
#endif
  {
    const char separator = ledra::platform::PathSeparator();
    folder_ = OstrevoDataFolder() + separator + "Backups" + separator;
  }
  ~TBackups() {
    std::error_code ignored;
    for (const std::string& made : made_) std::filesystem::remove_all(made, ignored);
  }

  // The folder of the backups, with the separator.
  const std::string& Folder() const {
    return folder_;
  }
  // Removed with this object.
  void Own(const std::string& path) {
    made_.push_back(path);
  }

 private:
#ifndef _WIN32
  ledra::test::TempDir home_;
  TDataHome dataHome_;
#endif
  std::string folder_;
  std::vector<std::string> made_;
};

std::vector<std::string> SplitCsvLine(const std::string& line) {
  std::vector<std::string> fields(1);
  for (char c : line) {
    if (c == ',') {
      fields.emplace_back();
    } else if (c != '\r') {
      fields.back() += c;
    }
  }
  return fields;
}

}  // namespace

TEST(UpdateRunTest, TrimAndCounterText) {
  EXPECT_EQ(TrimText(std::string("\x01 \tCN\r\n ", 8)), std::string("CN"));
  EXPECT_EQ(TrimText("  "), std::string());
  EXPECT_EQ(TrimText("C N"), std::string("C N"));
  EXPECT_EQ(TrimText("\xA0"
                     "CN"),
            std::string("\xA0"
                        "CN"));  // only codes up to 32
  EXPECT_EQ(CounterText(0), std::string("0"));
  EXPECT_EQ(CounterText(4294967295u), std::string("4294967295"));
}

TEST(UpdateRunTest, RunWritesEveryRecordAsTheRulesSay) {
  TTables tables(kAddresses, kTowns);
  const auto before = tables.Contents();
  TTownChoice choice;
  TScript script;
  script.table = &tables.addressBook;
  script.onAsk = [&](TTownChoice& c) { c.ChosenTown = c.NewTown3; };
  TUpdateRun run(tables.addressBook, tables.newTowns, choice, script, script, script);
  run.Run();

  EXPECT_EQ(run.TotalRecords, 10u);
  EXPECT_EQ(run.TotalUpdated, 5u);
  EXPECT_EQ(choice.AutoUpdated, 3u);
  EXPECT_EQ(choice.UserUpdated, 1u);
  EXPECT_EQ(choice.Unchanged, 6u);
  EXPECT_EQ(script.steps, 10);
  ASSERT_EQ(script.counters.size(), size_t(10));
  // Written after every record, in primary-key order.
  EXPECT_EQ(script.counters[0], std::string("10 1 1 0 0"));
  EXPECT_EQ(script.counters[2], std::string("10 3 2 1 0"));
  EXPECT_EQ(script.counters.back(), std::string("10 5 3 1 6"));
  EXPECT_TRUE(script.disabledAtStart);
  EXPECT_TRUE(!tables.addressBook.ControlsDisabled());
  const std::vector<std::string> expectedLog = {"confirm",
                                                "start 10",
                                                "status Address Book update in progress",
                                                "messages",
                                                "ask ONE||THREE| old OLD PLACE",
                                                "hide",
                                                "status Update complete",
                                                "messages"};
  EXPECT_EQ(script.log, expectedLog);

  auto after = tables.Contents();
  const std::map<std::string, std::string> towns = {
      {"A01", "NANSHAN GUANGDONG"},
      {"A02", "BETA GUANGDONG"},
      {"A03", "THREE"},
      {"A04", "Shenzhen"},
      {"A05", "Unlisted"},
      {"A06", "OLD TOWN"},
      {"A07", "WUHAN OPTICS VALLEY HI-TECH ZO"},  // cut to the field's 30 characters
      {"A08", "London"},
      {"A09", "Shenzhen"},
      {"A10", ""}};
  EXPECT_EQ(after.size(), size_t(10));
  for (const auto& [account, town] : towns) {
    auto record = after.at(account);
    EXPECT_EQ(record.at("NAD_CITY_NM"), town);
    // Nothing else of the record changed.
    record.erase("NAD_CITY_NM");
    auto old = before.at(account);
    old.erase("NAD_CITY_NM");
    EXPECT_TRUE(record == old) << account.c_str();
  }
}

TEST(UpdateRunTest, DecliningChangesNothing) {
  TTables tables(kAddresses, kTowns);
  const auto before = tables.Contents();
  TTownChoice choice;
  choice.AutoUpdated = 7;
  choice.Unchanged = 3;
  TScript script;
  script.confirm = false;
  TUpdateRun run(tables.addressBook, tables.newTowns, choice, script, script, script);
  run.TotalUpdated = 9;
  run.Run();
  EXPECT_EQ(script.log, std::vector<std::string>{"confirm"});
  EXPECT_TRUE(script.counters.empty());
  EXPECT_EQ(choice.AutoUpdated, 0u);
  EXPECT_EQ(choice.Unchanged, 0u);
  EXPECT_EQ(run.TotalUpdated, 0u);
  EXPECT_TRUE(!tables.addressBook.ControlsDisabled());
  EXPECT_TRUE(tables.Contents() == before);
}

TEST(UpdateRunTest, AnErrorEndsTheLoopButTheClosingStepRuns) {
  TTables tables(kAddresses, kTowns);
  TTownChoice choice;
  TScript script;
  script.onAsk = [](TTownChoice&) { throw std::runtime_error("the dialog failed"); };
  TUpdateRun run(tables.addressBook, tables.newTowns, choice, script, script, script);
  EXPECT_THROW(run.Run(), std::runtime_error);
  EXPECT_TRUE(!tables.addressBook.ControlsDisabled());
  ASSERT_GE(script.log.size(), size_t(3));
  EXPECT_EQ(script.log.back(), std::string("messages"));
  EXPECT_EQ(script.log[script.log.size() - 2], std::string("status Update complete"));
  EXPECT_EQ(script.log[script.log.size() - 3], std::string("hide"));
  // The two records before stay written; the counters keep what they reached.
  EXPECT_EQ(script.counters, (std::vector<std::string>{"10 1 1 0 0", "10 2 2 0 0"}));
  auto after = tables.Contents();
  EXPECT_EQ(after.at("A01").at("NAD_CITY_NM"), std::string("NANSHAN GUANGDONG"));
  EXPECT_EQ(after.at("A02").at("NAD_CITY_NM"), std::string("BETA GUANGDONG"));
  EXPECT_EQ(after.at("A03").at("NAD_CITY_NM"), std::string("Old Place"));
}

TEST(UpdateRunTest, SecondRunDecidesAgain) {
  TTables tables(kAddresses, kTowns);
  TTownChoice choice;
  TScript script;
  int asked = 0;
  script.onAsk = [&](TTownChoice& c) {  // closed at once: the dialog's first name stands
    ++asked;
    c.ChosenTown = c.NewTown1;
  };
  TUpdateRun run(tables.addressBook, tables.newTowns, choice, script, script, script);
  run.Run();
  EXPECT_EQ(tables.Contents().at("A03").at("NAD_CITY_NM"), std::string("ONE"));
  run.Run();
  EXPECT_EQ(asked, 2);
  EXPECT_EQ(script.counters.back(), std::string("10 5 3 1 6"));
  EXPECT_EQ(tables.Contents().at("A06").at("NAD_CITY_NM"), std::string("OLD TOWN"));
}

TEST(UpdateRunTest, RunKeepsABackupAndTheListOfWhatItWrote) {
  TBackups backups;
  std::vector<TAddress> addresses = kAddresses;
  addresses.push_back({"A11", "CN", "518001", "Sh\u00e9nzh\u00e8n", "Guangdong"});
  TTables tables(addresses, kTowns);
  const auto before = tables.Contents();
  TTownChoice choice;
  TScript script;
  script.onAsk = [](TTownChoice& c) { c.ChosenTown = c.NewTown3; };
  TRunRecord record(tables.addressBook);
  TUpdateRun run(tables.addressBook, tables.newTowns, choice, script, script, script, &record);
  run.Run();
  EXPECT_EQ(run.TotalUpdated, 6u);
  const auto after = tables.Contents();

  const std::string folder = record.Folder();
  ASSERT_FALSE(folder.empty());
  backups.Own(folder);
  EXPECT_TRUE(folder.rfind(backups.Folder(), 0) == 0)
      << folder << " is not in " << backups.Folder();

  // One line per record written: its key, its town before and after, as
  // UTF-8, and how the town was decided.
  std::ifstream list(folder + kChangeListName, std::ios::binary);
  std::string line;
  std::getline(list, line);
  EXPECT_EQ(line, std::string("ACC_NR,Old town,New town,Decision\r"));
  const std::map<std::string, std::string> decisions = {
      {"A01", "automatic"},          {"A02", "automatic"},
      {"A03", "chosen by the user"}, {"A06", "kept upper-cased (no new name)"},
      {"A07", "automatic"},          {"A11", "automatic"}};
  std::map<std::string, std::string> listed;
  while (std::getline(list, line)) {
    const std::vector<std::string> fields = SplitCsvLine(line);
    EXPECT_EQ(fields.size(), size_t(4));
    const std::string& account = fields[0];
    EXPECT_TRUE(listed.emplace(account, fields[3]).second) << account.c_str();
    EXPECT_EQ(fields[1], ledra::platform::Cp1252ToUtf8(before.at(account).at("NAD_CITY_NM")));
    EXPECT_EQ(fields[2], ledra::platform::Cp1252ToUtf8(after.at(account).at("NAD_CITY_NM")));
  }
  EXPECT_EQ(listed, decisions);
  EXPECT_EQ(before.at("A11").at("NAD_CITY_NM"), std::string("Sh\xe9nzh\xe8n"));  // cp1252

  // The backup, put back with the shipping application closed, is the
  // address book as it was before the run.
  tables.addressBook.Close();
  tables.newTowns.Close();
  EXPECT_TRUE(test::Ledra({"restore", tables.dir.Path().string(), "Smeadt01", folder}));
  EXPECT_TRUE(tables.Contents() == before);
}

TEST(UpdateRunTest, NoBackupMeansNoChange) {
  TBackups backups;
  TTables tables(kAddresses, kTowns);
  const auto before = tables.Contents();
  TTownChoice choice;
  TScript script;
  script.onAsk = [](TTownChoice& c) { c.ChosenTown = c.NewTown1; };
  auto ranAndWroteNothing = [&](const char* situation) {
    SCOPED_TRACE(situation);
    EXPECT_TRUE(tables.Contents() == before);
    ASSERT_GE(script.log.size(), size_t(3));
    EXPECT_EQ(script.log[script.log.size() - 3], std::string("hide"));
    EXPECT_EQ(script.log[script.log.size() - 2], std::string("status Update complete"));
    EXPECT_TRUE(script.counters.empty());  // not even the first record was counted
  };

  {
    // The run's folder name taken by a file: no backup can be made there.
    // The name is the second the record is made in.
    ASSERT_TRUE(ledra::platform::ForceDirectories(backups.Folder()));
    const double start = ledra::platform::NowDateTime();
    TRunRecord record(tables.addressBook);
    const double end = ledra::platform::NowDateTime();
    for (double at = start - 1.0 / 86400; at < end + 1.5 / 86400; at += 0.5 / 86400) {
      const std::string name = backups.Folder() + RunFolderName(at);
      if (!std::filesystem::exists(name)) {
        std::ofstream(name, std::ios::binary) << "x";
        backups.Own(name);
      }
    }
    TUpdateRun run(tables.addressBook, tables.newTowns, choice, script, script, script, &record);
    EXPECT_THROW(run.Run(), ledra::ELedraEngineError);
    EXPECT_EQ(run.TotalUpdated, 0u);
    EXPECT_TRUE(record.Folder().empty());
  }
  ranAndWroteNothing("the run's folder is a file");

#ifndef _WIN32
  {
    // A file where the data folder should be.
    ledra::test::TempDir home;
    script.log.clear();
    TDataHome dataHome(home.Write("not-a-folder", "x"));
    TRunRecord record(tables.addressBook);
    TUpdateRun run(tables.addressBook, tables.newTowns, choice, script, script, script, &record);
    EXPECT_THROW(run.Run(), ledra::ELedraEngineError);
    EXPECT_EQ(run.TotalUpdated, 0u);
    EXPECT_TRUE(record.Folder().empty());
  }
  ranAndWroteNothing("the data folder is a file");

  // No data folder at all (Windows always names one).
  const std::string homeVariable = std::getenv("HOME") != nullptr ? std::getenv("HOME") : "";
  ::unsetenv("HOME");
  {
    script.log.clear();
    TDataHome dataHome("relative/not/allowed");
    TRunRecord record(tables.addressBook);
    TUpdateRun run(tables.addressBook, tables.newTowns, choice, script, script, script, &record);
    EXPECT_THROW(run.Run(), std::runtime_error);
  }
  if (!homeVariable.empty()) ::setenv("HOME", homeVariable.c_str(), 1);
  ranAndWroteNothing("no data folder");
#endif
}

TEST(UpdateRunTest, ChangeListTextHelpers) {
  EXPECT_EQ(CsvField("NANSHAN"), std::string("NANSHAN"));
  EXPECT_EQ(CsvField("A, \"B\""), std::string("\"A, \"\"B\"\"\""));
  // Half past three and a second on 9 December 2026 (day 46365).
  EXPECT_EQ(RunFolderName(46365.0 + (15 * 3600 + 30 * 60 + 1) / 86400.0),
            std::string("2026-12-09 15.30.01"));
  EXPECT_EQ(RunFolderName(46365.0 + 86399.9 / 86400.0), std::string("2026-12-10 00.00.00"));
}

}  // namespace ostrevo
