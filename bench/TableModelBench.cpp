// The table model benchmark: how long a grid takes to show a table of N
// records (default 1,000,000) when it opens, and to jump to its last rows.
//
// Ours: TLedraTable opened shared through the default session, the
// TLedraTableModel over it, and every cell of one screen of rows read:
// "open" is opening the table, making the model and reading the first
// screen; "jump to end" is reading the last screen with the model open. The
// model reads blocks of records by sequence number through a clone of the
// table's cursor (straight down the primary index by its entry counts).
//
// SQLite, the same rows in people(id INTEGER PRIMARY KEY, name, town): a grid
// over SQL reads windows with LIMIT/OFFSET. "open" is a fresh connection,
// SELECT count(*) (the scroll bar needs the count) and the first window;
// "jump to end" is the window at OFFSET N - rows, which SQLite reaches by
// stepping over the rows before it.
//
// Qt's QSqlTableModel over the same SQLite file (Qt's SQL module with its
// SQLite driver, Debian's libqt6sql6-sqlite): "open" is setTable + select
// (which fetches its first batch) and the first screen; "jump to end" is
// what a view does when scrolled to the bottom: fetchMore until nothing is
// left, then the last screen.
//
// Every side checks the name of each row it shows. OSTREVO_BENCH_MODEL_RECORDS
// sets N, OSTREVO_BENCH_SCREEN_ROWS the rows of a screen (default 30).
#include <QCoreApplication>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlTableModel>
#include <array>
#include <cstdio>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "bench/BenchHarness.h"
#include "components/LedraTable.h"
#include "components/qt/LedraTableModel.h"
#include "engine/cursor/DataCursor.h"
#include "engine/table/DataSession.h"
#include "platform/Diagnostics.h"

