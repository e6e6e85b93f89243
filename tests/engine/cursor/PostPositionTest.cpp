// Where a cursor stands after its own post, when another process changes the
// table around the record between finding it, starting the edit and posting
// it. A post that leaves the key of the cursor's order as it was keeps the
// cursor on its entry; one that changes that key stands on the record anew.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "engine/cursor/DataCursor.h"
#include "engine/files/Bytes.h"
#include "tests/engine/cursor/CommandedWriter.h"
#include "tests/engine/cursor/CursorTestSupport.h"

namespace ledra {
namespace {

using test::CodeOf;
using test::LetterImage;

constexpr int kNumField = 2;

std::string Code(int n) {
  char text[8];
  std::snprintf(text, sizeof text, "K%04d", n);
  return text;
}

int32_t NumOf(const uint8_t* image) {
  return int32_t(GetLE32(image + 22));
}

// What the other process changes on the test's command, each change under
// the write lock and written before it goes: 1 inserts the odd codes
// K0301..K0599 (enough to split the leaves around K0300), 2 deletes the
// records of K0298 and K0302, 3 inserts K0001 before every other code.
void ChangeLetters(TDataTable& table, uint32_t command) {
  test::WriteShared(table, [&] {
    if (command == 1) {
      for (int n = 301; n < 600; n += 2) test::InsertDirect(table, LetterImage(Code(n), 7000 + n));
    } else if (command == 2) {
      // Records 150 and 152 hold K0298 and K0302.
      test::DeleteDirect(table, 150);
      test::DeleteDirect(table, 152);
    } else if (command == 3) {
      test::InsertDirect(table, LetterImage(Code(1), 1));
    }
  });
}

class PostPositionTest : public test::CursorTest {
 protected:
  // Codes K0000, K0002, ..., K0598 (record n holds K(2n-2)), Num = the
  // number of the code. The test's own process makes the table; the other
  // process finds it.
  void CreateEvenCodes() {
    if (test::IsChildProcess()) return;
    std::vector<test::TLetter> letters;
    for (int n = 0; n < 600; n += 2) letters.push_back({Code(n), n});
    test::CreateLetters(directory_, "Letters", letters);
  }

  static bool FindCode(TDataCursor& cursor, const std::string& code) {
    const std::vector<uint8_t> image = LetterImage(code, 0);
    std::vector<uint8_t> key(kMaxStoredKeyLength, 0);
    cursor.BuildKey(image.data(), key.data());
    return cursor.FindByKey(true, key.data(), nullptr, 0, false, 0);
  }

  // Sets Num of the edited image.
  static void SetNum(TDataCursor& cursor, std::vector<uint8_t>& image, int32_t num) {
    uint8_t value[4];
    PutLE32(value, uint32_t(num));
    cursor.SetFieldValue(kNumField, image.data(), value, false, false);
  }

  // Starts an edit of the current record from the image the cursor shows.
  static std::vector<uint8_t> StartEdit(TDataCursor& cursor) {
    std::vector<uint8_t> image(cursor.CurrentRecord(),
                               cursor.CurrentRecord() + cursor.RecordSize());
    EXPECT_EQ(cursor.ReadCurrent(image.data(), true), 0);
    return image;
  }

