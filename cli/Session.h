// One port's run of quillet-cli: connect, find the chip, check every job, erase, run the jobs
// in order, disconnect, save the log.
#pragma once

#include <string>

#include "cli/Options.h"

namespace quillet::cli {

enum ExitStatus { kSuccess = 0, kFailed = 1, kUsage = 2, kInterrupted = 130 };

// statusFd >= 0 (a gang's child): "chip NAME" and "fail TEXT" lines go there for the summary,
// and progress as "progress LABEL PERCENT" when the parent draws it (parentDraws: it is on a
// terminal), else as plain lines. suffix: inserted before the extension of every file written
// ("-ttyUSB0" in a gang, so that ports do not write over each other's files).
int RunPort(const Options& options, const std::string& port, const std::string& suffix,
            int statusFd, bool parentDraws = false);

// "dump.hex" + "-ttyUSB0" -> "dump-ttyUSB0.hex"; "-" stays "-".
std::string WithSuffix(const std::string& path, const std::string& suffix);

// Whether the log file and every file a read writes can be created, for each port of a gang:
// checked before the first exchange, so that a run that could not keep its results does not
// touch the chip. false with error set.
bool CheckOutputFiles(const Options& options, std::string& error);

// Installs the handlers that turn SIGINT, SIGTERM and SIGHUP into a stop request.
void InstallStopHandlers();
// The exit status a stop ends with: 130 for SIGINT, 143 for SIGTERM.
int StopStatus();

}  // namespace quillet::cli
