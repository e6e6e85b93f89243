#include "engine/index/Languages.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

#include "engine/index/LanguageStringList.h"
#include "tests/engine/index/IndexTestSupport.h"

namespace ledra {
namespace {

TEST(LanguagesTest, CatalogueNamesAndIdentifiers) {
  std::span<const TLanguage> languages = Languages();
  ASSERT_EQ(languages.size(), 99u);
  EXPECT_EQ(languages.front().Name, "ANSI Standard");
  EXPECT_EQ(languages.front().LanguageId, 0);
  EXPECT_EQ(languages[1].Name, "Afrikaans");
  EXPECT_EQ(languages.back().Name, "Vietnamese");
  EXPECT_EQ(languages.back().LanguageId, 1066);  // 42 + 1024

  EXPECT_EQ(LanguageIdOf("English (UK)"), 2057);
  EXPECT_EQ(LanguageIdOf("english (uk)"), 2057);
  EXPECT_EQ(LanguageIdOf("English (USA)"), 1033);
  EXPECT_EQ(LanguageIdOf("Arabic (Qatar)"), 16385);         // 1 + 1024 * 16
  EXPECT_EQ(LanguageIdOf("Spanish (Puerto Rico)"), 20490);  // 10 + 1024 * 20
  EXPECT_EQ(LanguageIdOf("Portuguese (Standard)"), 2070);   // 22.2
  EXPECT_EQ(LanguageIdOf("Portuguese (Brazilian)"), 1046);  // 22.1
  EXPECT_EQ(LanguageIdOf("Serbian (Cyrillic)"), 3098);      // 26.3
  EXPECT_EQ(LanguageIdOf("Croatian"), 1050);                // 26.1
  EXPECT_EQ(LanguageIdOf("Ukranian"), 1058);
  EXPECT_EQ(LanguageIdOf("German (Liechtenstein)"), 5127);
  EXPECT_EQ(LanguageIdOf("ANSI STANDARD"), 0);
  EXPECT_TRUE(IsLanguageName("ansi standard"));
  EXPECT_TRUE(IsLanguageName("FRENCH (SWISS)"));
  EXPECT_FALSE(IsLanguageName("Klingon"));
  EXPECT_FALSE(IsLanguageName("English"));
  EXPECT_EQ(LanguageIdOf("Klingon"), 0);

  // Every name and every identifier but 0 appears once.
  std::set<std::string_view> names;
  std::set<uint16_t> ids;
  for (const TLanguage& language : languages) {
    EXPECT_TRUE(names.insert(language.Name).second) << language.Name;
    EXPECT_TRUE(ids.insert(language.LanguageId).second) << language.Name;
  }
}

TEST(LanguagesTest, SortOrders) {
  for (uint16_t german : {1031, 2055, 3079, 4103, 5127}) {
    EXPECT_TRUE(IsSortName(german, "German Phone Book Order")) << german;
    EXPECT_EQ(SortIdOf(german, "german phone book order"), 1) << german;
    EXPECT_EQ(SortIdOf(german, "Default Order"), 0);
    EXPECT_EQ(SortOrdersOf(german).size(), 2u);
  }
  for (uint16_t other : {0, 1033, 2057, 1030, 6151}) {
    EXPECT_TRUE(IsSortName(other, "DEFAULT ORDER")) << other;
    EXPECT_FALSE(IsSortName(other, "German Phone Book Order")) << other;
    EXPECT_EQ(SortIdOf(other, "German Phone Book Order"), 0) << other;
  }
  EXPECT_FALSE(IsSortName(1031, "Dictionary Order"));
}

TEST(LanguageStringListTest, SortedIgnoringCaseInTheLocale) {
  TLanguageStringList list(0, 0);  // no locale: English (United States)
  EXPECT_EQ(list.Lcid(), 1033u);
  for (const char* word : {"the", "And", "\xE9t\xE9", "a", "Zoo", "of"}) list.Add(word);
  EXPECT_EQ(list.Add("THE"), 4u);  // already listed, in any case
  ASSERT_EQ(list.Count(), 6u);
  std::vector<std::string> order;
  for (size_t i = 0; i < list.Count(); ++i) order.push_back(list[i]);
  EXPECT_EQ(order, (std::vector<std::string>{"a", "And", "\xE9t\xE9", "of", "the", "Zoo"}));

  size_t index = 99;
  EXPECT_TRUE(list.Find("AND", index));
  EXPECT_EQ(index, 1u);
  EXPECT_TRUE(list.Find("ete", index));  // marks do not decide
  EXPECT_EQ(index, 2u);
  EXPECT_FALSE(list.Find("b", index));
  EXPECT_EQ(index, 2u);  // where it would go
  EXPECT_EQ(list.IndexOf("zoo"), 5);
  EXPECT_EQ(list.IndexOf("zebra"), -1);
  list.Delete(0);
  EXPECT_EQ(list.IndexOf("a"), -1);
  EXPECT_EQ(list.IndexOf("And"), 0);

#ifndef _WIN32  // Windows compares in every locale it has
  TLanguageStringList german(1031, 0);  // no comparison available here
  german.Add("der");
  EXPECT_EQ(test::CodeOf([&] { german.Add("die"); }), LEDRA_CANNOTLOADLDDRV);
#endif
}

}  // namespace
}  // namespace ledra
