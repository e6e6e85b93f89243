// Helpers shared by the index tests: hex byte strings, files, a field list
// (built with tests/support/FieldBuilder.h) and error codes.
#pragma once

#include <cctype>
#include <cstdint>
#include <fstream>
#include <iterator>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "engine/errors/EngineError.h"
#include "engine/files/FieldDesc.h"
#include "tests/support/EngineErrors.h"
#include "tests/support/FieldBuilder.h"
#include "tests/support/HeldFiles.h"

namespace ledra::test {

using Bytes = std::vector<uint8_t>;

// "01 4a ff" -> {0x01, 0x4A, 0xFF}; blanks and '|' separate, nothing else.
inline Bytes Hex(std::string_view text) {
  Bytes out;
  int high = -1;
  for (char c : text) {
    if (!std::isxdigit(static_cast<unsigned char>(c))) continue;
    int v = std::isdigit(static_cast<unsigned char>(c)) ? c - '0' : (std::tolower(c) - 'a' + 10);
    if (high < 0) {
      high = v;
    } else {
      out.push_back(uint8_t(high * 16 + v));
      high = -1;
    }
  }
  return out;
}

// The bytes given, zero-padded to `size`.
inline Bytes Padded(const Bytes& bytes, size_t size) {
  Bytes out(size, 0);
  std::copy(bytes.begin(), bytes.end(), out.begin());
  return out;
}

inline Bytes ReadFileBytes(const std::string& path) {
  SkipWhereHeldExclusively(path);
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void WriteFileBytes(const std::string& path, const Bytes& bytes) {
  SkipWhereHeldExclusively(path);
  std::ofstream(path, std::ios::binary | std::ios::trunc)
      .write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
}

// The engine error code a call raises, LEDRA_NONE when it returns.
template <class F>
TEngineErrorCode CodeOf(F&& call) {
  return ErrorCodeRaisedBy(std::forward<F>(call));
}

// Fields 1..6: Name string(10), Code integer, Notes memo, Short string(4),
// Picture graphic blob, Amount float.
inline std::vector<TFieldDesc> SampleFields() {
  return {MakeField(1, "Name", fldString, 10),
          MakeField(2, "Code", fldInteger),
          MakeField(3, "Notes", fldBlob, 0, kSubTypeMemo),
          MakeField(4, "Short", fldString, 4),
          MakeField(5, "Picture", fldBlob, 0, kSubTypeGraphic),
          MakeField(6, "Amount", fldFloat)};
}

// The header block of a new index file, from the layout table, as written the
// first time (IdxChangeCount 1, IdxHeaderModified still 1 at that moment).
inline Bytes FreshHeaderGolden() {
  Bytes b(4096, 0);
  auto put = [&](size_t offset, const Bytes& bytes) {
    std::copy(bytes.begin(), bytes.end(), b.begin() + std::ptrdiff_t(offset));
  };
  put(0, Hex("01 00 00 00"));
  put(8, Hex("05 | 01 00 00 00 | 00"));
  put(3734, Hex("0B 53 79 73 20 44 65 6C 65 74 65 64"));  // slot 31: "Sys Deleted"
  put(3734 + 31, Hex("05 00"));                           // KeyLength 5, Compression 0
  put(3854, Hex("08 53 79 73 20 54 65 78 74"));           // slot 32: "Sys Text"
  put(3854 + 31, Hex("44 00"));                           // KeyLength 68
  put(3854 + 36, Hex("03"));                              // Compression FULL
  put(3979, Hex("01"));
  return b;
}

}  // namespace ledra::test
