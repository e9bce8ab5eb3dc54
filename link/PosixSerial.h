// The serial port on Linux: termios, poll(), an exclusive lock on the device.
#pragma once

#include <termios.h>

#include <string>

#include "link/Portfunctions.h"

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
  int LastError() const override { return lastError_; }

 private:
  termios settings_{};
  int lastError_ = 0;
};

// The name of the group that owns the device file, or "" when it cannot be found.
std::string DeviceGroupName(const std::string& device);

}  // namespace quillet
