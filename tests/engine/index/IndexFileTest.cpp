#include "engine/index/IndexFile.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "engine/files/Bytes.h"
#include "engine/files/TableCipher.h"
#include "tests/engine/index/IndexTestSupport.h"
#include "tests/support/TempDir.h"

namespace ledra {
namespace {

using test::Bytes;
using test::CodeOf;

class IndexFileTest : public ::testing::Test {
 protected:
  void SetUp() override { fields_ = test::SampleFields(); }

  std::string Path() const { return dir_.File("Towns.IDX"); }

  void Configure(TIndexFile& file, bool encrypted = false) {
    TIndexFileSettings settings;
    settings.Fields = &fields_;
    settings.Encrypted = encrypted;
    settings.PrivateDir = dir_.Path().string();
    settings.TableName = "Towns";
    settings.OnWritten = [this] { ++written_; };
    file.SetSettings(std::move(settings));
  }

  // A new file with its fresh header written.
  void Create(TIndexFile& file, bool encrypted = false) {
    file.SetFileName(Path());
    Configure(file, encrypted);
    file.CreateIndexFile();
    ASSERT_TRUE(file.WriteIndexHeader(false));
  }

  void Open(TIndexFile& file, bool encrypted = false) {
    file.SetFileName(Path());
    Configure(file, encrypted);
    file.OpenIndexFile();
  }

  static TIndexDesc Desc(const std::string& name, std::initializer_list<uint16_t> fields,
                         uint16_t keyLength, bool unique) {
    TIndexDesc d;
    d.SetIndexName(name);
    d.KeyLength = keyLength;
    d.Unique = unique ? 1 : 0;
    d.KeyFieldCount = uint8_t(fields.size());
    size_t i = 0;
    for (uint16_t f : fields) d.KeyFields[i++] = f;
    return d;
  }

