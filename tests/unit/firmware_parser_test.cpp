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
        case Action::Fast: actions += 'F'; break;
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

// ---- the block commands (FastProtocol.h) over a recording Io ----
namespace quillet::firmware::fast_blocks {

using namespace quillet::firmware::fast;

// A chip that answers each instruction's fourth byte with I3 (the low address byte) plus I1,
// and a line scripted byte by byte.
struct FakeIo {
  std::vector<std::vector<uint8_t>> shifted;  // whole instructions, bus order
  std::vector<uint8_t> partial, sent, line;
  std::vector<std::string> events;  // "spi N", "busy N", "ready", "drain"
  size_t next = 0;

  void Spi(uint8_t code) { events.push_back("spi " + std::to_string(code)); }
  void Begin(uint8_t b) { partial.push_back(b); }
  uint8_t End() {
    if (partial.size() < 4) return 0xFF;
    const uint8_t answer = static_cast<uint8_t>(partial[2] + partial[0]);
    shifted.push_back(partial);
    partial.clear();
    return answer;
  }
  void Send(uint8_t b) { sent.push_back(b); }
  bool Receive(uint8_t& b) {
    if (next >= line.size()) return false;
    b = line[next++];
    return true;
  }
  void Drain() {
    next = line.size();
    events.push_back("drain");
  }
  void Busy(uint8_t units) { events.push_back("busy " + std::to_string(units)); }
  void Ready() {
    if (events.empty() || events.back() != "ready") events.push_back("ready");
  }
};

std::vector<uint8_t> WithCrc(std::vector<uint8_t> bytes) {
  const uint16_t crc = Crc(0, bytes.data(), static_cast<uint16_t>(bytes.size()));
  bytes.push_back(static_cast<uint8_t>(crc & 0xFF));
  bytes.push_back(static_cast<uint8_t>(crc >> 8));
  return bytes;
}

TEST(FirmwareBlocks, CrcIsXmodem) {
  const uint8_t check[] = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};
  EXPECT_EQ(Crc(0, check, 9), 0x31C3);
}

// The instruction of an address through a form, as the chip engine forms its own.
TEST(FirmwareBlocks, FormsAndExtendedAddress) {
  const Form flashRead{0x20, 0x7F, 0xFF, kWord | kOddSelect | kExtended, 0};
  const Form pageLoad{0x40, 0x00, 0x0F, kWord | kOddSelect | kWithData, 0};
  const Form eepromRead{0xA0, 0x01, 0xFF, 0, 0};
  struct Case {
    const Form* form;
    uint32_t address;
    uint8_t data;
    std::vector<uint8_t> instruction;
    int16_t ext;
  };
  const Case cases[] = {
      {&flashRead, 0x00000, 0, {0x20, 0x00, 0x00, 0x00}, 0},
      {&flashRead, 0x00001, 0, {0x28, 0x00, 0x00, 0x00}, 0},
      {&flashRead, 0x1FFFF, 0, {0x28, 0x7F, 0xFF, 0x00}, 0},
      {&flashRead, 0x20000, 0, {0x20, 0x00, 0x00, 0x00}, 1},
      {&flashRead, 0x3FFFE, 0, {0x20, 0x7F, 0xFF, 0x00}, 1},
      {&pageLoad, 0x0123, 0x5A, {0x48, 0x00, 0x01, 0x5A}, -1},
      {&eepromRead, 0x1FF, 0x77, {0xA0, 0x01, 0xFF, 0x00}, -1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.address);
    uint8_t in[4];
    FormInstruction(*c.form, c.address, c.data, in);
    EXPECT_EQ(std::vector<uint8_t>(in, in + 4), c.instruction);
    EXPECT_EQ(ExtendedByte(*c.form, c.address), c.ext);
  }
}

