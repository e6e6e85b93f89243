#include "components/qt/LedraTableModel.h"

#include <QFontMetrics>
#include <QHeaderView>
#include <QMetaObject>
#include <QStyle>
#include <QTableView>
#include <algorithm>
#include <cstring>
#include <exception>
#include <string>

#include "components/LedraField.h"
#include "components/LedraTable.h"
#include "engine/cursor/DataCursor.h"
#include "platform/Cp1252.h"

namespace ledra {

namespace {

QString FromTableText(const std::string& text) {
  return QString::fromStdString(platform::Cp1252ToUtf8(text));
}

// The width of one character of a display width. The font's own average is
// weighted towards lower-case letters, while the address book's columns are
// mostly capitals and digits (account numbers, postcodes, upper-cased towns):
// the wider of that average and the mean advance of capitals and digits, so
// that a column of N characters shows N such characters in full.
int DisplayCharWidth(const QFontMetrics& metrics) {
  static const QString kCapitalsAndDigits = QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789");
  const int total = metrics.horizontalAdvance(kCapitalsAndDigits);
  const int mean = (total + int(kCapitalsAndDigits.size()) - 1) / int(kCapitalsAndDigits.size());
  return std::max(metrics.averageCharWidth(), mean);
}

}  // namespace

TLedraTableModel::TLedraTableModel(TLedraTable& table, QObject* parent)
    : QAbstractTableModel(parent), table_(table) {
  table_.AddDataLink(this);
  Load();
}

TLedraTableModel::~TLedraTableModel() {
  table_.RemoveDataLink(this);
  Unload();
}

// ---- Shape ---------------------------------------------------------------------------

int TLedraTableModel::rowCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : rowCount_;
}

int TLedraTableModel::columnCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : int(columns_.size());
}

TLedraField& TLedraTableModel::ColumnField(int column) const {
  return *columns_.at(column);
}

int TLedraTableModel::ColumnDisplayWidth(int column) const {
  return std::max(1, ColumnField(column).DisplayWidth());
}

Qt::ItemFlags TLedraTableModel::flags(const QModelIndex& index) const {
  if (!index.isValid()) return Qt::NoItemFlags;
  return Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemNeverHasChildren;
}

QVariant TLedraTableModel::headerData(int section, Qt::Orientation orientation, int role) const {
  if (orientation != Qt::Horizontal || section < 0 || section >= int(columns_.size())) {
    return QAbstractTableModel::headerData(section, orientation, role);
  }
  if (role == Qt::DisplayRole || role == Qt::ToolTipRole) {
    return FromTableText(columns_[section]->DisplayLabel());
  }
  return {};
}

QVariant TLedraTableModel::data(const QModelIndex& index, int role) const {
  if (role != Qt::DisplayRole && role != Qt::ToolTipRole) return {};
  if (!index.isValid() || index.row() >= rowCount_ || index.column() >= int(columns_.size())) {
    return {};
  }
  const uint8_t* image = RowImage(index.row());
  if (image == nullptr) return {};
  try {
    return FromTableText(columns_[index.column()]->DisplayText(image));
  } catch (const std::exception& error) {
    ReportFailure(error.what());
    return {};
  }
}

void TLedraTableModel::ConfigureView(QTableView& view) {
  view.setModel(this);
  view.setEditTriggers(QAbstractItemView::NoEditTriggers);
  view.setSelectionBehavior(QAbstractItemView::SelectRows);
  view.setSelectionMode(QAbstractItemView::SingleSelection);
  // Every row one line high: the view never asks for the rows it does not
  // show to size itself.
  view.verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
  view.verticalHeader()->setDefaultSectionSize(view.fontMetrics().height() + 6);
  const QFontMetrics metrics = view.fontMetrics();
  const int charWidth = DisplayCharWidth(metrics);
  // The style draws a cell's text inside a margin on each side, and the grid
  // line takes a pixel of the column.
  const int textMargin =
      view.style()->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr, &view) + 1;
  const int margins = 2 * textMargin + (view.showGrid() ? 1 : 0) + 2;
  for (int column = 0; column < columnCount(); ++column) {
    const int chars = ColumnDisplayWidth(column);
    view.setColumnWidth(column, charWidth * chars + margins);
  }
  connect(this, &TLedraTableModel::CurrentRowChanged, &view, [&view, this](int row) {
    if (row >= 0 && row < rowCount()) view.selectRow(row);
  });
}

// ---- Rows --------------------------------------------------------------------------------

int TLedraTableModel::CachedRows() const {
  int rows = 0;
  for (const TBlock& block : blocks_) rows += block.count;
  return rows;
}

TLedraTableModel::TBlock* TLedraTableModel::FindBlock(int first) const {
  for (TBlock& block : blocks_) {
    if (block.first == first) return &block;
  }
  return nullptr;
}

const uint8_t* TLedraTableModel::RowImage(int row) const {
  const int first = row - row % kBlockRows;
  TBlock* block = FindBlock(first);
  if (block == nullptr) {
    // Nothing new while the controls are disabled, nothing after a failure
    // until the next refresh.
    if (Frozen() || failed_ || cursor_ == nullptr) return nullptr;
    try {
      block = ReadBlock(first);
    } catch (const std::exception& error) {
      ReportFailure(error.what());
      return nullptr;
    }
  }
  block->lastUse = ++useClock_;
  const int offset = row - block->first;
  if (offset >= block->count) return nullptr;  // the table has fewer rows now
  return block->images.data() + size_t(offset) * recordSize_;
}

