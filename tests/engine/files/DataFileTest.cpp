#include "engine/files/DataFile.h"

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "engine/errors/EngineError.h"
#include "platform/Diagnostics.h"
#include "platform/System.h"
#include "platform/WinError.h"
#include "tests/engine/files/FieldTestSupport.h"
#include "tests/support/EngineErrors.h"
#include "tests/support/FieldBuilder.h"
#include "tests/support/TempDir.h"

namespace ledra {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteFile(const std::string& path, const Bytes& bytes) {
  std::ofstream(path, std::ios::binary | std::ios::trunc)
      .write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
}

void Patch(const std::string& path, size_t offset, const Bytes& bytes) {
  Bytes all = ReadFile(path);
  if (all.size() < offset + bytes.size()) all.resize(offset + bytes.size());
  std::copy(bytes.begin(), bytes.end(), all.begin() + std::ptrdiff_t(offset));
  WriteFile(path, all);
}

Bytes LE32(uint32_t v) {
  return {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)};
}

// One descriptor as the format lays it out, all other bytes zero.
Bytes DescBytes(uint16_t no, const std::string& name, uint8_t type, uint8_t subType, uint8_t size,
                uint8_t dataSize, uint16_t offset) {
  Bytes b(768, 0);
  b[0] = uint8_t(no), b[1] = uint8_t(no >> 8);
  b[2] = uint8_t(name.size());
  std::memcpy(&b[3], name.data(), name.size());
  b[84] = type, b[85] = subType, b[86] = size, b[88] = dataSize;
  b[90] = uint8_t(offset), b[91] = uint8_t(offset >> 8);
  return b;
}

class DataFileTest : public ::testing::Test {
 protected:
  void TearDown() override { platform::ClearFaults(); }

  // Creates the four-field table and writes header and descriptors.
  void CreateFourFields(bool encrypted = false, const std::string& password = "pw",
                        const std::string& description = "Towns") {
    TDataFile file(path_);
    file.CreateHeader(0, 0, 3, 7, encrypted, password, description, 4, test::FourFields(), 0);
    ASSERT_TRUE(file.WriteHeader(false));
    ASSERT_TRUE(file.WriteFieldDescs());
  }

  // Appends `count` records (file and header) holding their own number in
  // bytes 1..4 and a marker byte at 9.
  void AppendSlots(TDataFile& file, int count) {
    std::vector<uint8_t> slots(size_t(count) * file.RecordSize(), 0);
    int32_t first = 0;
    for (int k = 0; k < count; ++k) {
      int32_t n = file.AppendRecordNo();
      if (k == 0) first = n;
      uint8_t* slot = slots.data() + size_t(k) * file.RecordSize();
      std::memcpy(slot + 1, LE32(uint32_t(n)).data(), 4);
      slot[9] = uint8_t(0xA0 + n);
    }
    file.WriteSlots(first, count, slots.data());
    file.WriteHeader(false);
  }

  test::TempDir dir_;
  std::string path_ = dir_.File("Towns.DAT");
};

