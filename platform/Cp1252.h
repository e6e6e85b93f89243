// Text of the tables (single-byte code page 1252) and text of the terminal
// and of CSV and JSON files (UTF-8).
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace ledra::platform {

// Every byte maps to one character; the five bytes the code page leaves
// undefined map to the control characters of the same number, as Windows
// maps them.
std::string Cp1252ToUtf8(std::string_view text);
// Nothing when the text is not valid UTF-8 or holds a character the code
// page cannot represent.
std::optional<std::string> Utf8ToCp1252(std::string_view text);

}  // namespace ledra::platform
