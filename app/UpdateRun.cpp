#include "app/UpdateRun.h"

#include <cstdio>
#include <exception>

#include "components/LedraField.h"

namespace ostrevo {

std::string TrimText(std::string_view text) {
  size_t begin = 0;
  size_t end = text.size();
  while (begin < end && uint8_t(text[begin]) <= 32) ++begin;
  while (end > begin && uint8_t(text[end - 1]) <= 32) --end;
  return std::string(text.substr(begin, end - begin));
}

std::string CounterText(uint32_t value) {
  char text[16];
  std::snprintf(text, sizeof text, "%u", unsigned(value));
  return text;
}

TUpdateRun::TUpdateRun(ledra::TLedraTable& addressBook, ledra::TLedraTable& newTowns,
                       TTownChoice& choice, TUpdateConfirmation& confirmation, TTownAsker& asker,
                       TUpdateProgress& progress, TRunKeeper* keeper)
    : addressBook_(addressBook),
      newTowns_(newTowns),
      choice_(choice),
      confirmation_(confirmation),
      asker_(asker),
      progress_(progress),
      keeper_(keeper) {}

void TUpdateRun::Run() {
  TotalRecords = 0;
  TotalUpdated = 0;
  changing_ = false;
  choice_.ResetCounters();
  if (!confirmation_.ConfirmUpdate()) return;

  try {
    addressBook_.DisableControls();
    progress_.StartProgress(addressBook_.RecordCount());
    TotalRecords = uint32_t(addressBook_.RecordCount());
    progress_.SetStatus(kStatusInProgress);
    progress_.ProcessMessages();
    addressBook_.First();
    while (!addressBook_.Eof()) {
      UpdateRecord();
      progress_.StepProgress();
      ShowCounters();
      addressBook_.Next();
    }
  } catch (...) {
    Closing();
    throw;
  }
  Closing();
}

void TUpdateRun::UpdateRecord() {
  const std::string country =
      TrimText(UpperCaseAscii(addressBook_.FieldByName("COU_ID").AsString()));
  if (country != "CN") {
    ++choice_.Unchanged;
    return;
  }
  choice_.ClearTowns();
  const std::string key = UpperCaseAscii(addressBook_.FieldByName("NAD_PCODE_CD").AsString());
  if (!newTowns_.FindKey({key})) {
    ++choice_.Unchanged;
    return;
  }
  choice_.OldTown = UpperCaseAscii(addressBook_.FieldByName("NAD_CITY_NM").AsString());
  choice_.OldProvince = UpperCaseAscii(addressBook_.FieldByName("Prv_Nm").AsString());
  choice_.NewTown1 = UpperCaseAscii(newTowns_.FieldByName("TownName1").AsString());
  choice_.NewTown2 = UpperCaseAscii(newTowns_.FieldByName("TownName2").AsString());
  choice_.NewTown3 = UpperCaseAscii(newTowns_.FieldByName("TownName3").AsString());
  choice_.NewTown4 = UpperCaseAscii(newTowns_.FieldByName("TownName4").AsString());
  TTownDecision decision = TTownDecision::Automatic;
  const uint32_t unchanged = choice_.Unchanged;
  if (choice_.ChooseTown()) {
    asker_.AskTown(choice_);
    ++choice_.UserUpdated;
    decision = TTownDecision::ChosenByUser;
  } else if (choice_.Unchanged != unchanged) {
    decision = TTownDecision::KeptUpperCased;
  }
  if (!choice_.ChosenTown.empty()) {
    if (keeper_ != nullptr && !changing_) {
      keeper_->BeforeFirstChange();
      changing_ = true;
    }
    ++TotalUpdated;
    addressBook_.Edit();
    ledra::TLedraField& town = addressBook_.FieldByName("NAD_CITY_NM");
    const std::string oldTown = keeper_ != nullptr ? town.AsString() : std::string();
    town.SetAsString(choice_.ChosenTown);
    addressBook_.Post();
    if (keeper_ != nullptr) {
      keeper_->RecordWritten(oldTown, addressBook_.FieldByName("NAD_CITY_NM").AsString(), decision);
    }
  }
}

void TUpdateRun::ShowCounters() {
  progress_.ShowCounters(CounterText(TotalRecords), CounterText(TotalUpdated),
                         CounterText(choice_.AutoUpdated), CounterText(choice_.UserUpdated),
                         CounterText(choice_.Unchanged));
}

void TUpdateRun::Closing() {
  addressBook_.EnableControls();
  progress_.HideProgress();
  progress_.SetStatus(kStatusComplete);
  progress_.ProcessMessages();
}

}  // namespace ostrevo
