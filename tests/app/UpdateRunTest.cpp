#include "app/UpdateRun.h"

#include <QTest>

#include <cstdlib>
#include <fstream>
#include <functional>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

#include "app/AddressBook.h"
#include "app/RunRecord.h"
#include "components/LedraField.h"
#include "engine/errors/EngineError.h"
#include "platform/Cp1252.h"
#include "tests/app/TestTables.h"
#include "tests/support/TempDir.h"

namespace ostrevo {

namespace {

using test::TAddress;

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
  std::map<std::string, std::map<std::string, std::string>> Contents() {
    ledra::TLedraTable table;
    SetUpAddressBook(table);
    table.SetDatabaseName(dir.Path().string());
    table.Open();
    std::map<std::string, std::map<std::string, std::string>> out;
    for (table.First(); !table.Eof(); table.Next()) {
      auto& record = out[table.FieldByName("ACC_NR").AsString()];
      for (int i = 0; i < table.FieldCount(); ++i) {
        record[table.Fields(i).FieldName()] = table.Fields(i).AsString();
      }
    }
    table.Close();
    return out;
  }

  ledra::test::TempDir dir;
  ledra::TLedraTable addressBook;
  ledra::TLedraTable newTowns;
};

// The windows, scripted: answers and what the run showed.
class TScript : public TUpdateConfirmation, public TTownAsker, public TUpdateProgress {
 public:
  bool ConfirmUpdate() override {
    log.push_back("confirm");
    return confirm;
  }
  void AskTown(TTownChoice& choice) override {
    log.push_back("ask " + choice.NewTown1 + "|" + choice.NewTown2 + "|" + choice.NewTown3 + "|" +
                  choice.NewTown4 + " old " + choice.OldTown);
    if (onAsk) onAsk(choice);
  }
  void StartProgress(int32_t maximum) override {
    log.push_back("start " + std::to_string(maximum));
    disabledAtStart = table != nullptr && table->ControlsDisabled();
  }
  void StepProgress() override { ++steps; }
  void HideProgress() override { log.push_back("hide"); }
  void SetStatus(const std::string& text) override { log.push_back("status " + text); }
  void ShowCounters(const std::string& a, const std::string& b, const std::string& c,
                    const std::string& d, const std::string& e) override {
    counters.push_back(a + " " + b + " " + c + " " + d + " " + e);
  }
  void ProcessMessages() override { log.push_back("messages"); }

  bool confirm = true;
  std::function<void(TTownChoice&)> onAsk;
  ledra::TLedraTable* table = nullptr;
  bool disabledAtStart = false;
  std::vector<std::string> log;
  std::vector<std::string> counters;
  int steps = 0;
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

}  // namespace

class UpdateRunTest : public QObject {
  Q_OBJECT

