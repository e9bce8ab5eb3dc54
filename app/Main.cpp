// The main window: layout, start-up state, connect/disconnect, exit, track bar, Save Log as...
#include "app/Main.h"
#include "app/PortList.h"

#include <QAction>
#include <QCloseEvent>
#include <QShowEvent>
#include <QComboBox>
#include <QFontDatabase>
#include <QFrame>
#include <QBoxLayout>
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
#include <QSlider>
#include <QTabWidget>

#include <cerrno>
#include <map>
#include <cstdio>
#include <cstring>

#include "chips/FastTransport.h"
#include "chips/PartTable.h"
#include "commands/Driver.h"
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

TForm1::TForm1(const QString& initialPort, QWidget* parent) : QMainWindow(parent) {
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
  DelayValue = TrackBar1->value();
  connect(&Work(), &WorkNotifier::started, this, &TForm1::EnterCommand);
  connect(&Work(), &WorkNotifier::ended, this, &TForm1::LeaveCommand);
}

TForm1::~TForm1() {
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
  setCentralWidget(client);

  // ---- control panel ----
  Panel1 = Make<QFrame>(client, "Panel1");
  Panel1->setFrameStyle(QFrame::Panel | QFrame::Raised);
  Panel1->setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Maximum);

  // Connect comes first: Qt starts the Tab chain with the first focusable widget made.
  Button1 = MakeButton(Panel1, "Button1", "Connect");
  Button2 = MakeButton(Panel1, "Button2", "Disconnect");

  auto* ports = Make<PortBox>(Panel1, "ComboBox1");
  ComboBox1 = ports;
  ComboBox1->setEditable(true);
  ComboBox1->setInsertPolicy(QComboBox::NoInsert);
  ComboBox1->setFont(SansFont(13));
  // Wide enough for a whole device path such as /dev/ttyUSB0.
  ComboBox1->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
  ComboBox1->setMinimumContentsLength(0);
  ComboBox1->setMinimumWidth(QFontMetrics(ComboBox1->font()).horizontalAdvance("/dev/ttyUSB0") + 36);
  ComboBox1->setAccessibleName("Port");
  ComboBox1->lineEdit()->setAccessibleName("Port");
  ports->SetSource(SystemPorts);
  // A USB device (a gateway, most likely) where there is one, COM1 otherwise.
  const QList<PortItem> listed = PortItems(SystemPorts());
  ComboBox1->setEditText(listed.front().usb ? listed.front().device : QStringLiteral("COM1"));
  if (!initialPort.isEmpty()) ComboBox1->setEditText(initialPort);

  Button3 = MakeButton(Panel1, "Button3", "Autosearch chip");
  Button3->setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Expanding);

  Label2 = MakeLabel(Panel1, "Label2", "Chip name:");
  Label2->setFont(SansFont(13));
  Edit1 = Make<QLineEdit>(Panel1, "Edit1");
  Edit1->setReadOnly(true);
  Edit1->setText("None");
  SetBackground(Edit1, kTooltipBackground);
  Label2->setBuddy(Edit1);

  Label16 = MakeLabel(Panel1, "Label16", "ID bytes:");
  Label16->setFont(SansFont(13));
  Edit2 = Make<QLineEdit>(Panel1, "Edit2");
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
  Edit2->setMinimumWidth(QFontMetrics(Edit2->font()).horizontalAdvance("FF FF FF") + 12);
  {
    QPalette p = Edit2->palette();
    p.setColor(QPalette::Base, kTooltipBackground);
    p.setColor(QPalette::Text, Qt::red);
    Edit2->setPalette(p);
  }
  Label16->setBuddy(Edit2);

  Label1 = MakeLabel(Panel1, "Label1", "Delays value:");
  TrackBar1 = Make<QSlider>(Panel1, "TrackBar1");
  TrackBar1->setOrientation(Qt::Horizontal);
  TrackBar1->setRange(0, 5);
  TrackBar1->setSingleStep(1);
  TrackBar1->setPageStep(1);
  TrackBar1->setTickInterval(1);
  TrackBar1->setTickPosition(QSlider::TicksBelow);
  TrackBar1->setValue(1);
  Label1->setBuddy(TrackBar1);
  TrackBar1->setAccessibleName("Delays value");
  // The value as a number beside the slider.
  auto* delayShown = MakeLabel(Panel1, "TrackBar1Value", "1");
  delayShown->setMinimumWidth(QFontMetrics(delayShown->font()).horizontalAdvance("00"));
  connect(TrackBar1, &QSlider::valueChanged, delayShown,
          [delayShown](int value) { delayShown->setText(QString::number(value)); });

  Button4 = MakeButton(Panel1, "Button4", "Read Program");
  Button5 = MakeButton(Panel1, "Button5", "Write Program");
  Button6 = MakeButton(Panel1, "Button6", "Verify Program");
  Button7 = MakeButton(Panel1, "Button7", "Read Calibration");
  Button8 = MakeButton(Panel1, "Button8", "Read Data");
  Button9 = MakeButton(Panel1, "Button9", "Write Data");
  Button10 = MakeButton(Panel1, "Button10", "Verify Data");
  Button11 = MakeButton(Panel1, "Button11", "Chip Erase");

  Image1 = Make<QLabel>(Panel1, "Image1");
  Image1->setAlignment(Qt::AlignLeft | Qt::AlignTop);
  Image1->setScaledContents(false);
  // The largest picture whole: the Arduino's, 11 px taller than the others for its capacitor.
  Image1->setMinimumSize(335, 128);
  Image1->setAccessibleName("Wiring picture");

  {
    auto* grid = new QGridLayout;
    grid->setSpacing(1);
    grid->addWidget(Button1, 0, 0);
    grid->addWidget(Button2, 1, 0);
    grid->addWidget(ComboBox1, 2, 0, 1, 2);
    grid->addWidget(Button3, 0, 1, 2, 1);
    grid->addWidget(Label2, 0, 2, Qt::AlignBottom);
    grid->addWidget(Edit1, 1, 2);
    grid->addWidget(Label16, 0, 3, Qt::AlignBottom);
    grid->addWidget(Edit2, 1, 3);
    auto* delay = new QHBoxLayout;
    delay->setSpacing(2);
    delay->addWidget(Label1);
    delay->addWidget(TrackBar1, 1);
    delay->addWidget(delayShown);
    grid->addLayout(delay, 2, 2, 1, 2);
    QPushButton* memory[2][4] = {{Button4, Button5, Button6, Button7},
                                 {Button8, Button9, Button10, Button11}};
    for (int row = 0; row < 2; ++row)
      for (int column = 0; column < 4; ++column) grid->addWidget(memory[row][column], 4 + row, column);
    grid->setRowMinimumHeight(3, 4);
    auto* panel = new QHBoxLayout(Panel1);
    panel->setContentsMargins(3, 3, 1, 3);
    panel->setSpacing(3);
    panel->addLayout(grid);
    panel->addWidget(Image1, 1);
  }

  // Top left to bottom right: the port, the chip, the delay, then the memory buttons by rows.
  QWidget* order[] = {Button1, Button2, ComboBox1, Button3, TrackBar1, Edit1,   Edit2,
                      Button4, Button5, Button6,   Button7, Button8,   Button9, Button10,
                      Button11};
  for (size_t i = 0; i + 1 < std::size(order); ++i) setTabOrder(order[i], order[i + 1]);

  // ---- the two pages of views ----
  PageControl1 = Make<QTabWidget>(client, "PageControl1");
  TabSheet1 = new QWidget;
  TabSheet1->setObjectName("TabSheet1");
  TabSheet2 = new QWidget;
  TabSheet2->setObjectName("TabSheet2");
  PageControl1->addTab(TabSheet1, "Page1");
  PageControl1->addTab(TabSheet2, "Page2");
  RichEdit1 = MakeView(TabSheet1, "RichEdit1");
  RichEdit3 = MakeView(TabSheet1, "RichEdit3");
  RichEdit2 = MakeView(TabSheet2, "RichEdit2");
  RichEdit4 = MakeView(TabSheet2, "RichEdit4");
  struct Sheet {
    QWidget* sheet;
    const char* labels[2];
    QPlainTextEdit* views[2];
    const char* page;
  };
  for (const Sheet& s : {Sheet{TabSheet1, {"Label3", "Label4"}, {RichEdit1, RichEdit3}, "Page 1"},
                         Sheet{TabSheet2, {"Label5", "Label6"}, {RichEdit2, RichEdit4}, "Page 2"}}) {
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
  PageControl1->setCurrentIndex(0);

  // ---- the log ----
  Panel3 = Make<QFrame>(client, "Panel3");
  Panel3->setFrameStyle(QFrame::Panel | QFrame::Raised);
  QLabel* logLabel = MakeLabel(Panel3, "Label7", "Log:");
  RichEdit5 = Make<QPlainTextEdit>(Panel3, "RichEdit5");
  RichEdit5->setReadOnly(true);
  RichEdit5->setUndoRedoEnabled(false);
  RichEdit5->setLineWrapMode(QPlainTextEdit::NoWrap);
  RichEdit5->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  RichEdit5->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  RichEdit5->setFont(MonoFont(13));
  RichEdit5->setMinimumHeight(3 * QFontMetrics(RichEdit5->font()).lineSpacing());
  SetBackground(RichEdit5, kCream);
  Caption(logLabel, RichEdit5, "Log");
  {
    auto* column = new QVBoxLayout(Panel3);
    column->setContentsMargins(4, 4, 4, 4);
    column->setSpacing(2);
    column->addWidget(logLabel);
    column->addWidget(RichEdit5, 1);
  }

  {
    auto* whole = new QVBoxLayout(client);
    whole->setContentsMargins(0, 0, 0, 0);
    whole->setSpacing(0);
    whole->addWidget(Panel1);
    whole->addWidget(PageControl1, 2);
    whole->addWidget(Panel3, 1);
  }

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

  File1 = bar->addMenu("&File");
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

  Edit3 = bar->addMenu("&Edit");
  Edit3->setObjectName("Edit3");
  LockFuses1 = item(Edit3, "LockFuses1", "Lock && Fuses...", &TForm1::LockFuses1Click);
  BuildCommandMenu();
  // Blocks, a faster line and SPI clock with Quillet's own gateway firmware; off keeps to the
  // one-instruction exchanges every gateway takes.
  Edit3->addSeparator()->setObjectName("N7");
  QAction* fast = FastTransfers1 = Edit3->addAction("Fast Transfers with Quillet Firmware");
  fast->setObjectName("FastTransfers1");
  fast->setCheckable(true);
  fast->setChecked(FastTransfersEnabled());
  connect(fast, &QAction::toggled, this, [this](bool on) {
    SetFastTransfers(on);
    SettingsChanged();
  });

  ChipSelect1 = bar->addMenu("&Chip Select");
  ChipSelect1->setObjectName("ChipSelect1");
  AT901 = ChipSelect1->addMenu("AT90...");
  AT901->setObjectName("AT901");
  AVRtiny1 = ChipSelect1->addMenu("AVR tiny");
  AVRtiny1->setObjectName("AVRtiny1");

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
  std::vector<Family> families{{"AT90...", AT901, {}}, {"AVR tiny", AVRtiny1, {}}};
  auto familyOf = [&families](const QString& title) -> Family& {
    // The newer ATtiny and AT90 parts join the first chips' submenus.
    const QString merged = title == "ATtiny" ? QString("AVR tiny") : title.startsWith("AT90") ? QString("AT90...") : title;
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
                                           : chip.submenu ? chip.submenu : ""));
    const QString name = QString::fromUtf8(chip.name);
    f.items.push_back({name, uniqueName(name), chip.id, true});
    if (chip.part && chip.part->aliases)
      for (const QString& alias : QString::fromUtf8(chip.part->aliases).split(',', Qt::SkipEmptyParts))
        f.items.push_back({alias.trimmed(), uniqueName(alias.trimmed()), chip.id, false});
  }
  std::map<ChipId, QAction*> primary;
  for (Family& f : families) {
    if (!f.menu) {
      f.menu = ChipSelect1->addMenu(f.title);
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

  Help1 = bar->addMenu("&Help");
  Help1->setObjectName("Help1");
  About1 = item(Help1, "About1", "About Program", &TForm1::About1Click);
}

void TForm1::AppendLine(const std::string& line) {
  RichEdit5->appendPlainText(QString::fromStdString(line));
}

void TForm1::ConnectPort() {
  const std::string name = static_cast<PortBox*>(ComboBox1)->Device().toStdString();
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

void TForm1::DisconnectPort() {
  if (PortHandle != -1) ClosePort();
  ForgetChipFuses();
  PortHandle = -1;
  DisableControls();
  FollowGateway();
  AddLog(LogKind::PortClosed, "");
}

// The port stays as it is under a running command, whatever reaches these.
void TForm1::Button1Click() {
  if (!WorkRunning()) ConnectPort();
}
void TForm1::Button2Click() {
  if (!WorkRunning()) DisconnectPort();
}

void TForm1::ComboBox1Change() {
  if (PortHandle != -1 && !WorkRunning()) DisconnectPort();
}

void TForm1::TrackBar1Change() { DelayValue = TrackBar1->value(); }

void TForm1::Exit1Click() {
  if (WorkRunning()) return;
  if (PortHandle != -1) DisconnectPort();
  exiting_ = true;
  close();
}

void TForm1::SaveLogas1Click() {
  std::optional<FileChoice> choice = GetUserPrompt().SaveLogFile();
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
  if (!file.Note().empty()) AddLog(LogKind::Text, "Note: " + file.Note());
  AddLog(LogKind::LogSaved, path);
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
