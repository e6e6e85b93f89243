#include "platform/Cp1252.h"

#include <array>
#include <cstdint>

namespace ledra::platform {

namespace {

// Characters of the bytes 0x80..0x9F; the rest of the upper half is Latin-1.
constexpr std::array<uint16_t, 32> kUpperControls = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

uint32_t CharacterOf(uint8_t byte) {
  if (byte >= 0x80 && byte <= 0x9F) return kUpperControls[byte - 0x80];
  return byte;
}

void AppendUtf8(std::string& out, uint32_t c) {
  if (c < 0x80) {
    out += char(c);
  } else if (c < 0x800) {
    out += char(0xC0 | (c >> 6));
    out += char(0x80 | (c & 0x3F));
  } else {
    out += char(0xE0 | (c >> 12));
    out += char(0x80 | ((c >> 6) & 0x3F));
    out += char(0x80 | (c & 0x3F));
  }
}

std::optional<uint8_t> ByteOf(uint32_t c) {
  if (c < 0x80 || (c >= 0xA0 && c <= 0xFF)) return uint8_t(c);
  for (size_t i = 0; i < kUpperControls.size(); ++i) {
    if (kUpperControls[i] == c) return uint8_t(0x80 + i);
  }
  return std::nullopt;
}

}  // namespace

std::string Cp1252ToUtf8(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (char ch : text) AppendUtf8(out, CharacterOf(uint8_t(ch)));
  return out;
}

std::optional<std::string> Utf8ToCp1252(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  size_t i = 0;
  while (i < text.size()) {
    uint8_t lead = uint8_t(text[i]);
    uint32_t c = 0;
    size_t extra = 0;
    if (lead < 0x80) {
      c = lead;
    } else if ((lead & 0xE0) == 0xC0) {
      c = lead & 0x1F;
      extra = 1;
    } else if ((lead & 0xF0) == 0xE0) {
      c = lead & 0x0F;
      extra = 2;
    } else if ((lead & 0xF8) == 0xF0) {
      c = lead & 0x07;
      extra = 3;
    } else {
      return std::nullopt;
    }
    if (i + extra >= text.size()) return std::nullopt;
    for (size_t k = 1; k <= extra; ++k) {
      uint8_t next = uint8_t(text[i + k]);
      if ((next & 0xC0) != 0x80) return std::nullopt;
      c = (c << 6) | (next & 0x3F);
    }
    // Overlong forms are not text.
    if ((extra == 1 && c < 0x80) || (extra == 2 && c < 0x800) || (extra == 3 && c < 0x10000)) {
      return std::nullopt;
    }
    std::optional<uint8_t> byte = ByteOf(c);
    if (!byte) return std::nullopt;
    out += char(*byte);
    i += extra + 1;
  }
  return out;
}

}  // namespace ledra::platform
