// Shared support of the open-table, lock-protocol and session tests: a second
// process that runs a scripted body in step with the test, a standard table
// definition, and a cache client that takes the table's read lock.
#pragma once

#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstring>
#include <exception>
#include <fstream>
#include <functional>
#include <iterator>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "engine/errors/EngineError.h"
#include "engine/files/Bytes.h"
#include "engine/table/DataDirectory.h"
#include "engine/table/DataSession.h"
#include "engine/table/DataTable.h"
#include "engine/files/RecordCache.h"
#include "engine/table/TableDefinition.h"
#include "platform/System.h"
#include "tests/engine/files/FileLayerTestSupport.h"

namespace ledra::test {

// A second process running `body` in step with the test. Messages go both
// ways through pipes; every wait has a timeout, and a child that is still
// running when the object goes is killed, so a failing test never hangs.
//
// Fork the child before the test opens any table file: the child then
// starts with an empty file registry and opens its own, competing handles.
class TTestChild {
 public:
  static constexpr int kTimeoutMs = 5000;
  using Body = std::function<void(TTestChild& self)>;

  explicit TTestChild(const Body& body) {
    int toChild[2], toParent[2];
    if (::pipe(toChild) != 0 || ::pipe(toParent) != 0) return;
    pid_ = ::fork();
    if (pid_ == 0) {
      ::close(toChild[1]);
      ::close(toParent[0]);
      readFd_ = toChild[0];
      writeFd_ = toParent[1];
      // The child starts with the parent's random state; two real processes
      // start with their own, so the child's read numbers move on.
      for (int i = 0; i < 101; ++i) platform::RandomBelow(65535);
      try {
        body(*this);
      } catch (const std::exception& error) {
        Send(kCrashed + ErrorCodeOf(error));
      }
      ::_exit(0);  // no destructors of the parent's objects; files close with the process
    }
    ::close(toChild[0]);
    ::close(toParent[1]);
    writeFd_ = toChild[1];
    readFd_ = toParent[0];
  }
  ~TTestChild() {
    if (writeFd_ >= 0) ::close(writeFd_);
    if (readFd_ >= 0) ::close(readFd_);
    if (pid_ > 0) {
      for (int waited = 0; waited < kTimeoutMs; waited += 10) {
        if (::waitpid(pid_, nullptr, WNOHANG) == pid_) return;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
      }
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
  }
  TTestChild(const TTestChild&) = delete;
  TTestChild& operator=(const TTestChild&) = delete;

  bool Started() const { return pid_ > 0; }

  // Either side: a number, or a text, to the other side.
  void Send(uint32_t value) { WriteAll(&value, sizeof value); }
  void SendText(const std::string& text) {
    Send(uint32_t(text.size()));
    WriteAll(text.data(), text.size());
  }
  // Either side: the next number (none on timeout or when the other side
  // has gone).
  std::optional<uint32_t> Receive(int timeoutMs = kTimeoutMs) {
    uint32_t value = 0;
    if (!ReadAll(&value, sizeof value, timeoutMs)) return std::nullopt;
    return value;
  }
  std::optional<std::string> ReceiveText(int timeoutMs = kTimeoutMs) {
    std::optional<uint32_t> length = Receive(timeoutMs);
    if (!length || *length > (1u << 20)) return std::nullopt;
    std::string text(*length, '\0');
    if (!ReadAll(text.data(), text.size(), timeoutMs)) return std::nullopt;
    return text;
  }

  // The child's way to report an engine error it caught: kCrashed + code.
  static constexpr uint32_t kCrashed = 0x10000;

 private:
  void WriteAll(const void* data, size_t length) {
    const char* bytes = static_cast<const char*>(data);
    while (length > 0) {
      ssize_t written = ::write(writeFd_, bytes, length);
      if (written <= 0) return;
      bytes += written;
      length -= size_t(written);
    }
  }
  bool ReadAll(void* data, size_t length, int timeoutMs) {
    char* bytes = static_cast<char*>(data);
    while (length > 0) {
      pollfd ready{readFd_, POLLIN, 0};
      if (::poll(&ready, 1, timeoutMs) <= 0) return false;
      ssize_t got = ::read(readFd_, bytes, length);
      if (got <= 0) return false;
      bytes += got;
      length -= size_t(got);
    }
    return true;
  }

  pid_t pid_ = -1;
  int readFd_ = -1;
  int writeFd_ = -1;
};

inline TFieldDesc Field(uint16_t number, std::string name, uint8_t type, uint8_t size = 0,
                        uint8_t subType = 0) {
  TFieldDesc desc;
  desc.FieldNo = number;
  desc.FieldName = std::move(name);
  desc.FieldType = type;
  desc.Size = size;
  desc.SubType = subType;
  return desc;
}

// A table of four fields: Name (string 20, slot 9..30), Amount (integer,
// slot 31..35), Id (AutoInc: the row id), Born (date, slot 36..40); record
// size 41. Primary index on Id; a secondary index "ByName" on Name. With
// `blobs`, a fifth field Notes (memo, slot 41..49; record size 50).
inline TTableDefinition PeopleDefinition(bool blobs = false) {
  TTableDefinition definition;
  definition.Fields = {Field(1, "Name", fldString, 20), Field(2, "Amount", fldInteger),
                       Field(3, "Id", fldInteger, 0, kSubTypeAutoInc), Field(4, "Born", fldDate)};
  if (blobs) definition.Fields.push_back(Field(5, "Notes", fldBlob, 0, kSubTypeMemo));
  definition.PrimaryIndex.Fields = {3};
  TIndexDefinition byName;
  byName.Name = "ByName";
  byName.Fields = {1};
  definition.SecondaryIndexes.push_back(byName);
  return definition;
}

// Small lock waits for tests.
inline void UseQuickLocks(TDataSession& session) {
  session.SetLockRetryCount(2);
  session.SetLockWaitTime(10);
}

// Takes the table's read lock before the record cache reads from disk.
class TTableCacheClient final : public TRecordCacheClient {
 public:
  explicit TTableCacheClient(TDataTable& table) : table_(table) {}
  bool AcquireReadLockForFetch() override { return table_.AcquireReadLock(); }
  int32_t ReadAheadHint(int32_t, int, int32_t limit) override { return limit; }

 private:
  TDataTable& table_;
};

// Appends records whose Name is each given text and whose Amount is its
// position (1, 2, ...); the table must be open exclusively. Not flushed.
inline void AppendPeople(TDataTable& table, const std::vector<std::string>& names) {
  int32_t amount = 0;
  for (const std::string& name : names) {
    TRecord* record = table.RecordCache().NewRecordSlot(nullptr);
    uint8_t* image = record->MutableImage();
    image[9] = 1;
    std::memcpy(image + 10, name.data(), name.size());
    image[31] = 1;
    PutLE32(image + 32, uint32_t(++amount));
    record->MarkDirty();
    table.RecordCache().ReleaseRecord(record);
    table.IndexFile().IncLiveRecordCount();
  }
}

// Creates the people table in a directory with the given records and closes
// it again.
inline void CreatePeople(TDataDirectory& directory, std::string_view name,
                         const std::vector<std::string>& records, bool blobs = false) {
  TOpenTableResult created = directory.CreateTable(name, false, false, PeopleDefinition(blobs));
  if (created.Table == nullptr) throw std::runtime_error("table not created");
  AppendPeople(*created.Table, records);
  directory.CloseTable(*created.Table, false);
}

inline std::vector<uint8_t> FileBytes(const std::string& name) {
  std::ifstream in(name, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

inline int64_t MillisecondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                               start)
      .count();
}

}  // namespace ledra::test
