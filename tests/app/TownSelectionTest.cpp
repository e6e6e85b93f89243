#include "app/TownSelection.h"

#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>

#include <map>
#include <string>

#include "app/About.h"

namespace ostrevo {

namespace {

class TFakeRecord : public TAddressRecord {
 public:
  std::string FieldText(std::string_view name) const override {
    auto found = fields.find(std::string(name));
    return found == fields.end() ? std::string() : found->second;
  }
  std::map<std::string, std::string> fields = {{"NAD_SHORT_NM", "GOLDEN TOYS"},
                                               {"NAD_NM", "Shenzhen Golden Toys Co Ltd"},
                                               {"NAD_ADDR_LINE_1_DS", "No. 12 Renmin Road"},
                                               {"NAD_ADDR_LINE_2_DS", "Futian District"},
                                               {"NAD_ADDR_LINE_3_DS", "Building 3"},
                                               {"NAD_CITY_NM", "Shenzhen"},
                                               {"PRV_NM", "Guangdong"},
                                               {"NAD_PCODE_CD", "518abc"}};
};

bool Ticks(TFmTownSelection& dialog, bool a, bool b, bool c, bool d) {
  return !dialog.ImgTick[0]->isHidden() == a && !dialog.ImgTick[1]->isHidden() == b &&
         !dialog.ImgTick[2]->isHidden() == c && !dialog.ImgTick[3]->isHidden() == d;
}

}  // namespace

class TownSelectionTest : public QObject {
  Q_OBJECT

