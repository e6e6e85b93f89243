// A dataset over one engine cursor: record buffers, field objects, key
// buffers and the record operations.
//
// Record buffers. All of one layout: the record image (the cursor's record
// size), the calculated fields (none here), 8 bytes of record information
// (the record's sequence number, 32-bit; a bookmark flag byte: 0 current,
// 1 before first, 2 after last, 3 new record) and the cursor's bookmark. A
// ring of BufferCount buffers holds consecutive records for bound controls,
// with one spare behind it; the engine cursor stands on the record of one of
// them (the last one read), and is moved back to the active record's
// bookmark before anything is done to that record. The ring is filled with
// one engine call (ReadNextBlock) where more than one record is wanted.
//
// Key buffers: six (lookup, range start, range end, current range start,
// current range end, saved), each an 8-byte header (modified flag; number of
// key fields assigned) and a record image, cleared through the engine. One
// more buffer keeps the record image as it was when editing began.
//
// States: inactive, browse, edit, insert, set-key. Engine navigation reports
// before-first and after-last by result codes; everything else the engine
// raises reaches the caller unchanged.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "components/DataLink.h"
#include "components/FieldTypes.h"
#include "components/LedraComponent.h"
#include "components/LedraField.h"
#include "engine/cursor/DataCursor.h"

namespace ledra {

enum TDataSetState : uint8_t { dsInactive, dsBrowse, dsEdit, dsInsert, dsSetKey };

// Results of the get-record step.
enum TGetResult : uint8_t { grOK, grBOF, grEOF, grError };
enum TGetMode : uint8_t { gmCurrent, gmNext, gmPrior };

// Bookmark flags of a record buffer.
enum TBookmarkFlag : uint8_t { bfCurrent, bfBOF, bfEOF, bfInserted };

// The key buffers, in the order they are kept.
enum TKeyIndex : uint8_t {
  kiLookup,
  kiRangeStart,
  kiRangeEnd,
  kiCurRangeStart,
  kiCurRangeEnd,
  kiSave
};

using TBookmark = std::vector<uint8_t>;

class TLedraDataSet : public TLedraComponent {
 public:
  using TDataSetEvent = std::function<void(TLedraDataSet& dataSet)>;

  explicit TLedraDataSet(TLedraComponent* owner = nullptr);
  // Closes the dataset; never raises.
  ~TLedraDataSet() override;

  // ---- Opening and closing ----------------------------------------------------

  bool Active() const { return state_ != dsInactive; }
  void SetActive(bool active);
  void Open();
  void Close();
  TDataSetState State() const { return state_; }
  // The engine cursor while open ("Cannot perform this operation on a closed
  // dataset" otherwise).
  TDataCursor& Cursor();
  bool CanModify() const { return canModify_; }

  // ---- Field definitions and objects -------------------------------------------

  // The definitions read at open (kept after close).
  const std::vector<TComponentFieldDef>& FieldDefs() const { return fieldDefs_; }
  int FieldCount() const { return int(fields_.size()); }
  TLedraField& Fields(int index) const { return *fields_.at(size_t(index)); }
  // The field whose name equals `name` without regard to case, or null.
  TLedraField* FindField(std::string_view name) const;
  // The same; none raises "Field '%s' not found".
  TLedraField& FieldByName(std::string_view name) const;
  // A persistent field object (kept over close and open), only while closed.
  TLedraField& AddField(std::unique_ptr<TLedraField> field);
  void RemoveField(TLedraField& field);
  bool DefaultFields() const { return defaultFields_; }

  // ---- Navigation --------------------------------------------------------------

  void First();
  void Last();
  void Next() { MoveBy(1); }
  void Prior() { MoveBy(-1); }
  // Moves the current record; the number of records actually moved.
  int MoveBy(int distance);
  bool Bof() const { return bof_; }
  bool Eof() const { return eof_; }
  bool IsEmpty() const { return filled_ == 0 && state_ != dsInsert; }
  // The engine cursor's record count now (never cached).
  int32_t RecordCount();
  // The sequence number of the current record (0 without one).
  int32_t RecNo();
  void SetRecNo(int32_t recNo);
  // Re-reads the records around the current one.
  void Refresh();

