#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "engine/cursor/DataCursor.h"
#include "engine/errors/EngineError.h"
#include "engine/files/Bytes.h"
#include "engine/files/DataHeader.h"
#include "engine/index/TextParams.h"
#include "platform/Diagnostics.h"
#include "platform/WinError.h"
#include "tests/engine/cursor/CursorTestSupport.h"
#include "tests/support/ChildProcess.h"

namespace ledra {
namespace {

using platform::OsCall;
using test::EngineErrorOf;
using test::ErrorCodeRaisedBy;
using test::MakeField;
using test::FileBytes;
using test::TChildProcess;

// Code (string 10, primary), Town (string 20, no index), Num (integer,
// "ByNum" non-unique), Tag (string 8, "ByTag" unique), Id (AutoInc), Notes
// (memo: the table has a .BLB file).
enum : int { kCode = 1, kTown = 2, kNum = 3, kTag = 4, kId = 5 };

TTableDefinition AddressDefinition(bool primary = true, bool textIndex = false) {
  TTableDefinition definition;
  definition.Fields = {MakeField(1, "Code", fldString, 10),
                       MakeField(2, "Town", fldString, 20),
                       MakeField(3, "Num", fldInteger),
                       MakeField(4, "Tag", fldString, 8),
                       MakeField(5, "Id", fldInteger, 0, kSubTypeAutoInc),
                       MakeField(6, "Notes", fldBlob, 0, kSubTypeMemo)};
  if (primary) definition.PrimaryIndex.Fields = {kCode};
  TIndexDefinition byNum;
  byNum.Name = "ByNum";
  byNum.Fields = {kNum};
  TIndexDefinition byTag;
  byTag.Name = "ByTag";
  byTag.Fields = {kTag};
  byTag.Unique = true;
  definition.SecondaryIndexes = {byNum, byTag};
  if (textIndex) definition.TextIndexFields = {kTown};
  return definition;
}

struct TAddress {
  std::string code, town;
  int32_t num = 0;
  std::string tag;
};

std::vector<uint8_t> Text(std::string_view text, size_t size) {
  std::vector<uint8_t> value(size + 1, 0);
  std::memcpy(value.data(), text.data(), std::min(text.size(), size));
  return value;
}

std::vector<uint8_t> MakeImage(TDataCursor& cursor, const TAddress& a) {
  std::vector<uint8_t> image(cursor.RecordSize());
  cursor.InitRecordBuffer(image.data());
  cursor.SetFieldValue(kCode, image.data(), Text(a.code, 10).data(), false, false);
  cursor.SetFieldValue(kTown, image.data(), Text(a.town, 20).data(), false, false);
  uint8_t num[4];
  PutLE32(num, uint32_t(a.num));
  cursor.SetFieldValue(kNum, image.data(), num, false, false);
  cursor.SetFieldValue(kTag, image.data(), Text(a.tag, 8).data(), false, false);
  return image;
}

std::string StringField(TDataCursor& cursor, const uint8_t* image, int fieldNo) {
  uint8_t value[kFieldValueBufferSize] = {};
  bool isNull = false;
  cursor.GetFieldValue(fieldNo, image, isNull, value);
  return isNull ? std::string() : std::string(reinterpret_cast<const char*>(value));
}

void SetTown(TDataCursor& cursor, std::vector<uint8_t>& image, std::string_view town) {
  cursor.SetFieldValue(kTown, image.data(), Text(town, 20).data(), false, false);
}

int32_t RowId(const std::vector<uint8_t>& image) {
  return int32_t(GetLE32(&image[kRowIdOffset]));
}

// The text index's parameters in one parameter page; the table is open
// exclusively (just created).
void WriteTextParams(TDataTable& table, const TTextParams& params) {
  std::vector<uint8_t> bodies;
  EncodeTextParams(params, bodies);
  ASSERT_EQ(bodies.size(), kPageBodySize);
  TIndexFile& file = table.IndexFile();
  TPage* page = file.AllocatePage(kTextSlot);
  page->PageType = kPageParam;
  std::memcpy(page->ParamBody(), bodies.data(), kPageBodySize);
  page->Dirty = true;
  file.SetTextParamPage(page->PageNo);
  file.ReleasePage(page);
}

void SetBit(std::array<uint8_t, kCharSetSize>& set, uint8_t c) {
  set[c >> 3] = uint8_t(set[c >> 3] | (1u << (c & 7)));
}

class RecordUpdateTest : public test::CursorTest {
 protected:
  void CreateAddresses(const std::vector<TAddress>& rows, bool primary = true,
                       bool textIndex = false) {
    TOpenTableResult created =
        directory_.CreateTable(name_, false, false, AddressDefinition(primary, textIndex));
    ASSERT_NE(created.Table, nullptr);
    if (textIndex) {
      TTextParams params;
      params.StopWords = {"the"};
      SetBit(params.SpaceChars, ' ');
      SetBit(params.SpaceChars, ',');
      for (int c = 'A'; c <= 'Z'; ++c) SetBit(params.IncludeChars, uint8_t(c));
      for (int c = 'a'; c <= 'z'; ++c) SetBit(params.IncludeChars, uint8_t(c));
      WriteTextParams(*created.Table, params);
    }
    directory_.CloseTable(*created.Table, false);
    if (rows.empty()) return;
    auto cursor = OpenCursor(name_, true);
    for (const TAddress& row : rows) {
      std::vector<uint8_t> image = MakeImage(*cursor, row);
      cursor->PostInsert(image.data(), false);
    }
  }

