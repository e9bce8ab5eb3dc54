#include "commands/Jobs.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <functional>

#include "chips/ChipModule.h"
#include "chips/Identify.h"
#include "chips/NewerChips.h"
#include "chips/PartTable.h"
#include "commands/Plan.h"
#include "commands/Steps.h"
#include "image/FileReader.h"
#include "image/HexFiles.h"
#include "image/Images.h"
#include "image/SafeFile.h"
#include "link/Port.h"
#include "log/HostInterfaces.h"
#include "log/Log.h"

namespace quillet {
namespace {


// ---- fuse and lock bit names of the catalogue's chips (datasheet names, bit 0 first) ----

struct BitNames {
  const char* bits[8];
};
struct FuseNamesRow {
  const char* chips[7];
  BitNames low, high, extended, lock;  // an all-null byte: the chip does not have it
};

constexpr BitNames kNone{};
constexpr BitNames kLowCkdiv8{{"CKSEL0", "CKSEL1", "CKSEL2", "CKSEL3", "SUT0", "SUT1", "CKOUT", "CKDIV8"}};
constexpr BitNames kLock01{{"LB1", "LB2"}};
constexpr BitNames kLock12{{nullptr, "LB1", "LB2"}};

// clang-format off
const FuseNamesRow kFuseNames[] = {
  {{"ATtiny2313"}, kLowCkdiv8,
   {{"RSTDISBL", "BODLEVEL0", "BODLEVEL1", "BODLEVEL2", "WDTON", "SPIEN", "EESAVE", "DWEN"}},
   {{"SELFPRGEN"}}, kLock01},
  {{"ATtiny25", "ATtiny45", "ATtiny85", "ATtiny261", "ATtiny461", "ATtiny861"}, kLowCkdiv8,
   {{"BODLEVEL0", "BODLEVEL1", "BODLEVEL2", "EESAVE", "WDTON", "SPIEN", "DWEN", "RSTDISBL"}},
   {{"SELFPRGEN"}}, kLock01},
  {{"AT90CAN32", "AT90CAN64", "AT90CAN128"}, kLowCkdiv8,
   {{"BOOTRST", "BOOTSZ0", "BOOTSZ1", "EESAVE", "WDTON", "SPIEN", "JTAGEN", "OCDEN"}},
   {{"TA0SEL", "BODLEVEL0", "BODLEVEL1", "BODLEVEL2"}},
   {{"LB1", "LB2", "BLB01", "BLB02", "BLB11", "BLB12"}}},
  {{"ATtiny13"}, {{"CKSEL0", "CKSEL1", "SUT0", "SUT1", "CKDIV8", "WDTON", "EESAVE", "SPIEN"}},
   {{"RSTDISBL", "BODLEVEL0", "BODLEVEL1", "DWEN", "SELFPRGEN"}}, kNone, kLock01},
  {{"ATtiny26"}, {{"CKSEL0", "CKSEL1", "CKSEL2", "CKSEL3", "SUT0", "SUT1", "CKOPT", "PLLCK"}},
   {{"BODEN", "BODLEVEL", "EESAVE", "SPIEN", "RSTDISBL"}}, kNone, kLock01},
  {{"ATtiny12"}, {{"CKSEL0", "CKSEL1", "CKSEL2", "CKSEL3", "RSTDISBL", "SPIEN", "BODEN", "BODLEVEL"}},
   kNone, kNone, kLock12},
  {{"ATtiny15"}, {{"CKSEL0", "CKSEL1", nullptr, nullptr, "RSTDISBL", "SPIEN", "BODEN", "BODLEVEL"}},
   kNone, kNone, kLock12},
  {{"AT90S2333", "AT90S4433"}, {{"CKSEL0", "CKSEL1", "CKSEL2", "BODEN", "BODLEVEL", "SPIEN"}},
   kNone, kNone, kLock12},
  {{"AT90S2343", "ATtiny22", "AT90S1200"}, {{"RCEN", nullptr, nullptr, nullptr, nullptr, "SPIEN"}},
   kNone, kNone, kLock12},
  {{"AT90S2323", "AT90S4434", "AT90S8535", "AT90S2313", "AT90S4414", "AT90S8515"},
   {{"FSTRT", nullptr, nullptr, nullptr, nullptr, "SPIEN"}}, kNone, kNone, kLock12},
};
// clang-format on

const FuseNamesRow* FuseNamesOf(ChipId id) {
  const ChipEntry* e = FindChip(id);
  if (!e) return nullptr;
  for (const FuseNamesRow& row : kFuseNames)
    for (const char* const* c = row.chips; c < std::end(row.chips) && *c; ++c)
      if (std::strcmp(*c, e->name) == 0) return &row;
  return nullptr;
}

// ---- fuse and lock instructions of a memory ----

const FuseInstruction* FindOp(const ChipModule& m, FuseOp op) {
  for (size_t i = 0; i < m.fuseCount; ++i)
    if (m.fuses[i].op == op) return &m.fuses[i];
  return nullptr;
}

struct FuseAccess {
  const FuseInstruction* read = nullptr;
  const FuseInstruction* write = nullptr;
  bool combinedLock = false;  // the lock bits come out of the read of lock and fuse bits
};

FuseAccess AccessOf(const ChipModule& m, Memory memory) {
  FuseAccess a;
  auto first = [&](std::initializer_list<FuseOp> ops) -> const FuseInstruction* {
    for (FuseOp op : ops)
      if (const FuseInstruction* f = FindOp(m, op)) return f;
    return nullptr;
  };
  switch (memory) {
    case Memory::LowFuse:
      a.read = first({FuseOp::ReadLowFuse, FuseOp::ReadFuseBits, FuseOp::ReadLockAndFuseBits});
      a.write = first({FuseOp::WriteLowFuse, FuseOp::WriteFuseBits});
      break;
    case Memory::HighFuse:
      a.read = FindOp(m, FuseOp::ReadHighFuse);
      a.write = FindOp(m, FuseOp::WriteHighFuse);
      break;
    case Memory::ExtendedFuse:
      a.read = FindOp(m, FuseOp::ReadExtendedFuse);
      a.write = FindOp(m, FuseOp::WriteExtendedFuse);
      break;
    case Memory::Lock:
      a.read = FindOp(m, FuseOp::ReadLockBits);
      if (!a.read) {
        a.read = FindOp(m, FuseOp::ReadLockAndFuseBits);
        a.combinedLock = a.read != nullptr;
      }
      a.write = FindOp(m, FuseOp::WriteLockBits);
      break;
    default:
      break;
  }
  return a;
}


// Bits of a fuse or lock byte that a write sets and a read shows.
uint8_t ComparedBits(Memory memory, const FuseAccess& a) {
  uint8_t mask = static_cast<uint8_t>(a.write->andMask & ~a.write->orMask);
  if (a.read) mask &= static_cast<uint8_t>(a.combinedLock ? 0x06 : ~a.read->orMask);
  if (const char* const* names = FuseBitNames(memory)) {
    uint8_t named = 0;
    for (int k = 0; k < 8; ++k)
      if (names[k]) named |= static_cast<uint8_t>(1u << k);
    mask &= named;
  }
  return mask;
}

std::string BitList(Memory memory, uint8_t mask) {
  std::string out;
  const char* const* names = FuseBitNames(memory);
  for (int k = 0; k < 8; ++k) {
    if (!(mask & (1u << k))) continue;
    if (!out.empty()) out += ' ';
    out += names && names[k] ? names[k] : "bit " + std::to_string(k);
  }
  return out;
}

// ---- files ----

std::string Shown(const std::string& path) { return path == "-" ? "standard input" : path; }

std::string HexAddress(uint64_t address) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "0x%llX", static_cast<unsigned long long>(address));
  return buf;
}

