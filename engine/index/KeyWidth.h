// Key widths of field types and the key length of an index.
//
// A key is one segment per key field (a null byte and the field's key width
// in value bytes), followed by the 4-byte row-id tail when the index is not
// unique. The segments together may take 1..522 bytes.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

#include "engine/files/FieldDesc.h"

namespace ledra {

// The number of value bytes a field takes in a key: declared size + 1 for
// strings; 4 for dates, integers and times; 2 for small integers, booleans and
// words; 8 for floats, money, timestamps, BCD and large integers; the storage
// width (`DataSize`) for any other type.
uint16_t KeyWidth(const TFieldDesc& field);

// The sum of (key width + 1) over the fields.
uint32_t KeySegmentsLength(std::span<const TFieldDesc* const> keyFields);

// `KeyLength` of an index being defined over the fields: the segments' length
// plus 4 when the index is not unique. Segments of 0 bytes (allowed only for
// the primary index of a table that has none, `allowEmpty`) or above 522
// bytes raise LEDRA_INVALIDKEY with the index and table names.
uint16_t DefineKeyLength(std::span<const TFieldDesc* const> keyFields, bool unique, bool allowEmpty,
                         std::string_view indexName, std::string_view tableName);

}  // namespace ledra
