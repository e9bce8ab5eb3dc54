#include "chips/Identify.h"

#include <algorithm>
#include <cstdio>

#include "chips/FastTransport.h"
#include "chips/Instruction.h"
#include "firmware/GatewayParser.h"
#include "log/Log.h"

namespace quillet {

bool ProgrammingEnableNoEcho() {
  // The chip is not known yet, so its echo cannot be relied on: nothing is read back.
  if (!StartProgrammingEnable(" execute Programming Enable without echo back reading.", false)) return false;
  AddLog(LogKind::Finished, " with success.");
  return true;
}

bool ReadSignatureQuietly(ChipId& id) {
  id = 0;
  for (uint8_t i = 0; i < 3; ++i) {
    if (!ExecuteInstruction({0x30, 0x00, i, 0x00}, " 0x44 0x00 i 0x00 0x30")) return false;
    GatewayAnswer answer;
    if (!ReadBackAnswer(answer)) return false;
    id |= static_cast<ChipId>(AnswerValue(answer)) << (8 * i);
  }
  return true;
}

std::string SignatureOwner(ChipId id) {
  if (id == 0 || id == 0xFFFFFF) return "no chip answers";
  const ChipEntry* e = FindChip(id);
  return e ? e->name : "no known chip";
}

ChipId ReadSignature() {
  AddLog(LogKind::Trying, " read signature bytes");
  ChipId id = 0;
  if (!ReadSignatureQuietly(id)) return 0;
  AddLog(LogKind::Finished, "");
  return id;
}

std::string SignatureText(ChipId id) {
  char text[16];
  std::snprintf(text, sizeof text, "%02X %02X %02X", id & 0xFF, (id >> 8) & 0xFF, (id >> 16) & 0xFF);
  return text;
}

ChipId ConfirmSignature(ChipId first, bool& lineFault) {
  lineFault = false;
  std::string seen = SignatureText(first);
  ChipId previous = first;
  for (int read = 2; read <= kSignatureReads; ++read) {
    ChipId id = 0;
    if (!ReadSignatureQuietly(id)) return 0;
    if (id == previous) return id;
    seen += ", " + SignatureText(id);
    previous = id;
  }
  lineFault = true;
  AddLog(LogKind::Text, "The signature read differently each time (" + seen +
                            "): bytes are damaged on the line; check the cable, the wiring and the supply");
  return 0;
}

}  // namespace quillet

namespace quillet {

namespace {

bool Unanswered(ChipId id) { return id == 0 || id == 0xFFFFFF; }

void LogSpiClock(uint8_t code, const char* why) {
  const double us = code * double{firmware::kSpiPeriodUnitUs};
  char line[128];
  std::snprintf(line, sizeof line, "Slow target: SPI clock %.1f kHz (%.0f us a bit), %s", 1000.0 / us, us, why);
  AddLog(LogKind::Text, line);
}

// Programming Enable again after a reset pulse, then the signature.
ChipId EnableAndRead() {
  if (!PulseResetAndEnable(true)) return 0;
  return ReadSignature();
}

// A chip that answers none of the firmware's hardware clocks may run on a slow one (128 kHz,
// CKDIV8): slower clocks in turn, each taken only when the signature reads the same twice. The
// one kept is a step slower still where there is one: an oscillator's clock varies.
ChipId SearchSlowerClock(ChipId id) {
  constexpr uint8_t kCodes[] = {8, 16, 32, 64, 128, 255};
  constexpr size_t kCount = sizeof kCodes;
  for (size_t i = 0; i < kCount; ++i) {
    if (!SendSpiPeriod(kCodes[i])) return id;
    const ChipId got = EnableAndRead();
    if (PortHandle < 0) return 0;
    if (Unanswered(got) || ReadSignature() != got) continue;
    const uint8_t kept = kCodes[std::min(i + 1, kCount - 1)];
    if (kept != kCodes[i] && !SendSpiPeriod(kept)) return 0;
    LogSpiClock(kept, "a step below the fastest that read the signature");
    return got;
  }
  SendSpiPeriod(0);
  return PortHandle < 0 ? 0 : EnableAndRead();
}

ChipId SearchUnconfirmed() {
  ChipId id = ReadSignature();
  // The clock asked for (-B) is set once the gateway has named itself in that first answer.
  if (WantedSpiPeriodCode() != 0 && SendSpiPeriod(WantedSpiPeriodCode())) {
    LogSpiClock(WantedSpiPeriodCode(), "as asked");
    id = EnableAndRead();
  }
  // Quillet's firmware answers for itself: all ones or all zeros mean that no chip answered,
  // most often one that missed the Programming Enable (it was running, or the board restarted
  // as the port opened), or one on too slow a clock. The original gateway's exchanges stay as
  // they were.
  for (int retry = 1; retry <= kEnableRetries && Unanswered(id) && QuilletGateway(); ++retry) {
    char what[32];
    std::snprintf(what, sizeof what, "signature %02X %02X %02X", id & 0xFF, (id >> 8) & 0xFF, id >> 16);
    AddLog(LogKind::Text, EnableRetryLine(what, retry));
    id = EnableAndRead();
    if (PortHandle < 0) return 0;
  }
  if (Unanswered(id) && WantedSpiPeriodCode() == 0 && SlowSpiCapable()) id = SearchSlowerClock(id);
  return id;
}

}  // namespace

ChipId SearchSignature(bool* lineFault) {
  bool fault = false;
  const ChipId first = SearchUnconfirmed();
  const ChipId id = first == 0 && PortHandle < 0 ? 0 : ConfirmSignature(first, fault);
  if (lineFault) *lineFault = fault;
  return id;
}

}  // namespace quillet
