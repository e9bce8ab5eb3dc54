// The serial port on Linux: termios, poll(), an exclusive lock on the device.
#pragma once

#include <termios.h>

#include <string>

#include "link/Port.h"

namespace quillet {

class PosixSerialDriver : public SerialDriver {
 public:
  int Open(const std::string& device) override;
  bool GetSettings(int handle) override;
  bool SetSettings(int handle) override;
  void Purge(int handle) override;
  bool Write(int handle, const uint8_t* data, int count) override;
  int Read(int handle, uint8_t* data, int max, int expected, int timeoutMs) override;
  void Close(int handle) override;
  bool SetBaud(int handle, uint32_t baud) override;
  int LastError() const override { return lastError_; }

 private:
  termios settings_{};
  int lastError_ = 0;
};

// termios2 (link/SerialBaud.cpp): sets any rate, false if the device does not take it; and
// the rate a line runs at, 0 if unknown.
bool SetLineBaud(int fd, uint32_t baud);
uint32_t LineBaud(int fd);

// The name of the group that owns the device file, or "" when it cannot be found.
std::string DeviceGroupName(const std::string& device);
// What to do about a device that may not be opened, from its owner, group and mode: join a
// group that may use it, or (mode 600, a group of root's) have a udev rule give it to one.
std::string DevicePermissionAdvice(const std::string& device);

}  // namespace quillet