std::string Bytes(uint64_t n) { return std::to_string(n) + (n == 1 ? " byte" : " bytes"); }

std::string BeyondText(uint64_t address, uint32_t limit, const std::string& path) {
  return Shown(path) + " holds data at " + HexAddress(address) + ", beyond the " + Bytes(limit) +
         " this memory can have";
}

std::string LargerText(uint32_t limit, const std::string& path) {
  return Shown(path) + " is larger than the " + Bytes(limit) + " this memory can have";
}

// Values separated by blanks, commas or line breaks, each as the field writes it: 0x12 hex,
// 0b1010 binary, 017 octal (a leading zero), 15 decimal.
bool ParseValues(const std::string& text, const std::string& path, uint32_t limit,
                 FileImage& image, std::string& error) {
  uint32_t address = 0;
  size_t i = 0;
  while (i < text.size()) {
    const char c = text[i];
    if (c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == ',') {
      ++i;
      continue;
    }
    size_t end = text.find_first_of(" \t\r\n,", i);
    if (end == std::string::npos) end = text.size();
    const std::string token = text.substr(i, end - i);
    i = end;
    int base = 10;
    size_t start = 0;
    if (token.size() > 2 && token[0] == '0' && (token[1] == 'x' || token[1] == 'X')) base = 16, start = 2;
    else if (token.size() > 2 && token[0] == '0' && (token[1] == 'b' || token[1] == 'B')) base = 2, start = 2;
    else if (token.size() > 1 && token[0] == '0') base = 8, start = 1;
    unsigned long v = 0;
    bool ok = start < token.size() && token.size() - start <= 8;
    for (size_t k = start; ok && k < token.size(); ++k) {
      int d = HexDigit(token[k]);
      ok = d >= 0 && d < base;
      v = v * static_cast<unsigned>(base) + static_cast<unsigned>(d);
    }
    if (!ok || v > 0xFF) {
      error = Shown(path) + ": \"" + token.substr(0, 20) + "\" is not a byte value (0x00 to 0xFF)";
      return false;
    }
    if (address >= limit) {
      error = BeyondText(address, limit, path);
      return false;
    }
    image.Put(address++, static_cast<uint8_t>(v));
  }
  return true;
}

// Hex text ("0xE2", "0x1e,0x93,0x0b"): a memory of a few bytes, so read whole.
bool ReadValues(FileSource& source, const std::string& path, uint32_t limit, FileImage& image,
                std::string& error) {
  // At most 5 characters a byte, blanks aside; more is not one of these memories.
  const size_t most = static_cast<size_t>(limit) * 8 + 64;
  std::string text;
  const uint8_t* data = nullptr;
  ssize_t n;
  while ((n = source.Next(data)) > 0) {
    if (text.size() + static_cast<size_t>(n) > most) {
      error = LargerText(limit, path);
      return false;
    }
    text.append(reinterpret_cast<const char*>(data), static_cast<size_t>(n));
  }
  if (n < 0) {
    error = "cannot read " + Shown(path) + ": " + std::strerror(source.Error());
    return false;
  }
  return ParseValues(text, path, limit, image, error);
}

