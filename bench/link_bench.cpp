// Round trip of one read exchange (0x44 packet, 0x46, 0x45, an 8-byte answer) at delay 0
// over a pseudo-terminal: our poll()-based read against a read that sleeps 1 ms per pass,
// and, on a line paced at 115200 baud 8N2, against the wire time of the 15 bytes.
//
// Usage: link_bench [rounds] [--allow-idle]   (default 2000 rounds; --allow-idle lets the
// processors halt when idle, as Timing.h explains)
#include <signal.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "bench/Timing.h"
#include "link/Port.h"
#include "log/Log.h"
#include "support/PtyPeer.h"
#include "support/SimProcess.h"

extern char** environ;

namespace quillet {
namespace {

using SteadyClock = std::chrono::steady_clock;

constexpr double kWireUs = 15 * 11 * 1e6 / 115200;  // 7 bytes out, 8 back

class PrintSink : public LogSink {
 public:
  void AppendLine(const std::string& line) override { std::printf("  log: %s\n", line.c_str()); }
};

// The simulated gateway program, or the scripted peer while that program is not usable.
class Gateway {
 public:
  explicit Gateway(bool pace) : pace_(pace) {}
  ~Gateway() {
    process_.reset();
    if (!linkPath_.empty()) unlink(linkPath_.c_str());
  }

  // The device to open, or "" when neither gateway can be had.
  std::string Start() {
    if (std::string dev = StartSimulator(); !dev.empty()) {
      kind_ = pace_ ? "simulator --pace" : "simulator";
      return dev;
    }
    peer_ = std::make_unique<test::PtyPeer>();
    if (!peer_->Ok()) return "";
    const bool pace = pace_;
    peer_->SetScript([pace, first = SteadyClock::time_point()](uint8_t b) mutable {
      // Paced: the answer is complete one wire time after the exchange's first byte left.
      if (first == SteadyClock::time_point()) first = SteadyClock::now();
      if (b != 0x45) return std::vector<uint8_t>();
      if (pace) {
        const auto done = first + std::chrono::microseconds(static_cast<long>(kWireUs));
        std::this_thread::sleep_until(done - std::chrono::microseconds(200));
        while (SteadyClock::now() < done) {
        }
      }
      first = SteadyClock::time_point();
      return std::vector<uint8_t>(8, 0x1E);
    });
    kind_ = pace_ ? "scripted peer, paced (simulator not usable)"
                  : "scripted peer (simulator not usable)";
    return peer_->SlavePath();
  }
  const std::string& Kind() const { return kind_; }

 private:
  std::string StartSimulator() {
    linkPath_ = "/tmp/quillet-link-bench-" + std::to_string(getpid()) + (pace_ ? "-pace" : "");
    unlink(linkPath_.c_str());
    std::vector<std::string> args = {"--chip", "ATtiny2313", "--link", linkPath_};
    if (pace_) args.push_back("--pace");
    process_ = std::make_unique<test::SimProcess>(QUILLET_SIM_BINARY, args);
    struct stat st;
    if (process_->path.empty() || stat(linkPath_.c_str(), &st) != 0) {
      process_.reset();
      return "";
    }
    return linkPath_;
  }

