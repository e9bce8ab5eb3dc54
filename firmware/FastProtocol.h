// The block commands of Quillet's own gateway firmware, shared by the firmware and the program:
// command codes, header layout, how an instruction is formed from an address, and the CRC that
// guards every block. The program sends these only to a gateway that identified itself
// ("QG" in ReadBack bytes 4 to 7); to anything else they are unknown bytes. Like the parser,
// it keeps to C++14 and <stdint.h> so that avr-g++ and the host compile the same text.
#pragma once

#include <stdint.h>

// The few steps of a block's inner loop: a call each would cost the AVR more than the SPI's
// rest between two bytes.
#if defined(__GNUC__)
#define QUILLET_HOT inline __attribute__((always_inline))
#else
#define QUILLET_HOT inline
#endif

namespace quillet {
namespace firmware {
namespace fast {

// 50 slot op high low flags wait: stores one instruction form (Form below). Answer: the CRC of the seven
// bytes as received, low byte first.
constexpr uint8_t kForm = 0x50;
// 51 mode a2 a1 a0 n: reads n bytes (0 means 256) from a2:a1:a0 on with the mode's slot.
// Answer: the n bytes, then the CRC of the six header bytes as received and the n bytes.
constexpr uint8_t kRead = 0x51;
// 52 mode a2 a1 a0 n h0 h1, then n data bytes and d0 d1: h is the CRC of the six bytes before
// it, d the CRC of the eight header bytes and the data. Each byte goes through the mode's slot:
// page loads as the bytes arrive, byte writes (a slot with a wait) only once d has matched.
// With kCommit in the mode, the commit slot follows at the last byte's address with its wait,
// if d matched. Answer: kAckOk, or kAckBad once the line has rested after a damaged block.
constexpr uint8_t kWrite = 0x52;
// 53 a2 a1 a0 c0 c1: the commit slot at a2:a1:a0, then its wait, if the CRC c0 c1 of the four
// bytes before it matches. Answer as kWrite.
constexpr uint8_t kCommitAt = 0x53;
// 54 code: answers 54 code at the present rate, then switches to kBauds[code] and reverts
// to 115200 unless a kPing arrives cleanly at the new rate within kConfirmMs.
constexpr uint8_t kBaud = 0x54;
// 55: answers 'Q' 'G'.
constexpr uint8_t kPing = 0x55;

constexpr uint8_t kParams[6] = {6, 5, 7, 5, 1, 0};  // of 50 .. 55
constexpr uint8_t kFirst = kForm, kLast = kPing;

// The mode byte of kRead and kWrite: the slot, the SPI clock, and kWrite's commit.
constexpr uint8_t kSlotMask = 0x03;
constexpr uint8_t kSpiShift = 4;
constexpr uint8_t kSpiMask = 0x70;
constexpr uint8_t kCommit = 0x80;
inline uint8_t Mode(uint8_t slot, uint8_t spi, bool commit) {
  return static_cast<uint8_t>((slot & kSlotMask) | ((spi << kSpiShift) & kSpiMask) | (commit ? kCommit : 0));
}

// Slots the program fills per operation.
constexpr uint8_t kSlotRead = 0;    // a memory's read instruction
constexpr uint8_t kSlotWrite = 1;   // a page load, or a byte write with its wait
constexpr uint8_t kSlotCommit = 2;  // the page commit with its wait
constexpr uint8_t kSlotProbe = 3;   // the signature read, to confirm a faster SPI clock
constexpr uint8_t kSlots = 4;

// SPI clock codes: SCK = 16 MHz / kSpiDivider[code]. Code 0 is the contract's 125 kHz, which
// every instruction outside a block keeps.
constexpr uint8_t kSpiCodes = 6;
constexpr uint8_t kSpiDivider[kSpiCodes] = {128, 64, 32, 16, 8, 4};

constexpr uint8_t kBaudCodes = 4;
constexpr uint32_t kBauds[kBaudCodes] = {115200, 250000, 500000, 1000000};
constexpr uint16_t kConfirmMs = 100;

constexpr uint8_t kAckOk[2] = {0x00, 0xFF};
constexpr uint8_t kAckBad[2] = {0xBA, 0xD0};

// A block's longest run on the chip, so that it ends well inside the program's one-second read
// time-out: 256 instructions at 125 kHz take 66 ms. Byte writes, with a wait each, go one to a
// block.
constexpr uint16_t kMaxBlock = 256;

// How the instruction for an address is formed:
//   I1 = op, with 0x08 for the odd byte of a word when kWord
//   I2 = (a >> 8) & high, I3 = a & low, where a is the word address (kWord) or the byte address
//   I4 = the data byte (writes) or 0 (reads, commits)
// kExtended: before the instruction, Load Extended Address Byte (4D 00 e 00) whenever the word
// address's bits 16 to 23 differ from what the chip last got.
constexpr uint8_t kWord = 0x01;
constexpr uint8_t kOddSelect = 0x02;
constexpr uint8_t kExtended = 0x04;
constexpr uint8_t kWithData = 0x08;

// A slot's wait counts in units of 256 us (up to 65 ms): the datasheets' 4.5 ms is 18 of them.
constexpr uint16_t kWaitUnitUs = 256;

struct Form {
  uint8_t op = 0;
  uint8_t high = 0;
  uint8_t low = 0;
  uint8_t flags = 0;
  uint8_t wait = 0;  // after each instruction of the slot, in kWaitUnitUs

};

QUILLET_HOT uint32_t FormAddress(const Form& f, uint32_t address) {
  return (f.flags & kWord) ? address >> 1 : address;
}

QUILLET_HOT void FormInstruction(const Form& f, uint32_t address, uint8_t data, uint8_t out[4]) {
  const uint32_t a = FormAddress(f, address);
  out[0] = static_cast<uint8_t>(f.op | (((f.flags & kOddSelect) && (address & 1)) ? 0x08 : 0));
  out[1] = static_cast<uint8_t>((a >> 8) & f.high);
  out[2] = static_cast<uint8_t>(a & f.low);
  out[3] = (f.flags & kWithData) ? data : 0;
}

// The extended address byte an address needs, or -1 when the form needs none.
inline int16_t ExtendedByte(const Form& f, uint32_t address) {
  if (!(f.flags & kExtended)) return -1;
  return static_cast<int16_t>((FormAddress(f, address) >> 16) & 0xFF);
}

// CRC-16/XMODEM (polynomial 0x1021, start 0): a damaged or lost byte changes it.
QUILLET_HOT uint16_t Crc(uint16_t crc, uint8_t byte) {
  uint8_t x = static_cast<uint8_t>((crc >> 8) ^ byte);
  x ^= static_cast<uint8_t>(x >> 4);
  return static_cast<uint16_t>((crc << 8) ^ (static_cast<uint16_t>(x) << 12) ^
                               (static_cast<uint16_t>(x) << 5) ^ x);
}

inline uint16_t Crc(uint16_t crc, const uint8_t* bytes, uint16_t n) {
  for (uint16_t i = 0; i < n; ++i) crc = Crc(crc, bytes[i]);
  return crc;
}

inline uint16_t BlockCount(uint8_t n) { return n == 0 ? 256 : n; }

inline uint32_t Address24(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) << 16 | static_cast<uint32_t>(p[1]) << 8 | p[2];
}

// ---- the firmware's side, over its hardware (Io) so that the host runs it too ----
// Io provides: Spi(code) sets the SPI clock; Begin(mosi) starts shifting a byte, End() waits
// for it and returns what came back; Send(b) queues an answer byte; Receive(b) takes the next
// byte of the line, false once the line has rested too long; Drain() drops what comes until the
// line rests; Busy(units) notes that the chip writes for units x 256 us from now, Ready() waits until it is done.
// A write's wait thus runs while the next block arrives, and anything the firmware sends the
// chip afterwards, a block's or the program's own instruction or reset, waits for it first.

struct State {
  Form forms[kSlots];
  int16_t ext = -1;  // the extended address byte the chip holds; -1: not known
};

template <class Io>
uint8_t ShiftInstruction(Io& io, const uint8_t in[4]) {
  io.Begin(in[0]);
  io.End();
  io.Begin(in[1]);
  io.End();
  io.Begin(in[2]);
  io.End();
  io.Begin(in[3]);
  return io.End();
}

template <class Io>
void LoadExtended(State& s, Io& io, int16_t e) {
  const uint8_t in[4] = {0x4D, 0x00, static_cast<uint8_t>(e), 0x00};
  ShiftInstruction(io, in);
  s.ext = e;
}

template <class Io>
QUILLET_HOT void SelectExtended(State& s, Io& io, const Form& f, uint32_t address) {
  if (!(f.flags & kExtended)) return;
  const int16_t e = ExtendedByte(f, address);
  if (e != s.ext) LoadExtended(s, io, e);
}

template <class Io>
void SendCrc(Io& io, uint16_t crc) {
  io.Send(static_cast<uint8_t>(crc & 0xFF));
  io.Send(static_cast<uint8_t>(crc >> 8));
}

template <class Io>
void SendAck(Io& io, bool ok) {
  const uint8_t* a = ok ? kAckOk : kAckBad;
  io.Send(a[0]);
  io.Send(a[1]);
}

template <class Io>
void RunForm(State& s, Io& io, const uint8_t p[6]) {
  if (p[0] < kSlots) {
    Form& f = s.forms[p[0]];
    f.op = p[1];
    f.high = p[2];
    f.low = p[3];
    f.flags = p[4];
    f.wait = p[5];
  }
  SendCrc(io, Crc(Crc(0, kForm), p, 6));
}

// One instruction through a slot, with its extended address and its wait.
template <class Io>
void Apply(State& s, Io& io, const Form& f, uint32_t address, uint8_t data) {
  uint8_t in[4];
  io.Ready();
  SelectExtended(s, io, f, address);
  FormInstruction(f, address, data, in);
  ShiftInstruction(io, in);
  if (f.wait) io.Busy(f.wait);
}

template <class Io>
void RunRead(State& s, Io& io, const uint8_t p[5]) {
  uint16_t crc = Crc(Crc(0, kRead), p, 5);
  const Form f = s.forms[p[0] & kSlotMask];
  uint32_t a = Address24(p + 1);
  const uint16_t n = BlockCount(p[4]);
  io.Ready();
  io.Spi(static_cast<uint8_t>((p[0] & kSpiMask) >> kSpiShift));
  uint8_t cur[4], next[4];
  FormInstruction(f, a, 0, cur);
  uint8_t value = 0;
  for (uint16_t i = 0; i < n; ++i, ++a) {
    SelectExtended(s, io, f, a);
    // The answer byte before goes out and the next instruction is formed while this one
    // shifts, so the SPI hardly rests.
    io.Begin(cur[0]);
    if (i) {
      io.Send(value);
      crc = Crc(crc, value);
    }
    io.End();
    io.Begin(cur[1]);
    FormInstruction(f, a + 1, 0, next);
    io.End();
    io.Begin(cur[2]);
    io.End();
    io.Begin(cur[3]);
    value = io.End();
    for (uint8_t k = 0; k < 4; ++k) cur[k] = next[k];
  }
  io.Send(value);
  crc = Crc(crc, value);
  io.Spi(0);
  SendCrc(io, crc);
}

template <class Io>
bool ReceiveCrc(Io& io, uint16_t crc) {
  uint8_t c0, c1;
  if (!io.Receive(c0) || !io.Receive(c1)) return false;
  return c0 == (crc & 0xFF) && c1 == (crc >> 8);
}

// buffer: room for kMaxBlock bytes, for byte writes, which may only start once the block is
// known to be whole.
template <class Io>
void RunWrite(State& s, Io& io, const uint8_t p[7], uint8_t* buffer) {
  uint16_t crc = Crc(Crc(0, kWrite), p, 5);
  if (p[5] != (crc & 0xFF) || p[6] != (crc >> 8)) {
    // The header is damaged: its count cannot be trusted, so nothing that follows is a command.
    io.Drain();
    SendAck(io, false);
    return;
  }
  crc = Crc(crc, p + 5, 2);
  const Form f = s.forms[p[0] & kSlotMask];
  const uint32_t start = Address24(p + 1);
  const uint16_t n = BlockCount(p[4]);
  const bool deferred = f.wait != 0;
  io.Spi(static_cast<uint8_t>((p[0] & kSpiMask) >> kSpiShift));
  bool whole = true;
  if (deferred) {
    for (uint16_t i = 0; i < n && whole; ++i) {
      whole = io.Receive(buffer[i]);
      if (whole) crc = Crc(crc, buffer[i]);
    }
  } else {
    // Page loads: the next byte is taken from the line and its instruction formed while this
    // one shifts.
    uint8_t b = 0, cur[4] = {0, 0, 0, 0}, next[4] = {0, 0, 0, 0};
    whole = io.Receive(b);
    if (whole) {
      crc = Crc(crc, b);
      FormInstruction(f, start, b, cur);
      io.Ready();
      SelectExtended(s, io, f, start);
    }
    for (uint16_t i = 0; whole && i < n; ++i) {
      const bool more = i + 1 < n;
      io.Begin(cur[0]);
      const bool got = more && io.Receive(b);
      io.End();
      io.Begin(cur[1]);
      if (got) {
        crc = Crc(crc, b);
        FormInstruction(f, start + i + 1, b, next);
      }
      io.End();
      io.Begin(cur[2]);
      io.End();
      io.Begin(cur[3]);
      io.End();
      if (!more) break;
      whole = got;
      if (!got) break;
      SelectExtended(s, io, f, start + i + 1);
      for (uint8_t k = 0; k < 4; ++k) cur[k] = next[k];
    }
  }
  whole = whole && ReceiveCrc(io, crc);
  if (!whole) {
    io.Spi(0);
    io.Drain();
    SendAck(io, false);
    return;
  }
  if (deferred)
    for (uint16_t i = 0; i < n; ++i) Apply(s, io, f, start + i, buffer[i]);
  if (p[0] & kCommit) Apply(s, io, s.forms[kSlotCommit], start + n - 1, 0);
  io.Spi(0);
  SendAck(io, true);
}

template <class Io>
void RunCommitAt(State& s, Io& io, const uint8_t p[5]) {
  const uint16_t crc = Crc(Crc(0, kCommitAt), p, 3);
  const bool ok = p[3] == (crc & 0xFF) && p[4] == (crc >> 8);
  if (ok) Apply(s, io, s.forms[kSlotCommit], Address24(p), 0);
  SendAck(io, ok);
}

}  // namespace fast
}  // namespace firmware
}  // namespace quillet
