// The simulator program over its pseudo-terminal, as the program meets it.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "sim/SimChip.h"
#include "support/Fakes.h"
#include "support/SimProcess.h"

namespace {

using Clock = std::chrono::steady_clock;

// The simulator program over its pseudo-terminal.
struct SimProcess : quillet::test::SimProcess {
  explicit SimProcess(const std::vector<std::string>& args)
      : quillet::test::SimProcess(QUILLET_SIM_BINARY, args) {}
};

int OpenRaw(const std::string& path) {
  int fd = open(path.c_str(), O_RDWR | O_NOCTTY);
  if (fd < 0) return -1;
  termios t;
  tcgetattr(fd, &t);
  cfmakeraw(&t);
  cfsetspeed(&t, B115200);
  t.c_cflag |= CSTOPB | CLOCAL | CREAD;
  tcsetattr(fd, TCSANOW, &t);
  tcflush(fd, TCIOFLUSH);
  return fd;
}

void Send(int fd, std::vector<uint8_t> bytes) {
  ASSERT_EQ(write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
}

// The limit only ends a wait for bytes that never come.
std::vector<uint8_t> Receive(int fd, size_t want, int timeoutMs = 10000) {
  std::vector<uint8_t> got;
  const auto end = Clock::now() + std::chrono::milliseconds(timeoutMs);
  while (got.size() < want) {
    const int left = static_cast<int>(
        std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count());
    if (left <= 0) break;
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, left) <= 0) break;
    uint8_t buf[64];
    const ssize_t n = read(fd, buf, sizeof buf);
    if (n <= 0) break;
    got.insert(got.end(), buf, buf + n);
  }
  return got;
}

void Pause(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

// Set-up as OpenPort sends it, a reset pulse, Programming Enable; the echo byte.
int ConnectAndEnable(int fd) {
  Send(fd, {0x0A, 0x08, 0x02, 0x47, 0x40, 0x04, 0x42, 0x20, 0x48});
  Pause(1);
  Send(fd, {0x47});
  Pause(21);
  Send(fd, {0x44, 0x00, 0x00, 0x53, 0xAC, 0x46, 0x45});
  const auto a = Receive(fd, 8);
  return a.size() == 8 ? a[1] : -1;
}

TEST(SimProgram, ServesReconnectsAndKeepsItsState) {
  const std::string& dir = quillet::test::TempDir();
  const std::string link = dir + "sim_pty_link", state = dir + "sim_pty_state.txt";
  std::remove(state.c_str());
  {
    SimProcess sim({"--chip", "attiny2313", "--link", link, "--state", state});
    ASSERT_FALSE(sim.path.empty());
    char target[256] = {};
    ASSERT_GT(readlink(link.c_str(), target, sizeof target - 1), 0);
    EXPECT_EQ(sim.path, target);

    int fd = OpenRaw(link);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(ConnectAndEnable(fd), 0x53);
    // Unpaced, one read exchange answers at once (how soon is the benchmarks' business).
    Send(fd, {0x44, 0x00, 0x01, 0x00, 0x30, 0x46});
    Send(fd, {0x45});
    const auto sig = Receive(fd, 8);
    ASSERT_EQ(sig.size(), 8u);
    EXPECT_EQ(sig[0], 0x91);
    // Bytes the terminal layer likes to interpret pass untouched.
    Send(fd, {0x44, 0x0D, 0x11, 0x00, 0xC0, 0x46});
    Pause(10);
    Send(fd, {0x44, 0x00, 0x11, 0x00, 0xA0, 0x46, 0x45});
    EXPECT_EQ(Receive(fd, 8).at(0), 0x0D);
    close(fd);

    // The program disconnects and connects again.
    fd = OpenRaw(sim.path);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(ConnectAndEnable(fd), 0x53);
    close(fd);
    EXPECT_EQ(sim.Stop(), 0);
  }
  struct stat st;
  EXPECT_NE(lstat(link.c_str(), &st), 0) << "the link is removed at exit";
  quillet::sim::SimChipState s;
  ASSERT_TRUE(quillet::sim::LoadSimState(state, s));
  EXPECT_EQ(s.eeprom.at(0x11), 0x0D);
  EXPECT_EQ(s.violations, 0u);

  SimProcess again({"--chip", "ATtiny2313", "--state", state});
  int fd = OpenRaw(again.path);
  ASSERT_GE(fd, 0);
  EXPECT_EQ(ConnectAndEnable(fd), 0x53);
  Send(fd, {0x44, 0x00, 0x11, 0x00, 0xA0, 0x46, 0x45});
  EXPECT_EQ(Receive(fd, 8).at(0), 0x0D);
  close(fd);
  again.Stop();
  std::remove(state.c_str());
}

TEST(SimProgram, PacedAnswersTakeTheirWireTime) {
  SimProcess sim({"--pace", "--chip", "ATtiny13"});
  int fd = OpenRaw(sim.path);
  ASSERT_GE(fd, 0);
  EXPECT_EQ(ConnectAndEnable(fd), 0x53);
  const auto t0 = Clock::now();
  Send(fd, {0x45});
  const auto a = Receive(fd, 8);
  const auto us = std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - t0).count();
  EXPECT_EQ(a.size(), 8u);
  EXPECT_GE(us, 9 * 95);  // the command byte and eight answer bytes
  close(fd);
}

TEST(SimProgram, HangsUpAfterNCommands) {
  SimProcess sim({"--hangup-after", "4"});
  int fd = OpenRaw(sim.path);
  ASSERT_GE(fd, 0);
  Send(fd, {0x0A, 0x08, 0x02, 0x47, 0x40, 0x04, 0x42, 0x20});
  pollfd p{fd, POLLIN, 0};
  ASSERT_EQ(poll(&p, 1, 10000), 1);
  EXPECT_TRUE(p.revents & (POLLHUP | POLLERR));
  close(fd);
}

}  // namespace
