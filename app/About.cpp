#include "app/About.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

#include "app/Banner.h"
#include "app/Pictures.h"

namespace ostrevo {

TFmAbout::TFmAbout(QWidget* owner) : QDialog(owner) {
  setObjectName(QStringLiteral("FmAbout"));
  setWindowTitle(QStringLiteral("About"));
  setAutoFillBackground(true);
  QPalette palette = this->palette();
  palette.setColor(QPalette::Window, Qt::white);
  setPalette(palette);

  auto* layout = new QVBoxLayout(this);
  layout->addWidget(MakeBanner(this, QStringLiteral("About"), GlobePicture(48)));

  auto* name = new QLabel(QStringLiteral("Ostrevo"), this);
  name->setObjectName(QStringLiteral("LblName"));
  QFont font = name->font();
  font.setPointSizeF(font.pointSizeF() * 1.5);
  font.setBold(true);
  name->setFont(font);
  name->setAlignment(Qt::AlignCenter);
  layout->addWidget(name);

  auto* purpose = new QLabel(
      QStringLiteral("Tool to update Tolvenar Address Book records with new China town name "
                     "formats. Applies changes exclusively to China Country Code records. Can be "
                     "used with most Tolvenar versions. "),
      this);
  purpose->setObjectName(QStringLiteral("LblPurpose"));
  purpose->setWordWrap(true);
  purpose->setAlignment(Qt::AlignCenter);
  purpose->setMinimumWidth(340);
  layout->addWidget(purpose);

  auto* version = new QLabel(QStringLiteral("Version 1.1"), this);
  version->setObjectName(QStringLiteral("LblVersion"));
  version->setAlignment(Qt::AlignCenter);
  layout->addWidget(version);

  auto* buttons = new QHBoxLayout();
  buttons->addStretch(1);
  BtnOk = new QPushButton(QStringLiteral("&Ok"), this);
  BtnOk->setObjectName(QStringLiteral("BtnOk"));
  BtnOk->setDefault(true);
  buttons->addWidget(BtnOk);
  buttons->addStretch(1);
  layout->addLayout(buttons);
  connect(BtnOk, &QPushButton::clicked, this, &TFmAbout::BtnOkClick);

  layout->setSizeConstraint(QLayout::SetFixedSize);
  setWindowFlags(Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint);
}

void TFmAbout::BtnOkClick() {
  accept();
}

}  // namespace ostrevo
