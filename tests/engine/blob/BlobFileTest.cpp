#include "engine/blob/BlobFile.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <vector>

#include "engine/blob/BlobHeader.h"
#include "engine/errors/EngineError.h"
#include "platform/Diagnostics.h"
#include "platform/WinError.h"
#include "tests/engine/files/FileLayerTestSupport.h"
#include "tests/support/TempDir.h"

namespace ledra {
namespace {

using Bytes = std::vector<uint8_t>;
using test::ErrorCodeRaisedBy;

Bytes ReadFile(const std::string& path) {
  test::SkipWhereHeldExclusively(path);
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteFile(const std::string& path, const Bytes& bytes) {
  std::ofstream(path, std::ios::binary | std::ios::trunc)
      .write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
}

void Put32(Bytes& bytes, size_t offset, uint32_t v) {
  bytes[offset] = uint8_t(v);
  bytes[offset + 1] = uint8_t(v >> 8);
  bytes[offset + 2] = uint8_t(v >> 16);
  bytes[offset + 3] = uint8_t(v >> 24);
}

// A header written out by hand: counter, version, first free, next block; the
// reserved areas carry recognisable bytes.
Bytes HandHeader(uint32_t changeCount, uint8_t version, uint32_t firstFree, uint32_t nextBlock) {
  Bytes bytes(512, 0);
  Put32(bytes, 0, changeCount);
  bytes[4] = 0xDE;
  bytes[5] = 0xAD;
  bytes[6] = 0xBE;
  bytes[7] = 0xEF;
  bytes[8] = version;
  Put32(bytes, 9, firstFree);
  Put32(bytes, 13, nextBlock);
  bytes[17] = 1;
  for (size_t i = 18; i < 512; ++i) bytes[i] = uint8_t(i * 7);
  return bytes;
}

// A header followed by `blocks` blocks of `blockSize` bytes.
Bytes HandFile(const Bytes& header, int blocks, int blockSize) {
  Bytes bytes = header;
  bytes.resize(512 + size_t(blocks) * size_t(blockSize), 0x55);
  return bytes;
}

class BlobFileTest : public ::testing::Test {
 protected:
  void TearDown() override { platform::ClearFaults(); }

  std::string Name() const { return dir_.File("T.BLB"); }

  test::TempDir dir_;
};

TEST_F(BlobFileTest, NewFileHeaderByteForByte) {
  TBlobFile blob(Name());
  blob.CreateTableFile();
  EXPECT_TRUE(blob.BlobHeaderModified());
  EXPECT_EQ(blob.NextBlockNo(), 1);
  EXPECT_TRUE(blob.WriteBlobHeader(false));
  EXPECT_FALSE(blob.BlobHeaderModified());
  EXPECT_FALSE(blob.WriteBlobHeader(false));

  Bytes expected(512, 0);
  expected[0] = 0x01;   // change counter 1: advanced by the first write
  expected[8] = 0x05;   // format version
  expected[13] = 0x01;  // next block 1
  expected[17] = 0x01;  // written because it had changed
  EXPECT_EQ(ReadFile(Name()), expected);

  // A forced write of an unchanged header advances the counter and says so.
  EXPECT_TRUE(blob.WriteBlobHeader(true));
  expected[0] = 0x02;
  expected[17] = 0x00;
  EXPECT_EQ(ReadFile(Name()), expected);
  blob.CloseTableFile();
}

TEST_F(BlobFileTest, ReservedBytesGoBackAsTheyWereRead) {
  WriteFile(Name(), HandFile(HandHeader(41, 5, 2, 3), 2, 64));
  TBlobFile blob(Name());
  blob.SetBlockSize(64);
  blob.OpenTableFile();
  EXPECT_EQ(blob.ChangeCount(), 41);
  EXPECT_EQ(blob.FirstFreeBlock(), 2);
  EXPECT_EQ(blob.NextBlockNo(), 3);
  EXPECT_FALSE(blob.BlobHeaderModified());  // byte 17 is ignored when reading

  blob.SetFirstFreeBlock(1);
  EXPECT_TRUE(blob.WriteBlobHeader(false));
  Bytes expected = HandFile(HandHeader(42, 5, 1, 3), 2, 64);
  EXPECT_EQ(ReadFile(Name()), expected);
  blob.CloseTableFile();
  EXPECT_FALSE(blob.IsOpen());
}

TEST_F(BlobFileTest, RefreshTakesOverOnlyAnotherWritersHeader) {
  {
    TBlobFile creator(Name());
    creator.CreateTableFile();
    creator.WriteBlobHeader(false);
  }
  TBlobFile reader(Name());
  TBlobFile writer(Name());
  reader.SetBlockSize(64);
  writer.SetBlockSize(64);
  reader.OpenTableFile();
  writer.OpenTableFile();

  EXPECT_FALSE(reader.RefreshBlobHeader());
  EXPECT_EQ(reader.ChangeCount(), 1);

  // The writer appends two blocks and publishes them.
  Bytes blocks(128, 0x77);
  {
    TFileGuard guard(writer);
    writer.Seek(TFileHandler::kFromStart, writer.BlockOffset(1));
    writer.WriteBlock(blocks.data(), int64_t(blocks.size()));
  }
  writer.SetNextBlockNo(3);
  writer.SetFirstFreeBlock(2);
  EXPECT_TRUE(writer.WriteBlobHeader(false));

  EXPECT_TRUE(reader.RefreshBlobHeader());
  EXPECT_EQ(reader.ChangeCount(), 2);
  EXPECT_EQ(reader.NextBlockNo(), 3);
  EXPECT_EQ(reader.FirstFreeBlock(), 2);
  EXPECT_FALSE(reader.BlobHeaderModified());

  // A refresh that finds nothing new keeps the reader's unwritten change...
  reader.SetFirstFreeBlock(1);
  EXPECT_FALSE(reader.RefreshBlobHeader());
  EXPECT_EQ(reader.FirstFreeBlock(), 1);
  EXPECT_TRUE(reader.BlobHeaderModified());

  // ...and one that finds another write replaces the whole header.
  EXPECT_TRUE(writer.WriteBlobHeader(true));
  EXPECT_TRUE(reader.RefreshBlobHeader());
  EXPECT_EQ(reader.ChangeCount(), 3);
  EXPECT_EQ(reader.FirstFreeBlock(), 2);
  EXPECT_FALSE(reader.BlobHeaderModified());
  EXPECT_FALSE(reader.RefreshBlobHeader());
}

TEST_F(BlobFileTest, EncipheredHeaderRoundTrip) {
  {
    TBlobFile blob(Name());
    blob.SetEncrypted(true);
    blob.CreateTableFile();
    blob.WriteBlobHeader(false);
  }
  const Bytes stored = ReadFile(Name());
  ASSERT_EQ(stored.size(), 512u);
  // Key byte i is (0x3B + i) ^ (0xA7 - i), modulo 256.
  EXPECT_EQ(stored[0], 0x01 ^ 0x9C);
  EXPECT_EQ(stored[8], 0x05 ^ 0xDC);
  EXPECT_EQ(stored[13], 0x01 ^ 0xD2);
  EXPECT_EQ(stored[17], 0x01 ^ 0xDA);
  EXPECT_EQ(stored[511], 0x92);

  TBlobFile plain(Name());
  EXPECT_EQ(ErrorCodeRaisedBy([&] { plain.OpenTableFile(); }), LEDRA_OLDVERSION);
  EXPECT_FALSE(plain.IsOpen());

  TBlobFile blob(Name());
  blob.SetEncrypted(true);
  blob.OpenTableFile();
  EXPECT_EQ(blob.ChangeCount(), 1);
  EXPECT_EQ(blob.FormatVersion(), 5);
  EXPECT_EQ(blob.NextBlockNo(), 1);
  blob.MarkBlobHeaderChanged();
  blob.WriteBlobHeader(false);
  const Bytes again = ReadFile(Name());
  EXPECT_EQ(again[0], 0x03 ^ 0x9C);
  EXPECT_EQ(Bytes(again.begin() + 1, again.end()), Bytes(stored.begin() + 1, stored.end()));
}

TEST_F(BlobFileTest, UnusableHeadersAreRefusedAndCloseTheFile) {
  struct Case {
    Bytes file;
    TEngineErrorCode code;
  };
  const std::vector<Case> cases = {
      {HandFile(HandHeader(1, 4, 0, 1), 0, 64), LEDRA_OLDVERSION},
      {HandFile(HandHeader(1, 6, 0, 1), 0, 64), LEDRA_OLDVERSION},
      {HandFile(HandHeader(1, 5, 0, 0), 0, 64), LEDRA_HEADERCORRUPT},
      {HandFile(HandHeader(1, 5, 0, 0x80000000u), 0, 64), LEDRA_HEADERCORRUPT},
      {HandFile(HandHeader(1, 5, 3, 3), 2, 64), LEDRA_HEADERCORRUPT},  // free head = next
      {HandFile(HandHeader(1, 5, 0xFFFFFFFFu, 3), 2, 64), LEDRA_HEADERCORRUPT},
      {HandFile(HandHeader(1, 5, 0, 3), 1, 64), LEDRA_HEADERCORRUPT},  // one block short
      {HandFile(HandHeader(1, 5, 0, 0x7FFFFFFF), 1, 64), LEDRA_HEADERCORRUPT},
      {HandFile(HandHeader(1, 5, 2, 3), 2, 64), LEDRA_NONE},
      {HandFile(HandHeader(1, 5, 0, 3), 3, 64), LEDRA_NONE},  // a longer file is fine
  };
  for (size_t i = 0; i < cases.size(); ++i) {
    SCOPED_TRACE(i);
    WriteFile(Name(), cases[i].file);
    TBlobFile blob(Name());
    blob.SetBlockSize(64);
    EXPECT_EQ(ErrorCodeRaisedBy([&] { blob.OpenTableFile(); }), cases[i].code);
    EXPECT_EQ(blob.IsOpen(), cases[i].code == LEDRA_NONE);
  }

  // The length check counts blocks of the table's size.
  WriteFile(Name(), HandFile(HandHeader(1, 5, 0, 3), 2, 512));
  TBlobFile small(Name());
  small.SetBlockSize(0);
  EXPECT_EQ(ErrorCodeRaisedBy([&] { small.OpenTableFile(); }), LEDRA_NONE);
  small.CloseTableFile();
  TBlobFile large(Name());
  large.SetBlockSize(1024);
  EXPECT_EQ(ErrorCodeRaisedBy([&] { large.OpenTableFile(); }), LEDRA_HEADERCORRUPT);
}

TEST_F(BlobFileTest, DamagedFilesGiveCleanErrors) {
  const Bytes good = HandFile(HandHeader(7, 5, 2, 4), 3, 32);
  const std::set<TEngineErrorCode> allowed = {LEDRA_NONE, LEDRA_OLDVERSION, LEDRA_HEADERCORRUPT,
                                              LEDRA_READERR};
  auto check = [&](const Bytes& file) {
    WriteFile(Name(), file);
    TBlobFile blob(Name());
    blob.SetBlockSize(32);
    const TEngineErrorCode code = ErrorCodeRaisedBy([&] { blob.OpenTableFile(); });
    EXPECT_TRUE(allowed.count(code)) << int(code);
    if (code == LEDRA_NONE) {
      // Whatever was accepted addresses only blocks the file holds.
      EXPECT_GE(blob.NextBlockNo(), 1);
      EXPECT_TRUE(blob.FirstFreeBlock() == 0 || blob.IsValidBlockNo(blob.FirstFreeBlock()));
      EXPECT_LE(blob.BlockOffset(blob.NextBlockNo()), int64_t(file.size()));
    }
    return code;
  };

  int refused = 0;
  for (size_t offset = 0; offset < 18; ++offset) {
    for (uint8_t bit = 1; bit != 0; bit = uint8_t(bit << 1)) {
      SCOPED_TRACE(offset);
      Bytes file = good;
      file[offset] ^= bit;
      if (check(file) != LEDRA_NONE) ++refused;
    }
  }
  EXPECT_GT(refused, 0);

  for (size_t length = 0; length <= good.size(); length += (length < 500 ? 7 : 1)) {
    SCOPED_TRACE(length);
    const TEngineErrorCode code = check(Bytes(good.begin(), good.begin() + std::ptrdiff_t(length)));
    const TEngineErrorCode expected = length < 512           ? LEDRA_READERR
                                      : length < good.size() ? LEDRA_HEADERCORRUPT
                                                             : LEDRA_NONE;
    EXPECT_EQ(code, expected);
  }
}

TEST_F(BlobFileTest, EmptyCutsToTheHeaderAndKeepsTheCounterGoing) {
  WriteFile(Name(), HandFile(HandHeader(9, 5, 2, 4), 3, 64));
  TBlobFile blob(Name());
  blob.SetBlockSize(64);
  blob.OpenTableFile();
  EXPECT_FALSE(blob.WrittenTo());
  blob.EmptyBlobFile();
  EXPECT_TRUE(blob.WrittenTo());
  EXPECT_EQ(std::filesystem::file_size(Name()), 512u);
  EXPECT_EQ(blob.NextBlockNo(), 1);
  EXPECT_EQ(blob.FirstFreeBlock(), 0);
  EXPECT_EQ(blob.ChangeCount(), 9);
  EXPECT_TRUE(blob.BlobHeaderModified());

  EXPECT_TRUE(blob.WriteBlobHeader(false));
  EXPECT_EQ(ReadFile(Name()), HandHeader(10, 5, 0, 1));
  blob.CloseTableFile();

  // The emptied file opens again.
  TBlobFile again(Name());
  again.SetBlockSize(64);
  again.OpenTableFile();
  EXPECT_EQ(again.ChangeCount(), 10);
}

TEST_F(BlobFileTest, BlockSizesAndBlockAddressing) {
  TBlobFile blob(Name());
  EXPECT_EQ(blob.BlockSize(), 512);
  blob.SetBlockSize(19);
  EXPECT_EQ(blob.BlockSize(), 19);
  EXPECT_EQ(blob.BlockPayloadSize(), 1);
  for (int32_t bad : {18, 1, -1, 65536, INT32_MIN}) {
    SCOPED_TRACE(bad);
    EXPECT_EQ(ErrorCodeRaisedBy([&] { blob.SetBlockSize(bad); }), LEDRA_HEADERCORRUPT);
    EXPECT_EQ(blob.BlockSize(), 19);
  }
  blob.SetBlockSize(0);
  EXPECT_EQ(blob.BlockSize(), 512);
  EXPECT_EQ(blob.BlockOffset(1), 512);
  EXPECT_EQ(blob.BlockOffset(3), 1536);
  blob.SetBlockSize(65535);
  EXPECT_EQ(blob.BlockOffset(2000000000), int64_t(131069999934977));
  EXPECT_EQ(ErrorCodeRaisedBy([&] { blob.BlockOffset(0); }), LEDRA_MEMOCORRUPT);
  EXPECT_EQ(ErrorCodeRaisedBy([&] { blob.BlockOffset(-4); }), LEDRA_MEMOCORRUPT);

  blob.SetBlockSize(64);
  blob.CreateTableFile();
  blob.WriteBlobHeader(false);
  EXPECT_FALSE(blob.IsValidBlockNo(1));
  EXPECT_EQ(ErrorCodeRaisedBy([&] { blob.SetFirstFreeBlock(1); }), LEDRA_MEMOCORRUPT);
  blob.SetNextBlockNo(1);  // unchanged: nothing to write
  EXPECT_FALSE(blob.BlobHeaderModified());
  blob.SetNextBlockNo(3);
  EXPECT_TRUE(blob.BlobHeaderModified());
  EXPECT_TRUE(blob.IsValidBlockNo(2));
  EXPECT_FALSE(blob.IsValidBlockNo(3));
  blob.SetFirstFreeBlock(2);
  EXPECT_EQ(ErrorCodeRaisedBy([&] { blob.SetFirstFreeBlock(3); }), LEDRA_MEMOCORRUPT);
  EXPECT_EQ(ErrorCodeRaisedBy([&] { blob.SetFirstFreeBlock(-1); }), LEDRA_MEMOCORRUPT);
  EXPECT_EQ(ErrorCodeRaisedBy([&] { blob.SetNextBlockNo(2); }), LEDRA_MEMOCORRUPT);
  EXPECT_EQ(ErrorCodeRaisedBy([&] { blob.SetNextBlockNo(0); }), LEDRA_MEMOCORRUPT);
  EXPECT_EQ(blob.NextBlockNo(), 3);
  EXPECT_EQ(blob.FirstFreeBlock(), 2);
  blob.CloseTableFile();
}

TEST_F(BlobFileTest, RefusedOrFailedReadsKeepTheInMemoryHeader) {
  WriteFile(Name(), HandFile(HandHeader(3, 5, 0, 2), 1, 64));
  TBlobFile blob(Name());
  blob.SetBlockSize(64);
  platform::FailNext(platform::OsCall::Read, platform::kErrorReadFault);
  EXPECT_EQ(ErrorCodeRaisedBy([&] { blob.OpenTableFile(); }), LEDRA_READERR);
  EXPECT_FALSE(blob.IsOpen());

  blob.OpenTableFile();
  blob.MarkBlobHeaderChanged();  // counter 4 in memory
  auto overwriteHeader = [&](const Bytes& header) {
    std::fstream(Name(), std::ios::binary | std::ios::in | std::ios::out)
        .write(reinterpret_cast<const char*>(header.data()), 512);
  };
  // Another writer's header whose block count the file cannot hold.
  overwriteHeader(HandHeader(8, 5, 0, 9));
  EXPECT_EQ(ErrorCodeRaisedBy([&] { blob.RefreshBlobHeader(); }), LEDRA_HEADERCORRUPT);
  EXPECT_EQ(ErrorCodeRaisedBy([&] { blob.ReadBlobHeader(); }), LEDRA_HEADERCORRUPT);
  overwriteHeader(HandHeader(8, 5, 1, 2));
  platform::FailNext(platform::OsCall::Read, platform::kErrorReadFault);
  EXPECT_EQ(ErrorCodeRaisedBy([&] { blob.RefreshBlobHeader(); }), LEDRA_READERR);
  platform::FailNext(platform::OsCall::Read, platform::kErrorReadFault);
  EXPECT_EQ(ErrorCodeRaisedBy([&] { blob.ReadBlobHeader(); }), LEDRA_READERR);
  EXPECT_EQ(blob.ChangeCount(), 4);
  EXPECT_EQ(blob.NextBlockNo(), 2);
  EXPECT_EQ(blob.FirstFreeBlock(), 0);
  EXPECT_TRUE(blob.BlobHeaderModified());

  EXPECT_TRUE(blob.RefreshBlobHeader());
  EXPECT_EQ(blob.ChangeCount(), 8);
  EXPECT_EQ(blob.FirstFreeBlock(), 1);
}

TEST_F(BlobFileTest, FailedWritesKeepTheMarkAndWriteAgain) {
  WriteFile(Name(), HandFile(HandHeader(3, 5, 0, 3), 2, 64));
  const Bytes before = ReadFile(Name());
  TBlobFile blob(Name());
  blob.SetBlockSize(64);
  blob.OpenTableFile();
  int hookCalls = 0;
  blob.SetWrittenHook([&] { ++hookCalls; });

  // A forced write of an unchanged header that fails must still be written.
  platform::FailNext(platform::OsCall::Write, platform::kErrorDiskFull);
  EXPECT_EQ(ErrorCodeRaisedBy([&] { blob.WriteBlobHeader(true); }), LEDRA_WRITEERR);
  EXPECT_TRUE(blob.BlobHeaderModified());
  EXPECT_FALSE(blob.WrittenTo());
  EXPECT_EQ(hookCalls, 0);
  EXPECT_EQ(ReadFile(Name()), before);

  platform::FailNext(platform::OsCall::SetEnd, platform::kErrorDiskFull);
  EXPECT_EQ(ErrorCodeRaisedBy([&] { blob.EmptyBlobFile(); }), LEDRA_WRITEERR);
  EXPECT_EQ(blob.NextBlockNo(), 3);
  EXPECT_EQ(ReadFile(Name()), before);

  EXPECT_TRUE(blob.WriteBlobHeader(false));
  EXPECT_EQ(hookCalls, 1);
  EXPECT_TRUE(blob.WrittenTo());
  Bytes expected = HandFile(HandHeader(5, 5, 0, 3), 2, 64);
  EXPECT_EQ(ReadFile(Name()), expected);  // the counter passed over the lost write

  // Emptying that fails only in the flush has cut the file: the header says so.
  blob.SetForceBufferFlush(true);
  platform::FailNext(platform::OsCall::Flush, platform::kErrorWriteFault);
  EXPECT_EQ(ErrorCodeRaisedBy([&] { blob.EmptyBlobFile(); }), LEDRA_WRITEERR);
  EXPECT_EQ(std::filesystem::file_size(Name()), 512u);
  EXPECT_EQ(blob.NextBlockNo(), 1);
  EXPECT_TRUE(blob.BlobHeaderModified());
  EXPECT_EQ(hookCalls, 2);
}

}  // namespace
}  // namespace ledra
