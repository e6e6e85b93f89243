#include "app/TownSelection.h"

#include <QCoreApplication>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include "app/Banner.h"
#include "app/Pictures.h"
#include "app/Text.h"

namespace ostrevo {

namespace {

QLabel* Heading(QWidget* parent, const QString& text) {
  auto* label = new QLabel(text, parent);
  QFont font = label->font();
  font.setBold(true);
  label->setFont(font);
  return label;
}

}  // namespace

TFmTownSelection::TFmTownSelection(QWidget* owner, TTownChoice& choice,
                                   const TAddressRecord& record)
    : QDialog(owner), choice_(choice), record_(record) {
  setObjectName(QStringLiteral("FmTownSelection"));
  setWindowTitle(QStringLiteral("Multiple Town Selection"));
  // No system menu and no close box: the dialog ends through BtnOk.
  setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                 Qt::MSWindowsFixedSizeDialogHint);

  auto* layout = new QVBoxLayout(this);
  layout->addWidget(MakeBanner(this, QStringLiteral("Multiple Town Selection"), TickPicture(40)));

  LblMultiple = new QLabel(this);
  LblMultiple->setObjectName(QStringLiteral("LblMultiple"));
  LblMultiple->setAlignment(Qt::AlignCenter);
  LblMultiple->setWordWrap(true);
  QFont bold = LblMultiple->font();
  bold.setBold(true);
  LblMultiple->setFont(bold);
  layout->addWidget(LblMultiple);

  auto* grid = new QGridLayout();
  grid->setHorizontalSpacing(8);
  layout->addLayout(grid);
  grid->addWidget(Heading(this, QStringLiteral("Original address")), 0, 0, 1, 2);
  grid->addWidget(Heading(this, QStringLiteral("Please select \"new\" Town from list")), 0, 2, 1, 2,
                  Qt::AlignHCenter);
  grid->addWidget(Heading(this, QStringLiteral("Updated Address")), 0, 4, 1, 2);

  auto edit = [&](const char* name) {
    auto* box = new QLineEdit(this);
    box->setObjectName(QString::fromLatin1(name));
    box->setEnabled(false);
    box->setMinimumWidth(200);
    return box;
  };
  const QString captions[] = {QStringLiteral("Short Name"), QStringLiteral("Long Name"),
                              QStringLiteral("Address 1"),  QStringLiteral("Address 2"),
                              QStringLiteral("Address 3"),  QStringLiteral("Town"),
                              QStringLiteral("Province"),   QStringLiteral("Postcode")};
  QLineEdit** oldBoxes[] = {&EdShortNameOld, &EdLongNameOld, &EdAddress1Old, &EdAddress2Old,
                            &EdAddress3Old,  &EdTownOld,     &EdProvinceOld, &EdPostcodeOld};
  QLineEdit** newBoxes[] = {&EdShortNameNew, &EdLongNameNew, &EdAddress1New, &EdAddress2New,
                            &EdAddress3New,  &EdTownNew,     &EdProvinceNew, &EdPostcodeNew};
  const char* oldNames[] = {"EdShortNameOld", "EdLongNameOld", "EdAddress1Old", "EdAddress2Old",
                            "EdAddress3Old",  "EdTownOld",     "EdProvinceOld", "EdPostcodeOld"};
  const char* newNames[] = {"EdShortNameNew", "EdLongNameNew", "EdAddress1New", "EdAddress2New",
                            "EdAddress3New",  "EdTownNew",     "EdProvinceNew", "EdPostcodeNew"};
  for (int row = 0; row < 8; ++row) {
    *oldBoxes[row] = edit(oldNames[row]);
    *newBoxes[row] = edit(newNames[row]);
    grid->addWidget(new QLabel(captions[row], this), row + 1, 0);
    grid->addWidget(*oldBoxes[row], row + 1, 1);
    grid->addWidget(new QLabel(captions[row], this), row + 1, 4);
    grid->addWidget(*newBoxes[row], row + 1, 5);
  }
  EdTownNew->setStyleSheet(
      QStringLiteral("QLineEdit { background: #fff2a8; color: #000000; font-weight: bold; }"));

  QPushButton** buttons[] = {&BtnTownName1, &BtnTownName2, &BtntownName3, &BtnTownName4};
  const char* buttonNames[] = {"BtnTownName1", "BtnTownName2", "BtntownName3", "BtnTownName4"};
  const QPixmap tick = TickPicture(20);
  for (int i = 0; i < 4; ++i) {
    auto* button = new QPushButton(this);
    button->setObjectName(QString::fromLatin1(buttonNames[i]));
    button->setMinimumWidth(220);
    button->setAutoDefault(false);
    *buttons[i] = button;
    grid->addWidget(button, i + 1, 2);
    ImgTick[size_t(i)] = new QLabel(this);
    ImgTick[size_t(i)]->setObjectName(QStringLiteral("ImgTick%1").arg(i + 1));
    ImgTick[size_t(i)]->setPixmap(tick);
    ImgTick[size_t(i)]->setFixedSize(tick.size());
    grid->addWidget(ImgTick[size_t(i)], i + 1, 3);
  }
  connect(BtnTownName1, &QPushButton::clicked, this, &TFmTownSelection::BtnTownName1Click);
  connect(BtnTownName2, &QPushButton::clicked, this, &TFmTownSelection::BtnTownName2Click);
  connect(BtntownName3, &QPushButton::clicked, this, &TFmTownSelection::BtntownName3Click);
  connect(BtnTownName4, &QPushButton::clicked, this, &TFmTownSelection::BtnTownName4Click);

