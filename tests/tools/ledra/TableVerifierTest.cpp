#include "engine/table/TableVerifier.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "engine/table/DataSession.h"
#include "engine/table/TableCreation.h"
#include "tests/support/TempDir.h"
#include "tests/tools/ledra/LedraTestSupport.h"
#include "tools/ledra/TableArguments.h"

namespace ledra::test {
namespace {

// The base table: Code (string 8, primary), Name (string 20, index ByName),
// Note (memo). Slots start at 127 + 3 * 768; a record is 9 + 10 + 22 + 9
// bytes; the memo's reference and stamp lie at record bytes 42 and 46.
constexpr size_t kSlots = 127 + 3 * 768;
constexpr size_t kRecordSize = 50;
constexpr size_t kMemoFlag = 41;
constexpr int kRows = 700;
constexpr int kDeletedRow = 350;

// Little-endian numbers in the files' bytes.
uint16_t GetLE16(const uint8_t* p) {
  return uint16_t(p[0] | p[1] << 8);
}
uint32_t GetLE32(const uint8_t* p) {
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}
int32_t GetLEInt32(const uint8_t* p) {
  return int32_t(GetLE32(p));
}
void PutLE16(uint8_t* p, uint16_t v) {
  p[0] = uint8_t(v);
  p[1] = uint8_t(v >> 8);
}
void PutLE32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = uint8_t(v >> (8 * i));
}

size_t PageAt(int32_t page) {
  return size_t(page) * 4096;
}
size_t Desc(int slot) {
  return 14 + 120 * size_t(slot);
}

// Reads and edits the bytes of a copy of the table's files.
class TTableCopy {
 public:
  TTableCopy(const std::string& from, const std::string& to, const std::string& table = "Base")
      : dir_(to), table_(table) {
    std::filesystem::create_directories(to);
    for (const char* ext : {".DAT", ".IDX", ".BLB"}) {
      std::filesystem::copy_file(from + "/" + table + ext, to + "/" + table + ext);
    }
    data = ReadFile(dir_ + "/" + table + ".DAT");
    index = ReadFile(dir_ + "/" + table + ".IDX");
  }
  void Save() {
    WriteFile(dir_ + "/" + table_ + ".DAT", data);
    WriteFile(dir_ + "/" + table_ + ".IDX", index);
  }

  uint8_t* Idx(size_t at) { return reinterpret_cast<uint8_t*>(index.data() + at); }
  uint16_t KeyLength(int slot) { return GetLE16(Idx(Desc(slot) + 31)); }
  int32_t Root(int slot) { return GetLEInt32(Idx(Desc(slot) + 86)); }
  uint8_t Type(int32_t page) { return *Idx(PageAt(page)); }
  uint16_t Entries(int32_t page) { return GetLE16(Idx(PageAt(page) + 1)); }
  // Entry i of an inner page with subtree counts: key, child, count.
  size_t InnerEntry(int slot, int32_t page, size_t i) {
    return PageAt(page) + 13 + i * (KeyLength(slot) + 8u);
  }
  int32_t Child(int slot, int32_t page, size_t i) {
    return GetLEInt32(Idx(InnerEntry(slot, page, i) + KeyLength(slot)));
  }
  // The leftmost or rightmost leaf, through the first or last entries.
  int32_t EdgeLeaf(int slot, bool last) {
    int32_t page = Root(slot);
    while (Type(page) == 0 || Type(page) == 1) {
      page = Child(slot, page, last ? Entries(page) - 1u : 0);
    }
    return page;
  }

  std::string data;
  std::string index;

