// The update run beside a second program that has the address book open at
// the same time: a real process, forked before this one opens any table, with
// handles and locks of its own, working in step with the test.
#include "tests/support/ChildProcess.h"

#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTest>

#include <stdlib.h>
#include <unistd.h>
#include <array>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "app/AddressBook.h"
#include "app/Main.h"
#include "app/Messages.h"
#include "app/UpdateRun.h"
#include "components/LedraField.h"
#include "components/LedraSession.h"
#include "engine/errors/EngineError.h"
#include "tests/app/TestTables.h"
#include "tests/support/TempDir.h"

namespace ostrevo {

namespace {

using test::TAddress;
using TRecords = std::map<std::string, std::map<std::string, std::string>>;

// The fork helper reports a fault of the second process (a throw, a crash, a
// missed deadline) as a GoogleTest failure; this program runs under Qt Test,
// so each test asks afterwards whether one was reported.
int ChildFaults() {
  return ::testing::UnitTest::GetInstance()->ad_hoc_test_result().total_part_count();
}

// Short lock retries on both sides keep a refused lock quick.
void ShortLockRetries() {
  ledra::Session().SetLockRetryCount(2);
  ledra::Session().SetLockWaitTime(10);
}

// Every address's fields by account, read afresh through a table of its own.
TRecords Contents(const std::filesystem::path& dir) {
  ledra::TLedraTable table;
  SetUpAddressBook(table);
  table.SetDatabaseName(dir.string());
  table.Open();
  TRecords out;
  for (table.First(); !table.Eof(); table.Next()) {
    auto& record = out[table.FieldByName("ACC_NR").AsString()];
    for (int i = 0; i < table.FieldCount(); ++i) {
      record[table.Fields(i).FieldName()] = table.Fields(i).AsString();
    }
  }
  table.Close();
  return out;
}

bool Verified(const std::filesystem::path& dir) {
  return test::Ledra("verify " + dir.string() + " Smeadt01");
}

std::string RegistryText(const std::string& dataDirectory) {
  return "Windows Registry Editor Version 5.00\r\n\r\n"
         "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Halvik\\Tolvenar]\r\n\"DataDirectory\"=\"" +
         dataDirectory + "\"\r\n";
}

std::string Text(QLabel* label) {
  return label->text().toStdString();
}

// The second program's side: the address book open through the component
// layer, changed on the test's word. Commands are tab-separated:
//   edit ACCOUNT FIELD VALUE   one field of an existing record
//   add ACCOUNT COUNTRY POSTCODE TOWN
// Each is answered with 1 once posted (its record lock released).
void OtherProgram(ledra::test::TChildProcess& self, const std::string& dir) {
  ShortLockRetries();
  // Sees the run's writes at once instead of through what it has cached.
  ledra::Session().SetStrictChangeDetection(true);
  ledra::TLedraTable table;
  SetUpAddressBook(table);
  table.SetDatabaseName(dir);
  table.Open();
  self.Send(1);
  while (std::optional<std::string> command = self.ReceiveText()) {
    std::vector<std::string> words;
    std::stringstream in(*command);
    for (std::string word; std::getline(in, word, '\t');) words.push_back(word);
    if (words.at(0) == "edit") {
      if (!table.FindKey({words.at(1)})) throw std::runtime_error("no record " + words.at(1));
      table.Edit();
      table.FieldByName(words.at(2)).SetAsString(words.at(3));
    } else {
      table.Append();
      table.FieldByName("ACC_NR").SetAsString(words.at(1));
      table.FieldByName("COU_ID").SetAsString(words.at(2));
      table.FieldByName("NAD_PCODE_CD").SetAsString(words.at(3));
      table.FieldByName("NAD_CITY_NM").SetAsString(words.at(4));
      table.FieldByName("NAD_NM").SetAsString("Added by the other program");
    }
    table.Post();
    self.Send(1);
  }
  table.Close();
}

// The run's windows: always Yes, the first name when asked, and a hook after
// each record's counters.
class TScript : public TUpdateConfirmation, public TTownAsker, public TUpdateProgress {
 public:
  bool ConfirmUpdate() override { return true; }
  void AskTown(TTownChoice& choice) override { choice.ChosenTown = choice.NewTown1; }
  void StartProgress(int32_t) override {}
  void StepProgress() override { ++steps; }
  void HideProgress() override {}
  void SetStatus(const std::string& text) override { status = text; }
  void ShowCounters(const std::string&, const std::string&, const std::string&, const std::string&,
                    const std::string&) override {
    if (afterRecord) afterRecord(steps);
  }
  void ProcessMessages() override {}

