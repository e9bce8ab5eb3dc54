#include <gtest/gtest.h>

#include <vector>

#include "image/Dump.h"

namespace quillet {
namespace {

std::u16string U16(const std::string& ascii) { return std::u16string(ascii.begin(), ascii.end()); }

TEST(Dump, ErasedAt90s1200View) {
  std::vector<uint8_t> bytes(1024, 0xFF);
  std::u16string text = BuildDump(bytes.data(), bytes.size());
  std::u16string rest =
      U16(": FF FF FF FF FF FF FF FF FF FF FF FF FF FF FF FF   |   ") + std::u16string(16, u'\u00FF');
  EXPECT_EQ(text.substr(0, 2 * kViewLineStride), U16("00000000") + rest + u'\n' + U16("00000010") + rest + u'\n');
  ASSERT_EQ(text.size(), 64u * 81 - 1);
  EXPECT_NE(text.back(), u'\n');
  for (int line = 0; line < 64; ++line) {
    EXPECT_EQ(text[ViewPosition(line, kDumpLineLength) - 1], u'\u00FF');
    if (line < 63) {
      EXPECT_EQ(text[ViewPosition(line, kDumpLineLength)], u'\n') << line;
    }
  }
  EXPECT_EQ(text.substr(ViewPosition(63, 0), 8), U16("000003F0"));
  EXPECT_EQ(BuildDump(bytes.data(), 0), u"");
}

TEST(Dump, FieldsAndCharactersOfEdgeBytes) {
  struct Case {
    uint8_t byte;
    const char* digits;
    char16_t shown;
  } cases[] = {
      {0x00, "00", 31},       {0x0A, "0A", 31},       {0x1E, "1E", 31},     {0x1F, "1F", 0x1F},
      {0x41, "41", u'A'},     {0x7F, "7F", 0x7F},     {0x80, "80", 0x20AC}, {0x81, "81", 0x81},
      {0x8D, "8D", 0x8D},     {0x8F, "8F", 0x8F},     {0x90, "90", 0x90},   {0x9D, "9D", 0x9D},
      {0x9F, "9F", 0x0178},   {0xA0, "A0", 0xA0},     {0xFF, "FF", 0xFF},
  };
  std::vector<uint8_t> bytes(16 * std::size(cases));
  for (size_t i = 0; i < std::size(cases); ++i) {
    bytes.assign(bytes.size(), 0x55);
    bytes[i] = cases[i].byte;  // line i / 16, field i % 16
    std::u16string text = BuildDump(bytes.data(), bytes.size());
    int line = static_cast<int>(i / 16), k = static_cast<int>(i % 16);
    EXPECT_EQ(text.substr(ViewPosition(line, HexColumn(k)), 2), U16(cases[i].digits));
    EXPECT_EQ(text[ViewPosition(line, CharColumn(k))], cases[i].shown) << int(cases[i].byte);
    EXPECT_EQ(DisplayChar(cases[i].byte), cases[i].shown);
  }
}

TEST(Dump, BuildThenParseGivesTheBytesBack) {
  std::vector<uint8_t> bytes(4096);
  const uint8_t edges[] = {0x00, 0x0A, 0x1E, 0x1F, 0x41, 0x80, 0xFF};
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = i < 256 ? static_cast<uint8_t>(i) : edges[i % 7];
  std::u16string text = BuildDump(bytes.data(), bytes.size());
  std::vector<uint8_t> back(bytes.size(), 0x33);
  EXPECT_TRUE(ParseDump(text, back.data(), back.size()));
  EXPECT_EQ(back, bytes);
}

TEST(Dump, ParseReadsTwoDigitsOfEitherCaseOnly) {
  std::vector<uint8_t> bytes(32, 0x12);
  std::u16string text = BuildDump(bytes.data(), bytes.size());
  {
    std::u16string t = text;
    t.replace(HexColumn(0), 2, u"ab");
    t.replace(HexColumn(1), 2, u"Cd");
    t[CharColumn(2)] = u'Z';  // the character column is display only
    std::vector<uint8_t> out(32);
    ASSERT_TRUE(ParseDump(t, out.data(), out.size()));
    EXPECT_EQ(out[0], 0xAB);
    EXPECT_EQ(out[1], 0xCD);
    EXPECT_EQ(out[2], 0x12);
  }
  const char16_t* bad[] = {u"G1", u"1 ", u" 1", u"-1", u"\u00FF1"};
  for (const char16_t* field : bad) {
    std::u16string t = text;
    t.replace(ViewPosition(1, HexColumn(3)), 2, field);
    std::vector<uint8_t> out(32, 0x77);
    EXPECT_FALSE(ParseDump(t, out.data(), out.size()));
    EXPECT_EQ(out[19], 0x77);
    EXPECT_EQ(out[18], 0x12);
    EXPECT_EQ(out[20], 0x12);
  }
  // A text too short for the count: the missing bytes stay and the result is false.
  std::vector<uint8_t> out(48, 0x77);
  EXPECT_FALSE(ParseDump(text, out.data(), out.size()));
  EXPECT_EQ(out[31], 0x12);
  EXPECT_EQ(out[32], 0x77);
}

TEST(Dump, IdBytesShowSignatureReversed) {
  EXPECT_EQ(IdBytesText(0x0A911E), "0A 91 1E");
  EXPECT_EQ(IdBytesText(102430), "01 90 1E");
}

}  // namespace
}  // namespace quillet
