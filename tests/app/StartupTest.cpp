#include <QMessageBox>
#include <QPushButton>
#include <QTest>
#include <QTimer>

#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "app/DataFolder.h"
#include "app/Messages.h"
#include "app/OSData.h"
#include "tests/support/TempDir.h"

namespace ostrevo {

namespace {

using ledra::platform::TRegistry;
using ledra::platform::TWow64Answer;

TWow64Answer NotFound() {
  return TWow64Answer::NotFound;
}
TWow64Answer Failed() {
  return TWow64Answer::CallFailed;
}
TWow64Answer Wow64() {
  return TWow64Answer::Wow64;
}
TWow64Answer Native() {
  return TWow64Answer::Native;
}

std::string RegistryFile(const std::string& key, const std::string& valueLine) {
  return "Windows Registry Editor Version 5.00\r\n\r\n[HKEY_LOCAL_MACHINE" + key + "]\r\n" +
         valueLine + "\r\n";
}

std::string Quoted(const std::string& path) {
  return "\"DataDirectory\"=\"" + path + "\"";
}

}  // namespace

class StartupTest : public QObject {
  Q_OBJECT

 private slots:
  void ProbeAnswersAndTheKeyTheyChoose();
  void FindsTheAddressBookWithOrWithoutTrailingSeparator();
  void ProblemTexts();
  void ErrorBoxesAndTheDefaultHandler();
  void MessageBoxButtons();
};

void StartupTest::ProbeAnswersAndTheKeyTheyChoose() {
  struct {
    TOSData::TProbe probe;
    bool wow64;
    const char* description;
    const char* key;
  } cases[] = {
      {NotFound, false, "IsWow64Process Not Found In Kernel32.dll", kRegistryKey32},
      {Failed, false, "Error Checking Process Type", kRegistryKey32},
      {Wow64, true, "64bit Process", kRegistryKey64},
      {Native, false, "32bit Process", kRegistryKey32},
  };
  for (const auto& c : cases) {
    TOSData probe(c.probe);
    std::string description;
    QCOMPARE(probe.ProcessIsWow64(description), c.wow64);
    QCOMPARE(description, std::string(c.description));
    QCOMPARE(probe.Is64BitOS(), c.wow64);
    QCOMPARE(probe.Is32BitOS(), !c.wow64);
    QCOMPARE(RegistryKeyPath(probe), std::string(c.key));
  }
  // The program's own probe on this system.
  std::string description;
  QVERIFY(!TOSData().ProcessIsWow64(description));
  QCOMPARE(description, std::string("IsWow64Process Not Found In Kernel32.dll"));
}

void StartupTest::FindsTheAddressBookWithOrWithoutTrailingSeparator() {
  ledra::test::TempDir dir;
  dir.Write("SMEADT01.DAT", "x");  // found without regard to case
  const std::string data = dir.Path().string();
  for (const std::string& stored : {data, data + "/"}) {
    TRegistry registry(dir.Write("r.reg", RegistryFile(kRegistryKey32, Quoted(stored))));
    TDataFolder found = FindDataFolder(registry, TOSData(NotFound));
    QVERIFY(found.TablesReady);
    QCOMPARE(found.Path, stored);  // exactly as stored
    QCOMPARE(found.Problem, std::string());
    QVERIFY(!registry.KeyOpen());
  }
  // Under WOW64 the other view is read.
  TRegistry registry(dir.Write("r.reg", RegistryFile(kRegistryKey64, Quoted(data))));
  QVERIFY(FindDataFolder(registry, TOSData(Wow64)).TablesReady);
  QVERIFY(!FindDataFolder(registry, TOSData(Native)).TablesReady);
}

void StartupTest::ProblemTexts() {
  ledra::test::TempDir dir;
  const std::string data = dir.Path().string();

  TRegistry absent(dir.File("none.reg"));
  TDataFolder found = FindDataFolder(absent, TOSData(NotFound));
  QVERIFY(!found.TablesReady);
  QCOMPARE(found.Problem,
           std::string("Cannot locate Tolvenar registry information!\r\n\r\nRegistry Key = "
                       "'\\SOFTWARE\\Halvik\\Tolvenar'.'"));
  found = FindDataFolder(absent, TOSData(Wow64));
  QCOMPARE(found.Problem,
           std::string("Cannot locate Tolvenar registry information!\r\n\r\nRegistry Key = "
                       "'\\SOFTWARE\\Wow6432Node\\Halvik\\Tolvenar'.'"));

  // The key without the value, and a directory without the address book.
  TRegistry noValue(dir.Write("a.reg", RegistryFile(kRegistryKey32, "\"Other\"=\"x\"")));
  found = FindDataFolder(noValue, TOSData(NotFound));
  QVERIFY(!found.TablesReady);
  QCOMPARE(found.Path, std::string());
  QCOMPARE(found.Problem, std::string("Tolvenar Address Book table not found."));
  TRegistry empty(dir.Write("b.reg", RegistryFile(kRegistryKey32, Quoted(data))));
  found = FindDataFolder(empty, TOSData(NotFound));
  QCOMPARE(found.Problem, std::string("Tolvenar Address Book table not found."));
  QCOMPARE(found.Path, data);

  // A value that is not a string: the registry's message is the problem.
  TRegistry number(
      dir.Write("c.reg", RegistryFile(kRegistryKey32, "\"DataDirectory\"=dword:00000001")));
  found = FindDataFolder(number, TOSData(NotFound));
  QVERIFY(!found.TablesReady);
  QCOMPARE(found.Problem, std::string("Invalid data type for 'DataDirectory'"));
  QVERIFY(!number.KeyOpen());
}

void StartupTest::ErrorBoxesAndTheDefaultHandler() {
  std::vector<TShownMessage> shown;
  SetMessageHook([&](const TShownMessage& message) {
    shown.push_back(message);
    return TModalResult::Ok;
  });
  QCOMPARE(ErrorBoxText("Ledra Engine Error # 10258 Unable to lock record"),
           std::string("Ledra Engine Error # 10258 Unable to lock record."));
  QCOMPARE(ErrorBoxText("Done."), std::string("Done."));
  QCOMPARE(ErrorBoxText(""), std::string("."));

  bool after = false;
  Guarded(nullptr, [] { throw std::runtime_error("Table is busy"); });
  after = true;
  QVERIFY(after);
  QCOMPARE(shown.size(), size_t(1));
  QCOMPARE(shown[0].Caption, std::string("Ostrevo"));
  QCOMPARE(shown[0].Text, std::string("Table is busy."));
  QVERIFY(shown[0].Type == TMsgDlgType::Error);
  QVERIFY(shown[0].Buttons == TMsgButtons::Ok);

  // A handler that raises ends there; the box follows and the program goes on.
  int ran = 0;
  Guarded(nullptr, [&] {
    ++ran;
    throw std::runtime_error("Boom.");
  });
  Guarded(nullptr, [&] { ++ran; });
  QCOMPARE(ran, 2);
  QCOMPARE(shown.size(), size_t(2));
  QCOMPARE(shown[1].Text, std::string("Boom."));

  QCOMPARE(MessageDlg(nullptr, "Perform Update ?", TMsgDlgType::Confirmation, TMsgButtons::YesNo),
           TModalResult::Ok);
  QCOMPARE(shown[2].Caption, std::string("Confirm"));
  MessageDlg(nullptr, "x", TMsgDlgType::Warning, TMsgButtons::Ok);
  QCOMPARE(shown[3].Caption, std::string("Warning"));
  MessageDlg(nullptr, "x", TMsgDlgType::Error, TMsgButtons::Ok);
  QCOMPARE(shown[4].Caption, std::string("Error"));
  SetMessageHook(nullptr);
}

void StartupTest::MessageBoxButtons() {
  // The real box: "&Yes" and "&No", Enter answers Yes, Escape answers No.
  auto answer = [](std::function<void(QMessageBox*)> press) {
    auto* timer = new QTimer();
    QObject::connect(timer, &QTimer::timeout, [timer, press] {
      for (QWidget* widget : QApplication::topLevelWidgets()) {
        auto* box = qobject_cast<QMessageBox*>(widget);
        if (box == nullptr || !box->isVisible()) continue;
        timer->stop();
        timer->deleteLater();
        press(box);
        return;
      }
    });
    timer->start(10);
  };
  QStringList texts;
  QString caption;
  answer([&](QMessageBox* box) {
    caption = box->windowTitle();
    for (auto* b : box->findChildren<QPushButton*>()) texts << b->text();
    QTest::keyClick(box, Qt::Key_Escape);
  });
  QCOMPARE(MessageDlg(nullptr, "Perform Update ?", TMsgDlgType::Confirmation, TMsgButtons::YesNo),
           TModalResult::No);
  QCOMPARE(caption, QStringLiteral("Confirm"));
  texts.sort();
  QCOMPARE(texts, (QStringList{QStringLiteral("&No"), QStringLiteral("&Yes")}));

  answer([](QMessageBox* box) { QTest::keyClick(box, Qt::Key_Return); });
  QCOMPARE(MessageDlg(nullptr, "Perform Update ?", TMsgDlgType::Confirmation, TMsgButtons::YesNo),
           TModalResult::Yes);

  // The accelerators: Alt+N and Alt+Y answer as their buttons do.
  answer([](QMessageBox* box) { QTest::keyClick(box, Qt::Key_N, Qt::AltModifier); });
  QCOMPARE(MessageDlg(nullptr, "Perform Update ?", TMsgDlgType::Confirmation, TMsgButtons::YesNo),
           TModalResult::No);
  answer([](QMessageBox* box) { QTest::keyClick(box, Qt::Key_Y, Qt::AltModifier); });
  QCOMPARE(MessageDlg(nullptr, "Perform Update ?", TMsgDlgType::Confirmation, TMsgButtons::YesNo),
           TModalResult::Yes);

  QString shownText;
  answer([&](QMessageBox* box) {
    shownText = box->text();
    texts.clear();
    for (auto* b : box->findChildren<QPushButton*>()) texts << b->text();
    QTest::keyClick(box, Qt::Key_Escape);
  });
  QCOMPARE(MessageDlg(nullptr, "Problem identified:\r\n\r\nNot able", TMsgDlgType::Error,
                      TMsgButtons::Ok),
           TModalResult::Ok);
  QCOMPARE(shownText, QStringLiteral("Problem identified:\n\nNot able"));
  QCOMPARE(texts, QStringList{QStringLiteral("OK")});
}

}  // namespace ostrevo

int main(int argc, char** argv) {
  ostrevo::TOstrevoApplication app(argc, argv);
  ostrevo::StartupTest test;
  return QTest::qExec(&test, argc, argv);
}
#include "StartupTest.moc"
