// Mending a damaged table from its records.
//
// The table files carry no journal: a program that dies between the writes
// of one post, or another program writing carelessly, can leave the index
// missing a record, the header counts off, the free chain of slots cut or a
// blob chain leading nowhere. The records themselves are the truth; repair
// rebuilds everything that can be derived from them.
//
// RepairTable holds the table exclusively for the whole run (refused with
// LEDRA_OSEACCES while another program, or this session, has it open). It
// first runs the verifier: a sound table is left exactly as it was, nothing
// written, no backups made. A data file whose header, descriptors or records
// cannot be read is refused with an engine error before anything is written.
// Otherwise the three files are copied to their backup names (".DBK",
// ".IBK", ".BBK", replacing older backups) unless KeepBackup is off, and then
//   - data file counters that do not fit the slots the file holds are set
//     from them (a slot written whole without its header is kept, a torn
//     last slot cut off); a deleted flag other than 0 or 1 frees its slot;
//     two slots with one row id get distinct ones;
//   - the index file is built afresh and every key inserted: the index
//     definitions its header held (those still valid for the fields), the
//     deleted-records index and the text index with its parameters. When the
//     header is lost no definition is known: the table is left without a
//     primary or secondary index, as the engine leaves a table whose index
//     file went missing;
//   - the free chain of record slots, the live-record count and LastAutoInc
//     are set from the records;
//   - a blob chain that fails its checks is cut and the record's field set
//     to null; the blob free list is rebuilt from the chains that stay (a
//     blob header that cannot be read is written anew over the blocks);
//   - every header is written with its change counter advanced, so other
//     programs re-read.
// Two live records with one key of a unique index refuse the repair
// (LEDRA_KEYVIOL) before anything is written: it cannot choose between them.
// Each change is one line of the report. Afterwards the verifier must find
// nothing; if it does, the repair raises (the backups hold the old files).
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace ledra {

class TDataDirectory;

struct TRepairOptions {
  // Called now and then during long work: records done of total.
  std::function<void(int64_t done, int64_t total)> Progress;
  // Copy the table's files to their backup names before changing anything.
  bool KeepBackup = true;
};

struct TRepairReport {
  // One line per change made, in the order made.
  std::vector<std::string> Changes;
  // The files were copied to their backup names first.
  bool BackupTaken = false;
  bool Changed() const { return !Changes.empty(); }
};

// Repairs the table `tableName` of `directory` (see above). Raises an engine
// error when the table cannot be held exclusively or its data file cannot
// be read; nothing is written then.
TRepairReport RepairTable(TDataDirectory& directory, std::string_view tableName,
                          const TRepairOptions& options = {});

}  // namespace ledra
