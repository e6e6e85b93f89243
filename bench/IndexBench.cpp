// The index benchmark: random inserts into one index of a table held
// exclusively, then random lookups of keys it holds, beside SQLite doing the
// same on a one-column table in the same run.
//
// Both sides get the same keys in the same order, the same lookups and the
// same page-cache budget in bytes; each works in a file of its own in a fresh
// temporary directory. The budget is run twice: at the session's default
// record cache bytes (16384, which gives each index slot two pages) and at one
// large enough to hold the whole index.
//
// Ours: a table with one integer field "Key" and its primary index, created
// through the engine session (held exclusively, so no lock calls); the keys
// are built from record images by the index's key builder and go into the
// B-tree of slot 0 with record numbers 1, 2, ...; the insert time ends with
// the table's buffers written (records, pages and headers), without asking
// the system to flush.
//
// SQLite: a table "keys(k INTEGER PRIMARY KEY) WITHOUT ROWID" (one B-tree on
// the key, as our index is one B-tree), pages of 4096 bytes, exclusive locking
// mode, no journal, synchronous off, cache_size set to the same budget; the
// inserts run in one transaction through one prepared statement, the time
// ending with the commit; the lookups run through one prepared SELECT inside
// one read transaction.
//
// Google Benchmark reports each run (one iteration, its manual time the sum of
// both phases, with per-key counters); a summary with the ratios ours/SQLite
// follows, with the pages of each side's finished file. OSTREVO_BENCH_KEYS
// sets the key count (default 1000000), OSTREVO_BENCH_LARGE_CACHE the large
// budget in bytes (default 64 MiB), and OSTREVO_BENCH_KEY_ORDER=ascending
// inserts the keys 1, 2, .. N in that order, as an AutoInc key fills its
// index (the lookups stay random).
#include <benchmark/benchmark.h>
#include <sqlite3.h>

#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "bench/BenchHarness.h"
#include "engine/files/Bytes.h"
#include "engine/files/DataFile.h"
#include "engine/index/BTree.h"
#include "engine/index/CharMaps.h"
#include "engine/index/IndexFile.h"
#include "engine/index/Keys.h"
#include "engine/table/DataDirectory.h"
#include "engine/table/DataSession.h"
#include "engine/table/DataTable.h"
#include "engine/table/TableDefinition.h"

namespace {

using namespace ledra::bench;

constexpr uint32_t kDefaultKeys = 1000000;
constexpr uint32_t kDefaultCacheBytes = 16384;  // the session's default
constexpr uint32_t kDefaultLargeCacheBytes = 64u << 20;
constexpr uint32_t kKeySeed = 0x5EED1234u;
constexpr uint32_t kLookupSeed = 20240601u;

// ---- The work both sides do -------------------------------------------------------

struct TWorkload {
  std::vector<int32_t> Keys;     // in insert order
  std::vector<int32_t> Lookups;  // each one of Keys
};

// The order the keys are inserted in: scrambled, or ascending
// (OSTREVO_BENCH_KEY_ORDER=ascending).
bool Ascending() {
  static const bool ascending = [] {
    const char* text = std::getenv("OSTREVO_BENCH_KEY_ORDER");
    if (text == nullptr || *text == '\0') return false;
    if (std::string(text) == "ascending") return true;
    if (std::string(text) != "random") {
      std::fprintf(stderr,
                   "OSTREVO_BENCH_KEY_ORDER: '%s' is neither ascending nor random; "
                   "using random\n",
                   text);
    }
    return false;
  }();
  return ascending;
}

TWorkload MakeWorkload(uint32_t count) {
  TWorkload work;
  work.Keys.reserve(count);
  for (uint32_t i = 0; i < count; ++i) {
    work.Keys.push_back(Ascending() ? int32_t(i + 1) : int32_t(Scramble(kKeySeed + i)));
  }
  std::mt19937 random(kLookupSeed);
  std::uniform_int_distribution<uint32_t> pick(0, count - 1);
  work.Lookups.reserve(count);
  for (uint32_t i = 0; i < count; ++i) work.Lookups.push_back(work.Keys[pick(random)]);
  return work;
}

struct TPhaseTimes {
  double InsertSeconds = 0;
  double LookupSeconds = 0;
  // Ours only: the page cache's fetches and reads from the file.
  uint64_t Fetches = 0;
  uint64_t DiskReads = 0;
  // The pages the file holds at the end.
  int64_t FilePages = 0;
};

// ---- Ours ---------------------------------------------------------------------------

class TKeyOrder final : public ledra::TKeyComparator {
 public:
  explicit TKeyOrder(const ledra::TIndexKeys& keys) : keys_(keys) {}
  int CompareKeys(const uint8_t* a, const uint8_t* b, size_t n) const override {
    return keys_.CompareKeys(a, b, n);
  }

