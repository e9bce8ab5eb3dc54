// Newer chips over the real serial code against the simulator program: an ATmega328P through
// the window's memory commands, and an ATmega2560's Flash across the 64 K-word boundary
// through the jobs, checked in the simulator's state file and trace.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "chips/Catalogue.h"
#include "commands/Driver.h"
#include "commands/Jobs.h"
#include "image/Images.h"
#include "link/Port.h"
#include "sim/SimChip.h"
#include "support/Fakes.h"
#include "support/SimProcess.h"

namespace quillet {
namespace {

// The core on the real serial driver and clock, with the log and prompts recorded.
struct PtyBench {
  PtyBench() {
    SetSerialDriver(nullptr);
    SetClock(nullptr);
    DelayValue = 0;
  }
  ~PtyBench() {
    ClosePort();
    DelayValue = 1;
    ResetSelectionState();
  }
  // The line before the end time line: the command's result.
  std::string Result() const {
    const auto& l = f.log.lines;
    return l.size() < 2 ? "(no result)" : l[l.size() - 2];
  }
  test::CoreFixture f;
};

using test::RandomBytes;

TEST(NewChipsPty, Atmega328pEraseWriteVerifyReadBothMemories) {
  const std::string& dir = test::TempDir();
  const std::string link = dir + "newchips_328p_gw", state = dir + "newchips_328p_state";
  // A chip full of zeros and an EEPROM of 0x12, so that the erase has something to do.
  sim::SimChipState before;
  before.chip = "ATmega328P";
  before.flash.assign(32768, 0x00);
  before.eeprom.assign(1024, 0x12);
  before.fuses = {0x62, 0xD9, 0xFF};
  before.lock = 0xFF;
  ASSERT_TRUE(sim::SaveSimState(state, before));

  test::SimProcess sim(QUILLET_SIM_BINARY, {"--link", link, "--chip", "ATmega328P", "--state", state});
  ASSERT_FALSE(sim.path.empty());
  PtyBench b;
  OpenPort(link);
  ASSERT_GE(PortHandle, 0);
  SelectChip(FindChipByName("ATmega328P")->id);
  ASSERT_EQ(FlashSize, 32768u);
  ASSERT_EQ(EepromSize, 1024u);

  b.f.prompt.yesNo = {true};
  RunChipErase();
  ASSERT_EQ(b.f.log.lines.back(), "       Finished with success.");

  const std::vector<uint8_t> flash = RandomBytes(FlashSize, 328), eeprom = RandomBytes(EepromSize, 329);
  struct Memory {
    MemoryOperation write, verify, read;
    const std::vector<uint8_t>& data;
    uint8_t* image;
  } memories[] = {
      {MemoryOperation::WriteProgram, MemoryOperation::VerifyProgram, MemoryOperation::ReadProgram, flash,
       ProgramImage.data()},
      {MemoryOperation::WriteData, MemoryOperation::VerifyData, MemoryOperation::ReadData, eeprom,
       DataImage.data()},
  };
  for (const Memory& m : memories) {
    std::copy(m.data.begin(), m.data.end(), m.image);
    b.f.prompt.yesNo = {true};
    RunMemoryCommand(m.write);
    ASSERT_EQ(b.Result(), "       Finished");
    RunMemoryCommand(m.verify);
    EXPECT_EQ(b.Result(), "       Finished. No differences found.");
    std::fill(m.image, m.image + m.data.size(), 0x00);
    RunMemoryCommand(m.read);
    EXPECT_EQ(b.Result(), "       Finished");
    EXPECT_TRUE(std::equal(m.data.begin(), m.data.end(), m.image));
  }
  ClosePort();

  EXPECT_EQ(sim.Stop(SIGTERM), 0);
  sim::SimChipState after;
  ASSERT_TRUE(sim::LoadSimState(state, after));
  EXPECT_EQ(after.flash, flash);
  EXPECT_EQ(after.eeprom, eeprom);
  EXPECT_EQ(after.violations, 0u);
}

// Bytes on both sides of the 64 K-word boundary and at the end of Flash reach the right cells;
// the trace shows Load Extended Address before each side's first access.
TEST(NewChipsPty, Atmega2560FlashAcrossThe64KWordBoundary) {
  const std::string& dir = test::TempDir();
  const std::string link = dir + "newchips_2560_gw", state = dir + "newchips_2560_state",
                    trace = dir + "newchips_2560_trace";
  std::remove(state.c_str());
  test::SimProcess sim(QUILLET_SIM_BINARY,
                       {"--link", link, "--chip", "ATmega2560", "--state", state, "--trace", trace});
  ASSERT_FALSE(sim.path.empty());
  PtyBench b;
  OpenPort(link);
  ASSERT_GE(PortHandle, 0);
  SelectChip(FindChipByName("ATmega2560")->id);
  ASSERT_EQ(FlashSize, 0x40000u);

  FileImage image;
  std::vector<uint8_t> expected(FlashSize, 0xFF);
  std::mt19937 gen(2560);
  auto hold = [&](uint32_t from, uint32_t to) {
    for (uint32_t a = from; a < to; ++a) {
      const uint8_t v = static_cast<uint8_t>(gen() | 1);  // never blank, so every page is sent
      image.Put(a, v);
      expected[a] = v;
    }
  };
  hold(0x1FF00, 0x20100);
  hold(0x3FF00, 0x3FF10);

  ASSERT_TRUE(EraseChip());
  JobResult written;
  ASSERT_TRUE(WriteMemoryJob(Memory::Flash, image, false, written)) << written.failure;
  EXPECT_EQ(written.pagesWritten, 3u);  // 0x1FF00, 0x20000, 0x3FF00
  JobResult verified;
  ASSERT_TRUE(VerifyMemoryJob(Memory::Flash, image, verified)) << verified.failure;
  EXPECT_FALSE(verified.mismatch);
  EXPECT_EQ(verified.bytes, image.HeldCount());
  // A byte just above the boundary that differs is found at its own address.
  FileImage changed = image;
  changed.Put(0x20010, static_cast<uint8_t>(~expected[0x20010]));
  JobResult differs;
  EXPECT_FALSE(VerifyMemoryJob(Memory::Flash, changed, differs));
  EXPECT_TRUE(differs.mismatch);
  EXPECT_EQ(differs.mismatchAddress, 0x20010u);
  ClosePort();

  EXPECT_EQ(sim.Stop(SIGTERM), 0);
  sim::SimChipState after;
  ASSERT_TRUE(sim::LoadSimState(state, after));
  ASSERT_EQ(after.flash.size(), expected.size());
  for (uint32_t a = 0; a < expected.size(); ++a)
    if (after.flash[a] != expected[a]) {
      ADD_FAILURE() << "Flash byte 0x" << std::hex << a << " is " << int(after.flash[a]) << ", expected "
                    << int(expected[a]);
      break;
    }
  EXPECT_EQ(after.violations, 0u);

  // In the write, the page below the boundary is committed with extended address 00, and the
  // extended address 01 comes before the first page load above it. The steps are compared
  // without their values and without a timing warning, which tells only how promptly the
  // simulator read the line.
  std::ifstream in(trace);
  std::vector<std::string> steps;
  for (std::string line; std::getline(in, line);) {
    for (const char* kind : {"Load extended address", "Write page at word", "Load page word 00 low"}) {
      const size_t at = line.find(kind);
      if (at == std::string::npos) continue;
      const size_t end = std::min(line.find(" =", at), line.find(" (warning", at));
      steps.push_back(line.substr(at, end - at));
    }
  }
  const std::vector<std::string> write = {
      "Load extended address 00", "Load page word 00 low", "Write page at word FF80",
      "Load extended address 01", "Load page word 00 low", "Write page at word 0000",
      "Load page word 00 low",    "Write page at word FF80"};
  ASSERT_GE(steps.size(), write.size());
  EXPECT_EQ(std::vector<std::string>(steps.begin(), steps.begin() + write.size()), write);
}

}  // namespace
}  // namespace quillet
