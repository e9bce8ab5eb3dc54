// The block mode of Quillet's own gateway firmware, shared by the firmware and the program:
// frames, their kinds, how an instruction is formed from an address, and the CRC that guards
// every frame. The program uses it only with a gateway that identified itself ("QG" in
// ReadBack bytes 4 to 7). Like the parser, it keeps to C++14 and <stdint.h> so that avr-g++
// and the host compile the same text.
//
// The line may lose, damage, duplicate or delay any byte, so:
// - every message in both directions is a frame with a CRC, and an answer names the sequence
//   number and kind of the request it answers;
// - the firmware executes nothing from a frame whose CRC or length is wrong, and after such a
//   frame it takes no byte at all (kLost) until the program resynchronises with a run of
//   kSyncRun kSync bytes, which no frame can hold;
// - a read request can only run a read form, a write request only a write form, and a form
//   is checked for its kind when it is stored;
// - a raised line rate holds only while valid frames keep coming: kIdleMs without one and the
//   firmware is back at 115200 with the plain commands, which the program waits out before it
//   falls back itself.
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

// ---- frames ----
// Request: kSof kind seq p0 p1 p2 p3 p4 p5 h0 h1, where h is the CRC of kind .. p5; a write
//          request then carries n data bytes and d0 d1, the CRC of kind .. h1 and the data.
// Answer:  kSof kind seq status n0 n1, n data bytes, c0 c1, where c is the CRC of kind .. data.
// CRCs go low byte first.
constexpr uint8_t kSof = 0x50;
constexpr uint8_t kParamBytes = 6;
constexpr uint8_t kRequestHeader = 2 + kParamBytes + 2;  // after kSof
constexpr uint8_t kAnswerHeader = 5;                     // after kSof

// Kinds of request; an answer carries its request's kind.
// Enters block mode; p0, when not 0, a faster rate's code, taken as after kBaud. Answer: version
// major, minor, the code of the rate it came at.
constexpr uint8_t kHello = 0x01;
constexpr uint8_t kForm = 0x02;      // slot op high low flags wait. Answer: slot, class, form CRC (2)
constexpr uint8_t kRead = 0x03;      // mode a2 a1 a0 n. Answer: the n bytes
constexpr uint8_t kWrite = 0x04;     // mode a2 a1 a0 n, data. Answer: none
constexpr uint8_t kCommitAt = 0x05;  // a2 a1 a0. Answer: none
constexpr uint8_t kBaud = 0x06;      // code. Answered at the present rate, then the line switches
constexpr uint8_t kPing = 0x07;      // Answer: none; confirms a new rate
constexpr uint8_t kLeave = 0x08;     // Answered, then 115200 and the plain commands
// Answer only: a frame came damaged or cut off; its seq is what arrived. The firmware is lost.
constexpr uint8_t kNak = 0x7F;

constexpr uint8_t kStatusOk = 0;
constexpr uint8_t kStatusRefused = 1;  // not in block mode, a form of the wrong kind, unknown kind
// A write before this request was still under way when its longest wait had passed: the chip
// failed it. The request did not run.
constexpr uint8_t kStatusBusy = 2;

// Resynchronisation: this many kSync bytes in a row. Longer than any frame, and a frame starts
// with kSof, so no frame and no run of frames can hold it. The firmware answers with a hello
// frame of sequence number 0 and is in block mode, its forms forgotten.
constexpr uint8_t kSync = 0xA5;
constexpr uint16_t kSyncRun = 272;  // the longest frame: 269 bytes

// A frame whose bytes stop for this long is cut off (the program writes each frame whole).
constexpr uint16_t kFragmentMs = 50;
// In block mode, or lost, with no valid frame for this long: 115200 and the plain commands.
constexpr uint16_t kIdleMs = 300;

// The mode byte of kRead and kWrite: the slot, the SPI clock, and kWrite's commit.
constexpr uint8_t kSlotMask = 0x03;
constexpr uint8_t kSpiShift = 4;
constexpr uint8_t kSpiMask = 0x70;
constexpr uint8_t kCommit = 0x80;
inline uint8_t Mode(uint8_t slot, uint8_t spi, bool commit) {
  return static_cast<uint8_t>((slot & kSlotMask) | ((spi << kSpiShift) & kSpiMask) | (commit ? kCommit : 0));
}

// Slots, each for one kind of instruction.
constexpr uint8_t kSlotRead = 0;    // a memory's read instruction
constexpr uint8_t kSlotWrite = 1;   // a page load, or a byte write with its wait
constexpr uint8_t kSlotCommit = 2;  // the page commit with its wait
constexpr uint8_t kSlotProbe = 3;   // the signature read, to confirm a faster SPI clock
constexpr uint8_t kSlots = 4;

