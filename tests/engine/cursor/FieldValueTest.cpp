#include "engine/cursor/FieldValue.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "engine/errors/EngineError.h"
#include "engine/files/Bytes.h"
#include "engine/table/TableCreation.h"
#include "tests/engine/cursor/CursorTestSupport.h"
#include "tests/support/FieldBuilder.h"

namespace ledra {
namespace {

using test::MakeField;

TFieldDesc Desc(uint8_t type, uint8_t size = 0, uint8_t subType = 0, uint8_t scale = 0) {
  TFieldDesc desc = MakeField(1, "A", type, size, subType);
  desc.Scale = scale;
  return desc;
}

std::string RoundTrip(const TFieldDesc& desc, const std::string& text) {
  uint8_t value[kFieldValueBufferSize];
  TextToFieldValue(desc, text, value);
  return FieldValueText(desc, value);
}

std::string Refusal(const TFieldDesc& desc, const std::string& text) {
  uint8_t value[kFieldValueBufferSize];
  try {
    TextToFieldValue(desc, text, value);
  } catch (const ELedraEngineError& error) {
    return std::string("engine error: ") + error.what();
  } catch (const EDatabaseError& error) {
    return error.what();
  }
  return "accepted";
}

// Every type reads back the text it was given, and refuses what does not fit
// it instead of storing something else.
TEST(FieldValueTest, ValuesReadBackAndMisfitsAreRefused) {
  const std::vector<std::pair<TFieldDesc, std::vector<std::string>>> kept = {
      {Desc(fldString, 8), {"Z\xFCrich", "a,b \"c\"", "12345678"}},
      {Desc(fldDate), {"2024-02-29", "0001-01-01", "9999-12-31"}},
      {Desc(fldTime), {"00:00:00", "23:59:59.999", "12:30:00"}},
      {Desc(fldTimeStamp), {"2024-02-29 13:45:10.250", "1899-12-30 00:00:00", "08:00:00"}},
      {Desc(fldBoolean), {"TRUE", "FALSE"}},
      {Desc(fldSmallInt), {"-32768", "32767"}},
      {Desc(fldInteger), {"-2147483648", "2147483647"}},
      {Desc(fldInt32), {"-2147483648", "2147483647"}},
      {Desc(fldWord), {"0", "65535"}},
      {Desc(fldLargeInt), {"-9223372036854775808", "9223372036854775807"}},
      {Desc(fldFloat), {"0.1", "-1.5e+300", "3.141592653589793"}},
      {Desc(fldFloat, 0, kSubTypeMoney), {"1234.56", "-0.01"}},
      {Desc(fldBCD, 0, 0, 2), {"123.45", "-0.50", "0.00"}},
      {Desc(fldBytes, 4), {"00FF10A0"}},
      {Desc(fldVarBytes, 6), {"ABCD", "01020304", ""}},
  };
  for (const auto& [desc, texts] : kept) {
    for (const std::string& text : texts) {
      if (text.empty() && desc.FieldType != fldVarBytes) continue;
      EXPECT_EQ(RoundTrip(desc, text), text) << FieldTypeName(desc);
    }
  }
  EXPECT_EQ(RoundTrip(Desc(fldBoolean), "true"), "TRUE");
  EXPECT_EQ(RoundTrip(Desc(fldString, 5), "abc   "), "abc");  // the engine drops the blanks
  EXPECT_EQ(RoundTrip(Desc(fldBCD, 0, 0, 2), "1.005"), "1.01");
  EXPECT_EQ(RoundTrip(Desc(fldBytes, 4), "ff"), "FF000000");

  EXPECT_EQ(Refusal(Desc(fldString, 3), "abcd"), "'abcd' is longer than 3 characters");
  EXPECT_EQ(Refusal(Desc(fldString, 9), std::string("a\0b", 3)), "'a\\0b' holds a zero character");
  EXPECT_NE(Refusal(Desc(fldSmallInt), "32768").find("not a valid integer"), std::string::npos);
  EXPECT_NE(Refusal(Desc(fldWord), "-1").find("not a valid integer"), std::string::npos);
  EXPECT_NE(Refusal(Desc(fldInt32), "2147483648").find("not a valid integer"), std::string::npos);
  EXPECT_NE(Refusal(Desc(fldInteger), "12x").find("not a valid integer"), std::string::npos);
  EXPECT_NE(Refusal(Desc(fldDate), "2023-02-29").find("not a valid date"), std::string::npos);
  EXPECT_NE(Refusal(Desc(fldTime), "25:00").find("not a valid time"), std::string::npos);
  EXPECT_NE(Refusal(Desc(fldBoolean), "yes").find("not a valid boolean"), std::string::npos);
  EXPECT_NE(Refusal(Desc(fldFloat), "1e999").find("floating point"), std::string::npos);
  EXPECT_NE(Refusal(Desc(fldBCD, 0, 0, 2), "1e40").find("floating point"), std::string::npos);
  EXPECT_EQ(Refusal(Desc(fldBytes, 2), "ABCDEF"), "'ABCDEF' is longer than 2 bytes");
  EXPECT_NE(Refusal(Desc(fldBytes, 2), "XY").find("hexadecimal"), std::string::npos);
  EXPECT_NE(Refusal(Desc(fldBytes, 2), "ABC").find("hexadecimal"), std::string::npos);
  EXPECT_EQ(Refusal(Desc(fldVarBytes, 4), "010203"), "'010203' is longer than 2 bytes");
  EXPECT_NE(Refusal(Desc(fldBlob, 0, kSubTypeMemo), "text").find("blob"), std::string::npos);
  // Long texts are cut short in the message.
  const std::string longText(200, 'x');
  EXPECT_EQ(Refusal(Desc(fldString, 10), longText),
            "'" + std::string(60, 'x') + "...' is longer than 10 characters");
}

// Stored values the text forms cannot show come out as "#" and their raw
// number or bytes, never as a wrong value, and never reading past the value.
TEST(FieldValueTest, DamagedStoredValuesAreShownRaw) {
  uint8_t value[kFieldValueBufferSize] = {};
  PutLE32(value, 0);  // day 0 lies before 1 January 0001
  EXPECT_EQ(FieldValueText(Desc(fldDate), value), "#0");
  PutLE32(value, uint32_t(-5));
  EXPECT_EQ(FieldValueText(Desc(fldTime), value), "#-5");
  PutLEDouble(value, -1.0);
  EXPECT_EQ(FieldValueText(Desc(fldTimeStamp), value), "#-1");

  uint8_t bcd[kFieldValueBufferSize] = {};
  EXPECT_EQ(FieldValueText(Desc(fldBCD, 0, 0, 2), bcd), "0");  // a null field's zero bytes
  bcd[0] = 4;
  bcd[1] = 0x02;
  bcd[2] = 0x12;
  bcd[3] = 0x3A;  // a nibble above 9
  EXPECT_EQ(FieldValueText(Desc(fldBCD, 0, 0, 2), bcd).substr(0, 9), "#0402123A");
  bcd[3] = 0x34;
  EXPECT_EQ(FieldValueText(Desc(fldBCD, 0, 0, 2), bcd), "12.34");
  bcd[1] = 0x82;
  EXPECT_EQ(FieldValueText(Desc(fldBCD, 0, 0, 2), bcd), "-12.34");

  uint8_t bytes[kFieldValueBufferSize] = {};
  PutLE16(bytes, 9);  // a length beyond the field's four value bytes
  bytes[2] = 0xAB;
  EXPECT_EQ(FieldValueText(Desc(fldVarBytes, 6), bytes), "#0900AB000000");

  // A string without its terminating zero ends at its size.
  uint8_t full[kFieldValueBufferSize];
  std::memset(full, 'x', sizeof full);
  EXPECT_EQ(FieldValueText(Desc(fldString, 4), full), "xxxx");
}

TEST(FieldValueTest, TypeNamesAndBlobTexts) {
  EXPECT_EQ(FieldTypeName(Desc(fldInteger, 0, kSubTypeAutoInc)), "autoinc");
  EXPECT_EQ(FieldTypeName(Desc(fldBlob, 0, kSubTypeFmtMemo)), "fmtmemo");
  EXPECT_EQ(FieldTypeName(Desc(fldFloat, 0, kSubTypeMoney)), "money");
  EXPECT_EQ(FieldTypeName(Desc(fldTenByte, 10)), "tenbyte");
  EXPECT_EQ(FieldTypeName(Desc(16)), "type 16");
  EXPECT_TRUE(IsTextBlob(Desc(fldBlob, 0, kSubTypeMemo)));
  EXPECT_FALSE(IsTextBlob(Desc(fldBlob, 0, kSubTypeGraphic)));

  const TFieldDesc memo = Desc(fldBlob, 0, kSubTypeMemo);
  const TFieldDesc blob = Desc(fldBlob);
  const std::vector<uint8_t> text = ParseBlobValue(memo, "Z\xFCrich");
  EXPECT_EQ(BlobValueText(memo, text), "Z\xFCrich");
  EXPECT_EQ(BlobValueText(blob, text), "5AFC72696368");
  EXPECT_EQ(ParseBlobValue(blob, "5afc"), (std::vector<uint8_t>{0x5A, 0xFC}));
  EXPECT_THROW(ParseBlobValue(blob, "5AF"), EDatabaseError);
  EXPECT_EQ(DateTimeText(45351.5), "2024-02-29 12:00:00");
}

// Fields of a record image by name, through a cursor: plain values and a
// memo, written, posted and read back; null and unknown names.
class FieldValueCursorTest : public test::CursorTest {};

TEST_F(FieldValueCursorTest, FieldsByNameReadBackThroughACursor) {
  TTableDefinition definition;
  definition.Fields = {MakeField(1, "Code", fldString, 10), MakeField(2, "Born", fldDate),
                       MakeField(3, "Note", fldBlob, 0, kSubTypeMemo),
                       MakeField(4, "Data", fldBlob)};
  definition.PrimaryIndex.Fields = {1};
  definition.TextIndexFields = {3};
  CreateNewTable(directory_, "Named", definition);
  std::unique_ptr<TDataCursor> cursor = OpenCursor("Named");

  std::vector<uint8_t> image(cursor->RecordSize());
  cursor->InitRecordBuffer(image.data());
  SetFieldText(*cursor, image.data(), "code", "K1");
  SetFieldText(*cursor, image.data(), "BORN", "1999-12-31");
  const std::string note(700, 'n');
  SetFieldText(*cursor, image.data(), "Note", note);
  SetFieldText(*cursor, image.data(), "Data", "00FF");
  // An image being edited shows the values of its open buffers.
  EXPECT_EQ(GetFieldText(*cursor, image.data(), "Note"), note);
  cursor->PostInsert(image.data());

  std::vector<uint8_t> read(cursor->RecordSize());
  cursor->MoveToStart();
  ASSERT_EQ(cursor->ReadNext(read.data()), 0);
  EXPECT_EQ(GetFieldText(*cursor, read.data(), "Code"), "K1");
  EXPECT_EQ(GetFieldText(*cursor, read.data(), "Born"), "1999-12-31");
  EXPECT_EQ(GetFieldText(*cursor, read.data(), "Note"), note);
  EXPECT_EQ(GetFieldText(*cursor, read.data(), "Data"), "00FF");

  // The empty text and no text make a field null; a blob's value empty.
  ASSERT_EQ(cursor->ReadCurrent(read.data(), true), 0);
  SetFieldText(*cursor, read.data(), "Born", "");
  SetFieldText(*cursor, read.data(), "Note", std::nullopt);
  cursor->PostEdit(read.data());
  ASSERT_EQ(cursor->ReadCurrent(read.data()), 0);
  EXPECT_EQ(GetFieldText(*cursor, read.data(), "Born"), std::nullopt);
  EXPECT_EQ(GetFieldText(*cursor, read.data(), "Note"), std::nullopt);
  EXPECT_EQ(GetFieldText(*cursor, read.data(), "Data"), "00FF");

  // A memo set where there was none brings its words into the text index
  // (the whole-table verifier compares the index with every memo's words).
  ASSERT_EQ(cursor->ReadCurrent(read.data(), true), 0);
  SetFieldText(*cursor, read.data(), "Note", "harbour master's depot");
  cursor->PostEdit(read.data());
  ASSERT_EQ(cursor->ReadCurrent(read.data()), 0);
  EXPECT_EQ(GetFieldText(*cursor, read.data(), "Note"), "harbour master's depot");
  EXPECT_EQ(test::TableFindings(cursor->Table()), "");

  try {
    GetFieldText(*cursor, read.data(), "Nothing");
    ADD_FAILURE() << "an unknown field name was accepted";
  } catch (const ELedraEngineError& error) {
    EXPECT_EQ(error.ErrorCode, LEDRA_OUTOFRANGE);
  }
  EXPECT_THROW(SetFieldText(*cursor, read.data(), "Born", "1999-02-30"), EDatabaseError);
  std::vector<uint8_t> value;
  EXPECT_THROW(ReadBlobValue(*cursor, 2, read, value), ELedraEngineError);  // not a blob
  cursor->Close();
}

}  // namespace
}  // namespace ledra
