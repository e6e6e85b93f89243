// Bad input given to `ledra`: each is refused with a message that says where
// and why, and the table's files are left byte for byte as they were.
#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "platform/Diagnostics.h"
#include "platform/WinError.h"
#include "tests/support/TempDir.h"
#include "tests/tools/ledra/LedraTestSupport.h"
#include "tools/ledra/LedraTool.h"

namespace ledra::test {
namespace {

class BadInputTest : public ::testing::Test {
 protected:
  void SetUp() override {
    TLedraRun created = RunLedra({"create",
                                  Dir(),
                                  "Kinds",
                                  "--field",
                                  "Code:string:8:required",
                                  "--field",
                                  "Name:string:10",
                                  "--field",
                                  "Small:smallint",
                                  "--field",
                                  "Int:integer",
                                  "--field",
                                  "Word:word",
                                  "--field",
                                  "Big:largeint",
                                  "--field",
                                  "Id:autoinc",
                                  "--field",
                                  "Dec:bcd:2",
                                  "--field",
                                  "Day:date",
                                  "--field",
                                  "At:time",
                                  "--field",
                                  "Memo:memo",
                                  "--primary",
                                  "Code"});
    ASSERT_EQ(created.Exit, 0) << created.Err;
    TLedraRun filled = RunLedra({"import", Dir(), "Kinds", "-"}, "Code,Name,Memo\nA1,first,note\n");
    ASSERT_EQ(filled.Exit, 0) << filled.Err;
  }

  std::string Dir() const { return dir_.Path().string(); }
  std::string TableBytes() const {
    return ReadFile(dir_.File("Kinds.DAT")) + "|" + ReadFile(dir_.File("Kinds.IDX")) + "|" +
           ReadFile(dir_.File("Kinds.BLB"));
  }

