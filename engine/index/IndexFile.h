// The index file of a table (.IDX): its header block, the index descriptors
// and raw page I/O.
//
// TIndexFile holds the in-memory image of the header block, shared by every
// cursor of the table in the process. The header is written only under the
// table's write lock and re-read (RefreshIndexHeader) when IdxChangeCount
// shows another user's change. Pages are read and written here as raw 4096-
// byte blocks and decoded by PageCodec; the page cache below keeps the
// decoded pages of each slot; the tree algorithms are the B-tree's (BTree.h).
//
// Page cache. Each slot 0..32 has its own small cache (TPageCache), all of
// them fed from one stack of spare buffers (TPageStack). A page is handed out
// pinned by FetchPage or AllocatePage and must be given back with
// ReleasePage; a pinned page is never evicted, reused or written. Changed
// pages stay in the cache (dirty) until WriteDirtyPages writes them, in runs
// of consecutive page numbers with one write per run; a cache that needs room
// writes the file's dirty pages first, except while the table holds its
// transaction lock, when it grows by 4 pages instead. Dropping the cache
// (another user changed the file, or it closes) forgets every page without
// writing; a page still pinned at that moment stays valid for its holder and
// is freed by its last ReleasePage. Each slot keeps the inner pages below
// its root besides its configured capacity (up to TPageCache::
// kKeptUpperPages), so a descent of a deeper tree reads no more than its
// leaf either; a leaf fetched for a search of an index
// without compression is kept as read and decoded only when something else
// needs its entries.
//
// Temporary indexes keep their pages in a temporary file of their own in the
// session's private directory (no header block; pages from 1, its next page
// number kept in memory), and their descriptors are never written to the
// .IDX file.
//
// What the handler needs of its table comes through TIndexFileSettings, so
// that nothing here depends on the table layer above.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "engine/files/FieldDesc.h"
#include "engine/files/FileHandler.h"
#include "engine/index/IndexHeader.h"
#include "engine/index/PageCache.h"
#include "engine/index/PageCodec.h"
#include "engine/index/PageStack.h"

namespace ledra {

// What the page cache asks of the cursor that fetches a page: before a page is
// read from disk, whether other users changed the table. True means they did:
// the check has dropped the cached pages (DropCachedPages) and refreshed the
// headers, and the fetch returns no page, so that the caller starts its
// operation again from the root.
class TIndexChangeCheck {
 public:
  virtual bool CheckForChanges() = 0;

 protected:
  ~TIndexChangeCheck() = default;
};

// Page-cache statistics, reset when the file opens and closes.
struct TPageCacheStats {
  uint64_t Fetches = 0;    // FetchPage calls
  uint64_t DiskReads = 0;  // fetches that read from the file
  uint64_t PagesRead = 0;
  uint64_t WriteRuns = 0;  // writes of runs of consecutive dirty pages
};

struct TIndexFileSettings {
  // The table's field descriptors (owned by the table; may be null while the
  // table has none loaded).
  const std::vector<TFieldDesc>* Fields = nullptr;
  // The table is enciphered: the header block and every page are one run of
  // the table cipher each.
  bool Encrypted = false;
  // The session's private directory, ending with the separator; empty means
  // the current directory.
  std::string PrivateDir;
  // Flush the operating system's buffers after emptying the file.
  bool ForceBufferFlush = false;
  // The table name carried by the engine errors raised here (the file name
  // when empty).
  std::string TableName;
  // Called whenever this file has been written to, or its header marked
  // changed (the table's written flag).
  std::function<void()> OnWritten;
  // Pages each slot's cache keeps before it evicts: the session's record
  // cache bytes divided by 8192.
  uint32_t PageCacheCapacity = 2;
  // The session takes the read lock around every operation itself, so a
  // fetch never asks for a change check.
  bool StrictChangeDetection = false;
  // Whether dirty pages must stay in memory: the table holds its transaction
  // lock, or a change holds its write lock. Dirty pages are then never
  // written to make room (the cache grows instead). Unset means never.
  std::function<bool()> TransactionLockHeld;
};

class TIndexFile : public TFileHandler {
 public:
  explicit TIndexFile(std::string fileName = {});
  ~TIndexFile() override;