class FileImageSink : public ImageSink {
 public:
  explicit FileImageSink(FileImage& image) : image_(image) {}
  void Put(uint32_t address, const uint8_t* data, size_t count) override {
    const size_t end = address + count;
    if (end > image_.bytes.size()) {
      image_.bytes.resize(end, 0xFF);
      image_.held.resize(end, false);
    }
    std::copy(data, data + count, image_.bytes.begin() + address);
    std::fill(image_.held.begin() + address, image_.held.begin() + static_cast<ptrdiff_t>(end), true);
  }

 private:
  FileImage& image_;
};

// Where avr-gcc puts a memory in an ELF file (calibration: nowhere).
ReadTarget ElfPlace(Memory memory, uint32_t limit) {
  switch (memory) {
    case Memory::Flash: return {limit, false, 0, 0x800000};
    case Memory::Eeprom: return {limit, false, kElfEeprom, kElfAreaSpan};
    case Memory::LowFuse: return {limit, false, kElfFuse, 1};
    case Memory::HighFuse: return {limit, false, kElfFuse + 1, 1};
    case Memory::ExtendedFuse: return {limit, false, kElfFuse + 2, 1};
    case Memory::Lock: return {limit, false, kElfLock, 1};
    case Memory::Signature: return {limit, false, kElfSignature, 3};
    default: return {limit, false, 0, 0};
  }
}

// The message of a read that stopped early, or "" when it did not.
std::string ReadError(const ReadResult& r, ImageFormat format, const std::string& path,
                      uint32_t limit) {
  const bool hex = format == ImageFormat::IntelHex;
  const std::string at = Shown(path) + " line " + std::to_string(r.line) + ": ";
  switch (r.fault) {
    case ReadFault::None: break;
    case ReadFault::NotARecord: return at + (hex ? "not an Intel HEX record" : "not an S-record");
    case ReadFault::CountMismatch: return at + "record length does not match its byte count";
    case ReadFault::Checksum: return at + "checksum error" + (r.detail.empty() ? "" : " (" + r.detail + ")");
    case ReadFault::BadAddressRecord: return at + "bad " + r.detail + " record";
    case ReadFault::UnknownType: return at + "unknown record type";
    case ReadFault::RecordCount: return at + "the record count differs from the data records before it (records lost?)";
    case ReadFault::TooLong:
      return Shown(path) + ": a line is longer than any " + (hex ? "Intel HEX record" : "S-record");
    case ReadFault::Beyond:
      return format == ImageFormat::Raw ? LargerText(limit, path) : BeyondText(r.address, limit, path);
    case ReadFault::ReadError: return "cannot read " + Shown(path) + ": " + std::strerror(r.error);
    case ReadFault::BadElf: return Shown(path) + ": " + r.detail;
  }
  if (r.ended) return "";
  return hex ? Shown(path) + " has no end record (a truncated Intel HEX file?)"
             : Shown(path) + " ends without a termination record (S7, S8, S9) or a record "
                             "count (S5, S6) after its data (a truncated S-record file?)";
}

// The format of a file read with the automatic format, or false with error set. Flash and
// EEPROM: ELF, Intel HEX, S-record, raw binary when not text; text of no format is refused.
// The one-byte memories also take the hex text they are saved as ("0xE2"), and a file no
// longer than the memory is its raw backup (a fuse of 0x32 is the text "2").
bool ChooseFormat(FileSource& source, Memory memory, uint32_t limit, const std::string& path,
                  FileFormat& format, std::string& error) {
  const bool bulk = memory == Memory::Flash || memory == Memory::Eeprom;
  switch (DetectFormat(source)) {
    case Detected::Elf: format = FileFormat::Elf; return true;
    case Detected::IntelHex: format = FileFormat::IntelHex; return true;
    case Detected::SRecord: format = FileFormat::SRecord; return true;
    case Detected::Raw:
    case Detected::Empty: format = FileFormat::Raw; return true;
    case Detected::ReadError:
      error = "cannot read " + Shown(path) + ": " + std::strerror(source.Error());
      return false;
    case Detected::Text: break;
  }
  size_t n = 0;
  const uint8_t* p = source.Peek(n);
  size_t i = 0;
  while (i < n && std::isspace(p[i])) ++i;
  // A damaged first record still says which format it meant: its reader names the fault.
  if (i < n && p[i] == ':') {
    format = FileFormat::IntelHex;
    return true;
  }
  if (i + 1 < n && p[i] == 'S' && std::isdigit(p[i + 1])) {
    format = FileFormat::SRecord;
    return true;
  }
  if (!bulk) {
    const bool hexText = i + 1 < n && p[i] == '0' && (p[i + 1] == 'x' || p[i + 1] == 'X');
    if (!hexText && source.Size() >= 0 && static_cast<uint64_t>(source.Size()) <= limit) {
      format = FileFormat::Raw;
      return true;
    }
    if (hexText || (i < n && std::isdigit(p[i]))) {
      format = FileFormat::HexText;
      return true;
    }
  }
  error = Shown(path) + " is text in none of the file formats (Intel HEX, S-record, ELF" +
          (bulk ? "" : ", hex text") + "); give :r to write its bytes as raw binary";
  return false;
}

}  // namespace

