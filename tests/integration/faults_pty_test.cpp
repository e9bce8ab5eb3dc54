// A few cells of the fault matrix for real: the termios driver and the real clock against the
// simulator program with its fault options, over a pseudo-terminal.
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <set>
#include <string>
#include <vector>

#include "chips/Catalogue.h"
#include "chips/Instruction.h"
#include "commands/Driver.h"
#include "image/Images.h"
#include "link/Port.h"
#include "support/CountingDriver.h"
#include "support/Fakes.h"
#include "support/SimProcess.h"

namespace quillet {
namespace {

using Lines = std::vector<std::string>;
using SteadyClock = std::chrono::steady_clock;

const std::string kSync = "Trying to execute the sinchronization with chip";
const std::string kFail = "       Finished with fail.";
const std::string kNoAnswer = "Error reading the answer (SPI paket)";
const std::string kExecError = "Error executing commands: ";

// The simulator program over its pseudo-terminal.
struct SimProgram : quillet::test::SimProcess {
  explicit SimProgram(const std::vector<std::string>& args)
      : quillet::test::SimProcess(QUILLET_SIM_BINARY, args) {}
};

bool StartsWith(const std::string& s, const std::string& p) { return s.rfind(p, 0) == 0; }

// A Programming Enable that never gets its echo: a line for each reset pulse and try again,
// then the fail line.
Lines EnableRetriedAndFailed(const std::string& what) {
  Lines l = {kSync};
  for (int n = 1; n <= kEnableRetries; ++n) l.push_back(EnableRetryLine(what, n));
  l.push_back(kFail);
  return l;
}

std::string Dump(const Lines& lines) {
  std::string s;
  for (const std::string& l : lines) s += "  [" + l + "]\n";
  return s;
}

// Connects to the simulator through the real driver, selects the chip, runs one command;
// the lines it logged, the reads that came back short and the real duration.
struct Result {
  Lines lines;
  bool portOpen = false;
  int dialogsAlive = -1;
  Lines viewCalls;
  std::vector<uint8_t> data;  // the first 128 bytes of DataImage afterwards
  int shortReads = -1;
  double seconds = 0;
};

template <typename Command>
Result RunAgainst(const std::vector<std::string>& simArgs, const char* chip, Command command) {
  Result r;
  test::CountingDriver driver;
  test::CoreFixture f;
  SetSerialDriver(&driver);
  SetClock(nullptr);
  SimProgram sim(simArgs);
  EXPECT_FALSE(sim.path.empty());
  if (sim.path.empty()) return r;
  DelayValue = 1;
  OpenPort(sim.path);
  EXPECT_GE(PortHandle, 0) << Dump(f.log.lines);
  SelectChip(FindChipByName(chip)->id);
  f.log.lines.clear();
  f.prompt.yesNo = {true};
  driver.shortReads = 0;
  const auto t0 = SteadyClock::now();
  command();
  r.seconds = std::chrono::duration<double>(SteadyClock::now() - t0).count();
  r.shortReads = driver.shortReads;
  r.lines = f.log.lines;
  r.portOpen = PortHandle >= 0;
  r.dialogsAlive = f.progress.Alive();
  r.viewCalls = f.views.calls;
  r.data.assign(DataImage.begin(), DataImage.begin() + 128);
  ClosePort();
  return r;
}

void ExpectMemoryFrame(const Result& r) {
  ASSERT_GE(r.lines.size(), 3u) << Dump(r.lines);
  EXPECT_TRUE(StartsWith(r.lines[1], "Start time: ")) << Dump(r.lines);
  EXPECT_TRUE(StartsWith(r.lines.back(), "End time: ")) << Dump(r.lines);
  EXPECT_EQ(r.dialogsAlive, 0);
}

// The first answer since the port opened is waited for as long as a board takes to restart.
TEST(FaultsOverPty, SilentGatewayFailsTheFirstReadAfterTheStartUpWait) {
  const int reads = 1 + (kStartWaitMs - kReadTimeoutMs) / kStartTryMs;
  const Result r = RunAgainst({"--silent"}, "ATtiny2313",
                              [] { RunMemoryCommand(MemoryOperation::ReadProgram); });
  ExpectMemoryFrame(r);
  EXPECT_EQ(Lines(r.lines.begin() + 2, r.lines.end() - 1), (Lines{kSync, kNoAnswer, kFail}));
  EXPECT_FALSE(r.portOpen);
  EXPECT_TRUE(r.viewCalls.empty());
  EXPECT_EQ(r.shortReads, reads);
  EXPECT_GE(r.seconds, kStartWaitMs / 1000.0 - 0.05) << "the real deadline was waited out";

  const Result s = RunAgainst({"--silent"}, "ATtiny2313", [] { RunAutosearch(); });
  EXPECT_EQ(s.lines, (Lines{"Trying to execute Programming Enable without echo back reading.",
                            "       Finished with success.", "Trying to read signature bytes",
                            kNoAnswer, "No chip selected"}));
  EXPECT_FALSE(s.portOpen);
  EXPECT_EQ(s.shortReads, reads);
}

TEST(FaultsOverPty, OneByteAnswerHasNoEchoButItsValueIsUsed) {
  const Result r = RunAgainst({"--short-answer", "1"}, "ATtiny2313", [] { RunChipErase(); });
  EXPECT_EQ(r.lines, EnableRetriedAndFailed("no echo"));
  EXPECT_TRUE(r.portOpen);
  EXPECT_EQ(r.dialogsAlive, 0);
  EXPECT_EQ(r.shortReads, kEnableRetries + 1);

  // A chip whose enable reads no echo takes the one byte as the value read.
  const Result d = RunAgainst({"--short-answer", "1", "--chip", "AT90S1200"}, "AT90S1200", [] {
    DataImage.fill(0x00);
    // Only a few bytes: each short answer waits out the read limit.
    EepromSize = 2;
    RunMemoryCommand(MemoryOperation::ReadData);
  });
  ExpectMemoryFrame(d);
  EXPECT_EQ(d.lines[d.lines.size() - 2], "       Finished") << Dump(d.lines);
  EXPECT_EQ(d.data[0], 0xFF);
  EXPECT_EQ(d.data[1], 0xFF);
  EXPECT_TRUE(d.portOpen);
  EXPECT_EQ(d.shortReads, 3 + 2);  // the signature that checks the chip, then the data
}

TEST(FaultsOverPty, BadEchoFailsQuietlyAndKeepsThePortOpen) {
  const Result r = RunAgainst({"--bad-echo"}, "ATtiny2313",
                              [] { RunMemoryCommand(MemoryOperation::VerifyData); });
  ExpectMemoryFrame(r);
  EXPECT_EQ(Lines(r.lines.begin() + 2, r.lines.end() - 1), EnableRetriedAndFailed("echo 0xA6, not 0x53"));
  EXPECT_TRUE(r.portOpen);
  EXPECT_EQ(r.shortReads, 0);
}

// One error line, naming one of the packets that can meet the closed line (which one depends on
// how soon the simulator gets to close it), then the fail line; the port closed.
void ExpectOneHangUpError(const Result& r, const std::set<std::string>& allowed) {
  ExpectMemoryFrame(r);
  const long errors = std::count_if(r.lines.begin(), r.lines.end(), [](const std::string& l) {
    return StartsWith(l, "Error");
  });
  EXPECT_EQ(errors, 1) << Dump(r.lines);
  ASSERT_GE(r.lines.size(), 4u);
  EXPECT_TRUE(allowed.count(r.lines[r.lines.size() - 3])) << Dump(r.lines);
  EXPECT_EQ(r.lines[r.lines.size() - 2], kFail);
  EXPECT_FALSE(r.portOpen);
  EXPECT_LE(r.shortReads, 1);
}

TEST(FaultsOverPty, HangUpNamesThePacketThatCouldNotGoOut) {
  // Four set-up commands, then ResetHigh and ResetLow: the line is normally gone by the time
  // the 20 ms after ResetLow have passed, so the Programming Enable instruction cannot be
  // written; a simulator slow to close it lets that packet through and stops a later one. One
  // quick to close it fails the drain of ResetLow itself: the line was gone before its bytes
  // were known to be out.
  const Result r = RunAgainst({"--hangup-after", "6"}, "ATtiny2313",
                              [] { RunMemoryCommand(MemoryOperation::WriteProgram); });
  ExpectOneHangUpError(r, {kExecError + " 0x47", kExecError + " 0x44 0x00 0x00 0x53 0xAC",
                           kExecError + " 0x46", kExecError + " 0x45", kNoAnswer});
  ASSERT_GE(r.lines.size(), 3u);
  EXPECT_EQ(r.lines[2], kSync);

  // In the middle of the reads (after the ReadBack of the 11th byte).
  const Result m = RunAgainst({"--hangup-after", std::to_string(4 + 5 + 3 * 11)}, "ATtiny2313",
                              [] { RunMemoryCommand(MemoryOperation::ReadProgram); });
  ExpectOneHangUpError(m, {kExecError + " 0x44 0x00 b a 0x2H", kExecError + " 0x46",
                           kExecError + " 0x45", kNoAnswer});
  EXPECT_TRUE(m.viewCalls.empty());
}

TEST(FaultsOverPty, ExtraAnswerBytesAreReadWithTheAnswer) {
  const Result r = RunAgainst({"--garbage-after", "4"}, "ATtiny2313", [] {
    DataImage.fill(0x00);
    RunMemoryCommand(MemoryOperation::ReadData);
  });
  ExpectMemoryFrame(r);
  EXPECT_EQ(r.lines[r.lines.size() - 2], "       Finished") << Dump(r.lines);
  EXPECT_TRUE(r.portOpen);
  // The factory chip's EEPROM is erased: any extra byte taken as data would show.
  EXPECT_EQ(r.data, std::vector<uint8_t>(128, 0xFF));
  EXPECT_EQ(r.shortReads, 0);
}

}  // namespace
}  // namespace quillet
