#include "chips/Catalogue.h"

#include <cctype>
#include <cstring>

#include "chips/ChipModule.h"
#include "chips/NewerChips.h"
#include "chips/PartTable.h"
#include "image/Images.h"
#include "log/Log.h"

namespace quillet {

ChipId SelectedChip = 0;
std::string ChipName;
std::string PictureFile;
uint32_t FlashSize = 0;
uint32_t EepromSize = 0;
uint8_t CalibrationCount = 0;
std::array<uint8_t, 8> FuseLockBytes{};
std::array<uint8_t, 8> CalibrationBytes{};
int DelayValue = 1;

namespace {

constexpr const char* kAt90 = "AT90...";
constexpr const char* kTiny = "AVR tiny";

// Write times (tWD_FLASH, tWD_EEPROM, tWD_ERASE, tWD_FUSE) in microseconds: each the longest
// that the chip's datasheet (5 V figures of the serial programming chapter's minimum wait
// delays) or avrdude's part file (/etc/avrdude.conf: the longer of min_ and max_write_delay of
// flash, eeprom, the fuse and the lock memories, and chip_erase_delay) gives. A write inside the
// chip's busy time is lost, so the longer figure stands; the modules' own waits, where longer
// still, stay (see WaitMs in ChipEngine.cpp).
// AT90S parts (datasheet 0839 and its siblings) give tWD_PROG and tWD_ERASE by supply voltage
// only; avrdude's parts stand for them:
// AT90S1200: avrdude 9, 9, 20 ms, lock 20 ms.
constexpr WriteTimes kAt90s1200Times{9000, 9000, 20000, 20000};
// AT90S2313, AT90S8515: avrdude 9, 9, 20 ms, lock 9 ms.
constexpr WriteTimes kAt90s2313Times{9000, 9000, 20000, 9000};
// AT90S2333, AT90S4433, AT90S4434: avrdude 20 ms for every write, fuse and lock included.
constexpr WriteTimes kAt90s2333Times{20000, 20000, 20000, 20000};
// AT90S2343: avrdude 20, 20, 18 ms, fuse and lock 20 ms. AT90S2323 (same datasheet 1004) and
// ATtiny22 (its RC-oscillator sibling, datasheet 1273) have no part of their own in avrdude's
// file: the AT90S2343's waits stand for them.
constexpr WriteTimes kAt90s2343Times{20000, 20000, 18000, 20000};
// AT90S4414: avrdude 20, 20, 20 ms, lock 9 ms.
constexpr WriteTimes kAt90s4414Times{20000, 20000, 20000, 9000};
// AT90S8535: avrdude 20, 20, 20 ms, fuse and lock 9 ms.
constexpr WriteTimes kAt90s8535Times{20000, 20000, 20000, 9000};
// AT90CAN32/64/128 datasheet 7679: 4.5 ms Flash page, 9 ms EEPROM and erase; fuse and lock
// 9 ms from avrdude (the datasheet's 4.5 ms).
constexpr WriteTimes kCanTimes{4500, 9000, 9000, 9000};
// ATtiny11/12 datasheet 1006D, Table 28: 4.5 ms Flash, 9 ms EEPROM; avrdude gives 20 ms for
// Flash, EEPROM and erase and 9 ms for fuse and lock.
constexpr WriteTimes kTiny12Times{20000, 20000, 20000, 9000};
// ATtiny13 datasheet 2535, ATtiny13A datasheet 8126F: 4.5, 4.0, 9.0, 4.5 ms (avrdude: the
// same, erase 4 ms).
constexpr WriteTimes kTiny13Times{4500, 4000, 9000, 4500};
// ATtiny15L datasheet 1187: the writes run off the 1.6 MHz oscillator: 4.1 ms Flash,
// 8.2 ms EEPROM and erase; fuse and lock 9 ms from avrdude.
constexpr WriteTimes kTiny15Times{4100, 8200, 8200, 9000};
// ATtiny2313 datasheet 2543H, Table 77: 4.5 ms Flash, 9 ms erase (the later parts'); EEPROM
// 4.5 ms and fuse and lock 9 ms from avrdude.
constexpr WriteTimes kTiny2313Times{4500, 4500, 9000, 9000};
// ATtiny25/45/85 datasheet 2586: 4.5 ms Flash, 9.0 ms erase; EEPROM 4.5 ms and fuse and lock
// 9 ms from avrdude.
constexpr WriteTimes kTinyX5Times{4500, 4500, 9000, 9000};
// ATtiny26 datasheet 1477: 4.5 ms Flash, 9 ms EEPROM and erase; fuse and lock 9 ms from
// avrdude.
constexpr WriteTimes kTiny26Times{4500, 9000, 9000, 9000};
// ATtiny261/461/861 datasheet 2588: 4.5, 4.0, 9.0, 4.5 ms (avrdude: the same, erase 4 ms).
constexpr WriteTimes kTinyX61Times{4500, 4000, 9000, 4500};

// Packages: the DIP (the TQFP64 of the AT90CAN), the pins of the serial programming signals
// and every supply pin. From the device file's pinout where it has one (the unit test
// chips_parttable checks them against it), else from the datasheet named.
// AT90S2323/2343 datasheet 1004, ATtiny12 datasheet 1006, ATtiny15L datasheet 1187, ATtiny22
// datasheet 1273; the PDIP8/SOIC8 pinouts of ATtiny13.atdf and ATtiny25/45/85.atdf.
constexpr PartPackage kPdip8{"PDIP8", 8, 5, 6, 7, 1, {{4, "GND"}, {8, "VCC"}}};
// AT90S1200 datasheet 0838, AT90S2313 datasheet 0839, ATtiny2313 datasheet 2543 (its device
// file has no pinout).
constexpr PartPackage kPdip20{"PDIP20", 20, 17, 18, 19, 1, {{10, "GND"}, {20, "VCC"}}};
// The SOIC_20 pinout of ATtiny261/461/861.atdf, which their PDIP20 shares; the ATtiny26
// (datasheet 1477, its device file has no pinout) has the same pins.
constexpr PartPackage kPdip20Tiny26{"PDIP20", 20, 1, 2, 3, 10, {{5, "VCC"}, {6, "GND"}, {15, "AVCC"}, {16, "AGND"}}};
// AT90S2333/4433 datasheet 1042: AVCC 20, AREF 21, AGND 22.
constexpr PartPackage kPdip28{"PDIP28", 28, 17, 18, 19, 1, {{7, "VCC"}, {8, "GND"}, {20, "AVCC"}, {22, "AGND"}}};
// AT90S4414/8515 datasheet 0841 (no ADC).
constexpr PartPackage kPdip40{"PDIP40", 40, 6, 7, 8, 9, {{20, "GND"}, {40, "VCC"}}};
// AT90S4434/8535 datasheet 1041: AVCC 30, AGND 31, AREF 32.
constexpr PartPackage kPdip40Adc{"PDIP40", 40, 6, 7, 8, 9, {{10, "VCC"}, {11, "GND"}, {30, "AVCC"}, {31, "AGND"}}};
// The TQFP64 pinout of AT90CAN32/64/128.atdf; datasheet 7679: programmed through PDI (PE0) and
// PDO (PE1), which the device file does not name.
constexpr PartPackage kTqfp64Can{
    "TQFP64", 64, 2, 3, 11, 20, {{21, "VCC"}, {22, "GND"}, {52, "VCC"}, {53, "GND"}, {63, "GND"}, {64, "AVCC"}}};

// The part ids of the field follow each row (AT90S2323 and ATtiny22 have none of their own),
// then its package.
// Calibration bytes: the ATtiny13/13A have two (the 9.6 and 4.8 MHz oscillator values; both
// device files and avrdude's part file), the ATtiny25/45/85 two (their device files' osccal
// space, where avrdude reads one).
// The 64-byte Flash pages (32 words) of the ATtiny45/85 (datasheet 2586, "No. of Words in a
// Page" of the serial programming chapter) and ATtiny461/861 (datasheet 2588) are in the last
// column: their modules load with the full word address, so one commit writes the whole page
// (ChipFlashPageBytes).
// clang-format off
const std::array<ChipEntry, kChipCount> kFirstChips = {{
  {102430,  "AT90S1200",  kAt90, 1024,   64,   0, &At90s1200,  {0xDF, 0xFF},             2, kAt90s1200Times, nullptr, "1200", &kPdip20},
  {102686,  "AT90S2313",  kAt90, 2048,   128,  0, &At90s2313,  {0xDF, 0xFF},             2, kAt90s2313Times, nullptr, "2313", &kPdip20},
  {168222,  "AT90S2323",  kAt90, 2048,   128,  0, &At90s2323,  {0xDE, 0xFF},             2, kAt90s2343Times, nullptr, "", &kPdip8},
  {364830,  "AT90S2333",  kAt90, 2048,   128,  0, &At90s2333,  {0xDA, 0xFF},             2, kAt90s2333Times, nullptr, "2333", &kPdip28},
  {233758,  "AT90S2343",  kAt90, 2048,   128,  0, &At90s2343,  {0xDE, 0xFF},             2, kAt90s2343Times, nullptr, "2343", &kPdip8},
  {102942,  "AT90S4414",  kAt90, 4096,   256,  0, &At90s4414,  {0xDF, 0xFF},             2, kAt90s4414Times, nullptr, "4414", &kPdip40},
  {234014,  "AT90S4433",  kAt90, 4096,   256,  0, &At90s2333,  {0xDA, 0xFF},             2, kAt90s2333Times, nullptr, "4433", &kPdip28},
  {168478,  "AT90S4434",  kAt90, 4096,   256,  0, &At90s4434,  {0xDF, 0xFF},             2, kAt90s2333Times, nullptr, "4434", &kPdip40Adc},
  {103198,  "AT90S8515",  kAt90, 8192,   512,  0, &At90s4414,  {0xDF, 0xFF},             2, kAt90s2313Times, nullptr, "8515", &kPdip40},
  {234270,  "AT90S8535",  kAt90, 8192,   512,  0, &At90s4434,  {0xDF, 0xFF},             2, kAt90s8535Times, nullptr, "8535", &kPdip40Adc},
  {8492318, "AT90CAN32",  kAt90, 32768,  1024, 1, &At90can32,  {0x62, 0x99, 0xFF, 0xFF}, 4, kCanTimes, nullptr, "c32", &kTqfp64Can},
  {8492574, "AT90CAN64",  kAt90, 65536,  2048, 1, &At90can32,  {0x62, 0x99, 0xFF, 0xFF}, 4, kCanTimes, nullptr, "c64", &kTqfp64Can},
  {8492830, "AT90CAN128", kAt90, 131072, 4096, 1, &At90can32,  {0x62, 0x99, 0xFF, 0xFF}, 4, kCanTimes, nullptr, "c128", &kTqfp64Can},
  {364574,  "ATtiny12",   kTiny, 1024,   64,   1, &Attiny12,   {0x52, 0xFF},             2, kTiny12Times, nullptr, "t12", &kPdip8},
  {495646,  "ATtiny13",   kTiny, 1024,   64,   2, &Attiny13,   {0x6A, 0xFF, 0xFF},       3, kTiny13Times, nullptr, "t13, t13a", &kPdip8},
  {430110,  "ATtiny15",   kTiny, 1024,   64,   1, &Attiny15,   {0x5C, 0xFF},             2, kTiny15Times, nullptr, "t15", &kPdip8},
  {430366,  "ATtiny22",   kTiny, 2048,   128,  1, &Attiny22,   {0xDE, 0xFF},             2, kAt90s2343Times, nullptr, "", &kPdip8},
  {692510,  "ATtiny2313", kTiny, 2048,   128,  2, &Attiny2313, {0x64, 0xDF, 0xFF, 0xFF}, 4, kTiny2313Times, nullptr, "t2313, t2313a", &kPdip20},
  {561438,  "ATtiny25",   kTiny, 2048,   128,  2, &Attiny25,   {0x62, 0xDF, 0xFF, 0xFF}, 4, kTinyX5Times, nullptr, "t25", &kPdip8},
  {626974,  "ATtiny26",   kTiny, 2048,   128,  4, &Attiny26,   {0xE1, 0xF7, 0xFF},       3, kTiny26Times, nullptr, "t26", &kPdip20Tiny26},
  {823582,  "ATtiny261",  kTiny, 2048,   128,  1, &Attiny261,  {0x62, 0xDF, 0xFF, 0xFF}, 4, kTinyX61Times, nullptr, "t261, t261a", &kPdip20Tiny26},
  {430622,  "ATtiny45",   kTiny, 4096,   256,  2, &Attiny25,   {0x62, 0xDF, 0xFF, 0xFF}, 4, kTinyX5Times, nullptr, "t45", &kPdip8, 64},
  {561694,  "ATtiny461",  kTiny, 4096,   256,  1, &Attiny261,  {0x62, 0xDF, 0xFF, 0xFF}, 4, kTinyX61Times, nullptr, "t461, t461a", &kPdip20Tiny26, 64},
  {758558,  "ATtiny85",   kTiny, 8192,   512,  2, &Attiny25,   {0x62, 0xDF, 0xFF, 0xFF}, 4, kTinyX5Times, nullptr, "t85", &kPdip8, 64},
  {889630,  "ATtiny861",  kTiny, 8192,   512,  1, &Attiny261,  {0x62, 0xDF, 0xFF, 0xFF}, 4, kTinyX61Times, nullptr, "t861, t861a", &kPdip20Tiny26, 64},
}};
// clang-format on

ChipDisplay* g_display = nullptr;

}  // namespace

const std::vector<ChipEntry>& Catalogue() {
  static const std::vector<ChipEntry> catalogue = [] {
    std::vector<ChipEntry> all(kFirstChips.begin(), kFirstChips.end());
    AppendNewerChips(all);
    return all;
  }();
  return catalogue;
}

const ChipEntry* FindChip(ChipId id) {
  if (id == 0) return nullptr;
  for (const ChipEntry& e : Catalogue())
    if (e.id == id) return &e;
  return nullptr;
}

uint32_t ChipFlashPageBytes(const ChipEntry& chip) {
  if (chip.flashPageBytes) return chip.flashPageBytes;
  return chip.module ? chip.module->ProgramPageBytes() : 0;
}

const ChipEntry* FindChipByName(const std::string& name) {
  for (const ChipEntry& e : Catalogue())
    if (name == e.name) return &e;
  return nullptr;
}

namespace {

std::string Lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

// Whether a list "a, b, c" holds want (lower case), any case.
bool InList(const std::string& list, const std::string& want) {
  const std::string items = Lower(list) + ",";
  for (size_t at = 0, comma; (comma = items.find(',', at)) != std::string::npos; at = comma + 1) {
    std::string item = items.substr(at, comma - at);
    while (!item.empty() && item.front() == ' ') item.erase(0, 1);
    if (!item.empty() && item == want) return true;
  }
  return false;
}

}  // namespace

const ChipEntry* FindPart(const std::string& name) {
  if (const ChipEntry* e = FindChipByName(name)) return e;
  const std::string want = Lower(name);
  for (const ChipEntry& e : Catalogue())
    if (Lower(e.name) == want) return &e;
  // Other names of a row: those of its part ("ATmega165P, ATmega165PA") and those of the
  // first chips ("ATtiny13A"); and the field's part ids ("m328p", "t85").
  for (const ChipEntry& e : Catalogue())
    if (InList(OtherNames(e), want) || InList(e.partIds ? e.partIds : "", want)) return &e;
  return nullptr;
}

std::string OtherNames(const ChipEntry& e) {
  if (e.part) return e.part->aliases;
  std::string names;
  for (size_t i = 0; i < kExistingAliasCount; ++i)
    if (std::strcmp(kExistingAliases[i][0], e.name) == 0)
      names += (names.empty() ? "" : ", ") + std::string(kExistingAliases[i][1]);
  return names;
}

void SetChipDisplay(ChipDisplay* display) { g_display = display; }
ChipDisplay* GetChipDisplay() { return g_display; }

void SelectChip(ChipId id) {
  if (id == 0) {
    AddLog(LogKind::NoChipSelected, "");
    return;
  }
  const ChipEntry* e = FindChip(id);
  if (!e) {
    AddLog(LogKind::SelectedChip, " unknown");
    return;
  }
  ChipName = e->name;
  PictureFile = ChipName + ".jpg";
  SelectedChip = e->id;
  FlashSize = e->flashSize;
  EepromSize = e->eepromSize;
  CalibrationCount = e->calibrationCount;
  if (g_display) g_display->RefreshChipDisplay(SelectedChip);
  AddLog(LogKind::SelectedChip, " " + ChipName);
  for (int i = 1; i <= 4; ++i) ResetChipBuffer(i);
}

void ResetChipBuffer(int which) {
  switch (which) {
    case 1:
      ProgramImage.fill(0xFF);
      break;
    case 2:
      DataImage.fill(0xFF);
      break;
    case 3: {
      FuseLockBytes.fill(0xFF);
      if (const ChipEntry* e = FindChip(SelectedChip))
        for (int i = 0; i < e->factoryCount; ++i) FuseLockBytes[i] = e->factory[i];
      break;
    }
    case 4:
      CalibrationBytes.fill(0xFF);
      break;
    default:
      break;
  }
}

void ResetSelectionState() {
  SelectedChip = 0;
  ChipName.clear();
  PictureFile.clear();
  FlashSize = EepromSize = 0;
  CalibrationCount = 0;
  FuseLockBytes.fill(0);
  CalibrationBytes.fill(0);
  ProgramImage.fill(0);
  DataImage.fill(0);
}

}  // namespace quillet
