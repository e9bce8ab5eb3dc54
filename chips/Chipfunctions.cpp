#include "chips/Chipfunctions.h"

#include "chips/ChipModule.h"
#include "image/Images.h"
#include "log/Logfunctions.h"

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

// clang-format off
const std::array<ChipEntry, kChipCount> kCatalogue = {{
  {102430,  "AT90S1200",  kAt90, 1024,   64,   0, &At90s1200,  {0xDF, 0xFF},             2},
  {102686,  "AT90S2313",  kAt90, 2048,   128,  0, &At90s2313,  {0xDF, 0xFF},             2},
  {168222,  "AT90S2323",  kAt90, 2048,   128,  0, &At90s2323,  {0xDE, 0xFF},             2},
  {364830,  "AT90S2333",  kAt90, 2048,   128,  0, &At90s2333,  {0xDA, 0xFF},             2},
  {233758,  "AT90S2343",  kAt90, 2048,   128,  0, &At90s2343,  {0xDE, 0xFF},             2},
  {102942,  "AT90S4414",  kAt90, 4096,   256,  0, &At90s4414,  {0xDF, 0xFF},             2},
  {234014,  "AT90S4433",  kAt90, 4096,   256,  0, &At90s2333,  {0xDA, 0xFF},             2},
  {168478,  "AT90S4434",  kAt90, 4096,   256,  0, &At90s4434,  {0xDF, 0xFF},             2},
  {103198,  "AT90S8515",  kAt90, 8192,   512,  0, &At90s4414,  {0xDF, 0xFF},             2},
  {234270,  "AT90S8535",  kAt90, 8192,   512,  0, &At90s4434,  {0xDF, 0xFF},             2},
  {8492318, "AT90CAN32",  kAt90, 32768,  1024, 1, &At90can32,  {0x62, 0x99, 0xFF, 0xFF}, 4},
  {8492574, "AT90CAN64",  kAt90, 65536,  2048, 1, &At90can32,  {0x62, 0x99, 0xFF, 0xFF}, 4},
  {8492830, "AT90CAN128", kAt90, 131072, 4096, 1, &At90can32,  {0x62, 0x99, 0xFF, 0xFF}, 4},
  {364574,  "ATtiny12",   kTiny, 1024,   64,   1, &Attiny12,   {0x52, 0xFF},             2},
  {495646,  "ATtiny13",   kTiny, 1024,   64,   1, &Attiny13,   {0x6A, 0xFF, 0xFF},       3},
  {430110,  "ATtiny15",   kTiny, 1024,   64,   1, &Attiny15,   {0x5C, 0xFF},             2},
  {430366,  "ATtiny22",   kTiny, 2048,   128,  1, &Attiny22,   {0xDE, 0xFF},             2},
  {692510,  "ATtiny2313", kTiny, 2048,   128,  2, &Attiny2313, {0x64, 0xDF, 0xFF, 0xFF}, 4},
  {561438,  "ATtiny25",   kTiny, 2048,   128,  2, &Attiny25,   {0x62, 0xDF, 0xFF, 0xFF}, 4},
  {626974,  "ATtiny26",   kTiny, 2048,   128,  4, &Attiny26,   {0xE1, 0xF7, 0xFF},       3},
  {823582,  "ATtiny261",  kTiny, 2048,   128,  1, &Attiny261,  {0x62, 0xDF, 0xFF, 0xFF}, 4},
  {430622,  "ATtiny45",   kTiny, 4096,   256,  2, &Attiny25,   {0x62, 0xDF, 0xFF, 0xFF}, 4},
  {561694,  "ATtiny461",  kTiny, 4096,   256,  1, &Attiny261,  {0x62, 0xDF, 0xFF, 0xFF}, 4},
  {758558,  "ATtiny85",   kTiny, 8192,   512,  2, &Attiny25,   {0x62, 0xDF, 0xFF, 0xFF}, 4},
  {889630,  "ATtiny861",  kTiny, 8192,   512,  1, &Attiny261,  {0x62, 0xDF, 0xFF, 0xFF}, 4},
}};
// clang-format on

ChipDisplay* g_display = nullptr;

}  // namespace

const std::array<ChipEntry, kChipCount>& Catalogue() { return kCatalogue; }

const ChipEntry* FindChip(ChipId id) {
  if (id == 0) return nullptr;
  for (const ChipEntry& e : kCatalogue)
    if (e.id == id) return &e;
  return nullptr;
}

const ChipEntry* FindChipByName(const std::string& name) {
  for (const ChipEntry& e : kCatalogue)
    if (name == e.name) return &e;
  return nullptr;
}

void SetChipDisplay(ChipDisplay* display) { g_display = display; }

void SelectChip(ChipId id) {
  if (id == 0) {
    AddLog(14, "");
    return;
  }
  const ChipEntry* e = FindChip(id);
  if (!e) {
    AddLog(15, " unknown");
    return;
  }
  ChipName = e->name;
  PictureFile = ChipName + ".jpg";
  SelectedChip = e->id;
  FlashSize = e->flashSize;
  EepromSize = e->eepromSize;
  CalibrationCount = e->calibrationCount;
  if (g_display) g_display->RefreshChipDisplay(SelectedChip);
  AddLog(15, " " + ChipName);
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
