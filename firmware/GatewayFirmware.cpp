// The gateway on an ATmega328P at 16 MHz (Arduino Uno or Nano): commands from the serial line
// become SPI transfers and RESET levels on the target chip.
//
//   D10 (PB2)  target RESET      D11 (PB3)  MOSI
//   D12 (PB4)  MISO              D13 (PB5)  SCK
//
// The lines stay high-impedance from power-up until the first command that needs them (set-up,
// ResetHigh, ResetLow, ExecuteInstruction), and again after Release, so a target wired to a
// board that merely powers up keeps running, and a programmed one starts when the program is
// done.
#include <avr/interrupt.h>
#include <avr/io.h>
#include <avr/sleep.h>
#include <avr/wdt.h>
#include <stdint.h>

#include "GatewayParser.h"

#if F_CPU != 16000000UL
#error "the baud rate, SPI clock and time-out below are worked out for 16 MHz"
#endif

namespace {

using namespace quillet::firmware;

// 115200 baud with the doubled UART clock: 16 MHz / (8 * (16 + 1)) = 117647 baud, 2.1 % fast,
// as every 16 MHz Arduino runs it; two stop bits give the receiver room for that.
constexpr uint16_t kUbrr = 16;

constexpr uint8_t kReset = 1 << PB2;
constexpr uint8_t kMosi = 1 << PB3;
constexpr uint8_t kMiso = 1 << PB4;
constexpr uint8_t kSck = 1 << PB5;

// Timer 1 counts at 16 MHz / 1024 = 64 us a tick. The program writes every command whole, so a
// command whose parameters stop for 50 ms is a fragment (a byte lost, or a packet cut by the
// board's own reset) and is dropped.
constexpr uint16_t kFragmentTicks = 50000 / 64;
// Block mode: a frame cut off, and no valid frame for so long (FastProtocol.h).
constexpr uint16_t kFrameFragmentTicks = fast::kFragmentMs * 1000UL / 64;
constexpr uint16_t kIdleTicks = fast::kIdleMs * 1000UL / 64;

// Received bytes, filled by the receive interrupt. A page block of 256 bytes may arrive at
// 1 M baud while each byte takes 256 us on a slow target's SPI: the ring holds it all.
constexpr uint16_t kRxSize = 512;  // a power of two
volatile uint8_t rxBuf[kRxSize];
volatile uint16_t rxHead = 0, rxTail = 0;

// 115200, 250000, 500000, 1000000 baud with the doubled clock: 16 MHz / (8 * (UBRR + 1)).
constexpr uint16_t kBaudUbrr[fast::kBaudCodes] = {kUbrr, 7, 3, 1};
// A byte came with a framing error (noise, a break, a sender at another rate). It is dropped,
// and whatever command or frame it fell into is not run. Only a hint: a byte sent at another
// rate often arrives as other bytes with no framing error at all.
volatile bool lineFault = false;
// The receiver overran: a byte before the one just taken was lost. Also a line fault, and the
// next plain answer says so.
volatile bool overrun = false;
// The program's resynchronisation: fast::kSyncRun fast::kSync bytes in a row.
volatile uint16_t syncRun = 0;
volatile bool syncSeen = false;

fast::State fastState;
uint8_t writeBuffer[fast::kMaxBlock];

// Answer bytes, sent by the data-register-empty interrupt.
constexpr uint8_t kTxSize = 64;  // a power of two
volatile uint8_t txBuf[kTxSize];
volatile uint8_t txHead = 0, txTail = 0;

bool engaged = false;

}  // namespace

ISR(USART_RX_vect) {
  const uint8_t status = UCSR0A;
  const uint8_t b = UDR0;
  if (status & (1 << FE0)) {
    lineFault = true;
    syncRun = 0;
    return;
  }
  // The byte in hand is sound; one before it was lost while interrupts were held.
  if (status & (1 << DOR0)) {
    lineFault = true;
    overrun = true;
    syncRun = 0;
  }
  if (b != fast::kSync) {
    syncRun = 0;
  } else if (++syncRun >= fast::kSyncRun) {
    syncRun = 0;
    syncSeen = true;
  }
  const uint16_t next = (rxHead + 1) & (kRxSize - 1);
  // Full: only a host that sends faster than the commands run gets here (a slow SPI clock
  // shifts an instruction for longer than its packet takes on the line). The byte is lost as
  // in an overrun, and the next plain answer says so; a frame fails anyway.
  if (next == rxTail) {
    lineFault = true;
    overrun = true;
    syncRun = 0;
    return;
  }
  rxBuf[rxHead] = b;
  rxHead = next;
}

