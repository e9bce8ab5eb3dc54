// quillet-cli -t: the chip at a prompt, with the field's terminal commands. Writes go through
// the jobs' own checks (sizes, fuse safety, verify), so a command can do nothing a -U could not.
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <editline/readline.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string_view>

#include "chips/Catalogue.h"
#include "chips/ChipModule.h"
#include "cli/FuseWords.h"
#include "cli/Run.h"
#include "cli/Session.h"
#include "link/Port.h"
#include "log/HostInterfaces.h"

namespace quillet::cli {
namespace {

constexpr const char* kHelp =
    "dump MEM [ADDR [LEN | ...] | ...]  show LEN bytes (default 256) of a memory from ADDR on,\n"
    "                         or up to its end (...); again without ADDR goes on where the\n"
    "                         last one ended, as many bytes (read and d are dump too)\n"
    "write MEM ADDR DATA...   write at ADDR: bytes and wider numbers (0x12 18 022 0b10010,\n"
    "                         0x1234 two bytes low first, 1000:s, -1, 3.14 a float), 'c'\n"
    "                         characters, \"text\" strings (with their 0); commas between\n"
    "                         items are fine; suffixes HH (8), H or S (16), L (32), LL (64 bits)\n"
    "write MEM ADDR LEN DATA... ...  LEN bytes: the data, then its last item repeated\n"
    "                         Fuses as with -U: RSTDISBL, DWEN and SPIEN need --force-fuses;\n"
    "                         Flash only onto erased pages\n"
    "erase                    chip erase (Flash, lock bits, EEPROM unless EESAVE)\n"
    "sig                      read the signature\n"
    "part                     the chip and its memories\n"
    "fuses                    read the fuse and lock bytes and name their programmed bits\n"
    "flush, abort             nothing to do: every write goes to the chip at once\n"
    "help                     this text\n"
    "quit                     leave (Ctrl-D and Ctrl-C too)\n"
    "Commands and memories may be shortened (d ee 0 16). MEM: flash eeprom lfuse hfuse efuse\n"
    "fuse fuse0-2 lock signature calibration";

constexpr size_t kLongestLine = 4096;

bool ParseNumber(const std::string& text, unsigned long max, unsigned long& value) {
  char* end = nullptr;
  if (text.empty() || text[0] == '-') return false;
  value = std::strtoul(text.c_str(), &end, 0);
  return *end == '\0' && value <= max;
}

// A line's words: spaces and commas separate them; "a string" and 'c' stay whole, with
// their C escapes undone (a string word keeps its leading quote to say what it is).
bool SplitWords(const std::string& line, std::vector<std::string>& words, std::string& error) {
  words.clear();
  size_t i = 0;
  while (i < line.size()) {
    const char c = line[i];
    if (std::isspace(static_cast<unsigned char>(c)) || c == ',') {
      ++i;
      continue;
    }
    std::string w;
    if (c == '"' || c == '\'') {
      w += c;
      ++i;
      for (;; ++i) {
        if (i >= line.size()) {
          error = std::string("a ") + (c == '"' ? "string" : "character") + " without its closing " + c;
          return false;
        }
        if (line[i] == c) break;
        if (line[i] != '\\' || i + 1 >= line.size()) {
          w += line[i];
          continue;
        }
        const char e = line[++i];
        static const char kFrom[] = "ntr0abfv\\'\"?", kTo[] = "\n\t\r\0\a\b\f\v\\'\"?";
        const char* at = std::strchr(kFrom, e);
        if (e == 'x') {
          int v = 0, n = 0;
          while (n < 2 && i + 1 < line.size() && std::isxdigit(static_cast<unsigned char>(line[i + 1])))
            v = v * 16 + std::stoi(std::string(1, line[++i]), nullptr, 16), ++n;
          w += static_cast<char>(v);
        } else if (e >= '1' && e <= '7') {
          int v = e - '0', n = 1;
          while (n < 3 && i + 1 < line.size() && line[i + 1] >= '0' && line[i + 1] <= '7') v = v * 8 + (line[++i] - '0'), ++n;
          w += static_cast<char>(v);
        } else {
          w += at && e ? kTo[at - kFrom] : e;
        }
      }
      ++i;
      if (c == '\'') w += '\'';  // 'x' keeps both quotes: one character between them
    } else {
      while (i < line.size() && !std::isspace(static_cast<unsigned char>(line[i])) && line[i] != ',') w += line[i++];
    }
    words.push_back(w);
  }
  return true;
}

bool IsPrefixOf(const std::string& shortWord, const char* full) {
  // Compared as bytes, not as C strings: a word with a NUL in it is no command.
  const std::string_view f(full);
  return !shortWord.empty() && shortWord.size() <= f.size() && f.substr(0, shortWord.size()) == shortWord;
}

// A command word, shortened to any unambiguous beginning; "" when none or several.
std::string CommandWord(const std::string& word) {
  static const char* const kCommands[] = {"dump", "read", "write", "erase", "sig", "part", "fuses",
                                          "flush", "abort", "help", "quit"};
  if (word == "d") return "dump";
  if (word == "q" || word == "exit") return "quit";
  if (word == "?") return "help";
  std::string found;
  for (const char* c : kCommands)
    if (IsPrefixOf(word, c)) {
      if (!found.empty()) return "";
      found = c;
    }
  return found;
}

// A memory by its name or any unambiguous beginning of one ("ee", "fl", "sig").
bool TerminalMemory(const std::string& word, Memory& memory) {
  std::string w = word;
  for (char& c : w) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  if (ParseMemory(w, memory)) return true;
  static const char* const kNames[] = {"flash", "eeprom", "lfuse", "hfuse", "efuse", "lock", "signature", "calibration"};
  int matches = 0;
  for (const char* n : kNames)
    if (IsPrefixOf(w, n) && ParseMemory(n, memory)) ++matches;
  return matches == 1;
}

// One data item of write as little-endian bytes: integers (0x, 0b, octal, decimal; the size
// from the hex digits or the value, or a suffix HH H S L LL, U unsigned; ":b" ":w" ":l" too),
// floats (32 bits, D 64), 'c' and "strings" (with their 0). false with error set.
bool DataItem(const std::string& word, std::vector<uint8_t>& out, std::string& warning, std::string& error) {
  out.clear();
  if (word.empty()) return false;
  if (word[0] == '"') {
    out.assign(word.begin() + 1, word.end());
    out.push_back(0);
    return true;
  }
  if (word[0] == '\'') {
    if (word.size() != 3) {
      error = "'" + word.substr(1, word.size() - 2) + "' is not one character";
      return false;
    }
    out.push_back(static_cast<uint8_t>(word[1]));
    return true;
  }
  std::string w = word;
  int size = 0;  // bytes a suffix asks for, 0: none
  bool isUnsigned = false;
  if (w.size() > 2 && w[w.size() - 2] == ':') {
    const char s = static_cast<char>(std::tolower(static_cast<unsigned char>(w.back())));
    size = s == 'b' ? 1 : s == 'w' ? 2 : s == 'l' ? 4 : s == 'q' ? 8 : -1;
    if (size < 0) {
      error = "\"" + word + "\": the size after : is b, w, l or q";
      return false;
    }
    w.resize(w.size() - 2);
  }
  std::string body = w;
  bool negative = false;
  size_t at = 0;
  if (at < body.size() && (body[at] == '-' || body[at] == '+')) negative = body[at++] == '-';
  const bool hex = body.compare(at, 2, "0x") == 0 || body.compare(at, 2, "0X") == 0;
  const bool bin = body.compare(at, 2, "0b") == 0 || body.compare(at, 2, "0B") == 0;
  // The integer suffixes, read from the end where they cannot be a digit of the number.
  std::string digits = body.substr(at);
  if (size == 0) {
    auto strip = [&](const char* suffix) {
      const size_t n = std::strlen(suffix);
      if (digits.size() <= n) return false;
      for (size_t k = 0; k < n; ++k)
        if (std::tolower(static_cast<unsigned char>(digits[digits.size() - n + k])) != suffix[k]) return false;
      digits.resize(digits.size() - n);
      return true;
    };
    for (int round = 0; round < 2; ++round) {
      if (!isUnsigned && strip("u")) { isUnsigned = true; continue; }
      if (size == 0 && strip("ll")) { size = 8; continue; }
      if (size == 0 && strip("hh")) { size = 1; continue; }
      if (size == 0 && strip("l")) { size = 4; continue; }
      if (size == 0 && (strip("h") || strip("s"))) { size = 2; continue; }
    }
  }
  unsigned long long value = 0;
  bool integer = !digits.empty();
  const int base = hex ? 16 : bin ? 2 : digits.size() > 1 && digits[0] == '0' ? 8 : 10;
  const size_t skip = hex || bin ? 2 : 0;
  if (digits.size() <= skip) integer = false;
  for (size_t k = skip; integer && k < digits.size(); ++k) {
    const char c = static_cast<char>(std::tolower(static_cast<unsigned char>(digits[k])));
    const int d = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : 99;
    if (d >= base || value > (~0ULL - static_cast<unsigned>(d)) / static_cast<unsigned>(base)) integer = false;
    else value = value * static_cast<unsigned>(base) + static_cast<unsigned>(d);
  }
  if (!integer) {
    // A float: 32 bits, or 64 with a D; "1.5", "1e3", "0x1.8p1", "2.5f".
    std::string f = w;
    bool isDouble = false;
    char* end = nullptr;
    double v = std::strtod(f.c_str(), &end);
    if (end == f.c_str() || *end != '\0') {
      const char last = f.empty() ? 0 : static_cast<char>(std::tolower(static_cast<unsigned char>(f.back())));
      if (last != 'f' && last != 'd') {
        error = "\"" + word.substr(0, 20) + "\" is not a number, a 'c' character or a \"string\"";
        return false;
      }
      isDouble = last == 'd';
      f.pop_back();
      v = std::strtod(f.c_str(), &end);
      if (end == f.c_str() || *end != '\0') {
        error = "\"" + word.substr(0, 20) + "\" is not a number, a 'c' character or a \"string\"";
        return false;
      }
    }
    if (size == 8) isDouble = true;
    if (isDouble) {
      uint8_t b[8];
      std::memcpy(b, &v, 8);
      out.assign(b, b + 8);
    } else {
      const float fv = static_cast<float>(v);
      uint8_t b[4];
      std::memcpy(b, &fv, 4);
      out.assign(b, b + 4);
    }
    return true;
  }
  // The size the number takes without a suffix: hex by its digits, others by their value.
  if (size == 0) {
    if (hex && !negative) {
      const size_t n = digits.size() - 2;
      size = n <= 2 ? 1 : n <= 4 ? 2 : n <= 8 ? 4 : 8;
    } else if (negative && !isUnsigned) {
      size = value <= 0x80 ? 1 : value <= 0x8000 ? 2 : value <= 0x80000000ULL ? 4 : 8;
    } else {
      size = value <= 0xFF ? 1 : value <= 0xFFFF ? 2 : value <= 0xFFFFFFFFULL ? 4 : 8;
    }
  } else {
    const unsigned long long top = size == 8 ? ~0ULL : (1ULL << (8 * size)) - 1;
    const unsigned long long half = size == 8 ? (1ULL << 63) : (1ULL << (8 * size - 1));
    if (negative ? value > half : value > top)
      warning = "\"" + word.substr(0, 20) + "\" does not fit in " + std::to_string(size) + " byte" +
                (size == 1 ? "" : "s") + ": its lowest are written";
  }
  if (negative) value = ~value + 1;
  for (int k = 0; k < size; ++k) out.push_back(static_cast<uint8_t>(value >> (8 * k)));
  return true;
}

// "0010  0c 94 34 00 0c 94 51 00  0c 94 51 00 0c 94 51 00  |..4...Q...Q...Q.|"
std::string DumpLine(uint32_t address, const uint8_t* bytes, size_t n) {
  // As avrdude lays it out: the hex column padded to 48, the characters to 16.
  char head[16], pair[4];
  std::snprintf(head, sizeof head, "%04x  ", address);
  std::string hex, text;
  for (size_t i = 0; i < n; ++i) {
    if (i == 8) hex += ' ';
    std::snprintf(pair, sizeof pair, "%02x", bytes[i]);
    hex += std::string(pair) + (i < 15 ? " " : "");
    const int c = bytes[i];
    text += std::isalnum(c) || std::ispunct(c) ? static_cast<char>(c) : std::isspace(c) ? ' ' : '.';
  }
  hex.resize(48, ' ');
  text.resize(16, ' ');
  return head + hex + "  |" + text + "|";
}

volatile sig_atomic_t g_interrupted = 0;
void OnPromptSignal(int) { g_interrupted = 1; }

// Waits until fd has something to read, in short looks, so that a stop signal (SIGTERM,
// SIGHUP) or Ctrl-C is seen even when it came just before a look; false when one came.
bool WaitInput(int fd) {
  for (;;) {
    if (StopRequested() || g_interrupted) return false;
    pollfd p{fd, POLLIN, 0};
    const int r = ::poll(&p, 1, 250);
    if (r > 0 || (r < 0 && errno != EINTR)) return true;  // a read error is the read's to report
  }
}

// One byte of the terminal's line for libedit (which would read again after an interrupted
// read): EOF at a stop or Ctrl-C.
int GetcStoppable(FILE* in) {
  unsigned char c = 0;
  for (;;) {
    if (!WaitInput(fileno(in))) return EOF;
    const ssize_t n = ::read(fileno(in), &c, 1);
    if (n == 1) return c;
    if (n < 0 && errno == EINTR) continue;
    return EOF;
  }
}

// A script on standard input, read in blocks.
struct ScriptInput {
  char block[4096];
  size_t pos = 0, end = 0;
  int Next() {
    while (pos == end) {
      if (!WaitInput(0)) return EOF;
      const ssize_t n = ::read(0, block, sizeof block);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return EOF;
      pos = 0;
      end = static_cast<size_t>(n);
    }
    return static_cast<unsigned char>(block[pos++]);
  }
};

// One line from the terminal (libedit, with history) or from a script on standard input;
// false at its end, at a stop or on Ctrl-C.
bool ReadCommand(bool tty, ScriptInput& script, std::string& line) {
  if (!tty) {
    // A script's line is a command: one longer than any command is cut, never held whole.
    line.clear();
    int c;
    while ((c = script.Next()) != EOF && c != '\n')
      if (line.size() < kLongestLine) line += static_cast<char>(c);
    return c != EOF || !line.empty();
  }
  // Ctrl-C at the prompt ends the read (no restart) and leaves the terminal cleanly.
  struct sigaction sa {}, old {};
  sa.sa_handler = OnPromptSignal;
  sigemptyset(&sa.sa_mask);
  g_interrupted = 0;
  sigaction(SIGINT, &sa, &old);
  char* got = readline("quillet> ");
  sigaction(SIGINT, &old, nullptr);
  if (!got || g_interrupted) {
    std::free(got);
    std::fputs("\n", stdout);
    return false;
  }
  line = std::string(got).substr(0, kLongestLine);
  std::free(got);
  if (line.find_first_not_of(" \t") != std::string::npos) add_history(line.c_str());
  return true;
}

}  // namespace

int Run::Terminal() {
  const bool tty = ::isatty(0);
  inTerminal_ = true;
  if (tty) {
    rl_catch_signals = 0;
    rl_getc_function = GetcStoppable;
    using_history();
  }
  int status = kSuccess;
  std::string line;
  bool quit = false;
  ScriptInput script;
  while (!quit && !StopRequested() && ReadCommand(tty, script, line)) {
    if (TerminalLine(line, quit) != kSuccess) {
      status = kFailed;
      // Without the gateway there is nothing left to do here.
      if (PortHandle < 0) return kFailed;
    }
  }
  if (StopRequested()) return Stopped("the terminal");
  return status;
}

int Run::TerminalLine(const std::string& line, bool& quit) {
  std::vector<std::string> words;
  std::string error;
  const size_t first = line.find_first_not_of(" \t");
  if (first == std::string::npos || line[first] == '#') return kSuccess;
  if (!SplitWords(line, words, error)) return Fail(error + " (help lists the commands)");
  if (words.empty()) return kSuccess;
  const bool was = inTerminal_;
  inTerminal_ = true;
  const int s = TerminalCommand(words, quit);
  inTerminal_ = was;
  return s;
}

int Run::TerminalCommand(const std::vector<std::string>& words, bool& quit) {
  const std::string given = words[0].substr(0, 40);  // echoed in messages
  const std::string cmd = CommandWord(words[0]);
  auto usage = [&](const std::string& text) {
    return Fail((cmd.empty() ? given : cmd) + ": " + text + " (help lists the commands)");
  };
  if (cmd.empty()) return usage("unknown command");
  if (cmd == "quit") {
    quit = true;
    return kSuccess;
  }
  if (cmd == "help") {
    console_.Output(kHelp);
    return kSuccess;
  }
  if (cmd == "flush" || cmd == "abort") {
    console_.Output(cmd + ": nothing pending: every write goes to the chip at once");
    return kSuccess;
  }
  if (cmd == "part") {
    console_.Output(ChipName + " (" + SignatureText(SelectedChip) + "): flash " + std::to_string(FlashSize) +
                    " bytes, eeprom " + std::to_string(EepromSize) + " bytes, page " +
                    std::to_string(FindChip(SelectedChip) ? ChipFlashPageBytes(*FindChip(SelectedChip)) : 0) + " bytes");
    return kSuccess;
  }
  if (cmd == "erase") return Erase(true);
  if (cmd == "sig") {
    std::vector<uint8_t> sig;
    JobResult r;
    if (!ReadMemoryJob(Memory::Signature, sig, r)) return FailStep("signature read failed");
    const ChipEntry* e = FindChip(MakeChipId(sig[0], sig[1], sig[2]));
    console_.Output("signature " + SignatureText(MakeChipId(sig[0], sig[1], sig[2])) +
                    (e ? std::string(" (") + e->name + ")" : std::string(" (no known chip)")));
    return kSuccess;
  }
  if (cmd == "fuses") {
    for (Memory m : {Memory::LowFuse, Memory::HighFuse, Memory::ExtendedFuse, Memory::Lock}) {
      if (!CanRead(m)) continue;
      uint8_t v = 0xFF;
      if (!ReadFuseJob(m, v)) return FailStep(std::string(MemoryName(m)) + " read failed");
      const std::string bits = ProgrammedBits(m, v);
      console_.Output(std::string(MemoryName(m)) + " " + Hex2(v) + ": " +
                      (bits.empty() ? "no bit programmed" : "programmed (0): " + bits));
    }
    // Then the fields in words, where the chip's device file names them.
    std::vector<std::string> lines;
    std::string error;
    if (!ShowFuseLines(lines, error)) return FailStep(error);
    for (const std::string& l : lines) {
      bool byteLine = false;
      for (Memory m : {Memory::LowFuse, Memory::HighFuse, Memory::ExtendedFuse, Memory::Lock})
        byteLine = byteLine || l.rfind(std::string(MemoryName(m)) + ": ", 0) == 0;
      if (!byteLine) console_.Output("  " + l);
    }
    return kSuccess;
  }
  const bool write = cmd == "write";  // else dump (read, d)
  if (words.size() < 2) return usage("name a memory");
  Memory memory;
  if (!TerminalMemory(words[1], memory)) return usage("unknown memory \"" + words[1].substr(0, 20) + "\"");
  const uint32_t size = MemorySize(memory);
  const std::string name = MemoryName(memory);
  if (size == 0) return Fail(cmd + ": " + ChipName + " has no " + name);
  const bool ellipsis = words.back() == "...";
  unsigned long address = 0;
  const bool hasAddress = words.size() > 2 && !(words.size() == 3 && ellipsis && !write);
  if (hasAddress && !ParseNumber(words[2], size - 1, address))
    return usage("address \"" + words[2].substr(0, 20) + "\" is not within the " + Plural(size, "byte", "bytes") + " of " + name);

  if (write) {
    if (words.size() < 4 || (ellipsis && words.size() < 6))
      return usage(ellipsis ? "write MEM ADDR LEN DATA... ..." : "write MEM ADDR DATA...");
    unsigned long fill = 0;
    size_t from = 3;
    if (ellipsis) {
      if (!ParseNumber(words[3], size, fill) || fill == 0)
        return usage("length \"" + words[3].substr(0, 20) + "\" is not within the " + std::to_string(size) + " bytes of " + name);
      from = 4;
    }
    std::vector<uint8_t> bytes, item;
    for (size_t i = from; i < words.size() - (ellipsis ? 1 : 0); ++i) {
      std::string warning, error;
      if (!DataItem(words[i], item, warning, error)) return usage(error);
      if (!warning.empty()) console_.Result("warning: " + warning);
      bytes.insert(bytes.end(), item.begin(), item.end());
      if (bytes.size() > size) break;  // too many: said below
    }
    // The ... form: LEN bytes, the last item repeated after the data.
    if (ellipsis) {
      while (bytes.size() < fill) bytes.insert(bytes.end(), item.begin(), item.end());
      bytes.resize(fill);
    }
    if (address + bytes.size() > size)
      return usage(std::to_string(bytes.size()) + " bytes from " + words[2].substr(0, 20) + " go beyond the " +
                   std::to_string(size) + " bytes of " + name);
    UpdateJob j;
    j.text = "write " + name + " " + words[2].substr(0, 20);
    j.memory = memory;
    j.op = 'w';
    j.format = FileFormat::Immediate;
    for (size_t i = 0; i < bytes.size(); ++i) j.image.Put(static_cast<uint32_t>(address + i), bytes[i]);
    if (!CanWrite(memory))
      return Fail(cmd + ": " + ChipName + " cannot write " + name + " over the serial interface");
    if (int s = CheckFile(j)) return s;
    return WriteJob(j);
  }

  // dump: again without an address goes on where the last dump of that memory ended.
  const int index = static_cast<int>(memory);
  if (!hasAddress) address = dumpNext_[index] < size ? dumpNext_[index] : 0;
  if (words.size() == 3 && ellipsis) address = 0;
  // A dump that goes on takes the length of the last one of that memory, as avrdude's does.
  unsigned long length = hasAddress || dumpLength_[index] == 0 ? 256 : dumpLength_[index];
  if (ellipsis) length = size - address;
  else if (words.size() > 3 && !ParseNumber(words[3], size, length)) return usage("bad length \"" + words[3].substr(0, 20) + "\"");
  if (words.size() > 4) return usage("dump MEM [ADDR [LEN | ...] | ...]");
  std::vector<uint8_t> data;
  if (IsFuseOrLock(memory)) {
    uint8_t v = 0xFF;
    if (!ReadFuseJob(memory, v)) return FailStep(name + " read failed");
    data = {v};
    address = 0;
  } else if (memory == Memory::Signature || memory == Memory::Calibration) {
    JobResult r;
    if (!ReadMemoryJob(memory, data, r)) return FailStep(name + " read failed");
    data.erase(data.begin(), data.begin() + std::min<size_t>(address, data.size()));
  } else {
    JobResult r;
    console_.Begin(name + " read", length);
    if (!ReadMemoryRange(memory, static_cast<uint32_t>(address), static_cast<uint32_t>(length), data, r)) {
      if (r.stopped) return Stopped(name + " read");
      return FailStep(name + " read failed" + At(r));
    }
  }
  if (data.size() > length) data.resize(length);
  for (size_t i = 0; i < data.size(); i += 16)
    console_.Output(DumpLine(static_cast<uint32_t>(address + i), data.data() + i, std::min<size_t>(16, data.size() - i)));
  dumpNext_[index] = static_cast<uint32_t>(address + data.size());
  dumpLength_[index] = static_cast<uint32_t>(length);
  return kSuccess;
}

}  // namespace quillet::cli
