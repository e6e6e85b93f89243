// The cursor benchmark: an address book of N records read and edited through
// a cursor on a shared table, beside SQLite doing the same in the same run.
//
// The table: Id (integer, the primary index), Name (string 40), Street
// (string 40), Town (string 30), Postcode (string 6, non-unique index
// "ByPostcode"), Country (string 2), Phone (string 20): records of 158 bytes.
// The records are added in a scrambled order of their ids (1..N), so the
// natural order (record numbers) and the primary-index order differ, as in an
// address book that has lived through deletions and reused slots
// (OSTREVO_BENCH_ORDER=id adds them in id order instead).
//
// Ours: the table is created through the engine session and filled by a
// cursor that holds it exclusively (with a large record cache: the fill is
// not measured); then a fresh session at the default cache sizes opens it
// shared, as the shipping application keeps it, and measures:
//   - a full scan in primary-index order (MoveToStart, ReadNext to the end);
//   - a full scan in natural order;
//   - N FindByKey on the primary index with random existing ids, each key
//     built from an image by the cursor's BuildKey and passed raw;
//   - N edits: FindByKey to the record, ReadCurrent with the lock (the start
//     of an edit), a new Town, PostEdit releasing the lock; every post is
//     written with its headers before the write lock goes.
// Afterwards 1000 more edits count the operating-system calls of one edit,
// split into the FindByKey that reaches the record and the edit itself.
//
// SQLite: the same columns in "addr(id INTEGER PRIMARY KEY, ...)" with an
// index on postcode, filled in one transaction in the same order; then a
// fresh connection in the normal locking mode (locks taken per transaction,
// as a shared database is used) with synchronous off, cache_size equal to
// our budget, every statement prepared once: the scans "SELECT ... ORDER BY
// id" and "SELECT ..." (rowid order, which for an INTEGER PRIMARY KEY table
// is the id order as well), lookups "SELECT ... WHERE id=?" each in its own
// autocommit transaction, and edits "UPDATE addr SET town=? WHERE id=?" each
// in its own autocommit transaction. Every row read has all of its columns
// fetched, as our cursor copies whole records. SQLite runs twice: with the
// default rollback journal (DELETE) and with WAL.
//
// Cache budget: our default record cache (16384 bytes) plus the index page
// caches the same setting gives (two 4096-byte pages for each of the three
// indexes in use: primary, ByPostcode and the deleted-records index) =
// 40 KiB; SQLite gets cache_size=-40.
//
// OSTREVO_BENCH_RECORDS sets N (default 100000).
#include <benchmark/benchmark.h>
#include <sqlite3.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <numeric>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "bench/BenchHarness.h"
#include "engine/cursor/DataCursor.h"
#include "engine/files/Bytes.h"
#include "engine/files/DataFile.h"
#include "engine/files/DataHeader.h"
#include "engine/files/TableFileNames.h"
#include "engine/index/IndexHeader.h"
#include "engine/table/DataDirectory.h"
#include "engine/table/DataSession.h"
#include "engine/table/TableDefinition.h"
#include "engine/table/TableLock.h"
#include "platform/Diagnostics.h"
#include "platform/File.h"

