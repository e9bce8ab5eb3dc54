// One fault on the line (a byte flipped, lost, sent twice or held back past every time-out),
// in either direction, during the fast transfers' set-up and first blocks, between the
// program's real serial code and the firmware on the simulated board. Whatever happens, a read
// never changes the chip, no success is reported with wrong contents, and nothing hangs.
// QUILLET_FAULT_SWEEP=N puts the fault at every N-th byte of that stretch, "full" at every byte
// (bench/fault_sweep.sh).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
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

using test::RandomBytes;

struct Target {
  const char* chip;
  uint32_t bytes;  // of Flash read or written: two blocks of a read
};
const Target kTargets[] = {{"AT90S2313", 512}, {"ATtiny85", 512}};

struct Outcome {
  bool selected = false, succeeded = false, wrongSuccess = false, changedByRead = false, wrongChip = false;
  bool busyReported = false;  // the log says the chip was still busy
};

// Autosearch, then a Read Program or a Write Program with its Verify, then Autosearch again.
Outcome RunCase(const Target& t, bool write, const std::vector<std::string>& fault, unsigned seed) {
  Outcome o;
  const std::string state = test::TempDir() + "fast_faults_state";
  // A factory chip, its Flash full of data for a read.
  sim::SimChipState before = sim::MakeSocketChip({.chipName = t.chip, .statePath = ""})->State();
  if (!write) before.flash = RandomBytes(before.flash.size(), seed);
  before.eeprom = RandomBytes(before.eeprom.size(), seed + 1);
  sim::SaveSimState(state, before);
  std::vector<std::string> args = {"--chip", t.chip, "--state", state};
  args.insert(args.end(), fault.begin(), fault.end());
  test::SimProcess board(kBoard, args);
  if (board.path.empty()) {
    ADD_FAILURE() << "the board did not start";
    return o;
  }
  test::CoreFixture f;
  test::RecordingDriver driver;
  SetClock(nullptr);
  OpenPort(board.path);
  RunAutosearch();
  o.selected = !f.log.lines.empty() && f.log.lines.back() == std::string("Selected chip is  ") + t.chip;
  const std::vector<uint8_t> image = RandomBytes(t.bytes, seed + 2);
  if (o.selected && PortHandle >= 0) {
    FlashSize = t.bytes;
    if (write) {
      std::copy(image.begin(), image.end(), ProgramImage.begin());
      o.succeeded = RunMemoryCommand(MemoryOperation::WriteProgram, true) &&
                    RunMemoryCommand(MemoryOperation::VerifyProgram);
    } else {
      std::fill(ProgramImage.begin(), ProgramImage.end(), 0);
      o.succeeded = RunMemoryCommand(MemoryOperation::ReadProgram);
      if (o.succeeded) o.wrongSuccess = !std::equal(before.flash.begin(), before.flash.begin() + t.bytes, ProgramImage.begin());
    }
  }
  for (const std::string& line : f.log.lines) o.busyReported |= line.find("still busy") != std::string::npos;
  // The plain exchanges that follow find the chip as it is.
  if (PortHandle >= 0) {
    RunAutosearch();
    const std::string& last = f.log.lines.back();
    o.wrongChip = last.rfind("Selected chip is  ", 0) == 0 && last != std::string("Selected chip is  ") + t.chip;
  }
  ClosePort();
  board.Stop(SIGTERM);
  sim::SimChipState after;
  if (!sim::LoadSimState(state, after)) {
    ADD_FAILURE() << "no chip state";
    return o;
  }
  if (write) {
    if (o.succeeded) o.wrongSuccess = !std::equal(image.begin(), image.end(), after.flash.begin());
  } else {
    o.changedByRead = after.flash != before.flash || after.eeprom != before.eeprom || after.fuses != before.fuses ||
                      after.lock != before.lock;
  }
  return o;
}

// Where the fast set-up starts in each direction, from a run without faults: the first frame
// the program sends is its hello.
struct Stretch {
  uint64_t inFrom = 0, inTo = 0, outFrom = 0, outTo = 0;
};

