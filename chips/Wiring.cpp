#include "chips/Wiring.h"

namespace quillet {

namespace {

std::string Pins(const std::vector<int>& pins) {
  if (pins.empty()) return "pin not known";
  std::string s = pins.size() == 1 ? "pin " : "pins ";
  for (size_t i = 0; i < pins.size(); ++i)
    s += (i == 0 ? "" : i + 1 == pins.size() ? " and " : ", ") + std::to_string(pins[i]);
  return s;
}

}  // namespace

uint16_t SupplyMaxMv(const PartRow* part) { return part ? part->vccMaxMv : 5500; }

bool NeedsThreeVolts(uint16_t supplyMaxMv) { return supplyMaxMv < 5000; }

std::string Volts(uint16_t mv) { return std::to_string(mv / 1000) + "." + std::to_string(mv / 100 % 10); }

const char* ArduinoPinOf(int signal, uint16_t supplyMaxMv) {
  return signal == kVccSignal && NeedsThreeVolts(supplyMaxMv) ? "3V3" : kArduinoPin[signal];
}

std::array<std::vector<int>, kWireSignals> WirePins(const PartPackage& package) {
  std::array<std::vector<int>, kWireSignals> pins;
  auto add = [&](int signal, int pin) {
    if (pin >= 1 && pin <= package.pinCount) pins[signal].push_back(pin);
  };
  add(0, package.miso);
  add(2, package.sck);
  add(3, package.mosi);
  add(4, package.reset);
  for (int i = 0; i < kMaxSupplyPins && package.supply[i].pin; ++i)
    add(IsGroundPad(package.supply[i].pad) ? kGndSignal : kVccSignal, package.supply[i].pin);
  return pins;
}

std::string WiringText(const PartPackage& package, bool arduino, uint16_t supplyMaxMv) {
  const auto pins = WirePins(package);
  std::string text;
  if (!arduino) {
    text = "Gateway connector";
    for (int s = 0; s < kWireSignals; ++s)
      text += std::string(s ? ", " : " ") + std::to_string(s + 1) + " " + kWireSignalName[s] + " to " + Pins(pins[s]);
    return text + ".";
  }
  // The Arduino's pins as they sit on its header: D10 to D13, then the supply.
  constexpr int kOrder[] = {4, 3, 0, 2, kVccSignal, kGndSignal};
  text = "Arduino";
  for (int s : kOrder)
    text += std::string(text.size() > 7 ? ", " : " ") + ArduinoPinOf(s, supplyMaxMv) + " to " + kWireSignalName[s] +
            " (" + Pins(pins[s]) + ")";
  text += "; a 100 nF capacitor from VCC to GND close to the chip.";
  if (NeedsThreeVolts(supplyMaxMv))
    text += " This chip takes " + Volts(supplyMaxMv) +
            " V at most: supply it from the 3V3 pin and put 5 V to 3.3 V level shifters on D10, D11 and D13.";
  return text;
}

}  // namespace quillet
