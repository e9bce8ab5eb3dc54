// The simulated gateway: one-byte commands from the serial line in, SPI transfers to the
// chip and answer bytes out. No I/O and no clock of its own: the caller passes the time of
// every byte, so runs are deterministic.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "sim/SimChip.h"

namespace quillet::sim {

struct GatewayOptions {
  bool silent = false;      // never answers ReadBack
  int shortAnswer = -1;     // >= 0: ReadBack answers only this many bytes
  bool badEcho = false;     // spoils the Programming Enable echo byte
  long hangupAfter = -1;    // >= 0: hangs up after this many commands
  long garbageAfter = -1;   // >= 0: after this many commands, answers carry extra bytes
};

// Bytes appended to an answer once garbageAfter has passed.
inline const std::vector<uint8_t> kGarbageBytes = {0xE1, 0xE2, 0xE3};

class Gateway {
 public:
  // chip nullptr: an empty socket, MISO floats high.
  explicit Gateway(SimChip* chip, GatewayOptions options = {});

  // One byte from the line, received at timeUs; answer bytes are appended to answer.
  void Receive(uint8_t byte, int64_t timeUs, std::vector<uint8_t>& answer);
  void Receive(const uint8_t* data, size_t count, int64_t timeUs, std::vector<uint8_t>& answer);

  bool HungUp() const { return hungUp_; }
  long Commands() const { return commands_; }
  GatewayOptions& Options() { return options_; }
  SimChip* Chip() { return chip_; }

  // One line per command decoded (and per ignored byte), with the time it completed.
  std::function<void(int64_t timeUs, const std::string& line)> trace;

 private:
  void Complete(int64_t timeUs, std::vector<uint8_t>& answer);
  void Trace(int64_t timeUs, const std::string& line) {
    if (trace) trace(timeUs, line);
  }

  SimChip* chip_;
  GatewayOptions options_;
  uint8_t command_ = 0;
  int need_ = 0;                     // parameter bytes still to come
  std::vector<uint8_t> params_;
  Bytes4 instruction_{0, 0, 0, 0};   // bus order I1 I2 I3 I4
  Bytes4 received_{0xFF, 0xFF, 0xFF, 0xFF};
  long commands_ = 0;
  bool hungUp_ = false;
};

// "1E 93 0B": bytes as the traces show them.
std::string HexList(const uint8_t* bytes, size_t count);

}  // namespace quillet::sim
