// quillet-cli's command line: the options and the -U jobs, parsed without touching a port.
#pragma once

#include <string>
#include <vector>

#include "commands/Jobs.h"

namespace quillet::cli {

// One -U MEM:OP:FILE[:FMT].
struct UpdateJob {
  std::string text;  // as given, for messages
  Memory memory = Memory::Flash;
  char op = 'r';     // 'r', 'w' or 'v'; 't' a terminal command (-T), the command in text
  std::string file;  // "-": standard input or output; the value list for FileFormat::Immediate
  FileFormat format = FileFormat::Auto;
  FileImage image;   // w and v: the file's contents, loaded before any port is opened
  bool deferred = false;  // the file is one an earlier r job writes: loaded when its turn comes
  bool skipped = false;   // nothing to do (a file without data, a memory the chip lacks)
  std::string clock;      // a fuse write that moves the clock outside the chip: its line
};

struct Options {
  std::vector<std::string> ports;
  std::string part = "auto";
  int delay = 1;
  bool erase = false;        // -e
  bool noAutoErase = false;  // -D
  bool noVerify = false;     // -V
  bool dryRun = false;       // -n
  bool force = false;        // -F
  bool forceFuses = false;   // --force-fuses
  bool noFast = false;       // --no-fast
  double bitPeriodUs = 0;    // -B: the SPI clock's bit period in microseconds; 0 not given
  int verbosity = 0;         // -v adds one (the log; -vv each exchange, -vvv each byte), -q takes one away
  std::string logFile;       // -l
  bool listParts = false, version = false, help = false;
  bool listProgrammers = false;  // -c ?
  std::string describe;      // --describe PART
  bool showFuses = false;    // --show-fuses
  std::vector<std::string> setFuses;  // --set-fuse FIELD=SETTING, in order
  std::vector<UpdateJob> jobs;
  bool full = false;         // --full: a Flash read writes the whole memory, 0xFF tail too
  bool terminal = false;     // -t
  // Options of the field's command lines (-c, -b, -B, -C, -x, -E, -i, -u, -s, -O): accepted, and where the
  // gateway cannot follow them, a one-line note each, said when the run begins.
  std::vector<std::string> notes;
};

// Parses argv (without loading files). On a usage error returns false with error set to a
// one-line message.
bool ParseOptions(int argc, char** argv, Options& options, std::string& error);
// Parses one -U argument: MEM:OP:FILE[:FMT], or FILE alone for flash:w:FILE:a.
bool ParseUpdate(const std::string& text, UpdateJob& job, std::string& error);
// Loads the files of the w and v jobs; false with error set (a file that cannot be read or
// is not what its format says).
bool LoadJobFiles(Options& options, std::string& error);

void PrintUsage(FILE* out);
void PrintParts(FILE* out);
// -c ?: the one programmer there is, and what -c does.
void PrintProgrammers(FILE* out);
// One "key: value" line per fact of a chip's row (--describe); false for an unknown part.
bool DescribePart(FILE* out, const std::string& name);

}  // namespace quillet::cli
