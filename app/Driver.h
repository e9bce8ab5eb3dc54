// The chip commands of the main window and the Lock & Fuses dialog, as plain functions over the
// core's seams (log, progress, prompt, views), so they run and are tested without a window.
#pragma once

#include <cstdint>
#include <string>

namespace quillet {

struct ChipModule;

// The six memory buttons, in the order of the window's handlers.
enum class MemoryOperation {
  ReadProgram,
  WriteProgram,
  VerifyProgram,
  ReadData,
  WriteData,
  VerifyData,
};

// One memory button, from the confirmation to the end time line.
void RunMemoryCommand(MemoryOperation op);

// The verify failure line's address digits: four at least, all of them above 0xFFFF.
std::string VerifyAddressText(uint32_t address);

// "Autosearch chip", "Chip Erase", "Read Calibration".
void RunAutosearch();
void RunChipErase();
void RunReadCalibration();

// The chip side of the Lock & Fuses dialog's Read and Write, progress dialog included.
// Read: true when the boxes are to be refreshed from FuseLockBytes (the reads succeeded, or a
// log-only case such as no chip); false after a failed step (" with fail." logged).
bool ReadLockAndFuses();
// Write FuseLockBytes as it stands; false after a failed step (" with fail." logged).
bool WriteLockAndFuses();

// The module of the selected chip, nullptr for no chip or an id outside the catalogue.
const ChipModule* SelectedModule();

}  // namespace quillet
