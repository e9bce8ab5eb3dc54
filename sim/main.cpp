// quillet-gateway-sim: the gateway and one simulated chip behind a pseudo-terminal.
#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <algorithm>
#include <string>
#include <vector>

#include "sim/SimProgram.h"
#include "sim/Gateway.h"
#include "sim/Wire.h"

using namespace quillet::sim;

namespace {

constexpr int64_t kByteNs = 95486;        // 11 bits at 115200 baud (8N2 with start bit)
constexpr int64_t kIdleSaveNs = 20000000;  // save the state once the line rests this long
// How late the line may be read without being taken for a timing violation of the program:
// longer than any write or reset settling time, as a loaded machine may keep us waiting.
constexpr int64_t kLateGraceNs = 20000000;
constexpr int64_t kOnTimeNs = 20000;  // a look at the line this close to a byte's end is on time

volatile sig_atomic_t g_stop = 0;
void OnSignal(int) { g_stop = 1; }

// The end of each byte's wire time is spun: see WaitUntilNs.
void SleepUntilNs(int64_t ns) { WaitUntilNs(ns, 150000, &g_stop); }

void Usage(FILE* f) {
  std::fprintf(f,
      "Usage: quillet-gateway-sim [options]\n"
      "Serves the gateway with one simulated chip on a pseudo-terminal; prints its path.\n"
      "  --chip NAME          the chip in the socket (default ATtiny2313), any catalogue chip,\n"
      "                       alias or part id (ATtiny13A, m328p)\n"
      "  --no-chip            an empty socket: every byte on MISO reads 0xFF\n"
      "  --link PATH          a symlink PATH to the pseudo-terminal, removed at exit\n"
      "  --pace               the wire time of 115200 baud 8N2 in both directions\n"
      "  --busy typical|random:SEED|stuck   a Flash or EEPROM write keeps the chip busy for\n"
      "                       its datasheet's typical time (default), a random time up to the\n"
      "                       longest wait, or four times the longest (it fails every write)\n"
      "  --strict-timing      a write or Programming Enable that may have come too early is\n"
      "                       refused even when the simulator cannot prove it (it may have\n"
      "                       read the line late); by default that is a warning in the trace\n"
      "  --trace FILE         every command decoded, one line each, with its time\n"
      "  --state FILE         the chip's memories, fuses, lock bits and violation count\n"
      "                       persist in FILE between runs\n"
      "  --reset-fuses        factory fuses and unprogrammed lock bits, as a high-voltage\n"
      "                       programmer would restore them (undoes a RSTDISBL or DWEN lockout)\n"
      "  --silent             never answer ReadBack\n"
      "  --short-answer N     ReadBack answers only N bytes\n"
      "  --bad-echo           the Programming Enable echo byte is wrong\n"
      "  --hangup-after N     close the line after N gateway commands\n"
      "  --garbage-after N    after N commands, answers carry extra bytes\n"
      "  --help               this text\n");
}

bool ParseCount(const char* s, long& out) {
  char* end = nullptr;
  errno = 0;
  long v = std::strtol(s, &end, 10);
  if (errno || end == s || *end || v < 0) return false;
  out = v;
  return true;
}

bool WriteAll(int fd, const uint8_t* data, size_t n) {
  while (n > 0) {
    ssize_t w = write(fd, data, n);
    if (w > 0) {
      data += w;
      n -= static_cast<size_t>(w);
      continue;
    }
    if (w < 0 && errno == EINTR) continue;
    if (w < 0 && errno == EAGAIN) {
      // Nobody reads the line: drop the answer rather than block forever.
      pollfd p{fd, POLLOUT, 0};
      if (poll(&p, 1, 100) <= 0) return false;
      continue;
    }
    return false;
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  std::string chipName = "ATtiny2313", linkPath, tracePath, statePath;
  std::string busy;
  bool noChip = false, pace = false, resetFuses = false, strictTiming = false;
  GatewayOptions options;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    auto value = [&]() -> const char* {
      if (i + 1 >= argc) {
        std::fprintf(stderr, "%s needs a value\n", a.c_str());
        std::exit(2);
      }
      return argv[++i];
    };
    auto count = [&]() -> long {
      long v = 0;
      const char* s = value();
      if (!ParseCount(s, v)) {
        std::fprintf(stderr, "%s: not a count: %s\n", a.c_str(), s);
        std::exit(2);
      }
      return v;
    };
    if (a == "--help" || a == "-h") {
      Usage(stdout);
      return 0;
    } else if (a == "--chip") chipName = value();
    else if (a == "--no-chip") noChip = true;
    else if (a == "--link") linkPath = value();
    else if (a == "--pace") pace = true;
    else if (a == "--strict-timing") strictTiming = true;
    else if (a == "--busy") busy = value();
    else if (a == "--trace") tracePath = value();
    else if (a == "--state") statePath = value();
    else if (a == "--reset-fuses") resetFuses = true;
    else if (a == "--silent") options.silent = true;
    else if (a == "--short-answer") options.shortAnswer = static_cast<int>(std::min(count(), 8L));
    else if (a == "--bad-echo") options.badEcho = true;
    else if (a == "--hangup-after") options.hangupAfter = count();
    else if (a == "--garbage-after") options.garbageAfter = count();
    else {
      std::fprintf(stderr, "unknown option: %s\n", a.c_str());
      Usage(stderr);
      return 2;
    }
  }

  std::unique_ptr<SimChip> socketChip = MakeSocketChip(
      {.chipName = chipName, .statePath = statePath, .noChip = noChip, .resetFuses = resetFuses,
       .strictTiming = strictTiming, .busy = busy});
  if (!socketChip) return 2;
  SimChip& chip = *socketChip;
  Gateway gateway(noChip ? nullptr : &chip, options);

  bool traceOk = true;
  FILE* trace = OpenTrace(tracePath, traceOk);
  if (!traceOk) return 1;
  if (trace)
    gateway.trace = [trace](int64_t us, const std::string& line) { TraceLine(trace, us, line); };

  // The stop signals are caught before the path is out: whoever read it may stop us at once,
  // and must still find the state saved and the link removed.
  prctl(PR_SET_TIMERSLACK, 1UL, 0, 0, 0);
  std::signal(SIGPIPE, SIG_IGN);
  struct sigaction sa {};
  sa.sa_handler = OnSignal;
  sigaction(SIGTERM, &sa, nullptr);
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGHUP, &sa, nullptr);
  sigset_t block, waitMask;
  sigemptyset(&block);
  sigaddset(&block, SIGTERM);
  sigaddset(&block, SIGINT);
  sigaddset(&block, SIGHUP);
  sigprocmask(SIG_BLOCK, &block, &waitMask);
  sigdelset(&waitMask, SIGTERM);
  sigdelset(&waitMask, SIGINT);
  sigdelset(&waitMask, SIGHUP);

