// The core wired straight to a simulated gateway and chip, in virtual time: no pseudo-
// terminal, no real sleeps. Use it in place of the Recorder to run whole commands end to end:
//
//   test::CoreFixture f;               // log, progress, prompts, views as usual
//   test::SimDriver sim("ATtiny2313"); // installs itself as serial driver and clock
//   f.Connect();                       // OpenPort on the simulated gateway
//   ... run a command ...
//   EXPECT_EQ(sim.Chip().State().flash[0], 0x12);
//   EXPECT_EQ(sim.Violations(), 0u);
//
// SleepMs advances virtual time. With paced set, every byte written or answered also takes
// its wire time at 115200 baud 8N2 (95.49 us). Read returns the answer bytes queued (at most
// max; the rest stays queued); if fewer than expected are there, it advances virtual time by
// the timeout and returns what there is. After a hang-up (GatewayOptions::hangupAfter) writes
// fail, reads return at once, and Open fails.
#pragma once

#include <deque>
#include <memory>
#include <string>

#include "link/Port.h"
#include "log/HostInterfaces.h"
#include "sim/Gateway.h"

namespace quillet::test {

class SimDriver : public SerialDriver, public Clock {
 public:
  // chipName: any catalogue chip, case-insensitive; "" for an empty socket.
  // install: make this the serial driver and clock (undone by the destructor).
  explicit SimDriver(const std::string& chipName = "ATtiny2313",
                     sim::GatewayOptions options = {}, bool install = true);
  ~SimDriver() override;
  SimDriver(const SimDriver&) = delete;
  SimDriver& operator=(const SimDriver&) = delete;

  // ---- SerialDriver ----
  int Open(const std::string& device) override;
  bool GetSettings(int handle) override { return handle == kHandle; }
  bool SetSettings(int handle) override { return handle == kHandle; }
  void Purge(int handle) override;
  bool Write(int handle, const uint8_t* data, int count) override;
  int Read(int handle, uint8_t* data, int max, int expected, int timeoutMs) override;
  void Close(int handle) override;
  int LastError() const override { return lastError_; }
  // ---- Clock ----
  void SleepMs(int ms) override { nowNs_ += int64_t{ms} * 1000000; }
  LocalTime Now() override;  // 12:00:00 plus the virtual time

  // The chip (memories, fuses, lock bits, violation count) and the gateway (its options,
  // command count, trace hook). Chip() must not be called for an empty socket.
  sim::SimChip& Chip() { return *chip_; }
  sim::Gateway& Gateway() { return *gateway_; }
  sim::GatewayOptions& Options() { return gateway_->Options(); }
  uint64_t Violations() const { return chip_ ? chip_->State().violations : 0; }

  bool paced = false;
  int64_t NowUs() const { return nowNs_ / 1000; }

  // One fault on the line: the at-th byte (from 1) to the program (toProgram) or from it has
  // a bit flipped, is lost, or arrives twice. Bytes counts the bytes of each direction so far.
  enum class Fault { None, Flip, Drop, Dup };
  struct LineFault {
    Fault kind = Fault::None;
    bool toProgram = false;
    uint64_t at = 0;
  } fault;
  uint64_t BytesIn() const { return bytesIn_; }
  uint64_t BytesOut() const { return bytesOut_; }

  static constexpr int kHandle = 7;
  static constexpr int64_t kByteNs = 95486;

 private:
  struct Pending {
    uint8_t byte;
    int64_t atNs;  // when it has fully arrived at the program's end
  };
  std::unique_ptr<sim::SimChip> chip_;
  std::unique_ptr<sim::Gateway> gateway_;
  std::deque<Pending> queue_;
  int64_t nowNs_ = 0;
  int64_t lineFreeOut_ = 0;
  uint64_t bytesIn_ = 0, bytesOut_ = 0;
  // How many times the byte counted as n of its direction travels, and as what.
  int Travels(bool toProgram, uint64_t n, uint8_t& byte) const;
  bool open_ = false;
  bool installed_ = false;
  int lastError_ = 0;
};

}  // namespace quillet::test
