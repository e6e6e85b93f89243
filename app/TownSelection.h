// The town selection dialog: shown by the update run for an address whose
// postcode has several new town names that the province does not settle. It
// shows the record before and after the change and one button per name; the
// last name pressed, or the first name when none is pressed, is left in the
// run's `ChosenTown` however the dialog closes.
#pragma once

#include <QDialog>

#include <array>
#include <string>

#include "app/AddressRecord.h"
#include "app/TownChoice.h"

class QLabel;
class QLineEdit;
class QPushButton;

namespace ostrevo {

class TFmTownSelection : public QDialog {
  Q_OBJECT

 public:
  // Reads and writes the run's town strings in `choice`; reads the current
  // address from `record`. Both outlive the dialog.
  TFmTownSelection(QWidget* owner, TTownChoice& choice, const TAddressRecord& record);

  // Shows or hides ImgTick1 .. ImgTick4 in that order.
  void SetTicks(bool tick1, bool tick2, bool tick3, bool tick4);

  QLabel* LblMultiple;
  QPushButton* BtnTownName1;
  QPushButton* BtnTownName2;
  QPushButton* BtntownName3;
  QPushButton* BtnTownName4;
  std::array<QLabel*, 4> ImgTick{};
  QLineEdit* EdShortNameOld;
  QLineEdit* EdLongNameOld;
  QLineEdit* EdAddress1Old;
  QLineEdit* EdAddress2Old;
  QLineEdit* EdAddress3Old;
  QLineEdit* EdTownOld;
  QLineEdit* EdProvinceOld;
  QLineEdit* EdPostcodeOld;
  QLineEdit* EdShortNameNew;
  QLineEdit* EdLongNameNew;
  QLineEdit* EdAddress1New;
  QLineEdit* EdAddress2New;
  QLineEdit* EdAddress3New;
  QLineEdit* EdTownNew;
  QLineEdit* EdProvinceNew;
  QLineEdit* EdPostcodeNew;
  QPushButton* BtnOk;

 protected:
  void showEvent(QShowEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;

 private slots:
  void BtnTownName1Click();
  void BtnTownName2Click();
  void BtntownName3Click();
  void BtnTownName4Click();
  void BtnOkClick();

 private:
  void FormShow();
  void ChooseName(int index);  // 1 to 4
  const std::string& NewTown(int index) const;

  TTownChoice& choice_;
  const TAddressRecord& record_;
};

}  // namespace ostrevo
