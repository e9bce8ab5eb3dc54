#include <cstdio>
#include <fstream>
#include <sstream>

#include "sim/SimChip.h"

namespace quillet::sim {

namespace {

const char* kHeader = "quillet-gateway-sim state 1";

std::string ToHex(const std::vector<uint8_t>& bytes, const char* sep) {
  static const char* digits = "0123456789ABCDEF";
  std::string s;
  s.reserve(bytes.size() * 3);
  for (size_t i = 0; i < bytes.size(); ++i) {
    if (i && *sep) s += sep;
    s += digits[bytes[i] >> 4];
    s += digits[bytes[i] & 15];
  }
  return s;
}

int Digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

bool FromHex(const std::string& s, std::vector<uint8_t>& out) {
  if (s.size() % 2) return false;
  out.resize(s.size() / 2);
  for (size_t i = 0; i < out.size(); ++i) {
    const int hi = Digit(s[2 * i]), lo = Digit(s[2 * i + 1]);
    if (hi < 0 || lo < 0) return false;
    out[i] = static_cast<uint8_t>(hi << 4 | lo);
  }
  return true;
}

}  // namespace

bool LoadSimState(const std::string& path, SimChipState& state) {
  std::ifstream f(path);
  std::string line;
  if (!std::getline(f, line) || line != kHeader) return false;
  SimChipState s;
  bool chip = false, flash = false, eeprom = false;
  while (std::getline(f, line)) {
    std::istringstream in(line);
    std::string key;
    in >> key;
    if (key == "chip") {
      chip = static_cast<bool>(in >> s.chip);
    } else if (key == "fuses") {
      std::string b;
      while (in >> b) {
        std::vector<uint8_t> one;
        if (!FromHex(b, one) || one.size() != 1) return false;
        s.fuses.push_back(one[0]);
      }
    } else if (key == "lock") {
      std::string b;
      std::vector<uint8_t> one;
      if (!(in >> b) || !FromHex(b, one) || one.size() != 1) return false;
      s.lock = one[0];
    } else if (key == "violations") {
      if (!(in >> s.violations)) return false;
    } else if (key == "flash" || key == "eeprom") {
      std::string hex;
      in >> hex;
      if (!FromHex(hex, key == "flash" ? s.flash : s.eeprom)) return false;
      (key == "flash" ? flash : eeprom) = true;
    }
  }
  if (!chip || !flash || !eeprom) return false;
  state = std::move(s);
  return true;
}

bool SaveSimState(const std::string& path, const SimChipState& state) {
  const std::string tmp = path + ".tmp";
  {
    std::ofstream f(tmp, std::ios::trunc);
    f << kHeader << "\n"
      << "chip " << state.chip << "\n"
      << "fuses " << ToHex(state.fuses, " ") << "\n"
      << "lock " << ToHex({state.lock}, "") << "\n"
      << "violations " << state.violations << "\n"
      << "flash " << ToHex(state.flash, "") << "\n"
      << "eeprom " << ToHex(state.eeprom, "") << "\n";
    f.flush();
    if (!f) {
      std::remove(tmp.c_str());
      return false;
    }
  }
  return std::rename(tmp.c_str(), path.c_str()) == 0;
}

}  // namespace quillet::sim
