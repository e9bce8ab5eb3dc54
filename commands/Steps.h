// What the window's commands (Driver.h) and the file-to-chip jobs (Jobs.h) both stand on: the
// selected chip's module, the stop request, the address text of a verify failure.
#pragma once

#include <cstdint>
#include <string>

#include "chips/Catalogue.h"

namespace quillet {

struct ChipModule;

// The module of the selected chip, nullptr for no chip or an id outside the catalogue.
const ChipModule* SelectedModule();

// Programming Enable of the selected chip's module, then the chip's signature (silently), so
// that nothing is read or written on a chip other than the one selected. On a mismatch one
// line names both chips and nothing more is sent; false then, and on any failure.
bool EnableSelectedChip(const ChipModule& m);

// The signature that identification found on this connection (0: none). A signature read
// later must agree with it, or a damaged byte is taken for the chip's.
void SetIdentifiedSignature(ChipId id);
ChipId IdentifiedSignature();

// RequestStop is safe in a signal handler. Commands and jobs check StopRequested between
// pages (after a commit, never between a page's loads and its commit), between bytes, and
// between jobs.
void RequestStop();
void ClearStopRequest();
bool StopRequested();

// The verify failure line's address digits: four at least, all of them above 0xFFFF.
std::string VerifyAddressText(uint32_t address);

}  // namespace quillet
