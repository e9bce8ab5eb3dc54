#include <gtest/gtest.h>

#include <algorithm>
#include <sys/resource.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <random>
#include <set>
#include <sstream>

#include "chips/Catalogue.h"
#include "image/HexFiles.h"
#include "image/Images.h"
#include "support/Fakes.h"

namespace quillet {
namespace {

namespace fs = std::filesystem;

class HexFiles : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string tmpl = (fs::temp_directory_path() / "quillet-hexfiles-XXXXXX").string();
    ASSERT_NE(mkdtemp(tmpl.data()), nullptr);
    dir = tmpl;
  }
  void TearDown() override { fs::remove_all(dir); }

  std::string Path(const std::string& name) const { return (dir / name).string(); }
  static void Write(const std::string& path, const std::string& content) {
    std::ofstream(path, std::ios::binary) << content;
  }
  static std::string Read(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }
  static std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::string line;
    std::istringstream in(text);
    while (std::getline(in, line)) lines.push_back(line);
    return lines;
  }
  void Select(const char* chip) {
    SelectChip(FindChipByName(chip)->id);
    f.ClearRecords();
  }

  test::CoreFixture f;
  fs::path dir;
};

TEST_F(HexFiles, ErasedAt90s1200ProgramFile) {
  Select("AT90S1200");
  std::string path = Path("p.hex");
  ASSERT_TRUE(SaveHexFile(path, 1).ok);
  std::string text = Read(path);
  std::vector<std::string> lines = Lines(text);
  ASSERT_EQ(lines.size(), 1u + 128 + 1);
  EXPECT_EQ(lines[0], ":020000040000FA\r");
  EXPECT_EQ(lines[1], ":08000000FFFFFFFFFFFFFFFF00\r");
  EXPECT_EQ(lines[2], ":08000800FFFFFFFFFFFFFFFFF8\r");
  EXPECT_EQ(lines[128], ":0803F800FFFFFFFFFFFFFFFF05\r");
  EXPECT_EQ(lines[129], ":00000001FF");  // no line break after the end record
  EXPECT_EQ(f.log.lines,
            (std::vector<std::string>{"Saving program to file: " + path, "Operation complete"}));
  EXPECT_EQ(f.views.calls, (std::vector<std::string>{"v2i 1 1"}));
  ASSERT_EQ(f.progress.dialogs.size(), 1u);
  EXPECT_EQ(f.progress.dialogs[0].positions, (std::vector<int>{0}));
  EXPECT_TRUE(f.progress.dialogs[0].freed);
}

TEST_F(HexFiles, RecordsAsWritten) {
  Select("AT90CAN128");
  f.views.page = 1;
  const uint8_t bytes[] = {0x12, 0x34, 0x56, 0x78, 0x9A, 0xBC, 0xDE, 0xF0};
  std::copy(std::begin(bytes), std::end(bytes), ProgramImage.begin() + 0x10);
  std::string path = Path("can.hex");
  ASSERT_TRUE(SaveHexFile(path, 1).ok);
  std::vector<std::string> lines = Lines(Read(path));
  ASSERT_EQ(lines.size(), 2u + 16384 + 1);
  EXPECT_EQ(lines[0], ":020000040000FA\r");
  EXPECT_EQ(lines[3], ":08001000123456789ABCDEF0B0\r");
  EXPECT_EQ(lines[8193], ":020000040001F9\r");
  EXPECT_EQ(lines[8194], ":08000000FFFFFFFFFFFFFFFF00\r");
  EXPECT_EQ(f.views.calls, (std::vector<std::string>{"v2i 2 1"}));
  // 128 steps of 1024 bytes, never 100.
  ASSERT_EQ(f.progress.dialogs[0].positions.size(), 128u);
  EXPECT_EQ(f.progress.dialogs[0].positions[64], 50);
  EXPECT_EQ(f.progress.dialogs[0].positions.back(), 99);

  // Data memory: no address records at all.
  f.ClearRecords();
  f.views.calls.clear();
  std::string eep = Path("can.eep");
  ASSERT_TRUE(SaveHexFile(eep, 2).ok);
  std::vector<std::string> data = Lines(Read(eep));
  ASSERT_EQ(data.size(), 512u + 1);
  EXPECT_EQ(data[0], ":08000000FFFFFFFFFFFFFFFF00\r");
  EXPECT_EQ(f.log.lines[0], "Saving data to file: " + eep);
  EXPECT_EQ(f.views.calls, (std::vector<std::string>{"v2i 4 2"}));

  EXPECT_EQ(HexFileText(bytes, 8, false), ":08000000123456789ABCDEF0C0\r\n:00000001FF");
  // A length that is no multiple of 8 still ends in a valid record.
  EXPECT_EQ(HexFileText(bytes, 3, false), ":0300000012345661\r\n:00000001FF");
}