namespace {

using namespace ledra::bench;
using ledra::platform::OsCall;

constexpr uint32_t kDefaultRecords = 100000;
constexpr uint32_t kOrderSeed = 0x0A11CE5u;
constexpr uint32_t kLookupSeed = 20240611u;
constexpr uint32_t kEditSeed = 20240612u;
constexpr uint32_t kCountedEdits = 1000;
// The fill session's record cache: the fill is not measured.
constexpr uint32_t kFillCacheBytes = 64u << 20;
// Our default budget in bytes: record cache 16 KiB + 3 indexes x 2 pages x
// 4 KiB.
constexpr uint32_t kBudgetKiB = 16 + 3 * 2 * 4;

// Field numbers and declared sizes.
enum : int { kId = 1, kName, kStreet, kTown, kPostcode, kCountry, kPhone };
constexpr uint8_t kNameSize = 40;
constexpr uint8_t kStreetSize = 40;
constexpr uint8_t kTownSize = 30;
constexpr uint8_t kPostcodeSize = 6;
constexpr uint8_t kCountrySize = 2;
constexpr uint8_t kPhoneSize = 20;

// ---- The work both sides do -------------------------------------------------------

struct TAddress {
  int32_t Id = 0;
  std::string Name, Street, Town, Postcode, Country, Phone;
};

const char* const kTowns[] = {
    "Guangzhou", "Shenzhen", "Dongguan",  "Foshan",    "Zhuhai",   "Huizhou", "Zhongshan",
    "Jiangmen",  "Shantou",  "Zhanjiang", "Maoming",   "Zhaoqing", "Meizhou", "Qingyuan",
    "Yangjiang", "Chaozhou", "Jieyang",   "Yunfu",     "Heyuan",   "Shanwei", "Shaoguan",
    "Xiamen",    "Fuzhou",   "Quanzhou",  "Zhangzhou", "Ningbo",   "Wenzhou", "Hangzhou",
    "Shaoxing",  "Jiaxing",  "Suzhou",    "Wuxi",      "Changzhou"};

// The address of an id: the same on both sides, made again when needed.
TAddress AddressOf(int32_t id) {
  const uint32_t h = Scramble(uint32_t(id) * 2654435761u);
  char text[64];
  TAddress a;
  a.Id = id;
  std::snprintf(text, sizeof text, "Customer %06d Trading Co Ltd", id);
  a.Name = text;
  std::snprintf(text, sizeof text, "%u Harbour Road, Block %u", h % 900 + 1, (h >> 10) % 40 + 1);
  a.Street = text;
  a.Town = kTowns[(h >> 16) % (sizeof kTowns / sizeof kTowns[0])];
  // About five records per postcode.
  std::snprintf(text, sizeof text, "%06u", 510000 + (h % 20000));
  a.Postcode = text;
  a.Country = (h & 7) == 0 ? "HK" : "CN";
  std::snprintf(text, sizeof text, "+86 20 %04u %04u", (h >> 4) % 10000, (h >> 12) % 10000);
  a.Phone = text;
  return a;
}

std::string EditedTown(size_t edit) {
  char text[32];
  std::snprintf(text, sizeof text, "Renamed town %07zu", edit);
  return text;
}

struct TWorkload {
  std::vector<int32_t> InsertOrder;  // the ids 1..N, scrambled
  std::vector<int32_t> Lookups;      // random existing ids
  std::vector<int32_t> Edits;        // random existing ids
  std::vector<int32_t> CountedEdits;
};

// OSTREVO_BENCH_ORDER=id adds the records in id order, as an AutoInc key
// gives them to a table that never lost a record: the two orders coincide.
bool InsertInIdOrder() {
  const char* text = std::getenv("OSTREVO_BENCH_ORDER");
  return text != nullptr && std::string(text) == "id";
}

TWorkload MakeWorkload(uint32_t count) {
  TWorkload work;
  work.InsertOrder.resize(count);
  std::iota(work.InsertOrder.begin(), work.InsertOrder.end(), 1);
  if (!InsertInIdOrder()) {
    std::shuffle(work.InsertOrder.begin(), work.InsertOrder.end(), std::mt19937(kOrderSeed));
  }
  std::uniform_int_distribution<int32_t> pick(1, int32_t(count));
  std::mt19937 lookups(kLookupSeed);
  std::mt19937 edits(kEditSeed);
  for (uint32_t i = 0; i < count; ++i) work.Lookups.push_back(pick(lookups));
  for (uint32_t i = 0; i < count; ++i) work.Edits.push_back(pick(edits));
  for (uint32_t i = 0; i < kCountedEdits; ++i) work.CountedEdits.push_back(pick(edits));
  return work;
}

const TWorkload& Workload() {
  static const TWorkload work =
      MakeWorkload(EnvCount("OSTREVO_BENCH_RECORDS", kDefaultRecords, 50000000));
  return work;
}

enum TPhase : int { kScanPrimary, kScanNatural, kLookup, kEdit, kPhaseCount };
const char* const kPhaseNames[kPhaseCount] = {"scan primary", "scan natural", "FindByKey",
                                              "edit+post"};
const char* const kPhaseCounters[kPhaseCount] = {"scan_primary_ns", "scan_natural_ns", "lookup_ns",
                                                 "edit_ns"};

// Operating-system calls per operation, averaged.
constexpr std::array<OsCall, 6> kCountedCalls = {OsCall::Read, OsCall::Write,  OsCall::Seek,
                                                 OsCall::Lock, OsCall::Unlock, OsCall::Flush};
constexpr const char* kCallNames[] = {"Read", "Write", "Seek", "Lock", "Unlock", "Flush"};
using TCallCounts = std::array<double, kCountedCalls.size()>;

struct TRunTimes {
  std::array<double, kPhaseCount> Seconds{};
  // Ours only: per counted edit, the FindByKey that reaches the record and
  // the edit (ReadCurrent with the lock, field, PostEdit).
  TCallCounts FindCalls{};
  TCallCounts EditCalls{};
  // Ours only: per record of the timed scans and lookups, and per timed edit.
  std::array<TCallCounts, kPhaseCount> PhaseCalls{};
  // Ours only: the same work's operating-system calls alone (ProtocolFloor).
  std::array<double, kPhaseCount> FloorSeconds{};
};

// ---- Ours ---------------------------------------------------------------------------

ledra::TTableDefinition AddressDefinition() {
  ledra::TTableDefinition definition;
  definition.Fields = {BenchField(kId, "Id", ledra::fldInteger),
                       BenchField(kName, "Name", ledra::fldString, kNameSize),
                       BenchField(kStreet, "Street", ledra::fldString, kStreetSize),
                       BenchField(kTown, "Town", ledra::fldString, kTownSize),
                       BenchField(kPostcode, "Postcode", ledra::fldString, kPostcodeSize),
                       BenchField(kCountry, "Country", ledra::fldString, kCountrySize),
                       BenchField(kPhone, "Phone", ledra::fldString, kPhoneSize)};
  definition.Fields.front().Required = 1;
  definition.PrimaryIndex.Fields = {kId};
  ledra::TIndexDefinition byPostcode;
  byPostcode.Name = "ByPostcode";
  byPostcode.Fields = {kPostcode};
  definition.SecondaryIndexes = {byPostcode};
  return definition;
}

// Writes through the cursor's field access, as the component layer does.
class TImageWriter {
 public:
  explicit TImageWriter(const ledra::TDataCursor& cursor) : cursor_(cursor) {}