namespace {

using namespace ledra::bench;
using ledra::platform::OsCall;

const int kRecords = int(EnvCount("OSTREVO_BENCH_MODEL_RECORDS", 1000000));
const int kScreenRows = int(EnvCount("OSTREVO_BENCH_SCREEN_ROWS", 30, 10000));

constexpr const char* kOurs = "Ours";
constexpr const char* kSqlite = "SQLite";
constexpr const char* kQtSql = "QSqlTableModel";

std::string NameOf(int id) {
  return "Name " + std::to_string(id);
}
std::string TownOf(int id) {
  return "Town " + std::to_string(id % 97);
}

void Check(bool ok, const std::string& what) {
  if (!ok) throw std::runtime_error("check failed: " + what);
}

// ---- The data, made once for all sides -------------------------------------------------

void FillOurs(const TScratchDir& dir) {
  ledra::TDataSession session;
  const ledra::TDataSessionSettings defaults;
  // A large cache while filling (not measured); the table held exclusively.
  session.SetBufferLimits(64u << 20, 1u << 20, defaults.ThirdBufferLimit, defaults.BlobCacheBytes,
                          defaults.BlobCacheCount);
  ledra::TDataDirectory& directory = session.OpenDirectory("", dir.DatabasePath());
  ledra::TTableDefinition definition;
  definition.Fields = {BenchField(1, "Id", ledra::fldInteger),
                       BenchField(2, "Name", ledra::fldString, 20),
                       BenchField(3, "Town", ledra::fldString, 20)};
  definition.PrimaryIndex.Fields = {1};
  directory.CloseTable(CreateBenchTable(directory, "People", definition), false);

  ledra::TDataCursor cursor(directory);
  cursor.SetTableName("People");
  cursor.SetExclusive(true);
  cursor.Open();
  std::vector<uint8_t> image(cursor.RecordSize());
  std::array<uint8_t, 256> value{};
  for (int id = 1; id <= kRecords; ++id) {
    cursor.InitRecordBuffer(image.data());
    const uint8_t idBytes[4] = {uint8_t(id), uint8_t(id >> 8), uint8_t(id >> 16),
                                uint8_t(id >> 24)};
    cursor.SetFieldValue(1, image.data(), idBytes, false, false);
    for (const auto& [fieldNo, text] : {std::pair{2, NameOf(id)}, std::pair{3, TownOf(id)}}) {
      value.fill(0);
      std::memcpy(value.data(), text.data(), text.size());
      cursor.SetFieldValue(fieldNo, image.data(), value.data(), false, false);
    }
    cursor.PostInsert(image.data(), false);
  }
  cursor.Close();
  session.ReleaseDirectory(directory);
}

void FillSqlite(const std::string& file) {
  TSqlite db(file);
  db.UseAlone();
  db.Exec("CREATE TABLE people(id INTEGER PRIMARY KEY, name TEXT, town TEXT)");
  db.Exec("BEGIN");
  TStatement insert(db.Prepare("INSERT INTO people VALUES(?, ?, ?)"));
  for (int id = 1; id <= kRecords; ++id) {
    const std::string name = NameOf(id), town = TownOf(id);
    sqlite3_bind_int(insert.Handle, 1, id);
    sqlite3_bind_text(insert.Handle, 2, name.data(), int(name.size()), SQLITE_TRANSIENT);
    sqlite3_bind_text(insert.Handle, 3, town.data(), int(town.size()), SQLITE_TRANSIENT);
    if (sqlite3_step(insert.Handle) != SQLITE_DONE) db.Fail("insert");
    sqlite3_reset(insert.Handle);
  }
  db.Exec("COMMIT");
}

struct TData {
  TScratchDir dir;
  std::string sqliteFile = (dir.Path() / "people.sqlite").string();
  TData() {
    const auto start = TClock::now();
    FillOurs(dir);
    FillSqlite(sqliteFile);
    std::fprintf(stderr, "%d records on each side, made in %.1f s\n", kRecords,
                 SecondsSince(start));
  }
};

TData& Data() {
  static TData data;
  return data;
}

// ---- Runs ----------------------------------------------------------------------------------

struct TTimes {
  double Open = 0;
  double JumpToEnd = 0;
  double RecordsRead = 0;  // ours: records read for both screens
  double FileReads = 0;    // ours: file reads for both screens
  // Resident memory in bytes: the run's peak, and what it started with.
  double Peak = 0;
  double Start = 0;
};

// Notes the run's memory (the harness started its peak with the run).
void NoteMemory(TTimes& times) {
  times.Peak = double(PeakResidentBytes());
  times.Start = double(RunStartResidentBytes());
}

TRunLog<TTimes>& Runs() {
  static TRunLog<TTimes> runs;
  return runs;
}

// Reads every cell of a screen of rows, checking each row's name.
void ReadScreen(const QAbstractItemModel& model, int first) {
  const int last = std::min(first + kScreenRows, model.rowCount());
  Check(last - first == std::min(kScreenRows, kRecords), "rows on the screen");
  for (int row = first; row < last; ++row) {
    for (int column = 0; column < model.columnCount(); ++column) {
      benchmark::DoNotOptimize(model.data(model.index(row, column)));
    }
    Check(model.data(model.index(row, 1)).toString() == QString::fromStdString(NameOf(row + 1)),
          "row " + std::to_string(row));
  }
}

double RunOurs(benchmark::State& state) {
  const TData& data = Data();
  TTimes times;
  ledra::platform::ResetCallCounts();
  const auto start = TClock::now();
  auto table = std::make_unique<ledra::TLedraTable>();
  table->SetDatabaseName(data.dir.DatabasePath());
  table->SetTableName("People");
  table->Open();
  auto model = std::make_unique<ledra::TLedraTableModel>(*table);
  Check(model->rowCount() == kRecords, "row count");
  ReadScreen(*model, 0);
  times.Open = SecondsSince(start);
  const auto jump = TClock::now();
  ReadScreen(*model, kRecords - kScreenRows);
  times.JumpToEnd = SecondsSince(jump);
  times.RecordsRead = double(model->RecordsRead());
  times.FileReads = double(ledra::platform::CallCount(OsCall::Read));
  model.reset();
  table->Close();
  state.counters["records_read"] = times.RecordsRead;
  state.counters["file_reads"] = times.FileReads;
  NoteMemory(times);
  Runs().Add(kOurs, times, times.Open + times.JumpToEnd);
  return times.Open + times.JumpToEnd;
}

void ReadSqliteWindow(TSqlite& db, int offset) {
  TStatement select(db.Prepare("SELECT id, name, town FROM people ORDER BY id LIMIT ? OFFSET ?"));
  sqlite3_bind_int(select.Handle, 1, kScreenRows);
  sqlite3_bind_int(select.Handle, 2, offset);
  int row = offset;
  while (sqlite3_step(select.Handle) == SQLITE_ROW) {
    const char* name = reinterpret_cast<const char*>(sqlite3_column_text(select.Handle, 1));
    benchmark::DoNotOptimize(sqlite3_column_text(select.Handle, 2));
    Check(name != nullptr && NameOf(row + 1) == name, "SQLite row " + std::to_string(row));
    ++row;
  }
  Check(row == std::min(offset + kScreenRows, kRecords), "SQLite window");
}

double RunSqlite(benchmark::State&) {
  const TData& data = Data();
  TTimes times;
  const auto start = TClock::now();
  TSqlite db(data.sqliteFile);
  {
    TStatement count(db.Prepare("SELECT count(*) FROM people"));
    Check(
        sqlite3_step(count.Handle) == SQLITE_ROW && sqlite3_column_int(count.Handle, 0) == kRecords,
        "SQLite count");
  }
  ReadSqliteWindow(db, 0);
  times.Open = SecondsSince(start);
  const auto jump = TClock::now();
  ReadSqliteWindow(db, kRecords - kScreenRows);
  times.JumpToEnd = SecondsSince(jump);
  NoteMemory(times);
  Runs().Add(kSqlite, times, times.Open + times.JumpToEnd);
  return times.Open + times.JumpToEnd;
}

double RunQtSql(benchmark::State&) {
  const TData& data = Data();
  TTimes times;
  {
    QSqlDatabase db = QSqlDatabase::addDatabase("QSQLITE", "bench");
    db.setDatabaseName(QString::fromStdString(data.sqliteFile));
    db.setConnectOptions("QSQLITE_OPEN_READONLY");
    const auto start = TClock::now();
    Check(db.open(), "Qt SQL open: " + db.lastError().text().toStdString());
    {
      QSqlTableModel model(nullptr, db);
      model.setTable("people");
      model.setSort(0, Qt::AscendingOrder);
      Check(model.select(), "select");
      ReadScreen(model, 0);
      times.Open = SecondsSince(start);
      const auto jump = TClock::now();
      while (model.canFetchMore()) model.fetchMore();
      Check(model.rowCount() == kRecords, "all rows fetched");
      ReadScreen(model, kRecords - kScreenRows);
      times.JumpToEnd = SecondsSince(jump);
    }
    db.close();
  }
  QSqlDatabase::removeDatabase("bench");
  NoteMemory(times);
  Runs().Add(kQtSql, times, times.Open + times.JumpToEnd);
  return times.Open + times.JumpToEnd;
}

// Milliseconds: the times here are far below the harness's seconds columns.
void PrintSummary() {
  const TTimes* ours = Runs().Median(kOurs);
  const TTimes* sqlite = Runs().Median(kSqlite);
  const TTimes* qtSql = Runs().Median(kQtSql);
  std::printf("\nTable model, %d records, screens of %d rows (milliseconds)\n", kRecords,
              kScreenRows);
  std::printf("%-12s %10s %10s %9s %10s %9s\n", "work", "ours", "SQLite", "ratio", "QSqlTM",
              "ratio");
  const auto line = [&](const char* label, double TTimes::*phase) {
    std::printf("%-12s", label);
    const double mine = ours != nullptr ? ours->*phase * 1000 : 0;
    std::printf(" %10.3f", mine);
    for (const TTimes* peer : {sqlite, qtSql}) {
      if (ours == nullptr || peer == nullptr) {
        std::printf(" %10s %9s", "-", "-");
      } else {
        const double theirs = peer->*phase * 1000;
        std::printf(" %10.3f %9.4f", theirs, mine / theirs);
      }
    }
    std::printf("\n");
  };
  line("open", &TTimes::Open);
  line("jump to end", &TTimes::JumpToEnd);
  PrintRatioNote("peer");
  std::printf("SQLite: LIMIT/OFFSET windows; QSqlTM: QSqlTableModel fetching to the end.\n");
  if (ours != nullptr) {
    std::printf("Ours, both screens: %.0f records read, %.0f file reads.\n", ours->RecordsRead,
                ours->FileReads);
  }
  // The grid's memory must not grow with the table: the growth is what a
  // run added to what the program held when it started.
  std::printf("%-12s", "peak MiB");
  for (const TTimes* side : {ours, sqlite, qtSql}) {
    if (side == nullptr) {
      std::printf(" %10s          ", "-");
    } else {
      std::printf(" %10.1f (+%6.1f)", side->Peak / (1 << 20),
                  (side->Peak - side->Start) / (1 << 20));
    }
  }
  std::printf("  (ours, SQLite, QSqlTM; + growth during the run)\n");
}

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  // The tables are made before any run, so that no run's memory counts them.
  Data();
  RegisterRun(std::string("TableModel/") + kOurs, RunOurs);
  RegisterRun(std::string("TableModel/") + kSqlite, RunSqlite);
  RegisterRun(std::string("TableModel/") + kQtSql, RunQtSql);
  return RunBenchmarks(argc, argv, PrintSummary);
}
