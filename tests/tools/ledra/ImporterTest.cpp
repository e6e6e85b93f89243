#include "tools/ledra/Importer.h"

#include <sstream>

#include "tools/ledra/Csv.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "tests/support/TempDir.h"
#include "tests/tools/ledra/LedraTestSupport.h"

namespace ledra::test {
namespace {

// A table of every kind of text value, filled through import and read back
// through export.
class ImporterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    TLedraRun created = RunLedra({"create",
                                  Dir(),
                                  "Goods",
                                  "--field",
                                  "Code:string:8:required",
                                  "--field",
                                  "Name:string:30",
                                  "--field",
                                  "Born:date",
                                  "--field",
                                  "Price:money",
                                  "--field",
                                  "Ratio:float",
                                  "--field",
                                  "Count:integer",
                                  "--field",
                                  "Flag:boolean",
                                  "--field",
                                  "Dec:bcd:2",
                                  "--field",
                                  "At:timestamp",
                                  "--field",
                                  "Raw:bytes:3",
                                  "--primary",
                                  "Code",
                                  "--index",
                                  "ByName:Name:nocase"});
    ASSERT_EQ(created.Exit, 0) << created.Err;
  }

  std::string Dir() const { return dir_.Path().string(); }
  std::string Export(std::vector<std::string> extra = {}, const std::string& table = "Goods") {
    std::vector<std::string> args{"export", Dir(), table};
    args.insert(args.end(), extra.begin(), extra.end());
    TLedraRun run = RunLedra(args);
    EXPECT_EQ(run.Exit, 0) << run.Err;
    return run.Out;
  }
  std::string TableBytes() const {
    return ReadFile(dir_.File("Goods.DAT")) + ReadFile(dir_.File("Goods.IDX"));
  }

  TempDir dir_;
};

// The fields of every record of a CSV text.
std::vector<std::vector<std::string>> Records(const std::string& text) {
  std::istringstream in(text);
  tool::TCsvReader reader(in);
  std::vector<std::vector<std::string>> records;
  while (std::optional<tool::TCsvRecord> record = reader.Next()) records.push_back(record->Fields);
  return records;
}

const std::string kHeader = "Code,Name,Born,Price,Ratio,Count,Flag,Dec,At,Raw";
// In the order export gives them: by Code.
const std::vector<std::string> kRows = {
    "A100,\"Smith, John\",1970-01-31,12.5,0.1,-7,TRUE,3.10,2024-02-29 13:45:10.250,00FF7F",
    "B200,\"say \"\"cheese\"\"\",,,,,FALSE,-0.05,,",
    "C300,\"two\r\nlines\",2000-12-31,-1000000.25,1e+300,2147483647,,12345.00,08:00:00,",
    "D400,Café € señor,0001-01-01,0,-2.5e-10,0,TRUE,0.00,9999-12-31 23:59:59.999,010203",
};

