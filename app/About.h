// The About box: the program's name, purpose and version.
#pragma once

#include <QDialog>

class QPushButton;

namespace ostrevo {

class TFmAbout : public QDialog {
  Q_OBJECT

 public:
  explicit TFmAbout(QWidget* owner);

  QPushButton* BtnOk;

 private slots:
  void BtnOkClick();
};

}  // namespace ostrevo