TEST_F(DataFileTest, NewTableHeaderAndDescriptorsByteForByte) {
  const double before = platform::NowDateTime() - 693594.0;
  {
    TDataFile file(path_);
    file.CreateHeader(0, 0, 3, 7, false, "pw", "Towns", 4, test::FourFields(), 0);
    EXPECT_TRUE(file.HeaderModified());
    EXPECT_TRUE(file.DescsModified());
    EXPECT_EQ(file.ChangeCount(), 0);
    EXPECT_EQ(file.RecordSize(), 51);
    EXPECT_TRUE(file.WriteHeader(false));
    EXPECT_FALSE(file.WriteHeader(false));  // nothing changed since
    EXPECT_TRUE(file.WriteFieldDescs());
    EXPECT_FALSE(file.WriteFieldDescs());
    EXPECT_TRUE(file.WrittenTo());
    EXPECT_EQ(file.ChangeCount(), 1);
    EXPECT_FALSE(file.HeaderModified());
  }
  const Bytes bytes = ReadFile(path_);
  ASSERT_EQ(bytes.size(), 3199u);

  Bytes header = {
      0x01, 0x00, 0x00, 0x00,  // ChangeCount 1
      0x00, 0x00, 0x00, 0x00,  // BlobBlockSize 0
      0x05,                    // FormatVersion
      0x00, 0x00, 0x00, 0x00,  // FirstFreeRecord
      0x01, 0x00, 0x00, 0x00,  // NextRecordNo
      0x00, 0x00, 0x00, 0x00,  // LastAutoInc
      0x33, 0x00,              // RecordSize 51
      0x04, 0x00,              // FieldCount
      0x00, 0x00,              // BlobFieldCount
  };
  header.resize(127, 0);
  const uint8_t description[6] = {0x05, 'T', 'o', 'w', 'n', 's'};
  std::copy(std::begin(description), std::end(description), header.begin() + 35);
  header[107] = 3;     // UserMajorVersion
  header[109] = 7;     // UserMinorVersion
  header[111] = 1;     // HeaderModified as it was at the write
  header[116] = 0xE0;  // WriterVersion 31200
  header[117] = 0x79;
  // The password of a plain table is not kept: bytes 87..102 stay zero.
  Bytes writtenHeader(bytes.begin(), bytes.begin() + 127);
  std::fill(writtenHeader.begin() + 27, writtenHeader.begin() + 35, 0);  // LastUpdated
  EXPECT_EQ(writtenHeader, header);

  double lastUpdated;
  std::memcpy(&lastUpdated, &bytes[27], 8);
  EXPECT_LT(lastUpdated, 0.0);
  EXPECT_GE(lastUpdated, before - 1e-6);
  EXPECT_LE(lastUpdated, platform::NowDateTime() - 693594.0 + 1e-6);

  Bytes descs;
  for (const Bytes& d :
       {DescBytes(1, "Name", 1, 0, 30, 31, 9), DescBytes(2, "Count", 6, 0, 0, 4, 41),
        DescBytes(3, "Id", 6, 29, 0, 4, 5), DescBytes(4, "Born", 2, 0, 0, 4, 46)}) {
    descs.insert(descs.end(), d.begin(), d.end());
  }
  EXPECT_EQ(Bytes(bytes.begin() + 127, bytes.end()), descs);
}

TEST_F(DataFileTest, OpenReadsTheDefinitionBack) {
  CreateFourFields();
  TDataFile file(path_);
  file.OpenDataFile();
  EXPECT_TRUE(file.IsOpen());
  EXPECT_EQ(file.ChangeCount(), 1);
  EXPECT_FALSE(file.HeaderModified());  // stored as 1, reset when read
  EXPECT_EQ(file.FormatVersion(), 5);
  EXPECT_EQ(file.FieldCount(), 4);
  EXPECT_EQ(file.RecordSize(), 51);
  EXPECT_EQ(file.NextRecordNo(), 1);
  EXPECT_EQ(file.RecordSlotCount(), 0);
  EXPECT_EQ(file.UserMajorVersion(), 3);
  EXPECT_EQ(file.UserMinorVersion(), 7);
  EXPECT_EQ(file.WriterVersion(), 31200);
  EXPECT_EQ(file.TableDescription(), "Towns");
  EXPECT_EQ(file.TablePassword(), "");
  EXPECT_EQ(file.StoredBlobBlockSize(), 0);
  EXPECT_EQ(file.BlobBlockSize(), 512);
  EXPECT_FALSE(file.HasBlobs());
  EXPECT_FALSE(file.Encrypted());

  EXPECT_EQ(file.FieldDesc(1).FieldName, "Name");
  EXPECT_EQ(file.FieldDesc(4).Offset, 46);
  EXPECT_EQ(test::ErrorCodeRaisedBy([&] { file.FieldDesc(0); }), LEDRA_OUTOFRANGE);
  EXPECT_EQ(test::ErrorCodeRaisedBy([&] { file.FieldDesc(5); }), LEDRA_OUTOFRANGE);
  ASSERT_TRUE(file.FieldDescByNo(3).has_value());
  EXPECT_TRUE(file.FieldDescByNo(3)->IsAutoInc());
  EXPECT_FALSE(file.FieldDescByNo(9).has_value());
  EXPECT_EQ(file.FieldPosition("COUNT"), 2);
  EXPECT_EQ(file.FieldPosition("born"), 4);
  EXPECT_EQ(file.FieldPosition("Bor"), 0);

  EXPECT_NO_THROW(file.VerifyHeader());
  EXPECT_NO_THROW(file.CheckVersion());
  const std::array<uint8_t, 127> raw = file.RawHeader();
  const Bytes disk = ReadFile(path_);
  EXPECT_TRUE(std::equal(raw.begin(), raw.begin() + 111, disk.begin()));
  EXPECT_EQ(TDataFile::ReadRawHeader(path_, false)[23], 4);

  file.CloseDataFile();
  EXPECT_FALSE(file.IsOpen());
  EXPECT_EQ(file.FieldCount(), 0);
  EXPECT_TRUE(file.FieldDescs().empty());
}