ISR(USART_UDRE_vect) {
  if (txHead == txTail) {
    UCSR0B &= static_cast<uint8_t>(~(1 << UDRIE0));
    return;
  }
  // TXC0 is cleared by writing it 1 (the other flags are written 0, U2X0 kept): it comes again
  // once this byte's stop bits have left.
  UCSR0A = static_cast<uint8_t>((UCSR0A & (1 << U2X0)) | (1 << TXC0));
  UDR0 = txBuf[txTail];
  txTail = (txTail + 1) & (kTxSize - 1);
}

// Only wakes the main loop, which then looks at the time-out itself.
ISR(TIMER1_COMPA_vect) { TIMSK1 = 0; }

namespace {

// The receive interrupt writes rxHead, two bytes wide: read it with interrupts held.
uint16_t RxHead() {
  const uint8_t sreg = SREG;
  cli();
  const uint16_t head = rxHead;
  SREG = sreg;
  return head;
}

bool Pop(uint8_t& b) {
  if (rxTail == RxHead()) return false;
  b = rxBuf[rxTail];
  rxTail = (rxTail + 1) & (kRxSize - 1);
  return true;
}


uint16_t Ticks() { return TCNT1; }

void Queue(uint8_t b);

QUILLET_HOT void Send(uint8_t b) {
  // Nothing queued and the UART free: straight in, without an interrupt per byte.
  if (txHead == txTail && (UCSR0A & (1 << UDRE0))) {
    UDR0 = b;
    return;
  }
  Queue(b);
}

void Queue(uint8_t b) {
  const uint8_t next = (txHead + 1) & (kTxSize - 1);
  while (next == txTail) {
    // Full: the interrupt makes room as bytes leave; reception goes on meanwhile.
  }
  txBuf[txHead] = b;
  txHead = next;
  const uint8_t sreg = SREG;
  cli();
  UCSR0B |= 1 << UDRIE0;
  SREG = sreg;
}

// Takes the target lines: RESET high as the target's own pull-up held it, SCK and MOSI low, and
// the SPI as master in mode 0, MSB first, at 16 MHz / 128 = 125 kHz. The target samples SCK with
// its own clock and needs more than two of its cycles in each half period; 125 kHz serves targets
// from 1 MHz (their factory setting) up.
// kSpiPeriod's setting: 0 the SPI hardware, else bit-banged at halfUs twice a bit.
uint16_t slowHalfUs = 0;

void Engage() {
  if (engaged) return;
  // MISO pulled up: an empty socket reads 0xFF, as a line that nobody drives.
  PORTB = static_cast<uint8_t>((PORTB | kReset | kMiso) & ~(kMosi | kSck));
  // D10 is the SPI's SS pin: as an output it can never drop the SPI out of master mode.
  DDRB |= kReset | kMosi | kSck;
  SPCR = slowHalfUs ? 0 : (1 << SPE) | (1 << MSTR) | (1 << SPR1) | (1 << SPR0);
  engaged = true;
}

// At least us microseconds: slower than asked is always safe for the target.
void WaitUs(uint16_t us) {
  while (us--) __builtin_avr_delay_cycles(12);
}

// SPI mode 0, MSB first, by hand: MOSI set while SCK is low, MISO read after the rising edge.
uint8_t BitBang(uint8_t out) {
  uint8_t in = 0;
  for (uint8_t bit = 0x80; bit; bit >>= 1) {
    if (out & bit) PORTB |= kMosi;
    else PORTB &= static_cast<uint8_t>(~kMosi);
    WaitUs(slowHalfUs);
    PORTB |= kSck;
    if (PINB & kMiso) in |= bit;
    WaitUs(slowHalfUs);
    PORTB &= static_cast<uint8_t>(~kSck);
  }
  return in;
}

// A new clock for slow targets: the SPI hardware off while the port drives the lines.
void SetSpiPeriod(uint8_t period) {
  slowHalfUs = static_cast<uint16_t>(period) * kSpiPeriodUnitUs / 2;
  if (period && slowHalfUs == 0) slowHalfUs = 1;
  if (!engaged) return;
  PORTB &= static_cast<uint8_t>(~kSck);
  SPCR = slowHalfUs ? 0 : (1 << SPE) | (1 << MSTR) | (1 << SPR1) | (1 << SPR0);
}

// The chip's self-timed write under way: nothing reaches it before the wait is over.
uint16_t busySince = 0, busyTicks = 0;

void Ready() {
  while (busyTicks && static_cast<uint16_t>(Ticks() - busySince) < busyTicks) {
  }
  busyTicks = 0;
}

// The state of power-up: RESET high (driven first, then held by D10's pull-up beside the
// target's own), MOSI, MISO and SCK high-impedance without pull-ups, the SPI off. The target
// runs its program, and its own use of the ISP pins meets no driven line.
void Release() {
  Ready();
  PORTB |= kReset;
  SPCR = 0;
  DDRB &= static_cast<uint8_t>(~(kReset | kMosi | kSck | kMiso));
  PORTB &= static_cast<uint8_t>(~(kMosi | kSck | kMiso));
  engaged = false;
}

uint8_t Shift(uint8_t out) {
  if (slowHalfUs) return BitBang(out);
  SPDR = out;
  while (!(SPSR & (1 << SPIF))) {
  }
  return SPDR;
}

// SPR1:SPR0 and SPI2X for 16 MHz / fast::kSpiDivider[code].
constexpr uint8_t kSpr[fast::kSpiCodes] = {3, 2, 2, 1, 1, 0};
constexpr uint8_t kSpi2x[fast::kSpiCodes] = {0, 0, 1, 0, 1, 0};

// The block commands' hardware: the SPI, the line and the timer.
struct Io {
  // A slow target's clock holds in blocks too: code 0 is then the bit-banged one.
  void Spi(uint8_t code) {
    if (code >= fast::kSpiCodes) code = 0;
    if (slowHalfUs && code == 0) {
      SPCR = 0;
      return;
    }
    SPCR = static_cast<uint8_t>((1 << SPE) | (1 << MSTR) | kSpr[code]);
    SPSR = static_cast<uint8_t>(kSpi2x[code] << SPI2X);
  }
  QUILLET_HOT void Begin(uint8_t b) {
    if (SPCR) SPDR = b;
    else banged = BitBang(b);
  }
  QUILLET_HOT uint8_t End() {
    if (!SPCR) return banged;
    while (!(SPSR & (1 << SPIF))) {
    }
    return SPDR;
  }
  uint8_t banged = 0xFF;
  QUILLET_HOT void Send(uint8_t b) { ::Send(b); }
  bool Receive(uint8_t& b) {
    const uint16_t t0 = Ticks();
    for (;;) {
      if (syncSeen) return false;
      if (lineFault) {
        lineFault = false;
        overrun = false;
        return false;
      }
      if (Pop(b)) return true;
      if (static_cast<uint16_t>(Ticks() - t0) >= kFrameFragmentTicks) return false;
    }
  }
  void Flush();
  void Baud(uint8_t code);
  void Busy(uint8_t units) {
    // Four 64 us ticks a unit, and one for the tick under way.
    busyTicks = static_cast<uint16_t>(units * 4u + 1u);
    busySince = Ticks();
  }
  void Ready() { ::Ready(); }
  bool Waiting() const { return busyTicks && static_cast<uint16_t>(Ticks() - busySince) < busyTicks; }
  void Done() { busyTicks = 0; }
};

// Waits until the answer bytes queued so far have left the UART, the last one's stop bits
// too: a program that writes at the new rate as soon as it has the answer finds it set.
void Io::Flush() {
  while (txHead != txTail) {
  }
  while (!(UCSR0A & (1 << TXC0))) {
  }
}

// Takes the line to another rate; what arrived at the old one is dropped.
void Io::Baud(uint8_t code) {
  if (code >= fast::kBaudCodes) code = 0;
  const uint8_t sreg = SREG;
  cli();
  UBRR0 = kBaudUbrr[code];
  rxTail = rxHead;
  lineFault = false;
  overrun = false;
  SREG = sreg;
}

uint16_t lastValidAt = 0;  // the last valid frame, in block mode

// After kSof: one frame of block mode. Entering or leaving block mode forgets the plain
// command state, so that a stray plain Execute afterwards shifts no stale instruction.
void Frame(Gateway& g) {
  Io io;
  const uint8_t before = fastState.mode;
  if (before == fast::kBlocks) Engage();
  if (fast::RunFrame(fastState, io, writeBuffer, kVersionMajor, kVersionMinor)) lastValidAt = Ticks();
  if (fastState.mode != before) g = Gateway();
}

void Resynchronise(Gateway& g) {
  const uint8_t sreg = SREG;
  cli();
  syncSeen = false;
  lineFault = false;
  overrun = false;
  rxTail = rxHead;
  SREG = sreg;
  Io io;
  io.Spi(0);
  g = Gateway();
  fast::Hello(fastState, io, 0, kVersionMajor, kVersionMinor);
  lastValidAt = Ticks();
}

void Perform(Gateway& g, Action action) {
  switch (action) {
    case Action::Setup:
      SetSpiPeriod(g.spiPeriod);
      Engage();
      fastState.ext = -1;
      break;
    case Action::ResetHigh:
      Ready();
      Engage();
      fastState.ext = -1;
      PORTB |= kReset;
      break;
    case Action::ResetLow:
      Ready();
      Engage();
      fastState.ext = -1;
      PORTB &= static_cast<uint8_t>(~kReset);
      break;
    case Action::Release:
      fastState.ext = -1;
      Release();
      break;
    case Action::SpiPeriod: SetSpiPeriod(g.spiPeriod); break;
    case Action::Execute: {
      Ready();
      Engage();
      // The program's own instruction may have been a Load Extended Address Byte.
      fastState.ext = -1;
      uint8_t miso[4];
      for (uint8_t i = 0; i < 4; ++i) miso[i] = Shift(g.instruction[i]);
      StoreReceived(g, miso);
      break;
    }
    case Action::ReadBack: {
      uint8_t out[kAnswerBytes];
      ComposeAnswer(g, out);
      for (uint8_t i = 0; i < kAnswerBytes; ++i) Send(out[i]);
      break;
    }
    case Action::None:
    case Action::Ignored:
    case Action::Load:
      break;
  }
}

}  // namespace

