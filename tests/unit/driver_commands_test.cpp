// Autosearch, Chip Erase, Read Calibration and the chip side of the Lock & Fuses dialog.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "chips/Chipfunctions.h"
#include "commands/Driver.h"
#include "support/Fakes.h"

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
  long emptyAt = -1;  // 0-based index of the read that gets no answer
  long reads = 0;
  std::vector<uint8_t> Answer(const std::vector<uint8_t>& in) {
    if (silent || reads++ == emptyAt) return {};
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
    if (chipName) SelectChip(FindChipByName(chipName)->id);
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
        "Selected chip is  unknown"},
       495646},
      {"zero signature", {0, 0, 0}, false, false,
       {kEnableNoEcho, kSuccess, "Trying to read signature bytes", "       Finished", "No chip selected"},
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
       {kSync, kSuccess, "Trying to erase the chip", kSuccess}, {"AC 53 00 00", "AC 80 00 00"}},
      {"ATtiny12 erases twice", "ATtiny12", true, false,
       {kSync, kSuccess, "Trying to erase the chip", kSuccess, kSync, kSuccess, "Trying to erase the chip",
        kSuccess},
       {"AC 53 00 00", "AC 80 00 00", "AC 53 00 00", "40 00 00 FF", "AC 80 00 00"}},
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

TEST(LockAndFuses, ReadAndWriteOrders) {
  struct {
    const char* chip;
    Lines read;   // "Trying to" lines after Programming Enable
    Lines write;
  } cases[] = {
      {"ATtiny2313",
       {" read lock-bits", " read fuse extended byte", " read fuse high byte", " read fuse low byte"},
       {" write fuse extended byte", " write fuse high byte", " write fuse low byte", " write lock-bits"}},
      {"AT90CAN128",
       {" read lock-bits", " read fuse extended byte", " read fuse high byte", " read fuse low byte"},
       {" write fuse extended byte", " write fuse high byte", " write fuse low byte", " write lock-bits"}},
      {"ATtiny26", {" read lock-bits", " read fuse high byte", " read fuse low byte"},
       {" write fuse high byte", " write fuse low byte", " write lock-bits"}},
      {"ATtiny15", {" read lock-bits", " read fuse byte"}, {" write fuse byte", " write lock-bits"}},
      {"AT90S4433", {" read lock-bits", " read fuse-bits"}, {" write fuse byte", " write lock-bits"}},
      {"ATtiny22", {" read lock- & fuse-bits"}, {" write fuse byte", " write lock-bits"}},
      {"AT90S8515", {}, {" write lock-bits"}},
  };
  for (const auto& c : cases) {
    for (bool write : {false, true}) {
      Fixture f(c.chip);
      EXPECT_TRUE(write ? WriteLockAndFuses() : ReadLockAndFuses()) << c.chip;
      Lines expected;
      const Lines& steps = write ? c.write : c.read;
      if (!write && steps.empty()) {
        EXPECT_EQ(f.log.lines, Lines{"Command is not available for this chip"}) << c.chip;
      } else {
        expected.push_back(f.TryingLines().at(0));  // Programming Enable, the module's own text
        for (const std::string& s : steps) expected.push_back("Trying to" + s);
        EXPECT_EQ(f.TryingLines(), expected) << c.chip << (write ? " write" : " read");
        EXPECT_EQ(f.log.lines.back(), kSuccess) << c.chip;
      }
      ASSERT_EQ(f.progress.dialogs.size(), 1u);
      EXPECT_TRUE(f.progress.dialogs[0].freed);
      EXPECT_TRUE(f.progress.dialogs[0].positions.empty());
    }
  }
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