  // Takes new settings; the caches take on the new capacity at once (a cache
  // holding more pages keeps them until it is trimmed).
  void SetSettings(TIndexFileSettings settings);
  const TIndexFileSettings& Settings() const { return settings_; }

  // The handler operations: open and close load and drop the header and the
  // temporary file around the inherited operation.
  void OpenTableFile() override { OpenIndexFile(); }
  void CloseTableFile() override { CloseIndexFile(); }
  void CreateTableFile() override { CreateIndexFile(); }

  // Creates the file (replacing an existing one) and builds a fresh header in
  // memory (FreshIndexHeader), not yet written.
  void CreateIndexFile();
  // Opens the file and reads its header; nothing when open already. A header
  // with more than 30 secondary indexes is refused (LEDRA_HEADERCORRUPT) and
  // the file is closed again.
  void OpenIndexFile();
  // Drops the temporary indexes, returns every cached page to the pool
  // without writing (temporary slots first) and closes the file; nothing when
  // closed. Never raises.
  void CloseIndexFile();

  // Reads the header block into memory; IdxHeaderModified becomes 0. Nothing
  // in memory changes when the read fails or the block is refused.
  void ReadIndexHeader();
  // Re-reads the header block: when its IdxChangeCount equals the one in
  // memory, false and the in-memory header (with any unwritten change) is
  // kept; otherwise the block replaces it and the result is true. A block
  // counting pages the file does not hold is refused (LEDRA_HEADERCORRUPT)
  // and the in-memory header kept.
  bool RefreshIndexHeader();
  // Writes the header when forced or marked modified: IdxChangeCount + 1,
  // temporary descriptors left out, IdxHeaderModified cleared afterwards.
  bool WriteIndexHeader(bool force);
  // IdxChangeCount + 1 and the header marked modified, without writing.
  void MarkIndexHeaderChanged();
  // LEDRA_OLDVERSION unless the format version is 5.
  void CheckIndexVersion() const;
  // The consistency check of a header read from disk (see IndexHeader.h),
  // and that the file holds every page the header counts
  // (LEDRA_HEADERCORRUPT).
  void VerifyIndexHeader();
  // Cuts the file to its header block and clears every index (and every
  // cached page).
  void EmptyIndexes();

  // Descriptor edits. Each refuses a bad request before changing anything.
  void DefinePrimaryIndex(const TIndexDesc& desc);
  void AddIndexDesc(const TIndexDesc& desc);
  void ReplaceIndexDesc(int slot, const TIndexDesc& desc);
  void RenameIndexDesc(int slot, const TIndexDesc& desc);
  void RemoveIndexDesc(int slot, bool remove);
  void SetNoPrimaryIndex(bool flag);
  void DropTemporaryIndexes();

  // The slot 0..SecondaryIndexCount whose name equals `name` without regard
  // to case (code page 1252 case folding), or -1.
  int FindIndexName(std::string_view name) const;
  TIndexDesc GetIndexDesc(int slot) const;
  std::array<uint16_t, kMaxKeyFields> GetKeyFields(int slot) const;

