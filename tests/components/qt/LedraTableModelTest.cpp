// The table model: columns from the field objects, rows read lazily by
// sequence number into a bounded window, the data link followed, read
// failures reported; and a large table opened, shown at its end and
// scrolled through while reading a bounded number of records.
//
// The large table has a million records (OSTREVO_TEST_MODEL_RECORDS sets
// another size for a quicker run: what is checked, records read, file reads
// and rows held, does not grow with the size). Building it under the
// sanitizers takes a few minutes; the test's time limit allows for it.
#include <QHeaderView>
#include <QScrollBar>
#include <QSignalSpy>
#include <QTableView>
#include <QtTest>
#include <chrono>
#include <cstdlib>
#include <memory>

#include "components/LedraDatabase.h"
#include "components/LedraField.h"
#include "components/LedraTable.h"
#include "components/qt/LedraTableModel.h"
#include "platform/Diagnostics.h"
#include "tests/components/qt/QtTestTables.h"
#include "tests/support/TempDir.h"

using namespace ledra;
using platform::OsCall;

namespace {

constexpr int32_t kSmallRecords = 150;

int32_t LargeRecords() {
  if (const char* text = std::getenv("OSTREVO_TEST_MODEL_RECORDS")) {
    const long value = std::strtol(text, nullptr, 10);
    if (value > 0) return int32_t(value);
  }
  return 1000000;
}

std::array<std::string, 2> SmallPerson(int32_t id) {
  // "Zürich" in code page 1252 for every tenth record.
  return {"Name " + std::to_string(id), id % 10 == 0 ? "Z\xfcrich" : "Town"};
}

QString Cell(const TLedraTableModel& model, int row, int column) {
  return model.data(model.index(row, column)).toString();
}

std::unique_ptr<TLedraTable> OpenPeople(const test::TempDir& dir, const char* name) {
  auto table = std::make_unique<TLedraTable>();
  table->SetDatabaseName(dir.Path().string());
  table->SetTableName(name);
  table->Open();
  return table;
}

}  // namespace

class LedraTableModelTest : public QObject {
  Q_OBJECT

 private:
  test::TempDir dir_;
  int32_t large_ = 0;

 private slots:
  void initTestCase() {
    test::CreatePeople(dir_.Path().string(), "Small", kSmallRecords, {}, SmallPerson);
    large_ = LargeRecords();
    const auto start = std::chrono::steady_clock::now();
    test::CreatePeople(dir_.Path().string(), "Large", large_);
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    qInfo("built %d records in %.1f s", int(large_), took.count());
  }

  void ShowsVisibleFieldsAndTheirValues() {
    auto table = OpenPeople(dir_, "Small");
    table->FieldByName("Id").SetVisible(false);
    table->FieldByName("Town").SetDisplayLabel("City");
    TLedraTableModel model(*table);
    QCOMPARE(model.columnCount(), 2);
    QCOMPARE(model.rowCount(), kSmallRecords);
    QCOMPARE(model.headerData(0, Qt::Horizontal).toString(), QString("Name"));
    QCOMPARE(model.headerData(1, Qt::Horizontal).toString(), QString("City"));
    QCOMPARE(model.ColumnDisplayWidth(0), 20);
    QCOMPARE(Cell(model, 0, 0), QString("Name 1"));
    QCOMPARE(Cell(model, kSmallRecords - 1, 0), QString("Name %1").arg(kSmallRecords));
    QCOMPARE(Cell(model, 9, 1), QString::fromUtf8("Zürich"));
    QCOMPARE(Cell(model, 8, 1), QString("Town"));
    QVERIFY(!model.data(model.index(kSmallRecords, 0)).isValid());
    QVERIFY(!(model.flags(model.index(0, 0)) & Qt::ItemIsEditable));
    // The table's own cursor stays where it was.
    QCOMPARE(table->FieldByName("Name").AsString(), std::string("Name 1"));

    QTableView view;
    model.ConfigureView(view);
    QCOMPARE(view.selectionBehavior(), QAbstractItemView::SelectRows);
    QCOMPARE(view.editTriggers(), QAbstractItemView::NoEditTriggers);
    QVERIFY(view.columnWidth(0) >= 20 * view.fontMetrics().averageCharWidth());
  }

  void FollowsTheTableThroughItsDataLink() {
    auto table = OpenPeople(dir_, "Small");
    TLedraTableModel model(*table);
    QCOMPARE(Cell(model, 0, 1), QString("Name 1"));

    // The current record's change shows at once.
    table->First();
    table->Edit();
    table->FieldByName("Name").SetAsString("First changed");
    table->Post();
    QCOMPARE(Cell(model, 0, 1), QString("First changed"));

    // Moving the current record tells the view its row.
    QSignalSpy moved(&model, &TLedraTableModel::CurrentRowChanged);
    table->Last();
    QVERIFY(!moved.isEmpty());
    QCOMPARE(moved.last().at(0).toInt(), kSmallRecords - 1);
    table->Prior();
    QCOMPARE(moved.last().at(0).toInt(), kSmallRecords - 2);
    QCOMPARE(Cell(model, 0, 1), QString("First changed"));

    // While the controls are disabled nothing new is read or shown.
    table->DisableControls();
    table->First();
    table->Edit();
    table->FieldByName("Name").SetAsString("Changed, disabled");
    table->Post();
    const int64_t readBefore = model.RecordsRead();
    QCOMPARE(Cell(model, 0, 1), QString("First changed"));
    QCOMPARE(Cell(model, kSmallRecords - 1, 1), QString());  // not held: not read
    QCOMPARE(model.RecordsRead(), readBefore);
    table->EnableControls();
    QCOMPARE(Cell(model, 0, 1), QString("Changed, disabled"));
    QCOMPARE(Cell(model, kSmallRecords - 1, 1), QString("Name %1").arg(kSmallRecords));

    // Closing empties the model; opening fills it again.
    table->Close();
    QCOMPARE(model.rowCount(), 0);
    QCOMPARE(model.columnCount(), 0);
    QVERIFY(!model.data(model.index(0, 0)).isValid());
    table->Open();
    QCOMPARE(model.columnCount(), 3);
    QCOMPARE(model.rowCount(), kSmallRecords);
    QCOMPARE(Cell(model, 1, 1), QString("Name 2"));
  }

