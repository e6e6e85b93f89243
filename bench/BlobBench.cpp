// The blob benchmark: N values of mixed sizes written into a table's blob
// field and read back, beside SQLite storing the same values in a BLOB column
// in the same run.
//
// The values: sizes drawn log-uniformly from 100 bytes to 1 MiB (fixed seed),
// so small and large values are equally common by order of magnitude. The
// mean of that distribution is about 113 KB, so the default 10,000 values
// come to about 1 GiB on each side (1119.6 MB with this seed). Their bytes are slices of one random
// pool (each value starts at its own offset), so nothing is generated while
// the clock runs and every value read back is compared with its slice.
//
// Ours: a table "Blobs" with an integer primary key "Id" and a blob field
// "Data" (blob blocks of OSTREVO_BENCH_BLOB_BLOCK bytes, default 4096),
// created through the engine session; the cursor holds it exclusively (no
// lock calls, changes written when the caches need room and at the end).
// Each value goes into a new record image through the cursor's blob calls
// (the blob opened for writing and freed after the post, the value written in
// one call, the image posted); the write time ends with the table's buffers
// written, without asking the system to flush. Then the cursor walks the
// primary index from the start, and each value is opened for reading, read
// into one buffer in one call, compared and closed. The session's default
// cache sizes.
//
// SQLite: "blobs(id INTEGER PRIMARY KEY, v BLOB)", 4096-byte pages, exclusive
// locking mode, no journal, synchronous off, its default page cache; the
// inserts run in one transaction through one prepared statement (the values
// bound without copying), the time ending with the commit; the values are
// read back through one prepared SELECT in id order inside one read
// transaction and compared.
//
// Before each run the system is asked to write back what earlier runs left in
// its cache (outside the clock), so that neither side pays for the other's
// files. Google Benchmark reports each run (one iteration, its manual time
// the sum of both phases); a summary with the times, MB/s (10^6 bytes per
// second) and the ratios ours/SQLite follows. OSTREVO_BENCH_BLOBS sets the value count
// (default 10000; the total grows with it, about 113 KB a value).
#include <benchmark/benchmark.h>
#include <sqlite3.h>
#include <unistd.h>

#include <algorithm>
#include <cinttypes>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <random>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

#include "bench/BenchHarness.h"
#include "engine/cursor/BlobBuffer.h"
#include "engine/cursor/DataCursor.h"
#include "engine/files/Bytes.h"
#include "engine/table/DataDirectory.h"
#include "engine/table/DataSession.h"
#include "engine/table/DataTable.h"
#include "engine/table/TableDefinition.h"

namespace {

namespace fs = std::filesystem;
using namespace ledra::bench;

constexpr uint32_t kDefaultBlobs = 10000;
constexpr uint32_t kDefaultBlockSize = 4096;
constexpr double kSmallest = 100;
constexpr double kLargest = 1 << 20;
constexpr uint32_t kSizeSeed = 0xB10B5EEDu;
constexpr uint32_t kPoolSeed = 20240602u;
// Values start anywhere in the first kPoolSpread bytes of the pool.
constexpr size_t kPoolSpread = 2u << 20;

// ---- The work both sides do -------------------------------------------------------

struct TWorkload {
  std::vector<uint8_t> Pool;
  std::vector<uint32_t> Offsets;  // value i is Pool[Offsets[i], + Sizes[i])
  std::vector<uint32_t> Sizes;
  uint64_t TotalBytes = 0;
  uint32_t Largest = 0;

