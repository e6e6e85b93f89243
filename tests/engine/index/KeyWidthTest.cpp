#include "engine/index/KeyWidth.h"

#include <gtest/gtest.h>

#include <vector>

#include "tests/engine/index/IndexTestSupport.h"

namespace ledra {
namespace {

using test::MakeField;

TEST(KeyWidthTest, WidthPerFieldType) {
  EXPECT_EQ(KeyWidth(MakeField(1, "S", fldString, 10)), 11);
  EXPECT_EQ(KeyWidth(MakeField(1, "S", fldString, 250)), 251);
  EXPECT_EQ(KeyWidth(MakeField(1, "S", fldString, 10, kSubTypeFixedChar)), 11);
  for (uint8_t type : {fldDate, fldInteger, fldTime})
    EXPECT_EQ(KeyWidth(MakeField(1, "I", type)), 4);
  EXPECT_EQ(KeyWidth(MakeField(1, "A", fldInteger, 0, kSubTypeAutoInc)), 4);
  for (uint8_t type : {fldSmallInt, fldBoolean, fldWord}) {
    EXPECT_EQ(KeyWidth(MakeField(1, "W", type)), 2);
  }
  for (uint8_t type : {fldFloat, fldTimeStamp, fldLargeInt}) {
    EXPECT_EQ(KeyWidth(MakeField(1, "F", type)), 8);
  }
  EXPECT_EQ(KeyWidth(MakeField(1, "M", fldFloat, 0, kSubTypeMoney)), 8);
  // BCD is stored in 34 bytes but keyed as an 8-byte currency value.
  TFieldDesc bcd = MakeField(1, "B", fldBCD, 20);
  bcd.DataSize = 34;
  EXPECT_EQ(KeyWidth(bcd), 8);
  TFieldDesc bytes = MakeField(1, "Y", fldBytes, 12);
  EXPECT_EQ(KeyWidth(bytes), bytes.DataSize);
  TFieldDesc odd = MakeField(1, "V", fldVarBytes, 20);
  odd.DataSize = 22;
  EXPECT_EQ(KeyWidth(odd), 22);
}

TEST(KeyWidthTest, KeyLengthOfAStringIndex) {
  TFieldDesc postcode = MakeField(1, "Postcode", fldString, 10);
  std::vector<const TFieldDesc*> fields{&postcode};
  EXPECT_EQ(DefineKeyLength(fields, false, false, "ByPost", "Towns"), 16);
  EXPECT_EQ(DefineKeyLength(fields, true, false, "ByPost", "Towns"), 12);
}

TEST(KeyWidthTest, KeyLengthLimits) {
  TFieldDesc wide = MakeField(1, "Wide", fldString, 250);    // 252 bytes a segment
  TFieldDesc s16 = MakeField(2, "S16", fldString, 16);       // 18
  TFieldDesc s17 = MakeField(3, "S17", fldString, 17);       // 19
  std::vector<const TFieldDesc*> exact{&wide, &wide, &s16};  // 522
  EXPECT_EQ(DefineKeyLength(exact, true, false, "X", "T"), 522);
  EXPECT_EQ(DefineKeyLength(exact, false, false, "X", "T"), 526);

  std::vector<const TFieldDesc*> over{&wide, &wide, &s17};  // 523
  try {
    DefineKeyLength(over, true, false, "ByWide", "Towns");
    FAIL() << "a 523-byte key was accepted";
  } catch (const ELedraEngineError& error) {
    EXPECT_EQ(error.ErrorCode, LEDRA_INVALIDKEY);
    EXPECT_EQ(error.ErrorIndex, "ByWide");
    EXPECT_EQ(error.ErrorTable, "Towns");
  }

  std::vector<const TFieldDesc*> none;
  EXPECT_EQ(test::CodeOf([&] { DefineKeyLength(none, true, false, "X", "T"); }), LEDRA_INVALIDKEY);
  // The primary index of a table without one has no key.
  EXPECT_EQ(DefineKeyLength(none, true, true, "", "T"), 0);
}

}  // namespace
}  // namespace ledra
