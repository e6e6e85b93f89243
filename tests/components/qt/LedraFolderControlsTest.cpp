// The folder controls linked as the folder dialog links them: the drive box,
// the directory list with its path label, and the file list showing the
// "*.dat" files of the open directory.
#include <QApplication>
#include <QDir>
#include <QFileSystemModel>
#include <QLabel>
#include <QMouseEvent>
#include <QSignalSpy>
#include <QVBoxLayout>
#include <QWidget>
#include <QtTest>
#include <algorithm>
#include <filesystem>

#include "components/qt/LedraDirectoryListBox.h"
#include "components/qt/LedraDriveComboBox.h"
#include "components/qt/LedraFileListBox.h"
#include "tests/support/TempDir.h"

using namespace ledra;

namespace {

QStringList Sorted(QStringList names) {
  std::sort(names.begin(), names.end());
  return names;
}

// The controls of a folder dialog on a window of their own.
struct TFolderWindow {
  QWidget window;
  TLedraDriveComboBox* drives = new TLedraDriveComboBox(&window);
  TLedraDirectoryListBox* folders = new TLedraDirectoryListBox(&window);
  QLabel* label = new QLabel(&window);
  TLedraFileListBox* files = new TLedraFileListBox(&window);

  TFolderWindow() {
    auto* layout = new QVBoxLayout(&window);
    layout->addWidget(drives);
    layout->addWidget(label);
    layout->addWidget(folders);
    layout->addWidget(files);
    files->SetMask("*.dat");
    files->setEnabled(false);
    drives->SetDirList(folders);
    folders->SetDirLabel(label);
    folders->SetFileList(files);
    window.resize(400, 500);
    window.show();
  }
};

QString Native(const std::filesystem::path& path) {
  return QDir::toNativeSeparators(QString::fromStdString(path.string()));
}

// Press, release, double click, release: the order a Windows double click
// arrives in.
void DoubleClick(QWidget* widget, QPoint at) {
  QTest::mouseClick(widget, Qt::LeftButton, {}, at);
  QMouseEvent doubleClick(QEvent::MouseButtonDblClick, at, widget->mapToGlobal(at), Qt::LeftButton,
                          Qt::LeftButton, Qt::NoModifier);
  QApplication::sendEvent(widget, &doubleClick);
  QTest::mouseRelease(widget, Qt::LeftButton, {}, at);
}

}  // namespace

class LedraFolderControlsTest : public QObject {
  Q_OBJECT

 private:
  test::TempDir dir_;
  QString base_;

 private slots:
  void initTestCase() {
    std::filesystem::create_directory(dir_.Path() / "Alpha");
    std::filesystem::create_directory(dir_.Path() / "beta");
    for (const char* name :
         {"SMEADT01.DAT", "other.dat", "notes.txt", "SmeAdt01.IDX", "old.dat.bak"}) {
      dir_.Write(name, "x");
    }
    dir_.Write("Alpha/inner.Dat", "x");
    base_ = QDir::cleanPath(QString::fromStdString(dir_.Path().string()));
  }

  void OpeningADirectoryUpdatesLabelFilesAndDrive() {
    TFolderWindow w;
    QVERIFY(w.folders->SetDirectory(base_));
    QCOMPARE(w.folders->Directory(), base_);
    QCOMPARE(w.label->text(), Native(dir_.Path()));
    // Only the "*.dat" names, whatever their case.
    QTRY_COMPARE(Sorted(w.files->FileNames()), QStringList({"SMEADT01.DAT", "other.dat"}));
    QVERIFY(!w.files->isEnabled());
    QCOMPARE(w.drives->Drive(), TLedraDriveComboBox::RootOf(base_));
    QCOMPARE(w.drives->Drive(), w.folders->Drive());

    // A path that is no directory changes nothing.
    QSignalSpy changed(w.folders, &TLedraDirectoryListBox::DirectoryChanged);
    QVERIFY(!w.folders->SetDirectory(base_ + "/missing"));
    QVERIFY(!w.folders->SetDirectory(base_ + "/notes.txt"));
    QCOMPARE(w.folders->Directory(), base_);
    QCOMPARE(changed.count(), 0);

    // A trailing separator or a "." step name the same directory.
    QVERIFY(w.folders->SetDirectory(base_ + "/Alpha/../"));
    QCOMPARE(w.folders->Directory(), base_);
  }

  void KeyboardAndMouseOpenFolders() {
    TFolderWindow w;
    QVERIFY(w.folders->SetDirectory(base_));
    QFileSystemModel* model = w.folders->FileSystemModel();
    const QModelIndex baseIndex = model->index(base_);
    QTRY_COMPARE(model->rowCount(baseIndex), 2);  // folders arrive in the background
    w.folders->setFocus();

    // Enter opens the selected folder.
    w.folders->setCurrentIndex(model->index(base_ + "/Alpha"));
    QTest::keyClick(w.folders, Qt::Key_Return);
    QCOMPARE(w.folders->Directory(), base_ + "/Alpha");
    QCOMPARE(w.label->text(), Native(dir_.Path() / "Alpha"));
    QTRY_COMPARE(w.files->FileNames(), QStringList({"inner.Dat"}));

    // Backspace opens the parent.
    QTest::keyClick(w.folders, Qt::Key_Backspace);
    QCOMPARE(w.folders->Directory(), base_);
    // Only files: not the folder just left.
    QTRY_COMPARE(Sorted(w.files->FileNames()), QStringList({"SMEADT01.DAT", "other.dat"}));

    // A typed letter selects the folder starting with it; nothing opens
    // until Enter.
    QTRY_COMPARE(model->rowCount(model->index(base_)), 2);
    w.folders->setCurrentIndex(model->index(base_));
    QTest::keyClicks(w.folders, "b");
    QCOMPARE(w.folders->SelectedDirectory(), base_ + "/beta");
    QCOMPARE(w.folders->Directory(), base_);
    QTest::keyClick(w.folders, Qt::Key_Enter);
    QCOMPARE(w.folders->Directory(), base_ + "/beta");
    QTRY_VERIFY(w.files->FileNames().isEmpty());

    // A double click opens the folder under the mouse.
    QVERIFY(w.folders->SetDirectory(base_));
    const QModelIndex alpha = model->index(base_ + "/Alpha");
    w.folders->scrollTo(alpha);
    QTRY_VERIFY(w.folders->viewport()->rect().contains(w.folders->visualRect(alpha).center()));
    DoubleClick(w.folders->viewport(), w.folders->visualRect(alpha).center());
    QCOMPARE(w.folders->Directory(), base_ + "/Alpha");

    // At a drive's root there is no parent to open.
    QVERIFY(w.folders->SetDirectory(w.folders->Drive()));
    QVERIFY(!w.folders->OpenParent());
  }

  void DriveBoxListsTheRootsAndMovesTheList() {
    TFolderWindow w;
    QVERIFY(w.drives->count() >= 1);
    QVERIFY(w.drives->findData(QDir::rootPath()) >= 0);
    QVERIFY(w.folders->SetDirectory(base_));
    // Choosing the drive the list is on leaves the list where it is.
    w.drives->setCurrentIndex(w.drives->findData(w.folders->Drive()));
    emit w.drives->activated(w.drives->currentIndex());
    QCOMPARE(w.folders->Directory(), base_);
    // Unlinking stops the file list from following.
    w.folders->SetFileList(nullptr);
    QVERIFY(w.folders->SetDirectory(base_ + "/Alpha"));
    QCOMPARE(w.files->Directory(), base_);
  }
};

QTEST_MAIN(LedraFolderControlsTest)
#include "LedraFolderControlsTest.moc"
