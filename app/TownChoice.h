// The rules that decide which new town name an address record gets.
//
// For one China address whose postcode was found in the new-town table, the
// update run fills in the record's old town and province and the up to four
// new town names of the postcode, all upper-cased, and asks `ChooseTown`. The
// rules either choose a town and count the outcome, or answer that the user
// must choose in the town selection dialog. Nothing here touches a table or a
// window, so the update run and the tests share it.
//
// All strings are single-byte text in the system code page (1252).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace ostrevo {

// Upper-cases the letters a to z only; every other byte stays as it is.
std::string UpperCaseAscii(std::string_view text);

// True when `sub` occurs as a contiguous run of bytes inside `text`, compared
// exactly. The scan moves over double-byte characters of the system code page
// as whole units, so a match never starts on a trail byte. An empty `text`
// contains nothing, and an empty `sub` is found nowhere: there is nothing to
// look for.
bool ContainsText(std::string_view text, std::string_view sub);

// True for a byte that starts a double-byte character in the system code page.
bool IsLeadByte(uint8_t byte);

class TTownChoice {
 public:
  // Empties the seven strings before the next record is looked up; the
  // counters run on over the whole update run.
  void ClearTowns();
  // Sets the three counters to 0 at the start of a run.
  void ResetCounters();

  // Applies the decision rules to `OldTown`, `OldProvince` and `NewTown1` ..
  // `NewTown4`. Returns true when the user must choose; then `ChosenTown` and
  // the counters are left alone (the dialog sets the town and the run counts
  // it in `UserUpdated`). Otherwise sets `ChosenTown` and adds one to exactly
  // one of `AutoUpdated` and `Unchanged`.
  bool ChooseTown();

  std::string NewTown1;
  std::string NewTown2;
  std::string NewTown3;
  std::string NewTown4;
  std::string OldTown;
  std::string OldProvince;
  std::string ChosenTown;

  uint32_t AutoUpdated = 0;
  uint32_t UserUpdated = 0;
  uint32_t Unchanged = 0;

 private:
  // The record's province name occurs inside the candidate town name.
  bool ProvinceMatches(const std::string& newTown) const;
};

}  // namespace ostrevo
