#include "chips/Instruction.h"

#include "chips/Catalogue.h"
#include "chips/FastTransport.h"
#include "log/HostInterfaces.h"
#include "log/Log.h"

namespace quillet {

GatewayPacket InstructionPacket(const Instruction& in) {
  return MakePacket({0x44, in.i4, in.i3, in.i2, in.i1});
}

bool SendPacket(const GatewayPacket& packet, const char* literal) {
  FastSettle();
  if (WritePacket(packet)) return true;
  AddLog(LogKind::CommandError, literal);
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

namespace {

// The first answer since the port opened did not come: the board may be starting up. Asked
// for again until kStartWaitMs have passed since the first ReadBack; a gateway that answers
// at once never gets here.
GatewayAnswer AwaitGatewayStart() {
  GatewayAnswer answer;
  for (int waited = kReadTimeoutMs; waited < kStartWaitMs && answer.count == 0; waited += kStartTryMs) {
    if (!WritePacket(MakePacket({0x45}))) break;
    answer = ReadAnswer(8, kStartTryMs);
  }
  if (answer.count == 0) return answer;
  // An answer to an earlier ReadBack may still come: dropped, and this one asked for afresh.
  FastDrainLine();
  if (!WritePacket(MakePacket({0x45}))) return GatewayAnswer{};
  answer = ReadAnswer(8);
  if (answer.count > 0)
    AddLog(LogKind::Text, "Gateway: answered only after a restart (the board resets when the port opens); "
              "what was sent before was lost");
  return answer;
}

}  // namespace

int AnswerWaitMs() { return kReadTimeoutMs + SlowSpiMs(kPaceInstructions + 2); }

bool ReadBackAnswer(GatewayAnswer& answer) {
  bool askedAgain = false;
  for (int attempt = 0;; ++attempt) {
    if (!SendPacket(MakePacket({0x45}), " 0x45")) return false;
    const bool first = !GatewayAnswered();
    answer = ReadAnswer(8, AnswerWaitMs());
    if (answer.count == 0 && first) answer = AwaitGatewayStart();
    NoteGatewayAnswer(answer);
    if (AnswerReportsLineFault(answer)) break;
    if (answer.count > 0 && AnswerInStep(answer)) {
      // The answer to a ReadBack asked for before may come too: dropped, as a ReadBack
      // changes nothing on the chip.
      if (askedAgain) FastDrainLine();
      return true;
    }
    if (attempt == 2 || (answer.count == 0 && first)) break;
    if (answer.count == 0) {
      // Silent where it has answered before: most often it, or this program, did not run
      // for a while on a busy machine. Asked again.
      askedAgain = true;
      continue;
    }
    // Quillet's firmware names itself in every answer: one out of step (a byte damaged, late
    // or repeated on the line) is asked for again, once the line has rested; a ReadBack
    // changes nothing on the chip.
    FastDrainLine();
  }
  AddLog(LogKind::AnswerError, " (SPI paket)");
  ClosePort();
  return false;
}

bool GatewayCaughtUp() {
  if (SlowSpiMs(1) == 0) return true;
  GatewayAnswer answer;
  return ReadBackAnswer(answer);
}

bool StartProgrammingEnable(const char* text, bool waitAfter) {
  AddLog(LogKind::Trying, text);
  return PulseResetAndEnable(waitAfter);
}

std::string EnableRetryLine(const std::string& what, int n) {
  return "No answer to Programming Enable (" + what + "): RESET pulsed, trying again (" +
         std::to_string(n) + " of " + std::to_string(kEnableRetries) + ")";
}

bool PulseResetAndEnable(bool waitAfter) {
  // The reset pulse is timed here: the gateway has first run what came before.
  if (!GatewayCaughtUp()) return false;
  if (!SendPacket(MakePacket({0x48}), " 0x48")) return false;
  Wait(DelayValue);
  if (!SendPacket(MakePacket({0x47}), " 0x47")) return false;
  Wait(20);
  if (!ExecuteInstruction({0xAC, 0x53, 0x00, 0x00}, " 0x44 0x00 0x00 0x53 0xAC")) return false;
  if (waitAfter) Wait(DelayValue);
  return true;
}

}  // namespace quillet
