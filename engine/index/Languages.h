// The catalogue of collation languages and their sort orders.
//
// A table's collation is chosen by name when the table is created: a language
// name gives the `LanguageId` and a sort-order name the `SortId` stored in the
// data header. Identifiers are those of the Windows locales (primary language
// + 1024 x sublanguage); "ANSI Standard" (0) means no locale at all. The
// catalogue is a constant table: built at compile time, only read afterwards.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

namespace ledra {

struct TLanguage {
  std::string_view Name;
  uint16_t LanguageId = 0;
};

struct TSortOrder {
  std::string_view Name;
  uint16_t SortId = 0;
};

inline constexpr std::string_view kAnsiStandardName = "ANSI Standard";
inline constexpr std::string_view kDefaultOrderName = "Default Order";
inline constexpr std::string_view kGermanPhoneBookName = "German Phone Book Order";
inline constexpr uint16_t kGermanPhoneBookSortId = 1;

// Primary language + 1024 x sublanguage.
constexpr uint16_t MakeLanguageId(uint16_t primary, uint16_t sublanguage) {
  return uint16_t(primary + 1024 * sublanguage);
}

// The catalogue in its order, "ANSI Standard" first.
std::span<const TLanguage> Languages();

// Names compare without regard to case.
bool IsLanguageName(std::string_view name);
// 0 for a name not in the catalogue.
uint16_t LanguageIdOf(std::string_view name);

// The sort orders of a language: "Default Order" (0) for every language, and
// "German Phone Book Order" (1) besides for the five German languages.
std::span<const TSortOrder> SortOrdersOf(uint16_t languageId);
bool IsSortName(uint16_t languageId, std::string_view name);
// 0 (the default order) for a name that is not a sort order of the language.
uint16_t SortIdOf(uint16_t languageId, std::string_view name);

}  // namespace ledra
