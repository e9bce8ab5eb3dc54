#include "dialogs/ProgressWindow.h"

#include <cmath>

#include <QBoxLayout>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QFrame>
#include <QGuiApplication>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>

#include "commands/Jobs.h"
#include "dialogs/Worker.h"

namespace quillet {

ProgressWindow* LBar = nullptr;
int ProgressWindow::showing_ = 0;

namespace {

constexpr int kWidth = 281;  // the first width; the text below the bar may widen it

// 1536 bytes as "1.5 KiB", below 1 KiB in bytes.
QString Amount(double bytes) {
  if (bytes < 1024) return QStringLiteral("%1 bytes").arg(qRound64(bytes));
  if (bytes < 1024 * 1024) return QStringLiteral("%1 KiB").arg(bytes / 1024, 0, 'f', 1);
  return QStringLiteral("%1 MiB").arg(bytes / (1024 * 1024), 0, 'f', 1);
}

}  // namespace

QString ProgressText(unsigned long long done, unsigned long long total, qint64 elapsedMs) {
  QString text = QStringLiteral("%1 of %2 bytes").arg(done).arg(total);
  // A rate from the first second on; before that it says more about the start than the work.
  if (elapsedMs < 1000 || done == 0) return text;
  const double rate = done * 1000.0 / elapsedMs;
  text += QStringLiteral(", %1/s").arg(Amount(rate));
  if (done < total) {
    const qint64 left = std::llround((total - done) / rate);
    text += left < 60 ? QStringLiteral(", %1 s left").arg(left)
                      : QStringLiteral(", %1 min %2 s left").arg(left / 60).arg(left % 60, 2, 10, QChar('0'));
  }
  return text;
}

ProgressWindow::ProgressWindow(QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint) {
  setObjectName("LBar");
  setWindowTitle(QStringLiteral("In progress"));
  setModal(false);

  panel = new QFrame(this);
  panel->setObjectName("panel");
  // Lowered outside, raised inside.
  panel->setFrameStyle(QFrame::Box | QFrame::Sunken);
  panel->setLineWidth(1);
  panel->setMidLineWidth(0);

  OperationLabel = new QLabel(panel);
  OperationLabel->setObjectName("OperationLabel");
  OperationLabel->hide();

  bar = new QProgressBar(panel);
  bar->setObjectName("bar");
  bar->setMinimumWidth(265);
  bar->setFixedHeight(16);
  bar->setRange(0, 100);
  bar->setValue(0);
  bar->setTextVisible(false);
  bar->setAccessibleName(QStringLiteral("Progress"));

  DetailLabel = new QLabel(panel);
  DetailLabel->setObjectName("DetailLabel");
  DetailLabel->hide();

  StopButton = new QPushButton("Stop", panel);
  StopButton->setObjectName("StopButton");
  StopButton->hide();
  connect(StopButton, &QPushButton::clicked, this, &ProgressWindow::StopButtonClick);

  auto* column = new QVBoxLayout(panel);
  column->setContentsMargins(8, 8, 8, 8);
  column->setSpacing(4);
  column->addWidget(OperationLabel);
  column->addWidget(bar);
  column->addWidget(DetailLabel);
  column->addWidget(StopButton, 0, Qt::AlignHCenter);
  auto* whole = new QVBoxLayout(this);
  whole->setContentsMargins(0, 0, 0, 0);
  whole->addWidget(panel);
  layout()->setSizeConstraint(QLayout::SetFixedSize);
  panel->setMinimumWidth(kWidth);
  started_.start();
}

void ProgressWindow::SetOperation(const std::string& name) {
  const QString text = QString::fromStdString(name);
  setWindowTitle(text);
  OperationLabel->setText(text);
  OperationLabel->show();
  bar->setAccessibleName(text);
}

void ProgressWindow::SetBytes(unsigned long long done, unsigned long long total) {
  DetailLabel->setText(ProgressText(done, total, started_.elapsed()));
  DetailLabel->show();
  // In ten-thousandths, so that the first block of a large memory moves it already.
  bar->setRange(0, 10000);
  Move(total == 0 ? 0 : int(done * 10000ULL / total));
}

ProgressWindow::~ProgressWindow() {
  if (counted_) --showing_;
  if (stopAllowed_) QCoreApplication::instance()->removeEventFilter(this);
}

void ProgressWindow::Centre() {
  QScreen* screen = QGuiApplication::primaryScreen();
  if (screen) {
    QRect area = screen->availableGeometry();
    move(area.center() - QPoint(width() / 2, height() / 2));
  }
}

void ProgressWindow::ShowCentred() {
  if (!counted_) ++showing_;
  counted_ = true;
  Centre();
  show();
  raise();
  repaint();
  QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
}

void ProgressWindow::AllowStop() {
  if (stopAllowed_) return;
  stopAllowed_ = true;
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

void ProgressWindow::SetPosition(int percent) {
  bar->setRange(0, 100);
  Move(percent);
}

void ProgressWindow::Move(int value) {
  bar->setValue(value);
  // Work off the window's thread leaves the window's event loop running: nothing to pump.
  if (isVisible() && !WorkRunning()) {
    repaint();
    // The filter keeps user input away from the other windows, so all events may run.
    QCoreApplication::processEvents(stopAllowed_ ? QEventLoop::AllEvents : QEventLoop::ExcludeUserInputEvents);
  }
}

void ProgressWindow::StopButtonClick() {
  if (!stopAllowed_) return;
  RequestStop();
  StopButton->setEnabled(false);
  StopButton->setText("Stopping...");
}

void ProgressWindow::reject() { StopButtonClick(); }

void ProgressWindow::closeEvent(QCloseEvent* event) {
  // Freed by its command, never closed by the user: a close means "stop" where that is offered.
  event->ignore();
  StopButtonClick();
}

bool ProgressWindow::eventFilter(QObject* watched, QEvent* event) {
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
