#include "commands/Plan.h"

#include <algorithm>

#include "chips/Catalogue.h"
#include "chips/ChipModule.h"
#include "chips/FastTransport.h"
#include "image/Images.h"

namespace quillet {

WritePlan PlanWrite(const uint8_t* bytes, const std::vector<bool>* held, uint32_t size,
                    const WriteOptions& o) {
  WritePlan plan;
  plan.pageBytes = o.pageBytes;
  auto holds = [&](uint32_t a) { return !held || (a < held->size() && (*held)[a]); };
  uint32_t end = size;
  if (held && o.heldOnly) end = std::min<uint32_t>(size, static_cast<uint32_t>(held->size()));
  const uint32_t step = o.pageBytes ? o.pageBytes : 1;
  const uint32_t memoryUnits = (size + step - 1) / step;
  for (uint32_t base = 0; base < end; base += step) {
    const uint32_t last = std::min(base + step, size);
    uint32_t count = 0;
    bool blank = true;
    for (uint32_t a = base; a < last; ++a) {
      if (o.heldOnly && !holds(a)) continue;
      ++count;
      if (bytes[a] != 0xFF) blank = false;
    }
    plan.total += count;
    if (count == 0 || (o.skipBlank && blank)) continue;
    ++plan.units;
    if (!o.pageBytes) {
      plan.ops.push_back({WriteOp::Kind::Byte, base, bytes[base], plan.total});
      continue;
    }
    for (uint32_t a = base; a < last; ++a) {
      const bool in = !o.heldOnly || holds(a);
      if (!in && o.loadHeldOnly) continue;
      plan.ops.push_back({WriteOp::Kind::Load, a, in ? bytes[a] : uint8_t{0xFF}, 0});
    }
    plan.ops.push_back({WriteOp::Kind::Commit, base + step - 1, 0, plan.total});
  }
  plan.skipped = memoryUnits - plan.units;
  return plan;
}

uint32_t WritePageBytes(const ChipModule& m, bool program) {
  if (!program) return m.DataPageBytes();
  const ChipEntry* chip = FindChip(SelectedChip);
  // Loads with the full address reach any page size, and a commit anywhere in the page writes
  // it: the chip's own page, committed once on either transport (a second commit of a page
  // reprograms cells that are no longer erased).
  if (m.flashFullAddressLoad && chip) return ChipFlashPageBytes(*chip);
  return m.ProgramPageBytes();
}

PlanOutcome ExecuteWrite(const ChipModule& m, bool program, const WritePlan& plan, bool dryRun,
                         const std::function<bool(const WriteOp&)>& after, PlanRun& run,
                         bool enable) {
  run = PlanRun{};
  if (!dryRun && enable && !m.ProgrammingEnable()) return PlanOutcome::Failed;
  uint8_t* image = program ? ProgramImage.data() : DataImage.data();
  const uint32_t step = plan.pageBytes ? plan.pageBytes : 1;
  for (const WriteOp& op : plan.ops) {
    if (!dryRun) {
      bool ok = true;
      switch (op.kind) {
        case WriteOp::Kind::Load:
          image[op.address] = op.value;
          ok = program ? m.LoadProgramByte(op.address) : m.LoadDataByte(op.address);
          break;
        case WriteOp::Kind::Commit:
          ok = program ? m.WriteProgramPage(op.address) : m.WriteDataPage(op.address);
          break;
        case WriteOp::Kind::Byte:
          image[op.address] = op.value;
          ok = program ? m.WriteProgramByte(op.address) : m.WriteDataByte(op.address);
          break;
      }
      if (!ok) {
        run.failedAt = op.address / step * step;
        return PlanOutcome::Failed;
      }
    }
    if (op.kind == WriteOp::Kind::Load) continue;
    ++run.units;
    run.done = op.done;
    // A stop keeps what was written; whether the last write went through is known first.
    if (!after(op)) return dryRun || FastWritesDone() ? PlanOutcome::Stopped : PlanOutcome::Failed;
  }
  // The fast transfers answer a write before the chip has finished it.
  if (!dryRun && !plan.ops.empty() && !FastWritesDone()) {
    run.failedAt = plan.ops.back().address / step * step;
    return PlanOutcome::Failed;
  }
  return PlanOutcome::Done;
}

}  // namespace quillet
