// One open blob value of one record image, held in memory by the cursor that
// opened it.
//
// A TBlobBuffer stands for the blob field `FieldNo` of a record image from
// OpenBlob until the record is posted or the blob closed: the image then
// carries the buffer's negated handle instead of the block reference, which
// never reaches a file. Reads and writes work on the whole value in memory;
// the value reaches the blob file only when the record is posted (Store).
//
// The changed flag says the value must be written at post. It is set by
// every write and truncation, also one that leaves the length alone: an
// edited value of the same length is still the user's change.
#pragma once

#include <cstdint>
#include <vector>

#include "engine/blob/BlobFile.h"

namespace ledra {

enum class TBlobOpenMode : uint8_t { kRead, kWrite };

class TBlobBuffer {
 public:
  // The longest value a blob can hold.
  static constexpr uint32_t kMaxLength = 0x7FFFFFFF;

  TBlobBuffer(int32_t handle, int fieldNo, int32_t firstBlock, int32_t stamp, int32_t recordNo,
              TBlobOpenMode mode, bool freeAfterPost)
      : handle_(handle),
        fieldNo_(fieldNo),
        firstBlock_(firstBlock),
        stamp_(stamp),
        recordNo_(recordNo),
        mode_(mode),
        freeAfterPost_(freeAfterPost) {}

  int32_t Handle() const { return handle_; }
  int FieldNo() const { return fieldNo_; }
  // The chain the value was opened from (0 = none); after Store, the chain
  // now holding it.
  int32_t FirstBlock() const { return firstBlock_; }
  void SetFirstBlock(int32_t firstBlock) { firstBlock_ = firstBlock; }
  int32_t Stamp() const { return stamp_; }
  void SetStamp(int32_t stamp) { stamp_ = stamp; }
  int32_t RecordNo() const { return recordNo_; }
  void SetRecordNo(int32_t recordNo) { recordNo_ = recordNo; }
  TBlobOpenMode Mode() const { return mode_; }
  bool FreeAfterPost() const { return freeAfterPost_; }
  void SetFreeAfterPost(bool free) { freeAfterPost_ = free; }
  uint16_t OpenCount() const { return openCount_; }
  void SetOpenCount(uint16_t count) { openCount_ = count; }
  bool Changed() const { return changed_; }
  void SetChanged(bool changed) { changed_ = changed; }

  uint32_t Length() const { return uint32_t(data_.size()); }
  const std::vector<uint8_t>& Data() const { return data_; }
  // The value as loaded, kept for fields of the text index (the words the
  // record had); null when not kept.
  const std::vector<uint8_t>* LoadedCopy() const { return keepCopy_ ? &loaded_ : nullptr; }

  // Loads the value of the chain FirstBlock with the buffer's stamp (nothing
  // for 0); `keepCopy` keeps a copy of it as loaded. The errors of
  // LoadBlobValue; the changed flag is cleared.
  void Load(TBlobFile& file, TBlobCacheClient* client, bool keepCopy);
  // Takes a value from elsewhere (a copy of another record's blob): changed.
  void Assign(std::vector<uint8_t> value);

  // count bytes from `position` into `destination`: 0, or LEDRA_ENDOFBLOB
  // with the bytes there are (none at or past the end). `read` receives the
  // number of bytes copied.
  uint16_t Read(uint32_t position, uint32_t count, uint8_t* destination, uint32_t& read) const;
  // Writes count bytes at `position`, growing the value with zeros up to it
  // when needed. LEDRA_INVALIDBLOBLEN when the value would pass kMaxLength.
  uint16_t Write(uint32_t position, uint32_t count, const uint8_t* source);
  // Cuts the value or grows it with zeros. LEDRA_INVALIDBLOBLEN beyond
  // kMaxLength.
  uint16_t Truncate(uint32_t length);

  // Writes the value with `newStamp` into a new chain of the blob file and
  // frees the old one (StoreBlobValue): FirstBlock and Stamp become the new
  // ones and the changed flag is cleared. An empty value only frees.
  void Store(TBlobFile& file, int32_t newStamp, TBlobCacheClient* client);

 private:
  int32_t handle_;
  int fieldNo_;
  int32_t firstBlock_;
  int32_t stamp_;
  int32_t recordNo_;
  TBlobOpenMode mode_;
  bool freeAfterPost_;
  uint16_t openCount_ = 1;
  bool changed_ = false;
  bool keepCopy_ = false;
  std::vector<uint8_t> data_;
  std::vector<uint8_t> loaded_;
};

}  // namespace ledra
