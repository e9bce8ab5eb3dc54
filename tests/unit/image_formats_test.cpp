// The one file reader through both of its clients: the window's Load command (LoadChosenFile)
// and the command line's LoadFileImage. One table per format; then the automatic format, safe
// saving, and one program built by avr-gcc in three formats.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "chips/Catalogue.h"
#include "commands/Jobs.h"
#include "image/HexFiles.h"
#include "image/Images.h"
#include "support/ElfImage.h"
#include "support/Fakes.h"

namespace quillet {
namespace {

namespace fs = std::filesystem;

// ":" + body + checksum, CR LF.
std::string Hex(const std::string& body) {
  unsigned sum = 0;
  for (size_t i = 0; i + 1 < body.size(); i += 2) sum += std::stoul(body.substr(i, 2), nullptr, 16);
  char cs[3];
  std::snprintf(cs, sizeof cs, "%02X", (0x100 - (sum & 0xFF)) & 0xFF);
  return ":" + body + cs + "\r\n";
}

// "S" + type + count + body + checksum, CR LF.
std::string S(char type, const std::string& body) {
  const unsigned count = static_cast<unsigned>(body.size() / 2 + 1);
  unsigned sum = count;
  for (size_t i = 0; i + 1 < body.size(); i += 2) sum += std::stoul(body.substr(i, 2), nullptr, 16);
  char head[4], cs[3];
  std::snprintf(head, sizeof head, "%02X", count);
  std::snprintf(cs, sizeof cs, "%02X", ~sum & 0xFF);
  return std::string("S") + type + head + body + cs + "\r\n";
}

const std::string kLong600 = ":" + std::string(599, '0') + "\r\n";
const std::string kLong10000 = "S1" + std::string(9998, '0') + "\r\n";

struct Case {
  const char* name;
  std::string content;
  std::vector<std::pair<uint32_t, uint8_t>> bytes;  // in the window's image and the CLI's (0x11: none)
  std::string window;   // the window's last log line after "Loading..."; "Error|..." a message box
  const char* cli;      // part of the command line's error; nullptr: it loads the bytes
  const char* device = nullptr;  // read this device instead of a file
  uint64_t grow = 0;             // the file, made this long with zeros (sparse)
};

class Formats : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string tmpl = (fs::temp_directory_path() / "quillet-formats-XXXXXX").string();
    ASSERT_NE(mkdtemp(tmpl.data()), nullptr);
    dir = tmpl;
    SelectChip(FindChipByName("ATtiny85")->id);  // 8192 bytes of Flash, 512 of EEPROM
  }
  void TearDown() override { fs::remove_all(dir); }

  std::string Path(const std::string& name) const { return (dir / name).string(); }
  static void Write(const std::string& path, const std::string& content) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
  }
  static std::string Read(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }

  // Each case through the window (a file of that name) and the command line (that format).
  void Run(const std::vector<Case>& cases, const std::string& name, FileFormat format) {
    for (const Case& c : cases) {
      SCOPED_TRACE(c.name);
      std::string path = c.device ? c.device : Path(name);
      if (!c.device) {
        Write(path, c.content);
        if (c.grow) {
          std::error_code error;
          fs::resize_file(path, c.grow, error);
          if (error) GTEST_SKIP() << "no sparse file here: " << error.message();
        }
      }
      ProgramImage.fill(0x11);
      f.ClearRecords();
      f.prompt.messages.clear();
      LoadChosenFile(path, 1);
      if (c.window.rfind("Error|", 0) == 0) {
        EXPECT_EQ(f.prompt.messages, std::vector<std::string>{c.window});
      } else {
        ASSERT_FALSE(f.log.lines.empty());
        EXPECT_EQ(f.log.lines.size() > 1 ? f.log.lines.back() : "", c.window);
      }
      for (auto [address, value] : c.bytes) EXPECT_EQ(ProgramImage[address], value) << address;

      FileImage image;
      std::string error;
      const bool ok = LoadFileImage(path, format, Memory::Flash, FlashSize, image, error);
      if (c.cli) {
        EXPECT_FALSE(ok);
        EXPECT_NE(error.find(c.cli), std::string::npos) << error;
        continue;
      }
      ASSERT_TRUE(ok) << error;
      // 0x11: not in the file.
      uint32_t held = 0;
      for (auto [address, value] : c.bytes) {
        held += value != 0x11;
        EXPECT_EQ(image.Holds(address), value != 0x11) << address;
        if (value != 0x11) {
          EXPECT_EQ(image.bytes[address], value) << address;
        }
      }
      EXPECT_EQ(image.HeldCount(), held);
    }
  }

  test::CoreFixture f;
  fs::path dir;
};

