// The main window: finds the shipping application's data directory at
// start-up, opens the address book and the new-town table, browses the
// address book in a read-only grid and runs the update.
#pragma once

#include <QWidget>

#include <memory>
#include <string>

#include "app/AddressRecord.h"
#include "app/TownChoice.h"
#include "app/UpdateRun.h"
#include "components/LedraTable.h"

class QLabel;
class QLineEdit;
class QProgressBar;
class QPushButton;
class QTableView;

namespace ledra {
class TLedraTableModel;
}

namespace ostrevo {

enum class TMsgDlgType;
class TFmLocation;
class TFmTownSelection;

class TFmMain : public QWidget,
                private TAddressRecord,
                private TUpdateConfirmation,
                private TTownAsker,
                private TUpdateProgress {
  Q_OBJECT

 public:
  // Runs FormCreate: the window may be shown, with a problem message, before
  // the constructor returns.
  TFmMain();
  ~TFmMain() override;

  // The message box of start-up problems: the text with one "OK" button.
  void ShowProblem(const std::string& text, TMsgDlgType type);

  // Opens the address book from the directory in EdtPath, then the new-town
  // table from the start directory; a failure disables BtnUpdate and says
  // which table could not be opened.
  void OpenTables();

  bool TablesReady() const { return tablesReady_; }
  TTownChoice& Choice() { return choice_; }

  ledra::TLedraTable TblSmeAdt;
  ledra::TLedraTable TblNewChinaTowns;
  ledra::TLedraTableModel* DsTblAdt = nullptr;
  QTableView* DbgAdt;
  QPushButton* BtnUpdate;
  QPushButton* BtnClose;
  QPushButton* BtnAbout;
  QPushButton* BtnFolder;
  QLineEdit* EdtPath;
  QProgressBar* Gauge1;
  QLabel* PnlMess;
  QLabel* PnlTotalAddressRecords;
  QLabel* PnlTotalUpdated;
  QLabel* PnlTotalUpdatedAuto;
  QLabel* PnlTotalUpdatedUser;
  QLabel* PnlTotalUnchanged;
  TFmLocation* FmLocation = nullptr;
  TFmTownSelection* FmTownSelection = nullptr;

 public slots:
  void BtnUpdateClick();
  void BtnCloseClick();
  void BtnAboutClick();
  void BtnFolderClick();

 protected:
  void closeEvent(QCloseEvent* event) override;

 private:
  void FormCreate();
  void FormClose();
  void ShowRecordCount();

  // TAddressRecord: the address book's current record.
  std::string FieldText(std::string_view fieldName) const override;
  // TUpdateConfirmation, TTownAsker, TUpdateProgress: the run's windows.
  bool ConfirmUpdate() override;
  void AskTown(TTownChoice& choice) override;
  void StartProgress(int32_t maximum) override;
  void StepProgress() override;
  void HideProgress() override;
  void SetStatus(const std::string& text) override;
  void ShowCounters(const std::string& totalRecords, const std::string& totalUpdated,
                    const std::string& autoUpdated, const std::string& userUpdated,
                    const std::string& unchanged) override;
  void ProcessMessages() override;

  bool tablesReady_ = false;
  bool closed_ = false;
  TTownChoice choice_;
};

}  // namespace ostrevo
