// The pseudo-terminal a simulated gateway serves on, as both simulator programs open it.
#pragma once

#include <string>

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

}  // namespace quillet::sim
