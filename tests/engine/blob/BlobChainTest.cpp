#include "engine/blob/BlobChain.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <iterator>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "engine/blob/BlobChecker.h"
#include "engine/errors/EngineError.h"
#include "platform/Diagnostics.h"
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

Bytes Pattern(size_t count, unsigned seed) {
  Bytes bytes(count);
  for (size_t i = 0; i < count; ++i) bytes[i] = uint8_t((i * 31 + seed) % 251);
  return bytes;
}

std::vector<TBlobFault> Faults(const std::vector<TBlobFinding>& findings) {
  std::vector<TBlobFault> faults;
  for (const TBlobFinding& f : findings) faults.push_back(f.Fault);
  return faults;
}

std::string Describe(const std::vector<TBlobFinding>& findings) {
  std::string text;
  for (const TBlobFinding& f : findings) text += f.Text + "\n";
  return text;
}

class BlobChainTest : public ::testing::Test {
 protected:
  static constexpr int32_t kBlockSize = 64;
  static constexpr int32_t kPayload = kBlockSize - 18;

  void TearDown() override { blob_.CloseTableFile(); }
  std::string Name() const { return dir_.File("T.BLB"); }

  void Create(int32_t blockSize = kBlockSize, bool encrypted = false) {
    blob_.SetFileName(Name());
    blob_.SetBlockSize(blockSize);
    blob_.SetEncrypted(encrypted);
    blob_.CreateTableFile();
    blob_.WriteBlobHeader(false);
  }
  void OpenHand(const Bytes& bytes) {
    test::WriteBytes(Name(), bytes);
    blob_.SetFileName(Name());
    blob_.SetBlockSize(kBlockSize);
    blob_.OpenTableFile();
  }
  // Writes what the table would write at the end of a write operation.
  void Flush() {
    blob_.WriteDirtyBlocks();
    blob_.WriteBlobHeader(false);
  }
  Bytes Load(int32_t first, int32_t stamp) {
    Bytes value;
    LoadBlobValue(blob_, first, stamp, value, &client_);
    return value;
  }
  TBlockHeader HeaderOf(int32_t n) {
    THeldBlock block(blob_, blob_.GetBlock(n, false, 1, nullptr));
    return block->Header();
  }
  std::vector<TBlobFinding> Check(std::vector<TBlobReference> refs) {
    return CheckBlobFile(blob_, refs);
  }

  test::TempDir dir_;
  TBlobFile blob_;
  test::TTestBlobClient client_{&blob_};
};

TEST_F(BlobChainTest, ChainShapeAtTheBlockBoundary) {
  Create();
  const Bytes exact = Pattern(kPayload, 1);
  const Bytes oneMore = Pattern(kPayload + 1, 2);
  const int32_t a = StoreBlobValue(blob_, 0, 10, exact, &client_);
  const int32_t b = StoreBlobValue(blob_, 0, 11, oneMore, &client_);
  EXPECT_EQ(a, 1);
  EXPECT_EQ(b, 2);
  EXPECT_EQ(blob_.BlockCount(), 3);
  const TBlockHeader first = HeaderOf(2);
  const TBlockHeader second = HeaderOf(3);
  EXPECT_EQ(first.PrevBlock, 0);
  EXPECT_EQ(first.NextBlock, 3);
  EXPECT_EQ(first.UsedCount, kPayload);
  EXPECT_EQ(first.TotalLength, kPayload + 1);
  EXPECT_EQ(second.PrevBlock, 2);
  EXPECT_EQ(second.NextBlock, 0);
  EXPECT_EQ(second.UsedCount, 1);
  EXPECT_EQ(second.Stamp, 11);
  EXPECT_EQ(second.TotalLength, 0);
  Flush();
  blob_.DropCachedBlocks();
  EXPECT_EQ(Load(a, 10), exact);
  EXPECT_EQ(Load(b, 11), oneMore);
  EXPECT_TRUE(Load(0, 0).empty());
  EXPECT_TRUE(Check({{a, 10, kPayload}, {b, 11, kPayload + 1}}).empty());
}

