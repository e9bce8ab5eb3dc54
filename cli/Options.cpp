#include "cli/Options.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "cli/FuseWords.h"
#include "commands/Jobs.h"
#include "chips/ChipModule.h"
#include "chips/PartTable.h"
#include "image/Images.h"

namespace quillet::cli {
namespace {

std::string Lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

bool ParseFormat(char c, FileFormat& format) {
  switch (c) {
    case 'a': format = FileFormat::Auto; return true;
    case 'i': format = FileFormat::IntelHex; return true;
    case 's': format = FileFormat::SRecord; return true;
    case 'e': format = FileFormat::Elf; return true;
    case 'r': format = FileFormat::Raw; return true;
    case 'm': format = FileFormat::Immediate; return true;
    case 'h': format = FileFormat::HexText; return true;
    case 'd': format = FileFormat::DecText; return true;
    case 'o': format = FileFormat::OctText; return true;
    case 'b': format = FileFormat::BinText; return true;
    default: return false;
  }
}

// ---- the field's options the gateway has its own answer to ----

// -B as the field writes it: microseconds ("10", "0.5", "4us"), or a frequency ("125kHz",
// "1MHz", "8000Hz"). false when it is neither.
bool ParseBitPeriod(const std::string& text, double& us) {
  char* end = nullptr;
  const double v = std::strtod(text.c_str(), &end);
  if (end == text.c_str() || !(v > 0) || v > 1e9) return false;
  const std::string unit = Lower(end);
  if (unit.empty() || unit == "us") us = v;
  else if (unit == "hz") us = 1e6 / v;
  else if (unit == "khz") us = 1e3 / v;
  else if (unit == "mhz") us = 1 / v;
  else return false;
  return true;
}

// -c, -b, -B, -C, -x, -E, -i: false with error set for a value that is not one at all.
bool FieldOption(char c, const std::string& value, Options& o, std::string& error) {
  const std::string given = std::string("-") + c + " " + value;
  switch (c) {
    case 'c':
      if (value == "?" || value == "help") o.listProgrammers = true;
      else o.notes.push_back("note: " + given + ": the programmer is the Tessary gateway");
      return true;
    case 'i': {
      char* end = nullptr;
      const long us = std::strtol(value.c_str(), &end, 0);
      if (value.empty() || *end || us <= 0) {
        error = "bad -i \"" + value + "\": the ISP clock delay is a number of microseconds";
        return false;
      }
      o.notes.push_back("note: " + given + ": the gateway clocks SPI itself (-B slows it for a slow chip)");
      return true;
    }
    case 'b': {
      char* end = nullptr;
      const long baud = std::strtol(value.c_str(), &end, 10);
      if (value.empty() || *end || baud <= 0) {
        error = "bad -b \"" + value + "\": the baud rate is a number";
        return false;
      }
      if (baud != 115200) o.notes.push_back("note: " + given + ": the gateway runs at 115200 baud");
      return true;
    }
    case 'B':
      // Said after identification when the gateway cannot follow it.
      if (!ParseBitPeriod(value, o.bitPeriodUs)) {
        error = "bad -B \"" + value + "\": the SPI bit clock period in microseconds (10, 0.5), up to "
                "510 (about 2 kHz), or a frequency (125kHz)";
        return false;
      }
      if (o.bitPeriodUs > 510) {
        o.bitPeriodUs = 510;
        o.notes.push_back("note: " + given + ": the slowest SPI clock is 510 us a bit (about 2 kHz); "
                          "that is used");
      }
      return true;
    case 'C':
      o.notes.push_back("note: " + given + ": the chips are built in (quillet-cli --list-parts)");
      return true;
    case 'x':
      o.notes.push_back("note: " + given + ": the gateway takes no extended parameters");
      return true;
    default:  // 'E'
      o.notes.push_back("note: " + given + ": the gateway leaves the target's reset and supply as "
                        "they were");
      return true;
  }
}

// The most a memory of that kind can hold on any chip: files are checked against it before
// the chip is known, and against the chip's own size once it is.
uint32_t LargestMemory(Memory memory) {
  switch (memory) {
    case Memory::Flash: return kProgramImageSize;
    case Memory::Eeprom: return kDataImageSize;
    case Memory::Signature: return 3;
    case Memory::Calibration: return 8;
    default: return 1;
  }
}

}  // namespace

bool ParseUpdate(const std::string& text, UpdateJob& job, std::string& error) {
  job = UpdateJob{};
  job.text = text;
  const size_t c1 = text.find(':');
  // A file alone is written to Flash, its format found; a name with colons counts as one if
  // no memory leads it and the file is there.
  Memory ignored;
  const bool exists = ::access(text.c_str(), F_OK) == 0;
  if ((c1 == std::string::npos && (exists || !ParseMemory(Lower(text), ignored))) ||
      (c1 != std::string::npos && !ParseMemory(Lower(text.substr(0, c1)), ignored) && exists)) {
    if (text.empty()) {
      error = "bad -U: no file given";
      return false;
    }
    job.op = 'w';
    job.file = text;
    return true;
  }
  const size_t c2 = c1 == std::string::npos ? c1 : text.find(':', c1 + 1);
  if (c2 == std::string::npos) {
    error = "bad -U \"" + text + "\": expected MEM:OP:FILE[:FMT] or a file to write to Flash";
    return false;
  }
  const std::string mem = text.substr(0, c1), op = text.substr(c1 + 1, c2 - c1 - 1);
  std::string file = text.substr(c2 + 1);
  if (!ParseMemory(Lower(mem), job.memory)) {
    error = "bad -U \"" + text + "\": unknown memory \"" + mem +
            "\" (flash, eeprom, lfuse, hfuse, efuse, fuse, fuse0-2, lock, signature, calibration)";
    return false;
  }
  if (op.size() != 1 || std::strchr("rwv", op[0]) == nullptr) {
    error = "bad -U \"" + text + "\": unknown operation \"" + op + "\" (r, w or v)";
    return false;
  }
  job.op = op[0];
  // A trailing ":x" with a single letter is the format; the file name may hold colons.
  if (file.size() >= 2 && file[file.size() - 2] == ':') {
    if (!ParseFormat(file.back(), job.format)) {
      error = "bad -U \"" + text + "\": unknown format \"" + file.substr(file.size() - 1) +
              "\" (a, i, s, e, r, m, h, d, o or b)";
      return false;
    }
    file.resize(file.size() - 2);
  }
  if (file.empty()) {
    error = "bad -U \"" + text + "\": no file given";
    return false;
  }
  job.file = file;
  if ((job.memory == Memory::Signature || job.memory == Memory::Calibration) && job.op == 'w') {
    error = "bad -U \"" + text + "\": " + MemoryName(job.memory) + " cannot be written";
    return false;
  }
  if (job.format == FileFormat::Immediate && job.op == 'r') {
    error = "bad -U \"" + text + "\": an immediate value (:m) cannot be the target of a read";
    return false;
  }
  if (job.format == FileFormat::Elf && job.op == 'r') {
    error = "bad -U \"" + text + "\": ELF files are read, not written (:i, :s or :r)";
    return false;
  }
  return true;
}

bool ParseOptions(int argc, char** argv, Options& o, std::string& error) {
  o = Options{};
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--help") { o.help = true; continue; }
    if (a == "--version") { o.version = true; continue; }
    if (a == "--list-parts") { o.listParts = true; continue; }
    if (a == "--describe") {
      if (i + 1 >= argc) {
        error = "option --describe needs a part";
        return false;
      }
      o.describe = argv[++i];
      if (!FindPart(o.describe)) {
        error = "unknown part \"" + o.describe + "\" (quillet-cli --list-parts shows them)";
        return false;
      }
      continue;
    }
    if (a == "--force-fuses") { o.forceFuses = true; continue; }
    if (a == "--show-fuses") { o.showFuses = true; continue; }
    if (a == "--set-fuse") {
      if (i + 1 >= argc || std::strchr(argv[i + 1], '=') == nullptr) {
        error = "option --set-fuse needs FIELD=SETTING (e.g. --set-fuse BODLEVEL=2V7)";
        return false;
      }
      o.setFuses.push_back(argv[++i]);
      continue;
    }
    if (a == "--no-fast") { o.noFast = true; continue; }
    if (a == "--full") { o.full = true; continue; }
    if (a.size() > 2 && a[0] == '-' && a[1] == '-') {
      error = "unknown option " + a;
      return false;
    }
    if (a.size() < 2 || a[0] != '-') {
      // As the field does, a word that is no option is left out: the space after a broken
      // line continuation ("\ ") or a stray file name should not end the run.
      std::string shown = a.substr(0, 40);
      o.notes.push_back("note: \"" + shown + "\" is no option and was left out" +
                        (a.find_first_not_of(" \t") == std::string::npos
                             ? " (a space after a line-continuing backslash?)"
                             : " (a file is written with -U FILE)"));
      continue;
    }
    // Short options, grouped like -qq or -eV; one taking a value ends the group.
    for (size_t k = 1; k < a.size(); ++k) {
      const char c = a[k];
      if (std::strchr("PpdUlcbBCxEiT", c)) {
        std::string value;
        if (k + 1 < a.size()) {
          value = a.substr(k + 1);
        } else if (i + 1 < argc) {
          value = argv[++i];
        } else {
          error = std::string("option -") + c + " needs a value";
          return false;
        }
        if (c == 'P') {
          for (const std::string& p : o.ports)
            if (p == value) {
              error = "port " + value + " given twice";
              return false;
            }
          o.ports.push_back(value);
        } else if (c == 'p') {
          if (value == "?" || value == "help") o.listParts = true;
          else o.part = value;
        } else if (c == 'T') {
          // One terminal command, run in its turn among the -U jobs.
          UpdateJob job;
          job.text = value;
          job.op = 't';
          o.jobs.push_back(std::move(job));
        } else if (c == 'd') {
          if (value.size() != 1 || value[0] < '0' || value[0] > '5') {
            error = "bad -d \"" + value + "\": the delay value is 0 to 5";
            return false;
          }
          o.delay = value[0] - '0';
        } else if (c == 'l') {
          if (value.empty()) {
            error = "-l needs a file name";
            return false;
          }
          o.logFile = value;
        } else if (c != 'U') {
          if (!FieldOption(c, value, o, error)) return false;
        } else {
          UpdateJob job;
          if (!ParseUpdate(value, job, error)) return false;
          o.jobs.push_back(std::move(job));
        }
        break;
      }
      switch (c) {
        case 'e': o.erase = true; break;
        case 'D': o.noAutoErase = true; break;
        case 'V': o.noVerify = true; break;
        case 'n': o.dryRun = true; break;
        case 'F': o.force = true; break;
        case 'q': --o.verbosity; break;
        case 'v': ++o.verbosity; break;
        case 'h':
        case '?': o.help = true; break;
        case 't': o.terminal = true; break;
        case 'A': o.full = true; break;
        case 'u':
        case 's':
          o.notes.push_back(std::string("note: -") + c + ": no longer has an effect; fuses are checked "
                            "before they are written whatever it says");
          break;
        case 'O':
          o.notes.push_back("note: -O: the gateway cannot time the chip's RC oscillator; its factory "
                            "calibration byte reads with -U calibration:r:-:h");
          break;
        default:
          error = std::string("unknown option -") + c;
          return false;
      }
    }
  }
  if (o.help || o.version || o.listParts || o.listProgrammers || !o.describe.empty()) return true;
  if (o.part != "auto" && !FindPart(o.part)) {
    error = "unknown part \"" + o.part + "\" (quillet-cli --list-parts shows them)";
    return false;
  }
  if (o.ports.empty()) {
    error = "no port given: name the gateway's port with -P (e.g. -P /dev/ttyUSB0)";
    return false;
  }
  int stdinJobs = 0;
  for (const UpdateJob& j : o.jobs) {
    if ((j.op == 'w' || j.op == 'v') && j.file == "-" && j.format != FileFormat::Immediate) ++stdinJobs;
    if (j.op == 'r' && j.file == "-" && o.ports.size() > 1 &&
        OutputFormat(j.file, j.format, j.memory) == FileFormat::Raw) {
      error = "-U " + j.text + ": raw binary cannot go to standard output from several ports";
      return false;
    }
  }
  if (stdinJobs > 1) {
    error = "standard input (-) can be read by one -U only";
    return false;
  }
  if (o.terminal && (o.ports.size() > 1 || stdinJobs > 0)) {
    error = o.ports.size() > 1 ? "-t takes one port: the terminal talks to one chip"
                               : "-t reads its commands from standard input: no -U can read it too";
    return false;
  }
  return true;
}

