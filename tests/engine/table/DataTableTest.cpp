#include "engine/table/DataTable.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "engine/errors/EngineError.h"
#include "engine/files/Bytes.h"
#include "engine/table/DataDirectory.h"
#include "engine/table/DataSession.h"
#include "platform/Diagnostics.h"
#include "platform/File.h"
#include "tests/engine/table/TableTestSupport.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/TempDir.h"

namespace ledra {
namespace {

using platform::CallCount;
using platform::OsCall;
using test::ErrorCodeRaisedBy;
using test::TChildProcess;

constexpr uint32_t kReady = 1;
constexpr uint32_t kGo = 2;

class DataTableTest : public ::testing::Test {
 protected:
  std::string Path() const { return dir_.Path().string(); }
  bool Exists(const std::string& name) const { return std::filesystem::exists(dir_.File(name)); }
  int64_t SizeOf(const std::string& name) const {
    return int64_t(std::filesystem::file_size(dir_.File(name)));
  }

  test::TempDir dir_;
  TDataSession session_;
  TDataDirectory& directory_ = session_.OpenDirectory("Town", Path());
};

// ---- Creating --------------------------------------------------------------------

TEST_F(DataTableTest, CreatedTableFilesHoldTheDefinition) {
  TOpenTableResult created =
      directory_.CreateTable("People", false, false, test::PeopleDefinition());
  ASSERT_EQ(created.Result, 0);
  ASSERT_NE(created.Table, nullptr);
  TDataTable& table = *created.Table;
  EXPECT_TRUE(table.Exclusive());
  EXPECT_EQ(table.OpenCount(), 1);
  EXPECT_FALSE(Exists("People.BLB"));

  // The headers are on disk at once.
  std::vector<uint8_t> data = test::FileBytes(dir_.File("People.DAT"));
  ASSERT_EQ(data.size(), 127u + 4u * 768u);
  EXPECT_EQ(GetLE32(&data[0]), 1u);   // ChangeCount after the first write
  EXPECT_EQ(data[8], 5);              // FormatVersion
  EXPECT_EQ(GetLE32(&data[9]), 0u);   // FirstFreeRecord
  EXPECT_EQ(GetLE32(&data[13]), 1u);  // NextRecordNo
  EXPECT_EQ(GetLE16(&data[21]), 41);  // RecordSize: 9 + 22 + 5 + 5
  EXPECT_EQ(GetLE16(&data[23]), 4);   // FieldCount
  EXPECT_EQ(GetLE16(&data[25]), 0);   // BlobFieldCount
  EXPECT_EQ(GetLE32(&data[116]), 31200u);
  const uint8_t* name = &data[127];
  EXPECT_EQ(GetLE16(name + 0), 1);
  EXPECT_EQ(name[2], 4);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(name + 3), 4), "Name");
  EXPECT_EQ(name[84], 1);            // string
  EXPECT_EQ(name[86], 20);           // Size
  EXPECT_EQ(name[88], 21);           // DataSize
  EXPECT_EQ(GetLE16(name + 90), 9);  // Offset
  const uint8_t* id = &data[127 + 2 * 768];
  EXPECT_EQ(id[84], 6);
  EXPECT_EQ(id[85], 29);
  EXPECT_EQ(GetLE16(id + 90), 5);
  const uint8_t* born = &data[127 + 3 * 768];
  EXPECT_EQ(GetLE16(born + 90), 36);

