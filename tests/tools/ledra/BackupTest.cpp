// `ledra backup` and `ledra restore`, driven as a user drives them.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "engine/table/DataDirectory.h"
#include "engine/table/DataSession.h"
#include "engine/table/DataTable.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/TempDir.h"
#include "tests/tools/ledra/LedraTestSupport.h"

namespace ledra {
namespace {

namespace fs = std::filesystem;
using test::RunLedra;
using test::TLedraRun;

class BackupTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (test::IsChildProcess()) return;  // the other program finds the test's tables
    ASSERT_EQ(RunLedra({"demo", Dir(), "--records", "300"}).Exit, 0);
  }
  std::string Dir() const { return dir_.File("data"); }
  std::string Saved() const { return dir_.File("saved"); }
  std::string Export() { return RunLedra({"export", Dir(), "Smeadt01"}).Out; }
  // The account (the primary key) of the first address in the export: the
  // second column.
  std::string FirstKey() {
    const std::string text = Export();
    size_t at = text.find('\n') + 1;
    at = text.find(',', at) + 1;
    return text.substr(at, text.find(',', at) - at);
  }

  test::TempDir dir_;
};

TEST_F(BackupTest, BackupThenRestoreGivesBackEveryRecord) {
  const std::string before = Export();
  ASSERT_FALSE(before.empty());
  const TLedraRun backup = RunLedra({"backup", Dir(), "Smeadt01", Saved()});
  ASSERT_EQ(backup.Exit, 0) << backup.Err;
  EXPECT_NE(backup.Out.find("300 records"), std::string::npos) << backup.Out;
  EXPECT_EQ(RunLedra({"verify", Saved(), "Smeadt01"}).Exit, 0);

  const TLedraRun changed =
      RunLedra({"update", Dir(), "Smeadt01", FirstKey(), "--set", "NAD_CITY_NM=Changed Town"});
  ASSERT_EQ(changed.Exit, 0) << changed.Err;
  ASSERT_NE(Export(), before);

  const TLedraRun restore = RunLedra({"restore", Dir(), "Smeadt01", Saved()});
  ASSERT_EQ(restore.Exit, 0) << restore.Err;
  EXPECT_EQ(Export(), before);
  EXPECT_TRUE(fs::exists(Dir() + "/Smeadt01.DBK"));
  EXPECT_NE(restore.Out.find("Smeadt01.DBK"), std::string::npos) << restore.Out;
  EXPECT_EQ(RunLedra({"verify", Dir(), "Smeadt01"}).Exit, 0);
}

TEST_F(BackupTest, RestoreSaysWhyItIsRefusedAndChangesNothing) {
  // Another program that opens the address book when told to; made before
  // this test changes any file.
  const std::string dir = Dir();
  test::TChildProcess child([&](test::TChildProcess& self) {
    if (self.Receive() != 1u) return;
    TDataSession session;
    TDataTable& table = OpenCursorTable(session, "Data", dir, "Smeadt01", false, false, {});
    self.Send(1);
    self.Receive();
    table.Directory().CloseTable(table, false);
  });

  ASSERT_EQ(RunLedra({"backup", Dir(), "Smeadt01", Saved()}).Exit, 0);
  const std::string before = Export();

  TLedraRun missing = RunLedra({"restore", Dir(), "Smeadt01", dir_.File("nowhere")});
  EXPECT_EQ(missing.Exit, 2);
  EXPECT_NE(missing.Err.find("no backup folder"), std::string::npos) << missing.Err;

  fs::remove(Saved() + "/Smeadt01.IDX");
  TLedraRun incomplete = RunLedra({"restore", Dir(), "Smeadt01", Saved()});
  EXPECT_EQ(incomplete.Exit, 2);
  EXPECT_NE(incomplete.Err.find("not sound"), std::string::npos) << incomplete.Err;
  ASSERT_EQ(RunLedra({"backup", Dir(), "Smeadt01", Saved()}).Exit, 0);

  // Another program has the address book open.
  child.Send(1);
  ASSERT_EQ(child.Receive(), 1u);
  TLedraRun open = RunLedra({"restore", Dir(), "Smeadt01", Saved()});
  EXPECT_EQ(open.Exit, 2);
  EXPECT_NE(open.Err.find("another program has the table open"), std::string::npos) << open.Err;
  EXPECT_FALSE(fs::exists(Dir() + "/Smeadt01.DBK"));
  child.Send(0);
  EXPECT_TRUE(child.Finish());
  EXPECT_EQ(Export(), before);
}

TEST_F(BackupTest, BackupRefusesTheTablesOwnFolderAndNeedsTheTablePassword) {
  TLedraRun own = RunLedra({"backup", Dir(), "Smeadt01", Dir()});
  EXPECT_EQ(own.Exit, 2);
  EXPECT_NE(own.Err.find("own folder"), std::string::npos) << own.Err;

  ASSERT_EQ(RunLedra({"create", Dir(), "Secret", "--field", "A:string:5", "--password", "pw"}).Exit,
            0);
  EXPECT_EQ(RunLedra({"backup", Dir(), "Secret", Saved()}).Exit, 2);
  EXPECT_FALSE(fs::exists(Saved() + "/Secret.DAT"));
  EXPECT_EQ(RunLedra({"backup", Dir(), "Secret", Saved(), "--password", "pw"}).Exit, 0);
  EXPECT_TRUE(fs::exists(Saved() + "/Secret.DAT"));
}

}  // namespace
}  // namespace ledra
