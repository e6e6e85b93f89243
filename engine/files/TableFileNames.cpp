#include "engine/files/TableFileNames.h"

#include <string>

#include "platform/File.h"

namespace ledra {

namespace {

bool EqualsIgnoringAsciiCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    char x = a[i] >= 'a' && a[i] <= 'z' ? char(a[i] - 32) : a[i];
    char y = b[i] >= 'a' && b[i] <= 'z' ? char(b[i] - 32) : b[i];
    if (x != y) return false;
  }
  return true;
}

}  // namespace

std::string TrimBlanks(std::string_view text) {
  size_t first = 0;
  size_t last = text.size();
  while (first < last && static_cast<unsigned char>(text[first]) <= ' ') ++first;
  while (last > first && static_cast<unsigned char>(text[last - 1]) <= ' ') --last;
  return std::string(text.substr(first, last - first));
}

std::string ApplyTableExtension(std::string_view tableName, std::string_view extension) {
  std::string name = TrimBlanks(tableName);
  // The extension is what follows the last dot of the last path component.
  size_t dot = name.rfind('.');
  size_t separator = name.find_last_of(std::string{'/', platform::PathSeparator()});
  bool hasExtension =
      dot != std::string::npos && (separator == std::string::npos || dot > separator);
  if (hasExtension && EqualsIgnoringAsciiCase(std::string_view(name).substr(dot), kDataFileExt)) {
    name.resize(dot);
  }
  name.append(extension);
  return name;
}

std::string TableFileName(std::string_view directoryPath, std::string_view tableName,
                          std::string_view extension) {
  std::string name = ApplyTableExtension(tableName, extension);
  if (platform::ContainsPath(name)) return name;
  return platform::IncludeTrailingSeparator(std::string(directoryPath)) + name;
}

}  // namespace ledra