bool LoadJobFiles(Options& o, std::string& error) {
  for (size_t i = 0; i < o.jobs.size(); ++i) {
    UpdateJob& j = o.jobs[i];
    if (j.op != 'w' && j.op != 'v') continue;
    for (size_t k = 0; k < i; ++k)
      if (o.jobs[k].op == 'r' && o.jobs[k].file == j.file && j.file != "-" &&
          j.format != FileFormat::Immediate)
        j.deferred = true;
    if (j.deferred) continue;
    std::string warning;
    if (!LoadFileImage(j.file, j.format, j.memory, LargestMemory(j.memory), j.image, error, &warning)) {
      error = "-U " + j.text + ": " + error;
      return false;
    }
    if (!warning.empty()) o.notes.push_back("warning: -U " + j.text + ": " + warning);
    if (!j.image.warning.empty()) o.notes.push_back("warning: -U " + j.text + ": " + j.image.warning);
    // An .eep of an end record only is what avr-objcopy makes of a program without EEPROM
    // data: the Makefile's program target goes on.
    if (j.image.End() == 0) {
      j.skipped = true;
      const std::string what = j.format == FileFormat::Immediate ? "the value list"
                               : j.file == "-"                   ? "standard input"
                                                                 : j.file;
      o.notes.push_back("note: -U " + j.text + ": " + what + " holds no data: nothing to " +
                        (j.op == 'w' ? "write" : "verify"));
    }
  }
  return true;
}

