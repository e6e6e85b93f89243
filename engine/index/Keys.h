// The keys of one index of one table: building them from record images,
// comparing them, and completing partial keys for searches.
//
// A key of slots 0..30 is one segment per key field, in `KeyFields` order,
// followed for a non-unique index by the 4-byte row-id tail:
//
//   segment  null byte (1 = the field has a value, 0 = null; AutoInc always 1)
//            key width value bytes, an order-preserving big-endian encoding:
//              string          the characters, zero-padded to size + 1 bytes
//                              (upper-cased for a case-insensitive index)
//              integer, date,  32-bit value, top bit inverted
//              time, AutoInc
//              small integer   16-bit value, top bit inverted
//              boolean, word   16-bit value unchanged
//              float, money,   the double; value >= 0: top bit set,
//              timestamp       negative: all 8 bytes inverted
//              BCD             the currency value (x 10000), top bit inverted
//              large integer   64-bit value, top bit inverted
//              other types     the stored bytes unchanged
//            a null field encodes as zero would
//   tail     row id (record image bytes 5..8), 32-bit, top bit inverted
//
// Slot 31 ("Sys Deleted", 5 bytes): the image's deleted flag, then the row id
// as in the tail. Slot 32 ("Sys Text", 68 bytes): 1, the field number as a
// 16-bit big-endian value, the word upper-cased and zero-padded to 61 bytes,
// the row id as in the tail.
//
// Collation. A table without a locale (`LanguageId` 0) compares keys as plain
// bytes, the whole comparison negated for a `Descending` index; a descending
// field of an ascending index has its segment bytes inverted when the key is
// built instead (a string keeps its last byte, always 0, as it is). A table
// with a locale compares string segments through the locale comparison and
// negates the result of every descending field; its keys are never inverted.
// Words of the text index always compare through a locale (English (United
// States) for a table without one).
//
// The object is built once per index when a cursor takes it as its current
// index, and checks there that the descriptors cannot make key building run
// past the record image or the key; after that, building and comparing keys
// neither fail nor allocate. One object belongs to one cursor and one thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "engine/files/FieldDesc.h"
#include "engine/index/CharMaps.h"
#include "engine/index/IndexHeader.h"

namespace ledra {

// The row id in key byte order: big-endian with the top bit inverted, so that
// signed row ids order as unsigned bytes.
void PutKeyRowId(uint8_t* key, int32_t rowId);
int32_t GetKeyRowId(const uint8_t* key);

// Layout of a text-index key.
inline constexpr size_t kTextFieldNoOffset = 1;
inline constexpr size_t kTextWordOffset = 3;
inline constexpr size_t kTextWordLength = 61;
inline constexpr size_t kTextRowIdOffset = kTextWordOffset + kTextWordLength;  // 64

// The record image bytes that hold the row id (and an AutoInc field's value).
inline constexpr size_t kImageRowIdOffset = 5;
inline constexpr size_t kImageHeaderSize = 9;

class TIndexKeys {
 public:
  // The keys of index `slot` (0..32) described by `desc`, over the table's
  // field descriptors (looked up by `FieldNo`), records of `recordSize`
  // bytes, the table's collation (`LanguageId`, `SortId`) and its collation
  // character map. Raises LEDRA_HEADERCORRUPT (with the table name) when a key
  // field is missing or a blob, when a field's value would lie beyond the
  // record, or when `KeyLength` disagrees with the key fields; a slot outside
  // 0..32 raises LEDRA_INVALIDIDXDESC.
  TIndexKeys(int slot, const TIndexDesc& desc, std::span<const TFieldDesc> fields,
             uint32_t recordSize, uint16_t languageId, uint16_t sortId, const TCharMap& charMap,
             std::string_view tableName = {});

  int Slot() const { return slot_; }
  uint16_t KeyLength() const { return keyLength_; }
  bool Unique() const { return unique_; }
  bool Descending() const { return descending_; }
  // The locale that maps case (and compares, when the table has a locale).
  uint32_t Lcid() const { return lcid_; }

  // Builds the key of a record image of `recordSize` bytes into `key`
  // (`KeyLength` bytes). On slot 31 this is the deleted key; slot 32 has no
  // key of a whole record and raises LEDRA_INVALIDIDXDESC.
  void BuildKey(const uint8_t* image, uint8_t* key);
  // The 5-byte slot-31 key of a record image (at least 9 bytes).
  static void BuildDeletedKey(const uint8_t* image, uint8_t* key);
  // The 68-byte slot-32 key of one word of field `fieldNo` of the record with
  // row id `rowId`. The word ends at its first zero byte and is cut to 61
  // bytes.
  void BuildTextKey(uint16_t fieldNo, std::string_view word, int32_t rowId, uint8_t* key);

  // Compares the first n bytes of two keys of this index: -1 when a orders
  // before b, 0 when equal, 1 after. n is cut to `KeyLength`.
  int CompareKeys(const uint8_t* a, const uint8_t* b, size_t n) const;

  // Keep the first n bytes of the key and complete it as the smallest
  // (FillKeyLow) or largest (FillKeyHigh) key that begins with them.
  void FillKeyLow(uint8_t* key, size_t n) const { FillKey(key, n, false); }
  void FillKeyHigh(uint8_t* key, size_t n) const { FillKey(key, n, true); }

 private:
  enum class TEncoding : uint8_t { String, Int32, Int16, UInt16, Double, BCD, Int64, Raw };

  struct TSegment {
    TEncoding Encoding = TEncoding::Raw;
    bool AutoInc = false;
    bool Invert = false;       // bytes inverted when built
    bool Descending = false;   // comparison negated (tables with a locale)
    uint8_t Size = 0;          // declared size of a string
    uint16_t ImageOffset = 0;  // the null flag; the value follows
    uint16_t Width = 0;        // key width
    uint16_t KeyOffset = 0;    // where the segment begins in the key
  };

  void AddSegment(const TFieldDesc& field, bool fieldDescending, uint32_t recordSize,
                  std::string_view tableName);
  void EncodeSegment(const TSegment& segment, const uint8_t* image, uint8_t* key);
  int CompareWithLocale(const uint8_t* a, const uint8_t* b, size_t n) const;
  int CompareText(const uint8_t* a, const uint8_t* b, size_t n) const;
  void FillKey(uint8_t* key, size_t n, bool high) const;

  int slot_;
  uint16_t keyLength_ = 0;
  bool unique_ = true;
  bool descending_ = false;
  bool caseInsensitive_ = false;
  uint16_t languageId_ = 0;
  uint32_t lcid_ = 0;
  TCharMap charMap_{};
  std::vector<TSegment> segments_;
  uint16_t segmentsLength_ = 0;
  std::string work_;  // case mapping, with room for the longest value
};

}  // namespace ledra
