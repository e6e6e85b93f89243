// The update run beside a second program that has the address book open at
// the same time: a real process with handles and locks of its own, working in
// step with the test (tests/support/ChildProcess.h). The second process is
// made before this one opens any table; the tables are written once, by the
// test's own process.
#include "tests/support/ChildProcess.h"

#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "app/AddressBook.h"
#include "app/UpdateRun.h"
#include "components/LedraField.h"
#include "components/LedraSession.h"
#include "components/LedraTable.h"
#include "engine/errors/EngineError.h"
#include "tests/app/TestTables.h"
#include "tests/app/core/RunScript.h"
#include "tests/support/EngineErrors.h"
#include "tests/support/TempDir.h"

namespace ostrevo {

namespace {

using ledra::test::TChildProcess;
using test::TAddress;
using test::TRecords;
using test::TScript;

// The session's lock retries for the test's lifetime (they are the process's
// own: the next test starts from the defaults again).
class TLockRetries {
 public:
  TLockRetries(uint8_t count, uint16_t waitMs)
      : count_(ledra::Session().LockRetryCount()), wait_(ledra::Session().LockWaitTime()) {
    ledra::Session().SetLockRetryCount(count);
    ledra::Session().SetLockWaitTime(waitMs);
  }
  ~TLockRetries() {
    ledra::Session().SetLockRetryCount(count_);
    ledra::Session().SetLockWaitTime(wait_);
  }

 private:
  uint8_t count_;
  uint16_t wait_;
};

const char kTowns[] =
    "100001,Dongcheng,,,\n"
    "200001,Huangpu Shanghai,Xuhui,,\n";

// The address book and the new-town table in one directory, written by the
// test's process only (a second process started again replays the test up to
// its child and must not write them twice).
void WriteTables(const ledra::test::TempDir& dir, const std::vector<TAddress>& addresses) {
  if (ledra::test::IsChildProcess()) return;
  test::CreateAddressBook(dir.Path(), addresses);
  test::CreateNewTowns(dir.Path(), kTowns);
}

// The run's two tables, opened by the test's process.
struct TRunTables {
  explicit TRunTables(const std::string& dir) {
    SetUpAddressBook(addressBook);
    addressBook.SetDatabaseName(dir);
    SetUpNewTownTable(newTowns);
    newTowns.SetDatabaseName(dir);
    addressBook.Open();
    newTowns.Open();
  }
  void Close() {
    addressBook.Close();
    newTowns.Close();
  }
  ledra::TLedraTable addressBook;
  ledra::TLedraTable newTowns;
};

std::vector<std::string> Words(const std::string& command) {
  std::vector<std::string> words;
  std::stringstream in(command);
  for (std::string word; std::getline(in, word, '\t');) words.push_back(word);
  return words;
}

// The second program's side: the address book open through the component
// layer, used on the test's word. Commands are tab-separated; each is
// answered with 1 once done, `read` with the field's text:
//   hold ACCOUNT               starts editing the record (its lock held)
//   cancel [DELAY_MS]          ends that edit, after the delay
//   edit ACCOUNT FIELD VALUE   changes one field and posts
//   add ACCOUNT COUNTRY POSTCODE TOWN
//   read ACCOUNT FIELD
void OtherProgram(TChildProcess& self, const std::string& dir) {
  TLockRetries retries(2, 10);
  // Sees the run's writes at once instead of through what it has cached.
  ledra::Session().SetStrictChangeDetection(true);
  ledra::TLedraTable table;
  SetUpAddressBook(table);
  table.SetDatabaseName(dir);
  table.Open();
  auto find = [&](const std::string& account) {
    if (!table.FindKey({account})) throw std::runtime_error("no record " + account);
  };
  self.Send(1);
  while (std::optional<std::string> command = self.ReceiveText()) {
    const std::vector<std::string> words = Words(*command);
    const std::string& verb = words.at(0);
    if (verb == "hold") {
      find(words.at(1));
      table.Edit();
    } else if (verb == "cancel") {
      if (words.size() > 1) {
        std::this_thread::sleep_for(std::chrono::milliseconds(std::stoi(words[1])));
      }
      table.Cancel();
    } else if (verb == "edit") {
      find(words.at(1));
      table.Edit();
      table.FieldByName(words.at(2)).SetAsString(words.at(3));
      table.Post();
    } else if (verb == "add") {
      table.Append();
      table.FieldByName("ACC_NR").SetAsString(words.at(1));
      table.FieldByName("COU_ID").SetAsString(words.at(2));
      table.FieldByName("NAD_PCODE_CD").SetAsString(words.at(3));
      table.FieldByName("NAD_CITY_NM").SetAsString(words.at(4));
      table.FieldByName("NAD_NM").SetAsString("Added by the other program");
      table.Post();
    } else if (verb == "read") {
      find(words.at(1));
      self.SendText(table.FieldByName(words.at(2)).AsString());
      continue;
    } else {
      throw std::runtime_error("unknown command " + verb);
    }
    self.Send(1);
  }
  table.Close();
}

bool Verified(const std::filesystem::path& dir) {
  return test::Ledra({"verify", dir.string(), "Smeadt01"});
}

std::string FileBytes(const std::filesystem::path& path) {
  std::ifstream file(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(file), {});
}

const std::vector<TAddress> kSix = {
    {"A01", "CN", "100001", "Beijing", "Beijing"},   {"A02", "GB", "IP1", "Ipswich", "Suffolk"},
    {"A03", "CN", "200001", "Shanghai", "Shanghai"}, {"A04", "CN", "100001", "Peking", "Beijing"},
    {"A05", "CN", "200001", "Hu", "Shanghai"},       {"A06", "FR", "75001", "Paris", ""}};

// The tables in a directory of the test's own, and the other program beside
// the run.
class UpdateRunSharingTest : public ::testing::Test {
 protected:
  // Writes the tables and starts the other program with the address book
  // open, ready for commands.
  void StartOtherProgram(const std::vector<TAddress>& addresses) {
    WriteTables(data_, addresses);
    other_.emplace([dir = dir_](TChildProcess& self) { OtherProgram(self, dir); });
    ASSERT_TRUE(other_->Started());
    ASSERT_EQ(other_->Receive(), std::optional<uint32_t>(1));
  }

