#include "image/FileReader.h"

#include <fcntl.h>
#include <gelf.h>
#include <libelf.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string_view>

namespace quillet {

// ---- the file ----

FileSource::~FileSource() {
  if (own_ && fd_ >= 0) ::close(fd_);
}

bool FileSource::Open(const std::string& path, bool regularOnly, bool allowStdin) {
  if (allowStdin && path == "-") {
    fd_ = STDIN_FILENO;
  } else {
    // Not blocking while opening, so a FIFO without a writer cannot hang a window.
    fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | (regularOnly ? O_NONBLOCK : 0));
    if (fd_ < 0) {
      error_ = errno;
      return false;
    }
    own_ = true;
  }
  struct stat st {};
  if (::fstat(fd_, &st) != 0) {
    error_ = errno;
    return false;
  }
  regular_ = S_ISREG(st.st_mode);
  if (S_ISDIR(st.st_mode) || (regularOnly && !regular_)) {
    error_ = S_ISDIR(st.st_mode) ? EISDIR : kNotRegular;
    return false;
  }
  if (regularOnly) ::fcntl(fd_, F_SETFL, 0);
  if (regular_) size_ = st.st_size;
  block_.resize(kBlock);
  return true;
}

// Reads more into the block, after what it holds.
bool FileSource::Fill() {
  if (pos_ == end_) pos_ = end_ = 0;
  if (eof_ || error_) return false;
  size_t want = kBlock - end_;
  if (size_ >= 0) want = static_cast<size_t>(std::min<uint64_t>(want, size_ - fetched_));
  ssize_t n = 0;
  if (want > 0) {
    do n = ::read(fd_, block_.data() + end_, want);
    while (n < 0 && errno == EINTR);
  }
  if (n < 0) {
    error_ = errno;
    return false;
  }
  if (n == 0) {
    eof_ = true;
    return false;
  }
  end_ += static_cast<size_t>(n);
  fetched_ += static_cast<uint64_t>(n);
  return true;
}

const uint8_t* FileSource::Peek(size_t& count) {
  // A pipe hands out what has been written so far: wait for enough to judge a first line by.
  while (end_ - pos_ < kPeek && Fill()) {
  }
  if (error_) return nullptr;
  count = end_ - pos_;
  return block_.data() + pos_;
}

