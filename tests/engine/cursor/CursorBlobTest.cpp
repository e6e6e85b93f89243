#include <gtest/gtest.h>

#include <set>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "engine/cursor/DataCursor.h"
#include "engine/errors/EngineError.h"
#include "engine/files/Bytes.h"
#include "tests/engine/cursor/BlobCursorTestSupport.h"
#include "tests/engine/blob/BlobTestSupport.h"
#include "tests/support/ChildProcess.h"

namespace ledra {
namespace {

using test::GetBlob;
using test::kBlobCode;
using test::kBlobData;
using test::kBlobMemo;
using test::kTestBlobBlockSize;
using test::kTestPayload;
using test::NewImage;
using test::Pattern;
using test::SetBlob;

class CursorBlobTest : public test::CursorTest {
 protected:
  void SetUp() override {
    // A second process uses the table this one made.
    if (!test::IsChildProcess()) test::CreateBlobTable(directory_, "Blobs");
  }

  // Inserts a record with the given memo and data values; the cursor stands
  // on it afterwards.
  void Insert(TDataCursor& cursor, std::string_view code, const std::vector<uint8_t>& memo,
              const std::vector<uint8_t>& data) {
    std::vector<uint8_t> image = NewImage(cursor, code);
    if (!memo.empty()) SetBlob(cursor, image.data(), kBlobMemo, memo);
    if (!data.empty()) SetBlob(cursor, image.data(), kBlobData, data);
    cursor.PostInsert(image.data());
  }

  bool Find(TDataCursor& cursor, std::string_view code) {
    std::vector<uint8_t> key = NewImage(cursor, code);
    return cursor.FindByKey(false, key.data(), nullptr, 0, false, 1);
  }

  // The value of a field of a record, read by a cursor of a session of its
  // own (from the file, not from this session's caches).
  std::vector<uint8_t> ReadElsewhere(std::string_view code, int fieldNo) {
    TDataSession other;
    TDataCursor cursor(other.OpenDirectory("Other", dir_.Path().string()));
    cursor.SetTableName("Blobs");
    cursor.Open();
    if (!Find(cursor, code)) return {};
    std::vector<uint8_t> image(cursor.CurrentRecord(),
                               cursor.CurrentRecord() + cursor.RecordSize());
    return GetBlob(cursor, image.data(), fieldNo);
  }

  std::vector<uint8_t> Current(TDataCursor& cursor) {
    return std::vector<uint8_t>(cursor.CurrentRecord(),
                                cursor.CurrentRecord() + cursor.RecordSize());
  }

  int32_t Reference(TDataCursor& cursor, const std::vector<uint8_t>& image, int fieldNo) {
    return int32_t(GetLE32(&image[cursor.GetFieldDesc(fieldNo).Offset + 1]));
  }
  int32_t Stamp(TDataCursor& cursor, const std::vector<uint8_t>& image, int fieldNo) {
    return int32_t(GetLE32(&image[cursor.GetFieldDesc(fieldNo).Offset + 5]));
  }

