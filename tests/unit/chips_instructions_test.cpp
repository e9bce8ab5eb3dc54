// Every catalogue chip's serial instructions, as the engine hands them to the gateway, decoded
// bit by bit against avrdude's part file: fixed bits, address bits (word address for Flash,
// upper word bits for Load Extended Address) and data bits. Every disagreement is in
// kExceptions with the datasheet that settles it.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <deque>
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
#include "image/Images.h"
#include "support/AvrdudeConf.h"
#include "support/ConnectedTest.h"

namespace quillet {
namespace {

struct Exception {
  const char* chips;  // the names avrdude knows them by, space-separated
  const char* whats;  // "lock.write flash.writepage ...", space-separated
  const char* settledBy;
};

// clang-format off
const Exception kExceptions[] = {
  // avrdude's pattern is at fault; the datasheet confirms what is sent.
  {"ATtiny26", "lock.write",
   "1477G Table 61: Write Lock Bits is AC 111x xxxx xxxx xxxx 1111 11ii, the lock bits in byte 4 "
   "as the module sends them; avrdude puts them in byte 2"},
  {"ATtiny261 ATtiny261A ATtiny461 ATtiny461A ATtiny861 ATtiny861A", "lock.write",
   "2588/8197 serial instruction set: Write Lock bits is AC E0 00 data (11ii iiii); avrdude keeps "
   "the ATtiny26's AC 1111 11ii"},
  {"AT90S4434", "fuse.read fuse.write",
   "1041 serial instruction set: Read Lock and Fuse Bits is 58 (12Sx xxxF), Write FSTRT is AC "
   "1011 111F; avrdude has the AT90S4433's 50 and 101i iiii"},
  {"ATmega162", "efuse.write",
   "2513 extended fuse byte: M161C and BODLEVEL2..0 are bits 4..1, bit 0 is reserved (written 1); "
   "avrdude takes bits 2..0 as data"},
  {"ATmega325 ATmega325A ATmega325P ATmega325PA ATmega3250 ATmega3250A ATmega3250P ATmega3250PA "
   "ATmega645 ATmega645A ATmega645P ATmega6450 ATmega6450A ATmega6450P",
   "flash.loadpage_lo flash.loadpage_hi flash.writepage",
   "2570/8285 serial instruction set: Load Program Memory Page takes only the in-page word bits "
   "and Write Program Memory Page only the page bits (the rest x); avrdude marks all 16 as address"},
  {"ATtiny87", "flash.writepage",
   "8265 serial instruction set: Write Program Memory Page is 0000 aaaa aaxx xxxx (64-word pages); "
   "avrdude marks word bit 5, inside the page, as address"},
  // Bits the chip does not have: written 1 (unprogrammed), where avrdude passes the byte whole.
  {"AT90PWM2 AT90PWM2B AT90PWM3 AT90PWM3B AT90PWM216 AT90PWM316", "efuse.write",
   "4317 extended fuse byte: bit 3 unused"},
  {"AT90USB82 AT90USB162 ATmega8U2 ATmega16U2 ATmega32U2", "efuse.write",
   "7707/7799 extended fuse byte: bits 7..4 unused"},
  {"ATtiny13 ATtiny13A", "hfuse.write", "2535/8126 high fuse byte: bits 7..5 unused"},
  {"ATtiny441 ATtiny841 ATtiny1634 ATtiny1634R", "lfuse.write",
   "8495/8303 low fuse byte: bit 5 unused"},
  {"ATtiny828 ATtiny828R", "lfuse.write efuse.write",
   "8371 fuse bytes: low fuse bits 3..2 and extended fuse bit 3 unused"},
  {"ATtiny13 ATtiny13A ATtiny43U ATtiny48 ATtiny88 ATtiny4313 ATmega48 ATmega48A ATmega48P "
   "ATmega48PA ATmega48PB", "lock.write",
   "their lock bytes hold LB1 and LB2 only (no boot section): bits 5..2 written 1"},
};
// clang-format on

using Bits = std::vector<std::string>;  // 32 specifiers, most significant first
using Word = std::array<uint8_t, 4>;    // I1 I2 I3 I4

std::string Env(const char* name, const char* fallback) {
  const char* v = std::getenv(name);
  return v && *v ? v : fallback;
}

std::string HexWord(const Word& w) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "%02X %02X %02X %02X", w[0], w[1], w[2], w[3]);
  return buf;
}

