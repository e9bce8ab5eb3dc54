#include "chips/FastTransport.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <vector>

#include "chips/ChipModule.h"
#include "firmware/GatewayParser.h"
#include "image/Images.h"
#include "log/HostInterfaces.h"
#include "log/Log.h"

namespace quillet {

namespace fw = firmware::fast;

namespace {

enum class Gateway { Unknown, Other, Quillet };

// ---- per connection ----
bool g_enabled = true;
Gateway g_gateway = Gateway::Unknown;
bool g_answered = false;  // any answer came since the port opened
uint8_t g_version[2] = {0, 0};
bool g_fast = false;       // the firmware entered block mode at Autosearch
uint8_t g_targetBaud = 0;  // code of the fastest rate confirmed at Autosearch
uint8_t g_spiCode = 0;     // confirmed for g_spiChip by reading its signature
ChipId g_spiChip = 0;
uint32_t g_retries = 0;
uint32_t g_lineFaults = 0;
bool g_hooked = false;
double g_wantedPeriodUs = 0;  // quillet-cli -B, for every connection
uint8_t g_periodCode = 0;     // the slow clock the firmware was asked for on this connection
bool g_readyPolling = true;   // waits end when the chip is ready (a setting for benchmarks)

// ---- the link ----
bool g_inBlocks = false;    // the firmware is in block mode, as far as the program knows
uint8_t g_baud = 0;         // code of the line's rate, on both sides
bool g_rateUnsure = false;  // a rate change was asked for and not confirmed
bool g_needResync = false;  // an answer went astray: resynchronise before the next frame
bool g_chipChecked = false;   // this operation read the chip's signature through the blocks
bool g_chipResynced = false;  // this operation brought the chip back into step once
bool g_giveUp = false;        // this operation cannot succeed by trying again
bool g_chipBusy = false;      // a write was still under way at the end of its longest wait
bool g_unchecked = false;     // a write was answered whose end the firmware has not yet seen
uint8_t g_seq = 0;
long long g_lastSentMs = 0;   // the firmware has run every frame sent by then, as far as known
long long g_lastValidMs = 0;  // the last valid answer came

// ---- per operation ----
fw::Form g_forms[fw::kSlots];  // as the firmware confirmed them
const ChipModule* g_formsModule = nullptr;
bool g_formsProgram = false;
uint8_t g_opSpi = 0;  // the SPI clock this operation's blocks use

struct ReadCache {
  bool valid = false;
  bool program = false;
  uint32_t start = 0;
  uint32_t count = 0;
  uint8_t data[fw::kMaxBlock] = {};
} g_cache;

// A read block asked for ahead of the caller, whose answer is still on its way.
struct Request {
  bool active = false;
  bool program = false;
  uint32_t start = 0;
  uint16_t n = 0;
  uint8_t seq = 0;
} g_inflight;

struct Pending {
  bool program = false;
  std::vector<std::pair<uint32_t, uint8_t>> bytes;
} g_pending;

// Every block, hello and rate change is tried this often, with a resynchronisation between.
constexpr int kAttempts = 4;
// An answer: the longest block runs 66 ms on the chip and 256 bytes take 25 ms at 115200.
constexpr int kAnswerMs = 500;
constexpr int kHelloMs = 250;
// The line has rested once nothing came for this long.
constexpr int kQuietMs = 20;
// Past the firmware's kIdleMs, for the clocks of both sides and the bytes on their way.
constexpr int kIdleMarginMs = 60;
// The program raises its own rate once the firmware's answer has left at the old one; a frame
// sent the moment the answer arrives could overtake the firmware's switch.
constexpr int kSwitchMs = 1;
// A block at a raised rate only while the firmware surely keeps it: well inside kIdleMs.
constexpr long long kFreshMs = fw::kIdleMs / 2;

long long NowMs() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

SerialDriver& Driver() { return GetSerialDriver(); }

// instructions: what the frame has the firmware shift, which takes a while at a slow clock.
bool Send(const uint8_t* data, size_t n, uint32_t instructions = 0) {
  if (PortHandle < 0 || !Driver().Write(PortHandle, data, static_cast<int>(n))) return false;
  g_lastSentMs = std::max(g_lastSentMs, NowMs()) + SlowSpiMs(instructions);
  return true;
}

// An answer's wait, from now: its own, and the time the firmware may still need for the
// frames sent before it at a slow clock.
int AnswerWait(int ms) { return ms + static_cast<int>(std::max(0LL, g_lastSentMs - NowMs())); }

// Answer frames out of the line's bytes: whatever is not the awaited frame is dropped, a
// damaged frame included.
class AnswerReader {
 public:
  enum Result { kGot, kDamaged, kTimeout, kBusy };

