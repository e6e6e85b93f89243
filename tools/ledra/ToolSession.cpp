#include "tools/ledra/ToolSession.h"

#include <filesystem>

#include "engine/table/TableCreation.h"
#include "tools/ledra/ToolError.h"

namespace ledra::tool {

void CheckTableName(const std::string& table) {
  // The engine takes a name that holds its own directory; on the command
  // line the directory is DIR, and a name that reaches elsewhere would open
  // or create a table outside it.
  if (table.find_first_of("/\\:") != std::string::npos || table.find("..") != std::string::npos) {
    throw EToolError("'" + table +
                     "' is not a table name: give the table's directory as DIR and its name "
                     "alone as TABLE (no '/', '\\', ':' or '..')");
  }
}

TToolSession::TToolSession(TTableOptions options) : options_(std::move(options)) {
  if (!options_.Table.empty()) CheckTableName(options_.Table);
  std::error_code error;
  if (options_.Directory.empty() || !std::filesystem::is_directory(options_.Directory, error)) {
    throw EToolError("'" + options_.Directory + "' is not a directory");
  }
  if (!options_.Password.empty()) session_.AddPassword(options_.Password);
  session_.SetStrictChangeDetection(true);
  directory_ = &session_.OpenDirectory(options_.Directory, options_.Directory);
}

TToolSession::~TToolSession() {
  try {
    CloseCursor();
  } catch (...) {
  }
  try {
    CloseTable();
  } catch (...) {
  }
}

bool TToolSession::TableExists() const {
  return TableDataFileExists(*directory_, options_.Table);
}

TDataTable& TToolSession::OpenTable() {
  if (table_ == nullptr) {
    table_ = &OpenCursorTable(*directory_, options_.Table, options_.Exclusive, false,
                              TPasswordCallback());
  }
  return *table_;
}

void TToolSession::CloseTable() {
  if (table_ == nullptr) return;
  TDataTable* table = table_;
  table_ = nullptr;
  directory_->CloseTable(*table, false);
}

TDataCursor& TToolSession::OpenCursor() {
  if (!cursor_) {
    auto cursor = std::make_unique<TDataCursor>(*directory_);
    cursor->SetTableName(options_.Table);
    cursor->SetExclusive(options_.Exclusive);
    cursor->Open();
    cursor_ = std::move(cursor);
  }
  return *cursor_;
}

void TToolSession::CloseCursor() {
  if (!cursor_) return;
  std::unique_ptr<TDataCursor> cursor = std::move(cursor_);
  cursor->Close();
}

}  // namespace ledra::tool