TEST_F(HexFiles, SaveWithoutChip) {
  ASSERT_TRUE(SaveHexFile(Path("none.hex"), 1).ok);
  ASSERT_TRUE(SaveBinaryFile(Path("none.bin"), 1).ok);
  EXPECT_EQ(Read(Path("none.hex")), ":00000001FF");
  EXPECT_EQ(Read(Path("none.bin")), "");
  EXPECT_EQ(f.log.lines[1], "Operation complete");
  EXPECT_EQ(f.log.lines[3], "Operation complete");
}

// A 4096-byte chip (AT90S4414) loading hex text; program image pre-filled with 0x11.
TEST_F(HexFiles, LoadRecordsAndStopReasons) {
  // 255 bytes of 0x5A at 0x100: a record of the longest line, 521 characters.
  auto Longest = [] {
    std::string record;
    const std::vector<uint8_t> data(255, 0x5A);
    AppendHexRecord(record, 0, 0x100, data.data(), 255, false);
    return record;
  };
  struct Case {
    const char* name;
    std::string text;
    std::vector<std::pair<uint32_t, uint8_t>> bytes;  // expected image bytes
    std::vector<std::string> log;                     // after the loading line
  } cases[] = {
      {"data and end", ":0400100001020304E2\r\n:00000001FF",
       {{0x10, 1}, {0x13, 4}, {0x14, 0x11}, {0x0F, 0x11}}, {"Operation complete"}},
      {"lower case, LF only", ":02002000abcd66\n:00000001ff\n",
       {{0x20, 0xAB}, {0x21, 0xCD}}, {"Operation complete"}},
      {"CR only and blank lines", "\r:01003000428D\r\r  \r:00000001FF\r",
       {{0x30, 0x42}}, {"Operation complete"}},
      {"segment offset", ":020000020010EC\r\n:010005007783\r\n:00000001FF",
       {{0x105, 0x77}, {0x05, 0x11}}, {"Operation complete"}},
      {"linear and segment offsets add", ":020000040000FA\r\n:020000020020DC\r\n:010001009965\r\n:00000001FF",
       {{0x201, 0x99}}, {"Operation complete"}},
      {"data at 0x1000 of a 4096-byte chip", ":10100000000102030405060708090A0B0C0D0E0F68\r\n:00000001FF",
       {{0xFFF, 0x11}},
       {"Warning: 16 bytes beyond the chip's memory were not loaded", "Operation complete"}},
      {"straddles the end", ":040FFE00A1A2A3A465\r\n:00000001FF",
       {{0xFFE, 0xA1}, {0xFFF, 0xA2}},
       {"Warning: 2 bytes beyond the chip's memory were not loaded", "Operation complete"}},
      // Start addresses, as objcopy writes for a program whose entry point is not 0.
      {"type 3", ":0100000022DD\r\n:0400000300001000E9\r\n:0100010033CB\r\n:00000001FF",
       {{0, 0x22}, {1, 0x33}}, {"Operation complete"}},
      {"type 5 in the middle", ":0100000022DD\r\n:04000005000000C037\r\n:0100010033CB\r\n:00000001FF",
       {{0, 0x22}, {1, 0x33}}, {"Operation complete"}},
      {"start address of the wrong length", ":0100000022DD\r\n:03000003000010EA\r\n:00000001FF",
       {{0, 0x22}}, {"Wrong file (unknown format)"}},
      {"start address with a bad checksum", ":04000005000000C038\r\n:00000001FF", {},
       {"Wrong file (checksum error)"}},
      {"longest record, then 600 blanks", Longest() + std::string(600, ' ') + "\r\n:00000001FF",
       {{0x100, 0x5A}, {0x1FE, 0x5A}, {0x1FF, 0x11}}, {"Operation complete"}},
      {"522 characters", ":0100000022DD\r\n" + Longest() + "0\r\n:00000001FF",
       {{0, 0x22}, {0x100, 0x11}}, {"Wrong file (unknown format)"}},
      {"checksum error", ":0100000022DD\r\n:0100010033CC\r\n:00000001FF",
       {{0, 0x22}, {1, 0x11}}, {"Wrong file (checksum error)"}},
      {"no colon", ":0100000022DD\r\n0100010033CB\r\n:00000001FF",
       {{0, 0x22}, {1, 0x11}}, {"Wrong file (unknown format)"}},
      {"too short for its count", ":0100000022DD\r\n:0200010033CA\r\n:00000001FF",
       {{0, 0x22}, {1, 0x11}}, {"Wrong file (unknown format)"}},
      {"non-hex character", ":0100000022DD\r\n:01000100G3CB\r\n:00000001FF",
       {{0, 0x22}, {1, 0x11}}, {"Wrong file (unknown format)"}},
      {"text after the checksum", ":0100000022DDxyz\r\n:00000001FF", {{0, 0x11}},
       {"Wrong file (unknown format)"}},
      {"address record of the wrong length", ":0100000400FB\r\n:00000001FF", {},
       {"Wrong file (unknown format)"}},
      {"no end record", ":0100000022DD\r\n", {{0, 0x22}}, {}},
      {"dropped without end record", ":01100000EE01\r\n", {},
       {"Warning: 1 byte beyond the chip's memory was not loaded"}},
  };
  Select("AT90S4414");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ProgramImage.fill(0x11);
    f.ClearRecords();
    f.views.calls.clear();
    f.progress.dialogs.clear();
    std::string path = Path("load.hex");
    Write(path, c.text);
    ASSERT_TRUE(LoadHexFile(path, 1).ok);
    std::vector<std::string> log{"Loading program from file: " + path};
    log.insert(log.end(), c.log.begin(), c.log.end());
    EXPECT_EQ(f.log.lines, log);
    for (auto [address, value] : c.bytes) EXPECT_EQ(ProgramImage[address], value) << address;
    // The bytes loaded up to a bad record are shown as well.
    EXPECT_EQ(f.views.calls, (std::vector<std::string>{"i2v 1 1"}));
    EXPECT_EQ(f.progress.Alive(), 0);
  }
}

