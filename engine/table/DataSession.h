// The engine session: settings, passwords and the database directories in use.
//
// One TDataSession stands behind each session of the component layer. It
// owns its directories (TDataDirectory), which own the tables open in them
// (TDataTable). A session carries no lock of its own: it, its directories,
// tables and cursors are used by one thread at a time. Sessions share the
// process-wide file registry and, through the byte-range locks of the table
// files, coordinate with each other exactly as with other processes.
//
// A remote session would forward every request to a database server; this
// engine has no client for one, so a session made remote refuses every
// operation with LEDRA_REMOTECONNECT naming its server.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "engine/table/TableLock.h"

namespace ledra {

class TDataDirectory;

struct TDataSessionSettings {
  // Progress reports over a long operation: 100 div ProgressSteps percent
  // apart.
  uint16_t ProgressSteps = 20;
  // Flush the system's buffers after each write.
  bool ForceBufferFlush = false;
  // Every cursor operation takes the read lock and re-reads the headers.
  bool StrictChangeDetection = false;
  // Record locks: attempts after the first, and milliseconds between them.
  uint8_t LockRetryCount = 15;
  uint16_t LockWaitTime = 100;
  // 0 pessimistic (lock when editing begins), anything else optimistic.
  uint8_t LockProtocol = 0;
  // Byte budget and record limit of a table's record cache (the byte budget
  // also sizes the index page cache).
  uint32_t RecordCacheBytes = 16384;
  uint32_t RecordCacheCount = 8192;
  // Kept with the others; the engine does not consult it.
  uint32_t ThirdBufferLimit = 16384;
  // Byte budget and block limit of a table's blob block cache.
  uint32_t BlobCacheBytes = 32768;
  uint32_t BlobCacheCount = 8192;
  // Attempts at a read byte, write byte or write region before
  // LEDRA_LOCKTIMEOUT, kTableLockRetryMs apart. Not a session property of
  // the component layer: only tests lower it.
  uint32_t TableLockAttempts = kTableLockAttempts;
};

// The lock protocol values of `LockProtocol`.
inline constexpr uint8_t kLockPessimistic = 0;

class TDataSession {
 public:
  // A local session records the current directory as its start directory.
  // A remote one refuses every operation (see above).
  explicit TDataSession(bool remote = false, std::string serverName = {});
  // Destroys the directories, which roll back their transactions and close
  // their tables.
  ~TDataSession();
  TDataSession(const TDataSession&) = delete;
  TDataSession& operator=(const TDataSession&) = delete;

  bool Remote() const { return remote_; }
  const std::string& ServerName() const { return serverName_; }

  // ---- Directories -------------------------------------------------------

  // The directory of a database, shared by every open of the same path in
  // this session; its use count goes up by one. The "Memory" database (any
  // case) lives at the given path or none; any other database at the given
  // path, or at the start directory when none is given. Paths end with the
  // separator.
  TDataDirectory& OpenDirectory(std::string_view databaseName, std::string_view path);
  // One use less; the last one destroys the directory (rolling back its
  // transaction and closing its tables). A failure of that (a table that
  // could not write what it had marked) is raised after the directory is
  // gone, its tables closed and their locks released.
  void ReleaseDirectory(TDataDirectory& directory);
  size_t DirectoryCount() const { return directories_.size(); }
  TDataDirectory& Directory(size_t index) const { return *directories_.at(index); }

  // The current directory when the session was made, ending with the
  // separator.
  const std::string& StartDirectory() const { return startDirectory_; }
  // The directory for the session's private temporary files; the system's
  // temporary directory until set. Empty stands for the start directory.
  const std::string& PrivateDir() const { return privateDir_; }
  void SetPrivateDir(std::string_view path);
  // The private directory as used: never empty, ends with the separator.
  std::string PrivateDirectory() const;

  // ---- Passwords ---------------------------------------------------------
  // Compared exactly, case included; at most 255 characters are kept.

  void AddPassword(std::string_view password);
  void RemovePassword(std::string_view password);
  void RemoveAllPasswords();
  bool HasPassword(std::string_view password) const;
  size_t PasswordCount() const { return passwords_.size(); }

  // ---- Settings ----------------------------------------------------------

  const TDataSessionSettings& Settings() const { return settings_; }
  void SetSettings(const TDataSessionSettings& settings);
  void SetProgressSteps(uint16_t steps);
  void SetForceBufferFlush(bool force);
  void SetStrictChangeDetection(bool strict);
  void SetLockRetryCount(uint8_t count);
  void SetLockWaitTime(uint16_t milliseconds);
  void SetLockProtocol(uint8_t protocol);
  // The five buffer limits, in the order the component layer sets them.
  void SetBufferLimits(uint32_t recordCacheBytes, uint32_t recordCacheCount,
                       uint32_t thirdBufferLimit, uint32_t blobCacheBytes, uint32_t blobCacheCount);
  void SetTableLockAttempts(uint32_t attempts);

  // Raises LEDRA_REMOTECONNECT for a remote session; nothing otherwise.
  void CheckLocal() const;

 private:
  bool remote_;
  std::string serverName_;
  std::string startDirectory_;
  std::string privateDir_;
  std::vector<std::string> passwords_;
  TDataSessionSettings settings_;
  std::vector<std::unique_ptr<TDataDirectory>> directories_;
};

}  // namespace ledra