  std::vector<uint8_t> index = test::FileBytes(dir_.File("People.IDX"));
  ASSERT_EQ(index.size(), 4096u);
  EXPECT_EQ(GetLE32(&index[0]), 1u);  // IdxChangeCount
  EXPECT_EQ(index[8], 5);
  EXPECT_EQ(GetLE32(&index[9]), 1u);  // NextPageNo
  EXPECT_EQ(index[13], 1);            // SecondaryIndexCount
  const uint8_t* primary = &index[14];
  EXPECT_EQ(primary[0], 0);             // nameless
  EXPECT_EQ(GetLE16(primary + 31), 5);  // integer key: 4 + 1
  EXPECT_EQ(primary[35], 1);            // unique
  EXPECT_EQ(primary[37], 1);            // one key field
  EXPECT_EQ(GetLE16(primary + 54), 3);  // Id
  const uint8_t* byName = &index[14 + 120];
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(byName + 1), byName[0]), "ByName");
  EXPECT_EQ(GetLE16(byName + 31), 26);  // 21 + 1 + row-id tail
  EXPECT_EQ(byName[35], 0);
  EXPECT_EQ(GetLE16(byName + 54), 1);
  const uint8_t* deleted = &index[14 + 120 * 31];
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(deleted + 1), deleted[0]), "Sys Deleted");
  EXPECT_EQ(index[3978], 0);  // has a primary index

  // Records appended to the exclusive table reach the disk when it closes.
  test::AppendPeople(table, {"Ann", "Bob"});
  EXPECT_EQ(SizeOf("People.DAT"), 3199);
  directory_.CloseTable(table, false);
  EXPECT_EQ(directory_.TableCount(), 0u);
  data = test::FileBytes(dir_.File("People.DAT"));
  ASSERT_EQ(data.size(), 3199u + 2u * 41u);
  EXPECT_EQ(GetLE32(&data[13]), 3u);
  EXPECT_EQ(GetLE32(&data[0]), 2u);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(&data[3199 + 41 + 10]), 3), "Bob");
}

TEST_F(DataTableTest, TableWithBlobsGetsItsBlobFileAndBlockSize) {
  TTableDefinition definition = test::PeopleDefinition(true);
  definition.BlobBlockSize = 1024;
  TOpenTableResult created = directory_.CreateTable("Notes", false, false, definition);
  ASSERT_NE(created.Table, nullptr);
  EXPECT_EQ(created.Table->BlobFile().BlockSize(), 1024);
  directory_.CloseTable(*created.Table, false);
  std::vector<uint8_t> blob = test::FileBytes(dir_.File("Notes.BLB"));
  ASSERT_EQ(blob.size(), 512u);
  EXPECT_EQ(blob[8], 5);
  EXPECT_EQ(GetLE32(&blob[13]), 1u);  // no blocks yet
  std::vector<uint8_t> data = test::FileBytes(dir_.File("Notes.DAT"));
  EXPECT_EQ(GetLE32(&data[4]), 1024u);
  EXPECT_EQ(GetLE16(&data[25]), 1);
}

TEST_F(DataTableTest, RefusedDefinitionsLeaveNoFiles) {
  auto refused = [&](const TTableDefinition& definition) {
    TEngineErrorCode code =
        ErrorCodeRaisedBy([&] { directory_.CreateTable("Bad", false, false, definition); });
    EXPECT_FALSE(Exists("Bad.DAT"));
    EXPECT_FALSE(Exists("Bad.IDX"));
    EXPECT_FALSE(Exists("Bad.BLB"));
    EXPECT_EQ(directory_.TableCount(), 0u);
    return code;
  };
  TTableDefinition blobKey = test::PeopleDefinition(true);
  blobKey.SecondaryIndexes[0].Fields = {5};
  EXPECT_EQ(refused(blobKey), LEDRA_SEARCHCOLREQD);

  TTableDefinition twins = test::PeopleDefinition(true);
  twins.Fields[1].FieldName = "NAME";
  EXPECT_EQ(refused(twins), LEDRA_HEADERCORRUPT);

  TTableDefinition badDefault = test::PeopleDefinition();
  badDefault.Fields[1].DefaultValue = "many";
  EXPECT_EQ(refused(badDefault), LEDRA_HEADERCORRUPT);

  TTableDefinition missingKey = test::PeopleDefinition();
  missingKey.SecondaryIndexes[0].Fields = {9};
  EXPECT_EQ(refused(missingKey), LEDRA_INVALIDIDXDESC);

  TTableDefinition textOnNumber = test::PeopleDefinition();
  textOnNumber.TextIndexFields = {2};
  EXPECT_EQ(refused(textOnNumber), LEDRA_INVALIDFLDTYPE);

  TTableDefinition unnamed = test::PeopleDefinition();
  unnamed.SecondaryIndexes[0].Name = "";
  EXPECT_EQ(refused(unnamed), LEDRA_INDEXNAMEREQUIRED);

#ifndef _WIN32  // Windows has the locales it installed
  TTableDefinition locale = test::PeopleDefinition();
  locale.LanguageId = 0x0419;
  EXPECT_EQ(refused(locale), LEDRA_CANNOTLOADLDDRV);
#endif
}