TEST_F(DataFileTest, RefusedOpensCloseTheFileAgain) {
  CreateFourFields();
  const Bytes good = ReadFile(path_);
  struct TCase {
    const char* what;
    size_t offset;
    Bytes bytes;
    TEngineErrorCode code;
  };
  const TCase cases[] = {
      {"version 4", 8, {4}, LEDRA_OLDVERSION},
      {"1025 fields", 23, {0x01, 0x04}, LEDRA_HEADERCORRUPT},
      {"record size 8", 21, {8, 0}, LEDRA_HEADERCORRUPT},
      {"record size 0", 21, {0, 0}, LEDRA_HEADERCORRUPT},
      {"NextRecordNo 0", 13, LE32(0), LEDRA_HEADERCORRUPT},
      {"negative NextRecordNo", 13, LE32(0x80000000u), LEDRA_HEADERCORRUPT},
      {"negative FirstFreeRecord", 9, LE32(0xFFFFFFFFu), LEDRA_HEADERCORRUPT},
      {"5 fields, 4 stored", 23, {5, 0}, LEDRA_READERR},
  };
  for (const TCase& c : cases) {
    WriteFile(path_, good);
    Patch(path_, c.offset, c.bytes);
    TDataFile file(path_);
    EXPECT_EQ(test::ErrorCodeRaisedBy([&] { file.OpenDataFile(); }), c.code) << c.what;
    EXPECT_FALSE(file.IsOpen()) << c.what;
    EXPECT_EQ(file.FieldCount(), 0) << c.what;
    // No handle was left behind: an exclusive open succeeds.
    TDataFile exclusive(path_);
    exclusive.SetExclusive(true);
    EXPECT_EQ(test::ErrorCodeRaisedBy([&] { exclusive.TFileHandler::OpenTableFile(); }), LEDRA_NONE)
        << c.what;
  }
}

TEST_F(DataFileTest, VerifyChecksTheFileLengthAgainstTheSlots) {
  CreateFourFields();
  {
    TDataFile file(path_);
    file.OpenDataFile();
    AppendSlots(file, 2);
  }
  TDataFile file(path_);
  file.OpenDataFile();
  EXPECT_EQ(file.NextRecordNo(), 3);
  EXPECT_NO_THROW(file.VerifyHeader());
  file.CloseDataFile();

  Patch(path_, 3199 + 2 * 51, {0});  // one byte more than whole slots
  file.OpenDataFile();
  EXPECT_EQ(test::ErrorCodeRaisedBy([&] { file.VerifyHeader(); }), LEDRA_HEADERCORRUPT);
  file.CloseDataFile();

  Patch(path_, 3199 + 3 * 51 - 1, {0});  // a third whole slot the header does not count
  file.OpenDataFile();
  EXPECT_EQ(test::ErrorCodeRaisedBy([&] { file.VerifyHeader(); }), LEDRA_HEADERCORRUPT);
  file.CloseDataFile();

  Patch(path_, 13, LE32(4));  // now it does
  file.OpenDataFile();
  EXPECT_NO_THROW(file.VerifyHeader());
}

