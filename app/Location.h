// The folder location dialog: points the address book at another directory.
// The main window's button for it is hidden, so in normal use it is not
// shown; it is created at start-up all the same.
#pragma once

#include <QDialog>

class QLabel;
class QPushButton;

namespace ledra {
class TLedraDirectoryListBox;
class TLedraDriveComboBox;
class TLedraFileListBox;
}  // namespace ledra

namespace ostrevo {

class TFmMain;

class TFmLocation : public QDialog {
  Q_OBJECT

 public:
  explicit TFmLocation(TFmMain& owner);

  ledra::TLedraDriveComboBox* LedraDrives;
  ledra::TLedraDirectoryListBox* LedraFolders;
  ledra::TLedraFileListBox* LedraFiles;
  QLabel* LblFolder;
  QPushButton* BtnOk;
  QPushButton* BtnCancel;

 public slots:
  // Reopens the address book in the selected directory when it holds the
  // address book; otherwise warns and reopens it where it was.
  void BtnOkClick();
  void BtnCancelClick();

 protected:
  void showEvent(QShowEvent* event) override;

 private:
  void ReopenAddressBook(const std::string& directory);

  TFmMain& main_;
};

}  // namespace ostrevo
