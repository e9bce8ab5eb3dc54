// Interchange with srecord's srec_cat: files it writes load into the right addresses, and
// the files we write convert back to the image.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>

#include "chips/Chipfunctions.h"
#include "image/HexFiles.h"
#include "image/Images.h"
#include "support/Fakes.h"

namespace quillet {
namespace {

namespace fs = std::filesystem;

class SrecordFiles : public ::testing::Test {
 protected:
  void SetUp() override {
    if (std::system("command -v srec_cat >/dev/null 2>&1") != 0) GTEST_SKIP() << "srec_cat missing";
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

TEST_F(SrecordFiles, FilesWrittenBySrecCatLoad) {
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

TEST_F(SrecordFiles, DataAtAnOffsetAndAStartAddress) {
  SelectChip(FindChipByName("AT90CAN128")->id);
  f.ClearRecords();
  // 256 bytes at 0x1FF80: the last 128 fit, the rest lies beyond the chip's memory. The start
  // address record srec_cat adds ends loading before its end record.
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
                             "Wrong file (from 80386)"}));
}

TEST_F(SrecordFiles, OurFilesConvertBackToTheImage) {
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

}  // namespace
}  // namespace quillet
