// A program dying at any write of a change: the verifier must report
// whatever the death left half done (a table that no longer opens counts as
// reported, and is printed), and repair must bring back a sound table whose
// records are those of before the change, with the changed record either
// wholly as it was or wholly as the change made it.
//
// Each change is run once in a child process on a copy of a prepared table,
// counting its writes; then, for every k, a child runs it on a fresh copy and
// dies (platform::ExitAtNth) right before its k-th write, and the test looks
// at what the files hold. The records are read from the slots, the truth that
// repair also starts from; blob values are read along their chains.
//
// Per change the test prints the writes, the deaths tried, the deaths whose
// table the verifier found damaged (or that would not open), and the deaths
// that repair mended; then, per death, what the next program found.
// A death may leave damage: the files have no journal, and a change writes
// several places. It must never leave damage the verifier does not report.
//
// The dying children are forked on POSIX. Windows has no fork: there each
// child is this test program started again with only DeathAtWrite.ChildRole
// selected, told by its environment which change to run on which copy, and
// before which write to die.
#include <gtest/gtest.h>

#ifdef _WIN32
#include <cstdlib>
#include <fstream>

#include "tests/support/StartProcess.h"
#else
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <iostream>
#include <map>
#include <memory>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "engine/cursor/DataCursor.h"
#include "engine/errors/EngineError.h"
#include "engine/files/Bytes.h"
#include "engine/table/DataDirectory.h"
#include "engine/table/DataSession.h"
#include "engine/table/DataTable.h"
#include "engine/table/TableRepair.h"
#include "platform/Diagnostics.h"
#include "tests/engine/cursor/CursorTestSupport.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/EngineErrors.h"
#include "tests/support/FieldBuilder.h"
#include "tests/support/TempDir.h"

