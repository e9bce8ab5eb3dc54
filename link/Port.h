// The serial port to the gateway: one process-wide handle, packets out, answers in.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>

namespace quillet {

struct GatewayPacket {
  uint8_t data[32] = {};
  int32_t count = 0;
};

struct GatewayAnswer {
  uint8_t data[32] = {};
  int32_t count = 0;  // 0: nothing came
};

GatewayPacket MakePacket(std::initializer_list<uint8_t> bytes);

// The system's serial interface, one call per step of opening and using the port.
// The real one is termios (link/PosixSerial.h); tests use a recording fake.
class SerialDriver {
 public:
  virtual ~SerialDriver() = default;
  // Opens the device for exclusive use; a handle >= 0, or -1 (LastError() says why).
  virtual int Open(const std::string& device) = 0;
  virtual bool GetSettings(int handle) = 0;
  // 115200 baud, 8 data bits, no parity, 2 stop bits, raw binary, no flow control,
  // DTR and RTS inactive.
  virtual bool SetSettings(int handle) = 0;
  virtual void Purge(int handle) = 0;
  // Writes all bytes and waits until the driver has sent them; false on any error.
  virtual bool Write(int handle, const uint8_t* data, int count) = 0;
  // Collects bytes into data (at most max) until at least expected have come, timeoutMs has
  // passed, or the device hung up; returns how many came (never more than max). Bytes beyond
  // max stay queued.
  virtual int Read(int handle, uint8_t* data, int max, int expected, int timeoutMs) = 0;
  virtual void Close(int handle) = 0;
  // Sets the line's rate (fast transfers with Quillet's firmware); false when the device or
  // the driver cannot, and then the line is as it was.
  virtual bool SetBaud(int /*handle*/, uint32_t /*baud*/) { return false; }
  // errno of the last failed Open (0 if none).
  virtual int LastError() const = 0;
};

// Installing nullptr restores the termios driver.
void SetSerialDriver(SerialDriver* driver);
// errno of the last open that failed (0 if none): the system's reason, for messages.
int LastPortError();
// Why device did not open (err: the system's error number) and what to do about it, in the
// line after "Error. The COM-port is not available" and in quillet-cli's error.
std::string PortOpenFailure(const std::string& device, int err);
SerialDriver& GetSerialDriver();

// -1 means closed.
extern int PortHandle;

constexpr int kReadTimeoutMs = 1000;
constexpr size_t kMaxPortName = 95;
// The longest device name that DeviceName makes of a port name that fits: "/dev/" + 95.
constexpr size_t kMaxDeviceName = kMaxPortName + 5;

// The device a port name means: "/..." as it stands, "COMn" is /dev/ttyS<n-1>, any other
// name is taken under /dev/.
std::string DeviceName(const std::string& portName);

// Opens and configures the port and sends the gateway its set-up packets. Afterwards
// PortHandle is open and ready, or -1 with a failure line logged. A device name longer than
// kMaxDeviceName is refused as unavailable. When the system denies access, a second line
// names the group whose members may use the device.
void OpenPort(const std::string& device);
// The device of the port last opened (kept after it closes, for the messages that say so).
const std::string& OpenedDevice();
// Called once the port is open and ready, and just before it closes (PortHandle still open):
// the fast transfers forget their gateway and put a raised line back to 115200.
void SetPortHooks(void (*opened)(), void (*closing)());
void ClosePort();
bool WritePacket(const GatewayPacket& packet);
GatewayAnswer ReadAnswer(int expected, int timeoutMs = kReadTimeoutMs);

}  // namespace quillet
