#include "components/LedraSession.h"

#include <algorithm>

#include "components/LedraDBDataSet.h"
#include "components/LedraDatabase.h"
#include "components/LedraDatabaseError.h"
#include "components/PasswordPrompt.h"

namespace ledra {

namespace {

constexpr size_t kMaxPasswordLength = 255;

// The engine session of the default session, made on its first activation
// and freed when it deactivates.
std::unique_ptr<TDataSession>& ProgramEngineSession() {
  static std::unique_ptr<TDataSession> session;
  return session;
}

TPasswordPrompt*& InstalledPrompt() {
  static TPasswordPrompt* prompt = nullptr;
  return prompt;
}

}  // namespace

void SetPasswordPrompt(TPasswordPrompt* prompt) {
  InstalledPrompt() = prompt;
}
TPasswordPrompt* PasswordPrompt() {
  return InstalledPrompt();
}

// ---- The list ----------------------------------------------------------------------------

TLedraSessionList::TLedraSessionList() {
  // The engine's error context outlives the list: sessions still active at
  // program end may raise while they close.
  (void)LastEngineErrorCode();
  (void)ProgramEngineSession();
}

TLedraSessionList::~TLedraSessionList() {
  while (!sessions_.empty()) {
    try {
      sessions_.back()->Deactivate();
    } catch (...) {
      // Program end: nobody is left to report to.
    }
    sessions_.pop_back();
  }
}

TLedraSessionList& TLedraSessionList::Instance() {
  static TLedraSessionList list;
  if (list.sessions_.empty()) {
    auto session = std::unique_ptr<TLedraSession>(new TLedraSession(nullptr, true));
    session->sessionName_ = "Default";
    list.sessions_.push_back(std::move(session));
  }
  return list;
}

TLedraSession& TLedraSessionList::CreateSession(TLedraComponent* owner) {
  std::lock_guard guard(mutex_);
  sessions_.push_back(std::unique_ptr<TLedraSession>(new TLedraSession(owner, false)));
  return *sessions_.back();
}

void TLedraSessionList::FreeSession(TLedraSession& session) {
  if (session.IsDefault()) return;
  session.Deactivate();
  std::lock_guard guard(mutex_);
  auto it = std::find_if(sessions_.begin(), sessions_.end(),
                         [&](const auto& s) { return s.get() == &session; });
  if (it != sessions_.end()) sessions_.erase(it);
}

TLedraSession* TLedraSessionList::FindSession(std::string_view name) const {
  if (name.empty()) return &DefaultSession();
  for (const auto& session : sessions_) {
    if (SameText(session->SessionName(), name)) return session.get();
  }
  return nullptr;
}

TLedraSession& TLedraSessionList::SessionByName(std::string_view name) const {
  TLedraSession* session = FindSession(name);
  if (session == nullptr) DatabaseErrorFmt("Session name %s is not valid.", {std::string(name)});
  return *session;
}

void TLedraSessionList::Lock(TLedraSession& session) {
  if (session.lockCount_ == 0) mutex_.lock();
  ++session.lockCount_;
}

void TLedraSessionList::Unlock(TLedraSession& session) {
  if (session.lockCount_ == 0) return;
  if (--session.lockCount_ == 0) mutex_.unlock();
}

TLedraSession& Session() {
  return TLedraSessionList::Instance().DefaultSession();
}

TSessionLock::TSessionLock(TLedraSession& session) : session_(session) {
  TLedraSessionList::Instance().Lock(session_);
}

TSessionLock::~TSessionLock() {
  TLedraSessionList::Instance().Unlock(session_);
}

// ---- The session -------------------------------------------------------------------------

TLedraSession::TLedraSession(TLedraComponent* owner, bool isDefault)
    : TLedraComponent(owner), isDefault_(isDefault) {}

TLedraSession::~TLedraSession() {
  try {
    Deactivate();
  } catch (...) {
    // A destructor reports nothing; Deactivate has let go of everything.
  }
  ReleaseAutoNumber();
  for (TLedraDatabase* database : databases_) database->session_ = nullptr;
}

template <class F>
void TLedraSession::Pass(F&& apply) {
  if (!Active()) return;
  TSessionLock lock(*this);
  apply(*engine_);
}

void TLedraSession::CheckInactive() const {
  if (Active()) DatabaseError("Cannot perform this operation on an active session.");
}

void TLedraSession::SetActive(bool active) {
  if (active == Active()) return;
  if (active) {
    Activate();
  } else {
    Deactivate();
  }
}

void TLedraSession::Activate() {
  if (Active()) return;
  TSessionLock lock(*this);
  if (OnStartup) OnStartup(*this);
  if (sessionName_.empty()) DatabaseError("Session name is missing.");
  if (!isDefault_) Session().Activate();
  if (Active()) return;  // OnStartup may have activated it

  TDataSession* engine = nullptr;
  if (isDefault_) {
    auto& program = ProgramEngineSession();
    if (!program) program = std::make_unique<TDataSession>(sessionType_ == stRemote, remoteHost_);
    engine = program.get();
  } else {
    ownEngine_ = std::make_unique<TDataSession>(sessionType_ == stRemote, remoteHost_);
    engine = ownEngine_.get();
  }
  engine_ = engine;
  try {
    engine->SetPrivateDir(privateDir_);
    engine->SetStrictChangeDetection(strictChangeDetection_);
    engine->SetForceBufferFlush(forceBufferFlush_);
    engine->SetLockRetryCount(lockRetryCount_);
    engine->SetLockWaitTime(lockWaitTime_);
    engine->SetLockProtocol(lockProtocol_ == lpPessimistic ? kLockPessimistic : 1);
    engine->SetProgressSteps(progressSteps_);
    engine->SetBufferLimits(bufferLimits_[0], bufferLimits_[1], bufferLimits_[2], bufferLimits_[3],
                            bufferLimits_[4]);
    // A remote session has no server to reach here: the engine session
    // refuses every operation naming its server.
    if (sessionType_ == stRemote) engine->CheckLocal();
  } catch (...) {
    Deactivate();
    throw;
  }
}

void TLedraSession::Deactivate() {
  if (!Active() && databases_.empty()) return;
  TSessionLock lock(*this);
  deactivating_ = true;
  std::exception_ptr failure;
  std::vector<TLedraDatabase*> snapshot = databases_;
  for (auto it = snapshot.rbegin(); it != snapshot.rend(); ++it) {
    try {
      (*it)->Close();
    } catch (...) {
      if (!failure) failure = std::current_exception();
    }
  }
  // Temporary databases go with the session's connection.
  for (auto it = temporaries_.rbegin(); it != temporaries_.rend(); ++it) RemoveDatabase(**it);
  temporaries_.clear();
  deactivating_ = false;
  engine_ = nullptr;
  if (isDefault_) {
    ProgramEngineSession().reset();
  } else {
    ownEngine_.reset();
  }
  if (failure) std::rethrow_exception(failure);
}

void TLedraSession::SetSessionName(std::string_view name) {
  if (autoSessionName_) DatabaseError("Cannot perform this operation on the active auto-session.");
  CheckInactive();
  if (SameText(name, sessionName_) && name.size() == sessionName_.size()) {
    sessionName_ = std::string(name);
    return;
  }
  TLedraSession* other = name.empty() ? nullptr : TLedraSessionList::Instance().FindSession(name);
  if (other != nullptr && other != this) {
    DatabaseErrorFmt("Session name %s already exists.", {std::string(name)});
  }
  sessionName_ = std::string(name);
}

void TLedraSession::SetAutoSessionName(bool automatic) {
  if (automatic == autoSessionName_) return;
  CheckInactive();
  if (automatic) {
    // One automatic session per owner.
    TLedraSessionList& list = TLedraSessionList::Instance();
    for (size_t i = 0; i < list.Count(); ++i) {
      TLedraSession& other = list.Sessions(i);
      if (&other != this && other.autoSessionName_ && other.Owner() == Owner()) {
        DatabaseError("This auto-session already exists.");
      }
    }
    autoSessionName_ = true;
    MakeAutoName();
  } else {
    autoSessionName_ = false;
    ReleaseAutoNumber();
  }
}

void TLedraSession::MakeAutoName() {
  TLedraSessionList& list = TLedraSessionList::Instance();
  TSessionLock lock(*this);
  size_t number = 0;
  while (number < kMaxAutoSessions && list.autoNumbers_.test(number)) ++number;
  if (number == kMaxAutoSessions) DatabaseError("This auto-session already exists.");
  list.autoNumbers_.set(number);
  autoNumber_ = int(number) + 1;
  sessionName_ = Name() + "_" + std::to_string(autoNumber_);
  // The datasets and databases of the same owner work in this session.
  if (Owner() == nullptr) return;
  for (TLedraComponent* component : Owner()->Components()) {
    if (auto* database = dynamic_cast<TLedraDatabase*>(component)) {
      if (!database->Connected()) database->sessionName_ = sessionName_;
    } else if (auto* dataSet = dynamic_cast<TLedraDBDataSet*>(component)) {
      if (!dataSet->Active()) dataSet->SetSessionName(sessionName_);
    }
  }
}

void TLedraSession::ReleaseAutoNumber() {
  if (autoNumber_ == 0) return;
  TLedraSessionList::Instance().autoNumbers_.reset(size_t(autoNumber_ - 1));
  autoNumber_ = 0;
}

void TLedraSession::SetLockRetryCount(uint8_t count) {
  lockRetryCount_ = count;
  Pass([&](TDataSession& engine) { engine.SetLockRetryCount(count); });
}

void TLedraSession::SetLockWaitTime(uint16_t milliseconds) {
  lockWaitTime_ = milliseconds;
  Pass([&](TDataSession& engine) { engine.SetLockWaitTime(milliseconds); });
}

void TLedraSession::SetLockProtocol(TLockProtocol protocol) {
  lockProtocol_ = protocol;
  Pass([&](TDataSession& engine) {
    engine.SetLockProtocol(protocol == lpPessimistic ? kLockPessimistic : 1);
  });
}

void TLedraSession::SetForceBufferFlush(bool force) {
  forceBufferFlush_ = force;
  Pass([&](TDataSession& engine) { engine.SetForceBufferFlush(force); });
}

void TLedraSession::SetStrictChangeDetection(bool strict) {
  strictChangeDetection_ = strict;
  Pass([&](TDataSession& engine) { engine.SetStrictChangeDetection(strict); });
}

void TLedraSession::SetPrivateDir(std::string_view path) {
  privateDir_ = std::string(path);
  Pass([&](TDataSession& engine) { engine.SetPrivateDir(path); });
}

void TLedraSession::SetProgressSteps(uint16_t steps) {
  if (steps > 100) return;
  progressSteps_ = steps;
  Pass([&](TDataSession& engine) { engine.SetProgressSteps(steps); });
}

void TLedraSession::SetSessionType(TSessionType type) {
  CheckInactive();
  sessionType_ = type;
}
void TLedraSession::SetRemoteType(TRemoteType type) {
  CheckInactive();
  remoteType_ = type;
}
void TLedraSession::SetRemoteHost(std::string_view host) {
  CheckInactive();
  remoteHost_ = std::string(host);
}
void TLedraSession::SetRemoteAddress(std::string_view address) {
  CheckInactive();
  remoteAddress_ = std::string(address);
}
void TLedraSession::SetRemotePort(uint16_t port) {
  CheckInactive();
  remotePort_ = port;
}
void TLedraSession::SetRemoteService(std::string_view service) {
  CheckInactive();
  remoteService_ = std::string(service);
}
void TLedraSession::SetRemoteTrace(bool trace) {
  // Passed on at once; the local engine has nothing to trace.
  TSessionLock lock(*this);
  remoteTrace_ = trace;
}
void TLedraSession::SetRemoteUser(std::string_view user) {
  CheckInactive();
  remoteUser_ = std::string(user);
}
void TLedraSession::SetRemotePassword(std::string_view password) {
  CheckInactive();
  remotePassword_ = std::string(password);
}

// ---- Databases -----------------------------------------------------------------------

TLedraDatabase* TLedraSession::FindDatabase(std::string_view name) const {
  for (TLedraDatabase* database : databases_) {
    if (SameText(database->DatabaseName(), name)) return database;
  }
  return nullptr;
}

void TLedraSession::AddDatabase(TLedraDatabase& database) {
  if (std::find(databases_.begin(), databases_.end(), &database) == databases_.end()) {
    databases_.push_back(&database);
  }
  database.session_ = this;
}

void TLedraSession::RemoveDatabase(TLedraDatabase& database) {
  databases_.erase(std::remove(databases_.begin(), databases_.end(), &database), databases_.end());
}

void TLedraSession::FreeTemporary(TLedraDatabase& database) {
  RemoveDatabase(database);
  auto it = std::find_if(temporaries_.begin(), temporaries_.end(),
                         [&](const auto& d) { return d.get() == &database; });
  if (it != temporaries_.end()) temporaries_.erase(it);
}

TLedraDatabase& TLedraSession::OpenDatabase(std::string_view name, TLedraComponent* owner) {
  TSessionLock lock(*this);
  TLedraDatabase* database = nullptr;
  for (TLedraDatabase* candidate : databases_) {
    if (!SameText(candidate->DatabaseName(), name)) continue;
    if (candidate->HandleShared() && owner != nullptr && candidate->Owner() == owner) {
      database = candidate;
      break;
    }
    if (database == nullptr) database = candidate;
  }
  bool made = false;
  if (database == nullptr) {
    auto temporary = std::unique_ptr<TLedraDatabase>(new TLedraDatabase(*this, this, true));
    temporary->databaseName_ = std::string(name);
    if (!SameText(name, "Memory")) {
      if (sessionType_ == stRemote) {
        temporary->remoteDatabase_ = std::string(name);
      } else {
        temporary->directory_ = std::string(name);
      }
    }
    temporary->keepConnection_ = keepConnections_;
    database = temporary.get();
    temporaries_.push_back(std::move(temporary));
    AddDatabase(*database);
    made = true;
  }
  try {
    database->Open();
  } catch (...) {
    if (made) FreeTemporary(*database);
    throw;
  }
  ++database->refCount_;
  return *database;
}

void TLedraSession::CloseDatabase(TLedraDatabase& database) {
  if (database.refCount_ > 0) --database.refCount_;
  if (database.refCount_ > 0 || database.KeepConnection() || deactivating_) return;
  if (database.Temporary()) {
    database.Close();
    FreeTemporary(database);
  } else {
    database.Close();
  }
}

// ---- Passwords -----------------------------------------------------------------------

void TLedraSession::AddPassword(std::string_view password) {
  TSessionLock lock(*this);
  Activate();
  engine_->AddPassword(password.substr(0, std::min(password.size(), kMaxPasswordLength)));
}

void TLedraSession::RemovePassword(std::string_view password) {
  TSessionLock lock(*this);
  Activate();
  engine_->RemovePassword(password.substr(0, std::min(password.size(), kMaxPasswordLength)));
}

void TLedraSession::RemoveAllPasswords() {
  TSessionLock lock(*this);
  Activate();
  engine_->RemoveAllPasswords();
}

bool TLedraSession::HasPassword(std::string_view password) const {
  if (!Active()) return false;
  return engine_->HasPassword(password.substr(0, std::min(password.size(), kMaxPasswordLength)));
}

size_t TLedraSession::PasswordCount() const {
  return Active() ? engine_->PasswordCount() : 0;
}

bool TLedraSession::AskPassword() {
  if (OnPassword) {
    bool continueOpen = false;
    OnPassword(*this, continueOpen);
    return continueOpen;
  }
  if (TPasswordPrompt* prompt = PasswordPrompt()) return prompt->Ask(*this);
  return false;
}

}  // namespace ledra
