#include "app/Main.h"

#include <QApplication>
#include <QCloseEvent>
#include <QFrame>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTableView>
#include <QVBoxLayout>

#include <exception>
#include <memory>

#include "app/About.h"
#include "app/AddressBook.h"
#include "app/Banner.h"
#include "app/DataFolder.h"
#include "app/Location.h"
#include "app/Messages.h"
#include "app/OSData.h"
#include "app/Pictures.h"
#include "app/RunRecord.h"
#include "app/Text.h"
#include "app/TownSelection.h"
#include "components/LedraField.h"
#include "components/qt/LedraTableModel.h"
#include "platform/Registry.h"

namespace ostrevo {

namespace {

constexpr const char* kProblemPrefix = "Problem identified:\r\n\r\n";

QLabel* CountPanel(QWidget* parent, const char* name) {
  auto* panel = new QLabel(parent);
  panel->setObjectName(QString::fromLatin1(name));
  panel->setFrameShape(QFrame::Panel);
  panel->setFrameShadow(QFrame::Sunken);
  panel->setAlignment(Qt::AlignCenter);
  panel->setMinimumWidth(90);
  return panel;
}

}  // namespace

TFmMain::TFmMain() : TblSmeAdt(nullptr), TblNewChinaTowns(nullptr) {
  setObjectName(QStringLiteral("FmMain"));
  setWindowTitle(QStringLiteral("Ostrevo Version 1.1"));
  resize(975, 568);
  CenterOnScreen(this);

  SetUpAddressBook(TblSmeAdt);
  SetUpNewTownTable(TblNewChinaTowns);

  auto* layout = new QVBoxLayout(this);
  layout->addWidget(MakeBanner(this, QStringLiteral("Ostrevo"), GlobePicture(56)));

  auto* middle = new QGridLayout();
  layout->addLayout(middle, 1);
  auto* gridLabel = new QLabel(QStringLiteral("Address Book Records"), this);
  gridLabel->setObjectName(QStringLiteral("LblRecords"));
  middle->addWidget(gridLabel, 0, 1);

  auto* buttons = new QVBoxLayout();
  BtnUpdate = new QPushButton(QStringLiteral("&Update"), this);
  BtnUpdate->setObjectName(QStringLiteral("BtnUpdate"));
  BtnClose = new QPushButton(QStringLiteral("&Close"), this);
  BtnClose->setObjectName(QStringLiteral("BtnClose"));
  BtnAbout = new QPushButton(QStringLiteral("&About"), this);
  BtnAbout->setObjectName(QStringLiteral("BtnAbout"));
  BtnFolder = new QPushButton(QStringLiteral("..."), this);
  BtnFolder->setObjectName(QStringLiteral("BtnFolder"));
  BtnFolder->setVisible(false);
  EdtPath = new QLineEdit(this);
  EdtPath->setObjectName(QStringLiteral("EdtPath"));
  EdtPath->setVisible(false);
  EdtPath->setEnabled(false);
  for (QPushButton* button : {BtnUpdate, BtnClose, BtnAbout, BtnFolder}) {
    button->setMinimumWidth(90);
    buttons->addWidget(button);
  }
  buttons->addWidget(EdtPath);
  buttons->addStretch(1);
  middle->addLayout(buttons, 1, 0);

  DbgAdt = new QTableView(this);
  DbgAdt->setObjectName(QStringLiteral("DbgAdt"));
  DsTblAdt = new ledra::TLedraTableModel(TblSmeAdt, this);
  DsTblAdt->setObjectName(QStringLiteral("DsTblAdt"));
  DbgAdt->setModel(DsTblAdt);
  DbgAdt->setEditTriggers(QAbstractItemView::NoEditTriggers);
  DbgAdt->setSelectionBehavior(QAbstractItemView::SelectRows);
  DbgAdt->setSelectionMode(QAbstractItemView::SingleSelection);
  middle->addWidget(DbgAdt, 1, 1);
  middle->setColumnStretch(1, 1);
  middle->setRowStretch(1, 1);
  connect(DsTblAdt, &ledra::TLedraTableModel::ReadFailed, this,
          [this](const QString& message) { ShowException(this, ToCp1252(message)); });

  auto* counts = new QGridLayout();
  layout->addLayout(counts);
  PnlMess = new QLabel(this);
  PnlMess->setObjectName(QStringLiteral("PnlMess"));
  QFont bold = PnlMess->font();
  bold.setBold(true);
  PnlMess->setFont(bold);
  PnlMess->setStyleSheet(QStringLiteral("color: #b35900;"));
  counts->addWidget(PnlMess, 0, 0, 1, 5);
  const char* captions[] = {"Total Address Records", "Total Updated", "Auto Updated",
                            "User Updated", "Unchanged"};
  QLabel** panels[] = {&PnlTotalAddressRecords, &PnlTotalUpdated, &PnlTotalUpdatedAuto,
                       &PnlTotalUpdatedUser, &PnlTotalUnchanged};
  const char* names[] = {"PnlTotalAddressRecords", "PnlTotalUpdated", "PnlTotalUpdatedAuto",
                         "PnlTotalUpdatedUser", "PnlTotalUnchanged"};
  for (int i = 0; i < 5; ++i) {
    auto* caption = new QLabel(QString::fromLatin1(captions[i]), this);
    caption->setAlignment(Qt::AlignCenter);
    counts->addWidget(caption, 1, i);
    *panels[i] = CountPanel(this, names[i]);
    counts->addWidget(*panels[i], 2, i);
  }

  auto* bottom = new QHBoxLayout();
  layout->addLayout(bottom);
  Gauge1 = new QProgressBar(this);
  Gauge1->setObjectName(QStringLiteral("Gauge1"));
  Gauge1->setVisible(false);
  bottom->addWidget(Gauge1, 1);
  bottom->addStretch(0);
  auto* parcel = new QLabel(this);
  parcel->setObjectName(QStringLiteral("ImgParcel"));
  parcel->setPixmap(ParcelPicture(32));
  bottom->addWidget(parcel, 0, Qt::AlignRight);

  connect(BtnUpdate, &QPushButton::clicked, this, &TFmMain::BtnUpdateClick);
  connect(BtnClose, &QPushButton::clicked, this, &TFmMain::BtnCloseClick);
  connect(BtnAbout, &QPushButton::clicked, this, &TFmMain::BtnAboutClick);
  connect(BtnFolder, &QPushButton::clicked, this, &TFmMain::BtnFolderClick);

  FormCreate();
}

TFmMain::~TFmMain() {
  FormClose();
  // The grid's model follows TblSmeAdt and goes before it.
  DbgAdt->setModel(nullptr);
  delete DsTblAdt;
  DsTblAdt = nullptr;
}

void TFmMain::FormCreate() {
  FmLocation = new TFmLocation(*this);
  FmTownSelection = new TFmTownSelection(this, choice_, *this);
  tablesReady_ = false;

  TDataFolder found;
  {
    ledra::platform::TRegistry registry;
    TOSData osData;
    found = FindDataFolder(registry, osData);
  }
  EdtPath->setText(FromCp1252(found.Path));
  tablesReady_ = found.TablesReady;
  if (!tablesReady_) {
    BtnUpdate->setEnabled(false);
    show();
    ShowProblem(kProblemPrefix + found.Problem, TMsgDlgType::Error);
  } else {
    OpenTables();
  }
  QCoreApplication::processEvents();
}

void TFmMain::ShowProblem(const std::string& text, TMsgDlgType type) {
  MessageDlg(this, text, type, TMsgButtons::Ok);
}

void TFmMain::OpenTables() {
  TblSmeAdt.SetDatabaseName(ToCp1252(EdtPath->text()));
  try {
    TblSmeAdt.Open();
    ShowRecordCount();
  } catch (const std::exception&) {
    BtnUpdate->setEnabled(false);
    tablesReady_ = false;
    show();
    ShowProblem(std::string(kProblemPrefix) + "Not able to open Address Book table!",
                TMsgDlgType::Error);
  }
  if (!tablesReady_) return;
  try {
    TblNewChinaTowns.Open();
  } catch (const std::exception&) {
    BtnUpdate->setEnabled(false);
    tablesReady_ = false;
    show();
    ShowProblem(std::string(kProblemPrefix) + "Not able to open New Town table!",
                TMsgDlgType::Error);
  }
}

void TFmMain::ShowRecordCount() {
  PnlTotalAddressRecords->setText(QString::number(TblSmeAdt.RecordCount()));
  DsTblAdt->ConfigureView(*DbgAdt);
}

void TFmMain::closeEvent(QCloseEvent* event) {
  Guarded(this, [this] { FormClose(); });
  event->accept();
}

void TFmMain::FormClose() {
  if (closed_) return;
  closed_ = true;
  TblSmeAdt.Close();
  TblNewChinaTowns.Close();
  delete FmLocation;
  FmLocation = nullptr;
  delete FmTownSelection;
  FmTownSelection = nullptr;
}

void TFmMain::BtnUpdateClick() {
  Guarded(this, [this] {
    // The address book is backed up before the run's first change, and every
    // record written is listed beside the backup.
    TRunRecord record(TblSmeAdt);
    TUpdateRun run(TblSmeAdt, TblNewChinaTowns, choice_, *this, *this, *this, &record);
    run.Run();
  });
}

void TFmMain::BtnCloseClick() {
  close();
}

void TFmMain::BtnAboutClick() {
  Guarded(this, [this] {
    std::unique_ptr<TFmAbout> about = std::make_unique<TFmAbout>(this);
    about->exec();
  });
}

void TFmMain::BtnFolderClick() {
  Guarded(this, [this] {
    if (FmLocation != nullptr) FmLocation->exec();
  });
}

std::string TFmMain::FieldText(std::string_view fieldName) const {
  return TblSmeAdt.FieldByName(fieldName).AsString();
}

bool TFmMain::ConfirmUpdate() {
  return MessageDlg(this, "Perform Update ?", TMsgDlgType::Confirmation, TMsgButtons::YesNo) ==
         TModalResult::Yes;
}

void TFmMain::AskTown(TTownChoice&) {
  FmTownSelection->exec();
}

void TFmMain::StartProgress(int32_t maximum) {
  Gauge1->setMinimum(0);
  Gauge1->setValue(0);
  Gauge1->setMaximum(maximum);
  Gauge1->setVisible(true);
}

void TFmMain::StepProgress() {
  Gauge1->setValue(Gauge1->value() + 1);
}

void TFmMain::HideProgress() {
  Gauge1->setVisible(false);
}

void TFmMain::SetStatus(const std::string& text) {
  PnlMess->setText(FromCp1252(text));
}

void TFmMain::ShowCounters(const std::string& totalRecords, const std::string& totalUpdated,
                           const std::string& autoUpdated, const std::string& userUpdated,
                           const std::string& unchanged) {
  PnlTotalAddressRecords->setText(QString::fromStdString(totalRecords));
  PnlTotalUpdated->setText(QString::fromStdString(totalUpdated));
  PnlTotalUpdatedAuto->setText(QString::fromStdString(autoUpdated));
  PnlTotalUpdatedUser->setText(QString::fromStdString(userUpdated));
  PnlTotalUnchanged->setText(QString::fromStdString(unchanged));
  // The run holds the event loop; the panels and the bar repaint at once.
  for (QWidget* widget :
       {static_cast<QWidget*>(PnlTotalAddressRecords), static_cast<QWidget*>(PnlTotalUpdated),
        static_cast<QWidget*>(PnlTotalUpdatedAuto), static_cast<QWidget*>(PnlTotalUpdatedUser),
        static_cast<QWidget*>(PnlTotalUnchanged), static_cast<QWidget*>(Gauge1)}) {
    if (widget->isVisible()) widget->repaint();
  }
}

void TFmMain::ProcessMessages() {
  QCoreApplication::processEvents();
}

}  // namespace ostrevo
