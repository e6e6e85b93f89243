#include "engine/table/DataDirectory.h"

#include <algorithm>
#include <array>
#include <exception>

#include "engine/errors/EngineError.h"
#include "engine/table/DataSession.h"
#include "engine/table/DataTable.h"
#include "engine/files/FileList.h"
#include "engine/files/TableFileNames.h"
#include "platform/System.h"

namespace ledra {

namespace {

bool SameNameIgnoringCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (UpperCaseChar1252(uint8_t(a[i])) != UpperCaseChar1252(uint8_t(b[i]))) return false;
  }
  return true;
}

constexpr std::array<std::string_view, 3> kTableExts = {kDataFileExt, kIndexFileExt, kBlobFileExt};
constexpr std::array<std::string_view, 3> kBackupExts = {kDataBackupExt, kIndexBackupExt,
                                                         kBlobBackupExt};
constexpr size_t kThreadIdDigits = 5;

}  // namespace

TDataDirectory::TDataDirectory(TDataSession& session, std::string databaseName, std::string path)
    : session_(session), databaseName_(std::move(databaseName)), path_(std::move(path)) {}

TDataDirectory::~TDataDirectory() {
  try {
    CloseAllTables();
  } catch (...) {
    // ReleaseDirectory closes the tables first and reports a failure; only
    // the end of a whole session gets here with tables still open, and it
    // has nobody left to report to. Everything is released even so.
  }
}

void TDataDirectory::CloseAllTables() {
  std::exception_ptr failure;
  try {
    Rollback();
  } catch (...) {
    // Closing below releases whatever the rollback could not.
    failure = std::current_exception();
  }
  for (const auto& table : tables_) {
    try {
      // Each call gives back one use; the last one flushes what an
      // exclusive table has only marked, and closes the files even when
      // that write fails.
      while (table->IsOpen() && !table->InTransaction()) table->CloseFiles(false);
    } catch (...) {
      if (!failure) failure = std::current_exception();
    }
  }
  // Destroying a table releases every lock it still holds and closes its
  // handlers.
  tables_.clear();
  if (failure) std::rethrow_exception(failure);
}

TDataTable* TDataDirectory::FindTable(std::string_view tableName, bool inMemory) const {
  // Compared as the data file they name, so that "People" and "people.dat"
  // are one table: two table objects of one session on the same files would
  // refuse each other's locks.
  const std::string wanted = ApplyTableExtension(tableName, kDataFileExt);
  for (const auto& table : tables_) {
    if (table->InMemory() == inMemory &&
        SameNameIgnoringCase(ApplyTableExtension(table->TableName(), kDataFileExt), wanted)) {
      return table.get();
    }
  }
  return nullptr;
}

void TDataDirectory::RemoveTable(TDataTable& table) {
  auto found = std::find_if(tables_.begin(), tables_.end(),
                            [&](const auto& held) { return held.get() == &table; });
  if (found == tables_.end()) return;
  std::unique_ptr<TDataTable> removed = std::move(*found);
  tables_.erase(found);
}

// ---- Opening and closing tables ---------------------------------------------------

TOpenTableResult TDataDirectory::OpenTable(std::string_view tableName, bool inMemory,
                                           bool temporary, bool exclusive, bool override) {
  session_.CheckLocal();
  TDataTable* table = FindTable(tableName, inMemory);
  if (table != nullptr && (table->OpenCount() > 0 || table->InTransaction())) {
    const bool inUse = table->OpenCount() > 0;
    if ((table->Exclusive() || exclusive) && (inUse || !table->InTransaction()) && !override) {
      return {-int32_t(LEDRA_OSEACCES), nullptr};
    }
    table->OpenFiles();
    return {0, table};
  }

  std::unique_ptr<TDataTable> made;
  if (table != nullptr) {
    table->SetOpenFlags(exclusive, inMemory, temporary);
  } else {
    made =
        std::make_unique<TDataTable>(*this, TrimBlanks(tableName), exclusive, inMemory, temporary);
    table = made.get();
  }
  table->OpenFiles();
  if (inTransaction_) {
    try {
      table->JoinTransaction();
    } catch (...) {
      try {
        table->CloseFiles(false);
      } catch (...) {
        // The join's failure is the one to report; the files are closed
        // even so.
      }
      if (!made) RemoveTable(*table);
      throw;
    }
  }
  if (made) tables_.push_back(std::move(made));
  return {0, table};
}