ssize_t FileSource::Next(const uint8_t*& data) {
  if (pos_ == end_ && !Fill()) return error_ ? -1 : 0;
  data = block_.data() + pos_;
  const size_t n = end_ - pos_;
  pos_ = end_;
  consumed_ += n;
  return static_cast<ssize_t>(n);
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

namespace {

// ---- lines ----

inline bool IsBlank(uint8_t c) { return c == ' ' || c == '\t'; }

// Hands out the lines of a file (ending at CR LF, LF or CR; a final line break starts no
// other line). Trailing blanks are counted, not kept: a record followed by any number of them
// still loads, while a line with more than kMaxRecordChars other characters is refused as soon
// as that is known.
class LineReader {
 public:
  enum class Result { Line, TooLong, End, Error };

  explicit LineReader(FileSource& source) : source_(source) {}

  Result Next(std::string_view& line) {
    length_ = 0;
    uint64_t blanks = 0;
    bool any = false;
    for (;;) {
      if (pos_ == end_) {
        ssize_t n = source_.Next(data_);
        if (n < 0) return Result::Error;
        if (n == 0) break;
        pos_ = 0;
        end_ = static_cast<size_t>(n);
      }
      const char c = static_cast<char>(data_[pos_++]);
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
      if (IsBlank(static_cast<uint8_t>(c))) {
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

  // Bytes of the file taken so far, for a progress bar.
  uint64_t Consumed() const { return consumed_; }

 private:
  FileSource& source_;
  const uint8_t* data_ = nullptr;
  size_t pos_ = 0, end_ = 0;
  uint64_t consumed_ = 0;
  bool skipLf_ = false;
  char line_[kMaxRecordChars];
  size_t length_ = 0;
};

// ---- records ----

// One record line decoded: its bytes (count first for Intel HEX; after the type for S-records).
struct Record {
  ReadFault fault = ReadFault::None;
  int type = 0;
  uint8_t bytes[260];
  size_t size = 0;
};

// Decodes hex digit pairs; false on a character that is no hex digit.
bool DecodeBytes(std::string_view digits, Record& r) {
  r.size = digits.size() / 2;
  for (size_t k = 0; k < r.size; ++k) {
    const int hi = HexDigit(digits[2 * k]), lo = HexDigit(digits[2 * k + 1]);
    if (hi < 0 || lo < 0) return false;
    r.bytes[k] = static_cast<uint8_t>(hi << 4 | lo);
  }
  return true;
}

unsigned Sum(const Record& r) {
  unsigned sum = 0;
  for (size_t k = 0; k < r.size; ++k) sum += r.bytes[k];
  return sum & 0xFF;
}

// ":" count(2) address(4) type(2) data(2 * count) checksum(2); the bytes sum to 0.
Record DecodeHex(std::string_view line) {
  Record r;
  if (line.size() < 11 || line[0] != ':' || line.size() % 2 == 0 ||
      line.size() > kMaxRecordChars || !DecodeBytes(line.substr(1), r)) {
    r.fault = ReadFault::NotARecord;
  } else if (r.size != r.bytes[0] + 5u) {
    r.fault = ReadFault::CountMismatch;
  } else if (Sum(r) != 0) {
    r.fault = ReadFault::Checksum;
  } else {
    r.type = r.bytes[3];
  }
  return r;
}

// "S" type(1) count(2) address(4, 6 or 8) data checksum(2); count covers address, data and
// checksum; the bytes from the count on sum to 0xFF.
constexpr int kSAddressBytes[10] = {2, 2, 3, 4, 0, 2, 3, 4, 3, 2};

Record DecodeS(std::string_view line) {
  Record r;
  if (line.size() < 4 || line[0] != 'S' || line[1] < '0' || line[1] > '9' ||
      line.size() % 2 != 0 || line.size() > 2 + 2 * 256 || !DecodeBytes(line.substr(2), r)) {
    r.fault = ReadFault::NotARecord;
  } else if (r.size != r.bytes[0] + 1u) {
    r.fault = ReadFault::CountMismatch;
  } else if (Sum(r) != 0xFF) {
    r.fault = ReadFault::Checksum;
  } else {
    r.type = line[1] - '0';
    if (r.type == 4) r.fault = ReadFault::UnknownType;
    else if (r.bytes[0] < kSAddressBytes[r.type] + 1) r.fault = ReadFault::BadAddressRecord;
  }
  return r;
}

// Puts the bytes of a record, or counts or stops at those beyond the memory.
class Loader {
 public:
  Loader(const ReadTarget& target, ImageSink& sink, ReadResult& result)
      : target_(target), sink_(sink), result_(result) {}

  // false: stop (result says why).
  bool Deliver(uint64_t address, const uint8_t* data, uint64_t count) {
    if (address < target_.limit) {
      const uint64_t n = std::min(count, target_.limit - address);
      sink_.Put(static_cast<uint32_t>(address), data, static_cast<size_t>(n));
      address += n;
      count -= n;
    }
    if (count == 0) return true;
    if (target_.dropBeyond) {
      result_.dropped += count;
      return true;
    }
    result_.fault = ReadFault::Beyond;
    result_.address = address;
    return false;
  }

  // The checksum the record ends in and the one its bytes need (they sum to `total`).
  bool ChecksumFault(const Record& r, unsigned total) {
    const uint8_t found = r.bytes[r.size - 1];
    const uint8_t want = static_cast<uint8_t>(total - (Sum(r) - found));
    char text[64];
    std::snprintf(text, sizeof text, "checksum 0x%02X, expected 0x%02X", found, want);
    result_.detail = text;
    return Fault(ReadFault::Checksum);
  }

  bool Fault(ReadFault fault, const char* detail = nullptr) {
    result_.fault = fault;
    if (detail) result_.detail = detail;
    return false;
  }

  // Intel HEX: data, end of file, extended segment and linear addresses (their offsets add),
  // start addresses (nothing to load).
  bool HexLine(std::string_view line) {
    const Record r = DecodeHex(line);
    if (r.fault == ReadFault::Checksum) return ChecksumFault(r, 0);
    if (r.fault != ReadFault::None) return Fault(r.fault);
    const unsigned count = r.bytes[0];
    const uint8_t* data = r.bytes + 4;
    switch (r.type) {
      case 0: {
        const unsigned offset = r.bytes[1] << 8 | r.bytes[2];
        // Under an extended address the field disagrees on a record that runs past 64 KB:
        // taken on linearly as the tools of the field do, with a warning naming it.
        if (based_ && offset + count > 0x10000 && result_.crossLine == 0) result_.crossLine = result_.line;
        // Addresses are 32 bits, whatever a mix of segment and linear bases adds up to.
        return Deliver((upper_ + segment_ + offset) & 0xFFFFFFFFu, data, count);
      }
      case 1:
        result_.ended = true;
        return false;
      case 2:
        if (count != 2) return Fault(ReadFault::BadAddressRecord, "extended segment address");
        segment_ = static_cast<uint64_t>(data[0] << 8 | data[1]) << 4;
        based_ = true;
        return true;
      case 3:
      case 5:
        if (count != 4) return Fault(ReadFault::BadAddressRecord, "start address");
        return true;
      case 4:
        if (count != 2) return Fault(ReadFault::BadAddressRecord, "extended linear address");
        upper_ = static_cast<uint64_t>(data[0] << 8 | data[1]) << 16;
        based_ = true;
        return true;
      default:
        return Fault(ReadFault::UnknownType);
    }
  }

  // S-records: S0 header, S1/S2/S3 data, S5/S6 record count (checked), S7/S8/S9 the end.
  // A file ends with an S7/S8/S9 or with a right count after its last data record.
  bool SLine(std::string_view line) {
    const Record r = DecodeS(line);
    if (r.fault == ReadFault::Checksum) return ChecksumFault(r, 0xFF);
    if (r.fault != ReadFault::None) return Fault(r.fault, "address");
    const int width = kSAddressBytes[r.type];
    uint64_t address = 0;
    for (int k = 1; k <= width; ++k) address = address << 8 | r.bytes[k];
    const uint8_t* data = r.bytes + 1 + width;
    const size_t count = r.size - 2 - static_cast<size_t>(width);
    switch (r.type) {
      case 0:
        return true;
      case 1:
      case 2:
      case 3:
        ++dataRecords_;
        result_.ended = false;
        return Deliver(address, data, count);
      case 5:
      case 6:
        if (count != 0) return Fault(ReadFault::BadAddressRecord, "record count");
        if (address != (dataRecords_ & (width == 2 ? 0xFFFF : 0xFFFFFF)))
          return Fault(ReadFault::RecordCount);
        // srec_cat ends a file without a start address here: a right count is an end too.
        result_.ended = true;
        return true;
      default:
        if (count != 0) return Fault(ReadFault::BadAddressRecord, "termination");
        result_.ended = true;
        return false;
    }
  }

 private:
  const ReadTarget& target_;
  ImageSink& sink_;
  ReadResult& result_;
  uint64_t upper_ = 0, segment_ = 0;
  bool based_ = false;  // an extended segment or linear address record came
  uint64_t dataRecords_ = 0;
};

ReadResult ReadText(FileSource& source, bool sRecords, const ReadTarget& target,
                    ImageSink& sink) {
  ReadResult result;
  LineReader reader(source);
  Loader loader(target, sink, result);
  std::string_view line;
  for (uint64_t i = 0;; ++i) {
    const LineReader::Result r = reader.Next(line);
    if (r == LineReader::Result::End) break;
    if (r == LineReader::Result::Error) {
      result.fault = ReadFault::ReadError;
      result.error = source.Error();
      break;
    }
    result.line = i + 1;
    if (r == LineReader::Result::TooLong) {
      result.fault = ReadFault::TooLong;
      break;
    }
    while (!line.empty() && IsBlank(static_cast<uint8_t>(line.back()))) line.remove_suffix(1);
    if (!line.empty() && !(sRecords ? loader.SLine(line) : loader.HexLine(line))) break;
    if (i % 1024 == 0) sink.Progress(reader.Consumed());
  }
  return result;
}

// ---- raw binary ----

ReadResult ReadRaw(FileSource& source, const ReadTarget& target, ImageSink& sink) {
  ReadResult result;
  Loader loader(target, sink, result);
  uint64_t address = 0;
  uint64_t reported = 0;
  for (;;) {
    // Past the memory, a regular file's length says how much more there is.
    if (address >= target.limit && target.dropBeyond && source.Size() >= 0) {
      result.dropped += static_cast<uint64_t>(source.Size()) - address;
      break;
    }
    const uint8_t* data = nullptr;
    const ssize_t n = source.Next(data);
    if (n < 0) {
      result.fault = ReadFault::ReadError;
      result.error = source.Error();
      return result;
    }
    if (n == 0) break;
    // In steps of 1024 bytes, for the progress bar.
    for (ssize_t k = 0; k < n; k += 1024) {
      const uint64_t step = std::min<uint64_t>(1024, static_cast<uint64_t>(n - k));
      if (!loader.Deliver(address, data + k, step)) return result;
      if (address < target.limit && address >= reported) {
        sink.Progress(address);
        reported = address + 1;
      }
      address += step;
    }
  }
  result.ended = true;
  return result;
}

// ---- ELF ----

class ElfHandle {
 public:
  explicit ElfHandle(int fd) {
    elf_version(EV_CURRENT);
    elf_ = elf_begin(fd, ELF_C_READ, nullptr);
  }
  ~ElfHandle() {
    if (elf_) elf_end(elf_);
  }
  ElfHandle(const ElfHandle&) = delete;
  ElfHandle& operator=(const ElfHandle&) = delete;
  Elf* get() const { return elf_; }

 private:
  Elf* elf_ = nullptr;
};

// The headers of an ELF file checked against the file's real size before libelf sees it:
// libelf's elf_begin takes memory for every section a header claims, so a few crafted bytes
// could ask for gigabytes. Counts are capped at what no AVR program comes near, and every
// table, section and loadable segment must lie inside the file. "" or what is wrong.
constexpr uint64_t kMaxElfSections = 1024;
constexpr uint64_t kMaxElfSegments = 256;

std::string CheckElfBounds(int fd, uint64_t size) {
  uint8_t h[64] = {};
  auto readAt = [&](uint8_t* to, size_t n, uint64_t at) {
    ssize_t got;
    do got = ::pread(fd, to, n, static_cast<off_t>(at));
    while (got < 0 && errno == EINTR);
    return got == static_cast<ssize_t>(n);
  };
  if (size < 52 || !readAt(h, static_cast<size_t>(std::min<uint64_t>(size, 64)), 0))
    return "a damaged ELF header";
  const bool wide = h[4] == 2, big = h[5] == 2;
  if ((h[4] != 1 && !wide) || (h[5] != 1 && !big) || (wide && size < 64))
    return "a damaged ELF header";
  auto field = [&](const uint8_t* p, int n) {
    uint64_t v = 0;
    for (int k = 0; k < n; ++k) v |= static_cast<uint64_t>(p[big ? n - 1 - k : k]) << (8 * k);
    return v;
  };
  const int word = wide ? 8 : 4;
  const uint64_t phoff = field(h + 28 + (wide ? 4 : 0), word);
  const uint64_t shoff = field(h + 28 + (wide ? 12 : 4), word);
  const uint8_t* tail = h + (wide ? 54 : 42);
  const uint64_t phentsize = field(tail, 2), shentsize = field(tail + 4, 2);
  uint64_t phnum = field(tail + 2, 2), shnum = field(tail + 6, 2);
  const uint64_t shSize = wide ? 64 : 40, phSize = wide ? 56 : 32;
  auto within = [&](uint64_t offset, uint64_t length) {
    return offset <= size && length <= size - offset;
  };
  if (shoff != 0) {
    if (shentsize != shSize) return "damaged section headers (entries of " + std::to_string(shentsize) + " bytes)";
    if (!within(shoff, shSize)) return "the section headers lie past the end of the file (a truncated file?)";
    // More than 65279 sections or segments: the real counts are in section 0.
    uint8_t zero[64];
    if (!readAt(zero, static_cast<size_t>(shSize), shoff)) return "the section headers cannot be read";
    if (shnum == 0) shnum = field(zero + (wide ? 32 : 20), word);
    if (phnum == 0xFFFF) phnum = field(zero + (wide ? 44 : 28), 4);
  } else if (shnum != 0) {
    return "damaged section headers (a count without a place)";
  }
  if (shnum > kMaxElfSections)
    return std::to_string(shnum) + " sections claimed, more than an AVR program has (at most " +
           std::to_string(kMaxElfSections) + ")";
  if (shnum > 0 && !within(shoff, shnum * shSize))
    return std::to_string(shnum) + " section headers claimed, more than the file holds";
  if (phnum > kMaxElfSegments)
    return std::to_string(phnum) + " program headers claimed, more than an AVR program has (at most " +
           std::to_string(kMaxElfSegments) + ")";
  if (phnum > 0 && phentsize != phSize)
    return "damaged program headers (entries of " + std::to_string(phentsize) + " bytes)";
  if (phnum > 0 && (phoff == 0 || !within(phoff, phnum * phSize)))
    return std::to_string(phnum) + " program headers claimed, more than the file holds";

  std::vector<uint8_t> table(static_cast<size_t>(std::max(shnum * shSize, phnum * phSize)));
  if (shnum > 0 && !readAt(table.data(), static_cast<size_t>(shnum * shSize), shoff))
    return "the section headers cannot be read";
  for (uint64_t i = 0; i < shnum; ++i) {
    const uint8_t* e = table.data() + i * shSize;
    constexpr uint64_t kNoBits = 8;
    if (i == 0 || field(e + 4, 4) == kNoBits) continue;
    if (!within(field(e + (wide ? 24 : 16), word), field(e + (wide ? 32 : 20), word)))
      return "section " + std::to_string(i) + " reaches past the end of the file (a truncated file?)";
  }
  if (phnum > 0 && !readAt(table.data(), static_cast<size_t>(phnum * phSize), phoff))
    return "the program headers cannot be read";
  for (uint64_t i = 0; i < phnum; ++i) {
    const uint8_t* e = table.data() + i * phSize;
    const uint64_t filesz = field(e + (wide ? 32 : 16), word);
    if (field(e, 4) != PT_LOAD || filesz == 0) continue;
    if (!within(field(e + (wide ? 8 : 4), word), filesz))
      return "a segment reaches past the end of the file (a truncated file?)";
  }
  return "";
}

// The loadable segments at their load (physical) addresses, as avr-gcc links them: Flash
// below 0x800000 (.text, then .data's initial values), RAM from 0x800000 (never in a file),
// then EEPROM, fuses, lock bits and signature at 0x810000, 0x820000, 0x830000, 0x840000.
// The segments' bytes are read in blocks, so a huge one takes no more memory.
ReadResult ReadElf(FileSource& source, const ReadTarget& target, ImageSink& sink) {
  ReadResult result;
  auto bad = [&](std::string detail) {
    result.fault = ReadFault::BadElf;
    result.detail = std::move(detail);
    return result;
  };
  // libelf reads at offsets: a pipe's ELF goes to an unnamed temporary file first, up to a
  // size no AVR program comes near.
  int fd = source.Descriptor();
  uint64_t size = static_cast<uint64_t>(source.Size());
  std::unique_ptr<FILE, int (*)(FILE*)> spool(nullptr, &std::fclose);
  if (!source.Regular()) {
    size_t peeked = 0;
    const uint8_t* head = source.Peek(peeked);
    if (head && (peeked < 4 || std::memcmp(head, "\x7f" "ELF", 4) != 0))
      return bad("not a readable ELF file (no ELF magic at its start)");
    constexpr uint64_t kSpoolLimit = 64u << 20;
    spool.reset(std::tmpfile());
    if (!spool) {
      result.fault = ReadFault::ReadError;
      result.error = errno;
      return result;
    }
    size = 0;
    const uint8_t* data = nullptr;
    ssize_t n;
    while ((n = source.Next(data)) > 0) {
      size += static_cast<uint64_t>(n);
      if (size > kSpoolLimit) return bad("an ELF file of more than 64 MB from a pipe or device");
      if (std::fwrite(data, 1, static_cast<size_t>(n), spool.get()) != static_cast<size_t>(n)) n = -1;
      if (n < 0) break;
    }
    if (n < 0 || std::fflush(spool.get()) != 0) {
      result.fault = ReadFault::ReadError;
      result.error = source.Error() ? source.Error() : errno;
      return result;
    }
    fd = fileno(spool.get());
  }
  const std::string wrong = CheckElfBounds(fd, size);
  if (!wrong.empty()) return bad(wrong);
  ElfHandle elf(fd);
  if (!elf.get()) return bad(std::string("not a readable ELF file (") + elf_errmsg(-1) + ")");
  GElf_Ehdr header;
  if (elf_kind(elf.get()) != ELF_K_ELF || !gelf_getehdr(elf.get(), &header))
    return bad("a damaged ELF header");
  if (header.e_machine != EM_AVR)
    return bad("an ELF file for another processor than AVR (machine " +
               std::to_string(header.e_machine) + ")");
  size_t count = 0;
  if (elf_getphdrnum(elf.get(), &count) != 0)
    return bad(std::string("damaged program headers (") + elf_errmsg(-1) + ")");
  if (count == 0) return bad("no program headers: an object file, not a linked program");
  Loader loader(target, sink, result);
  std::vector<uint8_t> block(65536);
  for (size_t i = 0; i < count; ++i) {
    GElf_Phdr p;
    if (!gelf_getphdr(elf.get(), static_cast<int>(i), &p))
      return bad(std::string("damaged program header (") + elf_errmsg(-1) + ")");
    if (p.p_type != PT_LOAD || p.p_filesz == 0) continue;
    if (p.p_offset > size || p.p_filesz > size - p.p_offset)
      return bad("a segment reaches past the end of the file (a truncated file?)");
    const uint64_t begin = std::max<uint64_t>(p.p_paddr, target.elfBase);
    const uint64_t end = std::min<uint64_t>(p.p_paddr + p.p_filesz, target.elfBase + target.elfSpan);
    for (uint64_t a = begin; a < end;) {
      const size_t n = static_cast<size_t>(std::min<uint64_t>(block.size(), end - a));
      const off_t at = static_cast<off_t>(p.p_offset + (a - p.p_paddr));
      ssize_t got;
      do got = ::pread(fd, block.data(), n, at);
      while (got < 0 && errno == EINTR);
      if (got < 0) {
        result.fault = ReadFault::ReadError;
        result.error = errno;
        return result;
      }
      if (static_cast<size_t>(got) != n) return bad("the file ended inside a segment");
      if (!loader.Deliver(a - target.elfBase, block.data(), n)) return result;
      sink.Progress(at + n);
      a += n;
    }
  }
  result.ended = true;
  return result;
}

bool IsTextByte(uint8_t c) {
  return c >= 0x20 ? c != 0x7F : c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v';
}

// Text: printable characters, line breaks, and UTF-8 (so an erased memory's 0xFF bytes are
// not). A sequence cut by the end of the block counts.
bool LooksLikeText(const uint8_t* p, size_t n) {
  for (size_t i = 0; i < n;) {
    const uint8_t c = p[i];
    if (c < 0x80) {
      if (!IsTextByte(c)) return false;
      ++i;
      continue;
    }
    const size_t more = (c & 0xE0) == 0xC0 ? 1 : (c & 0xF0) == 0xE0 ? 2 : (c & 0xF8) == 0xF0 ? 3 : 0;
    if (more == 0 || c == 0xC0 || c == 0xC1) return false;
    for (size_t k = 1; k <= more; ++k)
      if (i + k < n && (p[i + k] & 0xC0) != 0x80) return false;
    i += more + 1;
  }
  return true;
}

}  // namespace

Detected DetectFormat(FileSource& source) {
  size_t n = 0;
  const uint8_t* p = source.Peek(n);
  if (!p) return Detected::ReadError;
  if (n >= 4 && std::memcmp(p, "\x7f" "ELF", 4) == 0) return Detected::Elf;
  if (!LooksLikeText(p, n)) return Detected::Raw;
  size_t i = 0;
  while (i < n && (IsBlank(p[i]) || p[i] == '\r' || p[i] == '\n')) ++i;
  if (i == n) return n == 0 ? Detected::Empty : Detected::Text;
  size_t end = i;
  while (end < n && p[end] != '\r' && p[end] != '\n') ++end;
  while (end > i && IsBlank(p[end - 1])) --end;
  const std::string_view line(reinterpret_cast<const char*>(p + i), end - i);
  if (line[0] == ':' && DecodeHex(line).fault == ReadFault::None) return Detected::IntelHex;
  if (line[0] == 'S' && DecodeS(line).fault == ReadFault::None) return Detected::SRecord;
  return Detected::Text;
}

ReadResult ReadImageFile(FileSource& source, ImageFormat format, const ReadTarget& target,
                         ImageSink& sink) {
  switch (format) {
    case ImageFormat::IntelHex: return ReadText(source, false, target, sink);
    case ImageFormat::SRecord: return ReadText(source, true, target, sink);
    case ImageFormat::Elf: return ReadElf(source, target, sink);
    default: return ReadRaw(source, target, sink);
  }
}

}  // namespace quillet
