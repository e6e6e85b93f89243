// How the layer asks the user for a table password without knowing about
// windows: the Qt side installs a prompt that shows the password dialog.
#pragma once

namespace ledra {

class TLedraSession;

class TPasswordPrompt {
 public:
  virtual ~TPasswordPrompt() = default;
  // Shows the dialog for the session (which adds what the user types to the
  // session's passwords): true when it closed with OK, to try again.
  virtual bool Ask(TLedraSession& session) = 0;
};

// The prompt used when a session has no OnPassword handler; nullptr: none,
// and a protected table is then refused.
void SetPasswordPrompt(TPasswordPrompt* prompt);
TPasswordPrompt* PasswordPrompt();

}  // namespace ledra
