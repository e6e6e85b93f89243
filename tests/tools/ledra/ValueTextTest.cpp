#include "tools/ledra/ValueText.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "engine/files/RecordLayout.h"
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

// Every type reads back the text it was given in the form export writes,
// and refuses what does not fit it instead of storing something else.
TEST(ValueTextTest, ValuesReadBackAndMisfitsAreRefused) {
  const std::vector<std::pair<std::string, std::vector<std::string>>> kept = {
      {"A:string:8", {"Zürich", "a,b \"c\"", "12345678"}},
      {"A:date", {"2024-02-29", "0001-01-01", "9999-12-31"}},
      {"A:time", {"00:00:00", "23:59:59.999", "12:30:00"}},
      {"A:timestamp", {"2024-02-29 13:45:10.250", "1899-12-30 00:00:00", "08:00:00"}},
      {"A:boolean", {"TRUE", "FALSE"}},
      {"A:smallint", {"-32768", "32767"}},
      {"A:integer", {"-2147483648", "2147483647"}},
      {"A:word", {"0", "65535"}},
      {"A:largeint", {"-9223372036854775808", "9223372036854775807"}},
      {"A:float", {"0.1", "-1.5e+300", "3.141592653589793"}},
      {"A:money", {"1234.56", "-0.01"}},
      {"A:bcd:2", {"123.45", "-0.50", "0.00"}},
      {"A:bytes:4", {"00FF10A0"}},
      {"A:varbytes:6", {"ABCD", "01020304"}},
  };
  for (const auto& [arg, texts] : kept) {
    TFieldDesc desc = Desc(arg);
    for (const std::string& text : texts) {
      EXPECT_EQ(RoundTrip(desc, text), text) << arg;
    }
  }
  EXPECT_EQ(RoundTrip(Desc("A:boolean"), "true"), "TRUE");
  EXPECT_EQ(RoundTrip(Desc("A:string:5"), "abc   "), "abc");  // the engine drops the blanks
  EXPECT_EQ(RoundTrip(Desc("A:bcd:2"), "1.005"), "1.01");
  EXPECT_EQ(RoundTrip(Desc("A:bytes:4"), "FF"), "FF000000");

  EXPECT_NE(Refusal(Desc("A:string:3"), "abcd").find("longer than 3 characters"),
            std::string::npos);
  EXPECT_NE(Refusal(Desc("A:string:9"), "\xE4\xB8\xAD").find("code page"), std::string::npos);
  EXPECT_NE(Refusal(Desc("A:string:9"), "\xC3").find("code page"), std::string::npos);
  EXPECT_NE(Refusal(Desc("A:smallint"), "32768").find("not a valid integer"), std::string::npos);
  EXPECT_NE(Refusal(Desc("A:word"), "-1").find("not a valid integer"), std::string::npos);
  EXPECT_NE(Refusal(Desc("A:integer"), "12x").find("not a valid integer"), std::string::npos);
  EXPECT_NE(Refusal(Desc("A:date"), "2023-02-29").find("not a valid date"), std::string::npos);
  EXPECT_NE(Refusal(Desc("A:time"), "25:00").find("not a valid time"), std::string::npos);
  EXPECT_NE(Refusal(Desc("A:boolean"), "yes").find("not a valid boolean"), std::string::npos);
  EXPECT_NE(Refusal(Desc("A:float"), "1e999").find("floating point"), std::string::npos);
  EXPECT_NE(Refusal(Desc("A:bcd:2"), "1e40").find("floating point"), std::string::npos);
  EXPECT_NE(Refusal(Desc("A:bytes:2"), "ABCDEF").find("longer than 2 bytes"), std::string::npos);
  EXPECT_NE(Refusal(Desc("A:bytes:2"), "XY").find("hexadecimal"), std::string::npos);
  EXPECT_NE(Refusal(Desc("A:varbytes:4"), "010203").find("longer than 2 bytes"), std::string::npos);
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
