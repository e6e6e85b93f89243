#include "engine/blob/Block.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/blob/BlobFile.h"
#include "engine/errors/EngineError.h"
#include "engine/files/TableCipher.h"
#include "platform/Diagnostics.h"
#include "platform/WinError.h"
#include "tests/engine/blob/BlobTestSupport.h"
#include "tests/engine/files/FileLayerTestSupport.h"
#include "tests/support/TempDir.h"

namespace ledra {
namespace {

using platform::CallCount;
using platform::OsCall;
using test::Bytes;
using test::ErrorCodeRaisedBy;
using test::HandBlobFile;
using test::THandBlock;

TEST(BlockHeaderTest, GoldenBytes) {
  const Bytes golden = {
      0x04, 0x03, 0x02, 0x01,  // previous block 0x01020304
      0x07, 0x00, 0x00, 0x00,  // next block 7
      0x02, 0x01,              // used count 0x0102
      0xFE, 0xFF, 0xFF, 0xFF,  // stamp -2
      0x70, 0x11, 0x01, 0x00,  // total length 70000
  };
  const TBlockHeader header = DecodeBlockHeader(golden.data());
  EXPECT_EQ(header.PrevBlock, 0x01020304);
  EXPECT_EQ(header.NextBlock, 7);
  EXPECT_EQ(header.UsedCount, 0x0102);
  EXPECT_EQ(header.Stamp, -2);
  EXPECT_EQ(header.TotalLength, 70000);
  Bytes encoded(18, 0xAA);
  EncodeBlockHeader(header, encoded.data());
  EXPECT_EQ(encoded, golden);
}

TEST(BlockNumberSetTest, FindsRepeatsAcrossGrowthAndClears) {
  TBlockNumberSet set;
  for (int32_t n = 1; n <= 1000; ++n) ASSERT_TRUE(set.Insert(n * 7));
  EXPECT_FALSE(set.Insert(700));
  EXPECT_TRUE(set.Contains(7000));
  EXPECT_FALSE(set.Contains(7001));
  set.Clear();
  EXPECT_EQ(set.Count(), 0u);
  EXPECT_FALSE(set.Contains(700));
  EXPECT_TRUE(set.Insert(700));
}

TEST(BlockCacheSizingTest, CapacityAndReadAheadFollowTheBlockSize) {
  EXPECT_EQ(TBlobFile::CapacityFor(512, 32768, 8192), 64);
  EXPECT_EQ(TBlobFile::CapacityFor(64, 32768, 100), 100);
  EXPECT_EQ(TBlobFile::CapacityFor(65535, 32768, 8192), 1);
  EXPECT_EQ(TBlobFile::ReadAheadLimitFor(512), 32);
  EXPECT_EQ(TBlobFile::ReadAheadLimitFor(65535), 1);
}

class BlockCacheTest : public ::testing::Test {
 protected:
  static constexpr int32_t kBlockSize = 64;
  static constexpr int32_t kPayload = kBlockSize - 18;

  void TearDown() override {
    platform::ClearFaults();
    blob_.CloseTableFile();
  }
  std::string Name() const { return dir_.File("T.BLB"); }

  // Writes a file of `count` full blocks (block n filled with byte n, stamp
  // n) and opens it.
  void OpenHandFile(int32_t count, bool encrypted = false) {
    std::vector<THandBlock> blocks;
    for (int32_t n = 1; n <= count; ++n) {
      blocks.push_back({0, 0, uint16_t(kPayload), n, 0, uint8_t(n)});
    }
    test::WriteBytes(Name(), HandBlobFile(kBlockSize, 0, blocks));
    blob_.SetFileName(Name());
    blob_.SetBlockSize(kBlockSize);
    blob_.SetEncrypted(encrypted);
    blob_.SetCacheTable(&table_);
    blob_.OpenTableFile();
  }
  void CreateEmpty() {
    blob_.SetFileName(Name());
    blob_.SetBlockSize(kBlockSize);
    blob_.SetCacheTable(&table_);
    blob_.CreateTableFile();
  }
  // A new block with its stamp set and payload filled, released.
  int32_t AddBlock(int32_t stamp) {
    TBlock* block = blob_.NewBlock(nullptr);
    const int32_t n = block->BlockNumber();
    block->SetStamp(stamp);
    const Bytes fill(size_t{kPayload}, uint8_t(stamp));
    block->SetPayload(fill.data(), fill.size());
    blob_.ReleaseBlock(block);
    return n;
  }
  // The stamp block n carries on disk.
  int32_t StampOnDisk(int32_t n) {
    const Bytes bytes = test::ReadBytes(Name());
    const size_t at = 512 + size_t(n - 1) * kBlockSize;
    if (bytes.size() < at + 18) return -1;
    return DecodeBlockHeader(bytes.data() + at).Stamp;
  }

