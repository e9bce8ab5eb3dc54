#include "cli/FuseWords.h"

#include <cctype>
#include <cstdio>
#include <cstring>

namespace quillet::cli {
namespace {

const ChipFuseFields* SelectedFields() {
  const ChipEntry* e = FindChip(SelectedChip);
  return e ? FuseFieldsOf(e->name) : nullptr;
}

// "Ext. Crystal Osc. 3.0-8.0 MHz; Start-up time ..." -> "3-8 MHz": the range of a caption's
// source, an open top read as the 16 MHz the boards fit; "" when it names none.
std::string Range(const std::string& source) {
  const size_t mhz = source.rfind(" MHz");
  const size_t from = source.find_first_of("0123456789");
  if (mhz == std::string::npos || from == std::string::npos || from > mhz) return "";
  const bool upTo = from >= 2 && source.compare(from - 2, 2, "- ") == 0;
  std::string r = source.substr(from, mhz - from);
  auto replace = [&](const char* what, const char* with) {
    for (size_t at; (at = r.find(what)) != std::string::npos;) r.replace(at, std::strlen(what), with);
  };
  replace(" MHz", "");
  replace(" - ", "-");
  replace(".0", "");
  if (!r.empty() && r.back() == '-') r += "16";
  return std::string(" ") + (upTo ? "up to " : "") + r + " MHz";
}

// The source outside the chip a setting's caption names, in words, with the pins it takes.
std::string SourceWords(const char* caption) {
  const std::string c = caption, source = c.substr(0, c.find(';'));
  auto has = [&](const char* s) { return source.find(s) != std::string::npos; };
  if (has("Low-Freq") || has("Low-Frequency")) return "an external 32.768 kHz crystal on XTAL1/XTAL2";
  if (has("Full-swing") || has("Full Swing")) return "an external full-swing crystal oscillator" + Range(source) + " on XTAL1/XTAL2";
  if (has("Crystal/Resonator") || has("Crystal / Ceramic"))
    return "an external crystal or ceramic resonator on XTAL1/XTAL2";
  if (has("Crystal")) return "an external crystal" + Range(source) + " on XTAL1/XTAL2";
  if (has("Ceramic")) return "an external ceramic resonator" + Range(source) + " on XTAL1/XTAL2";
  if (has("RC Osc") || has("RC Ocs")) return "an external RC network" + Range(source) + " on XTAL1";
  if (has("Clock")) return "an external clock signal on XTAL1 (CLKI)";
  return "\"" + source + "\"";
}

}  // namespace

Memory FieldMemory(const ChipFuseFields& chip, const FuseField& field) {
  if (field.byte >= chip.fuseBytes) return Memory::Lock;
  static const Memory kFuses[] = {Memory::LowFuse, Memory::HighFuse, Memory::ExtendedFuse};
  return kFuses[field.byte < 3 ? field.byte : 0];
}

void DescribeFuseFields(FILE* out, const ChipEntry& chip) {
  const ChipFuseFields* c = FuseFieldsOf(chip.name);
  if (!c) {
    std::fprintf(out, "fuse fields: none in words (no device file for %s)\n", chip.name);
    return;
  }
  std::fprintf(out, "fuse fields: from %s\n", c->source);
  for (const FuseField* f = c->fields; f < c->fields + c->count; ++f) {
    std::fprintf(out, "%s %s (mask %s): %s\n", MemoryName(FieldMemory(*c, *f)), f->name,
                 Hex2(f->mask).c_str(), f->caption);
    for (const FuseSetting& s : FieldSettings(*f))
      std::fprintf(out, "  %s %s: %s%s\n", Hex2(s.value).c_str(), s.name, s.caption,
                   s.external ? " [external]" : "");
  }
}

bool PlanFuseChanges(const std::vector<std::string>& changes, std::vector<FusePlan>& plans,
                     std::string& error) {
  plans.clear();
  const ChipFuseFields* chip = SelectedFields();
  if (!chip && !changes.empty()) {
    error = "--set-fuse: " + ChipName +
            " has no fuse fields in words (no device file); write the byte with -U instead";
    return false;
  }
  for (const std::string& change : changes) {
    const size_t eq = change.find('=');
    const FuseField* field = eq == std::string::npos ? nullptr : FindFuseField(*chip, change.substr(0, eq));
    if (!field) {
      error = "--set-fuse " + change + ": " +
              (eq == std::string::npos ? std::string("expected FIELD=SETTING")
                                       : ChipName + " has no field " + change.substr(0, eq)) +
              " (quillet-cli --describe " + ChipName + " lists them)";
      return false;
    }
    uint8_t value = 0;
    std::string why;
    if (!ParseFuseSetting(*field, change.substr(eq + 1), value, why)) {
      error = "--set-fuse " + change + ": " + why + " (quillet-cli --describe " + ChipName +
              " lists the settings)";
      return false;
    }
    const Memory memory = FieldMemory(*chip, *field);
    FusePlan* plan = nullptr;
    for (FusePlan& p : plans)
      if (p.memory == memory) plan = &p;
    if (!plan) {
      if (!CanRead(memory) || !CanWrite(memory)) {
        error = "--set-fuse " + change + ": " + ChipName + " cannot read and write its " +
                MemoryName(memory) + " over the serial interface";
        return false;
      }
      FusePlan p;
      p.memory = memory;
      if (!ReadFuseJob(memory, p.current)) {
        error = "--set-fuse " + change + ": reading " + MemoryName(memory) + " failed";
        return false;
      }
      p.value = p.current;
      plans.push_back(p);
      plan = &plans.back();
    }
    plan->value = WithFieldValue(*field, plan->value, value);
    plan->fields.push_back(field);
  }
  for (FusePlan& p : plans) {
    p.hazard = FuseHazard(p.memory, p.current, p.value);
    p.clock = ClockLine(p.memory, p.current, p.value);
  }
  return true;
}

std::string PlanWords(const FusePlan& plan) {
  std::string out;
  for (const FuseField* f : plan.fields) out += (out.empty() ? "" : "; ") + FieldLine(*f, plan.value);
  return out;
}

bool ShowFuseLines(std::vector<std::string>& lines, std::string& error) {
  lines.clear();
  const ChipFuseFields* chip = SelectedFields();
  for (Memory m : {Memory::LowFuse, Memory::HighFuse, Memory::ExtendedFuse, Memory::Lock}) {
    if (MemorySize(m) == 0 || !CanRead(m)) continue;
    uint8_t v = 0xFF;
    if (!ReadFuseJob(m, v)) {
      error = std::string(MemoryName(m)) + " read failed";
      return false;
    }
    lines.push_back(std::string(MemoryName(m)) + ": " + Hex2(v));
    for (const FuseField* f = chip ? chip->fields : nullptr; chip && f < chip->fields + chip->count; ++f)
      if (FieldMemory(*chip, *f) == m) lines.push_back(FieldLine(*f, v));
  }
  if (!chip) lines.push_back("(no fuse fields in words for " + ChipName + ": no device file)");
  return true;
}

std::string ClockLine(Memory memory, uint8_t current, uint8_t value) {
  const ChipFuseFields* chip = SelectedFields();
  if (chip) {
    for (const FuseField* f = chip->fields; f < chip->fields + chip->count; ++f) {
      if (FieldMemory(*chip, *f) != memory) continue;
      if (const FuseSetting* next = NewExternalClock(*f, current, value)) {
        const std::string words = SourceWords(next->caption);
        const bool signal = words.find("clock signal") != std::string::npos ||
                            words.find("RC network") != std::string::npos;
        return "the chip now runs from " + words + (signal ? "; without it" : "; without one") +
               " it will not answer";
      }
    }
    return "";
  }
  // No device file: the clock-select bits by their role alone.
  uint8_t changed = 0;
  for (int k = 0; k < 8; ++k)
    if (((current ^ value) >> k & 1) && FuseBitRole(memory, k) == FuseRole::ClockSelect)
      changed |= static_cast<uint8_t>(1u << k);
  if (!changed) return "";
  const std::string bits = ProgrammedBits(memory, static_cast<uint8_t>(~changed));
  return "the clock-select bits change (" + bits + "): where the new setting is a source outside the "
         "chip, it answers only with that fitted and running";
}

}  // namespace quillet::cli