TEST_F(DataTableTest, CreatingATableInUseIsRefused) {
  test::CreatePeople(directory_, "People", {});
  TDataTable& table = OpenCursorTable(directory_, "People", false, false, {});
  EXPECT_EQ(directory_.CreateTable("people.dat", false, false, test::PeopleDefinition()).Result,
            -int32_t(LEDRA_OSEACCES));
  directory_.CloseTable(table, false);
}

// A table made by one process reads back, field for field, in another.
std::string Describe(TDataTable& table) {
  std::ostringstream out;
  const TDataFile& data = table.DataFile();
  out << "table " << data.TableDescription() << " v" << data.UserMajorVersion() << "."
      << data.UserMinorVersion() << " enc" << data.Encrypted() << " lang" << data.LanguageId()
      << " size" << data.RecordSize() << " blocks" << table.BlobFile().BlockSize() << " next"
      << data.NextRecordNo() << "\n";
  for (const TFieldDesc& f : data.FieldDescs()) {
    out << f.FieldNo << "|" << f.FieldName << "|" << f.Description << "|" << int(f.FieldType) << "|"
        << int(f.SubType) << "|" << int(f.Size) << "|" << int(f.Scale) << "|" << int(f.DataSize)
        << "|" << f.Offset << "|" << int(f.Required) << "|" << int(f.CharCase) << "|" << f.MinValue
        << "|" << f.MaxValue << "|" << f.DefaultValue << "\n";
  }
  const TIndexFile& index = table.IndexFile();
  std::vector<int> slots = {0};
  for (int s = 1; s <= index.SecondaryIndexCount(); ++s) slots.push_back(s);
  slots.push_back(32);
  for (int slot : slots) {
    const TIndexDesc d = index.GetIndexDesc(slot);
    out << slot << ":" << d.IndexName() << "|" << d.KeyLength << "|" << int(d.Descending) << "|"
        << int(d.CaseInsensitive) << "|" << int(d.Unique) << "|" << int(d.Compression) << "|"
        << int(d.NoEntryCounts) << "|";
    for (int k = 0; k < d.KeyFieldCount; ++k) {
      out << d.KeyFields[size_t(k)] << (d.FieldDescending[size_t(k)] ? "d" : "") << ",";
    }
    out << "\n";
  }
  return out.str();
}