  // The three files' bytes.
  std::vector<std::vector<uint8_t>> Files() const {
    return {FileBytes(dir_.File(name_ + ".DAT")), FileBytes(dir_.File(name_ + ".IDX")),
            FileBytes(dir_.File(name_ + ".BLB"))};
  }

  static bool Find(TDataCursor& cursor, std::string_view code) {
    std::vector<uint8_t> image = MakeImage(cursor, {std::string(code), "", 0, ""});
    return cursor.FindByKey(false, image.data(), nullptr, 0, false, 1);
  }

  static std::vector<uint8_t> Current(TDataCursor& cursor) {
    std::vector<uint8_t> image(cursor.RecordSize());
    EXPECT_EQ(cursor.ReadCurrent(image.data()), 0);
    return image;
  }

  static std::vector<std::string> Codes(TDataCursor& cursor) {
    std::vector<std::string> codes;
    std::vector<uint8_t> image(cursor.RecordSize());
    cursor.MoveToStart();
    while (cursor.ReadNext(image.data()) == 0)
      codes.push_back(StringField(cursor, image.data(), 1));
    return codes;
  }

  // No lock of any kind is left with the table.
  static void ExpectNoLocks(TDataCursor& cursor) {
    const TTableLock& lock = cursor.Table().Lock();
    EXPECT_FALSE(lock.ReadLockHeld());
    EXPECT_FALSE(lock.WriteLockHeld());
    EXPECT_TRUE(lock.LockedRecords().Empty());
    EXPECT_TRUE(lock.CursorLockedRecords().Empty());
  }

  std::string Problems() {
    TDataSession session;
    TDataDirectory& directory = session.OpenDirectory("Check", dir_.Path().string());
    TDataTable& table = *directory.OpenTable(name_, false, false, false).Table;
    std::string problems = test::TableFindings(table);
    directory.CloseTable(table, false);
    return problems;
  }

  std::string name_ = "Addr";
  const std::vector<TAddress> kThree = {
      {"A", "Aston", 1, "ta"}, {"B", "Bray", 2, "tb"}, {"C", "Cobh", 1, "tc"}};
};

// A second process that edits the table on command: 1 = lock record A for an
// edit, 2 = cancel that edit, 3 = change A's town (a whole edit). It answers
// each command with 0; an engine error it raises fails the test.
class TEditorChild {
 public:
  explicit TEditorChild(const std::string& path)
      : child_([path](TChildProcess& self) {
          TDataSession session;
          TDataDirectory& directory = session.OpenDirectory("Other", path);
          TDataCursor cursor(directory);
          cursor.SetTableName("Addr");
          cursor.Open();
          std::vector<uint8_t> image(cursor.RecordSize());
          int changes = 0;
          for (;;) {
            std::optional<uint32_t> command = self.Receive();
            if (!command || *command == 0) return;
            cursor.MoveToStart();
            cursor.ReadNext(image.data());
            if (*command == 1) cursor.ReadCurrent(image.data(), true);
            if (*command == 2) cursor.CancelEdit();
            if (*command == 3) {
              // What this process shows may be older than the table: the
              // refused edit brings it up to date, as a user would see.
              try {
                cursor.ReadCurrent(image.data(), true);
              } catch (const ELedraEngineError& error) {
                if (error.ErrorCode != LEDRA_KEYORRECDELETED) throw;
                cursor.ReadCurrent(image.data());
                cursor.ReadCurrent(image.data(), true);
              }
              SetTown(cursor, image, "Moved" + std::to_string(++changes));
              cursor.PostEdit(image.data());
            }
            self.Send(0);
          }
        }) {}

