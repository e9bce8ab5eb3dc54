// Every chip command against the simulated gateway's fault modes, in virtual time: the log
// lines, the port state, the user's data, the progress dialog and the read waits after a fault.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <set>
#include <string>
#include <vector>

#include "chips/Catalogue.h"
#include "chips/Instruction.h"
#include "commands/Driver.h"
#include "image/Images.h"
#include "support/Fakes.h"
#include "support/SimDriver.h"

namespace quillet {
namespace {

using Bytes = std::vector<uint8_t>;
using Lines = std::vector<std::string>;

const std::string kSync = "Trying to execute the sinchronization with chip";
const std::string kEnable = "Trying to execute Programming Enable";
const std::string kNoEcho = "Trying to execute Programming Enable without echo back reading.";
const std::string kSuccess = "       Finished with success.";
const std::string kFail = "       Finished with fail.";
const std::string kFinished = "       Finished";
const std::string kNoAnswer = "Error reading the answer (SPI paket)";
const std::string kExecError = "Error executing commands: ";

enum class Cmd {
  Autosearch,
  ChipErase,
  ReadCalibration,
  ReadProgram,
  WriteProgram,
  VerifyProgram,
  ReadData,
  WriteData,
  VerifyData,
  ReadFuses,
  WriteFuses,
};

struct CmdInfo {
  Cmd cmd;
  const char* name;
  int image;  // 1 Flash, 2 EEPROM, 0 not a memory command
  char kind;  // 'r' read, 'w' write, 'v' verify, '-' none
};

const CmdInfo kCommands[] = {
    {Cmd::Autosearch, "Autosearch", 0, '-'},     {Cmd::ChipErase, "ChipErase", 0, '-'},
    {Cmd::ReadCalibration, "ReadCalibration", 0, '-'},
    {Cmd::ReadProgram, "ReadProgram", 1, 'r'},   {Cmd::WriteProgram, "WriteProgram", 1, 'w'},
    {Cmd::VerifyProgram, "VerifyProgram", 1, 'v'}, {Cmd::ReadData, "ReadData", 2, 'r'},
    {Cmd::WriteData, "WriteData", 2, 'w'},       {Cmd::VerifyData, "VerifyData", 2, 'v'},
    {Cmd::ReadFuses, "ReadFuses", 0, '-'},       {Cmd::WriteFuses, "WriteFuses", 0, '-'},
};

void Run(Cmd cmd) {
  switch (cmd) {
    case Cmd::Autosearch: RunAutosearch(); break;
    case Cmd::ChipErase: RunChipErase(); break;
    case Cmd::ReadCalibration: RunReadCalibration(); break;
    case Cmd::ReadProgram: RunMemoryCommand(MemoryOperation::ReadProgram); break;
    case Cmd::WriteProgram: RunMemoryCommand(MemoryOperation::WriteProgram); break;
    case Cmd::VerifyProgram: RunMemoryCommand(MemoryOperation::VerifyProgram); break;
    case Cmd::ReadData: RunMemoryCommand(MemoryOperation::ReadData); break;
    case Cmd::WriteData: RunMemoryCommand(MemoryOperation::WriteData); break;
    case Cmd::VerifyData: RunMemoryCommand(MemoryOperation::VerifyData); break;
    case Cmd::ReadFuses: ReadLockAndFuses(); break;
    case Cmd::WriteFuses: WriteLockAndFuses(); break;
  }
}

std::string Hex2(unsigned v) {
  char b[8];
  std::snprintf(b, sizeof b, "0x%02X", v & 0xFF);
  return b;
}

// The failure text a packet is logged with: its layout, never its run-time values.
// Written from the gateway instruction set, independent of the chip tables.
std::string Literal(const Bytes& p, bool pageFlash) {
  if (p.size() == 1) return " " + Hex2(p[0]);
  const uint8_t i1 = p[4], i2 = p[3];
  switch (i1) {
    case 0xAC:
      switch (i2) {
        case 0x53: return " 0x44 0x00 0x00 0x53 0xAC";
        case 0x80: return " 0x44 0x00 0x00 0x80 0xAC";
        case 0xA0: return " 0x44 Fuse Low 0x00 0xA0 0xAC";
        case 0xA8: return " 0x44 Fuse High 0x00 0xA8 0xAC";
        case 0xA4: return " 0x44 Fuse Extended 0x00 0xA4 0xAC";
        case 0xE0: return " 0x44 Lock 0x00 0xE0 0xAC";
      }
      break;
    case 0x20:
    case 0x28: return " 0x44 0x00 b a 0x2H";
    case 0x40:
    case 0x48: return pageFlash ? " 0x44 Data b 0x00 0x4H" : " 0x44 Data b a 0x4H";
    case 0x4C: return " 0x44 0x00 b a 0x4C";
    case 0xA0: return " 0x44 0x00 b 0x00 0xA0";
    case 0xC0: return " 0x44 Data b 0x00 0xC0";
    case 0xC1: return " 0x44 Data b 0x00 0xC1";
    case 0xC2: return " 0x44 0x00 b 0x00 0xC2";
    case 0x30: return " 0x44 0x00 i 0x00 0x30";
    case 0x38: return " 0x44 0x00 i 0x00 0x38";
    case 0x58: return i2 ? " 0x44 0x00 0x00 0x08 0x58" : " 0x44 0x00 0x00 0x00 0x58";
    case 0x50: return i2 ? " 0x44 0x00 0x00 0x08 0x50" : " 0x44 0x00 0x00 0x00 0x50";
  }
  return " (no literal known)";
}

// Sits between the link and the simulated gateway: keeps every packet that went out and
// the longest time one read waited.
class Tap : public SerialDriver {
 public:
  explicit Tap(test::SimDriver& sim) : sim_(sim) { SetSerialDriver(this); }
  ~Tap() override {
    if (&GetSerialDriver() == this) SetSerialDriver(nullptr);
  }
  int Open(const std::string& d) override { return sim_.Open(d); }
  bool GetSettings(int h) override { return sim_.GetSettings(h); }
  bool SetSettings(int h) override { return sim_.SetSettings(h); }
  void Purge(int h) override { sim_.Purge(h); }
  bool Write(int h, const uint8_t* data, int count) override {
    const bool ok = sim_.Write(h, data, count);
    (ok ? sent : failed).push_back(Bytes(data, data + count));
    return ok;
  }
  int Read(int h, uint8_t* data, int max, int expected, int timeoutMs) override {
    const int64_t t0 = sim_.NowUs();
    const int n = sim_.Read(h, data, max, expected, timeoutMs);
    longestReadUs = std::max(longestReadUs, sim_.NowUs() - t0);
    return n;
  }
  void Close(int h) override { sim_.Close(h); }
  int LastError() const override { return sim_.LastError(); }

