// Flash and EEPROM byte operations of every module: address forms, masks, page loads and
// commits, waits, verify and failure paths.
#include <gtest/gtest.h>

#include "chips/Catalogue.h"
#include "chips/ChipModule.h"
#include "image/Images.h"
#include "support/ConnectedTest.h"
#include "support/Fakes.h"

namespace quillet {
namespace {

using Trace = std::vector<std::string>;

using Connected = test::ConnectedTest;

enum Op { kReadP, kWriteP, kLoadP, kPageP, kReadD, kWriteD, kLoadD, kPageD };

bool RunOp(const ChipModule& m, Op op, uint32_t a, bool verify = false) {
  switch (op) {
    case kReadP: return m.ReadProgramByte(a, verify);
    case kWriteP: return m.WriteProgramByte(a);
    case kLoadP: return m.LoadProgramByte(a);
    case kPageP: return m.WriteProgramPage(a);
    case kReadD: return m.ReadDataByte(a, verify);
    case kWriteD: return m.WriteDataByte(a);
    case kLoadD: return m.LoadDataByte(a);
    case kPageD: return m.WriteDataPage(a);
  }
  return false;
}

bool IsRead(Op op) { return op == kReadP || op == kReadD; }
uint8_t& ImageByte(Op op, uint32_t a) { return op <= kPageP ? ProgramImage[a] : DataImage[a]; }

struct Row {
  const ChipModule* m;
  Op op;
  uint32_t address;
  const char* packet;  // the image byte at address is 0xA5 for writes and loads
  int extraWait;       // after DelayValue; 0: none
};

const Row kRows[] = {
    // Flash reads: byte select, word address, address-high mask
    {&Attiny2313, kReadP, 0x123, "44 00 91 00 28", 0},
    {&Attiny2313, kReadP, 0x7FF, "44 00 FF 03 28", 0},
    {&At90s1200, kReadP, 0x3FE, "44 00 FF 01 20", 0},
    {&At90s2333, kReadP, 0xFFF, "44 00 FF 07 28", 0},
    {&At90s4414, kReadP, 0x1FFF, "44 00 FF 0F 28", 0},
    {&At90can32, kReadP, 0x1A3F1, "44 00 F8 D1 28", 0},
    {&Attiny25, kReadP, 0x1FFE, "44 00 FF 0F 20", 0},
    {&Attiny261, kReadP, 0x1FFF, "44 00 FF 0F 28", 0},
    // Flash byte writes
    {&At90s2313, kWriteP, 0x001, "44 A5 00 00 48", 9},
    {&Attiny12, kWriteP, 0x3FE, "44 A5 FF 01 40", 4},
    {&Attiny22, kWriteP, 0x7FF, "44 A5 FF 03 48", 9},
    // Flash page loads: offset form and full-address form
    {&Attiny2313, kLoadP, 0x023, "44 A5 01 00 48", 0},
    {&Attiny13, kLoadP, 0x3FE, "44 A5 0F 00 40", 0},
    {&At90can32, kLoadP, 0x1FF, "44 A5 7F 00 48", 0},
    {&Attiny25, kLoadP, 0x1FFF, "44 A5 FF 0F 48", 0},
    {&Attiny261, kLoadP, 0x123, "44 A5 91 00 48", 0},
    // Flash page commits
    {&At90can32, kPageP, 0x3FF, "44 00 80 01 4C", 5},
    {&At90can32, kPageP, 0x1FFFF, "44 00 80 FF 4C", 5},
    {&Attiny2313, kPageP, 0x7FF, "44 00 F0 03 4C", 5},
    {&Attiny13, kPageP, 0x3DF, "44 00 E0 01 4C", 5},
    {&Attiny25, kPageP, 0x01F, "44 00 0F 00 4C", 5},  // last word of the block, unmasked
    {&Attiny261, kPageP, 0x1FFF, "44 00 FF 0F 4C", 5},
    // EEPROM reads
    {&At90s1200, kReadD, 0x3F, "44 00 3F 00 A0", 0},
    {&At90s2333, kReadD, 0xFF, "44 00 FF 00 A0", 0},
    {&At90s4414, kReadD, 0x1FF, "44 00 FF 01 A0", 0},
    {&Attiny25, kReadD, 0x100, "44 00 00 01 A0", 0},
    {&At90can32, kReadD, 0xFFF, "44 00 FF 0F A0", 0},
    // EEPROM byte writes
    {&At90s2313, kWriteD, 0x7F, "44 A5 7F 00 C0", 9},
    {&At90s4434, kWriteD, 0x1FF, "44 A5 FF 01 C0", 9},
    {&Attiny12, kWriteD, 0x3F, "44 A5 3F 00 C0", 7},
    {&Attiny26, kWriteD, 0x7F, "44 A5 7F 00 C0", 4},
    // EEPROM page loads and commits
    {&Attiny2313, kLoadD, 0x47, "44 A5 03 00 C1", 0},
    {&At90can32, kLoadD, 0x0F, "44 A5 07 00 C1", 0},
    {&Attiny2313, kPageD, 0x47, "44 00 44 00 C2", 5},
    {&Attiny13, kPageD, 0x3F, "44 00 3C 00 C2", 5},
    {&Attiny25, kPageD, 0x1FF, "44 00 FC 01 C2", 5},
    {&At90can32, kPageD, 0xFFF, "44 00 F8 0F C2", 5},
};

TEST_F(Connected, PacketsAndWaitsOfEveryRow) {
  f.port.responder = [](const std::vector<uint8_t>&) { return std::vector<uint8_t>{0x5A, 0x11}; };
  for (const Row& r : kRows) {
    SCOPED_TRACE(std::string(r.m->name) + " op " + std::to_string(r.op) + " @" + std::to_string(r.address));
    Fresh();
    ImageByte(r.op, r.address) = 0xA5;
    ASSERT_TRUE(RunOp(*r.m, r.op, r.address));
    Trace expected = {r.packet, "46", "sleep 1"};
    if (IsRead(r.op)) expected.insert(expected.end(), {"45", "read"});
    if (r.extraWait) expected.push_back("sleep " + std::to_string(r.extraWait));
    EXPECT_EQ(f.port.trace, expected);
    EXPECT_EQ(ImageByte(r.op, r.address), IsRead(r.op) ? 0x5A : 0xA5);
    EXPECT_TRUE(f.log.lines.empty());
  }
}

// Guards data lost on chips whose write takes longer than the module's fixed wait: with a
// chip selected, the wait after a write is at least its row's time (the datasheet's or
// avrdude's, the longer), in whole ms.
TEST_F(Connected, WaitsAreNeverShorterThanTheChipsWriteTime) {
  struct Case {
    const char* chip;
    Op op;
    int wait;  // after DelayValue
  } cases[] = {
      {"AT90S2313", kWriteP, 9},  {"AT90S2313", kWriteD, 9},  // avrdude's 9 ms, as the module's
      {"AT90S2333", kWriteP, 20}, {"AT90S4434", kWriteD, 20}, // avrdude's 20 ms
      {"ATtiny12", kWriteP, 20},  {"ATtiny12", kWriteD, 20},  // avrdude's 20 ms
      {"ATtiny15", kWriteP, 5},   {"ATtiny15", kWriteD, 9},   // 4.1 ms, 8.2 ms
      {"ATtiny26", kWriteD, 9},   {"ATtiny26", kPageP, 5},
      {"AT90CAN64", kPageD, 9},   {"AT90CAN64", kPageP, 5},
      {"ATtiny2313", kPageD, 5},  {"ATtiny85", kPageD, 5},    // 4.5 ms
  };
  f.port.responder = [](const std::vector<uint8_t>&) { return std::vector<uint8_t>{0x5A, 0x11}; };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.chip) + " op " + std::to_string(c.op));
    SelectChip(FindChipByName(c.chip)->id);
    Fresh();
    ASSERT_TRUE(RunOp(*FindChipByName(c.chip)->module, c.op, 0));
    ASSERT_EQ(f.port.trace.size(), 4u);
    EXPECT_EQ(f.port.trace[2], "sleep 1");
    EXPECT_EQ(f.port.trace[3], "sleep " + std::to_string(c.wait));
  }
  ResetSelectionState();
}