  uint32_t Run(uint32_t command) {
    child_.Send(command);
    return child_.Receive().value_or(0xFFFFFFFF);
  }

 private:
  TChildProcess child_;
};

TEST_F(RecordUpdateTest, EditOfANonKeyFieldWritesOnlyTheDataFile) {
  CreateAddresses(kThree);
  auto cursor = OpenCursor("Addr");
  ASSERT_TRUE(Find(*cursor, "B"));
  const auto before = Files();
  const TDataHeader header = DecodeDataHeader(before[0].data());

  std::vector<uint8_t> image = Current(*cursor);
  ASSERT_EQ(cursor->ReadCurrent(image.data(), true), 0);
  EXPECT_EQ(cursor->EditLockRecordNo(), 2);
  EXPECT_TRUE(cursor->Table().Lock().LockedRecords().Contains(2));
  SetTown(*cursor, image, "Dublin");
  cursor->PostEdit(image.data());
  ExpectNoLocks(*cursor);
  EXPECT_EQ(cursor->EditLockRecordNo(), 0);

  // Written at once: the slot and the header, its counter advanced; the
  // index file is untouched, its counter included.
  const auto after = Files();
  const TDataHeader written = DecodeDataHeader(after[0].data());
  EXPECT_EQ(written.ChangeCount, header.ChangeCount + 1);
  EXPECT_EQ(written.LastAutoInc, header.LastAutoInc);
  EXPECT_EQ(after[1], before[1]);
  EXPECT_EQ(after[2], before[2]);
  const size_t slot2 = size_t(header.SlotsOffset()) + header.RecordSize;
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(&after[0][slot2 + 22])), "Dublin");
  // The cursor stands on the written record, in the same order.
  EXPECT_EQ(StringField(*cursor, cursor->CurrentRecord(), kTown), "Dublin");
  EXPECT_EQ(cursor->GetSequenceNo(), 2);

  // A key change moves the index file's counter and the record in the order.
  image = Current(*cursor);
  ASSERT_EQ(cursor->ReadCurrent(image.data(), true), 0);
  cursor->SetFieldValue(kCode, image.data(), Text("D", 10).data(), false, false);
  cursor->PostEdit(image.data());
  EXPECT_EQ(GetLE32(FileBytes(dir_.File("Addr.IDX")).data()), GetLE32(before[1].data()) + 1);
  EXPECT_EQ(cursor->GetSequenceNo(), 3);
  EXPECT_EQ(Codes(*cursor), (std::vector<std::string>{"A", "C", "D"}));
  EXPECT_EQ(Problems(), "");
}

