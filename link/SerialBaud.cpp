// Any baud rate on Linux: termios2 with BOTHER through TCGETS2/TCSETS2. Kept apart from the
// other serial code because the kernel's termios2 header clashes with the C library's termios.
#include <asm/ioctls.h>
#include <asm/termbits.h>

#include <cstdint>

extern "C" int ioctl(int fd, unsigned long request, ...);

namespace quillet {

bool SetLineBaud(int fd, uint32_t baud) {
  struct termios2 t;
  if (ioctl(fd, TCGETS2, &t) != 0) return false;
  const struct termios2 before = t;
  t.c_cflag &= ~CBAUD;
  t.c_cflag |= BOTHER;
  t.c_ispeed = baud;
  t.c_ospeed = baud;
  t.c_cflag &= ~(CBAUD << IBSHIFT);
  t.c_cflag |= BOTHER << IBSHIFT;
  if (ioctl(fd, TCSETS2, &t) != 0) return false;
  // A driver may settle on another rate than asked: only the one asked for will do. Within 2 %,
  // as the UARTs at either end allow.
  struct termios2 now;
  if (ioctl(fd, TCGETS2, &now) == 0 && now.c_ospeed >= baud - baud / 50 &&
      now.c_ospeed <= baud + baud / 50)
    return true;
  ioctl(fd, TCSETS2, &before);
  return false;
}

// The rate the line runs at, 0 when it cannot be told (the board reads its pseudo-terminal's).
uint32_t LineBaud(int fd) {
  struct termios2 t;
  if (ioctl(fd, TCGETS2, &t) != 0) return 0;
  return t.c_ospeed;
}

}  // namespace quillet
