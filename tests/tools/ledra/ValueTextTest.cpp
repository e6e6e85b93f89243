#include "tools/ledra/ValueText.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "platform/Cp1252.h"
#include "tools/ledra/Csv.h"
#include "tools/ledra/TableArguments.h"
#include "tools/ledra/ToolError.h"

namespace ledra::tool {

using platform::Cp1252ToUtf8;
using platform::Utf8ToCp1252;
namespace {

TFieldDesc Desc(const std::string& arg) {
  TFieldDesc desc = ParseFieldArgument(arg, 1);
  desc.DataSize = DataSizeFor(desc.FieldType, desc.Size);
  return desc;
}

std::string RoundTrip(const TFieldDesc& desc, const std::string& text) {
  uint8_t value[kFieldValueBufferSize];
  ParseFieldValue(desc, text, value);
  return FormatFieldValue(desc, value);
}

std::string Refusal(const TFieldDesc& desc, const std::string& text) {
  uint8_t value[kFieldValueBufferSize];
  try {
    ParseFieldValue(desc, text, value);
  } catch (const EToolError& error) {
    EXPECT_EQ(error.ExitCode(), kExitFindings);
    return error.what();
  }
  return "accepted";
}

// The tool's side of the values: UTF-8 texts become the table's code page
// and back, what the code page cannot hold is refused, and the engine's
// refusals reach the user as findings quoting the text as given.
TEST(ValueTextTest, TextsCrossTheCodePageEdge) {
  EXPECT_EQ(RoundTrip(Desc("A:string:8"), "Zürich"), "Zürich");
  EXPECT_EQ(RoundTrip(Desc("A:string:6"), "€àçèñ"), "€àçèñ");  // five characters, five bytes
  EXPECT_EQ(RoundTrip(Desc("A:date"), "2024-02-29"), "2024-02-29");
  EXPECT_EQ(RoundTrip(Desc("A:float"), "0.1"), "0.1");

  EXPECT_NE(Refusal(Desc("A:string:9"), "\xE4\xB8\xAD").find("code page"), std::string::npos);
  EXPECT_EQ(Refusal(Desc("A:string:9"), "ab\xC3"),
            "the value holds byte 0xC3 (its byte 3), which is not UTF-8 (is the input in another "
            "encoding?)");
  EXPECT_EQ(Refusal(Desc("A:string:3"), "Zürich"), "'Zürich' is longer than 3 characters");
  EXPECT_EQ(Refusal(Desc("A:date"), "2023-02-29").find("'2023-02-29'"), 0u);
  EXPECT_NE(Refusal(Desc("A:bytes:2"), "ABCDEF").find("longer than 2 bytes"), std::string::npos);

  const TFieldDesc memo = Desc("A:memo");
  const std::vector<uint8_t> stored = ParseBlobText(memo, "Zürich");
  EXPECT_EQ(std::string(stored.begin(), stored.end()), "Z\xFCrich");
  EXPECT_EQ(FormatBlobValue(memo, stored), "Zürich");
  EXPECT_THROW(ParseBlobText(Desc("A:blob"), "XY"), EToolError);
  EXPECT_THROW(ParseBlobText(memo, "\xE4\xB8\xAD"), EToolError);
}

// JSON carries numbers and booleans as such; what JSON cannot hold as a
// number stays a text.
TEST(ValueTextTest, JsonValuesKeepTheirKind) {
  uint8_t value[kFieldValueBufferSize];
  ParseFieldValue(Desc("A:largeint"), "-9223372036854775808", value);
  EXPECT_EQ(JsonFieldValue(Desc("A:largeint"), value, false).dump(), "-9223372036854775808");
  ParseFieldValue(Desc("A:word"), "65535", value);
  EXPECT_EQ(JsonFieldValue(Desc("A:word"), value, false).dump(), "65535");
  ParseFieldValue(Desc("A:boolean"), "true", value);
  EXPECT_EQ(JsonFieldValue(Desc("A:boolean"), value, false).dump(), "true");
  ParseFieldValue(Desc("A:float"), "-1.5e+300", value);
  EXPECT_EQ(JsonFieldValue(Desc("A:float"), value, false).get<double>(), -1.5e300);
  ParseFieldValue(Desc("A:string:9"), "Zürich", value);
  EXPECT_EQ(JsonFieldValue(Desc("A:string:9"), value, false).dump(), "\"Zürich\"");
  EXPECT_TRUE(JsonFieldValue(Desc("A:integer"), value, true).is_null());
  EXPECT_EQ(JsonValueText(nlohmann::ordered_json(0.1)), "0.1");
  EXPECT_EQ(JsonValueText(nlohmann::ordered_json(false)), "FALSE");
  EXPECT_EQ(JsonValueText(nlohmann::ordered_json(nullptr)), "");
}

// Code page 1252 text: the upper half and the five undefined bytes survive
// the trip through UTF-8.
TEST(ValueTextTest, CodePageTextSurvivesUtf8) {
  std::string all;
  for (int c = 1; c < 256; ++c) all += char(c);
  std::optional<std::string> back = Utf8ToCp1252(Cp1252ToUtf8(all));
  ASSERT_TRUE(back.has_value());
  EXPECT_EQ(*back, all);
  EXPECT_EQ(Cp1252ToUtf8("\x80"), "\xE2\x82\xAC");     // the euro sign
  EXPECT_FALSE(Utf8ToCp1252("\xC0\x80").has_value());  // an overlong zero
  EXPECT_FALSE(Utf8ToCp1252("\xE2\x82").has_value());  // cut short
}

// RFC 4180: quoted commas, quotes and line breaks; CRLF and LF; line
// numbers of records that span lines; bad quoting named by its line.
TEST(ValueTextTest, CsvReadsWhatItWritesAndRefusesBadQuoting) {
  const std::vector<std::string> fields = {"plain", "a,b", "say \"hi\"", "two\r\nlines", ""};
  std::string text = CsvLine({"A", "B", "C", "D", "E"}) + CsvLine(fields) + "\n" + "x,y\n";
  EXPECT_EQ(CsvLine(fields), "plain,\"a,b\",\"say \"\"hi\"\"\",\"two\r\nlines\",\r\n");
  std::istringstream in(text);
  TCsvReader reader(in);
  std::optional<TCsvRecord> header = reader.Next();
  std::optional<TCsvRecord> row = reader.Next();
  std::optional<TCsvRecord> last = reader.Next();
  ASSERT_TRUE(header && row && last);
  EXPECT_EQ(row->Fields, fields);
  EXPECT_EQ(row->Line, 2u);
  EXPECT_EQ(last->Line, 5u);  // the quoted line break and the blank line count
  EXPECT_EQ(last->Fields, (std::vector<std::string>{"x", "y"}));
  EXPECT_FALSE(reader.Next().has_value());

  const std::vector<std::pair<std::string, std::string>> bad = {
      {"a,b\nc,d\"e\n", "line 2: a quote inside an unquoted field"},
      {"a,b\n\"c\"d,e\n", "line 2: only a comma or a line end may follow a closing quote"},
      {"a\nb\n\"c\nd\n", "line 3: a quoted field begins here and is not closed"},
  };
  for (const auto& [input, message] : bad) {
    std::istringstream badIn(input);
    TCsvReader badReader(badIn);
    try {
      while (badReader.Next()) {
      }
      ADD_FAILURE() << "accepted: " << input;
    } catch (const EToolError& error) {
      EXPECT_NE(std::string(error.what()).find(message), std::string::npos) << error.what();
    }
  }
}

// Where a CSV input stops being UTF-8 is noted by line and byte, in the
// record it belongs to; a field longer than its limit is counted, not kept;
// a byte order mark at the start is not part of the first name.
TEST(ValueTextTest, CsvNotesBadUtf8AndLongFieldsWhereTheyAre) {
  std::istringstream in(
      "\xEF\xBB\xBFName,Note\n"
      "ok,\xC3\xA9t\xC3\xA9\n"           // line 2: fine
      "\xC3,x\n"                         // line 3: cut short by the comma
      "a,\"two\nlines \xED\xA0\x80\"\n"  // line 4-5: a surrogate
      "\xC0\x80,x\n"                     // line 6: an overlong zero
      "abcdefgh,\xF4\x90\x80\x80\n"      // line 7: above U+10FFFF
      "abcd,\xE2\x82\n");                // line 8: cut short by the end
  TCsvReader reader(in);
  reader.SetFieldLimits({4}, TCsvReader::kNoLimit);
  std::vector<TCsvRecord> records;
  while (std::optional<TCsvRecord> record = reader.Next()) records.push_back(*record);
  ASSERT_EQ(records.size(), 7u);
  EXPECT_EQ(records[0].Fields[0], "Name");
  const std::vector<std::tuple<size_t, size_t, size_t>> spots = {
      {3, 1, 0}, {5, 7, 1}, {6, 1, 0}, {7, 10, 1}, {8, 6, 1}};
  EXPECT_FALSE(records[0].BadUtf8 || records[1].BadUtf8);
  for (size_t i = 0; i < spots.size(); ++i) {
    const TCsvRecord& record = records[i + 2];
    SCOPED_TRACE(record.Line);
    ASSERT_TRUE(record.BadUtf8.has_value());
    EXPECT_EQ(record.BadUtf8->Line, std::get<0>(spots[i]));
    EXPECT_EQ(record.BadUtf8->Byte, std::get<1>(spots[i]));
    EXPECT_EQ(record.BadUtf8Field, std::get<2>(spots[i]));
  }
  // The first field is kept up to 4 bytes; the others whole.
  EXPECT_EQ(records[5].Fields[0], "abcd");
  EXPECT_EQ(records[5].Cut, (std::vector<std::pair<size_t, uint64_t>>{{0, 8}}));
  EXPECT_TRUE(records[6].Cut.empty());
  EXPECT_EQ(records[2].Fields[0], "\xC3");
}

// Values out of their field's range say what the field takes; BCD values
// with more places than the field keeps are refused, not rounded.
TEST(ValueTextTest, RefusalsSayWhatTheFieldTakes) {
  EXPECT_EQ(Refusal(Desc("A:smallint"), " -32769"),
            "' -32769' is out of range for a smallint field (-32768 to 32767)");
  EXPECT_EQ(Refusal(Desc("A:word"), "65536"),
            "'65536' is out of range for a word field (0 to 65535)");
  EXPECT_EQ(Refusal(Desc("A:integer"), "1.5"), "'1.5' is not a valid integer value");
  EXPECT_EQ(Refusal(Desc("A:float"), "1e400"), "'1e400' is out of range for a float field");
  EXPECT_NE(Refusal(Desc("A:time"), "12:60").find("(a time is HH:MM"), std::string::npos);

  const TFieldDesc bcd = Desc("A:bcd:2");
  EXPECT_EQ(RoundTrip(bcd, "1.50"), "1.50");
  EXPECT_EQ(RoundTrip(bcd, "-100e-2"), "-1.00");
  EXPECT_EQ(RoundTrip(bcd, "1.5e1"), "15.00");
  for (const std::string text : {"1.005", "2.5e-3", "0.001"}) {
    EXPECT_EQ(Refusal(bcd, text),
              "'" + text + "' has more decimal places than the field keeps (2); round it first");
  }
  // The values pass through four places whatever the scale.
  EXPECT_EQ(RoundTrip(Desc("A:bcd:6"), "0.1234"), "0.123400");
  EXPECT_NE(Refusal(Desc("A:bcd:6"), "0.12345").find("keeps (4)"), std::string::npos);

  EXPECT_EQ(TableText("Gr\xC3\xBC\xC3\x9F \xE2\x82\xAC"), "Gr\xFC\xDF \x80");
  EXPECT_EQ(PrintableUtf8("a\xFF\xC3\xA9"), "a\\xFF\xC3\xA9");
}

TEST(ValueTextTest, FieldArgumentsTakeEscapedColons) {
  EXPECT_EQ(SplitArgument("A:time:default=12\\:30\\:00:desc=a\\\\b"),
            (std::vector<std::string>{"A", "time", "default=12:30:00", "desc=a\\b"}));
  TFieldDesc desc = ParseFieldArgument("Price:bcd:10:3:min=0:max=1000", 4);
  EXPECT_EQ(desc.FieldNo, 4);
  EXPECT_EQ(desc.FieldType, fldBCD);
  EXPECT_EQ(desc.Size, 0);
  EXPECT_EQ(desc.Scale, 3);
  EXPECT_EQ(desc.MinValue, "0");
  EXPECT_EQ(desc.MaxValue, "1000");
  EXPECT_THROW(ParseFieldArgument("Price:bcd:2:3", 1), EToolError);  // scale above the precision
}

}  // namespace
}  // namespace ledra::tool
