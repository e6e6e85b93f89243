#include "app/TownChoice.h"

namespace ostrevo {

std::string UpperCaseAscii(std::string_view text) {
  std::string result(text);
  for (char& c : result) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return result;
}

bool IsLeadByte(uint8_t /*byte*/) {
  // The program's text is in code page 1252, a single-byte code page with no
  // lead bytes. A double-byte code page (932, 936, 949, 950) would answer from
  // its lead-byte ranges here.
  return false;
}

bool ContainsText(std::string_view text, std::string_view sub) {
  if (text.empty() || sub.empty() || sub.size() > text.size()) return false;
  size_t pos = 0;
  while (pos + sub.size() <= text.size()) {
    if (text.compare(pos, sub.size(), sub) == 0) return true;
    // A lead byte and its trail byte form one character; a lead byte at the
    // very end stands alone.
    const bool doubleByte = IsLeadByte(static_cast<uint8_t>(text[pos])) && pos + 1 < text.size();
    pos += doubleByte ? 2 : 1;
  }
  return false;
}

void TTownChoice::ClearTowns() {
  NewTown1.clear();
  NewTown2.clear();
  NewTown3.clear();
  NewTown4.clear();
  OldTown.clear();
  OldProvince.clear();
  ChosenTown.clear();
}

void TTownChoice::ResetCounters() {
  AutoUpdated = 0;
  UserUpdated = 0;
  Unchanged = 0;
}

bool TTownChoice::ProvinceMatches(const std::string& newTown) const {
  return !OldProvince.empty() && ContainsText(newTown, OldProvince);
}

bool TTownChoice::ChooseTown() {
  // A province named inside one of the new names settles the choice, the
  // first such name winning.
  for (const std::string* candidate : {&NewTown1, &NewTown2, &NewTown3, &NewTown4}) {
    if (ProvinceMatches(*candidate)) {
      ChosenTown = *candidate;
      ++AutoUpdated;
      return false;
    }
  }
  // Several names and nothing to tell them apart: the user decides, but only
  // when the first name is set, since the dialog starts from it.
  if (!NewTown1.empty() && (!NewTown2.empty() || !NewTown3.empty() || !NewTown4.empty())) {
    return true;
  }
  // At most one name to take, or the first is missing: the first set name.
  for (const std::string* candidate : {&NewTown1, &NewTown2, &NewTown3, &NewTown4}) {
    if (!candidate->empty()) {
      ChosenTown = *candidate;
      ++AutoUpdated;
      return false;
    }
  }
  // No new name at all: the record keeps its own town.
  ChosenTown = OldTown;
  ++Unchanged;
  return false;
}

}  // namespace ostrevo
