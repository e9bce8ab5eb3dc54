#include "log/Rtf.h"

#include <cstdint>
#include <cstdio>

namespace quillet {

namespace {

// Unicode of the Windows-1252 codes 0x80-0x9F; 0 where the code page has a hole.
constexpr uint16_t kCp1252High[32] = {
    0x20AC, 0,      0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
    0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0,      0x017D, 0,
    0,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
    0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0,      0x017E, 0};

// The Windows-1252 byte of a code point, or -1.
int ToCp1252(uint32_t cp) {
  if (cp < 0x80 || (cp >= 0xA0 && cp <= 0xFF)) return static_cast<int>(cp);
  for (int i = 0; i < 32; ++i)
    if (kCp1252High[i] != 0 && kCp1252High[i] == cp) return 0x80 + i;
  return -1;
}

// Decodes one UTF-8 sequence at s[i], advancing i; malformed input gives U+FFFD per byte.
uint32_t NextCodePoint(const std::string& s, size_t& i) {
  const auto byte = [&](size_t k) { return static_cast<uint8_t>(s[k]); };
  uint8_t b = byte(i);
  int extra;
  uint32_t cp;
  if (b < 0x80) {
    ++i;
    return b;
  } else if ((b & 0xE0) == 0xC0) {
    extra = 1;
    cp = b & 0x1F;
  } else if ((b & 0xF0) == 0xE0) {
    extra = 2;
    cp = b & 0x0F;
  } else if ((b & 0xF8) == 0xF0) {
    extra = 3;
    cp = b & 0x07;
  } else {
    ++i;
    return 0xFFFD;
  }
  if (i + extra >= s.size()) {
    ++i;
    return 0xFFFD;
  }
  for (int k = 1; k <= extra; ++k) {
    if ((byte(i + k) & 0xC0) != 0x80) {
      ++i;
      return 0xFFFD;
    }
    cp = cp << 6 | (byte(i + k) & 0x3F);
  }
  static constexpr uint32_t kMin[] = {0, 0x80, 0x800, 0x10000};
  if (cp < kMin[extra] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
    ++i;
    return 0xFFFD;
  }
  i += extra + 1;
  return cp;
}

void AppendUnicode(std::string& out, uint32_t unit) {
  // RTF takes \u as a signed 16-bit number, followed by one fallback character.
  out += "\\u" + std::to_string(static_cast<int16_t>(static_cast<uint16_t>(unit))) + "?";
}

}  // namespace

std::string RtfEscape(const std::string& utf8) {
  std::string out;
  out.reserve(utf8.size());
  for (size_t i = 0; i < utf8.size();) {
    uint32_t cp = NextCodePoint(utf8, i);
    if (cp == '\\' || cp == '{' || cp == '}') {
      out += '\\';
      out += static_cast<char>(cp);
    } else if (cp == '\t') {
      out += "\\tab ";
    } else if (cp >= 0x20 && cp < 0x7F) {
      out += static_cast<char>(cp);
    } else if (int code = ToCp1252(cp); code >= 0) {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\'%02x", code);
      out += hex;
    } else if (cp > 0xFFFF) {
      cp -= 0x10000;
      AppendUnicode(out, 0xD800 + (cp >> 10));
      AppendUnicode(out, 0xDC00 + (cp & 0x3FF));
    } else {
      AppendUnicode(out, cp);
    }
  }
  return out;
}

std::string LogToRtf(const std::vector<std::string>& lines) {
  std::string out =
      "{\\rtf1\\ansi\\ansicpg1252\\deff0\\deflang1033"
      "{\\fonttbl{\\f0\\fmodern\\fprq1\\fcharset0 Courier New;}}\r\n"
      "\\viewkind4\\uc1\\pard\\f0\\fs20 ";
  for (const std::string& line : lines) {
    out += RtfEscape(line);
    out += "\\par\r\n";
  }
  out += "}\r\n";
  return out;
}

}  // namespace quillet