// ---- memories ----

std::string Hex2(unsigned v) {
  char buf[8];
  std::snprintf(buf, sizeof buf, "0x%02X", v & 0xFF);
  return buf;
}

bool ParseMemory(const std::string& name, Memory& memory) {
  static const struct {
    const char* name;
    Memory memory;
  } kNames[] = {{"flash", Memory::Flash},         {"eeprom", Memory::Eeprom},
                {"lfuse", Memory::LowFuse},       {"fuse", Memory::LowFuse},
                {"fuse0", Memory::LowFuse},       {"fuse1", Memory::HighFuse},
                {"fuse2", Memory::ExtendedFuse},
                {"hfuse", Memory::HighFuse},      {"efuse", Memory::ExtendedFuse},
                {"lock", Memory::Lock},           {"signature", Memory::Signature},
                {"calibration", Memory::Calibration}};
  for (const auto& n : kNames)
    if (name == n.name) {
      memory = n.memory;
      return true;
    }
  return false;
}

const char* MemoryName(Memory memory) {
  static const char* const kNames[] = {"flash", "eeprom",    "lfuse",      "hfuse",
                                       "efuse", "lock",      "signature",  "calibration"};
  return kNames[static_cast<int>(memory)];
}

bool IsFuseOrLock(Memory memory) {
  return memory == Memory::LowFuse || memory == Memory::HighFuse ||
         memory == Memory::ExtendedFuse || memory == Memory::Lock;
}

uint32_t MemorySize(Memory memory) {
  const ChipModule* m = SelectedModule();
  if (!m) return 0;
  switch (memory) {
    case Memory::Flash: return FlashSize;
    case Memory::Eeprom: return EepromSize;
    case Memory::Signature: return 3;
    case Memory::Calibration: return m->HasReadCalibration() ? CalibrationCount : 0;
    default: {
      FuseAccess a = AccessOf(*m, memory);
      return a.read || a.write ? 1 : 0;
    }
  }
}

bool CanRead(Memory memory) {
  const ChipModule* m = SelectedModule();
  if (!m || MemorySize(memory) == 0) return false;
  return !IsFuseOrLock(memory) || AccessOf(*m, memory).read != nullptr;
}

bool CanWrite(Memory memory) {
  const ChipModule* m = SelectedModule();
  if (!m || MemorySize(memory) == 0) return false;
  if (memory == Memory::Flash || memory == Memory::Eeprom) return true;
  return IsFuseOrLock(memory) && AccessOf(*m, memory).write != nullptr;
}

void FileImage::Put(uint32_t address, uint8_t value) {
  if (address >= bytes.size()) {
    bytes.resize(address + 1, 0xFF);
    held.resize(address + 1, false);
  }
  bytes[address] = value;
  held[address] = true;
}

uint32_t FileImage::End() const {
  for (size_t a = held.size(); a > 0; --a)
    if (held[a - 1]) return static_cast<uint32_t>(a);
  return 0;
}

uint32_t FileImage::HeldCount() const {
  return static_cast<uint32_t>(std::count(held.begin(), held.end(), true));
}

bool LoadFileImage(const std::string& path, FileFormat format, Memory memory, uint32_t limit,
                   FileImage& image, std::string& error, std::string* warning) {
  image = FileImage{};
  if (warning) warning->clear();
  if (format == FileFormat::Immediate) {
    if (!ParseValues(path, "immediate value", limit, image, error)) return false;
  } else {
    FileSource source;
    if (!source.Open(path, false, true)) {
      error = "cannot open " + path + ": " + std::strerror(source.Error());
      return false;
    }
    if (format == FileFormat::Auto && !ChooseFormat(source, memory, limit, path, format, error))
      return false;
    if (format == FileFormat::HexText || format == FileFormat::DecText ||
        format == FileFormat::OctText || format == FileFormat::BinText) {
      if (!ReadValues(source, path, limit, image, error)) return false;
    } else {
      const ImageFormat as = format == FileFormat::IntelHex ? ImageFormat::IntelHex
                             : format == FileFormat::SRecord ? ImageFormat::SRecord
                             : format == FileFormat::Elf     ? ImageFormat::Elf
                                                             : ImageFormat::Raw;
      FileImageSink sink(image);
      const ReadTarget target =
          as == ImageFormat::Elf ? ElfPlace(memory, limit) : ReadTarget{limit, false};
      const ReadResult r = ReadImageFile(source, as, target, sink);
      error = ReadError(r, as, path, limit);
      // As the field does, an Intel HEX file whose records all read but that has no end
      // record is loaded with a warning: many tools leave the end record out.
      if (!error.empty() && as == ImageFormat::IntelHex && r.fault == ReadFault::None && warning) {
        *warning = error + "; its records are taken as they are";
        error.clear();
      }
      if (!error.empty()) return false;
      if (r.crossLine)
        image.warning = Shown(path) + " line " + std::to_string(r.crossLine) + ": " + kCrossText;
    }
  }
  return true;
}

