// The main window. Handlers are grouped by subject in app/*.cpp:
//   Main.cpp          layout, start-up, connect/disconnect, exit, track bar, Save Log as...
//   Formfunctions.cpp enable states, chip display refresh, images <-> views
//   ChipCommands.cpp  Autosearch, Chip Erase, Read Calibration, the chip menu
//   MemoryCommands.cpp the six memory buttons
//   FileCommands.cpp  the File menu's four memory items, recent files, files dropped on the views
//   Settings.cpp      the set-up remembered between runs (QSettings)
//   HexEditing.cpp    key handling of the hex views and the "ID bytes:" field
#pragma once

#include <QList>
#include <QSize>
#include <QMainWindow>
#include <QStringList>
#include <memory>
#include <string>

#include "chips/Chipfunctions.h"
#include "image/Views.h"
#include "log/Logfunctions.h"
#include "log/Seams.h"

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

class TForm1 : public QMainWindow, public LogSink, public ChipDisplay, public ViewSink {
  Q_OBJECT

 public:
  explicit TForm1(const QString& initialPort = QString(), QWidget* parent = nullptr);
  ~TForm1() override;

  // ---- seams ----
  void AppendLine(const std::string& line) override;  // LogSink: RichEdit5
  void RefreshChipDisplay(ChipId id) override;        // ChipDisplay
  int ActivePageIndex() override;                     // ViewSink
  void BlankView(int view) override;
  void ImageToView(int view, int image) override;
  void ViewToImage(int view, int image) override;

  // ---- enable states (Formfunctions) ----
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

  // The pane of view 1..4 (RichEdit1..4), nullptr otherwise.
  QPlainTextEdit* View(int view) const;
  // ViewSize of views 1..4.
  int viewSize[5] = {3, 0, 0, 0, 0};

  // ---- controls (names as in the window's layout) ----
  QFrame* Panel1 = nullptr;
  QFrame* Panel3 = nullptr;
  QPushButton* Button1 = nullptr;  // Connect
  QPushButton* Button2 = nullptr;  // Disconnect
  QPushButton* Button3 = nullptr;  // Autosearch chip
  QPushButton* Button4 = nullptr;  // Read Program
  QPushButton* Button5 = nullptr;  // Write Program
  QPushButton* Button6 = nullptr;  // Verify Program
  QPushButton* Button7 = nullptr;  // Read Calibration
  QPushButton* Button8 = nullptr;  // Read Data
  QPushButton* Button9 = nullptr;  // Write Data
  QPushButton* Button10 = nullptr;  // Verify Data
  QPushButton* Button11 = nullptr;  // Chip Erase
  QComboBox* ComboBox1 = nullptr;
  QLabel* Label1 = nullptr;
  QSlider* TrackBar1 = nullptr;
  QLabel* Label2 = nullptr;
  QLineEdit* Edit1 = nullptr;
  QLabel* Label16 = nullptr;
  QLineEdit* Edit2 = nullptr;
  QLabel* Image1 = nullptr;
  QTabWidget* PageControl1 = nullptr;
  QWidget* TabSheet1 = nullptr;
  QWidget* TabSheet2 = nullptr;
  QPlainTextEdit* RichEdit1 = nullptr;
  QPlainTextEdit* RichEdit2 = nullptr;
  QPlainTextEdit* RichEdit3 = nullptr;
  QPlainTextEdit* RichEdit4 = nullptr;
  QPlainTextEdit* RichEdit5 = nullptr;  // the log pane
  QMenu* File1 = nullptr;
  QAction* LoadProgramfromFile1 = nullptr;
  QAction* SaveProgramtoFile1 = nullptr;
  QAction* Open1 = nullptr;
  QAction* Save1 = nullptr;
  QAction* SaveLogas1 = nullptr;
  QAction* Exit1 = nullptr;
  QMenu* Edit3 = nullptr;
  QAction* LockFuses1 = nullptr;
  // The chip commands of the buttons, with their shortcuts, and the usual cycle.
  QAction* AutosearchChip1 = nullptr;
  QAction* ReadProgram1 = nullptr;
  QAction* WriteProgram1 = nullptr;
  QAction* VerifyProgram1 = nullptr;
  QAction* ReadData1 = nullptr;
  QAction* WriteData1 = nullptr;
  QAction* VerifyData1 = nullptr;
  QAction* EraseWriteandVerifyProgram1 = nullptr;
  QAction* FastTransfers1 = nullptr;
  // File > recent files of each memory: [1] program, [2] data.
  QMenu* RecentFiles[3] = {nullptr, nullptr, nullptr};
  QMenu* ChipSelect1 = nullptr;
  QMenu* AT901 = nullptr;
  QMenu* AVRtiny1 = nullptr;
  QMenu* Help1 = nullptr;
  QAction* About1 = nullptr;
  // The other families' submenus after AT901 and AVRtiny1, and the parts of a family too
  // long for one submenu, in the order made.
  std::vector<QMenu*> familyMenus;
  // The chip menu items in catalogue order, with their object names (AT90S12001 ...); the
  // aliases' items come beside them in the menus.
  std::vector<QAction*> chipItems;

 public slots:
  void Button1Click();
  void Button2Click();
  void Button3Click();
  void Button4Click();
  void Button5Click();
  void Button6Click();
  void Button7Click();
  void Button8Click();
  void Button9Click();
  void Button10Click();
  void Button11Click();
  void ComboBox1Change();
  void TrackBar1Change();
  void Exit1Click();
  void SaveLogas1Click();
  void LoadProgramfromFile1Click();
  void SaveProgramtoFile1Click();
  void Open1Click();
  void Save1Click();
  void LockFuses1Click();
  void About1Click();
  void ChipMenuClick(ChipId id);  // every chip menu item
  void EraseWriteandVerifyProgram1Click();
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
  bool RichEditKeyDown(int view, int& key);
  bool Edit2KeyDown(int& key);
  bool RichEdit1KeyDown(int& key) { return RichEditKeyDown(1, key); }
  bool RichEdit2KeyDown(int& key) { return RichEditKeyDown(2, key); }
  bool RichEdit3KeyDown(int& key) { return RichEditKeyDown(3, key); }
  bool RichEdit4KeyDown(int& key) { return RichEditKeyDown(4, key); }

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

extern TForm1* Form1;

}  // namespace quillet
