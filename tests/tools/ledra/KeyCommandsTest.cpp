#include "tools/ledra/KeyCommands.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "engine/cursor/DataCursor.h"
#include "engine/table/DataSession.h"
#include "tests/engine/table/TableTestSupport.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/TempDir.h"
#include "tests/tools/ledra/LedraTestSupport.h"

namespace ledra::test {
namespace {

constexpr uint32_t kReady = 1;
constexpr uint32_t kGo = 2;

// The other program: a cursor of its own session on the table, reading with
// strict change detection so that it sees every change at once.
class TOtherProgram {
 public:
  explicit TOtherProgram(const std::string& dir)
      : directory_(session_.OpenDirectory(dir, dir)), cursor_(directory_) {
    session_.SetStrictChangeDetection(true);
    cursor_.SetTableName("Towns");
    cursor_.Open();
    image_.resize(cursor_.RecordSize());
  }

  // Stands on the record of a code: false when there is none.
  bool Find(const std::string& code) {
    std::vector<uint8_t> key(cursor_.RecordSize(), 0);
    char value[8] = {};
    std::memcpy(value, code.data(), code.size());
    cursor_.SetFieldValue(1, key.data(), reinterpret_cast<const uint8_t*>(value), false, false);
    return cursor_.FindByKey(false, key.data(), image_.data(), 0, false, 1);
  }
  std::string Town() {
    char value[64] = {};
    bool isNull = false;
    cursor_.GetFieldValue(2, image_.data(), isNull, reinterpret_cast<uint8_t*>(value));
    return value;
  }
  // Begins an edit: the record stays locked until CancelEdit.
  void Edit() { cursor_.ReadCurrent(image_.data(), true); }
  void CancelEdit() { cursor_.CancelEdit(); }

 private:
  TDataSession session_;
  TDataDirectory& directory_;
  TDataCursor cursor_;
  std::vector<uint8_t> image_;
};

class KeyCommandsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (test::IsChildProcess()) return;  // the other program finds the test's table
    ASSERT_EQ(RunLedra({"create", Dir(), "Towns", "--field", "Code:string:6:upper", "--field",
                        "Town:string:30", "--field", "Hits:integer", "--primary", "Code",
                        "--text-index", "Town"})
                  .Exit,
              0);
    TLedraRun imported = RunLedra({"import", Dir(), "Towns", "-"},
                                  "Code,Town,Hits\nA1,Anting,1\nB2,Baoshan,2\nC3,Chongming,3\n");
    ASSERT_EQ(imported.Exit, 0) << imported.Err;
  }
  std::string Dir() const { return dir_.Path().string(); }

  TempDir dir_;
};