TEST_F(BlobChainTest, EmptyValueFreesTheWholeChainLastBlockFirst) {
  Create();
  const int32_t first = StoreBlobValue(blob_, 0, 5, Pattern(3 * kPayload - 4, 3), &client_);
  ASSERT_EQ(blob_.BlockCount(), 3);
  Flush();
  EXPECT_EQ(StoreBlobValue(blob_, first, 6, {}, &client_), 0);
  EXPECT_EQ(blob_.FirstFreeBlock(), 3);
  EXPECT_EQ(HeaderOf(3).NextBlock, 2);
  EXPECT_EQ(HeaderOf(2).NextBlock, 1);
  EXPECT_EQ(HeaderOf(1).NextBlock, 0);
  EXPECT_TRUE(Check({}).empty());
  // Freed blocks are reused before the file grows.
  const int32_t again = StoreBlobValue(blob_, 0, 7, Pattern(2 * kPayload, 4), &client_);
  EXPECT_EQ(again, 3);
  EXPECT_EQ(blob_.BlockCount(), 3);
  EXPECT_EQ(blob_.FirstFreeBlock(), 1);
  EXPECT_TRUE(Check({{again, 7, 2 * kPayload}}).empty()) << Describe(Check({{again, 7, -1}}));
}

// A rewrite never writes over the old chain: the new value goes into new
// blocks, and until the freed ones are written the file still holds the old
// value whole. The old chain's first block takes the new stamp as it is
// freed, so an older record image is told the value was rewritten.
TEST_F(BlobChainTest, RewriteGoesToANewChainAndFreesTheOldOne) {
  struct TCase {
    size_t length;
    int32_t newBlocks;
  };
  for (const TCase& c :
       {TCase{5 * kPayload - 7, 5}, TCase{3 * kPayload, 3}, TCase{kPayload + 1, 2}}) {
    SCOPED_TRACE(c.length);
    TBlobCacheTableState table;  // a change of a shared table
    table.writeLockHeld = true;
    blob_.SetCacheTable(&table);
    Create();
    const Bytes old = Pattern(3 * kPayload - 1, 5);
    const int32_t first = StoreBlobValue(blob_, 0, 100, old, &client_);
    Flush();
    blob_.DropCachedBlocks();
    const Bytes before = test::ReadBytes(Name());
    ASSERT_EQ(before.size(), 512u + 3 * kBlockSize);
    const Bytes value = Pattern(c.length, 6);
    const int32_t rewritten = StoreBlobValue(blob_, first, 101, value, &client_);
    EXPECT_EQ(rewritten, 4);
    EXPECT_EQ(blob_.BlockCount(), 3 + c.newBlocks);
    // The old chain, last block first, heads the free list.
    EXPECT_EQ(blob_.FirstFreeBlock(), 3);
    EXPECT_EQ(HeaderOf(1).Stamp, 101);

    // What a program dying before the record slot leaves: the new blocks
    // written, nothing else. The header and the old chain are as they were.
    blob_.WriteNewBlocks();
    const Bytes dying = test::ReadBytes(Name());
    ASSERT_EQ(dying.size(), before.size() + size_t(c.newBlocks) * kBlockSize);
    EXPECT_TRUE(std::equal(before.begin(), before.end(), dying.begin()));
    Flush();
    blob_.DropCachedBlocks();
    EXPECT_EQ(Load(rewritten, 101), value);
    EXPECT_EQ(ErrorCodeRaisedBy([&] { Load(first, 100); }), LEDRA_KEYORRECDELETED);
    const auto findings = Check({{rewritten, 101, int64_t(c.length)}});
    EXPECT_TRUE(findings.empty()) << Describe(findings);
    blob_.CloseTableFile();
    blob_.SetCacheTable(nullptr);
  }
}

