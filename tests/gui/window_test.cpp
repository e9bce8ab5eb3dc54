// The main window: layout, enable states, connect/disconnect, exit, track bar, Save Log as...
#include <QAction>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QProcess>
#include <QProgressBar>
#include <QSet>
#include <QPushButton>
#include <QSlider>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QWindow>
#include <QtTest>

#include <map>
#include <memory>

#include "app/Main.h"
#include "app/QtSeams.h"
#include "dialogs/LBar.h"
#include "link/Portfunctions.h"
#include "support/Fakes.h"

using namespace quillet;

class WindowTest : public QObject {
  Q_OBJECT

 private:
  std::unique_ptr<test::CoreFixture> core;
  std::unique_ptr<TForm1> form;

  QStringList LogLines() const {
    const QString text = form->RichEdit5->toPlainText();
    return text.isEmpty() ? QStringList() : text.split('\n');
  }
  // Enabled state of Button1..Button11 and LockFuses1 as a string of 0/1.
  QString EnableState() const {
    QString s;
    for (int i = 1; i <= 11; ++i)
      s += form->findChild<QPushButton*>(QString("Button%1").arg(i))->isEnabled() ? '1' : '0';
    s += form->LockFuses1->isEnabled() ? '1' : '0';
    return s;
  }
  void Connect(const QString& port = "COM3") {
    form->ComboBox1->setEditText(port);
    form->Button1->click();
  }

 private slots:
  void init() {
    core = std::make_unique<test::CoreFixture>();
    form = std::make_unique<TForm1>();
    core->port.trace.clear();
  }
  void cleanup() {
    form.reset();
    core.reset();
  }

  void layoutAndCaptions() {
    QCOMPARE(form->windowTitle(), QString("Quillet"));
    struct Row {
      const char* name;
      QRect geometry;
      const char* caption;
    };
    const Row rows[] = {
        {"Panel1", {0, 0, 685, 129}, nullptr},
        {"PageControl1", {0, 128, 685, 273}, nullptr},
        {"Panel3", {0, 400, 685, 129}, nullptr},
        {"Button1", {8, 4, 81, 21}, "Connect"},
        {"Button2", {8, 24, 81, 21}, "Disconnect"},
        {"ComboBox1", {8, 48, 81, 24}, "COM1"},
        {"Button3", {95, 4, 86, 41}, "Autosearch chip"},
        {"TrackBar1", {184, 46, 160, 30}, nullptr},
        {"Label2", {186, 4, 67, 16}, "Chip name:"},
        {"Edit1", {184, 22, 89, 22}, "None"},
        {"Label16", {278, 4, 52, 16}, "ID bytes:"},
        {"Edit2", {276, 22, 68, 22}, "FF FF FF"},
        {"Image1", {348, 4, 335, 117}, nullptr},
        {"Button4", {8, 80, 82, 21}, "Read Program"},
        {"Button8", {8, 100, 82, 21}, "Read Data"},
        {"Button5", {89, 80, 75, 21}, "Write Program"},
        {"Button9", {89, 100, 75, 21}, "Write Data"},
        {"Button6", {163, 80, 82, 21}, "Verify Program"},
        {"Button10", {163, 100, 82, 21}, "Verify Data"},
        {"Button7", {244, 80, 101, 21}, "Read Calibration"},
        {"Button11", {244, 100, 101, 21}, "Chip Erase"},
        {"RichEdit1", {0, 16, 677, 137}, nullptr},
        {"RichEdit3", {0, 176, 677, 65}, nullptr},
        {"RichEdit2", {0, 16, 677, 137}, nullptr},
        {"RichEdit4", {0, 176, 677, 65}, nullptr},
        {"RichEdit5", {4, 20, 677, 105}, nullptr},
    };
    for (const Row& row : rows) {
      auto* w = form->findChild<QWidget*>(row.name);
      QVERIFY2(w, row.name);
      QVERIFY2(w->geometry() == row.geometry, row.name);
      if (!row.caption) continue;
      QString text;
      if (auto* b = qobject_cast<QPushButton*>(w)) text = b->text();
      if (auto* l = qobject_cast<QLabel*>(w)) text = l->text();
      if (auto* e = qobject_cast<QLineEdit*>(w)) text = e->text();
      if (auto* c = qobject_cast<QComboBox*>(w)) text = c->currentText();
      QVERIFY2(text == row.caption, row.name);
    }
    QCOMPARE(form->RichEdit1->parentWidget(), form->TabSheet1);
    QCOMPARE(form->RichEdit4->parentWidget(), form->TabSheet2);
    QCOMPARE(form->PageControl1->tabText(1), QString("Page2"));
    QCOMPARE(form->PageControl1->currentIndex(), 0);
    QVERIFY(form->ComboBox1->isEditable());
    QCOMPARE(form->ComboBox1->itemText(9), QString("COM10"));
    QCOMPARE(form->TrackBar1->minimum(), 0);
    QCOMPARE(form->TrackBar1->maximum(), 5);
    QCOMPARE(form->TrackBar1->value(), 1);
    QCOMPARE(form->Edit2->palette().color(QPalette::Text), QColor(Qt::red));
    QCOMPARE(form->RichEdit5->palette().color(QPalette::Base), QColor(255, 251, 240));
    QVERIFY(form->RichEdit5->isReadOnly());
    QCOMPARE(form->RichEdit5->lineWrapMode(), QPlainTextEdit::NoWrap);
  }