  TBookmark GetBookmark() const;
  // Stands on the bookmark's record.
  void GotoBookmark(const TBookmark& bookmark);
  bool BookmarkValid(const TBookmark& bookmark);
  int CompareBookmarks(const TBookmark& a, const TBookmark& b);

  // ---- Keys of the current index -------------------------------------------------

  // Searches the current index for the values, one per leading key field:
  // true and the record found current, or false and nothing moved.
  bool FindKey(const std::vector<std::string>& values);
  // Stands on the first record whose key is not below the values.
  void FindNearest(const std::vector<std::string>& values);
  // Limits the records to keys from `start` to `end` (each one value per
  // leading key field), inclusive.
  void SetRange(const std::vector<std::string>& start, const std::vector<std::string>& end);
  void CancelRange();
  // The current index: number of key fields, case rule and field numbers.
  int IndexFieldCount() const { return int(indexFields_.size()); }
  bool IndexCaseInsensitive() const { return indexCaseInsensitive_; }
  const std::vector<uint16_t>& IndexFieldNumbers() const { return indexFields_; }
  // The field object of key field i of the current index.
  TLedraField& IndexFields(int index) const;

  // ---- Changes -------------------------------------------------------------------

  void Edit();
  void Insert();
  void Append();
  void Post();
  void Cancel();
  void Delete();
  // The value of a blob field of the current record (the record being
  // edited included), and a new value for the record being edited, written
  // when it is posted.
  std::vector<uint8_t> BlobValue(const TLedraField& field);
  void SetBlobValue(TLedraField& field, const std::vector<uint8_t>& bytes);
  // The record as it was when editing began (RecordSize bytes).
  const std::vector<uint8_t>& OldValueBuffer() const { return oldValues_; }
  // A field value of the record being edited was written since Edit.
  bool Modified() const { return modified_; }

  // ---- Bound controls --------------------------------------------------------------

  void AddDataLink(TDataLink* link);
  void RemoveDataLink(TDataLink* link);
  void DisableControls();
  void EnableControls();
  bool ControlsDisabled() const { return disableCount_ > 0; }
  // Records kept for bound controls (at least 1).
  int BufferCount() const { return bufferCount_; }
  void SetBufferCount(int count);
  // How many records of the ring hold records, which one is current, and
  // the image of ring buffer i.
  int RecordsInBuffers() const { return filled_; }
  int ActiveRecord() const { return active_; }
  const uint8_t* BufferImage(int index) const { return buffers_.at(size_t(index)).data(); }
  // The image the field objects read: by state the current buffer or the
  // key buffer being filled; null without one.
  uint8_t* ActiveImage();
  const uint8_t* ActiveImage() const;

  TDataSetEvent BeforeOpen, AfterOpen, BeforeClose, AfterClose, BeforeScroll, AfterScroll,
      BeforeEdit, AfterEdit, BeforeInsert, AfterInsert, BeforePost, AfterPost, BeforeCancel,
      AfterCancel, BeforeDelete, AfterDelete;

  // "Cannot perform this operation on a closed dataset" when closed.
  void CheckActive() const;
  // "Cannot perform this operation on an open dataset" when open.
  void CheckInactive() const;
  // Raises a non-zero engine result with the table's and database's names.
  void CheckEngineCode(uint16_t code) const;

 protected:
  // Steps of opening that belong to the subclass: the cursor, opened and on
  // its index (null leaves the dataset closed).
  virtual std::unique_ptr<TDataCursor> OpenCursor() = 0;
  // Gives back what OpenCursor bound (the database).
  virtual void CloseCursorBinding() {}
  // The names that go into engine errors the layer raises.
  virtual std::string ErrorTableName() const { return Name(); }
  virtual std::string ErrorDatabaseName() const { return {}; }
  // Switches the open cursor to another index and refetches.
  void SwitchToIndex(std::string_view indexName);
  void ReadIndexDescription();