FileFormat OutputFormat(const std::string& path, FileFormat format, Memory memory) {
  if (format != FileFormat::Auto) return format;
  const bool bulk = memory == Memory::Flash || memory == Memory::Eeprom;
  if (path == "-") return bulk ? FileFormat::IntelHex : FileFormat::HexText;
  std::string lower = path;
  for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  auto endsWith = [&](const char* ext) {
    const size_t n = std::strlen(ext);
    return lower.size() > n && lower.compare(lower.size() - n, n, ext) == 0;
  };
  for (const char* ext : {".hex", ".eep", ".ihx", ".ihex"})
    if (endsWith(ext)) return FileFormat::IntelHex;
  for (const char* ext : {".srec", ".s19", ".s28", ".mot"})
    if (endsWith(ext)) return FileFormat::SRecord;
  return FileFormat::Raw;
}

std::string FileText(const uint8_t* bytes, uint32_t length, FileFormat format) {
  if (format == FileFormat::IntelHex) return HexFileText(bytes, length, length > 65536) + "\r\n";
  if (format == FileFormat::SRecord) return SRecordText(bytes, length);
  if (format == FileFormat::HexText || format == FileFormat::DecText ||
      format == FileFormat::OctText || format == FileFormat::BinText) {
    std::string out;
    for (uint32_t i = 0; i < length; ++i) {
      char buf[16];
      const unsigned v = bytes[i];
      if (format == FileFormat::BinText) {
        std::string bits = "0b";
        for (int k = 7; k >= 0; --k) bits += (v >> k & 1) ? '1' : '0';
        std::snprintf(buf, sizeof buf, "%s", bits.c_str());
      } else {
        // Octal as the field writes it: a leading zero, and 0 itself as "0".
        std::snprintf(buf, sizeof buf, format == FileFormat::HexText ? "0x%02x"
                                       : format == FileFormat::DecText ? "%u"
                                       : v ? "0%o" : "%o", v);
      }
      out += buf;
      if (i + 1 < length) out += (i % 16 == 15) ? ",\n" : ",";
    }
    return out + "\n";
  }
  return std::string(reinterpret_cast<const char*>(bytes), length);
}

bool SaveText(const std::string& path, const std::string& text, std::string& error,
              std::string* note) {
  if (path == "-") {
    if (std::fwrite(text.data(), 1, text.size(), stdout) != text.size() || std::fflush(stdout)) {
      error = std::string("cannot write to standard output: ") + std::strerror(errno);
      return false;
    }
    return true;
  }
  SafeFile file;
  if (!file.Create(path)) {
    error = "cannot create " + path + ": " + file.Why();
    return false;
  }
  if (!file.Write(text.data(), text.size()) || !file.Commit()) {
    error = "cannot write " + path + ": " + file.Why();
    return false;
  }
  if (note) *note = file.Note();
  return true;
}

// ---- chip jobs ----

bool EraseChip(bool checkChip) {
  const ChipModule* m = SelectedModule();
  if (!m) return false;
  bool ok = (checkChip ? EnableSelectedChip(*m) : m->ProgrammingEnable()) && m->ChipErase();
  // The ATtiny12 needs a blank write between two erases before it takes new Flash.
  if (ok && m == &Attiny12) ok = m->ProgrammingEnable() && m->WriteBlankByteZero() && m->ChipErase();
  return ok;
}

namespace {

const char* TryingText(Memory memory, char op) {
  const bool flash = memory == Memory::Flash;
  switch (op) {
    case 'r': return flash ? " read the program" : " read the EEPROM";
    case 'w': return flash ? " write the program" : " write the EEPROM";
    default: return flash ? " verify the program" : " verify the EEPROM";
  }
}

// The "Trying to" line and start time, the end lines on every path.
class JobLines {
 public:
  JobLines(Memory memory, char op) {
    AddLog(LogKind::Trying, TryingText(memory, op));
    LogStartTime();
  }
  ~JobLines() {
    AddLog(LogKind::Finished, finish);
    LogEndTime();
  }
  JobLines(const JobLines&) = delete;
  JobLines& operator=(const JobLines&) = delete;
  std::string finish = " with fail.";
};

bool Stopped(JobResult& r, JobLines& lines) {
  if (!StopRequested()) return false;
  r.stopped = true;
  lines.finish = " with fail. Stopped by the user";
  return true;
}

// Flash: pages (bytes) of only 0xFF are not sent, since programming can only clear bits, and
// a page's addresses the file does not hold are loaded as 0xFF. EEPROM: every held byte is
// written, and only the held bytes of a page are loaded: the others keep their values.
bool WriteImage(const ChipModule& m, bool flash, const FileImage& image, bool dryRun, JobResult& r, ProgressScope& bar,
                JobLines& lines) {
  const uint32_t size = flash ? FlashSize : EepromSize;
  std::vector<uint8_t> bytes(image.bytes.begin(), image.bytes.begin() + std::min<size_t>(size, image.bytes.size()));
  bytes.resize(size, 0xFF);
  const WritePlan plan = PlanWrite(bytes.data(), &image.held, size,
                                   WriteOptions{.pageBytes = WritePageBytes(m, flash),
                                                .heldOnly = true,
                                                .skipBlank = flash,
                                                .loadHeldOnly = !flash});
  r.pagesPlanned = plan.units;
  PlanRun run;
  const auto after = [&](const WriteOp& op) {
    r.pagesWritten = run.units;
    r.bytes = op.done;
    bar.SetPosition(ProgressPercent(op.done - 1, plan.total));
    return !Stopped(r, lines);
  };
  const PlanOutcome outcome = ExecuteWrite(m, flash, plan, dryRun, after, run);
  r.failedAt = run.failedAt;
  if (outcome != PlanOutcome::Done) return false;
  r.bytes = image.HeldCount();
  if (flash) r.pagesSkipped = plan.skipped;
  return true;
}

}  // namespace

