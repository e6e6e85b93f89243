#include "tools/ledra/BlobValue.h"

#include <string>

#include "engine/errors/EngineError.h"
#include "tools/ledra/ToolError.h"

namespace ledra::tool {

void PutBlobValue(TDataCursor& cursor, int fieldNo, uint8_t* image,
                  std::span<const uint8_t> bytes) {
  const uint16_t result = WriteBlobValue(cursor, fieldNo, image, bytes);
  if (result == 0) return;
  const std::string name = EngineErrorName(TEngineErrorCode(result));
  throw EToolError("the blob value cannot be written (" +
                       (name.empty() ? "engine error " + std::to_string(result) : name) + ")",
                   kExitFindings);
}

}  // namespace ledra::tool
