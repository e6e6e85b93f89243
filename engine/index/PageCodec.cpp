#include "engine/index/PageCodec.h"

#include <algorithm>
#include <cstring>

#include "engine/errors/EngineError.h"
#include "engine/files/Bytes.h"

namespace ledra {

namespace {

constexpr uint32_t kBody = uint32_t(kPageBodySize);
constexpr int kMaxPrefixOrTrail = 254;

// The largest p an entry of the format may carry.
int MaxPrefix(const TPageFormat& f) {
  if (f.Compression == kCompressDupByte || f.Compression == kCompressFull) {
    return std::min<int>(kMaxPrefixOrTrail, f.KeyLength);
  }
  return 0;
}

// The last 4 key bytes of a non-unique index are stored apart from the
// shortened part: always under TRAILBYTE, under FULL while the prefix stays
// out of them.
bool TailSeparate(const TPageFormat& f, int prefix) {
  if (f.Unique != 0) return false;
  if (f.Compression == kCompressTrailByte) return true;
  return f.Compression == kCompressFull && f.KeyLength - prefix >= 5;
}

// The length of the key part whose trailing zeros may be dropped, for an
// entry with the given p: bytes p..end - 1.
int TrailRegionEnd(const TPageFormat& f, int prefix) {
  if (f.Compression != kCompressTrailByte && f.Compression != kCompressFull) return prefix;
  if (f.Compression == kCompressFull && f.Unique == 0 && f.KeyLength - prefix < 5) return prefix;
  return TailSeparate(f, prefix) ? f.KeyLength - kRowIdTailLength : f.KeyLength;
}

// The end (exclusive) of the key bytes an entry stores after its p shared
// bytes, before the separate tail if any.
int StoredEnd(const TPageFormat& f, int prefix, int trail) {
  return (TailSeparate(f, prefix) ? f.KeyLength - kRowIdTailLength : f.KeyLength) - trail;
}

int MaxTrail(const TPageFormat& f, int prefix) {
  return std::clamp(TrailRegionEnd(f, prefix) - prefix, 0, kMaxPrefixOrTrail);
}

int EntryHeaderBytes(const TPageFormat& f) {
  switch (f.Compression) {
    case kCompressDupByte:
    case kCompressTrailByte:
      return 1;
    case kCompressFull:
      return 2;
    default:
      return 0;
  }
}

[[noreturn]] void Corrupt(std::string_view tableName) {
  RaiseTableError(LEDRA_INDEXCORRUPT, tableName);
}

}  // namespace

TPageFormat PageFormatOf(int slot, const TIndexDesc& desc) {
  TPageFormat f;
  f.KeyLength = desc.KeyLength;
  f.Unique = desc.Unique != 0 ? 1 : 0;
  f.Compression = desc.Compression;
  f.EntryCounts = SlotHasEntryCounts(slot, desc) ? 1 : 0;
  return f;
}

bool IsUsableFormat(const TPageFormat& f) {
  if (f.KeyLength < 1 || f.KeyLength > kMaxStoredKeyLength) return false;
  if (f.Compression > kCompressFull) return false;
  if (f.Unique == 0 && f.KeyLength <= kRowIdTailLength) return false;
  return true;
}

uint16_t InnerCapacity(const TPageFormat& f) {
  if (!IsUsableFormat(f)) return 0;
  return uint16_t(kBody / (f.KeyLength + (f.EntryCounts != 0 ? 8u : 4u)));
}

uint16_t LeafCapacity(const TPageFormat& f) {
  if (!IsUsableFormat(f)) return 0;
  return uint16_t(kBody / (f.KeyLength + 4u));
}

uint32_t LeafEntryLength(const TPageFormat& f, uint8_t prefix, uint8_t trail) {
  return uint32_t(EntryHeaderBytes(f) + f.KeyLength - prefix - trail + 4);
}

uint16_t MinLeafEntryLength(const TPageFormat& f) {
  if (!IsUsableFormat(f)) return 0;
  uint32_t best = LeafEntryLength(f, 0, uint8_t(MaxTrail(f, 0)));
  for (int p = 1; p <= MaxPrefix(f); ++p) {
    best = std::min(best, LeafEntryLength(f, uint8_t(p), uint8_t(MaxTrail(f, p))));
  }
  return uint16_t(best);
}

uint16_t MaxPageEntries(const TPageFormat& f) {
  if (!IsUsableFormat(f)) return 0;
  uint32_t shortest = std::min<uint32_t>(MinLeafEntryLength(f), f.KeyLength + 4u);
  return uint16_t(kBody / shortest + 1);
}

uint8_t SharedPrefix(const uint8_t* a, const uint8_t* b, uint16_t keyLength) {
  int limit = std::min<int>(keyLength, kMaxPrefixOrTrail);
  int p = 0;
  while (p < limit && a[p] == b[p]) ++p;
  return uint8_t(p);
}

uint8_t TrailingZeros(const uint8_t* key, const TPageFormat& f, uint8_t prefix) {
  int limit = MaxTrail(f, prefix);
  int end = TrailRegionEnd(f, prefix);
  int t = 0;
  while (t < limit && key[end - 1 - t] == 0) ++t;
  return uint8_t(t);
}

// ---- TPage ----

void TPage::Reset(int32_t pageNo, uint8_t slot, const TPageFormat& format) {
  PageNo = pageNo;
  Slot = slot;
  Format = format;
  PageType = kPageRootInner;
  PrevPage = 0;
  NextPage = 0;
  UsedBytes = 0;
  DiskHeader.fill(0);
  Dirty = false;
  Freed = false;
  Pins = 0;
  held_ = false;
  heldCount_ = 0;
  entries_.clear();
  keys_.clear();
  // Working out the limits walks every possible prefix length: once per
  // format is enough, the reserved room stays with the buffer.
  if (!(format == sizedFor_)) {
    sizedFor_ = format;
    minLeafEntry_ = MinLeafEntryLength(format);
    size_t most = MaxPageEntries(format);
    entries_.reserve(most);
    keys_.reserve(most * format.KeyLength);
  }
  if (slot == kTextSlot) param_.resize(kPageBodySize);
  std::fill(param_.begin(), param_.end(), uint8_t(0));
}

void TPage::ClearEntries() {
  held_ = false;
  heldCount_ = 0;
  entries_.clear();
  keys_.clear();
  UsedBytes = 0;
  std::fill(param_.begin(), param_.end(), uint8_t(0));
}

int32_t TPage::Pointer(size_t i) const {
  return held_ ? GetLEInt32(HeldEntry(i) + Format.KeyLength) : entries_[i].Pointer;
}

uint8_t* TPage::ParamBody() {
  if (param_.size() != kPageBodySize) param_.assign(kPageBodySize, 0);
  return param_.data();
}

const uint8_t* TPage::ParamBody() const {
  static const std::array<uint8_t, kPageBodySize> kEmpty{};
  return param_.size() == kPageBodySize ? param_.data() : kEmpty.data();
}

void TPage::InsertEntry(size_t pos, const uint8_t* key, int32_t pointer, int32_t count) {
  size_t k = Format.KeyLength;
  keys_.insert(keys_.begin() + ptrdiff_t(pos * k), key, key + k);
  entries_.insert(entries_.begin() + ptrdiff_t(pos), TPageEntry{pointer, count, 0, 0});
}

void TPage::ResizeEntries(size_t n) {
  keys_.clear();
  entries_.clear();
  keys_.resize(n * Format.KeyLength);
  entries_.resize(n);
}

void TPage::RemoveEntries(size_t pos, size_t n) {
  size_t k = Format.KeyLength;
  keys_.erase(keys_.begin() + ptrdiff_t(pos * k), keys_.begin() + ptrdiff_t((pos + n) * k));
  entries_.erase(entries_.begin() + ptrdiff_t(pos), entries_.begin() + ptrdiff_t(pos + n));
}

void TPage::InsertEntriesFrom(size_t pos, const TPage& from, size_t first, size_t n) {
  size_t k = Format.KeyLength;
  keys_.insert(keys_.begin() + ptrdiff_t(pos * k), from.keys_.begin() + ptrdiff_t(first * k),
               from.keys_.begin() + ptrdiff_t((first + n) * k));
  entries_.insert(entries_.begin() + ptrdiff_t(pos), from.entries_.begin() + ptrdiff_t(first),
                  from.entries_.begin() + ptrdiff_t(first + n));
}

// ---- p, t and UsedBytes ----

void RecomputeCompression(TPage& page) {
  if (!page.IsCompressedLeaf() || !IsUsableFormat(page.Format)) {
    page.UsedBytes = 0;
    return;
  }
  const TPageFormat& f = page.Format;
  uint32_t used = 0;
  for (size_t i = 0; i < page.EntryCount(); ++i) {
    TPageEntry& e = page.Entry(i);
    bool prefixed = f.Compression == kCompressDupByte || f.Compression == kCompressFull;
    e.Prefix = (prefixed && i > 0) ? SharedPrefix(page.Key(i - 1), page.Key(i), f.KeyLength) : 0;
    e.Trail = TrailingZeros(page.Key(i), f, e.Prefix);
    used += LeafEntryLength(f, e.Prefix, e.Trail);
  }
  page.UsedBytes = used;
}

bool IsOverfull(const TPage& page) {
  if (page.IsInner()) return page.EntryCount() > InnerCapacity(page.Format);
  if (!page.IsLeaf()) return false;
  if (page.Format.Compression == kCompressNone) {
    return page.EntryCount() > LeafCapacity(page.Format);
  }
  return page.UsedBytes > kBody;
}

// ---- decoding ----

namespace {

void DecodeFixed(const uint8_t* body, TPage& page, uint16_t count, bool inner,
                 std::string_view tableName) {
  const TPageFormat& f = page.Format;
  uint16_t capacity = inner ? InnerCapacity(f) : LeafCapacity(f);
  if (count > capacity) Corrupt(tableName);
  size_t k = f.KeyLength;
  const bool counts = inner && f.EntryCounts != 0;
  size_t length = k + 4 + (counts ? 4 : 0);
  page.ResizeEntries(count);
  for (size_t i = 0; i < count; ++i) {
    const uint8_t* e = body + i * length;
    std::memcpy(page.Key(i), e, k);
    TPageEntry& entry = page.Entry(i);
    entry.Pointer = GetLEInt32(e + k);
    entry.Count = counts ? GetLEInt32(e + k + 4) : 0;
  }
}

void DecodeCompressed(const uint8_t* body, TPage& page, uint16_t count, uint16_t usedBytes,
                      std::string_view tableName) {
  const TPageFormat& f = page.Format;
  int k = f.KeyLength;
  uint16_t minLength = page.MinLeafEntry();
  if (uint32_t(count) * minLength > kBody) Corrupt(tableName);
  if (count == 0) return;  // a free page: UsedBytes carries no meaning
  if (usedBytes > kBody) Corrupt(tableName);

  bool prefixed = f.Compression == kCompressDupByte || f.Compression == kCompressFull;
  bool trailed = f.Compression == kCompressTrailByte || f.Compression == kCompressFull;
  int headerBytes = EntryHeaderBytes(f);
  // Every key starts zeroed, so the trailing zeros an entry leaves out are
  // already in place; the count is bounded by the check above.
  page.ResizeEntries(count);
  uint32_t off = 0;
  for (size_t i = 0; i < count; ++i) {
    if (off + uint32_t(headerBytes) > kBody) Corrupt(tableName);
    const uint8_t* e = body + off;
    int p = prefixed ? e[0] : 0;
    int t = trailed ? e[headerBytes - 1] : 0;
    if (i == 0) p = 0;  // the first entry's p is written as 0 and ignored
    if (p > MaxPrefix(f) || t > MaxTrail(f, p)) Corrupt(tableName);
    uint32_t length = LeafEntryLength(f, uint8_t(p), uint8_t(t));
    if (off + length > kBody) Corrupt(tableName);

    // The key is assembled in place.
    uint8_t* key = page.Key(i);
    if (p > 0) std::memcpy(key, page.Key(i - 1), size_t(p));
    const uint8_t* src = e + headerBytes;
    int storedEnd = StoredEnd(f, p, t);
    std::memcpy(key + p, src, size_t(storedEnd - p));
    src += storedEnd - p;
    if (TailSeparate(f, p)) {
      std::memcpy(key + k - kRowIdTailLength, src, kRowIdTailLength);
      src += kRowIdTailLength;
    }
    TPageEntry& entry = page.Entry(i);
    entry.Pointer = GetLEInt32(src);
    entry.Prefix = uint8_t(p);
    entry.Trail = uint8_t(t);
    off += length;
  }
  if (off != usedBytes) Corrupt(tableName);
  page.UsedBytes = off;
}

}  // namespace

void DecodePage(const uint8_t* bytes, TPage& page, bool asNew, std::string_view tableName) {
  std::memcpy(page.DiskHeader.data(), bytes, kPageHeaderSize);
  page.ClearEntries();
  page.PageType = bytes[0];
  uint16_t count = GetLE16(bytes + 1);
  page.PrevPage = GetLEInt32(bytes + 3);
  page.NextPage = GetLEInt32(bytes + 7);
  uint16_t usedBytes = GetLE16(bytes + 11);
  page.UsedBytes = 0;
  page.Freed = false;
  if (asNew) return;
  const uint8_t* body = bytes + kPageHeaderSize;
  try {
    switch (page.PageType) {
      case kPageParam:
        std::memcpy(page.ParamBody(), body, kPageBodySize);
        return;
      case kPageRootInner:
      case kPageInner:
      case kPageLeaf:
      case kPageRootLeaf:
        break;
      default:
        Corrupt(tableName);
    }
    if (!IsUsableFormat(page.Format)) Corrupt(tableName);
    if (page.IsInner() || page.Format.Compression == kCompressNone) {
      DecodeFixed(body, page, count, page.IsInner(), tableName);
    } else {
      DecodeCompressed(body, page, count, usedBytes, tableName);
    }
  } catch (...) {
    page.ClearEntries();
    throw;
  }
}

bool HoldLeafBytes(std::vector<uint8_t>& read, TPage& page, std::string_view tableName) {
  if (read.size() < kIndexPageSize) return false;
  const uint8_t* bytes = read.data();
  const uint8_t type = bytes[0];
  if ((type != kPageLeaf && type != kPageRootLeaf) || page.Format.Compression != kCompressNone ||
      !IsUsableFormat(page.Format)) {
    return false;
  }
  const uint16_t count = GetLE16(bytes + 1);
  if (count > LeafCapacity(page.Format)) Corrupt(tableName);
  page.ClearEntries();
  std::memcpy(page.DiskHeader.data(), bytes, kPageHeaderSize);
  page.PageType = type;
  page.PrevPage = GetLEInt32(bytes + 3);
  page.NextPage = GetLEInt32(bytes + 7);
  page.UsedBytes = 0;
  page.Freed = false;
  page.bytes_.swap(read);
  page.heldCount_ = count;
  page.held_ = true;
  return true;
}

void DecodeHeldLeaf(TPage& page) {
  if (!page.held_) return;
  const uint16_t count = page.heldCount_;
  page.held_ = false;
  page.heldCount_ = 0;
  const size_t k = page.Format.KeyLength;
  const uint8_t* body = page.bytes_.data() + kPageHeaderSize;
  page.ResizeEntries(count);
  for (size_t i = 0; i < count; ++i) {
    const uint8_t* e = body + i * (k + 4);
    std::memcpy(page.Key(i), e, k);
    page.Entry(i).Pointer = GetLEInt32(e + k);
  }
}

// ---- encoding ----

void EncodePage(const TPage& page, uint8_t* bytes, std::string_view tableName) {
  const TPageFormat& f = page.Format;
  std::memset(bytes, 0, kIndexPageSize);
  uint8_t* body = bytes + kPageHeaderSize;
  uint16_t count = page.Freed ? 0 : page.EntryCount();
  uint32_t used = 0;

  if (page.PageType > kPageParam) Corrupt(tableName);
  if (page.Freed || page.IsParam()) {
    if (page.IsParam() && !page.Freed) std::memcpy(body, page.ParamBody(), kPageBodySize);
    count = 0;
  } else if (!IsUsableFormat(f)) {
    Corrupt(tableName);
  } else if (page.IsInner() || f.Compression == kCompressNone) {
    bool inner = page.IsInner();
    if (count > (inner ? InnerCapacity(f) : LeafCapacity(f))) Corrupt(tableName);
    size_t k = f.KeyLength;
    bool counts = inner && f.EntryCounts != 0;
    uint8_t* e = body;
    for (size_t i = 0; i < count; ++i) {
      std::memcpy(e, page.Key(i), k);
      PutLE32(e + k, uint32_t(page.Pointer(i)));
      if (counts) PutLE32(e + k + 4, uint32_t(page.Entry(i).Count));
      e += k + 4 + (counts ? 4 : 0);
    }
  } else {
    int k = f.KeyLength;
    bool prefixed = f.Compression == kCompressDupByte || f.Compression == kCompressFull;
    int headerBytes = EntryHeaderBytes(f);
    for (size_t i = 0; i < count; ++i) {
      const uint8_t* key = page.Key(i);
      uint8_t p = (prefixed && i > 0) ? SharedPrefix(page.Key(i - 1), key, f.KeyLength) : 0;
      uint8_t t = TrailingZeros(key, f, p);
      uint32_t length = LeafEntryLength(f, p, t);
      if (used + length > kBody) Corrupt(tableName);
      uint8_t* e = body + used;
      if (f.Compression == kCompressFull) {
        e[0] = p;
        e[1] = t;
      } else {
        e[0] = prefixed ? p : t;
      }
      uint8_t* dst = e + headerBytes;
      bool tail = TailSeparate(f, p);
      int storedEnd = StoredEnd(f, p, t);
      std::memcpy(dst, key + p, size_t(storedEnd - p));
      dst += storedEnd - p;
      if (tail) {
        std::memcpy(dst, key + k - kRowIdTailLength, kRowIdTailLength);
        dst += kRowIdTailLength;
      }
      PutLE32(dst, uint32_t(page.Entry(i).Pointer));
      used += length;
    }
  }

  bytes[0] = page.PageType;
  PutLE16(bytes + 1, count);
  PutLE32(bytes + 3, uint32_t(page.PrevPage));
  PutLE32(bytes + 7, uint32_t(page.NextPage));
  PutLE16(bytes + 11, uint16_t(used));
}

void EncodeFreePage(uint8_t pageType, int32_t prevPage, int32_t nextFreePage, uint8_t* bytes) {
  std::memset(bytes, 0, kIndexPageSize);
  bytes[0] = pageType;
  PutLE32(bytes + 3, uint32_t(prevPage));
  PutLE32(bytes + 7, uint32_t(nextFreePage));
}

}  // namespace ledra
