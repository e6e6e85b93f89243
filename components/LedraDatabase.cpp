#include "components/LedraDatabase.h"

#include <algorithm>

#include "components/LedraDBDataSet.h"
#include "components/LedraDatabaseError.h"
#include "components/LedraSession.h"
#include "engine/table/DataSession.h"

namespace ledra {

bool NameContainsPath(std::string_view name) {
  return name.find('/') != std::string_view::npos;
}

TLedraDatabase::TLedraDatabase(TLedraComponent* owner)
    : TLedraComponent(owner), session_(&ledra::Session()) {
  session_->AddDatabase(*this);
}

TLedraDatabase::TLedraDatabase(TLedraSession& session, TLedraComponent* owner, bool temporary)
    : TLedraComponent(owner), session_(&session), temporary_(temporary) {}

TLedraDatabase::~TLedraDatabase() {
  try {
    Close();
  } catch (...) {
    // A destructor reports nothing; the directory has been given back.
  }
  if (session_ != nullptr) session_->RemoveDatabase(*this);
}

void TLedraDatabase::CheckActive() const {
  if (!Connected()) DatabaseError("Cannot perform this operation on a closed database.");
}

void TLedraDatabase::CheckInactive() const {
  if (Connected()) DatabaseError("Cannot perform this operation on an open database.");
}

void TLedraDatabase::SetDatabaseName(std::string_view name) {
  if (name == databaseName_) return;
  CheckInactive();
  if (!temporary_) {
    if (NameContainsPath(name))
      DatabaseErrorFmt("Database name %s is not valid.", {std::string(name)});
    if (session_ != nullptr && !name.empty()) {
      if (TLedraDatabase* other = session_->FindDatabase(name); other != nullptr && other != this) {
        if (!other->Temporary() || other->RefCount() > 0 || other->DataSetCount() > 0) {
          DatabaseErrorFmt("Database name %s already exists.", {std::string(name)});
        }
        // A temporary database of that name, not in use, makes way.
        other->Close();
        session_->FreeTemporary(*other);
      }
    }
  }
  databaseName_ = std::string(name);
}

void TLedraDatabase::SetDirectory(std::string_view directory) {
  CheckInactive();
  directory_ = std::string(directory);
}

void TLedraDatabase::SetRemoteDatabase(std::string_view name) {
  CheckInactive();
  remoteDatabase_ = std::string(name);
}

void TLedraDatabase::SetSessionName(std::string_view name) {
  CheckInactive();
  sessionName_ = std::string(name);
}

void TLedraDatabase::SetConnected(bool connected) {
  if (connected) {
    Open();
  } else {
    Close();
  }
}

void TLedraDatabase::Open() {
  if (Connected()) return;
  if (BeforeConnect) BeforeConnect(*this);
  if (databaseName_.empty() && !temporary_) DatabaseError("Database name is missing.");

  // The session its SessionName names; a program's database moves there.
  TLedraSession& session =
      temporary_ ? *session_ : TLedraSessionList::Instance().SessionByName(sessionName_);
  if (&session != session_) {
    if (session_ != nullptr) session_->RemoveDatabase(*this);
    session.AddDatabase(*this);
  }
  session.Activate();

  TSessionLock lock(session);
  TDataSession& engine = *session.DataSession();
  if (handleShared_) {
    for (size_t i = 0; i < session.DatabaseCount(); ++i) {
      TLedraDatabase& other = session.Databases(i);
      if (&other == this || !other.Connected() || !other.HandleShared() ||
          !SameText(other.DatabaseName(), databaseName_)) {
        continue;
      }
      // The same path opened again is the same engine directory, one use
      // more, so each database gives back its own use.
      handle_ = &engine.OpenDirectory(other.handle_->DatabaseName(), other.handle_->Path());
      return;
    }
  }
  if (NameContainsPath(databaseName_)) {
    handle_ = &engine.OpenDirectory("", directory_);
  } else {
    handle_ = &engine.OpenDirectory(databaseName_, directory_);
  }
}

void TLedraDatabase::Close() {
  if (!Connected()) return;
  std::exception_ptr failure;
  while (!dataSets_.empty()) {
    TLedraDBDataSet* dataSet = dataSets_.back();
    try {
      dataSet->DatabaseClosing();
    } catch (...) {
      if (!failure) failure = std::current_exception();
    }
    RemoveDataSet(*dataSet);
  }
  TDataDirectory* handle = handle_;
  handle_ = nullptr;
  refCount_ = 0;
  if (session_ != nullptr && session_->DataSession() != nullptr) {
    session_->DataSession()->ReleaseDirectory(*handle);
  }
  if (failure) std::rethrow_exception(failure);
}

void TLedraDatabase::AddDataSet(TLedraDBDataSet& dataSet) {
  if (std::find(dataSets_.begin(), dataSets_.end(), &dataSet) == dataSets_.end()) {
    dataSets_.push_back(&dataSet);
  }
}

void TLedraDatabase::RemoveDataSet(TLedraDBDataSet& dataSet) {
  dataSets_.erase(std::remove(dataSets_.begin(), dataSets_.end(), &dataSet), dataSets_.end());
}

}  // namespace ledra