  // The code one step away in the cursor's order, the cursor put back.
  static std::string Neighbour(TDataCursor& cursor, bool forward) {
    std::vector<uint8_t> image(cursor.RecordSize());
    const uint16_t result =
        forward ? cursor.ReadNext(image.data()) : cursor.ReadPrior(image.data());
    // From the end of the view the step back is the record it left.
    std::vector<uint8_t> back(cursor.RecordSize());
    forward ? cursor.ReadPrior(back.data()) : cursor.ReadNext(back.data());
    return result == 0 ? CodeOf(image) : "<end>";
  }
};

// Between FindByKey and the start of the edit another process adds records
// around the one found (splitting its leaf); between the start and the post
// it deletes the neighbours. The post changes no key of the primary order:
// the cursor stays on the record, and its steps and sequence number are
// those of the table as the other process left it.
TEST_F(PostPositionTest, KeptPositionSeesOtherProcessesChangesAroundTheRecord) {
  CreateEvenCodes();
  test::TCommandedWriter other(dir_.Path().string(), "Letters", ChangeLetters);
  ASSERT_TRUE(other.Started());
  auto cursor = OpenCursor("Letters");
  auto watcher = OpenCursor("Letters");

  ASSERT_TRUE(FindCode(*cursor, Code(300)));
  EXPECT_EQ(cursor->GetSequenceNo(), 151);
  other.Run(1);
  std::vector<uint8_t> image = StartEdit(*cursor);
  EXPECT_EQ(CodeOf(image), Code(300));
  other.Run(2);
  SetNum(*cursor, image, 4242);
  cursor->PostEdit(image.data());

  EXPECT_EQ(CodeOf(cursor->CurrentRecord()), Code(300));
  EXPECT_EQ(NumOf(cursor->CurrentRecord()), 4242);
  EXPECT_EQ(cursor->CurrentRecordNo(), 151);
  // K0000..K0296 (149), then K0300 (K0298 is gone), and 150 odd codes
  // above: K0300 is 150th of 448.
  EXPECT_EQ(cursor->GetSequenceNo(), 150);
  EXPECT_EQ(cursor->GetRecordCount(), 448);
  EXPECT_EQ(Neighbour(*cursor, true), Code(301));
  EXPECT_EQ(Neighbour(*cursor, false), Code(296));
  std::vector<uint8_t> next(cursor->RecordSize());
  ASSERT_EQ(cursor->ReadNext(next.data()), 0);
  EXPECT_EQ(CodeOf(next), Code(301));
  ASSERT_EQ(cursor->ReadNext(next.data()), 0);
  EXPECT_EQ(CodeOf(next), Code(303));  // K0302 is gone

  // Another cursor of this process sees the written value.
  ASSERT_TRUE(FindCode(*watcher, Code(300)));
  EXPECT_EQ(NumOf(watcher->CurrentRecord()), 4242);
  EXPECT_EQ(test::TableFindings(cursor->Table()), "");
}

// The same in the order of the non-unique ByNum index: an edit of Code
// keeps the ByNum entry (the key holds Num and the row id), an edit of Num
// moves the record to its new place in that order.
TEST_F(PostPositionTest, SecondaryOrderKeepsOrMovesByItsOwnKey) {
  CreateEvenCodes();
  test::TCommandedWriter other(dir_.Path().string(), "Letters", ChangeLetters);
  ASSERT_TRUE(other.Started());
  auto cursor = OpenCursor("Letters");
  cursor->SetIndexName("ByNum");
  cursor->MoveToSequence(151);  // Num 300
  ASSERT_EQ(NumOf(cursor->CurrentRecord()), 300);

  // A new first record, added after the edit began: the kept entry counts
  // one more before it.
  std::vector<uint8_t> image = StartEdit(*cursor);
  other.Run(3);
  std::string renamed = "Z300";
  renamed.resize(11, '\0');
  cursor->SetFieldValue(1, image.data(), reinterpret_cast<const uint8_t*>(renamed.data()), false,
                        false);
  cursor->PostEdit(image.data());
  EXPECT_EQ(CodeOf(cursor->CurrentRecord()), "Z300");
  EXPECT_EQ(NumOf(cursor->CurrentRecord()), 300);
  EXPECT_EQ(cursor->GetSequenceNo(), 152);
  EXPECT_EQ(Neighbour(*cursor, true), Code(302));
  EXPECT_EQ(Neighbour(*cursor, false), Code(298));

  // Num changes: the record leaves for the end of the order.
  image = StartEdit(*cursor);
  SetNum(*cursor, image, 9999);
  cursor->PostEdit(image.data());
  EXPECT_EQ(CodeOf(cursor->CurrentRecord()), "Z300");
  EXPECT_EQ(cursor->GetSequenceNo(), 301);
  EXPECT_EQ(Neighbour(*cursor, true), "<end>");
  EXPECT_EQ(Neighbour(*cursor, false), Code(598));

  // In primary order the code change above moved it to the end as well.
  cursor->SetIndexNo(0);
  EXPECT_EQ(CodeOf(cursor->CurrentRecord()), "Z300");
  EXPECT_EQ(cursor->GetSequenceNo(), 301);
  EXPECT_EQ(test::TableFindings(cursor->Table()), "");
}

// A post the cursor's filter no longer accepts leaves the view: the cursor
// goes on to the following record, in natural order as in an index order;
// one the filter accepts stays where it is.
TEST_F(PostPositionTest, FilteredOutPostMovesOnInEveryOrder) {
  CreateEvenCodes();
  auto cursor = OpenCursor("Letters");
  cursor->AddFilter([](const uint8_t* image) { return NumOf(image) < 5000; });
  // Natural order first: record 10 (K0018), which leaves the view; then
  // the primary order, where the 10th visible record is K0020.
  const std::vector<std::pair<int, std::string>> cases = {{TDataCursor::kNaturalOrder, Code(18)},
                                                          {0, Code(20)}};
  for (const auto& [order, code] : cases) {
    SCOPED_TRACE(order);
    cursor->SetIndexNo(order);
    cursor->MoveToSequence(10);
    ASSERT_EQ(CodeOf(cursor->CurrentRecord()), code);
    const int32_t sequence = cursor->GetSequenceNo();

    std::vector<uint8_t> image = StartEdit(*cursor);
    SetNum(*cursor, image, 4000);
    cursor->PostEdit(image.data());
    EXPECT_EQ(CodeOf(cursor->CurrentRecord()), code);
    EXPECT_EQ(NumOf(cursor->CurrentRecord()), 4000);
    EXPECT_EQ(cursor->GetSequenceNo(), sequence);

    image = StartEdit(*cursor);
    SetNum(*cursor, image, 6000);
    cursor->PostEdit(image.data());
    EXPECT_EQ(CodeOf(cursor->CurrentRecord()), order == 0 ? Code(22) : Code(20));
    EXPECT_EQ(Neighbour(*cursor, false), Code(16));
  }
  EXPECT_EQ(test::TableFindings(cursor->Table()), "");
}

}  // namespace
}  // namespace ledra