  void SetString(int fieldNo, uint8_t* image, const std::string& text) {
    std::array<uint8_t, 256> value{};
    std::memcpy(value.data(), text.data(), std::min<size_t>(text.size(), 255));
    cursor_.SetFieldValue(fieldNo, image, value.data(), false, false);
  }
  void SetId(uint8_t* image, int32_t id) {
    uint8_t value[4];
    ledra::PutLE32(value, uint32_t(id));
    cursor_.SetFieldValue(kId, image, value, false, false);
  }
  int32_t GetId(const uint8_t* image) const {
    bool isNull = true;
    uint8_t value[4] = {};
    cursor_.GetFieldValue(kId, image, isNull, value);
    return isNull ? 0 : int32_t(ledra::GetLE32(value));
  }
  std::string GetString(int fieldNo, const uint8_t* image) const {
    bool isNull = true;
    std::array<char, 256> value{};
    cursor_.GetFieldValue(fieldNo, image, isNull, reinterpret_cast<uint8_t*>(value.data()));
    return isNull ? std::string() : std::string(value.data(), strnlen(value.data(), 255));
  }

 private:
  const ledra::TDataCursor& cursor_;
};

void FillOurs(ledra::TDataSession& session, ledra::TDataDirectory& directory,
              const TWorkload& work) {
  const ledra::TDataSessionSettings defaults;
  session.SetBufferLimits(kFillCacheBytes, 1u << 20, defaults.ThirdBufferLimit,
                          defaults.BlobCacheBytes, defaults.BlobCacheCount);
  directory.CloseTable(CreateBenchTable(directory, "Addr", AddressDefinition()), false);

  ledra::TDataCursor cursor(directory);
  cursor.SetTableName("Addr");
  cursor.SetExclusive(true);
  cursor.Open();
  TImageWriter writer(cursor);
  std::vector<uint8_t> image(cursor.RecordSize());
  for (int32_t id : work.InsertOrder) {
    const TAddress a = AddressOf(id);
    cursor.InitRecordBuffer(image.data());
    writer.SetId(image.data(), id);
    writer.SetString(kName, image.data(), a.Name);
    writer.SetString(kStreet, image.data(), a.Street);
    writer.SetString(kTown, image.data(), a.Town);
    writer.SetString(kPostcode, image.data(), a.Postcode);
    writer.SetString(kCountry, image.data(), a.Country);
    writer.SetString(kPhone, image.data(), a.Phone);
    cursor.PostInsert(image.data(), false);
  }
  cursor.Close();
}

TCallCounts CallsNow() {
  TCallCounts counts{};
  for (size_t i = 0; i < kCountedCalls.size(); ++i) {
    counts[i] = double(ledra::platform::CallCount(kCountedCalls[i]));
  }
  return counts;
}

void AddDifference(TCallCounts& sum, const TCallCounts& before, const TCallCounts& after) {
  for (size_t i = 0; i < sum.size(); ++i) sum[i] += after[i] - before[i];
}

// The calls made since `before`, per operation.
void PerOperation(TCallCounts& out, const TCallCounts& before, size_t operations) {
  const TCallCounts now = CallsNow();
  for (size_t i = 0; i < out.size(); ++i) out[i] = (now[i] - before[i]) / double(operations);
}

// The least time the lock protocol lets any implementation take for each
// phase on this machine: the operating-system calls our timed runs make (the
// same kinds, files and lengths as counted above, at offsets of the same kind:
// a random leaf stands for the one a lookup reaches), replayed through the
// platform layer with no engine work around them. Run on the same files right
// after ours, with nothing else open on them.
//   - primary scan: the records in id order, each read at its slot, records
//     in neighbouring slots in one read of up to the record cache's 16 KiB (in
//     a scrambled table almost every record is a read of its own), and per
//     hundred records (what the record cache holds) a read bracket: read
//     byte, the two header reads, a leaf, unlock;
//   - natural scan: the slots front to back in reads of the record cache's
//     16 KiB, each in its own read bracket;
//   - FindByKey: read byte, .IDX and .DAT header reads, a leaf, the record,
//     unlock (the upper pages stay cached);
//   - edit: that, then the record lock under a read bracket, the write lock
//     with its header check, the record slot and the .DAT header written, and
//     the record lock and the write ranges released.
void ProtocolFloor(const TWorkload& work, const std::string& path, TRunTimes& times) {
  using ledra::platform::File;
  const auto fileName = [&](std::string_view ext) { return path + "Addr" + std::string(ext); };
  const auto open = [&](std::string_view ext) {
    std::unique_ptr<File> file =
        ledra::platform::OpenOsFile(fileName(ext), ledra::platform::OpenOptions{});
    if (!file) throw std::runtime_error("the floor cannot open the table's files");
    return file;
  };
  const std::unique_ptr<File> data = open(ledra::kDataFileExt);
  const std::unique_ptr<File> index = open(ledra::kIndexFileExt);
  const ledra::TDataHeader header = ledra::DecodeDataHeader(
      ledra::TDataFile::ReadRawHeader(fileName(ledra::kDataFileExt), false).data());
  const size_t slotSize = header.RecordSize;
  const int64_t indexPages = index->Seek(0, ledra::platform::SeekOrigin::End) / 4096;

  const size_t records = work.InsertOrder.size();
  std::vector<int32_t> recordOf(records + 1);  // id -> record number (the fill appends)
  for (size_t i = 0; i < records; ++i) recordOf[size_t(work.InsertOrder[i])] = int32_t(i + 1);
  std::vector<uint8_t> buffer(16384);
  std::mt19937 pages(kLookupSeed);
  std::uniform_int_distribution<int64_t> pickPage(1, std::max<int64_t>(1, indexPages - 1));
  uint32_t readByte = 0;

  std::vector<uint8_t> record(slotSize);
  std::vector<uint8_t> dataHeader(ledra::kDataHeaderSize);
  const auto readInto = [&](File& file, int64_t offset, size_t length, uint8_t* into) {
    file.Seek(offset, ledra::platform::SeekOrigin::Begin);
    if (file.Read(into, uint32_t(length)) != int64_t(length))
      throw std::runtime_error("floor read");
  };
  const auto readAt = [&](File& file, int64_t offset, size_t length) {
    readInto(file, offset, length, buffer.data());
  };
  // Written back as read: the table stays as it was.
  const auto writeAt = [&](File& file, int64_t offset, const std::vector<uint8_t>& bytes) {
    file.Seek(offset, ledra::platform::SeekOrigin::Begin);
    if (file.Write(bytes.data(), uint32_t(bytes.size())) != int64_t(bytes.size())) {
      throw std::runtime_error("floor write");
    }
  };
  const auto lock = [](File& file, uint64_t offset, uint64_t length) {
    if (!file.Lock(offset, length)) throw std::runtime_error("floor lock");
  };
  const auto slot = [&](int32_t recordNo) {
    return header.SlotsOffset() + int64_t(recordNo - 1) * int64_t(slotSize);
  };
  const auto headerCheck = [&] {
    readAt(*index, 0, ledra::kIndexHeaderSize);
    readInto(*data, 0, ledra::kDataHeaderSize, dataHeader.data());
  };
  // Opens a read bracket and returns its byte.
  const auto readLock = [&] {
    const uint64_t byte = ledra::kReadByteBase - (readByte++ % ledra::kReadByteCount + 1);
    lock(*index, byte, 1);
    headerCheck();
    return byte;
  };
  const auto find = [&](int32_t id) {
    const uint64_t byte = readLock();
    readAt(*index, pickPage(pages) * 4096, 4096);
    readInto(*data, slot(recordOf[size_t(id)]), slotSize, record.data());
    index->Unlock(byte, 1);
  };

  const size_t perRead = buffer.size() / slotSize;
  TClock::time_point start = TClock::now();
  int32_t runFirst = 0;
  size_t runLength = 0;
  for (size_t id = 1; id <= records; ++id) {
    if (id % 100 == 1) {
      const uint64_t byte = readLock();
      readAt(*index, pickPage(pages) * 4096, 4096);
      index->Unlock(byte, 1);
    }
    const int32_t recordNo = recordOf[id];
    if (runLength > 0 && recordNo == runFirst + int32_t(runLength) && runLength < perRead) {
      ++runLength;
      continue;
    }
    if (runLength > 0) readAt(*data, slot(runFirst), runLength * slotSize);
    runFirst = recordNo;
    runLength = 1;
  }
  readAt(*data, slot(runFirst), runLength * slotSize);
  times.FloorSeconds[kScanPrimary] = SecondsSince(start);

  start = TClock::now();
  for (size_t first = 1; first <= records; first += perRead) {
    const uint64_t byte = readLock();
    readAt(*data, slot(int32_t(first)), std::min(perRead, records - first + 1) * slotSize);
    index->Unlock(byte, 1);
  }
  times.FloorSeconds[kScanNatural] = SecondsSince(start);

  start = TClock::now();
  for (int32_t id : work.Lookups) find(id);
  times.FloorSeconds[kLookup] = SecondsSince(start);

  start = TClock::now();
  for (int32_t id : work.Edits) {
    find(id);
    const int32_t recordNo = recordOf[size_t(id)];
    const uint64_t recordByte = ledra::kRecordLockBase - uint64_t(recordNo);
    const uint64_t byte = readLock();
    lock(*data, recordByte, 1);
    index->Unlock(byte, 1);
    lock(*data, ledra::kWriteByteOffset, 1);
    lock(*index, ledra::kWriteRegionOffset, ledra::kWriteRegionLength);
    headerCheck();
    writeAt(*data, slot(recordNo), record);
    writeAt(*data, 0, dataHeader);
    data->Unlock(recordByte, 1);
    index->Unlock(ledra::kWriteRegionOffset, ledra::kWriteRegionLength);
    data->Unlock(ledra::kWriteByteOffset, 1);
  }
  times.FloorSeconds[kEdit] = SecondsSince(start);
}

TRunTimes RunOurs(const TWorkload& work) {
  TScratchDir scratch;
  const std::string path = scratch.DatabasePath();
  {
    ledra::TDataSession fill;
    ledra::TDataDirectory& directory = fill.OpenDirectory("Bench", path);
    FillOurs(fill, directory, work);
    fill.ReleaseDirectory(directory);
  }

  TRunTimes times;
  ledra::TDataSession session;  // the default settings throughout
  ledra::TDataDirectory& directory = session.OpenDirectory("Bench", path);
  {
    ledra::TDataCursor cursor(directory);
    cursor.SetTableName("Addr");
    cursor.Open();  // shared
    TImageWriter writer(cursor);
    std::vector<uint8_t> image(cursor.RecordSize());
    const size_t records = work.InsertOrder.size();

    auto scan = [&](int indexNo, TPhase phase) {
      cursor.SetIndexNo(indexNo);
      const TCallCounts before = CallsNow();
      TClock::time_point start = TClock::now();
      cursor.MoveToStart();
      size_t seen = 0;
      int64_t idSum = 0;
      int32_t last = 0;
      bool ordered = true;
      while (cursor.ReadNext(image.data()) == 0) {
        const int32_t id = writer.GetId(image.data());
        idSum += id;
        ordered = ordered && id > last;
        last = id;
        ++seen;
      }
      times.Seconds[phase] = SecondsSince(start);
      PerOperation(times.PhaseCalls[phase], before, records);
      if (seen != records || idSum != int64_t(records) * int64_t(records + 1) / 2) {
        throw std::runtime_error(std::string(kPhaseNames[phase]) + " missed records");
      }
      if (indexNo == 0 && !ordered) {
        throw std::runtime_error(std::string(kPhaseNames[phase]) + " not in the expected order");
      }
    };
    scan(0, kScanPrimary);
    scan(ledra::TDataCursor::kNaturalOrder, kScanNatural);

    cursor.SetIndexNo(0);
    std::vector<uint8_t> keyImage(cursor.RecordSize());
    std::vector<uint8_t> key(cursor.KeyLength());
    auto find = [&](int32_t id) {
      cursor.InitRecordBuffer(keyImage.data());
      writer.SetId(keyImage.data(), id);
      cursor.BuildKey(keyImage.data(), key.data());
      if (!cursor.FindByKey(true, key.data(), image.data(), 0, false, 0) ||
          writer.GetId(image.data()) != id) {
        throw std::runtime_error("id " + std::to_string(id) + " not found");
      }
    };

    TCallCounts before = CallsNow();
    TClock::time_point start = TClock::now();
    for (int32_t id : work.Lookups) find(id);
    times.Seconds[kLookup] = SecondsSince(start);
    PerOperation(times.PhaseCalls[kLookup], before, work.Lookups.size());

    size_t editNo = 0;
    auto edit = [&] {
      if (cursor.ReadCurrent(image.data(), true) != 0) throw std::runtime_error("edit refused");
      writer.SetString(kTown, image.data(), EditedTown(editNo++));
      cursor.PostEdit(image.data(), true, true);
    };
    before = CallsNow();
    start = TClock::now();
    for (int32_t id : work.Edits) {
      find(id);
      edit();
    }
    times.Seconds[kEdit] = SecondsSince(start);
    PerOperation(times.PhaseCalls[kEdit], before, work.Edits.size());

    for (int32_t id : work.CountedEdits) {
      const TCallCounts before = CallsNow();
      find(id);
      const TCallCounts found = CallsNow();
      edit();
      AddDifference(times.FindCalls, before, found);
      AddDifference(times.EditCalls, found, CallsNow());
    }
    for (double& calls : times.FindCalls) calls /= double(work.CountedEdits.size());
    for (double& calls : times.EditCalls) calls /= double(work.CountedEdits.size());

    // The last edit is on disk and the table still holds every record.
    find(work.CountedEdits.back());
    if (writer.GetString(kTown, image.data()) != EditedTown(editNo - 1) ||
        cursor.GetRecordCount() != int32_t(records)) {
      throw std::runtime_error("the edits did not stay");
    }
    cursor.Close();
  }
  session.ReleaseDirectory(directory);
  ProtocolFloor(work, path, times);
  return times;
}

// ---- SQLite ---------------------------------------------------------------------------

void BindText(sqlite3_stmt* statement, int n, const std::string& text) {
  sqlite3_bind_text(statement, n, text.data(), int(text.size()), SQLITE_TRANSIENT);
}

// Fetches every column of the row, as our cursor copies whole records: the id.
int32_t FetchRow(sqlite3_stmt* statement, size_t& bytes) {
  for (int column = 1; column < 7; ++column) {
    sqlite3_column_text(statement, column);
    bytes += size_t(sqlite3_column_bytes(statement, column));
  }
  return sqlite3_column_int(statement, 0);
}

constexpr const char* kColumns = "id, name, street, town, postcode, country, phone";

TRunTimes RunSqlite(const TWorkload& work, const std::string& journalMode) {
  TScratchDir scratch;
  const std::string file = (scratch.Path() / "addr.db").string();
  {
    TSqlite db(file);
    db.Exec("PRAGMA page_size=4096");
    db.Exec("PRAGMA journal_mode=" + journalMode);
    db.Exec("PRAGMA synchronous=OFF");
    db.Exec(
        "CREATE TABLE addr(id INTEGER PRIMARY KEY, name TEXT, street TEXT, town TEXT, "
        "postcode TEXT, country TEXT, phone TEXT)");
    db.Exec("CREATE INDEX addr_postcode ON addr(postcode)");
    TStatement insert{db.Prepare("INSERT INTO addr(" + std::string(kColumns) +
                                 ") VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7)")};
    db.Exec("BEGIN");
    for (int32_t id : work.InsertOrder) {
      const TAddress a = AddressOf(id);
      sqlite3_bind_int(insert.Handle, 1, id);
      BindText(insert.Handle, 2, a.Name);
      BindText(insert.Handle, 3, a.Street);
      BindText(insert.Handle, 4, a.Town);
      BindText(insert.Handle, 5, a.Postcode);
      BindText(insert.Handle, 6, a.Country);
      BindText(insert.Handle, 7, a.Phone);
      if (sqlite3_step(insert.Handle) != SQLITE_DONE) db.Fail("insert");
      sqlite3_reset(insert.Handle);
    }
    db.Exec("COMMIT");
  }

  TRunTimes times;
  TSqlite db(file);
  db.Exec("PRAGMA synchronous=OFF");
  db.Exec("PRAGMA cache_size=-" + std::to_string(kBudgetKiB));
  const size_t records = work.InsertOrder.size();
  size_t bytes = 0;

  auto scan = [&](const std::string& sql, TPhase phase) {
    TStatement select{db.Prepare(sql)};
    TClock::time_point start = TClock::now();
    size_t seen = 0;
    int64_t idSum = 0;
    int step;
    while ((step = sqlite3_step(select.Handle)) == SQLITE_ROW) {
      idSum += FetchRow(select.Handle, bytes);
      ++seen;
    }
    times.Seconds[phase] = SecondsSince(start);
    if (step != SQLITE_DONE) db.Fail(sql);
    if (seen != records || idSum != int64_t(records) * int64_t(records + 1) / 2) {
      throw std::runtime_error(std::string("SQLite ") + kPhaseNames[phase] + " missed rows");
    }
  };
  scan("SELECT " + std::string(kColumns) + " FROM addr ORDER BY id", kScanPrimary);
  scan("SELECT " + std::string(kColumns) + " FROM addr", kScanNatural);

  TStatement lookup{db.Prepare("SELECT " + std::string(kColumns) + " FROM addr WHERE id=?1")};
  TClock::time_point start = TClock::now();
  for (int32_t id : work.Lookups) {
    sqlite3_bind_int(lookup.Handle, 1, id);
    if (sqlite3_step(lookup.Handle) != SQLITE_ROW || FetchRow(lookup.Handle, bytes) != id) {
      db.Fail("lookup of " + std::to_string(id));
    }
    sqlite3_reset(lookup.Handle);
  }
  times.Seconds[kLookup] = SecondsSince(start);

  TStatement update{db.Prepare("UPDATE addr SET town=?1 WHERE id=?2")};
  size_t editNo = 0;
  start = TClock::now();
  for (int32_t id : work.Edits) {
    BindText(update.Handle, 1, EditedTown(editNo++));
    sqlite3_bind_int(update.Handle, 2, id);
    if (sqlite3_step(update.Handle) != SQLITE_DONE) db.Fail("update");
    sqlite3_reset(update.Handle);
  }
  times.Seconds[kEdit] = SecondsSince(start);
  benchmark::DoNotOptimize(bytes);
  return times;
}

// ---- Runs and the summary ---------------------------------------------------------------

enum TSide : int { kOurs, kSqliteDelete, kSqliteWal, kSideCount };
const char* const kSideNames[kSideCount] = {"Ledra", "SQLite-journal-delete", "SQLite-wal"};

TRunLog<TRunTimes>& Runs() {
  static TRunLog<TRunTimes> runs;
  return runs;
}

double Total(const TRunTimes& times) {
  double sum = 0;
  for (double seconds : times.Seconds) sum += seconds;
  return sum;
}

double RunSide(benchmark::State& state, TSide side) {
  const TWorkload& work = Workload();
  const TRunTimes times = side == kOurs           ? RunOurs(work)
                          : side == kSqliteDelete ? RunSqlite(work, "DELETE")
                                                  : RunSqlite(work, "WAL");
  const double records = double(work.InsertOrder.size());
  state.counters[kPhaseCounters[kScanPrimary]] = times.Seconds[kScanPrimary] * 1e9 / records;
  state.counters[kPhaseCounters[kScanNatural]] = times.Seconds[kScanNatural] * 1e9 / records;
  state.counters[kPhaseCounters[kLookup]] =
      times.Seconds[kLookup] * 1e9 / double(work.Lookups.size());
  state.counters[kPhaseCounters[kEdit]] = times.Seconds[kEdit] * 1e9 / double(work.Edits.size());
  Runs().Add(kSideNames[side], times, Total(times));
  return Total(times);
}

void PrintCalls(const char* label, const TCallCounts& calls) {
  std::printf("%-34s", label);
  for (double count : calls) std::printf(" %7.2f", count);
  std::printf("\n");
}

void PrintSummary() {
  const TWorkload& work = Workload();
  const TRunTimes* ours = Runs().Median(kSideNames[kOurs]);
  const TRunTimes* journal = Runs().Median(kSideNames[kSqliteDelete]);
  const TRunTimes* wal = Runs().Median(kSideNames[kSqliteWal]);
  std::printf("\nCursor benchmark, %zu address records added in %s order, shared table (seconds)\n",
              work.InsertOrder.size(), InsertInIdOrder() ? "id" : "scrambled");
  std::printf("%-14s %9s %9s %7s %9s %7s\n", "work", "ours", "SQL del", "ratio", "SQL wal",
              "ratio");
  for (int phase = 0; phase < kPhaseCount; ++phase) {
    std::printf("%-14s", kPhaseNames[phase]);
    const double mine = ours != nullptr ? ours->Seconds[size_t(phase)] : 0;
    PrintSeconds(mine);
    for (const TRunTimes* peer : {journal, wal}) {
      if (ours == nullptr || peer == nullptr) {
        PrintMissingPeer();
      } else {
        PrintPeer(mine, peer->Seconds[size_t(phase)]);
      }
    }
    std::printf("\n");
  }
  PrintRatioNote();
  std::printf("SQL del: rollback journal (DELETE); SQL wal: WAL.\n");
  if (ours == nullptr) return;

  // What the lock protocol's calls alone take: below this no implementation
  // of the protocol can go on this machine; the peer takes no such calls.
  std::printf("\nThe same work's system calls alone, replayed with no engine work (seconds)\n");
  std::printf("%-14s %9s %9s %7s %9s %7s\n", "work", "floor", "ours", "/floor", "SQL wal",
              "/floor");
  for (int phase = 0; phase < kPhaseCount; ++phase) {
    const double floor = ours->FloorSeconds[size_t(phase)];
    std::printf("%-14s", kPhaseNames[phase]);
    PrintSeconds(floor);
    PrintSeconds(ours->Seconds[size_t(phase)]);
    std::printf(" %7.2f", ours->Seconds[size_t(phase)] / floor);
    if (wal == nullptr) {
      std::printf(" %9s %7s", "-", "-");
    } else {
      PrintSeconds(wal->Seconds[size_t(phase)]);
      std::printf(" %7.2f", wal->Seconds[size_t(phase)] / floor);
    }
    std::printf("\n");
  }

  std::printf("\nSystem calls per record or operation in the timed runs (ours)\n");
  std::printf("%-34s", "");
  for (const char* name : kCallNames) std::printf(" %7s", name);
  std::printf("\n");
  for (int phase = 0; phase < kPhaseCount; ++phase) {
    PrintCalls(kPhaseNames[phase], ours->PhaseCalls[size_t(phase)]);
  }

  std::printf("\nSystem calls per edit, mean of %zu (ours)\n", work.CountedEdits.size());
  std::printf("%-34s", "");
  for (const char* name : kCallNames) std::printf(" %7s", name);
  std::printf("\n");
  PrintCalls("FindByKey to the record", ours->FindCalls);
  PrintCalls("edit: ReadCurrent(lock) + PostEdit", ours->EditCalls);
  // The least the lock protocol and the update rules allow for an edit of a
  // non-key field on a shared table whose counters did not move: the record
  // lock under a read lock (read byte, record byte; header check of .IDX and
  // .DAT; read byte released), the write lock (.DAT write byte, .IDX write
  // region; header check), the record slot and the .DAT header written, the
  // record lock and the two write ranges released. One seek before each
  // read and write.
  PrintCalls("least the protocol needs", {4, 2, 6, 4, 4, 0});
}

}  // namespace

int main(int argc, char** argv) {
  for (int side = 0; side < kSideCount; ++side) {
    RegisterRun(std::string("Cursor/") + kSideNames[side],
                [side](benchmark::State& state) { return RunSide(state, TSide(side)); });
  }
  return RunBenchmarks(argc, argv, PrintSummary);
}