namespace {

// A short read taken only when a second read agrees with it: one damaged byte on the line must
// not become a calibration value or a fuse byte. Read again up to kSignatureReads times in all
// until two reads in a row agree; otherwise a line saying so, and false.
bool Agreed(const char* what, std::vector<uint8_t>& value,
            const std::function<bool(std::vector<uint8_t>&)>& readAgain) {
  const auto text = [](const std::vector<uint8_t>& v) {
    std::string t;
    for (size_t i = 0; i < v.size(); ++i) t += (i ? " " : "") + Hex2(v[i]);
    return t;
  };
  std::vector<uint8_t> previous = value;
  std::string seen = text(value);
  for (int read = 2; read <= kSignatureReads; ++read) {
    std::vector<uint8_t> again;
    if (!readAgain(again)) return false;
    if (again == previous) {
      value = again;
      return true;
    }
    seen += ", " + text(again);
    previous = std::move(again);
  }
  AddLog(LogKind::Text, std::string("The ") + what + " read differently each time (" + seen +
                "): bytes are damaged on the line; check the cable, the wiring and the supply");
  return false;
}

}  // namespace

bool ReadMemoryJob(Memory memory, std::vector<uint8_t>& out, JobResult& r) {
  if (memory == Memory::Flash || memory == Memory::Eeprom)
    return ReadMemoryRange(memory, 0, memory == Memory::Flash ? FlashSize : EepromSize, out, r);
  r = JobResult{};
  const ChipModule* m = SelectedModule();
  if (!m) return false;
  ProgressScope bar;
  if (memory == Memory::Signature) {
    AddLog(LogKind::Trying, " read signature bytes");
    if (!m->ProgrammingEnable()) return false;
    const ChipId first = ReadSignature();
    if (first == 0 && PortHandle < 0) return false;
    bool lineFault = false;
    const ChipId id = ConfirmSignature(first, lineFault);
    if (lineFault || (id == 0 && PortHandle < 0)) return false;
    const ChipId identified = IdentifiedSignature();
    if (identified != 0 && id != identified) {
      AddLog(LogKind::Text, "The signature reads " + SignatureText(id) + ", not " + SignatureText(identified) +
                    " as when the chip was identified: the chip was changed, or bytes are damaged on the line");
      return false;
    }
    out = {static_cast<uint8_t>(id), static_cast<uint8_t>(id >> 8), static_cast<uint8_t>(id >> 16)};
    r.bytes = 3;
    return true;
  }
  if (memory == Memory::Calibration) {
    if (!m->HasReadCalibration() || CalibrationCount == 0) return false;
    if (!m->ProgrammingEnable() || !m->ReadCalibration()) return false;
    out.assign(CalibrationBytes.begin(), CalibrationBytes.begin() + CalibrationCount);
    if (!Agreed("calibration bytes", out, [&](std::vector<uint8_t>& again) {
          if (!m->ReadCalibration()) return false;
          again.assign(CalibrationBytes.begin(), CalibrationBytes.begin() + CalibrationCount);
          return true;
        }))
      return false;
    r.bytes = CalibrationCount;
    return true;
  }
  return false;
}

bool ReadMemoryRange(Memory memory, uint32_t address, uint32_t count, std::vector<uint8_t>& out,
                     JobResult& r) {
  r = JobResult{};
  const ChipModule* m = SelectedModule();
  if (!m || (memory != Memory::Flash && memory != Memory::Eeprom)) return false;
  const bool flash = memory == Memory::Flash;
  const uint32_t size = flash ? FlashSize : EepromSize;
  const uint32_t end = address >= size ? address : address + std::min(count, size - address);
  ProgressScope bar;
  JobLines lines(memory, 'r');
  if (!m->ProgrammingEnable()) return false;
  for (uint32_t a = address; a < end; ++a) {
    if (!(flash ? m->ReadProgramByte(a, false) : m->ReadDataByte(a, false))) {
      r.failedAt = a;
      return false;
    }
    if ((a & 31) == 31 || a + 1 == end) {
      bar.SetPosition(ProgressPercent(a - address, end - address));
      if (Stopped(r, lines)) return false;
    }
  }
  const uint8_t* bytes = flash ? ProgramImage.data() : DataImage.data();
  out.assign(bytes + address, bytes + end);
  r.bytes = end - address;
  lines.finish = "";
  return true;
}

bool WriteMemoryJob(Memory memory, const FileImage& image, bool dryRun, JobResult& r) {
  r = JobResult{};
  const ChipModule* m = SelectedModule();
  if (!m || (memory != Memory::Flash && memory != Memory::Eeprom)) return false;
  ProgressScope bar;
  JobLines lines(memory, 'w');
  const bool ok = WriteImage(*m, memory == Memory::Flash, image, dryRun, r, bar, lines);
  if (ok) lines.finish = dryRun ? " (dry run: nothing was sent)" : "";
  return ok;
}

