// One simulated AVR chip behind the gateway: its memories, fuses and lock bits, and the
// serial-programming instruction set of its family, as the real part decodes it.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "chips/Catalogue.h"
#include "sim/SimChips.h"

namespace quillet::sim {

// What persists of a chip between runs.
//   fuses: low, high, extended as far as the chip has them (one byte on the older parts;
//          on AT90S parts and ATtiny22 bit 5 is SPIEN and bit 0 FSTRT/RCEN).
//   lock:  the chip's own layout: LB1 in bit 1 and LB2 in bit 2 on the older parts and the
//          ATtiny12/15, LB1 in bit 0 and LB2 in bit 1 (boot lock bits above) on the later ones.
struct SimChipState {
  std::string chip;
  std::vector<uint8_t> flash;
  std::vector<uint8_t> eeprom;
  std::vector<uint8_t> fuses;
  uint8_t lock = 0xFF;
  uint64_t violations = 0;
};

// The state file, plain text, one item a line:
//   quillet-gateway-sim state 1
//   chip ATtiny2313
//   fuses 64 DF FF
//   lock FF
//   violations 0
//   flash <two hex digits per byte, all of Flash, no blanks>
//   eeprom <likewise>
// SaveSimState writes a temporary beside PATH and renames it over PATH (saying why not on
// standard error). LoadSimState: false with why set (when given) to the reason in words.
bool LoadSimState(const std::string& path, SimChipState& state, std::string* why = nullptr);
bool SaveSimState(const std::string& path, const SimChipState& state);

using Bytes4 = std::array<uint8_t, 4>;

class SimChip {
 public:
  explicit SimChip(const SimChipModel& model);

  const SimChipModel& Model() const { return *model_; }
  SimChipState& State() { return state_; }
  const SimChipState& State() const { return state_; }
  // Factory state: Flash and EEPROM erased, factory fuses, lock bits unprogrammed.
  void FactoryReset();
  // What a high-voltage programmer does for a locked-out part: factory fuses, lock bits
  // unprogrammed; Flash and EEPROM stay.
  void ResetFuses();
  // RSTDISBL or DWEN programmed: reset pulses no longer arm Programming Enable.
  bool LockedOut() const;
  // Takes a loaded state if it belongs to this chip and has the right sizes.
  bool Adopt(const SimChipState& state);

  // The reset line. A rising then a falling edge arms Programming Enable.
  void SetReset(bool high, int64_t timeUs);
  // Shifts one instruction (I1 first) and returns the four bytes seen on MISO meanwhile.
  // note (may be null) receives a one-line description of what the chip did.
  Bytes4 Transfer(const Bytes4& in, int64_t timeUs, std::string* note = nullptr);

  // What MISO shows while byte index (0 to 2) of an instruction shifts in, the bytes before it
  // known: what Transfer would give there, without carrying anything out or copying the chip.
  uint8_t EchoAt(const Bytes4& in, int index, int64_t timeUs) const;

  bool InProgrammingMode() const { return enabled_; }
  bool BusyAt(int64_t timeUs) const { return timeUs < busyUntil_; }
  // Grows with every change of memories, fuses, lock bits or the violation count.
  uint64_t Changes() const { return changes_; }

