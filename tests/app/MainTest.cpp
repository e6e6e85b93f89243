#include "app/Main.h"

#include <QApplication>
#include <QFontMetrics>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QStyle>
#include <QTableView>
#include <QTest>
#include <QTimer>

#include <stdlib.h>
#include <unistd.h>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "app/Location.h"
#include "app/Messages.h"
#include "app/TownSelection.h"
#include "components/LedraField.h"
#include "components/qt/LedraDirectoryListBox.h"
#include "components/qt/LedraTableModel.h"
#include "tests/app/TestTables.h"
#include "tests/support/TempDir.h"

namespace ostrevo {

namespace {

using test::TAddress;

const std::vector<TAddress> kAddresses = {
    {"A01", "CN", "518001", "shenzhen", "Guangdong"},
    {"A02", "CN", "518005", "Shenzhen", "Somewhere"},
    {"A03", "GB", "IP11 3AB", "Felixstowe", "Suffolk"},
};

std::string Registry(const std::string& dataDirectory) {
  return "Windows Registry Editor Version 5.00\r\n\r\n"
         "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Halvik\\Tolvenar]\r\n\"DataDirectory\"=\"" +
         dataDirectory + "\"\r\n";
}

std::string Text(QLabel* label) {
  return label->text().toStdString();
}

}  // namespace

// The scenarios share one process, and the engine records the start directory
// when the first table opens: the new-town table is absent from it at first
// and written there half-way through.
class MainTest : public QObject {
  Q_OBJECT

 private slots:
  void initTestCase();
  void init();
  void cleanup();
  void MissingRegistryFileOrKey();
  void DirectoryWithoutTheAddressBook();
  void AddressBookWithoutTheNewTownTable();
  void BrokenAddressBook();
  void FullStartUpAndUpdateRun();
  void FolderDialogMovesTheAddressBook();
  void AltUStartsTheUpdate();

 private:
  std::unique_ptr<TFmMain> Start(const std::string& registryText);

  ledra::test::TempDir start_;
  ledra::test::TempDir data_;
  ledra::test::TempDir other_;
  std::vector<TShownMessage> shown_;
  TModalResult answer_ = TModalResult::Yes;
};

void MainTest::initTestCase() {
  QVERIFY(::chdir(start_.Path().c_str()) == 0);
  // Update runs keep their backups and change lists here, not in the user's home.
  ::setenv("XDG_DATA_HOME", start_.File("user-data").c_str(), 1);
  test::CreateAddressBook(data_.Path(), kAddresses);
  test::CreateAddressBook(other_.Path(), {{"B01", "CN", "100001", "Beijing", "Beijing"}});
}

void MainTest::init() {
  shown_.clear();
  answer_ = TModalResult::Yes;
  SetMessageHook([this](const TShownMessage& message) {
    shown_.push_back(message);
    return message.Buttons == TMsgButtons::YesNo ? answer_ : TModalResult::Ok;
  });
}

void MainTest::cleanup() {
  SetMessageHook(nullptr);
  ::unsetenv("OSTREVO_REGISTRY");
}

std::unique_ptr<TFmMain> MainTest::Start(const std::string& registryText) {
  const std::string file = start_.Write("registry.reg", registryText);
  ::setenv("OSTREVO_REGISTRY", file.c_str(), 1);
  return std::make_unique<TFmMain>();
}

void MainTest::MissingRegistryFileOrKey() {
  ::setenv("OSTREVO_REGISTRY", start_.File("none.reg").c_str(), 1);
  TFmMain main;
  QCOMPARE(shown_.size(), size_t(1));
  QCOMPARE(shown_[0].Caption, std::string("Error"));
  QCOMPARE(shown_[0].Text,
           std::string("Problem identified:\r\n\r\nCannot locate Tolvenar registry information!"
                       "\r\n\r\nRegistry Key = '\\SOFTWARE\\Halvik\\Tolvenar'.'"));
  QVERIFY(main.isVisible());  // shown before the box
  QVERIFY(!main.BtnUpdate->isEnabled());
  QVERIFY(!main.TblSmeAdt.Active());
  QVERIFY(!main.TablesReady());

  shown_.clear();
  auto other = Start("Windows Registry Editor Version 5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\X]\r\n");
  QCOMPARE(shown_.size(), size_t(1));
  QVERIFY(shown_[0].Text.find("Cannot locate") != std::string::npos);
}

void MainTest::DirectoryWithoutTheAddressBook() {
  auto main = Start(Registry(start_.Path().string()));
  QCOMPARE(shown_.size(), size_t(1));
  QCOMPARE(shown_[0].Text,
           std::string("Problem identified:\r\n\r\nTolvenar Address Book table not found."));
  QVERIFY(!main->BtnUpdate->isEnabled());
  QCOMPARE(main->EdtPath->text().toStdString(), start_.Path().string());

  // The key without the value: an empty path, and the same problem.
  shown_.clear();
  main = Start(
      "Windows Registry Editor Version 5.00\r\n\r\n"
      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Halvik\\Tolvenar]\r\n"
      "\"Other\"=\"x\"\r\n");
  QCOMPARE(shown_.size(), size_t(1));
  QCOMPARE(shown_[0].Text,
           std::string("Problem identified:\r\n\r\nTolvenar Address Book table not found."));
  QVERIFY(!main->BtnUpdate->isEnabled());
  QCOMPARE(main->EdtPath->text(), QString());

