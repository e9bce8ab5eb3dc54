// The simulated chips as data: one descriptor per catalogue chip, read by one engine
// (sim/SimChip.h). Values are those of the real parts' datasheets; the write times are the
// catalogue's (chips/Catalogue.cpp), the same the program waits for.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace quillet::sim {

// How a chip reads and writes its fuse and lock bits over the serial interface.
enum class SimFamily {
  Old,          // AT90S1200/2313/4414/8515: lock bits written through I2 (111x x21x), nothing read
  OldReadable,  // AT90S2323/2343/4434/8535, ATtiny22: as Old, plus 0x58 -> L1 L2 S x x x x F and
                // one fuse bit written by 1010 1100 1011 111F
  OneFuse,      // AT90S2333/4433 (fuse bits in I2 low bits), ATtiny12/15 (fuse byte in I4)
  Current,      // 0x50/0x58 reads and 0xAC 0xA0/0xA8/0xA4/0xE0 writes, data in I4
};

struct SimChipModel {
  const char* name;
  std::array<uint8_t, 3> signature;
  uint32_t flashBytes;
  uint32_t eepromBytes;
  uint16_t flashPageWords;   // 0: Flash is written byte by byte
  uint8_t eepromPageBytes;   // 0: no EEPROM page buffer
  SimFamily family;
  bool fuseInI2;             // OneFuse: AT90S2333/4433 carry the fuse bits in I2
  bool echo;                 // false: AT90S1200 echoes nothing
  bool hasPoll;              // answers Poll RDY/BSY (0xF0) even while busy
  uint8_t calibrationCount;
  std::array<uint8_t, 4> calibration;
  uint8_t fuseCount;                  // fuse bytes: low, high, extended as far as present
  std::array<uint8_t, 3> factoryFuse;
  std::array<uint8_t, 3> fuseBits;    // bits that exist; the others read as 1
  std::array<uint8_t, 3> spienBits;   // SPIEN: not changeable over the serial interface
  uint8_t lockBits;                   // lock bits that exist, in the chip's own layout
  uint8_t lb1, lb2;                   // where LB1 and LB2 sit in that layout
  int8_t eesaveFuse;                  // fuse byte holding EESAVE, -1 if none
  uint8_t eesaveBit;
  // RSTDISBL and DWEN: once programmed, the reset pin no longer resets the chip, so the next
  // reset pulse does not bring back serial programming. -1: the chip has neither.
  int8_t lockoutFuse;
  uint8_t lockoutBits;
};

const std::vector<SimChipModel>& SimChipModels();
// Case-insensitive; nullptr if the name is not a catalogue chip.
const SimChipModel* FindSimChip(const std::string& name);

}  // namespace quillet::sim
