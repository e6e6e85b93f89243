// Making a new table: its limits, the parameters of its text index, and the
// creation of its files with the text index ready to take words.
//
// A definition (TableDefinition.h) names the fields, the indexes and the
// fields of the text index; the engine checks it when it creates the files
// and refuses what it cannot store. A text index also needs its parameters
// (which characters make words, which words to leave out), kept in the index
// file's chain of parameter pages: without them no word is ever indexed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/files/FieldDesc.h"
#include "engine/index/TextParams.h"
#include "engine/table/DataDirectory.h"
#include "engine/table/TableDefinition.h"

namespace ledra {

// Limits of a table definition.
inline constexpr size_t kMaxTableFields = 1024;
inline constexpr size_t kMaxTableDescriptionLength = 50;
inline constexpr size_t kMaxTablePasswordLength = 15;
inline constexpr size_t kMaxIndexNameLength = 30;
inline constexpr size_t kMaxStopWordLength = 255;

// The table's data file exists in the directory, its name found without
// regard to case, or the table is open there.
bool TableDataFileExists(const TDataDirectory& directory, std::string_view tableName);

// Text index parameters that make words of runs of letters, digits,
// apostrophes and the characters 128 to 255 but the no-break space (160);
// every other character ends a word. The stop words are left out.
TTextParams DefaultTextParams(std::vector<std::string> stopWords = {});

// Creates the files of table `tableName` in the directory from a definition
// and closes the table again. A table with text-index fields gets the text
// parameters (DefaultTextParams when none are given). A table whose data
// file exists already is LEDRA_TABLEEXISTS; one open in the directory is
// LEDRA_OSEACCES; a refused definition raises the engine's error for it
// before anything is made, or removes what was made. A failure to write the
// text parameters removes the new files again.
void CreateNewTable(TDataDirectory& directory, std::string_view tableName,
                    const TTableDefinition& definition,
                    const std::optional<TTextParams>& textParams = std::nullopt);

// Writes the text index's parameter pages into a table just created and held
// exclusively; they reach the disk when the table is flushed or closed.
void WriteTextParams(TDataTable& table, const TTextParams& params);

}  // namespace ledra
