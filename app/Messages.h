// The application's message boxes and its default error handler.
//
// Boxes are modal and have a type and fixed buttons: captions "Error",
// "Warning", "Confirm"; buttons "OK", "&Yes", "&No". Texts are code page 1252
// and use "\r\n" for line breaks, as the messages are written.
//
// Tests install a hook that answers the boxes instead of showing them.
#pragma once

#include <QApplication>

#include <functional>
#include <string>
#include <string_view>

class QWidget;

namespace ostrevo {

enum class TMsgDlgType { Warning, Error, Information, Confirmation };
enum class TMsgButtons { Ok, YesNo };
enum class TModalResult { None, Ok, Yes, No };

struct TShownMessage {
  std::string Caption;  // as shown in the title bar
  std::string Text;     // code page 1252, "\r\n" kept
  TMsgDlgType Type;
  TMsgButtons Buttons;
};

// Shows a box with the caption of its type.
TModalResult MessageDlg(QWidget* parent, std::string_view text, TMsgDlgType type,
                        TMsgButtons buttons);
// Shows a box with a caption of its own (the default error handler's).
TModalResult MessageBoxWithCaption(QWidget* parent, std::string_view caption, std::string_view text,
                                   TMsgDlgType type, TMsgButtons buttons);

// Answers every box instead of showing it while set; null shows them again.
using TMessageHook = std::function<TModalResult(const TShownMessage&)>;
void SetMessageHook(TMessageHook hook);

// The caption of the default error handler: the application title.
inline constexpr const char* kApplicationTitle = "Ostrevo";

// What the default error handler shows for an exception message: the message
// with a period appended unless it ends in one.
std::string ErrorBoxText(std::string_view message);
// The default error handler: an error box captioned with the application
// title, one "OK" button. The program goes on.
void ShowException(QWidget* parent, std::string_view message);
// Runs `handler`; an exception escaping it goes to the default error handler.
void Guarded(QWidget* parent, const std::function<void()>& handler);

// The application object. The windows run each event handler through
// Guarded; an exception that still escapes into the toolkit is caught here as
// a last resort and goes to the default error handler instead of ending the
// program.
class TOstrevoApplication : public QApplication {
 public:
  TOstrevoApplication(int& argc, char** argv);
  bool notify(QObject* receiver, QEvent* event) override;
};

}  // namespace ostrevo
