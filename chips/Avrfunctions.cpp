#include "chips/Avrfunctions.h"

#include <cstdio>

#include "chips/FastTransport.h"
#include "chips/Instruction.h"
#include "log/Logfunctions.h"

namespace quillet {

bool ProgrammingEnableNoEcho() {
  // The chip is not known yet, so its echo cannot be relied on: nothing is read back.
  if (!StartProgrammingEnable(" execute Programming Enable without echo back reading.", false))
    return false;
  AddLog(19, " with success.");
  return true;
}

ChipId ReadSignature() {
  AddLog(18, " read signature bytes");
  ChipId id = 0;
  for (uint8_t i = 0; i < 3; ++i) {
    if (!ExecuteInstruction({0x30, 0x00, i, 0x00}, " 0x44 0x00 i 0x00 0x30")) return 0;
    GatewayAnswer answer;
    if (!ReadBackAnswer(answer)) return 0;
    id |= static_cast<ChipId>(AnswerValue(answer)) << (8 * i);
  }
  AddLog(19, "");
  return id;
}

}  // namespace quillet

namespace quillet {

ChipId SearchSignature() {
  ChipId id = ReadSignature();
  // Quillet's firmware answers for itself: all ones or all zeros mean that no chip answered,
  // most often one that missed the Programming Enable (it was running, or the board restarted
  // as the port opened). The original gateway's exchanges stay as they were.
  for (int retry = 1; retry <= kEnableRetries && (id == 0 || id == 0xFFFFFF) && QuilletGateway(); ++retry) {
    char what[32];
    std::snprintf(what, sizeof what, "signature %02X %02X %02X", id & 0xFF, (id >> 8) & 0xFF, id >> 16);
    AddLog(0, EnableRetryLine(what, retry));
    if (!PulseResetAndEnable(true)) return 0;
    id = ReadSignature();
  }
  return id;
}

}  // namespace quillet
