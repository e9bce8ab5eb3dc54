// The progress dialog: a bare window with one progress bar, shown while a long command runs.
// A command that can stop at its safe points adds a "Stop" button (and Escape).
#pragma once

#include <QDialog>

#include "log/Seams.h"

class QFrame;
class QProgressBar;
class QPushButton;

namespace quillet {

class TLBar : public QDialog, public ProgressDialog {
  Q_OBJECT

 public:
  explicit TLBar(QWidget* parent = nullptr);
  ~TLBar() override;

  // Shows the dialog in the centre of the screen and paints it at once.
  void ShowCentred();
  // Moves the bar and lets the dialog repaint while the caller keeps the GUI thread busy.
  // Without a Stop button user input stays queued until the command ends; with one, the
  // dialog takes its own input and the input for every other window is dropped.
  void SetPosition(int percent) override;
  // Shows the Stop button; a click (or Escape) asks the command to stop (RequestStop).
  void AllowStop() override;
  bool StopAllowed() const { return stopAllowed_; }
  // Whether a command's progress dialog is up, i.e. a command is running.
  static bool AnyShowing() { return showing_ > 0; }

  QFrame* Panel1 = nullptr;
  QProgressBar* ProgressBar1 = nullptr;
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
  bool stopAllowed_ = false;
  bool counted_ = false;
  static int showing_;
};

// Made at start-up and never shown; each command makes its own through the progress factory.
extern TLBar* LBar;

}  // namespace quillet
