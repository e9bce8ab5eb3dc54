// The gateway firmware, run instruction by instruction on the simulated Arduino
// (quillet-gateway-avr), between the program's real serial code and a simulated chip.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <ostream>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "chips/Catalogue.h"
#include "chips/FastTransport.h"
#include "commands/Driver.h"
#include "image/Images.h"
#include "link/Port.h"
#include "sim/SimChip.h"
#include "sim/SimProgram.h"
#include "support/Fakes.h"
#include "support/RecordingDriver.h"
#include "support/SimProcess.h"

namespace quillet {
namespace {

#ifdef QUILLET_AVR_BOARD
constexpr const char* kBoard = QUILLET_AVR_BOARD;
#else
constexpr const char* kBoard = nullptr;
#endif

#define REQUIRE_BOARD()                                                                       \
  if (!kBoard) GTEST_SKIP() << "quillet-gateway-avr was not built (no avr-g++ or libsimavr)"

// The board started with args, and the core on it through the real serial code and the real
// clock, the port opened; periodUs: the SPI bit period asked for (0: the firmware's own).
struct OnBoard {
  explicit OnBoard(const std::vector<std::string>& args, double periodUs = 0) : board(kBoard, args) {
    SetClock(nullptr);
    SetSpiBitPeriodUs(periodUs);
    if (!board.path.empty()) OpenPort(board.path);
  }
  test::SimProcess board;
  test::CoreFixture f;
  test::RecordingDriver driver;
};

using Instruction = std::vector<uint8_t>;  // bus order, I1 first

using test::RecordingDriver;

// The instructions the chip received, from the board's trace.
std::vector<Instruction> TracedInstructions(const std::string& path) {
  std::vector<Instruction> out;
  std::ifstream in(path);
  std::string line;
  while (std::getline(in, line)) {
    double t;
    unsigned b[4];
    if (std::sscanf(line.c_str(), "%lf SPI %x %x %x %x", &t, &b[0], &b[1], &b[2], &b[3]) == 5)
      out.push_back({static_cast<uint8_t>(b[0]), static_cast<uint8_t>(b[1]),
                     static_cast<uint8_t>(b[2]), static_cast<uint8_t>(b[3])});
  }
  return out;
}

using test::RandomBytes;

struct ChipCase {
  const char* name;
  int delay;                       // DelayValue that keeps the part's write times
  uint32_t flashBytes, dataBytes;  // how much of each memory the test writes and reads
  uint8_t fuses[4];                // FuseLockBytes written: never SPIEN, RSTDISBL or DWEN
  const char* busy = "typical";    // the board's --busy: how long each write keeps the chip busy
};

// Small images where the whole memory would only cost time; the ATtiny2313 in full. The fast
// transfers wait until the chip is ready: asked by Poll RDY/BSY (ATmega328P) or by reading the
// written byte back (ATmega8), each write busy for a random time up to its longest wait.
const ChipCase kChips[] = {
    {"ATtiny2313", 0, 2048, 128, {0x5A, 0x9D, 0xFE, 0xFE}},
    {"ATtiny85", 0, 1024, 512, {0x5A, 0xDE, 0xFE, 0xFC}},
    {"AT90CAN128", 4, 512, 128, {0x5A, 0x98, 0xF5, 0xFE}},
    {"ATmega328P", 0, 1024, 256, {0xE2, 0xD1, 0xFD, 0xFC}, "random:3"},
    {"ATmega8", 0, 1024, 128, {0xE2, 0xD1, 0xFC, 0xFF}, "random:5"},
};

void PrintTo(const ChipCase& c, std::ostream* os) { *os << c.name; }

class GatewayAvr : public ::testing::TestWithParam<ChipCase> {};

// What one session leaves: the log without its clock lines, the chip's state, the instructions
// the program sent and those the chip received.
struct Session {
  std::vector<std::string> log;
  sim::SimChipState state;
  std::vector<Instruction> sent, received;
  std::vector<std::vector<uint8_t>> written;
};

// A session as the window runs it: Autosearch, Chip Erase, write, verify and read of both
// memories, fuses and lock bits written and read back.
void RunSession(const ChipCase& c, bool fast, Session& out) {
  const std::string dir = test::TempDir() + "gateway_avr_" + c.name + (fast ? "_fast" : "");
  const std::string link = dir + "_link", state = dir + "_state", trace = dir + "_trace";
  std::remove(state.c_str());
  test::SimProcess board(kBoard,
                         {"--link", link, "--chip", c.name, "--state", state, "--trace", trace, "--busy", c.busy});
  ASSERT_FALSE(board.path.empty());

  test::CoreFixture f;
  RecordingDriver driver;
  SetClock(nullptr);
  SetFastTransfers(fast);
  const int savedDelay = DelayValue;
  DelayValue = c.delay;
  auto result = [&f]() {
    const auto& l = f.log.lines;
    return l.size() < 2 ? std::string("(no result)") : l[l.size() - 2];
  };

  OpenPort(link);
  ASSERT_GE(PortHandle, 0);
  RunAutosearch();
  ASSERT_FALSE(f.log.lines.empty());
  ASSERT_EQ(f.log.lines.back(), std::string("Selected chip is  ") + c.name);
  FlashSize = std::min(FlashSize, c.flashBytes);
  EepromSize = std::min(EepromSize, c.dataBytes);

  f.prompt.yesNo = {true};
  RunChipErase();
  EXPECT_EQ(f.log.lines.back(), "       Finished with success.");

  struct Memory {
    MemoryOperation write, verify, read;
    uint8_t* image;
    uint32_t size;
  };
  const Memory memories[] = {
      {MemoryOperation::WriteProgram, MemoryOperation::VerifyProgram, MemoryOperation::ReadProgram,
       ProgramImage.data(), FlashSize},
      {MemoryOperation::WriteData, MemoryOperation::VerifyData, MemoryOperation::ReadData,
       DataImage.data(), EepromSize},
  };
  for (const Memory& m : memories) {
    out.written.push_back(RandomBytes(m.size, m.size + out.written.size()));
    std::copy(out.written.back().begin(), out.written.back().end(), m.image);
    f.prompt.yesNo = {true};
    RunMemoryCommand(m.write);
    ASSERT_EQ(result(), "       Finished");
    RunMemoryCommand(m.verify);
    EXPECT_EQ(result(), "       Finished. No differences found.");
    std::fill(m.image, m.image + m.size, 0x00);
    RunMemoryCommand(m.read);
    EXPECT_EQ(result(), "       Finished");
    EXPECT_TRUE(std::equal(out.written.back().begin(), out.written.back().end(), m.image));
  }

  std::copy(c.fuses, c.fuses + 4, FuseLockBytes.begin());
  ASSERT_TRUE(WriteLockAndFuses());
  ResetChipBuffer(3);
  EXPECT_TRUE(ReadLockAndFuses());
  EXPECT_EQ(std::vector<uint8_t>(FuseLockBytes.begin(), FuseLockBytes.begin() + 4),
            std::vector<uint8_t>(c.fuses, c.fuses + 4));
  EXPECT_GE(PortHandle, 0);
  ClosePort();
  DelayValue = savedDelay;
  SetFastTransfers(true);

  ASSERT_EQ(board.Stop(SIGTERM), 0);
  ASSERT_TRUE(sim::LoadSimState(state, out.state));
  for (const std::string& line : f.log.lines)
    if (line.rfind("Start time:", 0) != 0 && line.rfind("End time:", 0) != 0) out.log.push_back(line);
  out.sent = driver.Executed();
  out.received = TracedInstructions(trace);
}

// The session through the contract's exchanges and through the blocks: the same chip contents,
// the same log but for the gateway line; every contract instruction received as sent.
TEST_P(GatewayAvr, ProgramsTheChipThroughTheFirmware) {
  REQUIRE_BOARD();
  const ChipCase& c = GetParam();
  ASSERT_NE(FindChipByName(c.name), nullptr);
  Session plain, fast;
  ASSERT_NO_FATAL_FAILURE(RunSession(c, false, plain));
  ASSERT_NO_FATAL_FAILURE(RunSession(c, true, fast));

  for (const Session* s : {&plain, &fast}) {
    SCOPED_TRACE(s == &fast ? "fast transfers" : "contract");
    EXPECT_TRUE(std::equal(s->written[0].begin(), s->written[0].end(), s->state.flash.begin()));
    EXPECT_TRUE(std::all_of(s->state.flash.begin() + s->written[0].size(), s->state.flash.end(),
                            [](uint8_t v) { return v == 0xFF; }))
        << "the erase reached the whole Flash";
    EXPECT_TRUE(std::equal(s->written[1].begin(), s->written[1].end(), s->state.eeprom.begin()));
    EXPECT_EQ(s->state.violations, 0u) << "the program never met a busy chip";
  }
  EXPECT_TRUE(plain.state.flash == fast.state.flash && plain.state.eeprom == fast.state.eeprom);

  const std::string gateway = "Gateway: Quillet firmware 2.1";
  auto without = [](std::vector<std::string> log, const std::string& line) {
    log.erase(std::remove(log.begin(), log.end(), line), log.end());
    return log;
  };
  EXPECT_EQ(std::count(plain.log.begin(), plain.log.end(), gateway), 1);
  EXPECT_EQ(std::count(fast.log.begin(), fast.log.end(), gateway + ", fast transfers"), 1);
  EXPECT_EQ(without(plain.log, gateway), without(fast.log, gateway + ", fast transfers"));

  EXPECT_GT(plain.sent.size(), 3u * (c.flashBytes + c.dataBytes));
  EXPECT_TRUE(plain.sent == plain.received) << plain.sent.size() << " instructions sent, "
                                            << plain.received.size() << " received";
  // A few instructions a command (Programming Enable, the signature that checks the chip), not
  // one a byte.
  EXPECT_LT(fast.sent.size(), 80u) << "the memories went through blocks";
}

INSTANTIATE_TEST_SUITE_P(Chips, GatewayAvr, ::testing::ValuesIn(kChips),
                         [](const ::testing::TestParamInfo<ChipCase>& i) { return std::string(i.param.name); });

// What the program agrees on with the firmware for the line and the SPI clock, and the
// fallbacks when the line or the target cannot follow; a Flash write, verify and read at it.
TEST(GatewayAvrFast, Negotiation) {
  REQUIRE_BOARD();
  struct Case {
    const char* name;
    std::vector<std::string> args;
    uint32_t baud;
    uint8_t spiCode;
  };
  const Case cases[] = {
      {"a 1 MHz target keeps 125 kHz", {"--target-clock", "1000000"}, 1000000, 0},
      {"an 8 MHz target: 1 MHz reads right, 2 MHz misreads some bits; one step below: 500 kHz",
       {"--target-clock", "8000000"}, 1000000, 2},
      {"a line that carries no more than 115200 baud: back to it", {"--max-baud", "115200"}, 115200, 0},
      {"a line up to 500 k baud", {"--max-baud", "500000"}, 500000, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string state = test::TempDir() + "gateway_avr_negotiation_state";
    std::remove(state.c_str());
    std::vector<std::string> args = {"--chip", "ATtiny85", "--state", state};
    args.insert(args.end(), c.args.begin(), c.args.end());
    OnBoard on(args);
    ASSERT_FALSE(on.board.path.empty());
    ASSERT_GE(PortHandle, 0);
    const test::CoreFixture& f = on.f;
    RunAutosearch();
    ASSERT_EQ(f.log.lines.back(), "Selected chip is  ATtiny85");
    EXPECT_EQ(f.log.lines[f.log.lines.size() - 2], "Gateway: Quillet firmware 2.1, fast transfers");
    EXPECT_EQ(GetFastStats().baud, c.baud);
    EXPECT_EQ(GetFastStats().spiCode, c.spiCode);
    FlashSize = 1024;
    const std::vector<uint8_t> data = RandomBytes(FlashSize, 7);
    std::copy(data.begin(), data.end(), ProgramImage.begin());
    EXPECT_TRUE(RunMemoryCommand(MemoryOperation::WriteProgram, true));
    EXPECT_TRUE(RunMemoryCommand(MemoryOperation::VerifyProgram));
    std::fill(ProgramImage.begin(), ProgramImage.end(), 0);
    EXPECT_TRUE(RunMemoryCommand(MemoryOperation::ReadProgram));
    EXPECT_TRUE(std::equal(data.begin(), data.end(), ProgramImage.begin()));
    ClosePort();
    ASSERT_EQ(on.board.Stop(SIGTERM), 0);
    sim::SimChipState s;
    ASSERT_TRUE(sim::LoadSimState(state, s));
    EXPECT_TRUE(std::equal(data.begin(), data.end(), s.flash.begin()));
    EXPECT_EQ(s.violations, 0u);
  }
}

// An empty socket: MISO would float (random bits, read as some unknown chip) but for D12's
// pull-up, which the firmware turns on; the signature reads FF FF FF at every clock.
TEST(GatewayAvrFast, EmptySocket) {
  REQUIRE_BOARD();
  OnBoard on({"--no-chip"});
  ASSERT_FALSE(on.board.path.empty());
  ASSERT_GE(PortHandle, 0);
  const test::CoreFixture& f = on.f;
  RunAutosearch();
  ClosePort();
  ASSERT_FALSE(f.log.lines.empty());
  EXPECT_EQ(f.log.lines[f.log.lines.size() - 2],
            "No chip answers: the signature reads FF FF FF; check the wiring, the chip's supply and its clock")
      << ::testing::PrintToString(f.log.lines);
  // Random bits would end the search at once, with no retry and no slower clock tried.
  const auto retries = std::count_if(f.log.lines.begin(), f.log.lines.end(), [](const std::string& l) {
    return l.rfind("No answer to Programming Enable (signature FF FF FF)", 0) == 0;
  });
  EXPECT_EQ(retries, 3) << ::testing::PrintToString(f.log.lines);
}

// Bytes damaged on the line: a block goes once more and the operation ends as without damage;
// a block damaged again ends it with the contract's failure line and the port closed.
TEST(GatewayAvrFast, DamagedBlocks) {
  REQUIRE_BOARD();
  struct Case {
    const char* name;
    std::vector<std::string> args;
    bool succeeds;
  };
  const Case cases[] = {
      {"now and then, both ways", {"--damage-out", "1500", "--damage-in", "500"}, true},
      {"in every block", {"--damage-out", "40"}, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string state = test::TempDir() + "gateway_avr_damage_state";
    std::remove(state.c_str());
    std::vector<std::string> args = {"--chip", "ATtiny85", "--state", state};
    args.insert(args.end(), c.args.begin(), c.args.end());
    OnBoard on(args);
    ASSERT_FALSE(on.board.path.empty());
    ASSERT_GE(PortHandle, 0);
    const test::CoreFixture& f = on.f;
    RunAutosearch();
    ASSERT_EQ(f.log.lines.back(), "Selected chip is  ATtiny85");
    ASSERT_TRUE(FastActive());
    const uint32_t retriesBefore = GetFastStats().retries;
    FlashSize = 2048;
    EepromSize = 256;
    const std::vector<uint8_t> flash = RandomBytes(FlashSize, 11), eeprom = RandomBytes(EepromSize, 12);
    if (c.succeeds) {
      std::copy(flash.begin(), flash.end(), ProgramImage.begin());
      std::copy(eeprom.begin(), eeprom.end(), DataImage.begin());
      EXPECT_TRUE(RunMemoryCommand(MemoryOperation::WriteProgram, true));
      EXPECT_TRUE(RunMemoryCommand(MemoryOperation::WriteData, true));
      std::fill(ProgramImage.begin(), ProgramImage.end(), 0);
      std::fill(DataImage.begin(), DataImage.end(), 0);
      EXPECT_TRUE(RunMemoryCommand(MemoryOperation::ReadProgram));
      EXPECT_TRUE(RunMemoryCommand(MemoryOperation::ReadData));
      EXPECT_TRUE(std::equal(flash.begin(), flash.end(), ProgramImage.begin()));
      EXPECT_TRUE(std::equal(eeprom.begin(), eeprom.end(), DataImage.begin()));
      EXPECT_GT(GetFastStats().retries, retriesBefore);
      EXPECT_GE(PortHandle, 0);
    } else {
      EXPECT_FALSE(RunMemoryCommand(MemoryOperation::ReadProgram));
      const auto& l = f.log.lines;
      ASSERT_GE(l.size(), 3u);
      EXPECT_EQ(l[l.size() - 3], "Error reading the answer (SPI paket)");
      EXPECT_EQ(l[l.size() - 2], "       Finished with fail.");
      EXPECT_LT(PortHandle, 0);
    }
    ClosePort();
    ASSERT_EQ(on.board.Stop(SIGTERM), 0);
    if (c.succeeds) {
      sim::SimChipState s;
      ASSERT_TRUE(sim::LoadSimState(state, s));
      EXPECT_TRUE(std::equal(flash.begin(), flash.end(), s.flash.begin()));
      EXPECT_TRUE(std::equal(eeprom.begin(), eeprom.end(), s.eeprom.begin()));
      EXPECT_EQ(s.violations, 0u);
    }
  }
}

// What the last trace line about the target's lines says, whether any said they were driven,
// and how many instructions RESET cut short.
struct LinesTraced {
  bool driven = false;
  std::string last;
  int cut = 0;
};
LinesTraced TracedLines(const std::string& path) {
  LinesTraced out;
  std::ifstream in(path);
  std::string line;
  while (std::getline(in, line)) {
    if (line.find("instruction cut short by RESET") != std::string::npos) ++out.cut;
    const size_t at = line.find("target lines ");
    if (at == std::string::npos) continue;
    out.last = line.substr(at);
    out.driven = out.driven || out.last.rfind("target lines driven", 0) == 0;
  }
  return out;
}

// A chip that misses Programming Enable, at Autosearch and before a read: the reset pulse and
// the enable again bring it in; so does it after a board's restart. Block mode holds behind a
// USB-serial chip's latency. A chip on a slow clock is found at a slower one, or at the one
// asked for, and that clock holds for a whole write and verify, through the blocks and the
// one-instruction way alike. The chip is read or written right, and the session ends with the
// target's lines released.
TEST(GatewayAvrBench, BoardOptions) {
  REQUIRE_BOARD();
  const std::string retried = "No answer to Programming Enable (";
  struct Case {
    const char* name;
    std::vector<std::string> args;
    bool autosearch;  // else the chip is selected, and the read's Programming Enable comes first
    std::vector<std::string> added;  // log lines a plain session does not have
    double periodUs = 0;             // the SPI clock asked for (quillet-cli -B)
    uint32_t written = 0;            // bytes of Flash written and verified; else 128 read
    bool fast = true;
  };
  const std::string slow = "Slow target: SPI clock ";
  const std::vector<std::string> unanswered = {
      retried + "signature FF FF FF): RESET pulsed, trying again (1 of 3)",
      retried + "signature FF FF FF): RESET pulsed, trying again (2 of 3)",
      retried + "signature FF FF FF): RESET pulsed, trying again (3 of 3)"};
  auto with = [](std::vector<std::string> lines, const std::string& line) {
    lines.push_back(line);
    return lines;
  };
  const Case cases[] = {
      {"a chip that misses two enables at Autosearch", {"--enable-misses", "2"}, true,
       {retried + "signature FF FF FF): RESET pulsed, trying again (1 of 3)",
        retried + "signature FF FF FF): RESET pulsed, trying again (2 of 3)"}},
      {"a chip that misses the read's enable", {"--enable-misses", "1"}, false,
       {retried + "echo 0xFF, not 0x53): RESET pulsed, trying again (1 of 3)"}},
      // The first bytes go to the bootloader: the chip's signature comes only once the firmware
      // runs, after the enable they belonged to was lost.
      {"a board that restarts as the port opens", {"--auto-reset"}, true,
       {"Gateway: answered only after a restart (the board resets when the port opens); what was sent before "
        "was lost",
        retried + "signature FF FF FF): RESET pulsed, trying again (1 of 3)"}},
      // Short answers wait on the USB-serial chip's timer, even while the firmware sleeps.
      {"answers held by a USB-serial chip", {"--usb-latency", "4"}, true, {}},
      // A chip on a slow clock answers none of the SPI hardware's: slower ones by hand.
      // Page loads sent faster than a slow clock shifts them once overflowed the firmware's
      // buffer: RESET went high in the middle of a page.
      {"a chip on its 128 kHz oscillator, written", {"--target-clock", "128000"}, true,
       with(unanswered, slow + "15.6 kHz (64 us a bit), a step below the fastest that read the signature"), 0,
       8192},
      {"the same at the clock asked for, one instruction at a time", {"--target-clock", "128000"}, true,
       {slow + "15.6 kHz (64 us a bit), as asked"}, 64, 8192, false},
      {"the same with CKDIV8, its clock asked for", {"--target-clock", "16000"}, true,
       {slow + "3.3 kHz (300 us a bit), as asked"}, 300},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string dir = test::TempDir() + "gateway_avr_bench_";
    const std::string state = dir + "state", trace = dir + "trace" + std::to_string(&c - cases);
    sim::SimChipState before = sim::MakeSocketChip({.chipName = "ATtiny85", .statePath = ""})->State();
    before.flash = RandomBytes(before.flash.size(), 21);
    ASSERT_TRUE(sim::SaveSimState(state, before));
    std::remove(trace.c_str());
    std::vector<std::string> args = {"--chip", "ATtiny85", "--state", state, "--trace", trace};
    args.insert(args.end(), c.args.begin(), c.args.end());
    SetFastTransfers(c.fast);
    OnBoard on(args, c.periodUs);
    ASSERT_FALSE(on.board.path.empty());
    ASSERT_GE(PortHandle, 0);
    const test::CoreFixture& f = on.f;
    if (c.autosearch) {
      RunAutosearch();
      ASSERT_EQ(f.log.lines.back(), "Selected chip is  ATtiny85");
      EXPECT_EQ(f.log.lines[f.log.lines.size() - 2],
                c.fast ? "Gateway: Quillet firmware 2.1, fast transfers" : "Gateway: Quillet firmware 2.1");
    } else {
      SelectChip(FindChipByName("ATtiny85")->id);
    }
    const std::vector<uint8_t> image = RandomBytes(c.written, 37);
    if (c.written) {
      FlashSize = c.written;
      std::copy(image.begin(), image.end(), ProgramImage.begin());
      on.f.prompt.yesNo = {true};
      EXPECT_TRUE(RunMemoryCommand(MemoryOperation::WriteProgram)) << ::testing::PrintToString(f.log.lines);
      EXPECT_TRUE(RunMemoryCommand(MemoryOperation::VerifyProgram)) << ::testing::PrintToString(f.log.lines);
      EXPECT_EQ(f.log.lines[f.log.lines.size() - 2], "       Finished. No differences found.");
    } else {
      FlashSize = 128;
      std::fill(ProgramImage.begin(), ProgramImage.end(), 0);
      EXPECT_TRUE(RunMemoryCommand(MemoryOperation::ReadProgram)) << ::testing::PrintToString(f.log.lines);
      EXPECT_TRUE(std::equal(before.flash.begin(), before.flash.begin() + FlashSize, ProgramImage.begin()));
    }
    for (const std::string& line : c.added)
      EXPECT_NE(std::find(f.log.lines.begin(), f.log.lines.end(), line), f.log.lines.end()) << line;
    const auto added = std::count_if(f.log.lines.begin(), f.log.lines.end(), [&](const std::string& l) {
      return l.rfind(retried, 0) == 0 || l.rfind("Gateway: answered", 0) == 0 || l.rfind(slow, 0) == 0;
    });
    EXPECT_EQ(added, static_cast<long>(c.added.size()));
    ClosePort();
    SetSpiBitPeriodUs(0);
    SetFastTransfers(true);
    // The release crosses the line after the port has closed: its trace line is the event.
    for (int i = 0; i < 500 && TracedLines(trace).last.rfind("target lines released", 0) != 0; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_EQ(on.board.Stop(SIGTERM), 0);
    const LinesTraced lines = TracedLines(trace);
    EXPECT_TRUE(lines.driven);
    EXPECT_EQ(lines.last, "target lines released: D10 to D13 high-impedance");
    sim::SimChipState after;
    ASSERT_TRUE(sim::LoadSimState(state, after));
    if (c.written) {
      EXPECT_TRUE(std::equal(image.begin(), image.end(), after.flash.begin()));
      EXPECT_EQ(after.violations, 0u);
    }
    // No instruction cut short by RESET, none shifted faster than the chip takes.
    EXPECT_EQ(lines.cut, 0) << trace;
  }
}

// The line read and written raw, for byte streams the program never sends.
class RawLine {
 public:
  explicit RawLine(const std::string& path) : fd_(open(path.c_str(), O_RDWR | O_NOCTTY)) {
    termios t;
    if (fd_ >= 0 && tcgetattr(fd_, &t) == 0) {
      cfmakeraw(&t);
      tcsetattr(fd_, TCSANOW, &t);
    }
  }
  ~RawLine() {
    if (fd_ >= 0) close(fd_);
  }
  bool Ok() const { return fd_ >= 0; }
  void Send(const std::vector<uint8_t>& bytes) {
    ASSERT_EQ(write(fd_, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
  }
  // Whatever comes until n bytes are there or the line stays quiet for quietMs.
  std::vector<uint8_t> Receive(size_t n, int quietMs = 300) {
    std::vector<uint8_t> got;
    pollfd p{fd_, POLLIN, 0};
    while (got.size() < n && poll(&p, 1, quietMs) == 1) {
      uint8_t buf[64];
      const ssize_t r = read(fd_, buf, sizeof buf);
      if (r <= 0) break;
      got.insert(got.end(), buf, buf + r);
    }
    return got;
  }

 private:
  int fd_;
};

// The firmware on bytes that the program does not send: unknown bytes, commands run together
// and arriving while the SPI shifts, and a command cut off.
TEST(GatewayAvrFirmware, ByteStreams) {
  REQUIRE_BOARD();
  const std::string trace = test::TempDir() + "gateway_avr_raw_trace";
  test::SimProcess board(kBoard, {"--chip", "ATtiny2313", "--trace", trace});
  ASSERT_FALSE(board.path.empty());
  RawLine line(board.path);
  ASSERT_TRUE(line.Ok());
  const std::vector<uint8_t> id = {'Q', 'G', 2, 1};
  auto answer = [&id](std::vector<uint8_t> first4) {
    first4.insert(first4.end(), id.begin(), id.end());
    return first4;
  };
  auto readSignature = [](uint8_t i) { return std::vector<uint8_t>{0x44, 0x00, i, 0x00, 0x30, 0x46, 0x45}; };

  line.Send({0x45});
  EXPECT_EQ(line.Receive(8), answer({0xFF, 0xFF, 0xFF, 0xFF})) << "a read back before any instruction";
  line.Send({0x48});
  std::this_thread::sleep_for(std::chrono::milliseconds(2));
  line.Send({0x47});
  std::this_thread::sleep_for(std::chrono::milliseconds(25));
  line.Send({0x44, 0x00, 0x00, 0x53, 0xAC, 0x46, 0x45});
  ASSERT_EQ(line.Receive(8), answer({0x00, 0x53, 0xAC, 0xFF})) << "Programming Enable echoes 0x53";

  struct Case {
    const char* name;
    std::vector<uint8_t> bytes;
    std::vector<uint8_t> answers;
    int pauseMs;  // before the rest is sent
    std::vector<uint8_t> rest;
  };
  std::vector<uint8_t> three;
  for (uint8_t i = 0; i < 3; ++i) {
    const std::vector<uint8_t> r = readSignature(i);
    three.insert(three.end(), r.begin(), r.end());
  }
  const Case cases[] = {
      {"unknown bytes before, between and during the shift",
       {0x00, 0x13, 0x44, 0x00, 0x00, 0x00, 0x30, 0x99, 0x46, 0xFF, 0x7E, 0x45},
       answer({0x1E, 0x00, 0x30, 0x00}), 0, {}},
      {"three reads in one write: each ReadBack arrives while its instruction shifts", three,
       [&] {
         std::vector<uint8_t> a = answer({0x1E, 0x00, 0x30, 0x00});
         const std::vector<uint8_t> b = answer({0x91, 0x00, 0x30, 0x00});
         const std::vector<uint8_t> c = answer({0x0A, 0x00, 0x30, 0x00});
         a.insert(a.end(), b.begin(), b.end());
         a.insert(a.end(), c.begin(), c.end());
         return a;
       }(),
       0, {}},
      {"a LoadInstruction cut off is dropped once the line rests, and ReadBack is a command again",
       {0x44, 0x00, 0x01}, answer({0x0A, 0x00, 0x30, 0x00}), 120, {0x45}},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    line.Send(k.bytes);
    if (k.pauseMs) {
      std::this_thread::sleep_for(std::chrono::milliseconds(k.pauseMs));
      line.Send(k.rest);
    }
    EXPECT_EQ(line.Receive(k.answers.size()), k.answers);
    EXPECT_TRUE(line.Receive(1, 50).empty()) << "nothing more";
  }
}

}  // namespace
}  // namespace quillet