TEST_F(DataTableTest, CreatedTableReadsBackInAnotherProcess) {
  TChildProcess child([&](TChildProcess& self) {
    if (self.Receive() != kGo) return;
    TDataSession other;
    other.AddPassword("Pw1");
    TDataTable& table = OpenCursorTable(other, "Town", Path(), "Rich", false, false, {});
    std::string text = Describe(table);
    test::TTableCacheClient client(table);
    TRecord* record = table.RecordCache().FetchRecord(&client, 1, kReadForward, false, false);
    text += "record " + std::string(reinterpret_cast<const char*>(record->Image()) + 10, 3) +
            " rowid " + std::to_string(record->RowId());
    table.RecordCache().ReleaseRecord(record);
    self.SendText(text);
  });

  TTableDefinition definition;
  definition.UserMajorVersion = 3;
  definition.UserMinorVersion = 14;
  definition.Encrypted = true;
  definition.Password = "Pw1";
  definition.Description = "People of the town";
  definition.BlobBlockSize = 1024;
  TFieldDesc name = test::MakeField(1, "Name", fldString, 30);
  name.Description = "Full name";
  name.Required = 1;
  name.CharCase = 2;
  name.MinValue = "A";
  name.DefaultValue = "Nobody";
  TFieldDesc amount = test::MakeField(2, "Amount", fldInteger);
  amount.MinValue = "0";
  amount.MaxValue = "1000";
  amount.DefaultValue = "5";
  TFieldDesc born = test::MakeField(4, "Born", fldDate);
  born.DefaultValue = "2000-1-1";
  TFieldDesc price = test::MakeField(5, "Price", fldBCD);
  price.Scale = 2;
  definition.Fields = {name, amount, test::MakeField(3, "Id", fldInteger, 0, kSubTypeAutoInc),
                       born, price,  test::MakeField(6, "Notes", fldBlob, 0, kSubTypeMemo)};
  definition.PrimaryIndex.Fields = {3};
  TIndexDefinition byName;
  byName.Name = "ByName";
  byName.Fields = {1};
  byName.Descending = true;
  byName.CaseInsensitive = true;
  byName.Compression = 3;
  TIndexDefinition byAmount;
  byAmount.Name = "ByAmountName";
  byAmount.Fields = {2, 1};
  byAmount.FieldDescending = {false, true};
  byAmount.Unique = true;
  byAmount.NoEntryCounts = true;
  definition.SecondaryIndexes = {byName, byAmount};
  definition.TextIndexFields = {1, 6};

  session_.AddPassword("Pw1");
  TOpenTableResult created = directory_.CreateTable("Rich", false, false, definition);
  ASSERT_NE(created.Table, nullptr);
  TRecord* record = created.Table->RecordCache().NewRecordSlot(nullptr);
  std::memcpy(record->MutableImage() + 9, "\1Zed", 4);
  created.Table->RecordCache().ReleaseRecord(record);
  directory_.CloseTable(*created.Table, false);
  child.Send(kGo);

  const std::string expected =
      "table People of the town v3.14 enc1 lang0 size95 blocks1024 next2\n"
      "1|Name|Full name|1|0|30|0|31|9|1|2|A||Nobody\n"
      "2|Amount||6|0|0|0|4|41|0|0|0|1000|5\n"
      "3|Id||6|29|0|0|4|5|0|0|||\n"
      "4|Born||2|0|0|0|4|46|0|0|||2000-1-1\n"
      "5|Price||8|0|0|2|34|51|0|0|||\n"
      "6|Notes||3|22|0|0|8|86|0|0|||\n"
      "0:|5|0|0|1|0|0|3,\n"
      "1:ByName|36|1|1|0|3|0|1d,\n"
      "2:ByAmountName|37|0|0|1|0|1|2,1d,\n"
      "32:Sys Text|68|0|0|0|3|0|1,6,\n"
      "record Zed rowid 1";
  EXPECT_EQ(child.ReceiveText(), expected);
}

// ---- Opening and closing -------------------------------------------------------

TEST_F(DataTableTest, OpensShareOneTableUntilTheLastCloses) {
  test::CreatePeople(directory_, "People", {"Ann"});
  TDataTable& first = OpenCursorTable(directory_, "People", false, false, {});
  TDataTable& second = OpenCursorTable(directory_, " people.DAT ", false, false, {});
  EXPECT_EQ(&first, &second);
  EXPECT_EQ(first.OpenCount(), 2);
  EXPECT_EQ(directory_.TableCount(), 1u);
  directory_.CloseTable(first, false);
  EXPECT_EQ(second.OpenCount(), 1);
  EXPECT_TRUE(second.IsOpen());
  EXPECT_TRUE(second.DataFile().IsOpen());
  EXPECT_TRUE(second.IndexFile().IsOpen());
  EXPECT_EQ(second.DataFile().NextRecordNo(), 2);
  directory_.CloseTable(second, false);
  EXPECT_EQ(directory_.TableCount(), 0u);
  EXPECT_EQ(TFileList::Instance().Find(dir_.File("People.DAT"), false), nullptr);
}