// The class a form answers with: what its slot may run.
constexpr uint8_t kClassRead = 'R';
constexpr uint8_t kClassWrite = 'W';
constexpr uint8_t kClassCommit = 'C';
inline uint8_t SlotClass(uint8_t slot) {
  return slot == kSlotWrite ? kClassWrite : slot == kSlotCommit ? kClassCommit : kClassRead;
}

// SPI clock codes: SCK = 16 MHz / kSpiDivider[code]. Code 0 is the contract's 125 kHz, which
// every instruction outside a block keeps.
constexpr uint8_t kSpiCodes = 6;
constexpr uint8_t kSpiDivider[kSpiCodes] = {128, 64, 32, 16, 8, 4};

constexpr uint8_t kBaudCodes = 4;
constexpr uint32_t kBauds[kBaudCodes] = {115200, 250000, 500000, 1000000};

// A block's longest run on the chip, so that it ends well inside the program's wait for its
// answer: 256 instructions at 125 kHz take 66 ms. Byte writes, with a wait each, go one to a
// block.
constexpr uint16_t kMaxBlock = 256;

// How the instruction for an address is formed:
//   I1 = op, with 0x08 for the odd byte of a word when kOddSelect
//   I2 = (a >> 8) & high, I3 = a & low, where a is the word address (kWord) or the byte address
//   I4 = the data byte (writes) or 0 (reads, commits)
// kExtended: before the instruction, Load Extended Address Byte (4D 00 e 00) whenever the word
// address's bits 16 to 23 differ from what the chip last got.
constexpr uint8_t kWord = 0x01;
constexpr uint8_t kOddSelect = 0x02;
constexpr uint8_t kExtended = 0x04;
constexpr uint8_t kWithData = 0x08;
// The wait of a write or commit form ends as soon as the chip is ready, the form's wait being its
// longest: kPollReady asks the chip by Poll RDY/BSY (F0 00 00 00, bit 0 of the answer set while
// busy); kPollData reads the written byte back through the read slot until it reads right,
// for a byte that can be told from the values a busy chip reads (see Pollable). A write the
// chip cannot be asked about waits its time out.
constexpr uint8_t kPollReady = 0x10;
constexpr uint8_t kPollData = 0x20;

// A byte that data polling can tell from what a busy chip reads: 0xFF (Flash and EEPROM of
// the later parts), 0x7F and 0x80 (AT90S Flash and EEPROM), 0x00 (AT90S1200 and the like).
QUILLET_HOT bool Pollable(uint8_t value) {
  return value != 0xFF && value != 0x7F && value != 0x80 && value != 0x00;
}

// A slot's wait counts in units of 256 us (up to 65 ms): the datasheets' 4.5 ms is 18 of them.
constexpr uint16_t kWaitUnitUs = 256;

struct Form {
  uint8_t op = 0;
  uint8_t high = 0;
  uint8_t low = 0;
  uint8_t flags = 0;
  uint8_t wait = 0;  // after each instruction of the slot, in kWaitUnitUs
  bool valid = false;
};

// The instructions each class may send: memory reads (Flash low and high byte, EEPROM,
// signature) never change the chip; writes load a page or write a byte; commits write a page.
// Whatever a damaged form would ask, a read slot cannot erase or write.
inline bool AllowedOp(uint8_t cls, uint8_t op, uint8_t flags) {
  if (cls == kClassRead) return (op == 0x20 || op == 0xA0 || op == 0x30) && !(flags & kWithData);
  if (cls == kClassWrite) return (op == 0x40 || op == 0xC0 || op == 0xC1) && (flags & kWithData);
  return (op == 0x4C || op == 0xC2) && !(flags & kWithData);
}

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

// What a form's answer confirms: its fields as stored.
inline uint16_t FormCrc(const Form& f) {
  const uint8_t b[5] = {f.op, f.high, f.low, f.flags, f.wait};
  return Crc(0, b, 5);
}

inline uint16_t BlockCount(uint8_t n) { return n == 0 ? 256 : n; }

inline uint32_t Address24(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) << 16 | static_cast<uint32_t>(p[1]) << 8 | p[2];
}

