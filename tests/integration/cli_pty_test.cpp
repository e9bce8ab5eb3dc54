// quillet-cli as a user runs it: the program as a child process, over the pseudo-terminal of the
// simulator program, its outputs, exit status, the simulated chip's memories and the trace.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "chips/Catalogue.h"
#include "chips/ChipModule.h"
#include "image/HexFiles.h"
#include "sim/SimChip.h"
#include "support/ElfImage.h"
#include "support/Fakes.h"
#include "support/SimProcess.h"

extern char** environ;

namespace quillet {
namespace {

using Bytes = std::vector<uint8_t>;

struct Outcome {
  int status = -1;
  std::string out, err;
};

// Runs quillet-cli with args; input goes to its standard input, which then closes unless
// holdInput. while(pid) is called every 20 ms while it runs (a test sends its signals from
// there). wrapper: a program that runs it ({"setpriv", ...}).
Outcome RunCli(const std::vector<std::string>& args, const std::string& input = "",
               const std::function<void(pid_t)>& whileRunning = nullptr, bool holdInput = false,
               const std::vector<std::string>& wrapper = {}) {
  int in[2], out[2], err[2];
  if (pipe(in) || pipe(out) || pipe(err)) return {};
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_adddup2(&fa, in[0], 0);
  posix_spawn_file_actions_adddup2(&fa, out[1], 1);
  posix_spawn_file_actions_adddup2(&fa, err[1], 2);
  for (int fd : {in[1], out[0], err[0]}) posix_spawn_file_actions_addclose(&fa, fd);
  std::vector<std::string> words = wrapper;
  words.push_back(QUILLET_CLI_BINARY);
  words.insert(words.end(), args.begin(), args.end());
  std::vector<char*> argv;
  argv.reserve(words.size() + 1);
  for (std::string& w : words) argv.push_back(w.data());
  argv.push_back(nullptr);
  pid_t pid = -1;
  const int rc = posix_spawnp(&pid, argv[0], &fa, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&fa);
  close(in[0]);
  close(out[1]);
  close(err[1]);
  Outcome o;
  if (rc != 0) return o;
  if (!input.empty() && write(in[1], input.data(), input.size()) < 0) return o;
  if (!holdInput) close(in[1]);
  int fds[2] = {out[0], err[0]};
  std::string* into[2] = {&o.out, &o.err};
  int open = 2;
  while (open > 0) {
    pollfd p[2] = {{fds[0], POLLIN, 0}, {fds[1], POLLIN, 0}};
    if (poll(p, 2, 20) < 0 && errno != EINTR) break;
    for (int k = 0; k < 2; ++k) {
      if (fds[k] < 0 || !(p[k].revents & (POLLIN | POLLHUP))) continue;
      char buf[4096];
      const ssize_t n = read(fds[k], buf, sizeof buf);
      if (n > 0) {
        into[k]->append(buf, static_cast<size_t>(n));
      } else {
        close(fds[k]);
        fds[k] = -1;
        --open;
      }
    }
    if (whileRunning) whileRunning(pid);
  }
  int ws = 0;
  waitpid(pid, &ws, 0);
  if (holdInput) close(in[1]);
  o.status = WIFEXITED(ws) ? WEXITSTATUS(ws) : 128 + WTERMSIG(ws);
  return o;
}

std::string Dir() { return test::TempDir(); }

std::string ReadFile(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  std::stringstream s;
  s << f.rdbuf();
  return s.str();
}

void WriteFile(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

std::string Str(const Bytes& b) { return std::string(b.begin(), b.end()); }

size_t Count(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

Bytes Random(size_t n, unsigned seed) {
  std::mt19937 gen(seed);
  Bytes b(n);
  for (uint8_t& v : b) v = static_cast<uint8_t>(gen() % 255);  // never 0xFF: no page is blank
  return b;
}

// A simulated gateway with a chip whose state and trace are kept in files; Finish() stops it
// and loads the state.
struct Gateway {
  explicit Gateway(const std::string& tag, const std::string& chip = "ATtiny85",
                   std::vector<std::string> extra = {})
      : chip(chip), link(Dir() + "cli_gw_" + tag), state(Dir() + "cli_state_" + tag),
        trace(Dir() + "cli_trace_" + tag) {
    std::remove(state.c_str());
    std::vector<std::string> args{"--chip", chip, "--link", link, "--state", state, "--trace", trace};
    args.insert(args.end(), extra.begin(), extra.end());
    sim = std::make_unique<test::SimProcess>(QUILLET_SIM_BINARY, args);
  }
  // Starts from a chip state prepared by the test.
  Gateway(const std::string& tag, const sim::SimChipState& s) : Gateway(tag, s.chip, {}) {
    sim.reset();
    sim::SaveSimState(state, s);
    sim = std::make_unique<test::SimProcess>(
        QUILLET_SIM_BINARY, std::vector<std::string>{"--chip", s.chip, "--link", link, "--state",
                                                     state, "--trace", trace});
  }
  // The simulator saves only a changed chip: no file means the factory state. Stopped, it has
  // served all the program sent, so the trace is whole only after this.
  sim::SimChipState Finish() {
    sim->Stop(SIGTERM);
    sim::SimChipState s;
    if (!sim::LoadSimState(state, s)) s = sim::SimChip(*sim::FindSimChip(chip)).State();
    return s;
  }
  std::string Trace() const { return ReadFile(trace); }  // after Finish()
  std::string chip, link, state, trace;
  std::unique_ptr<test::SimProcess> sim;
};

std::vector<std::string> Args(const Gateway& g, std::vector<std::string> more) {
  std::vector<std::string> a{"-P", g.link, "-d", "0"};
  a.insert(a.end(), more.begin(), more.end());
  return a;
}

// ---- every MEM:OP:FMT that makes sense ----

// Writes (and their automatic verify) from each format land in the chip.
TEST(CliPty, WritesFromEveryFormat) {
  const Bytes program = Random(1000, 1), data = Random(300, 2);
  const std::string hex = Dir() + "cli_prog.hex", bin = Dir() + "cli_prog.bin",
                    eep = Dir() + "cli_data.eep", ebin = Dir() + "cli_data.bin",
                    fuseText = Dir() + "cli_fuse.txt", fuseBin = Dir() + "cli_fuse.bin";
  WriteFile(hex, HexFileText(program.data(), static_cast<uint32_t>(program.size()), false));
  WriteFile(bin, Str(program));
  WriteFile(eep, HexFileText(data.data(), static_cast<uint32_t>(data.size()), false));
  WriteFile(ebin, Str(data));
  WriteFile(fuseText, "0xE2\n");
  WriteFile(fuseBin, std::string(1, '\xDE'));
  // The same program as an S-record file and as an ELF file with EEPROM, fuse and lock.
  const std::string srec = Dir() + "cli_prog.srec", elf = Dir() + "cli_prog.elf";
  ASSERT_EQ(std::system(("srec_cat " + bin + " -binary -o " + srec + " -motorola").c_str()), 0);
  WriteFile(elf, test::AvrElf({{0, Str(program)}, {0x810000, Str(data)}, {0x820000, "\xe2\xdf"},
                               {0x830000, "\xfc"}}));
  struct Case {
    std::vector<std::string> jobs;
    std::string input;  // standard input
    bool flash, eeprom;
    int lfuse, hfuse, lock;  // -1: factory
  } cases[] = {
      {{"flash:w:" + hex + ":i"}, "", true, false, -1, -1, -1},
      {{"flash:w:" + bin + ":r"}, "", true, false, -1, -1, -1},
      {{"flash:w:" + hex}, "", true, false, -1, -1, -1},
      {{"flash:w:-:i"}, ReadFile(hex), true, false, -1, -1, -1},
      {{"flash:w:" + srec}, "", true, false, -1, -1, -1},
      {{"flash:w:-"}, ReadFile(srec), true, false, -1, -1, -1},
      {{"flash:w:" + elf, "eeprom:w:" + elf, "lfuse:w:" + elf, "lock:w:" + elf + ":e"}, "", true,
       true, 0xE2, -1, 0xFC},
      {{"eeprom:w:" + eep + ":i", "eeprom:v:" + ebin + ":r"}, "", false, true, -1, -1, -1},
      {{"eeprom:w:" + ebin}, "", false, true, -1, -1, -1},
      {{"eeprom:w:-:r"}, Str(data), false, true, -1, -1, -1},
      {{"lfuse:w:0xE2:m", "hfuse:w:" + fuseBin + ":r"}, "", false, false, 0xE2, 0xDE, -1},
      {{"lfuse:w:" + fuseText + ":h", "lfuse:v:" + fuseText}, "", false, false, 0xE2, -1, -1},
      {{"lfuse:w:" + fuseText, "lock:w:0xFC:m", "lock:v:0xFC:m"}, "", false, false, 0xE2, -1, 0xFC},
  };
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.jobs[0]);
    Gateway g("w" + std::to_string(n++));
    std::vector<std::string> args;
    for (const std::string& j : c.jobs) args.insert(args.end(), {"-U", j});
    const Outcome o = RunCli(Args(g, args), c.input);
    EXPECT_EQ(o.status, 0) << o.err;
    const sim::SimChipState s = g.Finish();
    ASSERT_EQ(s.flash.size(), 8192u);
    if (c.flash) {
      EXPECT_EQ(Bytes(s.flash.begin(), s.flash.begin() + 1000), program);
      EXPECT_EQ(s.flash[1000], 0xFF);
      EXPECT_EQ(Count(o.err, "1000 bytes of flash verified"), 1u) << o.err;
    }
    if (c.eeprom) {
      EXPECT_EQ(Bytes(s.eeprom.begin(), s.eeprom.begin() + 300), data);
    }
    EXPECT_EQ(s.fuses[0], c.lfuse < 0 ? 0x62 : c.lfuse);
    EXPECT_EQ(s.fuses[1], c.hfuse < 0 ? 0xDF : c.hfuse);
    EXPECT_EQ(s.lock, c.lock < 0 ? 0xFF : (c.lock & 0x03) | 0xFC);
  }
}

// Reads to files and to standard output in each format, and verifies against them.
TEST(CliPty, ReadsToEveryFormatAndVerifies) {
  sim::SimChip chip(*sim::FindSimChip("ATtiny85"));
  const Bytes program = Random(8192, 3), data = Random(512, 4);
  chip.State().flash = program;
  chip.State().eeprom = data;
  Gateway g("reads", chip.State());
  const std::string hex = Dir() + "cli_read.hex", bin = Dir() + "cli_read.bin",
                    ebin = Dir() + "cli_read_e.raw", fuse = Dir() + "cli_read_fuse.bin";
  const Outcome o = RunCli(Args(g, {"-U", "flash:r:" + hex, "-U", "flash:r:" + bin + ":r",
                                    "-U", "eeprom:r:" + ebin, "-U", "lfuse:r:" + fuse + ":r",
                                    "-U", "eeprom:r:-:i", "-U", "signature:r:-:h",
                                    "-U", "calibration:r:-:h", "-U", "hfuse:r:-",
                                    "-U", "flash:v:" + hex, "-U", "flash:v:" + bin + ":r",
                                    "-U", "eeprom:v:" + ebin + ":r",
                                    "-U", "signature:v:0x1E,0x93,0x0B:m"}));
  ASSERT_EQ(o.status, 0) << o.err;
  EXPECT_EQ(ReadFile(bin), Str(program));
  EXPECT_EQ(ReadFile(ebin), Str(data));
  EXPECT_EQ(ReadFile(hex), HexFileText(program.data(), 8192, false) + "\r\n");
  EXPECT_EQ(ReadFile(fuse), std::string(1, '\x62'));
  const std::string eepHex = HexFileText(data.data(), 512, false) + "\r\n";
  EXPECT_EQ(o.out, eepHex + "0x1e,0x93,0x0b\n0x92,0x95\n0xdf\n");
  EXPECT_EQ(Count(o.err, "verified"), 4u) << o.err;
  g.Finish();
  EXPECT_EQ(Count(g.Trace(), "Write"), 0u) << "reads and verifies write nothing";
}

// ---- erase, skip, verify ----

TEST(CliPty, EraseSkipsBlankPagesAndVerifiesWhatTheFileHolds) {
  const uint32_t page = ChipFlashPageBytes(*FindChipByName("ATtiny85"));
  ASSERT_GT(page, 0u);
  // Two programs 4 KB apart with blank pages between them: only their pages are sent.
  Bytes image(6 * 1024, 0xFF);
  const Bytes a = Random(2048, 5), b = Random(512, 6);
  std::copy(a.begin(), a.end(), image.begin());
  std::copy(b.begin(), b.end(), image.begin() + 5632);
  const std::string bin = Dir() + "cli_sparse.bin";
  WriteFile(bin, Str(image));
  struct Case {
    std::vector<std::string> options;
    bool erase, verify, written;
  } cases[] = {
      {{}, true, true, true},
      {{"-V"}, true, false, true},
      {{"-D"}, false, true, true},
      {{"-n"}, false, false, false},
      {{"-e", "-V", "-D"}, true, false, true},
  };
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.options.empty() ? "defaults" : c.options[0]);
    sim::SimChip chip(*sim::FindSimChip("ATtiny85"));
    chip.State().flash.assign(8192, 0xFF);
    chip.State().eeprom.assign(512, 0x5A);
    Gateway g("skip" + std::to_string(n++), chip.State());
    std::vector<std::string> args = c.options;
    args.insert(args.end(), {"-U", "flash:w:" + bin + ":r"});
    const Outcome o = RunCli(Args(g, args));
    EXPECT_EQ(o.status, 0) << o.err;
    const sim::SimChipState s = g.Finish();
    const std::string trace = g.Trace();
    EXPECT_EQ(Count(trace, "Chip Erase"), c.erase ? 1u : 0u);
    EXPECT_EQ(Count(trace, "Write page"), c.written ? (2048 + 512) / page : 0u);
    // The verify reads back the addresses the file holds, blank ones included, nothing more;
    // so does the check before a write without an erase.
    const bool checked = !c.erase && c.written;
    EXPECT_EQ(Count(trace, "Read Flash"), (c.verify ? image.size() : 0u) + (checked ? image.size() : 0u));
    EXPECT_EQ(s.flash == [&] { Bytes f(8192, 0xFF); std::copy(image.begin(), image.end(), f.begin()); return f; }(),
              c.written);
    EXPECT_EQ(s.eeprom[0], c.erase ? 0xFF : 0x5A) << "the erase takes the EEPROM along";
    if (c.erase) {
      EXPECT_NE(o.err.find("EEPROM erased too"), std::string::npos) << o.err;
    }
  }
}

