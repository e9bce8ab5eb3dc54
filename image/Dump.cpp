#include "image/Dump.h"

namespace quillet {
namespace {

// Windows-1252 0x80-0x9F. The five codes the code page leaves undefined map to themselves,
// as the Windows converters do, so every byte has a visible, distinct character.
constexpr char16_t kCp1252High[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,  // 80-87
    0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,  // 88-8F
    0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,  // 90-97
    0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178,  // 98-9F
};

constexpr char kHexDigits[] = "0123456789ABCDEF";

// 0-15 for a hex digit of either case, -1 otherwise.
inline int HexValue(char16_t c) {
  if (c >= u'0' && c <= u'9') return c - u'0';
  if (c >= u'A' && c <= u'F') return c - u'A' + 10;
  if (c >= u'a' && c <= u'f') return c - u'a' + 10;
  return -1;
}

}  // namespace

char16_t Cp1252ToUnicode(uint8_t b) {
  if (b >= 0x80 && b <= 0x9F) return kCp1252High[b - 0x80];
  return b;
}

char16_t DisplayChar(uint8_t b) { return b <= 30 ? Cp1252ToUnicode(31) : Cp1252ToUnicode(b); }

std::u16string BuildDump(const uint8_t* bytes, size_t count) {
  const size_t lines = count / 16;
  std::u16string text;
  if (lines == 0) return text;
  text.resize(lines * kViewLineStride - 1);
  char16_t* p = text.data();
  for (size_t line = 0; line < lines; ++line) {
    const uint8_t* b = bytes + line * 16;
    uint32_t address = static_cast<uint32_t>(line * 16);
    for (int d = 7; d >= 0; --d) *p++ = kHexDigits[(address >> (4 * d)) & 0xF];
    *p++ = u':';
    *p++ = u' ';
    for (int k = 0; k < 16; ++k) {
      *p++ = kHexDigits[b[k] >> 4];
      *p++ = kHexDigits[b[k] & 0xF];
      if (k < 15) *p++ = u' ';
    }
    for (char16_t c : u"   |   ") {
      if (c) *p++ = c;
    }
    for (int k = 0; k < 16; ++k) *p++ = DisplayChar(b[k]);
    if (line + 1 < lines) *p++ = u'\n';
  }
  return text;
}

bool ParseDump(const std::u16string& text, uint8_t* out, size_t count) {
  bool ok = true;
  for (size_t i = 0; i < count; ++i) {
    size_t pos = static_cast<size_t>(ViewPosition(static_cast<int>(i / 16), HexColumn(static_cast<int>(i % 16))));
    if (pos + 1 >= text.size()) {
      ok = false;
      continue;
    }
    int hi = HexValue(text[pos]);
    int lo = HexValue(text[pos + 1]);
    if (hi < 0 || lo < 0) {
      ok = false;
      continue;
    }
    out[i] = static_cast<uint8_t>(hi << 4 | lo);
  }
  return ok;
}

std::string IdBytesText(ChipId id) {
  std::string s;
  s.reserve(8);
  for (int shift : {16, 8, 0}) {
    uint8_t b = static_cast<uint8_t>((static_cast<uint32_t>(id) >> shift) & 0xFF);
    if (!s.empty()) s += ' ';
    s += kHexDigits[b >> 4];
    s += kHexDigits[b & 0xF];
  }
  return s;
}

}  // namespace quillet