TEST_F(RecordUpdateTest, KeyViolationChangesNothing) {
  CreateAddresses(kThree);
  auto cursor = OpenCursor("Addr");
  ASSERT_TRUE(Find(*cursor, "B"));
  const auto before = Files();
  const int32_t lastAutoInc = DecodeDataHeader(before[0].data()).LastAutoInc;

  // An insert whose primary key is taken: the row id it was given stays in
  // the caller's image, nothing else changes anywhere.
  std::vector<uint8_t> insert = MakeImage(*cursor, {"C", "Cork", 9, "tz"});
  PutLE32(&insert[kRowIdOffset], 777);
  auto error = EngineErrorOf([&] { cursor->PostInsert(insert.data()); });
  ASSERT_TRUE(error);
  EXPECT_EQ(error->ErrorCode, LEDRA_KEYVIOL);
  EXPECT_EQ(error->ErrorIndex, "Primary");
  EXPECT_EQ(error->ErrorTable, "Addr");
  EXPECT_EQ(RowId(insert), lastAutoInc + 1);
  EXPECT_EQ(Files(), before);
  ExpectNoLocks(*cursor);
  EXPECT_EQ(StringField(*cursor, cursor->CurrentRecord(), kCode), "B");

  // An edit whose unique secondary key is another record's: the edit lock
  // stays for a corrected post; the post's own locks are gone.
  std::vector<uint8_t> image = Current(*cursor);
  ASSERT_EQ(cursor->ReadCurrent(image.data(), true), 0);
  cursor->SetFieldValue(kTag, image.data(), Text("tc", 8).data(), false, false);
  error = EngineErrorOf([&] { cursor->PostEdit(image.data()); });
  ASSERT_TRUE(error);
  EXPECT_EQ(error->ErrorCode, LEDRA_KEYVIOL);
  EXPECT_EQ(error->ErrorIndex, "ByTag");
  EXPECT_EQ(Files(), before);
  EXPECT_FALSE(cursor->Table().Lock().WriteLockHeld());
  EXPECT_EQ(cursor->EditLockRecordNo(), 2);
  cursor->SetFieldValue(kTag, image.data(), Text("tq", 8).data(), false, false);
  cursor->PostEdit(image.data());
  ExpectNoLocks(*cursor);
  EXPECT_EQ(StringField(*cursor, cursor->CurrentRecord(), kTag), "tq");

  // A corrected insert takes the row id it was given before.
  cursor->SetFieldValue(kCode, insert.data(), Text("E", 10).data(), false, false);
  cursor->PostInsert(insert.data());
  EXPECT_EQ(RowId(insert), lastAutoInc + 1);
  EXPECT_EQ(Problems(), "");
}

TEST_F(RecordUpdateTest, PessimisticEditLocksTheRecordAgainstOtherProcesses) {
  if (!test::IsChildProcess()) CreateAddresses(kThree);  // the other process opens it
  TEditorChild other(dir_.Path().string());
  test::UseQuickLocks(session_);
  auto cursor = OpenCursor("Addr");
  std::vector<uint8_t> image(cursor->RecordSize());
  ASSERT_EQ(cursor->ReadNext(image.data()), 0);

  // Another process edits record A: this Edit fails after 1 + 2 attempts,
  // the record bytes only tried under the read lock (one byte of each of
  // the .IDX and .BLB files), and leaves no lock.
  ASSERT_EQ(other.Run(1), 0u);
  platform::ResetCallCounts();
  EXPECT_EQ(ErrorCodeRaisedBy([&] { cursor->ReadCurrent(image.data(), true); }),
            LEDRA_RECLOCKFAILED);
  EXPECT_EQ(platform::CallCount(OsCall::Lock), 2u + 3u);
  ExpectNoLocks(*cursor);
  EXPECT_EQ(cursor->EditLockRecordNo(), 0);

  // A second cursor of this process is refused at once, without a lock call.
  ASSERT_EQ(other.Run(2), 0u);
  ASSERT_EQ(cursor->ReadCurrent(image.data(), true), 0);
  auto second = OpenCursor("Addr");
  std::vector<uint8_t> same(second->RecordSize());
  ASSERT_EQ(second->ReadNext(same.data()), 0);
  platform::ResetCallCounts();
  EXPECT_EQ(ErrorCodeRaisedBy([&] { second->ReadCurrent(same.data(), true); }),
            LEDRA_RECLOCKFAILED);
  EXPECT_EQ(platform::CallCount(OsCall::Lock), 0u);
  EXPECT_EQ(ErrorCodeRaisedBy([&] { second->DeleteCurrent(same.data()); }), LEDRA_RECLOCKFAILED);
  cursor->CancelEdit();
  ExpectNoLocks(*cursor);
  // A cursor that closes in the middle of an edit gives its lock back.
  ASSERT_EQ(second->ReadCurrent(same.data(), true), 0);
  second.reset();
  ExpectNoLocks(*cursor);

  // The other process changes A after this cursor read it: the Edit finds
  // the change and leaves no lock; read again, the edit goes through.
  ASSERT_EQ(other.Run(3), 0u);
  EXPECT_EQ(ErrorCodeRaisedBy([&] { cursor->ReadCurrent(image.data(), true); }),
            LEDRA_KEYORRECDELETED);
  ExpectNoLocks(*cursor);
  image = Current(*cursor);
  EXPECT_EQ(StringField(*cursor, image.data(), kTown), "Moved1");
  ASSERT_EQ(cursor->ReadCurrent(image.data(), true), 0);
  SetTown(*cursor, image, "Mine");
  cursor->PostEdit(image.data());
  EXPECT_EQ(other.Run(3), 0u);
  EXPECT_EQ(Problems(), "");
}

