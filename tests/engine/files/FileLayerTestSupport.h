// Helpers shared by the file layer's tests.
#pragma once

#include <cstdint>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <utility>

#include "engine/errors/EngineError.h"
#include "tests/support/EngineErrors.h"
#include "tests/support/HeldFiles.h"

namespace ledra::test {

// Bytes 0, 1, ..., 250, 0, 1, ... (a pattern that shows shifted or lost chunks).
inline std::string PatternBytes(size_t count, unsigned seed = 0) {
  std::string bytes(count, '\0');
  for (size_t i = 0; i < count; ++i) bytes[i] = char((i + seed) % 251);
  return bytes;
}

inline std::string ReadWholeFile(const std::string& name) {
  SkipWhereHeldExclusively(name);
  std::ifstream in(name, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace ledra::test
