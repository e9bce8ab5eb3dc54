// Autosearch, Chip Erase, Read Calibration, the chip menu and the Lock & Fuses menu item.
#include <algorithm>
#include <array>

#include "chips/ChipModule.h"
#include "commands/Driver.h"
#include "commands/Steps.h"
#include "link/Portfunctions.h"
#include "app/Main.h"
#include "dialogs/LockFusesForm.h"
#include "dialogs/Worker.h"

namespace quillet {

void TForm1::Button3Click() { RunOffWindowThread([] { RunAutosearch(); }); }
void TForm1::Button7Click() { RunOffWindowThread([] { RunReadCalibration(); }); }
void TForm1::Button11Click() { RunOffWindowThread([] { RunChipErase(); }); }
void TForm1::ChipMenuClick(ChipId id) {
  // The chip a running command works on stays selected.
  if (WorkRunning()) return;
  SelectChip(id);
  // Remembered for the next run (Settings.cpp); Autosearch's finds are not.
  if (SelectedChip == id) {
    handChip_ = id;
    SettingsChanged();
  }
}

void TForm1::LockFuses1Click() {
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
  TLockFusesForm* former = LockFusesForm;
  auto* form = new TLockFusesForm(this);
  LockFusesForm = form;
  form->exec();
  delete form;
  LockFusesForm = former;
}

}  // namespace quillet
