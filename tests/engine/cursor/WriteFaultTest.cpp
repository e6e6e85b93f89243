// Every write of a change failing in turn: the change must end in an engine
// error, never in a report of success. Each change is run once to count its
// writes, then once more for each of them with that write failing.
//
// Only the error is asserted. A failed write ends the change there, so the
// files hold what a program dying at that write leaves: possibly files that
// disagree (the table then refuses to open, or the verifier reports it).
// What each failed write leaves behind is printed; DeathAtWriteTest holds
// those states against the verifier and repair.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <iostream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "engine/cursor/DataCursor.h"
#include "engine/errors/EngineError.h"
#include "platform/Diagnostics.h"
#include "platform/WinError.h"
#include "tests/engine/cursor/CursorTestSupport.h"
#include "tests/support/EngineErrors.h"

namespace ledra {
namespace {

using platform::CallCount;
using platform::OsCall;

class WriteFaultTest : public test::CursorTest {
 protected:
  void TearDown() override { platform::ClearFaults(); }

  using TChange = std::function<void(TDataCursor& cursor)>;

  // A letters table of its own, opened shared (every change is written
  // before its post returns).
  std::unique_ptr<TDataCursor> FreshTable(const std::string& name) {
    test::CreateLetters(directory_, name, {{"B", 2}, {"D", 4}, {"F", 6}});
    return OpenCursor(name);
  }

  // Runs `change` on a fresh table once to count its writes, then on a fresh
  // table for each k with the k-th write failing; answers the count.
  // `outcome` describes, per failed write, what the table holds afterwards.
  uint64_t WalkWrites(const std::string& what, const TChange& change, std::string& outcome) {
    uint64_t writes = 0;
    {
      auto cursor = FreshTable(what + "0");
      const uint64_t before = CallCount(OsCall::Write);
      change(*cursor);
      writes = CallCount(OsCall::Write) - before;
    }
    std::ostringstream out;
    for (uint64_t k = 1; k <= writes; ++k) {
      SCOPED_TRACE(what + ": write " + std::to_string(k) + " of " + std::to_string(writes));
      const std::string name = what + std::to_string(k);
      auto cursor = FreshTable(name);
      platform::FailNth(OsCall::Write, k, platform::kErrorDiskFull);
      const TEngineErrorCode raised = test::ErrorCodeRaisedBy([&] { change(*cursor); });
      EXPECT_FALSE(platform::FaultPending(OsCall::Write)) << "the change wrote less this time";
      platform::ClearFaults();
      EXPECT_NE(raised, LEDRA_NONE) << "a failed write was reported as success";
      const TEngineErrorCode closed = test::ErrorCodeRaisedBy([&] { cursor->Close(); });
      cursor.reset();

      // What a program opening the table next finds.
      out << "write " << k << ": raised " << raised << ", close " << closed;
      std::unique_ptr<TDataCursor> reopened;
      const TEngineErrorCode opened = test::ErrorCodeRaisedBy([&] { reopened = OpenCursor(name); });
      if (opened != LEDRA_NONE) {
        out << ", reopening raised " << opened << "\n";
        continue;
      }
      out << ", " << reopened->GetRecordCount() << " records";
      std::string problems = test::TableFindings(reopened->Table());
      if (!problems.empty()) problems.pop_back();
      std::replace(problems.begin(), problems.end(), '\n', ';');
      if (!problems.empty()) out << ", damaged: " << problems;
      out << "\n";
    }
    outcome = out.str();
    return writes;
  }
};

TEST_F(WriteFaultTest, EveryFailingWriteOfAChangeRaisesAnError) {
  const std::vector<uint8_t> inserted = test::LetterImage("C", 3);
  struct TCase {
    std::string what;
    TChange change;
  } cases[] = {
      {"Insert",
       [&](TDataCursor& cursor) {
         std::vector<uint8_t> image = inserted;
         cursor.PostInsert(image.data());
       }},
      {"Edit",  // a key of every index changes
       [&](TDataCursor& cursor) {
         std::vector<uint8_t> image(cursor.RecordSize());
         cursor.MoveToStart();
         ASSERT_EQ(cursor.ReadNext(image.data()), 0);
         ASSERT_EQ(cursor.ReadCurrent(image.data(), true), 0);
         const std::vector<uint8_t> edited = test::LetterImage("E", 5);
         std::copy(edited.begin() + 9, edited.end(), image.begin() + 9);
         cursor.PostEdit(image.data());
       }},
      {"Delete",
       [&](TDataCursor& cursor) {
         std::vector<uint8_t> image(cursor.RecordSize());
         cursor.MoveToStart();
         ASSERT_EQ(cursor.ReadNext(image.data()), 0);
         cursor.DeleteCurrent(image.data());
       }},
  };
  for (const TCase& c : cases) {
    std::string outcome;
    const uint64_t writes = WalkWrites(c.what, c.change, outcome);
    EXPECT_GT(writes, 1u) << c.what;
    std::cout << c.what << ", " << writes << " writes:\n" << outcome;
  }
}

}  // namespace
}  // namespace ledra