// A Flash that differs from the file: the verify says where and the exit status is 1.
TEST(CliPty, VerifyFailureNamesTheAddress) {
  sim::SimChip chip(*sim::FindSimChip("ATtiny85"));
  chip.State().flash.assign(8192, 0x00);
  Gateway g("noerase", chip.State());
  const std::string bin = Dir() + "cli_small.bin";
  WriteFile(bin, Str(Random(64, 7)));
  const Outcome o = RunCli(Args(g, {"-U", "flash:v:" + bin + ":r"}));
  EXPECT_EQ(o.status, 1);
  EXPECT_NE(o.err.find("error: flash verify failed at 0x0000: expected 0x"), std::string::npos) << o.err;
}

// ---- fuse safety ----

TEST(CliPty, FuseWritesThatLockTheProgrammerOutAreRefused) {
  struct Case {
    const char* job;
    bool force;
    int status;
    int fuse, value;  // fuse byte index and its value afterwards
    const char* says;
  } cases[] = {
      {"hfuse:w:0x5F:m", false, 1, 1, 0xDF, "programs RSTDISBL"},
      {"hfuse:w:0x9F:m", false, 1, 1, 0xDF, "programs DWEN"},
      {"hfuse:w:0xFF:m", false, 1, 1, 0xDF, "unprograms SPIEN"},
      // A clock change is for any programmer to undo: written (here to the internal 128 kHz).
      {"lfuse:w:0x64:m", false, 0, 0, 0x64, "lfuse written: 0x64 (verified)"},
      {"hfuse:w:0x5F:m", true, 0, 1, 0x5F, "hfuse written: 0x5F (verified)"},
      {"lfuse:w:0xE2:m", false, 0, 0, 0xE2, "lfuse written: 0xE2"},
      {"lock:w:0xFC:m", false, 0, 0, 0x62, "lock bits programmed: LB1 LB2"},
  };
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.job) + (c.force ? " --force-fuses" : ""));
    Gateway g("fuse" + std::to_string(n++));
    std::vector<std::string> args{"-U", "flash:w:0x12,0x34:m", "-U", c.job};
    if (c.force) args.push_back("--force-fuses");
    const Outcome o = RunCli(Args(g, args));
    EXPECT_EQ(o.status, c.status) << o.err;
    EXPECT_NE(o.err.find(c.says), std::string::npos) << o.err;
    const sim::SimChipState s = g.Finish();
    const std::string trace = g.Trace();
    EXPECT_EQ(s.fuses[c.fuse], c.value);
    // A refusal comes before anything is written, the Flash job before it included.
    if (c.status != 0) {
      EXPECT_EQ(Count(trace, "Write") + Count(trace, "Chip Erase"), 0u);
    }
  }
}

