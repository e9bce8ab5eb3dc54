#include "cli/Session.h"

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <memory>

#include "chips/Catalogue.h"
#include "chips/ChipModule.h"
#include "chips/FastTransport.h"
#include "chips/Identify.h"
#include "cli/Console.h"
#include "cli/FuseWords.h"
#include "cli/Gang.h"
#include "cli/Run.h"
#include "commands/Driver.h"
#include "commands/Jobs.h"
#include "firmware/GatewayParser.h"
#include "image/SafeFile.h"
#include "link/Port.h"
#include "link/PosixSerial.h"
#include "log/Log.h"

namespace quillet::cli {
namespace {

volatile sig_atomic_t g_signal = 0;

void OnStopSignal(int signal) {
  if (g_signal == 0) g_signal = signal;
  RequestStop();
}

std::string Seconds(double s) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.2f s", s);
  return buf;
}


std::string Label(const UpdateJob& j, const char* verb) {
  return std::string(MemoryName(j.memory)) + " " + verb;
}

// The device a port name means: a name with a slash is a path, as given ("./gw"); others
// are the gateway's names ("ttyUSB0", "COM3").
std::string PortDevice(const std::string& port) {
  return port.find('/') != std::string::npos ? port : DeviceName(port);
}

}  // namespace

int Run::Fail(const std::string& what) {
  console_.Error("error: " + what);
  Status("fail " + what);
  return kFailed;
}

std::string Run::Cause() const {
  const std::string& why = console_.LastProblem();
  if (why.rfind("Error executing commands", 0) == 0)
    return "sending to the gateway failed (was it unplugged?); the port is closed";
  if (why.rfind("Error reading the answer", 0) == 0)
    return "the gateway stopped answering (no answer, or none that could be trusted, after "
           "retries); the port is closed";
  if (why.rfind("Command is not available", 0) == 0) return "the chip has no such operation";
  if (PortHandle < 0) return "the port closed";
  return why.empty() ? "the chip step failed" : why;
}

std::string Run::SlowClockHint() const {
  const unsigned us = SlowSpiPeriodCode() * unsigned{firmware::kSpiPeriodUnitUs};
  if (us == 0) return "";
  char text[128];
  std::snprintf(text, sizeof text, "; the SPI clock was %.1f kHz (%u us a bit)", 1000.0 / us, us);
  const unsigned slowest = 255 * unsigned{firmware::kSpiPeriodUnitUs};
  if (us >= slowest) return std::string(text) + ", the slowest there is";
  return std::string(text) + ": a slower one may do, -B " + std::to_string(std::min(2 * us, slowest));
}

int Run::Stopped(const std::string& what) {
  const std::string text = "stopped by the user" + (what.empty() ? "" : " during " + what) +
                           "; the port is closed";
  AddLog(LogKind::Text, "Stopped by the user");
  console_.Error(text);
  Status("fail " + text);
  return StopStatus();
}

void Run::Status(const std::string& line) {
  if (statusFd_ < 0) return;
  const std::string l = line + "\n";
  ssize_t ignored = ::write(statusFd_, l.data(), l.size());
  (void)ignored;
}

std::string Run::WriteLeft(Memory memory, uint32_t written, uint32_t planned) const {
  const bool flash = memory == Memory::Flash;
  const bool paged = flash ? SelectedModule()->ProgramPageBytes() != 0
                           : SelectedModule()->DataPageBytes() != 0;
  std::string left = std::to_string(written) + " of " + Plural(planned, paged ? "page" : "byte",
                                                               paged ? "pages" : "bytes") +
                     " written; ";
  if (!flash) return left + (written ? "the EEPROM holds a partial write" : "the EEPROM is as it was");
  if (erased_) return left + (written ? "the chip was erased and holds a partial program"
                                      : "the chip was erased and holds no program");
  return left + (written ? "the chip holds a partial program" : "the chip's Flash is as it was");
}