TEST_F(DataTableTest, ExclusiveConflictsInTheProcess) {
  test::CreatePeople(directory_, "People", {});
  TDataTable& shared = OpenCursorTable(directory_, "People", false, false, {});
  EXPECT_EQ(directory_.OpenTable("People", false, false, true).Result, -int32_t(LEDRA_OSEACCES));
  EXPECT_EQ(ErrorCodeRaisedBy([&] { OpenCursorTable(directory_, "People", true, false, {}); }),
            LEDRA_OSEACCES);
  EXPECT_EQ(shared.OpenCount(), 1);
  // The engine's own maintenance may override.
  TOpenTableResult forced = directory_.OpenTable("People", false, false, true, true);
  EXPECT_EQ(forced.Table, &shared);
  directory_.CloseTable(shared, false);
  directory_.CloseTable(shared, false);

  TDataTable& held = OpenCursorTable(directory_, "People", true, false, {});
  EXPECT_EQ(directory_.OpenTable("People", false, false, false).Result, -int32_t(LEDRA_OSEACCES));
  // Another session of the process is refused by the sharing rules.
  TDataSession other;
  EXPECT_EQ(ErrorCodeRaisedBy(
                [&] { OpenCursorTable(other, "Town", Path(), "People", false, false, {}); }),
            LEDRA_OSEACCES);
  EXPECT_EQ(other.DirectoryCount(), 0u);
  directory_.CloseTable(held, false);
}

TEST_F(DataTableTest, ExclusiveConflictsWithAnotherProcess) {
  if (!test::IsChildProcess()) test::CreatePeople(directory_, "People", {});
  TChildProcess child([&](TChildProcess& self) {
    for (bool exclusive : {true, false}) {
      if (self.Receive() != kGo) return;
      TDataSession other;
      self.Send(ErrorCodeRaisedBy(
          [&] { OpenCursorTable(other, "Town", Path(), "People", exclusive, false, {}); }));
    }
  });
  TDataTable& shared = OpenCursorTable(directory_, "People", false, false, {});
  child.Send(kGo);
  EXPECT_EQ(child.Receive(), LEDRA_OSEACCES);
  directory_.CloseTable(shared, false);
  TDataTable& held = OpenCursorTable(directory_, "People", true, false, {});
  child.Send(kGo);
  EXPECT_EQ(child.Receive(), LEDRA_OSEACCES);
  directory_.CloseTable(held, false);
}

TEST_F(DataTableTest, MissingIndexFileIsRecreatedEmpty) {
  test::CreatePeople(directory_, "People", {"Ann", "Bob"});
  std::filesystem::remove(dir_.File("People.IDX"));
  TDataTable& table = OpenCursorTable(directory_, "People", false, false, {});
  EXPECT_TRUE(table.IndexRecreated());
  EXPECT_EQ(table.DataFile().NextRecordNo(), 3);
  std::vector<uint8_t> index = test::FileBytes(dir_.File("People.IDX"));
  ASSERT_EQ(index.size(), 4096u);
  EXPECT_EQ(index[8], 5);
  EXPECT_EQ(GetLE32(&index[9]), 1u);
  EXPECT_EQ(index[13], 0);
  EXPECT_EQ(GetLE16(&index[14 + 31]), 0);  // no index defined yet
  EXPECT_EQ(index[3978], 1);               // not even a primary one
  EXPECT_TRUE(table.IndexFile().NoPrimaryIndex());
  directory_.CloseTable(table, false);

  TDataTable& again = OpenCursorTable(directory_, "People", false, false, {});
  EXPECT_FALSE(again.IndexRecreated());
  directory_.CloseTable(again, false);
}

TEST_F(DataTableTest, MissingFilesFailTheOpenAndLeaveNothingOpen) {
  EXPECT_EQ(ErrorCodeRaisedBy([&] { OpenCursorTable(directory_, "Nobody", false, false, {}); }),
            LEDRA_OSENOENT);
  EXPECT_EQ(directory_.TableCount(), 0u);

  test::CreatePeople(directory_, "Notes", {}, true);
  std::filesystem::remove(dir_.File("Notes.BLB"));
  EXPECT_EQ(ErrorCodeRaisedBy([&] { OpenCursorTable(directory_, "Notes", false, false, {}); }),
            LEDRA_OSENOENT);
  EXPECT_EQ(directory_.TableCount(), 0u);
  EXPECT_EQ(TFileList::Instance().Find(dir_.File("Notes.DAT"), false), nullptr);
  EXPECT_EQ(TFileList::Instance().Find(dir_.File("Notes.IDX"), false), nullptr);
}

