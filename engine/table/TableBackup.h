// Backups of a table: a consistent copy of its files taken while other
// programs keep using the table, and the way back to such a copy.
//
// A backup is the table's files (.DAT, .IDX and, with blob fields, .BLB)
// copied byte for byte under their own names into a folder of their own.
//
// Taking one: the table is opened shared and its read lock is held for the
// whole copy. The read lock keeps every writer out (a writer needs the write
// regions, which cover every read byte; a transaction writes nothing before
// its commit, which needs them too), so the copy is one state the table was
// in, even while other programs have it open. The files are read through the
// table's own handlers and written first into a staging folder inside the
// destination; the staged copy is verified in full and only then renamed
// into place, the .DAT last. Any previous backup's .DAT there is removed
// before the first rename, so a backup that fails part-way never leaves a set
// of files that looks like a whole table.
//
// Restoring one: only while no other program (and no other table object of
// this process) has the table open. The backup is checked first (every file
// there, the whole-table verifier sound) and held exclusively while it is
// read. The table's files are claimed exclusively, the .DAT first, and kept
// so until the end: whoever tries to open the table meanwhile is refused at
// its .DAT, so nobody sees a half-restored table. The current files are kept
// as ".DBK", ".IBK" and ".BBK" before anything is overwritten, then the
// backup's bytes are written in through the held handles; a file the backup
// does not have is removed. A failure while writing puts the kept bytes back
// before the error is passed on.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/table/DataDirectory.h"

namespace ledra {

// Bytes copied so far, and the bytes to copy in all.
using TBackupProgress = std::function<void(int64_t done, int64_t total)>;

struct TBackupOptions {
  // Called after every chunk copied; a backup calls it while writers are
  // kept out, so it should be quick.
  TBackupProgress Progress;
  // Asked when the session does not hold an enciphered table's password.
  TPasswordCallback PasswordCallback;
};

struct TBackupResult {
  // The full names of the files written (into the backup, or into the table).
  std::vector<std::string> Files;
  // A restore: the copies kept of the files it replaced (".DBK", ...).
  std::vector<std::string> Kept;
  int64_t Bytes = 0;
  // Live records of the copy, as the verifier counted them.
  int32_t LiveRecords = 0;
};

// Copies the table of `directory` into the folder `destination` (made when
// missing; not the table's own folder). Engine errors: LEDRA_EXPORTERROR for a
// refused destination or a copy that does not verify, the file errors of the
// reads and writes, LEDRA_LOCKTIMEOUT when writers keep the read lock away.
TBackupResult BackupTable(TDataDirectory& directory, std::string_view tableName,
                          const std::string& destination, const TBackupOptions& options = {});

// Puts the backup in the folder `source` in place of the table's files.
// LEDRA_OSEACCES while the table is open anywhere; LEDRA_IMPORTERROR for a
// backup that is missing, incomplete or unsound, or for a restore that failed
// and could not put the table back.
TBackupResult RestoreTable(TDataDirectory& directory, std::string_view tableName,
                           const std::string& source, const TBackupOptions& options = {});

// The name under which the staging folder of a backup of `tableName` is made
// inside the destination (removed again when the backup ends).
std::string BackupStagingFolder(std::string_view tableName);

}  // namespace ledra