  void menus() {
    auto captions = [](QMenu* menu) {
      QStringList list;
      for (QAction* a : menu->actions())
        list << (a->isSeparator() ? "-" : a->objectName() + "=" + a->text());
      return list;
    };
    QCOMPARE(captions(form->File1),
             QStringList({"LoadProgramfromFile1=Load Program from File...",
                          "SaveProgramtoFile1=Save Program to File...",
                          "=Recent Program Files", "-",
                          "Open1=Load Data from File...", "Save1=Save Data to File...",
                          "=Recent Data Files", "-",
                          "SaveLogas1=Save Log as...", "Exit1=Exit"}));
    QCOMPARE(form->LockFuses1->text(), QString("Lock && Fuses..."));
    QCOMPARE(form->About1->text(), QString("About Program"));
    QCOMPARE(form->AT901->actions().size(), 13);
    QCOMPARE(form->AT901->actions().last()->objectName(), QString("AT90CAN1281"));
    const QStringList tiny = captions(form->AVRtiny1);
    QCOMPARE(tiny.size(), 12);
    QCOMPARE(tiny[4], QString("tiny23131=ATtiny2313"));
    // The item named after ATtiny261 carries the ATtiny26 caption, and the next one ATtiny261.
    QCOMPARE(tiny[6], QString("ATtiny261=ATtiny26"));
    QCOMPARE(tiny[7], QString("ATtiny2611=ATtiny261"));
    QCOMPARE(form->chipItems.size(), Catalogue().size());
    // Guards the look-alike items selecting each other's chip.
    const std::pair<const char*, ChipId> picks[] = {
        {"ATtiny261", 626974}, {"ATtiny2611", 823582}, {"AT90S12001", 102430}};
    for (const auto& [name, id] : picks) {
      auto* item = form->findChild<QAction*>(name);
      QVERIFY2(item, name);
      item->trigger();
      QCOMPARE(SelectedChip, id);
    }
  }