TLedraTableModel::TBlock* TLedraTableModel::ReadBlock(int first) const {
  TBlock* block = nullptr;
  if (int(blocks_.size()) < kMaxBlocks) {
    block = &blocks_.emplace_back();
    block->images.resize(size_t(kBlockRows) * recordSize_);
  } else {
    block =
        &*std::min_element(blocks_.begin(), blocks_.end(),
                           [](const TBlock& a, const TBlock& b) { return a.lastUse < b.lastUse; });
  }
  // Taken out of use until it holds the new rows, so that a failure leaves
  // no half-read block behind.
  block->first = -1;
  block->count = 0;

  const int wanted = std::min(kBlockRows, rowCount_ - first);
  int count = 0;
  if (wanted > 0) {
    cursor_->MoveToSequence(first + 1);
    if (!cursor_->Bof() && !cursor_->Eof()) {
      std::memcpy(block->images.data(), cursor_->CurrentRecord(), recordSize_);
      int32_t more = wanted - 1;
      cursor_->ReadNextBlock(more, block->images.data() + recordSize_);
      count = 1 + more;
    }
  }
  recordsRead_ += count;
  block->first = first;
  block->count = count;
  return block;
}

void TLedraTableModel::ReportFailure(const char* message) const {
  if (failed_) return;
  failed_ = true;
  // Queued: the view may be painting now.
  auto* self = const_cast<TLedraTableModel*>(this);
  QMetaObject::invokeMethod(
      self, [self, text = FromTableText(message)] { emit self->ReadFailed(text); },
      Qt::QueuedConnection);
}

// ---- Following the table -------------------------------------------------------------------

bool TLedraTableModel::Frozen() const {
  return table_.ControlsDisabled();
}

void TLedraTableModel::Unload() {
  blocks_.clear();
  blocks_.shrink_to_fit();
  columns_.clear();
  rowCount_ = 0;
  recordSize_ = 0;
  if (cursor_ != nullptr) {
    std::unique_ptr<TDataCursor> cursor = std::move(cursor_);
    try {
      cursor->Close();
    } catch (const std::exception& error) {
      // A clone only reads: its close writes nothing of the table's. The
      // failure is still told.
      ReportFailure(error.what());
    }
  }
  failed_ = false;
}

std::vector<TLedraField*> TLedraTableModel::VisibleFields() const {
  std::vector<TLedraField*> fields;
  if (!table_.Active()) return fields;
  for (int i = 0; i < table_.FieldCount(); ++i) {
    TLedraField& field = table_.Fields(i);
    if (field.Visible()) fields.push_back(&field);
  }
  return fields;
}

void TLedraTableModel::Load() {
  if (!table_.Active()) return;
  columns_ = VisibleFields();
  try {
    // A fresh clone: the table may have changed its order or range.
    cursor_ = table_.Cursor().Clone();
    recordSize_ = cursor_->RecordSize();
    rowCount_ = std::max(0, cursor_->GetRecordCount());
  } catch (const std::exception& error) {
    rowCount_ = 0;
    ReportFailure(error.what());
  }
}

void TLedraTableModel::Refetch() {
  if (cursor_ == nullptr || VisibleFields() != columns_) {
    Reset();
    return;
  }
  // Same columns: a fresh clone (the table may have changed its order or
  // range) and a new count; the view keeps its scrolling and selection
  // unless the number of rows changed.
  std::unique_ptr<TDataCursor> fresh;
  int count = 0;
  try {
    fresh = table_.Cursor().Clone();
    count = std::max(0, fresh->GetRecordCount());
  } catch (const std::exception&) {
    Reset();  // which reports the failure
    return;
  }
  const bool reshaped = count != rowCount_;
  if (reshaped) beginResetModel();
  std::vector<TLedraField*> columns = std::move(columns_);
  Unload();
  columns_ = std::move(columns);
  cursor_ = std::move(fresh);
  recordSize_ = cursor_->RecordSize();
  rowCount_ = count;
  if (reshaped) {
    endResetModel();
  } else if (rowCount_ > 0 && !columns_.empty()) {
    emit dataChanged(index(0, 0), index(rowCount_ - 1, int(columns_.size()) - 1));
  }
}

void TLedraTableModel::Reset() {
  beginResetModel();
  Unload();
  Load();
  endResetModel();
}

void TLedraTableModel::Refresh() {
  Reset();
}

void TLedraTableModel::DataSetChanged() {
  // Also how enabling the controls again reaches the model, and how the
  // table tells of a jump (First, Last, a seek).
  if (Frozen()) return;
  Refetch();
  TellCurrentRow();
}

void TLedraTableModel::RecordChanged() {
  if (Frozen() || rowCount_ == 0) return;
  // Which rows hold the changed record is not known without reading: the
  // images go, the view asks again for the rows it shows.
  blocks_.clear();
  emit dataChanged(index(0, 0), index(rowCount_ - 1, std::max(0, columnCount() - 1)));
}

void TLedraTableModel::DataSetScrolled(int) {
  if (!Frozen()) TellCurrentRow();
}

void TLedraTableModel::TellCurrentRow() {
  if (!table_.Active()) return;
  int row = -1;
  try {
    row = table_.RecNo() - 1;
  } catch (const std::exception& error) {
    ReportFailure(error.what());
    return;
  }
  emit CurrentRowChanged(row);
}

void TLedraTableModel::ActiveChanged(bool) {
  // Opened or closed: the fields and the cursor are new or gone, whether
  // the controls are disabled or not.
  Reset();
}

void TLedraTableModel::DataSetClosing() {
  // The clone goes before the table's own cursor, so that the table's close
  // is the last use of its files and reports what their closing raises.
  beginResetModel();
  Unload();
  endResetModel();
}

void TLedraTableModel::ControlsDisabledChanged(bool) {
  // Enabling is followed by DataSetChanged, which refreshes.
}

}  // namespace ledra
