#include "cli/Session.h"

#include <signal.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstring>

#include "commands/Driver.h"
#include "commands/Jobs.h"
#include "chips/Avrfunctions.h"
#include "chips/ChipModule.h"
#include "chips/Chipfunctions.h"
#include "chips/FastTransport.h"
#include "cli/Console.h"
#include "link/Portfunctions.h"
#include "log/Logfunctions.h"

namespace quillet::cli {
namespace {

volatile sig_atomic_t g_signal = 0;

void OnStopSignal(int signal) {
  if (g_signal == 0) g_signal = signal;
  RequestStop();
}

// " at 0x0400" where a job knows the address its failure came at.
std::string At(const JobResult& r) {
  if (r.failedAt < 0) return "";
  char buf[24];
  std::snprintf(buf, sizeof buf, " at 0x%04llX", static_cast<unsigned long long>(r.failedAt));
  return buf;
}

std::string Hex2(unsigned v) {
  char buf[8];
  std::snprintf(buf, sizeof buf, "0x%02X", v & 0xFF);
  return buf;
}

std::string SignatureText(ChipId id) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "%02X %02X %02X", id & 0xFF, (id >> 8) & 0xFF, (id >> 16) & 0xFF);
  return buf;
}

std::string Seconds(double s) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.2f s", s);
  return buf;
}

std::string Plural(unsigned long n, const char* one, const char* many) {
  return std::to_string(n) + " " + (n == 1 ? one : many);
}

class Run {
 public:
  Run(const Options& o, Console& console, const std::string& suffix, int statusFd)
      : o_(o), console_(console), suffix_(suffix), statusFd_(statusFd), jobs_(o.jobs) {}

  int Go(const std::string& port);

 private:
  int Fail(const std::string& what) {
    console_.Error("error: " + what);
    Status("fail " + what);
    return kFailed;
  }
  // A failed chip step: the log line that says why, if there is one.
  int FailStep(const std::string& what) {
    const std::string& why = console_.LastProblem();
    return Fail(why.empty() ? what : what + ": " + why);
  }
  int Stopped(const std::string& what) {
    const std::string text = "stopped by the user" + (what.empty() ? "" : " during " + what) +
                             "; the port is closed";
    AddLog(0, "Stopped by the user");
    console_.Error(text);
    Status("fail " + text);
    return StopStatus();
  }
  void Status(const std::string& line) {
    if (statusFd_ < 0) return;
    const std::string l = line + "\n";
    ssize_t ignored = ::write(statusFd_, l.data(), l.size());
    (void)ignored;
  }
  std::string Label(const UpdateJob& j, const char* verb) const {
    return std::string(MemoryName(j.memory)) + " " + verb;
  }

  int Identify(const std::string& device);
  int CheckJobs();
  int CheckFile(const UpdateJob& j);
  int Erase();
  int ReadJob(const UpdateJob& j);
  int WriteJob(const UpdateJob& j);
  int VerifyJob(const UpdateJob& j, bool afterWrite);

  const Options& o_;
  Console& console_;
  std::string suffix_;
  int statusFd_;
  std::vector<UpdateJob> jobs_;  // the deferred files loaded when their turn comes
};

int Run::Go(const std::string& port) {
  if (port.size() > kMaxPortName) return Fail("port name too long: " + port.substr(0, 40) + "...");
  const std::string device = DeviceName(port);
  OpenPort(device);
  if (PortHandle < 0) {
    std::string why;
    for (const std::string& l : console_.Lines()) why += (why.empty() ? "" : "; ") + l;
    return Fail("cannot open " + device + (why.empty() ? "" : ": " + why));
  }
  AddLog(1, device);
  if (int s = Identify(device)) return s;
  if (int s = CheckJobs()) return s;

  // The erase comes before the first job that writes, so that jobs before it read the chip
  // as it was, and once only.
  const bool flashWrite = [&] {
    for (const UpdateJob& j : jobs_)
      if (j.op == 'w' && j.memory == Memory::Flash) return true;
    return false;
  }();
  const bool eraseDue = o_.erase || (flashWrite && !o_.noAutoErase);
  size_t eraseAt = 0;
  for (size_t i = 0; i < jobs_.size(); ++i)
    if (jobs_[i].op == 'w') {
      eraseAt = i;
      break;
    }
  if (eraseDue && jobs_.empty())
    if (int s = Erase()) return s;

  for (size_t i = 0; i < jobs_.size(); ++i) {
    if (StopRequested()) return Stopped("");
    UpdateJob& j = jobs_[i];
    if (j.deferred) {
      // The file an earlier job of this run has just written.
      std::string error;
      const std::string path = WithSuffix(j.file, suffix_);
      if (!LoadFileImage(path, j.format, j.memory, MemorySize(j.memory), j.image, error))
        return Fail("-U " + j.text + ": " + error);
      if (int s = CheckFile(j)) return s;
    }
    if (eraseDue && i == eraseAt)
      if (int s = Erase()) return s;
    int s = j.op == 'r' ? ReadJob(j) : j.op == 'w' ? WriteJob(j) : VerifyJob(j, false);
    if (s) return s;
  }
  if (StopRequested()) return Stopped("");
  return kSuccess;
}