  GatewayPty pty;
  if (!OpenGatewayPty(pty, linkPath)) return 1;
  int master = pty.master, slave = pty.slave;
  const std::string& slavePath = pty.path;

  const int64_t listening = NowNs();
  std::printf("%s\n", slavePath.c_str());
  std::fflush(stdout);

  const int64_t start = NowNs();
  auto save = [&]() {
    if (statePath.empty() || noChip) return;
    SaveSimState(statePath, chip.State());
  };
  uint64_t savedChanges = chip.Changes();
  int64_t lastActivity = start;
  int64_t lastRead = listening;  // the program cannot have written before the path was out
  int64_t lineFreeIn = start, lineFreeOut = start;  // when each direction's wire is free
  bool queuedAtLineFree = false;  // more bytes were waiting when the last one was clocked in
  std::vector<uint8_t> answer;
  uint8_t buf[4096];

  // Once stopped, the bytes already on the line are still served, as a gateway would have
  // served them before it was unplugged: a program that wrote its last packet and exited
  // finds it carried out in the state and the trace. The kernel may still hold such bytes
  // for a while (see kLateGraceNs), so the line must rest that long; and no more than a
  // pseudo-terminal holds is taken, so that a program that goes on writing cannot keep us.
  constexpr ssize_t kDrainBytes = 65536;
  ssize_t drained = 0;
  while (!gateway.HungUp() && drained < kDrainBytes) {
    const bool dirty = chip.Changes() != savedChanges && !statePath.empty();
    timespec timeout{};
    timespec* tp = nullptr;
    if (g_stop) {
      timeout = {0, static_cast<long>(kLateGraceNs)};
      tp = &timeout;
    } else if (dirty) {
      int64_t left = lastActivity + kIdleSaveNs - NowNs();
      if (left < 0) left = 0;
      timeout = {static_cast<time_t>(left / 1000000000), static_cast<long>(left % 1000000000)};
      tp = &timeout;
    }
    pollfd p{master, POLLIN, 0};
    const int r = ppoll(&p, 1, tp, &waitMask);
    if (r < 0) {
      if (errno == EINTR) continue;
      std::perror("ppoll");
      break;
    }
    if (r == 0) {
      if (g_stop) break;
      save();
      savedChanges = chip.Changes();
      continue;
    }
    if (p.revents & (POLLERR | POLLHUP | POLLNVAL)) break;
    const ssize_t n = read(master, buf, sizeof buf);
    if (n <= 0) {
      if (g_stop) break;
      continue;
    }
    if (g_stop) drained += n;
    const int64_t readAt = NowNs();
    // These bytes came after the previous read, but not necessarily just now.
    if (!pace) chip.SetEarliestArrivalUs((std::max(lastRead, readAt - kLateGraceNs) - start) / 1000);
    // All that is sure of bytes read now, paced or not, is that they were sent after the last
    // read less the time the kernel may take to hand them over (on a loaded machine a
    // pseudo-terminal's bytes can wait milliseconds for its worker, then come all at once).
    chip.SetProvenArrivalUs((lastRead - kLateGraceNs - start) / 1000);
    lastRead = readAt;
    lastActivity = readAt;
    // Bytes that were already waiting when the line finished the previous ones followed them
    // without a gap, as on a wire; only bytes that came later start the line anew.
    const int64_t lineStart = pace && queuedAtLineFree ? lineFreeIn : readAt;
    queuedAtLineFree = false;
    for (ssize_t i = 0; i < n && !gateway.HungUp(); ++i) {
      answer.clear();
      int64_t at = readAt;
      if (pace) {
        at = std::max(lineStart, lineFreeIn) + kByteNs;
        lineFreeIn = at;
        SleepUntilNs(at);
        // Only a look taken as the line frees tells; after a late wake-up the bytes may have
        // come in the gap, and the line starts anew from when they are read.
        if (i == n - 1 && NowNs() - at < kOnTimeNs) {
          pollfd q{master, POLLIN, 0};
          queuedAtLineFree = poll(&q, 1, 0) == 1 && (q.revents & POLLIN);
        }
      }
      gateway.Receive(buf[i], (at - start) / 1000, answer);
      if (answer.empty()) continue;
      if (pace) {
        for (uint8_t b : answer) {
          lineFreeOut = std::max(at, lineFreeOut) + kByteNs;
          SleepUntilNs(lineFreeOut);
          if (!WriteAll(master, &b, 1)) break;
        }
      } else {
        WriteAll(master, answer.data(), answer.size());
      }
    }
    lastActivity = NowNs();
  }

  if (gateway.HungUp()) {
    // Closing both ends hangs up the program's side of the line.
    close(slave);
    close(master);
    slave = master = -1;
  }
  if (chip.Changes() != savedChanges) save();
  if (trace) std::fclose(trace);
  if (slave >= 0) close(slave);
  if (master >= 0) close(master);
  if (!linkPath.empty()) unlink(linkPath.c_str());
  return 0;
}
