// Support of the component layer's tests: tables made through the engine's
// front door in a temporary directory, and a session of the test's own.
#pragma once

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "components/LedraDatabase.h"
#include "components/LedraDatabaseError.h"
#include "components/LedraSession.h"
#include "components/LedraTable.h"
#include "engine/cursor/DataCursor.h"
#include "engine/cursor/FieldValue.h"
#include "engine/table/DataDirectory.h"
#include "engine/table/DataSession.h"
#include "engine/table/TableDefinition.h"
#include "tests/support/FieldBuilder.h"
#include "tests/support/TempDir.h"

namespace ledra::test {

// Towns: Code (string 10, primary index), Town (string 30), Num (integer),
// Id (AutoInc). "ByTown" non-unique on Town, "CodeDown" unique descending
// on Code. With `primary` false there is no primary index.
inline TTableDefinition TownsDefinition(bool primary = true) {
  TTableDefinition definition;
  definition.Fields = {MakeField(1, "Code", fldString, 10), MakeField(2, "Town", fldString, 30),
                       MakeField(3, "Num", fldInteger),
                       MakeField(4, "Id", fldInteger, 0, kSubTypeAutoInc)};
  if (primary) definition.PrimaryIndex.Fields = {1};
  TIndexDefinition byTown;
  byTown.Name = "ByTown";
  byTown.Fields = {2};
  TIndexDefinition down;
  down.Name = "CodeDown";
  down.Fields = {1};
  down.Unique = true;
  down.Descending = true;
  definition.SecondaryIndexes = {byTown, down};
  return definition;
}

// One record: the text of each named field (nothing: null).
using TRow = std::vector<std::pair<std::string, std::optional<std::string>>>;

// Creates a table in `path` with the rows, through an engine session of its
// own, and closes it again.
inline void CreateTable(const std::string& path, std::string_view name,
                        const TTableDefinition& definition, const std::vector<TRow>& rows = {}) {
  TDataSession session;
  if (definition.Encrypted) session.AddPassword(definition.Password);
  TDataDirectory& directory = session.OpenDirectory("", path);
  TOpenTableResult created = directory.CreateTable(name, false, false, definition);
  ASSERT_NE(created.Table, nullptr);
  directory.CloseTable(*created.Table, false);
  TDataCursor cursor(directory);
  cursor.SetTableName(name);
  cursor.SetExclusive(true);
  cursor.Open();
  for (const TRow& row : rows) {
    std::vector<uint8_t> image(cursor.RecordSize());
    cursor.InitRecordBuffer(image.data());
    for (const auto& [field, text] : row) SetFieldText(cursor, image.data(), field, text);
    cursor.PostInsert(image.data(), false);
  }
  cursor.Close();
  session.ReleaseDirectory(directory);
}

inline TRow Town(std::string code, std::string town, int num) {
  return {{"Code", code}, {"Town", town}, {"Num", std::to_string(num)}};
}

// The message of the layer's error an action raised ("" when none).
template <class F>
std::string LayerMessage(F&& action) {
  try {
    action();
  } catch (const ELedraEngineError&) {
    return "<engine error>";
  } catch (const ELedraDatabaseError& error) {
    return error.what();
  }
  return {};
}

// The code of the engine error an action raised (0 when none).
template <class F>
TEngineErrorCode EngineCode(F&& action) {
  try {
    action();
  } catch (const ELedraEngineError& error) {
    return error.ErrorCode;
  }
  return 0;
}

// A test with a temporary directory and a session of its own (quick locks),
// freed at the end with everything in it.
class ComponentTest : public ::testing::Test {
 protected:
  ComponentTest() : session_(TLedraSessionList::Instance().CreateSession()) {
    static int counter = 0;
    session_.SetSessionName("Test" + std::to_string(++counter));
    session_.SetLockRetryCount(2);
    session_.SetLockWaitTime(10);
  }
  ~ComponentTest() override { TLedraSessionList::Instance().FreeSession(session_); }

  // The directory as a database name (a path, ending with the separator).
  std::string Path() const { return dir_.Path().string() + "/"; }

  // A closed table of the test's session on a table of the directory.
  std::unique_ptr<TLedraTable> MakeTable(std::string_view name) {
    auto table = std::make_unique<TLedraTable>();
    table->SetSessionName(session_.SessionName());
    table->SetDatabaseName(Path());
    table->SetTableName(name);
    return table;
  }

  std::unique_ptr<TLedraTable> OpenTable(std::string_view name) {
    auto table = MakeTable(name);
    table->Open();
    return table;
  }

  // The codes from the current record on, by Next.
  static std::vector<std::string> Codes(TLedraTable& table) {
    std::vector<std::string> codes;
    for (; !table.Eof(); table.Next()) codes.push_back(table.FieldByName("Code").AsString());
    return codes;
  }

  TempDir dir_;
  TLedraSession& session_;
};

}  // namespace ledra::test
