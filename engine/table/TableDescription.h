// What an open table is: its header facts, its fields, its indexes with their
// options and the parameters of its text index, as plain values.
//
// A description is a copy taken from the table's headers as they are in
// memory; the caller holds the table's read lock (or the table exclusively)
// while it is taken, so that the headers are current and consistent. Index
// descriptions serve both as a report and as the definition of an index
// (ToIndexDefinition).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/files/FieldDesc.h"
#include "engine/index/IndexHeader.h"
#include "engine/index/TextParams.h"
#include "engine/table/DataTable.h"
#include "engine/table/TableDefinition.h"

namespace ledra {

// The index slots of a table: 0 the primary index, 1..30 the secondary
// ones, then the deleted-records index and the text index.
inline constexpr int kPrimaryIndexSlot = kPrimarySlot;
inline constexpr int kDeletedIndexSlot = kDeletedSlot;
inline constexpr int kTextIndexSlot = kTextSlot;
inline constexpr int kMaxSecondaryIndexes = kMaxSecondary;
inline constexpr int kMaxIndexFields = kMaxKeyFields;

struct TIndexDescription {
  int Slot = 0;
  // Empty for the primary index; the stored name for the others.
  std::string Name;
  // Field numbers of the key fields in key order, each with its direction.
  std::vector<uint16_t> Fields;
  std::vector<bool> FieldDescending;
  uint16_t KeyLength = 0;
  bool Unique = false;
  bool Descending = false;
  bool CaseInsensitive = false;
  // 0 none, 1 duplicate bytes, 2 trailing bytes, 3 both.
  uint8_t Compression = 0;
  // Inner pages carry subtree counts.
  bool EntryCounts = true;
  int32_t RootPage = 0;
  int32_t FirstFreePage = 0;
};

// The definition that makes an index like the described one (primary or
// secondary).
TIndexDefinition ToIndexDefinition(const TIndexDescription& index);

struct TTableDescription {
  std::string TableName;
  std::string DataFileName;

  // Data file header.
  int32_t ChangeCount = 0;
  uint8_t FormatVersion = 0;
  int64_t WriterVersion = 0;
  int32_t RecordSlots = 0;
  int32_t NextRecordNo = 0;
  int32_t FirstFreeRecord = 0;
  int32_t LastAutoInc = 0;
  uint16_t RecordSize = 0;
  uint16_t FieldCount = 0;
  uint16_t BlobFieldCount = 0;
  int32_t BlobBlockSize = 0;
  int32_t BlobStampCounter = 0;
  // The time of the last change as a date-time value of the component layer
  // (days since 30 December 1899).
  double LastUpdated = 0;
  std::string Description;
  bool Encrypted = false;
  uint16_t LanguageId = 0;
  uint16_t SortId = 0;
  // The locale identifier of the collation; 0 for a table without a locale.
  uint32_t Locale = 0;
  uint16_t UserMajorVersion = 0;
  uint16_t UserMinorVersion = 0;

  // Index file header.
  uint32_t IndexChangeCount = 0;
  int32_t NextPageNo = 0;
  uint8_t SecondaryIndexCount = 0;
  bool NoPrimaryIndex = false;
  int32_t LiveRecordCount = 0;

  // Field 1 first.
  std::vector<TFieldDesc> Fields;
  // The primary index (when there is one), the secondary indexes in slot
  // order, the deleted-records index, and the text index when it has fields.
  std::vector<TIndexDescription> Indexes;
  // The parameters of the text index, when it keeps any (an index without
  // parameter pages has never indexed a word).
  std::optional<TTextParams> TextParams;
};

// The description of a table. With `textParams` the text index's parameter
// pages are read as well, which raises what reading index pages raises
// (LEDRA_INDEXCORRUPT, LEDRA_READERR); without, TextParams stays empty and
// only the headers in memory are read.
TTableDescription DescribeTable(TDataTable& table, bool textParams = true);
// One index slot of a table from its header in memory, without reading any
// page. An unused slot (slot 0 of a table without a primary index) gives a
// description without fields.
TIndexDescription DescribeIndex(const TDataTable& table, int slot);

// The parameters kept in the text index's chain of parameter pages; nothing
// when it has none. A chain that loops, leaves the file or holds another kind
// of page raises LEDRA_INDEXCORRUPT, as does a stream that does not decode.
std::optional<TTextParams> ReadTextParams(TDataTable& table);

// Field names compare without regard to case (code page 1252) and to blanks
// around them.
bool SameFieldName(std::string_view a, std::string_view b);
// The number of the field named `name` in a list of descriptors (field 1
// first), 0 when there is none.
int FindFieldByName(const std::vector<TFieldDesc>& fields, std::string_view name);

}  // namespace ledra