int Run::Identify(const std::string& device) {
  if (!ProgrammingEnableNoEcho()) return FailStep("no answer from the gateway on " + device);
  const ChipId id = SearchSignature();
  if (id == 0 && PortHandle < 0) return FailStep("no answer from the gateway on " + device);
  IdentifyGateway(id);
  if (o_.bitPeriodUs > 0 && !SlowSpiCapable())
    console_.Result("warning: -B: the SPI clock cannot be set with the original gateway; it stays at 125 kHz");
  const ChipEntry* found = FindChip(id);
  const ChipEntry* chosen = found;
  if (o_.part != "auto") {
    chosen = FindPart(o_.part);
    if (chosen->id != id) {
      std::string what = "the chip's signature " + SignatureText(id) + " is not " + chosen->name +
                         "'s (" + SignatureText(chosen->id) + ")";
      if (found) what += std::string(": it is ") + found->name;
      if (!o_.force) return Fail(what + "; -F goes on anyway");
      console_.Result("warning: " + what + "; going on as " + chosen->name + " (-F)");
    }
  } else if (!found) {
    return Fail("no known chip answers (signature " + SignatureText(id) +
                "): check the wiring and the chip's supply, or name it with -p and -F");
  }
  SelectChip(chosen->id);
  Status(std::string("chip ") + chosen->name);
  console_.Result(std::string(chosen->name) + " on " + device + " (signature " +
                  SignatureText(id) + ")");
  return kSuccess;
}

int Run::CheckJobs() {
  // Everything that can be known before the chip is touched is checked before anything is
  // written: sizes, memories the chip has, fuse values that would shut the programmer out.
  for (const UpdateJob& j : jobs_) {
    const std::string name = MemoryName(j.memory);
    if (MemorySize(j.memory) == 0) return Fail("-U " + j.text + ": " + ChipName + " has no " + name);
    if (j.op == 'w' ? !CanWrite(j.memory) : !CanRead(j.memory))
      return Fail("-U " + j.text + ": " + ChipName + " cannot " +
                  (j.op == 'w' ? "write " : "read ") + name + " over the serial interface");
    if (j.op != 'r' && !j.deferred)
      if (int s = CheckFile(j)) return s;
  }
  return kSuccess;
}

int Run::CheckFile(const UpdateJob& j) {
  const std::string name = MemoryName(j.memory);
  const uint32_t size = MemorySize(j.memory);
  const uint32_t end = j.image.End();
  if (end > size) {
    const std::string from = j.format == FileFormat::Immediate ? "the value list" : j.file;
    char last[16];
    std::snprintf(last, sizeof last, "0x%04X", end - 1);
    return Fail("-U " + j.text + ": " + from + " holds " +
                Plural(j.image.HeldCount(), "byte", "bytes") + " up to address " + last +
                ", more than the " + std::to_string(size) + " bytes of " + ChipName + "'s " +
                name + "; nothing was written");
  }
  if (j.op != 'w' || !IsFuseOrLock(j.memory) || j.memory == Memory::Lock) return kSuccess;
  const uint8_t value = j.image.bytes[0];
  const std::string what = "-U " + j.text + ": ";
  if (!FuseBitNames(j.memory)) {
    if (o_.forceFuses) return kSuccess;
    return Fail(what + "the fuse bits of " + ChipName +
                " are not known here; check the value against the datasheet and give "
                "--force-fuses; nothing was written");
  }
  uint8_t current = 0xFF;
  if (CanRead(j.memory) && !ReadFuseJob(j.memory, current))
    return FailStep(what + "reading the fuse before writing it failed");
  const std::string hazard = FuseHazard(j.memory, current, value);
  if (hazard.empty()) return kSuccess;
  if (!o_.forceFuses)
    return Fail(what + "refusing to write " + Hex2(value) + " over " + Hex2(current) + ": " +
                hazard + ". Give --force-fuses to write it anyway; nothing was written");
  console_.Result("warning: " + name + " " + Hex2(value) + ": " + hazard + " (--force-fuses)");
  return kSuccess;
}

