#include "link/PosixSerial.h"

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cerrno>
#include <vector>

namespace quillet {
namespace {

long long NowMs() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts.tv_sec * 1000LL + ts.tv_nsec / 1000000LL;
}

// Takes the bytes waiting on the port, at most room of them. Returns how many it took, or -1
// when the device fails (e.g. EIO after a hang-up).
int TakeWaiting(int fd, uint8_t* data, int room) {
  int waiting = 0;
  // A device that cannot count its queue is read for whatever it has.
  if (::ioctl(fd, FIONREAD, &waiting) != 0) waiting = room;
  if (waiting <= 0) return 0;
  const size_t want = static_cast<size_t>(std::min(waiting, room));
  for (;;) {
    ssize_t n = ::read(fd, data, want);
    if (n >= 0) return static_cast<int>(n);
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) return 0;
    return -1;
  }
}

// Waits until the driver has sent what it holds (a pseudo-terminal has nothing to drain).
// Without flow control that takes the line's time for the bytes: a stop signal does not cut
// it short, the stop is seen at the next step.
bool Drain(int handle) {
  int r;
  while ((r = ::tcdrain(handle)) != 0 && errno == EINTR) {
  }
  return r == 0 || errno == ENOTTY || errno == EINVAL;
}

}  // namespace

int PosixSerialDriver::Open(const std::string& device) {
  lastError_ = 0;
  int fd = ::open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    lastError_ = errno;
    return -1;
  }
  // Nobody else may use the port while we hold it.
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    lastError_ = errno == EWOULDBLOCK ? EBUSY : errno;
    ::close(fd);
    return -1;
  }
  ::ioctl(fd, TIOCEXCL);  // not every device takes it; the lock is enough then
  return fd;
}

bool PosixSerialDriver::GetSettings(int handle) { return ::tcgetattr(handle, &settings_) == 0; }

bool PosixSerialDriver::SetSettings(int handle) {
  termios t = settings_;
  // Raw bytes both ways: the gateway's data hold 0x11, 0x13, 0x0D and 0x0A, so no XON/XOFF,
  // no CR/LF or case translation, no echo, no signals, no canonical input.
  ::cfmakeraw(&t);
  t.c_iflag &= ~(IXON | IXOFF | IXANY | INLCR | ICRNL | IGNCR | IUCLC | ISTRIP | PARMRK | INPCK |
                 BRKINT | IMAXBEL);
  t.c_iflag |= IGNBRK;  // a line break would otherwise read as a 0x00 byte
  t.c_oflag &= ~OPOST;
  t.c_lflag &= ~(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
  // HUPCL off: closing the port leaves the modem lines as they are.
  t.c_cflag &= ~(CSIZE | PARENB | PARODD | CMSPAR | CRTSCTS | HUPCL);
  t.c_cflag |= CS8 | CSTOPB | CLOCAL | CREAD;
  t.c_cc[VMIN] = 0;
  t.c_cc[VTIME] = 0;
  ::cfsetispeed(&t, B115200);
  ::cfsetospeed(&t, B115200);
  if (::tcsetattr(handle, TCSANOW, &t) != 0) return false;
  // DTR and RTS held inactive; a device without modem lines (a pseudo-terminal) is fine.
  int lines = TIOCM_DTR | TIOCM_RTS;
  ::ioctl(handle, TIOCMBIC, &lines);
  // USB-serial adapters deliver a short answer sooner with low latency; ignore refusal.
  serial_struct ss;
  if (::ioctl(handle, TIOCGSERIAL, &ss) == 0) {
    ss.flags |= ASYNC_LOW_LATENCY;
    ::ioctl(handle, TIOCSSERIAL, &ss);
  }
  return true;
}

void PosixSerialDriver::Purge(int handle) { ::tcflush(handle, TCIOFLUSH); }

bool PosixSerialDriver::Write(int handle, const uint8_t* data, int count) {
  int done = 0;
  while (done < count) {
    ssize_t n = ::write(handle, data + done, static_cast<size_t>(count - done));
    if (n > 0) {
      done += static_cast<int>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      // Without flow control a line drains at its baud rate; a second without room means
      // the device has stopped taking bytes, and blocking the window for ever helps nobody.
      pollfd p{handle, POLLOUT, 0};
      int r = ::poll(&p, 1, 1000);
      if (r < 0 && errno == EINTR) continue;
      if (r <= 0 || (p.revents & (POLLERR | POLLHUP | POLLNVAL))) return false;
      continue;
    }
    return false;
  }
  // Returns when the driver has sent the bytes. A pseudo-terminal has nothing to drain.
  if (!Drain(handle)) return false;
  return true;
}

int PosixSerialDriver::Read(int handle, uint8_t* data, int max, int expected, int timeoutMs) {
  expected = std::min(expected, max);
  int count = 0;
  const long long deadline = NowMs() + timeoutMs;
  while (count < expected) {
    int got = TakeWaiting(handle, data + count, max - count);
    if (got < 0) break;
    count += got;
    if (count >= expected || got > 0) continue;
    long long left = deadline - NowMs();
    if (left <= 0) break;
    pollfd p{handle, POLLIN, 0};
    int r = ::poll(&p, 1, static_cast<int>(left));
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) break;
    if (p.revents & (POLLHUP | POLLERR | POLLNVAL)) {
      // The device is gone: keep what it still holds and stop waiting. POLLIN comes with a
      // hang-up too, so it must not send the loop round again.
      got = TakeWaiting(handle, data + count, max - count);
      if (got > 0) count += got;
      break;
    }
  }
  return count;
}

