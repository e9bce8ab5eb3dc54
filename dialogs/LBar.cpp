#include "dialogs/LBar.h"

#include <QCoreApplication>
#include <QFrame>
#include <QGuiApplication>
#include <QProgressBar>
#include <QScreen>

namespace quillet {

TLBar* LBar = nullptr;

TLBar::TLBar(QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint) {
  setObjectName("LBar");
  // A bare bar: Qt gives an empty title the program's name, a blank one stays blank.
  setWindowTitle(QStringLiteral(" "));
  setModal(false);
  setFixedSize(281, 33);

  Panel1 = new QFrame(this);
  Panel1->setObjectName("Panel1");
  Panel1->setGeometry(0, 0, 281, 33);
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
}

TLBar::~TLBar() = default;

void TLBar::ShowCentred() {
  QScreen* screen = QGuiApplication::primaryScreen();
  if (screen) {
    QRect area = screen->availableGeometry();
    move(area.center() - QPoint(width() / 2, height() / 2));
  }
  show();
  raise();
  repaint();
  QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
}

void TLBar::SetPosition(int percent) {
  ProgressBar1->setValue(percent);
  if (isVisible()) {
    repaint();
    QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
  }
}

}  // namespace quillet
