#include "engine/index/CharMaps.h"

#include <algorithm>

#include "engine/files/LocaleServices.h"

namespace ledra {
namespace {

constexpr size_t kInitialCapacity = 256;

}  // namespace

TCharMap BuildCharMap(uint16_t language, uint16_t sort) {
  TCharMap map;
  for (size_t c = 0; c < map.size(); ++c) map[c] = uint8_t(c);
  if (language == 0) return map;
  // The locale of the request itself: a table's map is asked for with its own
  // language and sort.
  const uint32_t lcid = uint32_t(sort) * 65536u + language;
  std::stable_sort(map.begin(), map.end(), [lcid](uint8_t a, uint8_t b) {
    const char ca = char(a);
    const char cb = char(b);
    return LocaleCompare(lcid, false, &ca, &cb, 1) < 0;
  });
  return map;
}

TLanguageCharMapsList::TLanguageCharMapsList() {
  entries_.reserve(kInitialCapacity);
}

bool TLanguageCharMapsList::Find(uint16_t language, uint16_t sort, TCharMap& map) const {
  for (const TEntry& entry : entries_) {
    if (entry.Language == language && entry.Sort == sort) {
      map = entry.Map;
      return true;
    }
  }
  return false;
}

TCharMap TLanguageCharMapsList::Get(uint16_t language, uint16_t sort) {
  TCharMap map;
  {
    std::lock_guard<std::mutex> guard(lock_);
    if (Find(language, sort, map)) return map;
  }
  TCharMap built = BuildCharMap(language, sort);
  std::lock_guard<std::mutex> guard(lock_);
  // Another thread may have built the same map meanwhile; keep the first.
  if (Find(language, sort, map)) return map;
  entries_.push_back(TEntry{language, sort, built});
  return built;
}

size_t TLanguageCharMapsList::Count() const {
  std::lock_guard<std::mutex> guard(lock_);
  return entries_.size();
}

TLanguageCharMapsList& LanguageCharMaps() {
  static TLanguageCharMapsList list;
  return list;
}

TCharMap GetCharMap(uint16_t language, uint16_t sort) {
  return LanguageCharMaps().Get(language, sort);
}

}  // namespace ledra
