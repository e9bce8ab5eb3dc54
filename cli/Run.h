// One port's run, shared by the jobs (Session.cpp) and the terminal (Terminal.cpp).
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "chips/Identify.h"
#include "cli/Console.h"
#include "cli/Options.h"

namespace quillet::cli {

// " at 0x0400" where a job knows the address its failure came at.
inline std::string At(const JobResult& r) {
  if (r.failedAt < 0) return "";
  char buf[24];
  std::snprintf(buf, sizeof buf, " at 0x%04llX", static_cast<unsigned long long>(r.failedAt));
  return buf;
}

inline std::string Plural(unsigned long n, const char* one, const char* many) {
  return std::to_string(n) + " " + (n == 1 ? one : many);
}

class Run {
 public:
  Run(const Options& o, Console& console, const std::string& suffix, int statusFd)
      : o_(o), console_(console), suffix_(suffix), statusFd_(statusFd), jobs_(o.jobs) {}

  int Go(const std::string& port);

 private:
  int Fail(const std::string& what);
  // A failed chip step: what it was and why, in the user's words.
  int FailStep(const std::string& what) { return Fail(what + ": " + Cause() + SlowClockHint()); }
  std::string Cause() const;
  // After a chip step failed at a slow SPI clock: which one, and a slower -B to try.
  std::string SlowClockHint() const;
  int Stopped(const std::string& what);
  void Status(const std::string& line);

  int Identify(const std::string& device);
  // -B on a firmware that takes it: a note where the clock is not the one asked for, or "".
  std::string SpiPeriodNote(double us);
  int CheckJobs();
  int CheckFile(UpdateJob& j);
  // After a fuse that did not take: why, where the lock bits keep the fuses as they are.
  std::string LockedFuses(Memory memory);
  // How messages name a job: "-U lfuse:w:0xE2:m", or the terminal's "write lfuse 0 0xE2".
  std::string Named(const UpdateJob& j) const { return (inTerminal_ ? "" : "-U ") + j.text; }
  int Erase(bool asked = false);  // asked: -e or the terminal's erase, not a write's
  // Before a Flash write without an erase: refuses one that would land on Flash holding a 0
  // under a 1 of the file.
  int CheckErased(const UpdateJob& j);
  int ReadJob(const UpdateJob& j);
  int WriteJob(const UpdateJob& j);
  int VerifyJob(const UpdateJob& j, bool afterWrite);
  // --set-fuse: checked (write false) before anything is written, written after the -U jobs.
  int SetFuses(bool write);
  int ShowFuses();
  // What a write that ended early left: "41 of 256 pages written; the chip was erased and
  // holds a partial program".
  std::string WriteLeft(Memory memory, uint32_t written, uint32_t planned) const;

  // -t: commands from the terminal or a script on standard input until quit or its end.
  int Terminal();
  // One line of the terminal (or of -T): its words split, then run.
  int TerminalLine(const std::string& line, bool& quit);
  int TerminalCommand(const std::vector<std::string>& words, bool& quit);

  const Options& o_;
  Console& console_;
  std::string suffix_;
  int statusFd_;
  std::vector<UpdateJob> jobs_;  // the deferred files loaded when their turn comes
  bool erased_ = false;          // this run erased the chip
  bool flashErased_ = false;     // erased (or in a dry run, would be) and no Flash written since
  uint32_t dumpNext_[8] = {};    // the terminal: where the next dump of each memory begins
  uint32_t dumpLength_[8] = {};  // ... and the last one's length, 0: none yet
  bool inTerminal_ = false;      // a terminal command (or -T) is running
};

}  // namespace quillet::cli