 private:
  std::string dir_;
  std::string table_;
};

class TableVerifierTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    base_ = new TempDir();
    const std::string dir = base_->Path().string();
    ASSERT_EQ(
        RunLedra({"create", dir, "Base", "--field", "Code:string:8", "--field", "Name:string:20",
                  "--field", "Note:memo", "--primary", "Code", "--index", "ByName:Name"})
            .Exit,
        0);
    // Records 1 and 2 hold memo values of three blocks each.
    std::string input = "Code,Name,Note\n";
    for (int i = 0; i < kRows; ++i) {
      const int n = (i * 389) % kRows;  // an order unlike the keys'
      const std::string note = i < 2 ? std::string(1200, char('b' + i)) : std::string();
      input += "K" + std::to_string(10000 + n) + ",Name " + std::to_string((n * 7) % 100) + "," +
               note + "\n";
      if (n == kDeletedRow) deletedRecord_ = i + 1;
    }
    TLedraRun imported = RunLedra({"import", dir, "Base", "-"}, input);
    ASSERT_EQ(imported.Exit, 0) << imported.Err;
    ASSERT_EQ(RunLedra({"delete", dir, "Base", "K" + std::to_string(10000 + kDeletedRow)}).Exit, 0);
  }
  static void TearDownTestSuite() {
    delete base_;
    base_ = nullptr;
  }

  std::string Base() const { return base_->Path().string(); }
  std::string CopyDir() const { return (dir_.Path() / "copy").string(); }
  TLedraRun Verify(const std::vector<std::string>& extra = {}) {
    std::vector<std::string> args{"verify", CopyDir(), "Base"};
    args.insert(args.end(), extra.begin(), extra.end());
    return RunLedra(args);
  }
  static bool Has(const TLedraRun& run, const std::string& text) {
    return run.Out.find(text) != std::string::npos;
  }

  static TempDir* base_;
  static int deletedRecord_;
  TempDir dir_;
};

TempDir* TableVerifierTest::base_ = nullptr;
int TableVerifierTest::deletedRecord_ = 0;

TEST_F(TableVerifierTest, TheTableAsWrittenIsSound) {
  TLedraRun run = RunLedra({"verify", Base(), "Base", "--json"});
  EXPECT_EQ(run.Exit, 0) << run.Out;
  nlohmann::json report = nlohmann::json::parse(run.Out);
  EXPECT_EQ(report["sound"], true);
  EXPECT_EQ(report["liveRecords"], kRows - 1);
  EXPECT_EQ(report["indexesChecked"], 4);  // primary, ByName, deleted records, text
  // The memo values read back through export.
  TLedraRun exported = RunLedra({"export", Base(), "Base", "--natural"});
  std::vector<std::string> lines = Lines(exported.Out);
  ASSERT_GE(lines.size(), 3u);
  EXPECT_EQ(lines[1].substr(lines[1].size() - 1200), std::string(1200, 'b'));
  EXPECT_EQ(lines[2].substr(lines[2].size() - 1200), std::string(1200, 'c'));
}

TEST_F(TableVerifierTest, FindsAFlippedKeyByte) {
  TTableCopy copy(Base(), CopyDir());
  int32_t leaf = copy.EdgeLeaf(1, false);
  copy.index[PageAt(leaf) + 13 + (copy.KeyLength(1) + 4u) + 3] ^= 0x01;
  copy.Save();
  TLedraRun run = Verify();
  EXPECT_EQ(run.Exit, 1);
  EXPECT_TRUE(
      Has(run, "index: index 'ByName', page " + std::to_string(leaf) + ": the key of record"))
      << run.Out;
  EXPECT_TRUE(Has(run, "differs from the key built from the record"));
}

TEST_F(TableVerifierTest, FindsAWrongSubtreeCount) {
  TTableCopy copy(Base(), CopyDir());
  const int32_t root = copy.Root(0);
  ASSERT_EQ(copy.Type(root), 0) << "the primary index should have more than one level";
  uint8_t* count = copy.Idx(copy.InnerEntry(0, root, 0) + copy.KeyLength(0) + 4);
  PutLE32(count, GetLE32(count) + 1);
  copy.Save();
  TLedraRun run = Verify();
  EXPECT_EQ(run.Exit, 1);
  EXPECT_TRUE(Has(run, "primary index: slot 0, page " + std::to_string(copy.Child(0, root, 0)) +
                           ": subtree count"))
      << run.Out;
}

TEST_F(TableVerifierTest, FindsABrokenSiblingLink) {
  TTableCopy copy(Base(), CopyDir());
  const int32_t leaf = copy.EdgeLeaf(0, false);
  const int32_t next = GetLEInt32(copy.Idx(PageAt(leaf) + 7));
  ASSERT_NE(next, 0);
  PutLE32(copy.Idx(PageAt(leaf) + 7), 0);
  copy.Save();
  TLedraRun run = Verify();
  EXPECT_EQ(run.Exit, 1);
  EXPECT_TRUE(
      Has(run, "page " + std::to_string(leaf) + ": NextPage 0 should be " + std::to_string(next)))
      << run.Out;
}

