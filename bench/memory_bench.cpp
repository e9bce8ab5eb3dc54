// Read, Write and Verify of Flash and EEPROM through RunMemoryCommand (the code behind the
// window's buttons) against the simulator program paced at 115200 baud 8N2, compared with
// the protocol's floor: the wire time of every byte both ways plus every wait the program
// prescribes.
//
// The floor is counted, not derived by hand: each operation runs once in-process against the
// simulated gateway in virtual time, through a decorator that sums the bytes written, the
// bytes answered and the sleeps. floor = (written + answered) x 95.49 us + sleeps.
//
// Two ways of timing against the simulator program over its pseudo-terminal:
//   drain  a bench-only decorator waits, after each write, until the bytes' wire time has
//          passed, as a real UART's tcdrain does. This is the comparison with the floor.
//   plain  PosixSerialDriver as it stands. A pseudo-terminal's write returns at once, so the
//          program's sleeps overlap the simulator's wire time and the ratio can fall below 1.
// Each timing ends with one extra ReadBack exchange (0x45, 8 bytes back): it can only be
// answered once the simulator has clocked in everything before it, so the timing covers the
// simulator's work too. Its own wire time (9 bytes) is subtracted.
//
// Usage: memory_bench [--quick] [--runs N] [--plain-runs N] [--chip NAME]... [--op OP]...
//                     [--delay N]... [--mode drain|plain]
//   OP: read-program write-program verify-program read-data write-data verify-data, or a
//       prefix such as "read" or "program" (matches every op containing it).
//   --quick: ATtiny2313 only, one run per mode.
//   --timer-slack-1: the process asks for 1 ns timer slack (default 50 us) before it runs.
//   --allow-idle: leave the processors free to halt when idle (by default the run holds them
//       out of idle states through /dev/cpu_dma_latency, which needs root, or where the kernel
//       has no cpuidle driver to honour that, with idle-class spinning threads).
//   --gaps [CHIP]: only the breakdown of the time over the floor, from the simulator's trace.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "bench/Timing.h"
#include "bench/YesPrompt.h"
#include "chips/Catalogue.h"
#include "commands/Driver.h"
#include "image/Images.h"
#include "link/Port.h"
#include "link/PosixSerial.h"
#include "log/HostInterfaces.h"
#include "log/Log.h"
#include "sim/SimChip.h"
#include "sim/Wire.h"
#include "support/CountingDriver.h"
#include "support/SimDriver.h"
#include "support/SimProcess.h"

extern char** environ;

namespace quillet {
namespace {

constexpr int64_t kByteNs = 95486;  // 11 bits at 115200 baud
constexpr double kByteMs = kByteNs / 1e6;
constexpr int kMarkerBytes = 9;  // 0x45 out, 8 bytes back

using sim::NowNs;

// The drain emulation must not add the scheduler's lateness to every packet, or it would charge
// the program for the bench's own overshoot. A packet's whole wire time (well under 1 ms) is
// spun: a sleep in the middle of it lets the pseudo-terminal's delivery of the packet queue
// behind our wake-up (measured: the packet after a drained 0x44 then reached the simulator
// 190 us late instead of 7).
void WaitUntilNs(int64_t target) { sim::WaitUntilNs(target, 1000000); }

// ---------------------------------------------------------------------------------------
// The operations

struct Operation {
  MemoryOperation op;
  const char* name;
  bool program;
};

const Operation kOperations[] = {
    {MemoryOperation::WriteProgram, "write-program", true},   {MemoryOperation::ReadProgram, "read-program", true},
    {MemoryOperation::VerifyProgram, "verify-program", true}, {MemoryOperation::WriteData, "write-data", false},
    {MemoryOperation::ReadData, "read-data", false},          {MemoryOperation::VerifyData, "verify-data", false},
};

// Keeps the log of the current operation, to tell success from failure.
class LastLines : public LogSink {
 public:
  void AppendLine(const std::string& line) override { lines.push_back(line); }
  // The line after "Trying to ...": "Finished" or "Finished. No differences found.", or why not.
  std::string Failure() const {
    for (const std::string& l : lines) {
      if (l.find("with fail") != std::string::npos || l.rfind("Error", 0) == 0 || l.rfind("No chip", 0) == 0) return l;
    }
    return "";
  }
  std::vector<std::string> lines;
};

// A fixed pseudo-random image, so writes change every page and verifies compare real data.
void FillImages() {
  uint32_t x = 0x9E3779B9u;
  for (auto& b : ProgramImage) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    b = static_cast<uint8_t>(x);
  }
  for (auto& b : DataImage) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    b = static_cast<uint8_t>(x);
  }
}