// While a change holds the write lock (or a transaction runs), the blocks it
// frees are still, on disk, the chains of records as the file holds them:
// they are not handed out again before they have been written, and they are
// written apart from the new ones.
TEST_F(BlobChainTest, BlocksFreedUnderTheWriteLockWaitUntilWritten) {
  TBlobCacheTableState table;
  blob_.SetCacheTable(&table);
  Create();
  const int32_t a = StoreBlobValue(blob_, 0, 1, Pattern(2 * kPayload, 1), &client_);  // 1, 2
  const int32_t b = StoreBlobValue(blob_, 0, 2, Pattern(kPayload, 2), &client_);      // 3
  Flush();
  // A free block from earlier is handed out as usual.
  FreeBlobValue(blob_, b, 2, &client_);
  Flush();
  ASSERT_EQ(blob_.FirstFreeBlock(), 3);

  table.writeLockHeld = true;
  FreeBlobValue(blob_, a, 1, &client_);
  EXPECT_TRUE(blob_.HasFreedBlocks());
  EXPECT_EQ(blob_.FirstFreeBlock(), 2);
  // Block 3 (free before the change) first, then appended ones; 1 and 2 stay.
  const int32_t c = StoreBlobValue(blob_, 0, 3, Pattern(3 * kPayload, 3), &client_);
  EXPECT_EQ(c, 3);
  EXPECT_EQ(HeaderOf(3).NextBlock, 4);
  EXPECT_EQ(HeaderOf(4).NextBlock, 5);
  EXPECT_EQ(blob_.BlockCount(), 5);
  EXPECT_EQ(blob_.FirstFreeBlock(), 2);
  EXPECT_EQ(HeaderOf(2).NextBlock, 1);
  EXPECT_EQ(HeaderOf(1).NextBlock, 0);  // skips block 3, taken

  // The new blocks alone reach the file first; the freed ones after.
  platform::ResetCallCounts();
  EXPECT_TRUE(blob_.WriteNewBlocks());
  EXPECT_TRUE(blob_.FindCachedBlock(1)->Dirty());
  EXPECT_TRUE(blob_.FindCachedBlock(2)->Dirty());
  EXPECT_FALSE(blob_.FindCachedBlock(3)->Dirty());
  EXPECT_TRUE(blob_.WriteFreedBlocks());
  EXPECT_FALSE(blob_.FindCachedBlock(1)->Dirty());
  EXPECT_EQ(CallCount(OsCall::Write), 2u);
  blob_.WriteBlobHeader(false);
  EXPECT_FALSE(blob_.HasFreedBlocks());
  // Written, they are free blocks like any other.
  EXPECT_EQ(StoreBlobValue(blob_, 0, 4, Pattern(kPayload, 4), &client_), 2);
  Flush();
  EXPECT_TRUE(Check({{c, 3, 3 * kPayload}, {2, 4, kPayload}}).empty());

  // Dropping the cache forgets what was freed with it.
  FreeBlobValue(blob_, 2, 4, &client_);
  EXPECT_TRUE(blob_.HasFreedBlocks());
  blob_.DropCachedBlocks();
  EXPECT_FALSE(blob_.HasFreedBlocks());
  blob_.SetCacheTable(nullptr);
}

TEST_F(BlobChainTest, StampOfAnyBlockDecidesWhetherTheValueIsStillTheRecords) {
  // Chain 1 -> 2 -> 3 whose middle block carries another stamp.
  OpenHand(HandBlobFile(kBlockSize, 0,
                        {{0, 2, kPayload, 9, 3 * kPayload, 1},
                         {1, 3, kPayload, 8, 0, 2},
                         {2, 0, kPayload, 9, 0, 3}}));
  Bytes value{1, 2, 3};
  EXPECT_EQ(ErrorCodeRaisedBy([&] { LoadBlobValue(blob_, 1, 9, value, &client_); }),
            LEDRA_KEYORRECDELETED);
  EXPECT_TRUE(value.empty());
  EXPECT_EQ(ErrorCodeRaisedBy([&] { Load(1, 7); }), LEDRA_KEYORRECDELETED);
  EXPECT_EQ(Faults(Check({{1, 9, -1}})), std::vector<TBlobFault>{TBlobFault::StampMismatch});
  // Deleting a record whose stamp its first block does not carry.
  EXPECT_EQ(ErrorCodeRaisedBy([&] { FreeBlobValue(blob_, 1, 7, &client_); }), LEDRA_MEMOCORRUPT);
  EXPECT_EQ(blob_.FirstFreeBlock(), 0);
  FreeBlobValue(blob_, 1, 9, &client_);
  EXPECT_EQ(blob_.FirstFreeBlock(), 3);
}

