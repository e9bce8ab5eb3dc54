// Gang programming: the same job on every port at once, one process per port.
#pragma once

#include "cli/Options.h"

namespace quillet::cli {

// Runs the job on every port of options.ports, each in a child process; every output line
// prefixed by its port; then a summary table (port, chip, result, time). 0 when every port
// succeeded, 130 when stopped, 1 otherwise.
int RunGang(const Options& options);

}  // namespace quillet::cli
