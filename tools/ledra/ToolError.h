// The tool's own failures: bad arguments and bad input, as opposed to the
// engine's errors (ELedraEngineError), which the tool prints as they come.
#pragma once

#include <stdexcept>
#include <string>

namespace ledra::tool {

// Exit codes of every command.
inline constexpr int kExitOk = 0;
// The command ran but found something: a finding of verify, a key not found,
// bad rows in an import (which then adds none).
inline constexpr int kExitFindings = 1;
// The command could not run: bad arguments, a table that cannot be opened,
// an engine error.
inline constexpr int kExitFailure = 2;

class EToolError : public std::runtime_error {
 public:
  explicit EToolError(const std::string& message, int exitCode = kExitFailure)
      : std::runtime_error(message), exitCode_(exitCode) {}
  int ExitCode() const { return exitCode_; }

 private:
  int exitCode_;
};

}  // namespace ledra::tool
