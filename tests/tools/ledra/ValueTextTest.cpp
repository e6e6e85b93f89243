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
  EXPECT_NE(Refusal(Desc("A:string:9"), "\xC3").find("code page"), std::string::npos);
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
      {"a\n\"b\nc\n", "line 2: a quoted field is not closed"},
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
