// Programming enable, erase, calibration, signature and the ATtiny12 blank write, over every
// module, as exact gateway traces.
#include <gtest/gtest.h>

#include "chips/Catalogue.h"
#include "chips/ChipModule.h"
#include "chips/Identify.h"
#include "support/ConnectedTest.h"
#include "support/Fakes.h"

namespace quillet {
namespace {

using Trace = std::vector<std::string>;
using Lines = std::vector<std::string>;

const ChipModule* const kAll[] = {&At90s1200, &At90s2313, &At90s2323, &At90s2343, &At90s2333,
                                  &At90s4414, &At90s4434, &At90can32, &Attiny12,  &Attiny13,
                                  &Attiny15,  &Attiny22,  &Attiny25,  &Attiny26,  &Attiny261,
                                  &Attiny2313};

using Connected = test::ConnectedTest;

const Trace kResetAndEnable = {"48", "sleep 1", "47", "sleep 20", "44 00 00 53 AC", "46"};

TEST_F(Connected, ProgrammingEnableOfEveryModule) {
  const Lines sync = {"Trying to execute the sinchronization with chip",
                      "       Finished with success."};
  const Lines plain = {"Trying to execute Programming Enable", "       Finished with success."};
  for (const ChipModule* m : kAll) {
    SCOPED_TRACE(m->name);
    Fresh();
    f.port.answers.push_back({0x00, 0x53, 0, 0, 0, 0, 0, 0});
    ASSERT_TRUE(m->ProgrammingEnable());
    Trace expected = kResetAndEnable;
    expected.push_back("sleep 1");
    if (m != &At90s1200) expected.insert(expected.end(), {"45", "read"});
    EXPECT_EQ(f.port.trace, expected);
    bool older = m == &At90s1200 || m == &At90s2313 || m == &At90s2323 || m == &At90s2343 ||
                 m == &At90s2333 || m == &At90s4414 || m == &At90s4434 || m == &Attiny22;
    EXPECT_EQ(f.log.lines, older ? plain : sync);
  }
}

std::string Retry(const char* what, int n) {
  return "No answer to Programming Enable (" + std::string(what) + "): RESET pulsed, trying again (" +
         std::to_string(n) + " of 3)";
}

TEST_F(Connected, ProgrammingEnableEchoOutcomes) {
  struct Case {
    std::vector<uint8_t> answer;
    bool ok;
    bool portOpen;
    Lines lines;
    std::vector<uint8_t> second = {};  // the answer to the Programming Enable tried again
  } cases[] = {
      {{0x00, 0x53}, true, true, {"Trying to execute Programming Enable", "       Finished with success."}},
      // A wrong echo: a reset pulse and Programming Enable again, up to three times.
      {{0x53, 0x52, 0, 0, 0, 0, 0, 0}, false, true,
       {"Trying to execute Programming Enable", Retry("echo 0x52, not 0x53", 1), Retry("echo 0x00, not 0x53", 2),
        Retry("echo 0x00, not 0x53", 3)}},
      {{0x00, 0x52}, true, true,
       {"Trying to execute Programming Enable", Retry("echo 0x52, not 0x53", 1), "       Finished with success."},
       {0x00, 0x53}},
      // A one-byte answer once compared a byte that never came.
      {{0x53}, false, true,
       {"Trying to execute Programming Enable", Retry("no echo", 1), Retry("echo 0x00, not 0x53", 2),
        Retry("echo 0x00, not 0x53", 3)}},
      {{}, false, false, {"Trying to execute Programming Enable", "Error reading the answer (SPI paket)"}},
  };
  for (const Case& c : cases) {
    Fresh();
    f.port.answers.push_back(c.answer);
    if (!c.second.empty()) f.port.answers.push_back(c.second);
    f.port.silent = c.answer.empty();
    EXPECT_EQ(At90s2313.ProgrammingEnable(), c.ok);
    EXPECT_EQ(PortHandle >= 0, c.portOpen);
    EXPECT_EQ(f.log.lines, c.lines);
  }
}

TEST_F(Connected, ProgrammingEnableFailsAtEachPacket) {
  const char* literals[] = {" 0x48", " 0x47", " 0x44 0x00 0x00 0x53 0xAC", " 0x46", " 0x45"};
  for (int i = 0; i < 5; ++i) {
    Fresh();
    f.port.failWriteIndex = i;
    EXPECT_FALSE(Attiny2313.ProgrammingEnable());
    EXPECT_EQ(f.log.lines.back(), std::string("Error executing commands: ") + literals[i]);
    EXPECT_EQ(f.port.trace.back(), "close");
    EXPECT_EQ(PortHandle, -1);
  }
}

TEST_F(Connected, EnableWithoutEchoAndZeroDelay) {
  DelayValue = 0;
  EXPECT_TRUE(ProgrammingEnableNoEcho());
  EXPECT_EQ(f.port.trace, (Trace{"48", "47", "sleep 20", "44 00 00 53 AC", "46"}));
  EXPECT_EQ(f.log.lines, (Lines{"Trying to execute Programming Enable without echo back reading.",
                                "       Finished with success."}));
  Fresh();
  EXPECT_TRUE(At90s1200.ProgrammingEnable());
  EXPECT_EQ(f.port.trace, (Trace{"48", "47", "sleep 20", "44 00 00 53 AC", "46"}));
}

TEST_F(Connected, ChipEraseWaitsByModule) {
  for (const ChipModule* m : kAll) {
    SCOPED_TRACE(m->name);
    Fresh();
    ASSERT_TRUE(m->ChipErase());
    bool tinyOrCan = std::string(m->name).find("tiny") != std::string::npos && m != &Attiny22;
    tinyOrCan = tinyOrCan || m == &At90can32;
    EXPECT_EQ(f.port.trace, (Trace{"44 00 00 80 AC", "46", "sleep 1", tinyOrCan ? "sleep 9" : "sleep 18"}));
    EXPECT_EQ(f.log.lines, (Lines{"Trying to erase the chip", "       Finished with success."}));
  }
}

TEST_F(Connected, ReadCalibrationReadsCountBytes) {
  f.port.responder = [](const std::vector<uint8_t>& in) {
    return std::vector<uint8_t>{static_cast<uint8_t>(0xA0 + in[2])};
  };
  for (int count : {0, 1, 2, 4}) {
    SCOPED_TRACE(count);
    Fresh();
    CalibrationBytes.fill(0xFF);
    CalibrationCount = static_cast<uint8_t>(count);
    ASSERT_TRUE(Attiny26.ReadCalibration());
    Trace expected;
    for (int i = 0; i < count; ++i) {
      char packet[32];
      std::snprintf(packet, sizeof packet, "44 00 %02X 00 38", i);
      expected.insert(expected.end(), {packet, "46", "sleep 1", "45", "read"});
      EXPECT_EQ(CalibrationBytes[i], 0xA0 + i);
    }
    EXPECT_EQ(CalibrationBytes[count], 0xFF);
    EXPECT_EQ(f.port.trace, expected);
    EXPECT_EQ(f.log.lines, (Lines{"Trying to read calibration bytes", "       Finished"}));
  }
  // One answer that does not come in time (a busy machine) after others did: asked again.
  Fresh();
  CalibrationCount = 2;
  f.port.answers = {{0x9C}, {}, {0x9D}};
  EXPECT_TRUE(Attiny2313.ReadCalibration());
  EXPECT_EQ(CalibrationBytes[1], 0x9D);
  EXPECT_EQ(std::count(f.port.trace.begin(), f.port.trace.end(), "45"), 3);
  // Bytes read before a failure stay stored; a gateway that has answered is asked again
  // before it is given up on, and stays silent.
  Fresh();
  CalibrationBytes.fill(0xFF);
  f.port.answers = {{0x9C}};
  f.port.silent = true;
  EXPECT_FALSE(Attiny2313.ReadCalibration());
  EXPECT_EQ(CalibrationBytes[0], 0x9C);
  EXPECT_EQ(CalibrationBytes[1], 0xFF);
  EXPECT_EQ(f.log.lines.back(), "Error reading the answer (SPI paket)");
}

TEST_F(Connected, OperationsAModuleLacksSendNothing) {
  CalibrationCount = 1;
  for (const ChipModule* m : kAll) {
    SCOPED_TRACE(m->name);
    Fresh();
    bool cal = m->HasReadCalibration();
    if (!cal) {
      EXPECT_FALSE(m->ReadCalibration());
    }
    if (m != &Attiny12) {
      EXPECT_FALSE(m->WriteBlankByteZero());
    }
    if (!cal) {
      EXPECT_TRUE(f.port.trace.empty());
    }
  }
  Fresh();
  ASSERT_TRUE(Attiny12.WriteBlankByteZero());
  EXPECT_EQ(f.port.trace, (Trace{"44 FF 00 00 40", "46", "sleep 1", "sleep 4"}));
  EXPECT_TRUE(f.log.lines.empty());
}

TEST_F(Connected, ReadSignature) {
  f.port.responder = [](const std::vector<uint8_t>& in) {
    static const uint8_t sig[] = {0x1E, 0x91, 0x0A};
    return std::vector<uint8_t>{sig[in[2]], 0, 0, 0, 0, 0, 0, 0};
  };
  EXPECT_EQ(ReadSignature(), 692510);
  EXPECT_EQ(f.port.trace, (Trace{"44 00 00 00 30", "46", "45", "read", "44 00 01 00 30", "46", "45",
                                 "read", "44 00 02 00 30", "46", "45", "read"}));
  EXPECT_EQ(f.log.lines, (Lines{"Trying to read signature bytes", "       Finished"}));
  const char* literals[] = {" 0x44 0x00 i 0x00 0x30", " 0x46", " 0x45"};
  for (int i = 0; i < 3; ++i) {
    Fresh();
    f.port.failWriteIndex = 3 + i;  // the second byte's packets
    EXPECT_EQ(ReadSignature(), 0);
    EXPECT_EQ(f.log.lines.back(), std::string("Error executing commands: ") + literals[i]);
    EXPECT_EQ(PortHandle, -1);
  }
}

}  // namespace
}  // namespace quillet
