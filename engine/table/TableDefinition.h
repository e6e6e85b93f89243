// Everything a new table is made from: its fields, its indexes, its locale,
// its cipher and its blob block size.
//
// The field descriptors are given as the caller declares them (number, name,
// type, subtype, size, scale, required flag, case rule, value texts); the
// storage widths and record offsets are worked out when the table is created.
// Indexes name their key fields by field number (FieldNo).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "engine/files/FieldDesc.h"

namespace ledra {

struct TIndexDefinition {
  // Empty for the primary index, required for a secondary one.
  std::string Name;
  // Field numbers of the key fields, at most 16; no fields for the primary
  // index means the table has none.
  std::vector<uint16_t> Fields;
  // Ignored for the primary index, which is always unique.
  bool Unique = false;
  // The whole index descending: every key field is stored descending.
  bool Descending = false;
  // Per key field, when the index is not descending as a whole: true makes
  // that field descending. Missing entries are ascending.
  std::vector<bool> FieldDescending;
  bool CaseInsensitive = false;
  // Leaf-page compression: 0 none, 1 duplicate bytes, 2 trailing bytes,
  // 3 both.
  uint8_t Compression = 0;
  // Inner pages carry no subtree counts.
  bool NoEntryCounts = false;
};

struct TTableDefinition {
  // Collation of the table; language 0 = no locale.
  uint16_t LanguageId = 0;
  uint16_t SortId = 0;
  // Application-defined numbers, kept and returned unchanged.
  uint16_t UserMajorVersion = 0;
  uint16_t UserMinorVersion = 0;
  // Enciphered tables are opened only by sessions that hold the password.
  bool Encrypted = false;
  std::string Password;     // at most 15 characters are kept
  std::string Description;  // at most 50 characters are kept
  // Field 1 first; FieldNo must be the position (1, 2, ...).
  std::vector<TFieldDesc> Fields;
  TIndexDefinition PrimaryIndex;
  std::vector<TIndexDefinition> SecondaryIndexes;
  // Fields whose words go into the text index: string fields, or memo blobs.
  std::vector<uint16_t> TextIndexFields;
  // Block size of the blob file, stored as given; 0 means 512.
  int32_t BlobBlockSize = 0;
};

}  // namespace ledra
