#include "sim/avr/AvrBoard.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <memory>

#include "sim/Wire.h"

#include <avr_ioport.h>
#include <avr_spi.h>
#include <avr_uart.h>
#include <sim_avr.h>
#include <sim_elf.h>
#include <sim_interrupts.h>
#include <sim_regbit.h>

namespace quillet::sim {

namespace {

// ATmega328P registers, data-space addresses.
constexpr uint16_t kDdrB = 0x24, kPortB = 0x25;
constexpr uint16_t kSpcr = 0x4C, kSpsr = 0x4D, kSpdr = 0x4E;
constexpr uint16_t kUcsr0A = 0xC0, kUcsr0B = 0xC1, kUcsr0C = 0xC2, kUbrr0L = 0xC4, kUbrr0H = 0xC5;
constexpr uint8_t kRxEnable = 1 << 4;  // UCSR0B's RXEN0
// Port B: D10 the target's RESET, D11 MOSI, D13 SCK.
constexpr uint8_t kReset = 1 << 2, kMosi = 1 << 3, kSck = 1 << 5;

// SPCR's SPR1:SPR0 select the SPI clock's divider; SPSR's SPI2X halves it.
constexpr uint16_t kSpiDivider[4] = {4, 16, 64, 128};

uint32_t SpiDivider(const avr_t* avr) {
  const uint32_t d = kSpiDivider[avr->data[kSpcr] & 0x03];
  return (avr->data[kSpsr] & 0x01) ? d / 2 : d;
}

constexpr uint32_t kLineBaud = 115200;
// How far the firmware may get ahead of real time before it waits: the program cannot tell.
constexpr uint64_t kSyncCycles = 320;  // 20 us
// The last stretch of a wait is spun: a timer's wake-up comes tens of microseconds late.
constexpr int64_t kSpinNs = 150000;
// With no timer due, a sleeping firmware is woken only by the line; look at the rest this often.
constexpr int64_t kIdleLookNs = 20000000;
// How late the line may be read without being taken for a timing violation of the program.
constexpr int64_t kLateGraceNs = 20000000;

AvrBoard* g_board = nullptr;  // simavr's sleep callback carries no parameter

void QuietLogger(avr_t*, const int level, const char* format, va_list ap) {
  // stdout carries the pseudo-terminal's path and nothing else.
  if (level <= LOG_WARNING) std::vfprintf(stderr, format, ap);
}

}  // namespace

AvrBoard::AvrBoard(TargetSocket& socket, SimChip* chip) : socket_(socket), chip_(chip) {
  g_board = this;
}

AvrBoard::~AvrBoard() {
  if (avr_) avr_terminate(avr_);
  g_board = nullptr;
}

bool AvrBoard::Load(const std::string& elfPath, std::string& error) {
  avr_global_logger_set(QuietLogger);
  auto fw = std::make_unique<elf_firmware_t>();
  std::memset(fw.get(), 0, sizeof *fw);
  if (access(elfPath.c_str(), R_OK) != 0) {
    error = "cannot read the firmware " + elfPath + ": " + std::strerror(errno);
    return false;
  }
  if (elf_read_firmware(elfPath.c_str(), fw.get()) != 0 || fw->flashsize == 0) {
    error = elfPath + " is not an AVR ELF file with code";
    return false;
  }
  avr_ = avr_make_mcu_by_name("atmega328p");
  if (!avr_ || avr_init(avr_) != 0) {
    error = "libsimavr has no ATmega328P";
    return false;
  }
  if (fw->flashsize > avr_->flashend + 1u) {
    error = elfPath + " does not fit the ATmega328P's Flash";
    return false;
  }
  avr_load_firmware(avr_, fw.get());
  std::free(fw->flash);
  std::free(fw->eeprom);
  avr_->frequency = kHz;
  avr_->log = LOG_WARNING;
  // simavr's cycle counting between timer events, not a time limit: let sleeps run to the
  // next event rather than in slices.
  avr_->run_cycle_limit = kHz;

  // The register hooks sit in front of simavr's own: the port keeps working, and the board
  // sees every change of the target's lines as it happens.
  auto hook = [this](uint16_t addr, Hook& saved, void (*fn)(avr_t*, uint16_t, uint8_t, void*)) {
    auto& slot = avr_->io[AVR_DATA_TO_IO(addr)].w;
    saved.write = slot.c;
    saved.param = slot.param;
    slot.c = fn;
    slot.param = this;
  };
  hook(kPortB, portHook_, OnPinsWrite);
  hook(kDdrB, ddrHook_, OnPinsWrite);
  // simavr 1.6 times every SPI byte at a fixed 100 us whatever the clock divider; the board
  // shifts it itself at the rate that SPCR and SPSR select, and keeps simavr's SPDR read.
  spi_ = static_cast<avr_spi_t*>(avr_->io[AVR_DATA_TO_IO(kSpdr)].w.param);
  if (!spi_) {
    error = "libsimavr's ATmega328P has no SPI";
    return false;
  }
  hook(kSpdr, spdrHook_, OnSpdrWrite);

  uint32_t flags = 0;  // no console echo, no sleeping in the UART's status reads
  avr_ioctl(avr_, AVR_IOCTL_UART_SET_FLAGS('0'), &flags);
  uartIn_ = avr_io_getirq(avr_, AVR_IOCTL_UART_GETIRQ('0'), UART_IRQ_INPUT);
  avr_irq_register_notify(avr_io_getirq(avr_, AVR_IOCTL_UART_GETIRQ('0'), UART_IRQ_OUTPUT),
                          OnUartOut, this);
  avr_irq_register_notify(avr_io_getirq(avr_, AVR_IOCTL_UART_GETIRQ('0'), UART_IRQ_OUT_XOFF),
                          OnUartXoff, this);
  avr_irq_register_notify(avr_io_getirq(avr_, AVR_IOCTL_UART_GETIRQ('0'), UART_IRQ_OUT_XON),
                          OnUartXon, this);
  avr_->sleep = OnSleep;
  // The target's RESET has its own pull-up until the gateway drives it.
  socket_.SetReset(true, 0);
  return true;
}

void AvrBoard::Note(const std::string& line) {
  if (trace) trace(Us(avr_->cycle), line);
}

void AvrBoard::OnPinsWrite(avr_t* avr, uint16_t addr, uint8_t v, void* param) {
  auto* b = static_cast<AvrBoard*>(param);
  const Hook& h = addr == kPortB ? b->portHook_ : b->ddrHook_;
  if (h.write) h.write(avr, addr, v, h.param);
  else avr->data[addr] = v;
  b->Lines();
}

void AvrBoard::Lines() {
  const uint8_t ddr = avr_->data[kDdrB], port = avr_->data[kPortB];
  // Undriven, the line is the target's pull-up.
  const bool high = !(ddr & kReset) || (port & kReset);
  socket_.SetReset(high, Us(avr_->cycle));
}

void AvrBoard::OnSpdrWrite(avr_t* avr, uint16_t addr, uint8_t v, void* param) {
  auto* b = static_cast<AvrBoard*>(param);
  avr->data[addr] = v;
  avr_clear_interrupt(avr, &b->spi_->spi);
  const uint8_t spcr = avr->data[kSpcr];
  const bool enabled = spcr & 0x40, master = spcr & 0x10;
  if (!enabled || !master) return;
  b->mosi_ = v;
  avr_cycle_timer_register(avr, 8 * SpiDivider(avr), OnSpiDone, b);
}

uint64_t AvrBoard::OnSpiDone(avr_t* avr, uint64_t when, void* param) {
  auto* b = static_cast<AvrBoard*>(param);
  const uint8_t spcr = avr->data[kSpcr], ddr = avr->data[kDdrB];
  const uint32_t divider = SpiDivider(avr);
  std::string problem;
  if ((ddr & (kMosi | kSck)) != (kMosi | kSck))
    problem = "SCK or MOSI is not an output: the target sees nothing";
  else if (spcr & 0x0C)
    problem = "SPI not in mode 0: the target misreads the bits";
  else if (spcr & 0x20)
    problem = "SPI sends the low bit first: the target misreads the byte";
  else if (uint64_t{kHz} / divider * 4 >= b->targetClockHz_)
    problem = "SCK " + std::to_string(kHz / divider) + " Hz is not below a quarter of the target's " +
              std::to_string(b->targetClockHz_) + " Hz";
  uint8_t miso = 0xFF;
  if (problem.empty()) {
    miso = b->socket_.Shift(b->mosi_, b->Us(when));
  } else if (problem != b->lastSpiProblem_) {
    b->Note(problem);
  }
  b->lastSpiProblem_ = problem;
  b->spi_->input_data_register = miso;
  avr_raise_interrupt(avr, &b->spi_->spi);
  return 0;
}

uint64_t AvrBoard::FrameCycles(bool& matches) const {
  const uint8_t a = avr_->data[kUcsr0A], c = avr_->data[kUcsr0C];
  const uint32_t ubrr = avr_->data[kUbrr0L] | (avr_->data[kUbrr0H] & 0x0F) << 8;
  const uint32_t bitCycles = (ubrr + 1) * ((a & 0x02) ? 8 : 16);
  const int dataBits = 5 + ((c >> 1) & 0x03) + ((avr_->data[kUcsr0B] & 0x04) ? 4 : 0);
  const bool parity = (c & 0x30) != 0;
  const int bits = 1 + std::min(dataBits, 9) + (parity ? 1 : 0) + ((c & 0x08) ? 2 : 1);
  const double baud = static_cast<double>(kHz) / bitCycles;
  matches = dataBits == 8 && !parity && baud > kLineBaud * 0.97 && baud < kLineBaud * 1.03;
  return uint64_t{bitCycles} * bits;
}

void AvrBoard::OnUartOut(avr_irq_t*, uint32_t value, void* param) {
  auto* b = static_cast<AvrBoard*>(param);
  bool matches = false;
  const uint64_t frame = b->FrameCycles(matches);
  // simavr hands the byte over as the firmware writes UDR0; it reaches the far end when its
  // stop bits do, after the bytes before it.
  b->txFree_ = std::max<uint64_t>(b->avr_->cycle, b->txFree_) + frame;
  if (!matches) {
    const std::string problem = "UART not at 115200 baud 8N: the program gets garbage";
    if (problem != b->lastUartProblem_) b->Note(problem);
    b->lastUartProblem_ = problem;
    return;
  }
  b->out_.push_back({static_cast<uint8_t>(value), b->txFree_});
}

void AvrBoard::OnUartXoff(avr_irq_t*, uint32_t value, void* param) {
  static_cast<AvrBoard*>(param)->xoff_ = value != 0;
}

void AvrBoard::OnUartXon(avr_irq_t*, uint32_t value, void* param) {
  auto* b = static_cast<AvrBoard*>(param);
  if (!value) return;
  b->xoff_ = false;
  b->FeedUart();
}

void AvrBoard::FeedUart() {
  bool matches = false;
  FrameCycles(matches);
  while (!xoff_ && !in_.empty()) {
    uint32_t v = in_.front();
    in_.pop_front();
    // A UART set up for another line takes each byte with a framing error.
    if (!matches) v |= UART_INPUT_FE;
    avr_raise_irq(uartIn_, v);
  }
}

bool AvrBoard::ReadLine(int64_t nowNs) {
  uint8_t buf[4096];
  const ssize_t n = read(fd_, buf, sizeof buf);
  if (n <= 0) return false;
  in_.insert(in_.end(), buf, buf + n);
  // These bytes came after the previous read, but not necessarily just now: the chip allows
  // for that when it times a reset pulse or a write.
  if (chip_)
    chip_->SetEarliestArrivalUs((std::max(lastReadNs_, nowNs - kLateGraceNs) - startNs_) / 1000);
  lastReadNs_ = nowNs;
  lastActivityNs_ = nowNs;
  return true;
}

void AvrBoard::Deliver(int64_t nowNs) {
  const uint64_t now = CycleAt(nowNs);
  size_t n = 0;
  uint8_t buf[64];
  while (!out_.empty() && out_.front().due <= now && n < sizeof buf) {
    buf[n++] = out_.front().value;
    out_.pop_front();
  }
  if (n == 0) return;
  lastActivityNs_ = nowNs;
  size_t done = 0;
  while (done < n) {
    const ssize_t w = write(fd_, buf + done, n - done);
    if (w > 0) {
      done += static_cast<size_t>(w);
    } else if (w < 0 && errno == EAGAIN) {
      // Nobody reads the line: drop the rest rather than stall the board.
      pollfd p{fd_, POLLOUT, 0};
      if (poll(&p, 1, 100) <= 0) return;
    } else if (!(w < 0 && errno == EINTR)) {
      return;
    }
  }
}

uint64_t AvrBoard::Pace(uint64_t target, bool interruptible) {
  for (;;) {
    const int64_t now = NowNs();
    const uint64_t nowCycle = CycleAt(now);
    Deliver(now);
    if (ReadLine(now)) {
      if (interruptible) {
        // The firmware sleeps: it wakes now, at the real time the bytes came.
        avr_->cycle = std::clamp(nowCycle, avr_->cycle, target);
        FeedUart();
        return avr_->cycle;
      }
      FeedUart();
    }
    if (nowCycle >= target || *stop_) return target;
    int64_t wake = NsAt(target);
    if (!out_.empty()) wake = std::min(wake, NsAt(out_.front().due));
    if (now - lastActivityNs_ > kIdleLookNs && idle) {
      idle();
      lastActivityNs_ = now;
    }
    const int64_t left = wake - NowNs();
    if (left > kSpinNs) {
      const int64_t sleepNs = std::min(left - kSpinNs, kIdleLookNs);
      timespec ts{static_cast<time_t>(sleepNs / 1000000000), static_cast<long>(sleepNs % 1000000000)};
      pollfd p{fd_, POLLIN, 0};
      ppoll(&p, 1, &ts, nullptr);
    }
  }
}

void AvrBoard::OnSleep(avr_t* avr, uint64_t howLong) {
  AvrBoard* b = g_board;
  if (b->fd_ < 0) return;  // still starting up: no line, no real time yet
  // With no timer due only the line can wake the firmware; the core's slice is arbitrary.
  uint64_t target = avr->cycle + howLong;
  if (!avr->cycle_timers.timer) target = avr->cycle + kIdleLookNs * 2 / 125;
  const uint64_t reached = b->Pace(target, true);
  // The core adds 1 + howLong once this returns.
  avr->cycle = reached - 1 - howLong;
}

bool AvrBoard::Boot(std::string& error) {
  // The firmware's start-up (clearing its memory, setting up the UART) takes a few hundred
  // microseconds; run it before the line is offered, so no byte finds the receiver still off.
  const uint64_t limit = avr_->cycle + kHz / 10;
  while (!(avr_->data[kUcsr0B] & kRxEnable)) {
    if (!Step(error)) return false;
    if (avr_->cycle >= limit) {
      error = "the firmware did not switch its UART receiver on within 100 ms";
      return false;
    }
  }
  return true;
}

bool AvrBoard::Step(std::string& error) {
  const int state = avr_run(avr_);
  if (state != cpu_Done && state != cpu_Crashed) return true;
  char at[32];
  std::snprintf(at, sizeof at, "0x%04X", static_cast<unsigned>(avr_->pc));
  error = std::string("the firmware ") + (state == cpu_Crashed ? "crashed" : "stopped") + " at " + at;
  return false;
}

bool AvrBoard::Run(int lineFd, const volatile std::sig_atomic_t* stop, std::string& error) {
  fd_ = lineFd;
  stop_ = stop;
  startNs_ = 0;
  startNs_ = NowNs() - NsAt(avr_->cycle);
  lastReadNs_ = lastActivityNs_ = NowNs();
  uint64_t nextSync = avr_->cycle + kSyncCycles;
  while (!*stop_) {
    if (!Step(error)) return false;
    if (avr_->cycle >= nextSync) {
      Pace(avr_->cycle, false);
      nextSync = avr_->cycle + kSyncCycles;
    }
  }
  return true;
}

}  // namespace quillet::sim
