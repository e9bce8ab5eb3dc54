#include "sim/Gateway.h"

#include <cstdio>

namespace quillet::sim {

std::string HexList(const uint8_t* b, size_t n) {
  std::string s;
  char t[4];
  for (size_t i = 0; i < n; ++i) {
    std::snprintf(t, sizeof t, "%02X", b[i]);
    if (i) s += ' ';
    s += t;
  }
  return s;
}

namespace {

int ParamCount(uint8_t command) {
  switch (command) {
    case 0x0A: return 2;
    case 0x40:
    case 0x42: return 1;
    case 0x44: return 4;
    case 0x45:
    case 0x46:
    case 0x47:
    case 0x48: return 0;
    default: return -1;
  }
}

}  // namespace

Gateway::Gateway(SimChip* chip, GatewayOptions options) : chip_(chip), options_(options) {}

void Gateway::Receive(const uint8_t* data, size_t count, int64_t timeUs,
                      std::vector<uint8_t>& answer) {
  for (size_t i = 0; i < count; ++i) Receive(data[i], timeUs, answer);
}

void Gateway::Receive(uint8_t byte, int64_t timeUs, std::vector<uint8_t>& answer) {
  if (hungUp_) return;
  if (need_ > 0) {
    params_.push_back(byte);
    if (--need_ == 0) Complete(timeUs, answer);
    return;
  }
  const int n = ParamCount(byte);
  if (n < 0) {
    Trace(timeUs, "unknown byte " + HexList(&byte, 1) + " ignored");
    return;
  }
  command_ = byte;
  params_.clear();
  need_ = n;
  if (n == 0) Complete(timeUs, answer);
}

void Gateway::Complete(int64_t timeUs, std::vector<uint8_t>& answer) {
  const std::string cmd = HexList(&command_, 1) + " ";
  const size_t before = answer.size();
  switch (command_) {
    case 0x0A:
      Trace(timeUs, cmd + "Setup " + HexList(params_.data(), 2));
      break;
    case 0x40:
    case 0x42:
      Trace(timeUs, cmd + "Parameter " + HexList(params_.data(), 1));
      break;
    case 0x47:
    case 0x48: {
      const bool high = command_ == 0x48;
      if (chip_) chip_->SetReset(high, timeUs);
      Trace(timeUs, cmd + (high ? "ResetHigh" : "ResetLow"));
      break;
    }
    case 0x44:
      // The packet carries the instruction last byte first.
      for (int i = 0; i < 4; ++i) instruction_[i] = params_[3 - i];
      Trace(timeUs, cmd + "LoadInstruction " + HexList(instruction_.data(), 4));
      break;
    case 0x46: {
      std::string note = "empty socket";
      if (chip_) {
        received_ = chip_->Transfer(instruction_, timeUs, &note);
      } else {
        received_ = {0xFF, 0xFF, 0xFF, 0xFF};
      }
      if (options_.badEcho && instruction_[0] == 0xAC && instruction_[1] == 0x53)
        received_[2] = static_cast<uint8_t>(received_[2] << 1 | received_[2] >> 7);
      Trace(timeUs, cmd + "ExecuteInstruction " + HexList(instruction_.data(), 4) + " -> " +
                        HexList(received_.data(), 4) + ": " + note);
      break;
    }
    case 0x45: {
      // Byte 0 is what came back with I4, byte 1 with I3, and so on; then filler.
      uint8_t a[8] = {received_[3], received_[2], received_[1], received_[0], 0, 0, 0, 0};
      size_t n = 8;
      if (options_.silent) n = 0;
      else if (options_.shortAnswer >= 0 && options_.shortAnswer < 8) n = options_.shortAnswer;
      answer.insert(answer.end(), a, a + n);
      Trace(timeUs, cmd + "ReadBack -> " + (n ? HexList(a, n) : std::string("(nothing)")));
      break;
    }
  }
  ++commands_;
  if (options_.garbageAfter >= 0 && commands_ > options_.garbageAfter && answer.size() > before) {
    answer.insert(answer.end(), kGarbageBytes.begin(), kGarbageBytes.end());
    Trace(timeUs, "   + extra bytes " + HexList(kGarbageBytes.data(), kGarbageBytes.size()));
  }
  if (options_.hangupAfter >= 0 && commands_ >= options_.hangupAfter) {
    hungUp_ = true;
    Trace(timeUs, "hanging up after " + std::to_string(commands_) + " commands");
  }
}

}  // namespace quillet::sim
