// A read-only table model over an open TLedraTable, for a QTableView that
// browses the table a row at a time without reading it whole.
//
// Columns are the table's visible field objects, titled by their display
// labels. Rows are the records in the table's current order, counted once
// and fetched on demand by their sequence numbers through a clone of the
// table's cursor (so the table's own current record never moves): a block
// of consecutive records per read, a bounded number of blocks kept, the
// least recently used one dropped first. A table of a million records
// opens at once, jumps to its last row with a few page reads and holds at
// most CacheCapacityRows() record images.
//
// The model follows the table through a data link: a change of data, of
// the order or of the open state drops what it holds and counts again; a
// changed current record drops the cached images. While the table's controls
// are disabled (an update run) the model reads nothing and shows nothing
// new; enabling them again refreshes it.
//
// Errors: a read that fails while the view paints cannot raise through
// Qt's event loop, so the rows it wanted stay blank and the error is
// reported by the ReadFailed signal (queued, once per failure).
//
// The table must outlive the model, or close and free the model first.
#pragma once

#include <QAbstractTableModel>
#include <QString>
#include <cstdint>
#include <memory>
#include <vector>

#include "components/DataLink.h"

class QTableView;

namespace ledra {

class TDataCursor;
class TLedraField;
class TLedraTable;

class TLedraTableModel : public QAbstractTableModel, private TDataLink {
  Q_OBJECT

 public:
  // Records per block read, and blocks kept.
  static constexpr int kBlockRows = 64;
  static constexpr int kMaxBlocks = 16;
  static constexpr int CacheCapacityRows() { return kBlockRows * kMaxBlocks; }

  explicit TLedraTableModel(TLedraTable& table, QObject* parent = nullptr);
  ~TLedraTableModel() override;
  TLedraTableModel(const TLedraTableModel&) = delete;
  TLedraTableModel& operator=(const TLedraTableModel&) = delete;

  int rowCount(const QModelIndex& parent = QModelIndex()) const override;
  int columnCount(const QModelIndex& parent = QModelIndex()) const override;
  QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
  QVariant headerData(int section, Qt::Orientation orientation,
                      int role = Qt::DisplayRole) const override;
  Qt::ItemFlags flags(const QModelIndex& index) const override;

  TLedraTable& Table() const { return table_; }
  // The field object shown in a column.
  TLedraField& ColumnField(int column) const;
  // A column's width in characters (the field's display width).
  int ColumnDisplayWidth(int column) const;
  // Makes `view` show this model read-only, selecting whole rows, with the
  // columns as wide as the fields' display widths.
  void ConfigureView(QTableView& view);

  // Drops what is held and counts the records again.
  void Refresh();

  // For measuring: record images held now, records read so far.
  int CachedRows() const;
  int64_t RecordsRead() const { return recordsRead_; }

 signals:
  // The table's current record moved to this row (-1: none).
  void CurrentRowChanged(int row);
  // Reading rows failed; the message is the error's.
  void ReadFailed(const QString& message);

 private:
  struct TBlock {
    int first = 0;
    int count = 0;
    uint64_t lastUse = 0;
    std::vector<uint8_t> images;
  };

  // TDataLink
  void DataSetChanged() override;
  void RecordChanged() override;
  void DataSetScrolled(int distance) override;
  void ActiveChanged(bool active) override;
  void DataSetClosing() override;
  void ControlsDisabledChanged(bool disabled) override;

  bool Frozen() const;
  // Rebuilds columns, cursor and count inside a model reset.
  void Reset();
  void Load();
  void Unload();
  // Reads everything again, keeping the view's state when the shape stays.
  void Refetch();
  std::vector<TLedraField*> VisibleFields() const;
  // The image of a row, read with its block when needed; null when it
  // cannot be had (frozen, failed, gone).
  const uint8_t* RowImage(int row) const;
  TBlock* FindBlock(int first) const;
  TBlock* ReadBlock(int first) const;
  void ReportFailure(const char* message) const;
  // Emits CurrentRowChanged for the table's current record.
  void TellCurrentRow();

  TLedraTable& table_;
  std::unique_ptr<TDataCursor> cursor_;
  std::vector<TLedraField*> columns_;
  int rowCount_ = 0;
  size_t recordSize_ = 0;
  mutable std::vector<TBlock> blocks_;
  mutable uint64_t useClock_ = 0;
  mutable int64_t recordsRead_ = 0;
  mutable bool failed_ = false;
};

}  // namespace ledra
