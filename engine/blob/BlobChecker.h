// The structural check of a .BLB file against the blob references of its
// records, for tests and the command-line tool.
//
// Invariants checked (each broken one is a finding; the check itself never
// raises and never loops, whatever the file holds):
//   - every reference's first block, and every link of its chain, lies in
//     1 .. NextBlockNo - 1;
//   - no block belongs to two chains or twice to one chain;
//   - every block of a chain carries the reference's stamp, and its previous
//     link names the block before it (0 for the first);
//   - the first block's total length matches the reference's length when the
//     caller knows it, the other blocks carry 0; every block but the last is
//     full, no used count exceeds the payload, the used counts add up to the
//     total length and the chain has exactly the blocks that length needs;
//   - the free list starts at 0 or a block of the file, stays inside the file,
//     meets no block twice and no block of a chain;
//   - every block 1 .. NextBlockNo - 1 is in exactly one chain or the free
//     list.
// Blocks are taken from the block cache where it holds them (changes not yet
// written count) and read from the file otherwise, without caching them and
// without writing anything.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "engine/blob/BlobFile.h"

namespace ledra {

// What a record's blob field says about its value.
struct TBlobReference {
  int32_t FirstBlock = 0;
  int32_t Stamp = 0;
  // The value's length when known, else negative.
  int64_t Length = -1;
};

enum class TBlobFault {
  ReadFailed,           // the file could not be read (it ends early, an I/O error)
  ReferenceOutOfRange,  // a reference names a block outside the file
  LinkOutOfRange,       // a chain's next link leaves the file
  BlockShared,          // a block belongs to two chains
  ChainCycle,           // a chain meets one of its blocks again
  StampMismatch,        // a block carries another stamp than its record
  PrevMismatch,         // a previous link does not name the block before
  LengthMismatch,       // total length differs from the record's, or is negative
  MiddleTotalLength,    // a block after the first carries a total length
  UsedCountBad,         // used count beyond the payload, or a short block before the last
  ChainLength,          // the used counts or the number of blocks disagree with the length
  FreeListOutOfRange,   // the free list leaves the file
  FreeListCycle,        // the free list meets one of its blocks again
  FreeBlockInChain,     // a block is both free and part of a chain
  LostBlock,            // a block belongs to no chain and is not free
  TooManyFindings,      // the list was cut short
};

struct TBlobFinding {
  TBlobFault Fault = TBlobFault::ReadFailed;
  // Index of the reference concerned, -1 for none.
  int32_t Reference = -1;
  // The block concerned, 0 for none.
  int32_t Block = 0;
  std::string Text;
};

// At most this many findings are listed; a last TooManyFindings marks the cut.
inline constexpr size_t kMaxBlobFindings = 10000;

// Checks an open blob file: every broken invariant, in the order found; empty
// when the file is sound.
std::vector<TBlobFinding> CheckBlobFile(TBlobFile& file,
                                        std::span<const TBlobReference> references);

}  // namespace ledra
