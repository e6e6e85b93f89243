// Record churn by real processes on one shared table: each process inserts,
// edits and deletes records of its own (and reads everybody's) for a bounded
// number of operations, then reports the records it has committed. The table
// must then be sound and hold exactly those records.
//
// OSTREVO_CHURN_OPS sets the operations per process (default 1000).
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "engine/cursor/DataCursor.h"
#include "engine/errors/EngineError.h"
#include "engine/files/Bytes.h"
#include "tests/engine/cursor/CursorTestSupport.h"
#include "tests/support/ChildProcess.h"

namespace ledra {
namespace {

using test::MakeField;
using test::TChildProcess;

constexpr int kProcesses = 4;
constexpr uint32_t kBaseSeed = 20240611;
enum : int { kCode = 1, kTag = 2, kNum = 3, kTown = 4 };

// Code (string 12, primary), Tag (string 20, "ByTag" unique), Num (integer,
// "ByNum" non-unique, few values), Town (string 20, no index), Id (AutoInc).
TTableDefinition ChurnDefinition() {
  TTableDefinition definition;
  definition.Fields = {MakeField(1, "Code", fldString, 12), MakeField(2, "Tag", fldString, 20),
                       MakeField(3, "Num", fldInteger), MakeField(4, "Town", fldString, 20),
                       MakeField(5, "Id", fldInteger, 0, kSubTypeAutoInc)};
  definition.PrimaryIndex.Fields = {kCode};
  TIndexDefinition byTag;
  byTag.Name = "ByTag";
  byTag.Fields = {kTag};
  byTag.Unique = true;
  TIndexDefinition byNum;
  byNum.Name = "ByNum";
  byNum.Fields = {kNum};
  definition.SecondaryIndexes = {byTag, byNum};
  return definition;
}

int OperationsPerProcess() {
  const char* text = std::getenv("OSTREVO_CHURN_OPS");
  const int ops = text != nullptr ? std::atoi(text) : 0;
  return ops > 0 ? ops : 1000;
}

// A record as "tag|num|town", by its code.
using TRows = std::map<std::string, std::string>;

void SetText(TDataCursor& cursor, uint8_t* image, int fieldNo, const std::string& text) {
  std::vector<uint8_t> value(32, 0);
  std::memcpy(value.data(), text.data(), std::min<size_t>(text.size(), 31));
  cursor.SetFieldValue(fieldNo, image, value.data(), false, false);
}

std::string GetText(TDataCursor& cursor, const uint8_t* image, int fieldNo) {
  uint8_t value[kFieldValueBufferSize] = {};
  bool isNull = false;
  cursor.GetFieldValue(fieldNo, image, isNull, value);
  return isNull ? std::string() : std::string(reinterpret_cast<const char*>(value));
}

std::string SetRow(TDataCursor& cursor, uint8_t* image, const std::string& code,
                   const std::string& tag, int32_t num, const std::string& town) {
  cursor.InitRecordBuffer(image);
  SetText(cursor, image, kCode, code);
  SetText(cursor, image, kTag, tag);
  uint8_t value[4];
  PutLE32(value, uint32_t(num));
  cursor.SetFieldValue(kNum, image, value, false, false);
  SetText(cursor, image, kTown, town);
  return tag + "|" + std::to_string(num) + "|" + town;
}

std::string GetRow(TDataCursor& cursor, const uint8_t* image) {
  uint8_t num[kFieldValueBufferSize] = {};
  bool isNull = false;
  cursor.GetFieldValue(kNum, image, isNull, num);
  return GetText(cursor, image, kTag) + "|" + std::to_string(int32_t(GetLE32(num))) + "|" +
         GetText(cursor, image, kTown);
}

std::string Describe(const TRows& rows) {
  std::string text;
  for (const auto& [code, row] : rows) text += code + "|" + row + "\n";
  return text;
}

TRows Parse(const std::string& text) {
  TRows rows;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    const size_t bar = line.find('|');
    rows[line.substr(0, bar)] = line.substr(bar + 1);
  }
  return rows;
}

// One process's churn: its own records change, everybody's are read. Any
// engine error but the expected key violations ends it (and the test).
TRows Churn(const std::string& path, int process, int ops) {
  TDataSession session;
  TDataDirectory& directory = session.OpenDirectory("Churn", path);
  TDataCursor cursor(directory);
  cursor.SetTableName("Churn");
  cursor.Open();
  std::mt19937 random(kBaseSeed + uint32_t(process));
  std::vector<uint8_t> image(cursor.RecordSize());
  TRows mine;
  int made = 0;
  auto pick = [&] {
    auto at = mine.begin();
    std::advance(at, std::uniform_int_distribution<size_t>(0, mine.size() - 1)(random));
    return at->first;
  };
  auto find = [&](const std::string& code) {
    cursor.InitRecordBuffer(image.data());
    SetText(cursor, image.data(), kCode, code);
    if (!cursor.FindByKey(false, image.data(), image.data(), 0, false, 1)) {
      throw std::runtime_error("committed record " + code + " not found");
    }
  };

  for (int op = 0; op < ops; ++op) {
    const int dice = std::uniform_int_distribution<int>(0, 99)(random);
    const int32_t num = std::uniform_int_distribution<int>(0, 4)(random);
    if (mine.empty() || dice < 30) {
      const std::string code = "p" + std::to_string(process) + "-" + std::to_string(++made);
      mine[code] = SetRow(cursor, image.data(), code, "t" + code, num, "town" + std::to_string(op));
      cursor.PostInsert(image.data());
      if (dice % 10 == 0) {
        // The same code again (with another tag) must be refused.
        SetRow(cursor, image.data(), code, "x" + code, num, "");
        uint16_t refused = 0;
        try {
          cursor.PostInsert(image.data());
        } catch (const ELedraEngineError& error) {
          refused = error.ErrorCode;
        }
        if (refused != LEDRA_KEYVIOL) throw std::runtime_error("duplicate " + code + " accepted");
      }
    } else if (dice < 80) {
      const std::string code = pick();
      find(code);
      if (cursor.ReadCurrent(image.data(), true) != 0) throw std::runtime_error("edit " + code);
      // Now and then the unique key changes too.
      const std::string tag = dice % 3 == 0 ? "t" + code + "." + std::to_string(op)
                                            : GetText(cursor, image.data(), kTag);
      mine[code] = SetRow(cursor, image.data(), code, tag, num, "edit" + std::to_string(op));
      cursor.PostEdit(image.data());
    } else if (dice < 92) {
      const std::string code = pick();
      find(code);
      cursor.DeleteCurrent(image.data());
      mine.erase(code);
    } else {
      // Everybody's records, in the non-unique index's order.
      cursor.SetIndexName("ByNum");
      cursor.MoveToStart();
      for (int i = 0; i < 20 && cursor.ReadNext(image.data()) == 0; ++i) {
      }
      cursor.SetIndexNo(0);
    }
  }
  return mine;
}

class ChurnTest : public test::CursorTest {};

TEST_F(ChurnTest, FourProcessesKeepOneTableSound) {
  const int ops = OperationsPerProcess();
  SCOPED_TRACE("seeds " + std::to_string(kBaseSeed) + " + process, " + std::to_string(ops) +
               " operations each");
  const std::string path = dir_.Path().string();
  // The processes are made first and wait for the table (see ChildProcess.h).
  std::vector<std::unique_ptr<TChildProcess>> children;
  for (int p = 0; p < kProcesses; ++p) {
    children.push_back(std::make_unique<TChildProcess>([path, p, ops](TChildProcess& self) {
      self.Receive();
      const TRows rows = Churn(path, p, ops);
      self.Send(0);
      self.SendText(Describe(rows));
    }));
    ASSERT_TRUE(children.back()->Started());
  }
  {
    TOpenTableResult created = directory_.CreateTable("Churn", false, false, ChurnDefinition());
    ASSERT_NE(created.Table, nullptr);
    directory_.CloseTable(*created.Table, false);
  }
  for (auto& child : children) child->Send(1);

  TRows expected;
  for (int p = 0; p < kProcesses; ++p) {
    // 0 and the records; an engine error that ended a process fails the test.
    const std::optional<uint32_t> status = children[size_t(p)]->Receive(std::chrono::minutes(5));
    ASSERT_EQ(status, 0u) << "process " << p << " failed";
    std::optional<std::string> report = children[size_t(p)]->ReceiveText();
    ASSERT_TRUE(report) << "process " << p << " did not report";
    for (auto& [code, row] : Parse(*report)) expected[code] = row;
  }

  auto cursor = OpenCursor("Churn");
  EXPECT_EQ(test::TableFindings(cursor->Table()), "");
  TRows found;
  std::vector<uint8_t> image(cursor->RecordSize());
  while (cursor->ReadNext(image.data()) == 0) {
    found[GetText(*cursor, image.data(), kCode)] = GetRow(*cursor, image.data());
  }
  EXPECT_EQ(cursor->GetRecordCount(), int32_t(expected.size()));
  EXPECT_EQ(Describe(found), Describe(expected));
}

}  // namespace
}  // namespace ledra