  // A value that is not a string: the registry's own message.
  shown_.clear();
  main = Start(
      "Windows Registry Editor Version 5.00\r\n\r\n"
      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Halvik\\Tolvenar]\r\n"
      "\"DataDirectory\"=dword:00000002\r\n");
  QCOMPARE(shown_.size(), size_t(1));
  QCOMPARE(shown_[0].Text,
           std::string("Problem identified:\r\n\r\nInvalid data type for 'DataDirectory'"));
}

void MainTest::AddressBookWithoutTheNewTownTable() {
  auto main = Start(Registry(data_.Path().string()));
  QCOMPARE(shown_.size(), size_t(1));
  QCOMPARE(shown_[0].Text,
           std::string("Problem identified:\r\n\r\nNot able to open New Town table!"));
  QVERIFY(!main->BtnUpdate->isEnabled());
  // The address book stays open and browsable.
  QVERIFY(main->TblSmeAdt.Active());
  QVERIFY(!main->TblNewChinaTowns.Active());
  QCOMPARE(Text(main->PnlTotalAddressRecords), std::string("3"));
  QCOMPARE(main->DsTblAdt->rowCount(), 3);
  QCOMPARE(main->DsTblAdt->columnCount(), 9);
  QCOMPARE(main->DsTblAdt->headerData(0, Qt::Horizontal).toString(), QStringLiteral("A/C No"));
  QCOMPARE(main->DsTblAdt->headerData(3, Qt::Horizontal).toString(), QStringLiteral("Town"));
  QCOMPARE(main->DsTblAdt->data(main->DsTblAdt->index(2, 0)).toString(), QStringLiteral("A03"));
  QCOMPARE(main->DbgAdt->selectionBehavior(), QAbstractItemView::SelectRows);
  QCOMPARE(main->DbgAdt->editTriggers(), QAbstractItemView::NoEditTriggers);
  QVERIFY(!(main->DsTblAdt->flags(main->DsTblAdt->index(0, 0)) & Qt::ItemIsEditable));
  // A column of N characters shows N capitals and digits in full, inside the
  // cell's margins and grid line.
  const QFontMetrics metrics = main->DbgAdt->fontMetrics();
  const int margins =
      2 * (main->DbgAdt->style()->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr, main->DbgAdt) +
           1) +
      1;
  const std::pair<int, QString> fills[] = {{0, QStringLiteral("TV00001234")},
                                           {3, QStringLiteral("WUHAN OPTICS VALLEY HI-TECH ZO")},
                                           {4, QStringLiteral("518000 AB")}};
  for (const auto& [column, text] : fills) {
    QVERIFY2(main->DbgAdt->columnWidth(column) >= metrics.horizontalAdvance(text) + margins,
             qPrintable(text));
  }
  main->close();
  QVERIFY(!main->TblSmeAdt.Active());
  QVERIFY(main->FmTownSelection == nullptr && main->FmLocation == nullptr);
}