constexpr const char* kComplete = "Operation complete";
constexpr const char* kUnknown = "Wrong file (unknown format)";

TEST_F(Formats, IntelHex) {
  const std::string end = ":00000001FF\r\n";
  const std::string four = Hex("0100000022") + Hex("0100010033") + Hex("0100020044") + Hex("0100030055");
  const std::vector<std::pair<uint32_t, uint8_t>> loaded = {{0, 0x22}, {1, 0x33}, {2, 0x44}, {3, 0x55}};
  Run({
      {"good", four + end, loaded, kComplete, nullptr},
      {"above 64 KB of a small chip", Hex("020000040001") + Hex("0100000077") + end, {},
       "Operation complete", "holds data at 0x10000"},
      // Guards: a segment and a linear base added up to a 33-bit address.
      {"segment and linear bases mixed", Hex("02000004FFFF") + Hex("02000002FFFF") + Hex("01FFFF0077") + end,
       {}, "Operation complete", "holds data at 0xFFFEF,"},
      // Guards: CR LF counted as two line ends ("line 9").
      {"damaged on line 5, CR LF", four + ":0100040066FF\r\n" + end, {}, "Wrong file (checksum error)",
       "line 5: checksum error"},
      // Guards: a truncated download programmed as if it were whole.
      {"truncated", four, loaded, "", "has no end record"},
      // Guards: a stack overflow driven by the file's own bytes.
      {"a line of 600", four + kLong600 + end, {}, kUnknown, "longer than any Intel HEX record"},
      {"a line of 10 000", ":" + std::string(9999, 'F') + end, {}, kUnknown, "longer than any"},
      {"a huge file", four + std::string(1, 'x'), {}, kUnknown, "longer than any", nullptr, 40ULL << 30},
      // Guards: never ending.
      {"/dev/zero", "", {}, "Error|Cannot open file \"/dev/zero\": Not a regular file",
       "longer than any", "/dev/zero"},
  }, "p.hex", FileFormat::IntelHex);
}

TEST_F(Formats, SRecord) {
  const std::string head = S('0', "000048454C4C4F");
  const std::string data = S('1', "0010AABB") + S('2', "000012CC") + S('3', "00000014DDEE");
  const std::vector<std::pair<uint32_t, uint8_t>> loaded = {
      {0x10, 0xAA}, {0x11, 0xBB}, {0x12, 0xCC}, {0x14, 0xDD}, {0x15, 0xEE}};
  Run({
      {"good", head + data + S('5', "0003") + S('9', "0000"), loaded, kComplete, nullptr},
      {"S7 and S8 end it too", head + data + S('7', "00000000"), loaded, kComplete, nullptr},
      // Guards: a lost record passing unnoticed.
      {"count of the data records wrong", head + data + S('5', "0002") + S('9', "0000"), {},
       "Wrong file (record count error)", "line 5: the record count differs"},
      {"damaged on line 5, CR LF", head + data + "S1050020AABB00\r\n" + S('9', "0000"), {},
       "Wrong file (checksum error)", "line 5: checksum error"},
      {"S4 is no record type", head + S('4', "0000") + S('9', "0000"), {}, kUnknown,
       "line 2: unknown record type"},
      {"beyond the memory", S('2', "00200011") + S('8', "000000"), {}, kComplete,
       "holds data at 0x2000"},
      {"truncated", head + data, loaded, "", "ends without a termination record"},
      {"ended by its count, as srec_cat writes it", head + data + S('5', "0003"), loaded, kComplete, nullptr},
      {"data after the count", head + data + S('5', "0003") + S('1', "0030AA"), {}, "", "ends without"},
      {"a line of 600", head + "S1" + std::string(598, '0') + "\r\n", {}, kUnknown,
       "longer than any S-record"},
      {"a line of 10 000", head + kLong10000, {}, kUnknown, "longer than any S-record"},
      {"a huge file", head + "S", {}, kUnknown, "longer than any", nullptr, 40ULL << 30},
      {"/dev/zero", "", {}, "Error|Cannot open file \"/dev/zero\": Not a regular file",
       "longer than any", "/dev/zero"},
  }, "p.srec", FileFormat::SRecord);
}

