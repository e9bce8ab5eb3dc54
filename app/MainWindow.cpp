// The main window: layout, start-up state, connect/disconnect, exit, track bar, Save Log as...
#include "app/MainWindow.h"
#include "app/PortList.h"

#include <QAction>
#include <QBoxLayout>
#include <QCloseEvent>
#include <QComboBox>
#include <QFontDatabase>
#include <QFrame>
#include <QGridLayout>
#include <QGuiApplication>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScreen>
#include <QSet>
#include <QSettings>
#include <QShowEvent>
#include <QSlider>
#include <QTabWidget>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>

#include "chips/FastTransport.h"
#include "chips/PartTable.h"
#include "commands/Driver.h"
#include "dialogs/AboutDialog.h"
#include "dialogs/Worker.h"
#include "image/SafeFile.h"
#include "link/Port.h"
#include "log/Rtf.h"

namespace quillet {

MainWindow* Form1 = nullptr;

namespace {

const QColor kCream(255, 251, 240);
const QColor kTooltipBackground(255, 255, 225);

// "MS Sans Serif" is a Windows font. Liberation Sans has nearly its widths, so the captions
// fit their fixed boxes; failing both, the desktop's sans font at the same pixel size.
QFont SansFont(int pixels) {
  QFont font;
  if (QFontDatabase::hasFamily("MS Sans Serif")) font = QFont("MS Sans Serif");
  else if (QFontDatabase::hasFamily("Liberation Sans")) font = QFont("Liberation Sans");
  else font = QFontDatabase::systemFont(QFontDatabase::GeneralFont);
  font.setPixelSize(pixels);
  return font;
}

QFont MonoFont(int pixels) {
  QFont font;
  if (QFontDatabase::hasFamily("Courier New")) font = QFont("Courier New");
  else if (QFontDatabase::hasFamily("Liberation Mono")) font = QFont("Liberation Mono");
  else font = QFontDatabase::systemFont(QFontDatabase::FixedFont);
  font.setStyleHint(QFont::TypeWriter);
  font.setPixelSize(pixels);
  return font;
}

void SetBackground(QWidget* w, const QColor& color) {
  QPalette p = w->palette();
  p.setColor(QPalette::Base, color);
  w->setPalette(p);
}

struct ChipItem {
  const char* objectName;
  const char* caption;  // the catalogue row's name
};

// The chip menu in catalogue order; the first 13 go to "AT90...", the rest to "AVR tiny".
constexpr ChipItem kChipItems[] = {
    {"AT90S12001", "AT90S1200"},   {"AT90S23131", "AT90S2313"}, {"AT90S23231", "AT90S2323"},
    {"AT90S23331", "AT90S2333"},   {"AT90S23431", "AT90S2343"}, {"AT90S44141", "AT90S4414"},
    {"AT90S44331", "AT90S4433"},   {"AT90S44341", "AT90S4434"}, {"AT90S85151", "AT90S8515"},
    {"AT90S85351", "AT90S8535"},   {"AT90CAN321", "AT90CAN32"}, {"AT90CAN641", "AT90CAN64"},
    {"AT90CAN1281", "AT90CAN128"}, {"ATtiny121", "ATtiny12"},   {"ATtiny131", "ATtiny13"},
    {"ATtiny151", "ATtiny15"},     {"ATtiny221", "ATtiny22"},   {"tiny23131", "ATtiny2313"},
    {"ATtiny251", "ATtiny25"},     {"ATtiny261", "ATtiny26"},   {"ATtiny2611", "ATtiny261"},
    {"ATtiny451", "ATtiny45"},     {"ATtiny4611", "ATtiny461"}, {"ATtiny851", "ATtiny85"},
    {"ATtiny8611", "ATtiny861"},
};
constexpr int kAt90ItemCount = 13;

template <typename W>
W* Make(QWidget* parent, const char* name) {
  auto* widget = new W(parent);
  widget->setObjectName(name);
  return widget;
}

QPushButton* MakeButton(QWidget* parent, const char* name, const char* caption) {
  auto* b = Make<QPushButton>(parent, name);
  b->setText(caption);
  return b;
}

QLabel* MakeLabel(QWidget* parent, const char* name, const char* caption) {
  auto* l = Make<QLabel>(parent, name);
  l->setText(caption);
  return l;
}

// A hex view: read-only, yet the cursor shows and keys reach the window's filter.
QPlainTextEdit* MakeView(QWidget* parent, const char* name) {
  auto* v = Make<QPlainTextEdit>(parent, name);
  v->setReadOnly(true);
  v->setTextInteractionFlags(Qt::TextSelectableByKeyboard | Qt::TextSelectableByMouse);
  v->setUndoRedoEnabled(false);
  v->setLineWrapMode(QPlainTextEdit::NoWrap);
  v->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  v->setFont(MonoFont(13));
  v->setMinimumHeight(3 * QFontMetrics(v->font()).lineSpacing());
  return v;
}

// A view or the log under its caption: the caption names it for a screen reader too.
void Caption(QLabel* label, QWidget* view, const QString& name) {
  label->setBuddy(view);
  view->setAccessibleName(name);
}

}  // namespace

MainWindow::MainWindow(const QString& initialPort, QWidget* parent) : QMainWindow(parent) {
  Form1 = this;
  BuildLayout(initialPort);
  BuildMenus();
  // The first size, menu bar included; from there the window grows and shrinks as the user
  // likes, never below what its layout needs to show every caption whole.
  resize(kInitialSize.expandedTo(minimumSizeHint()));
  CentreOnScreen();

  InstallDropTargets();

  SetLogSink(this);
  SetChipDisplay(this);
  SetViewSink(this);

  DisableControls();
  PortHandle = -1;
  SelectedChip = 0;
  DelayValue = delaySlider->value();
  connect(&Work(), &WorkNotifier::started, this, &MainWindow::EnterCommand);
  connect(&Work(), &WorkNotifier::ended, this, &MainWindow::LeaveCommand);
}

MainWindow::~MainWindow() {
  if (GetLogSink() == this) SetLogSink(nullptr);
  SetChipDisplay(nullptr);
  SetViewSink(nullptr);
  if (Form1 == this) Form1 = nullptr;
}

void MainWindow::BuildLayout(const QString& initialPort) {
  setObjectName("Form1");
  setWindowTitle("Quillet");
  setFont(SansFont(11));

  auto* client = new QWidget(this);
  client->setObjectName("ClientArea");
  setCentralWidget(client);

  // ---- control panel ----
  controlPanel = Make<QFrame>(client, "controlPanel");
  controlPanel->setFrameStyle(QFrame::Panel | QFrame::Raised);
  controlPanel->setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Maximum);

