#include "engine/index/TextIndexWords.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/files/LocaleServices.h"

namespace ledra {
namespace {

using TWords = std::vector<std::string>;

void Add(std::array<uint8_t, kCharSetSize>& set, uint8_t c) {
  set[c / 8] |= uint8_t(1u << (c % 8));
}

// Spaces: blank, comma, hyphen. Include: letters, digits and 128..255.
TTextParams Params(TWords stopWords = {}) {
  TTextParams params;
  params.StopWords = std::move(stopWords);
  for (char c : std::string(" ,-")) Add(params.SpaceChars, uint8_t(c));
  for (int c = 0; c < 256; ++c) {
    if ((c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c >= 128)
      Add(params.IncludeChars, uint8_t(c));
  }
  return params;
}

TWords Words(std::string_view value, const TTextParams& params = Params()) {
  return ExtractWords(value, params, kDefaultTableLocale);
}

TEST(TextIndexWords, SplitsOnSpaceCharsAndPassesOverOthers) {
  EXPECT_EQ(Words("b,a-c  d"), (TWords{"A", "B", "C", "D"}));
  // '.' and '\'' are in neither set: passed over inside the word.
  EXPECT_EQ(Words("St.John's road"), (TWords{"ROAD", "STJOHNS"}));

  // The sets as stored, written bytewise: byte 5 bit 1 is ')' (41), not '('
  // (40); byte 12 = 0x1E is 'a'..'d' (97..100) less '`' (96).
  TTextParams params;
  params.SpaceChars[5] = 0x02;
  params.IncludeChars[12] = 0x1E;
  EXPECT_EQ(Words("ab)c(d`e)", params), (TWords{"AB", "CD"}));
  // A character in both sets ends the word.
  params.IncludeChars[5] = 0x02;
  EXPECT_EQ(Words("a)b", params), (TWords{"A", "B"}));
}

TEST(TextIndexWords, KeepsTheFirst61Characters) {
  std::string w61(61, 'x');
  EXPECT_EQ(Words(w61), TWords{std::string(61, 'X')});
  // The rest of a longer run is passed over up to the next space, so the cut
  // word equals the 61-character one.
  EXPECT_EQ(Words(w61 + "yyyy " + w61 + " z"), (TWords{std::string(61, 'X'), "Z"}));
  EXPECT_EQ(Words(std::string(60, 'x') + "ab"), TWords{std::string(60, 'X') + "A"});
}

TEST(TextIndexWords, DuplicatesCollapseWithCaseAndMarksIgnored) {
  EXPECT_EQ(Words("main Main road MAIN mAiN"), (TWords{"MAIN", "ROAD"}));
  // Marks are ignored too (that is how the tree finds text keys); the first
  // occurrence decides the key's bytes.
  EXPECT_EQ(Words("caf\xE9 cafe CAFE"), TWords{"CAF\xC9"});
  EXPECT_EQ(Words("CAFE caf\xE9"), TWords{"CAFE"});
  EXPECT_EQ(Words("cafe CAF\xC9 Cafe caf\xE9 CAFE cAf\xC9"), TWords{"CAFE"});
}

TEST(TextIndexWords, LongValuesKeepTheFirstOccurrenceAcrossMerges) {
  // Enough words to merge duplicates several times on the way.
  std::string value = "caf\xE9 ";
  for (int i = 0; i < 20000; ++i) {
    value += (i % 2 ? "w" : "W") + std::to_string(i % 1500) + (i % 3 ? " cafe " : " ");
  }
  value += "cafe CAF\xC9 zz";
  TWords words = Words(value);
  ASSERT_EQ(words.size(), 1502u);
  EXPECT_EQ(words[0], "CAF\xC9");
  EXPECT_EQ(words[1], "W0");
  EXPECT_EQ(words.back(), "ZZ");
}

TEST(TextIndexWords, DropsStopWordsWithCaseIgnored) {
  TTextParams params = Params({"of", "THE", "\xE9t\xE9"});
  EXPECT_EQ(Words("The Isle of Man in the summer", params),
            (TWords{"IN", "ISLE", "MAN", "SUMMER"}));
  EXPECT_EQ(Words("\xC9T\xC9 the OF", params), TWords{});
}

TEST(TextIndexWords, UpperCasesCodePage1252Letters) {
  // é à ÿ š œ ž -> É À Ÿ Š Œ Ž; ß and µ have no capital of their own.
  EXPECT_EQ(Words("\xE9l\xE0n \xFF\x9A\x9C\x9E stra\xDF"
                  "e \xB5m"),
            (TWords{"STRA\xDF"
                    "E",
                    "\x9F\x8A\x8C\x8E", "\xB5M", "\xC9L\xC0N"}));
}

TEST(TextIndexWords, EmptyValuesAndZeroBytes) {
  EXPECT_EQ(Words(""), TWords{});
  EXPECT_EQ(Words(" ,, - "), TWords{});
  EXPECT_EQ(Words("..!?"), TWords{});
  // A zero byte never joins a word, even when the include set names it.
  TTextParams params = Params();
  Add(params.IncludeChars, 0);
  EXPECT_EQ(Words(std::string_view("ab\0cd e", 7), params), (TWords{"ABCD", "E"}));
}

TEST(TextIndexWords, CaseOnlyEditChangesNoKey) {
  TWordChanges changes = DiffWords(Words("Main street"), Words("MAIN Street"));
  EXPECT_EQ(changes.Removed, TWords{});
  EXPECT_EQ(changes.Added, TWords{});
}

TEST(TextIndexWords, EditRemovesLeftWordsAndAddsArrivedOnes) {
  TWordChanges changes =
      DiffWords(Words("12 Main street, Springfield"), Words("12 main Road - Shelbyville road"));
  EXPECT_EQ(changes.Removed, (TWords{"SPRINGFIELD", "STREET"}));
  EXPECT_EQ(changes.Added, (TWords{"ROAD", "SHELBYVILLE"}));

  // A change of mark changes the key's bytes: the old key goes, the new comes.
  changes = DiffWords(Words("cafe"), Words("caf\xE9"));
  EXPECT_EQ(changes.Removed, TWords{"CAFE"});
  EXPECT_EQ(changes.Added, TWords{"CAF\xC9"});

  changes = DiffWords(Words(""), Words("a b"));
  EXPECT_EQ(changes.Removed, TWords{});
  EXPECT_EQ(changes.Added, (TWords{"A", "B"}));

  // Words not in byte order, or repeated, are ordered and merged first.
  changes = DiffWords(TWords{"B", "A", "B", "D"}, TWords{"D", "C", "A", "C"});
  EXPECT_EQ(changes.Removed, TWords{"B"});
  EXPECT_EQ(changes.Added, TWords{"C"});
}

}  // namespace
}  // namespace ledra
