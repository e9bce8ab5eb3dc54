// Every catalogue chip end to end: the commands of the window and the Lock & Fuses dialog
// against the simulated gateway and chip, in virtual time.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "chips/Catalogue.h"
#include "chips/NewerChips.h"
#include "commands/Driver.h"
#include "commands/Jobs.h"
#include "commands/Steps.h"
#include "image/Images.h"
#include "link/Port.h"
#include "support/Fakes.h"
#include "support/SimDriver.h"

namespace quillet {
namespace {

struct ChipCase {
  const char* name;
  // FuseLockBytes to write: changes some bits the chip has, never SPIEN, RSTDISBL or DWEN;
  // bits the chip lacks are 1, as they read back.
  uint8_t fuses[4];
  bool readable;  // false: the part cannot read fuses or lock bits back
};

// clang-format off
const ChipCase kChips[] = {
    {"AT90S1200", {0xDF, 0xF9, 0xFF, 0xFF},  false},
    {"AT90S2313", {0xDF, 0xFD, 0xFF, 0xFF},  false},
    {"AT90S2323", {0xDF, 0xFD, 0xFF, 0xFF},  true},
    {"AT90S2333", {0xD5, 0xFD, 0xFF, 0xFF},  true},
    {"AT90S2343", {0xDF, 0xF9, 0xFF, 0xFF},  true},
    {"AT90S4414", {0xDF, 0xF9, 0xFF, 0xFF},  false},
    {"AT90S4433", {0xC5, 0xF9, 0xFF, 0xFF},  true},
    {"AT90S4434", {0xDE, 0xF9, 0xFF, 0xFF},  true},
    {"AT90S8515", {0xDF, 0xFD, 0xFF, 0xFF},  false},
    {"AT90S8535", {0xDE, 0xFD, 0xFF, 0xFF},  true},
    {"AT90CAN32", {0x5A, 0xD8, 0xF5, 0xDA},  true},
    {"AT90CAN64", {0xA5, 0xD8, 0xFA, 0xE5},  true},
    {"AT90CAN128", {0x5A, 0x98, 0xF5, 0xFE},  true},
    {"ATtiny12", {0x97, 0xFD, 0xFF, 0xFF},  true},
    {"ATtiny13", {0x79, 0xED, 0xFE, 0xFF},  true},
    {"ATtiny15", {0x9D, 0xF9, 0xFF, 0xFF},  true},
    {"ATtiny22", {0xDF, 0xFD, 0xFF, 0xFF},  true},
    {"ATtiny2313", {0x5A, 0x9D, 0xFE, 0xFE},  true},
    {"ATtiny25", {0xE1, 0xD6, 0xFE, 0xFE},  true},
    {"ATtiny26", {0xDD, 0xF4, 0xFE, 0xFF},  true},
    {"ATtiny261", {0x52, 0xD6, 0xFE, 0xFC},  true},
    {"ATtiny45", {0xE1, 0xD8, 0xFE, 0xFE},  true},
    {"ATtiny461", {0xE1, 0xD6, 0xFE, 0xFE},  true},
    {"ATtiny85", {0x5A, 0xDE, 0xFE, 0xFC},  true},
    {"ATtiny861", {0xE1, 0xD6, 0xFE, 0xFE},  true},
};
// clang-format on

// One chip in the socket, the port open, the chip selected, at a given DelayValue.
struct Bench {
  explicit Bench(const ChipCase& c, int delay = 0, sim::GatewayOptions options = {})
      : sim(c.name, options), entry(FindChipByName(c.name)) {
    savedDelay = DelayValue;
    DelayValue = delay;
    f.Connect();
    SelectChip(entry->id);
    f.ClearRecords();
  }
  ~Bench() { DelayValue = savedDelay; }
  sim::SimChipState& S() { return sim.Chip().State(); }
  bool HasLine(const std::string& line) const {
    return std::find(f.log.lines.begin(), f.log.lines.end(), line) != f.log.lines.end();
  }
  // The last log line before the end time line.
  std::string ResultLine() const {
    const auto& l = f.log.lines;
    if (l.size() < 2 || l.back().rfind("End time: ", 0) != 0) return "(no end time line)";
    return l[l.size() - 2];
  }
  void Run(MemoryOperation op) {
    f.prompt.yesNo = {true};
    RunMemoryCommand(op);
  }