  std::string Problems(TDataCursor& cursor) {
    return test::TableFindings(cursor.Table()) + test::BlobProblems(cursor.Table());
  }
};

// Offsets of the blob file read by hand: header fields and block k's fields.
int32_t HeaderField(const test::Bytes& file, size_t offset) {
  return int32_t(GetLE32(&file[offset]));
}
size_t BlockAt(int32_t k) {
  return 512 + size_t(k - 1) * size_t(kTestBlobBlockSize);
}

TEST_F(CursorBlobTest, ValuesFillWholeBlocksAndAnEmptyValueFreesTheChain) {
  auto cursor = OpenCursor("Blobs");
  const std::string path = cursor->Table().BlobFile().FileName();
  // Exactly one payload: one block, full.
  Insert(*cursor, "A", {}, Pattern(kTestPayload, 1));
  test::Bytes file = test::ReadBytes(path);
  ASSERT_EQ(file.size(), BlockAt(2));
  EXPECT_EQ(HeaderField(file, 13), 2);  // next block to append
  EXPECT_EQ(GetLE16(&file[BlockAt(1) + 8]), kTestPayload);
  EXPECT_EQ(HeaderField(file, BlockAt(1) + 14), int32_t(kTestPayload));

  // One byte more: a second block holding 1 byte, linked both ways.
  Insert(*cursor, "B", {}, Pattern(kTestPayload + 1, 2));
  file = test::ReadBytes(path);
  ASSERT_EQ(file.size(), BlockAt(4));
  EXPECT_EQ(HeaderField(file, BlockAt(2) + 4), 3);
  EXPECT_EQ(HeaderField(file, BlockAt(3) + 0), 2);
  EXPECT_EQ(GetLE16(&file[BlockAt(3) + 8]), 1);
  EXPECT_EQ(HeaderField(file, BlockAt(3) + 14), 0);
  EXPECT_EQ(ReadElsewhere("B", kBlobData), Pattern(kTestPayload + 1, 2));

  // Three blocks (4, 5, 6) emptied: all three freed, the last one heads the
  // free list, the reference is 0 and the field null.
  Insert(*cursor, "C", {}, Pattern(2 * kTestPayload + 5, 3));
  std::vector<uint8_t> image = Current(*cursor);
  ASSERT_EQ(Reference(*cursor, image, kBlobData), 4);
  ASSERT_EQ(cursor->ReadCurrent(image.data(), true), 0);
  uint32_t length = 0;
  ASSERT_EQ(cursor->OpenBlob(kBlobData, image.data(), length, false, TBlobOpenMode::kWrite), 0);
  EXPECT_EQ(length, 2 * kTestPayload + 5);
  ASSERT_EQ(cursor->TruncateBlob(kBlobData, image.data(), 0), 0);
  cursor->PostEdit(image.data());
  file = test::ReadBytes(path);
  EXPECT_EQ(HeaderField(file, 9), 6);
  EXPECT_EQ(HeaderField(file, BlockAt(6) + 4), 5);
  EXPECT_EQ(HeaderField(file, BlockAt(5) + 4), 4);
  EXPECT_EQ(HeaderField(file, BlockAt(4) + 4), 0);
  image = Current(*cursor);
  bool isNull = false;
  uint8_t reference[4] = {1, 1, 1, 1};
  cursor->GetFieldValue(kBlobData, image.data(), isNull, reference);
  EXPECT_TRUE(isNull);
  EXPECT_EQ(GetLE32(reference), 0u);
  EXPECT_EQ(cursor->OpenBlobCount(), 0u);
  EXPECT_EQ(Problems(*cursor), "");

  // The next value reuses the freed blocks from the head of the list.
  Insert(*cursor, "D", {}, Pattern(10, 4));
  EXPECT_EQ(Reference(*cursor, Current(*cursor), kBlobData), 6);
  EXPECT_EQ(Problems(*cursor), "");
}

TEST_F(CursorBlobTest, ReadsHandlesAndLimits) {
  auto cursor = OpenCursor("Blobs");
  Insert(*cursor, "A", test::Chars("some memo text"), Pattern(100, 1));
  std::vector<uint8_t> image = Current(*cursor);
  const int32_t first = Reference(*cursor, image, kBlobData);

  uint32_t length = 0;
  EXPECT_EQ(cursor->OpenBlob(kBlobCode, image.data(), length, false, TBlobOpenMode::kRead),
            LEDRA_NOTABLOB);
  ASSERT_EQ(cursor->OpenBlob(kBlobData, image.data(), length, false, TBlobOpenMode::kRead), 0);
  ASSERT_EQ(length, 100u);
  uint8_t out[8] = {};
  uint32_t read = 99;
  EXPECT_EQ(cursor->ReadBlob(kBlobData, image.data(), 99, 4, out, read), LEDRA_ENDOFBLOB);
  EXPECT_EQ(read, 1u);
  EXPECT_EQ(out[0], Pattern(100, 1)[99]);
  EXPECT_EQ(cursor->ReadBlob(kBlobData, image.data(), 100, 4, out, read), LEDRA_ENDOFBLOB);
  EXPECT_EQ(read, 0u);
  EXPECT_EQ(cursor->ReadBlob(kBlobData, image.data(), 500, 4, out, read), LEDRA_ENDOFBLOB);
  EXPECT_EQ(read, 0u);
  EXPECT_EQ(cursor->ReadBlob(kBlobData, image.data(), 96, 4, out, read), 0);
  EXPECT_EQ(read, 4u);

  // A second open of the same image shares the buffer; one close keeps it.
  ASSERT_EQ(cursor->OpenBlob(kBlobData, image.data(), length, false, TBlobOpenMode::kRead), 0);
  EXPECT_EQ(cursor->OpenBlobCount(), 1u);
  ASSERT_NE(cursor->FindBlobBuffer(kBlobData, image.data()), nullptr);
  EXPECT_EQ(cursor->FindBlobBuffer(kBlobData, image.data())->OpenCount(), 2);
  EXPECT_EQ(cursor->CloseBlob(kBlobData, image.data()), 0);
  EXPECT_LT(Reference(*cursor, image, kBlobData), 0);
  EXPECT_EQ(cursor->GetBlobLength(kBlobData, image.data(), length), 0);
  EXPECT_EQ(length, 100u);
  EXPECT_EQ(cursor->CloseBlob(kBlobData, image.data()), 0);
  EXPECT_EQ(Reference(*cursor, image, kBlobData), first);
  EXPECT_EQ(cursor->OpenBlobCount(), 0u);
  EXPECT_EQ(cursor->ReadBlob(kBlobData, image.data(), 0, 4, out, read), LEDRA_INVALIDBLOBHANDLE);
  EXPECT_EQ(cursor->CloseBlob(kBlobData, image.data()), LEDRA_INVALIDBLOBHANDLE);

  // A handle naming no open buffer; a write past the longest value.
  std::vector<uint8_t> forged = image;
  PutLE32(&forged[cursor->GetFieldDesc(kBlobData).Offset + 1], uint32_t(-77));
  EXPECT_EQ(cursor->OpenBlob(kBlobData, forged.data(), length, false, TBlobOpenMode::kRead),
            LEDRA_INVALIDBLOBOFFSET);
  ASSERT_EQ(cursor->OpenBlob(kBlobData, image.data(), length, false, TBlobOpenMode::kWrite), 0);
  EXPECT_EQ(cursor->WriteBlob(kBlobData, image.data(), 0x7FFFFFF0u, 0x20, out),
            LEDRA_INVALIDBLOBLEN);
  EXPECT_EQ(cursor->CloseBlob(kBlobData, image.data()), 0);

  // 128 images may hold a blob open at once, not 129.
  std::vector<std::vector<uint8_t>> images(TDataCursor::kMaxOpenBlobs + 1, Current(*cursor));
  for (size_t i = 0; i < TDataCursor::kMaxOpenBlobs; ++i) {
    ASSERT_EQ(cursor->OpenBlob(kBlobMemo, images[i].data(), length, false, TBlobOpenMode::kRead),
              0);
  }
  EXPECT_EQ(cursor->OpenBlob(kBlobMemo, images.back().data(), length, false, TBlobOpenMode::kRead),
            LEDRA_OPENBLOBLIMIT);
  EXPECT_EQ(Reference(*cursor, images.back(), kBlobMemo),
            Reference(*cursor, Current(*cursor), kBlobMemo));
  // Closing the cursor frees them all.
  cursor->Close();
  cursor->Open();
  EXPECT_EQ(cursor->OpenBlobCount(), 0u);
}

TEST_F(CursorBlobTest, RewritesGoToNewChainsKeepEveryBlockStampedAndEveryChangeWritten) {
  auto cursor = OpenCursor("Blobs");
  Insert(*cursor, "A", {}, Pattern(3 * kTestPayload, 0));
  ASSERT_EQ(Reference(*cursor, Current(*cursor), kBlobData), 1);
  int32_t lastStamp = Stamp(*cursor, Current(*cursor), kBlobData);
  // Longer, equal, shorter: each value goes into a new chain with a new
  // stamp in every block, and loads back from the file. The old chain is
  // freed after the record is written, so the first rewrite appends (4..7);
  // the next ones take the freed blocks from the head of the list: 3, 2, 1
  // and one appended (8), then 7, 6.
  for (auto [size, seed, first] :
       {std::tuple{4 * kTestPayload - 3, 1, 4}, std::tuple{4 * kTestPayload - 3, 2, 3},
        std::tuple{kTestPayload + 2, 3, 7}}) {
    std::vector<uint8_t> image = Current(*cursor);
    ASSERT_EQ(cursor->ReadCurrent(image.data(), true), 0);
    SetBlob(*cursor, image.data(), kBlobData, Pattern(size, seed));
    cursor->PostEdit(image.data());
    image = Current(*cursor);
    EXPECT_EQ(Reference(*cursor, image, kBlobData), first);
    EXPECT_NE(Stamp(*cursor, image, kBlobData), lastStamp);
    lastStamp = Stamp(*cursor, image, kBlobData);
    EXPECT_EQ(ReadElsewhere("A", kBlobData), Pattern(size, seed)) << size << " bytes";
    EXPECT_EQ(Problems(*cursor), "") << size << " bytes";
  }

  // A write inside the length, no truncation: still the user's change.
  std::vector<uint8_t> image = Current(*cursor);
  ASSERT_EQ(cursor->ReadCurrent(image.data(), true), 0);
  uint32_t length = 0;
  ASSERT_EQ(cursor->OpenBlob(kBlobData, image.data(), length, false, TBlobOpenMode::kWrite), 0);
  const std::vector<uint8_t> same = Pattern(length, 9);
  ASSERT_EQ(cursor->WriteBlob(kBlobData, image.data(), 0, length, same.data()), 0);
  cursor->PostEdit(image.data());
  EXPECT_EQ(ReadElsewhere("A", kBlobData), same);
  EXPECT_NE(Stamp(*cursor, Current(*cursor), kBlobData), lastStamp);
  EXPECT_EQ(Problems(*cursor), "");
}

TEST_F(CursorBlobTest, AnImageReadBeforeAnotherProcessRewroteTheBlobIsRefused) {
  test::TChildProcess child([path = dir_.Path().string()](test::TChildProcess& self) {
    self.Receive();
    TDataSession session;
    TDataCursor cursor(session.OpenDirectory("Child", path));
    cursor.SetTableName("Blobs");
    cursor.Open();
    std::vector<uint8_t> key = NewImage(cursor, "A");
    cursor.FindByKey(false, key.data(), nullptr, 0, false, 1);
    std::vector<uint8_t> image(cursor.CurrentRecord(),
                               cursor.CurrentRecord() + cursor.RecordSize());
    if (cursor.ReadCurrent(image.data(), true) != 0) return;
    SetBlob(cursor, image.data(), kBlobData, Pattern(150, 5));
    cursor.PostEdit(image.data());
    self.Send(0);
  });
  ASSERT_TRUE(child.Started());
  auto cursor = OpenCursor("Blobs");
  Insert(*cursor, "A", {}, Pattern(150, 4));
  std::vector<uint8_t> old = Current(*cursor);
  child.Send(1);
  ASSERT_EQ(child.Receive(), 0u);
  // Blocks this session had cached go, unnoticed: only reading the file can
  // tell the rewrite.
  cursor->Table().DropBuffers({});

  uint32_t length = 0;
  EXPECT_EQ(test::ErrorCodeRaisedBy([&] {
              cursor->OpenBlob(kBlobData, old.data(), length, false, TBlobOpenMode::kRead);
            }),
            LEDRA_KEYORRECDELETED);
  EXPECT_EQ(cursor->OpenBlobCount(), 0u);
  EXPECT_GT(Reference(*cursor, old, kBlobData), 0);
  // The record as it is now reads the other process's value.
  ASSERT_TRUE(Find(*cursor, "A"));
  std::vector<uint8_t> image = Current(*cursor);
  EXPECT_EQ(GetBlob(*cursor, image.data(), kBlobData), Pattern(150, 5));
}

TEST_F(CursorBlobTest, InsertEditCopyCancelAndDeleteKeepChainsWordsAndFreeList) {
  auto cursor = OpenCursor("Blobs");
  TCursorIndex text = test::IndexOf(cursor->Table(), kTextSlot);
  auto words = [&] {
    std::set<std::pair<std::string, int32_t>> found;
    TIndexPosition pos;
    for (bool more = text.Tree().FirstEntry(pos); more; more = text.Tree().NextEntry(pos)) {
      found.emplace(std::string(reinterpret_cast<const char*>(&pos.Key[kTextWordOffset])),
                    pos.RecordNo);
    }
    return found;
  };
  using TWords = std::set<std::pair<std::string, int32_t>>;

  Insert(*cursor, "A", test::Chars("alpha beta the alpha"), Pattern(200, 1));
  Insert(*cursor, "B", test::Chars("gamma"), {});
  EXPECT_EQ(words(), (TWords{{"ALPHA", 1}, {"BETA", 1}, {"GAMMA", 2}}));
  EXPECT_EQ(Problems(*cursor), "");

  // Edit of the memo only: the data chain stays, the words follow.
  ASSERT_TRUE(Find(*cursor, "A"));
  std::vector<uint8_t> image = Current(*cursor);
  const int32_t dataChain = Reference(*cursor, image, kBlobData);
  ASSERT_EQ(cursor->ReadCurrent(image.data(), true), 0);
  SetBlob(*cursor, image.data(), kBlobMemo, test::Chars("beta delta"));
  cursor->PostEdit(image.data());
  EXPECT_GT(Reference(*cursor, image, kBlobMemo), 0);  // the caller's image too
  EXPECT_EQ(Reference(*cursor, Current(*cursor), kBlobData), dataChain);
  EXPECT_EQ(words(), (TWords{{"BETA", 1}, {"DELTA", 1}, {"GAMMA", 2}}));
  EXPECT_EQ(ReadElsewhere("A", kBlobMemo), test::Chars("beta delta"));

  // A copy of A gets chains of its own with the same values.
  std::vector<uint8_t> copy(cursor->RecordSize());
  cursor->CopyCurrentToNew(copy.data());
  test::SetCode(*cursor, copy.data(), "C");
  cursor->PostInsert(copy.data());
  image = Current(*cursor);
  EXPECT_NE(Reference(*cursor, image, kBlobData), dataChain);
  EXPECT_EQ(ReadElsewhere("C", kBlobData), Pattern(200, 1));
  EXPECT_EQ(ReadElsewhere("C", kBlobMemo), test::Chars("beta delta"));
  // So does an image copied by hand, references and all.
  std::vector<uint8_t> byHand = image;
  test::SetCode(*cursor, byHand.data(), "D");
  cursor->PostInsert(byHand.data());
  EXPECT_NE(Reference(*cursor, Current(*cursor), kBlobData), Reference(*cursor, image, kBlobData));
  EXPECT_EQ(cursor->OpenBlobCount(), 0u);
  EXPECT_EQ(Problems(*cursor), "");

  // A cancelled edit leaves the record, the words and the file alone.
  const test::Bytes before = test::ReadBytes(cursor->Table().BlobFile().FileName());
  ASSERT_TRUE(Find(*cursor, "B"));
  image = Current(*cursor);
  const std::vector<uint8_t> shown = image;
  ASSERT_EQ(cursor->ReadCurrent(image.data(), true), 0);
  SetBlob(*cursor, image.data(), kBlobMemo, test::Chars("epsilon"));
  SetBlob(*cursor, image.data(), kBlobData, Pattern(300, 7));
  cursor->CancelEdit();
  EXPECT_EQ(cursor->OpenBlobCount(), 2u);
  cursor->DiscardNewBlobs(image.data());
  EXPECT_EQ(image, shown);
  EXPECT_EQ(cursor->OpenBlobCount(), 0u);
  EXPECT_EQ(test::ReadBytes(cursor->Table().BlobFile().FileName()), before);

  // A refused insert keeps its blobs open for the next try.
  std::vector<uint8_t> duplicate = NewImage(*cursor, "A");
  SetBlob(*cursor, duplicate.data(), kBlobData, Pattern(100, 8));
  EXPECT_EQ(test::ErrorCodeRaisedBy([&] { cursor->PostInsert(duplicate.data()); }), LEDRA_KEYVIOL);
  EXPECT_EQ(cursor->OpenBlobCount(), 1u);
  test::SetCode(*cursor, duplicate.data(), "E");
  cursor->PostInsert(duplicate.data());
  EXPECT_EQ(ReadElsewhere("E", kBlobData), Pattern(100, 8));

  // Deletes free every chain and the words; the free list takes them all.
  for (const char* code : {"A", "C", "B"}) {
    ASSERT_TRUE(Find(*cursor, code));
    cursor->DeleteCurrent(Current(*cursor).data());
    EXPECT_EQ(Problems(*cursor), "") << code;
  }
  EXPECT_EQ(words(), (TWords{{"BETA", 4}, {"DELTA", 4}}));
  EXPECT_EQ(Problems(*cursor), "");
}

}  // namespace
}  // namespace ledra
