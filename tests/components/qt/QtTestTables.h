// Tables for the Qt side's tests, made through the engine's front door.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "engine/cursor/DataCursor.h"
#include "engine/table/DataDirectory.h"
#include "engine/table/DataSession.h"
#include "engine/table/TableDefinition.h"
#include "tests/support/FieldBuilder.h"

namespace ledra::test {

// "People": Id (integer, the primary index), Name (string 20), Town (string
// 20). Optionally enciphered with a password.
inline TTableDefinition PeopleDefinition(const std::string& password = {}) {
  TTableDefinition definition;
  definition.Fields = {MakeField(1, "Id", fldInteger, 0), MakeField(2, "Name", fldString, 20),
                       MakeField(3, "Town", fldString, 20)};
  definition.Fields.front().Required = 1;
  definition.PrimaryIndex.Fields = {1};
  if (!password.empty()) {
    definition.Encrypted = true;
    definition.Password = password;
  }
  return definition;
}

// The texts of record `id` (code page 1252 bytes).
using TPersonText = std::function<std::array<std::string, 2>(int32_t id)>;

inline std::array<std::string, 2> DefaultPerson(int32_t id) {
  return {"Name " + std::to_string(id), "Town " + std::to_string(id % 97)};
}

// Creates the table in `directory` (a path) and adds records 1..count in id
// order. The fastest way through the front door: a session of its own with
// a large record cache, the table held exclusively (no lock calls, buffers
// written once at the close), appended keys, no secondary index, no
// repositioning after each insert.
inline void CreatePeople(const std::string& directory, const std::string& tableName, int32_t count,
                         const std::string& password = {},
                         const TPersonText& person = DefaultPerson) {
  TDataSession session;
  const TDataSessionSettings defaults;
  session.SetBufferLimits(64u << 20, 1u << 20, defaults.ThirdBufferLimit, defaults.BlobCacheBytes,
                          defaults.BlobCacheCount);
  if (!password.empty()) session.AddPassword(password);
  TDataDirectory& dir = session.OpenDirectory("", directory);
  TOpenTableResult created = dir.CreateTable(tableName, false, false, PeopleDefinition(password));
  if (created.Table == nullptr) throw std::runtime_error("table not created");
  dir.CloseTable(*created.Table, false);

  TDataCursor cursor(dir);
  cursor.SetTableName(tableName);
  cursor.SetExclusive(true);
  cursor.Open();
  std::vector<uint8_t> image(cursor.RecordSize());
  std::array<uint8_t, 256> value{};
  for (int32_t id = 1; id <= count; ++id) {
    cursor.InitRecordBuffer(image.data());
    const uint8_t idBytes[4] = {uint8_t(id), uint8_t(id >> 8), uint8_t(id >> 16),
                                uint8_t(id >> 24)};
    cursor.SetFieldValue(1, image.data(), idBytes, false, false);
    const std::array<std::string, 2> texts = person(id);
    for (int f = 0; f < 2; ++f) {
      value.fill(0);
      std::memcpy(value.data(), texts[f].data(), std::min<size_t>(texts[f].size(), 255));
      cursor.SetFieldValue(2 + f, image.data(), value.data(), false, false);
    }
    cursor.PostInsert(image.data(), false);
  }
  cursor.Close();
  session.ReleaseDirectory(dir);
}

}  // namespace ledra::test
