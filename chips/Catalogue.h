// The chip catalogue and the selection state.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace quillet {

// A chip's three signature bytes: first | second << 8 | third << 16. 0 means no chip.
using ChipId = int32_t;

struct ChipModule;
struct PartRow;
struct PartPackage;

// A chip's self-timed write durations in microseconds: each the longest that its datasheet (the
// serial programming chapter's minimum wait delays, 5 V figures) or avrdude's part file gives.
// The program never waits less after an erase, a write or a page commit; the simulated chips
// stay busy exactly this long.
struct WriteTimes {
  uint32_t flashUs;   // tWD_FLASH: a Flash byte or page
  uint32_t eepromUs;  // tWD_EEPROM: an EEPROM byte or page
  uint32_t eraseUs;   // tWD_ERASE: Chip Erase
  uint32_t fuseUs;    // tWD_FUSE: a fuse or lock byte
};

struct ChipEntry {
  ChipId id;
  const char* name;
  const char* submenu;  // "AT90...", "AVR tiny", or a family submenu of the newer chips
  uint32_t flashSize;
  uint32_t eepromSize;
  uint8_t calibrationCount;
  const ChipModule* module;
  uint8_t factory[4];  // leading bytes of FuseLockBytes at selection
  uint8_t factoryCount;
  WriteTimes times;
  // The newer chips: their row of data (fuse and lock bit names, package, other names);
  // nullptr for the first 25, whose modules and dialog layouts carry it.
  const PartRow* part;
  // The field's short part ids ("m328p", "t85, t85a"): what -p takes in Makefiles and IDE recipes.
  const char* partIds;
  // Its package: the pins of the serial signals and every supply pin (the wiring picture,
  // --describe). The newer chips' is their row's.
  const PartPackage* package;
  // The chip's own Flash page where it is larger than its module's (0: the module's). Both
  // ways of writing commit it once: the module's loads carry the full word address.
  uint16_t flashPageBytes = 0;
};

// The first chips, in the order of their two menus; the newer chips follow them.
constexpr size_t kChipCount = 25;
// Every row in the order of the chip menus.
const std::vector<ChipEntry>& Catalogue();
const ChipEntry* FindChip(ChipId id);  // nullptr for 0 and for ids not in the catalogue
const ChipEntry* FindChipByName(const std::string& name);
// The catalogue row a user means (case-insensitive): its name, another name of it
// ("ATtiny13A", "ATmega165PA") or a part id of the field's command lines ("m328p", "t85");
// nullptr if none. The command line and the simulators take the same names.
const ChipEntry* FindPart(const std::string& name);
// The other names of a row, "ATmega165P, ATmega165PA", or "".
std::string OtherNames(const ChipEntry& entry);
// The chip's own Flash page in bytes (0: written byte by byte).
uint32_t ChipFlashPageBytes(const ChipEntry& chip);
inline ChipId MakeChipId(uint8_t b0, uint8_t b1, uint8_t b2) { return b0 | b1 << 8 | b2 << 16; }

// Selection state, written only by SelectChip (FuseLockBytes and CalibrationBytes also by
// the fuse, dialog and calibration operations).
extern ChipId SelectedChip;
extern std::string ChipName;
extern std::string PictureFile;
extern uint32_t FlashSize;
extern uint32_t EepromSize;
extern uint8_t CalibrationCount;
extern std::array<uint8_t, 8> FuseLockBytes;
extern std::array<uint8_t, 8> CalibrationBytes;

// The "Delays value:" track bar, 0 to 5: milliseconds added to the waits between gateway steps.
extern int DelayValue;

// The window's side of a selection: views sized and blanked, picture, name and ID fields.
class ChipDisplay {
 public:
  virtual ~ChipDisplay() = default;
  virtual void RefreshChipDisplay(ChipId id) = 0;
};
void SetChipDisplay(ChipDisplay* display);  // nullptr: nothing to refresh
ChipDisplay* GetChipDisplay();

void SelectChip(ChipId id);
// 1 ProgramImage to 0xFF, 2 DataImage to 0xFF, 3 FuseLockBytes to factory values,
// 4 CalibrationBytes to 0xFF; anything else does nothing.
void ResetChipBuffer(int which);
// Back to the state at program start (tests).
void ResetSelectionState();

}  // namespace quillet