TEST_F(DataFileTest, VerifyReadsStoredNameLengthsLocalesAndValueTexts) {
  CreateFourFields();
  const Bytes good = ReadFile(path_);
  Patch(path_, 127 + 2, {31});  // a name longer than 30 characters
  {
    TDataFile file(path_);
    file.OpenDataFile();
    EXPECT_EQ(test::ErrorCodeRaisedBy([&] { file.VerifyHeader(); }), LEDRA_HEADERCORRUPT);
  }

  WriteFile(path_, good);
  Patch(path_, 103, {0xFF, 0xFF, 0xFF, 0xFF});  // a locale no system has
  TDataFile file(path_);
  file.OpenDataFile();
  EXPECT_EQ(test::ErrorCodeRaisedBy([&] { file.VerifyHeader(); }), LEDRA_CANNOTLOADLDDRV);
  uint32_t asked = 0;
  file.SetLocaleCheck([&](uint32_t lcid) {
    asked = lcid;
    return true;
  });
  EXPECT_NO_THROW(file.VerifyHeader());
  EXPECT_EQ(asked, 0xFFFFFFFFu);

  // The table passes its value checks in.
  file.SetFieldDescInfo(2, [&] {
    TFieldDesc d = file.FieldDesc(2);
    d.DefaultValue = "abc";
    return d;
  }());
  EXPECT_EQ(test::ErrorCodeRaisedBy([&] {
              file.VerifyHeader([](const TFieldDesc& d, const std::string& text) {
                return d.FieldType != 6 || text != "abc";
              });
            }),
            LEDRA_HEADERCORRUPT);
}

TEST_F(DataFileTest, CountersWrapToOneAndMarkTheHeader) {
  CreateFourFields();
  TDataFile file(path_);
  file.OpenDataFile();
  file.SetTableInfo("", "Towns", 3, 7, 2147483646);
  EXPECT_EQ(file.NextAutoIncValue(), 2147483647);
  EXPECT_EQ(file.NextAutoIncValue(), 1);
  EXPECT_EQ(file.LastAutoInc(), 1);
  EXPECT_TRUE(file.HeaderModified());
  ASSERT_TRUE(file.WriteHeader(false));

  Patch(path_, 112, LE32(0x7FFFFFFF));
  Patch(path_, 0, LE32(9));
  ASSERT_TRUE(file.RefreshHeader());
  EXPECT_FALSE(file.HeaderModified());
  EXPECT_EQ(file.NextBlobStamp(), 1);
  EXPECT_EQ(file.NextBlobStamp(), 2);
  EXPECT_TRUE(file.HeaderModified());
}

TEST_F(DataFileTest, TableInfoIsCutAndEnciphered) {
  CreateFourFields(true, "secret", "Private towns");
  const Bytes bytes = ReadFile(path_);
  // Geometry and counters stay readable without the password.
  EXPECT_EQ(bytes[86], 1);           // Encrypted
  EXPECT_EQ(bytes[21], 51);          // RecordSize
  EXPECT_EQ(bytes[23], 4);           // FieldCount
  EXPECT_EQ(bytes[13], 1);           // NextRecordNo
  EXPECT_EQ(bytes[35], 13);          // description length byte, plain
  EXPECT_EQ(bytes[36], 'P' ^ 0x71);  // string key stream 71 75 75 ...
  EXPECT_EQ(bytes[37], 'r' ^ 0x75);
  EXPECT_EQ(bytes[38], 'i' ^ 0x75);
  EXPECT_EQ(bytes[87], 6);  // password length byte, plain
  EXPECT_EQ(bytes[88], 's' ^ 0x71);
  EXPECT_EQ(bytes[89], 'e' ^ 0x75);
  // The descriptor area is one run of the data key stream 9C 9A 98 ...
  EXPECT_EQ(bytes[127], 0x01 ^ 0x9C);  // FieldNo 1
  EXPECT_EQ(bytes[128], 0x00 ^ 0x9A);
  EXPECT_EQ(bytes[129], 0x04 ^ 0x98);  // name length 4

  TDataFile file(path_);
  file.OpenDataFile();
  EXPECT_TRUE(file.Encrypted());
  EXPECT_EQ(file.TableDescription(), "Private towns");
  EXPECT_EQ(file.TablePassword(), "secret");
  EXPECT_EQ(file.FieldDesc(2).FieldName, "Count");
  EXPECT_NO_THROW(file.VerifyHeader());

  file.SetTableInfo("a-password-of-20-chr", std::string(60, 'd'), 1, 2, 0);
  EXPECT_EQ(file.TablePassword(), "a-password-of-2");
  EXPECT_EQ(file.TableDescription(), std::string(50, 'd'));
  EXPECT_EQ(file.Header().TablePassword[0], char('a' ^ 0x71));

  // A plain table keeps no password.
  TDataFile plain(dir_.File("Plain.DAT"));
  plain.CreateHeader(0, 0, 0, 0, false, "pw", "", 4, test::FourFields(), 0);
  plain.SetTableInfo("pw", "Plain", 0, 0, 0);
  EXPECT_EQ(plain.TablePassword(), "");
  EXPECT_EQ(plain.Header().TableDescription, "Plain");
}

