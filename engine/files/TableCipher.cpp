#include "engine/files/TableCipher.h"

namespace ledra {

namespace {

// The seed pairs of the table cipher.
//
// These four byte values are part of the table file format: every enciphered
// table ever written holds its slots, descriptors, pages, blobs, description
// and password under them, and every program that shares the tables must use
// the same values. They must never change.
constexpr uint8_t kDataSeedLow = 0x3B;
constexpr uint8_t kDataSeedHigh = 0xA7;
constexpr uint8_t kStringSeedLow = 0x5D;
constexpr uint8_t kStringSeedHigh = 0x2C;

constexpr size_t kUncipheredRunMultiple = 65536;

// Each pair is put together when asked for rather than kept as a ready-made
// pair in the program's data.
TSeedPair MakeSeedPair(uint8_t low, uint8_t high) {
  TSeedPair pair;
  pair.Low = low;
  pair.High = high;
  return pair;
}

}  // namespace

TSeedPair DataSeedPair() {
  return MakeSeedPair(kDataSeedLow, kDataSeedHigh);
}

TSeedPair StringSeedPair() {
  return MakeSeedPair(kStringSeedLow, kStringSeedHigh);
}

bool CipherSkipsRun(size_t length) {
  return length != 0 && length % kUncipheredRunMultiple == 0;
}

void ApplyTableCipher(uint8_t* bytes, size_t length, TSeedPair seed) {
  if (CipherSkipsRun(length)) return;
  uint8_t lo = seed.Low;
  uint8_t hi = seed.High;
  for (size_t i = 0; i < length; ++i) {
    bytes[i] = uint8_t(bytes[i] ^ lo ^ hi);
    ++lo;
    --hi;
  }
}

void CipherDataRun(uint8_t* bytes, size_t length) {
  ApplyTableCipher(bytes, length, DataSeedPair());
}

std::string CipherText(std::string_view text) {
  std::string result(text);
  ApplyTableCipher(reinterpret_cast<uint8_t*>(result.data()), result.size(), StringSeedPair());
  return result;
}

}  // namespace ledra
