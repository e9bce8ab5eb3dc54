// The operations of every chip module, written once over the descriptors of Modules.cpp.
#include <algorithm>
#include <cstdio>

#include "chips/Catalogue.h"
#include "chips/ChipModule.h"
#include "chips/FastTransport.h"
#include "chips/Instruction.h"
#include "image/Images.h"
#include "log/Log.h"

namespace quillet {
namespace {

constexpr int kPageCommitWaitMs = 5;
constexpr int kFuseWriteWaitMs = 5;
constexpr int kBlankByteWaitMs = 4;

// Failure literals of the memory instructions: they show the packet's layout, not its values.
constexpr const char* kReadFlash = " 0x44 0x00 b a 0x2H";
constexpr const char* kWriteFlash = " 0x44 Data b a 0x4H";
constexpr const char* kLoadFlashOffset = " 0x44 Data b 0x00 0x4H";
constexpr const char* kLoadFlashFull = " 0x44 Data b a 0x4H";
constexpr const char* kCommitFlash = " 0x44 0x00 b a 0x4C";
constexpr const char* kReadEeprom1 = " 0x44 0x00 b 0x00 0xA0";
constexpr const char* kReadEeprom2 = " 0x44 0x00 b a 0xA0";
constexpr const char* kWriteEeprom1 = " 0x44 Data b 0x00 0xC0";
constexpr const char* kWriteEeprom2 = " 0x44 Data b a 0xC0";
constexpr const char* kLoadEeprom = " 0x44 Data b 0x00 0xC1";
constexpr const char* kCommitEeprom1 = " 0x44 0x00 b 0x00 0xC2";
constexpr const char* kCommitEeprom2 = " 0x44 0x00 b a 0xC2";
constexpr const char* kLoadExtended = " 0x44 0x00 ext 0x00 0x4D";

// The extended address byte the chip holds since the last Programming Enable; -1: unknown.
int g_extendedAddress = -1;

// Instruction, execute, DelayValue, then the extra wait of a write.
bool Write(const Instruction& in, const char* literal, int extraMs) {
  if (!ExecuteInstruction(in, literal)) return false;
  Wait(DelayValue);
  if (extraMs > 0 && !GatewayCaughtUp()) return false;
  Wait(extraMs);
  return true;
}

// A page load; every kPaceInstructions of them the gateway, on a slow SPI clock, catches up.
bool Load(const Instruction& in, const char* literal, uint32_t index) {
  return Write(in, literal, 0) && ((index + 1) % kPaceInstructions != 0 || GatewayCaughtUp());
}

// Instruction, execute, DelayValue, read back; stores into or compares with the image byte.
bool Read(const Instruction& in, const char* literal, uint8_t& imageByte, bool verify) {
  if (!ExecuteInstruction(in, literal)) return false;
  Wait(DelayValue);
  GatewayAnswer answer;
  if (!ReadBackAnswer(answer)) return false;
  if (verify) return AnswerValue(answer) == imageByte;
  imageByte = AnswerValue(answer);
  return true;
}

// The wait after a self-timed write: the module's own, or the selected chip's datasheet time
// rounded up to whole milliseconds where that is longer.
int WaitMs(int moduleMs, uint32_t WriteTimes::*time) {
  const ChipEntry* chip = FindChip(SelectedChip);
  if (!chip) return moduleMs;
  return std::max(moduleMs, static_cast<int>((chip->times.*time + 999) / 1000));
}

uint8_t Low(uint32_t v) { return static_cast<uint8_t>(v & 0xFF); }
uint8_t Select(uint32_t address) { return (address & 1) ? 0x08 : 0x00; }

}  // namespace

// ---- programming enable and chip-wide ----

bool ChipModule::ProgrammingEnable() const {
  g_extendedAddress = -1;
  FastNewOperation();
  if (!StartProgrammingEnable(enableText, true)) return false;
  // A chip that was running or starting slowly may miss the instruction's frame: a reset pulse
  // and Programming Enable again, as the datasheets ask.
  for (int retry = 1; enableEcho; ++retry) {
    GatewayAnswer answer;
    if (!ReadBackAnswer(answer)) return false;
    // A one-byte answer carries no echo: as wrong as a wrong one.
    if (answer.count >= 2 && answer.data[1] == 0x53) break;
    if (retry > kEnableRetries) return false;
    char echo[40];
    std::snprintf(echo, sizeof echo, answer.count >= 2 ? "echo 0x%02X, not 0x53" : "no echo", answer.data[1]);
    AddLog(LogKind::Text, EnableRetryLine(echo, retry));
    if (!PulseResetAndEnable(true)) return false;
  }
  AddLog(LogKind::Finished, " with success.");
  return true;
}

bool ChipModule::ChipErase() const {
  AddLog(LogKind::Trying, " erase the chip");
  if (!Write({0xAC, 0x80, 0x00, 0x00}, " 0x44 0x00 0x00 0x80 0xAC",
             WaitMs(eraseWaitMs, &WriteTimes::eraseUs)))
    return false;
  AddLog(LogKind::Finished, " with success.");
  return true;
}

bool ChipModule::HasReadCalibration() const { return calibration; }

bool ChipModule::ReadCalibration() const {
  if (!calibration) return false;
  AddLog(LogKind::Trying, " read calibration bytes");
  for (unsigned i = 0; i < CalibrationCount && i < CalibrationBytes.size(); ++i) {
    if (!ExecuteInstruction({0x38, 0x00, static_cast<uint8_t>(i), 0x00},
                            " 0x44 0x00 i 0x00 0x38"))
      return false;
    Wait(DelayValue);
    GatewayAnswer answer;
    if (!ReadBackAnswer(answer)) return false;
    CalibrationBytes[i] = AnswerValue(answer);
  }
  AddLog(LogKind::Finished, "");
  return true;
}

bool ChipModule::WriteBlankByteZero() const {
  if (!blankByteZero) return false;
  return Write({0x40, 0x00, 0x00, 0xFF}, " 0x44 0xFF 0 0 0x40",
               WaitMs(kBlankByteWaitMs, &WriteTimes::flashUs));
}

// ---- program memory ----

// Sent before the first Flash access of a command and whenever the 64 K-word boundary is
// crossed; the chip keeps the byte until it is loaded again.
bool ChipModule::SelectExtendedAddress(uint32_t word) const {
  if (!extendedAddress) return true;
  const int ext = static_cast<int>((word >> 16) & 0xFF);
  if (ext == g_extendedAddress) return true;
  if (!Write({0x4D, 0x00, static_cast<uint8_t>(ext), 0x00}, kLoadExtended, 0)) return false;
  g_extendedAddress = ext;
  return true;
}

bool ChipModule::ProgramPageMode() const { return flashPageBytes != 0; }
uint32_t ChipModule::ProgramPageBytes() const { return flashPageBytes; }

// With the fast transport the firmware forms the same instructions from MemoryForms, and
// selects the extended address itself: the byte the chip holds is then no longer known here.
static bool FastRead(const ChipModule& m, bool program, uint32_t address, uint8_t& imageByte, bool verify) {
  uint8_t value = 0;
  g_extendedAddress = -1;
  if (!FastReadByte(m, program, address, value)) return false;
  if (verify) return value == imageByte;
  imageByte = value;
  return true;
}

bool ChipModule::ReadProgramByte(uint32_t address, bool verify) const {
  if (address >= kProgramImageSize) return false;
  if (FastActive()) return FastRead(*this, true, address, ProgramImage[address], verify);
  uint32_t word = address >> 1;
  Instruction in{static_cast<uint8_t>(0x20 | Select(address)),
                 static_cast<uint8_t>((word >> 8) & flashHighMask), Low(word), 0x00};
  if (!SelectExtendedAddress(word)) return false;
  return Read(in, kReadFlash, ProgramImage[address], verify);
}

bool ChipModule::WriteProgramByte(uint32_t address) const {
  if (ProgramPageMode() || address >= kProgramImageSize) return false;
  if (FastActive()) return FastWriteByte(*this, true, address, ProgramImage[address]);
  uint32_t word = address >> 1;
  Instruction in{static_cast<uint8_t>(0x40 | Select(address)),
                 static_cast<uint8_t>((word >> 8) & flashHighMask), Low(word),
                 ProgramImage[address]};
  return Write(in, kWriteFlash, WaitMs(flashWriteWaitMs, &WriteTimes::flashUs));
}

bool ChipModule::LoadProgramByte(uint32_t address) const {
  if (!ProgramPageMode() || address >= kProgramImageSize) return false;
  if (FastActive()) {
    FastLoadByte(true, address, ProgramImage[address]);
    return true;
  }
  uint32_t word = address >> 1;
  uint8_t i1 = static_cast<uint8_t>(0x40 | Select(address));
  if (!SelectExtendedAddress(word)) return false;
  if (flashFullAddressLoad)
    return Load({i1, static_cast<uint8_t>((word >> 8) & flashHighMask), Low(word),
                 ProgramImage[address]},
                kLoadFlashFull, address);
  uint8_t offset = static_cast<uint8_t>(word & (flashPageBytes / 2 - 1));
  return Load({i1, 0x00, offset, ProgramImage[address]}, kLoadFlashOffset, address);
}

bool ChipModule::WriteProgramPage(uint32_t address) const {
  if (!ProgramPageMode()) return false;
  if (FastActive()) {
    g_extendedAddress = -1;
    return FastCommitPage(*this, true, address);
  }
  uint32_t word = address >> 1;
  // The offset form commits the page's first word; the full-address form the word given.
  uint8_t lowMask = flashFullAddressLoad ? 0xFF : static_cast<uint8_t>(~(flashPageBytes / 2 - 1));
  Instruction in{0x4C, static_cast<uint8_t>((word >> 8) & flashHighMask),
                 static_cast<uint8_t>(word & lowMask), 0x00};
  if (!SelectExtendedAddress(word)) return false;
  return Write(in, kCommitFlash, WaitMs(kPageCommitWaitMs, &WriteTimes::flashUs));
}

// ---- data memory ----

bool ChipModule::DataPageMode() const { return eepromPageBytes != 0; }
uint32_t ChipModule::DataPageBytes() const { return eepromPageBytes; }

bool ChipModule::ReadDataByte(uint32_t address, bool verify) const {
  if (address >= kDataImageSize) return false;
  if (FastActive()) return FastRead(*this, false, address, DataImage[address], verify);
  Instruction in{0xA0, static_cast<uint8_t>((address >> 8) & eepromHighMask),
                 static_cast<uint8_t>(address & eepromLowMask), 0x00};
  return Read(in, eepromHighMask ? kReadEeprom2 : kReadEeprom1, DataImage[address], verify);
}

bool ChipModule::WriteDataByte(uint32_t address) const {
  if (DataPageMode() || address >= kDataImageSize) return false;
  if (FastActive()) return FastWriteByte(*this, false, address, DataImage[address]);
  Instruction in{0xC0, static_cast<uint8_t>((address >> 8) & eepromHighMask),
                 static_cast<uint8_t>(address & eepromLowMask), DataImage[address]};
  return Write(in, eepromHighMask ? kWriteEeprom2 : kWriteEeprom1,
               WaitMs(eepromWriteWaitMs, &WriteTimes::eepromUs));
}

bool ChipModule::LoadDataByte(uint32_t address) const {
  if (!DataPageMode() || address >= kDataImageSize) return false;
  if (FastActive()) {
    FastLoadByte(false, address, DataImage[address]);
    return true;
  }
  Instruction in{0xC1, 0x00, static_cast<uint8_t>(address & (eepromPageBytes - 1)),
                 DataImage[address]};
  return Load(in, kLoadEeprom, address);
}

bool ChipModule::WriteDataPage(uint32_t address) const {
  if (!DataPageMode()) return false;
  if (FastActive()) return FastCommitPage(*this, false, address);
  uint8_t lowMask = static_cast<uint8_t>(eepromLowMask & ~(eepromPageBytes - 1));
  Instruction in{0xC2, static_cast<uint8_t>((address >> 8) & eepromHighMask),
                 static_cast<uint8_t>(address & lowMask), 0x00};
  return Write(in, eepromHighMask ? kCommitEeprom2 : kCommitEeprom1,
               WaitMs(kPageCommitWaitMs, &WriteTimes::eepromUs));
}

// ---- the forms of the fast transport: the instructions above, as data ----

void MemoryForms(const ChipModule& m, bool program, firmware::fast::Form forms[3]) {
  namespace fw = firmware::fast;
  // The firmware times a wait to 256 us where the program sleeps whole milliseconds: a byte
  // write keeps the module's own wait, a page commit the chip's datasheet time (the module's
  // 5 ms where the chip is not known); DelayValue is added as to every write.
  const ChipEntry* chip = FindChip(SelectedChip);
  auto wait = [](uint32_t us) {
    us += static_cast<uint32_t>(std::max(DelayValue, 0)) * 1000;
    return static_cast<uint8_t>(std::min<uint32_t>((us + fw::kWaitUnitUs - 1) / fw::kWaitUnitUs, 255));
  };
  auto byteWait = [&](int moduleMs, uint32_t WriteTimes::*time) {
    return wait(static_cast<uint32_t>(WaitMs(moduleMs, time)) * 1000);
  };
  auto commitWait = [&](uint32_t WriteTimes::*time) {
    return wait(chip ? std::max<uint32_t>(chip->times.*time, 1) : kPageCommitWaitMs * 1000);
  };
  fw::Form& read = forms[0];
  fw::Form& write = forms[1];
  fw::Form& commit = forms[2];
  read = write = commit = fw::Form{};
  // How a write's wait may end early: the chip asked by Poll RDY/BSY, or its byte read back.
  const uint8_t poll = !ReadyPolling() ? 0 : m.PollsReady() ? fw::kPollReady : fw::kPollData;
  if (program) {
    const uint8_t ext = m.extendedAddress ? fw::kExtended : 0;
    read = {0x20, m.flashHighMask, 0xFF, static_cast<uint8_t>(fw::kWord | fw::kOddSelect | ext), 0};
    const uint8_t data = fw::kWord | fw::kOddSelect | fw::kWithData;
    if (!m.ProgramPageMode()) {
      write = {0x40, m.flashHighMask, 0xFF, static_cast<uint8_t>(data | poll),
               byteWait(m.flashWriteWaitMs, &WriteTimes::flashUs)};
      return;
    }
    const uint8_t pageWords = static_cast<uint8_t>(m.flashPageBytes / 2 - 1);
    if (m.flashFullAddressLoad)
      write = {0x40, m.flashHighMask, 0xFF, static_cast<uint8_t>(data | ext), 0};
    else
      write = {0x40, 0x00, pageWords, static_cast<uint8_t>(data | ext), 0};
    commit = {0x4C, m.flashHighMask, static_cast<uint8_t>(m.flashFullAddressLoad ? 0xFF : ~pageWords),
              static_cast<uint8_t>(fw::kWord | ext | poll), commitWait(&WriteTimes::flashUs)};
    return;
  }
  read = {0xA0, m.eepromHighMask, m.eepromLowMask, 0, 0};
  if (!m.DataPageMode()) {
    write = {0xC0, m.eepromHighMask, m.eepromLowMask, static_cast<uint8_t>(fw::kWithData | poll),
             byteWait(m.eepromWriteWaitMs, &WriteTimes::eepromUs)};
    return;
  }
  write = {0xC1, 0x00, static_cast<uint8_t>(m.eepromPageBytes - 1), fw::kWithData, 0};
  commit = {0xC2, m.eepromHighMask, static_cast<uint8_t>(m.eepromLowMask & ~(m.eepromPageBytes - 1)), poll,
            commitWait(&WriteTimes::eepromUs)};
}

// ---- fuse and lock bits ----

FuseFamily ChipModule::Family() const { return family; }
bool ChipModule::HasExtendedFuse() const { return Has(FuseOp::ReadExtendedFuse); }

bool ChipModule::CanReadFuses() const {
  return Has(FuseOp::ReadLockBits) || Has(FuseOp::ReadLockAndFuseBits);
}

bool ChipModule::Has(FuseOp op) const { return Find(op) != nullptr; }

const FuseInstruction* ChipModule::Find(FuseOp op) const {
  for (size_t i = 0; i < fuseCount; ++i)
    if (fuses[i].op == op) return &fuses[i];
  return nullptr;
}

bool ChipModule::RunFuse(FuseOp op) const {
  const FuseInstruction* f = Find(op);
  if (!f || f->index >= FuseLockBytes.size()) return false;
  bool write = op >= FuseOp::WriteLockBits;
  AddLog(LogKind::Trying, f->text);
  Instruction in{f->i1, f->i2, 0x00, 0x00};
  if (write) {
    uint8_t data = static_cast<uint8_t>((FuseLockBytes[f->index] & f->andMask) | f->orMask);
    (f->dataInI2 ? in.i2 : in.i4) = data;
  }
  if (!ExecuteInstruction(in, f->literal)) return false;
  Wait(DelayValue);
  if (write) {
    if (!GatewayCaughtUp()) return false;
    Wait(WaitMs(kFuseWriteWaitMs, &WriteTimes::fuseUs));
  } else {
    GatewayAnswer answer;
    if (!ReadBackAnswer(answer)) return false;
    uint8_t value = AnswerValue(answer);
    FuseLockBytes[f->index] = value | f->orMask;
    if (op == FuseOp::ReadLockAndFuseBits) {
      // Lock bits 1 and 2 of the next byte from bits 7 and 6 of the value read.
      uint8_t lock = 0xFF;
      if (!(value & 0x80)) lock &= ~0x02;
      if (!(value & 0x40)) lock &= ~0x04;
      FuseLockBytes[f->index + 1] = lock;
    }
  }
  AddLog(LogKind::Finished, " with success.");
  return true;
}

bool ChipModule::ReadLockBits() const { return RunFuse(FuseOp::ReadLockBits); }
bool ChipModule::ReadLowFuse() const { return RunFuse(FuseOp::ReadLowFuse); }
bool ChipModule::ReadHighFuse() const { return RunFuse(FuseOp::ReadHighFuse); }
bool ChipModule::ReadExtendedFuse() const { return RunFuse(FuseOp::ReadExtendedFuse); }
bool ChipModule::ReadFuseBits() const { return RunFuse(FuseOp::ReadFuseBits); }
bool ChipModule::ReadLockAndFuseBits() const { return RunFuse(FuseOp::ReadLockAndFuseBits); }
bool ChipModule::WriteLockBits() const { return RunFuse(FuseOp::WriteLockBits); }
bool ChipModule::WriteLowFuse() const { return RunFuse(FuseOp::WriteLowFuse); }
bool ChipModule::WriteHighFuse() const { return RunFuse(FuseOp::WriteHighFuse); }
bool ChipModule::WriteExtendedFuse() const { return RunFuse(FuseOp::WriteExtendedFuse); }
bool ChipModule::WriteFuseBits() const { return RunFuse(FuseOp::WriteFuseBits); }

}  // namespace quillet
