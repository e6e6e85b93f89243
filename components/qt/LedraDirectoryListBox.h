// The directory list of the folder controls: the folders of one drive as a
// tree, with one open directory (Directory) whose path a linked label shows
// and whose files a linked file list shows.
//
// Keyboard and mouse as in a Windows directory list: the arrow keys and
// typed letters move the selection, Enter or a double click opens the
// selected folder, Backspace opens the parent folder. "Drives" are the
// file-system roots here; a linked drive box follows the open directory's
// drive and moves the list to a drive chosen in it.
//
// Built on Qt's file-system model, which reads folders in the background:
// the tree fills in as they arrive. The label, file list and drive box are
// owned by their parent widgets and must outlive the link (or be unlinked).
#pragma once

#include <QLabel>
#include <QPointer>
#include <QString>
#include <QTreeView>

#include "components/qt/LedraFileListBox.h"

class QFileSystemModel;

namespace ledra {

class TLedraDriveComboBox;

class TLedraDirectoryListBox : public QTreeView {
  Q_OBJECT

 public:
  // Opens the process's current directory.
  explicit TLedraDirectoryListBox(QWidget* parent = nullptr);

  // The open directory, an absolute path without a trailing separator (but
  // for a drive's root).
  QString Directory() const { return directory_; }
  // Opens a directory: false, with nothing changed, when it does not exist.
  bool SetDirectory(const QString& path);
  // The drive (file-system root) of the open directory.
  QString Drive() const;
  // The selected folder (the open directory when nothing else is selected).
  QString SelectedDirectory() const;
  // Opens the selected folder.
  void OpenSelected();
  // Opens the parent of the open directory; false at a drive's root.
  bool OpenParent();

  void SetDirLabel(QLabel* label);
  void SetFileList(TLedraFileListBox* fileList);
  void SetDriveCombo(TLedraDriveComboBox* driveCombo);
  QLabel* DirLabel() const { return dirLabel_; }
  TLedraFileListBox* FileList() const { return fileList_; }

  QFileSystemModel* FileSystemModel() const { return model_; }

 signals:
  void DirectoryChanged(const QString& path);

 protected:
  void keyPressEvent(QKeyEvent* event) override;

 private:
  // Shows the open directory in the label, the file list and the drive box.
  void UpdateLinks();

  QFileSystemModel* model_ = nullptr;
  QString directory_;
  QString rootPath_;
  QPointer<QLabel> dirLabel_;
  QPointer<TLedraFileListBox> fileList_;
  QPointer<TLedraDriveComboBox> driveCombo_;
};

}  // namespace ledra
