// The target chip as the gateway's SPI pins see it: one byte shifted each way at a time, and the
// RESET line. The simulated chip (sim/SimChip.h) takes whole four-byte instructions; a real
// chip answers every byte as it shifts, from what it has taken of the instruction so far.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "sim/SimChip.h"

namespace quillet::sim {

class TargetSocket {
 public:
  // chip nullptr: an empty socket; it shows 0xFF, the board decides what a floating MISO reads.
  explicit TargetSocket(SimChip* chip) : chip_(chip) {}

  // The RESET line's level; a change also starts a new instruction, as the part's serial
  // programming logic restarts with its reset. The board sets the level once at the start.
  void SetReset(bool high, int64_t timeUs);
  bool ResetHigh() const { return resetHigh_; }

  // One byte shifted at timeUs: MOSI in, what the chip put on MISO meanwhile out. Every fourth
  // byte completes an instruction, which the chip then carries out.
  uint8_t Shift(uint8_t mosi, int64_t timeUs);
  // What the chip shows on MISO while the next byte is shifted, before any of its bits is in:
  // a target clocked by hand presents each bit before it has the byte.
  uint8_t Next(int64_t timeUs) const;

  // Instructions completed so far.
  uint64_t Instructions() const { return instructions_; }
  // Bytes shifted of the instruction under way (0 to 3).
  int Partial() const { return count_; }

  // One line for each reset change, each instruction and each cut instruction.
  std::function<void(int64_t timeUs, const std::string& line)> trace;

 private:
  // MISO for the byte under way, from a copy of the chip given the first known bytes.
  uint8_t Probe(int known, int64_t timeUs) const;
  void Trace(int64_t timeUs, const std::string& line) {
    if (trace) trace(timeUs, line);
  }

  SimChip* chip_;
  bool resetHigh_ = false;
  bool started_ = false;
  Bytes4 in_{0, 0, 0, 0};
  Bytes4 out_{0xFF, 0xFF, 0xFF, 0xFF};
  int count_ = 0;
  uint64_t instructions_ = 0;
};

}  // namespace quillet::sim
