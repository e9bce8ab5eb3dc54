// The catalogue and chip selection: every row's values as the datasheets and the menu give
// them, typed here independently of the table in chips/ so that a typo in either shows.
#include <gtest/gtest.h>

#include "chips/Catalogue.h"
#include "chips/ChipModule.h"
#include "image/Images.h"
#include "support/Fakes.h"

namespace quillet {
namespace {

struct Row {
  const char* name;
  uint8_t sig[3];
  uint32_t flash, eeprom;
  int calibration;
  const ChipModule* module;
  const char* fuseLock;  // FuseLockBytes after selection
};

// clang-format off
const Row kRows[] = {
  {"AT90S1200",  {0x1E, 0x90, 0x01}, 1024,   64,   0, &At90s1200,  "DF FF FF FF FF FF FF FF"},
  {"AT90S2313",  {0x1E, 0x91, 0x01}, 2048,   128,  0, &At90s2313,  "DF FF FF FF FF FF FF FF"},
  {"AT90S2323",  {0x1E, 0x91, 0x02}, 2048,   128,  0, &At90s2323,  "DE FF FF FF FF FF FF FF"},
  {"AT90S2333",  {0x1E, 0x91, 0x05}, 2048,   128,  0, &At90s2333,  "DA FF FF FF FF FF FF FF"},
  {"AT90S2343",  {0x1E, 0x91, 0x03}, 2048,   128,  0, &At90s2343,  "DE FF FF FF FF FF FF FF"},
  {"AT90S4414",  {0x1E, 0x92, 0x01}, 4096,   256,  0, &At90s4414,  "DF FF FF FF FF FF FF FF"},
  {"AT90S4433",  {0x1E, 0x92, 0x03}, 4096,   256,  0, &At90s2333,  "DA FF FF FF FF FF FF FF"},
  {"AT90S4434",  {0x1E, 0x92, 0x02}, 4096,   256,  0, &At90s4434,  "DF FF FF FF FF FF FF FF"},
  {"AT90S8515",  {0x1E, 0x93, 0x01}, 8192,   512,  0, &At90s4414,  "DF FF FF FF FF FF FF FF"},
  {"AT90S8535",  {0x1E, 0x93, 0x03}, 8192,   512,  0, &At90s4434,  "DF FF FF FF FF FF FF FF"},
  {"AT90CAN32",  {0x1E, 0x95, 0x81}, 32768,  1024, 1, &At90can32,  "62 99 FF FF FF FF FF FF"},
  {"AT90CAN64",  {0x1E, 0x96, 0x81}, 65536,  2048, 1, &At90can32,  "62 99 FF FF FF FF FF FF"},
  {"AT90CAN128", {0x1E, 0x97, 0x81}, 131072, 4096, 1, &At90can32,  "62 99 FF FF FF FF FF FF"},
  {"ATtiny12",   {0x1E, 0x90, 0x05}, 1024,   64,   1, &Attiny12,   "52 FF FF FF FF FF FF FF"},
  {"ATtiny13",   {0x1E, 0x90, 0x07}, 1024,   64,   2, &Attiny13,   "6A FF FF FF FF FF FF FF"},
  {"ATtiny15",   {0x1E, 0x90, 0x06}, 1024,   64,   1, &Attiny15,   "5C FF FF FF FF FF FF FF"},
  {"ATtiny22",   {0x1E, 0x91, 0x06}, 2048,   128,  1, &Attiny22,   "DE FF FF FF FF FF FF FF"},
  {"ATtiny2313", {0x1E, 0x91, 0x0A}, 2048,   128,  2, &Attiny2313, "64 DF FF FF FF FF FF FF"},
  {"ATtiny25",   {0x1E, 0x91, 0x08}, 2048,   128,  2, &Attiny25,   "62 DF FF FF FF FF FF FF"},
  {"ATtiny26",   {0x1E, 0x91, 0x09}, 2048,   128,  4, &Attiny26,   "E1 F7 FF FF FF FF FF FF"},
  {"ATtiny261",  {0x1E, 0x91, 0x0C}, 2048,   128,  1, &Attiny261,  "62 DF FF FF FF FF FF FF"},
  {"ATtiny45",   {0x1E, 0x92, 0x06}, 4096,   256,  2, &Attiny25,   "62 DF FF FF FF FF FF FF"},
  {"ATtiny461",  {0x1E, 0x92, 0x08}, 4096,   256,  1, &Attiny261,  "62 DF FF FF FF FF FF FF"},
  {"ATtiny85",   {0x1E, 0x93, 0x0B}, 8192,   512,  2, &Attiny25,   "62 DF FF FF FF FF FF FF"},
  {"ATtiny861",  {0x1E, 0x93, 0x0D}, 8192,   512,  1, &Attiny261,  "62 DF FF FF FF FF FF FF"},
};
// clang-format on

TEST(Catalogue, EveryRowInMenuOrder) {
  ASSERT_GE(Catalogue().size(), std::size(kRows));  // the first rows; the newer chips follow
  for (size_t i = 0; i < std::size(kRows); ++i) {
    const Row& r = kRows[i];
    const ChipEntry& e = Catalogue()[i];
    SCOPED_TRACE(r.name);
    EXPECT_STREQ(e.name, r.name);
    EXPECT_EQ(e.id, MakeChipId(r.sig[0], r.sig[1], r.sig[2]));
    EXPECT_EQ(e.module, r.module);
    EXPECT_STREQ(e.submenu, i < 13 ? "AT90..." : "AVR tiny");
  }
  EXPECT_EQ(FindChip(102430)->name, std::string("AT90S1200"));  // 0x01901E
}

TEST(SelectChip, SetsTheStateAndLogsTheName) {
  for (const Row& r : kRows) {
    SCOPED_TRACE(r.name);
    test::CoreFixture f;
    ProgramImage.fill(0x12);
    DataImage.fill(0x34);
    SelectChip(MakeChipId(r.sig[0], r.sig[1], r.sig[2]));
    EXPECT_EQ(ChipName, r.name);
    EXPECT_EQ(PictureFile, std::string(r.name) + ".jpg");
    EXPECT_EQ(FlashSize, r.flash);
    EXPECT_EQ(EepromSize, r.eeprom);
    EXPECT_EQ(CalibrationCount, r.calibration);
    EXPECT_EQ(test::Hex({FuseLockBytes.begin(), FuseLockBytes.end()}), r.fuseLock);
    EXPECT_EQ(f.log.lines, std::vector<std::string>{std::string("Selected chip is  ") + r.name});
    // Both whole images erased, not only the chip's size.
    EXPECT_EQ(ProgramImage[kProgramImageSize - 1], 0xFF);
    EXPECT_EQ(DataImage[kDataImageSize - 1], 0xFF);
    EXPECT_EQ(CalibrationBytes[7], 0xFF);
  }
}

TEST(SelectChip, NoChipAndUnknownKeepTheSelection) {
  test::CoreFixture f;
  SelectChip(692510);
  FuseLockBytes[0] = 0x00;
  f.log.lines.clear();
  SelectChip(0);
  SelectChip(0xFFFFFF);  // what an empty socket answers
  EXPECT_EQ(f.log.lines, (std::vector<std::string>{"No chip selected", "Selected chip is  unknown"}));
  EXPECT_EQ(SelectedChip, 692510);
  EXPECT_EQ(FuseLockBytes[0], 0x00);
}

}  // namespace
}  // namespace quillet
