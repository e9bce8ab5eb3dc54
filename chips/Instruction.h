// The exchange engine under every chip operation: one four-byte serial-programming
// instruction carried to the gateway, executed, and its answer read back.
#pragma once

#include <cstdint>
#include <string>

#include "link/Port.h"

namespace quillet {

// I1 I2 I3 I4 in the order the chip takes them on the bus.
struct Instruction {
  uint8_t i1 = 0;
  uint8_t i2 = 0;
  uint8_t i3 = 0;
  uint8_t i4 = 0;
};

// LoadInstruction: 0x44 I4 I3 I2 I1.
GatewayPacket InstructionPacket(const Instruction& instruction);
// The value an answer carries: the byte the chip returned with I4.
inline uint8_t AnswerValue(const GatewayAnswer& answer) { return answer.data[0]; }

// Writes one packet; on failure logs kind 6 with the literal, closes the port, false.
bool SendPacket(const GatewayPacket& packet, const char* literal);
// Sleeps through the installed clock; a wait of 0 ms is no wait.
void Wait(int ms);
// LoadInstruction then ExecuteInstruction (failure literal for the first packet given).
bool ExecuteInstruction(const Instruction& instruction, const char* literal);
// ReadBack then ReadAnswer(8); an empty answer logs kind 7, closes the port, false. A gateway
// that has answered before is asked again when its answer does not come in time (on a busy
// machine it, or this program, may not have run for a second). The first
// answer since the port opened is waited for up to kStartWaitMs: a board that resets as its
// port opens (an Arduino's DTR) runs its bootloader meanwhile, and what was sent before is
// lost. An answer that reports a byte lost on the line fails the same way.
bool ReadBackAnswer(GatewayAnswer& answer);
constexpr int kStartWaitMs = 2500;
constexpr int kStartTryMs = 250;  // ReadBack sent again this often meanwhile
// How long a ReadBack's answer is waited for: longer with a slow SPI clock, as the gateway may
// still have up to kPaceInstructions to shift before it.
int AnswerWaitMs();
// With a slow SPI clock the gateway takes longer to shift an instruction than its packet takes
// on the line: its receive buffer would overflow, and a wait timed here for the chip would
// start before the chip has the instruction. True once a ReadBack's answer shows the gateway
// has run everything sent (at once, without a packet, with the SPI hardware's clocks); on
// failure as ReadBackAnswer. Before every wait for the chip, and every kPaceInstructions
// page loads.
bool GatewayCaughtUp();
constexpr uint32_t kPaceInstructions = 32;
// The start of every programming enable: kind 18 line, reset pulse, the Programming Enable
// instruction executed; waits DelayValue afterwards when waitAfter.
bool StartProgrammingEnable(const char* text, bool waitAfter);
// The same without the log line: a Programming Enable tried again.
bool PulseResetAndEnable(bool waitAfter);
// Programming Enable is tried again this often after the first, with a reset pulse before
// each, as the datasheets ask when 0x53 is not echoed.
constexpr int kEnableRetries = 3;
// The log line of retry n (1 to kEnableRetries); what: what the chip answered.
std::string EnableRetryLine(const std::string& what, int n);

}  // namespace quillet
