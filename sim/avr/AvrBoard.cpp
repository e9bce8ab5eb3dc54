#include "sim/avr/AvrBoard.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <memory>
#include <thread>

#include "link/PosixSerial.h"
#include "sim/Wire.h"
#include "sim/avr/UartLine.h"

#include <avr_ioport.h>
#include <avr_spi.h>
#include <avr_uart.h>
#include <sim_avr.h>
#include <sim_interrupts.h>
#include <sim_regbit.h>

namespace quillet::sim {

namespace {

// ATmega328P registers, data-space addresses.
constexpr uint16_t kDdrB = 0x24, kPortB = 0x25;
constexpr uint16_t kSpl = 0x5D, kSph = 0x5E;
constexpr uint16_t kSpcr = 0x4C, kSpsr = 0x4D, kSpdr = 0x4E;
constexpr uint16_t kUcsr0A = 0xC0, kUcsr0B = 0xC1, kUcsr0C = 0xC2, kUbrr0L = 0xC4, kUbrr0H = 0xC5,
                   kUdr0 = 0xC6;
constexpr uint8_t kRxEnable = 1 << 4;  // UCSR0B's RXEN0
// Port B: D10 the target's RESET, D11 MOSI, D12 MISO, D13 SCK.
constexpr uint8_t kReset = 1 << 2, kMosi = 1 << 3, kMiso = 1 << 4, kSck = 1 << 5;
// A USB-serial chip's packet to the host.
constexpr size_t kUsbPacket = 64;

// SPCR's SPR1:SPR0 select the SPI clock's divider; SPSR's SPI2X halves it.
constexpr uint16_t kSpiDivider[4] = {4, 16, 64, 128};

uint32_t SpiDivider(const avr_t* avr) {
  const uint32_t d = kSpiDivider[avr->data[kSpcr] & 0x03];
  return (avr->data[kSpsr] & 0x01) ? d / 2 : d;
}

// How far the firmware may get ahead of the board's clock before it waits: the program cannot
// tell.
constexpr uint64_t kSyncCycles = 320;  // 20 us
// The last stretch of a wait is spun: a timer's wake-up comes tens of microseconds late.
constexpr int64_t kSpinNs = 150000;
// With no timer due only the line wakes a sleeping firmware; the rest is looked at this often.
constexpr int64_t kIdleLookNs = 20000000;
// Bytes queued on the line beyond this much wire time are worked off ahead of the clock.
constexpr uint64_t kMaxBacklogCycles = 20000 * 16;  // 20 ms
// The least time between an answer reaching the program and the program's next byte: a
// USB-serial chip takes longer.
constexpr uint64_t kTurnRoundCycles = 50 * 16;  // 50 us
// How late the line may be read without being taken for a timing violation of the program.
constexpr uint64_t kLateGraceCycles = 20000 * 16;  // 20 ms
constexpr uint64_t kNone = UINT64_MAX;

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
  if (inotify_ >= 0) close(inotify_);
  if (avr_) avr_terminate(avr_);
  g_board = nullptr;
}

namespace {

uint32_t Le16(const std::vector<uint8_t>& b, size_t at) { return b[at] | b[at + 1] << 8; }
uint32_t Le32(const std::vector<uint8_t>& b, size_t at) {
  return Le16(b, at) | static_cast<uint32_t>(Le16(b, at + 2)) << 16;
}

// The Flash image of an AVR ELF file: its loadable segments at their load addresses below the
// data space (0x800000), as objcopy makes the HEX file. libsimavr's own loader takes any file
// and crashes on damaged ones, so the board reads them itself, checking every offset.
bool ReadAvrElf(const std::string& path, uint32_t flashBytes, std::vector<uint8_t>& flash,
                std::string& error) {
  FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) {
    error = "cannot read the firmware " + path + ": " + std::strerror(errno);
    return false;
  }
  std::vector<uint8_t> file;
  uint8_t buf[65536];
  size_t n;
  constexpr size_t kMaxFile = 16u << 20;  // an ATmega328P's ELF, debug information and all
  while ((n = std::fread(buf, 1, sizeof buf, f)) > 0 && file.size() <= kMaxFile)
    file.insert(file.end(), buf, buf + n);
  std::fclose(f);
  constexpr uint32_t kElfMachineAvr = 83, kLoad = 1, kDataSpace = 0x800000;
  if (file.size() > kMaxFile || file.size() < 52 || std::memcmp(file.data(), "\x7f" "ELF", 4) != 0 ||
      file[4] != 1 || file[5] != 1 || Le16(file, 18) != kElfMachineAvr) {
    error = path + " is not a 32-bit AVR ELF file";
    return false;
  }
  const uint64_t phoff = Le32(file, 28), phentsize = Le16(file, 42), phnum = Le16(file, 44);
  if (phentsize < 32 || phoff + phentsize * phnum > file.size()) {
    error = path + ": its program headers lie outside the file";
    return false;
  }
  flash.assign(flashBytes, 0xFF);
  uint64_t used = 0;
  for (uint64_t i = 0; i < phnum; ++i) {
    const size_t h = phoff + i * phentsize;
    const uint64_t type = Le32(file, h), offset = Le32(file, h + 4), paddr = Le32(file, h + 12),
                   size = Le32(file, h + 16);
    if (type != kLoad || size == 0 || paddr >= kDataSpace) continue;
    if (offset + size > file.size()) {
      error = path + ": a segment lies outside the file";
      return false;
    }
    if (paddr + size > flashBytes) {
      error = path + " does not fit the ATmega328P's " + std::to_string(flashBytes) + " bytes of Flash";
      return false;
    }
    std::memcpy(flash.data() + paddr, file.data() + offset, size);
    used = std::max(used, paddr + size);
  }
  if (used == 0) {
    error = path + " has no code";
    return false;
  }
  flash.resize(used);
  return true;
}

}  // namespace

