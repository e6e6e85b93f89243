// The engine session of one command: the table's directory, the password
// given on the command line, and the table or cursor the command works on.
//
// Commands never prompt: a table password comes from --password or not at
// all, and an enciphered table opened without the right one is refused with
// the engine's own error. Every cursor operation takes the table's read lock
// and re-reads the headers (strict change detection), so that what a
// command reads is one consistent state even while other programs write.
#pragma once

#include <memory>
#include <string>

#include "engine/cursor/DataCursor.h"
#include "engine/table/DataDirectory.h"
#include "engine/table/DataSession.h"
#include "engine/table/DataTable.h"

namespace ledra::tool {

struct TTableOptions {
  std::string Directory;
  std::string Table;
  std::string Password;
  bool Exclusive = false;
};

// Refuses (EToolError) a table name that holds a directory: a '/', '\',
// ':' or "..".
void CheckTableName(const std::string& table);

class TToolSession {
 public:
  // The directory must exist and the table's name must be a name alone
  // (CheckTableName); EToolError otherwise.
  explicit TToolSession(TTableOptions options);
  // Closes what is open; never raises.
  ~TToolSession();
  TToolSession(const TToolSession&) = delete;
  TToolSession& operator=(const TToolSession&) = delete;

  const TTableOptions& Options() const { return options_; }
  TDataSession& Session() { return session_; }
  TDataDirectory& Directory() { return *directory_; }

  // The table's .DAT file exists (or the table is open here).
  bool TableExists() const;

  // Opens the table itself (no cursor), verifying its headers as every
  // first open in a session does; held until CloseTable or the end.
  TDataTable& OpenTable();
  void CloseTable();
  // Opens a cursor on the table in its primary index order.
  TDataCursor& OpenCursor();
  void CloseCursor();

 private:
  TTableOptions options_;
  TDataSession session_;
  TDataDirectory* directory_ = nullptr;
  TDataTable* table_ = nullptr;
  std::unique_ptr<TDataCursor> cursor_;
};

}  // namespace ledra::tool
