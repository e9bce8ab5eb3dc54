#include "dialogs/LBar.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QBoxLayout>
#include <QFrame>
#include <QLabel>
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
    const qint64 left = qint64((total - done) / rate + 0.5);
    text += left < 60 ? QStringLiteral(", %1 s left").arg(left)
                      : QStringLiteral(", %1 min %2 s left").arg(left / 60).arg(left % 60, 2, 10, QChar('0'));
  }
  return text;
}

TLBar::TLBar(QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint) {
  setObjectName("LBar");
  setWindowTitle(QStringLiteral("In progress"));
  setModal(false);

  Panel1 = new QFrame(this);
  Panel1->setObjectName("Panel1");
  // Lowered outside, raised inside.
  Panel1->setFrameStyle(QFrame::Box | QFrame::Sunken);
  Panel1->setLineWidth(1);
  Panel1->setMidLineWidth(0);

  OperationLabel = new QLabel(Panel1);
  OperationLabel->setObjectName("OperationLabel");
  OperationLabel->hide();

  ProgressBar1 = new QProgressBar(Panel1);
  ProgressBar1->setObjectName("ProgressBar1");
  ProgressBar1->setMinimumWidth(265);
  ProgressBar1->setFixedHeight(16);
  ProgressBar1->setRange(0, 100);
  ProgressBar1->setValue(0);
  ProgressBar1->setTextVisible(false);
  ProgressBar1->setAccessibleName(QStringLiteral("Progress"));

  DetailLabel = new QLabel(Panel1);
  DetailLabel->setObjectName("DetailLabel");
  DetailLabel->hide();

  StopButton = new QPushButton("Stop", Panel1);
  StopButton->setObjectName("StopButton");
  StopButton->hide();
  connect(StopButton, &QPushButton::clicked, this, &TLBar::StopButtonClick);

  auto* column = new QVBoxLayout(Panel1);
  column->setContentsMargins(8, 8, 8, 8);
  column->setSpacing(4);
  column->addWidget(OperationLabel);
  column->addWidget(ProgressBar1);
  column->addWidget(DetailLabel);
  column->addWidget(StopButton, 0, Qt::AlignHCenter);
  auto* whole = new QVBoxLayout(this);
  whole->setContentsMargins(0, 0, 0, 0);
  whole->addWidget(Panel1);
  layout()->setSizeConstraint(QLayout::SetFixedSize);
  Panel1->setMinimumWidth(kWidth);
  started_.start();
}

void TLBar::SetOperation(const std::string& name) {
  const QString text = QString::fromStdString(name);
  setWindowTitle(text);
  OperationLabel->setText(text);
  OperationLabel->show();
  ProgressBar1->setAccessibleName(text);
}

void TLBar::SetBytes(unsigned long long done, unsigned long long total) {
  DetailLabel->setText(ProgressText(done, total, started_.elapsed()));
  DetailLabel->show();
  // In ten-thousandths, so that the first block of a large memory moves it already.
  ProgressBar1->setRange(0, 10000);
  Move(total == 0 ? 0 : int(done * 10000ULL / total));
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
  ProgressBar1->setRange(0, 100);
  Move(percent);
}

void TLBar::Move(int value) {
  ProgressBar1->setValue(value);
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
