#include "app/Location.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include <exception>

#include "app/Banner.h"
#include "app/Main.h"
#include "app/Messages.h"
#include "app/Text.h"
#include "components/qt/LedraDirectoryListBox.h"
#include "components/qt/LedraDriveComboBox.h"
#include "components/qt/LedraFileListBox.h"
#include "platform/File.h"

namespace ostrevo {

TFmLocation::TFmLocation(TFmMain& owner) : QDialog(&owner), main_(owner) {
  setObjectName(QStringLiteral("FmLocation"));
  setWindowTitle(QStringLiteral("Folder Location"));
  // Only a close box in the title bar.
  setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                 Qt::WindowCloseButtonHint);

  auto* layout = new QVBoxLayout(this);
  layout->addWidget(MakeBanner(this, QStringLiteral("Folder Location")));
  layout->addWidget(new QLabel(QStringLiteral("Address Book Folder Location"), this));

  LedraDrives = new ledra::TLedraDriveComboBox(this);
  LedraDrives->setObjectName(QStringLiteral("LedraDrives"));
  LblFolder = new QLabel(this);
  LblFolder->setObjectName(QStringLiteral("LblFolder"));
  LedraFolders = new ledra::TLedraDirectoryListBox(this);
  LedraFolders->setObjectName(QStringLiteral("LedraFolders"));
  LedraFiles = new ledra::TLedraFileListBox(this);
  LedraFiles->setObjectName(QStringLiteral("LedraFiles"));
  LedraFiles->setEnabled(false);
  LedraFiles->SetMask(QStringLiteral("*.dat"));
  LedraDrives->SetDirList(LedraFolders);
  LedraFolders->SetDriveCombo(LedraDrives);
  LedraFolders->SetDirLabel(LblFolder);
  LedraFolders->SetFileList(LedraFiles);

  layout->addWidget(LedraDrives);
  layout->addWidget(LblFolder);
  auto* lists = new QHBoxLayout();
  lists->addWidget(LedraFolders, 3);
  lists->addWidget(LedraFiles, 2);
  layout->addLayout(lists, 1);

  auto* buttons = new QHBoxLayout();
  buttons->addStretch(1);
  BtnOk = new QPushButton(QStringLiteral("&Ok"), this);
  BtnOk->setObjectName(QStringLiteral("BtnOk"));
  BtnOk->setDefault(true);
  BtnCancel = new QPushButton(QStringLiteral("&Cancel"), this);
  BtnCancel->setObjectName(QStringLiteral("BtnCancel"));
  BtnCancel->setAutoDefault(false);
  buttons->addWidget(BtnOk);
  buttons->addWidget(BtnCancel);
  layout->addLayout(buttons);
  connect(BtnOk, &QPushButton::clicked, this, &TFmLocation::BtnOkClick);
  connect(BtnCancel, &QPushButton::clicked, this, &TFmLocation::BtnCancelClick);
  resize(520, 420);
}

void TFmLocation::showEvent(QShowEvent* event) {
  QDialog::showEvent(event);
  CenterOnScreen(this);
}

void TFmLocation::ReopenAddressBook(const std::string& directory) {
  main_.TblSmeAdt.Close();
  main_.TblSmeAdt.SetDatabaseName(directory);
  main_.TblSmeAdt.Open();
}

void TFmLocation::BtnOkClick() {
  Guarded(this, [this] {
    const QString previousPath = main_.EdtPath->text();
    try {
      // The directory list shows the selected directory's path in LblFolder.
      const std::string selected = ToCp1252(LedraFolders->Directory());
      const std::string file = ledra::platform::IncludeTrailingSeparator(selected) + "SMEADT01.DAT";
      if (ledra::platform::RegularFileExists(ledra::platform::ResolveFileName(file))) {
        ReopenAddressBook(selected);
        main_.EdtPath->setText(FromCp1252(selected));
      } else {
        MessageDlg(this,
                   "Invalid Path - Address Book not found.\r\nReverting to previous location.",
                   TMsgDlgType::Warning, TMsgButtons::Ok);
        main_.EdtPath->setText(previousPath);
        ReopenAddressBook(ToCp1252(previousPath));
      }
    } catch (const std::exception&) {
      ReopenAddressBook(ToCp1252(previousPath));
    }
  });
  accept();
}

void TFmLocation::BtnCancelClick() {
  reject();
}

}  // namespace ostrevo
