// Loading long values: the blocks after a chain's first one are read in runs
// straight into the value, not through the block cache. What the cache holds
// (changed blocks above all) still wins over the file's bytes, chains that
// run in any order load exactly, and another program's change between two
// runs restarts the load as the change detection says.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "engine/blob/BlobChain.h"
#include "engine/errors/EngineError.h"
#include "platform/Diagnostics.h"
#include "tests/engine/blob/BlobTestSupport.h"
#include "tests/engine/files/FileLayerTestSupport.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/TempDir.h"

namespace ledra {
namespace {

using platform::CallCount;
using platform::OsCall;
using test::Bytes;
using test::ErrorCodeRaisedBy;
using test::HandBlobFile;
using test::THandBlock;

constexpr int32_t kLargeBlock = 512;
constexpr int32_t kLargePayload = kLargeBlock - 18;

Bytes Pattern(size_t count, unsigned seed) {
  Bytes bytes(count);
  for (size_t i = 0; i < count; ++i) bytes[i] = uint8_t((i * 13 + seed) % 253);
  return bytes;
}

class BlobReadThroughTest : public ::testing::Test {
 protected:
  void TearDown() override { blob_.CloseTableFile(); }
  std::string Name() const { return dir_.File("T.BLB"); }

  void Create(int32_t blockSize) {
    blob_.SetFileName(Name());
    blob_.SetBlockSize(blockSize);
    blob_.CreateTableFile();
    blob_.WriteBlobHeader(false);
  }
  void Flush() {
    blob_.WriteDirtyBlocks();
    blob_.WriteBlobHeader(false);
  }
  Bytes Load(int32_t first, int32_t stamp, TBlobCacheClient* client) {
    Bytes value;
    LoadBlobValue(blob_, first, stamp, value, client);
    return value;
  }

  test::TempDir dir_;
  TBlobFile blob_;
  test::TTestBlobClient client_{&blob_};
};

TEST_F(BlobReadThroughTest, LongValueComesBackExactlyAndLeavesTheCacheAlone) {
  Create(kLargeBlock);
  const int32_t limit = blob_.ReadAheadLimit();
  ASSERT_EQ(limit, 32);
  const Bytes value = Pattern(size_t(200 * kLargePayload - 5), 3);
  const int32_t first = StoreBlobValue(blob_, 0, 9, value, &client_);
  ASSERT_EQ(first, 1);
  Flush();
  blob_.DropCachedBlocks();

  platform::ResetCallCounts();
  blob_.ResetStatistics();
  EXPECT_EQ(Load(first, 9, &client_), value);
  // The first block alone, then 199 blocks in runs of the read-ahead limit.
  EXPECT_EQ(CallCount(OsCall::Read), 1u + (199u + 31u) / 32u);
  EXPECT_EQ(blob_.Statistics().blocksRead, 200u);
  // Only the first block went into the cache.
  EXPECT_EQ(blob_.CachedCount(), 1u);
  EXPECT_EQ(blob_.RecentlyUsedOrder(), std::vector<int32_t>{first});

  // Blocks changed in the cache and not yet written are newer than the file:
  // a load sees them, whether they lie inside a run (101, 102) or where one
  // would start (130).
  Bytes expected = value;
  for (const int32_t k : {100, 101, 129}) {
    THeldBlock block(blob_, blob_.GetBlock(first + k, false, 1, nullptr));
    ASSERT_EQ(block->UsedCount(), kLargePayload);
    const Bytes changed = Pattern(size_t(kLargePayload), unsigned(k));
    block->SetPayload(changed.data(), changed.size());
    std::copy(changed.begin(), changed.end(),
              expected.begin() + std::ptrdiff_t(size_t(k) * size_t(kLargePayload)));
  }
  EXPECT_EQ(Load(first, 9, &client_), expected);
  // Written and dropped from the cache, the change is read from the file.
  Flush();
  blob_.DropCachedBlocks();
  EXPECT_EQ(Load(first, 9, &client_), expected);
  EXPECT_EQ(blob_.CachedCount(), 1u);

  // A value never bigger than its first block loads without a run.
  const Bytes small = Pattern(100, 4);
  const int32_t single = StoreBlobValue(blob_, 0, 10, small, &client_);
  Flush();
  blob_.DropCachedBlocks();
  platform::ResetCallCounts();
  EXPECT_EQ(Load(single, 10, &client_), small);
  EXPECT_EQ(CallCount(OsCall::Read), 1u);
}

// Chains written out by hand in orders a file reaches after rewrites: blocks
// jumping back and forth, and a chain running downward (a value built from a
// freed chain's blocks). Every block's payload says where it belongs.
TEST_F(BlobReadThroughTest, ChainsInAnyBlockOrderLoadExactly) {
  constexpr int32_t kBlock = 64;
  constexpr uint16_t kPayload = kBlock - 18;
  // Block numbers in chain order: 1..10 scrambled, then 310 down to 11
  // (longer than a run: 256 blocks of 64 bytes).
  const std::vector<int32_t> scrambled = {7, 3, 8, 1, 9, 2, 10, 4, 5, 6};
  std::vector<int32_t> downward;
  for (int32_t n = 310; n >= 11; --n) downward.push_back(n);
  const uint16_t lastUsed = 30;

  std::vector<THandBlock> blocks(310);
  Bytes expectedScrambled;
  Bytes expectedDownward;
  auto lay = [&](const std::vector<int32_t>& chain, int32_t stamp, Bytes& expected) {
    const int32_t total = int32_t(chain.size() - 1) * kPayload + lastUsed;
    for (size_t k = 0; k < chain.size(); ++k) {
      THandBlock& b = blocks[size_t(chain[k] - 1)];
      b.prev = k == 0 ? 0 : chain[k - 1];
      b.next = k + 1 == chain.size() ? 0 : chain[k + 1];
      b.used = k + 1 == chain.size() ? lastUsed : kPayload;
      b.stamp = stamp;
      b.total = k == 0 ? total : 0;
      b.fill = uint8_t(chain[k] % 251);
      expected.insert(expected.end(), b.used, b.fill);
    }
  };
  lay(scrambled, 5, expectedScrambled);
  lay(downward, 6, expectedDownward);
  test::WriteBytes(Name(), HandBlobFile(kBlock, 0, blocks));
  blob_.SetFileName(Name());
  blob_.SetBlockSize(kBlock);
  blob_.OpenTableFile();

  EXPECT_EQ(Load(7, 5, &client_), expectedScrambled);
  blob_.DropCachedBlocks();
  platform::ResetCallCounts();
  blob_.ResetStatistics();
  EXPECT_EQ(Load(310, 6, &client_), expectedDownward);
  EXPECT_EQ(blob_.Statistics().blocksRead, 300u);
  EXPECT_EQ(blob_.Statistics().diskReads, 3u);
  // The first block, then runs that end at the block wanted: 54..309 and
  // 11..53.
  EXPECT_EQ(CallCount(OsCall::Read), 3u);
  // And the first chain again, with only block 310 in the cache.
  EXPECT_EQ(Load(7, 5, &client_), expectedScrambled);

  // A stamp that differs in the middle of a run: the value was rewritten.
  Bytes file = test::ReadBytes(Name());
  blob_.CloseTableFile();
  test::PutHand32(file, 512 + size_t(15 - 1) * kBlock + 10, 99);
  test::WriteBytes(Name(), file);
  blob_.OpenTableFile();
  EXPECT_EQ(ErrorCodeRaisedBy([&] { Load(310, 6, &client_); }), LEDRA_KEYORRECDELETED);
  // A link back into the chain is damage, not a loop.
  test::PutHand32(file, 512 + size_t(15 - 1) * kBlock + 10, 6);
  test::PutHand32(file, 512 + size_t(13 - 1) * kBlock + 4, 200);
  blob_.CloseTableFile();
  test::WriteBytes(Name(), file);
  blob_.OpenTableFile();
  EXPECT_EQ(ErrorCodeRaisedBy([&] { Load(310, 6, &client_); }), LEDRA_MEMOCORRUPT);
}

// The table's change detection, as far as the blob file goes: before a run
// is read, the header is read again and, when another program changed it,
// the cache goes and the load starts over.
class TRefreshingClient final : public TBlobCacheClient {
 public:
  TRefreshingClient(TBlobFile& file, test::TChildProcess& child) : file_(file), child_(child) {}
  bool CheckForChanges() override {
    ++calls;
    if (calls == triggerAt) {
      child_.Send(command);
      answer = child_.Receive().value_or(0);
    }
    return file_.RefreshBlobHeader();
  }