TEST_F(HexFiles, HexProgressEvery1024Lines) {
  Select("ATtiny13");
  std::string text;
  for (int i = 0; i < 2047; ++i) text += "\r\n";
  text += ":00000001FF";
  Write(Path("l.hex"), text);
  ASSERT_TRUE(LoadHexFile(Path("l.hex"), 1).ok);
  // Lines 0 and 1024, as the share of the file's 4105 bytes read by their ends (2 and 2050);
  // the end record stops before a position is set for it.
  EXPECT_EQ(f.progress.dialogs[0].positions, (std::vector<int>{0, 49}));
}

TEST_F(HexFiles, RoundTripForEveryChipSize) {
  std::set<std::pair<uint32_t, int>> done;  // (size, image)
  std::mt19937 random(7);
  for (const ChipEntry& chip : Catalogue()) {
    for (int image : {1, 2}) {
      uint32_t size = image == 1 ? chip.flashSize : chip.eepromSize;
      if (!done.insert({size, image}).second) continue;
      SCOPED_TRACE(std::string(chip.name) + " image " + std::to_string(image));
      Select(chip.name);
      uint8_t* bytes = image == 1 ? ProgramImage.data() : DataImage.data();
      const uint32_t capacity = image == 1 ? kProgramImageSize : kDataImageSize;
      const uint32_t past = std::min(size + 16, capacity);  // the largest chips fill the image
      std::vector<uint8_t> original(size);
      for (uint8_t& b : original) b = static_cast<uint8_t>(random());
      for (bool hex : {true, false}) {
        std::copy(original.begin(), original.end(), bytes);
        std::string path = Path(hex ? "rt.hex" : "rt.bin");
        ASSERT_TRUE((hex ? SaveHexFile : SaveBinaryFile)(path, image).ok);
        std::fill(bytes, bytes + past, 0x00);
        ASSERT_TRUE((hex ? LoadHexFile : LoadBinaryFile)(path, image).ok);
        EXPECT_TRUE(std::equal(original.begin(), original.end(), bytes));
        if (size < capacity) {
          EXPECT_EQ(bytes[size], 0x00);  // nothing past the used length
        }
        EXPECT_EQ(f.log.lines.back(), "Operation complete");
      }
    }
  }
}

