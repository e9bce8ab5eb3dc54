#include "dialogs/LBar.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QFrame>
#include <QGuiApplication>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>

#include "commands/Jobs.h"
#include "dialogs/Worker.h"

namespace quillet {

TLBar* LBar = nullptr;
int TLBar::showing_ = 0;

namespace {

constexpr int kWidth = 281;
constexpr int kHeight = 33;
constexpr int kStopHeight = 63;  // with the Stop button under the bar

}  // namespace

TLBar::TLBar(QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint) {
  setObjectName("LBar");
  // A bare bar: Qt gives an empty title the program's name, a blank one stays blank.
  setWindowTitle(QStringLiteral(" "));
  setModal(false);
  setFixedSize(kWidth, kHeight);

  Panel1 = new QFrame(this);
  Panel1->setObjectName("Panel1");
  Panel1->setGeometry(0, 0, kWidth, kHeight);
  // Lowered outside, raised inside.
  Panel1->setFrameStyle(QFrame::Box | QFrame::Sunken);
  Panel1->setLineWidth(1);
  Panel1->setMidLineWidth(0);

  ProgressBar1 = new QProgressBar(Panel1);
  ProgressBar1->setObjectName("ProgressBar1");
  ProgressBar1->setGeometry(8, 8, 265, 16);
  ProgressBar1->setRange(0, 100);
  ProgressBar1->setValue(0);
  ProgressBar1->setTextVisible(false);

  StopButton = new QPushButton("Stop", Panel1);
  StopButton->setObjectName("StopButton");
  StopButton->setGeometry((kWidth - 75) / 2, 32, 75, 23);
  StopButton->hide();
  connect(StopButton, &QPushButton::clicked, this, &TLBar::StopButtonClick);
}

TLBar::~TLBar() {
  if (counted_) --showing_;
  if (stopAllowed_) QCoreApplication::instance()->removeEventFilter(this);
}

void TLBar::Centre() {
  QScreen* screen = QGuiApplication::primaryScreen();
  if (screen) {
    QRect area = screen->availableGeometry();
    move(area.center() - QPoint(width() / 2, height() / 2));
  }
}

void TLBar::ShowCentred() {
  if (!counted_) ++showing_;
  counted_ = true;
  Centre();
  show();
  raise();
  repaint();
  QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
}

void TLBar::AllowStop() {
  if (stopAllowed_) return;
  stopAllowed_ = true;
  setFixedSize(kWidth, kStopHeight);
  Panel1->setGeometry(0, 0, kWidth, kStopHeight);
  StopButton->show();
  StopButton->setDefault(true);
  StopButton->setFocus();
  QCoreApplication::instance()->installEventFilter(this);
  if (isVisible()) {
    Centre();
    activateWindow();
    repaint();
  }
}

void TLBar::SetPosition(int percent) {
  ProgressBar1->setValue(percent);
  // Work off the window's thread leaves the window's event loop running: nothing to pump.
  if (isVisible() && !WorkRunning()) {
    repaint();
    // The filter keeps user input away from the other windows, so all events may run.
    QCoreApplication::processEvents(stopAllowed_ ? QEventLoop::AllEvents
                                                 : QEventLoop::ExcludeUserInputEvents);
  }
}

void TLBar::StopButtonClick() {
  if (!stopAllowed_) return;
  RequestStop();
  StopButton->setEnabled(false);
  StopButton->setText("Stopping...");
}

void TLBar::reject() { StopButtonClick(); }

void TLBar::closeEvent(QCloseEvent* event) {
  // Freed by its command, never closed by the user: a close means "stop" where that is offered.
  event->ignore();
  StopButtonClick();
}

bool TLBar::eventFilter(QObject* watched, QEvent* event) {
  if (!stopAllowed_ || !IsUserAction(event->type())) return false;
  if (auto* widget = qobject_cast<QWidget*>(watched)) {
    if (widget->window() == this) return false;
    event->ignore();
    return true;
  }
  // Shortcuts go to their actions, which belong to no window of ours here.
  if (event->type() == QEvent::Shortcut || event->type() == QEvent::ShortcutOverride) {
    event->ignore();
    return true;
  }
  return false;
}

}  // namespace quillet
