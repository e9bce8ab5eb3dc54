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

// The chip's pins of each signal, in the package's order; every supply pin on VCC or GND (AVCC
// too). An empty list: the pins are not known.
std::array<std::vector<int>, kWireSignals> WirePins(const PartPackage& package);

// The wiring in words, for a reader who cannot see the picture. To the gateway's connector:
// "Gateway connector 1 MISO to pin 6, 2 VCC to pin 8, ...". With arduino, to the Arduino, in
// the order of its pins, and the decoupling capacitor: "Arduino D10 to RESET (pin 1), ...".
std::string WiringText(const PartPackage& package, bool arduino);

}  // namespace quillet
