#include "chips/NewerChips.h"

#include <cstring>
#include <deque>
#include <string>

#include "chips/ChipModule.h"

namespace quillet {
namespace {

constexpr size_t kMaxSubmenu = 30;  // items, so a submenu fits on a screen
constexpr uint32_t kWordsBelowExtended = 0x10000;

const char* const* BitNames(const PartRow& part, int i) {
  return i < 0 ? part.lockBits : part.fuses[i].bits;
}

// Owners of what the catalogue rows point at; filled once, never moved.
std::deque<ChipModule> g_modules;
std::deque<std::vector<FuseInstruction>> g_fuses;
std::deque<std::string> g_submenus;

}  // namespace

uint8_t ExistingBits(const PartRow& part, int i) {
  uint8_t bits = 0;
  const char* const* names = BitNames(part, i);
  for (int k = 0; k < 8; ++k)
    if (names[k]) bits = static_cast<uint8_t>(bits | 1u << k);
  return bits;
}

uint8_t NamedBit(const PartRow& part, int i, const char* name) {
  const char* const* names = BitNames(part, i);
  for (int k = 0; k < 8; ++k)
    if (names[k] && std::strcmp(names[k], name) == 0) return static_cast<uint8_t>(1u << k);
  return 0;
}

uint8_t RoleBits(const PartRow& part, int i, FuseRole role) {
  uint8_t bits = 0;
  if (i < 0 || i >= part.fuseCount) return 0;
  for (int k = 0; k < 8; ++k)
    if (part.fuses[i].bits[k] && part.fuses[i].roles[k] == role) bits = static_cast<uint8_t>(bits | 1u << k);
  return bits;
}

bool IsGroundPad(const char* pad) {
  return pad && (std::strstr(pad, "GND") || std::strstr(pad, "VSS"));
}

FuseRole RoleOfName(const char* name) {
  if (!name) return FuseRole::None;
  const std::string n = name;
  if (n == "RSTDISBL") return FuseRole::ResetDisable;
  if (n == "DWEN") return FuseRole::DebugWire;
  if (n == "SPIEN") return FuseRole::SpiEnable;
  if (n.rfind("CKSEL", 0) == 0) return FuseRole::ClockSelect;
  if (n == "CKDIV8") return FuseRole::ClockDivide;
  if (n == "WDTON") return FuseRole::WatchdogOn;
  if (n == "BOOTRST") return FuseRole::BootReset;
  if (n == "EESAVE") return FuseRole::EepromSave;
  if (n.rfind("BODLEVEL", 0) == 0) return FuseRole::BrownOutLevel;
  return FuseRole::None;
}

void AppendNewerChips(std::vector<ChipEntry>& catalogue) {
  const PartRow* parts = NewParts();
  const size_t count = NewPartCount();
  for (size_t first = 0; first < count;) {
    // A family's rows, in submenus of at most kMaxSubmenu, named by their first and last
    // chip when the family needs more than one.
    size_t end = first;
    while (end < count && std::strcmp(parts[end].family, parts[first].family) == 0) ++end;
    const size_t chunks = (end - first + kMaxSubmenu - 1) / kMaxSubmenu;
    const size_t per = (end - first + chunks - 1) / chunks;
    for (size_t c = first; c < end; c += per) {
      const size_t last = std::min(end, c + per) - 1;
      g_submenus.push_back(chunks == 1 ? std::string(parts[c].family)
                                       : std::string(parts[c].name) + " ... " + parts[last].name);
      for (size_t i = c; i <= last; ++i) {
        const PartRow& p = parts[i];
        uint8_t fuseBits[3];
        for (int f = 0; f < 3; ++f) fuseBits[f] = f < p.fuseCount ? ExistingBits(p, f) : 0;
        g_fuses.push_back(CurrentFuseInstructions(p.fuseCount, fuseBits, ExistingBits(p, -1)));
        g_modules.push_back(ChipModule{
            .name = p.name,
            .enableText = " execute the sinchronization with chip",
            .enableEcho = true,
            .eraseWaitMs = 0,  // the chip's own erase time
            .calibration = p.calibrationCount > 0,
            .blankByteZero = false,
            .flashHighMask = 0xFF,
            .flashPageBytes = p.flashPageBytes,
            .flashFullAddressLoad = false,
            .flashWriteWaitMs = 0,
            .eepromLowMask = 0xFF,
            .eepromHighMask = 0xFF,
            .eepromPageBytes = p.eepromPageBytes,
            .eepromWriteWaitMs = 0,
            .family = FuseFamily::Current,
            .fuses = g_fuses.back().data(),
            .fuseCount = g_fuses.back().size(),
            .extendedAddress = p.flashBytes / 2 > kWordsBelowExtended,
            .noReadyPoll = !p.readyPoll,
        });
        ChipEntry e{};
        e.id = MakeChipId(p.signature[0], p.signature[1], p.signature[2]);
        e.name = p.name;
        e.submenu = g_submenus.back().c_str();
        e.flashSize = p.flashBytes;
        e.eepromSize = p.eepromBytes;
        e.calibrationCount = p.calibrationCount;
        e.module = &g_modules.back();
        for (int f = 0; f < p.fuseCount; ++f) e.factory[f] = p.fuses[f].factory;
        e.factory[p.fuseCount] = p.lockFactory;
        e.factoryCount = static_cast<uint8_t>(p.fuseCount + 1);
        e.times = {p.times.flashUs, p.times.eepromUs, p.times.eraseUs, p.times.fuseUs};
        e.part = &p;
        e.partIds = p.partIds;
        e.package = &p.package;
        catalogue.push_back(e);
      }
    }
    first = end;
  }
}

}  // namespace quillet
