// Opening the port step by step, the port names, and the answer size, against the recording
// fake driver.
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "link/Port.h"
#include "support/Fakes.h"

namespace quillet {
namespace {

using Lines = std::vector<std::string>;

struct OpenCase {
  const char* name;
  std::function<void(test::Recorder&)> arrange;
  Lines log;
  Lines trace;
  bool open;
};

TEST(OpenPortTest, EachStepFailsAloneAndClosesThePort) {
  const std::vector<OpenCase> cases = {
      {"open fails", [](test::Recorder& r) { r.openFails = 1; },
       {"Error. The COM-port is not available"}, {"open /dev/fake"}, false},
      {"get settings fails", [](test::Recorder& r) { r.getSettingsFails = true; },
       {"Error getting the COM-port parameters"}, {"open /dev/fake", "close"}, false},
      {"set settings fails", [](test::Recorder& r) { r.setSettingsFails = true; },
       {"Error setting the COM-port parameters"}, {"open /dev/fake", "close"}, false},
      {"packet 1 fails", [](test::Recorder& r) { r.failWriteIndex = 0; },
       {"Error executing commands:  0x0A 0x08 0x02"},
       {"open /dev/fake", "fail 0A 08 02", "close"}, false},
      {"packet 2 fails", [](test::Recorder& r) { r.failWriteIndex = 1; },
       {"Error executing commands:  0x47"}, {"open /dev/fake", "0A 08 02", "fail 47", "close"},
       false},
      {"packet 3 fails", [](test::Recorder& r) { r.failWriteIndex = 2; },
       {"Error executing commands:  0x40 0x04"},
       {"open /dev/fake", "0A 08 02", "47", "fail 40 04", "close"}, false},
      {"packet 4 fails", [](test::Recorder& r) { r.failWriteIndex = 3; },
       {"Error executing commands:  0x42 0x20"},
       {"open /dev/fake", "0A 08 02", "47", "40 04", "fail 42 20", "close"}, false},
      // Nothing is read back after the set-up packets.
      {"all succeed", [](test::Recorder&) {}, {},
       {"open /dev/fake", "0A 08 02", "47", "40 04", "42 20"}, true},
  };
  for (const OpenCase& c : cases) {
    SCOPED_TRACE(c.name);
    test::CoreFixture f;
    c.arrange(f.port);
    OpenPort("/dev/fake");
    EXPECT_EQ(f.log.lines, c.log);
    EXPECT_EQ(f.port.trace, c.trace);
    if (c.open)
      EXPECT_GE(PortHandle, 0);
    else
      EXPECT_EQ(PortHandle, -1);
  }
}

TEST(OpenPortTest, RefusesNamesThatDoNotFit) {
  // Guards against a long or NUL-cut name opening some other device.
  const std::string longest = "/dev/" + std::string(kMaxPortName, 'x');
  struct Case {
    std::string device;
    bool opened;
  };
  const Case cases[] = {
      {longest, true},
      {longest + "x", false},
      {std::string("/dev/ttyS0\0/x", 13), false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.device.size());
    test::CoreFixture f;
    OpenPort(c.device);
    if (c.opened) {
      EXPECT_TRUE(f.log.lines.empty());
      EXPECT_EQ(f.port.trace.front(), "open " + c.device);
    } else {
      EXPECT_EQ(f.log.lines, Lines{"Error. The COM-port is not available"});
      EXPECT_TRUE(f.port.trace.empty());
      EXPECT_EQ(PortHandle, -1);
    }
  }
}

TEST(OpenPortTest, DeniedAccessNamesTheOwningGroup) {
  char path[] = "/tmp/quillet-link-XXXXXX";
  int fd = mkstemp(path);
  ASSERT_GE(fd, 0);
  close(fd);
  const group* gr = getgrgid(getegid());
  const passwd* pw = getpwuid(geteuid());
  ASSERT_NE(gr, nullptr);
  ASSERT_NE(pw, nullptr);
  const std::string g = gr->gr_name;
  const std::string p = path;
  const std::string name = p.substr(5);
  const std::string rule = "a udev rule can give it to a group, e.g. a file in /etc/udev/rules.d/ "
                           "with KERNEL==\"" + name + "\", GROUP=\"dialout\", MODE=\"0660\", then replug it";
  struct Case {
    std::string device;
    mode_t mode;
    int err;
    Lines log;
  };
  // Never advice to join root's group: a device only its owner or root's group may use needs
  // a udev rule.
  const Case cases[] = {
      {p, 0660, EACCES,
       {"Error. The COM-port is not available",
        "No permission to use " + p + ": " +
            (getegid() != 0 ? "add your user to the group \"" + g + "\" (sudo usermod -aG " + g +
                                  " $USER), then log in again"
                            : "its group is root's (mode 660); " + rule)}},
      {p, 0600, EACCES,
       {"Error. The COM-port is not available",
        "No permission to use " + p + ": only its owner (" + pw->pw_name +
            ") may use it (mode 600); " + rule}},
      {"/dev/quillet-none", 0, EACCES,
       {"Error. The COM-port is not available",
        "No permission to use /dev/quillet-none: add your user to the group that owns it, "
        "then log in again"}},
      {p, 0600, ENOENT,
       {"Error. The COM-port is not available",
        "Cannot open " + p + ": no such device (is the gateway plugged in? ls /dev/ttyUSB* "
        "/dev/ttyACM* lists them)"}},
      {p, 0600, EBUSY,
       {"Error. The COM-port is not available",
        "Cannot open " + p + ": busy: another program holds it (a serial monitor, another "
        "quillet-cli, or ModemManager or brltty taking new USB serial ports)"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.device + " " + std::to_string(c.err));
    if (c.mode) {
      ASSERT_EQ(chmod(path, c.mode), 0);
    }
    test::CoreFixture f;
    f.port.openFails = 1;
    f.port.openErrno = c.err;
    OpenPort(c.device);
    EXPECT_EQ(f.log.lines, c.log);
    EXPECT_EQ(PortHandle, -1);
  }
  std::remove(path);
}

TEST(DeviceNameTest, MapsPortNamesToDevices) {
  const std::pair<const char*, const char*> cases[] = {
      {"COM1", "/dev/ttyS0"},       {"COM3", "/dev/ttyS2"},
      {"COM10", "/dev/ttyS9"},      {"ttyUSB0", "/dev/ttyUSB0"},
      {"/dev/pts/3", "/dev/pts/3"}, {"/tmp/gateway", "/tmp/gateway"},
      {"COM0", "/dev/COM0"},        {"COM", "/dev/COM"},
      {"COMx", "/dev/COMx"},        {"COM99999999999", "/dev/COM99999999999"},
  };
  for (const auto& [port, device] : cases) EXPECT_EQ(DeviceName(port), device) << port;
}

TEST(ExchangeTest, ClosedPortSendsAndReadsNothing) {
  test::CoreFixture f;
  EXPECT_FALSE(WritePacket(MakePacket({0x45})));
  EXPECT_EQ(ReadAnswer(8).count, 0);
  EXPECT_TRUE(f.port.trace.empty());
}

TEST(ExchangeTest, AnswerHoldsAtMost32Bytes) {
  // Guards against a long answer running past the answer record.
  test::CoreFixture f;
  f.Connect();
  std::vector<uint8_t> forty(40);
  for (int i = 0; i < 40; ++i) forty[i] = static_cast<uint8_t>(i);
  f.port.answers.push_back(forty);
  GatewayAnswer a = ReadAnswer(8);
  ASSERT_EQ(a.count, 32);
  EXPECT_EQ(std::vector<uint8_t>(a.data, a.data + 32),
            std::vector<uint8_t>(forty.begin(), forty.begin() + 32));
}

}  // namespace
}  // namespace quillet
