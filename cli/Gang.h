// Gang programming: the same job on every port at once, one process per port.
#pragma once

#include <string>

#include "cli/Options.h"

namespace quillet::cli {

// Runs the job on every port of options.ports, each in a child process; every output line
// prefixed by its port; then a summary table (port, chip, result, time). 0 when every port
// succeeded, 130 when stopped, 1 otherwise.
int RunGang(const Options& options);

// A file-name-safe form of a port's name, for the files of its run: "/dev/ttyUSB0" -> "ttyUSB0".
std::string PortTag(const std::string& port);

}  // namespace quillet::cli