bool AvrBoard::Load(const std::string& elfPath, std::string& error) {
  avr_global_logger_set(QuietLogger);
  avr_ = avr_make_mcu_by_name("atmega328p");
  if (!avr_ || avr_init(avr_) != 0) {
    error = "libsimavr has no ATmega328P";
    return false;
  }
  std::vector<uint8_t> code;
  if (!ReadAvrElf(elfPath, avr_->flashend + 1, code, error)) return false;
  avr_loadcode(avr_, code.data(), static_cast<uint32_t>(code.size()), 0);
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
  // libsimavr takes SPSR for a register of interrupt flags only and drops SPI2X written to it:
  // the doubled SPI clock would run at half its rate.
  hook(kSpsr, spsrHook_, OnSpsrWrite);

  // libsimavr works the UART's byte time out only when UBRR0L is written, from the mode bits
  // as they stand then (firmware that sets the baud rate before the mode, as the datasheet's
  // own example does, gets the wrong one), and counts a parity bit that is not there. The
  // board works it out on every change.
  uart_ = static_cast<avr_uart_t*>(avr_->io[AVR_DATA_TO_IO(kUdr0)].w.param);
  if (!uart_) {
    error = "libsimavr's ATmega328P has no UART";
    return false;
  }
  hook(kUcsr0A, uartHooks_[0], OnUartSetup);
  hook(kUcsr0B, uartHooks_[1], OnUartSetup);
  hook(kUcsr0C, uartHooks_[2], OnUartSetup);
  hook(kUbrr0L, uartHooks_[3], OnUartSetup);
  uint32_t flags = 0;  // no console echo, no sleeping in the UART's status reads
  avr_ioctl(avr_, AVR_IOCTL_UART_SET_FLAGS('0'), &flags);
  uartIn_ = avr_io_getirq(avr_, AVR_IOCTL_UART_GETIRQ('0'), UART_IRQ_INPUT);
  avr_irq_register_notify(avr_io_getirq(avr_, AVR_IOCTL_UART_GETIRQ('0'), UART_IRQ_OUTPUT),
                          OnUartOut, this);
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
  b->BangedSpi();
}

