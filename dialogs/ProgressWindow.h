// The progress dialog: a bare window with one progress bar, shown while a long command runs.
// A command that can stop at its safe points adds a "Stop" button (and Escape).
#pragma once

#include <QDialog>
#include <QElapsedTimer>
#include <QString>

#include "log/HostInterfaces.h"

class QFrame;
class QLabel;
class QProgressBar;
class QPushButton;

namespace quillet {

// "12288 of 32768 bytes, 1.5 KiB/s, 14 s left": the rate and the time left once elapsedMs
// reaches a second.
QString ProgressText(unsigned long long done, unsigned long long total, qint64 elapsedMs);

class ProgressWindow : public QDialog, public ProgressDialog {
  Q_OBJECT

 public:
  explicit ProgressWindow(QWidget* parent = nullptr);
  ~ProgressWindow() override;

  // Shows the dialog in the centre of the screen and paints it at once.
  void ShowCentred();
  // Moves the bar and lets the dialog repaint while the caller keeps the GUI thread busy.
  // Without a Stop button user input stays queued until the command ends; with one, the
  // dialog takes its own input and the input for every other window is dropped.
  void SetPosition(int percent) override;
  // Shows the Stop button; a click (or Escape) asks the command to stop (RequestStop).
  void AllowStop() override;
  // The title, and a line above the bar.
  void SetOperation(const std::string& name) override;
  // Bytes done of total, the rate and the time left under the bar; the bar in ten-thousandths.
  void SetBytes(unsigned long long done, unsigned long long total) override;
  bool StopAllowed() const { return stopAllowed_; }
  // Whether a command's progress dialog is up, i.e. a command is running.
  static bool AnyShowing() { return showing_ > 0; }

  QFrame* panel = nullptr;
  QLabel* OperationLabel = nullptr;  // hidden until the operation is said
  QProgressBar* bar = nullptr;
  QLabel* DetailLabel = nullptr;      // bytes, rate, time left; hidden until bytes are said
  QPushButton* StopButton = nullptr;  // hidden unless the command can stop

 public slots:
  void StopButtonClick();
  // Escape: the bar never closes by itself; with a Stop button it asks for the stop.
  void reject() override;

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;
  void closeEvent(QCloseEvent* event) override;

 private:
  void Centre();
  // The bar to value of its range; repaints while the caller keeps the GUI thread busy.
  void Move(int value);
  bool stopAllowed_ = false;
  QElapsedTimer started_;
  bool counted_ = false;
  static int showing_;
};

// Made at start-up and never shown; each command makes its own through the progress factory.
extern ProgressWindow* LBar;

}  // namespace quillet