void PrintUsage(FILE* out) {
  std::fprintf(out,
      "Usage: quillet-cli -P PORT [-p PART] [options] [-U MEM:OP:FILE[:FMT]]...\n"
      "Programs AVR chips through the Tessary gateway.\n"
      "  -P PORT        the gateway's port (/dev/ttyUSB0, ttyUSB0, COM1); several -P program\n"
      "                 the same job on every port at once\n"
      "  -p PART        the chip (any case, or its part id: m328p, t85; quillet-cli\n"
      "                 --list-parts), or auto (default): found by its signature\n"
      "  -d 0..5        the delay value: milliseconds added to every wait (default 1)\n"
      "  -e             erase the chip\n"
      "  -D             no automatic erase before a Flash write (refused where the Flash is\n"
      "                 not erased)\n"
      "  -V             no automatic verify after a write\n"
      "  -n             dry run: everything but writing to the chip\n"
      "  -F             go on when the signature does not match -p\n"
      "  -B PERIOD      the SPI clock's bit period in microseconds, up to 510 (about 2 kHz),\n"
      "                 for a chip on a slow clock (Quillet's firmware only; found by itself\n"
      "                 when the signature does not read)\n"
      "  --force-fuses  write fuses that program RSTDISBL or DWEN or unprogram SPIEN\n"
      "  --show-fuses   read the fuse and lock bytes and show every field in words\n"
      "  --set-fuse FIELD=SETTING  set one field (setting name or value) and nothing else of\n"
      "                 its byte, after the -U jobs; --describe PART lists fields and settings\n"
      "  --no-fast      keep to the gateway's one-instruction exchanges even with Quillet's\n"
      "                 own firmware (no blocks, no faster line or SPI clock)\n"
      "  -q / -v        quieter (-q: no progress, -qq: errors only) / the operation log\n"
      "                 (-vv each exchange with the gateway, -vvv each byte on the line)\n"
      "  -l FILE        the log and every note and result go to FILE (plain text; RTF for a\n"
      "                 .rtf name), not to the terminal: there only errors and the last result\n"
      "  --full         a Flash read writes the whole memory (default: up to its last byte\n"
      "                 that is not 0xFF)\n"
      "  -t             the terminal after the jobs: dump (read), write, erase, sig, part,\n"
      "                 fuses, help, quit (a script on standard input works too)\n"
      "  -T CMD         one terminal command, in its turn among the -U jobs\n"
      "  -A             as --full\n"
      "  -c PROG, -b BAUD, -C FILE, -x PARAM, -E MODE, -i DELAY, -u, -s, -O\n"
      "                 accepted as the field's command lines give them, with a note where\n"
      "                 they cannot apply; -p ? lists the parts, -c ? the programmer\n"
      "  -U MEM:OP:FILE[:FMT]  in order, as often as needed (-U FILE: flash:w:FILE:a):\n"
      "      MEM  flash eeprom lfuse hfuse efuse (fuse, fuse0-2) lock signature calibration\n"
      "      OP   r read to FILE, w write from FILE, v verify against FILE; FILE - is\n"
      "           standard input/output\n"
      "      FMT  a automatic (default), i Intel HEX, s S-record, e ELF, r raw binary,\n"
      "           m immediate value (e.g. lfuse:w:0xE2:m), h hex text; reads also d\n"
      "           decimal, o octal, b binary\n"
      "  --list-parts   the chips known      --version   the version      --help   this text\n"
      "  --describe PART  the chip's row: sizes, waits, factory fuses, risky bits, pins, sources,\n"
      "                 fuse fields and their settings\n"
      "Exit status: 0 success, 1 an operation failed, 2 bad usage, 130 stopped by Ctrl-C.\n");
}

