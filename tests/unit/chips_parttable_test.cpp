// The table of the newer chips, cross-checked name by name (aliases too) against avrdude's part
// file and avr-libc's io headers. Every disagreement is in kExceptions with what settles it.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "chips/Chipfunctions.h"
#include "chips/PartTable.h"
#include "support/AvrdudeConf.h"

namespace quillet {
namespace {

using test::AvrdudeConf;

struct Exception {
  const char* name;
  const char* what;  // the check that disagrees, as Disagreements() spells it
  const char* settledBy;
};

// clang-format off
const Exception kExceptions[] = {
  // avr-libc's signatures that the datasheets contradict
  {"ATmega164A",  "avr-libc signature", "8272E Table 27-6: 1E 94 0F (the header has the 164P's)"},
  {"ATmega164P",  "avr-libc signature", "8272E Table 27-6: 1E 94 0A (the header has the 164A's)"},
  {"ATmega165",   "avr-libc signature", "8019/8285: 1E 94 07 as the 165P/PA (the header has the 169's 05)"},
  {"ATmega169A",  "avr-libc signature", "8284 Table 27-5: 1E 94 11"},
  {"ATmega325P",  "avr-libc signature", "8285 Table 27-5: 1E 95 0D as the 325PA"},
  {"ATmega329PA", "avr-libc signature", "8284 Table 27-5: 1E 95 0B as the 329P"},
  {"ATmega645P",  "avr-libc signature", "8285 Table 27-5: 1E 96 0D"},
  {"ATmega3250P", "avr-libc signature", "8285 Table 27-5: 1E 95 0E as the 3250PA"},
  {"ATmega3290P", "avr-libc signature", "8284 Table 27-5: 1E 95 0C as the 3290PA"},
  {"ATmega6450P", "avr-libc signature", "8285 Table 27-5: 1E 96 0E"},
  {"ATmega6490P", "avr-libc signature", "8284 Table 27-5: 1E 96 0C"},
  // headers without what the row needs
  {"AT90USB82",   "avr-libc signature", "7707: 1E 93 82 (iousb82.h has none)"},
  {"AT90PWM2",    "avr-libc signature", "4317J: 1E 93 81 (io90pwmx.h has none)"},
  {"AT90PWM3",    "avr-libc signature", "4317J: 1E 93 81 (io90pwmx.h has none)"},
  {"ATmega328PB", "avr-libc missing",   "DS40001906: 1E 95 16, memories of the 328P, extended fuse CFD"},
  {"ATmega324PB", "avr-libc missing",   "DS40001908: 1E 95 17, memories of the 324PA, extended fuse CFD"},
  {"ATtiny828R",  "avr-libc missing",   "8371A: the ATtiny828 with a factory-tuned oscillator, same signature"},
  {"ATtiny1634R", "avr-libc missing",   "8303: the ATtiny1634 with a factory-tuned oscillator, same signature"},
  {"ATmega165A",  "avr-libc factory",   "8285 Tables 27-3..27-5: 0x62 0x99 0xFF (iom165a.h has no defaults)"},
  // lock bits and factory values
  {"ATmega48P",   "avr-libc lock bits", "DS40002061A: no boot section on the ATmega48P, so LB1/LB2 only"},
  {"ATmega164A",  "avr-libc factory",   "8272E Table 27-7: low fuse 0x62 (SUT 10)"},
  {"ATmega164P",  "avr-libc factory",   "8272E Table 27-7: low fuse 0x62"},
  {"ATmega324PA", "avr-libc factory",   "8272E Table 27-7: low fuse 0x62"},
  {"ATmega644",   "avr-libc factory",   "8272E Table 27-7: low fuse 0x62"},
  {"ATmega644A",  "avr-libc factory",   "8272E Table 27-7: low fuse 0x62"},
  {"ATmega644P",  "avr-libc factory",   "8272E Table 27-7: low fuse 0x62"},
  {"ATmega644PA", "avr-libc factory",   "8272E Table 27-7: low fuse 0x62"},
  {"ATmega1284P", "avr-libc factory",   "8272E Tables 27-5, 27-7: 0x62 0x99"},
  {"ATmega16A",   "avr-libc factory",   "8154 fuse low byte table: 0xE1 (SUT 10; iom16a.h has 0xC1)"},
  {"ATmega8535",  "avr-libc factory",   "2502 fuse low byte table: 0xE1 (SUT 10; iom8535.h has 0xC1)"},
  // alias headers that name the clock fuses as one field where the row's datasheet names
  // CKSEL and SUT bits apart (or the other way round); the row keeps its own header's names
  {"ATmega8A",     "avr-libc fuse names", "8159 names the low fuse bits as iom8.h, CKSEL0..3, SUT0..1"},
  {"ATmega32A",    "avr-libc fuse names", "8155 names CKSEL0..3, SUT0..1 as iom32.h"},
  {"ATmega64A",    "avr-libc fuse names", "8160E names CKSEL0..3, SUT0..1 as iom64.h"},
  {"ATmega128A",   "avr-libc fuse names", "8151H names CKSEL0..3, SUT0..1 as iom128.h"},
  {"ATmega48PA",   "avr-libc fuse names", "DS40002061A names CKSEL0..3, SUT0..1 as iom48p.h"},
  {"ATmega168PA",  "avr-libc fuse names", "DS40002061A names CKSEL0..3, SUT0..1 as iom168p.h"},
  {"ATmega164PA",  "avr-libc fuse names", "8272E names CKSEL0..3, SUT0..1 as iom164p.h"},
  {"ATmega165PA",  "avr-libc fuse names", "8285 names CKSEL0..3, SUT0..1 as iom165.h"},
  // the row takes the extended fuse's RSTDISBL (bit 0) from iom165pa.h/iom169pa.h
  {"ATmega165",    "avr-libc fuse names", "8285 extended fuse byte: bit 0 RSTDISBL, left out by iom165.h"},
  {"ATmega165P",   "avr-libc fuse names", "8285 extended fuse byte: bit 0 RSTDISBL, left out by iom165p.h"},
  {"ATmega169",    "avr-libc fuse names", "8284 extended fuse byte: bit 0 RSTDISBL, left out by iom169.h"},
  {"ATmega169A",   "avr-libc fuse names", "8284 extended fuse byte: bit 0 RSTDISBL, left out by iom169a.h"},
  {"ATmega169P",   "avr-libc fuse names", "8284 extended fuse byte: bit 0 RSTDISBL, left out by iom169p.h"},
  {"ATmega325PA",  "avr-libc fuse names", "8285 names CKSEL0..3, SUT0..1 as iom325.h"},
  {"ATmega329PA",  "avr-libc fuse names", "8284 names CKSEL0..3, SUT0..1 as iom329p.h"},
  {"ATmega3250PA", "avr-libc fuse names", "8285 names CKSEL0..3, SUT0..1 as iom3250.h"},
  {"ATmega3290PA", "avr-libc fuse names", "8284 names CKSEL0..3, SUT0..1 as iom3290.h"},
  // avrdude's file
  {"ATmega165",   "avrdude signature",  "8019/8285: 1E 94 07 (avrdude has the 165A's 10)"},
  {"ATmega16M1",  "avrdude missing",    "8209F covers the ATmega16M1 (1E 94 84) beside the 32M1 and 64M1"},
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

// "name: what (detail)" for every check that disagrees; the key "name|what" goes into *keys.
void CheckAvrdude(const AvrdudeConf& conf, const PartRow& row, const std::string& name,
                  std::set<std::string>* keys, std::vector<std::string>* lines) {
  auto report = [&](const std::string& what, const std::string& detail) {
    keys->insert(name + "|" + what);
    lines->push_back(name + ": " + what + " (" + detail + ")");
  };
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
}

void CheckHeader(const std::string& includeDir, const PartRow& row, const std::string& name,
                 std::set<std::string>* keys, std::vector<std::string>* lines) {
  auto report = [&](const std::string& what, const std::string& detail) {
    keys->insert(name + "|" + what);
    lines->push_back(name + ": " + what + " (" + detail + ")");
  };
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

TEST(PartTable, AgreesWithAvrdudeExceptWhereListed) {
  const std::string path = Env("QUILLET_AVRDUDE_CONF", "/etc/avrdude.conf");
  if (!std::ifstream(path)) GTEST_SKIP() << path << " absent (Debian package avrdude)";
  AvrdudeConf conf;
  std::string error;
  ASSERT_TRUE(conf.Load(path, &error)) << error;
  std::set<std::string> keys;
  std::vector<std::string> lines;
  for (size_t i = 0; i < NewPartCount(); ++i)
    for (const std::string& name : Names(NewParts()[i])) CheckAvrdude(conf, NewParts()[i], name, &keys, &lines);
  ExpectOnlyListedDisagreements(keys, lines, "avrdude");
}

TEST(PartTable, AgreesWithAvrLibcExceptWhereListed) {
  const std::string dir = Env("QUILLET_AVR_INCLUDE", "/usr/lib/avr/include");
  if (!std::ifstream(dir + "/avr/io.h")) GTEST_SKIP() << dir << "/avr/io.h absent (Debian package avr-libc)";
  std::set<std::string> keys;
  std::vector<std::string> lines;
  for (size_t i = 0; i < NewPartCount(); ++i)
    for (const std::string& name : Names(NewParts()[i])) CheckHeader(dir, NewParts()[i], name, &keys, &lines);
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
    bool spien = false;  // the fuse dialog keeps it from being changed serially
    for (int b = 0; b < r.fuseCount; ++b)
      for (const char* bit : r.fuses[b].bits) spien = spien || (bit && std::string(bit) == "SPIEN");
    EXPECT_TRUE(spien);
    EXPECT_TRUE(r.times.flashUs && r.times.eepromUs && r.times.eraseUs && r.times.fuseUs);
    const PartPackage& p = r.package;
    for (uint8_t pin : {p.mosi, p.miso, p.sck, p.reset}) EXPECT_LE(pin, p.pinCount);
    for (int i = 0; i < kMaxSupplyPins; ++i) {
      EXPECT_LE(p.vcc[i], p.pinCount);
      EXPECT_LE(p.gnd[i], p.pinCount);
    }
  }
  for (size_t i = 0; i < kExistingAliasCount; ++i) {
    const ChipEntry* e = FindChipByName(kExistingAliases[i][0]);
    ASSERT_NE(e, nullptr) << kExistingAliases[i][0];
    EXPECT_TRUE(names.insert(kExistingAliases[i][1]).second);
  }
}

// The reader the checks stand on: inheritance from a parent, memories extended field by field
// and removed by NULL, both instruction spellings.
TEST(AvrdudeConfReader, InheritsFromParentsAndSplitsInstructions) {
  const std::string path = ::testing::TempDir() + "parttable_avrdude.conf";
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
