#include "engine/index/LanguageStringList.h"

#include "engine/files/LocaleServices.h"

namespace ledra {

TLanguageStringList::TLanguageStringList(uint16_t languageId, uint16_t sortId)
    : lcid_(TableLocale(languageId, sortId)) {}

int TLanguageStringList::Compare(const std::string& a, const std::string& b) const {
  // Length 0: both zero-terminated, so strings of different lengths compare.
  return LocaleCompare(lcid_, true, a.c_str(), b.c_str(), 0);
}

bool TLanguageStringList::Find(const std::string& text, size_t& index) const {
  // The first position whose string does not order before the text.
  size_t low = 0;
  size_t high = strings_.size();
  bool found = false;
  while (low < high) {
    size_t middle = low + (high - low) / 2;
    int order = Compare(strings_[middle], text);
    if (order < 0) {
      low = middle + 1;
    } else {
      if (order == 0) found = true;
      high = middle;
    }
  }
  index = low;
  return found;
}

size_t TLanguageStringList::Add(const std::string& text) {
  size_t index = 0;
  if (!Find(text, index)) strings_.insert(strings_.begin() + std::ptrdiff_t(index), text);
  return index;
}

long TLanguageStringList::IndexOf(const std::string& text) const {
  size_t index = 0;
  return Find(text, index) ? long(index) : -1;
}

void TLanguageStringList::Delete(size_t index) {
  if (index < strings_.size()) strings_.erase(strings_.begin() + std::ptrdiff_t(index));
}

}  // namespace ledra
