// The set-up remembered between runs, files dropped on the views, and the recent files.
// Settings go to a temporary folder, never to the user's own file.
#include <QAction>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QLineEdit>
#include <QMenu>
#include <QMimeData>
#include <QPlainTextEdit>
#include <QSettings>
#include <QSlider>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QUrl>
#include <QtTest>

#include "app/MainWindow.h"
#include "app/QtHostInterfaces.h"
#include "chips/FastTransport.h"
#include "dialogs/ProgressWindow.h"
#include "image/Images.h"
#include "link/Port.h"
#include "support/Fakes.h"

using namespace quillet;

namespace {

// The window with the fixture's log and prompts, the window's own views and chip display.
struct Window {
  Window() {
    SetViewSink(&form);
    SetChipDisplay(&form);
  }
  void Select(const char* chip) {
    form.ChipMenuClick(FindChipByName(chip)->id);
    f.ClearRecords();
  }
  MainWindow form;
  test::CoreFixture f;
};

void WriteFile(const QString& path, const QByteArray& bytes) {
  QFile file(path);
  QVERIFY(file.open(QIODevice::WriteOnly));
  file.write(bytes);
}

// A file manager's drag: enter, then drop, on a view's visible area; false if the drag was
// refused on entering.
bool Drop(MainWindow& form, int view, const QList<QUrl>& urls, const QString& text = QString()) {
  QWidget* area = form.View(view)->viewport();
  QMimeData mime;
  if (!urls.isEmpty()) mime.setUrls(urls);
  if (!text.isEmpty()) mime.setText(text);
  QDragEnterEvent enter(QPoint(20, 20), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
  QCoreApplication::sendEvent(area, &enter);
  if (!enter.isAccepted()) return false;
  QDropEvent drop(QPointF(20, 20), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
  QCoreApplication::sendEvent(area, &drop);
  return true;
}

}  // namespace

class SettingsDropTest : public QObject {
  Q_OBJECT

  QTemporaryDir dir;
  QString settingsFile;

 private slots:
  void initTestCase() {
    QVERIFY(dir.isValid());
    QCoreApplication::setOrganizationName("quillet-test");
    QCoreApplication::setApplicationName("quillet");
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, dir.path() + "/config");
    settingsFile = QSettings().fileName();
    QVERIFY(settingsFile.startsWith(dir.path()));
  }

  void settingsWrittenAndReadBack() {
    const QString hex = dir.path() + "/a.hex";
    WriteFile(hex, ":00000001FF\n");
    QtUserPrompt prompt;
    {
      Window w;
      SetUserPrompt(&prompt);
      w.form.RestoreSettings("");
      w.form.portBox->setEditText("/dev/ttyUSB3");
      w.form.delaySlider->setValue(4);
      w.form.memoryPages->setCurrentIndex(1);
      w.Select("ATtiny85");
      w.form.findChild<QAction*>("fastTransfersAction")->setChecked(false);
      prompt.SetOpenPlace({dir.path(), "*.bin"});
      prompt.SetSavePlace({QDir::tempPath(), "*.eep"});
      QVERIFY(w.form.LoadNamedFile(1, hex.toStdString()));
      w.form.close();
    }
    for (const QString& port : {QString(), QString("/dev/ttyACM9")}) {
      Window w;
      QtUserPrompt next;
      SetUserPrompt(&next);
      w.form.RestoreSettings(port);
      QCOMPARE(w.form.portBox->currentText(), port.isEmpty() ? QString("/dev/ttyUSB3") : port);
      QCOMPARE(DelayValue, 4);
      QCOMPARE(w.form.memoryPages->currentIndex(), 1);
      QCOMPARE(w.form.chipNameEdit->text(), QString("ATtiny85"));
      QCOMPARE(PortHandle, -1);  // shown, not connected
      QCOMPARE(next.OpenPlace().folder, dir.path());
      QCOMPARE(next.OpenPlace().filter, QString("*.bin"));
      QCOMPARE(next.SavePlace().filter, QString("*.eep"));
      QCOMPARE(w.form.RecentFileList(1), QStringList{hex});
      QVERIFY(w.form.RecentFileList(2).isEmpty());
      QVERIFY(!w.form.findChild<QAction*>("fastTransfersAction")->isChecked());
      QVERIFY(!FastTransfersEnabled());
    }
    SetFastTransfers(true);
  }

  void settingsWrittenSoonAfterAChange() {
    // A session killed before the window closes keeps what was changed: the file has it
    // shortly after, without a close.
    Window w;
    QtUserPrompt prompt;
    SetUserPrompt(&prompt);
    w.form.RestoreSettings("");
    const int delay = DelayValue == 2 ? 3 : 2;
    w.form.delaySlider->setValue(delay);
    w.form.portBox->setEditText("/dev/ttyUSB7");
    QTRY_COMPARE(QSettings(settingsFile, QSettings::NativeFormat).value("delay").toInt(), delay);
    QCOMPARE(QSettings(settingsFile, QSettings::NativeFormat).value("port").toString(), QString("/dev/ttyUSB7"));
  }

  void badSettingsLeaveTheDefaults() {
    struct Row {
      const char* name;
      QByteArray content;  // empty: the settings file is a folder
      std::vector<std::string> log;  // one line per value ignored
    };
    QByteArray garbage;
    for (int i = 0; i < 4096; ++i) garbage.append(static_cast<char>((i * 151 + 7) & 0xFF));
    const Row rows[] = {
        {"binary garbage", garbage, {}},
        {"values out of range", "[General]\ndelay=99\npage=-1\nchip=NoSuchChip\nport=" + QByteArray(300, 'x') +
                                    "\nopenFilter=*.exe\nrecentProgramFiles=relative.hex\n",
         {"Setting delay ignored: out of range (0 to 5)", "Setting page ignored: out of range (0 to 1)",
          "Setting port ignored: longer than " + std::to_string(kMaxPortName) + " characters",
          "Setting recentProgramFiles ignored: 1 entry not a full path", "Setting chip ignored: no such chip"}},
        {"not a number", "[General]\ndelay=abc\n", {"Setting delay ignored: not a number"}},
        // Guards: a serialized list claiming 2^32 entries, which Qt reserved (137 GB) before
        // reading one, whichever key was read; written back, the line is gone.
        {"a list claiming 4 G entries", "[General]\nport=COM1\ndelay=@Variant(\\0\\0\\0\\t\\0\\xff\\xff\\xff\\xff)\n",
         {"Setting delay ignored: not a number"}},
        {"unreadable", QByteArray(), {}},
    };
    for (const Row& row : rows) {
      QFile::remove(settingsFile);
      QDir(settingsFile).removeRecursively();
      QDir().mkpath(QFileInfo(settingsFile).path());
      if (row.content.isEmpty())
        QDir().mkpath(settingsFile);
      else
        WriteFile(settingsFile, row.content);
      QtUserPrompt prompt;
      Window w;
      SetUserPrompt(&prompt);
      w.form.RestoreSettings("");
      QVERIFY2(w.form.portBox->currentText() == "COM1", row.name);
      QVERIFY2(DelayValue == 1 && w.form.memoryPages->currentIndex() == 0, row.name);
      QVERIFY2(SelectedChip == 0, row.name);
      QCOMPARE(w.f.log.lines, row.log);
      QVERIFY2(prompt.OpenPlace().filter.isEmpty() && w.form.RecentFileList(1).isEmpty(), row.name);
      w.form.close();  // writing back must not fail either
      if (row.content.contains("@Variant")) {
        QFile kept(settingsFile);
        QVERIFY(kept.open(QIODevice::ReadOnly));
        QVERIFY(!kept.readAll().contains("@Variant"));
      }
    }
    QDir(settingsFile).removeRecursively();
  }

  void droppedFiles() {
    const QString hex = dir.path() + "/drop.hex", bin = dir.path() + "/drop.bin";
    WriteFile(hex, ":020000001234B8\n:00000001FF\n");
    WriteFile(bin, QByteArray("\x56\x78", 2));
    const auto local = [](const QString& p) { return QUrl::fromLocalFile(p); };
    struct Row {
      const char* name;
      QList<QUrl> urls;
      int view;
      bool chip;
      std::vector<std::string> log;
      const char* message;  // part of the message shown, nullptr: none
    };
    const Row rows[] = {
        {"hex on the program view", {local(hex)}, 1, true,
         {"Loading program from file: " + hex.toStdString(), "Operation complete"}, nullptr},
        {"binary on the data view", {local(bin)}, 4, true,
         {"Loading data from file: " + bin.toStdString(), "Operation complete"}, nullptr},
        {"two files", {local(hex), local(bin)}, 1, true, {}, "2 files were dropped"},
        {"a folder", {local(dir.path())}, 3, true, {}, "is a folder"},
        {"not a local file", {QUrl("https://example.org/a.hex")}, 1, true, {}, "not a file on this computer"},
        {"no chip", {local(hex)}, 1, false, {"No chip selected"}, nullptr},
    };
    for (const Row& row : rows) {
      Window w;
      w.form.memoryPages->setCurrentIndex(row.view % 2 ? 0 : 1);
      if (row.chip) w.Select("ATtiny2313");
      QVERIFY2(Drop(w.form, row.view, row.urls), row.name);
      QVERIFY2(w.f.log.lines == row.log, row.name);
      QVERIFY2(row.message ? w.f.prompt.messages.size() == 1 &&
                                 w.f.prompt.messages[0].find(row.message) != std::string::npos
                           : w.f.prompt.messages.empty(),
               row.name);
    }
    Window w;
    QVERIFY(!Drop(w.form, 1, {}, "plain text"));  // no file: refused as the drag enters
    ProgressWindow running;                       // a command's progress dialog: a drop would load in the middle of it
    running.ShowCentred();
    QVERIFY(!Drop(w.form, 1, {QUrl::fromLocalFile(hex)}));
  }

  void recentFiles() {
    struct Row {
      QStringList list;
      QString added;
      QStringList expected;
    };
    QStringList eight;
    for (int i = 1; i <= 8; ++i) eight << QString("/f%1").arg(i);
    const Row rows[] = {
        {{"/a", "/b", "/c"}, "/b", {"/b", "/a", "/c"}},
        {eight, "/f9", QStringList{"/f9"} + eight.mid(0, 7)},
        {eight, "/f8", QStringList{"/f8"} + eight.mid(0, 7)},
    };
    for (const Row& row : rows) QCOMPARE(MainWindow::WithRecent(row.list, row.added), row.expected);

    const QString kept = dir.path() + "/kept.hex", gone = dir.path() + "/gone.hex";
    WriteFile(kept, ":00000001FF\n");
    WriteFile(gone, ":00000001FF\n");
    Window w;
    w.Select("ATtiny2313");
    QVERIFY(w.form.LoadNamedFile(1, gone.toStdString()));
    QVERIFY(w.form.LoadNamedFile(1, kept.toStdString()));
    QVERIFY(!w.form.LoadNamedFile(1, (dir.path() + "/never.hex").toStdString()));
    QCOMPARE(w.form.RecentFileList(1), (QStringList{kept, gone}));
    QVERIFY(w.form.RecentFileList(2).isEmpty());
    QVERIFY(!w.form.RecentFiles[2]->isEnabled());
    QFile::remove(gone);
    w.form.RefreshRecentMenu(1);
    const QList<QAction*> items = w.form.RecentFiles[1]->actions();
    QCOMPARE(items.size(), 2);
    QVERIFY(items[0]->isEnabled());
    QVERIFY(!items[1]->isEnabled());
    w.f.ClearRecords();
    items[0]->trigger();
    QCOMPARE(w.f.log.lines.front(), "Loading program from file: " + kept.toStdString());
  }
};

QTEST_MAIN(SettingsDropTest)
#include "settings_drop_test.moc"
