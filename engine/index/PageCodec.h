// Index pages: the decoded page buffer and the codec between it and the
// 4096 bytes of a page on disk.
//
// Page header (13 bytes): PageType (1), EntryCount (2), PrevPage (4),
// NextPage (4), UsedBytes (2). The body is the remaining 4083 bytes; entries
// are packed from its start and the bytes after the last one are 0.
//
// Entry encodings, K = KeyLength, p = leading bytes shared with the previous
// key of the page (at most 254, 0 for the first entry), t = trailing 0x00
// bytes of the key's compressible part (at most 254):
//   inner page          key (K), child (4) [, subtree count (4)]
//   leaf, NONE          key (K), record (4)                       K + 4
//   leaf, DUPBYTE       p, key[p..K-1], record                    K - p + 5
//   leaf, TRAILBYTE     t, key[0..K-t-1], record                  K - t + 5
//   leaf, FULL          p, t, key[p..K-t-1], record               K - p - t + 6
// In a non-unique index the last 4 key bytes are the row-id tail, which is
// never shortened: under TRAILBYTE t counts within key[0..K-5] and the tail
// follows the shortened part; under FULL the same holds within key[p..K-5]
// while K - p >= 5, and t is 0 once the prefix reaches into the tail.
// UsedBytes of a compressed leaf is the sum of its entry lengths, at most
// 4083; every other page stores 0.
//
// A TPage is meant to be pooled: `Reset` reserves the worst case for the
// slot's key length and compression once, and its buffers keep their
// capacity, so decoding, editing and encoding pages allocate nothing once a
// buffer has served its slot. Entries are indexed from 0 here.
//
// A leaf of an index without compression may also be held as read (see
// HoldLeafBytes): its entries have one fixed length, so a search reads keys
// and record numbers straight from the page bytes and the copy into the
// entry areas is saved. Such a page answers EntryCount, Key and Pointer like
// a decoded one; anything that changes it, or reads its entries otherwise,
// first decodes it (DecodeHeldLeaf), which the index file does whenever a
// page is fetched for anything but a search.
#pragma once

#include <array>
#include <cassert>
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "engine/index/IndexHeader.h"

namespace ledra {

enum TPageType : uint8_t {
  kPageRootInner = 0,
  kPageInner = 1,
  kPageLeaf = 2,
  kPageRootLeaf = 3,
  kPageParam = 4,  // text-index parameter page
};

// What the codec needs to know of a page's index slot.
struct TPageFormat {
  uint16_t KeyLength = 0;
  uint8_t Unique = 1;
  uint8_t Compression = kCompressNone;
  uint8_t EntryCounts = 1;  // inner entries carry subtree counts

  bool operator==(const TPageFormat&) const = default;
};

// The format of a slot's pages, from its descriptor.
TPageFormat PageFormatOf(int slot, const TIndexDesc& desc);
// A format is usable when 1 <= KeyLength <= 526, Compression <= 3, and a
// non-unique key holds its 4-byte tail and at least one more byte.
bool IsUsableFormat(const TPageFormat& format);

// One decoded entry; its key lives in the page's key area.
struct TPageEntry {
  int32_t Pointer = 0;  // leaf: record number; inner page: child page number
  int32_t Count = 0;    // inner page: leaf entries below the child
  uint8_t Prefix = 0;   // p of a compressed leaf entry
  uint8_t Trail = 0;    // t of a compressed leaf entry
};

class TPage {
 public:
  // Prepares the buffer for a page of a slot: no entries, type 0, links 0,
  // flags clear, and room reserved for the most entries the format allows.
  void Reset(int32_t pageNo, uint8_t slot, const TPageFormat& format);
  // Drops the entries and clears the parameter body (allocation as new).
  void ClearEntries();

  uint16_t EntryCount() const { return held_ ? heldCount_ : uint16_t(entries_.size()); }
  bool IsLeaf() const { return PageType == kPageLeaf || PageType == kPageRootLeaf; }
  bool IsInner() const { return PageType == kPageRootInner || PageType == kPageInner; }
  bool IsRoot() const { return PageType == kPageRootInner || PageType == kPageRootLeaf; }
  bool IsParam() const { return PageType == kPageParam; }
  bool IsCompressedLeaf() const { return IsLeaf() && Format.Compression != kCompressNone; }

  const uint8_t* Key(size_t i) const {
    return held_ ? HeldEntry(i) : keys_.data() + i * Format.KeyLength;
  }
  // A held page is never written through this pointer: it is decoded before
  // anything changes it.
  uint8_t* Key(size_t i) { return held_ ? HeldEntry(i) : keys_.data() + i * Format.KeyLength; }
  const TPageEntry& Entry(size_t i) const {
    assert(!held_);
    return entries_[i];
  }
  TPageEntry& Entry(size_t i) {
    assert(!held_);
    return entries_[i];
  }
  // Entry i's pointer (leaf: record number), decoded or held alike.
  int32_t Pointer(size_t i) const;

  // True while the page is held as read rather than decoded.
  bool Held() const { return held_; }
  // The 4096 bytes of a held page.
  const uint8_t* HeldBytes() const { return bytes_.data(); }

  // Inserts an entry before position `pos` (pos == EntryCount appends).
  void InsertEntry(size_t pos, const uint8_t* key, int32_t pointer, int32_t count = 0);
  // Drops the entries and makes room for `n` of them in one go: keys all
  // zero, entries zero, to be filled in place (decoding a page). Keeps the
  // buffers' capacity, so a page within the reserved worst case allocates
  // nothing.
  void ResizeEntries(size_t n);
  // Removes `n` entries from position `pos`.
  void RemoveEntries(size_t pos, size_t n = 1);
  // Inserts entries first..first + n - 1 of `from` (same format) before `pos`.
  void InsertEntriesFrom(size_t pos, const TPage& from, size_t first, size_t n);