  int calls = 0;
  int triggerAt = 0;
  uint32_t command = 0;
  uint32_t answer = 0;

 private:
  TBlobFile& file_;
  test::TChildProcess& child_;
};

TEST_F(BlobReadThroughTest, AnotherProgramsChangeBetweenTwoRunsIsSeen) {
  const std::string name = Name();
  // Command 1 rewrites the small value, 2 the long one; the answer is the
  // new chain's first block.
  test::TChildProcess child([name](test::TChildProcess& self) {
    TBlobFile file(name);
    file.SetBlockSize(kLargeBlock);
    for (;;) {
      const std::optional<uint32_t> command = self.Receive();
      if (!command || *command == 0) return;
      file.OpenTableFile();
      const int32_t first =
          *command == 1 ? StoreBlobValue(file, 41, 3, Pattern(300, 30), nullptr)
                        : StoreBlobValue(file, 1, 4, Pattern(90 * kLargePayload, 40), nullptr);
      file.WriteDirtyBlocks();
      file.WriteBlobHeader(false);
      file.CloseTableFile();
      self.Send(uint32_t(first));
    }
  });
  ASSERT_TRUE(child.Started());

  Create(kLargeBlock);
  const Bytes value = Pattern(size_t(40 * kLargePayload), 1);
  ASSERT_EQ(StoreBlobValue(blob_, 0, 1, value, &client_), 1);
  ASSERT_EQ(StoreBlobValue(blob_, 0, 2, Pattern(200, 2), &client_), 41);
  Flush();
  // Created files are held exclusively; opened again, shared.
  blob_.CloseTableFile();
  blob_.OpenTableFile();

  // Another value changed before the second run: the load starts over and
  // still reads this one whole.
  TRefreshingClient client(blob_, child);
  client.triggerAt = 2;
  client.command = 1;
  EXPECT_EQ(Load(1, 1, &client), value);
  EXPECT_EQ(client.answer, 42u);
  // The first block, the run that found the change; then all over again.
  EXPECT_EQ(client.calls, 5);

  // This value rewritten before the second run: the record read before no
  // longer names it.
  blob_.DropCachedBlocks();
  client.calls = 0;
  client.command = 2;
  EXPECT_EQ(ErrorCodeRaisedBy([&] { Load(1, 1, &client); }), LEDRA_KEYORRECDELETED);
  ASSERT_GT(client.answer, 0u);
  EXPECT_EQ(Load(int32_t(client.answer), 4, &client), Pattern(90 * kLargePayload, 40));
  child.Send(0);
  EXPECT_TRUE(child.Finish());
}

}  // namespace
}  // namespace ledra
