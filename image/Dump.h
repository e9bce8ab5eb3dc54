// The hex dump text of the views: 16 bytes a line, 80 characters a line.
// Lines are separated by one '\n', as the window's panes count them (the original layout
// counted a two-character line break); ViewPosition is the one place that maps (line, column)
// to a position in the pane.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "chips/Catalogue.h"

namespace quillet {

constexpr int kDumpLineLength = 80;
constexpr int kViewLineStride = 81;  // 80 characters and the line break
inline int ViewPosition(int line, int column) { return line * kViewLineStride + column; }
inline int ViewLine(int position) { return position / kViewLineStride; }
inline int ViewColumn(int position) { return position % kViewLineStride; }

// Column of byte k's first hex digit, and of its character.
inline int HexColumn(int k) { return 10 + 3 * k; }
inline int CharColumn(int k) { return 64 + k; }

// The character shown for a byte: Windows-1252, codes 0 to 30 shown as code 31.
char16_t DisplayChar(uint8_t b);
// Windows-1252 code of b as Unicode (no clamping).
char16_t Cp1252ToUnicode(uint8_t b);

// count / 16 lines of the bytes, '\n' between lines, none after the last.
std::u16string BuildDump(const uint8_t* bytes, size_t count);
// Reads the two hex digits (either case) of each of count bytes from a dump; a field that is
// not two hex digits leaves that byte unchanged and makes the result false.
bool ParseDump(const std::u16string& text, uint8_t* out, size_t count);

// "0A 91 1E": bits 16-23, 8-15, 0-7 of the id.
std::string IdBytesText(ChipId id);

}  // namespace quillet
