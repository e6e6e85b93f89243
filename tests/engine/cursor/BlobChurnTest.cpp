// Blob churn by real processes on one shared table: each process inserts,
// edits (memo, data or both, to longer, shorter or empty values), cancels and
// deletes records of its own and reads everybody's blobs, then reports the
// values it has committed. The table, its text index and its blob file must
// then be sound and hold exactly those values.
//
// OSTREVO_CHURN_OPS sets the operations per process (default 150).
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <map>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "engine/cursor/DataCursor.h"
#include "engine/errors/EngineError.h"
#include "tests/engine/cursor/BlobCursorTestSupport.h"
#include "tests/support/ChildProcess.h"

namespace ledra {
namespace {

using test::kBlobData;
using test::kBlobMemo;
using test::TChildProcess;

constexpr int kProcesses = 3;
constexpr uint32_t kBaseSeed = 20240917;

int OperationsPerProcess() {
  const char* text = std::getenv("OSTREVO_CHURN_OPS");
  const int ops = text != nullptr ? std::atoi(text) : 0;
  return ops > 0 ? ops : 150;
}

// A record's two values, by its code.
struct TValues {
  std::string memo, data;
  bool operator==(const TValues&) const = default;
};
using TRows = std::map<std::string, TValues>;

std::string AsText(const std::vector<uint8_t>& bytes) {
  return std::string(bytes.begin(), bytes.end());
}

std::string Describe(const TRows& rows) {
  std::ostringstream out;
  for (const auto& [code, values] : rows) {
    out << code << ' ' << values.memo.size() << ' ' << values.memo << ' ' << values.data.size()
        << ' ' << values.data << '\n';
  }
  return out.str();
}

TRows Parse(const std::string& text) {
  TRows rows;
  std::istringstream in(text);
  for (std::string code; in >> code;) {
    size_t size = 0;
    TValues& values = rows[code];
    for (std::string* value : {&values.memo, &values.data}) {
      in >> size;
      in.get();
      value->resize(size);
      in.read(value->data(), std::streamsize(size));
    }
  }
  return rows;
}

// A memo of words and a data value of random length (0 now and then).
std::string MemoText(std::mt19937& random) {
  static const char* const kWords[] = {"north", "south", "harbour", "the", "depot", "quay"};
  std::string memo;
  const int n = std::uniform_int_distribution<int>(0, 12)(random);
  for (int i = 0; i < n; ++i) memo += std::string(kWords[random() % 6]) + " ";
  return memo;
}
std::string DataText(std::mt19937& random) {
  const size_t n = std::uniform_int_distribution<size_t>(0, 4)(random) == 0
                       ? 0
                       : std::uniform_int_distribution<size_t>(1, 5 * test::kTestPayload)(random);
  return AsText(test::Pattern(n, int(random() % 26)));
}

void Put(TDataCursor& cursor, uint8_t* image, int fieldNo, const std::string& value) {
  test::SetBlob(cursor, image, fieldNo, std::vector<uint8_t>(value.begin(), value.end()));
}

TRows Churn(const std::string& path, int process, int ops) {
  TDataSession session;
  TDataCursor cursor(session.OpenDirectory("Churn", path));
  cursor.SetTableName("Blobs");
  cursor.Open();
  std::mt19937 random(kBaseSeed + uint32_t(process));
  TRows mine;
  int made = 0;
  auto current = [&] {
    return std::vector<uint8_t>(cursor.CurrentRecord(),
                                cursor.CurrentRecord() + cursor.RecordSize());
  };
  auto find = [&](const std::string& code) {
    std::vector<uint8_t> key = test::NewImage(cursor, code);
    if (!cursor.FindByKey(false, key.data(), nullptr, 0, false, 1)) {
      throw std::runtime_error("committed record " + code + " not found");
    }
    return current();
  };
  auto pick = [&] {
    auto at = mine.begin();
    std::advance(at, std::uniform_int_distribution<size_t>(0, mine.size() - 1)(random));
    return at->first;
  };

  for (int op = 0; op < ops; ++op) {
    const int dice = std::uniform_int_distribution<int>(0, 99)(random);
    if (mine.empty() || dice < 30) {
      const std::string code = "p" + std::to_string(process) + "-" + std::to_string(++made);
      std::vector<uint8_t> image = test::NewImage(cursor, code);
      TValues values{MemoText(random), DataText(random)};
      Put(cursor, image.data(), kBlobMemo, values.memo);
      Put(cursor, image.data(), kBlobData, values.data);
      cursor.PostInsert(image.data());
      mine[code] = values;
    } else if (dice < 75) {
      const std::string code = pick();
      std::vector<uint8_t> image = find(code);
      if (cursor.ReadCurrent(image.data(), true) != 0) throw std::runtime_error("edit " + code);
      TValues values = mine[code];
      if (dice % 3 != 1) values.memo = MemoText(random);
      if (dice % 3 != 2) values.data = DataText(random);
      if (values.memo != mine[code].memo) Put(cursor, image.data(), kBlobMemo, values.memo);
      if (values.data != mine[code].data) Put(cursor, image.data(), kBlobData, values.data);
      if (dice % 10 == 0) {
        cursor.CancelEdit();
        cursor.DiscardNewBlobs(image.data());
      } else {
        cursor.PostEdit(image.data());
        mine[code] = values;
      }
    } else if (dice < 88) {
      const std::string code = pick();
      cursor.DeleteCurrent(find(code).data());
      mine.erase(code);
    } else {
      // Everybody's values; one rewritten since its record was read is
      // refused, never read wrong.
      cursor.MoveToStart();
      std::vector<uint8_t> image(cursor.RecordSize());
      for (int i = 0; i < 10 && cursor.ReadNext(image.data()) == 0; ++i) {
        try {
          test::GetBlob(cursor, image.data(), kBlobData);
        } catch (const ELedraEngineError& error) {
          if (error.ErrorCode != LEDRA_KEYORRECDELETED) throw;
        }
      }
    }
    if (cursor.OpenBlobCount() != 0) throw std::runtime_error("blob buffers left open");
  }
  return mine;
}

class BlobChurnTest : public test::CursorTest {};

TEST_F(BlobChurnTest, ProcessesKeepChainsStampsAndTheFreeListSound) {
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
  test::CreateBlobTable(directory_, "Blobs");
  for (auto& child : children) child->Send(1);

  TRows expected;
  for (int p = 0; p < kProcesses; ++p) {
    const std::optional<uint32_t> status = children[size_t(p)]->Receive(std::chrono::minutes(5));
    ASSERT_EQ(status, 0u) << "process " << p << " failed";
    std::optional<std::string> report = children[size_t(p)]->ReceiveText();
    ASSERT_TRUE(report) << "process " << p << " did not report";
    for (auto& [code, values] : Parse(*report)) expected[code] = values;
  }

  auto cursor = OpenCursor("Blobs");
  EXPECT_EQ(test::TableFindings(cursor->Table()), "");
  EXPECT_EQ(test::BlobProblems(cursor->Table()), "");
  TRows found;
  std::vector<uint8_t> image(cursor->RecordSize());
  while (cursor->ReadNext(image.data()) == 0) {
    uint8_t code[kFieldValueBufferSize] = {};
    bool isNull = false;
    cursor->GetFieldValue(test::kBlobCode, image.data(), isNull, code);
    found[reinterpret_cast<const char*>(code)] = {
        AsText(test::GetBlob(*cursor, image.data(), kBlobMemo)),
        AsText(test::GetBlob(*cursor, image.data(), kBlobData))};
  }
  EXPECT_EQ(Describe(found), Describe(expected));
}

}  // namespace
}  // namespace ledra
