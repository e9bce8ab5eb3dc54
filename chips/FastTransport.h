// The second transport behind the chip operations: blocks of memory through Quillet's own
// gateway firmware (firmware/FastProtocol.h), used only once the gateway has identified itself
// and answered; the operations above it, their log lines and progress stay as they are.
#pragma once

#include <cstdint>

#include "chips/Catalogue.h"
#include "firmware/FastProtocol.h"
#include "link/Port.h"

namespace quillet {

struct ChipModule;

// The setting (Edit menu, --no-fast); on by default.
void SetFastTransfers(bool on);
bool FastTransfersEnabled();
// The fast transfers' write waits end when the chip says it is ready, the fixed wait being the
// longest; off (for comparisons), they always run the fixed wait out.
void SetReadyPolling(bool on);
bool ReadyPolling();

// Every ReadBack answer passes here: bytes 4 to 7 "QG" and a version name the firmware.
void NoteGatewayAnswer(const GatewayAnswer& answer);
// False for a ReadBack answer that Quillet's firmware, once identified, cannot have sent: not
// eight bytes ending in its identity (a late or repeated byte, a stray frame on the line).
bool AnswerInStep(const GatewayAnswer& answer);
// True once any answer has come since the port opened.
bool GatewayAnswered();
// True when Quillet's firmware named itself.
bool QuilletGateway();
// True for an answer of Quillet's firmware that reports a byte lost on the line since the
// answer before (the UART overran): the command it belonged to may not have run.
bool AnswerReportsLineFault(const GatewayAnswer& answer);
// Drops what comes until the line has rested.
void FastDrainLine();

// The SPI clock for a slow target, in microseconds a bit (quillet-cli -B); 0, the default:
// the SPI hardware's 125 kHz and the faster clocks block mode finds. Only Quillet's firmware
// from 2.1 on can be asked: see SlowSpiCapable.
void SetSpiBitPeriodUs(double us);
double SpiBitPeriodUs();
// True when the gateway named itself as a firmware that takes a slow SPI clock.
bool SlowSpiCapable();
// Asks the firmware for a bit period of code x 2 us (0: the SPI hardware); true when sent.
// The clock then holds for everything: blocks too, whose answers are waited for as long as
// their instructions take at it.
bool SendSpiPeriod(uint8_t code);
// The slow clock asked for on this connection, or on the last one once it closed (0: none).
uint8_t SlowSpiPeriodCode();
// How long instructions may take at that clock, with room to spare; 0 without one.
int SlowSpiMs(uint32_t instructions);
// The bit period SetSpiBitPeriodUs asks for, as SendSpiPeriod's code (0: none asked for).
uint8_t WantedSpiPeriodCode();

// At Autosearch, after the signature was read: with the firmware identified, asks it for the
// blocks, a faster line and a faster SPI clock for this chip, and logs the gateway line.
// Nothing is sent and nothing logged for any other gateway.
void IdentifyGateway(ChipId signature);

// True while the chip operations go through blocks.
bool FastActive();
// Before any of the contract's packets: the answer of a block asked for ahead is taken first.
void FastSettle();
// A programming enable starts an operation: forms are sent again, nothing read is kept.
void FastNewOperation();

// The chip engine's side: each logs the failure line and closes the port as the contract's
// exchanges do, and returns false, when a block fails twice.
bool FastReadByte(const ChipModule& m, bool program, uint32_t address, uint8_t& value);
// Page loads wait for their commit, which sends them as one block.
void FastLoadByte(bool program, uint32_t address, uint8_t value);
bool FastCommitPage(const ChipModule& m, bool program, uint32_t address);
bool FastWriteByte(const ChipModule& m, bool program, uint32_t address, uint8_t value);
// After a write's last block: whether its last write went through (the firmware answers once
// the chip is ready, or says it stayed busy). Logs and closes the port as above when not.
bool FastWritesDone();

// The instruction forms of a memory: read, write (page load or byte write) and commit, from
// the module as the engine forms its own instructions (chips/ChipEngine.cpp).
void MemoryForms(const ChipModule& m, bool program, firmware::fast::Form forms[3]);

// For tests and benchmarks: blocks sent again after a damaged answer, the line's rate and the
// SPI divider code in use.
struct FastStats {
  uint32_t retries = 0;
  uint32_t baud = 115200;
  uint8_t spiCode = 0;
  uint32_t lineFaults = 0;  // answers that reported a byte lost on the line
};
FastStats GetFastStats();

}  // namespace quillet
