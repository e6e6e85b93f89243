// The update benchmark: the application's update run over the demo address
// book, headless, beside the same run written on SQLite in the same program.
//
// The data: `ledra demo` of N records (a third in China) makes the address
// book Smeadt01 and the new-town table NewChinaTowns once; the SQLite peer's
// two tables are loaded from those same tables (every field as its text,
// empty fields as ''). Every repetition works on a fresh copy of the files.
//
// Ours: TUpdateRun over the two tables opened shared through the component
// layer at the session's default settings, as the application opens them;
// confirm answers yes, the town chooser takes the first name, the progress
// and counters go nowhere.
//
// SQLite: addr (the sixteen columns, ACC_NR TEXT PRIMARY KEY) and towns
// (PostCode TEXT PRIMARY KEY, TownName1..4), default cache, synchronous off,
// a busy timeout, every statement prepared once. The walk reads one record at
// a time in key order of ACC_NR ("WHERE ACC_NR > ? ORDER BY ACC_NR LIMIT 1",
// each its own read transaction, so no statement stays open across commits),
// looks the upper-cased postcode up in towns, applies the same town-choice
// rules (TTownChoice) and writes the chosen town as the 30-character string
// field keeps it (cut, no trailing blanks), with "UPDATE ... WHERE ACC_NR=?" in its own
// transaction. Once with the rollback journal (DELETE) and once with WAL.
//
// Contended: the same runs while a second process (forked before the run's
// tables are opened) reads random records by account number and edits the
// third address line of the non-China ones, each edit its own post or
// transaction, until told to stop (and never longer than kChildSeconds). It
// goes through the component layer for ours and through its own SQLite
// connection for the peer. Refused locks or busy databases in the child are
// counted and passed over; the run itself must not fail.
//
// Each run is checked: the counters and every record's town (a hash in key
// order) must equal those of the first run, so both sides do the same work.
//
// OSTREVO_BENCH_RECORDS sets N (default 100000).
#include <benchmark/benchmark.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <random>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "app/AddressBook.h"
#include "app/TownChoice.h"
#include "app/UpdateRun.h"
#include "bench/BenchHarness.h"
#include "components/LedraField.h"
#include "components/LedraTable.h"
#include "tools/ledra/DemoData.h"

namespace {

namespace fs = std::filesystem;
using namespace ledra::bench;

constexpr uint32_t kDefaultRecords = 100000;
constexpr uint32_t kDemoSeed = 1;
constexpr size_t kTownSize = 30;
// The second process stops by itself after this long at the latest.
constexpr int kChildSeconds = 900;
// How long the parent waits for the second process to stop before killing it.
constexpr int kReapSeconds = 30;
constexpr int kBusyTimeoutMs = 10000;

uint32_t Records() {
  static const uint32_t records = EnvCount("OSTREVO_BENCH_RECORDS", kDefaultRecords, 999999);
  return records;
}

std::string Account(uint32_t n) {
  char text[16];
  std::snprintf(text, sizeof text, "TV%06u", unsigned(n));
  return text;
}

// A text as a string field of `size` characters keeps it: cut to the size,
// without trailing blanks.
std::string AsStringField(std::string text, size_t size) {
  if (text.size() > size) text.resize(size);
  while (!text.empty() && text.back() == ' ') text.pop_back();
  return text;
}

bool IsChina(const std::string& country) {
  return ostrevo::TrimText(ostrevo::UpperCaseAscii(country)) == "CN";
}

// FNV-1a over the accounts and towns in key order.
struct THash {
  uint64_t Value = 1469598103934665603ull;
  void Add(std::string_view text) {
    for (char c : text) {
      Value ^= uint8_t(c);
      Value *= 1099511628211ull;
    }
    Value ^= 0xFF;
    Value *= 1099511628211ull;
  }
};

// What a run did; equal on both sides when they did the same work.
struct TOutcome {
  uint32_t TotalRecords = 0, TotalUpdated = 0, AutoUpdated = 0, UserUpdated = 0, Unchanged = 0;
  uint64_t Towns = 0;
  bool operator==(const TOutcome&) const = default;
  std::string Text() const {
    std::ostringstream out;
    out << TotalRecords << " records, " << TotalUpdated << " updated (" << AutoUpdated << " auto, "
        << UserUpdated << " chosen), " << Unchanged << " unchanged, towns hash " << std::hex
        << Towns;
    return out.str();
  }
};

// The first run's outcome is the reference for every later one.
void CheckOutcome(const std::string& side, const TOutcome& outcome) {
  static std::optional<TOutcome> reference;
  if (!reference) {
    reference = outcome;
    std::fprintf(stderr, "%s: %s\n", side.c_str(), outcome.Text().c_str());
    return;
  }
  if (!(outcome == *reference)) {
    throw std::runtime_error(side + " did different work: " + outcome.Text() + " against " +
                             reference->Text());
  }
}

// ---- The data, made once ------------------------------------------------------------

class TTemplate {
 public:
  TTemplate() {
    ledra::tool::TDemoOptions options;
    options.Directory = LedraDir().string();
    options.Records = int32_t(Records());
    options.Seed = kDemoSeed;
    std::ostringstream out, err;
    ledra::tool::TDemoData(options).Run(out, err);
    fs::remove(LedraDir() / ledra::tool::kRegistryFileName);
    LoadSqlite(SqliteFile("DELETE"), "DELETE");
    LoadSqlite(SqliteFile("WAL"), "WAL");
  }

