// STUB: being written.
#include "image/Dump.h"
namespace quillet {
char16_t DisplayChar(uint8_t b) { return b <= 30 ? 31 : b; }
char16_t Cp1252ToUnicode(uint8_t b) { return b; }
std::u16string BuildDump(const uint8_t*, size_t) { return {}; }
bool ParseDump(const std::u16string&, uint8_t*, size_t) { return false; }
std::string IdBytesText(ChipId) { return "FF FF FF"; }
}
