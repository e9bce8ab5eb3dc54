// Readers for the two references the chip table is checked against: avrdude's part file
// (/etc/avrdude.conf, Debian package avrdude) and avr-libc's io headers (package avr-libc).
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace quillet::test {

// One memory block of a part ("flash", "eeprom", "lfuse", ...), after inheritance.
struct AvrdudeMemory {
  std::map<std::string, std::string> values;  // "size" -> "0x8000", "page_size" -> "128"
  // Instructions ("read_lo", "loadpage_lo", "writepage", ...): the 32 bit specifiers from the
  // most significant bit on, each "0", "1", "x", "a", "aN", "i" or "o".
  std::map<std::string, std::vector<std::string>> instructions;
  std::optional<long> Number(const std::string& key) const;
};

struct AvrdudePart {
  std::string id, desc, parent;
  std::map<std::string, std::string> values;  // everything outside memories, as written
  std::vector<uint8_t> signature;
  std::map<std::string, AvrdudeMemory> memories;
  const AvrdudeMemory* Memory(const std::string& name) const;
};

class AvrdudeConf {
 public:
  // false with *error set when the file cannot be read or does not parse.
  bool Load(const std::string& path, std::string* error);
  const AvrdudePart* FindByDesc(const std::string& desc) const;  // "ATmega328P"
  const AvrdudePart* FindById(const std::string& id) const;      // "m328p"
  const std::vector<AvrdudePart>& Parts() const { return parts_; }

 private:
  std::vector<AvrdudePart> parts_;
};

// Splits an instruction as avrdude writes it ("0100.0000--000x.xxxx--xxaa.aaaa--iiii.iiii", or
// space-separated specifiers with bit numbers such as "a12") into 32 specifiers; empty when it
// is not 32 bits long.
std::vector<std::string> SplitInstruction(const std::string& text);

// The values of one device's <avr/io.h>, read by a small preprocessor.
struct AvrIoFuseByte {
  std::string bits[8];              // "" where the header names no bit
  std::optional<uint8_t> factory;   // *FUSE_DEFAULT, where the header has it
};
struct AvrIoPart {
  std::optional<std::vector<uint8_t>> signature;
  long flashEnd = -1, e2End = -1, spmPageSize = -1, e2PageSize = -1, fuseMemorySize = 0;
  std::vector<AvrIoFuseByte> fuses;
  bool lockBits = false, bootLockBits0 = false, bootLockBits1 = false;
};
// nullopt when the device has no header (or the header has no FLASHEND).
std::optional<AvrIoPart> ReadAvrIoHeader(const std::string& includeDir, const std::string& device);

// The device files' facts as tools/partdata/atdf.py extracts them (tools/partdata/atdf-facts.txt).
struct AtdfField {
  std::string name;  // "RSTDISBL", "SUT_CKSEL"
  uint8_t mask;
};
struct AtdfRegister {
  std::string name;  // "LOW", "HIGH", "EXTENDED"; "LOCKBIT" for the lock byte
  uint8_t factory = 0xFF;
  std::vector<AtdfField> fields;
};
struct AtdfDevice {
  std::vector<uint8_t> signature;
  long flash = -1, flashPage = -1, eeprom = -1, eepromPage = -1;
  std::optional<int> calibration;
  std::vector<AtdfRegister> fuses;  // by offset
  AtdfRegister lock;
  std::map<std::string, std::string> spi;                      // "MOSI" -> "PB5"
  std::string reset;                                           // "RESET" or "PC6"
  int supplyMaxMv = 0;                                         // 0: no variant gives it
  std::map<std::string, std::string> packages;                 // "TQFP44" -> "TQFP_VQFN_44"
  std::map<std::string, std::map<int, std::string>> pinouts;   // pinout -> position -> pad
};
// {} with *error set when the file cannot be read.
std::map<std::string, AtdfDevice> ReadAtdfFacts(const std::string& path, std::string* error);

}  // namespace quillet::test
