// A new table as `ledra create` describes it on the command line, and the
// engine definition made from it.
//
//   --field NAME:TYPE[:SIZE[:SCALE]][:OPTION]...
//   --primary F1[,F2...][:OPTION]...
//   --index NAME:F1[,F2...][:OPTION]...
//   --text-index F1[,F2...]
//
// A colon or backslash inside a value is written "\:" or "\\". The texts
// below are the help of the create command.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "engine/table/TableCreation.h"
#include "engine/table/TableDefinition.h"

namespace ledra::tool {

inline constexpr std::string_view kFieldArgumentHelp =
    "NAME:TYPE[:SIZE[:SCALE]][:OPTION]...  TYPE is string, date, blob, memo, boolean, "
    "smallint, integer, autoinc, float, money, bcd, bytes, time, timestamp, word, largeint or "
    "varbytes. SIZE is required for string, bytes (1..250) and varbytes (3..250); bcd takes "
    "its decimal places as SIZE (or SIZE:SCALE with SIZE at most 32). OPTIONs: required, "
    "upper, lower, default=TEXT, min=TEXT, max=TEXT, desc=TEXT. Write a colon inside a text "
    "as \\: (for example default=12\\:30). Example: NAME:string:30:required:upper:default=X";
inline constexpr std::string_view kIndexArgumentHelp =
    "NAME:F1[,F2...][:unique][:desc][:nocase][:compress=none|dup|trail|full][:nocounts]";
inline constexpr std::string_view kPrimaryArgumentHelp =
    "F1[,F2...][:desc][:nocase][:compress=none|dup|trail|full][:nocounts] (always unique)";

struct TTableArguments {
  std::vector<std::string> Fields;
  std::string Primary;
  std::vector<std::string> Indexes;
  std::string TextIndex;
  // Words the text index leaves out, separated by commas.
  std::string StopWords;
  int32_t BlobBlockSize = 0;
  std::string Description;
  std::string Password;

  // The engine definition; a arg that is not well formed raises EToolError
  // naming the arg and what is wrong with it.
  TTableDefinition BuildDefinition() const;
  // The parameters of the text index (DefaultTextParams) with the stop
  // words given.
  TTextParams TextParams() const;
};

// One field arg as field number `fieldNo`.
TFieldDesc ParseFieldArgument(std::string_view arg, uint16_t fieldNo);
// One index arg over the given fields; `primary` arguments have no name.
TIndexDefinition ParseIndexArgument(std::string_view arg, const std::vector<TFieldDesc>& fields,
                                    bool primary);
// Field names separated by commas, as field numbers (any case).
std::vector<uint16_t> ParseFieldList(std::string_view list, const std::vector<TFieldDesc>& fields,
                                     std::string_view what);

// Splits at the colons that are not escaped, undoing the escapes.
std::vector<std::string> SplitArgument(std::string_view arg);

}  // namespace ledra::tool
