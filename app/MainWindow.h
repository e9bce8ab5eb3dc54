// The main window. Handlers are grouped by subject in app/*.cpp:
//   MainWindow.cpp          layout, start-up, connect/disconnect, exit, track bar, Save Log as...
//   MainWindowViews.cpp enable states, chip display refresh, images <-> views
//   ChipCommands.cpp  Autosearch, Chip Erase, Read Calibration, the chip menu
//   MemoryCommands.cpp the six memory buttons
//   FileCommands.cpp  the File menu's four memory items, recent files, files dropped on the views
//   Settings.cpp      the set-up remembered between runs (QSettings)
//   HexEditing.cpp    key handling of the hex views and the "ID bytes:" field
#pragma once

#include <QList>
#include <QMainWindow>
#include <QSize>
#include <QStringList>
#include <memory>
#include <string>

#include "chips/Catalogue.h"
#include "image/Views.h"
#include "log/HostInterfaces.h"
#include "log/Log.h"

class QAction;
class QComboBox;
class QFrame;
class QLabel;
class QLineEdit;
class QMenu;
class QPlainTextEdit;
class QPushButton;
class QSlider;
class QTabWidget;
class QWidget;
class QKeyEvent;
class QSettings;
class QUrl;
class QTimer;

namespace quillet {

class MainWindow : public QMainWindow, public LogSink, public ChipDisplay, public ViewSink {
  Q_OBJECT

 public:
  explicit MainWindow(const QString& initialPort = QString(), QWidget* parent = nullptr);
  ~MainWindow() override;

  // ---- seams ----
  void AppendLine(const std::string& line) override;  // LogSink: logView
  void RefreshChipDisplay(ChipId id) override;        // ChipDisplay
  int ActivePageIndex() override;                     // ViewSink
  void BlankView(int view) override;
  void ImageToView(int view, int image) override;
  void ViewToImage(int view, int image) override;

  // ---- enable states (MainWindowViews.cpp) ----
  void EnableControls();
  void DisableControls();
  // While a command runs: everything that starts a command or changes the port, the chip, the
  // delay, the transfers or the images is disabled; afterwards the port's state decides again.
  void EnterCommand();
  void LeaveCommand();
  // The selected chip's wiring picture, the Arduino's while Quillet's firmware is the gateway.
  void ShowChipPicture();
  // After Connect, Disconnect and every command: the other picture once the gateway named itself
  // Quillet's firmware, or is gone.
  void FollowGateway();

  // ---- connect / disconnect ----
  void ConnectPort();
  void DisconnectPort();

  // The pane of view 1..4 (programView1..4), nullptr otherwise.
  QPlainTextEdit* View(int view) const;
  // ViewSize of views 1..4.
  int viewSize[5] = {3, 0, 0, 0, 0};

  // ---- controls (names as in the window's layout) ----
  QFrame* controlPanel = nullptr;
  QFrame* logPanel = nullptr;
  QPushButton* connectButton = nullptr;          // Connect
  QPushButton* disconnectButton = nullptr;       // Disconnect
  QPushButton* autosearchButton = nullptr;       // Autosearch chip
  QPushButton* readProgramButton = nullptr;      // Read Program
  QPushButton* writeProgramButton = nullptr;     // Write Program
  QPushButton* verifyProgramButton = nullptr;    // Verify Program
  QPushButton* readCalibrationButton = nullptr;  // Read Calibration
  QPushButton* readDataButton = nullptr;         // Read Data
  QPushButton* writeDataButton = nullptr;        // Write Data
  QPushButton* verifyDataButton = nullptr;       // Verify Data
  QPushButton* chipEraseButton = nullptr;        // Chip Erase
  QComboBox* portBox = nullptr;
  QLabel* delayLabel = nullptr;
  QSlider* delaySlider = nullptr;
  QLabel* chipNameLabel = nullptr;
  QLineEdit* chipNameEdit = nullptr;
  QLabel* signatureLabel = nullptr;
  QLineEdit* signatureEdit = nullptr;
  QLabel* wiringPicture = nullptr;
  QTabWidget* memoryPages = nullptr;
  QWidget* firstPage = nullptr;
  QWidget* secondPage = nullptr;
  QPlainTextEdit* programView1 = nullptr;
  QPlainTextEdit* programView2 = nullptr;
  QPlainTextEdit* dataView1 = nullptr;
  QPlainTextEdit* dataView2 = nullptr;
  QPlainTextEdit* logView = nullptr;  // the log pane
  QMenu* fileMenu = nullptr;
  QAction* loadProgramAction = nullptr;
  QAction* saveProgramAction = nullptr;
  QAction* loadDataAction = nullptr;
  QAction* saveDataAction = nullptr;
  QAction* saveLogAction = nullptr;
  QAction* exitAction = nullptr;
  QMenu* editMenu = nullptr;
  QAction* lockFusesAction = nullptr;
  // The chip commands of the buttons, with their shortcuts, and the usual cycle.
  QAction* autosearchAction = nullptr;
  QAction* readProgramAction = nullptr;
  QAction* writeProgramAction = nullptr;
  QAction* verifyProgramAction = nullptr;
  QAction* readDataAction = nullptr;
  QAction* writeDataAction = nullptr;
  QAction* verifyDataAction = nullptr;
  QAction* eraseWriteVerifyAction = nullptr;
  QAction* fastTransfersAction = nullptr;
  // File > recent files of each memory: [1] program, [2] data.
  QMenu* RecentFiles[3] = {nullptr, nullptr, nullptr};
  QMenu* chipMenu = nullptr;
  QMenu* at90Menu = nullptr;
  QMenu* avrTinyMenu = nullptr;
  QMenu* helpMenu = nullptr;
  QAction* aboutAction = nullptr;
  // The other families' submenus after at90Menu and avrTinyMenu, and the parts of a family too
  // long for one submenu, in the order made.
  std::vector<QMenu*> familyMenus;
  // The chip menu items in catalogue order, with their object names (AT90S12001 ...); the
  // aliases' items come beside them in the menus.
  std::vector<QAction*> chipItems;