  // Connect comes first: Qt starts the Tab chain with the first focusable widget made.
  connectButton = MakeButton(controlPanel, "connectButton", "Connect");
  disconnectButton = MakeButton(controlPanel, "disconnectButton", "Disconnect");

  auto* ports = Make<PortBox>(controlPanel, "portBox");
  portBox = ports;
  portBox->setEditable(true);
  portBox->setInsertPolicy(QComboBox::NoInsert);
  portBox->setFont(SansFont(13));
  // Wide enough for a whole device path such as /dev/ttyUSB0.
  portBox->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
  portBox->setMinimumContentsLength(0);
  portBox->setMinimumWidth(QFontMetrics(portBox->font()).horizontalAdvance("/dev/ttyUSB0") + 36);
  portBox->setAccessibleName("Port");
  portBox->lineEdit()->setAccessibleName("Port");
  ports->SetSource(SystemPorts);
  // A USB device (a gateway, most likely) where there is one, COM1 otherwise.
  const QList<PortItem> listed = PortItems(SystemPorts());
  portBox->setEditText(listed.front().usb ? listed.front().device : QStringLiteral("COM1"));
  if (!initialPort.isEmpty()) portBox->setEditText(initialPort);

  autosearchButton = MakeButton(controlPanel, "autosearchButton", "Autosearch chip");
  autosearchButton->setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Expanding);

  chipNameLabel = MakeLabel(controlPanel, "chipNameLabel", "Chip name:");
  chipNameLabel->setFont(SansFont(13));
  chipNameEdit = Make<QLineEdit>(controlPanel, "chipNameEdit");
  chipNameEdit->setReadOnly(true);
  chipNameEdit->setText("None");
  SetBackground(chipNameEdit, kTooltipBackground);
  chipNameLabel->setBuddy(chipNameEdit);

  signatureLabel = MakeLabel(controlPanel, "signatureLabel", "ID bytes:");
  signatureLabel->setFont(SansFont(13));
  signatureEdit = Make<QLineEdit>(controlPanel, "signatureEdit");
  // Writable only so that Qt draws its cursor; the key filter lets no key change the text but
  // through the ID bytes editor.
  signatureEdit->setReadOnly(false);
  signatureEdit->setContextMenuPolicy(Qt::NoContextMenu);
  signatureEdit->setAcceptDrops(false);
  signatureEdit->setDragEnabled(false);
  signatureEdit->setAttribute(Qt::WA_InputMethodEnabled, false);
  signatureEdit->setText("FF FF FF");
  signatureEdit->setFont(MonoFont(13));
  signatureEdit->setTextMargins(0, 0, 0, 0);
  signatureEdit->setMinimumWidth(QFontMetrics(signatureEdit->font()).horizontalAdvance("FF FF FF") + 12);
  {
    QPalette p = signatureEdit->palette();
    p.setColor(QPalette::Base, kTooltipBackground);
    p.setColor(QPalette::Text, Qt::red);
    signatureEdit->setPalette(p);
  }
  signatureLabel->setBuddy(signatureEdit);

  delayLabel = MakeLabel(controlPanel, "delayLabel", "Delays value:");
  delaySlider = Make<QSlider>(controlPanel, "delaySlider");
  delaySlider->setOrientation(Qt::Horizontal);
  delaySlider->setRange(0, 5);
  delaySlider->setSingleStep(1);
  delaySlider->setPageStep(1);
  delaySlider->setTickInterval(1);
  delaySlider->setTickPosition(QSlider::TicksBelow);
  delaySlider->setValue(1);
  delayLabel->setBuddy(delaySlider);
  delaySlider->setAccessibleName("Delays value");
  // The value as a number beside the slider.
  auto* delayShown = MakeLabel(controlPanel, "delayValue", "1");
  delayShown->setMinimumWidth(QFontMetrics(delayShown->font()).horizontalAdvance("00"));
  connect(delaySlider, &QSlider::valueChanged, delayShown,
          [delayShown](int value) { delayShown->setText(QString::number(value)); });

  readProgramButton = MakeButton(controlPanel, "readProgramButton", "Read Program");
  writeProgramButton = MakeButton(controlPanel, "writeProgramButton", "Write Program");
  verifyProgramButton = MakeButton(controlPanel, "verifyProgramButton", "Verify Program");
  readCalibrationButton = MakeButton(controlPanel, "readCalibrationButton", "Read Calibration");
  readDataButton = MakeButton(controlPanel, "readDataButton", "Read Data");
  writeDataButton = MakeButton(controlPanel, "writeDataButton", "Write Data");
  verifyDataButton = MakeButton(controlPanel, "verifyDataButton", "Verify Data");
  chipEraseButton = MakeButton(controlPanel, "chipEraseButton", "Chip Erase");

  wiringPicture = Make<QLabel>(controlPanel, "wiringPicture");
  wiringPicture->setAlignment(Qt::AlignLeft | Qt::AlignTop);
  wiringPicture->setScaledContents(false);
  // The largest picture whole: the Arduino's, 11 px taller than the others for its capacitor.
  wiringPicture->setMinimumSize(335, 128);
  wiringPicture->setAccessibleName("Wiring picture");

  {
    auto* grid = new QGridLayout;
    grid->setSpacing(1);
    grid->addWidget(connectButton, 0, 0);
    grid->addWidget(disconnectButton, 1, 0);
    grid->addWidget(portBox, 2, 0, 1, 2);
    grid->addWidget(autosearchButton, 0, 1, 2, 1);
    grid->addWidget(chipNameLabel, 0, 2, Qt::AlignBottom);
    grid->addWidget(chipNameEdit, 1, 2);
    grid->addWidget(signatureLabel, 0, 3, Qt::AlignBottom);
    grid->addWidget(signatureEdit, 1, 3);
    auto* delay = new QHBoxLayout;
    delay->setSpacing(2);
    delay->addWidget(delayLabel);
    delay->addWidget(delaySlider, 1);
    delay->addWidget(delayShown);
    grid->addLayout(delay, 2, 2, 1, 2);
    QPushButton* memory[2][4] = {{readProgramButton, writeProgramButton, verifyProgramButton, readCalibrationButton},
                                 {readDataButton, writeDataButton, verifyDataButton, chipEraseButton}};
    for (int row = 0; row < 2; ++row)
      for (int column = 0; column < 4; ++column) grid->addWidget(memory[row][column], 4 + row, column);
    grid->setRowMinimumHeight(3, 4);
    auto* panel = new QHBoxLayout(controlPanel);
    panel->setContentsMargins(3, 3, 1, 3);
    panel->setSpacing(3);
    panel->addLayout(grid);
    panel->addWidget(wiringPicture, 1);
  }

  // Top left to bottom right: the port, the chip, the delay, then the memory buttons by rows.
  QWidget* order[] = {
      connectButton,         disconnectButton, portBox,           autosearchButton,   delaySlider,
      chipNameEdit,          signatureEdit,    readProgramButton, writeProgramButton, verifyProgramButton,
      readCalibrationButton, readDataButton,   writeDataButton,   verifyDataButton,   chipEraseButton};
  for (size_t i = 0; i + 1 < std::size(order); ++i) setTabOrder(order[i], order[i + 1]);

  // ---- the two pages of views ----
  memoryPages = Make<QTabWidget>(client, "memoryPages");
  firstPage = new QWidget;
  firstPage->setObjectName("firstPage");
  secondPage = new QWidget;
  secondPage->setObjectName("secondPage");
  memoryPages->addTab(firstPage, "Page1");
  memoryPages->addTab(secondPage, "Page2");
  programView1 = MakeView(firstPage, "programView1");
  dataView1 = MakeView(firstPage, "dataView1");
  programView2 = MakeView(secondPage, "programView2");
  dataView2 = MakeView(secondPage, "dataView2");
  struct Sheet {
    QWidget* sheet;
    const char* labels[2];
    QPlainTextEdit* views[2];
    const char* page;
  };
  for (const Sheet& s : {Sheet{firstPage, {"Label3", "Label4"}, {programView1, dataView1}, "Page 1"},
                         Sheet{secondPage, {"Label5", "Label6"}, {programView2, dataView2}, "Page 2"}}) {
    auto* column = new QVBoxLayout(s.sheet);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(1);
    const char* captions[2] = {"Program Memory (Flash):", "Data Memory (EEPROM):"};
    const char* names[2] = {"Program Memory (Flash)", "Data Memory (EEPROM)"};
    for (int i = 0; i < 2; ++i) {
      QLabel* label = MakeLabel(s.sheet, s.labels[i], captions[i]);
      Caption(label, s.views[i], QString("%1, %2").arg(names[i], s.page));
      column->addWidget(label);
      // The program view twice the data view's share of the room.
      column->addWidget(s.views[i], i == 0 ? 2 : 1);
    }
  }
  memoryPages->setCurrentIndex(0);

  // ---- the log ----
  logPanel = Make<QFrame>(client, "logPanel");
  logPanel->setFrameStyle(QFrame::Panel | QFrame::Raised);
  QLabel* logLabel = MakeLabel(logPanel, "Label7", "Log:");
  logView = Make<QPlainTextEdit>(logPanel, "logView");
  logView->setReadOnly(true);
  logView->setUndoRedoEnabled(false);
  logView->setLineWrapMode(QPlainTextEdit::NoWrap);
  logView->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  logView->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  logView->setFont(MonoFont(13));
  logView->setMinimumHeight(3 * QFontMetrics(logView->font()).lineSpacing());
  SetBackground(logView, kCream);
  Caption(logLabel, logView, "Log");
  {
    auto* column = new QVBoxLayout(logPanel);
    column->setContentsMargins(4, 4, 4, 4);
    column->setSpacing(2);
    column->addWidget(logLabel);
    column->addWidget(logView, 1);
  }

  {
    auto* whole = new QVBoxLayout(client);
    whole->setContentsMargins(0, 0, 0, 0);
    whole->setSpacing(0);
    whole->addWidget(controlPanel);
    whole->addWidget(memoryPages, 2);
    whole->addWidget(logPanel, 1);
  }

  for (QWidget* w :
       {static_cast<QWidget*>(programView1), static_cast<QWidget*>(programView2), static_cast<QWidget*>(dataView1),
        static_cast<QWidget*>(dataView2), static_cast<QWidget*>(signatureEdit)})
    w->installEventFilter(this);

  connect(connectButton, &QPushButton::clicked, this, &MainWindow::ConnectClick);
  connect(disconnectButton, &QPushButton::clicked, this, &MainWindow::DisconnectClick);
  connect(autosearchButton, &QPushButton::clicked, this, &MainWindow::AutosearchClick);
  connect(readProgramButton, &QPushButton::clicked, this, &MainWindow::ReadProgramClick);
  connect(writeProgramButton, &QPushButton::clicked, this, &MainWindow::WriteProgramClick);
  connect(verifyProgramButton, &QPushButton::clicked, this, &MainWindow::VerifyProgramClick);
  connect(readCalibrationButton, &QPushButton::clicked, this, &MainWindow::ReadCalibrationClick);
  connect(readDataButton, &QPushButton::clicked, this, &MainWindow::ReadDataClick);
  connect(writeDataButton, &QPushButton::clicked, this, &MainWindow::WriteDataClick);
  connect(verifyDataButton, &QPushButton::clicked, this, &MainWindow::VerifyDataClick);
  connect(chipEraseButton, &QPushButton::clicked, this, &MainWindow::ChipEraseClick);
  // Picking an item also changes the edit text, so this one signal covers both.
  connect(portBox, &QComboBox::editTextChanged, this, &MainWindow::PortChange);
  connect(delaySlider, &QSlider::valueChanged, this, &MainWindow::DelayChange);
  connect(portBox, &QComboBox::editTextChanged, this, &MainWindow::SettingsChanged);
  connect(delaySlider, &QSlider::valueChanged, this, &MainWindow::SettingsChanged);
  connect(memoryPages, &QTabWidget::currentChanged, this, &MainWindow::SettingsChanged);
}

