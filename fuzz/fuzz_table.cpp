// A whole table opened from memory files, as a user of the engine meets it.
//
// Input: a flags byte (bit 0: the .IDX file exists, bit 1: the .BLB file
// exists, bit 2: change a record), the .DAT image as a section, the .IDX
// image as a section, and the .BLB image as the rest.
//
// The table is opened through a cursor of an in-memory database (which
// verifies it, and rebuilds the indexes of a missing index file), every
// index and the natural order are read front to back and back to front,
// every blob of every record read is read whole, a record is changed when
// the input asks for it, and the whole-table verifier runs under the read
// lock.
#include <algorithm>
#include <cstdint>
#include <memory>
#include <vector>

#include "engine/cursor/DataCursor.h"
#include "engine/table/DataDirectory.h"
#include "engine/table/DataSession.h"
#include "engine/table/DataTable.h"
#include "engine/table/TableLock.h"
#include "engine/table/TableVerifier.h"
#include "fuzz/FuzzSupport.h"

using namespace ledra;
using namespace ledra::fuzz;

namespace {

constexpr std::string_view kTable = "FUZZTAB";
// Records read per direction and order, and blob bytes read per value.
constexpr int kMaxSteps = 2000;
constexpr uint32_t kMaxBlobRead = 1 << 16;

void ReadBlobs(TDataCursor& cursor, std::vector<uint8_t>& image, std::vector<uint8_t>& value) {
  const std::vector<TFieldDesc>& fields = cursor.Table().DataFile().FieldDescs();
  for (size_t i = 0; i < fields.size(); ++i) {
    if (!fields[i].IsBlob()) continue;
    const int fieldNo = int(i + 1);
    Step([&] {
      uint32_t length = 0;
      if (cursor.OpenBlob(fieldNo, image.data(), length, false, TBlobOpenMode::kRead) != 0) return;
      const uint32_t want = std::min(length, kMaxBlobRead);
      value.resize(std::max<uint32_t>(want, 1));
      uint32_t read = 0;
      cursor.ReadBlob(fieldNo, image.data(), 0, want, value.data(), read);
      if (read > want) Finding("blob: read more than asked");
      cursor.CloseBlob(fieldNo, image.data());
    });
  }
}

void WalkOrder(TDataCursor& cursor, int order) {
  cursor.SetIndexNo(order);
  std::vector<uint8_t> image(cursor.RecordSize());
  std::vector<uint8_t> value;
  cursor.MoveToStart();
  for (int steps = 0; steps < kMaxSteps && cursor.ReadNext(image.data()) == 0; ++steps) {
    ReadBlobs(cursor, image, value);
  }
  cursor.MoveToEnd();
  for (int steps = 0; steps < kMaxSteps && cursor.ReadPrior(image.data()) == 0; ++steps) {
  }
  const int32_t count = cursor.GetRecordCount();
  cursor.MoveToSequence(count / 2 + 1);
  cursor.GetSequenceNo();
  cursor.ReadCurrent(image.data());
}

// Users edit damaged tables too: the first record is edited (unchanged),
// deleted and added again as a new record, through every index and blob
// chain the damage may have reached.
void ChangeFirstRecord(TDataCursor& cursor) {
  cursor.SetIndexNo(0);
  cursor.MoveToStart();
  std::vector<uint8_t> image(cursor.RecordSize());
  std::vector<uint8_t> copy(cursor.RecordSize());
  if (cursor.ReadNext(image.data()) != 0) return;
  if (cursor.ReadCurrent(image.data(), true) != 0) return;
  cursor.PostEdit(image.data());
  cursor.CopyCurrentToNew(copy.data());
  cursor.DeleteCurrent(nullptr);
  cursor.PostInsert(copy.data());
}

void OpenAndRead(TDataDirectory& directory, bool change) {
  TDataCursor cursor(directory);
  cursor.SetTableName(kTable);
  cursor.SetInMemory(true);
  if (!Step([&] { cursor.Open(); })) return;
  Step([&] {
    std::vector<int> orders{TDataCursor::kNaturalOrder};
    for (int i = 0; i <= cursor.IndexCount(); ++i) orders.push_back(i);
    for (int order : orders) Step([&] { WalkOrder(cursor, order); });
  });
  if (change) Step([&] { ChangeFirstRecord(cursor); });
  Step([&] {
    TDataTable& table = cursor.Table();
    TTableReadLockGuard lock(table.Lock());
    TTableVerifier verifier(table);
    verifier.Run();
  });
  Step([&] { cursor.Close(); });
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  TInputReader input(data, size);
  const uint8_t flags = input.Byte();
  const std::span<const uint8_t> dat = input.Section();
  const std::span<const uint8_t> idx = input.Section();
  const std::span<const uint8_t> blb = input.Rest();

  const std::string path = "/fuzz/";
  TMemoryImage datFile(path + "FUZZTAB.DAT", dat);
  TMemoryImage idxFile(path + "FUZZTAB.IDX", idx, (flags & 1) != 0);
  TMemoryImage blbFile(path + "FUZZTAB.BLB", blb, (flags & 2) != 0);
  {
    TDataSession session;
    session.SetTableLockAttempts(2);
    TDataDirectory& directory = session.OpenDirectory("Memory", path);
    OpenAndRead(directory, (flags & 4) != 0);
    Step([&] { session.ReleaseDirectory(directory); });
  }
  // An open that made a missing file leaves it in the registry.
  TFileList::Instance().Delete(path + "FUZZTAB.IDX", true);
  TFileList::Instance().Delete(path + "FUZZTAB.BLB", true);
  return 0;
}