// create → import → export gives the same rows, whatever the column order
// and case of the header, in CSV and in JSON, in every order asked.
TEST_F(ImporterTest, ImportedRowsExportAsGiven) {
  // The columns reordered and in other cases; the rows out of order.
  std::string input = "raw,AT,dec,flag,count,ratio,price,born,NAME,code\r\n";
  for (size_t i : {2, 0, 3, 1}) {
    // Reverse the columns of the row by reading it as CSV.
    std::istringstream line(kRows[i] + "\r\n");
    tool::TCsvReader reader(line);
    std::vector<std::string> fields = reader.Next()->Fields;
    std::reverse(fields.begin(), fields.end());
    input += tool::CsvLine(fields);
  }
  TLedraRun imported = RunLedra({"import", Dir(), "Goods", "-"}, input);
  ASSERT_EQ(imported.Exit, 0) << imported.Err;
  EXPECT_EQ(imported.Out, "Added 4 records.\n");

  std::string expected = kHeader + "\r\n";
  for (const std::string& row : kRows) expected += row + "\r\n";
  EXPECT_EQ(Export(), expected);

  // Record-number order is the order of the import; ByName ignores case.
  std::vector<std::vector<std::string>> natural = Records(Export({"--natural"}));
  ASSERT_EQ(natural.size(), 5u);
  EXPECT_EQ(natural[1][0], "C300");
  EXPECT_EQ(natural[2][0], "A100");
  std::vector<std::vector<std::string>> byName = Records(Export({"--index", "byname"}));
  ASSERT_EQ(byName.size(), 5u);
  EXPECT_EQ(byName[1][0], "D400");  // "Café" before "say", "Smith", "two"
  EXPECT_EQ(byName[4][0], "C300");

  // JSON carries the same values; importing it into a twin gives the same
  // CSV again.
  nlohmann::json json = nlohmann::json::parse(Export({"--format", "json"}));
  ASSERT_EQ(json.size(), 4u);
  EXPECT_EQ(json[0]["Name"], "Smith, John");
  EXPECT_EQ(json[0]["Count"], -7);
  EXPECT_EQ(json[0]["Flag"], true);
  EXPECT_EQ(json[1]["Born"], nullptr);
  EXPECT_EQ(json[3]["Name"], "Café € señor");
  ASSERT_EQ(RunLedra({"create",
                      Dir(),
                      "Twin",
                      "--field",
                      "Code:string:8:required",
                      "--field",
                      "Name:string:30",
                      "--field",
                      "Born:date",
                      "--field",
                      "Price:money",
                      "--field",
                      "Ratio:float",
                      "--field",
                      "Count:integer",
                      "--field",
                      "Flag:boolean",
                      "--field",
                      "Dec:bcd:2",
                      "--field",
                      "At:timestamp",
                      "--field",
                      "Raw:bytes:3",
                      "--primary",
                      "Code"})
                .Exit,
            0);
  TLedraRun twin = RunLedra({"import", Dir(), "Twin", "-", "--format", "json"}, json.dump());
  EXPECT_EQ(twin.Exit, 0) << twin.Err;
  EXPECT_EQ(Export({}, "Twin"), expected);

  for (const std::string table : {"Goods", "Twin"}) {
    EXPECT_EQ(RunLedra({"verify", Dir(), table}).Exit, 0);
  }
}