std::string Pattern(const Bits& bits) {
  std::string s;
  for (size_t k = 0; k < bits.size(); ++k) s += (k && k % 8 == 0 ? " " : "") + bits[k];
  return s;
}

// The data bits avrdude's pattern takes ('i'), as a mask of the data byte.
uint8_t DataMask(const Bits& bits) {
  uint8_t m = 0;
  for (int k = 0; k < 32; ++k)
    if (bits[k] == "i") m = static_cast<uint8_t>(m | 1u << ((31 - k) % 8));
  return m;
}

// "" when the instruction fits the pattern, else the first bit that does not. A plain 'a' at
// bit position p (0: the last byte's LSB) is address bit p - 8, or p + 8 in the extended
// address byte (word address bits 16 and up).
std::string Mismatch(const Bits& bits, const Word& w, uint32_t address, uint8_t data, bool extended) {
  for (int k = 0; k < 32; ++k) {
    const int p = 31 - k;
    const int sent = (w[k / 8] >> (7 - k % 8)) & 1;
    const std::string& s = bits[k];
    int want = sent;
    if (s == "0" || s == "1") {
      want = s[0] - '0';
    } else if (s == "i") {
      want = (data >> (p % 8)) & 1;
    } else if (s[0] == 'a') {
      const int n = s.size() > 1 ? std::atoi(s.c_str() + 1) : p - 8 + (extended ? 16 : 0);
      if (n < 0 || n > 31) return "bit " + std::to_string(p) + ": address bit " + std::to_string(n) + "?";
      want = (address >> n) & 1;
    }
    if (sent != want)
      return "bit " + std::to_string(p) + " is " + std::to_string(sent) + ", '" + s + "' wants " +
             std::to_string(want);
  }
  return "";
}

std::vector<Word> SentInstructions(const test::Recorder& port) {
  std::vector<Word> out;
  for (const std::string& t : port.Instructions()) {
    Word w{};
    std::istringstream in(t);
    for (uint8_t& b : w) {
      unsigned v = 0;
      in >> std::hex >> v;
      b = static_cast<uint8_t>(v);
    }
    out.push_back(w);
  }
  return out;
}


// The avrdude instructions a fuse operation stands for ("memory.instruction").
std::vector<std::string> FuseTargets(FuseOp op) {
  switch (op) {
    case FuseOp::ReadLockBits: return {"lock.read"};
    case FuseOp::ReadLowFuse: return {"lfuse.read"};
    case FuseOp::ReadHighFuse: return {"hfuse.read"};
    case FuseOp::ReadExtendedFuse: return {"efuse.read"};
    case FuseOp::ReadFuseBits: return {"fuse.read"};
    case FuseOp::ReadLockAndFuseBits: return {"lock.read", "fuse.read"};
    case FuseOp::WriteLockBits: return {"lock.write"};
    case FuseOp::WriteLowFuse: return {"lfuse.write"};
    case FuseOp::WriteHighFuse: return {"hfuse.write"};
    case FuseOp::WriteExtendedFuse: return {"efuse.write"};
    case FuseOp::WriteFuseBits: return {"fuse.write"};
  }
  return {};
}

// Every name of a catalogue chip: its own and those that share its signature and programming.
std::vector<std::string> Names(const ChipEntry& e) {
  std::vector<std::string> names{e.name};
  std::string aliases = e.part ? e.part->aliases : "";
  for (size_t i = 0; i < kExistingAliasCount; ++i)
    if (std::string(kExistingAliases[i][0]) == e.name) aliases += std::string(",") + kExistingAliases[i][1];
  std::istringstream in(aliases);
  std::string a;
  while (std::getline(in, a, ',')) {
    a.erase(0, a.find_first_not_of(' '));
    if (!a.empty()) names.push_back(a);
  }
  return names;
}

class Instructions : public test::ConnectedTest {
 protected:
  void SetUp() override {
    // Reads answer 0x5A; the second byte is Programming Enable's echo.
    f.port.responder = [](const std::vector<uint8_t>&) { return std::vector<uint8_t>{0x5A, 0x53}; };
  }
  void TearDown() override { ResetSelectionState(); }

  // The instructions one operation sends after a fresh Programming Enable (so the extended
  // address byte is sent again where the chip needs it).
  std::vector<Word> Sent(const ChipModule& m, const std::function<bool()>& op) {
    if (!m.ProgrammingEnable()) ADD_FAILURE() << m.name << ": Programming Enable failed";
    f.port.trace.clear();
    if (!op()) ADD_FAILURE() << m.name << ": operation failed";
    return SentInstructions(f.port);
  }