void AvrBoard::BangedSpi() {
  const uint8_t port = avr_->data[kPortB], ddr = avr_->data[kDdrB];
  const bool sck = (port & kSck) && (ddr & kSck);
  const bool banging = !(avr_->data[kSpcr] & 0x40) && (ddr & (kMosi | kSck)) == (kMosi | kSck) &&
                       !(ddr & kMiso);
  if (!banging) {
    sckHigh_ = sck;
    bangBits_ = 0;
    return;
  }
  if (sck == sckHigh_) return;
  sckHigh_ = sck;
  // The target samples SCK with its own clock: each half period needs more than two of its
  // cycles, as the SPI hardware's clock must stay below a quarter of the target's. The high
  // half before a byte's first bit belongs to the byte before.
  const uint64_t now = avr_->cycle;
  if ((now - lastEdge_) * targetClockHz_ < uint64_t{2} * kHz && (sck || bangBits_ > 0)) bangSpoiled_ = true;
  lastEdge_ = now;
  if (!sck) return;
  if (bangBits_ == 0) {
    bangOut_ = socket_.Next(Us(now));
    bangIn_ = 0;
  }
  const uint8_t bit = static_cast<uint8_t>(0x80 >> bangBits_);
  if (port & kMosi) bangIn_ |= bit;
  // MISO before the firmware reads PINB, the instruction after this edge.
  const uint8_t shown = bangSpoiled_ ? Misread() : Floating(bangOut_);
  avr_raise_irq(avr_io_getirq(avr_, AVR_IOCTL_IOPORT_GETIRQ('B'), 4), shown & bit ? 1 : 0);
  if (++bangBits_ < 8) return;
  bangBits_ = 0;
  if (bangSpoiled_) {
    const std::string problem = "SCK by hand is not below a quarter of the target's " +
                                std::to_string(targetClockHz_) + " Hz";
    if (problem != lastSpiProblem_) Note(problem);
    lastSpiProblem_ = problem;
    bangSpoiled_ = false;
    return;
  }
  lastSpiProblem_.clear();
  socket_.Shift(bangIn_, Us(now));
}

void AvrBoard::OnUartSetup(avr_t* avr, uint16_t addr, uint8_t v, void* param) {
  auto* b = static_cast<AvrBoard*>(param);
  const Hook& h = b->uartHooks_[addr == kUcsr0A ? 0 : addr == kUcsr0B ? 1 : addr == kUcsr0C ? 2 : 3];
  if (h.write) h.write(avr, addr, v, h.param);
  else avr->data[addr] = v;
  bool matches = false;
  b->uart_->cycles_per_byte = b->FrameCycles(matches);
}

void AvrBoard::Lines() {
  const uint8_t ddr = avr_->data[kDdrB], port = avr_->data[kPortB];
  // Undriven, the line is the target's pull-up.
  const bool high = !(ddr & kReset) || (port & kReset);
  socket_.SetReset(high, Us(avr_->cycle));
  const uint8_t driven = ddr & (kReset | kMosi | kMiso | kSck);
  if (driven == driven_) return;
  driven_ = driven;
  if (driven == 0) {
    Note("target lines released: D10 to D13 high-impedance");
    return;
  }
  std::string line = "target lines driven:";
  for (auto [bit, name] : {std::pair{kReset, " D10"}, {kMosi, " D11"}, {kMiso, " D12"}, {kSck, " D13"}})
    if (driven & bit) line += name;
  Note(line);
}

bool AvrBoard::SetAutoReset(const std::string& devicePath, std::string& error) {
  inotify_ = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (inotify_ < 0 || inotify_add_watch(inotify_, devicePath.c_str(), IN_OPEN) < 0) {
    error = "cannot watch " + devicePath + " for the auto-reset: " + std::strerror(errno);
    return false;
  }
  return true;
}

void AvrBoard::Restart() {
  // simavr's reset clears the registers, timers and the UART; the board's clock runs on.
  const uint64_t cycle = avr_->cycle;
  avr_reset(avr_);
  avr_->cycle = cycle;
  in_.clear();
  out_.clear();
  injectArmed_ = false;
  rxFree_ = txFree_ = cycle;
  lastSpiProblem_.clear();
  lastUartProblem_.clear();
  Note("port opened: the MCU resets, and the bootloader takes the line for " + std::to_string(kBootMs) + " ms");
  Lines();
}

