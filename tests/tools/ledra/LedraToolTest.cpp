#include "tools/ledra/LedraTool.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include <nlohmann/json.hpp>

#include "tests/support/TempDir.h"
#include "tests/tools/ledra/LedraTestSupport.h"

namespace ledra::test {
namespace {

using nlohmann::json;

class LedraToolTest : public ::testing::Test {
 protected:
  std::string Dir() const { return dir_.Path().string(); }
  bool Exists(const std::string& name) const { return std::filesystem::exists(dir_.File(name)); }

  TempDir dir_;
};

// One table with a field of every type and index options, described back by
// info exactly as laid out, and verified sound.
TEST_F(LedraToolTest, CreateLaysOutEveryTypeAndInfoShowsIt) {
  TLedraRun created = RunLedra({"create",
                                Dir(),
                                "Every",
                                "--field",
                                "Code:string:9:required:upper:default=AB\\:C",
                                "--field",
                                "Day:date:min=2000-01-01",
                                "--field",
                                "Bin:blob",
                                "--field",
                                "Note:memo",
                                "--field",
                                "Flag:boolean",
                                "--field",
                                "Small:smallint:max=99",
                                "--field",
                                "Int:integer",
                                "--field",
                                "Id:autoinc",
                                "--field",
                                "Real:float",
                                "--field",
                                "Cash:money",
                                "--field",
                                "Dec:bcd:4",
                                "--field",
                                "Raw:bytes:6",
                                "--field",
                                "Time:time",
                                "--field",
                                "Stamp:timestamp",
                                "--field",
                                "Word:word",
                                "--field",
                                "Big:largeint",
                                "--field",
                                "Var:varbytes:10",
                                "--primary",
                                "Code",
                                "--index",
                                "ByDay:Day,Int:desc",
                                "--index",
                                "ByCode:Code:unique:nocase:compress=trail",
                                "--text-index",
                                "Code",
                                "--blob-block-size",
                                "1024",
                                "--description",
                                "All the types"});
  ASSERT_EQ(created.Exit, 0) << created.Err;
  EXPECT_TRUE(Exists("Every.DAT") && Exists("Every.IDX") && Exists("Every.BLB"));

  TLedraRun info = RunLedra({"info", Dir(), "every", "--json"});
  ASSERT_EQ(info.Exit, 0) << info.Err;
  json described = json::parse(info.Out);
  EXPECT_EQ(described["header"]["description"], "All the types");
  EXPECT_EQ(described["header"]["blobBlockSize"], 1024);
  EXPECT_EQ(described["header"]["blobFieldCount"], 2);
  EXPECT_EQ(described["liveRecords"], 0);
  // Offsets from 9 in field order, AutoInc at 5, each stored field taking
  // its width plus the null byte; the record size is where they end.
  const std::vector<std::tuple<std::string, int, int, int>> expected = {
      {"string", 9, 10, 9},    {"date", 0, 4, 20},       {"blob", 0, 8, 25},
      {"memo", 0, 8, 34},      {"boolean", 0, 2, 43},    {"smallint", 0, 2, 46},
      {"integer", 0, 4, 49},   {"autoinc", 0, 4, 5},     {"float", 0, 8, 54},
      {"money", 0, 8, 63},     {"bcd", 0, 34, 72},       {"bytes", 6, 6, 107},
      {"time", 0, 4, 114},     {"timestamp", 0, 8, 119}, {"word", 0, 2, 128},
      {"largeint", 0, 8, 131}, {"varbytes", 10, 10, 140}};
  ASSERT_EQ(described["fields"].size(), expected.size());
  for (size_t i = 0; i < expected.size(); ++i) {
    const json& field = described["fields"][i];
    SCOPED_TRACE(field.dump());
    EXPECT_EQ(field["type"], std::get<0>(expected[i]));
    EXPECT_EQ(field["size"], std::get<1>(expected[i]));
    EXPECT_EQ(field["dataSize"], std::get<2>(expected[i]));
    EXPECT_EQ(field["offset"], std::get<3>(expected[i]));
  }
  EXPECT_EQ(described["header"]["recordSize"], 151);
  EXPECT_EQ(described["fields"][0]["default"], "AB:C");
  EXPECT_EQ(described["fields"][0]["charCase"], "upper");
  EXPECT_EQ(described["fields"][0]["required"], true);
  EXPECT_EQ(described["fields"][1]["minimum"], "2000-01-01");
  EXPECT_EQ(described["fields"][10]["scale"], 4);

  const json& indexes = described["indexes"];
  ASSERT_EQ(indexes.size(), 5u);
  EXPECT_EQ(indexes[0]["keyLength"], 11);  // string 9: 10 bytes + null byte
  EXPECT_EQ(indexes[1]["name"], "ByDay");
  EXPECT_EQ(indexes[1]["keyLength"], 5 + 5 + 4);  // date, integer, row-id tail
  EXPECT_EQ(indexes[1]["descending"], true);
  EXPECT_EQ(indexes[1]["unique"], false);
  EXPECT_EQ(indexes[2]["keyLength"], 11);
  EXPECT_EQ(indexes[2]["caseInsensitive"], true);
  EXPECT_EQ(indexes[2]["compression"], "trail");
  EXPECT_EQ(indexes[3]["slot"], 31);
  EXPECT_EQ(indexes[4]["slot"], 32);
  EXPECT_EQ(indexes[4]["fields"][0]["name"], "Code");

  TLedraRun text = RunLedra({"info", Dir(), "Every"});
  EXPECT_EQ(text.Exit, 0);
  EXPECT_NE(text.Out.find("ByCode"), std::string::npos);
  EXPECT_NE(text.Out.find("unique nocase compress=trail"), std::string::npos);

  TLedraRun verified = RunLedra({"verify", Dir(), "Every"});
  EXPECT_EQ(verified.Exit, 0) << verified.Out;
  EXPECT_NE(verified.Out.find("is sound"), std::string::npos);

  // An existing table is refused and left as it was.
  std::string before = ReadFile(dir_.File("Every.DAT"));
  TLedraRun again = RunLedra({"create", Dir(), "Every", "--field", "A:string:5"});
  EXPECT_EQ(again.Exit, 2);
  EXPECT_NE(again.Err.find("already exists"), std::string::npos) << again.Err;
  EXPECT_EQ(ReadFile(dir_.File("Every.DAT")), before);
}

// Bad definitions are refused with the reason and leave no file behind.
TEST_F(LedraToolTest, BadDefinitionsAreRefusedWithoutFiles) {
  struct TCase {
    std::vector<std::string> Args;
    std::string Message;
  };
  const std::vector<TCase> cases = {
      {{"--field", "A:strng:5"}, "unknown field type 'strng'"},
      {{"--field", "A:string"}, "string takes exactly one size"},
      {{"--field", "A:string:251"}, "the size of string is 1 to 250"},
      {{"--field", "A:integer:4"}, "integer takes no size"},
      {{"--field", "A:date:default=2023-02-30"}, "is not a valid date"},
      {{"--field", "A:smallint:max=70000"},
       "the maximum: '70000' is out of range for a smallint field (-32768 to 32767)"},
      {{"--field", "A:string:5:default=toolong"},
       "the default: 'toolong' is longer than 5 characters"},
      {{"--field", "A:bcd:2:default=1.005"}, "the default: '1.005' has more decimal places"},
      {{"--field", "A:string:5:shout"}, "unknown field option 'shout'"},
      {{"--field", "1A:string:5"}, "begins with a letter"},
      {{"--field", "A:string:5", "--field", "a:integer"}, "a field of that name exists"},
      {{"--field", "A:string:5", "--primary", "B"}, "no field named 'B'"},
      {{"--field", "A:memo", "--primary", "A"}, "cannot be a key field"},
      {{"--field", "A:string:5", "--index", "X:A:sideways"}, "unknown index option"},
      {{"--field", "A:string:5", "--index", "X:A:compress=zip"}, "compression is none"},
      {{"--field", "A:integer", "--text-index", "A"}, "string fields only"},
      {{"--field", "A:string:5", "--password", "sixteen-letters!"}, "longer than 15"},
      {{"--primary", "A"}, "--field is required"},
  };
  for (const TCase& c : cases) {
    std::vector<std::string> args{"create", Dir(), "Bad"};
    args.insert(args.end(), c.Args.begin(), c.Args.end());
    TLedraRun run = RunLedra(args);
    SCOPED_TRACE(c.Message);
    EXPECT_EQ(run.Exit, 2);
    EXPECT_NE(run.Err.find(c.Message), std::string::npos) << run.Err;
    EXPECT_FALSE(Exists("Bad.DAT") || Exists("Bad.IDX") || Exists("Bad.BLB"));
  }
}

// A missing table or directory, a wrong or missing password: a message
// naming the cause and exit code 2, from every command that opens a table.
TEST_F(LedraToolTest, TablesThatCannotBeOpenedGiveTheEngineMessage) {
  ASSERT_EQ(
      RunLedra({"create", Dir(), "Secret", "--field", "A:string:5", "--password", "opensesame"})
          .Exit,
      0);
  for (const std::string command : {"info", "verify", "export"}) {
    SCOPED_TRACE(command);
    TLedraRun missing = RunLedra({command, Dir(), "Nowhere"});
    EXPECT_EQ(missing.Exit, 2);
    EXPECT_NE(missing.Err.find("does not exist"), std::string::npos) << missing.Err;
    EXPECT_NE(missing.Err.find("LEDRA_OSENOENT"), std::string::npos);

    TLedraRun noDirectory = RunLedra({command, dir_.File("no-such-dir"), "Secret"});
    EXPECT_EQ(noDirectory.Exit, 2);
    EXPECT_NE(noDirectory.Err.find("is not a directory"), std::string::npos);

    for (const std::vector<std::string>& password :
         {std::vector<std::string>{}, std::vector<std::string>{"--password", "OpenSesame"}}) {
      std::vector<std::string> args{command, Dir(), "Secret"};
      args.insert(args.end(), password.begin(), password.end());
      TLedraRun refused = RunLedra(args);
      EXPECT_EQ(refused.Exit, 2);
      EXPECT_NE(refused.Err.find("Ledra Engine Error # 10498"), std::string::npos) << refused.Err;
    }
    TLedraRun opened = RunLedra({command, Dir(), "Secret", "--password", "opensesame"});
    EXPECT_EQ(opened.Exit, 0) << opened.Err;
  }
  TLedraRun info = RunLedra({"info", Dir(), "Secret", "--password", "opensesame", "--json"});
  EXPECT_EQ(json::parse(info.Out)["header"]["encrypted"], true);
  TLedraRun usage = RunLedra({"frobnicate"});
  EXPECT_EQ(usage.Exit, 2);
}

}  // namespace
}  // namespace ledra::test