TEST_F(DataFileTest, DescriptorAreaOfWholeMultiplesOf65536IsStoredPlain) {
  std::vector<TFieldDesc> fields;
  for (uint16_t i = 1; i <= 256; ++i) {
    fields.push_back(
        test::PlacedAt(test::MakeField(i, "F" + std::to_string(i), fldInteger), 9 + 5 * (i - 1)));
  }
  {
    TDataFile file(path_);
    file.CreateHeader(0, 0, 0, 0, true, "pw", "", 256, fields, 0);
    EXPECT_EQ(file.RecordSize(), 9 + 256 * 5);
    file.WriteHeader(false);
    file.WriteFieldDescs();
  }
  const Bytes bytes = ReadFile(path_);
  ASSERT_EQ(bytes.size(), 127u + 196608u);
  const Bytes last = DescBytes(256, "F256", 6, 0, 0, 4, 9 + 5 * 255);
  EXPECT_EQ(Bytes(bytes.begin() + 127, bytes.begin() + 127 + 768),
            DescBytes(1, "F1", 6, 0, 0, 4, 9));
  EXPECT_EQ(Bytes(bytes.end() - 768, bytes.end()), last);

  TDataFile file(path_);
  file.OpenDataFile();
  EXPECT_EQ(file.FieldDesc(256).FieldName, "F256");
  EXPECT_NO_THROW(file.VerifyHeader());
}

TEST_F(DataFileTest, SlotsAreEncipheredEachAsItsOwnRun) {
  CreateFourFields(true, "pw", "");
  TDataFile file(path_);
  file.OpenDataFile();
  AppendSlots(file, 3);
  EXPECT_EQ(file.NextRecordNo(), 4);
  EXPECT_EQ(file.SlotOffset(1), 3199);
  EXPECT_EQ(file.SlotOffset(3), 3199 + 2 * 51);

  const Bytes bytes = ReadFile(path_);
  ASSERT_EQ(bytes.size(), 3199u + 3 * 51);
  for (int n = 1; n <= 3; ++n) {
    const size_t at = 3199 + size_t(n - 1) * 51;
    EXPECT_EQ(bytes[at], 0x00 ^ 0x9C) << n;            // deleted flag 0
    EXPECT_EQ(bytes[at + 1], uint8_t(n) ^ 0x9A) << n;  // record number
    EXPECT_EQ(bytes[at + 2], 0x00 ^ 0x98) << n;
  }

  std::vector<uint8_t> slots(3 * 51, 0xEE);
  EXPECT_EQ(file.ReadSlots(1, 3, slots.data()), 3);
  for (int n = 1; n <= 3; ++n) {
    EXPECT_EQ(slots[size_t(n - 1) * 51], 0) << n;
    EXPECT_EQ(slots[size_t(n - 1) * 51 + 1], n) << n;
    EXPECT_EQ(slots[size_t(n - 1) * 51 + 9], 0xA0 + n) << n;
  }
  EXPECT_EQ(test::ErrorCodeRaisedBy([&] { file.ReadSlots(0, 1, slots.data()); }),
            LEDRA_FILECORRUPT);
  EXPECT_EQ(test::ErrorCodeRaisedBy([&] { file.ReadSlots(3, 2, slots.data()); }),
            LEDRA_FILECORRUPT);
  EXPECT_EQ(test::ErrorCodeRaisedBy([&] { file.WriteSlots(4, 1, slots.data()); }),
            LEDRA_FILECORRUPT);

  // A slot taken but not yet written reads short: only whole slots count.
  file.AppendRecordNo();
  EXPECT_EQ(file.ReadSlots(3, 2, slots.data(), true), 1);
  EXPECT_EQ(slots[1], 3);
  EXPECT_EQ(test::ErrorCodeRaisedBy([&] { file.ReadSlots(3, 2, slots.data()); }), LEDRA_READERR);
}

