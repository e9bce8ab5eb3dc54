// Memory commands over the real serial code against the simulator program, on the real clock.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "chips/Catalogue.h"
#include "commands/Driver.h"
#include "image/Images.h"
#include "link/Port.h"
#include "sim/SimChip.h"
#include "support/CountingDriver.h"
#include "support/Fakes.h"
#include "support/SimProcess.h"

namespace quillet {
namespace {

using SteadyClock = std::chrono::steady_clock;

// The simulator program over its pseudo-terminal.
struct SimProcess : quillet::test::SimProcess {
  explicit SimProcess(const std::vector<std::string>& args)
      : quillet::test::SimProcess(QUILLET_SIM_BINARY, args) {}
};

// The core on the real serial driver and clock, the log and views recorded.
struct PtyBench {
  PtyBench() {
    SetSerialDriver(nullptr);
    SetClock(nullptr);
    savedDelay = DelayValue;
    DelayValue = 0;
  }
  ~PtyBench() {
    ClosePort();
    DelayValue = savedDelay;
  }
  std::string ResultLine() const {
    const auto& l = f.log.lines;
    if (l.size() < 2 || l.back().rfind("End time: ", 0) != 0) return "(no end time line)";
    return l[l.size() - 2];
  }
  test::CoreFixture f;
  int savedDelay;
};

std::string Dir() { return test::TempDir(); }

TEST(MemoryPty, WriteAndVerifyReachTheSimulatedChip) {
  const std::string link = Dir() + "memory_pty_gw", state = Dir() + "memory_pty_state";
  std::remove(state.c_str());
  SimProcess sim({"--link", link, "--chip", "ATtiny2313", "--state", state});
  ASSERT_FALSE(sim.path.empty());
  PtyBench b;
  OpenPort(link);
  ASSERT_GE(PortHandle, 0);
  SelectChip(FindChipByName("ATtiny2313")->id);

  std::mt19937 gen(2313);
  std::vector<uint8_t> data(FlashSize);
  for (uint8_t& v : data) v = static_cast<uint8_t>(gen());
  std::copy(data.begin(), data.end(), ProgramImage.begin());
  b.f.prompt.yesNo = {true};
  RunMemoryCommand(MemoryOperation::WriteProgram);
  ASSERT_EQ(b.ResultLine(), "       Finished");
  RunMemoryCommand(MemoryOperation::VerifyProgram);
  EXPECT_EQ(b.ResultLine(), "       Finished. No differences found.");
  ClosePort();

  EXPECT_EQ(sim.Stop(SIGTERM), 0);
  sim::SimChipState s;
  ASSERT_TRUE(sim::LoadSimState(state, s));
  EXPECT_EQ(s.flash, data);
  std::printf("timing violations counted by the simulator: %llu\n",
              static_cast<unsigned long long>(s.violations));
}

// Kills the simulator once the bar reaches a quarter.
class KillingProgress : public ProgressFactory {
 public:
  explicit KillingProgress(SimProcess& sim) : sim_(sim) {}
  std::unique_ptr<ProgressDialog> Create() override {
    struct Dialog : ProgressDialog {
      KillingProgress* owner;
      void SetPosition(int percent) override {
        if (percent >= 25 && !owner->killed) {
          owner->sim_.Stop(SIGKILL);
          owner->killed = true;
          owner->killedAt = SteadyClock::now();
        }
      }
    };
    auto d = std::make_unique<Dialog>();
    d->owner = this;
    return d;
  }
  bool killed = false;
  SteadyClock::time_point killedAt;

 private:
  SimProcess& sim_;
};

TEST(MemoryPty, GatewayGoneInTheMiddleOfARead) {
  const std::string link = Dir() + "memory_pty_gw2", state = Dir() + "memory_pty_state2";
  std::remove(state.c_str());
  SimProcess sim({"--link", link, "--chip", "ATtiny2313", "--state", state});
  ASSERT_FALSE(sim.path.empty());
  test::CountingDriver driver;  // outlives the bench, which closes the port
  PtyBench b;
  SetSerialDriver(&driver);
  KillingProgress progress(sim);
  SetProgressFactory(&progress);
  OpenPort(link);
  ASSERT_GE(PortHandle, 0);
  SelectChip(FindChipByName("ATtiny2313")->id);
  b.f.ClearRecords();
  b.f.views.calls.clear();

  driver.shortReads = 0;
  RunMemoryCommand(MemoryOperation::ReadProgram);
  const auto returnedAt = SteadyClock::now();
  SetProgressFactory(&b.f.progress);
  ASSERT_TRUE(progress.killed);

  EXPECT_TRUE(b.f.views.calls.empty()) << "the view keeps its old contents";
  const auto& lines = b.f.log.lines;
  ASSERT_GE(lines.size(), 3u);
  EXPECT_EQ(b.ResultLine(), "       Finished with fail.");
  const std::string failing = lines[lines.size() - 3];
  EXPECT_TRUE(failing == "Error reading the answer (SPI paket)" ||
              failing.rfind("Error executing commands:  0x4", 0) == 0)
      << failing;
  EXPECT_EQ(PortHandle, -1);
  // The exchange in flight fails, and no read after it waits out a deadline.
  EXPECT_LE(driver.shortReads, 1);
  const auto ms =
      std::chrono::duration_cast<std::chrono::milliseconds>(returnedAt - progress.killedAt).count();
  std::printf("returned %lld ms after the kill, on: %s\n", static_cast<long long>(ms), failing.c_str());
}

// A programmed RSTDISBL shuts the programmer out across runs, until the simulator is started
// once with --reset-fuses.
TEST(MemoryPty, ResetDisableLockoutAndItsRecovery) {
  const std::string link = Dir() + "memory_pty_gw3", state = Dir() + "memory_pty_state3";
  sim::SimChip chip(*sim::FindSimChip("ATtiny2313"));
  chip.State().fuses[1] &= 0xFE;  // RSTDISBL
  ASSERT_TRUE(sim::SaveSimState(state, chip.State()));

  struct Run {
    std::vector<std::string> extra;
    const char* selected;
  } runs[] = {
      {{}, "       Finished with fail."},  // no chip answers
      {{"--reset-fuses"}, "Selected chip is  ATtiny2313"},
      {{}, "Selected chip is  ATtiny2313"},
  };
  for (const Run& r : runs) {
    std::vector<std::string> args{"--link", link, "--chip", "ATtiny2313", "--state", state};
    args.insert(args.end(), r.extra.begin(), r.extra.end());
    SimProcess sim(args);
    ASSERT_FALSE(sim.path.empty());
    PtyBench b;
    OpenPort(link);
    ASSERT_GE(PortHandle, 0);
    RunAutosearch();
    ASSERT_FALSE(b.f.log.lines.empty());
    EXPECT_EQ(b.f.log.lines.back(), r.selected) << (r.extra.empty() ? "" : r.extra[0]);
  }
  std::remove(state.c_str());
}

}  // namespace
}  // namespace quillet