  // The 4083 body bytes of a parameter page (sized on first use; Reset
  // sizes them for the text index, the only slot with parameter pages).
  uint8_t* ParamBody();
  const uint8_t* ParamBody() const;

  // MinLeafEntryLength of the buffer's format, worked out once per format.
  uint16_t MinLeafEntry() const { return minLeafEntry_; }

  int32_t PageNo = 0;
  uint8_t Slot = 0;
  TPageFormat Format;
  uint8_t PageType = kPageRootInner;
  int32_t PrevPage = 0;
  int32_t NextPage = 0;
  // Sum of the encoded entry lengths of a compressed leaf (kept by
  // RecomputeCompression); may exceed 4083 while a page is overfull.
  uint32_t UsedBytes = 0;
  // The page header as last read.
  std::array<uint8_t, kPageHeaderSize> DiskHeader{};
  // Cache state, kept by the page cache.
  bool Dirty = false;
  bool Freed = false;  // written with no entries and a zero body
  uint16_t Pins = 0;
  // Neighbours in the slot's recently-used chain (towards the most and the
  // least recently used page). Reset leaves them alone: they belong to the
  // cache, not to the page's contents.
  TPage* CachePrev = nullptr;
  TPage* CacheNext = nullptr;
  // The page was dropped from the cache while pinned: it is no longer cached
  // and goes back to the pool when its last pin is released.
  bool Orphaned = false;

 private:
  friend bool HoldLeafBytes(std::vector<uint8_t>& bytes, TPage& page, std::string_view tableName);
  friend void DecodeHeldLeaf(TPage& page);

  const uint8_t* HeldEntry(size_t i) const {
    return bytes_.data() + kPageHeaderSize + i * (size_t(Format.KeyLength) + 4u);
  }
  uint8_t* HeldEntry(size_t i) {
    return bytes_.data() + kPageHeaderSize + i * (size_t(Format.KeyLength) + 4u);
  }

  std::vector<uint8_t> keys_;
  std::vector<TPageEntry> entries_;
  std::vector<uint8_t> param_;
  // The page as read while it is held (sized on first use, then kept with
  // the buffer).
  std::vector<uint8_t> bytes_;
  bool held_ = false;
  uint16_t heldCount_ = 0;
  // The format the entry areas were last sized for.
  TPageFormat sizedFor_{0, 0, 0, 0};
  uint16_t minLeafEntry_ = 0;
};

// The fixed entry capacity of inner pages and uncompressed leaves:
// floor(4083 / entry length).
uint16_t InnerCapacity(const TPageFormat& format);
uint16_t LeafCapacity(const TPageFormat& format);  // uncompressed leaves only
// The shortest encoded leaf entry the format admits, and with it the most
// entries any page of the format can carry (plus one while overfull).
uint16_t MinLeafEntryLength(const TPageFormat& format);
uint16_t MaxPageEntries(const TPageFormat& format);

// The p and t rules. `SharedPrefix` counts the leading bytes two keys share,
// at most 254. `TrailingZeros` counts the trailing 0x00 bytes of the part of
// the key the compression may drop, given the entry's p (0 under TRAILBYTE).
uint8_t SharedPrefix(const uint8_t* a, const uint8_t* b, uint16_t keyLength);
uint8_t TrailingZeros(const uint8_t* key, const TPageFormat& format, uint8_t prefix);
// Encoded length of a leaf entry with the given p and t.
uint32_t LeafEntryLength(const TPageFormat& format, uint8_t prefix, uint8_t trail);

// Recomputes p and t of every entry and UsedBytes of a compressed leaf
// (after any change to it); other pages get UsedBytes 0.
void RecomputeCompression(TPage& page);
// True when the page holds more than it can be written with: more entries
// than its capacity, or (compressed leaf) more than 4083 bytes.
bool IsOverfull(const TPage& page);

// Decodes 4096 page bytes into a buffer already Reset for the page's slot.
// With `asNew` only the header is taken and the page is left empty. Damage
// (an unknown page type, more entries than fit, p or t out of range, an
// entry running past the body, UsedBytes disagreeing with the entries)
// raises LEDRA_INDEXCORRUPT with the table name; nothing is read outside the
// 4096 bytes.
void DecodePage(const uint8_t* bytes, TPage& page, bool asNew, std::string_view tableName);

// Takes the 4096 page bytes in `bytes` into a buffer already Reset for the
// page's slot without decoding them, when the page is a leaf of an index
// without compression (true): the page keeps the vector and `bytes` gets the
// page's previous one, of any size. Any other page is left alone (false) for
// DecodePage. The header is taken as DecodePage takes it, and a leaf
// claiming more entries than fit raises LEDRA_INDEXCORRUPT, as decoding
// would: every entry the page claims lies inside its body.
bool HoldLeafBytes(std::vector<uint8_t>& bytes, TPage& page, std::string_view tableName);
// Decodes a held page into its entry areas (nothing when it is not held).
// The bytes were checked when they were taken, so this cannot fail.
void DecodeHeldLeaf(TPage& page);

// Encodes the page into 4096 bytes, computing p, t and UsedBytes afresh. A
// freed page is written with EntryCount 0 and a zero body. A page that does
// not fit (too many entries; a compressed leaf above 4083 bytes) raises
// LEDRA_INDEXCORRUPT.
void EncodePage(const TPage& page, uint8_t* bytes, std::string_view tableName);

// A free page on its own: EntryCount 0, zero body, NextPage the next free
// page of the slot.
void EncodeFreePage(uint8_t pageType, int32_t prevPage, int32_t nextFreePage, uint8_t* bytes);

}  // namespace ledra
