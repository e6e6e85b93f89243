// The update run: one pass over the address book in primary-key order that
// gives every China address whose postcode the new-town table knows its new
// town name, automatically where the town-choice rules can decide and by
// asking the user where they cannot, and counts what it did.
//
// No widgets: the run talks to the windows through three small interfaces,
// so that tests drive it with scripted answers.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "app/TownChoice.h"
#include "components/LedraTable.h"

namespace ostrevo {

// Asks whether to start ("Perform Update ?"); true only for Yes.
class TUpdateConfirmation {
 public:
  virtual ~TUpdateConfirmation() = default;
  virtual bool ConfirmUpdate() = 0;
};

// Lets the user choose among the record's new town names (the town
// selection dialog): leaves the choice in `choice.ChosenTown`.
class TTownAsker {
 public:
  virtual ~TTownAsker() = default;
  virtual void AskTown(TTownChoice& choice) = 0;
};

// The progress bar, the status line and the five counter panels.
class TUpdateProgress {
 public:
  virtual ~TUpdateProgress() = default;
  // Shows the progress bar at 0 of `maximum`.
  virtual void StartProgress(int32_t maximum) = 0;
  virtual void StepProgress() = 0;
  virtual void HideProgress() = 0;
  virtual void SetStatus(const std::string& text) = 0;
  // The counters as the panels show them: TotalRecords, TotalUpdated,
  // AutoUpdated, UserUpdated, Unchanged.
  virtual void ShowCounters(const std::string& totalRecords, const std::string& totalUpdated,
                            const std::string& autoUpdated, const std::string& userUpdated,
                            const std::string& unchanged) = 0;
  // Lets pending window messages be handled once.
  virtual void ProcessMessages() = 0;
};

// How the town written into a record was decided.
enum class TTownDecision {
  Automatic,       // the town-choice rules chose it
  ChosenByUser,    // the town selection dialog
  KeptUpperCased,  // no new name: the record's own town written back upper-cased
};

// What the run keeps of what it did (RunRecord.h). Optional.
class TRunKeeper {
 public:
  virtual ~TRunKeeper() = default;
  // Once per run, before its first record is changed. What this raises ends
  // the run with nothing changed.
  virtual void BeforeFirstChange() = 0;
  // After each record written, the address book still on it: the town it
  // held when it was locked for the edit and the town it holds now.
  virtual void RecordWritten(const std::string& oldTown, const std::string& newTown,
                             TTownDecision decision) = 0;
};

inline constexpr const char* kStatusInProgress = "Address Book update in progress";
inline constexpr const char* kStatusComplete = "Update complete";

// Removes every byte of code 32 or less from both ends.
std::string TrimText(std::string_view text);
// A counter as the panels show it ("%u").
std::string CounterText(uint32_t value);

class TUpdateRun {
 public:
  // `keeper`, when given, is told before the first change and after every
  // record written.
  TUpdateRun(ledra::TLedraTable& addressBook, ledra::TLedraTable& newTowns, TTownChoice& choice,
             TUpdateConfirmation& confirmation, TTownAsker& asker, TUpdateProgress& progress,
             TRunKeeper* keeper = nullptr);

  // The whole run, from the confirmation to the closing step. An error ends
  // the loop; the closing step runs and the error goes on to the caller, with
  // the counters and the records posted so far kept.
  void Run();

  uint32_t TotalRecords = 0;
  uint32_t TotalUpdated = 0;

 private:
  // The fields the run reads and writes.
  enum TRunField {
    kCountry,
    kPostcode,
    kTown,
    kProvince,
    kNewTown1,
    kNewTown2,
    kNewTown3,
    kNewTown4,
    kRunFieldCount
  };

  void UpdateRecord();
  void ShowCounters();
  void Closing();
  // The field, looked up by its name the first time a run needs it.
  ledra::TLedraField& Field(TRunField field);

  ledra::TLedraTable& addressBook_;
  ledra::TLedraTable& newTowns_;
  TTownChoice& choice_;
  TUpdateConfirmation& confirmation_;
  TTownAsker& asker_;
  TUpdateProgress& progress_;
  TRunKeeper* keeper_;
  // The keeper has been told that changes begin.
  bool changing_ = false;
  // Looked up again by every run: the tables may have been reopened.
  std::array<ledra::TLedraField*, kRunFieldCount> fields_{};
};

}  // namespace ostrevo