TEST_F(DataFileTest, AppendingStopsAtTheSlotAndLengthLimits) {
  CreateFourFields();
  auto openWithNext = [&](uint32_t next) {
    Patch(path_, 13, LE32(next));
    auto file = std::make_unique<TDataFile>(path_);
    file->OpenDataFile();
    return file;
  };
  // 3199 + n * 51 <= 4000000000 holds up to n = 78431309.
  auto file = openWithNext(78431309);
  EXPECT_EQ(file->AppendRecordNo(), 78431309);
  EXPECT_EQ(file->NextRecordNo(), 78431310);
  EXPECT_EQ(test::ErrorCodeRaisedBy([&] { file->AppendRecordNo(); }), LEDRA_TABLEFULL);
  EXPECT_EQ(file->NextRecordNo(), 78431310);                             // unchanged by the refusal
  EXPECT_EQ(file->SlotOffset(78431310), 3199 + int64_t(78431309) * 51);  // beyond 2^32
  file.reset();

  // Nine-byte slots without fields: the slot count is the limit.
  TDataFile bare(dir_.File("Bare.DAT"));
  bare.CreateHeader(0, 0, 0, 0, false, "", "", 0, {}, 0);
  EXPECT_EQ(bare.RecordSize(), 9);
  bare.WriteHeader(false);
  bare.WriteFieldDescs();
  bare.CloseDataFile();
  Patch(dir_.File("Bare.DAT"), 13, LE32(200000000));
  bare.OpenDataFile();
  EXPECT_EQ(bare.AppendRecordNo(), 200000000);
  EXPECT_EQ(test::ErrorCodeRaisedBy([&] { bare.CheckAppend(); }), LEDRA_TABLEFULL);
  EXPECT_EQ(bare.NextRecordNo(), 200000001);
}

TEST_F(DataFileTest, CreationLimitsCreateNothing) {
  std::vector<TFieldDesc> blobs;
  for (uint16_t i = 1; i <= 129; ++i) {
    blobs.push_back(
        test::PlacedAt(test::MakeField(i, "B" + std::to_string(i), fldBlob), 9 + 9 * (i - 1)));
  }
  std::vector<TFieldDesc> wide;
  for (uint16_t i = 1; i <= 300; ++i) {
    wide.push_back(test::MakeField(i, "S" + std::to_string(i), fldString, 250));
  }
  TDataFile file(path_);
  EXPECT_EQ(
      test::ErrorCodeRaisedBy([&] { file.CreateHeader(0, 0, 0, 0, false, "", "", 129, blobs, 0); }),
      LEDRA_BLOBLIMIT);
  EXPECT_EQ(test::ErrorCodeRaisedBy([&] {
              file.CreateHeader(0, 0, 0, 0, false, "", "", 4, test::FourFields(), 65536);
            }),
            LEDRA_BLOBLIMIT);
  EXPECT_EQ(
      test::ErrorCodeRaisedBy([&] { file.CreateHeader(0, 0, 0, 0, false, "", "", 300, wide, 0); }),
      LEDRA_RECTOOBIG);
  EXPECT_EQ(test::ErrorCodeRaisedBy(
                [&] { file.CreateHeader(0, 0, 0, 0, false, "", "", 5, test::FourFields(), 0); }),
            LEDRA_FLDLIMIT);
  EXPECT_FALSE(std::filesystem::exists(path_));
  EXPECT_FALSE(file.IsOpen());

  blobs.pop_back();  // 128 blob fields are allowed
  file.CreateHeader(0, 0, 0, 0, false, "", "", 128, blobs, 1024);
  EXPECT_EQ(file.BlobFieldCount(), 128);
  EXPECT_TRUE(file.HasBlobs());
  EXPECT_EQ(file.BlobBlockSize(), 1024);
  EXPECT_EQ(file.RecordSize(), 9 + 128 * 9);
}

