#include "chips/FastTransport.h"

#include <algorithm>
#include <cstdio>
#include <vector>

#include "chips/ChipModule.h"
#include "image/Images.h"
#include "log/Logfunctions.h"
#include "log/Seams.h"

namespace quillet {

namespace fw = firmware::fast;

namespace {

enum class Gateway { Unknown, Other, Quillet };

// ---- per connection ----
bool g_enabled = true;
Gateway g_gateway = Gateway::Unknown;
uint8_t g_version[2] = {0, 0};
bool g_fast = false;          // the firmware answered its Ping at Autosearch
uint32_t g_baud = 115200;
uint8_t g_spiCode = 0;        // confirmed for g_spiChip by reading its signature
ChipId g_spiChip = 0;
uint32_t g_retries = 0;
bool g_hooked = false;

// ---- per operation ----
bool g_formsSent = false;
bool g_formsProgram = false;
const ChipModule* g_formsModule = nullptr;
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
  uint8_t header[6] = {};
} g_inflight;

struct Pending {
  bool program = false;
  std::vector<std::pair<uint32_t, uint8_t>> bytes;
} g_pending;

// After a damaged answer: the rest of what the firmware sends (a block asked for ahead
// included) must have come, and a command cut off must have been dropped (50 ms), before the
// block goes again.
constexpr int kQuietMs = 100;
// An answer that starts at once: a Ping, a baud change, a form.
constexpr int kShortMs = 200;
constexpr int kSwitchMs = 2;

SerialDriver& Driver() { return GetSerialDriver(); }

bool Send(const uint8_t* data, int n) { return PortHandle >= 0 && Driver().Write(PortHandle, data, n); }

int Receive(uint8_t* data, int n, int timeoutMs) {
  if (PortHandle < 0) return 0;
  const int got = Driver().Read(PortHandle, data, n, n, timeoutMs);
  return got < 0 ? 0 : got;
}

// Drops what comes until the line has rested kQuietMs; a gateway that never stops talking is
// given up on after as much as two blocks could hold, many times over.
void Recover() {
  uint8_t scrap[64];
  int dropped = 0, got = 0;
  while (dropped < 16 * 1024 && (got = Receive(scrap, sizeof scrap, kQuietMs)) > 0) dropped += got;
  if (PortHandle >= 0) Driver().Purge(PortHandle);
}

bool SendReadRequest(Request& r, bool program, uint32_t start, uint16_t n, uint8_t mode) {
  r.program = program;
  r.start = start;
  r.n = n;
  r.header[0] = fw::kRead;
  r.header[1] = mode;
  r.header[2] = static_cast<uint8_t>(start >> 16);
  r.header[3] = static_cast<uint8_t>(start >> 8);
  r.header[4] = static_cast<uint8_t>(start);
  r.header[5] = static_cast<uint8_t>(n & 0xFF);
  r.active = Send(r.header, 6);
  return r.active;
}

bool ReceiveRead(const Request& r, uint8_t* out) {
  uint8_t answer[fw::kMaxBlock + 2];
  const int n = r.n;
  if (Receive(answer, n + 2, kReadTimeoutMs) != n + 2) return false;
  const uint16_t crc = fw::Crc(fw::Crc(0, r.header, 6), answer, r.n);
  if (answer[n] != (crc & 0xFF) || answer[n + 1] != (crc >> 8)) return false;
  std::copy(answer, answer + n, out);
  return true;
}

// The answer of a block asked for ahead, taken and dropped before anything else is sent.
void Settle() {
  if (!g_inflight.active) return;
  g_inflight.active = false;
  uint8_t scrap[fw::kMaxBlock];
  if (!ReceiveRead(g_inflight, scrap)) Recover();
}

void Put24(uint8_t* p, uint32_t a) {
  p[0] = static_cast<uint8_t>(a >> 16);
  p[1] = static_cast<uint8_t>(a >> 8);
  p[2] = static_cast<uint8_t>(a);
}

void PutCrc(uint8_t* p, uint16_t crc) {
  p[0] = static_cast<uint8_t>(crc & 0xFF);
  p[1] = static_cast<uint8_t>(crc >> 8);
}

bool CrcIs(const uint8_t* p, uint16_t crc) { return p[0] == (crc & 0xFF) && p[1] == (crc >> 8); }

// The usual failure line of an exchange that brought no good answer; the port closes.
bool Failed() {
  AddLog(7, " (SPI paket)");
  ClosePort();
  return false;
}

bool Ping(int timeoutMs) {
  const uint8_t ping = fw::kPing;
  uint8_t answer[2];
  return Send(&ping, 1) && Receive(answer, 2, timeoutMs) == 2 && answer[0] == 'Q' && answer[1] == 'G';
}

// Runs an exchange, and once more after a pause if its answer was damaged or missing.
template <class Exchange>
bool Twice(Exchange exchange) {
  for (int attempt = 0; attempt < 2; ++attempt) {
    if (attempt) {
      ++g_retries;
      Recover();
    }
    if (PortHandle < 0) return false;
    if (exchange()) return true;
  }
  return false;
}

bool SendForm(uint8_t slot, const fw::Form& f) {
  const uint8_t packet[7] = {fw::kForm, slot, f.op, f.high, f.low, f.flags, f.wait};
  return Twice([&] {
    uint8_t crc[2];
    return Send(packet, 7) && Receive(crc, 2, kShortMs) == 2 && CrcIs(crc, fw::Crc(0, packet, 7));
  });
}

// n bytes from address on through the mode's slot into out; n from 1 to 256.
bool ReadBlock(uint8_t mode, uint32_t address, uint16_t n, uint8_t* out) {
  Request r;
  return Twice([&] { return SendReadRequest(r, false, address, n, mode) && ReceiveRead(r, out); });
}

bool Acknowledged(int timeoutMs) {
  uint8_t ack[2];
  return Receive(ack, 2, timeoutMs) == 2 && ack[0] == fw::kAckOk[0] && ack[1] == fw::kAckOk[1];
}

bool WriteBlock(uint8_t mode, uint32_t address, const uint8_t* data, uint16_t n) {
  uint8_t packet[8 + fw::kMaxBlock + 2] = {fw::kWrite, mode, 0, 0, 0, static_cast<uint8_t>(n & 0xFF)};
  Put24(packet + 2, address);
  PutCrc(packet + 6, fw::Crc(0, packet, 6));
  std::copy(data, data + n, packet + 8);
  PutCrc(packet + 8 + n, fw::Crc(0, packet, static_cast<uint16_t>(8 + n)));
  return Twice([&] { return Send(packet, 8 + n + 2) && Acknowledged(kReadTimeoutMs); });
}

bool CommitAt(uint32_t address) {
  uint8_t packet[6] = {fw::kCommitAt};
  Put24(packet + 1, address);
  PutCrc(packet + 4, fw::Crc(0, packet, 4));
  return Twice([&] { return Send(packet, 6) && Acknowledged(kReadTimeoutMs); });
}

// After an instruction misread at too fast a clock the chip may have lost the instruction
// frame: a reset pulse and Programming Enable at the contract's clock, without log lines.
void Resync() {
  if (!WritePacket(MakePacket({0x48}))) return;
  Sleep(DelayValue);
  if (!WritePacket(MakePacket({0x47}))) return;
  Sleep(20);
  WritePacket(MakePacket({0x44, 0x00, 0x00, 0x53, 0xAC}));
  WritePacket(MakePacket({0x46}));
  Sleep(DelayValue);
}

// The signature through the probe slot at an SPI clock; false when the block failed.
bool ProbeSignature(uint8_t spiCode, ChipId& id) {
  uint8_t sig[3];
  if (!ReadBlock(fw::Mode(fw::kSlotProbe, spiCode, false), 0, 3, sig)) return false;
  id = MakeChipId(sig[0], sig[1], sig[2]);
  return true;
}

bool SendProbeForm() {
  fw::Form f;
  f.op = 0x30;
  f.low = 0x03;
  return SendForm(fw::kSlotProbe, f);
}

// Faster SPI clocks in turn, each confirmed by the signature, up to the first that fails.
void ChooseSpiClock(ChipId id) {
  g_spiCode = 0;
  g_spiChip = 0;
  if (id == 0 || id == 0xFFFFFF || !SendProbeForm()) return;
  uint8_t best = 0;
  for (uint8_t code = 1; code < fw::kSpiCodes; ++code) {
    ChipId got = 0;
    if (!ProbeSignature(code, got)) return;
    if (got != id) {
      Resync();
      break;
    }
    best = code;
  }
  g_spiCode = best;
  g_spiChip = id;
}

// 1 M, then 500 k and 250 k baud; each confirmed by a Ping at the new rate, else back to
// 115200 (the firmware goes back by itself when its Ping does not come).
void ChooseBaud() {
  SerialDriver& d = Driver();
  for (uint8_t code = fw::kBaudCodes - 1; code > 0; --code) {
    // A device that cannot take the rate is not asked to.
    if (!d.SetBaud(PortHandle, fw::kBauds[code])) continue;
    if (!d.SetBaud(PortHandle, 115200)) return;
    const uint8_t request[2] = {fw::kBaud, code};
    uint8_t answer[2];
    if (!Send(request, 2) || Receive(answer, 2, kShortMs) != 2 || answer[0] != fw::kBaud ||
        answer[1] != code) {
      Recover();
      return;
    }
    // The firmware changes its rate once the answer's last stop bit has left; a Ping sent the
    // moment the answer arrives could overtake that.
    Sleep(kSwitchMs);
    if (d.SetBaud(PortHandle, fw::kBauds[code]) && Ping(kShortMs)) {
      g_baud = fw::kBauds[code];
      return;
    }
    d.SetBaud(PortHandle, 115200);
    Sleep(fw::kConfirmMs + 50);
    d.Purge(PortHandle);
    if (!Ping(kShortMs)) {
      // Neither rate answers: leave the blocks alone; the contract's exchanges report it.
      g_fast = false;
      return;
    }
  }
}

void Forget() {
  g_inflight.active = false;
  g_gateway = Gateway::Unknown;
  g_fast = false;
  g_baud = 115200;
  g_spiCode = 0;
  g_spiChip = 0;
  FastNewOperation();
}

// A raised line back to 115200, the contract's rate.
void LowerBaud() {
  Settle();
  if (g_baud == 115200) return;
  const uint8_t request[2] = {fw::kBaud, 0};
  uint8_t answer[2];
  if (Send(request, 2)) Receive(answer, 2, kShortMs);
  Driver().SetBaud(PortHandle, 115200);
  g_baud = 115200;
}

// Before the port closes, so that the next connection finds the firmware at 115200.
void Closing() {
  LowerBaud();
  Forget();
}

void Hook() {
  if (g_hooked) return;
  SetPortHooks(Forget, Closing);
  g_hooked = true;
}

// The forms of this operation's memory, and its SPI clock, once per operation.
bool EnsureForms(const ChipModule& m, bool program) {
  if (g_formsSent && g_formsModule == &m && g_formsProgram == program) return true;
  Settle();
  g_opSpi = 0;
  if (g_spiCode > 0 && g_spiChip == SelectedChip) {
    // The chip in the socket may have changed since Autosearch: the faster clock is used,
    // for writes above all, only while it reads this chip's signature.
    ChipId got = 0;
    if (!SendProbeForm() || !ProbeSignature(g_spiCode, got)) return Failed();
    if (got == SelectedChip) {
      g_opSpi = g_spiCode;
    } else {
      g_spiCode = 0;
      Resync();
    }
  }
  fw::Form forms[3];
  MemoryForms(m, program, forms);
  for (uint8_t slot = 0; slot < 3; ++slot)
    if (!SendForm(slot, forms[slot])) return Failed();
  g_formsSent = true;
  g_formsModule = &m;
  g_formsProgram = program;
  return true;
}

bool SendRun(const std::vector<std::pair<uint32_t, uint8_t>>& bytes, size_t from, size_t to,
             bool commit) {
  uint8_t data[fw::kMaxBlock];
  for (size_t i = from; i < to; ++i) data[i - from] = bytes[i].second;
  return WriteBlock(fw::Mode(fw::kSlotWrite, g_opSpi, commit), bytes[from].first, data,
                    static_cast<uint16_t>(to - from));
}

}  // namespace