  fs::path LedraDir() const { return dir_.Path() / "ledra"; }
  fs::path SqliteFile(const std::string& mode) const {
    return dir_.Path() / ("addr-" + mode + ".db");
  }
  const std::vector<std::string>& Columns() const { return columns_; }

 private:
  void LoadSqlite(const fs::path& file, const std::string& mode);

  TScratchDir dir_;
  std::vector<std::string> columns_;
};

void TTemplate::LoadSqlite(const fs::path& file, const std::string& mode) {
  TSqlite db(file.string());
  db.Exec("PRAGMA page_size=4096");
  db.Exec("PRAGMA journal_mode=" + mode);
  db.Exec("PRAGMA synchronous=OFF");

  ledra::TLedraTable address;
  ostrevo::SetUpAddressBook(address);
  address.SetDatabaseName(LedraDir().string());
  address.Open();
  columns_.clear();
  std::string create = "CREATE TABLE addr(", insert = "INSERT INTO addr VALUES(";
  for (int i = 0; i < address.FieldCount(); ++i) {
    const std::string& name = address.Fields(i).FieldName();
    columns_.push_back(name);
    create += (i ? ", " : "") + name + (name == "ACC_NR" ? " TEXT PRIMARY KEY" : " TEXT");
    insert += (i ? ", ?" : "?");
  }
  db.Exec(create + ")");
  db.Exec(
      "CREATE TABLE towns(PostCode TEXT PRIMARY KEY, TownName1 TEXT, TownName2 TEXT, "
      "TownName3 TEXT, TownName4 TEXT)");
  db.Exec("BEGIN");
  {
    TStatement statement{db.Prepare(insert + ")")};
    for (address.First(); !address.Eof(); address.Next()) {
      for (int i = 0; i < address.FieldCount(); ++i) {
        const std::string value = address.Fields(i).AsString();
        sqlite3_bind_text(statement.Handle, i + 1, value.data(), int(value.size()),
                          SQLITE_TRANSIENT);
      }
      if (sqlite3_step(statement.Handle) != SQLITE_DONE) db.Fail("insert into addr");
      sqlite3_reset(statement.Handle);
    }
  }
  address.Close();

  ledra::TLedraTable towns;
  ostrevo::SetUpNewTownTable(towns);
  towns.SetDatabaseName(LedraDir().string());
  towns.Open();
  {
    TStatement statement{db.Prepare("INSERT INTO towns VALUES(?, ?, ?, ?, ?)")};
    for (towns.First(); !towns.Eof(); towns.Next()) {
      int column = 1;
      for (const char* name : {"PostCode", "TownName1", "TownName2", "TownName3", "TownName4"}) {
        const std::string value = towns.FieldByName(name).AsString();
        sqlite3_bind_text(statement.Handle, column++, value.data(), int(value.size()),
                          SQLITE_TRANSIENT);
      }
      if (sqlite3_step(statement.Handle) != SQLITE_DONE) db.Fail("insert into towns");
      sqlite3_reset(statement.Handle);
    }
  }
  towns.Close();
  db.Exec("COMMIT");
}

const TTemplate& Template() {
  static const TTemplate data;
  return data;
}

// ---- The second process ---------------------------------------------------------------

// Shared with the second process through an anonymous shared mapping.
struct TChildShared {
  std::atomic<int> Stop{0};
  std::atomic<uint64_t> Reads{0};
  std::atomic<uint64_t> Edits{0};
  std::atomic<uint64_t> Refused{0};
  char Error[256] = {};
};

struct TChildCounts {
  uint64_t Reads = 0, Edits = 0, Refused = 0;
};

// A forked process doing `work` until told to stop; stopped and reaped when
// the object goes, killed when it does not stop in time.
class TSecondProcess {
 public:
  using TWork = std::function<void(TChildShared&)>;