size_t AvrBoard::UsbReady(uint64_t upTo) const {
  size_t in = 0;
  while (in < out_.size() && out_[in].due <= upTo) ++in;
  if (usbLatencyCycles_ == 0 || in == 0) return in;
  if (in >= kUsbPacket) return in - in % kUsbPacket;
  return out_.front().due + usbLatencyCycles_ <= upTo ? in : 0;
}

uint64_t AvrBoard::UsbDue() const {
  const uint64_t first = out_.front().due;
  if (usbLatencyCycles_ == 0) return first;
  const uint64_t timer = first + usbLatencyCycles_;
  return out_.size() >= kUsbPacket ? std::min(timer, out_[kUsbPacket - 1].due) : timer;
}

void AvrBoard::OnSpsrWrite(avr_t* avr, uint16_t addr, uint8_t v, void* param) {
  auto* b = static_cast<AvrBoard*>(param);
  if (b->spsrHook_.write) b->spsrHook_.write(avr, addr, v, b->spsrHook_.param);
  else avr->data[addr] = v;
  avr->data[addr] = static_cast<uint8_t>((avr->data[addr] & ~0x01) | (v & 0x01));
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
    miso = b->Floating(b->socket_.Shift(b->mosi_, b->Us(when)));
  } else {
    if (problem != b->lastSpiProblem_) b->Note(problem);
    if (uint64_t{kHz} / divider * 4 >= b->targetClockHz_ && (ddr & (kMosi | kSck)) == (kMosi | kSck))
      miso = b->Misread();
  }
  b->lastSpiProblem_ = problem;
  b->spi_->input_data_register = miso;
  avr_raise_interrupt(avr, &b->spi_->spi);
  return 0;
}

uint8_t AvrBoard::Noise() {
  noise_ ^= noise_ << 13;
  noise_ ^= noise_ >> 17;
  noise_ ^= noise_ << 5;
  return static_cast<uint8_t>(noise_ >> 11);
}

uint8_t AvrBoard::Floating(uint8_t miso) {
  return chip_ || (avr_->data[kPortB] & kMiso) ? miso : Noise();
}

uint8_t AvrBoard::Misread() {
  // A chip in programming mode drives MISO, a few of its bits wrong, now and then none (a chip
  // near its limit reads right once); one not yet in it leaves the line to the pull-up.
  if (!chip_ || !chip_->InProgrammingMode()) return Floating(0xFF);
  return socket_.Next(Us(avr_->cycle)) ^ (Noise() & Noise() & Noise());
}

// The bits of the program's frame (8N2: 11 with the start bit) at the rate the program set.
uint64_t AvrBoard::LineCycles(uint64_t n) const {
  return n * static_cast<uint64_t>(9 + lineStopBits_) * AvrBoard::kHz / lineBaud_;
}

void AvrBoard::ReadLineBaud() {
  // A pseudo-terminal's master sees the settings its slave was given.
  const uint32_t baud = quillet::LineBaud(fd_);
  if (baud >= 1200) lineBaud_ = baud;
  termios t;
  if (tcgetattr(fd_, &t) == 0) lineStopBits_ = (t.c_cflag & CSTOPB) ? 2 : 1;
}

uint32_t AvrBoard::UartBitCycles(bool& carried) const {
  const uint8_t a = avr_->data[kUcsr0A], c = avr_->data[kUcsr0C];
  const uint32_t ubrr = avr_->data[kUbrr0L] | (avr_->data[kUbrr0H] & 0x0F) << 8;
  const int dataBits = 5 + ((c >> 1) & 0x03) + ((avr_->data[kUcsr0B] & 0x04) ? 4 : 0);
  carried = dataBits == 8 && (c & 0x30) == 0 && (maxBaud_ == 0 || lineBaud_ <= maxBaud_);
  return (ubrr + 1) * ((a & 0x02) ? 8 : 16);
}