TEST_F(DataTableTest, FirstOpenVerifiesUnderTheReadLock) {
  test::CreatePeople(directory_, "People", {"Ann"});
  platform::ResetCallCounts();
  TDataTable& table = OpenCursorTable(directory_, "People", false, false, {});
  EXPECT_EQ(CallCount(OsCall::Lock), 1u);  // the .IDX read byte
  EXPECT_EQ(CallCount(OsCall::Unlock), 1u);
  EXPECT_FALSE(table.Lock().ReadLockHeld());
  platform::ResetCallCounts();
  TDataTable& again = OpenCursorTable(directory_, "People", false, false, {});
  EXPECT_EQ(CallCount(OsCall::Lock), 0u);  // already open: no check
  directory_.CloseTable(again, false);
  directory_.CloseTable(table, false);

  // A damaged descriptor (field 2 numbered 7) is refused, and the table is
  // left closed with its read lock released.
  {
    std::fstream file(dir_.File("People.DAT"), std::ios::in | std::ios::out | std::ios::binary);
    file.seekp(127 + 768);
    file.put(7);
  }
  platform::ResetCallCounts();
  EXPECT_EQ(ErrorCodeRaisedBy([&] { OpenCursorTable(directory_, "People", false, false, {}); }),
            LEDRA_HEADERCORRUPT);
  EXPECT_EQ(CallCount(OsCall::Lock), CallCount(OsCall::Unlock));
  EXPECT_EQ(directory_.TableCount(), 0u);
  // Maintenance opens check only the versions.
  TDataTable& repair = OpenCursorTable(directory_, "People", false, false, {}, true);
  EXPECT_EQ(repair.DataFile().FieldDescs()[1].FieldNo, 7);
  directory_.CloseTable(repair, false);
}

TEST_F(DataTableTest, EncipheredTableAsksForItsPassword) {
  TTableDefinition definition = test::PeopleDefinition();
  definition.Encrypted = true;
  definition.Password = "Secret";
  session_.AddPassword("Secret");
  TOpenTableResult created = directory_.CreateTable("Locked", false, false, definition);
  ASSERT_NE(created.Table, nullptr);
  directory_.CloseTable(*created.Table, false);

  int calls = 0;
  TDataTable& known = OpenCursorTable(directory_, "Locked", false, false, [&] {
    ++calls;
    return false;
  });
  EXPECT_EQ(calls, 0);
  directory_.CloseTable(known, false);

  TDataSession other;
  calls = 0;
  TDataTable& asked = OpenCursorTable(other, "Town", Path(), "Locked", false, false, [&] {
    other.AddPassword(++calls == 1 ? "secret" : "Secret");
    return true;
  });
  EXPECT_EQ(calls, 2);
  asked.Directory().CloseTable(asked, false);

  TDataSession third;
  calls = 0;
  EXPECT_EQ(ErrorCodeRaisedBy([&] {
              OpenCursorTable(third, "Town", Path(), "Locked", false, false,
                              [&] { return ++calls < 3; });
            }),
            LEDRA_NOTSUFFTABLERIGHTS);
  EXPECT_EQ(calls, 3);
  EXPECT_EQ(third.DirectoryCount(), 0u);
  EXPECT_EQ(ErrorCodeRaisedBy(
                [&] { OpenCursorTable(third, "Town", Path(), "Locked", false, false, {}); }),
            LEDRA_NOTSUFFTABLERIGHTS);
}

// ---- Buffers ------------------------------------------------------------------------

