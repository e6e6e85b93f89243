// A table by name in a database: TableName, Exclusive, ReadOnly and the
// current index (IndexName or IndexFieldNames).
//
// Opening binds the database, makes the engine cursor, hands it the table
// name, the exclusive, read-only and in-memory flags and the password
// callback of the session, opens it, takes back the read-only state the
// engine granted and selects the index; the dataset then reads the layout,
// the field definitions and the first records. A failure after the cursor
// was made frees it and gives the database back; the table stays closed.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "components/LedraDBDataSet.h"

namespace ledra {

// An index of the table as the layer describes it.
struct TLedraIndexDef {
  std::string Name;  // empty for the primary index
  std::vector<std::string> FieldNames;
  bool Unique = false;
  bool Descending = false;
  bool CaseInsensitive = false;
};

class TLedraTable : public TLedraDBDataSet {
 public:
  explicit TLedraTable(TLedraComponent* owner = nullptr);
  ~TLedraTable() override;

  const std::string& TableName() const { return tableName_; }
  // A name holding a path gives its directory part (with the separator) to
  // DatabaseName, unless the table is in memory, and keeps the file name.
  void SetTableName(std::string_view name);
  void SetDatabaseName(std::string_view name) override;
  bool InMemory() const { return inMemory_; }
  bool Exclusive() const { return exclusive_; }
  void SetExclusive(bool exclusive);
  bool ReadOnly() const { return readOnly_; }
  void SetReadOnly(bool readOnly);
  std::string EngineVersion() const { return "3.12"; }
  void SetEngineVersion(std::string_view) {}

  // The index by name ("" the primary one), or by its fields' names
  // separated by ";". Setting one clears the other; while open the cursor
  // changes order and the records are read again.
  const std::string& IndexName() const;
  void SetIndexName(std::string_view name);
  const std::string& IndexFieldNames() const;
  void SetIndexFieldNames(std::string_view names);
  // The table's indexes (read from the open cursor).
  std::vector<TLedraIndexDef> IndexDefs();

 protected:
  std::unique_ptr<TDataCursor> OpenCursor() override;
  std::string ErrorTableName() const override { return tableName_; }

 private:
  // The name of the index whose key fields are the named ones.
  std::string IndexForFields(std::string_view names);
  void ApplyIndex();

  std::string tableName_;
  bool inMemory_ = false;
  bool exclusive_ = false;
  bool readOnly_ = false;
  // IndexName and IndexFieldNames share one slot; the flag tells which.
  std::string indexSlot_;
  bool indexByFields_ = false;
};

}  // namespace ledra
