// Text crosses into the window toolkit here and nowhere else: table text and
// messages are code page 1252, the toolkit's strings are Unicode.
#pragma once

#include <QString>

#include <string>
#include <string_view>

namespace ostrevo {

QString FromCp1252(std::string_view text);
// Characters the code page cannot hold become '?'.
std::string ToCp1252(const QString& text);

}  // namespace ostrevo
