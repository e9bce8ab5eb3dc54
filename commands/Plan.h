// A write as data: the page loads, commits and byte writes that put an image into a memory,
// planned before anything is sent, then executed by one loop for the window and the command
// line alike, over either transport.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

namespace quillet {

struct ChipModule;

struct WriteOp {
  enum class Kind : uint8_t { Load, Commit, Byte };
  Kind kind;
  uint32_t address;  // Commit: the page's last byte
  uint8_t value;     // Load and Byte
  uint32_t done;     // Commit and Byte: image bytes written once this op is done
};

struct WriteOptions {
  uint32_t pageBytes = 0;     // 0: byte by byte
  bool heldOnly = false;      // only the addresses the image holds, not the whole memory
  bool skipBlank = false;     // a page (byte) of only 0xFF is not sent: programming only clears bits
  bool loadHeldOnly = false;  // a page loads only its held bytes; the others keep their values
};

struct WritePlan {
  std::vector<WriteOp> ops;
  uint32_t total = 0;    // image bytes the write covers
  uint32_t units = 0;    // commits and byte writes planned
  uint32_t skipped = 0;  // pages (bytes) of the memory not sent
  uint32_t pageBytes = 0;
};

// bytes holds size bytes; held marks the addresses an image holds (nullptr: all of them).
// Addresses at or above size are never planned. Pure: nothing is sent.
WritePlan PlanWrite(const uint8_t* bytes, const std::vector<bool>* held, uint32_t size,
                    const WriteOptions& options);

// The page size a write of the selected chip's memory uses: the chip's own for Flash where the
// module loads full addresses (either transport), the module's otherwise (0: bytes).
uint32_t WritePageBytes(const ChipModule& m, bool program);

enum class PlanOutcome { Done, Failed, Stopped };
struct PlanRun {
  uint32_t units = 0;     // commits and byte writes done
  uint32_t done = 0;      // image bytes written
  int64_t failedAt = -1;  // the page (byte) whose write failed
};

// Programming Enable (unless dryRun, or enable is false: the caller has just done it), then the plan's ops through the module, the images
// (ProgramImage / DataImage) taking each value on its way. After each commit or byte write
// `after` is called; false from it stops the write there, never between loads and a commit.
// dryRun walks the plan without sending anything.
PlanOutcome ExecuteWrite(const ChipModule& m, bool program, const WritePlan& plan, bool dryRun,
                         const std::function<bool(const WriteOp&)>& after, PlanRun& run,
                         bool enable = true);

}  // namespace quillet
