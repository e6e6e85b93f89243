#include "components/qt/LedraDirectoryListBox.h"

#include <QDir>
#include <QFileInfo>
#include <QFileSystemModel>
#include <QKeyEvent>
#include <QLabel>

#include "components/qt/LedraDriveComboBox.h"
#include "components/qt/LedraFileListBox.h"

namespace ledra {

TLedraDirectoryListBox::TLedraDirectoryListBox(QWidget* parent) : QTreeView(parent) {
  model_ = new QFileSystemModel(this);
  model_->setReadOnly(true);
  model_->setFilter(QDir::AllDirs | QDir::Drives | QDir::NoDotAndDotDot);
  setModel(model_);
  // The name column only, as a plain list of folders.
  for (int column = 1; column < model_->columnCount(); ++column) hideColumn(column);
  setHeaderHidden(true);
  setSelectionMode(QAbstractItemView::SingleSelection);
  setEditTriggers(QAbstractItemView::NoEditTriggers);
  setUniformRowHeights(true);
  setRootIndex(QModelIndex());
  // A double click opens the folder whatever the style says about single
  // clicks.
  connect(this, &QTreeView::doubleClicked, this, [this](const QModelIndex& index) {
    if (index.isValid()) SetDirectory(model_->filePath(index));
  });
  SetDirectory(QDir::currentPath());
}

bool TLedraDirectoryListBox::SetDirectory(const QString& path) {
  const QFileInfo info(path);
  if (path.isEmpty() || !info.isDir()) return false;
  const QString directory = QDir::cleanPath(info.absoluteFilePath());
  const QString root = TLedraDriveComboBox::RootOf(directory);
  if (root != rootPath_) {
    rootPath_ = root;
    model_->setRootPath(root);
  }
  // Only the way down to the open directory stays expanded, and the open
  // directory itself, so that its folders show below it.
  collapseAll();
  const QModelIndex index = model_->index(directory);
  for (QModelIndex step = index; step.isValid(); step = step.parent()) expand(step);
  setCurrentIndex(index);
  scrollTo(index);

  const bool changed = directory != directory_;
  directory_ = directory;
  UpdateLinks();
  if (changed) emit DirectoryChanged(directory_);
  return true;
}

QString TLedraDirectoryListBox::Drive() const {
  return TLedraDriveComboBox::RootOf(directory_);
}

QString TLedraDirectoryListBox::SelectedDirectory() const {
  const QModelIndex index = currentIndex();
  return index.isValid() ? QDir::cleanPath(model_->filePath(index)) : directory_;
}

void TLedraDirectoryListBox::OpenSelected() {
  SetDirectory(SelectedDirectory());
}

bool TLedraDirectoryListBox::OpenParent() {
  QDir directory(directory_);
  if (directory.isRoot() || !directory.cdUp()) return false;
  return SetDirectory(directory.absolutePath());
}

void TLedraDirectoryListBox::keyPressEvent(QKeyEvent* event) {
  switch (event->key()) {
    case Qt::Key_Return:
    case Qt::Key_Enter:
      // Enter opens the folder here instead of pressing the dialog's
      // default button.
      OpenSelected();
      event->accept();
      return;
    case Qt::Key_Backspace:
      OpenParent();
      event->accept();
      return;
    default:
      QTreeView::keyPressEvent(event);
  }
}

void TLedraDirectoryListBox::SetDirLabel(QLabel* label) {
  dirLabel_ = label;
  UpdateLinks();
}

void TLedraDirectoryListBox::SetFileList(TLedraFileListBox* fileList) {
  fileList_ = fileList;
  UpdateLinks();
}

void TLedraDirectoryListBox::SetDriveCombo(TLedraDriveComboBox* driveCombo) {
  if (driveCombo_ == driveCombo) return;
  driveCombo_ = driveCombo;
  if (driveCombo != nullptr) driveCombo->SetDirList(this);
  UpdateLinks();
}

void TLedraDirectoryListBox::UpdateLinks() {
  const QString shown = QDir::toNativeSeparators(directory_);
  if (dirLabel_ != nullptr) {
    dirLabel_->setText(shown);
    dirLabel_->setToolTip(shown);
  }
  if (fileList_ != nullptr) fileList_->SetDirectory(directory_);
  if (driveCombo_ != nullptr) driveCombo_->SetDrive(directory_);
}

}  // namespace ledra