  auto* bottom = new QHBoxLayout();
  bottom->addStretch(1);
  BtnOk = new QPushButton(QStringLiteral("&Ok"), this);
  BtnOk->setObjectName(QStringLiteral("BtnOk"));
  BtnOk->setDefault(true);
  bottom->addWidget(BtnOk);
  layout->addLayout(bottom);
  connect(BtnOk, &QPushButton::clicked, this, &TFmTownSelection::BtnOkClick);

  layout->setSizeConstraint(QLayout::SetFixedSize);
}

const std::string& TFmTownSelection::NewTown(int index) const {
  switch (index) {
    case 1:
      return choice_.NewTown1;
    case 2:
      return choice_.NewTown2;
    case 3:
      return choice_.NewTown3;
    default:
      return choice_.NewTown4;
  }
}

void TFmTownSelection::SetTicks(bool tick1, bool tick2, bool tick3, bool tick4) {
  ImgTick[0]->setVisible(tick1);
  ImgTick[1]->setVisible(tick2);
  ImgTick[2]->setVisible(tick3);
  ImgTick[3]->setVisible(tick4);
}

void TFmTownSelection::showEvent(QShowEvent* event) {
  FormShow();
  QDialog::showEvent(event);
  CenterOnScreen(this);
}

void TFmTownSelection::FormShow() {
  choice_.ChosenTown = choice_.NewTown1;
  BtnTownName1->setText(WithoutAccelerators(FromCp1252(choice_.NewTown1)));
  SetTicks(true, false, false, false);
  QPushButton* others[] = {BtnTownName2, BtntownName3, BtnTownName4};
  for (int i = 2; i <= 4; ++i) {
    QPushButton* button = others[i - 2];
    if (!NewTown(i).empty()) {
      button->setText(WithoutAccelerators(FromCp1252(NewTown(i))));
      button->setVisible(true);
    } else {
      button->setVisible(false);
    }
  }
  BtnTownName1->setVisible(true);

  auto field = [&](const char* name) { return FromCp1252(record_.FieldText(name)); };
  EdShortNameNew->setText(field("NAD_SHORT_NM"));
  EdLongNameNew->setText(field("NAD_NM"));
  EdAddress1New->setText(field("NAD_ADDR_LINE_1_DS"));
  EdAddress2New->setText(field("NAD_ADDR_LINE_2_DS"));
  EdAddress3New->setText(field("NAD_ADDR_LINE_3_DS"));
  EdTownNew->setText(FromCp1252(choice_.ChosenTown));
  EdProvinceNew->setText(field("PRV_NM"));
  EdPostcodeNew->setText(field("NAD_PCODE_CD"));

  EdShortNameOld->setText(field("NAD_SHORT_NM"));
  EdLongNameOld->setText(field("NAD_NM"));
  EdAddress1Old->setText(field("NAD_ADDR_LINE_1_DS"));
  EdAddress2Old->setText(field("NAD_ADDR_LINE_2_DS"));
  EdAddress3Old->setText(field("NAD_ADDR_LINE_3_DS"));
  EdTownOld->setText(FromCp1252(choice_.OldTown));
  EdProvinceOld->setText(field("PRV_NM"));
  EdPostcodeOld->setText(field("NAD_PCODE_CD"));

  LblMultiple->setText(QStringLiteral("Multiple Towns available for Postcode '") +
                       EdPostcodeNew->text() +
                       QStringLiteral("'. Please select desired Town from options shown."));
  BtnOk->setFocus();
}

void TFmTownSelection::ChooseName(int index) {
  choice_.ChosenTown = NewTown(index);
  EdTownNew->setText(FromCp1252(choice_.ChosenTown));
  SetTicks(index == 1, index == 2, index == 3, index == 4);
  QCoreApplication::processEvents();
  BtnOk->setFocus();
}

void TFmTownSelection::BtnTownName1Click() {
  ChooseName(1);
}
void TFmTownSelection::BtnTownName2Click() {
  ChooseName(2);
}
void TFmTownSelection::BtntownName3Click() {
  ChooseName(3);
}
void TFmTownSelection::BtnTownName4Click() {
  ChooseName(4);
}

void TFmTownSelection::BtnOkClick() {
  accept();
}

void TFmTownSelection::keyPressEvent(QKeyEvent* event) {
  // Without a close box the dialog is not cancelled: Escape does nothing.
  if (event->key() == Qt::Key_Escape) {
    event->accept();
    return;
  }
  QDialog::keyPressEvent(event);
}

}  // namespace ostrevo
