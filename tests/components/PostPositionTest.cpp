// A dataset's edit found by FindKey and posted while another real process
// adds and deletes records around it: after the post the dataset stands on
// the record, and its neighbours are those the other process left.
#include "tests/components/ComponentTestSupport.h"
#include "tests/support/ChildProcess.h"

namespace ledra::test {
namespace {

class PostPosition : public ComponentTest {
 protected:
  void SetUp() override {
    if (test::IsChildProcess()) return;
    std::vector<TRow> rows;
    for (const char* code : {"B", "D", "F", "H"}) rows.push_back(Town(code, "Town", 1));
    CreateTable(dir_.Path().string(), "Towns", TownsDefinition(), rows);
  }
};

// The other program on command: 1 adds C and E, 2 deletes C and adds G, each
// a whole post of its own. It answers with the command.
void OtherProgram(const std::string& path, TChildProcess& self) {
  TDataSession session;
  session.SetStrictChangeDetection(true);
  TDataDirectory& directory = session.OpenDirectory("", path);
  TDataCursor cursor(directory);
  cursor.SetTableName("Towns");
  cursor.Open();
  std::vector<uint8_t> image(cursor.RecordSize());
  auto add = [&](const char* code) {
    cursor.InitRecordBuffer(image.data());
    SetFieldText(cursor, image.data(), "Code", std::string_view(code));
    SetFieldText(cursor, image.data(), "Town", std::string_view("Other"));
    cursor.PostInsert(image.data());
  };
  for (;;) {
    std::optional<uint32_t> command = self.Receive();
    if (!command || *command == 0) return;
    if (*command == 1) {
      add("C");
      add("E");
    } else if (*command == 2) {
      cursor.SetIndexNo(0);
      std::vector<uint8_t> key(cursor.KeyLength());
      cursor.InitRecordBuffer(image.data());
      SetFieldText(cursor, image.data(), "Code", std::string_view("C"));
      cursor.BuildKey(image.data(), key.data());
      if (!cursor.FindByKey(true, key.data(), image.data(), 0, false, 0)) return;
      cursor.DeleteCurrent(image.data());
      add("G");
    }
    self.Send(*command);
  }
}

TEST_F(PostPosition, PostOfANonKeyFieldStaysOnTheRecordAmongOtherProgramsChanges) {
  const std::string path = dir_.Path().string();
  TChildProcess child([&](TChildProcess& self) { OtherProgram(path, self); });
  ASSERT_TRUE(child.Started());
  auto table = OpenTable("Towns");
  TLedraField& code = table->FieldByName("Code");
  TLedraField& town = table->FieldByName("Town");

  ASSERT_TRUE(table->FindKey({"D"}));
  child.Send(1);
  ASSERT_EQ(child.Receive(), 1u);
  table->Edit();
  EXPECT_EQ(code.AsString(), "D");
  town.SetAsString("Mine");
  child.Send(2);
  ASSERT_EQ(child.Receive(), 2u);
  table->Post();
  EXPECT_EQ(code.AsString(), "D");
  EXPECT_EQ(town.AsString(), "Mine");
  table->Next();
  EXPECT_EQ(code.AsString(), "E");
  table->Prior();
  table->Prior();
  EXPECT_EQ(code.AsString(), "B");  // C is gone again
  table->First();
  EXPECT_EQ(Codes(*table), (std::vector<std::string>{"B", "D", "E", "F", "G", "H"}));

  // A post that changes the key moves the dataset with the record.
  ASSERT_TRUE(table->FindKey({"D"}));
  table->Edit();
  code.SetAsString("FF");
  table->Post();
  EXPECT_EQ(code.AsString(), "FF");
  table->Next();
  EXPECT_EQ(code.AsString(), "G");
  child.Send(0);
}

}  // namespace
}  // namespace ledra::test
