#include "image/HexFiles.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <optional>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string_view>
#include <vector>

#include "chips/Catalogue.h"
#include "image/FileReader.h"
#include "image/Images.h"
#include "image/SafeFile.h"
#include "image/Views.h"
#include "log/HostInterfaces.h"
#include "log/Log.h"

namespace quillet {
namespace {

constexpr uint32_t kProgressStep = 1024;
constexpr char kHexDigits[] = "0123456789ABCDEF";

struct Target {
  uint8_t* bytes = nullptr;
  uint32_t length = 0;
  bool program = false;
  bool known = false;  // image 1 or 2: has an active view
  LogKind loadKind = LogKind::LoadingData;
  LogKind saveKind = LogKind::SavingData;
};

Target TargetOf(int image) {
  Target t;
  if (image == 1) {
    t = {ProgramImage.data(), std::min(FlashSize, kProgramImageSize), true, true, LogKind::LoadingProgram, LogKind::SavingProgram};
  } else if (image == 2) {
    t = {DataImage.data(), std::min(EepromSize, kDataImageSize), false, true, LogKind::LoadingData, LogKind::SavingData};
  }
  return t;
}

FileResult Failure(const char* what, const std::string& fileName, const char* reason) {
  return {false, std::string(what) + " \"" + fileName + "\": " + reason};
}
FileResult Failure(const char* what, const std::string& fileName, int error) {
  return Failure(what, fileName, std::strerror(error));
}

// The messages of a file that could not be opened or read.
FileResult OpenFailure(const std::string& fileName, int error) {
  return error == FileSource::kNotRegular ? Failure("Cannot open file", fileName, "Not a regular file")
                                          : Failure("Cannot open file", fileName, error);
}

void LogDropped(uint64_t dropped) {
  if (dropped == 0) return;
  AddLog(LogKind::Text, "Warning: " + std::to_string(dropped) +
                (dropped == 1 ? " byte beyond the chip's memory was not loaded"
                              : " bytes beyond the chip's memory were not loaded"));
}

// The image and progress bar of a window load.
class WindowSink : public ImageSink {
 public:
  // raw: progress by the image address reached, else by the share of the file read.
  WindowSink(const Target& t, ProgressScope& bar, uint64_t size, bool raw) : t_(t), bar_(bar), size_(size), raw_(raw) {}
  void Put(uint32_t address, const uint8_t* data, size_t count) override {
    std::memcpy(t_.bytes + address, data, count);
    put_ += count;
  }
  void Progress(uint64_t consumed) override {
    bar_.SetPosition(raw_ ? ProgressPercent(consumed, t_.length)
                          : ProgressPercent(std::min(consumed, size_) - 1, size_));
    next_ = consumed + kProgressStep;
  }
  // A binary load steps through the whole memory, also past a shorter file's end.
  void FinishRaw() {
    for (uint64_t a = next_; a < t_.length; a += kProgressStep) Progress(a);
  }
  uint64_t put_ = 0;

