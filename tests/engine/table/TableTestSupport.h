// Shared support of the open-table, lock-protocol and session tests: a
// standard table definition and its records, and a cache client that takes
// the table's read lock. Second processes: tests/support/ChildProcess.h.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "engine/errors/EngineError.h"
#include "engine/files/Bytes.h"
#include "engine/table/DataDirectory.h"
#include "engine/table/DataSession.h"
#include "engine/table/DataTable.h"
#include "engine/files/RecordCache.h"
#include "engine/table/TableDefinition.h"
#include "tests/engine/files/FileLayerTestSupport.h"
#include "tests/support/FieldBuilder.h"
#include "tests/support/HeldFiles.h"

namespace ledra::test {

// A table of four fields: Name (string 20, slot 9..30), Amount (integer,
// slot 31..35), Id (AutoInc: the row id), Born (date, slot 36..40); record
// size 41. Primary index on Id; a secondary index "ByName" on Name. With
// `blobs`, a fifth field Notes (memo, slot 41..49; record size 50).
inline TTableDefinition PeopleDefinition(bool blobs = false) {
  TTableDefinition definition;
  definition.Fields = {MakeField(1, "Name", fldString, 20), MakeField(2, "Amount", fldInteger),
                       MakeField(3, "Id", fldInteger, 0, kSubTypeAutoInc),
                       MakeField(4, "Born", fldDate)};
  if (blobs) definition.Fields.push_back(MakeField(5, "Notes", fldBlob, 0, kSubTypeMemo));
  definition.PrimaryIndex.Fields = {3};
  TIndexDefinition byName;
  byName.Name = "ByName";
  byName.Fields = {1};
  definition.SecondaryIndexes.push_back(byName);
  return definition;
}

// Small lock waits for tests.
inline void UseQuickLocks(TDataSession& session) {
  session.SetLockRetryCount(2);
  session.SetLockWaitTime(10);
}

// Takes the table's read lock before the record cache reads from disk.
class TTableCacheClient final : public TRecordCacheClient {
 public:
  explicit TTableCacheClient(TDataTable& table) : table_(table) {}
  bool AcquireReadLockForFetch() override { return table_.AcquireReadLock(); }
  int32_t ReadAheadHint(int32_t, int, int32_t limit) override { return limit; }

 private:
  TDataTable& table_;
};

// Appends records whose Name is each given text and whose Amount is its
// position (1, 2, ...); the table must be open exclusively. Not flushed.
inline void AppendPeople(TDataTable& table, const std::vector<std::string>& names) {
  int32_t amount = 0;
  for (const std::string& name : names) {
    TRecord* record = table.RecordCache().NewRecordSlot(nullptr);
    uint8_t* image = record->MutableImage();
    image[9] = 1;
    std::memcpy(image + 10, name.data(), name.size());
    image[31] = 1;
    PutLE32(image + 32, uint32_t(++amount));
    record->MarkDirty();
    table.RecordCache().ReleaseRecord(record);
    table.IndexFile().IncLiveRecordCount();
  }
}

// Creates the people table in a directory with the given records and closes
// it again.
inline void CreatePeople(TDataDirectory& directory, std::string_view name,
                         const std::vector<std::string>& records, bool blobs = false) {
  TOpenTableResult created = directory.CreateTable(name, false, false, PeopleDefinition(blobs));
  if (created.Table == nullptr) throw std::runtime_error("table not created");
  AppendPeople(*created.Table, records);
  directory.CloseTable(*created.Table, false);
}

inline std::vector<uint8_t> FileBytes(const std::string& name) {
  SkipWhereHeldExclusively(name);
  std::ifstream in(name, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

inline int64_t MillisecondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                               start)
      .count();
}

}  // namespace ledra::test
