// The table cipher of enciphered tables.
//
// One byte-stream XOR cipher, started from a seed pair (low, high): each byte
// of a run is XORed with low XOR high, then low goes up by one and high down
// by one, both modulo 256. Enciphering and deciphering are the same
// operation, and the key stream restarts at the seed pair for every run.
//
// Which bytes form a run: with the data seed pair, each record slot, the whole
// descriptor area of a .DAT file, the .IDX header and each index page, the
// .BLB header and each blob block's header and data part; with the string
// seed pair, the characters of the table description and of the table
// password (their length bytes stay plain).
//
// A run whose length is a non-zero multiple of 65536 bytes is left as it is,
// when writing and when reading alike. Tables written that way by every
// program sharing them depend on it, so it must stay.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace ledra {

struct TSeedPair {
  uint8_t Low = 0;
  uint8_t High = 0;
};

// The two fixed seed pairs.
TSeedPair DataSeedPair();
TSeedPair StringSeedPair();

// True when a run of this length is stored as it is (a non-zero multiple of
// 65536 bytes).
bool CipherSkipsRun(size_t length);

// Enciphers or deciphers one run in place.
void ApplyTableCipher(uint8_t* bytes, size_t length, TSeedPair seed);

// A run of the data seed pair: a slot, the descriptor area, a page, a block.
void CipherDataRun(uint8_t* bytes, size_t length);
// The characters of a description or password with the string seed pair.
std::string CipherText(std::string_view text);

}  // namespace ledra
