// What every benchmark program shares: counts from the environment, scratch
// directories, the engine table it creates, the SQLite peer's connection and
// statements, one run per repetition with its manual time, the median run of
// each side, and the summary lines that print ours beside the peer with
// their ratio.
//
// Each program measures the engine and a peer doing the same work in the
// same run; the summary's ratio is ours / peer, below 1 faster than the peer.
#pragma once

#include <benchmark/benchmark.h>
#include <sqlite3.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "engine/files/FieldDesc.h"
#include "engine/table/DataDirectory.h"
#include "engine/table/DataTable.h"
#include "engine/table/TableDefinition.h"

namespace ledra::bench {

using TClock = std::chrono::steady_clock;

double SecondsSince(TClock::time_point start);

// A count from the environment variable `name`: `fallback` when it is unset
// or empty; a text that is not a whole number from 1 to `limit` is reported
// on stderr and `fallback` used instead.
uint32_t EnvCount(const char* name, uint32_t fallback, uint32_t limit = 0x7FFFFFFF);

// A bijection of 32-bit numbers that scatters consecutive inputs: distinct
// keys in random order without a set to weed out repeats.
uint32_t Scramble(uint32_t x);

// A fresh directory under the system's temporary directory, removed with its
// files when the object goes.
class TScratchDir {
 public:
  TScratchDir();
  ~TScratchDir();
  TScratchDir(const TScratchDir&) = delete;
  TScratchDir& operator=(const TScratchDir&) = delete;

  const std::filesystem::path& Path() const { return path_; }
  // The path as a database path: ending with the separator.
  std::string DatabasePath() const { return (path_ / "").string(); }

 private:
  std::filesystem::path path_;
};

// ---- Ours ---------------------------------------------------------------------------

// A field of a benchmark table: number, name, type, declared size.
TFieldDesc BenchField(uint16_t fieldNo, std::string name, uint8_t type, uint8_t size = 0);

// Creates the table in the directory; it is left open exclusively, as
// creation leaves it. Throws when the engine refuses.
TDataTable& CreateBenchTable(TDataDirectory& directory, std::string_view name,
                             const TTableDefinition& definition);

// ---- The SQLite peer ----------------------------------------------------------------

// A prepared statement, finalized when it goes.
struct TStatement {
  sqlite3_stmt* Handle = nullptr;

  explicit TStatement(sqlite3_stmt* handle) : Handle(handle) {}
  ~TStatement() { sqlite3_finalize(Handle); }
  TStatement(const TStatement&) = delete;
  TStatement& operator=(const TStatement&) = delete;
};

// A connection to a database file, created when missing; every failure
// throws with SQLite's message.
class TSqlite {
 public:
  explicit TSqlite(const std::string& fileName);
  ~TSqlite();
  TSqlite(const TSqlite&) = delete;
  TSqlite& operator=(const TSqlite&) = delete;

  void Exec(const std::string& sql);
  sqlite3_stmt* Prepare(const std::string& sql);
  [[noreturn]] void Fail(const std::string& what);

  // The settings that match one program holding our table exclusively
  // without asking the system to flush: 4096-byte pages, exclusive locking,
  // no journal, synchronous off.
  void UseAlone();

 private:
  sqlite3* db_ = nullptr;
};

// ---- Memory ---------------------------------------------------------------------------

// The most resident memory this process has had, in bytes: since it started,
// or since the last ResetPeakResident that succeeded. 0 when the system does
// not tell.
uint64_t PeakResidentBytes();
// Starts the peak over from what is resident now (Linux: clear_refs 5);
// false when the system cannot, and the peak then still counts from the
// start of the process.
bool ResetPeakResident();
// The largest peak of the child processes waited for so far, in bytes.
uint64_t ChildrenPeakResidentBytes();
// What is resident now, in bytes (0 when the system does not tell).
uint64_t ResidentBytes();
// What was resident when the current (or last) run started.
uint64_t RunStartResidentBytes();

// ---- Runs and the summary -----------------------------------------------------------

// Registers a benchmark of one iteration per repetition, timed by hand:
// `run` does the work once and answers the seconds it measured; it may set
// counters. An exception skips the run with its message. Every run also
// reports, as the counter "peak_MiB", the most memory resident during it
// (counted from its start where the system allows, else from the program's),
// and as "start_MiB" what was resident when it started: memory an earlier
// run left with the allocator counts in both.
void RegisterRun(const std::string& name, std::function<double(benchmark::State&)> run);

// Runs what the command line selects of the registered benchmarks, then
// prints the summary and, under it, the program's peak resident memory:
// the program's exit status.
int RunBenchmarks(int argc, char** argv, const std::function<void()>& summary);

// The runs of each side (and setting), kept for the summary.
template <class TTimes>
class TRunLog {
 public:
  void Add(std::string side, const TTimes& times, double totalSeconds) {
    runs_.push_back({std::move(side), times, totalSeconds});
  }
  // The run of a side; with repetitions, the one whose total time is the
  // median. None when the side did not run.
  const TTimes* Median(std::string_view side) const {
    std::vector<const TRun*> mine;
    for (const TRun& run : runs_) {
      if (run.Side == side) mine.push_back(&run);
    }
    if (mine.empty()) return nullptr;
    std::sort(mine.begin(), mine.end(),
              [](const TRun* a, const TRun* b) { return a->Total < b->Total; });
    return &mine[mine.size() / 2]->Times;
  }

 private:
  struct TRun {
    std::string Side;
    TTimes Times;
    double Total;
  };
  std::vector<TRun> runs_;
};

// Summary columns: seconds 9 wide with 3 decimals, ratios 7 wide.
void PrintSeconds(double seconds);
// The peer's seconds and the ratio ours / peer.
void PrintPeer(double ours, double peer);
// Our seconds, the peer's and the ratio.
void PrintComparison(double ours, double peer);
// Dashes where a peer's seconds and ratio would be, when it did not run.
void PrintMissingPeer();
// The line under a summary that explains the ratio.
void PrintRatioNote(std::string_view peer = "SQLite");

}  // namespace ledra::bench