TEST_F(HexFiles, BinaryShorterAndLongerThanMemory) {
  Select("ATtiny13");
  ProgramImage.fill(0x11);
  Write(Path("short.bin"), std::string(100, '\x5A'));
  ASSERT_TRUE(LoadBinaryFile(Path("short.bin"), 1).ok);
  EXPECT_EQ(ProgramImage[99], 0x5A);
  EXPECT_EQ(ProgramImage[100], 0x11);
  EXPECT_EQ(f.log.lines, (std::vector<std::string>{
                             "Loading program from file: " + Path("short.bin"), "Operation complete"}));

  f.ClearRecords();
  f.views.calls.clear();
  Write(Path("long.bin"), std::string(64, '\x01') + std::string(4096, '\x02'));
  ASSERT_TRUE(LoadBinaryFile(Path("long.bin"), 2).ok);  // 64-byte EEPROM
  EXPECT_EQ(DataImage[63], 0x01);
  EXPECT_EQ(DataImage[64], 0xFF);
  EXPECT_EQ(f.log.lines, (std::vector<std::string>{
                             "Loading data from file: " + Path("long.bin"),
                             "Warning: 4096 bytes beyond the chip's memory were not loaded",
                             "Operation complete"}));
  EXPECT_EQ(f.views.calls, (std::vector<std::string>{"i2v 3 2"}));

  f.ClearRecords();
  Write(Path("one.bin"), std::string(65, '\x03'));
  ASSERT_TRUE(LoadBinaryFile(Path("one.bin"), 2).ok);
  EXPECT_EQ(f.log.lines[1], "Warning: 1 byte beyond the chip's memory was not loaded");
}

// A 40 GB file picked by mistake once ended the program with std::bad_alloc: loading takes
// memory in proportion to the chip, whatever the file's size. The file is sparse: no disk.
TEST_F(HexFiles, HugeFilesTakeNoMoreMemory) {
  constexpr uint64_t kSize = 40ULL << 30;
  struct Case {
    const char* name;
    bool hex;
    std::string start;  // the file's first bytes; zeros follow
    uint8_t byte0;
    std::vector<std::string> log;  // after the loading line
  } cases[] = {
      {"binary", false, "\x42", 0x42,
       {"Warning: 42949671936 bytes beyond the chip's memory were not loaded", "Operation complete"}},
      {"zeros as HEX", true, "", 0x11, {"Wrong file (unknown format)"}},
      {"a record, then zeros as HEX", true, ":0100000022DD\r\n", 0x22, {"Wrong file (unknown format)"}},
  };
  Select("ATtiny13");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string path = Path("huge");
    Write(path, c.start);
    std::error_code error;
    fs::resize_file(path, kSize, error);
    if (error) GTEST_SKIP() << "no sparse file of 40 GB here: " << error.message();
    ProgramImage.fill(0x11);
    f.ClearRecords();
    rusage before{}, after{};
    getrusage(RUSAGE_SELF, &before);
    ASSERT_TRUE((c.hex ? LoadHexFile : LoadBinaryFile)(path, 1).ok);
    getrusage(RUSAGE_SELF, &after);
    EXPECT_LT(after.ru_maxrss - before.ru_maxrss, 4096);  // KB
    std::vector<std::string> log{"Loading program from file: " + path};
    log.insert(log.end(), c.log.begin(), c.log.end());
    EXPECT_EQ(f.log.lines, log);
    EXPECT_EQ(ProgramImage[0], c.byte0);
    EXPECT_EQ(ProgramImage[1], c.hex ? 0x11 : 0x00);
  }
}