  // Records a disagreement once per chip and instruction, with its first detail.
  void Disagree(const std::string& chip, const std::string& what, const std::string& detail) {
    found_.emplace(chip + "|" + what, chip + ": " + what + " (" + detail + ")");
  }

  // Checks what one operation sent: the extended address byte first where the chip has one,
  // then the one instruction against avrdude's pattern.
  void Check(const std::string& chip, const test::AvrdudePart& part, const ChipModule& m,
             const std::string& what, const Bits* bits, const std::vector<Word>& sent,
             uint32_t address, uint8_t data, bool flash) {
    if (!bits) return Disagree(chip, what, "avrdude has no such instruction");
    size_t at = 0;
    if (flash && m.extendedAddress) {
      const test::AvrdudeMemory* mem = part.Memory("flash");
      const Bits* ext = nullptr;
      if (mem && mem->instructions.count("load_ext_addr")) ext = &mem->instructions.at("load_ext_addr");
      if (!ext || ext->size() != 32) {
        Disagree(chip, "load_ext_addr", "avrdude has none");
      } else if (sent.empty()) {
        Disagree(chip, "load_ext_addr", "not sent before " + what);
      } else {
        std::string miss = Mismatch(*ext, sent[0], address, 0, true);
        if (!miss.empty()) Disagree(chip, "load_ext_addr", HexWord(sent[0]) + ": " + miss);
      }
      at = 1;
    }
    if (sent.size() != at + 1) {
      std::string all;
      for (const Word& w : sent) all += "[" + HexWord(w) + "]";
      return Disagree(chip, what, std::to_string(sent.size()) + " instructions sent " + all);
    }
    std::string miss = Mismatch(*bits, sent[at], address, data, false);
    if (!miss.empty())
      Disagree(chip, what, HexWord(sent[at]) + " for address " + std::to_string(address) + " data " +
                               std::to_string(data) + " vs " + Pattern(*bits) + ": " + miss);
  }