TEST_F(DataTableTest, MarkFlushAndDropBuffers) {
  test::CreatePeople(directory_, "People", {"Ann"});
  TDataTable& table = OpenCursorTable(directory_, "People", false, false, {});
  const int32_t onDisk = table.DataFile().ChangeCount();

  // Header changes are made under the write lock: taking a lock re-reads
  // the headers and forgets unwritten changes.
  table.AcquireWriteLock();
  table.MarkChanged({.Data = true, .Index = true});
  EXPECT_EQ(table.DataFile().ChangeCount(), onDisk + 1);
  EXPECT_EQ(GetLE32(test::FileBytes(dir_.File("People.DAT")).data()), uint32_t(onDisk));
  EXPECT_TRUE(table.Written());
  table.FlushBuffers({.Trim = true, .OsFlush = true});
  table.ReleaseWriteLock();
  EXPECT_EQ(GetLE32(test::FileBytes(dir_.File("People.DAT")).data()), uint32_t(onDisk + 2));

  // Changes dropped with the buffers, headers read back from disk.
  table.AcquireWriteLock();
  test::AppendPeople(table, {"Bob"});
  EXPECT_EQ(table.DataFile().NextRecordNo(), 3);
  table.DropBuffers({.Trim = true, .RereadHeaders = true});
  table.ReleaseWriteLock();
  EXPECT_EQ(table.DataFile().NextRecordNo(), 2);
  EXPECT_EQ(table.RecordCache().CachedCount(), 0u);
  EXPECT_EQ(table.IndexFile().LiveRecordCount(), 1);
  EXPECT_EQ(SizeOf("People.DAT"), 3199 + 41);
  directory_.CloseTable(table, false);
}

TEST_F(DataTableTest, EmptyTableCutsEveryFile) {
  test::CreatePeople(directory_, "Notes", {"Ann", "Bob"}, true);
  TDataTable& table = OpenCursorTable(directory_, "Notes", true, false, {});
  table.EmptyTable();
  EXPECT_EQ(table.DataFile().NextRecordNo(), 1);
  EXPECT_EQ(table.IndexFile().LiveRecordCount(), 0);
  directory_.CloseTable(table, false);
  EXPECT_EQ(SizeOf("Notes.DAT"), 127 + 5 * 768);
  EXPECT_EQ(SizeOf("Notes.IDX"), 4096);
  EXPECT_EQ(SizeOf("Notes.BLB"), 512);
  std::vector<uint8_t> data = test::FileBytes(dir_.File("Notes.DAT"));
  EXPECT_EQ(GetLE32(&data[13]), 1u);
  EXPECT_EQ(GetLE32(&data[0]), 1u);  // counted from 0 again
}

TEST_F(DataTableTest, TransactionWritesOnlyAtCommit) {
  test::CreatePeople(directory_, "People", {"Ann"});
  TDataTable& table = OpenCursorTable(directory_, "People", false, false, {});
  const std::vector<uint8_t> before = test::FileBytes(dir_.File("People.DAT"));

  directory_.StartTransaction();
  test::AppendPeople(table, {"Bob"});
  // Only marks.
  table.FlushBuffers({.OsFlush = true, .ForceHeaders = {.Data = true, .Index = true}});
  EXPECT_EQ(test::FileBytes(dir_.File("People.DAT")), before);
  directory_.Rollback();
  EXPECT_EQ(table.DataFile().NextRecordNo(), 2);
  EXPECT_EQ(test::FileBytes(dir_.File("People.DAT")), before);

  directory_.StartTransaction();
  test::AppendPeople(table, {"Cy"});
  EXPECT_EQ(test::FileBytes(dir_.File("People.DAT")), before);
  directory_.Commit(true);
  const std::vector<uint8_t> after = test::FileBytes(dir_.File("People.DAT"));
  ASSERT_EQ(after.size(), before.size() + 41);
  EXPECT_EQ(GetLE32(&after[13]), 3u);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(&after[3199 + 41 + 10]), 2), "Cy");
  directory_.CloseTable(table, false);
}