  explicit TSecondProcess(const TWork& work) {
    void* memory = mmap(nullptr, sizeof(TChildShared), PROT_READ | PROT_WRITE,
                        MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    if (memory == MAP_FAILED) throw std::runtime_error("no shared memory for the second process");
    shared_ = new (memory) TChildShared;
    std::fflush(nullptr);
    pid_ = fork();
    if (pid_ < 0) {
      munmap(shared_, sizeof(TChildShared));
      throw std::runtime_error("fork failed");
    }
    if (pid_ == 0) {
      int status = 0;
      try {
        work(*shared_);
      } catch (const std::exception& error) {
        std::snprintf(shared_->Error, sizeof shared_->Error, "%s", error.what());
        status = 1;
      }
      _exit(status);
    }
  }

  ~TSecondProcess() {
    try {
      Stop();
    } catch (...) {
    }
    munmap(shared_, sizeof(TChildShared));
  }

  // Tells the process to stop, reaps it and answers what it did; throws when
  // it failed.
  TChildCounts Stop() {
    if (pid_ <= 0) return counts_;
    shared_->Stop = 1;
    int status = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(kReapSeconds);
    pid_t done = 0;
    while ((done = waitpid(pid_, &status, WNOHANG)) == 0 &&
           std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    if (done == 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, &status, 0);
    }
    pid_ = 0;
    counts_ = {shared_->Reads.load(), shared_->Edits.load(), shared_->Refused.load()};
    if (done == 0) throw std::runtime_error("the second process did not stop; killed");
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
      throw std::runtime_error(std::string("the second process failed: ") + shared_->Error);
    }
    return counts_;
  }