// Rows that cannot be converted or that a check refuses are all reported,
// each bad field with its line, and then nothing is written; rows the
// unique index refuses are found while writing, and the transaction that
// holds the rows written before them is rolled back.
TEST_F(ImporterTest, BadRowsAreAllReportedAndNothingIsWritten) {
  ASSERT_EQ(RunLedra({"import", Dir(), "Goods", "-"}, "Code,Name\nA1,kept\n").Exit, 0);
  const std::string before = TableBytes();
  const std::string input =
      "Code,Name,Count,Born\n"
      "A2,first,1,2001-01-01\n"      // line 2
      "A3,second,many,2001-01-02\n"  // line 3: not an integer
      "\"A4\",\"third\nrow\",3,\n"   // lines 4-5
      ",nameless,5,\n"               // line 6: Code is required
      "A6,sixth,6,2001-02-30\n"      // line 7: no such date
      "A7,seventh\n"                 // line 8: too few values
      "A8,eighth,x,2001-13-01\n";    // line 9: two bad fields
  TLedraRun run = RunLedra({"import", Dir(), "Goods", "-"}, input);
  EXPECT_EQ(run.Exit, 1);
  EXPECT_EQ(run.Out, "");
  EXPECT_EQ(Lines(run.Err),
            (std::vector<std::string>{
                "line 3: field 'Count': 'many' is not a valid integer value",
                "line 6: Ledra Engine Error # 9732 A value must be provided for the field 'Code' "
                "in the table 'Goods' (LEDRA_REQDERR)",
                "line 7: field 'Born': '2001-02-30' is not a valid date (a date is YYYY-MM-DD, "
                "from 0001-01-01 to 9999-12-31)",
                "line 8: 2 values for 4 columns",
                "line 9: field 'Count': 'x' is not a valid integer value",
                "line 9: field 'Born': '2001-13-01' is not a valid date (a date is YYYY-MM-DD, "
                "from 0001-01-01 to 9999-12-31)",
                "ledra: 5 of 7 rows cannot be imported; nothing was added to Goods"}));
  EXPECT_EQ(TableBytes(), before);

  // Keys the table or an earlier row holds: every such row is named, the
  // rows posted before them are rolled back.
  const std::string keys =
      "Code,Name\n"
      "B1,new\n"
      "A1,taken by the table\n"  // line 3
      "B2,new\n"
      "B1,taken by line 2\n"  // line 5
      "B3,new\n";
  for (const std::string mode : {"--shared", "--exclusive"}) {
    SCOPED_TRACE(mode);
    std::vector<std::string> args{"import", Dir(), "Goods", "-"};
    if (mode == "--exclusive") args.push_back(mode);
    run = RunLedra(args, keys);
    EXPECT_EQ(run.Exit, 1);
    std::vector<std::string> errors = Lines(run.Err);
    ASSERT_EQ(errors.size(), 3u) << run.Err;
    EXPECT_EQ(errors[0].rfind("line 3: Ledra Engine Error # 9729", 0), 0u) << errors[0];
    EXPECT_NE(errors[0].find("(LEDRA_KEYVIOL)"), std::string::npos);
    EXPECT_EQ(errors[1].rfind("line 5: Ledra Engine Error # 9729", 0), 0u) << errors[1];
    EXPECT_EQ(errors[2], "ledra: 2 of 5 rows cannot be imported; nothing was added to Goods");
    EXPECT_EQ(TableBytes(), before);
  }

  // The same rows without the clashes go in whole.
  run = RunLedra({"import", Dir(), "Goods", "-"}, "Code,Name\nB1,new\nB2,new\nB3,new\n");
  EXPECT_EQ(run.Exit, 0) << run.Err;
  EXPECT_EQ(run.Out, "Added 3 records.\n");
  EXPECT_EQ(Records(Export()).size(), 5u);
  EXPECT_EQ(RunLedra({"verify", Dir(), "Goods"}).Exit, 0);
}

// Input that is wrong as a whole (bad quoting, an unknown column, JSON that
// is not an array) stops the import before anything is written.
TEST_F(ImporterTest, MalformedInputWritesNothing) {
  ASSERT_EQ(RunLedra({"import", Dir(), "Goods", "-"}, "Code,Name\nZ1,kept\n").Exit, 0);
  const std::string before = TableBytes();
  const std::vector<std::tuple<std::string, std::string, std::string>> cases = {
      {"csv", "Code,Name\nZ2,fine\nZ3,bro\"ken\nZ4,fine\n", "line 3: a quote inside"},
      {"csv", "Code,Name\nZ2,\"never closed\nZ3,x\n",
       "line 2: a quoted field begins here and is not closed"},
      {"csv", "Code,Colour\nZ2,red\n", "line 1: the table has no field named 'Colour'"},
      {"csv", "Code,code\nZ2,Z3\n", "line 1: field 'code' is named twice"},
      {"csv", "Name\nZ2\n", "line 1: the header has no column for the required field 'Code'"},
      {"csv", "", "the input is empty"},
      {"json", "{\"Code\": \"Z2\"}", "not a JSON array"},
      {"json", "[{\"Code\": \"Z2\"},", "not JSON"},
  };
  for (const auto& [format, input, message] : cases) {
    TLedraRun run = RunLedra({"import", Dir(), "Goods", "-", "--format", format}, input);
    SCOPED_TRACE(input);
    EXPECT_EQ(run.Exit, 2);
    EXPECT_NE(run.Err.find(message), std::string::npos) << run.Err;
    EXPECT_EQ(TableBytes(), before);
  }
  TLedraRun missing = RunLedra({"import", Dir(), "Goods", dir_.File("absent.csv")});
  EXPECT_EQ(missing.Exit, 2);
  EXPECT_NE(missing.Err.find("cannot read"), std::string::npos);
}