  // Every catalogue chip once under Chip Select, no submenu too long for a screen, the newer
  // chips' submenus after the first two, and their items select through the same path.
  void newerChipsInTheMenu() {
    std::map<QString, int> seen;
    QStringList titles;
    QSet<QString> names;
    for (QAction* sub : form->ChipSelect1->actions()) {
      QMenu* menu = sub->menu();
      QVERIFY(menu);
      titles << menu->title();
      QVERIFY2(menu->actions().size() <= 30, qPrintable(menu->title()));
      QVERIFY2(!names.contains(menu->objectName()), qPrintable(menu->objectName()));
      names.insert(menu->objectName());
      for (QAction* a : menu->actions()) {
        ++seen[a->text()];
        QVERIFY2(!a->objectName().isEmpty() && !names.contains(a->objectName()), qPrintable(a->objectName()));
        names.insert(a->objectName());
      }
    }
    QCOMPARE(seen.size(), Catalogue().size());
    for (const ChipEntry& chip : Catalogue()) QVERIFY2(seen[chip.name] == 1, chip.name);
    QCOMPARE(titles.mid(0, 2), QStringList({"AT90...", "AVR tiny"}));
    QVERIFY(titles.contains("ATtiny") && titles.contains("AT90USB / AT90PWM"));

    QAction* item = nullptr;
    for (QAction* a : form->chipItems)
      if (a->text() == "ATmega328P") item = a;
    QVERIFY(item);
    QCOMPARE(item->objectName(), QString("ATmega328P1"));
    item->trigger();
    QCOMPARE(SelectedChip, FindChipByName("ATmega328P")->id);
    QCOMPARE(LogLines().last(), QString("Selected chip is  ATmega328P"));
    QCOMPARE(form->Edit1->text(), QString("ATmega328P"));
  }

  void startUpState() {
    QCOMPARE(EnableState(), QString("100000000000"));
    QCOMPARE(PortHandle, -1);
    QCOMPARE(SelectedChip, 0);
    QCOMPARE(DelayValue, 1);
    QVERIFY(LogLines().isEmpty());
    TForm1 withPort("/dev/ttyACM5");
    QCOMPARE(withPort.ComboBox1->currentText(), QString("/dev/ttyACM5"));
  }

  void connectAndDisconnect() {
    Connect("COM3");
    QCOMPARE(core->port.trace.front(), std::string("open /dev/ttyS2"));
    QCOMPARE(LogLines(), QStringList({"The COM-port is open: /dev/ttyS2"}));
    QCOMPARE(EnableState(), QString("011111111111"));
    QVERIFY(PortHandle != -1);

    form->Button2->click();
    QCOMPARE(PortHandle, -1);
    QCOMPARE(core->port.trace.back(), std::string("close"));
    QCOMPARE(LogLines().last(), QString("The COM-port is closed"));
    QCOMPARE(EnableState(), QString("100000000000"));
  }

  void disconnectAfterPortLostStillLogs() {
    Connect();
    ClosePort();  // as a failing chip operation does
    form->Button2->click();
    QCOMPARE(LogLines().last(), QString("The COM-port is closed"));
    QCOMPARE(EnableState(), QString("100000000000"));
  }

  void connectFailures_data() {
    QTest::addColumn<QString>("port");
    QTest::addColumn<bool>("real");
    QTest::addColumn<QStringList>("lines");
    QTest::addColumn<bool>("opened");
    QTest::newRow("no such device") << "/nonexistent/ttyQ9" << true
                                    << QStringList({"Error. The COM-port is not available"})
                                    << false;
    QTest::newRow("regular file") << "REGULAR" << true
                                  << QStringList({"Error getting the COM-port parameters"})
                                  << false;
    // Guards the name that does not fit the device name: refused before anything is opened.
    QTest::newRow("name of 96 characters")
        << QString(96, 'x') << false << QStringList({"Error. The COM-port is not available"})
        << false;
    QTest::newRow("name of 95 characters")
        << QString(95, 'x') << false << QStringList({"The COM-port is open: /dev/" + QString(95, 'x')})
        << true;
  }
  void connectFailures() {
    QFETCH(QString, port);
    QFETCH(bool, real);
    QFETCH(QStringList, lines);
    QFETCH(bool, opened);
    QTemporaryDir dir;
    if (port == "REGULAR") {
      port = dir.filePath("plain-file");
      QFile f(port);
      QVERIFY(f.open(QIODevice::WriteOnly));
    }
    if (real) SetSerialDriver(nullptr);
    Connect(port);
    QCOMPARE(LogLines(), lines);
    QCOMPARE(PortHandle != -1, opened);
    QCOMPARE(EnableState(), QString(opened ? "011111111111" : "100000000000"));
    if (!real && !opened) QVERIFY(core->port.trace.empty());
    ClosePort();
  }

