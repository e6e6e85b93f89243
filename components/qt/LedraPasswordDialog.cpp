#include "components/qt/LedraPasswordDialog.h"

#include <QGroupBox>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLineEdit>
#include <QPushButton>
#include <QScreen>
#include <QVBoxLayout>
#include <QValidator>
#include <string>

#include "components/LedraSession.h"
#include "platform/Cp1252.h"

namespace ledra {

namespace {

// Passwords are compared byte for byte with the ones stored in the tables,
// which are code page 1252: a character the code page cannot hold could never
// match, so the box does not take it.
class TCp1252Validator : public QValidator {
 public:
  using QValidator::QValidator;
  State validate(QString& input, int&) const override {
    return platform::Utf8ToCp1252(input.toStdString()) ? Acceptable : Invalid;
  }
};

// The session keeps passwords of at most this many characters.
constexpr int kMaxPasswordLength = 255;

}  // namespace

TLedraPasswordDialog::TLedraPasswordDialog(TLedraSession& session, QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::WindowTitleHint |
                          Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint),
      session_(session) {
  setObjectName("LedraPasswordDialog");
  setWindowTitle("Enter password");
  setModal(true);

  group_ = new QGroupBox("Password", this);
  edit_ = new QLineEdit(group_);
  edit_->setObjectName("Edit");
  edit_->setEchoMode(QLineEdit::Password);
  edit_->setMaxLength(kMaxPasswordLength);
  edit_->setValidator(new TCp1252Validator(edit_));
  // "*" for every character, as the prompt has always shown them.
  edit_->setStyleSheet("lineedit-password-character: 42");
  auto* groupLayout = new QVBoxLayout(group_);
  groupLayout->addWidget(edit_);

  addButton_ = new QPushButton("&Add", this);
  addButton_->setObjectName("AddButton");
  removeButton_ = new QPushButton("&Remove", this);
  removeButton_->setObjectName("RemoveButton");
  removeAllButton_ = new QPushButton("Re&move all", this);
  removeAllButton_->setObjectName("RemoveAllButton");
  okButton_ = new QPushButton("&OK", this);
  okButton_->setObjectName("OKButton");
  cancelButton_ = new QPushButton("Cancel", this);
  cancelButton_->setObjectName("CancelButton");
  for (QPushButton* button : {addButton_, removeButton_, removeAllButton_, cancelButton_}) {
    button->setAutoDefault(false);
  }
  okButton_->setDefault(true);

  auto* listButtons = new QHBoxLayout;
  listButtons->addWidget(addButton_);
  listButtons->addWidget(removeButton_);
  listButtons->addWidget(removeAllButton_);
  auto* closeButtons = new QHBoxLayout;
  closeButtons->addStretch(1);
  closeButtons->addWidget(okButton_);
  closeButtons->addWidget(cancelButton_);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(group_);
  layout->addLayout(listButtons);
  layout->addLayout(closeButtons);
  // A fixed border: the dialog keeps the size its contents ask for.
  layout->setSizeConstraint(QLayout::SetFixedSize);

  connect(edit_, &QLineEdit::textChanged, this, [this] { EditChange(); });
  connect(addButton_, &QPushButton::clicked, this, [this] { AddButtonClick(); });
  connect(removeButton_, &QPushButton::clicked, this, [this] { RemoveButtonClick(); });
  connect(removeAllButton_, &QPushButton::clicked, this, [this] { RemoveAllButtonClick(); });
  connect(okButton_, &QPushButton::clicked, this, [this] { OKButtonClick(); });
  // Escape closes through reject() as well.
  connect(cancelButton_, &QPushButton::clicked, this, &QDialog::reject);

  EditChange();
  edit_->setFocus();
}

std::string TLedraPasswordDialog::EditText() const {
  // The validator lets only code page 1252 text into the box.
  return platform::Utf8ToCp1252(edit_->text().toStdString()).value_or(std::string());
}

void TLedraPasswordDialog::EditChange() {
  const bool hasText = !edit_->text().isEmpty();
  addButton_->setEnabled(hasText);
  removeButton_->setEnabled(hasText);
  okButton_->setEnabled(hasText || added_);
}

void TLedraPasswordDialog::AddButtonClick() {
  session_.AddPassword(EditText());
  added_ = true;
  edit_->clear();
  EditChange();
  edit_->setFocus();
}

void TLedraPasswordDialog::RemoveButtonClick() {
  session_.RemovePassword(EditText());
  edit_->clear();
  edit_->setFocus();
}

void TLedraPasswordDialog::RemoveAllButtonClick() {
  session_.RemoveAllPasswords();
  edit_->setFocus();
}

void TLedraPasswordDialog::OKButtonClick() {
  // An empty box adds nothing: after an earlier Add this simply asks the
  // engine to try the list again.
  const std::string text = EditText();
  if (!text.empty()) session_.AddPassword(text);
  accept();
}

void TLedraPasswordDialog::showEvent(QShowEvent* event) {
  QDialog::showEvent(event);
  CenterOnScreen();
}

void TLedraPasswordDialog::CenterOnScreen() {
  QScreen* screen = this->screen() != nullptr ? this->screen() : QGuiApplication::primaryScreen();
  if (screen == nullptr) return;
  QRect frame = frameGeometry();
  frame.moveCenter(screen->availableGeometry().center());
  move(frame.topLeft());
}

}  // namespace ledra
