// An Arduino Uno or Nano as the gateway: the firmware's ELF runs on a simulated ATmega328P at
// 16 MHz (libsimavr), its UART is the serial line, and its SPI pins and D10 reach a target
// socket. Simulated time keeps in step with real time.
#pragma once

#include <atomic>
#include <csignal>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "sim/avr/TargetSocket.h"

struct avr_t;
struct avr_spi_t;
struct avr_uart_t;
struct avr_irq_t;

namespace quillet::sim {

class AvrBoard {
 public:
  static constexpr uint32_t kHz = 16000000;

  // chip: the chip in the socket (may be null), told when the line's bytes may have arrived.
  AvrBoard(TargetSocket& socket, SimChip* chip);
  ~AvrBoard();
  AvrBoard(const AvrBoard&) = delete;
  AvrBoard& operator=(const AvrBoard&) = delete;

  // The target's clock: the SPI clock must stay below a quarter of it for the target to read
  // the bytes.
  void SetTargetClockHz(uint32_t hz) { targetClockHz_ = hz; }
  // Faults of the line: a USB-serial chip that cannot run above maxBaud (0: any rate), and every
  // n-th byte to the program (out) or from it (in) damaged on the way (0: none).
  void SetMaxBaud(uint32_t maxBaud) { maxBaud_ = maxBaud; }
  void SetDamage(uint64_t everyOut, uint64_t everyIn) {
    damageOut_ = everyOut;
    damageIn_ = everyIn;
  }
  // One fault at one byte of a direction, counted from 1: a bit flipped, the byte lost, sent
  // twice, or held back kDelayMs with all that follows it.
  enum class Fault : uint8_t { None, Flip, Drop, Dup, Delay };
  static constexpr int kDelayMs = 1000;
  void SetFault(bool toProgram, Fault fault, uint64_t at) {
    (toProgram ? faultOut_ : faultIn_) = {fault, at};
  }

  // A USB-serial chip's latency timer: bytes to the program travel in packets of 64, and a
  // shorter packet leaves ms after its first byte reached the chip (0: every byte at once).
  void SetUsbLatencyMs(uint32_t ms) { usbLatencyCycles_ = uint64_t{ms} * (kHz / 1000); }
  // An Arduino's auto-reset: each open of devicePath (the program's side of the line) resets
  // the MCU, and the bytes of the next kBootMs are lost, as they go to the bootloader. Call
  // before Run.
  static constexpr int kBootMs = 1000;
  bool SetAutoReset(const std::string& devicePath, std::string& error);

  // Loads the firmware; false with a message in error.
  bool Load(const std::string& elfPath, std::string& error);

  // Runs the firmware's start-up, up to the point where its UART receives; false, with a
  // message in error, when it does not get there.
  bool Boot(std::string& error);

  // Runs the firmware against the line (a non-blocking descriptor whose bytes are the UART's
  // input and which receives its output) until *stop is set or the firmware stops. False, with
  // a message in error, when the firmware crashed.
  bool Run(int lineFd, const volatile std::sig_atomic_t* stop, std::string& error);

  // Called now and then while nothing has crossed the line for a while.
  std::function<void()> idle;
  // One line for what the board itself notices (a line set up wrongly, a byte refused).
  std::function<void(int64_t timeUs, const std::string& line)> trace;

 private:
  struct Hook {
    void (*write)(avr_t*, uint16_t, uint8_t, void*) = nullptr;
    void* param = nullptr;
  };
  static void OnPinsWrite(avr_t* avr, uint16_t addr, uint8_t v, void* param);
  static void OnUartSetup(avr_t* avr, uint16_t addr, uint8_t v, void* param);
  static void OnSpdrWrite(avr_t* avr, uint16_t addr, uint8_t v, void* param);
  static void OnSpsrWrite(avr_t* avr, uint16_t addr, uint8_t v, void* param);
  static uint64_t OnSpiDone(avr_t* avr, uint64_t when, void* param);
  static uint64_t OnInject(avr_t* avr, uint64_t when, void* param);
  static void OnUartOut(avr_irq_t* irq, uint32_t value, void* param);
  static void OnSleep(avr_t* avr, uint64_t howLong);

