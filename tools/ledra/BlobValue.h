// Blob and memo values of one record image, through the cursor: read for
// export and find, written for import and update.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "engine/cursor/DataCursor.h"

namespace ledra::tool {

// The value of a blob field of the record the cursor stands on, its image in
// `image`; the record is read again into `image` when another program
// rewrote the value meanwhile (a record deleted meanwhile gives no bytes).
void ReadBlobValue(TDataCursor& cursor, int fieldNo, std::vector<uint8_t>& image,
                   std::vector<uint8_t>& value);

// Makes `bytes` the value of a blob field of `image` (no bytes empty it), in
// the cursor's blob buffer that the next post of the image writes. A value
// the cursor refuses raises EToolError (exit code 1) naming the engine's
// reason; the caller drops the image's buffers with DiscardNewBlobs.
void WriteBlobValue(TDataCursor& cursor, int fieldNo, uint8_t* image,
                    std::span<const uint8_t> bytes);

}  // namespace ledra::tool
