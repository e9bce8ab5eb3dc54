// The termios driver through OpenPort/WritePacket/ReadAnswer over a real pseudo-terminal,
// with a scripted peer at the far end.
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "link/Port.h"
#include "link/PosixSerial.h"
#include "support/Fakes.h"
#include "support/PtyPeer.h"

namespace quillet {
namespace {

using Bytes = std::vector<uint8_t>;
using Lines = std::vector<std::string>;
using Clock = std::chrono::steady_clock;

long long MsSince(Clock::time_point t0) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0).count();
}

Bytes Range(int first, int n) {
  Bytes b(n);
  for (int i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(first + i);
  return b;
}

Bytes Data(const GatewayAnswer& a) { return Bytes(a.data, a.data + a.count); }

// How long a test waits for what must come; only a fault uses it up.
constexpr int kWaitMs = 10000;

// Waits until the port holds n unread bytes, so a test can state what one read finds.
bool WaitQueued(int n) {
  for (int i = 0; i < kWaitMs; ++i) {
    int waiting = 0;
    if (ioctl(PortHandle, FIONREAD, &waiting) == 0 && waiting >= n) return true;
    usleep(1000);
  }
  return false;
}

// Puts the line in a terminal's usual cooked state, as a port may be found.
void MakeCooked(int fd) {
  termios t;
  ASSERT_EQ(tcgetattr(fd, &t), 0);
  t.c_iflag |= ICRNL | IXON | IXOFF | ISTRIP;
  t.c_oflag |= OPOST | ONLCR;
  t.c_lflag |= ECHO | ICANON | ISIG | IEXTEN;
  t.c_cflag = (t.c_cflag & ~CSIZE) | CS7 | PARENB;
  ASSERT_EQ(tcsetattr(fd, TCSANOW, &t), 0);
}

class PtyLinkTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(peer.Ok());
    SetSerialDriver(nullptr);
    SetLogSink(&log);
    PortHandle = -1;
  }
  void TearDown() override {
    ClosePort();
    SetLogSink(nullptr);
  }
  // Opens the slave as Connect does and forgets the set-up bytes.
  void Connect() {
    OpenPort(peer.SlavePath());
    ASSERT_GE(PortHandle, 0);
    ASSERT_TRUE(peer.WaitReceived(8, kWaitMs));
    peer.ClearReceived();
  }

  test::PtyPeer peer;
  test::LogLines log;
};

TEST_F(PtyLinkTest, OpenSendsSetUpAndLeavesTheLineRaw) {
  MakeCooked(peer.SlaveFd());
  OpenPort(peer.SlavePath());
  ASSERT_GE(PortHandle, 0);
  EXPECT_TRUE(log.lines.empty());
  ASSERT_TRUE(peer.WaitReceived(8, kWaitMs));
  EXPECT_EQ(peer.Received(), (Bytes{0x0A, 0x08, 0x02, 0x47, 0x40, 0x04, 0x42, 0x20}));

  termios t;
  ASSERT_EQ(tcgetattr(PortHandle, &t), 0);
  EXPECT_EQ(cfgetospeed(&t), B115200);
  EXPECT_EQ(cfgetispeed(&t), B115200);
  EXPECT_EQ(t.c_cflag & (CSIZE | PARENB | CSTOPB | CRTSCTS | CLOCAL | CREAD),
            tcflag_t(CS8 | CSTOPB | CLOCAL | CREAD));
  EXPECT_EQ(t.c_iflag & (IXON | IXOFF | IXANY | INLCR | ICRNL | IGNCR | IUCLC | ISTRIP | PARMRK),
            0u);
  EXPECT_EQ(t.c_oflag & OPOST, 0u);
  EXPECT_EQ(t.c_lflag & (ECHO | ICANON | ISIG | IEXTEN), 0u);
}

// The durations are held against the read's deadline only, never against a speed: a complete
// answer ends the read before the deadline, a short one waits it out once. A busy machine
// makes everything later, which moves neither verdict short of a second's stall.
TEST_F(PtyLinkTest, ReadEndsWhenTheAnswerIsCompleteOrAfterTheDeadline) {
  Connect();
  struct Case {
    int sent;
    bool waitsDeadline;
  };
  const Case cases[] = {{10, false}, {8, false}, {3, true}, {0, true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.sent);
    const Bytes answer = Range(0x30, c.sent);
    peer.QueueAnswer(answer);
    ASSERT_TRUE(WritePacket(MakePacket({0x45})));
    const auto t0 = Clock::now();
    GatewayAnswer a = ReadAnswer(8);
    const long long ms = MsSince(t0);
    EXPECT_EQ(Data(a), answer);
    if (c.waitsDeadline) {
      EXPECT_GE(ms, kReadTimeoutMs - 50);
      EXPECT_LT(ms, 2 * kReadTimeoutMs);
    } else {
      EXPECT_LT(ms, kReadTimeoutMs);
    }
  }
}

