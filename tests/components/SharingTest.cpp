// A table shared with another real process: its record locks, its deletes and
// its inserts as this layer sees them, and engine failures at open.
#include <fstream>

#include "tests/components/ComponentTestSupport.h"
#include "tests/support/ChildProcess.h"

namespace ledra::test {
namespace {

// The other program: a cursor of its own on the table, standing on its
// first record.
struct TOtherProgram {
  explicit TOtherProgram(const std::string& path, bool exclusive = false)
      : directory(session.OpenDirectory("", path)), cursor(directory) {
    session.SetLockRetryCount(1);
    session.SetLockWaitTime(10);
    session.SetStrictChangeDetection(true);
    cursor.SetTableName("Towns");
    cursor.SetExclusive(exclusive);
    cursor.Open();
    image.resize(cursor.RecordSize());
    cursor.ReadNext(image.data());
  }
  TDataSession session;
  TDataDirectory& directory;
  TDataCursor cursor;
  std::vector<uint8_t> image;
};

class Sharing : public ComponentTest {
 protected:
  void SetUp() override {
    if (test::IsChildProcess()) return;  // the other program finds the test's table
    CreateTable(dir_.Path().string(), "Towns", TownsDefinition(),
                {Town("A", "Alpha", 1), Town("B", "Beta", 2)});
  }
};

TEST_F(Sharing, EditOfARecordAnotherProgramHoldsLockedFailsAfterTheRetries) {
  const std::string path = dir_.Path().string();
  TChildProcess child([&](TChildProcess& self) {
    TOtherProgram other(path);
    other.cursor.AcquireRecordLock();
    self.Send(1);
    self.Receive();  // until the test lets go
    other.cursor.ReleaseRecordLock();
    self.Send(2);
    self.Receive();
  });
  ASSERT_TRUE(child.Started());
  ASSERT_EQ(child.Receive(), 1u);
  auto table = OpenTable("Towns");
  TLedraField& town = table->FieldByName("Town");
  EXPECT_EQ(EngineCode([&] { table->Edit(); }), LEDRA_RECLOCKFAILED);
  EXPECT_EQ(table->State(), dsBrowse);
  // The record shown is not lost by the refused edit.
  EXPECT_EQ(town.AsString(), "Alpha");
  // The second record is free.
  table->Next();
  table->Edit();
  town.SetAsString("Bravo");
  table->Post();
  table->First();
  child.Send(0);
  ASSERT_EQ(child.Receive(), 2u);
  table->Edit();
  town.SetAsString("Aleph");
  table->Post();
  table->First();
  EXPECT_EQ(Codes(*table), (std::vector<std::string>{"A", "B"}));
  table->First();
  EXPECT_EQ(town.AsString(), "Aleph");
  table->Next();
  EXPECT_EQ(town.AsString(), "Bravo");
  child.Send(0);
}

TEST_F(Sharing, PostAfterAnotherProgramDeletedTheRecordStaysInEditState) {
  const std::string path = dir_.Path().string();
  TChildProcess child([&](TChildProcess& self) {
    TOtherProgram other(path);
    self.Send(1);
    self.Receive();
    try {
      other.cursor.DeleteCurrent(other.image.data());
      self.Send(0);
    } catch (const ELedraEngineError& error) {
      self.Send(error.ErrorCode);
    }
    self.Receive();
    try {
      other.cursor.ReadCurrent(other.image.data());
      other.cursor.DeleteCurrent(other.image.data());
      self.Send(0);
    } catch (const ELedraEngineError& error) {
      self.Send(error.ErrorCode);
    }
    self.Receive();
  });
  ASSERT_TRUE(child.Started());
  ASSERT_EQ(child.Receive(), 1u);
  // Pessimistic: the edit's lock keeps the other program from deleting.
  auto table = OpenTable("Towns");
  table->Edit();
  table->FieldByName("Num").SetAsInteger(10);
  child.Send(0);
  EXPECT_EQ(child.Receive(), LEDRA_RECLOCKFAILED);
  table->Post();
  EXPECT_EQ(table->FieldByName("Num").AsInteger(), 10);
  table->Close();

  // Optimistic: nothing is locked until the post, which finds the record gone.
  session_.SetLockProtocol(lpOptimistic);
  table->Open();
  table->Edit();
  table->FieldByName("Num").SetAsInteger(11);
  child.Send(0);
  EXPECT_EQ(child.Receive(), 0u);
  EXPECT_EQ(EngineCode([&] { table->Post(); }), LEDRA_KEYORRECDELETED);
  EXPECT_EQ(table->State(), dsEdit);
  EXPECT_EQ(table->FieldByName("Num").AsInteger(), 11);
  table->Cancel();
  table->First();
  EXPECT_EQ(Codes(*table), (std::vector<std::string>{"B"}));
  child.Send(0);
}

TEST_F(Sharing, EditOfARecordAnotherProgramChangedIsRefusedUntilReadAgain) {
  const std::string path = dir_.Path().string();
  TChildProcess child([&](TChildProcess& self) {
    TOtherProgram other(path);
    self.Send(1);
    self.Receive();
    other.cursor.ReadCurrent(other.image.data(), true);
    SetFieldText(other.cursor, other.image.data(), "Town", std::string_view("Changed"));
    other.cursor.PostEdit(other.image.data());
    self.Send(2);
    self.Receive();
  });
  ASSERT_TRUE(child.Started());
  ASSERT_EQ(child.Receive(), 1u);
  auto table = OpenTable("Towns");
  EXPECT_EQ(table->FieldByName("Town").AsString(), "Alpha");
  child.Send(0);
  ASSERT_EQ(child.Receive(), 2u);
  EXPECT_EQ(EngineCode([&] { table->Edit(); }), LEDRA_KEYORRECDELETED);
  EXPECT_EQ(table->State(), dsBrowse);
  EXPECT_EQ(table->FieldByName("Town").AsString(), "Alpha");
  table->Refresh();
  EXPECT_EQ(table->FieldByName("Town").AsString(), "Changed");
  table->Edit();
  table->FieldByName("Town").SetAsString("Mine");
  table->Post();
  EXPECT_EQ(table->FieldByName("Town").AsString(), "Mine");
  child.Send(0);
}

TEST_F(Sharing, RecordCountFollowsAnotherProgramsInserts) {
  const std::string path = dir_.Path().string();
  TChildProcess child([&](TChildProcess& self) {
    TOtherProgram other(path);
    self.Send(1);
    self.Receive();
    for (const char* code : {"C", "D", "E"}) {
      std::vector<uint8_t> image(other.cursor.RecordSize());
      other.cursor.InitRecordBuffer(image.data());
      SetFieldText(other.cursor, image.data(), "Code", std::string_view(code));
      other.cursor.PostInsert(image.data());
    }
    self.Send(2);
    self.Receive();
  });
  ASSERT_TRUE(child.Started());
  ASSERT_EQ(child.Receive(), 1u);
  // Every call looks at the table's headers: the session's strict change
  // detection. (Without it the engine finds another program's change at its
  // next read from disk.)
  session_.SetStrictChangeDetection(true);
  auto table = OpenTable("Towns");
  EXPECT_EQ(table->RecordCount(), 2);
  child.Send(0);
  ASSERT_EQ(child.Receive(), 2u);
  EXPECT_EQ(table->RecordCount(), 5);
  table->Last();
  EXPECT_EQ(table->FieldByName("Code").AsString(), "E");
  child.Send(0);
}

TEST_F(Sharing, EngineFailuresAtOpenLeaveTheTableClosed) {
  const std::string path = dir_.Path().string();
  TChildProcess child([&](TChildProcess& self) {
    TOtherProgram other(path, true);
    self.Send(1);
    self.Receive();
  });
  ASSERT_TRUE(child.Started());
  ASSERT_EQ(child.Receive(), 1u);

  auto expectClosedAfter = [&](std::string_view name, TEngineErrorCode expected) {
    auto table = MakeTable(name);
    TEngineErrorCode code = 0;
    try {
      table->Open();
    } catch (const ELedraEngineError& error) {
      code = error.ErrorCode;
      EXPECT_NE(std::string(error.what()).find("Ledra Engine Error # "), std::string::npos);
    }
    EXPECT_EQ(code, expected) << name;
    EXPECT_FALSE(table->Active());
    EXPECT_EQ(table->Database(), nullptr);
    EXPECT_EQ(table->FieldCount(), 0);
    TLedraDatabase* database = session_.FindDatabase(Path());
    ASSERT_NE(database, nullptr);
    EXPECT_EQ(database->RefCount(), 0);
    EXPECT_EQ(database->DataSetCount(), 0u);
    EXPECT_EQ(database->Handle()->TableCount(), 0u);
  };
  // Held exclusively by the other program.
  expectClosedAfter("Towns", LEDRA_OSEACCES);
  child.Send(0);
  // A table that is not there.
  expectClosedAfter("Missing", LEDRA_OSENOENT);
  // A damaged header (its version bytes).
  CreateTable(path, "Broken", TownsDefinition(), {Town("A", "Alpha", 1)});
  {
    std::fstream file(dir_.File("Broken.DAT"), std::ios::in | std::ios::out | std::ios::binary);
    file.seekp(0);
    const std::string junk(64, '\xEE');
    file.write(junk.data(), std::streamsize(junk.size()));
  }
  expectClosedAfter("Broken", LEDRA_OLDVERSION);
}

}  // namespace
}  // namespace ledra::test
