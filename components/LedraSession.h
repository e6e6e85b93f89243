// Sessions of the component layer and the program-wide list that owns them.
//
// A TLedraSession holds the settings handed to its engine session
// (TDataSession), the databases in it and the table passwords. The first
// session ever made is the default session ("Default"): it uses the
// program-wide engine session, made on its first activation, which records
// the process's current directory; tables with an empty DatabaseName open
// from that directory for the rest of the run.
//
// The list's lock guards the list and every activation; it is re-entrant per
// session through the session's counter, so a session's nested calls (an
// activation that opens a database that activates the default session) do
// not take it twice.
#pragma once

#include <bitset>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "components/LedraComponent.h"
#include "engine/table/DataSession.h"

namespace ledra {

class TLedraDatabase;
class TLedraSession;

enum TLockProtocol : uint8_t { lpPessimistic, lpOptimistic };
enum TSessionType : uint8_t { stLocal, stRemote };
enum TRemoteType : uint8_t { rtLAN };

inline constexpr const char* kEngineVersion = "3.12";
// The number of automatic sessions the list can number.
inline constexpr size_t kMaxAutoSessions = 256;

class TLedraSessionList {
 public:
  // The program-wide list; the default session is made with it.
  static TLedraSessionList& Instance();
  // Frees every session, newest first.
  ~TLedraSessionList();
  TLedraSessionList(const TLedraSessionList&) = delete;
  TLedraSessionList& operator=(const TLedraSessionList&) = delete;

  // A new session owned by the list (the first one becomes the default).
  TLedraSession& CreateSession(TLedraComponent* owner = nullptr);
  // Deactivates and frees a session; the default session is not freed.
  void FreeSession(TLedraSession& session);

  size_t Count() const { return sessions_.size(); }
  TLedraSession& Sessions(size_t index) const { return *sessions_.at(index); }
  TLedraSession& DefaultSession() const { return *sessions_.front(); }
  // An empty name is the default session; else the first whose SessionName
  // equals the name without regard to case, or null.
  TLedraSession* FindSession(std::string_view name) const;
  // The same; none raises "Session name %s is not valid.".
  TLedraSession& SessionByName(std::string_view name) const;

  // The list lock, re-entrant per session.
  void Lock(TLedraSession& session);
  void Unlock(TLedraSession& session);

 private:
  friend class TLedraSession;
  TLedraSessionList();

  std::recursive_mutex mutex_;
  std::vector<std::unique_ptr<TLedraSession>> sessions_;
  std::bitset<kMaxAutoSessions> autoNumbers_;
};

// The default session (made on first use).
TLedraSession& Session();

// Holds the session lock for a scope.
class TSessionLock {
 public:
  explicit TSessionLock(TLedraSession& session);
  ~TSessionLock();
  TSessionLock(const TSessionLock&) = delete;
  TSessionLock& operator=(const TSessionLock&) = delete;

 private:
  TLedraSession& session_;
};

class TLedraSession : public TLedraComponent {
 public:
  using TStartupEvent = std::function<void(TLedraSession& session)>;
  // Asked for a table password: set `continueOpen` to try again.
  using TPasswordEvent = std::function<void(TLedraSession& session, bool& continueOpen)>;
  using TRemoteLoginEvent =
      std::function<void(TLedraSession& session, std::string& user, std::string& password)>;
  using TRemoteTraceEvent = std::function<void(TLedraSession& session, std::string_view text)>;

  ~TLedraSession() override;

  bool IsDefault() const { return isDefault_; }

  const std::string& SessionName() const { return sessionName_; }
  void SetSessionName(std::string_view name);
  bool Active() const { return engine_ != nullptr; }
  void SetActive(bool active);
  void Open() { SetActive(true); }
  void Close() { SetActive(false); }
  bool AutoSessionName() const { return autoSessionName_; }
  void SetAutoSessionName(bool automatic);

  bool KeepConnections() const { return keepConnections_; }
  void SetKeepConnections(bool keep) { keepConnections_ = keep; }
  uint8_t LockRetryCount() const { return lockRetryCount_; }
  void SetLockRetryCount(uint8_t count);
  uint16_t LockWaitTime() const { return lockWaitTime_; }
  void SetLockWaitTime(uint16_t milliseconds);
  TLockProtocol LockProtocol() const { return lockProtocol_; }
  void SetLockProtocol(TLockProtocol protocol);
  bool ForceBufferFlush() const { return forceBufferFlush_; }
  void SetForceBufferFlush(bool force);
  bool StrictChangeDetection() const { return strictChangeDetection_; }
  void SetStrictChangeDetection(bool strict);
  const std::string& PrivateDir() const { return privateDir_; }
  void SetPrivateDir(std::string_view path);
  uint16_t ProgressSteps() const { return progressSteps_; }
  // Values above 100 are ignored.
  void SetProgressSteps(uint16_t steps);

