#include "image/HexFiles.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string_view>
#include <vector>

#include "chips/Chipfunctions.h"
#include "image/Images.h"
#include "image/Views.h"
#include "log/Logfunctions.h"
#include "log/Seams.h"

namespace quillet {
namespace {

constexpr uint32_t kProgressStep = 1024;
constexpr char kHexDigits[] = "0123456789ABCDEF";

struct Target {
  uint8_t* bytes = nullptr;
  uint32_t length = 0;
  bool program = false;
  bool known = false;  // image 1 or 2: has an active view
  LogKind loadKind = 11;
  LogKind saveKind = 17;
};

Target TargetOf(int image) {
  Target t;
  if (image == 1) {
    t = {ProgramImage.data(), std::min(FlashSize, kProgramImageSize), true, true, 10, 16};
  } else if (image == 2) {
    t = {DataImage.data(), std::min(EepromSize, kDataImageSize), false, true, 11, 17};
  }
  return t;
}

FileResult Failure(const char* what, const std::string& fileName, const char* reason) {
  return {false, std::string(what) + " \"" + fileName + "\": " + reason};
}
FileResult Failure(const char* what, const std::string& fileName, int error) {
  return Failure(what, fileName, std::strerror(error));
}

class FdCloser {
 public:
  explicit FdCloser(int fd) : fd_(fd) {}
  ~FdCloser() {
    if (fd_ >= 0) ::close(fd_);
  }
  FdCloser(const FdCloser&) = delete;
  FdCloser& operator=(const FdCloser&) = delete;
  // Closes now; the errno of a failed close, else 0.
  int Close() {
    int fd = fd_;
    fd_ = -1;
    return fd >= 0 && ::close(fd) != 0 ? errno : 0;
  }

