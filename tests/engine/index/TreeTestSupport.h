// Helpers shared by the page-cache, B-tree and checker tests: an index file
// in a temporary directory with one index defined straight into a slot, a
// byte-order comparator, and key builders.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "engine/files/Bytes.h"
#include "engine/index/BTree.h"
#include "engine/index/IndexChecker.h"
#include "engine/index/IndexFile.h"
#include "tests/engine/index/IndexTestSupport.h"
#include "tests/support/TempDir.h"

namespace ledra::test {

// Plain byte order, negated for a descending index.
class ByteOrder final : public TKeyComparator {
 public:
  explicit ByteOrder(bool descending = false) : descending_(descending) {}
  int CompareKeys(const uint8_t* a, const uint8_t* b, size_t n) const override {
    int r = std::memcmp(a, b, n);
    r = r < 0 ? -1 : (r > 0 ? 1 : 0);
    return descending_ ? -r : r;
  }
  bool operator()(const Bytes& a, const Bytes& b) const {
    return CompareKeys(a.data(), b.data(), a.size()) < 0;
  }

 private:
  bool descending_;
};

struct IndexShape {
  uint16_t KeyLength = 12;
  bool Unique = true;
  uint8_t Compression = kCompressNone;
  bool NoEntryCounts = false;
  bool Descending = false;
};

// A key of `length` bytes that orders by `value` (big-endian first), with
// `fill` non-zero bytes after it and zeros to the end, so that compressed
// leaves see shared prefixes and trailing zeros. A non-unique key ends in a
// 4-byte tail of its own.
inline Bytes MakeKey(uint16_t length, bool unique, uint32_t value, uint32_t tail = 0,
                     size_t fill = 3) {
  Bytes key(length, 0);
  size_t body = unique ? length : length - 4u;
  uint8_t be[4];
  PutBE32(be, value);
  for (size_t i = 0; i < 4 && i < body; ++i) key[i] = be[i];
  for (size_t i = 4; i < body && i < 4 + fill; ++i) key[i] = uint8_t(0x41 + (value + i) % 26);
  if (!unique) PutBE32(key.data() + body, tail);
  return key;
}

// An index file created exclusively in a temporary directory (so no lock
// calls), with index slots defined directly from shapes.
class TreeFile {
 public:
  explicit TreeFile(uint32_t cachePages = 2, std::string name = "Tree.IDX") {
    path_ = dir_.File(name);
    file_.SetFileName(path_);
    file_.SetExclusive(true);
    Configure(cachePages);
    file_.CreateIndexFile();
    file_.WriteIndexHeader(false);
  }

  void Configure(uint32_t cachePages) {
    TIndexFileSettings settings;
    settings.TableName = "Towns";
    settings.PrivateDir = dir_.Path().string();
    settings.PageCacheCapacity = cachePages;
    settings.TransactionLockHeld = [this] { return inTransaction_; };
    settings.StrictChangeDetection = strict_;
    file_.SetSettings(std::move(settings));
  }

  // Defines the index of a slot (0..30 raise the secondary count to it).
  void Define(int slot, const IndexShape& shape, const std::string& name = "ByTown") {
    TIndexDesc d;
    if (slot != kPrimarySlot && slot != kDeletedSlot && slot != kTextSlot) d.SetIndexName(name);
    if (slot == kDeletedSlot) d.SetIndexName("Sys Deleted");
    if (slot == kTextSlot) d.SetIndexName("Sys Text");
    d.KeyLength = shape.KeyLength;
    d.Unique = shape.Unique ? 1 : 0;
    d.Compression = shape.Compression;
    d.NoEntryCounts = shape.NoEntryCounts ? 1 : 0;
    d.Descending = shape.Descending ? 1 : 0;
    d.KeyFieldCount = 1;
    d.KeyFields[0] = 1;
    file_.ReplaceIndexDesc(slot, d);
    if (slot >= 1 && slot <= kMaxSecondary && file_.SecondaryIndexCount() < slot) {
      file_.SetSecondaryIndexCount(uint8_t(slot));
    }
  }

  // Writes every dirty page and the header.
  void Flush() {
    file_.WriteDirtyPages(false);
    file_.WriteIndexHeader(false);
  }
  // Flushes, closes and opens the file again (empty cache).
  void Reopen() {
    Flush();
    file_.CloseIndexFile();
    file_.OpenIndexFile();
  }

  // The page as the cache or the file holds it.
  TPage Page(int slot, int32_t pageNo) {
    TPage page;
    file_.LoadPageCopy(slot, pageNo, page);
    return page;
  }
  // The number of levels of a slot's tree (0 when empty).
  int Levels(int slot) {
    int levels = 0;
    for (int32_t n = file_.RootPage(slot); n != 0; ++levels) {
      TPage page = Page(slot, n);
      n = page.IsInner() ? page.Entry(0).Pointer : 0;
    }
    return levels;
  }
  // Every pin and orphan given back.
  bool NothingPinned() const {
    for (int slot = 0; slot < kIndexSlotCount; ++slot) {
      for (const auto& page : file_.PageCache(slot).Pages()) {
        if (page->Pins != 0) return false;
      }
    }
    return file_.OrphanCount() == 0;
  }

  std::vector<TIndexFinding> Check() {
    TIndexChecker checker(file_);
    return checker.CheckFile();
  }

  TIndexFile& File() { return file_; }
  const std::string& Path() const { return path_; }
  const TempDir& Dir() const { return dir_; }
  void SetInTransaction(bool on) { inTransaction_ = on; }
  void SetStrict(bool on, uint32_t cachePages = 2) {
    strict_ = on;
    Configure(cachePages);
  }

 private:
  TempDir dir_;
  std::string path_;
  TIndexFile file_;
  bool inTransaction_ = false;
  bool strict_ = false;
};

// Reads a whole page of the file on disk.
inline Bytes DiskPage(const std::string& path, int32_t pageNo) {
  Bytes all = ReadFileBytes(path);
  size_t at = size_t(pageNo) * kIndexPageSize;
  if (all.size() < at + kIndexPageSize) return {};
  return Bytes(all.begin() + std::ptrdiff_t(at), all.begin() + std::ptrdiff_t(at + kIndexPageSize));
}

// Overwrites bytes of the file on disk.
inline void PatchFile(const std::string& path, size_t offset, const Bytes& bytes) {
  Bytes all = ReadFileBytes(path);
  if (all.size() < offset + bytes.size()) all.resize(offset + bytes.size(), 0);
  std::copy(bytes.begin(), bytes.end(), all.begin() + std::ptrdiff_t(offset));
  WriteFileBytes(path, all);
}

}  // namespace ledra::test