  TSessionType SessionType() const { return sessionType_; }
  void SetSessionType(TSessionType type);
  TRemoteType RemoteType() const { return remoteType_; }
  void SetRemoteType(TRemoteType type);
  const std::string& RemoteHost() const { return remoteHost_; }
  void SetRemoteHost(std::string_view host);
  const std::string& RemoteAddress() const { return remoteAddress_; }
  void SetRemoteAddress(std::string_view address);
  uint16_t RemotePort() const { return remotePort_; }
  void SetRemotePort(uint16_t port);
  const std::string& RemoteService() const { return remoteService_; }
  void SetRemoteService(std::string_view service);
  bool RemoteTrace() const { return remoteTrace_; }
  void SetRemoteTrace(bool trace);
  const std::string& RemoteUser() const { return remoteUser_; }
  void SetRemoteUser(std::string_view user);
  const std::string& RemotePassword() const { return remotePassword_; }
  void SetRemotePassword(std::string_view password);

  // Always "3.12"; what is assigned is ignored.
  std::string EngineVersion() const { return kEngineVersion; }
  void SetEngineVersion(std::string_view) {}

  TStartupEvent OnStartup;
  TPasswordEvent OnPassword;
  TRemoteLoginEvent OnRemoteLogin;
  TRemoteTraceEvent OnRemoteTrace;

  // The engine session while active, else null.
  TDataSession* DataSession() const { return engine_; }

  // ---- Databases ------------------------------------------------------------

  size_t DatabaseCount() const { return databases_.size(); }
  TLedraDatabase& Databases(size_t index) const { return *databases_.at(index); }
  // The database of this session whose DatabaseName equals the name without
  // regard to case, or null.
  TLedraDatabase* FindDatabase(std::string_view name) const;
  // The database a dataset works in: an existing one of that name (one
  // owned by `owner` with HandleShared first) or a temporary one made for
  // it; opened, with one reference more.
  TLedraDatabase& OpenDatabase(std::string_view name, TLedraComponent* owner = nullptr);
  // One reference less; the last one closes a program-made database and
  // frees a temporary one, unless it keeps its connection.
  void CloseDatabase(TLedraDatabase& database);

  // ---- Passwords (each cut to 255 characters) --------------------------------
  // The session's list lives in its engine session; the session is activated
  // for them.

  void AddPassword(std::string_view password);
  void RemovePassword(std::string_view password);
  void RemoveAllPasswords();
  bool HasPassword(std::string_view password) const;
  size_t PasswordCount() const;
  // What a cursor's password callback answers: OnPassword when assigned,
  // else the installed prompt, else false.
  bool AskPassword();

 private:
  friend class TLedraSessionList;
  friend class TLedraDatabase;
  friend class TSessionLock;

  TLedraSession(TLedraComponent* owner, bool isDefault);
  void Activate();
  void Deactivate();
  void CheckInactive() const;
  void AddDatabase(TLedraDatabase& database);
  void RemoveDatabase(TLedraDatabase& database);
  void FreeTemporary(TLedraDatabase& database);
  // The automatic name "%s_%d" from the lowest free number.
  void MakeAutoName();
  void ReleaseAutoNumber();
  // Passes a setting on under the lock when active.
  template <class F>
  void Pass(F&& apply);

  bool isDefault_;
  int lockCount_ = 0;
  TDataSession* engine_ = nullptr;
  std::unique_ptr<TDataSession> ownEngine_;
  std::vector<TLedraDatabase*> databases_;
  std::vector<std::unique_ptr<TLedraDatabase>> temporaries_;
  bool deactivating_ = false;
  int autoNumber_ = 0;  // 0: none

  std::string sessionName_;
  bool autoSessionName_ = false;
  bool keepConnections_ = true;
  uint8_t lockRetryCount_ = 15;
  uint16_t lockWaitTime_ = 100;
  TLockProtocol lockProtocol_ = lpPessimistic;
  bool forceBufferFlush_ = false;
  bool strictChangeDetection_ = false;
  std::string privateDir_;
  uint16_t progressSteps_ = 20;
  TSessionType sessionType_ = stLocal;
  TRemoteType remoteType_ = rtLAN;
  std::string remoteHost_;
  std::string remoteAddress_ = "127.0.0.1";
  uint16_t remotePort_ = 12005;
  std::string remoteService_;
  bool remoteTrace_ = false;
  std::string remoteUser_;
  std::string remotePassword_;
  // Handed to the engine session at activation, in this order.
  uint32_t bufferLimits_[5] = {16384, 8192, 16384, 32768, 8192};
};

}  // namespace ledra