void MainWindow::BuildMenus() {
  QMenuBar* bar = menuBar();
  bar->setObjectName("MainMenu1");

  auto item = [this](QMenu* menu, const char* name, const char* caption, auto slot) {
    QAction* a = menu->addAction(caption);
    a->setObjectName(name);
    connect(a, &QAction::triggered, this, slot);
    return a;
  };

  fileMenu = bar->addMenu("&File");
  fileMenu->setObjectName("fileMenu");
  loadProgramAction = item(fileMenu, "loadProgramAction", "Load Program from File...", &MainWindow::LoadProgramClick);
  saveProgramAction = item(fileMenu, "saveProgramAction", "Save Program to File...", &MainWindow::SaveProgramClick);
  RecentFiles[1] = fileMenu->addMenu("Recent Program Files");
  RecentFiles[1]->setObjectName("RecentProgramFiles1");
  fileMenu->addSeparator()->setObjectName("N1");
  loadDataAction = item(fileMenu, "loadDataAction", "Load Data from File...", &MainWindow::LoadDataClick);
  saveDataAction = item(fileMenu, "saveDataAction", "Save Data to File...", &MainWindow::SaveDataClick);
  RecentFiles[2] = fileMenu->addMenu("Recent Data Files");
  RecentFiles[2]->setObjectName("RecentDataFiles1");
  for (int image = 1; image <= 2; ++image) {
    // A file may have gone since the list was made: greyed each time the menus open.
    connect(fileMenu, &QMenu::aboutToShow, this, [this, image] { RefreshRecentMenu(image); });
    RefreshRecentMenu(image);
  }
  fileMenu->addSeparator()->setObjectName("N4");
  saveLogAction = item(fileMenu, "saveLogAction", "Save Log as...", &MainWindow::SaveLogClick);
  exitAction = item(fileMenu, "exitAction", "Exit", &MainWindow::ExitClick);

  editMenu = bar->addMenu("&Edit");
  editMenu->setObjectName("editMenu");
  lockFusesAction = item(editMenu, "lockFusesAction", "Lock && Fuses...", &MainWindow::LockFusesClick);
  BuildCommandMenu();
  // Blocks, a faster line and SPI clock with Quillet's own gateway firmware; off keeps to the
  // one-instruction exchanges every gateway takes.
  editMenu->addSeparator()->setObjectName("N7");
  QAction* fast = fastTransfersAction = editMenu->addAction("Fast Transfers with Quillet Firmware");
  fast->setObjectName("fastTransfersAction");
  fast->setCheckable(true);
  fast->setChecked(FastTransfersEnabled());
  connect(fast, &QAction::toggled, this, [this](bool on) {
    SetFastTransfers(on);
    SettingsChanged();
  });

  chipMenu = bar->addMenu("&Chip Select");
  chipMenu->setObjectName("chipMenu");
  at90Menu = chipMenu->addMenu("AT90...");
  at90Menu->setObjectName("at90Menu");
  avrTinyMenu = chipMenu->addMenu("AVR tiny");
  avrTinyMenu->setObjectName("avrTinyMenu");

  // One submenu per family, every name a chip is known by in it (its aliases select the chip
  // as its name does). Object names follow the scheme of the first items (the caption and a
  // 1), with another 1 while the name is taken, so no two objects of the window share one.
  QSet<QString> taken{objectName()};
  for (const QObject* o : findChildren<QObject*>()) taken.insert(o->objectName());
  for (const ChipItem& chip : kChipItems) taken.insert(chip.objectName);
  auto uniqueName = [&taken](const QString& caption) {
    QString name;
    for (const QChar ch : caption)
      if (ch.isLetterOrNumber()) name += ch;
    name += '1';
    while (taken.contains(name)) name += '1';
    taken.insert(name);
    return name;
  };
  struct Item {
    QString text;
    QString objectName;
    ChipId id;
    bool primary;  // the chip's own name (an item of chipItems), not an alias
  };
  struct Family {
    QString title;
    QMenu* menu;
    std::vector<Item> items;
  };
  std::vector<Family> families{{"AT90...", at90Menu, {}}, {"AVR tiny", avrTinyMenu, {}}};
  auto familyOf = [&families](const QString& title) -> Family& {
    // The newer ATtiny and AT90 parts join the first chips' submenus.
    const QString merged = title == "ATtiny"          ? QString("AVR tiny")
                           : title.startsWith("AT90") ? QString("AT90...")
                                                      : title;
    for (Family& f : families)
      if (f.title == merged) return f;
    families.push_back({merged, nullptr, {}});
    return families.back();
  };
  int index = 0;
  for (const ChipItem& chip : kChipItems) {
    const ChipEntry* entry = FindChipByName(chip.caption);
    const ChipId id = entry ? entry->id : Catalogue()[index].id;
    Family& f = families[index < kAt90ItemCount ? 0 : 1];
    f.items.push_back({chip.caption, chip.objectName, id, true});
    for (size_t k = 0; k < kExistingAliasCount; ++k)
      if (std::strcmp(kExistingAliases[k][0], chip.caption) == 0)
        f.items.push_back({kExistingAliases[k][1], uniqueName(kExistingAliases[k][1]), id, false});
    ++index;
  }
  const std::vector<ChipEntry>& catalogue = Catalogue();
  for (size_t i = kChipCount; i < catalogue.size(); ++i) {
    const ChipEntry& chip = catalogue[i];
    Family& f = familyOf(QString::fromUtf8(chip.part && chip.part->family ? chip.part->family
                                           : chip.submenu                 ? chip.submenu
                                                                          : ""));
    const QString name = QString::fromUtf8(chip.name);
    f.items.push_back({name, uniqueName(name), chip.id, true});
    if (chip.part && chip.part->aliases)
      for (const QString& alias : QString::fromUtf8(chip.part->aliases).split(',', Qt::SkipEmptyParts))
        f.items.push_back({alias.trimmed(), uniqueName(alias.trimmed()), chip.id, false});
  }
  std::map<ChipId, QAction*> primary;
  for (Family& f : families) {
    if (!f.menu) {
      f.menu = chipMenu->addMenu(f.title);
      f.menu->setObjectName(uniqueName(f.title));
      familyMenus.push_back(f.menu);
    }
    // A family longer than a screen in parts of at most 30, named by their first and last.
    constexpr size_t kPart = 30;
    const size_t parts = (f.items.size() + kPart - 1) / kPart;
    const size_t per = parts ? (f.items.size() + parts - 1) / parts : 0;
    for (size_t first = 0; first < f.items.size(); first += per) {
      const size_t last = std::min(f.items.size(), first + per) - 1;
      QMenu* menu = f.menu;
      if (parts > 1) {
        menu = f.menu->addMenu(f.items[first].text + " ... " + f.items[last].text);
        menu->setObjectName(uniqueName(f.items[first].text + f.items[last].text));
        familyMenus.push_back(menu);
      }
      for (size_t k = first; k <= last; ++k) {
        const Item& item = f.items[k];
        QAction* a = menu->addAction(item.text);
        a->setObjectName(item.objectName);
        const ChipId id = item.id;
        connect(a, &QAction::triggered, this, [this, id] { ChipMenuClick(id); });
        if (item.primary) primary[id] = a;
      }
    }
  }
  for (const ChipEntry& chip : catalogue) chipItems.push_back(primary[chip.id]);

  helpMenu = bar->addMenu("&Help");
  helpMenu->setObjectName("helpMenu");
  aboutAction = item(helpMenu, "aboutAction", "About Program", &MainWindow::AboutClick);
}

