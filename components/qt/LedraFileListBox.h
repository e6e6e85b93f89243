// The file list of the folder controls: the files of one directory whose
// names match a mask ("*.dat" in the folder dialog), matched without regard
// to case as Windows file names are. A directory list sets its directory.
//
// Built on Qt's file-system model, which reads the directory in the
// background: the list fills in as the names arrive.
#pragma once

#include <QListView>
#include <QString>
#include <QStringList>

class QFileSystemModel;

namespace ledra {

class TLedraFileListBox : public QListView {
  Q_OBJECT

 public:
  explicit TLedraFileListBox(QWidget* parent = nullptr);

  QString Directory() const { return directory_; }
  void SetDirectory(const QString& path);
  // One pattern or several separated by ";" ("*.dat", "*.dat;*.idx").
  QString Mask() const { return mask_; }
  void SetMask(const QString& mask);

  // The names the list shows now, in its order.
  QStringList FileNames() const;
  QFileSystemModel* FileSystemModel() const { return model_; }

 private:
  void NewModel();

  QFileSystemModel* model_ = nullptr;
  QString directory_;
  QString mask_;
};

}  // namespace ledra
