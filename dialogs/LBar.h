// The progress dialog: a bare window with one progress bar, shown while a long command runs.
#pragma once

#include <QDialog>

#include "log/Seams.h"

class QFrame;
class QProgressBar;

namespace quillet {

class TLBar : public QDialog, public ProgressDialog {
  Q_OBJECT

 public:
  explicit TLBar(QWidget* parent = nullptr);
  ~TLBar() override;

  // Shows the dialog in the centre of the screen and paints it at once.
  void ShowCentred();
  // Moves the bar and lets the dialog repaint while the caller keeps the GUI thread busy;
  // user input stays queued until the command ends.
  void SetPosition(int percent) override;

  QFrame* Panel1 = nullptr;
  QProgressBar* ProgressBar1 = nullptr;
};

// Made at start-up and never shown; each command makes its own through the progress factory.
extern TLBar* LBar;

}  // namespace quillet
