#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/cursor/DataCursor.h"
#include "engine/errors/EngineError.h"
#include "tests/engine/cursor/CursorTestSupport.h"

namespace ledra {
namespace {

using test::CodeOf;
using test::LetterImage;

const std::vector<test::TLetter> kFive = {{"C", 3}, {"A", 1}, {"E", 5}, {"B", 2}, {"D", 4}};

class CursorSeekTest : public test::CursorTest {
 protected:
  // FindKey of the component layer on a one-field key.
  static bool Find(TDataCursor& cursor, std::string_view code, int32_t num = 0,
                   bool nearest = false) {
    const std::vector<uint8_t> image = LetterImage(code, num);
    return cursor.FindByKey(false, image.data(), nullptr, 0, nearest, 1);
  }
  static std::string Current(TDataCursor& cursor) {
    std::vector<uint8_t> image(cursor.RecordSize());
    return cursor.ReadCurrent(image.data()) == 0 ? CodeOf(image) : std::string("-");
  }
  static void Range(TDataCursor& cursor, const char* low, const char* high) {
    const std::vector<uint8_t> lowImage = LetterImage(low ? low : "", 0);
    const std::vector<uint8_t> highImage = LetterImage(high ? high : "", 0);
    cursor.SetKeyRange(false, low ? lowImage.data() : nullptr, 1, high ? highImage.data() : nullptr,
                       1);
  }
};

TEST_F(CursorSeekTest, FindKeyOnAUniqueIndex) {
  test::CreateLetters(directory_, "Letters", kFive);
  auto cursor = OpenCursor("Letters");
  cursor->MoveToSequence(2);  // B

  std::vector<uint8_t> out(cursor->RecordSize());
  const std::vector<uint8_t> d = LetterImage("D", 0);
  EXPECT_TRUE(cursor->FindByKey(false, d.data(), out.data(), 0, false, 1));
  EXPECT_EQ(CodeOf(out), "D");
  EXPECT_EQ(cursor->GetSequenceNo(), 4);

  // Absent: the cursor stays where it was.
  EXPECT_FALSE(Find(*cursor, "CC"));
  EXPECT_EQ(Current(*cursor), "D");
  EXPECT_FALSE(Find(*cursor, "Z"));
  EXPECT_EQ(Current(*cursor), "D");

  // A key built by the caller: null byte, then the characters.
  uint8_t key[12] = {1, 'B'};
  EXPECT_TRUE(cursor->FindByKey(true, key, nullptr, 0, false, 0));
  EXPECT_EQ(Current(*cursor), "B");

  // From after the end an unsuccessful search still leaves a record current.
  cursor->MoveToEnd();
  EXPECT_FALSE(Find(*cursor, "BB"));
  EXPECT_FALSE(cursor->Eof());
  EXPECT_EQ(Current(*cursor), "E");
}

TEST_F(CursorSeekTest, NearestSearchesAboveAndBelowEveryKey) {
  test::CreateLetters(directory_, "Letters", kFive);
  auto cursor = OpenCursor("Letters");
  EXPECT_FALSE(Find(*cursor, "Z", 0, true));
  EXPECT_EQ(Current(*cursor), "E");
  EXPECT_FALSE(cursor->Eof());
  EXPECT_FALSE(Find(*cursor, "0", 0, true));
  EXPECT_EQ(Current(*cursor), "A");
  EXPECT_FALSE(cursor->Bof());
  EXPECT_FALSE(Find(*cursor, "BB", 0, true));
  EXPECT_EQ(Current(*cursor), "C");
  EXPECT_TRUE(Find(*cursor, "D", 0, true));
  EXPECT_EQ(Current(*cursor), "D");

  // SeekKey keeps BOF only while the entry is still the first one.
  cursor->MoveToStart();
  std::vector<uint8_t> key(cursor->KeyLength());
  const std::vector<uint8_t> a = LetterImage("A", 0);
  cursor->BuildKey(a.data(), key.data());
  EXPECT_TRUE(cursor->SeekKey(key.data(), false, true));
  EXPECT_TRUE(cursor->Bof());
  const std::vector<uint8_t> c = LetterImage("C", 0);
  cursor->BuildKey(c.data(), key.data());
  EXPECT_TRUE(cursor->SeekKey(key.data(), false, true));
  EXPECT_FALSE(cursor->Bof());
}

TEST_F(CursorSeekTest, NonUniqueSearchLandsOnTheLowestRowId) {
  // Row ids follow the order of insertion: E has 1, A 2, B 4.
  test::CreateLetters(directory_, "Letters", {{"E", 2}, {"A", 2}, {"C", 1}, {"B", 2}, {"D", 3}});
  auto cursor = OpenCursor("Letters");
  cursor->SetIndexName("ByNum");
  EXPECT_TRUE(Find(*cursor, "", 2));
  EXPECT_EQ(Current(*cursor), "E");
  EXPECT_EQ(ReadAll(*cursor), (std::vector<std::string>{"A", "B", "D"}));

  // A search by field values is always a partial one: not found, it stands
  // on the first entry above, or the last.
  EXPECT_FALSE(Find(*cursor, "", 0));
  EXPECT_EQ(Current(*cursor), "C");
  EXPECT_FALSE(Find(*cursor, "", 9));
  EXPECT_EQ(Current(*cursor), "D");
  EXPECT_FALSE(cursor->Eof());

  // A range over one value holds all its records, in row-id order.
  const std::vector<uint8_t> two = LetterImage("", 2);
  cursor->SetKeyRange(false, two.data(), 1, two.data(), 1);
  EXPECT_EQ(cursor->GetRecordCount(), 3);
  cursor->MoveToStart();
  EXPECT_EQ(ReadAll(*cursor), (std::vector<std::string>{"E", "A", "B"}));
}

TEST_F(CursorSeekTest, PartialTextSearch) {
  test::CreateLetters(directory_, "Fruit",
                      {{"BANANA", 1}, {"APRICOT", 2}, {"AVOCADO", 3}, {"APPLE", 4}});
  auto cursor = OpenCursor("Fruit");
  auto search = [&](const char* text) {
    const std::vector<uint8_t> image = LetterImage(text, 0);
    return cursor->FindByKey(false, image.data(), nullptr, int(std::string(text).size()), true, 0);
  };
  EXPECT_TRUE(search("AP"));
  EXPECT_EQ(Current(*cursor), "APPLE");
  EXPECT_TRUE(search("APR"));
  EXPECT_EQ(Current(*cursor), "APRICOT");
  EXPECT_FALSE(search("AZ"));
  EXPECT_EQ(Current(*cursor), "BANANA");
}

TEST_F(CursorSeekTest, RangeBetweenTwoKeys) {
  test::CreateLetters(directory_, "Letters", kFive);
  auto cursor = OpenCursor("Letters");
  cursor->MoveToSequence(3);  // C
  Range(*cursor, "B", "D");
  EXPECT_EQ(cursor->RangeFirst(), 2);
  EXPECT_EQ(cursor->RangeLast(), 4);
  EXPECT_EQ(cursor->GetRecordCount(), 3);
  EXPECT_EQ(Current(*cursor), "C");  // still inside: it stays current
  EXPECT_EQ(cursor->GetSequenceNo(), 2);
  cursor->MoveToStart();
  EXPECT_EQ(ReadAll(*cursor), (std::vector<std::string>{"B", "C", "D"}));
  cursor->MoveToSequence(4);
  EXPECT_TRUE(cursor->Eof());
  EXPECT_EQ(cursor->ReadPrior(nullptr), 0);
  EXPECT_EQ(Current(*cursor), "D");
  // Searches stay inside the range.
  EXPECT_FALSE(Find(*cursor, "E", 0, true));
  EXPECT_EQ(Current(*cursor), "D");
  EXPECT_FALSE(Find(*cursor, "A", 0, true));
  EXPECT_EQ(Current(*cursor), "B");

  // A low bound above the high bound holds nothing.
  Range(*cursor, "D", "B");
  EXPECT_EQ(cursor->RangeFirst(), 0);
  EXPECT_EQ(cursor->RangeLast(), 0);
  EXPECT_EQ(cursor->GetRecordCount(), 0);
  EXPECT_EQ(cursor->ReadNext(nullptr), LEDRA_EOF);
  EXPECT_EQ(cursor->ReadCurrent(nullptr), LEDRA_NOCURRREC);

  // A bound left out leaves that end open.
  Range(*cursor, "C", nullptr);
  EXPECT_EQ(cursor->GetRecordCount(), 3);
  EXPECT_EQ(ReadAll(*cursor), (std::vector<std::string>{"C", "D", "E"}));
  Range(*cursor, nullptr, "B");
  cursor->MoveToStart();
  EXPECT_EQ(ReadAll(*cursor), (std::vector<std::string>{"A", "B"}));

  cursor->ClearKeyRange();
  EXPECT_FALSE(cursor->RangeActive());
  EXPECT_EQ(cursor->GetRecordCount(), 5);
  EXPECT_EQ(Current(*cursor), "B");
}

// The range's sequence numbers are older than a change that a step finds on
// its way down the tree: the step starts over with new ones.
TEST_F(CursorSeekTest, RangeFollowsAChangeFoundWhileMoving) {
  test::CreateLetters(directory_, "Letters", kFive);
  auto cursor = OpenCursor("Letters");
  Range(*cursor, "B", "E");
  EXPECT_EQ(cursor->RangeFirst(), 2);
  DeleteElsewhere(*cursor, 2);  // A
  cursor->MoveToSequence(1);
  EXPECT_EQ(Current(*cursor), "B");
  EXPECT_EQ(cursor->RangeFirst(), 1);
  EXPECT_EQ(cursor->RangeLast(), 4);
  EXPECT_EQ(cursor->GetRecordCount(), 4);
}

TEST_F(CursorSeekTest, DescendingRangeRunsFromTheLargerKey) {
  test::CreateLetters(directory_, "Letters", kFive);
  auto cursor = OpenCursor("Letters");
  cursor->SetIndexName("CodeDown");
  cursor->MoveToSequence(1);  // E
  Range(*cursor, "D", "B");
  EXPECT_EQ(cursor->RangeFirst(), 2);
  EXPECT_EQ(cursor->RangeLast(), 4);
  EXPECT_EQ(cursor->GetRecordCount(), 3);
  EXPECT_EQ(Current(*cursor), "D");  // E lies before the range
  cursor->MoveToStart();
  EXPECT_EQ(ReadAll(*cursor), (std::vector<std::string>{"D", "C", "B"}));
  Range(*cursor, "B", "D");
  EXPECT_EQ(cursor->GetRecordCount(), 0);
}

TEST_F(CursorSeekTest, NaturalOrderHasNoKeys) {
  test::CreateLetters(directory_, "Plain", kFive, /*primary=*/false);
  auto cursor = OpenCursor("Plain");
  cursor->MoveToSequence(2);
  EXPECT_FALSE(Find(*cursor, "A"));
  EXPECT_EQ(cursor->CurrentRecordNo(), 2);
  Range(*cursor, "B", "D");
  EXPECT_FALSE(cursor->RangeActive());
  EXPECT_EQ(cursor->GetRecordCount(), 5);
  EXPECT_FALSE(cursor->SeekFirstEntry());
  EXPECT_EQ(Current(*cursor), "A");
}

}  // namespace
}  // namespace ledra
