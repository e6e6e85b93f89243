#include "tools/ledra/BlobValue.h"

#include <string>

#include "engine/blob/BlobChain.h"
#include "engine/errors/EngineError.h"
#include "engine/files/Bytes.h"
#include "engine/table/DataTable.h"
#include "tools/ledra/ToolError.h"

namespace ledra::tool {

namespace {

// Attempts at reading a blob whose record another program rewrote between
// reading the record and reading the blob.
constexpr int kBlobAttempts = 5;

void CheckBlobResult(uint16_t result) {
  if (result == 0) return;
  const std::string name = EngineErrorName(TEngineErrorCode(result));
  throw EToolError("the blob value cannot be written (" +
                       (name.empty() ? "engine error " + std::to_string(result) : name) + ")",
                   kExitFindings);
}

}  // namespace

void ReadBlobValue(TDataCursor& cursor, int fieldNo, std::vector<uint8_t>& image,
                   std::vector<uint8_t>& value) {
  const TFieldDesc& desc = cursor.Layout().FieldDesc(fieldNo);
  for (int attempt = 1;; ++attempt) {
    // Inside one read bracket the table cannot change, and the bracket has
    // dropped whatever another writer made stale.
    TDataCursor::TReadBracket bracket(cursor);
    try {
      const int32_t reference = GetLEInt32(image.data() + desc.Offset + 1);
      const int32_t stamp = GetLEInt32(image.data() + desc.Offset + 5);
      LoadBlobValue(cursor.Table().BlobFile(), reference, stamp, value, nullptr);
      bracket.End();
      return;
    } catch (const ELedraEngineError& error) {
      if (error.ErrorCode != LEDRA_KEYORRECDELETED || attempt >= kBlobAttempts) throw;
    }
    bracket.End();
    // The record was rewritten meanwhile: read it again.
    if (cursor.ReadCurrent(image.data()) != 0) {
      value.clear();
      return;
    }
  }
}

void WriteBlobValue(TDataCursor& cursor, int fieldNo, uint8_t* image,
                    std::span<const uint8_t> bytes) {
  uint32_t length = 0;
  CheckBlobResult(cursor.OpenBlob(fieldNo, image, length, false, TBlobOpenMode::kWrite));
  CheckBlobResult(cursor.TruncateBlob(fieldNo, image, 0));
  if (bytes.empty()) return;
  if (bytes.size() > TBlobBuffer::kMaxLength) CheckBlobResult(LEDRA_INVALIDBLOBLEN);
  CheckBlobResult(cursor.WriteBlob(fieldNo, image, 0, uint32_t(bytes.size()), bytes.data()));
}

}  // namespace ledra::tool
