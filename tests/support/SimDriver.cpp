#include "support/SimDriver.h"

#include <algorithm>
#include <cerrno>

namespace quillet::test {

SimDriver::SimDriver(const std::string& chipName, sim::GatewayOptions options, bool install) {
  if (!chipName.empty()) {
    const sim::SimChipModel* model = sim::FindSimChip(chipName);
    if (model) chip_ = std::make_unique<sim::SimChip>(*model);
  }
  gateway_ = std::make_unique<sim::Gateway>(chip_.get(), options);
  if (install) {
    SetSerialDriver(this);
    SetClock(this);
    installed_ = true;
  }
}

SimDriver::~SimDriver() {
  if (installed_) {
    if (&GetSerialDriver() == this) SetSerialDriver(nullptr);
    if (&GetClock() == this) SetClock(nullptr);
  }
}

int SimDriver::Open(const std::string&) {
  if (gateway_->HungUp()) {
    lastError_ = ENOENT;
    return -1;
  }
  lastError_ = 0;
  open_ = true;
  return kHandle;
}

void SimDriver::Purge(int) { queue_.clear(); }

void SimDriver::Close(int) { open_ = false; }

bool SimDriver::Write(int handle, const uint8_t* data, int count) {
  if (!open_ || handle != kHandle || gateway_->HungUp()) return false;
  std::vector<uint8_t> answer;
  for (int i = 0; i < count; ++i) {
    if (paced) nowNs_ += kByteNs;
    answer.clear();
    uint8_t in = data[i];
    for (int copies = Travels(false, ++bytesIn_, in); copies > 0; --copies)
      gateway_->Receive(in, nowNs_ / 1000, answer);
    for (uint8_t b : answer) {
      for (int copies = Travels(true, ++bytesOut_, b); copies > 0; --copies) {
        int64_t at = nowNs_;
        if (paced) at = lineFreeOut_ = std::max(nowNs_, lineFreeOut_) + kByteNs;
        queue_.push_back({b, at});
      }
    }
    if (gateway_->HungUp()) return i + 1 == count;
  }
  return true;
}

int SimDriver::Travels(bool toProgram, uint64_t n, uint8_t& byte) const {
  if (fault.kind == Fault::None || fault.toProgram != toProgram || fault.at != n) return 1;
  switch (fault.kind) {
    case Fault::Flip: byte ^= static_cast<uint8_t>(1u << (n % 8)); return 1;
    case Fault::Drop: return 0;
    case Fault::Dup: return 2;
    default: return 1;
  }
}

int SimDriver::Read(int handle, uint8_t* data, int max, int expected, int timeoutMs) {
  if (!open_ || handle != kHandle) return 0;
  if (expected > 0 && static_cast<int>(queue_.size()) >= expected)
    nowNs_ = std::max(nowNs_, queue_[expected - 1].atNs);
  else if (!gateway_->HungUp())
    nowNs_ += int64_t{timeoutMs} * 1000000;
  int n = 0;
  while (n < max && !queue_.empty() && queue_.front().atNs <= nowNs_) {
    data[n++] = queue_.front().byte;
    queue_.pop_front();
  }
  return n;
}

LocalTime SimDriver::Now() {
  const int64_t s = 12 * 3600 + nowNs_ / 1000000000;
  return {static_cast<int>(s / 3600 % 24), static_cast<int>(s / 60 % 60), static_cast<int>(s % 60)};
}

}  // namespace quillet::test
