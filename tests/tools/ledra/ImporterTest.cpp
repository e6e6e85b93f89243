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
  EXPECT_EQ(imported.Out, "Added 4 records, skipped 0.\n");

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

// Rows that cannot be converted or that a check or the unique index refuses
// are reported with their line and skipped whole; the others are added.
TEST_F(ImporterTest, RefusedRowsAreSkippedWithTheirLine) {
  const std::string input =
      "Code,Name,Count,Born\n"
      "A1,first,1,2001-01-01\n"      // line 2
      "A2,second,many,2001-01-02\n"  // line 3: not an integer
      "\"A3\",\"third\nrow\",3,\n"   // lines 4-5
      "A1,again,4,\n"                // line 6: the key exists
      ",nameless,5,\n"               // line 7: Code is required
      "A6,sixth,6,2001-02-30\n"      // line 8: no such date
      "A7,seventh\n"                 // line 9: too few values
      "A8,eighth,8,\n";              // line 10
  TLedraRun run = RunLedra({"import", Dir(), "Goods", "-"}, input);
  EXPECT_EQ(run.Exit, 1);
  EXPECT_EQ(run.Out, "Added 3 records, skipped 5.\n");
  std::vector<std::string> errors = Lines(run.Err);
  ASSERT_EQ(errors.size(), 5u) << run.Err;
  EXPECT_NE(errors[0].find("line 3: field 'Count': 'many' is not a valid integer value"),
            std::string::npos);
  EXPECT_NE(errors[1].find("line 6: Ledra Engine Error # 9729"), std::string::npos);
  EXPECT_NE(errors[2].find("line 7: Ledra Engine Error # 9732"), std::string::npos);
  EXPECT_NE(errors[3].find("line 8: field 'Born': '2001-02-30' is not a valid date"),
            std::string::npos);
  EXPECT_NE(errors[4].find("line 9: 2 values for 4 columns"), std::string::npos);
  std::vector<std::vector<std::string>> rows = Records(Export());
  ASSERT_EQ(rows.size(), 4u);
  EXPECT_EQ(rows[1][0], "A1");
  EXPECT_EQ(rows[2][1], "third\nrow");
  EXPECT_EQ(rows[3][0], "A8");
  EXPECT_EQ(RunLedra({"verify", Dir(), "Goods"}).Exit, 0);
}

// Input that is wrong as a whole (bad quoting, an unknown column, JSON that
// is not an array) stops the import before anything is written.
TEST_F(ImporterTest, MalformedInputWritesNothing) {
  ASSERT_EQ(RunLedra({"import", Dir(), "Goods", "-"}, "Code,Name\nZ1,kept\n").Exit, 0);
  const std::string before = TableBytes();
  const std::vector<std::tuple<std::string, std::string, std::string>> cases = {
      {"csv", "Code,Name\nZ2,fine\nZ3,bro\"ken\nZ4,fine\n", "line 3: a quote inside"},
      {"csv", "Code,Name\nZ2,\"never closed\nZ3,x\n", "line 2: a quoted field is not closed"},
      {"csv", "Code,Colour\nZ2,red\n", "no field named 'Colour'"},
      {"csv", "Code,code\nZ2,Z3\n", "named twice"},
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
  // Rows the table refuses, each after a good memo value: a bad hex text, a
  // memo the code page cannot hold, a key that exists. More of them than a
  // cursor can keep blobs open, so that none may stay open after its row.
  std::string input = "Code,Memo,Data\n";
  for (const auto& row : rows) input += tool::CsvLine(row);
  const int bad = int(std::count(input.begin(), input.end(), '\n')) + 1;
  const auto line = [&](int offset) { return "line " + std::to_string(bad + offset) + ": "; };
  for (int i = 0; i < 50; ++i) {
    input += "X" + std::to_string(i) + ",kept memo,0G\n";
    input += "Y" + std::to_string(i) + ",漢字,00\n";
    input += "N1,duplicate,AA\n";
  }
  input += "N4,last,01\n";
  TLedraRun imported = RunLedra({"import", Dir(), "Notes", "-"}, input);
  EXPECT_EQ(imported.Exit, 1);
  EXPECT_EQ(imported.Out, "Added 4 records, skipped 150.\n");
  std::vector<std::string> errors = Lines(imported.Err);
  ASSERT_EQ(errors.size(), 150u);
  EXPECT_EQ(errors[0], line(0) + "field 'Data': '0G' is not a hexadecimal byte string (skipped)");
  EXPECT_NE(errors[1].find(line(1) + "field 'Memo': '漢字' holds characters"), std::string::npos);
  EXPECT_NE(errors[2].find(line(2) + "Ledra Engine Error # 9729"), std::string::npos);
  EXPECT_EQ(ReadFile(dir_.File("Notes.BLB")).find("kept memo"), std::string::npos);
  EXPECT_NE(ReadFile(dir_.File("Notes.BLB"))
                .find("Gr\xFC\xDF"
                      "e, \x80"),
            std::string::npos);

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
  EXPECT_EQ(run.Out, "Added 2100 records, skipped 0.\n");
  EXPECT_EQ(Lines(run.Err),
            (std::vector<std::string>{"ledra: 1000 of 2100 rows", "ledra: 2000 of 2100 rows",
                                      "ledra: 2100 of 2100 rows"}));
  EXPECT_EQ(RunLedra({"verify", Dir(), "Goods"}).Exit, 0);
}

}  // namespace
}  // namespace ledra::test
