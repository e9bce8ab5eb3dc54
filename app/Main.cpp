// The main window: layout, start-up state, connect/disconnect, exit, track bar, Save Log as...
#include "app/Main.h"

#include <QAction>
#include <QCloseEvent>
#include <QShowEvent>
#include <QComboBox>
#include <QFontDatabase>
#include <QFrame>
#include <QGuiApplication>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScreen>
#include <QSet>
#include <QSettings>
#include <QSerialPortInfo>
#include <QSlider>
#include <QTabWidget>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "chips/FastTransport.h"
#include "dialogs/AboutBox.h"
#include "dialogs/Worker.h"
#include "image/SafeFile.h"
#include "link/Portfunctions.h"
#include "log/Rtf.h"

namespace quillet {

TForm1* Form1 = nullptr;

namespace {

const QColor kCream(255, 251, 240);
const QColor kTooltipBackground(255, 255, 225);

// "MS Sans Serif" is a Windows font. Liberation Sans has nearly its widths, so the captions
// fit their fixed boxes; failing both, the desktop's sans font at the same pixel size.
QFont SansFont(int pixels) {
  QFont font;
  if (QFontDatabase::hasFamily("MS Sans Serif"))
    font = QFont("MS Sans Serif");
  else if (QFontDatabase::hasFamily("Liberation Sans"))
    font = QFont("Liberation Sans");
  else
    font = QFontDatabase::systemFont(QFontDatabase::GeneralFont);
  font.setPixelSize(pixels);
  return font;
}

QFont MonoFont(int pixels) {
  QFont font;
  if (QFontDatabase::hasFamily("Courier New"))
    font = QFont("Courier New");
  else if (QFontDatabase::hasFamily("Liberation Mono"))
    font = QFont("Liberation Mono");
  else
    font = QFontDatabase::systemFont(QFontDatabase::FixedFont);
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
W* Make(QWidget* parent, const char* name, int x, int y, int w, int h) {
  auto* widget = new W(parent);
  widget->setObjectName(name);
  widget->setGeometry(x, y, w, h);
  return widget;
}

QPushButton* MakeButton(QWidget* parent, const char* name, const char* caption, int x, int y,
                        int w, int h) {
  auto* b = Make<QPushButton>(parent, name, x, y, w, h);
  b->setText(caption);
  return b;
}

QLabel* MakeLabel(QWidget* parent, const char* name, const char* caption, int x, int y, int w,
                  int h) {
  auto* l = Make<QLabel>(parent, name, x, y, w, h);
  l->setText(caption);
  return l;
}

// A hex view: read-only, yet the cursor shows and keys reach the window's filter.
QPlainTextEdit* MakeView(QWidget* parent, const char* name, int x, int y, int w, int h) {
  auto* v = Make<QPlainTextEdit>(parent, name, x, y, w, h);
  v->setReadOnly(true);
  v->setTextInteractionFlags(Qt::TextSelectableByKeyboard | Qt::TextSelectableByMouse);
  v->setUndoRedoEnabled(false);
  v->setLineWrapMode(QPlainTextEdit::NoWrap);
  v->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  v->setFont(MonoFont(13));
  return v;
}

}  // namespace

TForm1::TForm1(const QString& initialPort, QWidget* parent) : QMainWindow(parent) {
  Form1 = this;
  BuildLayout(initialPort);
  BuildMenus();
  // Fixed at the full size, menu bar included (it counts once the bar exists): a maximum
  // without it let a window manager cut off the bottom of the log.
  adjustSize();
  setFixedSize(sizeHint());
  CentreOnScreen();

  InstallDropTargets();

  SetLogSink(this);
  SetChipDisplay(this);
  SetViewSink(this);

  DisableControls();
  PortHandle = -1;
  SelectedChip = 0;
  DelayValue = TrackBar1->value();
  // A failed exchange closes the port: the window then shows it closed, as after Disconnect,
  // without a line of its own (the failure has logged one).
  SetWorkEndedHandler([this] {
    if (PortHandle == -1 && Button2->isEnabled()) DisableControls();
  });
}

TForm1::~TForm1() {
  SetWorkEndedHandler(nullptr);
  if (GetLogSink() == this) SetLogSink(nullptr);
  SetChipDisplay(nullptr);
  SetViewSink(nullptr);
  if (Form1 == this) Form1 = nullptr;
}

void TForm1::BuildLayout(const QString& initialPort) {
  setObjectName("Form1");
  setWindowTitle("Quillet");
  setFont(SansFont(11));

  auto* client = new QWidget(this);
  client->setObjectName("ClientArea");
  client->setFixedSize(685, 529);
  setCentralWidget(client);

  // ---- control panel ----
  Panel1 = Make<QFrame>(client, "Panel1", 0, 0, 685, 129);
  Panel1->setFrameStyle(QFrame::Panel | QFrame::Raised);

  // The controls are made in their Tab order: Qt starts the chain with the first focusable
  // widget made, and setTabOrder() cannot move a later one to its head.
  Label2 = MakeLabel(Panel1, "Label2", "Chip name:", 186, 4, 67, 16);
  Label2->setFont(SansFont(13));
  Edit1 = Make<QLineEdit>(Panel1, "Edit1", 184, 22, 89, 22);
  Edit1->setReadOnly(true);
  Edit1->setText("None");
  SetBackground(Edit1, kTooltipBackground);

  Button1 = MakeButton(Panel1, "Button1", "Connect", 8, 4, 81, 21);
  Button2 = MakeButton(Panel1, "Button2", "Disconnect", 8, 24, 81, 21);

  ComboBox1 = Make<QComboBox>(Panel1, "ComboBox1", 8, 48, 81, 24);
  ComboBox1->setEditable(true);
  ComboBox1->setInsertPolicy(QComboBox::NoInsert);
  ComboBox1->setFont(SansFont(13));
  for (int i = 1; i <= 10; ++i) ComboBox1->addItem(QString("COM%1").arg(i));
  for (const QSerialPortInfo& info : QSerialPortInfo::availablePorts()) {
    QString location = info.systemLocation();
    if (!location.isEmpty() && ComboBox1->findText(location) < 0) ComboBox1->addItem(location);
  }
  ComboBox1->setCurrentIndex(0);
  if (!initialPort.isEmpty()) ComboBox1->setEditText(initialPort);

  Button3 = MakeButton(Panel1, "Button3", "Autosearch chip", 95, 4, 86, 41);

  Label16 = MakeLabel(Panel1, "Label16", "ID bytes:", 278, 4, 52, 16);
  Label16->setFont(SansFont(13));
  Edit2 = Make<QLineEdit>(Panel1, "Edit2", 276, 22, 68, 22);
  // Writable only so that Qt draws its cursor; the key filter lets no key change the text but
  // through the ID bytes editor.
  Edit2->setReadOnly(false);
  Edit2->setContextMenuPolicy(Qt::NoContextMenu);
  Edit2->setAcceptDrops(false);
  Edit2->setDragEnabled(false);
  Edit2->setAttribute(Qt::WA_InputMethodEnabled, false);
  Edit2->setText("FF FF FF");
  Edit2->setFont(MonoFont(13));
  Edit2->setTextMargins(0, 0, 0, 0);
  {
    QPalette p = Edit2->palette();
    p.setColor(QPalette::Base, kTooltipBackground);
    p.setColor(QPalette::Text, Qt::red);
    Edit2->setPalette(p);
  }

  Image1 = Make<QLabel>(Panel1, "Image1", 348, 4, 335, 117);
  Image1->setAlignment(Qt::AlignLeft | Qt::AlignTop);
  Image1->setScaledContents(false);

  Button4 = MakeButton(Panel1, "Button4", "Read Program", 8, 80, 82, 21);
  Button8 = MakeButton(Panel1, "Button8", "Read Data", 8, 100, 82, 21);
  Button5 = MakeButton(Panel1, "Button5", "Write Program", 89, 80, 75, 21);
  Button9 = MakeButton(Panel1, "Button9", "Write Data", 89, 100, 75, 21);
  Button6 = MakeButton(Panel1, "Button6", "Verify Program", 163, 80, 82, 21);
  Button10 = MakeButton(Panel1, "Button10", "Verify Data", 163, 100, 82, 21);
  Button7 = MakeButton(Panel1, "Button7", "Read Calibration", 244, 80, 101, 21);
  Button11 = MakeButton(Panel1, "Button11", "Chip Erase", 244, 100, 101, 21);

  Label1 = MakeLabel(Panel1, "Label1", "Delays value:", 116, 50, 64, 13);
  Label1->setFixedWidth(std::max(64, std::min(68, Label1->sizeHint().width())));  // up to the track bar
  TrackBar1 = Make<QSlider>(Panel1, "TrackBar1", 184, 46, 160, 30);
  TrackBar1->setOrientation(Qt::Horizontal);
  TrackBar1->setRange(0, 5);
  TrackBar1->setSingleStep(1);
  TrackBar1->setPageStep(1);
  TrackBar1->setTickInterval(1);
  TrackBar1->setTickPosition(QSlider::TicksBelow);
  TrackBar1->setValue(1);

  // Restates the creation order above, which is what places each control.
  QWidget* order[] = {Edit1,   Button1, Button2, ComboBox1, Button3,  Edit2,    Button4,  Button8,
                      Button5, Button9, Button6, Button10,  Button7,  Button11, TrackBar1};
  for (size_t i = 0; i + 1 < std::size(order); ++i) setTabOrder(order[i], order[i + 1]);

  // ---- the two pages of views ----
  PageControl1 = Make<QTabWidget>(client, "PageControl1", 0, 128, 685, 273);
  TabSheet1 = new QWidget;
  TabSheet1->setObjectName("TabSheet1");
  TabSheet2 = new QWidget;
  TabSheet2->setObjectName("TabSheet2");
  PageControl1->addTab(TabSheet1, "Page1");
  PageControl1->addTab(TabSheet2, "Page2");
  MakeLabel(TabSheet1, "Label3", "Program Memory (Flash):", 0, 0, 200, 16);
  MakeLabel(TabSheet1, "Label4", "Data Memory (EEPROM):", 0, 160, 200, 16);
  MakeLabel(TabSheet2, "Label5", "Program Memory (Flash):", 0, 0, 200, 16);
  MakeLabel(TabSheet2, "Label6", "Data Memory (EEPROM):", 0, 160, 200, 16);
  RichEdit1 = MakeView(TabSheet1, "RichEdit1", 0, 16, 677, 137);
  RichEdit3 = MakeView(TabSheet1, "RichEdit3", 0, 176, 677, 65);
  RichEdit2 = MakeView(TabSheet2, "RichEdit2", 0, 16, 677, 137);
  RichEdit4 = MakeView(TabSheet2, "RichEdit4", 0, 176, 677, 65);
  PageControl1->setCurrentIndex(0);

  // ---- the log ----
  Panel3 = Make<QFrame>(client, "Panel3", 0, 400, 685, 129);
  Panel3->setFrameStyle(QFrame::Panel | QFrame::Raised);
  MakeLabel(Panel3, "Label7", "Log:", 8, 4, 100, 14);
  RichEdit5 = Make<QPlainTextEdit>(Panel3, "RichEdit5", 4, 20, 677, 105);
  RichEdit5->setReadOnly(true);
  RichEdit5->setUndoRedoEnabled(false);
  RichEdit5->setLineWrapMode(QPlainTextEdit::NoWrap);
  RichEdit5->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  RichEdit5->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  RichEdit5->setFont(MonoFont(13));
  SetBackground(RichEdit5, kCream);

  for (QWidget* w : {static_cast<QWidget*>(RichEdit1), static_cast<QWidget*>(RichEdit2),
                     static_cast<QWidget*>(RichEdit3), static_cast<QWidget*>(RichEdit4),
                     static_cast<QWidget*>(Edit2)})
    w->installEventFilter(this);

  connect(Button1, &QPushButton::clicked, this, &TForm1::Button1Click);
  connect(Button2, &QPushButton::clicked, this, &TForm1::Button2Click);
  connect(Button3, &QPushButton::clicked, this, &TForm1::Button3Click);
  connect(Button4, &QPushButton::clicked, this, &TForm1::Button4Click);
  connect(Button5, &QPushButton::clicked, this, &TForm1::Button5Click);
  connect(Button6, &QPushButton::clicked, this, &TForm1::Button6Click);
  connect(Button7, &QPushButton::clicked, this, &TForm1::Button7Click);
  connect(Button8, &QPushButton::clicked, this, &TForm1::Button8Click);
  connect(Button9, &QPushButton::clicked, this, &TForm1::Button9Click);
  connect(Button10, &QPushButton::clicked, this, &TForm1::Button10Click);
  connect(Button11, &QPushButton::clicked, this, &TForm1::Button11Click);
  // Picking an item also changes the edit text, so this one signal covers both.
  connect(ComboBox1, &QComboBox::editTextChanged, this, &TForm1::ComboBox1Change);
  connect(TrackBar1, &QSlider::valueChanged, this, &TForm1::TrackBar1Change);
  connect(ComboBox1, &QComboBox::editTextChanged, this, &TForm1::SettingsChanged);
  connect(TrackBar1, &QSlider::valueChanged, this, &TForm1::SettingsChanged);
  connect(PageControl1, &QTabWidget::currentChanged, this, &TForm1::SettingsChanged);

}

void TForm1::BuildMenus() {
  QMenuBar* bar = menuBar();
  bar->setObjectName("MainMenu1");

  auto item = [this](QMenu* menu, const char* name, const char* caption, auto slot) {
    QAction* a = menu->addAction(caption);
    a->setObjectName(name);
    connect(a, &QAction::triggered, this, slot);
    return a;
  };

  File1 = bar->addMenu("File");
  File1->setObjectName("File1");
  LoadProgramfromFile1 = item(File1, "LoadProgramfromFile1", "Load Program from File...",
                              &TForm1::LoadProgramfromFile1Click);
  SaveProgramtoFile1 = item(File1, "SaveProgramtoFile1", "Save Program to File...",
                            &TForm1::SaveProgramtoFile1Click);
  RecentFiles[1] = File1->addMenu("Recent Program Files");
  RecentFiles[1]->setObjectName("RecentProgramFiles1");
  File1->addSeparator()->setObjectName("N1");
  Open1 = item(File1, "Open1", "Load Data from File...", &TForm1::Open1Click);
  Save1 = item(File1, "Save1", "Save Data to File...", &TForm1::Save1Click);
  RecentFiles[2] = File1->addMenu("Recent Data Files");
  RecentFiles[2]->setObjectName("RecentDataFiles1");
  for (int image = 1; image <= 2; ++image) {
    // A file may have gone since the list was made: greyed each time the menus open.
    connect(File1, &QMenu::aboutToShow, this, [this, image] { RefreshRecentMenu(image); });
    RefreshRecentMenu(image);
  }
  File1->addSeparator()->setObjectName("N4");
  SaveLogas1 = item(File1, "SaveLogas1", "Save Log as...", &TForm1::SaveLogas1Click);
  Exit1 = item(File1, "Exit1", "Exit", &TForm1::Exit1Click);

  Edit3 = bar->addMenu("Edit");
  Edit3->setObjectName("Edit3");
  LockFuses1 = item(Edit3, "LockFuses1", "Lock && Fuses...", &TForm1::LockFuses1Click);
  BuildCommandMenu();
  // Blocks, a faster line and SPI clock with Quillet's own gateway firmware; off keeps to the
  // one-instruction exchanges every gateway takes.
  Edit3->addSeparator()->setObjectName("N7");
  QAction* fast = Edit3->addAction("Fast Transfers with Quillet Firmware");
  fast->setObjectName("FastTransfers1");
  fast->setCheckable(true);
  fast->setChecked(FastTransfersEnabled());
  connect(fast, &QAction::toggled, this, [this](bool on) {
    SetFastTransfers(on);
    SettingsChanged();
  });

  ChipSelect1 = bar->addMenu("Chip Select");
  ChipSelect1->setObjectName("ChipSelect1");
  AT901 = ChipSelect1->addMenu("AT90...");
  AT901->setObjectName("AT901");
  AVRtiny1 = ChipSelect1->addMenu("AVR tiny");
  AVRtiny1->setObjectName("AVRtiny1");
  int index = 0;
  for (const ChipItem& chip : kChipItems) {
    QMenu* menu = index < kAt90ItemCount ? AT901 : AVRtiny1;
    QAction* a = menu->addAction(chip.caption);
    a->setObjectName(chip.objectName);
    const ChipEntry* entry = FindChipByName(chip.caption);
    ChipId id = entry ? entry->id : Catalogue()[index].id;
    connect(a, &QAction::triggered, this, [this, id] { ChipMenuClick(id); });
    chipItems.push_back(a);
    ++index;
  }

  // The newer chips, after the first two submenus: one submenu per catalogue submenu text, in
  // catalogue order. Object names follow the scheme of the first items (the caption and a 1),
  // with another 1 while the name is taken, so no two objects of the window share one.
  QSet<QString> taken{objectName()};
  for (const QObject* o : findChildren<QObject*>()) taken.insert(o->objectName());
  auto uniqueName = [&taken](const char* caption) {
    QString name;
    for (const QChar ch : QString::fromUtf8(caption))
      if (ch.isLetterOrNumber()) name += ch;
    name += '1';
    while (taken.contains(name)) name += '1';
    taken.insert(name);
    return name;
  };
  const std::vector<ChipEntry>& catalogue = Catalogue();
  for (size_t i = kChipCount; i < catalogue.size(); ++i) {
    const ChipEntry& chip = catalogue[i];
    const QString title = QString::fromUtf8(chip.submenu ? chip.submenu : "");
    QMenu* menu = nullptr;
    for (QMenu* m : familyMenus)
      if (m->title() == title) menu = m;
    if (!menu) {
      menu = ChipSelect1->addMenu(title);
      menu->setObjectName(uniqueName(chip.submenu ? chip.submenu : ""));
      familyMenus.push_back(menu);
    }
    QAction* a = menu->addAction(QString::fromUtf8(chip.name));
    a->setObjectName(uniqueName(chip.name));
    const ChipId id = chip.id;
    connect(a, &QAction::triggered, this, [this, id] { ChipMenuClick(id); });
    chipItems.push_back(a);
  }

  Help1 = bar->addMenu("Help");
  Help1->setObjectName("Help1");
  About1 = item(Help1, "About1", "About Program", &TForm1::About1Click);
}

void TForm1::AppendLine(const std::string& line) {
  RichEdit5->appendPlainText(QString::fromStdString(line));
}

void TForm1::ConnectPort() {
  const std::string name = ComboBox1->currentText().toStdString();
  if (name.size() > kMaxPortName) {
    // Too long for a device name: refused as an unavailable port, nothing is opened.
    AddLog(2, "");
    return;
  }
  // Never leave a handle behind if a connect comes while the port is still open.
  if (PortHandle != -1) ClosePort();
  const std::string device = DeviceName(name);
  OpenPort(device);
  if (PortHandle == -1) return;
  EnableControls();
  AddLog(1, device);
}

void TForm1::DisconnectPort() {
  if (PortHandle != -1) ClosePort();
  PortHandle = -1;
  DisableControls();
  AddLog(3, "");
}

void TForm1::Button1Click() { ConnectPort(); }
void TForm1::Button2Click() { DisconnectPort(); }

void TForm1::ComboBox1Change() {
  if (PortHandle != -1) DisconnectPort();
}

void TForm1::TrackBar1Change() { DelayValue = TrackBar1->value(); }

void TForm1::Exit1Click() {
  if (PortHandle != -1) DisconnectPort();
  exiting_ = true;
  close();
}

void TForm1::SaveLogas1Click() {
  std::optional<FileChoice> choice = GetUserPrompt().SaveFile();
  if (!choice) return;
  const std::string& path = choice->path;

  std::vector<std::string> lines;
  const QString text = RichEdit5->toPlainText();
  if (!text.isEmpty())
    for (const QString& line : text.split(QChar('\n'))) lines.push_back(line.toStdString());
  const std::string rtf = LogToRtf(lines);

  // Saved as every file is: a full disk leaves the old log whole, and a log saved over keeps
  // its owner, mode and links.
  SafeFile file;
  if (!file.Create(path) || !file.Write(rtf.data(), rtf.size()) || !file.Commit()) {
    // A failed save must not be logged as a saved log.
    GetUserPrompt().ShowMessage("Error",
                                "The log could not be saved to file " + path + ": " + file.Why());
    return;
  }
  if (!file.Note().empty()) AddLog(0, "Note: " + file.Note());
  AddLog(8, path);
}

void TForm1::About1Click() {
  // The one About box made at start-up, shown without blocking the window.
  if (!AboutBox) return;
  AboutBox->show();
  AboutBox->raise();
  AboutBox->activateWindow();
}

void TForm1::CentreOnScreen() {
  QScreen* screen = this->screen() ? this->screen() : QGuiApplication::primaryScreen();
  if (!screen) return;
  // move() places the frame; its size is known once the window is shown.
  const QSize whole = frameGeometry().size();
  centredAt_ = screen->availableGeometry().center() - QPoint(whole.width() / 2, whole.height() / 2);
  move(centredAt_);
}

void TForm1::showEvent(QShowEvent* event) {
  // Again with the frame, unless someone placed the window meanwhile.
  if (!placed_) {
    placed_ = true;
    if (pos() == centredAt_) CentreOnScreen();
  }
  QMainWindow::showEvent(event);
}

void TForm1::closeEvent(QCloseEvent* event) {
  StoreSettings();
  // Closing by the title bar releases the port quietly: no log line, as the window goes away.
  if (!exiting_ && PortHandle != -1) ClosePort();
  event->accept();
}

}  // namespace quillet
