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
      {LogKind::Finished, " with success.", "       Finished with success."},
      {LogKind::CommandError, " 0x44 0x00 0x00 0x53 0xAC", "Error executing commands:  0x44 0x00 0x00 0x53 0xAC"},
      {LogKind::Trying, " erase the chip", "Trying to erase the chip"},
      {LogKind::PortUnavailable, "", "Error. The COM-port is not available"},
      {LogKind::SelectedChip, " unknown", "Selected chip is  unknown"},
      {LogKind::Text, "calibration 0 = 0x9C", "calibration 0 = 0x9C"},
      {LogKind::NotAvailable, "", "Command is not available for this chip"},
      {static_cast<LogKind>(21), "x", nullptr},
      {static_cast<LogKind>(1000), "x", nullptr},
  };
  for (const Case& c : cases) {
    f.log.lines.clear();
    AddLog(c.kind, c.text);
    if (c.line) {
      ASSERT_EQ(f.log.lines.size(), 1u) << static_cast<unsigned>(c.kind);
      EXPECT_EQ(f.log.lines[0], c.line);
    } else {
      EXPECT_TRUE(f.log.lines.empty()) << static_cast<unsigned>(c.kind);
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
