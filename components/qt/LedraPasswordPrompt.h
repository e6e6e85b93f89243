// The password prompt of the Qt side: shows TLedraPasswordDialog for the
// session whose table asks for a password.
//
// InstallPasswordDialog puts one program-wide prompt in place (the component
// layer then uses it for every session without an OnPassword event);
// RemovePasswordDialog takes it out again.
#pragma once

#include "components/PasswordPrompt.h"

namespace ledra {

class TLedraPasswordPrompt : public TPasswordPrompt {
 public:
  // Shows the dialog modally; true when it closed with "&OK" (the engine
  // then tries the session's passwords again).
  bool Ask(TLedraSession& session) override;
};

void InstallPasswordDialog();
void RemovePasswordDialog();

}  // namespace ledra