// Memo and blob values go through import into the blob file and come back
// out of export and find as given: memos as text (code page 1252 in the
// file), blobs in hexadecimal, values over one block, empty ones as null.
// update changes and empties them under the same rules.
TEST_F(ImporterTest, BlobAndMemoValuesRoundTrip) {
  for (const std::string table : {"Notes", "NotesTwin"}) {
    ASSERT_EQ(RunLedra({"create", Dir(), table, "--field", "Code:string:8:required", "--field",
                        "Memo:memo", "--field", "Data:blob", "--primary", "Code",
                        "--blob-block-size", "512"})
                  .Exit,
              0);
  }
  std::string longMemo;
  for (int i = 0; longMemo.size() < 1500; ++i)
    longMemo += "Zeile " + std::to_string(i) + " Grüße;\n";
  std::string longData;
  for (int i = 0; i < 700; ++i) {
    const uint8_t byte = uint8_t(i * 37 + 11);
    longData += "0123456789ABCDEF"[byte >> 4];
    longData += "0123456789ABCDEF"[byte & 15];
  }
  const std::vector<std::vector<std::string>> rows = {
      {"N1", "Grüße, € \"quoted\"\r\nline two", "00FF10"},
      {"N2", longMemo, longData},
      {"N3", "", ""},
  };
  std::string input = "Code,Memo,Data\n";
  for (const auto& row : rows) input += tool::CsvLine(row);
  TLedraRun imported = RunLedra({"import", Dir(), "Notes", "-"}, input);
  ASSERT_EQ(imported.Exit, 0) << imported.Err;
  EXPECT_NE(ReadFile(dir_.File("Notes.BLB"))
                .find("Gr\xFC\xDF"
                      "e, \x80"),
            std::string::npos);
  const std::string blobsBefore = ReadFile(dir_.File("Notes.BLB"));
  const std::string dataBefore = ReadFile(dir_.File("Notes.DAT"));

  // Values that do not convert: a bad hex text, a memo the code page cannot
  // hold. The first 100 problems are listed, the rest counted.
  std::string bad = "Code,Memo,Data\n";
  for (int i = 0; i < 60; ++i) {
    bad += "X" + std::to_string(i) + ",kept memo,0G\n";
    bad += "Y" + std::to_string(i) + ",漢字,00\n";
  }
  imported = RunLedra({"import", Dir(), "Notes", "-"}, bad);
  EXPECT_EQ(imported.Exit, 1);
  std::vector<std::string> errors = Lines(imported.Err);
  ASSERT_EQ(errors.size(), 102u);
  EXPECT_EQ(errors[0], "line 2: field 'Data': '0G' is not a hexadecimal byte string");
  EXPECT_EQ(errors[1],
            "line 3: field 'Memo': '漢字' holds U+6F22 ('漢'), which code page 1252 has no "
            "character for");
  EXPECT_EQ(errors[100], "... and 20 more problems");
  EXPECT_EQ(errors[101], "ledra: 120 of 120 rows cannot be imported; nothing was added to Notes");

  // Keys that exist, each row with blob values: more of them than a cursor
  // can keep blobs open, so none may stay open after its row is refused.
  std::string taken = "Code,Memo,Data\n";
  for (int i = 0; i < 50; ++i) taken += "X" + std::to_string(i) + ",kept memo,AA\nN1,again,AA\n";
  imported = RunLedra({"import", Dir(), "Notes", "-"}, taken);
  EXPECT_EQ(imported.Exit, 1);
  errors = Lines(imported.Err);
  ASSERT_EQ(errors.size(), 51u);
  EXPECT_EQ(errors[0].rfind("line 3: Ledra Engine Error # 9729", 0), 0u) << errors[0];
  EXPECT_EQ(errors[49].rfind("line 101: Ledra Engine Error # 9729", 0), 0u) << errors[49];
  EXPECT_EQ(ReadFile(dir_.File("Notes.BLB")), blobsBefore);
  EXPECT_EQ(ReadFile(dir_.File("Notes.DAT")), dataBefore);

  ASSERT_EQ(RunLedra({"import", Dir(), "Notes", "-"}, "Code,Memo,Data\nN4,last,01\n").Exit, 0);
  std::string expected = "Code,Memo,Data\r\n";
  for (const auto& row : rows) expected += tool::CsvLine(row);
  expected += "N4,last,01\r\n";
  EXPECT_EQ(Export({}, "Notes"), expected);

  // JSON: text values, null for the empty ones; imported into the twin it
  // gives the same CSV.
  const std::string jsonText = Export({"--format", "json"}, "Notes");
  nlohmann::json json = nlohmann::json::parse(jsonText);
  ASSERT_EQ(json.size(), 4u);
  EXPECT_EQ(json[1]["Memo"], longMemo);
  EXPECT_EQ(json[1]["Data"], longData);
  EXPECT_EQ(json[2]["Memo"], nullptr);
  EXPECT_EQ(json[2]["Data"], nullptr);
  TLedraRun twin = RunLedra({"import", Dir(), "NotesTwin", "-", "--format", "json"}, jsonText);
  EXPECT_EQ(twin.Exit, 0) << twin.Err;
  EXPECT_EQ(Export({}, "NotesTwin"), expected);

  // find shows the values as export does.
  TLedraRun found = RunLedra({"find", Dir(), "Notes", "N1"});
  EXPECT_EQ(found.Exit, 0) << found.Err;
  EXPECT_EQ(found.Out, "Code  N1\nMemo  Grüße, € \"quoted\"\r\nline two\nData  00FF10\n");
  found = RunLedra({"find", Dir(), "Notes", "N2", "--json"});
  EXPECT_EQ(nlohmann::json::parse(found.Out),
            (nlohmann::json{{"Code", "N2"}, {"Memo", longMemo}, {"Data", longData}}));

  // update: a long memo made short, a short one long, a blob emptied, an
  // empty one filled; a bad value changes nothing.
  EXPECT_EQ(RunLedra({"update", Dir(), "Notes", "N2", "--set", "Memo=kurz", "--set", "Data="}).Exit,
            0);
  EXPECT_EQ(RunLedra({"update", Dir(), "Notes", "N1", "--set", "Memo=" + longMemo}).Exit, 0);
  EXPECT_EQ(RunLedra({"update", Dir(), "Notes", "N3", "--set", "Data=" + longData}).Exit, 0);
  TLedraRun refused = RunLedra({"update", Dir(), "Notes", "N4", "--set", "Data=ABC"});
  EXPECT_EQ(refused.Exit, 2);
  EXPECT_NE(refused.Err.find("field 'Data': 'ABC' is not a hexadecimal"), std::string::npos);
  EXPECT_EQ(Export({}, "Notes"), "Code,Memo,Data\r\n" + tool::CsvLine({"N1", longMemo, "00FF10"}) +
                                     "N2,kurz,\r\n" + tool::CsvLine({"N3", "", longData}) +
                                     "N4,last,01\r\n");

  for (const std::string table : {"Notes", "NotesTwin"}) {
    TLedraRun verified = RunLedra({"verify", Dir(), table});
    EXPECT_EQ(verified.Exit, 0) << verified.Out;
  }
}

// Long imports report their progress on standard error.
TEST_F(ImporterTest, LongImportsShowProgress) {
  std::string input = "Code,Count\n";
  for (int i = 0; i < 2100; ++i)
    input += "K" + std::to_string(10000 + (i * 7919) % 2100) + "," + std::to_string(i) + "\n";
  TLedraRun run = RunLedra({"import", Dir(), "Goods", "-"}, input);
  EXPECT_EQ(run.Exit, 0) << run.Err;
  EXPECT_EQ(run.Out, "Added 2100 records.\n");
  EXPECT_EQ(Lines(run.Err),
            (std::vector<std::string>{"ledra: 1000 of 2100 rows", "ledra: 2000 of 2100 rows",
                                      "ledra: 2100 of 2100 rows"}));
  EXPECT_EQ(RunLedra({"verify", Dir(), "Goods"}).Exit, 0);
}

}  // namespace
}  // namespace ledra::test
