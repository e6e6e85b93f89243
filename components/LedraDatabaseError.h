// The component layer's own failures: a misuse of a session, database,
// dataset or field (an open database renamed, a field that does not exist, a
// write outside edit mode ...), raised with fixed message texts.
//
// They are database errors like the engine's, so a caller that catches
// EDatabaseError sees both, but they are not engine errors: they carry no
// engine error code, and ErrorCodeOf gives them LEDRA_OSUNKNOWN.
#pragma once

#include <string>
#include <string_view>

#include "engine/errors/EngineError.h"

namespace ledra {

class ELedraDatabaseError : public EDatabaseError {
 public:
  explicit ELedraDatabaseError(const std::string& message) : EDatabaseError(message) {}
};

// Raises the message as it stands.
[[noreturn]] void DatabaseError(std::string_view message);
// Raises the message with each "%s" / "%d" replaced, in order, by the texts
// given.
[[noreturn]] void DatabaseErrorFmt(std::string_view format,
                                   std::initializer_list<std::string> args);

// Comparison of names without regard to case, as the layer compares session,
// database, table and field names (code page 1252, English case rules).
bool SameText(std::string_view a, std::string_view b);
// The text cut to at most `length` characters.
std::string CutText(std::string_view text, size_t length);

}  // namespace ledra
