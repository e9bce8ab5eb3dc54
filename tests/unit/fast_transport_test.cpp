// The fast transport's side in the program: the instruction forms it gives the firmware are the
// instructions the chip engine sends itself, for every chip; and a gateway that does not
// identify itself as Quillet's firmware only ever gets the contract's packets.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "chips/Catalogue.h"
#include "chips/ChipModule.h"
#include "chips/FastTransport.h"
#include "commands/Driver.h"
#include "image/Images.h"
#include "support/Fakes.h"

namespace quillet {
namespace {

namespace fw = firmware::fast;

std::string Text(const uint8_t in[4]) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "%02X %02X %02X %02X", in[0], in[1], in[2], in[3]);
  return buf;
}

// Each memory operation of every chip, through the engine's own instructions and through the
// forms, at the ends of the memory, of a page and across the 64 K-word boundary.
TEST(FastForms, MatchTheEngineForEveryChip) {
  test::CoreFixture f;
  f.Connect();
  DelayValue = 2;
  for (const ChipEntry& chip : Catalogue()) {
    if (!chip.module) continue;
    SCOPED_TRACE(chip.name);
    SelectChip(chip.id);
    const ChipModule& m = *chip.module;
    for (const bool program : {true, false}) {
      SCOPED_TRACE(program ? "Flash" : "EEPROM");
      const uint32_t size = program ? chip.flashSize : chip.eepromSize;
      const uint32_t page = program ? m.ProgramPageBytes() : m.DataPageBytes();
      if (size == 0) continue;
      fw::Form forms[3];
      MemoryForms(m, program, forms);
      uint8_t* image = program ? ProgramImage.data() : DataImage.data();
      for (uint32_t a : {0u, 1u, page ? page - 1 : 2u, page ? page : 3u, size / 2 + 3, size - 1}) {
        if (a >= size) continue;
        SCOPED_TRACE(a);
        image[a] = static_cast<uint8_t>(0x5A ^ a);
        uint8_t in[4];
        struct Step {
          bool (ChipModule::*run)(uint32_t) const;
          int slot;
          uint8_t data;
        };
        std::vector<Step> steps;
        if (page) {
          steps.push_back({program ? &ChipModule::LoadProgramByte : &ChipModule::LoadDataByte, 1, image[a]});
          steps.push_back({program ? &ChipModule::WriteProgramPage : &ChipModule::WriteDataPage, 2, 0});
        } else {
          steps.push_back({program ? &ChipModule::WriteProgramByte : &ChipModule::WriteDataByte, 1, image[a]});
        }
        for (const Step& s : steps) {
          f.port.trace.clear();
          f.port.sleptMs = 0;
          ASSERT_TRUE((m.*s.run)(a));
          FormInstruction(forms[s.slot], a, s.data, in);
          const std::vector<std::string> sent = f.port.Instructions();
          ASSERT_FALSE(sent.empty());
          EXPECT_EQ(sent.back(), Text(in)) << "slot " << s.slot;
          if (sent.size() > 1) {
            // A Load Extended Address Byte before it: the firmware sends the same one.
            EXPECT_EQ(sent.front().substr(0, 2), "4D");
            EXPECT_EQ(std::stoi(sent.front().substr(6, 2), nullptr, 16), fw::ExtendedByte(forms[s.slot], a));
          }
          // The firmware never waits less than the program does after a write; a commit at
          // least the chip's datasheet time, with the delay value.
          const uint32_t waitUs = forms[s.slot].wait * uint32_t{fw::kWaitUnitUs};
          if (s.slot == 2)
            EXPECT_GE(waitUs, (program ? chip.times.flashUs : chip.times.eepromUs) + DelayValue * 1000u);
          else if (!page)
            EXPECT_GE(waitUs, static_cast<uint32_t>(f.port.sleptMs) * 1000);
          else
            EXPECT_EQ(forms[s.slot].wait, 0);
        }
        f.port.trace.clear();
        ASSERT_TRUE(program ? m.ReadProgramByte(a, false) : m.ReadDataByte(a, false));
        FormInstruction(forms[0], a, 0, in);
        ASSERT_FALSE(f.port.Instructions().empty());
        EXPECT_EQ(f.port.Instructions().back(), Text(in)) << "read";
      }
    }
  }
  DelayValue = 0;
}

// Autosearch and a Read Program against gateways that are not, or not wholly, Quillet's
// firmware: only the contract's packets, and a hello where the firmware named itself.
TEST(FastTransport, ContractWithoutIdentification) {
  struct Case {
    const char* name;
    std::vector<uint8_t> identity;  // answer bytes 4 to 7
    const char* gatewayLine;        // nullptr: none
    int hellos;
  };
  const Case cases[] = {
      {"the original gateway", {0x00, 0x00, 0x00, 0x00}, nullptr, 0},
      {"another firmware", {'Q', 'G', 3, 0}, nullptr, 0},
      {"a firmware of the old block commands", {'Q', 'G', 1, 0}, nullptr, 0},
      {"the firmware without block mode: its hello is not answered",
       {'Q', 'G', 2, 0}, "Gateway: Quillet firmware 2.0", 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    test::CoreFixture f;
    const std::vector<uint8_t> signature = {0x1E, 0x91, 0x0A};  // ATtiny2313
    f.port.responder = [&](const std::vector<uint8_t>& in) {
      // Nothing answers a frame.
      for (auto it = f.port.trace.rbegin(); it != f.port.trace.rend(); ++it)
        if (*it != "read") {
          if (it->rfind("50 ", 0) == 0) return std::vector<uint8_t>{};
          break;
        }
      std::vector<uint8_t> a(8, 0);
      a[0] = in[0] == 0x30 && in[2] < 3 ? signature[in[2]] : 0xFF;
      a[1] = 0x53;
      for (size_t i = 0; i < 4; ++i) a[4 + i] = c.identity[i];
      return a;
    };
    f.Connect();
    RunAutosearch();
    FlashSize = 64;
    ASSERT_TRUE(RunMemoryCommand(MemoryOperation::ReadProgram));
    int hellos = 0;
    for (const std::string& p : f.port.Packets()) {
      if (p == "read" || p == "close") continue;
      const int command = std::stoi(p.substr(0, 2), nullptr, 16);
      if (command == fw::kSof && p.size() > 5 && std::stoi(p.substr(3, 2), nullptr, 16) == fw::kHello) ++hellos;
      else EXPECT_TRUE(command == 0x44 || command == 0x45 || command == 0x46 || command == 0x47 || command == 0x48) << p;
    }
    EXPECT_EQ(hellos, c.hellos);
    int lines = 0;
    for (const std::string& l : f.log.lines)
      if (l.rfind("Gateway:", 0) == 0) {
        ++lines;
        EXPECT_EQ(l, c.gatewayLine ? c.gatewayLine : "");
      }
    EXPECT_EQ(lines, c.gatewayLine ? 1 : 0);
    EXPECT_FALSE(FastActive());
  }
}

}  // namespace
}  // namespace quillet