TEST_F(PtyLinkTest, UnreadBytesLeadTheNextAnswer) {
  Connect();
  // More than an answer holds: 32 now, the rest at the next read, which needs no new answer.
  ASSERT_TRUE(peer.Send(Range(0, 40)));
  ASSERT_TRUE(WaitQueued(40));
  EXPECT_EQ(Data(ReadAnswer(8)), Range(0, 32));
  const auto t0 = Clock::now();
  EXPECT_EQ(Data(ReadAnswer(8)), Range(32, 8));
  EXPECT_LT(MsSince(t0), kReadTimeoutMs) << "the read waited for bytes it already had";

  // Stray bytes already queued come before the next exchange's answer.
  ASSERT_TRUE(peer.Send({0xE1, 0xE2, 0xE3}));
  ASSERT_TRUE(WaitQueued(3));
  peer.QueueAnswer(Range(0x50, 8));
  ASSERT_TRUE(WritePacket(MakePacket({0x45})));
  Bytes expected = {0xE1, 0xE2, 0xE3};
  for (uint8_t b : Range(0x50, 8)) expected.push_back(b);
  EXPECT_EQ(Data(ReadAnswer(8)), expected);
}

TEST_F(PtyLinkTest, EveryByteValuePassesBothWaysUntouched) {
  // Guards against XON/XOFF, CR/LF translation, echo or signal characters on the line.
  MakeCooked(peer.SlaveFd());
  Connect();
  const Bytes all = Range(0, 256);
  for (int i = 0; i < 256; i += 32) {
    GatewayPacket p;
    for (int j = 0; j < 32; ++j) p.data[j] = all[i + j];
    p.count = 32;
    ASSERT_TRUE(WritePacket(p));
  }
  ASSERT_TRUE(peer.WaitReceived(256, kWaitMs));
  EXPECT_EQ(peer.Received(), all);

  ASSERT_TRUE(peer.Send(all));
  Bytes back;
  for (int i = 0; i < 8; ++i) {
    Bytes part = Data(ReadAnswer(32));
    back.insert(back.end(), part.begin(), part.end());
  }
  EXPECT_EQ(back, all);
  // An echo would have reached the peer before a byte the program writes after the reads.
  ASSERT_TRUE(WritePacket(MakePacket({0x48})));
  ASSERT_TRUE(peer.WaitReceived(257, kWaitMs));
  Bytes sent = all;
  sent.push_back(0x48);
  EXPECT_EQ(peer.Received(), sent) << "nothing echoed back to the peer";
}

TEST_F(PtyLinkTest, HangUpEndsTheWaitAndFailsTheNextWrite) {
  // Guards against a hang-up spinning the read until its deadline.
  Connect();
  peer.HangUpIn(50);
  const auto t0 = Clock::now();
  EXPECT_EQ(ReadAnswer(8).count, 0);
  EXPECT_LT(MsSince(t0), kReadTimeoutMs);
  EXPECT_FALSE(WritePacket(MakePacket({0x45})));
}

TEST_F(PtyLinkTest, ClosedPortCanBeOpenedAgain) {
  // Guards against exclusive mode staying on the device after Disconnect.
  Connect();
  ClosePort();
  int exclusive = -1;
  ASSERT_EQ(ioctl(peer.SlaveFd(), TIOCGEXCL, &exclusive), 0);
  EXPECT_EQ(exclusive, 0);
  Connect();
  EXPECT_TRUE(log.lines.empty());
}

TEST_F(PtyLinkTest, DevicesThatCannotServeAreRefused) {
  char file[] = "/tmp/quillet-link-XXXXXX";
  int fd = mkstemp(file);
  ASSERT_GE(fd, 0);
  close(fd);
  PosixSerialDriver other;  // another program holding the port
  const int held = other.Open(peer.SlavePath());
  ASSERT_GE(held, 0);

  struct Case {
    std::string device;
    const char* line;
  };
  const Case cases[] = {
      {"/dev/quillet-no-such-port", "Error. The COM-port is not available"},
      {file, "Error getting the COM-port parameters"},
      {peer.SlavePath(), "Error. The COM-port is not available"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.device);
    log.lines.clear();
    OpenPort(c.device);
    // Then, where the system said why, a line with the reason and the cure.
    ASSERT_FALSE(log.lines.empty());
    EXPECT_EQ(log.lines.front(), c.line);
    EXPECT_LE(log.lines.size(), 2u);
    if (log.lines.size() == 2) {
      EXPECT_EQ(log.lines[1].rfind("Cannot open " + c.device + ": ", 0), 0u);
    }
    EXPECT_EQ(PortHandle, -1);
  }
  other.Close(held);
  std::remove(file);
  Connect();  // free again once the other program lets go
}

}  // namespace
}  // namespace quillet
