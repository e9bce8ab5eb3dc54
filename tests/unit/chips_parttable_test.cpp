// The table of the newer chips, cross-checked name by name (aliases too) against the device
// files' extract (tools/partdata/atdf-facts.txt), avrdude's part file and avr-libc's io headers;
// the first chips' packages against the device files' pads too.
// Every disagreement is in kExceptions with the source that settles it.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "chips/Catalogue.h"
#include "chips/ChipModule.h"
#include "chips/PartTable.h"
#include "commands/Jobs.h"
#include "support/AvrdudeConf.h"
#include "support/Fakes.h"

namespace quillet {
namespace {

using test::AtdfDevice;
using test::AtdfField;
using test::AtdfRegister;
using test::AvrdudeConf;

struct Exception {
  const char* name;
  const char* what;  // the check that disagrees, as Disagreements() spells it
  const char* settledBy;
};

// clang-format off
const Exception kExceptions[] = {
  // the device files: names without one, and values a datasheet overrules
  {"ATmega165",   "device file missing",  "no ATmega165 file: the row follows ATmega165P.atdf (1E 94 07, shared by 165P/PA)"},
  {"ATmega169",   "device file missing",  "no ATmega169 file: the row follows ATmega169P.atdf"},
  {"AT90PWM2",    "device file missing",  "no AT90PWM2 file: the row follows AT90PWM3.atdf (an older pack's; one signature, 1E 93 81)"},
  {"ATtiny828R",  "device file missing",  "8371A: the ATtiny828 with a factory-tuned oscillator, same signature"},
  {"ATtiny1634R", "device file missing",  "8303: the ATtiny1634 with a factory-tuned oscillator, same signature"},
  {"ATmega16U4",  "device file factory",  "7766J Table 28-3: extended fuse 0xF3, HWBE programmed (the file has 0xFB)"},
  {"ATmega32U4",  "device file factory",  "7766J Table 28-3: extended fuse 0xF3, HWBE programmed (the file has 0xFB)"},
  {"ATtiny1634",  "device file calibration", "the file has no osccal space; 8303 and avrdude's part read one byte"},
  {"ATmega1281",  "device file pins",     "2549Q Table 30-15: the TQFP64 programs through PDI/PDO (PE0/PE1); the file names SPI's PB2/PB3"},
  {"ATmega2561",  "device file pins",     "2549Q Table 30-15: the TQFP64 programs through PDI/PDO (PE0/PE1); the file names SPI's PB2/PB3"},
  {"AT90CAN32",   "device file pins",     "7679: programmed through PDI/PDO (PE0/PE1, pins 2 and 3); the file names SPI's PB2/PB3"},
  {"AT90CAN64",   "device file pins",     "7679: programmed through PDI/PDO (PE0/PE1, pins 2 and 3); the file names SPI's PB2/PB3"},
  {"AT90CAN128",  "device file pins",     "7679: programmed through PDI/PDO (PE0/PE1, pins 2 and 3); the file names SPI's PB2/PB3"},
  // avrdude's EEPROM page mode where the datasheet's instruction set has none
  {"ATmega16",    "avrdude eeprom page", "the serial instruction set of 2466T has Write EEPROM Memory (C0) only"},
  {"ATmega16A",   "avrdude eeprom page", "the serial instruction set of 2466T has Write EEPROM Memory (C0) only"},
  {"ATmega32",    "avrdude eeprom page", "8155I Table 29-16 has Write EEPROM Memory (C0) only"},
  {"ATmega32A",   "avrdude eeprom page", "8155I Table 29-16 has Write EEPROM Memory (C0) only"},
  // avr-libc's signatures that the device files and datasheets contradict
  {"ATmega164A",  "avr-libc signature", "ATmega164A.atdf and 8272E Table 27-6: 1E 94 0F (the header has the 164P's)"},
  {"ATmega164P",  "avr-libc signature", "ATmega164P.atdf and 8272E Table 27-6: 1E 94 0A (the header has the 164A's)"},
  {"ATmega165",   "avr-libc signature", "ATmega165P.atdf: 1E 94 07 (the header has the 169's 05)"},
  {"ATmega169A",  "avr-libc signature", "ATmega169A.atdf and 8284 Table 27-5: 1E 94 11"},
  {"ATmega325P",  "avr-libc signature", "ATmega325P.atdf and 8285 Table 27-5: 1E 95 0D"},
  {"ATmega329PA", "avr-libc signature", "ATmega329PA.atdf and 8284 Table 27-5: 1E 95 0B as the 329P"},
  {"ATmega645P",  "avr-libc signature", "ATmega645P.atdf and 8285 Table 27-5: 1E 96 0D"},
  {"ATmega3250P", "avr-libc signature", "ATmega3250P.atdf and 8285 Table 27-5: 1E 95 0E"},
  {"ATmega3290P", "avr-libc signature", "ATmega3290P.atdf and 8284 Table 27-5: 1E 95 0C"},
  {"ATmega6450P", "avr-libc signature", "ATmega6450P.atdf and 8285 Table 27-5: 1E 96 0E"},
  {"ATmega6490P", "avr-libc signature", "ATmega6490P.atdf and 8284 Table 27-5: 1E 96 0C"},
  // headers without what the row needs
  {"AT90USB82",   "avr-libc signature", "AT90USB82.atdf: 1E 93 82 (iousb82.h has none)"},
  {"AT90PWM2",    "avr-libc signature", "AT90PWM3.atdf and 4317J: 1E 93 81 (io90pwmx.h has none)"},
  {"AT90PWM3",    "avr-libc signature", "AT90PWM3.atdf and 4317J: 1E 93 81 (io90pwmx.h has none)"},
  {"ATmega328PB", "avr-libc missing",   "ATmega328PB.atdf (no header)"},
  {"ATmega324PB", "avr-libc missing",   "ATmega324PB.atdf (no header)"},
  {"ATtiny828R",  "avr-libc missing",   "8371A: the ATtiny828 with a factory-tuned oscillator, same signature"},
  {"ATtiny1634R", "avr-libc missing",   "8303: the ATtiny1634 with a factory-tuned oscillator, same signature"},
  // lock bits and factory values
  {"ATmega48P",   "avr-libc lock bits", "ATmega48P.atdf: LB only, no boot section (iom48p.h lists boot lock bits)"},
  {"ATmega165A",  "avr-libc factory",   "ATmega165A.atdf: 62 99 FF (iom165a.h has no defaults)"},
  {"ATmega164A",  "avr-libc factory",   "ATmega164A.atdf and 8272E Table 27-7: low fuse 0x62"},
  {"ATmega164P",  "avr-libc factory",   "ATmega164P.atdf and 8272E Table 27-7: low fuse 0x62"},
  {"ATmega324PA", "avr-libc factory",   "ATmega324PA.atdf and 8272E Table 27-7: low fuse 0x62"},
  {"ATmega644",   "avr-libc factory",   "ATmega644.atdf and 8272E Table 27-7: low fuse 0x62"},
  {"ATmega644A",  "avr-libc factory",   "ATmega644A.atdf and 8272E Table 27-7: low fuse 0x62"},
  {"ATmega644P",  "avr-libc factory",   "ATmega644P.atdf and 8272E Table 27-7: low fuse 0x62"},
  {"ATmega644PA", "avr-libc factory",   "ATmega644PA.atdf and 8272E Table 27-7: low fuse 0x62"},
  {"ATmega1284P", "avr-libc factory",   "ATmega1284P.atdf and 8272E Tables 27-5, 27-7: 0x62 0x99"},
  {"ATmega16A",   "avr-libc factory",   "ATmega16A.atdf: low fuse 0xE1 (iom16a.h has 0xC1)"},
  {"ATmega8535",  "avr-libc factory",   "ATmega8535.atdf and 2502: low fuse 0xE1 (iom8535.h has 0xC1)"},
  {"ATmega16M1",  "avr-libc factory",   "ATmega16M1.atdf: 62 D9 FF, the internal RC oscillator (the header's 0x41 is no clock option)"},
  {"ATmega32M1",  "avr-libc factory",   "ATmega32M1.atdf: 62 D9 FF"},
  {"ATmega64M1",  "avr-libc factory",   "ATmega64M1.atdf: 62 D9 FF"},
  {"ATmega8U2",   "avr-libc factory",   "ATmega8U2.atdf and 7799D Table 25-3: 5E D9 F4"},
  {"ATmega16U2",  "avr-libc factory",   "ATmega16U2.atdf and 7799D Table 25-3: 5E D9 F4"},
  {"ATmega32U2",  "avr-libc factory",   "ATmega32U2.atdf and 7799D Table 25-3: 5E D9 F4"},
  {"ATmega16U4",  "avr-libc factory",   "ATmega16U4.atdf: 52 99; 7766J Table 28-3: extended 0xF3"},
  {"ATmega32U4",  "avr-libc factory",   "ATmega32U4.atdf: 52 99; 7766J Table 28-3: extended 0xF3"},
  {"ATmega128RFA1", "avr-libc factory", "ATmega128RFA1.atdf: low fuse 0x62"},
  {"AT90USB646",  "avr-libc factory",   "AT90USB646.atdf: 5E 9B F3"},
  {"AT90USB647",  "avr-libc factory",   "AT90USB647.atdf: 5E 9B F3"},
  {"AT90USB1286", "avr-libc factory",   "AT90USB1286.atdf: 5E 99 F3"},
  {"AT90USB1287", "avr-libc factory",   "AT90USB1287.atdf: 5E 99 F3"},
  // alias headers that name the clock fuses as one field where the row's own header names
  // CKSEL and SUT bits apart (or the other way round); the device file has one field either way
  {"ATmega8A",     "avr-libc fuse names", "8159 names the low fuse bits as iom8.h, CKSEL0..3, SUT0..1"},
  {"ATmega32A",    "avr-libc fuse names", "8155 names CKSEL0..3, SUT0..1 as iom32.h"},
  {"ATmega64A",    "avr-libc fuse names", "8160E names CKSEL0..3, SUT0..1 as iom64.h"},
  {"ATmega128A",   "avr-libc fuse names", "8151H names CKSEL0..3, SUT0..1 as iom128.h"},
  {"ATmega48PA",   "avr-libc fuse names", "DS40002061A names CKSEL0..3, SUT0..1 as iom48p.h"},
  {"ATmega168PA",  "avr-libc fuse names", "DS40002061A names CKSEL0..3, SUT0..1 as iom168p.h"},
  {"ATmega164PA",  "avr-libc fuse names", "8272E names CKSEL0..3, SUT0..1 as iom164p.h"},
  {"ATmega165PA",  "avr-libc fuse names", "8285 names CKSEL0..3, SUT0..1 as iom165.h"},
  // the device files name the extended fuse's bit 0 RSTDISBL where these headers do not
  {"ATmega165",    "avr-libc fuse names", "ATmega165P.atdf: extended bit 0 RSTDISBL, left out by iom165.h"},
  {"ATmega165P",   "avr-libc fuse names", "ATmega165P.atdf: extended bit 0 RSTDISBL, left out by iom165p.h"},
  {"ATmega169",    "avr-libc fuse names", "ATmega169P.atdf: extended bit 0 RSTDISBL, left out by iom169.h"},
  {"ATmega169A",   "avr-libc fuse names", "ATmega169A.atdf: extended bit 0 RSTDISBL, left out by iom169a.h"},
  {"ATmega169P",   "avr-libc fuse names", "ATmega169P.atdf: extended bit 0 RSTDISBL, left out by iom169p.h"},
  {"ATmega649P",   "avr-libc fuse names", "ATmega649P.atdf: extended bit 0 RSTDISBL (iom649p.h: RESERVED)"},
  {"AT90USB82",    "avr-libc fuse names", "AT90USB82.atdf: high bit 6 RSTDISBL (iousb82.h: RSTDSBL)"},
  {"AT90USB162",   "avr-libc fuse names", "AT90USB162.atdf: high bit 6 RSTDISBL (iousb162.h: RSTDSBL)"},
  {"ATmega325PA",  "avr-libc fuse names", "8285 names CKSEL0..3, SUT0..1 as iom325.h"},
  {"ATmega329PA",  "avr-libc fuse names", "8284 names CKSEL0..3, SUT0..1 as iom329p.h"},
  {"ATmega3250PA", "avr-libc fuse names", "8285 names CKSEL0..3, SUT0..1 as iom3250.h"},
  {"ATmega3290PA", "avr-libc fuse names", "8284 names CKSEL0..3, SUT0..1 as iom3290.h"},
  // avrdude's file
  {"ATmega165",   "avrdude signature",  "8285E Table 27-6: 1E 94 07 is the 165P/PA's and 10 the 165A's (JTAG part number 9407 for both); the ATmega165 predates both and the row keeps ATmega165P.atdf's 07 (avrdude has the 165A's 10)"},
  {"ATmega16M1",  "avrdude missing",    "ATmega16M1.atdf and 8209F: 1E 94 84, beside the 32M1 and 64M1"},
  // every catalogue row against avrdude's part of each of its names
  {"AT90S2323",   "row avrdude missing", "no part of its own: the row waits as the AT90S2343 (datasheet 1004 covers both)"},
  {"ATtiny22",    "row avrdude missing", "no part of its own: the row waits as the AT90S2343, its sibling"},
  {"ATtiny25",    "row calibration",    "ATtiny25.atdf: 2 bytes of osccal space (avrdude reads 1)"},
  {"ATtiny45",    "row calibration",    "ATtiny45.atdf: 2 bytes of osccal space (avrdude reads 1)"},
  {"ATtiny85",    "row calibration",    "ATtiny85.atdf: 2 bytes of osccal space (avrdude reads 1)"},
  {"ATtiny441",   "row calibration",    "ATtiny441.atdf: 2 bytes of osccal space (avrdude reads 1)"},
  {"ATtiny841",   "row calibration",    "ATtiny841.atdf: 2 bytes of osccal space (avrdude reads 1)"},
  {"ATtiny828",   "row calibration",    "ATtiny828.atdf: 2 bytes of osccal space (avrdude reads 1)"},
  {"ATtiny828R",  "row calibration",    "the ATtiny828's 2 bytes (avrdude reads 1)"},
};
// clang-format on

std::string Hex(const uint8_t* b, size_t n) {
  std::string s;
  char buf[4];
  for (size_t i = 0; i < n; ++i) {
    std::snprintf(buf, sizeof buf, i ? " %02X" : "%02X", b[i]);
    s += buf;
  }
  return s;
}

std::vector<std::string> Names(const PartRow& row) {
  std::vector<std::string> names{row.name};
  std::istringstream aliases(row.aliases);
  std::string alias;
  while (std::getline(aliases, alias, ',')) {
    alias.erase(0, alias.find_first_not_of(' '));
    if (!alias.empty()) names.push_back(alias);
  }
  return names;
}

std::string Env(const char* name, const char* fallback) {
  const char* v = std::getenv(name);
  return v && *v ? v : fallback;
}

using Report = std::function<void(const std::string& what, const std::string& detail)>;

Report Reporter(const std::string& name, std::set<std::string>* keys, std::vector<std::string>* lines) {
  return [=](const std::string& what, const std::string& detail) {
    keys->insert(name + "|" + what);
    lines->push_back(name + ": " + what + " (" + detail + ")");
  };
}

// What a device-file field does; a clock field's bits select the clock where they are CKSEL
// bits or not named apart.
FuseRole ExpectedRole(const std::string& field, const std::string& bit) {
  static const std::map<std::string, FuseRole> kRoles = {
      {"RSTDISBL", FuseRole::ResetDisable}, {"DWEN", FuseRole::DebugWire},
      {"SPIEN", FuseRole::SpiEnable},       {"CKDIV8", FuseRole::ClockDivide},
      {"WDTON", FuseRole::WatchdogOn},      {"BOOTRST", FuseRole::BootReset},
      {"EESAVE", FuseRole::EepromSave},     {"BODLEVEL", FuseRole::BrownOutLevel}};
  if (field.find("CKSEL") != std::string::npos)
    return bit.rfind("CKSEL", 0) == 0 || bit.rfind(field, 0) == 0 ? FuseRole::ClockSelect : FuseRole::None;
  auto it = kRoles.find(field);
  return it == kRoles.end() ? FuseRole::None : it->second;
}

// A bit's name belongs to its field: the field's own name for a one-bit field, else the field
// or one of its parts with the bit's number ("BODLEVEL2", "SUT1" of SUT_CKSEL, "BLB01" of BLB0).
bool NameFits(const std::string& field, uint8_t mask, const std::string& bit) {
  if ((mask & (mask - 1)) == 0) return bit == field;
  std::string stem = bit;
  while (!stem.empty() && std::isdigit(static_cast<unsigned char>(stem.back()))) stem.pop_back();
  if (stem == field || (field.size() > 1 && stem == field.substr(0, field.size() - 1) + field.back()))
    return true;
  if (field.rfind(stem, 0) == 0 && field.size() == stem.size() + 1) return true;  // BLB0 -> BLB01
  std::istringstream parts(field);
  std::string part;
  while (std::getline(parts, part, '_'))
    if (stem == part) return true;
  return false;
}

void CheckBits(const AtdfRegister& reg, const char* const* bits, const FuseRole* roles, const Report& report,
               const std::string& what) {
  uint8_t fieldBits = 0;
  bool names = true, fit = true;
  for (const AtdfField& f : reg.fields) {
    fieldBits |= f.mask;
    for (int k = 0; k < 8; ++k) {
      if (!(f.mask >> k & 1)) continue;
      const std::string bit = bits[k] ? bits[k] : "";
      names = names && NameFits(f.name, f.mask, bit);
      fit = fit && (!roles || roles[k] == ExpectedRole(f.name, bit));
    }
  }
  uint8_t rowBits = 0;
  for (int k = 0; k < 8; ++k)
    if (bits[k]) rowBits = static_cast<uint8_t>(rowBits | 1u << k);
  if (!names || rowBits != fieldBits) report("device file " + what + " names", reg.name);
  if (!fit) report("device file " + what + " roles", reg.name);
}

// The picture's and --describe's pins where the device file has pads: the serial signals on the
// pads it names, and every supply pad of the package's pinout (AVCC, AGND, UVCC too) by its name.
// A file with pads but none for the chip's package is a disagreement too.
void CheckPins(const std::map<std::string, AtdfDevice>& facts, const PartPackage& package, const std::string& name,
               const Report& report) {
  auto it = facts.find(name);
  if (it == facts.end() || it->second.pinouts.empty()) return;
  const AtdfDevice& d = it->second;
  auto pkg = d.packages.find(package.name);
  if (pkg == d.packages.end() || !d.pinouts.count(pkg->second))
    return report("device file package", std::string(package.name) + " has no pinout in the file");
  const std::map<int, std::string>& pads = d.pinouts.at(pkg->second);
  auto pad = [&](int pin) { return pads.count(pin) ? pads.at(pin) : std::string("?"); };
  std::set<std::pair<int, std::string>> fileSupply, rowSupply;
  for (const auto& [pin, name] : pads)
    for (const char* kind : {"VCC", "GND", "VDD", "VSS"})
      if (name.find(kind) != std::string::npos) fileSupply.insert({pin, name});
  for (int i = 0; i < kMaxSupplyPins && package.supply[i].pin; ++i)
    rowSupply.insert({package.supply[i].pin, package.supply[i].pad});
  if (rowSupply != fileSupply) {
    std::string detail = pkg->second + ":";
    for (const auto& [pin, name] : fileSupply) detail += " " + std::to_string(pin) + "=" + name;
    report("device file supply pins", detail);
  }
  if (!package.mosi) return;
  auto spi = [&](std::initializer_list<const char*> signals) {
    std::set<std::string> s;
    for (const char* sig : signals)
      if (d.spi.count(sig)) s.insert(d.spi.at(sig));
    return s;
  };
  // Only what the file names: several leave the serial signals or the reset pad out.
  auto on = [&](const std::set<std::string>& pads, int pin) { return pads.empty() || pads.count(pad(pin)); };
  const bool pins = on(spi({"MOSI", "PDI", "MOSI_A"}), package.mosi) &&
                    on(spi({"MISO", "PDO", "MISO_A"}), package.miso) && on(spi({"SCK", "SCK_A"}), package.sck) &&
                    (d.reset.empty() || pad(package.reset) == d.reset);
  if (!pins)
    report("device file pins", pkg->second + ": " + pad(package.mosi) + " " + pad(package.miso) + " " +
                                   pad(package.sck) + " " + pad(package.reset));
}

void CheckDeviceFile(const std::map<std::string, AtdfDevice>& facts, const PartRow& row, const std::string& name,
                     const Report& report) {
  auto it = facts.find(name);
  if (it == facts.end()) return report("device file missing", "no device file");
  const AtdfDevice& d = it->second;
  if (d.signature != std::vector<uint8_t>(row.signature, row.signature + 3))
    report("device file signature", Hex(d.signature.data(), d.signature.size()));
  if (d.flash != long(row.flashBytes) || d.flashPage != row.flashPageBytes || d.eeprom != row.eepromBytes ||
      (row.eepromPageBytes && d.eepromPage != row.eepromPageBytes))
    report("device file memories", "Flash, its page, EEPROM or its page");
  if (d.calibration.value_or(-1) != row.calibrationCount) report("device file calibration", "osccal size");
  if (d.supplyMaxMv && d.supplyMaxMv != row.vccMaxMv) report("device file supply", std::to_string(d.supplyMaxMv));
  if (d.fuses.size() != row.fuseCount) return report("device file fuse count", std::to_string(d.fuses.size()));
  bool factory = true;
  for (size_t i = 0; i < d.fuses.size(); ++i) {
    CheckBits(d.fuses[i], row.fuses[i].bits, row.fuses[i].roles, report, "fuse");
    uint8_t have = 0;
    for (const AtdfField& f : d.fuses[i].fields) have |= f.mask;
    factory = factory && ((d.fuses[i].factory ^ row.fuses[i].factory) & have) == 0;
  }
  if (!factory) report("device file factory", "initval on the bits the byte has");
  CheckBits(d.lock, row.lockBits, nullptr, report, "lock");
  if (d.lock.factory != row.lockFactory) report("device file lock factory", Hex(&d.lock.factory, 1));
  CheckPins(facts, row.package, name, report);
}

// "name: what (detail)" for every check that disagrees; the key "name|what" goes into *keys.
void CheckAvrdude(const AvrdudeConf& conf, const PartRow& row, const std::string& name, const Report& report) {
  const test::AvrdudePart* part = conf.FindByDesc(name);
  if (!part) return report("avrdude missing", "no part with this desc");
  if (part->signature != std::vector<uint8_t>(row.signature, row.signature + 3))
    report("avrdude signature", part->signature.size() == 3 ? Hex(part->signature.data(), 3) : "?");
  const test::AvrdudeMemory* flash = part->Memory("flash");
  const test::AvrdudeMemory* eeprom = part->Memory("eeprom");
  if (!flash || flash->Number("size") != long(row.flashBytes) ||
      flash->Number("page_size") != long(row.flashPageBytes))
    report("avrdude flash", "size or page size");
  if (!eeprom || eeprom->Number("size") != long(row.eepromBytes)) report("avrdude eeprom", "size");
  // Byte mode (C0) is in every part's instruction set, so only a page mode must agree.
  if (row.eepromPageBytes != 0 && eeprom &&
      (eeprom->Number("page_size") != long(row.eepromPageBytes) ||
       !eeprom->instructions.count("loadpage_lo") || !eeprom->instructions.count("writepage")))
    report("avrdude eeprom page", "page size or page instructions");
  if (row.eepromPageBytes == 0 && eeprom && eeprom->instructions.count("loadpage_lo"))
    report("avrdude eeprom page", "avrdude writes pages, the row bytes");
  // Poll RDY/BSY where avrdude polls it (mode bits 0x08 or 0x40), data polling elsewhere.
  bool ready = false;
  for (const test::AvrdudeMemory* m : {flash, eeprom})
    if (m && (m->Number("mode").value_or(0) & 0x48)) ready = true;
  if (ready != row.readyPoll) report("avrdude poll", ready ? "polls RDY/BSY" : "polls data");
}

void CheckHeader(const std::string& includeDir, const PartRow& row, const std::string& name, const Report& report) {
  auto h = test::ReadAvrIoHeader(includeDir, name);
  if (!h) return report("avr-libc missing", "no io header");
  if (!h->signature || *h->signature != std::vector<uint8_t>(row.signature, row.signature + 3))
    report("avr-libc signature", h->signature ? Hex(h->signature->data(), 3) : "none");
  if (h->flashEnd + 1 != long(row.flashBytes) || h->spmPageSize != row.flashPageBytes ||
      h->e2End + 1 != long(row.eepromBytes))
    report("avr-libc memories", "FLASHEND, SPM_PAGESIZE or E2END");
  if (h->fuseMemorySize != row.fuseCount || h->fuses.size() != row.fuseCount) {
    report("avr-libc fuse count", std::to_string(h->fuses.size()));
  } else {
    bool names = true, factory = true;
    for (size_t i = 0; i < row.fuseCount; ++i) {
      for (int k = 0; k < 8; ++k)
        names = names && h->fuses[i].bits[k] == (row.fuses[i].bits[k] ? row.fuses[i].bits[k] : "");
      factory = factory && h->fuses[i].factory == row.fuses[i].factory;
    }
    if (!names) report("avr-libc fuse names", "bit names differ");
    if (!factory) report("avr-libc factory", "*FUSE_DEFAULT differs or is missing");
  }
  const char* lock[8] = {};
  if (h->lockBits) lock[0] = "LB1", lock[1] = "LB2";
  if (h->bootLockBits0) lock[2] = "BLB01", lock[3] = "BLB02";
  if (h->bootLockBits1) lock[4] = "BLB11", lock[5] = "BLB12";
  for (int k = 0; k < 8; ++k)
    if (std::string(lock[k] ? lock[k] : "") != (row.lockBits[k] ? row.lockBits[k] : ""))
      return report("avr-libc lock bits", "lock bit names differ");
}

void ExpectOnlyListedDisagreements(const std::set<std::string>& keys, const std::vector<std::string>& lines,
                                   const std::string& source) {
  std::set<std::string> listed;
  for (const Exception& e : kExceptions)
    if (std::string(e.what).rfind(source, 0) == 0) listed.insert(std::string(e.name) + "|" + e.what);
  for (const std::string& line : lines) {
    std::string key = line.substr(0, line.find(": ")) + "|" +
                      line.substr(line.find(": ") + 2, line.find(" (") - line.find(": ") - 2);
    EXPECT_TRUE(listed.count(key)) << "not in kExceptions: " << line;
  }
  for (const std::string& key : listed) EXPECT_TRUE(keys.count(key)) << "stale exception: " << key;
}

TEST(PartTable, AgreesWithTheDeviceFilesExceptWhereListed) {
  std::string error;
  const auto facts = test::ReadAtdfFacts(QUILLET_ATDF_FACTS, &error);
  ASSERT_FALSE(facts.empty()) << error;
  std::set<std::string> keys;
  std::vector<std::string> lines;
  for (size_t i = 0; i < NewPartCount(); ++i)
    for (const std::string& name : Names(NewParts()[i]))
      CheckDeviceFile(facts, NewParts()[i], name, Reporter(name, &keys, &lines));
  // The first chips' packages (their own table): the pins only, under every name.
  for (size_t i = 0; i < kChipCount; ++i) {
    const ChipEntry& e = Catalogue()[i];
    ASSERT_NE(e.package, nullptr) << e.name;
    std::vector<std::string> names{e.name};
    for (size_t a = 0; a < kExistingAliasCount; ++a)
      if (names[0] == kExistingAliases[a][0]) names.push_back(kExistingAliases[a][1]);
    for (const std::string& name : names) CheckPins(facts, *e.package, name, Reporter(name, &keys, &lines));
  }
  ExpectOnlyListedDisagreements(keys, lines, "device file");
}

TEST(PartTable, AgreesWithAvrdudeExceptWhereListed) {
  const std::string path = Env("QUILLET_AVRDUDE_CONF", "/etc/avrdude.conf");
  if (!std::ifstream(path)) GTEST_SKIP() << path << " absent (Debian package avrdude)";
  AvrdudeConf conf;
  std::string error;
  ASSERT_TRUE(conf.Load(path, &error)) << error;
  std::set<std::string> keys;
  std::vector<std::string> lines;
  for (size_t i = 0; i < NewPartCount(); ++i)
    for (const std::string& name : Names(NewParts()[i]))
      CheckAvrdude(conf, NewParts()[i], name, Reporter(name, &keys, &lines));
  ExpectOnlyListedDisagreements(keys, lines, "avrdude");
}

// Every catalogue row, the first chips too, against avrdude's part of each of its names: the
// wait the engine keeps after each kind of write (at delay 0, so DelayValue adds nothing) is
// never shorter than avrdude's (a write inside the chip's busy time is lost), nor are the row's
// times, which the fast transfers and the simulated chips use; and the calibration bytes read
// and the Flash page written are avrdude's.
TEST(Catalogue, EveryRowAgainstAvrdudesWaitsCalibrationAndPages) {
  const std::string path = Env("QUILLET_AVRDUDE_CONF", "/etc/avrdude.conf");
  if (!std::ifstream(path)) GTEST_SKIP() << path << " absent (Debian package avrdude)";
  AvrdudeConf conf;
  std::string error;
  ASSERT_TRUE(conf.Load(path, &error)) << error;
  test::CoreFixture f;
  f.Connect();
  DelayValue = 0;
  // The milliseconds slept after one write of this kind with the chip selected.
  auto waited = [&](const std::function<bool()>& write) {
    f.port.trace.clear();
    EXPECT_TRUE(write());
    long us = 0;
    for (const std::string& t : f.port.trace)
      if (t.rfind("sleep ", 0) == 0) us += std::stol(t.substr(6)) * 1000;
    return us;
  };
  std::set<std::string> keys;
  std::vector<std::string> lines;
  for (const ChipEntry& e : Catalogue()) {
    std::vector<std::string> names{e.name};
    if (e.part) names = Names(*e.part);
    for (size_t i = 0; i < kExistingAliasCount; ++i)
      if (e.name == std::string(kExistingAliases[i][0])) names.push_back(kExistingAliases[i][1]);
    SelectChip(e.id);
    const ChipModule& m = *e.module;
    const long engine[] = {
        waited([&] { return m.ProgramPageMode() ? m.WriteProgramPage(0) : m.WriteProgramByte(0); }),
        waited([&] { return m.DataPageMode() ? m.WriteDataPage(0) : m.WriteDataByte(0); }),
        waited([&] { return m.ChipErase(); }),
        waited([&] { return m.WriteLockBits(); })};
    const long row[] = {e.times.flashUs, e.times.eepromUs, e.times.eraseUs, e.times.fuseUs};
    for (const std::string& name : names) {
      const Report report = Reporter(name, &keys, &lines);
      const test::AvrdudePart* part = conf.FindByDesc(name);
      if (!part) {
        if (!e.part) report("row avrdude missing", "no part with this desc");
        continue;  // the newer rows' absences are CheckAvrdude's
      }
      auto delay = [&](const char* memory) {
        const test::AvrdudeMemory* mem = part->Memory(memory);
        return mem ? std::max(mem->Number("min_write_delay").value_or(0), mem->Number("max_write_delay").value_or(0))
                   : 0L;
      };
      const long avrdude[] = {
          delay("flash"), delay("eeprom"),
          part->values.count("chip_erase_delay") ? std::stol(part->values.at("chip_erase_delay")) : 0,
          std::max({delay("lfuse"), delay("hfuse"), delay("efuse"), delay("fuse"), delay("lock")})};
      const char* const kinds[] = {"flash", "eeprom", "erase", "fuse"};
      for (int k = 0; k < 4; ++k) {
        if (row[k] < avrdude[k]) report(std::string("row wait ") + kinds[k], std::to_string(row[k]) + " us");
        if (engine[k] < avrdude[k]) report(std::string("row engine wait ") + kinds[k], std::to_string(engine[k]) + " us");
      }
      const test::AvrdudeMemory* calibration = part->Memory("calibration");
      const long reads = m.HasReadCalibration() ? e.calibrationCount : 0;
      if (reads != (calibration ? calibration->Number("size").value_or(0) : 0))
        report("row calibration", std::to_string(reads) + " bytes");
      const test::AvrdudeMemory* flash = part->Memory("flash");
      if (flash && long(ChipFlashPageBytes(e)) != flash->Number("page_size").value_or(0))
        report("row flash page", std::to_string(ChipFlashPageBytes(e)) + " bytes");
    }
  }
  DelayValue = 1;
  ResetSelectionState();
  ExpectOnlyListedDisagreements(keys, lines, "row");
}

// Every catalogue row answers to the part ids avrdude gives its names (aliases too) where
// avrdude's part has the row's signature, and to no other unless a datasheet settled it.
TEST(PartTable, PartIdsAreAvrdudesForTheSameSignature) {
  // {row, id}: avrdude's part of the row's own name has another signature, which the row's
  // sources contradict (see the "avrdude signature" exceptions).
  const std::set<std::pair<std::string, std::string>> settled = {{"ATmega165", "m165"}};
  const std::string path = Env("QUILLET_AVRDUDE_CONF", "/etc/avrdude.conf");
  if (!std::ifstream(path)) GTEST_SKIP() << path << " absent (Debian package avrdude)";
  AvrdudeConf conf;
  std::string error;
  ASSERT_TRUE(conf.Load(path, &error)) << error;
  for (const ChipEntry& e : Catalogue()) {
    const std::vector<uint8_t> signature{uint8_t(e.id), uint8_t(e.id >> 8), uint8_t(e.id >> 16)};
    std::vector<std::string> names{e.name};
    if (e.part) names = Names(*e.part);
    for (size_t i = 0; i < kExistingAliasCount; ++i)
      if (e.name == std::string(kExistingAliases[i][0])) names.push_back(kExistingAliases[i][1]);
    std::set<std::string> want;
    for (const std::string& name : names) {
      const test::AvrdudePart* p = conf.FindByDesc(name);
      if (p && (p->signature == signature || settled.count({e.name, p->id}))) want.insert(p->id);
    }
    std::set<std::string> have;
    std::istringstream ids(e.partIds ? e.partIds : "");
    for (std::string id; std::getline(ids, id, ',');) have.insert(id.substr(id.find_first_not_of(' ')));
    EXPECT_EQ(have, want) << e.name;
    if (e.part) {
      EXPECT_STREQ(e.partIds, e.part->partIds) << e.name;
    }
  }
}

TEST(PartTable, AgreesWithAvrLibcExceptWhereListed) {
  const std::string dir = Env("QUILLET_AVR_INCLUDE", "/usr/lib/avr/include");
  if (!std::ifstream(dir + "/avr/io.h")) GTEST_SKIP() << dir << "/avr/io.h absent (Debian package avr-libc)";
  std::set<std::string> keys;
  std::vector<std::string> lines;
  for (size_t i = 0; i < NewPartCount(); ++i)
    for (const std::string& name : Names(NewParts()[i]))
      CheckHeader(dir, NewParts()[i], name, Reporter(name, &keys, &lines));
  ExpectOnlyListedDisagreements(keys, lines, "avr-libc");
}

// Faults of the table itself that neither reference would show.
TEST(PartTable, RowsAreConsistentAndDistinctFromTheCatalogue) {
  std::set<ChipId> ids;
  std::set<std::string> names;
  for (size_t i = 0; i < kChipCount; ++i) ids.insert(Catalogue()[i].id), names.insert(Catalogue()[i].name);
  for (size_t i = 0; i < NewPartCount(); ++i) {
    const PartRow& r = NewParts()[i];
    SCOPED_TRACE(r.name);
    EXPECT_TRUE(ids.insert(MakeChipId(r.signature[0], r.signature[1], r.signature[2])).second)
        << "signature taken";
    for (const std::string& n : Names(r)) EXPECT_TRUE(names.insert(n).second) << n << " twice";
    EXPECT_TRUE(r.flashPageBytes && r.flashBytes % r.flashPageBytes == 0);
    EXPECT_TRUE(r.eepromPageBytes == 0 || r.eepromBytes % r.eepromPageBytes == 0);
    EXPECT_TRUE(r.fuseCount >= 2 && r.fuseCount <= 3);
    int spien = 0;  // the fuse dialog keeps it from being changed serially
    for (int b = 0; b < r.fuseCount; ++b)
      for (int k = 0; k < 8; ++k) spien += r.fuses[b].bits[k] && r.fuses[b].roles[k] == FuseRole::SpiEnable;
    EXPECT_EQ(spien, 1);
    EXPECT_TRUE(r.times.flashUs && r.times.eepromUs && r.times.eraseUs && r.times.fuseUs);
  }
  // Every chip's package (the picture and --describe draw on it): pins on the package, none
  // twice, every supply pin named.
  for (const ChipEntry& e : Catalogue()) {
    SCOPED_TRACE(e.name);
    ASSERT_NE(e.package, nullptr);
    const PartPackage& p = *e.package;
    if (e.part) {
      EXPECT_EQ(&p, &e.part->package);
    }
    std::set<int> used;
    for (uint8_t pin : {p.mosi, p.miso, p.sck, p.reset}) {
      EXPECT_LE(pin, p.pinCount);
      EXPECT_TRUE(!pin || used.insert(pin).second) << pin;
    }
    for (int i = 0; i < kMaxSupplyPins && p.supply[i].pin; ++i) {
      EXPECT_LE(p.supply[i].pin, p.pinCount);
      EXPECT_TRUE(used.insert(p.supply[i].pin).second) << int(p.supply[i].pin);
      EXPECT_TRUE(p.supply[i].pad && *p.supply[i].pad);
    }
  }
  for (size_t i = 0; i < kExistingAliasCount; ++i) {
    const ChipEntry* e = FindChipByName(kExistingAliases[i][0]);
    ASSERT_NE(e, nullptr) << kExistingAliases[i][0];
    EXPECT_TRUE(names.insert(kExistingAliases[i][1]).second);
  }
}

// The lock-out warning follows the bit's role, not its spelling: the header of these chips named
// the reset-disable bit otherwise (RESERVED, RSTDSBL) and programming it went unwarned.
TEST(PartTable, LockoutWarningsGoByRole) {
  const struct {
    const char* chip;
    Memory memory;
    int bit;
  } named[] = {{"ATmega649P", Memory::ExtendedFuse, 0}, {"AT90USB82", Memory::HighFuse, 6},
               {"AT90USB162", Memory::HighFuse, 6}};
  for (const auto& c : named) {
    const ChipEntry* e = FindChipByName(c.chip);
    ASSERT_NE(e, nullptr) << c.chip;
    SelectedChip = e->id;
    EXPECT_EQ(FuseBitRole(c.memory, c.bit), FuseRole::ResetDisable) << c.chip;
  }
  const Memory memories[] = {Memory::LowFuse, Memory::HighFuse, Memory::ExtendedFuse};
  for (size_t n = kChipCount; n < Catalogue().size(); ++n) {
    const ChipEntry& e = Catalogue()[n];
    SelectedChip = e.id;
    for (int i = 0; i < e.part->fuseCount; ++i)
      for (int k = 0; k < 8; ++k) {
        if (!e.part->fuses[i].bits[k]) continue;
        const FuseRole role = e.part->fuses[i].roles[k];
        const std::string hazard = FuseHazard(memories[i], 0xFF, static_cast<uint8_t>(~(1u << k)));
        // A clock change is one a programmer that gives the clock can undo: not refused.
        const bool warns = role == FuseRole::ResetDisable || role == FuseRole::DebugWire;
        EXPECT_EQ(!hazard.empty(), warns) << e.name << " " << e.part->fuses[i].bits[k];
      }
  }
  SelectedChip = 0;
}

// The reader the checks stand on: inheritance from a parent, memories extended field by field
// and removed by NULL, both instruction spellings.
TEST(AvrdudeConfReader, InheritsFromParentsAndSplitsInstructions) {
  const std::string path = test::TempDir() + "parttable_avrdude.conf";
  std::ofstream(path) << R"(# comment
programmer id = "x"; desc = "y"; ;
part
    desc = "Base"; id = "b"; signature = 0x1e 0x95 0x0f;
    memory "flash" size = 0x8000; page_size = 128;
        read_lo = "0010.0000--00aa.aaaa--aaaa.aaaa--oooo.oooo"; ;
    memory "efuse" size = 1; ;
;
part parent "b"
    desc = "Child"; id = "c"; signature = 0x1e 0x98 0x01;
    memory "flash" page_size = 256;
        loadpage_lo = "  0   1   0   0      0   0   0   0", "  x   x   x   x      x   x   x   x",
                      "  x  a6  a5  a4     a3  a2  a1  a0", "  i   i   i   i      i   i   i   i"; ;
    memory "efuse" = NULL;
;
)";
  AvrdudeConf conf;
  std::string error;
  ASSERT_TRUE(conf.Load(path, &error)) << error;
  const test::AvrdudePart* child = conf.FindByDesc("Child");
  ASSERT_NE(child, nullptr);
  EXPECT_EQ(child->parent, "b");
  EXPECT_EQ(child->signature, (std::vector<uint8_t>{0x1E, 0x98, 0x01}));
  const test::AvrdudeMemory* flash = child->Memory("flash");
  ASSERT_NE(flash, nullptr);
  EXPECT_EQ(flash->Number("size"), 0x8000);
  EXPECT_EQ(flash->Number("page_size"), 256);
  ASSERT_EQ(flash->instructions.at("read_lo").size(), 32u);
  EXPECT_EQ(flash->instructions.at("read_lo")[10], "a");
  ASSERT_EQ(flash->instructions.at("loadpage_lo").size(), 32u);
  EXPECT_EQ(flash->instructions.at("loadpage_lo")[17], "a6");
  EXPECT_EQ(child->Memory("efuse"), nullptr);
  EXPECT_NE(conf.FindByDesc("Base")->Memory("efuse"), nullptr);
  EXPECT_EQ(conf.FindByDesc("Base")->Memory("flash")->Number("page_size"), 128);
  std::remove(path.c_str());
}

}  // namespace
}  // namespace quillet
