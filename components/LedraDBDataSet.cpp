#include "components/LedraDBDataSet.h"

#include "components/LedraDatabase.h"
#include "components/LedraDatabaseError.h"
#include "components/LedraSession.h"

namespace ledra {

TLedraDBDataSet::TLedraDBDataSet(TLedraComponent* owner) : TLedraDataSet(owner) {}

TLedraDBDataSet::~TLedraDBDataSet() {
  // Closed here, while the database binding can still be given back.
  try {
    Close();
  } catch (...) {
    // A destructor reports nothing; the cursor and the binding are gone.
  }
  databaseFlags_.reset();
  if (database_ != nullptr) {
    TLedraDatabase* database = database_;
    database_ = nullptr;
    database->RemoveDataSet(*this);
    if (database->session_ != nullptr) {
      try {
        database->Session().CloseDatabase(*database);
      } catch (...) {
      }
    }
  }
}

void TLedraDBDataSet::SetDatabaseName(std::string_view name) {
  if (Active()) DatabaseError("Cannot perform this operation on an open database.");
  databaseName_ = std::string(name);
}

void TLedraDBDataSet::SetSessionName(std::string_view name) {
  CheckInactive();
  sessionName_ = std::string(name);
}

TLedraSession& TLedraDBDataSet::DBSession() const {
  return TLedraSessionList::Instance().SessionByName(sessionName_);
}

std::string TLedraDBDataSet::ErrorDatabaseName() const {
  if (database_ != nullptr && database_->Handle() != nullptr) {
    return database_->Handle()->DatabaseName();
  }
  return databaseName_;
}

void TLedraDBDataSet::SetDatabaseFlag(TDatabaseUse flag, bool on) {
  if (databaseFlags_.test(flag) == on) return;
  if (on) {
    if (databaseFlags_.none()) {
      TLedraSession& session = DBSession();
      TLedraDatabase& database = session.OpenDatabase(databaseName_, Owner());
      database_ = &database;
      database.AddDataSet(*this);
    }
    databaseFlags_.set(flag);
    return;
  }
  databaseFlags_.reset(flag);
  if (databaseFlags_.none() && database_ != nullptr) {
    TLedraDatabase* database = database_;
    database_ = nullptr;
    database->RemoveDataSet(*this);
    database->Session().CloseDatabase(*database);
  }
}

void TLedraDBDataSet::CloseCursorBinding() {
  SetDatabaseFlag(duOpened, false);
}

void TLedraDBDataSet::DatabaseClosing() {
  // The database is closing itself: the dataset closes without handing it
  // back, and forgets it.
  TLedraDatabase* database = database_;
  database_ = nullptr;
  databaseFlags_.reset();
  (void)database;
  Close();
}

}  // namespace ledra
