// The gateway firmware's command parser, run on the host: what each byte stream makes the
// firmware do, and the answers it sends.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "firmware/GatewayParser.h"

namespace quillet::firmware {
namespace {

// A target that sends back each instruction byte plus one while it shifts.
struct Session {
  Gateway g;
  std::string actions;  // one letter per action: S etup, H igh, L ow, I nstruction, X ecute, R eadBack, - ignored
  std::vector<uint8_t> answers;
  std::vector<std::vector<uint8_t>> shifted;

  void Feed(const std::vector<uint8_t>& bytes) {
    for (uint8_t b : bytes) {
      switch (firmware::Feed(g, b)) {
        case Action::None: break;
        case Action::Ignored: actions += '-'; break;
        case Action::Setup: actions += 'S'; break;
        case Action::ResetHigh: actions += 'H'; break;
        case Action::ResetLow: actions += 'L'; break;
        case Action::Load: actions += 'I'; break;
        case Action::Execute: {
          actions += 'X';
          shifted.emplace_back(g.instruction, g.instruction + 4);
          uint8_t miso[4];
          for (int i = 0; i < 4; ++i) miso[i] = static_cast<uint8_t>(g.instruction[i] + 1);
          StoreReceived(g, miso);
          break;
        }
        case Action::ReadBack: {
          actions += 'R';
          uint8_t out[kAnswerBytes];
          ComposeAnswer(g, out);
          answers.insert(answers.end(), out, out + kAnswerBytes);
          break;
        }
      }
    }
  }
};

std::vector<uint8_t> Answer(uint8_t b0, uint8_t b1, uint8_t b2, uint8_t b3) {
  return {b0, b1, b2, b3, 'Q', 'G', 1, 0};
}

TEST(FirmwareParser, ByteStreams) {
  struct Case {
    const char* name;
    std::vector<uint8_t> bytes;
    const char* actions;
    std::vector<uint8_t> answers;
    std::vector<std::vector<uint8_t>> shifted;  // bus order, I1 first
  };
  const std::vector<uint8_t> idle = Answer(0xFF, 0xFF, 0xFF, 0xFF);
  const Case cases[] = {
      {"the program's set-up", {0x0A, 0x08, 0x02, 0x47, 0x40, 0x04, 0x42, 0x20}, "SLSS", {}, {}},
      {"reset pulse", {0x48, 0x47}, "HL", {}, {}},
      {"read back before any instruction", {0x45}, "R", idle, {}},
      {"execute before any instruction shifts zeros", {0x46, 0x45}, "XR", Answer(1, 1, 1, 1),
       {{0, 0, 0, 0}}},
      {"load, execute, read back: the line carries I4 first, the answer starts with I4's byte",
       {0x44, 0x00, 0x00, 0x53, 0xAC, 0x46, 0x45}, "IXR", Answer(0x01, 0x01, 0x54, 0xAD),
       {{0xAC, 0x53, 0x00, 0x00}}},
      {"load alone shifts nothing", {0x44, 1, 2, 3, 4, 0x45}, "IR", idle, {}},
      {"an instruction shifts again on each execute", {0x44, 4, 3, 2, 1, 0x46, 0x46}, "IXX", {},
       {{1, 2, 3, 4}, {1, 2, 3, 4}}},
      {"read back twice sends the same answer twice", {0x44, 4, 3, 2, 1, 0x46, 0x45, 0x45}, "IXRR",
       [] {
         std::vector<uint8_t> a = Answer(5, 4, 3, 2);
         a.insert(a.end(), a.begin(), a.end());
         return a;
       }(),
       {{1, 2, 3, 4}}},
      {"unknown bytes between commands are dropped one by one",
       {0x00, 0xFF, 0x44, 4, 3, 2, 1, 0x41, 0x46, 0x13, 0x45}, "--I-X-R", Answer(5, 4, 3, 2),
       {{1, 2, 3, 4}}},
      {"command bytes inside parameters are parameters",
       {0x44, 0x45, 0x46, 0x47, 0x48, 0x46}, "IX", {}, {{0x48, 0x47, 0x46, 0x45}}},
      {"set-up parameters may look like commands", {0x0A, 0x45, 0x46, 0x40, 0x45, 0x42, 0x48}, "SSS",
       {}, {}},
      {"set-up forgets the previous session", {0x44, 4, 3, 2, 1, 0x46, 0x0A, 0, 0, 0x45, 0x46},
       "IXSRX", idle, {{1, 2, 3, 4}, {0, 0, 0, 0}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Session s;
    s.Feed(c.bytes);
    EXPECT_EQ(s.actions, c.actions);
    EXPECT_EQ(s.answers, c.answers);
    EXPECT_EQ(s.shifted, c.shifted);
    EXPECT_FALSE(Pending(s.g));
  }
}

// How the bytes are cut into packets, or run together, makes no difference; a command cut off
// and abandoned leaves the next byte to start afresh.
TEST(FirmwareParser, SplitMergedAndAbandoned) {
  const std::vector<uint8_t> session = {0x0A, 0x08, 0x02, 0x47, 0x40, 0x04, 0x42, 0x20, 0x48, 0x47,
                                        0x44, 0x00, 0x00, 0x53, 0xAC, 0x46, 0x45};
  Session whole;
  whole.Feed(session);
  for (size_t cut = 1; cut < session.size(); ++cut) {
    Session split;
    split.Feed({session.begin(), session.begin() + cut});
    EXPECT_EQ(Pending(split.g), cut == 1 || cut == 2 || cut == 5 || cut == 7 || (cut >= 11 && cut <= 14)) << cut;
    split.Feed({session.begin() + cut, session.end()});
    EXPECT_EQ(split.actions, whole.actions) << cut;
    EXPECT_EQ(split.answers, whole.answers) << cut;
  }

  Session cutOff;
  cutOff.Feed({0x44, 0x11, 0x22});
  ASSERT_TRUE(Pending(cutOff.g));
  Abandon(cutOff.g);
  EXPECT_FALSE(Pending(cutOff.g));
  cutOff.Feed({0x46, 0x45});
  EXPECT_EQ(cutOff.actions, "XR");
  EXPECT_EQ(cutOff.shifted, (std::vector<std::vector<uint8_t>>{{0, 0, 0, 0}}));
}

}  // namespace
}  // namespace quillet::firmware
