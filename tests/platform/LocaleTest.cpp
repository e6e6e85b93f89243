// Comparison and case mapping of code page 1252 text for locale 1033, checked
// against results recorded from the Windows functions
// (data/locale-1033-cp1252.txt) and against hand-written expectations.
#include "platform/Locale.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "platform/WinError.h"
#include "tests/support/Wine.h"

namespace ledra::platform {
namespace {

constexpr Lcid kEnglish = kLocaleEnglishUnitedStates;

// One line of the recording, split at blanks.
std::vector<std::vector<std::string>> ReferenceRows(const std::string& kind) {
  std::ifstream in(std::string(OSTREVO_TEST_DATA_DIR) + "/locale-1033-cp1252.txt");
  EXPECT_TRUE(in.is_open());
  std::vector<std::vector<std::string>> rows;
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream words(line);
    std::vector<std::string> row;
    for (std::string word; words >> word;) row.push_back(word);
    if (!row.empty() && row[0] == kind) rows.push_back(row);
  }
  return rows;
}

int Hex(const std::string& text) {
  return std::stoi(text, nullptr, 16);
}

// "616263" -> "abc"; a trailing '-' marks the empty string.
std::string FromHex(std::string text) {
  if (!text.empty() && text.back() == '-') text.pop_back();
  std::string bytes;
  for (size_t i = 0; i + 1 < text.size(); i += 2) bytes += char(Hex(text.substr(i, 2)));
  return bytes;
}

std::string ToHex(const std::string& bytes) {
  std::string text;
  char digits[3];
  for (unsigned char c : bytes) {
    std::snprintf(digits, sizeof digits, "%02X", c);
    text += digits;
  }
  return text;
}

// -1, 0 or 1; 9 when the call fails.
int Compare(uint32_t flags, const std::string& a, const std::string& b) {
  int result =
      CompareLocaleStrings(kEnglish, flags, a.data(), int(a.size()), b.data(), int(b.size()));
  return result == 0 ? 9 : result - kCompareEqual;
}

uint8_t MapByte(uint32_t flags, int c) {
  char in = char(c);
  char out = 0x55;
  EXPECT_EQ(MapLocaleString(kEnglish, flags, &in, 1, &out, 1), 1);
  return uint8_t(out);
}

// The letters that have both cases in code page 1252, written out from the
// code chart: position i of one string pairs with position i of the other.
const std::string kSmallLetters =
    "abcdefghijklmnopqrstuvwxyz"
    "\x9A\x9C\x9E\xFF"                                                  // š œ ž ÿ
    "\xE0\xE1\xE2\xE3\xE4\xE5\xE6\xE7\xE8\xE9\xEA\xEB\xEC\xED\xEE\xEF"  // à .. ï
    "\xF0\xF1\xF2\xF3\xF4\xF5\xF6\xF8\xF9\xFA\xFB\xFC\xFD\xFE";         // ð .. þ
const std::string kCapitalLetters =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZ"
    "\x8A\x8C\x8E\x9F"                                                  // Š Œ Ž Ÿ
    "\xC0\xC1\xC2\xC3\xC4\xC5\xC6\xC7\xC8\xC9\xCA\xCB\xCC\xCD\xCE\xCF"  // À .. Ï
    "\xD0\xD1\xD2\xD3\xD4\xD5\xD6\xD8\xD9\xDA\xDB\xDC\xDD\xDE";         // Ð .. Þ

TEST(LocaleTest, CaseMapOfEveryByteMatchesTheRecording) {
  auto rows = ReferenceRows("map");
  ASSERT_EQ(rows.size(), 255u);
  for (const auto& row : rows) {
    int c = Hex(row[1]);
    EXPECT_EQ(MapByte(kMapUpperCase, c), Hex(row[2])) << "upper case of " << row[1];
    EXPECT_EQ(MapByte(kMapLowerCase, c), Hex(row[3])) << "lower case of " << row[1];
  }
}

TEST(LocaleTest, CaseMapOfEveryBytePairsOnlyTheCodePageLetters) {
  ASSERT_EQ(kSmallLetters.size(), kCapitalLetters.size());
  for (int c = 0; c < 256; ++c) {
    size_t small = kSmallLetters.find(char(c));
    size_t capital = kCapitalLetters.find(char(c));
    uint8_t upper = small != std::string::npos ? uint8_t(kCapitalLetters[small]) : uint8_t(c);
    uint8_t lower = capital != std::string::npos ? uint8_t(kSmallLetters[capital]) : uint8_t(c);
    EXPECT_EQ(MapByte(kMapUpperCase, c), upper) << "upper case of " << c;
    EXPECT_EQ(MapByte(kMapLowerCase, c), lower) << "lower case of " << c;
  }
}

TEST(LocaleTest, MappingKeepsCharactersWithoutASingleByteCapital) {
  // ß has no capital in the code page, and Windows leaves it as it is.
  std::string text =
      "stra\xDF"
      "e \xE9t\xE9";  // straße été
  char out[16] = {};
  ASSERT_EQ(MapLocaleString(kEnglish, kMapUpperCase, text.c_str(), -1, out, sizeof out), 11);
  EXPECT_EQ(ToHex(out), ToHex("STRA\xDF"
                              "E \xC9T\xC9"));  // STRAßE ÉTÉ
  ASSERT_EQ(MapLocaleString(kEnglish, kMapLowerCase, out, -1, out, sizeof out), 11);
  EXPECT_EQ(ToHex(out), ToHex(text));
}

TEST(LocaleTest, MappingCountsAndBuffers) {
  char buffer[8];
  std::memset(buffer, 'x', sizeof buffer);
  // With -1 the terminating zero is counted and written.
  EXPECT_EQ(MapLocaleString(kEnglish, kMapUpperCase, "ab", -1, nullptr, 0), 3);
  EXPECT_EQ(MapLocaleString(kEnglish, kMapUpperCase, "ab", -1, buffer, 3), 3);
  EXPECT_EQ(std::string(buffer, 4), std::string("AB\0x", 4));
  // An explicit length maps exactly that many bytes, zeros included.
  EXPECT_EQ(MapLocaleString(kEnglish, kMapUpperCase, "a\0b", 3, buffer, 8), 3);
  EXPECT_EQ(std::string(buffer, 4), std::string("A\0Bx", 4));
  // Too short a buffer fails and writes nothing useful.
  EXPECT_EQ(MapLocaleString(kEnglish, kMapUpperCase, "abc", -1, buffer, 3), 0);
  EXPECT_EQ(GetLastError(), 122u);
  EXPECT_EQ(MapLocaleString(kEnglish, 0x0300, "abc", -1, buffer, 8), 0);
  EXPECT_EQ(MapLocaleString(kEnglish, kMapUpperCase, "abc", 0, buffer, 8), 0);
#ifndef _WIN32
  EXPECT_EQ(MapLocaleString(1031, kMapUpperCase, "abc", -1, buffer, 8), 0);  // only 1033 here
#endif
}

TEST(LocaleTest, SingleByteComparisonsMatchTheRecording) {
  auto rows = ReferenceRows("cmp");
  std::map<std::string, int> rowsPerFlags;
  std::vector<std::string> differences;
  for (const auto& row : rows) {
    ++rowsPerFlags[row[1]];
    uint32_t flags = uint32_t(Hex(row[1]));
    std::string a(1, char(Hex(row[2])));
    ASSERT_EQ(row[3].size(), 255u);
    for (int b = 1; b < 256; ++b) {
      int expected = row[3][b - 1] == '-' ? -1 : row[3][b - 1] == '+' ? 1 : 0;
      if (Compare(flags, a, std::string(1, char(b))) != expected) {
        differences.push_back(row[1] + " " + row[2] + " " + ToHex(std::string(1, char(b))));
      }
    }
  }
  EXPECT_EQ(rowsPerFlags, (std::map<std::string, int>{{"1002", 255}, {"1003", 255}}));
  EXPECT_EQ(differences.size(), 0u) << "first: " << (differences.empty() ? "" : differences[0]);
}

TEST(LocaleTest, WordComparisonsMatchTheRecording) {
  auto rows = ReferenceRows("word");
  std::map<std::string, int> rowsPerFlags;
  std::vector<std::string> differences;
  for (const auto& row : rows) {
    ++rowsPerFlags[row[1]];
    std::string a = FromHex(row[3]);
    std::string b = FromHex(row[4]);
    // Recorded zero-terminated; compare them that way too.
    int result =
        CompareLocaleStrings(kEnglish, uint32_t(Hex(row[1])), a.c_str(), -1, b.c_str(), -1);
    if (result - kCompareEqual != std::stoi(row[2])) {
      differences.push_back(row[1] + " " + row[3] + " " + row[4]);
    }
  }
  EXPECT_EQ(rowsPerFlags, (std::map<std::string, int>{{"1002", 19600}, {"1003", 19600}}));
  EXPECT_EQ(differences.size(), 0u) << "first: " << (differences.empty() ? "" : differences[0]);
}

TEST(LocaleTest, StringSortOrdersAsWindowsDoes) {
  const uint32_t kStringSort = kCompareStringSort | kCompareIgnoreNonSpace;
  const uint32_t kIgnoreCase = kStringSort | kCompareIgnoreCase;
  // Marks do not decide; ligatures and ß count as their letters.
  EXPECT_EQ(Compare(kStringSort, "\xE9", "e"), 0);   // é = e
  EXPECT_EQ(Compare(kStringSort, "\xE6", "ae"), 0);  // æ = ae
  EXPECT_EQ(Compare(kStringSort,
                    "stra\xDF"
                    "e",
                    "strasse"),
            0);  // straße = strasse
  EXPECT_EQ(Compare(kStringSort,
                    "\xFC"
                    "ber",
                    "uber"),
            0);  // über = uber
  // Letters first, case only when everything else is equal.
  EXPECT_EQ(Compare(kStringSort, "a", "B"), -1);
  EXPECT_EQ(Compare(kStringSort, "A", "a"), 1);
  EXPECT_EQ(Compare(kStringSort, "Ab", "ab"), 1);
  EXPECT_EQ(Compare(kStringSort, "Ab", "ac"), -1);
  EXPECT_EQ(Compare(kIgnoreCase, "A", "a"), 0);
  EXPECT_EQ(Compare(kIgnoreCase, "BEIJING", "beijing"), 0);
  // String sort keeps the hyphen in place as a symbol.
  EXPECT_EQ(Compare(kStringSort, "co-op", "coop"), -1);
  EXPECT_EQ(Compare(kStringSort, "co-op", "co op"), -1);
  // Symbols and punctuation before digits, digits before letters.
  EXPECT_EQ(Compare(kStringSort, "~", "0"), -1);
  EXPECT_EQ(Compare(kStringSort, "9", "a"), -1);
  EXPECT_EQ(Compare(kStringSort, "10", "2"), -1);
  EXPECT_EQ(Compare(kStringSort, "a", "a1"), -1);
}

TEST(LocaleTest, WordSortSetsHyphenAndApostropheAside) {
  if (test::RunningUnderWine()) {
    GTEST_SKIP() << "Wine's word sort orders a leading hyphen otherwise than Windows";
  }
  const uint32_t kWordSort = kCompareIgnoreNonSpace;
  // Without string sort the order of "co-op" and "coop" flips: the hyphen
  // only breaks the tie.
  EXPECT_EQ(Compare(kWordSort, "co-op", "coop"), 1);
  EXPECT_EQ(Compare(kWordSort, "co-op", "cop"), -1);
  EXPECT_EQ(Compare(kWordSort, "co'op", "coo"), 1);
  EXPECT_EQ(Compare(kWordSort, "-coop", "co-op"), -1);
  EXPECT_EQ(Compare(kWordSort, "co-op", "co-op"), 0);
  // Case still decides before the hyphen does.
  EXPECT_EQ(Compare(kWordSort, "co-op", "Coop"), -1);
}

TEST(LocaleTest, MarksDecideWhenNotIgnored) {
  EXPECT_EQ(Compare(kCompareStringSort, "e", "\xE9"), -1);
  EXPECT_EQ(Compare(kCompareStringSort, "r\xE9sum\xE9", "resume"), 1);
  EXPECT_EQ(Compare(kCompareStringSort, "r\xE9sum\xE9", "resumes"), -1);
  // Marks weigh before case.
  EXPECT_EQ(Compare(kCompareStringSort, "E", "\xE9"), -1);
}

TEST(LocaleTest, ExplicitLengthsIncludeZeroPaddingThatWeighsNothing) {
  const uint32_t kStringSort = kCompareStringSort | kCompareIgnoreNonSpace;
  // Key fields arrive as fixed-width values padded with zero bytes.
  EXPECT_EQ(Compare(kStringSort, std::string("ABC\0\0", 5), "ABC"), 0);
  EXPECT_EQ(Compare(kStringSort, std::string("AB\0\0\0", 5), std::string("ABC\0\0", 5)), -1);
  EXPECT_EQ(Compare(kStringSort, std::string("ABD\0\0", 5), std::string("ABCD\0", 5)), 1);
  // Only the given bytes take part.
  EXPECT_EQ(CompareLocaleStrings(kEnglish, kStringSort, "abcdef", 3, "abc", -1), kCompareEqual);
  EXPECT_EQ(CompareLocaleStrings(kEnglish, kStringSort, "", -1, "a", -1), kCompareLessThan);
  EXPECT_EQ(CompareLocaleStrings(kEnglish, kStringSort, "", 0, "", -1), kCompareEqual);
}

TEST(LocaleTest, UnavailableLocalesAndBadArgumentsFail) {
#ifdef _WIN32
  GTEST_SKIP() << "Windows has every locale it installed and its own argument checks";
#endif
  const uint32_t kStringSort = kCompareStringSort | kCompareIgnoreNonSpace;
  EXPECT_EQ(CompareLocaleStrings(1031, kStringSort, "a", -1, "b", -1), 0);
  EXPECT_EQ(CompareLocaleStrings(1033 + 65536, kStringSort, "a", -1, "b", -1), 0);
  EXPECT_EQ(CompareLocaleStrings(kEnglish, 0x0004, "a", -1, "b", -1), 0);
  EXPECT_EQ(GetLastError(), 1004u);
  EXPECT_EQ(CompareLocaleStrings(kEnglish, kStringSort, "a", -2, "b", -1), 0);
  EXPECT_EQ(CompareLocaleStrings(kEnglish, kStringSort, nullptr, -1, "b", -1), 0);
  EXPECT_EQ(GetLastError(), uint32_t(kErrorInvalidParameter));
  // No locale is offered to tables yet, not even the one reproduced here.
  for (Lcid lcid : {1033u, 2057u, 1031u, 66567u, 2052u, 0u}) EXPECT_FALSE(IsValidLocale(lcid));
}

}  // namespace
}  // namespace ledra::platform
