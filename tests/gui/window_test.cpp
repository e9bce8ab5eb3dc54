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

#include <array>
#include <functional>
#include <map>
#include <memory>

#include "WindowChecks.h"
#include "app/MainWindow.h"
#include "app/PortList.h"
#include "app/QtHostInterfaces.h"
#include "chips/PartTable.h"
#include "dialogs/ProgressWindow.h"
#include "link/Port.h"
#include "support/Fakes.h"

using namespace quillet;

class WindowTest : public QObject {
  Q_OBJECT

 private:
  std::unique_ptr<test::CoreFixture> core;
  std::unique_ptr<MainWindow> form;

  QStringList LogLines() const {
    const QString text = form->logView->toPlainText();
    return text.isEmpty() ? QStringList() : text.split('\n');
  }
  // Enabled state of connectButton..chipEraseButton and lockFusesAction as a string of 0/1.
  QString EnableState() const {
    QString s;
    for (const QPushButton* b :
         {form->connectButton, form->disconnectButton, form->autosearchButton, form->readProgramButton,
          form->writeProgramButton, form->verifyProgramButton, form->readCalibrationButton, form->readDataButton,
          form->writeDataButton, form->verifyDataButton, form->chipEraseButton})
      s += b->isEnabled() ? '1' : '0';
    s += form->lockFusesAction->isEnabled() ? '1' : '0';
    return s;
  }
  void Connect(const QString& port = "COM3") {
    form->portBox->setEditText(port);
    form->connectButton->click();
  }

 private slots:
  void init() {
    core = std::make_unique<test::CoreFixture>();
    form = std::make_unique<MainWindow>();
    core->port.trace.clear();
  }
  void cleanup() {
    form.reset();
    core.reset();
  }

  void layoutAndCaptions() {
    QCOMPARE(form->windowTitle(), QString("Quillet"));
    const std::pair<const char*, const char*> rows[] = {
        {"connectButton", "Connect"},
        {"disconnectButton", "Disconnect"},
        {"portBox", "COM1"},
        {"autosearchButton", "Autosearch chip"},
        {"delayLabel", "Delays value:"},
        {"chipNameLabel", "Chip name:"},
        {"chipNameEdit", "None"},
        {"signatureLabel", "ID bytes:"},
        {"signatureEdit", "FF FF FF"},
        {"readProgramButton", "Read Program"},
        {"readDataButton", "Read Data"},
        {"writeProgramButton", "Write Program"},
        {"writeDataButton", "Write Data"},
        {"verifyProgramButton", "Verify Program"},
        {"verifyDataButton", "Verify Data"},
        {"readCalibrationButton", "Read Calibration"},
        {"chipEraseButton", "Chip Erase"},
        {"Label3", "Program Memory (Flash):"},
        {"Label4", "Data Memory (EEPROM):"},
        {"Label7", "Log:"},
        {"delayValue", "1"},
    };
    for (const auto& [name, caption] : rows) {
      auto* w = form->findChild<QWidget*>(name);
      QVERIFY2(w, name);
      QString text;
      if (auto* b = qobject_cast<QPushButton*>(w)) text = b->text();
      if (auto* l = qobject_cast<QLabel*>(w)) text = l->text();
      if (auto* e = qobject_cast<QLineEdit*>(w)) text = e->text();
      if (auto* c = qobject_cast<QComboBox*>(w)) text = c->currentText();
      QVERIFY2(text == caption, name);
    }
    QCOMPARE(form->programView1->parentWidget(), form->firstPage);
    QCOMPARE(form->dataView2->parentWidget(), form->secondPage);
    QCOMPARE(form->memoryPages->tabText(1), QString("Page2"));
    QCOMPARE(form->memoryPages->currentIndex(), 0);
    QVERIFY(form->portBox->isEditable());
    QVERIFY(form->portBox->findText("COM10") >= 0);
    QCOMPARE(form->delaySlider->minimum(), 0);
    QCOMPARE(form->delaySlider->maximum(), 5);
    QCOMPARE(form->delaySlider->value(), 1);
    QCOMPARE(form->signatureEdit->palette().color(QPalette::Text), QColor(Qt::red));
    QCOMPARE(form->logView->palette().color(QPalette::Base), QColor(255, 251, 240));
    QVERIFY(form->logView->isReadOnly());
    QCOMPARE(form->logView->lineWrapMode(), QPlainTextEdit::NoWrap);
  }