  void Clear() { buf_.clear(); }

  // The answer of kind and seq (any seq when seq < 0). A damaged frame or a refusal ends the
  // wait as kDamaged when stopOnDamage, else it is passed over.
  Result Await(uint8_t kind, int seq, bool stopOnDamage, int timeoutMs, uint8_t& status,
               std::vector<uint8_t>& data) {
    const long long deadline = NowMs() + timeoutMs;
    for (;;) {
      size_t need = 0;
      while (need == 0 && !buf_.empty()) {
        if (buf_[0] != fw::kSof) {
          Drop(1);
          continue;
        }
        if (buf_.size() < 1u + fw::kAnswerHeader) {
          need = 1 + fw::kAnswerHeader - buf_.size();
          break;
        }
        const size_t n = buf_[4] | buf_[5] << 8;
        if (n > fw::kMaxBlock) {
          Drop(1);
          continue;
        }
        const size_t whole = 1 + fw::kAnswerHeader + n + 2;
        if (buf_.size() < whole) {
          need = whole - buf_.size();
          break;
        }
        const uint16_t crc = fw::Crc(0, buf_.data() + 1, static_cast<uint16_t>(fw::kAnswerHeader + n));
        if (buf_[whole - 2] != (crc & 0xFF) || buf_[whole - 1] != (crc >> 8)) {
          Drop(1);
          if (stopOnDamage) return kDamaged;
          continue;
        }
        const uint8_t k = buf_[1], s = buf_[2];
        status = buf_[3];
        data.assign(buf_.begin() + 1 + fw::kAnswerHeader, buf_.begin() + static_cast<long>(whole - 2));
        Drop(whole);
        if (k == kind && (seq < 0 || s == seq))
          return status == fw::kStatusOk ? kGot : status == fw::kStatusBusy ? kBusy : kDamaged;
        if (k == fw::kNak && stopOnDamage) return kDamaged;
        // An answer to something else (a request given up on, a repeated byte): dropped.
      }
      if (need == 0) need = 1 + fw::kAnswerHeader;
      const long long left = deadline - NowMs();
      if (left <= 0 || PortHandle < 0) return kTimeout;
      uint8_t chunk[1024];
      const int want = static_cast<int>(std::min(need, sizeof chunk));
      const int got = Driver().Read(PortHandle, chunk, want, want, static_cast<int>(left));
      if (got <= 0) return kTimeout;
      buf_.insert(buf_.end(), chunk, chunk + got);
    }
  }

