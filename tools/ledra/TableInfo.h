// What `ledra info` shows of a table: the data header, the fields with their
// types, sizes, offsets and checks, the indexes with their options and key
// lengths, and the live-record count.
#pragma once

#include <ostream>

#include <nlohmann/json.hpp>

#include "engine/table/TableDescription.h"

namespace ledra::tool {

// A table's description (DescribeTable, taken under the read lock) as JSON.
nlohmann::ordered_json TableInfoJson(const TTableDescription& table);
// The same description as text for people.
void PrintTableInfo(const nlohmann::ordered_json& info, std::ostream& out);

}  // namespace ledra::tool
