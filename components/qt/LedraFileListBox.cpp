#include "components/qt/LedraFileListBox.h"

#include <QDir>
#include <QFileSystemModel>

namespace ledra {

TLedraFileListBox::TLedraFileListBox(QWidget* parent) : QListView(parent) {
  setSelectionMode(QAbstractItemView::SingleSelection);
  setEditTriggers(QAbstractItemView::NoEditTriggers);
  setUniformItemSizes(true);
  mask_ = "*.*";
  NewModel();
}

void TLedraFileListBox::NewModel() {
  // A model of its own for each directory: the file-system model keeps
  // showing a folder it once passed through on the way to another root,
  // filters or not.
  QFileSystemModel* old = model_;
  model_ = new QFileSystemModel(this);
  model_->setReadOnly(true);
  // Without QDir::CaseSensitive the mask matches regardless of case:
  // "*.dat" finds "SMEADT01.DAT".
  model_->setFilter(QDir::Files | QDir::Hidden | QDir::NoDotAndDotDot);
  // Names that do not match are left out rather than shown greyed.
  model_->setNameFilterDisables(false);
  SetMask(mask_);
  setModel(model_);
  if (old != nullptr) old->deleteLater();
}

void TLedraFileListBox::SetDirectory(const QString& path) {
  if (path == directory_) return;
  directory_ = path;
  NewModel();
  setRootIndex(model_->setRootPath(path));
  model_->sort(0, Qt::AscendingOrder);
}

void TLedraFileListBox::SetMask(const QString& mask) {
  mask_ = mask;
  QStringList patterns;
  for (QString pattern : mask.split(';', Qt::SkipEmptyParts)) {
    pattern = pattern.trimmed();
    // "*.*" is every file, with an extension or without.
    if (pattern == "*.*") pattern = "*";
    if (!pattern.isEmpty()) patterns << pattern;
  }
  if (patterns.isEmpty()) patterns << "*";
  model_->setNameFilters(patterns);
}

QStringList TLedraFileListBox::FileNames() const {
  QStringList names;
  const QModelIndex root = rootIndex();
  if (directory_.isEmpty() || !root.isValid()) return names;
  const int rows = model_->rowCount(root);
  for (int row = 0; row < rows; ++row) names << model_->fileName(model_->index(row, 0, root));
  return names;
}

}  // namespace ledra
