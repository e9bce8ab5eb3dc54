#include "commands/Driver.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <iterator>
#include <vector>

#include "chips/Catalogue.h"
#include "chips/ChipModule.h"
#include "chips/FastTransport.h"
#include "chips/Identify.h"
#include "commands/Jobs.h"
#include "commands/Plan.h"
#include "commands/Steps.h"
#include "image/Images.h"
#include "image/Views.h"
#include "log/HostInterfaces.h"
#include "log/Log.h"

namespace quillet {
namespace {

enum class Kind { Read, Write, Verify };

struct OperationInfo {
  int image;            // 1 ProgramImage, 2 DataImage
  Kind kind;
  const char* text;     // after "Trying to"
  const char* confirm;  // nullptr: no question
  const char* title;    // the button's words, for the progress dialog
};

constexpr const char* kEraseWarning =
    "All previous chip data will be lost (Flash, EEPROM, Lock Bits). Are you sure?";

const OperationInfo kOperations[] = {
    {1, Kind::Read, " read the program", nullptr, "Read Program"},
    {1, Kind::Write, " write the program", kEraseWarning, "Write Program"},
    {1, Kind::Verify, " verify the program", nullptr, "Verify Program"},
    {2, Kind::Read, " read the EEPROM", nullptr, "Read Data"},
    {2, Kind::Write, " write the EEPROM", "All previous chip data will be lost (EEPROM). Are you sure?", "Write Data"},
    {2, Kind::Verify, " verify the EEPROM", nullptr, "Verify Data"},
};

constexpr const char* kWithFail = " with fail.";

bool IsBlockEnd(uint32_t address, uint32_t block) { return (address & (block - 1)) == block - 1; }

enum class Steps { Done, Failed, Stopped };

// The chip steps of one memory operation. On failure, failLine is what follows "Finished";
// on a stop, done is the number of bytes read, written (committed) or compared.
// A stop is taken between bytes, and in page mode only after a commit.
Steps RunChipSteps(const OperationInfo& info, const ChipModule& m, ProgressScope& bar, std::string& failLine,
                   uint32_t& done) {
  failLine = kWithFail;
  done = 0;
  const bool program = info.image == 1;
  const uint32_t size = program ? FlashSize : EepromSize;
  // Byte-mode chips move the bar as often as the smaller page-mode chips do.
  const uint32_t pageBytes = program ? m.ProgramPageBytes() : m.DataPageBytes();
  const uint32_t block = pageBytes ? pageBytes : (program ? 32 : 4);

  if (info.kind != Kind::Write) {
    if (!EnableSelectedChip(m)) return Steps::Failed;
    const bool verify = info.kind == Kind::Verify;
    for (uint32_t a = 0; a < size; ++a) {
      bool ok = program ? m.ReadProgramByte(a, verify) : m.ReadDataByte(a, verify);
      if (!ok) {
        if (verify) failLine = std::string(" with fail. Address: 0x") + VerifyAddressText(a);
        return Steps::Failed;
      }
      if (IsBlockEnd(a, block)) bar.SetBytes(a + 1ULL, size);
      if (StopRequested() && a + 1 < size) {
        done = a + 1;
        return Steps::Stopped;
      }
    }
    return Steps::Done;
  }

  // The chip is checked before anything is erased or written: by the erase for the program,
  // by its own Programming Enable for the EEPROM.
  if (program ? !EraseChip(true) : !EnableSelectedChip(m)) return Steps::Failed;
  // Every address of the memory, the blank ones too: the window writes what it shows.
  const uint32_t page = WritePageBytes(m, program);
  const WritePlan plan = PlanWrite(program ? ProgramImage.data() : DataImage.data(), nullptr, size,
                                   WriteOptions{.pageBytes = page});
  PlanRun run;
  const auto after = [&](const WriteOp& op) {
    if (op.kind == WriteOp::Kind::Commit || IsBlockEnd(op.address, block))
      bar.SetBytes(op.address + 1ULL, size);
    return !(StopRequested() && op.done < size);
  };
  switch (ExecuteWrite(m, program, plan, false, after, run, program)) {
    case PlanOutcome::Failed: return Steps::Failed;
    case PlanOutcome::Stopped: done = run.done; return Steps::Stopped;
    case PlanOutcome::Done: break;
  }
  return Steps::Done;
}

// "       Stopped by the user." with, for a write or a verify, how far it came.
std::string StoppedLine(Kind kind, uint32_t done, uint32_t size) {
  std::string line = "       Stopped by the user.";
  const std::string of = " " + std::to_string(done) + " of " + std::to_string(size) + " bytes";
  if (kind == Kind::Write) line += of + " written.";
  if (kind == Kind::Verify) line += of + " compared, no differences.";
  return line;
}

// Logs the line for a selection that has no module; true when there was one to log.
bool LogNoModule() {
  if (SelectedChip == 0) {
    AddLog(LogKind::NoChipSelected, "");
    return true;
  }
  if (!SelectedModule()) {
    AddLog(LogKind::SelectedChip, " unknown");
    return true;
  }
  return false;
}

}  // namespace

bool RunMemoryCommand(MemoryOperation op, bool confirmed) {
  const OperationInfo& info = kOperations[static_cast<int>(op)];
  if (info.confirm && !confirmed && !GetUserPrompt().AskYesNo("Warning", info.confirm))
    return false;
  // A stop asked for during an earlier command is not this one's.
  ClearStopRequest();

  // The user's edits reach the image before anything is sent to the chip.
  if (info.kind != Kind::Read) {
    if (int view = ActiveView(info.image)) ViewToImage(view, info.image);
  }

  ProgressScope bar(info.title);
  AddLog(LogKind::Trying, info.text);
  LogStartTime();
  if (LogNoModule()) {
    LogEndTime();
    return false;
  }
  bar.AllowStop();
  // A stopped read gives the image back as it was, so nothing half-read is left behind.
  uint8_t* image = info.image == 1 ? ProgramImage.data() : DataImage.data();
  const uint32_t size = info.image == 1 ? FlashSize : EepromSize;
  std::vector<uint8_t> before;
  if (info.kind == Kind::Read) before.assign(image, image + size);
  std::string failLine;
  uint32_t done = 0;
  switch (RunChipSteps(info, *SelectedModule(), bar, failLine, done)) {
    case Steps::Failed:
      AddLog(LogKind::Finished, failLine);
      LogEndTime();
      return false;
    case Steps::Stopped:
      if (info.kind == Kind::Read) std::copy(before.begin(), before.end(), image);
      AddLog(LogKind::Text, StoppedLine(info.kind, done, size));
      LogEndTime();
      return false;
    case Steps::Done:
      break;
  }
  // One progress dialog at a time: ours goes before the view copy shows its own.
  bar.Free();
  if (info.kind == Kind::Read) {
    if (int view = ActiveView(info.image)) ImageToView(view, info.image);
  }
  AddLog(LogKind::Finished, info.kind == Kind::Verify ? ". No differences found." : "");
  LogEndTime();
  return true;
}

bool RunEraseWriteVerify() {
  if (!GetUserPrompt().AskYesNo("Warning", kEraseWarning)) return false;
  ClearStopRequest();
  return RunChipErase(true) && !StopRequested() &&
         RunMemoryCommand(MemoryOperation::WriteProgram, true) &&
         RunMemoryCommand(MemoryOperation::VerifyProgram, true);
}

void RunAutosearch() {
  if (!ProgrammingEnableNoEcho()) {
    AddLog(LogKind::Finished, kWithFail);
    return;
  }
  ForgetChipFuses();
  bool lineFault = false;
  const ChipId id = SearchSignature(&lineFault);
  if (lineFault) {
    AddLog(LogKind::Finished, kWithFail);
    return;
  }
  IdentifyGateway(id);
  // All ones or all zeros is no chip at all, not an unknown one: said as a failure, so that no
  // line of success stands last.
  if (PortHandle >= 0 && (id == 0 || id == 0xFFFFFF)) {
    AddLog(LogKind::Text, "No chip answers: the signature reads " + SignatureText(id) +
                  "; check the wiring, the chip's supply and its clock");
    AddLog(LogKind::Finished, kWithFail);
    return;
  }
  SelectChip(id);
}

bool RunChipErase(bool confirmed) {
  if (!confirmed && !GetUserPrompt().AskYesNo("Warning", kEraseWarning)) return false;
  ProgressScope bar("Chip Erase");
  if (LogNoModule()) return false;
  if (EraseChip(true)) return true;
  AddLog(LogKind::Finished, kWithFail);
  return false;
}

void RunReadCalibration() {
  ProgressScope bar("Read Calibration");
  if (LogNoModule()) return;
  const ChipModule& m = *SelectedModule();
  if (!m.HasReadCalibration()) {
    AddLog(LogKind::NotAvailable, "");
    return;
  }
  if (!EnableSelectedChip(m) || !m.ReadCalibration()) {
    AddLog(LogKind::Finished, kWithFail);
    return;
  }
  std::string text;
  char buf[40];
  for (unsigned i = 0; i < CalibrationCount && i < CalibrationBytes.size(); ++i) {
    std::snprintf(buf, sizeof buf, "calibration %u = 0x%02X", i, CalibrationBytes[i]);
    text += buf;
  }
  AddLog(LogKind::Text, text);
}

namespace {

struct KnownFuses {
  ChipId chip = 0;
  bool read = false;
  std::array<uint8_t, 8> bytes{};
} g_known;

void RememberChipFuses() {
  g_known.chip = SelectedChip;
  g_known.read = true;
  std::copy(FuseLockBytes.begin(), FuseLockBytes.begin() + 8, g_known.bytes.begin());
}

const char* FuseByteWords(const ChipModule& m, Memory memory) {
  switch (memory) {
    case Memory::LowFuse: return m.Family() == FuseFamily::Current ? "Low fuse" : "Fuse bits";
    case Memory::HighFuse: return "High fuse";
    case Memory::ExtendedFuse: return "Extended fuse";
    default: return "Lock bits";
  }
}

}  // namespace

ChipFuses LastChipFuses() {
  ChipFuses out{};
  std::fill(std::begin(out.bytes), std::end(out.bytes), 0xFF);
  if (g_known.read && g_known.chip == SelectedChip && SelectedChip != 0) {
    std::copy(g_known.bytes.begin(), g_known.bytes.end(), out.bytes);
    out.read = true;
    return out;
  }
  if (const ChipEntry* e = FindChip(SelectedChip))
    for (int i = 0; i < e->factoryCount && i < 8; ++i) out.bytes[i] = e->factory[i];
  return out;
}

void ForgetChipFuses() { g_known = KnownFuses{}; }

bool ReadLockAndFuses() {
  ProgressScope bar("Read Lock & Fuses");
  if (SelectedChip != 0 && SelectedModule() && !SelectedModule()->CanReadFuses()) {
    AddLog(LogKind::NotAvailable, "");
    return true;
  }
  if (LogNoModule()) return true;
  const ChipModule& m = *SelectedModule();
  bool ok = EnableSelectedChip(m);
  switch (m.Family()) {
    case FuseFamily::Current:
      ok = ok && m.ReadLockBits() && (!m.HasExtendedFuse() || m.ReadExtendedFuse()) &&
           m.ReadHighFuse() && m.ReadLowFuse();
      break;
    case FuseFamily::OneFuseByte:
      ok = ok && m.ReadLockBits() && m.ReadFuseBits();
      break;
    case FuseFamily::Oldest:
      ok = ok && m.ReadLockAndFuseBits();
      break;
  }
  if (!ok) AddLog(LogKind::Finished, kWithFail);
  if (ok) RememberChipFuses();
  return ok;
}

bool WriteLockAndFuses() {
  ProgressScope bar("Write Lock & Fuses");
  if (LogNoModule()) return true;
  const ChipModule& m = *SelectedModule();
  // Lock bits last: locking first could keep the fuses from being written.
  std::vector<FuseOp> writes;
  switch (m.Family()) {
    case FuseFamily::Current:
      if (m.HasExtendedFuse()) writes.push_back(FuseOp::WriteExtendedFuse);
      writes.push_back(FuseOp::WriteHighFuse);
      writes.push_back(FuseOp::WriteLowFuse);
      break;
    case FuseFamily::OneFuseByte:
      writes.push_back(FuseOp::WriteFuseBits);
      break;
    case FuseFamily::Oldest:
      // The chips whose fuses cannot be read have no fuse write either.
      if (m.CanReadFuses()) writes.push_back(FuseOp::WriteFuseBits);
      break;
  }
  writes.push_back(FuseOp::WriteLockBits);

  // What is to be written; a read-back fills FuseLockBytes with what the chip kept, and a
  // combined lock and fuse read touches two bytes, so each write starts from this.
  std::array<uint8_t, 8> wanted{};
  std::copy(FuseLockBytes.begin(), FuseLockBytes.begin() + 8, wanted.begin());
  std::array<uint8_t, 8> kept = wanted;
  bool ok = EnableSelectedChip(m);
  bool allTaken = true;
  bool allRead = true;
  for (FuseOp op : writes) {
    if (!ok) break;
    std::copy(wanted.begin(), wanted.end(), FuseLockBytes.begin());
    ok = m.RunFuse(op);
    if (!ok) break;
    const Memory memory = MemoryOfFuseWrite(op);
    const FuseInstruction* w = nullptr;
    for (size_t i = 0; i < m.fuseCount; ++i)
      if (m.fuses[i].op == op) w = &m.fuses[i];
    const uint8_t sent = static_cast<uint8_t>((wanted[w->index] & w->andMask) | w->orMask);
    uint8_t found = 0xFF;
    std::string why;
    char text[160];
    switch (ReadBackFuse(memory, sent, found, why)) {
      case ReadBack::Failed:
        ok = false;
        continue;
      case ReadBack::NotReadable:
        allRead = false;
        std::snprintf(text, sizeof text, "%s 0x%02X written; this chip cannot read them back",
                      FuseByteWords(m, memory), sent);
        break;
      case ReadBack::Verified:
        kept[w->index] = found;
        std::snprintf(text, sizeof text, "%s 0x%02X written and verified", FuseByteWords(m, memory), sent);
        break;
      case ReadBack::Differs:
        allTaken = false;
        kept[w->index] = found;
        std::snprintf(text, sizeof text, "%s: 0x%02X written, the chip kept 0x%02X (%s)",
                      FuseByteWords(m, memory), sent, found, why.c_str());
        break;
    }
    AddLog(LogKind::Text, text);
  }
  // The dialog shows what the chip holds now.
  std::copy(kept.begin(), kept.end(), FuseLockBytes.begin());
  if (ok && allRead) RememberChipFuses();
  else ForgetChipFuses();
  if (!ok || !allTaken) {
    AddLog(LogKind::Finished, kWithFail);
    return false;
  }
  return true;
}

}  // namespace quillet
