#include "engine/cursor/DataCursor.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

#include "engine/errors/EngineError.h"
#include "engine/files/Bytes.h"
#include "engine/index/IndexChecker.h"
#include "tests/engine/cursor/CursorTestSupport.h"
#include "tests/support/ChildProcess.h"

namespace ledra {
namespace {

using test::CodeOf;
using test::CursorTest;
using test::ErrorCodeRaisedBy;
using test::LetterImage;

const std::vector<test::TLetter> kShuffled = {{"C", 3}, {"A", 1}, {"E", 5}, {"B", 2}, {"D", 4}};

class DataCursorTest : public CursorTest {};

TEST_F(DataCursorTest, WalksThePrimaryIndexBothWays) {
  test::CreateLetters(directory_, "Letters", kShuffled);
  auto cursor = OpenCursor("Letters");
  EXPECT_TRUE(cursor->Bof());
  EXPECT_EQ(cursor->GetRecordCount(), 5);
  std::vector<uint8_t> image(cursor->RecordSize());

  ASSERT_EQ(cursor->ReadNext(image.data()), 0);
  EXPECT_EQ(CodeOf(image), "A");
  EXPECT_EQ(cursor->CurrentRecordNo(), 2);
  EXPECT_EQ(cursor->GetSequenceNo(), 1);
  EXPECT_EQ(ReadAll(*cursor), (std::vector<std::string>{"B", "C", "D", "E"}));
  // Off the end: EOF, a zero-filled image, and the last record stays behind.
  image.assign(image.size(), 0xAA);
  EXPECT_EQ(cursor->ReadNext(image.data()), LEDRA_EOF);
  EXPECT_EQ(image, std::vector<uint8_t>(image.size(), 0));
  EXPECT_TRUE(cursor->Eof());
  EXPECT_EQ(cursor->ReadCurrent(nullptr), LEDRA_EOF);
  ASSERT_EQ(cursor->ReadPrior(image.data()), 0);
  EXPECT_EQ(CodeOf(image), "E");
  EXPECT_EQ(cursor->GetSequenceNo(), 5);
  ASSERT_EQ(cursor->ReadPrior(image.data()), 0);
  EXPECT_EQ(CodeOf(image), "D");

  cursor->MoveToSequence(0);
  EXPECT_TRUE(cursor->Bof());
  EXPECT_EQ(cursor->ReadCurrent(nullptr), LEDRA_BOF);
  cursor->MoveToSequence(6);
  EXPECT_TRUE(cursor->Eof());
  EXPECT_EQ(cursor->ReadPrior(image.data()), 0);
  EXPECT_EQ(CodeOf(image), "E");
  cursor->MoveToSequence(3);
  EXPECT_FALSE(cursor->Bof() || cursor->Eof());
  EXPECT_EQ(CodeOf(cursor->CurrentRecord()), "C");
  cursor->MoveToEnd();
  EXPECT_EQ(cursor->ReadPrior(image.data()), 0);
  EXPECT_EQ(CodeOf(image), "E");
  cursor->MoveToStart();
  EXPECT_EQ(cursor->ReadPrior(image.data()), LEDRA_BOF);

  // Every operation gives its read lock back.
  EXPECT_FALSE(cursor->Table().Lock().ReadLockHeld());
}

TEST_F(DataCursorTest, EmptyTableHasNoRecordAnywhere) {
  test::CreateLetters(directory_, "Empty", {});
  auto cursor = OpenCursor("Empty");
  std::vector<uint8_t> image(cursor->RecordSize(), 0x55);
  EXPECT_EQ(cursor->ReadNext(image.data()), LEDRA_EOF);
  EXPECT_EQ(image, std::vector<uint8_t>(image.size(), 0));
  EXPECT_EQ(cursor->ReadPrior(nullptr), LEDRA_BOF);
  EXPECT_EQ(cursor->ReadCurrent(nullptr), LEDRA_NOCURRREC);
  EXPECT_EQ(cursor->GetRecordCount(), 0);
  EXPECT_EQ(cursor->GetSequenceNo(), 0);
  EXPECT_TRUE(cursor->Bof() && cursor->Eof());
}

TEST_F(DataCursorTest, NaturalOrderSkipsFreeSlots) {
  {
    TOpenTableResult created =
        directory_.CreateTable("Plain", false, false, test::LettersDefinition(false));
    ASSERT_NE(created.Table, nullptr);
    for (const char* code : {"E", "D", "C", "B", "A"}) {
      test::InsertDirect(*created.Table, LetterImage(code, 0));
    }
    test::DeleteDirect(*created.Table, 3);
    directory_.CloseTable(*created.Table, false);
  }
  auto cursor = OpenCursor("Plain");
  EXPECT_TRUE(cursor->NaturalOrder());
  EXPECT_EQ(cursor->BookmarkSize(), 4);
  EXPECT_EQ(cursor->GetRecordCount(), 4);
  std::vector<int32_t> numbers, sequence;
  std::vector<uint8_t> image(cursor->RecordSize());
  while (cursor->ReadNext(image.data()) == 0) {
    numbers.push_back(cursor->CurrentRecordNo());
    sequence.push_back(cursor->GetSequenceNo());
  }
  EXPECT_EQ(numbers, (std::vector<int32_t>{1, 2, 4, 5}));
  EXPECT_EQ(sequence, (std::vector<int32_t>{1, 2, 3, 4}));

  cursor->MoveToSequence(3);
  EXPECT_EQ(cursor->CurrentRecordNo(), 4);
  EXPECT_EQ(CodeOf(cursor->CurrentRecord()), "B");
  cursor->MoveToSequence(5);
  EXPECT_TRUE(cursor->Eof());
  cursor->MoveToSequence(0);
  EXPECT_TRUE(cursor->Bof());

  // A bookmark of the free slot lands on the record after it.
  uint8_t bookmark[4];
  PutLE32(bookmark, 3);
  EXPECT_FALSE(cursor->GotoBookmark(bookmark, true));
  EXPECT_EQ(cursor->CurrentRecordNo(), 4);
  EXPECT_TRUE(cursor->GotoBookmark(bookmark, false));
  PutLE32(bookmark, 99);
  EXPECT_FALSE(cursor->GotoBookmark(bookmark, true));
  EXPECT_EQ(cursor->CurrentRecordNo(), 5);
}

TEST_F(DataCursorTest, BlockReadsAndReadAheadFollowTheOrder) {
  test::CreateLetters(directory_, "Letters", {{"A", 1}, {"B", 2}, {"C", 3}, {"E", 5}, {"D", 4}});
  auto cursor = OpenCursor("Letters");
  const size_t size = cursor->RecordSize();
  std::vector<uint8_t> images(5 * size);
  int32_t count = 3;
  EXPECT_EQ(cursor->ReadNextBlock(count, images.data()), 0);
  EXPECT_EQ(count, 3);
  EXPECT_EQ(CodeOf(&images[2 * size]), "C");
  count = 5;
  EXPECT_EQ(cursor->ReadNextBlock(count, images.data()), LEDRA_EOF);
  EXPECT_EQ(count, 2);
  EXPECT_EQ(CodeOf(&images[0]), "D");
  EXPECT_EQ(CodeOf(&images[size]), "E");

  // Records 1, 2, 3 follow each other in the index; D (5) and E (4) do not.
  cursor->MoveToStart();
  EXPECT_EQ(cursor->ReadAheadCount(8, kReadForward), 3);
  EXPECT_EQ(cursor->ReadAheadCount(2, kReadForward), 2);
  EXPECT_EQ(cursor->ReadAheadCount(8, kReadBackward), 1);
  cursor->MoveToSequence(4);  // D, record 5
  EXPECT_EQ(cursor->ReadAheadCount(8, kReadForward), 1);
  // Natural order counts the visible slots that follow.
  cursor->SetIndexNo(TDataCursor::kNaturalOrder);
  EXPECT_EQ(cursor->ReadAheadCount(8, kReadBackward), 5);
  const int hideC = cursor->AddFilter([](const uint8_t* image) { return image[10] != 'C'; });
  EXPECT_EQ(cursor->ReadAheadCount(8, kReadBackward), 2);
  cursor->RemoveFilter(hideC);
}

TEST_F(DataCursorTest, BookmarksRoundTripInBothOrders) {
  test::CreateLetters(directory_, "Letters", kShuffled);
  auto cursor = OpenCursor("Letters");
  std::vector<uint8_t> image(cursor->RecordSize());
  for (int order : {0, TDataCursor::kNaturalOrder}) {
    SCOPED_TRACE(order);
    cursor->SetIndexNo(order);
    cursor->MoveToStart();
    ASSERT_EQ(cursor->ReadNext(nullptr), 0);
    std::vector<uint8_t> first(cursor->BookmarkSize());
    cursor->GetBookmark(first.data());
    ASSERT_EQ(cursor->ReadNext(nullptr), 0);
    ASSERT_EQ(cursor->ReadNext(nullptr), 0);
    const std::string third = CodeOf(cursor->CurrentRecord());
    std::vector<uint8_t> mark(cursor->BookmarkSize());
    cursor->GetBookmark(mark.data());
    EXPECT_EQ(cursor->CompareBookmarks(first.data(), mark.data()), -1);
    EXPECT_EQ(cursor->CompareBookmarks(mark.data(), first.data()), 1);
    EXPECT_EQ(cursor->CompareBookmarks(mark.data(), mark.data()), 0);

    cursor->MoveToEnd();
    EXPECT_TRUE(cursor->GotoBookmark(mark.data(), true));
    ASSERT_EQ(cursor->ReadCurrent(image.data()), 0);
    EXPECT_EQ(CodeOf(image), third);
    ASSERT_EQ(cursor->ReadNext(image.data()), 0);
    EXPECT_NE(CodeOf(image), third);
  }
  // In key order the bookmark is the entry's key: A, then C in the primary
  // index; record numbers 1 and 3 in natural order.
  cursor->SetIndexNo(0);
  cursor->MoveToSequence(3);
  std::vector<uint8_t> key(cursor->BookmarkSize());
  cursor->GetBookmark(key.data());
  EXPECT_EQ(key.size(), 12u);
  EXPECT_EQ(key[0], 1);
  EXPECT_EQ(key[1], 'C');
}

TEST_F(DataCursorTest, ChangingTheOrderKeepsTheCurrentRecord) {
  test::CreateLetters(directory_, "Letters",
                      {{"C", 30}, {"A", 50}, {"E", 10}, {"B", 40}, {"D", 20}});
  auto cursor = OpenCursor("Letters");
  EXPECT_EQ(cursor->IndexCount(), 2);
  cursor->MoveToSequence(3);  // C
  cursor->SetIndexName("bynum");
  EXPECT_EQ(cursor->IndexNo(), 1);
  EXPECT_EQ(cursor->IndexName(), "ByNum");
  EXPECT_EQ(CodeOf(cursor->CurrentRecord()), "C");
  EXPECT_EQ(cursor->GetSequenceNo(), 3);
  EXPECT_EQ(ReadAll(*cursor), (std::vector<std::string>{"B", "A"}));

  cursor->MoveToSequence(2);  // D
  cursor->SetIndexName("CODEDOWN");
  EXPECT_EQ(CodeOf(cursor->CurrentRecord()), "D");
  EXPECT_EQ(ReadAll(*cursor), (std::vector<std::string>{"C", "B", "A"}));

  cursor->MoveToSequence(4);  // B
  cursor->SetIndexNo(TDataCursor::kNaturalOrder);
  EXPECT_EQ(CodeOf(cursor->CurrentRecord()), "B");
  EXPECT_EQ(cursor->GetSequenceNo(), 4);
  EXPECT_EQ(ReadAll(*cursor), (std::vector<std::string>{"D"}));

  cursor->SetIndexName("");
  EXPECT_EQ(cursor->IndexNo(), 0);
  EXPECT_EQ(ErrorCodeRaisedBy([&] { cursor->SetIndexName("Nope"); }), LEDRA_INVALIDINDEXNAME);
  EXPECT_EQ(ErrorCodeRaisedBy([&] { cursor->SetIndexNo(3); }), LEDRA_INVALIDINDEXNAME);
  EXPECT_EQ(cursor->IndexNo(), 0);
}

TEST_F(DataCursorTest, OptionsAreFixedWhileOpenAndFieldsForwarded) {
  test::CreateLetters(directory_, "Letters", kShuffled);
  auto cursor = OpenCursor("Letters");
  EXPECT_EQ(ErrorCodeRaisedBy([&] { cursor->SetTableName("Other"); }), LEDRA_TABLEOPEN);
  EXPECT_EQ(ErrorCodeRaisedBy([&] { cursor->SetExclusive(true); }), LEDRA_TABLEOPEN);
  EXPECT_EQ(ErrorCodeRaisedBy([&] { cursor->SetReadOnly(true); }), LEDRA_TABLEOPEN);
  EXPECT_EQ(ErrorCodeRaisedBy([&] { cursor->SetInMemory(true); }), LEDRA_TABLEOPEN);

  EXPECT_EQ(cursor->FieldCount(), 3);
  EXPECT_EQ(cursor->RecordSize(), test::kLettersRecordSize);
  EXPECT_EQ(cursor->FindFieldDesc("num").Offset, 21);
  EXPECT_EQ(ErrorCodeRaisedBy([&] { cursor->GetFieldDesc(4); }), LEDRA_OUTOFRANGE);
  ASSERT_EQ(cursor->ReadNext(nullptr), 0);
  bool isNull = true;
  uint8_t value[4];
  cursor->GetFieldValue(3, cursor->CurrentRecord(), isNull, value);
  EXPECT_FALSE(isNull);
  EXPECT_EQ(GetLE32(value), 2u);  // A was the second record inserted

  TDataTable& table = cursor->Table();
  cursor->Close();
  EXPECT_FALSE(cursor->IsOpen());
  EXPECT_EQ(directory_.FindTable("Letters", false), nullptr);
  EXPECT_EQ(ErrorCodeRaisedBy([&] { cursor->ReadNext(nullptr); }), LEDRA_NOTINITIALIZED);
  (void)table;
  cursor->SetTableName("Missing");
  EXPECT_EQ(ErrorCodeRaisedBy([&] { cursor->Open(); }), LEDRA_OSENOENT);
  EXPECT_FALSE(cursor->IsOpen());
}

TEST_F(DataCursorTest, FiltersNarrowBothOrders) {
  test::CreateLetters(directory_, "Letters", kShuffled);
  auto cursor = OpenCursor("Letters");
  cursor->MoveToSequence(4);  // D
  const int odd =
      cursor->AddFilter([](const uint8_t* image) { return GetLE32(image + 22) % 2 == 1; });
  // D is hidden now: the cursor moves on to the next visible record.
  EXPECT_EQ(CodeOf(cursor->CurrentRecord()), "E");
  EXPECT_EQ(cursor->GetRecordCount(), 3);
  cursor->MoveToStart();
  EXPECT_EQ(ReadAll(*cursor), (std::vector<std::string>{"A", "C", "E"}));
  cursor->MoveToSequence(2);
  EXPECT_EQ(CodeOf(cursor->CurrentRecord()), "C");

  cursor->SetIndexNo(TDataCursor::kNaturalOrder);
  EXPECT_EQ(cursor->GetRecordCount(), 3);
  cursor->MoveToStart();
  EXPECT_EQ(ReadAll(*cursor), (std::vector<std::string>{"C", "A", "E"}));

  cursor->RemoveFilter(odd);
  EXPECT_EQ(cursor->GetRecordCount(), 5);
}

TEST_F(DataCursorTest, FailingOperationGivesItsReadLockBack) {
  test::CreateLetters(directory_, "Letters", kShuffled);
  session_.SetStrictChangeDetection(true);
  auto cursor = OpenCursor("Letters");
  cursor->MoveToSequence(2);  // B
  EXPECT_THROW(cursor->AddFilter([](const uint8_t*) -> bool { throw std::runtime_error("no"); }),
               std::runtime_error);
  EXPECT_FALSE(cursor->Table().Lock().ReadLockHeld());
  EXPECT_FALSE(cursor->FiltersActive());
  EXPECT_EQ(cursor->GetRecordCount(), 5);
  EXPECT_EQ(cursor->ReadNext(nullptr), 0);
  EXPECT_EQ(CodeOf(cursor->CurrentRecord()), "C");
  EXPECT_FALSE(cursor->Table().Lock().ReadLockHeld());
}

// A table whose index file is lost is opened with a fresh one: the
// deleted-records index and the live count are rebuilt from the slots, and
// the table is read in natural order.
TEST_F(DataCursorTest, LostIndexFileIsRebuiltAtOpen) {
  {
    TOpenTableResult created =
        directory_.CreateTable("Letters", false, false, test::LettersDefinition());
    ASSERT_NE(created.Table, nullptr);
    for (const test::TLetter& letter : kShuffled) {
      test::InsertDirect(*created.Table, LetterImage(letter.code, letter.num));
    }
    test::DeleteDirect(*created.Table, 2);  // A
    directory_.CloseTable(*created.Table, false);
  }
  std::filesystem::remove(dir_.File("Letters.IDX"));

  auto cursor = OpenCursor("Letters");
  TDataTable& table = cursor->Table();
  EXPECT_TRUE(table.IndexRecreated());
  EXPECT_TRUE(cursor->NaturalOrder());
  EXPECT_EQ(table.IndexFile().LiveRecordCount(), 4);
  EXPECT_EQ(cursor->GetRecordCount(), 4);
  EXPECT_EQ(ReadAll(*cursor), (std::vector<std::string>{"C", "E", "B", "D"}));

  // One entry per slot, the free one last, and a sound tree.
  TCursorIndex deleted = test::IndexOf(table, kDeletedSlot);
  EXPECT_EQ(deleted.Tree().EntryCount(), 5);
  TIndexPosition last;
  ASSERT_TRUE(deleted.Tree().LastEntry(last));
  EXPECT_EQ(last.RecordNo, 2);
  EXPECT_EQ(last.Key[0], 1);
  TIndexChecker checker(table.IndexFile());
  EXPECT_TRUE(checker.CheckSlot(kDeletedSlot).empty());

  // The shared table was written at once: live count and "no primary index"
  // are in the file's header.
  const std::vector<uint8_t> header = test::FileBytes(dir_.File("Letters.IDX"));
  ASSERT_GE(header.size(), 4096u);
  EXPECT_EQ(GetLE32(&header[3974]), 4u);
  EXPECT_EQ(header[3978], 1);

  // A second cursor of the session does not build it again.
  auto second = OpenCursor("Letters");
  EXPECT_EQ(deleted.Tree().EntryCount(), 5);
  EXPECT_EQ(second->GetRecordCount(), 4);
}

TEST_F(DataCursorTest, CloneStandsWhereTheOriginalStands) {
  test::CreateLetters(directory_, "Letters", kShuffled);
  auto cursor = OpenCursor("Letters");
  const std::vector<uint8_t> low = LetterImage("B", 0);
  const std::vector<uint8_t> high = LetterImage("D", 0);
  cursor->SetKeyRange(false, low.data(), 1, high.data(), 1);
  cursor->MoveToSequence(2);  // C

  std::unique_ptr<TDataCursor> clone = cursor->Clone();
  EXPECT_EQ(cursor->Table().OpenCount(), 2);
  EXPECT_EQ(&clone->Table(), &cursor->Table());
  EXPECT_TRUE(clone->RangeActive());
  EXPECT_EQ(clone->GetRecordCount(), 3);
  EXPECT_EQ(CodeOf(clone->CurrentRecord()), "C");
  EXPECT_EQ(ReadAll(*clone), (std::vector<std::string>{"D"}));

  // The clone follows the original again.
  ASSERT_EQ(cursor->ReadPrior(nullptr), 0);  // B
  EXPECT_EQ(clone->SyncToCursor(*cursor), 0);
  EXPECT_EQ(CodeOf(clone->CurrentRecord()), "B");

  // A record beyond the clone's range is not found; the clone stands on the
  // range's end nearest to it.
  auto other = OpenCursor("Letters");
  other->MoveToSequence(5);  // E
  EXPECT_EQ(clone->SyncToCursor(*other), LEDRA_RECNOTFOUND);
  EXPECT_EQ(CodeOf(clone->CurrentRecord()), "D");
  // In natural order by record number.
  other->SetIndexNo(TDataCursor::kNaturalOrder);
  EXPECT_EQ(other->CurrentRecordNo(), 3);  // still E
  EXPECT_EQ(other->SyncToCursor(*clone), 0);
  EXPECT_EQ(other->CurrentRecordNo(), 5);
  EXPECT_EQ(CodeOf(other->CurrentRecord()), "D");

  clone.reset();
  EXPECT_EQ(cursor->Table().OpenCount(), 2);  // `other` still holds it
}

TEST_F(DataCursorTest, ExclusiveCursorIsClonedAndNoticesTheClonesChanges) {
  test::CreateLetters(directory_, "Letters", kShuffled);
  auto cursor = OpenCursor("Letters", /*exclusive=*/true);
  std::unique_ptr<TDataCursor> clone = cursor->Clone();
  EXPECT_TRUE(clone->Table().Exclusive());
  EXPECT_EQ(cursor->GetRecordCount(), 5);
  // A write through the table, as the clone's update path makes it.
  TDataTable& table = cursor->Table();
  test::DeleteDirect(table, 2);  // A
  table.MarkChanged({.Data = true, .Index = true});
  EXPECT_EQ(cursor->GetRecordCount(), 4);
  cursor->MoveToStart();
  EXPECT_EQ(ReadAll(*cursor), (std::vector<std::string>{"B", "C", "D", "E"}));
}

// Another program deletes the record the cursor stands on; the next step
// goes on from where the record was.
TEST_F(DataCursorTest, RecordDeletedByAnotherProcessIsSteppedOver) {
  if (!test::IsChildProcess()) test::CreateLetters(directory_, "Letters", kShuffled);
  const std::string path = dir_.Path().string();
  test::TChildProcess child([&](test::TChildProcess& self) {
    if (self.Receive() != 1u) return;
    TDataSession session;
    TDataDirectory& directory = session.OpenDirectory("Cursors", path);
    TOpenTableResult opened = directory.OpenTable("Letters", false, false, false);
    TDataTable& table = *opened.Table;
    test::WriteShared(table, [&] { test::DeleteDirect(table, 1); });  // C
    directory.CloseTable(table, false);
    self.Send(2);
  });
  ASSERT_TRUE(child.Started());

  session_.SetStrictChangeDetection(true);
  auto cursor = OpenCursor("Letters");
  auto prior = OpenCursor("Letters");
  cursor->MoveToSequence(3);  // C
  prior->MoveToSequence(3);
  ASSERT_EQ(CodeOf(cursor->CurrentRecord()), "C");
  child.Send(1);
  ASSERT_EQ(child.Receive(), 2u);

  std::vector<uint8_t> image(cursor->RecordSize());
  ASSERT_EQ(cursor->ReadNext(image.data()), 0);
  EXPECT_EQ(CodeOf(image), "D");
  EXPECT_EQ(cursor->GetSequenceNo(), 3);
  EXPECT_EQ(cursor->GetRecordCount(), 4);
  ASSERT_EQ(prior->ReadPrior(image.data()), 0);
  EXPECT_EQ(CodeOf(image), "B");
  EXPECT_FALSE(cursor->Table().Lock().ReadLockHeld());
}

// Without strict checks the change is found by the first read from disk,
// which restarts the step on the refreshed tree.
TEST_F(DataCursorTest, ChangeFoundByAFetchRestartsTheStep) {
  test::CreateLetters(directory_, "Letters", kShuffled);
  auto cursor = OpenCursor("Letters");
  cursor->MoveToSequence(3);  // C
  DeleteElsewhere(*cursor, 1);
  std::vector<uint8_t> image(cursor->RecordSize());
  ASSERT_EQ(cursor->ReadNext(image.data()), 0);
  EXPECT_EQ(CodeOf(image), "D");
  EXPECT_EQ(cursor->GetRecordCount(), 4);
  EXPECT_EQ(cursor->GetSequenceNo(), 3);
  // The fetch's read lock was given back at the end of the operation.
  EXPECT_FALSE(cursor->Table().Lock().ReadLockHeld());

  cursor->Resync();
  EXPECT_EQ(CodeOf(cursor->CurrentRecord()), "D");
}

}  // namespace
}  // namespace ledra
