#include "engine/table/DataSession.h"

#include <algorithm>
#include <exception>

#include "engine/errors/EngineError.h"
#include "engine/table/DataDirectory.h"
#include "engine/files/TableFileNames.h"
#include "platform/File.h"

namespace ledra {

namespace {

constexpr std::string_view kMemoryDatabase = "Memory";
constexpr size_t kPasswordCapacity = 255;

bool SameTextIgnoringAsciiCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    char x = a[i] >= 'a' && a[i] <= 'z' ? char(a[i] - 32) : a[i];
    char y = b[i] >= 'a' && b[i] <= 'z' ? char(b[i] - 32) : b[i];
    if (x != y) return false;
  }
  return true;
}

std::string KeptPassword(std::string_view password) {
  return std::string(password.substr(0, std::min(password.size(), kPasswordCapacity)));
}

}  // namespace

TDataSession::TDataSession(bool remote, std::string serverName)
    : remote_(remote), serverName_(std::move(serverName)) {
  startDirectory_ = platform::IncludeTrailingSeparator(platform::GetCurrentDir());
  privateDir_ = platform::IncludeTrailingSeparator(platform::GetTempDir());
}

TDataSession::~TDataSession() {
  // Each directory rolls back and closes its tables as it goes.
  while (!directories_.empty()) directories_.pop_back();
  passwords_.clear();
}

void TDataSession::CheckLocal() const {
  if (remote_) RaiseEngineError(LEDRA_REMOTECONNECT, {.Server = serverName_});
}

// ---- Directories ----------------------------------------------------------------

TDataDirectory& TDataSession::OpenDirectory(std::string_view databaseName, std::string_view path) {
  CheckLocal();
  std::string trimmed = TrimBlanks(path);
  std::string directoryPath;
  if (SameTextIgnoringAsciiCase(TrimBlanks(databaseName), kMemoryDatabase)) {
    directoryPath = platform::IncludeTrailingSeparator(trimmed);
  } else {
    directoryPath = trimmed.empty() ? startDirectory_ : platform::IncludeTrailingSeparator(trimmed);
  }
  for (const auto& directory : directories_) {
    if (SameTextIgnoringAsciiCase(TrimBlanks(directory->Path()), TrimBlanks(directoryPath))) {
      directory->AddUse();
      return *directory;
    }
  }
  directories_.push_back(
      std::make_unique<TDataDirectory>(*this, std::string(databaseName), directoryPath));
  directories_.back()->AddUse();
  return *directories_.back();
}

void TDataSession::ReleaseDirectory(TDataDirectory& directory) {
  CheckLocal();
  auto found = std::find_if(directories_.begin(), directories_.end(),
                            [&](const auto& held) { return held.get() == &directory; });
  if (found == directories_.end()) return;
  if (!directory.ReleaseUse()) return;
  // Out of the list first: closing its tables must not find it half gone.
  std::unique_ptr<TDataDirectory> released = std::move(*found);
  directories_.erase(found);
  // Closing writes what the exclusive tables have only marked; a failure
  // of that write is raised here, once everything is released.
  std::exception_ptr failure;
  try {
    released->CloseAllTables();
  } catch (...) {
    failure = std::current_exception();
  }
  released.reset();
  if (failure) std::rethrow_exception(failure);
}

void TDataSession::SetPrivateDir(std::string_view path) {
  CheckLocal();
  std::string trimmed = TrimBlanks(path);
  privateDir_ = trimmed.empty() ? std::string() : platform::IncludeTrailingSeparator(trimmed);
}

std::string TDataSession::PrivateDirectory() const {
  return privateDir_.empty() ? startDirectory_ : privateDir_;
}

// ---- Passwords ------------------------------------------------------------------

void TDataSession::AddPassword(std::string_view password) {
  CheckLocal();
  if (password.empty() || HasPassword(password)) return;
  passwords_.push_back(KeptPassword(password));
}

void TDataSession::RemovePassword(std::string_view password) {
  CheckLocal();
  const std::string kept = KeptPassword(password);
  std::erase(passwords_, kept);
}

void TDataSession::RemoveAllPasswords() {
  CheckLocal();
  passwords_.clear();
}

bool TDataSession::HasPassword(std::string_view password) const {
  CheckLocal();
  const std::string kept = KeptPassword(password);
  return std::find(passwords_.begin(), passwords_.end(), kept) != passwords_.end();
}

// ---- Settings -------------------------------------------------------------------

void TDataSession::SetSettings(const TDataSessionSettings& settings) {
  CheckLocal();
  settings_ = settings;
}

void TDataSession::SetProgressSteps(uint16_t steps) {
  CheckLocal();
  settings_.ProgressSteps = steps;
}

void TDataSession::SetForceBufferFlush(bool force) {
  CheckLocal();
  settings_.ForceBufferFlush = force;
}

void TDataSession::SetStrictChangeDetection(bool strict) {
  CheckLocal();
  settings_.StrictChangeDetection = strict;
}

void TDataSession::SetLockRetryCount(uint8_t count) {
  CheckLocal();
  settings_.LockRetryCount = count;
}

void TDataSession::SetLockWaitTime(uint16_t milliseconds) {
  CheckLocal();
  settings_.LockWaitTime = milliseconds;
}

void TDataSession::SetLockProtocol(uint8_t protocol) {
  CheckLocal();
  settings_.LockProtocol = protocol;
}

void TDataSession::SetBufferLimits(uint32_t recordCacheBytes, uint32_t recordCacheCount,
                                   uint32_t thirdBufferLimit, uint32_t blobCacheBytes,
                                   uint32_t blobCacheCount) {
  CheckLocal();
  settings_.RecordCacheBytes = recordCacheBytes;
  settings_.RecordCacheCount = recordCacheCount;
  settings_.ThirdBufferLimit = thirdBufferLimit;
  settings_.BlobCacheBytes = blobCacheBytes;
  settings_.BlobCacheCount = blobCacheCount;
}

void TDataSession::SetTableLockAttempts(uint32_t attempts) {
  CheckLocal();
  settings_.TableLockAttempts = attempts;
}

}  // namespace ledra
