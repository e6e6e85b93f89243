#include "components/qt/LedraPasswordPrompt.h"

#include <QDialog>
#include <memory>

#include "components/qt/LedraPasswordDialog.h"

namespace ledra {

bool TLedraPasswordPrompt::Ask(TLedraSession& session) {
  // Owned here for the time of the question only: freed however it closes.
  auto dialog = std::make_unique<TLedraPasswordDialog>(session);
  return dialog->exec() == QDialog::Accepted;
}

namespace {
TLedraPasswordPrompt& ProgramPrompt() {
  static TLedraPasswordPrompt prompt;
  return prompt;
}
}  // namespace

void InstallPasswordDialog() {
  SetPasswordPrompt(&ProgramPrompt());
}

void RemovePasswordDialog() {
  if (PasswordPrompt() == &ProgramPrompt()) SetPasswordPrompt(nullptr);
}

}  // namespace ledra