  TempDir dir_;
};

// Every kind of bad value and bad row, in CSV and JSON: the message names
// the line (and the field, the byte or the character), the exit code tells
// bad rows (1) from input that is wrong as a whole (2), and nothing of the
// good rows around them is written.
TEST_F(BadInputTest, EachBadInputIsNamedAndNothingIsWritten) {
  struct TCase {
    std::string Format;
    std::string Input;
    int Exit;
    std::string Message;
  };
  const std::string megabyte(1 << 20, 'x');
  const std::vector<TCase> cases = {
      // Numbers out of the field type's range.
      {"csv", "Code,Small\nB1,1\nB2,40000\n", 1,
       "line 3: field 'Small': '40000' is out of range for a smallint field (-32768 to 32767)"},
      {"csv", "Code,Int\nB1,2147483648\n", 1,
       "line 2: field 'Int': '2147483648' is out of range for an integer field"},
      {"csv", "Code,Word\nB1,-1\n", 1, "'-1' is out of range for a word field (0 to 65535)"},
      {"csv", "Code,Big\nB1,9223372036854775808\n", 1, "out of range for a largeint field"},
      {"csv", "Code,Id\nB1,1\nB2,seven\n", 1, "line 3: field 'Id': 'seven' is not a valid integer"},
      {"csv", "Code,Id\nB1,4294967296\n", 1, "out of range for an autoinc field"},
      {"csv", "Code,Dec\nB1,1.005\n", 1,
       "line 2: field 'Dec': '1.005' has more decimal places than the field keeps (2)"},
      {"csv", "Code,Dec\nB1,1e20\n", 1, "'1e20' is out of range for a bcd field"},
      {"csv", "Code,Day\nB1,0000-01-01\n", 1,
       "'0000-01-01' is not a valid date (a date is YYYY-MM-DD, from 0001-01-01 to 9999-12-31)"},
      {"csv", "Code,Day\nB1,10000-01-01\n", 1, "'10000-01-01' is not a valid date"},
      {"csv", "Code,At\nB1,24:00\n", 1, "'24:00' is not a valid time (a time is HH:MM"},
      // Text: too long, not UTF-8, outside the code page, far too long.
      {"csv", "Code,Name\nB1,ABCDEFGHIJK\n", 1,
       "line 2: field 'Name': 'ABCDEFGHIJK' is longer than 10 characters"},
      {"csv", "Code,Name\nB1,ok\nB2,caf\xE9\n", 1,
       "line 3: field 'Name': byte 7 of line 3 is not UTF-8"},
      {"csv", "Code,Name\nB1,\"two\nlines \xC3(\"\n", 1,
       "line 2: field 'Name': byte 7 of line 3 is not UTF-8"},
      {"csv", "Code,Name\nB1,\xE4\xB8\xAD\xE6\x96\x87\n", 1,
       "line 2: field 'Name': '中文' holds U+4E2D ('中'), which code page 1252 has no character"},
      {"csv", "Code,Memo\nB1,\xF0\x9F\x98\x80\n", 1, "field 'Memo': '😀' holds U+1F600"},
      {"csv", "Code,Name\nB1," + megabyte + "\n", 1,
       "line 2: field 'Name': the value is 1048576 bytes long, far more than a string field "
       "holds"},
      // Rows and records of the wrong shape.
      {"csv", "Code,Name\nB1,x\nB2,x,y\n", 1, "line 3: 3 values for 2 columns"},
      {"csv", "Code,Name\nB1,a\nB2,\"open\nB3,b\nB4,c\n", 2,
       "line 3: a quoted field begins here and is not closed before the end of the input"},
      {"csv", "Code,Name\nB1,a\nB2,,\n,missing\n", 1, "line 3: 3 values for 2 columns"},
      {"csv", "Code,Name\nB1,a\n,missing\n", 1,
       "line 3: Ledra Engine Error # 9732 A value must be provided for the field 'Code'"},
      {"csv", "Name,Memo\nx,y\n", 2, "line 1: the header has no column for the required field"},
      {"csv", "Code,Nmae\nB1,x\n", 2, "line 1: the table has no field named 'Nmae'"},
      // JSON.
      {"json", "[{\"Code\": \"B1\"},\n {\"Code\": \"B2\", \"Name\": [\"a\"]}]", 1,
       "record 2 (line 2): field 'Name': a value is a string, a number, a boolean or null, not "
       "an array"},
      {"json", "[\n{\"Code\": \"B1\", \"Name\": {\"first\": \"a\"}}]", 1,
       "record 1 (line 2): field 'Name': a value is a string, a number, a boolean or null, not "
       "an object"},
      {"json", "[{\"Code\": \"B1\", \"Name\": \"a\", \"Name\": \"b\"}]", 1,
       "record 1 (line 1): field 'Name' is given twice"},
      {"json", "[{\"Code\": \"B1\", \"code\": \"B2\"}]", 1, "field 'code' is given twice"},
      {"json", "[{\"Code\": \"B1\"}, \"B2\"]", 1, "record 2 (line 1): not a JSON object"},
      {"json", "[{\"Code\": \"B1\", \"Colour\": \"red\"}]", 1,
       "record 1 (line 1): the table has no field named 'Colour'"},
      {"json", "[{\"Code\": \"B1\"},\n\n{\"Name\": \"x\"}]", 1,
       "record 2 (line 3): Ledra Engine Error # 9732"},
      {"json", "[{\"Code\": \"B1\", \"Small\": 70000}]", 1,
       "field 'Small': '70000' is out of range for a smallint field"},
      {"json", "[{\"Code\": \"B1\", \"Dec\": 0.125}]", 1, "has more decimal places"},
      {"json", "{\"Code\": \"B1\"}", 2, "the input is not a JSON array of objects"},
      {"json", "[{\"Code\": \"B1\"}\n{\"Code\": \"B2\"}]", 2,
       "the input is not JSON: [json.exception.parse_error.101] parse error at line 2"},
      {"json", "[{\"Code\": \"caf\xE9\"}]", 2, "ill-formed UTF-8 byte; last read: '\"caf\\xE9\"'"},
  };
  const std::string before = TableBytes();
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Message);
    TLedraRun run = RunLedra({"import", Dir(), "Kinds", "-", "--format", c.Format}, c.Input);
    EXPECT_EQ(run.Exit, c.Exit) << run.Err;
    EXPECT_NE(run.Err.find(c.Message), std::string::npos) << run.Err;
    EXPECT_EQ(run.Out, "");
    EXPECT_EQ(TableBytes(), before);
  }
}

// A huge memo is a value like any other, and a JSON number meant for a BCD
// field keeps every digit it was written with.
TEST_F(BadInputTest, BigMemosAndExactNumbersGoIn) {
  std::string memo(3 << 20, 'm');
  memo += "\xC3\xA9nd";  // é, in code page 1252 one byte
  TLedraRun run = RunLedra({"import", Dir(), "Kinds", "-"}, "Code,Memo\nB1,\"" + memo + "\"\n");
  ASSERT_EQ(run.Exit, 0) << run.Err;
  run =
      RunLedra({"import", Dir(), "Kinds", "-", "--format", "json"},
               "[{\"Code\": \"B2\", \"Dec\": 922337203685477.58, \"Big\": -9223372036854775808}]");
  ASSERT_EQ(run.Exit, 0) << run.Err;
  TLedraRun found = RunLedra({"find", Dir(), "Kinds", "B2", "--json"});
  ASSERT_EQ(found.Exit, 0) << found.Err;
  EXPECT_NE(found.Out.find("\"Dec\": \"922337203685477.58\""), std::string::npos) << found.Out;
  EXPECT_NE(found.Out.find("\"Big\": -9223372036854775808"), std::string::npos) << found.Out;
  found = RunLedra({"find", Dir(), "Kinds", "B1", "--json"});
  EXPECT_NE(found.Out.find("mmm\u00e9nd\""), std::string::npos);
  EXPECT_EQ(RunLedra({"verify", Dir(), "Kinds"}).Exit, 0);
}