 private:
  const Target& t_;
  ProgressScope& bar_;
  uint64_t size_;
  bool raw_;
  uint64_t next_ = 0;
};

// Why loading stopped at a record, as the log says it.
const char* WrongText(ReadFault fault) {
  switch (fault) {
    case ReadFault::Checksum: return " (checksum error)";
    case ReadFault::RecordCount: return " (record count error)";
    default: return " (unknown format)";
  }
}

// The window's load of a file: binary by the name's choice, else the format its content shows
// (ELF, S-record), Intel HEX for anything else, with that loader's messages as ever. Binary
// opens before its loading line; the others log it first.
FileResult LoadImage(const std::string& fileName, int image, bool binary) {
  Target t = TargetOf(image);
  std::optional<ProgressScope> bar;
  if (!binary) {
    bar.emplace();
    AddLog(t.loadKind, fileName);
  }
  FileSource source;
  if (!source.Open(fileName, true)) return OpenFailure(fileName, source.Error());
  if (binary) {
    AddLog(t.loadKind, fileName);
    bar.emplace();
  }
  ImageFormat format = ImageFormat::Raw;
  if (!binary) {
    const Detected seen = DetectFormat(source);
    format = seen == Detected::Elf       ? ImageFormat::Elf
             : seen == Detected::SRecord ? ImageFormat::SRecord
                                         : ImageFormat::IntelHex;
  }
  const uint64_t size = static_cast<uint64_t>(source.Size());
  WindowSink sink(t, *bar, size, binary);
  const bool program = t.program || !t.known;
  const ReadTarget target{t.length, true, program ? 0 : kElfEeprom,
                          program ? 0x800000 : kElfAreaSpan};
  const ReadResult r = ReadImageFile(source, format, target, sink);
  if (r.crossLine) AddLog(LogKind::Text, "Warning: line " + std::to_string(r.crossLine) + ": " + kCrossText);
  FileResult result;
  if (r.fault == ReadFault::ReadError) {
    result = Failure("Cannot read file", fileName, r.error);
    // A binary load that failed shows nothing; the bytes of a text load before it are shown.
    if (binary) return result;
  } else if (r.fault == ReadFault::BadElf) {
    AddLog(LogKind::WrongFile, " (" + r.detail + ")");
  } else if (r.fault != ReadFault::None) {
    LogDropped(r.dropped);
    AddLog(LogKind::WrongFile, WrongText(r.fault));
  } else if (format == ImageFormat::Elf && sink.put_ == 0 && r.dropped == 0) {
    AddLog(LogKind::WrongFile, program ? " (no program in it)" : " (no EEPROM data in it)");
  } else if (!binary) {
    // Without an end record nothing says "complete", but dropped bytes are still reported.
    LogDropped(r.dropped);
    if (r.ended) AddLog(LogKind::OperationComplete, "");
  }
  if (binary) sink.FinishRaw();
  bar->Free();
  if (t.known) ImageToView(ActiveView(image), image);
  if (binary && result.ok) {
    LogDropped(r.dropped);
    AddLog(LogKind::OperationComplete, "");
  }
  return result;
}

void AppendHexBytes(std::string& out, uint32_t from, uint32_t to, const uint8_t* bytes,
                    bool program, uint32_t length) {
  for (uint32_t i = from; i < to; i += 8) {
    if (program && i % 65536 == 0) {
      const uint8_t upper[2] = {static_cast<uint8_t>(i >> 24), static_cast<uint8_t>(i >> 16)};
      AppendHexRecord(out, 4, 0, upper, 2, true);
    }
    // Sizes are multiples of 8; a shorter tail still gets a whole, valid record.
    int count = static_cast<int>(std::min<uint32_t>(8, length - i));
    AppendHexRecord(out, 0, static_cast<uint16_t>(i & 0xFFFF), bytes + i, count, true);
  }
}

constexpr char kEndRecord[] = ":00000001FF";

FileResult SaveImage(const std::string& fileName, int image, bool hex) {
  Target t = TargetOf(image);
  AddLog(t.saveKind, fileName);
  if (t.known) ViewToImage(ActiveView(image), image);
  ProgressScope bar;
  SafeFile file;
  if (!file.Create(fileName)) return Failure("Cannot create file", fileName, file.Why().c_str());

  std::string out;
  out.reserve(hex ? (t.length / 8) * 29 + (t.length / 65536 + 1) * 17 + sizeof kEndRecord
                  : t.length);
  for (uint32_t i = 0; i < t.length; i += kProgressStep) {
    uint32_t to = std::min(i + kProgressStep, t.length);
    if (hex) {
      AppendHexBytes(out, i, to, t.bytes, t.program, t.length);
    } else {
      out.append(reinterpret_cast<const char*>(t.bytes + i), to - i);
    }
    bar.SetPosition(ProgressPercent(i, t.length));
  }
  if (hex) out += kEndRecord;

  // A full disk must not end in "Operation complete", nor cost the file saved before.
  if (!file.Write(out.data(), out.size()) || !file.Commit())
    return Failure("Cannot write file", fileName, file.Why().c_str());
  bar.Free();
  AddLog(LogKind::OperationComplete, "");
  return {};
}

}  // namespace

std::string LastThreeUpper(const std::string& name) {
  std::string s = name.substr(name.size() < 3 ? 0 : name.size() - 3);
  for (char& c : s)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  return s;
}

void AppendHexRecord(std::string& out, uint8_t type, uint16_t address, const uint8_t* data,
                     int count, bool crlf) {
  char buf[11 + 2 * 255 + 2];
  char* p = buf;
  unsigned sum = 0;
  auto put = [&](uint8_t b) {
    *p++ = kHexDigits[b >> 4];
    *p++ = kHexDigits[b & 0xF];
    sum += b;
  };
  *p++ = ':';
  put(static_cast<uint8_t>(count));
  put(static_cast<uint8_t>(address >> 8));
  put(static_cast<uint8_t>(address));
  put(type);
  for (int j = 0; j < count; ++j) put(data[j]);
  uint8_t checksum = static_cast<uint8_t>(0x100 - (sum & 0xFF));
  *p++ = kHexDigits[checksum >> 4];
  *p++ = kHexDigits[checksum & 0xF];
  if (crlf) {
    *p++ = '\r';
    *p++ = '\n';
  }
  out.append(buf, static_cast<size_t>(p - buf));
}

std::string HexFileText(const uint8_t* bytes, uint32_t length, bool program) {
  std::string out;
  AppendHexBytes(out, 0, length, bytes, program, length);
  out += kEndRecord;
  return out;
}

std::string SRecordText(const uint8_t* bytes, uint32_t length) {
  const int addressBytes = length > 0x10000 ? 3 : 2;
  std::string out;
  auto record = [&](char type, uint32_t address, const uint8_t* data, uint32_t count, int width) {
    char buf[8];
    std::snprintf(buf, sizeof buf, "S%c%02X", type, static_cast<unsigned>(count + width + 1));
    out += buf;
    unsigned sum = count + width + 1;
    for (int k = width - 1; k >= 0; --k) {
      const unsigned b = (address >> (8 * k)) & 0xFF;
      std::snprintf(buf, sizeof buf, "%02X", b);
      out += buf;
      sum += b;
    }
    for (uint32_t i = 0; i < count; ++i) {
      std::snprintf(buf, sizeof buf, "%02X", data[i]);
      out += buf;
      sum += data[i];
    }
    std::snprintf(buf, sizeof buf, "%02X\n", ~sum & 0xFF);
    out += buf;
  };
  static const uint8_t kHeader[] = {'q', 'u', 'i', 'l', 'l', 'e', 't'};
  record('0', 0, kHeader, sizeof kHeader, 2);
  for (uint32_t a = 0; a < length; a += 32)
    record(addressBytes == 3 ? '2' : '1', a, bytes + a, std::min<uint32_t>(32, length - a), addressBytes);
  record(addressBytes == 3 ? '8' : '9', 0, nullptr, 0, addressBytes);
  return out;
}

FileResult LoadBinaryFile(const std::string& fileName, int image) {
  return LoadImage(fileName, image, true);
}

FileResult LoadHexFile(const std::string& fileName, int image) {
  return LoadImage(fileName, image, false);
}

FileResult SaveBinaryFile(const std::string& fileName, int image) {
  return SaveImage(fileName, image, false);
}

FileResult SaveHexFile(const std::string& fileName, int image) {
  return SaveImage(fileName, image, true);
}

void LoadFileCommand(int image) {
  if (std::optional<FileChoice> choice = GetUserPrompt().OpenFile()) LoadChosenFile(choice->path, image);
}

bool LoadChosenFile(const std::string& path, int image) {
  if (SelectedChip == 0) {
    AddLog(LogKind::NoChipSelected, "");
    return false;
  }
  // A .bin name is read as binary; any other as the format its content shows. The dialog's
  // filter plays no part in loading.
  FileResult r = LastThreeUpper(path) == "BIN" ? LoadBinaryFile(path, image)
                                               : LoadHexFile(path, image);
  if (!r.ok) GetUserPrompt().ShowMessage("Error", r.message);
  return r.ok;
}

void SaveFileCommand(int image) {
  if (std::optional<FileChoice> choice = GetUserPrompt().SaveFile()) SaveChosenFile(*choice, image);
}

std::string SaveChosenFile(const FileChoice& chosen, int image) {
  const FileChoice* choice = &chosen;
  // The filter decides the format; the extension is appended when the name lacks it.
  struct Filter {
    const char* upper;
    const char* extension;
    bool hex;
  };
  static constexpr Filter kFilters[] = {{"HEX", ".hex", true}, {"EEP", ".eep", true},
                                        {"BIN", ".bin", false}};
  int index = choice->filterIndex >= 1 && choice->filterIndex <= 3 ? choice->filterIndex : 1;
  const Filter& f = kFilters[index - 1];
  std::string path = choice->path;
  if (LastThreeUpper(path) != f.upper) path += f.extension;
  FileResult r = f.hex ? SaveHexFile(path, image) : SaveBinaryFile(path, image);
  if (r.ok) return path;
  GetUserPrompt().ShowMessage("Error", r.message);
  return std::string();
}

}  // namespace quillet
