// The window's support: enable states, the refresh after a chip selection, images <-> views.
#include <QAction>
#include <QComboBox>
#include <QLineEdit>
#include <QMenu>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSlider>
#include <QTabWidget>
#include <QTextCursor>

#include <algorithm>
#include <vector>

#include "app/MainWindow.h"
#include "image/Dump.h"
#include "image/Images.h"
#include "link/Port.h"
#include "log/Log.h"

namespace quillet {

namespace {

// Hides the pages while a view is rewritten, and frees the progress dialog before they show
// again, on every path.
class ViewCopy {
 public:
  // The pages go out of sight before the progress dialog comes up.
  explicit ViewCopy(QTabWidget* pages) : pages_(Hidden(pages)) {}
  ~ViewCopy() {
    bar_.Free();
    pages_->show();
  }
  // The positions of a copy of count bytes: every 1024 bytes, (i + 1) * 100 / count.
  void Advance(size_t count) {
    for (size_t i = 0; i < count; i += 1024) bar_.SetPosition(ProgressPercent(i, count));
  }

 private:
  static QTabWidget* Hidden(QTabWidget* pages) {
    pages->hide();
    return pages;
  }

  QTabWidget* pages_;  // declared before bar_: hidden first, shown again last
  ProgressScope bar_;
};

size_t ImageCount(int image) {
  if (image == 1) return FlashSize;
  if (image == 2) return EepromSize;
  return 0;
}

uint8_t* ImageBytes(int image) {
  if (image == 1) return ProgramImage.data();
  if (image == 2) return DataImage.data();
  return nullptr;
}

size_t ImageCapacity(int image) {
  if (image == 1) return ProgramImage.size();
  if (image == 2) return DataImage.size();
  return 0;
}

void CursorToFirstByte(QPlainTextEdit* pane) {
  QTextCursor cursor(pane->document());
  const int end = pane->document()->characterCount() - 1;
  cursor.setPosition(std::min(HexColumn(0), std::max(end, 0)));
  pane->setTextCursor(cursor);
}

}  // namespace

void MainWindow::EnableControls() {
  connectButton->setEnabled(false);
  for (QPushButton* b : {disconnectButton, autosearchButton, readProgramButton, writeProgramButton, verifyProgramButton,
                         readCalibrationButton, readDataButton, writeDataButton, verifyDataButton, chipEraseButton})
    b->setEnabled(true);
  lockFusesAction->setEnabled(true);
  for (QAction* a : {autosearchAction, readProgramAction, writeProgramAction, verifyProgramAction, readDataAction,
                     writeDataAction, verifyDataAction, eraseWriteVerifyAction})
    if (a) a->setEnabled(true);
}

void MainWindow::DisableControls() {
  connectButton->setEnabled(true);
  for (QPushButton* b : {disconnectButton, autosearchButton, readProgramButton, writeProgramButton, verifyProgramButton,
                         readCalibrationButton, readDataButton, writeDataButton, verifyDataButton, chipEraseButton})
    b->setEnabled(false);
  lockFusesAction->setEnabled(false);
  for (QAction* a : {autosearchAction, readProgramAction, writeProgramAction, verifyProgramAction, readDataAction,
                     writeDataAction, verifyDataAction, eraseWriteVerifyAction})
    if (a) a->setEnabled(false);
}

void MainWindow::EnterCommand() {
  portOpenAtStart_ = PortHandle != -1;
  for (QWidget* w :
       {static_cast<QWidget*>(connectButton), static_cast<QWidget*>(portBox), static_cast<QWidget*>(delaySlider)})
    w->setEnabled(false);
  DisableControls();
  connectButton->setEnabled(false);
  for (QAction* a :
       {loadProgramAction, saveProgramAction, loadDataAction, saveDataAction, exitAction, fastTransfersAction,
        RecentFiles[1]->menuAction(), RecentFiles[2]->menuAction(), chipMenu->menuAction()})
    if (a) a->setEnabled(false);
}

void MainWindow::LeaveCommand() {
  for (QWidget* w : {static_cast<QWidget*>(portBox), static_cast<QWidget*>(delaySlider)}) w->setEnabled(true);
  for (QAction* a :
       {loadProgramAction, saveProgramAction, loadDataAction, saveDataAction, exitAction, fastTransfersAction,
        RecentFiles[1]->menuAction(), RecentFiles[2]->menuAction(), chipMenu->menuAction()})
    if (a) a->setEnabled(true);
  // Autosearch (any command) may have heard Quillet's firmware name itself, or lost the port.
  FollowGateway();
  if (PortHandle != -1) {
    EnableControls();
    return;
  }
  // A failed exchange closed the port: shown closed, as after Disconnect, and said once the
  // command's own lines stand.
  DisableControls();
  if (portOpenAtStart_) AddLog(LogKind::Text, "The gateway stopped answering on " + OpenedDevice() + " (closed)");
}

QPlainTextEdit* MainWindow::View(int view) const {
  switch (view) {
    case 1:
      return programView1;
    case 2:
      return programView2;
    case 3:
      return dataView1;
    case 4:
      return dataView2;
    default:
      return nullptr;
  }
}

int MainWindow::ActivePageIndex() { return memoryPages->currentIndex(); }

void MainWindow::RefreshChipDisplay(ChipId id) {
  if (id == 0) return;
  viewSize[1] = viewSize[2] = static_cast<int>(FlashSize);
  viewSize[3] = viewSize[4] = static_cast<int>(EepromSize);
  for (int view = 1; view <= 4; ++view) BlankView(view);
  ShowChipPicture();
  chipNameEdit->setText(QString::fromStdString(ChipName));
  // The field keeps its size; a name too long for it (ATmega2564RFR2) shows whole on hover.
  chipNameEdit->setToolTip(chipNameEdit->text());
  chipNameEdit->setCursorPosition(0);
  ImageToView(0, 0);
}

void MainWindow::BlankView(int view) {
  QPlainTextEdit* pane = View(view);
  if (!pane) return;
  const std::vector<uint8_t> erased(static_cast<size_t>(std::max(viewSize[view], 0)), 0xFF);
  pane->setPlainText(QString::fromStdU16String(BuildDump(erased.data(), erased.size())));
}

void MainWindow::ImageToView(int view, int image) {
  if (view == 0) {
    // Same course as a memory view, so a selection shows the progress dialog too (at 0).
    ViewCopy copy(memoryPages);
    signatureEdit->setText(QString::fromStdString(IdBytesText(SelectedChip)));
    return;
  }
  QPlainTextEdit* pane = View(view);
  if (!pane) return;
  const size_t count = std::min(ImageCount(image), ImageCapacity(image));
  const size_t size = static_cast<size_t>(std::max(viewSize[view], 0));

  ViewCopy copy(memoryPages);
  copy.Advance(count);
  // The view keeps its own length; the image overwrites it from the start.
  std::vector<uint8_t> bytes(size, 0xFF);
  if (count < size) ParseDump(pane->toPlainText().toStdU16String(), bytes.data(), size);
  if (count > 0) std::copy_n(ImageBytes(image), std::min(count, size), bytes.begin());
  pane->setPlainText(QString::fromStdU16String(BuildDump(bytes.data(), bytes.size())));
  CursorToFirstByte(pane);
}

void MainWindow::ViewToImage(int view, int image) {
  if (SelectedChip == 0) return;
  QPlainTextEdit* pane = View(view);
  if (!pane) return;
  const size_t count = std::min(ImageCount(image), ImageCapacity(image));

  ViewCopy copy(memoryPages);
  if (count > 0) ParseDump(pane->toPlainText().toStdU16String(), ImageBytes(image), count);
  copy.Advance(count);
  CursorToFirstByte(pane);
}

}  // namespace quillet