  int64_t Us(uint64_t cycle) const { return static_cast<int64_t>(cycle / (kHz / 1000000)); }
  // The board's clock: cycle 0 was at startNs_ on the real clock.
  int64_t NsAt(uint64_t cycle) const { return startNs_ + static_cast<int64_t>(cycle * 125 / 2); }
  uint64_t CycleAt(int64_t ns) const {
    return ns <= startNs_ ? 0 : static_cast<uint64_t>(ns - startNs_) * 2 / 125;
  }
  bool Step(std::string& error);
  void Lines();
  // SPI by hand, with the SPI hardware off: the target takes MOSI at each rising edge of SCK
  // and shows its bit on MISO meanwhile.
  void BangedSpi();
  bool sckHigh_ = false;
  uint64_t lastEdge_ = 0;
  int bangBits_ = 0;
  uint8_t bangIn_ = 0, bangOut_ = 0xFF;
  bool bangSpoiled_ = false;
  // The MCU restarted by the auto-reset: the lines undriven, the UART's bytes in both
  // directions gone, the firmware from its start; the board's clock runs on.
  void Restart();
  // What leaves the USB-serial chip by cycle upTo: how many bytes at the front of out_.
  size_t UsbReady(uint64_t upTo) const;
  // When the front of out_ leaves the USB-serial chip.
  uint64_t UsbDue() const;
  // One byte's time in cycles as the UART sends and receives it, and whether its settings
  // match the line: 115200 baud within the receivers' tolerance, 8 data bits, no parity.
  uint64_t FrameCycles(bool& matches) const;
  // The time n bytes take on the program's line at its present rate.
  uint64_t LineCycles(uint64_t n) const;
  // The rate the program set on its side of the pseudo-terminal.
  void ReadLineBaud();
  // Advances the real clock up to the cycle target, serving the line meanwhile. With
  // interruptible (the firmware sleeps), bytes that come in bring the target forward to their
  // first start bit. Returns the cycle reached.
  uint64_t Pace(uint64_t target, bool interruptible);
  // The reading thread: stamps each chunk of the line's bytes as it comes.
  void ReadLoop();
  // Schedules the chunks read since the last look; true if there were any.
  bool TakeLine();
  void Deliver(uint64_t upTo);
  void Note(const std::string& line);

  TargetSocket& socket_;
  SimChip* chip_;
  uint32_t targetClockHz_ = 1000000;
  uint32_t lineBaud_ = 115200;
  // The program's stop bits, from the pseudo-terminal's settings (a pseudo-terminal keeps
  // 8 data bits without parity whatever it is asked).
  int lineStopBits_ = 2;
  uint32_t maxBaud_ = 0;
  uint64_t damageOut_ = 0, damageIn_ = 0, countOut_ = 0, countIn_ = 0;
  struct FaultAt {
    Fault fault = Fault::None;
    uint64_t at = 0;
  } faultIn_, faultOut_;
  // The fault that falls on this byte of a direction, taken once.
  Fault FaultOn(FaultAt& f, uint64_t count);
  // The UART's bit in cycles, and whether its frame is 8 data bits without parity on a line
  // that carries the program's rate.
  uint32_t UartBitCycles(bool& carried) const;
  avr_t* avr_ = nullptr;
  avr_spi_t* spi_ = nullptr;
  avr_uart_t* uart_ = nullptr;
  avr_irq_t* uartIn_ = nullptr;
  Hook portHook_, ddrHook_, spdrHook_, spsrHook_, uartHooks_[4];
  uint8_t mosi_ = 0;
  // Bits a target cannot drive right (a clock too fast for it) or nobody drives (an empty
  // socket without D12's pull-up): a fixed seed, so that a run can be repeated.
  uint32_t noise_ = 0x9E3779B9u;
  uint8_t Noise();
  // MISO as read: an empty socket floats unless D12's pull-up holds it high.
  uint8_t Floating(uint8_t miso);
  // MISO as read at an SCK too fast for the target, which takes nothing whole meanwhile.
  uint8_t Misread();
  std::string lastSpiProblem_, lastUartProblem_;
  uint8_t driven_ = 0;  // the target lines driven (DDRB's D10 to D13), as last traced
  uint64_t usbLatencyCycles_ = 0;
  int inotify_ = -1;  // the auto-reset's watch on the program's side of the line
  std::atomic<bool> restartDue_{false};
  std::atomic<int64_t> lostUntilNs_{0};

  int fd_ = -1;
  int wake_ = -1;  // eventfd: the reading thread has chunks
  struct Chunk {
    int64_t atNs;
    std::vector<uint8_t> bytes;
  };
  std::mutex chunksMutex_;
  std::deque<Chunk> chunks_;
  // Chunks held back by a delay fault until heldUntilNs_.
  std::deque<Chunk> held_;
  int64_t heldUntilNs_ = 0;
  std::atomic<bool> readerStop_{false};
  const volatile std::sig_atomic_t* stop_ = nullptr;
  int64_t startNs_ = 0;
  int64_t lastActivityNs_ = 0;

  // The line from the program: each byte with the cycle its start bit begins.
  struct InByte {
    uint8_t value;
    bool framingError;
    uint64_t at;
    uint64_t earliest;  // first byte of a chunk: the earliest cycle it may have been sent
    uint32_t baud;      // the program's rate; 0 once the UART's sampling of it is known
  };
  std::deque<InByte> in_;
  // The chunk at the front of in_ as the UART samples it at the rate it has now, as its first
  // byte comes: the firmware may have changed its rate since the program wrote the chunk.
  void SampleChunk();
  uint64_t answeredAt_ = 0;  // the cycle the last answer reached the program
  bool injectArmed_ = false;
  uint64_t prevEarliest_ = 0;
  uint64_t rxFree_ = 0;      // the cycle the line is free of the bytes scheduled so far
  int64_t lastReadNs_ = 0;   // when the last bytes were read, on the real clock
  bool answered_ = true;     // bytes went to the program since then

  // The line to the program: each byte with the cycle its stop bits end.
  struct OutByte {
    uint8_t value;
    uint64_t due;
  };
  std::deque<OutByte> out_;
  uint64_t txFree_ = 0;
};

}  // namespace quillet::sim
