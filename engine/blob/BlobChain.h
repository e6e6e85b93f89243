// Whole blob values as chains of blocks of a .BLB file.
//
// A value of length L > 0 occupies ceil(L / payload) blocks (payload =
// BlockSize - 18) linked by their next and previous numbers, every block but
// the last one full. Every block of the chain carries the stamp of the owning
// record's blob field; the first block carries the total length, the others
// 0. An empty value occupies no block (the record's reference is 0).
//
// The stamp is how a reader notices that another user rewrote the value
// after the reader had read its record: a new stamp is drawn for every write,
// every block of the new chain gets it, and so does the first block of the
// old chain as it is freed. A chain whose blocks carried mixed stamps could
// never be loaded again.
//
// These operations change blocks only in the block cache of the TBlobFile;
// the table writes them (and the header) at the end of its write or at the
// commit. A failure part-way through a store or a free leaves changed blocks
// and header fields in memory: the caller must drop the table's buffers
// instead of writing them. Walks never follow a link outside the file and
// never visit a block twice (a damaged file is LEDRA_MEMOCORRUPT, never a
// hang).
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "engine/blob/BlobFile.h"

namespace ledra {

// Blocks a value of that length occupies.
int64_t BlobBlocksFor(int64_t length, int32_t payloadSize);

// Loads the value whose chain starts at `firstBlock` (0: the empty value)
// into `value`. Every block must carry `stamp`, else LEDRA_KEYORRECDELETED
// (another user rewrote the value). A link outside the file or a block met
// twice is LEDRA_MEMOCORRUPT; a chain that ends before the length in its
// first block is LEDRA_ENDOFBLOB. When a block fetch reports that the table
// changed, the load starts again from the first block (the caches are fresh
// then); a table that keeps changing gives LEDRA_LOCKTIMEOUT after
// kMaxLoadAttempts attempts. On failure `value` is empty.
inline constexpr int kMaxLoadAttempts = 16;
void LoadBlobValue(TBlobFile& file, int32_t firstBlock, int32_t stamp, std::vector<uint8_t>& value,
                   TBlobCacheClient* client);

// Writes `value` with the stamp `newStamp` into a new chain and frees the
// old one that starts at `firstBlock` (0: none): the first block of the new
// chain, 0 for an empty value. The old chain is never written over: until
// the record naming the new chain reaches the file, the file holds the old
// value whole (the new blocks are ones nothing on disk names yet), and once
// it has, the new one (the old chain's blocks reach the free list after the
// record slots, TBlobFile::WriteFreedBlocks). The old chain is freed in chain
// order, so that its last block heads the free list, and its first block
// takes the new stamp. A value longer than 2147483647 bytes, or one the file
// cannot grow to hold, is LEDRA_TABLEFULL; a damaged old chain (checked
// before anything changes) LEDRA_MEMOCORRUPT; a change by another user
// detected while writing (the write lock failed to keep it out)
// LEDRA_LOCKTIMEOUT.
int32_t StoreBlobValue(TBlobFile& file, int32_t firstBlock, int32_t newStamp,
                       std::span<const uint8_t> value, TBlobCacheClient* client);

// Frees the chain of a deleted record's value; its first block must carry the
// record's `stamp` (LEDRA_MEMOCORRUPT otherwise). Nothing for 0.
void FreeBlobValue(TBlobFile& file, int32_t firstBlock, int32_t stamp, TBlobCacheClient* client);

}  // namespace ledra
