// Load and save of a 256 KB image (ATmega2560 program memory) in every file format, through
// the window's loader and the command line's, against srec_cat converting the same files in
// the same run; then the memory a 1 GB file takes to read.
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "bench/Timing.h"
#include "chips/Catalogue.h"
#include "commands/Jobs.h"
#include "image/HexFiles.h"
#include "image/Images.h"
#include "log/Log.h"
#include "support/ElfImage.h"

using namespace quillet;
namespace fs = std::filesystem;

namespace {

class NullLog : public LogSink {
 public:
  void AppendLine(const std::string&) override {}
};

using bench::MedianMs;

void Check(bool ok, const char* what) {
  if (!ok) {
    std::fprintf(stderr, "failed: %s\n", what);
    std::exit(1);
  }
}

long StatusKb(const char* field) {
  std::ifstream in("/proc/self/status");
  std::string line;
  while (std::getline(in, line))
    if (line.rfind(field, 0) == 0) return std::atol(line.c_str() + std::strlen(field));
  return -1;
}

// The peak resident memory (VmHWM) of a child process that runs work, in KB, and what it held
// before (VmRSS): libraries and all.
std::pair<long, long> PeakKb(const std::function<bool()>& work) {
  std::fflush(stdout);
  int report[2];
  Check(pipe(report) == 0, "pipe");
  const pid_t pid = fork();
  if (pid == 0) {
    const long before = StatusKb("VmRSS:");
    if (!work()) _exit(1);
    const long figures[2] = {StatusKb("VmHWM:"), before};
    _exit(write(report[1], figures, sizeof figures) == sizeof figures ? 0 : 1);
  }
  close(report[1]);
  long figures[2] = {-1, -1};
  Check(read(report[0], figures, sizeof figures) == sizeof figures, "1 GB read");
  close(report[0]);
  int status = 0;
  Check(waitpid(pid, &status, 0) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0, "1 GB read");
  return {figures[0], figures[1]};
}

// About 1 GB of 32-byte records over the whole 256 KB, again and again, then the end record.
void WriteBigHex(FILE* out, uint64_t bytes, bool sRecords) {
  std::string chunk;
  std::vector<uint8_t> data(32, 0x5A);
  for (uint32_t a = 0; a < kProgramImageSize; a += 32) {
    if (sRecords) {
      char line[100];
      unsigned sum = 36 + (a >> 16 & 0xFF) + (a >> 8 & 0xFF) + (a & 0xFF) + 32 * 0x5A;
      int n = std::snprintf(line, sizeof line, "S224%06X", a);
      for (int k = 0; k < 32; ++k) n += std::snprintf(line + n, sizeof line - n, "5A");
      std::snprintf(line + n, sizeof line - n, "%02X\r\n", ~sum & 0xFF);
      chunk += line;
    } else {
      if (a % 65536 == 0) {
        const uint8_t upper[2] = {0, static_cast<uint8_t>(a >> 16)};
        AppendHexRecord(chunk, 4, 0, upper, 2, true);
      }
      AppendHexRecord(chunk, 0, static_cast<uint16_t>(a), data.data(), 32, true);
    }
  }
  for (uint64_t written = 0; written < bytes; written += chunk.size())
    if (std::fwrite(chunk.data(), 1, chunk.size(), out) != chunk.size()) return;
  std::fputs(sRecords ? "S9030000FC\r\n" : ":00000001FF\r\n", out);
}

}  // namespace