  void comboChangeDisconnectsOnlyWhenOpen() {
    form->ComboBox1->setCurrentIndex(4);
    QVERIFY(LogLines().isEmpty());
    Connect("COM3");
    form->ComboBox1->setCurrentIndex(5);
    QCOMPARE(LogLines(), QStringList({"The COM-port is open: /dev/ttyS2", "The COM-port is closed"}));
    QCOMPARE(PortHandle, -1);
    QCOMPARE(form->ComboBox1->currentText(), QString("COM6"));
    QCOMPARE(EnableState(), QString("100000000000"));
    // Typing disconnects too, once.
    Connect("COM3");
    QTest::keyClick(form->ComboBox1->lineEdit(), Qt::Key_Backspace);
    QTest::keyClick(form->ComboBox1->lineEdit(), Qt::Key_4);
    QCOMPARE(LogLines().count("The COM-port is closed"), 2);
  }

  void exitWhileConnectedLogsBeforeClosing() {
    form->show();
    Connect();
    form->Exit1->trigger();
    QVERIFY(!form->isVisible());
    QCOMPARE(LogLines().last(), QString("The COM-port is closed"));
    QCOMPARE(PortHandle, -1);
  }

  void titleBarCloseReleasesPortQuietly() {
    form->show();
    Connect();
    const int before = LogLines().size();
    form->close();
    QCOMPARE(LogLines().size(), before);
    QCOMPARE(PortHandle, -1);
    QCOMPARE(core->port.trace.back(), std::string("close"));
  }

  void trackBarSetsDelay() {
    for (int v : {0, 5, 3}) {
      form->TrackBar1->setValue(v);
      QCOMPARE(DelayValue, v);
    }
  }

  void saveLogWritesRtf() {
    QTemporaryDir dir;
    const QString path = dir.filePath("mylog");  // no extension: none is added
    AddLog(18, " erase the chip");
    AddLog(0, "{brace} \\ caf\xC3\xA9");
    core->prompt.files.push_back(FileChoice{path.toStdString(), 3});
    form->SaveLogas1->trigger();
    QFile f(path);
    QVERIFY(f.open(QIODevice::ReadOnly));
    const QByteArray rtf = f.readAll();
    QVERIFY(rtf.startsWith("{\\rtf1\\ansi\\ansicpg1252"));
    QVERIFY(rtf.contains("Trying to erase the chip\\par"));
    QVERIFY(rtf.contains("\\{brace\\} \\\\ caf\\'e9\\par"));
    QVERIFY(!rtf.contains("Log saved"));
    QCOMPARE(LogLines().last(), "Log saved to file: " + path);
    QCOMPARE(QDir(dir.path()).entryList(QDir::Files), QStringList({"mylog"}));
  }

  void saveLogCancelled() {
    AddLog(3, "");
    form->SaveLogas1->trigger();  // no scripted file: the dialog is cancelled
    QCOMPARE(LogLines(), QStringList({"The COM-port is closed"}));
    QVERIFY(core->prompt.messages.empty());
  }

  // Guards a failed save being reported as saved.
  void saveLogUnwritable() {
    QTemporaryDir dir;
    const QString path = dir.filePath("missing-folder/log.rtf");
    AddLog(3, "");
    core->prompt.files.push_back(FileChoice{path.toStdString(), 1});
    form->SaveLogas1->trigger();
    QCOMPARE(LogLines(), QStringList({"The COM-port is closed"}));
    QCOMPARE(static_cast<int>(core->prompt.messages.size()), 1);
    const QString message = QString::fromStdString(core->prompt.messages[0]);
    QVERIFY(message.startsWith("Error|"));
    QVERIFY(message.contains(path));
    QVERIFY(message.contains("the folder " + dir.filePath("missing-folder") + " does not exist"));
  }

