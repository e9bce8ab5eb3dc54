// The sixteen chip modules as data. The engine (ChipEngine.cpp) reads these descriptors;
// a module differs from the next only in the values below.
#include <iterator>

#include "chips/ChipModule.h"

namespace quillet {
namespace {

constexpr const char* kEnable = " execute Programming Enable";
constexpr const char* kSync = " execute the sinchronization with chip";

// ---- fuse and lock instructions, with their log texts and failure literals ----

constexpr FuseInstruction ReadLock(uint8_t index, uint8_t orMask) {
  return {FuseOp::ReadLockBits, 0x58, 0x00, index, 0xFF, orMask, false, " read lock-bits",
          " 0x44 0x00 0x00 0x00 0x58"};
}
constexpr FuseInstruction kReadLow{FuseOp::ReadLowFuse, 0x50, 0x00, 0, 0xFF, 0x00, false,
                                   " read fuse low byte", " 0x44 0x00 0x00 0x00 0x50"};
constexpr FuseInstruction ReadHigh(uint8_t orMask) {
  return {FuseOp::ReadHighFuse, 0x58, 0x08, 1, 0xFF, orMask, false, " read fuse high byte",
          " 0x44 0x00 0x00 0x08 0x58"};
}
constexpr FuseInstruction kReadExtended{FuseOp::ReadExtendedFuse, 0x50, 0x08, 2, 0xFF, 0x00,
                                        false, " read fuse extended byte",
                                        " 0x44 0x00 0x00 0x08 0x50"};
constexpr FuseInstruction ReadFuse(uint8_t orMask, const char* text) {
  return {FuseOp::ReadFuseBits, 0x50, 0x00, 0, 0xFF, orMask, false, text,
          " 0x44 0x00 0x00 0x00 0x50"};
}
// Fuse bits 0 and 5 into [0]; the lock bits go to [1] (see the engine).
constexpr FuseInstruction kReadLockAndFuse{FuseOp::ReadLockAndFuseBits, 0x58, 0x00, 0, 0xFF,
                                           0xDE, false, " read lock- & fuse-bits",
                                           " 0x44 0x00 0x00 0x00 0x58"};

constexpr FuseInstruction WriteLockI4(uint8_t index, uint8_t orMask) {
  return {FuseOp::WriteLockBits, 0xAC, 0xE0, index, 0xFF, orMask, false, " write lock-bits",
          " 0x44 Lock 0x00 0xE0 0xAC"};
}
constexpr FuseInstruction WriteLockI2(uint8_t orMask) {
  return {FuseOp::WriteLockBits, 0xAC, 0x00, 1, 0xFF, orMask, true, " write lock-bits",
          " 0x44 0x00 0x00 Lock 0xAC"};
}
constexpr FuseInstruction kWriteLow{FuseOp::WriteLowFuse, 0xAC, 0xA0, 0, 0xFF, 0x00, false,
                                    " write fuse low byte", " 0x44 Fuse Low 0x00 0xA0 0xAC"};
constexpr FuseInstruction WriteHigh(uint8_t orMask) {
  return {FuseOp::WriteHighFuse, 0xAC, 0xA8, 1, 0xFF, orMask, false, " write fuse high byte",
          " 0x44 Fuse High 0x00 0xA8 0xAC"};
}
constexpr FuseInstruction kWriteExtended{FuseOp::WriteExtendedFuse, 0xAC, 0xA4, 2, 0xFF, 0x00,
                                         false, " write fuse extended byte",
                                         " 0x44 Fuse Extended 0x00 0xA4 0xAC"};
constexpr FuseInstruction WriteFuseI4(uint8_t orMask) {
  return {FuseOp::WriteFuseBits, 0xAC, 0xA0, 0, 0xFF, orMask, false, " write fuse byte",
          " 0x44 Fuse 0x00 0xA0 0xAC"};
}
// AT90S2333/4433: 101i iiii, fuse bits 0-4 in the instruction's second byte.
constexpr FuseInstruction kWriteFuse2333{FuseOp::WriteFuseBits, 0xAC, 0x00, 0, 0x1F, 0xA0, true,
                                         " write fuse byte", " 0x44 0x00 0x00 Fuse 0xAC"};
// Write FSTRT/RCEN is 1011 111F: bit 5 set, or the chip decodes Chip Erase (100x xxxx).
constexpr FuseInstruction kWriteFstrt{FuseOp::WriteFuseBits, 0xAC, 0x00, 0, 0x01, 0xBE, true,
                                      " write fuse byte", " 0x44 0x00 0x00 FSTRT 0xAC"};

constexpr FuseInstruction kLockOnly[] = {WriteLockI2(0x00)};
constexpr FuseInstruction kOldest[] = {kReadLockAndFuse, WriteLockI2(0x00), kWriteFstrt};
constexpr FuseInstruction kAt90s2333Fuses[] = {ReadLock(1, 0xF9), ReadFuse(0xC0, " read fuse-bits"),
                                               WriteLockI2(0x00), kWriteFuse2333};
constexpr FuseInstruction kTiny12Fuses[] = {ReadLock(1, 0xF9), ReadFuse(0x00, " read fuse byte"),
                                            WriteLockI2(0xF9), WriteFuseI4(0x00)};
constexpr FuseInstruction kTiny15Fuses[] = {ReadLock(1, 0xF9), ReadFuse(0x0C, " read fuse byte"),
                                            WriteLockI2(0xF9), WriteFuseI4(0x0C)};
constexpr FuseInstruction kTwoFuseBytes[] = {ReadLock(2, 0xFC), kReadLow,  ReadHigh(0xE0),
                                             WriteLockI4(2, 0xFC), kWriteLow, WriteHigh(0xE0)};
constexpr FuseInstruction kThreeFuseBytes[] = {ReadLock(3, 0x00),    kReadLow,  ReadHigh(0x00),
                                               kReadExtended,        WriteLockI4(3, 0x00),
                                               kWriteLow,            WriteHigh(0x00),
                                               kWriteExtended};
constexpr FuseInstruction kCanFuses[] = {ReadLock(3, 0xC0),    kReadLow,  ReadHigh(0x00),
                                         kReadExtended,        WriteLockI4(3, 0xC0),
                                         kWriteLow,            WriteHigh(0x00),
                                         kWriteExtended};

}  // namespace

std::vector<FuseInstruction> CurrentFuseInstructions(int fuseCount, const uint8_t* fuseBits,
                                                     uint8_t lockBits) {
  const uint8_t lockIndex = static_cast<uint8_t>(fuseCount);
  const uint8_t lockOr = static_cast<uint8_t>(~lockBits);
  std::vector<FuseInstruction> v = {ReadLock(lockIndex, lockOr)};
  const FuseInstruction reads[] = {kReadLow, ReadHigh(0), kReadExtended};
  const FuseInstruction writes[] = {kWriteLow, WriteHigh(0), kWriteExtended};
  for (int i = 0; i < fuseCount && i < 3; ++i) {
    FuseInstruction r = reads[i];
    r.orMask = static_cast<uint8_t>(~fuseBits[i]);
    v.push_back(r);
  }
  v.push_back(WriteLockI4(lockIndex, lockOr));
  for (int i = 0; i < fuseCount && i < 3; ++i) {
    FuseInstruction w = writes[i];
    w.orMask = static_cast<uint8_t>(~fuseBits[i]);
    v.push_back(w);
  }
  return v;
}

#define QUILLET_FUSES(table) .fuses = table, .fuseCount = std::size(table), .extendedAddress = false

// clang-format off
const ChipModule At90s1200{.name = "At90s1200", .enableText = kEnable, .enableEcho = false,
    .eraseWaitMs = 18, .calibration = false, .blankByteZero = false,
    .flashHighMask = 0x01, .flashPageBytes = 0, .flashFullAddressLoad = false, .flashWriteWaitMs = 9,
    .eepromLowMask = 0x3F, .eepromHighMask = 0x00, .eepromPageBytes = 0, .eepromWriteWaitMs = 9,
    .family = FuseFamily::Oldest, QUILLET_FUSES(kLockOnly)};
const ChipModule At90s2313{.name = "At90s2313", .enableText = kEnable, .enableEcho = true,
    .eraseWaitMs = 18, .calibration = false, .blankByteZero = false,
    .flashHighMask = 0x03, .flashPageBytes = 0, .flashFullAddressLoad = false, .flashWriteWaitMs = 9,
    .eepromLowMask = 0x7F, .eepromHighMask = 0x00, .eepromPageBytes = 0, .eepromWriteWaitMs = 9,
    .family = FuseFamily::Oldest, QUILLET_FUSES(kLockOnly)};
const ChipModule At90s2323{.name = "At90s2323", .enableText = kEnable, .enableEcho = true,
    .eraseWaitMs = 18, .calibration = false, .blankByteZero = false,
    .flashHighMask = 0x03, .flashPageBytes = 0, .flashFullAddressLoad = false, .flashWriteWaitMs = 9,
    .eepromLowMask = 0x7F, .eepromHighMask = 0x00, .eepromPageBytes = 0, .eepromWriteWaitMs = 9,
    .family = FuseFamily::Oldest, QUILLET_FUSES(kOldest)};
const ChipModule At90s2343{.name = "At90s2343", .enableText = kEnable, .enableEcho = true,
    .eraseWaitMs = 18, .calibration = false, .blankByteZero = false,
    .flashHighMask = 0x03, .flashPageBytes = 0, .flashFullAddressLoad = false, .flashWriteWaitMs = 9,
    .eepromLowMask = 0x7F, .eepromHighMask = 0x00, .eepromPageBytes = 0, .eepromWriteWaitMs = 9,
    .family = FuseFamily::Oldest, QUILLET_FUSES(kOldest)};
const ChipModule At90s2333{.name = "At90s2333", .enableText = kEnable, .enableEcho = true,
    .eraseWaitMs = 18, .calibration = false, .blankByteZero = false,
    .flashHighMask = 0x07, .flashPageBytes = 0, .flashFullAddressLoad = false, .flashWriteWaitMs = 9,
    .eepromLowMask = 0xFF, .eepromHighMask = 0x00, .eepromPageBytes = 0, .eepromWriteWaitMs = 9,
    .family = FuseFamily::OneFuseByte, QUILLET_FUSES(kAt90s2333Fuses)};
const ChipModule At90s4414{.name = "At90s4414", .enableText = kEnable, .enableEcho = true,
    .eraseWaitMs = 18, .calibration = false, .blankByteZero = false,
    .flashHighMask = 0x0F, .flashPageBytes = 0, .flashFullAddressLoad = false, .flashWriteWaitMs = 9,
    .eepromLowMask = 0xFF, .eepromHighMask = 0x01, .eepromPageBytes = 0, .eepromWriteWaitMs = 9,
    .family = FuseFamily::Oldest, QUILLET_FUSES(kLockOnly)};
const ChipModule At90s4434{.name = "At90s4434", .enableText = kEnable, .enableEcho = true,
    .eraseWaitMs = 18, .calibration = false, .blankByteZero = false,
    .flashHighMask = 0x0F, .flashPageBytes = 0, .flashFullAddressLoad = false, .flashWriteWaitMs = 9,
    .eepromLowMask = 0xFF, .eepromHighMask = 0x01, .eepromPageBytes = 0, .eepromWriteWaitMs = 9,
    .family = FuseFamily::Oldest, QUILLET_FUSES(kOldest)};
const ChipModule At90can32{.name = "At90can32", .enableText = kSync, .enableEcho = true,
    .eraseWaitMs = 9, .calibration = true, .blankByteZero = false,
    .flashHighMask = 0xFF, .flashPageBytes = 256, .flashFullAddressLoad = false, .flashWriteWaitMs = 0,
    .eepromLowMask = 0xFF, .eepromHighMask = 0x0F, .eepromPageBytes = 8, .eepromWriteWaitMs = 0,
    .family = FuseFamily::Current, QUILLET_FUSES(kCanFuses)};
const ChipModule Attiny12{.name = "Attiny12", .enableText = kSync, .enableEcho = true,
    .eraseWaitMs = 9, .calibration = true, .blankByteZero = true,
    .flashHighMask = 0x01, .flashPageBytes = 0, .flashFullAddressLoad = false, .flashWriteWaitMs = 4,
    .eepromLowMask = 0x3F, .eepromHighMask = 0x00, .eepromPageBytes = 0, .eepromWriteWaitMs = 7,
    .family = FuseFamily::OneFuseByte, QUILLET_FUSES(kTiny12Fuses)};
const ChipModule Attiny13{.name = "Attiny13", .enableText = kSync, .enableEcho = true,
    .eraseWaitMs = 9, .calibration = true, .blankByteZero = false,
    .flashHighMask = 0x01, .flashPageBytes = 32, .flashFullAddressLoad = false, .flashWriteWaitMs = 0,
    .eepromLowMask = 0x3F, .eepromHighMask = 0x00, .eepromPageBytes = 4, .eepromWriteWaitMs = 0,
    .family = FuseFamily::Current, QUILLET_FUSES(kTwoFuseBytes)};
const ChipModule Attiny15{.name = "Attiny15", .enableText = kSync, .enableEcho = true,
    .eraseWaitMs = 9, .calibration = true, .blankByteZero = false,
    .flashHighMask = 0x01, .flashPageBytes = 0, .flashFullAddressLoad = false, .flashWriteWaitMs = 4,
    .eepromLowMask = 0x3F, .eepromHighMask = 0x00, .eepromPageBytes = 0, .eepromWriteWaitMs = 7,
    .family = FuseFamily::OneFuseByte, QUILLET_FUSES(kTiny15Fuses)};
const ChipModule Attiny22{.name = "Attiny22", .enableText = kEnable, .enableEcho = true,
    .eraseWaitMs = 18, .calibration = false, .blankByteZero = false,
    .flashHighMask = 0x03, .flashPageBytes = 0, .flashFullAddressLoad = false, .flashWriteWaitMs = 9,
    .eepromLowMask = 0x7F, .eepromHighMask = 0x00, .eepromPageBytes = 0, .eepromWriteWaitMs = 9,
    .family = FuseFamily::Oldest, QUILLET_FUSES(kOldest)};
const ChipModule Attiny25{.name = "Attiny25", .enableText = kSync, .enableEcho = true,
    .eraseWaitMs = 9, .calibration = true, .blankByteZero = false,
    .flashHighMask = 0xFF, .flashPageBytes = 32, .flashFullAddressLoad = true, .flashWriteWaitMs = 0,
    .eepromLowMask = 0xFF, .eepromHighMask = 0xFF, .eepromPageBytes = 4, .eepromWriteWaitMs = 0,
    .family = FuseFamily::Current, QUILLET_FUSES(kThreeFuseBytes)};
const ChipModule Attiny26{.name = "Attiny26", .enableText = kSync, .enableEcho = true,
    .eraseWaitMs = 9, .calibration = true, .blankByteZero = false,
    .flashHighMask = 0x03, .flashPageBytes = 32, .flashFullAddressLoad = false, .flashWriteWaitMs = 0,
    .eepromLowMask = 0x7F, .eepromHighMask = 0x00, .eepromPageBytes = 0, .eepromWriteWaitMs = 4,
    .family = FuseFamily::Current, QUILLET_FUSES(kTwoFuseBytes)};
const ChipModule Attiny261{.name = "Attiny261", .enableText = kSync, .enableEcho = true,
    .eraseWaitMs = 9, .calibration = true, .blankByteZero = false,
    .flashHighMask = 0xFF, .flashPageBytes = 32, .flashFullAddressLoad = true, .flashWriteWaitMs = 0,
    .eepromLowMask = 0xFF, .eepromHighMask = 0xFF, .eepromPageBytes = 4, .eepromWriteWaitMs = 0,
    .family = FuseFamily::Current, QUILLET_FUSES(kThreeFuseBytes)};
const ChipModule Attiny2313{.name = "Attiny2313", .enableText = kSync, .enableEcho = true,
    .eraseWaitMs = 9, .calibration = true, .blankByteZero = false,
    .flashHighMask = 0x03, .flashPageBytes = 32, .flashFullAddressLoad = false, .flashWriteWaitMs = 0,
    .eepromLowMask = 0x7F, .eepromHighMask = 0x00, .eepromPageBytes = 4, .eepromWriteWaitMs = 0,
    .family = FuseFamily::Current, QUILLET_FUSES(kThreeFuseBytes)};
// clang-format on

#undef QUILLET_FUSES

}  // namespace quillet
