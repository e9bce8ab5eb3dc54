// What both simulator programs (the simulated gateway and the simulated board) set up the
// same way: the chip in the socket with its state file, the trace file, the pseudo-terminal.
#pragma once

#include <cstdio>
#include <memory>
#include <string>

#include "sim/SimChip.h"

namespace quillet::sim {

struct GatewayPty {
  int master = -1;
  int slave = -1;     // held open, so the master never sees a hang-up between connections
  std::string path;   // the slave's path, which the program opens
};

// Opens the pair (raw, 115200 8N2 on the slave, the master non-blocking) and, if linkPath is
// not empty, makes linkPath a symbolic link to the slave (an old link there is replaced; on
// failure linkPath is cleared and a message printed). false with a message on stderr.
bool OpenGatewayPty(GatewayPty& pty, std::string& linkPath);

struct SocketOptions {
  std::string chipName;
  std::string statePath;   // "": no state file
  bool noChip = false;     // the state is neither loaded nor saved
  bool resetFuses = false;
  bool strictTiming = false;
  uint64_t enableMisses = 0;  // Programming Enables the chip does not take
  // --busy: "typical" (the default), "random:SEED" or "stuck" (SimChip::BusyMode)
  std::string busy{};
};

// The chip: the state file's contents if it holds this chip (a message otherwise), fuses reset
// and saved at once if asked. nullptr with a message for a name that is not a catalogue chip.
std::unique_ptr<SimChip> MakeSocketChip(const SocketOptions& options);

// The trace file, line-buffered; nullptr for "" and, with a message, when it cannot be written
// (ok is then false).
FILE* OpenTrace(const std::string& path, bool& ok);
void TraceLine(FILE* trace, int64_t us, const std::string& line);

}  // namespace quillet::sim
