// Fuse and lock operations of every module: instruction, masks, FuseLockBytes before and
// after, log lines, and which operations a module has.
#include <gtest/gtest.h>

#include "chips/Catalogue.h"
#include "chips/ChipModule.h"
#include "support/ConnectedTest.h"
#include "support/Fakes.h"

namespace quillet {
namespace {

using Trace = std::vector<std::string>;
using Lines = std::vector<std::string>;
using Bytes = std::array<uint8_t, 4>;
using Operation = bool (ChipModule::*)() const;

class Connected : public test::ConnectedTest {
 protected:
  void SetBytes(const Bytes& b) {
    FuseLockBytes.fill(0xFF);
    std::copy(b.begin(), b.end(), FuseLockBytes.begin());
  }
  Bytes GetBytes() const { return {FuseLockBytes[0], FuseLockBytes[1], FuseLockBytes[2], FuseLockBytes[3]}; }
};

constexpr Operation RLock = &ChipModule::ReadLockBits, RLow = &ChipModule::ReadLowFuse,
                    RHigh = &ChipModule::ReadHighFuse, RExt = &ChipModule::ReadExtendedFuse,
                    RFuse = &ChipModule::ReadFuseBits, RBoth = &ChipModule::ReadLockAndFuseBits,
                    WLock = &ChipModule::WriteLockBits, WLow = &ChipModule::WriteLowFuse,
                    WHigh = &ChipModule::WriteHighFuse, WExt = &ChipModule::WriteExtendedFuse,
                    WFuse = &ChipModule::WriteFuseBits;

struct Row {
  const ChipModule* m;
  Operation op;
  Bytes before;
  int answer;  // reads: the chip's byte; writes: -1
  const char* packet;
  Bytes after;
  const char* text;  // after "Trying to"
};

const Row kRows[] = {
    // current family, three fuse bytes: unmasked
    {&Attiny2313, RLock, {0x64, 0xDF, 0xFF, 0xFF}, 0xFC, "44 00 00 00 58", {0x64, 0xDF, 0xFF, 0xFC}, " read lock-bits"},
    {&Attiny2313, RLow, {0x64, 0xDF, 0xFF, 0xFF}, 0x12, "44 00 00 00 50", {0x12, 0xDF, 0xFF, 0xFF}, " read fuse low byte"},
    {&Attiny25, RHigh, {0x62, 0xDF, 0xFF, 0xFF}, 0x05, "44 00 00 08 58", {0x62, 0x05, 0xFF, 0xFF}, " read fuse high byte"},
    {&Attiny261, RExt, {0x62, 0xDF, 0xFF, 0xFF}, 0x00, "44 00 00 08 50", {0x62, 0xDF, 0x00, 0xFF}, " read fuse extended byte"},
    {&Attiny2313, WLock, {0x64, 0xDF, 0xFF, 0xFC}, -1, "44 FC 00 E0 AC", {0x64, 0xDF, 0xFF, 0xFC}, " write lock-bits"},
    {&Attiny261, WHigh, {0x62, 0x00, 0xFF, 0xFF}, -1, "44 00 00 A8 AC", {0x62, 0x00, 0xFF, 0xFF}, " write fuse high byte"},
    {&Attiny2313, WExt, {0x64, 0xDF, 0xFE, 0xFF}, -1, "44 FE 00 A4 AC", {0x64, 0xDF, 0xFE, 0xFF}, " write fuse extended byte"},
    // AT90CAN: lock bits 6 and 7 forced
    {&At90can32, RLock, {0x62, 0x99, 0xFF, 0xFF}, 0x3C, "44 00 00 00 58", {0x62, 0x99, 0xFF, 0xFC}, " read lock-bits"},
    {&At90can32, WLock, {0x62, 0x99, 0xFF, 0x00}, -1, "44 C0 00 E0 AC", {0x62, 0x99, 0xFF, 0x00}, " write lock-bits"},
    // current family, two fuse bytes: lock in [2], high fuse bits 5-7 forced
    {&Attiny13, RLock, {0x6A, 0xFF, 0xFF, 0xFF}, 0x00, "44 00 00 00 58", {0x6A, 0xFF, 0xFC, 0xFF}, " read lock-bits"},
    {&Attiny26, RHigh, {0xE1, 0xF7, 0xFF, 0xFF}, 0x0B, "44 00 00 08 58", {0xE1, 0xEB, 0xFF, 0xFF}, " read fuse high byte"},
    {&Attiny13, WHigh, {0x6A, 0x00, 0xFF, 0xFF}, -1, "44 E0 00 A8 AC", {0x6A, 0x00, 0xFF, 0xFF}, " write fuse high byte"},
    {&Attiny26, WLock, {0xE1, 0xF7, 0x00, 0xFF}, -1, "44 FC 00 E0 AC", {0xE1, 0xF7, 0x00, 0xFF}, " write lock-bits"},
    // one fuse byte: lock bits 1 and 2 in [1]
    {&Attiny12, RLock, {0x52, 0xFF, 0xFF, 0xFF}, 0x00, "44 00 00 00 58", {0x52, 0xF9, 0xFF, 0xFF}, " read lock-bits"},
    {&Attiny12, RFuse, {0x52, 0xFF, 0xFF, 0xFF}, 0x10, "44 00 00 00 50", {0x10, 0xFF, 0xFF, 0xFF}, " read fuse byte"},
    {&Attiny12, WLock, {0x52, 0xF9, 0xFF, 0xFF}, -1, "44 00 00 F9 AC", {0x52, 0xF9, 0xFF, 0xFF}, " write lock-bits"},
    {&Attiny15, RFuse, {0x5C, 0xFF, 0xFF, 0xFF}, 0x52, "44 00 00 00 50", {0x5E, 0xFF, 0xFF, 0xFF}, " read fuse byte"},
    {&Attiny15, WFuse, {0x50, 0xFF, 0xFF, 0xFF}, -1, "44 5C 00 A0 AC", {0x50, 0xFF, 0xFF, 0xFF}, " write fuse byte"},
    {&At90s2333, RLock, {0xDA, 0xFF, 0xFF, 0xFF}, 0x06, "44 00 00 00 58", {0xDA, 0xFF, 0xFF, 0xFF}, " read lock-bits"},
    {&At90s2333, RFuse, {0xDA, 0xF9, 0xFF, 0xFF}, 0x1A, "44 00 00 00 50", {0xDA, 0xF9, 0xFF, 0xFF}, " read fuse-bits"},
    {&At90s2333, WFuse, {0xDA, 0xFF, 0xFF, 0xFF}, -1, "44 00 00 BA AC", {0xDA, 0xFF, 0xFF, 0xFF}, " write fuse byte"},
    {&At90s2333, WLock, {0xDA, 0xFB, 0xFF, 0xFF}, -1, "44 00 00 FB AC", {0xDA, 0xFB, 0xFF, 0xFF}, " write lock-bits"},
    // oldest family: lock and fuse bits in one read; lock written unchanged through I2
    {&At90s2323, RBoth, {0xDE, 0xFF, 0xFF, 0xFF}, 0x21, "44 00 00 00 58", {0xFF, 0xF9, 0xFF, 0xFF}, " read lock- & fuse-bits"},
    {&Attiny22, RBoth, {0xDE, 0xF9, 0xFF, 0xFF}, 0xC0, "44 00 00 00 58", {0xDE, 0xFF, 0xFF, 0xFF}, " read lock- & fuse-bits"},
    {&At90s4434, RBoth, {0xDF, 0xFF, 0xFF, 0xFF}, 0x40, "44 00 00 00 58", {0xDE, 0xFD, 0xFF, 0xFF}, " read lock- & fuse-bits"},
    {&At90s1200, WLock, {0xDF, 0xF9, 0xFF, 0xFF}, -1, "44 00 00 F9 AC", {0xDF, 0xF9, 0xFF, 0xFF}, " write lock-bits"},
    {&At90s2343, WFuse, {0xDE, 0xFF, 0xFF, 0xFF}, -1, "44 00 00 BE AC", {0xDE, 0xFF, 0xFF, 0xFF}, " write fuse byte"},
    // Write FSTRT with bit 5 of I2 clear (0x9E) is Chip Erase on AT90S2323/4434/8535.
    {&At90s2323, WFuse, {0xDE, 0xFF, 0xFF, 0xFF}, -1, "44 00 00 BE AC", {0xDE, 0xFF, 0xFF, 0xFF}, " write fuse byte"},
    {&At90s4434, WFuse, {0xDE, 0xFF, 0xFF, 0xFF}, -1, "44 00 00 BE AC", {0xDE, 0xFF, 0xFF, 0xFF}, " write fuse byte"},
    {&At90s4434, WFuse, {0x00, 0xFF, 0xFF, 0xFF}, -1, "44 00 00 BE AC", {0x00, 0xFF, 0xFF, 0xFF}, " write fuse byte"},
};

TEST_F(Connected, EveryFuseAndLockRow) {
  for (const Row& r : kRows) {
    SCOPED_TRACE(std::string(r.m->name) + r.text + " " + r.packet);
    Fresh();
    SetBytes(r.before);
    if (r.answer >= 0) f.port.answers.push_back({static_cast<uint8_t>(r.answer), 0x00});
    ASSERT_TRUE((r.m->*r.op)());
    Trace expected = {r.packet, "46", "sleep 1"};
    if (r.answer >= 0)
      expected.insert(expected.end(), {"45", "read"});
    else
      expected.push_back("sleep 5");
    EXPECT_EQ(f.port.trace, expected);
    EXPECT_EQ(GetBytes(), r.after);
    EXPECT_EQ(f.log.lines, (Lines{std::string("Trying to") + r.text, "       Finished with success."}));
    for (int i = 4; i < 8; ++i) EXPECT_EQ(FuseLockBytes[i], 0xFF);
  }
}

TEST_F(Connected, WhichOperationsEachModuleHas) {
  const Operation ops[] = {RLock, RLow, RHigh, RExt, RFuse, RBoth, WLock, WLow, WHigh, WExt, WFuse};
  struct Case {
    const ChipModule* m;
    FuseFamily family;
    const char* has;  // one letter per operation above, '1' present
  } cases[] = {
      {&Attiny2313, FuseFamily::Current, "11110011110"}, {&Attiny25, FuseFamily::Current, "11110011110"},
      {&Attiny261, FuseFamily::Current, "11110011110"},  {&At90can32, FuseFamily::Current, "11110011110"},
      {&Attiny13, FuseFamily::Current, "11100011100"},   {&Attiny26, FuseFamily::Current, "11100011100"},
      {&Attiny12, FuseFamily::OneFuseByte, "10001010001"}, {&Attiny15, FuseFamily::OneFuseByte, "10001010001"},
      {&At90s2333, FuseFamily::OneFuseByte, "10001010001"}, {&At90s2323, FuseFamily::Oldest, "00000110001"},
      {&At90s2343, FuseFamily::Oldest, "00000110001"},    {&At90s4434, FuseFamily::Oldest, "00000110001"},
      {&Attiny22, FuseFamily::Oldest, "00000110001"},     {&At90s1200, FuseFamily::Oldest, "00000010000"},
      {&At90s2313, FuseFamily::Oldest, "00000010000"},    {&At90s4414, FuseFamily::Oldest, "00000010000"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.m->name);
    EXPECT_EQ(c.m->Family(), c.family);
    EXPECT_EQ(c.m->HasExtendedFuse(), c.has[3] == '1');
    EXPECT_EQ(c.m->CanReadFuses(), c.has[0] == '1' || c.has[5] == '1');
    for (size_t i = 0; i < std::size(ops); ++i) {
      if (c.has[i] == '1') continue;
      Fresh();
      // Through a copy: GCC's bounds check misreads an indexed member-function pointer call.
      const Operation op = ops[i];
      EXPECT_FALSE((c.m->*op)()) << i;
      EXPECT_TRUE(f.port.trace.empty()) << i;
      EXPECT_TRUE(f.log.lines.empty()) << i;
    }
  }
}

TEST_F(Connected, FailuresLeaveTheBufferAndClosePort) {
  struct Case {
    const ChipModule* m;
    Operation op;
    int failAt;  // -1: empty answer
    const char* line;
  } cases[] = {
      {&Attiny2313, WLow, 0, "Error executing commands:  0x44 Fuse Low 0x00 0xA0 0xAC"},
      {&At90can32, WExt, 0, "Error executing commands:  0x44 Fuse Extended 0x00 0xA4 0xAC"},
      {&Attiny13, WLock, 0, "Error executing commands:  0x44 Lock 0x00 0xE0 0xAC"},
      {&Attiny12, WLock, 0, "Error executing commands:  0x44 0x00 0x00 Lock 0xAC"},
      {&Attiny15, WFuse, 0, "Error executing commands:  0x44 Fuse 0x00 0xA0 0xAC"},
      {&At90s2333, WFuse, 0, "Error executing commands:  0x44 0x00 0x00 Fuse 0xAC"},
      {&At90s2323, WFuse, 0, "Error executing commands:  0x44 0x00 0x00 FSTRT 0xAC"},
      {&Attiny25, RHigh, 0, "Error executing commands:  0x44 0x00 0x00 0x08 0x58"},
      {&Attiny25, RExt, 0, "Error executing commands:  0x44 0x00 0x00 0x08 0x50"},
      {&Attiny2313, RLock, 2, "Error executing commands:  0x45"},
      {&Attiny2313, RLock, -1, "Error reading the answer (SPI paket)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    Fresh();
    SetBytes({0x11, 0x22, 0x33, 0x44});
    f.port.silent = c.failAt < 0;
    f.port.failWriteIndex = c.failAt;
    EXPECT_FALSE((c.m->*c.op)());
    ASSERT_EQ(f.log.lines.size(), 2u);
    EXPECT_EQ(f.log.lines[1], c.line);
    EXPECT_EQ(f.port.trace.back(), "close");
    EXPECT_EQ(PortHandle, -1);
    EXPECT_EQ(GetBytes(), (Bytes{0x11, 0x22, 0x33, 0x44}));
  }
}

}  // namespace
}  // namespace quillet