 private slots:
  void ShowsOnlyTheAvailableNamesAndBothColumns();
  void ChoosingANameMovesTheTickAndTheTown();
  void EnterClosesWithTheFirstNameAndEscapeDoesNot();
  void ShowingAgainStartsOverFromTheFirstName();
  void AboutBoxClosesOnItsButton();
};

void TownSelectionTest::ShowsOnlyTheAvailableNamesAndBothColumns() {
  TTownChoice choice;
  choice.NewTown1 = "SHENZHEN NANSHAN";
  choice.NewTown3 = "SHENZHEN R&D PARK";
  choice.OldTown = "SHENZHEN";
  choice.ChosenTown = "leftover";
  TFakeRecord record;
  TFmTownSelection dialog(nullptr, choice, record);
  dialog.show();

  QCOMPARE(choice.ChosenTown, std::string("SHENZHEN NANSHAN"));
  QVERIFY(!dialog.BtnTownName1->isHidden());
  QVERIFY(dialog.BtnTownName2->isHidden());
  QVERIFY(!dialog.BtntownName3->isHidden());
  QVERIFY(dialog.BtnTownName4->isHidden());
  QCOMPARE(dialog.BtnTownName1->text(), QStringLiteral("SHENZHEN NANSHAN"));
  // An ampersand in a name is shown, not taken as an accelerator.
  QCOMPARE(dialog.BtntownName3->text(), QStringLiteral("SHENZHEN R&&D PARK"));
  QVERIFY(Ticks(dialog, true, false, false, false));
  QCOMPARE(dialog.findChild<QPushButton*>("BtntownName3"), dialog.BtntownName3);

  QCOMPARE(dialog.EdTownNew->text(), QStringLiteral("SHENZHEN NANSHAN"));
  QCOMPARE(dialog.EdTownOld->text(), QStringLiteral("SHENZHEN"));
  QCOMPARE(dialog.EdShortNameOld->text(), QStringLiteral("GOLDEN TOYS"));
  QCOMPARE(dialog.EdLongNameNew->text(), QStringLiteral("Shenzhen Golden Toys Co Ltd"));
  QCOMPARE(dialog.EdAddress3New->text(), QStringLiteral("Building 3"));
  QCOMPARE(dialog.EdProvinceOld->text(), QStringLiteral("Guangdong"));
  QCOMPARE(dialog.EdPostcodeNew->text(), QStringLiteral("518abc"));
  QVERIFY(!dialog.EdTownNew->isEnabled());
  QVERIFY(!dialog.EdPostcodeOld->isEnabled());
  // The postcode as stored, not upper-cased.
  QCOMPARE(dialog.LblMultiple->text(),
           QStringLiteral("Multiple Towns available for Postcode '518abc'. Please select desired "
                          "Town from options shown."));
  QVERIFY(dialog.BtnOk->isDefault());
  QCOMPARE(dialog.BtnOk->text(), QStringLiteral("&Ok"));
  QVERIFY(!(dialog.windowFlags() & Qt::WindowCloseButtonHint));
  QVERIFY(!(dialog.windowFlags() & Qt::WindowSystemMenuHint));
  QCOMPARE(dialog.minimumSize(), dialog.maximumSize());
  QCOMPARE(dialog.windowTitle(), QStringLiteral("Multiple Town Selection"));
}

void TownSelectionTest::ChoosingANameMovesTheTickAndTheTown() {
  TTownChoice choice;
  choice.NewTown1 = "ONE";
  choice.NewTown2 = "TWO";
  choice.NewTown3 = "THREE";
  choice.NewTown4 = "FOUR";
  TFakeRecord record;
  TFmTownSelection dialog(nullptr, choice, record);
  dialog.show();
  for (QPushButton* button :
       {dialog.BtnTownName1, dialog.BtnTownName2, dialog.BtntownName3, dialog.BtnTownName4}) {
    QVERIFY(!button->isHidden());
  }
  QTest::mouseClick(dialog.BtntownName3, Qt::LeftButton);
  QCOMPARE(choice.ChosenTown, std::string("THREE"));
  QCOMPARE(dialog.EdTownNew->text(), QStringLiteral("THREE"));
  QVERIFY(Ticks(dialog, false, false, true, false));
  QVERIFY(dialog.BtnOk->hasFocus() || !dialog.isActiveWindow());
  // The last name pressed wins; the old column stays as it was.
  QTest::mouseClick(dialog.BtnTownName4, Qt::LeftButton);
  QTest::mouseClick(dialog.BtnTownName2, Qt::LeftButton);
  QCOMPARE(choice.ChosenTown, std::string("TWO"));
  QVERIFY(Ticks(dialog, false, true, false, false));
  QCOMPARE(dialog.EdTownOld->text(), QString());
  QTest::mouseClick(dialog.BtnTownName1, Qt::LeftButton);
  QCOMPARE(choice.ChosenTown, std::string("ONE"));
  QVERIFY(Ticks(dialog, true, false, false, false));
  QTest::mouseClick(dialog.BtnOk, Qt::LeftButton);
  QVERIFY(dialog.isHidden());
  QCOMPARE(dialog.result(), int(QDialog::Accepted));
}

void TownSelectionTest::EnterClosesWithTheFirstNameAndEscapeDoesNot() {
  TTownChoice choice;
  choice.NewTown1 = "ALPHA";
  choice.NewTown2 = "BETA";
  TFakeRecord record;
  TFmTownSelection dialog(nullptr, choice, record);
  dialog.show();
  QTest::keyClick(&dialog, Qt::Key_Escape);
  QVERIFY(dialog.isVisible());
  QTest::keyClick(&dialog, Qt::Key_Return);
  QVERIFY(dialog.isHidden());
  QCOMPARE(choice.ChosenTown, std::string("ALPHA"));
}

void TownSelectionTest::ShowingAgainStartsOverFromTheFirstName() {
  TTownChoice choice;
  choice.NewTown1 = "ALPHA";
  choice.NewTown2 = "BETA";
  choice.NewTown4 = "DELTA";
  TFakeRecord record;
  TFmTownSelection dialog(nullptr, choice, record);
  dialog.show();
  QTest::mouseClick(dialog.BtnTownName4, Qt::LeftButton);
  dialog.accept();

  // The next record: two names, the postcode of that record.
  choice.NewTown1 = "GAMMA";
  choice.NewTown2 = "EPSILON";
  choice.NewTown4.clear();
  record.fields["NAD_PCODE_CD"] = "100020";
  dialog.show();
  QCOMPARE(choice.ChosenTown, std::string("GAMMA"));
  QVERIFY(Ticks(dialog, true, false, false, false));
  QVERIFY(dialog.BtnTownName4->isHidden());
  QCOMPARE(dialog.BtnTownName2->text(), QStringLiteral("EPSILON"));
  QCOMPARE(dialog.EdTownNew->text(), QStringLiteral("GAMMA"));
  QVERIFY(dialog.LblMultiple->text().contains(QStringLiteral("'100020'")));
}

void TownSelectionTest::AboutBoxClosesOnItsButton() {
  TFmAbout about(nullptr);
  about.show();
  QCOMPARE(about.windowTitle(), QStringLiteral("About"));
  QVERIFY(about.BtnOk->isDefault());
  auto texts = about.findChildren<QLabel*>();
  bool version = false;
  for (QLabel* label : texts) version = version || label->text() == QStringLiteral("Version 1.1");
  QVERIFY(version);
  QCOMPARE(about.minimumSize(), about.maximumSize());
  QTest::keyClick(&about, Qt::Key_Return);
  QVERIFY(about.isHidden());
}

}  // namespace ostrevo

QTEST_MAIN(ostrevo::TownSelectionTest)
#include "TownSelectionTest.moc"