// ---- the firmware's side, over its hardware (Io) so that the host runs it too ----
// Io provides: Spi(code) sets the SPI clock; Begin(mosi) starts shifting a byte, End() waits
// for it and returns what came back; Send(b) queues an answer byte; Receive(b) takes the next
// byte of the line, false once the line has rested kFragmentMs, a byte came with a framing
// error, or a resynchronisation came; Flush() waits until the answer has left; Baud(code)
// switches the line's rate; Busy(units) notes that the chip writes for at most units x 256 us
// from now, Waiting() is true until that time has passed, Ready() waits until it has, Done()
// ends it early. A write's wait thus runs while the next frame arrives, and anything the
// firmware sends the chip afterwards waits for it first (Settle), asking the chip where it can.

enum LinkMode : uint8_t { kPlain, kBlocks, kLost };

// How the write under way is asked about.
enum PollHow : uint8_t { kPollNone, kPollByReady, kPollByData };

struct State {
  Form forms[kSlots];
  int16_t ext = -1;  // the extended address byte the chip holds; -1: not known
  uint8_t poll = kPollNone;  // the write under way
  uint32_t pollAddress = 0;  // kPollByData: its byte and the value it must read
  uint8_t pollValue = 0;
  bool loaded = false;  // a pollable byte was loaded into the page buffer since the last commit
  uint32_t loadedAddress = 0;
  uint8_t loadedValue = 0;
  uint8_t mode = kPlain;
  uint8_t baud = 0;  // code of the line's rate
};

inline void Forget(State& s) {
  for (uint8_t i = 0; i < kSlots; ++i) s.forms[i].valid = false;
  s.ext = -1;
  s.loaded = false;
  // Without the read form the write under way can only be waited out.
  if (s.poll == kPollByData) s.poll = kPollNone;
}

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

// Sends an answer's start and header; returns the CRC so far.
template <class Io>
uint16_t AnswerStart(Io& io, uint8_t kind, uint8_t seq, uint8_t status, uint16_t n) {
  const uint8_t h[kAnswerHeader] = {kind, seq, status, static_cast<uint8_t>(n & 0xFF),
                                    static_cast<uint8_t>(n >> 8)};
  io.Send(kSof);
  for (uint8_t i = 0; i < kAnswerHeader; ++i) io.Send(h[i]);
  return Crc(0, h, kAnswerHeader);
}

template <class Io>
void AnswerEnd(Io& io, uint16_t crc) {
  io.Send(static_cast<uint8_t>(crc & 0xFF));
  io.Send(static_cast<uint8_t>(crc >> 8));
}

template <class Io>
void Answer(Io& io, uint8_t kind, uint8_t seq, uint8_t status, const uint8_t* data, uint8_t n) {
  uint16_t crc = AnswerStart(io, kind, seq, status, n);
  for (uint8_t i = 0; i < n; ++i) io.Send(data[i]);
  AnswerEnd(io, Crc(crc, data, n));
}

template <class Io>
void Hello(State& s, Io& io, uint8_t seq, uint8_t major, uint8_t minor) {
  Forget(s);
  s.mode = kBlocks;
  const uint8_t about[3] = {major, minor, s.baud};
  Answer(io, kHello, seq, kStatusOk, about, 3);
}

// A frame that came damaged or cut off: nothing of it runs, and in block mode nothing more is
// taken until the program resynchronises. In plain mode its start was most likely a damaged
// plain byte: the plain commands go on, unanswered as they are today.
template <class Io>
void Lost(State& s, Io& io, uint8_t seq) {
  io.Spi(0);
  if (s.mode == kPlain) return;
  s.mode = kLost;
  Answer(io, kNak, seq, kStatusRefused, nullptr, 0);
}

// Whether the write under way is done, asked once.
template <class Io>
bool ChipReady(State& s, Io& io) {
  uint8_t in[4] = {0xF0, 0x00, 0x00, 0x00};
  if (s.poll == kPollByReady) return (ShiftInstruction(io, in) & 0x01) == 0;
  const Form& r = s.forms[kSlotRead];
  SelectExtended(s, io, r, s.pollAddress);
  FormInstruction(r, s.pollAddress, 0, in);
  return ShiftInstruction(io, in) == s.pollValue;
}

// Before anything reaches the chip: the write under way is over. Where the chip can be asked,
// it is asked until it is ready or the write's longest wait has passed; false when it still
// reads busy then (the write failed). Otherwise the wait runs out.
template <class Io>
bool Settle(State& s, Io& io) {
  if (s.poll == kPollNone) {
    io.Ready();
    return true;
  }
  for (;;) {
    const bool last = !io.Waiting();
    if (ChipReady(s, io)) break;
    if (last) {
      s.poll = kPollNone;
      io.Done();
      return false;
    }
  }
  s.poll = kPollNone;
  io.Done();
  return true;
}

