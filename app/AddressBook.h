// The two tables the application works on, as its components set them up:
// the address book with its sixteen persistent fields (grid order, titles,
// widths, hidden columns) and the new-town table with none.
#pragma once

#include "components/LedraTable.h"

namespace ostrevo {

inline constexpr const char* kAddressBookTable = "Smeadt01";
inline constexpr const char* kNewTownTable = "NewChinaTowns";

// Names the address book, its engine version and its persistent fields; the
// table must be closed.
void SetUpAddressBook(ledra::TLedraTable& table);
// Names the new-town table (no database name: the start directory).
void SetUpNewTownTable(ledra::TLedraTable& table);

}  // namespace ostrevo
