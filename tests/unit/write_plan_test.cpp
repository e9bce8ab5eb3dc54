// The write plan on its own: which pages and bytes a write sends, for the window's whole-memory
// writes and the command line's file writes.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "commands/Plan.h"

namespace quillet {
namespace {

// "L0=FF" a load, "C3/1" a commit at 3 with 1 image byte done, "B5=12/2" a byte write.
std::string Ops(const WritePlan& plan) {
  std::string s;
  char buf[32];
  for (const WriteOp& op : plan.ops) {
    switch (op.kind) {
      case WriteOp::Kind::Load: std::snprintf(buf, sizeof buf, "L%X=%02X ", op.address, op.value); break;
      case WriteOp::Kind::Commit: std::snprintf(buf, sizeof buf, "C%X/%u ", op.address, op.done); break;
      case WriteOp::Kind::Byte: std::snprintf(buf, sizeof buf, "B%X=%02X/%u ", op.address, op.value, op.done); break;
    }
    s += buf;
  }
  std::snprintf(buf, sizeof buf, "| %u %u %u", plan.total, plan.units, plan.skipped);
  return s + buf;
}

TEST(WritePlan, PagesAndBytes) {
  struct Case {
    const char* name;
    uint32_t size;
    bool whole;                        // the window's image: every address, 0x10 + address
    std::map<uint32_t, uint8_t> file;  // else the bytes a file holds
    WriteOptions options;
    const char* ops;  // then "| total units skipped"
  };
  const WriteOptions flash4{.pageBytes = 4, .heldOnly = true, .skipBlank = true};
  const WriteOptions eeprom4{.pageBytes = 4, .heldOnly = true, .loadHeldOnly = true};
  const Case cases[] = {
      {"the window: every page, loaded whole", 8, true, {}, {.pageBytes = 4},
       "L0=10 L1=11 L2=12 L3=13 C3/4 L4=14 L5=15 L6=16 L7=17 C7/8 | 8 2 0"},
      {"the window: byte by byte", 3, true, {}, {}, "B0=10/1 B1=11/2 B2=12/3 | 3 3 0"},
      {"file Flash: a page's gaps load 0xFF, blank and empty pages are not sent", 16,
       false, {{1, 0x12}, {5, 0xFF}, {6, 0xFF}, {13, 0x00}}, flash4,
       "L0=FF L1=12 L2=FF L3=FF C3/1 LC=FF LD=00 LE=FF LF=FF CF/4 | 4 2 2"},
      {"file Flash byte by byte: 0xFF bytes are not sent", 4, false, {{0, 0xFF}, {2, 0x00}},
       {.heldOnly = true, .skipBlank = true}, "B2=00/2 | 2 1 3"},
      {"file EEPROM: only held bytes load, 0xFF is written", 8, false, {{2, 0xFF}, {3, 1}, {4, 2}}, eeprom4,
       "L2=FF L3=01 C3/2 L4=02 C7/3 | 3 2 0"},
      {"file EEPROM byte by byte", 8, false, {{7, 0xFF}}, {.heldOnly = true}, "B7=FF/1 | 1 1 7"},
      {"above 64 K words: addresses as they are", 0x20100, false, {{0x1FFFF, 0x5A}},
       {.pageBytes = 256, .heldOnly = true, .skipBlank = true},
       nullptr},
      {"an empty file sends nothing", 8, false, {}, flash4, "| 0 0 2"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<uint8_t> bytes(c.size, 0xFF);
    std::vector<bool> held(c.size, false);
    for (uint32_t a = 0; a < c.size; ++a)
      if (c.whole) bytes[a] = static_cast<uint8_t>(0x10 + a);
    for (const auto& [a, v] : c.file) {
      bytes[a] = v;
      held[a] = true;
    }
    const WritePlan plan = PlanWrite(bytes.data(), c.whole ? nullptr : &held, c.size, c.options);
    if (c.ops) {
      EXPECT_EQ(Ops(plan), c.ops);
      continue;
    }
    // One page: its 256 loads, the file's byte in place, the commit at the page's end.
    ASSERT_EQ(plan.ops.size(), 257u);
    EXPECT_EQ(plan.ops.front().address, 0x1FF00u);
    EXPECT_EQ(plan.ops[255].value, 0x5A);
    EXPECT_EQ(plan.ops.back().kind, WriteOp::Kind::Commit);
    EXPECT_EQ(plan.ops.back().address, 0x1FFFFu);
    EXPECT_EQ(plan.skipped, 0x201u - 1);
  }
}

}  // namespace
}  // namespace quillet