  void CheckChip(const ChipEntry& e, const std::string& chip, const test::AvrdudePart& part) {
    const ChipModule& m = *e.module;
    SelectChip(e.id);
    auto instruction = [&](const std::string& mem, const std::string& name) -> const Bits* {
      if (mem.empty()) {
        auto it = part.values.find(name);
        if (it == part.values.end()) return nullptr;
        std::string text = it->second;
        text.erase(std::remove(text.begin(), text.end(), '"'), text.end());
        scratch_.push_back(test::SplitInstruction(text));
        return scratch_.back().empty() ? nullptr : &scratch_.back();
      }
      const test::AvrdudeMemory* memory = part.Memory(mem);
      if (!memory) return nullptr;
      auto it = memory->instructions.find(name);
      return it == memory->instructions.end() || it->second.size() != 32 ? nullptr : &it->second;
    };

    f.port.trace.clear();
    ASSERT_TRUE(m.ProgrammingEnable());
    Check(chip, part, m, "pgm_enable", instruction("", "pgm_enable"), SentInstructions(f.port), 0, 0, false);
    Check(chip, part, m, "chip_erase", instruction("", "chip_erase"), Sent(m, [&] { return m.ChipErase(); }),
          0, 0, false);

    // Flash: both ends, both sides of a page boundary, and the 64 K-word boundary.
    const uint32_t page = m.ProgramPageMode() ? m.ProgramPageBytes() : 64;
    std::set<uint32_t> flash = {0, 1, page - 1, page, page + 1, e.flashSize / 2 + 1, e.flashSize - 2,
                                e.flashSize - 1};
    if (e.flashSize > 0x20000) flash.insert({0x1FFFE, 0x1FFFF, 0x20000, 0x20001});
    for (uint32_t a : flash) {
      const std::string half = (a & 1) ? "_hi" : "_lo";
      const uint32_t word = a >> 1;
      const uint8_t data = static_cast<uint8_t>(0x35 + a * 7);
      Check(chip, part, m, "flash.read" + half, instruction("flash", "read" + half),
            Sent(m, [&] { return m.ReadProgramByte(a, false); }), word, 0, true);
      ProgramImage[a] = data;  // after the read, which stores what the chip answered
      if (m.ProgramPageMode()) {
        Check(chip, part, m, "flash.loadpage" + half, instruction("flash", "loadpage" + half),
              Sent(m, [&] { return m.LoadProgramByte(a); }), word, data, true);
        Check(chip, part, m, "flash.writepage", instruction("flash", "writepage"),
              Sent(m, [&] { return m.WriteProgramPage(a); }), word, 0, true);
      } else {
        Check(chip, part, m, "flash.write" + half, instruction("flash", "write" + half),
              Sent(m, [&] { return m.WriteProgramByte(a); }), word, data, true);
      }
    }

    // EEPROM: both ends and both sides of a page boundary.
    const uint32_t epage = m.DataPageMode() ? m.DataPageBytes() : 4;
    for (uint32_t a : std::set<uint32_t>{0, epage - 1, epage, e.eepromSize / 2 + 3, e.eepromSize - 1}) {
      const uint8_t data = static_cast<uint8_t>(0xC3 ^ a);
      Check(chip, part, m, "eeprom.read", instruction("eeprom", "read"),
            Sent(m, [&] { return m.ReadDataByte(a, false); }), a, 0, false);
      DataImage[a] = data;
      if (m.DataPageMode()) {
        Check(chip, part, m, "eeprom.loadpage_lo", instruction("eeprom", "loadpage_lo"),
              Sent(m, [&] { return m.LoadDataByte(a); }), a, data, false);
        Check(chip, part, m, "eeprom.writepage", instruction("eeprom", "writepage"),
              Sent(m, [&] { return m.WriteDataPage(a); }), a, 0, false);
      } else {
        Check(chip, part, m, "eeprom.write", instruction("eeprom", "write"),
              Sent(m, [&] { return m.WriteDataByte(a); }), a, data, false);
      }
    }

    // Fuse and lock bytes. A written byte keeps 1 in the bits avrdude does not take as data,
    // as the fuse dialog leaves them; the bits it takes are tried at 0 and at 1.
    std::set<std::string> covered;
    for (size_t i = 0; i < m.fuseCount; ++i) {
      const FuseInstruction& fi = m.fuses[i];
      for (const std::string& target : FuseTargets(fi.op)) {
        const std::string mem = target.substr(0, target.find('.'));
        const Bits* bits = instruction(mem, target.substr(target.find('.') + 1));
        covered.insert(target);
        if (fi.op < FuseOp::WriteLockBits || !bits) {
          Check(chip, part, m, target, bits, Sent(m, [&] { return m.RunFuse(fi.op); }), 0, 0, false);
          continue;
        }
        const uint8_t taken = DataMask(*bits);
        for (uint8_t pattern : {0x00, 0xFF, 0xA5, 0x5A}) {
          const uint8_t data = static_cast<uint8_t>((pattern & taken) | ~taken);
          FuseLockBytes[fi.index] = data;
          Check(chip, part, m, target, bits, Sent(m, [&] { return m.RunFuse(fi.op); }), 0, data, false);
        }
      }
    }
    for (const char* mem : {"lfuse", "hfuse", "efuse", "lock", "fuse"})
      for (const char* op : {"read", "write"}) {
        const std::string target = std::string(mem) + "." + op;
        if (instruction(mem, op) && !covered.count(target)) Disagree(chip, target, "the module has none");
      }
    SelectChip(e.id);  // the buffers as a selection leaves them
  }

  std::map<std::string, std::string> found_;  // "chip|what" -> line
  std::deque<Bits> scratch_;
};

// The decoder itself: a wrong fixed, address, extended address or data bit is found.
TEST(InstructionDecoder, FindsEachKindOfWrongBit) {
  const Bits page = test::SplitInstruction("0100.1100--aaaa.aaaa--axxx.xxxx--xxxx.xxxx");
  const Bits ext = test::SplitInstruction("0100.1101--0000.0000--0000.000a--0000.0000");
  const Bits load = test::SplitInstruction("0100.1000--xxxx.xxxx--xaaa.aaaa--iiii.iiii");
  struct Case {
    const Bits* bits;
    Word sent;
    uint32_t address;
    uint8_t data;
    bool extended, fits;
  } cases[] = {
      {&page, {0x4C, 0xFF, 0x80, 0x00}, 0x1FF80, 0, false, true},
      {&page, {0x4C, 0xFF, 0xFF, 0x12}, 0x1FF80, 0, false, true},   // x bits are free
      {&page, {0x4C, 0x7F, 0x80, 0x00}, 0x1FF80, 0, false, false},  // a page bit lost
      {&page, {0x4D, 0xFF, 0x80, 0x00}, 0x1FF80, 0, false, false},  // another instruction
      {&ext, {0x4D, 0x00, 0x01, 0x00}, 0x10000, 0, true, true},
      {&ext, {0x4D, 0x00, 0x00, 0x00}, 0x10000, 0, true, false},
      {&load, {0x48, 0x00, 0x7F, 0xA5}, 0x1FF, 0xA5, false, true},
      {&load, {0x48, 0x00, 0x7F, 0xA4}, 0x1FF, 0xA5, false, false},  // a data bit wrong
  };
  for (const Case& c : cases)
    EXPECT_EQ(Mismatch(*c.bits, c.sent, c.address, c.data, c.extended).empty(), c.fits) << HexWord(c.sent);
}

