// Renders the application's windows to PNG files for the documentation, on
// whatever display Qt is given (scripts/demo runs it in a virtual one):
//
//   ostrevo_screenshots [--main FILE] [--after-run] [--selection FILE]
//
// --main: the main window (after a full update run with --after-run);
// --selection: the town selection dialog the first time the run shows it.
// The run is confirmed and every town selection takes the name shown first,
// except the captured one, where the second name is chosen so the tick and
// the highlighted town show the choice. Started like the program, from the
// directory holding the new-town table, with OSTREVO_REGISTRY naming the data.
#include <QPushButton>
#include <QTimer>

#include <cstdio>
#include <cstring>
#include <string>

#include "app/Main.h"
#include "app/Messages.h"
#include "app/TownSelection.h"
#include "components/LedraSession.h"

namespace {

bool Save(QWidget& widget, const QString& file) {
  QCoreApplication::processEvents();
  if (widget.grab().save(file, "PNG")) return true;
  std::fprintf(stderr, "ostrevo_screenshots: cannot write %s\n", qPrintable(file));
  return false;
}

}  // namespace

int main(int argc, char** argv) {
  ostrevo::TOstrevoApplication application(argc, argv);
  QString mainFile;
  QString selectionFile;
  bool afterRun = false;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--main") == 0 && i + 1 < argc) {
      mainFile = QString::fromLocal8Bit(argv[++i]);
    } else if (std::strcmp(argv[i], "--selection") == 0 && i + 1 < argc) {
      selectionFile = QString::fromLocal8Bit(argv[++i]);
    } else if (std::strcmp(argv[i], "--after-run") == 0) {
      afterRun = true;
    } else {
      std::fprintf(stderr,
                   "usage: ostrevo_screenshots [--main FILE] [--after-run] "
                   "[--selection FILE]\n");
      return 2;
    }
  }

  // Every box is answered and every problem is reported: a picture of a
  // failed start would be worse than none.
  int failures = 0;
  ostrevo::SetMessageHook([&](const ostrevo::TShownMessage& message) {
    if (message.Buttons == ostrevo::TMsgButtons::YesNo) return ostrevo::TModalResult::Yes;
    std::fprintf(stderr, "ostrevo_screenshots: %s: %s\n", message.Caption.c_str(),
                 message.Text.c_str());
    ++failures;
    return ostrevo::TModalResult::Ok;
  });

  ledra::Session();
  int result = 0;
  {
    ostrevo::TFmMain main;
    main.show();
    bool selectionSaved = selectionFile.isEmpty();
    QTimer answer;
    QObject::connect(&answer, &QTimer::timeout, [&] {
      ostrevo::TFmTownSelection* dialog = main.FmTownSelection;
      if (dialog == nullptr || !dialog->isVisible()) return;
      if (!selectionSaved) {
        selectionSaved = true;
        if (dialog->BtnTownName2->isVisible()) dialog->BtnTownName2->click();
        if (!Save(*dialog, selectionFile)) ++failures;
      }
      dialog->BtnOk->click();
    });
    answer.start(5);
    QTimer::singleShot(300, [&] {
      if (failures == 0 && (afterRun || !selectionSaved)) main.BtnUpdateClick();
      if (!selectionSaved) {
        std::fprintf(stderr, "ostrevo_screenshots: the run asked for no town selection\n");
        ++failures;
      }
      if (failures == 0 && !mainFile.isEmpty() && !Save(main, mainFile)) ++failures;
      main.close();
    });
    result = application.exec();
  }
  return failures == 0 ? result : 1;
}
