#include "sim/GatewayPty.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace quillet::sim {

bool OpenGatewayPty(GatewayPty& pty, std::string& linkPath) {
  pty.master = posix_openpt(O_RDWR | O_NOCTTY);
  if (pty.master < 0 || grantpt(pty.master) != 0 || unlockpt(pty.master) != 0) {
    std::perror("posix_openpt");
    return false;
  }
  pty.path = ptsname(pty.master);
  pty.slave = open(pty.path.c_str(), O_RDWR | O_NOCTTY);
  if (pty.slave < 0) {
    std::perror(pty.path.c_str());
    return false;
  }
  termios tio;
  if (tcgetattr(pty.slave, &tio) == 0) {
    cfmakeraw(&tio);
    cfsetspeed(&tio, B115200);
    tio.c_cflag |= CSTOPB | CLOCAL | CREAD;
    tcsetattr(pty.slave, TCSANOW, &tio);
  }
  fcntl(pty.master, F_SETFL, fcntl(pty.master, F_GETFL) | O_NONBLOCK);

  if (!linkPath.empty()) {
    struct stat st;
    if (lstat(linkPath.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) unlink(linkPath.c_str());
    if (symlink(pty.path.c_str(), linkPath.c_str()) != 0) {
      std::fprintf(stderr, "cannot link %s: %s\n", linkPath.c_str(), std::strerror(errno));
      linkPath.clear();
    }
  }
  return true;
}

}  // namespace quillet::sim
