#include "components/qt/LedraDriveComboBox.h"

#include <QDir>
#include <QFileInfo>

#include "components/qt/LedraDirectoryListBox.h"

namespace ledra {

TLedraDriveComboBox::TLedraDriveComboBox(QWidget* parent) : QComboBox(parent) {
  setEditable(false);
  RefreshDrives();
  // Activated: chosen by the user, with the mouse or the keyboard.
  connect(this, &QComboBox::activated, this, [this] { DriveChosen(); });
}

QString TLedraDriveComboBox::RootOf(const QString& path) {
  QDir directory(QFileInfo(path).absoluteFilePath());
  while (!directory.isRoot() && directory.cdUp()) {
  }
  return directory.absolutePath();
}

void TLedraDriveComboBox::RefreshDrives() {
  const QString current = Drive();
  updating_ = true;
  clear();
  for (const QFileInfo& drive : QDir::drives()) {
    const QString root = drive.absoluteFilePath();
    addItem(QDir::toNativeSeparators(root), root);
  }
  updating_ = false;
  if (!current.isEmpty()) SetDrive(current);
}

TLedraDirectoryListBox* TLedraDriveComboBox::DirList() const {
  return dirList_.data();
}

QString TLedraDriveComboBox::Drive() const {
  return currentData().toString();
}

bool TLedraDriveComboBox::SetDrive(const QString& path) {
  const int index = findData(RootOf(path));
  if (index < 0) return false;
  updating_ = true;
  setCurrentIndex(index);
  updating_ = false;
  return true;
}

void TLedraDriveComboBox::SetDirList(TLedraDirectoryListBox* dirList) {
  if (dirList_ == dirList) return;
  dirList_ = dirList;
  if (dirList != nullptr) {
    dirList->SetDriveCombo(this);
    SetDrive(dirList->Directory());
  }
}

void TLedraDriveComboBox::DriveChosen() {
  if (updating_) return;
  const QString drive = Drive();
  emit DriveChanged(drive);
  if (dirList_ != nullptr && dirList_->Drive() != drive) dirList_->SetDirectory(drive);
}

}  // namespace ledra
