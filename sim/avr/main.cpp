// quillet-gateway-avr: the gateway firmware on a simulated Arduino (ATmega328P at 16 MHz), its
// UART on a pseudo-terminal, its SPI pins and D10 wired to one simulated chip.
#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "sim/SimProgram.h"
#include "sim/SimChip.h"
#include "sim/avr/AvrBoard.h"

using namespace quillet::sim;

// Under LeakSanitizer: libsimavr keeps its core's memory and interrupt lines past
// avr_terminate; those are the library's, not this program's, and end with the process.
extern "C" const char* __lsan_default_suppressions() { return "leak:libsimavr.so\n"; }

namespace {

volatile std::sig_atomic_t g_stop = 0;
void OnSignal(int) { g_stop = 1; }

void Usage(FILE* f) {
  std::fprintf(f,
      "Usage: quillet-gateway-avr [options]\n"
      "Runs the gateway firmware on a simulated Arduino Uno/Nano whose serial line is a\n"
      "pseudo-terminal (its path is printed) and whose SPI pins and D10 reach one simulated chip.\n"
      "  --firmware ELF       the firmware to run (default: the one built with this program)\n"
      "  --chip NAME          the chip in the socket (default ATtiny2313), any catalogue chip,\n"
      "                       alias or part id (ATtiny13A, m328p)\n"
      "  --no-chip            an empty socket: MISO floats (high with D12's pull-up)\n"
      "  --target-clock HZ    the chip's clock (default 1000000, the parts' factory setting);\n"
      "                       SCK must stay below a quarter of it\n"
      "  --link PATH          a symlink PATH to the pseudo-terminal, removed at exit\n"
      "  --trace FILE         the RESET changes and SPI instructions the chip received, with time\n"
      "  --state FILE         the chip's memories, fuses, lock bits and violation count\n"
      "                       persist in FILE between runs\n"
      "  --busy typical|random:SEED|stuck   a Flash or EEPROM write keeps the chip busy for\n"
      "                       its datasheet's typical time (default), a random time up to the\n"
      "                       longest wait, or four times the longest (it fails every write)\n"
      "  --strict-timing      an instruction that may have come too early is refused even when\n"
      "                       the board cannot prove it (see quillet-gateway-sim)\n"
      "  --reset-fuses        factory fuses and unprogrammed lock bits, as a high-voltage\n"
      "                       programmer would restore them\n"
      "  --max-baud N         the line cannot carry more than N baud (a USB-serial chip that\n"
      "                       does not follow the firmware's faster rate): bytes turn to garbage\n"
      "  --damage-out N       every N-th byte to the program arrives with a bit flipped\n"
      "  --damage-in N        every N-th byte from the program arrives with a bit flipped\n"
      "  --damage-out @N, --damage-in @N   only the N-th byte (counted from 1) of that direction\n"
      "  --drop-out @N, --drop-in @N       the N-th byte is lost\n"
      "  --dup-out @N, --dup-in @N         the N-th byte arrives twice\n"
      "  --delay-out @N, --delay-in @N     the N-th byte and all after it arrive 1 s late\n"
      "  --enable-misses N    the chip does not take the first N Programming Enables\n"
      "  --auto-reset         opening the port resets the MCU, as an Arduino's DTR does: the\n"
      "                       bytes of the next second go to the bootloader and are lost\n"
      "  --usb-latency MS     answers shorter than 64 bytes leave the USB-serial chip MS\n"
      "                       milliseconds after their first byte, as an Uno's does (about 4)\n"
      "  --help               this text\n");
}

bool ParseCount(const char* s, uint64_t& out) {
  char* end = nullptr;
  errno = 0;
  const unsigned long long v = std::strtoull(s, &end, 10);
  if (errno || end == s || *end || *s == '-' || v == 0) return false;
  out = v;
  return true;
}

bool ParseHz(const char* s, uint32_t& out) {
  char* end = nullptr;
  errno = 0;
  const unsigned long v = std::strtoul(s, &end, 10);
  if (errno || end == s || *end || v < 1000 || v > 32000000) return false;
  out = static_cast<uint32_t>(v);
  return true;
}

// The firmware installed beside the program (../share/quillet/firmware from its folder), so an
// installed or moved copy runs its own; else the one built with it.
std::string DefaultFirmware() {
  const std::string built = QUILLET_FIRMWARE_ELF;
  char self[4096];
  const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  if (n <= 0) return built;
  std::string installed(self, static_cast<size_t>(n));
  installed.erase(installed.rfind('/'));      // the program's folder, bin/
  installed.erase(installed.rfind('/') + 1);  // the prefix
  installed += "share/quillet/firmware/" + built.substr(built.rfind('/') + 1);
  return access(installed.c_str(), F_OK) == 0 ? installed : built;
}

}  // namespace

