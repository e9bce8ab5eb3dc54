// libFuzzer target for the file reader (Intel HEX, S-record, ELF, raw) through both of its
// clients, and the dump parser (built by tools/fuzz_hex.sh, not by CMake). Checks beyond "no
// crash": the window's loader ends with exactly one of its closing lines or none, whatever it
// loaded survives a save and a reload unchanged, and a file the command line takes gives the
// window the same bytes. An ELF file read from a file grown far beyond the input (sparse)
// takes memory below a fixed multiple of the input's size, whatever its headers claim.
#include <sanitizer/allocator_interface.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "chips/Catalogue.h"
#include "commands/Jobs.h"
#include "image/Dump.h"
#include "image/FileReader.h"
#include "image/HexFiles.h"
#include "image/Images.h"
#include "log/Log.h"

using namespace quillet;

namespace {

class Lines : public LogSink {
 public:
  void AppendLine(const std::string& line) override { lines.push_back(line); }
  std::vector<std::string> lines;
};

Lines g_log;
int g_in = -1;
int g_out = -1;
int g_elf = -1;
std::string g_inPath, g_outPath, g_elfPath;

int MemFile(const char* name, std::string& path) {
  int fd = memfd_create(name, 0);
  if (fd < 0) std::abort();
  path = "/proc/self/fd/" + std::to_string(fd);
  return fd;
}

void Fail(const char* what) {
  std::fprintf(stderr, "property failed: %s\n", what);
  std::abort();
}

// The most the heap held while tracking; the allocator calls the hook after each allocation.
bool g_tracking = false;
size_t g_peak = 0;
void OnMalloc(const volatile void*, size_t) {
  if (g_tracking) g_peak = std::max(g_peak, __sanitizer_get_current_allocated_bytes());
}
void OnFree(const volatile void*) {}

class NoSink : public ImageSink {
 public:
  void Put(uint32_t, const uint8_t*, size_t) override {}
};

// The input as the start of a 64 MB file (the rest a hole, as a sparse file claims it): the
// ELF reader's memory must follow the bytes the input has, not the sizes its headers give.
constexpr uint64_t kGrownBytes = 64u << 20;
constexpr size_t kMemoryPerInputByte = 64;
constexpr size_t kMemoryFloor = 2u << 20;  // the reader's blocks and libelf's own

void CheckElfMemory(const uint8_t* data, size_t size, uint32_t length) {
  if (ftruncate(g_elf, 0) != 0 || pwrite(g_elf, data, size, 0) != static_cast<ssize_t>(size) ||
      ftruncate(g_elf, static_cast<off_t>(kGrownBytes)) != 0)
    std::abort();
  FileSource source;
  if (!source.Open(g_elfPath, true)) Fail("the grown file did not open");
  NoSink sink;
  const size_t before = __sanitizer_get_current_allocated_bytes();
  g_peak = before;
  g_tracking = true;
  ReadImageFile(source, ImageFormat::Elf, ReadTarget{length, true, 0, 0x800000}, sink);
  g_tracking = false;
  if (g_peak - before > kMemoryPerInputByte * size + kMemoryFloor)
    Fail("the ELF reader took memory for what the headers claim, not what the file holds");
}

bool IsClosingLine(const std::string& line) {
  return line == "Operation complete" || line.rfind("Wrong file (", 0) == 0;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  SetLogSink(&g_log);
  SelectChip(FindChipByName("AT90CAN128")->id);  // a chip, so the loaders have sizes
  g_in = MemFile("in", g_inPath);
  g_out = MemFile("out", g_outPath);
  g_elf = MemFile("elf", g_elfPath);
  __sanitizer_install_malloc_and_free_hooks(OnMalloc, OnFree);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (ftruncate(g_in, 0) != 0 || pwrite(g_in, data, size, 0) != static_cast<ssize_t>(size)) std::abort();
  const int image = size > 0 && (data[0] & 1) ? 2 : 1;
  // Mostly a small chip, so a run is quick; every eighth length the largest one.
  const bool large = size % 8 == 0;
  FlashSize = large ? 131072 : 1024;
  EepromSize = large ? 4096 : 64;
  uint8_t* bytes = image == 1 ? ProgramImage.data() : DataImage.data();
  const uint32_t length = image == 1 ? FlashSize : EepromSize;

  std::memset(bytes, 0xA5, length);
  g_log.lines.clear();
  if (!LoadHexFile(g_inPath, image).ok) Fail("hex load of a readable file failed");
  size_t closing = 0;
  for (const std::string& line : g_log.lines) closing += IsClosingLine(line);
  if (closing > 1) Fail("more than one closing line");
  if (closing == 1 && !IsClosingLine(g_log.lines.back())) Fail("lines after the closing line");

  std::vector<uint8_t> loaded(bytes, bytes + length);
  if (!SaveHexFile(g_outPath, image).ok) Fail("hex save failed");
  std::memset(bytes, 0x5A, length);
  g_log.lines.clear();
  if (!LoadHexFile(g_outPath, image).ok || g_log.lines.back() != "Operation complete")
    Fail("our own file did not load");
  if (std::memcmp(bytes, loaded.data(), length) != 0) Fail("save and reload changed the image");

  // The command line's reading of the same file, with the automatic format: what it takes,
  // the window loads alike (the window also detects ELF and S-records in a file not named .bin).
  FileImage taken;
  std::string error;
  const Memory memory = image == 1 ? Memory::Flash : Memory::Eeprom;
  if (LoadFileImage(g_inPath, FileFormat::Auto, memory, length, taken, error)) {
    if (taken.End() > length) Fail("command line took an address beyond the memory");
    if (error.size()) Fail("success with an error");
    std::memset(bytes, 0xA5, length);
    g_log.lines.clear();
    FileSource source;
    if (!source.Open(g_inPath, true)) Fail("reopen failed");
    const Detected seen = DetectFormat(source);
    // A file without data is nothing to write to the command line, a wrong file to the window.
    if ((seen == Detected::IntelHex || seen == Detected::SRecord || seen == Detected::Elf) && taken.End() > 0) {
      if (!LoadHexFile(g_inPath, image).ok) Fail("window load failed");
      for (uint32_t a = 0; a < taken.End(); ++a)
        if (taken.Holds(a) && bytes[a] != taken.bytes[a]) Fail("the clients read different bytes");
    }
  } else if (error.empty()) {
    Fail("failure without a message");
  }

  if (!LoadBinaryFile(g_inPath, image).ok) Fail("binary load failed");
  if (std::memcmp(bytes, data, std::min<size_t>(size, length)) != 0) Fail("binary bytes differ");

  if (size >= 4 && std::memcmp(data, "\x7f" "ELF", 4) == 0) CheckElfMemory(data, size, length);

  // The same input as dump text.
  std::u16string text(size / 2, u'\0');
  std::memcpy(text.data(), data, text.size() * 2);
  std::vector<uint8_t> out(text.size() / kViewLineStride * 16 + 16, 0);
  ParseDump(text, out.data(), out.size());
  return 0;
}