TEST_F(RecordUpdateTest, OptimisticPostRefusesARecordChangedMeanwhile) {
  if (!test::IsChildProcess()) CreateAddresses(kThree);  // the other process opens it
  TEditorChild other(dir_.Path().string());
  session_.SetLockProtocol(1);
  auto cursor = OpenCursor("Addr");
  std::vector<uint8_t> image(cursor->RecordSize());
  ASSERT_EQ(cursor->ReadNext(image.data()), 0);
  ASSERT_EQ(cursor->ReadCurrent(image.data(), true), 0);
  // Editing takes no lock.
  ExpectNoLocks(*cursor);
  SetTown(*cursor, image, "Mine");

  ASSERT_EQ(other.Run(3), 0u);
  const auto before = Files();
  EXPECT_EQ(ErrorCodeRaisedBy([&] { cursor->PostEdit(image.data()); }), LEDRA_KEYORRECDELETED);
  EXPECT_TRUE(cursor->PostRefused());
  // Refused again, even though the cursor has seen the new record by now.
  EXPECT_EQ(ErrorCodeRaisedBy([&] { cursor->PostEdit(image.data()); }), LEDRA_KEYORRECDELETED);
  EXPECT_EQ(Files(), before);
  ExpectNoLocks(*cursor);

  cursor->CancelEdit();
  EXPECT_FALSE(cursor->PostRefused());
  image = Current(*cursor);
  EXPECT_EQ(StringField(*cursor, image.data(), kTown), "Moved1");
  ASSERT_EQ(cursor->ReadCurrent(image.data(), true), 0);
  SetTown(*cursor, image, "Mine");
  cursor->PostEdit(image.data());
  ExpectNoLocks(*cursor);
  EXPECT_EQ(StringField(*cursor, Current(*cursor).data(), kTown), "Mine");
  EXPECT_EQ(Problems(), "");
}

TEST_F(RecordUpdateTest, FreedSlotsAreReusedOnlyWithAPrimaryIndex) {
  for (bool primary : {true, false}) {
    SCOPED_TRACE(primary ? "primary index" : "no primary index");
    std::vector<TAddress> six;
    for (char c : std::string("ABCDEF")) six.push_back({std::string(1, c), "", 0, {c, 't'}});
    name_ = primary ? "Keyed" : "Plain";
    CreateAddresses(six, primary);
    {
      auto cursor = OpenCursor(name_);
      for (int32_t recordNo : {2, 5}) {
        cursor->MoveToSequence(recordNo == 2 ? 2 : 4);
        ASSERT_EQ(cursor->CurrentRecordNo(), recordNo);
        const std::vector<uint8_t> shown = Current(*cursor);
        cursor->DeleteCurrent(shown.data());
        // The record that followed it is current.
        EXPECT_EQ(cursor->CurrentRecordNo(), recordNo + 1);
      }
      ExpectNoLocks(*cursor);
      EXPECT_EQ(cursor->GetRecordCount(), 4);

      // A freed slot keeps its fields; only its flag and link change.
      const std::vector<uint8_t> dat = FileBytes(dir_.File(name_ + ".DAT"));
      const TDataHeader header = DecodeDataHeader(dat.data());
      const uint8_t* slot5 = &dat[size_t(header.SlotsOffset()) + 4u * header.RecordSize];
      EXPECT_EQ(slot5[0], 1);
      EXPECT_EQ(GetLE32(slot5 + 1), primary ? 2u : 0u);
      EXPECT_EQ(slot5[10], 'E');
      EXPECT_EQ(header.FirstFreeRecord, 5);

      std::vector<int32_t> taken;
      for (const char* code : {"G", "H", "I"}) {
        std::vector<uint8_t> image = MakeImage(*cursor, {code, "", 0, code});
        cursor->PostInsert(image.data());
        taken.push_back(cursor->CurrentRecordNo());
        EXPECT_EQ(StringField(*cursor, cursor->CurrentRecord(), kCode), code);
      }
      EXPECT_EQ(taken, primary ? std::vector<int32_t>({5, 2, 7}) : std::vector<int32_t>({7, 8, 9}));
      EXPECT_EQ(cursor->Table().DataFile().FirstFreeRecord(), 0);
    }
    EXPECT_EQ(Problems(), "");
  }
}

