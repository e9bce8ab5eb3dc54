// Autosearch, Chip Erase, Read Calibration and the chip side of the Lock & Fuses dialog.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "chips/Catalogue.h"
#include "commands/Driver.h"
#include "sim/SimChip.h"
#include "support/Fakes.h"
#include "support/SimDriver.h"

namespace quillet {
namespace {

using Lines = std::vector<std::string>;
const std::string kEnableNoEcho = "Trying to execute Programming Enable without echo back reading.";
const std::string kSync = "Trying to execute the sinchronization with chip";
const std::string kEnable = "Trying to execute Programming Enable";
const std::string kSuccess = "       Finished with success.";
const std::string kFail = "       Finished with fail.";

// Answers Programming Enable with its echo, and the signature, calibration and fuse reads.
struct Chip {
  uint8_t signature[3] = {0x1E, 0x91, 0x0A};
  uint8_t calibration[4] = {0x9C, 0x9D, 0x9E, 0x9F};
  bool badEcho = false;
  bool silent = false;
  long emptyAt = -1;  // 0-based index of the read from which on no answer comes
  long reads = 0;
  std::vector<uint8_t> Answer(const std::vector<uint8_t>& in) {
    if (silent || (reads++ >= emptyAt && emptyAt >= 0)) return {};
    std::vector<uint8_t> a(8, 0);
    if (in[0] == 0xAC && in[1] == 0x53) a[1] = badEcho ? 0 : 0x53;
    if (in[0] == 0x30) a[0] = signature[in[2] % 3];
    if (in[0] == 0x38) a[0] = calibration[in[2] % 4];
    return a;
  }
};

struct Fixture : test::CoreFixture {
  Chip chip;
  explicit Fixture(const char* chipName = nullptr) {
    if (chipName) {
      SelectChip(FindChipByName(chipName)->id);
      for (int i = 0; i < 3; ++i) chip.signature[i] = static_cast<uint8_t>(SelectedChip >> (8 * i));
    }
    Connect();
    port.responder = [this](const std::vector<uint8_t>& in) { return chip.Answer(in); };
  }
  // Instructions sent, bus order, hex.
  std::vector<std::string> Instructions() const { return port.Instructions(); }
  Lines TryingLines() const {
    Lines out;
    for (const std::string& l : log.lines)
      if (l.rfind("Trying to", 0) == 0) out.push_back(l);
    return out;
  }
};

TEST(Autosearch, Outcomes) {
  struct {
    const char* name;
    uint8_t sig[3];
    bool silent;
    bool closedPort;
    Lines lines;
    ChipId selected;  // afterwards; ATtiny13 was selected before
  } cases[] = {
      {"ATtiny2313", {0x1E, 0x91, 0x0A}, false, false,
       {kEnableNoEcho, kSuccess, "Trying to read signature bytes", "       Finished",
        "Selected chip is  ATtiny2313"},
       692510},
      {"no chip answering", {0xFF, 0xFF, 0xFF}, false, false,
       {kEnableNoEcho, kSuccess, "Trying to read signature bytes", "       Finished",
        "No chip answers: the signature reads FF FF FF; check the wiring, the chip's supply and its clock",
        kFail},
       495646},
      {"zero signature", {0, 0, 0}, false, false,
       {kEnableNoEcho, kSuccess, "Trying to read signature bytes", "       Finished",
        "No chip answers: the signature reads 00 00 00; check the wiring, the chip's supply and its clock",
        kFail},
       495646},
      {"unknown chip", {0x1E, 0x95, 0x99}, false, false,
       {kEnableNoEcho, kSuccess, "Trying to read signature bytes", "       Finished",
        "Selected chip is  unknown"},
       495646},
      {"silent gateway", {0, 0, 0}, true, false,
       {kEnableNoEcho, kSuccess, "Trying to read signature bytes", "Error reading the answer (SPI paket)",
        "No chip selected"},
       495646},
      {"port closed", {0, 0, 0}, false, true,
       {kEnableNoEcho, "Error executing commands:  0x48", kFail}, 495646},
  };
  for (const auto& c : cases) {
    Fixture f("ATtiny13");
    std::copy(c.sig, c.sig + 3, f.chip.signature);
    f.chip.silent = c.silent;
    if (c.closedPort) PortHandle = -1;
    f.ClearRecords();
    RunAutosearch();
    EXPECT_EQ(f.log.lines, c.lines) << c.name;
    EXPECT_EQ(SelectedChip, c.selected) << c.name;
    EXPECT_TRUE(f.progress.dialogs.empty()) << c.name;
    if (c.silent) {
      EXPECT_EQ(PortHandle, -1);
    }
  }
}

TEST(ChipErase, Outcomes) {
  const std::string kRetry = "No answer to Programming Enable (echo 0x00, not 0x53): RESET pulsed, trying again (";
  struct {
    const char* name;
    const char* chip;
    bool yes;
    bool badEcho;
    Lines lines;
    std::vector<std::string> instructions;
  } cases[] = {
      {"answered No", "ATtiny2313", false, false, {}, {}},
      {"ATtiny2313", "ATtiny2313", true, false,
       {kSync, kSuccess, "Trying to erase the chip", kSuccess},
       {"AC 53 00 00", "30 00 00 00", "30 00 01 00", "30 00 02 00", "AC 80 00 00"}},
      {"ATtiny12 erases twice", "ATtiny12", true, false,
       {kSync, kSuccess, "Trying to erase the chip", kSuccess, kSync, kSuccess, "Trying to erase the chip",
        kSuccess},
       {"AC 53 00 00", "30 00 00 00", "30 00 01 00", "30 00 02 00", "AC 80 00 00", "AC 53 00 00",
        "40 00 00 FF", "AC 80 00 00"}},
      {"another chip in the socket: nothing erased", "ATtiny12", true, false,
       {kSync, kSuccess, "The chip answers 1E 91 0A (ATtiny2313), not ATtiny12: choose it or use Autosearch",
        kFail},
       {"AC 53 00 00", "30 00 00 00", "30 00 01 00", "30 00 02 00", "30 00 00 00", "30 00 01 00",
        "30 00 02 00"}},
      {"wrong echo, tried again three times", "AT90S2313", true, true,
       {kEnable, kRetry + "1 of 3)", kRetry + "2 of 3)", kRetry + "3 of 3)", kFail},
       {"AC 53 00 00", "AC 53 00 00", "AC 53 00 00", "AC 53 00 00"}},
      {"no chip", nullptr, true, false, {"No chip selected"}, {}},
  };
  for (const auto& c : cases) {
    Fixture f(c.chip);
    f.ClearRecords();
    f.prompt.yesNo = {c.yes};
    f.chip.badEcho = c.badEcho;
    if (std::string(c.name).rfind("another", 0) == 0) std::copy_n("\x1E\x91\x0A", 3, f.chip.signature);
    RunChipErase();
    EXPECT_EQ(f.prompt.asked, std::vector<std::string>{
                                  "Warning|All previous chip data will be lost (Flash, EEPROM, Lock "
                                  "Bits). Are you sure?"});
    EXPECT_EQ(f.log.lines, c.lines) << c.name;
    EXPECT_EQ(f.Instructions(), c.instructions) << c.name;
    EXPECT_EQ(f.progress.dialogs.size(), c.yes ? 1u : 0u) << c.name;
    for (const auto& d : f.progress.dialogs) {
      EXPECT_TRUE(d.freed);
      EXPECT_TRUE(d.positions.empty());
    }
    if (c.badEcho) {
      EXPECT_GE(PortHandle, 0);
    }
  }
}

TEST(ReadCalibration, Outcomes) {
  struct {
    const char* chip;
    uint8_t bytes[4];
    Lines lines;
  } cases[] = {
      {"ATtiny13", {0x9C, 0x8B}, {kSync, kSuccess, "Trying to read calibration bytes", "       Finished",
                                  "calibration 0 = 0x9Ccalibration 1 = 0x8B"}},  // 9.6 and 4.8 MHz
      {"AT90CAN32", {0x0F}, {kSync, kSuccess, "Trying to read calibration bytes", "       Finished",
                             "calibration 0 = 0x0F"}},
      {"ATtiny2313", {0x50, 0x51}, {kSync, kSuccess, "Trying to read calibration bytes", "       Finished",
                                    "calibration 0 = 0x50calibration 1 = 0x51"}},
      {"ATtiny26", {0xA1, 0xA2, 0xA3, 0xA4},
       {kSync, kSuccess, "Trying to read calibration bytes", "       Finished",
        "calibration 0 = 0xA1calibration 1 = 0xA2calibration 2 = 0xA3calibration 3 = 0xA4"}},
      {"ATtiny22", {}, {"Command is not available for this chip"}},
      {"AT90S1200", {}, {"Command is not available for this chip"}},
      {nullptr, {}, {"No chip selected"}},
  };
  for (const auto& c : cases) {
    Fixture f(c.chip);
    f.ClearRecords();
    std::copy(c.bytes, c.bytes + 4, f.chip.calibration);
    RunReadCalibration();
    EXPECT_EQ(f.log.lines, c.lines) << (c.chip ? c.chip : "none");
    ASSERT_EQ(f.progress.dialogs.size(), 1u);
    EXPECT_TRUE(f.progress.dialogs[0].freed);
  }
  Fixture f("ATtiny26");
  f.chip.emptyAt = 2;  // the second calibration byte
  RunReadCalibration();
  EXPECT_EQ(f.log.lines.back(), kFail);
  EXPECT_TRUE(f.progress.dialogs[0].freed);
}

// The Lock & Fuses steps on a simulated chip: the reads, and the writes each read back in the
// same programming session.
struct SimFixture : test::CoreFixture {
  explicit SimFixture(const char* chipName) : sim(chipName) {
    Connect();
    SelectChip(FindChipByName(chipName)->id);
    ClearRecords();
  }
  Lines TryingLines() const {
    Lines out;
    for (const std::string& l : log.lines)
      if (l.rfind("Trying to", 0) == 0) out.push_back(l);
    return out;
  }
  test::SimDriver sim;
};

TEST(LockAndFuses, ReadAndWriteOrders) {
  struct {
    const char* chip;
    Lines read;   // "Trying to" lines after Programming Enable
    Lines write;  // each write, then the read that checks it
  } cases[] = {
      {"ATtiny2313",
       {" read lock-bits", " read fuse extended byte", " read fuse high byte", " read fuse low byte"},
       {" write fuse extended byte", " read fuse extended byte", " write fuse high byte", " read fuse high byte",
        " write fuse low byte", " read fuse low byte", " write lock-bits", " read lock-bits"}},
      {"AT90CAN128",
       {" read lock-bits", " read fuse extended byte", " read fuse high byte", " read fuse low byte"},
       {" write fuse extended byte", " read fuse extended byte", " write fuse high byte", " read fuse high byte",
        " write fuse low byte", " read fuse low byte", " write lock-bits", " read lock-bits"}},
      {"ATtiny26", {" read lock-bits", " read fuse high byte", " read fuse low byte"},
       {" write fuse high byte", " read fuse high byte", " write fuse low byte", " read fuse low byte",
        " write lock-bits", " read lock-bits"}},
      {"ATtiny15", {" read lock-bits", " read fuse byte"},
       {" write fuse byte", " read fuse byte", " write lock-bits", " read lock-bits"}},
      {"AT90S4433", {" read lock-bits", " read fuse-bits"},
       {" write fuse byte", " read fuse-bits", " write lock-bits", " read lock-bits"}},
      {"ATtiny22", {" read lock- & fuse-bits"},
       {" write fuse byte", " read lock- & fuse-bits", " write lock-bits", " read lock- & fuse-bits"}},
      {"AT90S8515", {}, {" write lock-bits"}},
  };
  for (const auto& c : cases) {
    for (bool write : {false, true}) {
      SimFixture f(c.chip);
      EXPECT_TRUE(write ? WriteLockAndFuses() : ReadLockAndFuses()) << c.chip;
      Lines expected;
      const Lines& steps = write ? c.write : c.read;
      if (!write && steps.empty()) {
        EXPECT_EQ(f.log.lines, Lines{"Command is not available for this chip"}) << c.chip;
      } else {
        expected.push_back(f.TryingLines().at(0));  // Programming Enable, the module's own text
        for (const std::string& s : steps) expected.push_back("Trying to" + s);
        EXPECT_EQ(f.TryingLines(), expected) << c.chip << (write ? " write" : " read");
        const std::string last = f.log.lines.back();
        EXPECT_TRUE(last == kSuccess || last.find(" written and verified") != std::string::npos ||
                    last.find("cannot read them back") != std::string::npos)
            << c.chip << ": " << last;
      }
      EXPECT_EQ(LastChipFuses().read, !steps.empty() && (!write || c.read.size() > 0)) << c.chip;
      ASSERT_EQ(f.progress.dialogs.size(), 1u);
      EXPECT_TRUE(f.progress.dialogs[0].freed);
      EXPECT_TRUE(f.progress.dialogs[0].positions.empty());
    }
  }
}

// A chip whose lock bits forbid fuse writes keeps its fuses: said byte by byte, and a failure.
TEST(LockAndFuses, ALockedChipKeepsItsFuses) {
  SimFixture f("ATtiny2313");
  f.sim.Chip().State().lock = 0xFC;
  FuseLockBytes[1] = 0xDB;  // BODLEVEL1 programmed
  FuseLockBytes[3] = 0xFC;
  EXPECT_FALSE(WriteLockAndFuses());
  const Lines& log = f.log.lines;
  EXPECT_NE(std::find(log.begin(), log.end(),
                      "High fuse: 0xDB written, the chip kept 0xDF (differing: BODLEVEL1; the lock bits "
                      "forbid it: Chip Erase clears them)"),
            log.end());
  EXPECT_NE(std::find(log.begin(), log.end(), "Lock bits 0xFC written and verified"), log.end());
  EXPECT_EQ(log.back(), kFail);
  EXPECT_EQ(FuseLockBytes[1], 0xDF);  // the dialog shows what the chip kept
  EXPECT_EQ(f.sim.Chip().State().fuses[1], 0xDF);
}

// Steps done before a failure stay done; the dialog adds only its " with fail." line.
TEST(LockAndFuses, WriteStopsAtTheFailingStep) {
  Fixture f("ATtiny13");
  f.port.failWrite = [](const std::vector<uint8_t>& p) { return p.size() == 5 && p[3] == 0xA0; };
  EXPECT_FALSE(WriteLockAndFuses());  // high fuse written, low fuse fails, lock bits never sent
  EXPECT_EQ(f.TryingLines().back(), "Trying to write fuse low byte");
  EXPECT_EQ(f.log.lines.back(), kFail);
  EXPECT_EQ(f.log.lines[f.log.lines.size() - 2].rfind("Error executing commands:  0x44 ", 0), 0u);
  EXPECT_TRUE(f.progress.dialogs[0].freed);
}

}  // namespace
}  // namespace quillet