int Run::Erase() {
  // Whether the erase spares the EEPROM: EESAVE, where the chip has it and it can be read.
  std::string eeprom = "EEPROM erased too unless EESAVE is programmed";
  for (Memory m : {Memory::LowFuse, Memory::HighFuse, Memory::ExtendedFuse}) {
    const char* const* names = FuseBitNames(m);
    if (!names || !CanRead(m)) continue;
    for (int k = 0; k < 8; ++k) {
      if (!names[k] || FuseBitRole(m, k) != FuseRole::EepromSave) continue;
      uint8_t v = 0xFF;
      if (o_.dryRun) continue;
      // A read that failed is reported as what it was, not as the erase it came before.
      if (!ReadFuseJob(m, v)) {
        if (PortHandle < 0) return FailStep("fuse read before the erase failed");
        continue;
      }
      eeprom = (v & (1u << k)) ? "EEPROM erased too (EESAVE is not programmed)"
                               : "EEPROM kept (EESAVE is programmed)";
    }
  }
  const std::string why = o_.erase ? "" : " before writing Flash (-D leaves it out)";
  if (o_.dryRun) {
    console_.Result("dry run: the chip would be erased" + why);
    return kSuccess;
  }
  console_.Begin("erase", 0);
  if (!EraseChip()) {
    AddLog(19, " with fail.");
    return FailStep("chip erase failed");
  }
  console_.Result("chip erased" + why + ": Flash and lock bits, " + eeprom + ", " +
                  Seconds(console_.Elapsed()));
  return kSuccess;
}

int Run::ReadJob(const UpdateJob& j) {
  std::vector<uint8_t> data;
  const std::string name = MemoryName(j.memory);
  console_.Begin(Label(j, "read"), MemorySize(j.memory));
  if (IsFuseOrLock(j.memory)) {
    uint8_t v = 0;
    if (!ReadFuseJob(j.memory, v)) return FailStep(name + " read failed");
    data = {v};
  } else {
    JobResult r;
    if (!ReadMemoryJob(j.memory, data, r)) {
      if (r.stopped) return Stopped(name + " read");
      return FailStep(name + " read failed" + At(r));
    }
  }
  const std::string path = WithSuffix(j.file, suffix_);
  const FileFormat format = OutputFormat(j.file, j.format, j.memory);
  std::string error;
  if (!SaveText(path, FileText(data.data(), static_cast<uint32_t>(data.size()), format), error))
    return Fail(name + " read: " + error);
  std::string line = name + " read: ";
  if (data.size() <= 8) {
    for (size_t i = 0; i < data.size(); ++i) line += (i ? " " : "") + Hex2(data[i]);
  } else {
    line += Plural(data.size(), "byte", "bytes");
  }
  if (path != "-") line += " to " + path;
  console_.Result(line + ", " + Seconds(console_.Elapsed()));
  return kSuccess;
}

int Run::WriteJob(const UpdateJob& j) {
  const std::string name = MemoryName(j.memory);
  const std::string from = j.format == FileFormat::Immediate ? "" : " from " +
                           (j.file == "-" ? std::string("standard input") : j.file);
  const std::string dry = o_.dryRun ? "dry run: " : "";
  console_.Begin(Label(j, "write"), j.image.HeldCount());
  if (IsFuseOrLock(j.memory)) {
    const uint8_t value = j.image.bytes[0];
    JobResult r;
    if (!WriteFuseJob(j.memory, value, !o_.noVerify && !o_.dryRun, o_.dryRun, r)) {
      if (r.mismatch) return Fail(name + " verify failed: " + r.failure);
      return FailStep(name + " write failed");
    }
    std::string line = dry + name + (o_.dryRun ? " would be written: " : " written: ") + Hex2(value);
    if (!o_.noVerify && !o_.dryRun) line += " (verified)";
    if (j.memory == Memory::Lock) {
      const std::string bits = ProgrammedBits(j.memory, value);
      line += bits.empty() ? "; no lock bit programmed"
                           : "; lock bits programmed: " + bits + " (until the next chip erase)";
    }
    console_.Result(line);
    return kSuccess;
  }
  JobResult r;
  if (!WriteMemoryJob(j.memory, j.image, o_.dryRun, r)) {
    if (r.stopped)
      return Stopped(name + " write, after " + std::to_string(r.pagesWritten) +
                     (j.memory == Memory::Flash ? " pages" : " pages or bytes") +
                     " (the chip holds a partial write)");
    // What was done, for the user to decide what the chip now needs.
    std::string done = At(r) + ", " + Plural(r.pagesWritten, j.memory == Memory::Flash ? "page" : "page or byte",
                                              j.memory == Memory::Flash ? "pages" : "pages or bytes") +
                       " written before";
    if (r.pagesWritten > 0) done += " (the chip holds a partial write)";
    return FailStep(name + " write failed" + done);
  }
  std::string line = dry + name + (o_.dryRun ? " would be written: " : " written: ") +
                     Plural(r.bytes, "byte", "bytes") + from;
  if (j.memory == Memory::Flash && SelectedModule()->ProgramPageBytes() != 0)
    line += ", " + Plural(r.pagesWritten, "page", "pages") + " (" +
            Plural(r.pagesSkipped, "blank page", "blank pages") + " skipped)";
  console_.Result(line + ", " + Seconds(console_.Elapsed()));
  if (o_.noVerify || o_.dryRun) return kSuccess;
  return VerifyJob(j, true);
}