void PrintProgrammers(FILE* out) {
  std::fprintf(out,
      "Valid programmers are:\n"
      "  tessary = the Tessary gateway on a serial port (-P), with its original firmware or\n"
      "            Quillet's\n"
      "Any other -c name of the field (arduino, usbasp, avrisp, stk500v1, ...) is accepted with\n"
      "a note: the gateway stands in for it.\n");
}

void PrintParts(FILE* out) {
  std::fprintf(out, "%-14s %-18s %-10s %8s %7s  %s\n", "part", "-p also takes", "signature",
               "flash", "eeprom", "also named");
  for (const ChipEntry& e : Catalogue())
    std::fprintf(out, "%-14s %-18s %02X %02X %02X   %8u %7u  %s\n", e.name,
                 e.partIds && *e.partIds ? e.partIds : "-", e.id & 0xFF, (e.id >> 8) & 0xFF,
                 (e.id >> 16) & 0xFF, e.flashSize, e.eepromSize, OtherNames(e).c_str());
}

bool DescribePart(FILE* out, const std::string& name) {
  const ChipEntry* e = FindPart(name);
  if (!e) return false;
  const ChipId before = SelectedChip;
  SelectedChip = e->id;  // the bit names and roles are the selected chip's
  auto line = [&](const std::string& key, const std::string& value) {
    std::fprintf(out, "%s: %s\n", key.c_str(), value.c_str());
  };
  auto hex = [](unsigned v) {
    char s[8];
    std::snprintf(s, sizeof s, "0x%02X", v & 0xFF);
    return std::string(s);
  };
  line("name", e->name);
  line("aliases", OtherNames(*e).empty() ? "none" : OtherNames(*e));
  line("part ids", e->partIds && *e->partIds ? e->partIds : "none");
  line("signature", hex(e->id) + " " + hex(e->id >> 8) + " " + hex(e->id >> 16));
  line("flash bytes", std::to_string(e->flashSize));
  line("flash page bytes", std::to_string(ChipFlashPageBytes(*e)));
  line("eeprom bytes", std::to_string(e->eepromSize));
  line("eeprom page bytes", std::to_string(e->module->DataPageBytes()));
  line("calibration bytes", std::to_string(e->module->HasReadCalibration() ? e->calibrationCount : 0));
  line("wait flash us", std::to_string(e->times.flashUs));
  line("wait eeprom us", std::to_string(e->times.eepromUs));
  line("wait erase us", std::to_string(e->times.eraseUs));
  line("wait fuse us", std::to_string(e->times.fuseUs));
  // The factory values lie in FuseLockBytes in the order of the bytes the chip has.
  const std::pair<Memory, const char*> bytes[] = {{Memory::LowFuse, "lfuse"}, {Memory::HighFuse, "hfuse"},
                                                  {Memory::ExtendedFuse, "efuse"}, {Memory::Lock, "lock"}};
  std::string roles[2];
  int index = 0;
  for (const auto& [memory, key] : bytes) {
    const char* const* names = FuseBitNames(memory);
    bool any = false;
    for (int k = 0; names && k < 8; ++k) any = any || names[k];
    if (!any) continue;
    if (index < e->factoryCount) line(std::string("factory ") + key, hex(e->factory[index]));
    ++index;
    for (int k = 0; k < 8; ++k) {
      const FuseRole role = FuseBitRole(memory, k);
      const int which = role == FuseRole::ResetDisable ? 0 : role == FuseRole::DebugWire ? 1 : -1;
      if (which < 0) continue;
      roles[which] += (roles[which].empty() ? "" : ", ") + std::string(key) + " bit " + std::to_string(k) +
                      " (" + names[k] + ")";
    }
  }
  line("reset disable", roles[0].empty() ? "none" : roles[0]);
  line("debugwire", roles[1].empty() ? "none" : roles[1]);
  if (e->package) {
    const PartPackage& p = *e->package;
    auto pin = [](int n) { return n ? std::to_string(n) : std::string("not known"); };
    // Every supply pad by its name, the pins that carry it after it: the VCC side first.
    std::vector<std::pair<std::string, std::string>> pads;
    for (bool ground : {false, true})
      for (int i = 0; i < kMaxSupplyPins && p.supply[i].pin; ++i) {
        if (IsGroundPad(p.supply[i].pad) != ground) continue;
        auto it = std::find_if(pads.begin(), pads.end(), [&](const auto& pad) { return pad.first == p.supply[i].pad; });
        if (it == pads.end()) it = pads.insert(pads.end(), {p.supply[i].pad, ""});
        it->second += (it->second.empty() ? "" : " ") + std::to_string(p.supply[i].pin);
      }
    std::string supply;
    for (const auto& [pad, pins] : pads) supply += ", " + pad + " " + pins;
    if (pads.empty()) supply = ", VCC not known, GND not known";
    line(std::string("package ") + p.name, std::to_string(p.pinCount) + " pins, MOSI " + pin(p.mosi) + ", MISO " +
                                               pin(p.miso) + ", SCK " + pin(p.sck) + ", RESET " + pin(p.reset) +
                                               supply);
  }
  line("sources", e->part ? e->part->sources
                          : "the first chips' own table, from their datasheets and device files; longer waits: avrdude.conf");
  // Where the sources disagree (a datasheet's erratum or table over a device file, a header or
  // avrdude's part file), and which stands.
  if (e->part && e->part->note) line("note", e->part->note);
  if (const ChipFuseFields* fields = FuseFieldsOf(e->name); fields && fields->note) line("note", fields->note);
  DescribeFuseFields(out, *e);
  SelectedChip = before;
  return true;
}

}  // namespace quillet::cli