TEST_F(DataTableTest, TableClosedInsideATransactionGoesAtItsEnd) {
  test::CreatePeople(directory_, "People", {"Ann"});
  TDataTable& table = OpenCursorTable(directory_, "People", false, false, {});
  directory_.StartTransaction();
  test::AppendPeople(table, {"Bob"});
  // The end of a post: marks only.
  table.FlushBuffers({.ForceHeaders = {.Data = true, .Index = true}});
  EXPECT_TRUE(table.Written());
  directory_.CloseTable(table, false);
  EXPECT_EQ(directory_.TableCount(), 1u);  // kept for the commit
  EXPECT_TRUE(table.IsOpen());
  EXPECT_EQ(table.OpenCount(), 0);
  // Opened again inside the transaction, it is the same table.
  TDataTable& again = OpenCursorTable(directory_, "People", false, false, {});
  EXPECT_EQ(&again, &table);
  directory_.CloseTable(again, false);
  directory_.Commit(false);
  EXPECT_EQ(directory_.TableCount(), 0u);
  EXPECT_EQ(SizeOf("People.DAT"), 3199 + 2 * 41);
}

// ---- Deleting and renaming ---------------------------------------------------------

TEST_F(DataTableTest, DeleteAndRenameOnlyClosedTables) {
  test::CreatePeople(directory_, "People", {"Ann"});
  test::CreatePeople(directory_, "Notes", {"Ann"}, true);
  TDataTable& table = OpenCursorTable(directory_, "People", false, false, {});
  EXPECT_EQ(directory_.RenameTable("People", "Folk", false, false), -int32_t(LEDRA_OSEACCES));
  EXPECT_EQ(directory_.DeleteTable("people", false), -int32_t(LEDRA_OSEACCES));
  EXPECT_TRUE(directory_.TableExists("PEOPLE", false));
  directory_.CloseTable(table, false);

  EXPECT_EQ(directory_.RenameTable("People", "Folk", false, false), 0);
  EXPECT_FALSE(Exists("People.DAT"));
  EXPECT_FALSE(Exists("People.IDX"));
  EXPECT_TRUE(Exists("Folk.DAT"));
  EXPECT_TRUE(Exists("Folk.IDX"));
  EXPECT_FALSE(Exists("Folk.BLB"));
  EXPECT_LT(directory_.RenameTable("Notes", "Folk", false, false), 0)
      << "an existing name is not replaced";
  EXPECT_TRUE(Exists("Notes.DAT"));  // the first rename was undone
  EXPECT_EQ(directory_.RenameTable("Notes", "Memo.dat", false, false), 0);
  EXPECT_TRUE(Exists("Memo.DAT"));
  EXPECT_TRUE(Exists("Memo.BLB"));

  // Backups replace older backups.
  dir_.Write("Memo.DBK", "old");
  EXPECT_EQ(directory_.RenameTable("Memo", "Memo", true, false), 0);
  EXPECT_EQ(SizeOf("Memo.DBK"), 127 + 5 * 768 + 50);
  EXPECT_TRUE(Exists("Memo.IBK"));
  EXPECT_TRUE(Exists("Memo.BBK"));
  EXPECT_FALSE(directory_.TableExists("Memo", false));

  EXPECT_EQ(directory_.DeleteTable("Folk", false), 0);
  EXPECT_FALSE(Exists("Folk.DAT"));
  EXPECT_FALSE(Exists("Folk.IDX"));
  EXPECT_EQ(directory_.DeleteTable("Folk", false), -int32_t(LEDRA_OSENOENT));
  EXPECT_EQ(directory_.RenameTable("Folk", "Again", false, false), -int32_t(LEDRA_OSENOENT));
}

TEST_F(DataTableTest, InMemoryTablesLiveInTheRegistry) {
  TOpenTableResult created =
      directory_.CreateTable("Scratch", true, false, test::PeopleDefinition());
  ASSERT_NE(created.Table, nullptr);
  test::AppendPeople(*created.Table, {"Ann"});
  directory_.CloseTable(*created.Table, false);
  EXPECT_FALSE(Exists("Scratch.DAT"));
  EXPECT_TRUE(directory_.TableExists("Scratch", true));
  EXPECT_FALSE(directory_.TableExists("Scratch", false));
  TDataTable& table = OpenCursorTable(directory_, "Scratch", false, true, {});
  EXPECT_EQ(table.DataFile().NextRecordNo(), 2);
  directory_.CloseTable(table, false);
  EXPECT_EQ(directory_.DeleteTable("Scratch", true), 0);
  EXPECT_FALSE(directory_.TableExists("Scratch", true));
}

}  // namespace
}  // namespace ledra