AvrBoard::Fault AvrBoard::FaultOn(FaultAt& f, uint64_t count) {
  if (f.fault == Fault::None || f.at != count) return Fault::None;
  const Fault fault = f.fault;
  f.fault = Fault::None;
  return fault;
}

uint64_t AvrBoard::FrameCycles(bool& matches) const {
  const uint8_t a = avr_->data[kUcsr0A], c = avr_->data[kUcsr0C];
  const uint32_t ubrr = avr_->data[kUbrr0L] | (avr_->data[kUbrr0H] & 0x0F) << 8;
  const uint32_t bitCycles = (ubrr + 1) * ((a & 0x02) ? 8 : 16);
  const int dataBits = 5 + ((c >> 1) & 0x03) + ((avr_->data[kUcsr0B] & 0x04) ? 4 : 0);
  const bool parity = (c & 0x30) != 0;
  const double baud = static_cast<double>(kHz) / bitCycles;
  matches = dataBits == 8 && !parity && baud > lineBaud_ * 0.97 && baud < lineBaud_ * 1.03 &&
            (maxBaud_ == 0 || lineBaud_ <= maxBaud_);
  return uint64_t{bitCycles} * (1 + std::min(dataBits, 9) + (parity ? 1 : 0) + ((c & 0x08) ? 2 : 1));
}

void AvrBoard::OnUartOut(avr_irq_t*, uint32_t value, void* param) {
  auto* b = static_cast<AvrBoard*>(param);
  bool matches = false;
  const uint64_t frame = b->FrameCycles(matches);
  // simavr hands the byte over as the firmware writes UDR0; it reaches the far end when its
  // stop bits do, after the bytes before it.
  b->txFree_ = std::max<uint64_t>(b->avr_->cycle, b->txFree_) + frame;
  bool carried = false;
  const uint32_t bit = b->UartBitCycles(carried);
  if (!matches) {
    const std::string problem = "UART not at the line's " + std::to_string(b->lineBaud_) +
                                " baud 8N, or the line cannot carry it: the program gets garbage";
    if (problem != b->lastUartProblem_) b->Note(problem);
    b->lastUartProblem_ = problem;
    if (!carried) return;
    // At another rate: what the program's receiver samples of it; a byte with a framing error
    // reads as 0x00, as Linux hands it over.
    const double ratio = static_cast<double>(kHz) / b->lineBaud_ / bit;
    const int stopBits = (b->avr_->data[kUcsr0C] & 0x08) ? 2 : 1;
    for (const UartByte& u : DecodeAtRate({static_cast<uint8_t>(value)}, stopBits, ratio))
      b->out_.push_back({u.framingError ? uint8_t{0} : u.value, b->txFree_});
    return;
  }
  b->lastUartProblem_.clear();
  uint8_t byte = static_cast<uint8_t>(value);
  ++b->countOut_;
  if (b->damageOut_ && b->countOut_ % b->damageOut_ == 0) {
    byte ^= 0x01;
    b->Note("byte " + std::to_string(b->countOut_) + " to the program damaged");
  }
  switch (b->FaultOn(b->faultOut_, b->countOut_)) {
    case Fault::None: break;
    case Fault::Flip:
      byte ^= 0x01;
      b->Note("byte " + std::to_string(b->countOut_) + " to the program damaged");
      break;
    case Fault::Drop:
      b->Note("byte " + std::to_string(b->countOut_) + " to the program lost");
      return;
    case Fault::Dup:
      b->Note("byte " + std::to_string(b->countOut_) + " to the program sent twice");
      b->out_.push_back({byte, b->txFree_});
      b->txFree_ += frame;
      break;
    case Fault::Delay:
      b->Note("byte " + std::to_string(b->countOut_) + " to the program held back");
      b->txFree_ += uint64_t{kDelayMs} * (kHz / 1000);
      break;
  }
  b->out_.push_back({byte, b->txFree_});
}

