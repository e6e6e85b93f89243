// A database directory of an engine session and the tables open in it.
//
// A TDataDirectory is shared by every open of the same path in one session
// (TDataSession::OpenDirectory) and lives while its use count is above 0. It
// keeps the TDataTable of every table open in it, one per table name and kind
// (in-memory or not), and the directory's transaction, which covers all of
// those tables.
//
// In-process conflicts (an exclusive open of a table in use, any open of an
// exclusively held one, deleting or renaming an open table) are results of
// -LEDRA_OSEACCES; the same conflicts with other sessions and processes come
// from the operating system's sharing rules as the same error, raised by the
// file layer.
#pragma once

#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "engine/table/TableDefinition.h"

namespace ledra {

class TDataSession;
class TDataTable;

// The result of opening or creating a table: 0 and the table, or a negative
// engine error code and no table.
struct TOpenTableResult {
  int32_t Result = 0;
  TDataTable* Table = nullptr;
};

class TDataDirectory {
 public:
  // Made by the session; `path` is empty or ends with the separator.
  TDataDirectory(TDataSession& session, std::string databaseName, std::string path);
  // Rolls back an open transaction and closes every table; never raises
  // (ReleaseDirectory closes them first, raising what fails).
  ~TDataDirectory();
  TDataDirectory(const TDataDirectory&) = delete;
  TDataDirectory& operator=(const TDataDirectory&) = delete;

  TDataSession& Session() const { return session_; }
  const std::string& DatabaseName() const { return databaseName_; }
  const std::string& Path() const { return path_; }
  // How the directory names itself in error messages: its path.
  const std::string& ErrorName() const { return path_; }
  uint16_t UseCount() const { return useCount_; }
  bool InTransaction() const { return inTransaction_; }

  size_t TableCount() const { return tables_.size(); }
  TDataTable& Table(size_t index) const { return *tables_.at(index); }
  // The table of that name and kind in the list, or null. Names compare
  // trimmed, without regard to case and with or without ".DAT".
  TDataTable* FindTable(std::string_view tableName, bool inMemory) const;

  // ---- Tables ---------------------------------------------------------------

  // Opens a table, or shares the one already open in this directory (one
  // user more). An exclusive request for a table in use, or any request for
  // a table held exclusively, is -LEDRA_OSEACCES unless `override` is set
  // (the engine's own maintenance). File failures raise. A table opened
  // while a transaction is open joins it.
  TOpenTableResult OpenTable(std::string_view tableName, bool inMemory, bool temporary,
                             bool exclusive, bool override = false);
  // One user less (CloseFiles); the last one outside a transaction removes
  // and destroys the table.
  void CloseTable(TDataTable& table, bool discard);
  // Creates the table's files from a full definition and leaves the table
  // open exclusively with one user; its headers are on disk when this
  // returns. -LEDRA_OSEACCES when a table of that name is in use here. A
  // refused definition raises, and whatever was created is removed again.
  TOpenTableResult CreateTable(std::string_view tableName, bool inMemory, bool temporary,
                               const TTableDefinition& definition);
  // Deletes the .DAT file, then the .IDX and .BLB files that exist:
  // 0, -LEDRA_OSEACCES while the table is open here, or the negative error
  // of the file that could not be deleted.
  int32_t DeleteTable(std::string_view tableName, bool inMemory);
  // Gives each existing file of the table the new name (with the backup
  // extensions ".DBK", ".IBK", ".BBK" when `toBackup`, replacing existing
  // backups). A new name holding a path (or any name of an in-memory table)
  // is used as it stands, else it is placed in the table's directory.
  // 0, -LEDRA_OSEACCES while the table is open here, or the negative error of
  // the file that could not be renamed (the files renamed before it get
  // their old names back).
  int32_t RenameTable(std::string_view tableName, std::string_view newName, bool toBackup,
                      bool inMemory);
  // Open here, or its .DAT file exists.
  bool TableExists(std::string_view tableName, bool inMemory) const;
  // The first five digits of the thread's identifier, a counter from 0 and
  // ".DAT": the first such name TableExists denies.
  std::string TempTableName(bool inMemory) const;

  // ---- Transactions ---------------------------------------------------------

  // Every table that is not read-only joins; when one fails, all are rolled
  // back and the error is passed on.
  void StartTransaction();
  // Writes every table's changes under its write lock (flushing the system's
  // buffers when asked), then releases the locks and unlocks the deferred
  // records. A failure leaves the transaction open (roll it back).
  void Commit(bool flush);
  // Throws every table's changes away and re-reads the headers.
  void Rollback();

 private:
  friend class TDataSession;

  void AddUse() { ++useCount_; }
  // One use less: true when none is left.
  bool ReleaseUse() { return useCount_ == 0 || --useCount_ == 0; }
  // Removes and destroys a table of the list.
  void RemoveTable(TDataTable& table);
  // Closes and removes the tables no cursor uses any more (after a commit or
  // rollback). Every such table leaves the list, closed, even when its
  // close fails; the first failure is kept in `failure` unless one is
  // there already.
  void CloseUnusedTables(std::exception_ptr& failure);
  // Rolls back an open transaction and closes every table, each use of it:
  // an exclusive table writes what it has only marked. Every table is
  // closed and destroyed, its locks released, even when a step fails; the
  // first failure is raised afterwards.
  void CloseAllTables();
  // Builds the table's files; the table's handlers are open on them.
  void BuildTable(TDataTable& table, const TTableDefinition& definition);

  TDataSession& session_;
  std::string databaseName_;
  std::string path_;
  uint16_t useCount_ = 0;
  bool inTransaction_ = false;
  std::vector<std::unique_ptr<TDataTable>> tables_;
};

// Asks the cursor's owner for a table password; true when one was given (and
// added to the session), false when the user gave up.
using TPasswordCallback = std::function<bool()>;

// The part of a cursor's open that belongs to the table: opens (or shares)
// the table in the directory, raising a refusal as its engine error with the
// table name; on the table's first open in the session verifies its headers
// under the read lock (only the version with `versionCheckOnly`); for an
// enciphered table calls the callback until the session holds the table's
// password (LEDRA_NOTSUFFTABLERIGHTS when it gives up or there is none). The
// table has one user more on return; any failure gives that use back.
// Whether the indexes must be rebuilt is the table's IndexRecreated.
TDataTable& OpenCursorTable(TDataDirectory& directory, std::string_view tableName, bool exclusive,
                            bool inMemory, const TPasswordCallback& passwordCallback,
                            bool versionCheckOnly = false);
// The same through the session: the directory of the database gets one use
// more, which the caller gives back with ReleaseDirectory after closing the
// table (a failure gives it back here).
TDataTable& OpenCursorTable(TDataSession& session, std::string_view databaseName,
                            std::string_view path, std::string_view tableName, bool exclusive,
                            bool inMemory, const TPasswordCallback& passwordCallback);

}  // namespace ledra