// ---------------------------------------------------------------------------------------
// The floor: counted from the exact exchange, in virtual time.

struct Floor {
  long long written = 0, answered = 0, sleptMs = 0, packets = 0;
  double pacedVirtualMs = 0;  // the same run with the in-process line paced: must agree
  uint64_t violations = 0;
  double Ms() const { return (written + answered) * kByteMs + sleptMs; }
};

// Runs the operations in order on one fresh in-process chip and counts each.
bool CountFloors(const ChipEntry& chip, int delay, const std::vector<const Operation*>& ops,
                 std::map<std::string, Floor>& out) {
  LastLines log;
  SetLogSink(&log);
  test::SimDriver sim(chip.name, {}, false);
  sim.paced = true;
  test::CountingDriver counter(sim);
  test::CountingClock clock(sim);
  SetSerialDriver(&counter);
  SetClock(&clock);
  OpenPort("/dev/null");
  bool ok = PortHandle >= 0;
  SelectChip(chip.id);
  FillImages();
  DelayValue = delay;
  for (const Operation* o : ops) {
    if (!ok) break;
    log.lines.clear();
    counter.Reset();
    clock.sleptMs = 0;
    const int64_t t0 = sim.NowUs();
    const uint64_t v0 = sim.Violations();
    RunMemoryCommand(o->op);
    Floor f{counter.written,      counter.answered, clock.sleptMs, counter.packets, (sim.NowUs() - t0) / 1000.0,
            sim.Violations() - v0};
    if (std::string why = log.Failure(); !why.empty()) {
      std::printf("  floor run of %s %s failed: %s\n", chip.name, o->name, why.c_str());
      ok = false;
    }
    out[o->name] = f;
  }
  ClosePort();
  SetSerialDriver(nullptr);
  SetClock(nullptr);
  SetLogSink(nullptr);
  return ok;
}

// ---------------------------------------------------------------------------------------
// The simulator program and the real line.

class DrainingDriver : public SerialDriver {
 public:
  int Open(const std::string& d) override { return inner_.Open(d); }
  bool GetSettings(int h) override { return inner_.GetSettings(h); }
  bool SetSettings(int h) override { return inner_.SetSettings(h); }
  void Purge(int h) override { inner_.Purge(h); }
  bool Write(int h, const uint8_t* data, int count) override {
    const int64_t start = NowNs();
    const bool ok = inner_.Write(h, data, count);
    lineFree_ = std::max(start, lineFree_) + int64_t{count} * kByteNs;
    WaitUntilNs(lineFree_);
    return ok;
  }
  int Read(int h, uint8_t* data, int max, int expected, int timeoutMs) override {
    return inner_.Read(h, data, max, expected, timeoutMs);
  }
  void Close(int h) override { inner_.Close(h); }
  int LastError() const override { return inner_.LastError(); }

 private:
  PosixSerialDriver inner_;
  int64_t lineFree_ = 0;
};

class Simulator {
 public:
  Simulator(const std::string& chip, const std::string& tag, std::string trace = "")
      : chip_(chip), trace_(std::move(trace)) {
    const std::string base = "/tmp/quillet-memory-bench-" + std::to_string(getpid()) + "-" + tag;
    link_ = base + ".tty";
    state_ = base + ".state";
  }
  ~Simulator() { Stop(); }

  bool Start() {
    unlink(link_.c_str());
    unlink(state_.c_str());
    // Strict: on the benchmark's idle machine every early instruction is the program's.
    std::vector<std::string> args = {"--chip", chip_, "--link", link_, "--state", state_, "--pace", "--strict-timing"};
    if (!trace_.empty()) {
      args.push_back("--trace");
      args.push_back(trace_);
    }
    process_ = std::make_unique<test::SimProcess>(QUILLET_SIM_BINARY, args);
    struct stat st;
    return !process_->path.empty() && stat(link_.c_str(), &st) == 0;
  }

