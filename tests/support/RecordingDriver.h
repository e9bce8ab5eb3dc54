// The termios driver, with every packet the program writes kept and the bytes of both
// directions counted.
#pragma once

#include <string>
#include <vector>

#include "link/Port.h"

namespace quillet::test {

class RecordingDriver : public SerialDriver {
 public:
  using Instruction = std::vector<uint8_t>;  // bus order, I1 first

  RecordingDriver() : real_((SetSerialDriver(nullptr), GetSerialDriver())) { SetSerialDriver(this); }
  ~RecordingDriver() override { SetSerialDriver(nullptr); }
  int Open(const std::string& device) override { return real_.Open(device); }
  bool GetSettings(int h) override { return real_.GetSettings(h); }
  bool SetSettings(int h) override { return real_.SetSettings(h); }
  void Purge(int h) override { real_.Purge(h); }
  bool Write(int h, const uint8_t* data, int count) override {
    packets.emplace_back(data, data + count);
    written += static_cast<uint64_t>(count);
    return real_.Write(h, data, count);
  }
  int Read(int h, uint8_t* data, int max, int expected, int timeoutMs) override {
    const int n = real_.Read(h, data, max, expected, timeoutMs);
    if (n > 0) read += static_cast<uint64_t>(n);
    return n;
  }
  void Close(int h) override { real_.Close(h); }
  bool SetBaud(int h, uint32_t baud) override { return real_.SetBaud(h, baud); }
  int LastError() const override { return real_.LastError(); }

  // The instructions that the program had shifted: each ExecuteInstruction packet shifts the
  // last one loaded.
  std::vector<Instruction> Executed() const {
    std::vector<Instruction> out;
    Instruction loaded{0, 0, 0, 0};
    for (const auto& p : packets) {
      if (p.size() == 5 && p[0] == 0x44) loaded = {p[4], p[3], p[2], p[1]};
      if (p.size() == 1 && p[0] == 0x46) out.push_back(loaded);
    }
    return out;
  }

  std::vector<std::vector<uint8_t>> packets;
  uint64_t written = 0, read = 0;

 private:
  SerialDriver& real_;
};

}  // namespace quillet::test
