// Memory jobs for programs that run without the window (quillet-cli): memories read from and
// written to files without a view, Flash writes that skip blank pages, verifies limited to the
// addresses a file holds, single fuse bytes, and a stop request checked at safe points.
// Each job logs the window's lines for the chip steps it takes, over the same seams.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "chips/Catalogue.h"
#include "chips/ChipModule.h"
#include "chips/PartTable.h"
#include "commands/Steps.h"

namespace quillet {

struct ChipModule;

// ---- the memories a job addresses ----
enum class Memory { Flash, Eeprom, LowFuse, HighFuse, ExtendedFuse, Lock, Signature, Calibration };

// "flash", "eeprom", "lfuse" ("fuse" and "fuse0" too), "hfuse" ("fuse1"), "efuse" ("fuse2"),
// "lock", "signature", "calibration"; false for any other name.
bool ParseMemory(const std::string& name, Memory& memory);
const char* MemoryName(Memory memory);
// Bytes of the memory on the selected chip; 0 when the chip does not have it.
uint32_t MemorySize(Memory memory);
bool IsFuseOrLock(Memory memory);
// "0x1E": a byte as the messages show it.
std::string Hex2(unsigned v);
// Whether the selected chip can read / write the memory over the serial interface.
bool CanRead(Memory memory);
bool CanWrite(Memory memory);

// ---- files ----
// HexText reads values in any base ("0x1e,147,0b1011,013"); DecText, OctText and BinText are
// its output forms in decimal, octal ("036") and binary ("0b00011110").
enum class FileFormat { Auto, IntelHex, SRecord, Elf, Raw, Immediate, HexText, DecText, OctText, BinText };

// A memory's contents as a file gives them: the bytes at the addresses the file holds.
struct FileImage {
  std::vector<uint8_t> bytes;  // 0xFF where the file holds nothing
  std::vector<bool> held;
  void Put(uint32_t address, uint8_t value);
  // One past the highest address held; 0 for an empty file.
  uint32_t End() const;
  uint32_t HeldCount() const;
  bool Holds(uint32_t address) const { return address < held.size() && held[address]; }
  std::string warning;  // "" or what the file holds that was taken with a doubt
};

// Reads `path` ("-": standard input) for a memory into image. Immediate: path is the value
// list itself ("0xE2", "0x12,0x34", "0b101", "017" octal). Auto: ELF by its magic, Intel HEX
// or S-record by a valid first record, raw binary when the file is not text; for a fuse,
// lock, signature or calibration also hex text ("0xE2") and a raw backup no longer than the
// memory; other text is refused. ELF gives the memory as avr-gcc lays it out (.text and
// .data, .eeprom, .fuse, .lock, .signature). The file may hold no address at or above limit.
// A file that holds no data (an .eep of an end record only) loads as an empty image.
// On failure error names the file and the reason; nothing is logged. An Intel HEX file
// without an end record loads when warning is given, and warning says so; without it, it is
// refused.
bool LoadFileImage(const std::string& path, FileFormat format, Memory memory, uint32_t limit,
                   FileImage& image, std::string& error, std::string* warning = nullptr);
// The format an output file gets for Auto: Intel HEX for .hex/.eep/.ihx/.ihex names and for
// Flash or EEPROM to standard output, S-record for .srec/.s19/.s28/.mot, hex text for other
// memories to standard output, raw binary otherwise.
FileFormat OutputFormat(const std::string& path, FileFormat format, Memory memory);
// The text of bytes in a format: Intel HEX (address records above 64 KB), S-record, raw, or
// value text ("0x1e,0x93,0x0b", sixteen to a line; decimal, octal, binary alike).
std::string FileText(const uint8_t* bytes, uint32_t length, FileFormat format);
// Writes text to `path` ("-": standard output) through a temporary file that replaces it
// only once complete: a failure leaves the old file as it was. false with error set.
bool SaveText(const std::string& path, const std::string& text, std::string& error,
              std::string* note = nullptr);

// ---- chip jobs on the selected chip (port open). Each logs a "Trying to" line, its chip
// steps and its "Finished" line as the window does; false on failure or stop. ----
struct JobResult {
  bool stopped = false;        // a stop request ended the job at a safe point
  uint32_t bytes = 0;          // bytes read, written or verified
  uint32_t pagesWritten = 0;   // Flash/EEPROM pages committed (byte-mode chips: bytes)
  uint32_t pagesSkipped = 0;   // blank Flash pages not sent
  bool mismatch = false;       // verify: the chip differs from the file
  uint32_t mismatchAddress = 0;
  uint8_t expected = 0, found = 0;
  std::string failure;         // what went wrong, for the user (empty: see the log)
  int64_t failedAt = -1;       // the address where the chip stopped answering, -1: not known
  uint32_t pagesPlanned = 0;   // write: the pages (byte-mode chips: bytes) it was to commit
};

// Programming Enable and Chip Erase (the ATtiny12's second erase included); checkChip reads
// the signature first and erases nothing on a chip other than the one selected.
bool EraseChip(bool checkChip = false);
// The whole memory into out.
bool ReadMemoryJob(Memory memory, std::vector<uint8_t>& out, JobResult& result);
// count bytes of Flash or EEPROM from address on into out (clipped to the memory).
bool ReadMemoryRange(Memory memory, uint32_t address, uint32_t count, std::vector<uint8_t>& out,
                     JobResult& result);
// Writes the addresses the image holds. Flash: pages (bytes) that hold only 0xFF are not sent,
// since programming can only clear bits; EEPROM: every held byte is written.
// dryRun: everything but the writes (nothing is sent to the chip).
bool WriteMemoryJob(Memory memory, const FileImage& image, bool dryRun, JobResult& result);
// Reads back only the addresses the image holds.
bool VerifyMemoryJob(Memory memory, const FileImage& image, JobResult& result);

// ---- fuse and lock bits ----
// Names of bits 0..7 of a fuse or lock byte of the selected chip (nullptr: no such bit), or
// nullptr when its layout is not known.
const char* const* FuseBitNames(Memory memory);
// The bits of a fuse or lock byte that the chip has and a write sets: the ones a verify compares.
uint8_t FuseBitsCompared(Memory memory);
// The value read from the chip into value (bits the chip does not have read as 1).
bool ReadFuseJob(Memory memory, uint8_t& value);
// Writes one fuse or lock byte; compares the read-back value on the bits the chip has
// unless verify is false. dryRun: nothing is written.
bool WriteFuseJob(Memory memory, uint8_t value, bool verify, bool dryRun, JobResult& result);
// A fuse or lock byte read back right after its write, in the same programming session (a new
// reset pulse would already obey the new value): Verified, Differs (found and why set: what
// most likely kept the chip from taking it), NotReadable (the chip cannot read it back) or
// Failed (an exchange failed; its line is logged). FuseLockBytes takes what the reads found.
enum class ReadBack { Verified, Differs, NotReadable, Failed };
ReadBack ReadBackFuse(Memory memory, uint8_t written, uint8_t& found, std::string& why);
// The memory a fuse or lock write of a module's table writes.
Memory MemoryOfFuseWrite(FuseOp op);

// What bit k of a fuse byte of the selected chip does (FuseRole::None for lock bits and bits
// without a role).
FuseRole FuseBitRole(Memory memory, int k);
// Why writing `value` over `current` shuts out every ISP programmer, or "" when one can undo
// it: a reset-disable (RSTDISBL) or debugWIRE (DWEN) bit programmed, SPIEN unprogrammed.
std::string FuseHazard(Memory memory, uint8_t current, uint8_t value);
// "LB1 LB2" (the programmed bits among names), "" when none.
std::string ProgrammedBits(Memory memory, uint8_t value);

}  // namespace quillet