// One instruction through a slot, with its extended address and its wait; false, with nothing
// sent, when the write before it failed.
template <class Io>
bool Apply(State& s, Io& io, const Form& f, uint32_t address, uint8_t data) {
  uint8_t in[4];
  if (!Settle(s, io)) return false;
  SelectExtended(s, io, f, address);
  FormInstruction(f, address, data, in);
  ShiftInstruction(io, in);
  if (!f.wait) return true;
  io.Busy(f.wait);
  const bool commit = f.op == 0x4C || f.op == 0xC2;
  const uint8_t value = commit ? s.loadedValue : data;
  if (f.flags & kPollReady) {
    s.poll = kPollByReady;
  } else if ((f.flags & kPollData) && s.forms[kSlotRead].valid && (commit ? s.loaded : Pollable(value))) {
    s.poll = kPollByData;
    s.pollAddress = commit ? s.loadedAddress : address;
    s.pollValue = value;
  }
  if (commit) s.loaded = false;
  return true;
}

// A byte loaded into the page buffer: the last pollable one is what data polling reads back
// once the page is committed.
QUILLET_HOT void NoteLoaded(State& s, uint32_t address, uint8_t value) {
  if (!Pollable(value)) return;
  s.loaded = true;
  s.loadedAddress = address;
  s.loadedValue = value;
}

template <class Io>
void RunForm(State& s, Io& io, uint8_t seq, const uint8_t p[kParamBytes]) {
  const uint8_t slot = p[0];
  if (slot >= kSlots || !AllowedOp(SlotClass(slot), p[1], p[4])) {
    Answer(io, kForm, seq, kStatusRefused, nullptr, 0);
    return;
  }
  Form& f = s.forms[slot];
  f.op = p[1];
  f.high = p[2];
  f.low = p[3];
  f.flags = p[4];
  f.wait = p[5];
  f.valid = true;
  const uint16_t crc = FormCrc(f);
  const uint8_t echo[4] = {slot, SlotClass(slot), static_cast<uint8_t>(crc & 0xFF),
                           static_cast<uint8_t>(crc >> 8)};
  Answer(io, kForm, seq, kStatusOk, echo, 4);
}

template <class Io>
void RunRead(State& s, Io& io, uint8_t seq, const uint8_t p[kParamBytes]) {
  const uint8_t slot = p[0] & kSlotMask;
  const Form f = s.forms[slot];
  if (!f.valid || SlotClass(slot) != kClassRead) {
    Answer(io, kRead, seq, kStatusRefused, nullptr, 0);
    return;
  }
  uint32_t a = Address24(p + 1);
  const uint16_t n = BlockCount(p[4]);
  io.Spi(static_cast<uint8_t>((p[0] & kSpiMask) >> kSpiShift));
  if (!Settle(s, io)) {
    io.Spi(0);
    Answer(io, kRead, seq, kStatusBusy, nullptr, 0);
    return;
  }
  uint16_t crc = AnswerStart(io, kRead, seq, kStatusOk, n);
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
  AnswerEnd(io, crc);
}

template <class Io>
bool ReceiveCrc(Io& io, uint16_t crc) {
  uint8_t c0, c1;
  if (!io.Receive(c0) || !io.Receive(c1)) return false;
  return c0 == (crc & 0xFF) && c1 == (crc >> 8);
}