void MainWindow::AppendLine(const std::string& line) { logView->appendPlainText(QString::fromStdString(line)); }

void MainWindow::ConnectPort() {
  const std::string name = static_cast<PortBox*>(portBox)->Device().toStdString();
  if (name.size() > kMaxPortName) {
    // Too long for a device name: refused as an unavailable port, nothing is opened.
    AddLog(LogKind::PortUnavailable, "");
    return;
  }
  // Never leave a handle behind if a connect comes while the port is still open.
  if (PortHandle != -1) ClosePort();
  const std::string device = DeviceName(name);
  OpenPort(device);
  FollowGateway();  // a new connection, or none: no gateway has named itself yet
  if (PortHandle == -1) return;
  // Another chip may sit in the socket now: nothing read before counts for it.
  ForgetChipFuses();
  EnableControls();
  AddLog(LogKind::PortOpen, device);
}

void MainWindow::DisconnectPort() {
  if (PortHandle != -1) ClosePort();
  ForgetChipFuses();
  PortHandle = -1;
  DisableControls();
  FollowGateway();
  AddLog(LogKind::PortClosed, "");
}

// The port stays as it is under a running command, whatever reaches these.
void MainWindow::ConnectClick() {
  if (!WorkRunning()) ConnectPort();
}
void MainWindow::DisconnectClick() {
  if (!WorkRunning()) DisconnectPort();
}

