// The main window's update run beside a second program that has the address
// book open at the same time: a real process, forked before this one opens any
// table, with handles and locks of its own, working in step with the test.
// What the run itself keeps of the other program's edits and adds is tested
// without windows, on both systems (tests/app/core/UpdateRunSharingTest.cpp).
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
#include "tests/app/core/RunScript.h"
#include "tests/support/TempDir.h"

namespace ostrevo {

namespace {

using test::TAddress;
using test::TRecords;

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
  const TRecords before = test::ReadAddressBook(data.Path());
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
  TRecords after = test::ReadAddressBook(data.Path());
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
  QVERIFY(test::ReadAddressBook(data.Path()) == expected);

  main->close();
  main.reset();
  QVERIFY(other.Finish());
  QVERIFY(Verified(data.Path()));
  QCOMPARE(ChildFaults(), faults);
}

}  // namespace ostrevo

QTEST_MAIN(ostrevo::SharingTest)
#include "SharingTest.moc"
