#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>

#include "image/SafeFile.h"
#include "sim/SimChip.h"

namespace quillet::sim {

namespace {

const char* kHeader = "quillet-gateway-sim state 1";
// Twice the largest Flash and EEPROM in hex, and room for the rest.
constexpr off_t kMaxStateBytes = 2 * (2 * (384 << 10)) + 4096;

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

bool LoadSimState(const std::string& path, SimChipState& state, std::string* why) {
  std::string ignored;
  std::string& reason = why ? *why : ignored;
  // Not blocking while opening: a FIFO in its place is refused, not waited on.
  const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    reason = errno == EACCES ? "no permission to read it" : std::strerror(errno);
    return false;
  }
  struct stat st {};
  const bool regular = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
  std::string text;
  if (regular && st.st_size <= kMaxStateBytes) {
    text.resize(static_cast<size_t>(st.st_size));
    size_t got = 0;
    while (got < text.size()) {
      const ssize_t n = ::read(fd, text.data() + got, text.size() - got);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      got += static_cast<size_t>(n);
    }
    text.resize(got);
  }
  ::close(fd);
  if (!regular) {
    reason = S_ISDIR(st.st_mode) ? "a directory, not a file" : "not a regular file";
    return false;
  }
  if (st.st_size > kMaxStateBytes) {
    reason = "larger than any chip's state";
    return false;
  }
  if (text.empty()) {
    reason = "empty";
    return false;
  }
  if (text.find('\r') != std::string::npos) {
    reason = "its lines end in CR LF (edited on Windows?); the state file's lines end in LF";
    return false;
  }
  std::istringstream f(text);
  std::string line;
  if (!std::getline(f, line) || line != kHeader) {
    reason = "its first line is not \"" + std::string(kHeader) + "\"";
    return false;
  }
  SimChipState s;
  bool chip = false, flash = false, eeprom = false;
  auto bad = [&](const std::string& key, const std::string& what) {
    reason = "\"" + key + "\": " + what;
    return false;
  };
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
        if (!FromHex(b, one) || one.size() != 1) return bad(key, "not a byte in hex: " + b.substr(0, 20));
        s.fuses.push_back(one[0]);
      }
    } else if (key == "lock") {
      std::string b;
      std::vector<uint8_t> one;
      if (!(in >> b) || !FromHex(b, one) || one.size() != 1) return bad(key, "not a byte in hex");
      s.lock = one[0];
    } else if (key == "violations") {
      // A count: digits only, so that "-5" is not taken as 18446744073709551611.
      std::string v;
      in >> v;
      char* end = nullptr;
      errno = 0;
      const unsigned long long n = v.empty() ? 0 : std::strtoull(v.c_str(), &end, 10);
      if (v.empty() || v.find_first_not_of("0123456789") != std::string::npos || errno || *end)
        return bad(key, "not a count from 0 to " + std::to_string(UINT64_MAX) + ": " + v.substr(0, 30));
      s.violations = n;
    } else if (key == "flash" || key == "eeprom") {
      std::string hex;
      in >> hex;
      if (!FromHex(hex, key == "flash" ? s.flash : s.eeprom)) return bad(key, "not bytes in hex");
      (key == "flash" ? flash : eeprom) = true;
    }
  }
  if (!chip || !flash || !eeprom)
    return bad(!chip ? "chip" : !flash ? "flash" : "eeprom", "missing");
  state = std::move(s);
  return true;
}

bool SaveSimState(const std::string& path, const SimChipState& state) {
  std::ostringstream f;
  f << kHeader << "\n"
    << "chip " << state.chip << "\n"
    << "fuses " << ToHex(state.fuses, " ") << "\n"
    << "lock " << ToHex({state.lock}, "") << "\n"
    << "violations " << state.violations << "\n"
    << "flash " << ToHex(state.flash, "") << "\n"
    << "eeprom " << ToHex(state.eeprom, "") << "\n";
  const std::string text = f.str();
  // Only into a file: a FIFO or a device in its place could hold the simulator in a write.
  struct stat st {};
  if (::stat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) {
    std::fprintf(stderr, "cannot save %s: %s\n", path.c_str(),
                 S_ISDIR(st.st_mode) ? "a directory, not a file" : "not a regular file");
    return false;
  }
  // As the programs save: a temporary beside it that replaces it whole, none left behind.
  SafeFile file;
  if (!file.Create(path) || !file.Write(text.data(), text.size()) || !file.Commit()) {
    std::fprintf(stderr, "cannot save %s: %s\n", path.c_str(), file.Why().c_str());
    return false;
  }
  return true;
}

}  // namespace quillet::sim
