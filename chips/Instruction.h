// The exchange engine under every chip operation: one four-byte serial-programming
// instruction carried to the gateway, executed, and its answer read back.
#pragma once

#include <cstdint>

#include "link/Portfunctions.h"

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
// ReadBack then ReadAnswer(8); an empty answer logs kind 7, closes the port, false.
bool ReadBackAnswer(GatewayAnswer& answer);
// The start of every programming enable: kind 18 line, reset pulse, the Programming Enable
// instruction executed; waits DelayValue afterwards when waitAfter.
bool StartProgrammingEnable(const char* text, bool waitAfter);

}  // namespace quillet
