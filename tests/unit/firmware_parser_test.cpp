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
  std::string actions;  // one letter per action: S etup, H igh, L ow, I nstruction, X ecute, R eadBack, F ree, P eriod, - ignored
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
        case Action::Release: actions += 'F'; break;
        case Action::SpiPeriod: actions += 'P' + std::to_string(g.spiPeriod); break;
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
  return {b0, b1, b2, b3, 'Q', 'G', 2, 1};
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
      {"release ends a session and keeps the instruction", {0x44, 4, 3, 2, 1, 0x49, 0x46}, "IFX", {},
       {{1, 2, 3, 4}}},
      {"a slow clock's period is a parameter whatever its value", {0x4A, 0x45, 0x46}, "P69X", {}, {{0, 0, 0, 0}}},
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

  // A byte lost inside a command (the UART overran): the command is dropped, and the next
  // answer, only that one, carries the mark.
  Session overrun;
  overrun.Feed({0x44, 0x11, 0x22});
  NoteLineFault(overrun.g);
  EXPECT_FALSE(Pending(overrun.g));
  overrun.Feed({0x45, 0x45});
  const std::vector<uint8_t> idle = Answer(0xFF, 0xFF, 0xFF, 0xFF);
  std::vector<uint8_t> marked = idle;
  marked[5] = kFaultMark;
  marked.insert(marked.end(), idle.begin(), idle.end());
  EXPECT_EQ(overrun.answers, marked);
}

}  // namespace
}  // namespace quillet::firmware

// ---- block mode (FastProtocol.h) over a recording Io ----
namespace quillet::firmware::fast_blocks {

using namespace quillet::firmware::fast;

// A chip that answers each instruction's fourth byte with I3 (the low address byte) plus I1,
// and a line scripted byte by byte.
struct FakeIo {
  std::vector<std::vector<uint8_t>> shifted;  // whole instructions, bus order
  std::vector<uint8_t> partial, sent, line;
  std::vector<std::string> events;  // "spi N", "busy N", "ready", "baud N"
  size_t next = 0;

