#include "bench/BenchHarness.h"

#include <sys/resource.h>

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <fstream>
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

// ---- Memory ---------------------------------------------------------------------------

namespace {

constexpr double kMiB = 1024.0 * 1024.0;

// A "Name:   123 kB" line of /proc/self/status, in bytes; 0 when missing.
uint64_t StatusBytes(const char* name) {
  std::ifstream status("/proc/self/status");
  std::string line;
  const size_t length = std::strlen(name);
  while (std::getline(status, line)) {
    if (line.compare(0, length, name) == 0 && line.size() > length && line[length] == ':') {
      return std::strtoull(line.c_str() + length + 1, nullptr, 10) * 1024u;
    }
  }
  return 0;
}

// The program's peak over the runs that reset it, kept across the resets.
uint64_t programPeak = 0;
uint64_t runStart = 0;

void NoteProgramPeak(uint64_t peak) {
  programPeak = std::max(programPeak, peak);
}

}  // namespace

uint64_t PeakResidentBytes() {
  // VmHWM follows a reset; ru_maxrss never goes down.
  if (const uint64_t peak = StatusBytes("VmHWM")) return peak;
  rusage usage{};
  if (getrusage(RUSAGE_SELF, &usage) != 0) return 0;
  return uint64_t(usage.ru_maxrss) * 1024u;
}

bool ResetPeakResident() {
  std::ofstream clear("/proc/self/clear_refs");
  if (!clear) return false;
  clear << "5";
  clear.flush();
  return bool(clear);
}

uint64_t ResidentBytes() {
  return StatusBytes("VmRSS");
}

uint64_t RunStartResidentBytes() {
  return runStart;
}

uint64_t ChildrenPeakResidentBytes() {
  rusage usage{};
  if (getrusage(RUSAGE_CHILDREN, &usage) != 0) return 0;
  return uint64_t(usage.ru_maxrss) * 1024u;
}

// ---- Runs and the summary -----------------------------------------------------------

void RegisterRun(const std::string& name, std::function<double(benchmark::State&)> run) {
  benchmark::RegisterBenchmark(name.c_str(),
                               [run = std::move(run)](benchmark::State& state) {
                                 for (auto _ : state) {
                                   double seconds = 0;
                                   NoteProgramPeak(PeakResidentBytes());
                                   ResetPeakResident();
                                   runStart = ResidentBytes();
                                   try {
                                     seconds = run(state);
                                   } catch (const std::exception& error) {
                                     state.SkipWithError(error.what());
                                     return;
                                   }
                                   state.SetIterationTime(seconds);
                                   const uint64_t peak = PeakResidentBytes();
                                   NoteProgramPeak(peak);
                                   state.counters["peak_MiB"] = double(peak) / kMiB;
                                   state.counters["start_MiB"] = double(runStart) / kMiB;
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
  NoteProgramPeak(PeakResidentBytes());
  const uint64_t whole = programPeak;
  std::printf("peak resident memory: %.1f MiB for the whole program", double(whole) / kMiB);
  if (const uint64_t children = ChildrenPeakResidentBytes()) {
    std::printf(", %.1f MiB the largest child process", double(children) / kMiB);
  }
  std::printf(" (each run's own: its peak_MiB counter)\n");
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