// The reset-disable bit that avr-libc spells otherwise on these chips (RESERVED, RSTDSBL) is
// refused like RSTDISBL: by what it does, not by its name.
TEST(CliPty, ResetDisableRefusedWhateverTheHeaderCalledIt) {
  const struct {
    const char* chip;
    const char* job;
    int fuse, factory;
  } cases[] = {{"ATmega649P", "efuse:w:0xFE:m", 2, 0xFF}, {"AT90USB82", "hfuse:w:0x99:m", 1, 0xD9},
               {"AT90USB162", "hfuse:w:0x99:m", 1, 0xD9}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.chip);
    Gateway g(std::string("rst") + c.chip, c.chip);
    const Outcome o = RunCli(Args(g, {"-p", c.chip, "-U", c.job}));
    EXPECT_EQ(o.status, 1) << o.err;
    EXPECT_NE(o.err.find("programs RSTDISBL"), std::string::npos) << o.err;
    EXPECT_EQ(g.Finish().fuses[c.fuse], c.factory);
  }
}

// --describe: every key once, in order, with the row's values; a byte the chip lacks left out.
TEST(CliPty, DescribeSaysTheRow) {
  const struct {
    const char* part;
    std::vector<std::string> lines;  // expected among the output, in this order
    const char* absent;
  } cases[] = {
      {"atmega164pa",
       {"name: ATmega164P", "aliases: ATmega164PA", "signature: 0x1E 0x94 0x0A", "flash bytes: 16384",
        "flash page bytes: 128", "eeprom bytes: 512", "eeprom page bytes: 4", "calibration bytes: 1",
        "wait flash us: 4500", "wait eeprom us: 9000", "wait erase us: 55000", "wait fuse us: 9000",
        "factory lfuse: 0x62", "factory hfuse: 0x99", "factory efuse: 0xFF", "factory lock: 0xFF",
        "reset disable: none", "debugwire: none",
        "package PDIP40: 40 pins, MOSI 6, MISO 7, SCK 8, RESET 9, VCC 10, AVCC 30, GND 11 31", "sources: ATmega164P.atdf"},
       nullptr},
      {"ATmega649P", {"reset disable: efuse bit 0 (RSTDISBL)", "debugwire: none"}, nullptr},
      {"AT90USB162", {"factory efuse: 0xF4", "reset disable: hfuse bit 6 (RSTDISBL)", "debugwire: hfuse bit 7 (DWEN)"},
       nullptr},
      {"ATtiny13", {"calibration bytes: 2", "factory hfuse: 0xFF", "factory lock: 0xFF", "reset disable: hfuse bit 0 (RSTDISBL)"},
       "factory efuse"},
      {"ATtiny85",
       {"flash page bytes: 64", "calibration bytes: 2", "wait eeprom us: 4500", "wait fuse us: 9000",
        "note: SUT_CKSEL 0x06 and 0x16 start 4 ms and 64 ms after reset (2586N Table 6-10)",
        "fuse fields: from ATtiny85.atdf", "lfuse SUT_CKSEL (mask 0x3F): Select Clock source",
        "  0x22 INTRCOSC_8MHZ_6CK_14CK_64MS: Int. RC Osc. 8 MHz; Start-up time PWRDWN/RESET: 6 CK/14 CK + 64 ms\n",
        "  0x06 EXTLOFXTAL_1KCK_14CK_4MS: Ext. Low-Freq. Crystal; Start-up time PWRDWN/RESET: 1K CK/14 CK + 4 ms [external]",
        "  0x16 EXTLOFXTAL_1KCK_14CK_64MS: Ext. Low-Freq. Crystal; Start-up time PWRDWN/RESET: 1K CK/14 CK + 64 ms",
        "  0x3F EXTXOSC_8MHZ_XX_16KCK_14CK_65MS: Ext. Crystal Osc. 8.0- MHz; Start-up time PWRDWN/RESET: 16K CK/14 CK + 65 ms [external]",
        "hfuse RSTDISBL (mask 0x80): Reset Disabled (Enable PB5 as i/o pin)", "  0x00 PROGRAMMED: yes (programmed)",
        "lock LB (mask 0x03): Memory Lock"},
       nullptr},
      {"AT90S2313", {"wait erase us: 20000", "wait fuse us: 9000", "fuse fields: none in words (no device file for AT90S2313)"},
       "note:"},
      // Settled by a datasheet over avrdude and avr-libc; an erratum over the device file; rows
      // whose fields follow another file.
      {"m165", {"name: ATmega165", "part ids: m165, m165p, m165pa", "signature: 0x1E 0x94 0x07",
                "note: signature 1E 94 07 as the ATmega165P/PA (8285E Table 27-6"}, nullptr},
      {"m32u4", {"factory efuse: 0xF3", "note: factory extended fuse 0xF3 (HWBE programmed), 7766J Table 28-3"},
       nullptr},
      {"pwm316", {"name: AT90PWM216", "note: fuse fields from AT90PWM316.atdf", "fuse fields: from AT90PWM316.atdf",
                  "  0x01 PLLCLK_PLLIN_EXTCLK_6KCK_14CK_0MS: PLL clock /4; PLL input: Ext. Clock"}, nullptr},
      {"AT90PWM3", {"name: AT90PWM2", "signature: 0x1E 0x93 0x81", "note: fuse fields from AT90PWM3.atdf of an older",
                    "fuse fields: from AT90PWM3.atdf", "efuse PSC2RB (mask 0x80)"}, nullptr},
      // The first chips' packages, the analog supply pins included.
      {"ATtiny26", {"package PDIP20: 20 pins, MOSI 1, MISO 2, SCK 3, RESET 10, VCC 5, AVCC 15, GND 6, AGND 16"},
       nullptr},
      {"AT90CAN128", {"package TQFP64: 64 pins, MOSI 2, MISO 3, SCK 11, RESET 20, VCC 21 52, AVCC 64, GND 22 53 63"},
       nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.part);
    const Outcome o = RunCli({"--describe", c.part});
    EXPECT_EQ(o.status, 0) << o.err;
    size_t at = 0;
    for (const std::string& line : c.lines) {
      const size_t found = o.out.find(line, at);
      EXPECT_NE(found, std::string::npos) << line << "\n" << o.out;
      if (found != std::string::npos) at = found;
    }
    if (c.absent) {
      EXPECT_EQ(o.out.find(c.absent), std::string::npos) << o.out;
    }
  }
  EXPECT_EQ(RunCli({"--describe", "ATmega999"}).status, 2);
}

