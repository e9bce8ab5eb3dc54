// Chip-independent operations for a chip not yet known: Autosearch.
#pragma once

#include "chips/Chipfunctions.h"

namespace quillet {

bool ProgrammingEnableNoEcho();
// The three signature bytes as a ChipId, or 0 on failure.
ChipId ReadSignature();

}  // namespace quillet