  // Accessors. Setters store only a changed value, and then mark the header
  // modified (except the next page number of the temporary file).
  int32_t RootPage(int slot) const { return Desc(slot).RootPage; }
  void SetRootPage(int slot, int32_t page);
  int32_t FirstFreePage(int slot) const { return Desc(slot).FirstFreePage; }
  void SetFirstFreePage(int slot, int32_t page);
  int32_t TextParamPage() const { return header_.Descs[kTextSlot].TextParamPage; }
  void SetTextParamPage(int32_t page);
  // The next page number of the file holding the slot's pages.
  int32_t NextPageNo(int slot) const;
  void SetNextPageNo(int slot, int32_t page);
  int32_t NextPageNo() const { return header_.NextPageNo; }
  uint8_t SecondaryIndexCount() const { return header_.SecondaryIndexCount; }
  void SetSecondaryIndexCount(uint8_t count);
  int32_t LiveRecordCount() const { return header_.LiveRecordCount; }
  void SetLiveRecordCount(int32_t count);
  void IncLiveRecordCount() { SetLiveRecordCount(header_.LiveRecordCount + 1); }
  void DecLiveRecordCount() { SetLiveRecordCount(header_.LiveRecordCount - 1); }
  uint32_t IdxChangeCount() const { return header_.IdxChangeCount; }
  // Continues the change counter of a file this one replaces (a rebuilt
  // index file), so that other users see the rebuild as a change; marks the
  // header modified.
  void SetIdxChangeCount(uint32_t count) {
    header_.IdxChangeCount = count;
    Modified();
  }
  bool NoPrimaryIndex() const { return header_.NoPrimaryIndex != 0; }
  bool IdxHeaderModified() const { return header_.IdxHeaderModified != 0; }
  const TIndexHeader& Header() const { return header_; }

  // A slot whose pages live in the temporary file.
  bool IsTemporarySlot(int slot) const;
  // 0 is valid; n != 0 is valid when 1 <= n <= NextPageNo - 1 (main file).
  bool IsValidPageNo(int32_t page) const { return ledra::IsValidPageNo(header_.NextPageNo, page); }
  // The same for the file holding the slot's pages.
  bool IsValidPageNo(int slot, int32_t page) const;

  // Raw page I/O for the page cache, in the file holding the slot's pages.
  // ReadPageBytes reads page n (4096 bytes) and deciphers it; page 0 or a
  // page the file does not hold raises LEDRA_INDEXCORRUPT, a short read
  // LEDRA_READERR. WritePageBytes enciphers `count` consecutive pages in
  // place, each as its own run, and writes them with one call.
  void ReadPageBytes(int slot, int32_t page, uint8_t* bytes);
  void WritePageBytes(int slot, int32_t firstPage, uint8_t* bytes, size_t count);

  // The name of the temporary file while it is open, else empty.
  std::string TemporaryFileName() const;
  // The table name that engine errors about this file carry.
  std::string_view TableName() const;

  // ---- Page cache --------------------------------------------------------

  // Page n of the slot, pinned. Page 0 raises LEDRA_INDEXCORRUPT. With
  // `asNew` (page allocation only) the page may be the slot's file's next
  // page number, which is then appended empty (LEDRA_TABLEFULL beyond the
  // last possible page, 976561), and a page read from disk keeps only its
  // header. On a cache miss, unless the session sets StrictChangeDetection,
  // `check` is asked first; when it reports a change the result is null (the
  // changed signal). A page the file does not hold, a page cached by another
  // slot, or a page that does not decode raises LEDRA_INDEXCORRUPT.
  //
  // With `forSearch` the caller only searches the page and reads its entries
  // through EntryCount, Key and Pointer: a leaf of an index without
  // compression is then kept as read, not decoded (TPage::Held). Any other
  // fetch of a held page decodes it first.
  TPage* FetchPage(int slot, int32_t pageNo, bool asNew, TIndexChangeCheck* check = nullptr,
                   bool forSearch = false);
  // One pin less (never below 0).
  void ReleasePage(TPage* page);
  // Writes the dirty, unpinned pages of the temporary slots (temporary set)
  // or of all other slots, sorted by page number, one write per run of
  // consecutive numbers; they become clean. True when anything was written.
  bool WriteDirtyPages(bool temporary);
  // Returns every cached page of the temporary slots, or of all others, to
  // the pool without writing, dirty or not.
  void DropCachedPages(bool temporary);
  // For every slot, evicts least recently used clean, unpinned pages while
  // the slot holds more than the configured capacity (writing the file's
  // dirty pages first when none is clean, outside a transaction), then lets
  // the capacity fall back towards the configured one.
  void TrimPageCache();