 private:
  void Drop(size_t n) { buf_.erase(buf_.begin(), buf_.begin() + static_cast<long>(std::min(n, buf_.size()))); }
  std::vector<uint8_t> buf_;
} g_reader;

uint8_t NextSeq() {
  // 0 is the sequence number of a resynchronisation's hello.
  if (++g_seq == 0) g_seq = 1;
  return g_seq;
}

bool SendRequest(uint8_t kind, uint8_t seq, const uint8_t p[fw::kParamBytes], const uint8_t* data = nullptr,
                 uint16_t n = 0) {
  uint8_t frame[1 + fw::kRequestHeader + fw::kMaxBlock + 2];
  frame[0] = fw::kSof;
  frame[1] = kind;
  frame[2] = seq;
  std::copy(p, p + fw::kParamBytes, frame + 3);
  size_t at = 3 + fw::kParamBytes;
  uint16_t crc = fw::Crc(0, frame + 1, static_cast<uint16_t>(at - 1));
  frame[at++] = static_cast<uint8_t>(crc & 0xFF);
  frame[at++] = static_cast<uint8_t>(crc >> 8);
  uint32_t instructions = kind == fw::kRead ? fw::BlockCount(p[4]) : kind == fw::kCommitAt ? 1 : 0;
  if (kind == fw::kWrite) {
    instructions = fw::BlockCount(p[4]) + ((p[0] & fw::kCommit) ? 1 : 0);
    std::copy(data, data + n, frame + at);
    at += n;
    crc = fw::Crc(0, frame + 1, static_cast<uint16_t>(at - 1));
    frame[at++] = static_cast<uint8_t>(crc & 0xFF);
    frame[at++] = static_cast<uint8_t>(crc >> 8);
  }
  return Send(frame, at, instructions);
}

bool Awaited(uint8_t kind, int seq, int timeoutMs, std::vector<uint8_t>& data, size_t expected,
             bool stopOnDamage = true) {
  uint8_t status = 0;
  const AnswerReader::Result r = g_reader.Await(kind, seq, stopOnDamage, AnswerWait(timeoutMs), status, data);
  if (r == AnswerReader::kBusy) {
    // The chip failed a write: trying again cannot mend it.
    g_chipBusy = true;
    g_giveUp = true;
    g_lastValidMs = NowMs();
    return false;
  }
  if (r != AnswerReader::kGot) return false;
  if (data.size() != expected) return false;
  g_lastValidMs = NowMs();
  return true;
}

// One request and its answer; false on anything but the awaited answer, whole and accepted.
bool Exchange(uint8_t kind, const uint8_t p[fw::kParamBytes], std::vector<uint8_t>& answer,
              size_t expected, const uint8_t* data = nullptr, uint16_t n = 0) {
  const uint8_t seq = NextSeq();
  return SendRequest(kind, seq, p, data, n) && Awaited(kind, seq, kAnswerMs, answer, expected);
}

// Drops what comes until the line has rested; a gateway that never stops talking is given up
// on after as much as many blocks could hold.
void Drain() {
  uint8_t scrap[256];
  int dropped = 0, got = 0;
  while (dropped < 64 * 1024 && PortHandle >= 0 &&
         (got = Driver().Read(PortHandle, scrap, sizeof scrap, sizeof scrap, kQuietMs)) > 0)
    dropped += got;
  if (PortHandle >= 0) Driver().Purge(PortHandle);
  g_reader.Clear();
}

// Drops what has come, with nothing more expected.
void Purge() {
  if (PortHandle >= 0) Driver().Purge(PortHandle);
  g_reader.Clear();
}

void ForgetForms() {
  for (fw::Form& f : g_forms) f.valid = false;
  g_formsModule = nullptr;
}

void ForgetOperation() {
  g_inflight.active = false;
  g_cache.valid = false;
  ForgetForms();
}

void SetLineBaud(uint8_t code) {
  if (PortHandle >= 0) Driver().SetBaud(PortHandle, fw::kBauds[code]);
  g_baud = code;
}

// Waits until the firmware has surely given up a raised rate or block mode of its own: no
// valid frame from here for its kIdleMs, counted from the end of the last block it ran.
void WaitOutIdle() {
  const long long left = g_lastSentMs + fw::kIdleMs + kIdleMarginMs - NowMs();
  if (left > 0) Sleep(static_cast<int>(left));
}

// rate: with a hello from plain mode, the code of a faster rate the firmware takes once it has
// answered (0: none).
bool Hello(bool fromSync, uint8_t rate = 0) {
  std::vector<uint8_t> about;
  bool ok;
  if (fromSync) {
    const std::vector<uint8_t> pattern(fw::kSyncRun, fw::kSync);
    ok = Send(pattern.data(), pattern.size()) && Awaited(fw::kHello, 0, kHelloMs, about, 3, false);
  } else {
    const uint8_t p[fw::kParamBytes] = {rate};
    const uint8_t seq = NextSeq();
    if (rate != 0) g_rateUnsure = true;
    ok = SendRequest(fw::kHello, seq, p) && Awaited(fw::kHello, seq, kHelloMs, about, 3);
  }
  // A hello names the rate the firmware hears at: it must be this one.
  if (!ok || about[2] != g_baud) return false;
  g_inBlocks = true;
  g_needResync = false;
  ForgetOperation();
  return true;
}

// At 115200, after waiting out a rate the firmware may still hold.
bool ResyncAtBase() {
  const bool unsure = g_baud != 0 || g_rateUnsure;
  SetLineBaud(0);
  if (unsure) WaitOutIdle();
  Drain();
  g_rateUnsure = false;
  g_inBlocks = false;
  return Hello(true);
}

bool Fresh() { return NowMs() - g_lastValidMs < kFreshMs; }

// After any fault: the line drained and the firmware in block mode again, its forms forgotten.
bool Resync() {
  ++g_retries;
  ForgetOperation();
  g_inBlocks = false;
  if (PortHandle < 0) return false;
  Drain();
  if (g_baud != 0 && !g_rateUnsure && Fresh() && Hello(true)) return true;
  return ResyncAtBase();
}

// A faster line: asked for at the present rate, confirmed by a ping at the new one from both
// sides. Any doubt ends at 115200 once the firmware has surely gone back there too.
// A device that cannot take the rate is not asked to.
bool PortTakes(uint8_t code) {
  SerialDriver& d = Driver();
  return d.SetBaud(PortHandle, fw::kBauds[code]) && d.SetBaud(PortHandle, fw::kBauds[0]);
}

// The new rate on this side, once the firmware has answered at the old one, and its ping.
bool Confirm(uint8_t code) {
  Sleep(kSwitchMs);
  SetLineBaud(code);
  const uint8_t none[fw::kParamBytes] = {};
  std::vector<uint8_t> pong;
  if (!Exchange(fw::kPing, none, pong, 0)) {
    ResyncAtBase();
    return false;
  }
  g_rateUnsure = false;
  return true;
}

bool Raise(uint8_t code) {
  if (!PortTakes(code)) return false;
  const uint8_t p[fw::kParamBytes] = {code};
  std::vector<uint8_t> echo;
  g_rateUnsure = true;
  if (!Exchange(fw::kBaud, p, echo, 1) || echo[0] != code) {
    ResyncAtBase();
    return false;
  }
  return Confirm(code);
}

// Block mode at the rate chosen at Autosearch, entered afresh when the firmware may have left
// it by itself.
bool Establish() {
  if (g_needResync) return Resync();
  if (g_inBlocks && Fresh()) return true;
  if (g_inBlocks && g_baud != 0) {
    if (!ResyncAtBase()) return false;
  } else {
    Purge();
    // The hello asks for the rate found at Autosearch too.
    const uint8_t rate = g_targetBaud != 0 && PortTakes(g_targetBaud) ? g_targetBaud : 0;
    if (Hello(false, rate)) {
      if (rate != 0 && !Confirm(rate)) g_targetBaud = 0;
      return g_inBlocks;
    }
    if (!ResyncAtBase()) return false;
  }
  if (g_targetBaud != 0 && !Raise(g_targetBaud)) g_targetBaud = 0;
  return g_inBlocks;
}

// Back to the plain commands at 115200, the line drained: before any plain packet, and before
// the port closes.
void Leave() {
  if (!g_inBlocks && !g_rateUnsure && g_baud == 0) return;
  const uint8_t p[fw::kParamBytes] = {};
  std::vector<uint8_t> none;
  const bool left = g_inBlocks && !g_needResync && Fresh() && Exchange(fw::kLeave, p, none, 0);
  SetLineBaud(0);
  // Otherwise the firmware goes back by itself once it has had no valid frame for a while.
  if (!left) WaitOutIdle();
  g_inBlocks = false;
  g_rateUnsure = false;
  g_needResync = false;
  ForgetOperation();
  if (left) Purge();
  else Drain();
}

// The answer of a block asked for ahead, taken and dropped before anything else is sent.
void Settle() {
  if (!g_inflight.active) return;
  g_inflight.active = false;
  std::vector<uint8_t> scrap;
  if (!Awaited(fw::kRead, g_inflight.seq, kAnswerMs, scrap, g_inflight.n)) g_needResync = true;
}

// The usual failure line of an exchange that brought no good answer; the port closes.
bool Failed() {
  if (g_chipBusy) AddLog(LogKind::Text, "Error: the chip was still busy at the end of its longest write time");
  else AddLog(LogKind::AnswerError, " (SPI paket)");
  ClosePort();
  return false;
}

// Runs one attempt of a block exchange, and again after a resynchronisation when it fails.
template <class Attempt>
bool WithRetries(Attempt attempt) {
  for (int i = 0; i < kAttempts; ++i) {
    if (PortHandle < 0 || g_giveUp) return false;
    if (i > 0 && !Resync()) continue;
    if (Establish() && attempt()) return true;
    if (PortHandle >= 0) g_needResync = true;
  }
  return false;
}

bool SendForm(uint8_t slot, const fw::Form& f) {
  const uint8_t p[fw::kParamBytes] = {slot, f.op, f.high, f.low, f.flags, f.wait};
  std::vector<uint8_t> echo;
  const uint16_t crc = fw::FormCrc(f);
  if (!Exchange(fw::kForm, p, echo, 4) || echo[0] != slot || echo[1] != fw::SlotClass(slot) ||
      echo[2] != (crc & 0xFF) || echo[3] != (crc >> 8))
    return false;
  g_forms[slot] = f;
  g_forms[slot].valid = true;
  return true;
}

bool SameForm(const fw::Form& a, const fw::Form& b) {
  return a.valid && a.op == b.op && a.high == b.high && a.low == b.low && a.flags == b.flags && a.wait == b.wait;
}

bool EnsureForm(uint8_t slot, const fw::Form& f) { return SameForm(g_forms[slot], f) || SendForm(slot, f); }

// The signature through the probe slot at an SPI clock; false when the block failed.
bool ProbeSignature(uint8_t spiCode, ChipId& id) {
  fw::Form probe;
  probe.op = 0x30;
  probe.low = 0x03;
  const uint8_t p[fw::kParamBytes] = {fw::Mode(fw::kSlotProbe, spiCode, false), 0, 0, 0, 3};
  std::vector<uint8_t> sig;
  if (!EnsureForm(fw::kSlotProbe, probe) || !Exchange(fw::kRead, p, sig, 3)) return false;
  id = MakeChipId(sig[0], sig[1], sig[2]);
  return true;
}

// After an instruction misread at too fast a clock the chip may have lost the instruction
// frame: a reset pulse and Programming Enable at the contract's clock, without log lines.
void ChipResync() {
  Leave();
  g_chipChecked = false;
  if (!WritePacket(MakePacket({0x48}))) return;
  Sleep(DelayValue);
  if (!WritePacket(MakePacket({0x47}))) return;
  Sleep(20);
  WritePacket(MakePacket({0x44, 0x00, 0x00, 0x53, 0xAC}));
  WritePacket(MakePacket({0x46}));
  Sleep(DelayValue);
}

// Faster SPI clocks in turn, each confirmed by the signature read twice, up to the first that
// fails. The clock kept is one step below the fastest confirmed: a chip near the edge of its
// limits may read right once and wrong later, and a plain read is not verified.
void ChooseSpiClock(ChipId id) {
  g_spiCode = 0;
  g_spiChip = 0;
  if (id == 0 || id == 0xFFFFFF) return;
  uint8_t fastest = 0;
  bool agree = true;
  for (uint8_t code = 1; code < fw::kSpiCodes && agree; ++code) {
    for (int read = 0; read < 2 && agree; ++read) {
      ChipId got = 0;
      if (!ProbeSignature(code, got)) {
        g_needResync = true;
        agree = false;
      } else if (got != id) {
        ChipResync();
        agree = false;
      }
    }
    if (agree) fastest = code;
  }
  g_spiCode = fastest > 0 ? fastest - 1 : 0;
  g_spiChip = id;
}

// The fastest rate that the port, the line and the firmware all confirm: 1 M, then 500 k
// and 250 k baud.
void ChooseBaud() {
  g_targetBaud = 0;
  for (uint8_t code = fw::kBaudCodes - 1; code > 0; --code) {
    if (!Establish()) return;
    if (Raise(code)) {
      g_targetBaud = code;
      return;
    }
  }
}

void Forget() {
  g_periodCode = 0;
  g_gateway = Gateway::Unknown;
  g_answered = false;
  g_fast = false;
  g_inBlocks = false;
  g_baud = 0;
  g_rateUnsure = false;
  g_needResync = false;
  g_targetBaud = 0;
  g_spiCode = 0;
  g_spiChip = 0;
  g_reader.Clear();
  ForgetOperation();
  g_pending.bytes.clear();
}

// Quillet's firmware from 2.1 on lets go of the target: RESET high and the other lines
// high-impedance, so a chip just programmed starts and its pins meet no driven line. Nothing
// is sent to any other gateway.
void ReleaseTarget() {
  if (g_gateway != Gateway::Quillet || g_version[1] < 1 || PortHandle < 0) return;
  WritePacket(MakePacket({firmware::kRelease}));
}

// Before the port closes, so that the next connection finds the firmware at 115200 with the
// plain commands.
void Closing() {
  Leave();
  ReleaseTarget();
  // The clock that was used stays known, for a failure's message.
  const uint8_t period = g_periodCode;
  Forget();
  g_periodCode = period;
}

void Hook() {
  if (g_hooked) return;
  SetPortHooks(Forget, Closing);
  g_hooked = true;
}

// The forms this operation's memory needs for reads or for writes, and its SPI clock, once per
// operation. A read operation never holds a write form in the firmware.
bool EnsureForms(const ChipModule& m, bool program, bool write) {
  if (g_formsModule != &m || g_formsProgram != program) ForgetForms();
  if (!g_chipChecked) {
    g_opSpi = 0;
    // Before its first block an operation reads the chip's signature through the blocks. A
    // chip that did not take the Programming Enable (a plain packet lost on the line) answers
    // 0xFF or garbage, which a read would take for its contents; and the chip in the socket
    // may have changed since Autosearch. The faster SPI clock is used, for writes above all,
    // only while it reads this chip's signature. A resynchronisation leaves the chip as it was.
    const uint8_t code = g_spiCode > 0 && g_spiChip == SelectedChip ? g_spiCode : 0;
    ChipId got = 0;
    if (!ProbeSignature(code, got)) return false;
    if (got != SelectedChip) {
      if (code != 0) {
        g_spiCode = 0;
      } else if (g_chipResynced) {
        // Out of step after a fresh Programming Enable too: not this chip.
        g_giveUp = true;
        return false;
      } else {
        g_chipResynced = true;
      }
      ChipResync();
      return false;
    }
    g_opSpi = code;
    g_chipChecked = true;
  }
  g_formsModule = &m;
  g_formsProgram = program;
  fw::Form forms[3];
  MemoryForms(m, program, forms);
  // Data polling reads the written bytes back through the read slot.
  const bool pollData = (forms[1].flags | forms[2].flags) & fw::kPollData;
  if (!write || pollData) {
    if (!EnsureForm(fw::kSlotRead, forms[0])) return false;
    if (!write) return true;
  }
  if (!EnsureForm(fw::kSlotWrite, forms[1])) return false;
  return forms[2].op == 0 || EnsureForm(fw::kSlotCommit, forms[2]);
}

bool SendReadRequest(Request& r, bool program, uint32_t start, uint16_t n) {
  const uint8_t p[fw::kParamBytes] = {fw::Mode(fw::kSlotRead, g_opSpi, false), static_cast<uint8_t>(start >> 16),
                                      static_cast<uint8_t>(start >> 8), static_cast<uint8_t>(start),
                                      static_cast<uint8_t>(n & 0xFF)};
  r.program = program;
  r.start = start;
  r.n = n;
  r.seq = NextSeq();
  r.active = SendRequest(fw::kRead, r.seq, p);
  return r.active;
}

bool WriteBlock(uint32_t address, const uint8_t* data, uint16_t n, bool commit) {
  const uint8_t p[fw::kParamBytes] = {fw::Mode(fw::kSlotWrite, g_opSpi, commit), static_cast<uint8_t>(address >> 16),
                                      static_cast<uint8_t>(address >> 8), static_cast<uint8_t>(address),
                                      static_cast<uint8_t>(n & 0xFF)};
  std::vector<uint8_t> none;
  if (!Exchange(fw::kWrite, p, none, 0, data, n)) return false;
  g_unchecked = true;
  return true;
}

bool CommitAt(uint32_t address) {
  const uint8_t p[fw::kParamBytes] = {static_cast<uint8_t>(address >> 16), static_cast<uint8_t>(address >> 8),
                                      static_cast<uint8_t>(address)};
  std::vector<uint8_t> none;
  if (!Exchange(fw::kCommitAt, p, none, 0)) return false;
  g_unchecked = true;
  return true;
}

// A page: its runs of consecutive addresses, a block each, the last one committing when it
// ends at the commit's address, else a commit of its own. The firmware commits only a block
// whose every byte came whole; a page tried again is loaded whole again.
bool WritePage(const std::vector<std::pair<uint32_t, uint8_t>>& bytes, uint32_t address) {
  size_t from = 0;
  bool committed = false;
  uint8_t data[fw::kMaxBlock];
  while (from < bytes.size()) {
    size_t to = from + 1;
    while (to < bytes.size() && to - from < fw::kMaxBlock && bytes[to].first == bytes[to - 1].first + 1)
      ++to;
    const bool commit = to == bytes.size() && bytes[to - 1].first == address;
    for (size_t i = from; i < to; ++i) data[i - from] = bytes[i].second;
    if (!WriteBlock(bytes[from].first, data, static_cast<uint16_t>(to - from), commit)) return false;
    committed = commit;
    from = to;
  }
  return committed || CommitAt(address);
}

}  // namespace

void SetFastTransfers(bool on) { g_enabled = on; }
void SetReadyPolling(bool on) { g_readyPolling = on; }
bool ReadyPolling() { return g_readyPolling; }
bool FastTransfersEnabled() { return g_enabled; }

void NoteGatewayAnswer(const GatewayAnswer& answer) {
  Hook();
  if (answer.count > 0) g_answered = true;
  if (answer.count < 8) return;
  if (answer.data[4] == 'Q' && (answer.data[5] == 'G' || answer.data[5] == firmware::kFaultMark) &&
      answer.data[6] == 2) {
    g_gateway = Gateway::Quillet;
    g_version[0] = answer.data[6];
    g_version[1] = answer.data[7];
  } else if (g_gateway == Gateway::Unknown) {
    g_gateway = Gateway::Other;
  }
}

void FastDrainLine() { Drain(); }

bool GatewayAnswered() { return g_answered || g_gateway != Gateway::Unknown; }
bool QuilletGateway() { return g_gateway == Gateway::Quillet && PortHandle >= 0; }

void SetSpiBitPeriodUs(double us) { g_wantedPeriodUs = us; }
double SpiBitPeriodUs() { return g_wantedPeriodUs; }
bool SlowSpiCapable() { return QuilletGateway() && g_version[1] >= 1; }

uint8_t WantedSpiPeriodCode() {
  // Up to the SPI hardware's slowest clock, 8 us a bit, the firmware's own clocks serve.
  if (g_wantedPeriodUs <= 8) return 0;
  const double code = g_wantedPeriodUs / firmware::kSpiPeriodUnitUs;
  return code >= 255 ? 255 : static_cast<uint8_t>(code + 0.999);
}

uint8_t SlowSpiPeriodCode() { return g_periodCode; }

int SlowSpiMs(uint32_t instructions) {
  // 32 bits an instruction; twice that, for the firmware's own steps between bits, and for a
  // simulated board on a busy machine.
  return static_cast<int>((uint64_t{instructions} * 32 * 2 * g_periodCode * firmware::kSpiPeriodUnitUs + 999) / 1000);
}

bool SendSpiPeriod(uint8_t code) {
  if (!SlowSpiCapable()) return false;
  if (!WritePacket(MakePacket({firmware::kSpiPeriod, code}))) return false;
  g_periodCode = code;
  return true;
}

bool AnswerReportsLineFault(const GatewayAnswer& answer) {
  if (g_gateway != Gateway::Quillet || answer.count != 8 || answer.data[4] != 'Q' ||
      answer.data[5] != firmware::kFaultMark || answer.data[6] != g_version[0])
    return false;
  ++g_lineFaults;
  return true;
}

bool AnswerInStep(const GatewayAnswer& answer) {
  if (g_gateway != Gateway::Quillet) return true;
  return answer.count == 8 && answer.data[4] == 'Q' && answer.data[5] == 'G' && answer.data[6] == g_version[0] &&
         answer.data[7] == g_version[1];
}

void IdentifyGateway(ChipId signature) {
  Hook();
  if (PortHandle < 0 || g_gateway != Gateway::Quillet) return;
  char line[64];
  std::snprintf(line, sizeof line, "Gateway: Quillet firmware %u.%u", g_version[0], g_version[1]);
  if (!g_enabled) {
    g_fast = false;
    AddLog(LogKind::Text, line);
    return;
  }
  FastNewOperation();
  Drain();
  g_fast = Hello(false);
  if (g_fast) {
    ChooseBaud();
    // A slow target's clock holds in blocks too (SPI code 0 is then the firmware's own).
    if (g_periodCode == 0) ChooseSpiClock(signature);
    Leave();
  } else {
    // A firmware that does not answer a hello: its plain commands only, once it has surely
    // dropped whatever the hello began.
    WaitOutIdle();
    Drain();
  }
  FastNewOperation();
  AddLog(LogKind::Text, std::string(line) + (g_fast ? ", fast transfers" : ""));
}

bool FastActive() { return g_enabled && g_fast && PortHandle >= 0; }

void FastSettle() {
  Settle();
  Leave();
}

void FastNewOperation() {
  Settle();
  ForgetOperation();
  g_pending.bytes.clear();
  g_chipChecked = false;
  g_chipResynced = false;
  g_giveUp = false;
  g_chipBusy = false;
  g_unchecked = false;
}

bool FastReadByte(const ChipModule& m, bool program, uint32_t address, uint8_t& value) {
  ReadCache& c = g_cache;
  if (c.valid && c.program == program && address >= c.start && address - c.start < c.count) {
    value = c.data[address - c.start];
    return true;
  }
  c.valid = false;
  // Ahead of the caller up to the end of the memory, a block at a time.
  const uint32_t size = program ? FlashSize : EepromSize;
  auto count = [size](uint32_t a) {
    return static_cast<uint16_t>(a < size ? std::min<uint32_t>(fw::kMaxBlock, size - a) : 1);
  };
  const uint16_t n = count(address);
  const bool ok = WithRetries([&] {
    if (!EnsureForms(m, program, false)) return false;
    Request r;
    if (g_inflight.active && g_inflight.program == program && g_inflight.start == address && g_inflight.n == n) {
      r = g_inflight;
      g_inflight.active = false;
    } else {
      Settle();
      if (g_needResync || !SendReadRequest(r, program, address, n)) return false;
    }
    // The next block is asked for before this one is taken, so that the firmware goes on
    // reading while its answer crosses the line and the program takes it.
    if (address + n < size) SendReadRequest(g_inflight, program, address + n, count(address + n));
    std::vector<uint8_t> data;
    if (!Awaited(fw::kRead, r.seq, kAnswerMs, data, n)) {
      g_inflight.active = false;
      return false;
    }
    std::copy(data.begin(), data.end(), c.data);
    return true;
  });
  if (!ok) return Failed();
  c.valid = true;
  c.program = program;
  c.start = address;
  c.count = n;
  value = c.data[0];
  return true;
}

void FastLoadByte(bool program, uint32_t address, uint8_t value) {
  Settle();
  g_cache.valid = false;
  if (g_pending.program != program) g_pending.bytes.clear();
  g_pending.program = program;
  g_pending.bytes.emplace_back(address, value);
}

bool FastCommitPage(const ChipModule& m, bool program, uint32_t address) {
  Settle();
  g_cache.valid = false;
  std::vector<std::pair<uint32_t, uint8_t>> bytes;
  if (g_pending.program == program) bytes.swap(g_pending.bytes);
  g_pending.bytes.clear();
  if (!WithRetries([&] { return EnsureForms(m, program, true) && WritePage(bytes, address); })) return Failed();
  return true;
}

bool FastWriteByte(const ChipModule& m, bool program, uint32_t address, uint8_t value) {
  Settle();
  g_cache.valid = false;
  if (!WithRetries([&] { return EnsureForms(m, program, true) && WriteBlock(address, &value, 1, false); }))
    return Failed();
  return true;
}

bool FastWritesDone() {
  if (!g_unchecked || PortHandle < 0) return true;
  Settle();
  const bool ok = WithRetries([] {
    const uint8_t none[fw::kParamBytes] = {};
    std::vector<uint8_t> pong;
    return Exchange(fw::kPing, none, pong, 0);
  });
  g_unchecked = false;
  return ok || Failed();
}

FastStats GetFastStats() {
  FastStats s;
  s.retries = g_retries;
  s.baud = fw::kBauds[g_inBlocks ? g_baud : g_targetBaud];
  s.spiCode = g_spiCode;
  s.lineFaults = g_lineFaults;
  return s;
}

}  // namespace quillet