  test::TempDir dir_;
  TBlobCacheTableState table_;
  TBlobFile blob_;
};

TEST_F(BlockCacheTest, ReadAheadIsOneReadAndSparesBlocksInUseOrChanged) {
  OpenHandFile(10);
  // Block 3 held, block 4 changed: both newer than the file from now on.
  TBlock* held = blob_.GetBlock(3, false, 1, nullptr);
  TBlock* changed = blob_.GetBlock(4, false, 1, nullptr);
  changed->SetStamp(444);
  blob_.ReleaseBlock(changed);
  held->SetStamp(333);

  // Another writer rewrites the file underneath (as seen before change
  // detection drops anything).
  std::vector<THandBlock> blocks;
  for (int32_t n = 1; n <= 10; ++n) blocks.push_back({0, 0, 1, 100 + n, 0, 0});
  test::WriteBytes(Name(), HandBlobFile(kBlockSize, 0, blocks));

  platform::ResetCallCounts();
  test::TTestBlobClient client;
  TBlock* block = blob_.GetBlock(2, true, 5, &client);
  EXPECT_EQ(CallCount(OsCall::Read), 1u);
  EXPECT_EQ(client.calls, 1);
  EXPECT_EQ(block->Stamp(), 102);
  EXPECT_EQ(blob_.FindCachedBlock(3)->Stamp(), 333);
  EXPECT_EQ(blob_.FindCachedBlock(4)->Stamp(), 444);
  EXPECT_EQ(blob_.FindCachedBlock(5)->Stamp(), 105);
  EXPECT_FALSE(blob_.FindCachedBlock(7));  // the run was 2 .. 6
  EXPECT_EQ(blob_.RecentlyUsedOrder().front(), 2);
  // A hit asks nobody and reads nothing.
  TBlock* again = blob_.GetBlock(5, true, 5, &client);
  EXPECT_EQ(CallCount(OsCall::Read), 1u);
  EXPECT_EQ(client.calls, 1);
  EXPECT_EQ(blob_.RecentlyUsedOrder().front(), 5);
  for (TBlock* b : {block, again, held}) blob_.ReleaseBlock(b);

  EXPECT_EQ(ErrorCodeRaisedBy([&] { (void)blob_.GetBlock(0, false, 1, nullptr); }),
            LEDRA_MEMOCORRUPT);
  EXPECT_EQ(ErrorCodeRaisedBy([&] { (void)blob_.GetBlock(11, false, 1, nullptr); }),
            LEDRA_MEMOCORRUPT);
}

// A chain running downward reads each block alone: a run read ahead from
// every block would bring in blocks the walk never uses (found by fuzzing:
// seconds per damaged file).
TEST_F(BlockCacheTest, AWalkDownwardReadsNoRunAhead) {
  OpenHandFile(10);
  test::TTestBlobClient client;
  platform::ResetCallCounts();
  for (int32_t n = 9; n >= 6; --n) blob_.ReleaseBlock(blob_.GetBlock(n, true, 4, &client));
  EXPECT_EQ(CallCount(OsCall::Read), 4u);
  EXPECT_EQ(blob_.Statistics().blocksRead, 5u);  // 9 and 10 ahead, then 8, 7, 6
  EXPECT_FALSE(blob_.FindCachedBlock(5));
  // Upward again: the run ahead comes back.
  blob_.ReleaseBlock(blob_.GetBlock(1, true, 4, &client));
  EXPECT_TRUE(blob_.FindCachedBlock(4));
}

TEST_F(BlockCacheTest, ChangeSignalAndStrictChangeDetection) {
  OpenHandFile(4);
  test::TTestBlobClient client(&blob_, 1);
  platform::ResetCallCounts();
  EXPECT_EQ(blob_.GetBlock(2, false, 1, &client), nullptr);
  EXPECT_EQ(CallCount(OsCall::Read), 0u);
  TBlock* block = blob_.GetBlock(2, false, 1, &client);
  ASSERT_NE(block, nullptr);
  blob_.ReleaseBlock(block);
  // The session takes the read lock itself: the cache asks nothing.
  table_.strictChangeDetection = true;
  client.SetChanges(-1);
  block = blob_.GetBlock(3, false, 1, &client);
  ASSERT_NE(block, nullptr);
  EXPECT_EQ(client.calls, 2);
  blob_.ReleaseBlock(block);
}

TEST_F(BlockCacheTest, DirtyRunsAreWrittenOneCallEachAndOnlyOnSuccessMarkedClean) {
  CreateEmpty();
  for (int32_t stamp = 1; stamp <= 6; ++stamp) AddBlock(stamp);
  ASSERT_EQ(blob_.NextBlockNo(), 7);
  ASSERT_TRUE(blob_.WriteBlobHeader(false));
  // Blocks 1..3 and 5..6 dirty; 4 in use and dirty: two runs.
  TBlock* held = blob_.GetBlock(4, false, 1, nullptr);

  platform::FailNext(OsCall::Write, platform::kErrorDiskFull);
  EXPECT_EQ(ErrorCodeRaisedBy([&] { blob_.WriteDirtyBlocks(); }), LEDRA_WRITEERR);
  EXPECT_TRUE(blob_.FindCachedBlock(1)->Dirty());

  platform::ResetCallCounts();
  EXPECT_TRUE(blob_.WriteDirtyBlocks());
  EXPECT_EQ(CallCount(OsCall::Write), 2u);
  EXPECT_FALSE(blob_.FindCachedBlock(3)->Dirty());
  EXPECT_TRUE(held->Dirty());
  EXPECT_EQ(StampOnDisk(3), 3);
  EXPECT_EQ(StampOnDisk(6), 6);
  blob_.ReleaseBlock(held);
  EXPECT_TRUE(blob_.WriteDirtyBlocks());
  EXPECT_EQ(CallCount(OsCall::Write), 3u);
  EXPECT_EQ(StampOnDisk(4), 4);
  EXPECT_FALSE(blob_.WriteDirtyBlocks());

  // The payload reaches the disk zero-padded behind the header.
  const Bytes bytes = test::ReadBytes(Name());
  ASSERT_EQ(bytes.size(), 512u + 6 * kBlockSize);
  const size_t at = 512 + 1 * kBlockSize;  // block 2
  EXPECT_EQ(Bytes(bytes.begin() + at, bytes.begin() + at + 18),
            (Bytes{0, 0, 0, 0, 0, 0, 0, 0, 46, 0, 2, 0, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(bytes[at + 18], 2);
  EXPECT_EQ(bytes[at + kBlockSize - 1], 2);
}

TEST_F(BlockCacheTest, ReplacementReusesCleanBlocksWritesOrGrowsInsideATransaction) {
  table_.cacheBytes = 3 * kBlockSize;
  CreateEmpty();
  ASSERT_EQ(blob_.Capacity(), 3);
  for (int32_t stamp = 1; stamp <= 3; ++stamp) AddBlock(stamp);
  // Full of dirty blocks, outside a transaction: writing them frees room.
  platform::ResetCallCounts();
  AddBlock(4);
  EXPECT_EQ(CallCount(OsCall::Write), 1u);
  EXPECT_EQ(blob_.CachedCount(), 3u);
  EXPECT_FALSE(blob_.FindCachedBlock(1));  // the least recently used went
  EXPECT_EQ(StampOnDisk(3), 3);

  // Inside a transaction nothing is written: the cache grows instead.
  table_.transactionLockHeld = true;
  AddBlock(5);  // reuses clean block 2 or 3
  AddBlock(6);
  EXPECT_EQ(blob_.Capacity(), 3);
  AddBlock(7);  // 4..7 dirty now
  AddBlock(8);
  EXPECT_EQ(blob_.Capacity(), 3 + TBlobFile::kCapacityGrowth);
  EXPECT_EQ(CallCount(OsCall::Write), 1u);

  // After the commit the cache is trimmed back to its limit.
  table_.transactionLockHeld = false;
  EXPECT_TRUE(blob_.WriteDirtyBlocks());
  blob_.TrimBlockCache();
  EXPECT_EQ(blob_.CachedCount(), 3u);
  EXPECT_EQ(blob_.Capacity(), 3);
  EXPECT_EQ(blob_.RecentlyUsedOrder(), (std::vector<int32_t>{8, 7, 6}));
}

// During a change (write lock held) room is made by writing only the new
// blocks: the blocks the change freed are still chains of records on disk
// until the commit has written the slots.
TEST_F(BlockCacheTest, DuringAChangeRoomIsMadeByWritingOnlyNewBlocks) {
  table_.cacheBytes = 3 * kBlockSize;
  OpenHandFile(2);
  table_.writeLockHeld = true;
  for (int32_t n : {1, 2}) {
    THeldBlock block(blob_, blob_.GetBlock(n, false, 1, nullptr));
    blob_.FreeBlock(block.Get());
  }
  EXPECT_EQ(AddBlock(3), 3);  // the freed blocks are held back
  platform::ResetCallCounts();
  EXPECT_EQ(AddBlock(4), 4);  // full: block 3 is written, and evicted
  EXPECT_EQ(CallCount(OsCall::Write), 1u);
  EXPECT_EQ(StampOnDisk(3), 3);
  EXPECT_EQ(StampOnDisk(1), 1);  // still the chain's block on disk
  EXPECT_TRUE(blob_.FindCachedBlock(1)->Dirty());
  EXPECT_FALSE(blob_.FindCachedBlock(3));
  // Again the new block goes; the freed ones stay, dirty.
  AddBlock(5);
  EXPECT_EQ(CallCount(OsCall::Write), 2u);
  EXPECT_FALSE(blob_.FindCachedBlock(4));
  EXPECT_TRUE(blob_.FindCachedBlock(2)->Dirty());

  // Outside a change, the freed blocks are written too and then reused.
  table_.writeLockHeld = false;
  EXPECT_TRUE(blob_.WriteDirtyBlocks());
  EXPECT_FALSE(blob_.HasFreedBlocks());
  EXPECT_EQ(AddBlock(6), 2);
}

TEST_F(BlockCacheTest, NewBlockTakesTheFreeListHeadOrAppendsWithinTheLimits) {
  CreateEmpty();
  const int32_t a = AddBlock(1);
  const int32_t b = AddBlock(2);
  TBlock* block = blob_.GetBlock(a, false, 1, nullptr);
  blob_.FreeBlock(block);
  EXPECT_EQ(ErrorCodeRaisedBy([&] { blob_.FreeBlock(block); }), LEDRA_MEMOCORRUPT);
  blob_.ReleaseBlock(block);
  block = blob_.GetBlock(b, false, 1, nullptr);
  blob_.FreeBlock(block);
  EXPECT_EQ(block->NextBlock(), a);
  blob_.ReleaseBlock(block);
  EXPECT_EQ(blob_.FirstFreeBlock(), b);

  block = blob_.NewBlock(nullptr);
  EXPECT_EQ(block->BlockNumber(), b);
  EXPECT_EQ(block->NextBlock(), 0);  // zeroed
  EXPECT_EQ(block->Stamp(), 0);
  EXPECT_TRUE(block->Dirty());
  EXPECT_EQ(blob_.FirstFreeBlock(), a);
  blob_.ReleaseBlock(block);

  // A free block that links to itself would be handed out twice.
  block = blob_.GetBlock(a, false, 1, nullptr);
  block->SetNextBlock(a);
  blob_.ReleaseBlock(block);
  EXPECT_EQ(ErrorCodeRaisedBy([&] { (void)blob_.NewBlock(nullptr); }), LEDRA_MEMOCORRUPT);
  EXPECT_EQ(blob_.FirstFreeBlock(), a);
  block = blob_.GetBlock(a, false, 1, nullptr);
  block->SetNextBlock(0);
  blob_.ReleaseBlock(block);
  EXPECT_EQ(AddBlock(9), a);

  // Block and file-length limits: the header stays as it was.
  blob_.SetNextBlockNo(2000000001);
  EXPECT_EQ(ErrorCodeRaisedBy([&] { (void)blob_.NewBlock(nullptr); }), LEDRA_TABLEFULL);
  EXPECT_EQ(blob_.NextBlockNo(), 2000000001);
  // 512 + n * 64 <= 4,000,000,000 up to n = 62,499,992.
  blob_.SetNextBlockNo(62499993);
  EXPECT_EQ(ErrorCodeRaisedBy([&] { (void)blob_.NewBlock(nullptr); }), LEDRA_TABLEFULL);
  blob_.SetNextBlockNo(62499992);
  block = blob_.NewBlock(nullptr);
  EXPECT_EQ(block->BlockNumber(), 62499992);
  EXPECT_EQ(blob_.NextBlockNo(), 62499993);
  blob_.ReleaseBlock(block);
  blob_.DropCachedBlocks();  // never written
}

TEST_F(BlockCacheTest, TakingOverAnotherWritersHeaderDropsBlocksButNotHeldOnes) {
  OpenHandFile(3);
  TBlock* held = blob_.GetBlock(1, false, 1, nullptr);
  TBlock* other = blob_.GetBlock(2, false, 1, nullptr);
  blob_.ReleaseBlock(other);
  // Another writer's header (counter 2) with a different block 2.
  test::WriteBytes(Name(),
                   HandBlobFile(kBlockSize, 0, {{0, 0, 1, 1, 0, 1}, {0, 0, 1, 22, 0, 0}, {}}, 2));
  EXPECT_TRUE(blob_.RefreshBlobHeader());
  EXPECT_EQ(blob_.CachedCount(), 0u);
  EXPECT_EQ(held->Stamp(), 1);  // still valid while held
  TBlock* reread = blob_.GetBlock(2, false, 1, nullptr);
  EXPECT_EQ(reread->Stamp(), 22);
  blob_.ReleaseBlock(reread);
  const size_t spares = blob_.SpareCount();
  blob_.ReleaseBlock(held);
  EXPECT_EQ(blob_.SpareCount(), spares + 1);
  // Emptying drops the cache as well.
  blob_.EmptyBlobFile();
  EXPECT_EQ(blob_.CachedCount(), 0u);
  EXPECT_EQ(blob_.NextBlockNo(), 1);
}

TEST_F(BlockCacheTest, EncipheredBlocksAreTwoRunsEach) {
  CreateEmpty();
  blob_.SetEncrypted(true);
  AddBlock(0x11223344);
  ASSERT_TRUE(blob_.WriteDirtyBlocks());
  ASSERT_TRUE(blob_.WriteBlobHeader(false));

  Bytes bytes = test::ReadBytes(Name());
  ASSERT_EQ(bytes.size(), 512u + kBlockSize);
  uint8_t* block = bytes.data() + 512;
  CipherDataRun(block, 18);
  CipherDataRun(block + 18, kPayload);
  EXPECT_EQ(Bytes(block, block + 18),
            (Bytes{0, 0, 0, 0, 0, 0, 0, 0, 46, 0, 0x44, 0x33, 0x22, 0x11, 0, 0, 0, 0}));
  EXPECT_EQ(Bytes(block + 18, block + kBlockSize), Bytes(size_t(kPayload), 0x44));

  blob_.CloseTableFile();
  blob_.OpenTableFile();
  TBlock* read = blob_.GetBlock(1, false, 1, nullptr);
  EXPECT_EQ(read->Stamp(), 0x11223344);
  EXPECT_EQ(read->UsedCount(), kPayload);
  EXPECT_EQ(read->Payload()[kPayload - 1], 0x44);
  blob_.ReleaseBlock(read);
}

}  // namespace
}  // namespace ledra
