#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "tests/support/TempDir.h"
#include "tests/tools/ledra/LedraTestSupport.h"

namespace ledra::test {
namespace {

namespace fs = std::filesystem;

// `ledra repair` on a table the tool made: Code (string 8, primary), Name
// (string 20, index ByName), Note (memo).
class LedraRepairTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(
        RunLedra({"create", Dir(), "Base", "--field", "Code:string:8", "--field", "Name:string:20",
                  "--field", "Note:memo", "--primary", "Code", "--index", "ByName:Name"})
            .Exit,
        0);
    std::string input = "Code,Name,Note\n";
    for (int i = 0; i < 150; ++i) {
      input += "K" + std::to_string(1000 + i) + ",Name " + std::to_string(i % 40) + "," +
               (i % 5 == 0 ? std::string(700, char('a' + i % 26)) : std::string()) + "\n";
    }
    TLedraRun imported = RunLedra({"import", Dir(), "Base", "-"}, input);
    ASSERT_EQ(imported.Exit, 0) << imported.Err;
    ASSERT_EQ(RunLedra({"delete", Dir(), "Base", "K1010"}).Exit, 0);
    exported_ = Export();
  }

  std::string Dir() const { return dir_.Path().string(); }
  std::string File(const std::string& ext) const { return (dir_.Path() / ("Base" + ext)).string(); }
  std::string Export() { return RunLedra({"export", Dir(), "Base", "--natural"}).Out; }
  TLedraRun Repair() { return RunLedra({"repair", Dir(), "Base"}); }

  TempDir dir_;
  std::string exported_;
};

TEST_F(LedraRepairTest, ASoundTableIsReportedAndLeftAlone) {
  const std::string data = ReadFile(File(".DAT"));
  const std::string index = ReadFile(File(".IDX"));

  const TLedraRun run = Repair();

  EXPECT_EQ(run.Exit, 0) << run.Err;
  EXPECT_EQ(run.Out, "Table Base is sound; nothing changed.\n");
  EXPECT_EQ(ReadFile(File(".DAT")), data);
  EXPECT_EQ(ReadFile(File(".IDX")), index);
  EXPECT_FALSE(fs::exists(File(".DBK")));
}

TEST_F(LedraRepairTest, MendsTheTableSoThatVerifyFindsNothing) {
  std::string index = ReadFile(File(".IDX"));
  index[3974] = char(index[3974] + 3);                            // the live count
  std::fill(index.begin() + 4096, index.begin() + 8192, '\xA5');  // page 1
  WriteFile(File(".IDX"), index);
  ASSERT_EQ(RunLedra({"verify", Dir(), "Base"}).Exit, 1);

  const TLedraRun run = Repair();

  EXPECT_EQ(run.Exit, 0) << run.Err;
  EXPECT_NE(run.Out.find("live count 152 -> 149\n"), std::string::npos) << run.Out;
  EXPECT_NE(run.Out.find("index 'ByName' rebuilt: 149 entries\n"), std::string::npos) << run.Out;
  EXPECT_NE(run.Out.find("Table Base repaired: "), std::string::npos) << run.Out;
  EXPECT_EQ(ReadFile(File(".IBK")), index);
  const TLedraRun verify = RunLedra({"verify", Dir(), "Base"});
  EXPECT_EQ(verify.Exit, 0) << verify.Out;
  EXPECT_EQ(Export(), exported_);
}

TEST_F(LedraRepairTest, ATableWhoseDataFileCannotBeReadIsNotTouched) {
  std::string data = ReadFile(File(".DAT"));
  data[127 + 768 + 84] = 0;  // the second field's type
  WriteFile(File(".DAT"), data);
  const std::string index = ReadFile(File(".IDX"));

  const TLedraRun run = Repair();

  EXPECT_EQ(run.Exit, 2);
  EXPECT_NE(run.Err.find("LEDRA_HEADERCORRUPT"), std::string::npos) << run.Err;
  EXPECT_NE(run.Err.find("nothing was changed"), std::string::npos) << run.Err;
  EXPECT_EQ(ReadFile(File(".DAT")), data);
  EXPECT_EQ(ReadFile(File(".IDX")), index);
  EXPECT_FALSE(fs::exists(File(".DBK")));
}

}  // namespace
}  // namespace ledra::test
