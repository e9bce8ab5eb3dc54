// Interchange with the tools that make and read Intel HEX in this field (srecord's srec_cat,
// GNU objcopy, and an avr-gcc build with avr-objcopy): files they write load into the right
// addresses, and the files we write convert back to the image.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>

#include "chips/Catalogue.h"
#include "image/HexFiles.h"
#include "image/Images.h"
#include "support/Fakes.h"

namespace quillet {
namespace {

namespace fs = std::filesystem;

class ToolFiles : public ::testing::Test {
 protected:
  static bool Have(const std::string& tool) {
    return std::system(("command -v " + tool + " >/dev/null 2>&1").c_str()) == 0;
  }
  void SetUp() override {
    std::string tmpl = (fs::temp_directory_path() / "quillet-srec-XXXXXX").string();
    ASSERT_NE(mkdtemp(tmpl.data()), nullptr);
    dir = tmpl;
  }
  void TearDown() override {
    if (!dir.empty()) fs::remove_all(dir);
  }
  std::string Path(const std::string& name) const { return (dir / name).string(); }
  static std::vector<uint8_t> Random(size_t n, unsigned seed) {
    std::mt19937 random(seed);
    std::vector<uint8_t> v(n);
    for (uint8_t& b : v) b = static_cast<uint8_t>(random());
    return v;
  }
  static void WriteBytes(const std::string& path, const std::vector<uint8_t>& bytes) {
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  }
  static std::vector<uint8_t> ReadBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
  }
  static int Run(const std::string& command) { return std::system((command + " 2>&1").c_str()); }

  test::CoreFixture f;
  fs::path dir;
};

TEST_F(ToolFiles, FilesWrittenBySrecCatLoad) {
  if (!Have("srec_cat")) GTEST_SKIP() << "srec_cat missing";
  struct Case {
    const char* chip;
    int image;
    const char* options;
  } cases[] = {
      {"AT90CAN128", 1, ""},                      // 32-byte records, linear address records
      {"AT90CAN128", 1, "-line-length=20"},       // 4-byte records
      {"AT90CAN128", 1, "-line-length=521 -crlf"},  // 255-byte records, CR LF
      {"AT90CAN128", 1, "-address-length=3"},     // segment address records
      {"AT90CAN64", 1, "-address-length=2"},      // no address records at all
      {"ATtiny2313", 2, "-line-length=44"},
      {"AT90CAN128", 2, "-address-length=3 -line-length=30"},
  };
  unsigned seed = 1;
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.chip) + " " + c.options);
    SelectChip(FindChipByName(c.chip)->id);
    f.ClearRecords();
    uint32_t size = c.image == 1 ? FlashSize : EepromSize;
    std::vector<uint8_t> original = Random(size, seed++);
    WriteBytes(Path("in.bin"), original);
    std::string hex = Path("in.hex");
    ASSERT_EQ(Run("srec_cat " + Path("in.bin") + " -binary -o " + hex + " -intel " + c.options), 0);
    ASSERT_TRUE(LoadHexFile(hex, c.image).ok);
    const uint8_t* image = c.image == 1 ? ProgramImage.data() : DataImage.data();
    EXPECT_TRUE(std::equal(original.begin(), original.end(), image));
    EXPECT_EQ(f.log.lines.back(), "Operation complete");
  }
}

TEST_F(ToolFiles, DataAtAnOffsetAndAStartAddress) {
  if (!Have("srec_cat")) GTEST_SKIP() << "srec_cat missing";
  SelectChip(FindChipByName("AT90CAN128")->id);
  f.ClearRecords();
  // 256 bytes at 0x1FF80: the last 128 fit, the rest lies beyond the chip's memory. The start
  // address record srec_cat adds is skipped.
  std::vector<uint8_t> original = Random(256, 99);
  WriteBytes(Path("in.bin"), original);
  ASSERT_EQ(Run("srec_cat " + Path("in.bin") + " -binary -offset 0x1FF80 -o " + Path("in.hex") +
                " -intel -execution-start-address=0x1FF80"),
            0);
  ASSERT_TRUE(LoadHexFile(Path("in.hex"), 1).ok);
  EXPECT_TRUE(std::equal(original.begin(), original.begin() + 128, ProgramImage.begin() + 0x1FF80));
  EXPECT_EQ(ProgramImage[0x1FF7F], 0xFF);
  EXPECT_EQ(f.log.lines, (std::vector<std::string>{
                             "Loading program from file: " + Path("in.hex"),
                             "Warning: 128 bytes beyond the chip's memory were not loaded",
                             "Operation complete"}));
}

