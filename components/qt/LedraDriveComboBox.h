// The drive box of the folder controls: the drives to choose from, which on
// this platform are the file-system roots. A linked directory list opens
// the root of the drive chosen here (unless it is on that drive already)
// and tells the box when its open directory moves to another drive.
//
// Keyboard as in a Windows drive box: the arrow keys step through the
// drives, a typed letter chooses the drive whose name starts with it.
#pragma once

#include <QComboBox>
#include <QPointer>
#include <QString>

namespace ledra {

class TLedraDirectoryListBox;

class TLedraDriveComboBox : public QComboBox {
  Q_OBJECT

 public:
  explicit TLedraDriveComboBox(QWidget* parent = nullptr);

  // The chosen drive's root path.
  QString Drive() const;
  // Chooses the drive holding `path` (its root); false when no listed drive
  // holds it.
  bool SetDrive(const QString& path);
  // Reads the drives again.
  void RefreshDrives();
  // The root of the drive holding `path`.
  static QString RootOf(const QString& path);

  void SetDirList(TLedraDirectoryListBox* dirList);
  TLedraDirectoryListBox* DirList() const;

 signals:
  void DriveChanged(const QString& drive);

 private:
  void DriveChosen();

  QPointer<TLedraDirectoryListBox> dirList_;
  bool updating_ = false;
};

}  // namespace ledra
