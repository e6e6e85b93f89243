// A database of the component layer: one directory of tables (or the
// in-memory tables, "Memory") in one session.
//
// The program may make databases of its own; a session makes temporary ones
// when a dataset names a database (or a directory) that no database of the
// session has. Connected exactly while it holds its engine directory
// (TDataDirectory). It lists the datasets open on it but owns none.
#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "components/LedraComponent.h"
#include "engine/table/DataDirectory.h"

namespace ledra {

class TLedraSession;
class TLedraDBDataSet;

class TLedraDatabase : public TLedraComponent {
 public:
  using TBeforeConnectEvent = std::function<void(TLedraDatabase& database)>;

  // A database of the program, listed in the default session until it opens
  // in the session its SessionName names.
  explicit TLedraDatabase(TLedraComponent* owner = nullptr);
  // Closes it; never raises.
  ~TLedraDatabase() override;

  const std::string& DatabaseName() const { return databaseName_; }
  void SetDatabaseName(std::string_view name);
  const std::string& Directory() const { return directory_; }
  void SetDirectory(std::string_view directory);
  const std::string& RemoteDatabase() const { return remoteDatabase_; }
  void SetRemoteDatabase(std::string_view name);
  const std::string& SessionName() const { return sessionName_; }
  void SetSessionName(std::string_view name);
  bool KeepConnection() const { return keepConnection_; }
  void SetKeepConnection(bool keep) { keepConnection_ = keep; }
  bool HandleShared() const { return handleShared_; }
  void SetHandleShared(bool shared) { handleShared_ = shared; }
  std::string EngineVersion() const { return "3.12"; }
  void SetEngineVersion(std::string_view) {}
  TBeforeConnectEvent BeforeConnect;

  bool Connected() const { return handle_ != nullptr; }
  void SetConnected(bool connected);
  void Open();
  // Closes every dataset open on it (newest first), then gives back the
  // engine directory.
  void Close();

  // The session it is listed in.
  TLedraSession& Session() const { return *session_; }
  // The engine directory while connected, else null.
  TDataDirectory* Handle() const { return handle_; }
  bool Temporary() const { return temporary_; }
  int RefCount() const { return refCount_; }
  size_t DataSetCount() const { return dataSets_.size(); }
  TLedraDBDataSet& DataSets(size_t index) const { return *dataSets_.at(index); }

  // "Cannot perform this operation on a closed database." when closed.
  void CheckActive() const;

 private:
  friend class TLedraSession;
  friend class TLedraDBDataSet;

  TLedraDatabase(TLedraSession& session, TLedraComponent* owner, bool temporary);
  void CheckInactive() const;
  void AddDataSet(TLedraDBDataSet& dataSet);
  void RemoveDataSet(TLedraDBDataSet& dataSet);

  TLedraSession* session_;
  TDataDirectory* handle_ = nullptr;
  bool temporary_ = false;
  int refCount_ = 0;
  std::vector<TLedraDBDataSet*> dataSets_;

  std::string databaseName_;
  std::string directory_;
  std::string remoteDatabase_;
  std::string sessionName_;
  bool keepConnection_ = true;
  bool handleShared_ = false;
};

// A name holds a path when it holds the platform's directory separator.
bool NameContainsPath(std::string_view name);

}  // namespace ledra