void AvrBoard::SampleChunk() {
  size_t n = 1;
  while (n < in_.size() && in_[n].earliest == kNone) ++n;
  bool carried = false;
  const double lineBit = static_cast<double>(kHz) / in_.front().baud;
  const double ratio = UartBitCycles(carried) / lineBit;
  if (!carried || (ratio >= 0.97 && ratio <= 1.03)) {
    for (size_t i = 0; i < n; ++i) in_[i].baud = 0;
    return;
  }
  // At another rate: the chunk's bytes follow one another at the program's rate, and the UART
  // samples what it can of them.
  const InByte first = in_.front();
  std::vector<uint8_t> bytes;
  for (size_t i = 0; i < n; ++i) bytes.push_back(in_[i].value);
  in_.erase(in_.begin(), in_.begin() + static_cast<long>(n));
  const std::vector<UartByte> got = DecodeAtRate(bytes, lineStopBits_, ratio);
  for (size_t i = got.size(); i-- > 0;)
    in_.push_front({got[i].value, got[i].framingError,
                    first.at + static_cast<uint64_t>(std::max(0.0, got[i].endBits - 9.5 * ratio) * lineBit),
                    i == 0 ? first.earliest : kNone, 0});
}

uint64_t AvrBoard::OnInject(avr_t* avr, uint64_t when, void* param) {
  auto* b = static_cast<AvrBoard*>(param);
  bool carried = false;
  b->UartBitCycles(carried);
  while (!b->in_.empty() && b->in_.front().at <= when) {
    if (b->in_.front().baud) {
      b->SampleChunk();
      continue;
    }
    const InByte in = b->in_.front();
    b->in_.pop_front();
    uint32_t v = in.value;
    // The chip allows for stamps that came late when it times a reset pulse or a write: an
    // instruction may have begun in the chunk before.
    if (in.earliest != kNone && b->chip_) {
      const uint64_t earliest = std::min(in.earliest, b->prevEarliest_);
      b->chip_->SetEarliestArrivalUs(b->Us(earliest));
      // What is sure allows for the kernel's hand-over too: on a loaded machine a
      // pseudo-terminal's bytes may wait milliseconds, then come together.
      b->chip_->SetProvenArrivalUs(b->Us(earliest) - b->Us(kLateGraceCycles));
      b->prevEarliest_ = in.earliest;
    }
    // A UART set up for another frame, or a line that cannot carry the rate: a framing error.
    if (in.framingError || !carried) v |= UART_INPUT_FE;
    // The UART has the byte one frame later, as its stop bits end.
    avr_raise_irq(b->uartIn_, v);
  }
  (void)avr;
  if (b->in_.empty()) {
    b->injectArmed_ = false;
    return 0;
  }
  return b->in_.front().at;
}

void AvrBoard::ReadLoop() {
  uint8_t buf[4096];
  while (!readerStop_.load()) {
    pollfd p[2] = {{fd_, POLLIN, 0}, {inotify_, POLLIN, 0}};
    if (poll(p, inotify_ >= 0 ? 2 : 1, 50) <= 0) continue;
    // An open before the bytes read with it: those are the bootloader's.
    if (inotify_ >= 0 && (p[1].revents & POLLIN)) {
      alignas(inotify_event) char events[4096];
      if (read(inotify_, events, sizeof events) > 0) {
        lostUntilNs_ = NowNs() + int64_t{kBootMs} * 1000000;
        restartDue_ = true;
      }
    }
    if (!(p[0].revents & POLLIN)) continue;
    const ssize_t n = read(fd_, buf, sizeof buf);
    if (n <= 0) continue;
    {
      std::lock_guard<std::mutex> lock(chunksMutex_);
      chunks_.push_back({NowNs(), std::vector<uint8_t>(buf, buf + n)});
    }
    const uint64_t one = 1;
    if (write(wake_, &one, sizeof one) < 0) {
      // The counter cannot overflow in practice; the chunk is taken at the next look anyway.
    }
  }
}