int Run::Go(const std::string& port) {
  for (const std::string& note : o_.notes) console_.Result(note);
  if (port.size() > kMaxPortName) return Fail("port name too long: " + port.substr(0, 40) + "...");
  const std::string device = PortDevice(port);
  OpenPort(device);
  if (PortHandle < 0 && (port == "usb" || port.rfind("usb:", 0) == 0))
    return Fail("cannot open " + device + ": -P " + port + " names a USB programmer's port; the gateway is on a "
                "serial port (-P /dev/ttyUSB0; ls /dev/ttyUSB* /dev/ttyACM* lists them)");
  if (PortHandle < 0) return Fail("cannot open " + device + ": " + PortOpenFailure(device, LastPortError()));
  AddLog(LogKind::PortOpen, device);
  if (int s = Identify(device)) return s;
  if (int s = CheckJobs()) return s;

  // The erase comes before the first job that writes, so that jobs before it read the chip
  // as it was, and once only; a Flash file without data erases nothing.
  const bool flashWrite = [&] {
    for (const UpdateJob& j : jobs_)
      if (j.op == 'w' && j.memory == Memory::Flash && !j.skipped) return true;
    return false;
  }();
  const bool eraseDue = o_.erase || (flashWrite && !o_.noAutoErase);
  size_t eraseAt = 0;
  for (size_t i = 0; i < jobs_.size(); ++i)
    if (jobs_[i].op == 'w' && !jobs_[i].skipped) {
      eraseAt = i;
      break;
    }
  const bool anyWrite = eraseAt < jobs_.size() && jobs_[eraseAt].op == 'w' && !jobs_[eraseAt].skipped;
  if (eraseDue && !anyWrite)
    if (int s = Erase()) return s;

  for (size_t i = 0; i < jobs_.size(); ++i) {
    if (StopRequested()) return Stopped("");
    UpdateJob& j = jobs_[i];
    if (j.deferred) {
      // The file an earlier job of this run has just written.
      std::string error;
      const std::string path = WithSuffix(j.file, suffix_);
      std::string warning;
      if (!LoadFileImage(path, j.format, j.memory, MemorySize(j.memory), j.image, error, &warning))
        return Fail("-U " + j.text + ": " + error);
      if (!warning.empty()) console_.Result("warning: -U " + j.text + ": " + warning);
      if (!j.image.warning.empty()) console_.Result("warning: -U " + j.text + ": " + j.image.warning);
      j.skipped = j.image.End() == 0;
      if (j.skipped) console_.Result("note: -U " + j.text + ": " + path + " holds no data: nothing to " +
                                     (j.op == 'w' ? "write" : "verify"));
      else if (int s = CheckFile(j)) return s;
    }
    if (j.skipped) continue;
    if (eraseDue && anyWrite && i == eraseAt)
      if (int s = Erase()) return s;
    bool quit = false;
    int s = j.op == 'r' ? ReadJob(j) : j.op == 'w' ? WriteJob(j) : j.op == 't' ? TerminalLine(j.text, quit)
                                                                               : VerifyJob(j, false);
    if (s) return s;
    if (quit) return kSuccess;
  }
  if (StopRequested()) return Stopped("");
  if (int s = SetFuses(true)) return s;
  if (o_.showFuses)
    if (int s = ShowFuses()) return s;
  if (o_.terminal) return Terminal();
  return kSuccess;
}

int Run::Identify(const std::string& device) {
  if (!ProgrammingEnableNoEcho()) return FailStep("no answer from the gateway on " + device);
  bool lineFault = false;
  const ChipId id = SearchSignature(&lineFault);
  if (lineFault) return Fail("the signature read differently each time on " + device +
                             ": bytes are damaged on the line; check the cable, the wiring and the supply");
  if (id == 0 && PortHandle < 0) return FailStep("no answer from the gateway on " + device);
  SetIdentifiedSignature(id);
  IdentifyGateway(id);
  // Nothing drives MISO: an empty socket, or a chip without supply, clock or wiring, reads
  // all ones (or all zeros) whatever the part.
  if (id == 0 || id == 0xFFFFFF)
    return Fail("nothing answers on MISO (the signature reads " + SignatureText(id) +
                "): no chip in the socket, or it lacks its supply, its clock or a wire (MISO, SCK, "
                "RESET)" + (o_.force ? "; -F cannot stand in for a chip" : ""));
  if (o_.bitPeriodUs > 0 && !SlowSpiCapable())
    console_.Result("warning: -B: the SPI clock cannot be set with the original gateway; it stays at 125 kHz");
  else if (o_.bitPeriodUs > 0 && !SpiPeriodNote(o_.bitPeriodUs).empty())
    console_.Result(SpiPeriodNote(o_.bitPeriodUs));
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
                "): check the wiring and the chip's supply, or name it with -p and -F" + SlowClockHint());
  }
  SelectChip(chosen->id);
  Status(std::string("chip ") + chosen->name);
  console_.Result(std::string(chosen->name) + " on " + device + " (signature " +
                  SignatureText(id) + ")");
  return kSuccess;
}