  void LetsGoOfTheTableBeforeItCloses() {
    TLedraTable table;
    table.SetDatabaseName(dir_.Path().string());
    table.SetTableName("Small");
    table.SetExclusive(true);
    // Linked first, so it hears of the close before the model does.
    struct TProbe : TDataLink {
      TDataDirectory* directory = nullptr;
      size_t openAtClose = 99;
      void ActiveChanged(bool active) override {
        if (!active) openAtClose = directory->TableCount();
      }
    } probe;
    table.AddDataLink(&probe);
    table.Open();
    probe.directory = table.Database()->Handle();
    TLedraTableModel model(table);
    QCOMPARE(Cell(model, 3, 1), QString("Name 4"));
    // When the table reports itself closed, no cursor of the model holds it
    // open any more: the table's close was the last use of its files (and,
    // held exclusively, flushed them).
    table.Close();
    QCOMPARE(probe.openAtClose, size_t(0));
    QCOMPARE(model.rowCount(), 0);
    table.RemoveDataLink(&probe);
  }

  void ReportsAReadFailureInsteadOfRaisingThroughTheView() {
    auto table = OpenPeople(dir_, "Large");
    TLedraTableModel model(*table);
    QSignalSpy failed(&model, &TLedraTableModel::ReadFailed);
    const int middle = large_ / 2;
    platform::FailNext(OsCall::Read, 5, 1000);  // access denied
    const QVariant value = model.data(model.index(middle, 1));
    platform::ClearFaults();
    QVERIFY(!value.isValid());
    QTRY_COMPARE(failed.count(), 1);
    QVERIFY(!failed.first().at(0).toString().isEmpty());
    // No retry on every paint; a refresh reads again.
    QVERIFY(!model.data(model.index(middle, 1)).isValid());
    model.Refresh();
    QCOMPARE(Cell(model, middle, 1), QString("Name %1").arg(middle + 1));
    QCOMPARE(failed.count(), 1);
  }

  void OpensALargeTableAtOnceAndJumpsToItsEnd() {
    auto table = OpenPeople(dir_, "Large");
    platform::ResetCallCounts();
    TLedraTableModel model(*table);
    QCOMPARE(model.rowCount(), large_);
    QCOMPARE(model.RecordsRead(), int64_t(0));

    QTableView view;
    model.ConfigureView(view);
    view.resize(640, 480);
    view.show();
    QVERIFY(QTest::qWaitForWindowExposed(&view));
    QCOMPARE(view.model()->data(view.model()->index(0, 1)).toString(), QString("Name 1"));
    view.scrollToBottom();
    view.viewport()->repaint();
    QCOMPARE(view.rowAt(view.viewport()->height() - 2), large_ - 1);
    QCOMPARE(Cell(model, large_ - 1, 1), QString("Name %1").arg(large_));
    // The blocks of the rows shown at the top and at the bottom, and a
    // handful of file reads for the index pages and records on the way.
    QVERIFY2(model.RecordsRead() <= 4 * TLedraTableModel::kBlockRows,
             qPrintable(QString::number(model.RecordsRead())));
    const uint64_t reads = platform::CallCount(OsCall::Read);
    qInfo("first and last screens: %lld records read, %llu file reads",
          static_cast<long long>(model.RecordsRead()), static_cast<unsigned long long>(reads));
    QVERIFY2(reads < 200, qPrintable(QString::number(reads)));
  }

  void MemoryStaysBoundedWhileScrollingThrough() {
    auto table = OpenPeople(dir_, "Large");
    TLedraTableModel model(*table);
    QTableView view;
    model.ConfigureView(view);
    view.resize(640, 480);
    view.show();
    QVERIFY(QTest::qWaitForWindowExposed(&view));
    QScrollBar* bar = view.verticalScrollBar();
    const int steps = 400;
    for (int step = 0; step <= steps; ++step) {
      bar->setValue(int(int64_t(bar->maximum()) * step / steps));
      view.viewport()->repaint();
      const int row = view.rowAt(0);
      QCOMPARE(Cell(model, row, 1), QString("Name %1").arg(row + 1));
      QVERIFY(model.CachedRows() <= TLedraTableModel::CacheCapacityRows());
    }
    QVERIFY(model.RecordsRead() <= int64_t(steps + 1) * 2 * TLedraTableModel::kBlockRows);
  }
};

QTEST_MAIN(LedraTableModelTest)
#include "LedraTableModelTest.moc"
