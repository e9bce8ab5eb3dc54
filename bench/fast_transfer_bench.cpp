// Read and Write Flash through Quillet's own firmware on the simulated Arduino
// (quillet-gateway-avr), with the blocks and the negotiated line and SPI clock, against the
// physical limit worked out for each case in the same run, and against the contract's
// one-instruction exchanges through the same board (for a write, their bytes on the wire at
// 115200 baud plus their waits, where that is longer than the clock says: a pseudo-terminal
// takes a write at once).
//
// Limit = max(bytes on the wire at the line's rate, the instructions' SPI time at the SPI clock
// in use) + the datasheet's write waits (tWD_FLASH per page) + the 20 ms from RESET to
// Programming Enable that every operation starts with. A memory byte is one byte on the wire
// (8N2: 11 bits) and one four-byte instruction on the SPI.
//
// The fast way is timed again with a USB-serial chip's latency timer (the board's
// --usb-latency L, 4 ms as an Uno's ATmega16U2 or an FT232R): an answer whose last packet is
// shorter than 64 bytes reaches the program up to L after that packet's first byte. Its limit
// adds what the latency must cost whatever the program does: one L for the operation's last
// answer, and for each page of a write the part of L + the page's wire time that its write
// wait and its loads do not cover (the next page cannot leave before the commit's answer came,
// nor be loaded before the wait is over). A read's next block is asked for before its answer
// is taken, so its latency is covered by that block's SPI time: only the last one counts.
//
// A slow target last: an ATtiny85 on its 128 kHz oscillator, found by Autosearch at a slow SPI
// clock, its 8 KB of Flash written and verified at it, against the instructions' SPI time at
// that clock plus the write waits, and against an Arduino-as-ISP style programmer bit-banging
// about 20 kHz, which took 46.8 s for the same job on the same simulated board.
//
// Then the waits that end when the chip is ready: a radio part's and the ATmega328P's whole
// Flash written and read back (the read is the verify) with the chip polled and with the fixed
// longest waits, on a simulated chip busy for its datasheet's typical time. Their limit: the
// chip's own busy time (pages x the typical page write, and the erase) plus, for the write and
// for the read, the longer of the line (every byte on the wire once) and the SPI (every byte
// one instruction, and a page's commit, at the SPI clock in use), and the 20 ms before
// Programming Enable of each.
//
// Usage: fast_transfer_bench [--quick] [--slow] [--polling-only] [--contract-bytes N] [--allow-idle] [--usb-latency MS]
//   --quick             ATtiny85 only
//   --slow              the slow target only
//   --polling-only      only the comparison of polled and fixed waits
//   --usb-latency MS    the latency timer of the third run (default 4)
//   --contract-bytes N  the contract's way is timed on the first N bytes of the larger chips
//                       and scaled to the whole memory (default 8192; each byte costs the same
//                       exchange, so the scale is linear)
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "bench/Timing.h"
#include "chips/Catalogue.h"
#include "chips/ChipModule.h"
#include "chips/FastTransport.h"
#include "commands/Driver.h"
#include "commands/Jobs.h"
#include "firmware/GatewayParser.h"
#include "image/Images.h"
#include "link/Port.h"
#include "log/HostInterfaces.h"
#include "support/CountingDriver.h"
#include "support/Fakes.h"
#include "support/SimProcess.h"

