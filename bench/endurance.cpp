// Endurance: many connects and disconnects, then many full reads and verifies of an ATtiny2313,
// all through the termios driver against the unpaced simulator program. Reports the process's
// memory (VmRSS, VmHWM), open descriptors, times, and every log line that reports a failure.
//
// Usage: endurance [connect cycles] [read+verify cycles]   (default 1000 50)
// Exit status 1 when a failure line was logged, a cycle failed, or memory or descriptors grew
// beyond the noise margin.
#include <dirent.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "chips/Catalogue.h"
#include "commands/Driver.h"
#include "image/Images.h"
#include "link/Port.h"
#include "log/Log.h"
#include "support/SimProcess.h"

#ifndef QUILLET_SIM_BINARY
#error "QUILLET_SIM_BINARY must name the simulator program"
#endif

extern char** environ;

namespace quillet {
namespace {

using SteadyClock = std::chrono::steady_clock;

constexpr long kRssMarginKb = 2048;
constexpr int kFdMargin = 0;

// Counts the lines and keeps those that report a failure.
class WatchSink : public LogSink {
 public:
  void AppendLine(const std::string& line) override {
    ++lines;
    if (line.find("Error") != std::string::npos || line.find("fail") != std::string::npos ||
        line.find("unknown") != std::string::npos)
      bad.push_back(line);
  }
  long lines = 0;
  std::vector<std::string> bad;
};

struct Memory {
  long rssKb = 0;
  long hwmKb = 0;
  int fds = 0;
};

Memory Measure() {
  Memory m;
  std::ifstream status("/proc/self/status");
  std::string key;
  long value;
  while (status >> key) {
    if (key == "VmRSS:" && status >> value) m.rssKb = value;
    else if (key == "VmHWM:" && status >> value) m.hwmKb = value;
  }
  if (DIR* d = opendir("/proc/self/fd")) {
    while (readdir(d)) ++m.fds;
    closedir(d);
    m.fds -= 3;  // ".", ".." and the directory's own descriptor
  }
  return m;
}

void Print(const char* when, const Memory& m) {
  std::printf("%-22s VmRSS %7ld kB   VmHWM %7ld kB   open descriptors %d\n", when, m.rssKb,
              m.hwmKb, m.fds);
}

double Since(SteadyClock::time_point t0) {
  return std::chrono::duration<double>(SteadyClock::now() - t0).count();
}

// The simulator program, unpaced; its slave path, or "" when it does not start.
struct Simulator : quillet::test::SimProcess {
  Simulator() : SimProcess(QUILLET_SIM_BINARY, {"--chip", "ATtiny2313"}) {}
  std::string Start() const { return path; }
};

int Main(int connectCycles, int memoryCycles) {
  WatchSink log;
  SetLogSink(&log);
  Simulator sim;
  const std::string device = sim.Start();
  if (device.empty()) {
    std::fprintf(stderr, "the simulator program did not start: %s\n", QUILLET_SIM_BINARY);
    return 2;
  }
  std::printf("simulator (unpaced) on %s\n", device.c_str());
  const Memory start = Measure();
  Print("start", start);

  bool failed = false;
  auto t0 = SteadyClock::now();
  int opened = 0;
  for (int i = 0; i < connectCycles; ++i) {
    OpenPort(device);
    if (PortHandle >= 0) ++opened;
    ClosePort();
  }
  const double connectSeconds = Since(t0);
  const Memory afterConnects = Measure();
  Print("after connect cycles", afterConnects);
  std::printf("%d connect/disconnect cycles in %.2f s (%.2f ms each), %d opened\n", connectCycles,
              connectSeconds, 1000 * connectSeconds / connectCycles, opened);
  if (opened != connectCycles) failed = true;

  OpenPort(device);
  SelectChip(FindChipByName("ATtiny2313")->id);
  DelayValue = 0;
  int verified = 0;
  double firstCycle = 0, slowest = 0;
  Memory afterFirst;
  t0 = SteadyClock::now();
  for (int i = 0; i < memoryCycles && PortHandle >= 0; ++i) {
    const auto c0 = SteadyClock::now();
    const size_t badBefore = log.bad.size();
    RunMemoryCommand(MemoryOperation::ReadProgram);
    RunMemoryCommand(MemoryOperation::VerifyProgram);
    if (log.bad.size() == badBefore) ++verified;
    const double s = Since(c0);
    slowest = std::max(slowest, s);
    if (i == 0) {
      firstCycle = s;
      afterFirst = Measure();
    }
  }
  const double memorySeconds = Since(t0);
  ClosePort();
  const Memory end = Measure();
  Print("after the first read", afterFirst);
  Print("end", end);
  std::printf("%d Read Program + Verify Program cycles in %.2f s (first %.2f s, slowest %.2f s, "
              "mean %.2f s), %d without a failure line\n",
              memoryCycles, memorySeconds, firstCycle, slowest,
              memoryCycles ? memorySeconds / memoryCycles : 0.0, verified);
  if (verified != memoryCycles) failed = true;

  std::printf("%ld log lines, %zu reporting a failure\n", log.lines, log.bad.size());
  for (size_t i = 0; i < log.bad.size() && i < 20; ++i)
    std::printf("  failure line: %s\n", log.bad[i].c_str());
  if (!log.bad.empty()) failed = true;

  // Growth is measured from the state after the first full cycle, when the images and the
  // driver's buffers have been touched once.
  const long connectGrowth = afterConnects.rssKb - start.rssKb;
  const long memoryGrowth = end.rssKb - afterFirst.rssKb;
  std::printf("RSS growth: connect cycles %+ld kB, read+verify cycles %+ld kB (margin %ld kB)\n",
              connectGrowth, memoryGrowth, kRssMarginKb);
  if (connectGrowth > kRssMarginKb || memoryGrowth > kRssMarginKb) {
    std::printf("memory grew beyond the margin\n");
    failed = true;
  }
  if (end.fds > start.fds + kFdMargin) {
    std::printf("descriptors leaked: %d at start, %d at the end\n", start.fds, end.fds);
    failed = true;
  }
  SetLogSink(nullptr);
  std::printf("%s\n", failed ? "ENDURANCE FAILED" : "endurance ok");
  return failed ? 1 : 0;
}

}  // namespace
}  // namespace quillet

int main(int argc, char** argv) {
  const int connects = argc > 1 ? std::atoi(argv[1]) : 1000;
  const int cycles = argc > 2 ? std::atoi(argv[2]) : 50;
  if (connects <= 0 || cycles <= 0) {
    std::fprintf(stderr, "usage: endurance [connect cycles] [read+verify cycles]\n");
    return 2;
  }
  return quillet::Main(connects, cycles);
}
