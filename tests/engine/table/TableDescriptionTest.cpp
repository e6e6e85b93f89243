#include "engine/table/TableDescription.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "engine/errors/EngineError.h"
#include "engine/table/DataDirectory.h"
#include "engine/table/DataSession.h"
#include "engine/table/TableCreation.h"
#include "engine/table/TableLock.h"
#include "engine/table/TableVerifier.h"
#include "tests/support/EngineErrors.h"
#include "tests/support/FieldBuilder.h"
#include "tests/support/TempDir.h"

namespace ledra {
namespace {

using test::MakeField;

// Code (string 10, primary), Name (string 30), Note (memo), Id (AutoInc);
// "ByName" over Name descending and Code, without case, fully compressed,
// without subtree counts; Name and Note in the text index.
TTableDefinition MadeDefinition() {
  TTableDefinition definition;
  definition.Fields = {MakeField(1, "Code", fldString, 10), MakeField(2, "Name", fldString, 30),
                       MakeField(3, "Note", fldBlob, 0, kSubTypeMemo),
                       MakeField(4, "Id", fldInteger, 0, kSubTypeAutoInc)};
  definition.PrimaryIndex.Fields = {1};
  TIndexDefinition byName;
  byName.Name = "ByName";
  byName.Fields = {2, 1};
  byName.FieldDescending = {true, false};
  byName.CaseInsensitive = true;
  byName.Compression = 3;
  byName.NoEntryCounts = true;
  definition.SecondaryIndexes = {byName};
  definition.TextIndexFields = {2, 3};
  definition.Description = "Made here";
  definition.BlobBlockSize = 1024;
  return definition;
}

class TableDescriptionTest : public ::testing::Test {
 protected:
  test::TempDir dir_;
  TDataSession session_;
  TDataDirectory& directory_ = session_.OpenDirectory("Made", dir_.Path().string());
};

// A new table is described as it was defined, its text index keeps the
// parameters it was given, and it is sound; a second creation is refused
// whatever the case of the name.
TEST_F(TableDescriptionTest, CreatedTablesAreDescribedAsDefined) {
  const TTableDefinition definition = MadeDefinition();
  const TTextParams params = DefaultTextParams({"the", "and"});
  CreateNewTable(directory_, "Made", definition, params);
  EXPECT_EQ(test::ErrorCodeRaisedBy([&] { CreateNewTable(directory_, "MADE", definition); }),
            LEDRA_TABLEEXISTS);

  TDataTable& table = OpenCursorTable(directory_, "Made", false, false, {});
  TTableReadLockGuard readLock(table.Lock());
  const TTableDescription d = DescribeTable(table);
  EXPECT_TRUE(TTableVerifier(table).Run().empty());
  readLock.Release();
  directory_.CloseTable(table, false);

  EXPECT_EQ(d.TableName, "Made");
  EXPECT_EQ(d.Description, "Made here");
  EXPECT_EQ(d.FieldCount, 4);
  EXPECT_EQ(d.BlobFieldCount, 1);
  EXPECT_EQ(d.BlobBlockSize, 1024);
  EXPECT_EQ(d.RecordSlots, 0);
  EXPECT_EQ(d.LiveRecordCount, 0);
  EXPECT_EQ(d.Locale, 0u);
  EXPECT_FALSE(d.NoPrimaryIndex);
  ASSERT_EQ(d.Fields.size(), 4u);
  EXPECT_EQ(d.Fields[2].FieldName, "Note");
  EXPECT_EQ(d.Fields[2].SubType, kSubTypeMemo);

  ASSERT_EQ(d.Indexes.size(), 4u);
  EXPECT_EQ(d.Indexes[0].Slot, kPrimaryIndexSlot);
  EXPECT_EQ(d.Indexes[0].Fields, (std::vector<uint16_t>{1}));
  EXPECT_TRUE(d.Indexes[0].Unique);
  EXPECT_TRUE(d.Indexes[0].EntryCounts);
  EXPECT_EQ(d.Indexes[1].Slot, 1);
  EXPECT_EQ(d.Indexes[1].Name, "ByName");
  EXPECT_FALSE(d.Indexes[1].EntryCounts);
  EXPECT_EQ(d.Indexes[2].Slot, kDeletedIndexSlot);
  EXPECT_EQ(d.Indexes[3].Slot, kTextIndexSlot);
  EXPECT_EQ(d.Indexes[3].Fields, (std::vector<uint16_t>{2, 3}));
  EXPECT_FALSE(d.Indexes[3].EntryCounts);
  ASSERT_TRUE(d.TextParams.has_value());
  EXPECT_EQ(*d.TextParams, params);

  // The description of an index defines the same index again.
  const TIndexDefinition again = ToIndexDefinition(d.Indexes[1]);
  const TIndexDefinition& given = definition.SecondaryIndexes[0];
  EXPECT_EQ(again.Name, given.Name);
  EXPECT_EQ(again.Fields, given.Fields);
  EXPECT_EQ(again.FieldDescending, given.FieldDescending);
  EXPECT_EQ(again.Unique, given.Unique);
  EXPECT_EQ(again.CaseInsensitive, given.CaseInsensitive);
  EXPECT_EQ(again.Compression, given.Compression);
  EXPECT_EQ(again.NoEntryCounts, given.NoEntryCounts);
  EXPECT_TRUE(ToIndexDefinition(d.Indexes[0]).Name.empty());
}

// Without text-index fields no parameter pages are written; without a
// primary index slot 0 describes no fields.
TEST_F(TableDescriptionTest, TablesWithoutTextOrPrimaryIndex) {
  TTableDefinition definition = MadeDefinition();
  definition.TextIndexFields.clear();
  definition.PrimaryIndex.Fields.clear();
  CreateNewTable(directory_, "Plain", definition);
  TDataTable& table = OpenCursorTable(directory_, "Plain", true, false, {});
  const TTableDescription d = DescribeTable(table);
  EXPECT_TRUE(DescribeIndex(table, kPrimaryIndexSlot).Fields.empty());
  directory_.CloseTable(table, false);
  EXPECT_TRUE(d.NoPrimaryIndex);
  EXPECT_FALSE(d.TextParams.has_value());
  ASSERT_EQ(d.Indexes.size(), 2u);  // ByName and the deleted-records index
  EXPECT_EQ(d.Indexes[0].Name, "ByName");
}

// A definition the engine refuses raises its error and leaves no table.
TEST_F(TableDescriptionTest, RefusedDefinitionsLeaveNothing) {
  TTableDefinition definition = MadeDefinition();
  definition.SecondaryIndexes[0].Fields = {9};
  EXPECT_NE(test::ErrorCodeRaisedBy([&] { CreateNewTable(directory_, "Bad", definition); }),
            LEDRA_NONE);
  EXPECT_FALSE(TableDataFileExists(directory_, "Bad"));
  EXPECT_TRUE(MissingTableFiles(directory_, "Bad").empty());
}

// A check finds the files a table lacks without opening it, so that it
// makes none afresh.
TEST_F(TableDescriptionTest, MissingFilesAreFoundWithoutOpening) {
  CreateNewTable(directory_, "Made", MadeDefinition());
  EXPECT_TRUE(MissingTableFiles(directory_, "made").empty());
  const std::filesystem::path base = dir_.Path() / "Made";
  std::filesystem::remove(base.string() + ".BLB");
  std::filesystem::remove(base.string() + ".IDX");
  const std::vector<TVerifyFinding> missing = MissingTableFiles(directory_, "Made");
  ASSERT_EQ(missing.size(), 2u);
  EXPECT_EQ(missing[0].Area, "index");
  EXPECT_EQ(missing[0].Text, "the index file " + base.string() + ".IDX is missing");
  EXPECT_EQ(missing[1].Area, "blob");
  EXPECT_FALSE(std::filesystem::exists(base.string() + ".IDX"));
}

TEST(TableNamesTest, FieldNamesCompareWithoutCaseAndBlanks) {
  EXPECT_TRUE(SameFieldName(" town ", "TOWN"));
  EXPECT_TRUE(SameFieldName("Stra\xE9", "STRA\xC9"));  // code page 1252 letters
  EXPECT_FALSE(SameFieldName("Town1", "Town"));
  const std::vector<TFieldDesc> fields = {MakeField(1, "Code", fldString, 4),
                                          MakeField(2, "Town", fldString, 9)};
  EXPECT_EQ(FindFieldByName(fields, "town"), 2);
  EXPECT_EQ(FindFieldByName(fields, "Name"), 0);
}

}  // namespace
}  // namespace ledra
