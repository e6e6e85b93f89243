// The names of a table's files.
//
// A table is stored in up to three files named after the table: the data file
// (".DAT"), the index file (".IDX") and the blob file (".BLB"). Table
// maintenance keeps backup copies under ".DBK", ".IBK" and ".BBK".
#pragma once

#include <string>
#include <string_view>

namespace ledra {

inline constexpr std::string_view kDataFileExt = ".DAT";
inline constexpr std::string_view kIndexFileExt = ".IDX";
inline constexpr std::string_view kBlobFileExt = ".BLB";
inline constexpr std::string_view kDataBackupExt = ".DBK";
inline constexpr std::string_view kIndexBackupExt = ".IBK";
inline constexpr std::string_view kBlobBackupExt = ".BBK";

// Removes leading and trailing blanks (every character up to the space).
std::string TrimBlanks(std::string_view text);

// The table name, trimmed, with the wanted extension: a ".DAT" extension (in
// any case) is replaced by it, any other name gets it appended. So "Smeadt01"
// and "Smeadt01.dat" both give "Smeadt01.IDX", and "orders.2004" gives
// "orders.2004.IDX".
std::string ApplyTableExtension(std::string_view tableName, std::string_view extension);

// The full name of a table file: the directory path, ending with the
// separator, followed by the table name with its extension applied. A table
// name that already holds a path is used without the directory.
std::string TableFileName(std::string_view directoryPath, std::string_view tableName,
                          std::string_view extension);

}  // namespace ledra
