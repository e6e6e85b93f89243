// Field objects of every type over a real table, persistent field objects
// and their binding, blobs, and table passwords.
#include "components/PasswordPrompt.h"
#include "tests/components/ComponentTestSupport.h"

namespace ledra::test {
namespace {

using Fields = ComponentTest;

TTableDefinition KindsDefinition() {
  TTableDefinition definition;
  uint16_t n = 0;
  auto add = [&](std::string name, uint8_t type, uint8_t size = 0, uint8_t subType = 0) {
    definition.Fields.push_back(MakeField(++n, std::move(name), type, size, subType));
  };
  add("Code", fldString, 8);
  add("Day", fldDate);
  add("Notes", fldBlob, 0, kSubTypeMemo);
  add("Data", fldBlob);
  add("Flag", fldBoolean);
  add("Small", fldSmallInt);
  add("Whole", fldInteger);
  add("Real", fldFloat);
  add("Money", fldFloat, 0, kSubTypeMoney);
  add("Dec", fldBCD);
  definition.Fields.back().Scale = 2;
  add("Raw", fldBytes, 4);
  add("Clock", fldTime);
  add("Stamp", fldTimeStamp);
  add("Count", fldWord);
  add("Unsigned", fldInt32);
  add("Var", fldVarBytes, 6);
  add("Big", fldLargeInt);
  add("Id", fldInteger, 0, kSubTypeAutoInc);
  definition.PrimaryIndex.Fields = {1};
  return definition;
}

TEST_F(Fields, EveryTypeReadsAndWritesItsText) {
  CreateTable(dir_.Path().string(), "Kinds", KindsDefinition());
  auto table = OpenTable("Kinds");
  ASSERT_EQ(table->FieldCount(), 18);
  const std::vector<std::pair<std::string, TFieldType>> types = {
      {"Code", ftString},    {"Day", ftDate},       {"Notes", ftMemo},       {"Data", ftBlob},
      {"Flag", ftBoolean},   {"Small", ftSmallint}, {"Whole", ftInteger},    {"Real", ftFloat},
      {"Money", ftCurrency}, {"Dec", ftBCD},        {"Raw", ftBytes},        {"Clock", ftTime},
      {"Stamp", ftDateTime}, {"Count", ftWord},     {"Unsigned", ftInteger}, {"Var", ftVarBytes},
      {"Big", ftLargeint},   {"Id", ftAutoInc}};
  for (size_t i = 0; i < types.size(); ++i) {
    EXPECT_EQ(table->Fields(int(i)).FieldName(), types[i].first);
    EXPECT_EQ(table->Fields(int(i)).DataType(), types[i].second) << types[i].first;
    EXPECT_EQ(table->Fields(int(i)).FieldNo(), int(i) + 1);
  }
  EXPECT_EQ(table->FieldByName("Dec").Size(), 2);
  EXPECT_EQ(table->FieldByName("Raw").Size(), 4);

  const std::vector<std::pair<std::string, std::string>> values = {{"Code", "K1"},
                                                                   {"Day", "2024-02-29"},
                                                                   {"Flag", "TRUE"},
                                                                   {"Small", "-12"},
                                                                   {"Whole", "123456"},
                                                                   {"Real", "2.5"},
                                                                   {"Money", "12.25"},
                                                                   {"Dec", "123.45"},
                                                                   {"Raw", "0A0B0C0D"},
                                                                   {"Clock", "13:45:10"},
                                                                   {"Stamp", "2001-09-11 08:46:00"},
                                                                   {"Count", "65535"},
                                                                   {"Unsigned", "-2000000000"},
                                                                   {"Var", "ABCD"},
                                                                   {"Big", "-9000000000"}};
  table->Insert();
  for (const auto& [name, text] : values) table->FieldByName(name).SetAsString(text);
  table->FieldByName("Notes").SetAsString("A memo\r\nof two lines");
  table->FieldByName("Data").SetAsString("DEADBEEF");
  table->Post();
  table->Close();
  table->Open();
  for (const auto& [name, text] : values) {
    EXPECT_EQ(table->FieldByName(name).AsString(), text) << name;
    EXPECT_EQ(table->FieldByName(name).DisplayText(table->BufferImage(table->ActiveRecord())), text)
        << name;
  }
  EXPECT_EQ(table->FieldByName("Notes").AsString(), "A memo\r\nof two lines");
  EXPECT_EQ(table->FieldByName("Data").AsString(), "DEADBEEF");
  EXPECT_EQ(table->FieldByName("Notes").DisplayText(table->BufferImage(0)), "(MEMO)");
  EXPECT_EQ(table->FieldByName("Id").AsInteger(), 1);

  // Typed access.
  EXPECT_TRUE(table->FieldByName("Flag").AsBoolean());
  EXPECT_EQ(table->FieldByName("Small").AsInteger(), -12);
  EXPECT_EQ(table->FieldByName("Unsigned").AsInteger(), -2000000000);
  EXPECT_EQ(table->FieldByName("Big").AsLargeInt(), -9000000000LL);
  EXPECT_DOUBLE_EQ(table->FieldByName("Real").AsFloat(), 2.5);
  EXPECT_DOUBLE_EQ(table->FieldByName("Dec").AsFloat(), 123.45);
  EXPECT_DOUBLE_EQ(table->FieldByName("Day").AsFloat(), 45351.0);  // days since 1899-12-30
  EXPECT_EQ(table->FieldByName("Code").AsString(), "K1");
  EXPECT_EQ(LayerMessage([&] { table->FieldByName("Flag").AsFloat(); }),
            "Cannot access field 'Flag' as type Float");

  table->Edit();
  table->FieldByName("Day").SetAsFloat(0);
  EXPECT_EQ(table->FieldByName("Day").AsString(), "1899-12-30");
  table->FieldByName("Stamp").SetAsFloat(1.5);
  EXPECT_EQ(table->FieldByName("Stamp").AsString(), "1899-12-31 12:00:00");
  table->FieldByName("Whole").SetAsFloat(41.6);
  EXPECT_EQ(table->FieldByName("Whole").AsInteger(), 42);
  table->FieldByName("Flag").SetAsBoolean(false);
  EXPECT_EQ(table->FieldByName("Flag").AsString(), "FALSE");
  // Out of the type's range: refused, never wrapped, and the value stays.
  EXPECT_THROW(table->FieldByName("Small").SetAsInteger(70000), EDatabaseError);
  EXPECT_THROW(table->FieldByName("Day").SetAsString("2023-02-30"), EDatabaseError);
  EXPECT_EQ(table->FieldByName("Small").AsInteger(), -12);
  // An empty text and Clear make a field null.
  table->FieldByName("Whole").SetAsString("");
  EXPECT_TRUE(table->FieldByName("Whole").IsNull());
  table->FieldByName("Real").Clear();
  EXPECT_TRUE(table->FieldByName("Real").IsNull());
  EXPECT_EQ(table->FieldByName("Real").AsString(), "");
  table->Post();
  EXPECT_TRUE(table->FieldByName("Whole").IsNull());
}

TEST_F(Fields, BlobEditsAreWrittenByPostAndDroppedByCancel) {
  CreateTable(dir_.Path().string(), "Kinds", KindsDefinition(), {{{"Code", "A"}}});
  auto table = OpenTable("Kinds");
  TLedraField& notes = table->FieldByName("Notes");
  EXPECT_TRUE(notes.IsNull());
  EXPECT_EQ(notes.AsString(), "");
  for (int round = 0; round < 3; ++round) {
    table->Edit();
    notes.SetAsString("draft " + std::to_string(round));
    EXPECT_EQ(notes.AsString(), "draft " + std::to_string(round));
    table->Cancel();
    EXPECT_EQ(table->Cursor().OpenBlobCount(), 0u);
    EXPECT_EQ(notes.AsString(), "");
  }
  table->Edit();
  const std::string big(5000, 'x');
  notes.SetAsString(big);
  table->Post();
  EXPECT_EQ(table->Cursor().OpenBlobCount(), 0u);
  table->Close();
  table->Open();
  // Field objects made at open are new ones.
  EXPECT_EQ(table->FieldByName("Notes").AsString(), big);
  EXPECT_NE(dynamic_cast<TLedraMemoField*>(&table->FieldByName("Notes")), nullptr);
  table->Edit();
  static_cast<TLedraBlobField&>(table->FieldByName("Data")).SetValue({1, 2, 3});
  table->Post();
  EXPECT_EQ(static_cast<TLedraBlobField&>(table->FieldByName("Data")).Value(),
            (std::vector<uint8_t>{1, 2, 3}));
}

TEST_F(Fields, PersistentFieldsBindByNameWithTheirChecks) {
  CreateTable(dir_.Path().string(), "Kinds", KindsDefinition(), {{{"Code", "ABCDEFGH"}}});
  auto table = MakeTable("Kinds");
  auto& code = static_cast<TLedraStringField&>(
      table->AddField(std::make_unique<TLedraStringField>(nullptr, 3)));
  code.SetFieldName("CODE");
  code.SetDisplayLabel("Postcode");
  table->Open();
  EXPECT_FALSE(table->DefaultFields());
  EXPECT_EQ(table->FieldCount(), 1);
  EXPECT_EQ(code.FieldNo(), 1);
  EXPECT_EQ(code.DisplayLabel(), "Postcode");
  // A shorter field object reads the whole value and writes its own size.
  EXPECT_EQ(code.AsString(), "ABCDEFGH");
  table->Edit();
  code.SetAsString("WXYZ");
  table->Post();
  EXPECT_EQ(code.AsString(), "WXY");
  EXPECT_EQ(LayerMessage([&] { table->FieldByName("Day"); }), "Field 'Day' not found");
  table->Close();
  EXPECT_EQ(code.FieldNo(), 0);

  auto& missing = table->AddField(std::make_unique<TLedraIntegerField>());
  missing.SetFieldName("Nope");
  EXPECT_EQ(LayerMessage([&] { table->Open(); }), "Field 'Nope' not found");
  EXPECT_FALSE(table->Active());
  EXPECT_EQ(table->Database(), nullptr);
  missing.SetFieldName("Flag");
  EXPECT_EQ(LayerMessage([&] { table->Open(); }),
            "Type mismatch for field 'Flag', expecting: Integer actual: Boolean");
  table->RemoveField(missing);
  auto& raw = table->AddField(std::make_unique<TLedraBytesField>(nullptr, ftBytes, 8));
  raw.SetFieldName("Raw");
  EXPECT_EQ(LayerMessage([&] { table->Open(); }),
            "Size mismatch for field 'Raw', expecting: 8 actual: 4");
  raw.SetSize(4);
  table->Open();
  EXPECT_EQ(table->FieldCount(), 2);
}

class TTestPrompt : public TPasswordPrompt {
 public:
  bool Ask(TLedraSession& session) override {
    ++asked;
    if (!password.empty()) session.AddPassword(password);
    return !password.empty();
  }
  std::string password;
  int asked = 0;
};

TEST_F(Fields, PasswordsComeFromOnPasswordOrThePrompt) {
  TTableDefinition definition = TownsDefinition();
  definition.Encrypted = true;
  definition.Password = "Secret";
  CreateTable(dir_.Path().string(), "Locked", definition, {Town("A", "Alpha", 1)});

  auto table = MakeTable("Locked");
  EXPECT_EQ(EngineCode([&] { table->Open(); }), LEDRA_NOTSUFFTABLERIGHTS);
  EXPECT_FALSE(table->Active());

  TTestPrompt prompt;
  SetPasswordPrompt(&prompt);
  EXPECT_EQ(EngineCode([&] { table->Open(); }), LEDRA_NOTSUFFTABLERIGHTS);
  EXPECT_EQ(prompt.asked, 1);
  prompt.password = "Secret";
  table->Open();
  EXPECT_EQ(table->FieldByName("Town").AsString(), "Alpha");
  table->Close();

  // OnPassword comes first; the passwords stay for later opens.
  session_.RemoveAllPasswords();
  EXPECT_EQ(session_.PasswordCount(), 0u);
  int events = 0;
  session_.OnPassword = [&](TLedraSession& session, bool& continueOpen) {
    ++events;
    session.AddPassword(events == 1 ? "secret" : "Secret");
    continueOpen = true;
  };
  table->Open();
  EXPECT_EQ(events, 2);
  EXPECT_EQ(prompt.asked, 2);
  EXPECT_TRUE(session_.HasPassword("secret"));
  EXPECT_TRUE(session_.HasPassword("Secret"));
  table->Close();
  session_.OnPassword = nullptr;
  table->Open();
  EXPECT_EQ(prompt.asked, 2);
  SetPasswordPrompt(nullptr);

  // The list: duplicates kept once, removal exact, texts cut to 255.
  session_.AddPassword("Secret");
  EXPECT_EQ(session_.PasswordCount(), 2u);
  session_.RemovePassword("SECRET");
  EXPECT_EQ(session_.PasswordCount(), 2u);
  const std::string longText(300, 'p');
  session_.AddPassword(longText);
  EXPECT_TRUE(session_.HasPassword(longText.substr(0, 255)));
  session_.RemovePassword(longText);
  EXPECT_EQ(session_.PasswordCount(), 2u);
}

}  // namespace
}  // namespace ledra::test