// crc: of the request up to its header CRC. buffer: room for kMaxBlock bytes, for byte writes,
// which may only start once the block is known to be whole. False when the frame came damaged
// or cut off.
template <class Io>
bool RunWrite(State& s, Io& io, uint8_t seq, const uint8_t p[kParamBytes], uint16_t crc,
              uint8_t* buffer) {
  const uint8_t slot = p[0] & kSlotMask;
  const Form f = s.forms[slot];
  const uint32_t start = Address24(p + 1);
  const uint16_t n = BlockCount(p[4]);
  const bool commit = (p[0] & kCommit) != 0;
  const bool allowed = f.valid && SlotClass(slot) == kClassWrite &&
                       (!commit || s.forms[kSlotCommit].valid);
  // The chip asked at the block's clock, while the block's bytes gather in the line's buffer.
  io.Spi(static_cast<uint8_t>((p[0] & kSpiMask) >> kSpiShift));
  const bool ready = !allowed || Settle(s, io);
  const bool deferred = !allowed || !ready || f.wait != 0;
  bool whole = true;
  if (deferred) {
    for (uint16_t i = 0; i < n && whole; ++i) {
      whole = io.Receive(buffer[i]);
      if (whole) crc = Crc(crc, buffer[i]);
    }
  } else {
    // Page loads: the next byte is taken from the line and its instruction formed while this
    // one shifts. A damaged block leaves the chip's page buffer loaded but never committed.
    uint8_t b = 0, cur[4] = {0, 0, 0, 0}, next[4] = {0, 0, 0, 0};
    whole = io.Receive(b);
    if (whole) {
      crc = Crc(crc, b);
      FormInstruction(f, start, b, cur);
      NoteLoaded(s, start, b);
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
        NoteLoaded(s, start + i + 1, b);
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
    Lost(s, io, seq);
    return false;
  }
  if (!allowed || !ready) {
    io.Spi(0);
    Answer(io, kWrite, seq, allowed ? kStatusBusy : kStatusRefused, nullptr, 0);
    return true;
  }
  bool done = true;
  if (deferred)
    for (uint16_t i = 0; i < n && done; ++i) done = Apply(s, io, f, start + i, buffer[i]);
  if (commit && done) done = Apply(s, io, s.forms[kSlotCommit], start + n - 1, 0);
  io.Spi(0);
  Answer(io, kWrite, seq, done ? kStatusOk : kStatusBusy, nullptr, 0);
  return true;
}

// After kSof: takes the rest of a frame and runs it. Returns true for a valid frame (the line
// at its rate is confirmed by it), false when it came damaged or cut off (the firmware is then
// lost). In plain mode only a hello is run; any other valid frame is refused.
template <class Io>
bool RunFrame(State& s, Io& io, uint8_t* buffer, uint8_t major, uint8_t minor) {
  uint8_t h[kRequestHeader];
  for (uint8_t i = 0; i < kRequestHeader; ++i) {
    if (!io.Receive(h[i])) {
      Lost(s, io, i > 1 ? h[1] : 0);
      return false;
    }
  }
  const uint8_t kind = h[0], seq = h[1];
  const uint8_t* p = h + 2;
  const uint16_t crc = Crc(0, h, 2 + kParamBytes);
  if (h[2 + kParamBytes] != (crc & 0xFF) || h[3 + kParamBytes] != (crc >> 8)) {
    Lost(s, io, seq);
    return false;
  }
  if (kind == kHello) {
    Hello(s, io, seq, major, minor);
    if (p[0] != 0 && p[0] < kBaudCodes && p[0] != s.baud) {
      io.Flush();
      s.baud = p[0];
      io.Baud(p[0]);
    }
    return true;
  }
  if (s.mode != kBlocks) {
    // A write's data still follows: taken, never run.
    if (kind == kWrite && !RunWrite(s, io, seq, p, Crc(crc, h + 2 + kParamBytes, 2), buffer)) return false;
    if (kind != kWrite) Answer(io, kind, seq, kStatusRefused, nullptr, 0);
    return true;
  }
  switch (kind) {
    case kForm: RunForm(s, io, seq, p); break;
    case kRead: RunRead(s, io, seq, p); break;
    case kWrite: return RunWrite(s, io, seq, p, Crc(crc, h + 2 + kParamBytes, 2), buffer);
    case kCommitAt:
      if (s.forms[kSlotCommit].valid) {
        const bool done = Apply(s, io, s.forms[kSlotCommit], Address24(p), 0);
        Answer(io, kCommitAt, seq, done ? kStatusOk : kStatusBusy, nullptr, 0);
      } else {
        Answer(io, kCommitAt, seq, kStatusRefused, nullptr, 0);
      }
      break;
    case kBaud:
      if (p[0] < kBaudCodes) {
        Answer(io, kBaud, seq, kStatusOk, p, 1);
        io.Flush();
        s.baud = p[0];
        io.Baud(p[0]);
      } else {
        Answer(io, kBaud, seq, kStatusRefused, nullptr, 0);
      }
      break;
    // Also what the program asks after its last write: whether that write went through.
    case kPing: Answer(io, kPing, seq, Settle(s, io) ? kStatusOk : kStatusBusy, nullptr, 0); break;
    case kLeave:
      // The plain commands wait a write under way out.
      s.poll = kPollNone;
      Answer(io, kLeave, seq, kStatusOk, nullptr, 0);
      io.Flush();
      Forget(s);
      s.mode = kPlain;
      if (s.baud != 0) {
        s.baud = 0;
        io.Baud(0);
      }
      break;
    default: Answer(io, kind, seq, kStatusRefused, nullptr, 0); break;
  }
  return true;
}

// No valid frame for kIdleMs in block mode or lost: 115200 and the plain commands.
template <class Io>
void Idle(State& s, Io& io) {
  Forget(s);
  s.mode = kPlain;
  if (s.baud != 0) {
    s.baud = 0;
    io.Baud(0);
  }
}

}  // namespace fast
}  // namespace firmware
}  // namespace quillet
