#include "app/TownChoice.h"

#include <QByteArray>
#include <QTest>

#include <string>

namespace ostrevo {

namespace {

std::string Str(const QByteArray& bytes) {
  return std::string(bytes.constData(), bytes.size());
}

// The outcome columns shared by the decision tests.
enum TOutcome { kAuto, kUser, kUnchanged };

}  // namespace

class TownChoiceTest : public QObject {
  Q_OBJECT

 private slots:
  void ChooseTown_data();
  void ChooseTown();
  void AskingTheUserChangesNothing();
  void CountersAccumulateOverARun();
  void UpperCaseChangesOnlyAsciiLetters();
  void ContainsTextIsExactAndContiguous();
  void LowerCaseProvinceMatchesAfterUpperCasing();
};

void TownChoiceTest::ChooseTown_data() {
  QTest::addColumn<QByteArray>("oldTown");
  QTest::addColumn<QByteArray>("province");
  QTest::addColumn<QByteArray>("town1");
  QTest::addColumn<QByteArray>("town2");
  QTest::addColumn<QByteArray>("town3");
  QTest::addColumn<QByteArray>("town4");
  QTest::addColumn<bool>("userMustChoose");
  QTest::addColumn<QByteArray>("chosen");
  QTest::addColumn<int>("outcome");

  // Rows 1 to 4: the province named inside a candidate picks it, ahead of the
  // dialog, and the first matching candidate wins.
  QTest::newRow("row1 province in town1")
      << QByteArray("OLD") << QByteArray("HEBEI") << QByteArray("HEBEI CANGZHOU")
      << QByteArray("TIANJIN") << QByteArray() << QByteArray() << false
      << QByteArray("HEBEI CANGZHOU") << int(kAuto);
  QTest::newRow("row1 province in town1 and town3")
      << QByteArray("OLD") << QByteArray("HEBEI") << QByteArray("LANGFANG HEBEI")
      << QByteArray("TIANJIN") << QByteArray("HEBEI BAODING") << QByteArray() << false
      << QByteArray("LANGFANG HEBEI") << int(kAuto);
  QTest::newRow("row2 province in town2 only")
      << QByteArray("OLD") << QByteArray("JIANGSU") << QByteArray("SHANGHAI")
      << QByteArray("KUNSHAN JIANGSU") << QByteArray("SUZHOU") << QByteArray() << false
      << QByteArray("KUNSHAN JIANGSU") << int(kAuto);
  QTest::newRow("row3 province in town3 only")
      << QByteArray("OLD") << QByteArray("GD") << QByteArray("A") << QByteArray("B")
      << QByteArray("C GD") << QByteArray("D GD") << false << QByteArray("C GD") << int(kAuto);
  QTest::newRow("row4 province in town4 only")
      << QByteArray("OLD") << QByteArray("GD") << QByteArray("A") << QByteArray("B")
      << QByteArray("C") << QByteArray("GDX") << false << QByteArray("GDX") << int(kAuto);
  QTest::newRow("row4 with town1 empty")
      << QByteArray("OLD") << QByteArray("GD") << QByteArray() << QByteArray() << QByteArray()
      << QByteArray("GD") << false << QByteArray("GD") << int(kAuto);
  // Row 5: several names, nothing to tell them apart.
  QTest::newRow("row5 town1 and town3, no match")
      << QByteArray("OLD") << QByteArray("ZHEJIANG") << QByteArray("A") << QByteArray()
      << QByteArray("C") << QByteArray() << true << QByteArray() << int(kUser);
  QTest::newRow("row5 empty province, all four set")
      << QByteArray("OLD") << QByteArray() << QByteArray("A") << QByteArray("B") << QByteArray("C")
      << QByteArray("D") << true << QByteArray() << int(kUser);
  QTest::newRow("row5 province differs in case")
      << QByteArray("OLD") << QByteArray("hebei") << QByteArray("HEBEI A") << QByteArray("HEBEI B")
      << QByteArray() << QByteArray() << true << QByteArray() << int(kUser);
  // Rows 6 to 9: one name to take, or the first missing.
  QTest::newRow("row6 town1 only, no match")
      << QByteArray("OLD") << QByteArray("HUNAN") << QByteArray("A") << QByteArray() << QByteArray()
      << QByteArray() << false << QByteArray("A") << int(kAuto);
  QTest::newRow("row7 town2 and town4, no match")
      << QByteArray("OLD") << QByteArray("HUNAN") << QByteArray() << QByteArray("B") << QByteArray()
      << QByteArray("D") << false << QByteArray("B") << int(kAuto);
  QTest::newRow("row8 town3 and town4")
      << QByteArray("OLD") << QByteArray() << QByteArray() << QByteArray() << QByteArray("C")
      << QByteArray("D") << false << QByteArray("C") << int(kAuto);
  QTest::newRow("row9 town4 only")
      << QByteArray("OLD") << QByteArray("X") << QByteArray() << QByteArray() << QByteArray()
      << QByteArray("D") << false << QByteArray("D") << int(kAuto);
  // Row 10: no new name; the record keeps (and is given back) its own town.
  QTest::newRow("row10 all empty")
      << QByteArray("BEIJING") << QByteArray("BEIJING") << QByteArray() << QByteArray()
      << QByteArray() << QByteArray() << false << QByteArray("BEIJING") << int(kUnchanged);
  QTest::newRow("row10 all empty, no old town")
      << QByteArray() << QByteArray() << QByteArray() << QByteArray() << QByteArray()
      << QByteArray() << false << QByteArray() << int(kUnchanged);
}

void TownChoiceTest::ChooseTown() {
  QFETCH(QByteArray, oldTown);
  QFETCH(QByteArray, province);
  QFETCH(QByteArray, town1);
  QFETCH(QByteArray, town2);
  QFETCH(QByteArray, town3);
  QFETCH(QByteArray, town4);
  QFETCH(bool, userMustChoose);
  QFETCH(QByteArray, chosen);
  QFETCH(int, outcome);

  TTownChoice choice;
  choice.OldTown = Str(oldTown);
  choice.OldProvince = Str(province);
  choice.NewTown1 = Str(town1);
  choice.NewTown2 = Str(town2);
  choice.NewTown3 = Str(town3);
  choice.NewTown4 = Str(town4);

  QCOMPARE(choice.ChooseTown(), userMustChoose);
  QCOMPARE(QByteArray::fromStdString(choice.ChosenTown), chosen);
  QCOMPARE(choice.AutoUpdated, outcome == kAuto ? 1u : 0u);
  QCOMPARE(choice.Unchanged, outcome == kUnchanged ? 1u : 0u);
  // The rules never count a user's choice: the run does, after the dialog.
  QCOMPARE(choice.UserUpdated, 0u);
  // The inputs are left as they were.
  QCOMPARE(QByteArray::fromStdString(choice.NewTown1), town1);
  QCOMPARE(QByteArray::fromStdString(choice.OldTown), oldTown);
}

void TownChoiceTest::AskingTheUserChangesNothing() {
  TTownChoice choice;
  choice.AutoUpdated = 7;
  choice.UserUpdated = 8;
  choice.Unchanged = 9;
  choice.OldTown = "OLD";
  choice.NewTown1 = "A";
  choice.NewTown2 = "B";
  QVERIFY(choice.ChooseTown());
  QVERIFY(choice.ChosenTown.empty());
  QCOMPARE(choice.AutoUpdated, 7u);
  QCOMPARE(choice.UserUpdated, 8u);
  QCOMPARE(choice.Unchanged, 9u);
}

void TownChoiceTest::CountersAccumulateOverARun() {
  TTownChoice choice;
  const char* towns[][4] = {
      {"A", "", "", ""}, {"", "", "", ""}, {"A", "B", "", ""}, {"", "B", "", ""}, {"", "", "", ""}};
  int asked = 0;
  for (const auto& row : towns) {
    choice.ClearTowns();
    choice.OldTown = "OLD";
    choice.NewTown1 = row[0];
    choice.NewTown2 = row[1];
    choice.NewTown3 = row[2];
    choice.NewTown4 = row[3];
    if (choice.ChooseTown()) ++asked;
  }
  QCOMPARE(asked, 1);
  QCOMPARE(choice.AutoUpdated, 2u);
  QCOMPARE(choice.Unchanged, 2u);
  choice.ResetCounters();
  QCOMPARE(choice.AutoUpdated + choice.UserUpdated + choice.Unchanged, 0u);
}

void TownChoiceTest::UpperCaseChangesOnlyAsciiLetters() {
  QCOMPARE(UpperCaseAscii("shanghai pudong-1"), std::string("SHANGHAI PUDONG-1"));
  QCOMPARE(UpperCaseAscii("azAZ`{@["), std::string("AZAZ`{@["));
  // cp1252 letters with accents (e with acute 0xE9, a with grave 0xE0, y with
  // diaeresis 0xFF, s with caron 0x9A) and a zero byte stay as they are.
  const std::string accents("\xE9t\xE0\xFF\x9A\0z", 7);
  QCOMPARE(UpperCaseAscii(accents), std::string("\xE9T\xE0\xFF\x9A\0Z", 7));
  QCOMPARE(UpperCaseAscii(""), std::string());
}

void TownChoiceTest::ContainsTextIsExactAndContiguous() {
  QVERIFY(ContainsText("HEBEI CANGZHOU", "HEBEI"));
  QVERIFY(ContainsText("HEBEI CANGZHOU", "CANGZHOU"));
  QVERIFY(ContainsText("HEBEI CANGZHOU", "I C"));
  QVERIFY(ContainsText("HEBEI", "HEBEI"));
  QVERIFY(!ContainsText("HEBEI CANGZHOU", "HEBEIC"));  // not contiguous
  QVERIFY(!ContainsText("HEBEI CANGZHOU", "hebei"));   // case-sensitive
  QVERIFY(!ContainsText("HEBEI", "HEBEI "));           // longer than the text
  QVERIFY(!ContainsText("HEBEI", "BEIJ"));             // runs off the end
  QVERIFY(!ContainsText("", "HEBEI"));
  QVERIFY(!ContainsText("", ""));
  QVERIFY(!ContainsText("HEBEI", ""));
  // Bytes above 127 compare exactly too.
  QVERIFY(ContainsText("Z\xC9RICH", "\xC9R"));
  QVERIFY(!ContainsText("Z\xC9RICH", "\xE9R"));
  // Code page 1252 has no double-byte characters.
  for (int byte = 0; byte < 256; ++byte) QVERIFY(!IsLeadByte(uint8_t(byte)));
}

void TownChoiceTest::LowerCaseProvinceMatchesAfterUpperCasing() {
  // The run upper-cases both sides before the rules see them.
  TTownChoice choice;
  choice.OldTown = UpperCaseAscii("cangzhou");
  choice.OldProvince = UpperCaseAscii("Hebei");
  choice.NewTown1 = UpperCaseAscii("Tianjin");
  choice.NewTown2 = UpperCaseAscii("hebei cangzhou");
  QVERIFY(!choice.ChooseTown());
  QCOMPARE(choice.ChosenTown, std::string("HEBEI CANGZHOU"));
  QCOMPARE(choice.AutoUpdated, 1u);
}

}  // namespace ostrevo

QTEST_APPLESS_MAIN(ostrevo::TownChoiceTest)
#include "TownChoiceTest.moc"
