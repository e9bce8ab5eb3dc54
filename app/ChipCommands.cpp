// Autosearch, Chip Erase, Read Calibration, the chip menu and the Lock & Fuses menu item.
#include <algorithm>
#include <array>

#include "app/MainWindow.h"
#include "chips/ChipModule.h"
#include "commands/Driver.h"
#include "commands/Steps.h"
#include "dialogs/LockFusesDialog.h"
#include "dialogs/Worker.h"
#include "link/Port.h"

namespace quillet {

void MainWindow::AutosearchClick() {
  RunOffWindowThread([] { RunAutosearch(); });
}
void MainWindow::ReadCalibrationClick() {
  RunOffWindowThread([] { RunReadCalibration(); });
}
void MainWindow::ChipEraseClick() {
  RunOffWindowThread([] { RunChipErase(); });
}
void MainWindow::ChipMenuClick(ChipId id) {
  // The chip a running command works on stays selected.
  if (WorkRunning()) return;
  SelectChip(id);
  // Remembered for the next run (Settings.cpp); Autosearch's finds are not.
  if (SelectedChip == id) {
    handChip_ = id;
    SettingsChanged();
  }
}

void MainWindow::LockFusesClick() {
  // Opened on a connected chip, the dialog shows what the chip holds, not its factory values;
  // changes saved in the dialog and not yet written are kept.
  const ChipModule* m = SelectedModule();
  const ChipFuses known = LastChipFuses();
  if (PortHandle != -1 && m && m->CanReadFuses() &&
      std::equal(known.bytes, known.bytes + 8, FuseLockBytes.begin())) {
    const std::array<uint8_t, 8> before = FuseLockBytes;
    bool read = false;
    RunOffWindowThread([&read] { read = ReadLockAndFuses(); });
    // A read cut short leaves nothing half-read behind.
    if (!read) FuseLockBytes = before;
  }
  // A fresh dialog each time, so it shows the layout of the chip selected now.
  LockFusesDialog* former = LockFusesForm;
  auto* form = new LockFusesDialog(this);
  LockFusesForm = form;
  form->exec();
  delete form;
  LockFusesForm = former;
}

}  // namespace quillet
