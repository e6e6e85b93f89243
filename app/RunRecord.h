// What an update run keeps of itself, in the application's own data folder:
// a backup of the address book taken before the run changes its first
// record, and beside it the list of the records the run wrote.
//
//   <user data>/Ostrevo/Backups/<date and time the run started>/
//       Smeadt01.DAT, .IDX, .BLB   the address book as it was
//       changes.csv                one line per record written
//
// The change list is UTF-8 text, one header line and then, per record, the
// primary key's values, the town before and after, and how the new town was
// decided. Each line is on disk before the next record is looked at. When the
// backup or the list cannot be written the run stops before changing
// anything more: the address book is never changed without them.
//
// The address book is put back with `ledra restore <data directory> Smeadt01
// <backup folder>` while the shipping application is closed.
#pragma once

#include <fstream>
#include <string>
#include <vector>

#include "app/UpdateRun.h"
#include "components/LedraTable.h"

namespace ostrevo {

inline constexpr const char* kChangeListName = "changes.csv";

// The application's own folder in the user's data folder (ending without a
// separator); empty when the system names no data folder.
std::string OstrevoDataFolder();
// The folder name of a run that started at `dateTime` (the component layer's
// date-time value): "2026-12-09 15.33.53".
std::string RunFolderName(double dateTime);
// How a decision is written in the change list.
std::string DecisionText(TTownDecision decision);
// A CSV field: quoted when it holds a comma, a quote or a line break.
std::string CsvField(const std::string& text);

class TRunRecord final : public TRunKeeper {
 public:
  // For a run over `addressBook` starting now.
  explicit TRunRecord(ledra::TLedraTable& addressBook);

  // The run's folder (with the separator), empty until the first change.
  const std::string& Folder() const { return folder_; }

  // Takes the backup and starts the change list.
  void BeforeFirstChange() override;
  void RecordWritten(const std::string& oldTown, const std::string& newTown,
                     TTownDecision decision) override;

 private:
  ledra::TLedraTable& addressBook_;
  double started_;
  std::string folder_;
  std::vector<std::string> keyFields_;
  std::ofstream changes_;
};

}  // namespace ostrevo