// ---- the part, the exit statuses, bad usage ----

TEST(CliPty, PartChecksAndExitStatuses) {
  Gateway g("part");
  const std::string big = Dir() + "cli_big.bin", lfuse = "lfuse:r:-:h";
  WriteFile(big, std::string(8193, '\x11'));
  struct Case {
    std::vector<std::string> args;
    int status;
    const char* says;  // in standard error
  } cases[] = {
      {{"-p", "attiny85", "-U", lfuse}, 0, "ATtiny85 on "},
      {{"-p", "ATtiny45", "-U", lfuse}, 1, "is not ATtiny45's (1E 92 06): it is ATtiny85; -F goes on"},
      {{"-p", "ATtiny45", "-F", "-U", lfuse}, 0, "going on as ATtiny45 (-F)"},
      {{"-U", "flash:w:" + big + ":r"}, 1, "more than the 8192 bytes of ATtiny85's flash; nothing was written"},
      {{"--force-fuses", "-U", "hfuse:w:0xFF:m"}, 1,
       "hfuse verify failed: reads back 0xDF after writing 0xFF (differing: SPIEN)\n"},
      {{"-p", "ATtiny13", "-F", "-U", "efuse:r:-"}, 0, "warning: -U efuse:r:-: ATtiny13 has no efuse; skipped"},
      {{"-Z"}, 2, "unknown option -Z\nTry 'quillet-cli --help'"},
      {{"-U", "flash:x:a.hex"}, 2, "unknown operation \"x\""},
      {{"-U", "flash"}, 2, "expected MEM:OP:FILE[:FMT]"},
      {{"-U", "rom:r:a.hex"}, 2, "unknown memory \"rom\""},
      {{"-U", "flash:w:a.hex:z"}, 2, "unknown format \"z\""},
      {{"-U", "signature:w:0x1E:m"}, 2, "signature cannot be written"},
      {{"-U", "flash:w:" + Dir() + "no_such.hex"}, 2, "no_such.hex: No such file or directory"},
      {{"-U", "flash:w:" + Dir()}, 2, "Is a directory"},
      {{"-d", "7"}, 2, "the delay value is 0 to 5"},
      {{"-p", "ATmega9999"}, 2, "unknown part \"ATmega9999\""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args[0] + " " + c.args.back());
    const Outcome o = RunCli(Args(g, c.args));
    EXPECT_EQ(o.status, c.status) << o.err;
    EXPECT_NE(o.err.find(c.says), std::string::npos) << o.err;
  }
  EXPECT_EQ(RunCli({"-U", "flash:r:x.hex"}).status, 2) << "no port";
  const sim::SimChipState s = g.Finish();
  const std::string trace = g.Trace();
  EXPECT_EQ(Count(trace, "Write Flash") + Count(trace, "Write page") + Count(trace, "Chip Erase"), 0u);
  EXPECT_EQ(s.fuses[1], 0xDF) << "SPIEN cannot be changed over SPI";
}

// A dry run sends no write, no erase, no fuse write, and still checks everything.
TEST(CliPty, DryRunSendsNoWrite) {
  Gateway g("dry");
  const std::string bin = Dir() + "cli_dry.bin";
  WriteFile(bin, Str(Random(700, 8)));
  const Outcome o = RunCli(Args(g, {"-n", "-e", "-U", "flash:w:" + bin, "-U", "eeprom:w:0x01,0x02:m",
                                    "-U", "lfuse:w:0xE2:m", "-U", "lock:w:0xFC:m", "-U", "lfuse:r:-:h"}));
  EXPECT_EQ(o.status, 0) << o.err;
  EXPECT_EQ(o.out, "0x62\n");
  EXPECT_NE(o.err.find("dry run: 700 bytes of flash would be written"), std::string::npos) << o.err;
  EXPECT_EQ(RunCli(Args(g, {"-n", "-U", "hfuse:w:0x5F:m"})).status, 1) << "the refusal holds";
  g.Finish();
  const std::string trace = g.Trace();
  EXPECT_EQ(Count(trace, ": Write") + Count(trace, ": Load") + Count(trace, "Chip Erase"), 0u) << trace;
}

// ---- the command lines of the field ----

