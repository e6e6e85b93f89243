#include "engine/table/TableRepair.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "engine/blob/BlobChain.h"
#include "engine/errors/EngineError.h"
#include "engine/files/Bytes.h"
#include "engine/index/BTree.h"
#include "engine/index/CharMaps.h"
#include "engine/index/Keys.h"
#include "engine/table/DataDirectory.h"
#include "engine/table/DataSession.h"
#include "engine/table/DataTable.h"
#include "engine/table/TableCreation.h"
#include "engine/table/TableVerifier.h"
#include "tests/engine/table/TableTestSupport.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/EngineErrors.h"
#include "tests/support/TempDir.h"

namespace ledra {
namespace {

namespace fs = std::filesystem;
using test::ErrorCodeRaisedBy;
using test::TChildProcess;

// The people table with a memo (record size 50, slots from 127 + 5 * 768),
// its ByName index unique, and a text index on Name.
constexpr size_t kSlots = 127 + 5 * 768;
constexpr size_t kRecordSize = 50;
constexpr size_t kNameAt = 9;
constexpr size_t kNotesAt = 41;
constexpr int kRecords = 240;
constexpr uint32_t kGo = 1;
constexpr uint32_t kHolding = 2;

size_t Slot(int32_t recordNo) {
  return kSlots + size_t(recordNo - 1) * kRecordSize;
}

std::vector<uint8_t> ReadBytes(const fs::path& file) {
  return test::FileBytes(file.string());
}

void WriteBytes(const fs::path& file, const std::vector<uint8_t>& bytes) {
  std::ofstream out(file, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
}

void EditFile(const fs::path& file, const std::function<void(std::vector<uint8_t>&)>& edit) {
  std::vector<uint8_t> bytes = ReadBytes(file);
  edit(bytes);
  WriteBytes(file, bytes);
}

// What a live record holds, by its Amount (its place in the order made).
struct TRow {
  std::string Name;
  int32_t RowId = 0;
  std::string Notes;
  bool operator==(const TRow&) const = default;
};
using TRows = std::map<int32_t, TRow>;

std::string NameOf(int i) {
  static const char* const kWords[] = {"north", "river", "hill", "market", "gate", "old"};
  return "P" + std::to_string(1000 + i) + " " + kWords[i % 6];
}

std::string NotesOf(int i) {
  // Some values take several 512-byte blocks.
  return std::string(size_t(i % 4 == 0 ? 1500 : 40), char('a' + i % 26)) + " note " +
         std::to_string(i);
}

class TableRepairTest : public ::testing::Test {
 protected:
  std::string Path() const { return dir_.Path().string(); }
  fs::path File(const std::string& ext) const { return dir_.Path() / ("People" + ext); }

  // The table as another program might leave it: records and blobs written,
  // but no index holds a key yet.
  void CreateUnindexed(bool encrypted = false) {
    TTableDefinition definition = test::PeopleDefinition(/*blobs=*/true);
    definition.SecondaryIndexes[0].Unique = true;
    definition.TextIndexFields = {1};
    definition.Encrypted = encrypted;
    definition.Password = encrypted ? "Pw1" : "";
    CreateNewTable(directory_, "People", definition);
    TOpenTableResult opened = directory_.OpenTable("People", false, false, true);
    ASSERT_NE(opened.Table, nullptr);
    TDataTable& table = *opened.Table;
    TRecordCache& cache = table.RecordCache();
    for (int i = 1; i <= kRecords; ++i) {
      TRecord* record = cache.NewRecordSlot(nullptr);
      uint8_t* image = record->MutableImage();
      const std::string name = NameOf(i);
      image[kNameAt] = 1;
      std::copy(name.begin(), name.end(), image + kNameAt + 1);
      image[31] = 1;
      PutLE32(image + 32, uint32_t(i));
      if (i % 3 == 0) {
        const std::string notes = NotesOf(i);
        const int32_t stamp = table.DataFile().NextBlobStamp();
        const int32_t first = StoreBlobValue(
            table.BlobFile(), 0, stamp,
            std::span(reinterpret_cast<const uint8_t*>(notes.data()), notes.size()), nullptr);
        image[kNotesAt] = 1;
        PutLE32(image + kNotesAt + 1, uint32_t(first));
        PutLE32(image + kNotesAt + 5, uint32_t(stamp));
      }
      record->MarkDirty();
      cache.ReleaseRecord(record);
    }
    // Every tenth record deleted, its blob freed.
    for (int i = 10; i <= kRecords; i += 10) {
      TRecord* record = cache.FetchRecord(nullptr, i, kReadForward);
      const uint8_t* image = record->Image();
      if (image[kNotesAt] != 0) {
        FreeBlobValue(table.BlobFile(), GetLEInt32(image + kNotesAt + 1),
                      GetLEInt32(image + kNotesAt + 5), nullptr);
      }
      cache.FreeRecordSlot(record);
      cache.ReleaseRecord(record);
    }
    table.IndexFile().SetLiveRecordCount(kRecords - kRecords / 10);
    directory_.CloseTable(table, false);
  }

  // A sound table: the unindexed one, repaired.
  void CreateSound(bool encrypted = false) {
    CreateUnindexed(encrypted);
    RepairTable(directory_, "People");
    for (const char* ext : {".DBK", ".IBK", ".BBK"}) fs::remove(File(ext));
    ASSERT_EQ(Findings(), std::vector<std::string>{});
    expected_ = Rows();
  }

  // What the verifier says, as the tool's verify reports it: missing files
  // and headers the engine refuses first.
  std::vector<std::string> Findings() {
    std::vector<std::string> texts;
    for (const TVerifyFinding& finding : MissingTableFiles(directory_, "People")) {
      texts.push_back(finding.Area + ": " + finding.Text);
    }
    if (!texts.empty()) return texts;
    TDataTable* opened = nullptr;
    try {
      opened = &OpenCursorTable(directory_, "People", false, false, {});
    } catch (const ELedraEngineError& error) {
      return {std::string("table: ") + error.what()};
    }
    TDataTable& table = *opened;
    {
      TTableReadLockGuard lock(table.Lock());
      for (const TVerifyFinding& finding : TTableVerifier(table).Run()) {
        texts.push_back(finding.Area + ": " + finding.Text);
      }
    }
    directory_.CloseTable(table, false);
    return texts;
  }

  TRows Rows() {
    TDataTable& table = OpenCursorTable(directory_, "People", false, false, {});
    TTableReadLockGuard lock(table.Lock());
    TRows rows;
    const int32_t slots = table.DataFile().RecordSlotCount();
    std::vector<uint8_t> image(kRecordSize);
    std::vector<uint8_t> notes;
    for (int32_t r = 1; r <= slots; ++r) {
      table.DataFile().ReadSlots(r, 1, image.data());
      if (image[0] != 0) continue;
      TRow row;
      row.Name = reinterpret_cast<const char*>(image.data() + kNameAt + 1);
      row.RowId = GetLEInt32(image.data() + 5);
      if (image[kNotesAt] != 0) {
        LoadBlobValue(table.BlobFile(), GetLEInt32(image.data() + kNotesAt + 1),
                      GetLEInt32(image.data() + kNotesAt + 5), notes, nullptr);
        row.Notes.assign(notes.begin(), notes.end());
      }
      rows[GetLEInt32(image.data() + 32)] = row;
    }
    lock.Release();
    directory_.CloseTable(table, false);
    return rows;
  }

  bool AnyLine(const TRepairReport& report, const std::string& part) {
    return std::any_of(report.Changes.begin(), report.Changes.end(), [&](const std::string& line) {
      return line.find(part) != std::string::npos;
    });
  }

  std::map<std::string, std::vector<uint8_t>> DirectoryBytes() {
    std::map<std::string, std::vector<uint8_t>> files;
    for (const auto& entry : fs::directory_iterator(dir_.Path())) {
      files[entry.path().filename().string()] = ReadBytes(entry.path());
    }
    return files;
  }

  // Open to the damage cases below.
 public:
  test::TempDir dir_;
  TDataSession session_;
  TDataDirectory& directory_ = session_.OpenDirectory("Town", Path());
  TRows expected_;
};

// ---- Building ------------------------------------------------------------------------

TEST_F(TableRepairTest, BuildsEveryIndexOfATableWrittenWithoutThem) {
  CreateUnindexed();
  EXPECT_FALSE(Findings().empty());
  const TRows before = Rows();

  std::vector<std::pair<int64_t, int64_t>> progress;
  TRepairOptions options;
  options.Progress = [&](int64_t done, int64_t total) { progress.emplace_back(done, total); };
  const TRepairReport report = RepairTable(directory_, "People", options);

  EXPECT_TRUE(report.BackupTaken);
  EXPECT_TRUE(AnyLine(report, "primary index rebuilt: 216 entries"));
  EXPECT_TRUE(AnyLine(report, "index 'ByName' rebuilt: 216 entries"));
  EXPECT_TRUE(AnyLine(report, "deleted-records index rebuilt: 240 entries"));
  EXPECT_TRUE(AnyLine(report, "text index rebuilt:"));
  EXPECT_EQ(Findings(), std::vector<std::string>{});
  EXPECT_EQ(Rows(), before);
  // The backups are the files as they were.
  EXPECT_EQ(ReadBytes(File(".DBK")).size(), ReadBytes(File(".DAT")).size());
  EXPECT_TRUE(fs::exists(File(".IBK")));
  EXPECT_TRUE(fs::exists(File(".BBK")));

  ASSERT_FALSE(progress.empty());
  for (const auto& [done, total] : progress) EXPECT_LE(done, total);
  EXPECT_EQ(progress.back().first, progress.back().second);
}

TEST_F(TableRepairTest, ASoundTableIsLeftExactlyAsItWas) {
  CreateSound();
  const auto bytes = DirectoryBytes();
  std::map<std::string, fs::file_time_type> times;
  for (const auto& entry : fs::directory_iterator(dir_.Path())) {
    times[entry.path().filename().string()] = fs::last_write_time(entry.path());
  }

  const TRepairReport report = RepairTable(directory_, "People");

  EXPECT_FALSE(report.Changed());
  EXPECT_FALSE(report.BackupTaken);
  EXPECT_EQ(DirectoryBytes(), bytes);
  for (const auto& entry : fs::directory_iterator(dir_.Path())) {
    EXPECT_EQ(fs::last_write_time(entry.path()), times[entry.path().filename().string()])
        << entry.path();
  }
}

// ---- Damage ------------------------------------------------------------------------------

struct TDamage {
  const char* Name;
  std::function<void(TableRepairTest&, TDataDirectory&)> Apply;
  // A part of a line the report must hold.
  const char* Reported;
};

class TableRepairDamageTest : public TableRepairTest,
                              public ::testing::WithParamInterface<TDamage> {};

TEST_P(TableRepairDamageTest, RepairKeepsEveryLiveRecordAndLeavesTheTableSound) {
  CreateSound();
  GetParam().Apply(*this, directory_);
  ASSERT_FALSE(Findings().empty()) << "the damage is not seen";

  const TRepairReport report = RepairTable(directory_, "People");

  EXPECT_TRUE(report.BackupTaken);
  EXPECT_TRUE(AnyLine(report, GetParam().Reported)) << ::testing::PrintToString(report.Changes);
  EXPECT_EQ(Findings(), std::vector<std::string>{});
  EXPECT_EQ(Rows(), expected_);
}

const std::vector<TDamage> kDamages = {
    {"IndexPageJunk",
     [](TableRepairTest& t, TDataDirectory&) {
       EditFile(t.dir_.Path() / "People.IDX",
                [](auto& b) { std::fill(b.begin() + 2 * 4096, b.begin() + 3 * 4096, 0xA5); });
     },
     "rebuilt"},
    {"FreeChainCut",
     [](TableRepairTest& t, TDataDirectory&) {
       EditFile(t.dir_.Path() / "People.DAT", [](auto& b) {
         // The head's link is cut: the rest of the chain is lost.
         const int32_t head = GetLEInt32(&b[9]);
         PutLE32(&b[Slot(head) + 1], 0);
       });
     },
     "free chain rebuilt: 24 free slots (was 1)"},
    {"LiveCountWrong",
     [](TableRepairTest& t, TDataDirectory&) {
       EditFile(t.dir_.Path() / "People.IDX", [](auto& b) { PutLE32(&b[3974], 5); });
     },
     "live count 5 -> 216"},
    {"LastAutoIncTooLow",
     [](TableRepairTest& t, TDataDirectory&) {
       EditFile(t.dir_.Path() / "People.DAT", [](auto& b) { PutLE32(&b[17], 3); });
     },
     "LastAutoInc 3 -> 240"},
    {"RecordMissingFromASecondaryIndex",
     [](TableRepairTest&, TDataDirectory& directory) {
       TOpenTableResult opened = directory.OpenTable("People", false, false, true);
       TDataTable& table = *opened.Table;
       std::vector<uint8_t> image(kRecordSize);
       table.DataFile().ReadSlots(7, 1, image.data());
       const TDataFile& data = table.DataFile();
       TIndexKeys keys(1, table.IndexFile().GetIndexDesc(1), data.FieldDescs(), data.RecordSize(),
                       data.LanguageId(), data.SortId(),
                       GetCharMap(data.LanguageId(), data.SortId()));
       std::vector<uint8_t> key(keys.KeyLength());
       keys.BuildKey(image.data(), key.data());
       struct : TKeyComparator {
         const TIndexKeys* Keys;
         int CompareKeys(const uint8_t* a, const uint8_t* b, size_t n) const override {
           return Keys->CompareKeys(a, b, n);
         }
       } order;
       order.Keys = &keys;
       TBTree(table.IndexFile(), 1, order).IndexDelete(key.data());
       directory.CloseTable(table, false);
     },
     "index 'ByName' rebuilt: 216 entries"},
    {"TwoRecordsShareARowId",
     [](TableRepairTest& t, TDataDirectory&) {
       // Record 2 takes record 1's row id; the repair gives it a new one.
       EditFile(t.dir_.Path() / "People.DAT", [](auto& b) { PutLE32(&b[Slot(2) + 5], 1); });
       t.expected_[2].RowId = 241;
     },
     "record 2: row id 1 was given twice; now 241"},
    {"BlobChainLeavesTheFile",
     [](TableRepairTest& t, TDataDirectory&) {
       EditFile(t.dir_.Path() / "People.DAT",
                [](auto& b) { PutLE32(&b[Slot(6) + kNotesAt + 1], 999999); });
       t.expected_[6].Notes.clear();
     },
     "record 6: blob field 'Notes' cut (chain leaves the file), set to null"},
    {"BlobBlockSharedByTwoChains",
     [](TableRepairTest& t, TDataDirectory&) {
       // Record 9's value is made to start in record 3's first block.
       EditFile(t.dir_.Path() / "People.DAT", [](auto& b) {
         std::copy_n(&b[Slot(3) + kNotesAt + 1], 8, &b[Slot(9) + kNotesAt + 1]);
       });
       t.expected_[9].Notes.clear();
     },
     "record 9: blob field 'Notes' cut"},
    {"BlobBlocksWrittenButNotCounted",
     [](TableRepairTest& t, TDataDirectory&) {
       // The last six blocks (records 234 and 237, and record 240's freed
       // value) are left out of the header's count; the values stay.
       EditFile(t.dir_.Path() / "People.BLB", [](auto& b) {
         PutLE32(&b[9], 0);
         PutLE32(&b[13], GetLE32(&b[13]) - 6);
       });
     },
     "6 whole blocks past its header's count taken in"},
    {"IndexFileMissing",
     [](TableRepairTest& t, TDataDirectory&) { fs::remove(t.dir_.Path() / "People.IDX"); },
     "the index file is missing: the index definitions are lost"},
    {"IndexHeaderCountsTooManyIndexes",
     [](TableRepairTest& t, TDataDirectory&) {
       EditFile(t.dir_.Path() / "People.IDX", [](auto& b) { b[13] = 200; });
     },
     "index 'ByName' rebuilt: 216 entries"},
    {"BlobHeaderJunk",
     [](TableRepairTest& t, TDataDirectory&) {
       EditFile(t.dir_.Path() / "People.BLB",
                [](auto& b) { std::fill(b.begin(), b.begin() + 512, 0x5A); });
     },
     "header written anew"},
    {"SlotAppendedWithoutItsHeader",
     [](TableRepairTest& t, TDataDirectory&) {
       // A program died between writing a new slot and the header: the slot
       // is kept as the record it is.
       EditFile(t.dir_.Path() / "People.DAT", [](auto& b) {
         std::vector<uint8_t> slot(b.begin() + long(Slot(1)), b.begin() + long(Slot(2)));
         PutLE32(&slot[5], 500);
         PutLE32(&slot[32], 500);
         slot[kNameAt + 1] = 'Z';
         slot[kNotesAt] = 0;
         std::fill_n(&slot[kNotesAt + 1], 8, 0);
         b.insert(b.end(), slot.begin(), slot.end());
         b.insert(b.end(), 7, 0xEE);  // and a torn start of one more
       });
       TRow row = t.expected_[1];
       row.Name[0] = 'Z';
       row.RowId = 500;
       row.Notes.clear();
       t.expected_[500] = row;
     },
     "7 stray bytes removed"},
};

INSTANTIATE_TEST_SUITE_P(Damage, TableRepairDamageTest, ::testing::ValuesIn(kDamages),
                         [](const auto& info) { return std::string(info.param.Name); });

TEST_F(TableRepairTest, AnEncipheredTableIsRepairedOnlyWithItsPassword) {
  session_.AddPassword("Pw1");
  CreateSound(/*encrypted=*/true);
  EditFile(File(".BLB"), [](auto& b) { std::fill(b.begin(), b.begin() + 512, 0x5A); });
  EditFile(File(".DAT"), [](auto& b) {
    PutLE32(&b[9], 0);   // FirstFreeRecord
    PutLE32(&b[17], 3);  // LastAutoInc
  });
  const auto bytes = DirectoryBytes();

  TDataSession stranger;
  TDataDirectory& elsewhere = stranger.OpenDirectory("Town", Path());
  EXPECT_EQ(ErrorCodeRaisedBy([&] { RepairTable(elsewhere, "People"); }), LEDRA_NOTSUFFTABLERIGHTS);
  EXPECT_EQ(DirectoryBytes(), bytes);

  const TRepairReport report = RepairTable(directory_, "People");
  EXPECT_TRUE(AnyLine(report, "header written anew")) << ::testing::PrintToString(report.Changes);
  EXPECT_TRUE(AnyLine(report, "free chain rebuilt: 24 free slots (was 0)"));
  EXPECT_TRUE(AnyLine(report, "index 'ByName' rebuilt: 216 entries"));
  EXPECT_EQ(Findings(), std::vector<std::string>{});
  EXPECT_EQ(Rows(), expected_);
}

// ---- Refusals --------------------------------------------------------------------------

TEST_F(TableRepairTest, AnUnreadableDataFileIsRefusedAndNothingIsWritten) {
  CreateSound();
  // The index file goes too, so that an open would make one afresh.
  fs::remove(File(".IDX"));
  for (auto damage : std::vector<std::function<void(std::vector<uint8_t>&)>>{
           [](auto& b) { b[8] = 4; },               // format version
           [](auto& b) { b[127 + 768 + 84] = 0; },  // field type 0
           [](auto& b) { b.resize(100); },          // header cut short
       }) {
    const auto original = ReadBytes(File(".DAT"));
    EditFile(File(".DAT"), damage);
    const auto bytes = DirectoryBytes();
    const auto error = test::EngineErrorOf([&] { RepairTable(directory_, "People"); });
    ASSERT_TRUE(error.has_value());
    EXPECT_TRUE(error->ErrorCode == LEDRA_HEADERCORRUPT || error->ErrorCode == LEDRA_OLDVERSION ||
                error->ErrorCode == LEDRA_READERR)
        << error->what();
    EXPECT_EQ(error->ErrorText.rfind("nothing was changed: ", 0), 0u) << error->ErrorText;
    EXPECT_EQ(DirectoryBytes(), bytes);
    WriteBytes(File(".DAT"), original);
  }
}

TEST_F(TableRepairTest, TwoRecordsWithOneUniqueKeyAreRefusedBeforeAnyWrite) {
  CreateSound();
  EditFile(File(".DAT"),
           [](auto& b) { std::copy_n(&b[Slot(4) + kNameAt], 21, &b[Slot(5) + kNameAt]); });
  const auto bytes = DirectoryBytes();
  const auto error = test::EngineErrorOf([&] { RepairTable(directory_, "People"); });
  ASSERT_TRUE(error.has_value());
  EXPECT_EQ(error->ErrorCode, LEDRA_KEYVIOL);
  EXPECT_EQ(error->ErrorIndex, "ByName");
  EXPECT_NE(error->ErrorText.find("record 4 and record 5"), std::string::npos) << error->ErrorText;
  EXPECT_EQ(DirectoryBytes(), bytes);
}

TEST_F(TableRepairTest, RefusedWhileTheTableIsOpenHereOrInAnotherProgram) {
  if (!test::IsChildProcess()) {  // the other program finds the table as this one left it
    CreateSound();
    EditFile(File(".IDX"), [](auto& b) { PutLE32(&b[3974], 5); });
  }
  TChildProcess child([&](TChildProcess& self) {
    if (self.Receive() != kGo) return;
    TDataSession other;
    TDataTable& table = OpenCursorTable(other, "Town", Path(), "People", false, false, {});
    self.Send(kHolding);
    self.Receive();
    other.OpenDirectory("Town", Path()).CloseTable(table, false);
  });
  const auto bytes = DirectoryBytes();

  TDataTable& open = OpenCursorTable(directory_, "People", false, false, {});
  EXPECT_EQ(ErrorCodeRaisedBy([&] { RepairTable(directory_, "People"); }), LEDRA_OSEACCES);
  directory_.CloseTable(open, false);

  child.Send(kGo);
  ASSERT_EQ(child.Receive(), kHolding);
  EXPECT_EQ(ErrorCodeRaisedBy([&] { RepairTable(directory_, "People"); }), LEDRA_OSEACCES);
  child.Send(kGo);
  ASSERT_TRUE(child.Finish());
  EXPECT_EQ(DirectoryBytes(), bytes);

  // Once the other program has gone, the repair runs.
  EXPECT_TRUE(RepairTable(directory_, "People").Changed());
  EXPECT_EQ(Findings(), std::vector<std::string>{});
}

}  // namespace
}  // namespace ledra
