// The index file of a table (.IDX): its header block, the index descriptors
// and raw page I/O.
//
// TIndexFile holds the in-memory image of the header block, shared by every
// cursor of the table in the process. The header is written only under the
// table's write lock and re-read (RefreshIndexHeader) when IdxChangeCount
// shows another user's change. Pages are read and written here as raw 4096-
// byte blocks; decoding them is PageCodec's, caching and the tree are the
// B-tree's.
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

namespace ledra {

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
};

class TIndexFile : public TFileHandler {
 public:
  explicit TIndexFile(std::string fileName = {});
  ~TIndexFile() override;

  void SetSettings(TIndexFileSettings settings) { settings_ = std::move(settings); }
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
  // Drops the temporary indexes and closes the file; nothing when closed.
  // Never raises.
  void CloseIndexFile();

  // Reads the header block into memory; IdxHeaderModified becomes 0. Nothing
  // in memory changes when the read fails or the block is refused.
  void ReadIndexHeader();
  // Re-reads the header block: when its IdxChangeCount equals the one in
  // memory, false and the in-memory header (with any unwritten change) is
  // kept; otherwise the block replaces it and the result is true.
  bool RefreshIndexHeader();
  // Writes the header when forced or marked modified: IdxChangeCount + 1,
  // temporary descriptors left out, IdxHeaderModified cleared afterwards.
  bool WriteIndexHeader(bool force);
  // IdxChangeCount + 1 and the header marked modified, without writing.
  void MarkIndexHeaderChanged();
  // LEDRA_OLDVERSION unless the format version is 5.
  void CheckIndexVersion() const;
  // The consistency check of a header read from disk (see IndexHeader.h).
  void VerifyIndexHeader() const;
  // Cuts the file to its header block and clears every index.
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

 private:
  const TIndexDesc& Desc(int slot) const;
  TIndexDesc& MutableDesc(int slot);
  void CheckSlot(int slot) const;
  std::string_view TableName() const;
  [[noreturn]] void RaiseCorrupt(TEngineErrorCode code) const;
  void Modified() { header_.IdxHeaderModified = 1; }
  void Written() const;
  void CipherBlock(uint8_t* bytes, size_t length) const;
  // Reads and deciphers the header block; refuses a block whose descriptor
  // count would lead past the slots.
  void ReadHeaderBlock(TIndexHeader& header);
  // Checks a descriptor about to be defined against the table's fields.
  void CheckNewDesc(const TIndexDesc& desc, bool unique, std::string_view indexName) const;
  void OpenTemporaryFile();
  void CloseTemporaryFile();
  TFileHandler& PageFile(int slot);

  TIndexFileSettings settings_;
  TIndexHeader header_;
  std::array<uint8_t, kIndexHeaderSize> block_{};
  std::unique_ptr<TFileHandler> tempFile_;
  int32_t tempNextPageNo_ = 1;
};

}  // namespace ledra
