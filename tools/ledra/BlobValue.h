// Blob and memo values written into a record image for import and update;
// reading them is the engine's ReadBlobValue (engine/cursor/FieldValue.h).
#pragma once

#include <cstdint>
#include <span>

#include "engine/cursor/FieldValue.h"

namespace ledra::tool {

// Makes `bytes` the value of a blob field of `image` (no bytes empty it), in
// the cursor's blob buffer that the next post of the image writes. A value
// the cursor refuses raises EToolError (exit code 1) naming the engine's
// reason; the caller drops the image's buffers with DiscardNewBlobs.
void PutBlobValue(TDataCursor& cursor, int fieldNo, uint8_t* image, std::span<const uint8_t> bytes);

}  // namespace ledra::tool
