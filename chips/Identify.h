// Chip-independent operations for a chip not yet known: Autosearch.
#pragma once

#include <string>

#include "chips/Catalogue.h"

namespace quillet {

bool ProgrammingEnableNoEcho();
// The three signature bytes as a ChipId, or 0 on failure; with its log lines.
ChipId ReadSignature();
// The same exchanges without a log line; false when an exchange failed.
bool ReadSignatureQuietly(ChipId& id);
// What a signature names: "ATtiny2313", "no known chip", or "no chip answers" for all ones or
// all zeros.
std::string SignatureOwner(ChipId id);

// One damaged byte on the line must not name a wrong chip: the signature is read again,
// silently, until two reads in a row agree, starting from `first`. The agreed signature; 0
// when an exchange failed (the port is closed) or, with lineFault set and a log line, when
// kSignatureReads reads gave no two alike in a row.
constexpr int kSignatureReads = 4;
ChipId ConfirmSignature(ChipId first, bool& lineFault);
// "1E 93 0B", the bytes in the order the chip gives them.
std::string SignatureText(ChipId id);

// ReadSignature at Autosearch, after ProgrammingEnableNoEcho: with Quillet's firmware a
// signature that no chip can have is read again after a reset pulse and Programming Enable,
// a log line each time. The result is confirmed (ConfirmSignature); lineFault, when given,
// tells a line fault from a failed exchange.
ChipId SearchSignature(bool* lineFault = nullptr);

}  // namespace quillet
