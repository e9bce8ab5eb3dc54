// The one reader of memory files, for the window and the command line alike: Intel HEX,
// S-record, ELF (as avr-gcc lays out a program) and raw binary. It streams: a file of any size
// and any line length is read in constant memory, a line longer than any record stops it at
// once, and every address is checked against the memory's size as the records come. The
// callers turn its results into their own messages.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <sys/types.h>
#include <vector>

namespace quillet {

enum class ImageFormat { IntelHex, SRecord, Elf, Raw };

// An open file read block by block. The first block can be looked at before reading starts.
class FileSource {
 public:
  FileSource() = default;
  ~FileSource();
  FileSource(const FileSource&) = delete;
  FileSource& operator=(const FileSource&) = delete;

  // Error() of a file refused for not being a regular one.
  static constexpr int kNotRegular = -1;
  // Opens path ("-": standard input, when allowStdin). A directory is refused (EISDIR), and
  // with regularOnly anything but a regular file (kNotRegular). false with the errno in Error().
  bool Open(const std::string& path, bool regularOnly, bool allowStdin = false);
  // A regular file is read up to the size it had when opened, so one that keeps growing still
  // ends; anything else up to its end. -1: no known size.
  int64_t Size() const { return size_; }
  bool Regular() const { return regular_; }
  int Descriptor() const { return fd_; }
  int Error() const { return error_; }

  // The file's first bytes (kPeek of them, fewer only in a shorter file), without consuming
  // them; nullptr on a read error.
  const uint8_t* Peek(size_t& count);
  // The next buffered bytes (refilled when empty): 0 at the end, -1 on a read error.
  ssize_t Next(const uint8_t*& data);
  uint64_t Consumed() const { return consumed_; }

 private:
  bool Fill();
  static constexpr size_t kBlock = 65536;
  static constexpr size_t kPeek = 4096;
  int fd_ = -1;
  bool own_ = false;
  bool regular_ = false;
  int64_t size_ = -1;
  uint64_t fetched_ = 0;   // bytes read from the descriptor
  uint64_t consumed_ = 0;  // bytes handed out
  int error_ = 0;
  std::vector<uint8_t> block_;
  size_t pos_ = 0, end_ = 0;
  bool eof_ = false;
};

// What a file looks like from its first block: ELF by its magic, Intel HEX or S-record by a
// valid first record, Raw when it is not text, Text when it is text of none of these, Empty
// when it holds nothing at all.
enum class Detected { IntelHex, SRecord, Elf, Raw, Text, Empty, ReadError };
Detected DetectFormat(FileSource& source);

// Where the reader puts the bytes it loads.
class ImageSink {
 public:
  virtual ~ImageSink() = default;
  // count bytes from address on, all below the limit.
  virtual void Put(uint32_t address, const uint8_t* data, size_t count) = 0;
  // After every 1024th line (text) or block of 1024 bytes (raw), from the first: the bytes of
  // the file read so far.
  virtual void Progress(uint64_t /*consumed*/) {}
};

// The memory a file is read for: its size and, for ELF, where avr-gcc puts it.
struct ReadTarget {
  uint64_t limit = 0;       // addresses at or beyond it are not the memory's
  bool dropBeyond = false;  // count such bytes (the window) rather than stop at the first one
  uint64_t elfBase = 0;     // ELF: the memory's first address (Flash 0, EEPROM 0x810000, ...)
  uint64_t elfSpan = 0x800000;  // ELF: the size of its address range
};

// avr-gcc's address ranges of the memories in an ELF file.
constexpr uint64_t kElfEeprom = 0x810000;
constexpr uint64_t kElfFuse = 0x820000;
constexpr uint64_t kElfLock = 0x830000;
constexpr uint64_t kElfSignature = 0x840000;
constexpr uint64_t kElfAreaSpan = 0x10000;

enum class ReadFault {
  None,
  NotARecord,        // a line that is no record of the format
  CountMismatch,     // a record's length disagrees with its byte count
  Checksum,
  BadAddressRecord,  // an address, count or start record of the wrong length (detail: which)
  UnknownType,
  RecordCount,       // an S5/S6 count that disagrees with the data records read
  TooLong,           // a line longer than any record
  Beyond,            // data at or beyond the limit (address)
  ReadError,         // error: the errno
  BadElf,            // detail: what is wrong with it
};

struct ReadResult {
  ReadFault fault = ReadFault::None;
  uint64_t line = 0;      // text formats: the line of the fault, from 1 (CR LF is one line end)
  uint64_t address = 0;   // Beyond: the first address beyond the memory
  int error = 0;
  std::string detail;
  uint64_t dropped = 0;   // dropBeyond: the bytes beyond the memory, not loaded
  uint64_t crossLine = 0; // Intel HEX: the first line whose data record runs past a 64 KB
                          // boundary under an extended address (taken on linearly), 0 if none
  bool ended = false;     // the file ended as a whole one does: Intel HEX 01; S-record
                          // S7/S8/S9, or an S5/S6 count after the last data record
};

// What crossLine means, after "line N: ".
constexpr const char* kCrossText =
    "a record runs past a 64 KB boundary under an extended address; its bytes are taken on "
    "linearly";

ReadResult ReadImageFile(FileSource& source, ImageFormat format, const ReadTarget& target,
                         ImageSink& sink);

// The value of a hex digit of either case, -1 for any other character.
int HexDigit(char c);

// The longest Intel HEX record line: a colon and 255 + 5 bytes in hex digits (an S-record line
// is at most 514).
constexpr size_t kMaxRecordChars = 1 + 2 * (255 + 5);

}  // namespace quillet