TEST_F(TableVerifierTest, FindsAWrongLiveRecordCount) {
  TTableCopy copy(Base(), CopyDir());
  PutLE32(copy.Idx(3974), kRows);
  copy.Save();
  TLedraRun run = Verify();
  EXPECT_EQ(run.Exit, 1);
  EXPECT_EQ(Lines(run.Out), (std::vector<std::string>{
                                "index: the index header counts 700 live records, the data file "
                                "holds 699"}));
}

// The freed slot is the last entry of the deleted-records index (free slots
// sort after live ones); taking it out of its leaf, with the count above it,
// leaves a tree that is sound in itself.
TEST_F(TableVerifierTest, FindsAFreeSlotMissingFromTheDeletedRecordsIndex) {
  TTableCopy copy(Base(), CopyDir());
  const int32_t root = copy.Root(31);
  ASSERT_EQ(copy.Type(root), 0);
  const size_t lastEntry = copy.Entries(root) - 1u;
  const int32_t leaf = copy.Child(31, root, lastEntry);
  const uint16_t entries = copy.Entries(leaf);
  ASSERT_GT(entries, 1);
  const size_t at = PageAt(leaf) + 13 + (entries - 1u) * 9u;
  ASSERT_EQ(copy.index[at], 1);  // the deleted flag of the key
  ASSERT_EQ(GetLEInt32(copy.Idx(at + 5)), deletedRecord_);
  std::fill(copy.index.begin() + std::ptrdiff_t(at), copy.index.begin() + std::ptrdiff_t(at + 9),
            '\0');
  PutLE16(copy.Idx(PageAt(leaf) + 1), uint16_t(entries - 1));
  uint8_t* count = copy.Idx(copy.InnerEntry(31, root, lastEntry) + 5 + 4);
  PutLE32(count, GetLE32(count) - 1);
  copy.Save();
  TLedraRun run = Verify();
  EXPECT_EQ(run.Exit, 1);
  EXPECT_EQ(Lines(run.Out),
            (std::vector<std::string>{"index: deleted-records index: record " +
                                      std::to_string(deletedRecord_) + " is missing"}));
}

TEST_F(TableVerifierTest, FindsABlobBlockSharedByTwoChains) {
  TTableCopy copy(Base(), CopyDir());
  // Record 2 takes over record 1's reference and stamp.
  copy.data.replace(kSlots + kRecordSize + kMemoFlag + 1, 8,
                    copy.data.substr(kSlots + kMemoFlag + 1, 8));
  copy.Save();
  TLedraRun run = Verify({"--json"});
  EXPECT_EQ(run.Exit, 1);
  nlohmann::json report = nlohmann::json::parse(run.Out);
  EXPECT_EQ(report["sound"], false);
  std::vector<std::string> texts;
  for (const nlohmann::json& finding : report["findings"]) {
    EXPECT_EQ(finding["area"], "blob");
    texts.push_back(finding["text"]);
  }
  auto has = [&](const std::string& text) {
    return std::any_of(texts.begin(), texts.end(),
                       [&](const std::string& t) { return t.find(text) != std::string::npos; });
  };
  EXPECT_TRUE(has("the blob of record 2 (field 'Note'): block")) << run.Out;
  EXPECT_TRUE(has("also belongs to the blob of record 1 (field 'Note')")) << run.Out;
  EXPECT_TRUE(has("belongs to no chain and is not free")) << run.Out;  // record 2's old chain
}

// Damage the engine itself refuses at open is a finding too; a missing index
// file is reported without making a new one.
TEST_F(TableVerifierTest, ReportsHeadersTheEngineRefusesAndMissingFiles) {
  {
    TTableCopy copy(Base(), CopyDir());
    copy.data.push_back('\0');  // one byte more than whole slots
    copy.Save();
    TLedraRun run = Verify();
    EXPECT_EQ(run.Exit, 1);
    EXPECT_TRUE(Has(run, "table: the table cannot be opened: Ledra Engine Error # 8961"))
        << run.Out;
  }
  std::filesystem::remove_all(CopyDir());
  TTableCopy copy(Base(), CopyDir());
  std::filesystem::remove(CopyDir() + "/Base.IDX");
  TLedraRun run = Verify();
  EXPECT_EQ(run.Exit, 1);
  EXPECT_TRUE(Has(run, "Base.IDX is missing")) << run.Out;
  EXPECT_FALSE(std::filesystem::exists(CopyDir() + "/Base.IDX"));
}

