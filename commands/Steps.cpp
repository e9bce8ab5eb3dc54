#include "commands/Steps.h"

#include <atomic>
#include <cstdio>

#include "chips/Catalogue.h"
#include "chips/ChipModule.h"
#include "chips/Identify.h"
#include "link/Port.h"
#include "log/Log.h"

namespace quillet {

namespace {
std::atomic<bool> g_stop{false};
ChipId g_identified = 0;
static_assert(std::atomic<bool>::is_always_lock_free, "RequestStop runs in a signal handler");
}  // namespace

const ChipModule* SelectedModule() {
  const ChipEntry* e = FindChip(SelectedChip);
  return e ? e->module : nullptr;
}

bool EnableSelectedChip(const ChipModule& m) {
  if (!m.ProgrammingEnable()) return false;
  ChipId id = 0;
  if (!ReadSignatureQuietly(id)) return false;
  if (id == SelectedChip) return true;
  // A damaged byte is not a wrong chip: only a signature read alike twice is.
  bool lineFault = false;
  id = ConfirmSignature(id, lineFault);
  if (lineFault || PortHandle < 0) return false;
  if (id == SelectedChip) return true;
  AddLog(LogKind::Text, "The chip answers " + SignatureText(id) + " (" + SignatureOwner(id) + "), not " + ChipName +
                ": choose it or use Autosearch");
  return false;
}

void SetIdentifiedSignature(ChipId id) { g_identified = id; }
ChipId IdentifiedSignature() { return g_identified; }

void RequestStop() { g_stop.store(true); }
void ClearStopRequest() { g_stop.store(false); }
bool StopRequested() { return g_stop.load(); }

std::string VerifyAddressText(uint32_t address) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "%04X", static_cast<unsigned>(address));
  return buf;
}

}  // namespace quillet
