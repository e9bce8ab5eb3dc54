// A chip module: the serial-programming instructions of one chip family as data, over one
// exchange engine. Sixteen named descriptors (At90s1200 ... Attiny2313); the catalogue's rows
// point at them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace quillet {

enum class FuseFamily {
  Current,      // separate read/write of lock, low, high (and extended) fuse
  OneFuseByte,  // one fuse byte and the lock bits
  Oldest,       // lock (and one or two fuse bits) written through the second instruction byte
};

enum class FuseOp : uint8_t {
  ReadLockBits,
  ReadLowFuse,
  ReadHighFuse,
  ReadExtendedFuse,
  ReadFuseBits,
  ReadLockAndFuseBits,
  WriteLockBits,
  WriteLowFuse,
  WriteHighFuse,
  WriteExtendedFuse,
  WriteFuseBits,
};

// One fuse or lock instruction of a module: I1 I2 0x00 I4. A read stores
// (answer | orMask) into FuseLockBytes[index]; a write sends
// ((FuseLockBytes[index] & andMask) | orMask) as I4, or as I2 on the older parts.
struct FuseInstruction {
  FuseOp op;
  uint8_t i1;
  uint8_t i2;
  uint8_t index;
  uint8_t andMask;
  uint8_t orMask;
  bool dataInI2;
  const char* text;     // kind 18 line: " read lock-bits"
  const char* literal;  // kind 6 line when the instruction packet fails
};

struct ChipModule {
  const char* name;  // "Attiny2313"

  // ---- data: filled in chips/Modules.cpp ----
  // (fields are owned by the chips/ engine; callers use the operations below)
  const char* enableText;   // kind 18 text of ProgrammingEnable
  bool enableEcho;          // checks the 0x53 echo (all but At90s1200)
  int eraseWaitMs;          // after DelayValue
  bool calibration;         // has ReadCalibration
  bool blankByteZero;       // has WriteBlankByteZero
  // Flash: address high = (word address >> 8) & flashHighMask
  uint8_t flashHighMask;
  uint32_t flashPageBytes;  // 0: byte writes
  bool flashFullAddressLoad;  // page loads and commits carry the full word address
  int flashWriteWaitMs;     // byte mode
  // EEPROM: low = address & eepromLowMask, high = (address >> 8) & eepromHighMask;
  // a high mask of 0 means the one-address-byte instructions
  uint8_t eepromLowMask;
  uint8_t eepromHighMask;
  uint32_t eepromPageBytes;  // 0: byte writes
  int eepromWriteWaitMs;     // byte mode
  // Fuses and lock bits
  FuseFamily family;
  const FuseInstruction* fuses;
  size_t fuseCount;
  // Flash above 64 K words: Load Extended Address Byte (0x4D) selects the upper words.
  bool extendedAddress;
  // A chip of the later instruction set without Poll RDY/BSY (F0): polled by reading back.
  bool noReadyPoll = false;

  // ---- programming enable and chip-wide (each logs its own lines, closes the port on an
  // exchange failure, returns false on failure) ----
  bool ProgrammingEnable() const;
  bool ChipErase() const;
  bool HasReadCalibration() const;
  bool ReadCalibration() const;
  bool WriteBlankByteZero() const;  // Attiny12 only

  // ---- program and data memory, one byte address per call ----
  // Answers Poll RDY/BSY: the later instruction set has it, the oldest parts do not.
  bool PollsReady() const { return family == FuseFamily::Current && !noReadyPoll; }
  bool ProgramPageMode() const;       // LoadProgramByte + WriteProgramPage
  uint32_t ProgramPageBytes() const;  // 32, or 256 for At90can32; 0 in byte mode
  bool DataPageMode() const;          // LoadDataByte + WriteDataPage
  uint32_t DataPageBytes() const;     // 4, or 8 for At90can32; 0 in byte mode
  bool ReadProgramByte(uint32_t address, bool verify) const;
  bool WriteProgramByte(uint32_t address) const;
  bool LoadProgramByte(uint32_t address) const;
  bool WriteProgramPage(uint32_t address) const;
  bool ReadDataByte(uint32_t address, bool verify) const;
  bool WriteDataByte(uint32_t address) const;
  bool LoadDataByte(uint32_t address) const;
  bool WriteDataPage(uint32_t address) const;

  // ---- fuse and lock bits, through FuseLockBytes ----
  FuseFamily Family() const;
  bool HasExtendedFuse() const;
  bool CanReadFuses() const;  // false for At90s1200, At90s2313, At90s4414
  bool Has(FuseOp op) const;
  bool ReadLockBits() const;
  bool ReadLowFuse() const;
  bool ReadHighFuse() const;
  bool ReadExtendedFuse() const;
  bool ReadFuseBits() const;
  bool ReadLockAndFuseBits() const;
  bool WriteLockBits() const;
  bool WriteLowFuse() const;
  bool WriteHighFuse() const;
  bool WriteExtendedFuse() const;
  bool WriteFuseBits() const;
  // Any of the above by its operation; false where the module has none.
  bool RunFuse(FuseOp op) const;

 private:
  bool SelectExtendedAddress(uint32_t word) const;
  const FuseInstruction* Find(FuseOp op) const;
};

// The fuse and lock instructions of the chips with separate low, high (and extended) fuse
// reads and writes, for fuseCount fuse bytes whose existing bits are fuseBits[i] and a lock
// byte whose existing bits are lockBits; bits that do not exist are written and read as 1.
std::vector<FuseInstruction> CurrentFuseInstructions(int fuseCount, const uint8_t* fuseBits,
                                                     uint8_t lockBits);

extern const ChipModule At90s1200, At90s2313, At90s2323, At90s2343, At90s2333, At90s4414,
    At90s4434, At90can32, Attiny12, Attiny13, Attiny15, Attiny22, Attiny25, Attiny26,
    Attiny261, Attiny2313;

}  // namespace quillet