  // Guards: the track bar headed the Tab chain although the order table puts it after Button11.
  void tabChain() {
    const QString views = "qt_tabwidget_tabbar RichEdit1 RichEdit3 RichEdit5";
    const struct {
      bool connected;
      QString chain;  // from the control that has the focus when the window opens, once round
    } cases[] = {
        {false, "Edit1 Button1 ComboBox1 Edit2 TrackBar1 " + views},
        {true, "Edit1 Button2 ComboBox1 Button3 Edit2 Button4 Button8 Button5 Button9 Button6 "
               "Button10 Button7 Button11 TrackBar1 " + views},
    };
    for (const auto& c : cases) {
      form = std::make_unique<TForm1>();
      c.connected ? form->EnableControls() : form->DisableControls();
      form->show();
      QApplication::setActiveWindow(form.get());
      QVERIFY(QTest::qWaitForWindowActive(form.get()));
      QStringList chain;
      for (QWidget* focus = QApplication::focusWidget(); focus && chain.size() < 40;
           focus = QApplication::focusWidget()) {
        if (!chain.isEmpty() && focus->objectName() == chain.first()) break;
        chain << focus->objectName();
        QTest::keyClick(focus, Qt::Key_Tab);
      }
      QCOMPARE(chain.join(' '), c.chain);
    }
  }

  // Guards: the maximum size left out the menu bar (685x529 against a minimum of 685x547),
  // so a window manager applying it cut off the bottom of the log.
  void fixedSizeHoldsMenuBarAndLog() {
    const int menuHeight = form->menuBar()->sizeHint().height();
    QVERIFY(menuHeight > 0);
    const QSize full(685, 529 + menuHeight);
    QCOMPARE(form->minimumSize(), full);
    QCOMPARE(form->maximumSize(), full);
    form->show();
    QCOMPARE(form->size(), full);
    QCOMPARE(form->centralWidget()->geometry(), QRect(0, menuHeight, 685, 529));
    const QRect log(form->RichEdit5->mapTo(form.get(), QPoint(0, 0)), form->RichEdit5->size());
    QVERIFY(form->rect().contains(log));
    const QPoint centre = form->screen()->availableGeometry().center();
    QVERIFY((form->frameGeometry().center() - centre).manhattanLength() <= 2);
  }

  void connectToSimulatedGateway() {
    QProcess sim;
    sim.start(QUILLET_SIM_BINARY, {"--chip", "ATtiny2313"});
    QVERIFY(sim.waitForReadyRead(10000));
    const QString device = QString::fromUtf8(sim.readLine()).trimmed();
    SetSerialDriver(nullptr);
    SetClock(nullptr);
    Connect(device);
    QCOMPARE(LogLines(), QStringList({"The COM-port is open: " + device}));
    form->Button2->click();
    QCOMPARE(PortHandle, -1);
    sim.terminate();
    sim.waitForFinished(5000);
  }

  void progressDialog() {
    QtProgressFactory factory;
    std::unique_ptr<ProgressDialog> dialog = factory.Create();
    auto* bar = dynamic_cast<TLBar*>(dialog.get());
    QVERIFY(bar);
    QVERIFY(bar->isVisible());
    QVERIFY(!bar->isModal());
    QCOMPARE(bar->size(), QSize(281, 33));
    QCOMPARE(bar->ProgressBar1->geometry(), QRect(8, 8, 265, 16));
    QCOMPARE(bar->ProgressBar1->maximum(), 100);
    QCOMPARE(bar->ProgressBar1->value(), 0);
    QVERIFY(!(bar->windowFlags() & Qt::WindowCloseButtonHint));
    // Guards: an empty title showed the program's name in the bar's title bar.
    QCOMPARE(bar->windowTitle(), QString(" "));
    QCOMPARE(bar->windowHandle()->title(), QString(" "));
    dialog->SetPosition(50);
    QCOMPARE(bar->ProgressBar1->value(), 50);
    QPointer<TLBar> alive(bar);
    dialog.reset();
    QVERIFY(alive.isNull());
  }
};

QTEST_MAIN(WindowTest)
#include "window_test.moc"