// An ELF file with section headers at its end (e_shoff past the file's bytes) and a count;
// a count of 0 puts the real one in section 0, as for more than 65279 sections.
std::string ElfCounts(std::string elf, uint16_t count, uint32_t realCount) {
  auto put = [&](size_t at, uint32_t v, int n) {
    for (int k = 0; k < n; ++k) elf[at + k] = static_cast<char>(v >> (8 * k));
  };
  const uint32_t offset = static_cast<uint32_t>(elf.size());
  put(32, offset, 4), put(46, 40, 2), put(48, count, 2);
  std::string zero(40, '\0');
  for (int k = 0; k < 4; ++k) zero[20 + k] = static_cast<char>(realCount >> (8 * k));
  return elf + zero;
}

TEST_F(Formats, Elf) {
  using test::AvrElf;
  const std::string program =
      AvrElf({{0, std::string("\x0c\x94\x34\x00", 4)}, {4, "\xff\xcf"}, {0x810000, "EE"}});
  const std::string cut = program.substr(0, program.size() - 3);
  const std::vector<std::pair<uint32_t, uint8_t>> loaded = {
      {0, 0x0C}, {1, 0x94}, {2, 0x34}, {3, 0}, {4, 0xFF}, {5, 0xCF}, {6, 0x11}};
  Run({
      {"good", program, loaded, kComplete, nullptr},
      {"beyond the memory", AvrElf({{0x2000, "ab"}}), {}, kComplete, "holds data at 0x2000"},
      // The command line takes it as nothing to write to Flash (a note, not a failure).
      {"no program", AvrElf({{0x810000, "EE"}}), {}, "Wrong file (no program in it)", nullptr},
      {"another processor", AvrElf({{0, "ab"}}, 3), {}, "Wrong file (an ELF file for another processor than AVR (machine 3))",
       "for another processor than AVR"},
      {"truncated", cut, {}, "Wrong file (a segment reaches past the end of the file (a truncated file?))",
       "reaches past the end"},
      {"a segment claiming 4 GB", AvrElf({{0, "ab", 0xFFFFFFF0}}), {},
       "Wrong file (a segment reaches past the end of the file (a truncated file?))", "past the end"},
      {"the magic alone", std::string("\x7f" "ELF") + std::string(600, 'x'), {},
       "Wrong file (a damaged ELF header)", "a damaged ELF header"},
      // Guards: libelf taking memory for every section a header claims (gigabytes for 2 GB).
      {"53 million sections claimed", ElfCounts(program, 0, 53687091), {},
       "Wrong file (53687091 sections claimed, more than an AVR program has (at most 1024))",
       "53687091 sections claimed", nullptr, 2ULL << 30},
      {"section headers past the end", ElfCounts(program, 1000, 0), {},
       "Wrong file (1000 section headers claimed, more than the file holds)", "more than the file holds"},
      {"a huge file", program, loaded, kComplete, nullptr, nullptr, 40ULL << 30},
      {"/dev/zero", "", {}, "Error|Cannot open file \"/dev/zero\": Not a regular file",
       "no ELF magic", "/dev/zero"},
  }, "p.elf", FileFormat::Elf);
}

