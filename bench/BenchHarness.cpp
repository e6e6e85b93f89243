#include "bench/BenchHarness.h"

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <random>
#include <stdexcept>

namespace ledra::bench {

namespace fs = std::filesystem;

double SecondsSince(TClock::time_point start) {
  return std::chrono::duration<double>(TClock::now() - start).count();
}

uint32_t EnvCount(const char* name, uint32_t fallback, uint32_t limit) {
  const char* text = std::getenv(name);
  if (text == nullptr || *text == '\0') return fallback;
  char* end = nullptr;
  const unsigned long long value = std::strtoull(text, &end, 10);
  if (end == text || *end != '\0' || *text == '-' || value == 0 || value > limit) {
    std::fprintf(stderr, "%s: '%s' is not a count from 1 to %" PRIu32 "; using %" PRIu32 "\n", name,
                 text, limit, fallback);
    return fallback;
  }
  return uint32_t(value);
}

uint32_t Scramble(uint32_t x) {
  x ^= x >> 16;
  x *= 0x7FEB352Du;
  x ^= x >> 15;
  x *= 0x846CA68Bu;
  x ^= x >> 16;
  return x;
}

TScratchDir::TScratchDir() {
  std::random_device entropy;
  for (int attempt = 0; attempt < 100; ++attempt) {
    fs::path candidate = fs::temp_directory_path() / ("ostrevo-bench-" + std::to_string(entropy()));
    if (fs::create_directory(candidate)) {
      path_ = candidate;
      return;
    }
  }
  throw std::runtime_error("no temporary directory could be made");
}

TScratchDir::~TScratchDir() {
  std::error_code ignored;
  fs::remove_all(path_, ignored);
}

// ---- Ours ---------------------------------------------------------------------------

TFieldDesc BenchField(uint16_t fieldNo, std::string name, uint8_t type, uint8_t size) {
  TFieldDesc field;
  field.FieldNo = fieldNo;
  field.FieldName = std::move(name);
  field.FieldType = type;
  field.Size = size;
  return field;
}

TDataTable& CreateBenchTable(TDataDirectory& directory, std::string_view name,
                             const TTableDefinition& definition) {
  TOpenTableResult created = directory.CreateTable(name, false, false, definition);
  if (created.Table == nullptr) {
    throw std::runtime_error("table " + std::string(name) +
                             " was not created: " + std::to_string(created.Result));
  }
  return *created.Table;
}

// ---- The SQLite peer ----------------------------------------------------------------

TSqlite::TSqlite(const std::string& fileName) {
  if (sqlite3_open_v2(fileName.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE,
                      nullptr) != SQLITE_OK) {
    std::string message = db_ != nullptr ? sqlite3_errmsg(db_) : "out of memory";
    sqlite3_close(db_);
    throw std::runtime_error("sqlite open: " + message);
  }
}

TSqlite::~TSqlite() {
  sqlite3_close(db_);
}

void TSqlite::Exec(const std::string& sql) {
  if (sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, nullptr) != SQLITE_OK) Fail(sql);
}

sqlite3_stmt* TSqlite::Prepare(const std::string& sql) {
  sqlite3_stmt* statement = nullptr;
  if (sqlite3_prepare_v2(db_, sql.c_str(), -1, &statement, nullptr) != SQLITE_OK) Fail(sql);
  return statement;
}

void TSqlite::Fail(const std::string& what) {
  throw std::runtime_error("sqlite: " + what + ": " + sqlite3_errmsg(db_));
}

void TSqlite::UseAlone() {
  Exec("PRAGMA page_size=4096");
  Exec("PRAGMA locking_mode=EXCLUSIVE");
  Exec("PRAGMA journal_mode=OFF");
  Exec("PRAGMA synchronous=OFF");
}

// ---- Runs and the summary -----------------------------------------------------------

void RegisterRun(const std::string& name, std::function<double(benchmark::State&)> run) {
  benchmark::RegisterBenchmark(name.c_str(),
                               [run = std::move(run)](benchmark::State& state) {
                                 for (auto _ : state) {
                                   double seconds = 0;
                                   try {
                                     seconds = run(state);
                                   } catch (const std::exception& error) {
                                     state.SkipWithError(error.what());
                                     return;
                                   }
                                   state.SetIterationTime(seconds);
                                 }
                               })
      ->Iterations(1)
      ->UseManualTime()
      ->Unit(benchmark::kMillisecond);
}

int RunBenchmarks(int argc, char** argv, const std::function<void()>& summary) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  summary();
  benchmark::Shutdown();
  return 0;
}

void PrintSeconds(double seconds) {
  std::printf(" %9.3f", seconds);
}

void PrintPeer(double ours, double peer) {
  std::printf(" %9.3f %7.2f", peer, ours / peer);
}

void PrintComparison(double ours, double peer) {
  PrintSeconds(ours);
  PrintPeer(ours, peer);
}

void PrintMissingPeer() {
  std::printf(" %9s %7s", "-", "-");
}

void PrintRatioNote(std::string_view peer) {
  std::printf("ratio = ours / %.*s: below 1 is faster than %.*s.\n", int(peer.size()), peer.data(),
              int(peer.size()), peer.data());
}

}  // namespace ledra::bench
