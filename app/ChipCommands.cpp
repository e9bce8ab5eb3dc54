// Autosearch, Chip Erase, Read Calibration, the chip menu and the Lock & Fuses menu item.
#include "commands/Driver.h"
#include "app/Main.h"
#include "dialogs/LockFusesForm.h"
#include "dialogs/Worker.h"

namespace quillet {

void TForm1::Button3Click() { RunOffWindowThread([] { RunAutosearch(); }); }
void TForm1::Button7Click() { RunOffWindowThread([] { RunReadCalibration(); }); }
void TForm1::Button11Click() { RunOffWindowThread([] { RunChipErase(); }); }
void TForm1::ChipMenuClick(ChipId id) {
  SelectChip(id);
  // Remembered for the next run (Settings.cpp); Autosearch's finds are not.
  if (SelectedChip == id) {
    handChip_ = id;
    SettingsChanged();
  }
}

void TForm1::LockFuses1Click() {
  // A fresh dialog each time, so it shows the layout of the chip selected now.
  TLockFusesForm* former = LockFusesForm;
  auto* form = new TLockFusesForm(this);
  LockFusesForm = form;
  form->exec();
  delete form;
  LockFusesForm = former;
}

}  // namespace quillet