Stretch Measure(const Target& t, bool write) {
  // Counted as the board counts: from the start, in both directions.
  Stretch s;
  test::CoreFixture f;
  const std::string state = test::TempDir() + "fast_faults_measure";
  std::remove(state.c_str());
  test::SimProcess board(kBoard, {"--chip", t.chip, "--state", state});
  test::RecordingDriver driver;
  SetClock(nullptr);
  OpenPort(board.path);
  RunAutosearch();
  uint64_t w = 0;
  bool found = false;
  for (const auto& p : driver.packets) {
    if (p.size() > 1 && p[0] == firmware::fast::kSof && p[1] == firmware::fast::kHello) {
      found = true;
      break;
    }
    w += p.size();
  }
  EXPECT_TRUE(found) << "no hello at Autosearch";
  s.inFrom = w + 1;
  // The answers before the hello's: eight bytes a ReadBack, all the program read so far but
  // what the set-up brought.
  uint64_t plainReads = 0;
  for (const auto& p : driver.packets) {
    if (p.size() > 1 && p[0] == firmware::fast::kSof) break;
    if (p.size() == 1 && p[0] == 0x45) plainReads += 8;
  }
  s.outFrom = plainReads + 1;
  FlashSize = t.bytes;
  std::fill(ProgramImage.begin(), ProgramImage.end(), 0x3C);
  if (write) {
    RunMemoryCommand(MemoryOperation::WriteProgram, true);
    RunMemoryCommand(MemoryOperation::VerifyProgram);
  } else {
    RunMemoryCommand(MemoryOperation::ReadProgram);
  }
  s.inTo = driver.written;
  s.outTo = driver.read;
  ClosePort();
  return s;
}

TEST(FastFaults, NoWrongSuccessNoChangeByARead) {
  if (!kBoard) GTEST_SKIP() << "quillet-gateway-avr was not built (no avr-g++ or libsimavr)";
  const char* sweep = std::getenv("QUILLET_FAULT_SWEEP");
  const uint64_t stride = !sweep ? 0 : std::string(sweep) == "full" ? 1 : std::max(1, std::atoi(sweep));
  const char* kinds[] = {"--damage", "--drop", "--dup", "--delay"};
  int cases = 0, successes = 0;
  unsigned seed = 1;
  for (const Target& t : kTargets) {
    for (const bool write : {false, true}) {
      const Stretch s = Measure(t, write);
      for (const bool toProgram : {false, true}) {
        const uint64_t from = toProgram ? s.outFrom : s.inFrom, to = toProgram ? s.outTo : s.inTo;
        ASSERT_LT(from, to);
        for (const char* kind : kinds) {
          std::vector<uint64_t> at;
          if (stride) {
            for (uint64_t n = from; n <= to; n += stride) at.push_back(n);
          } else {
            // One byte, of the set-up or of the blocks by turns, different for each case.
            std::mt19937_64 gen(seed);
            at = {from + gen() % (seed % 2 ? 40 : to - from + 1)};
          }
          if (const char* only = std::getenv("QUILLET_FAULT_ONLY")) {
            const std::string o = only;
            at = {std::stoull(o.substr(o.rfind('@') + 1))};
          }
          for (const uint64_t n : at) {
            const std::string option = std::string(kind) + (toProgram ? "-out" : "-in");
            // QUILLET_FAULT_ONLY="ATtiny85 read --drop-in @118" runs that case alone.
            const char* only = std::getenv("QUILLET_FAULT_ONLY");
            if (only && std::string(only) != std::string(t.chip) + (write ? " write " : " read ") + option + " @" +
                                                  std::to_string(n)) {
              ++seed;  // the case alone runs on the data it has in the whole sweep
              continue;
            }
            SCOPED_TRACE(std::string(t.chip) + (write ? " write and verify, " : " read, ") + option + " @" +
                         std::to_string(n));
            const Outcome o = RunCase(t, write, {option, "@" + std::to_string(n)}, seed++);
            ++cases;
            successes += o.succeeded;
            if (stride)
              std::printf("case %d: %s %s %s @%llu: %s\n", cases, t.chip, write ? "write" : "read", option.c_str(),
                          static_cast<unsigned long long>(n), o.succeeded ? "success" : "reported failure");
            EXPECT_FALSE(o.changedByRead) << "a read changed the chip";
            EXPECT_FALSE(o.wrongSuccess) << "success reported with wrong contents";
            EXPECT_FALSE(o.wrongChip) << "the plain exchanges after it found another chip";
          }
        }
      }
    }
  }
  std::printf("%d fault cases, %d ended in success, the others in a reported failure\n", cases, successes);
}

// A chip that stays busy past a write's longest wait: the write ends in a reported failure, never
// a success. The ATtiny85 is asked by Poll RDY/BSY and says so; the AT90S2313, polled by reading
// back, fails at the byte that never reads right.
TEST(FastFaults, ChipBusyPastTheLongestWait) {
  if (!kBoard) GTEST_SKIP() << "quillet-gateway-avr was not built (no avr-g++ or libsimavr)";
  for (const Target& t : kTargets) {
    SCOPED_TRACE(t.chip);
    const Outcome o = RunCase(t, true, {"--busy", "stuck"}, 11);
    EXPECT_TRUE(o.selected);
    EXPECT_FALSE(o.succeeded);
    EXPECT_FALSE(o.wrongSuccess);
    EXPECT_TRUE(o.busyReported);
  }
}

}  // namespace
}  // namespace quillet
