// quillet-cli -t: the chip at a prompt, with the field's terminal commands. Writes go through
// the jobs' own checks (sizes, fuse safety, verify), so a command can do nothing a -U could not.
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <editline/readline.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <sstream>

#include "chips/ChipModule.h"
#include "chips/Chipfunctions.h"
#include "cli/FuseWords.h"
#include "cli/Run.h"
#include "cli/Session.h"
#include "link/Portfunctions.h"
#include "log/Seams.h"

namespace quillet::cli {
namespace {

constexpr const char* kHelp =
    "dump MEM [ADDR [LEN]]    show LEN bytes (default 64) of a memory from ADDR on; again\n"
    "                         without ADDR goes on where the last one ended\n"
    "write MEM ADDR BYTES...  write bytes (0x12 18 022 0b10010) at ADDR; fuses as with -U:\n"
    "                         RSTDISBL, DWEN and CKSEL changes need --force-fuses\n"
    "erase                    chip erase (Flash, lock bits, EEPROM unless EESAVE)\n"
    "sig                      read the signature\n"
    "part                     the chip and its memories\n"
    "fuses                    read the fuse and lock bytes and name their programmed bits\n"
    "help                     this text\n"
    "quit                     leave (Ctrl-D and Ctrl-C too)\n"
    "MEM: flash eeprom lfuse hfuse efuse fuse fuse0-2 lock signature calibration";

constexpr size_t kLongestLine = 4096;

bool ParseNumber(const std::string& text, unsigned long max, unsigned long& value) {
  char* end = nullptr;
  if (text.empty() || text[0] == '-') return false;
  value = std::strtoul(text.c_str(), &end, 0);
  return *end == '\0' && value <= max;
}

// "0010  0c 94 34 00 0c 94 51 00  0c 94 51 00 0c 94 51 00  |..4...Q...Q...Q.|"
std::string DumpLine(uint32_t address, const uint8_t* bytes, size_t n) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "%04X ", address);
  std::string line = buf, text;
  for (size_t i = 0; i < 16; ++i) {
    if (i == 8) line += ' ';
    if (i < n) {
      std::snprintf(buf, sizeof buf, " %02x", bytes[i]);
      line += buf;
      text += bytes[i] >= 0x20 && bytes[i] < 0x7F ? static_cast<char>(bytes[i]) : '.';
    } else {
      line += "   ";
    }
  }
  return line + "  |" + text + "|";
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
    std::istringstream in(line);
    std::vector<std::string> words;
    for (std::string w; in >> w;) words.push_back(w);
    if (words.empty() || words[0][0] == '#') continue;
    if (TerminalCommand(words, quit) != kSuccess) {
      status = kFailed;
      // Without the gateway there is nothing left to do here.
      if (PortHandle < 0) return kFailed;
    }
  }
  if (StopRequested()) return Stopped("the terminal");
  return status;
}

int Run::TerminalCommand(const std::vector<std::string>& words, bool& quit) {
  const std::string cmd = words[0].substr(0, 40);  // echoed in messages
  auto usage = [&](const std::string& text) { return Fail(cmd + ": " + text + " (help lists the commands)"); };
  if (cmd == "quit" || cmd == "q" || cmd == "exit") {
    quit = true;
    return kSuccess;
  }
  if (cmd == "help" || cmd == "?") {
    console_.Output(kHelp);
    return kSuccess;
  }
  if (cmd == "part") {
    console_.Output(ChipName + " (" + SignatureText(SelectedChip) + "): flash " + std::to_string(FlashSize) +
                    " bytes, eeprom " + std::to_string(EepromSize) + " bytes, page " +
                    std::to_string(SelectedModule()->ProgramPageBytes()) + " bytes");
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
  if (cmd != "dump" && cmd != "write") return usage("unknown command");
  if (words.size() < 2) return usage("name a memory");
  Memory memory;
  if (!ParseMemory(words[1], memory)) return usage("unknown memory \"" + words[1].substr(0, 20) + "\"");
  const uint32_t size = MemorySize(memory);
  const std::string name = MemoryName(memory);
  if (size == 0) return Fail(cmd + ": " + ChipName + " has no " + name);
  unsigned long address = 0;
  if (words.size() > 2 && !ParseNumber(words[2], size - 1, address))
    return usage("address \"" + words[2].substr(0, 20) + "\" is not within the " + Plural(size, "byte", "bytes") + " of " + name);

  if (cmd == "write") {
    if (words.size() < 4) return usage("write MEM ADDR BYTES...");
    UpdateJob j;
    j.text = "write " + name + " " + words[2].substr(0, 20);
    j.memory = memory;
    j.op = 'w';
    j.format = FileFormat::Immediate;
    for (size_t i = 3; i < words.size(); ++i) {
      unsigned long v = 0;
      if (!ParseNumber(words[i], 0xFF, v))
        return usage("\"" + words[i].substr(0, 20) + "\" is not a byte value (0x00 to 0xFF)");
      j.image.Put(static_cast<uint32_t>(address + i - 3), static_cast<uint8_t>(v));
    }
    if (!CanWrite(memory))
      return Fail(cmd + ": " + ChipName + " cannot write " + name + " over the serial interface");
    if (memory == Memory::Flash && !erased_)
      console_.Result("note: a Flash write can only clear bits; the verify shows a byte that needed an erase");
    if (int s = CheckFile(j)) return s;
    return WriteJob(j);
  }

  // dump: again without an address goes on where the last dump of that memory ended.
  const int index = static_cast<int>(memory);
  if (words.size() <= 2) address = dumpNext_[index] < size ? dumpNext_[index] : 0;
  unsigned long length = 64;
  if (words.size() > 3 && !ParseNumber(words[3], size, length)) return usage("bad length \"" + words[3].substr(0, 20) + "\"");
  if (words.size() > 4) return usage("dump MEM [ADDR [LEN]]");
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
  return kSuccess;
}

}  // namespace quillet::cli