TEST(FirmwareBlocks, Commands) {
  struct Case {
    const char* name;
    std::vector<uint8_t> command;  // a command byte and its parameters
    std::vector<uint8_t> line;     // what follows on the line
    std::vector<std::vector<uint8_t>> shifted;
    std::vector<uint8_t> sent;
    std::vector<std::string> events;
  };
  // Slot 0 reads Flash of a 128 K-word chip, slot 1 loads a 16-word page, slot 2 commits it
  // with a wait of 18 units, slot 3 writes EEPROM bytes with a wait of 36.
  auto ack = std::vector<uint8_t>{kAckOk[0], kAckOk[1]};
  auto bad = std::vector<uint8_t>{kAckBad[0], kAckBad[1]};
  const std::vector<uint8_t> writeHeader = WithCrc({kWrite, Mode(1, 3, true), 0x00, 0x00, 0x20, 2});
  std::vector<uint8_t> pageLine = {0x11, 0x22};
  {
    std::vector<uint8_t> all = writeHeader;
    all.insert(all.end(), pageLine.begin(), pageLine.end());
    const std::vector<uint8_t> withCrc = WithCrc(all);
    pageLine.assign(withCrc.begin() + 8, withCrc.end());
  }
  std::vector<uint8_t> damagedLine = pageLine;
  damagedLine[1] ^= 0x01;
  const std::vector<uint8_t> byteHeader = WithCrc({kWrite, Mode(3, 0, false), 0x00, 0x01, 0xFE, 2});
  std::vector<uint8_t> byteLine;
  {
    std::vector<uint8_t> all = byteHeader;
    all.push_back(0xA1);
    all.push_back(0xA2);
    const std::vector<uint8_t> withCrc = WithCrc(all);
    byteLine.assign(withCrc.begin() + 8, withCrc.end());
  }
  std::vector<uint8_t> badHeader = writeHeader;
  badHeader[4] ^= 0x40;
  const std::vector<uint8_t> commitAt = WithCrc({kCommitAt, 0x01, 0x00, 0x3F});
  // The fake chip answers I3 + I1: 0xFF + 0x28 for byte 0x1FFFF, 0x00 + 0x20 for 0x20000.
  std::vector<uint8_t> readAnswer = {0x27, 0x20};
  {
    std::vector<uint8_t> covered = {kRead, Mode(0, 2, false), 0x01, 0xFF, 0xFF, 2};
    covered.insert(covered.end(), readAnswer.begin(), readAnswer.end());
    const std::vector<uint8_t> withCrc = WithCrc(covered);
    readAnswer.assign(withCrc.begin() + 6, withCrc.end());
  }
  const Case cases[] = {
      {"a read crosses the 64 K-word boundary: Load Extended Address Byte on the way",
       {kRead, Mode(0, 2, false), 0x01, 0xFF, 0xFF, 2}, {},
       {{0x4D, 0x00, 0x00, 0x00}, {0x28, 0x7F, 0xFF, 0x00}, {0x4D, 0x00, 0x01, 0x00}, {0x20, 0x00, 0x00, 0x00}},
       readAnswer, {"ready", "spi 2", "spi 0"}},
      {"a page block loads as it comes and commits at its last byte", writeHeader, pageLine,
       {{0x40, 0x00, 0x00, 0x11}, {0x48, 0x00, 0x00, 0x22}, {0x4C, 0x00, 0x10, 0x00}}, ack,
       {"spi 3", "ready", "busy 18", "spi 0"}},
      {"a damaged page block is loaded but never committed", writeHeader, damagedLine,
       {{0x40, 0x00, 0x00, 0x11}, {0x48, 0x00, 0x00, 0x23}}, bad, {"spi 3", "ready", "spi 0", "drain"}},
      {"a page block cut off is never committed", writeHeader, {0x11},
       {{0x40, 0x00, 0x00, 0x11}}, bad, {"spi 3", "ready", "spi 0", "drain"}},
      {"a damaged header shifts nothing and swallows the rest", badHeader, pageLine, {}, bad, {"drain"}},
      {"byte writes wait for the whole block, then each waits its time", byteHeader, byteLine,
       {{0xC0, 0x01, 0xFE, 0xA1}, {0xC0, 0x01, 0xFF, 0xA2}}, ack,
       {"spi 0", "ready", "busy 36", "ready", "busy 36", "spi 0"}},
      {"a commit with its address", commitAt, {}, {{0x4C, 0x00, 0x10, 0x00}}, ack, {"ready", "busy 18"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    State s;
    FakeIo io;
    const std::vector<std::vector<uint8_t>> forms = {
        {0, 0x20, 0x7F, 0xFF, kWord | kOddSelect | kExtended, 0},
        {1, 0x40, 0x00, 0x0F, kWord | kOddSelect | kWithData, 0},
        {2, 0x4C, 0x7F, 0xF0, kWord, 18},
        {3, 0xC0, 0x0F, 0xFF, kWithData, 36},
    };
    for (const auto& f : forms) {
      RunForm(s, io, f.data());
      std::vector<uint8_t> covered = {kForm};
      covered.insert(covered.end(), f.begin(), f.end());
      const std::vector<uint8_t> withCrc = WithCrc(covered);
      EXPECT_EQ(io.sent, std::vector<uint8_t>(withCrc.begin() + 7, withCrc.end())) << "the form's CRC";
      io.sent.clear();
    }
    // Feed the command through the parser, as the firmware does.
    Gateway g;
    Action a = Action::None;
    for (uint8_t b : c.command) a = Feed(g, b);
    ASSERT_EQ(a, Action::Fast);
    io.line = c.line;
    uint8_t buffer[kMaxBlock];
    switch (g.command) {
      case kRead: RunRead(s, io, g.params); break;
      case kWrite: RunWrite(s, io, g.params, buffer); break;
      case kCommitAt: RunCommitAt(s, io, g.params); break;
    }
    EXPECT_EQ(io.shifted, c.shifted);
    EXPECT_EQ(io.sent, c.sent);
    EXPECT_EQ(io.events, c.events);
  }
}

}  // namespace quillet::firmware::fast_blocks