// A pseudo-terminal takes a whole packet at once and its drain returns at once, where a serial
// port's drain waits until the bytes are on the far side: a program runs ahead of the line,
// and the time it then waits is spent while its earlier bytes are still on their way. Each
// packet enters the line as it would behind a serial port: after the bytes before it, plus the
// time the program took between the two writes (stamped as the bytes came, by the reading
// thread, so that a busy simulation does not run two packets together). An answer sent since
// the last packet means the program waited for it, and the next packet starts from when it
// comes.
bool AvrBoard::TakeLine() {
  std::deque<Chunk> chunks;
  {
    std::lock_guard<std::mutex> lock(chunksMutex_);
    chunks.swap(chunks_);
  }
  if (heldUntilNs_) {
    // A delay fault holds back everything that comes after its byte.
    held_.insert(held_.end(), chunks.begin(), chunks.end());
    chunks.clear();
    if (NowNs() < heldUntilNs_) return false;
    for (Chunk& c : held_) c.atNs = std::max(c.atNs, heldUntilNs_);
    chunks.swap(held_);
    heldUntilNs_ = 0;
  }
  // The auto-reset's bootloader takes what comes meanwhile.
  const int64_t lostUntil = lostUntilNs_.load();
  size_t lost = 0;
  while (!chunks.empty() && chunks.front().atNs < lostUntil) {
    lost += chunks.front().bytes.size();
    chunks.pop_front();
  }
  if (lost) Note(std::to_string(lost) + " bytes from the program went to the bootloader");
  if (chunks.empty()) return false;
  uint64_t count = 0;
  if (read(wake_, &count, sizeof count) < 0) {
    // Nothing to clear: the reader had not signalled yet.
  }
  // The program changes its rate before it writes at the new one.
  ReadLineBaud();
  for (size_t ci = 0; ci < chunks.size(); ++ci) {
    Chunk& c = chunks[ci];
    // The faults of the line, byte by byte.
    std::vector<uint8_t> bytes;
    for (size_t i = 0; i < c.bytes.size(); ++i) {
      uint8_t byte = c.bytes[i];
      ++countIn_;
      if (damageIn_ && countIn_ % damageIn_ == 0) {
        byte ^= 0x01;
        Note("byte " + std::to_string(countIn_) + " from the program damaged");
      }
      const Fault fault = FaultOn(faultIn_, countIn_);
      if (fault == Fault::Delay) {
        Note("byte " + std::to_string(countIn_) + " from the program held back");
        Chunk rest{c.atNs, std::vector<uint8_t>(c.bytes.begin() + static_cast<long>(i), c.bytes.end())};
        rest.bytes[0] = byte;
        held_.push_back(rest);
        for (size_t k = ci + 1; k < chunks.size(); ++k) held_.push_back(chunks[k]);
        heldUntilNs_ = NowNs() + int64_t{kDelayMs} * 1000000;
        countIn_ -= 1;  // counted again when it comes
        chunks.resize(ci + 1);
        break;
      }
      if (fault == Fault::Drop) {
        Note("byte " + std::to_string(countIn_) + " from the program lost");
        continue;
      }
      if (fault == Fault::Flip) {
        byte ^= 0x01;
        Note("byte " + std::to_string(countIn_) + " from the program damaged");
      }
      bytes.push_back(byte);
      if (fault == Fault::Dup) {
        Note("byte " + std::to_string(countIn_) + " from the program sent twice");
        bytes.push_back(byte);
      }
    }
    if (bytes.empty()) continue;
    uint64_t start = std::max(CycleAt(c.atNs), avr_->cycle + 1);
    // Bytes that came after an answer left no sooner than a program can turn round: the board
    // may run ahead of the clock, and a firmware that changes its rate after an answer would
    // otherwise meet the program's next byte before it could.
    if (answered_) start = std::max(start, answeredAt_ + kTurnRoundCycles);
    const uint64_t gap = answered_ ? 0 : static_cast<uint64_t>(std::max<int64_t>(0, c.atNs - lastReadNs_)) * 2 / 125;
    start = std::max(start, rxFree_ + gap);
    // The bytes came after the previous ones, but not necessarily just when they were stamped:
    // as early as the line was free of those.
    const uint64_t earliest = std::max(rxFree_, start > kLateGraceCycles ? start - kLateGraceCycles : 0);
    // The program's bytes follow one another at its own rate; a UART at another rate samples
    // what it can of them.
    for (size_t i = 0; i < bytes.size(); ++i)
      in_.push_back({bytes[i], false, start + LineCycles(i), i == 0 ? earliest : kNone, lineBaud_});
    rxFree_ = start + LineCycles(bytes.size());
    lastReadNs_ = c.atNs;
    answered_ = false;
  }
  lastActivityNs_ = NowNs();
  if (in_.empty()) return false;
  if (!injectArmed_) {
    avr_cycle_timer_register(avr_, in_.front().at - avr_->cycle, OnInject, this);
    injectArmed_ = true;
  }
  return true;
}

