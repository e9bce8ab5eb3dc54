// The simulator program run as a child process, for tests and benchmarks that drive the real
// serial code over its pseudo-terminal.
#pragma once

#include <sys/types.h>

#include <csignal>

#include <string>
#include <vector>

namespace quillet::test {

class SimProcess {
 public:
  // Starts `binary args...` and waits for the first line it prints: the pseudo-terminal's
  // path, printed once the line is served. path stays empty when the program does not start.
  SimProcess(const std::string& binary, const std::vector<std::string>& args);
  ~SimProcess();  // SIGTERM, then waits
  SimProcess(const SimProcess&) = delete;
  SimProcess& operator=(const SimProcess&) = delete;

  // Sends the signal and waits for the program; its wait status, -1 if it was not running.
  int Stop(int signal = SIGTERM);
  bool Running() const { return pid_ > 0; }
  pid_t Pid() const { return pid_; }

  std::string path;

 private:
  pid_t pid_ = -1;
};

}  // namespace quillet::test