// Command lines as Makefiles, IDE recipes, production scripts and people type them: "{P}" is
// the gateway's port, "{D}" the test's directory.
TEST(CliPty, CommandLinesOfTheField) {
  const Bytes program = Random(1000, 11);
  WriteFile(Dir() + "main.hex", HexFileText(program.data(), 1000, false));
  WriteFile(Dir() + "main.eep", ":00000001FF\n");  // avr-objcopy's .eep of a program without EEPROM data
  WriteFile(Dir() + "noend.hex", ":03000000ABCDEF96\n");
  WriteFile(Dir() + "badsum.hex", ":03000000ABCDEF00\n:00000001FF\n");
  const Bytes sketch = Random(256, 5);  // two pages of an ATmega328P, all of them unlike main.hex's
  // Files a run saves over, each as a user may have it: behind a link (a dangling one too), with
  // a second name, another owner's with its own mode; a folder that takes no new file; a FIFO
  // that nobody reads.
  const std::string d = Dir();
  for (const char* name : {"viaLink.txt", "target.txt", "hard.txt", "hard2.txt", "owned.txt",
                           "dangling.txt", "dangling_target.txt", "log_link.txt", "log_target.txt",
                           "out.fifo"})
    std::remove((d + name).c_str());
  WriteFile(d + "target.txt", "old");
  WriteFile(d + "hard.txt", "old");
  WriteFile(d + "owned.txt", "old");
  WriteFile(d + "log_target.txt", "old log");
  ASSERT_EQ(symlink("target.txt", (d + "viaLink.txt").c_str()), 0);
  ASSERT_EQ(symlink("dangling_target.txt", (d + "dangling.txt").c_str()), 0);
  ASSERT_EQ(symlink("log_target.txt", (d + "log_link.txt").c_str()), 0);
  ASSERT_EQ(link((d + "hard.txt").c_str(), (d + "hard2.txt").c_str()), 0);
  ASSERT_EQ(mkfifo((d + "out.fifo").c_str(), 0644), 0);
  mkdir((d + "ro").c_str(), 0755);
  ASSERT_EQ(chmod((d + "ro").c_str(), 0555), 0);
  const passwd* nobody = getpwnam("nobody");
  const bool root = geteuid() == 0 && nobody;
  if (root) {
    ASSERT_EQ(chown((d + "owned.txt").c_str(), nobody->pw_uid, nobody->pw_gid), 0);
  }
  ASSERT_EQ(chmod((d + "owned.txt").c_str(), 0640), 0);
  const bool haveSetpriv = std::system("command -v setpriv >/dev/null 2>&1") == 0;
  auto stat = [](const std::string& path) {
    struct stat st {};
    EXPECT_EQ(::lstat(path.c_str(), &st), 0) << path;
    return st;
  };
  struct Case {
    const char* what;
    const char* chip;                   // "none": an empty socket
    std::vector<std::string> args;
    std::string input;  // standard input
    int status;
    std::vector<std::string> err, out;  // in standard error / standard output
    bool programmed;                    // Flash holds main.hex (else it is blank, or the sketch)
    std::vector<int> fuses;             // the chip's fuse bytes afterwards; {}: factory
    Bytes eeprom;                       // the first EEPROM bytes afterwards; {}: 3 blank ones
    bool sketch = false;                // the chip holds another program before
    std::vector<std::string> log = {};  // in the -l log and not on the terminal
    std::function<void()> files = nullptr;  // checks of the files afterwards
    bool stop = false;      // standard input left open; SIGTERM once the gateway is reached
    bool asNobody = false;  // run as the unprivileged user nobody
  } cases[] = {
      {"avr-gcc Makefile program target", "ATmega328P",
       {"-p", "m328p", "-c", "arduino", "-P", "{P}", "-b", "115200", "-U", "flash:w:{D}main.hex:i",
        "-U", "eeprom:w:{D}main.eep:i"}, "", 0,
       {"note: -c arduino: the programmer is the Tessary gateway", "1000 bytes of flash written",
        "1000 bytes of flash verified", "main.eep holds no data: nothing to write", "flash write: "},
       {}, true, {}, {}},
      {"IDE upload recipe", "ATmega328P",
       {"-C/etc/avrdude.conf", "-v", "-patmega328p", "-carduino", "-P{P}", "-b57600", "-D",
        "-Uflash:w:{D}main.hex:i"}, "", 0,
       {"note: -C /etc/avrdude.conf: the chips are built in", "note: -b 57600: the gateway runs at 115200 baud",
        "1000 bytes of flash verified"}, {}, true, {}, {}},
      {"shorthand, no verify, SPI clock", "ATtiny85",
       {"-p", "t85", "-c", "usbasp", "-B", "10", "-P", "{P}", "-V", "-U", "{D}main.hex"}, "", 0,
       {"warning: -B: the SPI clock cannot be set with the original gateway", "1000 bytes of flash written"},
       {}, true, {}, {}},
      // The log takes the diagnostics; the terminal keeps the last result.
      {"production line with a log", "ATtiny85",
       {"-p", "t85", "-c", "avrisp", "-P", "{P}", "-e", "-l", "{D}prod.log", "-U", "flash:w:{D}main.hex:i",
        "-U", "lfuse:w:0xE2:m", "-U", "hfuse:w:0xDF:m", "-U", "efuse:w:0xFF:m"}, "", 0,
       {"efuse written: 0xFF (verified)"}, {}, true, {0xE2, 0xDF, 0xFF}, {}, false,
       {"note: -c avrisp", "chip erased", "lfuse written: 0xE2 (verified)"}},
      // Guards: a write with -D that ANDs the new program into the old one, reported as success.
      {"IDE upload onto a chip holding a sketch", "ATmega328P",
       {"-v", "-V", "-patmega328p", "-carduino", "-P{P}", "-b115200", "-D", "-Uflash:w:{D}main.hex:i"}, "", 1,
       {"error: flash 0x0000-0x00FF is not erased and -D keeps the chip from being erased; over ISP a page can "
        "only be written onto erased Flash: drop -D or add -e. Nothing was written."}, {}, false, {}, {}, true},
      {"Uno burn bootloader fuses: a crystal", "ATmega328P",
       {"-C/etc/avrdude.conf", "-v", "-patmega328p", "-cstk500v1", "-P{P}", "-b19200", "-e", "-Ulock:w:0x3F:m",
        "-Uefuse:w:0xFD:m", "-Uhfuse:w:0xDE:m", "-Ulfuse:w:0xFF:m"}, "", 0,
       {"note: lfuse 0xFF: the chip now runs from an external crystal 8-16 MHz on XTAL1/XTAL2; without one it "
        "will not answer"}, {}, false, {0xFF, 0xDE, 0xFD}, {}},
      {"CrossPack's make fuse: 1 MHz to 8 MHz internal RC", "ATmega8",
       {"-c", "usbtiny", "-p", "atmega8", "-P", "{P}", "-U", "hfuse:w:0xd9:m", "-U", "lfuse:w:0x24:m"}, "", 0,
       {"lfuse written: 0x24 (verified)"}, {}, false, {0x24, 0xD9}, {}},
      {"a fuse the lock bits hold", "ATmega328P",
       {"-p", "m328p", "-P", "{P}", "-U", "lock:w:0xFC:m", "-U", "hfuse:w:0xDE:m"}, "", 1,
       {"reads back 0xD9 after writing 0xDE", "the lock bits LB1 LB2 are programmed (lock 0xFC) and keep the "
        "fuses as they are until a chip erase: -e erases the chip"}, {}, false, {0x62, 0xD9, 0xFF}, {}},
      {"an empty socket under -F", "none", {"-p", "m328p", "-F", "-P", "{P}", "-U", "flash:r:-:i"}, "", 1,
       {"error: nothing answers on MISO (the signature reads FF FF FF)"}, {}, false, {}, {}},
      {"avrdude's other options, a stray word, -T", "ATtiny85",
       {"-c", "usbasp", "-p", "t85", "-P", "{P}", "-u", "-s", "-i", "10", "-O", "-A", " ", "-T", "d lfuse",
        "-U", "lfuse:r:-:h"}, "", 0,
       {"note: -u: no longer has an effect", "note: -s:", "note: -i 10:", "note: -O:",
        "note: \" \" is no option and was left out"}, {"0000  62", "0x62\n"}, false, {}, {}},
      {"-p ? lists the parts", "ATtiny85", {"-p", "?"}, "", 0, {}, {"ATmega328P     m328p"}, false, {}, {}},
      {"-c ? lists the programmer", "ATtiny85", {"-c", "?"}, "", 0, {}, {"tessary"}, false, {}, {}},
      {"-vv each exchange", "ATtiny85", {"-vv", "-P", "{P}", "-U", "lfuse:r:-:h"}, "", 0, {"\nsent 44 ", "\ngot "},
       {}, false, {}, {}},
      {"-vvv each byte", "ATtiny85", {"-vvv", "-P", "{P}", "-U", "lfuse:r:-:h"}, "", 0, {" ms sent 44\n", " ms got "},
       {}, false, {}, {}},
      {"HEX without an end record: written with a warning", "ATtiny85",
       {"-P", "{P}", "-U", "eeprom:w:{D}noend.hex:i"}, "", 0,
       {"warning: -U eeprom:w:", "noend.hex has no end record"}, {}, false, {}, {0xAB, 0xCD, 0xEF}},
      {"a checksum error names the checksum expected", "ATtiny85", {"-P", "{P}", "-U", "eeprom:w:{D}badsum.hex"},
       "", 2, {"badsum.hex line 1: checksum error (checksum 0x00, expected 0x96)"}, {}, false, {}, {}},
      {"a memory the chip lacks", "ATtiny13",
       {"-p", "t13", "-P", "{P}", "-U", "lfuse:w:0x7A:m", "-U", "efuse:w:0xFF:m"}, "", 0,
       {"warning: -U efuse:w:0xFF:m: ATtiny13 has no efuse; skipped"}, {}, false, {0x7A, 0xFF}, {}},
      // avrdude 7.1's syntax: short words, commas, 0b, wider numbers, characters, strings
      // (with their 0), the ... fill, dump going on and to the end.
      {"the terminal with a script", "ATtiny85", {"-p", "t85", "-P", "{P}", "-t"},
       "sig\npart\nwrite eeprom 0 0x12 0x34 7\ndump eeprom 0 3\nwrite hfuse 0 0x5F\nfuses\n"
       "write ee 3 0b10010, 0x1234, 'A' \"hi\"\nwr eeprom 10 4 0xAA ...\nwrite eeprom 14 1000s 0x12345678L,\n"
       "read eeprom 0 8\nd eeprom\ndump eeprom 0x1F0 ...\nfrob\nquit\n", 1,
       {"refusing to write 0x5F over 0xDF: it programs RSTDISBL", "3 bytes of eeprom written",
        "error: frob: unknown command"},
       {"signature 1E 93 0B (ATtiny85)", "ATtiny85 (1E 93 0B): flash 8192 bytes",
        "0000  12 34 07   ", "   |.4.             |\n", "hfuse 0xDF: programmed (0): SPIEN",
        "0000  12 34 07 12 34 12 41 68   ",
        "0008  69 00 aa aa aa aa e8 03                           |i.......        |\n",
        "01f0  ff ff"},
       false, {}, {0x12, 0x34, 0x07, 0x12, 0x34, 0x12, 0x41, 0x68, 0x69, 0x00, 0xAA, 0xAA, 0xAA, 0xAA, 0xE8, 0x03,
                   0x78, 0x56, 0x34, 0x12}},
      {"reads trimmed and in the field's formats", "ATtiny85",
       {"-P", "{P}", "-U", "lfuse:r:-:d", "-U", "lfuse:r:-:o", "-U", "lfuse:r:-:b", "-U", "flash:r:{D}blank.hex:i"},
       "", 0, {"note: flash is blank (all 0xFF): ", "blank.hex holds no data (--full writes all 8192 bytes)"},
       {"98\n0142\n0b01100010\n"}, false, {}, {}},
      {"a path with a slash is a path", "ATtiny85", {"-P", "./no_such_gw", "-U", "lfuse:r:-"}, "", 1,
       {"cannot open ./no_such_gw: no such device"}, {}, false, {}, {}},
      {"a bad baud rate is bad usage", "ATtiny85", {"-P", "{P}", "-b", "fast"}, "", 2,
       {"bad -b \"fast\": the baud rate is a number"}, {}, false, {}, {}},
      {"a bad ISP clock delay is bad usage", "ATtiny85", {"-P", "{P}", "-i", "0"}, "", 2,
       {"bad -i \"0\": the ISP clock delay is a number of microseconds"}, {}, false, {}, {}},
      // Files kept whole; what cannot be kept is found before the chip is touched.
      {"-l without a name", "ATtiny85", {"-P", "{P}", "-l", "", "-U", "flash:w:{D}main.hex"}, "", 2,
       {"-l needs a file name"}, {}, false, {}, {}},
      {"a log in a missing folder", "ATtiny85",
       {"-P", "{P}", "-l", "/nonexistent/dir/log.txt", "-U", "flash:w:{D}main.hex"}, "", 2,
       {"cannot create /nonexistent/dir/log.txt: the folder /nonexistent/dir does not exist; nothing was done"},
       {}, false, {}, {}},
      {"a read into a folder that takes no file", "ATtiny85",
       {"-P", "{P}", "-U", "flash:w:{D}main.hex", "-U", "eeprom:r:{D}ro/e.hex"}, "", 2,
       {"cannot create {D}ro/e.hex: the folder {D}ro does not take new files (Permission denied)"}, {}, false,
       {}, {}, false, {}, nullptr, false, true},
      {"saves over links, a hard link, another owner's file", "ATtiny85",
       {"-P", "{P}", "-l", "{D}log_link.txt", "-U", "lfuse:r:{D}viaLink.txt:h", "-U", "hfuse:r:{D}hard.txt:h",
        "-U", "efuse:r:{D}owned.txt:h", "-U", "lock:r:{D}dangling.txt:h"}, "", 0,
       {"lock read: 0xFF to {D}dangling.txt"}, {},
       false, {}, {}, false, {}, [&] {
         EXPECT_TRUE(S_ISLNK(stat(d + "viaLink.txt").st_mode));
         EXPECT_EQ(ReadFile(d + "target.txt"), "0x62\n");
         EXPECT_EQ(stat(d + "hard.txt").st_ino, stat(d + "hard2.txt").st_ino) << "the hard link kept";
         EXPECT_EQ(ReadFile(d + "hard2.txt"), "0xdf\n");
         const struct stat owned = stat(d + "owned.txt");
         EXPECT_EQ(owned.st_mode & 07777, 0640u);
         if (root) {
           EXPECT_EQ(owned.st_uid, nobody->pw_uid) << "still the owner's";
         }
         EXPECT_EQ(ReadFile(d + "owned.txt"), "0xff\n");
         EXPECT_TRUE(S_ISLNK(stat(d + "dangling.txt").st_mode));
         EXPECT_EQ(ReadFile(d + "dangling_target.txt"), "0xff\n");
         EXPECT_TRUE(S_ISLNK(stat(d + "log_link.txt").st_mode));
         EXPECT_NE(ReadFile(d + "log_target.txt").find("lfuse read: 0x62"), std::string::npos);
       }},
      // A link of the system's names no file to put in its place.
      {"a read to /dev/stdout", "ATtiny85", {"-P", "{P}", "-U", "lfuse:r:/dev/stdout:h"}, "", 0, {},
       {"0x62\n"}, false, {}, {}},
      {"a FIFO nobody reads", "ATtiny85", {"-P", "{P}", "-U", "lfuse:r:{D}out.fifo:h"}, "", 1,
       {"error: lfuse read: cannot create {D}out.fifo: no program reads from {D}out.fifo"}, {}, false, {}, {}},
      {"the terminal shows control bytes", "ATtiny85", {"-P", "{P}", "-t"}, std::string("dump\0x flash\nquit\n", 18), 1,
       {"error: dump\\x00x: unknown command"}, {}, false, {}, {}},
      // Guards: a program SIGTERM could not stop while it waited (signals restarted the wait).
      {"SIGTERM while the terminal waits", "ATtiny85", {"-P", "{P}", "-t"}, "sig\n", 143,
       {"stopped by the user", "the port is closed"}, {}, false, {}, {}, false, {}, nullptr, true},
  };
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    if (c.asNobody && (!root || !haveSetpriv)) {
      std::printf("skipped (needs root and setpriv): %s\n", c.what);
      continue;
    }
    sim::SimChip before(*sim::FindSimChip(std::string(c.chip) == "none" ? "ATtiny85" : c.chip));
    if (c.sketch) std::copy(sketch.begin(), sketch.end(), before.State().flash.begin());
    Gateway g = std::string(c.chip) == "none" ? Gateway("field" + std::to_string(n), "ATtiny85", {"--no-chip"})
                : c.sketch                    ? Gateway("field" + std::to_string(n), before.State())
                                              : Gateway("field" + std::to_string(n), c.chip);
    ++n;
    std::remove((Dir() + "prod.log").c_str());
    auto expand = [&](std::string a) {
      for (const auto& [key, value] : {std::pair<std::string, std::string>{"{P}", g.link}, {"{D}", Dir()}})
        for (size_t at; (at = a.find(key)) != std::string::npos;) a.replace(at, key.size(), value);
      return a;
    };
    std::vector<std::string> args;
    for (const std::string& a : c.args) args.push_back(expand(a));
    // A stop is proven by the program ending after the signal; the limit only catches a hang.
    bool sent = false, killed = false;
    std::chrono::steady_clock::time_point sentAt;
    auto stop = [&](pid_t pid) {
      // Once the terminal's "sig" is carried out: it waits for its next line then.
      if (!sent && Count(ReadFile(g.trace), "Read signature byte 2") >= 2) {
        kill(pid, SIGTERM);
        sent = true;
        sentAt = std::chrono::steady_clock::now();
      } else if (sent && !killed && std::chrono::steady_clock::now() - sentAt > std::chrono::seconds(60)) {
        kill(pid, SIGKILL);
        killed = true;
      }
    };
    const std::vector<std::string> nobodyRuns = {"setpriv", "--reuid=nobody", "--regid=nogroup",
                                                  "--clear-groups"};
    const Outcome o = RunCli(args, c.input, c.stop ? std::function<void(pid_t)>(stop) : nullptr, c.stop,
                             c.asNobody ? nobodyRuns : std::vector<std::string>{});
    EXPECT_FALSE(killed) << "still running 60 s after SIGTERM";
    EXPECT_EQ(o.status, c.status) << o.err;
    for (const std::string& e : c.err)
      EXPECT_NE(o.err.find(expand(e)), std::string::npos) << expand(e) << "\n" << o.err;
    for (const std::string& e : c.out) EXPECT_NE(o.out.find(e), std::string::npos) << e << "\n" << o.out;
    EXPECT_EQ(o.err.find("0x4H"), std::string::npos) << "no log template reaches the user";
    const sim::SimChipState s = g.Finish();
    if (std::string(c.chip) == "none") continue;
    EXPECT_EQ(Bytes(s.flash.begin(), s.flash.begin() + 1000),
              c.programmed ? program : Bytes(before.State().flash.begin(), before.State().flash.begin() + 1000));
    for (size_t i = 0; i < c.fuses.size(); ++i) EXPECT_EQ(s.fuses[i], c.fuses[i]) << "fuse " << i;
    const Bytes eeprom = c.eeprom.empty() ? Bytes(3, 0xFF) : c.eeprom;
    EXPECT_EQ(Bytes(s.eeprom.begin(), s.eeprom.begin() + static_cast<long>(eeprom.size())), eeprom);
    if (c.status == 2) {
      EXPECT_EQ(g.Trace(), "") << "nothing was sent";
    }
    if (c.files) c.files();
    // The log holds what the user saw, results and errors too, as plain text.
    const std::string log = ReadFile(Dir() + "prod.log");
    if (std::find(c.args.begin(), c.args.end(), "{D}prod.log") != c.args.end()) {
      EXPECT_EQ(log.rfind("{\\rtf", 0), std::string::npos);
      for (const std::string& e : c.err) EXPECT_NE(log.find(e), std::string::npos) << e << "\n" << log;
    }
    for (const std::string& e : c.log) {
      EXPECT_NE(log.find(e), std::string::npos) << e << "\n" << log;
      EXPECT_EQ(o.err.find(e), std::string::npos) << e << "\n" << o.err;
    }
  }
  EXPECT_EQ(ReadFile(Dir() + "blank.hex"), ":00000001FF\r\n");
}