// Before anything else, even the C runtime's start-up: a bootloader that gave up (Optiboot
// resets through the watchdog) or the WDTON fuse leaves the watchdog running, and it would
// reset the firmware over and over. The reset flags are cleared first, as the watchdog's
// enable cannot be cleared while WDRF is set.
extern "C" void WatchdogOff() __attribute__((naked, used, section(".init3")));
extern "C" void WatchdogOff() {
  MCUSR = 0;
  wdt_disable();
}

int main() {
  UBRR0 = kUbrr;
  UCSR0A = 1 << U2X0;
  UCSR0C = (1 << USBS0) | (1 << UCSZ01) | (1 << UCSZ00);  // 8 data bits, no parity, 2 stop bits
  UCSR0B = (1 << RXCIE0) | (1 << RXEN0) | (1 << TXEN0);
  // The target's lines as Release leaves them.
  PORTB = kReset;
  DDRB = 0;
  TCCR1A = 0;
  TCCR1B = (1 << CS12) | (1 << CS10);
  set_sleep_mode(SLEEP_MODE_IDLE);
  sei();

  Gateway g;
  uint16_t lastByteAt = TCNT1;
  for (;;) {
    if (syncSeen) {
      Resynchronise(g);
      continue;
    }
    if (fastState.mode == fast::kPlain && lineFault) {
      lineFault = false;
      if (overrun) NoteLineFault(g);
      else Abandon(g);
      overrun = false;
    }
    uint8_t b;
    if (Pop(b)) {
      lastByteAt = TCNT1;
      if (fastState.mode == fast::kPlain) {
        if (StartsFrame(g, b)) Frame(g);
        else Perform(g, Feed(g, b));
      } else if (fastState.mode == fast::kBlocks && b == fast::kSof) {
        Frame(g);
      }
      // Lost, or between frames: dropped.
      continue;
    }
    // Armed before the look at the time, so a match in between still wakes us.
    const uint16_t now = TCNT1;
    bool armed = false;
    uint16_t deadline = 0;
    if (Pending(g)) {
      deadline = lastByteAt + kFragmentTicks;
      armed = true;
    }
    if (fastState.mode != fast::kPlain) {
      const uint16_t idle = lastValidAt + kIdleTicks;
      if (!armed || static_cast<uint16_t>(idle - now) < static_cast<uint16_t>(deadline - now)) deadline = idle;
      armed = true;
    }
    if (armed) {
      OCR1A = deadline;
      TIFR1 = 1 << OCF1A;
      TIMSK1 = 1 << OCIE1A;
      if (Pending(g) && static_cast<uint16_t>(TCNT1 - lastByteAt) >= kFragmentTicks) {
        TIMSK1 = 0;
        Abandon(g);
        continue;
      }
      if (fastState.mode != fast::kPlain && static_cast<uint16_t>(TCNT1 - lastValidAt) >= kIdleTicks) {
        TIMSK1 = 0;
        Io io;
        fast::Idle(fastState, io);
        g = Gateway();
        continue;
      }
    }
    // Sleep until an interrupt, unless a byte came since the look above: SEI takes effect after
    // the SLEEP that follows it, so no wake-up is missed in between.
    cli();
    if (rxHead == rxTail) {
      sleep_enable();
      sei();
      sleep_cpu();
      sleep_disable();
    }
    sei();
  }
}
