#include <gtest/gtest.h>

#include "support/Fakes.h"
#include "support/SimDriver.h"

namespace quillet {
namespace {

// The program's side of an instruction: load, execute, wait, read back.
GatewayAnswer Exchange(uint8_t i1, uint8_t i2, uint8_t i3, uint8_t i4) {
  EXPECT_TRUE(WritePacket(MakePacket({0x44, i4, i3, i2, i1})));
  EXPECT_TRUE(WritePacket(MakePacket({0x46})));
  Sleep(1);
  EXPECT_TRUE(WritePacket(MakePacket({0x45})));
  return ReadAnswer(8);
}

void EnterProgramming() {
  WritePacket(MakePacket({0x48}));
  Sleep(1);
  WritePacket(MakePacket({0x47}));
  Sleep(20);
}

TEST(SimDriver, RunsTheLinkAgainstTheChipInVirtualTime) {
  struct Case {
    bool paced;
    int64_t readUs;  // virtual time one read exchange takes
  } cases[] = {{false, 1000}, {true, 1000 + 7 * 95 + 8 * 95}};
  for (const Case& c : cases) {
    test::CoreFixture f;
    test::SimDriver sim("attiny85");
    sim.paced = c.paced;
    f.Connect();
    ASSERT_EQ(PortHandle, test::SimDriver::kHandle);
    EnterProgramming();
    GatewayAnswer pe = Exchange(0xAC, 0x53, 0, 0);
    ASSERT_EQ(pe.count, 8);
    EXPECT_EQ(pe.data[1], 0x53);
    const int64_t before = sim.NowUs();
    GatewayAnswer sig = Exchange(0x30, 0, 2, 0);
    EXPECT_EQ(sig.count, 8);
    EXPECT_EQ(sig.data[0], 0x0B);
    EXPECT_NEAR(sim.NowUs() - before, c.readUs, 10) << c.paced;
    EXPECT_EQ(sim.Violations(), 0u);
  }
}

TEST(SimDriver, ShortAndExtraAnswersAsTheLineWouldDeliverThem) {
  test::CoreFixture f;
  test::SimDriver sim("ATtiny13", {.shortAnswer = 1});
  f.Connect();
  EnterProgramming();
  Exchange(0xAC, 0x53, 0, 0);
  const int64_t before = sim.NowUs();
  GatewayAnswer a = Exchange(0x30, 0, 1, 0);
  EXPECT_EQ(a.count, 1);
  EXPECT_EQ(a.data[0], 0x90);
  EXPECT_GE(sim.NowUs() - before, 1000000) << "a short answer waits out the timeout";

  // Extra bytes beyond what a read takes stay queued and lead the next answer.
  sim.Options().shortAnswer = -1;
  sim.Options().garbageAfter = 0;
  WritePacket(MakePacket({0x45}));
  uint8_t buf[32];
  ASSERT_EQ(GetSerialDriver().Read(PortHandle, buf, 8, 8, 1000), 8);
  ASSERT_EQ(GetSerialDriver().Read(PortHandle, buf, 32, 3, 1000), 3);
  EXPECT_EQ(buf[0], sim::kGarbageBytes[0]);
}

TEST(SimDriver, HangUpFailsWritesAndTheNextOpen) {
  test::CoreFixture f;
  test::SimDriver sim("ATtiny2313", {.hangupAfter = 5});
  f.Connect();  // the four set-up commands
  EXPECT_TRUE(WritePacket(MakePacket({0x48})));
  EXPECT_FALSE(WritePacket(MakePacket({0x47})));
  const int64_t before = sim.NowUs();
  EXPECT_EQ(ReadAnswer(8).count, 0);
  EXPECT_EQ(sim.NowUs(), before) << "a hung-up line ends the read at once";
  ClosePort();
  OpenPort("/dev/sim");
  EXPECT_EQ(PortHandle, -1);
}

TEST(SimDriver, EmptySocketAnswersFloatingHigh) {
  test::CoreFixture f;
  test::SimDriver sim("");
  f.Connect();
  EnterProgramming();
  GatewayAnswer a = Exchange(0xAC, 0x53, 0, 0);
  ASSERT_EQ(a.count, 8);
  EXPECT_EQ(a.data[0], 0xFF);
  EXPECT_EQ(a.data[1], 0xFF);
}

}  // namespace
}  // namespace quillet