 private:
  friend class TLedraField;

  // Record buffer parts.
  size_t RecordSize() const { return recordSize_; }
  size_t InfoOffset() const { return recordSize_; }
  size_t BookmarkOffset() const { return recordSize_ + kInfoSize; }
  int32_t RecNoOf(const std::vector<uint8_t>& buffer) const;
  uint8_t& FlagOf(std::vector<uint8_t>& buffer) const;
  uint8_t* BookmarkOf(std::vector<uint8_t>& buffer) const {
    return buffer.data() + BookmarkOffset();
  }
  const uint8_t* BookmarkOf(const std::vector<uint8_t>& buffer) const {
    return buffer.data() + BookmarkOffset();
  }
  static constexpr size_t kInfoSize = 8;
  static constexpr size_t kKeyHeaderSize = 8;

  void InternalOpen();
  void InternalClose();
  void BindFields();
  void AllocateBuffers();
  void ClearBuffers();
  // The get-record step.
  TGetResult GetRecord(std::vector<uint8_t>& buffer, TGetMode mode, bool check);
  void FillInfo(std::vector<uint8_t>& buffer, int32_t recNo);
  void SetCurrentRecord(int index);
  bool GetNextRecord();
  bool GetPriorRecord();
  int GetNextRecords();
  int GetPriorRecords(int count);
  // Stands the engine cursor on the active record.
  void UpdateCursorPos();
  // Refills the ring around the record the engine cursor stands on (exact:
  // it must exist; centred: as many before it as after).
  void Resync(bool exact, bool center);
  void CheckBrowseMode();
  void CheckCanModify() const;
  void CheckRequiredFields();
  void FreeFieldBuffers();
  void StartEditOrInsert(TDataSetState state, bool append);
  // Key buffers.
  uint8_t* KeyImage(TKeyIndex index) { return keyBuffers_[index].data() + kKeyHeaderSize; }
  void ClearKeyBuffer(TKeyIndex index);
  void SetKeyFields(TKeyIndex index, const std::vector<std::string>& values);
  // Field access for the field objects.
  bool GetFieldData(const TLedraField& field, uint8_t* value) const;
  void SetFieldData(TLedraField& field, const uint8_t* value);
  void FieldChanged(TLedraField& field);
  // Notifications.
  void NotifyDataSetChanged();
  void NotifyRecordChanged();
  void NotifyScrolled(int distance);
  void NotifyActiveChanged(bool active);
  void Run(const TDataSetEvent& event) {
    if (event) event(*this);
  }

  std::unique_ptr<TDataCursor> cursor_;
  TDataSetState state_ = dsInactive;
  bool canModify_ = false;
  size_t recordSize_ = 0;
  size_t bookmarkSize_ = 0;
  size_t bufferSize_ = 0;

  std::vector<TComponentFieldDef> fieldDefs_;
  std::vector<TLedraField*> fields_;
  std::vector<std::unique_ptr<TLedraField>> ownedFields_;
  bool defaultFields_ = false;

  std::vector<uint16_t> indexFields_;
  bool indexCaseInsensitive_ = false;

  int bufferCount_ = 1;
  std::vector<std::vector<uint8_t>> buffers_;  // bufferCount_ + 1 (the spare)
  // The images of one block read, kept for their storage.
  std::vector<uint8_t> blockImages_;
  int filled_ = 0;
  int active_ = 0;
  int cursorBuffer_ = -1;  // the buffer the engine cursor stands on, -1: none
  bool bof_ = true;
  bool eof_ = true;

  std::vector<std::vector<uint8_t>> keyBuffers_;
  TKeyIndex keyIndex_ = kiLookup;
  std::vector<uint8_t> keySaved_;
  std::vector<uint8_t> oldValues_;
  // The record being inserted (a record buffer of its own).
  std::vector<uint8_t> newRecord_;
  bool modified_ = false;

  std::vector<TDataLink*> links_;
  int disableCount_ = 0;
};

}  // namespace ledra
