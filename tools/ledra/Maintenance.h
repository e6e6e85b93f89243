// The table maintenance commands of the tool: each works on a whole table
// through the engine's own maintenance operations, held exclusively (repair,
// restore) or under its read lock beside other users (backup).
#pragma once

#include <iosfwd>
#include <string>

#include "tools/ledra/ToolSession.h"

namespace ledra::tool {

// ---- repair ---------------------------------------------------------------------

// `ledra repair`: mends a damaged table (RepairTable), printing one line per
// change, or "Table X is sound; nothing changed." when there is nothing to
// mend. kExitOk when repaired or sound; kExitFailure when the table cannot
// be repaired (the engine's error and its reason go to `err`).
int RunRepair(const TTableOptions& options, bool keepBackup, std::ostream& out, std::ostream& err);

// ---- backup, restore -------------------------------------------------------------

// `ledra backup`: copies the table's files into the folder `destination` while
// other programs may keep using it (BackupTable), the copy verified before it
// is kept. Progress goes to `err` as a percentage line for large tables.
int RunBackup(const TTableOptions& options, const std::string& destination, std::ostream& out,
              std::ostream& err);
// `ledra restore`: puts the backup in the folder `source` in place of the
// table (RestoreTable), the files it replaces kept as .DBK, .IBK and .BBK.
// Refused, with a message saying why, while any program has the table open.
int RunRestore(const TTableOptions& options, const std::string& source, std::ostream& out,
               std::ostream& err);

}  // namespace ledra::tool
