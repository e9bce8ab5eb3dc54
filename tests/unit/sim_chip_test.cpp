#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "chips/Catalogue.h"
#include "sim/Gateway.h"
#include "support/Fakes.h"

namespace quillet::sim {
namespace {

// Drives a gateway byte by byte, the way the program does, in microseconds of virtual time.
struct Bench {
  explicit Bench(const char* name, GatewayOptions o = {})
      : chip(*FindSimChip(name)), gw(&chip, o) {}
  std::vector<uint8_t> Send(std::initializer_list<uint8_t> bytes) {
    std::vector<uint8_t> out;
    for (uint8_t b : bytes) gw.Receive(b, t, out);
    return out;
  }
  void Pulse() {
    Send({0x48});
    t += 1000;
    Send({0x47});
    t += 20000;
  }
  // Load, execute and read back one instruction; the answer of ReadBack.
  std::vector<uint8_t> Exec(uint8_t i1, uint8_t i2, uint8_t i3, uint8_t i4) {
    Send({0x44, i4, i3, i2, i1, 0x46});
    t += 100;
    return Send({0x45});
  }
  uint8_t Value(uint8_t i1, uint8_t i2, uint8_t i3, uint8_t i4 = 0) { return Exec(i1, i2, i3, i4)[0]; }
  // A write, then enough time for the chip to finish it.
  void Write(uint8_t i1, uint8_t i2, uint8_t i3, uint8_t i4) {
    Exec(i1, i2, i3, i4);
    t += 20000;
  }
  bool Enter() {
    Pulse();
    return Exec(0xAC, 0x53, 0, 0)[1] == 0x53;
  }
  SimChipState& S() { return chip.State(); }
  SimChip chip;
  Gateway gw;
  int64_t t = 0;
};

TEST(SimChipModels, AgreeWithTheCatalogue) {
  ASSERT_EQ(SimChipModels().size(), Catalogue().size());
  for (const ChipEntry& e : Catalogue()) {
    const SimChipModel* m = FindSimChip(e.name);
    ASSERT_NE(m, nullptr) << e.name;
    EXPECT_EQ(MakeChipId(m->signature[0], m->signature[1], m->signature[2]), e.id) << e.name;
    EXPECT_EQ(m->flashBytes, e.flashSize) << e.name;
    EXPECT_EQ(m->eepromBytes, e.eepromSize) << e.name;
    EXPECT_EQ(m->calibrationCount, e.calibrationCount) << e.name;
    // The program's buffer: fuse bytes, then the lock byte.
    for (int i = 0; i < m->fuseCount; ++i) EXPECT_EQ(m->factoryFuse[i], e.factory[i]) << e.name;
    EXPECT_EQ(e.factory[m->fuseCount], 0xFF) << e.name;
    if (m->flashPageWords) {
      EXPECT_EQ(m->flashBytes % (m->flashPageWords * 2), 0u) << e.name;
    }
  }
  EXPECT_EQ(FindSimChip("attiny2313"), FindSimChip("ATtiny2313"));
  EXPECT_EQ(FindSimChip("ATtiny9"), nullptr);
  // Every name and part id quillet-cli takes.
  const std::pair<const char*, const char*> others[] = {
      {"m328p", "ATmega328P"}, {"ATtiny13A", "ATtiny13"}, {"t85", "ATtiny85"}, {"atmega8a", "ATmega8"}};
  for (const auto& [other, name] : others) EXPECT_EQ(FindSimChip(other), FindSimChip(name)) << other;
}

TEST(SimChip, EveryChipAnswersItsSignatureAndCalibration) {
  for (const SimChipModel& m : SimChipModels()) {
    Bench b(m.name);
    b.Pulse();
    const auto pe = b.Exec(0xAC, 0x53, 0, 0);
    EXPECT_EQ(pe[1], m.echo ? 0x53 : 0x00) << m.name;
    for (int i = 0; i < 3; ++i) EXPECT_EQ(b.Value(0x30, 0, i), m.signature[i]) << m.name << i;
    for (int i = 0; i < m.calibrationCount; ++i)
      EXPECT_EQ(b.Value(0x38, 0, i), m.calibration[i]) << m.name << i;
  }
}

TEST(SimChip, ProgrammingEnableNeedsAResetPulseAndTime) {
  struct Case {
    const char* what;
    std::vector<uint8_t> reset;  // reset commands before the instruction
    int64_t settleUs;
    bool echo;
    uint64_t violations;
  } cases[] = {
      {"no reset at all", {}, 30000, false, 0},
      {"only ResetLow, as the set-up sends it", {0x47}, 30000, false, 0},
      {"pulse", {0x48, 0x47}, 20000, true, 0},
      {"pulse, too soon", {0x48, 0x47}, 5000, false, 1},
      {"reset left high", {0x47, 0x48}, 30000, false, 0},
  };
  for (const Case& c : cases) {
    Bench b("ATtiny2313");
    for (uint8_t r : c.reset) b.Send({r});
    b.t += c.settleUs;
    const auto a = b.Exec(0xAC, 0x53, 0, 0);
    ASSERT_EQ(a.size(), 8u);
    EXPECT_EQ(a[1] == 0x53, c.echo) << c.what;
    EXPECT_EQ(b.S().violations, c.violations) << c.what;
    // Without programming mode the chip does not drive MISO.
    if (!c.echo) {
      EXPECT_EQ(b.Value(0x30, 0, 0), 0xFF) << c.what;
    }
  }
}

TEST(SimChip, EchoStaysUntilTheNextPulseAndTheAnswerIsInPacketOrder) {
  Bench b("ATtiny2313");
  b.Pulse();
  EXPECT_EQ(b.Exec(0xAC, 0x53, 0x00, 0x00), (std::vector<uint8_t>{0x00, 0x53, 0xAC, 0xFF, 0, 0, 0, 0}));
  EXPECT_EQ(b.Exec(0xAC, 0x53, 0x11, 0x22)[1], 0x53);
  b.Send({0x48});
  EXPECT_EQ(b.Exec(0xAC, 0x53, 0, 0)[1], 0xFF);
}

TEST(SimChip, FlashProgrammingOnlyClearsBitsUntilAnErase) {
  struct Case {
    const char* chip;
    bool paged;
  } cases[] = {{"AT90S2313", false}, {"ATtiny15", false}, {"ATtiny2313", true}, {"AT90CAN32", true}};
  for (const Case& c : cases) {
    Bench b(c.chip);
    ASSERT_TRUE(b.Enter());
    auto program = [&](uint8_t v) {
      if (c.paged) {
        b.Send({0x44, v, 0x00, 0x00, 0x48, 0x46});  // load word 0 high byte
        b.Write(0x4C, 0x00, 0x00, 0x00);
      } else {
        b.Write(0x48, 0x00, 0x00, v);
      }
    };
    program(0xF0);
    EXPECT_EQ(b.Value(0x28, 0, 0), 0xF0) << c.chip;
    program(0x3C);
    EXPECT_EQ(b.Value(0x28, 0, 0), 0x30) << c.chip;
    EXPECT_EQ(b.Value(0x20, 0, 0), 0xFF) << c.chip;
    b.Write(0xAC, 0x80, 0, 0);
    EXPECT_EQ(b.Value(0x28, 0, 0), 0xFF) << c.chip;
    program(0x3C);
    EXPECT_EQ(b.Value(0x28, 0, 0), 0x3C) << c.chip;
    EXPECT_EQ(b.S().violations, 0u) << c.chip;
  }
}

TEST(SimChip, PageBufferIsTheRealPageAndReachesFlashOnlyOnCommit) {
  struct Case {
    const char* chip;
    int pageWords;
  } cases[] = {{"ATtiny13", 16}, {"ATtiny2313", 16}, {"ATtiny85", 32}, {"ATtiny861", 32},
               {"AT90CAN128", 128}};
  for (const Case& c : cases) {
    Bench b(c.chip);
    ASSERT_TRUE(b.Enter());
    const int words = c.pageWords;
    // Page 1, every word loaded with its low offset bits only; I2 and the high bits of I3
    // are ignored by the buffer.
    for (int w = 0; w < words; ++w) {
      const uint8_t i3 = static_cast<uint8_t>(words < 64 ? (0xC0 | w) : w);
      b.Write(0x40, 0x55, i3, static_cast<uint8_t>(w));
      b.Write(0x48, 0x55, i3, static_cast<uint8_t>(0x80 | w));
    }
    EXPECT_EQ(b.S().flash[2 * words], 0xFF) << c.chip << ": loads alone write nothing";
    // Commit with any word address inside page 1.
    const int last = 2 * words - 1;
    b.Write(0x4C, static_cast<uint8_t>(last >> 8), static_cast<uint8_t>(last), 0);
    for (int w = 0; w < words; ++w) {
      EXPECT_EQ(b.S().flash[2 * (words + w)], w) << c.chip << w;
      EXPECT_EQ(b.S().flash[2 * (words + w) + 1], 0x80 | w) << c.chip << w;
    }
    EXPECT_EQ(b.S().flash[0], 0xFF) << c.chip;
    EXPECT_EQ(b.S().flash[4 * words], 0xFF) << c.chip;
    // The buffer is empty again after a commit.
    b.Write(0x4C, 0, 0, 0);
    EXPECT_EQ(b.S().flash[0], 0xFF) << c.chip;
  }
}

TEST(SimChip, EepromWritesReplaceAndPagesWriteOnlyLoadedBytes) {
  Bench b("ATtiny2313");
  ASSERT_TRUE(b.Enter());
  b.Write(0xC0, 0, 0x05, 0x0F);
  b.Write(0xC0, 0, 0x05, 0xF0);
  EXPECT_EQ(b.Value(0xA0, 0, 0x05), 0xF0);
  b.Send({0x44, 0x11, 0x01, 0x00, 0xC1, 0x46});
  b.Send({0x44, 0x33, 0x03, 0x00, 0xC1, 0x46});
  b.Write(0xC2, 0, 0x46, 0);  // page 0x44..0x47
  EXPECT_EQ(b.S().eeprom[0x45], 0x11);
  EXPECT_EQ(b.S().eeprom[0x44], 0xFF);
  EXPECT_EQ(b.S().eeprom[0x47], 0x33);
  // Addresses beyond the EEPROM wrap as the part ignores the upper bits.
  b.Write(0xC0, 0x01, 0x85, 0x5A);
  EXPECT_EQ(b.S().eeprom[0x05], 0x5A);

  Bench can("AT90CAN64");
  ASSERT_TRUE(can.Enter());
  can.Send({0x44, 0x77, 0x07, 0x00, 0xC1, 0x46});
  can.Write(0xC2, 0x07, 0xF8, 0);
  EXPECT_EQ(can.S().eeprom[0x7FF], 0x77);
}

TEST(SimChip, ChipEraseClearsMemoriesAndLockButKeepsFuses) {
  Bench b("ATtiny2313");
  ASSERT_TRUE(b.Enter());
  b.Write(0xC0, 0, 1, 0x12);
  b.Write(0xAC, 0xA0, 0, 0xE4);
  b.Write(0xAC, 0xE0, 0, 0xFC);
  EXPECT_EQ(b.Value(0x58, 0, 0), 0xFC);
  b.Write(0xAC, 0x80, 0, 0);
  EXPECT_EQ(b.S().eeprom[1], 0xFF);
  EXPECT_EQ(b.Value(0x58, 0, 0), 0xFF);
  EXPECT_EQ(b.Value(0x50, 0, 0), 0xE4);
  // EESAVE (high fuse bit 6) keeps the EEPROM through an erase.
  b.Write(0xC0, 0, 1, 0x12);
  b.Write(0xAC, 0xA8, 0, 0x9F);
  b.Write(0xAC, 0x80, 0, 0);
  EXPECT_EQ(b.S().eeprom[1], 0x12);
}

// Fuse and lock instruction forms of every family, with the values read back.
TEST(SimChip, FuseAndLockFormsOfEachFamily) {
  struct Step {
    uint8_t i1, i2, i3, i4;
    int expect;  // -1: a write; else the byte read back
  };
  struct Case {
    const char* chip;
    std::vector<Step> steps;
  } cases[] = {
      {"ATtiny2313",
       {{0x50, 0x00, 0, 0, 0x64}, {0x58, 0x08, 0, 0, 0xDF}, {0x50, 0x08, 0, 0, 0xFF},
        {0x58, 0x00, 0, 0, 0xFF},
        {0xAC, 0xA0, 0, 0xE4, -1}, {0xAC, 0xA8, 0, 0xFF, -1}, {0xAC, 0xA4, 0, 0x00, -1},
        // SPIEN (high bit 5) cannot be changed over this interface.
        {0x50, 0x00, 0, 0, 0xE4}, {0x58, 0x08, 0, 0, 0xDF}, {0x50, 0x08, 0, 0, 0xFE},
        {0xAC, 0xE0, 0, 0xFE, -1}, {0xAC, 0xE0, 0, 0xFD, -1}, {0x58, 0x00, 0, 0, 0xFC},
        // Lock mode 3: fuses are locked too.
        {0xAC, 0xA0, 0, 0x00, -1}, {0x50, 0x00, 0, 0, 0xE4}}},
      {"ATtiny13",
       {{0x50, 0x00, 0, 0, 0x6A}, {0x58, 0x08, 0, 0, 0xFF}, {0xAC, 0xA8, 0, 0x00, -1},
        {0x58, 0x08, 0, 0, 0xE0}, {0xAC, 0xA0, 0, 0x00, -1}, {0x50, 0x00, 0, 0, 0x00}}},
      {"AT90CAN32",
       {{0x58, 0x08, 0, 0, 0x99}, {0x50, 0x08, 0, 0, 0xFF}, {0xAC, 0xE0, 0, 0x00, -1},
        {0x58, 0x00, 0, 0, 0xC0}}},
      {"ATtiny12",
       {{0x50, 0x00, 0, 0, 0x52}, {0xAC, 0xA0, 0, 0x7D, -1}, {0x50, 0x00, 0, 0, 0x5D},
        {0x58, 0x00, 0, 0, 0xFF}, {0xAC, 0xF9, 0, 0, -1}, {0x58, 0x00, 0, 0, 0xF9}}},
      {"ATtiny15",
       {{0x50, 0x00, 0, 0, 0x5C}, {0xAC, 0xA0, 0, 0x50, -1}, {0x50, 0x00, 0, 0, 0x5C},
        {0xAC, 0xA0, 0, 0x5E, -1}, {0x50, 0x00, 0, 0, 0x5E}}},
      {"AT90S4433",
       {{0x50, 0x00, 0, 0, 0xDA}, {0xAC, 0xBF, 0, 0, -1}, {0x50, 0x00, 0, 0, 0xDF},
        {0xAC, 0xA0, 0, 0, -1}, {0x50, 0x00, 0, 0, 0xC0}, {0xAC, 0xFB, 0, 0, -1},
        {0x58, 0x00, 0, 0, 0xFB}}},
      {"AT90S2343",
       {{0x58, 0x00, 0, 0, 0xDE}, {0xAC, 0xBF, 0, 0, -1}, {0x58, 0x00, 0, 0, 0xDF},
        {0xAC, 0xFD, 0, 0, -1}, {0x58, 0x00, 0, 0, 0x5F}, {0xAC, 0xF9, 0, 0, -1},
        {0x58, 0x00, 0, 0, 0x1F}}},
      // The oldest parts cannot read fuses or lock bits: the instruction is not theirs.
      {"AT90S8515", {{0x58, 0x00, 0, 0, 0x00}, {0x50, 0x00, 0, 0, 0x00}}},
  };
  for (const Case& c : cases) {
    Bench b(c.chip);
    ASSERT_TRUE(b.Enter()) << c.chip;
    int n = 0;
    for (const Step& s : c.steps) {
      ++n;
      if (s.expect < 0) b.Write(s.i1, s.i2, s.i3, s.i4);
      else EXPECT_EQ(b.Value(s.i1, s.i2, s.i3, s.i4), s.expect) << c.chip << " step " << n;
    }
    EXPECT_EQ(b.S().violations, 0u) << c.chip;
  }
}

// The fuse write the program sends to AT90S2323/4434 (I2 = 0x9E) is a chip erase there.
TEST(SimChip, OldPartsTakeAc9eAsAChipErase) {
  for (const char* name : {"AT90S2323", "AT90S4434", "AT90S8535"}) {
    Bench b(name);
    ASSERT_TRUE(b.Enter());
    b.Write(0x40, 0, 0, 0x12);
    b.Write(0xC0, 0, 0, 0x34);
    b.Write(0xAC, 0x9E, 0, 0);
    EXPECT_EQ(b.S().flash[0], 0xFF) << name;
    EXPECT_EQ(b.S().eeprom[0], 0xFF) << name;
    EXPECT_EQ(b.S().fuses[0], b.chip.Model().factoryFuse[0]) << name;
  }
}

TEST(SimChip, LockedPartsRefuseWritesAndHideContents) {
  Bench b("AT90S2313");
  ASSERT_TRUE(b.Enter());
  b.Write(0x40, 0, 0, 0x12);
  b.Write(0xAC, 0xFD, 0, 0);  // LB1
  b.Write(0x40, 0, 1, 0x00);
  EXPECT_EQ(b.S().flash[2], 0xFF);
  EXPECT_EQ(b.Value(0x20, 0, 0), 0x12);
  b.Write(0xAC, 0xF9, 0, 0);  // LB1 and LB2
  EXPECT_EQ(b.Value(0x20, 0, 0), 0xFF);
  b.Write(0xAC, 0x80, 0, 0);
  b.Write(0x40, 0, 1, 0x00);
  EXPECT_EQ(b.S().flash[2], 0x00);
}

TEST(SimChip, InstructionsWhileBusyAreIgnoredAndCounted) {
  struct Case {
    const char* chip;
    std::vector<uint8_t> write;  // I1..I4
    int64_t busyUs;
  } cases[] = {
      {"ATtiny2313", {0xAC, 0x80, 0, 0}, 9000},   {"ATtiny2313", {0xC0, 0, 1, 0x12}, 4500},
      {"ATtiny2313", {0x4C, 0, 0, 0}, 4500},      {"ATtiny26", {0xC0, 0, 1, 0x12}, 9000},
      {"AT90S1200", {0x40, 0, 1, 0x12}, 9000},    {"ATtiny12", {0xAC, 0xA0, 0, 0x52}, 9000},
      {"AT90S2333", {0xC0, 0, 1, 0x12}, 20000},
  };
  for (const Case& c : cases) {
    Bench b(c.chip);
    b.Enter();
    b.Exec(c.write[0], c.write[1], c.write[2], c.write[3]);
    const int64_t start = b.t - 100;
    b.t = start + c.busyUs - 200;
    EXPECT_EQ(b.Exec(0x30, 0, 0, 0), (std::vector<uint8_t>{0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 0, 0}))
        << c.chip;
    EXPECT_EQ(b.S().violations, 1u) << c.chip;
    b.t = start + c.busyUs;
    EXPECT_EQ(b.Value(0x30, 0, 0), 0x1E) << c.chip;
    EXPECT_EQ(b.S().violations, 1u) << c.chip;
  }
  // Polling RDY/BSY is what the real parts allow while busy.
  Bench b("ATtiny2313");
  b.Enter();
  b.Exec(0xAC, 0x80, 0, 0);
  EXPECT_EQ(b.Value(0xF0, 0, 0) & 1, 1);
  b.t += 9000;
  EXPECT_EQ(b.Value(0xF0, 0, 0) & 1, 0);
  EXPECT_EQ(b.S().violations, 0u);
}

// RSTDISBL and DWEN take the reset pin away: the part stays reachable until the next reset
// pulse, then no longer answers, until its fuses are restored by hand.
TEST(SimChip, ResetDisableAndDebugWireLockTheProgrammerOut) {
  struct Case {
    const char* chip;
    uint8_t i2, i4;  // the fuse write
    bool locksOut;
  } cases[] = {
      {"ATtiny2313", 0xA8, 0xDE, true},  {"ATtiny2313", 0xA8, 0x5F, true},
      {"ATtiny85", 0xA8, 0x5F, true},    {"ATtiny861", 0xA8, 0x9F, true},
      {"ATtiny13", 0xA8, 0xFE, true},    {"ATtiny13", 0xA8, 0xF7, true},
      {"ATtiny26", 0xA8, 0xE7, true},    {"ATtiny12", 0xA0, 0x42, true},
      {"ATtiny15", 0xA0, 0x4C, true},
      // Bits next to them, and a part without either, change nothing.
      {"ATtiny2313", 0xA8, 0x9D, false}, {"ATtiny85", 0xA8, 0xD6, false},
      {"AT90CAN32", 0xA8, 0x19, false},
  };
  for (const Case& c : cases) {
    Bench b(c.chip);
    ASSERT_TRUE(b.Enter()) << c.chip;
    b.Write(0xAC, c.i2, 0, c.i4);
    EXPECT_EQ(b.chip.LockedOut(), c.locksOut) << c.chip << " " << int{c.i4};
    EXPECT_EQ(b.Value(0x30, 0, 1), b.chip.Model().signature[1]) << "still in programming mode";

    b.Pulse();
    const auto pe = b.Exec(0xAC, 0x53, 0, 0);
    EXPECT_EQ(pe[1] == 0x53, !c.locksOut) << c.chip << " " << int{c.i4};
    if (c.locksOut) {
      EXPECT_EQ(pe[0], 0xFF) << c.chip;
      EXPECT_EQ(b.Value(0x30, 0, 1), 0xFF) << c.chip;
      ASSERT_FALSE(b.Enter()) << "every later pulse too: " << c.chip;
      b.chip.ResetFuses();
      EXPECT_EQ(b.S().fuses[0], b.chip.Model().factoryFuse[0]) << c.chip;
      ASSERT_TRUE(b.Enter()) << "after the fuses are restored: " << c.chip;
    }
    EXPECT_EQ(b.S().violations, 0u) << c.chip;
  }
}

// Guards against the simulator blaming the program for its own late reading of the line.
TEST(SimChip, BusyCountsFromTheEarliestArrivalWhenGiven) {
  Bench b("ATtiny2313");
  ASSERT_TRUE(b.Enter());
  b.chip.SetEarliestArrivalUs(b.t - 2000);  // read 2 ms late
  b.Exec(0xC0, 0, 1, 0x12);                 // EEPROM byte: busy 4.5 ms
  b.t += 2600;
  EXPECT_EQ(b.Value(0x30, 0, 0), 0x1E);
  EXPECT_EQ(b.S().violations, 0u);
  b.chip.SetEarliestArrivalUs(b.t);
  b.Exec(0xC0, 0, 1, 0x34);
  b.t += 2600;
  EXPECT_EQ(b.Value(0x30, 0, 0), 0xFF);
  EXPECT_EQ(b.S().violations, 1u);
}

// Guards the enable refused, and the read failed, when a busy machine read ResetLow and the
// Programming Enable together: only a verdict the proven arrival backs fails the instruction,
// unless strict timing is asked for.
TEST(SimChip, UnprovenTimingIsAWarningUnlessStrict) {
  struct Case {
    bool strict;
    int64_t provenBackUs;  // how far before the read the bytes are proven to have come
    bool refused;
  } cases[] = {{false, 0, true}, {false, 30000, false}, {true, 30000, true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.strict) + " " + std::to_string(c.provenBackUs));
    Bench b("ATtiny85");
    b.chip.SetStrictTiming(c.strict);
    b.Send({0x48});
    b.t += 1000;  // ResetLow and the enable read together 1 ms after the pulse
    b.chip.SetEarliestArrivalUs(b.t - 1000);
    b.chip.SetProvenArrivalUs(b.t - c.provenBackUs);
    b.Send({0x47});
    std::string note;
    const Bytes4 out = b.chip.Transfer({0xAC, 0x53, 0x00, 0x00}, b.t, &note);
    EXPECT_EQ(out[2] == 0x53, !c.refused) << note;
    EXPECT_EQ(b.S().violations, c.refused ? 1u : 0u);
    EXPECT_EQ(note.find("warning") != std::string::npos, !c.refused) << note;
    // The same for a write that the next instruction may have followed too soon.
    b.chip.SetEarliestArrivalUs(INT64_MAX);
    b.chip.SetProvenArrivalUs(INT64_MAX);
    b.Pulse();
    ASSERT_EQ(b.Exec(0xAC, 0x53, 0, 0)[1], 0x53);
    b.chip.SetEarliestArrivalUs(b.t);
    b.chip.SetProvenArrivalUs(b.t - c.provenBackUs);
    b.Exec(0xC0, 0, 1, 0x12);  // EEPROM byte: busy 4 ms
    b.t += 1000;
    const uint64_t before = b.S().violations;
    EXPECT_EQ(b.Value(0x30, 0, 0) == 0x1E, !c.refused);
    EXPECT_EQ(b.S().violations - before, c.refused ? 1u : 0u);
  }
}

TEST(SimGateway, EmptySocketAndFaultModes) {
  auto readBack = [](Gateway& g, int64_t t = 0) {
    std::vector<uint8_t> out;
    for (uint8_t x : {0x44, 0x00, 0x00, 0x00, 0x30, 0x46, 0x45}) g.Receive(x, t, out);
    return out;
  };
  Gateway empty(nullptr);
  EXPECT_EQ(readBack(empty), (std::vector<uint8_t>{0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 0, 0}));

  SimChip chip(*FindSimChip("ATtiny13"));
  Gateway silent(&chip, {.silent = true});
  EXPECT_TRUE(readBack(silent).empty());
  Gateway shortAnswer(&chip, {.shortAnswer = 1});
  EXPECT_EQ(readBack(shortAnswer).size(), 1u);

  // Setup (0x0A p p) and two one-parameter commands count one each; unknown bytes none.
  Gateway hangup(&chip, {.hangupAfter = 3});
  std::vector<uint8_t> out;
  for (uint8_t x : {0x0A, 0x45, 0x47, 0x33, 0x40, 0x45}) hangup.Receive(x, 0, out);
  EXPECT_FALSE(hangup.HungUp());
  EXPECT_EQ(out.size(), 0u) << "parameter bytes are not commands";
  hangup.Receive(0x45, 0, out);
  EXPECT_TRUE(hangup.HungUp());
  EXPECT_EQ(out.size(), 8u);
  EXPECT_EQ(hangup.Commands(), 3);
  hangup.Receive(0x45, 0, out);
  EXPECT_EQ(out.size(), 8u);

  Gateway garbage(&chip, {.garbageAfter = 2});
  EXPECT_EQ(readBack(garbage).size(), 8u + kGarbageBytes.size());

  Bench bad("ATtiny2313", {.badEcho = true});
  EXPECT_FALSE(bad.Enter());
  EXPECT_EQ(bad.Value(0x30, 0, 1), 0x91) << "the chip itself is in programming mode";
}

TEST(SimState, SavesAndLoadsEveryField) {
  SimChip chip(*FindSimChip("ATtiny45"));
  chip.State().flash[4095] = 0x12;
  chip.State().eeprom[0] = 0x00;
  chip.State().fuses = {0x01, 0x02, 0x03};
  chip.State().lock = 0xFC;
  chip.State().violations = 7;
  const std::string path = test::TempDir() + "sim_state_test.txt";
  ASSERT_TRUE(SaveSimState(path, chip.State()));
  SimChipState s;
  ASSERT_TRUE(LoadSimState(path, s));
  EXPECT_EQ(s.chip, "ATtiny45");
  EXPECT_EQ(s.flash, chip.State().flash);
  EXPECT_EQ(s.eeprom, chip.State().eeprom);
  EXPECT_EQ(s.fuses, chip.State().fuses);
  EXPECT_EQ(s.lock, 0xFC);
  EXPECT_EQ(s.violations, 7u);
  SimChip same(*FindSimChip("ATtiny45"));
  EXPECT_TRUE(same.Adopt(s));
  SimChip other(*FindSimChip("ATtiny85"));
  EXPECT_FALSE(other.Adopt(s));
  // Each refusal says why; none takes a value out of its range.
  const std::string good = [&] {
    std::ifstream in(path);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }();
  auto with = [&](const std::string& from, const std::string& to) {
    std::string t = good;
    t.replace(t.find(from), from.size(), to);
    return t;
  };
  const std::pair<std::string, const char*> refused[] = {
      {"", "empty"},
      {with("\nchip", "\r\nchip"), "CR LF"},
      {with("violations 7", "violations -5"), "\"violations\": not a count"},
      {with("violations 7", "violations 18446744073709551616"), "\"violations\": not a count"},
      {with("lock FC", "lock 1FC"), "\"lock\": not a byte"},
      {with("chip ATtiny45\n", ""), "\"chip\": missing"},
      {"state 1\n", "its first line is not"},
  };
  for (const auto& [text, why] : refused) {
    SCOPED_TRACE(why);
    std::ofstream(path, std::ios::trunc | std::ios::binary) << text;
    std::string reason;
    EXPECT_FALSE(LoadSimState(path, s, &reason));
    EXPECT_NE(reason.find(why), std::string::npos) << reason;
  }
  std::string reason;
  std::remove(path.c_str());
  EXPECT_FALSE(LoadSimState(path, s, &reason));
  EXPECT_EQ(reason, "No such file or directory");
  // A directory in its place: refused, and a save leaves no temporary beside it.
  const std::string dir = test::TempDir() + "sim_state_dir";
  mkdir(dir.c_str(), 0755);
  EXPECT_FALSE(LoadSimState(dir, s, &reason));
  EXPECT_EQ(reason, "a directory, not a file");
  EXPECT_FALSE(SaveSimState(dir, chip.State()));
  for (const auto& e : std::filesystem::directory_iterator(test::TempDir()))
    EXPECT_EQ(e.path().filename().string().find("sim_state_dir."), std::string::npos) << e.path();
  rmdir(dir.c_str());
}

}  // namespace
}  // namespace quillet::sim
