#include "components/LedraBackup.h"

#include "components/LedraDatabase.h"
#include "engine/errors/EngineError.h"
#include "engine/table/TableBackup.h"

namespace ledra {

TLedraBackupSummary BackupLedraTable(TLedraTable& table, const std::string& destination) {
  TLedraDatabase* database = table.Database();
  if (!table.Active() || database == nullptr || database->Handle() == nullptr) {
    throw EDatabaseError("Cannot perform this operation on a closed dataset");
  }
  // The table is open, so the session already holds any password it needs.
  const TBackupResult result = BackupTable(*database->Handle(), table.TableName(), destination);
  return {result.LiveRecords, result.Bytes};
}

}  // namespace ledra
