// The program: the application object titled "Ostrevo", the main window, the
// message loop until the main window closes.
#include <QIcon>

#include "app/Main.h"
#include "app/Messages.h"
#include "app/Pictures.h"
#include "components/LedraSession.h"
#include "components/qt/LedraPasswordPrompt.h"

int main(int argc, char** argv) {
  ostrevo::TOstrevoApplication application(argc, argv);
  application.setWindowIcon(QIcon(ostrevo::GlobePicture(64)));
  // The component layer's default session exists before any window.
  ledra::Session();
  ledra::InstallPasswordDialog();
  int result = 0;
  {
    ostrevo::TFmMain main;
    main.show();
    result = application.exec();
  }
  ledra::RemovePasswordDialog();
  return result;
}
