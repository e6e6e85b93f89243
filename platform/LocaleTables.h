// Case mapping and collation of code page 1252 text for English (United
// States), locale 1033 with the default sort.
//
// These tables reproduce what the Windows locale functions answer for that
// locale, byte for byte, so that keys and values made by other programs on
// Windows are mapped and ordered the same here. They hold no state and are
// safe to use from any thread.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace ledra::platform {

// The upper-case and the lower-case byte of every byte. The letters a to z,
// the accented letters of 0xE0 to 0xFE (not 0xF7) and š, œ, ž, ÿ pair with
// their capitals; a character whose other case has no byte of its own in the
// code page keeps its byte (ß and µ stay as they are).
extern const std::array<uint8_t, 256> kUpperCase1252;
extern const std::array<uint8_t, 256> kLowerCase1252;

// Compares two strings of code page 1252 bytes. flags combine
// kCompareIgnoreCase, kCompareIgnoreNonSpace and kCompareStringSort
// (Locale.h); other bits are not looked at. Returns -1, 0 or 1. Every byte of
// both lengths takes part; zero bytes weigh nothing. Allocates nothing.
int CompareText1252(uint32_t flags, const uint8_t* a, size_t lengthA, const uint8_t* b,
                    size_t lengthB);

}  // namespace ledra::platform
