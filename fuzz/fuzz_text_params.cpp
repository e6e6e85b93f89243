// The text-index parameters: the input is the concatenated bodies of a
// parameter-page chain (padded with zeros to whole bodies).
//
// Decoding must refuse damage with an engine error; what it accepts must
// encode and decode back to the same parameters.
#include <cstdint>
#include <vector>

#include "engine/index/IndexHeader.h"
#include "engine/index/TextParams.h"
#include "fuzz/FuzzSupport.h"

using namespace ledra;
using namespace ledra::fuzz;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const size_t bodies = (size + kPageBodySize - 1) / kPageBodySize;
  std::vector<uint8_t> chain(std::max<size_t>(bodies, 1) * kPageBodySize, 0);
  if (size != 0) std::memcpy(chain.data(), data, size);

  TTextParams params;
  if (!Step([&] { params = DecodeTextParams(chain, "FUZZTEXT"); })) return 0;
  std::vector<uint8_t> encoded;
  EncodeTextParams(params, encoded);
  if (encoded.size() % kPageBodySize != 0) Finding("text parameters: not whole bodies");
  const TTextParams again = DecodeTextParams(encoded, "FUZZTEXT");
  if (!(again == params)) Finding("text parameters: decoding the encoding changed them");
  return 0;
}
