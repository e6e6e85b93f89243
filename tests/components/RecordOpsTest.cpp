// Record operations of an open table: navigation, FindKey, edits, inserts and
// deletes, checked against what the table must hold.
#include <algorithm>
#include <map>
#include <random>

#include "tests/components/ComponentTestSupport.h"

namespace ledra::test {
namespace {

using RecordOps = ComponentTest;

class TCountingLink : public TDataLink {
 public:
  void DataSetChanged() override { ++changed; }
  void RecordChanged() override { ++recordChanged; }
  void DataSetScrolled(int distance) override { scrolled += distance; }
  void ActiveChanged(bool active) override { activeChanges.push_back(active); }
  void ControlsDisabledChanged(bool disabled) override { disabledChanges.push_back(disabled); }
  int changed = 0;
  int recordChanged = 0;
  int scrolled = 0;
  std::vector<bool> activeChanges;
  std::vector<bool> disabledChanges;
};

TEST_F(RecordOps, NavigationInIndexOrderAndAtTheEnds) {
  CreateTable(dir_.Path().string(), "Towns", TownsDefinition(),
              {Town("C", "Gamma", 3), Town("A", "Alpha", 1), Town("B", "Beta", 2)});
  auto table = OpenTable("Towns");
  EXPECT_EQ(table->RecordCount(), 3);
  EXPECT_FALSE(table->Eof());
  EXPECT_EQ(Codes(*table), (std::vector<std::string>{"A", "B", "C"}));
  // Next at the end keeps the last record current and sets Eof.
  EXPECT_TRUE(table->Eof());
  EXPECT_EQ(table->FieldByName("code").AsString(), "C");
  table->Next();
  EXPECT_EQ(table->FieldByName("Code").AsString(), "C");
  table->Prior();
  EXPECT_EQ(table->FieldByName("Code").AsString(), "B");
  EXPECT_EQ(table->RecNo(), 2);
  table->Last();
  EXPECT_TRUE(table->Eof());
  EXPECT_EQ(table->FieldByName("Code").AsString(), "C");
  table->Prior();
  table->Prior();
  EXPECT_EQ(table->FieldByName("Code").AsString(), "A");
  EXPECT_FALSE(table->Bof());
  table->Prior();
  EXPECT_TRUE(table->Bof());
  EXPECT_EQ(table->FieldByName("Code").AsString(), "A");
  EXPECT_EQ(table->MoveBy(5), 2);
  EXPECT_EQ(table->FieldByName("Num").AsInteger(), 3);
  EXPECT_EQ(LayerMessage([&] { table->FieldByName("Nope"); }), "Field 'Nope' not found");

  // Another order, by name and by field names.
  table->SetIndexName("CodeDown");
  table->First();
  EXPECT_EQ(Codes(*table), (std::vector<std::string>{"C", "B", "A"}));
  table->SetIndexFieldNames("Town");
  EXPECT_EQ(table->IndexName(), "");
  table->First();
  EXPECT_EQ(Codes(*table), (std::vector<std::string>{"A", "B", "C"}));
  EXPECT_EQ(LayerMessage([&] { table->SetIndexFieldNames("Num"); }),
            "'Towns' has no index for fields 'Num'");
}

TEST_F(RecordOps, FindKeyCutsTrimsAndTreatsBlanksAsNull) {
  CreateTable(dir_.Path().string(), "Towns", TownsDefinition(),
              {Town("ABCDEFGHIJ", "Long", 1), Town("AB", "Short", 2), Town("", "Null", 3),
               Town("ZZ", "Last", 4)});
  auto table = OpenTable("Towns");
  // A text longer than the field matches on its first 10 characters.
  EXPECT_TRUE(table->FindKey({"ABCDEFGHIJKLMNOP"}));
  EXPECT_EQ(table->FieldByName("Town").AsString(), "Long");
  // Trailing blanks are not part of the key.
  EXPECT_TRUE(table->FindKey({"AB   "}));
  EXPECT_EQ(table->FieldByName("Town").AsString(), "Short");
  // An all-blank text is the null key.
  EXPECT_TRUE(table->FindKey({"   "}));
  EXPECT_EQ(table->FieldByName("Town").AsString(), "Null");
  EXPECT_TRUE(table->FieldByName("Code").IsNull());
  EXPECT_EQ(table->FieldByName("Code").AsString(), "");
  // A miss leaves the current record where it was.
  table->Last();
  EXPECT_FALSE(table->FindKey({"AA"}));
  EXPECT_EQ(table->FieldByName("Town").AsString(), "Last");
  table->Prior();
  EXPECT_EQ(table->FieldByName("Town").AsString(), "Long");
  EXPECT_EQ(LayerMessage([&] { table->FindKey({"A", "B"}); }), "Field index out of range.");

  // Non-unique index: the first of equal keys.
  table->SetIndexName("ByTown");
  EXPECT_TRUE(table->FindKey({"Short"}));
  EXPECT_EQ(table->FieldByName("Code").AsString(), "AB");
  table->FindNearest({"M"});
  EXPECT_EQ(table->FieldByName("Town").AsString(), "Null");
}

TEST_F(RecordOps, FindKeyNeedsAFieldObjectForEachKeyField) {
  CreateTable(dir_.Path().string(), "Towns", TownsDefinition(), {Town("A", "Alpha", 1)});
  auto table = MakeTable("Towns");
  table->AddField(std::make_unique<TLedraStringField>(nullptr, 30)).SetFieldName("Town");
  table->Open();
  EXPECT_EQ(LayerMessage([&] { table->FindKey({"A"}); }), "Cannot access index field Code.");
  EXPECT_EQ(table->State(), dsBrowse);
  table->SetIndexName("ByTown");
  EXPECT_TRUE(table->FindKey({"Alpha"}));
}

TEST_F(RecordOps, RangesAndSequenceNumbers) {
  CreateTable(dir_.Path().string(), "Towns", TownsDefinition(),
              {Town("A1", "X", 1), Town("B1", "Y", 2), Town("B2", "Y", 3), Town("C1", "Z", 4),
               Town("D1", "Z", 5)});
  auto table = OpenTable("Towns");
  table->SetRange({"B"}, {"C9"});
  EXPECT_EQ(Codes(*table), (std::vector<std::string>{"B1", "B2", "C1"}));
  EXPECT_EQ(table->RecordCount(), 3);
  table->SetRecNo(2);
  EXPECT_EQ(table->FieldByName("Code").AsString(), "B2");
  EXPECT_EQ(table->RecNo(), 2);
  table->CancelRange();
  EXPECT_EQ(table->RecordCount(), 5);
  EXPECT_EQ(table->FieldByName("Code").AsString(), "A1");
  table->SetIndexName("ByTown");
  table->SetRange({"Y"}, {"Y"});
  EXPECT_EQ(Codes(*table), (std::vector<std::string>{"B1", "B2"}));
  table->SetRange({}, {"X"});
  EXPECT_EQ(Codes(*table), (std::vector<std::string>{"A1"}));
}

TEST_F(RecordOps, FindKeyWithoutIndexFieldsIsRefused) {
  CreateTable(dir_.Path().string(), "Plain", TownsDefinition(false), {Town("A", "Alpha", 1)});
  auto table = OpenTable("Plain");
  EXPECT_EQ(table->IndexFieldCount(), 0);
  EXPECT_EQ(LayerMessage([&] { table->FindKey({"A"}); }),
            "No fields defined for the current index.");
  EXPECT_EQ(table->FieldByName("Code").AsString(), "A");
}

TEST_F(RecordOps, EditPostCancelAndStringWrites) {
  CreateTable(dir_.Path().string(), "Towns", TownsDefinition(),
              {Town("A", "Alpha  ", 1), Town("B", "Beta", 2)});
  auto table = OpenTable("Towns");
  TLedraField& town = table->FieldByName("Town");
  EXPECT_EQ(LayerMessage([&] { town.SetAsString("x"); }), "Table is not in edit or insert mode.");

  table->Edit();
  EXPECT_EQ(table->State(), dsEdit);
  town.SetAsString(std::string(40, 'w'));
  EXPECT_EQ(town.AsString(), std::string(30, 'w'));
  table->Cancel();
  EXPECT_EQ(table->State(), dsBrowse);
  EXPECT_EQ(town.AsString(), "Alpha");

  table->Edit();
  town.SetAsString(std::string(40, 'w'));
  table->Post();
  table->First();
  EXPECT_EQ(town.AsString(), std::string(30, 'w'));
  // Next posts a pending change first.
  table->Edit();
  town.SetAsString("Aleph");
  table->Next();
  EXPECT_EQ(table->State(), dsBrowse);
  table->First();
  EXPECT_EQ(town.AsString(), "Aleph");

  // A changed key moves the record; the current record follows it.
  table->Edit();
  table->FieldByName("Code").SetAsString("C");
  table->Post();
  EXPECT_EQ(table->FieldByName("Town").AsString(), "Aleph");
  table->First();
  EXPECT_EQ(Codes(*table), (std::vector<std::string>{"B", "C"}));

  // A duplicate key is refused and the edit stays.
  table->First();
  table->Edit();
  table->FieldByName("Code").SetAsString("C");
  EXPECT_EQ(EngineCode([&] { table->Post(); }), LEDRA_KEYVIOL);
  EXPECT_EQ(table->State(), dsEdit);
  table->Cancel();
  EXPECT_EQ(table->FieldByName("Code").AsString(), "B");

  TLedraField& code = table->FieldByName("Code");
  code.SetReadOnly(true);
  table->Edit();
  EXPECT_EQ(LayerMessage([&] { code.SetAsString("Q"); }), "Field Code cannot be modified.");
  table->Cancel();
}

TEST_F(RecordOps, InsertsDeletesAndTheEmptyTable) {
  CreateTable(dir_.Path().string(), "Towns", TownsDefinition());
  auto table = OpenTable("Towns");
  EXPECT_TRUE(table->Eof());
  EXPECT_TRUE(table->IsEmpty());
  EXPECT_EQ(table->FieldByName("Code").AsString(), "");
  // Edit on an empty table starts a new record.
  table->Edit();
  EXPECT_EQ(table->State(), dsInsert);
  table->FieldByName("Code").SetAsString("M");
  table->FieldByName("Num").SetAsInteger(13);
  table->Post();
  EXPECT_EQ(table->RecordCount(), 1);
  EXPECT_EQ(table->FieldByName("Code").AsString(), "M");
  EXPECT_EQ(table->FieldByName("Id").AsInteger(), 1);

  table->Insert();
  table->FieldByName("Code").SetAsString("A");
  table->Post();
  table->Append();
  table->FieldByName("Code").SetAsString("Z");
  table->Post();
  table->First();
  EXPECT_EQ(Codes(*table), (std::vector<std::string>{"A", "M", "Z"}));
  table->First();
  table->Next();
  table->Delete();
  EXPECT_EQ(table->FieldByName("Code").AsString(), "Z");
  table->Delete();
  EXPECT_EQ(table->FieldByName("Code").AsString(), "A");
  table->Delete();
  EXPECT_TRUE(table->IsEmpty());
  EXPECT_EQ(table->RecordCount(), 0);
  EXPECT_EQ(LayerMessage([&] { table->Delete(); }),
            "Cannot perform this operation on an empty dataset");

  // A required field.
  table->Close();
  TTableDefinition definition = TownsDefinition();
  definition.Fields[1].Required = 1;
  CreateTable(dir_.Path().string(), "Req", definition);
  auto req = OpenTable("Req");
  EXPECT_TRUE(req->FieldByName("Town").Required());
  req->Insert();
  req->FieldByName("Code").SetAsString("A");
  EXPECT_EQ(LayerMessage([&] { req->Post(); }), "Field 'Town' must have a value");
  EXPECT_EQ(req->State(), dsInsert);
  req->Cancel();
  EXPECT_EQ(req->RecordCount(), 0);
}

TEST_F(RecordOps, ReadOnlyTablesRefuseChanges) {
  CreateTable(dir_.Path().string(), "Towns", TownsDefinition(), {Town("A", "Alpha", 1)});
  auto table = MakeTable("Towns");
  table->SetReadOnly(true);
  table->Open();
  EXPECT_FALSE(table->CanModify());
  EXPECT_EQ(LayerMessage([&] { table->Edit(); }), "Cannot modify a read-only dataset");
  EXPECT_EQ(LayerMessage([&] { table->Insert(); }), "Cannot modify a read-only dataset");
  EXPECT_EQ(table->State(), dsBrowse);
}

TEST_F(RecordOps, BoundControlsAreToldAndCanBeSuspended) {
  CreateTable(dir_.Path().string(), "Towns", TownsDefinition(),
              {Town("A", "Alpha", 1), Town("B", "Beta", 2)});
  auto table = MakeTable("Towns");
  TCountingLink link;
  table->AddDataLink(&link);
  table->Open();
  EXPECT_EQ(link.activeChanges, std::vector<bool>{true});
  table->Next();
  EXPECT_EQ(link.scrolled, 1);

  table->DisableControls();
  table->DisableControls();
  EXPECT_TRUE(table->ControlsDisabled());
  const int changed = link.changed;
  table->First();
  table->Next();
  table->EnableControls();
  EXPECT_TRUE(table->ControlsDisabled());
  EXPECT_EQ(link.changed, changed);
  EXPECT_EQ(link.scrolled, 1);
  table->EnableControls();
  EXPECT_FALSE(table->ControlsDisabled());
  EXPECT_EQ(link.changed, changed + 1);
  EXPECT_EQ(link.disabledChanges, (std::vector<bool>{true, false}));
  table->EnableControls();  // not below zero
  EXPECT_FALSE(table->ControlsDisabled());

  table->Edit();
  table->FieldByName("Town").SetAsString("Bet");
  EXPECT_GE(link.recordChanged, 2);
  table->Cancel();
  table->Close();
  EXPECT_EQ(link.activeChanges, (std::vector<bool>{true, false}));
  table->RemoveDataLink(&link);
}

TEST_F(RecordOps, TheRingOfBuffersIsFilledInOneReadAndKeepsBookmarks) {
  std::vector<TRow> rows;
  for (int i = 0; i < 30; ++i) {
    char code[8];
    std::snprintf(code, sizeof code, "K%02d", i);
    rows.push_back(Town(code, "T" + std::to_string(i % 4), i));
  }
  CreateTable(dir_.Path().string(), "Towns", TownsDefinition(), rows);
  for (const char* index : {"", "ByTown", "CodeDown"}) {
    auto table = MakeTable("Towns");
    table->SetIndexName(index);
    table->SetBufferCount(7);
    table->Open();
    EXPECT_EQ(table->RecordsInBuffers(), 7) << index;
    // Every buffered record's bookmark leads back to it.
    std::vector<std::pair<TBookmark, std::string>> marks;
    for (int i = 0; i < 12; ++i, table->Next()) {
      marks.emplace_back(table->GetBookmark(), table->FieldByName("Code").AsString());
      EXPECT_EQ(table->RecNo(), i + 1) << index;
    }
    for (auto it = marks.rbegin(); it != marks.rend(); ++it) {
      table->GotoBookmark(it->first);
      EXPECT_EQ(table->FieldByName("Code").AsString(), it->second) << index;
    }
    // Moving back and forth over the ring gives the records in order.
    table->Last();
    std::vector<std::string> backwards;
    for (; !table->Bof(); table->Prior())
      backwards.push_back(table->FieldByName("Code").AsString());
    table->First();
    std::vector<std::string> forwards = Codes(*table);
    std::reverse(backwards.begin(), backwards.end());
    EXPECT_EQ(forwards, backwards) << index;
    EXPECT_EQ(forwards.size(), 30u);
  }
}

// Random operations against a model of the table: code -> (town, num).
TEST_F(RecordOps, RandomOperationsAgreeWithAModel) {
  const unsigned seed = 20261209;
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937 random(seed);
  CreateTable(dir_.Path().string(), "Towns", TownsDefinition());
  auto table = OpenTable("Towns");
  std::map<std::string, std::pair<std::string, int>> model;
  auto randomCode = [&] {
    return std::string(1, char('A' + random() % 12)) + char('0' + random() % 3);
  };
  auto currentCode = [&] { return table->FieldByName("Code").AsString(); };
  for (int step = 0; step < 600; ++step) {
    SCOPED_TRACE("step " + std::to_string(step));
    switch (random() % 8) {
      case 0:
      case 1: {  // insert
        const std::string code = randomCode();
        table->Insert();
        table->FieldByName("Code").SetAsString(code);
        table->FieldByName("Town").SetAsString("T" + std::to_string(random() % 5));
        table->FieldByName("Num").SetAsInteger(step);
        if (model.count(code)) {
          EXPECT_EQ(EngineCode([&] { table->Post(); }), LEDRA_KEYVIOL);
          table->Cancel();
        } else {
          model[code] = {table->FieldByName("Town").AsString(), step};
          table->Post();
          EXPECT_EQ(currentCode(), code);
        }
        break;
      }
      case 2: {  // FindKey, on the code or (non-unique) on the town
        if (table->IndexName() == "ByTown") {
          const std::string town = "T" + std::to_string(random() % 6);
          const bool any = std::any_of(model.begin(), model.end(),
                                       [&](const auto& e) { return e.second.first == town; });
          EXPECT_EQ(table->FindKey({town}), any);
          if (any) {
            EXPECT_EQ(table->FieldByName("Town").AsString(), town);
          }
          break;
        }
        const std::string code = randomCode();
        EXPECT_EQ(table->FindKey({code}), model.count(code) == 1);
        if (model.count(code)) {
          EXPECT_EQ(currentCode(), code);
        }
        break;
      }
      case 3:
        if (table->IsEmpty()) break;
        table->Edit();
        table->FieldByName("Num").SetAsInteger(-step);
        if (random() % 3 == 0) {
          table->Cancel();
        } else {
          model[currentCode()].second = -step;
          table->Post();
        }
        break;
      case 4:
        if (table->IsEmpty()) break;
        model.erase(currentCode());
        table->Delete();
        break;
      case 5:
        table->MoveBy(int(random() % 7) - 3);
        break;
      case 6:
        if (random() % 2) {
          table->First();
        } else {
          table->Last();
        }
        break;
      default:
        break;
    }
    if (!table->IsEmpty()) {
      auto it = model.find(currentCode());
      ASSERT_NE(it, model.end()) << currentCode();
      EXPECT_EQ(table->FieldByName("Num").AsInteger(), it->second.second);
      EXPECT_EQ(table->FieldByName("Town").AsString(), it->second.first);
    }
    if (step % 50 == 49) {
      ASSERT_EQ(table->RecordCount(), int32_t(model.size()));
      table->SetIndexName("");
      table->First();
      std::vector<std::string> expected;
      for (const auto& entry : model) expected.push_back(entry.first);
      ASSERT_EQ(Codes(*table), expected);
      table->SetIndexName(step % 100 == 49 ? "CodeDown" : "");
      table->First();
      std::vector<std::string> codes = Codes(*table);
      if (step % 100 == 49) std::reverse(codes.begin(), codes.end());
      ASSERT_EQ(codes, expected);
      table->SetIndexName(random() % 2 ? "ByTown" : "");
    }
  }
}

}  // namespace
}  // namespace ledra::test