int main(int argc, char** argv) {
  std::string chipName = "ATtiny2313", linkPath, tracePath, statePath;
  std::string firmware = DefaultFirmware();
  std::string busy;
  bool noChip = false, resetFuses = false, strictTiming = false, autoReset = false;
  uint64_t enableMisses = 0, usbLatencyMs = 0;
  uint32_t targetClock = 1000000;
  uint64_t maxBaud = 0, damageOut = 0, damageIn = 0;
  struct OneFault {
    AvrBoard::Fault fault = AvrBoard::Fault::None;
    uint64_t at = 0;
  } faultOut, faultIn;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    auto value = [&]() -> const char* {
      if (i + 1 >= argc) {
        std::fprintf(stderr, "%s needs a value\n", a.c_str());
        std::exit(2);
      }
      return argv[++i];
    };
    if (a == "--help" || a == "-h") {
      Usage(stdout);
      return 0;
    } else if (a == "--firmware") firmware = value();
    else if (a == "--chip") chipName = value();
    else if (a == "--no-chip") noChip = true;
    else if (a == "--target-clock") {
      const char* s = value();
      if (!ParseHz(s, targetClock)) {
        std::fprintf(stderr, "--target-clock: not a clock from 1000 to 32000000 Hz: %s\n", s);
        return 2;
      }
    } else if (a == "--link") linkPath = value();
    else if (a == "--trace") tracePath = value();
    else if (a == "--state") statePath = value();
    else if (a == "--reset-fuses") resetFuses = true;
    else if (a == "--strict-timing") strictTiming = true;
    else if (a == "--busy") busy = value();
    else if (a == "--auto-reset") autoReset = true;
    else if (a == "--enable-misses" || a == "--usb-latency") {
      const char* s = value();
      uint64_t& target = a == "--enable-misses" ? enableMisses : usbLatencyMs;
      if (!ParseCount(s, target) || target > 1000) {
        std::fprintf(stderr, "%s: not a count from 1 to 1000: %s\n", a.c_str(), s);
        return 2;
      }
    }
    else if ((a == "--damage-out" || a == "--damage-in" || a == "--drop-out" || a == "--drop-in" ||
              a == "--dup-out" || a == "--dup-in" || a == "--delay-out" || a == "--delay-in") &&
             i + 1 < argc && argv[i + 1][0] == '@') {
      const char* s = value();
      OneFault& f = a.size() > 4 && a.substr(a.size() - 4) == "-out" ? faultOut : faultIn;
      f.fault = a.rfind("--damage", 0) == 0 ? AvrBoard::Fault::Flip
                : a.rfind("--drop", 0) == 0 ? AvrBoard::Fault::Drop
                : a.rfind("--dup", 0) == 0  ? AvrBoard::Fault::Dup
                                            : AvrBoard::Fault::Delay;
      if (!ParseCount(s + 1, f.at)) {
        std::fprintf(stderr, "%s: not a byte number from 1 up: %s\n", a.c_str(), s);
        return 2;
      }
    } else if (a == "--max-baud" || a == "--damage-out" || a == "--damage-in") {
      const char* s = value();
      uint64_t& target = a == "--max-baud" ? maxBaud : a == "--damage-out" ? damageOut : damageIn;
      if (!ParseCount(s, target) || (a == "--max-baud" && (target < 1200 || target > 4000000))) {
        std::fprintf(stderr, "%s: not a %s: %s\n", a.c_str(),
                     a == "--max-baud" ? "rate from 1200 to 4000000" : "count from 1 up", s);
        return 2;
      }
    }
    else {
      std::fprintf(stderr, "unknown option: %s\n", a.c_str());
      Usage(stderr);
      return 2;
    }
  }

  std::unique_ptr<SimChip> socketChip = MakeSocketChip(
      {.chipName = chipName, .statePath = statePath, .noChip = noChip, .resetFuses = resetFuses,
       .strictTiming = strictTiming, .enableMisses = enableMisses, .busy = busy});
  if (!socketChip) return 2;
  SimChip& chip = *socketChip;

  bool traceOk = true;
  FILE* trace = OpenTrace(tracePath, traceOk);
  if (!traceOk) return 1;
  auto traceLine = [trace](int64_t us, const std::string& line) { TraceLine(trace, us, line); };

  TargetSocket socket(noChip ? nullptr : &chip);
  socket.trace = traceLine;
  AvrBoard board(socket, noChip ? nullptr : &chip);
  board.trace = traceLine;
  board.SetTargetClockHz(targetClock);
  board.SetMaxBaud(static_cast<uint32_t>(maxBaud));
  board.SetDamage(damageOut, damageIn);
  board.SetFault(true, faultOut.fault, faultOut.at);
  board.SetFault(false, faultIn.fault, faultIn.at);
  board.SetUsbLatencyMs(static_cast<uint32_t>(usbLatencyMs));
  std::string error;
  if (!board.Load(firmware, error) || !board.Boot(error)) {
    std::fprintf(stderr, "%s\n", error.c_str());
    return 1;
  }

  GatewayPty pty;
  if (!OpenGatewayPty(pty, linkPath)) return 1;
  const int master = pty.master, slave = pty.slave;
  const std::string& slavePath = pty.path;
  if (autoReset && !board.SetAutoReset(slavePath, error)) {
    std::fprintf(stderr, "%s\n", error.c_str());
    return 1;
  }

  // The handlers first: a caller may stop the board the moment it has the path.
  prctl(PR_SET_TIMERSLACK, 1UL, 0, 0, 0);
  std::signal(SIGPIPE, SIG_IGN);
  struct sigaction sa {};
  sa.sa_handler = OnSignal;
  sigaction(SIGTERM, &sa, nullptr);
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGHUP, &sa, nullptr);

  std::printf("%s\n", slavePath.c_str());
  std::fflush(stdout);

  auto save = [&]() {
    if (statePath.empty() || noChip) return;
    SaveSimState(statePath, chip.State());
  };
  uint64_t savedChanges = chip.Changes();
  // The state is kept once the line has rested a while, so a killed board loses little.
  board.idle = [&]() {
    if (chip.Changes() == savedChanges) return;
    save();
    savedChanges = chip.Changes();
  };

  const bool ran = board.Run(master, &g_stop, error);
  if (!ran) std::fprintf(stderr, "%s\n", error.c_str());
  if (chip.Changes() != savedChanges) save();
  if (trace) std::fclose(trace);
  close(slave);
  close(master);
  if (!linkPath.empty()) unlink(linkPath.c_str());
  return ran ? 0 : 1;
}