  void Stop() {
    process_.reset();
    unlink(link_.c_str());
    unlink(state_.c_str());
    unlink((state_ + ".tmp").c_str());
  }

  // The violation count as last saved: the simulator saves once the line has rested 20 ms.
  uint64_t Violations() const {
    struct stat st;
    if (stat(state_.c_str(), &st) != 0) return 0;  // nothing changed yet
    sim::SimChipState s;
    return sim::LoadSimState(state_, s) ? s.violations : UINT64_MAX;
  }

  const std::string& Device() const { return link_; }

 private:
  std::string chip_, trace_, link_, state_;
  std::unique_ptr<test::SimProcess> process_;
};

// The extra ReadBack that closes a timing: answered only after the simulator has clocked in
// all that came before. Waits longer than ReadAnswer would: a pseudo-terminal may have queued
// seconds of wire time ahead of it.
bool Marker() {
  if (!WritePacket(MakePacket({0x45}))) return false;
  uint8_t buf[32];
  return GetSerialDriver().Read(PortHandle, buf, sizeof buf, 8, 60000) >= 8;
}

struct Timing {
  double ms = 0;
  uint64_t violations = 0;
  std::string failure;
};

Timing TimeOne(const Operation& o, Simulator& sim, LastLines& log) {
  Timing t;
  const uint64_t v0 = sim.Violations();
  log.lines.clear();
  const int64_t t0 = NowNs();
  RunMemoryCommand(o.op);
  const bool marked = Marker();
  const int64_t t1 = NowNs();
  t.ms = (t1 - t0) / 1e6 - kMarkerBytes * kByteMs;
  t.failure = log.Failure();
  if (!marked && t.failure.empty()) t.failure = "closing ReadBack not answered";
  // Let the simulator save its state (it does once the line rests 20 ms).
  WaitUntilNs(NowNs() + 80000000);
  t.violations = sim.Violations() - v0;
  return t;
}

// Where the time over the floor goes, from the simulator's own trace of one Read Data at
// DelayValue 0 with drained writes. For every packet: how long after the line's previous
// activity (the last byte in, or the answer's last byte out) its first byte was clocked in.
// After a drained packet nothing of ours stands in between but one write(), so that lag is
// the pseudo-terminal's delivery and the simulator's wake-up; after an answer it also holds
// the program's own wake-up from poll().
// One operation at DelayValue 0 with drained writes on a fresh simulator that traces; the
// trace's lines.
std::vector<std::string> TracedRun(const ChipEntry& chip, MemoryOperation op) {
  const std::string trace =
      "/tmp/quillet-memory-bench-" + std::to_string(getpid()) + "-" + std::to_string(static_cast<int>(op)) + ".trace";
  {
    Simulator sim(chip.name, "gaps", trace);
    if (!sim.Start()) return {};
    LastLines log;
    SetLogSink(&log);
    DrainingDriver drain;
    SetSerialDriver(&drain);
    OpenPort(sim.Device());
    Marker();
    SelectChip(chip.id);
    FillImages();
    DelayValue = 0;
    RunMemoryCommand(op);
    Marker();
    ClosePort();
    SetSerialDriver(nullptr);
    SetLogSink(nullptr);
  }
  std::vector<std::string> lines;
  std::ifstream in(trace);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  unlink(trace.c_str());
  return lines;
}

