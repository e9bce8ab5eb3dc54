// A small ELF file as avr-gcc's linker lays one out: a 32-bit little-endian executable with one
// loadable segment per piece, at its load address. For tests and benchmarks of the ELF reader.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace quillet::test {

struct ElfSegment {
  uint32_t address;   // load (physical) address: Flash 0.., EEPROM 0x810000.., fuses 0x820000..
  std::string bytes;
  uint32_t fileSize = 0;  // the size the header claims; 0: the bytes' own
};

inline std::string AvrElf(const std::vector<ElfSegment>& segments, uint16_t machine = 83) {
  std::string out;
  auto u16 = [&](uint32_t v) { out += static_cast<char>(v), out += static_cast<char>(v >> 8); };
  auto u32 = [&](uint32_t v) { u16(v & 0xFFFF), u16(v >> 16); };
  out = std::string("\x7f" "ELF\x01\x01\x01", 7) + std::string(9, '\0');
  const uint32_t count = static_cast<uint32_t>(segments.size());
  u16(2), u16(machine), u32(1), u32(0), u32(52), u32(0), u32(0), u16(52), u16(32), u16(count),
      u16(40), u16(0), u16(0);
  uint32_t offset = 52 + 32 * count;
  for (const ElfSegment& s : segments) {
    const uint32_t size = s.fileSize ? s.fileSize : static_cast<uint32_t>(s.bytes.size());
    // PT_LOAD, offset, vaddr, paddr, filesz, memsz, flags, align
    u32(1), u32(offset), u32(s.address), u32(s.address), u32(size), u32(size), u32(5), u32(1);
    offset += static_cast<uint32_t>(s.bytes.size());
  }
  for (const ElfSegment& s : segments) out += s.bytes;
  return out;
}

}  // namespace quillet::test