  // The six addresses, with the other program in the middle of an edit of
  // `account`: it holds that record's lock until told to "cancel".
  void HoldInOtherProgram(const std::string& account) {
    ASSERT_NO_FATAL_FAILURE(StartOtherProgram(kSix));
    Tell("hold\t" + account);
  }

  // Sends a command and waits until the other program has done it.
  void Tell(const std::string& command) {
    other_->SendText(command);
    EXPECT_EQ(other_->Receive(), std::optional<uint32_t>(1)) << command;
  }

  // Lets the other program go: it must end cleanly and leave, with the run,
  // tables the table utility finds sound.
  void FinishOtherProgram() {
    EXPECT_TRUE(other_->Finish());
    EXPECT_TRUE(Verified(data_.Path()));
  }

  ledra::test::TempDir data_;
  const std::string dir_ = data_.Path().string();
  std::optional<TChildProcess> other_;
};

}  // namespace

TEST_F(UpdateRunSharingTest, ARecordTheOtherProgramHoldsEndsTheRunAfterTheRetries) {
  ASSERT_NO_FATAL_FAILURE(HoldInOtherProgram("A04"));
  const TRecords before = test::ReadAddressBook(data_.Path());

  TLockRetries retries(2, 10);
  TRunTables tables(dir_);
  TTownChoice choice;
  TScript script;
  script.table = &tables.addressBook;
  TUpdateRun run(tables.addressBook, tables.newTowns, choice, script, script, script);
  const std::optional<ledra::ELedraEngineError> error =
      ledra::test::EngineErrorOf([&] { run.Run(); });
  ASSERT_TRUE(error.has_value());
  EXPECT_EQ(error->ErrorCode, ledra::LEDRA_RECLOCKFAILED) << error->what();
  EXPECT_NE(std::string(error->what()).find("Smeadt01"), std::string::npos) << error->what();

  // The loop ended at the held record; the closing step ran; the counters
  // keep what the records before it reached.
  EXPECT_EQ(script.counters, (std::vector<std::string>{"6 1 1 0 0", "6 1 1 0 1", "6 2 2 0 1"}));
  ASSERT_GE(script.log.size(), size_t(3));
  EXPECT_EQ(script.log[script.log.size() - 3], "hide");
  EXPECT_EQ(script.log[script.log.size() - 2], std::string("status ") + kStatusComplete);
  EXPECT_TRUE(script.disabledAtStart);
  EXPECT_FALSE(tables.addressBook.ControlsDisabled());
  // Not left half-way into an edit it could not lock.
  EXPECT_EQ(tables.addressBook.State(), ledra::dsBrowse);

  // Posted before the failure: written; from the held record on: as before.
  TRecords expected = before;
  expected["A01"]["NAD_CITY_NM"] = "DONGCHENG";
  expected["A03"]["NAD_CITY_NM"] = "HUANGPU SHANGHAI";
  EXPECT_TRUE(test::ReadAddressBook(data_.Path()) == expected);

  // The run holds no lock: the other program, with retries as short as the
  // run's, edits the record the run last wrote and the one it could not.
  Tell("cancel");
  Tell("edit\tA03\tNAD_NM\tRenamed after the failed run");
  Tell("edit\tA04\tNAD_NM\tRenamed after the failed run");
  expected["A03"]["NAD_NM"] = "Renamed after the failed run";
  expected["A04"]["NAD_NM"] = "Renamed after the failed run";

  // A new run on the same open tables re-examines every record and finishes
  // the job, keeping what the other program wrote.
  script.counters.clear();
  run.Run();
  EXPECT_EQ(run.TotalUpdated, 4u);
  EXPECT_EQ(script.counters.back(), "6 4 4 0 2");
  expected["A04"]["NAD_CITY_NM"] = "DONGCHENG";
  expected["A05"]["NAD_CITY_NM"] = "HUANGPU SHANGHAI";
  EXPECT_TRUE(test::ReadAddressBook(data_.Path()) == expected);
  EXPECT_EQ(tables.addressBook.State(), ledra::dsBrowse);

  tables.Close();
  FinishOtherProgram();
}

TEST_F(UpdateRunSharingTest, ARecordLetGoWhileTheRunRetriesIsWritten) {
  ASSERT_NO_FATAL_FAILURE(HoldInOtherProgram("A04"));

  // Up to five seconds of retries; the other program lets go after half a
  // second, while the run waits for the record.
  TLockRetries retries(50, 100);
  TRunTables tables(dir_);
  TTownChoice choice;
  TScript script;
  bool toldToLetGo = false;
  script.afterRecord = [&](int step) {
    if (step != 3) return;
    other_->SendText("cancel\t500");
    toldToLetGo = true;
  };
  TUpdateRun run(tables.addressBook, tables.newTowns, choice, script, script, script);
  const auto started = std::chrono::steady_clock::now();
  EXPECT_NO_THROW(run.Run());
  const auto took = std::chrono::steady_clock::now() - started;
  ASSERT_TRUE(toldToLetGo);
  EXPECT_EQ(other_->Receive(), std::optional<uint32_t>(1));
  // It waited for the record rather than passing over it.
  EXPECT_GE(took, std::chrono::milliseconds(400));

  EXPECT_EQ(run.TotalUpdated, 4u);
  EXPECT_EQ(script.counters.back(), "6 4 4 0 2");
  const TRecords after = test::ReadAddressBook(data_.Path());
  EXPECT_EQ(after.at("A04").at("NAD_CITY_NM"), "DONGCHENG");
  EXPECT_EQ(after.at("A05").at("NAD_CITY_NM"), "HUANGPU SHANGHAI");

  tables.Close();
  FinishOtherProgram();
}

TEST_F(UpdateRunSharingTest, EditsAndAddsOfTheOtherProgramDuringTheRunAreKept) {
  // Twelve addresses: every third abroad, the rest China with a listed
  // postcode, so the run writes eight of them.
  std::vector<TAddress> addresses;
  std::map<std::string, std::string> expectedTowns;
  for (int i = 1; i <= 12; ++i) {
    char account[8];
    std::snprintf(account, sizeof account, "A%02d", i);
    if (i % 3 == 0) {
      addresses.push_back({account, "DE", "1011" + std::to_string(i), "Berlin", "Berlin"});
      expectedTowns[account] = "Berlin";
    } else if (i % 2 == 0) {
      addresses.push_back({account, "CN", "100001", "Peking", "Beijing"});
      expectedTowns[account] = "DONGCHENG";
    } else {
      addresses.push_back({account, "cn", "200001", "Shanghai", "shanghai"});
      expectedTowns[account] = "HUANGPU SHANGHAI";
    }
  }
  ASSERT_NO_FATAL_FAILURE(StartOtherProgram(addresses));
  const TRecords before = test::ReadAddressBook(data_.Path());

  TLockRetries retries(2, 10);
  TRunTables tables(dir_);

  // What the other program does, and after which record of the run.
  const std::map<int, std::vector<std::string>> commands = {
      // A record the run has written, one it has passed over, and two it has
      // still to write: the other program's fields must survive the run's
      // writes, and the run's town the other program's.
      {4,
       {"edit\tA02\tNAD_NM\tRenamed behind the run", "edit\tA03\tCPF_NM\tContact behind",
        "edit\tA08\tNAD_NM\tRenamed ahead of the run", "edit\tA10\tCPF_TEL_NR\t+86 10 1234"}},
      // Added behind the run (never visited) and ahead of it.
      {6,
       {"add\tA01B\tCN\t100001\tBehind", "add\tA09B\tGB\tSW1\tLondon",
        "add\tA11B\tCN\t999999\tUnlisted"}},
      // A change to a record the run itself changed a moment ago.
      {8, {"edit\tA07\tNAD_ADDR_LINE_1_DS\t1 Nanjing Road"}},
  };
  // What the other program sees of the run's writes while it runs.
  std::map<int, std::string> seen;
  TTownChoice choice;
  TScript script;
  script.afterRecord = [&](int step) {
    if (auto found = commands.find(step); found != commands.end()) {
      for (const std::string& command : found->second) Tell(command);
    }
    if (step == 1 || step == 5) {
      other_->SendText("read\tA01\tNAD_CITY_NM");
      seen[step] = other_->ReceiveText().value_or("(no answer)");
    }
  };
  TUpdateRun run(tables.addressBook, tables.newTowns, choice, script, script, script);
  run.Run();
  EXPECT_EQ(script.log.back(), "messages");
  EXPECT_EQ(script.log[script.log.size() - 2], std::string("status ") + kStatusComplete);
  // Each record is on disk once posted, not at the end of the run.
  EXPECT_EQ(seen[1], "HUANGPU SHANGHAI");
  EXPECT_EQ(seen[5], "HUANGPU SHANGHAI");

  // The count is taken at the start; the records added ahead are visited
  // too, and neither of them is China with a listed postcode.
  EXPECT_EQ(run.TotalRecords, 12u);
  EXPECT_EQ(script.steps, 14);
  EXPECT_EQ(run.TotalUpdated, 8u);
  EXPECT_EQ(choice.AutoUpdated, 8u);
  EXPECT_EQ(choice.UserUpdated, 0u);
  EXPECT_EQ(choice.Unchanged, 6u);
  tables.Close();

  TRecords expected = before;
  for (const auto& [account, town] : expectedTowns) expected[account]["NAD_CITY_NM"] = town;
  expected["A02"]["NAD_NM"] = "Renamed behind the run";
  expected["A03"]["CPF_NM"] = "Contact behind";
  expected["A08"]["NAD_NM"] = "Renamed ahead of the run";
  expected["A10"]["CPF_TEL_NR"] = "+86 10 1234";
  expected["A07"]["NAD_ADDR_LINE_1_DS"] = "1 Nanjing Road";
  const TRecords after = test::ReadAddressBook(data_.Path());
  for (const auto& [account, country, postcode, town] :
       std::vector<std::array<std::string, 4>>{{"A01B", "CN", "100001", "Behind"},
                                               {"A09B", "GB", "SW1", "London"},
                                               {"A11B", "CN", "999999", "Unlisted"}}) {
    ASSERT_EQ(after.count(account), 1u) << account;
    const std::map<std::string, std::string>& record = after.at(account);
    EXPECT_EQ(record.at("COU_ID"), country);
    EXPECT_EQ(record.at("NAD_PCODE_CD"), postcode);
    EXPECT_EQ(record.at("NAD_CITY_NM"), town);
    EXPECT_EQ(record.at("NAD_NM"), "Added by the other program");
    expected[account] = record;
  }
  EXPECT_EQ(after.size(), expected.size());
  for (const auto& [account, record] : expected) {
    EXPECT_TRUE(after.count(account) == 1 && after.at(account) == record) << account;
  }

  FinishOtherProgram();
}

TEST_F(UpdateRunSharingTest, AnAddressBookTheOtherProgramHoldsExclusivelyIsNotOpened) {
  WriteTables(data_, kSix);
  const std::string dat = data_.File("Smeadt01.DAT");
  const std::string idx = data_.File("Smeadt01.IDX");
  const std::string datBefore = FileBytes(dat);
  const std::string idxBefore = FileBytes(idx);
  ASSERT_FALSE(datBefore.empty());
  TChildProcess other([&](TChildProcess& self) {
    ledra::TLedraTable table;
    SetUpAddressBook(table);
    table.SetDatabaseName(dir_);
    table.SetExclusive(true);
    table.Open();
    self.Send(1);
    self.Receive();
    table.Close();
  });
  ASSERT_TRUE(other.Started());
  ASSERT_EQ(other.Receive(), std::optional<uint32_t>(1));

  ledra::TLedraTable addressBook;
  SetUpAddressBook(addressBook);
  addressBook.SetDatabaseName(dir_);
  const std::optional<ledra::ELedraEngineError> error =
      ledra::test::EngineErrorOf([&] { addressBook.Open(); });
  ASSERT_TRUE(error.has_value());
  EXPECT_EQ(error->ErrorCode, ledra::LEDRA_OSEACCES) << error->what();
  EXPECT_FALSE(addressBook.Active());
  // The new-town table is not the other program's: it opens.
  ledra::TLedraTable newTowns;
  SetUpNewTownTable(newTowns);
  newTowns.SetDatabaseName(dir_);
  newTowns.Open();
  EXPECT_TRUE(newTowns.Active());
  newTowns.Close();

  EXPECT_TRUE(other.Finish());
  // Nothing was written: the files are as the table utility left them.
  EXPECT_TRUE(FileBytes(dat) == datBefore);
  EXPECT_TRUE(FileBytes(idx) == idxBefore);

  // The failed open left nothing behind in this process: the same table
  // opens, even exclusively, and a run over it works.
  addressBook.SetExclusive(true);
  addressBook.Open();
  newTowns.Open();
  TTownChoice choice;
  TScript script;
  TUpdateRun run(addressBook, newTowns, choice, script, script, script);
  run.Run();
  EXPECT_EQ(run.TotalUpdated, 4u);
  addressBook.Close();
  newTowns.Close();
  EXPECT_EQ(test::ReadAddressBook(data_.Path()).at("A05").at("NAD_CITY_NM"), "HUANGPU SHANGHAI");
  EXPECT_TRUE(Verified(data_.Path()));
}

}  // namespace ostrevo