void SetFastTransfers(bool on) { g_enabled = on; }
bool FastTransfersEnabled() { return g_enabled; }

void NoteGatewayAnswer(const GatewayAnswer& answer) {
  Hook();
  if (answer.count < 8) return;
  if (answer.data[4] == 'Q' && answer.data[5] == 'G' && answer.data[6] == 1) {
    g_gateway = Gateway::Quillet;
    g_version[0] = answer.data[6];
    g_version[1] = answer.data[7];
  } else if (g_gateway == Gateway::Unknown) {
    g_gateway = Gateway::Other;
  }
}

void IdentifyGateway(ChipId signature) {
  Hook();
  if (PortHandle < 0 || g_gateway != Gateway::Quillet) return;
  char line[64];
  std::snprintf(line, sizeof line, "Gateway: Quillet firmware %u.%u", g_version[0], g_version[1]);
  if (!g_enabled) {
    // Switched off since an earlier Autosearch: the contract's exchanges at the contract's rate.
    LowerBaud();
    g_fast = false;
    AddLog(0, line);
    return;
  }
  FastNewOperation();
  if (!g_fast) {
    g_fast = Ping(kShortMs);
    if (!g_fast) Recover();
    if (g_fast && g_baud == 115200) ChooseBaud();
  }
  if (g_fast) ChooseSpiClock(signature);
  FastNewOperation();
  AddLog(0, std::string(line) + (g_fast ? ", fast transfers" : ""));
}

