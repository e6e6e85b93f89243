// The password dialog: its controls and enabling rules, what each button does
// to the session's passwords, and an enciphered table opened through it.
#include <QApplication>
#include <QGroupBox>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>
#include <QtTest>
#include <deque>
#include <functional>

#include "components/LedraSession.h"
#include "components/LedraTable.h"
#include "components/qt/LedraPasswordDialog.h"
#include "components/qt/LedraPasswordPrompt.h"
#include "engine/errors/EngineError.h"
#include "tests/components/qt/QtTestTables.h"
#include "tests/support/EngineErrors.h"
#include "tests/support/TempDir.h"

using namespace ledra;

namespace {

// Answers the password dialogs the engine shows while a table opens: each
// dialog that comes up gets the next action, which must close it.
class TDialogDriver : public QObject {
 public:
  using TAction = std::function<void(TLedraPasswordDialog&)>;
  explicit TDialogDriver(std::deque<TAction> actions) : actions_(std::move(actions)) {
    connect(&timer_, &QTimer::timeout, this, [this] { Poll(); });
    timer_.start(10);
  }
  int Shown() const { return shown_; }

 private:
  void Poll() {
    auto* dialog = qobject_cast<TLedraPasswordDialog*>(QApplication::activeModalWidget());
    if (dialog == nullptr || !dialog->isVisible()) return;
    ++shown_;
    if (actions_.empty()) {
      dialog->reject();  // more dialogs than the test expected
      return;
    }
    TAction action = std::move(actions_.front());
    actions_.pop_front();
    action(*dialog);
  }
  std::deque<TAction> actions_;
  QTimer timer_;
  int shown_ = 0;
};

void Type(TLedraPasswordDialog& dialog, const QString& text) {
  dialog.Edit()->clear();
  QTest::keyClicks(dialog.Edit(), text);
}

}  // namespace

class LedraPasswordDialogTest : public QObject {
  Q_OBJECT

 private slots:
  void init() { Session().RemoveAllPasswords(); }
  void cleanup() {
    RemovePasswordDialog();
    Session().RemoveAllPasswords();
  }

