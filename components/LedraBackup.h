// A backup of an open table component's files: how the application keeps a
// copy of a table before it changes it.
#pragma once

#include <cstdint>
#include <string>

#include "components/LedraTable.h"

namespace ledra {

struct TLedraBackupSummary {
  int32_t Records = 0;
  int64_t Bytes = 0;
};

// Copies the files of the open table into the folder `destination` (made
// when missing) while other programs may keep the table open: one consistent
// state, verified before it is kept (the engine's BackupTable). Raises the
// engine's error when it cannot; a table that is not open is a database
// error.
TLedraBackupSummary BackupLedraTable(TLedraTable& table, const std::string& destination);

}  // namespace ledra
