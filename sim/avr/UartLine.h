// What a UART receiver makes of bytes sent at another rate: it waits for a falling edge, samples
// the middle of each of its own bit times, and checks the first stop bit. Some bytes arrive as
// other bytes with no framing error at all (0x55 sent at 115200 reaches a 1 M baud receiver as
// five 0x00), others with one. Pure, so that the tests check it alone.
#pragma once

#include <cstdint>
#include <vector>

namespace quillet::sim {

struct UartByte {
  uint8_t value;
  bool framingError;
  double endBits;  // when its stop bit's middle was sampled, in the sender's bit times
};

// bytes sent back to back, each with a start bit, 8 data bits (low first) and stopBits stop
// bits, at one bit per sender bit time; the receiver's bit lasts ratio sender bit times.
inline std::vector<UartByte> DecodeAtRate(const std::vector<uint8_t>& bytes, int stopBits, double ratio) {
  const int frame = 1 + 8 + stopBits;
  const double total = static_cast<double>(bytes.size()) * frame;
  auto level = [&](double t) -> int {
    if (t < 0 || t >= total) return 1;
    const auto k = static_cast<uint64_t>(t);
    const uint64_t bit = k % static_cast<uint64_t>(frame);
    if (bit == 0) return 0;
    if (bit <= 8) return (bytes[k / static_cast<uint64_t>(frame)] >> (bit - 1)) & 1;
    return 1;
  };
  std::vector<UartByte> out;
  double t = 0;
  while (t < total) {
    // The next falling edge: a 0 bit that follows a 1 (or the idle line) at a bit boundary.
    double edge = -1;
    for (double b = static_cast<double>(static_cast<uint64_t>(t)); b < total; b += 1) {
      if (b < t) continue;
      if (level(b) == 0 && level(b - 1) == 1) {
        edge = b;
        break;
      }
    }
    if (edge < 0) break;
    if (level(edge + 0.5 * ratio) != 0) {  // a glitch, not a start bit
      t = edge + 1;
      continue;
    }
    uint8_t value = 0;
    for (int i = 0; i < 8; ++i)
      if (level(edge + (1.5 + i) * ratio)) value = static_cast<uint8_t>(value | (1 << i));
    const double stop = edge + 9.5 * ratio;
    out.push_back({value, level(stop) == 0, stop});
    t = stop;
  }
  return out;
}

}  // namespace quillet::sim