TEST_F(RecordUpdateTest, RowIdsComeFromTheTableAndEditsKeepThem) {
  CreateAddresses(kThree);
  auto cursor = OpenCursor("Addr");
  const int32_t last = cursor->Table().DataFile().LastAutoInc();
  ASSERT_EQ(last, 3);

  std::vector<uint8_t> image = MakeImage(*cursor, {"D", "", 4, "td"});
  PutLE32(&image[kRowIdOffset], 100);
  cursor->PostInsert(image.data());
  EXPECT_EQ(RowId(image), last + 1);
  EXPECT_EQ(RowId(Current(*cursor)), last + 1);

  // An edit cannot change the AutoInc value; LastAutoInc stays.
  image = Current(*cursor);
  ASSERT_EQ(cursor->ReadCurrent(image.data(), true), 0);
  PutLE32(&image[kRowIdOffset], 2);
  cursor->PostEdit(image.data());
  EXPECT_EQ(RowId(Current(*cursor)), last + 1);
  EXPECT_EQ(cursor->Table().DataFile().LastAutoInc(), last + 1);

  // Supplied row ids are kept only when asked for; LastAutoInc follows the
  // largest, and a row id another record has is a duplicate.
  cursor->SetKeepRowIds(true);
  ASSERT_TRUE(cursor->KeepRowIds());
  image = MakeImage(*cursor, {"E", "", 5, "te"});
  PutLE32(&image[kRowIdOffset], 50);
  cursor->PostInsert(image.data());
  EXPECT_EQ(RowId(Current(*cursor)), 50);
  EXPECT_EQ(cursor->Table().DataFile().LastAutoInc(), 50);
  image = MakeImage(*cursor, {"F", "", 6, "tf"});
  PutLE32(&image[kRowIdOffset], 2);
  auto error = EngineErrorOf([&] { cursor->PostInsert(image.data()); });
  ASSERT_TRUE(error);
  EXPECT_EQ(error->ErrorCode, LEDRA_KEYVIOL);
  EXPECT_EQ(error->ErrorIndex, "Sys Deleted");
  EXPECT_EQ(Problems(), "");
}

TEST_F(RecordUpdateTest, InsideATransactionChangesWaitForTheCommit) {
  CreateAddresses(kThree);
  auto cursor = OpenCursor("Addr");
  ASSERT_TRUE(Find(*cursor, "B"));
  const auto before = Files();
  const TTableLock& lock = cursor->Table().Lock();

  directory_.StartTransaction();
  std::vector<uint8_t> image = Current(*cursor);
  ASSERT_EQ(cursor->ReadCurrent(image.data(), true), 0);
  SetTown(*cursor, image, "Trim");
  cursor->PostEdit(image.data());
  // Only marked; the record's byte stays locked until the transaction ends.
  EXPECT_EQ(Files(), before);
  EXPECT_TRUE(lock.LockedRecords().Contains(2));
  EXPECT_TRUE(lock.UnlockPending().Contains(2));
  EXPECT_TRUE(lock.CursorLockedRecords().Empty());
  EXPECT_EQ(StringField(*cursor, Current(*cursor).data(), kTown), "Trim");

  directory_.Commit(false);
  ExpectNoLocks(*cursor);
  const auto after = Files();
  EXPECT_GT(DecodeDataHeader(after[0].data()).ChangeCount,
            DecodeDataHeader(before[0].data()).ChangeCount);
  EXPECT_EQ(after[1], before[1]);
  EXPECT_EQ(Problems(), "");
}

