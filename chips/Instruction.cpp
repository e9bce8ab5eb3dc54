#include "chips/Instruction.h"

#include "chips/Chipfunctions.h"
#include "chips/FastTransport.h"
#include "log/Logfunctions.h"
#include "log/Seams.h"

namespace quillet {

GatewayPacket InstructionPacket(const Instruction& in) {
  return MakePacket({0x44, in.i4, in.i3, in.i2, in.i1});
}

bool SendPacket(const GatewayPacket& packet, const char* literal) {
  FastSettle();
  if (WritePacket(packet)) return true;
  AddLog(6, literal);
  ClosePort();
  return false;
}

void Wait(int ms) {
  if (ms > 0) Sleep(ms);
}

bool ExecuteInstruction(const Instruction& instruction, const char* literal) {
  return SendPacket(InstructionPacket(instruction), literal) &&
         SendPacket(MakePacket({0x46}), " 0x46");
}

bool ReadBackAnswer(GatewayAnswer& answer) {
  for (int attempt = 0;; ++attempt) {
    if (!SendPacket(MakePacket({0x45}), " 0x45")) return false;
    answer = ReadAnswer(8);
    NoteGatewayAnswer(answer);
    if (answer.count > 0 && AnswerInStep(answer)) return true;
    // Quillet's firmware names itself in every answer: one out of step (a byte damaged, late
    // or repeated on the line) is asked for again, once the line has rested; a ReadBack
    // changes nothing on the chip.
    if (answer.count == 0 || attempt == 2) break;
    FastDrainLine();
  }
  AddLog(7, " (SPI paket)");
  ClosePort();
  return false;
}

bool StartProgrammingEnable(const char* text, bool waitAfter) {
  AddLog(18, text);
  if (!SendPacket(MakePacket({0x48}), " 0x48")) return false;
  Wait(DelayValue);
  if (!SendPacket(MakePacket({0x47}), " 0x47")) return false;
  Wait(20);
  if (!ExecuteInstruction({0xAC, 0x53, 0x00, 0x00}, " 0x44 0x00 0x00 0x53 0xAC")) return false;
  if (waitAfter) Wait(DelayValue);
  return true;
}

}  // namespace quillet