TEST_F(ToolFiles, OurFilesConvertBackToTheImage) {
  if (!Have("srec_cat")) GTEST_SKIP() << "srec_cat missing";
  struct Case {
    const char* chip;
    int image;
  } cases[] = {{"AT90CAN128", 1}, {"AT90CAN128", 2}, {"AT90S1200", 1}};
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.chip) + " image " + std::to_string(c.image));
    SelectChip(FindChipByName(c.chip)->id);
    uint32_t size = c.image == 1 ? FlashSize : EepromSize;
    uint8_t* image = c.image == 1 ? ProgramImage.data() : DataImage.data();
    std::vector<uint8_t> original = Random(size, size);
    std::copy(original.begin(), original.end(), image);
    ASSERT_TRUE(SaveHexFile(Path("ours.hex"), c.image).ok);
    ASSERT_EQ(Run("srec_cat " + Path("ours.hex") + " -intel -o " + Path("out.bin") + " -binary"), 0);
    EXPECT_EQ(ReadBytes(Path("out.bin")), original);
  }
}

TEST_F(ToolFiles, GnuObjcopyFilesBothWays) {
  if (!Have("objcopy")) GTEST_SKIP() << "objcopy missing";
  // 128 KB: objcopy goes past 64 KB with extended segment address records.
  SelectChip(FindChipByName("AT90CAN128")->id);
  f.ClearRecords();
  const std::vector<uint8_t> original = Random(FlashSize, 7);
  WriteBytes(Path("in.bin"), original);
  ASSERT_EQ(Run("objcopy -I binary -O ihex " + Path("in.bin") + " " + Path("in.hex")), 0);
  ASSERT_TRUE(LoadHexFile(Path("in.hex"), 1).ok);
  EXPECT_TRUE(std::equal(original.begin(), original.end(), ProgramImage.begin()));
  EXPECT_EQ(f.log.lines.back(), "Operation complete");

  const std::vector<uint8_t> saved = Random(FlashSize, 8);
  std::copy(saved.begin(), saved.end(), ProgramImage.begin());
  ASSERT_TRUE(SaveHexFile(Path("ours.hex"), 1).ok);
  ASSERT_EQ(Run("objcopy -I ihex -O binary " + Path("ours.hex") + " " + Path("out.bin")), 0);
  EXPECT_EQ(ReadBytes(Path("out.bin")), saved);
}