  // Programming Enable is refused sooner than this after the reset pulse (20 ms on the
  // parts); a caller on a real clock may allow for its own scheduling delays.
  static constexpr int64_t kResetSettleUs = 20000;
  void SetResetSettleUs(int64_t us) { resetSettleUs_ = us; }
  // On a real clock the line is sometimes read late, and the instructions in hand may have
  // been sent as early as this. A write's busy time then counts from here, so that the
  // simulator's own lateness never shows as the program's timing violation; so does the
  // settling time after a reset pulse.
  void SetEarliestArrivalUs(int64_t us) { earliestUs_ = us; }
  // What the caller can prove: the instructions in hand came no earlier than this (the read
  // before them). A violation that shows only under the assumed earliest arrival above, not
  // under the proven one, may be the simulator's own lateness: it is a warning in the note
  // and the instruction is carried out, unless strict timing is asked for.
  void SetProvenArrivalUs(int64_t us) { provenUs_ = us; }
  void SetStrictTiming(bool strict) { strict_ = strict; }
  // The first n Programming Enables, each after its reset pulse, are not taken (a chip still
  // starting, or busy with its own program): no echo, and only a new pulse arms it again.
  void SetEnableMisses(uint64_t n) { enableMisses_ = n; }
  const WriteTimes& Times() const { return times_; }
  // Busy times other than the chip's row, to hold the program to another source's waits.
  void SetTimes(const WriteTimes& times) { times_ = times; }
  // How long a Flash or EEPROM write keeps the chip busy: its datasheet's typical time (the
  // default, else the longest), a random time up to the longest (the waits the program takes),
  // or four times the longest, a chip that fails its writes.
  enum class BusyMode { Typical, Random, Stuck };
  void SetBusyMode(BusyMode mode, uint32_t seed = 1) {
    busyMode_ = mode;
    random_ = seed ? seed : 1;
  }

 private:
  Bytes4 Execute(const Bytes4& in, int64_t timeUs, std::string& note);
  void Busy(int64_t timeUs, uint32_t us) {
    busyUntil_ = std::min(timeUs, earliestUs_) + us;
    provenBusyUntil_ = std::min(timeUs, provenUs_) + us;
    ownBusyUntil_ = timeUs + us;
    polled_ = Polled{};
  }
  // A Flash or EEPROM write: its bytes [from, to) may be read while it runs (data polling).
  void WriteBusy(int64_t timeUs, uint32_t WriteTimes::*time, bool flash, uint32_t from, uint32_t to);
  // A read of a byte under way: answered as a busy chip answers, not a violation.
  bool PolledRead(const Bytes4& in) const;
  // A timing verdict that holds: under the proven arrival as well, or under strict timing.
  bool Backed(bool provenToo) const { return strict_ || provenToo; }
  void Erase();
  bool Lb1Programmed() const { return (state_.lock & model_->lb1) == 0; }
  bool Lb2Programmed() const { return (state_.lock & model_->lb2) == 0; }
  bool WritesLocked() const { return Lb1Programmed(); }
  bool ReadsLocked() const { return Lb1Programmed() && Lb2Programmed(); }
  uint8_t FuseRead(int i) const;
  void FuseWrite(int i, uint8_t value, std::string& note);
  void LockWrite(uint8_t programMask, std::string& note);

  const SimChipModel* model_;
  SimChipState state_;
  std::vector<uint8_t> pageBuffer_;       // Flash page buffer, bytes
  std::vector<uint8_t> eepromBuffer_;
  std::vector<bool> eepromLoaded_;
  bool resetHigh_ = false;
  bool armed_ = false;
  bool enabled_ = false;
  int64_t resetLowAt_ = 0;
  int64_t resetSettleUs_ = kResetSettleUs;
  int64_t provenResetLowAt_ = 0;
  int64_t busyUntil_ = 0;
  int64_t provenBusyUntil_ = 0;
  // The chip's own clock, which its answers to polls go by; the earlier arrivals above only
  // make the verdict on the program's timing lenient.
  int64_t ownBusyUntil_ = 0;
  int64_t earliestUs_ = INT64_MAX;
  int64_t provenUs_ = INT64_MAX;
  bool strict_ = false;
  uint64_t enableMisses_ = 0;
  WriteTimes times_{};
  WriteTimes longest_{};  // the catalogue's waits: Random and Stuck go by these
  BusyMode busyMode_ = BusyMode::Typical;
  uint32_t random_ = 1;
  struct Polled {
    bool flash = false;
    uint32_t from = 0, to = 0;  // bytes
  } polled_;
  uint8_t extendedAddress_ = 0;  // Load Extended Address Byte: Flash words above 64 K
  uint8_t lastOut_ = 0xFF;  // the shift register's last byte, seen first on the next transfer
  uint64_t changes_ = 0;
};

}  // namespace quillet::sim