 private:
  TChildShared* shared_ = nullptr;
  pid_t pid_ = 0;
  TChildCounts counts_;
};

bool ChildGoesOn(const TChildShared& shared, TClock::time_point start) {
  return shared.Stop.load(std::memory_order_relaxed) == 0 &&
         SecondsSince(start) < double(kChildSeconds);
}

// The other program on our side: the address book through the component
// layer, a random record read, a non-China one edited and posted.
void OursEditor(const std::string& dir, TChildShared& shared) {
  ledra::TLedraTable table;
  ostrevo::SetUpAddressBook(table);
  table.SetDatabaseName(dir);
  table.Open();
  std::mt19937 random{uint32_t(getpid())};
  const TClock::time_point start = TClock::now();
  for (uint64_t n = 0; ChildGoesOn(shared, start); ++n) {
    try {
      if (!table.FindKey({Account(random() % Records() + 1)})) continue;
      for (int i = 0; i < table.FieldCount(); ++i)
        benchmark::DoNotOptimize(table.Fields(i).AsString());
      ++shared.Reads;
      if (IsChina(table.FieldByName("COU_ID").AsString())) continue;
      table.Edit();
      table.FieldByName("NAD_ADDR_LINE_3_DS").SetAsString("Checked " + std::to_string(n));
      table.Post();
      ++shared.Edits;
    } catch (const std::exception&) {
      // A lock the run holds: count it, drop the edit, go on.
      ++shared.Refused;
      if (table.State() != ledra::dsBrowse) table.Cancel();
    }
  }
  table.Close();
}

void Bind(sqlite3_stmt* statement, int n, const std::string& text) {
  sqlite3_bind_text(statement, n, text.data(), int(text.size()), SQLITE_TRANSIENT);
}

std::string ColumnText(sqlite3_stmt* statement, int column) {
  const unsigned char* text = sqlite3_column_text(statement, column);
  return text == nullptr ? std::string()
                         : std::string(reinterpret_cast<const char*>(text),
                                       size_t(sqlite3_column_bytes(statement, column)));
}

void OpenForRun(TSqlite& db) {
  db.Exec("PRAGMA synchronous=OFF");
  db.Exec("PRAGMA busy_timeout=" + std::to_string(kBusyTimeoutMs));
}

// The other program on SQLite's side, doing the same through its own
// connection.
void SqliteEditor(const std::string& file, TChildShared& shared) {
  TSqlite db(file);
  OpenForRun(db);
  TStatement select{db.Prepare("SELECT * FROM addr WHERE ACC_NR=?")};
  TStatement update{db.Prepare("UPDATE addr SET NAD_ADDR_LINE_3_DS=? WHERE ACC_NR=?")};
  const int country = [&] {
    for (int i = 0; i < sqlite3_column_count(select.Handle); ++i) {
      if (std::string(sqlite3_column_name(select.Handle, i)) == "COU_ID") return i;
    }
    throw std::runtime_error("no COU_ID column");
  }();
  std::mt19937 random{uint32_t(getpid())};
  const TClock::time_point start = TClock::now();
  for (uint64_t n = 0; ChildGoesOn(shared, start); ++n) {
    const std::string account = Account(random() % Records() + 1);
    Bind(select.Handle, 1, account);
    const int step = sqlite3_step(select.Handle);
    bool china = true;
    if (step == SQLITE_ROW) {
      for (int i = 0; i < sqlite3_column_count(select.Handle); ++i) {
        benchmark::DoNotOptimize(sqlite3_column_text(select.Handle, i));
      }
      china = IsChina(ColumnText(select.Handle, country));
      ++shared.Reads;
    }
    sqlite3_reset(select.Handle);
    if (step == SQLITE_BUSY) {
      ++shared.Refused;
      continue;
    }
    if (step != SQLITE_ROW || china) continue;
    Bind(update.Handle, 1, "Checked " + std::to_string(n));
    Bind(update.Handle, 2, account);
    const int done = sqlite3_step(update.Handle);
    sqlite3_reset(update.Handle);
    if (done == SQLITE_DONE) {
      ++shared.Edits;
    } else if (done == SQLITE_BUSY) {
      ++shared.Refused;
    } else {
      db.Fail("update by the second process");
    }
  }
}

// ---- Ours ---------------------------------------------------------------------------

// The windows, answered at once: yes, the first name, nothing shown.
class TQuietWindows : public ostrevo::TUpdateConfirmation,
                      public ostrevo::TTownAsker,
                      public ostrevo::TUpdateProgress {
 public:
  bool ConfirmUpdate() override { return true; }
  void AskTown(ostrevo::TTownChoice& choice) override { choice.ChosenTown = choice.NewTown1; }
  void StartProgress(int32_t) override {}
  void StepProgress() override {}
  void HideProgress() override {}
  void SetStatus(const std::string&) override {}
  void ShowCounters(const std::string&, const std::string&, const std::string&, const std::string&,
                    const std::string&) override {}
  void ProcessMessages() override {}
};

struct TRunResult {
  double Seconds = 0;
  TOutcome Outcome;
  TChildCounts Child;
};

void CopyFiles(const fs::path& from, const fs::path& to) {
  fs::create_directories(to);
  for (const auto& entry : fs::directory_iterator(from)) {
    fs::copy_file(entry.path(), to / entry.path().filename());
  }
}

TRunResult RunOurs(bool contended) {
  const TTemplate& data = Template();
  TScratchDir scratch;
  const std::string dir = scratch.Path().string();
  CopyFiles(data.LedraDir(), scratch.Path());

  std::optional<TSecondProcess> other;
  if (contended) other.emplace([&](TChildShared& shared) { OursEditor(dir, shared); });

  TRunResult result;
  {
    ledra::TLedraTable address, towns;
    ostrevo::SetUpAddressBook(address);
    address.SetDatabaseName(dir);
    ostrevo::SetUpNewTownTable(towns);
    towns.SetDatabaseName(dir);
    address.Open();
    towns.Open();
    ostrevo::TTownChoice choice;
    TQuietWindows windows;
    ostrevo::TUpdateRun run(address, towns, choice, windows, windows, windows);
    const TClock::time_point start = TClock::now();
    run.Run();
    result.Seconds = SecondsSince(start);
    result.Outcome = {run.TotalRecords,   run.TotalUpdated, choice.AutoUpdated,
                      choice.UserUpdated, choice.Unchanged, 0};
    towns.Close();
    address.Close();
  }
  if (other) result.Child = other->Stop();

  ledra::TLedraTable address;
  ostrevo::SetUpAddressBook(address);
  address.SetDatabaseName(dir);
  address.Open();
  THash hash;
  for (address.First(); !address.Eof(); address.Next()) {
    hash.Add(address.FieldByName("ACC_NR").AsString());
    hash.Add(address.FieldByName("NAD_CITY_NM").AsString());
  }
  address.Close();
  result.Outcome.Towns = hash.Value;
  return result;
}

// ---- SQLite ---------------------------------------------------------------------------

// The update run on SQLite: the same walk, lookup, rules and counters as
// TUpdateRun, one record read and one written per transaction.
TOutcome SqliteUpdateRun(TSqlite& db) {
  TOutcome outcome;
  ostrevo::TTownChoice choice;
  TQuietWindows windows;
  choice.ResetCounters();
  if (!windows.ConfirmUpdate()) return outcome;

  TStatement count{db.Prepare("SELECT count(*) FROM addr")};
  TStatement next{db.Prepare(
      "SELECT ACC_NR, COU_ID, NAD_PCODE_CD, NAD_CITY_NM, PRV_NM FROM addr WHERE ACC_NR > ? "
      "ORDER BY ACC_NR LIMIT 1")};
  TStatement lookup{
      db.Prepare("SELECT TownName1, TownName2, TownName3, TownName4 FROM towns WHERE PostCode=?")};
  TStatement update{db.Prepare("UPDATE addr SET NAD_CITY_NM=? WHERE ACC_NR=?")};

  if (sqlite3_step(count.Handle) != SQLITE_ROW) db.Fail("count");
  outcome.TotalRecords = uint32_t(sqlite3_column_int64(count.Handle, 0));
  sqlite3_reset(count.Handle);
  windows.StartProgress(int32_t(outcome.TotalRecords));

  std::string account;  // "" sorts before every account
  for (;;) {
    Bind(next.Handle, 1, account);
    const int step = sqlite3_step(next.Handle);
    if (step == SQLITE_DONE) {
      sqlite3_reset(next.Handle);
      break;
    }
    if (step != SQLITE_ROW) db.Fail("walk");
    account = ColumnText(next.Handle, 0);
    const std::string country = ColumnText(next.Handle, 1);
    const std::string postcode = ColumnText(next.Handle, 2);
    const std::string town = ColumnText(next.Handle, 3);
    const std::string province = ColumnText(next.Handle, 4);
    sqlite3_reset(next.Handle);

    windows.StepProgress();
    if (ostrevo::TrimText(ostrevo::UpperCaseAscii(country)) != "CN") {
      ++choice.Unchanged;
      continue;
    }
    choice.ClearTowns();
    Bind(lookup.Handle, 1, ostrevo::UpperCaseAscii(postcode));
    const int found = sqlite3_step(lookup.Handle);
    if (found != SQLITE_ROW) {
      sqlite3_reset(lookup.Handle);
      if (found != SQLITE_DONE) db.Fail("lookup");
      ++choice.Unchanged;
      continue;
    }
    choice.OldTown = ostrevo::UpperCaseAscii(town);
    choice.OldProvince = ostrevo::UpperCaseAscii(province);
    choice.NewTown1 = ostrevo::UpperCaseAscii(ColumnText(lookup.Handle, 0));
    choice.NewTown2 = ostrevo::UpperCaseAscii(ColumnText(lookup.Handle, 1));
    choice.NewTown3 = ostrevo::UpperCaseAscii(ColumnText(lookup.Handle, 2));
    choice.NewTown4 = ostrevo::UpperCaseAscii(ColumnText(lookup.Handle, 3));
    sqlite3_reset(lookup.Handle);
    if (choice.ChooseTown()) {
      windows.AskTown(choice);
      ++choice.UserUpdated;
    }
    if (!choice.ChosenTown.empty()) {
      ++outcome.TotalUpdated;
      Bind(update.Handle, 1, AsStringField(choice.ChosenTown, kTownSize));
      Bind(update.Handle, 2, account);
      if (sqlite3_step(update.Handle) != SQLITE_DONE) db.Fail("update");
      sqlite3_reset(update.Handle);
    }
  }
  outcome.AutoUpdated = choice.AutoUpdated;
  outcome.UserUpdated = choice.UserUpdated;
  outcome.Unchanged = choice.Unchanged;
  return outcome;
}

TRunResult RunSqlite(const std::string& mode, bool contended) {
  const TTemplate& data = Template();
  TScratchDir scratch;
  const std::string file = (scratch.Path() / "addr.db").string();
  fs::copy_file(data.SqliteFile(mode), file);

  std::optional<TSecondProcess> other;
  if (contended) other.emplace([&](TChildShared& shared) { SqliteEditor(file, shared); });

  TRunResult result;
  {
    TSqlite db(file);
    OpenForRun(db);
    const TClock::time_point start = TClock::now();
    result.Outcome = SqliteUpdateRun(db);
    result.Seconds = SecondsSince(start);
  }
  if (other) result.Child = other->Stop();

  TSqlite db(file);
  TStatement all{db.Prepare("SELECT ACC_NR, NAD_CITY_NM FROM addr ORDER BY ACC_NR")};
  THash hash;
  while (sqlite3_step(all.Handle) == SQLITE_ROW) {
    hash.Add(ColumnText(all.Handle, 0));
    hash.Add(ColumnText(all.Handle, 1));
  }
  result.Outcome.Towns = hash.Value;
  return result;
}

// ---- Runs and the summary ---------------------------------------------------------------

enum TSide : int { kOurs, kSqliteDelete, kSqliteWal, kSideCount };
const char* const kSideNames[kSideCount] = {"Ledra", "SQLite-journal-delete", "SQLite-wal"};

struct TLogged {
  double Seconds = 0;
  uint32_t Records = 0;
  TChildCounts Child;
};

TRunLog<TLogged>& Runs() {
  static TRunLog<TLogged> runs;
  return runs;
}

std::string SideKey(TSide side, bool contended) {
  return std::string(kSideNames[side]) + (contended ? "/contended" : "/alone");
}

double RunSide(benchmark::State& state, TSide side, bool contended) {
  const TRunResult result = side == kOurs           ? RunOurs(contended)
                            : side == kSqliteDelete ? RunSqlite("DELETE", contended)
                                                    : RunSqlite("WAL", contended);
  CheckOutcome(SideKey(side, contended), result.Outcome);
  state.counters["records_per_s"] = double(result.Outcome.TotalRecords) / result.Seconds;
  if (contended) {
    state.counters["other_reads"] = double(result.Child.Reads);
    state.counters["other_edits"] = double(result.Child.Edits);
    state.counters["other_refused"] = double(result.Child.Refused);
  }
  Runs().Add(SideKey(side, contended), {result.Seconds, result.Outcome.TotalRecords, result.Child},
             result.Seconds);
  return result.Seconds;
}

void PrintSummary() {
  std::printf(
      "\nUpdate run over %u address records (records per second; ratio = ours / peer in "
      "seconds)\n",
      Records());
  std::printf("%-10s %10s %10s %7s %10s %7s\n", "", "ours", "SQL del", "ratio", "SQL wal", "ratio");
  for (bool contended : {false, true}) {
    const TLogged* ours = Runs().Median(SideKey(kOurs, contended));
    std::printf("%-10s", contended ? "contended" : "alone");
    if (ours == nullptr) {
      std::printf(" %10s", "-");
    } else {
      std::printf(" %10.0f", ours->Records / ours->Seconds);
    }
    for (TSide peerSide : {kSqliteDelete, kSqliteWal}) {
      const TLogged* peer = Runs().Median(SideKey(peerSide, contended));
      if (peer == nullptr) {
        std::printf(" %10s %7s", "-", "-");
      } else {
        std::printf(" %10.0f", peer->Records / peer->Seconds);
        if (ours == nullptr) {
          std::printf(" %7s", "-");
        } else {
          std::printf(" %7.2f", ours->Seconds / peer->Seconds);
        }
      }
    }
    std::printf("\n");
  }
  PrintRatioNote();
  std::printf("SQL del: rollback journal (DELETE); SQL wal: WAL.\n");

  std::printf("\nThe second process during the contended runs (reads, edits, refused)\n");
  for (int side = 0; side < kSideCount; ++side) {
    const TLogged* run = Runs().Median(SideKey(TSide(side), true));
    if (run == nullptr) continue;
    std::printf("%-22s %10llu %10llu %10llu\n", kSideNames[side],
                static_cast<unsigned long long>(run->Child.Reads),
                static_cast<unsigned long long>(run->Child.Edits),
                static_cast<unsigned long long>(run->Child.Refused));
  }
}

}  // namespace

int main(int argc, char** argv) {
  for (bool contended : {false, true}) {
    for (int side = 0; side < kSideCount; ++side) {
      RegisterRun(std::string("Update/") + SideKey(TSide(side), contended),
                  [side, contended](benchmark::State& state) {
                    return RunSide(state, TSide(side), contended);
                  });
    }
  }
  return RunBenchmarks(argc, argv, PrintSummary);
}