void TDataDirectory::CloseTable(TDataTable& table, bool discard) {
  std::exception_ptr failure;
  try {
    if (table.IsOpen()) table.CloseFiles(discard);
  } catch (...) {
    // The files are closed even so.
    failure = std::current_exception();
  }
  if (table.OpenCount() == 0 && !table.InTransaction()) RemoveTable(table);
  if (failure) std::rethrow_exception(failure);
}

void TDataDirectory::CloseUnusedTables(std::exception_ptr& failure) {
  for (size_t i = tables_.size(); i-- > 0;) {
    TDataTable& table = *tables_[i];
    if (table.OpenCount() != 0 || table.InTransaction()) continue;
    try {
      table.CloseFiles(false);
    } catch (...) {
      // The files are closed even so; the table leaves the list like the
      // others, and the first failure is reported once all are gone.
      if (!failure) failure = std::current_exception();
    }
    RemoveTable(table);
  }
}

TOpenTableResult TDataDirectory::CreateTable(std::string_view tableName, bool inMemory,
                                             bool temporary, const TTableDefinition& definition) {
  session_.CheckLocal();
  TDataTable* table = FindTable(tableName, inMemory);
  if (table != nullptr && (table->OpenCount() > 0 || table->InTransaction())) {
    return {-int32_t(LEDRA_OSEACCES), nullptr};
  }
  std::unique_ptr<TDataTable> made;
  if (table != nullptr) {
    table->SetOpenFlags(/*exclusive=*/true, inMemory, temporary);
  } else {
    made = std::make_unique<TDataTable>(*this, TrimBlanks(tableName), /*exclusive=*/true, inMemory,
                                        temporary);
    table = made.get();
  }
  table->CreateFiles(definition);
  if (made) tables_.push_back(std::move(made));
  return {0, table};
}

// ---- Table files ------------------------------------------------------------------

int32_t TDataDirectory::DeleteTable(std::string_view tableName, bool inMemory) {
  session_.CheckLocal();
  if (FindTable(tableName, inMemory) != nullptr) return -int32_t(LEDRA_OSEACCES);
  TFileList& files = TFileList::Instance();
  // The .DAT file goes first: while it cannot be deleted (in use elsewhere)
  // the table stays whole.
  const int32_t result = files.Delete(TableFileName(path_, tableName, kDataFileExt), inMemory);
  if (result < 0) return result;
  for (std::string_view ext : {kIndexFileExt, kBlobFileExt}) {
    const std::string name = TableFileName(path_, tableName, ext);
    if (!files.Exists(name, inMemory)) continue;
    const int32_t deleted = files.Delete(name, inMemory);
    if (deleted < 0) return deleted;
  }
  return 0;
}

int32_t TDataDirectory::RenameTable(std::string_view tableName, std::string_view newName,
                                    bool toBackup, bool inMemory) {
  session_.CheckLocal();
  if (FindTable(tableName, inMemory) != nullptr) return -int32_t(LEDRA_OSEACCES);
  TFileList& files = TFileList::Instance();
  const std::string target = TrimBlanks(newName);
  std::vector<std::pair<std::string, std::string>> renamed;
  auto undo = [&] {
    for (auto it = renamed.rbegin(); it != renamed.rend(); ++it) {
      files.Rename(it->second, inMemory, it->first);
    }
  };
  for (size_t i = 0; i < kTableExts.size(); ++i) {
    const std::string source = TableFileName(path_, tableName, kTableExts[i]);
    if (!files.Exists(source, inMemory)) {
      if (i == 0) return -int32_t(LEDRA_OSENOENT);
      continue;
    }
    const std::string_view ext = toBackup ? kBackupExts[i] : kTableExts[i];
    // A name holding its own path stays where it points; an in-memory table
    // has no directory.
    const std::string destination =
        inMemory ? ApplyTableExtension(target, ext) : TableFileName(path_, target, ext);
    if (toBackup && files.Exists(destination, inMemory)) {
      const int32_t deleted = files.Delete(destination, inMemory);
      if (deleted < 0) {
        undo();
        return deleted;
      }
    }
    const int32_t result = files.Rename(source, inMemory, destination);
    if (result < 0) {
      undo();
      return result;
    }
    renamed.emplace_back(source, destination);
  }
  return 0;
}