TEST_F(BlobChainTest, DamagedFilesGiveCleanErrorsAndFindings) {
  using F = TBlobFault;
  struct TCase {
    const char* what;
    std::vector<THandBlock> blocks;
    int32_t freeHead;
    std::vector<TBlobReference> refs;
    TEngineErrorCode loadError;  // loading the first reference
    std::vector<F> faults;
  };
  const uint16_t full = kPayload;
  const std::vector<TCase> cases = {
      {"link outside the file",
       {{0, 99, full, 1, 2 * full, 0}},
       0,
       {{1, 1, -1}},
       LEDRA_MEMOCORRUPT,
       {F::LinkOutOfRange}},
      {"cycle",
       {{0, 2, full, 1, 5 * full, 0}, {1, 1, full, 1, 0, 0}},
       0,
       {{1, 1, -1}},
       LEDRA_MEMOCORRUPT,
       {F::ChainCycle}},
      {"block in two chains",
       {{0, 3, full, 1, full + 1, 0}, {0, 3, full, 2, full + 1, 0}, {1, 0, 1, 1, 0, 0}},
       0,
       {{1, 1, -1}, {2, 2, -1}},
       LEDRA_NONE,
       {F::BlockShared}},
      {"chain shorter than its length",
       {{0, 2, full, 1, 4 * full, 0}, {1, 0, full, 1, 0, 0}},
       0,
       {{1, 1, -1}},
       LEDRA_ENDOFBLOB,
       {F::ChainLength}},
      {"length no file could hold",
       {{0, 0, full, 1, 0x7FFFFFFF, 0}},
       0,
       {{1, 1, -1}},
       LEDRA_ENDOFBLOB,
       {F::ChainLength}},
      {"negative length",
       {{0, 0, 1, 1, -5, 0}},
       0,
       {{1, 1, -1}},
       LEDRA_MEMOCORRUPT,
       {F::LengthMismatch}},
      {"reference outside the file",
       {{}},
       1,
       {{7, 1, -1}},
       LEDRA_MEMOCORRUPT,
       {F::ReferenceOutOfRange}},
      {"free list cycle and a lost block",
       {{0, 2, 0, 0, 0, 0}, {0, 1, 0, 0, 0, 0}, {}},
       1,
       {},
       LEDRA_NONE,
       {F::FreeListCycle, F::LostBlock}},
      {"free block in a chain",
       {{0, 0, 3, 1, 3, 0}},
       1,
       {{1, 1, 3}},
       LEDRA_NONE,
       {F::FreeBlockInChain}},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.what);
    OpenHand(HandBlobFile(kBlockSize, c.freeHead, c.blocks));
    if (!c.refs.empty()) {
      EXPECT_EQ(ErrorCodeRaisedBy([&] { Load(c.refs[0].FirstBlock, c.refs[0].Stamp); }),
                c.loadError);
    }
    const auto findings = Check(c.refs);
    EXPECT_EQ(Faults(findings), c.faults) << Describe(findings);
    blob_.CloseTableFile();
  }

  // Freeing or rewriting along a cycle stops before changing anything.
  OpenHand(HandBlobFile(kBlockSize, 0, {{0, 2, full, 1, 3 * full, 0}, {1, 1, full, 1, 0, 0}}));
  EXPECT_EQ(ErrorCodeRaisedBy([&] { FreeBlobValue(blob_, 1, 1, &client_); }), LEDRA_MEMOCORRUPT);
  EXPECT_EQ(blob_.FirstFreeBlock(), 0);
  EXPECT_EQ(ErrorCodeRaisedBy([&] { StoreBlobValue(blob_, 1, 2, Pattern(5 * full, 1), &client_); }),
            LEDRA_MEMOCORRUPT);
  EXPECT_EQ(blob_.BlockCount(), 2);
  blob_.CloseTableFile();

  // A header whose free list starts beyond the last block is refused at open.
  test::WriteBytes(Name(), HandBlobFile(kBlockSize, 3, {{}, {}}));
  EXPECT_EQ(ErrorCodeRaisedBy([&] { blob_.OpenTableFile(); }), LEDRA_HEADERCORRUPT);
}

TEST_F(BlobChainTest, ManyBlockValueIsReadInRunsAndWrittenInOne) {
  Create(512);
  const int32_t payload = 512 - 18;
  const Bytes value = Pattern(size_t(40 * payload - 3), 7);
  platform::ResetCallCounts();
  const int32_t first = StoreBlobValue(blob_, 0, 1, value, &client_);
  EXPECT_EQ(CallCount(OsCall::Read), 0u);  // appended blocks are never read
  Flush();
  EXPECT_EQ(CallCount(OsCall::Write), 2u);  // 40 blocks in one run, then the header
  blob_.DropCachedBlocks();

  platform::ResetCallCounts();
  EXPECT_EQ(Load(first, 1), value);
  // Block 1 alone (its length is not known before), then 32 and 7 blocks.
  EXPECT_EQ(CallCount(OsCall::Read), 3u);
  EXPECT_EQ(blob_.Statistics().blocksRead, 40u);
  // Rewriting it, as a change of a shared table does, walks the old chain
  // with the same runs (to check it and free it) and writes the new one
  // into appended blocks, never read.
  TBlobCacheTableState table;
  table.writeLockHeld = true;
  blob_.SetCacheTable(&table);
  blob_.DropCachedBlocks();
  platform::ResetCallCounts();
  EXPECT_EQ(StoreBlobValue(blob_, first, 2, Pattern(value.size(), 8), &client_), 41);
  EXPECT_EQ(CallCount(OsCall::Read), 3u);
  blob_.SetCacheTable(nullptr);
}