  test::TempDir dir_;
  std::vector<TFieldDesc> fields_;
  int written_ = 0;
};

TEST_F(IndexFileTest, FreshFileIsOneHeaderBlock) {
  {
    TIndexFile file;
    Create(file);
    EXPECT_EQ(written_, 1);
    EXPECT_FALSE(file.IdxHeaderModified());
    EXPECT_FALSE(file.WriteIndexHeader(false)) << "nothing changed since";
  }
  EXPECT_EQ(test::ReadFileBytes(Path()), test::FreshHeaderGolden());

  TIndexFile file;
  Open(file);
  EXPECT_EQ(file.IdxChangeCount(), 1u);
  EXPECT_EQ(file.NextPageNo(), 1);
  EXPECT_EQ(file.SecondaryIndexCount(), 0);
  EXPECT_FALSE(file.IdxHeaderModified()) << "the stored byte is cleared on reading";
  EXPECT_EQ(file.GetIndexDesc(kDeletedSlot).IndexName(), "Sys Deleted");
  EXPECT_EQ(file.GetIndexDesc(kTextSlot).KeyLength, 68);
  EXPECT_FALSE(file.IsValidPageNo(1));
  EXPECT_TRUE(file.IsValidPageNo(0));
  EXPECT_EQ(CodeOf([&] { file.CheckIndexVersion(); }), LEDRA_NONE);

  ASSERT_TRUE(file.WriteIndexHeader(true));
  EXPECT_EQ(GetLE32(test::ReadFileBytes(Path()).data()), 2u);
  EXPECT_EQ(test::ReadFileBytes(Path())[3979], 0) << "written as it stood: not modified";
}

TEST_F(IndexFileTest, OpenRefusesTooManySecondaryIndexes) {
  Bytes header = test::FreshHeaderGolden();
  header[13] = 31;
  test::WriteFileBytes(Path(), header);
  TIndexFile file;
  EXPECT_EQ(CodeOf([&] { Open(file); }), LEDRA_HEADERCORRUPT);
  EXPECT_FALSE(file.IsOpen());

  header[13] = 30;
  test::WriteFileBytes(Path(), header);
  Open(file);
  EXPECT_EQ(file.SecondaryIndexCount(), 30);
  file.CloseIndexFile();

  test::WriteFileBytes(Path(), Bytes(header.begin(), header.begin() + 4000));
  EXPECT_EQ(CodeOf([&] { Open(file); }), LEDRA_READERR);
  EXPECT_FALSE(file.IsOpen());
}

TEST_F(IndexFileTest, VerifyUsesTheTableFields) {
  TIndexFile file;
  Create(file);
  file.DefinePrimaryIndex(Desc("", {2}, 5, true));
  file.AddIndexDesc(Desc("ByName", {1}, 16, false));
  file.WriteIndexHeader(false);
  file.CloseIndexFile();
  Open(file);
  EXPECT_EQ(CodeOf([&] { file.VerifyIndexHeader(); }), LEDRA_NONE);
  file.CloseIndexFile();

  // The table's Name field is now an integer: the stored key length is wrong.
  fields_[0] = test::MakeField(1, "Name", fldInteger);
  Open(file);
  EXPECT_EQ(CodeOf([&] { file.VerifyIndexHeader(); }), LEDRA_HEADERCORRUPT);
}

// Pages reach the file before the header that counts them, so a header
// counting pages the file does not hold is damaged: appending after its
// NextPageNo would have written gigabytes past the end of the file.
TEST_F(IndexFileTest, AHeaderCountingPagesBeyondTheFileIsRefused) {
  TIndexFile file;
  Create(file);
  file.DefinePrimaryIndex(Desc("", {2}, 5, true));
  file.WriteIndexHeader(false);
  file.CloseIndexFile();
  const Bytes sound = test::ReadFileBytes(Path());
  ASSERT_EQ(sound.size(), kIndexHeaderSize);
  Open(file);
  EXPECT_EQ(CodeOf([&] { file.VerifyIndexHeader(); }), LEDRA_NONE);

  // Another program writes a header that counts 500000 pages.
  Bytes damaged = sound;
  PutLE32(damaged.data(), GetLE32(sound.data()) + 1);
  PutLE32(damaged.data() + 9, 500000);
  test::WriteFileBytes(Path(), damaged);
  EXPECT_EQ(CodeOf([&] { file.RefreshIndexHeader(); }), LEDRA_HEADERCORRUPT);
  EXPECT_EQ(file.NextPageNo(), 1) << "the header in memory is kept";
  EXPECT_EQ(file.IdxChangeCount(), GetLE32(sound.data()));
  file.CloseIndexFile();

  Open(file);
  EXPECT_EQ(file.NextPageNo(), 500000);
  EXPECT_EQ(CodeOf([&] { file.VerifyIndexHeader(); }), LEDRA_HEADERCORRUPT);
  file.CloseIndexFile();
  EXPECT_EQ(test::ReadFileBytes(Path()).size(), kIndexHeaderSize);

  // One page more than the file holds is enough.
  PutLE32(damaged.data() + 9, 2);
  test::WriteFileBytes(Path(), damaged);
  Open(file);
  EXPECT_EQ(CodeOf([&] { file.VerifyIndexHeader(); }), LEDRA_HEADERCORRUPT);
}

TEST_F(IndexFileTest, PrimaryIndexDefinition) {
  TIndexFile file;
  Create(file);
  try {
    file.DefinePrimaryIndex(Desc("", {1, 3}, 17, true));
    FAIL() << "a memo key field was accepted";
  } catch (const ELedraEngineError& error) {
    EXPECT_EQ(error.ErrorCode, LEDRA_SEARCHCOLREQD);
    EXPECT_EQ(error.ErrorField, "Notes");
    EXPECT_EQ(error.ErrorIndex, "Primary");
  }
  TIndexDesc tooMany = Desc("", {1}, 12, true);
  tooMany.KeyFieldCount = 17;
  EXPECT_EQ(CodeOf([&] { file.DefinePrimaryIndex(tooMany); }), LEDRA_INDEXLIMIT);
  EXPECT_EQ(CodeOf([&] { file.DefinePrimaryIndex(Desc("", {1}, 16, true)); }), LEDRA_INVALIDKEY)
      << "a primary key carries no row-id tail";
  TIndexDesc stray = Desc("", {1}, 12, true);
  stray.KeyFields[2] = 4;
  EXPECT_EQ(CodeOf([&] { file.DefinePrimaryIndex(stray); }), LEDRA_INVALIDIDXDESC);
  EXPECT_EQ(file.GetIndexDesc(0).KeyLength, 0) << "failed edits change nothing";

  TIndexDesc primary = Desc("Ignored", {1}, 12, false);
  primary.CaseInsensitive = 1;
  primary.Compression = kCompressDupByte;
  primary.RootPage = 99;
  file.DefinePrimaryIndex(primary);
  TIndexDesc stored = file.GetIndexDesc(0);
  EXPECT_EQ(stored.IndexName(), "");
  EXPECT_EQ(stored.Unique, 1);
  EXPECT_EQ(stored.KeyLength, 12);
  EXPECT_EQ(stored.CaseInsensitive, 1);
  EXPECT_EQ(stored.Compression, kCompressDupByte);
  EXPECT_EQ(stored.RootPage, 0);
  EXPECT_FALSE(file.NoPrimaryIndex());
  EXPECT_TRUE(file.IdxHeaderModified());
  EXPECT_EQ(CodeOf([&] { file.DefinePrimaryIndex(Desc("", {2}, 5, true)); }),
            LEDRA_PRIMARYKEYREDEFINE);

  file.RemoveIndexDesc(0, true);
  EXPECT_TRUE(file.NoPrimaryIndex());
  EXPECT_EQ(file.GetIndexDesc(0), TIndexDesc{});
  TIndexFile other;
  other.SetFileName(dir_.File("Other.IDX"));
  Configure(other);
  other.CreateIndexFile();
  other.DefinePrimaryIndex(Desc("", {}, 0, true));
  EXPECT_TRUE(other.NoPrimaryIndex());
}

TEST_F(IndexFileTest, AddIndexDescRefusals) {
  TIndexFile file;
  Create(file);
  file.AddIndexDesc(Desc("ByName", {1}, 16, false));
  const TIndexHeader before = file.Header();
  struct TCase {
    TIndexDesc desc;
    TEngineErrorCode code;
  };
  TIndexDesc many = Desc("Many", {1}, 16, false);
  many.KeyFieldCount = 17;
  const std::vector<TCase> cases = {
      {many, LEDRA_INDEXLIMIT},
      {Desc("", {1}, 16, false), LEDRA_INDEXNAMEREQUIRED},
      {Desc("1st", {1}, 16, false), LEDRA_INVALIDINDEXNAME},
      {Desc(" Lead", {1}, 16, false), LEDRA_INVALIDINDEXNAME},
      {Desc("byNAME  ", {2}, 9, false), LEDRA_INDEXEXISTS},
      {Desc("ByPicture", {5}, 10, false), LEDRA_SEARCHCOLREQD},
      {Desc("ByShort", {4}, 6, false), LEDRA_INVALIDKEY},
      {Desc("ByNothing", {}, 4, false), LEDRA_INVALIDKEY},
      {Desc("ByGhost", {40}, 6, true), LEDRA_INVALIDIDXDESC},
  };
  for (const TCase& c : cases) {
    EXPECT_EQ(CodeOf([&] { file.AddIndexDesc(c.desc); }), c.code) << c.desc.IndexName();
    EXPECT_EQ(file.Header(), before) << c.desc.IndexName();
  }
  file.AddIndexDesc(Desc("_Short", {4}, 6, true));
  file.AddIndexDesc(Desc("\xC9tat", {2, 4}, 11, true));
  EXPECT_EQ(file.SecondaryIndexCount(), 3);
  EXPECT_EQ(file.FindIndexName("BYNAME"), 1);
  EXPECT_EQ(file.FindIndexName("\xE9TAT"), 3);
  EXPECT_EQ(file.FindIndexName(""), 0);
  EXPECT_EQ(file.FindIndexName("Sys Text"), -1) << "slots 31 and 32 are not searched";
  EXPECT_EQ(file.GetKeyFields(3)[1], 4);

  for (int i = 4; i <= kMaxSecondary; ++i) {
    file.AddIndexDesc(Desc("Idx" + std::to_string(i), {2}, 9, false));
  }
  EXPECT_EQ(CodeOf([&] { file.AddIndexDesc(Desc("OneMore", {2}, 9, false)); }), LEDRA_INDEXLIMIT);
}

TEST_F(IndexFileTest, RemovingMovesLaterSlotsDown) {
  TIndexFile file;
  Create(file);
  file.AddIndexDesc(Desc("A", {1}, 16, false));
  file.AddIndexDesc(Desc("B", {2}, 9, false));
  file.AddIndexDesc(Desc("C", {4}, 10, false));
  file.SetNextPageNo(0, 8);
  file.SetRootPage(1, 7);
  file.SetFirstFreePage(1, 6);
  file.WriteIndexHeader(false);
  file.RemoveIndexDesc(1, true);
  EXPECT_EQ(file.SecondaryIndexCount(), 2);
  EXPECT_EQ(file.GetIndexDesc(1).IndexName(), "B");
  EXPECT_EQ(file.GetIndexDesc(2).IndexName(), "C");
  EXPECT_EQ(file.GetIndexDesc(3).IndexName(), "A") << "the removed descriptor is kept";
  EXPECT_EQ(file.GetIndexDesc(3).RootPage, 7);
  EXPECT_TRUE(file.IdxHeaderModified());
  EXPECT_EQ(CodeOf([&] { file.RemoveIndexDesc(3, true); }), LEDRA_INVALIDINDEXDELETE);

  // A new index in that slot takes over the free list but not the tree.
  file.AddIndexDesc(Desc("D", {6}, 13, false));
  EXPECT_EQ(file.GetIndexDesc(3).IndexName(), "D");
  EXPECT_EQ(file.GetIndexDesc(3).RootPage, 0);
  EXPECT_EQ(file.GetIndexDesc(3).FirstFreePage, 6);
  file.RemoveIndexDesc(3, true);
  file.SetFirstFreePage(3, 99);  // a stale number beyond the file
  file.AddIndexDesc(Desc("E", {6}, 13, false));
  EXPECT_EQ(file.GetIndexDesc(3).FirstFreePage, 0);

  file.RenameIndexDesc(2, Desc("Renamed", {6}, 1, true));
  EXPECT_EQ(file.GetIndexDesc(2).IndexName(), "Renamed");
  EXPECT_EQ(file.GetIndexDesc(2).KeyFields[0], 6);
  EXPECT_EQ(file.GetIndexDesc(2).KeyLength, 10) << "a rename keeps the key length";

  file.SetFirstFreePage(2, 5);
  TIndexDesc replacement = Desc("New", {2}, 5, true);
  replacement.RootPage = 3;
  replacement.Byte94 = 1;
  file.ReplaceIndexDesc(2, replacement);
  EXPECT_EQ(file.GetIndexDesc(2).IndexName(), "New");
  EXPECT_EQ(file.GetIndexDesc(2).RootPage, 0);
  EXPECT_EQ(file.GetIndexDesc(2).Byte94, 0);
  EXPECT_EQ(file.GetIndexDesc(2).FirstFreePage, 5);
}

TEST_F(IndexFileTest, TemporaryIndexesStayOutOfTheFile) {
  TIndexFile file;
  Create(file);
  file.AddIndexDesc(Desc("Kept", {1}, 16, false));
  TIndexDesc temp = Desc("Scratch", {2}, 9, false);
  temp.Temporary = 1;
  file.AddIndexDesc(temp);
  ASSERT_TRUE(file.IsTemporarySlot(2));
  std::string tempName = file.TemporaryFileName();
  ASSERT_FALSE(tempName.empty());
  EXPECT_EQ(std::filesystem::path(tempName).parent_path(), dir_.Path());
  EXPECT_EQ(std::filesystem::path(tempName).extension(), ".IDX");
  EXPECT_TRUE(std::filesystem::exists(tempName));

  file.WriteIndexHeader(false);
  Bytes disk = test::ReadFileBytes(Path());
  EXPECT_EQ(disk[13], 1) << "written one lower than in memory";
  EXPECT_EQ(file.SecondaryIndexCount(), 2);
  EXPECT_EQ(Bytes(disk.begin() + 14 + 240, disk.begin() + 14 + 360), Bytes(120, 0));
  EXPECT_EQ(disk[14 + 120], 4) << "slot 1 is written";

  // Its pages go to the temporary file, numbered from 1 there.
  file.SetNextPageNo(2, 2);
  EXPECT_EQ(file.NextPageNo(2), 2);
  EXPECT_EQ(file.NextPageNo(), 1);
  Bytes page(kIndexPageSize, 0x5A);
  file.WritePageBytes(2, 1, page.data(), 1);
  EXPECT_EQ(std::filesystem::file_size(tempName), 2 * kIndexPageSize);
  EXPECT_EQ(std::filesystem::file_size(Path()), kIndexHeaderSize);
  Bytes back(kIndexPageSize);
  file.ReadPageBytes(2, 1, back.data());
  EXPECT_EQ(back, Bytes(kIndexPageSize, 0x5A));

  file.CloseIndexFile();
  EXPECT_FALSE(std::filesystem::exists(tempName));
  EXPECT_EQ(file.SecondaryIndexCount(), 1);
  EXPECT_EQ(file.GetIndexDesc(2), TIndexDesc{});
}

TEST_F(IndexFileTest, RefreshKeepsUnwrittenChangesWhenUnchanged) {
  TIndexFile first;
  Create(first);
  first.SetLiveRecordCount(5);
  EXPECT_FALSE(first.RefreshIndexHeader());
  EXPECT_EQ(first.LiveRecordCount(), 5);
  EXPECT_TRUE(first.IdxHeaderModified());
  first.WriteIndexHeader(false);
  first.CloseIndexFile();

  Open(first);
  TIndexFile second;
  Open(second);
  second.IncLiveRecordCount();
  second.IncLiveRecordCount();
  second.DecLiveRecordCount();
  second.WriteIndexHeader(false);
  EXPECT_TRUE(first.RefreshIndexHeader());
  EXPECT_EQ(first.LiveRecordCount(), 6);
  EXPECT_EQ(first.IdxChangeCount(), second.IdxChangeCount());
  EXPECT_TRUE(first.IdxHeaderModified()) << "byte 3979 is taken as written";

  // A changed header that went bad is refused and memory left alone.
  Bytes disk = test::ReadFileBytes(Path());
  disk[0] += 1;
  disk[13] = 40;
  test::WriteFileBytes(Path(), disk);
  EXPECT_EQ(CodeOf([&] { first.RefreshIndexHeader(); }), LEDRA_HEADERCORRUPT);
  EXPECT_EQ(first.SecondaryIndexCount(), 0);
  EXPECT_EQ(first.LiveRecordCount(), 6);
}

TEST_F(IndexFileTest, SettersMarkOnlyChanges) {
  TIndexFile file;
  Create(file);
  file.SetLiveRecordCount(0);
  file.SetRootPage(1, 0);
  file.SetNextPageNo(0, 1);
  file.SetTextParamPage(0);
  file.SetNoPrimaryIndex(false);
  EXPECT_FALSE(file.IdxHeaderModified());
  int before = written_;
  uint32_t count = file.IdxChangeCount();
  file.MarkIndexHeaderChanged();
  EXPECT_EQ(file.IdxChangeCount(), count + 1);
  EXPECT_TRUE(file.IdxHeaderModified());
  EXPECT_EQ(written_, before + 1);
  EXPECT_EQ(GetLE32(test::ReadFileBytes(Path()).data()), count) << "nothing written";
}

TEST_F(IndexFileTest, PagesAndEmptying) {
  TIndexFile file;
  Create(file);
  EXPECT_EQ(CodeOf([&] {
              Bytes b(kIndexPageSize);
              file.ReadPageBytes(0, 1, b.data());
            }),
            LEDRA_INDEXCORRUPT)
      << "no page exists while NextPageNo is 1";
  file.SetNextPageNo(0, 4);
  Bytes pages(3 * kIndexPageSize);
  for (size_t i = 0; i < pages.size(); ++i) pages[i] = uint8_t(i / kIndexPageSize + 1);
  file.WritePageBytes(0, 1, pages.data(), 3);
  EXPECT_EQ(std::filesystem::file_size(Path()), 4 * kIndexPageSize);
  Bytes page(kIndexPageSize);
  file.ReadPageBytes(0, 3, page.data());
  EXPECT_EQ(page, Bytes(kIndexPageSize, 3));
  for (int32_t bad : {0, -1, 4, 976562}) {
    EXPECT_EQ(CodeOf([&] { file.ReadPageBytes(0, bad, page.data()); }), LEDRA_INDEXCORRUPT) << bad;
  }
  EXPECT_EQ(CodeOf([&] { file.WritePageBytes(0, 3, pages.data(), 2); }), LEDRA_INDEXCORRUPT);

  file.SetRootPage(0, 1);
  file.SetFirstFreePage(kTextSlot, 2);
  file.SetTextParamPage(3);
  file.SetLiveRecordCount(9);
  file.WriteIndexHeader(false);
  file.EmptyIndexes();
  EXPECT_EQ(std::filesystem::file_size(Path()), kIndexHeaderSize);
  EXPECT_EQ(file.NextPageNo(), 1);
  EXPECT_EQ(file.RootPage(0), 0);
  EXPECT_EQ(file.FirstFreePage(kTextSlot), 0);
  EXPECT_EQ(file.TextParamPage(), 0);
  EXPECT_EQ(file.LiveRecordCount(), 0);
  EXPECT_TRUE(file.IdxHeaderModified());
  EXPECT_EQ(file.GetIndexDesc(kDeletedSlot).IndexName(), "Sys Deleted");
}

TEST_F(IndexFileTest, EncipheredHeaderAndPages) {
  TIndexFile file;
  Create(file, true);
  Bytes disk = test::ReadFileBytes(Path());
  Bytes plain = test::FreshHeaderGolden();
  CipherDataRun(plain.data(), plain.size());
  EXPECT_EQ(disk, plain) << "the header block is one run";

  file.SetNextPageNo(0, 3);
  Bytes pages(2 * kIndexPageSize, 0);
  pages[0] = 0x03;
  pages[kIndexPageSize] = 0x02;
  Bytes expected = pages;
  CipherDataRun(expected.data(), kIndexPageSize);
  CipherDataRun(expected.data() + kIndexPageSize, kIndexPageSize);
  file.WritePageBytes(0, 1, pages.data(), 2);
  disk = test::ReadFileBytes(Path());
  EXPECT_EQ(Bytes(disk.begin() + kIndexPageSize, disk.end()), expected)
      << "each page is its own run";
  Bytes back(kIndexPageSize);
  file.ReadPageBytes(0, 2, back.data());
  EXPECT_EQ(back[0], 0x02);
  EXPECT_EQ(back[1], 0x00);
  file.WriteIndexHeader(false);
  file.CloseIndexFile();

  Open(file, true);
  EXPECT_EQ(file.NextPageNo(), 3);
  EXPECT_EQ(file.GetIndexDesc(kTextSlot).IndexName(), "Sys Text");
}

}  // namespace
}  // namespace ledra