bool TDataDirectory::TableExists(std::string_view tableName, bool inMemory) const {
  session_.CheckLocal();
  if (FindTable(tableName, inMemory) != nullptr) return true;
  return TFileList::Instance().Exists(TableFileName(path_, tableName, kDataFileExt), inMemory);
}

std::string TDataDirectory::TempTableName(bool inMemory) const {
  session_.CheckLocal();
  std::string prefix = std::to_string(platform::CurrentThreadId());
  if (prefix.size() > kThreadIdDigits) prefix.resize(kThreadIdDigits);
  for (uint32_t counter = 0;; ++counter) {
    std::string name = prefix + std::to_string(counter) + std::string(kDataFileExt);
    if (!TableExists(name, inMemory)) return name;
  }
}

// ---- Transactions -----------------------------------------------------------------

void TDataDirectory::StartTransaction() {
  session_.CheckLocal();
  inTransaction_ = true;
  try {
    for (const auto& table : tables_) table->JoinTransaction();
  } catch (...) {
    try {
      Rollback();
    } catch (...) {
    }
    throw;
  }
}

void TDataDirectory::Commit(bool flush) {
  session_.CheckLocal();
  if (!inTransaction_) return;
  std::vector<TDataTable*> members;
  for (const auto& table : tables_) {
    if (table->InTransaction()) members.push_back(table.get());
  }
  auto releaseWriteLocks = [&] {
    for (TDataTable* table : members) {
      try {
        table->ReleaseWriteLock();
      } catch (...) {
      }
    }
  };
  try {
    for (TDataTable* table : members) table->BeginCommit();
    for (TDataTable* table : members) table->WriteCommit(flush);
  } catch (...) {
    // Nothing is lost yet: the transaction stays open for a rollback.
    releaseWriteLocks();
    throw;
  }
  std::exception_ptr failure;
  for (TDataTable* table : members) {
    try {
      table->EndCommit();
    } catch (...) {
      if (!failure) failure = std::current_exception();
    }
  }
  inTransaction_ = false;
  CloseUnusedTables(failure);
  if (failure) std::rethrow_exception(failure);
}

void TDataDirectory::Rollback() {
  session_.CheckLocal();
  if (!inTransaction_) return;
  std::exception_ptr failure;
  for (const auto& table : tables_) {
    try {
      table->RollbackTransaction();
    } catch (...) {
      if (!failure) failure = std::current_exception();
    }
  }
  inTransaction_ = false;
  CloseUnusedTables(failure);
  if (failure) std::rethrow_exception(failure);
}

// ---- Opening a cursor's table -----------------------------------------------------

TDataTable& OpenCursorTable(TDataDirectory& directory, std::string_view tableName, bool exclusive,
                            bool inMemory, const TPasswordCallback& passwordCallback,
                            bool versionCheckOnly) {
  const TOpenTableResult opened =
      directory.OpenTable(tableName, inMemory, /*temporary=*/false, exclusive);
  if (opened.Result < 0) {
    RaiseTableError(TEngineErrorCode(-opened.Result), TrimBlanks(tableName),
                    directory.DatabaseName());
  }
  TDataTable& table = *opened.Table;
  try {
    if (table.OpenCount() == 1 && !(table.InTransaction() && table.Written())) {
      TTableReadLockGuard readLock(table.Lock());
      table.VerifyTable(versionCheckOnly);
      readLock.Release();
    }
    if (table.DataFile().Encrypted()) {
      const std::string password = table.DataFile().TablePassword();
      while (!directory.Session().HasPassword(password)) {
        if (!passwordCallback || !passwordCallback()) {
          RaiseTableError(LEDRA_NOTSUFFTABLERIGHTS, table.TableName(), directory.DatabaseName());
        }
      }
    }
  } catch (...) {
    try {
      directory.CloseTable(table, false);
    } catch (...) {
    }
    throw;
  }
  return table;
}

TDataTable& OpenCursorTable(TDataSession& session, std::string_view databaseName,
                            std::string_view path, std::string_view tableName, bool exclusive,
                            bool inMemory, const TPasswordCallback& passwordCallback) {
  TDataDirectory& directory = session.OpenDirectory(databaseName, path);
  try {
    return OpenCursorTable(directory, tableName, exclusive, inMemory, passwordCallback);
  } catch (...) {
    try {
      session.ReleaseDirectory(directory);
    } catch (...) {
      // The open's own failure is the one to report.
    }
    throw;
  }
}

}  // namespace ledra
