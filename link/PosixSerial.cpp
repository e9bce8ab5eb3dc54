#include "link/PosixSerial.h"

#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>

namespace quillet {
namespace {

long long NowMs() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts.tv_sec * 1000LL + ts.tv_nsec / 1000000LL;
}

}  // namespace

int PosixSerialDriver::Open(const std::string& device) {
  lastError_ = 0;
  int fd = ::open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    lastError_ = errno;
    return -1;
  }
  // Nobody else may use the port while we hold it: the Windows share mode 0.
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    lastError_ = errno == EWOULDBLOCK ? EBUSY : errno;
    ::close(fd);
    return -1;
  }
  ::ioctl(fd, TIOCEXCL);  // not every device takes it; a lock is enough then
  return fd;
}

bool PosixSerialDriver::GetSettings(int handle) { return ::tcgetattr(handle, &settings_) == 0; }

bool PosixSerialDriver::SetSettings(int handle) {
  termios t = settings_;
  ::cfmakeraw(&t);  // no echo, no canonical input, no XON/XOFF, no CR/LF translation
  t.c_iflag &= ~(IXON | IXOFF | IXANY | INLCR | ICRNL | IGNCR | ISTRIP | PARMRK | INPCK);
  t.c_iflag |= IGNBRK;
  t.c_oflag &= ~OPOST;
  t.c_cflag &= ~(CSIZE | PARENB | PARODD | CRTSCTS | HUPCL);
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
      pollfd p{handle, POLLOUT, 0};
      int r = ::poll(&p, 1, 1000);
      if (r < 0 && errno == EINTR) continue;
      if (r <= 0 || (p.revents & (POLLERR | POLLHUP | POLLNVAL))) return false;
      continue;
    }
    return false;
  }
  // Returns when the driver has finished the write. A pseudo-terminal has nothing to drain.
  if (::tcdrain(handle) != 0 && errno != ENOTTY && errno != EINVAL) return false;
  return true;
}

int PosixSerialDriver::Read(int handle, uint8_t* data, int max, int expected, int timeoutMs) {
  int count = 0;
  const long long deadline = NowMs() + timeoutMs;
  while (count < expected && count < max) {
    int waiting = 0;
    if (::ioctl(handle, FIONREAD, &waiting) == 0 && waiting > 0) {
      int want = waiting < max - count ? waiting : max - count;
      ssize_t n = ::read(handle, data + count, static_cast<size_t>(want));
      if (n > 0) {
        count += static_cast<int>(n);
        continue;
      }
      if (n < 0 && errno != EAGAIN && errno != EINTR) break;
    }
    long long left = deadline - NowMs();
    if (left <= 0) break;
    pollfd p{handle, POLLIN, 0};
    int r = ::poll(&p, 1, static_cast<int>(left));
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) break;
    if (p.revents & POLLIN) continue;
    if (p.revents & (POLLHUP | POLLERR | POLLNVAL)) break;  // the device is gone
  }
  return count;
}

void PosixSerialDriver::Close(int handle) {
  if (handle >= 0) ::close(handle);
}

}  // namespace quillet