// After each Flash page commit the program waits 5 ms once the commit is on the wire, and
// the next instruction needs six more bytes: in the simulator's time the next execute must
// come at least 5 ms + 6 bytes later. Less than that is lag the simulator carried into the
// commit (it clocks every byte at the full wire rate, so a lag picked up in a burst of loads
// is not made good before the burst ends).
void CommitLag(const ChipEntry& chip) {
  const std::vector<std::string> lines = TracedRun(chip, MemoryOperation::WriteProgram);
  double commitAt = -1, shortest = 1e9;
  int commits = 0, violations = 0;
  for (const std::string& line : lines) {
    double t = 0;
    unsigned cmd = 0, i1 = 0;
    if (line.find("timing violation") != std::string::npos) ++violations;
    if (std::sscanf(line.c_str(), "%lf %x ExecuteInstruction %x", &t, &cmd, &i1) != 3) continue;
    const double us = t * 1e6;
    if (commitAt >= 0) shortest = std::min(shortest, us - commitAt);
    commitAt = -1;
    if (i1 == 0x4C) {
      commitAt = us;
      ++commits;
    }
  }
  const double needed = 5000 + 6 * kByteNs / 1e3;
  std::printf(
      "%s Write Program, DelayValue 0, drained writes: %d page commits; shortest "
      "commit-to-next-execute %.0f us in the simulator's time (%.0f us without lag), "
      "so up to %.0f us of lag; %d timing violations\n",
      chip.name, commits, shortest, needed, std::max(0.0, needed - shortest), violations);
}

int Gaps(const std::string& chipName) {
  const ChipEntry* chip = FindChipByName(chipName);
  if (!chip) return 2;
  bench::HoldWakeLatencyZero();
  static bench::YesPrompt prompt;
  SetUserPrompt(&prompt);
  CommitLag(*chip);
  const std::vector<std::string> lines = TracedRun(*chip, MemoryOperation::ReadData);
  std::map<std::string, std::vector<double>> gaps;
  double prevEnd = -1;
  bool started = false;
  for (const std::string& line : lines) {
    double t = 0;
    unsigned cmd = 0;
    if (std::sscanf(line.c_str(), "%lf %x", &t, &cmd) != 2) continue;
    const double us = t * 1e6;
    const int n = cmd == 0x44 ? 5 : cmd == 0x0A ? 3 : (cmd == 0x40 || cmd == 0x42) ? 2 : 1;
    const double firstStart = us - n * kByteNs / 1e3;
    // Lags of more than 5 ms are the prescribed waits of Programming Enable, not overhead.
    if (started && prevEnd >= 0 && firstStart - prevEnd < 5000 && (cmd == 0x44 || cmd == 0x45 || cmd == 0x46)) {
      const char* after = cmd == 0x44 ? "0x44 after an answer" : cmd == 0x46 ? "0x46 after 0x44" : "0x45 after 0x46";
      gaps[after].push_back(firstStart - prevEnd);
    }
    prevEnd = cmd == 0x45 ? us + 8 * kByteNs / 1e3 : us;
    if (cmd == 0x45) started = true;  // the byte loop starts after Programming Enable's answer
  }
  std::printf(
      "lag before each packet's first byte, %s Read Data, DelayValue 0, drained writes "
      "(simulator --trace, which itself adds a little):\n",
      chip->name);
  double total = 0;
  for (auto& [what, v] : gaps) {
    if (v.size() < 10) continue;
    double sum = 0;
    for (double g : v) sum += g;
    std::sort(v.begin(), v.end());
    std::printf("  %-22s %4zu packets  median %6.1f us  mean %6.1f us  p90 %6.1f us\n", what.c_str(), v.size(),
                v[v.size() / 2], sum / v.size(), v[v.size() * 9 / 10]);
    total += sum / v.size();
  }
  std::printf("  per read exchange: %.1f us over its %.1f us of wire time\n", total, 15 * kByteNs / 1e3);
  return 0;
}

// ---------------------------------------------------------------------------------------

struct Options {
  std::vector<std::string> chips = {"ATtiny2313", "ATtiny85"};
  std::vector<std::string> ops;  // empty: all
  std::vector<int> delays = {0, 1};
  std::vector<std::string> modes = {"drain", "plain"};
  int runs = 3;
  int plainRuns = 1;
  bool holdWakeLatency = true;
};

bool Wanted(const Options& opt, const Operation& o) {
  if (opt.ops.empty()) return true;
  for (const std::string& f : opt.ops)
    if (std::string(o.name).find(f) != std::string::npos) return true;
  return false;
}

struct Row {
  std::string chip, op, mode;
  int delay = 0, runs = 0;
  double median = 0, min = 0, floor = 0;
  long long packets = 0;
  uint64_t violations = 0;
  std::string failure;
};

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