void AvrBoard::Deliver(uint64_t upTo) {
  size_t n = 0;
  uint8_t buf[kUsbPacket];
  const size_t ready = UsbReady(upTo);
  while (n < ready && n < sizeof buf) {
    buf[n++] = out_.front().value;
    out_.pop_front();
  }
  if (n == 0) return;
  answered_ = true;
  answeredAt_ = upTo;
  lastActivityNs_ = NowNs();
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
    int64_t now = NowNs();
    // A backlog on the line: the board's clock runs ahead to work it off, as the program's
    // writes would have waited for it.
    if (rxFree_ > CycleAt(now) + kMaxBacklogCycles)
      startNs_ = now - static_cast<int64_t>((rxFree_ - kMaxBacklogCycles) * 125 / 2);
    const uint64_t clock = CycleAt(now);
    // A sleeping firmware sends nothing before it wakes at target: what its UART holds leaves
    // on the clock meanwhile (a USB-serial chip's timer runs out while the firmware sleeps).
    Deliver(std::min(clock, std::max(target, avr_->cycle)));
    if (TakeLine() && interruptible) target = std::min(target, in_.front().at);
    if (clock >= target || *stop_) return target;
    // The auto-reset waits for no sleep of the firmware.
    if (interruptible && restartDue_.load()) return std::max(clock, avr_->cycle);
    int64_t wake = NsAt(target);
    if (!out_.empty()) wake = std::min(wake, NsAt(UsbDue()));
    if (now - lastActivityNs_ > kIdleLookNs && idle) {
      idle();
      lastActivityNs_ = now;
    }
    now = NowNs();
    if (wake - now > kSpinNs) {
      const int64_t sleepNs = std::min(wake - now - kSpinNs, kIdleLookNs);
      timespec ts{static_cast<time_t>(sleepNs / 1000000000), static_cast<long>(sleepNs % 1000000000)};
      pollfd p{wake_, POLLIN, 0};
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
  const uint64_t reached = std::max<uint64_t>(b->Pace(target, true), avr->cycle);
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
  // libsimavr pushes through a stack pointer outside the RAM without looking: firmware gone
  // wild would take this program down with it.
  const uint32_t sp = avr_->data[kSpl] | avr_->data[kSph] << 8;
  if (sp > avr_->ramend) {
    char at[64];
    std::snprintf(at, sizeof at, "0x%04X at 0x%04X", static_cast<unsigned>(sp),
                  static_cast<unsigned>(avr_->pc));
    error = std::string("the firmware's stack pointer left the RAM: ") + at;
    return false;
  }
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
  wake_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (wake_ < 0) {
    error = std::string("eventfd: ") + std::strerror(errno);
    return false;
  }
  startNs_ = 0;
  startNs_ = NowNs() - NsAt(avr_->cycle);
  lastActivityNs_ = lastReadNs_ = NowNs();
  readerStop_ = false;
  std::thread reader(&AvrBoard::ReadLoop, this);
  uint64_t nextSync = avr_->cycle + kSyncCycles;
  bool ok = true;
  while (!*stop_) {
    if (restartDue_.exchange(false)) Restart();
    if (!Step(error)) {
      ok = false;
      break;
    }
    if (avr_->cycle >= nextSync) {
      Pace(avr_->cycle, false);
      nextSync = avr_->cycle + kSyncCycles;
    }
  }
  readerStop_ = true;
  reader.join();
  close(wake_);
  wake_ = -1;
  return ok;
}

}  // namespace quillet::sim