bool VerifyMemoryJob(Memory memory, const FileImage& image, JobResult& r) {
  r = JobResult{};
  const ChipModule* m = SelectedModule();
  if (!m) return false;
  if (memory == Memory::Signature || memory == Memory::Calibration) {
    std::vector<uint8_t> chip;
    if (!ReadMemoryJob(memory, chip, r)) return false;
    r = JobResult{};
    for (uint32_t a = 0; a < image.held.size(); ++a) {
      if (!image.Holds(a)) continue;
      const uint8_t found = a < chip.size() ? chip[a] : 0xFF;
      if (found != image.bytes[a]) {
        r.mismatch = true;
        r.mismatchAddress = a;
        r.expected = image.bytes[a];
        r.found = found;
        return false;
      }
      ++r.bytes;
    }
    return true;
  }
  const bool flash = memory == Memory::Flash;
  const uint32_t size = flash ? FlashSize : EepromSize;
  const uint32_t end = std::min(image.End(), size);
  const uint32_t total = image.HeldCount();
  ProgressScope bar;
  JobLines lines(memory, 'v');
  if (!m->ProgrammingEnable()) return false;
  uint8_t* bytes = flash ? ProgramImage.data() : DataImage.data();
  for (uint32_t a = 0; a < end; ++a) {
    if (!image.Holds(a)) continue;
    bytes[a] = image.bytes[a];
    if (!(flash ? m->ReadProgramByte(a, true) : m->ReadDataByte(a, true))) {
      if (PortHandle < 0) return false;
      // A mismatch, not a failed exchange: read the byte once more to show it.
      r.mismatch = true;
      r.mismatchAddress = a;
      r.expected = image.bytes[a];
      if (flash ? m->ReadProgramByte(a, false) : m->ReadDataByte(a, false)) r.found = bytes[a];
      lines.finish = " with fail. Address: 0x" + VerifyAddressText(a);
      return false;
    }
    ++r.bytes;
    if ((r.bytes & 31) == 0 || r.bytes == total) {
      bar.SetPosition(ProgressPercent(r.bytes - 1, total));
      if (Stopped(r, lines)) return false;
    }
  }
  lines.finish = ". No differences found.";
  return true;
}

// ---- fuse and lock bits ----

const char* const* FuseBitNames(Memory memory) {
  const FuseNamesRow* row = FuseNamesOf(SelectedChip);
  if (!row) {
    // The newer chips carry their bit names in their part row.
    const ChipEntry* e = FindChip(SelectedChip);
    const PartRow* part = e ? e->part : nullptr;
    if (!part) return nullptr;
    switch (memory) {
      case Memory::LowFuse: return part->fuseCount > 0 ? part->fuses[0].bits : nullptr;
      case Memory::HighFuse: return part->fuseCount > 1 ? part->fuses[1].bits : nullptr;
      case Memory::ExtendedFuse: return part->fuseCount > 2 ? part->fuses[2].bits : nullptr;
      case Memory::Lock: return part->lockBits;
      default: return nullptr;
    }
  }
  switch (memory) {
    case Memory::LowFuse: return row->low.bits;
    case Memory::HighFuse: return row->high.bits;
    case Memory::ExtendedFuse: return row->extended.bits;
    case Memory::Lock: return row->lock.bits;
    default: return nullptr;
  }
}

uint8_t FuseBitsCompared(Memory memory) {
  const ChipModule* m = SelectedModule();
  if (!m) return 0;
  const FuseAccess a = AccessOf(*m, memory);
  if (a.write) return ComparedBits(memory, a);
  uint8_t mask = a.read ? static_cast<uint8_t>(a.combinedLock ? 0x06 : ~a.read->orMask) : 0;
  if (const char* const* names = FuseBitNames(memory)) {
    uint8_t named = 0;
    for (int k = 0; k < 8; ++k)
      if (names[k]) named |= static_cast<uint8_t>(1u << k);
    mask &= named;
  }
  return mask;
}

bool ReadFuseJob(Memory memory, uint8_t& value) {
  const ChipModule* m = SelectedModule();
  if (!m) return false;
  const FuseAccess a = AccessOf(*m, memory);
  if (!a.read) {
    AddLog(LogKind::NotAvailable, "");
    return false;
  }
  ProgressScope bar;
  const size_t at = a.read->index + (a.combinedLock ? 1 : 0);
  if (!m->ProgrammingEnable() || !m->RunFuse(a.read->op)) {
    AddLog(LogKind::Finished, " with fail.");
    return false;
  }
  std::vector<uint8_t> read{FuseLockBytes[at]};
  if (!Agreed(memory == Memory::Lock ? "lock byte" : "fuse byte", read, [&](std::vector<uint8_t>& again) {
        if (!m->RunFuse(a.read->op)) return false;
        again = {FuseLockBytes[at]};
        return true;
      })) {
    AddLog(LogKind::Finished, " with fail.");
    return false;
  }
  value = read[0];
  return true;
}

