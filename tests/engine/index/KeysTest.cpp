#include "engine/index/Keys.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <initializer_list>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "engine/files/Bytes.h"
#include "engine/files/PackedDecimal.h"
#include "engine/index/KeyWidth.h"
#include "tests/engine/index/IndexTestSupport.h"

namespace ledra {
namespace {

using test::Bytes;
using test::CodeOf;
using test::Hex;
using test::MakeField;

constexpr uint16_t kEnglishUS = 1033;

// A table's fields with offsets laid out as the record layout does: from 9 on
// in field order, AutoInc at 5 with no slot of its own.
struct TTable {
  std::vector<TFieldDesc> Fields;
  uint32_t RecordSize = 9;

  uint16_t Add(TFieldDesc field) {
    field.FieldNo = uint16_t(Fields.size() + 1);
    if (field.IsAutoInc()) {
      field.Offset = 5;
    } else {
      field.Offset = uint16_t(RecordSize);
      RecordSize += field.DataSize + 1u;
    }
    Fields.push_back(field);
    return field.FieldNo;
  }
  const TFieldDesc& Field(uint16_t fieldNo) const { return Fields[fieldNo - 1]; }

  Bytes NewImage(int32_t rowId = 1) const {
    Bytes image(RecordSize, 0);
    PutLE32(image.data() + 5, uint32_t(rowId));
    return image;
  }
  uint8_t* Value(Bytes& image, uint16_t fieldNo) const {
    const TFieldDesc& field = Field(fieldNo);
    image[field.Offset] = 1;
    return image.data() + field.Offset + 1;
  }
  void SetString(Bytes& image, uint16_t fieldNo, const std::string& text) const {
    uint8_t* value = Value(image, fieldNo);
    std::memset(value, 0, Field(fieldNo).DataSize);
    std::memcpy(value, text.data(), text.size());
  }
  void SetInt(Bytes& image, uint16_t fieldNo, int32_t v) const {
    PutLE32(Value(image, fieldNo), uint32_t(v));
  }
  void SetInt16(Bytes& image, uint16_t fieldNo, uint16_t v) const {
    PutLE16(Value(image, fieldNo), v);
  }
  void SetInt64(Bytes& image, uint16_t fieldNo, int64_t v) const {
    PutLE64(Value(image, fieldNo), uint64_t(v));
  }
  void SetDouble(Bytes& image, uint16_t fieldNo, double v) const {
    PutLEDouble(Value(image, fieldNo), v);
  }
};

TIndexDesc Desc(std::initializer_list<uint16_t> fieldNos, uint16_t keyLength, bool unique = true) {
  TIndexDesc desc;
  desc.KeyLength = keyLength;
  desc.Unique = unique ? 1 : 0;
  for (uint16_t fieldNo : fieldNos) desc.KeyFields[desc.KeyFieldCount++] = fieldNo;
  return desc;
}

TIndexKeys Keys(const TTable& table, const TIndexDesc& desc, int slot = 1,
                uint16_t languageId = 0) {
  return TIndexKeys(slot, desc, table.Fields, table.RecordSize, languageId, 0,
                    GetCharMap(languageId, 0), "Towns");
}

Bytes KeyOf(TIndexKeys& keys, const Bytes& image) {
  Bytes key(keys.KeyLength(), 0xCC);  // every byte must be written
  keys.BuildKey(image.data(), key.data());
  return key;
}

// ---- Building -------------------------------------------------------------------

TEST(KeysTest, NumericEncodings) {
  TTable table;
  const uint16_t integer = table.Add(MakeField(0, "I", fldInteger));
  const uint16_t real = table.Add(MakeField(0, "F", fldFloat));
  const uint16_t word = table.Add(MakeField(0, "W", fldWord));
  const uint16_t small = table.Add(MakeField(0, "S", fldSmallInt));
  const uint16_t date = table.Add(MakeField(0, "D", fldDate));
  const uint16_t large = table.Add(MakeField(0, "L", fldLargeInt));
  const uint16_t boolean = table.Add(MakeField(0, "B", fldBoolean));
  const uint16_t stamp = table.Add(MakeField(0, "T", fldTimeStamp));
  const uint16_t int32 = table.Add(MakeField(0, "X", fldInt32));
  const uint16_t bytes = table.Add(MakeField(0, "Y", fldBytes, 3));
  const uint16_t autoInc = table.Add(MakeField(0, "A", fldInteger, 0, kSubTypeAutoInc));

  auto keyOf = [&](uint16_t fieldNo, uint16_t keyLength, const Bytes& image) {
    TIndexKeys keys = Keys(table, Desc({fieldNo}, keyLength));
    return KeyOf(keys, image);
  };
  Bytes image = table.NewImage();
  for (auto [value, expected] : {std::pair{-1, "01 7F FF FF FF"}, std::pair{0, "01 80 00 00 00"},
                                 std::pair{1, "01 80 00 00 01"}}) {
    table.SetInt(image, integer, value);
    EXPECT_EQ(keyOf(integer, 5, image), Hex(expected)) << value;
  }
  for (auto [value, expected] :
       {std::pair{-1.0, "01 40 0F FF FF FF FF FF FF"}, std::pair{0.0, "01 80 00 00 00 00 00 00 00"},
        std::pair{-0.0, "01 80 00 00 00 00 00 00 00"},
        std::pair{1.0, "01 BF F0 00 00 00 00 00 00"}}) {
    table.SetDouble(image, real, value);
    EXPECT_EQ(keyOf(real, 9, image), Hex(expected)) << value;
  }
  table.SetInt16(image, word, 65535);
  EXPECT_EQ(keyOf(word, 3, image), Hex("01 FF FF"));
  table.SetInt16(image, small, uint16_t(-2));
  EXPECT_EQ(keyOf(small, 3, image), Hex("01 7F FE"));
  table.SetInt(image, date, 738960);  // 15 March 2024
  EXPECT_EQ(keyOf(date, 5, image), Hex("01 80 0B 46 90"));
  table.SetInt64(image, large, -2);
  EXPECT_EQ(keyOf(large, 9, image), Hex("01 7F FF FF FF FF FF FF FE"));
  table.SetInt16(image, boolean, 1);
  EXPECT_EQ(keyOf(boolean, 3, image), Hex("01 00 01"));
  table.SetDouble(image, stamp, 86400000.0);  // 41 94 99 70 00 00 00 00
  EXPECT_EQ(keyOf(stamp, 9, image), Hex("01 C1 94 99 70 00 00 00 00"));
  // Types without an encoding of their own keep their stored bytes.
  table.SetInt(image, int32, 1);
  EXPECT_EQ(keyOf(int32, 5, image), Hex("01 01 00 00 00"));
  std::memcpy(table.Value(image, bytes), "\x05\x00\xFF", 3);
  EXPECT_EQ(keyOf(bytes, 4, image), Hex("01 05 00 FF"));
  // AutoInc: the row id, never null.
  Bytes bare = table.NewImage(-7);
  EXPECT_EQ(keyOf(autoInc, 5, bare), Hex("01 7F FF FF F9"));
  // Null numeric fields encode zero.
  EXPECT_EQ(keyOf(integer, 5, bare), Hex("00 80 00 00 00"));
  EXPECT_EQ(keyOf(real, 9, bare), Hex("00 80 00 00 00 00 00 00 00"));
  EXPECT_EQ(keyOf(word, 3, bare), Hex("00 00 00"));
}

TEST(KeysTest, StringSegments) {
  TTable table;
  const uint16_t postcode = table.Add(MakeField(0, "Postcode", fldString, 10));
  TIndexKeys keys = Keys(table, Desc({postcode}, 12));
  Bytes image = table.NewImage();
  table.SetString(image, postcode, "100000");
  EXPECT_EQ(KeyOf(keys, image), Hex("01 31 30 30 30 30 30 00 00 00 00 00"));

  // Bytes an earlier, longer value left behind the terminator do not count.
  table.SetString(image, postcode, "ABCDEFGHIJ");
  table.Value(image, postcode)[2] = 0;
  EXPECT_EQ(KeyOf(keys, image), Hex("01 41 42 00 00 00 00 00 00 00 00 00"));
  // A full-length value with a damaged terminator still ends the segment in 0.
  table.SetString(image, postcode, "ABCDEFGHIJ");
  table.Value(image, postcode)[10] = 'K';
  EXPECT_EQ(KeyOf(keys, image), Hex("01 41 42 43 44 45 46 47 48 49 4A 00"));

  // An empty text is stored as null with only its first byte cleared: the
  // same key as a null field.
  Bytes empty = table.NewImage();
  table.SetString(empty, postcode, "STALE");
  table.Value(empty, postcode)[0] = 0;
  empty[table.Field(postcode).Offset] = 0;
  Bytes null = table.NewImage();
  EXPECT_EQ(KeyOf(keys, empty), Hex("00 00 00 00 00 00 00 00 00 00 00 00"));
  EXPECT_EQ(KeyOf(keys, null), KeyOf(keys, empty));
  // Null orders before every value.
  table.SetString(image, postcode, "\x01");
  EXPECT_LT(keys.CompareKeys(KeyOf(keys, null).data(), KeyOf(keys, image).data(), 12), 0);
}

TEST(KeysTest, CaseInsensitiveIndexStoresUpperCase) {
  TTable table;
  const uint16_t town = table.Add(MakeField(0, "Town", fldString, 8));
  TIndexDesc desc = Desc({town}, 10);
  desc.CaseInsensitive = 1;
  TIndexKeys keys = Keys(table, desc);
  Bytes image = table.NewImage();
  table.SetString(image, town, "stra\xDF\xE9z");  // ß has no capital; é becomes É
  EXPECT_EQ(KeyOf(keys, image), Hex("01 53 54 52 41 DF C9 5A 00 00"));

  TIndexKeys sensitive = Keys(table, Desc({town}, 10));
  EXPECT_EQ(KeyOf(sensitive, image), Hex("01 73 74 72 61 DF E9 7A 00 00"));
}

TEST(KeysTest, BCDKeysAreCurrencyValues) {
  TTable table;
  TFieldDesc field = MakeField(0, "Price", fldBCD, 0);
  field.Scale = 2;
  const uint16_t price = table.Add(field);
  ASSERT_EQ(table.Field(price).DataSize, 34);
  TIndexKeys keys = Keys(table, Desc({price}, 9));

  Bytes image = table.NewImage();
  uint8_t* bcd = table.Value(image, price);
  bcd[0] = 0x20;  // 123.45: 32 digits, 2 places
  bcd[1] = 0x02;
  bcd[15] = 0x01;
  bcd[16] = 0x23;
  bcd[17] = 0x45;
  EXPECT_EQ(KeyOf(keys, image), Hex("01 80 00 00 00 00 12 D6 44"));  // 1234500
  bcd[1] = 0x82;                                                     // -123.45
  EXPECT_EQ(KeyOf(keys, image), Hex("01 7F FF FF FF FF ED 29 BC"));
  bcd[0] = 0;  // precision 0 counts as 0
  EXPECT_EQ(KeyOf(keys, image), Hex("01 80 00 00 00 00 00 00 00"));
  bcd[0] = 0x20;
  bcd[17] = 0x4F;  // not a digit: unreadable values key as 0 too
  EXPECT_EQ(KeyOf(keys, image), Hex("01 80 00 00 00 00 00 00 00"));
  EXPECT_EQ(KeyOf(keys, table.NewImage()), Hex("00 80 00 00 00 00 00 00 00"));
}

TEST(KeysTest, RowIdTailOrdersEqualValues) {
  TTable table;
  const uint16_t name = table.Add(MakeField(0, "Name", fldString, 4));
  TIndexKeys keys = Keys(table, Desc({name}, 10, false));
  ASSERT_FALSE(keys.Unique());
  Bytes first = table.NewImage(7);
  Bytes second = table.NewImage(300);
  Bytes negative = table.NewImage(-1);
  for (Bytes* image : {&first, &second, &negative}) table.SetString(*image, name, "Wu");
  EXPECT_EQ(KeyOf(keys, first), Hex("01 57 75 00 00 00 | 80 00 00 07"));
  EXPECT_EQ(KeyOf(keys, second), Hex("01 57 75 00 00 00 | 80 00 01 2C"));
  EXPECT_EQ(KeyOf(keys, negative), Hex("01 57 75 00 00 00 | 7F FF FF FF"));
  EXPECT_EQ(keys.CompareKeys(KeyOf(keys, first).data(), KeyOf(keys, second).data(), 10), -1);
  EXPECT_EQ(keys.CompareKeys(KeyOf(keys, negative).data(), KeyOf(keys, first).data(), 10), -1);
  // Compared over the field alone they are equal.
  EXPECT_EQ(keys.CompareKeys(KeyOf(keys, first).data(), KeyOf(keys, second).data(), 6), 0);

  Bytes tail(4);
  PutKeyRowId(tail.data(), 300);
  EXPECT_EQ(tail, Hex("80 00 01 2C"));
  EXPECT_EQ(GetKeyRowId(tail.data()), 300);
}

TEST(KeysTest, DescendingFieldsAreInvertedWithoutLocale) {
  TTable table;
  const uint16_t name = table.Add(MakeField(0, "Name", fldString, 3));
  const uint16_t code = table.Add(MakeField(0, "Code", fldInteger));
  TIndexDesc desc = Desc({name, code}, 10);
  desc.FieldDescending[0] = 1;
  TIndexKeys keys = Keys(table, desc);
  Bytes image = table.NewImage();
  table.SetString(image, name, "AB");
  table.SetInt(image, code, 5);
  // The string's last byte stays 0; the ascending integer is not inverted.
  EXPECT_EQ(KeyOf(keys, image), Hex("FE BE BD FF 00 | 01 80 00 00 05"));
  Bytes null = table.NewImage();
  table.SetInt(null, code, 5);
  EXPECT_EQ(KeyOf(keys, null), Hex("FF FF FF FF 00 | 01 80 00 00 05"));
  // Null after every value, "B" before "AB".
  Bytes b = image;
  table.SetString(b, name, "B");
  EXPECT_EQ(keys.CompareKeys(KeyOf(keys, image).data(), KeyOf(keys, null).data(), 10), -1);
  EXPECT_EQ(keys.CompareKeys(KeyOf(keys, b).data(), KeyOf(keys, image).data(), 10), -1);

  // An inverted integer segment: null byte and all value bytes.
  TIndexDesc byCode = Desc({code}, 5);
  byCode.FieldDescending[0] = 1;
  TIndexKeys codeKeys = Keys(table, byCode);
  EXPECT_EQ(KeyOf(codeKeys, image), Hex("FE 7F FF FF FA"));

  // A descending index as a whole keeps its bytes and negates comparisons.
  TIndexDesc whole = Desc({name, code}, 10);
  whole.Descending = 1;
  whole.FieldDescending.fill(1);
  TIndexKeys wholeKeys = Keys(table, whole);
  EXPECT_EQ(KeyOf(wholeKeys, image), Hex("01 41 42 00 00 | 01 80 00 00 05"));
  EXPECT_EQ(wholeKeys.CompareKeys(KeyOf(wholeKeys, image).data(), KeyOf(wholeKeys, b).data(), 10),
            1);
  EXPECT_EQ(wholeKeys.CompareKeys(KeyOf(wholeKeys, null).data(), KeyOf(wholeKeys, b).data(), 10),
            1);
}

TEST(KeysTest, DeletedIndexKeys) {
  TTable table;
  table.Add(MakeField(0, "Name", fldString, 4));
  TIndexDesc desc;
  desc.KeyLength = kDeletedKeyLength;
  TIndexKeys keys = Keys(table, desc, kDeletedSlot);
  Bytes live = table.NewImage(5);
  Bytes free = table.NewImage(2);
  free[0] = 1;
  EXPECT_EQ(KeyOf(keys, live), Hex("00 80 00 00 05"));
  EXPECT_EQ(KeyOf(keys, free), Hex("01 80 00 00 02"));
  Bytes key(5);
  TIndexKeys::BuildDeletedKey(free.data(), key.data());
  EXPECT_EQ(key, Hex("01 80 00 00 02"));
  // Live records first, then free slots, each in row-id order.
  EXPECT_EQ(keys.CompareKeys(KeyOf(keys, live).data(), KeyOf(keys, free).data(), 5), -1);
  keys.FillKeyHigh(key.data(), 1);
  EXPECT_EQ(key, Hex("01 FF FF FF FF"));
  keys.FillKeyLow(key.data(), 0);
  EXPECT_EQ(key, Hex("00 00 00 00 00"));
}

TEST(KeysTest, TextIndexKeys) {
  TTable table;
  table.Add(MakeField(0, "Notes", fldBlob, 0, kSubTypeMemo));
  TIndexDesc desc = Desc({1}, kTextKeyLength);
  TIndexKeys keys = Keys(table, desc, kTextSlot);

  auto textKey = [&](uint16_t fieldNo, std::string_view word, int32_t rowId) {
    Bytes key(kTextKeyLength, 0xCC);
    keys.BuildTextKey(fieldNo, word, rowId, key.data());
    return key;
  };
  Bytes expected(kTextKeyLength, 0);
  for (auto [offset, bytes] : {std::pair{0, "01 00 03"}, std::pair{3, "53 54 52 41 DF C9"},
                               std::pair{64, "80 00 00 09"}}) {
    Bytes part = Hex(bytes);
    std::copy(part.begin(), part.end(), expected.begin() + offset);
  }
  EXPECT_EQ(textKey(3, "stra\xDF\xE9", 9), expected);
  // A long word keeps its first 61 bytes.
  Bytes longKey = textKey(1, std::string(70, 'q'), 1);
  EXPECT_EQ(Bytes(longKey.begin() + 3, longKey.begin() + 64), Bytes(61, 'Q'));

  // The field number decides first, then the word in the locale's order (É
  // is an E there, far below its byte), then the row id.
  Bytes ecole = textKey(2,
                        "\xC9"
                        "cole",
                        1);
  Bytes ezra = textKey(2, "ezra", 1);
  Bytes zebra = textKey(1, "zebra", 1);
  EXPECT_EQ(keys.CompareKeys(ecole.data(), ezra.data(), 68), -1);
  EXPECT_EQ(keys.CompareKeys(zebra.data(), ecole.data(), 68), -1);
  EXPECT_EQ(keys.CompareKeys(textKey(2, "ezra", 2).data(), ezra.data(), 68), 1);
  EXPECT_EQ(keys.CompareKeys(textKey(2, "ezra", 2).data(), ezra.data(), 64), 0);
  EXPECT_EQ(keys.CompareKeys(ecole.data(), ezra.data(), 4), 0);  // only "E" and "E"
  // There is no key of a whole record in this index.
  Bytes image = table.NewImage();
  Bytes key(kTextKeyLength);
  EXPECT_EQ(CodeOf([&] { keys.BuildKey(image.data(), key.data()); }), LEDRA_INVALIDIDXDESC);
}

// ---- Completing keys ------------------------------------------------------------

TEST(KeysTest, FillWithoutLocale) {
  TTable table;
  const uint16_t name = table.Add(MakeField(0, "Name", fldString, 10));
  TIndexKeys keys = Keys(table, Desc({name}, 12));
  Bytes key = Hex("01 41 42 43 44 45 00 00 00 00 00 00");
  keys.FillKeyLow(key.data(), 4);
  EXPECT_EQ(key, Hex("01 41 42 43 00 00 00 00 00 00 00 00"));
  keys.FillKeyHigh(key.data(), 4);
  EXPECT_EQ(key, Hex("01 41 42 43 FF FF FF FF FF FF FF FF"));
  keys.FillKeyHigh(key.data(), 99);  // beyond the key: nothing to fill
  EXPECT_EQ(key, Hex("01 41 42 43 FF FF FF FF FF FF FF FF"));

  TIndexKeys tailed = Keys(table, Desc({name}, 16, false));
  Bytes tailKey(16, 0x11);
  tailed.FillKeyHigh(tailKey.data(), 12);
  EXPECT_EQ(tailKey, Hex("11 11 11 11 11 11 11 11 11 11 11 11 FF FF FF FF"));
}

TEST(KeysTest, FillWithLocalePerSegment) {
  TTable table;
  const uint16_t name = table.Add(MakeField(0, "Name", fldString, 3));
  const uint16_t code = table.Add(MakeField(0, "Code", fldInteger));
  TIndexKeys keys = Keys(table, Desc({name, code}, 14, false), 1, kEnglishUS);
  const TCharMap map = GetCharMap(kEnglishUS, 0);
  const uint8_t low = map[0];
  const uint8_t high = map[255];
  ASSERT_EQ(low, 0x00);
  ASSERT_EQ(high, 0x8E);  // Ž: after z, ž and Z

  Bytes key = Hex("01 41 42 00 00 | 01 80 00 00 05 | 80 00 00 01");
  keys.FillKeyLow(key.data(), 2);
  EXPECT_EQ(key, Hex("01 41 00 00 00 | 00 00 00 00 00 | 00 00 00 00"));
  keys.FillKeyHigh(key.data(), 2);
  EXPECT_EQ(key, Hex("01 41 8E 8E 8E | FF FF FF FF FF | FF FF FF FF"));
  // A cut inside the integer keeps its first bytes; a cut before a string
  // segment fills all of it, null byte included, with the highest character.
  key = Hex("01 41 42 00 00 | 01 80 00 00 05 | 80 00 00 01");
  keys.FillKeyHigh(key.data(), 7);
  EXPECT_EQ(key, Hex("01 41 42 00 00 | 01 80 FF FF FF | FF FF FF FF"));
  keys.FillKeyHigh(key.data(), 0);
  EXPECT_EQ(key, Hex("8E 8E 8E 8E 8E | FF FF FF FF FF | FF FF FF FF"));
}

TEST(KeysTest, FillTextIndexKeys) {
  TTable table;
  table.Add(MakeField(0, "Notes", fldString, 20));
  TIndexKeys keys = Keys(table, Desc({1}, kTextKeyLength), kTextSlot);
  Bytes key(kTextKeyLength, 0);
  keys.BuildTextKey(4, "ZOO", 3, key.data());
  // Keep the field number and "ZO": the word goes on with the lowest or the
  // highest character of the order words compare in (English (United States)
  // for a table without a locale), the row id with 00 or FF.
  Bytes expected = key;
  keys.FillKeyHigh(key.data(), 5);
  std::fill(expected.begin() + 5, expected.begin() + 64, 0x8E);
  std::fill(expected.begin() + 64, expected.end(), 0xFF);
  EXPECT_EQ(key, expected);
  keys.FillKeyLow(key.data(), 5);
  std::fill(expected.begin() + 5, expected.end(), 0x00);
  EXPECT_EQ(key, expected);

  // Every word of field 4 lies between the completions of the field number.
  Bytes low(kTextKeyLength), high(kTextKeyLength), word(kTextKeyLength);
  keys.BuildTextKey(4, "ZZ\xDE", 1, high.data());  // any content: filled over
  keys.FillKeyHigh(high.data(), 3);
  keys.BuildTextKey(4, "a", 1, low.data());
  keys.FillKeyLow(low.data(), 3);
  for (const char* text : {"A", "zz", "\xFF\xFF", "\x8E\x8E\x8E"}) {
    keys.BuildTextKey(4, text, 77, word.data());
    EXPECT_EQ(keys.CompareKeys(low.data(), word.data(), 68), -1) << text;
    EXPECT_EQ(keys.CompareKeys(word.data(), high.data(), 68), -1) << text;
  }
  // Filling from inside the first three bytes completes those too.
  keys.FillKeyHigh(high.data(), 1);
  EXPECT_EQ(Bytes(high.begin(), high.begin() + 3), Hex("01 FF FF"));
}

// ---- Comparing with a locale -----------------------------------------------------

TEST(KeysTest, CompareWithLocaleFieldByField) {
  TTable table;
  const uint16_t name = table.Add(MakeField(0, "Name", fldString, 5));
  const uint16_t code = table.Add(MakeField(0, "Code", fldInteger));
  TIndexDesc desc = Desc({name, code}, 16, false);
  desc.FieldDescending[1] = 1;
  TIndexKeys keys = Keys(table, desc, 1, kEnglishUS);

  auto key = [&](const char* text, int32_t value, int32_t rowId) {
    Bytes image = table.NewImage(rowId);
    if (text != nullptr) table.SetString(image, name, text);
    table.SetInt(image, code, value);
    return KeyOf(keys, image);
  };
  // With a locale descending fields are not inverted.
  EXPECT_EQ(key("ab", 5, 2), Hex("01 61 62 00 00 00 00 | 01 80 00 00 05 | 80 00 00 02"));

  auto compare = [&](const Bytes& a, const Bytes& b, size_t n = 16) {
    return keys.CompareKeys(a.data(), b.data(), n);
  };
  EXPECT_EQ(compare(key("apple", 1, 1), key("Bob", 1, 1)), -1);  // bytes would say 1
  EXPECT_EQ(compare(key("Bob", 1, 1), key("apple", 1, 1)), 1);
  EXPECT_EQ(compare(key("\xE9t\xE9", 2, 1), key("ete", 2, 1)), 0);  // marks do not decide
  EXPECT_EQ(compare(key(nullptr, 1, 1), key("a", 1, 1)), -1);       // null byte first
  EXPECT_EQ(compare(key("x", 5, 1), key("x", 3, 1)), -1);           // descending field
  EXPECT_EQ(compare(key("x", 3, 9), key("x", 3, 10)), -1);          // then the row id
  EXPECT_EQ(compare(key("x", 3, 9), key("x", 3, 10), 12), 0);
  // A partial key compares only its first characters.
  EXPECT_EQ(compare(key("ab", 1, 1), key("abc", 1, 1), 3), 0);
  EXPECT_EQ(compare(key("ab", 1, 1), key("abc", 1, 1), 4), -1);
  EXPECT_EQ(compare(key("ab", 1, 1), key("Ab", 1, 1), 1), 0);

  // A descending index negates every field and the tail.
  TIndexDesc whole = desc;
  whole.Descending = 1;
  TIndexKeys wholeKeys = Keys(table, whole, 1, kEnglishUS);
  auto compareWhole = [&](const Bytes& a, const Bytes& b) {
    return wholeKeys.CompareKeys(a.data(), b.data(), 16);
  };
  EXPECT_EQ(compareWhole(key("apple", 1, 1), key("Bob", 1, 1)), 1);
  EXPECT_EQ(compareWhole(key("x", 5, 1), key("x", 3, 1)), -1);  // field set too: stays
  EXPECT_EQ(compareWhole(key("x", 3, 9), key("x", 3, 10)), 1);
}

TEST(KeysTest, CompareWithoutLocaleIsByteOrder) {
  TTable table;
  const uint16_t name = table.Add(MakeField(0, "Name", fldString, 5));
  TIndexKeys keys = Keys(table, Desc({name}, 7));
  Bytes apple(7), bob(7);
  Bytes image = table.NewImage();
  table.SetString(image, name, "apple");
  keys.BuildKey(image.data(), apple.data());
  table.SetString(image, name, "Bob");
  keys.BuildKey(image.data(), bob.data());
  EXPECT_EQ(keys.CompareKeys(apple.data(), bob.data(), 7), 1);
  EXPECT_EQ(keys.CompareKeys(apple.data(), bob.data(), 1), 0);
  EXPECT_EQ(keys.CompareKeys(apple.data(), bob.data(), 0), 0);
}

// ---- Checks when the keys are set up --------------------------------------------

TEST(KeysTest, RefusesInconsistentDescriptors) {
  TTable table;
  const uint16_t name = table.Add(MakeField(0, "Name", fldString, 10));
  const uint16_t notes = table.Add(MakeField(0, "Notes", fldBlob, 0, kSubTypeMemo));
  const uint16_t code = table.Add(MakeField(0, "Code", fldInteger));
  auto codeOf = [&](const TIndexDesc& desc, int slot = 1, uint32_t recordSize = 0) {
    return CodeOf([&] {
      TIndexKeys(slot, desc, table.Fields, recordSize ? recordSize : table.RecordSize, 0, 0,
                 GetCharMap(0, 0), "Towns");
    });
  };
  EXPECT_EQ(codeOf(Desc({name, code}, 17)), LEDRA_NONE);
  EXPECT_EQ(codeOf(Desc({name, code}, 21, false)), LEDRA_NONE);
  EXPECT_EQ(codeOf(Desc({name, code}, 18)), LEDRA_HEADERCORRUPT);         // wrong length
  EXPECT_EQ(codeOf(Desc({name, code}, 17, false)), LEDRA_HEADERCORRUPT);  // tail missing
  EXPECT_EQ(codeOf(Desc({name, 9}, 17)), LEDRA_HEADERCORRUPT);            // no field 9
  EXPECT_EQ(codeOf(Desc({notes}, 9)), LEDRA_HEADERCORRUPT);               // a blob
  EXPECT_EQ(codeOf(Desc({}, 0), 1), LEDRA_HEADERCORRUPT);                 // no fields
  EXPECT_EQ(codeOf(Desc({}, 0), 0), LEDRA_NONE);  // a table without primary index
  EXPECT_EQ(codeOf(Desc({code}, 5), 1, table.RecordSize - 1), LEDRA_HEADERCORRUPT);
  EXPECT_EQ(codeOf(Desc({code}, 5), 1, 8), LEDRA_HEADERCORRUPT);
  EXPECT_EQ(codeOf(Desc({code}, 5), 33), LEDRA_INVALIDIDXDESC);
  EXPECT_EQ(codeOf(Desc({}, 6), kDeletedSlot), LEDRA_HEADERCORRUPT);
  EXPECT_EQ(codeOf(Desc({}, 67), kTextSlot), LEDRA_HEADERCORRUPT);
  TIndexDesc many = Desc({code}, 5);
  many.KeyFieldCount = 17;
  EXPECT_EQ(codeOf(many), LEDRA_HEADERCORRUPT);

  // A field whose value would end beyond the record image.
  TTable damaged = table;
  damaged.Fields[0].Offset = uint16_t(table.RecordSize - 5);
  EXPECT_EQ(CodeOf([&] {
              TIndexKeys(1, Desc({name}, 12), damaged.Fields, damaged.RecordSize, 0, 0,
                         GetCharMap(0, 0));
            }),
            LEDRA_HEADERCORRUPT);
  damaged.Fields[0] = table.Fields[0];
  damaged.Fields[2].Offset = 3;  // inside the record header
  EXPECT_EQ(CodeOf([&] {
              TIndexKeys(1, Desc({code}, 5), damaged.Fields, damaged.RecordSize, 0, 0,
                         GetCharMap(0, 0));
            }),
            LEDRA_HEADERCORRUPT);
}

// ---- Key order is value order ----------------------------------------------------

// Builds the key of every value in a one-field table of the type and checks
// that each pair of keys compares as the values do. Values are stored in the
// field's little-endian width; BCD fields take currency values.
template <typename T>
void ExpectOrderPreserved(uint8_t type, const std::vector<T>& values) {
  SCOPED_TRACE(testing::Message() << "type " << int(type));
  TTable table;
  TFieldDesc field = MakeField(0, "V", type);
  field.Scale = 4;
  const uint16_t fieldNo = table.Add(field);
  const uint16_t keyLength = KeyWidth(field) + 1;
  TIndexKeys keys = Keys(table, Desc({fieldNo}, keyLength));
  std::vector<Bytes> built;
  for (T value : values) {
    Bytes image = table.NewImage();
    uint8_t* stored = table.Value(image, fieldNo);
    if (type == fldBCD) {
      ASSERT_TRUE(CurrencyToBCD(int64_t(value), 4, stored));
    } else {
      std::memcpy(stored, &value, sizeof value);  // the test hosts are little-endian
    }
    built.push_back(KeyOf(keys, image));
  }
  for (size_t i = 0; i < values.size(); ++i) {
    for (size_t j = i + 1; j < std::min(values.size(), i + 40); ++j) {
      int expected = (values[i] > values[j]) - (values[i] < values[j]);
      ASSERT_EQ(keys.CompareKeys(built[i].data(), built[j].data(), keyLength), expected)
          << "values " << values[i] << " and " << values[j];
    }
  }
}

TEST(KeysTest, KeyOrderIsValueOrder) {
  constexpr uint32_t kSeed = 20240615;
  SCOPED_TRACE(testing::Message() << "seed " << kSeed);
  std::mt19937_64 random(kSeed);
  using Limits = std::numeric_limits<double>;
  std::vector<int32_t> integers{INT32_MIN, -1, 0, 1, INT32_MAX};
  std::vector<int16_t> smalls{INT16_MIN, -1, 0, 1, INT16_MAX};
  std::vector<uint16_t> words{0, 1, 0x7FFF, 0x8000, 0xFFFF};
  std::vector<double> reals{-Limits::infinity(),   -Limits::max(), -1.0,
                            -Limits::denorm_min(), -0.0,           0.0,
                            Limits::denorm_min(),  1e-300,         Limits::infinity()};
  std::vector<int64_t> larges{INT64_MIN, -1, 0, 1, INT64_MAX};
  for (int i = 0; i < 400; ++i) {
    uint64_t bits = random();
    integers.push_back(int32_t(uint32_t(bits)));
    smalls.push_back(int16_t(uint16_t(bits)));
    words.push_back(uint16_t(bits >> 16));
    double value;
    std::memcpy(&value, &bits, sizeof value);
    if (!std::isnan(value)) reals.push_back(value);
    reals.push_back(double(int32_t(bits >> 32)) / 16.0);  // many small ones too
    larges.push_back(int64_t(bits));
  }
  ExpectOrderPreserved(fldInteger, integers);
  ExpectOrderPreserved(fldDate, integers);
  ExpectOrderPreserved(fldSmallInt, smalls);
  ExpectOrderPreserved(fldWord, words);
  ExpectOrderPreserved(fldFloat, reals);
  ExpectOrderPreserved(fldTimeStamp, reals);
  ExpectOrderPreserved(fldLargeInt, larges);
  larges.erase(larges.begin());  // INT64_MIN has no positive counterpart in BCD
  ExpectOrderPreserved(fldBCD, larges);
}

}  // namespace
}  // namespace ledra
