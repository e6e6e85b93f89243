// Helpers shared by the file layer's tests.
#pragma once

#include <cstdint>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <utility>

#include "engine/errors/EngineError.h"

namespace ledra::test {

// Runs an action and returns the engine error it raised, if any.
template <typename Action>
std::optional<ELedraEngineError> EngineErrorOf(Action&& action) {
  try {
    std::forward<Action>(action)();
  } catch (const ELedraEngineError& error) {
    return error;
  }
  return std::nullopt;
}

// The code of the engine error an action raised, LEDRA_NONE when it raised none.
template <typename Action>
TEngineErrorCode ErrorCodeRaisedBy(Action&& action) {
  auto error = EngineErrorOf(std::forward<Action>(action));
  return error ? error->ErrorCode : TEngineErrorCode(LEDRA_NONE);
}

// Bytes 0, 1, ..., 250, 0, 1, ... (a pattern that shows shifted or lost chunks).
inline std::string PatternBytes(size_t count, unsigned seed = 0) {
  std::string bytes(count, '\0');
  for (size_t i = 0; i < count; ++i) bytes[i] = char((i + seed) % 251);
  return bytes;
}

inline std::string ReadWholeFile(const std::string& name) {
  std::ifstream in(name, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace ledra::test