bool FastActive() { return g_enabled && g_fast && PortHandle >= 0; }

void FastSettle() { Settle(); }

void FastNewOperation() {
  Settle();
  g_formsSent = false;
  g_formsModule = nullptr;
  g_cache.valid = false;
  g_pending.bytes.clear();
}

bool FastReadByte(const ChipModule& m, bool program, uint32_t address, uint8_t& value) {
  ReadCache& c = g_cache;
  if (c.valid && c.program == program && address >= c.start && address - c.start < c.count) {
    value = c.data[address - c.start];
    return true;
  }
  c.valid = false;
  if (!EnsureForms(m, program)) return false;
  // Ahead of the caller up to the end of the memory, a block at a time.
  const uint32_t size = program ? FlashSize : EepromSize;
  auto count = [size](uint32_t a) {
    return static_cast<uint16_t>(a < size ? std::min<uint32_t>(fw::kMaxBlock, size - a) : 1);
  };
  const uint32_t n = count(address);
  const uint8_t mode = fw::Mode(fw::kSlotRead, g_opSpi, false);
  Request r;
  if (g_inflight.active && g_inflight.program == program && g_inflight.start == address &&
      g_inflight.n == n) {
    r = g_inflight;
    g_inflight.active = false;
  } else {
    Settle();
    if (!SendReadRequest(r, program, address, static_cast<uint16_t>(n), mode)) return Failed();
  }
  // The next block is asked for before this one is taken, so that the firmware goes on
  // reading while its answer crosses the line and the program takes it.
  if (address + n < size) SendReadRequest(g_inflight, program, address + n, count(address + n), mode);
  if (!ReceiveRead(r, c.data)) {
    ++g_retries;
    g_inflight.active = false;
    Recover();
    if (!SendReadRequest(r, program, address, static_cast<uint16_t>(n), mode) || !ReceiveRead(r, c.data))
      return Failed();
  }
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
  if (!EnsureForms(m, program)) return false;
  // Runs of consecutive addresses, a block each; the last one commits when it ends at the
  // commit's address, as a whole page does.
  size_t from = 0;
  bool committed = false;
  while (from < bytes.size()) {
    size_t to = from + 1;
    while (to < bytes.size() && to - from < fw::kMaxBlock && bytes[to].first == bytes[to - 1].first + 1)
      ++to;
    const bool commit = to == bytes.size() && bytes[to - 1].first == address;
    if (!SendRun(bytes, from, to, commit)) return Failed();
    committed = commit;
    from = to;
  }
  if (!committed && !CommitAt(address)) return Failed();
  return true;
}

bool FastWriteByte(const ChipModule& m, bool program, uint32_t address, uint8_t value) {
  Settle();
  g_cache.valid = false;
  if (!EnsureForms(m, program)) return false;
  if (!WriteBlock(fw::Mode(fw::kSlotWrite, g_opSpi, false), address, &value, 1)) return Failed();
  return true;
}

FastStats GetFastStats() {
  FastStats s;
  s.retries = g_retries;
  s.baud = g_baud;
  s.spiCode = g_spiCode;
  return s;
}

}  // namespace quillet