TEST_F(DataFileTest, FailedReadsKeepTheInMemoryState) {
  CreateFourFields();
  TDataFile file(path_);
  file.OpenDataFile();
  Patch(path_, 0, LE32(5));
  Patch(path_, 127 + 3, {'X'});

  platform::FailNext(platform::OsCall::Read, platform::kErrorReadFault);
  EXPECT_EQ(test::ErrorCodeRaisedBy([&] { file.RefreshHeader(); }), LEDRA_READERR);
  EXPECT_EQ(file.ChangeCount(), 1);
  platform::FailNext(platform::OsCall::Read, platform::kErrorReadFault);
  EXPECT_EQ(test::ErrorCodeRaisedBy([&] { file.ReadHeader(); }), LEDRA_READERR);
  EXPECT_EQ(file.ChangeCount(), 1);
  platform::FailNext(platform::OsCall::Read, platform::kErrorReadFault);
  EXPECT_EQ(test::ErrorCodeRaisedBy([&] { file.ReadFieldDescs(); }), LEDRA_READERR);
  EXPECT_EQ(file.FieldDesc(1).FieldName, "Name");

  EXPECT_TRUE(file.RefreshHeader());
  EXPECT_EQ(file.ChangeCount(), 5);
  EXPECT_FALSE(file.RefreshHeader());  // the same counter: nothing changed
  file.ReadFieldDescs();
  EXPECT_EQ(file.FieldDesc(1).FieldName, "Xame");

  // A header whose geometry no longer matches the descriptors is refused.
  Patch(path_, 0, LE32(6));
  Patch(path_, 21, {52, 0});
  EXPECT_EQ(test::ErrorCodeRaisedBy([&] { file.RefreshHeader(); }), LEDRA_HEADERCORRUPT);
  EXPECT_EQ(file.ChangeCount(), 5);
  EXPECT_EQ(file.RecordSize(), 51);
}

TEST_F(DataFileTest, FailedWritesKeepTheMarksAndWriteAgain) {
  CreateFourFields();
  TDataFile file(path_);
  file.OpenDataFile();
  file.NextAutoIncValue();

  platform::FailNext(platform::OsCall::Write, platform::kErrorDiskFull);
  EXPECT_EQ(test::ErrorCodeRaisedBy([&] { file.WriteHeader(false); }), LEDRA_WRITEERR);
  EXPECT_TRUE(file.HeaderModified());
  EXPECT_EQ(file.ChangeCount(), 2);
  EXPECT_EQ(ReadFile(path_)[0], 1);
  EXPECT_TRUE(file.WriteHeader(false));
  EXPECT_EQ(ReadFile(path_)[0], 3);
  EXPECT_EQ(ReadFile(path_)[17], 1);  // LastAutoInc

  // A forced write of an unchanged header that fails marks it changed.
  platform::FailNext(platform::OsCall::Write, platform::kErrorDiskFull);
  EXPECT_EQ(test::ErrorCodeRaisedBy([&] { file.WriteHeader(true); }), LEDRA_WRITEERR);
  EXPECT_TRUE(file.HeaderModified());

  TFieldDesc renamed = file.FieldDesc(2);
  renamed.FieldName = "Total";
  file.SetFieldDescInfo(2, renamed);
  platform::FailNext(platform::OsCall::Write, platform::kErrorDiskFull);
  EXPECT_EQ(test::ErrorCodeRaisedBy([&] { file.WriteFieldDescs(); }), LEDRA_WRITEERR);
  EXPECT_TRUE(file.DescsModified());
  EXPECT_TRUE(file.WriteFieldDescs());
  EXPECT_EQ(ReadFile(path_)[127 + 768 + 3], 'T');
}

TEST_F(DataFileTest, MarkHeaderChangedAdvancesOnlyInMemory) {
  CreateFourFields();
  TDataFile file(path_);
  int hooked = 0;
  file.SetWrittenHook([&] { ++hooked; });
  file.OpenDataFile();
  EXPECT_FALSE(file.WrittenTo());
  file.MarkHeaderChanged();
  EXPECT_TRUE(file.WrittenTo());
  EXPECT_EQ(hooked, 1);
  EXPECT_EQ(file.ChangeCount(), 2);
  EXPECT_TRUE(file.HeaderModified());
  EXPECT_EQ(ReadFile(path_)[0], 1);
  file.ClearWrittenTo();
  EXPECT_TRUE(file.WriteHeader(false));
  EXPECT_TRUE(file.WrittenTo());
  EXPECT_EQ(ReadFile(path_)[0], 3);
}

