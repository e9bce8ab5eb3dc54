// quillet-cli against the simulator program, two ratios measured in the same run:
//
//  1. Writing a 2 KB program with erase, blank-page skip and verify (quillet-cli -U flash:w),
//     against the window's Write Program then Verify Program of the whole Flash (the code
//     behind the buttons, RunMemoryCommand), both over the paced simulator (--pace).
//     The chip is ATmega328P when the catalogue has it, ATtiny85 otherwise. Both run in this
//     process (quillet-cli's own code, its options parsed as given) on a serial driver that
//     returns from a write once the bytes' wire time has passed, as a real UART's drain does:
//     a pseudo-terminal's write returns at once, and the program's waits after a page commit
//     would then start before the paced simulator has even received the commit.
//  2. A gang of four simulated gateways writing the same image, against one gateway alone.
//     The simulators run unpaced here: a paced simulator spins a processor for its wire time,
//     and four of them on a two-processor machine would measure the machine, not the gang.
//
// Usage: cli_bench [--chip NAME] [--delay N] [--bytes N] [--skip-gang] [--skip-write]
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "bench/YesPrompt.h"
#include "chips/Catalogue.h"
#include "cli/Options.h"
#include "cli/Session.h"
#include "commands/Driver.h"
#include "image/Images.h"
#include "link/Port.h"
#include "link/PosixSerial.h"
#include "log/HostInterfaces.h"
#include "log/Log.h"
#include "sim/Wire.h"
#include "support/SimProcess.h"

extern char** environ;

namespace quillet {
namespace {

using SteadyClock = std::chrono::steady_clock;

double Seconds(SteadyClock::time_point since) {
  return std::chrono::duration<double>(SteadyClock::now() - since).count();
}

class Lines : public LogSink {
 public:
  // The last line before the end time: the operation's result.
  void AppendLine(const std::string& line) override {
    if (line.rfind("End time", 0) != 0) last = line;
  }
  std::string last;
};

// quillet-cli with args; its exit status, standard error to /dev/null unless it fails.
int RunCli(const std::vector<std::string>& args) {
  std::vector<std::string> words{QUILLET_CLI_BINARY, "-q"};
  words.insert(words.end(), args.begin(), args.end());
  std::vector<char*> argv;
  argv.reserve(words.size() + 1);
  for (std::string& w : words) argv.push_back(w.data());
  argv.push_back(nullptr);
  pid_t pid;
  if (posix_spawn(&pid, QUILLET_CLI_BINARY, nullptr, nullptr, argv.data(), environ) != 0) return -1;
  int ws = 0;
  waitpid(pid, &ws, 0);
  return WIFEXITED(ws) ? WEXITSTATUS(ws) : -1;
}

// The termios driver, with a write that ends when its bytes have left the line.
class DrainingDriver : public PosixSerialDriver {
 public:
  bool Write(int handle, const uint8_t* data, int count) override {
    constexpr int64_t kByteNs = 95486;  // 11 bits at 115200 baud
    lineFree_ = std::max(lineFree_, sim::NowNs()) + count * kByteNs;
    const bool ok = PosixSerialDriver::Write(handle, data, count);
    sim::WaitUntilNs(lineFree_, 1000000);
    return ok;
  }

 private:
  int64_t lineFree_ = 0;
};

// quillet-cli's run of one port, in this process.
int RunCliHere(std::vector<std::string> args) {
  args.insert(args.begin(), {"quillet-cli", "-q"});
  std::vector<char*> argv;
  argv.reserve(args.size());
  for (std::string& a : args) argv.push_back(a.data());
  cli::Options options;
  std::string error;
  if (!cli::ParseOptions(static_cast<int>(argv.size()), argv.data(), options, error) ||
      !cli::LoadJobFiles(options, error)) {
    std::fprintf(stderr, "cli_bench: %s\n", error.c_str());
    return 2;
  }
  return cli::RunPort(options, options.ports[0], "", -1);
}

std::vector<std::string> SimArgs(const std::string& chip, const std::string& link, bool pace) {
  std::vector<std::string> a{"--chip", chip, "--link", link};
  if (pace) a.push_back("--pace");
  return a;
}

}  // namespace
}  // namespace quillet

