// The engine's locale services: collation and case mapping of table text.
//
// Tables carry a locale in their data header (`LanguageId`, `SortId`). The
// engine never orders or maps text by itself; it asks the platform's locale
// functions, always through these wrappers, so that what is passed to them is
// fixed in one place. A table without a locale (`LanguageId` 0) maps case with
// English (United States), locale 1033, and compares its keys as plain bytes;
// only its text-index words and its minimum and maximum checks use the locale
// comparison.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace ledra {

// The locale that stands in for a table without one: English (United States)
// with the default sort.
inline constexpr uint32_t kDefaultTableLocale = 1033;

// The locale of a table: SortId * 65536 + LanguageId, or kDefaultTableLocale
// when LanguageId is 0.
uint32_t TableLocale(uint16_t languageId, uint16_t sortId);

// Whether a table that carries this locale can be opened. Asked only for
// tables whose LanguageId is not 0. It answers true only where comparison and
// case mapping give exactly what Windows gives for the locale, since index
// pages written by other programs are searched with them; where the platform
// cannot promise that, the table is refused instead. On POSIX that is every
// locale for now.
bool LocaleInstalled(uint32_t lcid);

// Compares two strings in a locale: -1 when a sorts before b, 0 when they are
// equal, 1 when a sorts after b. Both are `length` bytes long, trailing zero
// bytes included (they weigh nothing); a length of 0 means both are
// zero-terminated. String sort with non-spacing marks ignored; ignoreCase
// ignores case too. Raises LEDRA_CANNOTLOADLDDRV when the locale has no
// comparison.
int LocaleCompare(uint32_t lcid, bool ignoreCase, const char* a, const char* b, size_t length);

// Replace text by its upper-case or lower-case form in a locale. The text is
// taken as a zero-terminated string: anything from a zero byte on is dropped.
// Raise LEDRA_CANNOTLOADLDDRV when the locale has no case mapping.
void LocaleUpper(uint32_t lcid, std::string& text);
void LocaleLower(uint32_t lcid, std::string& text);

}  // namespace ledra