TEST_F(Connected, ByteAndPageModesExcludeEachOther) {
  const ChipModule* all[] = {&At90s1200, &At90s2313, &At90s2323, &At90s2343, &At90s2333, &At90s4414,
                             &At90s4434, &At90can32, &Attiny12,  &Attiny13,  &Attiny15,  &Attiny22,
                             &Attiny25,  &Attiny26,  &Attiny261, &Attiny2313};
  for (const ChipModule* m : all) {
    SCOPED_TRACE(m->name);
    std::string n = m->name;
    bool flashPages = n == "Attiny13" || n == "Attiny26" || n == "Attiny2313" || n == "Attiny25" ||
                      n == "Attiny261" || n == "At90can32";
    bool eepromPages = n == "Attiny13" || n == "Attiny2313" || n == "Attiny25" || n == "Attiny261" || n == "At90can32";
    EXPECT_EQ(m->ProgramPageMode(), flashPages);
    EXPECT_EQ(m->ProgramPageBytes(), flashPages ? (n == "At90can32" ? 256u : 32u) : 0u);
    EXPECT_EQ(m->DataPageMode(), eepromPages);
    EXPECT_EQ(m->DataPageBytes(), eepromPages ? (n == "At90can32" ? 8u : 4u) : 0u);
    Fresh();
    for (Op op : {flashPages ? kWriteP : kLoadP, flashPages ? kWriteP : kPageP,
                  eepromPages ? kWriteD : kLoadD, eepromPages ? kWriteD : kPageD})
      EXPECT_FALSE(RunOp(*m, op, 0));
    EXPECT_TRUE(f.port.trace.empty());
  }
}