int main(int argc, char** argv) {
  using namespace quillet;
  std::string chip = FindChipByName("ATmega328P") ? "ATmega328P" : "ATtiny85";
  int delay = 1;
  uint32_t bytes = 2048;
  bool gang = true, write = true;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--chip" && i + 1 < argc) chip = argv[++i];
    else if (a == "--delay" && i + 1 < argc) delay = std::atoi(argv[++i]);
    else if (a == "--bytes" && i + 1 < argc) bytes = static_cast<uint32_t>(std::atoi(argv[++i]));
    else if (a == "--skip-gang") gang = false;
    else if (a == "--skip-write") write = false;
    else {
      std::fprintf(stderr, "usage: cli_bench [--chip NAME] [--delay N] [--bytes N] [--skip-gang] [--skip-write]\n");
      return 2;
    }
  }
  const ChipEntry* entry = FindChipByName(chip);
  if (!entry || bytes == 0 || bytes > entry->flashSize) {
    std::fprintf(stderr, "cli_bench: no such chip or size: %s %u\n", chip.c_str(), bytes);
    return 2;
  }
  const std::string dir = std::getenv("TMPDIR") ? std::getenv("TMPDIR") : "/tmp";
  const std::string image = dir + "/cli_bench_program.bin";
  {
    uint32_t x = 0x9E3779B9u;
    std::string program(bytes, '\0');
    for (char& c : program) {
      x ^= x << 13;
      x ^= x >> 17;
      x ^= x << 5;
      c = static_cast<char>(x % 255);  // no blank page
    }
    std::ofstream(image, std::ios::binary) << program;
  }
  const std::string d = std::to_string(delay);
  int failures = 0;

  if (write) {
    std::printf("%s, %u byte program, delay %d, paced simulator\n", chip.c_str(), bytes, delay);
    const std::string link = dir + "/cli_bench_gw";
    double window = 0, cli = 0;
    {
      test::SimProcess sim(QUILLET_SIM_BINARY, SimArgs(chip, link, true));
      DrainingDriver driver;
      SetSerialDriver(&driver);
      bench::YesPrompt prompt;
      Lines log;
      SetUserPrompt(&prompt);
      SetLogSink(&log);
      DelayValue = delay;
      OpenPort(link);
      SelectChip(entry->id);
      std::ifstream f(image, std::ios::binary);
      f.read(reinterpret_cast<char*>(ProgramImage.data()), bytes);
      const auto start = SteadyClock::now();
      RunMemoryCommand(MemoryOperation::WriteProgram);
      const std::string wrote = log.last;
      RunMemoryCommand(MemoryOperation::VerifyProgram);
      window = Seconds(start);
      ClosePort();
      SetLogSink(nullptr);
      SetUserPrompt(nullptr);
      SetSerialDriver(nullptr);
      std::printf("  window: Write Program + Verify Program of all %u bytes  %8.2f s  (%s / %s)\n",
                  entry->flashSize, window, wrote.c_str(), log.last.c_str());
      if (log.last != "       Finished. No differences found.") ++failures;
    }
    {
      test::SimProcess sim(QUILLET_SIM_BINARY, SimArgs(chip, link, true));
      DrainingDriver driver;
      SetSerialDriver(&driver);
      const auto start = SteadyClock::now();
      const int status = RunCliHere({"-P", link, "-p", chip, "-d", d, "-U", "flash:w:" + image + ":r"});
      cli = Seconds(start);
      SetSerialDriver(nullptr);
      std::printf("  quillet-cli: erase, write %u bytes, skip, verify          %8.2f s  (exit %d)\n",
                  bytes, cli, status);
      if (status != 0) ++failures;
    }
    std::printf("  ratio quillet-cli / window: %.3f (target at most 0.15)\n\n", cli / window);
  }

  if (gang) {
    std::printf("gang: the same %u bytes on one gateway and on four, delay %d, unpaced simulators\n",
                bytes, delay);
    std::vector<std::unique_ptr<test::SimProcess>> sims;
    std::vector<std::string> links;
    for (int i = 0; i < 4; ++i) {
      links.push_back(dir + "/cli_bench_gang" + std::to_string(i));
      sims.push_back(std::make_unique<test::SimProcess>(QUILLET_SIM_BINARY,
                                                        SimArgs(chip, links.back(), false)));
    }
    const std::vector<std::string> job{"-p", chip, "-d", d, "-U", "flash:w:" + image + ":r"};
    auto run = [&](int ports) {
      std::vector<std::string> args;
      for (int i = 0; i < ports; ++i) args.insert(args.end(), {"-P", links[i]});
      args.insert(args.end(), job.begin(), job.end());
      const auto start = SteadyClock::now();
      const int status = RunCli(args);
      if (status != 0) ++failures;
      return Seconds(start);
    };
    const double one = run(1), four = run(4);
    std::printf("  one gateway %8.2f s, four gateways %8.2f s\n", one, four);
    std::printf("  ratio four / one: %.3f (target at most 1.2)\n", four / one);
  }
  std::remove(image.c_str());
  if (failures) std::printf("%d run(s) failed\n", failures);
  return failures ? 1 : 0;
}