TEST_F(BlobChainTest, EncipheredRoundTrip) {
  Create(kBlockSize, true);
  const Bytes value = Pattern(4 * kPayload + 5, 9);
  const int32_t first = StoreBlobValue(blob_, 0, 77, value, &client_);
  Flush();
  blob_.CloseTableFile();
  const Bytes raw = test::ReadBytes(Name());
  ASSERT_EQ(raw.size(), 512u + 5 * kBlockSize);
  EXPECT_NE(Bytes(raw.begin() + 512 + 18, raw.begin() + 512 + 18 + 8),
            Bytes(value.begin(), value.begin() + 8));
  blob_.OpenTableFile();
  EXPECT_EQ(Load(first, 77), value);
  EXPECT_TRUE(Check({{first, 77, int64_t(value.size())}}).empty());
}

TEST_F(BlobChainTest, ChangeSignalRestartsALoadButStopsAWrite) {
  Create();
  const Bytes value = Pattern(3 * kPayload, 10);
  const int32_t first = StoreBlobValue(blob_, 0, 3, value, &client_);
  Flush();
  blob_.DropCachedBlocks();
  // The second block's fetch finds the table changed once: start again.
  test::TTestBlobClient once(&blob_, 0);
  { THeldBlock warm(blob_, blob_.GetBlock(first, false, 1, nullptr)); }
  once.SetChanges(1);
  Bytes loaded;
  LoadBlobValue(blob_, first, 3, loaded, &once);
  EXPECT_EQ(loaded, value);
  EXPECT_EQ(once.calls, 3);  // the miss that signalled, block 1 again, block 2 onward

  // A table that never settles.
  blob_.DropCachedBlocks();
  test::TTestBlobClient always(&blob_, -1);
  EXPECT_EQ(ErrorCodeRaisedBy([&] { LoadBlobValue(blob_, first, 3, loaded, &always); }),
            LEDRA_LOCKTIMEOUT);
  EXPECT_EQ(always.calls, kMaxLoadAttempts);
  // Under a write a change means the buffers were lost: refuse to go on.
  EXPECT_EQ(ErrorCodeRaisedBy([&] { StoreBlobValue(blob_, first, 4, value, &always); }),
            LEDRA_LOCKTIMEOUT);
}

// Store, rewrite and free many values against a model; after each batch the
// file must check clean and every value load back.
TEST_F(BlobChainTest, RandomChurnAgainstAModel) {
  const char* env = std::getenv("OSTREVO_BLOB_CHURN");
  const int operations = env ? std::max(1, std::atoi(env)) : 400;
  const unsigned seed = 20240611u;
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937 random(seed);
  auto below = [&](int n) { return int(random() % unsigned(n)); };

  Create();
  struct TValue {
    int32_t first;
    int32_t stamp;
    Bytes bytes;
  };
  std::map<int, TValue> model;
  int32_t nextStamp = 1;
  int nextId = 0;
  for (int op = 0; op < operations; ++op) {
    const int choice = below(10);
    const size_t length = below(4) == 0 ? 0 : size_t(below(8 * kPayload));
    if (choice < 4 || model.empty()) {
      const Bytes bytes = Pattern(length, unsigned(op));
      const int32_t stamp = nextStamp++;
      const int32_t first = StoreBlobValue(blob_, 0, stamp, bytes, &client_);
      model[nextId++] = {first, stamp, bytes};
    } else {
      auto it = std::next(model.begin(), below(int(model.size())));
      TValue& v = it->second;
      if (choice < 8) {
        v.bytes = Pattern(length, unsigned(op));
        v.stamp = nextStamp++;
        v.first = StoreBlobValue(blob_, v.first, v.stamp, v.bytes, &client_);
      } else {
        FreeBlobValue(blob_, v.first, v.stamp, &client_);
        model.erase(it);
      }
    }
    if (op % 25 == 24 || op + 1 == operations) {
      Flush();
      if (below(2) == 0) blob_.DropCachedBlocks();
      std::vector<TBlobReference> refs;
      for (const auto& [id, v] : model) {
        refs.push_back({v.first, v.stamp, int64_t(v.bytes.size())});
      }
      const auto findings = CheckBlobFile(blob_, refs);
      ASSERT_TRUE(findings.empty()) << "after operation " << op << "\n" << Describe(findings);
      for (const auto& [id, v] : model) ASSERT_EQ(Load(v.first, v.stamp), v.bytes) << id;
    }
  }
}

}  // namespace
}  // namespace ledra