namespace quillet {
namespace {

using SteadyClock = std::chrono::steady_clock;

double Seconds(SteadyClock::time_point t0) { return std::chrono::duration<double>(SteadyClock::now() - t0).count(); }

struct Case {
  const char* chip;
  uint32_t targetHz;
};

struct Timing {
  double read = 0, write = 0;  // seconds for the whole memory
  double readLimit = 0, writeLimit = 0;
  double readLatencyLimit = 0, writeLatencyLimit = 0;  // with the board's USB latency
  bool ok = true;
  uint32_t baud = 115200;
  uint32_t sck = 125000;
};

constexpr double kEnableS = 0.020;

// Times a read and a write (after an erase) of bytes of Flash, fast or not; the limits from the
// line and SPI clock that the run ended up with.
Timing Measure(test::CoreFixture& fixture, test::CountingDriver& driver, test::CountingClock& clock, const Case& c,
               bool fast, uint32_t bytes, const std::vector<uint8_t>& data, uint32_t latencyMs = 0) {
  fixture.log.lines.clear();
  Timing t;
  std::vector<std::string> args = {"--chip", c.chip, "--target-clock", std::to_string(c.targetHz)};
  if (latencyMs) args.insert(args.end(), {"--usb-latency", std::to_string(latencyMs)});
  test::SimProcess board(QUILLET_AVR_BOARD, args);
  if (board.path.empty()) {
    t.ok = false;
    return t;
  }
  SetFastTransfers(fast);
  OpenPort(board.path);
  RunAutosearch();
  const ChipEntry* e = FindChipByName(c.chip);
  if (PortHandle < 0 || !e || SelectedChip != e->id) {
    std::printf("  %s: Autosearch failed\n", c.chip);
    t.ok = false;
    ClosePort();
    return t;
  }
  const FastStats s = GetFastStats();
  if (fast) {
    t.baud = s.baud;
    t.sck = 16000000 / firmware::fast::kSpiDivider[s.spiCode];
  }
  FlashSize = bytes;
  JobResult r;
  t.ok = EraseChip();
  FileImage image;
  for (uint32_t a = 0; a < bytes; ++a) image.Put(a, data[a]);
  // The wire time at the contract's 115200 baud of what crossed the line, and the waits.
  auto floor = [&driver, &clock](long long bytes0, long long slept0) {
    const long long bytes = driver.written + driver.answered - bytes0;
    return static_cast<double>(bytes) * 11 / 115200 + (clock.sleptMs - slept0) / 1000.0;
  };
  long long b0 = driver.written + driver.answered;
  long long s0 = clock.sleptMs;
  auto t0 = SteadyClock::now();
  t.ok = t.ok && WriteMemoryJob(Memory::Flash, image, false, r);
  t.write = Seconds(t0);
  if (!fast) t.write = std::max(t.write, floor(b0, s0));
  std::vector<uint8_t> out;
  b0 = driver.written + driver.answered;
  s0 = clock.sleptMs;
  t0 = SteadyClock::now();
  t.ok = t.ok && ReadMemoryJob(Memory::Flash, out, r);
  t.read = Seconds(t0);
  if (!fast) t.read = std::max(t.read, floor(b0, s0));
  t.ok = t.ok && out == std::vector<uint8_t>(data.begin(), data.begin() + bytes);
  ClosePort();
  if (!t.ok && getenv("FAST_BENCH_DEBUG"))
    for (const std::string& l : fixture.log.lines) std::printf("    | %s\n", l.c_str());
  const uint32_t page = ChipFlashPageBytes(*e);
  const double pages = page ? static_cast<double>(bytes) / page : 0;
  const double wire = bytes * 11.0 / t.baud;
  const double spi = bytes * 32.0 / t.sck;
  t.readLimit = std::max(wire, spi) + kEnableS;
  const double waits = pages * e->times.flashUs / 1e6;
  t.writeLimit = std::max(wire, spi + pages * 32.0 / t.sck) + waits + kEnableS;
  const double latency = latencyMs / 1000.0;
  const double perPage = pages ? std::max(wire, spi + pages * 32.0 / t.sck) / pages + waits / pages : 0;
  const double pageWire = pages ? wire / pages : 0;
  t.readLatencyLimit = t.readLimit + latency;
  t.writeLatencyLimit = t.writeLimit + latency + pages * std::max(0.0, latency + pageWire - perPage);
  return t;
}

constexpr double kPeerSlowS = 46.8;

// The slow target's write and verify; false when either failed or Autosearch found no chip.
bool MeasureSlow(test::CoreFixture& fixture) {
  fixture.log.lines.clear();
  const char* chip = "ATtiny85";
  test::SimProcess board(QUILLET_AVR_BOARD, {"--chip", chip, "--target-clock", "128000"});
  if (board.path.empty()) return false;
  SetFastTransfers(true);
  OpenPort(board.path);
  RunAutosearch();
  const ChipEntry* e = FindChipByName(chip);
  const uint8_t period = SlowSpiPeriodCode();
  if (PortHandle < 0 || !e || SelectedChip != e->id || period == 0) {
    std::printf("  %s at 128 kHz: Autosearch failed\n", chip);
    ClosePort();
    return false;
  }
  FlashSize = e->flashSize;
  std::mt19937 gen(FlashSize + 1);
  FileImage image;
  for (uint32_t a = 0; a < FlashSize; ++a) image.Put(a, static_cast<uint8_t>(gen()));
  JobResult r;
  bool ok = EraseChip();
  const auto t0 = SteadyClock::now();
  ok = ok && WriteMemoryJob(Memory::Flash, image, false, r) && VerifyMemoryJob(Memory::Flash, image, r);
  const double took = Seconds(t0);
  const bool fast = FastActive();
  ClosePort();
  if (!ok && getenv("FAST_BENCH_DEBUG"))
    for (const std::string& l : fixture.log.lines) std::printf("    | %s\n", l.c_str());
  const double bitUs = period * double{firmware::kSpiPeriodUnitUs};
  const uint32_t pages = FlashSize / ChipFlashPageBytes(*e);
  const double limit = (2.0 * FlashSize + pages) * 32 * bitUs / 1e6 + pages * e->times.flashUs / 1e6 + 2 * kEnableS;
  std::printf("%-11s %-6s %-12s %7.2f %7.2f %6.3f  peer %.1f s, ratio %.2f  (%s, SCK %.1f kHz)%s\n", chip, "128kHz",
              "write+verify", took, limit, took / limit, kPeerSlowS, took / kPeerSlowS,
              fast ? "fast transfers" : "one instruction at a time", 1000.0 / bitUs, ok ? "" : "  FAILED");
  std::fflush(stdout);
  return ok;
}

// The polled and the fixed waits on one chip, each measured in this run.
bool CompareWaits(test::CoreFixture& fixture, test::CountingDriver& driver, test::CountingClock& clock, const Case& c) {
  const ChipEntry* e = FindChipByName(c.chip);
  if (!e || !e->part) return false;
  const uint32_t size = e->flashSize;
  std::mt19937 gen(size);
  std::vector<uint8_t> data(size);
  for (uint8_t& b : data) b = static_cast<uint8_t>(gen());
  SetReadyPolling(true);
  const Timing polled = Measure(fixture, driver, clock, c, true, size, data);
  SetReadyPolling(false);
  const Timing fixed = Measure(fixture, driver, clock, c, true, size, data);
  SetReadyPolling(true);
  const double pages = static_cast<double>(size) / ChipFlashPageBytes(*e);
  const double busy = pages * e->part->typical.flashUs / 1e6 + e->part->typical.eraseUs / 1e6;
  const double wire = size * 11.0 / polled.baud;
  const double line = std::max(wire, (size + pages) * 32.0 / polled.sck) + std::max(wire, size * 32.0 / polled.sck);
  const double limit = busy + line + 2 * kEnableS;
  std::printf("%-14s %6u KB  write %6.2f s polled, %6.2f s fixed: %5.2fx faster (%.0f %% less time)\n", c.chip,
              size / 1024, polled.write, fixed.write, fixed.write / polled.write,
              100.0 * (1 - polled.write / fixed.write));
  std::printf(
      "%-14s %6s     write+verify %6.2f s polled, %6.2f s fixed; chip busy %5.2f s + line and SPI %5.2f s"
      " = %5.2f s: polled %5.2f x that, fixed %5.2f x  (%u baud / SCK %u Hz)%s\n",
      "", "", polled.write + polled.read, fixed.write + fixed.read, busy, line + 2 * kEnableS, limit,
      (polled.write + polled.read) / limit, (fixed.write + fixed.read) / limit, polled.baud, polled.sck,
      polled.ok && fixed.ok ? "" : "  FAILED");
  std::fflush(stdout);
  return polled.ok && fixed.ok;
}

}  // namespace
}  // namespace quillet

