#include "link/Port.h"

#include <cerrno>
#include <cstring>

#include "link/PosixSerial.h"
#include "log/Log.h"

namespace quillet {

int PortHandle = -1;

namespace {

PosixSerialDriver g_posix;
SerialDriver* g_driver = &g_posix;
void (*g_opened)() = nullptr;
void (*g_closing)() = nullptr;

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

void SetPortHooks(void (*opened)(), void (*closing)()) {
  g_opened = opened;
  g_closing = closing;
}

void SetSerialDriver(SerialDriver* driver) { g_driver = driver ? driver : &g_posix; }
int LastPortError() { return g_driver->LastError(); }
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

static std::string PermissionLine(const std::string& device) {
  return "No permission to use " + device + ": " + DevicePermissionAdvice(device);
}

namespace {
std::string g_openedDevice;
}  // namespace

const std::string& OpenedDevice() { return g_openedDevice; }

std::string PortOpenFailure(const std::string& device, int err) {
  switch (err) {
    case ENOENT:
    case ENODEV:
    case ENXIO:
      return "no such device (is the gateway plugged in? ls /dev/ttyUSB* /dev/ttyACM* lists them)";
    case EACCES:
    case EPERM:
      return "permission denied: " + DevicePermissionAdvice(device);
    case EBUSY:
      return "busy: another program holds it (a serial monitor, another quillet-cli, or "
             "ModemManager or brltty taking new USB serial ports)";
    case 0:
      return "the port opened but could not be set up for the gateway";
    default:
      return std::strerror(err);
  }
}

void OpenPort(const std::string& device) {
  ClosePort();  // a second open of the same device would trip over our own lock
  // A name that does not fit the port name buffer, or that the system would cut at a NUL,
  // could open some other device: refuse it as unavailable.
  if (device.size() > kMaxDeviceName || device.find('\0') != std::string::npos) {
    AddLog(LogKind::PortUnavailable, "");
    return;
  }
  PortHandle = g_driver->Open(device);
  if (PortHandle < 0) {
    PortHandle = -1;
    AddLog(LogKind::PortUnavailable, "");
    const int err = g_driver->LastError();
    if (err == EACCES || err == EPERM) AddLog(LogKind::Text, PermissionLine(device));
    else if (err != 0) AddLog(LogKind::Text, "Cannot open " + device + ": " + PortOpenFailure(device, err));
    return;
  }
  if (!g_driver->GetSettings(PortHandle)) {
    AddLog(LogKind::PortSettingsUnread, "");
    ClosePort();
    return;
  }
  if (!g_driver->SetSettings(PortHandle)) {
    AddLog(LogKind::PortSettingsUnset, "");
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
      AddLog(LogKind::CommandError, s.text);
      ClosePort();
      return;
    }
  }
  g_openedDevice = device;
  if (g_opened) g_opened();
}

void ClosePort() {
  if (PortHandle >= 0 && g_closing) g_closing();
  if (PortHandle >= 0) g_driver->Close(PortHandle);
  PortHandle = -1;
}

bool WritePacket(const GatewayPacket& packet) {
  if (PortHandle < 0 || packet.count < 0 || packet.count > 32) return false;
  return g_driver->Write(PortHandle, packet.data, packet.count);
}

GatewayAnswer ReadAnswer(int expected, int timeoutMs) {
  GatewayAnswer answer;
  if (PortHandle < 0) return answer;
  const int max = static_cast<int>(sizeof answer.data);
  int n = g_driver->Read(PortHandle, answer.data, max, expected, timeoutMs);
  answer.count = n < 0 ? 0 : n > max ? max : n;
  return answer;
}

}  // namespace quillet
