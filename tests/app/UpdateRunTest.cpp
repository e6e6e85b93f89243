#include "app/UpdateRun.h"

#include <QTest>

#include <cstdlib>
#include <functional>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

#include "app/AddressBook.h"
#include "components/LedraField.h"
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
};

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

}  // namespace ostrevo

QTEST_MAIN(ostrevo::UpdateRunTest)
#include "UpdateRunTest.moc"
