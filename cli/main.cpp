// quillet-cli: programs AVR chips through the Tessary gateway from a shell, a Makefile or a
// production line. The same core and chip operations as the window, without a window.
#include <csignal>
#include <cstdio>

#include "cli/Gang.h"
#include "cli/Options.h"
#include "cli/Session.h"

#ifndef QUILLET_VERSION
#define QUILLET_VERSION "unknown"
#endif

using namespace quillet::cli;

int main(int argc, char** argv) {
  Options options;
  std::string error;
  if (!ParseOptions(argc, argv, options, error)) {
    std::fprintf(stderr, "quillet-cli: %s\nTry 'quillet-cli --help' for the options.\n",
                 error.c_str());
    return kUsage;
  }
  if (options.help) {
    PrintUsage(stdout);
    return kSuccess;
  }
  if (options.version) {
    std::printf("quillet-cli %s\n", QUILLET_VERSION);
    return kSuccess;
  }
  if (options.listProgrammers) {
    PrintProgrammers(stdout);
    return kSuccess;
  }
  if (options.listParts) {
    PrintParts(stdout);
    return kSuccess;
  }
  if (!options.describe.empty()) return DescribePart(stdout, options.describe) ? kSuccess : kUsage;
  // Files are read before any port is opened: a wrong file writes nothing anywhere.
  if (!LoadJobFiles(options, error)) {
    std::fprintf(stderr, "quillet-cli: %s\n", error.c_str());
    return kUsage;
  }
  if (!CheckOutputFiles(options, error)) {
    std::fprintf(stderr, "quillet-cli: %s\n", error.c_str());
    return kUsage;
  }
  // A closed standard output is reported by the write that meets it.
  std::signal(SIGPIPE, SIG_IGN);
  InstallStopHandlers();
  if (options.ports.size() == 1) return RunPort(options, options.ports[0], "", -1);
  return RunGang(options);
}
