// What `ledra info` shows of a table: the data header, the fields with their
// types, sizes, offsets and checks, the indexes with their options and key
// lengths, and the live-record count.
#pragma once

#include <ostream>

#include <nlohmann/json.hpp>

#include "engine/table/DataTable.h"

namespace ledra::tool {

// The description as JSON, read from the table's in-memory headers (take the
// read lock first for a current picture).
nlohmann::ordered_json DescribeTable(const TDataTable& table);
// The same description as text for people.
void PrintTableInfo(const nlohmann::ordered_json& info, std::ostream& out);

}  // namespace ledra::tool
