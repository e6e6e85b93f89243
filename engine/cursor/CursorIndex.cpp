#include "engine/cursor/CursorIndex.h"

#include <algorithm>
#include <optional>
#include <span>
#include <string>

#include "engine/errors/EngineError.h"
#include "engine/table/DataTable.h"
#include "engine/index/KeyWidth.h"

namespace ledra {

namespace {

std::string IndexNameOf(int slot, const TIndexDesc& desc) {
  if (slot == kPrimarySlot) return "Primary";
  if (slot == kDeletedSlot) return std::string(kDeletedIndexName);
  if (slot == kTextSlot) return std::string(kTextIndexName);
  return desc.IndexName();
}

const TIndexDesc& CheckedDesc(TDataTable& table, int slot) {
  if (slot < 0 || slot > kTextSlot) {
    RaiseEngineError(LEDRA_INVALIDIDXDESC,
                     {.Index = std::to_string(slot), .Table = table.TableName()});
  }
  return table.IndexFile().Header().Descs[size_t(slot)];
}

}  // namespace

TCursorIndex::TCursorIndex(TDataTable& table, int slot, const TCharMap& charMap,
                           TIndexChangeCheck* changeCheck)
    : slot_(slot),
      desc_(CheckedDesc(table, slot)),
      name_(IndexNameOf(slot, desc_)),
      keys_(slot, desc_, std::span<const TFieldDesc>(table.DataFile().FieldDescs()),
            table.DataFile().RecordSize(), table.DataFile().LanguageId(), table.DataFile().SortId(),
            charMap, table.TableName()),
      tree_(table.IndexFile(), slot, *this, name_, changeCheck) {
  // The internal indexes have no key fields of their own to seek by.
  if (slot >= kDeletedSlot) return;
  // TIndexKeys has checked that every key field exists and that the
  // segments add up to the key length.
  uint32_t end = 0;
  for (int i = 0; i < desc_.KeyFieldCount && i < kMaxKeyFields; ++i) {
    std::optional<TFieldDesc> field = table.DataFile().FieldDescByNo(desc_.KeyFields[size_t(i)]);
    if (field) end += KeyWidth(*field) + 1u;
    segmentEnds_[size_t(i)] = uint16_t(std::min<uint32_t>(end, keys_.KeyLength()));
  }
}

int TCursorIndex::CompareKeys(const uint8_t* a, const uint8_t* b, size_t n) const {
  return keys_.CompareKeys(a, b, n);
}

size_t TCursorIndex::SignificantLength(int fieldCount, int partialLength) const {
  const int fields = std::clamp(fieldCount, 0, int(desc_.KeyFieldCount));
  size_t n = fields == 0 ? 0 : segmentEnds_[size_t(fields - 1)];
  if (partialLength > 0 && fields < desc_.KeyFieldCount) n += size_t(partialLength) + 1u;
  return std::min<size_t>(n, KeyLength());
}

void TCursorIndex::CompleteFirst(uint8_t* key, size_t n) const {
  if (Descending()) {
    keys_.FillKeyHigh(key, n);
  } else {
    keys_.FillKeyLow(key, n);
  }
}

void TCursorIndex::CompleteLast(uint8_t* key, size_t n) const {
  if (Descending()) {
    keys_.FillKeyLow(key, n);
  } else {
    keys_.FillKeyHigh(key, n);
  }
}

}  // namespace ledra