  size_t Count() const { return Sizes.size(); }
  std::span<const uint8_t> Value(size_t i) const { return {Pool.data() + Offsets[i], Sizes[i]}; }
};

TWorkload MakeWorkload(uint32_t count) {
  TWorkload work;
  std::mt19937 random(kSizeSeed);
  std::uniform_real_distribution<double> exponent(std::log(kSmallest), std::log(kLargest));
  work.Sizes.reserve(count);
  work.Offsets.reserve(count);
  for (uint32_t i = 0; i < count; ++i) {
    uint32_t size = uint32_t(std::lround(std::exp(exponent(random))));
    size = std::clamp<uint32_t>(size, uint32_t(kSmallest), uint32_t(kLargest));
    work.Sizes.push_back(size);
    work.Offsets.push_back(Scramble(kSizeSeed + i) % kPoolSpread);
    work.TotalBytes += size;
    work.Largest = std::max(work.Largest, size);
  }
  work.Pool.resize(kPoolSpread + size_t(kLargest));
  std::mt19937 fill(kPoolSeed);
  for (size_t at = 0; at < work.Pool.size(); at += 4) {
    ledra::PutLE32(work.Pool.data() + at, fill());
  }
  return work;
}

struct TPhaseTimes {
  double WriteSeconds = 0;
  double ReadSeconds = 0;
  // The size of the file(s) holding the values at the end.
  uint64_t FileBytes = 0;
};

void CheckValue(const TWorkload& work, size_t i, const uint8_t* bytes, size_t length) {
  std::span<const uint8_t> expected = work.Value(i);
  if (length != expected.size() || std::memcmp(bytes, expected.data(), length) != 0) {
    throw std::runtime_error("value " + std::to_string(i + 1) + " was not read back as written");
  }
}

// ---- Ours ---------------------------------------------------------------------------

constexpr int kIdField = 1;
constexpr int kDataField = 2;

ledra::TTableDefinition BlobTableDefinition(uint32_t blockSize) {
  ledra::TFieldDesc id = BenchField(kIdField, "Id", ledra::fldInteger);
  id.Required = 1;
  ledra::TTableDefinition definition;
  definition.Fields = {id, BenchField(kDataField, "Data", ledra::fldBlob)};
  definition.PrimaryIndex.Fields = {kIdField};
  definition.BlobBlockSize = int32_t(blockSize);
  return definition;
}

// The cursor's blob calls answer with a result code.
void Expect(uint16_t result, const char* call) {
  if (result != 0) throw std::runtime_error(std::string(call) + " gave " + std::to_string(result));
}

TPhaseTimes RunEngine(const TWorkload& work, uint32_t blockSize) {
  TScratchDir scratch;
  ledra::TDataSession session;
  ledra::TDataDirectory& directory = session.OpenDirectory("Bench", scratch.DatabasePath());
  directory.CloseTable(CreateBenchTable(directory, "Blobs", BlobTableDefinition(blockSize)), false);

  TPhaseTimes times;
  {
    ledra::TDataCursor cursor(directory);
    cursor.SetTableName("Blobs");
    cursor.SetExclusive(true);
    cursor.Open();
    std::vector<uint8_t> image(cursor.RecordSize());

    TClock::time_point start = TClock::now();
    for (size_t i = 0; i < work.Count(); ++i) {
      cursor.InitRecordBuffer(image.data());
      uint8_t id[4];
      ledra::PutLE32(id, uint32_t(i + 1));
      cursor.SetFieldValue(kIdField, image.data(), id, false, false);
      const std::span<const uint8_t> value = work.Value(i);
      uint32_t length = 0;
      Expect(cursor.OpenBlob(kDataField, image.data(), length, true, ledra::TBlobOpenMode::kWrite),
             "OpenBlob");
      Expect(cursor.WriteBlob(kDataField, image.data(), 0, uint32_t(value.size()), value.data()),
             "WriteBlob");
      cursor.PostInsert(image.data(), false);
    }
    cursor.Table().FlushBuffers({});
    times.WriteSeconds = SecondsSince(start);
    if (cursor.OpenBlobCount() != 0) throw std::runtime_error("blob buffers outlived their post");

    start = TClock::now();
    std::vector<uint8_t> value(work.Largest);
    size_t read = 0;
    cursor.MoveToStart();
    while (cursor.ReadNext(image.data()) == 0) {
      if (read >= work.Count()) throw std::runtime_error("more records than values written");
      uint32_t length = 0;
      Expect(cursor.OpenBlob(kDataField, image.data(), length, false, ledra::TBlobOpenMode::kRead),
             "OpenBlob");
      if (length > value.size()) throw std::runtime_error("a value is longer than any written");
      uint32_t got = 0;
      Expect(cursor.ReadBlob(kDataField, image.data(), 0, length, value.data(), got), "ReadBlob");
      CheckValue(work, read, value.data(), got);
      Expect(cursor.CloseBlob(kDataField, image.data()), "CloseBlob");
      ++read;
    }
    times.ReadSeconds = SecondsSince(start);
    if (read != work.Count()) throw std::runtime_error("fewer records than values written");
    cursor.Close();
  }
  for (const char* extension : {".DAT", ".IDX", ".BLB"}) {
    std::error_code ignored;
    const uintmax_t size =
        fs::file_size(scratch.Path() / (std::string("Blobs") + extension), ignored);
    if (size != uintmax_t(-1)) times.FileBytes += size;
  }
  session.ReleaseDirectory(directory);
  return times;
}

// ---- SQLite ---------------------------------------------------------------------------

TPhaseTimes RunSqlite(const TWorkload& work) {
  TScratchDir scratch;
  const fs::path file = scratch.Path() / "blobs.db";
  TPhaseTimes times;
  {
    TSqlite db(file.string());
    db.UseAlone();
    db.Exec("CREATE TABLE blobs(id INTEGER PRIMARY KEY, v BLOB)");

    TStatement insert{db.Prepare("INSERT INTO blobs(id, v) VALUES(?1, ?2)")};
    TClock::time_point start = TClock::now();
    db.Exec("BEGIN");
    for (size_t i = 0; i < work.Count(); ++i) {
      std::span<const uint8_t> value = work.Value(i);
      sqlite3_bind_int64(insert.Handle, 1, int64_t(i + 1));
      sqlite3_bind_blob(insert.Handle, 2, value.data(), int(value.size()), SQLITE_STATIC);
      if (sqlite3_step(insert.Handle) != SQLITE_DONE) db.Fail("insert");
      sqlite3_reset(insert.Handle);
    }
    db.Exec("COMMIT");
    times.WriteSeconds = SecondsSince(start);

    TStatement select{db.Prepare("SELECT id, v FROM blobs ORDER BY id")};
    start = TClock::now();
    db.Exec("BEGIN");
    size_t read = 0;
    for (;;) {
      const int step = sqlite3_step(select.Handle);
      if (step == SQLITE_DONE) break;
      if (step != SQLITE_ROW) db.Fail("select");
      if (read >= work.Count() || sqlite3_column_int64(select.Handle, 0) != int64_t(read + 1)) {
        throw std::runtime_error("the rows do not match the values written");
      }
      const void* bytes = sqlite3_column_blob(select.Handle, 1);
      const int length = sqlite3_column_bytes(select.Handle, 1);
      CheckValue(work, read, static_cast<const uint8_t*>(bytes), size_t(length));
      ++read;
    }
    db.Exec("COMMIT");
    times.ReadSeconds = SecondsSince(start);
    if (read != work.Count()) throw std::runtime_error("fewer rows than values written");
  }
  times.FileBytes = fs::file_size(file);
  return times;
}

// ---- Runs and the summary ---------------------------------------------------------------

const char* SideName(bool ours) {
  return ours ? "Ledra" : "SQLite";
}

TRunLog<TPhaseTimes>& Runs() {
  static TRunLog<TPhaseTimes> runs;
  return runs;
}

const TWorkload& Workload() {
  static const TWorkload work = MakeWorkload(EnvCount("OSTREVO_BENCH_BLOBS", kDefaultBlobs, 30000));
  return work;
}

uint32_t BlockSize() {
  static const uint32_t size = EnvCount("OSTREVO_BENCH_BLOB_BLOCK", kDefaultBlockSize, 65535);
  return size;
}

double RunSide(benchmark::State& state, bool ours) {
  const TWorkload& work = Workload();
  // The previous run's gigabyte is still being written back by the system;
  // left alone it would slow whichever side runs next.
  ::sync();
  const TPhaseTimes times = ours ? RunEngine(work, BlockSize()) : RunSqlite(work);
  const double megabytes = double(work.TotalBytes) / 1e6;
  state.counters["write_MB_per_s"] = megabytes / times.WriteSeconds;
  state.counters["read_MB_per_s"] = megabytes / times.ReadSeconds;
  state.counters["file_MB"] = double(times.FileBytes) / 1e6;
  state.SetBytesProcessed(int64_t(2 * work.TotalBytes));
  const double total = times.WriteSeconds + times.ReadSeconds;
  Runs().Add(SideName(ours), times, total);
  return total;
}

void PrintSummary() {
  const TWorkload& work = Workload();
  std::printf("\nBlob benchmark, %zu values of 100 B to 1 MiB, %.1f MB in all, largest %" PRIu32
              " B; our blob blocks %" PRIu32 " B\n",
              work.Count(), double(work.TotalBytes) / 1e6, work.Largest, BlockSize());
  const TPhaseTimes* ours = Runs().Median(SideName(true));
  const TPhaseTimes* peer = Runs().Median(SideName(false));
  if (ours == nullptr || peer == nullptr) {
    std::printf("not run on both sides\n");
    return;
  }
  const double megabytes = double(work.TotalBytes) / 1e6;
  std::printf("%-6s %9s %9s %7s %9s %9s\n", "phase", "ours s", "SQLite s", "ratio", "ours MB/s",
              "SQL MB/s");
  auto line = [&](const char* phase, double mine, double theirs) {
    std::printf("%-6s", phase);
    PrintComparison(mine, theirs);
    std::printf(" %9.1f %9.1f\n", megabytes / mine, megabytes / theirs);
  };
  line("write", ours->WriteSeconds, peer->WriteSeconds);
  line("read", ours->ReadSeconds, peer->ReadSeconds);
  std::printf("files: ours %.1f MB, SQLite %.1f MB\n", double(ours->FileBytes) / 1e6,
              double(peer->FileBytes) / 1e6);
  PrintRatioNote();
}

}  // namespace

int main(int argc, char** argv) {
  for (bool ours : {true, false}) {
    RegisterRun(std::string("Blob/") + SideName(ours),
                [ours](benchmark::State& state) { return RunSide(state, ours); });
  }
  return RunBenchmarks(argc, argv, PrintSummary);
}