void MainTest::BrokenAddressBook() {
  ledra::test::TempDir broken;
  broken.Write("SmeAdt01.dat", std::string(2048, 'x'));
  auto main = Start(Registry(broken.Path().string() + "/"));
  QCOMPARE(shown_.size(), size_t(1));
  QCOMPARE(shown_[0].Text,
           std::string("Problem identified:\r\n\r\nNot able to open Address Book table!"));
  QVERIFY(!main->BtnUpdate->isEnabled());
  QVERIFY(!main->TblSmeAdt.Active());
  QVERIFY(!main->TblNewChinaTowns.Active());
  QCOMPARE(Text(main->PnlTotalAddressRecords), std::string());
}

void MainTest::FullStartUpAndUpdateRun() {
  test::CreateNewTowns(start_.Path(), "518001,Nanshan Guangdong,Futian,,\n518005,One,Two,,\n");
  // The value with a trailing separator is given to the table unchanged.
  const std::string stored = data_.Path().string() + "/";
  auto main = Start(Registry(stored));
  QCOMPARE(shown_.size(), size_t(0));
  QVERIFY(main->BtnUpdate->isEnabled());
  QCOMPARE(main->TblSmeAdt.DatabaseName(), stored);
  QVERIFY(main->TblNewChinaTowns.Active());
  QCOMPARE(Text(main->PnlTotalUpdated), std::string());
  QVERIFY(main->Gauge1->isHidden());

  // The user's dialog: choose the second name.
  bool dialogSeen = false;
  QTimer poll;
  QObject::connect(&poll, &QTimer::timeout, [&] {
    TFmTownSelection* dialog = main->FmTownSelection;
    if (dialog == nullptr || !dialog->isVisible()) return;
    poll.stop();
    dialogSeen = true;
    QTest::mouseClick(dialog->BtnTownName2, Qt::LeftButton);
    QTest::mouseClick(dialog->BtnOk, Qt::LeftButton);
  });
  poll.start(10);
  QTest::mouseClick(main->BtnUpdate, Qt::LeftButton);
  QVERIFY(dialogSeen);
  QCOMPARE(shown_.size(), size_t(1));
  QCOMPARE(shown_[0].Caption, std::string("Confirm"));
  QCOMPARE(shown_[0].Text, std::string("Perform Update ?"));
  QCOMPARE(Text(main->PnlTotalAddressRecords), std::string("3"));
  QCOMPARE(Text(main->PnlTotalUpdated), std::string("2"));
  QCOMPARE(Text(main->PnlTotalUpdatedAuto), std::string("1"));
  QCOMPARE(Text(main->PnlTotalUpdatedUser), std::string("1"));
  QCOMPARE(Text(main->PnlTotalUnchanged), std::string("1"));
  QCOMPARE(Text(main->PnlMess), std::string("Update complete"));
  QVERIFY(main->Gauge1->isHidden());
  QVERIFY(!main->TblSmeAdt.ControlsDisabled());
  QCOMPARE(main->DsTblAdt->data(main->DsTblAdt->index(0, 3)).toString(),
           QStringLiteral("NANSHAN GUANGDONG"));
  QCOMPARE(main->DsTblAdt->data(main->DsTblAdt->index(1, 3)).toString(), QStringLiteral("TWO"));

  // Declined: nothing changes, the panels keep the last run's values.
  shown_.clear();
  answer_ = TModalResult::No;
  QTest::mouseClick(main->BtnUpdate, Qt::LeftButton);
  QCOMPARE(shown_.size(), size_t(1));
  QCOMPARE(Text(main->PnlTotalUpdated), std::string("2"));

  // An error in the run reaches the default handler; the program goes on.
  shown_.clear();
  answer_ = TModalResult::Yes;
  main->TblNewChinaTowns.Close();
  QTest::mouseClick(main->BtnUpdate, Qt::LeftButton);
  QCOMPARE(shown_.size(), size_t(2));
  QCOMPARE(shown_[1].Caption, std::string("Ostrevo"));
  QCOMPARE(shown_[1].Text.back(), '.');
  QCOMPARE(Text(main->PnlMess), std::string("Update complete"));
  QVERIFY(!main->TblSmeAdt.ControlsDisabled());

  main->close();
  QVERIFY(!main->TblSmeAdt.Active());
  QVERIFY(!main->TblNewChinaTowns.Active());
}

