#include "cli/FuseWords.h"

#include <cstdio>

namespace quillet::cli {
namespace {

const ChipFuseFields* SelectedFields() {
  const ChipEntry* e = FindChip(SelectedChip);
  return e ? FuseFieldsOf(e->name) : nullptr;
}

// Where a new clock setting needs a part outside the chip, the words that say so.
std::string ExternalClockWords(const FuseField& field, uint8_t current, uint8_t value) {
  const FuseSetting* next = NewExternalClock(field, current, value);
  if (!next) return "";
  return std::string(field.name) + " becomes \"" + next->caption +
         "\": the chip will then answer the programmer only with that crystal or clock fitted "
         "and running";
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
    for (const FuseField* f : p.fields) {
      const std::string words = ExternalClockWords(*f, p.current, p.value);
      if (!words.empty()) p.hazard += (p.hazard.empty() ? "" : "; ") + words;
    }
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

}  // namespace quillet::cli