TEST_F(Formats, Raw) {
  Run({
      {"good", "\x01\x02\x03", {{0, 1}, {1, 2}, {2, 3}, {3, 0x11}}, kComplete, nullptr},
      {"longer than the memory", std::string(8192 + 5, '\x07'), {{8191, 7}},
       kComplete, "is larger than the 8192 bytes"},
      {"a huge file", "\x42", {{0, 0x42}, {1, 0}}, kComplete, "is larger than", nullptr, 40ULL << 30},
      {"/dev/zero", "", {}, "Error|Cannot open file \"/dev/zero\": Not a regular file",
       "is larger than", "/dev/zero"},
  }, "p.bin", FileFormat::Raw);
  // The window's warning counts what was left out, without reading it.
  Write(Path("p.bin"), std::string(8192 + 5, '\x07'));
  f.ClearRecords();
  LoadChosenFile(Path("p.bin"), 1);
  EXPECT_EQ(f.log.lines[1], "Warning: 5 bytes beyond the chip's memory were not loaded");
  // A short file still steps the bar through the whole memory, every 1024 bytes.
  Write(Path("p.bin"), "\x01");
  f.progress.dialogs.clear();
  LoadChosenFile(Path("p.bin"), 1);
  ASSERT_EQ(f.progress.dialogs.size(), 1u);
  EXPECT_EQ(f.progress.dialogs[0].positions.size(), 8u);
}

// Guards: S-records, C source and value lists programmed as raw bytes with success; a raw fuse
// backup of 0x32 read as the decimal text "2".
TEST_F(Formats, AutomaticFormat) {
  const std::string elf = test::AvrElf({{0, "ab"}, {0x820000, "\xe2\xdf\xff"}, {0x830000, "\xfc"}});
  struct Auto {
    const char* name;
    std::string content;
    Memory memory;
    std::vector<uint8_t> bytes;  // from address 0
    const char* error;
  } cases[] = {
      {"S-record", S('1', "0000AB") + S('9', "0000"), Memory::Flash, {0xAB}, nullptr},
      {"Intel HEX after blank lines", "\r\n\r\n" + Hex("01000000AB") + ":00000001FF", Memory::Flash, {0xAB}, nullptr},
      {"ELF", elf, Memory::Flash, {'a', 'b'}, nullptr},
      {"ELF low fuse", elf, Memory::LowFuse, {0xE2}, nullptr},
      {"ELF extended fuse", elf, Memory::ExtendedFuse, {0xFF}, nullptr},
      {"ELF lock", elf, Memory::Lock, {0xFC}, nullptr},
      {"raw program", std::string("\x0c\x94\x34\x00", 4), Memory::Flash, {0x0C, 0x94, 0x34, 0}, nullptr},
      {"raw erased EEPROM", std::string(4, '\xff'), Memory::Eeprom, {0xFF, 0xFF, 0xFF, 0xFF}, nullptr},
      {"a damaged first record", Hex("01000000AB").substr(0, 11) + "00\r\n", Memory::Flash, {}, "line 1: checksum error"},
      {"C source", "int main(void) { return 0; }\n", Memory::Flash, {}, "text in none of the file formats (Intel HEX, S-record, ELF)"},
      {"value list for Flash", "0x12,0x34,0x56", Memory::Flash, {}, "text in none of the file formats"},
      {"UTF-8 text", "caf\xc3\xa9\n", Memory::Eeprom, {}, "text in none"},
      {"raw fuse backup", "2", Memory::LowFuse, {0x32}, nullptr},
      {"hex text fuse", "0xE2\n", Memory::LowFuse, {0xE2}, nullptr},
      {"decimal fuse", "226\n", Memory::HighFuse, {226}, nullptr},
      {"octal fuse", "0342\n", Memory::HighFuse, {0xE2}, nullptr},
      {"not octal", "089\n", Memory::HighFuse, {}, "\"089\" is not a byte value"},
      {"fuse words", "low fuse\n", Memory::LowFuse, {}, "ELF, hex text)"},
  };
  for (const Auto& c : cases) {
    SCOPED_TRACE(c.name);
    Write(Path("auto"), c.content);
    FileImage image;
    std::string error;
    const uint32_t limit = c.memory == Memory::Flash ? 8192 : c.memory == Memory::Eeprom ? 512 : 1;
    const bool ok = LoadFileImage(Path("auto"), FileFormat::Auto, c.memory, limit, image, error);
    if (c.error) {
      EXPECT_FALSE(ok);
      EXPECT_NE(error.find(c.error), std::string::npos) << error;
      continue;
    }
    ASSERT_TRUE(ok) << error;
    EXPECT_EQ(image.bytes, c.bytes);
  }
}