  void ShowsTheNamedControlsWithTheirCaptions() {
    TLedraPasswordDialog dialog(Session());
    QCOMPARE(dialog.windowTitle(), QString("Enter password"));
    QVERIFY(dialog.findChild<QLineEdit*>("Edit") == dialog.Edit());
    QCOMPARE(dialog.Edit()->echoMode(), QLineEdit::Password);
    auto* group = qobject_cast<QGroupBox*>(dialog.Edit()->parentWidget());
    QVERIFY(group != nullptr);
    QCOMPARE(group->title(), QString("Password"));
    const std::pair<const char*, const char*> buttons[] = {{"AddButton", "&Add"},
                                                           {"RemoveButton", "&Remove"},
                                                           {"RemoveAllButton", "Re&move all"},
                                                           {"OKButton", "&OK"},
                                                           {"CancelButton", "Cancel"}};
    for (const auto& [name, caption] : buttons) {
      auto* button = dialog.findChild<QPushButton*>(name);
      QVERIFY2(button != nullptr, name);
      QCOMPARE(button->text(), QString(caption));
    }
    QVERIFY(dialog.OKButton()->isDefault());
    // A fixed border: the dialog cannot be resized.
    dialog.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dialog));
    QCOMPARE(dialog.minimumSize(), dialog.maximumSize());
    // Centred on the screen.
    const QPoint screenCentre = dialog.screen()->availableGeometry().center();
    QVERIFY((dialog.frameGeometry().center() - screenCentre).manhattanLength() <= 2);
  }

  void EnablesTheButtonsByTheBoxAndByAnEarlierAdd() {
    TLedraPasswordDialog dialog(Session());
    QVERIFY(!dialog.AddButton()->isEnabled());
    QVERIFY(!dialog.RemoveButton()->isEnabled());
    QVERIFY(!dialog.OKButton()->isEnabled());
    QVERIFY(dialog.RemoveAllButton()->isEnabled());
    QVERIFY(dialog.CancelButton()->isEnabled());

    QTest::keyClicks(dialog.Edit(), "abc");
    QVERIFY(dialog.AddButton()->isEnabled());
    QVERIFY(dialog.RemoveButton()->isEnabled());
    QVERIFY(dialog.OKButton()->isEnabled());
    dialog.Edit()->clear();
    QVERIFY(!dialog.AddButton()->isEnabled());
    QVERIFY(!dialog.OKButton()->isEnabled());

    QTest::keyClicks(dialog.Edit(), "abc");
    QTest::mouseClick(dialog.AddButton(), Qt::LeftButton);
    QVERIFY(dialog.Added());
    QVERIFY(dialog.Edit()->text().isEmpty());
    // Empty again, but OK stays on: the list has something new to try.
    QVERIFY(!dialog.AddButton()->isEnabled());
    QVERIFY(!dialog.RemoveButton()->isEnabled());
    QVERIFY(dialog.OKButton()->isEnabled());
  }

  void ButtonsChangeTheSessionsPasswords() {
    TLedraSession& session = Session();
    TLedraPasswordDialog dialog(session);
    for (const char* text : {"Secret", "secret", "Secret"}) {
      Type(dialog, text);
      QTest::mouseClick(dialog.AddButton(), Qt::LeftButton);
    }
    // Exact comparison: two entries differing in case, one copy of a repeat.
    QCOMPARE(session.PasswordCount(), size_t(2));
    QVERIFY(session.HasPassword("Secret"));
    QVERIFY(session.HasPassword("secret"));

    Type(dialog, "Secret");
    QTest::mouseClick(dialog.RemoveButton(), Qt::LeftButton);
    QVERIFY(dialog.Edit()->text().isEmpty());
    QVERIFY(!session.HasPassword("Secret"));
    QVERIFY(session.HasPassword("secret"));

    Type(dialog, "kept in the box");
    QTest::mouseClick(dialog.RemoveAllButton(), Qt::LeftButton);
    QCOMPARE(session.PasswordCount(), size_t(0));
    QCOMPARE(dialog.Edit()->text(), QString("kept in the box"));
  }

  void TextOutsideTheCodePageIsNotTaken() {
    TLedraPasswordDialog dialog(Session());
    dialog.Edit()->insert(QString::fromUtf8("Zü"));
    dialog.Edit()->insert(QString::fromUtf8("\u4e2d"));  // no code page 1252 character
    QCOMPARE(dialog.Edit()->text(), QString::fromUtf8("Zü"));
    QTest::mouseClick(dialog.AddButton(), Qt::LeftButton);
    QVERIFY(Session().HasPassword("Z\xfc"));  // stored as code page 1252
  }

  void ClosesWithOkCancelAndEscape() {
    TLedraSession& session = Session();
    {
      TLedraPasswordDialog dialog(session);
      QTimer::singleShot(0, &dialog, [&dialog] {
        QTest::keyClicks(dialog.Edit(), "typed");
        QTest::mouseClick(dialog.OKButton(), Qt::LeftButton);
      });
      QCOMPARE(dialog.exec(), int(QDialog::Accepted));
      QVERIFY(session.HasPassword("typed"));
    }
    {
      // OK with an empty box after an Add: accepted, the list unchanged.
      TLedraPasswordDialog dialog(session);
      QTimer::singleShot(0, &dialog, [&dialog] {
        QTest::keyClicks(dialog.Edit(), "added");
        QTest::mouseClick(dialog.AddButton(), Qt::LeftButton);
        QTest::mouseClick(dialog.OKButton(), Qt::LeftButton);
      });
      QCOMPARE(dialog.exec(), int(QDialog::Accepted));
      QCOMPARE(session.PasswordCount(), size_t(2));
    }
    {
      // Escape is Cancel; what was added before it stays.
      TLedraPasswordDialog dialog(session);
      QTimer::singleShot(0, &dialog, [&dialog] {
        QTest::keyClicks(dialog.Edit(), "more");
        QTest::mouseClick(dialog.AddButton(), Qt::LeftButton);
        QTest::keyClick(&dialog, Qt::Key_Escape);
      });
      QCOMPARE(dialog.exec(), int(QDialog::Rejected));
      QVERIFY(session.HasPassword("more"));
    }
    {
      // Enter in the box presses OK, the default button.
      TLedraPasswordDialog dialog(session);
      QTimer::singleShot(0, &dialog, [&dialog] {
        QTest::keyClicks(dialog.Edit(), "entered");
        QTest::keyClick(dialog.Edit(), Qt::Key_Return);
      });
      QCOMPARE(dialog.exec(), int(QDialog::Accepted));
      QVERIFY(session.HasPassword("entered"));
    }
  }

  void OpensAnEncipheredTableThroughTheDialog() {
    test::TempDir dir;
    test::CreatePeople(dir.Path().string(), "Vault", 3, "Opal7");
    InstallPasswordDialog();

    TLedraTable table;
    table.SetDatabaseName(dir.Path().string());
    table.SetTableName("Vault");

    // A wrong password added, then Cancel: the open is refused, the added
    // password stays in the session.
    {
      TDialogDriver driver({[](TLedraPasswordDialog& d) {
        Type(d, "wrong");
        QTest::mouseClick(d.AddButton(), Qt::LeftButton);
        QTest::mouseClick(d.CancelButton(), Qt::LeftButton);
      }});
      QCOMPARE(test::ErrorCodeRaisedBy([&] { table.Open(); }),
               TEngineErrorCode(LEDRA_NOTSUFFTABLERIGHTS));
      QCOMPARE(driver.Shown(), 1);
      QVERIFY(!table.Active());
      QVERIFY(Session().HasPassword("wrong"));
    }
    // A wrong answer asks again; the right one then opens the table.
    {
      TDialogDriver driver({[](TLedraPasswordDialog& d) {
                              Type(d, "opal7");  // case matters
                              QTest::mouseClick(d.OKButton(), Qt::LeftButton);
                            },
                            [](TLedraPasswordDialog& d) {
                              Type(d, "Opal7");
                              QTest::mouseClick(d.OKButton(), Qt::LeftButton);
                            }});
      table.Open();
      QCOMPARE(driver.Shown(), 2);
      QVERIFY(table.Active());
      QCOMPARE(table.RecordCount(), 3);
      table.Close();
    }
    // The session now holds the password: no dialog at the next open.
    {
      TDialogDriver driver({});
      table.Open();
      QCOMPARE(driver.Shown(), 0);
      table.Close();
    }
    // Without a prompt (and no OnPassword event) a protected table is refused.
    RemovePasswordDialog();
    Session().RemoveAllPasswords();
    QCOMPARE(test::ErrorCodeRaisedBy([&] { table.Open(); }),
             TEngineErrorCode(LEDRA_NOTSUFFTABLERIGHTS));
  }
};

QTEST_MAIN(LedraPasswordDialogTest)
#include "LedraPasswordDialogTest.moc"