  void Spi(uint8_t code) {
    if (code || events.empty() || events.back() != "spi 0") events.push_back("spi " + std::to_string(code));
  }
  void Begin(uint8_t b) { partial.push_back(b); }
  uint8_t End() {
    if (partial.size() < 4) return 0xFF;
    uint8_t answer = static_cast<uint8_t>(partial[2] + partial[0]);
    if (partial[0] == 0xF0) answer = busyPolls-- > 0 ? 0xFF : 0xFE;
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
  void Flush() {}
  void Baud(uint8_t code) { events.push_back("baud " + std::to_string(code)); }
  void Busy(uint8_t units) { events.push_back("busy " + std::to_string(units)); }
  void Ready() {
    if (events.empty() || events.back() != "ready") events.push_back("ready");
  }
  // A write's longest wait has passed after this many looks at the time; Poll RDY/BSY reads
  // busy this many times.
  int looks = 1000, busyPolls = 0;
  bool Waiting() { return looks-- > 0; }
  void Done() { events.push_back("done"); }
};

void PutCrc(std::vector<uint8_t>& v, size_t from) {
  const uint16_t crc = Crc(0, v.data() + from, static_cast<uint16_t>(v.size() - from));
  v.push_back(static_cast<uint8_t>(crc & 0xFF));
  v.push_back(static_cast<uint8_t>(crc >> 8));
}

std::vector<uint8_t> Request(uint8_t kind, uint8_t seq, std::vector<uint8_t> p, std::vector<uint8_t> data = {}) {
  p.resize(kParamBytes);
  std::vector<uint8_t> v = {kSof, kind, seq};
  v.insert(v.end(), p.begin(), p.end());
  PutCrc(v, 1);
  if (kind == kWrite) {
    v.insert(v.end(), data.begin(), data.end());
    PutCrc(v, 1);
  }
  return v;
}

// An answer as "kind seq status: data" ("7F 09 1: " a NAK); "damaged" where its CRC is wrong.
std::vector<std::string> Answers(const std::vector<uint8_t>& sent) {
  std::vector<std::string> out;
  size_t i = 0;
  while (i + 6 <= sent.size() && sent[i] == kSof) {
    const size_t n = sent[i + 4] | sent[i + 5] << 8;
    if (i + 8 + n > sent.size()) break;
    const uint16_t crc = Crc(0, sent.data() + i + 1, static_cast<uint16_t>(5 + n));
    char head[24];
    std::snprintf(head, sizeof head, "%02X %02X %u:", sent[i + 1], sent[i + 2], sent[i + 3]);
    std::string a = head;
    for (size_t k = 0; k < n; ++k) {
      std::snprintf(head, sizeof head, " %02X", sent[i + 6 + k]);
      a += head;
    }
    if (sent[i + 6 + n] != (crc & 0xFF) || sent[i + 7 + n] != (crc >> 8)) a += " damaged";
    out.push_back(a);
    i += 8 + n;
  }
  if (i != sent.size()) out.push_back("stray bytes");
  return out;
}

// The firmware's main loop over the line: plain mode runs frames that start where no plain
// command waits, block mode only frames, and a lost firmware nothing.
void RunLine(State& s, FakeIo& io) {
  uint8_t buffer[kMaxBlock];
  Gateway g;
  uint8_t b;
  while (io.Receive(b)) {
    if ((s.mode == kPlain && StartsFrame(g, b)) || (s.mode == kBlocks && b == kSof))
      RunFrame(s, io, buffer, 2, 0);
    else if (s.mode == kPlain)
      Feed(g, b);
  }
}

TEST(FirmwareBlocks, CrcIsXmodem) {
  const uint8_t check[] = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};
  EXPECT_EQ(Crc(0, check, 9), 0x31C3);
}

// The instruction of an address through a form, as the chip engine forms its own.
TEST(FirmwareBlocks, FormsAndExtendedAddress) {
  const Form flashRead{0x20, 0x7F, 0xFF, kWord | kOddSelect | kExtended, 0, true};
  const Form pageLoad{0x40, 0x00, 0x0F, kWord | kOddSelect | kWithData, 0, true};
  const Form eepromRead{0xA0, 0x01, 0xFF, 0, 0, true};
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

// Frames on the line, damaged ones among them: what reaches the chip and what is answered. No
// damaged frame runs, nothing is taken after it, and no slot runs an instruction of another
// kind.
TEST(FirmwareBlocks, Frames) {
  // Slot 0 reads Flash of a 128 K-word chip, slot 1 loads a 16-word page, slot 2 commits it
  // with a wait of 18 units.
  const std::vector<uint8_t> hello = Request(kHello, 1, {});
  const std::vector<std::vector<uint8_t>> forms = {
      Request(kForm, 2, {0, 0x20, 0x7F, 0xFF, kWord | kOddSelect | kExtended, 0}),
      Request(kForm, 3, {1, 0x40, 0x00, 0x0F, kWord | kOddSelect | kWithData, 0}),
      Request(kForm, 4, {2, 0x4C, 0x7F, 0xF0, kWord, 18}),
  };
  std::vector<uint8_t> ready = hello;
  for (const auto& f : forms) ready.insert(ready.end(), f.begin(), f.end());
  const std::vector<std::string> readyAnswers = {"01 01 0: 02 00 00", "02 02 0: 00 52 DB C8",
                                                 "02 03 0: 01 57 A3 E1", "02 04 0: 02 43 C8 EE"};
  const std::vector<uint8_t> read = Request(kRead, 9, {Mode(0, 2, false), 0x01, 0xFF, 0xFF, 2});
  const std::vector<uint8_t> page = Request(kWrite, 9, {Mode(1, 3, true), 0x00, 0x00, 0x20, 2}, {0x11, 0x22});
  std::vector<uint8_t> damagedPage = page;
  damagedPage[12] ^= 0x01;
  std::vector<uint8_t> damagedHeader = page;
  damagedHeader[5] ^= 0x40;
  std::vector<uint8_t> cutPage(page.begin(), page.begin() + 12);
  auto then = [](std::vector<uint8_t> a, const std::vector<uint8_t>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
  };
  auto answers = [&](std::vector<std::string> more) {
    std::vector<std::string> a = readyAnswers;
    a.insert(a.end(), more.begin(), more.end());
    return a;
  };
  using Shifted = std::vector<std::vector<uint8_t>>;
  const Shifted readShifted = {{0x4D, 0x00, 0x00, 0x00}, {0x28, 0x7F, 0xFF, 0x00}, {0x4D, 0x00, 0x01, 0x00},
                               {0x20, 0x00, 0x00, 0x00}};
  struct Case {
    const char* name;
    std::vector<uint8_t> line;
    Shifted shifted;
    std::vector<std::string> answers;
    uint8_t mode;
  };
  const Case cases[] = {
      {"plain mode: a read frame is refused, nothing shifts", read, {}, {"03 09 1:"}, kPlain},
      {"a read crosses the 64 K-word boundary: Load Extended Address Byte on the way", then(ready, read),
       readShifted, answers({"03 09 0: 27 20"}), kBlocks},
      {"a page block loads as it comes and commits at its last byte, once whole", then(ready, page),
       {{0x40, 0x00, 0x00, 0x11}, {0x48, 0x00, 0x00, 0x22}, {0x4C, 0x00, 0x10, 0x00}}, answers({"04 09 0:"}),
       kBlocks},
      {"a damaged page block is loaded, never committed, and the firmware is lost: a read after it is not run",
       then(then(ready, damagedPage), read), {{0x40, 0x00, 0x00, 0x11}, {0x48, 0x00, 0x00, 0x23}},
       answers({"7F 09 1:"}), kLost},
      {"a page block cut off is never committed", then(ready, cutPage), {{0x40, 0x00, 0x00, 0x11}},
       answers({"7F 09 1:"}), kLost},
      {"a damaged header shifts nothing", then(then(ready, damagedHeader), read), {}, answers({"7F 09 1:"}), kLost},
      {"a read through the write slot is refused", then(ready, Request(kRead, 9, {Mode(1, 0, false), 0, 0, 0, 1})),
       {}, answers({"03 09 1:"}), kBlocks},
      {"a write with only a read form stored is refused, its data taken",
       then(then(hello, forms[0]), then(page, read)), readShifted,
       {"01 01 0: 02 00 00", "02 02 0: 00 52 DB C8", "04 09 1:", "03 09 0: 27 20"}, kBlocks},
      {"a form that would erase, or write through a read slot, is refused",
       then(then(hello, Request(kForm, 2, {2, 0xAC, 0x80, 0, 0, 0})), Request(kForm, 3, {0, 0x40, 0, 0xFF, kWithData, 0})),
       {}, {"01 01 0: 02 00 00", "02 02 1:", "02 03 1:"}, kBlocks},
      {"leave: plain mode, forms forgotten", then(then(ready, Request(kLeave, 9, {})), read), {},
       answers({"08 09 0:", "03 09 1:"}), kPlain},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    State s;
    FakeIo io;
    io.line = c.line;
    RunLine(s, io);
    EXPECT_EQ(io.shifted, c.shifted);
    EXPECT_EQ(Answers(io.sent), c.answers);
    EXPECT_EQ(s.mode, c.mode);
  }
}

// A new rate, asked for with the hello or alone, is answered at the old one and taken after;
// leaving, or a firmware idle too long, goes back to 115200.
TEST(FirmwareBlocks, RateChanges) {
  State s;
  FakeIo io;
  io.line = Request(kHello, 1, {2});
  const std::vector<uint8_t> baud = Request(kBaud, 2, {3}), leave = Request(kLeave, 3, {});
  io.line.insert(io.line.end(), baud.begin(), baud.end());
  io.line.insert(io.line.end(), leave.begin(), leave.end());
  RunLine(s, io);
  EXPECT_EQ(Answers(io.sent), (std::vector<std::string>{"01 01 0: 02 00 00", "06 02 0: 03", "08 03 0:"}));
  EXPECT_EQ(io.events, (std::vector<std::string>{"baud 2", "baud 3", "baud 0"}));
  io.events.clear();
  s.mode = kLost;
  s.baud = 2;
  Idle(s, io);
  EXPECT_EQ(s.mode, kPlain);
  EXPECT_EQ(io.events, (std::vector<std::string>{"baud 0"}));
}

// A write's wait ends when the chip is ready: asked by Poll RDY/BSY or by reading the byte back,
// never past the form's longest wait, and a chip still busy then fails the request that follows
// (status 2) instead of having it run on a chip that did not take the write.
TEST(FirmwareBlocks, WaitsEndWhenReady) {
  const std::vector<uint8_t> hello = Request(kHello, 1, {});
  auto then = [](std::vector<uint8_t> a, const std::vector<uint8_t>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
  };
  const std::vector<uint8_t> pageForms = then(then(hello, Request(kForm, 2, {1, 0x40, 0x00, 0x0F, kWord | kOddSelect | kWithData, 0})),
                                              Request(kForm, 3, {2, 0x4C, 0x7F, 0xF0, kWord | kPollReady, 18}));
  // EEPROM byte writes polled by reading back: the fake chip reads I3 + I1 (0xA0 + address).
  const std::vector<uint8_t> byteForms = then(then(hello, Request(kForm, 2, {0, 0xA0, 0x01, 0xFF, 0, 0})),
                                              Request(kForm, 3, {1, 0xC0, 0x01, 0xFF, kWithData | kPollData, 18}));
  const std::vector<uint8_t> page = Request(kWrite, 9, {Mode(1, 0, true), 0x00, 0x00, 0x20, 1}, {0x11});
  const std::vector<uint8_t> read = Request(kRead, 10, {Mode(0, 0, false), 0x00, 0x00, 0x10, 1});
  const std::vector<uint8_t> ping = Request(kPing, 11, {});
  using Shifted = std::vector<std::vector<uint8_t>>;
  const std::vector<uint8_t> poll = {0xF0, 0x00, 0x00, 0x00}, load = {0x40, 0x00, 0x00, 0x11},
                             commit = {0x4C, 0x00, 0x10, 0x00};
  struct Case {
    const char* name;
    std::vector<uint8_t> line;
    int looks, busyPolls;
    Shifted shifted;
    std::vector<std::string> answers;  // after the hello and forms
  };
  const Case cases[] = {
      {"ready after two busy polls: the next page goes on at once", then(then(pageForms, page), page), 1000, 2,
       {load, commit, poll, poll, poll, load, commit}, {"04 09 0:", "04 09 0:"}},
      {"still busy at the longest wait: the next page is taken, not run, and fails", then(then(pageForms, page), page),
       3, 1000, {load, commit, poll, poll, poll, poll}, {"04 09 0:", "04 09 2:"}},
      {"a ping after the last page says whether it went through", then(then(pageForms, page), ping), 3, 1000,
       {load, commit, poll, poll, poll, poll}, {"04 09 0:", "07 0B 2:"}},
      {"data polling: the byte reads right at once, the read after it runs",
       then(then(byteForms, Request(kWrite, 9, {Mode(1, 0, false), 0x00, 0x00, 0x10, 1}, {0xB0})), read), 1000, 0,
       {{0xC0, 0x00, 0x10, 0xB0}, {0xA0, 0x00, 0x10, 0x00}, {0xA0, 0x00, 0x10, 0x00}}, {"04 09 0:", "03 0A 0: B0"}},
      {"data polling: a byte that never reads right fails the read after it",
       then(then(byteForms, Request(kWrite, 9, {Mode(1, 0, false), 0x00, 0x00, 0x10, 1}, {0x55})), read), 1, 0,
       {{0xC0, 0x00, 0x10, 0x55}, {0xA0, 0x00, 0x10, 0x00}, {0xA0, 0x00, 0x10, 0x00}}, {"04 09 0:", "03 0A 2:"}},
      {"0xFF cannot be told from a busy chip: its wait runs out, unasked",
       then(then(byteForms, Request(kWrite, 9, {Mode(1, 0, false), 0x00, 0x00, 0x10, 1}, {0xFF})), read), 1, 0,
       {{0xC0, 0x00, 0x10, 0xFF}, {0xA0, 0x00, 0x10, 0x00}}, {"04 09 0:", "03 0A 0: B0"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    State s;
    FakeIo io;
    io.line = c.line;
    io.looks = c.looks;
    io.busyPolls = c.busyPolls;
    RunLine(s, io);
    EXPECT_EQ(io.shifted, c.shifted);
    const std::vector<std::string> all = Answers(io.sent);
    ASSERT_EQ(all.size(), 3 + c.answers.size());
    EXPECT_EQ(std::vector<std::string>(all.begin() + 3, all.end()), c.answers);
  }
}

}  // namespace quillet::firmware::fast_blocks
