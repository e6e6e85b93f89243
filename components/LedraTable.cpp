#include "components/LedraTable.h"

#include "components/LedraDatabase.h"
#include "components/LedraDatabaseError.h"
#include "components/LedraSession.h"

namespace ledra {

namespace {

constexpr size_t kMaxTableNameLength = 255;

std::vector<std::string> SplitFieldNames(std::string_view names) {
  std::vector<std::string> parts;
  size_t start = 0;
  while (start <= names.size()) {
    size_t end = names.find(';', start);
    if (end == std::string_view::npos) end = names.size();
    std::string part(names.substr(start, end - start));
    while (!part.empty() && part.front() == ' ') part.erase(part.begin());
    while (!part.empty() && part.back() == ' ') part.pop_back();
    if (!part.empty()) parts.push_back(part);
    start = end + 1;
  }
  return parts;
}

}  // namespace

TLedraTable::TLedraTable(TLedraComponent* owner) : TLedraDBDataSet(owner) {}

TLedraTable::~TLedraTable() = default;

void TLedraTable::SetTableName(std::string_view name) {
  CheckInactive();
  const size_t separator = name.rfind('/');
  if (separator != std::string_view::npos) {
    if (!inMemory_) TLedraDBDataSet::SetDatabaseName(name.substr(0, separator + 1));
    tableName_ = std::string(name.substr(separator + 1));
  } else {
    tableName_ = std::string(name);
  }
}

void TLedraTable::SetDatabaseName(std::string_view name) {
  TLedraDBDataSet::SetDatabaseName(name);
  inMemory_ = SameText(name, "Memory");
}

void TLedraTable::SetExclusive(bool exclusive) {
  CheckInactive();
  exclusive_ = exclusive;
}

void TLedraTable::SetReadOnly(bool readOnly) {
  CheckInactive();
  readOnly_ = readOnly;
}

const std::string& TLedraTable::IndexName() const {
  static const std::string kNone;
  return indexByFields_ ? kNone : indexSlot_;
}

const std::string& TLedraTable::IndexFieldNames() const {
  static const std::string kNone;
  return indexByFields_ ? indexSlot_ : kNone;
}

void TLedraTable::SetIndexName(std::string_view name) {
  indexSlot_ = std::string(name);
  indexByFields_ = false;
  if (Active()) ApplyIndex();
}

void TLedraTable::SetIndexFieldNames(std::string_view names) {
  indexSlot_ = std::string(names);
  indexByFields_ = true;
  if (Active()) ApplyIndex();
}

void TLedraTable::ApplyIndex() {
  const std::string name = indexByFields_ ? IndexForFields(indexSlot_) : indexSlot_;
  SwitchToIndex(name);
}

std::vector<TLedraIndexDef> TLedraTable::IndexDefs() {
  TDataCursor& cursor = Cursor();
  std::vector<TLedraIndexDef> defs;
  for (int slot = 0; slot <= cursor.IndexCount(); ++slot) {
    std::unique_ptr<TCursorIndex> index = cursor.MakeIndex(slot);
    const TIndexDesc& desc = index->Desc();
    if (slot == 0 && desc.KeyFieldCount == 0) continue;  // no primary index
    TLedraIndexDef def;
    def.Name = slot == 0 ? std::string() : desc.IndexName();
    for (int i = 0; i < desc.KeyFieldCount && i < 16; ++i) {
      def.FieldNames.push_back(cursor.GetFieldDesc(desc.KeyFields[size_t(i)]).FieldName);
    }
    def.Unique = slot == 0 || desc.Unique != 0;
    def.Descending = desc.Descending != 0;
    def.CaseInsensitive = desc.CaseInsensitive != 0;
    defs.push_back(std::move(def));
  }
  return defs;
}

std::string TLedraTable::IndexForFields(std::string_view names) {
  const std::vector<std::string> wanted = SplitFieldNames(names);
  if (wanted.empty()) return {};
  for (const TLedraIndexDef& def : IndexDefs()) {
    if (def.FieldNames.size() < wanted.size()) continue;
    bool match = true;
    for (size_t i = 0; i < wanted.size() && match; ++i) {
      match = SameText(def.FieldNames[i], wanted[i]);
    }
    if (match) return def.Name;
  }
  DatabaseErrorFmt("'%s' has no index for fields '%s'", {tableName_, std::string(names)});
}

std::unique_ptr<TDataCursor> TLedraTable::OpenCursor() {
  // 1. The database, with this table in its list.
  SetDatabaseFlag(duOpened, true);
  std::unique_ptr<TDataCursor> cursor;
  try {
    // 2.
    if (tableName_.empty()) DatabaseError("Missing table name.");
    // 3. The engine cursor, its options in this order, then open.
    TLedraDatabase& database = *Database();
    database.CheckActive();
    cursor = std::make_unique<TDataCursor>(*database.Handle());
    cursor->SetTableName(tableName_.substr(0, std::min(tableName_.size(), kMaxTableNameLength)));
    cursor->SetExclusive(exclusive_);
    cursor->SetReadOnly(readOnly_);
    cursor->SetInMemory(inMemory_);
    TLedraSession* session = &database.Session();
    cursor->SetPasswordCallback([session] { return session->AskPassword(); });
    cursor->Open();
    // 4. The engine may have granted less than was asked.
    readOnly_ = cursor->ReadOnly();
    // 5. The index, if one is named.
    if (!indexSlot_.empty()) {
      if (indexByFields_) {
        // The index definitions are read from the cursor being opened.
        std::string name;
        const std::vector<std::string> wanted = SplitFieldNames(indexSlot_);
        bool found = wanted.empty();
        for (int slot = 0; slot <= cursor->IndexCount() && !found; ++slot) {
          std::unique_ptr<TCursorIndex> index = cursor->MakeIndex(slot);
          const TIndexDesc& desc = index->Desc();
          if (desc.KeyFieldCount < wanted.size()) continue;
          bool match = true;
          for (size_t i = 0; i < wanted.size() && match; ++i) {
            match = SameText(cursor->GetFieldDesc(desc.KeyFields[i]).FieldName, wanted[i]);
          }
          if (match) {
            found = true;
            name = slot == 0 ? std::string() : desc.IndexName();
          }
        }
        if (!found) {
          DatabaseErrorFmt("'%s' has no index for fields '%s'", {tableName_, indexSlot_});
        }
        cursor->SetIndexName(name);
      } else {
        cursor->SetIndexName(indexSlot_);
      }
    }
  } catch (...) {
    if (cursor) {
      try {
        cursor->Close();
      } catch (...) {
      }
      cursor.reset();
    }
    try {
      SetDatabaseFlag(duOpened, false);
    } catch (...) {
    }
    throw;
  }
  return cursor;
}

}  // namespace ledra