  void menus() {
    auto captions = [](QMenu* menu) {
      QStringList list;
      for (QAction* a : menu->actions())
        list << (a->isSeparator() ? "-" : a->objectName() + "=" + a->text());
      return list;
    };
    QCOMPARE(captions(form->fileMenu),
             QStringList({"loadProgramAction=Load Program from File...", "saveProgramAction=Save Program to File...",
                          "=Recent Program Files", "-", "loadDataAction=Load Data from File...",
                          "saveDataAction=Save Data to File...", "=Recent Data Files", "-",
                          "saveLogAction=Save Log as...", "exitAction=Exit"}));
    QCOMPARE(form->lockFusesAction->text(), QString("Lock && Fuses..."));
    QCOMPARE(form->aboutAction->text(), QString("About Program"));
    // The items of a submenu and of its parts, in order.
    auto leaves = [](QMenu* menu) {
      QStringList list;
      std::function<void(QMenu*)> walk = [&](QMenu* m) {
        for (QAction* a : m->actions())
          a->menu() ? walk(a->menu()) : void(list << a->objectName() + "=" + a->text());
      };
      walk(menu);
      return list;
    };
    const QStringList at90 = leaves(form->at90Menu);
    QCOMPARE(at90[12], QString("AT90CAN1281=AT90CAN128"));
    QVERIFY(at90.size() > 13);  // the AT90USB and AT90PWM parts join them
    const QStringList tiny = leaves(form->avrTinyMenu);
    QCOMPARE(tiny.mid(0, 3), QStringList({"ATtiny121=ATtiny12", "ATtiny131=ATtiny13", "ATtiny13A1=ATtiny13A"}));
    QVERIFY(tiny.contains("tiny23131=ATtiny2313"));
    // The item named after ATtiny261 carries the ATtiny26 caption, and the next one ATtiny261.
    const qsizetype at26 = tiny.indexOf("ATtiny261=ATtiny26");
    QCOMPARE(tiny.mid(at26, 3), QStringList({"ATtiny261=ATtiny26", "ATtiny2611=ATtiny261", "ATtiny261A1=ATtiny261A"}));
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

  // One submenu per family, every catalogue chip once and every alias under it, no submenu
  // too long for a screen, and the items select through the same path.
  void newerChipsInTheMenu() {
    std::map<QString, int> seen;
    QStringList titles;
    QSet<QString> names;
    std::function<void(QMenu*)> walk = [&](QMenu* menu) {
      QVERIFY2(menu->actions().size() <= 30, qPrintable(menu->title()));
      QVERIFY2(!names.contains(menu->objectName()), qPrintable(menu->objectName()));
      names.insert(menu->objectName());
      for (QAction* a : menu->actions()) {
        if (a->menu()) {
          walk(a->menu());
          continue;
        }
        ++seen[a->text()];
        QVERIFY2(!a->objectName().isEmpty() && !names.contains(a->objectName()), qPrintable(a->objectName()));
        names.insert(a->objectName());
      }
    };
    for (QAction* sub : form->chipMenu->actions()) {
      QVERIFY(sub->menu());
      titles << sub->menu()->title();
      walk(sub->menu());
    }
    for (const ChipEntry& chip : Catalogue()) {
      QVERIFY2(seen[chip.name] == 1, chip.name);
      for (const QString& alias : QString(chip.part ? chip.part->aliases : "").split(',', Qt::SkipEmptyParts))
        QVERIFY2(seen[alias.trimmed()] == 1, qPrintable(alias));
    }
    QVERIFY(seen["ATtiny13A"] == 1 && seen["ATmega8A"] == 1);
    QCOMPARE(titles.mid(0, 2), QStringList({"AT90...", "AVR tiny"}));
    QCOMPARE(QSet<QString>(titles.begin(), titles.end()).size(), titles.size());
    QVERIFY(titles.contains("ATmega") && !titles.contains("ATtiny"));
    for (QAction* a : form->findChildren<QAction*>("ATmega8A1")) {
      a->trigger();
      QCOMPARE(SelectedChip, FindChipByName("ATmega8")->id);
    }

    QAction* item = nullptr;
    for (QAction* a : form->chipItems)
      if (a->text() == "ATmega328P") item = a;
    QVERIFY(item);
    QCOMPARE(item->objectName(), QString("ATmega328P1"));
    item->trigger();
    QCOMPARE(SelectedChip, FindChipByName("ATmega328P")->id);
    QCOMPARE(LogLines().last(), QString("Selected chip is  ATmega328P"));
    QCOMPARE(form->chipNameEdit->text(), QString("ATmega328P"));
  }

  void startUpState() {
    QCOMPARE(EnableState(), QString("100000000000"));
    QCOMPARE(PortHandle, -1);
    QCOMPARE(SelectedChip, 0);
    QCOMPARE(DelayValue, 1);
    QVERIFY(LogLines().isEmpty());
    MainWindow withPort("/dev/ttyACM5");
    QCOMPARE(withPort.portBox->currentText(), QString("/dev/ttyACM5"));
  }

  void connectAndDisconnect() {
    Connect("COM3");
    QCOMPARE(core->port.trace.front(), std::string("open /dev/ttyS2"));
    QCOMPARE(LogLines(), QStringList({"The COM-port is open: /dev/ttyS2"}));
    QCOMPARE(EnableState(), QString("011111111111"));
    QVERIFY(PortHandle != -1);

    form->disconnectButton->click();
    QCOMPARE(PortHandle, -1);
    QCOMPARE(core->port.trace.back(), std::string("close"));
    QCOMPARE(LogLines().last(), QString("The COM-port is closed"));
    QCOMPARE(EnableState(), QString("100000000000"));
  }

  // The wiring picture follows the gateway: the Arduino's pins and the capacitor, drawn and in
  // words, from the Autosearch at which Quillet's firmware names itself until Disconnect or a
  // lost port; the plain picture for any other gateway.
  void wiringPictureFollowsTheGateway() {
    const struct {
      const char* gateway;
      std::vector<uint8_t> identity;  // answer bytes 4 to 7
      const char* chip;
      std::vector<uint8_t> signature;
      const char* words;  // with the Arduino's side; nullptr: the plain picture stays
    } rows[] = {
        {"Quillet firmware", {'Q', 'G', 2, 0}, "ATtiny2313", {0x1E, 0x91, 0x0A},
         "Arduino D10 to RESET (pin 1), D11 to MOSI (pin 17), D12 to MISO (pin 18), D13 to SCK (pin 19), "
         "5V to VCC (pin 20), GND to GND (pin 10); a 100 nF capacitor from VCC to GND close to the chip."},
        {"the original gateway", {0, 0, 0, 0}, "ATtiny2313", {0x1E, 0x91, 0x0A}, nullptr},
        {"another firmware", {'Q', 'G', 3, 0}, "ATtiny2313", {0x1E, 0x91, 0x0A}, nullptr},
        // The Arduino's 5 V would harm it.
        {"Quillet firmware, a 3.6 V chip", {'Q', 'G', 2, 0}, "ATmega256RFR2", {0x1E, 0xA8, 0x02},
         "Arduino D10 to RESET (pin 12), D11 to MOSI (pin 38), D12 to MISO (pin 39), D13 to SCK (pin 37), "
         "3V3 to VCC (pins 23, 34, 44, 54 and 59), GND to GND (pins 20, 24, 35, 45 and 55); a 100 nF capacitor "
         "from VCC to GND close to the chip. This chip takes 3.6 V at most: supply it from the 3V3 pin and put "
         "5 V to 3.3 V level shifters on D10, D11 and D13."},
    };
    for (const auto& row : rows) {
      SelectChip(FindChipByName(row.chip)->id);
      const QImage plain = form->wiringPicture->pixmap().toImage();
      const QString plainWords = form->wiringPicture->accessibleDescription();
      QVERIFY(!plain.isNull());
      QVERIFY2(plainWords.startsWith("Gateway connector 1 MISO to pin "), qPrintable(plainWords));
      auto arduinoShown = [&] {
        const QString words = form->wiringPicture->accessibleDescription();
        const bool drawn = form->wiringPicture->pixmap().toImage() != plain;
        if (drawn != words.contains("Arduino")) return -1;  // the words say another picture
        return drawn ? 1 : 0;
      };
      core->port.responder = [&](const std::vector<uint8_t>& in) {
        // The firmware's frames go unanswered: it stays with the plain commands.
        for (auto it = core->port.trace.rbegin(); it != core->port.trace.rend(); ++it)
          if (*it != "read") {
            if (it->rfind("50 ", 0) == 0) return std::vector<uint8_t>{};
            break;
          }
        std::vector<uint8_t> a(8, 0);
        a[0] = in[0] == 0x30 && in[2] < 3 ? row.signature[in[2]] : 0xFF;
        a[1] = 0x53;
        std::copy(row.identity.begin(), row.identity.end(), a.begin() + 4);
        return a;
      };
      Connect();
      QVERIFY2(arduinoShown() == 0, row.gateway);
      form->AutosearchClick();
      QVERIFY2(LogLines().contains(QString("Selected chip is  ") + row.chip), row.gateway);
      QVERIFY2(arduinoShown() == int(row.words != nullptr), row.gateway);
      if (row.words) QCOMPARE(form->wiringPicture->accessibleDescription(), QString(row.words));
      form->disconnectButton->click();
      QVERIFY2(arduinoShown() == 0, row.gateway);
      QCOMPARE(form->wiringPicture->accessibleDescription(), plainWords);
      QCOMPARE(form->wiringPicture->accessibleName(), QString("Wiring picture"));
      if (!row.words) continue;
      // A port lost under a command: the Arduino is gone too.
      Connect();
      form->AutosearchClick();
      QVERIFY2(arduinoShown() == 1, row.gateway);
      core->port.failWrite = [](const std::vector<uint8_t>&) { return true; };
      form->ReadCalibrationClick();
      QCOMPARE(PortHandle, -1);
      QVERIFY2(arduinoShown() == 0, row.gateway);
      core->port.failWrite = nullptr;
    }
  }

  void disconnectAfterPortLostStillLogs() {
    Connect();
    ClosePort();  // as a failing chip operation does
    form->disconnectButton->click();
    QCOMPARE(LogLines().last(), QString("The COM-port is closed"));
    QCOMPARE(EnableState(), QString("100000000000"));
  }

  void connectFailures_data() {
    QTest::addColumn<QString>("port");
    QTest::addColumn<bool>("real");
    QTest::addColumn<QStringList>("lines");
    QTest::addColumn<bool>("opened");
    QTest::newRow("no such device")
        << "/nonexistent/ttyQ9" << true
        << QStringList({"Error. The COM-port is not available",
                        "Cannot open /nonexistent/ttyQ9: no such device (is the gateway plugged in? "
                        "ls /dev/ttyUSB* /dev/ttyACM* lists them)"})
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

  // Devices first, described as people know them, then COM1-COM10; the list is the system's
  // as it is when it opens, and a described item gives its device, never its description.
  void portList() {
    QList<PortFacts> ports = {
        {"/dev/ttyS0", "ttyS0", "", "", {}, {}},
        {"/dev/ttyUSB0", "ttyUSB0", "USB Serial", "QinHeng Electronics", 0x1a86, 0x7523},
        {"/dev/ttyACM0", "ttyACM0", "Arduino Uno", "Arduino (www.arduino.cc)", 0x2341, 0x0043},
        {"/dev/ttyACM1", "ttyACM1", "", "", 0x2341, 0x0043},
    };
    auto* box = qobject_cast<PortBox*>(form->portBox);
    QVERIFY(box);
    box->SetSource([&ports] { return ports; });
    auto items = [box] {
      QStringList list;
      for (int i = 0; i < box->count(); ++i) list << box->itemText(i);
      return list;
    };
    QStringList expected = {"Arduino Uno (ttyACM0)", "USB serial 2341:0043 (ttyACM1)",
                            "USB Serial (ttyUSB0)", "/dev/ttyS0"};
    for (int i = 1; i <= 10; ++i) expected << QString("COM%1").arg(i);
    QCOMPARE(items(), expected);
    QCOMPARE(box->itemData(0, Qt::ToolTipRole).toString(),
             QString("Arduino (www.arduino.cc), 2341:0043, /dev/ttyACM0"));
    QCOMPARE(box->currentText(), QString("COM1"));
    ports.append({"/dev/ttyACM2", "ttyACM2", "Arduino Mega 2560", "", 0x2341, 0x0042});
    form->show();
    box->showPopup();
    QCOMPARE(items()[2], QString("Arduino Mega 2560 (ttyACM2)"));
    QCOMPARE(box->currentText(), QString("COM1"));  // the text stays through a refill
    box->hidePopup();
    box->setCurrentIndex(0);
    emit box->activated(0);
    QCOMPARE(box->currentText(), QString("/dev/ttyACM0"));
    box->setEditText("Arduino Mega 2560 (ttyACM2)");
    QCOMPARE(box->Device(), QString("/dev/ttyACM2"));
    box->setEditText("ttyUSB3");
    QCOMPARE(box->Device(), QString("ttyUSB3"));
  }

  void comboChangeDisconnectsOnlyWhenOpen() {
    form->portBox->setCurrentIndex(form->portBox->findText("COM5"));
    QVERIFY(LogLines().isEmpty());
    Connect("COM3");
    form->portBox->setCurrentIndex(form->portBox->findText("COM6"));
    QCOMPARE(LogLines(), QStringList({"The COM-port is open: /dev/ttyS2", "The COM-port is closed"}));
    QCOMPARE(PortHandle, -1);
    QCOMPARE(form->portBox->currentText(), QString("COM6"));
    QCOMPARE(EnableState(), QString("100000000000"));
    // Typing disconnects too, once.
    Connect("COM3");
    QTest::keyClick(form->portBox->lineEdit(), Qt::Key_Backspace);
    QTest::keyClick(form->portBox->lineEdit(), Qt::Key_4);
    QCOMPARE(LogLines().count("The COM-port is closed"), 2);
  }

  void exitWhileConnectedLogsBeforeClosing() {
    form->show();
    Connect();
    form->exitAction->trigger();
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
      form->delaySlider->setValue(v);
      QCOMPARE(DelayValue, v);
    }
  }

  void saveLogWritesRtf() {
    QTemporaryDir dir;
    const QString path = dir.filePath("mylog");  // no extension: none is added
    AddLog(LogKind::Trying, " erase the chip");
    AddLog(LogKind::Text, "{brace} \\ caf\xC3\xA9");
    core->prompt.files.push_back(FileChoice{path.toStdString(), 3});
    form->saveLogAction->trigger();
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
    AddLog(LogKind::PortClosed, "");
    form->saveLogAction->trigger();  // no scripted file: the dialog is cancelled
    QCOMPARE(LogLines(), QStringList({"The COM-port is closed"}));
    QVERIFY(core->prompt.messages.empty());
  }

  // Guards a failed save being reported as saved.
  void saveLogUnwritable() {
    QTemporaryDir dir;
    const QString path = dir.filePath("missing-folder/log.rtf");
    AddLog(LogKind::PortClosed, "");
    core->prompt.files.push_back(FileChoice{path.toStdString(), 1});
    form->saveLogAction->trigger();
    QCOMPARE(LogLines(), QStringList({"The COM-port is closed"}));
    QCOMPARE(static_cast<int>(core->prompt.messages.size()), 1);
    const QString message = QString::fromStdString(core->prompt.messages[0]);
    QVERIFY(message.startsWith("Error|"));
    QVERIFY(message.contains(path));
    QVERIFY(message.contains("the folder " + dir.filePath("missing-folder") + " does not exist"));
  }

  // Top left to bottom right, the read-only chip name not first. Guards also the track bar
  // heading the chain against the order table.
  void tabChain() {
    const QString views = "qt_tabwidget_tabbar programView1 dataView1 logView";
    const struct {
      bool connected;
      QString chain;  // from the control that has the focus when the window opens, once round
    } cases[] = {
        {false, "connectButton portBox delaySlider chipNameEdit signatureEdit " + views},
        {true,
         "disconnectButton portBox autosearchButton delaySlider chipNameEdit signatureEdit readProgramButton "
         "writeProgramButton verifyProgramButton readCalibrationButton "
         "readDataButton writeDataButton verifyDataButton chipEraseButton " +
             views},
    };
    for (const auto& c : cases) {
      form = std::make_unique<MainWindow>();
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

  // The first size as it always was; the window grows and shrinks, the views and the log take
  // the room, no caption is cut at either size, and the size comes back with the settings.
  // Guards also the bottom of the log cut off by a size that left out the menu bar.
  void resizesWithItsContent() {
    form->show();
    QCOMPARE(form->size(), MainWindow::kInitialSize);
    QVERIFY(form->minimumSizeHint().width() <= MainWindow::kInitialSize.width());
    QVERIFY(form->maximumSize().width() > MainWindow::kInitialSize.width());
    auto heights = [this] {
      return std::array<int, 3>{form->programView1->height(), form->dataView1->height(), form->logView->height()};
    };
    const std::array<int, 3> before = heights();
    const QString panel = QString::number(form->controlPanel->height());
    for (const QSize size : {MainWindow::kInitialSize, QSize(1100, 900)}) {
      form->resize(size);
      QCoreApplication::processEvents();
      QVERIFY2(test::ClippedCaptions(form.get()).isEmpty(),
               qPrintable(test::ClippedCaptions(form.get()).join(" | ")));
      const QRect log(form->logView->mapTo(form.get(), QPoint(0, 0)), form->logView->size());
      QVERIFY(form->rect().contains(log));
    }
    for (int i = 0; i < 3; ++i) QVERIFY(heights()[i] > before[i]);
    QCOMPARE(QString::number(form->controlPanel->height()), panel);  // the controls keep their room
    QVERIFY(form->logView->width() > 1000);
    const QPoint centre = form->screen()->availableGeometry().center();
    form = std::make_unique<MainWindow>();
    form->show();
    QVERIFY((form->frameGeometry().center() - centre).manhattanLength() <= 2);
  }

  // Every control of the window, its menus and dialogs named for a screen reader.
  void everyControlNamed() {
    form->EnableControls();
    form->show();
    QVERIFY2(test::UnnamedControls(form.get()).isEmpty(),
             qPrintable(test::UnnamedControls(form.get()).join(" | ")));
    for (QMenu* menu : form->menuBar()->findChildren<QMenu*>())
      QVERIFY2(test::UnnamedControls(menu).isEmpty(), qPrintable(menu->title()));
    // Alt and the underlined letter open each menu.
    QStringList titles;
    for (QAction* a : form->menuBar()->actions()) titles << a->text();
    QCOMPARE(titles, QStringList({"&File", "&Edit", "&Chip Select", "&Help"}));
    QCOMPARE(form->logView->accessibleName(), QString("Log"));
    form->delaySlider->setValue(4);
    QCOMPARE(form->findChild<QLabel*>("delayValue")->text(), QString("4"));
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
    form->disconnectButton->click();
    QCOMPARE(PortHandle, -1);
    sim.terminate();
    sim.waitForFinished(5000);
  }

  void progressDialog() {
    QtProgressFactory factory;
    std::unique_ptr<ProgressDialog> dialog = factory.Create();
    auto* bar = dynamic_cast<ProgressWindow*>(dialog.get());
    QVERIFY(bar);
    QVERIFY(bar->isVisible());
    QVERIFY(!bar->isModal());
    QCOMPARE(bar->bar->maximum(), 100);
    QCOMPARE(bar->bar->value(), 0);
    QVERIFY(!(bar->windowFlags() & Qt::WindowCloseButtonHint));
    dialog->SetPosition(50);
    QCOMPARE(bar->bar->value(), 50);
    // The title is the operation; the first block of a large memory moves the bar already.
    dialog->SetOperation("Read Program");
    QCOMPARE(bar->windowHandle()->title(), QString("Read Program"));
    dialog->SetBytes(64, 262144);
    QVERIFY(bar->bar->value() > 0);
    QCOMPARE(bar->DetailLabel->text(), QString("64 of 262144 bytes"));
    dialog->AllowStop();
    QVERIFY2(test::UnnamedControls(bar).isEmpty(), qPrintable(test::UnnamedControls(bar).join(" | ")));
    QVERIFY2(test::ClippedCaptions(bar).isEmpty(), qPrintable(test::ClippedCaptions(bar).join(" | ")));
    const struct {
      unsigned long long done, total;
      qint64 elapsedMs;
      const char* text;
    } texts[] = {
        {0, 32768, 5000, "0 of 32768 bytes"},
        {1024, 32768, 999, "1024 of 32768 bytes"},
        {1536, 32768, 1000, "1536 of 32768 bytes, 1.5 KiB/s, 20 s left"},
        {2048, 262144, 2000, "2048 of 262144 bytes, 1.0 KiB/s, 4 min 14 s left"},
        {512, 512, 2000, "512 of 512 bytes, 256 bytes/s"},
    };
    for (const auto& t : texts) QCOMPARE(ProgressText(t.done, t.total, t.elapsedMs), QString(t.text));
    QPointer<ProgressWindow> alive(bar);
    dialog.reset();
    QVERIFY(alive.isNull());
  }
};

QTEST_MAIN(WindowTest)
#include "window_test.moc"
