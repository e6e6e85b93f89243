#include "engine/files/TableCipher.h"

#include <gtest/gtest.h>

#include <vector>

namespace ledra {
namespace {

// Key stream of the data seed pair (0x3B, 0xA7): (0x3B + i) XOR (0xA7 - i).
TEST(TableCipherTest, DataRunXorsTheKeyStream) {
  std::vector<uint8_t> run(257, 0);
  CipherDataRun(run.data(), run.size());
  const uint8_t first[8] = {0x9C, 0x9A, 0x98, 0x9A, 0x9C, 0xE2, 0xE0, 0xE2};
  for (size_t i = 0; i < 8; ++i) EXPECT_EQ(run[i], first[i]) << "byte " << i;
  EXPECT_EQ(run[168], 0x1C);  // high wraps: 0xE3 ^ 0xFF
  EXPECT_EQ(run[197], 0xE2);  // low wraps: 0x00 ^ 0xE2
  EXPECT_EQ(run[256], 0x9C);  // period 256
}

TEST(TableCipherTest, EncipheringTwiceRestoresAndRunsRestartAtTheSeed) {
  std::vector<uint8_t> plain = {'L', 'e', 'd', 'r', 'a', 0, 1, 2, 255};
  std::vector<uint8_t> run = plain;
  CipherDataRun(run.data(), run.size());
  EXPECT_NE(run, plain);
  CipherDataRun(run.data(), run.size());
  EXPECT_EQ(run, plain);

  // Two slots enciphered as their own runs start the stream afresh each.
  uint8_t slots[6] = {0, 0, 0, 0, 0, 0};
  CipherDataRun(slots, 3);
  CipherDataRun(slots + 3, 3);
  const uint8_t expected[6] = {0x9C, 0x9A, 0x98, 0x9C, 0x9A, 0x98};
  for (size_t i = 0; i < 6; ++i) EXPECT_EQ(slots[i], expected[i]) << "byte " << i;
}

TEST(TableCipherTest, RunsOfWholeMultiplesOf65536AreLeftPlain) {
  EXPECT_FALSE(CipherSkipsRun(0));
  EXPECT_FALSE(CipherSkipsRun(65535));
  EXPECT_TRUE(CipherSkipsRun(65536));
  EXPECT_FALSE(CipherSkipsRun(65537));
  EXPECT_TRUE(CipherSkipsRun(196608));

  std::vector<uint8_t> exact(65536, 0);
  CipherDataRun(exact.data(), exact.size());
  EXPECT_EQ(exact, std::vector<uint8_t>(65536, 0));

  std::vector<uint8_t> oneShort(65535, 0);
  CipherDataRun(oneShort.data(), oneShort.size());
  EXPECT_EQ(oneShort[0], 0x9C);
  EXPECT_EQ(oneShort[65534], 0x90);  // 0x3B + 65534 = 0x39, 0xA7 - 65534 = 0xA9

  std::vector<uint8_t> oneOver(65537, 0);
  CipherDataRun(oneOver.data(), oneOver.size());
  EXPECT_EQ(oneOver[0], 0x9C);
  EXPECT_EQ(oneOver[65536], 0x9C);
}

// Key stream of the string seed pair (0x5D, 0x2C): 71 75 75 49 49 ...
TEST(TableCipherTest, TextsUseTheStringSeedPair) {
  EXPECT_EQ(CipherText("Towns"), std::string("\x25\x1A\x02\x27\x3A", 5));
  EXPECT_EQ(CipherText(CipherText("secret")), "secret");
  EXPECT_EQ(CipherText(""), "");
  const TSeedPair data = DataSeedPair();
  const TSeedPair text = StringSeedPair();
  EXPECT_EQ(data.Low, 0x3B);
  EXPECT_EQ(data.High, 0xA7);
  EXPECT_EQ(text.Low, 0x5D);
  EXPECT_EQ(text.High, 0x2C);
}

}  // namespace
}  // namespace ledra