bool WriteFuseJob(Memory memory, uint8_t value, bool verify, bool dryRun, JobResult& r) {
  r = JobResult{};
  const ChipModule* m = SelectedModule();
  if (!m) return false;
  const FuseAccess a = AccessOf(*m, memory);
  if (!a.write) {
    AddLog(LogKind::NotAvailable, "");
    return false;
  }
  if (dryRun) return true;
  ProgressScope bar;
  FuseLockBytes[a.write->index] = value;
  if (!m->ProgrammingEnable() || !m->RunFuse(a.write->op)) {
    AddLog(LogKind::Finished, " with fail.");
    return false;
  }
  r.bytes = 1;
  if (!verify || !a.read) return true;
  // Read back in the same programming session: a new reset pulse would already obey the
  // new fuse (a programmed RSTDISBL or DWEN takes the reset pin away).
  if (!m->RunFuse(a.read->op)) {
    AddLog(LogKind::Finished, " with fail.");
    return false;
  }
  const uint8_t back = FuseLockBytes[a.read->index + (a.combinedLock ? 1 : 0)];
  const uint8_t mask = ComparedBits(memory, a);
  if ((back & mask) != (value & mask)) {
    r.mismatch = true;
    r.expected = value;
    r.found = back;
    r.failure = "reads back " + Hex2(back) + " after writing " + Hex2(value) + " (differing: " +
                BitList(memory, static_cast<uint8_t>((back ^ value) & mask)) + ")";
    return false;
  }
  return true;
}

Memory MemoryOfFuseWrite(FuseOp op) {
  switch (op) {
    case FuseOp::WriteHighFuse: return Memory::HighFuse;
    case FuseOp::WriteExtendedFuse: return Memory::ExtendedFuse;
    case FuseOp::WriteLockBits: return Memory::Lock;
    default: return Memory::LowFuse;
  }
}

ReadBack ReadBackFuse(Memory memory, uint8_t written, uint8_t& found, std::string& why) {
  const ChipModule* m = SelectedModule();
  if (!m) return ReadBack::Failed;
  const FuseAccess a = AccessOf(*m, memory);
  if (!a.read || !a.write) return ReadBack::NotReadable;
  if (!m->RunFuse(a.read->op)) return ReadBack::Failed;
  found = FuseLockBytes[a.read->index + (a.combinedLock ? 1 : 0)];
  const uint8_t mask = ComparedBits(memory, a);
  if ((found & mask) == (written & mask)) return ReadBack::Verified;
  const uint8_t differing = static_cast<uint8_t>((found ^ written) & mask);
  why = "differing: " + BitList(memory, differing);
  if (memory == Memory::Lock) {
    // Programmed lock bits stay programmed until the chip is erased.
    if (written & ~found & mask) why += "; programmed lock bits are cleared only by Chip Erase";
    return ReadBack::Differs;
  }
  const FuseAccess lock = AccessOf(*m, Memory::Lock);
  bool locked = false;
  if (lock.read && lock.write && m->RunFuse(lock.read->op)) {
    // The lock mode bits (LB1, LB2), not the boot lock bits, keep fuses from being written.
    uint8_t bits = ComparedBits(Memory::Lock, lock);
    if (const char* const* names = FuseBitNames(Memory::Lock))
      for (int k = 0; k < 8; ++k)
        if (!names[k] || std::strncmp(names[k], "LB", 2) != 0) bits &= static_cast<uint8_t>(~(1u << k));
    locked = (FuseLockBytes[lock.read->index + (lock.combinedLock ? 1 : 0)] & bits) != bits;
  }
  if (PortHandle < 0) return ReadBack::Failed;
  why += locked ? "; the lock bits forbid it: Chip Erase clears them"
                : "; the chip did not take it: check its supply";
  return ReadBack::Differs;
}

FuseRole FuseBitRole(Memory memory, int k) {
  const char* const* names = FuseBitNames(memory);
  if (!names || k < 0 || k > 7 || !names[k] || memory == Memory::Lock) return FuseRole::None;
  const ChipEntry* e = FindChip(SelectedChip);
  if (e && e->part) {
    const int i = memory == Memory::LowFuse ? 0 : memory == Memory::HighFuse ? 1 : 2;
    return i < e->part->fuseCount ? e->part->fuses[i].roles[k] : FuseRole::None;
  }
  return RoleOfName(names[k]);
}

std::string FuseHazard(Memory memory, uint8_t current, uint8_t value) {
  const char* const* names = FuseBitNames(memory);
  if (!names) return "";
  std::string out;
  for (int k = 0; k < 8; ++k) {
    if (!names[k]) continue;
    const uint8_t bit = static_cast<uint8_t>(1u << k);
    const std::string name = names[k];
    const FuseRole role = FuseBitRole(memory, k);
    std::string why;
    if (role == FuseRole::ResetDisable && !(value & bit) && (current & bit))
      why = "it programs " + name + ": the reset pin becomes an I/O pin and the chip can no longer be "
            "programmed over SPI";
    else if (role == FuseRole::DebugWire && !(value & bit) && (current & bit))
      why = "it programs " + name + ": the reset pin becomes the debugWIRE line and the chip can no "
            "longer be programmed over SPI";
    else if (role == FuseRole::SpiEnable && (value & bit) && !(current & bit))
      why = "it unprograms " + name + ": serial programming is switched off and only a high-voltage "
            "programmer can switch it on again";
    if (!why.empty()) out += (out.empty() ? "" : "; ") + why;
  }
  // A clock change is not among them: a programmer that gives the chip the clock it asks for
  // undoes it, and the writer says which clock that is.
  return out;
}

std::string ProgrammedBits(Memory memory, uint8_t value) {
  const char* const* names = FuseBitNames(memory);
  uint8_t mask = 0;
  for (int k = 0; k < 8; ++k)
    if (!(value & (1u << k)) && (!names || names[k])) mask |= static_cast<uint8_t>(1u << k);
  return BitList(memory, mask);
}

}  // namespace quillet