// How far a 1 ms sleep of the program's clock overshoots here and now.
double SleepOvershootUs() {
  std::vector<double> us;
  for (int i = 0; i < 200; ++i) {
    const int64_t t0 = NowNs();
    Sleep(1);
    us.push_back((NowNs() - t0) / 1e3 - 1000);
  }
  return Median(us);
}

std::string LoadAverage() {
  std::ifstream f("/proc/loadavg");
  std::string a, b, c;
  f >> a >> b >> c;
  return a + " " + b + " " + c;
}

int Run(const Options& opt) {
  if (opt.holdWakeLatency) bench::HoldWakeLatencyZero();
  static bench::YesPrompt prompt;
  SetUserPrompt(&prompt);
  std::vector<const Operation*> ops;
  for (const Operation& o : kOperations)
    if (Wanted(opt, o)) ops.push_back(&o);
  if (ops.empty()) {
    std::printf("no operation matches the filter\n");
    return 2;
  }
  std::printf("machine load (1/5/15 min): %s; a 1 ms sleep overshoots by %.0f us (median)\n", LoadAverage().c_str(),
              SleepOvershootUs());

  std::vector<Row> rows;
  int rc = 0;
  const int64_t benchStart = NowNs();
  for (const std::string& chipName : opt.chips) {
    const ChipEntry* chip = FindChipByName(chipName);
    if (!chip) {
      std::printf("unknown chip %s\n", chipName.c_str());
      return 2;
    }
    std::map<int, std::map<std::string, Floor>> floors;
    for (int d : opt.delays) {
      // Verify needs what Write put there, so the floor runs take the whole sequence.
      if (!CountFloors(*chip, d, ops, floors[d])) rc = 1;
      for (const Operation* o : ops) {
        const Floor& f = floors[d][o->name];
        if (std::abs(f.pacedVirtualMs - f.Ms()) > 0.01)
          std::printf("  note: %s %s delay %d: counted floor %.3f ms, paced virtual time %.3f ms\n", chip->name,
                      o->name, d, f.Ms(), f.pacedVirtualMs);
        if (f.violations)
          std::printf("  %s %s delay %d: %llu timing violations in virtual time\n", chip->name, o->name, d,
                      static_cast<unsigned long long>(f.violations));
      }
    }

    for (const std::string& mode : opt.modes) {
      const int runs = mode == "drain" ? opt.runs : opt.plainRuns;
      if (runs <= 0) continue;
      Simulator sim(chip->name, mode);
      if (!sim.Start()) {
        std::printf("the simulator program could not be started for %s\n", chip->name);
        return 1;
      }
      LastLines log;
      SetLogSink(&log);
      DrainingDriver drain;
      PosixSerialDriver plain;
      SetSerialDriver(mode == "drain" ? static_cast<SerialDriver*>(&drain) : &plain);
      OpenPort(sim.Device());
      if (PortHandle < 0) {
        std::printf("cannot open %s\n", sim.Device().c_str());
        return 1;
      }
      Marker();  // the set-up packets are on the wire before the first timing
      SelectChip(chip->id);
      FillImages();
      for (int d : opt.delays) {
        DelayValue = d;
        std::map<std::string, std::vector<double>> times;
        std::map<std::string, Row> byOp;
        // Write, Read, Verify in turn, so each Verify checks what its Write put there.
        for (int r = 0; r < runs; ++r) {
          for (const Operation* o : ops) {
            if (PortHandle < 0) OpenPort(sim.Device());
            Timing t = TimeOne(*o, sim, log);
            Row& row = byOp[o->name];
            row.violations += t.violations;
            if (!t.failure.empty() && row.failure.empty()) row.failure = t.failure;
            times[o->name].push_back(t.ms);
          }
        }
        for (const Operation* o : ops) {
          Row row = byOp[o->name];
          const Floor& f = floors[d][o->name];
          row.chip = chip->name;
          row.op = o->name;
          row.mode = mode;
          row.delay = d;
          row.runs = runs;
          row.median = Median(times[o->name]);
          row.min = *std::min_element(times[o->name].begin(), times[o->name].end());
          row.floor = f.Ms();
          row.packets = f.packets;
          const double ratio = row.median / row.floor;
          std::printf("%-10s %-14s d=%d %-5s median %9.1f ms  floor %9.1f ms  ratio %.3f%s%s%s\n", row.chip.c_str(),
                      row.op.c_str(), d, mode.c_str(), row.median, row.floor, ratio,
                      row.violations ? "  VIOLATIONS" : "",
                      row.failure.empty() ? "" : "  FAILED: ", row.failure.c_str());
          std::fflush(stdout);
          rows.push_back(row);
        }
      }
      ClosePort();
      SetSerialDriver(nullptr);
      SetLogSink(nullptr);
    }
  }

  std::printf(
      "\n| chip | operation | DelayValue | mode | runs | median ms | floor ms | ratio | "
      "over floor, us per packet | violations |\n");
  std::printf("|---|---|---|---|---|---|---|---|---|---|\n");
  for (const Row& r : rows) {
    const double ratio = r.median / r.floor;
    std::printf("| %s | %s | %d | %s | %d | %.1f | %.1f | %.3f | %+.1f | %llu%s |\n", r.chip.c_str(), r.op.c_str(),
                r.delay, r.mode.c_str(), r.runs, r.median, r.floor, ratio,
                (r.median - r.floor) * 1000.0 / static_cast<double>(r.packets),
                static_cast<unsigned long long>(r.violations), r.failure.empty() ? "" : " FAILED");
    if (!r.failure.empty()) rc = 1;
    if (r.mode == "drain" && ratio > 1.05) rc = rc ? rc : 3;
    if (r.mode == "drain" && r.delay == 0 && r.violations) rc = rc ? rc : 3;
  }
  std::printf(
      "\nfloor = (bytes written + bytes answered) x 95.49 us + the program's sleeps, "
      "counted in-process.\n"
      "drain: writes wait out their wire time as on a real UART (the comparison with "
      "the floor);\nplain: PosixSerialDriver on the pseudo-terminal, whose writes return "
      "at once.\nEach timing ends with one extra ReadBack exchange, less its 9 bytes of "
      "wire time.\nmachine load at the end: %s; whole run %.0f s\n",
      LoadAverage().c_str(), (NowNs() - benchStart) / 1e9);
  SetUserPrompt(nullptr);
  return rc;
}

}  // namespace
}  // namespace quillet