 private:
  const ledra::TIndexKeys& keys_;
};

ledra::TTableDefinition KeyTableDefinition() {
  ledra::TFieldDesc field = BenchField(1, "Key", ledra::fldInteger);
  field.Required = 1;
  ledra::TTableDefinition definition;
  definition.Fields = {field};
  definition.PrimaryIndex.Fields = {1};
  return definition;
}

TPhaseTimes RunEngine(const TWorkload& work, uint32_t cacheBytes) {
  TScratchDir scratch;
  ledra::TDataSession session;
  const ledra::TDataSessionSettings defaults;
  session.SetBufferLimits(cacheBytes, defaults.RecordCacheCount, defaults.ThirdBufferLimit,
                          defaults.BlobCacheBytes, defaults.BlobCacheCount);
  ledra::TDataDirectory& directory = session.OpenDirectory("Bench", scratch.DatabasePath());
  ledra::TDataTable& table = CreateBenchTable(directory, "Keys", KeyTableDefinition());
  const ledra::TDataFile& data = table.DataFile();
  ledra::TIndexKeys keys(ledra::kPrimarySlot, table.IndexFile().GetIndexDesc(ledra::kPrimarySlot),
                         data.FieldDescs(), data.RecordSize(), data.LanguageId(), data.SortId(),
                         ledra::GetCharMap(data.LanguageId(), data.SortId()), table.TableName());
  TKeyOrder order(keys);
  ledra::TBTree tree(table.IndexFile(), ledra::kPrimarySlot, order, "Primary");

  std::vector<uint8_t> image(data.RecordSize(), 0);
  std::vector<uint8_t> key(keys.KeyLength(), 0);
  const size_t at = data.FieldDescs().front().Offset;
  image[at] = 1;  // the field has a value
  auto buildKey = [&](int32_t value) {
    ledra::PutLE32(image.data() + at + 1, uint32_t(value));
    keys.BuildKey(image.data(), key.data());
  };

  TPhaseTimes times;
  TClock::time_point start = TClock::now();
  int32_t recordNo = 0;
  for (int32_t value : work.Keys) {
    buildKey(value);
    tree.IndexInsert(key.data(), ++recordNo);
  }
  table.FlushBuffers({.ForceHeaders = {.Index = true}});
  times.InsertSeconds = SecondsSince(start);

  start = TClock::now();
  size_t found = 0;
  for (int32_t value : work.Lookups) {
    buildKey(value);
    found += tree.IndexContains(key.data()) ? 1 : 0;
  }
  times.LookupSeconds = SecondsSince(start);
  times.Fetches = table.IndexFile().CacheStats().Fetches;
  times.DiskReads = table.IndexFile().CacheStats().DiskReads;
  times.FilePages = table.IndexFile().NextPageNo();

  if (found != work.Lookups.size()) throw std::runtime_error("a key inserted was not found");
  if (size_t(tree.EntryCount()) != work.Keys.size()) {
    throw std::runtime_error("the index does not hold every key inserted");
  }
  directory.CloseTable(table, false);
  session.ReleaseDirectory(directory);
  return times;
}

// ---- SQLite ---------------------------------------------------------------------------

TPhaseTimes RunSqlite(const TWorkload& work, uint32_t cacheBytes) {
  TScratchDir scratch;
  TPhaseTimes times;
  {
    TSqlite db((scratch.Path() / "keys.db").string());
    db.UseAlone();
    db.Exec("PRAGMA cache_size=-" + std::to_string(cacheBytes / 1024));
    db.Exec("CREATE TABLE keys(k INTEGER PRIMARY KEY) WITHOUT ROWID");

    TStatement insert{db.Prepare("INSERT INTO keys(k) VALUES(?1)")};
    TClock::time_point start = TClock::now();
    db.Exec("BEGIN");
    for (int32_t value : work.Keys) {
      sqlite3_bind_int(insert.Handle, 1, value);
      if (sqlite3_step(insert.Handle) != SQLITE_DONE) db.Fail("insert");
      sqlite3_reset(insert.Handle);
    }
    db.Exec("COMMIT");
    times.InsertSeconds = SecondsSince(start);

    TStatement lookup{db.Prepare("SELECT 1 FROM keys WHERE k=?1")};
    start = TClock::now();
    db.Exec("BEGIN");
    size_t found = 0;
    for (int32_t value : work.Lookups) {
      sqlite3_bind_int(lookup.Handle, 1, value);
      int step = sqlite3_step(lookup.Handle);
      if (step == SQLITE_ROW) {
        ++found;
      } else if (step != SQLITE_DONE) {
        db.Fail("lookup");
      }
      sqlite3_reset(lookup.Handle);
    }
    db.Exec("COMMIT");
    times.LookupSeconds = SecondsSince(start);
    if (found != work.Lookups.size()) throw std::runtime_error("a key inserted was not found");

    TStatement count{db.Prepare("SELECT count(*) FROM keys")};
    if (sqlite3_step(count.Handle) != SQLITE_ROW ||
        size_t(sqlite3_column_int64(count.Handle, 0)) != work.Keys.size()) {
      throw std::runtime_error("the table does not hold every key inserted");
    }
    TStatement pages{db.Prepare("PRAGMA page_count")};
    if (sqlite3_step(pages.Handle) != SQLITE_ROW) db.Fail("page_count");
    times.FilePages = sqlite3_column_int64(pages.Handle, 0);
  }
  return times;
}

// ---- Runs and the summary ---------------------------------------------------------------

struct TCacheSetting {
  std::string Name;
  uint32_t Bytes;
};

// Runs are logged under "Ledra/<cache>" and "SQLite/<cache>".
std::string SideName(bool ours, const TCacheSetting& cache) {
  return std::string(ours ? "Ledra" : "SQLite") + "/cache:" + cache.Name;
}

TRunLog<TPhaseTimes>& Runs() {
  static TRunLog<TPhaseTimes> runs;
  return runs;
}

const TWorkload& Workload() {
  static const TWorkload work = MakeWorkload(EnvCount("OSTREVO_BENCH_KEYS", kDefaultKeys));
  return work;
}

double RunSide(benchmark::State& state, const TCacheSetting& cache, bool ours) {
  const TWorkload& work = Workload();
  const TPhaseTimes times = ours ? RunEngine(work, cache.Bytes) : RunSqlite(work, cache.Bytes);
  const double keys = double(work.Keys.size());
  state.counters["insert_ns_per_key"] = times.InsertSeconds * 1e9 / keys;
  state.counters["lookup_ns_per_key"] = times.LookupSeconds * 1e9 / keys;
  state.counters["file_pages"] = double(times.FilePages);
  if (ours) {
    state.counters["page_fetches"] = double(times.Fetches);
    state.counters["page_reads"] = double(times.DiskReads);
  }
  state.SetItemsProcessed(int64_t(work.Keys.size() + work.Lookups.size()));
  const double total = times.InsertSeconds + times.LookupSeconds;
  Runs().Add(SideName(ours, cache), times, total);
  return total;
}

std::string Budget(uint32_t bytes) {
  if (bytes >= (1u << 20) && bytes % (1u << 20) == 0) return std::to_string(bytes >> 20) + " MiB";
  if (bytes % 1024 == 0) return std::to_string(bytes / 1024) + " KiB";
  return std::to_string(bytes) + " B";
}

void PrintSummary(const std::vector<TCacheSetting>& caches) {
  std::printf("\nIndex benchmark, %zu %s keys inserted, %zu looked up (seconds)\n",
              Workload().Keys.size(), Ascending() ? "ascending" : "random",
              Workload().Lookups.size());
  std::printf("%-22s %9s %9s %7s  %9s %9s %7s\n", "cache budget", "insert", "SQLite", "ratio",
              "lookup", "SQLite", "ratio");
  for (const TCacheSetting& cache : caches) {
    const TPhaseTimes* ours = Runs().Median(SideName(true, cache));
    const TPhaseTimes* peer = Runs().Median(SideName(false, cache));
    const std::string label = cache.Name + " (" + Budget(cache.Bytes) + ")";
    if (ours == nullptr || peer == nullptr) {
      std::printf("%-22s not run on both sides\n", label.c_str());
      continue;
    }
    std::printf("%-22s", label.c_str());
    PrintComparison(ours->InsertSeconds, peer->InsertSeconds);
    std::printf(" ");
    PrintComparison(ours->LookupSeconds, peer->LookupSeconds);
    std::printf("\n");
  }
  std::printf("%-22s %9s %9s %7s\n", "file pages (4096 B)", "ours", "SQLite", "ratio");
  for (const TCacheSetting& cache : caches) {
    const TPhaseTimes* ours = Runs().Median(SideName(true, cache));
    const TPhaseTimes* peer = Runs().Median(SideName(false, cache));
    if (ours == nullptr || peer == nullptr) continue;
    std::printf("%-22s %9" PRId64 " %9" PRId64 " %7.2f\n", ("  cache: " + cache.Name).c_str(),
                ours->FilePages, peer->FilePages,
                double(ours->FilePages) / double(peer->FilePages));
  }
  PrintRatioNote();
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<TCacheSetting> caches = {
      {"default", kDefaultCacheBytes},
      {"large", EnvCount("OSTREVO_BENCH_LARGE_CACHE", kDefaultLargeCacheBytes)},
  };
  for (const TCacheSetting& cache : caches) {
    for (bool ours : {true, false}) {
      RegisterRun("Index/" + SideName(ours, cache),
                  [cache, ours](benchmark::State& state) { return RunSide(state, cache, ours); });
    }
  }
  return RunBenchmarks(argc, argv, [&] { PrintSummary(caches); });
}
