// The gateway's command decoding, free of hardware: bytes from the serial line go in, one
// action per completed command comes out, and the answer bytes are composed here too. The
// firmware runs it on the ATmega328P and the unit tests run the same code on the host, so it
// keeps to what both compilers offer (C++14, no library beyond <stdint.h>).
#pragma once

#include <stdint.h>

#include "FastProtocol.h"

namespace quillet {
namespace firmware {

// Commands of the serial line.
constexpr uint8_t kSetup = 0x0A;          // 0A p1 p2: sent once when the program opens the port
constexpr uint8_t kSetupParamA = 0x40;    // 40 p
constexpr uint8_t kSetupParamB = 0x42;    // 42 p
constexpr uint8_t kLoadInstruction = 0x44;  // 44 I4 I3 I2 I1
constexpr uint8_t kReadBack = 0x45;
constexpr uint8_t kExecute = 0x46;
constexpr uint8_t kResetLow = 0x47;
constexpr uint8_t kResetHigh = 0x48;
// Since 2.1: RESET high, then D10 to D13 high-impedance, as at power-up (the firmware's own
// commands only: the program sends it to a gateway that named itself 2.1 or later).
constexpr uint8_t kRelease = 0x49;
// Since 2.1, one parameter: the SPI clock for slow targets, bit-banged at P x kSpiPeriodUnitUs
// a bit; 0 (as after set-up) is the SPI hardware's clocks. Below the hardware's slowest
// (16 MHz / 128) down to about 2 kHz, for a chip on a 128 kHz clock, with CKDIV8 too.
constexpr uint8_t kSpiPeriod = 0x4A;
constexpr uint8_t kSpiPeriodUnitUs = 2;

constexpr uint8_t kAnswerBytes = 8;
// Answer bytes 4 to 7: "QG" and the firmware's version, major then minor. Major 2: block mode
// in frames (FastProtocol.h). Minor 1: kRelease, and byte 5 of an answer 'g' after a line fault.
constexpr uint8_t kVersionMajor = 2, kVersionMinor = 1;
constexpr uint8_t kIdentity[4] = {'Q', 'G', kVersionMajor, kVersionMinor};

// The most parameter bytes any command takes; a new command with more must raise it.
constexpr uint8_t kMaxParams = 4;

// Parameter bytes that follow a command byte; -1 for a byte that is no command.
inline int8_t ParamCount(uint8_t command) {
  switch (command) {
    case kSetup: return 2;
    case kSetupParamA:
    case kSetupParamB: return 1;
    case kLoadInstruction: return 4;
    case kReadBack:
    case kExecute:
    case kResetLow:
    case kResetHigh:
    case kRelease: return 0;
    case kSpiPeriod: return 1;
    default: return -1;
  }
}

enum class Action : uint8_t {
  None,       // the byte belongs to a command that is not complete yet
  Ignored,    // the byte is no command; it is dropped and the next byte starts afresh
  Setup,      // 0A, 40 or 42 with its parameters: take the target lines if not yet taken;
              // 0A also forgets the stored instruction and the bytes received
  ResetHigh,  // drive the target's RESET high
  ResetLow,   // drive it low
  Release,    // RESET high, then every target line high-impedance
  SpiPeriod,  // spiPeriod changed
  Load,       // a new instruction is stored
  Execute,    // shift the stored instruction, keeping what comes back (StoreReceived)
  ReadBack,   // send the answer (ComposeAnswer)
};

struct Gateway {
  uint8_t command = 0;
  uint8_t need = 0;   // parameter bytes still to come
  uint8_t count = 0;  // parameter bytes taken so far
  uint8_t params[kMaxParams] = {0, 0, 0, 0};
  // Bus order: instruction[0] (I1) is shifted first. None loaded yet: zeros, which a target
  // in programming mode takes as no instruction.
  uint8_t instruction[4] = {0, 0, 0, 0};
  // What came back while instruction[i] was shifted. Nothing shifted yet: MISO idles high.
  uint8_t received[4] = {0xFF, 0xFF, 0xFF, 0xFF};
  // A byte was lost on the line (the UART overran) since the last answer: whatever command it
  // belonged to may not have run, so the next answer says so.
  bool lineFault = false;
  // kSpiPeriod's parameter: 0 the SPI hardware, else bit-banged at this many
  // kSpiPeriodUnitUs a bit.
  uint8_t spiPeriod = 0;
};

// One byte from the line. Commands never mix: a byte that arrives while parameters are due is
// a parameter, whatever its value.
inline Action Feed(Gateway& g, uint8_t byte) {
  if (g.need > 0) {
    g.params[g.count++] = byte;
    if (--g.need > 0) return Action::None;
  } else {
    const int8_t n = ParamCount(byte);
    if (n < 0) return Action::Ignored;
    g.command = byte;
    g.count = 0;
    g.need = static_cast<uint8_t>(n);
    if (n > 0) return Action::None;
  }
  switch (g.command) {
    case kLoadInstruction:
      // The line carries the instruction last byte first.
      for (uint8_t i = 0; i < 4; ++i) g.instruction[i] = g.params[3 - i];
      return Action::Load;
    case kExecute: return Action::Execute;
    case kReadBack: return Action::ReadBack;
    case kResetLow: return Action::ResetLow;
    case kResetHigh: return Action::ResetHigh;
    case kRelease: return Action::Release;
    case kSpiPeriod:
      g.spiPeriod = g.params[0];
      return Action::SpiPeriod;
    case kSetup: {
      // A new session: nothing of the previous one answers a ReadBack.
      const Gateway fresh;
      for (uint8_t i = 0; i < 4; ++i) {
        g.instruction[i] = fresh.instruction[i];
        g.received[i] = fresh.received[i];
      }
      g.spiPeriod = fresh.spiPeriod;
      return Action::Setup;
    }
    default: return Action::Setup;
  }
}

// True while a command waits for more parameter bytes.
inline bool Pending(const Gateway& g) { return g.need > 0; }

// A byte that starts a frame of block mode (FastProtocol.h) rather than a plain command: kSof
// where no plain command waits for its parameters.
inline bool StartsFrame(const Gateway& g, uint8_t byte) { return g.need == 0 && byte == fast::kSof; }

// Drops a command whose parameters stopped coming, so that the next byte is read as a command.
inline void Abandon(Gateway& g) {
  g.need = 0;
  g.count = 0;
}

// What the target sent back while instruction[i] was shifted, for i = 0..3.
inline void StoreReceived(Gateway& g, const uint8_t miso[4]) {
  for (uint8_t i = 0; i < 4; ++i) g.received[i] = miso[i];
}

// A byte lost on the line: the command under way is dropped and the next answer tells.
inline void NoteLineFault(Gateway& g) {
  Abandon(g);
  g.lineFault = true;
}

// Byte 5 of an answer that follows a line fault: 'g' rather than 'G'.
constexpr uint8_t kFaultMark = 'g';

// The ReadBack answer: byte 0 is what came back with I4, byte 1 with I3, byte 2 with I2,
// byte 3 with I1; then the identification, whose 'G' is kFaultMark once after a line fault.
inline void ComposeAnswer(Gateway& g, uint8_t out[kAnswerBytes]) {
  for (uint8_t i = 0; i < 4; ++i) out[i] = g.received[3 - i];
  for (uint8_t i = 0; i < 4; ++i) out[4 + i] = kIdentity[i];
  if (g.lineFault) out[5] = kFaultMark;
  g.lineFault = false;
}

}  // namespace firmware
}  // namespace quillet