TEST_F(RecordUpdateTest, OwnChangesFollowTheCursorsView) {
  // Natural order with a filter that hides records whose Num is 0.
  CreateAddresses(kThree, false);
  auto cursor = OpenCursor("Addr");
  cursor->AddFilter([&](const uint8_t* image) { return GetLE32(image + 44) != 0; });
  ASSERT_EQ(cursor->GetRecordCount(), 3);
  cursor->MoveToSequence(2);

  std::vector<uint8_t> hidden = MakeImage(*cursor, {"D", "", 0, "td"});
  cursor->PostInsert(hidden.data());
  EXPECT_EQ(cursor->GetRecordCount(), 3);
  std::vector<uint8_t> shown = MakeImage(*cursor, {"E", "", 5, "te"});
  cursor->PostInsert(shown.data());
  EXPECT_EQ(cursor->GetRecordCount(), 4);
  EXPECT_EQ(cursor->CurrentRecordNo(), 5);
  EXPECT_EQ(cursor->GetSequenceNo(), 4);
  EXPECT_EQ(Codes(*cursor), (std::vector<std::string>{"A", "B", "C", "E"}));

  // An edit that the filter refuses takes the record out of the view.
  ASSERT_TRUE(cursor->GotoBookmark(std::vector<uint8_t>{2, 0, 0, 0}.data(), true));
  std::vector<uint8_t> image = Current(*cursor);
  ASSERT_EQ(cursor->ReadCurrent(image.data(), true), 0);
  PutLE32(&image[44], 0);
  cursor->PostEdit(image.data());
  EXPECT_EQ(cursor->GetRecordCount(), 3);
  EXPECT_EQ(StringField(*cursor, cursor->CurrentRecord(), kCode), "C");

  // A copy for a new record takes the fields, not the row id.
  std::vector<uint8_t> copy(cursor->RecordSize(), 0xEE);
  cursor->CopyCurrentToNew(copy.data());
  EXPECT_EQ(StringField(*cursor, copy.data(), kCode), "C");
  EXPECT_EQ(RowId(copy), 0);
  EXPECT_EQ(copy[0], 0);

  cursor->DeleteCurrent(cursor->CurrentRecord());
  EXPECT_EQ(cursor->GetRecordCount(), 2);
  EXPECT_EQ(StringField(*cursor, cursor->CurrentRecord(), kCode), "E");
  EXPECT_EQ(Problems(), "");
}

TEST_F(RecordUpdateTest, TextIndexFollowsTheWordsOfTheValue) {
  CreateAddresses({}, true, true);
  auto cursor = OpenCursor("Addr");
  TCursorIndex text = test::IndexOf(cursor->Table(), kTextSlot);
  // The words and record numbers the text index holds.
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

  std::vector<uint8_t> image = MakeImage(*cursor, {"A", "main,the Main street", 1, "ta"});
  cursor->PostInsert(image.data());
  std::vector<uint8_t> other = MakeImage(*cursor, {"B", "Street", 2, "tb"});
  cursor->PostInsert(other.data());
  EXPECT_EQ(words(), (TWords{{"MAIN", 1}, {"STREET", 1}, {"STREET", 2}}));

  // Only the case changes: every key stays.
  ASSERT_TRUE(Find(*cursor, "A"));
  image = Current(*cursor);
  ASSERT_EQ(cursor->ReadCurrent(image.data(), true), 0);
  SetTown(*cursor, image, "MAIN Street");
  cursor->PostEdit(image.data());
  EXPECT_EQ(words(), (TWords{{"MAIN", 1}, {"STREET", 1}, {"STREET", 2}}));

  // A word leaves, another arrives.
  image = Current(*cursor);
  ASSERT_EQ(cursor->ReadCurrent(image.data(), true), 0);
  SetTown(*cursor, image, "main Road");
  cursor->PostEdit(image.data());
  EXPECT_EQ(words(), (TWords{{"MAIN", 1}, {"ROAD", 1}, {"STREET", 2}}));

  cursor->DeleteCurrent(Current(*cursor).data());
  EXPECT_EQ(words(), (TWords{{"STREET", 2}}));
  EXPECT_EQ(Problems(), "");
}

