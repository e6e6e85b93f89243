// The dialog that asks the user for table passwords.
//
// When a cursor opens an enciphered table and none of the session's
// passwords fits, the session is asked for more; with no OnPassword event
// assigned, the prompt installed by InstallPasswordDialog shows this dialog.
// Each "&Add" puts the typed password into the session's list at once, so
// passwords added before a Cancel stay there for later opens; "&OK" adds the
// text in the box (nothing when it is empty) and asks the engine to try the
// list again.
//
// The dialog serves one session, which outlives it; it is modal and lives
// only while the engine waits for an answer.
#pragma once

#include <QDialog>

class QGroupBox;
class QLineEdit;
class QPushButton;

namespace ledra {

class TLedraSession;

class TLedraPasswordDialog : public QDialog {
  Q_OBJECT

 public:
  explicit TLedraPasswordDialog(TLedraSession& session, QWidget* parent = nullptr);

  TLedraSession& Session() const { return session_; }
  // A password was added through this dialog.
  bool Added() const { return added_; }

  QLineEdit* Edit() const { return edit_; }
  QPushButton* AddButton() const { return addButton_; }
  QPushButton* RemoveButton() const { return removeButton_; }
  QPushButton* RemoveAllButton() const { return removeAllButton_; }
  QPushButton* OKButton() const { return okButton_; }
  QPushButton* CancelButton() const { return cancelButton_; }

 protected:
  void showEvent(QShowEvent* event) override;

 private:
  void EditChange();
  void AddButtonClick();
  void RemoveButtonClick();
  void RemoveAllButtonClick();
  void OKButtonClick();
  // The edit box's text as the session keeps it (code page 1252).
  std::string EditText() const;
  void CenterOnScreen();

  TLedraSession& session_;
  bool added_ = false;
  QGroupBox* group_ = nullptr;
  QLineEdit* edit_ = nullptr;
  QPushButton* addButton_ = nullptr;
  QPushButton* removeButton_ = nullptr;
  QPushButton* removeAllButton_ = nullptr;
  QPushButton* okButton_ = nullptr;
  QPushButton* cancelButton_ = nullptr;
};

}  // namespace ledra