// Guards: a save that truncated the old file first, so a full disk lost the last good backup.
TEST_F(Formats, SavingKeepsTheOldFileOnFailure) {
  const std::string old = "the old backup";
  struct Save {
    const char* name;
    bool readOnly;        // the old file may not be written
    bool window;
    const char* message;  // part of the failure
    bool hardLinked = false;  // a second name: the file is rewritten in place, not replaced
  } cases[] = {
      {"window, disk full", false, true, "Cannot write file"},
      {"command line, disk full", false, false, "cannot write"},
      {"window, read-only file", true, true, "Cannot create file"},
      {"command line, read-only file", true, false, "cannot create"},
      {"command line, disk full, a hard-linked file", false, false, "cannot write", true},
  };
  for (const Save& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.readOnly && geteuid() == 0) continue;  // root may write any file
    const std::string path = Path("backup.hex");
    Write(path, old);
    if (c.hardLinked) fs::create_hard_link(path, Path("second.hex"));
    fs::permissions(path, c.readOnly ? fs::perms::owner_read : fs::perms::owner_read | fs::perms::owner_write);
    // A file size limit stands for the full disk: writing past it fails with EFBIG.
    rlimit saved{};
    getrlimit(RLIMIT_FSIZE, &saved);
    signal(SIGXFSZ, SIG_IGN);
    rlimit small = saved;
    small.rlim_cur = 1000;
    setrlimit(RLIMIT_FSIZE, &small);
    std::string error;
    if (c.window) {
      f.prompt.messages.clear();
      EXPECT_EQ(SaveChosenFile(FileChoice{path, 1}, 1), "");
      ASSERT_EQ(f.prompt.messages.size(), 1u);
      error = f.prompt.messages[0];
    } else {
      EXPECT_FALSE(SaveText(path, std::string(4096, 'x'), error));
    }
    setrlimit(RLIMIT_FSIZE, &saved);
    EXPECT_NE(error.find(c.message), std::string::npos) << error;
    EXPECT_EQ(Read(path), old);
    // No temporary left.
    EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator()), c.hardLinked ? 2 : 1);
    if (c.hardLinked) fs::remove(Path("second.hex"));
    fs::permissions(path, fs::perms::owner_all);
  }
  // A good save replaces the file and keeps its permissions.
  fs::permissions(Path("backup.hex"), fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
  std::string error;
  ASSERT_TRUE(SaveText(Path("backup.hex"), "new", error)) << error;
  EXPECT_EQ(Read(Path("backup.hex")), "new");
  EXPECT_EQ(fs::status(Path("backup.hex")).permissions(),
            fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
}

// The same program built by avr-gcc, written out by avr-objcopy as ELF, Intel HEX and
// S-record, gives one image in every memory.
TEST_F(Formats, OneProgramThreeFormats) {
  if (std::system("command -v avr-gcc >/dev/null && command -v avr-objcopy >/dev/null") != 0)
    GTEST_SKIP() << "no avr-gcc";
  Write(Path("p.c"),
        "#include <avr/io.h>\n#include <avr/eeprom.h>\n#include <avr/fuse.h>\n#include <avr/lock.h>\n"
        "FUSES = {.low = 0xE2, .high = 0xDF, .extended = 0xFF};\nLOCKBITS = 0xFC;\n"
        "char EEMEM table[5] = {1, 2, 3, 4, 5};\nvolatile char data[4] = {9, 8, 7, 6};\n"
        "int main(void) { return data[2] + eeprom_read_byte(&table[1]); }\n");
  const std::string d = dir.string() + "/";
  const std::string flashOnly = " -R .eeprom -R .fuse -R .lock -R .signature ";
  const std::string eepromOnly = " -j .eeprom --change-section-lma .eeprom=0 ";
  ASSERT_EQ(std::system(("avr-gcc -mmcu=attiny85 -Os " + d + "p.c -o " + d + "p.elf && "
                         "avr-objcopy -O ihex" + flashOnly + d + "p.elf " + d + "p.hex && "
                         "avr-objcopy -O srec" + flashOnly + d + "p.elf " + d + "p.srec && "
                         "avr-objcopy -O ihex" + eepromOnly + d + "p.elf " + d + "e.hex && "
                         "avr-objcopy -O srec" + eepromOnly + d + "p.elf " + d + "e.srec")
                            .c_str()),
            0);
  struct Pair {
    Memory memory;
    const char* hex;
    const char* srec;
  } pairs[] = {{Memory::Flash, "p.hex", "p.srec"}, {Memory::Eeprom, "e.hex", "e.srec"}};
  for (const Pair& p : pairs) {
    SCOPED_TRACE(MemoryName(p.memory));
    FileImage elf, hex, srec;
    std::string error;
    const uint32_t limit = p.memory == Memory::Flash ? 8192 : 512;
    ASSERT_TRUE(LoadFileImage(Path("p.elf"), FileFormat::Auto, p.memory, limit, elf, error)) << error;
    ASSERT_TRUE(LoadFileImage(Path(p.hex), FileFormat::Auto, p.memory, limit, hex, error)) << error;
    ASSERT_TRUE(LoadFileImage(Path(p.srec), FileFormat::Auto, p.memory, limit, srec, error)) << error;
    EXPECT_GT(elf.HeldCount(), 4u);
    EXPECT_EQ(elf.bytes, hex.bytes);
    EXPECT_EQ(elf.held, hex.held);
    EXPECT_EQ(elf.bytes, srec.bytes);
    EXPECT_EQ(elf.held, srec.held);
  }
  FileImage fuse;
  std::string error;
  ASSERT_TRUE(LoadFileImage(Path("p.elf"), FileFormat::Auto, Memory::HighFuse, 1, fuse, error));
  EXPECT_EQ(fuse.bytes, std::vector<uint8_t>{0xDF});
  // The window takes the ELF's program as its HEX file's.
  ProgramImage.fill(0xFF);
  ASSERT_TRUE(LoadChosenFile(Path("p.elf"), 1));
  std::vector<uint8_t> viaElf(ProgramImage.begin(), ProgramImage.begin() + 8192);
  ProgramImage.fill(0xFF);
  ASSERT_TRUE(LoadChosenFile(Path("p.hex"), 1));
  EXPECT_TRUE(std::equal(viaElf.begin(), viaElf.end(), ProgramImage.begin()));
  // And its EEPROM as the data file's.
  DataImage.fill(0xFF);
  ASSERT_TRUE(LoadChosenFile(Path("p.elf"), 2));
  std::vector<uint8_t> eepromViaElf(DataImage.begin(), DataImage.begin() + 512);
  DataImage.fill(0xFF);
  ASSERT_TRUE(LoadChosenFile(Path("e.srec"), 2));
  EXPECT_EQ(DataImage[1], 2);
  EXPECT_TRUE(std::equal(eepromViaElf.begin(), eepromViaElf.end(), DataImage.begin()));
}

}  // namespace
}  // namespace quillet