  bool pace_;
  std::unique_ptr<test::SimProcess> process_;
  std::string linkPath_;
  std::string kind_;
  std::unique_ptr<test::PtyPeer> peer_;
};

bool SendRead() {
  return WritePacket(MakePacket({0x44, 0x00, 0x00, 0x00, 0x30})) &&
         WritePacket(MakePacket({0x46})) && WritePacket(MakePacket({0x45}));
}

// The read as a polling loop would do it: look at the queue, take it, sleep 1 ms, again.
int NaiveRead(int expected) {
  uint8_t data[32];
  int count = 0;
  for (int pass = 0; pass < 1000 && count < expected; ++pass) {
    int waiting = 0;
    if (ioctl(PortHandle, FIONREAD, &waiting) == 0 && waiting > 0) {
      ssize_t n = read(PortHandle, data, static_cast<size_t>(std::min(waiting, 32)));
      if (n > 0) count += static_cast<int>(n);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return count;
}

struct Stats {
  double median = 0, p90 = 0;
  int shortAnswers = 0;
};

template <typename Read>
Stats Measure(int rounds, Read read) {
  std::vector<double> us;
  Stats s;
  for (int i = 0; i < rounds + rounds / 10; ++i) {
    const auto t0 = SteadyClock::now();
    bool ok = SendRead();
    int n = ok ? read() : 0;
    const double t = std::chrono::duration<double, std::micro>(SteadyClock::now() - t0).count();
    if (n < 8) ++s.shortAnswers;
    // Drain what a paced line may still deliver, so rounds start equal.
    if (n > 8 || !ok) ReadAnswer(0);
    if (i >= rounds / 10) us.push_back(t);  // the first tenth warms up
  }
  std::sort(us.begin(), us.end());
  s.median = us[us.size() / 2];
  s.p90 = us[us.size() * 9 / 10];
  return s;
}

void Print(const char* what, const Stats& s) {
  std::printf("  %-28s median %9.1f us   p90 %9.1f us%s\n", what, s.median, s.p90,
              s.shortAnswers ? "   (SHORT ANSWERS!)" : "");
  if (s.shortAnswers) std::printf("  %d rounds got fewer than 8 bytes\n", s.shortAnswers);
}

bool Connect(Gateway& gw) {
  const std::string dev = gw.Start();
  if (dev.empty()) {
    std::printf("no gateway could be started\n");
    return false;
  }
  std::printf("gateway: %s on %s\n", gw.Kind().c_str(), dev.c_str());
  OpenPort(dev);
  return PortHandle >= 0;
}

// The rig's own cost: one byte handed from one process's write to another's poll() through a
// pseudo-terminal, with no program code around it. Every packet a read exchange waits on pays
// it once (three packets out, the answer back), which a real serial line does not.
Stats PtyHandOff(int rounds) {
  int master = -1, slave = -1;
  Stats s;
  if (openpty(&master, &slave, nullptr, nullptr, nullptr) != 0) return s;
  termios t;
  tcgetattr(slave, &t);
  cfmakeraw(&t);
  tcsetattr(slave, TCSANOW, &t);
  std::vector<double> us;
  std::atomic<int64_t> sentAt{0};
  std::thread reader([&] {
    for (int i = 0; i < rounds; ++i) {
      pollfd p{slave, POLLIN, 0};
      if (poll(&p, 1, 1000) <= 0) break;
      char c;
      if (read(slave, &c, 1) != 1) break;
      us.push_back((SteadyClock::now().time_since_epoch().count() - sentAt.load()) / 1000.0);
    }
  });
  for (int i = 0; i < rounds; ++i) {
    std::this_thread::sleep_for(std::chrono::microseconds(300));
    sentAt = SteadyClock::now().time_since_epoch().count();
    const char c = 'x';
    if (write(master, &c, 1) != 1) break;
  }
  reader.join();
  close(master);
  close(slave);
  if (us.empty()) return s;
  std::sort(us.begin(), us.end());
  s.median = us[us.size() / 2];
  s.p90 = us[us.size() * 9 / 10];
  return s;
}

int Run(int rounds) {
  static PrintSink sink;
  SetLogSink(&sink);
  int rc = 0;
  {
    Gateway gw(false);
    if (!Connect(gw)) return 1;
    std::printf("unpaced round trip, %d rounds (naive: %d):\n", rounds, rounds / 10);
    Stats ours = Measure(rounds, [] { return ReadAnswer(8).count; });
    Stats naive = Measure(std::max(rounds / 10, 50), [] { return NaiveRead(8); });
    Print("poll() read (ours)", ours);
    Print("1 ms sleep polling", naive);
    std::printf("  ratio naive/ours (median): %.1fx; target median <= 100 us: %s\n",
                naive.median / ours.median, ours.median <= 100 ? "met" : "MISSED");
    if (ours.shortAnswers) rc = 1;
    ClosePort();
  }
  {
    Gateway gw(true);
    if (!Connect(gw)) return 1;
    const int paced = std::max(rounds / 4, 100);
    std::printf("paced round trip, %d rounds, wire time %.1f us:\n", paced, kWireUs);
    Stats ours = Measure(paced, [] { return ReadAnswer(8).count; });
    Print("poll() read (ours)", ours);
    const double over = (ours.median / kWireUs - 1) * 100;
    std::printf("  median / wire time: %.3f (%+.1f %%); p90 / wire: %.3f; target within 5 %%: %s\n",
                ours.median / kWireUs, over, ours.p90 / kWireUs, over <= 5 ? "met" : "MISSED");
    const Stats handOff = PtyHandOff(1000);
    Print("pty hand-off, one way", handOff);
    std::printf("  over the wire time: %.1f us = %.1f hand-offs of the pseudo-terminal itself\n",
                ours.median - kWireUs, (ours.median - kWireUs) / handOff.median);
    if (ours.shortAnswers) rc = 1;
    ClosePort();
  }
  SetLogSink(nullptr);
  return rc;
}

}  // namespace
}  // namespace quillet

int main(int argc, char** argv) {
  int rounds = 2000;
  bool holdWakeLatency = true;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--allow-idle") == 0) holdWakeLatency = false;
    else rounds = std::atoi(argv[i]);
  }
  if (rounds < 20) rounds = 20;
  if (holdWakeLatency) quillet::bench::HoldWakeLatencyZero();
  return quillet::Run(rounds);
}