void MainWindow::PortChange() {
  if (PortHandle != -1 && !WorkRunning()) DisconnectPort();
}

void MainWindow::DelayChange() { DelayValue = delaySlider->value(); }

void MainWindow::ExitClick() {
  if (WorkRunning()) return;
  if (PortHandle != -1) DisconnectPort();
  exiting_ = true;
  close();
}

void MainWindow::SaveLogClick() {
  std::optional<FileChoice> choice = GetUserPrompt().SaveLogFile();
  if (!choice) return;
  const std::string& path = choice->path;

  std::vector<std::string> lines;
  const QString text = logView->toPlainText();
  if (!text.isEmpty())
    for (const QString& line : text.split(QChar('\n'))) lines.push_back(line.toStdString());
  const std::string rtf = LogToRtf(lines);

  // Saved as every file is: a full disk leaves the old log whole, and a log saved over keeps
  // its owner, mode and links.
  SafeFile file;
  if (!file.Create(path) || !file.Write(rtf.data(), rtf.size()) || !file.Commit()) {
    // A failed save must not be logged as a saved log.
    GetUserPrompt().ShowMessage("Error", "The log could not be saved to file " + path + ": " + file.Why());
    return;
  }
  if (!file.Note().empty()) AddLog(LogKind::Text, "Note: " + file.Note());
  AddLog(LogKind::LogSaved, path);
}