std::string Run::SpiPeriodNote(double us) {
  // The firmware slows the clock in steps of its unit from 8 us a bit on; up to that it
  // chooses the fastest clock the chip reads reliably itself.
  const uint8_t code = WantedSpiPeriodCode();
  char text[200];
  if (code == 0)
    std::snprintf(text, sizeof text, "note: -B %g: the firmware clocks SPI at 125 kHz or faster by itself; "
                  "-B slows it only from 8 us a bit (below 125 kHz) on", us);
  else if (code * double{firmware::kSpiPeriodUnitUs} != us)
    std::snprintf(text, sizeof text, "note: -B %g: the firmware's SPI clock goes in steps of %u us: %u us a bit "
                  "(%.1f kHz)", us, unsigned{firmware::kSpiPeriodUnitUs},
                  unsigned(code * firmware::kSpiPeriodUnitUs), 1000.0 / (code * firmware::kSpiPeriodUnitUs));
  else
    return "";
  return text;
}

int Run::CheckJobs() {
  // Everything that can be known before the chip is touched is checked before anything is
  // written: sizes, memories the chip has, fuse values that would shut the programmer out.
  for (UpdateJob& j : jobs_) {
    const std::string name = MemoryName(j.memory);
    if (j.skipped || j.op == 't') continue;
    // As the field does: a memory the chip lacks is left out with a warning, so that one
    // command line serves chips with two fuse bytes and chips with three.
    if (MemorySize(j.memory) == 0) {
      console_.Result("warning: -U " + j.text + ": " + ChipName + " has no " + name + "; skipped");
      j.skipped = true;
      continue;
    }
    if (j.op == 'w' ? !CanWrite(j.memory) : !CanRead(j.memory))
      return Fail("-U " + j.text + ": " + ChipName + " cannot " +
                  (j.op == 'w' ? "write " : "read ") + name + " over the serial interface");
    if (j.op != 'r' && !j.deferred)
      if (int s = CheckFile(j)) return s;
  }
  return SetFuses(false);
}

int Run::SetFuses(bool write) {
  if (o_.setFuses.empty()) return kSuccess;
  std::vector<FusePlan> plans;
  std::string error;
  // Planned again before the write: the -U jobs may have changed the bytes since the check.
  if (!PlanFuseChanges(o_.setFuses, plans, error))
    return PortHandle < 0 ? FailStep(error) : Fail(error + "; nothing was written");
  for (const FusePlan& p : plans) {
    const std::string name = MemoryName(p.memory);
    const std::string change = name + " " + Hex2(p.current) + " -> " + Hex2(p.value);
    if (!p.hazard.empty() && !o_.forceFuses)
      return Fail("--set-fuse: refusing " + change + ": " + p.hazard +
                  ". Give --force-fuses to write it anyway; nothing was written");
    if (!write) continue;
    if (!p.hazard.empty()) console_.Result("warning: " + change + ": " + p.hazard + " (--force-fuses)");
    if (p.value == p.current) {
      console_.Result(name + " unchanged: " + Hex2(p.value) + "; " + PlanWords(p));
      continue;
    }
    console_.Begin(name + " write", 1);
    JobResult r;
    if (!WriteFuseJob(p.memory, p.value, !o_.noVerify && !o_.dryRun, o_.dryRun, r)) {
      if (r.mismatch) return Fail(name + " verify failed: " + r.failure + LockedFuses(p.memory));
      return FailStep(name + " write failed");
    }
    console_.Result((o_.dryRun ? "dry run: " + change + " would be written" : change + " written") +
                    (!o_.noVerify && !o_.dryRun ? " (verified)" : "") + "; " + PlanWords(p));
    if (!p.clock.empty() && !o_.dryRun) console_.Result("note: " + change + ": " + p.clock);
  }
  return kSuccess;
}