 private:
  int fd_;
};

// Opens a regular file for reading. A directory or a device would read as nonsense or never
// end, so only regular files are taken. Returns the descriptor, or -1 with result set.
int OpenForReading(const std::string& fileName, struct stat& st, FileResult& result) {
  int fd = ::open(fileName.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) {
    result = Failure("Cannot open file", fileName, errno);
    return -1;
  }
  if (::fstat(fd, &st) != 0) {
    result = Failure("Cannot open file", fileName, errno);
    ::close(fd);
    return -1;
  }
  if (!S_ISREG(st.st_mode)) {
    result = S_ISDIR(st.st_mode) ? Failure("Cannot open file", fileName, EISDIR)
                                 : Failure("Cannot open file", fileName, "Not a regular file");
    ::close(fd);
    return -1;
  }
  ::fcntl(fd, F_SETFL, 0);
  return fd;
}

// Reads up to count bytes, fewer only at the end of the file. -1 on a read error.
ssize_t ReadFully(int fd, uint8_t* out, size_t count) {
  size_t got = 0;
  while (got < count) {
    ssize_t n = ::read(fd, out + got, count - got);
    if (n < 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    if (n == 0) break;
    got += static_cast<size_t>(n);
  }
  return static_cast<ssize_t>(got);
}

bool WriteFully(int fd, const char* data, size_t count) {
  while (count > 0) {
    ssize_t n = ::write(fd, data, count);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data += n;
    count -= static_cast<size_t>(n);
  }
  return true;
}

void LogDropped(uint64_t dropped) {
  if (dropped == 0) return;
  AddLog(0, "Warning: " + std::to_string(dropped) +
                (dropped == 1 ? " byte beyond the chip's memory was not loaded"
                              : " bytes beyond the chip's memory were not loaded"));
}

inline int HexNibble(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

// Two hex digits at s[0], s[1]; -1 if either is not one.
inline int HexByte(const char* s) {
  int hi = HexNibble(s[0]);
  int lo = HexNibble(s[1]);
  return hi < 0 || lo < 0 ? -1 : hi << 4 | lo;
}

inline bool IsBlank(char c) { return c == ' ' || c == '\t'; }

// The longest Intel HEX record: a colon and 255 + 5 bytes in hex digits.
constexpr size_t kMaxRecordChars = 1 + 2 * (255 + 5);

// Hands out the lines of a file (ending at CR LF, LF or CR; a final line break starts no
// other line) from one block at a time, so a file of any size takes the same memory. Trailing
// blanks are counted, not kept: a record followed by any number of them still loads, while a
// line with more than kMaxRecordChars other characters is refused as soon as that is known.
class LineReader {
 public:
  enum class Result { Line, TooLong, End, Error };

  // Reads at most size bytes: what fstat said when the file was opened, as a read of the
  // whole file would have, so a file that keeps growing still ends.
  LineReader(int fd, uint64_t size) : fd_(fd), size_(size), block_(kBlock) {}

  Result Next(std::string_view& line) {
    length_ = 0;
    uint64_t blanks = 0;
    bool any = false;
    for (;;) {
      if (pos_ == end_) {
        if (consumed_ == size_) break;
        ssize_t n;
        do {
          n = ::read(fd_, block_.data(), std::min<uint64_t>(kBlock, size_ - consumed_));
        } while (n < 0 && errno == EINTR);
        if (n < 0) {
          error_ = errno;
          return Result::Error;
        }
        if (n == 0) break;
        pos_ = 0;
        end_ = static_cast<size_t>(n);
      }
      char c = block_[pos_++];
      ++consumed_;
      if (skipLf_) {
        skipLf_ = false;
        if (c == '\n') continue;
      }
      if (c == '\r' || c == '\n') {
        skipLf_ = c == '\r';
        line = {line_, length_};
        return Result::Line;
      }
      any = true;
      if (IsBlank(c)) {
        ++blanks;
        continue;
      }
      if (length_ + blanks >= kMaxRecordChars) return Result::TooLong;
      // Blanks inside a line only make it unreadable; which blanks they were does not matter.
      std::memset(line_ + length_, ' ', blanks);
      length_ += blanks;
      blanks = 0;
      line_[length_++] = c;
    }
    if (!any) return Result::End;
    line = {line_, length_};
    return Result::Line;
  }

  // Bytes read so far, for the progress bar.
  uint64_t Consumed() const { return consumed_; }
  // The errno of a failed read.
  int Error() const { return error_; }

 private:
  static constexpr size_t kBlock = 65536;
  int fd_;
  uint64_t size_;
  uint64_t consumed_ = 0;
  std::vector<char> block_;
  size_t pos_ = 0;
  size_t end_ = 0;
  bool skipLf_ = false;
  int error_ = 0;
  char line_[kMaxRecordChars];
  size_t length_ = 0;
};

enum class LineOutcome { Go, End, Stop };

struct HexLoader {
  uint8_t* bytes;
  uint32_t length;
  uint64_t upperOffset = 0;
  uint64_t segmentOffset = 0;
  uint64_t dropped = 0;

  LineOutcome Wrong(const char* reason) {
    LogDropped(dropped);
    AddLog(13, reason);
    return LineOutcome::Stop;
  }

  LineOutcome Line(std::string_view line) {
    while (!line.empty() && IsBlank(line.back())) line.remove_suffix(1);
    if (line.empty()) return LineOutcome::Go;
    // The record: ":" count(2) address(4) type(2) data(2 * count) checksum(2).
    if (line[0] != ':' || line.size() < 11) return Wrong(" (unknown format)");
    int count = HexByte(line.data() + 1);
    if (count < 0) return Wrong(" (unknown format)");
    size_t recordBytes = static_cast<size_t>(count) + 5;
    if (line.size() != 1 + 2 * recordBytes) return Wrong(" (unknown format)");
    uint8_t record[260];
    unsigned sum = 0;
    for (size_t k = 0; k < recordBytes; ++k) {
      int b = HexByte(line.data() + 1 + 2 * k);
      if (b < 0) return Wrong(" (unknown format)");
      record[k] = static_cast<uint8_t>(b);
      sum += static_cast<unsigned>(b);
    }
    if ((sum & 0xFF) != 0) return Wrong(" (checksum error)");
    const unsigned address = record[1] << 8 | record[2];
    const uint8_t* data = record + 4;
    switch (record[3]) {
      case 0: {
        uint64_t base = upperOffset + segmentOffset + address;
        for (int j = 0; j < count; ++j) {
          uint64_t a = base + static_cast<uint64_t>(j);
          if (a < length) {
            bytes[a] = data[j];
          } else {
            ++dropped;
          }
        }
        return LineOutcome::Go;
      }
      case 1:
        LogDropped(dropped);
        AddLog(12, "");
        return LineOutcome::End;
      case 2:
        if (count != 2) return Wrong(" (unknown format)");
        segmentOffset = static_cast<uint64_t>(data[0] << 8 | data[1]) << 4;
        return LineOutcome::Go;
      case 3:
      case 5:
        // A start address (the entry point of a bootloader, say): nothing to load.
        if (count != 4) return Wrong(" (unknown format)");
        return LineOutcome::Go;
      case 4:
        if (count != 2) return Wrong(" (unknown format)");
        upperOffset = static_cast<uint64_t>(data[0] << 8 | data[1]) << 16;
        return LineOutcome::Go;
      default:
        return Wrong(" (unknown format)");
    }
  }
};

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
  LBarScope bar;
  int fd = ::open(fileName.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd < 0) return Failure("Cannot create file", fileName, errno);
  FdCloser closer(fd);

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

  // A full disk must not end in "Operation complete".
  if (!WriteFully(fd, out.data(), out.size())) return Failure("Cannot write file", fileName, errno);
  if (int error = closer.Close()) return Failure("Cannot write file", fileName, error);
  bar.Free();
  AddLog(12, "");
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

FileResult LoadBinaryFile(const std::string& fileName, int image) {
  Target t = TargetOf(image);
  FileResult failed;
  struct stat st {};
  int fd = OpenForReading(fileName, st, failed);
  if (fd < 0) return failed;
  FdCloser closer(fd);

  AddLog(t.loadKind, fileName);
  LBarScope bar;
  bool atEnd = false;
  for (uint32_t i = 0; i < t.length; i += kProgressStep) {
    if (!atEnd) {
      size_t want = std::min(kProgressStep, t.length - i);
      ssize_t got = ReadFully(fd, t.bytes + i, want);
      if (got < 0) return Failure("Cannot read file", fileName, errno);
      atEnd = static_cast<size_t>(got) < want;
    }
    bar.SetPosition(ProgressPercent(i, t.length));
  }
  uint64_t size = static_cast<uint64_t>(st.st_size);
  uint64_t dropped = size > t.length ? size - t.length : 0;
  bar.Free();
  if (t.known) ImageToView(ActiveView(image), image);
  closer.Close();
  LogDropped(dropped);
  AddLog(12, "");
  return {};
}

FileResult LoadHexFile(const std::string& fileName, int image) {
  Target t = TargetOf(image);
  LBarScope bar;
  AddLog(t.loadKind, fileName);

  FileResult failed;
  struct stat st {};
  int fd = OpenForReading(fileName, st, failed);
  if (fd < 0) return failed;
  FdCloser closer(fd);

  // Line by line: a huge file picked by mistake stops at its first line that is no record.
  const uint64_t size = static_cast<uint64_t>(st.st_size);
  LineReader reader(fd, size);
  HexLoader loader{t.bytes, t.length};
  LineOutcome outcome = LineOutcome::Go;
  FileResult result;
  std::string_view line;
  for (uint64_t i = 0;; ++i) {
    LineReader::Result r = reader.Next(line);
    if (r == LineReader::Result::End) break;
    if (r == LineReader::Result::Error) {
      result = Failure("Cannot read file", fileName, reader.Error());
      break;
    }
    outcome = r == LineReader::Result::TooLong ? loader.Wrong(" (unknown format)")
                                               : loader.Line(line);
    if (outcome != LineOutcome::Go) break;
    if (i % kProgressStep == 0) {
      bar.SetPosition(ProgressPercent(std::min(reader.Consumed(), size) - 1, size));
    }
  }
  closer.Close();
  // Without an end record nothing says "complete", but dropped bytes are still reported.
  if (outcome == LineOutcome::Go && result.ok) LogDropped(loader.dropped);
  bar.Free();
  // The bytes loaded before a stop or a read error are in the image: show them.
  if (t.known) ImageToView(ActiveView(image), image);
  return result;
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
    AddLog(14, "");
    return false;
  }
  // The name decides the format; the dialog's filter plays no part in loading.
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