TEST_F(DataFileTest, EmptyDataFileCutsAfterTheDescriptors) {
  CreateFourFields();
  TDataFile file(path_);
  file.SetForceBufferFlush(true);
  file.OpenDataFile();
  AppendSlots(file, 3);
  file.NextAutoIncValue();
  file.SetFirstFreeRecord(2);
  file.WriteHeader(false);
  ASSERT_EQ(ReadFile(path_).size(), 3199u + 3 * 51);

  platform::ResetCallCounts();
  file.EmptyDataFile();
  EXPECT_EQ(platform::CallCount(platform::OsCall::Flush), 1u);
  EXPECT_EQ(ReadFile(path_).size(), 3199u);
  EXPECT_EQ(file.ChangeCount(), 0);
  EXPECT_EQ(file.NextRecordNo(), 1);
  EXPECT_EQ(file.FirstFreeRecord(), 0);
  EXPECT_EQ(file.LastAutoInc(), 0);
  EXPECT_TRUE(file.HeaderModified());
  EXPECT_TRUE(file.WriteHeader(false));
  const Bytes bytes = ReadFile(path_);
  EXPECT_EQ(Bytes(bytes.begin(), bytes.begin() + 4), LE32(1));
  EXPECT_EQ(Bytes(bytes.begin() + 13, bytes.begin() + 17), LE32(1));
  EXPECT_NO_THROW(file.VerifyHeader());
  EXPECT_EQ(test::ErrorCodeRaisedBy([&] { file.SetFirstFreeRecord(1); }), LEDRA_FILECORRUPT);
}

// Damaged files: every byte of header and descriptors changed, and the file
// cut at many lengths. Each open and verification ends in a clean engine
// error or a usable table.
TEST_F(DataFileTest, DamagedFilesGiveCleanErrors) {
  for (bool encrypted : {false, true}) {
    CreateFourFields(encrypted, "pw", "Towns");
    {
      TDataFile file(path_);
      file.OpenDataFile();
      AppendSlots(file, 2);
    }
    const Bytes good = ReadFile(path_);
    std::map<TEngineErrorCode, int> seen;
    // The damaged copies are in-memory files: the same handler code without
    // thousands of disk writes.
    const std::string damaged = dir_.File("Damaged.DAT");
    TFileHandler writer(damaged);
    writer.SetInMemory(true);
    auto tryOpen = [&](const Bytes& bytes, const std::string& what) {
      writer.CreateTableFile();
      {
        TFileGuard guard(writer);
        writer.Seek(TFileHandler::kFromStart, 0);
        writer.WriteBlock(bytes.data(), int64_t(bytes.size()));
      }
      writer.CloseTableFile();
      TDataFile file(damaged);
      file.SetInMemory(true);
      file.SetLocaleCheck([](uint32_t lcid) { return lcid == 1033; });
      const TEngineErrorCode code = test::ErrorCodeRaisedBy([&] {
        file.OpenDataFile();
        file.VerifyHeader();
        std::vector<uint8_t> slots(size_t(file.RecordSlotCount()) * file.RecordSize());
        file.ReadSlots(1, file.RecordSlotCount(), slots.data());
        for (int i = 1; i <= file.FieldCount(); ++i)
          file.FieldPosition(file.FieldDesc(i).FieldName);
      });
      EXPECT_TRUE(code == LEDRA_NONE || code == LEDRA_HEADERCORRUPT || code == LEDRA_OLDVERSION ||
                  code == LEDRA_READERR || code == LEDRA_CANNOTLOADLDDRV)
          << what << ": " << code;
      ++seen[code];
    };

    for (size_t at = 0; at < 3199; ++at) {
      for (uint8_t pattern : {uint8_t(0xFF), uint8_t(0x01)}) {
        // Descriptor bytes past the value texts are reserved: sample them.
        if (at >= 127 && (at - 127) % 768 >= 248 && at % 37 != 0) continue;
        Bytes bytes = good;
        bytes[at] ^= pattern;
        tryOpen(bytes, "byte " + std::to_string(at) + " ^ " + std::to_string(pattern));
      }
    }
    for (size_t length : {size_t(0), size_t(1), size_t(126), size_t(127), size_t(128), size_t(894),
                          size_t(3198), size_t(3199), size_t(3200), size_t(3250)}) {
      tryOpen(Bytes(good.begin(), good.begin() + std::ptrdiff_t(length)),
              "cut at " + std::to_string(length));
    }
    writer.DeleteTableFile();
    // The sweep reaches every outcome.
    for (TEngineErrorCode code : {LEDRA_NONE, LEDRA_HEADERCORRUPT, LEDRA_OLDVERSION, LEDRA_READERR,
                                  LEDRA_CANNOTLOADLDDRV}) {
      EXPECT_GT(seen[code], 0) << code;
    }
  }
}

}  // namespace
}  // namespace ledra