TEST_F(Connected, VerifyComparesWithoutChangingTheImage) {
  struct Case {
    Op op;
    uint8_t chip;
    uint8_t image;
    bool ok;
  } cases[] = {{kReadP, 0x3C, 0x3C, true}, {kReadP, 0x3C, 0x3D, false},
               {kReadD, 0xFF, 0xFF, true}, {kReadD, 0x00, 0xFF, false}};
  for (const Case& c : cases) {
    Fresh();
    f.port.answers.push_back({c.chip});
    ImageByte(c.op, 0x10) = c.image;
    EXPECT_EQ(RunOp(Attiny2313, c.op, 0x10, true), c.ok);
    EXPECT_EQ(ImageByte(c.op, 0x10), c.image);
    EXPECT_TRUE(f.log.lines.empty());
    EXPECT_GE(PortHandle, 0);
  }
}

TEST_F(Connected, FailureAtEachPacketClosesThePort) {
  struct Case {
    const ChipModule* m;
    Op op;
    int failAt;  // -1: the answer is empty
    const char* line;
  } cases[] = {
      {&At90s1200, kReadP, 0, "Error executing commands:  0x44 0x00 b a 0x2H"},
      {&Attiny2313, kReadP, 1, "Error executing commands:  0x46"},
      {&Attiny2313, kReadP, 2, "Error executing commands:  0x45"},
      {&Attiny2313, kReadP, -1, "Error reading the answer (SPI paket)"},
      {&At90s2313, kWriteP, 0, "Error executing commands:  0x44 Data b a 0x4H"},
      {&Attiny2313, kLoadP, 0, "Error executing commands:  0x44 Data b 0x00 0x4H"},
      {&Attiny25, kLoadP, 0, "Error executing commands:  0x44 Data b a 0x4H"},
      {&Attiny13, kPageP, 0, "Error executing commands:  0x44 0x00 b a 0x4C"},
      {&At90s2313, kReadD, 0, "Error executing commands:  0x44 0x00 b 0x00 0xA0"},
      {&At90s4414, kReadD, 0, "Error executing commands:  0x44 0x00 b a 0xA0"},
      {&Attiny12, kWriteD, 0, "Error executing commands:  0x44 Data b 0x00 0xC0"},
      {&At90can32, kLoadD, 0, "Error executing commands:  0x44 Data b 0x00 0xC1"},
      {&Attiny2313, kPageD, 0, "Error executing commands:  0x44 0x00 b 0x00 0xC2"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    Fresh();
    f.port.silent = c.failAt < 0;
    f.port.failWriteIndex = c.failAt;
    ImageByte(c.op, 0) = 0x77;
    EXPECT_FALSE(RunOp(*c.m, c.op, 0, c.failAt < 0));
    EXPECT_EQ(f.log.lines, std::vector<std::string>{c.line});
    EXPECT_EQ(f.port.trace.back(), "close");
    EXPECT_EQ(PortHandle, -1);
    EXPECT_EQ(ImageByte(c.op, 0), 0x77);
  }
  // A later operation on the closed port fails at its first packet with its own line.
  f.log.lines.clear();
  EXPECT_FALSE(Attiny2313.ReadProgramByte(0, false));
  EXPECT_EQ(f.log.lines, std::vector<std::string>{"Error executing commands:  0x44 0x00 b a 0x2H"});
}

}  // namespace
}  // namespace quillet