int main(int argc, char** argv) {
  using namespace quillet;
  bool quick = false, allowIdle = false, slowOnly = false, pollingOnly = false;
  uint32_t contractBytes = 8192, latencyMs = 4;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--quick") quick = true;
    else if (a == "--slow") slowOnly = true;
    else if (a == "--polling-only") pollingOnly = true;
    else if (a == "--allow-idle") allowIdle = true;
    else if (a == "--contract-bytes" && i + 1 < argc) contractBytes = std::max(1024, std::atoi(argv[++i]));
    else if (a == "--usb-latency" && i + 1 < argc) latencyMs = static_cast<uint32_t>(std::max(0, std::atoi(argv[++i])));
    else {
      std::fprintf(stderr,
                   "usage: fast_transfer_bench [--quick] [--slow] [--polling-only] [--contract-bytes N] [--allow-idle] "
                   "[--usb-latency MS]\n");
      return 2;
    }
  }
#ifndef QUILLET_AVR_BOARD
  std::printf("quillet-gateway-avr was not built (no avr-g++ or libsimavr): nothing to measure\n");
  return 0;
#else
  if (!allowIdle) bench::HoldWakeLatencyZero();
  test::CoreFixture fixture;  // the log and prompts recorded, not shown
  // The termios driver and the real clock, counted: a pseudo-terminal takes a write at once
  // where a serial port takes its wire time, so the contract's writes are timed as their bytes
  // on the wire plus their waits, where that is longer than the clock says.
  test::CountingDriver driver;
  SetSerialDriver(&driver);
  SetClock(nullptr);
  test::CountingClock clock(GetClock());
  SetClock(&clock);
  DelayValue = 0;
  std::vector<Case> cases = {{"ATtiny85", 1000000}, {"ATtiny85", 8000000}};
  if (slowOnly) cases.clear();
  if (!quick && !slowOnly) {
    cases.push_back({"AT90CAN128", 1000000});
    cases.push_back({"AT90CAN128", 8000000});
  }
  std::printf("%-11s %-6s %-5s %7s %7s %6s  %7s %7s %6s  %8s %8s  %s\n", "chip", "target", "op", "fast s", "limit",
              "ratio", "+lat s", "limit", "ratio", "contract", "speed-up", "line / SCK");
  std::printf("(+lat: fast transfers with a %u ms USB latency timer on the board)\n", latencyMs);
  int failures = 0;
  if (pollingOnly) cases.clear();
  for (const Case& c : cases) {
    const ChipEntry* e = FindChipByName(c.chip);
    const uint32_t size = e->flashSize;
    std::mt19937 gen(size);
    std::vector<uint8_t> data(size);
    for (uint8_t& b : data) b = static_cast<uint8_t>(gen());
    const Timing fast = Measure(fixture, driver, clock, c, true, size, data);
    const Timing lat = Measure(fixture, driver, clock, c, true, size, data, latencyMs);
    const uint32_t part = std::min(size, contractBytes);
    Timing contract = Measure(fixture, driver, clock, c, false, part, data);
    const double scale = static_cast<double>(size) / part;
    contract.read *= scale;
    contract.write *= scale;
    const bool ok = fast.ok && lat.ok && contract.ok;
    if (!ok) ++failures;
    char line[64];
    std::snprintf(line, sizeof line, "%u baud / %u Hz", fast.baud, fast.sck);
    const char* hz = c.targetHz == 1000000 ? "1 MHz" : "8 MHz";
    std::printf("%-11s %-6s %-5s %7.2f %7.2f %6.3f  %7.2f %7.2f %6.3f  %8.1f %7.1fx  %s%s\n", c.chip, hz, "read",
                fast.read, fast.readLimit, fast.read / fast.readLimit, lat.read, lat.readLatencyLimit,
                lat.read / lat.readLatencyLimit, contract.read, contract.read / fast.read, line, ok ? "" : "  FAILED");
    std::printf("%-11s %-6s %-5s %7.2f %7.2f %6.3f  %7.2f %7.2f %6.3f  %8.1f %7.1fx%s%s\n", c.chip, hz, "write",
                fast.write, fast.writeLimit, fast.write / fast.writeLimit, lat.write, lat.writeLatencyLimit,
                lat.write / lat.writeLatencyLimit, contract.write, contract.write / fast.write,
                part < size ? "  (contract scaled from its first " : "",
                part < size ? (std::to_string(part) + " bytes)").c_str() : "");
    std::fflush(stdout);
  }
  if (!quick && !slowOnly) {
    std::printf("waits that end when the chip is ready, the chip busy for its typical time:\n");
    for (const Case& c :
         {Case{"ATmega328P", 16000000}, Case{"ATmega128RFR2", 16000000}, Case{"ATmega256RFR2", 16000000}})
      if (!CompareWaits(fixture, driver, clock, c)) ++failures;
  }
  if (!pollingOnly && !MeasureSlow(fixture)) ++failures;
  // An "Arduino as ISP" style programmer runs its line at 19200 baud 8N1 and carries at least
  // one byte on it per byte of memory: its floor, whatever its SPI and waits.
  std::printf("for comparison, the line alone of a 19200-baud programmer: %.1f s for 8 KB, %.1f s for 128 KB\n",
              8192 * 10 / 19200.0, 131072 * 10 / 19200.0);
  SetSerialDriver(nullptr);
  SetClock(nullptr);
  return failures ? 1 : 0;
#endif
}