void MainWindow::AboutClick() {
  // The one About box made at start-up, shown without blocking the window.
  if (!AboutBox) return;
  AboutBox->show();
  AboutBox->raise();
  AboutBox->activateWindow();
}

void MainWindow::CentreOnScreen() {
  QScreen* screen = this->screen() ? this->screen() : QGuiApplication::primaryScreen();
  if (!screen) return;
  // move() places the frame; its size is known once the window is shown.
  const QSize whole = frameGeometry().size();
  centredAt_ = screen->availableGeometry().center() - QPoint(whole.width() / 2, whole.height() / 2);
  move(centredAt_);
}

void MainWindow::showEvent(QShowEvent* event) {
  // Again with the frame, unless someone placed the window meanwhile.
  if (!placed_) {
    placed_ = true;
    if (pos() == centredAt_) CentreOnScreen();
  }
  QMainWindow::showEvent(event);
}

void MainWindow::closeEvent(QCloseEvent* event) {
  // Not under a running command: it ends first (Stop is in its progress dialog).
  if (WorkRunning()) {
    event->ignore();
    return;
  }
  StoreSettings();
  // Closing by the title bar releases the port quietly: no log line, as the window goes away.
  if (!exiting_ && PortHandle != -1) ClosePort();
  event->accept();
}

}  // namespace quillet
