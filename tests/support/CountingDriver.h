// The termios driver, counting the reads that came back short of the answer: each waited out
// its deadline or met a closed line. How many there were is what a fault cost, and unlike a
// duration it does not depend on how busy the machine is.
#pragma once

#include <algorithm>
#include <string>

#include "link/PosixSerial.h"

namespace quillet::test {

class CountingDriver : public SerialDriver {
 public:
  int Open(const std::string& d) override { return real_.Open(d); }
  bool GetSettings(int h) override { return real_.GetSettings(h); }
  bool SetSettings(int h) override { return real_.SetSettings(h); }
  void Purge(int h) override { real_.Purge(h); }
  bool Write(int h, const uint8_t* data, int count) override { return real_.Write(h, data, count); }
  int Read(int h, uint8_t* data, int max, int expected, int timeoutMs) override {
    const int n = real_.Read(h, data, max, expected, timeoutMs);
    if (n < std::min(expected, max)) ++shortReads;
    return n;
  }
  void Close(int h) override { real_.Close(h); }
  bool SetBaud(int h, uint32_t baud) override { return real_.SetBaud(h, baud); }
  int LastError() const override { return real_.LastError(); }

  int shortReads = 0;

 private:
  PosixSerialDriver real_;
};

}  // namespace quillet::test