 private slots:
  void TrimAndCounterText();
  void RunWritesEveryRecordAsTheRulesSay();
  void DecliningChangesNothing();
  void AnErrorEndsTheLoopButTheClosingStepRuns();
  void SecondRunDecidesAgain();
  void RunKeepsABackupAndTheListOfWhatItWrote();
  void NoBackupMeansNoChange();
  void ChangeListTextHelpers();
};

namespace {

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

void UpdateRunTest::TrimAndCounterText() {
  QCOMPARE(TrimText(std::string("\x01 \tCN\r\n ", 8)), std::string("CN"));
  QCOMPARE(TrimText("  "), std::string());
  QCOMPARE(TrimText("C N"), std::string("C N"));
  QCOMPARE(TrimText("\xA0"
                    "CN"),
           std::string("\xA0"
                       "CN"));  // only codes up to 32
  QCOMPARE(CounterText(0), std::string("0"));
  QCOMPARE(CounterText(4294967295u), std::string("4294967295"));
}

void UpdateRunTest::RunWritesEveryRecordAsTheRulesSay() {
  TTables tables(kAddresses, kTowns);
  const auto before = tables.Contents();
  TTownChoice choice;
  TScript script;
  script.table = &tables.addressBook;
  script.onAsk = [&](TTownChoice& c) { c.ChosenTown = c.NewTown3; };
  TUpdateRun run(tables.addressBook, tables.newTowns, choice, script, script, script);
  run.Run();

  QCOMPARE(run.TotalRecords, 10u);
  QCOMPARE(run.TotalUpdated, 5u);
  QCOMPARE(choice.AutoUpdated, 3u);
  QCOMPARE(choice.UserUpdated, 1u);
  QCOMPARE(choice.Unchanged, 6u);
  QCOMPARE(script.steps, 10);
  QCOMPARE(script.counters.size(), size_t(10));
  // Written after every record, in primary-key order.
  QCOMPARE(script.counters[0], std::string("10 1 1 0 0"));
  QCOMPARE(script.counters[2], std::string("10 3 2 1 0"));
  QCOMPARE(script.counters.back(), std::string("10 5 3 1 6"));
  QVERIFY(script.disabledAtStart);
  QVERIFY(!tables.addressBook.ControlsDisabled());
  const std::vector<std::string> expectedLog = {"confirm",
                                                "start 10",
                                                "status Address Book update in progress",
                                                "messages",
                                                "ask ONE||THREE| old OLD PLACE",
                                                "hide",
                                                "status Update complete",
                                                "messages"};
  QCOMPARE(script.log, expectedLog);

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
  QCOMPARE(after.size(), size_t(10));
  for (const auto& [account, town] : towns) {
    auto record = after.at(account);
    QCOMPARE(record.at("NAD_CITY_NM"), town);
    // Nothing else of the record changed.
    record.erase("NAD_CITY_NM");
    auto old = before.at(account);
    old.erase("NAD_CITY_NM");
    QVERIFY2(record == old, account.c_str());
  }
}

void UpdateRunTest::DecliningChangesNothing() {
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
  QCOMPARE(script.log, std::vector<std::string>{"confirm"});
  QVERIFY(script.counters.empty());
  QCOMPARE(choice.AutoUpdated, 0u);
  QCOMPARE(choice.Unchanged, 0u);
  QCOMPARE(run.TotalUpdated, 0u);
  QVERIFY(!tables.addressBook.ControlsDisabled());
  QVERIFY(tables.Contents() == before);
}

void UpdateRunTest::AnErrorEndsTheLoopButTheClosingStepRuns() {
  TTables tables(kAddresses, kTowns);
  TTownChoice choice;
  TScript script;
  script.onAsk = [](TTownChoice&) { throw std::runtime_error("the dialog failed"); };
  TUpdateRun run(tables.addressBook, tables.newTowns, choice, script, script, script);
  QVERIFY_THROWS_EXCEPTION(std::runtime_error, run.Run());
  QVERIFY(!tables.addressBook.ControlsDisabled());
  QCOMPARE(script.log.back(), std::string("messages"));
  QCOMPARE(script.log[script.log.size() - 2], std::string("status Update complete"));
  QCOMPARE(script.log[script.log.size() - 3], std::string("hide"));
  // The two records before stay written; the counters keep what they reached.
  QCOMPARE(script.counters, (std::vector<std::string>{"10 1 1 0 0", "10 2 2 0 0"}));
  auto after = tables.Contents();
  QCOMPARE(after.at("A01").at("NAD_CITY_NM"), std::string("NANSHAN GUANGDONG"));
  QCOMPARE(after.at("A02").at("NAD_CITY_NM"), std::string("BETA GUANGDONG"));
  QCOMPARE(after.at("A03").at("NAD_CITY_NM"), std::string("Old Place"));
}

void UpdateRunTest::SecondRunDecidesAgain() {
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
  QCOMPARE(tables.Contents().at("A03").at("NAD_CITY_NM"), std::string("ONE"));
  run.Run();
  QCOMPARE(asked, 2);
  QCOMPARE(script.counters.back(), std::string("10 5 3 1 6"));
  QCOMPARE(tables.Contents().at("A06").at("NAD_CITY_NM"), std::string("OLD TOWN"));
}

void UpdateRunTest::RunKeepsABackupAndTheListOfWhatItWrote() {
  ledra::test::TempDir home;
  TDataHome dataHome(home.Path().string());
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
  QCOMPARE(run.TotalUpdated, 6u);
  const auto after = tables.Contents();

  const std::string folder = record.Folder();
  const std::string backups = home.Path().string() + "/Ostrevo/Backups/";
  QVERIFY2(folder.rfind(backups, 0) == 0, folder.c_str());

  // One line per record written: its key, its town before and after, as
  // UTF-8, and how the town was decided.
  std::ifstream list(folder + kChangeListName, std::ios::binary);
  std::string line;
  std::getline(list, line);
  QCOMPARE(line, std::string("ACC_NR,Old town,New town,Decision\r"));
  const std::map<std::string, std::string> decisions = {
      {"A01", "automatic"},          {"A02", "automatic"},
      {"A03", "chosen by the user"}, {"A06", "kept upper-cased (no new name)"},
      {"A07", "automatic"},          {"A11", "automatic"}};
  std::map<std::string, std::string> listed;
  while (std::getline(list, line)) {
    const std::vector<std::string> fields = SplitCsvLine(line);
    QCOMPARE(fields.size(), size_t(4));
    const std::string& account = fields[0];
    QVERIFY2(listed.emplace(account, fields[3]).second, account.c_str());
    QCOMPARE(fields[1], ledra::platform::Cp1252ToUtf8(before.at(account).at("NAD_CITY_NM")));
    QCOMPARE(fields[2], ledra::platform::Cp1252ToUtf8(after.at(account).at("NAD_CITY_NM")));
  }
  QCOMPARE(listed, decisions);
  QCOMPARE(before.at("A11").at("NAD_CITY_NM"), std::string("Sh\xe9nzh\xe8n"));  // cp1252

  // The backup, put back with the shipping application closed, is the
  // address book as it was before the run.
  tables.addressBook.Close();
  tables.newTowns.Close();
  QVERIFY(test::Ledra("restore " + tables.dir.Path().string() + " Smeadt01 '" + folder + "'"));
  QVERIFY(tables.Contents() == before);
}

void UpdateRunTest::NoBackupMeansNoChange() {
  ledra::test::TempDir home;
  TTables tables(kAddresses, kTowns);
  const auto before = tables.Contents();
  TTownChoice choice;
  TScript script;
  script.onAsk = [](TTownChoice& c) { c.ChosenTown = c.NewTown1; };
  {
    // A file where the data folder should be: no backup can be made there.
    TDataHome dataHome(home.Write("not-a-folder", "x"));
    TRunRecord record(tables.addressBook);
    TUpdateRun run(tables.addressBook, tables.newTowns, choice, script, script, script, &record);
    QVERIFY_THROWS_EXCEPTION(ledra::ELedraEngineError, run.Run());
    QCOMPARE(run.TotalUpdated, 0u);
    QVERIFY(record.Folder().empty());
  }
  QVERIFY(tables.Contents() == before);
  QCOMPARE(script.log[script.log.size() - 3], std::string("hide"));
  QCOMPARE(script.log[script.log.size() - 2], std::string("status Update complete"));
  QVERIFY(script.counters.empty());  // not even the first record was counted

  // No data folder at all.
  const std::string homeVariable = std::getenv("HOME") != nullptr ? std::getenv("HOME") : "";
  ::unsetenv("HOME");
  {
    TDataHome dataHome("relative/not/allowed");
    TRunRecord record(tables.addressBook);
    TUpdateRun run(tables.addressBook, tables.newTowns, choice, script, script, script, &record);
    QVERIFY_THROWS_EXCEPTION(std::runtime_error, run.Run());
  }
  if (!homeVariable.empty()) ::setenv("HOME", homeVariable.c_str(), 1);
  QVERIFY(tables.Contents() == before);
}

void UpdateRunTest::ChangeListTextHelpers() {
  QCOMPARE(CsvField("NANSHAN"), std::string("NANSHAN"));
  QCOMPARE(CsvField("A, \"B\""), std::string("\"A, \"\"B\"\"\""));
  // Half past three and a second on 9 December 2026 (day 46365).
  QCOMPARE(RunFolderName(46365.0 + (15 * 3600 + 30 * 60 + 1) / 86400.0),
           std::string("2026-12-09 15.30.01"));
  QCOMPARE(RunFolderName(46365.0 + 86399.9 / 86400.0), std::string("2026-12-10 00.00.00"));
}

}  // namespace ostrevo

QTEST_MAIN(ostrevo::UpdateRunTest)
#include "UpdateRunTest.moc"