int main(int argc, char** argv) {
  int runs = argc > 1 ? std::atoi(argv[1]) : 21;
  NullLog log;
  SetLogSink(&log);
  SelectChip(FindChipByName("ATmega2560")->id);
  Check(FlashSize == kProgramImageSize, "a 256 KB chip");
  std::mt19937 random(1);
  for (uint32_t i = 0; i < FlashSize; ++i) ProgramImage[i] = static_cast<uint8_t>(random());

  std::string tmpl = (fs::temp_directory_path() / "quillet-bench-XXXXXX").string();
  Check(mkdtemp(tmpl.data()) != nullptr, "temporary directory");
  fs::path dir = tmpl;
  const std::string hex = (dir / "p.hex").string(), bin = (dir / "p.bin").string();
  const std::string srec = (dir / "p.srec").string(), elf = (dir / "p.elf").string();
  const std::string out = (dir / "out").string();

  double saveHex = MedianMs(runs, [&] { Check(SaveHexFile(hex, 1).ok, "save hex"); });
  double saveBin = MedianMs(runs, [&] { Check(SaveBinaryFile(bin, 1).ok, "save bin"); });
  const std::string image(reinterpret_cast<const char*>(ProgramImage.data()), FlashSize);
  std::ofstream(elf, std::ios::binary) << test::AvrElf({{0, image}});

  bool haveSrec = std::system("command -v srec_cat >/dev/null 2>&1") == 0;
  if (!haveSrec) {
    std::printf("srec_cat is missing: no baseline\n");
    return 1;
  }
  Check(std::system(("srec_cat " + bin + " -binary -o " + srec + " -motorola -address-length=3")
                        .c_str()) == 0, "srec_cat writing S-records");
  auto srecCat = [&](const std::string& args) {
    return MedianMs(std::max(3, runs / 3), [&] {
      Check(std::system(("srec_cat " + args + " >/dev/null 2>&1").c_str()) == 0, "srec_cat");
    });
  };

  struct Format {
    const char* name;
    std::string path;
    FileFormat format;
    std::string srecArgs;  // srec_cat reading the same file (ELF: it cannot; the binary instead)
  } formats[] = {
      {"Intel HEX", hex, FileFormat::IntelHex, hex + " -intel"},
      {"S-record", srec, FileFormat::SRecord, srec + " -motorola"},
      {"ELF", elf, FileFormat::Elf, bin + " -binary"},
      {"binary", bin, FileFormat::Raw, bin + " -binary"},
  };
  std::printf("256 KB image (ATmega2560 program memory), median of %d runs; target: each load "
              "<= 1.2 x srec_cat on the same file\n", runs);
  std::printf("  %-10s %10s %10s %10s %7s %7s\n", "load", "window", "cli", "srec_cat", "ratio", "");
  bool allOk = true;
  for (const Format& f : formats) {
    const double window = MedianMs(runs, [&] { Check(LoadChosenFile(f.path, 1), f.name); });
    const double cli = MedianMs(runs, [&] {
      FileImage image;
      std::string error;
      Check(LoadFileImage(f.path, FileFormat::Auto, Memory::Flash, FlashSize, image, error) &&
                image.End() == FlashSize, f.name);
    });
    const double base = srecCat(f.srecArgs + " -o " + out + " -binary");
    const double ratio = std::max(window, cli) / base;
    allOk = allOk && ratio <= 1.2;
    std::printf("  %-10s %7.2f ms %7.2f ms %7.2f ms %7.3f %7s\n", f.name, window, cli, base,
                ratio, ratio <= 1.2 ? "ok" : "OVER");
  }
  std::printf("  save Intel HEX %7.2f ms, binary %7.2f ms (srec_cat binary to HEX %7.2f ms)\n",
              saveHex, saveBin, srecCat(bin + " -binary -o " + out + " -intel"));
  std::printf("  (srec_cat times include starting the process; its ELF row reads the binary)\n");

  // 1 GB through a pipe into the command line's reader, and as a file into the window's.
  constexpr uint64_t kGiB = 1ULL << 30;
  std::printf("reading 1 GB (records over the 256 KB again and again); target < 64 MB peak\n");
  for (bool sRecords : {false, true}) {
    int fds[2];
    Check(pipe(fds) == 0, "pipe");
    const auto start = std::chrono::steady_clock::now();
    const pid_t writer = fork();
    if (writer == 0) {
      close(fds[0]);
      FILE* w = fdopen(fds[1], "w");
      WriteBigHex(w, kGiB, sRecords);
      std::fclose(w);
      _exit(0);
    }
    close(fds[1]);
    const auto [kb, before] = PeakKb([&] {
      dup2(fds[0], 0);
      FileImage image;
      std::string error;
      const bool ok = LoadFileImage("-", FileFormat::Auto, Memory::Flash, FlashSize, image, error);
      if (!ok) std::fprintf(stderr, "%s\n", error.c_str());
      return ok;
    });
    close(fds[0]);
    waitpid(writer, nullptr, 0);
    const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    allOk = allOk && kb < 64 * 1024;
    std::printf("  command line, %-9s from a pipe: peak %6.1f MB (%.1f MB before) in %.1f s  %s\n",
                sRecords ? "S-record" : "Intel HEX", kb / 1024.0, before / 1024.0, s,
                kb < 64 * 1024 ? "ok" : "OVER");
  }
  {
    const std::string big = (dir / "big.hex").string();
    FILE* w = std::fopen(big.c_str(), "w");
    Check(w != nullptr, "1 GB file");
    WriteBigHex(w, kGiB, false);
    Check(std::fclose(w) == 0, "1 GB file written");
    const auto start = std::chrono::steady_clock::now();
    const auto [kb, before] = PeakKb([&] { return LoadChosenFile(big, 1); });
    const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    allOk = allOk && kb < 64 * 1024;
    std::printf("  window, Intel HEX file:            peak %6.1f MB (%.1f MB before) in %.1f s  %s\n",
                kb / 1024.0, before / 1024.0, s, kb < 64 * 1024 ? "ok" : "OVER");
    fs::remove(big);
  }

  fs::remove_all(dir);
  SetLogSink(nullptr);
  return allOk ? 0 : 1;
}
