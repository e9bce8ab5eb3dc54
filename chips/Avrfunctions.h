// Chip-independent operations for a chip not yet known: Autosearch.
#pragma once

#include "chips/Chipfunctions.h"

namespace quillet {

bool ProgrammingEnableNoEcho();
// The three signature bytes as a ChipId, or 0 on failure.
ChipId ReadSignature();
// ReadSignature at Autosearch, after ProgrammingEnableNoEcho: with Quillet's firmware a
// signature that no chip can have is read again after a reset pulse and Programming Enable,
// a log line each time.
ChipId SearchSignature();

}  // namespace quillet
