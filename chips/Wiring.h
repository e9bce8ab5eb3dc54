// The lines between the gateway and a chip, from the chip's package: the six signals of the
// gateway's 6-pin connector, in its order, and where Quillet's firmware on an Arduino Uno or
// Nano puts each of them. The wiring pictures (tools/picturegen.cpp) and the window's words for
// them (the picture's accessible description) both draw on this.
#pragma once

#include <array>
#include <string>
#include <vector>

#include "chips/PartTable.h"

namespace quillet {

constexpr int kWireSignals = 6;
// Connector pin k + 1 carries signal k.
constexpr const char* kWireSignalName[kWireSignals] = {"MISO", "VCC", "SCK", "MOSI", "RESET", "GND"};
// The Arduino's pin of each signal under Quillet's firmware (firmware/GatewayFirmware.cpp).
constexpr const char* kArduinoPin[kWireSignals] = {"D12", "5V", "D13", "D11", "D10", "GND"};
constexpr int kVccSignal = 1;
constexpr int kGndSignal = 5;

// The highest supply a chip takes, in mV: its row's, else the 5.5 V of the first chips'
// datasheets. Below the Arduino's 5 V the chip is supplied from its 3V3 pin and its inputs need
// level shifters, for the Arduino drives D10, D11 and D13 at 5 V.
uint16_t SupplyMaxMv(const PartRow* part);
bool NeedsThreeVolts(uint16_t supplyMaxMv);
// The supply in volts with one decimal: "3.6".
std::string Volts(uint16_t mv);
// The Arduino's pin of a signal for a chip that takes supplyMaxMv at most: 3V3 for its VCC
// where 5 V is too much.
const char* ArduinoPinOf(int signal, uint16_t supplyMaxMv);

// The chip's pins of each signal, in the package's order; every supply pin on VCC or GND (AVCC
// too). An empty list: the pins are not known.
std::array<std::vector<int>, kWireSignals> WirePins(const PartPackage& package);

// The wiring in words, for a reader who cannot see the picture. To the gateway's connector:
// "Gateway connector 1 MISO to pin 6, 2 VCC to pin 8, ...". With arduino, to the Arduino, in
// the order of its pins, and the decoupling capacitor: "Arduino D10 to RESET (pin 1), ...".
std::string WiringText(const PartPackage& package, bool arduino, uint16_t supplyMaxMv);

}  // namespace quillet