  std::vector<Bytes> sent, failed;
  int64_t longestReadUs = 0;

 private:
  test::SimDriver& sim_;
};

uint8_t FlashPattern(size_t i) { return static_cast<uint8_t>(i * 7 + 3); }
uint8_t DataPattern(size_t i) { return static_cast<uint8_t>(0xA5 ^ (i * 13)); }

struct Outcome {
  Lines lines;
  bool portOpen = false;
  int dialogsAlive = -1;
  int dialogs = 0;
  Lines viewCalls;
  std::vector<Bytes> sent;    // packets the gateway took after the connect
  std::vector<Bytes> failed;  // packets that could not be written
  int64_t elapsedUs = 0;
  int64_t longestReadUs = 0;
  bool imageKept = true;      // the image a write or verify took from the view is unchanged
  bool imageIsChip = false;   // the image equals the chip's memory
  ChipId selected = 0;
};

struct Fault {
  sim::GatewayOptions options;  // hangupAfter and garbageAfter count from after the connect
  bool paced = false;
};

// One command on a freshly connected gateway with the chip selected; the chip holds the
// same patterns as the images, so verify succeeds when nothing goes wrong.
Outcome RunCell(const std::string& chip, Cmd cmd, const Fault& fault) {
  test::CoreFixture f;
  test::SimDriver sim(chip);
  Tap tap(sim);
  sim.paced = fault.paced;
  DelayValue = 1;
  f.Connect();
  SelectChip(FindChipByName(chip)->id);
  for (size_t i = 0; i < FlashSize; ++i) ProgramImage[i] = sim.Chip().State().flash[i] = FlashPattern(i);
  for (size_t i = 0; i < EepromSize; ++i) DataImage[i] = sim.Chip().State().eeprom[i] = DataPattern(i);
  const auto flashBefore = ProgramImage;
  const auto dataBefore = DataImage;

  sim::GatewayOptions o = fault.options;
  const long base = sim.Gateway().Commands();
  if (o.hangupAfter >= 0) o.hangupAfter += base;
  if (o.garbageAfter >= 0) o.garbageAfter += base;
  sim.Options() = o;
  f.log.lines.clear();
  tap.sent.clear();
  f.prompt.yesNo = {true};

  const int64_t t0 = sim.NowUs();
  Run(cmd);

  Outcome out;
  out.lines = f.log.lines;
  out.portOpen = PortHandle >= 0;
  out.dialogsAlive = f.progress.Alive();
  out.dialogs = static_cast<int>(f.progress.dialogs.size());
  out.viewCalls = f.views.calls;
  out.sent = tap.sent;
  out.failed = tap.failed;
  out.elapsedUs = sim.NowUs() - t0;
  out.longestReadUs = tap.longestReadUs;
  out.selected = SelectedChip;
  const CmdInfo& info = kCommands[static_cast<int>(cmd)];
  if (info.kind == 'w' || info.kind == 'v')
    out.imageKept = info.image == 1 ? ProgramImage == flashBefore : DataImage == dataBefore;
  if (info.image == 1)
    out.imageIsChip = std::equal(sim.Chip().State().flash.begin(), sim.Chip().State().flash.end(),
                                 ProgramImage.begin());
  if (info.image == 2)
    out.imageIsChip = std::equal(sim.Chip().State().eeprom.begin(),
                                 sim.Chip().State().eeprom.end(), DataImage.begin());
  return out;
}

bool StartsWith(const std::string& s, const std::string& p) { return s.rfind(p, 0) == 0; }

int Count(const Lines& lines, const std::string& prefix) {
  return static_cast<int>(std::count_if(lines.begin(), lines.end(),
                                        [&](const std::string& l) { return StartsWith(l, prefix); }));
}

std::string Dump(const Lines& lines) {
  std::string s;
  for (const std::string& l : lines) s += "  [" + l + "]\n";
  return s;
}

// What every run must show whatever went wrong: the dialog freed, the memory commands'
// frame of lines, and no read waiting past its limit.
void ExpectFrame(const CmdInfo& info, const Outcome& o) {
  EXPECT_EQ(o.dialogsAlive, 0);
  EXPECT_LE(o.longestReadUs, kReadTimeoutMs * 1000);
  if (info.image) {
    EXPECT_GE(o.dialogs, 1);
    ASSERT_GE(o.lines.size(), 3u) << Dump(o.lines);
    EXPECT_TRUE(StartsWith(o.lines[0], "Trying to ")) << Dump(o.lines);
    EXPECT_TRUE(StartsWith(o.lines[1], "Start time: ")) << Dump(o.lines);
    EXPECT_TRUE(StartsWith(o.lines.back(), "End time: ")) << Dump(o.lines);
    EXPECT_EQ(Count(o.lines, "End time: "), 1) << Dump(o.lines);
  }
  EXPECT_TRUE(o.imageKept) << "a failed write or verify changed the image it took from the view";
}

// The lines a command writes after its own start, when its Programming Enable fails with the
// given lines.
Lines EnableFailure(const CmdInfo& info, const Lines& enableLines) {
  Lines l = enableLines;
  l.push_back(kFail);
  if (info.image) {
    l.insert(l.begin(), "Start time: ");
    l.insert(l.begin(), "Trying to");
  }
  return l;
}

// A Programming Enable whose echo never comes right: the sync line, then a line for each
// reset pulse and enable tried again.
Lines EnableRetried(const std::string& what) {
  Lines l = {kSync};
  for (int n = 1; n <= kEnableRetries; ++n) l.push_back(EnableRetryLine(what, n));
  return l;
}

// The memory commands' "Trying to" line and the time lines are compared by their start only.
void ExpectLines(const Lines& want, const Lines& got) {
  ASSERT_EQ(want.size(), got.size()) << Dump(got);
  for (size_t i = 0; i < want.size(); ++i) {
    const bool prefix =
        want[i] == "Trying to" || want[i] == "Start time: " || want[i] == "End time: ";
    if (prefix) {
      EXPECT_TRUE(StartsWith(got[i], want[i])) << i << "\n" << Dump(got);
    } else {
      EXPECT_EQ(want[i], got[i]) << i << "\n" << Dump(got);
    }
  }
}

TEST(FaultMatrix, SilentGatewayEndsEveryCommandAtItsFirstReadWithThePortClosed) {
  for (const CmdInfo& info : kCommands) {
    SCOPED_TRACE(info.name);
    const Outcome o = RunCell("ATtiny2313", info.cmd, {.options = {.silent = true}});
    ExpectFrame(info, o);
    EXPECT_FALSE(o.portOpen);
    EXPECT_EQ(Count(o.lines, kNoAnswer), 1) << Dump(o.lines);
    EXPECT_EQ(Count(o.lines, kExecError), 0) << Dump(o.lines);
    if (info.image == 0 || info.kind == 'r') {
      EXPECT_TRUE(o.viewCalls.empty());
    }
    if (info.cmd == Cmd::Autosearch) {
      ExpectLines({kNoEcho, kSuccess, "Trying to read signature bytes", kNoAnswer, "No chip selected"},
                  o.lines);
      EXPECT_EQ(o.selected, 692510) << "a failed search keeps the selection";
    } else {
      Lines want = EnableFailure(info, {kSync, kNoAnswer});
      if (info.image) want.push_back("End time: ");
      ExpectLines(want, o.lines);
      // The first answer waited for as a board's start-up would be, then nothing more was sent.
      EXPECT_GE(o.longestReadUs, 1000000);
      EXPECT_LT(o.elapsedUs, (kStartWaitMs + 100) * 1000);
      ASSERT_FALSE(o.sent.empty());
      EXPECT_EQ(o.sent.back(), Bytes{0x45});
    }
  }
}

TEST(FaultMatrix, SilentGatewayBehindAChipWithoutEchoFailsAtTheFirstByteRead) {
  const CmdInfo& info = kCommands[static_cast<int>(Cmd::ReadData)];
  const Outcome o = RunCell("AT90S1200", Cmd::ReadData, {.options = {.silent = true}});
  ExpectFrame(info, o);
  ExpectLines({"Trying to", "Start time: ", kEnable, kSuccess, kNoAnswer, kFail, "End time: "},
              o.lines);
  EXPECT_FALSE(o.portOpen);
  EXPECT_TRUE(o.viewCalls.empty()) << "a failed read leaves the view as it was";
}

TEST(FaultMatrix, BadEchoFailsProgrammingEnableQuietlyAndKeepsThePortOpen) {
  for (const CmdInfo& info : kCommands) {
    SCOPED_TRACE(info.name);
    const Outcome o = RunCell("ATtiny2313", info.cmd, {.options = {.badEcho = true}});
    ExpectFrame(info, o);
    EXPECT_TRUE(o.portOpen);
    EXPECT_EQ(Count(o.lines, "Error"), 0) << Dump(o.lines);
    if (info.cmd == Cmd::Autosearch) {
      // The search reads no echo, so a spoiled one does not matter.
      EXPECT_EQ(o.lines.back(), "Selected chip is  ATtiny2313");
      continue;
    }
    Lines want = EnableFailure(info, EnableRetried("echo 0xA6, not 0x53"));
    if (info.image) want.push_back("End time: ");
    ExpectLines(want, o.lines);
    // Each try is reset pulse, load, execute, read back; nothing was sent after the last.
    ASSERT_FALSE(o.sent.empty());
    EXPECT_EQ(o.sent.back(), Bytes{0x45});
    EXPECT_EQ(o.sent.size(), 5u * (kEnableRetries + 1));
    if (info.kind == 'r') {
      EXPECT_TRUE(o.viewCalls.empty());
    }
  }
}

TEST(FaultMatrix, OneByteAnswersAreUsedButCarryNoEcho) {
  for (const CmdInfo& info : kCommands) {
    SCOPED_TRACE(info.name);
    const Outcome o = RunCell("ATtiny2313", info.cmd, {.options = {.shortAnswer = 1}});
    ExpectFrame(info, o);
    EXPECT_TRUE(o.portOpen);
    EXPECT_EQ(Count(o.lines, "Error"), 0) << Dump(o.lines);
    // A short answer waits out the read limit, no longer.
    EXPECT_GE(o.longestReadUs, 1000000);
    if (info.cmd == Cmd::Autosearch) {
      EXPECT_EQ(o.lines.back(), "Selected chip is  ATtiny2313");
      EXPECT_EQ(o.selected, 692510);
      continue;
    }
    Lines want = EnableFailure(info, EnableRetried("no echo"));
    if (info.image) want.push_back("End time: ");
    ExpectLines(want, o.lines);
  }
  // A chip whose enable reads no echo takes the one byte as the value.
  for (Cmd cmd : {Cmd::ReadData, Cmd::VerifyData}) {
    const CmdInfo& info = kCommands[static_cast<int>(cmd)];
    SCOPED_TRACE(info.name);
    const Outcome o = RunCell("AT90S1200", cmd, {.options = {.shortAnswer = 1}});
    ExpectFrame(info, o);
    EXPECT_TRUE(o.portOpen);
    EXPECT_TRUE(o.imageIsChip);
    EXPECT_EQ(o.lines[o.lines.size() - 2],
              cmd == Cmd::ReadData ? kFinished : kFinished + ". No differences found.");
    if (cmd == Cmd::ReadData) {
      EXPECT_EQ(o.viewCalls, (Lines{"i2v 3 2"}));
    }
  }
}

// Extra bytes that come with an answer are read with it and change nothing.
TEST(FaultMatrix, ExtraBytesReadWithTheAnswerChangeNothing) {
  for (const CmdInfo& info : kCommands) {
    SCOPED_TRACE(info.name);
    const Outcome clean = RunCell("ATtiny2313", info.cmd, {});
    const Outcome o = RunCell("ATtiny2313", info.cmd, {.options = {.garbageAfter = 0}});
    ExpectFrame(info, o);
    EXPECT_TRUE(o.portOpen);
    EXPECT_EQ(o.lines, clean.lines);
    EXPECT_EQ(o.selected, clean.selected);
    if (info.image) {
      EXPECT_TRUE(o.imageIsChip);
    }
  }
}

// Extra bytes that arrive after a read has its eight stay queued and lead the next answer,
// as the gateway contract has it; the commands may then end in a failure line, but each
// still closes properly: no hang, one end time, the progress dialog freed.
TEST(FaultMatrix, LateExtraBytesLeadTheNextAnswerButEveryCommandCloses) {
  for (const CmdInfo& info : kCommands) {
    SCOPED_TRACE(info.name);
    const Outcome o =
        RunCell("ATtiny2313", info.cmd, {.options = {.garbageAfter = 0}, .paced = true});
    ExpectFrame(info, o);
  }
}

// Hang-ups at several points of each command: in the programming enable, at the first
// instruction after it, in the middle, and at the last packet. The packet that cannot be
// written is named once; the command stops there with the port closed.
TEST(FaultMatrix, HangUpNamesTheFailingPacketAndClosesThePort) {
  for (const CmdInfo& info : kCommands) {
    const Outcome clean = RunCell("ATtiny2313", info.cmd, {});
    const long total = static_cast<long>(clean.sent.size());
    ASSERT_GT(total, 5) << info.name;
    const long enableLength = info.cmd == Cmd::Autosearch ? 4 : 5;
    std::set<long> points = {1, 3, enableLength, total / 2, total - 1};
    if (info.cmd != Cmd::Autosearch) points.insert(4);
    for (long n : points) {
      SCOPED_TRACE(std::string(info.name) + " hang-up after " + std::to_string(n) + " of " +
                   std::to_string(total));
      const Outcome o = RunCell("ATtiny2313", info.cmd, {.options = {.hangupAfter = n}});
      ExpectFrame(info, o);
      EXPECT_FALSE(o.portOpen);
      ASSERT_EQ(o.sent.size(), static_cast<size_t>(n));
      const Bytes& failing = clean.sent[n];
      ASSERT_EQ(o.failed.size(), 1u);
      EXPECT_EQ(o.failed[0], failing);
      EXPECT_EQ(Count(o.lines, kExecError), 1) << Dump(o.lines);
      EXPECT_EQ(Count(o.lines, kExecError + Literal(failing, true)), 1) << Dump(o.lines);
      EXPECT_EQ(Count(o.lines, kNoAnswer), 0);
      // After a hang-up the reads end at once.
      EXPECT_LE(o.elapsedUs, clean.elapsedUs);
      if (info.kind == 'r' || info.image == 0) {
        EXPECT_TRUE(o.viewCalls.empty());
      }

      const bool inEnable = n < enableLength;
      std::string result = kFail;
      if (info.cmd == Cmd::Autosearch && !inEnable) result = "No chip selected";
      if (info.kind == 'v' && !inEnable) {
        // The address of the byte whose exchange broke off; none while the signature that
        // checks the chip was being read.
        long reads = 0;
        for (long i = 0; i <= n; ++i)
          if (clean.sent[i].size() == 5 && clean.sent[i][4] != 0xAC && clean.sent[i][4] != 0x30) ++reads;
        char buf[48];
        std::snprintf(buf, sizeof buf, " with fail. Address: 0x%04lX", reads - 1);
        if (reads > 0) result = kFinished + buf;
      }
      ASSERT_GE(o.lines.size(), 2u);
      EXPECT_EQ(o.lines[o.lines.size() - (info.image ? 2 : 1)], result) << Dump(o.lines);
      if (info.cmd == Cmd::Autosearch) {
        EXPECT_EQ(o.selected, 692510);
      }
    }
  }
}

// A closed port stays closed for the next command: it fails at its first packet and says so.
TEST(FaultMatrix, NextCommandAfterAFaultFailsAtItsFirstPacket) {
  test::CoreFixture f;
  test::SimDriver sim("ATtiny2313", {.silent = true});
  f.Connect();
  SelectChip(692510);
  RunMemoryCommand(MemoryOperation::ReadData);
  ASSERT_EQ(PortHandle, -1);
  f.log.lines.clear();
  RunMemoryCommand(MemoryOperation::VerifyProgram);
  ExpectLines({"Trying to", "Start time: ", kSync, kExecError + " 0x48", kFail, "End time: "},
              f.log.lines);
  EXPECT_EQ(f.progress.Alive(), 0);
}

}  // namespace
}  // namespace quillet
