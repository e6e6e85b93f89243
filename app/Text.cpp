#include "app/Text.h"

#include <optional>

#include "platform/Cp1252.h"

namespace ostrevo {

QString FromCp1252(std::string_view text) {
  return QString::fromStdString(ledra::platform::Cp1252ToUtf8(text));
}

std::string ToCp1252(const QString& text) {
  std::string out;
  for (QChar c : text) {
    std::optional<std::string> one = ledra::platform::Utf8ToCp1252(QString(c).toStdString());
    out += one && one->size() == 1 ? *one : std::string("?");
  }
  return out;
}

}  // namespace ostrevo
