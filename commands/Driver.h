// The chip commands of the main window and the Lock & Fuses dialog, as plain functions over the
// core's seams (log, progress, prompt, views), so they run and are tested without a window.
#pragma once

#include <cstdint>
#include <string>

#include "commands/Steps.h"

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

// One memory button, from the confirmation to the end time line; confirmed skips the
// question (the caller asked it). True when the operation ran to its end without failure.
// It clears the stop request at its start and stops at its safe points once one is made
// (RequestStop, commands/Steps.h): "Stopped by the user." and the end time, the port left open, a
// stopped read with the image and the views as they were.
bool RunMemoryCommand(MemoryOperation op, bool confirmed = false);


// "Autosearch chip", "Chip Erase" (true when the chip was erased), "Read Calibration".
void RunAutosearch();
bool RunChipErase(bool confirmed = false);
void RunReadCalibration();

// "Erase, Write and Verify Program": one question, then Chip Erase, Write Program and Verify
// Program with their own lines, ending at the first that fails or is stopped.
bool RunEraseWriteVerify();

// The chip side of the Lock & Fuses dialog's Read and Write, progress dialog included.
// Read: true when the boxes are to be refreshed from FuseLockBytes (the reads succeeded, or a
// log-only case such as no chip); false after a failed step (" with fail." logged).
bool ReadLockAndFuses();
// Write FuseLockBytes as it stands, each byte read back after its write with a line saying
// whether the chip took it; FuseLockBytes then holds what the chip kept. False after a failed
// step or a byte the chip did not take (" with fail." logged).
bool WriteLockAndFuses();

// The fuse and lock bytes the selected chip was last read with (or read back after a write),
// in FuseLockBytes' layout; the chip's factory values, with read false, when nothing was read
// from it on this connection. Warnings compare what is to be written with these, never with
// FuseLockBytes, which the dialog's edits overwrite.
struct ChipFuses {
  uint8_t bytes[8];
  bool read;
};
ChipFuses LastChipFuses();
// Another chip may be in the socket (connect, disconnect, Autosearch): nothing read counts.
void ForgetChipFuses();

}  // namespace quillet
