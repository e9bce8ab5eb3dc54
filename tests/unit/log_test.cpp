#include <gtest/gtest.h>

#include "support/Fakes.h"

namespace quillet {
namespace {

TEST(AddLog, PrefixAndTextJoinedWithNothingBetween) {
  test::CoreFixture f;
  struct Case {
    LogKind kind;
    const char* text;
    const char* line;  // nullptr: no line
  } cases[] = {
      {19, " with success.", "       Finished with success."},
      {6, " 0x44 0x00 0x00 0x53 0xAC", "Error executing commands:  0x44 0x00 0x00 0x53 0xAC"},
      {18, " erase the chip", "Trying to erase the chip"},
      {2, "", "Error. The COM-port is not available"},
      {15, " unknown", "Selected chip is  unknown"},
      {0, "calibration 0 = 0x9C", "calibration 0 = 0x9C"},
      {21, "x", nullptr},
      {1000, "x", nullptr},
  };
  for (const Case& c : cases) {
    f.log.lines.clear();
    AddLog(c.kind, c.text);
    if (c.line) {
      ASSERT_EQ(f.log.lines.size(), 1u) << c.kind;
      EXPECT_EQ(f.log.lines[0], c.line);
    } else {
      EXPECT_TRUE(f.log.lines.empty()) << c.kind;
    }
  }
}

TEST(LogTime, NoLeadingZeros) {
  test::CoreFixture f;
  f.port.now = {14, 7, 9};
  LogStartTime();
  f.port.now = {0, 0, 5};
  LogEndTime();
  EXPECT_EQ(f.log.lines, (std::vector<std::string>{"Start time: 14:7:9", "End time: 0:0:5"}));
}

}  // namespace
}  // namespace quillet
