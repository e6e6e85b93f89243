#include "engine/files/LocaleServices.h"

#include <gtest/gtest.h>

#include <string>

#include "engine/errors/EngineError.h"

namespace ledra {
namespace {

TEST(LocaleServicesTest, TableWithoutLanguageUsesEnglishUnitedStates) {
  EXPECT_EQ(TableLocale(0, 0), 1033u);
  EXPECT_EQ(TableLocale(0, 1), 1033u);  // a sort without a language means nothing
  EXPECT_EQ(TableLocale(1031, 0), 1031u);
  EXPECT_EQ(TableLocale(1031, 1), 66567u);  // German, phone book order
  EXPECT_EQ(TableLocale(2057, 0), 2057u);
}

TEST(LocaleServicesTest, NoTableLocaleIsInstalledYet) {
#ifdef _WIN32
  GTEST_SKIP() << "Windows has the locales it installed; only the other systems lack them";
#endif
  // Tables carrying these are refused at open instead of searched in the
  // wrong order.
  for (uint32_t lcid : {1031u, 2052u, 66567u, 1033u, 2057u}) {
    EXPECT_FALSE(LocaleInstalled(lcid)) << lcid;
  }
}

TEST(LocaleServicesTest, CompareGivesMinusOneZeroOrOne) {
  EXPECT_EQ(LocaleCompare(1033, false, "a", "B", 0), -1);
  EXPECT_EQ(LocaleCompare(1033, false, "B", "a", 0), 1);
  EXPECT_EQ(LocaleCompare(1033, false, "\xE9t\xE9", "ete", 0), 0);  // été: marks ignored
  EXPECT_EQ(LocaleCompare(1033, false, "co-op", "coop", 0), -1);    // string sort
  // Case decides unless ignored.
  EXPECT_EQ(LocaleCompare(1033, false, "BEIJING", "beijing", 0), 1);
  EXPECT_EQ(LocaleCompare(1033, true, "BEIJING", "beijing", 0), 0);
  EXPECT_EQ(LocaleCompare(1033, true, "Beijing", "SHANGHAI", 0), -1);
}

TEST(LocaleServicesTest, CompareWithLengthTakesFixedWidthFieldsZerosIncluded) {
  // Two 8-byte key values; only the given length is read, and the padding
  // weighs nothing.
  const char a[8] = {'1', '0', '0', '0', '0', '0', 0, 0};
  const char b[8] = {'1', '0', '0', '0', '0', '1', 0, 0};
  const char c[8] = {'1', '0', '0', '0', '0', '0', 0, 0};
  EXPECT_EQ(LocaleCompare(1033, false, a, b, 8), -1);
  EXPECT_EQ(LocaleCompare(1033, false, a, c, 8), 0);
  // Only the first five bytes: equal, although the values differ later.
  EXPECT_EQ(LocaleCompare(1033, false, a, b, 5), 0);
}

TEST(LocaleServicesTest, CompareInALocaleWithoutOrderingRaises) {
#ifdef _WIN32
  GTEST_SKIP() << "Windows has the locales it installed; only the other systems lack them";
#endif
  try {
    LocaleCompare(1031, false, "a", "b", 0);
    FAIL() << "no error raised";
  } catch (const ELedraEngineError& e) {
    EXPECT_EQ(e.ErrorCode, LEDRA_CANNOTLOADLDDRV);
  }
}

TEST(LocaleServicesTest, UpperAndLowerMapTheCodePageLetters) {
  std::string text =
      "stra\xDF"
      "e \xE9t\xE9 \xFF\x9C";  // straße été ÿœ
  LocaleUpper(1033, text);
  EXPECT_EQ(text,
            "STRA\xDF"
            "E \xC9T\xC9 \x9F\x8C");  // STRAßE ÉTÉ ŸŒ
  LocaleLower(1033, text);
  EXPECT_EQ(text,
            "stra\xDF"
            "e \xE9t\xE9 \xFF\x9C");

  std::string empty;
  LocaleUpper(1033, empty);
  EXPECT_EQ(empty, "");
}

TEST(LocaleServicesTest, MappingEndsAtTheFirstZeroByte) {
  std::string text("ab\0cd", 5);
  LocaleUpper(1033, text);
  EXPECT_EQ(text, "AB");
}

TEST(LocaleServicesTest, MappingInALocaleWithoutCaseMapRaisesAndKeepsTheText) {
#ifdef _WIN32
  GTEST_SKIP() << "Windows has the locales it installed; only the other systems lack them";
#endif
  std::string text = "abc";
  try {
    LocaleUpper(2052, text);
    FAIL() << "no error raised";
  } catch (const ELedraEngineError& e) {
    EXPECT_EQ(e.ErrorCode, LEDRA_CANNOTLOADLDDRV);
  }
  EXPECT_EQ(text, "abc");
}

}  // namespace
}  // namespace ledra