std::string Run::LockedFuses(Memory memory) {
  if (memory == Memory::Lock || !CanRead(Memory::Lock)) return "";
  uint8_t lock = 0xFF;
  if (!ReadFuseJob(Memory::Lock, lock)) return "";
  // The lock bits proper (LB1, LB2), not the boot lock bits: in their mode the fuses are
  // locked as well.
  std::string bits;
  const char* const* names = FuseBitNames(Memory::Lock);
  for (int k = 0; names && k < 8; ++k)
    if (names[k] && !(lock & (1u << k)) && std::strncmp(names[k], "LB", 2) == 0)
      bits += (bits.empty() ? "" : " ") + std::string(names[k]);
  if (bits.empty()) return "";
  return "; the lock bits " + bits + " are programmed (lock " + Hex2(lock) +
         ") and keep the fuses as they are until a chip erase: " +
         (inTerminal_ ? "the erase command" : "-e") + " erases the chip (Flash, EEPROM unless EESAVE) and clears them";
}

int Run::ShowFuses() {
  std::vector<std::string> lines;
  std::string error;
  console_.Begin("fuse read", 0);
  if (!ShowFuseLines(lines, error)) return FailStep(error);
  for (const std::string& l : lines) std::printf("%s\n", l.c_str());
  std::fflush(stdout);
  return kSuccess;
}

int Run::CheckFile(UpdateJob& j) {
  const std::string name = MemoryName(j.memory);
  const uint32_t size = MemorySize(j.memory);
  const uint32_t end = j.image.End();
  if (end > size) {
    const std::string from = j.format == FileFormat::Immediate ? "the value list" : j.file;
    char last[16];
    std::snprintf(last, sizeof last, "0x%04X", end - 1);
    return Fail(Named(j) + ": " + from + " holds " +
                Plural(j.image.HeldCount(), "byte", "bytes") + " up to address " + last +
                ", more than the " + Plural(size, "byte", "bytes") + " of " + ChipName + "'s " +
                name + "; nothing was written");
  }
  if (j.op != 'w' || !IsFuseOrLock(j.memory) || j.memory == Memory::Lock) return kSuccess;
  const uint8_t value = j.image.bytes[0];
  const std::string what = Named(j) + ": ";
  if (!FuseBitNames(j.memory)) {
    if (o_.forceFuses) return kSuccess;
    return Fail(what + "the fuse bits of " + ChipName +
                " are not known here; check the value against the datasheet and give "
                "--force-fuses; nothing was written");
  }
  uint8_t current = 0xFF;
  if (CanRead(j.memory) && !ReadFuseJob(j.memory, current))
    return FailStep(what + "reading the fuse before writing it failed");
  j.clock = ClockLine(j.memory, current, value);
  const std::string hazard = FuseHazard(j.memory, current, value);
  if (hazard.empty()) return kSuccess;
  if (!o_.forceFuses)
    return Fail(what + "refusing to write " + Hex2(value) + " over " + Hex2(current) + ": " +
                hazard + ". Give --force-fuses to write it anyway; nothing was written");
  console_.Result("warning: " + name + " " + Hex2(value) + ": " + hazard + " (--force-fuses)");
  return kSuccess;
}

int Run::Erase(bool asked) {
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
  const std::string why = o_.erase || asked ? "" : " before writing Flash (-D leaves it out)";
  if (o_.dryRun) {
    flashErased_ = true;
    console_.Result("dry run: the chip would be erased" + why);
    return kSuccess;
  }
  console_.Begin("erase", 0);
  if (!EraseChip()) {
    AddLog(LogKind::Finished, " with fail.");
    return FailStep("chip erase failed (the chip may be partly erased)");
  }
  erased_ = true;
  flashErased_ = true;
  console_.Result("chip erased" + why + ": Flash and lock bits, " + eeprom + ", " +
                  Seconds(console_.Elapsed()));
  return kSuccess;
}

