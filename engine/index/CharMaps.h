// Collation character maps: the 256 character codes in the order of a locale.
//
// A string key field is completed below or above a partial value with the
// lowest or highest character of the table's collation, so every cursor needs
// the character codes sorted by its table's locale. Building a map takes 255 x
// log 256 locale comparisons; the maps are therefore kept in one process-wide
// cache shared by all sessions and handed out as private copies.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <vector>

namespace ledra {

// Entry 0 is the lowest character of the collation, entry 255 the highest.
using TCharMap = std::array<uint8_t, 256>;

// The 256 character codes in the order of the locale sort * 65536 + language,
// comparing single characters with the locale comparison (string sort, marks
// ignored, case significant); characters that compare equal keep their code
// order. Language 0 (no locale) gives the identity order. Raises
// LEDRA_CANNOTLOADLDDRV when the locale has no comparison.
TCharMap BuildCharMap(uint16_t language, uint16_t sort);

// A cache of built maps, one per (language, sort), guarded by one lock. Maps
// are built outside the lock, so a comparison that raises leaves the cache as
// it was and never holds the lock.
class TLanguageCharMapsList {
 public:
  TLanguageCharMapsList();
  TLanguageCharMapsList(const TLanguageCharMapsList&) = delete;
  TLanguageCharMapsList& operator=(const TLanguageCharMapsList&) = delete;

  // A copy of the map of (language, sort), built and added on first request.
  TCharMap Get(uint16_t language, uint16_t sort);
  size_t Count() const;

 private:
  struct TEntry {
    uint16_t Language = 0;
    uint16_t Sort = 0;
    TCharMap Map{};
  };
  bool Find(uint16_t language, uint16_t sort, TCharMap& map) const;  // lock held

  mutable std::mutex lock_;
  std::vector<TEntry> entries_;
};

// The process-wide cache.
TLanguageCharMapsList& LanguageCharMaps();

// The collation character map of a table's locale, from the process-wide
// cache.
TCharMap GetCharMap(uint16_t language, uint16_t sort);

}  // namespace ledra
