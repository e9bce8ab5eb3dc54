#include "sim/avr/TargetSocket.h"

#include <cstdio>
#include <optional>

#include "sim/Gateway.h"

namespace quillet::sim {

void TargetSocket::SetReset(bool high, int64_t timeUs) {
  if (started_ && high == resetHigh_) return;
  started_ = true;
  if (count_ > 0) {
    Trace(timeUs, "instruction cut short by RESET after " + HexList(in_.data(), static_cast<size_t>(count_)) +
                      ": the chip drops it");
    count_ = 0;
  }
  resetHigh_ = high;
  if (chip_) chip_->SetReset(high, timeUs);
  Trace(timeUs, high ? "RESET high" : "RESET low");
}

uint8_t TargetSocket::Probe(int known, int64_t timeUs) const {
  // What the chip shows on MISO for a byte is what it shows for any instruction that starts the
  // same way: a copy of the chip is given the known bytes, so the real one sees the instruction
  // once, whole.
  if (!chip_) return 0xFF;
  Bytes4 probe{0, 0, 0, 0};
  for (int i = 0; i < known; ++i) probe[i] = in_[i];
  // The echo of the bytes before needs no copy; only a memory's answer byte does.
  if (count_ < 3) return chip_->EchoAt(probe, count_, timeUs);
  std::optional<SimChip> copy(std::in_place, *chip_);
  return copy->Transfer(probe, timeUs)[count_];
}

uint8_t TargetSocket::Next(int64_t timeUs) const { return Probe(count_, timeUs); }

uint8_t TargetSocket::Shift(uint8_t mosi, int64_t timeUs) {
  if (count_ < 3) {
    // The chip has taken only part of the instruction.
    in_[count_] = mosi;
    const uint8_t miso = Probe(count_ + 1, timeUs);
    out_[count_++] = miso;
    return miso;
  }
  in_[count_] = mosi;
  count_ = 0;
  ++instructions_;
  std::string note = "empty socket";
  Bytes4 whole{0xFF, 0xFF, 0xFF, 0xFF};
  if (chip_) whole = chip_->Transfer(in_, timeUs, &note);
  out_[3] = whole[3];
  std::string line = "SPI " + HexList(in_.data(), 4) + " -> " + HexList(out_.data(), 4) + ": " + note;
  Trace(timeUs, line);
  return out_[3];
}

}  // namespace quillet::sim