// A missing file, a directory or an uncreatable path must not pass for success.
TEST_F(HexFiles, FilesThatCannotBeOpenedOrCreated) {
  Select("ATtiny13");
  std::string missing = Path("missing.hex");
  struct Case {
    const char* name;
    std::function<FileResult()> run;
    std::vector<std::string> log;
    std::string message;
  } cases[] = {
      {"binary load", [&] { return LoadBinaryFile(missing, 1); }, {},
       "Cannot open file \"" + missing + "\": No such file or directory"},
      {"hex load", [&] { return LoadHexFile(missing, 2); }, {"Loading data from file: " + missing},
       "Cannot open file \"" + missing + "\": No such file or directory"},
      {"hex save", [&] { return SaveHexFile(Path("no/x.hex"), 1); },
       {"Saving program to file: " + Path("no/x.hex")},
       "Cannot create file \"" + Path("no/x.hex") + "\": the folder " + Path("no") + " does not exist"},
      {"binary save", [&] { return SaveBinaryFile(dir.string(), 2); },
       {"Saving data to file: " + dir.string()},
       "Cannot create file \"" + dir.string() + "\": Is a directory"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    f.ClearRecords();
    f.views.calls.clear();
    FileResult r = c.run();
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.message, c.message);
    EXPECT_EQ(f.log.lines, c.log);
    EXPECT_EQ(f.progress.Alive(), 0);
    for (const std::string& call : f.views.calls) EXPECT_EQ(call.substr(0, 3), "v2i");
  }

  // Through the menu command the failure becomes a message box.
  f.prompt.files.push_back(FileChoice{missing, 1});
  LoadFileCommand(1);
  EXPECT_EQ(f.prompt.messages,
            (std::vector<std::string>{"Error|Cannot open file \"" + missing +
                                      "\": No such file or directory"}));
}

TEST_F(HexFiles, SaveCommandFilterDecidesFormatAndExtension) {
  struct Case {
    const char* typed;
    int filter;
    const char* written;
    bool hex;
  } cases[] = {
      {"a", 1, "a.hex", true},           {"b.hex", 1, "b.hex", true},
      {"data.bin", 1, "data.bin.hex", true},
      {"d", 2, "d.eep", true},           {"e.Eep", 2, "e.Eep", true},
      {"f.hex", 2, "f.hex.eep", true},   {"g", 3, "g.bin", false},
      {"h.BIN", 3, "h.BIN", false},      {"i.hex", 3, "i.hex.bin", false},
  };
  Select("AT90S1200");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.typed);
    f.prompt.files.push_back(FileChoice{Path(c.typed), c.filter});
    SaveFileCommand(1);
    std::string content = Read(Path(c.written));
    EXPECT_EQ(content.size(), c.hex ? 17u + 128 * 29 + 11 : 1024u);
    EXPECT_EQ(f.log.lines.back(), "Operation complete");
  }
  EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator()), 9);

  // Cancelled: nothing at all.
  f.ClearRecords();
  SaveFileCommand(2);
  EXPECT_TRUE(f.log.lines.empty());
}

TEST_F(HexFiles, LoadCommandNameDecidesFormat) {
  Select("AT90S1200");
  const std::string hex = ":0100000042BD\r\n:00000001FF";
  struct Case {
    const char* name;
    bool binary;
  } cases[] = {{"image.BIN", true}, {"image.eep", false}, {"image.txt", false}, {"bin", true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ProgramImage.fill(0xFF);
    Write(Path(c.name), hex);
    f.prompt.files.push_back(FileChoice{Path(c.name), 3});  // the filter plays no part
    LoadFileCommand(1);
    // Read as binary, the first byte is the colon.
    EXPECT_EQ(ProgramImage[0], c.binary ? ':' : 0x42);
  }

  // Cancelled: nothing. No chip: the log says so and no file is read.
  ResetSelectionState();
  f.ClearRecords();
  LoadFileCommand(1);
  EXPECT_TRUE(f.log.lines.empty());
  f.prompt.files.push_back(FileChoice{Path("x.hex"), 1});
  ProgramImage.fill(0xFF);
  LoadFileCommand(1);
  EXPECT_EQ(f.log.lines, (std::vector<std::string>{"No chip selected"}));
  EXPECT_EQ(ProgramImage[0], 0xFF);
}

}  // namespace
}  // namespace quillet
