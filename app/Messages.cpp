#include "app/Messages.h"

#include <QMessageBox>
#include <QPushButton>

#include <exception>
#include <utility>

#include "app/Text.h"

namespace ostrevo {

namespace {

TMessageHook& Hook() {
  static TMessageHook hook;
  return hook;
}

const char* CaptionOf(TMsgDlgType type) {
  switch (type) {
    case TMsgDlgType::Warning:
      return "Warning";
    case TMsgDlgType::Error:
      return "Error";
    case TMsgDlgType::Information:
      return "Information";
    case TMsgDlgType::Confirmation:
      return "Confirm";
  }
  return "";
}

QString Shown(std::string_view text) {
  QString out = FromCp1252(text);
  out.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
  return out;
}

}  // namespace

void SetMessageHook(TMessageHook hook) {
  Hook() = std::move(hook);
}

TModalResult MessageDlg(QWidget* parent, std::string_view text, TMsgDlgType type,
                        TMsgButtons buttons) {
  return MessageBoxWithCaption(parent, CaptionOf(type), text, type, buttons);
}

TModalResult MessageBoxWithCaption(QWidget* parent, std::string_view caption, std::string_view text,
                                   TMsgDlgType type, TMsgButtons buttons) {
  if (Hook()) {
    return Hook()(TShownMessage{std::string(caption), std::string(text), type, buttons});
  }
  QMessageBox box(parent);
  box.setWindowTitle(FromCp1252(caption));
  box.setText(Shown(text));
  switch (type) {
    case TMsgDlgType::Warning:
      box.setIcon(QMessageBox::Warning);
      break;
    case TMsgDlgType::Error:
      box.setIcon(QMessageBox::Critical);
      break;
    case TMsgDlgType::Information:
      box.setIcon(QMessageBox::Information);
      break;
    case TMsgDlgType::Confirmation:
      box.setIcon(QMessageBox::Question);
      break;
  }
  QPushButton* ok = nullptr;
  QPushButton* yes = nullptr;
  QPushButton* no = nullptr;
  if (buttons == TMsgButtons::Ok) {
    ok = box.addButton(QStringLiteral("OK"), QMessageBox::AcceptRole);
    box.setDefaultButton(ok);
    box.setEscapeButton(ok);
  } else {
    yes = box.addButton(QStringLiteral("&Yes"), QMessageBox::YesRole);
    no = box.addButton(QStringLiteral("&No"), QMessageBox::NoRole);
    box.setDefaultButton(yes);
    box.setEscapeButton(no);
  }
  box.exec();
  QAbstractButton* pressed = box.clickedButton();
  if (pressed != nullptr && pressed == ok) return TModalResult::Ok;
  if (pressed != nullptr && pressed == yes) return TModalResult::Yes;
  if (pressed != nullptr && pressed == no) return TModalResult::No;
  return TModalResult::None;
}

std::string ErrorBoxText(std::string_view message) {
  std::string text(message);
  if (text.empty() || text.back() != '.') text += '.';
  return text;
}

void ShowException(QWidget* parent, std::string_view message) {
  MessageBoxWithCaption(parent, kApplicationTitle, ErrorBoxText(message), TMsgDlgType::Error,
                        TMsgButtons::Ok);
}

void Guarded(QWidget* parent, const std::function<void()>& handler) {
  try {
    handler();
  } catch (const std::exception& error) {
    ShowException(parent, error.what());
  } catch (...) {
    ShowException(parent, "Unknown error");
  }
}

TOstrevoApplication::TOstrevoApplication(int& argc, char** argv) : QApplication(argc, argv) {
  setApplicationName(QString::fromLatin1(kApplicationTitle));
}

bool TOstrevoApplication::notify(QObject* receiver, QEvent* event) {
  bool handled = false;
  Guarded(nullptr, [&] { handled = QApplication::notify(receiver, event); });
  return handled;
}

}  // namespace ostrevo
