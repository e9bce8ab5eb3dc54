// One read exchange (LoadInstruction, ExecuteInstruction, ReadBack, 8 answer bytes) through the
// gateway firmware on the simulated Arduino, with the program's real serial code, against the
// wire time of its 15 bytes at 115200 baud 8N2 (11 bits a byte). The paced simulator runs the
// same exchange for comparison.
//
// Usage: gateway_avr_bench [--runs N] [--quick] [--allow-idle]
#include <signal.h>
#include <unistd.h>

#include <algorithm>
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
#include "log/HostInterfaces.h"
#include "support/Fakes.h"
#include "support/SimProcess.h"

namespace quillet {
namespace {

constexpr double kWireUs = 15 * 11 * 1e6 / 115200;  // 1432.3 us
// The firmware's SPI at 16 MHz / 128: a byte takes 8 x 8 us.
constexpr double kSpiByteUs = 64;

using SteadyClock = std::chrono::steady_clock;

bool Exchange(const GatewayPacket& load, GatewayAnswer& answer) {
  if (!WritePacket(load) || !WritePacket(MakePacket({0x46})) || !WritePacket(MakePacket({0x45})))
    return false;
  answer = ReadAnswer(8);
  return answer.count >= 8;
}

struct Figures {
  double median = 0, p10 = 0, p90 = 0;
  int failures = 0;
};

// Enters programming mode, then times runs read exchanges of Flash byte 0.
Figures Measure(const std::string& binary, const std::vector<std::string>& args, int runs) {
  Figures f;
  test::SimProcess gateway(binary, args);
  if (gateway.path.empty()) {
    f.failures = runs;
    return f;
  }
  OpenPort(gateway.path);
  if (PortHandle < 0) {
    f.failures = runs;
    return f;
  }
  WritePacket(MakePacket({0x48}));
  std::this_thread::sleep_for(std::chrono::milliseconds(2));
  WritePacket(MakePacket({0x47}));
  std::this_thread::sleep_for(std::chrono::milliseconds(25));
  GatewayAnswer a;
  if (!Exchange(MakePacket({0x44, 0x00, 0x00, 0x53, 0xAC}), a) || a.data[1] != 0x53) {
    std::printf("  no Programming Enable echo\n");
    f.failures = runs;
    ClosePort();
    return f;
  }
  std::vector<double> us;
  const GatewayPacket load = MakePacket({0x44, 0x00, 0x00, 0x00, 0x20});
  for (int i = 0; i < runs + runs / 10; ++i) {
    const auto t0 = SteadyClock::now();
    const bool ok = Exchange(load, a);
    const double t = std::chrono::duration<double, std::micro>(SteadyClock::now() - t0).count();
    if (i < runs / 10) continue;  // warm-up
    if (!ok) ++f.failures;
    else us.push_back(t);
    // A gap between exchanges, as the program's loop has one.
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
  ClosePort();
  std::sort(us.begin(), us.end());
  if (!us.empty()) {
    f.median = us[us.size() / 2];
    f.p10 = us[us.size() / 10];
    f.p90 = us[us.size() * 9 / 10];
  }
  return f;
}

void Print(const char* name, const Figures& f) {
  std::printf("%-44s median %7.1f us (p10 %7.1f, p90 %7.1f)  ratio %.3f%s\n", name, f.median, f.p10,
              f.p90, f.median / kWireUs,
              f.failures ? ("  failures: " + std::to_string(f.failures)).c_str() : "");
}

}  // namespace
}  // namespace quillet

int main(int argc, char** argv) {
  using namespace quillet;
  int runs = 400;
  bool allowIdle = false;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--runs" && i + 1 < argc) runs = std::max(10, std::atoi(argv[++i]));
    else if (a == "--quick") runs = 100;
    else if (a == "--allow-idle") allowIdle = true;
    else {
      std::fprintf(stderr, "usage: gateway_avr_bench [--runs N] [--quick] [--allow-idle]\n");
      return 2;
    }
  }
#ifndef QUILLET_AVR_BOARD
  std::printf("quillet-gateway-avr was not built (no avr-g++ or libsimavr): nothing to measure\n");
  return 0;
#else
  if (!allowIdle) bench::HoldWakeLatencyZero();
  test::CoreFixture fixture;  // the log and prompts recorded, not shown
  SetSerialDriver(nullptr);
  SetClock(nullptr);
  std::printf("one read exchange: 0x44 I4 I3 I2 I1, 0x46, 0x45 out, 8 bytes back: 15 bytes, wire "
              "time %.1f us at 115200 baud 8N2; %d runs\n",
              kWireUs, runs);
  const Figures board = Measure(QUILLET_AVR_BOARD, {"--chip", "ATtiny2313"}, runs);
  Print("firmware on the simulated Arduino", board);
  const Figures paced = Measure(QUILLET_SIM_BINARY, {"--chip", "ATtiny2313", "--pace"}, runs);
  Print("quillet-gateway-sim --pace (no SPI time)", paced);
  // The instruction shifts while the ReadBack byte is still on the line: only the rest of the
  // shift shows, once per exchange. The firmware's answer goes out at its own 117647 baud.
  const double readBackUs = 11 * 1e6 / 115200;
  const double answerGainUs = 8 * 11 * (1e6 / 115200 - 8.5);
  std::printf("SPI at 125 kHz: 4 x %.0f us = %.0f us, of which %.1f us overlap the ReadBack byte on "
              "the line: %.0f us added (%.3f of the wire time); the answer at 117647 baud saves "
              "%.0f us\n",
              kSpiByteUs, 4 * kSpiByteUs, readBackUs, 4 * kSpiByteUs - readBackUs,
              (4 * kSpiByteUs - readBackUs) / kWireUs, answerGainUs);
  return board.failures ? 1 : 0;
#endif
}