// A gateway that stops answering in the middle of a write: the message names the memory, the
// address, what was done and why. 32 KB of commands is far more than the line holds, so the
// hang-up meets the write however far the program runs ahead of the simulator.
TEST(CliPty, AWriteCutShortSaysWhatTheChipHolds) {
  Gateway g("cut", "ATmega328P", {"--hangup-after", "400"});
  const std::string bin = Dir() + "cli_cut.bin";
  WriteFile(bin, Str(Random(32768, 12)));
  const Outcome o = RunCli(Args(g, {"-U", "flash:w:" + bin}));
  EXPECT_EQ(o.status, 1);
  EXPECT_NE(o.err.find("error: flash write failed at 0x"), std::string::npos) << o.err;
  EXPECT_NE(o.err.find(" of 256 pages written; the chip was erased and holds a partial program"), std::string::npos)
      << o.err;
  EXPECT_NE(o.err.find("the port is closed"), std::string::npos) << o.err;
}

// ---- Ctrl-C ----

// Stopped in the middle of a write: the last page loaded was committed, the log tells the
// story to its end, the port is closed (another run can open it), the status is 130; a
// terminal that goes away (SIGHUP) stops it the same way with 129. The signal goes once the
// second page is in, far from the end however slow the machine.
TEST(CliPty, CtrlCInTheMiddleOfAWrite) {
  for (const auto& [signal, status] : {std::pair{SIGINT, 130}, std::pair{SIGHUP, 129}}) {
    SCOPED_TRACE(signal);
    Gateway g("stop");
    const std::string bin = Dir() + "cli_stop.bin", log = Dir() + "cli_stop_log.txt";
    WriteFile(bin, Str(Random(8192, 9)));
    bool sent = false;
    const Outcome o = RunCli({"-P", g.link, "-d", "1", "-l", log, "-U", "flash:w:" + bin}, "",
                             [&, signal = signal](pid_t pid) {
                               if (!sent && Count(ReadFile(g.trace), "Write page") >= 2) {
                                 kill(pid, signal);
                                 sent = true;
                               }
                             });
    ASSERT_TRUE(sent);
    EXPECT_EQ(o.status, status) << o.err;
    EXPECT_NE(o.err.find("stopped by the user during flash write"), std::string::npos) << o.err;
    const std::string text = ReadFile(log);
    EXPECT_NE(text.find("       Finished with fail. Stopped by the user\nEnd time: "), std::string::npos) << text;
    EXPECT_EQ(text.substr(text.size() - 23), "The COM-port is closed\n");
    EXPECT_EQ(RunCli(Args(g, {"-U", "lfuse:r:-:h"})).status, 0) << "the port was left closed";
    g.Finish();
    const std::string trace = g.Trace();
    const size_t lastCommit = trace.rfind("Write page"), lastLoad = trace.rfind("Load page");
    ASSERT_NE(lastCommit, std::string::npos);
    EXPECT_LT(lastLoad, lastCommit) << "no page left loaded without its commit";
  }
}

