// The locale services of the operating system: string comparison, case
// mapping and the installed-locale check behind the engine's collation.
//
// The three calls keep the shape and the numbers of the Windows functions they
// stand for (`CompareStringA`, `LCMapStringA`, `IsValidLocale`), so that the
// Windows build passes them straight through. Elsewhere the text of code page
// 1252 is compared and mapped exactly as Windows does it for English (United
// States), locale 1033 with sort 0; no other locale is available. Failures
// return 0 and set the calling thread's last error (WinError.h).
#pragma once

#include <cstdint>

namespace ledra::platform {

// A locale identifier: sort identifier * 65536 + language identifier.
using Lcid = uint32_t;

// English (United States), default sort: the locale of tables without one.
inline constexpr Lcid kLocaleEnglishUnitedStates = 1033;

// Comparison flags.
inline constexpr uint32_t kCompareIgnoreCase = 0x0001;
// Letters compare equal whatever their marks: é equals e.
inline constexpr uint32_t kCompareIgnoreNonSpace = 0x0002;
// Hyphen and apostrophe sort as symbols in place. Without it (word sort) they
// are passed over and only decide between strings that are otherwise equal,
// so "co-op" then sorts right after "coop".
inline constexpr uint32_t kCompareStringSort = 0x1000;

// Comparison results.
inline constexpr int kCompareLessThan = 1;
inline constexpr int kCompareEqual = 2;
inline constexpr int kCompareGreaterThan = 3;

// Mapping flags.
inline constexpr uint32_t kMapLowerCase = 0x0100;
inline constexpr uint32_t kMapUpperCase = 0x0200;

// Whether tables may carry this locale: true only where comparison and case
// mapping reproduce the Windows functions exactly, because other programs'
// index pages are searched with them.
bool IsValidLocale(Lcid lcid);

// Compares two strings of lengthA and lengthB bytes (-1: zero-terminated).
// Returns kCompareLessThan, kCompareEqual or kCompareGreaterThan, or 0 when
// the locale is not available, a flag is unknown or an argument is invalid.
// Zero bytes inside an explicit length weigh nothing, so a string padded with
// zeros equals the string itself.
int CompareLocaleStrings(Lcid lcid, uint32_t flags, const char* a, int lengthA, const char* b,
                         int lengthB);

// Maps sourceLength bytes (-1: up to and including the terminating zero) to
// upper or lower case (flags kMapUpperCase or kMapLowerCase) into destination,
// which may be the source itself. Returns the number of bytes written (the
// terminating zero included when sourceLength is -1); with destinationLength
// 0, the number that would be written. 0 on failure, also when destination is
// too short.
int MapLocaleString(Lcid lcid, uint32_t flags, const char* source, int sourceLength,
                    char* destination, int destinationLength);

}  // namespace ledra::platform
