// Catching engine errors in tests.
#pragma once

#include <optional>
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

}  // namespace ledra::test
