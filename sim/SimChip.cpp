#include "sim/SimChip.h"

#include <cstdio>

#include "chips/PartTable.h"

namespace quillet::sim {

namespace {

std::string Hex2(unsigned v) {
  char b[8];
  std::snprintf(b, sizeof b, "%02X", v & 0xFF);
  return b;
}

std::string Hex4(unsigned v) {
  char b[8];
  std::snprintf(b, sizeof b, "%04X", v & 0xFFFF);
  return b;
}

}  // namespace

SimChip::SimChip(const SimChipModel& model) : model_(&model) {
  // The busy times are the catalogue's, so the program and its simulated chips agree; a newer
  // chip's row gives its datasheet's typical times too, which the chip takes.
  if (const ChipEntry* entry = FindChipByName(model.name)) {
    longest_ = times_ = entry->times;
    if (entry->part)
      times_ = {entry->part->typical.flashUs, entry->part->typical.eepromUs, entry->part->typical.eraseUs,
                entry->part->typical.fuseUs};
  }
  FactoryReset();
}

void SimChip::FactoryReset() {
  state_.chip = model_->name;
  state_.flash.assign(model_->flashBytes, 0xFF);
  state_.eeprom.assign(model_->eepromBytes, 0xFF);
  state_.fuses.assign(model_->factoryFuse.begin(), model_->factoryFuse.begin() + model_->fuseCount);
  state_.lock = 0xFF;
  state_.violations = 0;
  pageBuffer_.assign(model_->flashPageWords * 2u, 0xFF);
  eepromBuffer_.assign(model_->eepromPageBytes, 0xFF);
  eepromLoaded_.assign(model_->eepromPageBytes, false);
  ++changes_;
}

void SimChip::ResetFuses() {
  state_.fuses.assign(model_->factoryFuse.begin(), model_->factoryFuse.begin() + model_->fuseCount);
  state_.lock = 0xFF;
  ++changes_;
}

bool SimChip::LockedOut() const {
  return model_->lockoutFuse >= 0 &&
         (state_.fuses[model_->lockoutFuse] & model_->lockoutBits) != model_->lockoutBits;
}

bool SimChip::Adopt(const SimChipState& s) {
  if (s.chip != model_->name || s.flash.size() != model_->flashBytes ||
      s.eeprom.size() != model_->eepromBytes || s.fuses.size() != model_->fuseCount)
    return false;
  state_ = s;
  ++changes_;
  return true;
}

void SimChip::SetReset(bool high, int64_t timeUs) {
  if (high) {
    // The chip runs its program: programming mode ends, loaded page data is lost.
    enabled_ = false;
    armed_ = false;
    pageBuffer_.assign(pageBuffer_.size(), 0xFF);
    eepromLoaded_.assign(eepromLoaded_.size(), false);
  } else if (resetHigh_) {
    // The fuses take effect when the chip leaves programming mode; from then on the pin
    // is an I/O line (RSTDISBL) or the debugWIRE line (DWEN), and the pulse resets nothing.
    armed_ = !LockedOut();
    resetLowAt_ = std::min(timeUs, earliestUs_);
    provenResetLowAt_ = std::min(timeUs, provenUs_);
  }
  resetHigh_ = high;
}

void SimChip::WriteBusy(int64_t t, uint32_t WriteTimes::*time, bool flash, uint32_t from, uint32_t to) {
  uint32_t us = times_.*time;
  if (busyMode_ == BusyMode::Random) {
    random_ = random_ * 1103515245u + 12345u;
    us = 1 + (random_ >> 8) % std::max<uint32_t>(longest_.*time, 1);
  } else if (busyMode_ == BusyMode::Stuck) {
    us = 4 * longest_.*time;
  }
  Busy(t, us);
  polled_ = {flash, from, to};
}

bool SimChip::PolledRead(const Bytes4& in) const {
  if (polled_.to == 0) return false;
  if ((in[0] & 0xF7) == 0x20 && polled_.flash) {
    const uint32_t words = model_->flashBytes / 2;
    const uint32_t word = ((uint32_t{extendedAddress_} << 16) | (uint32_t{in[1]} << 8) | in[2]) % words;
    const uint32_t b = word * 2 + ((in[0] & 0x08) ? 1 : 0);
    return b >= polled_.from && b < polled_.to;
  }
  if (in[0] == 0xA0 && !polled_.flash) {
    const uint32_t a = ((uint32_t{in[1]} << 8) | in[2]) % model_->eepromBytes;
    return a >= polled_.from && a < polled_.to;
  }
  return false;
}

uint8_t SimChip::EchoAt(const Bytes4& in, int index, int64_t timeUs) const {
  // Transfer's verdicts in its order; only an instruction carried out echoes.
  const bool enable = in[0] == 0xAC && in[1] == 0x53;
  const bool polled = timeUs < ownBusyUntil_ && enabled_ && PolledRead(in);
  const bool busy = BusyAt(timeUs) && !(enabled_ && model_->hasPoll && in[0] == 0xF0) && !polled &&
                    Backed(timeUs < provenBusyUntil_);
  const bool early = !enabled_ && enable && armed_ && timeUs - resetLowAt_ < resetSettleUs_ &&
                     Backed(timeUs - provenResetLowAt_ < resetSettleUs_);
  if (resetHigh_ || busy || (!enabled_ && !enable) || (!enabled_ && !armed_) || early ||
      (!enabled_ && enableMisses_ > 0) || polled)
    return 0xFF;
  if (!model_->echo) return 0x00;
  return index == 0 ? lastOut_ : in[index - 1];
}

Bytes4 SimChip::Transfer(const Bytes4& in, int64_t timeUs, std::string* note) {
  std::string n;
  std::string warning;
  Bytes4 out{0xFF, 0xFF, 0xFF, 0xFF};  // MISO undriven: the line floats high
  const bool enable = in[0] == 0xAC && in[1] == 0x53;
  const bool polled = timeUs < ownBusyUntil_ && enabled_ && PolledRead(in);
  bool busy = BusyAt(timeUs) && !(enabled_ && model_->hasPoll && in[0] == 0xF0) && !polled;
  if (busy && !Backed(timeUs < provenBusyUntil_)) {
    busy = false;
    warning = " (warning: perhaps inside the busy time; the arrival is not known exactly)";
  }
  bool early = !enabled_ && enable && armed_ && timeUs - resetLowAt_ < resetSettleUs_;
  if (early && !Backed(timeUs - provenResetLowAt_ < resetSettleUs_)) {
    early = false;
    warning = " (warning: perhaps too soon after reset; the arrival is not known exactly)";
  }
  if (resetHigh_) {
    n = "chip running (reset high): no answer";
  } else if (busy) {
    ++state_.violations;
    ++changes_;
    n = "ignored, chip busy: timing violation " + std::to_string(state_.violations);
  } else if (!enabled_ && !enable) {
    n = "ignored, not in programming mode";
  } else if (!enabled_ && !armed_) {
    n = LockedOut() ? "Programming Enable refused: reset pin disabled by RSTDISBL or DWEN"
                    : "Programming Enable refused: no reset pulse since the last one";
  } else if (early) {
    ++state_.violations;
    ++changes_;
    n = "Programming Enable too soon after reset: timing violation " +
        std::to_string(state_.violations);
  } else if (!enabled_ && enableMisses_ > 0) {
    --enableMisses_;
    armed_ = false;
    n = "Programming Enable missed: " + std::to_string(enableMisses_) + " more to miss";
  } else if (polled) {
    // Data polling: the byte under way reads as 0xFF until it is written.
    out[3] = 0xFF;
    n = "Read " + Hex4(in[1] << 8 | in[2]) + " while it is written -> FF (busy)";
  } else {
    if (!enabled_) {
      enabled_ = true;
      armed_ = false;
    }
    out = Execute(in, timeUs, n);
    n += warning;
  }
  if (note) *note = n;
  return out;
}

void SimChip::Erase() {
  state_.flash.assign(state_.flash.size(), 0xFF);
  const bool eesave = model_->eesaveFuse >= 0 &&
                      (state_.fuses[model_->eesaveFuse] & model_->eesaveBit) == 0;
  if (!eesave) state_.eeprom.assign(state_.eeprom.size(), 0xFF);
  state_.lock = 0xFF;
  ++changes_;
}

uint8_t SimChip::FuseRead(int i) const {
  return static_cast<uint8_t>(state_.fuses[i] | ~model_->fuseBits[i]);
}

void SimChip::FuseWrite(int i, uint8_t value, std::string& note) {
  static const char* kNames[] = {"low", "high", "extended"};
  note = std::string("Write fuse ") + (model_->fuseCount == 1 ? "bits" : kNames[i]) + " " +
         Hex2(value);
  if (model_->family == SimFamily::Current && WritesLocked()) {
    note += " (fuses locked by the lock bits)";
    return;
  }
  const uint8_t keep = model_->spienBits[i] | static_cast<uint8_t>(~model_->fuseBits[i]);
  const uint8_t v = static_cast<uint8_t>((value & ~keep) | (state_.fuses[i] & keep));
  state_.fuses[i] = static_cast<uint8_t>(v | ~model_->fuseBits[i]);
  ++changes_;
}

void SimChip::LockWrite(uint8_t value, std::string& note) {
  note = "Write lock bits " + Hex2(value);
  // Lock bits can only be programmed further; only an erase clears them.
  state_.lock &= static_cast<uint8_t>(value | ~model_->lockBits);
  ++changes_;
}

Bytes4 SimChip::Execute(const Bytes4& in, int64_t t, std::string& note) {
  const SimChipModel& m = *model_;
  const uint8_t i1 = in[0], i2 = in[1], i3 = in[2], i4 = in[3];
  Bytes4 out{lastOut_, i1, i2, i3};
  if (!m.echo) out = {0x00, 0x00, 0x00, 0x00};
  lastOut_ = i4;
  auto answer = [&](uint8_t v) { out[3] = v; };
  const uint32_t words = m.flashBytes / 2;
  const uint32_t word = ((uint32_t{extendedAddress_} << 16) | (uint32_t{i2} << 8) | i3) % words;
  const uint32_t flashByte = word * 2 + ((i1 & 0x08) ? 1 : 0);
  const uint32_t eeAddr = ((uint32_t{i2} << 8) | i3) % m.eepromBytes;
  const char* hl = (i1 & 0x08) ? " high" : " low";

  if (i1 == 0xAC) {
    if (i2 == 0x53) {
      note = "Programming Enable";
    } else if ((i2 & 0xE0) == 0x80) {
      note = "Chip Erase";
      Erase();
      Busy(t, times_.eraseUs);
    } else if ((i2 & 0xE0) == 0xE0) {
      LockWrite(m.family == SimFamily::Current ? i4 : i2, note);
      Busy(t, times_.fuseUs);
    } else if ((i2 & 0xE0) == 0xA0) {
      switch (m.family) {
        case SimFamily::Current:
          if (i2 == 0xA0) FuseWrite(0, i4, note);
          else if (i2 == 0xA8 && m.fuseCount >= 2) FuseWrite(1, i4, note);
          else if (i2 == 0xA4 && m.fuseCount >= 3) FuseWrite(2, i4, note);
          break;
        case SimFamily::OneFuse:
          if (m.fuseInI2)
            FuseWrite(0, static_cast<uint8_t>((state_.fuses[0] & ~0x1F) | (i2 & 0x1F)), note);
          else
            FuseWrite(0, i4, note);
          break;
        case SimFamily::OldReadable:
          if ((i2 & 0xFE) == 0xBE)
            FuseWrite(0, static_cast<uint8_t>((state_.fuses[0] & ~0x01) | (i2 & 0x01)), note);
          break;
        case SimFamily::Old:
          break;
      }
      if (!note.empty()) Busy(t, times_.fuseUs);
    }
  } else if (i1 == 0x4D && m.flashBytes / 2 > 0x10000) {
    extendedAddress_ = i3;
    note = "Load extended address " + Hex2(i3);
  } else if ((i1 & 0xF7) == 0x20) {
    const uint8_t v = ReadsLocked() ? 0xFF : state_.flash[flashByte];
    note = "Read Flash word " + Hex4(word) + hl + " -> " + Hex2(v);
    answer(v);
  } else if ((i1 & 0xF7) == 0x40) {
    if (m.flashPageWords) {
      const uint32_t off = i3 % m.flashPageWords;
      pageBuffer_[off * 2 + ((i1 & 0x08) ? 1 : 0)] = i4;
      note = "Load page word " + Hex2(off) + hl + " = " + Hex2(i4);
    } else {
      note = "Write Flash word " + Hex4(word) + hl + " = " + Hex2(i4);
      if (WritesLocked()) {
        note += " (locked)";
      } else {
        state_.flash[flashByte] &= i4;
        ++changes_;
      }
      WriteBusy(t, &WriteTimes::flashUs, true, flashByte, flashByte + 1);
    }
  } else if (i1 == 0x4C && m.flashPageWords) {
    const uint32_t first = word / m.flashPageWords * m.flashPageWords;
    note = "Write page at word " + Hex4(first);
    if (WritesLocked()) {
      note += " (locked)";
    } else {
      for (size_t k = 0; k < pageBuffer_.size(); ++k) state_.flash[first * 2 + k] &= pageBuffer_[k];
      ++changes_;
    }
    pageBuffer_.assign(pageBuffer_.size(), 0xFF);
    WriteBusy(t, &WriteTimes::flashUs, true, first * 2, static_cast<uint32_t>(first * 2 + pageBuffer_.size()));
  } else if (i1 == 0xA0) {
    const uint8_t v = ReadsLocked() ? 0xFF : state_.eeprom[eeAddr];
    note = "Read EEPROM " + Hex4(eeAddr) + " -> " + Hex2(v);
    answer(v);
  } else if (i1 == 0xC0) {
    note = "Write EEPROM " + Hex4(eeAddr) + " = " + Hex2(i4);
    if (WritesLocked()) {
      note += " (locked)";
    } else {
      state_.eeprom[eeAddr] = i4;  // the write erases the cell first
      ++changes_;
    }
    WriteBusy(t, &WriteTimes::eepromUs, false, eeAddr, eeAddr + 1);
  } else if (i1 == 0xC1 && m.eepromPageBytes) {
    const uint32_t off = i3 % m.eepromPageBytes;
    eepromBuffer_[off] = i4;
    eepromLoaded_[off] = true;
    note = "Load EEPROM page byte " + Hex2(off) + " = " + Hex2(i4);
  } else if (i1 == 0xC2 && m.eepromPageBytes) {
    const uint32_t first = eeAddr / m.eepromPageBytes * m.eepromPageBytes;
    note = "Write EEPROM page at " + Hex4(first);
    if (WritesLocked()) {
      note += " (locked)";
    } else {
      // Only the loaded bytes are written.
      for (size_t k = 0; k < eepromBuffer_.size(); ++k)
        if (eepromLoaded_[k]) state_.eeprom[first + k] = eepromBuffer_[k];
      ++changes_;
    }
    eepromLoaded_.assign(eepromLoaded_.size(), false);
    WriteBusy(t, &WriteTimes::eepromUs, false, first, first + m.eepromPageBytes);
  } else if (i1 == 0x30) {
    const unsigned a = i3 & 0x03;
    const uint8_t v = a < 3 ? m.signature[a] : 0xFF;
    note = "Read signature byte " + std::to_string(a) + " -> " + Hex2(v);
    answer(v);
  } else if (i1 == 0x38 && m.calibrationCount) {
    const unsigned a = i3 & (m.calibrationCount - 1u);
    note = "Read calibration byte " + std::to_string(a) + " -> " + Hex2(m.calibration[a]);
    answer(m.calibration[a]);
  } else if (i1 == 0x58 && m.family != SimFamily::Old) {
    uint8_t v = 0xFF;
    if (m.family == SimFamily::OldReadable) {
      // L1 L2 S x x x x F
      v = static_cast<uint8_t>(0x1E | (state_.fuses[0] & 0x21) | (Lb1Programmed() ? 0 : 0x80) |
                               (Lb2Programmed() ? 0 : 0x40));
      note = "Read lock and fuse bits -> " + Hex2(v);
    } else if (m.family == SimFamily::Current && (i2 & 0x08)) {
      if (m.fuseCount < 2) return out;
      v = FuseRead(1);
      note = "Read fuse high -> " + Hex2(v);
    } else {
      v = static_cast<uint8_t>(state_.lock | ~m.lockBits);
      note = "Read lock bits -> " + Hex2(v);
    }
    answer(v);
  } else if (i1 == 0x50 && (m.family == SimFamily::Current || m.family == SimFamily::OneFuse)) {
    int i = (m.family == SimFamily::Current && (i2 & 0x08)) ? 2 : 0;
    if (i >= m.fuseCount) return out;
    const uint8_t v = FuseRead(i);
    note = std::string(i ? "Read fuse extended" : "Read fuse low") + " -> " + Hex2(v);
    answer(v);
  } else if (i1 == 0xF0 && m.hasPoll) {
    const uint8_t v = t < ownBusyUntil_ ? 0xFF : 0xFE;
    note = std::string("Poll RDY/BSY -> ") + (v & 1 ? "busy" : "ready");
    answer(v);
  }
  if (note.empty()) note = "unknown instruction, ignored";
  return out;
}

}  // namespace quillet::sim
