// quillet-cli's fuse fields in words: --describe's list of fields and settings, --show-fuses
// and --set-fuse FIELD=SETTING, on the selected chip's device-file fields (chips/FuseFields.h).
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "chips/Catalogue.h"
#include "chips/FuseFields.h"
#include "commands/Jobs.h"

namespace quillet::cli {

// The memory of a field's byte: low, high, extended fuse or lock.
Memory FieldMemory(const ChipFuseFields& chip, const FuseField& field);
// "lfuse SUT_CKSEL (mask 0x3F): Select Clock Source" and one indented line per setting;
// a line saying so for a chip without a device file.
void DescribeFuseFields(FILE* out, const ChipEntry& chip);

// Where writing value over current moves the chip's clock to a source outside it, the line
// that names it: "the chip now runs from an external crystal 8-16 MHz on XTAL1/XTAL2; without
// one it will not answer"; "" for no change of source or a move to an internal oscillator.
std::string ClockLine(Memory memory, uint8_t current, uint8_t value);

// One byte's planned change: every --set-fuse on that byte applied to its current value.
struct FusePlan {
  Memory memory = Memory::LowFuse;
  uint8_t current = 0xFF, value = 0xFF;
  std::vector<const FuseField*> fields;
  std::string hazard;  // why no ISP programmer could undo it, "" when one can
  std::string clock;   // the clock it moves to, where that is outside the chip (ClockLine)
};
// Reads the bytes the changes ("SUT_CKSEL=INTRCOSC_8MHZ_6CK_14CK_65MS", "BODLEVEL=0x05") touch
// from the selected chip and applies them. false with error set for a field or setting the
// chip does not have, or a byte that cannot be read or written.
bool PlanFuseChanges(const std::vector<std::string>& changes, std::vector<FusePlan>& plans,
                     std::string& error);
// The fields of a plan in words after the change: "SUT_CKSEL: Ext. Crystal Osc. ...".
std::string PlanWords(const FusePlan& plan);

// --show-fuses: reads every fuse and lock byte of the selected chip; lines "lfuse: 0x62" and
// one line per field. false with error set when a read fails.
bool ShowFuseLines(std::vector<std::string>& lines, std::string& error);

}  // namespace quillet::cli
