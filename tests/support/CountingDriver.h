// A serial driver and a clock in front of others, counting what crosses them: the bytes each
// way, the packets, the reads that came back short of their answer (each waited out its
// deadline or met a closed line) and the time slept. Counts, unlike durations, do not depend on
// how busy the machine is; the benchmarks turn them into floors.
#pragma once

#include <algorithm>
#include <string>

#include "link/PosixSerial.h"
#include "log/HostInterfaces.h"

namespace quillet::test {

class CountingDriver : public SerialDriver {
 public:
  // In front of the termios driver.
  CountingDriver() : inner_(own_) {}
  explicit CountingDriver(SerialDriver& inner) : inner_(inner) {}
  int Open(const std::string& d) override { return inner_.Open(d); }
  bool GetSettings(int h) override { return inner_.GetSettings(h); }
  bool SetSettings(int h) override { return inner_.SetSettings(h); }
  void Purge(int h) override { inner_.Purge(h); }
  bool Write(int h, const uint8_t* data, int count) override {
    written += count;
    ++packets;
    return inner_.Write(h, data, count);
  }
  int Read(int h, uint8_t* data, int max, int expected, int timeoutMs) override {
    const int n = inner_.Read(h, data, max, expected, timeoutMs);
    if (n > 0) answered += n;
    if (n < std::min(expected, max)) ++shortReads;
    return n;
  }
  void Close(int h) override { inner_.Close(h); }
  bool SetBaud(int h, uint32_t baud) override { return inner_.SetBaud(h, baud); }
  int LastError() const override { return inner_.LastError(); }

  void Reset() { written = answered = packets = shortReads = 0; }
  long long written = 0, answered = 0, packets = 0, shortReads = 0;

 private:
  PosixSerialDriver own_;
  SerialDriver& inner_;
};

class CountingClock : public Clock {
 public:
  explicit CountingClock(Clock& inner) : inner_(inner) {}
  void SleepMs(int ms) override {
    sleptMs += ms;
    inner_.SleepMs(ms);
  }
  LocalTime Now() override { return inner_.Now(); }
  long long sleptMs = 0;

 private:
  Clock& inner_;
};

}  // namespace quillet::test