// A text index over a memo field holds the memo's words: a sound table has
// no findings, and a word taken out of the index is reported missing.
TEST(TableVerifierMemoTest, ReadsTheWordsOfMemoFieldsInTheTextIndex) {
  TempDir dir;
  const std::string path = dir.Path().string();
  {
    tool::TTableArguments arguments;
    arguments.Fields = {"Code:string:8", "Title:string:30", "Note:memo"};
    arguments.Primary = "Code";
    TTableDefinition definition = arguments.BuildDefinition();
    definition.TextIndexFields = {2, 3};
    TDataSession session;
    CreateNewTable(session.OpenDirectory(path, path), "Notes", definition);
  }
  const std::string input =
      "Code,Title,Note\n"
      "A,Harbour master,\"Ships anchor in the outer harbour\"\n"
      "B,,\"Zebra crossing near the quay\"\n"
      "C,Plain title,\n";
  TLedraRun imported = RunLedra({"import", path, "Notes", "-"}, input);
  ASSERT_EQ(imported.Exit, 0) << imported.Err;
  // An edit changes the words of a memo too.
  ASSERT_EQ(RunLedra({"update", path, "Notes", "C", "--set", "Note=Yellow yachts yawl"}).Exit, 0);

  TLedraRun sound = RunLedra({"verify", path, "Notes"});
  EXPECT_EQ(sound.Exit, 0) << sound.Out;
  EXPECT_EQ(Lines(sound.Out),
            (std::vector<std::string>{"Table Notes is sound: 3 live records, 3 indexes checked."}));

  // The text index is one root leaf with fully compressed entries: p (bytes
  // shared with the key before), t (trailing zeros left out), the rest of the
  // key, the record number. The greatest key, a word of field 3 (Note), comes
  // last; taking it out leaves a sound tree without that word.
  TTableCopy copy(path, (dir.Path() / "copy").string(), "Notes");
  const int32_t root = GetLEInt32(copy.Idx(Desc(32) + 86));
  ASSERT_EQ(copy.Type(root), 3) << "the text index should be one leaf";
  const size_t keyLength = GetLE16(copy.Idx(Desc(32) + 31));
  const uint16_t entries = copy.Entries(root);
  ASSERT_GT(entries, 1);
  const size_t body = PageAt(root) + 13;
  size_t at = body, last = 0, lastLength = 0;
  for (uint16_t i = 0; i < entries; ++i) {
    last = at;
    lastLength = keyLength - uint8_t(copy.index[at]) - uint8_t(copy.index[at + 1]) + 6;
    at += lastLength;
  }
  ASSERT_EQ(GetLE16(copy.Idx(PageAt(root) + 11)), at - body) << "UsedBytes: entries misread";
  ASSERT_EQ(copy.index[last], 3);  // shares the marker and field number 3 with the key before
  const std::string word =
      copy.index.substr(last + 2, keyLength - 3 - uint8_t(copy.index[last + 1]) - 4);
  const int32_t record = GetLEInt32(copy.Idx(last + lastLength - 4));
  std::fill(copy.index.begin() + std::ptrdiff_t(last),
            copy.index.begin() + std::ptrdiff_t(last + lastLength), '\0');
  PutLE16(copy.Idx(PageAt(root) + 1), uint16_t(entries - 1));
  PutLE16(copy.Idx(PageAt(root) + 11), uint16_t(last - body));
  copy.Save();
  EXPECT_EQ(word, "ZEBRA");
  TLedraRun run = RunLedra({"verify", (dir.Path() / "copy").string(), "Notes"});
  EXPECT_EQ(run.Exit, 1);
  EXPECT_EQ(Lines(run.Out),
            (std::vector<std::string>{"index: text index: word '" + word + "' of record " +
                                      std::to_string(record) + " is missing"}));
}

}  // namespace
}  // namespace ledra::test