  std::function<void(int)> afterRecord;
  int steps = 0;
  std::string status;
};

const char kTowns[] =
    "100001,Dongcheng,,,\n"
    "200001,Huangpu Shanghai,Xuhui,,\n";

}  // namespace

class SharingTest : public QObject {
  Q_OBJECT

 private slots:
  void initTestCase();
  void cleanup();
  void AddressBookHeldExclusivelyByTheOtherProgram();
  void RecordLockedByTheOtherProgramEndsTheRunWithItsMessage();
  void EditsAndAddsOfTheOtherProgramDuringTheRunAreKept();

 private:
  ledra::test::TempDir start_;
};

void SharingTest::initTestCase() {
  // The new-town table is looked for in the start directory.
  QVERIFY(::chdir(start_.Path().c_str()) == 0);
  // Update runs keep their backups and change lists here, not in the user's home.
  ::setenv("XDG_DATA_HOME", start_.File("user-data").c_str(), 1);
  test::CreateNewTowns(start_.Path(), kTowns);
}

void SharingTest::cleanup() {
  SetMessageHook(nullptr);
  ::unsetenv("OSTREVO_REGISTRY");
}

void SharingTest::AddressBookHeldExclusivelyByTheOtherProgram() {
  ledra::test::TempDir data;
  test::CreateAddressBook(data.Path(), {{"A01", "CN", "100001", "Beijing", "Beijing"}});
  const int faults = ChildFaults();
  const std::string dir = data.Path().string();
  ledra::test::TChildProcess other([&](ledra::test::TChildProcess& self) {
    ledra::TLedraTable table;
    SetUpAddressBook(table);
    table.SetDatabaseName(dir);
    table.SetExclusive(true);
    table.Open();
    self.Send(1);
    self.Receive();
    table.Close();
  });
  QVERIFY(other.Started());
  QCOMPARE(other.Receive(), std::optional<uint32_t>(1));

  std::vector<TShownMessage> shown;
  SetMessageHook([&](const TShownMessage& message) {
    shown.push_back(message);
    return TModalResult::Ok;
  });
  ::setenv("OSTREVO_REGISTRY", data.Write("registry.reg", RegistryText(dir)).c_str(), 1);
  auto main = std::make_unique<TFmMain>();
  QCOMPARE(shown.size(), size_t(1));
  QCOMPARE(shown[0].Caption, std::string("Error"));
  QCOMPARE(shown[0].Text,
           std::string("Problem identified:\r\n\r\nNot able to open Address Book table!"));
  QVERIFY(!main->BtnUpdate->isEnabled());
  QVERIFY(!main->TablesReady());
  QVERIFY(!main->TblSmeAdt.Active());
  QVERIFY(!main->TblNewChinaTowns.Active());
  QCOMPARE(Text(main->PnlTotalAddressRecords), std::string());
  main.reset();
  QVERIFY(other.Finish());
  QCOMPARE(ChildFaults(), faults);
}

void SharingTest::RecordLockedByTheOtherProgramEndsTheRunWithItsMessage() {
  ledra::test::TempDir data;
  test::CreateAddressBook(data.Path(), {{"A01", "CN", "100001", "Beijing", "Beijing"},
                                        {"A02", "GB", "IP1", "Ipswich", "Suffolk"},
                                        {"A03", "CN", "200001", "Shanghai", "Shanghai"},
                                        {"A04", "CN", "100001", "Peking", "Beijing"},
                                        {"A05", "CN", "200001", "Hu", "Shanghai"},
                                        {"A06", "FR", "75001", "Paris", ""}});
  const TRecords before = Contents(data.Path());
  const int faults = ChildFaults();

  const std::string dir = data.Path().string();
  ledra::test::TChildProcess other([&](ledra::test::TChildProcess& self) {
    ShortLockRetries();
    ledra::TLedraTable table;
    SetUpAddressBook(table);
    table.SetDatabaseName(dir);
    table.Open();
    if (!table.FindKey({"A04"})) throw std::runtime_error("no A04");
    table.Edit();  // holds the record's lock
    self.Send(1);
    self.Receive();
    table.Cancel();
    self.Send(2);
    self.Receive();
  });
  QVERIFY(other.Started());
  QCOMPARE(other.Receive(), std::optional<uint32_t>(1));

  ShortLockRetries();
  std::vector<TShownMessage> shown;
  SetMessageHook([&](const TShownMessage& message) {
    shown.push_back(message);
    return message.Buttons == TMsgButtons::YesNo ? TModalResult::Yes : TModalResult::Ok;
  });
  ::setenv("OSTREVO_REGISTRY", data.Write("registry.reg", RegistryText(dir)).c_str(), 1);
  auto main = std::make_unique<TFmMain>();
  QVERIFY(shown.empty());
  QVERIFY(main->BtnUpdate->isEnabled());

  QTest::mouseClick(main->BtnUpdate, Qt::LeftButton);
  QCOMPARE(shown.size(), size_t(2));
  QCOMPARE(shown[1].Caption, std::string("Ostrevo"));
  QVERIFY(shown[1].Type == TMsgDlgType::Error);
  QCOMPARE(shown[1].Text,
           std::string("Ledra Engine Error # 10258 Record in the table 'Smeadt01' is in use by "
                       "another user."));
  // The panels keep what the records before the locked one reached.
  QCOMPARE(Text(main->PnlTotalAddressRecords), std::string("6"));
  QCOMPARE(Text(main->PnlTotalUpdated), std::string("2"));
  QCOMPARE(Text(main->PnlTotalUpdatedAuto), std::string("2"));
  QCOMPARE(Text(main->PnlTotalUpdatedUser), std::string("0"));
  QCOMPARE(Text(main->PnlTotalUnchanged), std::string("1"));
  QCOMPARE(Text(main->PnlMess), std::string("Update complete"));
  QVERIFY(main->Gauge1->isHidden());
  QVERIFY(!main->TblSmeAdt.ControlsDisabled());
  QVERIFY(main->BtnUpdate->isEnabled());

  // Posted before the failure: written; from the locked record on: as before.
  TRecords after = Contents(data.Path());
  TRecords expected = before;
  expected["A01"]["NAD_CITY_NM"] = "DONGCHENG";
  expected["A03"]["NAD_CITY_NM"] = "HUANGPU SHANGHAI";
  QVERIFY(after == expected);

  // Once the other program lets go, a new run re-examines every record and
  // finishes the job.
  other.Send(0);
  QCOMPARE(other.Receive(), std::optional<uint32_t>(2));
  shown.clear();
  QTest::mouseClick(main->BtnUpdate, Qt::LeftButton);
  QCOMPARE(shown.size(), size_t(1));
  QCOMPARE(Text(main->PnlTotalUpdated), std::string("4"));
  QCOMPARE(Text(main->PnlTotalUnchanged), std::string("2"));
  expected["A04"]["NAD_CITY_NM"] = "DONGCHENG";
  expected["A05"]["NAD_CITY_NM"] = "HUANGPU SHANGHAI";
  QVERIFY(Contents(data.Path()) == expected);

  main->close();
  main.reset();
  QVERIFY(other.Finish());
  QVERIFY(Verified(data.Path()));
  QCOMPARE(ChildFaults(), faults);
}

void SharingTest::EditsAndAddsOfTheOtherProgramDuringTheRunAreKept() {
  // Twelve addresses: every third abroad, the rest China with a listed
  // postcode, so the run writes eight of them.
  std::vector<TAddress> addresses;
  TRecords expectedTowns;
  for (int i = 1; i <= 12; ++i) {
    char account[8];
    std::snprintf(account, sizeof account, "A%02d", i);
    if (i % 3 == 0) {
      addresses.push_back({account, "DE", "1011" + std::to_string(i), "Berlin", "Berlin"});
      expectedTowns[account]["NAD_CITY_NM"] = "Berlin";
    } else if (i % 2 == 0) {
      addresses.push_back({account, "CN", "100001", "Peking", "Beijing"});
      expectedTowns[account]["NAD_CITY_NM"] = "DONGCHENG";
    } else {
      addresses.push_back({account, "cn", "200001", "Shanghai", "shanghai"});
      expectedTowns[account]["NAD_CITY_NM"] = "HUANGPU SHANGHAI";
    }
  }
  ledra::test::TempDir data;
  test::CreateAddressBook(data.Path(), addresses);
  const TRecords before = Contents(data.Path());
  const int faults = ChildFaults();
  const std::string dir = data.Path().string();
  ledra::test::TChildProcess other(
      [&](ledra::test::TChildProcess& self) { OtherProgram(self, dir); });
  QVERIFY(other.Started());
  QCOMPARE(other.Receive(), std::optional<uint32_t>(1));

  ShortLockRetries();
  ledra::TLedraTable addressBook;
  SetUpAddressBook(addressBook);
  addressBook.SetDatabaseName(dir);
  addressBook.Open();
  ledra::TLedraTable newTowns;
  SetUpNewTownTable(newTowns);
  newTowns.SetDatabaseName(start_.Path().string());
  newTowns.Open();

  // What the other program does, and after which record of the run.
  const std::map<int, std::vector<std::string>> commands = {
      // A record the run has written, one it has passed over, and two it has
      // still to write: the other program's fields must survive the run's
      // writes, and the run's town the other program's.
      {4,
       {"edit\tA02\tNAD_NM\tRenamed behind the run", "edit\tA03\tCPF_NM\tContact behind",
        "edit\tA08\tNAD_NM\tRenamed ahead of the run", "edit\tA10\tCPF_TEL_NR\t+86 10 1234"}},
      // Added behind the run (never visited) and ahead of it.
      {6,
       {"add\tA01B\tCN\t100001\tBehind", "add\tA09B\tGB\tSW1\tLondon",
        "add\tA11B\tCN\t999999\tUnlisted"}},
      // A change to a record the run itself changed a moment ago.
      {8, {"edit\tA07\tNAD_ADDR_LINE_1_DS\t1 Nanjing Road"}},
  };
  TTownChoice choice;
  TScript script;
  script.afterRecord = [&](int step) {
    auto found = commands.find(step);
    if (found == commands.end()) return;
    for (const std::string& command : found->second) {
      other.SendText(command);
      QCOMPARE(other.Receive(), std::optional<uint32_t>(1));
    }
  };
  TUpdateRun run(addressBook, newTowns, choice, script, script, script);
  run.Run();
  QCOMPARE(script.status, std::string(kStatusComplete));

  // The count is taken at the start; the records added ahead are visited
  // too, and neither of them is China with a listed postcode.
  QCOMPARE(run.TotalRecords, 12u);
  QCOMPARE(script.steps, 14);
  QCOMPARE(run.TotalUpdated, 8u);
  QCOMPARE(choice.AutoUpdated, 8u);
  QCOMPARE(choice.UserUpdated, 0u);
  QCOMPARE(choice.Unchanged, 6u);
  addressBook.Close();
  newTowns.Close();

  TRecords expected = before;
  for (const auto& [account, fields] : expectedTowns) {
    expected[account]["NAD_CITY_NM"] = fields.at("NAD_CITY_NM");
  }
  expected["A02"]["NAD_NM"] = "Renamed behind the run";
  expected["A03"]["CPF_NM"] = "Contact behind";
  expected["A08"]["NAD_NM"] = "Renamed ahead of the run";
  expected["A10"]["CPF_TEL_NR"] = "+86 10 1234";
  expected["A07"]["NAD_ADDR_LINE_1_DS"] = "1 Nanjing Road";
  const TRecords after = Contents(data.Path());
  for (const auto& [account, country, postcode, town] :
       std::vector<std::array<std::string, 4>>{{"A01B", "CN", "100001", "Behind"},
                                               {"A09B", "GB", "SW1", "London"},
                                               {"A11B", "CN", "999999", "Unlisted"}}) {
    QVERIFY2(after.count(account) == 1, account.c_str());
    std::map<std::string, std::string> record = after.at(account);
    QCOMPARE(record.at("COU_ID"), country);
    QCOMPARE(record.at("NAD_PCODE_CD"), postcode);
    QCOMPARE(record.at("NAD_CITY_NM"), town);
    QCOMPARE(record.at("NAD_NM"), std::string("Added by the other program"));
    expected[account] = record;
  }
  QCOMPARE(after.size(), expected.size());
  for (const auto& [account, record] : expected) {
    QVERIFY2(after.at(account) == record, account.c_str());
  }

  QVERIFY(other.Finish());
  QVERIFY(Verified(data.Path()));
  QCOMPARE(ChildFaults(), faults);
}

}  // namespace ostrevo

QTEST_MAIN(ostrevo::SharingTest)
#include "SharingTest.moc"