void MainTest::FolderDialogMovesTheAddressBook() {
  auto main = Start(Registry(data_.Path().string()));
  QVERIFY(main->TblSmeAdt.Active());
  TFmLocation* dialog = main->FmLocation;
  QVERIFY(dialog != nullptr);
  QVERIFY(main->BtnFolder->isHidden());

  // A directory without the address book: warned, back where it was.
  QVERIFY(dialog->LedraFolders->SetDirectory(QString::fromStdString(start_.Path().string())));
  dialog->BtnOkClick();
  QCOMPARE(shown_.size(), size_t(1));
  QCOMPARE(shown_[0].Caption, std::string("Warning"));
  QCOMPARE(shown_[0].Text, std::string("Invalid Path - Address Book not found.\r\nReverting to "
                                       "previous location."));
  QVERIFY(main->TblSmeAdt.Active());
  QCOMPARE(main->TblSmeAdt.DatabaseName(), data_.Path().string());
  QCOMPARE(main->EdtPath->text().toStdString(), data_.Path().string());

  // A directory holding one: the grid shows that table.
  QVERIFY(dialog->LedraFolders->SetDirectory(QString::fromStdString(other_.Path().string())));
  dialog->BtnOkClick();
  QCOMPARE(shown_.size(), size_t(1));
  QVERIFY(main->TblSmeAdt.Active());
  QCOMPARE(main->EdtPath->text().toStdString(), other_.Path().string());
  QCOMPARE(main->TblSmeAdt.RecordCount(), 1);
  QCOMPARE(main->DsTblAdt->data(main->DsTblAdt->index(0, 0)).toString(), QStringLiteral("B01"));
  // The count panel is not the dialog's to touch.
  QCOMPARE(Text(main->PnlTotalAddressRecords), std::string("3"));
}

void MainTest::AltUStartsTheUpdate() {
  // The "&Update" accelerator asks the same question as the button; declining
  // leaves the counters empty.
  bool haveTowns = false;
  for (const auto& entry : std::filesystem::directory_iterator(start_.Path())) {
    haveTowns = haveTowns ||
                QString::fromStdString(entry.path().filename().string())
                        .compare(QStringLiteral("NewChinaTowns.dat"), Qt::CaseInsensitive) == 0;
  }
  if (!haveTowns) test::CreateNewTowns(start_.Path(), "518001,Nanshan Guangdong,Futian,,\n");
  auto main = Start(Registry(data_.Path().string()));
  QVERIFY(main->BtnUpdate->isEnabled());
  main->show();
  main->activateWindow();
  QVERIFY(QTest::qWaitForWindowActive(main.get()));
  shown_.clear();
  answer_ = TModalResult::No;
  QWidget* focus = QApplication::focusWidget();
  QTest::keyClick(focus != nullptr ? focus : main.get(), Qt::Key_U, Qt::AltModifier);
  // A button's accelerator clicks it after its short press animation.
  QTRY_COMPARE(shown_.size(), size_t(1));
  QCOMPARE(shown_[0].Text, std::string("Perform Update ?"));
  QCOMPARE(Text(main->PnlTotalUpdated), std::string());
}

}  // namespace ostrevo

QTEST_MAIN(ostrevo::MainTest)
#include "MainTest.moc"
