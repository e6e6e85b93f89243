// Support of the cursor tests: a small table of letters posted by a cursor,
// records written straight into a table's slots and indexes (as another
// program writes them, for the tests of change detection), and the
// whole-table verifier's findings in words.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <sstream>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "engine/cursor/CursorIndex.h"
#include "engine/cursor/DataCursor.h"
#include "engine/files/RecordLayout.h"
#include "engine/files/Bytes.h"
#include "engine/table/DataDirectory.h"
#include "engine/table/DataSession.h"
#include "engine/table/DataTable.h"
#include "engine/index/CharMaps.h"
#include "engine/table/TableLock.h"
#include "engine/table/TableVerifier.h"
#include "tests/engine/table/TableTestSupport.h"
#include "tests/support/TempDir.h"

namespace ledra::test {

// Fields: Code (string 10, offset 9), Num (integer, offset 21), Id (AutoInc,
// the row id); record size 26. Primary index on Code (none with
// `primary` false); "ByNum" non-unique on Num; "CodeDown" descending unique
// on Code.
inline TTableDefinition LettersDefinition(bool primary = true) {
  TTableDefinition definition;
  definition.Fields = {MakeField(1, "Code", fldString, 10), MakeField(2, "Num", fldInteger),
                       MakeField(3, "Id", fldInteger, 0, kSubTypeAutoInc)};
  if (primary) definition.PrimaryIndex.Fields = {1};
  TIndexDefinition byNum;
  byNum.Name = "ByNum";
  byNum.Fields = {2};
  TIndexDefinition down;
  down.Name = "CodeDown";
  down.Fields = {1};
  down.Unique = true;
  down.Descending = true;
  definition.SecondaryIndexes = {byNum, down};
  return definition;
}

constexpr size_t kLettersRecordSize = 26;

struct TLetter {
  std::string code;
  int32_t num = 0;
};

// A record image of the letters table.
inline std::vector<uint8_t> LetterImage(std::string_view code, int32_t num) {
  std::vector<uint8_t> image(kLettersRecordSize, 0);
  if (!code.empty()) {
    image[9] = 1;
    std::memcpy(&image[10], code.data(), std::min<size_t>(code.size(), 10));
  }
  image[21] = 1;
  PutLE32(&image[22], uint32_t(num));
  return image;
}

inline std::string CodeOf(const uint8_t* image) {
  return std::string(reinterpret_cast<const char*>(image + 10),
                     strnlen(reinterpret_cast<const char*>(image + 10), 10));
}

inline std::string CodeOf(const std::vector<uint8_t>& image) {
  return CodeOf(image.data());
}

// The slots holding an index: 0 with a primary index, the secondary ones, 31.
inline std::vector<int> IndexSlots(TDataTable& table) {
  std::vector<int> slots;
  if (!table.IndexFile().NoPrimaryIndex()) slots.push_back(kPrimarySlot);
  for (int s = 1; s <= table.IndexFile().SecondaryIndexCount(); ++s) slots.push_back(s);
  return slots;
}

inline TCursorIndex IndexOf(TDataTable& table, int slot) {
  return TCursorIndex(
      table, slot, GetCharMap(table.DataFile().LanguageId(), table.DataFile().SortId()), nullptr);
}

// Appends a record (never reusing a free slot) with its keys in every index
// and the deleted-records index, and counts it live: its record number. The
// table is exclusive, or the caller holds its write lock.
inline int32_t InsertDirect(TDataTable& table, const std::vector<uint8_t>& fields) {
  TRecord* record = table.RecordCache().FetchRecord(nullptr, table.DataFile().NextRecordNo(),
                                                    kReadForward, false, false);
  const int32_t recordNo = record->RecordNumber();
  uint8_t* image = record->MutableImage();
  std::memcpy(image + 9, fields.data() + 9, fields.size() - 9);
  image[0] = 0;
  PutLE32(image + 1, uint32_t(recordNo));
  PutLE32(image + 5, uint32_t(table.DataFile().NextAutoIncValue()));
  record->MarkDirty();
  const std::vector<uint8_t> copy(image, image + record->ImageSize());
  table.RecordCache().ReleaseRecord(record);

  std::vector<uint8_t> key(kMaxStoredKeyLength);
  for (int slot : IndexSlots(table)) {
    TCursorIndex index = IndexOf(table, slot);
    index.BuildKey(copy.data(), key.data());
    index.Tree().IndexInsert(key.data(), recordNo);
  }
  TIndexKeys::BuildDeletedKey(copy.data(), key.data());
  IndexOf(table, kDeletedSlot).Tree().IndexInsert(key.data(), recordNo);
  table.IndexFile().IncLiveRecordCount();
  return recordNo;
}

// Deletes a record: its keys leave every index, its deleted-records entry
// gets the deleted flag, the slot joins the free chain.
inline void DeleteDirect(TDataTable& table, int32_t recordNo) {
  TRecord* record = table.RecordCache().FetchRecord(nullptr, recordNo, kReadForward, false, false);
  const std::vector<uint8_t> image(record->Image(), record->Image() + record->ImageSize());
  std::vector<uint8_t> key(kMaxStoredKeyLength);
  for (int slot : IndexSlots(table)) {
    TCursorIndex index = IndexOf(table, slot);
    index.BuildKey(image.data(), key.data());
    index.Tree().IndexDelete(key.data());
  }
  uint8_t oldKey[kDeletedKeyLength];
  TIndexKeys::BuildDeletedKey(image.data(), oldKey);
  std::vector<uint8_t> freed = image;
  freed[0] = 1;
  uint8_t newKey[kDeletedKeyLength];
  TIndexKeys::BuildDeletedKey(freed.data(), newKey);
  IndexOf(table, kDeletedSlot).Tree().IndexReplace(oldKey, newKey, recordNo);
  table.RecordCache().FreeRecordSlot(record);
  table.RecordCache().ReleaseRecord(record);
  table.IndexFile().DecLiveRecordCount();
}

// A write to a shared table, as another program makes it: under the write
// lock, flushed before the lock goes.
template <class F>
void WriteShared(TDataTable& table, F&& change) {
  table.AcquireWriteLock();
  change();
  table.FlushBuffers({.ForceHeaders = {.Data = true, .Index = true}});
  table.ReleaseWriteLock();
}

// Creates a letters table holding the records in this order (record numbers
// 1, 2, ...), posted by a cursor, and closes it again.
inline void CreateLetters(TDataDirectory& directory, std::string_view name,
                          const std::vector<TLetter>& letters, bool primary = true) {
  TOpenTableResult created = directory.CreateTable(name, false, false, LettersDefinition(primary));
  ASSERT_NE(created.Table, nullptr);
  directory.CloseTable(*created.Table, false);
  TDataCursor cursor(directory);
  cursor.SetTableName(name);
  cursor.SetExclusive(true);
  cursor.Open();
  for (const TLetter& letter : letters) {
    std::vector<uint8_t> image = LetterImage(letter.code, letter.num);
    cursor.PostInsert(image.data(), false);
  }
  cursor.Close();
}

// What is wrong with a table, in words, one finding a line (empty when
// nothing is): the whole-table verifier that `ledra verify` runs. What this
// session holds unwritten (an exclusive table) is written first, since the
// verifier reads the files.
inline std::string TableFindings(TDataTable& table) {
  table.FlushBuffers({});
  TTableReadLockGuard readLock(table.Lock());
  TTableVerifier verifier(table);
  std::ostringstream out;
  for (const TVerifyFinding& finding : verifier.Run()) {
    out << finding.Area << ": " << finding.Text << "\n";
  }
  readLock.Release();
  return out.str();
}

// A session with a directory in a temporary folder.
class CursorTest : public ::testing::Test {
 protected:
  std::unique_ptr<TDataCursor> OpenCursor(std::string_view table, bool exclusive = false) {
    auto cursor = std::make_unique<TDataCursor>(directory_);
    cursor->SetTableName(table);
    cursor->SetExclusive(exclusive);
    cursor->Open();
    return cursor;
  }

  // Deletes a record through a session of its own, as another program
  // would; this session's caches are then dropped without looking at the
  // headers, so that only a read from disk can find the change.
  void DeleteElsewhere(TDataCursor& cursor, int32_t recordNo) {
    TDataSession other;
    TDataDirectory& directory = other.OpenDirectory("Cursors", dir_.Path().string());
    TDataTable& table = *directory.OpenTable(cursor.TableName(), false, false, false).Table;
    WriteShared(table, [&] { DeleteDirect(table, recordNo); });
    directory.CloseTable(table, false);
    cursor.Table().DropBuffers({});
  }

  // Codes from the cursor's current position on, by ReadNext.
  static std::vector<std::string> ReadAll(TDataCursor& cursor) {
    std::vector<std::string> codes;
    std::vector<uint8_t> image(cursor.RecordSize());
    while (cursor.ReadNext(image.data()) == 0) codes.push_back(CodeOf(image));
    return codes;
  }

  TempDir dir_;
  TDataSession session_;
  TDataDirectory& directory_ = session_.OpenDirectory("Cursors", dir_.Path().string());
};

}  // namespace ledra::test
