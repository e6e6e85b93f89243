#include "components/FieldTypes.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/FieldBuilder.h"

namespace ledra {
namespace {

using test::MakeField;

TEST(FieldTypes, EngineTypesMapToComponentTypes) {
  struct TCase {
    uint8_t type, subType;
    TFieldType expected;
  } cases[] = {
      {1, 0, ftString},       {1, 31, ftFixedChar}, {2, 0, ftDate},      {3, 0, ftBlob},
      {3, 21, ftBlob},        {3, 22, ftMemo},      {3, 24, ftFmtMemo},  {3, 26, ftGraphic},
      {3, 28, ftTypedBinary}, {4, 0, ftBoolean},    {5, 0, ftSmallint},  {6, 0, ftInteger},
      {6, 29, ftAutoInc},     {7, 0, ftFloat},      {7, 21, ftCurrency}, {8, 0, ftBCD},
      {9, 0, ftBytes},        {10, 0, ftTime},      {11, 0, ftDateTime}, {12, 0, ftWord},
      {13, 0, ftInteger},     {14, 0, ftUnknown},   {15, 0, ftVarBytes}, {16, 0, ftUnknown},
      {17, 0, ftUnknown},     {18, 0, ftLargeint},  {19, 0, ftLargeint}, {20, 0, ftADT},
      {21, 0, ftArray},       {22, 0, ftReference}, {23, 0, ftDataSet},  {24, 0, ftUnknown},
      {0, 0, ftUnknown},
  };
  for (const TCase& c : cases) {
    EXPECT_EQ(ComponentFieldType(MakeField("F", c.type, 0, c.subType)), c.expected)
        << int(c.type) << "/" << int(c.subType);
  }

  TFieldDesc bcd = MakeField("B", fldBCD);
  bcd.Scale = 4;
  EXPECT_EQ(DatasetFieldSize(bcd), 4);
  EXPECT_EQ(DatasetFieldSize(MakeField("S", fldString, 40, 31)), 40);
  EXPECT_EQ(DatasetFieldSize(MakeField("V", fldVarBytes, 12)), 12);
  EXPECT_EQ(DatasetFieldSize(MakeField("I", fldInteger)), 0);
}

TEST(FieldTypes, FieldDefsSkipHiddenAndUntypedFieldsAndGetUniqueNames) {
  std::vector<TFieldDesc> fields =
      test::Numbered({MakeField("NAME", fldString, 10), MakeField("name", fldInteger),
                      MakeField("TEN", fldTenByte), MakeField("NAME", fldDate),
                      MakeField("SECRET", fldInteger), MakeField("Name_1", fldBoolean)});
  fields[0].Required = 1;
  fields[4].Reserved[252 - kFieldDescReservedOffset] = 1;  // hidden
  std::vector<TComponentFieldDef> defs = BuildComponentFieldDefs(fields);
  ASSERT_EQ(defs.size(), 4u);
  EXPECT_EQ(defs[0].Name, "NAME");
  EXPECT_EQ(defs[0].DataType, ftString);
  EXPECT_EQ(defs[0].Size, 10);
  EXPECT_TRUE(defs[0].Required);
  EXPECT_EQ(defs[1].Name, "name_1");
  EXPECT_EQ(defs[2].Name, "NAME_2");
  EXPECT_EQ(defs[2].FieldNo, 4);
  EXPECT_EQ(defs[3].Name, "Name_1_1");
  EXPECT_FALSE(defs[3].Required);
}

}  // namespace
}  // namespace ledra
