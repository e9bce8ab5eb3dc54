// Files read for the command-line jobs: which addresses a file holds, and every way a file can
// be wrong, as one table.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <iterator>
#include <fstream>
#include <string>
#include <vector>

#include "commands/Jobs.h"
#include "support/Fakes.h"

namespace quillet {
namespace {

struct Case {
  const char* name;
  std::string content;  // written to a file; for Immediate, the value list itself
  FileFormat format;
  Memory memory;
  uint32_t limit;
  std::vector<std::pair<uint32_t, uint8_t>> held;  // every address held, with its value
  uint32_t end;         // End() when it loads
  const char* error;    // part of the error, nullptr when it loads
  const char* warning = nullptr;  // part of the warning it loads with
};

std::string HexLine(const std::string& body) {  // ":" + body + checksum
  unsigned sum = 0;
  for (size_t i = 0; i + 1 < body.size(); i += 2) sum += std::stoul(body.substr(i, 2), nullptr, 16);
  char cs[3];
  std::snprintf(cs, sizeof cs, "%02X", (0x100 - (sum & 0xFF)) & 0xFF);
  return ":" + body + cs + "\n";
}

TEST(Jobs, LoadFileImage) {
  const std::string end = ":00000001FF\n";
  const Case cases[] = {
      {"hex", HexLine("02000000ABCD") + end, FileFormat::IntelHex, Memory::Flash, 1024,
       {{0, 0xAB}, {1, 0xCD}}, 2, nullptr},
      {"hex above 64 KB", HexLine("020000040001") + HexLine("01000200EE") + end,
       FileFormat::Auto, Memory::Flash, 262144, {{0x10002, 0xEE}}, 0x10003, nullptr},
      {"a record past 64 KB under a linear base", HexLine("020000040001") + HexLine("04FFFE0011223344") + end,
       FileFormat::IntelHex, Memory::Flash, 262144,
       {{0x1FFFE, 0x11}, {0x1FFFF, 0x22}, {0x20000, 0x33}, {0x20001, 0x44}}, 0x20002, nullptr,
       "jobs_file line 2: a record runs past a 64 KB boundary under an extended address"},
      // Guards: start address records (every bootloader's file) taken for errors.
      {"start address", HexLine("0400000500007000") + HexLine("0100100011") + end,
       FileFormat::IntelHex, Memory::Flash, 1024, {{0x10, 0x11}}, 0x11, nullptr},
      {"checksum", HexLine("0100000011") + ":0100010022FF\n" + end, FileFormat::IntelHex,
       Memory::Flash, 1024, {}, 0, "line 2: checksum error (checksum 0xFF, expected 0xDC)"},
      // As the field does: loaded, with a warning that names it (a truncated download?).
      {"no end record", HexLine("0100000011"), FileFormat::IntelHex, Memory::Flash, 1024, {{0, 0x11}}, 1,
       nullptr, "has no end record (a truncated Intel HEX file?)"},
      {"beyond the memory", HexLine("0104000011") + end, FileFormat::IntelHex, Memory::Flash,
       1024, {}, 0, "holds data at 0x400"},
      {"endless line", std::string(5000, '0') + "\n", FileFormat::IntelHex, Memory::Flash, 1024,
       {}, 0, "longer than any Intel HEX record"},
      {"raw", "\x01\x02\xFF", FileFormat::Raw, Memory::Eeprom, 4, {{0, 1}, {1, 2}, {2, 0xFF}}, 3,
       nullptr},
      {"raw too large", "12345", FileFormat::Raw, Memory::Eeprom, 4, {}, 0, "larger than the 4 bytes"},
      {"empty: nothing to write, not a failure", "", FileFormat::Raw, Memory::Flash, 4, {}, 0, nullptr},
      {"end record only (avr-objcopy's .eep)", ":00000001FF\n", FileFormat::Auto, Memory::Eeprom, 512, {}, 0, nullptr},
      {"hex text of a fuse", " 0xE2\n", FileFormat::Auto, Memory::LowFuse, 1, {{0, 0xE2}}, 1, nullptr},
      // Guards: text programmed as its raw bytes.
      {"the same text is refused for Flash", "0xE2", FileFormat::Auto, Memory::Flash, 16, {}, 0,
       "text in none of the file formats"},
      {"immediate list", "0x12,0x34 0b101 7 017", FileFormat::Immediate, Memory::Eeprom, 8,
       {{0, 0x12}, {1, 0x34}, {2, 5}, {3, 7}, {4, 15}}, 5, nullptr},
      {"immediate too large", "0x100", FileFormat::Immediate, Memory::LowFuse, 1, {}, 0,
       "\"0x100\" is not a byte value"},
      {"immediate too many", "1,2", FileFormat::Immediate, Memory::LowFuse, 1, {}, 0,
       "beyond the 1 byte this"},
      {"elf header cut short", std::string("\x7f" "ELF\x01\x01", 6), FileFormat::Auto, Memory::Flash,
       1024, {}, 0, "ELF"},
  };
  const std::string path = test::TempDir() + "jobs_file";
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::ofstream(path, std::ios::binary | std::ios::trunc) << c.content;
    FileImage image;
    std::string error, warning;
    const bool ok = LoadFileImage(c.format == FileFormat::Immediate ? c.content : path, c.format,
                                  c.memory, c.limit, image, error, &warning);
    if (c.error) {
      EXPECT_FALSE(ok);
      EXPECT_NE(error.find(c.error), std::string::npos) << error;
      continue;
    }
    ASSERT_TRUE(ok) << error;
    const std::string said = warning + image.warning;
    if (c.warning) {
      EXPECT_NE(said.find(c.warning), std::string::npos) << said;
    } else {
      EXPECT_EQ(said, "");
    }
    EXPECT_EQ(image.End(), c.end);
    EXPECT_EQ(image.HeldCount(), c.held.size());
    for (const auto& [address, value] : c.held) {
      EXPECT_TRUE(image.Holds(address)) << address;
      EXPECT_EQ(image.bytes[address], value) << address;
    }
  }
  std::remove(path.c_str());
}

// The output formats of a read: value text in four bases, and S-records that srecord's
// srec_cat (the field's tool) reads back to the same bytes, below and above 64 KB.
TEST(Jobs, FileTextInTheFieldsFormats) {
  const uint8_t b[] = {0x1E, 0x00, 0xFF};
  const std::pair<FileFormat, const char*> texts[] = {
      {FileFormat::HexText, "0x1e,0x00,0xff\n"},
      {FileFormat::DecText, "30,0,255\n"},
      {FileFormat::OctText, "036,0,0377\n"},
      {FileFormat::BinText, "0b00011110,0b00000000,0b11111111\n"}};
  for (const auto& [format, text] : texts) EXPECT_EQ(FileText(b, 3, format), text);
  if (std::system("srec_cat --version >/dev/null 2>&1") != 0) GTEST_SKIP() << "srec_cat absent (Debian package srecord)";
  const std::string srec = test::TempDir() + "jobs_out.srec", bin = test::TempDir() + "jobs_out.bin";
  for (uint32_t size : {100u, 70001u}) {
    std::vector<uint8_t> bytes(size);
    for (uint32_t i = 0; i < size; ++i) bytes[i] = static_cast<uint8_t>(i * 7 + i / 251);
    std::ofstream(srec, std::ios::binary | std::ios::trunc) << FileText(bytes.data(), size, FileFormat::SRecord);
    ASSERT_EQ(std::system(("srec_cat " + srec + " -motorola -o " + bin + " -binary").c_str()), 0) << size;
    std::ifstream in(bin, std::ios::binary);
    EXPECT_EQ(std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {}), bytes) << size;
    FileImage back;
    std::string error;
    ASSERT_TRUE(LoadFileImage(srec, FileFormat::Auto, Memory::Flash, 1 << 20, back, error)) << error;
    EXPECT_EQ(back.bytes, bytes) << "our own reader agrees";
  }
}

}  // namespace
}  // namespace quillet
