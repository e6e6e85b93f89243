#include "engine/files/RecordLayout.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "engine/files/FieldText.h"
#include "engine/errors/EngineError.h"
#include "tests/support/FieldBuilder.h"

namespace ledra {
namespace {

using Bytes = std::vector<uint8_t>;

using test::MakeField;
using test::Numbered;

TRecordLayout Layout(std::vector<TFieldDesc> fields, std::string table = "Addresses") {
  fields = Numbered(std::move(fields));
  uint16_t recordSize = TRecordLayout::AssignOffsets(fields, table);
  return TRecordLayout(table, "Shipping", 0, 0, std::move(fields), recordSize);
}

// The address example: string 30, integer, AutoInc, date.
TRecordLayout Example() {
  return Layout({MakeField("NAD_CITY_NM", fldString, 30), MakeField("COUNT", fldInteger),
                 MakeField("ID", fldInteger, 0, kSubTypeAutoInc), MakeField("CREATED", fldDate)});
}

void SetText(const TRecordLayout& layout, int fieldNo, Bytes& image, const std::string& text) {
  uint8_t value[kFieldValueBufferSize] = {};
  std::memcpy(value, text.data(), text.size());
  layout.SetFieldValue(fieldNo, image.data(), value, false, false);
}

std::string GetText(const TRecordLayout& layout, int fieldNo, const Bytes& image, bool& isNull) {
  char value[kFieldValueBufferSize] = {};
  layout.GetFieldValue(fieldNo, image.data(), isNull, reinterpret_cast<uint8_t*>(value));
  return value;
}

template <typename F>
ELedraEngineError EngineErrorOf(F action) {
  try {
    action();
  } catch (const ELedraEngineError& error) {
    return error;
  }
  ADD_FAILURE() << "no engine error raised";
  return ELedraEngineError(LEDRA_NONE);
}

TEST(RecordLayout, OffsetsOfTheExampleTable) {
  std::vector<TFieldDesc> fields = {
      MakeField("CITY", fldString, 30), MakeField("COUNT", fldInteger),
      MakeField("ID", fldInteger, 0, kSubTypeAutoInc), MakeField("CREATED", fldDate)};
  EXPECT_EQ(TRecordLayout::AssignOffsets(fields), 51);
  EXPECT_EQ(
      (std::vector<int>{fields[0].Offset, fields[1].Offset, fields[2].Offset, fields[3].Offset}),
      (std::vector<int>{9, 41, 5, 46}));
  EXPECT_EQ((std::vector<int>{fields[0].DataSize, fields[1].DataSize, fields[2].DataSize,
                              fields[3].DataSize}),
            (std::vector<int>{31, 4, 4, 4}));
  TRecordLayout layout = Example();
  EXPECT_EQ(layout.FieldCount(), 4);
  EXPECT_EQ(layout.RecordSize(), 51);

  std::vector<TFieldDesc> wide(300, MakeField("S", fldString, 250));
  EXPECT_EQ(EngineErrorOf([&] { TRecordLayout::AssignOffsets(wide, "Wide"); }).ErrorCode,
            LEDRA_RECTOOBIG);
}

TEST(RecordLayout, DescriptorLookup) {
  TRecordLayout layout = Example();
  EXPECT_EQ(layout.FindFieldDesc("nad_city_nm").FieldNo, 1);
  EXPECT_EQ(layout.GetFieldDesc(4).FieldName, "CREATED");
  for (int bad : {0, 5, -1}) {
    ELedraEngineError error = EngineErrorOf([&] { layout.GetFieldDesc(bad); });
    EXPECT_EQ(error.ErrorCode, LEDRA_OUTOFRANGE);
    EXPECT_EQ(error.ErrorField, std::to_string(bad));
    EXPECT_EQ(error.ErrorTable, "Addresses");
  }
  ELedraEngineError error = EngineErrorOf([&] { layout.FindFieldDesc("NAD_CITY"); });
  EXPECT_EQ(error.ErrorCode, LEDRA_OUTOFRANGE);
  EXPECT_EQ(error.ErrorField, "NAD_CITY");
  Bytes image(51);
  bool isNull = false;
  EXPECT_EQ(
      EngineErrorOf([&] { layout.GetFieldValue(5, image.data(), isNull, nullptr); }).ErrorCode,
      LEDRA_OUTOFRANGE);
}

TEST(RecordLayout, StringsLoseTrailingBlanksAndEmptyMeansNull) {
  TRecordLayout layout = Example();
  Bytes image(51, 0);
  SetText(layout, 1, image, "Shanghai   ");
  Bytes expected(51, 0);
  expected[9] = 1;
  std::memcpy(&expected[10], "Shanghai", 8);
  EXPECT_EQ(image, expected);
  bool isNull = true;
  EXPECT_EQ(GetText(layout, 1, image, isNull), "Shanghai");
  EXPECT_FALSE(isNull);

  // Only the first value byte is cleared; the rest keeps the old text.
  for (const char* empty : {"", "    "}) {
    SetText(layout, 1, image, "Shanghai");
    SetText(layout, 1, image, empty);
    expected[9] = 0;
    expected[10] = 0;
    EXPECT_EQ(image, expected) << "'" << empty << "'";
    EXPECT_EQ(GetText(layout, 1, image, isNull), "");
    EXPECT_TRUE(isNull);
  }

  // 35 characters: cut to 30, then the blanks among those 30 go.
  SetText(layout, 1, image, "ABCDEFGHIJKLMNOPQRSTUVWXYZ    EFGHI");
  EXPECT_EQ(GetText(layout, 1, image, isNull), "ABCDEFGHIJKLMNOPQRSTUVWXYZ");
  // An input of exactly DataSize bytes without a terminator.
  Bytes unterminated(31, 'x');
  layout.SetFieldValue(1, image.data(), unterminated.data(), false, false);
  EXPECT_EQ(GetText(layout, 1, image, isNull), std::string(30, 'x'));
  EXPECT_EQ(image[40], 0);
  EXPECT_EQ(image[41], 0);  // the next field's null flag is untouched
}

TEST(RecordLayout, CharCaseUsesTheTableLocale) {
  TFieldDesc lower = MakeField("LOWER", fldString, 20);
  lower.CharCase = 1;
  TFieldDesc upper = MakeField("UPPER", fldString, 20);
  upper.CharCase = 2;
  TRecordLayout layout = Layout({lower, upper});
  Bytes image(layout.RecordSize(), 0);
  SetText(layout, 1, image, "STRASSE \xC9T\xC9 ");
  SetText(layout, 2, image, "m\xFCller street");
  bool isNull = true;
  EXPECT_EQ(GetText(layout, 1, image, isNull), "strasse \xE9t\xE9");
  EXPECT_EQ(GetText(layout, 2, image, isNull), "M\xDCLLER STREET");
}

TEST(RecordLayout, AutoIncLivesInTheRowId) {
  TRecordLayout layout = Example();
  Bytes image(51, 0);
  image[5] = 0x78, image[6] = 0x56, image[7] = 0x34, image[8] = 0x12;
  uint8_t value[4] = {};
  bool isNull = true;
  layout.GetFieldValue(3, image.data(), isNull, value);
  EXPECT_FALSE(isNull);
  EXPECT_EQ(Bytes(value, value + 4), (Bytes{0x78, 0x56, 0x34, 0x12}));

  Bytes before = image;
  layout.SetFieldValue(3, image.data(), nullptr, false, false);
  EXPECT_EQ(image, before);
  const uint8_t rowId[4] = {0x2A, 0, 0, 0};
  layout.SetFieldValue(3, image.data(), rowId, false, false);
  before[5] = 0x2A, before[6] = 0, before[7] = 0, before[8] = 0;
  EXPECT_EQ(image, before);
}

TEST(RecordLayout, BooleansBlobsAndNulls) {
  TRecordLayout layout = Layout({MakeField("FLAG", fldBoolean), MakeField("NOTES", fldBlob, 0, 22),
                                 MakeField("TOTAL", fldLargeInt)});
  ASSERT_EQ(layout.RecordSize(), 9 + 3 + 9 + 9);
  Bytes image(30, 0);
  const uint8_t allOnes[2] = {0xFF, 0xFF};
  layout.SetFieldValue(1, image.data(), allOnes, false, false);
  EXPECT_EQ(Bytes(&image[9], &image[12]), (Bytes{1, 1, 0}));

  // The blob reference decides the null flag; the stamp bytes 17..20 stay.
  std::memset(&image[17], 0xAA, 4);
  auto setReference = [&](int32_t reference, bool blobEmpty) {
    uint8_t value[4];
    std::memcpy(value, &reference, 4);
    layout.SetFieldValue(2, image.data(), value, blobEmpty, false);
    return Bytes(&image[12], &image[21]);
  };
  EXPECT_EQ(setReference(7, true), (Bytes{1, 7, 0, 0, 0, 0xAA, 0xAA, 0xAA, 0xAA}));
  EXPECT_EQ(setReference(0, false), (Bytes{0, 0, 0, 0, 0, 0xAA, 0xAA, 0xAA, 0xAA}));
  EXPECT_EQ(setReference(-3, true), (Bytes{0, 0xFD, 0xFF, 0xFF, 0xFF, 0xAA, 0xAA, 0xAA, 0xAA}));
  EXPECT_EQ(setReference(-3, false), (Bytes{1, 0xFD, 0xFF, 0xFF, 0xFF, 0xAA, 0xAA, 0xAA, 0xAA}));
  Bytes reference(4);  // exactly the 4 bytes a blob read returns
  bool isNull = true;
  layout.GetFieldValue(2, image.data(), isNull, reference.data());
  EXPECT_FALSE(isNull);
  EXPECT_EQ(reference, (Bytes{0xFD, 0xFF, 0xFF, 0xFF}));
  layout.SetFieldValue(2, image.data(), nullptr, false, false);
  EXPECT_EQ(Bytes(&image[12], &image[21]), (Bytes{0, 0, 0, 0, 0, 0xAA, 0xAA, 0xAA, 0xAA}));

  const uint8_t total[8] = {1, 2, 3, 4, 5, 6, 7, 0x80};
  layout.SetFieldValue(3, image.data(), total, false, false);
  EXPECT_EQ(Bytes(&image[21], &image[30]), (Bytes{1, 1, 2, 3, 4, 5, 6, 7, 0x80}));
  layout.SetFieldValue(3, image.data(), nullptr, false, false);
  EXPECT_EQ(Bytes(&image[21], &image[30]), Bytes(9, 0));
}

TEST(RecordLayout, ComputedFieldsAreWrittenOnlyWhenForced) {
  std::vector<TFieldDesc> fields =
      Numbered({MakeField("A", fldInteger), MakeField("B", fldInteger)});
  fields[1].Computed = 1;
  TRecordLayout::AssignOffsets(fields);
  fields[1].Offset = 14;  // a query result gives its computed field a slot
  TRecordLayout layout("Result", "", 0, 0, fields, 19);
  int recomputed = 0;
  layout.SetComputeHandler([&](uint8_t* image) {
    ++recomputed;
    const uint8_t twice[4] = {uint8_t(image[10] * 2), 0, 0, 0};
    layout.SetFieldValue(2, image, twice, false, true);
  });
  Bytes image(19, 0);
  const uint8_t value[4] = {9, 0, 0, 0};
  layout.SetFieldValue(2, image.data(), value, false, false);
  EXPECT_EQ(image, Bytes(19, 0));
  layout.SetFieldValue(1, image.data(), value, false, false);
  EXPECT_EQ(recomputed, 1);
  EXPECT_EQ(Bytes(&image[9], &image[19]), (Bytes{1, 9, 0, 0, 0, 1, 18, 0, 0, 0}));
}

TEST(RecordLayout, DamagedDescriptorsAreRefused) {
  auto build = [](void (*damage)(std::vector<TFieldDesc>&, uint16_t&)) {
    std::vector<TFieldDesc> fields = {MakeField("CITY", fldString, 30),
                                      MakeField("FLAG", fldBoolean)};
    uint16_t recordSize = TRecordLayout::AssignOffsets(fields);
    damage(fields, recordSize);
    return EngineErrorOf([&] { TRecordLayout("Bad", "Db", 0, 0, fields, recordSize); });
  };
  std::vector<void (*)(std::vector<TFieldDesc>&, uint16_t&)> damages = {
      [](std::vector<TFieldDesc>& f, uint16_t&) { f[1].Offset = 42; },  // one byte too far
      [](std::vector<TFieldDesc>& f, uint16_t&) { f[0].Offset = 3; },   // inside the prefix
      [](std::vector<TFieldDesc>&, uint16_t& size) { size = 43; },
      [](std::vector<TFieldDesc>& f, uint16_t&) { f[1].DataSize = 1; },
      [](std::vector<TFieldDesc>& f, uint16_t& size) {
        f[0].Size = 251, f[0].DataSize = 252, f[1].Offset = 262, size = 265;
      },
      [](std::vector<TFieldDesc>&, uint16_t& size) { size = 8; },
  };
  for (size_t i = 0; i < damages.size(); ++i) {
    ELedraEngineError error = build(damages[i]);
    EXPECT_EQ(error.ErrorCode, LEDRA_HEADERCORRUPT) << i;
    EXPECT_EQ(error.ErrorTable, "Bad") << i;
  }
}

TEST(RecordLayout, InitRecordBufferWithoutDefaultsIsAllZero) {
  TRecordLayout layout = Example();
  Bytes image(51, 0xEE);
  layout.InitRecordBuffer(image.data());
  EXPECT_EQ(image, Bytes(51, 0));
  for (int fieldNo = 1; fieldNo <= 4; ++fieldNo) {
    bool isNull = false;
    uint8_t value[kFieldValueBufferSize];
    std::memset(value, 0xEE, sizeof value);
    layout.GetFieldValue(fieldNo, image.data(), isNull, value);
    EXPECT_EQ(isNull, fieldNo != 3) << fieldNo;
    EXPECT_EQ(value[0], 0) << fieldNo;
  }
}

// 15 March 2024, 13:45:30.250.
double FixedNow() {
  return 45366.0 + 49530250.0 / 86400000.0;
}

class DefaultsTest : public ::testing::Test {
 protected:
  void SetUp() override { previous_ = SetDateTimeClock(&FixedNow); }
  void TearDown() override { SetDateTimeClock(previous_); }
  TDateTimeClock previous_ = nullptr;
};

TFieldDesc WithDefault(TFieldDesc desc, std::string text) {
  desc.DefaultValue = std::move(text);
  return desc;
}

TEST_F(DefaultsTest, EveryTypeGetsItsDefault) {
  TFieldDesc bcd = MakeField("AMOUNT", fldBCD);
  bcd.Scale = 2;
  TRecordLayout layout = Layout({
      WithDefault(MakeField("CITY", fldString, 10), "Beijing  "),
      WithDefault(MakeField("DAY", fldDate), "2024-02-29"),
      WithDefault(MakeField("OK", fldBoolean), "true"),
      WithDefault(MakeField("SMALL", fldSmallInt), "-2"),
      WithDefault(MakeField("INT", fldInteger), "100000"),
      WithDefault(MakeField("WORD", fldWord), "65535"),
      WithDefault(MakeField("RATE", fldFloat), "2.5"),
      WithDefault(MakeField("FEE", fldFloat, 0, kSubTypeMoney), "-0.125"),
      WithDefault(bcd, "12.345"),
      WithDefault(MakeField("AT", fldTime), "1:30 PM"),
      WithDefault(MakeField("STAMP", fldTimeStamp), "CURRENT_TIMESTAMP"),
      WithDefault(MakeField("BIG", fldLargeInt), "-9000000000"),
      WithDefault(MakeField("NOTES", fldBlob, 0, kSubTypeMemo), "x"),
      WithDefault(MakeField("RAW", fldBytes, 2), "zz"),
      WithDefault(MakeField("TODAY", fldDate), "current_date"),
      WithDefault(MakeField("NOW", fldTime), "Current_Time"),
  });
  Bytes image(layout.RecordSize(), 0xEE);
  layout.InitRecordBuffer(image.data());
  auto slot = [&](int fieldNo) {
    const TFieldDesc& desc = layout.FieldDesc(fieldNo);
    return Bytes(&image[desc.Offset], &image[desc.Offset + 1 + desc.DataSize]);
  };
  EXPECT_EQ(slot(1), (Bytes{1, 'B', 'e', 'i', 'j', 'i', 'n', 'g', 0, 0, 0, 0}));
  EXPECT_EQ(slot(2), (Bytes{1, 0x81, 0x46, 0x0B, 0x00}));
  EXPECT_EQ(slot(3), (Bytes{1, 1, 0}));
  EXPECT_EQ(slot(4), (Bytes{1, 0xFE, 0xFF}));
  EXPECT_EQ(slot(5), (Bytes{1, 0xA0, 0x86, 0x01, 0x00}));
  EXPECT_EQ(slot(6), (Bytes{1, 0xFF, 0xFF}));
  EXPECT_EQ(slot(7), (Bytes{1, 0, 0, 0, 0, 0, 0, 0x04, 0x40}));
  EXPECT_EQ(slot(8), (Bytes{1, 0, 0, 0, 0, 0, 0, 0xC0, 0xBF}));
  Bytes amount(35, 0);  // 12.345 rounds to 12.35 at two places
  amount[0] = 1, amount[1] = 0x20, amount[2] = 0x02, amount[17] = 0x12, amount[18] = 0x35;
  EXPECT_EQ(slot(9), amount);
  EXPECT_EQ(slot(10), (Bytes{1, 0xC0, 0x93, 0xE5, 0x02}));
  EXPECT_EQ(slot(11), (Bytes{1, 0x00, 0xC5, 0xC2, 0xD7, 0xAC, 0x08, 0xCD, 0x42}));
  EXPECT_EQ(slot(12), (Bytes{1, 0x00, 0xE6, 0x8E, 0xE7, 0xFD, 0xFF, 0xFF, 0xFF}));
  EXPECT_EQ(slot(13), Bytes(9, 0));  // a blob default leaves the field null
  EXPECT_EQ(slot(14), (Bytes{1, 0, 0}));
  EXPECT_EQ(slot(15), (Bytes{1, 0x90, 0x46, 0x0B, 0x00}));
  EXPECT_EQ(slot(16), (Bytes{1, 0x8A, 0xC5, 0xF3, 0x02}));
  EXPECT_EQ(Bytes(image.begin(), image.begin() + 9), Bytes(9, 0));
}

TEST_F(DefaultsTest, MalformedDefaultsNameTheText) {
  struct TCase {
    TFieldDesc field;
    const char* message;
  } cases[] = {
      {WithDefault(MakeField("D", fldDate), "2023-02-30"), "'2023-02-30' is not a valid date"},
      {WithDefault(MakeField("T", fldTime), "25:00"), "'25:00' is not a valid time"},
      {WithDefault(MakeField("S", fldTimeStamp), "tomorrow"),
       "'tomorrow' is not a valid date and time"},
      {WithDefault(MakeField("B", fldBoolean), "yes"), "'yes' is not a valid boolean"},
      {WithDefault(MakeField("N", fldSmallInt), "70000"), "'70000' is not a valid integer value"},
      {WithDefault(MakeField("F", fldFloat), "1,5"), "'1,5' is not a valid floating point value"},
      {WithDefault(MakeField("C", fldBCD), "abc"), "'abc' is not a valid floating point value"},
  };
  for (const TCase& c : cases) {
    TRecordLayout layout = Layout({c.field});
    Bytes image(layout.RecordSize());
    try {
      layout.InitRecordBuffer(image.data());
      ADD_FAILURE() << c.message;
    } catch (const ELedraEngineError&) {
      ADD_FAILURE() << "an engine error for " << c.message;
    } catch (const EDatabaseError& error) {
      EXPECT_STREQ(error.what(), c.message);
    }
  }
}

TEST_F(DefaultsTest, RequiredMinimumAndMaximum) {
  TFieldDesc name = MakeField("NAME", fldString, 10);
  name.Required = 1;
  auto bounded = [](TFieldDesc desc, const char* min, const char* max) {
    desc.MinValue = min;
    desc.MaxValue = max;
    return desc;
  };
  TFieldDesc amount = MakeField("AMOUNT", fldBCD);
  amount.Scale = 2;
  TRecordLayout layout = Layout({
      name, bounded(MakeField("CODE", fldString, 5), "B", "M"),
      bounded(MakeField("QTY", fldSmallInt), "-5", "70000"),
      bounded(MakeField("WORD", fldWord), "1", "65535"),
      bounded(MakeField("BIG", fldLargeInt), "-1", "10000000000"),
      bounded(MakeField("RATE", fldFloat), "0.5", "99.5"),
      bounded(MakeField("DAY", fldDate), "2000-01-01", "CURRENT_DATE"),
      bounded(MakeField("AT", fldTime), "8:00", "6:00 PM"),
      bounded(MakeField("STAMP", fldTimeStamp), "2000-01-01 12:00", "CURRENT_TIMESTAMP"),
      bounded(amount, "-10.5", "10.5"),
      bounded(MakeField("FLAG", fldBoolean), "TRUE", "TRUE"),  // not compared
  });
  // A record within every bound: the defaults of a second layout fill it.
  TRecordLayout filler = Layout({
      WithDefault(MakeField("NAME", fldString, 10), "Lin"),
      WithDefault(MakeField("CODE", fldString, 5), "C"),
      WithDefault(MakeField("QTY", fldSmallInt), "-5"),
      WithDefault(MakeField("WORD", fldWord), "65535"),  // above 32767: compared unsigned
      WithDefault(MakeField("BIG", fldLargeInt), "10000000000"),
      WithDefault(MakeField("RATE", fldFloat), "99.5"),
      WithDefault(MakeField("DAY", fldDate), "2024-03-15"),
      WithDefault(MakeField("AT", fldTime), "6:00 PM"),
      WithDefault(MakeField("STAMP", fldTimeStamp), "2000-01-01 12:00"),
      WithDefault(amount, "10.5"),
      WithDefault(MakeField("FLAG", fldBoolean), "FALSE"),
  });
  ASSERT_EQ(filler.RecordSize(), layout.RecordSize());
  Bytes valid(layout.RecordSize());
  filler.InitRecordBuffer(valid.data());
  layout.ValidateRecord(valid.data());

  struct TCase {
    int fieldNo;
    const char* text;  // nullptr: null
    TEngineErrorCode code;
  } cases[] = {
      {1, nullptr, LEDRA_REQDERR},
      {1, "   ", LEDRA_REQDERR},
      {2, "A", LEDRA_MINVALERR},
      {2, "Z", LEDRA_MAXVALERR},
      {3, "-6", LEDRA_MINVALERR},
      {4, nullptr, LEDRA_MINVALERR},  // null reads as 0
      {5, "-2", LEDRA_MINVALERR},
      {5, "10000000001", LEDRA_MAXVALERR},
      {6, "0.25", LEDRA_MINVALERR},
      {6, "99.75", LEDRA_MAXVALERR},
      {7, "1999-12-31", LEDRA_MINVALERR},
      {7, "2024-03-16", LEDRA_MAXVALERR},
      {8, "7:59:59.999", LEDRA_MINVALERR},
      {8, "18:00:00.001", LEDRA_MAXVALERR},
      {9, "2000-01-01 11:59", LEDRA_MINVALERR},
      {9, "2024-03-15 13:45:30.251", LEDRA_MAXVALERR},
      {10, "-10.51", LEDRA_MINVALERR},
      {10, "10.51", LEDRA_MAXVALERR},
  };
  for (const TCase& c : cases) {
    Bytes image = valid;
    const TFieldDesc& desc = layout.FieldDesc(c.fieldNo);
    if (c.text == nullptr) {
      layout.SetFieldValue(c.fieldNo, image.data(), nullptr, false, false);
    } else {
      uint8_t value[kFieldValueBufferSize];
      DefaultTextToValue(desc, c.text, value);
      layout.SetFieldValue(c.fieldNo, image.data(), value, false, false);
    }
    ELedraEngineError error = EngineErrorOf([&] { layout.ValidateRecord(image.data()); });
    EXPECT_EQ(error.ErrorCode, c.code) << desc.FieldName << " " << (c.text ? c.text : "null");
    EXPECT_EQ(error.ErrorField, desc.FieldName);
    EXPECT_EQ(error.ErrorTable, "Addresses");
    EXPECT_EQ(error.ErrorDatabase, "Shipping");
  }

  // The first failing field in field order is reported.
  Bytes image = valid;
  layout.SetFieldValue(6, image.data(), nullptr, false, false);
  layout.SetFieldValue(1, image.data(), nullptr, false, false);
  EXPECT_EQ(EngineErrorOf([&] { layout.ValidateRecord(image.data()); }).ErrorField, "NAME");
}

}  // namespace
}  // namespace ledra
