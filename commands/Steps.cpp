#include "commands/Steps.h"

#include <atomic>
#include <cstdio>

#include "chips/Chipfunctions.h"

namespace quillet {

namespace {
std::atomic<bool> g_stop{false};
static_assert(std::atomic<bool>::is_always_lock_free, "RequestStop runs in a signal handler");
}  // namespace

const ChipModule* SelectedModule() {
  const ChipEntry* e = FindChip(SelectedChip);
  return e ? e->module : nullptr;
}

void RequestStop() { g_stop.store(true); }
void ClearStopRequest() { g_stop.store(false); }
bool StopRequested() { return g_stop.load(); }

std::string VerifyAddressText(uint32_t address) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "%04X", static_cast<unsigned>(address));
  return buf;
}

}  // namespace quillet
