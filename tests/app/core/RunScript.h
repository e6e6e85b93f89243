// What the update run's tests share: the run's windows, scripted, and the
// address book read afresh through a table of its own.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "app/AddressBook.h"
#include "app/UpdateRun.h"
#include "components/LedraField.h"
#include "components/LedraTable.h"

namespace ostrevo::test {

// Every address's fields by account.
using TRecords = std::map<std::string, std::map<std::string, std::string>>;

inline TRecords ReadAddressBook(const std::filesystem::path& dir) {
  ledra::TLedraTable table;
  SetUpAddressBook(table);
  table.SetDatabaseName(dir.string());
  table.Open();
  TRecords out;
  for (table.First(); !table.Eof(); table.Next()) {
    auto& record = out[table.FieldByName("ACC_NR").AsString()];
    for (int i = 0; i < table.FieldCount(); ++i) {
      record[table.Fields(i).FieldName()] = table.Fields(i).AsString();
    }
  }
  table.Close();
  return out;
}

// The windows, scripted: answers, and what the run showed.
class TScript : public TUpdateConfirmation, public TTownAsker, public TUpdateProgress {
 public:
  bool ConfirmUpdate() override {
    log.push_back("confirm");
    return confirm;
  }
  void AskTown(TTownChoice& choice) override {
    log.push_back("ask " + choice.NewTown1 + "|" + choice.NewTown2 + "|" + choice.NewTown3 + "|" +
                  choice.NewTown4 + " old " + choice.OldTown);
    if (onAsk) onAsk(choice);
  }
  void StartProgress(int32_t maximum) override {
    log.push_back("start " + std::to_string(maximum));
    disabledAtStart = table != nullptr && table->ControlsDisabled();
  }
  void StepProgress() override { ++steps; }
  void HideProgress() override { log.push_back("hide"); }
  void SetStatus(const std::string& text) override { log.push_back("status " + text); }
  void ShowCounters(const std::string& a, const std::string& b, const std::string& c,
                    const std::string& d, const std::string& e) override {
    counters.push_back(a + " " + b + " " + c + " " + d + " " + e);
    if (afterRecord) afterRecord(steps);
  }
  void ProcessMessages() override { log.push_back("messages"); }

  bool confirm = true;
  std::function<void(TTownChoice&)> onAsk;
  // After each record's counters, with the number of records done.
  std::function<void(int)> afterRecord;
  ledra::TLedraTable* table = nullptr;
  bool disabledAtStart = false;
  std::vector<std::string> log;
  std::vector<std::string> counters;
  int steps = 0;
};

}  // namespace ostrevo::test
