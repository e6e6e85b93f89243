#include "engine/index/TextParams.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "engine/files/Bytes.h"
#include "engine/index/IndexHeader.h"
#include "tests/engine/index/IndexTestSupport.h"

namespace ledra {
namespace {

using test::Bytes;
using test::CodeOf;

TTextParams Sample(size_t firstWordLength) {
  TTextParams p;
  p.StopWords = {std::string(firstWordLength, 'x'), "AB"};
  for (size_t i = 0; i < kCharSetSize; ++i) {
    p.SpaceChars[i] = uint8_t(0x10 + i);
    p.IncludeChars[i] = uint8_t(0xA0 + i);
  }
  return p;
}

void PutLength(Bytes& b, size_t at, uint32_t v) {
  PutLE32(b.data() + at, v);
}

TEST(TextParamsTest, CharactersThatWouldCrossThePageStartTheNext) {
  // count 0..3, length 4..7, 4000 characters 8..4007, length 4008..4011,
  // "AB" 4012..4013, 32 4014..4017, space set 4018..4049, 32 4050..4053; the
  // include set (32 bytes) would end at 4086 and starts page 2.
  Bytes golden(2 * kPageBodySize, 0);
  PutLength(golden, 0, 2);
  PutLength(golden, 4, 4000);
  std::fill(golden.begin() + 8, golden.begin() + 4008, uint8_t('x'));
  PutLength(golden, 4008, 2);
  golden[4012] = 'A';
  golden[4013] = 'B';
  PutLength(golden, 4014, 32);
  for (size_t i = 0; i < 32; ++i) golden[4018 + i] = uint8_t(0x10 + i);
  PutLength(golden, 4050, 32);
  for (size_t i = 0; i < 32; ++i) golden[kPageBodySize + i] = uint8_t(0xA0 + i);

  Bytes bodies;
  EncodeTextParams(Sample(4000), bodies);
  EXPECT_EQ(bodies, golden);
  EXPECT_EQ(DecodeTextParams(golden, "T"), Sample(4000));
}

TEST(TextParamsTest, ALengthThatWouldCrossThePageStartsTheNext) {
  // The second length would occupy 4080..4083 and end beyond the body.
  Bytes golden(2 * kPageBodySize, 0);
  PutLength(golden, 0, 2);
  PutLength(golden, 4, 4072);
  std::fill(golden.begin() + 8, golden.begin() + 4080, uint8_t('x'));
  size_t page2 = kPageBodySize;
  PutLength(golden, page2 + 0, 2);
  golden[page2 + 4] = 'A';
  golden[page2 + 5] = 'B';
  PutLength(golden, page2 + 6, 32);
  for (size_t i = 0; i < 32; ++i) golden[page2 + 10 + i] = uint8_t(0x10 + i);
  PutLength(golden, page2 + 42, 32);
  for (size_t i = 0; i < 32; ++i) golden[page2 + 46 + i] = uint8_t(0xA0 + i);

  Bytes bodies;
  EncodeTextParams(Sample(4072), bodies);
  EXPECT_EQ(bodies, golden);
  EXPECT_EQ(DecodeTextParams(golden, "T"), Sample(4072));

  // An item that ends exactly on the last body byte stays on its page.
  Bytes exact;
  EncodeTextParams(Sample(4071), exact);
  EXPECT_EQ(GetLE32(exact.data() + 4079), 2u);
  EXPECT_EQ(DecodeTextParams(exact, "T"), Sample(4071));
}

TEST(TextParamsTest, NoStopWordsFitOnePage) {
  TTextParams empty;
  empty.SpaceChars[0] = 1;
  Bytes bodies;
  EncodeTextParams(empty, bodies);
  ASSERT_EQ(bodies.size(), kPageBodySize);
  EXPECT_EQ(GetLE32(bodies.data()), 0u);
  EXPECT_EQ(GetLE32(bodies.data() + 4), 32u);
  EXPECT_EQ(bodies[8], 1);
  EXPECT_EQ(DecodeTextParams(bodies, "T"), empty);

  TTextParams tooLong;
  tooLong.StopWords = {std::string(kPageBodySize + 1, 'y')};
  EXPECT_EQ(CodeOf([&] { EncodeTextParams(tooLong, bodies); }), LEDRA_INTERNALLIMIT);
}

TEST(TextParamsTest, DamagedStreamsFailCleanly) {
  Bytes sound;
  EncodeTextParams(Sample(20), sound);
  auto code = [](const Bytes& b) { return CodeOf([&] { DecodeTextParams(b, "T"); }); };
  Bytes b = sound;
  PutLength(b, 0, uint32_t(-1));
  EXPECT_EQ(code(b), LEDRA_INDEXCORRUPT) << "negative count";
  b = sound;
  PutLength(b, 0, 0x7FFFFFFF);
  EXPECT_EQ(code(b), LEDRA_INDEXCORRUPT) << "huge count";
  b = sound;
  PutLength(b, 4, uint32_t(-5));
  EXPECT_EQ(code(b), LEDRA_INDEXCORRUPT) << "negative length";
  b = sound;
  PutLength(b, 4, 5000);
  EXPECT_EQ(code(b), LEDRA_INDEXCORRUPT) << "length beyond a body";
  b = sound;
  PutLength(b, 4, 4070);
  EXPECT_EQ(code(b), LEDRA_INDEXCORRUPT) << "stream past the last body";
  b = sound;
  PutLength(b, 8 + 20 + 4 + 2, 31);
  EXPECT_EQ(code(b), LEDRA_INDEXCORRUPT) << "space set not of 32 bytes";
  EXPECT_EQ(code(Bytes(100, 0)), LEDRA_INDEXCORRUPT) << "not a whole body";
  EXPECT_EQ(code(Bytes()), LEDRA_INDEXCORRUPT) << "no body";

  std::mt19937 random(61);
  for (int round = 0; round < 3000; ++round) {
    Bytes d = sound;
    for (int n = 0; n < 2; ++n) d[random() % 120] = uint8_t(random());
    TEngineErrorCode c = code(d);
    ASSERT_TRUE(c == LEDRA_NONE || c == LEDRA_INDEXCORRUPT) << c;
  }
}

}  // namespace
}  // namespace ledra
