// The six memory buttons, run through the driver against the recording fake gateway.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "chips/Catalogue.h"
#include "commands/Driver.h"
#include "image/Images.h"
#include "support/Fakes.h"

namespace quillet {
namespace {

const std::string kStart = "Start time: 12:0:0";
const std::string kEnd = "End time: 12:0:0";

// A chip behind the gateway: answers Programming Enable with the echo, its signature (the
// selected chip's) and reads from its memories.
struct FakeChip {
  ChipId signature = 0;
  std::vector<uint8_t> flash = std::vector<uint8_t>(262144, 0);
  std::vector<uint8_t> eeprom = std::vector<uint8_t>(65536, 0);
  bool badEcho = false;
  long emptyAt = -1;  // from the read with this 0-based index on, no answer comes
  long reads = 0;

  std::vector<uint8_t> Answer(const std::vector<uint8_t>& in) {
    if (reads++ >= emptyAt && emptyAt >= 0) return {};
    std::vector<uint8_t> a(8, 0);
    if (in[0] == 0xAC && in[1] == 0x53) a[1] = badEcho ? 0x00 : 0x53;
    if (in[0] == 0x20 || in[0] == 0x28)
      a[0] = flash[((in[1] << 8 | in[2]) << 1) + (in[0] == 0x28 ? 1 : 0)];
    if (in[0] == 0xA0) a[0] = eeprom[in[1] << 8 | in[2]];
    if (in[0] == 0x30) a[0] = static_cast<uint8_t>(signature >> (8 * (in[2] % 3)));
    return a;
  }
};

struct DriverFixture : test::CoreFixture {
  FakeChip chip;
  explicit DriverFixture(const char* chipName = nullptr) {
    if (chipName) SelectChip(FindChipByName(chipName)->id);
    chip.signature = SelectedChip;
    Connect();
    for (size_t i = 0; i < chip.flash.size(); ++i) chip.flash[i] = static_cast<uint8_t>(i * 7 + 1);
    for (size_t i = 0; i < chip.eeprom.size(); ++i) chip.eeprom[i] = static_cast<uint8_t>(i * 3 + 5);
    port.responder = [this](const std::vector<uint8_t>& in) { return chip.Answer(in); };
  }
  // The instructions sent (bus order, hex), in order.
  std::vector<std::string> Instructions() const { return port.Instructions(); }
  size_t CountInstructions(const std::string& prefix) const {
    size_t n = 0;
    for (const std::string& i : Instructions()) n += i.rfind(prefix, 0) == 0;
    return n;
  }
  std::vector<std::string> Tail(size_t n) const {
    return {log.lines.end() - static_cast<long>(std::min(n, log.lines.size())), log.lines.end()};
  }
};

struct OpCase {
  MemoryOperation op;
  const char* trying;
  const char* view;  // the views call before the chip steps, or ""
};
const OpCase kOps[] = {
    {MemoryOperation::ReadProgram, "Trying to read the program", ""},
    {MemoryOperation::WriteProgram, "Trying to write the program", "v2i 1 1"},
    {MemoryOperation::VerifyProgram, "Trying to verify the program", "v2i 1 1"},
    {MemoryOperation::ReadData, "Trying to read the EEPROM", ""},
    {MemoryOperation::WriteData, "Trying to write the EEPROM", "v2i 3 2"},
    {MemoryOperation::VerifyData, "Trying to verify the EEPROM", "v2i 3 2"},
};

TEST(Driver, NoChipAndUnknownChipSendNothing) {
  for (ChipId id : {0, 0x123456}) {
    for (const OpCase& c : kOps) {
      DriverFixture f;
      SelectedChip = id;
      f.prompt.yesNo = {true};
      RunMemoryCommand(c.op);
      const std::string third = id ? "Selected chip is  unknown" : "No chip selected";
      EXPECT_EQ(f.log.lines, (std::vector<std::string>{c.trying, kStart, third, kEnd})) << c.trying;
      EXPECT_TRUE(f.port.trace.empty()) << c.trying;
      EXPECT_EQ(f.views.calls, *c.view ? std::vector<std::string>{c.view} : std::vector<std::string>{});
      ASSERT_EQ(f.progress.dialogs.size(), 1u);
      EXPECT_EQ(f.progress.Alive(), 0);
    }
  }
}

TEST(Driver, AnswerNoToAWriteDoesNothing) {
  struct {
    MemoryOperation op;
    const char* asked;
  } cases[] = {
      {MemoryOperation::WriteProgram,
       "Warning|All previous chip data will be lost (Flash, EEPROM, Lock Bits). Are you sure?"},
      {MemoryOperation::WriteData, "Warning|All previous chip data will be lost (EEPROM). Are you sure?"},
  };
  for (const auto& c : cases) {
    DriverFixture f("ATtiny2313");
    RunMemoryCommand(c.op);
    EXPECT_EQ(f.prompt.asked, std::vector<std::string>{c.asked});
    EXPECT_TRUE(f.log.lines.empty());
    EXPECT_TRUE(f.port.trace.empty());
    EXPECT_TRUE(f.views.calls.empty());
    EXPECT_TRUE(f.progress.dialogs.empty());
  }
}

TEST(Driver, ReadProgramFillsImageAndActiveView) {
  for (int page : {0, 1, 2}) {
    DriverFixture f("ATtiny2313");
    f.views.page = page;
    RunMemoryCommand(MemoryOperation::ReadProgram);
    EXPECT_TRUE(std::equal(ProgramImage.begin(), ProgramImage.begin() + 2048, f.chip.flash.begin()));
    EXPECT_EQ(ProgramImage[2048], 0xFF);
    const std::vector<std::string> expectViews =
        page == 2 ? std::vector<std::string>{} : std::vector<std::string>{page ? "i2v 2 1" : "i2v 1 1"};
    EXPECT_EQ(f.views.calls, expectViews) << page;
    EXPECT_EQ(f.log.lines.front(), "Trying to read the program");
    EXPECT_EQ(f.Tail(2), (std::vector<std::string>{"       Finished", kEnd}));
    EXPECT_EQ(f.CountInstructions("2"), 2048u);
  }
}

// Guards: a progress dialog still open while the view copy shows its own.
TEST(Driver, ReadFreesItsDialogBeforeTheViewCopy) {
  struct Views : test::RecordingViews {
    test::ProgressRecorder* progress = nullptr;
    int aliveAtCopy = -1;
    void ImageToView(int, int) override { aliveAtCopy = progress->Alive(); }
  } views;
  DriverFixture f("ATtiny13");
  views.progress = &f.progress;
  SetViewSink(&views);
  RunMemoryCommand(MemoryOperation::ReadData);
  EXPECT_EQ(views.aliveAtCopy, 0);
  SetViewSink(&f.views);
}

TEST(Driver, ProgressPositions) {
  struct {
    const char* chip;
    MemoryOperation op;
    size_t updates;
    int first;
    int second;
  } cases[] = {
      {"AT90S1200", MemoryOperation::ReadProgram, 32, 3, 6},      // every 32 of 1024
      {"AT90S1200", MemoryOperation::WriteProgram, 32, 3, 6},     // byte mode
      {"AT90S1200", MemoryOperation::VerifyData, 16, 6, 12},      // every 4 of 64
      {"ATtiny2313", MemoryOperation::WriteProgram, 64, 1, 3},    // after each page commit
      {"ATtiny2313", MemoryOperation::WriteData, 32, 3, 6},       // page of 4 of 128
      {"AT90CAN32", MemoryOperation::ReadProgram, 128, 0, 1},     // every 256 of 32768
      {"AT90CAN32", MemoryOperation::WriteData, 128, 0, 1},       // page of 8 of 1024
      {"AT90CAN32", MemoryOperation::ReadData, 128, 0, 1},
  };
  for (const auto& c : cases) {
    DriverFixture f(c.chip);
    f.prompt.yesNo = {true};
    for (size_t i = 0; i < f.chip.flash.size(); ++i) ProgramImage[i] = f.chip.flash[i];
    for (size_t i = 0; i < f.chip.eeprom.size(); ++i) DataImage[i] = f.chip.eeprom[i];
    RunMemoryCommand(c.op);
    ASSERT_EQ(f.progress.dialogs.size(), 1u) << c.chip;
    const std::vector<int>& pos = f.progress.dialogs[0].positions;
    ASSERT_EQ(pos.size(), c.updates) << c.chip << " " << static_cast<int>(c.op);
    EXPECT_EQ(pos[0], c.first) << c.chip;
    EXPECT_EQ(pos[1], c.second) << c.chip;
    EXPECT_EQ(pos.back(), 100) << c.chip;
    EXPECT_TRUE(f.progress.dialogs[0].freed);
  }
}

TEST(Driver, VerifyReportsFirstDifference) {
  struct {
    const char* chip;
    MemoryOperation op;
    long diffAt;  // -1: none
    const char* last;
  } cases[] = {
      {"ATtiny2313", MemoryOperation::VerifyProgram, -1, "       Finished. No differences found."},
      {"ATtiny2313", MemoryOperation::VerifyProgram, 0, "       Finished with fail. Address: 0x0000"},
      {"ATtiny2313", MemoryOperation::VerifyProgram, 0x1A3, "       Finished with fail. Address: 0x01A3"},
      {"ATtiny2313", MemoryOperation::VerifyData, 0x7F, "       Finished with fail. Address: 0x007F"},
      {"AT90S8515", MemoryOperation::VerifyData, 0xFF, "       Finished with fail. Address: 0x00FF"},
      // Guards: bit 16 of an AT90CAN128 address dropped from the line.
      {"AT90CAN128", MemoryOperation::VerifyProgram, 0x1A3F1, "       Finished with fail. Address: 0x1A3F1"},
  };
  for (const auto& c : cases) {
    DriverFixture f(c.chip);
    const bool program = c.op == MemoryOperation::VerifyProgram;
    for (size_t i = 0; i < f.chip.flash.size(); ++i) ProgramImage[i] = f.chip.flash[i];
    for (size_t i = 0; i < f.chip.eeprom.size(); ++i) DataImage[i] = f.chip.eeprom[i];
    if (c.diffAt >= 0) (program ? ProgramImage[c.diffAt] : DataImage[c.diffAt]) ^= 0x10;
    RunMemoryCommand(c.op);
    EXPECT_EQ(f.Tail(2), (std::vector<std::string>{c.last, kEnd})) << c.chip << " " << c.diffAt;
    const size_t size = program ? FlashSize : EepromSize;
    EXPECT_EQ(f.CountInstructions(program ? "2" : "A0"), c.diffAt < 0 ? size : c.diffAt + 1u);
    EXPECT_GE(PortHandle, 0) << "a difference leaves the port open";
    EXPECT_EQ(f.progress.Alive(), 0);
  }
}

// The signature read that checks the chip before anything is erased or written.
const char* const kSig0 = "30 00 00 00";
const char* const kSig1 = "30 00 01 00";
const char* const kSig2 = "30 00 02 00";

TEST(Driver, WriteProgramSteps) {
  struct {
    const char* chip;
    std::vector<std::string> before;  // instructions before the first byte
    const char* byteOp;               // the first data instruction's opcode
    size_t commits;                   // 0x4C instructions
  } cases[] = {
      {"AT90S1200", {"AC 53 00 00", kSig0, kSig1, kSig2, "AC 80 00 00", "AC 53 00 00"}, "40", 0},
      {"ATtiny12",
       {"AC 53 00 00", kSig0, kSig1, kSig2, "AC 80 00 00", "AC 53 00 00", "40 00 00 FF", "AC 80 00 00",
        "AC 53 00 00"},
       "40",
       0},
      {"ATtiny2313", {"AC 53 00 00", kSig0, kSig1, kSig2, "AC 80 00 00", "AC 53 00 00"}, "40", 64},
      {"AT90CAN32", {"AC 53 00 00", kSig0, kSig1, kSig2, "AC 80 00 00", "AC 53 00 00"}, "40", 128},
  };
  for (const auto& c : cases) {
    DriverFixture f(c.chip);
    f.prompt.yesNo = {true};
    RunMemoryCommand(MemoryOperation::WriteProgram);
    const std::vector<std::string> ins = f.Instructions();
    ASSERT_GT(ins.size(), c.before.size()) << c.chip;
    EXPECT_EQ(std::vector<std::string>(ins.begin(), ins.begin() + c.before.size()), c.before) << c.chip;
    EXPECT_EQ(ins[c.before.size()].substr(0, 2), c.byteOp) << c.chip;
    EXPECT_EQ(f.CountInstructions("4C"), c.commits) << c.chip;
    EXPECT_EQ(f.CountInstructions("40") + f.CountInstructions("48"),
              FlashSize + (std::string(c.chip) == "ATtiny12" ? 1 : 0))
        << c.chip;
    EXPECT_EQ(f.views.calls, std::vector<std::string>{"v2i 1 1"});
    EXPECT_EQ(f.Tail(2), (std::vector<std::string>{"       Finished", kEnd})) << c.chip;
  }
}

// Another chip in the socket than the one selected: every command stops after the signature,
// naming both, and nothing is erased or written.
TEST(Driver, AnotherChipInTheSocketIsNeitherReadNorWritten) {
  for (const OpCase& op : kOps) {
    DriverFixture f("ATmega328P");
    f.chip.signature = FindChipByName("ATtiny2313")->id;
    f.prompt.yesNo = {true};
    EXPECT_FALSE(RunMemoryCommand(op.op)) << op.trying;
    const std::vector<std::string> ins = f.Instructions();
    for (const std::string& i : ins) EXPECT_TRUE(i.rfind("AC 53", 0) == 0 || i.rfind("30", 0) == 0) << op.trying << ": " << i;
    EXPECT_EQ(f.Tail(3), (std::vector<std::string>{
                             "The chip answers 1E 91 0A (ATtiny2313), not ATmega328P: choose it or use Autosearch",
                             "       Finished with fail.", kEnd}))
        << op.trying;
  }
}

// The ATtiny45/85/461/861 pages are 64 bytes while their modules' are 32: each page is
// committed once, after its 64 loads (a second commit reprograms cells no longer erased).
TEST(Driver, PageCommitFollowsTheLastByteOfEachPage) {
  const struct {
    const char* chip;
    MemoryOperation op;
    size_t bytes, page;
    const char *evenLoad, *oddLoad;  // the loads' first instruction byte
    const char *firstCommit, *lastCommit;
  } cases[] = {
      {"ATtiny2313", MemoryOperation::WriteData, 128, 4, "C1", "C1", "C2 00 00 00", "C2 00 7C 00"},
      {"ATtiny85", MemoryOperation::WriteProgram, 8192, 64, "40", "48", "4C 00 1F 00", "4C 0F FF 00"},
      {"ATtiny461", MemoryOperation::WriteProgram, 4096, 64, "40", "48", "4C 00 1F 00", "4C 07 FF 00"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.chip);
    DriverFixture f(c.chip);
    f.prompt.yesNo = {true};
    RunMemoryCommand(c.op);
    std::vector<std::string> ins = f.Instructions();
    // From the first load on: Programming Enable, the signature and a Flash write's erase come
    // before.
    ins.erase(ins.begin(), std::find_if(ins.begin(), ins.end(), [&](const std::string& i) {
                return i.rfind(c.evenLoad, 0) == 0;
              }));
    ASSERT_EQ(ins.size(), c.bytes + c.bytes / c.page);
    std::vector<std::string> commits;
    for (size_t i = 0; i < ins.size(); ++i) {
      const size_t j = i % (c.page + 1);
      if (j == c.page) {
        commits.push_back(ins[i]);
        EXPECT_EQ(ins[i].substr(0, 2), std::string(c.firstCommit).substr(0, 2)) << i;
      } else {
        EXPECT_EQ(ins[i].substr(0, 2), j % 2 ? c.oddLoad : c.evenLoad) << i;
      }
    }
    ASSERT_EQ(commits.size(), c.bytes / c.page);
    EXPECT_EQ(commits.front(), c.firstCommit);
    EXPECT_EQ(commits.back(), c.lastCommit);
  }
}

TEST(Driver, FailureStopsWithFailLineAndEndTime) {
  auto instr = [](uint8_t i1, int i2 = -1) {
    return [=](const std::vector<uint8_t>& p) {
      return p.size() == 5 && p[0] == 0x44 && p[4] == i1 && (i2 < 0 || p[3] == i2);
    };
  };
  struct {
    const char* name;
    const char* chip;
    MemoryOperation op;
    std::function<bool(const std::vector<uint8_t>&)> failWrite;
    bool badEcho;
    long emptyRead;
  } cases[] = {
      {"echo", "ATtiny2313", MemoryOperation::ReadProgram, nullptr, true, -1},
      {"erase", "ATtiny2313", MemoryOperation::WriteProgram, instr(0xAC, 0x80), false, -1},
      {"blank byte", "ATtiny12", MemoryOperation::WriteProgram, instr(0x40, 0x00), false, -1},
      {"load", "ATtiny2313", MemoryOperation::WriteProgram, instr(0x48), false, -1},
      {"commit", "ATtiny2313", MemoryOperation::WriteProgram, instr(0x4C), false, -1},
      {"byte write", "AT90S2313", MemoryOperation::WriteData, instr(0xC0), false, -1},
      {"data commit", "AT90CAN32", MemoryOperation::WriteData, instr(0xC2), false, -1},
      {"read half-way", "ATtiny2313", MemoryOperation::ReadProgram, nullptr, false, 1000},
  };
  for (const auto& c : cases) {
    DriverFixture f(c.chip);
    f.prompt.yesNo = {true};
    f.port.failWrite = c.failWrite;
    f.chip.badEcho = c.badEcho;
    f.chip.emptyAt = c.emptyRead;
    RunMemoryCommand(c.op);
    EXPECT_EQ(f.Tail(2), (std::vector<std::string>{"       Finished with fail.", kEnd})) << c.name;
    EXPECT_EQ(f.progress.Alive(), 0) << c.name;
    EXPECT_EQ(f.views.calls.size(), c.op == MemoryOperation::ReadProgram ? 0u : 1u) << c.name;
    EXPECT_EQ(f.port.trace.back().rfind("fail", 0) == 0 || f.port.trace.back() == "close" ||
                  f.port.trace.back() == "read",
              true)
        << c.name << ": nothing sent after the failure";
  }
}

}  // namespace
}  // namespace quillet