 public slots:
  void ConnectClick();
  void DisconnectClick();
  void AutosearchClick();
  void ReadProgramClick();
  void WriteProgramClick();
  void VerifyProgramClick();
  void ReadCalibrationClick();
  void ReadDataClick();
  void WriteDataClick();
  void VerifyDataClick();
  void ChipEraseClick();
  void PortChange();
  void DelayChange();
  void ExitClick();
  void SaveLogClick();
  void LoadProgramClick();
  void SaveProgramClick();
  void LoadDataClick();
  void SaveDataClick();
  void LockFusesClick();
  void AboutClick();
  void ChipMenuClick(ChipId id);  // every chip menu item
  void EraseWriteVerifyClick();
  // A recent file of image 1 (program) or 2 (data): loaded as by "Load ... from File".
  void RecentFileClick(int image, const QString& path);

 public:
  // ---- files (FileCommands.cpp) ----
  // Files dropped on view 1..4: one memory file (Intel HEX, S-record, ELF, binary) loads into the view's memory.
  void DropFiles(int view, const QList<QUrl>& urls);
  // Loads a named file into image 1 or 2 as "Load ... from File" does once a name is chosen;
  // true when it was read (and it becomes the first recent file).
  bool LoadNamedFile(int image, const std::string& path);
  static constexpr int kRecentCount = 8;
  // The window's first size, menu bar included; the user's own is kept in the settings.
  static constexpr QSize kInitialSize{685, 547};
  // The recent files of image 1 or 2, newest first.
  QStringList RecentFileList(int image) const;
  // path first, once, in a list of at most kRecentCount.
  static QStringList WithRecent(QStringList list, const QString& path);
  // Refills a recent files menu; files no longer there are greyed.
  void RefreshRecentMenu(int image);

  // ---- settings (Settings.cpp) ----
  // The port box, delay, page, dialog folders and filters and the chip last chosen from the
  // menu, from the user's settings; a port given on the command line wins. Unreadable or
  // malformed settings leave the defaults.
  void RestoreSettings(const QString& portArgument);
  // Writes the current set-up to the user's settings.
  void StoreSettings();
  // A part of the set-up changed: it is written shortly after, several changes at once, so a
  // session that ends without closing the window keeps it.
  void SettingsChanged();
  static constexpr int kSettingsDelayMs = 500;

 public:
  // ---- hex view editing: key is the key code (digits/letters upper-case codes, Backspace 8,
  // arrows 37-40, Delete 46); returns true when the key was consumed ----
  bool ViewKeyDown(int view, int& key);
  bool SignatureKeyDown(int& key);
  bool ProgramView1KeyDown(int& key) { return ViewKeyDown(1, key); }
  bool ProgramView2KeyDown(int& key) { return ViewKeyDown(2, key); }
  bool DataView1KeyDown(int& key) { return ViewKeyDown(3, key); }
  bool DataView2KeyDown(int& key) { return ViewKeyDown(4, key); }

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;
  void closeEvent(QCloseEvent* event) override;
  void showEvent(QShowEvent* event) override;

 private:
  void BuildLayout(const QString& initialPort);
  void BuildMenus();
  // The whole window, frame and menu bar included, in the middle of the screen's work area.
  void CentreOnScreen();
  // Memory operations driver (MemoryCommands.cpp).
  void RunMemoryOperation(int operation);
  void BuildCommandMenu();
  void InstallDropTargets();
  void AddRecentFile(int image, const QString& path);
  QSettings& Settings();
  std::unique_ptr<QSettings> settings_;
  QTimer* settingsTimer_ = nullptr;
  bool settingsEnabled_ = false;  // only a window that read the user's settings writes them
  bool settingsReadable_ = true;
  ChipId handChip_ = 0;  // the chip last chosen from the menu
  QStringList recent_[3];
  bool exiting_ = false;
  bool portOpenAtStart_ = false;
  bool placed_ = false;  // centred on the first show; afterwards where the user puts it
  // The picture was chosen for Quillet's firmware: the Arduino's where it could be read. Kept as
  // chosen, so a missing file is not looked for again after every command.
  bool pictureForQuillet_ = false;
  // report: a picture that cannot be shown gets its message (at the selection, not afterwards).
  void ShowWiringPicture(bool report);
  QPoint centredAt_;
};

extern MainWindow* Form1;

}  // namespace quillet
