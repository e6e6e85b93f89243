#include "components/LedraDatabaseError.h"

#include "platform/Locale.h"

namespace ledra {

void DatabaseError(std::string_view message) {
  throw ELedraDatabaseError(std::string(message));
}

void DatabaseErrorFmt(std::string_view format, std::initializer_list<std::string> args) {
  std::string message;
  auto next = args.begin();
  for (size_t i = 0; i < format.size(); ++i) {
    if (format[i] == '%' && i + 1 < format.size() &&
        (format[i + 1] == 's' || format[i + 1] == 'd') && next != args.end()) {
      message += *next++;
      ++i;
    } else {
      message += format[i];
    }
  }
  DatabaseError(message);
}

bool SameText(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  if (a.empty()) return true;
  return platform::CompareLocaleStrings(platform::kLocaleEnglishUnitedStates,
                                        platform::kCompareIgnoreCase, a.data(), int(a.size()),
                                        b.data(), int(b.size())) == platform::kCompareEqual;
}

std::string CutText(std::string_view text, size_t length) {
  return std::string(text.substr(0, std::min(text.size(), length)));
}

}  // namespace ledra
