#include "link/Portfunctions.h"

#include <cerrno>
#include <cstring>

#include "link/PosixSerial.h"
#include "log/Logfunctions.h"

namespace quillet {

int PortHandle = -1;

namespace {

PosixSerialDriver g_posix;
SerialDriver* g_driver = &g_posix;

struct SetupPacket {
  GatewayPacket packet;
  const char* text;
};

}  // namespace

GatewayPacket MakePacket(std::initializer_list<uint8_t> bytes) {
  GatewayPacket p;
  for (uint8_t b : bytes) {
    if (p.count == 32) break;
    p.data[p.count++] = b;
  }
  return p;
}

void SetSerialDriver(SerialDriver* driver) { g_driver = driver ? driver : &g_posix; }
SerialDriver& GetSerialDriver() { return *g_driver; }

std::string DeviceName(const std::string& portName) {
  if (!portName.empty() && portName[0] == '/') return portName;
  if (portName.size() > 3 && portName.compare(0, 3, "COM") == 0) {
    bool digits = true;
    for (size_t i = 3; i < portName.size(); ++i)
      if (portName[i] < '0' || portName[i] > '9') digits = false;
    if (digits && portName.size() <= 6) {
      int n = std::stoi(portName.substr(3));
      if (n >= 1) return "/dev/ttyS" + std::to_string(n - 1);
    }
  }
  return "/dev/" + portName;
}

void OpenPort(const std::string& device) {
  PortHandle = g_driver->Open(device);
  if (PortHandle < 0) {
    PortHandle = -1;
    AddLog(2, "");
    if (g_driver->LastError() == EACCES || g_driver->LastError() == EPERM) {
      AddLog(0, "Permission denied on " + device +
                    ": add your user to the group that owns the device (usually dialout) "
                    "and log in again");
    }
    return;
  }
  if (!g_driver->GetSettings(PortHandle)) {
    AddLog(4, "");
    ClosePort();
    return;
  }
  if (!g_driver->SetSettings(PortHandle)) {
    AddLog(5, "");
    ClosePort();
    return;
  }
  g_driver->Purge(PortHandle);
  static const SetupPacket kSetup[] = {
      {MakePacket({0x0A, 0x08, 0x02}), " 0x0A 0x08 0x02"},
      {MakePacket({0x47}), " 0x47"},
      {MakePacket({0x40, 0x04}), " 0x40 0x04"},
      {MakePacket({0x42, 0x20}), " 0x42 0x20"},
  };
  for (const SetupPacket& s : kSetup) {
    if (!WritePacket(s.packet)) {
      AddLog(6, s.text);
      ClosePort();
      return;
    }
  }
}

void ClosePort() {
  if (PortHandle >= 0) g_driver->Close(PortHandle);
  PortHandle = -1;
}

bool WritePacket(const GatewayPacket& packet) {
  if (PortHandle < 0 || packet.count < 0 || packet.count > 32) return false;
  return g_driver->Write(PortHandle, packet.data, packet.count);
}

GatewayAnswer ReadAnswer(int expected) {
  GatewayAnswer answer;
  if (PortHandle < 0) return answer;
  int n = g_driver->Read(PortHandle, answer.data, 32, expected, kReadTimeoutMs);
  answer.count = n < 0 ? 0 : n;
  return answer;
}

}  // namespace quillet