  // A page for the slot, pinned, dirty and empty (type 0, no entries, links
  // 0): the first page of the slot's free list, else a page appended to the
  // slot's file. The caller sets the page type. A free-list page number the
  // file does not hold, or a listed page that is not free, raises
  // LEDRA_INDEXCORRUPT.
  TPage* AllocatePage(int slot);
  // Pushes a pinned page of the slot on the front of the slot's free list;
  // it is written with no entries. The caller still releases it.
  void FreePage(int slot, TPage* page);

  // The format of the slot's pages, from its descriptor.
  TPageFormat SlotFormat(int slot) const;
  // Page n of the slot as the cache or, when not cached, the file holds it,
  // copied into `into` without entering the cache (for the checker). Raises
  // what reading and decoding raise.
  void LoadPageCopy(int slot, int32_t pageNo, TPage& into);
  // The raw 4096 bytes of page n: the cached page encoded when it is cached,
  // else the bytes of the file.
  void LoadPageBytes(int slot, int32_t pageNo, uint8_t* bytes);

  const TPageCache& PageCache(int slot) const;
  const TPageCacheStats& CacheStats() const { return stats_; }
  size_t SpareBufferCount() const { return pool_.SpareCount(); }
  // Pages dropped while pinned and not yet released.
  size_t OrphanCount() const { return orphans_.size(); }

 private:
  const TIndexDesc& Desc(int slot) const;
  TIndexDesc& MutableDesc(int slot);
  void CheckSlot(int slot) const;
  [[noreturn]] void RaiseCorrupt(TEngineErrorCode code) const;
  void Modified() { header_.IdxHeaderModified = 1; }
  void Written() const;
  void CipherBlock(uint8_t* bytes, size_t length) const;
  // Reads and deciphers the header block; refuses a block whose descriptor
  // count would lead past the slots.
  void ReadHeaderBlock(TIndexHeader& header);
  // LEDRA_HEADERCORRUPT when the file is too short for the pages the header
  // counts.
  void CheckPagesInFile(const TIndexHeader& header);
  // Checks a descriptor about to be defined against the table's fields.
  void CheckNewDesc(const TIndexDesc& desc, bool unique, std::string_view indexName) const;
  void OpenTemporaryFile();
  void CloseTemporaryFile();
  TFileHandler& PageFile(int slot);

  // Page cache helpers.
  bool SlotInFile(int slot, bool temporary) const;
  size_t ConfiguredCapacity() const;
  bool TransactionLockHeld() const;
  // A buffer for a page entering the slot's cache (not yet in it), a middle
  // inner page (`upper`) or another: a spare while the cache has room for its
  // kind, else the page the cache gives up for it (TPageCache::
  // EvictionCandidate), else (after writing dirty pages, outside a
  // transaction) a spare with the capacity raised by 4.
  std::unique_ptr<TPage> ObtainBuffer(int slot, bool upper);
  // Prepares a buffer for page n of the slot, keeping its pins and links.
  void ResetForSlot(TPage& page, int slot, int32_t pageNo) const;
  void DropPage(std::unique_ptr<TPage> page);
  void DropSlotPages(int slot);

  TIndexFileSettings settings_;
  TIndexHeader header_;
  std::array<uint8_t, kIndexHeaderSize> block_{};
  std::unique_ptr<TFileHandler> tempFile_;
  int32_t tempNextPageNo_ = 1;

  std::array<TPageCache, kIndexSlotCount> caches_;
  TPageStack pool_;
  std::vector<std::unique_ptr<TPage>> orphans_;
  TPageCacheStats stats_;
  // Scratch for reading one page and for writing runs of dirty pages.
  // (A leaf kept as read takes this buffer and leaves its own in exchange.)
  std::vector<uint8_t> pageBytes_ = std::vector<uint8_t>(kIndexPageSize);
  std::vector<uint8_t> runBytes_;
  std::vector<TPage*> dirty_;
  std::vector<std::unique_ptr<TPage>> dropped_;
};

}  // namespace ledra