int Run::CheckErased(const UpdateJob& j) {
  // Programming only clears bits: a page is written as the file has it only where the chip
  // holds no 0 under a 1 of the file. The pages the file touches are read first, in runs.
  const uint32_t size = MemorySize(Memory::Flash);
  const uint32_t page = std::max<uint32_t>(1, SelectedModule()->ProgramPageBytes());
  const uint32_t end = std::min(j.image.End(), size);
  const uint32_t pages = (end + page - 1) / page;
  std::vector<bool> touched(pages, false), bad(pages, false);
  for (uint32_t a = 0; a < end; ++a)
    if (j.image.Holds(a)) touched[a / page] = true;
  for (uint32_t p = 0; p < pages;) {
    if (!touched[p]) {
      ++p;
      continue;
    }
    uint32_t q = p;
    while (q < pages && touched[q]) ++q;
    const uint32_t from = p * page, to = std::min(q * page, end);
    std::vector<uint8_t> chip;
    JobResult r;
    console_.Begin("flash check", to - from);
    if (!ReadMemoryRange(Memory::Flash, from, to - from, chip, r)) {
      if (r.stopped) return Stopped("flash check before the write");
      return FailStep("flash read before writing it without an erase failed" + At(r));
    }
    for (uint32_t a = from; a < to && a - from < chip.size(); ++a)
      if (j.image.Holds(a) && (j.image.bytes[a] & ~chip[a - from]) != 0) bad[a / page] = true;
    p = q;
  }
  uint32_t first = 0;
  while (first < pages && !bad[first]) ++first;
  if (first == pages) return kSuccess;
  uint32_t last = first;
  while (last + 1 < pages && bad[last + 1]) ++last;
  char range[32];
  std::snprintf(range, sizeof range, "0x%04X-0x%04X", first * page, std::min((last + 1) * page, size) - 1);
  if (inTerminal_)
    return Fail(std::string("flash ") + range + " is not erased; over ISP a page can only be written onto "
                "erased Flash: erase the chip first (erase). Nothing was written.");
  return Fail(std::string("flash ") + range + " is not erased and -D keeps the chip from being erased; over "
              "ISP a page can only be written onto erased Flash: drop -D or add -e. Nothing was written.");
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
  // As the field does, a Flash read ends at its last programmed byte: a 0xFF tail is erased
  // Flash, not program.
  const size_t whole = data.size();
  if (j.memory == Memory::Flash && !o_.full)
    while (!data.empty() && data.back() == 0xFF) data.pop_back();
  std::string error, note;
  if (!SaveText(path, FileText(data.data(), static_cast<uint32_t>(data.size()), format), error,
                &note)) {
    // A write to a pipe or a FIFO that nobody empties ends at a stop signal.
    if (StopRequested()) return Stopped(name + " read: " + error);
    return Fail(name + " read: " + error);
  }
  if (!note.empty()) console_.Result("note: " + note);
  const std::string to = path == "-" ? "" : " to " + path;
  if (whole > 8 && data.empty()) {
    console_.Result("note: flash is blank (all 0xFF): " + (path == "-" ? "standard output" : path) +
                    " holds no data (--full writes all " + std::to_string(whole) + " bytes), " +
                    Seconds(console_.Elapsed()));
    return kSuccess;
  }
  std::string line;
  if (whole <= 8) {
    line = name + " read: ";
    for (size_t i = 0; i < data.size(); ++i) line += (i ? " " : "") + Hex2(data[i]);
    line += to;
  } else {
    line = Plural(data.size(), "byte", "bytes") + " of " + name + " read" + to;
    if (data.size() < whole) line += " (up to its last byte that is not 0xFF; --full for all " +
                                     std::to_string(whole) + ")";
  }
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
      if (r.mismatch) return Fail(name + " verify failed: " + r.failure + LockedFuses(j.memory));
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
    if (!j.clock.empty() && !o_.dryRun) console_.Result("note: " + name + " " + Hex2(value) + ": " + j.clock);
    return kSuccess;
  }
  if (j.memory == Memory::Flash && !flashErased_)
    if (int s = CheckErased(j)) return s;
  console_.Begin(Label(j, "write"), j.image.HeldCount());
  JobResult r;
  const bool written = WriteMemoryJob(j.memory, j.image, o_.dryRun, r);
  // Pages written since the erase are not erased any more.
  if (j.memory == Memory::Flash && !o_.dryRun) flashErased_ = false;
  if (!written) {
    // What was done, for the user to decide what the chip now needs.
    const std::string left = WriteLeft(j.memory, r.pagesWritten, r.pagesPlanned);
    if (r.stopped) return Stopped(name + " write: " + left);
    return Fail(name + " write failed" + At(r) + " (" + Cause() + "): " + left + SlowClockHint());
  }
  std::string line = dry + Plural(r.bytes, "byte", "bytes") + " of " + name +
                     (o_.dryRun ? " would be written" : " written") + from;
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
      return Fail(name + " verify failed: the chip has " + Hex2(v) + ", expected " + Hex2(want) +
                  SlowClockHint());
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
      return Fail(name + " verify failed" + buf + (afterWrite ? " (after writing it)" : "") + SlowClockHint());
    }
    if (r.failedAt < 0 && PortHandle < 0) return FailStep(name + " verify failed");
    return FailStep(name + " verify failed" + At(r));
  }
  console_.Result(Plural(r.bytes, "byte", "bytes") + " of " + name + " verified" + against + ", " +
                  Seconds(console_.Elapsed()));
  return kSuccess;
}

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
  // No SA_RESTART: a wait that may never end (a write to a FIFO nobody reads, standard input)
  // returns at the signal, and the run stops.
  sa.sa_flags = 0;
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
  // A terminal that goes away stops the run as SIGTERM does: the line is lowered, the gateway
  // left at 115200.
  sigaction(SIGHUP, &sa, nullptr);
}