  test::CoreFixture f;
  test::SimDriver sim;
  const ChipEntry* entry;
  int savedDelay;
};

using test::RandomBytes;

TEST(ChipsSim, CatalogueAndTableAgree) {
  ASSERT_EQ(std::size(kChips), kChipCount);
  for (const ChipCase& c : kChips) EXPECT_NE(FindChipByName(c.name), nullptr) << c.name;
}

TEST(ChipsSim, AutosearchFindsEveryChip) {
  for (const ChipCase& c : kChips) {
    SCOPED_TRACE(c.name);
    test::CoreFixture f;
    test::SimDriver sim(c.name);
    f.Connect();
    RunAutosearch();
    EXPECT_EQ(f.log.lines, (std::vector<std::string>{
                               "Trying to execute Programming Enable without echo back reading.",
                               "       Finished with success.",
                               "Trying to read signature bytes",
                               "       Finished",
                               std::string("Selected chip is  ") + c.name,
                           }));
    EXPECT_EQ(SelectedChip, FindChipByName(c.name)->id);
    EXPECT_EQ(PortHandle, test::SimDriver::kHandle);
  }
}

TEST(ChipsSim, AutosearchOnAnEmptySocketAndASilentGateway) {
  {
    test::CoreFixture f;
    test::SimDriver sim("");
    f.Connect();
    RunAutosearch();
    // Guards: "Finished with success." then "Selected chip is  unknown" for no chip at all.
    ASSERT_GE(f.log.lines.size(), 2u);
    EXPECT_EQ(std::vector<std::string>(f.log.lines.end() - 2, f.log.lines.end()), (std::vector<std::string>{
                             "No chip answers: the signature reads FF FF FF; check the wiring, the chip's "
                             "supply and its clock",
                             "       Finished with fail."}));
    EXPECT_EQ(SelectedChip, 0);
  }
  {
    test::CoreFixture f;
    test::SimDriver sim("ATtiny2313", {.silent = true});
    f.Connect();
    RunAutosearch();
    EXPECT_EQ(f.log.lines, (std::vector<std::string>{
                               "Trying to execute Programming Enable without echo back reading.",
                               "       Finished with success.",
                               "Trying to read signature bytes",
                               "Error reading the answer (SPI paket)",
                               "No chip selected",
                           }));
    EXPECT_EQ(PortHandle, -1);
  }
}

// Write, verify and read back both memories with random contents at every DelayValue: the
// program never sends an instruction while the chip is still busy with a write. Guards data
// lost, and "Finished" logged, on chips whose write time is longer than the fixed waits.
// One case a chip, so that none comes near the time limit in a sanitized build.
class ChipsSimEach : public ::testing::TestWithParam<size_t> {};

std::string ChipParamName(const ::testing::TestParamInfo<size_t>& info) {
  std::string name = Catalogue()[info.param].name;
  for (char& ch : name)
    if (!std::isalnum(static_cast<unsigned char>(ch))) ch = '_';
  return name;
}

TEST_P(ChipsSimEach, WriteVerifyReadBothMemories) {
  struct Memory {
    MemoryOperation write, verify, read;
    uint8_t* image;
    std::vector<uint8_t> sim::SimChipState::*chip;
    const char* view;
  };
  const Memory kMemories[] = {
      {MemoryOperation::WriteProgram, MemoryOperation::VerifyProgram, MemoryOperation::ReadProgram,
       ProgramImage.data(), &sim::SimChipState::flash, "i2v 1 1"},
      {MemoryOperation::WriteData, MemoryOperation::VerifyData, MemoryOperation::ReadData,
       DataImage.data(), &sim::SimChipState::eeprom, "i2v 3 2"},
  };
  const ChipCase& c = kChips[GetParam()];
  unsigned seed = 1 + static_cast<unsigned>(GetParam()) * 12;
  for (const Memory& m : kMemories) {
    for (int d = 0; d <= 5; ++d) {
      SCOPED_TRACE(std::string(c.name) + " DelayValue " + std::to_string(d) +
                   (m.image == ProgramImage.data() ? " program" : " data"));
      Bench b(c, d);
      const size_t size = m.image == ProgramImage.data() ? FlashSize : EepromSize;
      const std::vector<uint8_t> data = RandomBytes(size, seed++);
      std::copy(data.begin(), data.end(), m.image);
      b.Run(m.write);
      ASSERT_EQ(b.ResultLine(), "       Finished");
      EXPECT_EQ(b.sim.Violations(), 0u);
      EXPECT_EQ(b.S().*m.chip, data);
      b.Run(m.verify);
      EXPECT_EQ(b.ResultLine(), "       Finished. No differences found.");
      std::fill(m.image, m.image + size, 0x00);
      b.f.views.calls.clear();
      b.Run(m.read);
      EXPECT_EQ(b.ResultLine(), "       Finished");
      EXPECT_TRUE(std::equal(data.begin(), data.end(), m.image));
      EXPECT_EQ(b.f.views.calls, std::vector<std::string>{m.view});
      EXPECT_EQ(b.sim.Violations(), 0u);
      EXPECT_EQ(PortHandle, test::SimDriver::kHandle);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(First25, ChipsSimEach, ::testing::Range(size_t{0}, kChipCount), ChipParamName);

TEST(ChipsSim, VerifyNamesTheFirstDifference) {
  for (const ChipCase& c : kChips) {
    struct Case {
      bool program;
      uint32_t address;
      std::string digits;
    };
    std::vector<Case> cases = {{true, 0x01A3, "01A3"}};
    const ChipEntry* e = FindChipByName(c.name);
    const uint32_t dataAddress = e->eepromSize / 2 + 3;
    char digits[16];
    std::snprintf(digits, sizeof digits, "%04X", dataAddress);
    cases.push_back({false, dataAddress, digits});
    if (e->flashSize > 0x1A3F1) cases.push_back({true, 0x1A3F1, "1A3F1"});
    for (const Case& k : cases) {
      SCOPED_TRACE(std::string(c.name) + " " + k.digits);
      Bench b(c);
      std::vector<uint8_t>& chip = k.program ? b.S().flash : b.S().eeprom;
      uint8_t* image = k.program ? ProgramImage.data() : DataImage.data();
      chip = RandomBytes(chip.size(), k.address);
      std::copy(chip.begin(), chip.end(), image);
      chip[k.address] ^= 0x10;
      b.Run(k.program ? MemoryOperation::VerifyProgram : MemoryOperation::VerifyData);
      EXPECT_EQ(b.ResultLine(), "       Finished with fail. Address: 0x" + k.digits);
      EXPECT_EQ(PortHandle, test::SimDriver::kHandle) << "a difference leaves the port open";
    }
  }
}

TEST(ChipsSim, ChipEraseAndCalibration) {
  for (const ChipCase& c : kChips) {
    SCOPED_TRACE(c.name);
    Bench b(c);
    std::fill(b.S().flash.begin(), b.S().flash.end(), 0x00);
    std::fill(b.S().eeprom.begin(), b.S().eeprom.end(), 0x12);
    b.S().lock = 0x00;
    b.f.prompt.yesNo = {true};
    RunChipErase();
    ASSERT_FALSE(b.f.log.lines.empty());
    EXPECT_EQ(b.f.log.lines.back(), "       Finished with success.");
    EXPECT_TRUE(std::all_of(b.S().flash.begin(), b.S().flash.end(), [](uint8_t v) { return v == 0xFF; }));
    EXPECT_TRUE(std::all_of(b.S().eeprom.begin(), b.S().eeprom.end(), [](uint8_t v) { return v == 0xFF; }));
    EXPECT_EQ(b.S().lock, 0xFF);
    EXPECT_EQ(b.sim.Violations(), 0u);

    b.f.ClearRecords();
    RunReadCalibration();
    const sim::SimChipModel& m = b.sim.Chip().Model();
    const std::string name = c.name;
    if (name.rfind("AT90S", 0) == 0 || name == "ATtiny22") {
      EXPECT_EQ(b.f.log.lines, std::vector<std::string>{"Command is not available for this chip"});
      continue;
    }
    std::string line;
    for (int i = 0; i < m.calibrationCount; ++i) {
      char t[32];
      std::snprintf(t, sizeof t, "calibration %d = 0x%02X", i, m.calibration[i]);
      line += t;
    }
    ASSERT_FALSE(b.f.log.lines.empty());
    EXPECT_EQ(b.f.log.lines.back(), line);
  }
}

// One byte flipped, lost or sent twice, at every byte of Autosearch and of a signature read that
// follows it, either way on the line: never another chip named, never a wrong signature taken.
// ATtiny12 (1E 90 05) is one bit from AT90S2333 (1E 91 05).
TEST(ChipsSim, OneDamagedByteNeverNamesAWrongChipNorAWrongSignature) {
  using Fault = test::SimDriver::Fault;
  for (const char* chip : {"ATtiny12", "ATtiny85"}) {
    const ChipId id = FindChipByName(chip)->id;
    // The bytes each way of the clean run: Autosearch, then the signature read.
    uint64_t searchIn = 0, searchOut = 0, readIn = 0, readOut = 0;
    {
      test::CoreFixture f;
      test::SimDriver sim(chip);
      f.Connect();
      SetIdentifiedSignature(0);
      RunAutosearch();
      searchIn = sim.BytesIn(), searchOut = sim.BytesOut();
      std::vector<uint8_t> sig;
      JobResult r;
      ASSERT_TRUE(ReadMemoryJob(Memory::Signature, sig, r));
      readIn = sim.BytesIn(), readOut = sim.BytesOut();
    }
    int cases = 0, named = 0, read = 0;
    for (Fault kind : {Fault::Flip, Fault::Drop, Fault::Dup})
      for (bool toProgram : {false, true})
        for (uint64_t at = 1; at <= (toProgram ? readOut : readIn); ++at) {
          SCOPED_TRACE(std::string(chip) + " fault " + std::to_string(int(kind)) + (toProgram ? " out @" : " in @") +
                       std::to_string(at));
          test::CoreFixture f;
          test::SimDriver sim(chip);
          sim.fault = {kind, toProgram, at};
          f.Connect();
          SelectChip(0);
          SetIdentifiedSignature(0);
          RunAutosearch();
          ++cases;
          EXPECT_TRUE(SelectedChip == 0 || SelectedChip == id) << SelectedChip;
          if (SelectedChip != id || PortHandle < 0) continue;
          ++named;
          SetIdentifiedSignature(id);
          std::vector<uint8_t> sig;
          JobResult r;
          if (!ReadMemoryJob(Memory::Signature, sig, r)) continue;
          ++read;
          EXPECT_EQ(sig, (std::vector<uint8_t>{uint8_t(id), uint8_t(id >> 8), uint8_t(id >> 16)}));
        }
    // Most faults are put right by reading again, not reported.
    EXPECT_GT(named, cases / 2) << chip;
    EXPECT_GT(read, 0) << chip;
    (void)searchIn, (void)searchOut;
  }
  SetIdentifiedSignature(0);
}

// Fuses and lock bits written, the buffer set back to factory values, read again.
TEST(ChipsSim, FusesAndLockBitsRoundTrip) {
  for (const ChipCase& c : kChips) {
    SCOPED_TRACE(c.name);
    Bench b(c);
    const std::vector<uint8_t> flash = RandomBytes(b.S().flash.size(), 7);
    const std::vector<uint8_t> eeprom = RandomBytes(b.S().eeprom.size(), 8);
    b.S().flash = flash;
    b.S().eeprom = eeprom;
    std::copy(c.fuses, c.fuses + 4, FuseLockBytes.begin());
    ASSERT_TRUE(WriteLockAndFuses());
    EXPECT_NE(b.f.log.lines.back().find("Lock bits 0x"), std::string::npos);
    // Guards the fuse write that the older parts would take as Chip Erase.
    EXPECT_EQ(b.S().flash, flash);
    EXPECT_EQ(b.S().eeprom, eeprom);
    EXPECT_EQ(b.sim.Violations(), 0u);

    ResetChipBuffer(3);
    const std::array<uint8_t, 8> factory = FuseLockBytes;
    b.f.ClearRecords();
    EXPECT_TRUE(ReadLockAndFuses());
    const std::vector<uint8_t> want(c.fuses, c.fuses + 4);
    const std::vector<uint8_t> got(FuseLockBytes.begin(), FuseLockBytes.begin() + 4);
    if (c.readable) {
      EXPECT_EQ(got, want);
      EXPECT_EQ(b.f.log.lines.back(), "       Finished with success.");
    } else {
      EXPECT_EQ(FuseLockBytes, factory);
      EXPECT_EQ(b.f.log.lines, std::vector<std::string>{"Command is not available for this chip"});
      // LB1 and LB2 sit in bits 1 and 2 both in the buffer and on these parts.
      EXPECT_EQ(b.S().lock & 0x06, c.fuses[1] & 0x06);
    }
    EXPECT_EQ(PortHandle, test::SimDriver::kHandle);
  }
}

}  // namespace
}  // namespace quillet

namespace quillet {
namespace {

// Every chip beyond the first 25, end to end at DelayValue 0: found by Autosearch, erased,
// both memories written with random bytes, verified and read back, the fuses and lock bits
// written and read back, and never an instruction inside a write's busy time. One case a chip.
class NewerChipsSim : public ::testing::TestWithParam<size_t> {};

TEST_P(NewerChipsSim, EndToEnd) {
  unsigned seed = 100 + static_cast<unsigned>(GetParam()) * 2;
  const ChipEntry& e = Catalogue()[GetParam()];
  SCOPED_TRACE(e.name);
  ASSERT_NE(e.part, nullptr);
  const ChipCase c{e.name, {}, true};
  Bench b(c);
  b.f.ClearRecords();
  RunAutosearch();
  ASSERT_FALSE(b.f.log.lines.empty());
  EXPECT_EQ(b.f.log.lines.back(), std::string("Selected chip is  ") + e.name);
  b.f.prompt.yesNo = {true};
  RunChipErase();
  EXPECT_EQ(b.f.log.lines.back(), "       Finished with success.");

  const std::vector<uint8_t> flash = RandomBytes(e.flashSize, seed++);
  const std::vector<uint8_t> eeprom = RandomBytes(e.eepromSize, seed++);
  std::copy(flash.begin(), flash.end(), ProgramImage.begin());
  std::copy(eeprom.begin(), eeprom.end(), DataImage.begin());
  for (MemoryOperation op : {MemoryOperation::WriteProgram, MemoryOperation::WriteData}) {
    b.Run(op);
    EXPECT_EQ(b.ResultLine(), "       Finished");
  }
  EXPECT_EQ(b.S().flash, flash);
  EXPECT_EQ(b.S().eeprom, eeprom);
  for (MemoryOperation op : {MemoryOperation::VerifyProgram, MemoryOperation::VerifyData}) {
    b.Run(op);
    EXPECT_EQ(b.ResultLine(), "       Finished. No differences found.");
  }
  std::fill(ProgramImage.begin(), ProgramImage.end(), 0x00);
  std::fill(DataImage.begin(), DataImage.end(), 0x00);
  b.Run(MemoryOperation::ReadProgram);
  b.Run(MemoryOperation::ReadData);
  EXPECT_TRUE(std::equal(flash.begin(), flash.end(), ProgramImage.begin()));
  EXPECT_TRUE(std::equal(eeprom.begin(), eeprom.end(), DataImage.begin()));

  // Every fuse bit the chip has turned over, but those that would lock the gateway out;
  // LB1 programmed last.
  const PartRow& p = *e.part;
  std::vector<uint8_t> want;
  for (int i = 0; i < p.fuseCount; ++i) {
    const uint8_t keep = RoleBits(p, i, FuseRole::SpiEnable) | RoleBits(p, i, FuseRole::ResetDisable) |
                         RoleBits(p, i, FuseRole::DebugWire);
    const uint8_t flip = ExistingBits(p, i) & static_cast<uint8_t>(~keep);
    FuseLockBytes[i] = static_cast<uint8_t>(p.fuses[i].factory ^ flip);
    want.push_back(static_cast<uint8_t>(FuseLockBytes[i] | ~ExistingBits(p, i)));
  }
  FuseLockBytes[p.fuseCount] = static_cast<uint8_t>(0xFF & ~NamedBit(p, -1, "LB1"));
  want.push_back(FuseLockBytes[p.fuseCount]);
  ASSERT_TRUE(WriteLockAndFuses());
  ResetChipBuffer(3);
  ASSERT_TRUE(ReadLockAndFuses());
  EXPECT_EQ(std::vector<uint8_t>(FuseLockBytes.begin(), FuseLockBytes.begin() + want.size()),
            want);
  EXPECT_EQ(b.sim.Violations(), 0u);
  EXPECT_EQ(PortHandle, test::SimDriver::kHandle);
}

INSTANTIATE_TEST_SUITE_P(Newer, NewerChipsSim, ::testing::Range(kChipCount, Catalogue().size()),
                         ChipParamName);

}  // namespace
}  // namespace quillet

namespace quillet {
namespace {

// The rows whose waits grew, at DelayValue 0 against chips that stay busy as long as their
// datasheets and avrdude's part file say (written out here, not taken from the rows): the
// 3.6 ms EEPROM wait of the ATmega164P/644 lost every page after the first.
TEST(ChipsSim, ChangedWaitsHoldAgainstTheSources) {
  const struct {
    const char* chip;
    WriteTimes times;  // flash, EEPROM, erase, fuse in us
  } cases[] = {
      {"ATmega164P", {4500, 9000, 55000, 9000}},    // 7674F Table 25-16; avrdude erase, fuse
      {"ATmega644", {4500, 9000, 55000, 9000}},     // 2593O Table 25-16; avrdude
      {"ATmega324P", {4500, 9000, 55000, 9000}},    // 7674F; avrdude
      {"ATmega48P", {4500, 3600, 45000, 4500}},     // avrdude's chip_erase_delay
      {"ATmega168P", {4500, 3600, 10500, 4500}},    // DS40002011A Table 32-17
      {"ATmega16M1", {4500, 3600, 10500, 4500}},    // 8209E tWD_FLASH
      {"ATtiny87", {4500, 4500, 15000, 9000}},      // avrdude
      {"ATmega128RFA1", {50000, 13000, 55000, 9000}},  // avrdude; 42073A EEPROM
      {"AT90S2333", {20000, 20000, 20000, 20000}},  // avrdude
      {"AT90S1200", {9000, 9000, 20000, 20000}},     // avrdude
      {"ATtiny12", {20000, 20000, 20000, 9000}},     // avrdude
      {"ATtiny85", {4500, 4500, 9000, 9000}},        // 2586; avrdude EEPROM, fuse
  };
  unsigned seed = 500;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.chip);
    Bench b(ChipCase{c.chip, {}, true});
    b.sim.Chip().SetTimes(c.times);
    b.f.prompt.yesNo = {true};
    RunChipErase();
    EXPECT_EQ(b.f.log.lines.back(), "       Finished with success.");
    const ChipEntry& e = *FindChipByName(c.chip);
    const std::vector<uint8_t> flash = RandomBytes(std::min<uint32_t>(e.flashSize, 2048), seed++);
    const std::vector<uint8_t> eeprom = RandomBytes(e.eepromSize, seed++);
    std::fill(ProgramImage.begin(), ProgramImage.begin() + e.flashSize, 0xFF);
    std::copy(flash.begin(), flash.end(), ProgramImage.begin());
    std::copy(eeprom.begin(), eeprom.end(), DataImage.begin());
    for (MemoryOperation op : {MemoryOperation::WriteProgram, MemoryOperation::WriteData}) {
      b.Run(op);
      EXPECT_EQ(b.ResultLine(), "       Finished");
    }
    EXPECT_TRUE(std::equal(flash.begin(), flash.end(), b.S().flash.begin()));
    EXPECT_EQ(b.S().eeprom, eeprom);
    EXPECT_EQ(b.sim.Violations(), 0u);
  }
}

}  // namespace
}  // namespace quillet
