#include "app/UpdateRun.h"

#include <charconv>
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
  const std::to_chars_result end = std::to_chars(text, text + sizeof text, value);
  return std::string(text, end.ptr);
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
  fields_.fill(nullptr);
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
  const std::string country = TrimText(UpperCaseAscii(Field(kCountry).AsString()));
  if (country != "CN") {
    ++choice_.Unchanged;
    return;
  }
  choice_.ClearTowns();
  const std::string key = UpperCaseAscii(Field(kPostcode).AsString());
  if (!newTowns_.FindKey({key})) {
    ++choice_.Unchanged;
    return;
  }
  choice_.OldTown = UpperCaseAscii(Field(kTown).AsString());
  choice_.OldProvince = UpperCaseAscii(Field(kProvince).AsString());
  choice_.NewTown1 = UpperCaseAscii(Field(kNewTown1).AsString());
  choice_.NewTown2 = UpperCaseAscii(Field(kNewTown2).AsString());
  choice_.NewTown3 = UpperCaseAscii(Field(kNewTown3).AsString());
  choice_.NewTown4 = UpperCaseAscii(Field(kNewTown4).AsString());
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
    ledra::TLedraField& town = Field(kTown);
    const std::string oldTown = keeper_ != nullptr ? town.AsString() : std::string();
    town.SetAsString(choice_.ChosenTown);
    addressBook_.Post();
    if (keeper_ != nullptr) {
      keeper_->RecordWritten(oldTown, Field(kTown).AsString(), decision);
    }
  }
}

ledra::TLedraField& TUpdateRun::Field(TRunField field) {
  ledra::TLedraField*& slot = fields_[size_t(field)];
  if (slot != nullptr) return *slot;
  struct TPlace {
    bool newTowns;
    const char* name;
  };
  static constexpr std::array<TPlace, kRunFieldCount> kPlaces = {{{false, "COU_ID"},
                                                                  {false, "NAD_PCODE_CD"},
                                                                  {false, "NAD_CITY_NM"},
                                                                  {false, "Prv_Nm"},
                                                                  {true, "TownName1"},
                                                                  {true, "TownName2"},
                                                                  {true, "TownName3"},
                                                                  {true, "TownName4"}}};
  const TPlace& place = kPlaces[size_t(field)];
  slot = &(place.newTowns ? newTowns_ : addressBook_).FieldByName(place.name);
  return *slot;
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
