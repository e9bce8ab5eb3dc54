#include "chips/Avrfunctions.h"

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