// When the table cannot be written at the end, the rows are rolled back:
// the message says so and the files are as they were.
TEST_F(BadInputTest, AWriteFailureRollsTheWholeImportBack) {
  const std::string before = TableBytes();
  std::istringstream in("Code,Name,Memo\nB1,one,first memo\nB2,two,second memo\n");
  std::ostringstream out, err;
  const std::vector<std::string> args = {"ledra", "import", Dir(), "Kinds", "-"};
  std::vector<const char*> argv;
  for (const std::string& arg : args) argv.push_back(arg.c_str());
  platform::FailNext(platform::OsCall::Write, platform::kErrorWriteFault);
  const int exit = tool::RunLedraTool(int(argv.size()), argv.data(), in, out, err);
  const bool failed = !platform::FaultPending(platform::OsCall::Write);
  platform::ClearFaults();
  EXPECT_TRUE(failed);
  EXPECT_EQ(exit, 2);
  EXPECT_NE(err.str().find("the rows cannot be written: "), std::string::npos) << err.str();
  EXPECT_NE(err.str().find("nothing was imported"), std::string::npos);
  EXPECT_EQ(out.str(), "");
  EXPECT_EQ(TableBytes(), before);
  EXPECT_EQ(RunLedra({"verify", Dir(), "Kinds"}).Exit, 0);
}

// On the command line DIR is the directory: a TABLE that holds one is
// refused before anything is opened or made.
TEST_F(BadInputTest, TableNamesHoldingADirectoryAreRefused) {
  std::filesystem::create_directory(dir_.File("inner"));
  const std::string inner = dir_.File("inner");
  for (const std::string table :
       {"../Escaped", "sub/Table", "sub\\Table", "C:Table", "..", "../Kinds"}) {
    SCOPED_TRACE(table);
    const std::vector<std::vector<std::string>> commands = {
        {"create", inner, table, "--field", "A:string:5"},
        {"import", inner, table, "-"},
        {"info", inner, table},
        {"export", inner, table},
        {"find", inner, table, "A1"},
    };
    for (const std::vector<std::string>& command : commands) {
      TLedraRun run = RunLedra(command, "Code\nA9\n");
      EXPECT_EQ(run.Exit, 2) << command[0];
      EXPECT_NE(run.Err.find("'" + table +
                             "' is not a table name: give the table's directory as "
                             "DIR and its name alone as TABLE"),
                std::string::npos)
          << run.Err;
    }
  }
  EXPECT_FALSE(std::filesystem::exists(dir_.File("Escaped.DAT")));
  EXPECT_TRUE(std::filesystem::is_empty(inner));
  EXPECT_EQ(RunLedra({"export", Dir(), "Kinds"}).Out,
            "Code,Name,Small,Int,Word,Big,Id,Dec,Day,At,"
            "Memo\r\nA1,first,,,,,1,,,,note\r\n");
}

// Key values and --set values pass the same checks, with the field named.
TEST_F(BadInputTest, KeyAndUpdateValuesAreChecked) {
  const std::string before = TableBytes();
  const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
      {{"update", Dir(), "Kinds", "A1", "--set", "Small=40000"},
       "field 'Small': '40000' is out of range for a smallint field (-32768 to 32767)"},
      {{"update", Dir(), "Kinds", "A1", "--set", "Name=ok", "--set", "Dec=0.001"},
       "field 'Dec': '0.001' has more decimal places than the field keeps (2)"},
      {{"update", Dir(), "Kinds", "A1", "--set", "Name=\xE4\xB8\xAD"}, "holds U+4E2D"},
      {{"update", Dir(), "Kinds", "A1", "--set", "Memo=caf\xE9"},
       "field 'Memo': the value holds byte 0xE9 (its byte 4), which is not UTF-8"},
      {{"update", Dir(), "Kinds", "A1", "--set", "Day=2023-02-29"}, "is not a valid date"},
      {{"update", Dir(), "Kinds", "A1", "--set", "Id=5"}, "is an AutoInc field"},
      {{"find", Dir(), "Kinds", "ABCDEFGHI"}, "field 'Code': 'ABCDEFGHI' is longer than 8"},
      {{"delete", Dir(), "Kinds", "\xE4\xB8\xAD"}, "field 'Code': '中' holds U+4E2D"},
  };
  for (const auto& [args, message] : cases) {
    SCOPED_TRACE(message);
    TLedraRun run = RunLedra(args);
    EXPECT_EQ(run.Exit, 2);
    EXPECT_NE(run.Err.find(message), std::string::npos) << run.Err;
    EXPECT_EQ(TableBytes(), before);
  }
}

}  // namespace
}  // namespace ledra::test
