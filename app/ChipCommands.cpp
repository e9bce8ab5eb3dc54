// Autosearch, Chip Erase, Read Calibration, the chip menu and the Lock & Fuses menu item.
#include "commands/Driver.h"
#include "app/Main.h"
#include "dialogs/LockFusesForm.h"

namespace quillet {

void TForm1::Button3Click() { RunAutosearch(); }
void TForm1::Button7Click() { RunReadCalibration(); }
void TForm1::Button11Click() { RunChipErase(); }
void TForm1::ChipMenuClick(ChipId id) {
  SelectChip(id);
  // Remembered for the next run (Settings.cpp); Autosearch's finds are not.
  if (SelectedChip == id) handChip_ = id;
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
