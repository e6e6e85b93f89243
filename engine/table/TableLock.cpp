#include "engine/table/TableLock.h"

#include <exception>

#include "engine/errors/EngineError.h"
#include "engine/table/DataSession.h"
#include "engine/files/FileHandler.h"
#include "platform/System.h"

namespace ledra {

namespace {

// A range held for a scope: unlocked again unless dismissed. Keeps a failed
// multi-range lock from leaving its first ranges behind.
class TRangeGuard {
 public:
  TRangeGuard() = default;
  ~TRangeGuard() {
    if (file_ != nullptr) file_->LockRegion(false, offset_, length_);
  }
  TRangeGuard(const TRangeGuard&) = delete;
  TRangeGuard& operator=(const TRangeGuard&) = delete;

  void Arm(TFileHandler& file, uint64_t offset, uint64_t length) {
    file_ = &file;
    offset_ = offset;
    length_ = length;
  }
  void Dismiss() { file_ = nullptr; }

 private:
  TFileHandler* file_ = nullptr;
  uint64_t offset_ = 0;
  uint64_t length_ = 0;
};

}  // namespace

// ---- Helpers ------------------------------------------------------------------

bool TTableLock::Bypassed() const {
  return host_.LockExclusive() || host_.LockReadOnlyAttribute();
}

bool TTableLock::AnyReadOrWriteHeld() const {
  return read_.held || statement_.held || write_.held || transaction_.held;
}

uint32_t TTableLock::Attempts() const {
  const uint32_t attempts = host_.LockSettings().TableLockAttempts;
  return attempts == 0 ? 1 : attempts;
}

bool TTableLock::LockWithRetry(TFileHandler& file, uint64_t offset, uint64_t length) const {
  const uint32_t attempts = Attempts();
  for (uint32_t attempt = 0; attempt < attempts; ++attempt) {
    if (attempt != 0) platform::SleepMs(kTableLockRetryMs);
    if (file.LockRegion(true, offset, length)) return true;
  }
  return false;
}

uint32_t TTableLock::LockReadByte(TFileHandler& file) const {
  const uint32_t attempts = Attempts();
  for (uint32_t attempt = 0; attempt < attempts; ++attempt) {
    if (attempt != 0) platform::SleepMs(kTableLockRetryMs);
    // A byte another reader drew too is refused; the next attempt draws anew.
    const uint32_t r = platform::RandomBelow(kReadByteCount) + 1;
    if (file.LockRegion(true, ReadByteOffset(r), 1)) return r;
  }
  return 0;
}

void TTableLock::GrowRecordSets() {
  const int32_t slots = host_.LockRecordSlots();
  const uint32_t size = slots > 0 ? uint32_t(slots) + 1 : 1;
  locked_.Grow(size);
  cursorLocked_.Grow(size);
  pending_.Grow(size);
}

void TTableLock::Raise(uint16_t code) const {
  RaiseTableError(code, host_.LockTableName());
}

// ---- Read locks -----------------------------------------------------------------

bool TTableLock::AcquireRead(TReadLock& lock) {
  if (Bypassed() || AnyReadOrWriteHeld()) return false;

  TFileHandler& index = host_.LockIndexFile();
  const uint32_t indexR = LockReadByte(index);
  if (indexR == 0) Raise(LEDRA_LOCKTIMEOUT);
  TRangeGuard indexByte;
  indexByte.Arm(index, ReadByteOffset(indexR), 1);

  uint32_t blobR = 0;
  if (TFileHandler* blob = host_.LockBlobFile()) {
    blobR = LockReadByte(*blob);
    if (blobR == 0) Raise(LEDRA_LOCKTIMEOUT);
  }
  indexByte.Dismiss();
  lock.held = true;
  lock.indexR = indexR;
  lock.blobR = blobR;

  try {
    return host_.DetectChanges();
  } catch (...) {
    // The caller never sees this lock: give it back before passing the
    // error on.
    UnlockRead(lock);
    throw;
  }
}

bool TTableLock::UnlockRead(TReadLock& lock) {
  if (!lock.held) return true;
  if (lock.blobR != 0) {
    TFileHandler* blob = host_.LockBlobFile();
    if (blob != nullptr && !blob->LockRegion(false, ReadByteOffset(lock.blobR), 1)) return false;
    lock.blobR = 0;
  }
  if (lock.indexR != 0) {
    if (!host_.LockIndexFile().LockRegion(false, ReadByteOffset(lock.indexR), 1)) return false;
    lock.indexR = 0;
  }
  lock.held = false;
  return true;
}

bool TTableLock::AcquireReadLock() {
  return AcquireRead(read_);
}

void TTableLock::ReleaseReadLock() {
  if (!UnlockRead(read_)) Raise(LEDRA_UNLOCKFAILED);
}

bool TTableLock::AcquireStatementReadLock() {
  return AcquireRead(statement_);
}

void TTableLock::ReleaseStatementReadLock() {
  if (!UnlockRead(statement_)) Raise(LEDRA_UNLOCKFAILED);
}

// ---- Write lock -----------------------------------------------------------------

bool TTableLock::AcquireWriteLock() {
  if (Bypassed() || write_.held) return false;
  // Our own read byte would refuse our own write region.
  if (read_.held) ReleaseReadLock();

  TFileHandler& data = host_.LockDataFile();
  TFileHandler& index = host_.LockIndexFile();
  TFileHandler* blob = host_.LockBlobFile();
  const bool takeDataByte = !transaction_.held;

  TRangeGuard dataByte;
  if (takeDataByte) {
    if (!LockWithRetry(data, kWriteByteOffset, 1)) Raise(LEDRA_LOCKTIMEOUT);
    dataByte.Arm(data, kWriteByteOffset, 1);
  }
  TRangeGuard indexRegion;
  if (!LockWithRetry(index, kWriteRegionOffset, kWriteRegionLength)) Raise(LEDRA_LOCKTIMEOUT);
  indexRegion.Arm(index, kWriteRegionOffset, kWriteRegionLength);
  if (blob != nullptr && !LockWithRetry(*blob, kWriteRegionOffset, kWriteRegionLength)) {
    Raise(LEDRA_LOCKTIMEOUT);
  }
  dataByte.Dismiss();
  indexRegion.Dismiss();
  write_ = TWriteLock{true, takeDataByte, true, blob != nullptr};

  if (transaction_.held) return false;
  try {
    return host_.DetectChanges();
  } catch (...) {
    UnlockWrite();
    throw;
  }
}

bool TTableLock::UnlockWrite() {
  if (!write_.held) return true;
  if (write_.blobRegion) {
    TFileHandler* blob = host_.LockBlobFile();
    if (blob != nullptr && !blob->LockRegion(false, kWriteRegionOffset, kWriteRegionLength)) {
      return false;
    }
    write_.blobRegion = false;
  }
  if (write_.indexRegion) {
    if (!host_.LockIndexFile().LockRegion(false, kWriteRegionOffset, kWriteRegionLength)) {
      return false;
    }
    write_.indexRegion = false;
  }
  if (write_.dataByte) {
    if (!host_.LockDataFile().LockRegion(false, kWriteByteOffset, 1)) return false;
    write_.dataByte = false;
  }
  write_.held = false;
  return true;
}

void TTableLock::ReleaseWriteLock() {
  if (!UnlockWrite()) Raise(LEDRA_LOCKTIMEOUT);
}

// ---- Transaction lock ---------------------------------------------------------

bool TTableLock::AcquireTransactionLock() {
  if (host_.LockReadOnlyAttribute() || transaction_.held) return false;
  if (host_.LockExclusive()) {
    transaction_ = TTransactionLock{.held = true, .dataByte = false};
    return false;
  }
  bool fromWriteLock = false;
  if (write_.held && write_.dataByte) {
    // The write lock holds the byte already: the transaction takes it over.
    write_.dataByte = false;
    fromWriteLock = true;
  } else if (!LockWithRetry(host_.LockDataFile(), kWriteByteOffset, 1)) {
    Raise(LEDRA_LOCKTIMEOUT);
  }
  transaction_ = TTransactionLock{.held = true, .dataByte = true};
  try {
    return host_.DetectChanges();
  } catch (...) {
    if (fromWriteLock) {
      write_.dataByte = true;
    } else {
      host_.LockDataFile().LockRegion(false, kWriteByteOffset, 1);
    }
    transaction_ = TTransactionLock{};
    throw;
  }
}

void TTableLock::ReleaseTransactionLock() {
  if (!transaction_.held) return;
  if (transaction_.dataByte) {
    if (write_.held && !write_.dataByte) {
      // A write lock still in force keeps the byte.
      write_.dataByte = true;
    } else if (!host_.LockDataFile().LockRegion(false, kWriteByteOffset, 1)) {
      Raise(LEDRA_LOCKTIMEOUT);
    }
  }
  transaction_ = TTransactionLock{};
}

// ---- Record locks -------------------------------------------------------------

bool TTableLock::LockRecord(int32_t recordNo) {
  if (Bypassed()) return false;
  if (recordNo <= 0 || recordNo > kMaxLockableRecord) Raise(LEDRA_RECLOCKFAILED);
  GrowRecordSets();
  const uint32_t n = uint32_t(recordNo);
  if (transaction_.held && locked_.Contains(n)) {
    // Locked again before the transaction ended: it must stay locked at the
    // end, so its deferred unlock is cancelled.
    pending_.Clear(n);
    return false;
  }

  bool changed = false;
  const TDataSessionSettings& settings = host_.LockSettings();
  if (!settings.StrictChangeDetection) changed = AcquireReadLock();

  TFileHandler& data = host_.LockDataFile();
  uint32_t failures = 0;
  while (!data.LockRegion(true, RecordLockOffset(recordNo), 1)) {
    if (++failures > settings.LockRetryCount) Raise(LEDRA_RECLOCKFAILED);
    platform::SleepMs(settings.LockWaitTime);
  }
  locked_.Set(n);
  pending_.Clear(n);
  return changed;
}

void TTableLock::UnlockRecord(int32_t recordNo) {
  if (Bypassed()) return;
  if (recordNo > 0) {
    const uint32_t n = uint32_t(recordNo);
    if (transaction_.held) {
      pending_.Set(n);
      return;
    }
    if (locked_.Contains(n) &&
        host_.LockDataFile().LockRegion(false, RecordLockOffset(recordNo), 1)) {
      locked_.Clear(n);
      pending_.Clear(n);
      return;
    }
  }
  Raise(LEDRA_UNLOCKFAILED);
}

void TTableLock::UnlockRecords(bool pendingOnly) {
  for (uint32_t n = locked_.NextSet(0); n != 0; n = locked_.NextSet(n)) {
    if (pendingOnly && !pending_.Contains(n)) continue;
    UnlockRecord(int32_t(n));
  }
}

bool TTableLock::LockRecordForCursor(int32_t recordNo) {
  if (Bypassed()) return false;
  if (recordNo > 0 && cursorLocked_.Contains(uint32_t(recordNo))) Raise(LEDRA_RECLOCKFAILED);
  const bool changed = LockRecord(recordNo);
  cursorLocked_.Set(uint32_t(recordNo));
  return changed;
}

void TTableLock::UnlockRecordForCursor(int32_t recordNo) {
  if (Bypassed()) return;
  if (recordNo > 0) cursorLocked_.Clear(uint32_t(recordNo));
  UnlockRecord(recordNo);
}

// ---- Closing ------------------------------------------------------------------

void TTableLock::ReleaseAll() noexcept {
  // Every range is tried on its own; whatever does not unlock goes with the
  // file handle.
  TFileHandler& data = host_.LockDataFile();
  TFileHandler& index = host_.LockIndexFile();
  TFileHandler* blob = host_.LockBlobFile();
  for (uint32_t n = locked_.NextSet(0); n != 0; n = locked_.NextSet(n)) {
    data.LockRegion(false, RecordLockOffset(int32_t(n)), 1);
  }
  for (const TReadLock* lock : {&read_, &statement_}) {
    if (lock->blobR != 0 && blob != nullptr)
      blob->LockRegion(false, ReadByteOffset(lock->blobR), 1);
    if (lock->indexR != 0) index.LockRegion(false, ReadByteOffset(lock->indexR), 1);
  }
  if (write_.blobRegion && blob != nullptr) {
    blob->LockRegion(false, kWriteRegionOffset, kWriteRegionLength);
  }
  if (write_.indexRegion) index.LockRegion(false, kWriteRegionOffset, kWriteRegionLength);
  if (write_.dataByte || transaction_.dataByte) data.LockRegion(false, kWriteByteOffset, 1);

  locked_.ClearAll();
  pending_.ClearAll();
  cursorLocked_.ClearAll();
  read_ = TReadLock{};
  statement_ = TReadLock{};
  write_ = TWriteLock{};
  transaction_ = TTransactionLock{};
}

void TTableLock::ClearRandomNumbers() {
  if (!read_.held) read_ = TReadLock{};
  if (!statement_.held) statement_ = TReadLock{};
}

// ---- Read lock guard ------------------------------------------------------------

TTableReadLockGuard::TTableReadLockGuard(TTableLock& lock) : lock_(lock) {
  const bool heldBefore = lock_.ReadLockHeld();
  changed_ = lock_.AcquireReadLock();
  owns_ = !heldBefore && lock_.ReadLockHeld();
}

TTableReadLockGuard::~TTableReadLockGuard() {
  if (!owns_) return;
  try {
    lock_.ReleaseReadLock();
  } catch (...) {
    // Left flagged; the table's close releases it.
  }
}

void TTableReadLockGuard::Release() {
  if (!owns_) return;
  owns_ = false;
  lock_.ReleaseReadLock();
}

}  // namespace ledra