TEST_F(RecordUpdateTest, AFailedWriteLeavesTheFilesAndReleasesEveryLock) {
  CreateAddresses(kThree);
  auto cursor = OpenCursor("Addr");
  ASSERT_TRUE(Find(*cursor, "B"));
  const auto before = Files();

  // The first write of the commit (the new slot) fails: the buffers holding
  // the half-made change are dropped, nothing reached the files, and the
  // cursor is where it was.
  std::vector<uint8_t> image = MakeImage(*cursor, {"D", "Derry", 4, "td"});
  platform::FailNext(OsCall::Write, platform::kErrorWriteFault);
  EXPECT_EQ(ErrorCodeRaisedBy([&] { cursor->PostInsert(image.data()); }), LEDRA_WRITEERR);
  platform::ClearFaults();
  ExpectNoLocks(*cursor);
  EXPECT_EQ(Files(), before);
  EXPECT_EQ(cursor->Table().IndexFile().LiveRecordCount(), 3);
  EXPECT_EQ(StringField(*cursor, cursor->CurrentRecord(), kCode), "B");
  EXPECT_EQ(cursor->GetRecordCount(), 3);

  // The same for an edit that changes keys, and a delete.
  image = Current(*cursor);
  ASSERT_EQ(cursor->ReadCurrent(image.data(), true), 0);
  cursor->SetFieldValue(kCode, image.data(), Text("Z", 10).data(), false, false);
  platform::FailNext(OsCall::Write, platform::kErrorWriteFault);
  EXPECT_EQ(ErrorCodeRaisedBy([&] { cursor->PostEdit(image.data()); }), LEDRA_WRITEERR);
  platform::ClearFaults();
  EXPECT_EQ(Files(), before);
  EXPECT_FALSE(cursor->Table().Lock().WriteLockHeld());
  cursor->CancelEdit();
  ExpectNoLocks(*cursor);
  platform::FailNext(OsCall::Write, platform::kErrorWriteFault);
  EXPECT_EQ(ErrorCodeRaisedBy([&] { cursor->DeleteCurrent(Current(*cursor).data()); }),
            LEDRA_WRITEERR);
  platform::ClearFaults();
  EXPECT_EQ(Files(), before);
  ExpectNoLocks(*cursor);

  // Then the insert goes through as if nothing had happened.
  image = MakeImage(*cursor, {"D", "Derry", 4, "td"});
  cursor->PostInsert(image.data());
  EXPECT_EQ(cursor->CurrentRecordNo(), 4);
  EXPECT_EQ(Codes(*cursor), (std::vector<std::string>{"A", "B", "C", "D"}));
  EXPECT_EQ(Problems(), "");
}

TEST_F(RecordUpdateTest, ExclusiveAndReadOnlyCursors) {
  CreateAddresses(kThree);
  {
    // Held exclusively: no lock call, and changes wait in memory until the
    // table closes.
    auto cursor = OpenCursor("Addr", true);
    const auto before = Files();
    platform::ResetCallCounts();
    std::vector<uint8_t> image = MakeImage(*cursor, {"D", "", 4, "td"});
    cursor->PostInsert(image.data());
    image = Current(*cursor);
    ASSERT_EQ(cursor->ReadCurrent(image.data(), true), 0);
    SetTown(*cursor, image, "Kells");
    cursor->PostEdit(image.data());
    ASSERT_TRUE(Find(*cursor, "A"));
    cursor->DeleteCurrent(nullptr);
    EXPECT_EQ(platform::CallCount(OsCall::Lock), 0u);
    EXPECT_EQ(platform::CallCount(OsCall::Write), 0u);
    EXPECT_EQ(Files(), before);
  }
  EXPECT_EQ(Problems(), "");

  auto reader = std::make_unique<TDataCursor>(directory_);
  reader->SetTableName("Addr");
  reader->SetReadOnly(true);
  reader->Open();
  std::vector<uint8_t> image = MakeImage(*reader, {"Q", "", 0, "tq"});
  EXPECT_EQ(ErrorCodeRaisedBy([&] { reader->PostInsert(image.data()); }), LEDRA_OSEACCES);
  ASSERT_EQ(reader->ReadNext(image.data()), 0);
  EXPECT_EQ(ErrorCodeRaisedBy([&] { reader->DeleteCurrent(image.data()); }), LEDRA_OSEACCES);
  EXPECT_EQ(Codes(*reader), (std::vector<std::string>{"B", "C", "D"}));
}

}  // namespace
}  // namespace ledra