// ---- gang ----

TEST(CliPty, GangWithOneGatewayFailingMidway) {
  Gateway a("gang_a"), b("gang_b", "ATtiny85", {"--hangup-after", "400"}), c("gang_c");
  const std::string bin = Dir() + "cli_gang.bin", out = Dir() + "cli_gang_read.bin";
  const Bytes program = Random(1024, 10);
  WriteFile(bin, Str(program));
  const Outcome o = RunCli({"-P", a.link, "-P", b.link, "-P", c.link, "-d", "0", "-U",
                            "flash:w:" + bin, "-U", "lfuse:r:-:h", "-U", "eeprom:r:" + out});
  EXPECT_EQ(o.status, 1);
  for (const Gateway* g : {&a, &c}) {
    EXPECT_NE(o.err.find(g->link + ": 1024 bytes of flash verified"), std::string::npos) << o.err;
    EXPECT_NE(o.out.find(g->link + ": 0x62\n"), std::string::npos) << o.out;
    const std::string tag = g->link.substr(g->link.rfind('/') + 1);
    EXPECT_EQ(ReadFile(Dir() + "cli_gang_read-" + tag + ".bin").size(), 512u);
  }
  // Page loads and commits wait for no answer: on a busy machine the program can have sent the
  // whole write into the line before the simulator, behind it, hangs up; then the verify is
  // what finds the gateway gone. Either way the port fails, and says so.
  const bool inWrite = o.err.find(b.link + ": error: flash write failed at 0x") != std::string::npos;
  EXPECT_TRUE(inWrite || o.err.find(b.link + ": error: flash verify failed") != std::string::npos) << o.err;
  // The summary: one row a port, then the count.
  EXPECT_NE(o.err.find(a.link + "  ATtiny85  ok"), std::string::npos) << o.err;
  EXPECT_NE(o.err.find(b.link + "  ATtiny85  FAILED"), std::string::npos) << o.err;
  EXPECT_NE(o.err.find("2 of 3 ports succeeded"), std::string::npos) << o.err;
  const sim::SimChipState s = a.Finish();
  EXPECT_EQ(Bytes(s.flash.begin(), s.flash.begin() + 1024), program);
}