bool PosixSerialDriver::SetBaud(int handle, uint32_t baud) {
  // Bytes still queued for the line go out at the rate they were written for.
  if (!Drain(handle)) return false;
  return SetLineBaud(handle, baud);
}

void PosixSerialDriver::Close(int handle) {
  if (handle < 0) return;
  // Exclusive mode outlives us on a pseudo-terminal whose master stays open, and would refuse
  // the next Connect to the same device.
  ::ioctl(handle, TIOCNXCL);
  ::close(handle);
}

std::string DeviceGroupName(const std::string& device) {
  struct stat st;
  if (::stat(device.c_str(), &st) != 0) return "";
  std::vector<char> buf(4096);
  group gr;
  group* found = nullptr;
  while (::getgrgid_r(st.st_gid, &gr, buf.data(), buf.size(), &found) == ERANGE &&
         buf.size() < (1u << 20))
    buf.resize(buf.size() * 2);
  return found ? found->gr_name : "";
}

std::string DevicePermissionAdvice(const std::string& device) {
  struct stat st;
  const std::string general = "add your user to the group that owns it, then log in again";
  if (::stat(device.c_str(), &st) != 0) return general;
  const std::string group = DeviceGroupName(device);
  // Only a group that may read and write the device is worth joining, and never root's.
  if ((st.st_mode & 060) == 060 && st.st_gid != 0 && !group.empty())
    return "add your user to the group \"" + group + "\" (sudo usermod -aG " + group +
           " $USER), then log in again";
  std::vector<char> buf(4096);
  passwd pw;
  passwd* found = nullptr;
  while (::getpwuid_r(st.st_uid, &pw, buf.data(), buf.size(), &found) == ERANGE &&
         buf.size() < (1u << 20))
    buf.resize(buf.size() * 2);
  const std::string owner = found ? found->pw_name : "uid " + std::to_string(st.st_uid);
  char mode[8];
  std::snprintf(mode, sizeof mode, "%03o", static_cast<unsigned>(st.st_mode & 0777));
  const std::string name = device.substr(device.rfind('/') + 1);
  const std::string rule = "a udev rule can give it to a group, e.g. a file in "
                           "/etc/udev/rules.d/ with KERNEL==\"" + name +
                           "\", GROUP=\"dialout\", MODE=\"0660\", then replug it";
  if ((st.st_mode & 060) != 060)
    return std::string("only its owner (") + owner + ") may use it (mode " + mode + "); " + rule;
  return "its group is root's (mode " + std::string(mode) + "); " + rule;
}

}  // namespace quillet
