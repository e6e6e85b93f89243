// The parameters of the text index, kept in its chain of parameter pages.
//
// The chain starts at `TextParamPage` of slot 32 and continues through each
// page's NextPage. Its bodies (4083 bytes each) hold one byte stream:
//   stop-word count (4, signed)
//   per stop word: length (4, signed), characters
//   32 (4), the 32-byte set of space characters
//   32 (4), the 32-byte set of include characters
// An item (a length or a run of characters) that would end beyond the body
// is placed at the start of the next page instead, so no item is split
// across pages.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace ledra {

inline constexpr size_t kCharSetSize = 32;

struct TTextParams {
  std::vector<std::string> StopWords;
  // Bit sets of 256 characters, as stored.
  std::array<uint8_t, kCharSetSize> SpaceChars{};
  std::array<uint8_t, kCharSetSize> IncludeChars{};

  bool operator==(const TTextParams&) const = default;
};

// Encodes the stream into `bodies`, resized to a whole number of 4083-byte
// bodies (one per page of the chain, in chain order). A stop word longer than
// a body raises LEDRA_INTERNALLIMIT.
void EncodeTextParams(const TTextParams& params, std::vector<uint8_t>& bodies);

// Decodes the stream from the bodies of the chain, concatenated in chain
// order (a whole number of 4083-byte bodies). A negative or impossible count
// or length, a set not of 32 bytes, or a stream running past the last body
// raises LEDRA_INDEXCORRUPT with the table name.
TTextParams DecodeTextParams(std::span<const uint8_t> bodies, std::string_view tableName);

}  // namespace ledra
