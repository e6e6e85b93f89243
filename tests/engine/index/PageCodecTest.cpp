#include "engine/index/PageCodec.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "tests/engine/index/IndexTestSupport.h"

namespace ledra {
namespace {

using test::Bytes;
using test::CodeOf;
using test::Hex;

// Unique index over a string of size 4: K = 6.
const TPageFormat kUnique6{6, 1, kCompressNone, 1};
const Bytes kU1 = Hex("01 41 42 00 00 00");  // "AB"
const Bytes kU2 = Hex("01 41 43 44 00 00");  // "ACD"
const Bytes kU3 = Hex("01 42 00 00 00 00");  // "B"

// Non-unique index over the same field: K = 10, the last 4 bytes the row id
// (256, 512, 5 with the top bit inverted; the first two end in 0x00).
const TPageFormat kMulti10{10, 0, kCompressNone, 1};
const Bytes kN1 = Hex("01 41 00 00 00 00 80 00 01 00");
const Bytes kN2 = Hex("01 41 00 00 00 00 80 00 02 00");
const Bytes kN3 = Hex("01 41 42 00 00 00 80 00 00 05");

TPageFormat With(TPageFormat f, uint8_t compression) {
  f.Compression = compression;
  return f;
}

Bytes PageBytes(const std::string& hex) {
  return test::Padded(Hex(hex), kIndexPageSize);
}

// A root leaf holding three keys with records `firstRecord`, + 1, + 2.
void FillLeaf(TPage& page, const TPageFormat& f, const std::vector<Bytes>& keys,
              int32_t firstRecord) {
  page.Reset(1, 1, f);
  page.PageType = kPageRootLeaf;
  for (size_t i = 0; i < keys.size(); ++i) {
    page.InsertEntry(i, keys[i].data(), firstRecord + int32_t(i));
  }
  RecomputeCompression(page);
}

struct TGolden {
  const char* what;
  TPageFormat format;
  std::vector<Bytes> keys;
  int32_t firstRecord;
  std::string page;  // header and body, the rest of the 4096 bytes 0
  uint32_t usedBytes;
  std::vector<std::pair<uint8_t, uint8_t>> pt;  // p and t of each entry
};

// Leaf pages of every compression, written out from the entry table.
std::vector<TGolden> Goldens() {
  return {
      {"unique NONE",
       With(kUnique6, kCompressNone),
       {kU1, kU2, kU3},
       7,
       "03 0300 00000000 00000000 0000"
       "014142000000 07000000 014143440000 08000000 014200000000 09000000",
       0,
       {{0, 0}, {0, 0}, {0, 0}}},
      {"unique DUPBYTE",
       With(kUnique6, kCompressDupByte),
       {kU1, kU2, kU3},
       7,
       "03 0300 00000000 00000000 1E00"
       "00 014142000000 07000000 | 02 43440000 08000000 | 01 4200000000 09000000",
       30,
       {{0, 0}, {2, 0}, {1, 0}}},
      {"unique TRAILBYTE",
       With(kUnique6, kCompressTrailByte),
       {kU1, kU2, kU3},
       7,
       "03 0300 00000000 00000000 1800"
       "03 014142 07000000 | 02 01414344 08000000 | 04 0142 09000000",
       24,
       {{0, 3}, {0, 2}, {0, 4}}},
      {"unique FULL",
       With(kUnique6, kCompressFull),
       {kU1, kU2, kU3},
       7,
       "03 0300 00000000 00000000 1800"
       "00 03 014142 07000000 | 02 02 4344 08000000 | 01 04 42 09000000",
       24,
       {{0, 3}, {2, 2}, {1, 4}}},
      {"non-unique NONE",
       With(kMulti10, kCompressNone),
       {kN1, kN2, kN3},
       3,
       "03 0300 00000000 00000000 0000"
       "01410000000080000100 03000000 01410000000080000200 04000000"
       "01414200000080000005 05000000",
       0,
       {{0, 0}, {0, 0}, {0, 0}}},
      {"non-unique DUPBYTE",
       With(kMulti10, kCompressDupByte),
       {kN1, kN2, kN3},
       3,
       "03 0300 00000000 00000000 2300"
       "00 01410000000080000100 03000000 | 08 0200 04000000 | 02 4200000080000005 05000000",
       35,
       {{0, 0}, {8, 0}, {2, 0}}},
      // t stops short of the row id, whose own trailing 0x00 stays.
      {"non-unique TRAILBYTE",
       With(kMulti10, kCompressTrailByte),
       {kN1, kN2, kN3},
       3,
       "03 0300 00000000 00000000 2200"
       "04 0141 80000100 03000000 | 04 0141 80000200 04000000 | 03 014142 80000005 05000000",
       34,
       {{0, 4}, {0, 4}, {0, 3}}},
      // The second entry's prefix reaches into the row id: t = 0 and the rest
      // of the key is stored whole.
      {"non-unique FULL",
       With(kMulti10, kCompressFull),
       {kN1, kN2, kN3},
       3,
       "03 0300 00000000 00000000 1F00"
       "00 04 0141 80000100 03000000 | 08 00 0200 04000000 | 02 03 42 80000005 05000000",
       31,
       {{0, 4}, {8, 0}, {2, 3}}},
  };
}

TEST(PageCodecTest, LeafPagesOfEveryCompression) {
  for (const TGolden& g : Goldens()) {
    SCOPED_TRACE(g.what);
    Bytes golden = PageBytes(g.page);

    TPage built;
    FillLeaf(built, g.format, g.keys, g.firstRecord);
    EXPECT_EQ(built.UsedBytes, g.usedBytes);
    for (size_t i = 0; i < g.pt.size(); ++i) {
      EXPECT_EQ(built.Entry(i).Prefix, g.pt[i].first) << "entry " << i;
      EXPECT_EQ(built.Entry(i).Trail, g.pt[i].second) << "entry " << i;
    }
    Bytes out(kIndexPageSize, 0xEE);
    EncodePage(built, out.data(), "T");
    EXPECT_EQ(out, golden);

    TPage read;
    read.Reset(1, 1, g.format);
    DecodePage(golden.data(), read, false, "T");
    EXPECT_EQ(read.PageType, kPageRootLeaf);
    ASSERT_EQ(read.EntryCount(), g.keys.size());
    EXPECT_EQ(read.UsedBytes, g.usedBytes);
    for (size_t i = 0; i < g.keys.size(); ++i) {
      EXPECT_EQ(Bytes(read.Key(i), read.Key(i) + g.format.KeyLength), g.keys[i]) << i;
      EXPECT_EQ(read.Entry(i).Pointer, g.firstRecord + int32_t(i));
    }
  }
}

TEST(PageCodecTest, FullPrefixJustShortOfTheTail) {
  // K - p = 5: t still counts within the single byte before the row id.
  const Bytes a = Hex("01 41 42 43 44 45 80 00 00 01");
  const Bytes b = Hex("01 41 42 43 44 00 80 00 00 02");
  TPage page;
  FillLeaf(page, With(kMulti10, kCompressFull), {a, b}, 1);
  EXPECT_EQ(page.Entry(1).Prefix, 5);
  EXPECT_EQ(page.Entry(1).Trail, 1);
  Bytes out(kIndexPageSize);
  EncodePage(page, out.data(), "T");
  EXPECT_EQ(out, PageBytes("03 0200 00000000 00000000 1A00"
                           "00 00 01414243444580000001 01000000 | 05 01 80000002 02000000"));
}

TEST(PageCodecTest, InnerPagesWithAndWithoutCounts) {
  TPage root;
  root.Reset(6, 1, kUnique6);
  root.PageType = kPageRootInner;
  root.InsertEntry(0, kU1.data(), 2, 10);
  root.InsertEntry(1, kU3.data(), 5, 7);
  Bytes counted = PageBytes(
      "00 0200 00000000 00000000 0000"
      "014142000000 02000000 0A000000 | 014200000000 05000000 07000000");
  Bytes out(kIndexPageSize);
  EncodePage(root, out.data(), "T");
  EXPECT_EQ(out, counted);

  TPageFormat noCounts = kUnique6;
  noCounts.EntryCounts = 0;
  TPage inner;
  inner.Reset(6, 1, noCounts);
  inner.PageType = kPageInner;
  inner.PrevPage = 4;
  inner.NextPage = 9;
  inner.InsertEntry(0, kU1.data(), 2);
  inner.InsertEntry(1, kU3.data(), 5);
  Bytes bare = PageBytes(
      "01 0200 04000000 09000000 0000"
      "014142000000 02000000 | 014200000000 05000000");
  EncodePage(inner, out.data(), "T");
  EXPECT_EQ(out, bare);

  TPage read;
  read.Reset(6, 1, kUnique6);
  DecodePage(counted.data(), read, false, "T");
  ASSERT_EQ(read.EntryCount(), 2);
  EXPECT_EQ(read.Entry(1).Pointer, 5);
  EXPECT_EQ(read.Entry(1).Count, 7);
  read.Reset(6, 1, noCounts);
  DecodePage(bare.data(), read, false, "T");
  ASSERT_EQ(read.EntryCount(), 2);
  EXPECT_EQ(read.PrevPage, 4);
  EXPECT_EQ(read.NextPage, 9);
  EXPECT_EQ(read.Entry(0).Pointer, 2);
  EXPECT_EQ(Bytes(read.Key(1), read.Key(1) + 6), kU3);

  // A compressed index still has plain inner pages.
  read.Reset(6, 1, With(kUnique6, kCompressFull));
  DecodePage(counted.data(), read, false, "T");
  EXPECT_EQ(read.Entry(0).Count, 10);
}

TEST(PageCodecTest, TextSlotFormatHasNoCounts) {
  TIndexHeader h = FreshIndexHeader();
  TPageFormat text = PageFormatOf(kTextSlot, h.Descs[kTextSlot]);
  EXPECT_EQ(text, (TPageFormat{68, 0, kCompressFull, 0}));
  TPageFormat deleted = PageFormatOf(kDeletedSlot, h.Descs[kDeletedSlot]);
  EXPECT_EQ(deleted, (TPageFormat{5, 0, kCompressNone, 1}));
  EXPECT_EQ(InnerCapacity(text), 4083 / 72);
  EXPECT_EQ(InnerCapacity(deleted), 4083 / 13);
}

TEST(PageCodecTest, FreedAndParameterPages) {
  TPage page;
  FillLeaf(page, With(kUnique6, kCompressFull), {kU1, kU2}, 1);
  page.PrevPage = 3;
  page.NextPage = 12;
  page.Freed = true;
  Bytes out(kIndexPageSize, 0xEE);
  EncodePage(page, out.data(), "T");
  EXPECT_EQ(out, PageBytes("03 0000 03000000 0C000000 0000"));
  Bytes free(kIndexPageSize, 0xEE);
  EncodeFreePage(kPageLeaf, 0, 12, free.data());
  EXPECT_EQ(free, PageBytes("02 0000 00000000 0C000000 0000"));

  // Allocation takes only the header of a free page.
  TPage reused;
  reused.Reset(5, 1, kUnique6);
  DecodePage(free.data(), reused, true, "T");
  EXPECT_EQ(reused.NextPage, 12);
  EXPECT_EQ(reused.EntryCount(), 0);

  TPage param;
  param.Reset(8, kTextSlot, PageFormatOf(kTextSlot, FreshIndexHeader().Descs[kTextSlot]));
  param.PageType = kPageParam;
  param.NextPage = 9;
  param.ParamBody()[0] = 0x11;
  param.ParamBody()[kPageBodySize - 1] = 0x22;
  EncodePage(param, out.data(), "T");
  Bytes expected = PageBytes("04 0000 00000000 09000000 0000 11");
  expected[kIndexPageSize - 1] = 0x22;
  EXPECT_EQ(out, expected);
  TPage back;
  back.Reset(8, kTextSlot, param.Format);
  DecodePage(expected.data(), back, false, "T");
  EXPECT_EQ(back.ParamBody()[0], 0x11);
  EXPECT_EQ(back.ParamBody()[kPageBodySize - 1], 0x22);
}

TEST(PageCodecTest, CapacitiesAndOverfullPages) {
  TPageFormat k12{12, 1, kCompressNone, 1};
  EXPECT_EQ(LeafCapacity(k12), 255);
  EXPECT_EQ(InnerCapacity(k12), 204);
  TPage page;
  page.Reset(1, 1, k12);
  page.PageType = kPageLeaf;
  Bytes key(12, 0);
  for (int i = 0; i < 256; ++i) {
    key[11] = uint8_t(i);
    key[10] = uint8_t(i >> 8);
    page.InsertEntry(page.EntryCount(), key.data(), i + 1);
  }
  EXPECT_TRUE(IsOverfull(page));
  Bytes out(kIndexPageSize);
  EXPECT_EQ(CodeOf([&] { EncodePage(page, out.data(), "T"); }), LEDRA_INDEXCORRUPT);
  page.RemoveEntries(255);
  EXPECT_FALSE(IsOverfull(page));
  EncodePage(page, out.data(), "T");
  EXPECT_EQ(out[1], 255);

  // A FULL leaf of distinct, incompressible 20-byte keys fills by bytes.
  TPageFormat full{20, 1, kCompressFull, 1};
  page.Reset(1, 1, full);
  page.PageType = kPageLeaf;
  std::mt19937 random(7);
  while (true) {
    Bytes k(20);
    for (auto& b : k) b = uint8_t(1 + random() % 255);
    page.InsertEntry(page.EntryCount(), k.data(), 1);
    RecomputeCompression(page);
    if (IsOverfull(page)) break;
  }
  EXPECT_GT(page.UsedBytes, 4083u);
  EXPECT_EQ(CodeOf([&] { EncodePage(page, out.data(), "T"); }), LEDRA_INDEXCORRUPT);
  page.RemoveEntries(page.EntryCount() - 1);
  RecomputeCompression(page);
  EncodePage(page, out.data(), "T");
  EXPECT_EQ(out[11] | (out[12] << 8), int(page.UsedBytes));
}

TEST(PageCodecTest, MinimumEntryLengths) {
  EXPECT_EQ(MinLeafEntryLength({6, 1, kCompressNone, 1}), 10);
  EXPECT_EQ(MinLeafEntryLength({6, 1, kCompressDupByte, 1}), 5);
  EXPECT_EQ(MinLeafEntryLength({300, 1, kCompressDupByte, 1}), 300 - 254 + 5);
  EXPECT_EQ(MinLeafEntryLength({10, 0, kCompressTrailByte, 1}), 9);  // the tail stays
  EXPECT_EQ(MinLeafEntryLength({508, 1, kCompressFull, 1}), 6);
  EXPECT_EQ(MinLeafEntryLength({526, 1, kCompressFull, 1}), 24);
  EXPECT_EQ(MinLeafEntryLength({68, 0, kCompressFull, 0}), 6);  // p = K
  EXPECT_EQ(MinLeafEntryLength({526, 0, kCompressFull, 1}), 24);
  EXPECT_EQ(MaxPageEntries({6, 1, kCompressFull, 1}), 4083 / 6 + 1);
}

// Pages damaged on disk: every decode ends in a clean LEDRA_INDEXCORRUPT or
// a page that encodes and decodes back to the same keys.
void SweepPage(const Bytes& sound, const TPageFormat& format, uint8_t slot, size_t span,
               std::mt19937& random) {
  TPage page;
  TPage again;
  Bytes out(kIndexPageSize);
  auto check = [&](const Bytes& bytes) {
    page.Reset(1, slot, format);
    TEngineErrorCode code = CodeOf([&] { DecodePage(bytes.data(), page, false, "T"); });
    ASSERT_TRUE(code == LEDRA_NONE || code == LEDRA_INDEXCORRUPT) << code;
    if (code != LEDRA_NONE) {
      EXPECT_EQ(page.EntryCount(), 0);
      return;
    }
    if (page.IsParam()) return;
    RecomputeCompression(page);
    code = CodeOf([&] { EncodePage(page, out.data(), "T"); });
    ASSERT_TRUE(code == LEDRA_NONE || code == LEDRA_INDEXCORRUPT) << code;
    if (code != LEDRA_NONE) return;
    again.Reset(1, slot, format);
    DecodePage(out.data(), again, false, "T");
    ASSERT_EQ(again.EntryCount(), page.EntryCount());
    for (size_t i = 0; i < page.EntryCount(); ++i) {
      ASSERT_EQ(0, std::memcmp(again.Key(i), page.Key(i), format.KeyLength));
      ASSERT_EQ(again.Entry(i).Pointer, page.Entry(i).Pointer);
    }
  };
  for (size_t i = 0; i < span; ++i) {
    for (int bit = 0; bit < 8; ++bit) {
      Bytes b = sound;
      b[i] ^= uint8_t(1 << bit);
      check(b);
    }
    Bytes b = sound;
    b[i] = 0xFF;
    check(b);
  }
  for (int round = 0; round < 300; ++round) {
    Bytes b = sound;
    for (int n = 0; n < 3; ++n) b[random() % (span + 8)] = uint8_t(random());
    check(b);
  }
}

TEST(PageCodecTest, DamagedPagesFailCleanly) {
  std::mt19937 random(4083);
  for (const TGolden& g : Goldens()) {
    SCOPED_TRACE(g.what);
    SweepPage(PageBytes(g.page), g.format, 1, 13 + 60, random);
  }
  SweepPage(PageBytes("00 0200 00000000 00000000 0000"
                      "014142000000 02000000 0A000000 | 014200000000 05000000 07000000"),
            kUnique6, 1, 13 + 40, random);
  SweepPage(PageBytes("04 0000 00000000 09000000 0000 11"), TPageFormat{68, 0, kCompressFull, 0},
            kTextSlot, 20, random);

  // Counts and lengths at their extremes.
  TPageFormat full = With(kUnique6, kCompressFull);
  for (const char* hex : {"03 FFFF 00000000 00000000 1800", "03 0300 00000000 00000000 FFFF",
                          "03 0200 00000000 00000000 1700", "09 0100 00000000 00000000 0000",
                          "02 0100 00000000 00000000 0C00 | 00 07 014142 07000000",
                          "02 0200 00000000 00000000 1000 | 00 05 01 07000000 | FF 00 08000000"}) {
    Bytes b = PageBytes(std::string(hex) + "00 03 014142 07000000 | 02 02 4344 08000000");
    TPage page;
    page.Reset(1, 1, full);
    EXPECT_EQ(CodeOf([&] { DecodePage(b.data(), page, false, "T"); }), LEDRA_INDEXCORRUPT) << hex;
  }
  Bytes anyPage = PageBytes("02 0100 00000000 00000000 0B00");
  TPage page;
  page.Reset(1, 1, With(kUnique6, kCompressFull));
  Bytes many(kIndexPageSize, 0);
  many[0] = kPageLeaf;
  // 674 entries pass the count check (each takes at least 6 bytes), but
  // zero bytes decode as 12-byte entries, which run past the body.
  many[1] = 0xA2;
  many[2] = 0x02;
  EXPECT_EQ(CodeOf([&] { DecodePage(many.data(), page, false, "T"); }), LEDRA_INDEXCORRUPT);
  // A key length no index can have.
  page.Reset(1, 1, TPageFormat{0, 1, kCompressNone, 1});
  EXPECT_EQ(CodeOf([&] { DecodePage(anyPage.data(), page, false, "T"); }), LEDRA_INDEXCORRUPT);
}

}  // namespace
}  // namespace ledra
