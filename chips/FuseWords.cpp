#include <cctype>
#include <cstdio>
#include <cstdlib>

#include "chips/FuseFields.h"

namespace quillet {

const char* const kNotListed = "(not a listed setting)";

namespace {

// A fuse bit is programmed at 0.
constexpr FuseSetting kOneBit[] = {{0, false, "PROGRAMMED", "yes (programmed)"},
                                   {1, false, "UNPROGRAMMED", "no (unprogrammed)"}};

int Shift(uint8_t mask) {
  int s = 0;
  while (s < 8 && !(mask >> s & 1)) ++s;
  return s;
}

bool SameText(const std::string& a, const char* b) {
  size_t i = 0;
  for (; i < a.size() && b[i]; ++i)
    if (std::toupper(static_cast<unsigned char>(a[i])) != std::toupper(static_cast<unsigned char>(b[i])))
      return false;
  return i == a.size() && !b[i];
}

bool IsOneBit(const FuseField& f) { return f.mask && !(f.mask & (f.mask - 1)); }

std::string Hex(unsigned v) {
  char buf[8];
  std::snprintf(buf, sizeof buf, "0x%02X", v & 0xFF);
  return buf;
}

// "0x1F", "31", "0b11111", "017"; false for anything else or above 255.
bool ParseNumber(const std::string& text, unsigned& value) {
  if (text.empty() || !std::isdigit(static_cast<unsigned char>(text[0]))) return false;
  const bool binary = text.size() > 2 && text[0] == '0' && (text[1] == 'b' || text[1] == 'B');
  const char* start = text.c_str() + (binary ? 2 : 0);
  char* end = nullptr;
  const unsigned long v = std::strtoul(start, &end, binary ? 2 : 0);
  if (*end || end == start || v > 0xFF) return false;
  value = static_cast<unsigned>(v);
  return true;
}

}  // namespace

const ChipFuseFields* FuseFieldsOf(const std::string& chip) {
  for (size_t i = 0; i < ChipFuseFieldCount(); ++i)
    if (chip == ChipFuseFieldTable()[i].chip) return &ChipFuseFieldTable()[i];
  return nullptr;
}

const FuseField* FindFuseField(const ChipFuseFields& chip, const std::string& name) {
  for (const FuseField* f = chip.fields; f < chip.fields + chip.count; ++f)
    if (SameText(name, f->name)) return f;
  return nullptr;
}

std::vector<FuseSetting> FieldSettings(const FuseField& field) {
  if (field.settings) return {field.settings, field.settings + field.settingCount};
  if (IsOneBit(field)) return {std::begin(kOneBit), std::end(kOneBit)};
  return {};
}

uint8_t FieldValue(const FuseField& field, uint8_t byte) {
  return static_cast<uint8_t>((byte & field.mask) >> Shift(field.mask));
}

uint8_t WithFieldValue(const FuseField& field, uint8_t byte, uint8_t value) {
  const uint8_t bits = static_cast<uint8_t>((value << Shift(field.mask)) & field.mask);
  return static_cast<uint8_t>((byte & ~field.mask) | bits);
}

const FuseSetting* SettingOf(const FuseField& field, uint8_t byte) {
  const uint8_t value = FieldValue(field, byte);
  if (!field.settings) return IsOneBit(field) ? &kOneBit[value] : nullptr;
  for (const FuseSetting* s = field.settings; s < field.settings + field.settingCount; ++s)
    if (s->value == value) return s;
  return nullptr;
}

std::string SettingWords(const FuseField& field, uint8_t byte) {
  const FuseSetting* s = SettingOf(field, byte);
  return s ? s->caption : kNotListed;
}

std::string FieldLine(const FuseField& field, uint8_t byte) {
  std::string line = std::string(field.name) + ": ";
  if (!field.settings && IsOneBit(field)) return line + field.caption + ": " + SettingWords(field, byte);
  if (!SettingOf(field, byte)) return line + kNotListed + " " + Hex(FieldValue(field, byte));
  return line + SettingWords(field, byte);
}

const FuseSetting* NewExternalClock(const FuseField& field, uint8_t before, uint8_t after) {
  const FuseSetting* next = SettingOf(field, after);
  if (!next || !next->external) return nullptr;
  const FuseSetting* now = SettingOf(field, before);
  // The source is the caption's part before the start-up time: "Ext. Crystal Osc. 8.0- MHz".
  auto source = [](const FuseSetting* s) { return std::string(s->caption).substr(0, std::string(s->caption).find(';')); };
  return now && now->external && source(now) == source(next) ? nullptr : next;
}

bool ParseFuseSetting(const FuseField& field, const std::string& text, uint8_t& value,
                      std::string& error) {
  const std::vector<FuseSetting> settings = FieldSettings(field);
  unsigned number = 0;
  if (ParseNumber(text, number)) {
    for (const FuseSetting& s : settings)
      if (s.value == number) {
        value = s.value;
        return true;
      }
    error = text + " is not a listed setting of " + field.name;
    return false;
  }
  std::string found;
  int matches = 0;
  for (const FuseSetting& s : settings)
    if (SameText(text, s.name)) {
      found += (matches++ ? ", " : "") + Hex(s.value);
      value = s.value;
    }
  if (matches == 1) return true;
  error = matches ? field.name + std::string(" has several settings named ") + text +
                        " (values " + found + "): give the value"
                  : field.name + std::string(" has no setting ") + text;
  return false;
}

}  // namespace quillet
