#include "log/Rtf.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace quillet {
namespace {

struct EscapeCase {
  const char* name;
  std::string utf8;
  std::string rtf;
};

TEST(RtfEscape, Table) {
  const EscapeCase cases[] = {
      {"plain", "Trying to erase the chip", "Trying to erase the chip"},
      {"control words", R"(C:\a{b}c)", R"(C:\\a\{b\}c)"},
      {"latin-1 range", "\xC3\xA9\xC3\xBF", R"(\'e9\'ff)"},
      {"cp1252 extra", "\xE2\x82\xAC\xE2\x80\x93", R"(\'80\'96)"},
      {"outside cp1252", "\xCE\xA9", R"(\u937?)"},
      {"above 0x7FFF is negative", "\xEF\xBF\xBD", R"(\u-3?)"},
      {"astral plane as surrogates", "\xF0\x9F\x98\x80", R"(\u-10179?\u-8704?)"},
      {"stray byte", "a\xFF" "b", R"(a\u-3?b)"},
      {"truncated sequence", "a\xC3", R"(a\u-3?)"},
      {"overlong encoding", "\xC0\xAF", R"(\u-3?\u-3?)"},
      {"tab", "a\tb", R"(a\tab b)"},
  };
  for (const EscapeCase& c : cases) EXPECT_EQ(RtfEscape(c.utf8), c.rtf) << c.name;
}

TEST(LogToRtf, OneParagraphPerLineInOneFont) {
  const std::string rtf = LogToRtf({"The COM-port is open: /dev/ttyS2", "", "{x}"});
  EXPECT_EQ(rtf.rfind("{\\rtf1\\ansi\\ansicpg1252", 0), 0u);
  EXPECT_NE(rtf.find("{\\fonttbl{\\f0\\fmodern"), std::string::npos);
  EXPECT_NE(rtf.find(" The COM-port is open: /dev/ttyS2\\par\r\n\\par\r\n\\{x\\}\\par\r\n}"),
            std::string::npos);

  // Braces balance once the escaped ones are left out, and the document is 7-bit.
  int depth = 0;
  for (size_t i = 0; i < rtf.size(); ++i) {
    if (rtf[i] == '\\') {
      ++i;
      continue;
    }
    if (rtf[i] == '{') ++depth;
    if (rtf[i] == '}') --depth;
    ASSERT_GE(depth, 0);
  }
  EXPECT_EQ(depth, 0);
  EXPECT_TRUE(std::all_of(rtf.begin(), rtf.end(), [](char c) { return (c & 0x80) == 0; }));
}

TEST(LogToRtf, EmptyLogHasNoParagraphs) {
  EXPECT_EQ(LogToRtf({}).find("\\par\r\n"), std::string::npos);
}

}  // namespace
}  // namespace quillet
