// Load and save of a 128 KB image (AT90CAN128 program memory) as Intel HEX and as binary,
// without the view refresh, against srec_cat converting the same files in the same run.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "chips/Chipfunctions.h"
#include "image/HexFiles.h"
#include "image/Images.h"
#include "log/Logfunctions.h"
#include "bench/Timing.h"

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

}  // namespace

int main(int argc, char** argv) {
  int runs = argc > 1 ? std::atoi(argv[1]) : 21;
  NullLog log;
  SetLogSink(&log);
  SelectChip(FindChipByName("AT90CAN128")->id);
  std::mt19937 random(1);
  for (uint32_t i = 0; i < FlashSize; ++i) ProgramImage[i] = static_cast<uint8_t>(random());

  std::string tmpl = (fs::temp_directory_path() / "quillet-bench-XXXXXX").string();
  Check(mkdtemp(tmpl.data()) != nullptr, "temporary directory");
  fs::path dir = tmpl;
  std::string hex = (dir / "p.hex").string(), bin = (dir / "p.bin").string();
  std::string out = (dir / "out").string();

  double saveHex = MedianMs(runs, [&] { Check(SaveHexFile(hex, 1).ok, "save hex"); });
  double loadHex = MedianMs(runs, [&] { Check(LoadHexFile(hex, 1).ok, "load hex"); });
  double saveBin = MedianMs(runs, [&] { Check(SaveBinaryFile(bin, 1).ok, "save bin"); });
  double loadBin = MedianMs(runs, [&] { Check(LoadBinaryFile(bin, 1).ok, "load bin"); });

  bool haveSrec = std::system("command -v srec_cat >/dev/null 2>&1") == 0;
  auto srec = [&](const std::string& args) {
    return MedianMs(std::max(3, runs / 3), [&] {
      Check(std::system(("srec_cat " + args + " >/dev/null 2>&1").c_str()) == 0, "srec_cat");
    });
  };
  // srec_cat reading our HEX file and writing binary stands against our HEX load; reading the
  // binary and writing HEX against our HEX save; binary to binary against the binary pair.
  double srecHexIn = haveSrec ? srec(hex + " -intel -o " + out + " -binary") : 0;
  double srecHexOut = haveSrec ? srec(bin + " -binary -o " + out + " -intel") : 0;
  double srecBin = haveSrec ? srec(bin + " -binary -o " + out + " -binary") : 0;

  std::printf("128 KB image (AT90CAN128 program memory), median of %d runs, target <= 30 ms each\n", runs);
  auto row = [&](const char* what, double ours, double theirs) {
    if (haveSrec) {
      std::printf("  %-18s %8.3f ms   srec_cat %8.3f ms   ratio %.3f  %s\n", what, ours, theirs,
                  ours / theirs, ours <= 30 ? "ok" : "OVER TARGET");
    } else {
      std::printf("  %-18s %8.3f ms   (srec_cat missing)  %s\n", what, ours, ours <= 30 ? "ok" : "OVER TARGET");
    }
  };
  row("load Intel HEX", loadHex, srecHexIn);
  row("save Intel HEX", saveHex, srecHexOut);
  row("load binary", loadBin, srecBin);
  row("save binary", saveBin, srecBin);
  std::printf("  (srec_cat times include starting the process)\n");

  fs::remove_all(dir);
  SetLogSink(nullptr);
  return 0;
}
