// The engine's locale services over the platform's locale functions.
#include "engine/files/LocaleServices.h"

#include <climits>

#include "engine/errors/EngineError.h"
#include "platform/Locale.h"

namespace ledra {
namespace {

// String sort, so that hyphens and apostrophes order in place; accents do not
// decide.
constexpr uint32_t kCompareFlags = platform::kCompareStringSort | platform::kCompareIgnoreNonSpace;

void MapCase(uint32_t lcid, uint32_t flags, std::string& text) {
  // Mapped in place, the terminating zero included; the result ends at the
  // first zero byte.
  if (text.size() >= INT_MAX) RaiseEngineError(LEDRA_INTERNALLIMIT);
  int written = platform::MapLocaleString(lcid, flags, text.c_str(), -1, text.data(),
                                          static_cast<int>(text.size()) + 1);
  if (written <= 0) RaiseEngineError(LEDRA_CANNOTLOADLDDRV);
  text.resize(static_cast<size_t>(written) - 1);
}

}  // namespace

uint32_t TableLocale(uint16_t languageId, uint16_t sortId) {
  if (languageId == 0) return kDefaultTableLocale;
  return uint32_t(sortId) * 65536u + languageId;
}

bool LocaleInstalled(uint32_t lcid) {
  return platform::IsValidLocale(lcid);
}

int LocaleCompare(uint32_t lcid, bool ignoreCase, const char* a, const char* b, size_t length) {
  if (length > INT_MAX) RaiseEngineError(LEDRA_INTERNALLIMIT);
  int count = length == 0 ? -1 : static_cast<int>(length);
  uint32_t flags = kCompareFlags | (ignoreCase ? platform::kCompareIgnoreCase : 0);
  int result = platform::CompareLocaleStrings(lcid, flags, a, count, b, count);
  // A failed comparison must not pass for an order.
  if (result == 0) RaiseEngineError(LEDRA_CANNOTLOADLDDRV);
  return result - platform::kCompareEqual;
}

void LocaleUpper(uint32_t lcid, std::string& text) {
  MapCase(lcid, platform::kMapUpperCase, text);
}

void LocaleLower(uint32_t lcid, std::string& text) {
  MapCase(lcid, platform::kMapLowerCase, text);
}

}  // namespace ledra