namespace ledra {
namespace {

using platform::CallCount;
using platform::OsCall;

// ---- The parcels table ----------------------------------------------------------------
//
// Three indexes whose keys are all the same long length, so that pages hold
// few entries (16 per leaf) and the three trees split and merge at the same
// change; a memo in blocks of 46 bytes, so that a few hundred bytes make a
// chain of many blocks.

enum : int { kCode = 1, kTown = 2, kRegion = 3, kWeight = 4, kId = 5, kNote = 6 };
constexpr uint8_t kCodeSize = 200;
constexpr int32_t kBlockSize = 64;
constexpr char kTable[] = "Parcels";

TTableDefinition ParcelsDefinition() {
  TTableDefinition definition;
  definition.Fields = {test::MakeField(kCode, "Code", fldString, kCodeSize),
                       test::MakeField(kTown, "Town", fldString, kCodeSize - 4),
                       test::MakeField(kRegion, "Region", fldString, kCodeSize - 4),
                       test::MakeField(kWeight, "Weight", fldInteger),
                       test::MakeField(kId, "Id", fldInteger, 0, kSubTypeAutoInc),
                       test::MakeField(kNote, "Note", fldBlob, 0, kSubTypeMemo)};
  definition.PrimaryIndex.Fields = {kCode};
  TIndexDefinition byTown;
  byTown.Name = "ByTown";
  byTown.Fields = {kTown};
  TIndexDefinition byRegion;
  byRegion.Name = "ByRegion";
  byRegion.Fields = {kRegion};
  definition.SecondaryIndexes = {byTown, byRegion};
  definition.BlobBlockSize = kBlockSize;
  return definition;
}

std::string Numbered(char letter, int n) {
  char text[16];
  std::snprintf(text, sizeof text, "%c%05d", letter, n);
  return text;
}

void SetText(TDataCursor& cursor, uint8_t* image, int fieldNo, const std::string& text) {
  // The field's whole width, zero-padded.
  std::vector<uint8_t> value(size_t(kCodeSize) + 1, 0);
  std::memcpy(value.data(), text.data(), text.size());
  cursor.SetFieldValue(fieldNo, image, value.data(), false, false);
}

void SetWeight(TDataCursor& cursor, uint8_t* image, int32_t weight) {
  uint8_t value[4];
  PutLE32(value, uint32_t(weight));
  cursor.SetFieldValue(kWeight, image, value, false, false);
}

void SetNote(TDataCursor& cursor, uint8_t* image, size_t length, int seed) {
  std::vector<uint8_t> note(length);
  for (size_t i = 0; i < length; ++i) note[i] = uint8_t('a' + (i * 7 + size_t(seed)) % 26);
  uint32_t opened = 0;
  ASSERT_EQ(cursor.OpenBlob(kNote, image, opened, false, TBlobOpenMode::kWrite), 0);
  ASSERT_EQ(cursor.TruncateBlob(kNote, image, 0), 0);
  ASSERT_EQ(cursor.WriteBlob(kNote, image, 0, uint32_t(length), note.data()), 0);
}

// Parcel n: its code, town and region sort by n; its note takes 150 bytes
// (4 blocks) for even n and 400 (9 blocks) for odd n.
void PostParcel(TDataCursor& cursor, int n) {
  std::vector<uint8_t> image(cursor.RecordSize());
  cursor.InitRecordBuffer(image.data());
  SetText(cursor, image.data(), kCode, Numbered('C', n));
  SetText(cursor, image.data(), kTown, Numbered('T', n));
  SetText(cursor, image.data(), kRegion, Numbered('R', n));
  SetWeight(cursor, image.data(), n * 10);
  SetNote(cursor, image.data(), n % 2 == 0 ? 150 : 400, n);
  cursor.PostInsert(image.data(), false);
}

// Stands on the parcel with this code (primary order) and reads it into
// `image`; fails the test when there is none.
void GoTo(TDataCursor& cursor, const std::string& code, std::vector<uint8_t>& image) {
  image.assign(cursor.RecordSize(), 0);
  cursor.SetIndexNo(kPrimarySlot);
  cursor.MoveToStart();
  while (cursor.ReadNext(image.data()) == 0) {
    const char* stored = reinterpret_cast<const char*>(image.data() + 10);
    if (std::string(stored, strnlen(stored, kCodeSize)) == code) return;
  }
  FAIL() << "no parcel " << code;
}

void DeleteParcel(TDataCursor& cursor, int n) {
  std::vector<uint8_t> image;
  GoTo(cursor, Numbered('C', n), image);
  cursor.DeleteCurrent(image.data());
}

// The free pages of the primary index and its root, to see what a change did
// to the tree.
struct TTreeShape {
  int32_t Root = 0;
  int32_t FirstFree = 0;
  int32_t NextPage = 0;
};

TTreeShape ShapeOf(TDataTable& table) {
  const TIndexDesc desc = table.IndexFile().GetIndexDesc(kPrimarySlot);
  return {desc.RootPage, desc.FirstFreePage, table.IndexFile().NextPageNo()};
}

// ---- What a table holds ------------------------------------------------------------------

// The records of a table by row id: the slot's field bytes, with each blob
// field's reference replaced by the value its chain holds.
struct TTableState {
  std::map<int32_t, std::string> Records;
  // Why the records could not all be read; empty when they were.
  std::string Unreadable;
};

TTableState ReadState(TDataCursor& cursor) {
  TTableState state;
  TDataTable& table = cursor.Table();
  const int32_t slots = table.DataFile().RecordSlotCount();
  const size_t size = table.DataFile().RecordSize();
  const TFieldDesc note = cursor.GetFieldDesc(kNote);
  std::vector<uint8_t> images(size_t(slots) * size);
  try {
    TTableReadLockGuard readLock(table.Lock());
    if (slots > 0) table.DataFile().ReadSlots(1, slots, images.data());
    readLock.Release();
  } catch (const ELedraEngineError& error) {
    state.Unreadable = std::string("slots: ") + error.what();
    return state;
  }
  for (int32_t n = 1; n <= slots; ++n) {
    std::vector<uint8_t> image(images.begin() + ptrdiff_t(size_t(n - 1) * size),
                               images.begin() + ptrdiff_t(size_t(n) * size));
    if (image[0] != 0) continue;
    PutLE32(&image[1], uint32_t(n));
    std::string value;
    if (GetLE32(&image[note.Offset + 1]) != 0) {
      uint32_t length = 0;
      uint16_t result = 0;
      const TEngineErrorCode raised = test::ErrorCodeRaisedBy([&] {
        result = cursor.OpenBlob(kNote, image.data(), length, false, TBlobOpenMode::kRead);
      });
      if (raised != LEDRA_NONE || result != 0) {
        value = "<blob unreadable " + std::to_string(raised != LEDRA_NONE ? raised : result) + ">";
      } else {
        value.resize(length);
        uint32_t read = 0;
        result = cursor.ReadBlob(kNote, image.data(), 0, length,
                                 reinterpret_cast<uint8_t*>(value.data()), read);
        if (result != 0) value = "<blob short " + std::to_string(result) + ">";
        cursor.CloseBlob(kNote, image.data());
      }
    }
    std::memset(&image[note.Offset], 0, 1 + note.DataSize);
    const int32_t rowId = int32_t(GetLE32(&image[5]));
    if (state.Records.count(rowId) != 0) {
      state.Unreadable = "row id " + std::to_string(rowId) + " twice";
      return state;
    }
    state.Records[rowId] = std::string(image.begin() + 9, image.end()) + "|" + value;
  }
  return state;
}

// The records that are neither as before the change nor as after it, by
// row id; those of them that are one or the other but for an empty blob
// (a chain that repair had to cut) apart.
struct TMixed {
  std::vector<int32_t> Records;
  std::vector<int32_t> BlobLost;
};

TMixed MixedRecords(const TTableState& state, const TTableState& before, const TTableState& after) {
  TMixed mixed;
  auto valueIn = [](const TTableState& s, int32_t rowId) -> std::optional<std::string> {
    auto found = s.Records.find(rowId);
    if (found == s.Records.end()) return std::nullopt;
    return found->second;
  };
  // The slot's fields without the blob's value.
  auto fieldsOf = [](const std::optional<std::string>& value) -> std::optional<std::string> {
    if (!value) return std::nullopt;
    return value->substr(0, value->rfind('|') + 1);
  };
  std::map<int32_t, bool> rowIds;
  for (const auto* s : {&state, &before, &after}) {
    for (const auto& [rowId, value] : s->Records) rowIds[rowId] = true;
  }
  for (const auto& [rowId, unused] : rowIds) {
    const std::optional<std::string> now = valueIn(state, rowId);
    if (now == valueIn(before, rowId) || now == valueIn(after, rowId)) continue;
    const bool cut = now && now->back() == '|';
    if (cut && (fieldsOf(now) == fieldsOf(valueIn(before, rowId)) ||
                fieldsOf(now) == fieldsOf(valueIn(after, rowId)))) {
      mixed.BlobLost.push_back(rowId);
    } else {
      mixed.Records.push_back(rowId);
    }
  }
  return mixed;
}

// ---- The changes --------------------------------------------------------------------------

// A change as a program makes it: on a cursor over the table, open shared,
// in the table's directory (for transactions).
using TChange = std::function<void(TDataDirectory& directory, TDataCursor& cursor)>;

// The changes the matrix runs, by a number a child started again finds the
// same one by, with the one count of parcels a change depends on.
enum class TChangeId : int {
  kEditNonKey,
  kEditKeysSplitting,
  kBlobGrowing,
  kBlobShrinking,
  kInsertSplittingRoot,
  kDeleteMerging,
  kCommitMany,
  kCount
};

struct TChangeRef {
  TChangeId Id;
  int Parcels = 0;
};

std::string NameOf(TChangeId id);
TChange MakeChange(const TChangeRef& ref);

void OpenAndRun(const std::filesystem::path& path, const TChange& change,
                const std::function<void()>& armed) {
  TDataSession session;
  TDataDirectory& directory = session.OpenDirectory("Change", path.string());
  TDataCursor cursor(directory);
  cursor.SetTableName(kTable);
  cursor.Open();
  armed();
  change(directory, cursor);
}

// Runs the change and answers its writes. A check failing in here would be
// lost with the child: it is thrown to the test instead.
uint64_t CountedRun(const std::filesystem::path& path, const TChange& change) {
  const ::testing::TestResult& result =
      *::testing::UnitTest::GetInstance()->current_test_info()->result();
  const int parts = result.total_part_count();
  uint64_t start = 0;
  OpenAndRun(path, change, [&] { start = CallCount(OsCall::Write); });
  const uint64_t writes = CallCount(OsCall::Write) - start;
  std::string failed;
  for (int i = parts; i < result.total_part_count(); ++i) {
    if (result.GetTestPartResult(i).failed()) failed += result.GetTestPartResult(i).summary();
  }
  if (!failed.empty()) throw std::runtime_error(failed);
  return writes;
}

// ---- Child processes ---------------------------------------------------------------------

constexpr int kDeathStatus = 86;
constexpr int kSurvivedStatus = 87;
constexpr int kThrewStatus = 88;

#ifndef _WIN32

// Runs `body` in a child process and answers its exit status, or none when
// it died of a signal or did not end within a minute (then it is killed).
std::optional<int> RunInChild(const std::function<void()>& body) {
  const pid_t pid = ::fork();
  if (pid < 0) return std::nullopt;
  if (pid == 0) {
    int status = kSurvivedStatus;
    try {
      body();
    } catch (const std::exception& error) {
      std::fprintf(stderr, "child threw: %s\n", error.what());
      status = kThrewStatus;
    } catch (...) {
      status = kThrewStatus;
    }
    ::_exit(status);
  }
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  for (;;) {
    int status = 0;
    const pid_t ended = ::waitpid(pid, &status, WNOHANG);
    if (ended == pid) {
      if (WIFEXITED(status)) return WEXITSTATUS(status);
      return std::nullopt;
    }
    if (ended < 0 || std::chrono::steady_clock::now() >= until) {
      ::kill(pid, SIGKILL);
      ::waitpid(pid, nullptr, 0);
      return std::nullopt;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
}

// Runs the change on the table in `path` in a child that dies right before
// its k-th write, and answers the child's exit status as RunInChild does.
std::optional<int> DieInChild(const TChangeRef& ref, const std::filesystem::path& path,
                              uint64_t k) {
  return RunInChild([&] {
    OpenAndRun(path, MakeChange(ref), [&] { platform::ExitAtNth(OsCall::Write, k, kDeathStatus); });
  });
}

// The writes of the change on the table in `path`, run in a child; none
// when it did not run to its end (the child process says why).
std::optional<uint64_t> CountWritesInChild(const TChangeRef& ref,
                                           const std::filesystem::path& path) {
  test::TChildProcess child(
      [&](test::TChildProcess& self) { self.Send(uint32_t(CountedRun(path, MakeChange(ref)))); });
  std::optional<uint32_t> writes = child.Receive(std::chrono::milliseconds(60000));
  child.Finish();
  if (!writes) return std::nullopt;
  return *writes;
}

#else  // _WIN32

// What a child started again is to do:
// "<change>|<parcels>|<k>|<path of the table's copy>"; k 0 only counts the
// writes, into the file `WritesFile(path)`.
constexpr char kChildVariable[] = "OSTREVO_DEATH_CHILD";
constexpr char kChildTest[] = "DeathAtWrite.ChildRole";

struct TChildJob {
  TChangeRef Change{TChangeId::kCount};
  uint64_t K = 0;
  std::filesystem::path Path;
};

std::filesystem::path WritesFile(const std::filesystem::path& path) {
  return path.string() + ".writes";
}

std::optional<TChildJob> ParseJob(const std::string& value) {
  std::vector<std::string> parts;
  size_t start = 0;
  for (int i = 0; i < 3; ++i) {
    const size_t bar = value.find('|', start);
    if (bar == std::string::npos) return std::nullopt;
    parts.push_back(value.substr(start, bar - start));
    start = bar + 1;
  }
  TChildJob job;
  char* end = nullptr;
  const long id = std::strtol(parts[0].c_str(), &end, 10);
  if (parts[0].empty() || *end != '\0' || id < 0 || id >= long(TChangeId::kCount)) {
    return std::nullopt;
  }
  job.Change.Id = TChangeId(id);
  job.Change.Parcels = int(std::strtol(parts[1].c_str(), &end, 10));
  if (parts[1].empty() || *end != '\0') return std::nullopt;
  job.K = std::strtoull(parts[2].c_str(), &end, 10);
  if (parts[2].empty() || *end != '\0') return std::nullopt;
  job.Path = value.substr(start);
  if (job.Path.empty()) return std::nullopt;
  return job;
}

// Starts this program again as the child of `job` and answers its exit
// status; none when it could not be started or did not end within a minute
// (then it is killed).
std::optional<int> RunChildJob(const TChildJob& job) {
  std::string error;
  const std::optional<test::TStartedAgain> started = test::StartTestProgramAgain(
      kChildTest, kChildVariable,
      std::to_string(int(job.Change.Id)) + "|" + std::to_string(job.Change.Parcels) + "|" +
          std::to_string(job.K) + "|" + job.Path.string(),
      error);
  if (!started) {
    ADD_FAILURE() << "no child process: " << error;
    return std::nullopt;
  }
  std::optional<int> status;
  if (::WaitForSingleObject(started->Process, 60000) == WAIT_OBJECT_0) {
    DWORD code = 0;
    if (::GetExitCodeProcess(started->Process, &code)) status = int(code);
  } else {
    ::TerminateProcess(started->Process, 1);
    ::WaitForSingleObject(started->Process, 10000);
  }
  ::CloseHandle(started->Process);
  return status;
}

std::optional<int> DieInChild(const TChangeRef& ref, const std::filesystem::path& path,
                              uint64_t k) {
  return RunChildJob({ref, k, path});
}

std::optional<uint64_t> CountWritesInChild(const TChangeRef& ref,
                                           const std::filesystem::path& path) {
  const std::optional<int> status = RunChildJob({ref, 0, path});
  if (status != std::optional<int>(kSurvivedStatus)) {
    ADD_FAILURE() << "the counting child ended with "
                  << (status ? "status " + std::to_string(*status) : "no status (a hang)");
    return std::nullopt;
  }
  std::ifstream in(WritesFile(path));
  uint64_t writes = 0;
  if (!(in >> writes)) {
    ADD_FAILURE() << "the counting child left no count in " << WritesFile(path).string();
    return std::nullopt;
  }
  return writes;
}

// The child's side: runs the job its environment names and ends the process
// with its status, as the forked children do. Not a test of its own.
TEST(DeathAtWrite, ChildRole) {
  const char* value = std::getenv(kChildVariable);
  if (value == nullptr || *value == '\0') {
    GTEST_SKIP() << "runs only in a child started by the matrix of deaths at a write";
  }
  int status = kSurvivedStatus;
  try {
    const std::optional<TChildJob> job = ParseJob(value);
    if (!job) throw std::runtime_error(std::string("a job it cannot read: ") + value);
    const TChange change = MakeChange(job->Change);
    if (job->K == 0) {
      const uint64_t writes = CountedRun(job->Path, change);
      std::ofstream out(WritesFile(job->Path));
      out << writes;
      out.close();
      if (!out) throw std::runtime_error("could not write " + WritesFile(job->Path).string());
    } else {
      OpenAndRun(job->Path, change,
                 [&] { platform::ExitAtNth(OsCall::Write, job->K, kDeathStatus); });
    }
  } catch (const std::exception& error) {
    std::fprintf(stderr, "child threw: %s\n", error.what());
    status = kThrewStatus;
  } catch (...) {
    status = kThrewStatus;
  }
  std::fflush(stderr);
  // Ends here, with nothing of GoogleTest's after the test run.
  ::TerminateProcess(::GetCurrentProcess(), UINT(status));
  std::_Exit(status);
}

#endif  // _WIN32

// ---- The harness ---------------------------------------------------------------------------

struct TMatrixRow {
  std::string What;
  uint64_t Writes = 0;
  int Deaths = 0;
  int Damaged = 0;   // the verifier reported findings, or the table did not open
  int Refused = 0;   // ... of which the table did not open
  int Mixed = 0;     // records neither old nor new before repair
  int Mended = 0;    // repair left a sound table of old or new records
  int BlobLost = 0;  // ... but for a blob value repair had to cut
  int RepairMissing = 0;
  std::string Details;
};

class DeathAtWriteTest : public ::testing::Test {
 protected:
  void SetUp() override { platform::ClearFaults(); }

  // A directory of its own holding a copy of the prepared table.
  std::filesystem::path CopyOfTemplate(const std::string& name) {
    const std::filesystem::path to = dir_.Path() / name;
    std::filesystem::create_directories(to);
    for (const auto& entry : std::filesystem::directory_iterator(template_)) {
      std::filesystem::copy_file(entry.path(), to / entry.path().filename());
    }
    return to;
  }

  // Builds the prepared table in a directory of its own: parcels 1..count,
  // then the given ones deleted. Everything is written when it closes.
  void Prepare(const std::string& name, int count, const std::vector<int>& deleted = {}) {
    template_ = dir_.Path() / name;
    std::filesystem::create_directories(template_);
    TDataSession session;
    TDataDirectory& directory = session.OpenDirectory("Prepare", template_.string());
    TOpenTableResult created = directory.CreateTable(kTable, false, false, ParcelsDefinition());
    ASSERT_NE(created.Table, nullptr);
    directory.CloseTable(*created.Table, false);
    TDataCursor cursor(directory);
    cursor.SetTableName(kTable);
    cursor.SetExclusive(true);
    cursor.Open();
    for (int n = 1; n <= count; ++n) PostParcel(cursor, n);
    for (int n : deleted) DeleteParcel(cursor, n);
    cursor.Close();
  }

  // The records of the table in `path`, and the verifier's findings, read
  // by a session of its own; `opened` false when the table would not open.
  struct TLook {
    bool Opened = false;
    std::string OpenError;
    TTableState State;
    std::string Findings;
    int32_t Visible = 0;  // records a cursor counts
  };
  static TLook Look(const std::filesystem::path& path) {
    TLook look;
    TDataSession session;
    TDataDirectory& directory = session.OpenDirectory("Look", path.string());
    TDataCursor cursor(directory);
    cursor.SetTableName(kTable);
    try {
      cursor.Open();
    } catch (const ELedraEngineError& error) {
      look.OpenError = error.what();
      return look;
    }
    look.Opened = true;
    look.State = ReadState(cursor);
    look.Findings = test::TableFindings(cursor.Table());
    test::ErrorCodeRaisedBy([&] { look.Visible = cursor.GetRecordCount(); });
    cursor.Close();
    return look;
  }

  // Runs the whole matrix of one change on the prepared table: after repair
  // each record must be wholly as before or wholly as after the change (a
  // change of many records may come out partly done), its blob value
  // included.
  TMatrixRow Walk(const TChangeRef& ref) {
    const std::string what = NameOf(ref.Id);
    TMatrixRow row;
    row.What = what;
    const TLook before = Look(template_);
    EXPECT_TRUE(before.Opened && before.Findings.empty()) << what << ": " << before.Findings;

    // Counting run: the child reports the writes of the change.
    const std::filesystem::path counted = CopyOfTemplate(what + "-count");
    {
      const std::optional<uint64_t> writes = CountWritesInChild(ref, counted);
      if (!writes) {
        ADD_FAILURE() << what << ": the change did not run";
        return row;
      }
      row.Writes = *writes;
    }
    const TLook after = Look(counted);
    EXPECT_TRUE(after.Opened && after.Findings.empty()) << what << ": " << after.Findings;
    EXPECT_NE(after.State.Records, before.State.Records) << what << ": the change changed nothing";

    std::ostringstream details;
    for (uint64_t k = 1; k <= row.Writes; ++k) {
      SCOPED_TRACE(what + ": death before write " + std::to_string(k) + " of " +
                   std::to_string(row.Writes));
      const std::filesystem::path path = CopyOfTemplate(what + "-" + std::to_string(k));
      const std::optional<int> status = DieInChild(ref, path, k);
      ++row.Deaths;
      if (status != std::optional<int>(kDeathStatus)) {
        ADD_FAILURE() << "the child did not die at the write: "
                      << (status ? "status " + std::to_string(*status) : "a signal or a hang");
        break;
      }

      // What the next program finds.
      const TLook found = Look(path);
      const bool damaged = !found.Opened || !found.Findings.empty();
      const TMixed split =
          found.Opened ? MixedRecords(found.State, before.State, after.State) : TMixed{};
      std::vector<int32_t> mixed = split.Records;
      mixed.insert(mixed.end(), split.BlobLost.begin(), split.BlobLost.end());
      const bool readable = found.Opened && found.State.Unreadable.empty();
      if (damaged) ++row.Damaged;
      if (!found.Opened) ++row.Refused;
      if (!mixed.empty() || (found.Opened && !readable)) ++row.Mixed;
      details << "  death " << k << ": "
              << (!found.Opened ? "refused to open (" + found.OpenError + ")"
                  : damaged     ? "damaged"
                                : "sound")
              << (mixed.empty() ? "" : ", " + std::to_string(mixed.size()) + " mixed records");
      if (found.Opened && !found.Findings.empty()) {
        std::string first = found.Findings.substr(0, found.Findings.find('\n'));
        details << " [" << first << "]";
      }
      // Damage the verifier does not see is the one thing that must never be.
      EXPECT_FALSE(found.Opened && !damaged && (!mixed.empty() || !readable))
          << "records changed half way and the verifier says the table is sound: "
          << found.State.Unreadable;

      // Repair, by a session of its own.
      TRepairReport report;
      TEngineErrorCode repairError = LEDRA_NONE;
      std::string repairText;
      {
        TDataSession session;
        TDataDirectory& directory = session.OpenDirectory("Repair", path.string());
        try {
          report = RepairTable(directory, kTable);
        } catch (const ELedraEngineError& error) {
          repairError = error.ErrorCode;
          repairText = error.what();
        }
      }
      if (repairError == LEDRA_NOTINITIALIZED) {
        // Repair is not there yet: only the verifier's half is checked.
        ++row.RepairMissing;
        details << "\n";
        continue;
      }
      EXPECT_EQ(repairError, LEDRA_NONE) << "repair raised " << repairText;
      if (!damaged && found.Opened) {
        EXPECT_FALSE(report.Changed()) << "repair changed a sound table: " << report.Changes[0];
      }
      const TLook repaired = Look(path);
      const TMixed stillMixed =
          repaired.Opened ? MixedRecords(repaired.State, before.State, after.State) : TMixed{};
      const bool lost = !stillMixed.BlobLost.empty();
      if (lost) ++row.BlobLost;
      const bool mended = repaired.Opened && repaired.Findings.empty() &&
                          stillMixed.Records.empty() && !lost &&
                          repaired.State.Unreadable.empty() &&
                          repaired.Visible == int32_t(repaired.State.Records.size());
      EXPECT_TRUE(repaired.Opened) << "after repair: " << repaired.OpenError;
      EXPECT_EQ(repaired.Findings, "") << "after repair";
      EXPECT_TRUE(stillMixed.Records.empty())
          << stillMixed.Records.size() << " records neither old nor new";
      EXPECT_FALSE(lost) << "a blob value lost";
      EXPECT_EQ(repaired.State.Unreadable, "");
      EXPECT_EQ(repaired.Visible, int32_t(repaired.State.Records.size()));
      if (mended && damaged) ++row.Mended;
      details << (report.Changed() ? ", repaired" : "") << (lost ? ", blob value lost" : "")
              << (mended || lost ? "" : ", NOT MENDED") << "\n";
    }
    row.Details = details.str();
    return row;
  }

  static void Print(const TMatrixRow& row) {
    std::cout << row.What << ": " << row.Writes << " writes, " << row.Deaths << " deaths, "
              << row.Damaged << " left damage (" << row.Refused << " would not open, " << row.Mixed
              << " with records neither old nor new), " << row.Mended << " mended by repair, "
              << row.BlobLost << " mended with a blob value lost";
    if (row.RepairMissing > 0) std::cout << " (repair not available: " << row.RepairMissing << ")";
    std::cout << "\n" << row.Details;
  }

  test::TempDir dir_;
  std::filesystem::path template_;
};

// The number of parcels after which one more, sorting last, splits the
// leaves of all three indexes (`rootSplits` false), or splits the primary
// index up to a root above two levels (`rootSplits` true).
int ParcelsBeforeSplit(const std::filesystem::path& scratch, bool rootSplits) {
  std::filesystem::create_directories(scratch);
  TDataSession session;
  TDataDirectory& directory = session.OpenDirectory("Scratch", scratch.string());
  TOpenTableResult created = directory.CreateTable(kTable, false, false, ParcelsDefinition());
  directory.CloseTable(*created.Table, false);
  TDataCursor cursor(directory);
  cursor.SetTableName(kTable);
  cursor.SetExclusive(true);
  cursor.Open();
  int rootChanges = 0;
  for (int n = 1; n < 2000; ++n) {
    const TTreeShape shape = ShapeOf(cursor.Table());
    PostParcel(cursor, n);
    const TTreeShape now = ShapeOf(cursor.Table());
    const bool split = now.NextPage > shape.NextPage;
    if (now.Root != shape.Root && shape.Root != 0) ++rootChanges;
    if (!rootSplits && split && n > 40) return n - 1;
    if (rootSplits && rootChanges == 2) return n - 1;
  }
  return 0;
}

// The number of parcels, deleted from the first on, after which deleting one
// more frees a page of each index (a merge), in a table of `count` parcels.
int DeletesBeforeMerge(const std::filesystem::path& scratch, int count) {
  std::filesystem::create_directories(scratch);
  TDataSession session;
  TDataDirectory& directory = session.OpenDirectory("Scratch", scratch.string());
  TOpenTableResult created = directory.CreateTable(kTable, false, false, ParcelsDefinition());
  directory.CloseTable(*created.Table, false);
  TDataCursor cursor(directory);
  cursor.SetTableName(kTable);
  cursor.SetExclusive(true);
  cursor.Open();
  for (int n = 1; n <= count; ++n) PostParcel(cursor, n);
  for (int n = 1; n < count; ++n) {
    const TTreeShape shape = ShapeOf(cursor.Table());
    DeleteParcel(cursor, n);
    if (ShapeOf(cursor.Table()).FirstFree != shape.FirstFree) return n - 1;
  }
  return 0;
}

std::vector<int> FirstParcels(int count) {
  std::vector<int> parcels;
  for (int n = 1; n <= count; ++n) parcels.push_back(n);
  return parcels;
}

// An edit of parcel n: the weight, and optionally the keys of all three
// indexes (to sort last) or the note's length.
TChange EditParcel(int n, bool keys, std::optional<size_t> noteLength) {
  return [=](TDataDirectory&, TDataCursor& cursor) {
    std::vector<uint8_t> image;
    GoTo(cursor, Numbered('C', n), image);
    ASSERT_EQ(cursor.ReadCurrent(image.data(), true), 0);
    SetWeight(cursor, image.data(), 7777);
    if (keys) {
      SetText(cursor, image.data(), kCode, Numbered('C', 99999));
      SetText(cursor, image.data(), kTown, Numbered('T', 99999));
      SetText(cursor, image.data(), kRegion, Numbered('R', 99999));
    }
    if (noteLength) SetNote(cursor, image.data(), *noteLength, 5);
    cursor.PostEdit(image.data());
  };
}

std::string NameOf(TChangeId id) {
  switch (id) {
    case TChangeId::kEditNonKey:
      return "edit of a non-key field";
    case TChangeId::kEditKeysSplitting:
      return "edit of three keys, splitting";
    case TChangeId::kBlobGrowing:
      return "blob rewrite growing 4 to 9 blocks";
    case TChangeId::kBlobShrinking:
      return "blob rewrite shrinking 9 to 2 blocks";
    case TChangeId::kInsertSplittingRoot:
      return "insert splitting to the root";
    case TChangeId::kDeleteMerging:
      return "delete merging pages";
    case TChangeId::kCommitMany:
      return "commit of 12 records";
    case TChangeId::kCount:
      break;
  }
  return "no change";
}

TChange MakeChange(const TChangeRef& ref) {
  const int parcels = ref.Parcels;
  switch (ref.Id) {
    case TChangeId::kEditNonKey:
      return EditParcel(10, false, std::nullopt);
    case TChangeId::kEditKeysSplitting:
      return [](TDataDirectory& directory, TDataCursor& cursor) {
        const int32_t pages = cursor.Table().IndexFile().NextPageNo();
        EditParcel(10, true, std::nullopt)(directory, cursor);
        EXPECT_GE(cursor.Table().IndexFile().NextPageNo(), pages + 3) << "the leaves did not split";
      };
    // A changed blob goes into a new chain and the old one is freed after the
    // slot: a death keeps the old value or the new one, never neither.
    case TChangeId::kBlobGrowing:
      return EditParcel(10, false, 400);
    case TChangeId::kBlobShrinking:
      return EditParcel(11, false, 60);
    // `parcels`: the parcels before the one whose insert splits the root.
    case TChangeId::kInsertSplittingRoot:
      return [parcels](TDataDirectory&, TDataCursor& cursor) {
        const TTreeShape shape = ShapeOf(cursor.Table());
        PostParcel(cursor, parcels + 1);
        EXPECT_NE(ShapeOf(cursor.Table()).Root, shape.Root) << "the root did not split";
      };
    // `parcels`: the parcels deleted before the one whose delete merges.
    case TChangeId::kDeleteMerging:
      return [parcels](TDataDirectory&, TDataCursor& cursor) {
        const TTreeShape shape = ShapeOf(cursor.Table());
        DeleteParcel(cursor, parcels + 1);
        EXPECT_NE(ShapeOf(cursor.Table()).FirstFree, shape.FirstFree) << "no page was freed";
      };
    // `parcels`: the parcels of the prepared table.
    case TChangeId::kCommitMany:
      return [parcels](TDataDirectory& directory, TDataCursor& cursor) {
        directory.StartTransaction();
        for (int n : {3, 8, 13, 23}) EditParcel(n, false, std::nullopt)(directory, cursor);
        // A note rewritten twice: the second chain must not land on the
        // first one's old chain, which the file holds until the commit.
        EditParcel(18, false, 400)(directory, cursor);
        EditParcel(18, false, 60)(directory, cursor);
        EditParcel(28, true, std::nullopt)(directory, cursor);
        for (int n = parcels + 1; n <= parcels + 4; ++n) PostParcel(cursor, n);
        DeleteParcel(cursor, 5);
        DeleteParcel(cursor, 6);
        directory.Commit(false);
      };
    case TChangeId::kCount:
      break;
  }
  throw std::invalid_argument("no change numbered " + std::to_string(int(ref.Id)));
}

TEST_F(DeathAtWriteTest, ChangesOfOneRecordSurviveADeathAtAnyWrite) {
  const int beforeSplit = ParcelsBeforeSplit(dir_.Path() / "scratch-split", false);
  ASSERT_GT(beforeSplit, 40);
  Prepare("prepared", beforeSplit);

  std::vector<TMatrixRow> rows;
  for (TChangeId id : {TChangeId::kEditNonKey, TChangeId::kEditKeysSplitting,
                       TChangeId::kBlobGrowing, TChangeId::kBlobShrinking}) {
    rows.push_back(Walk({id}));
  }
  for (const TMatrixRow& row : rows) Print(row);
}

TEST_F(DeathAtWriteTest, AnInsertSplittingUpToTheRootSurvivesADeathAtAnyWrite) {
  const int beforeRootSplit = ParcelsBeforeSplit(dir_.Path() / "scratch-root", true);
  ASSERT_GT(beforeRootSplit, 40);
  Prepare("prepared", beforeRootSplit);
  Print(Walk({TChangeId::kInsertSplittingRoot, beforeRootSplit}));
}

TEST_F(DeathAtWriteTest, ADeleteMergingPagesSurvivesADeathAtAnyWrite) {
  const int count = ParcelsBeforeSplit(dir_.Path() / "scratch-split", false);
  const int deletes = DeletesBeforeMerge(dir_.Path() / "scratch-merge", count);
  ASSERT_GT(deletes, 0);
  Prepare("prepared", count, FirstParcels(deletes));
  Print(Walk({TChangeId::kDeleteMerging, deletes}));
}

// A commit writes the changes of many records at once: each record must come
// out wholly old or wholly new, but the set may be partly committed. The
// inserted records' new chains go before the slots, the deleted records'
// freed chains after them.
TEST_F(DeathAtWriteTest, ACommitOfManyRecordsLeavesEachRecordWhole) {
  const int count = 30;
  Prepare("prepared", count);
  Print(Walk({TChangeId::kCommitMany, count}));
}

}  // namespace
}  // namespace ledra
