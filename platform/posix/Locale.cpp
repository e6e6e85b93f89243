// The locale services without Windows: code page 1252 text compared and mapped
// for English (United States) by the tables of LocaleTables.cpp.
#include "platform/Locale.h"

#include <cstring>

#include "platform/LocaleTables.h"
#include "platform/WinError.h"

namespace ledra::platform {
namespace {

// The codes Windows gives these failures.
constexpr uint32_t kErrorInsufficientBuffer = 122;
constexpr uint32_t kErrorInvalidFlags = 1004;

constexpr uint32_t kKnownCompareFlags =
    kCompareIgnoreCase | kCompareIgnoreNonSpace | kCompareStringSort;

// Whether comparison and case mapping are available for the locale at all.
bool LocaleAvailable(Lcid lcid) {
  return lcid == kLocaleEnglishUnitedStates;
}

// The byte count of a string given with a length, -1 meaning zero-terminated;
// false for any other negative length.
bool TextLength(const char* text, int length, size_t& count) {
  if (text == nullptr || length < -1) return false;
  count = length == -1 ? std::strlen(text) : static_cast<size_t>(length);
  return true;
}

}  // namespace

bool IsValidLocale(Lcid) {
  // Locale 1033 is reproduced from recorded results, which are not yet
  // confirmed against Windows itself, and no other locale is reproduced at
  // all. A table that carries a locale is therefore refused rather than
  // having index pages made on Windows searched in a different order.
  return false;
}

int CompareLocaleStrings(Lcid lcid, uint32_t flags, const char* a, int lengthA, const char* b,
                         int lengthB) {
  if (!LocaleAvailable(lcid)) {
    SetLastError(kErrorInvalidParameter);
    return 0;
  }
  if ((flags & ~kKnownCompareFlags) != 0) {
    SetLastError(kErrorInvalidFlags);
    return 0;
  }
  size_t countA = 0;
  size_t countB = 0;
  if (!TextLength(a, lengthA, countA) || !TextLength(b, lengthB, countB)) {
    SetLastError(kErrorInvalidParameter);
    return 0;
  }
  int result = CompareText1252(flags, reinterpret_cast<const uint8_t*>(a), countA,
                               reinterpret_cast<const uint8_t*>(b), countB);
  return result + kCompareEqual;
}

int MapLocaleString(Lcid lcid, uint32_t flags, const char* source, int sourceLength,
                    char* destination, int destinationLength) {
  if (!LocaleAvailable(lcid) || source == nullptr || sourceLength == 0 || sourceLength < -1 ||
      destinationLength < 0 || (destinationLength > 0 && destination == nullptr)) {
    SetLastError(kErrorInvalidParameter);
    return 0;
  }
  if (flags != kMapUpperCase && flags != kMapLowerCase) {
    SetLastError(kErrorInvalidFlags);
    return 0;
  }
  // With -1 the terminating zero is mapped and counted too.
  size_t count = sourceLength == -1 ? std::strlen(source) + 1 : static_cast<size_t>(sourceLength);
  if (destinationLength == 0) return static_cast<int>(count);
  if (count > static_cast<size_t>(destinationLength)) {
    SetLastError(kErrorInsufficientBuffer);
    return 0;
  }
  const std::array<uint8_t, 256>& map = flags == kMapUpperCase ? kUpperCase1252 : kLowerCase1252;
  for (size_t i = 0; i < count; ++i) {
    destination[i] = static_cast<char>(map[static_cast<uint8_t>(source[i])]);
  }
  return static_cast<int>(count);
}

}  // namespace ledra::platform