// Load Extended Address Byte before the first Flash access after Programming Enable and at each
// crossing of the 64 K-word boundary, both ways, and not otherwise.
TEST_F(Instructions, ExtendedAddressFollowsTheBoundaryCrossings) {
  enum Kind { kRead, kLoad, kPage };
  struct Step {
    Kind kind;
    uint32_t address;
    int ext;  // the extended address byte sent first; -1: none
  };
  int checked = 0;
  for (const ChipEntry& e : Catalogue()) {
    if (e.flashSize <= 0x20000) continue;
    SCOPED_TRACE(e.name);
    const ChipModule& m = *e.module;
    SelectChip(e.id);
    const Step steps[] = {{kRead, 0x00000, 0},  {kLoad, 0x1FFFE, -1}, {kLoad, 0x20000, 1},
                          {kPage, 0x20000, -1}, {kRead, 0x1FFFF, 0},  {kPage, 0x1FF00, -1},
                          {kRead, e.flashSize - 1, int((e.flashSize - 1) >> 17)}};
    ASSERT_TRUE(m.ProgrammingEnable());
    for (const Step& st : steps) {
      f.port.trace.clear();
      ASSERT_TRUE(st.kind == kRead   ? m.ReadProgramByte(st.address, false)
                  : st.kind == kLoad ? m.LoadProgramByte(st.address)
                                     : m.WriteProgramPage(st.address));
      std::vector<Word> sent = SentInstructions(f.port);
      ASSERT_EQ(sent.size(), st.ext < 0 ? 1u : 2u) << "at " << st.address;
      if (st.ext >= 0) {
        EXPECT_EQ(HexWord(sent[0]), HexWord({0x4D, 0x00, uint8_t(st.ext), 0x00}));
      }
    }
    ++checked;
  }
  EXPECT_GE(checked, 2);  // the ATmega2560 and 2561 at least
}

TEST_F(Instructions, EveryChipAgreesWithAvrdudeExceptWhereListed) {
  const std::string path = Env("QUILLET_AVRDUDE_CONF", "/etc/avrdude.conf");
  if (!std::ifstream(path)) GTEST_SKIP() << path << " absent (Debian package avrdude)";
  test::AvrdudeConf conf;
  std::string error;
  ASSERT_TRUE(conf.Load(path, &error)) << error;
  std::vector<std::string> unknown;
  for (const ChipEntry& e : Catalogue()) {
    bool known = false;
    for (const std::string& name : Names(e)) {
      const test::AvrdudePart* part = conf.FindByDesc(name);
      if (!part) continue;
      known = true;
      SCOPED_TRACE(name);
      CheckChip(e, name, *part);
    }
    if (!known) unknown.push_back(e.name);
  }
  std::string skipped;
  for (const std::string& n : unknown) skipped += " " + n;
  std::printf("%zu chips checked; not in avrdude's part file, not checked:%s\n",
              Catalogue().size() - unknown.size(), skipped.c_str());

  std::set<std::string> listed;
  for (const Exception& x : kExceptions) {
    std::istringstream chips(x.chips);
    for (std::string chip; chips >> chip;) {
      std::istringstream whats(x.whats);
      for (std::string what; whats >> what;) listed.insert(chip + "|" + what);
    }
  }
  for (const auto& [key, line] : found_) EXPECT_TRUE(listed.count(key)) << "not in kExceptions: " << line;
  for (const std::string& key : listed) EXPECT_TRUE(found_.count(key)) << "stale exception: " << key;
}

}  // namespace
}  // namespace quillet
