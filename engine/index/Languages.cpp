#include "engine/index/Languages.h"

#include "engine/index/IndexHeader.h"

namespace ledra {
namespace {

constexpr TLanguage kLanguages[] = {
    {"ANSI Standard", 0},
    {"Afrikaans", MakeLanguageId(54, 1)},
    {"Albanian", MakeLanguageId(28, 1)},
    {"Arabic (Saudi Arabia)", MakeLanguageId(1, 1)},
    {"Arabic (Iraq)", MakeLanguageId(1, 2)},
    {"Arabic (Egypt)", MakeLanguageId(1, 3)},
    {"Arabic (Libya)", MakeLanguageId(1, 4)},
    {"Arabic (Algeria)", MakeLanguageId(1, 5)},
    {"Arabic (Morocco)", MakeLanguageId(1, 6)},
    {"Arabic (Tunisia)", MakeLanguageId(1, 7)},
    {"Arabic (Oman)", MakeLanguageId(1, 8)},
    {"Arabic (Yemen)", MakeLanguageId(1, 9)},
    {"Arabic (Syria)", MakeLanguageId(1, 10)},
    {"Arabic (Jordan)", MakeLanguageId(1, 11)},
    {"Arabic (Lebanon)", MakeLanguageId(1, 12)},
    {"Arabic (Kuwait)", MakeLanguageId(1, 13)},
    {"Arabic (U.A.E)", MakeLanguageId(1, 14)},
    {"Arabic (Bahrain)", MakeLanguageId(1, 15)},
    {"Arabic (Qatar)", MakeLanguageId(1, 16)},
    {"Basque", MakeLanguageId(45, 1)},
    {"Belarusian", MakeLanguageId(35, 1)},
    {"Bulgarian", MakeLanguageId(2, 1)},
    {"Catalan", MakeLanguageId(3, 1)},
    {"Croatian", MakeLanguageId(26, 1)},
    {"Czech", MakeLanguageId(5, 1)},
    {"Danish", MakeLanguageId(6, 1)},
    {"Dutch (Standard)", MakeLanguageId(19, 1)},
    {"Dutch (Belgian)", MakeLanguageId(19, 2)},
    {"English (USA)", MakeLanguageId(9, 1)},
    {"English (UK)", MakeLanguageId(9, 2)},
    {"English (Australian)", MakeLanguageId(9, 3)},
    {"English (Canadian)", MakeLanguageId(9, 4)},
    {"English (New Zealand)", MakeLanguageId(9, 5)},
    {"English (Irish)", MakeLanguageId(9, 6)},
    {"English (South Africa)", MakeLanguageId(9, 7)},
    {"English (Jamaica)", MakeLanguageId(9, 8)},
    {"English (Caribbean)", MakeLanguageId(9, 9)},
    {"English (Belize)", MakeLanguageId(9, 10)},
    {"English (Trinidad)", MakeLanguageId(9, 11)},
    {"Estonian", MakeLanguageId(37, 1)},
    {"Faeroese", MakeLanguageId(56, 1)},
    {"Farsi", MakeLanguageId(41, 1)},
    {"Finnish", MakeLanguageId(11, 1)},
    {"French (Standard)", MakeLanguageId(12, 1)},
    {"French (Belgian)", MakeLanguageId(12, 2)},
    {"French (Canadian)", MakeLanguageId(12, 3)},
    {"French (Swiss)", MakeLanguageId(12, 4)},
    {"French (Luxembourg)", MakeLanguageId(12, 5)},
    {"German (Standard)", MakeLanguageId(7, 1)},
    {"German (Swiss)", MakeLanguageId(7, 2)},
    {"German (Austrian)", MakeLanguageId(7, 3)},
    {"German (Luxembourg)", MakeLanguageId(7, 4)},
    {"German (Liechtenstein)", MakeLanguageId(7, 5)},
    {"Greek", MakeLanguageId(8, 1)},
    {"Hebrew", MakeLanguageId(13, 1)},
    {"Hungarian", MakeLanguageId(14, 1)},
    {"Icelandic", MakeLanguageId(15, 1)},
    {"Indonesian", MakeLanguageId(33, 1)},
    {"Italian (Standard)", MakeLanguageId(16, 1)},
    {"Italian (Swiss)", MakeLanguageId(16, 2)},
    {"Latvian", MakeLanguageId(38, 1)},
    {"Lithuanian", MakeLanguageId(39, 1)},
    {"Norwegian (Bokmal)", MakeLanguageId(20, 1)},
    {"Norwegian (Nynorsk)", MakeLanguageId(20, 2)},
    {"Polish", MakeLanguageId(21, 1)},
    {"Portuguese (Standard)", MakeLanguageId(22, 2)},
    {"Portuguese (Brazilian)", MakeLanguageId(22, 1)},
    {"Romanian", MakeLanguageId(24, 1)},
    {"Russian", MakeLanguageId(25, 1)},
    {"Serbian (Latin)", MakeLanguageId(26, 2)},
    {"Serbian (Cyrillic)", MakeLanguageId(26, 3)},
    {"Slovak", MakeLanguageId(27, 1)},
    {"Slovenian", MakeLanguageId(36, 1)},
    {"Spanish (Castilian)", MakeLanguageId(10, 1)},
    {"Spanish (Mexican)", MakeLanguageId(10, 2)},
    {"Spanish (Modern)", MakeLanguageId(10, 3)},
    {"Spanish (Guatemala)", MakeLanguageId(10, 4)},
    {"Spanish (Costa Rica)", MakeLanguageId(10, 5)},
    {"Spanish (Panama)", MakeLanguageId(10, 6)},
    {"Spanish (Dominican Republic)", MakeLanguageId(10, 7)},
    {"Spanish (Venezuela)", MakeLanguageId(10, 8)},
    {"Spanish (Colombia)", MakeLanguageId(10, 9)},
    {"Spanish (Peru)", MakeLanguageId(10, 10)},
    {"Spanish (Argentina)", MakeLanguageId(10, 11)},
    {"Spanish (Ecuador)", MakeLanguageId(10, 12)},
    {"Spanish (Chile)", MakeLanguageId(10, 13)},
    {"Spanish (Uruguay)", MakeLanguageId(10, 14)},
    {"Spanish (Paraguay)", MakeLanguageId(10, 15)},
    {"Spanish (Bolivia)", MakeLanguageId(10, 16)},
    {"Spanish (El Salvador)", MakeLanguageId(10, 17)},
    {"Spanish (Honduras)", MakeLanguageId(10, 18)},
    {"Spanish (Nicaragua)", MakeLanguageId(10, 19)},
    {"Spanish (Puerto Rico)", MakeLanguageId(10, 20)},
    {"Swedish (Standard)", MakeLanguageId(29, 1)},
    {"Swedish (Finland)", MakeLanguageId(29, 2)},
    {"Thai", MakeLanguageId(30, 1)},
    {"Turkish", MakeLanguageId(31, 1)},
    {"Ukranian", MakeLanguageId(34, 1)},
    {"Vietnamese", MakeLanguageId(42, 1)},
};

constexpr TSortOrder kDefaultOnly[] = {{kDefaultOrderName, 0}};
constexpr TSortOrder kGermanOrders[] = {{kDefaultOrderName, 0},
                                        {kGermanPhoneBookName, kGermanPhoneBookSortId}};

bool SameName(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (UpperChar1252(uint8_t(a[i])) != UpperChar1252(uint8_t(b[i]))) return false;
  }
  return true;
}

const TLanguage* FindLanguage(std::string_view name) {
  for (const TLanguage& language : kLanguages) {
    if (SameName(language.Name, name)) return &language;
  }
  return nullptr;
}

const TSortOrder* FindSortOrder(uint16_t languageId, std::string_view name) {
  for (const TSortOrder& order : SortOrdersOf(languageId)) {
    if (SameName(order.Name, name)) return &order;
  }
  return nullptr;
}

}  // namespace

std::span<const TLanguage> Languages() {
  return kLanguages;
}

bool IsLanguageName(std::string_view name) {
  return FindLanguage(name) != nullptr;
}

uint16_t LanguageIdOf(std::string_view name) {
  const TLanguage* language = FindLanguage(name);
  return language != nullptr ? language->LanguageId : 0;
}

std::span<const TSortOrder> SortOrdersOf(uint16_t languageId) {
  // German is primary language 7, in all five of its sublanguages.
  if ((languageId & 1023) == 7 && languageId >= MakeLanguageId(7, 1) &&
      languageId <= MakeLanguageId(7, 5)) {
    return kGermanOrders;
  }
  return kDefaultOnly;
}

bool IsSortName(uint16_t languageId, std::string_view name) {
  return FindSortOrder(languageId, name) != nullptr;
}

uint16_t SortIdOf(uint16_t languageId, std::string_view name) {
  const TSortOrder* order = FindSortOrder(languageId, name);
  return order != nullptr ? order->SortId : 0;
}

}  // namespace ledra
