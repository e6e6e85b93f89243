#include "engine/index/IndexHeader.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <random>
#include <vector>

#include "tests/engine/index/IndexTestSupport.h"

namespace ledra {
namespace {

using test::Bytes;
using test::CodeOf;
using test::Hex;

// A descriptor written out from the layout table: "ByPost", KeyLength 16,
// case-insensitive, non-unique, FULL, one key field (1) descending, root 7,
// first free page 9, reserved byte 95 = AA, no entry counts.
const Bytes kByPostDesc = Hex(
    "06 42 79 50 6F 73 74 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00"
    "10 00 | 00 01 00 03 01"
    "01 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00"
    "01 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 "
    "00"
    "07 00 00 00 | 09 00 00 00 | 00 AA | 00 00 00 00 | 01 00"
    "00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00");

TEST(IndexHeaderTest, DescriptorFromTheLayoutTable) {
  ASSERT_EQ(kByPostDesc.size(), kIndexDescSize);
  TIndexDesc d = DecodeIndexDesc(kByPostDesc.data());
  EXPECT_EQ(d.IndexName(), "ByPost");
  EXPECT_EQ(d.KeyLength, 16);
  EXPECT_EQ(d.Descending, 0);
  EXPECT_EQ(d.CaseInsensitive, 1);
  EXPECT_EQ(d.Unique, 0);
  EXPECT_EQ(d.Compression, kCompressFull);
  EXPECT_EQ(d.KeyFieldCount, 1);
  EXPECT_EQ(d.FieldDescending[0], 1);
  EXPECT_EQ(d.FieldDescending[1], 0);
  EXPECT_EQ(d.KeyFields[0], 1);
  EXPECT_EQ(d.KeyFields[1], 0);
  EXPECT_EQ(d.RootPage, 7);
  EXPECT_EQ(d.FirstFreePage, 9);
  EXPECT_EQ(d.TextParamPage, 0);
  EXPECT_EQ(d.NoEntryCounts, 1);
  EXPECT_EQ(d.Temporary, 0);

  // Built field by field, it encodes to the same bytes; the reserved byte is
  // carried through.
  TIndexDesc built;
  built.SetIndexName("ByPost");
  built.KeyLength = 16;
  built.CaseInsensitive = 1;
  built.Compression = kCompressFull;
  built.KeyFieldCount = 1;
  built.FieldDescending[0] = 1;
  built.KeyFields[0] = 1;
  built.RootPage = 7;
  built.FirstFreePage = 9;
  built.Reserved95 = 0xAA;
  built.NoEntryCounts = 1;
  Bytes out(kIndexDescSize, 0xEE);
  EncodeIndexDesc(built, out.data());
  EXPECT_EQ(out, kByPostDesc);
}

TEST(IndexHeaderTest, NamesAreCutAndStaleBytesKept) {
  TIndexDesc d;
  d.SetIndexName("An index name far longer than thirty characters");
  EXPECT_EQ(d.IndexName(), "An index name far longer than ");
  EXPECT_EQ(d.IndexNameBytes[0], 30);

  // A stale character after the length survives a decode and encode.
  Bytes raw = kByPostDesc;
  raw[10] = 'Z';
  raw[0] = 0x40;  // a damaged length byte reads as 30
  TIndexDesc stale = DecodeIndexDesc(raw.data());
  EXPECT_EQ(stale.IndexName().size(), 30u);
  Bytes out(kIndexDescSize);
  EncodeIndexDesc(stale, out.data());
  EXPECT_EQ(out, raw);
}

TEST(IndexHeaderTest, FreshHeaderMatchesTheLayout) {
  TIndexHeader h = FreshIndexHeader();
  h.IdxChangeCount = 1;
  Bytes out(kIndexHeaderSize, 0xEE);
  EncodeIndexHeader(h, out.data());
  EXPECT_EQ(out, test::FreshHeaderGolden());

  TIndexHeader back;
  DecodeIndexHeader(test::FreshHeaderGolden().data(), back);
  EXPECT_EQ(back, h);
  EXPECT_EQ(back.Descs[kDeletedSlot].IndexName(), "Sys Deleted");
  EXPECT_EQ(back.Descs[kTextSlot].IndexName(), "Sys Text");
  EXPECT_EQ(back.NextPageNo, 1);
}

TEST(IndexHeaderTest, CaseFoldingAndNameRules) {
  EXPECT_TRUE(SameIndexName("ByName", " BYNAME "));
  EXPECT_TRUE(SameIndexName("\xE9t\xE9", "\xC9T\xC9"));  // é / É
  EXPECT_TRUE(SameIndexName("\xFF", "\x9F"));            // ÿ / Ÿ
  EXPECT_FALSE(SameIndexName("ByName", "ByNames"));
  EXPECT_FALSE(SameIndexName("\xF7", "\xD7"));  // ÷ and × are not a pair
  EXPECT_TRUE(IndexNameStartsValid("_x"));
  EXPECT_TRUE(IndexNameStartsValid("  idx"));
  EXPECT_TRUE(IndexNameStartsValid("\x80"));
  EXPECT_TRUE(IndexNameStartsValid("\xFF"));  // upper-cased to 0x9F
  EXPECT_FALSE(IndexNameStartsValid("1abc"));
  EXPECT_FALSE(IndexNameStartsValid("   "));
  EXPECT_FALSE(IndexNameStartsValid(""));
}

// A sound header over SampleFields: a primary index on Code, "ByName" (Name,
// non-unique), "ByShort" (Short and Amount, unique), text index over Name and
// Notes, pages 1..9.
TIndexHeader SoundHeader() {
  TIndexHeader h = FreshIndexHeader();
  h.NextPageNo = 10;
  h.SecondaryIndexCount = 2;
  TIndexDesc& p = h.Descs[0];
  p.KeyLength = 5;
  p.Unique = 1;
  p.KeyFieldCount = 1;
  p.KeyFields[0] = 2;
  p.RootPage = 3;
  TIndexDesc& n = h.Descs[1];
  n.SetIndexName("ByName");
  n.KeyLength = 16;
  n.KeyFieldCount = 1;
  n.KeyFields[0] = 1;
  n.RootPage = 4;
  n.FirstFreePage = 9;
  TIndexDesc& s = h.Descs[2];
  s.SetIndexName("ByShort");
  s.KeyLength = 15;
  s.Unique = 1;
  s.KeyFieldCount = 2;
  s.KeyFields[0] = 4;
  s.KeyFields[1] = 6;
  TIndexDesc& t = h.Descs[kTextSlot];
  t.KeyFieldCount = 2;
  t.KeyFields[0] = 1;
  t.KeyFields[1] = 3;
  t.TextParamPage = 8;
  // Stale bytes in an unused slot are no concern.
  h.Descs[5].KeyFields[0] = 0xFFFF;
  h.Descs[5].RootPage = -7;
  return h;
}

TEngineErrorCode VerifyCode(const TIndexHeader& h) {
  std::vector<TFieldDesc> fields = test::SampleFields();
  return CodeOf([&] { VerifyIndexHeader(h, fields, "Towns"); });
}

TEST(IndexHeaderTest, VerifyAcceptsASoundHeader) {
  EXPECT_EQ(VerifyCode(SoundHeader()), LEDRA_NONE);
  EXPECT_EQ(VerifyCode(FreshIndexHeader()), LEDRA_HEADERCORRUPT)
      << "slot 0 of a fresh header has no key until NoPrimaryIndex is set";
  TIndexHeader none = FreshIndexHeader();
  none.NoPrimaryIndex = 1;
  EXPECT_EQ(VerifyCode(none), LEDRA_NONE);
}

TEST(IndexHeaderTest, VerifyRefusesEachInconsistency) {
  struct TCase {
    const char* what;
    std::function<void(TIndexHeader&)> damage;
    TEngineErrorCode code;
  };
  const std::vector<TCase> cases = {
      {"version 4", [](TIndexHeader& h) { h.IdxFormatVersion = 4; }, LEDRA_OLDVERSION},
      {"31 secondary indexes", [](TIndexHeader& h) { h.SecondaryIndexCount = 31; },
       LEDRA_HEADERCORRUPT},
      {"NextPageNo 0", [](TIndexHeader& h) { h.NextPageNo = 0; }, LEDRA_HEADERCORRUPT},
      {"NextPageNo past the last page", [](TIndexHeader& h) { h.NextPageNo = 976563; },
       LEDRA_HEADERCORRUPT},
      {"named primary", [](TIndexHeader& h) { h.Descs[0].SetIndexName("P"); }, LEDRA_HEADERCORRUPT},
      {"primary not unique",
       [](TIndexHeader& h) {
         h.Descs[0].Unique = 0;
         h.Descs[0].KeyLength = 9;
       },
       LEDRA_HEADERCORRUPT},
      {"name starting with a digit", [](TIndexHeader& h) { h.Descs[2].SetIndexName("2nd"); },
       LEDRA_HEADERCORRUPT},
      {"duplicate names", [](TIndexHeader& h) { h.Descs[2].SetIndexName(" BYNAME"); },
       LEDRA_HEADERCORRUPT},
      {"17 key fields", [](TIndexHeader& h) { h.Descs[1].KeyFieldCount = 17; },
       LEDRA_HEADERCORRUPT},
      {"gap in KeyFields",
       [](TIndexHeader& h) {
         h.Descs[2].KeyFields = {4, 0, 6};
       },
       LEDRA_HEADERCORRUPT},
      {"missing field", [](TIndexHeader& h) { h.Descs[1].KeyFields[0] = 40; }, LEDRA_HEADERCORRUPT},
      {"blob key field", [](TIndexHeader& h) { h.Descs[1].KeyFields[0] = 5; }, LEDRA_HEADERCORRUPT},
      {"KeyFieldCount above the list", [](TIndexHeader& h) { h.Descs[2].KeyFieldCount = 3; },
       LEDRA_HEADERCORRUPT},
      {"KeyFieldCount below the list", [](TIndexHeader& h) { h.Descs[2].KeyFieldCount = 1; },
       LEDRA_HEADERCORRUPT},
      {"KeyLength without the tail", [](TIndexHeader& h) { h.Descs[1].KeyLength = 12; },
       LEDRA_HEADERCORRUPT},
      {"KeyLength too long", [](TIndexHeader& h) { h.Descs[0].KeyLength = 6; },
       LEDRA_HEADERCORRUPT},
      {"no key fields",
       [](TIndexHeader& h) {
         h.Descs[1].KeyFieldCount = 0;
         h.Descs[1].KeyFields[0] = 0;
         h.Descs[1].KeyLength = 4;
       },
       LEDRA_HEADERCORRUPT},
      {"root beyond the file", [](TIndexHeader& h) { h.Descs[1].RootPage = 10; },
       LEDRA_HEADERCORRUPT},
      {"negative free page", [](TIndexHeader& h) { h.Descs[0].FirstFreePage = -1; },
       LEDRA_HEADERCORRUPT},
      {"text page beyond the file", [](TIndexHeader& h) { h.Descs[kTextSlot].TextParamPage = 11; },
       LEDRA_HEADERCORRUPT},
      {"text index over an integer", [](TIndexHeader& h) { h.Descs[kTextSlot].KeyFields[1] = 2; },
       LEDRA_HEADERCORRUPT},
      {"text index over a graphic", [](TIndexHeader& h) { h.Descs[kTextSlot].KeyFields[1] = 5; },
       LEDRA_HEADERCORRUPT},
      {"text KeyLength", [](TIndexHeader& h) { h.Descs[kTextSlot].KeyLength = 64; },
       LEDRA_HEADERCORRUPT},
      {"text KeyFieldCount", [](TIndexHeader& h) { h.Descs[kTextSlot].KeyFieldCount = 1; },
       LEDRA_HEADERCORRUPT},
      {"deleted-records key length", [](TIndexHeader& h) { h.Descs[kDeletedSlot].KeyLength = 600; },
       LEDRA_HEADERCORRUPT},
  };
  for (const TCase& c : cases) {
    TIndexHeader h = SoundHeader();
    c.damage(h);
    EXPECT_EQ(VerifyCode(h), c.code) << c.what;
  }
}

TEST(IndexHeaderTest, VerifyKeyLengthBoundary) {
  std::vector<TFieldDesc> fields = {
      test::MakeField(1, "A", fldString, 250), test::MakeField(2, "B", fldString, 250),
      test::MakeField(3, "C", fldString, 16), test::MakeField(4, "D", fldString, 17)};
  TIndexHeader h = FreshIndexHeader();
  h.Descs[0].Unique = 1;
  h.Descs[0].KeyFieldCount = 3;
  h.Descs[0].KeyFields = {1, 2, 3};
  h.Descs[0].KeyLength = 522;
  EXPECT_EQ(CodeOf([&] { VerifyIndexHeader(h, fields, "T"); }), LEDRA_NONE);
  h.Descs[0].KeyFields = {1, 2, 4};
  h.Descs[0].KeyLength = 523;
  EXPECT_EQ(CodeOf([&] { VerifyIndexHeader(h, fields, "T"); }), LEDRA_HEADERCORRUPT);
}

TEST(IndexHeaderTest, VerifyWithoutPrimaryIndex) {
  TIndexHeader h = SoundHeader();
  h.NoPrimaryIndex = 1;
  h.Descs[0] = TIndexDesc{};
  EXPECT_EQ(VerifyCode(h), LEDRA_NONE);
  // A missing field ends the walk of slot 0 instead of failing it.
  h.Descs[0].KeyFields[0] = 77;
  EXPECT_EQ(VerifyCode(h), LEDRA_NONE);
  h.Descs[0].KeyFields[0] = 5;  // but a blob still fails
  EXPECT_EQ(VerifyCode(h), LEDRA_HEADERCORRUPT);
}

// Flipping any byte of a sound header, or several at random, gives either a
// header that passes or a clean refusal.
// A damaged NextPageNo may be any number, the smallest included.
TEST(IndexHeaderTest, PageNumbersAgainstAnyNextPageNo) {
  EXPECT_TRUE(IsValidPageNo(5, 4));
  EXPECT_FALSE(IsValidPageNo(5, 5));
  EXPECT_TRUE(IsValidPageNo(5, 0));
  EXPECT_FALSE(IsValidPageNo(5, -1));
  EXPECT_FALSE(IsValidPageNo(INT32_MIN, 1));
  EXPECT_FALSE(IsValidPageNo(INT32_MIN, INT32_MAX));
  EXPECT_TRUE(IsValidPageNo(INT32_MAX, INT32_MAX - 1));
  EXPECT_FALSE(IsValidPageNo(0, 1));
}

TEST(IndexHeaderTest, DamagedHeadersFailCleanly) {
  Bytes sound(kIndexHeaderSize);
  EncodeIndexHeader(SoundHeader(), sound.data());
  std::vector<TFieldDesc> fields = test::SampleFields();
  auto check = [&](const Bytes& bytes) {
    TIndexHeader h;
    DecodeIndexHeader(bytes.data(), h);
    TEngineErrorCode code = CodeOf([&] { VerifyIndexHeader(h, fields, "T"); });
    ASSERT_TRUE(code == LEDRA_NONE || code == LEDRA_HEADERCORRUPT || code == LEDRA_OLDVERSION)
        << code;
    if (code == LEDRA_NONE) {
      EXPECT_LE(h.SecondaryIndexCount, kMaxSecondary);
      for (int s = 0; s <= h.SecondaryIndexCount; ++s) {
        EXPECT_LE(h.Descs[s].KeyLength, kMaxStoredKeyLength);
      }
    }
  };
  for (size_t i = 0; i < sound.size(); ++i) {
    for (uint8_t mask : {uint8_t(0xFF), uint8_t(0x01), uint8_t(0x80)}) {
      Bytes b = sound;
      b[i] ^= mask;
      check(b);
    }
  }
  std::mt19937 random(20240611);
  for (int round = 0; round < 2000; ++round) {
    Bytes b = sound;
    for (int n = 0; n < 4; ++n) b[random() % b.size()] = uint8_t(random());
    check(b);
  }
}

}  // namespace
}  // namespace ledra