TEST_F(ToolFiles, AvrGccBuildsLoad) {
  if (!Have("avr-gcc") || !Have("avr-objcopy")) GTEST_SKIP() << "avr-gcc missing";
  // A program with constant tables in Flash and initial EEPROM contents, built as a user
  // would; on AT90CAN128 the tables reach past 64 KB.
  std::ofstream(Path("prog.c")) << R"(#include <avr/eeprom.h>
#include <avr/pgmspace.h>
#include <stdint.h>
#define T(name, n, v) const uint8_t name[n] __attribute__((used, section(".progmem.far"))) = \
    {[0] = v, [n / 2] = v + 1, [n - 1] = v + 2};
#ifdef BIG
T(t1, 30000, 1) T(t2, 30000, 4) T(t3, 30000, 7)
#else
T(t1, 600, 1)
#endif
uint8_t ee[8] EEMEM = {0xDE, 0xAD, 0xBE, 0xEF, 1, 2, 3, 4};
volatile uint8_t sink;
int main(void) {
  sink = eeprom_read_byte(&ee[sink & 7]);
  for (;;) {}
}
)";
  struct Case {
    const char* chip;
    const char* flags;
    size_t atLeast;  // the program's size, so the tables are surely in it
  } cases[] = {{"ATtiny2313", "-mmcu=attiny2313", 600}, {"AT90CAN128", "-mmcu=at90can128 -DBIG", 90000}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.chip);
    SelectChip(FindChipByName(c.chip)->id);
    const std::string elf = Path("prog.elf");
    ASSERT_EQ(Run("avr-gcc -Os " + std::string(c.flags) + " -o " + elf + " " + Path("prog.c")), 0);
    ASSERT_EQ(Run("avr-objcopy -O ihex -R .eeprom " + elf + " " + Path("flash.hex")), 0);
    ASSERT_EQ(Run("avr-objcopy -O binary -R .eeprom " + elf + " " + Path("flash.bin")), 0);
    ASSERT_EQ(Run("avr-objcopy -O ihex -j .eeprom --change-section-lma .eeprom=0 " + elf + " " +
                  Path("eeprom.hex")),
              0);
    const std::vector<uint8_t> flash = ReadBytes(Path("flash.bin"));
    ASSERT_GE(flash.size(), c.atLeast);

    f.ClearRecords();
    ASSERT_TRUE(LoadHexFile(Path("flash.hex"), 1).ok);
    EXPECT_TRUE(std::equal(flash.begin(), flash.end(), ProgramImage.begin()));
    EXPECT_EQ(f.log.lines.back(), "Operation complete");
    ASSERT_TRUE(LoadHexFile(Path("eeprom.hex"), 2).ok);
    const uint8_t eeprom[] = {0xDE, 0xAD, 0xBE, 0xEF, 1, 2, 3, 4};
    EXPECT_TRUE(std::equal(std::begin(eeprom), std::end(eeprom), DataImage.begin()));
    EXPECT_EQ(f.log.lines.back(), "Operation complete");

    // What we save from it, avr-objcopy turns back into the same program.
    ASSERT_TRUE(SaveHexFile(Path("ours.hex"), 1).ok);
    ASSERT_EQ(Run("avr-objcopy -I ihex -O binary " + Path("ours.hex") + " " + Path("out.bin")), 0);
    const std::vector<uint8_t> back = ReadBytes(Path("out.bin"));
    ASSERT_EQ(back.size(), FlashSize);
    EXPECT_TRUE(std::equal(flash.begin(), flash.end(), back.begin()));
  }
}

// A bootloader's entry point is not 0, so avr-objcopy adds a start address record.
TEST_F(ToolFiles, AvrGccBootloaderLoads) {
  if (!Have("avr-gcc") || !Have("avr-objcopy")) GTEST_SKIP() << "avr-gcc missing";
  SelectChip(FindChipByName("AT90CAN32")->id);
  f.ClearRecords();
  std::ofstream(Path("boot.c")) << "volatile unsigned char sink;\nint main(void) { for (;;) ++sink; }\n";
  const std::string elf = Path("boot.elf");
  ASSERT_EQ(Run("avr-gcc -Os -mmcu=at90can32 -Wl,--section-start=.text=0x7000 -o " + elf + " " +
                Path("boot.c")),
            0);
  ASSERT_EQ(Run("avr-objcopy -O ihex -R .eeprom " + elf + " " + Path("boot.hex")), 0);
  ASSERT_EQ(Run("avr-objcopy -O binary -R .eeprom " + elf + " " + Path("boot.bin")), 0);
  ASSERT_EQ(Run("grep -qE '^:0400000[35]' " + Path("boot.hex")), 0) << "no start address record";
  const std::vector<uint8_t> program = ReadBytes(Path("boot.bin"));  // from 0x7000 on
  ASSERT_FALSE(program.empty());

  ASSERT_TRUE(LoadHexFile(Path("boot.hex"), 1).ok);
  EXPECT_TRUE(std::equal(program.begin(), program.end(), ProgramImage.begin() + 0x7000));
  EXPECT_EQ(f.log.lines, (std::vector<std::string>{"Loading program from file: " + Path("boot.hex"),
                                                   "Operation complete"}));
}

}  // namespace
}  // namespace quillet
