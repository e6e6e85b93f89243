#include "engine/files/DataHeader.h"

#include <gtest/gtest.h>

#include <array>
#include <vector>

#include "engine/errors/EngineError.h"
#include "tests/engine/files/FieldTestSupport.h"
#include "tests/support/FieldBuilder.h"

namespace ledra {
namespace {

// The header of a plain table after its first write, written out from the
// header layout: ChangeCount 1, block size 512, version 5, no free slot, no
// slot yet, RecordSize 51, four fields, LastUpdated -1000.5, description
// "Towns", user version 1.2, HeaderModified 1, writer version 31200.
std::array<uint8_t, 127> PlainHeaderBytes() {
  std::array<uint8_t, 127> b{};
  const uint8_t head[35] = {
      0x01, 0x00, 0x00, 0x00,                          // 0 ChangeCount
      0x00, 0x02, 0x00, 0x00,                          // 4 BlobBlockSize
      0x05,                                            // 8 FormatVersion
      0x00, 0x00, 0x00, 0x00,                          // 9 FirstFreeRecord
      0x01, 0x00, 0x00, 0x00,                          // 13 NextRecordNo
      0x00, 0x00, 0x00, 0x00,                          // 17 LastAutoInc
      0x33, 0x00,                                      // 21 RecordSize
      0x04, 0x00,                                      // 23 FieldCount
      0x00, 0x00,                                      // 25 BlobFieldCount
      0x00, 0x00, 0x00, 0x00, 0x00, 0x44, 0x8F, 0xC0,  // 27 LastUpdated
  };
  std::copy(std::begin(head), std::end(head), b.begin());
  const uint8_t description[6] = {0x05, 'T', 'o', 'w', 'n', 's'};  // 35
  std::copy(std::begin(description), std::end(description), b.begin() + 35);
  b[107] = 0x01;  // UserMajorVersion
  b[109] = 0x02;  // UserMinorVersion
  b[111] = 0x01;  // HeaderModified
  b[116] = 0xE0;  // WriterVersion 31200 = 0x79E0
  b[117] = 0x79;
  return b;
}

TEST(DataHeaderTest, DecodesEveryFieldAtItsOffset) {
  const auto bytes = PlainHeaderBytes();
  const TDataHeader h = DecodeDataHeader(bytes.data());
  EXPECT_EQ(h.ChangeCount, 1);
  EXPECT_EQ(h.BlobBlockSize, 512);
  EXPECT_EQ(h.FormatVersion, 5);
  EXPECT_EQ(h.FirstFreeRecord, 0);
  EXPECT_EQ(h.NextRecordNo, 1);
  EXPECT_EQ(h.LastAutoInc, 0);
  EXPECT_EQ(h.RecordSize, 51);
  EXPECT_EQ(h.FieldCount, 4);
  EXPECT_EQ(h.BlobFieldCount, 0);
  EXPECT_EQ(h.LastUpdated, -1000.5);
  EXPECT_EQ(h.TableDescription, "Towns");
  EXPECT_EQ(h.Encrypted, 0);
  EXPECT_EQ(h.TablePassword, "");
  EXPECT_EQ(h.UserMajorVersion, 1);
  EXPECT_EQ(h.UserMinorVersion, 2);
  EXPECT_EQ(h.HeaderModified, 1);
  EXPECT_EQ(h.WriterVersion, 31200);
  EXPECT_EQ(h.SlotsOffset(), 3199);
}

TEST(DataHeaderTest, EncodesToTheSameBytes) {
  TDataHeader h;
  h.ChangeCount = 1;
  h.BlobBlockSize = 512;
  h.FormatVersion = 5;
  h.NextRecordNo = 1;
  h.RecordSize = 51;
  h.FieldCount = 4;
  h.LastUpdated = -1000.5;
  h.TableDescription = "Towns";
  h.UserMajorVersion = 1;
  h.UserMinorVersion = 2;
  h.HeaderModified = 1;
  h.WriterVersion = 31200;
  std::array<uint8_t, 127> out;
  out.fill(0xEE);
  EncodeDataHeader(h, out.data());
  EXPECT_EQ(out, PlainHeaderBytes());
}

TEST(DataHeaderTest, SignedCountersCollationPasswordAndReservedBytes) {
  std::array<uint8_t, 127> b{};
  b[0] = 0xFF, b[1] = 0xFF, b[2] = 0xFF, b[3] = 0xFF;      // ChangeCount -1
  b[9] = 0x02;                                             // FirstFreeRecord 2
  b[13] = 0x01, b[14] = 0xC2, b[15] = 0xEB, b[16] = 0x0B;  // NextRecordNo 200000001
  b[17] = 0xFF, b[18] = 0xFF, b[19] = 0xFF, b[20] = 0x7F;  // LastAutoInc 2147483647
  b[25] = 0x81;                                            // BlobFieldCount 129
  b[35] = 0xFF;                                            // description length too big
  b[86] = 0x01;                                            // Encrypted
  b[87] = 0x02, b[88] = 0x00, b[89] = 0x41;                // password: two characters
  b[103] = 0x09, b[104] = 0x04;                            // LanguageId 0x0409
  b[105] = 0x01;                                           // SortId 1
  b[112] = 0x80, b[115] = 0x80;                            // BlobStampCounter
  b[124] = 0xAB, b[125] = 0xCD, b[126] = 0xEF;             // reserved
  const TDataHeader h = DecodeDataHeader(b.data());
  EXPECT_EQ(h.ChangeCount, -1);
  EXPECT_EQ(h.FirstFreeRecord, 2);
  EXPECT_EQ(h.NextRecordNo, 200000001);
  EXPECT_EQ(h.LastAutoInc, 2147483647);
  EXPECT_EQ(h.BlobFieldCount, 129);
  EXPECT_EQ(h.TableDescription.size(), 50u);  // read as the capacity, never beyond
  EXPECT_EQ(h.Encrypted, 1);
  EXPECT_EQ(h.TablePassword, std::string("\x00\x41", 2));
  EXPECT_EQ(h.LanguageId, 0x0409);
  EXPECT_EQ(h.SortId, 1);
  EXPECT_EQ(h.Lcid(), 0x10409u);
  EXPECT_EQ(h.BlobStampCounter, int32_t(0x80000080u));
  EXPECT_EQ(h.Reserved, (std::array<uint8_t, 3>{0xAB, 0xCD, 0xEF}));

  std::array<uint8_t, 127> out{};
  EncodeDataHeader(h, out.data());
  EXPECT_EQ(out[35], 50);  // the cut description is stored with its true length
  out[35] = 0xFF;
  EXPECT_EQ(out, b);
}

TEST(DataHeaderTest, FieldNamesCompareTrimmedWithoutCase) {
  EXPECT_EQ(FieldNameKey("  Town_Name \t"), "TOWN_NAME");
  EXPECT_EQ(FieldNameKey("stra\xDF"
                         "e\xE9"),
            "STRA\xDF"
            "E\xC9");  // sharp s has no capital
  EXPECT_EQ(UpperCaseChar1252(0xFF), 0x9F);
  EXPECT_EQ(UpperCaseChar1252(0x9A), 0x8A);
  EXPECT_EQ(UpperCaseChar1252(0xF7), 0xF7);
  EXPECT_EQ(UpperCaseChar1252('{'), '{');
}

// The four-field table: string 30 at 9, integer at 41, AutoInc at 5, date at
// 46; RecordSize 51.
struct TLayout {
  TDataHeader header;
  std::vector<TFieldDesc> descs;
  int64_t fileLength = 3199;
};

TLayout FourFields() {
  TLayout l;
  l.header = DecodeDataHeader(PlainHeaderBytes().data());
  l.descs = test::FourFields();
  return l;
}

TEngineErrorCode Verify(TLayout& l, const TLocaleCheck& locale = {},
                        const TFieldTextValidator& validator = {},
                        const std::vector<uint8_t>& nameLengths = {}) {
  try {
    VerifyDataLayout(l.header, l.descs, nameLengths, l.fileLength, locale, validator, "Towns");
  } catch (const ELedraEngineError& e) {
    EXPECT_EQ(e.ErrorTable, "Towns");
    return e.ErrorCode;
  }
  return LEDRA_NONE;
}

TEST(DataHeaderTest, VerifyAcceptsAConsistentTableAndSetsDerivedSizes) {
  TLayout l = FourFields();
  l.descs[0].DataSize = 7;  // recomputed from type and size
  l.descs[0].DataScale = 3;
  EXPECT_EQ(Verify(l), LEDRA_NONE);
  EXPECT_EQ(l.descs[0].DataSize, 31);
  EXPECT_EQ(l.descs[0].DataScale, 0);

  // Two slots and a free chain naming the second.
  l.header.NextRecordNo = 3;
  l.header.FirstFreeRecord = 2;
  l.fileLength = 3199 + 2 * 51;
  EXPECT_EQ(Verify(l), LEDRA_NONE);

  // A BCD field with its scale, and a name starting with a character above 127.
  l = FourFields();
  l.descs.push_back(test::PlacedAt(test::MakeField(5, "Ärger", fldBCD), 51));
  l.descs[4].Scale = 2;
  l.header.FieldCount = 5;
  l.header.RecordSize = 86;
  l.fileLength = 127 + 5 * 768;
  EXPECT_EQ(Verify(l), LEDRA_NONE);
  EXPECT_EQ(l.descs[4].DataScale, 2);
}

TEST(DataHeaderTest, VerifyRefusesEachBrokenRule) {
  struct TCase {
    const char* what;
    void (*damage)(TLayout&);
  };
  const TCase cases[] = {
      {"empty name", [](TLayout& l) { l.descs[1].FieldName = ""; }},
      {"name starts with a digit", [](TLayout& l) { l.descs[1].FieldName = "1st"; }},
      {"name starts with a blank", [](TLayout& l) { l.descs[1].FieldName = " Count"; }},
      {"name starts with 127", [](TLayout& l) { l.descs[1].FieldName = ""; }},
      {"duplicate name", [](TLayout& l) { l.descs[3].FieldName = " name "; }},
      {"duplicate FieldNo", [](TLayout& l) { l.descs[3].FieldNo = 2; }},
      {"FieldNo not the position", [](TLayout& l) { l.descs[3].FieldNo = 9; }},
      {"type 0", [](TLayout& l) { l.descs[1].FieldType = 0; }},
      {"size 251", [](TLayout& l) { l.descs[0].Size = 251; }},
      {"size on an integer", [](TLayout& l) { l.descs[1].Size = 4; }},
      {"scale on a non-BCD type", [](TLayout& l) { l.descs[1].Scale = 1; }},
      {"wrong offset", [](TLayout& l) { l.descs[3].Offset = 45; }},
      {"AutoInc not at 5", [](TLayout& l) { l.descs[2].Offset = 46; }},
      {"wrong RecordSize", [](TLayout& l) { l.header.RecordSize = 52; }},
      {"more descriptors than FieldCount", [](TLayout& l) { l.header.FieldCount = 3; }},
      {"one byte past whole slots", [](TLayout& l) { l.fileLength += 51 + 1; }},
      {"NextRecordNo beyond the slots", [](TLayout& l) { l.header.NextRecordNo = 2; }},
      {"FirstFreeRecord beyond the slots",
       [](TLayout& l) {
         l.header.NextRecordNo = 2;
         l.header.FirstFreeRecord = 2;
         l.fileLength += 51;
       }},
      {"FirstFreeRecord negative", [](TLayout& l) { l.header.FirstFreeRecord = -1; }},
      {"file shorter than the descriptors", [](TLayout& l) { l.fileLength = 3198; }},
      {"RecordSize 0", [](TLayout& l) { l.header.RecordSize = 0; }},
      {"negative blob block size", [](TLayout& l) { l.header.BlobBlockSize = -512; }},
  };
  for (const TCase& c : cases) {
    TLayout l = FourFields();
    l.descs[0].DataSize = 7;  // a failed check corrects nothing
    c.damage(l);
    EXPECT_EQ(Verify(l), LEDRA_HEADERCORRUPT) << c.what;
    EXPECT_EQ(l.descs[0].DataSize, 7) << c.what;
  }

  TLayout l = FourFields();
  EXPECT_EQ(Verify(l, {}, {}, {4, 31, 2, 4}), LEDRA_HEADERCORRUPT) << "name length byte 31";
  l = FourFields();
  EXPECT_EQ(Verify(l, {}, {}, {4, 30, 2, 4}), LEDRA_NONE);
}

TEST(DataHeaderTest, VerifyVersionLocaleAndValueTexts) {
  TLayout l = FourFields();
  l.header.FormatVersion = 4;
  EXPECT_EQ(Verify(l), LEDRA_OLDVERSION);

  l = FourFields();
  l.header.LanguageId = 0x0409;
  l.header.SortId = 1;
  uint32_t asked = 0;
  auto refuse = [&](uint32_t lcid) {
    asked = lcid;
    return false;
  };
  EXPECT_EQ(Verify(l, refuse), LEDRA_CANNOTLOADLDDRV);
  EXPECT_EQ(asked, 0x10409u);
  EXPECT_EQ(Verify(l), LEDRA_CANNOTLOADLDDRV);  // no locale service: nothing is installed
  EXPECT_EQ(Verify(l, [](uint32_t) { return true; }), LEDRA_NONE);

  l = FourFields();
  l.descs[1].MinValue = "12";
  l.descs[1].MaxValue = "x";
  std::vector<std::string> seen;
  auto digitsOnly = [&](const TFieldDesc& d, const std::string& text) {
    seen.push_back(d.FieldName + "=" + text);
    return text.find_first_not_of("0123456789") == std::string::npos;
  };
  EXPECT_EQ(Verify(l, {}, digitsOnly), LEDRA_HEADERCORRUPT);
  EXPECT_EQ(seen, (std::vector<std::string>{"Count=12", "Count=x"}));
  l.descs[1].MaxValue = "99";
  EXPECT_EQ(Verify(l, {}, digitsOnly), LEDRA_NONE);
}

}  // namespace
}  // namespace ledra
