#include "sim/SimProgram.h"

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

std::unique_ptr<SimChip> MakeSocketChip(const SocketOptions& o) {
  const SimChipModel* model = FindSimChip(o.chipName);
  if (!model) {
    std::fprintf(stderr, "unknown chip: %s\n", o.chipName.c_str());
    return nullptr;
  }
  auto chip = std::make_unique<SimChip>(*model);
  // The ResetLow byte may be read late while the program's 20 ms wait runs on time.
  chip->SetResetSettleUs(SimChip::kResetSettleUs - 2000);
  chip->SetStrictTiming(o.strictTiming);
  chip->SetEnableMisses(o.enableMisses);
  if (o.busy == "stuck") chip->SetBusyMode(SimChip::BusyMode::Stuck);
  else if (o.busy.rfind("random:", 0) == 0)
    chip->SetBusyMode(SimChip::BusyMode::Random, static_cast<uint32_t>(std::strtoul(o.busy.c_str() + 7, nullptr, 10)));
  else if (!o.busy.empty() && o.busy != "typical")
    std::fprintf(stderr, "--busy: not typical, random:SEED or stuck: %s; typical taken\n", o.busy.c_str());
  if (!o.statePath.empty()) {
    SimChipState loaded;
    struct stat st;
    std::string why;
    if (lstat(o.statePath.c_str(), &st) == 0) {
      if (!LoadSimState(o.statePath, loaded, &why)) {
        std::fprintf(stderr, "state file %s refused (%s); starting from factory state\n",
                     o.statePath.c_str(), why.c_str());
      } else if (!chip->Adopt(loaded)) {
        const std::string holds = loaded.chip != model->name
                                      ? "it holds " + loaded.chip
                                      : "its memories or fuses are not of the chip's sizes";
        std::fprintf(stderr, "state file %s does not hold a %s (%s); starting from factory state\n",
                     o.statePath.c_str(), model->name, holds.c_str());
      }
    }
  }
  if (o.resetFuses) {
    chip->ResetFuses();
    // Kept at once, so the recovery holds even if the line never changes the chip again.
    if (!o.statePath.empty() && !o.noChip) SaveSimState(o.statePath, chip->State());
  }
  return chip;
}

FILE* OpenTrace(const std::string& path, bool& ok) {
  ok = true;
  if (path.empty()) return nullptr;
  // Not blocking while opening: a FIFO that nobody reads is an error, not a wait for ever.
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NONBLOCK | O_CLOEXEC, 0666);
  FILE* trace = fd < 0 ? nullptr : fdopen(fd, "w");
  if (!trace) {
    std::fprintf(stderr, "cannot write %s: %s\n", path.c_str(),
                 errno == ENXIO ? "no program reads from it" : std::strerror(errno));
    if (fd >= 0) close(fd);
    ok = false;
    return nullptr;
  }
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  setvbuf(trace, nullptr, _IOLBF, 0);
  return trace;
}

void TraceLine(FILE* trace, int64_t us, const std::string& line) {
  if (trace) std::fprintf(trace, "%10.6f %s\n", static_cast<double>(us) / 1e6, line.c_str());
}

}  // namespace quillet::sim