int main(int argc, char** argv) {
  quillet::Options opt;
  std::vector<std::string> chips, ops, modes;
  std::vector<int> delays;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    auto value = [&]() -> std::string {
      if (i + 1 >= argc) {
        std::fprintf(stderr, "%s needs a value\n", a.c_str());
        std::exit(2);
      }
      return argv[++i];
    };
    if (a == "--gaps") {
      return quillet::Gaps(argc > i + 1 ? argv[i + 1] : "ATtiny2313");
    } else if (a == "--quick") {
      opt.chips = {"ATtiny2313"};
      opt.runs = 1;
      opt.plainRuns = 1;
    } else if (a == "--timer-slack-1") {
      // What the program's sleeps would cost if it asked the kernel for 1 ns timer slack.
      prctl(PR_SET_TIMERSLACK, 1UL, 0, 0, 0);
    } else if (a == "--allow-idle") {
      opt.holdWakeLatency = false;
    } else if (a == "--runs") {
      opt.runs = std::atoi(value().c_str());
    } else if (a == "--plain-runs") {
      opt.plainRuns = std::atoi(value().c_str());
    } else if (a == "--chip") {
      chips.push_back(value());
    } else if (a == "--op") {
      ops.push_back(value());
    } else if (a == "--delay") {
      delays.push_back(std::atoi(value().c_str()));
    } else if (a == "--mode") {
      modes.push_back(value());
    } else {
      std::fprintf(stderr,
                   "usage: memory_bench [--quick] [--runs N] [--plain-runs N] [--chip NAME]... "
                   "[--op OP]... [--delay N]... [--mode drain|plain] [--timer-slack-1] "
                   "[--allow-idle] [--gaps [CHIP]]\n");
      return 2;
    }
  }
  if (!chips.empty()) opt.chips = chips;
  if (!ops.empty()) opt.ops = ops;
  if (!delays.empty()) opt.delays = delays;
  if (!modes.empty()) opt.modes = modes;
  return quillet::Run(opt);
}