// ---- fuses in words ----

// --set-fuse changes its field's bits and no other, under the -U fuse rules, checked before
// anything is written; --show-fuses reads the bytes back in words.
TEST(CliPty, FuseFieldsInWords) {
  struct Case {
    const char* chip;
    std::vector<std::string> args;
    int status;
    std::vector<int> fuses;  // low, high, extended afterwards
    std::vector<std::string> err, out;  // expected among standard error, standard output
  } cases[] = {
      {"ATtiny85", {"--show-fuses"}, 0, {0x62, 0xDF, 0xFF}, {},
       {"lfuse: 0x62\nCKDIV8: Divide clock by 8 internally: yes (programmed)\n"
        "CKOUT: Clock output on PORTB4: no (unprogrammed)\n"
        "SUT_CKSEL: Int. RC Osc. 8 MHz; Start-up time PWRDWN/RESET: 6 CK/14 CK + 64 ms\nhfuse: 0xDF\n",
        "BODLEVEL: Brown-out detection disabled\nefuse: 0xFF\nSELFPRGEN: Self Programming enable: no",
        "LB: No memory lock features enabled\n"}},
      {"ATtiny85", {"--set-fuse", "ckdiv8=unprogrammed", "--set-fuse", "BODLEVEL=2V7", "--show-fuses"}, 0,
       {0xE2, 0xDD, 0xFF},
       {"lfuse 0x62 -> 0xE2 written (verified); CKDIV8: Divide clock by 8 internally: no (unprogrammed)",
        "hfuse 0xDF -> 0xDD written (verified); BODLEVEL: Brown-out detection at VCC=2.7 V"},
       {"lfuse: 0xE2\n", "BODLEVEL: Brown-out detection at VCC=2.7 V\n"}},
      // A clock outside the chip: written, with the line that names it.
      {"ATtiny85", {"-U", "flash:w:0x12,0x34:m", "--set-fuse", "SUT_CKSEL=EXTXOSC_8MHZ_XX_16KCK_14CK_65MS"}, 0,
       {0x7F, 0xDF, 0xFF},
       {"lfuse 0x62 -> 0x7F written (verified); SUT_CKSEL: Ext. Crystal Osc. 8.0- MHz",
        "note: lfuse 0x62 -> 0x7F: the chip now runs from an external crystal 8-16 MHz on XTAL1/XTAL2; without "
        "one it will not answer"},
       {}},
      {"ATtiny85", {"--set-fuse", "RSTDISBL=0"}, 1, {0x62, 0xDF, 0xFF}, {"programs RSTDISBL"}, {}},
      {"ATtiny85", {"--set-fuse", "SUT_CKSEL=0x05"}, 1, {0x62, 0xDF, 0xFF},
       {"error: --set-fuse SUT_CKSEL=0x05: 0x05 is not a listed setting of SUT_CKSEL"}, {}},
      {"ATtiny85", {"--set-fuse", "BOOTSZ=0"}, 1, {0x62, 0xDF, 0xFF}, {"ATtiny85 has no field BOOTSZ"}, {}},
      {"ATtiny85", {"-n", "--set-fuse", "CKDIV8=1"}, 0, {0x62, 0xDF, 0xFF},
       {"dry run: lfuse 0x62 -> 0xE2 would be written"}, {}},
      {"ATmega328P", {"--set-fuse", "BOOTSZ=256W_3F00", "--show-fuses"}, 0, {0x62, 0xDF, 0xFF},
       {"hfuse 0xD9 -> 0xDF written (verified); BOOTSZ: Boot Flash size=256 words start address=$3F00"},
       {"SUT_CKSEL: Int. RC Osc. 8 MHz; Start-up time PWRDWN/RESET: 6 CK/14 CK + 65 ms\n"}},
  };
  int n = 0;
  for (const Case& c : cases) {
    std::string all;
    for (const std::string& a : c.args) all += a + " ";
    SCOPED_TRACE(std::string(c.chip) + " " + all);
    Gateway g("words" + std::to_string(n++), c.chip);
    const Outcome o = RunCli(Args(g, c.args));
    EXPECT_EQ(o.status, c.status) << o.err;
    for (const std::string& e : c.err) EXPECT_NE(o.err.find(e), std::string::npos) << e << "\n" << o.err;
    for (const std::string& e : c.out) EXPECT_NE(o.out.find(e), std::string::npos) << e << "\n" << o.out;
    const sim::SimChipState s = g.Finish();
    for (size_t i = 0; i < c.fuses.size(); ++i) EXPECT_EQ(s.fuses[i], c.fuses[i]) << "fuse " << i;
    if (c.status != 0) {
      EXPECT_EQ(Count(g.Trace(), "Write") + Count(g.Trace(), "Chip Erase"), 0u);
    }
  }
}

}  // namespace
}  // namespace quillet