// find, update and delete work while another program has the table open,
// and that program sees each change.
TEST_F(KeyCommandsTest, FindUpdateDeleteBesideAnotherProgram) {
  TChildProcess other([&](TChildProcess& self) {
    TOtherProgram program(Dir());
    self.SendText(program.Find("B2") ? program.Town() : "-");
    if (self.Receive() != kGo) return;
    self.SendText(program.Find("B2") ? program.Town() : "-");
    if (self.Receive() != kGo) return;
    self.SendText(program.Find("C3") ? program.Town() : "-");
    self.Receive();
  });
  ASSERT_TRUE(other.Started());
  ASSERT_EQ(other.ReceiveText(), "Baoshan");

  TLedraRun found = RunLedra({"find", Dir(), "Towns", "b2"});  // the key field is upper case
  EXPECT_EQ(found.Exit, 0) << found.Err;
  EXPECT_EQ(Lines(found.Out), (std::vector<std::string>{"Code  B2", "Town  Baoshan", "Hits  2"}));
  TLedraRun json = RunLedra({"find", Dir(), "Towns", "A1", "--json"});
  EXPECT_NE(json.Out.find("\"Hits\": 1"), std::string::npos) << json.Out;

  TLedraRun updated = RunLedra(
      {"update", Dir(), "Towns", "B2", "--set", "town=Baoshan New Town", "--set", "Hits="});
  EXPECT_EQ(updated.Exit, 0) << updated.Err;
  other.Send(kGo);
  EXPECT_EQ(other.ReceiveText(), "Baoshan New Town");
  EXPECT_EQ(Lines(RunLedra({"find", Dir(), "Towns", "B2"}).Out)[2], "Hits  ");

  TLedraRun deleted = RunLedra({"delete", Dir(), "Towns", "C3"});
  EXPECT_EQ(deleted.Exit, 0) << deleted.Err;
  other.Send(kGo);
  EXPECT_EQ(other.ReceiveText(), "-");

  TLedraRun gone = RunLedra({"find", Dir(), "Towns", "C3"});
  EXPECT_EQ(gone.Exit, 1);
  EXPECT_NE(gone.Err.find("no record of Towns has the key (C3)"), std::string::npos);
  EXPECT_EQ(RunLedra({"delete", Dir(), "Towns", "C3"}).Exit, 1);
  EXPECT_EQ(RunLedra({"update", Dir(), "Towns", "C3", "--set", "Hits=1"}).Exit, 1);
  TLedraRun verified = RunLedra({"verify", Dir(), "Towns"});
  EXPECT_EQ(verified.Exit, 0) << verified.Out;
  other.Send(kGo);

  // Bad requests change nothing.
  const std::string before = ReadFile(dir_.File("Towns.DAT"));
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"update", Dir(), "Towns", "A1", "--set", "Hits=lots"},
        std::vector<std::string>{"update", Dir(), "Towns", "A1", "--set", "Colour=red"},
        std::vector<std::string>{"update", Dir(), "Towns", "A1", "--set", "Hits"},
        std::vector<std::string>{"find", Dir(), "Towns", "A1", "B2"}}) {
    TLedraRun refused = RunLedra(args);
    EXPECT_EQ(refused.Exit, 2) << args[4];
    EXPECT_FALSE(refused.Err.empty());
  }
  EXPECT_EQ(ReadFile(dir_.File("Towns.DAT")), before);
}

// A record another program is editing cannot be updated or deleted: the
// record lock refuses it after the session's retries, and nothing changes.
TEST_F(KeyCommandsTest, RecordLockedByAnotherProgramIsRefused) {
  TChildProcess other([&](TChildProcess& self) {
    TOtherProgram program(Dir());
    program.Find("B2");
    program.Edit();
    self.Send(kReady);
    if (self.Receive() != kGo) return;
    program.CancelEdit();
    self.Send(kReady);
    self.Receive();
  });
  ASSERT_TRUE(other.Started());
  ASSERT_EQ(other.Receive(), kReady);
  const std::string before = ReadFile(dir_.File("Towns.DAT"));

  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"update", Dir(), "Towns", "B2", "--set", "Hits=20"},
        std::vector<std::string>{"delete", Dir(), "Towns", "B2"}}) {
    const auto start = std::chrono::steady_clock::now();
    TLedraRun refused = RunLedra(args);
    EXPECT_EQ(refused.Exit, 2);
    EXPECT_NE(refused.Err.find("Ledra Engine Error # 10258"), std::string::npos) << refused.Err;
    EXPECT_NE(refused.Err.find("LEDRA_RECLOCKFAILED"), std::string::npos);
    // 1 + LockRetryCount attempts, LockWaitTime apart: the default 15 x 100 ms.
    EXPECT_GE(MillisecondsSince(start), 1400);
  }
  EXPECT_EQ(ReadFile(dir_.File("Towns.DAT")), before);
  // Another record is free to change.
  EXPECT_EQ(RunLedra({"update", Dir(), "Towns", "A1", "--set", "Hits=10"}).Exit, 0);
  EXPECT_EQ(Lines(RunLedra({"find", Dir(), "Towns", "B2"}).Out)[2], "Hits  2");

  other.Send(kGo);
  ASSERT_EQ(other.Receive(), kReady);
  EXPECT_EQ(RunLedra({"update", Dir(), "Towns", "B2", "--set", "Hits=20"}).Exit, 0);
  EXPECT_EQ(Lines(RunLedra({"find", Dir(), "Towns", "B2"}).Out)[2], "Hits  20");
  other.Send(kGo);
}

}  // namespace
}  // namespace ledra::test