int Run::VerifyJob(const UpdateJob& j, bool afterWrite) {
  const std::string name = MemoryName(j.memory);
  const std::string against = j.format == FileFormat::Immediate ? "" : " against " +
                              (j.file == "-" ? std::string("standard input") : j.file);
  console_.Begin(Label(j, "verify"), j.image.HeldCount());
  if (IsFuseOrLock(j.memory)) {
    uint8_t v = 0;
    if (!ReadFuseJob(j.memory, v)) return FailStep(name + " verify failed");
    const uint8_t mask = FuseBitsCompared(j.memory);
    const uint8_t want = j.image.bytes[0];
    if ((v & mask) != (want & mask))
      return Fail(name + " verify failed: the chip has " + Hex2(v) + ", expected " + Hex2(want));
    console_.Result(name + " verified: " + Hex2(v));
    return kSuccess;
  }
  JobResult r;
  if (!VerifyMemoryJob(j.memory, j.image, r)) {
    if (r.stopped) return Stopped(name + " verify");
    if (r.mismatch) {
      char buf[96];
      std::snprintf(buf, sizeof buf, " at 0x%04X: expected 0x%02X, the chip has 0x%02X",
                    r.mismatchAddress, r.expected, r.found);
      return Fail(name + " verify failed" + buf + (afterWrite ? " (after writing it)" : ""));
    }
    return FailStep(name + " verify failed");
  }
  console_.Result(name + " verified: " + Plural(r.bytes, "byte", "bytes") + against + ", " +
                  Seconds(console_.Elapsed()));
  return kSuccess;
}

}  // namespace

std::string WithSuffix(const std::string& path, const std::string& suffix) {
  if (suffix.empty() || path == "-") return path;
  const size_t slash = path.rfind('/');
  const size_t dot = path.rfind('.');
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash) ||
      dot == (slash == std::string::npos ? 0 : slash + 1))
    return path + suffix;
  return path.substr(0, dot) + suffix + path.substr(dot);
}

void InstallStopHandlers() {
  struct sigaction sa {};
  sa.sa_handler = OnStopSignal;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = SA_RESTART;
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
  // A terminal that goes away stops the run as SIGTERM does: the line is lowered, the gateway
  // left at 115200.
  sigaction(SIGHUP, &sa, nullptr);
}

int StopStatus() { return g_signal == SIGTERM || g_signal == SIGHUP ? 128 + g_signal : kInterrupted; }

int RunPort(const Options& o, const std::string& port, const std::string& suffix, int statusFd) {
  Console console(o.verbosity, statusFd < 0 && ::isatty(2));
  SetLogSink(&console);
  SetProgressFactory(&console);
  SetUserPrompt(&console);
  DelayValue = o.delay;
  SetFastTransfers(!o.noFast);
  SetSpiBitPeriodUs(o.bitPeriodUs);
  int status = Run(o, console, suffix, statusFd).Go(port);
  if (PortHandle >= 0) {
    ClosePort();
    AddLog(3, "");
  }
  if (!o.logFile.empty()) {
    std::string error;
    if (!console.SaveLog(WithSuffix(o.logFile, suffix), error)) {
      console.Error("error: " + error);
      if (status == kSuccess) status = kFailed;
    }
  }
  SetLogSink(nullptr);
  SetProgressFactory(nullptr);
  SetUserPrompt(nullptr);
  return status;
}

}  // namespace quillet::cli