bool CheckOutputFiles(const Options& o, std::string& error) {
  std::vector<std::string> suffixes;
  if (o.ports.size() <= 1) suffixes.push_back("");
  else
    for (const std::string& port : o.ports) suffixes.push_back("-" + PortTag(port));
  for (const std::string& suffix : suffixes) {
    auto check = [&](const std::string& file, const std::string& what) {
      if (file == "-") return true;
      const std::string path = WithSuffix(file, suffix);
      SafeFile f;
      if (f.Check(path)) return true;
      error = what + ": cannot create " + path + ": " + f.Why() + "; nothing was done";
      return false;
    };
    if (!o.logFile.empty() && !check(o.logFile, "-l " + o.logFile)) return false;
    for (const UpdateJob& j : o.jobs)
      if (j.op == 'r' && !check(j.file, "-U " + j.text)) return false;
  }
  return true;
}

int StopStatus() { return g_signal == SIGTERM || g_signal == SIGHUP ? 128 + g_signal : kInterrupted; }

int RunPort(const Options& o, const std::string& port, const std::string& suffix, int statusFd,
            bool parentDraws) {
  Console console(o.verbosity, statusFd < 0   ? (::isatty(2) ? Console::kBar : Console::kLines)
                               : parentDraws ? Console::kStatus
                                             : Console::kLines,
                  statusFd);
  console.SetLogToFileOnly(!o.logFile.empty());
  // -vv: every exchange with the gateway; -vvv: every byte.
  std::unique_ptr<TraceDriver> trace;
  SerialDriver& driver = GetSerialDriver();
  if (o.verbosity >= 2) {
    trace = std::make_unique<TraceDriver>(driver, console, o.verbosity >= 3);
    SetSerialDriver(trace.get());
  }
  SetLogSink(&console);
  SetProgressFactory(&console);
  SetUserPrompt(&console);
  DelayValue = o.delay;
  SetFastTransfers(!o.noFast);
  SetSpiBitPeriodUs(o.bitPeriodUs);
  int status = Run(o, console, suffix, statusFd).Go(port);
  if (PortHandle >= 0) {
    ClosePort();
    AddLog(LogKind::PortClosed, "");
  }
  if (!o.logFile.empty()) {
    std::string error;
    if (!console.SaveLog(WithSuffix(o.logFile, suffix), error)) {
      console.Error("error: " + error);
      if (status == kSuccess) status = kFailed;
    }
    if (status == kSuccess) console.ShowLastResult();
  }
  SetLogSink(nullptr);
  SetProgressFactory(nullptr);
  SetUserPrompt(nullptr);
  if (trace) SetSerialDriver(&driver);
  return status;
}

}  // namespace quillet::cli
