// One cached record image of a table, and the pool of spare ones.
//
// A TRecord holds the RecordSize bytes of one record slot of its data file
// (the 9-byte slot prefix and the field slots), the record number it belongs
// to, whether the image was changed since it was read or written (dirty), and
// how many users hold it (pins). A held record is never reused for another
// slot and never written; the cache keeps it until every holder released it.
//
// Slot prefix, as stored in the .DAT file:
//   byte 0      deleted flag: 0 a live record, 1 a free slot
//   bytes 1..4  live: the record's own number (set in memory whenever the
//               image is loaded or renumbered, never relied upon on disk);
//               free: the next free link, 0 at the end of the free chain
//   bytes 5..8  row id
//
// The images held here are always plain: the data file's slot transfer
// deciphers each slot as it is read and enciphers it as it is written.
//
// A TRecord is in exactly one place at a time: the pool (TRecordStack), the
// record cache of its data file (linked into the recently-used list), or held
// by table maintenance. Buffers grow in 64-byte steps and are kept, so that a
// recycled record allocates nothing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

namespace ledra {

class TDataFile;

class TRecord {
 public:
  explicit TRecord(TDataFile* file = nullptr);
  TRecord(const TRecord&) = delete;
  TRecord& operator=(const TRecord&) = delete;

  TDataFile* File() const { return file_; }
  void SetFile(TDataFile* file) { file_ = file; }

  int32_t RecordNumber() const { return recordNo_; }
  // Gives the record another number; a live image gets it in bytes 1..4 too.
  // Does not make the record dirty.
  void SetRecordNumber(int32_t recordNo);

  bool Dirty() const { return dirty_; }
  void MarkDirty() { dirty_ = true; }
  void MarkClean() { dirty_ = false; }

  uint16_t Pins() const { return pins_; }
  bool Pinned() const { return pins_ != 0; }
  void Pin();
  // Never below 0.
  void Unpin();
  void ClearPins() { pins_ = 0; }

  // The image: RecordSize bytes of the data file as it was when the image
  // was last initialised or loaded.
  const uint8_t* Image() const { return image_.data(); }
  // Writable access for the update path; the caller marks the record dirty.
  uint8_t* MutableImage() { return image_.data(); }
  size_t ImageSize() const { return imageSize_; }

  // Zeroes the image (sized to the file's RecordSize) and writes the record
  // number into bytes 1..4; with giveRowId the file's next row id goes into
  // bytes 5..8. The record is clean afterwards.
  void InitRecord(bool giveRowId);
  // Copies a plain slot image of RecordSize bytes into the record; a live
  // image gets the record number in bytes 1..4. Clean afterwards.
  void LoadImage(const uint8_t* slot);
  // Copies the image to `target` (RecordSize bytes). The record stays dirty
  // until the caller knows the bytes reached the file.
  void StoreImage(uint8_t* target) const;

  // The slot prefix. Each setter makes the record dirty.
  bool Deleted() const;
  void SetDeleted(bool deleted);
  // The next free link of a free slot; 0 for a live record.
  int32_t NextFreeLink() const;
  void SetNextFreeLink(int32_t recordNo);
  int32_t RowId() const;
  void SetRowId(int32_t rowId);

  // Copies the field slots (bytes 9 up to RecordSize - 1) of another image;
  // only as many as `image` holds. Makes the record dirty.
  void SetFieldBytes(std::span<const uint8_t> image);
  // Byte-wise equality of the whole image with RecordSize bytes of `image`.
  bool SameImage(std::span<const uint8_t> image) const;
  // Takes over another record's file, dirty flag, number and image (as many
  // bytes as the smaller image holds). Pins and list links stay.
  void CopyFrom(const TRecord& other);

  // Working space of table maintenance, at least `length` bytes, grown in
  // 64-byte steps and kept.
  uint8_t* KeyBuffer(size_t length);

 private:
  friend class TRecordCache;
  friend class TRecordStack;

  // Sizes the image to `size` bytes, growing the buffer in 64-byte steps.
  void SizeImage(size_t size);
  size_t FileRecordSize() const;

  TDataFile* file_ = nullptr;
  bool dirty_ = false;
  uint16_t pins_ = 0;
  int32_t recordNo_ = 0;
  size_t imageSize_ = 0;
  std::vector<uint8_t> image_;
  std::vector<uint8_t> keyBuffer_;
  // Neighbours in the cache's recently-used list (newer = towards the most
  // recently used end). Owned by the cache; null outside it.
  TRecord* older_ = nullptr;
  TRecord* newer_ = nullptr;
  // Dropped from the cache while held: freed by its last release.
  bool orphaned_ = false;
};

// Spare records of one data file, at most kMaxSpares.
class TRecordStack {
 public:
  static constexpr size_t kMaxSpares = 64;

  explicit TRecordStack(TDataFile* file = nullptr);

  // A spare record, or a new one when none is left, initialised without a
  // row id and with no pins.
  std::unique_ptr<TRecord> Take();
  // Keeps the record for later, or frees it when the pool is full.
  void Give(std::unique_ptr<TRecord> record);

  size_t Count() const { return spares_.size(); }
  void Clear() { spares_.clear(); }

 private:
  TDataFile* file_;
  std::vector<std::unique_ptr<TRecord>> spares_;
};

}  // namespace ledra
